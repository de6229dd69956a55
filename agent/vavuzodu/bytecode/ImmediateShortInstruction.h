#ifndef TESSERA_IMMEDIATESHORTINSTRUCTION_H
#define TESSERA_IMMEDIATESHORTINSTRUCTION_H

#include "bytecode/AbstractInstruction.h"

namespace Tessera {

// sipush, ldc_w, ldc2_w, field access, invokevirtual/special/static, new,
// anewarray, checkcast, instanceof: one u2 operand.
class ImmediateShortInstruction : public AbstractInstruction {
    TESSERA_INSTRUCTION(ImmediateShortInstruction, AbstractInstruction)
    static ImmediateShortInstruction *getInstance(int opcode, int value);
    void initInstance(int op) { opcode = op; offset = 0; immediateShort = 0; }
    int getSize() const override { return 3; }
    void read(DataInput *input) override;
    void write(DataOutput *output) override;
    int getImmediateShort() const { return immediateShort; }
    void setImmediateShort(int v) { immediateShort = v; }

protected:
    int immediateShort = 0;
};

} // namespace Tessera

#endif
