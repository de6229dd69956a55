#include "structures/ClassFile.h"

#include <cassert>

#include "io/DataInput.h"
#include "io/DataOutput.h"
#include "io/Log.h"
#include "structures/AbstractStructureHelper.h"
#include "structures/AttributeInfo.h"
#include "structures/ConstantEntries.h"
#include "structures/ConstantPoolUtil.h"
#include "structures/FieldInfo.h"
#include "structures/MethodInfo.h"
#include "structures/TypedAttributes.h"

namespace Tessera {

const char *const ClassFile::CLASS_NAME = "ClassFile";

namespace {

const unsigned int MAGIC = 0xCAFEBABEu;

// Skips one annotation element value; false on an unknown tag or past the end.
bool skipElementValue(DataInput *input);

bool skipAnnotation(DataInput *input)
{
    input->skipBytes(2); // type index
    int pairs = input->readUnsignedShort();
    for (int i = 0; i < pairs; i++) {
        input->skipBytes(2); // element name index
        if (input->hasOverrun() || !skipElementValue(input))
            return false;
    }
    return !input->hasOverrun();
}

bool skipElementValue(DataInput *input)
{
    int tag = input->readUnsignedByte();
    if (input->hasOverrun())
        return false;
    switch (tag) {
    case 'B': case 'C': case 'D': case 'F': case 'I': case 'J': case 'S': case 'Z': case 'c': case 's':
        return input->skipBytes(2);
    case 'e':
        return input->skipBytes(4);
    case '[': {
        int count = input->readUnsignedShort();
        for (int i = 0; i < count; i++)
            if (input->hasOverrun() || !skipElementValue(input))
                return false;
        return !input->hasOverrun();
    }
    case '@':
        return skipAnnotation(input);
    default:
        Log::error("unknown annotation element value tag %d", tag);
        return false;
    }
}

} // namespace

ClassFile::ClassFile() : indexMap(new ts_helper::HashMap<CPInfo, int>(11, 0.75f)) {}

ClassFile::~ClassFile()
{
    release();
    delete indexMap;
}

void ClassFile::initInstance()
{
    classFile = this;
    minorVersion = majorVersion = originalMajorVersion = 0;
    accessFlags = thisClass = superClass = 0;
    indexMap->clear();
    indexMapBuilt = false;
    interfaces.clear();
    stackMapTableNameIndex = -1;
    throwableClassIndex = -1;
    error = false;
}

void ClassFile::release()
{
    deleteAll();
    deleteAttributes();
    indexMap->clear();
    interfaces.clear();
}

void ClassFile::deleteAll()
{
    for (CPInfo *e : constantPool)
        if (e != nullptr)
            e->freeInstance();
    constantPool.clear();
    indexMap->clear();
    indexMapBuilt = false;
    for (FieldInfo *f : fields)
        f->freeInstance();
    fields.clear();
    for (MethodInfo *m : methods)
        m->freeInstance();
    methods.clear();
    annotationTypes.clear();
}

void ClassFile::read(DataInput *input)
{
    readHead(input);
    if (!error)
        readTail(input);
}

void ClassFile::write(DataOutput *output)
{
    writeHead(output);
    writeTail(output);
}

void ClassFile::readHead(DataInput *input)
{
    unsigned int magic = static_cast<unsigned int>(input->readInt());
    if (magic != MAGIC) {
        Log::error("Invalid magic number %x instead of %x", magic, MAGIC);
        error = true;
        return;
    }
    minorVersion = input->readUnsignedShort();
    majorVersion = input->readUnsignedShort();
    originalMajorVersion = majorVersion;
    checkMajorVersion(majorVersion);
    readConstantPool(input);
    if (error)
        return;
    accessFlags = input->readUnsignedShort();
    thisClass = input->readUnsignedShort();
    int poolSize = static_cast<int>(constantPool.size());
    if (thisClass <= 0 || thisClass >= poolSize) {
        Log::error("invalid this class index %d", thisClass);
        error = true;
        return;
    }
    superClass = input->readUnsignedShort();
    if (superClass >= poolSize) {
        Log::error("invalid super class index %d", superClass);
        error = true;
        return;
    }
    int count = input->readUnsignedShort();
    interfaces.reserve(count);
    for (int i = 0; i < count && !input->hasOverrun(); i++)
        interfaces.push_back(input->readUnsignedShort());
    if (input->hasOverrun()) {
        Log::error("class head runs past the end of the class");
        error = true;
    }
}

void ClassFile::readConstantPool(DataInput *input)
{
    indexMap->clear();
    indexMapBuilt = false;
    int count = input->readUnsignedShort();
    if (input->hasOverrun()) {
        Log::error("class head runs past the end of the class");
        error = true;
        return;
    }
    constantPool.assign(count, nullptr);
    for (int i = 1; i < count;) {
        CPInfo *entry = CPInfo::create(input, this);
        if (entry == nullptr) {
            error = true;
            return;
        }
        constantPool[i] = entry;
        if (input->hasOverrun()) {
            Log::error("constant pool runs past the end of the class");
            error = true;
            return;
        }
        i += entry->getSlots();
    }
}

void ClassFile::readMethodNamesAndAnnotations(DataInput *input)
{
    int fieldCount = input->readUnsignedShort();
    for (int i = 0; i < fieldCount && !input->hasOverrun(); i++) {
        input->skipBytes(6);
        AttributeHelper::skipAttributes(input);
    }
    int methodCount = input->hasOverrun() ? 0 : input->readUnsignedShort();
    methods.reserve(methodCount);
    for (int i = 0; i < methodCount && !error && !input->hasOverrun(); i++)
        methods.push_back(MethodInfo::create(input, this, true));
    int attributeCount = input->hasOverrun() ? 0 : input->readUnsignedShort();
    for (int i = 0; i < attributeCount && !error && !input->hasOverrun(); i++) {
        int nameIndex = input->readUnsignedShort();
        int length = input->readInt();
        if (input->hasOverrun() || length < 0 || length > input->getRemaining())
            break;
        int end = input->getBytesRead() + length;
        ConstantUtf8Info *name = getConstantPoolUtf8Entry(nameIndex);
        if (name == nullptr)
            return;
        if (eq_nt_str("RuntimeVisibleAnnotations", name->getString(), name->getStringLength()) &&
            !readAnnotations(input, end)) {
            error = true;
            return;
        }
        input->seek(end);
    }
    if (input->hasOverrun()) {
        Log::error("class runs past the end of its bytes");
        error = true;
    }
}

bool ClassFile::readAnnotations(DataInput *input, int end)
{
    int count = input->readUnsignedShort();
    for (int i = 0; i < count; i++) {
        int typeIndex = input->readUnsignedShort();
        int pairs = input->readUnsignedShort();
        for (int p = 0; p < pairs; p++) {
            input->skipBytes(2);
            if (input->hasOverrun() || !skipElementValue(input))
                return false;
        }
        if (input->hasOverrun() || input->getBytesRead() > end)
            return false;
        CPInfo *type = typeIndex > 0 && typeIndex < static_cast<int>(constantPool.size()) ? constantPool[typeIndex]
                                                                                        : nullptr;
        if (type == nullptr)
            continue;
        if (type->getTag() == CONSTANT_Utf8) {
            annotationTypes.push_back(static_cast<ConstantUtf8Info *>(type));
        } else if (type->getTag() == CONSTANT_Class) {
            ConstantUtf8Info *name = findUtf8(static_cast<ConstantClassInfo *>(type)->getNameIndex());
            if (name != nullptr)
                annotationTypes.push_back(name);
        }
    }
    return input->getBytesRead() <= end;
}

void ClassFile::buildIndexMap()
{
    indexMapBuilt = true;
    indexMap->clear();
    for (size_t i = 1; i < constantPool.size(); i++)
        if (constantPool[i] != nullptr)
            indexMap->put(constantPool[i], static_cast<int>(i));
}

void ClassFile::readTail(DataInput *input)
{
    int fieldCount = input->readUnsignedShort();
    fields.reserve(fieldCount);
    for (int i = 0; i < fieldCount && !error && !input->hasOverrun(); i++)
        fields.push_back(FieldInfo::create(input, this));

    int methodCount = input->readUnsignedShort();
    if (!methods.empty()) {
        if (methodCount != static_cast<int>(methods.size())) {
            Log::error("method count %d differs from the %d methods read before", methodCount,
                       static_cast<int>(methods.size()));
            error = true;
            return;
        }
        for (size_t i = 0; i < methods.size() && !error && !input->hasOverrun(); i++)
            methods[i]->read(input, false);
    } else {
        methods.reserve(methodCount);
        for (int i = 0; i < methodCount && !error && !input->hasOverrun(); i++)
            methods.push_back(MethodInfo::create(input, this, false));
    }
    if (!error && !input->hasOverrun())
        readAttributes(input);
    if (input->hasOverrun()) {
        Log::error("class runs past the end of its bytes");
        error = true;
    }
}

void ClassFile::writeHead(DataOutput *output)
{
    output->writeInt(static_cast<int>(MAGIC));
    checkMajorVersion(majorVersion);
    output->writeShort(minorVersion);
    output->writeShort(majorVersion);
    writeConstantPool(output);
    output->writeShort(accessFlags);
    output->writeShort(thisClass);
    output->writeShort(superClass);
    output->writeShort(static_cast<int>(interfaces.size()));
    for (int i : interfaces)
        output->writeShort(i);
}

void ClassFile::writeConstantPool(DataOutput *output)
{
    int last = static_cast<int>(constantPool.size()) - 1;
    while (last > 0 && constantPool[last] == nullptr)
        last--;
    int count = last <= 0 ? 1 : last + constantPool[last]->getSlots();
    output->writeShort(count);
    for (int i = 1; i <= last;) {
        CPInfo *entry = constantPool[i];
        if (entry == nullptr) {
            Log::error("constant pool entry %d is null", i);
            assert(false);
            i++;
            continue;
        }
        entry->write(output);
        i += entry->getSlots();
    }
}

void ClassFile::writeTail(DataOutput *output)
{
    writeList(output, fields, "field");
    writeList(output, methods, "method");
    writeAttributes(output);
}

const char *ClassFile::getFormattedAccessFlags() const { return AbstractStructureHelper::printAccessFlags(accessFlags); }

bool ClassFile::checkValidConstantPoolIndex(int i)
{
    if (i > 0 && i < static_cast<int>(constantPool.size()))
        return true;
    Log::error("invalid constant pool index %d", i);
    error = true;
    return false;
}

CPInfo *ClassFile::getConstantPoolEntry(int i, const char *)
{
    return checkValidConstantPoolIndex(i) ? constantPool[i] : nullptr;
}

ConstantUtf8Info *ClassFile::getConstantPoolUtf8Entry(int i)
{
    CPInfo *e = getConstantPoolEntry(i, ConstantUtf8Info::CLASS_NAME);
    if (e != nullptr && e->getTag() == CONSTANT_Utf8)
        return static_cast<ConstantUtf8Info *>(e);
    if (!error) {
        Log::error("constant pool entry %d is no Utf8 entry", i);
        error = true;
    }
    return nullptr;
}

ConstantUtf8Info *ClassFile::findUtf8(int i) const
{
    if (i <= 0 || i >= static_cast<int>(constantPool.size()))
        return nullptr;
    CPInfo *e = constantPool[i];
    return e != nullptr && e->getTag() == CONSTANT_Utf8 ? static_cast<ConstantUtf8Info *>(e) : nullptr;
}

const char *ClassFile::getConstantPoolEntryName(int i)
{
    CPInfo *e = getConstantPoolEntry(i);
    return e == nullptr ? "" : e->getVerbose();
}

int ClassFile::getConstantPoolIndex(CPInfo *probe)
{
    if (!indexMapBuilt)
        buildIndexMap();
    int index = indexMap->get(probe);
    return index == 0 ? -1 : index;
}

void ClassFile::registerConstantPoolEntry(int i)
{
    if (indexMapBuilt && (i > 0 && i < static_cast<int>(constantPool.size()) && constantPool[i] != nullptr))
        indexMap->put(constantPool[i], i);
}

void ClassFile::unregisterConstantPoolEntry(int i)
{
    if (indexMapBuilt && i > 0 && i < static_cast<int>(constantPool.size()) && constantPool[i] != nullptr)
        indexMap->remove(constantPool[i]);
}

int ClassFile::getStackMapTableNameIndex()
{
    if (stackMapTableNameIndex >= 0)
        return stackMapTableNameIndex;
    for (size_t i = 0; i < constantPool.size(); i++) {
        CPInfo *e = constantPool[i];
        if (e != nullptr && e->getTag() == CONSTANT_Utf8) {
            ConstantUtf8Info *u = static_cast<ConstantUtf8Info *>(e);
            if (eq_nt_str("StackMapTable", u->getString(), u->getStringLength()))
                return stackMapTableNameIndex = static_cast<int>(i);
        }
    }
    return stackMapTableNameIndex = ConstantPoolUtil::addConstantUTF8Info(this, "StackMapTable");
}

int ClassFile::getThrowableClassIndex()
{
    if (throwableClassIndex < 0)
        throwableClassIndex = ConstantPoolUtil::getConstantClassInfo(this, "java/lang/Throwable");
    return throwableClassIndex;
}

const char *ClassFile::getClassName(int *length) const
{
    CPInfo *e = thisClass > 0 && thisClass < static_cast<int>(constantPool.size()) ? constantPool[thisClass] : nullptr;
    ConstantUtf8Info *name =
        e != nullptr && e->getTag() == CONSTANT_Class ? findUtf8(static_cast<ConstantClassInfo *>(e)->getNameIndex())
                                                      : nullptr;
    *length = name == nullptr ? 0 : name->getStringLength();
    return name == nullptr ? nullptr : name->getString();
}

} // namespace Tessera
