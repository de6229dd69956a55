#ifndef TESSERA_BYTECODEREADER_H
#define TESSERA_BYTECODEREADER_H

#include <vector>

namespace Tessera {

class AbstractInstruction;
class DataInput;

// Decodes a code array into instruction objects.
class ByteCodeReader {
public:
    // A new vector (from longInstructionVectorPool) holding the prefix instructions
    // (which keep their offsets) and then the decoded code; each instruction's
    // offset is its position in the code. Null on an invalid opcode or an
    // instruction that runs past the code's end (logged; nothing is kept, the
    // prefix instructions stay with the caller).
    static std::vector<AbstractInstruction *> *readByteCode(const char *code, int length);
    static std::vector<AbstractInstruction *> *readByteCode(const char *code, int length,
                                                            AbstractInstruction **prefix, int prefixCount);
    // One instruction; null for an invalid opcode (logged).
    static AbstractInstruction *readNextInstruction(DataInput *input, bool wide);
    // True when the code holds newarray, anewarray or multianewarray.
    static bool hasArrayAllocations(const char *code, int length);
    // Returns every instruction and the vector to their pools.
    static void freeInstructions(std::vector<AbstractInstruction *> *instructions);
};

} // namespace Tessera

#endif
