#include "bytecode/IncrementInstruction.h"

#include "io/DataInput.h"
#include "io/DataOutput.h"

namespace Tessera {

const char *const IncrementInstruction::CLASS_NAME = "IncrementInstruction";

IncrementInstruction *IncrementInstruction::getInstance(int opcode, bool wide, int index, int constant)
{
    IncrementInstruction *i = getInstance(opcode);
    i->wide = wide;
    i->immediateByte = index;
    i->incrementConst = constant;
    return i;
}

void IncrementInstruction::read(DataInput *input)
{
    ImmediateByteInstruction::read(input);
    incrementConst = wide ? input->readUnsignedShort() : input->readUnsignedByte();
}

void IncrementInstruction::write(DataOutput *output)
{
    ImmediateByteInstruction::write(output);
    if (wide)
        output->writeShort(incrementConst);
    else
        output->writeByte(incrementConst);
}

} // namespace Tessera
