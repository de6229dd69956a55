#ifndef TESSERA_TABLESWITCHINSTRUCTION_H
#define TESSERA_TABLESWITCHINSTRUCTION_H

#include <vector>

#include "bytecode/PaddedInstruction.h"

namespace Tessera {

class TableSwitchInstruction : public PaddedInstruction {
    TESSERA_INSTRUCTION(TableSwitchInstruction, PaddedInstruction)
    void initInstance(int op) { opcode = op; offset = 0; defaultOffset = lowByte = highByte = 0; jumpOffsets.clear(); }
    int getSize() const override { return 13 + 4 * static_cast<int>(jumpOffsets.size()); }
    void read(DataInput *input) override;
    void write(DataOutput *output) override;
    int getLowByte() const { return lowByte; }
    void setLowByte(int v) { lowByte = v; }
    int getHighByte() const { return highByte; }
    void setHighByte(int v) { highByte = v; }
    std::vector<int> &getJumpOffsets() { return jumpOffsets; }

private:
    int lowByte = 0;
    int highByte = 0;
    std::vector<int> jumpOffsets;
};

} // namespace Tessera

#endif
