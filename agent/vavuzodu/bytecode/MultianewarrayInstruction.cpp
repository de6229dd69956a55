#include "bytecode/MultianewarrayInstruction.h"

#include "io/DataInput.h"
#include "io/DataOutput.h"

namespace Tessera {

const char *const MultianewarrayInstruction::CLASS_NAME = "MultianewarrayInstruction";

MultianewarrayInstruction *MultianewarrayInstruction::getInstance(int opcode, int index, int dimensions)
{
    MultianewarrayInstruction *i = getInstance(opcode);
    i->immediateShort = index;
    i->dimensions = dimensions;
    return i;
}

void MultianewarrayInstruction::read(DataInput *input)
{
    immediateShort = input->readUnsignedShort();
    dimensions = input->readUnsignedByte();
}

void MultianewarrayInstruction::write(DataOutput *output)
{
    ImmediateShortInstruction::write(output);
    output->writeByte(dimensions);
}

} // namespace Tessera
