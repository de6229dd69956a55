#include "rewrite/HookRewriter.h"

#include <cstring>

#include "bytecode/ByteCodeReader.h"
#include "bytecode/ByteCodeWriter.h"
#include "bytecode/CodeInsertion.h"
#include "bytecode/Instructions.h"
#include "io/ClassFileReader.h"
#include "io/ClassFileWriter.h"
#include "structures/ClassFile.h"
#include "structures/ConstantPoolUtil.h"
#include "structures/MethodInfo.h"
#include "structures/TableEntries.h"
#include "structures/TypedAttributes.h"

using namespace Tessera;

namespace {

typedef std::vector<AbstractInstruction *> List;

enum { OP_NOP = 0, OP_SIPUSH = 17, OP_IRETURN = 172, OP_RETURN = 177, OP_ATHROW = 191, OP_INVOKESTATIC = 184 };

// sipush methodIndex, sipush site, invokestatic hook: 9 bytes, two stack slots.
void appendHookCall(List *v, int hook, int methodIndex, int site)
{
    v->push_back(ImmediateShortInstruction::getInstance(OP_SIPUSH, methodIndex));
    v->push_back(ImmediateShortInstruction::getInstance(OP_SIPUSH, site));
    v->push_back(ImmediateShortInstruction::getInstance(OP_INVOKESTATIC, hook));
}

const int HOOK_CALL_LENGTH = 9;
const int HANDLER_LENGTH = HOOK_CALL_LENGTH + 1;

struct Hooks {
    int enter;
    int exit;
};

void freeInsertions(std::vector<CodeInsertion *> *insertions)
{
    for (CodeInsertion *c : *insertions)
        c->freeInstance();
    codeInsertionVectorPool.freeInstance(insertions);
}

// 0 when the method was rewritten or has too little code, else the error of apply
// (the method is then unchanged).
int rewriteMethod(ClassFile *cf, MethodInfo *method, CodeAttribute *code, const Hooks &hooks, int methodIndex,
                  bool *rewritten)
{
    *rewritten = false;
    const char *bytes;
    int length = code->getCode(&bytes);
    AbstractInstruction *nop = SimpleInstruction::getInstance(OP_NOP);
    List *old = ByteCodeReader::readByteCode(bytes, length, &nop, 1);
    if (old == nullptr) {
        nop->freeInstance();
        return -1;
    }
    if (old->size() < 2) {
        ByteCodeReader::freeInstructions(old);
        return 0;
    }
    bool constructor = method->getNameLength() == 6 && std::memcmp(method->getName(), "<init>", 6) == 0;
    int last = static_cast<int>(old->size()) - 1;
    std::vector<CodeInsertion *> *insertions = codeInsertionVectorPool.getInstance(false);
    int entryLength = 0;
    if (!constructor) {
        List *pre = instructionVectorPool.getInstance(false);
        appendHookCall(pre, hooks.enter, methodIndex, 0);
        entryLength = HOOK_CALL_LENGTH;
        insertions->push_back(CodeInsertion::getInstance(0, pre, nullptr, false));
    }
    for (int j = 1; j <= last; j++) {
        int op = (*old)[j]->getOpcode();
        bool exit = (op >= OP_IRETURN && op <= OP_RETURN) || op == OP_ATHROW;
        bool handler = j == last && !constructor;
        if (!exit && !handler)
            continue;
        List *pre = nullptr;
        if (exit) {
            pre = instructionVectorPool.getInstance(false);
            appendHookCall(pre, hooks.exit, methodIndex, j);
        }
        List *post = nullptr;
        if (handler) {
            post = instructionVectorPool.getInstance(false);
            appendHookCall(post, hooks.exit, methodIndex, -1);
            post->push_back(SimpleInstruction::getInstance(OP_ATHROW));
        }
        insertions->push_back(CodeInsertion::getInstance(j, pre, post, true));
    }
    int error = CodeInsertion::APPLIED;
    List *result = CodeInsertion::apply(old, insertions, code, method, constructor ? 0 : HANDLER_LENGTH, -1, &error);
    freeInsertions(insertions);
    if (result == nullptr) {
        if (error == CodeInsertion::APPLIED)
            ByteCodeReader::freeInstructions(old);
        else
            longInstructionVectorPool.freeInstance(old);
        return error;
    }
    longInstructionVectorPool.freeInstance(old);
    char *newCode = nullptr;
    int newLength = ByteCodeWriter::writeByteCode(&newCode, result);
    ByteCodeReader::freeInstructions(result);
    code->setCode(newCode, newLength);
    code->setMaxStack(code->getMaxStack() + 3);
    if (!constructor) {
        int handlerPc = newLength - HANDLER_LENGTH;
        code->getExceptionTable().push_back(
            ExceptionTableEntry::getInstance(entryLength, handlerPc, handlerPc, cf->getThrowableClassIndex()));
    }
    *rewritten = true;
    return 0;
}

} // namespace

HookRewriteResult rewriteClassWithHooks(const std::vector<unsigned char> &original, const HookRewriteOptions &options)
{
    HookRewriteResult r;
    ClassFile *cf = ClassFileReader::readFromByteArray(original.data(), static_cast<int>(original.size()), nullptr,
                                                       true, true, nullptr);
    if (cf == nullptr || cf->hasError()) {
        r.error = "cannot read the class";
        if (cf != nullptr)
            cf->freeInstance();
        return r;
    }
    Hooks hooks = {
        ConstantPoolUtil::addConstantMethodrefInfo(cf, options.hookClass.c_str(), "enter", "(SS)V"),
        ConstantPoolUtil::addConstantMethodrefInfo(cf, options.hookClass.c_str(), "exit", "(SS)V"),
    };
    int methodIndex = 0;
    for (MethodInfo *method : cf->getMethods()) {
        methodIndex++;
        CodeAttribute *code = static_cast<CodeAttribute *>(method->findAttribute(CodeAttribute::CLASS_NAME));
        if (code == nullptr)
            continue;
        r.methods++;
        bool rewritten = false;
        int error = rewriteMethod(cf, method, code, hooks, methodIndex, &rewritten);
        if (error != 0) {
            r.refused.push_back(std::string(method->getName(), method->getNameLength()) + " " +
                                std::string(method->getSignature(), method->getSignatureLength()) + ": error " +
                                std::to_string(error));
            continue;
        }
        if (!rewritten)
            continue;
        r.rewritten++;
        if (options.dropFrames)
            code->removeAttributeWithName("StackMapTable");
    }
    char *out = nullptr;
    int length = ClassFileWriter::writeToByteArray(&out, cf);
    cf->freeInstance();
    if (length <= 0) {
        r.error = "cannot write the class";
        return r;
    }
    r.bytes.assign(out, out + length);
    delete[] out;
    r.ok = true;
    return r;
}
