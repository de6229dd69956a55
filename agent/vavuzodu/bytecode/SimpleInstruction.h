#ifndef TESSERA_SIMPLEINSTRUCTION_H
#define TESSERA_SIMPLEINSTRUCTION_H

#include "bytecode/AbstractInstruction.h"

namespace Tessera {

// Every opcode without operands (wide, breakpoint, impdep1/2 included).
class SimpleInstruction : public AbstractInstruction {
    TESSERA_INSTRUCTION(SimpleInstruction, AbstractInstruction)
    void initInstance(int op) { opcode = op; offset = 0; }
};

} // namespace Tessera

#endif
