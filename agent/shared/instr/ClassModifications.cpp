#include "ClassModifications.h"

#include <cstring>
#include <functional>
#include <string>

#include "Instrumenter.h"
#include "Opcodes.h"
#include "MessageUtil.h"
#include "bytecode/ByteCodeReader.h"
#include "bytecode/ByteCodeWriter.h"
#include "bytecode/CodeInsertion.h"
#include "bytecode/CodeInsertionHelper.h"
#include "bytecode/Instructions.h"
#include "structures/ClassFile.h"
#include "structures/ConstantEntries.h"
#include "structures/ConstantPoolUtil.h"
#include "structures/FieldInfo.h"
#include "structures/MethodInfo.h"
#include "structures/String.h"
#include "structures/TypedAttributes.h"

using namespace Tessera;

const char *const ClassModifications::CALL_AGENT_FIELD = "orvaneCallAgent";

namespace {

typedef std::vector<AbstractInstruction *> List;

using namespace Opcodes;

const int ACC_STATIC = 0x0008;
const int ACC_PUBLIC = 0x0001;

const char *const OBJECT_CONSTRUCTOR_MISSING = "ERROR: no constructor found in java.lang.Object";
const char *const SUID_MISSING = "ERROR: no method computeDefaultSUID found in java.io.ObjectStreamClass";

const char *const LOCK_SUPPORT = "java/util/concurrent/locks/LockSupport";

List *newList() { return instructionVectorPool.getInstance(false); }

void freeList(List *list)
{
    if (list == nullptr)
        return;
    for (AbstractInstruction *i : *list)
        i->freeInstance();
    instructionVectorPool.freeInstance(list);
}

void simple(List *list, int opcode) { list->push_back(SimpleInstruction::getInstance(opcode)); }

void withShort(List *list, int opcode, int value)
{
    list->push_back(ImmediateShortInstruction::getInstance(opcode, value));
}

void withByte(List *list, int opcode, int value)
{
    list->push_back(ImmediateByteInstruction::getInstance(opcode, false, value));
}

void branch(List *list, int opcode, int offset) { list->push_back(BranchInstruction::getInstance(opcode, offset)); }

bool named(const ClassMember *m, const char *name, const char *descriptor)
{
    return m->getName() != nullptr && m->getSignature() != nullptr && eq_nt_str(name, m->getName(), m->getNameLength()) &&
           eq_nt_str(descriptor, m->getSignature(), m->getSignatureLength());
}

MethodInfo *findMethod(ClassFile *cf, const char *name, const char *descriptor)
{
    for (MethodInfo *m : cf->getMethods())
        if (m != nullptr && named(m, name, descriptor))
            return m;
    return nullptr;
}

CodeAttribute *codeOf(MethodInfo *m)
{
    return static_cast<CodeAttribute *>(m->findAttribute(CodeAttribute::CLASS_NAME));
}

std::string nameOf(const char *chars, int length) { return chars == nullptr ? std::string() : std::string(chars, length); }

std::string thisClassName(ClassFile *cf)
{
    int length = 0;
    const char *name = cf->getClassName(&length);
    return nameOf(name, length);
}

std::string classNameAt(ClassFile *cf, int index)
{
    if (index <= 0 || index >= static_cast<int>(cf->getConstantPool().size()))
        return std::string();
    CPInfo *e = cf->getConstantPool()[index];
    if (e == nullptr || e->getTag() != CONSTANT_Class)
        return std::string();
    ConstantClassInfo *c = static_cast<ConstantClassInfo *>(e);
    return nameOf(c->getName(), c->getNameLength());
}

// Class name, member name and descriptor of the Methodref at index; false when
// the entry is no Methodref.
bool methodRefAt(ClassFile *cf, int index, std::string &owner, std::string &name, std::string &descriptor)
{
    std::vector<CPInfo *> &pool = cf->getConstantPool();
    if (index <= 0 || index >= static_cast<int>(pool.size()) || pool[index] == nullptr ||
        pool[index]->getTag() != CONSTANT_Methodref)
        return false;
    ConstantReference *ref = static_cast<ConstantReference *>(pool[index]);
    owner = classNameAt(cf, ref->getClassIndex());
    int nt = ref->getNameAndTypeIndex();
    if (nt <= 0 || nt >= static_cast<int>(pool.size()) || pool[nt] == nullptr || pool[nt]->getTag() != CONSTANT_NameAndType)
        return false;
    ConstantNameAndTypeInfo *n = static_cast<ConstantNameAndTypeInfo *>(pool[nt]);
    ConstantUtf8Info *u = cf->findUtf8(n->getNameIndex());
    ConstantUtf8Info *d = cf->findUtf8(n->getDescriptorIndex());
    if (u == nullptr || d == nullptr)
        return false;
    name = nameOf(u->getString(), u->getStringLength());
    descriptor = nameOf(d->getString(), d->getStringLength());
    return true;
}

// True when an instruction writes local 0 (the receiver or first argument
// that hooks reload there).
bool storesToLocal0(const List *instructions)
{
    for (AbstractInstruction *i : *instructions) {
        int op = i->getOpcode();
        if (op >= OP_ISTORE && op <= OP_ASTORE) {
            if (static_cast<ImmediateByteInstruction *>(i)->getImmediateByte() == 0)
                return true;
        } else if (op >= OP_ISTORE_0 && op <= OP_ASTORE_3) {
            if ((op - OP_ISTORE_0) % 4 == 0)
                return true;
        } else if (op == OP_IINC) {
            if (static_cast<IncrementInstruction *>(i)->getImmediateByte() == 0)
                return true;
        }
    }
    return false;
}

// True when the method's StackMapTable has a frame at offset 0; a splice at
// position 0 then carries that frame to the old first instruction, which must
// not get a second one.
bool hasFrameAtZero(CodeAttribute *code)
{
    AttributeInfo *stackMap = code->findAttributeByName("StackMapTable");
    if (stackMap == nullptr || stackMap->getAttributeLength() < 3)
        return false;
    const unsigned char *body = reinterpret_cast<const unsigned char *>(stackMap->getBody());
    if (((body[0] << 8) | body[1]) == 0)
        return false;
    int type = body[2];
    if (type == 0 || type == 64)
        return true;
    if (type >= 247 && stackMap->getAttributeLength() >= 5)
        return ((body[3] << 8) | body[4]) == 0;
    return false;
}

void warnUnchanged(ClassFile *cf, MethodInfo *m, int error)
{
    std::string cls = thisClassName(cf);
    MessageUtil::message("WARNING: %s.%.*s%.*s could not be instrumented (error %d).", cls.c_str(), m->getNameLength(),
                         m->getName(), m->getSignatureLength(), m->getSignature(), error);
}

typedef std::function<void(List *old, std::vector<CodeInsertion *> *insertions)> InsertionBuilder;

enum SpliceResult { SPLICED, NOTHING_TO_DO, FAILED };

// Decodes the method's code, lets build add insertions (sorted, one per
// position), applies them and stores the new code. On failure the method is
// unchanged and a warning names it; *newLength receives the new code length.
SpliceResult splice(ClassFile *cf, MethodInfo *m, CodeAttribute *code, const InsertionBuilder &build,
                    int handlerLength, int leadingFrame, int *newLength)
{
    const char *bytes;
    int length = code->getCode(&bytes);
    List *old = ByteCodeReader::readByteCode(bytes, length);
    if (old == nullptr) {
        warnUnchanged(cf, m, -1);
        return FAILED;
    }
    std::vector<CodeInsertion *> *insertions = codeInsertionVectorPool.getInstance(false);
    build(old, insertions);
    int error = CodeInsertion::APPLIED;
    List *result = insertions->empty() ? nullptr
                                       : CodeInsertion::apply(old, insertions, code, m, handlerLength, leadingFrame, &error);
    for (CodeInsertion *c : *insertions)
        c->freeInstance();
    codeInsertionVectorPool.freeInstance(insertions);
    if (result == nullptr) {
        // apply returned the instructions to their pools on an error, not before.
        if (error == CodeInsertion::APPLIED) {
            ByteCodeReader::freeInstructions(old);
            return NOTHING_TO_DO;
        }
        longInstructionVectorPool.freeInstance(old);
        warnUnchanged(cf, m, error);
        return FAILED;
    }
    longInstructionVectorPool.freeInstance(old);
    char *newCode = nullptr;
    *newLength = ByteCodeWriter::writeByteCode(&newCode, result);
    ByteCodeReader::freeInstructions(result);
    code->setCode(newCode, *newLength);
    return SPLICED;
}

SpliceResult splice(ClassFile *cf, MethodInfo *m, CodeAttribute *code, const InsertionBuilder &build,
                    int leadingFrame)
{
    int ignored = 0;
    return splice(cf, m, code, build, 0, leadingFrame, &ignored);
}

void freeExceptionTable(CodeAttribute *code)
{
    for (ExceptionTableEntry *e : code->getExceptionTable())
        e->freeInstance();
    code->getExceptionTable().clear();
}

// Replaces the whole body of a method with straight-line code: the exception
// table is emptied, frames and local-variable tables (which describe the old
// code) go, and line numbers keep only an entry at pc 0 when keepFirstLine.
void replaceBody(CodeAttribute *code, List *instructions, int maxStack, int maxLocals, bool keepFirstLine)
{
    int at = 0;
    for (AbstractInstruction *i : *instructions) {
        i->setOffset(at);
        at += i->getPaddedSize(at);
    }
    char *bytes = nullptr;
    int length = ByteCodeWriter::writeByteCode(&bytes, instructions);
    freeList(instructions);
    code->setCode(bytes, length);
    code->setMaxStack(maxStack);
    code->setMaxLocals(maxLocals);
    freeExceptionTable(code);
    code->removeAttributeWithName("StackMapTable");
    code->removeAttributeWithName("LocalVariableTable");
    code->removeAttributeWithName("LocalVariableTypeTable");
    for (AttributeInfo *a : code->getAttributes()) {
        if (!a->instanceOf(LineNumberTableAttribute::CLASS_NAME))
            continue;
        std::vector<LineNumberTableEntry *> &lines = static_cast<LineNumberTableAttribute *>(a)->getLineNumberTable();
        std::vector<LineNumberTableEntry *> kept;
        for (LineNumberTableEntry *e : lines) {
            if (keepFirstLine && e->getStartPc() == 0 && kept.empty())
                kept.push_back(e);
            else
                e->freeInstance();
        }
        lines.swap(kept);
    }
}

bool isConstructor(const MethodInfo *m)
{
    return m->getName() != nullptr && eq_nt_str("<init>", m->getName(), m->getNameLength());
}

bool isReturn(int opcode) { return opcode >= OP_IRETURN && opcode <= OP_RETURN; }

} // namespace

bool ClassModifications::addObjectConstructor(ClassFile *cf, bool attached)
{
    MethodInfo *constructor = findMethod(cf, "<init>", "()V");
    CodeAttribute *code = constructor != nullptr ? codeOf(constructor) : nullptr;
    if (code == nullptr) {
        MessageUtil::message("%s", OBJECT_CONSTRUCTOR_MISSING);
        return false;
    }
    int registerAllocation = Instrumenter::addHookMethodref(cf, Instrumenter::HOOK_REGISTER_ALLOCATION);
    List *body = newList();
    if (!attached) {
        // Allocations are reported only once the agent sets String.orvaneCallAgent.
        withShort(body, OP_GETSTATIC, ConstantPoolUtil::addConstantFieldrefInfo(cf, "java/lang/String", CALL_AGENT_FIELD, "Z"));
        branch(body, OP_IFEQ, 7);
    }
    simple(body, OP_ALOAD_0);
    withShort(body, OP_INVOKESTATIC, registerAllocation);
    simple(body, OP_RETURN);
    replaceBody(code, body, 1, 1, true);
    // The return at 10 is reached by a jump: it needs its frame.
    if (!attached && cf->getMajorVersion() >= 50)
        CodeInsertionHelper::addObjectInitStackMapTable(code, 10);
    return true;
}

bool ClassModifications::addCallAgentField(ClassFile *cf)
{
    for (FieldInfo *f : cf->getFields())
        if (f != nullptr && named(f, CALL_AGENT_FIELD, "Z"))
            return false;
    cf->getFields().push_back(FieldInfo::createField(cf, CALL_AGENT_FIELD, "Z", 0x88));
    return true;
}

bool ClassModifications::instrumentObjectStreamClass(ClassFile *cf)
{
    MethodInfo *method = findMethod(cf, "computeDefaultSUID", "(Ljava/lang/Class;)J");
    CodeAttribute *code = method != nullptr ? codeOf(method) : nullptr;
    if (code == nullptr) {
        MessageUtil::message("%s", SUID_MISSING);
        return false;
    }
    List *body = newList();
    simple(body, OP_ALOAD_0);
    withShort(body, OP_INVOKESTATIC, Instrumenter::addHookMethodref(cf, Instrumenter::HOOK_COMPUTE_DEFAULT_SUID));
    simple(body, OP_LRETURN);
    replaceBody(code, body, 2, 1, false);
    return true;
}

int ClassModifications::instrumentLoadClass(ClassFile *cf)
{
    int changed = 0;
    int useSystem = 0, loadClass = 0;
    for (MethodInfo *m : cf->getMethods()) {
        if (m == nullptr || (m->getAccessFlags() & ACC_STATIC) != 0)
            continue;
        if (!named(m, "loadClass", "(Ljava/lang/String;)Ljava/lang/Class;") &&
            !named(m, "loadClass", "(Ljava/lang/String;Z)Ljava/lang/Class;"))
            continue;
        CodeAttribute *code = codeOf(m);
        if (code == nullptr)
            continue;
        if (useSystem == 0) {
            useSystem = Instrumenter::addHookMethodref(cf, Instrumenter::HOOK_USE_SYSTEM_CLASS_LOADER);
            loadClass = Instrumenter::addHookMethodref(cf, Instrumenter::HOOK_LOAD_CLASS);
        }
        // 0 aload_0, 1 aload_1, 2 invokestatic, 5 ifeq 13, 8 aload_1, 9 invokestatic, 12 areturn, 13 old code.
        auto build = [&](List *, std::vector<CodeInsertion *> *insertions) {
            List *pre = newList();
            simple(pre, OP_ALOAD_0);
            simple(pre, OP_ALOAD_1);
            withShort(pre, OP_INVOKESTATIC, useSystem);
            branch(pre, OP_IFEQ, 8);
            simple(pre, OP_ALOAD_1);
            withShort(pre, OP_INVOKESTATIC, loadClass);
            simple(pre, OP_ARETURN);
            insertions->push_back(CodeInsertion::getInstance(0, pre, nullptr, false));
        };
        int oldMaxStack = code->getMaxStack();
        if (splice(cf, m, code, build, hasFrameAtZero(code) ? -1 : 13) != SPLICED)
            continue;
        code->setMaxStack(oldMaxStack < 2 ? 2 : oldMaxStack);
        changed++;
    }
    return changed;
}

int ClassModifications::instrumentLockSupport(ClassFile *cf)
{
    struct ParkMethod {
        const char *name;
        const char *descriptor;
        int blocker;  // aload_0 (the blocker argument) or aconst_null
    };
    static const ParkMethod PARK_METHODS[] = {
        {"park", "(Ljava/lang/Object;)V", OP_ALOAD_0},
        {"parkNanos", "(Ljava/lang/Object;J)V", OP_ALOAD_0},
        {"parkUntil", "(Ljava/lang/Object;J)V", OP_ALOAD_0},
        {"park", "()V", OP_ACONST_NULL},
        {"parkNanos", "(J)V", OP_ACONST_NULL},
        {"parkUntil", "(J)V", OP_ACONST_NULL},
    };
    // blocker + invokestatic on entry; blocker + invokestatic + athrow in the handler.
    const int ENTRY_LENGTH = 4;
    const int HANDLER_LENGTH = 5;
    int changed = 0;
    int enter = 0, exit = 0;
    for (const ParkMethod &p : PARK_METHODS) {
        MethodInfo *m = findMethod(cf, p.name, p.descriptor);
        CodeAttribute *code = m != nullptr ? codeOf(m) : nullptr;
        if (code == nullptr)
            continue;
        if (enter == 0) {
            enter = Instrumenter::addHookMethodref(cf, Instrumenter::HOOK_PARK_ENTER);
            exit = Instrumenter::addHookMethodref(cf, Instrumenter::HOOK_PARK_EXIT);
        }
        bool skip = false;
        // Every way out that follows the entry hook runs the exit hook: each
        // return (branches to it included, hence shiftTarget) and a catch-all
        // handler for exceptions.
        auto build = [&](List *old, std::vector<CodeInsertion *> *insertions) {
            if (p.blocker == OP_ALOAD_0 && storesToLocal0(old)) {
                skip = true;
                return;
            }
            int last = static_cast<int>(old->size()) - 1;
            for (int j = 0; j <= last; j++) {
                bool returns = isReturn((*old)[j]->getOpcode());
                if (j != 0 && j != last && !returns)
                    continue;
                List *pre = nullptr;
                if (j == 0) {
                    pre = newList();
                    simple(pre, p.blocker);
                    withShort(pre, OP_INVOKESTATIC, enter);
                }
                if (returns) {
                    if (pre == nullptr)
                        pre = newList();
                    simple(pre, p.blocker);
                    withShort(pre, OP_INVOKESTATIC, exit);
                }
                List *post = nullptr;
                if (j == last) {
                    post = newList();
                    simple(post, p.blocker);
                    withShort(post, OP_INVOKESTATIC, exit);
                    simple(post, OP_ATHROW);
                }
                // At 0 jumps keep skipping the entry hook.
                insertions->push_back(CodeInsertion::getInstance(j, pre, post, j != 0));
            }
        };
        int oldMaxStack = code->getMaxStack();
        int newLength = 0;
        if (splice(cf, m, code, build, HANDLER_LENGTH, -1, &newLength) != SPLICED) {
            if (skip)
                MessageUtil::message("WARNING: %s.%s%s writes its blocker argument and is not instrumented.",
                                     thisClassName(cf).c_str(), p.name, p.descriptor);
            continue;
        }
        int handler = newLength - HANDLER_LENGTH;
        code->getExceptionTable().push_back(
            ExceptionTableEntry::getInstance(ENTRY_LENGTH, handler, handler, cf->getThrowableClassIndex()));
        code->setMaxStack(oldMaxStack + 1 < 2 ? 2 : oldMaxStack + 1);
        changed++;
    }
    return changed;
}

int ClassModifications::instrumentLocking(const char *className, ClassFile *cf)
{
    // Pool indices of the calls that park.
    std::vector<bool> parkCalls(cf->getConstantPool().size(), false);
    bool any = false;
    for (size_t i = 1; i < parkCalls.size(); i++) {
        std::string owner, name, descriptor;
        if (!methodRefAt(cf, static_cast<int>(i), owner, name, descriptor))
            continue;
        bool park = owner == LOCK_SUPPORT && (name == "park" || name == "parkUntil" || name == "parkNanos");
        bool ownPark = owner == className && name == "parkAndCheckInterrupt" && descriptor == "()Z";
        parkCalls[i] = park || ownPark;
        any = any || parkCalls[i];
    }
    if (!any)
        return 0;
    int enter = Instrumenter::addHookMethodref(cf, Instrumenter::HOOK_PARK_ENTER);
    int exit = Instrumenter::addHookMethodref(cf, Instrumenter::HOOK_PARK_EXIT);
    int changed = 0;
    for (MethodInfo *m : cf->getMethods()) {
        if (m == nullptr || (m->getAccessFlags() & ACC_STATIC) != 0 || isConstructor(m))
            continue;
        CodeAttribute *code = codeOf(m);
        if (code == nullptr)
            continue;
        auto build = [&](List *old, std::vector<CodeInsertion *> *insertions) {
            if (storesToLocal0(old))
                return;
            for (size_t j = 0; j < old->size(); j++) {
                AbstractInstruction *i = (*old)[j];
                if (i->getOpcode() != OP_INVOKESTATIC)
                    continue;
                int ref = static_cast<ImmediateShortInstruction *>(i)->getImmediateShort();
                if (ref <= 0 || ref >= static_cast<int>(parkCalls.size()) || !parkCalls[ref])
                    continue;
                List *pre = newList();
                simple(pre, OP_ALOAD_0);
                withShort(pre, OP_INVOKESTATIC, enter);
                List *post = newList();
                simple(post, OP_ALOAD_0);
                withShort(post, OP_INVOKESTATIC, exit);
                insertions->push_back(CodeInsertion::getInstance(static_cast<int>(j), pre, post, true));
            }
        };
        int oldMaxStack = code->getMaxStack();
        if (splice(cf, m, code, build, -1) != SPLICED)
            continue;
        code->setMaxStack(oldMaxStack + 1);
        changed++;
    }
    return changed;
}

bool ClassModifications::addRegisterClassHookToConstructor(ClassFile *cf, MethodInfo *constructor)
{
    CodeAttribute *code = codeOf(constructor);
    if (code == nullptr)
        return false;
    std::string self = thisClassName(cf);
    std::string super = classNameAt(cf, cf->getSuperClass());
    int registerClass = 0;
    auto build = [&](List *old, std::vector<CodeInsertion *> *insertions) {
        // The this(...)/super(...) call is the first constructor call on this
        // class or its superclass that does not initialise an object made by a
        // `new` before it (as in super(new Base())).
        int pendingNew = 0;
        for (size_t j = 1; j < old->size(); j++) {
            AbstractInstruction *i = (*old)[j];
            if (i->getOpcode() == OP_NEW) {
                pendingNew++;
                continue;
            }
            if (i->getOpcode() != OP_INVOKESPECIAL)
                continue;
            std::string owner, name, descriptor;
            if (!methodRefAt(cf, static_cast<ImmediateShortInstruction *>(i)->getImmediateShort(), owner, name,
                             descriptor) ||
                name != "<init>")
                continue;
            if (pendingNew > 0) {
                pendingNew--;
                continue;
            }
            if (owner != self && owner != super)
                continue;
            if (registerClass == 0)
                registerClass = Instrumenter::addHookMethodref(cf, Instrumenter::HOOK_REGISTER_CLASS);
            List *post = newList();
            simple(post, OP_ALOAD_0);
            withShort(post, OP_INVOKEVIRTUAL, ConstantPoolUtil::addConstantMethodrefInfo(cf, "java/lang/Object", "getClass", "()Ljava/lang/Class;"));
            withShort(post, OP_INVOKESTATIC, registerClass);
            insertions->push_back(CodeInsertion::getInstance(static_cast<int>(j), nullptr, post, true));
            return;
        }
    };
    int oldMaxStack = code->getMaxStack();
    if (splice(cf, constructor, code, build, -1) != SPLICED)
        return false;
    code->setMaxStack(oldMaxStack + 1);
    return true;
}

int ClassModifications::addRegisterClassHook(const char *, ClassFile *cf)
{
    int changed = 0;
    for (MethodInfo *m : cf->getMethods())
        if (m != nullptr && isConstructor(m) && addRegisterClassHookToConstructor(cf, m))
            changed++;
    return changed;
}

bool ClassModifications::addRegisterClassHookToClinit(const char *, ClassFile *cf)
{
    List *instructions = newList();
    addThisClassInstructions(cf, instructions);
    withShort(instructions, OP_INVOKESTATIC, Instrumenter::addHookMethodref(cf, Instrumenter::HOOK_REGISTER_CLASS));
    return prependInstructionsToClinit(cf, instructions, 4);
}

bool ClassModifications::prependInstructionsToClinit(ClassFile *cf, List *instructions, int maxStack)
{
    MethodInfo *clinit = findMethod(cf, "<clinit>", "()V");
    if (clinit == nullptr)
        return createClinit(cf, instructions, maxStack) != nullptr;
    CodeAttribute *code = codeOf(clinit);
    if (code == nullptr) {
        freeList(instructions);
        return false;
    }
    auto build = [&](List *, std::vector<CodeInsertion *> *insertions) {
        insertions->push_back(CodeInsertion::getInstance(0, instructions, nullptr, false));
        instructions = nullptr;
    };
    int oldMaxStack = code->getMaxStack();
    SpliceResult result = splice(cf, clinit, code, build, -1);
    // Not handed to an insertion (undecodable code): still ours to free.
    freeList(instructions);
    if (result != SPLICED)
        return false;
    code->setMaxStack(oldMaxStack < maxStack ? maxStack : oldMaxStack);
    return true;
}

MethodInfo *ClassModifications::createClinit(ClassFile *cf, List *instructions, int maxStack)
{
    simple(instructions, OP_RETURN);
    CodeAttribute *code = CodeAttribute::getInstance();
    code->setClassFile(cf);
    code->setAttributeNameIndex(ConstantPoolUtil::addConstantUTF8Info(cf, CodeAttribute::ATTRIBUTE_NAME));
    replaceBody(code, instructions, maxStack, 0, false);
    MethodInfo *clinit = MethodInfo::createMethod(cf, "<clinit>", "()V", 0x18);
    clinit->getAttributes().push_back(code);
    cf->getMethods().push_back(clinit);
    return clinit;
}

void ClassModifications::addThisClassInstructions(ClassFile *cf, List *instructions)
{
    std::string name = thisClassName(cf);
    int utf8 = ConstantPoolUtil::addConstantUTF8Info(cf, name.c_str());
    withShort(instructions, OP_LDC_W, createStringEntry(cf, utf8));
    withByte(instructions, OP_BIPUSH, '/');
    withByte(instructions, OP_BIPUSH, '.');
    withShort(instructions, OP_INVOKEVIRTUAL, ConstantPoolUtil::addConstantMethodrefInfo(cf, "java/lang/String", "replace", "(CC)Ljava/lang/String;"));
    withShort(instructions, OP_INVOKESTATIC,
              ConstantPoolUtil::addConstantMethodrefInfo(cf, "java/lang/Class", "forName", "(Ljava/lang/String;)Ljava/lang/Class;"));
}

bool ClassModifications::mainClassModifications(const char *className, ClassFile *cf)
{
    List *instructions = newList();
    int utf8 = ConstantPoolUtil::addConstantUTF8Info(cf, className);
    withShort(instructions, OP_LDC_W, createStringEntry(cf, utf8));
    withShort(instructions, OP_INVOKESTATIC, Instrumenter::addHookMethodref(cf, Instrumenter::HOOK_INIT_FROM_MAIN_CLASS));
    return prependInstructionsToClinit(cf, instructions, 1);
}

bool ClassModifications::modifyMainClassMain(ClassFile *cf, int executeMainIndex)
{
    MethodInfo *main = findMethod(cf, "main", "([Ljava/lang/String;)V");
    if (main == nullptr || (main->getAccessFlags() & (ACC_PUBLIC | ACC_STATIC)) == 0)
        return false;
    CodeAttribute *code = codeOf(main);
    if (code == nullptr)
        return false;
    auto build = [&](List *, std::vector<CodeInsertion *> *insertions) {
        List *pre = newList();
        addThisClassInstructions(cf, pre);
        simple(pre, OP_ALOAD_0);
        withShort(pre, OP_INVOKESTATIC, executeMainIndex);
        branch(pre, OP_IFNE, 4);
        simple(pre, OP_RETURN);
        insertions->push_back(CodeInsertion::getInstance(0, pre, nullptr, false));
    };
    // The prefix is 21 bytes; the old first instruction is a jump target and
    // needs a frame (unless it has one already).
    const int PREFIX_LENGTH = 21;
    int oldMaxStack = code->getMaxStack();
    if (splice(cf, main, code, build, hasFrameAtZero(code) ? -1 : PREFIX_LENGTH) != SPLICED)
        return false;
    code->setMaxStack(oldMaxStack < 5 ? 5 : oldMaxStack);
    return true;
}

int ClassModifications::createStringEntry(ClassFile *cf, int utf8Index)
{
    ConstantStringInfo *s = ConstantStringInfo::getInstance();
    s->setStringIndex(utf8Index);
    return ConstantPoolUtil::addConstantPoolEntry(cf, s);
}
