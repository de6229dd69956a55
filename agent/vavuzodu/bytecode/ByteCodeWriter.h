#ifndef TESSERA_BYTECODEWRITER_H
#define TESSERA_BYTECODEWRITER_H

#include <vector>

namespace Tessera {

class AbstractInstruction;

// Encodes instructions, in order, into a code array.
class ByteCodeWriter {
public:
    // Writes into *codeOut (new[], owned by the caller) and returns the length.
    // The instructions' offsets must have been laid out in the same order, since
    // switch padding depends on the position.
    static int writeByteCode(char **codeOut, std::vector<AbstractInstruction *> *instructions);
};

} // namespace Tessera

#endif
