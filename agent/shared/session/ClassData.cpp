#include "ClassData.h"

#include <cstring>

#include "ClassProfilingHelper.h"
#include "ClassProfilingSession.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "MethodDesc.h"

namespace {

bool startsWith(const std::string &text, const char *prefix)
{
    return text.compare(0, strlen(prefix), prefix) == 0;
}

void writeFields(DataWriter *writer, const std::vector<FieldRecord> &fields)
{
    writer->writeU4(static_cast<uint32_t>(fields.size()));
    for (const FieldRecord &f : fields) {
        writer->writeString(f.name.c_str());
        writer->writeString(f.signature.c_str());
        writer->writeByte(f.type);
        writer->writeU4(static_cast<uint32_t>(f.index));
    }
}

// A string of the stream as a std::string; false at the end of the stream.
bool readText(DataReader *reader, std::string *out)
{
    char *text = reader->readString(nullptr);
    if (text == nullptr)
        return false;
    *out = text;
    delete[] text;
    return true;
}

} // namespace

ClassData g_nonInstanceClassData[ClassData::NON_INSTANCE_CLASS_COUNT];

ClassData::ClassData() = default;

ClassData::ClassData(const char *name, ClassProfilingSession *owner) : session(owner)
{
    initialise(name);
    isViewFiltered = session != nullptr && session->isViewFilteredClassName(className.c_str());
}

ClassData::ClassData(const char *name, int type) : componentType(type)
{
    initialise(name);
}

void ClassData::initialise(const char *name)
{
    className = name != nullptr ? name : "";
    arrayType = ClassProfilingHelper::getArrayTypeFromName(name);
    checkSpecialClasses();
}

int ClassData::fieldTypeFromSignature(char first)
{
    switch (first) {
    case 'L':
    case '[':
        return FIELD_TYPE_REFERENCE;
    case 'Z':
        return FIELD_TYPE_BOOLEAN;
    case 'C':
        return FIELD_TYPE_CHAR;
    case 'F':
        return FIELD_TYPE_FLOAT;
    case 'D':
        return FIELD_TYPE_DOUBLE;
    case 'B':
        return FIELD_TYPE_BYTE;
    case 'S':
        return FIELD_TYPE_SHORT;
    case 'I':
        return FIELD_TYPE_INT;
    case 'J':
        return FIELD_TYPE_LONG;
    default:
        return 0;
    }
}

int ClassData::fieldTypeLength(int type)
{
    switch (type) {
    case FIELD_TYPE_BOOLEAN:
    case FIELD_TYPE_BYTE:
        return 1;
    case FIELD_TYPE_CHAR:
    case FIELD_TYPE_SHORT:
        return 2;
    case FIELD_TYPE_FLOAT:
    case FIELD_TYPE_INT:
        return 4;
    case FIELD_TYPE_DOUBLE:
    case FIELD_TYPE_LONG:
        return 8;
    default:
        return 0;
    }
}

int ClassData::getArrayTypeFromClassData(const ClassData *classData)
{
    if (classData == nullptr)
        return 2;
    if (classData->arrayType >= 3 && classData->arrayType <= 11)
        return classData->arrayType;
    return ClassProfilingHelper::getArrayTypeFromName(classData->className.c_str());
}

void ClassData::checkSpecialClasses()
{
    isAgentClass = startsWith(className, "com.orvane.agent") || startsWith(className, "com.orvane.api");
    isInstrumentationCallee = startsWith(className, "com.orvane.agent.InstrumentationCallee");
    isJavaLangObject = className == "java.lang.Object";
    isJavaLangClass = className == "java.lang.Class";
    isObjectArray = startsWith(className, "[L") || startsWith(className, "[[");
    isPrimitiveArray = !isObjectArray && className.size() >= 2 && className[0] == '[';
    referentIndex = REFERENT_UNKNOWN;
    if (isJavaLangObject) {
        referentIndex = REFERENT_NONE;
    } else if (className == "java.lang.ref.Reference") {
        for (size_t i = 0; i < instanceFields.size(); i++) {
            if (instanceFields[i].name == "referent")
                referentIndex = static_cast<int>(i);
        }
    }
}

void ClassData::setDisplayName(const char *name)
{
    hasDisplay = name != nullptr;
    displayName = name != nullptr ? name : "";
    if (hasDisplay && classMethodDesc != nullptr)
        classMethodDesc->setHasDisplayName(true);
    sent = false;
}

void ClassData::setSuperClassClassData(ClassData *super)
{
    superClass = super;
    sent = false;
}

void ClassData::setIsUnloaded()
{
    unloaded = true;
    sent = false;
}

void ClassData::setComponentType(int type)
{
    componentType = type;
    sent = false;
}

void ClassData::addField(bool isStatic, const char *name, const char *signature, int32_t index, void *fieldId)
{
    FieldRecord f;
    f.name = name != nullptr ? name : "";
    f.signature = signature != nullptr ? signature : "";
    f.type = static_cast<unsigned char>(fieldTypeFromSignature(f.signature.empty() ? '\0' : f.signature[0]));
    f.index = index;
    f.fieldId = fieldId;
    (isStatic ? staticFields : instanceFields).push_back(f);
}

void ClassData::calculateReferenceMappings()
{
    hasFieldInfo = true;
    staticReferences.clear();
    instanceReferences.clear();
    staticDataSize = instanceDataSize = 0;
    for (size_t i = 0; i < staticFields.size(); i++) {
        if (staticFields[i].type == FIELD_TYPE_REFERENCE)
            staticReferences.push_back(static_cast<int>(i));
        else
            staticDataSize += fieldTypeLength(staticFields[i].type);
    }
    for (size_t i = 0; i < instanceFields.size(); i++) {
        if (instanceFields[i].type == FIELD_TYPE_REFERENCE)
            instanceReferences.push_back(static_cast<int>(i));
        else
            instanceDataSize += fieldTypeLength(instanceFields[i].type);
    }
    totalsComputed = false;
    checkSpecialClasses();
}

bool ClassData::read(DataReader *reader, int version, ClassProfilingSession *owner)
{
    session = owner;
    reader->readOldID(this);
    if (!readText(reader, &className))
        return false;
    arrayType = ClassProfilingHelper::getArrayTypeFromName(className.c_str());
    if (version > 8) {
        if (reader->readByte(0) == 1)
            hasDisplay = readText(reader, &displayName);
        componentType = static_cast<int>(reader->readU4(0));
        reader->readUpdatableID(reinterpret_cast<void **>(&classMethodDesc));
        reader->readUpdatableID(reinterpret_cast<void **>(&packageMethodDesc));
        reader->readUpdatableID(reinterpret_cast<void **>(&displayClassMethodDesc));
    }
    if (reader->readByte(0) == 1) {
        for (std::vector<FieldRecord> *fields : {&staticFields, &instanceFields}) {
            uint32_t count = reader->readU4(0);
            // A lying count ends with the stream, not with memory.
            for (uint32_t i = 0; i < count && !reader->getError(); i++) {
                FieldRecord f;
                readText(reader, &f.name);
                readText(reader, &f.signature);
                f.type = static_cast<unsigned char>(reader->readByte(0));
                f.index = version > 8 ? reader->readS4(0) : 0;
                fields->push_back(f);
            }
        }
        reader->readUpdatableID(reinterpret_cast<void **>(&superClass));
        unloaded = reader->readByte(0) == 1;
        calculateReferenceMappings();
    }
    checkSpecialClasses();
    return !reader->getError();
}

void ClassData::calculateTotals()
{
    // Superclass chains are walked without recursion: root first, each class
    // builds on the totals of its superclass.
    std::vector<ClassData *> chain;
    for (ClassData *c = this; c != nullptr && !c->totalsComputed; c = c->superClass) {
        chain.push_back(c);
        if (chain.size() > 100000)
            break; // a cycle would be a broken registry: stop instead of looping
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        ClassData *c = *it;
        c->totalReferences = c->instanceReferences;
        c->totalDataSize = c->instanceDataSize;
        ClassData *super = c->superClass;
        if (super != nullptr && super != c && super->totalsComputed) {
            int shift = c->getNumInstanceFields();
            for (int index : super->totalReferences)
                c->totalReferences.push_back(index + shift);
            c->totalDataSize += super->totalDataSize;
        }
        c->totalsComputed = true;
    }
}

int ClassData::getIndexTotalInstanceReferenceToField(int i)
{
    if (!totalsComputed)
        calculateTotals();
    return totalReferences.at(static_cast<size_t>(i));
}

int ClassData::getTotalInstanceDataSize()
{
    if (!totalsComputed)
        calculateTotals();
    return totalDataSize;
}

int ClassData::getNumTotalInstanceFieldReferences()
{
    if (!totalsComputed)
        calculateTotals();
    return static_cast<int>(totalReferences.size());
}

int ClassData::getTotalInstanceReferenceIndex(int fieldIndex)
{
    if (!totalsComputed)
        calculateTotals();
    for (size_t i = 0; i < totalReferences.size(); i++) {
        if (totalReferences[i] == fieldIndex)
            return static_cast<int>(i);
    }
    return -1;
}

int ClassData::getJavaLangRefReferenceReferentIndex()
{
    if (referentIndex != REFERENT_UNKNOWN)
        return referentIndex;
    std::vector<ClassData *> chain;
    ClassData *c = this;
    while (c != nullptr && c->referentIndex == REFERENT_UNKNOWN && chain.size() <= 100000) {
        chain.push_back(c);
        c = c->superClass;
    }
    int value = c != nullptr ? c->referentIndex : REFERENT_NONE;
    if (value == REFERENT_UNKNOWN)
        value = REFERENT_NONE;
    // Each class sees the superclass's index after its own instance fields.
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (value != REFERENT_NONE)
            value += (*it)->getNumInstanceFields();
        (*it)->referentIndex = value;
    }
    return referentIndex;
}

bool ClassData::isFieldReferent(int totalReference)
{
    int referent = getJavaLangRefReferenceReferentIndex();
    return referent >= 0 && getIndexTotalInstanceReferenceToField(totalReference) == referent;
}

void ClassData::write(DataWriter *writer) const
{
    writer->writeByte(1);
    writer->writeID(this);
    writer->writeString(className.c_str());
    writer->writeByte(hasDisplay ? 1 : 0);
    if (hasDisplay)
        writer->writeString(displayName.c_str());
    writer->writeU4(static_cast<uint32_t>(componentType));
    writer->writeID(classMethodDesc);
    writer->writeID(packageMethodDesc);
    writer->writeID(displayClassMethodDesc);
    writer->writeByte(hasFieldInfo ? 1 : 0);
    if (!hasFieldInfo)
        return;
    writeFields(writer, staticFields);
    writeFields(writer, instanceFields);
    writer->writeID(superClass);
    writer->writeByte(unloaded ? 1 : 0);
}
