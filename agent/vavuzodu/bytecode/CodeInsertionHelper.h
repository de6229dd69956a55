#ifndef TESSERA_CODEINSERTIONHELPER_H
#define TESSERA_CODEINSERTIONHELPER_H

#include <vector>

#include "bytecode/OffsetMap.h"

namespace Tessera {

class AbstractInstruction;
class CodeAttribute;
class DataInput;
class DataOutput;
class MethodInfo;

class CodeInsertionHelper {
public:
    // New offset for an old pc: the new offset of what references to that
    // instruction resolve to; pc unchanged when it is no instruction offset.
    static int getNewPc(const OffsetMap &map, int oldPc);
    // Copies count verification types; an Uninitialized offset follows its own new
    // instruction. False on a bad type or an offset that is no instruction.
    static bool copyVerificationTypes(DataOutput *out, DataInput *in, const OffsetMap &map, int count);
    // Re-encodes the frames of oldBody (null when there are none) into out, with
    // an optional leading same_frame and a catch-all handler frame (full_frame
    // declaring the leading locals that every path keeps, and Throwable on the
    // stack). False on a frame that cannot be carried over (logged).
    static bool writeStackMapTable(DataOutput *out, const char *oldBody, int oldLength, const OffsetMap &map,
                                   std::vector<AbstractInstruction *> *newInstructions, CodeAttribute *code,
                                   MethodInfo *method, int handlerLength, int leadingFrame);
    // Gives the method's StackMapTable (made when missing) the content: one
    // same_frame frameByte.
    static void addObjectInitStackMapTable(CodeAttribute *codeAttribute, int frameByte);
};

} // namespace Tessera

#endif
