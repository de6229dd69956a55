#ifndef TESSERA_IMMEDIATEINTINSTRUCTION_H
#define TESSERA_IMMEDIATEINTINSTRUCTION_H

#include "bytecode/AbstractInstruction.h"

namespace Tessera {

// goto_w, jsr_w: signed 32-bit offset.
class ImmediateIntInstruction : public AbstractInstruction {
    TESSERA_INSTRUCTION(ImmediateIntInstruction, AbstractInstruction)
    static ImmediateIntInstruction *getInstance(int opcode, int value);
    void initInstance(int op) { opcode = op; offset = 0; immediateInt = 0; }
    int getSize() const override { return 5; }
    void read(DataInput *input) override;
    void write(DataOutput *output) override;
    int getImmediateInt() const { return immediateInt; }
    void setImmediateInt(int v) { immediateInt = v; }

private:
    int immediateInt = 0;
};

} // namespace Tessera

#endif
