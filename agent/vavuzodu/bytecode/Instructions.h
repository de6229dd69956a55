#ifndef VAVUZODU_INSTRUCTIONS_H
#define VAVUZODU_INSTRUCTIONS_H

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
    ORVANE_CLASS(AbstractInstruction, orvane::Object)
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

#define TESSERA_INSTRUCTION(Class, Base)                                       \
    ORVANE_CLASS(Class, Base)                                                   \
public:                                                                         \
    static Class *getInstance(int opcode)                                       \
    {                                                                           \
        Class *o = ts_helper::poolOf<Class>().getInstance();                   \
        o->initInstance(opcode);                                                \
        return o;                                                               \
    }                                                                           \
    void freeInstance() override { ts_helper::poolOf<Class>().freeInstance(this); }

// Every opcode without operands (wide, breakpoint, impdep1/2 included).
class SimpleInstruction : public AbstractInstruction {
    TESSERA_INSTRUCTION(SimpleInstruction, AbstractInstruction)
    void initInstance(int op) { opcode = op; offset = 0; }
};

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

// A match and its jump offset in a lookupswitch.
class MatchOffsetPair {
public:
    static MatchOffsetPair *getInstance(int match, int offset);
    void freeInstance();
    int getMatch() const { return match; }
    void setMatch(int m) { match = m; }
    int getOffset() const { return offset; }
    void setOffset(int o) { offset = o; }
    MatchOffsetPair *getNextInstance() const { return next; }
    void setNextInstance(MatchOffsetPair *n) { next = n; }

private:
    int match = 0;
    int offset = 0;
    MatchOffsetPair *next = nullptr;
};

// Switches: after the opcode, zero bytes up to the next multiple of 4 counted
// from the start of the code array.
class PaddedInstruction : public AbstractInstruction {
    ORVANE_CLASS(PaddedInstruction, AbstractInstruction)
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

class LookupSwitchInstruction : public PaddedInstruction {
    ORVANE_CLASS(LookupSwitchInstruction, PaddedInstruction)
public:
    static LookupSwitchInstruction *getInstance(int opcode);
    // Returns its pairs and their vector to their pools first.
    void freeInstance() override;
    void initInstance(int op);
    int getSize() const override { return 9 + 8 * static_cast<int>(matchOffsetPairs->size()); }
    void read(DataInput *input) override;
    void write(DataOutput *output) override;
    std::vector<MatchOffsetPair *> *getMatchOffsetPairs() { return matchOffsetPairs; }
    // Returns the old pairs and vector to their pools and takes v (not null).
    void setMatchOffsetPairs(std::vector<MatchOffsetPair *> *v);

private:
    void releasePairs();
    std::vector<MatchOffsetPair *> *matchOffsetPairs = nullptr;
};

// Vectors of instructions: short lists built by the instrumenter, and decoded methods.
extern ts_helper::StandaloneInstancePool<AbstractInstruction *> instructionVectorPool;
extern ts_helper::StandaloneInstancePool<AbstractInstruction *> longInstructionVectorPool;
extern ts_helper::StandaloneInstancePool<MatchOffsetPair *> matchOffsetPairVectorPool;

// Opcode mnemonics.
class OpcodesUtil {
public:
    // The mnemonic of opcode, or null when it has none (203-253, above 255).
    static const char *getVerbose(int opcode);
    static const char *getArrayTypeVerbose(int type);
};

} // namespace Tessera

#endif
