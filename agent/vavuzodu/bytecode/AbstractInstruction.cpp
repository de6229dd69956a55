#include "bytecode/AbstractInstruction.h"

#include "bytecode/OpcodesUtil.h"
#include "io/DataOutput.h"

namespace Tessera {

const char *const AbstractInstruction::CLASS_NAME = "AbstractInstruction";

ts_helper::StandaloneInstancePool<AbstractInstruction *> instructionVectorPool;
ts_helper::StandaloneInstancePool<AbstractInstruction *> longInstructionVectorPool;

void AbstractInstruction::write(DataOutput *output) { output->writeByte(opcode); }

const char *AbstractInstruction::getOpcodeVerbose() const
{
    const char *name = OpcodesUtil::getVerbose(opcode);
    return name == nullptr ? "invalid opcode" : name;
}

} // namespace Tessera
