#include "bytecode/InvokeInterfaceInstruction.h"

#include "io/DataInput.h"
#include "io/DataOutput.h"

namespace Tessera {

const char *const InvokeInterfaceInstruction::CLASS_NAME = "InvokeInterfaceInstruction";

InvokeInterfaceInstruction *InvokeInterfaceInstruction::getInstance(int opcode, int index, int count)
{
    InvokeInterfaceInstruction *i = getInstance(opcode);
    i->immediateShort = index;
    i->count = count;
    return i;
}

void InvokeInterfaceInstruction::read(DataInput *input)
{
    immediateShort = input->readUnsignedShort();
    count = input->readUnsignedByte();
    input->readUnsignedByte();
}

void InvokeInterfaceInstruction::write(DataOutput *output)
{
    ImmediateShortInstruction::write(output);
    output->writeByte(count);
    output->writeByte(0);
}

} // namespace Tessera
