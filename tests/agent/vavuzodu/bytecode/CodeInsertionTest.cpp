#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bytecode/ByteCodeReader.h"
#include "bytecode/ByteCodeWriter.h"
#include "bytecode/CodeInsertion.h"
#include "bytecode/Instructions.h"
#include "structures/ClassFile.h"
#include "structures/ConstantPoolUtil.h"
#include "structures/MethodInfo.h"
#include "structures/TypedAttributes.h"

using namespace Tessera;

namespace {

typedef std::vector<unsigned char> Bytes;
typedef std::vector<AbstractInstruction *> List;

Bytes encode(List *list)
{
    char *code = nullptr;
    int n = ByteCodeWriter::writeByteCode(&code, list);
    Bytes b(code, code + n);
    delete[] code;
    return b;
}

List *decode(const Bytes &code, bool leadingNop = false)
{
    AbstractInstruction *nop = SimpleInstruction::getInstance(0);
    List *list = ByteCodeReader::readByteCode(reinterpret_cast<const char *>(code.data()),
                                              static_cast<int>(code.size()), &nop, leadingNop ? 1 : 0);
    if (!leadingNop || list == nullptr)
        nop->freeInstance();
    return list;
}

List *nops(int n)
{
    List *v = instructionVectorPool.getInstance(false);
    for (int i = 0; i < n; i++)
        v->push_back(SimpleInstruction::getInstance(0));
    return v;
}

// Applies one insertion; the result list, or null with *error set.
List *applyOne(List *old, int position, List *pre, List *post, bool shift, CodeAttribute *code, MethodInfo *method,
               int handlerLength, int *error)
{
    std::vector<CodeInsertion *> *insertions = codeInsertionVectorPool.getInstance(false);
    insertions->push_back(CodeInsertion::getInstance(position, pre, post, shift));
    List *result = CodeInsertion::apply(old, insertions, code, method, handlerLength, -1, error);
    for (CodeInsertion *c : *insertions)
        c->freeInstance();
    codeInsertionVectorPool.freeInstance(insertions);
    longInstructionVectorPool.freeInstance(old);
    return result;
}

// A class of the given version with one method and its Code attribute.
struct Fixture {
    ClassFile *cf;
    MethodInfo *method;
    CodeAttribute *code;

    Fixture(int version, const char *descriptor, int access, const Bytes &bytes)
    {
        cf = ClassFile::getInstance();
        cf->getConstantPool().resize(1);
        cf->setMajorVersion(version);
        cf->setOriginalMajorVersion(version);
        cf->setThisClass(ConstantPoolUtil::addConstantClassInfo(cf, "T"));
        method = MethodInfo::createMethod(cf, "m", descriptor, access);
        cf->getMethods().push_back(method);
        code = CodeAttribute::getInstance();
        code->setClassFile(cf);
        code->setAttributeNameIndex(ConstantPoolUtil::addConstantUTF8Info(cf, "Code"));
        char *copy = new char[bytes.size()];
        std::copy(bytes.begin(), bytes.end(), copy);
        code->setCode(copy, static_cast<int>(bytes.size()));
        method->getAttributes().push_back(code);
    }
    ~Fixture() { cf->freeInstance(); }

    List *decodeCode(bool leadingNop = false)
    {
        const char *c;
        int n = code->getCode(&c);
        return decode(Bytes(c, c + n), leadingNop);
    }

    AttributeInfo *addRaw(const char *name, const Bytes &body)
    {
        AttributeInfo *a = AttributeInfo::getInstance(static_cast<int>(body.size()));
        a->setClassFile(cf);
        a->setAttributeNameIndex(ConstantPoolUtil::addConstantUTF8Info(cf, name));
        char *copy = new char[body.size()];
        std::copy(body.begin(), body.end(), copy);
        a->setReplacementBody(copy, static_cast<int>(body.size()));
        code->getAttributes().push_back(a);
        return a;
    }
};

Bytes bodyOf(AttributeInfo *a)
{
    return Bytes(a->getBody(), a->getBody() + a->getAttributeLength());
}

} // namespace

TEST(InstructionCodecTest, LiteralEncodingsRoundTrip)
{
    struct Case {
        const char *name;
        Bytes code;
        std::vector<const char *> classes;
    } cases[] = {
        {"wide iload 300", {0xC4, 0x15, 0x01, 0x2C}, {"SimpleInstruction", "ImmediateByteInstruction"}},
        {"wide iinc -2", {0xC4, 0x84, 0x00, 0x01, 0xFF, 0xFE}, {"SimpleInstruction", "IncrementInstruction"}},
        {"iinc", {0x84, 0x02, 0xFF}, {"IncrementInstruction"}},
        {"goto_w", {0xC8, 0x00, 0x00, 0x00, 0x05}, {"ImmediateIntInstruction"}},
        {"invokeinterface", {0xB9, 0x00, 0x07, 0x02, 0x00}, {"InvokeInterfaceInstruction"}},
        {"multianewarray", {0xC5, 0x00, 0x03, 0x02}, {"MultianewarrayInstruction"}},
        {"ifnull", {0xC6, 0xFF, 0xFD}, {"BranchInstruction"}},
        {"tableswitch at 0: 3 padding bytes",
         {0xAA, 0, 0, 0, 0, 0, 0, 0x14, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0x14, 0xB1},
         {"TableSwitchInstruction", "SimpleInstruction"}},
        {"lookupswitch at 3: no padding",
         {0x00, 0x00, 0x00, 0xAB, 0, 0, 0, 0x15, 0, 0, 0, 1, 0, 0, 0, 7, 0, 0, 0, 0x15, 0xB1},
         {"SimpleInstruction", "SimpleInstruction", "SimpleInstruction", "LookupSwitchInstruction",
          "SimpleInstruction"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        List *list = decode(c.code);
        ASSERT_NE(nullptr, list);
        ASSERT_EQ(c.classes.size(), list->size());
        for (size_t k = 0; k < list->size(); k++)
            EXPECT_STREQ(c.classes[k], (*list)[k]->tiClassName());
        EXPECT_EQ(c.code, encode(list));
        ByteCodeReader::freeInstructions(list);
    }
    List *wide = decode({0xC4, 0x15, 0x01, 0x2C});
    EXPECT_EQ(300, static_cast<ImmediateByteInstruction *>((*wide)[1])->getImmediateByte());
    EXPECT_EQ(3, (*wide)[1]->getSize());
    EXPECT_FALSE((*wide)[1]->instanceOf("BranchInstruction"));
    ByteCodeReader::freeInstructions(wide);
}

TEST(InstructionCodecTest, InvalidAndTruncatedCodeIsRefused)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(nullptr, decode({0x00, 0xCB}));
    EXPECT_EQ("[error]invalid opcode cb\n", testing::internal::GetCapturedStderr());
    testing::internal::CaptureStderr();
    EXPECT_EQ(nullptr, decode({0x11, 0x00})); // sipush without its second byte
    EXPECT_EQ(nullptr, decode({0xAA, 0, 0, 0, 0, 0, 0, 0, 0x7F, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0})); // huge table
    testing::internal::GetCapturedStderr();
    Bytes arrays = {0x10, 0x05, 0xBC, 0x0A};
    EXPECT_TRUE(ByteCodeReader::hasArrayAllocations(reinterpret_cast<const char *>(arrays.data()), 4));
    Bytes none = {0xC4, 0x15, 0x00, 0xBC, 0xB1}; // wide iload 188: the operand is no newarray
    EXPECT_FALSE(ByteCodeReader::hasArrayAllocations(reinterpret_cast<const char *>(none.data()), 5));
}

TEST(CodeInsertionTest, BranchRepair)
{
    struct Case {
        const char *name;
        Bytes code;
        bool leadingNop;
        int position;
        int preNops;
        bool shift;
        Bytes expected;
    } cases[] = {
        // loop head at pc 0; entry hook before the leading nop: the back branch still
        // lands on the body, not on the hook
        {"entry hook, loop at 0", {0x84, 0x00, 0x01, 0xA7, 0xFF, 0xFD}, true, 0, 2, false,
         {0x00, 0x00, 0x00, 0x84, 0x00, 0x01, 0xA7, 0xFF, 0xFD}},
        // exit hook before a branch target return, with and without shiftTarget
        {"hook before return, shifted", {0x1A, 0x99, 0x00, 0x04, 0x00, 0xB1}, false, 3, 3, true,
         {0x1A, 0x99, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0xB1}},
        {"hook before return, not shifted", {0x1A, 0x99, 0x00, 0x04, 0x00, 0xB1}, false, 3, 3, false,
         {0x1A, 0x99, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0xB1}},
        // tableswitch moving from 1 to 3: padding 2 -> 0, jumps recomputed
        {"tableswitch padding", {0x1A, 0xAA, 0, 0, 0, 0, 0, 0x13, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x13, 0xB1}, false,
         0, 2, false,
         {0x00, 0x00, 0x1A, 0xAA, 0, 0, 0, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x11, 0xB1}},
        // a branch to the first instruction from after an insertion
        {"backward goto_w to 0", {0x00, 0xC8, 0xFF, 0xFF, 0xFF, 0xFF}, false, 1, 1, false,
         {0x00, 0x00, 0xC8, 0xFF, 0xFF, 0xFF, 0xFE}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        List *old = decode(c.code, c.leadingNop);
        ASSERT_NE(nullptr, old);
        int error = -1;
        List *result = applyOne(old, c.position, nops(c.preNops), nullptr, c.shift, nullptr, nullptr, 0, &error);
        ASSERT_NE(nullptr, result);
        EXPECT_EQ(CodeInsertion::APPLIED, error);
        EXPECT_EQ(c.expected, encode(result));
        ByteCodeReader::freeInstructions(result);
    }
}

TEST(CodeInsertionTest, LimitsOfCodeLengthAndShortBranches)
{
    struct Case {
        const char *name;
        Bytes code;
        int position;
        int preNops;
        int error;
    } cases[] = {
        {"65,000 bytes", {0xB1}, 0, 64999, CodeInsertion::APPLIED},
        {"65,001 bytes", {0xB1}, 0, 65000, CodeInsertion::ERROR_CODE_TOO_LONG},
        {"branch of 32,766", {0xA7, 0x00, 0x04, 0x00, 0xB1}, 1, 32762, CodeInsertion::APPLIED},
        {"branch of 32,767", {0xA7, 0x00, 0x04, 0x00, 0xB1}, 1, 32763, CodeInsertion::ERROR_CODE_TOO_LONG},
        {"branch into an operand", {0xA7, 0x00, 0x02, 0x00, 0xB1}, 1, 1, CodeInsertion::ERROR_BRANCH_TARGET},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f(52, "()V", 0x0009, c.code);
        int codeLength = static_cast<int>(c.code.size());
        f.code->getExceptionTable().push_back(ExceptionTableEntry::getInstance(0, codeLength, 0, 0));
        List *old = f.decodeCode();
        ASSERT_NE(nullptr, old);
        int error = -1;
        testing::internal::CaptureStderr();
        List *result = applyOne(old, c.position, nops(c.preNops), nullptr, false, f.code, f.method, 0, &error);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(c.error, error);
        if (c.error == CodeInsertion::ERROR_BRANCH_TARGET) {
            EXPECT_EQ("[error]Invalid branch target\n", err);
        }
        if (result != nullptr) {
            ByteCodeReader::freeInstructions(result);
            continue;
        }
        // the method is left as it was
        EXPECT_EQ(0, f.code->getExceptionTable()[0]->getStartPc());
        EXPECT_EQ(codeLength, f.code->getExceptionTable()[0]->getEndPc());
        EXPECT_EQ(static_cast<int>(c.code.size()), f.code->getCode(nullptr));
    }
}

TEST(CodeInsertionTest, TablesAndFramesFollowTheCode)
{
    // 0 iload_0; 1 ifeq 6; 4 iconst_1; 5 ireturn; 6 iconst_0; 7 ireturn
    Fixture f(52, "(I)I", 0x0009, {0x1A, 0x99, 0x00, 0x05, 0x04, 0xAC, 0x03, 0xAC});
    f.code->getExceptionTable().push_back(ExceptionTableEntry::getInstance(0, 6, 6, 0));
    f.code->getExceptionTable().push_back(ExceptionTableEntry::getInstance(4, 8, 6, 0)); // ends at the code end
    LineNumberTableAttribute *lines = LineNumberTableAttribute::getInstance();
    lines->setClassFile(f.cf);
    lines->setAttributeNameIndex(ConstantPoolUtil::addConstantUTF8Info(f.cf, "LineNumberTable"));
    LineNumberTableEntry *l0 = LineNumberTableEntry::getInstance();
    l0->setStartPc(0);
    LineNumberTableEntry *l4 = LineNumberTableEntry::getInstance();
    l4->setStartPc(4);
    lines->getLineNumberTable().push_back(l0);
    lines->getLineNumberTable().push_back(l4);
    f.code->getAttributes().push_back(lines);
    LocalVariableTableAttribute *locals = LocalVariableTableAttribute::getInstance();
    locals->setClassFile(f.cf);
    locals->setAttributeNameIndex(ConstantPoolUtil::addConstantUTF8Info(f.cf, "LocalVariableTable"));
    LocalVariableTableEntry *v = LocalVariableTableEntry::getInstance();
    v->setStartPc(0);
    v->setLength(8);
    locals->getLocalVariableTable().push_back(v);
    f.code->getAttributes().push_back(locals);
    // one same_frame at 6, then one same_locals_1_stack_item (Integer) at 7
    AttributeInfo *frames = f.addRaw("StackMapTable", {0x00, 0x02, 0x06, 0x40, 0x01});

    List *old = f.decodeCode();
    int error = -1;
    List *result = applyOne(old, 1, nops(64), nullptr, false, f.code, f.method, 0, &error);
    ASSERT_NE(nullptr, result);
    EXPECT_EQ(72, (*result)[result->size() - 1]->getOffset() + 1);
    ByteCodeReader::freeInstructions(result);

    // the frame at 6 moves to 70: no longer fits a same_frame byte
    EXPECT_EQ((Bytes{0x00, 0x02, 0xFB, 0x00, 0x46, 0x40, 0x01}), bodyOf(frames));
    EXPECT_EQ(0, f.code->getExceptionTable()[0]->getStartPc());
    EXPECT_EQ(70, f.code->getExceptionTable()[0]->getEndPc());
    EXPECT_EQ(70, f.code->getExceptionTable()[0]->getHandlerPc());
    EXPECT_EQ(68, f.code->getExceptionTable()[1]->getStartPc());
    EXPECT_EQ(72, f.code->getExceptionTable()[1]->getEndPc());
    EXPECT_EQ(0, l0->getStartPc());
    EXPECT_EQ(68, l4->getStartPc());
    EXPECT_EQ(0, v->getStartPc());
    EXPECT_EQ(72, v->getLength());
}

TEST(CodeInsertionTest, UnmappableTablesLeaveTheMethodUnchanged)
{
    struct Case {
        const char *name;
        int endPc;
        Bytes frames;
        int error;
        const char *console; // what the user sees on standard error, or null
    } cases[] = {
        {"exception range ends inside an instruction", 2, {0x00, 0x01, 0x03}, CodeInsertion::ERROR_EXCEPTION_TABLE, nullptr},
        {"frame of an unknown type", 1, {0x00, 0x01, 0x80}, CodeInsertion::ERROR_STACK_MAP,
         "Orvane> ERROR unknown frame type 128 in StackMapTable attribute\nOrvane> in method T.m()V\n"},
        {"frame inside an instruction", 1, {0x00, 0x01, 0x02}, CodeInsertion::ERROR_STACK_MAP, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // 0 iconst_0; 1 sipush 5; 4 return
        Fixture f(52, "()V", 0x0009, {0x03, 0x11, 0x00, 0x05, 0xB1});
        f.code->getExceptionTable().push_back(ExceptionTableEntry::getInstance(0, c.endPc, 4, 0));
        AttributeInfo *frames = f.addRaw("StackMapTable", c.frames);
        List *old = f.decodeCode();
        int error = -1;
        testing::internal::CaptureStderr();
        List *result = applyOne(old, 0, nops(1), nullptr, false, f.code, f.method, 0, &error);
        std::string console = testing::internal::GetCapturedStderr();
        EXPECT_EQ(nullptr, result);
        EXPECT_EQ(c.error, error);
        if (c.console != nullptr) {
            EXPECT_EQ(c.console, console);
        }
        EXPECT_EQ(c.endPc, f.code->getExceptionTable()[0]->getEndPc());
        EXPECT_EQ(4, f.code->getExceptionTable()[0]->getHandlerPc());
        EXPECT_EQ(c.frames, bodyOf(frames));
    }
}

TEST(CodeInsertionTest, CatchAllHandlerFrameDeclaresOnlyKeptLocals)
{
    struct Case {
        const char *name;
        Bytes code;
        int version;
        Bytes expectedFrames; // with the String class index patched in at 0xEE
    } cases[] = {
        {"parameters kept", {0xB1}, 50,
         {0x00, 0x01, 0xFF, 0x00, 0x01, 0x00, 0x02, 0x01, 0x07, 0x00, 0xEE, 0x00, 0x01, 0x07, 0x00, 0xDD}},
        // istore_0 reuses the int parameter's slot: nothing is guaranteed
        {"parameter slot reused", {0x03, 0x3B, 0xB1}, 50,
         {0x00, 0x01, 0xFF, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01, 0x07, 0x00, 0xDD}},
        {"version 49 keeps no frames", {0xB1}, 49, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f(c.version, "(ILjava/lang/String;)V", 0x0009, c.code);
        List *old = f.decodeCode();
        int last = static_cast<int>(old->size()) - 1;
        int hook = ConstantPoolUtil::addConstantMethodrefInfo(f.cf, "H", "exit", "()V");
        List *handler = instructionVectorPool.getInstance(false);
        handler->push_back(ImmediateShortInstruction::getInstance(184, hook));
        handler->push_back(SimpleInstruction::getInstance(191));
        int error = -1;
        List *result = applyOne(old, last, nullptr, handler, true, f.code, f.method, 4, &error);
        ASSERT_NE(nullptr, result);
        ByteCodeReader::freeInstructions(result);
        AttributeInfo *frames = f.code->findAttributeByName("StackMapTable");
        if (c.expectedFrames.empty()) {
            EXPECT_EQ(nullptr, frames);
            continue;
        }
        ASSERT_NE(nullptr, frames);
        Bytes expected = c.expectedFrames;
        int stringClass = ConstantPoolUtil::getConstantClassInfo(f.cf, "java/lang/String");
        int throwable = f.cf->getThrowableClassIndex();
        for (unsigned char &b : expected) {
            if (b == 0xEE)
                b = static_cast<unsigned char>(stringClass);
            else if (b == 0xDD)
                b = static_cast<unsigned char>(throwable);
        }
        EXPECT_EQ(expected, bodyOf(frames));
    }
}
