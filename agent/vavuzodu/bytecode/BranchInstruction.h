#ifndef TESSERA_BRANCHINSTRUCTION_H
#define TESSERA_BRANCHINSTRUCTION_H

#include "bytecode/AbstractInstruction.h"

namespace Tessera {

// if-family, goto, jsr, ifnull, ifnonnull: signed 16-bit offset from the opcode.
class BranchInstruction : public AbstractInstruction {
    TESSERA_INSTRUCTION(BranchInstruction, AbstractInstruction)
    static BranchInstruction *getInstance(int opcode, int branchOffset);
    void initInstance(int op) { opcode = op; offset = 0; branchOffset = 0; }
    int getSize() const override { return 3; }
    void read(DataInput *input) override;
    void write(DataOutput *output) override;
    int getBranchOffset() const { return branchOffset; }
    void setBranchOffset(int o) { branchOffset = o; }

private:
    int branchOffset = 0;
};

} // namespace Tessera

#endif
