// Probe calls put into methods: the exact instruction sequences of entry,
// exits and the catch-all handler, the table of built-in and registered
// probes, and the rules that decide which tasks apply.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AnnotationInstrumentation.h"
#include "ClassProfilingSession.h"
#include "Instrumenter.h"
#include "InstrumenterTestSupport.h"
#include "MethodHandleTable.h"
#include "ProbeInstrumentation.h"
#include "ProfilingSession.h"
#include "SessionConfig.h"

using namespace Tessera;
using namespace instrtest;

namespace {

const char *const ENTER_INT = "invokestatic InstrumentationCallee.__orvane_annotationEnterMethod("
                              "ILjava/lang/Class;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/Object;I)V";
const char *const ENTER_OBJECTS = "invokestatic InstrumentationCallee.__orvane_annotationEnterMethod("
                                  "ILjava/lang/Class;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/Object;"
                                  "[Ljava/lang/Object;)V";
const char *const EXIT_INT = "invokestatic InstrumentationCallee.__orvane_annotationExitMethod("
                             "IILjava/lang/Class;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/Object;)V";
const char *const EXIT_OBJECT = "invokestatic InstrumentationCallee.__orvane_annotationExitMethod("
                                "Ljava/lang/Object;ILjava/lang/Class;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;"
                                "Ljava/lang/Object;)V";

// The six values every hook call passes after its first one.
Lines target(int id, const std::string &cls, const std::string &method, const std::string &descriptor, bool noThis)
{
    return {"sipush " + std::to_string(id), "ldc_w " + cls, "ldc_w \"" + cls + "\"", "ldc_w \"" + method + "\"",
            "ldc_w \"" + descriptor + "\"", noThis ? "aconst_null" : "aload_0"};
}

class ProbeInstrumentationTest : public testing::Test {
protected:
    void SetUp() override
    {
        AnnotationInstrumentation::reset();
        Instrumenter::initialize(&classSession, &session, &handles);
        Instrumenter::applyConfig(nullptr);
        Instrumenter::setReplaceNativeMethods(true);
    }
    void TearDown() override
    {
        AnnotationInstrumentation::reset();
        Instrumenter::initialize(nullptr, nullptr, nullptr);
    }

    void probe(TestClass &c, const char *name, int pass = 1, bool fromJava = false)
    {
        AnnotationInstrumentation::instrument(nullptr, c.cf, name, false, false, false, pass, fromJava);
    }

    ProfilingSession session;
    ClassProfilingSession classSession{&session};
    MethodHandleTable handles;
};

TEST_F(ProbeInstrumentationTest, FileInputStreamReadGetsTheIntExitAndTheHandler)
{
    const char *cls = "java/io/FileInputStream";
    TestClass c(cls, 52);
    MethodInfo *m = c.method("read", "()I", ACC_PUBLIC, {0x08, 0xAC}); // iconst_5, ireturn
    EXPECT_EQ(AnnotationInstrumentation::getAnnotationInstrType(c.cf, cls, false), 1);
    probe(c, cls);

    Lines t = target(-30, cls, "read", "()I", false);
    Lines expected = t + Lines{"iconst_0", ENTER_INT, "nop", "iconst_5", "dup"} + t + Lines{EXIT_INT, "ireturn", "dup"} + t +
                     Lines{EXIT_OBJECT, "athrow"};
    EXPECT_EQ(expected, disassemble(c.cf, m)) << join(disassemble(c.cf, m));

    // entry 0-19, nop 20, ..., the 21-byte handler at the end catches everything after the entry.
    const char *code = nullptr;
    int length = codeOf(m)->getCode(&code);
    std::vector<ExceptionTableEntry *> &table = codeOf(m)->getExceptionTable();
    ASSERT_EQ(table.size(), 1u);
    EXPECT_EQ(table[0]->getStartPc(), 20);
    EXPECT_EQ(table[0]->getEndPc(), length - 21);
    EXPECT_EQ(table[0]->getHandlerPc(), length - 21);
    EXPECT_EQ(table[0]->getCatchType(), c.cf->getThrowableClassIndex());
    EXPECT_EQ(static_cast<unsigned char>(code[length - 21]), 0x59); // dup
    EXPECT_EQ(static_cast<unsigned char>(code[length - 1]), 0xBF);  // athrow
    EXPECT_EQ(codeOf(m)->getMaxStack(), 15);
}

TEST_F(ProbeInstrumentationTest, TwoTasksPassAllArgumentsAsObjectArrayAndStaticPassesNull)
{
    AnnotationInstrumentation::addAnnotationMethod("p/B", "two", "(IJLjava/lang/String;)V", 5, 0, 1);
    AnnotationInstrumentation::addAnnotationMethod("p.B", "two", "(IJLjava/lang/String;)V", 6, 0, 1);
    TestClass c("p/B", 52);
    MethodInfo *m = c.method("two", "(IJLjava/lang/String;)V", ACC_PUBLIC | ACC_STATIC, {0xB1});
    probe(c, "p/B");

    auto entry = [](int id) {
        return target(id, "p/B", "two", "(IJLjava/lang/String;)V", true) +
               Lines{"bipush 3", "anewarray",
                     "dup", "bipush 0", "iload 0", "invokestatic PrimitiveWrapper15.__orvane_wrap(I)Ljava/lang/Integer;", "aastore",
                     "dup", "bipush 1", "lload 1", "invokestatic PrimitiveWrapper15.__orvane_wrap(J)Ljava/lang/Long;", "aastore",
                     "dup", "bipush 2", "aload 3", "aastore", ENTER_OBJECTS};
    };
    // The second id's rewrite wraps the first one's.
    Lines expectedStart = entry(6) + Lines{"nop"} + entry(5) + Lines{"nop"};
    Lines code = disassemble(c.cf, m);
    ASSERT_GE(code.size(), expectedStart.size()) << join(code);
    EXPECT_EQ(Lines(code.begin(), code.begin() + static_cast<long>(expectedStart.size())), expectedStart) << join(code);
    EXPECT_EQ(codeOf(m)->getExceptionTable().size(), 2u);
}

TEST_F(ProbeInstrumentationTest, CountsAndIndicesAbove127UseSipush)
{
    std::string descriptor = "(" + std::string(130, 'I') + ")V";
    AnnotationInstrumentation::addAnnotationMethod("p/Wide", "many", descriptor.c_str(), 9, 0, -2);
    TestClass c("p/Wide", 52);
    MethodInfo *m = c.method("many", descriptor.c_str(), ACC_PUBLIC | ACC_STATIC, {0xB1});
    probe(c, "p/Wide");
    Lines code = disassemble(c.cf, m);
    auto has = [&code](const std::string &line) { return std::find(code.begin(), code.end(), line) != code.end(); };
    EXPECT_TRUE(has("sipush 130")) << join(code);
    EXPECT_TRUE(has("bipush 127"));
    EXPECT_TRUE(has("sipush 128"));
    EXPECT_TRUE(has("sipush 129"));
    for (const std::string &line : code)
        EXPECT_NE(line.rfind("bipush -", 0), 0u) << line;
}

TEST_F(ProbeInstrumentationTest, IdsThatDoNotFitAShortAreRefused)
{
    for (int id : {32768, -32769, 70000}) {
        SCOPED_TRACE(id);
        TestClass c("p/C", 52);
        MethodInfo *m = c.method("run", "()V", ACC_PUBLIC, {0xB1});
        ProbeInstrumentation::Hooks hooks = ProbeInstrumentation::addHooks(c.cf);
        testing::internal::CaptureStdout();
        EXPECT_FALSE(ProbeInstrumentation::addProfilingHookToMethod(c.cf, m, codeOf(m), "p/C", id, hooks, -1));
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("does not fit a short"), std::string::npos) << out;
        EXPECT_EQ(disassemble(c.cf, m), Lines{"return"});
    }
    TestClass c("p/C", 52);
    MethodInfo *m = c.method("run", "()V", ACC_PUBLIC, {0xB1});
    EXPECT_TRUE(ProbeInstrumentation::addProfilingHookToMethod(c.cf, m, codeOf(m), "p/C", 32767, ProbeInstrumentation::addHooks(c.cf), -1));
    EXPECT_EQ(disassemble(c.cf, m)[0], "sipush 32767");
}

TEST_F(ProbeInstrumentationTest, Version48BecomesVersion49)
{
    AnnotationInstrumentation::addAnnotationMethod("p/Old", "run", "()V", 3, 0, -1);
    TestClass c("p/Old", 48);
    c.cf->setMinorVersion(3);
    c.method("run", "()V", ACC_PUBLIC, {0xB1});
    probe(c, "p/Old");
    EXPECT_EQ(c.cf->getMajorVersion(), 49);
    EXPECT_EQ(c.cf->getMinorVersion(), 0);

    // A newer class keeps its version.
    AnnotationInstrumentation::addAnnotationMethod("p/New", "run", "()V", 3, 0, -1);
    TestClass n("p/New", 52);
    n.method("run", "()V", ACC_PUBLIC, {0xB1});
    probe(n, "p/New");
    EXPECT_EQ(n.cf->getMajorVersion(), 52);
}

// The profiler-interface agent keeps class files below version 49 as they
// are: every hook call names the class through Class.forName (no Class
// constant), and primitives are boxed through util/PrimitiveWrapper.
TEST_F(ProbeInstrumentationTest, ProfilerInterfaceKeepsOldVersionsAndNamesTheClassByForName)
{
    AnnotationInstrumentation::Environment environment;
    environment.profilerInterface = true;
    AnnotationInstrumentation::setEnvironment(environment);
    // No built-in probes in this build: FileInputStream.read stays alone.
    TestClass file("java/io/FileInputStream", 48);
    file.method("read", "()I", ACC_PUBLIC, {0x08, 0xAC});
    EXPECT_EQ(AnnotationInstrumentation::getAnnotationInstrType(file.cf, "java/io/FileInputStream", false), 0);

    AnnotationInstrumentation::addAnnotationMethod("p/Old", "get", "(J)Z", 5, 0, -2);
    TestClass c("p/Old", 48);
    c.cf->setMinorVersion(3);
    MethodInfo *m = c.method("get", "(J)Z", ACC_PUBLIC | ACC_STATIC, {0x04, 0xAC}); // iconst_1, ireturn
    probe(c, "p/Old");
    EXPECT_EQ(c.cf->getMajorVersion(), 48);
    EXPECT_EQ(c.cf->getMinorVersion(), 3);

    const Lines byName = {"sipush 5",
                          "ldc_w \"p/Old\"",
                          "bipush 47",
                          "bipush 46",
                          "invokevirtual String.replace(CC)Ljava/lang/String;",
                          "invokestatic Class.forName(Ljava/lang/String;)Ljava/lang/Class;",
                          "ldc_w \"p/Old\"",
                          "ldc_w \"get\"",
                          "ldc_w \"(J)Z\"",
                          "aconst_null"};
    Lines expected = byName + Lines{"bipush 1",
                                    "anewarray",
                                    "dup",
                                    "bipush 0",
                                    "lload 0",
                                    "invokestatic PrimitiveWrapper.__orvane_wrap(J)Ljava/lang/Long;",
                                    "aastore",
                                    ENTER_OBJECTS,
                                    "nop",
                                    "iconst_1",
                                    "dup",
                                    "invokestatic PrimitiveWrapper.__orvane_wrap(Z)Ljava/lang/Boolean;"} +
                      byName + Lines{EXIT_OBJECT, "ireturn", "dup"} + byName + Lines{EXIT_OBJECT, "athrow"};
    EXPECT_EQ(expected, disassemble(c.cf, m)) << join(disassemble(c.cf, m));
    // The handler: dup, sipush, 13 bytes naming the class, three ldc_w,
    // aconst_null, invokestatic, athrow.
    const char *code = nullptr;
    int length = codeOf(m)->getCode(&code);
    std::vector<ExceptionTableEntry *> &table = codeOf(m)->getExceptionTable();
    ASSERT_EQ(table.size(), 1u);
    const int handlerLength = 1 + 3 + 13 + 9 + 1 + 3 + 1;
    EXPECT_EQ(table[0]->getHandlerPc(), length - handlerLength);
    EXPECT_EQ(static_cast<unsigned char>(code[length - handlerLength]), 0x59); // dup
}

TEST_F(ProbeInstrumentationTest, ConstructorsPassNullAndGetNoHandler)
{
    AnnotationInstrumentation::addAnnotationMethod("p/K", "<init>", "()V", 4, 0, -1);
    TestClass c("p/K", 52);
    int superInit = c.methodref("java/lang/Object", "<init>", "()V");
    MethodInfo *m = c.method("<init>", "()V", ACC_PUBLIC, cat({{0x2A, 0xB7}, u2(superInit), {0xB1}}));
    probe(c, "p/K");
    Lines t = target(4, "p/K", "<init>", "()V", true);
    Lines expected = t + Lines{"iconst_0", ENTER_INT, "nop", "aload_0", "invokespecial Object.<init>()V", "aconst_null"} + t +
                     Lines{EXIT_OBJECT, "return"};
    EXPECT_EQ(expected, disassemble(c.cf, m)) << join(disassemble(c.cf, m));
    EXPECT_TRUE(codeOf(m)->getExceptionTable().empty());
}

TEST_F(ProbeInstrumentationTest, ResultsAreBoxedOrPassedAsTheyAre)
{
    struct Case {
        const char *descriptor;
        Bytes code;
        Lines exitStart; // after the original value is on the stack
    } cases[] = {
        {"()J", {0x09, 0xAD}, {"lconst_0", "dup2", "invokestatic PrimitiveWrapper15.__orvane_wrap(J)Ljava/lang/Long;"}},
        {"()Z", {0x03, 0xAC}, {"iconst_0", "dup", "invokestatic PrimitiveWrapper15.__orvane_wrap(Z)Ljava/lang/Boolean;"}},
        {"()Ljava/lang/Object;", {0x01, 0xB0}, {"aconst_null", "dup"}},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.descriptor);
        AnnotationInstrumentation::reset();
        AnnotationInstrumentation::addAnnotationMethod("p/R", "get", k.descriptor, 8, 0, -1);
        TestClass c("p/R", 52);
        MethodInfo *m = c.method("get", k.descriptor, ACC_PUBLIC | ACC_STATIC, k.code);
        probe(c, "p/R");
        Lines code = disassemble(c.cf, m);
        // entry (6 + iconst_0 + invoke), nop, then the original value and the exit.
        ASSERT_GT(code.size(), 9 + k.exitStart.size()) << join(code);
        EXPECT_EQ(Lines(code.begin() + 9, code.begin() + 9 + static_cast<long>(k.exitStart.size())), k.exitStart) << join(code);
        EXPECT_EQ(code[9 + k.exitStart.size() + 6], EXIT_OBJECT) << join(code);
    }
}

TEST_F(ProbeInstrumentationTest, MethodWithoutBodyWarnsInFiveLines)
{
    Instrumenter::setReplaceNativeMethods(false);
    AnnotationInstrumentation::addAnnotationMethod("p/N", "nat", "()V", 11, 0, -1);
    TestClass c("p/N", 52);
    c.nativeMethod("nat", "()V", ACC_PUBLIC);
    testing::internal::CaptureStderr();
    probe(c, "p/N");
    std::string out = testing::internal::GetCapturedStderr();
    std::string stars = "*******************************************************************";
    EXPECT_EQ(out, "Orvane> " + stars + "\nOrvane> WARNING: p/N.nat\n"
                   "Orvane> could not be instrumented because it contains no method body.\n"
                   "Orvane> Triggers and probes are not available for this method.\nOrvane> " + stars + "\n");
}

TEST_F(ProbeInstrumentationTest, WhichTasksApply)
{
    typedef AnnotationInstrumentation::AnnotationTask Task;
    struct Case {
        const char *name;
        Task task;
        const char *cls;
        bool possible;
        bool fromJava;
        bool attached;
        bool ibm;
        bool enabled;
    } cases[] = {
        {"file kind applies when launched", {-10, 0, "java/io/FileInputStream", -2}, "java/io/FileInputStream", false, false, false, false, true},
        {"file kind never when attached", {-10, 0, "java/io/FileInputStream", -2}, "java/io/FileInputStream", false, false, true, false, false},
        {"file kind never when attached, even possible", {-10, 0, "", -2}, "p/A", true, false, true, false, false},
        {"file I/O kind never on IBM", {-30, 0, "java/io/FileInputStream", -1}, "java/io/FileInputStream", false, false, false, true, false},
        {"file I/O kind from Java needs its switch", {-30, 0, "java/io/FileInputStream", -1}, "java/io/FileInputStream", false, true, false, false, false},
        {"another class", {-10, 0, "java/io/FileInputStream", -2}, "java/io/FileOutputStream", false, false, false, false, false},
        {"substring pattern", {12, 8, "Servlet", -2}, "p/MyServletImpl", false, false, false, false, true},
        {"only from Java", {12, 0x10, "", -2}, "p/A", false, false, false, false, false},
        {"never from Java", {12, 0x20, "", -2}, "p/A", false, true, false, false, false},
        {"default probe skips the JDK", {-1, 0, "", -2}, "java/util/List", true, false, false, false, true},
        {"default probe skips the JDK unless possible", {-1, 0, "", -2}, "javax/swing/J", false, false, false, false, false},
        {"thread run needs its switch", {-9, 0, "java/lang/Thread", -2}, "java/lang/Thread", false, false, false, false, false},
        {"thread start is always on", {-31, 0, "java/lang/Thread", -2}, "java/lang/Thread", false, false, false, false, true},
        {"component kind follows component detection", {-4, 0, "", -2}, "p/A", false, false, false, false, true},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        AnnotationInstrumentation::reset();
        AnnotationInstrumentation::Environment env;
        env.attached = k.attached;
        env.ibmVm = k.ibm;
        AnnotationInstrumentation::setEnvironment(env);
        EXPECT_EQ(AnnotationInstrumentation::isEnabled(k.task, k.cls, k.possible, k.fromJava), k.enabled);
    }
    // Switching a kind on in the configuration enables it.
    SessionConfig config;
    config.probeSwitches[9] = 1;
    config.componentDetection = false;
    AnnotationInstrumentation::applyConfig(&config);
    EXPECT_TRUE(AnnotationInstrumentation::isEnabled({-9, 0, "java/lang/Thread", -2}, "java/lang/Thread", false, false));
    EXPECT_FALSE(AnnotationInstrumentation::isEnabled({-4, 0, "", -2}, "p/A", false, false));
}

TEST_F(ProbeInstrumentationTest, FileAndIoKindsCombineAndTwoIdsPassArrays)
{
    typedef AnnotationInstrumentation::AnnotationTask Task;
    struct Case {
        const char *name;
        std::vector<Task> tasks;
        std::vector<int> ids;
        int value;
    } cases[] = {
        {"io and file become file I/O", {{-12, 0, "", 1}, {-10, 0, "", 3}}, {-30}, 3},
        {"io alone", {{-12, 0, "", 1}}, {-12}, 1},
        {"file alone, appended last", {{-10, 0, "", 3}, {7, 0, "", 0}}, {7, -10}, -2},
        {"outer tasks wait for the outer pass", {{7, 2, "", 0}, {8, 0, "", 4}}, {8}, 4},
    };
    SessionConfig config;
    config.probeSwitches[12] = 1;
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        AnnotationInstrumentation::reset();
        AnnotationInstrumentation::applyConfig(&config);
        int value = 99;
        EXPECT_EQ(AnnotationInstrumentation::collectIds(k.tasks, "p/A", false, false, true, &value), k.ids);
        EXPECT_EQ(value, k.value);
    }
}

TEST_F(ProbeInstrumentationTest, RegisteredRowsWithoutNameOrDescriptorAreSkipped)
{
    std::vector<AnnotationInstrumentation::Row> rows = {
        {"p/A", "a", "()V", -1, 0}, {nullptr, "b", "(I)V", 0, 0}, {"p/A", nullptr, "()V", 0, 0}, {"p/A", "c", nullptr, 0, 0},
        {"p/A", "", "()V", 0, 0},
    };
    EXPECT_EQ(AnnotationInstrumentation::registerMethods(rows, 0), 0);
    EXPECT_EQ(AnnotationInstrumentation::getTasks("a", "()V"), nullptr);
    EXPECT_EQ(AnnotationInstrumentation::registerMethods(rows, 21), 2);
    ASSERT_NE(AnnotationInstrumentation::getTasks("a", "()V"), nullptr);
    EXPECT_EQ(AnnotationInstrumentation::getTasks("a", "()V")->at(0).id, 21);
    ASSERT_NE(AnnotationInstrumentation::getTasks("b", "(I)V"), nullptr);
    EXPECT_EQ(AnnotationInstrumentation::getTasks("b", "(I)V")->at(0).pattern, "");

    AnnotationInstrumentation::addAnnotationMethod("p/A", "a", "()V", -7, 0, -2);
    AnnotationInstrumentation::addAnnotationMethod("p/A", "a", "()V", -8, 2, -2);
    AnnotationInstrumentation::removeTriggerAndExceptionalMethods();
    ASSERT_EQ(AnnotationInstrumentation::getTasks("a", "()V")->size(), 1u);
    EXPECT_EQ(AnnotationInstrumentation::getTasks("a", "()V")->at(0).id, 21);
}

} // namespace
