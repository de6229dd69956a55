#ifndef TESSERA_CODEINSERTION_H
#define TESSERA_CODEINSERTION_H

#include <vector>

#include "structures/Object.h"
#include "structures/StandaloneInstancePool.h"

namespace Tessera {

class AbstractInstruction;
class CodeAttribute;
class MethodInfo;

// Instructions to put before and after the instruction at position of a decoded
// method. With shiftTarget, everything that referred to that instruction (branches,
// switch targets, exception ranges, line numbers, local-variable ranges, stack
// map frames) refers afterwards to the first pre-instruction; without it, jumps
// skip the pre-instructions. Post-instructions are never the target of an old
// reference. Pooled; used under the caller's lock.
class CodeInsertion : public orvane::Object {
    TESSERA_CLASS(CodeInsertion, orvane::Object)
public:
    // Results of apply.
    enum {
        APPLIED = 0,
        ERROR_CODE_TOO_LONG = 1,     // more than 65,000 bytes or a 16-bit branch out of range
        ERROR_EXCEPTION_TABLE = 2,   // an exception-table entry does not map to instructions
        ERROR_BRANCH_TARGET = 3,     // a branch target is not an instruction
        ERROR_STACK_MAP = 4,         // the StackMapTable could not be rewritten
    };
    static const int MAX_CODE_LENGTH = 65000;
    static const int MAX_BRANCH_OFFSET = 32766;

    // pre and post (from instructionVectorPool, or null) are owned by the insertion.
    static CodeInsertion *getInstance(int position, std::vector<AbstractInstruction *> *pre,
                                      std::vector<AbstractInstruction *> *post, bool shiftTarget);
    // Returns both vectors to instructionVectorPool (not the instructions in them).
    void freeInstance();

    int getPosition() const { return position; }
    void setPosition(int p) { position = p; }
    bool isShiftTarget() const { return shiftTarget; }
    void setShiftTarget(bool s) { shiftTarget = s; }
    std::vector<AbstractInstruction *> *getPreInstructions() const { return preInstructions; }
    std::vector<AbstractInstruction *> *getPostInstructions() const { return postInstructions; }
    // Take v and return the replaced vector to its pool.
    void setPreInstructions(std::vector<AbstractInstruction *> *v);
    void setPostInstructions(std::vector<AbstractInstruction *> *v);

    // A new vector holding first's instructions then second's (null counts as empty).
    static std::vector<AbstractInstruction *> *mergeInstructions(std::vector<AbstractInstruction *> *first,
                                                                 std::vector<AbstractInstruction *> *second);
    // a or b when the other is null; else a new insertion with pre = b.pre + a.pre
    // and post = a.post + b.post, and a and b are freed.
    static CodeInsertion *merge(int position, bool shiftTarget, CodeInsertion *a, CodeInsertion *b);

    // Splices insertions (sorted by position, at most one per position) into
    // instructions, lays the code out, repairs branches and switches and, with a
    // Code attribute, its exception table, line numbers, local-variable tables
    // and StackMapTable. handlerLength > 0: the code ends with a catch-all handler
    // of that many bytes, which gets a frame. leadingFrame >= 0: one same_frame at
    // that offset before all others. Returns the new list (from
    // longInstructionVectorPool; instructions carry their new offsets) and *error
    // APPLIED, or null: with no insertions (*error APPLIED), or on an error, when
    // every instruction (old and inserted) has been returned to its pool and the
    // Code attribute is unchanged; the caller then frees only its old vector.
    static std::vector<AbstractInstruction *> *apply(std::vector<AbstractInstruction *> *instructions,
                                                     std::vector<CodeInsertion *> *insertions,
                                                     CodeAttribute *codeAttribute, MethodInfo *method,
                                                     int handlerLength, int leadingFrame, int *error);

    CodeInsertion *getNextInstance() const { return next; }
    void setNextInstance(CodeInsertion *n) { next = n; }

private:
    int position = 0;
    std::vector<AbstractInstruction *> *preInstructions = nullptr;
    std::vector<AbstractInstruction *> *postInstructions = nullptr;
    bool shiftTarget = false;
    CodeInsertion *next = nullptr;
};

extern ts_helper::StandaloneInstancePool<CodeInsertion *> codeInsertionVectorPool;

} // namespace Tessera

#endif
