#include "structures/ClassMember.h"

#include "io/DataInput.h"
#include "io/DataOutput.h"
#include "io/Log.h"
#include "structures/AbstractStructureHelper.h"
#include "structures/ClassFile.h"
#include "structures/ConstantEntries.h"
#include "structures/ConstantPoolUtil.h"
#include "structures/FieldInfo.h"
#include "structures/MethodInfo.h"

namespace Tessera {

const char *const ClassMember::CLASS_NAME = "ClassMember";
const char *const FieldInfo::CLASS_NAME = "FieldInfo";
const char *const MethodInfo::CLASS_NAME = "MethodInfo";

void ClassMember::resetMember()
{
    deleteAttributes();
    accessFlags = nameIndex = descriptorIndex = 0;
}

void ClassMember::read(DataInput *input, bool namesOnly)
{
    accessFlags = input->readUnsignedShort();
    nameIndex = input->readUnsignedShort();
    descriptorIndex = input->readUnsignedShort();
    if (input->hasOverrun() || classFile->getConstantPoolUtf8Entry(nameIndex) == nullptr ||
        classFile->getConstantPoolUtf8Entry(descriptorIndex) == nullptr) {
        classFile->setError();
        return;
    }
    if (!namesOnly)
        readAttributes(input);
}

void ClassMember::write(DataOutput *output)
{
    output->writeShort(accessFlags);
    output->writeShort(nameIndex);
    output->writeShort(descriptorIndex);
    writeAttributes(output);
}

const char *ClassMember::getName() const
{
    ConstantUtf8Info *u = classFile->findUtf8(nameIndex);
    return u == nullptr ? nullptr : u->getString();
}

int ClassMember::getNameLength() const
{
    ConstantUtf8Info *u = classFile->findUtf8(nameIndex);
    return u == nullptr ? 0 : u->getStringLength();
}

const char *ClassMember::getSignature() const
{
    ConstantUtf8Info *u = classFile->findUtf8(descriptorIndex);
    return u == nullptr ? nullptr : u->getString();
}

int ClassMember::getSignatureLength() const
{
    ConstantUtf8Info *u = classFile->findUtf8(descriptorIndex);
    return u == nullptr ? 0 : u->getStringLength();
}

const char *ClassMember::getFormattedAccessFlags() const
{
    return AbstractStructureHelper::printAccessFlags(accessFlags);
}

// ---- FieldInfo

void FieldInfo::initInstance()
{
    classFile = nullptr;
    resetMember();
}

void FieldInfo::release() { resetMember(); }

FieldInfo *FieldInfo::create(DataInput *input, ClassFile *classFile)
{
    FieldInfo *f = getInstance();
    f->setClassFile(classFile);
    f->read(input, false);
    return f;
}

FieldInfo *FieldInfo::createField(ClassFile *classFile, const char *name, const char *descriptor, int accessFlags)
{
    FieldInfo *f = getInstance();
    f->setClassFile(classFile);
    f->nameIndex = ConstantPoolUtil::addConstantUTF8Info(classFile, name);
    f->descriptorIndex = ConstantPoolUtil::addConstantUTF8Info(classFile, descriptor);
    f->accessFlags = accessFlags;
    return f;
}

void FieldInfo::debug(const char *prefix) const
{
    Log::debug("%s field with access flags %s, name_index %d, descriptor_index %d, %d attributes", prefix,
               getFormattedAccessFlags(), nameIndex, descriptorIndex, static_cast<int>(attributes.size()));
}

// ---- MethodInfo

void MethodInfo::initInstance()
{
    classFile = nullptr;
    resetMember();
    codeStart = nullptr;
    codeLength = 0;
}

void MethodInfo::release() { resetMember(); }

void MethodInfo::read(DataInput *input, bool namesOnly)
{
    // A full read after the names pass starts the member again.
    deleteAttributes();
    ClassMember::read(input, namesOnly);
    if (!namesOnly || classFile->hasError())
        return;
    int count = input->readUnsignedShort();
    for (int i = 0; i < count && !input->hasOverrun(); i++) {
        int nameIndex = input->readUnsignedShort();
        int length = input->readInt();
        if (input->hasOverrun() || length < 0 || length > input->getRemaining())
            break;
        int end = input->getBytesRead() + length;
        ConstantUtf8Info *name = classFile->findUtf8(nameIndex);
        if (name != nullptr && eq_nt_str("Code", name->getString(), name->getStringLength()) && length >= 8) {
            input->skipBytes(4); // max_stack, max_locals
            int n = input->readInt();
            if (n >= 0 && n <= length - 8) {
                codeLength = n;
                codeStart = n > 0 ? input->getCurrentPosition() : nullptr;
            }
        }
        input->seek(end);
    }
    if (input->hasOverrun()) {
        Log::error("method attributes run past the end of the class");
        classFile->setError();
    }
}

MethodInfo *MethodInfo::create(DataInput *input, ClassFile *classFile, bool namesOnly)
{
    MethodInfo *m = getInstance();
    m->setClassFile(classFile);
    m->read(input, namesOnly);
    return m;
}

MethodInfo *MethodInfo::createMethod(ClassFile *classFile, const char *name, const char *descriptor, int accessFlags)
{
    MethodInfo *m = getInstance();
    m->setClassFile(classFile);
    m->nameIndex = ConstantPoolUtil::addConstantUTF8Info(classFile, name);
    m->descriptorIndex = ConstantPoolUtil::addConstantUTF8Info(classFile, descriptor);
    m->accessFlags = accessFlags;
    return m;
}

void MethodInfo::debug(const char *prefix) const
{
    Log::debug("%s method with access flags %s, name_index %d, descriptor_index %d, %d attributes", prefix,
               getFormattedAccessFlags(), nameIndex, descriptorIndex, static_cast<int>(attributes.size()));
}

} // namespace Tessera
