#ifndef TESSERA_PADDEDINSTRUCTION_H
#define TESSERA_PADDEDINSTRUCTION_H

#include "bytecode/AbstractInstruction.h"

namespace Tessera {

// Switches: after the opcode, zero bytes up to the next multiple of 4 counted
// from the start of the code array.
class PaddedInstruction : public AbstractInstruction {
    TESSERA_CLASS(PaddedInstruction, AbstractInstruction)
public:
    // Padding after an opcode that ends n bytes into the code.
    static int padding(int n) { return n % 4 == 0 ? 0 : 4 - n % 4; }
    int getPaddedSize(int at) const override { return getSize() + padding(at + 1); }
    int getDefaultOffset() const { return defaultOffset; }
    void setDefaultOffset(int o) { defaultOffset = o; }

protected:
    void readPadding(DataInput *input);
    void writePadding(DataOutput *output);
    int defaultOffset = 0;
};

} // namespace Tessera

#endif
