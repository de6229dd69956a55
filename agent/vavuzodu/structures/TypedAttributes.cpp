#include "structures/TypedAttributes.h"

#include "io/DataInput.h"
#include "io/DataOutput.h"
#include "io/Log.h"
#include "structures/ClassFile.h"

namespace Tessera {

#define TESSERA_ATTRIBUTE_NAMES(Class, Name)                                   \
    const char *const Class::CLASS_NAME = #Class;                               \
    const char *const Class::ATTRIBUTE_NAME = Name;

TESSERA_ATTRIBUTE_NAMES(ConstantValueAttribute, "ConstantValue")
TESSERA_ATTRIBUTE_NAMES(SourceFileAttribute, "SourceFile")
TESSERA_ATTRIBUTE_NAMES(SyntheticAttribute, "Synthetic")
TESSERA_ATTRIBUTE_NAMES(DeprecatedAttribute, "Deprecated")
TESSERA_ATTRIBUTE_NAMES(ExceptionsAttribute, "Exceptions")
TESSERA_ATTRIBUTE_NAMES(InnerClassesAttribute, "InnerClasses")
TESSERA_ATTRIBUTE_NAMES(LineNumberTableAttribute, "LineNumberTable")
TESSERA_ATTRIBUTE_NAMES(LocalVariableTableAttribute, "LocalVariableTable")
TESSERA_ATTRIBUTE_NAMES(LocalVariableTypeTableAttribute, "LocalVariableTypeTable")
TESSERA_ATTRIBUTE_NAMES(CodeAttribute, "Code")

namespace {

// u2 count, then the entries; stops early past the input's end.
template <class T>
void readTable(DataInput *input, ClassFile *classFile, std::vector<T *> &table)
{
    int count = input->readUnsignedShort();
    table.reserve(count);
    for (int i = 0; i < count && !input->hasOverrun(); i++)
        table.push_back(T::create(input, classFile));
}

template <class T>
void writeTable(DataOutput *output, std::vector<T *> &table)
{
    output->writeShort(static_cast<int>(table.size()));
    for (T *e : table)
        e->write(output);
}

template <class T>
void freeTable(std::vector<T *> &table)
{
    for (T *e : table)
        e->freeInstance();
    table.clear();
}

} // namespace

// ---- ConstantValue, SourceFile: one u2

void ConstantValueAttribute::initInstance() { AttributeInfo::initInstance(); constantvalueIndex = 0; }
void ConstantValueAttribute::release() { AttributeInfo::release(); }
void ConstantValueAttribute::read(DataInput *input) { constantvalueIndex = input->readUnsignedShort(); }
void ConstantValueAttribute::write(DataOutput *output)
{
    writeHeader(output);
    output->writeShort(constantvalueIndex);
}
int ConstantValueAttribute::getAttributeLength() const { return 2; }
void ConstantValueAttribute::debug(const char *prefix) const
{
    Log::debug("%s ConstantValue attribute with constantvalue_index %d", prefix, constantvalueIndex);
}

void SourceFileAttribute::initInstance() { AttributeInfo::initInstance(); sourcefileIndex = 0; }
void SourceFileAttribute::release() { AttributeInfo::release(); }
void SourceFileAttribute::read(DataInput *input) { sourcefileIndex = input->readUnsignedShort(); }
void SourceFileAttribute::write(DataOutput *output)
{
    writeHeader(output);
    output->writeShort(sourcefileIndex);
}
int SourceFileAttribute::getAttributeLength() const { return 2; }
void SourceFileAttribute::debug(const char *prefix) const
{
    Log::debug("%s SourceFile attribute with sourcefile_index %d", prefix, sourcefileIndex);
}

// ---- Synthetic, Deprecated: no body

void SyntheticAttribute::initInstance() { AttributeInfo::initInstance(); }
void SyntheticAttribute::release() { AttributeInfo::release(); }
void SyntheticAttribute::read(DataInput *) {}
void SyntheticAttribute::write(DataOutput *output) { writeHeader(output); }
int SyntheticAttribute::getAttributeLength() const { return 0; }
void SyntheticAttribute::debug(const char *prefix) const { Log::debug("%s Synthetic attribute", prefix); }

void DeprecatedAttribute::initInstance() { AttributeInfo::initInstance(); }
void DeprecatedAttribute::release() { AttributeInfo::release(); }
void DeprecatedAttribute::read(DataInput *) {}
void DeprecatedAttribute::write(DataOutput *output) { writeHeader(output); }
int DeprecatedAttribute::getAttributeLength() const { return 0; }
void DeprecatedAttribute::debug(const char *prefix) const { Log::debug("%s Deprecated attribute", prefix); }

// ---- Exceptions

void ExceptionsAttribute::initInstance() { AttributeInfo::initInstance(); exceptionIndexTable.clear(); }
void ExceptionsAttribute::release()
{
    AttributeInfo::release();
    exceptionIndexTable.clear();
}
void ExceptionsAttribute::read(DataInput *input)
{
    int count = input->readUnsignedShort();
    exceptionIndexTable.reserve(count);
    for (int i = 0; i < count && !input->hasOverrun(); i++)
        exceptionIndexTable.push_back(input->readUnsignedShort());
}
void ExceptionsAttribute::write(DataOutput *output)
{
    writeHeader(output);
    output->writeShort(static_cast<int>(exceptionIndexTable.size()));
    for (int index : exceptionIndexTable)
        output->writeShort(index);
}
int ExceptionsAttribute::getAttributeLength() const { return 2 + 2 * static_cast<int>(exceptionIndexTable.size()); }
void ExceptionsAttribute::debug(const char *prefix) const
{
    Log::debug("%s Exception attribute with %d exceptions", prefix, static_cast<int>(exceptionIndexTable.size()));
}

// ---- tables of entries

#define TESSERA_TABLE_ATTRIBUTE(Class, field, entrySize, text)                 \
    void Class::initInstance() { AttributeInfo::initInstance(); }              \
    void Class::release()                                                       \
    {                                                                           \
        AttributeInfo::release();                                               \
        freeTable(field);                                                       \
    }                                                                           \
    void Class::read(DataInput *input) { readTable(input, classFile, field); } \
    void Class::write(DataOutput *output)                                       \
    {                                                                           \
        writeHeader(output);                                                    \
        writeTable(output, field);                                              \
    }                                                                           \
    int Class::getAttributeLength() const { return 2 + entrySize * static_cast<int>(field.size()); } \
    void Class::debug(const char *prefix) const                                 \
    {                                                                           \
        Log::debug(text, prefix, static_cast<int>(field.size()));              \
    }

TESSERA_TABLE_ATTRIBUTE(InnerClassesAttribute, classes, 8, "%s InnerClasses attribute with %d classes")
TESSERA_TABLE_ATTRIBUTE(LineNumberTableAttribute, table, 4, "%s LineNumberTable attribute with %d entries")
TESSERA_TABLE_ATTRIBUTE(LocalVariableTableAttribute, table, 10, "%s LocalVariableTable attribute with %d entries")
TESSERA_TABLE_ATTRIBUTE(LocalVariableTypeTableAttribute, table, 10,
                        "%s LocalVariableTypeTable attribute with %d entries")

// ---- Code

void CodeAttribute::initInstance()
{
    AttributeInfo::initInstance();
    maxStack = maxLocals = 0;
    code = nullptr;
    codeLength = 0;
    ownsCode = false;
}

void CodeAttribute::release()
{
    AttributeInfo::release();
    if (ownsCode)
        delete[] code;
    code = nullptr;
    codeLength = 0;
    ownsCode = false;
    freeTable(exceptionTable);
}

void CodeAttribute::read(DataInput *input)
{
    maxStack = input->readUnsignedShort();
    maxLocals = input->readUnsignedShort();
    int length = input->readInt();
    if (length < 0 || length > input->getRemaining()) {
        input->skipBytes(input->getRemaining() + 1); // marks the overrun
        return;
    }
    codeLength = length;
    code = length > 0 ? input->getCurrentPosition() : nullptr;
    ownsCode = false;
    input->skipBytes(length);
    readTable(input, classFile, exceptionTable);
    if (!input->hasOverrun())
        readAttributes(input);
}

void CodeAttribute::write(DataOutput *output)
{
    writeHeader(output);
    output->writeShort(maxStack);
    output->writeShort(maxLocals);
    output->writeInt(codeLength);
    output->write(code, codeLength);
    writeTable(output, exceptionTable);
    writeAttributes(output);
}

int CodeAttribute::getAttributeLength() const
{
    int length = 12 + codeLength + 8 * static_cast<int>(exceptionTable.size());
    for (AttributeInfo *a : attributes)
        if (a != nullptr)
            length += 6 + a->getAttributeLength();
    return length;
}

void CodeAttribute::debug(const char *prefix) const
{
    Log::debug("%s Code attribute with max_stack %d, max_locals %d, code_length %d", prefix, maxStack, maxLocals,
               codeLength);
}

int CodeAttribute::getCode(const char **out) const
{
    if (out != nullptr)
        *out = code;
    return codeLength;
}

void CodeAttribute::setCode(char *bytes, int length)
{
    if (ownsCode)
        delete[] code;
    code = bytes;
    codeLength = length;
    ownsCode = true;
}

// ---- skipping

bool AttributeHelper::skipAttributes(DataInput *input)
{
    int count = input->readUnsignedShort();
    for (int i = 0; i < count && !input->hasOverrun(); i++) {
        input->skipBytes(2);
        int length = input->readInt();
        input->skipBytes(length);
    }
    return !input->hasOverrun();
}

} // namespace Tessera
