#include "bytecode/ImmediateShortInstruction.h"

#include "io/DataInput.h"
#include "io/DataOutput.h"

namespace Tessera {

const char *const ImmediateShortInstruction::CLASS_NAME = "ImmediateShortInstruction";

ImmediateShortInstruction *ImmediateShortInstruction::getInstance(int opcode, int value)
{
    ImmediateShortInstruction *i = getInstance(opcode);
    i->immediateShort = value;
    return i;
}

void ImmediateShortInstruction::read(DataInput *input) { immediateShort = input->readUnsignedShort(); }

void ImmediateShortInstruction::write(DataOutput *output)
{
    output->writeByte(opcode);
    output->writeShort(immediateShort);
}

} // namespace Tessera
