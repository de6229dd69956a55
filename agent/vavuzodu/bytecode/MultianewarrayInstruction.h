#ifndef TESSERA_MULTIANEWARRAYINSTRUCTION_H
#define TESSERA_MULTIANEWARRAYINSTRUCTION_H

#include "bytecode/ImmediateShortInstruction.h"

namespace Tessera {

// multianewarray: pool index and dimensions.
class MultianewarrayInstruction : public ImmediateShortInstruction {
    TESSERA_INSTRUCTION(MultianewarrayInstruction, ImmediateShortInstruction)
    static MultianewarrayInstruction *getInstance(int opcode, int index, int dimensions);
    void initInstance(int op) { ImmediateShortInstruction::initInstance(op); dimensions = 0; }
    int getSize() const override { return 4; }
    void read(DataInput *input) override;
    void write(DataOutput *output) override;
    int getDimensions() const { return dimensions; }
    void setDimensions(int d) { dimensions = d; }

private:
    int dimensions = 0;
};

} // namespace Tessera

#endif
