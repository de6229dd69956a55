#ifndef TESSERA_IMMEDIATEBYTEINSTRUCTION_H
#define TESSERA_IMMEDIATEBYTEINSTRUCTION_H

#include "bytecode/AbstractInstruction.h"

namespace Tessera {

// bipush, ldc, loads, stores, ret, newarray: one operand byte, two after wide.
class ImmediateByteInstruction : public AbstractInstruction {
    TESSERA_INSTRUCTION(ImmediateByteInstruction, AbstractInstruction)
    static ImmediateByteInstruction *getInstance(int opcode, bool wide, int value);
    void initInstance(int op) { opcode = op; offset = 0; wide = false; immediateByte = 0; }
    int getSize() const override { return wide ? 3 : 2; }
    void read(DataInput *input) override;
    void write(DataOutput *output) override;
    int getImmediateByte() const { return immediateByte; }
    void setImmediateByte(int v) { immediateByte = v; }
    bool isWide() const { return wide; }
    void setWide(bool w) { wide = w; }

protected:
    int immediateByte = 0;
    bool wide = false;
};

} // namespace Tessera

#endif
