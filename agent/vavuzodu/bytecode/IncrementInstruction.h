#ifndef TESSERA_INCREMENTINSTRUCTION_H
#define TESSERA_INCREMENTINSTRUCTION_H

#include "bytecode/ImmediateByteInstruction.h"

namespace Tessera {

// iinc: local index and constant, one byte each or two each after wide.
class IncrementInstruction : public ImmediateByteInstruction {
    TESSERA_INSTRUCTION(IncrementInstruction, ImmediateByteInstruction)
    static IncrementInstruction *getInstance(int opcode, bool wide, int index, int constant);
    void initInstance(int op) { ImmediateByteInstruction::initInstance(op); incrementConst = 0; }
    int getSize() const override { return wide ? 5 : 3; }
    void read(DataInput *input) override;
    void write(DataOutput *output) override;
    int getIncrementConst() const { return incrementConst; }
    void setIncrementConst(int v) { incrementConst = v; }

private:
    int incrementConst = 0;
};

} // namespace Tessera

#endif
