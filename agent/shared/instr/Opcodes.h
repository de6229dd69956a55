#ifndef AGENT_INSTR_OPCODES_H
#define AGENT_INSTR_OPCODES_H

// The JVM opcodes the rewriters put into or look for in method code.
namespace Opcodes {

enum {
    OP_NOP = 0,
    OP_ACONST_NULL = 1,
    OP_ICONST_0 = 3,
    OP_BIPUSH = 16,
    OP_SIPUSH = 17,
    OP_LDC_W = 19,
    OP_ILOAD = 21,
    OP_LLOAD = 22,
    OP_FLOAD = 23,
    OP_DLOAD = 24,
    OP_ALOAD = 25,
    OP_ALOAD_0 = 42,
    OP_ALOAD_1 = 43,
    OP_ISTORE = 54,
    OP_ASTORE = 58,
    OP_ISTORE_0 = 59,
    OP_ASTORE_3 = 78,
    OP_AASTORE = 83,
    OP_DUP = 89,
    OP_DUP2 = 92,
    OP_IINC = 132,
    OP_IFEQ = 153,
    OP_IFNE = 154,
    OP_IRETURN = 172,
    OP_LRETURN = 173,
    OP_FRETURN = 174,
    OP_DRETURN = 175,
    OP_ARETURN = 176,
    OP_RETURN = 177,
    OP_GETSTATIC = 178,
    OP_INVOKEVIRTUAL = 182,
    OP_INVOKESPECIAL = 183,
    OP_INVOKESTATIC = 184,
    OP_INVOKEINTERFACE = 185,
    OP_NEW = 187,
    OP_NEWARRAY = 188,
    OP_ANEWARRAY = 189,
    OP_ATHROW = 191,
    OP_MULTIANEWARRAY = 197,
};

} // namespace Opcodes

#endif
