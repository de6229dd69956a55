#include "structures/LocalVariableTableEntry.h"

#include "io/DataInput.h"
#include "io/DataOutput.h"
#include "io/Log.h"

namespace Tessera {

const char *const LocalVariableTableEntry::CLASS_NAME = "LocalVariableTableEntry";

LocalVariableTableEntry *LocalVariableTableEntry::create(DataInput *input, ClassFile *classFile)
{
    return readInstance<LocalVariableTableEntry>(input, classFile);
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

} // namespace Tessera
