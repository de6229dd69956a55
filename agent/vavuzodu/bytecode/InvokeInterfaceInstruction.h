#ifndef TESSERA_INVOKEINTERFACEINSTRUCTION_H
#define TESSERA_INVOKEINTERFACEINSTRUCTION_H

#include "bytecode/ImmediateShortInstruction.h"

namespace Tessera {

// invokeinterface, invokedynamic: pool index, count byte, zero byte.
class InvokeInterfaceInstruction : public ImmediateShortInstruction {
    TESSERA_INSTRUCTION(InvokeInterfaceInstruction, ImmediateShortInstruction)
    static InvokeInterfaceInstruction *getInstance(int opcode, int index, int count);
    void initInstance(int op) { ImmediateShortInstruction::initInstance(op); count = 0; }
    int getSize() const override { return 5; }
    void read(DataInput *input) override;
    void write(DataOutput *output) override;
    int getCount() const { return count; }
    void setCount(int c) { count = c; }

private:
    int count = 0;
};

} // namespace Tessera

#endif
