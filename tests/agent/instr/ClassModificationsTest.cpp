// The class-level changes applied to the real classes of this machine's JDK 17
// and to compiled application classes, checked instruction by instruction.
#include <gtest/gtest.h>

#include "ClassModifications.h"
#include "ClassModificationsTestSupport.h"
#include "Instrumenter.h"
#include "bytecode/ByteCodeWriter.h"
#include "bytecode/CodeInsertion.h"
#include "structures/ConstantPoolUtil.h"
#include "structures/FieldInfo.h"

using namespace cmtest;
using namespace Tessera;

namespace {

const std::vector<std::string> JDK_CLASSES = {
    "java/lang/Object",
    "java/lang/String",
    "java/lang/Runnable",
    "java/util/concurrent/locks/LockSupport",
    "java/util/concurrent/locks/AbstractQueuedSynchronizer",
    "java/util/concurrent/locks/AbstractQueuedSynchronizer$ConditionObject",
    "java/util/concurrent/locks/AbstractQueuedLongSynchronizer",
    "java/util/concurrent/locks/AbstractQueuedLongSynchronizer$ConditionObject",
    "java/io/ObjectStreamClass",
    "java/lang/ClassLoader",
    "jdk/internal/loader/ClassLoaders$AppClassLoader",
    "jdk/internal/loader/BuiltinClassLoader",
    "java/lang/reflect/Array",
};

const char *const PARK_ENTER = "com/orvane/agent/LockManager.__orvane_parkEnter (Ljava/lang/Object;)V";
const char *const PARK_EXIT = "com/orvane/agent/LockManager.__orvane_parkExit (Ljava/lang/Object;)V";
const char *const PARK_CALL = "invokestatic java/util/concurrent/locks/LockSupport.park";
const char *const REGISTER_CLASS = "com/orvane/agent/InstrumentationCallee.__orvane_registerClass (Ljava/lang/Class;)V";

std::string attributeNames(CodeAttribute *c)
{
    std::string names;
    for (AttributeInfo *a : c->getAttributes())
        names += std::string(a->getName(), a->getNameLength()) + " ";
    return names;
}

// The raw body of a Code attribute's StackMapTable, empty when there is none.
std::vector<unsigned char> stackMapBody(CodeAttribute *c)
{
    AttributeInfo *a = c->findAttributeByName("StackMapTable");
    if (a == nullptr)
        return {};
    const unsigned char *b = reinterpret_cast<const unsigned char *>(a->getBody());
    return std::vector<unsigned char>(b, b + a->getAttributeLength());
}

int lineNumberCount(CodeAttribute *c)
{
    int n = 0;
    for (AttributeInfo *a : c->getAttributes())
        if (a->instanceOf(LineNumberTableAttribute::CLASS_NAME))
            n += static_cast<int>(static_cast<LineNumberTableAttribute *>(a)->getLineNumberTable().size());
    return n;
}

std::string signatureOf(MethodInfo *m)
{
    return std::string(m->getName(), m->getNameLength()) + std::string(m->getSignature(), m->getSignatureLength());
}

class ClassModificationsTest : public testing::Test {
protected:
    static std::string dir;
    static std::string why;

    static void SetUpTestSuite()
    {
        std::string key;
        for (const std::string &c : JDK_CLASSES)
            key += c + "\n";
        for (const auto &s : sampleSources())
            key += s.first + s.second;
        dir = sharedFixtureDir("classes", key,
                               [](const std::string &d) {
                                   std::string error = extractJavaBase(d + "/jdk", JDK_CLASSES);
                                   if (!error.empty())
                                       return error;
                                   return compileJava(d + "/src", sampleSources(), d + "/samples");
                               },
                               &why);
    }

    void SetUp() override
    {
        if (dir.empty()) {
            SKIP_WITHOUT_JDK17();
            FAIL() << "the fixture classes could not be made: " << why;
        }
    }

    // A JDK class by internal name, or a sample class by simple name.
    void load(LoadedClass &c, const std::string &name)
    {
        std::string path = name.find('/') != std::string::npos ? dir + "/jdk/classes/" + name + ".class"
                                                               : dir + "/samples/" + name + ".class";
        ASSERT_TRUE(c.loadFile(path)) << path;
    }
};

std::string ClassModificationsTest::dir;
std::string ClassModificationsTest::why;

// --- decisions that scan the constant pool -----------------------------------

// The intrinsic-candidate check of natives looks through the whole pool for
// the annotation's type: entries of other kinds are passed over in silence,
// and the class stays good to rewrite.
TEST_F(ClassModificationsTest, IntrinsicCandidateCheckIsQuietAndLeavesTheClassGood)
{
    LoadedClass array;
    load(array, "java/lang/reflect/Array");
    ASSERT_NE(array.cf->getConstantPoolEntry(1), nullptr);
    ASSERT_NE(array.cf->getConstantPoolEntry(1)->getTag(), CONSTANT_Utf8) << "the scan meets other kinds first";
    Instrumenter::setReplaceNativeMethods(true);
    struct Case {
        const char *method;
        bool wrapped;
    };
    // getLength is an intrinsic candidate; multiNewArray is a plain native.
    const Case cases[] = {{"getLength(Ljava/lang/Object;)I", false}, {"multiNewArray(Ljava/lang/Class;[I)Ljava/lang/Object;", true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.method);
        MethodInfo *method = nullptr;
        for (MethodInfo *m : array.cf->getMethods()) {
            if (signatureOf(m) == c.method)
                method = m;
        }
        ASSERT_NE(method, nullptr);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        bool wrapped = Instrumenter::isInstrumented(array.cf, method, false);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(wrapped, c.wrapped);
        EXPECT_FALSE(array.cf->hasError());
    }
}

// --- java/lang/Object, java/lang/String ---------------------------------------

TEST_F(ClassModificationsTest, ObjectConstructorBecomesTheAllocationCall)
{
    struct Case {
        const char *name;
        bool attached;
        std::vector<std::string> code;
        std::vector<unsigned char> frames;  // StackMapTable body, empty: none
    };
    const Case cases[] = {
        {"attached", true,
         {"aload_0", "invokestatic com/orvane/agent/InstrumentationCalleeSimple.registerAllocation (Ljava/lang/Object;)V",
          "return"},
         {}},
        {"at launch", false,
         {"getstatic java/lang/String.orvaneCallAgent Z", "ifeq @10", "aload_0",
          "invokestatic com/orvane/agent/InstrumentationCalleeSimple.registerAllocation (Ljava/lang/Object;)V",
          "return"},
         {0x00, 0x01, 0x0a}},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        LoadedClass object;
        load(object, "java/lang/Object");
        ASSERT_TRUE(ClassModifications::addObjectConstructor(object.cf, k.attached));
        ASSERT_TRUE(object.reload());
        CodeAttribute *c = code(method(object.cf, "<init>", "()V"));
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(joined(listing(object.cf, c)), joined(k.code));
        EXPECT_EQ(c->getMaxStack(), 1);
        EXPECT_EQ(c->getMaxLocals(), 1);
        EXPECT_TRUE(c->getExceptionTable().empty());
        EXPECT_EQ(stackMapBody(c), k.frames) << attributeNames(c);
        EXPECT_EQ(c->findAttributeByName("StackMapTable") != nullptr, !k.frames.empty());
        // Literal bytes of the attached form: aload_0, invokestatic #n, return.
        if (k.attached) {
            int hook = Instrumenter::addHookMethodref(object.cf, Instrumenter::HOOK_REGISTER_ALLOCATION);
            std::vector<unsigned char> expected = {0x2a, 0xb8, static_cast<unsigned char>(hook >> 8),
                                                   static_cast<unsigned char>(hook), 0xb1};
            EXPECT_EQ(codeBytes(c), expected);
        }
        // The other methods keep their code.
        LoadedClass original;
        load(original, "java/lang/Object");
        CodeAttribute *equalsBefore = code(method(original.cf, "equals", "(Ljava/lang/Object;)Z"));
        CodeAttribute *equalsAfter = code(method(object.cf, "equals", "(Ljava/lang/Object;)Z"));
        EXPECT_EQ(codeBytes(equalsAfter), codeBytes(equalsBefore));
    }
}

TEST_F(ClassModificationsTest, StringGetsTheStaticTransientSwitchOnce)
{
    LoadedClass string;
    load(string, "java/lang/String");
    size_t fields = string.cf->getFields().size();
    ASSERT_TRUE(ClassModifications::addCallAgentField(string.cf));
    EXPECT_FALSE(ClassModifications::addCallAgentField(string.cf));
    ASSERT_TRUE(string.reload());
    ASSERT_EQ(string.cf->getFields().size(), fields + 1);
    FieldInfo *added = string.cf->getFields().back();
    EXPECT_EQ(std::string(added->getName(), added->getNameLength()), "orvaneCallAgent");
    EXPECT_EQ(std::string(added->getSignature(), added->getSignatureLength()), "Z");
    EXPECT_EQ(added->getAccessFlags(), 0x88);
    EXPECT_TRUE(added->getAttributes().empty());
}

// --- java/io/ObjectStreamClass ------------------------------------------------

TEST_F(ClassModificationsTest, ComputeDefaultSuidIsReplacedWithNothingOfTheOldBodyLeft)
{
    LoadedClass osc;
    load(osc, "java/io/ObjectStreamClass");
    LoadedClass original;
    load(original, "java/io/ObjectStreamClass");
    CodeAttribute *before = code(method(original.cf, "computeDefaultSUID", "(Ljava/lang/Class;)J"));
    ASSERT_NE(before, nullptr);
    ASSERT_FALSE(before->getExceptionTable().empty()) << "the JDK's method should have handlers to drop";
    ASSERT_NE(before->findAttributeByName("StackMapTable"), nullptr);

    ASSERT_TRUE(ClassModifications::instrumentObjectStreamClass(osc.cf));
    ASSERT_TRUE(osc.reload());
    CodeAttribute *c = code(method(osc.cf, "computeDefaultSUID", "(Ljava/lang/Class;)J"));
    EXPECT_EQ(joined(listing(osc.cf, c)),
              joined({"aload_0",
                      "invokestatic com/orvane/agent/InstrumentationCallee.__orvane_computeDefaultSUID "
                      "(Ljava/lang/Class;)J",
                      "lreturn"}));
    EXPECT_EQ(c->getMaxStack(), 2);
    EXPECT_EQ(c->getMaxLocals(), 1);
    EXPECT_TRUE(c->getExceptionTable().empty());
    EXPECT_EQ(lineNumberCount(c), 0);
    // Frames and local-variable ranges of the old body would point past the new code.
    EXPECT_EQ(c->findAttributeByName("StackMapTable"), nullptr);
    EXPECT_EQ(c->findAttributeByName("LocalVariableTable"), nullptr);
    EXPECT_EQ(c->findAttributeByName("LocalVariableTypeTable"), nullptr);

    for (MethodInfo *m : original.cf->getMethods()) {
        std::string name(m->getName(), m->getNameLength());
        if (name == "computeDefaultSUID" || code(m) == nullptr)
            continue;
        std::string descriptor(m->getSignature(), m->getSignatureLength());
        EXPECT_EQ(codeBytes(code(method(osc.cf, name, descriptor))), codeBytes(code(m))) << name << descriptor;
    }
}

TEST_F(ClassModificationsTest, MissingMethodsAreReportedAndTheClassStaysAsItWas)
{
    struct Case {
        const char *name;
        std::function<bool(ClassFile *)> change;
        const char *message;
    };
    const Case cases[] = {
        {"Object constructor", [](ClassFile *cf) { return ClassModifications::addObjectConstructor(cf, false); },
         "Orvane> ERROR: no constructor found in java.lang.Object\n"},
        {"computeDefaultSUID", [](ClassFile *cf) { return ClassModifications::instrumentObjectStreamClass(cf); },
         "Orvane> ERROR: no method computeDefaultSUID found in java.io.ObjectStreamClass\n"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        LoadedClass runnable;
        load(runnable, "java/lang/Runnable");
        std::vector<unsigned char> before = runnable.write();
        testing::internal::CaptureStderr();
        EXPECT_FALSE(k.change(runnable.cf));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), k.message);
        EXPECT_EQ(runnable.write(), before);
    }
}

// --- java/util/concurrent/locks/LockSupport -----------------------------------

struct ParkMethod {
    const char *name;
    const char *descriptor;
    const char *blocker;
};

const ParkMethod PARK_METHODS[] = {
    {"park", "(Ljava/lang/Object;)V", "aload_0"},       {"parkNanos", "(Ljava/lang/Object;J)V", "aload_0"},
    {"parkUntil", "(Ljava/lang/Object;J)V", "aload_0"}, {"park", "()V", "aconst_null"},
    {"parkNanos", "(J)V", "aconst_null"},               {"parkUntil", "(J)V", "aconst_null"},
};

TEST_F(ClassModificationsTest, EveryLockSupportParkPathThatEntersExits)
{
    LoadedClass lockSupport;
    load(lockSupport, "java/util/concurrent/locks/LockSupport");
    LoadedClass original;
    load(original, "java/util/concurrent/locks/LockSupport");
    EXPECT_EQ(ClassModifications::instrumentLockSupport(lockSupport.cf), 6);
    ASSERT_TRUE(lockSupport.reload());

    for (const ParkMethod &p : PARK_METHODS) {
        SCOPED_TRACE(std::string(p.name) + p.descriptor);
        CodeAttribute *c = code(method(lockSupport.cf, p.name, p.descriptor));
        CodeAttribute *old = code(method(original.cf, p.name, p.descriptor));
        ASSERT_NE(c, nullptr);
        std::vector<std::string> lines = listing(lockSupport.cf, c);
        ASSERT_GE(lines.size(), 5u);
        EXPECT_EQ(lines[0], p.blocker);
        EXPECT_EQ(lines[1], std::string("invokestatic ") + PARK_ENTER);
        EXPECT_EQ(lines[lines.size() - 3], p.blocker);
        EXPECT_EQ(lines[lines.size() - 2], std::string("invokestatic ") + PARK_EXIT);
        EXPECT_EQ(lines[lines.size() - 1], "athrow");
        for (size_t k = 0; k < lines.size(); k++)
            if (lines[k] == "return") {
                ASSERT_GE(k, 2u);
                EXPECT_EQ(lines[k - 2], p.blocker) << k;
                EXPECT_EQ(lines[k - 1], std::string("invokestatic ") + PARK_EXIT) << k;
            }
        // The catch-all handler covers everything after the entry hook.
        ASSERT_EQ(c->getExceptionTable().size(), old->getExceptionTable().size() + 1);
        ExceptionTableEntry *e = c->getExceptionTable().back();
        int handler = static_cast<int>(codeBytes(c).size()) - 5;
        EXPECT_EQ(e->getStartPc(), 4);
        EXPECT_EQ(e->getEndPc(), handler);
        EXPECT_EQ(e->getHandlerPc(), handler);
        EXPECT_EQ(classAt(lockSupport.cf, e->getCatchType()), "java/lang/Throwable");
        EXPECT_EQ(c->getMaxStack(), std::max(old->getMaxStack() + 1, 2));
        EXPECT_EQ(c->getMaxLocals(), old->getMaxLocals());

        EXPECT_EQ(joined(unbalancedExits(lockSupport.cf, c, PARK_ENTER, PARK_EXIT)), "");
    }
    for (MethodInfo *m : original.cf->getMethods()) {
        std::string name(m->getName(), m->getNameLength());
        if (name.compare(0, 4, "park") == 0 || code(m) == nullptr)
            continue;
        std::string descriptor(m->getSignature(), m->getSignatureLength());
        EXPECT_EQ(codeBytes(code(method(lockSupport.cf, name, descriptor))), codeBytes(code(m))) << name;
    }
}

TEST_F(ClassModificationsTest, ParkNanosWithoutBlockerExactCode)
{
    LoadedClass lockSupport;
    load(lockSupport, "java/util/concurrent/locks/LockSupport");
    ClassModifications::instrumentLockSupport(lockSupport.cf);
    ASSERT_TRUE(lockSupport.reload());
    CodeAttribute *c = code(method(lockSupport.cf, "parkNanos", "(J)V"));
    // JDK 17: if (nanos > 0) U.park(false, nanos); the nanos <= 0 branch jumps
    // to the exit hook in front of the return.
    EXPECT_EQ(joined(listing(lockSupport.cf, c, true)),
              joined({"0: aconst_null", std::string("1: invokestatic ") + PARK_ENTER, "4: lload_0", "5: lconst_0",
                      "6: lcmp", "7: ifle @18",
                      "10: getstatic java/util/concurrent/locks/LockSupport.U Ljdk/internal/misc/Unsafe;",
                      "13: iconst_0", "14: lload_0", "15: invokevirtual jdk/internal/misc/Unsafe.park (ZJ)V",
                      "18: aconst_null", std::string("19: invokestatic ") + PARK_EXIT, "22: return",
                      "23: aconst_null", std::string("24: invokestatic ") + PARK_EXIT, "27: athrow"}));
}

// The same hooks placed only in front of the last instruction, with jumps to
// that instruction skipping them: the nanos <= 0 branch of JDK 17 leaves the
// method without the exit hook. The path walk must see that.
TEST_F(ClassModificationsTest, PathWalkCatchesAnExitHookThatTheShortBranchSkips)
{
    LoadedClass lockSupport;
    load(lockSupport, "java/util/concurrent/locks/LockSupport");
    MethodInfo *m = method(lockSupport.cf, "parkNanos", "(J)V");
    CodeAttribute *c = code(m);
    int enter = Instrumenter::addHookMethodref(lockSupport.cf, Instrumenter::HOOK_PARK_ENTER);
    int exit = Instrumenter::addHookMethodref(lockSupport.cf, Instrumenter::HOOK_PARK_EXIT);
    const char *bytes;
    int length = c->getCode(&bytes);
    std::vector<AbstractInstruction *> *old = ByteCodeReader::readByteCode(bytes, length);
    ASSERT_NE(old, nullptr);
    auto hook = [](int ref) {
        std::vector<AbstractInstruction *> *v = instructionVectorPool.getInstance(false);
        v->push_back(SimpleInstruction::getInstance(1));
        v->push_back(ImmediateShortInstruction::getInstance(184, ref));
        return v;
    };
    std::vector<CodeInsertion *> *insertions = codeInsertionVectorPool.getInstance(false);
    insertions->push_back(CodeInsertion::getInstance(0, hook(enter), nullptr, false));
    insertions->push_back(CodeInsertion::getInstance(static_cast<int>(old->size()) - 1, hook(exit), nullptr, false));
    int error = 0;
    std::vector<AbstractInstruction *> *result = CodeInsertion::apply(old, insertions, c, m, 0, -1, &error);
    ASSERT_NE(result, nullptr) << error;
    for (CodeInsertion *i : *insertions)
        i->freeInstance();
    codeInsertionVectorPool.freeInstance(insertions);
    longInstructionVectorPool.freeInstance(old);
    char *newCode = nullptr;
    int newLength = ByteCodeWriter::writeByteCode(&newCode, result);
    ByteCodeReader::freeInstructions(result);
    c->setCode(newCode, newLength);

    std::vector<std::string> problems = unbalancedExits(lockSupport.cf, c, PARK_ENTER, PARK_EXIT);
    EXPECT_NE(std::find(problems.begin(), problems.end(), "return at pc 22 with balance 1"), problems.end())
        << joined(problems);
}

// A blocker argument that the method overwrites cannot be handed to the exit
// hook: that method is left alone, with a warning, and the others are changed.
TEST_F(ClassModificationsTest, ParkMethodsThatOverwriteTheirBlockerAreLeftAlone)
{
    LoadedClass fake;
    load(fake, "FakeLocks");
    LoadedClass original;
    load(original, "FakeLocks");
    testing::internal::CaptureStderr();
    EXPECT_EQ(ClassModifications::instrumentLockSupport(fake.cf), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Orvane> WARNING: FakeLocks.park(Ljava/lang/Object;)V writes its blocker argument and is not "
              "instrumented.\n");
    ASSERT_TRUE(fake.reload());
    EXPECT_EQ(codeBytes(code(method(fake.cf, "park", "(Ljava/lang/Object;)V"))),
              codeBytes(code(method(original.cf, "park", "(Ljava/lang/Object;)V"))));
    CodeAttribute *nanos = code(method(fake.cf, "parkNanos", "(J)V"));
    EXPECT_EQ(listing(fake.cf, nanos)[1], std::string("invokestatic ") + PARK_ENTER);
    EXPECT_EQ(joined(unbalancedExits(fake.cf, nanos, PARK_ENTER, PARK_EXIT)), "");
}

// --- AbstractQueued* before JVMTI 1.1 ------------------------------------------

TEST_F(ClassModificationsTest, AbstractQueuedParkCallsAreWrappedWithThis)
{
    const char *const classes[] = {
        "java/util/concurrent/locks/AbstractQueuedSynchronizer",
        "java/util/concurrent/locks/AbstractQueuedSynchronizer$ConditionObject",
        "java/util/concurrent/locks/AbstractQueuedLongSynchronizer",
        "java/util/concurrent/locks/AbstractQueuedLongSynchronizer$ConditionObject",
    };
    for (const char *name : classes) {
        SCOPED_TRACE(name);
        LoadedClass cls;
        load(cls, name);
        LoadedClass original;
        load(original, name);
        int changed = ClassModifications::instrumentLocking(name, cls.cf);
        ASSERT_TRUE(cls.reload());
        int parkCalls = 0, methodsWithParks = 0, wrapped = 0;
        for (MethodInfo *m : original.cf->getMethods()) {
            if (code(m) == nullptr)
                continue;
            std::string name(m->getName(), m->getNameLength());
            std::string descriptor(m->getSignature(), m->getSignatureLength());
            SCOPED_TRACE(name + descriptor);
            CodeAttribute *before = code(m);
            CodeAttribute *after = code(method(cls.cf, name, descriptor));
            int calls = 0;
            for (const std::string &l : listing(original.cf, before))
                if (l.rfind(PARK_CALL, 0) == 0)
                    calls++;
            bool isStatic = (m->getAccessFlags() & 0x0008) != 0;
            if (calls == 0 || isStatic) {
                EXPECT_EQ(codeBytes(after), codeBytes(before));
                continue;
            }
            parkCalls += calls;
            methodsWithParks++;
            std::vector<std::string> lines = listing(cls.cf, after);
            for (size_t k = 0; k < lines.size(); k++) {
                if (lines[k].rfind(PARK_CALL, 0) != 0)
                    continue;
                ASSERT_TRUE(k >= 2 && k + 2 < lines.size());
                EXPECT_EQ(lines[k - 2], "aload_0");
                EXPECT_EQ(lines[k - 1], std::string("invokestatic ") + PARK_ENTER);
                EXPECT_EQ(lines[k + 1], "aload_0");
                EXPECT_EQ(lines[k + 2], std::string("invokestatic ") + PARK_EXIT);
                wrapped++;
            }
            EXPECT_EQ(after->getMaxStack(), before->getMaxStack() + 1);
        }
        EXPECT_GT(parkCalls, 0);
        EXPECT_EQ(wrapped, parkCalls);
        EXPECT_EQ(changed, methodsWithParks);
    }
}

// Only instance methods whose this is initialised get the park hooks: static
// methods and constructors keep their code.
TEST_F(ClassModificationsTest, AbstractQueuedHooksStayOutOfStaticMethodsAndConstructors)
{
    LoadedClass fake;
    load(fake, "FakeLocks");
    LoadedClass original;
    load(original, "FakeLocks");
    EXPECT_EQ(ClassModifications::instrumentLocking("FakeLocks", fake.cf), 1);
    ASSERT_TRUE(fake.reload());
    struct Case {
        const char *name;
        const char *descriptor;
        bool changed;
    };
    const Case cases[] = {
        {"<init>", "()V", false},
        {"waitHere", "()V", true},
        {"park", "(Ljava/lang/Object;)V", false},
        {"parkNanos", "(J)V", false},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(std::string(k.name) + k.descriptor);
        std::vector<unsigned char> before = codeBytes(code(method(original.cf, k.name, k.descriptor)));
        std::vector<unsigned char> after = codeBytes(code(method(fake.cf, k.name, k.descriptor)));
        EXPECT_EQ(after != before, k.changed);
    }
}

// --- loadClass -----------------------------------------------------------------

TEST_F(ClassModificationsTest, InstanceLoadClassMethodsAskTheAgentFirst)
{
    struct Case {
        const char *cls;
        int changed;
    };
    const Case cases[] = {
        {"java/lang/ClassLoader", 2},
        {"jdk/internal/loader/ClassLoaders$AppClassLoader", 1},
        {"jdk/internal/loader/BuiltinClassLoader", 1},
        {"LoopLoader", 2},
        {"StaticLoad", 0},
    };
    const std::vector<std::string> prefix = {
        "aload_0",
        "aload_1",
        "invokestatic com/orvane/agent/InstrumentationCalleeSimple.__orvane_useSystemClassLoader "
        "(Ljava/lang/Object;Ljava/lang/String;)Z",
        "ifeq @13",
        "aload_1",
        "invokestatic com/orvane/agent/InstrumentationCalleeSimple.__orvane_loadClass "
        "(Ljava/lang/String;)Ljava/lang/Class;",
        "areturn",
    };
    bool sawFrameAtZero = false;
    for (const Case &k : cases) {
        SCOPED_TRACE(k.cls);
        LoadedClass cls;
        load(cls, k.cls);
        LoadedClass original;
        load(original, k.cls);
        EXPECT_EQ(ClassModifications::instrumentLoadClass(cls.cf), k.changed);
        ASSERT_TRUE(cls.reload());
        for (MethodInfo *m : original.cf->getMethods()) {
            std::string name(m->getName(), m->getNameLength());
            std::string descriptor(m->getSignature(), m->getSignatureLength());
            if (code(m) == nullptr)
                continue;
            SCOPED_TRACE(name + descriptor);
            CodeAttribute *before = code(m);
            CodeAttribute *after = code(method(cls.cf, name, descriptor));
            bool hooked = name == "loadClass" && (m->getAccessFlags() & 0x0008) == 0 &&
                          (descriptor == "(Ljava/lang/String;)Ljava/lang/Class;" ||
                           descriptor == "(Ljava/lang/String;Z)Ljava/lang/Class;");
            if (!hooked) {
                EXPECT_EQ(codeBytes(after), codeBytes(before));
                continue;
            }
            std::vector<std::string> lines = listing(cls.cf, after);
            std::vector<std::string> oldLines = listing(original.cf, before);
            ASSERT_EQ(lines.size(), oldLines.size() + prefix.size());
            EXPECT_EQ(joined(std::vector<std::string>(lines.begin(), lines.begin() + prefix.size())), joined(prefix));
            EXPECT_EQ(after->getMaxStack(), std::max(before->getMaxStack(), 2));
            // The old first instruction, now at 13, is a jump target with a frame.
            std::vector<unsigned char> oldFrames = stackMapBody(before);
            std::vector<unsigned char> frames = stackMapBody(after);
            ASSERT_GE(frames.size(), 3u);
            int oldCount = oldFrames.empty() ? 0 : (oldFrames[0] << 8 | oldFrames[1]);
            bool oldFrameAtZero = oldCount > 0 && (oldFrames[2] == 0 || oldFrames[2] == 64 ||
                                                   (oldFrames[2] >= 247 && oldFrames[3] == 0 && oldFrames[4] == 0));
            sawFrameAtZero = sawFrameAtZero || oldFrameAtZero;
            EXPECT_EQ(frames[0] << 8 | frames[1], oldCount + (oldFrameAtZero ? 0 : 1));
            if (!oldFrameAtZero)
                EXPECT_EQ(frames[2], 13) << "a same_frame at offset 13";
            else
                EXPECT_EQ(frames[2], oldFrames[2] == 0 ? 13 : oldFrames[2]);
        }
    }
    EXPECT_TRUE(sawFrameAtZero) << "LoopLoader should start with a loop head that has a frame at pc 0";
}

// A method that the splice cannot take (here: code that would pass 65,000
// bytes) keeps its code, tables and max_stack; a warning names it and the
// class's other loadClass method is still changed.
TEST_F(ClassModificationsTest, AMethodThatCannotTakeTheHookStaysAsItWas)
{
    LoadedClass loader;
    load(loader, "LoopLoader");
    MethodInfo *big = method(loader.cf, "loadClass", "(Ljava/lang/String;)Ljava/lang/Class;");
    CodeAttribute *c = code(big);
    // 64,990 nops, aconst_null, areturn: 64,992 bytes, 13 more would be too many.
    const int length = 64992;
    char *bytes = new char[length]();
    bytes[length - 2] = 1;
    bytes[length - 1] = static_cast<char>(176);
    c->setCode(bytes, length);
    for (ExceptionTableEntry *e : c->getExceptionTable())
        e->freeInstance();
    c->getExceptionTable().clear();
    for (const char *table : {"StackMapTable", "LineNumberTable", "LocalVariableTable", "LocalVariableTypeTable"})
        c->removeAttributeWithName(table);
    c->setMaxStack(7);

    testing::internal::CaptureStderr();
    EXPECT_EQ(ClassModifications::instrumentLoadClass(loader.cf), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Orvane> WARNING: LoopLoader.loadClass(Ljava/lang/String;)Ljava/lang/Class; could not be instrumented "
              "(error 1).\n");
    ASSERT_TRUE(loader.reload());
    CodeAttribute *after = code(method(loader.cf, "loadClass", "(Ljava/lang/String;)Ljava/lang/Class;"));
    std::vector<unsigned char> expected(length, 0);
    expected[length - 2] = 1;
    expected[length - 1] = 176;
    EXPECT_EQ(codeBytes(after), expected);
    EXPECT_EQ(after->getMaxStack(), 7);
    EXPECT_EQ(after->findAttributeByName("StackMapTable"), nullptr);
    CodeAttribute *other = code(method(loader.cf, "loadClass", "(Ljava/lang/String;Z)Ljava/lang/Class;"));
    EXPECT_EQ(listing(loader.cf, other)[3], "ifeq @13");
}

// --- component registration ------------------------------------------------------

TEST_F(ClassModificationsTest, ConstructorsRegisterRightAfterTheirThisOrSuperCall)
{
    struct Case {
        const char *descriptor;
        const char *call;  // the this(...)/super(...) call the hook follows
    };
    const Case cases[] = {
        {"()V", "invokespecial Comp.<init> (I)V"},
        {"(I)V", "invokespecial Base.<init> (LBase;)V"},
        {"(Ljava/lang/String;)V", "invokespecial Base.<init> ()V"},
        {"(Z)V", "invokespecial Base.<init> (LBase;)V"},
    };
    LoadedClass comp;
    load(comp, "Comp");
    LoadedClass original;
    load(original, "Comp");
    EXPECT_EQ(ClassModifications::addRegisterClassHook("Comp", comp.cf), 4);
    ASSERT_TRUE(comp.reload());
    const std::vector<std::string> hook = {"aload_0", "invokevirtual java/lang/Object.getClass ()Ljava/lang/Class;",
                                           std::string("invokestatic ") + REGISTER_CLASS};
    for (const Case &k : cases) {
        SCOPED_TRACE(k.descriptor);
        std::vector<std::string> before = listing(original.cf, code(method(original.cf, "<init>", k.descriptor)));
        std::vector<std::string> after = listing(comp.cf, code(method(comp.cf, "<init>", k.descriptor)));
        // In Comp(I)V and Comp(Z)V an earlier Base.<init> call initialises the
        // argument, not this: the hook must not follow that one.
        size_t call = std::find(before.begin(), before.end(), k.call) - before.begin();
        ASSERT_LT(call, before.size());
        std::vector<std::string> expected(before.begin(), before.begin() + call + 1);
        expected.insert(expected.end(), hook.begin(), hook.end());
        expected.insert(expected.end(), before.begin() + call + 1, before.end());
        EXPECT_EQ(joined(after), joined(expected));
        EXPECT_EQ(code(method(comp.cf, "<init>", k.descriptor))->getMaxStack(),
                  code(method(original.cf, "<init>", k.descriptor))->getMaxStack() + 1);
    }
}

TEST_F(ClassModificationsTest, ProxyClassesRegisterFromTheirStaticInitialiser)
{
    const std::vector<std::string> registration = {
        "ldc_w \"$Proxy7\"", "bipush 47", "bipush 46",
        "invokevirtual java/lang/String.replace (CC)Ljava/lang/String;",
        "invokestatic java/lang/Class.forName (Ljava/lang/String;)Ljava/lang/Class;",
        std::string("invokestatic ") + REGISTER_CLASS,
    };
    // Without a static initialiser: a new one.
    LoadedClass p7;
    load(p7, "$Proxy7");
    ASSERT_EQ(method(p7.cf, "<clinit>", "()V"), nullptr);
    size_t methods = p7.cf->getMethods().size();
    ASSERT_TRUE(ClassModifications::addRegisterClassHookToClinit("$Proxy7", p7.cf));
    ASSERT_TRUE(p7.reload());
    ASSERT_EQ(p7.cf->getMethods().size(), methods + 1);
    MethodInfo *clinit = p7.cf->getMethods().back();
    EXPECT_EQ(signatureOf(clinit), "<clinit>()V");
    EXPECT_EQ(clinit->getAccessFlags(), 0x18);
    std::vector<std::string> expected = registration;
    expected.push_back("return");
    EXPECT_EQ(joined(listing(p7.cf, code(clinit))), joined(expected));
    EXPECT_EQ(code(clinit)->getMaxStack(), 4);
    EXPECT_EQ(code(clinit)->getMaxLocals(), 0);

    // With one: the registration comes first, the old code follows.
    LoadedClass p8;
    load(p8, "$Proxy8");
    LoadedClass original;
    load(original, "$Proxy8");
    ASSERT_TRUE(ClassModifications::addRegisterClassHookToClinit("$Proxy8", p8.cf));
    ASSERT_TRUE(p8.reload());
    EXPECT_EQ(p8.cf->getMethods().size(), original.cf->getMethods().size());
    CodeAttribute *before = code(method(original.cf, "<clinit>", "()V"));
    CodeAttribute *after = code(method(p8.cf, "<clinit>", "()V"));
    expected = registration;
    expected[0] = "ldc_w \"$Proxy8\"";
    std::vector<std::string> old = listing(original.cf, before);
    expected.insert(expected.end(), old.begin(), old.end());
    EXPECT_EQ(joined(listing(p8.cf, after)), joined(expected));
    EXPECT_EQ(after->getMaxStack(), std::max(before->getMaxStack(), 4));
}

// --- the main class (profiler-interface agent) -----------------------------------

TEST_F(ClassModificationsTest, MainClassInitialiserAndMainAreFronted)
{
    struct Case {
        const char *cls;
        bool hadClinit;
    };
    const Case cases[] = {{"MainApp", true}, {"MainPlain", false}};
    for (const Case &k : cases) {
        SCOPED_TRACE(k.cls);
        LoadedClass main;
        load(main, k.cls);
        LoadedClass original;
        load(original, k.cls);
        ASSERT_TRUE(ClassModifications::mainClassModifications(k.cls, main.cf));
        int executeMain = ConstantPoolUtil::addConstantMethodrefInfo(main.cf, "Exec", "executeMain",
                                                                     "(Ljava/lang/Class;[Ljava/lang/String;)Z");
        ASSERT_TRUE(ClassModifications::modifyMainClassMain(main.cf, executeMain));
        ASSERT_TRUE(main.reload());

        std::vector<std::string> clinit = listing(main.cf, code(method(main.cf, "<clinit>", "()V")));
        ASSERT_GE(clinit.size(), 3u);
        EXPECT_EQ(clinit[0], "ldc_w \"" + std::string(k.cls) + "\"");
        EXPECT_EQ(clinit[1], "invokestatic com/orvane/agent/Agent.initFromMainClass (Ljava/lang/String;)V");
        EXPECT_EQ(clinit.size() == 3, !k.hadClinit);

        CodeAttribute *before = code(method(original.cf, "main", "([Ljava/lang/String;)V"));
        CodeAttribute *after = code(method(main.cf, "main", "([Ljava/lang/String;)V"));
        std::vector<std::string> expected = {
            "0: ldc_w \"" + std::string(k.cls) + "\"", "3: bipush 47", "5: bipush 46",
            "7: invokevirtual java/lang/String.replace (CC)Ljava/lang/String;",
            "10: invokestatic java/lang/Class.forName (Ljava/lang/String;)Ljava/lang/Class;", "13: aload_0",
            "14: invokestatic Exec.executeMain (Ljava/lang/Class;[Ljava/lang/String;)Z", "17: ifne @21", "20: return"};
        std::vector<std::string> lines = listing(main.cf, after, true);
        ASSERT_GT(lines.size(), expected.size());
        EXPECT_EQ(joined(std::vector<std::string>(lines.begin(), lines.begin() + expected.size())), joined(expected));
        EXPECT_EQ(after->getMaxStack(), std::max(before->getMaxStack(), 5));
        std::vector<unsigned char> frames = stackMapBody(after);
        ASSERT_GE(frames.size(), 3u);
        EXPECT_EQ(frames[2], 21) << "the jump target after the prefix has a frame";
    }
}

} // namespace
