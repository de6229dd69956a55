#include "bytecode/ImmediateIntInstruction.h"

#include "io/DataInput.h"
#include "io/DataOutput.h"

namespace Tessera {

const char *const ImmediateIntInstruction::CLASS_NAME = "ImmediateIntInstruction";

ImmediateIntInstruction *ImmediateIntInstruction::getInstance(int opcode, int value)
{
    ImmediateIntInstruction *i = getInstance(opcode);
    i->immediateInt = value;
    return i;
}

void ImmediateIntInstruction::read(DataInput *input) { immediateInt = input->readInt(); }

void ImmediateIntInstruction::write(DataOutput *output)
{
    output->writeByte(opcode);
    output->writeInt(immediateInt);
}

} // namespace Tessera
