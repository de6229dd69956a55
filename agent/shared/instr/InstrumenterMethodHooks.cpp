// The method rewriting of Instrumenter: entry, exit, exception-handler and
// filtered-call hooks, sleep wrapping, the catch-all handler, native-method
// wrappers, the net I/O hooks and the array-allocation hooks.
#include "Instrumenter.h"

#include <cstring>
#include <map>
#include <string>

#include "ClassData.h"
#include "InstrumenterPrivate.h"
#include "Opcodes.h"
#include "MethodDesc.h"
#include "bytecode/ByteCodeReader.h"
#include "bytecode/ByteCodeWriter.h"
#include "bytecode/CodeInsertion.h"
#include "bytecode/DescriptorHelper.h"
#include "bytecode/Instructions.h"
#include "io/Log.h"
#include "structures/ClassFile.h"
#include "structures/AttributeInfo.h"
#include "structures/ConstantPoolUtil.h"
#include "structures/ConstantUtf8Info.h"
#include "structures/MethodInfo.h"
#include "structures/TableEntries.h"
#include "structures/TypedAttributes.h"

using namespace Tessera;
using namespace InstrumenterState;

namespace {

typedef std::vector<AbstractInstruction *> List;

using namespace Opcodes;

enum {
    ACC_PRIVATE = 0x0002,
    ACC_STATIC = 0x0008,
    ACC_NATIVE = 0x0100,
    ACC_ABSTRACT = 0x0400,
};

// Bytes of the entry hook: three sipush and the invokestatic (the net I/O
// entry has two sipush and three nop in their place, so it is as long).
const int ENTRY_HOOK_LENGTH = 12;

const char *const JSP_SERVICE = "_jspService";
const char *const JSP_SERVICE_SIGNATURE =
    "(Ljavax/servlet/http/HttpServletRequest;Ljavax/servlet/http/HttpServletResponse;)V";

void pushShort(List *v, int value) { v->push_back(ImmediateShortInstruction::getInstance(OP_SIPUSH, value & 0xFFFF)); }

void callStatic(List *v, int methodref) { v->push_back(ImmediateShortInstruction::getInstance(OP_INVOKESTATIC, methodref)); }

// sipush id low, sipush id high: the 32-bit id as the callee takes it apart.
void pushId(List *v, int32_t id)
{
    pushShort(v, static_cast<int>(static_cast<uint32_t>(id) & 0xFFFF));
    pushShort(v, static_cast<int>((static_cast<uint32_t>(id) >> 16) & 0xFFFF));
}

int listLength(const List *v)
{
    int n = 0;
    for (AbstractInstruction *i : *v)
        n += i->getSize();
    return n;
}

bool isName(MethodInfo *method, const char *name) { return equalsText(method->getName(), method->getNameLength(), name); }

bool isConstructor(MethodInfo *method) { return isName(method, "<init>"); }

std::string memberName(MethodInfo *method) { return std::string(method->getName(), method->getNameLength()); }

std::string memberSignature(MethodInfo *method)
{
    return std::string(method->getSignature(), method->getSignatureLength());
}

std::string classNameOf(ClassFile *classFile)
{
    int length = 0;
    const char *name = classFile->getClassName(&length);
    return name == nullptr ? std::string() : std::string(name, length);
}

bool hasPrefix(MethodInfo *method, const char *prefix)
{
    size_t n = strlen(prefix);
    return method->getNameLength() >= static_cast<int>(n) && memcmp(method->getName(), prefix, n) == 0;
}

// A native the VM may know as an intrinsic: given a body, HotSpot says on
// standard output that no intrinsic is defined for it, so it stays as it is.
// The annotation's type index is looked for anywhere in the method's
// annotations; a stray match only leaves a native unwrapped.
bool isIntrinsicCandidate(ClassFile *classFile, MethodInfo *method)
{
    AttributeInfo *annotations = method->findAttributeByName("RuntimeVisibleAnnotations");
    if (annotations == nullptr)
        return false;
    static const char TYPE[] = "Ljdk/internal/vm/annotation/IntrinsicCandidate;";
    const int typeLength = static_cast<int>(sizeof TYPE - 1);
    int type = 0;
    int count = static_cast<int>(classFile->getConstantPool().size());
    for (int i = 1; i < count && type == 0; i++) {
        ConstantUtf8Info *utf8 = classFile->findUtf8(i);
        if (utf8 != nullptr && utf8->getStringLength() == typeLength && memcmp(utf8->getString(), TYPE, typeLength) == 0)
            type = i;
    }
    if (type == 0)
        return false;
    const unsigned char *body = reinterpret_cast<const unsigned char *>(annotations->getBody());
    int length = annotations->getAttributeLength();
    for (int at = 2; body != nullptr && at + 1 < length; at++) {
        if (body[at] == (type >> 8) && body[at + 1] == (type & 0xFF))
            return true;
    }
    return false;
}

bool contains(const std::vector<int> *list, int value)
{
    if (list == nullptr)
        return false;
    for (int v : *list) {
        if (v == value)
            return true;
    }
    return false;
}

// The record of one of the class's methods, when the instrumenter has one.
MethodRecord *existingRecord(const std::string &slashClass, MethodInfo *method)
{
    Context &c = context();
    auto it = c.methods.find(methodKey(dotted(slashClass.c_str()), memberName(method), memberSignature(method)));
    return it == c.methods.end() ? nullptr : it->second.get();
}

// Classes whose constructor calls are never wrapped: java.lang.Object's
// constructor is counted by the allocation hook instead.
bool suppressesConstructorHooks(const std::string &slashClass) { return slashClass == "java/lang/Object"; }

// The insertions of one method by position, built in the order in which their
// instructions must run: a handler hook first, then a filter or exit hook.
class InsertionSet {
public:
    ~InsertionSet()
    {
        for (auto &p : pending) {
            if (p.second.pre != nullptr)
                freeList(p.second.pre);
            if (p.second.post != nullptr)
                freeList(p.second.post);
        }
    }

    List *pre(int position, bool shiftTarget) { return slot(position, shiftTarget).pre; }
    List *post(int position, bool shiftTarget) { return slot(position, shiftTarget).post; }
    bool has(int position) const { return pending.count(position) != 0; }
    bool empty() const { return pending.empty(); }

    // Hands the insertions over (sorted by position); the set is empty after.
    std::vector<CodeInsertion *> *take()
    {
        std::vector<CodeInsertion *> *v = codeInsertionVectorPool.getInstance(false);
        for (auto &p : pending) {
            List *pre = p.second.pre;
            List *post = p.second.post;
            if (pre != nullptr && pre->empty()) {
                instructionVectorPool.freeInstance(pre);
                pre = nullptr;
            }
            if (post != nullptr && post->empty()) {
                instructionVectorPool.freeInstance(post);
                post = nullptr;
            }
            if (pre != nullptr || post != nullptr)
                v->push_back(CodeInsertion::getInstance(p.first, pre, post, p.second.shiftTarget));
        }
        pending.clear();
        return v;
    }

private:
    struct Pending {
        List *pre = nullptr;
        List *post = nullptr;
        bool shiftTarget = true;
    };

    static void freeList(List *v)
    {
        for (AbstractInstruction *i : *v)
            i->freeInstance();
        instructionVectorPool.freeInstance(v);
    }

    Pending &slot(int position, bool shiftTarget)
    {
        auto it = pending.find(position);
        if (it == pending.end()) {
            Pending p;
            p.pre = instructionVectorPool.getInstance(false);
            p.post = instructionVectorPool.getInstance(false);
            p.shiftTarget = shiftTarget;
            it = pending.emplace(position, p).first;
        }
        return it->second;
    }

    std::map<int, Pending> pending;
};

void freeInsertions(std::vector<CodeInsertion *> *insertions)
{
    for (CodeInsertion *c : *insertions)
        c->freeInstance();
    codeInsertionVectorPool.freeInstance(insertions);
}

// Applies the insertions to the decoded method. On success the Code attribute
// holds the new code and the result is APPLIED; otherwise the method is
// unchanged. Takes the decoded list in every case.
int applyInsertions(List *old, InsertionSet &set, CodeAttribute *code, MethodInfo *method, int handlerLength,
                    List **result)
{
    *result = nullptr;
    std::vector<CodeInsertion *> *insertions = set.take();
    int error = CodeInsertion::APPLIED;
    List *applied = CodeInsertion::apply(old, insertions, code, method, handlerLength, -1, &error);
    freeInsertions(insertions);
    if (applied == nullptr) {
        if (error == CodeInsertion::APPLIED)
            ByteCodeReader::freeInstructions(old);
        else
            longInstructionVectorPool.freeInstance(old);
        return error;
    }
    longInstructionVectorPool.freeInstance(old);
    *result = applied;
    return CodeInsertion::APPLIED;
}

} // namespace

namespace InstrumenterState {

int storeCode(List *instructions, CodeAttribute *code)
{
    char *bytes = nullptr;
    int length = ByteCodeWriter::writeByteCode(&bytes, instructions);
    ByteCodeReader::freeInstructions(instructions);
    code->setCode(bytes, length);
    return length;
}

List *decodeWithLeadingNop(CodeAttribute *code)
{
    const char *bytes = nullptr;
    int length = code->getCode(&bytes);
    AbstractInstruction *nop = SimpleInstruction::getInstance(OP_NOP);
    List *list = ByteCodeReader::readByteCode(bytes, length, &nop, 1);
    if (list == nullptr)
        nop->freeInstance();
    return list;
}

} // namespace InstrumenterState

namespace {

// Line numbers of a Code attribute: the line of an offset is that of the last
// entry (in table order) starting at or before it, the first entry's line
// before all entries, 0 without a table.
class LineTable {
public:
    explicit LineTable(CodeAttribute *code)
    {
        for (AttributeInfo *a : code->getAttributes()) {
            if (strcmp(a->tiClassName(), LineNumberTableAttribute::CLASS_NAME) != 0)
                continue;
            for (LineNumberTableEntry *e : static_cast<LineNumberTableAttribute *>(a)->getLineNumberTable())
                entries.push_back(e);
        }
    }

    int lineOf(int offset) const
    {
        if (entries.empty())
            return 0;
        int line = entries.front()->getLineNumber();
        for (LineNumberTableEntry *e : entries) {
            if (e->getStartPc() <= offset)
                line = e->getLineNumber();
        }
        return line;
    }

private:
    std::vector<LineNumberTableEntry *> entries;
};

// Index of the instruction at `offset`, never the leading nop; -1 if none.
int indexOfOffset(const List *list, int offset)
{
    int low = 1, high = static_cast<int>(list->size()) - 1;
    while (low <= high) {
        int mid = (low + high) / 2;
        int o = (*list)[mid]->getOffset();
        if (o == offset)
            return mid;
        if (o < offset)
            low = mid + 1;
        else
            high = mid - 1;
    }
    return -1;
}

bool isReturn(int opcode) { return opcode >= OP_IRETURN && opcode <= OP_RETURN; }

bool isInvoke(int opcode) { return opcode >= OP_INVOKEVIRTUAL && opcode <= OP_INVOKEINTERFACE; }

bool isSleepCall(AbstractInstruction *i, const std::vector<int> *staticSleepRefs, const std::vector<int> *parkRefs)
{
    int op = i->getOpcode();
    if (op != OP_INVOKESTATIC && op != OP_INVOKEVIRTUAL)
        return false;
    int index = static_cast<ImmediateShortInstruction *>(i)->getImmediateShort();
    return op == OP_INVOKESTATIC ? contains(staticSleepRefs, index) : contains(parkRefs, index);
}

// Everything one pass over a method needs.
struct HookPass {
    ClassFile *classFile;
    MethodInfo *method;
    std::string slashClass;
    ClassData *callingClass;
    const Instrumenter::MethodIndices *indices;
    bool filteredCalls;
    bool netIo;
    bool constructor;
    bool sleepCalls;
    int32_t id;
    const std::vector<int> *staticSleepRefs;
    const std::vector<int> *parkRefs;
};

// The hooks around an invoke: filtered method or constructor calls, line
// hints, and the sleep wrapping.
void addInvokeHooks(const HookPass &p, InsertionSet &set, int position, AbstractInstruction *invoke, int line)
{
    const Instrumenter::MethodIndices &ix = *p.indices;
    bool sleep = isSleepCall(invoke, p.staticSleepRefs, p.parkRefs);
    List *pre = nullptr;
    List *post = nullptr;
    if (p.filteredCalls && ix.filterEnterMethod != 0) {
        int index = static_cast<ImmediateShortInstruction *>(invoke)->getImmediateShort();
        std::string cls, name, desc;
        if (readMemberRef(p.classFile, index, &cls, &name, &desc)) {
            MethodRecord *callee = getRecord(cls.c_str(), name.c_str(), desc.c_str());
            callee->callingClasses.insert(p.callingClass);
            bool filtered = Instrumenter::isFilterInstrMethod(callee->desc);
            bool constructor = !filtered && name == "<init>" && ix.enterConstructor != 0 &&
                               !suppressesConstructorHooks(cls);
            int32_t calleeId = filtered || constructor ? Instrumenter::getMethodId(callee->desc) : 0;
            if (calleeId != 0) {
                pre = set.pre(position, true);
                post = set.post(position, true);
                pushId(pre, calleeId);
                pushShort(pre, line);
                callStatic(pre, filtered ? ix.filterEnterMethod : ix.enterConstructor);
                if (sleep) {
                    callStatic(pre, ix.enterSleep);
                    callStatic(post, ix.exitSleep);
                }
                pushId(post, calleeId);
                callStatic(post, filtered ? ix.filterExitMethod : ix.exitMethod);
                return;
            }
            if (context().lineNumbers && ix.lineNumberHint != 0 &&
                !Instrumenter::isIgnoredMethod(cls.c_str(), name.c_str(), static_cast<int>(name.size()), desc.c_str(),
                                               static_cast<int>(desc.size()))) {
                pre = set.pre(position, true);
                pushShort(pre, line);
                callStatic(pre, ix.lineNumberHint);
            }
        }
    }
    if (sleep && ix.enterSleep != 0 && ix.exitSleep != 0) {
        callStatic(pre != nullptr ? pre : set.pre(position, true), ix.enterSleep);
        callStatic(set.post(position, true), ix.exitSleep);
    }
}

// Builds every insertion of the method; *handlerLength receives the length of
// the catch-all handler (0 when none) and *entry whether an entry hook went in.
void buildInsertions(const HookPass &p, List *list, CodeAttribute *code, InsertionSet &set, int *handlerLength,
                     bool *entry)
{
    const Instrumenter::MethodIndices &ix = *p.indices;
    *entry = false;
    *handlerLength = 0;
    if (ix.enterMethod != 0 && !p.constructor) {
        List *pre = set.pre(0, false);
        if (p.netIo) {
            pushShort(pre, 1);
            pushShort(pre, 0);
            for (int i = 0; i < 3; i++)
                pre->push_back(SimpleInstruction::getInstance(OP_NOP));
        } else {
            pushId(pre, p.id);
            pushShort(pre, -1);
        }
        callStatic(pre, ix.enterMethod);
        *entry = true;
    }
    bool exits = ix.exitMethod != 0 && !p.constructor;
    bool handlerHooks = ix.exceptionHandlerMethod != 0 || p.sleepCalls;
    int32_t exitId = p.netIo ? 0 : p.id;

    // Exception handlers first, so that their hook runs before any other
    // insertion at the same instruction.
    if (handlerHooks) {
        std::vector<int> handlers;
        for (ExceptionTableEntry *e : code->getExceptionTable()) {
            int index = indexOfOffset(list, e->getHandlerPc());
            if (index < 0)
                continue;
            bool seen = false;
            for (int h : handlers)
                seen = seen || h == index;
            if (!seen)
                handlers.push_back(index);
        }
        for (int index : handlers) {
            List *pre = set.pre(index, true);
            if (p.sleepCalls && ix.exitSleep != 0)
                callStatic(pre, ix.exitSleep);
            if (ix.exceptionHandlerMethod != 0) {
                pushId(pre, p.id);
                callStatic(pre, ix.exceptionHandlerMethod);
            }
        }
    }

    LineTable lines(code);
    bool lineNumbers = context().lineNumbers;
    int last = static_cast<int>(list->size()) - 1;
    for (int j = 1; j <= last; j++) {
        AbstractInstruction *instruction = (*list)[j];
        int op = instruction->getOpcode();
        if (isReturn(op)) {
            if (!exits && !p.sleepCalls)
                continue;
            List *pre = set.pre(j, true);
            if (p.sleepCalls && ix.exitSleep != 0)
                callStatic(pre, ix.exitSleep);
            if (exits) {
                pushId(pre, exitId);
                callStatic(pre, ix.exitMethod);
            }
        } else if (isInvoke(op)) {
            int line = lineNumbers ? lines.lineOf(instruction->getOffset()) : 0;
            addInvokeHooks(p, set, j, instruction, line);
        }
    }

    // The catch-all handler after the last instruction: leaves the method on
    // the recorded stack and rethrows.
    if (p.constructor || (!exits && !p.sleepCalls))
        return;
    List *post = set.post(last, true);
    int before = listLength(post);
    if (p.sleepCalls && ix.exitSleep != 0)
        callStatic(post, ix.exitSleep);
    if (exits) {
        pushId(post, exitId);
        callStatic(post, ix.exitMethod);
    }
    post->push_back(SimpleInstruction::getInstance(OP_ATHROW));
    *handlerLength = listLength(post) - before;
}

void warnMethod(int error, const std::string &slashClass, MethodInfo *method)
{
    std::string cls = dotted(slashClass.c_str());
    std::string name = memberName(method);
    switch (error) {
    case CodeInsertion::ERROR_CODE_TOO_LONG:
        Log::warning("Filtered calls in %s.%s \ncannot be instrumented due to excessive method size.\n"
                     "If needed, please switch to sampling or remove appropriate filters.\n",
                     cls.c_str(), name.c_str());
        break;
    case CodeInsertion::ERROR_EXCEPTION_TABLE:
        Log::warning("The method %s.%s \ncannot be instrumented because its exception table is illegal.\n"
                     "If needed, please switch to sampling or remove appropriate filters.\n",
                     cls.c_str(), name.c_str());
        break;
    default:
        Log::warning("There was an error when instrumenting the method %s.%s.\n"
                     "If needed, please switch to sampling or remove appropriate filters.\n",
                     cls.c_str(), name.c_str());
        break;
    }
}

// One attempt at the method; APPLIED also when there was nothing to insert.
int hookMethodOnce(const HookPass &p, CodeAttribute *code, bool *changed)
{
    *changed = false;
    List *list = decodeWithLeadingNop(code);
    if (list == nullptr)
        return CodeInsertion::ERROR_BRANCH_TARGET;
    if (list->size() < 2) {
        ByteCodeReader::freeInstructions(list);
        return CodeInsertion::APPLIED;
    }
    InsertionSet set;
    int handlerLength = 0;
    bool entry = false;
    buildInsertions(p, list, code, set, &handlerLength, &entry);
    if (set.empty()) {
        ByteCodeReader::freeInstructions(list);
        return CodeInsertion::APPLIED;
    }
    List *result = nullptr;
    int error = applyInsertions(list, set, code, p.method, handlerLength, &result);
    if (error != CodeInsertion::APPLIED || result == nullptr)
        return error;
    int length = storeCode(result, code);
    code->setMaxStack(code->getMaxStack() + 3);
    if (handlerLength > 0) {
        int handlerPc = length - handlerLength;
        code->getExceptionTable().push_back(ExceptionTableEntry::getInstance(
            entry ? ENTRY_HOOK_LENGTH : 1, handlerPc, handlerPc, p.classFile->getThrowableClassIndex()));
    }
    *changed = true;
    return CodeInsertion::APPLIED;
}

// The parameter loads, invoke and return of a native method's wrapper.
// Returns the code length, 0 on a malformed descriptor.
int buildWrapperCode(MethodInfo *method, int methodref, bool isStatic, bool isPrivate, char *out, int capacity,
                     int *slots, int *returnSize)
{
    int n = 0;
    int slot = 0;
    if (!isStatic)
        out[n++] = static_cast<char>(OP_ALOAD_0), slot = 1;
    const char *cursor = method->getSignature();
    const char *end = cursor + method->getSignatureLength();
    if (cursor == end || *cursor != '(')
        return 0;
    cursor++;
    while (cursor < end && *cursor != ')') {
        char type = DescriptorHelper::getNextParameterType(&cursor, end, nullptr);
        int op, width = 1;
        switch (type) {
        case 'B': case 'C': case 'I': case 'S': case 'Z': op = OP_ILOAD; break;
        case 'J': op = OP_LLOAD; width = 2; break;
        case 'F': op = OP_FLOAD; break;
        case 'D': op = OP_DLOAD; width = 2; break;
        case 'L': op = OP_ALOAD; break;
        default: return 0;
        }
        if (slot > 255 || n + 2 > capacity - 4)
            return 0;
        out[n++] = static_cast<char>(op);
        out[n++] = static_cast<char>(slot);
        slot += width;
    }
    if (cursor >= end)
        return 0;
    char returnType = DescriptorHelper::getNextParameterType(&cursor, end, nullptr);
    int returnOp;
    switch (returnType) {
    case 'B': case 'C': case 'I': case 'S': case 'Z': returnOp = OP_IRETURN; *returnSize = 1; break;
    case 'J': returnOp = OP_LRETURN; *returnSize = 2; break;
    case 'F': returnOp = OP_FRETURN; *returnSize = 1; break;
    case 'D': returnOp = OP_DRETURN; *returnSize = 2; break;
    case 'L': returnOp = OP_ARETURN; *returnSize = 1; break;
    case 'V': returnOp = OP_RETURN; *returnSize = 0; break;
    default: return 0;
    }
    int invoke = isStatic ? OP_INVOKESTATIC : isPrivate ? OP_INVOKESPECIAL : OP_INVOKEVIRTUAL;
    out[n++] = static_cast<char>(invoke);
    out[n++] = static_cast<char>((methodref >> 8) & 0xFF);
    out[n++] = static_cast<char>(methodref & 0xFF);
    out[n++] = static_cast<char>(returnOp);
    *slots = slot;
    return n;
}

} // namespace

bool Instrumenter::isNativeInstrumented(ClassFile *classFile, MethodInfo *method)
{
    if ((method->getAccessFlags() & ACC_NATIVE) == 0 || hasPrefix(method, NATIVE_METHOD_PREFIX))
        return false;
    MethodRecord *r = existingRecord(classNameOf(classFile), method);
    return r != nullptr && r->wrapped;
}

bool Instrumenter::canWrapNativeMethod(ClassFile *classFile, MethodInfo *method, bool redefining)
{
    if ((method->getAccessFlags() & (ACC_NATIVE | ACC_ABSTRACT)) != ACC_NATIVE || !context().replaceNativeMethods)
        return false;
    if (hasPrefix(method, NATIVE_METHOD_PREFIX) || getCodeAttribute(method) != nullptr)
        return false;
    if ((classFile->getAccessFlags() & 0x0200) != 0 || isIntrinsicCandidate(classFile, method))
        return false;
    return !redefining || isNativeInstrumented(classFile, method);
}

bool Instrumenter::isInstrumented(ClassFile *classFile, MethodInfo *method, bool redefining)
{
    if ((method->getAccessFlags() & ACC_ABSTRACT) != 0 || hasPrefix(method, NATIVE_METHOD_PREFIX))
        return false;
    if (getCodeAttribute(method) != nullptr)
        return true;
    return canWrapNativeMethod(classFile, method, redefining);
}

CodeAttribute *Instrumenter::getCodeAttributeOrCreateForNativeMethod(ClassFile *classFile, MethodInfo *method,
                                                                      bool redefining)
{
    CodeAttribute *existing = getCodeAttribute(method);
    if (existing != nullptr || !canWrapNativeMethod(classFile, method, redefining))
        return existing;
    std::string slashClass = classNameOf(classFile);
    std::string name = memberName(method);
    std::string signature = memberSignature(method);
    int flags = method->getAccessFlags();
    bool isStatic = (flags & ACC_STATIC) != 0;
    bool isPrivate = (flags & ACC_PRIVATE) != 0;
    std::string prefixed = std::string(NATIVE_METHOD_PREFIX) + name;

    int methodref = ConstantPoolUtil::addConstantMethodrefInfo(classFile, slashClass.c_str(), prefixed.c_str(),
                                                               signature.c_str());
    char code[4 + 2 * 256 + 8];
    int slots = 0, returnSize = 0;
    int length = buildWrapperCode(method, methodref, isStatic, isPrivate, code, sizeof code, &slots, &returnSize);
    if (length == 0) {
        Log::warning("native method %s.%s%s cannot be wrapped", slashClass.c_str(), name.c_str(), signature.c_str());
        return nullptr;
    }

    MethodInfo *native = MethodInfo::createMethod(classFile, prefixed.c_str(), signature.c_str(), flags);
    for (AttributeInfo *a : method->getAttributes()) {
        if (strcmp(a->tiClassName(), ExceptionsAttribute::CLASS_NAME) != 0)
            continue;
        ExceptionsAttribute *copy = ExceptionsAttribute::getInstance();
        copy->setClassFile(classFile);
        copy->setAttributeNameIndex(ConstantPoolUtil::addConstantUTF8Info(classFile, ExceptionsAttribute::ATTRIBUTE_NAME));
        copy->getExceptionIndexTable() = static_cast<ExceptionsAttribute *>(a)->getExceptionIndexTable();
        native->getAttributes().push_back(copy);
    }
    classFile->getMethods().push_back(native);

    CodeAttribute *wrapper = CodeAttribute::getInstance();
    wrapper->setClassFile(classFile);
    wrapper->setAttributeNameIndex(ConstantPoolUtil::addConstantUTF8Info(classFile, CodeAttribute::ATTRIBUTE_NAME));
    char *bytes = new char[length];
    memcpy(bytes, code, length);
    wrapper->setCode(bytes, length);
    int size = slots > returnSize ? slots : returnSize;
    wrapper->setMaxStack(size);
    wrapper->setMaxLocals(size);
    method->setAccessFlags(flags & ~ACC_NATIVE);
    method->getAttributes().push_back(wrapper);

    getRecord(slashClass.c_str(), name.c_str(), signature.c_str())->wrapped = true;
    return wrapper;
}

int Instrumenter::addProfilingHookToMethod(ClassFile *classFile, MethodInfo *method, const MethodIndices &indices,
                                           bool filteredCalls, bool netIo, const std::vector<int> *staticSleepRefs,
                                           const std::vector<int> *parkRefs, bool redefining, bool recorder)
{
    bool methodHooks = indices.enterMethod != 0 || indices.exitMethod != 0;
    CodeAttribute *code = methodHooks ? getCodeAttributeOrCreateForNativeMethod(classFile, method, redefining)
                                      : getCodeAttribute(method);
    if (code == nullptr)
        return CodeInsertion::APPLIED;

    HookPass p;
    p.classFile = classFile;
    p.method = method;
    p.slashClass = classNameOf(classFile);
    p.callingClass = getClassData(p.slashClass.c_str());
    p.indices = &indices;
    p.netIo = netIo;
    p.constructor = isConstructor(method);
    p.staticSleepRefs = staticSleepRefs;
    p.parkRefs = parkRefs;
    p.sleepCalls = false;
    if (indices.enterSleep != 0 && indices.exitSleep != 0 && ((staticSleepRefs != nullptr && !staticSleepRefs->empty()) ||
                                                              (parkRefs != nullptr && !parkRefs->empty()))) {
        List *list = decodeWithLeadingNop(code);
        if (list != nullptr) {
            for (AbstractInstruction *i : *list)
                p.sleepCalls = p.sleepCalls || isSleepCall(i, staticSleepRefs, parkRefs);
            ByteCodeReader::freeInstructions(list);
        }
    }
    // Only methods that get entry or exit hooks need a record and an id.
    MethodRecord *record = nullptr;
    p.id = 0;
    if (methodHooks && !netIo) {
        record = getRecord(p.slashClass.c_str(), memberName(method).c_str(), memberSignature(method).c_str());
        MethodDesc *idMethod = record->desc;
        if (recorder && p.callingClass->classMethodDesc != nullptr)
            idMethod = p.callingClass->classMethodDesc;
        p.id = getMethodId(idMethod);
        if (p.id == 0)
            return CodeInsertion::APPLIED; // no id to give: the method stays as it is
    }

    p.filteredCalls = filteredCalls;
    bool changed = false;
    int error = hookMethodOnce(p, code, &changed);
    if (error == CodeInsertion::ERROR_CODE_TOO_LONG) {
        warnMethod(error, p.slashClass, method);
        if (recorder || !filteredCalls)
            return error;
        p.filteredCalls = false;
        error = hookMethodOnce(p, code, &changed);
        if (error != CodeInsertion::APPLIED) {
            if (error != CodeInsertion::ERROR_CODE_TOO_LONG)
                warnMethod(error, p.slashClass, method);
            return error;
        }
    } else if (error != CodeInsertion::APPLIED) {
        warnMethod(error, p.slashClass, method);
        return error;
    }
    if (changed && record != nullptr && indices.enterMethod != 0 && !p.constructor)
        record->state = p.filteredCalls ? STATE_INSTRUMENTED : STATE_WITHOUT_FILTERED_CALLS;
    return CodeInsertion::APPLIED;
}

bool Instrumenter::instrumentClassFile(void *, const char *slashName, bool hooks, bool specialOnly,
                                       const std::vector<int> *staticSleepRefs, const std::vector<int> *parkRefs,
                                       ClassFile *classFile, bool redefining, bool recorder)
{
    // In an interface only the methods with a body (default, static and
    // private ones) get hooks, its abstract methods have nothing to rewrite,
    // and nothing in it is wrapped for sleeping.
    if ((classFile->getAccessFlags() & 0x0200) != 0) {
        staticSleepRefs = nullptr;
        parkRefs = nullptr;
        bool withBody = false;
        for (MethodInfo *method : classFile->getMethods())
            withBody = withBody || (method != nullptr && isInstrumented(classFile, method, redefining));
        if (!withBody)
            return false;
    }
    bool sleepLists = (staticSleepRefs != nullptr && !staticSleepRefs->empty()) ||
                      (parkRefs != nullptr && !parkRefs->empty());
    if (!hooks && !sleepLists)
        return false;
    MethodIndices ix;
    if (hooks && recorder) {
        ix.enterMethod = addHookMethodref(classFile, HOOK_COBALT_ENTER_METHOD);
        ix.exitMethod = addHookMethodref(classFile, HOOK_COBALT_EXIT_METHOD);
    } else if (hooks) {
        ix.enterConstructor = addHookMethodref(classFile, HOOK_ENTER_CONSTRUCTOR);
        ix.enterMethod = addHookMethodref(classFile, HOOK_ENTER_METHOD);
        ix.exitMethod = addHookMethodref(classFile, HOOK_EXIT_METHOD);
        ix.filterEnterMethod = addHookMethodref(classFile, HOOK_FILTER_ENTER_METHOD);
        ix.filterExitMethod = addHookMethodref(classFile, HOOK_FILTER_EXIT_METHOD);
        ix.lineNumberHint = addHookMethodref(classFile, HOOK_LINE_NUMBER_HINT);
        ix.exceptionHandlerMethod = addHookMethodref(classFile, HOOK_EXCEPTION_HANDLER_METHOD);
    }
    if (sleepLists) {
        ix.enterSleep = addHookMethodref(classFile, HOOK_ENTER_SLEEP);
        ix.exitSleep = addHookMethodref(classFile, HOOK_EXIT_SLEEP);
    }
    std::string slashClass = slashName != nullptr ? std::string(slashName) : classNameOf(classFile);
    bool invocationEvent = slashClass == "java/awt/event/InvocationEvent";
    bool changed = false;
    // Wrapping a native method appends a method: walk only the ones there were.
    size_t count = classFile->getMethods().size();
    for (size_t i = 0; i < count; i++) {
        MethodInfo *method = classFile->getMethods()[i];
        if (method == nullptr || !isInstrumented(classFile, method, redefining))
            continue;
        if (isIgnoredMethod(slashClass.c_str(), method->getName(), method->getNameLength(), method->getSignature(),
                            method->getSignatureLength()))
            continue;
        if (recorder && ((method->getAccessFlags() & ACC_PRIVATE) != 0 || isConstructor(method) ||
                         isName(method, "<clinit>")))
            continue;
        if (specialOnly) {
            bool jsp = isName(method, JSP_SERVICE) &&
                       equalsText(method->getSignature(), method->getSignatureLength(), JSP_SERVICE_SIGNATURE) &&
                       (method->getAccessFlags() & ~(0x10 | 0x20 | 0x80)) == 0x1;
            if (!jsp && !isNativeInstrumented(classFile, method))
                continue;
        }
        size_t before = classFile->getMethods().size();
        CodeAttribute *code = getCodeAttribute(method);
        const char *oldCode = nullptr;
        if (code != nullptr)
            code->getCode(&oldCode);
        addProfilingHookToMethod(classFile, method, ix, hooks && !recorder && !invocationEvent, false, staticSleepRefs,
                                 parkRefs, redefining, recorder);
        CodeAttribute *after = getCodeAttribute(method);
        const char *newCode = nullptr;
        if (after != nullptr)
            after->getCode(&newCode);
        changed = changed || classFile->getMethods().size() != before || after != code || newCode != oldCode;
    }
    return changed;
}

bool Instrumenter::instrumentClassFileForNetIo(void *, const char *slashName, ClassFile *classFile)
{
    std::string slashClass = slashName != nullptr ? std::string(slashName) : classNameOf(classFile);
    if (!isNetIoClass(slashClass.c_str()))
        return false;
    MethodIndices ix;
    int hook = addHookMethodref(classFile, HOOK_NET_IO_METHOD);
    ix.enterMethod = ix.exitMethod = ix.filterEnterMethod = ix.filterExitMethod = ix.enterConstructor = hook;
    bool changed = false;
    size_t count = classFile->getMethods().size();
    for (size_t i = 0; i < count; i++) {
        MethodInfo *method = classFile->getMethods()[i];
        if (method == nullptr || isConstructor(method) ||
            !isNetIoMethod(slashClass.c_str(), method->getName(), method->getNameLength(), method->getSignature(),
                           method->getSignatureLength()))
            continue;
        // A native method is only given a wrapper it had before: this pass
        // may run on a retransformation, which cannot add methods.
        if (!isInstrumented(classFile, method, true))
            continue;
        CodeAttribute *code = getCodeAttribute(method);
        const char *oldCode = nullptr;
        if (code != nullptr)
            code->getCode(&oldCode);
        addProfilingHookToMethod(classFile, method, ix, false, true, nullptr, nullptr, true, false);
        CodeAttribute *after = getCodeAttribute(method);
        const char *newCode = nullptr;
        if (after != nullptr)
            after->getCode(&newCode);
        changed = changed || after != code || newCode != oldCode;
    }
    return changed;
}

bool Instrumenter::addArrayAllocationInstrumentation(ClassFile *classFile, MethodInfo *method)
{
    CodeAttribute *code = getCodeAttribute(method);
    if (code == nullptr)
        return false;
    List *list = decodeWithLeadingNop(code);
    if (list == nullptr)
        return false;
    InsertionSet set;
    int hook = 0;
    for (int j = 1; j < static_cast<int>(list->size()); j++) {
        AbstractInstruction *i = (*list)[j];
        int op = i->getOpcode();
        if (op != OP_NEWARRAY && op != OP_ANEWARRAY && op != OP_MULTIANEWARRAY)
            continue;
        if (hook == 0)
            hook = addHookMethodref(classFile, HOOK_REGISTER_ARRAY_ALLOCATION);
        List *post = set.post(j, false);
        post->push_back(SimpleInstruction::getInstance(OP_DUP));
        pushShort(post, op == OP_MULTIANEWARRAY ? static_cast<MultianewarrayInstruction *>(i)->getDimensions() : 1);
        callStatic(post, hook);
    }
    if (set.empty()) {
        ByteCodeReader::freeInstructions(list);
        return false;
    }
    List *result = nullptr;
    int error = applyInsertions(list, set, code, method, 0, &result);
    if (error != CodeInsertion::APPLIED || result == nullptr) {
        warnMethod(error, classNameOf(classFile), method);
        return false;
    }
    storeCode(result, code);
    code->setMaxStack(code->getMaxStack() + 3);
    return true;
}
