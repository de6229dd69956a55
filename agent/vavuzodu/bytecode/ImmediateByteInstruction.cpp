#include "bytecode/ImmediateByteInstruction.h"

#include "io/DataInput.h"
#include "io/DataOutput.h"

namespace Tessera {

const char *const ImmediateByteInstruction::CLASS_NAME = "ImmediateByteInstruction";

ImmediateByteInstruction *ImmediateByteInstruction::getInstance(int opcode, bool wide, int value)
{
    ImmediateByteInstruction *i = getInstance(opcode);
    i->wide = wide;
    i->immediateByte = value;
    return i;
}

void ImmediateByteInstruction::read(DataInput *input)
{
    immediateByte = wide ? input->readUnsignedShort() : input->readUnsignedByte();
}

void ImmediateByteInstruction::write(DataOutput *output)
{
    output->writeByte(opcode);
    if (wide)
        output->writeShort(immediateByte);
    else
        output->writeByte(immediateByte);
}

} // namespace Tessera
