#include "bytecode/Instructions.h"

#include "io/DataInput.h"
#include "io/DataOutput.h"

namespace Tessera {

const char *const AbstractInstruction::CLASS_NAME = "AbstractInstruction";
const char *const SimpleInstruction::CLASS_NAME = "SimpleInstruction";
const char *const ImmediateByteInstruction::CLASS_NAME = "ImmediateByteInstruction";
const char *const IncrementInstruction::CLASS_NAME = "IncrementInstruction";
const char *const ImmediateShortInstruction::CLASS_NAME = "ImmediateShortInstruction";
const char *const InvokeInterfaceInstruction::CLASS_NAME = "InvokeInterfaceInstruction";
const char *const MultianewarrayInstruction::CLASS_NAME = "MultianewarrayInstruction";
const char *const BranchInstruction::CLASS_NAME = "BranchInstruction";
const char *const ImmediateIntInstruction::CLASS_NAME = "ImmediateIntInstruction";
const char *const PaddedInstruction::CLASS_NAME = "PaddedInstruction";
const char *const TableSwitchInstruction::CLASS_NAME = "TableSwitchInstruction";
const char *const LookupSwitchInstruction::CLASS_NAME = "LookupSwitchInstruction";

ts_helper::StandaloneInstancePool<AbstractInstruction *> instructionVectorPool;
ts_helper::StandaloneInstancePool<AbstractInstruction *> longInstructionVectorPool;
ts_helper::StandaloneInstancePool<MatchOffsetPair *> matchOffsetPairVectorPool;

void AbstractInstruction::write(DataOutput *output) { output->writeByte(opcode); }

const char *AbstractInstruction::getOpcodeVerbose() const
{
    const char *name = OpcodesUtil::getVerbose(opcode);
    return name == nullptr ? "invalid opcode" : name;
}

// ---- immediate byte, increment

ImmediateByteInstruction *ImmediateByteInstruction::getInstance(int opcode, bool wide, int value)
{
    ImmediateByteInstruction *i = getInstance(opcode);
    i->wide = wide;
    i->immediateByte = value;
    return i;
}

void ImmediateByteInstruction::read(DataInput *input)
{
    immediateByte = wide ? input->readUnsignedShort() : input->readUnsignedByte();
}

void ImmediateByteInstruction::write(DataOutput *output)
{
    output->writeByte(opcode);
    if (wide)
        output->writeShort(immediateByte);
    else
        output->writeByte(immediateByte);
}

IncrementInstruction *IncrementInstruction::getInstance(int opcode, bool wide, int index, int constant)
{
    IncrementInstruction *i = getInstance(opcode);
    i->wide = wide;
    i->immediateByte = index;
    i->incrementConst = constant;
    return i;
}

void IncrementInstruction::read(DataInput *input)
{
    ImmediateByteInstruction::read(input);
    incrementConst = wide ? input->readUnsignedShort() : input->readUnsignedByte();
}

void IncrementInstruction::write(DataOutput *output)
{
    ImmediateByteInstruction::write(output);
    if (wide)
        output->writeShort(incrementConst);
    else
        output->writeByte(incrementConst);
}

// ---- immediate short and its kin

ImmediateShortInstruction *ImmediateShortInstruction::getInstance(int opcode, int value)
{
    ImmediateShortInstruction *i = getInstance(opcode);
    i->immediateShort = value;
    return i;
}

void ImmediateShortInstruction::read(DataInput *input) { immediateShort = input->readUnsignedShort(); }

void ImmediateShortInstruction::write(DataOutput *output)
{
    output->writeByte(opcode);
    output->writeShort(immediateShort);
}

InvokeInterfaceInstruction *InvokeInterfaceInstruction::getInstance(int opcode, int index, int count)
{
    InvokeInterfaceInstruction *i = getInstance(opcode);
    i->immediateShort = index;
    i->count = count;
    return i;
}

void InvokeInterfaceInstruction::read(DataInput *input)
{
    immediateShort = input->readUnsignedShort();
    count = input->readUnsignedByte();
    input->readUnsignedByte();
}

void InvokeInterfaceInstruction::write(DataOutput *output)
{
    ImmediateShortInstruction::write(output);
    output->writeByte(count);
    output->writeByte(0);
}

MultianewarrayInstruction *MultianewarrayInstruction::getInstance(int opcode, int index, int dimensions)
{
    MultianewarrayInstruction *i = getInstance(opcode);
    i->immediateShort = index;
    i->dimensions = dimensions;
    return i;
}

void MultianewarrayInstruction::read(DataInput *input)
{
    immediateShort = input->readUnsignedShort();
    dimensions = input->readUnsignedByte();
}

void MultianewarrayInstruction::write(DataOutput *output)
{
    ImmediateShortInstruction::write(output);
    output->writeByte(dimensions);
}

// ---- branches

BranchInstruction *BranchInstruction::getInstance(int opcode, int branchOffset)
{
    BranchInstruction *i = getInstance(opcode);
    i->branchOffset = branchOffset;
    return i;
}

void BranchInstruction::read(DataInput *input) { branchOffset = input->readShort(); }

void BranchInstruction::write(DataOutput *output)
{
    output->writeByte(opcode);
    output->writeShort(branchOffset);
}

ImmediateIntInstruction *ImmediateIntInstruction::getInstance(int opcode, int value)
{
    ImmediateIntInstruction *i = getInstance(opcode);
    i->immediateInt = value;
    return i;
}

void ImmediateIntInstruction::read(DataInput *input) { immediateInt = input->readInt(); }

void ImmediateIntInstruction::write(DataOutput *output)
{
    output->writeByte(opcode);
    output->writeInt(immediateInt);
}

// ---- switches

void PaddedInstruction::readPadding(DataInput *input) { input->skipBytes(padding(input->getBytesRead())); }

void PaddedInstruction::writePadding(DataOutput *output)
{
    for (int n = padding(output->getSize()); n > 0; n--)
        output->writeByte(0);
}

void TableSwitchInstruction::read(DataInput *input)
{
    readPadding(input);
    defaultOffset = input->readInt();
    lowByte = input->readInt();
    highByte = input->readInt();
    long long entries = static_cast<long long>(highByte) - lowByte + 1;
    // A table larger than what is left of the code cannot be real: leave it empty
    // and let the overrun flag tell.
    if (entries <= 0 || entries > input->getRemaining() / 4) {
        input->skipBytes(input->getRemaining() + 1);
        return;
    }
    jumpOffsets.reserve(static_cast<size_t>(entries));
    for (long long i = 0; i < entries; i++)
        jumpOffsets.push_back(input->readInt());
}

void TableSwitchInstruction::write(DataOutput *output)
{
    output->writeByte(opcode);
    writePadding(output);
    output->writeInt(defaultOffset);
    output->writeInt(lowByte);
    output->writeInt(highByte);
    for (int o : jumpOffsets)
        output->writeInt(o);
}

MatchOffsetPair *MatchOffsetPair::getInstance(int match, int offset)
{
    MatchOffsetPair *p = ts_helper::poolOf<MatchOffsetPair>().getInstance();
    p->match = match;
    p->offset = offset;
    return p;
}

void MatchOffsetPair::freeInstance() { ts_helper::poolOf<MatchOffsetPair>().freeInstance(this); }

LookupSwitchInstruction *LookupSwitchInstruction::getInstance(int opcode)
{
    LookupSwitchInstruction *o = ts_helper::poolOf<LookupSwitchInstruction>().getInstance();
    o->initInstance(opcode);
    return o;
}

void LookupSwitchInstruction::initInstance(int op)
{
    opcode = op;
    offset = 0;
    defaultOffset = 0;
    if (matchOffsetPairs == nullptr)
        matchOffsetPairs = matchOffsetPairVectorPool.getInstance(false);
}

void LookupSwitchInstruction::releasePairs()
{
    if (matchOffsetPairs == nullptr)
        return;
    for (MatchOffsetPair *p : *matchOffsetPairs)
        p->freeInstance();
    matchOffsetPairVectorPool.freeInstance(matchOffsetPairs);
    matchOffsetPairs = nullptr;
}

void LookupSwitchInstruction::freeInstance()
{
    releasePairs();
    ts_helper::poolOf<LookupSwitchInstruction>().freeInstance(this);
}

void LookupSwitchInstruction::setMatchOffsetPairs(std::vector<MatchOffsetPair *> *v)
{
    releasePairs();
    matchOffsetPairs = v;
}

void LookupSwitchInstruction::read(DataInput *input)
{
    readPadding(input);
    defaultOffset = input->readInt();
    int count = input->readInt();
    if (count < 0 || count > input->getRemaining() / 8) {
        input->skipBytes(input->getRemaining() + 1);
        return;
    }
    matchOffsetPairs->reserve(count);
    for (int i = 0; i < count; i++) {
        int match = input->readInt();
        matchOffsetPairs->push_back(MatchOffsetPair::getInstance(match, input->readInt()));
    }
}

void LookupSwitchInstruction::write(DataOutput *output)
{
    output->writeByte(opcode);
    writePadding(output);
    output->writeInt(defaultOffset);
    output->writeInt(static_cast<int>(matchOffsetPairs->size()));
    for (MatchOffsetPair *p : *matchOffsetPairs) {
        output->writeInt(p->getMatch());
        output->writeInt(p->getOffset());
    }
}

// ---- mnemonics

namespace {

const char *const opcodeNames[203] = {
    "nop", "aconst_null", "iconst_m1", "iconst_0", "iconst_1", "iconst_2", "iconst_3", "iconst_4", "iconst_5",
    "lconst_0", "lconst_1", "fconst_0", "fconst_1", "fconst_2", "dconst_0", "dconst_1", "bipush", "sipush", "ldc",
    "ldc_w", "ldc2_w", "iload", "lload", "fload", "dload", "aload", "iload_0", "iload_1", "iload_2", "iload_3",
    "lload_0", "lload_1", "lload_2", "lload_3", "fload_0", "fload_1", "fload_2", "fload_3", "dload_0", "dload_1",
    "dload_2", "dload_3", "aload_0", "aload_1", "aload_2", "aload_3", "iaload", "laload", "faload", "daload",
    "aaload", "baload", "caload", "saload", "istore", "lstore", "fstore", "dstore", "astore", "istore_0",
    "istore_1", "istore_2", "istore_3", "lstore_0", "lstore_1", "lstore_2", "lstore_3", "fstore_0", "fstore_1",
    "fstore_2", "fstore_3", "dstore_0", "dstore_1", "dstore_2", "dstore_3", "astore_0", "astore_1", "astore_2",
    "astore_3", "iastore", "lastore", "fastore", "dastore", "aastore", "bastore", "castore", "sastore", "pop",
    "pop2", "dup", "dup_x1", "dup_x2", "dup2", "dup2_x1", "dup2_x2", "swap", "iadd", "ladd", "fadd", "dadd", "isub",
    "lsub", "fsub", "dsub", "imul", "lmul", "fmul", "dmul", "idiv", "ldiv", "fdiv", "ddiv", "irem", "lrem", "frem",
    "drem", "ineg", "lneg", "fneg", "dneg", "ishl", "lshl", "ishr", "lshr", "iushr", "lushr", "iand", "land", "ior",
    "lor", "ixor", "lxor", "iinc", "i2l", "i2f", "i2d", "l2i", "l2f", "l2d", "f2i", "f2l", "f2d", "d2i", "d2l", "d2f",
    "i2b", "i2c", "i2s", "lcmp", "fcmpl", "fcmpg", "dcmpl", "dcmpg", "ifeq", "ifne", "iflt", "ifge", "ifgt", "ifle",
    "if_icmpeq", "if_icmpne", "if_icmplt", "if_icmpge", "if_icmpgt", "if_icmple", "if_acmpeq", "if_acmpne", "goto",
    "jsr", "ret", "tableswitch", "lookupswitch", "ireturn", "lreturn", "freturn", "dreturn", "areturn", "return",
    "getstatic", "putstatic", "getfield", "putfield", "invokevirtual", "invokespecial", "invokestatic",
    "invokeinterface", "invokedynamic", "new", "newarray", "anewarray", "arraylength", "athrow", "checkcast",
    "instanceof", "monitorenter", "monitorexit", "wide", "multianewarray", "ifnull", "ifnonnull", "goto_w", "jsr_w",
    "breakpoint",
};

} // namespace

const char *OpcodesUtil::getVerbose(int opcode)
{
    if (opcode >= 0 && opcode <= 202)
        return opcodeNames[opcode];
    if (opcode == 254)
        return "impdep1";
    if (opcode == 255)
        return "impdep2";
    return nullptr;
}

const char *OpcodesUtil::getArrayTypeVerbose(int type)
{
    static const char *const names[] = {"boolean", "char", "float", "double", "byte", "short", "int", "long"};
    return type >= 4 && type <= 11 ? names[type - 4] : "invalid array type";
}

} // namespace Tessera
