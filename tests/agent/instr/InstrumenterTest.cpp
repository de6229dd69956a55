// The method hooks of the instrumenter on small classes built in memory: the
// exact instructions and exception-table entries that go in, and what stays
// out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ClassData.h"
#include "ClassProfilingSession.h"
#include "Instrumenter.h"
#include "InstrumenterTestSupport.h"
#include "MethodDesc.h"
#include "MethodHandleTable.h"
#include "ProfilingSession.h"
#include "SessionConfig.h"
#include "bytecode/ByteCodeReader.h"
#include "bytecode/CodeInsertion.h"
#include "bytecode/Instructions.h"
#include "io/ClassFileReader.h"
#include "io/ClassFileWriter.h"
#include "structures/ClassFile.h"
#include "structures/ConstantEntries.h"
#include "structures/ConstantPoolUtil.h"
#include "structures/MethodInfo.h"
#include "structures/TableEntries.h"
#include "structures/TypedAttributes.h"

using namespace Tessera;
using namespace instrtest;

namespace {

// The sessions the instrumenter records into; a fresh instrumenter per test.
class InstrumenterTest : public testing::Test {
protected:
    void SetUp() override
    {
        Instrumenter::initialize(&classSession, &session, &handles);
        Instrumenter::applyConfig(nullptr);
        Instrumenter::setReplaceNativeMethods(true);
        // The JDK's classes are filtered: calls into them are wrapped.
        classSession.setFilters({"java.", "sun."}, false);
    }

    void TearDown() override { Instrumenter::initialize(nullptr, nullptr, nullptr); }

    int32_t idOf(const char *cls, const char *name, const char *desc)
    {
        return handles.findHandle(Instrumenter::getMethodDesc(cls, name, desc));
    }

    static Lines id(int32_t id)
    {
        return {"sipush " + std::to_string(static_cast<short>(id & 0xFFFF)),
                "sipush " + std::to_string(static_cast<short>((id >> 16) & 0xFFFF))};
    }
    static Lines enter(int32_t i) { return id(i) + Lines{"sipush -1", "invokestatic InstrumentationCallee.__orvane_enterMethod(SSS)V"}; }
    static Lines exit(int32_t i) { return id(i) + Lines{"invokestatic InstrumentationCallee.__orvane_exitMethod(SS)V"}; }
    static Lines handler(int32_t i)
    {
        return id(i) + Lines{"invokestatic InstrumentationCallee.__orvane_exceptionHandlerMethod(SS)V"};
    }

    bool instrument(TestClass &c, const char *name, bool hooks = true, const std::vector<int> *sleeps = nullptr,
                    const std::vector<int> *parks = nullptr, bool redefining = false)
    {
        return Instrumenter::instrumentClassFile(nullptr, name, hooks, false, sleeps, parks, c.cf, redefining, false);
    }

    ProfilingSession session;
    ClassProfilingSession classSession{&session};
    MethodHandleTable handles;
};

TEST_F(InstrumenterTest, ReturnOnlyMethodGetsEntryExitAndCatchAll)
{
    TestClass c("p/A");
    MethodInfo *m = c.method("run", "()V", ACC_PUBLIC | ACC_STATIC, {0xB1});
    ASSERT_TRUE(instrument(c, "p/A"));
    int32_t run = idOf("p/A", "run", "()V");
    ASSERT_NE(0, run);
    Lines expected = enter(run) + Lines{"nop"} + exit(run) + Lines{"return"} + exit(run) + Lines{"athrow"};
    EXPECT_EQ(expected, disassemble(c.cf, m)) << join(disassemble(c.cf, m));
    // entry 0-11, nop 12, exit 13-21, return 22, handler 23-32
    std::vector<ExceptionTableEntry *> &table = codeOf(m)->getExceptionTable();
    ASSERT_EQ(1u, table.size());
    EXPECT_EQ(12, table[0]->getStartPc());
    EXPECT_EQ(23, table[0]->getEndPc());
    EXPECT_EQ(23, table[0]->getHandlerPc());
    EXPECT_EQ(c.cf->getThrowableClassIndex(), table[0]->getCatchType());
    EXPECT_EQ(33, codeOf(m)->getCode(nullptr));
    EXPECT_EQ(5, codeOf(m)->getMaxStack());
    EXPECT_EQ(Instrumenter::STATE_INSTRUMENTED,
              Instrumenter::getInstrumentationState(Instrumenter::getMethodDesc("p.A", "run", "()V")));
}

TEST_F(InstrumenterTest, MethodIdIsPushedLowHalfFirst)
{
    // Ids above 16 bits: fill the table so the method's id has a high half.
    for (uintptr_t i = 1; i <= 70000; i++)
        handles.getHandle(reinterpret_cast<MethodDesc *>(i * 16));
    TestClass c("p/A");
    MethodInfo *m = c.method("run", "()V", ACC_STATIC, {0xB1});
    ASSERT_TRUE(instrument(c, "p/A"));
    int32_t run = idOf("p/A", "run", "()V");
    ASSERT_GT(run, 0xFFFF);
    Lines code = disassemble(c.cf, m);
    ASSERT_GE(code.size(), 2u);
    EXPECT_EQ("sipush " + std::to_string(static_cast<short>(run & 0xFFFF)), code[0]);
    EXPECT_EQ("sipush " + std::to_string(run >> 16), code[1]);
}

TEST_F(InstrumenterTest, ConstructorGetsNoEntryExitOrCatchAllButItsCallsAreWrapped)
{
    TestClass c("p/B");
    int base = c.methodref("p/Base", "<init>", "()V");
    int object = c.methodref("java/lang/Object", "<init>", "()V");
    int makeA = c.methodref("p/A", "<init>", "(I)V");
    // <init>(): aload_0, invokespecial p/Base.<init>, return
    MethodInfo *ctor = c.method("<init>", "()V", ACC_PUBLIC, cat({{0x2A, 0xB7}, u2(base), {0xB1}}));
    // <init>(I): aload_0, invokespecial Object.<init>, return
    MethodInfo *ctor2 = c.method("<init>", "(I)V", ACC_PUBLIC, cat({{0x2A, 0xB7}, u2(object), {0xB1}}));
    // static make(): new p/A, dup, iconst_1, invokespecial p/A.<init>(I), areturn
    int classA = ConstantPoolUtil::addConstantClassInfo(c.cf, "p/A");
    MethodInfo *make = c.method("make", "()Lp/A;", ACC_STATIC, cat({{0xBB}, u2(classA), {0x59, 0x04, 0xB7}, u2(makeA), {0xB0}}));
    ASSERT_TRUE(instrument(c, "p/B"));

    int32_t baseCtor = idOf("p/Base", "<init>", "()V");
    Lines ctorCode = disassemble(c.cf, ctor);
    EXPECT_EQ((Lines{"nop", "aload_0"} + id(baseCtor) +
               Lines{"sipush 0", "invokestatic InstrumentationCallee.__orvane_enterConstructor(SSS)V",
                     "invokespecial Base.<init>()V"} +
               exit(baseCtor) + Lines{"return"}),
              ctorCode)
        << join(ctorCode);
    EXPECT_TRUE(codeOf(ctor)->getExceptionTable().empty());
    // java.lang.Object's constructor is counted elsewhere: never wrapped.
    EXPECT_EQ((Lines{"aload_0", "invokespecial Object.<init>()V", "return"}), disassemble(c.cf, ctor2))
        << join(disassemble(c.cf, ctor2));

    int32_t aCtor = idOf("p/A", "<init>", "(I)V");
    int32_t makeId = idOf("p/B", "make", "()Lp/A;");
    Lines makeCode = disassemble(c.cf, make);
    EXPECT_EQ((enter(makeId) + Lines{"nop", "new", "dup", "iconst_1"} + id(aCtor) +
               Lines{"sipush 0", "invokestatic InstrumentationCallee.__orvane_enterConstructor(SSS)V",
                     "invokespecial A.<init>(I)V"} +
               exit(aCtor) + exit(makeId) + Lines{"areturn"} + exit(makeId) + Lines{"athrow"}),
              makeCode)
        << join(makeCode);
    EXPECT_EQ(Instrumenter::STATE_NOT_INSTRUMENTED,
              Instrumenter::getInstrumentationState(Instrumenter::getMethodDesc("p/B", "<init>", "()V")));
}

TEST_F(InstrumenterTest, BranchToReturnLandsOnTheExitHook)
{
    TestClass c("p/A");
    // 0 iload_0, 1 ifeq ->5, 4 return, 5 return
    MethodInfo *m = c.method("f", "(I)V", ACC_STATIC, {0x1A, 0x99, 0x00, 0x04, 0xB1, 0xB1});
    ASSERT_TRUE(instrument(c, "p/A"));
    int32_t f = idOf("p/A", "f", "(I)V");
    Lines code = disassemble(c.cf, m);
    std::vector<int> offsets = offsetsOf(m);
    // enter(4) nop iload_0 ifeq exit(3) return exit(3) return exit(3) athrow
    ASSERT_EQ(19u, code.size()) << join(code);
    int secondExit = offsets[11];
    EXPECT_EQ("ifeq ->" + std::to_string(secondExit), code[6]);
    EXPECT_EQ(exit(f) + Lines{"return"}, Lines(code.begin() + 11, code.begin() + 15));
}

TEST_F(InstrumenterTest, BackwardJumpToTheFirstInstructionSkipsTheEntryHook)
{
    TestClass c("p/A");
    // 0 iload_0, 1 ifne ->0, 4 return
    MethodInfo *m = c.method("loop", "(I)V", ACC_STATIC, {0x1A, 0x9A, 0xFF, 0xFF, 0xB1});
    ASSERT_TRUE(instrument(c, "p/A"));
    Lines code = disassemble(c.cf, m);
    std::vector<int> offsets = offsetsOf(m);
    ASSERT_EQ("iload_0", code[5]) << join(code);
    EXPECT_EQ(13, offsets[5]);
    EXPECT_EQ("ifne ->13", code[6]);
}

TEST_F(InstrumenterTest, CallsAreWrappedByWhatTheCalleeIs)
{
    struct Case {
        const char *name;
        const char *cls;
        bool lineNumbers;
        bool ignoreCallee;
        const char *expect; // "filter", "hint" or "none"
    } cases[] = {
        {"filtered callee, lines on", "java/lang/String", true, false, "filter"},
        {"filtered callee, lines off", "java/lang/String", false, false, "filter"},
        {"ignored filtered callee", "java/lang/String", true, true, "none"},
        {"unfiltered callee, lines on", "p/C", true, false, "hint"},
        {"unfiltered callee, lines off", "p/C", false, false, "none"},
        {"ignored unfiltered callee", "p/C", true, true, "none"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Instrumenter::initialize(&classSession, &session, &handles);
        SessionConfig config;
        config.lineNumbers = k.lineNumbers;
        if (k.ignoreCallee)
            config.ignoredMethods.insert(AnnotationMethodAndClass(k.cls, "length", "()I"));
        Instrumenter::applyConfig(&config);
        TestClass c("p/A");
        int callee = c.methodref(k.cls, "length", "()I");
        // 0 aload_0, 1 invokevirtual, 4 pop, 5 return; line 41 from 0, 42 from 1
        MethodInfo *m = c.method("g", "()V", 0, cat({{0x2A, 0xB6}, u2(callee), {0x57, 0xB1}}), {},
                                 {{0, 41}, {1, 42}, {5, 43}});
        ASSERT_TRUE(instrument(c, "p/A"));
        int32_t g = idOf("p/A", "g", "()V");
        int32_t target = idOf(k.cls, "length", "()I");
        std::string call = "invokevirtual " + simpleName(k.cls) + ".length()I";
        Lines around;
        std::string expect = k.expect;
        std::string line = k.lineNumbers ? "42" : "0";
        if (expect == "filter")
            around = id(target) + Lines{"sipush " + line, "invokestatic InstrumentationCallee.__orvane_filter_enterMethod(SSS)V",
                                        call} +
                     id(target) + Lines{"invokestatic InstrumentationCallee.__orvane_filter_exitMethod(SS)V"};
        else if (expect == "hint")
            around = Lines{"sipush 42", "invokestatic InstrumentationCallee.__orvane_linenumber_hint(S)V", call};
        else
            around = Lines{call};
        Lines expected = enter(g) + Lines{"nop", "aload_0"} + around + Lines{"pop"} + exit(g) + Lines{"return"} + exit(g) +
                         Lines{"athrow"};
        EXPECT_EQ(expected, disassemble(c.cf, m)) << join(disassemble(c.cf, m));
        // Whatever the wrapping, the calling class is known to the callee.
        std::unordered_set<ClassData *> *callers =
            Instrumenter::getCallingClasses(Instrumenter::getMethodDesc(k.cls, "length", "()I"));
        ASSERT_NE(nullptr, callers);
        EXPECT_EQ(1u, callers->count(Instrumenter::getClassData("p/A")));
    }
}

TEST_F(InstrumenterTest, HandlerHookComesFirstAndCatchAllGoesLast)
{
    TestClass c("p/A");
    int callee = c.methodref("java/lang/Thread", "yield", "()V");
    // 0 invokestatic yield, 3 return, 4 invokestatic yield (the handler), 7 return
    MethodInfo *m = c.method("h", "()V", ACC_STATIC, cat({{0xB8}, u2(callee), {0xB1, 0xB8}, u2(callee), {0xB1}}),
                             {{0, 3, 4, "java/lang/Exception"}});
    ASSERT_TRUE(instrument(c, "p/A"));
    int32_t h = idOf("p/A", "h", "()V");
    int32_t y = idOf("java/lang/Thread", "yield", "()V");
    Lines call = id(y) + Lines{"sipush 0", "invokestatic InstrumentationCallee.__orvane_filter_enterMethod(SSS)V",
                               "invokestatic Thread.yield()V"} +
                 id(y) + Lines{"invokestatic InstrumentationCallee.__orvane_filter_exitMethod(SS)V"};
    // At the handler the handler hook runs before the wrapped call.
    Lines expected = enter(h) + Lines{"nop"} + call + exit(h) + Lines{"return"} + handler(h) + call + exit(h) +
                     Lines{"return"} + exit(h) + Lines{"athrow"};
    Lines code = disassemble(c.cf, m);
    ASSERT_EQ(expected, code) << join(code);
    std::vector<int> offsets = offsetsOf(m);
    std::vector<ExceptionTableEntry *> &table = codeOf(m)->getExceptionTable();
    ASSERT_EQ(2u, table.size());
    // the old range now starts at the wrapped call and the handler at its hook
    EXPECT_EQ(offsets[5], table[0]->getStartPc());
    EXPECT_EQ(offsets[13], table[0]->getEndPc());
    EXPECT_EQ(offsets[17], table[0]->getHandlerPc());
    EXPECT_EQ(12, table[1]->getStartPc());
    EXPECT_EQ(offsets[offsets.size() - 4], table[1]->getEndPc());
    EXPECT_EQ(offsets[offsets.size() - 4], table[1]->getHandlerPc());
    EXPECT_EQ(c.cf->getThrowableClassIndex(), table[1]->getCatchType());
}

TEST_F(InstrumenterTest, FilteredSleepCallIsWrappedInsideTheFilterHooks)
{
    TestClass c("p/S");
    int sleep = c.methodref("java/util/Timer2", "sleep", "(J)V");
    // lconst_1, invokestatic java/util/Timer2.sleep, return
    MethodInfo *m = c.method("nap", "()V", ACC_STATIC, cat({{0x0A, 0xB8}, u2(sleep), {0xB1}}));
    std::vector<int> sleeps{sleep};
    ASSERT_TRUE(instrument(c, "p/S", true, &sleeps));
    int32_t nap = idOf("p/S", "nap", "()V");
    int32_t t = idOf("java/util/Timer2", "sleep", "(J)V");
    const std::string enterSleep = "invokestatic InstrumentationCallee.__orvane_enterSleep()V";
    const std::string exitSleep = "invokestatic InstrumentationCallee.__orvane_exitSleep()V";
    Lines expected = enter(nap) + Lines{"nop", "lconst_1"} + id(t) +
                     Lines{"sipush 0", "invokestatic InstrumentationCallee.__orvane_filter_enterMethod(SSS)V", enterSleep,
                           "invokestatic Timer2.sleep(J)V", exitSleep} +
                     id(t) + Lines{"invokestatic InstrumentationCallee.__orvane_filter_exitMethod(SS)V", exitSleep} +
                     exit(nap) + Lines{"return", exitSleep} + exit(nap) + Lines{"athrow"};
    EXPECT_EQ(expected, disassemble(c.cf, m)) << join(disassemble(c.cf, m));
}

TEST_F(InstrumenterTest, TooLargeMethodIsRetriedWithoutFilteredCalls)
{
    struct Case {
        const char *name;
        int calls;
        int expectedState;
        bool changed;
    } cases[] = {
        // 3 bytes per call; 18 when wrapped: 6,000 calls fit only unwrapped
        {"retry fits", 6000, Instrumenter::STATE_WITHOUT_FILTERED_CALLS, true},
        {"too large even without filtered calls", 21660, Instrumenter::STATE_NOT_INSTRUMENTED, false},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Instrumenter::initialize(&classSession, &session, &handles);
        TestClass c("p/Big");
        int callee = c.methodref("java/lang/Thread", "yield", "()V");
        Bytes code;
        for (int i = 0; i < k.calls; i++) {
            Bytes call = cat({{0xB8}, u2(callee)});
            code.insert(code.end(), call.begin(), call.end());
        }
        code.push_back(0xB1);
        MethodInfo *m = c.method("big", "()V", ACC_STATIC, code);
        testing::internal::CaptureStdout();
        instrument(c, "p/Big");
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(std::string::npos, out.find("Filtered calls in p.Big.big \ncannot be instrumented due to excessive method size."))
            << out;
        EXPECT_EQ(k.expectedState, Instrumenter::getInstrumentationState(Instrumenter::getMethodDesc("p/Big", "big", "()V")));
        Lines after = disassemble(c.cf, m);
        if (!k.changed) {
            EXPECT_EQ(static_cast<size_t>(k.calls + 1), after.size());
            EXPECT_EQ(2, codeOf(m)->getMaxStack());
            EXPECT_TRUE(codeOf(m)->getExceptionTable().empty());
            continue;
        }
        int filterHooks = 0, calls = 0;
        for (const std::string &l : after) {
            filterHooks += l.find("filter_") != std::string::npos;
            calls += l == "invokestatic Thread.yield()V";
        }
        EXPECT_EQ(0, filterHooks);
        EXPECT_EQ(k.calls, calls);
        EXPECT_EQ(Lines{"athrow"}, Lines{after.back()});
    }
}

TEST_F(InstrumenterTest, MethodsThatCannotBeRewrittenStayUnchangedWithAWarning)
{
    struct Case {
        const char *name;
        Bytes code;
        std::vector<HandlerEntry> handlers;
        const char *warning;
    } cases[] = {
        // sipush 5, pop, return; the range starts inside sipush
        {"illegal exception table", {0x11, 0x00, 0x05, 0x57, 0xB1}, {{1, 4, 4, nullptr}},
         "The method p.E.m \ncannot be instrumented because its exception table is illegal.\n"
         "If needed, please switch to sampling or remove appropriate filters.\n"},
        // goto into its own operand, return
        {"branch into an instruction", {0xA7, 0x00, 0x02, 0xB1}, {},
         "There was an error when instrumenting the method p.E.m.\n"
         "If needed, please switch to sampling or remove appropriate filters.\n"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        TestClass c("p/E");
        MethodInfo *m = c.method("m", "()V", ACC_STATIC, k.code, k.handlers);
        MethodInfo *ok = c.method("ok", "()V", ACC_STATIC, {0xB1});
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        instrument(c, "p/E");
        std::string out = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
        EXPECT_NE(std::string::npos, out.find(k.warning)) << out;
        const char *bytes = nullptr;
        int length = codeOf(m)->getCode(&bytes);
        EXPECT_EQ(k.code, Bytes(bytes, bytes + length));
        EXPECT_EQ(2, codeOf(m)->getMaxStack());
        EXPECT_EQ(k.handlers.size(), codeOf(m)->getExceptionTable().size());
        EXPECT_EQ(Instrumenter::STATE_NOT_INSTRUMENTED,
                  Instrumenter::getInstrumentationState(Instrumenter::getMethodDesc("p/E", "m", "()V")));
        // the other methods of the class are still rewritten
        EXPECT_GT(disassemble(c.cf, ok).size(), 1u);
    }
}

TEST_F(InstrumenterTest, NativeMethodGetsAJavaWrapperOnce)
{
    struct Case {
        const char *name;
        int access;
        Bytes body; // the wrapper's code before the hooks
        int maxStack;
    } cases[] = {
        {"instance", ACC_PUBLIC, {0x2A, 0x16, 1, 0x19, 3, 0x18, 4, 0xB6, 0, 0, 0xAC}, 6},
        {"static", ACC_PUBLIC | ACC_STATIC, {0x16, 0, 0x19, 2, 0x18, 3, 0xB8, 0, 0, 0xAC}, 5},
        {"private", ACC_PRIVATE, {0x2A, 0x16, 1, 0x19, 3, 0x18, 4, 0xB7, 0, 0, 0xAC}, 6},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Instrumenter::initialize(&classSession, &session, &handles);
        TestClass c("p/N");
        MethodInfo *foo = c.nativeMethod("foo", "(JLjava/lang/Object;D)I", k.access);
        ExceptionsAttribute *thrown = ExceptionsAttribute::getInstance();
        thrown->setClassFile(c.cf);
        thrown->setAttributeNameIndex(ConstantPoolUtil::addConstantUTF8Info(c.cf, "Exceptions"));
        thrown->getExceptionIndexTable().push_back(ConstantPoolUtil::addConstantClassInfo(c.cf, "java/io/IOException"));
        foo->getAttributes().push_back(thrown);

        CodeAttribute *code = Instrumenter::getCodeAttributeOrCreateForNativeMethod(c.cf, foo, false);
        ASSERT_NE(nullptr, code);
        MethodInfo *target = c.find("__orvane_nmp_foo");
        ASSERT_NE(nullptr, target);
        EXPECT_EQ(k.access | ACC_NATIVE, target->getAccessFlags());
        EXPECT_EQ(k.access, foo->getAccessFlags());
        EXPECT_EQ("(JLjava/lang/Object;D)I", std::string(target->getSignature(), target->getSignatureLength()));
        ExceptionsAttribute *copied =
            static_cast<ExceptionsAttribute *>(target->findAttribute(ExceptionsAttribute::CLASS_NAME));
        ASSERT_NE(nullptr, copied);
        EXPECT_EQ(thrown->getExceptionIndexTable(), copied->getExceptionIndexTable());
        int ref = c.methodref("p/N", "__orvane_nmp_foo", "(JLjava/lang/Object;D)I");
        Bytes expected = k.body;
        size_t at = expected.size() - 3;
        expected[at] = static_cast<unsigned char>(ref >> 8);
        expected[at + 1] = static_cast<unsigned char>(ref & 0xFF);
        const char *bytes = nullptr;
        int length = code->getCode(&bytes);
        EXPECT_EQ(expected, Bytes(bytes, bytes + length));
        EXPECT_EQ(k.maxStack, code->getMaxStack());
        EXPECT_EQ(k.maxStack, code->getMaxLocals());

        // Two more passes: the hooks go into the wrapper, the prefixed
        // method is never wrapped, nothing is added twice.
        instrument(c, "p/N");
        instrument(c, "p/N");
        EXPECT_EQ(2u, c.cf->getMethods().size());
        EXPECT_EQ(nullptr, c.find("__orvane_nmp___orvane_nmp_foo"));
        EXPECT_EQ(nullptr, Instrumenter::getCodeAttribute(target));
    }
}

TEST_F(InstrumenterTest, RedefiningWrapsOnlyNativeMethodsWrappedBefore)
{
    {
        TestClass first("p/N");
        first.nativeMethod("foo", "()V", ACC_PUBLIC);
        instrument(first, "p/N");
        ASSERT_NE(nullptr, first.find("__orvane_nmp_foo"));
    }
    TestClass again("p/N");
    MethodInfo *foo = again.nativeMethod("foo", "()V", ACC_PUBLIC);
    MethodInfo *bar = again.nativeMethod("bar", "()V", ACC_PUBLIC);
    EXPECT_TRUE(Instrumenter::isNativeInstrumented(again.cf, foo));
    EXPECT_FALSE(Instrumenter::isNativeInstrumented(again.cf, bar));
    instrument(again, "p/N", true, nullptr, nullptr, true);
    EXPECT_NE(nullptr, again.find("__orvane_nmp_foo"));
    EXPECT_EQ(nullptr, again.find("__orvane_nmp_bar"));
    EXPECT_EQ(ACC_PUBLIC | ACC_NATIVE, bar->getAccessFlags());

    Instrumenter::setReplaceNativeMethods(false);
    TestClass off("p/M");
    off.nativeMethod("foo", "()V", ACC_PUBLIC);
    EXPECT_FALSE(instrument(off, "p/M"));
    EXPECT_EQ(1u, off.cf->getMethods().size());
}

TEST_F(InstrumenterTest, NetIoMethodsGetTheNetIoHook)
{
    TestClass c("java/net/SocketInputStream");
    MethodInfo *read = c.method("read", "([BII)I", ACC_PUBLIC, {0x03, 0xAC});
    MethodInfo *available = c.method("available", "()I", ACC_PUBLIC, {0x03, 0xAC});
    ASSERT_TRUE(Instrumenter::instrumentClassFileForNetIo(nullptr, "java/net/SocketInputStream", c.cf));
    const std::string hook = "invokestatic InstrumentationCallee.__orvane_netIOMethod(SS)V";
    Lines expected = {"sipush 1", "sipush 0", "nop", "nop", "nop", hook, "nop", "iconst_0", "sipush 0", "sipush 0", hook,
                      "ireturn", "sipush 0", "sipush 0", hook, "athrow"};
    EXPECT_EQ(expected, disassemble(c.cf, read)) << join(disassemble(c.cf, read));
    ASSERT_EQ(1u, codeOf(read)->getExceptionTable().size());
    EXPECT_EQ(12, codeOf(read)->getExceptionTable()[0]->getStartPc());
    EXPECT_EQ((Lines{"iconst_0", "ireturn"}), disassemble(c.cf, available));

    TestClass other("p/NotNet");
    other.method("read", "([BII)I", ACC_PUBLIC, {0x03, 0xAC});
    EXPECT_FALSE(Instrumenter::instrumentClassFileForNetIo(nullptr, "p/NotNet", other.cf));
}

TEST_F(InstrumenterTest, NetIoTablesMatchClassesExactlyAndMethodsByRow)
{
    struct Case {
        const char *cls;
        const char *name;
        const char *desc;
        bool classMatch;
        bool methodMatch;
    } cases[] = {
        {"java/net/SocketInputStream", "read", "([BII)I", true, true},
        {"java/net/SocketInputStream", "read", "()I", true, false},
        {"java/net/AbstractPlainSocketImpl", "accept", "(Ljava/net/SocketImpl;)V", true, true},
        {"java/net/PlainSocketImpl", "close", "()V", true, true},
        {"sun/nio/ch/SocketChannelImpl", "write", "(Ljava/nio/ByteBuffer;)I", true, true},
        {"sun/nio/ch/SelectorImpl", "select", "(J)I", true, true},
        {"sun/nio/ch/SelectorImpl", "select", "()I", true, false},
        {"org/apache/tomcat/jni/Poll", "anything", "(JJ)I", true, true},
        {"java/net/SocketInputStreamX", "read", "([BII)I", false, false},
        {"java/net/Socket", "close", "()V", false, false},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(std::string(k.cls) + "." + k.name + k.desc);
        EXPECT_EQ(k.classMatch, Instrumenter::isNetIoClass(k.cls));
        EXPECT_EQ(k.methodMatch, Instrumenter::isNetIoMethod(k.cls, k.name, static_cast<int>(strlen(k.name)), k.desc,
                                                               static_cast<int>(strlen(k.desc))));
        EXPECT_EQ(k.methodMatch, Instrumenter::isNetIoMethod(Instrumenter::getMethodDesc(k.cls, k.name, k.desc)));
    }
}

TEST_F(InstrumenterTest, ArrayAllocationsAreReported)
{
    TestClass c("p/A");
    int objectClass = ConstantPoolUtil::addConstantClassInfo(c.cf, "java/lang/Object");
    int matrixClass = ConstantPoolUtil::addConstantClassInfo(c.cf, "[[I");
    // iconst_1 newarray int, pop, iconst_1 anewarray Object, pop, iconst_1 iconst_2 multianewarray [[I 2, pop, return
    MethodInfo *m = c.method("alloc", "()V", ACC_STATIC,
                             cat({{0x04, 0xBC, 10, 0x57, 0x04, 0xBD}, u2(objectClass), {0x57, 0x04, 0x05, 0xC5},
                                  u2(matrixClass), {0x02, 0x57, 0xB1}}));
    MethodInfo *none = c.method("none", "()V", ACC_STATIC, {0xB1});
    ASSERT_TRUE(Instrumenter::addArrayAllocationInstrumentation(c.cf, m));
    EXPECT_FALSE(Instrumenter::addArrayAllocationInstrumentation(c.cf, none));
    const std::string hook = "invokestatic InstrumentationCalleeSimple.registerArrayAllocation(Ljava/lang/Object;I)V";
    Lines expected = {"nop",    "iconst_1", "newarray 10", "dup",      "sipush 1",        hook,  "pop",      "iconst_1",
                      "anewarray", "dup",   "sipush 1",    hook,       "pop",             "iconst_1", "iconst_2",
                      "multianewarray 2", "dup", "sipush 2", hook,     "pop",             "return"};
    EXPECT_EQ(expected, disassemble(c.cf, m)) << join(disassemble(c.cf, m));
    EXPECT_EQ(5, codeOf(m)->getMaxStack());
    EXPECT_EQ((Lines{"return"}), disassemble(c.cf, none));
}

TEST_F(InstrumenterTest, SleepReferencesAreSortedAndThreadSleepIsRedirected)
{
    TestClass c("p/S");
    int threadSleep = c.methodref("java/lang/Thread", "sleep", "(J)V");
    int otherSleep = c.methodref("p/Timer", "sleep", "(J)V");
    int park = c.methodref("sun/misc/Unsafe", "park", "(ZJ)V");
    c.methodref("java/lang/Thread", "sleep", "(JI)V");
    c.methodref("p/Timer", "park", "(ZJ)V");
    std::vector<int> replace, sleeps, parks;
    Instrumenter::findSleepRefs(c.cf, &replace, &sleeps, &parks);
    EXPECT_EQ(std::vector<int>{threadSleep}, replace);
    EXPECT_EQ(std::vector<int>{otherSleep}, sleeps);
    EXPECT_EQ(std::vector<int>{park}, parks);

    Instrumenter::replaceMethodRefs(c.cf, replace);
    EXPECT_EQ("LockManager.__orvane_sleep(J)V", refText(c.cf, threadSleep));
    // the changed entry is found again by its new value
    EXPECT_EQ(threadSleep, c.methodref("com/orvane/agent/LockManager", "__orvane_sleep", "(J)V"));
    EXPECT_EQ(Instrumenter::getMethodDesc("java/lang/Thread", "sleep", "(J)V"),
              Instrumenter::getMethodDesc("com/orvane/agent/LockManager", "__orvane_sleep", "(J)V"));
}

TEST_F(InstrumenterTest, SleepCallsAreWrappedWithoutMethodHooks)
{
    TestClass c("p/S");
    int sleep = c.methodref("p/Timer", "sleep", "(J)V");
    // lconst_1, invokestatic p/Timer.sleep, return
    MethodInfo *m = c.method("nap", "()V", ACC_STATIC, cat({{0x0A, 0xB8}, u2(sleep), {0xB1}}));
    MethodInfo *plain = c.method("plain", "()V", ACC_STATIC, {0xB1});
    std::vector<int> sleeps{sleep};
    ASSERT_TRUE(instrument(c, "p/S", false, &sleeps));
    const std::string enterSleep = "invokestatic InstrumentationCallee.__orvane_enterSleep()V";
    const std::string exitSleep = "invokestatic InstrumentationCallee.__orvane_exitSleep()V";
    EXPECT_EQ((Lines{"nop", "lconst_1", enterSleep, "invokestatic Timer.sleep(J)V", exitSleep, exitSleep, "return",
                     exitSleep, "athrow"}),
              disassemble(c.cf, m))
        << join(disassemble(c.cf, m));
    ASSERT_EQ(1u, codeOf(m)->getExceptionTable().size());
    EXPECT_EQ(1, codeOf(m)->getExceptionTable()[0]->getStartPc());
    EXPECT_EQ(codeOf(m)->getCode(nullptr) - 4, codeOf(m)->getExceptionTable()[0]->getHandlerPc());
    EXPECT_EQ((Lines{"return"}), disassemble(c.cf, plain));
    EXPECT_EQ(0, handles.findHandle(Instrumenter::getMethodDesc("p/S", "nap", "()V")));
}

TEST_F(InstrumenterTest, ConstructorThatSleepsLeavesOnlyTheSleep)
{
    // A constructor has no entry hook, so its returns close the sleep but
    // never exit a method, and it gets no catch-all handler.
    TestClass c("p/S");
    int object = c.methodref("java/lang/Object", "<init>", "()V");
    int sleep = c.methodref("p/Timer", "sleep", "(J)V");
    MethodInfo *ctor = c.method("<init>", "()V", ACC_PUBLIC,
                                cat({{0x2A, 0xB7}, u2(object), {0x0A, 0xB8}, u2(sleep), {0xB1}}));
    std::vector<int> sleeps{sleep};
    ASSERT_TRUE(instrument(c, "p/S", true, &sleeps));
    const std::string enterSleep = "invokestatic InstrumentationCallee.__orvane_enterSleep()V";
    const std::string exitSleep = "invokestatic InstrumentationCallee.__orvane_exitSleep()V";
    EXPECT_EQ((Lines{"nop", "aload_0", "invokespecial Object.<init>()V", "lconst_1", enterSleep,
                     "invokestatic Timer.sleep(J)V", exitSleep, exitSleep, "return"}),
              disassemble(c.cf, ctor))
        << join(disassemble(c.cf, ctor));
    EXPECT_TRUE(codeOf(ctor)->getExceptionTable().empty());
}

TEST_F(InstrumenterTest, ParkCallsAreWrappedInsideMethodHooks)
{
    TestClass c("p/S");
    int park = c.methodref("p/Unsafe", "park", "(ZJ)V");
    // aload_0, iconst_0, lconst_1, invokevirtual park, return
    MethodInfo *m = c.method("wait1", "()V", 0, cat({{0x2A, 0x03, 0x0A, 0xB6}, u2(park), {0xB1}}));
    std::vector<int> parks{park};
    ASSERT_TRUE(instrument(c, "p/S", true, nullptr, &parks));
    int32_t w = idOf("p/S", "wait1", "()V");
    const std::string enterSleep = "invokestatic InstrumentationCallee.__orvane_enterSleep()V";
    const std::string exitSleep = "invokestatic InstrumentationCallee.__orvane_exitSleep()V";
    EXPECT_EQ((enter(w) + Lines{"nop", "aload_0", "iconst_0", "lconst_1", enterSleep, "invokevirtual Unsafe.park(ZJ)V",
                                exitSleep, exitSleep} +
               exit(w) + Lines{"return", exitSleep} + exit(w) + Lines{"athrow"}),
              disassemble(c.cf, m))
        << join(disassemble(c.cf, m));
}

TEST_F(InstrumenterTest, IgnoredMethodsStayUnchanged)
{
    struct Case {
        const char *name;
        const char *cls;
        const char *method;
        bool configured; // the configuration ignores p/A f or p/A *
        bool changed;
    } cases[] = {
        {"exact ignored method", "p/A", "f", true, false},
        {"other method of the class", "p/A", "g", true, true},
        {"InvocationEvent dispatch", "java/awt/event/InvocationEvent", "dispatch", false, true},
        {"InvocationEvent other", "java/awt/event/InvocationEvent", "run", false, false},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Instrumenter::initialize(&classSession, &session, &handles);
        SessionConfig config;
        if (k.configured)
            config.ignoredMethods.insert(AnnotationMethodAndClass("p.A", "f", "()V"));
        Instrumenter::applyConfig(&config);
        TestClass c(k.cls);
        MethodInfo *m = c.method(k.method, "()V", ACC_STATIC, {0xB1});
        instrument(c, k.cls);
        EXPECT_EQ(k.changed, disassemble(c.cf, m).size() > 1) << join(disassemble(c.cf, m));
    }
    Instrumenter::initialize(&classSession, &session, &handles);
    SessionConfig all;
    all.ignoredMethods.insert(AnnotationMethodAndClass("p.A", "*", "*"));
    Instrumenter::applyConfig(&all);
    EXPECT_TRUE(Instrumenter::isIgnoredMethod("p/A", "anything", 8, "(I)V", 4));
    EXPECT_FALSE(Instrumenter::isIgnoredMethod("p/B", "anything", 8, "(I)V", 4));
}

// A default method of an interface gets its hooks like any method with a
// body; nothing in an interface is wrapped for sleeping.
TEST_F(InstrumenterTest, InterfacesGetHooksInMethodsWithBodiesOnly)
{
    TestClass c("p/I");
    c.cf->setAccessFlags(0x601);
    int sleep = c.methodref("p/Timer", "sleep", "(J)V");
    MethodInfo *m = c.method("d", "()V", ACC_PUBLIC, cat({{0x0A, 0xB8}, u2(sleep), {0xB1}}));
    std::vector<int> sleeps{sleep};
    EXPECT_FALSE(instrument(c, "p/I", false, &sleeps)) << "no sleep wrapping";
    EXPECT_EQ((Lines{"lconst_1", "invokestatic Timer.sleep(J)V", "return"}), disassemble(c.cf, m));
    EXPECT_TRUE(instrument(c, "p/I", true, &sleeps));
    Lines code = disassemble(c.cf, m);
    ASSERT_GE(code.size(), 4u);
    EXPECT_EQ(code[3], "invokestatic InstrumentationCallee.__orvane_enterMethod(SSS)V");
    EXPECT_NE(std::find(code.begin(), code.end(), "invokestatic Timer.sleep(J)V"), code.end()) << "the sleep stays as it is";
}

TEST_F(InstrumenterTest, WhichMethodsGetHooks)
{
    struct Case {
        const char *name;
        int access;
        bool hasCode;
        bool replaceNatives;
        bool expected;
    } cases[] = {
        {"m", ACC_PUBLIC, true, true, true},
        {"<clinit>", ACC_STATIC, true, true, true},
        {"m", ACC_PUBLIC | 0x400, false, true, false},
        {"m", ACC_PUBLIC | ACC_NATIVE, false, true, true},
        {"m", ACC_PUBLIC | ACC_NATIVE, false, false, false},
        {"__orvane_nmp_m", ACC_PUBLIC | ACC_NATIVE, false, true, false},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(std::string(k.name) + " " + std::to_string(k.access) + (k.replaceNatives ? " wrapping" : ""));
        Instrumenter::setReplaceNativeMethods(k.replaceNatives);
        TestClass c("p/W");
        MethodInfo *m = k.hasCode ? c.method(k.name, "()V", k.access, {0xB1})
                                  : c.nativeMethod(k.name, "()V", k.access & ~ACC_NATIVE);
        if (!k.hasCode && (k.access & ACC_NATIVE) == 0)
            m->setAccessFlags(k.access);
        EXPECT_EQ(k.expected, Instrumenter::isInstrumented(c.cf, m, false));
    }
}

TEST_F(InstrumenterTest, RecorderModeUsesTheRecorderHooksOnPublicMethodsOnly)
{
    TestClass c("p/R");
    MethodInfo *pub = c.method("pub", "()V", ACC_PUBLIC, {0xB1});
    MethodInfo *priv = c.method("priv", "()V", ACC_PRIVATE, {0xB1});
    MethodInfo *ctor = c.method("<init>", "()V", ACC_PUBLIC, {0xB1});
    ASSERT_TRUE(Instrumenter::instrumentClassFile(nullptr, "p/R", true, false, nullptr, nullptr, c.cf, false, true));
    Lines code = disassemble(c.cf, pub);
    ASSERT_EQ(13u, code.size()) << join(code);
    EXPECT_EQ("invokestatic InstrumentationCallee.__orvane_cobalt_enterMethod(SSS)V", code[3]);
    EXPECT_EQ("invokestatic InstrumentationCallee.__orvane_cobalt_exitMethod(SS)V", code[7]);
    EXPECT_EQ((Lines{"return"}), disassemble(c.cf, priv));
    EXPECT_EQ((Lines{"return"}), disassemble(c.cf, ctor));
}

TEST_F(InstrumenterTest, SpecialOnlyTakesJspServiceAndWrappedNatives)
{
    TestClass c("p/Jsp");
    MethodInfo *jsp = c.method("_jspService",
                               "(Ljavax/servlet/http/HttpServletRequest;Ljavax/servlet/http/HttpServletResponse;)V",
                               ACC_PUBLIC | 0x20, {0xB1});
    MethodInfo *other = c.method("other", "()V", ACC_PUBLIC, {0xB1});
    MethodInfo *native = c.nativeMethod("n", "()V", ACC_PUBLIC);
    ASSERT_TRUE(Instrumenter::instrumentClassFile(nullptr, "p/Jsp", true, true, nullptr, nullptr, c.cf, false, false));
    EXPECT_GT(disassemble(c.cf, jsp).size(), 1u);
    EXPECT_EQ((Lines{"return"}), disassemble(c.cf, other));
    EXPECT_EQ(nullptr, codeOf(native)); // never wrapped before
}

TEST_F(InstrumenterTest, RegistryFindsOrCreatesOneRecordPerName)
{
    MethodDesc *a = Instrumenter::getMethodDesc("p/A", "f", "()V");
    EXPECT_EQ(a, Instrumenter::getMethodDesc("p.A", "f", "()V"));
    EXPECT_NE(a, Instrumenter::getMethodDesc("p/A", "f", "(I)V"));
    EXPECT_STREQ("p.A", a->getClassData()->getClassName());
    EXPECT_EQ(Instrumenter::getClassData("p/A"), a->getClassData());
    // the class session owns what the instrumenter makes
    std::vector<MethodDesc *> methods = classSession.getMethods();
    EXPECT_NE(methods.end(), std::find(methods.begin(), methods.end(), a));

    MethodDesc *sleep = Instrumenter::getMethodDesc("com/orvane/agent/LockManager", "__orvane_sleep", "(J)V");
    EXPECT_STREQ("java.lang.Thread", sleep->getClassData()->getClassName());
    EXPECT_STREQ("sleep", sleep->getMethodName());

    // a descriptor of another origin finds the instrumenter's record
    ClassData foreignClass("p.A", &classSession);
    MethodDesc foreign(&foreignClass, "f", -1, "()V", -1, &classSession, "p.A");
    EXPECT_EQ(a, Instrumenter::getInstrumenterMethodDesc(&foreign));
    ClassData lockManager("com.orvane.agent.LockManager", &classSession);
    MethodDesc redirected(&lockManager, "__orvane_sleep", -1, "(J)V", -1, &classSession, nullptr);
    EXPECT_EQ(sleep, Instrumenter::getInstrumenterMethodDesc(&redirected));
    MethodDesc unknown(&foreignClass, "g", -1, "()V", -1, &classSession, "p.A");
    EXPECT_EQ(nullptr, Instrumenter::getInstrumenterMethodDesc(&unknown));

    Instrumenter::registerComponentType("p.A", 7);
    EXPECT_EQ(7, Instrumenter::getClassData("p/A")->getComponentType());
    Instrumenter::registerDisplayName("p/A", "Shown");
    EXPECT_STREQ("Shown", Instrumenter::getClassData("p.A")->getDisplayName());
    size_t classes = classSession.getClasses().size();
    Instrumenter::registerComponentType("p.Unknown", 7);
    Instrumenter::registerDisplayName("p.Unknown", "X");
    EXPECT_EQ(classes, classSession.getClasses().size());
}

TEST_F(InstrumenterTest, FilteredCallTargetsFollowTheRules)
{
    struct Case {
        const char *cls;
        const char *name;
        bool filtered;
    } cases[] = {
        {"java/lang/String", "length", true},
        {"java/lang/Object", "<init>", false},
        {"java/lang/Object", "hashCode", true},
        {"java/lang/reflect/InvocationHandler", "invoke", false},
        {"java/lang/Helper", "__orvane_x", false},
        {"p/A", "f", false},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(std::string(k.cls) + "." + k.name);
        EXPECT_EQ(k.filtered, Instrumenter::isFilterInstrMethod(Instrumenter::getMethodDesc(k.cls, k.name, "()V")));
    }
}

TEST_F(InstrumenterTest, OldClassesAreRaisedToLoadClassConstants)
{
    struct Case {
        int version;
        int expected;
    } cases[] = {{45, 49}, {48, 49}, {49, 49}, {52, 52}, {61, 61}};
    for (const Case &k : cases) {
        SCOPED_TRACE(k.version);
        TestClass c("p/Old", k.version);
        Instrumenter::ensureClassConstantLoadable(c.cf);
        EXPECT_EQ(k.expected, c.cf->getMajorVersion());
    }
}

// Raw constant pools as JVMTI GetConstantPool returns them.
struct RawPool {
    int count = 1;
    Bytes bytes;

    int add(Bytes entry, int slots = 1)
    {
        int index = count;
        bytes.insert(bytes.end(), entry.begin(), entry.end());
        count += slots;
        return index;
    }
    int utf8(const std::string &s)
    {
        Bytes e = cat({{1}, u2(static_cast<int>(s.size()))});
        e.insert(e.end(), s.begin(), s.end());
        return add(e);
    }
};

TEST(InstrumenterConstantPoolTest, WalksEveryTagAndCountsLongAndDoubleTwice)
{
    struct Case {
        const char *name;
        const char *member;
        const char *descriptor;
        bool expected;
    } cases[] = {
        {"sleep", "sleep", "(J)V", true},
        {"park", "park", "(ZJ)V", true},
        {"other sleep", "sleep", "(JI)V", false},
        {"other name", "nap", "(J)V", false},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        RawPool p;
        // Every kind of entry before the NameAndType; a walker that counts a
        // Long or Double once, or does not know a tag, finds other names.
        p.add(cat({{3}, {0, 0, 0, 1}}));                 // Integer
        p.add(cat({{4}, {0, 0, 0, 1}}));                 // Float
        p.add(cat({{5}, {0, 0, 0, 0, 0, 0, 0, 1}}), 2);  // Long
        p.add(cat({{6}, {0, 0, 0, 0, 0, 0, 0, 1}}), 2);  // Double
        int text = p.utf8("text");
        p.add(cat({{7}, u2(text)}));                     // Class
        p.add(cat({{8}, u2(text)}));                     // String
        p.add(cat({{9}, u2(1), u2(1)}));                 // Fieldref
        p.add(cat({{10}, u2(1), u2(1)}));                // Methodref
        p.add(cat({{11}, u2(1), u2(1)}));                // InterfaceMethodref
        p.add(cat({{15}, {6}, u2(1)}));                  // MethodHandle
        p.add(cat({{16}, u2(text)}));                    // MethodType
        p.add(cat({{17}, u2(0), u2(1)}));                // Dynamic
        p.add(cat({{18}, u2(0), u2(1)}));                // InvokeDynamic
        p.add(cat({{19}, u2(text)}));                    // Module
        p.add(cat({{20}, u2(text)}));                    // Package
        p.add(cat({{5}, {0, 0, 0, 0, 0, 0, 0, 2}}), 2);  // Long
        int name = p.utf8(k.member);
        int desc = p.utf8(k.descriptor);
        p.add(cat({{12}, u2(name), u2(desc)}));
        // decoys at the indices a one-slot Long count would read
        p.utf8("sleep");
        p.utf8("(J)V");
        EXPECT_EQ(k.expected, Instrumenter::hasSleepNameAndTypeEntry(p.count, static_cast<int>(p.bytes.size()),
                                                                     p.bytes.data()));
    }
}

TEST(InstrumenterConstantPoolTest, NameAndTypeBeforeItsTextsAndOneSlotCountsDoNotMatch)
{
    // sleep/(J)V NameAndType pointing at texts that come after a Long: the
    // texts are at 4 and 5 only when the Long takes indices 2 and 3.
    RawPool p;
    p.add(cat({{12}, u2(4), u2(5)}));
    p.add(cat({{5}, {0, 0, 0, 0, 0, 0, 0, 0}}), 2);
    p.utf8("sleep");
    p.utf8("(J)V");
    EXPECT_TRUE(Instrumenter::hasSleepNameAndTypeEntry(p.count, static_cast<int>(p.bytes.size()), p.bytes.data()));

    RawPool q;
    q.add(cat({{12}, u2(3), u2(4)}));
    q.add(cat({{6}, {0, 0, 0, 0, 0, 0, 0, 0}}), 2);
    q.utf8("sleep");
    q.utf8("(J)V");
    EXPECT_FALSE(Instrumenter::hasSleepNameAndTypeEntry(q.count, static_cast<int>(q.bytes.size()), q.bytes.data()));
}

TEST(InstrumenterConstantPoolTest, BadPoolsAnswerFalseWithAMessage)
{
    struct Case {
        const char *name;
        Bytes bytes;
        int count;
        const char *message;
    } cases[] = {
        {"unknown tag 2", cat({{12}, u2(2), u2(3)}), 3, "invalid constant pool entry with unknown tag 2"},
        {"unknown tag 14", {14, 0, 0}, 2, "invalid constant pool entry with unknown tag 14"},
        {"truncated Utf8", {1, 0, 9, 's', 'l'}, 2, "constant pool ends before entry 1 of 2"},
        {"fewer entries than counted", {7, 0, 1}, 3, "constant pool ends before entry 2 of 3"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Bytes bytes = k.bytes;
        if (std::string(k.name) == "unknown tag 2")
            bytes = cat({bytes, {2, 0, 0}});
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        bool result = Instrumenter::hasSleepNameAndTypeEntry(k.count, static_cast<int>(bytes.size()), bytes.data());
        std::string out = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
        EXPECT_FALSE(result);
        EXPECT_NE(std::string::npos, out.find(k.message)) << out;
    }
    EXPECT_FALSE(Instrumenter::hasSleepNameAndTypeEntry(1, 0, nullptr));
}

} // namespace
