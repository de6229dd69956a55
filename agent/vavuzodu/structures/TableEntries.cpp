#include "structures/TableEntries.h"

#include "io/DataInput.h"
#include "io/DataOutput.h"
#include "io/Log.h"
#include "structures/AbstractStructureHelper.h"

namespace Tessera {

const char *const ExceptionTableEntry::CLASS_NAME = "ExceptionTableEntry";
const char *const LineNumberTableEntry::CLASS_NAME = "LineNumberTableEntry";
const char *const LocalVariableTableEntry::CLASS_NAME = "LocalVariableTableEntry";
const char *const InnerClassesEntry::CLASS_NAME = "InnerClassesEntry";

namespace {

template <class T>
T *createEntry(DataInput *input, ClassFile *classFile)
{
    T *e = T::getInstance();
    e->setClassFile(classFile);
    e->read(input);
    return e;
}

} // namespace

ExceptionTableEntry *ExceptionTableEntry::getInstance(int startPc, int endPc, int handlerPc, int catchType)
{
    ExceptionTableEntry *e = getInstance();
    e->startPc = startPc;
    e->endPc = endPc;
    e->handlerPc = handlerPc;
    e->catchType = catchType;
    return e;
}

ExceptionTableEntry *ExceptionTableEntry::create(DataInput *input, ClassFile *classFile)
{
    return createEntry<ExceptionTableEntry>(input, classFile);
}

void ExceptionTableEntry::read(DataInput *input)
{
    startPc = input->readUnsignedShort();
    endPc = input->readUnsignedShort();
    handlerPc = input->readUnsignedShort();
    catchType = input->readUnsignedShort();
}

void ExceptionTableEntry::write(DataOutput *output)
{
    output->writeShort(startPc);
    output->writeShort(endPc);
    output->writeShort(handlerPc);
    output->writeShort(catchType);
}

void ExceptionTableEntry::debug(const char *prefix) const
{
    Log::debug("%s exception table entry with start_pc %d, end_pc %d, handler_pc %d, catch_type %d", prefix, startPc,
               endPc, handlerPc, catchType);
}

LineNumberTableEntry *LineNumberTableEntry::create(DataInput *input, ClassFile *classFile)
{
    return createEntry<LineNumberTableEntry>(input, classFile);
}

void LineNumberTableEntry::read(DataInput *input)
{
    startPc = input->readUnsignedShort();
    lineNumber = input->readUnsignedShort();
}

void LineNumberTableEntry::write(DataOutput *output)
{
    output->writeShort(startPc);
    output->writeShort(lineNumber);
}

void LineNumberTableEntry::debug(const char *prefix) const
{
    Log::debug("%s LineNumberTable entry with start_pc %d, line_number %d", prefix, startPc, lineNumber);
}

LocalVariableTableEntry *LocalVariableTableEntry::create(DataInput *input, ClassFile *classFile)
{
    return createEntry<LocalVariableTableEntry>(input, classFile);
}

void LocalVariableTableEntry::read(DataInput *input)
{
    startPc = input->readUnsignedShort();
    length = input->readUnsignedShort();
    nameIndex = input->readUnsignedShort();
    descriptorIndex = input->readUnsignedShort();
    index = input->readUnsignedShort();
}

void LocalVariableTableEntry::write(DataOutput *output)
{
    output->writeShort(startPc);
    output->writeShort(length);
    output->writeShort(nameIndex);
    output->writeShort(descriptorIndex);
    output->writeShort(index);
}

void LocalVariableTableEntry::debug(const char *prefix) const
{
    Log::debug("%s LocalVariableTable entry with start_pc %d, length %d, name_index %d, descriptor_index %d", prefix,
               startPc, length, nameIndex, descriptorIndex);
}

InnerClassesEntry *InnerClassesEntry::create(DataInput *input, ClassFile *classFile)
{
    return createEntry<InnerClassesEntry>(input, classFile);
}

void InnerClassesEntry::read(DataInput *input)
{
    innerClassInfoIndex = input->readUnsignedShort();
    outerClassInfoIndex = input->readUnsignedShort();
    innerNameIndex = input->readUnsignedShort();
    innerClassAccessFlags = input->readUnsignedShort();
}

void InnerClassesEntry::write(DataOutput *output)
{
    output->writeShort(innerClassInfoIndex);
    output->writeShort(outerClassInfoIndex);
    output->writeShort(innerNameIndex);
    output->writeShort(innerClassAccessFlags);
}

const char *InnerClassesEntry::getInnerClassFormattedAccessFlags() const
{
    return AbstractStructureHelper::printAccessFlags(innerClassAccessFlags);
}

void InnerClassesEntry::debug(const char *prefix) const
{
    Log::debug("%s InnerClasses entry with inner_class_info_index %d, outer_class_info_index %d, inner_name_index %d, "
               "access flags %s",
               prefix, innerClassInfoIndex, outerClassInfoIndex, innerNameIndex, getInnerClassFormattedAccessFlags());
}

} // namespace Tessera
