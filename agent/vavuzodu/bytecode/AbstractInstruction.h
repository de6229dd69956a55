#ifndef TESSERA_ABSTRACTINSTRUCTION_H
#define TESSERA_ABSTRACTINSTRUCTION_H

#include <vector>

#include "structures/InstancePool.h"
#include "structures/Object.h"
#include "structures/StandaloneInstancePool.h"

namespace Tessera {

class DataInput;
class DataOutput;

// One decoded instruction: its opcode and the offset of the opcode in the code
// array (set when read, and by the layout of code insertion).
class AbstractInstruction : public orvane::Object {
    TESSERA_CLASS(AbstractInstruction, orvane::Object)
public:
    // Returns the instruction to its class's pool.
    virtual void freeInstance() = 0;
    // Encoded length without switch padding.
    virtual int getSize() const { return 1; }
    // Reads the operands (the opcode was read by the decoder).
    virtual void read(DataInput *) {}
    // Writes the opcode and the operands.
    virtual void write(DataOutput *output);
    // Encoded length at a given offset (switches add padding).
    virtual int getPaddedSize(int) const { return getSize(); }

    int getOpcode() const { return opcode; }
    void setOpcode(int op) { opcode = op; }
    int getOffset() const { return offset; }
    void setOffset(int o) { offset = o; }
    const char *getOpcodeVerbose() const;

    AbstractInstruction *getNextInstance() const { return nextInstance; }
    void setNextInstance(AbstractInstruction *next) { nextInstance = next; }

protected:
    AbstractInstruction *nextInstance = nullptr;
    int opcode = 0;
    int offset = 0;
};

// Vectors of instructions: short lists built by the instrumenter, and decoded methods.
extern ts_helper::StandaloneInstancePool<AbstractInstruction *> instructionVectorPool;
extern ts_helper::StandaloneInstancePool<AbstractInstruction *> longInstructionVectorPool;

#define TESSERA_INSTRUCTION(Class, Base)                                       \
    TESSERA_CLASS(Class, Base)                                                   \
public:                                                                         \
    static Class *getInstance(int opcode)                                       \
    {                                                                           \
        Class *o = ts_helper::poolOf<Class>().getInstance();                   \
        o->initInstance(opcode);                                                \
        return o;                                                               \
    }                                                                           \
    void freeInstance() override { ts_helper::poolOf<Class>().freeInstance(this); }

} // namespace Tessera

#endif
