#include "bytecode/BranchInstruction.h"

#include "io/DataInput.h"
#include "io/DataOutput.h"

namespace Tessera {

const char *const BranchInstruction::CLASS_NAME = "BranchInstruction";

BranchInstruction *BranchInstruction::getInstance(int opcode, int branchOffset)
{
    BranchInstruction *i = getInstance(opcode);
    i->branchOffset = branchOffset;
    return i;
}

void BranchInstruction::read(DataInput *input) { branchOffset = input->readShort(); }

void BranchInstruction::write(DataOutput *output)
{
    output->writeByte(opcode);
    output->writeShort(branchOffset);
}

} // namespace Tessera
