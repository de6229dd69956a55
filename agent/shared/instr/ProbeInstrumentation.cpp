#include "ProbeInstrumentation.h"

#include <string>
#include <vector>

#include "ClassModifications.h"
#include "Instrumenter.h"
#include "InstrumenterPrivate.h"
#include "Opcodes.h"
#include "bytecode/ByteCodeReader.h"
#include "bytecode/CodeInsertion.h"
#include "bytecode/Instructions.h"
#include "io/Log.h"
#include "structures/AttributeInfo.h"
#include "structures/ClassFile.h"
#include "structures/ConstantPoolUtil.h"
#include "structures/MethodInfo.h"
#include "structures/TableEntries.h"
#include "structures/TypedAttributes.h"

using namespace Tessera;
using namespace Opcodes;

namespace {

typedef std::vector<AbstractInstruction *> List;

const char *const CALLEE = "com/orvane/agent/InstrumentationCallee";
const char *const HOOK_ENTER = "__orvane_annotationEnterMethod";
const char *const HOOK_EXIT = "__orvane_annotationExitMethod";
const char *const ENTER_OBJECTS =
    "(ILjava/lang/Class;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/Object;[Ljava/lang/Object;)V";
const char *const ENTER_INT =
    "(ILjava/lang/Class;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/Object;I)V";
const char *const EXIT_OBJECT =
    "(Ljava/lang/Object;ILjava/lang/Class;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/Object;)V";
const char *const EXIT_INT =
    "(IILjava/lang/Class;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/Object;)V";
const char *const WRAPPER = "com/orvane/agent/util/PrimitiveWrapper15";
// The profiler-interface agent's boxing class.
const char *const PI_WRAPPER = "com/orvane/agent/util/PrimitiveWrapper";
const char *const WRAP = "__orvane_wrap";

// The boxing method of each primitive type.
const struct {
    char type;
    const char *descriptor;
} WRAPS[] = {
    {'B', "(B)Ljava/lang/Byte;"},   {'C', "(C)Ljava/lang/Character;"}, {'D', "(D)Ljava/lang/Double;"},
    {'F', "(F)Ljava/lang/Float;"},  {'I', "(I)Ljava/lang/Integer;"},   {'J', "(J)Ljava/lang/Long;"},
    {'S', "(S)Ljava/lang/Short;"},  {'Z', "(Z)Ljava/lang/Boolean;"},
};

const int SHORT_MIN = -32768;
const int SHORT_MAX = 32767;
const int BYTE_MAX = 127;
const int ACC_STATIC = 0x0008;

// What every hook call passes after its first value.
struct Target {
    Tessera::ClassFile *classFile;
    int id;
    int classConstant; // 0: the class is named through Class.forName
    int classNameConstant;
    int methodNameConstant;
    int descriptorConstant;
    bool noThis;
};

void add(List *v, AbstractInstruction *i) { v->push_back(i); }

void addSimple(List *v, int opcode) { add(v, SimpleInstruction::getInstance(opcode)); }

void addShort(List *v, int opcode, int operand) { add(v, ImmediateShortInstruction::getInstance(opcode, operand & 0xFFFF)); }

// A small non-negative count or index: bipush up to 127, sipush above (a
// bipush operand above 127 would read as negative).
void pushCount(List *v, int value)
{
    if (value <= BYTE_MAX)
        add(v, ImmediateByteInstruction::getInstance(OP_BIPUSH, false, value));
    else
        addShort(v, OP_SIPUSH, value);
}

void pushTarget(List *v, const Target &t)
{
    addShort(v, OP_SIPUSH, t.id);
    if (t.classConstant != 0)
        addShort(v, OP_LDC_W, t.classConstant);
    else
        ClassModifications::addThisClassInstructions(t.classFile, v);
    addShort(v, OP_LDC_W, t.classNameConstant);
    addShort(v, OP_LDC_W, t.methodNameConstant);
    addShort(v, OP_LDC_W, t.descriptorConstant);
    addSimple(v, t.noThis ? OP_ACONST_NULL : OP_ALOAD_0);
}

int listLength(const List *v)
{
    int n = 0;
    for (AbstractInstruction *i : *v)
        n += i->getSize();
    return n;
}

// One character per parameter ('L' for references and arrays) and the
// return type's; false for a malformed descriptor.
bool parseDescriptor(const std::string &d, std::string *parameters, char *returnType)
{
    size_t i = 1;
    if (d.empty() || d[0] != '(')
        return false;
    while (i < d.size() && d[i] != ')') {
        size_t start = i;
        while (i < d.size() && d[i] == '[')
            i++;
        if (i >= d.size())
            return false;
        if (d[i] == 'L') {
            i = d.find(';', i);
            if (i == std::string::npos)
                return false;
        }
        parameters->push_back(i != start || d[i] == 'L' ? 'L' : d[i]);
        i++;
    }
    if (i + 1 >= d.size())
        return false;
    *returnType = d[i + 1] == '[' ? 'L' : d[i + 1];
    return true;
}

// The boxing Methodref of a primitive type; 0 for references.
int wrapRef(ClassFile *classFile, const ProbeInstrumentation::Hooks &hooks, char type)
{
    for (const auto &w : WRAPS) {
        if (w.type == type)
            return ConstantPoolUtil::addConstantMethodrefInfo(classFile, hooks.profilerInterface ? PI_WRAPPER : WRAPPER, WRAP,
                                                              w.descriptor);
    }
    return 0;
}

void loadLocal(List *v, char type, int slot)
{
    int opcode = OP_ALOAD;
    switch (type) {
    case 'J': opcode = OP_LLOAD; break;
    case 'F': opcode = OP_FLOAD; break;
    case 'D': opcode = OP_DLOAD; break;
    case 'L': opcode = OP_ALOAD; break;
    default: opcode = OP_ILOAD; break;
    }
    add(v, ImmediateByteInstruction::getInstance(opcode, slot > 255, slot));
}

void buildEntry(List *v, ClassFile *classFile, const Target &t, const ProbeInstrumentation::Hooks &hooks, int value,
                const std::string &parameters, bool isStatic)
{
    pushTarget(v, t);
    int first = isStatic ? 0 : 1;
    if (value <= ProbeInstrumentation::VALUE_ALL_ARGUMENTS) {
        pushCount(v, static_cast<int>(parameters.size()));
        addShort(v, OP_ANEWARRAY, ConstantPoolUtil::addConstantClassInfo(classFile, "java/lang/Object"));
        int slot = first;
        for (size_t i = 0; i < parameters.size(); i++) {
            char type = parameters[i];
            addSimple(v, OP_DUP);
            pushCount(v, static_cast<int>(i));
            loadLocal(v, type, slot);
            if (int wrap = wrapRef(classFile, hooks, type))
                addShort(v, OP_INVOKESTATIC, wrap);
            addSimple(v, OP_AASTORE);
            slot += type == 'J' || type == 'D' ? 2 : 1;
        }
        addShort(v, OP_INVOKESTATIC, hooks.enterObjects);
        return;
    }
    if (value == ProbeInstrumentation::VALUE_ZERO)
        addSimple(v, OP_ICONST_0);
    else
        loadLocal(v, 'I', value + first);
    addShort(v, OP_INVOKESTATIC, hooks.enterInt);
}

void buildExit(List *v, ClassFile *classFile, const Target &t, const ProbeInstrumentation::Hooks &hooks, char returnType)
{
    int hook = hooks.exitObject;
    switch (returnType) {
    case 'V':
        addSimple(v, OP_ACONST_NULL);
        break;
    case 'I':
        addSimple(v, OP_DUP);
        hook = hooks.exitInt;
        break;
    case 'J':
    case 'D':
        addSimple(v, OP_DUP2);
        addShort(v, OP_INVOKESTATIC, wrapRef(classFile, hooks, returnType));
        break;
    case 'L':
        addSimple(v, OP_DUP);
        break;
    default:
        addSimple(v, OP_DUP);
        addShort(v, OP_INVOKESTATIC, wrapRef(classFile, hooks, returnType));
        break;
    }
    pushTarget(v, t);
    addShort(v, OP_INVOKESTATIC, hook);
}

List *newList() { return instructionVectorPool.getInstance(false); }

} // namespace

ProbeInstrumentation::Hooks ProbeInstrumentation::addHooks(ClassFile *classFile, bool profilerInterface)
{
    Hooks h;
    h.profilerInterface = profilerInterface;
    h.enterObjects = ConstantPoolUtil::addConstantMethodrefInfo(classFile, CALLEE, HOOK_ENTER, ENTER_OBJECTS);
    h.enterInt = ConstantPoolUtil::addConstantMethodrefInfo(classFile, CALLEE, HOOK_ENTER, ENTER_INT);
    h.exitObject = ConstantPoolUtil::addConstantMethodrefInfo(classFile, CALLEE, HOOK_EXIT, EXIT_OBJECT);
    h.exitInt = ConstantPoolUtil::addConstantMethodrefInfo(classFile, CALLEE, HOOK_EXIT, EXIT_INT);
    return h;
}

bool ProbeInstrumentation::addProfilingHookToMethod(ClassFile *classFile, MethodInfo *method, CodeAttribute *code,
                                                    const char *className, int id, const Hooks &hooks, int value)
{
    std::string name(method->getName(), method->getNameLength());
    std::string descriptor(method->getSignature(), method->getSignatureLength());
    if (id < SHORT_MIN || id > SHORT_MAX) {
        Log::warning("probe id %d does not fit a short: %s.%s%s is not probed", id, className, name.c_str(),
                     descriptor.c_str());
        return false;
    }
    std::string parameters;
    char returnType = 'V';
    if (!parseDescriptor(descriptor, &parameters, &returnType))
        return false;
    List *list = InstrumenterState::decodeWithLeadingNop(code);
    if (list == nullptr)
        return false;
    if (list->size() < 2) {
        ByteCodeReader::freeInstructions(list);
        return false;
    }
    // ldc of a Class constant needs version 49; the profiler-interface agent
    // keeps older versions and names the class through Class.forName there.
    if (!hooks.profilerInterface)
        Instrumenter::ensureClassConstantLoadable(classFile);
    bool constructor = name == "<init>";
    bool isStatic = (method->getAccessFlags() & ACC_STATIC) != 0;
    Target t;
    t.classFile = classFile;
    t.id = id;
    t.classConstant = classFile->getMajorVersion() >= 49 ? ConstantPoolUtil::addConstantClassInfo(classFile, className) : 0;
    t.classNameConstant = ConstantPoolUtil::addConstantStringInfo(classFile, className);
    t.methodNameConstant = ConstantPoolUtil::addConstantStringInfo(classFile, name.c_str());
    t.descriptorConstant = ConstantPoolUtil::addConstantStringInfo(classFile, descriptor.c_str());
    t.noThis = isStatic || constructor;

    // In position order, at most one insertion per position.
    std::vector<CodeInsertion *> *insertions = codeInsertionVectorPool.getInstance(false);
    List *entry = newList();
    buildEntry(entry, classFile, t, hooks, value, parameters, isStatic);
    int entryLength = listLength(entry);
    insertions->push_back(CodeInsertion::getInstance(0, entry, nullptr, false));
    int last = static_cast<int>(list->size()) - 1;
    for (int j = 1; j <= last; j++) {
        int op = (*list)[j]->getOpcode();
        if (op < OP_IRETURN || op > OP_RETURN)
            continue;
        List *exit = newList();
        buildExit(exit, classFile, t, hooks, returnType);
        insertions->push_back(CodeInsertion::getInstance(j, exit, nullptr, true));
    }
    int handlerLength = 0;
    if (!constructor) {
        List *handler = newList();
        addSimple(handler, OP_DUP);
        pushTarget(handler, t);
        addShort(handler, OP_INVOKESTATIC, hooks.exitObject);
        addSimple(handler, OP_ATHROW);
        handlerLength = listLength(handler);
        CodeInsertion *tail = insertions->back();
        if (tail->getPosition() == last)
            tail->setPostInstructions(handler);
        else
            insertions->push_back(CodeInsertion::getInstance(last, nullptr, handler, true));
    }

    int error = CodeInsertion::APPLIED;
    List *applied = CodeInsertion::apply(list, insertions, code, method, handlerLength, -1, &error);
    for (CodeInsertion *c : *insertions)
        c->freeInstance();
    codeInsertionVectorPool.freeInstance(insertions);
    if (applied == nullptr) {
        if (error == CodeInsertion::APPLIED)
            ByteCodeReader::freeInstructions(list);
        else
            longInstructionVectorPool.freeInstance(list);
        return false;
    }
    longInstructionVectorPool.freeInstance(list);
    int length = InstrumenterState::storeCode(applied, code);
    int maxStack = code->getMaxStack();
    code->setMaxStack(maxStack > 5 ? maxStack + 10 : 15);
    if (!constructor) {
        int handlerPc = length - handlerLength;
        code->getExceptionTable().push_back(
            ExceptionTableEntry::getInstance(entryLength, handlerPc, handlerPc, classFile->getThrowableClassIndex()));
    }
    return true;
}
