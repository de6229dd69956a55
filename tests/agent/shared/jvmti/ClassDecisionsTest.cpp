// The decisions about loading and loaded classes: which classes are rewritten
// (on real class bytes), the load information of command 77, the saved class
// files and the configuration update with its retransformation batches.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "CharVectorDataWriter.h"
#include "ClassData.h"
#include "ClassDecisions.h"
#include "ClassDecisionsObjectHook.h"
#include "ClassDecisionsVm.h"
#include "ClassProfilingSession.h"
#include "Instrumenter.h"
#include "MethodDesc.h"
#include "MethodHandleTable.h"
#include "ProfilingSession.h"
#include "SessionConfig.h"
#include "io/ClassFileReader.h"
#include "structures/ClassFile.h"
#include "../../../support/TempDir.h"

namespace {

typedef std::vector<unsigned char> Bytes;

const int ACC_PUBLIC = 0x1;
const int ACC_STATIC = 0x8;
const int ACC_SUPER = 0x20;
const int ACC_INTERFACE = 0x200;
const int ACC_ABSTRACT = 0x400;

// A class file built byte by byte: a name, a super class, methods whose code
// is "iconst_0, pop, return", extra Utf8 constants and Integer constants that
// fill the pool to a chosen size.
struct ClassShape {
    struct Method {
        std::string name;
        std::string descriptor;
        int access;
        bool code;
        bool callsSuper = false; // a constructor: aload_0, invokespecial super.<init>()V, return
    };
    std::string name = "decide/Plain";
    std::string superName = "java/lang/Object"; // empty: super index 0
    int access = ACC_PUBLIC | ACC_SUPER;
    std::vector<Method> methods;
    std::vector<std::string> extraUtf8;
    int poolEntries = 0; // when larger than needed, Integer constants fill the pool to this many entries
};

class PoolBuilder {
public:
    int utf8(const std::string &text)
    {
        auto it = utf8Index.find(text);
        if (it != utf8Index.end())
            return it->second;
        bytes.push_back(1);
        put2(static_cast<int>(text.size()));
        bytes.insert(bytes.end(), text.begin(), text.end());
        return utf8Index[text] = next++;
    }
    int classRef(const std::string &name)
    {
        int nameIndex = utf8(name);
        bytes.push_back(7);
        put2(nameIndex);
        return next++;
    }
    void integer(int value)
    {
        bytes.push_back(3);
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.push_back(static_cast<unsigned char>(value >> shift));
        next++;
    }
    void put2(int v)
    {
        bytes.push_back(static_cast<unsigned char>(v >> 8));
        bytes.push_back(static_cast<unsigned char>(v));
    }
    int entries() const { return next - 1; }

    Bytes bytes;
    int next = 1;
    std::map<std::string, int> utf8Index;
};

void put2(Bytes &b, int v)
{
    b.push_back(static_cast<unsigned char>(v >> 8));
    b.push_back(static_cast<unsigned char>(v));
}

void put4(Bytes &b, int v)
{
    put2(b, v >> 16);
    put2(b, v & 0xFFFF);
}

Bytes buildClass(const ClassShape &shape)
{
    PoolBuilder pool;
    int thisClass = pool.classRef(shape.name);
    int superClass = shape.superName.empty() ? 0 : pool.classRef(shape.superName);
    int codeName = pool.utf8("Code");
    int superInit = 0;
    if (superClass != 0) {
        int initName = pool.utf8("<init>");
        int initType = pool.utf8("()V");
        Bytes entries = {12};
        put2(entries, initName);
        put2(entries, initType);
        int nameAndType = pool.next++;
        entries.push_back(10);
        put2(entries, superClass);
        put2(entries, nameAndType);
        superInit = pool.next++;
        pool.bytes.insert(pool.bytes.end(), entries.begin(), entries.end());
    }
    std::vector<std::pair<int, int>> memberNames;
    for (const ClassShape::Method &m : shape.methods)
        memberNames.emplace_back(pool.utf8(m.name), pool.utf8(m.descriptor));
    for (const std::string &text : shape.extraUtf8)
        pool.utf8(text);
    for (int value = 0; pool.entries() < shape.poolEntries; value++)
        pool.integer(value);

    Bytes b = {0xCA, 0xFE, 0xBA, 0xBE, 0, 0, 0, 52};
    put2(b, pool.entries() + 1);
    b.insert(b.end(), pool.bytes.begin(), pool.bytes.end());
    put2(b, shape.access);
    put2(b, thisClass);
    put2(b, superClass);
    put2(b, 0); // interfaces
    put2(b, 0); // fields
    put2(b, static_cast<int>(shape.methods.size()));
    for (size_t i = 0; i < shape.methods.size(); i++) {
        const ClassShape::Method &m = shape.methods[i];
        put2(b, m.access);
        put2(b, memberNames[i].first);
        put2(b, memberNames[i].second);
        if (!m.code) {
            put2(b, 0);
            continue;
        }
        put2(b, 1);
        put2(b, codeName);
        Bytes code = {0x03, 0x57, 0xB1}; // iconst_0, pop, return
        if (m.callsSuper)
            code = {0x2A, 0xB7, static_cast<unsigned char>(superInit >> 8), static_cast<unsigned char>(superInit), 0xB1};
        put4(b, 2 + 2 + 4 + static_cast<int>(code.size()) + 2 + 2);
        put2(b, 1);                                     // max_stack
        put2(b, (m.access & ACC_STATIC) != 0 ? 1 : 2); // max_locals
        put4(b, static_cast<int>(code.size()));
        b.insert(b.end(), code.begin(), code.end());
        put2(b, 0); // exception table
        put2(b, 0); // attributes
    }
    put2(b, 0); // class attributes
    return b;
}

ClassShape::Method voidMethod(const char *name, int access = ACC_PUBLIC)
{
    return {name, "()V", access, (access & ACC_ABSTRACT) == 0};
}

ClassShape plainClass(const std::string &name)
{
    ClassShape shape;
    shape.name = name;
    shape.methods = {voidMethod("work"), voidMethod("helper", ACC_PUBLIC | ACC_STATIC)};
    return shape;
}

// Whether the class bytes hold a text (a constant the hooks add).
bool contains(const Bytes &bytes, const std::string &text)
{
    return std::search(bytes.begin(), bytes.end(), text.begin(), text.end()) != bytes.end();
}

// A session whose call-tree collection method the test chooses.
class TestSession : public ProfilingSession {
public:
    int collectionMethod = 1;
    int getCallTreeCollectionMethod() override { return collectionMethod; }
};

std::unique_ptr<SessionConfig> readConfig(const std::string &attributes, const std::string &body = "")
{
    std::unique_ptr<SessionConfig> config(new SessionConfig());
    SessionConfig::ReadError error =
        config->readFromText(1, "<config><session id=\"1\" " + attributes + ">" + body + "</session></config>");
    EXPECT_FALSE(error.failed()) << error.message;
    return config;
}

const char *const INSTRUMENTING = "instrumentationType=\"1\" timeType=\"1\" componentDetection=\"true\" "
                                  "utilConcurrentHandling=\"true\"";
const char *const JDK_FILTERS = "<filter type=\"exclusive\" name=\"java.\"/><filter type=\"exclusive\" name=\"filtered.\"/>";

// The outcome of one rewriting.
struct Rewrite {
    int kind = -1;
    Bytes bytes;
    bool changed = false;
    std::string messages;
};

class ClassDecisionsTest : public testing::Test {
protected:
    ClassDecisionsTest() : classes(&session), decisions(&classes, &session)
    {
        Instrumenter::initialize(&classes, &session, &handles);
        Instrumenter::applyConfig(nullptr);
        decisions.getSwitches().jvmti11 = true;
        decisions.getSwitches().hasJvmti = true;
    }

    // The configuration of the front end, applied as command 1 would.
    void apply(const SessionConfig *config, const SessionConfig *old = nullptr)
    {
        CharVectorDataWriter writer;
        decisions.updateConfig(old, config, &writer, nullptr);
    }

    Rewrite rewrite(const Bytes &input, bool redefining = false, bool fromJava = false, bool instrument = false)
    {
        Rewrite r;
        unsigned char *out = nullptr;
        int length = 0;
        testing::internal::CaptureStderr();
        r.kind = decisions.doInstrumentation(nullptr, input.data(), static_cast<int>(input.size()), &out, &length,
                                             redefining, fromJava, instrument);
        r.messages = testing::internal::GetCapturedStderr();
        r.changed = out != nullptr;
        if (out != nullptr)
            r.bytes.assign(out, out + length);
        delete[] out;
        if (!r.changed) {
            EXPECT_EQ(0, length);
        }
        return r;
    }

    TestSession session;
    ClassProfilingSession classes;
    MethodHandleTable handles;
    ClassDecisions decisions;
};

// A rewritten class must still be a class file the library reads without error.
void expectReadable(const Bytes &bytes)
{
    Tessera::ClassFile *cf = Tessera::ClassFileReader::readFromByteArray(bytes.data(), static_cast<int>(bytes.size()),
                                                                         nullptr, true, true, nullptr);
    ASSERT_NE(nullptr, cf);
    EXPECT_FALSE(cf->hasError());
    cf->freeInstance();
}

TEST_F(ClassDecisionsTest, WhichClassesGetMethodHooks)
{
    std::unique_ptr<SessionConfig> config = readConfig(INSTRUMENTING, JDK_FILTERS);
    apply(config.get());

    ClassShape interfaceSpec;
    interfaceSpec.name = "decide/Service";
    interfaceSpec.access = ACC_PUBLIC | ACC_INTERFACE | ACC_ABSTRACT;
    interfaceSpec.methods = {voidMethod("call", ACC_PUBLIC | ACC_ABSTRACT),
                             voidMethod("helper", ACC_PUBLIC | ACC_STATIC)}; // a static method with code
    struct Case {
        const char *what;
        ClassShape shape;
        bool fromJava;
        bool instrument;
        bool hooks;
    };
    const Case cases[] = {
        {"application class", plainClass("decide/Plain"), false, false, true},
        {"interface with a method that has code", interfaceSpec, false, false, true},
        {"class of a filtered package", plainClass("filtered/Quiet"), false, false, false},
        {"hard-filtered JDK class", plainClass("java/util/Thing"), false, false, false},
        {"the agent's own class", plainClass("com/orvane/agent/Helper"), false, false, false},
        {"Java transformer, instrument", plainClass("decide/Plain"), true, true, true},
        {"Java transformer, instrument false", plainClass("decide/Plain"), true, false, false},
        {"Java transformer, hard-filtered", plainClass("java/util/Thing"), true, true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Rewrite r = rewrite(buildClass(c.shape), false, c.fromJava, c.instrument);
        EXPECT_EQ(0, r.kind);
        EXPECT_EQ(c.hooks, r.changed) << r.messages;
        if (!r.changed)
            continue;
        EXPECT_TRUE(contains(r.bytes, "__orvane_enterMethod"));
        EXPECT_TRUE(contains(r.bytes, "__orvane_exitMethod"));
        expectReadable(r.bytes);
    }
}

TEST_F(ClassDecisionsTest, NoHooksWithoutInstrumentationOrBeforeAConfiguration)
{
    // No configuration yet: nothing is rewritten.
    EXPECT_FALSE(rewrite(buildClass(plainClass("decide/Plain"))).changed);

    struct Case {
        const char *what;
        std::string attributes;
        int collectionMethod;
    };
    const Case cases[] = {
        {"sampling", "instrumentationType=\"3\" timeType=\"1\"", 3},
        {"CPU profiling disabled", std::string(INSTRUMENTING) + " disableCPUProfiling=\"true\"", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<SessionConfig> config = readConfig(c.attributes, JDK_FILTERS);
        apply(config.get());
        session.collectionMethod = c.collectionMethod;
        EXPECT_FALSE(rewrite(buildClass(plainClass("decide/Plain"))).changed);
    }
}

TEST_F(ClassDecisionsTest, ConstantPoolBound)
{
    std::unique_ptr<SessionConfig> config = readConfig(INSTRUMENTING, JDK_FILTERS);
    apply(config.get());
    struct Case {
        int entries;
        bool changed;
    };
    for (Case c : {Case{65450, true}, Case{65451, false}}) {
        SCOPED_TRACE(c.entries);
        ClassShape shape = plainClass("decide/Big");
        shape.poolEntries = c.entries;
        Bytes input = buildClass(shape);
        ASSERT_EQ(c.entries + 1, (input[8] << 8) | input[9]); // constant_pool_count
        Rewrite r = rewrite(input);
        EXPECT_EQ(c.changed, r.changed);
        bool warned = r.messages.find("Warning: class decide/Big could not be instrumented.\n") != std::string::npos &&
                      r.messages.find("because the constant pool is already too large.\n") != std::string::npos;
        EXPECT_EQ(!c.changed, warned) << r.messages;
        if (r.changed)
            expectReadable(r.bytes);
    }
}

TEST_F(ClassDecisionsTest, BrokenClassesStayUnchanged)
{
    std::unique_ptr<SessionConfig> config = readConfig(INSTRUMENTING, JDK_FILTERS);
    apply(config.get());
    Bytes good = buildClass(plainClass("decide/Plain"));
    Bytes badMagic = good;
    badMagic[0] = 0;
    Bytes cutHead(good.begin(), good.begin() + 20);
    // The code of the first method claims more bytes than its Code attribute holds.
    Bytes badCode = good;
    const Bytes code = {0, 0, 0, 3, 0x03, 0x57, 0xB1};
    auto at = std::search(badCode.begin(), badCode.end(), code.begin(), code.end());
    ASSERT_NE(badCode.end(), at);
    at[3] = 0x40;
    ClassShape orphan = plainClass("decide/Orphan");
    orphan.superName.clear();
    struct Case {
        const char *what;
        Bytes bytes;
        const char *message;
    };
    const Case cases[] = {
        {"bad magic", badMagic, "ERROR: class could not be read\n"},
        {"cut in the head", cutHead, "ERROR: class could not be read\n"},
        {"code longer than its attribute", badCode, "ERROR: class decide/Plain could not be read; it stays unchanged.\n"},
        {"empty", Bytes(), "ERROR: class could not be read\n"},
        {"no super class", buildClass(orphan), "because its super class is missing.\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Rewrite r = rewrite(c.bytes);
        EXPECT_FALSE(r.changed);
        EXPECT_EQ(0, r.kind);
        EXPECT_NE(std::string::npos, r.messages.find(c.message)) << r.messages;
    }
    // java/lang/Object alone has no super class.
    ClassShape object = plainClass("java/lang/Object");
    object.superName.clear();
    EXPECT_EQ(std::string::npos, rewrite(buildClass(object)).messages.find("super class"));
}

// Object's constructor reports allocations, guarded by the switch that String
// gets when it loads. A String that is already loaded without the switch (the
// VM loads it before the agent sees classes) cannot get it by a
// retransformation: an Object rewritten then goes without the switch, since
// reading a field that is not there fails in every constructor.
TEST_F(ClassDecisionsTest, ObjectReadsStringsSwitchOnlyWhenStringHasIt)
{
    ClassShape objectShape;
    objectShape.name = "java/lang/Object";
    objectShape.superName.clear();
    objectShape.methods = {voidMethod("<init>")};
    const Bytes object = buildClass(objectShape);
    ClassShape stringShape = plainClass("java/lang/String");
    const Bytes string = buildClass(stringShape);
    struct Step {
        const char *name;
        bool redefining;
    };
    struct Case {
        const char *what;
        bool attached;
        std::vector<Step> before; // Strings rewritten first
        bool objectRedefined;
        bool objectReadsSwitch;
    };
    const Case cases[] = {
        {"Object loads before String", false, {}, false, true},
        {"Object retransformed, String loaded before the agent", false, {}, true, false},
        {"Object retransformed, String retransformed without the switch", false, {{"java/lang/String", true}}, true, false},
        {"Object retransformed after String loaded with the switch", false, {{"java/lang/String", false}}, true, true},
        {"attached", true, {}, true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ClassDecisions fresh(&classes, &session);
        fresh.getSwitches().jvmti11 = true;
        fresh.getSwitches().hasJvmti = true;
        fresh.getSwitches().attach = c.attached;
        for (const Step &step : c.before) {
            unsigned char *out = nullptr;
            int length = 0;
            fresh.doInstrumentation(nullptr, string.data(), static_cast<int>(string.size()), &out, &length,
                                    step.redefining, false, false);
            bool field = out != nullptr && contains(Bytes(out, out + length), "orvaneCallAgent");
            EXPECT_EQ(!step.redefining, field) << "a retransformed String gets no field it did not have";
            delete[] out;
        }
        unsigned char *out = nullptr;
        int length = 0;
        fresh.doInstrumentation(nullptr, object.data(), static_cast<int>(object.size()), &out, &length,
                                c.objectRedefined, false, false);
        ASSERT_NE(nullptr, out);
        Bytes rewritten(out, out + length);
        delete[] out;
        ASSERT_NO_FATAL_FAILURE(expectReadable(rewritten));
        EXPECT_TRUE(contains(rewritten, "registerAllocation"));
        EXPECT_EQ(c.objectReadsSwitch, contains(rewritten, "orvaneCallAgent"));
    }
    // String retransformed after it loaded with the switch keeps it: a
    // retransformation cannot drop a field either.
    ClassDecisions fresh(&classes, &session);
    for (bool redefining : {false, true}) {
        unsigned char *out = nullptr;
        int length = 0;
        fresh.doInstrumentation(nullptr, string.data(), static_cast<int>(string.size()), &out, &length, redefining,
                                false, false);
        ASSERT_NE(nullptr, out);
        EXPECT_TRUE(contains(Bytes(out, out + length), "orvaneCallAgent"));
        delete[] out;
    }
}

// Object's allocation hook counts as installed only after a retransformation
// that worked: each failure is reported with its code and the next attempt
// tries again; once in, it is never retransformed again.
TEST(ClassDecisionsObjectHookTest, InstalledOnlyWhenTheRetransformationWorked)
{
    struct Case {
        const char *what;
        std::vector<int> results; // of the successive retransformations
        std::vector<bool> installed;
    };
    const char *const failed = "Orvane> Allocations of plain objects cannot be recorded: java.lang.Object was not retransformed";
    const Case cases[] = {
        {"works at once", {0}, {true, true, true}},
        {"VM error, then works", {62, 0}, {false, true, true}},
        {"not rewritten twice, then works", {-1, -1, 0}, {false, false, true}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ClassDecisionsObjectHook hook;
        size_t calls = 0;
        testing::internal::CaptureStderr();
        for (bool expected : c.installed) {
            EXPECT_EQ(expected, hook.install([&]() { return calls < c.results.size() ? c.results[calls++] : (calls++, 99); }));
            EXPECT_EQ(expected, hook.isInstalled());
        }
        std::string messages = testing::internal::GetCapturedStderr();
        EXPECT_EQ(c.results.size(), calls) << "no retransformation once the hook is in";
        std::string expectedMessages;
        for (int r : c.results) {
            if (r != 0)
                expectedMessages += std::string(failed) + " (" + std::to_string(r) + ").\n";
        }
        EXPECT_EQ(expectedMessages, messages);
    }
}

TEST_F(ClassDecisionsTest, ComponentKindFromAnnotationConstants)
{
    struct Case {
        const char *descriptor;
        int kind;
    };
    const Case cases[] = {{"Ljavax/ejb/Stateful;", 6},
                          {"Ljavax/ejb/Stateless;", 7},
                          {"Ljavax/ejb/MessageDriven;", 8},
                          {"Ljavax/persistence/Entity;", 9},
                          {"Ljavax/ejb/Remote;", 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.descriptor);
        ClassShape shape = plainClass("decide/Bean");
        shape.extraUtf8 = {c.descriptor};
        EXPECT_EQ(c.kind, rewrite(buildClass(shape)).kind);
        // The kind is kept for the class's record (dotted name) only from the hook.
        int type = 0;
        EXPECT_EQ(c.kind != 0, decisions.takeAnnotatedComponentClass("decide.Bean", &type));
        EXPECT_EQ(c.kind, type);
        EXPECT_EQ(c.kind, rewrite(buildClass(shape), false, true, true).kind);
        EXPECT_FALSE(decisions.takeAnnotatedComponentClass("decide.Bean", &type));
    }
    // The first component annotation among the constants decides.
    ClassShape both = plainClass("decide/Bean");
    both.extraUtf8 = {"Ljavax/persistence/Entity;", "Ljavax/ejb/Stateful;"};
    EXPECT_EQ(9, rewrite(buildClass(both)).kind);
}

TEST_F(ClassDecisionsTest, SpecialMethodsOfAClass)
{
    struct Case {
        const char *what;
        std::string className;
        ClassShape::Method method;
        bool result;
        bool hasMain, hasJspService, hasComponentMarker, isClassLoader;
    };
    const std::string jsp = "(Ljavax/servlet/http/HttpServletRequest;Ljavax/servlet/http/HttpServletResponse;)V";
    const Case cases[] = {
        {"main", "app/Main", {"main", "([Ljava/lang/String;)V", ACC_PUBLIC | ACC_STATIC, true}, false, true, false, false, false},
        {"instance main", "app/Main", {"main", "([Ljava/lang/String;)V", ACC_PUBLIC, true}, false, false, false, false, false},
        {"_jspService", "app/Page", {"_jspService", jsp, ACC_PUBLIC, true}, true, false, true, false, false},
        {"marker", "app/Bean", {"getEJBHome", "()Ljavax/ejb/EJBHome;", ACC_PUBLIC, true}, true, false, false, true, false},
        {"public loadClass", "app/Loader", {"loadClass", "(Ljava/lang/String;)Ljava/lang/Class;", ACC_PUBLIC, true}, false, false, false, false, true},
        {"protected loadClass(String)", "app/Loader", {"loadClass", "(Ljava/lang/String;)Ljava/lang/Class;", 0x4, true}, false, false, false, false, false},
        {"protected loadClass(String, boolean)", "app/Loader", {"loadClass", "(Ljava/lang/String;Z)Ljava/lang/Class;", 0x4, true}, false, false, false, false, true},
        {"static loadClass", "app/Loader", {"loadClass", "(Ljava/lang/String;Z)Ljava/lang/Class;", ACC_STATIC, true}, false, false, false, false, false},
        {"loader of the JDK", "java/net/URLClassLoader", {"loadClass", "(Ljava/lang/String;)Ljava/lang/Class;", ACC_PUBLIC, true}, false, false, false, false, false},
        {"loader of sun/misc", "sun/misc/Launcher", {"loadClass", "(Ljava/lang/String;)Ljava/lang/Class;", ACC_PUBLIC, true}, false, false, false, false, false},
        {"agent class", "com/orvane/agent/Page", {"_jspService", jsp, ACC_PUBLIC, true}, false, false, false, false, false},
        {"apple class", "apple/Main", {"main", "([Ljava/lang/String;)V", ACC_PUBLIC | ACC_STATIC, true}, false, false, false, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ClassShape shape;
        shape.name = c.className;
        shape.methods = {c.method};
        Bytes bytes = buildClass(shape);
        Tessera::ClassFile *cf = Tessera::ClassFileReader::readFromByteArray(bytes.data(), static_cast<int>(bytes.size()),
                                                                             nullptr, true, false, nullptr);
        ASSERT_FALSE(cf->hasError());
        ClassDecisions::SpecialMethods found;
        EXPECT_EQ(c.result, decisions.checkForSpecialMethods(c.className.c_str(), cf, &found));
        EXPECT_EQ(c.hasMain, found.hasMain);
        EXPECT_EQ(c.hasJspService, found.hasJspService);
        EXPECT_EQ(c.hasComponentMarker, found.hasComponentMarker);
        EXPECT_EQ(c.isClassLoader, found.isClassLoader);
        EXPECT_FALSE(found.hasNativeHook);
        bool publicStaticMain = c.method.name == "main" && c.method.access == (ACC_PUBLIC | ACC_STATIC);
        EXPECT_EQ(publicStaticMain, ClassDecisions::hasMainMethod(cf, c.className.c_str()));
        cf->freeInstance();
    }
    // The applet runtime counts as having a main method whatever it holds.
    ClassShape runtime = plainClass("sun/plugin/JavaRunTime");
    Bytes bytes = buildClass(runtime);
    Tessera::ClassFile *cf = Tessera::ClassFileReader::readFromByteArray(bytes.data(), static_cast<int>(bytes.size()),
                                                                         nullptr, true, false, nullptr);
    ClassDecisions::SpecialMethods found;
    EXPECT_TRUE(decisions.checkForSpecialMethods("sun/plugin/JavaRunTime", cf, &found));
    EXPECT_TRUE(found.hasMain);
    EXPECT_TRUE(ClassDecisions::hasMainMethod(cf, "sun/plugin/JavaRunTime"));
    cf->freeInstance();
}

TEST_F(ClassDecisionsTest, MainClassIsTheFirstApplicationClassWithMain)
{
    std::unique_ptr<SessionConfig> config = readConfig(INSTRUMENTING, JDK_FILTERS);
    apply(config.get());
    ClassShape jdkMain = plainClass("sun/tools/Main"); // an exception, not the application
    jdkMain.methods.push_back({"main", "([Ljava/lang/String;)V", ACC_PUBLIC | ACC_STATIC, true});
    ClassShape appMain = plainClass("app/Main");
    appMain.methods.push_back({"main", "([Ljava/lang/String;)V", ACC_PUBLIC | ACC_STATIC, true});
    ClassShape second = appMain;
    second.name = "app/Second";

    rewrite(buildClass(jdkMain));
    EXPECT_EQ("", decisions.getMainClassName());
    rewrite(buildClass(appMain), false, true, true); // the Java transformer never decides it
    EXPECT_EQ("", decisions.getMainClassName());
    rewrite(buildClass(appMain));
    EXPECT_EQ("app/Main", decisions.getMainClassName());
    rewrite(buildClass(second));
    EXPECT_EQ("app/Main", decisions.getMainClassName());
}

TEST_F(ClassDecisionsTest, SavedClassesGoToAPrivateDirectory)
{
    TempDir dir;
    const char *oldTmp = getenv("TMPDIR");
    std::string saved = oldTmp != nullptr ? oldTmp : "";
    setenv("TMPDIR", dir.path().c_str(), 1);
    std::unique_ptr<SessionConfig> config = readConfig(INSTRUMENTING, JDK_FILTERS);
    apply(config.get());
    decisions.getSwitches().saveInstrumentedClasses = true;
    Bytes input = buildClass(plainClass("decide/Plain"));
    Rewrite r = rewrite(input);
    // An unchanged class is not saved without save-all-classes.
    Rewrite quiet = rewrite(buildClass(plainClass("filtered/Quiet")));
    if (oldTmp != nullptr)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");

    ASSERT_TRUE(r.changed);
    EXPECT_FALSE(quiet.changed);
    const std::string &saveDir = decisions.getDebugInstrClassDir();
    ASSERT_EQ(0u, saveDir.find(dir.path() + "/ov_cls")) << saveDir;
    struct stat st;
    ASSERT_EQ(0, stat(saveDir.c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(0700u, st.st_mode & 0777u);
    auto readFile = [](const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    EXPECT_EQ(input, readFile(saveDir + "/decide.Plain.orig.class"));
    EXPECT_EQ(r.bytes, readFile(saveDir + "/decide.Plain.class"));
    EXPECT_FALSE(std::ifstream(saveDir + "/filtered.Quiet.orig.class").good());
    EXPECT_NE(std::string::npos, r.messages.find("writing " + saveDir + "/decide.Plain.class"));
}

TEST_F(ClassDecisionsTest, LoadInfoWithoutConfigurationIsOneByte)
{
    CharVectorDataWriter writer;
    decisions.writeLoadInfo(&writer);
    writer.flush();
    EXPECT_EQ(std::vector<char>({0}), writer.getBytes());
}

// Expected bytes of a load-information reply.
struct Expect {
    std::vector<char> bytes;
    void byte(int v) { bytes.push_back(static_cast<char>(v)); }
    void u4(uint32_t v)
    {
        for (int shift = 24; shift >= 0; shift -= 8)
            byte(static_cast<int>((v >> shift) & 0xFF));
    }
    void string(const std::string &s)
    {
        byte(static_cast<int>(s.size() >> 8));
        byte(static_cast<int>(s.size() & 0xFF));
        bytes.insert(bytes.end(), s.begin(), s.end());
    }
};

TEST_F(ClassDecisionsTest, LoadInfoReportsTheSettingsInForceThenThoseSaved)
{
    std::unique_ptr<SessionConfig> first =
        readConfig(std::string(INSTRUMENTING) + " lineNumbers=\"true\"",
                   "<filter type=\"inclusive\" name=\"app.\"/><filter type=\"inclusive\" name=\"lib.\"/>"
                   "<ignoredMethods><method className=\"app.Noise\" methodName=\"tick\" signature=\"()V\"/>"
                   "</ignoredMethods>");
    apply(first.get());

    Expect settings;
    settings.byte(1); // settings follow
    settings.byte(1); // line numbers
    settings.byte(1); // component detection
    settings.byte(1); // inclusive
    settings.u4(2);
    settings.string("app.");
    settings.string("lib.");
    settings.byte(1);
    settings.string("app.Noise");
    settings.string("tick");
    settings.string("()V");
    settings.byte(0); // end of ignored methods
    settings.byte(0); // no filtered-call sites
    settings.u4(0);   // no classes met

    CharVectorDataWriter inForce;
    decisions.writeLoadInfo(&inForce);
    inForce.flush();
    EXPECT_EQ(settings.bytes, inForce.getBytes());

    // Sampling now: the classes keep what they were made with, which is reported.
    std::unique_ptr<SessionConfig> sampling = readConfig("instrumentationType=\"3\" timeType=\"1\"");
    apply(sampling.get(), first.get());
    session.collectionMethod = 3;
    EXPECT_TRUE(decisions.hasPreviousSettings());
    CharVectorDataWriter savedWriter;
    decisions.writeLoadInfo(&savedWriter);
    savedWriter.flush();
    EXPECT_EQ(settings.bytes, savedWriter.getBytes());
}

TEST_F(ClassDecisionsTest, LoadInfoListsFilteredCallSites)
{
    std::unique_ptr<SessionConfig> config = readConfig(INSTRUMENTING, JDK_FILTERS);
    apply(config.get());
    ClassData *caller = Instrumenter::getClassData("app.Caller");
    MethodDesc *callee = Instrumenter::getMethodDesc("filtered.Lib", "call", "(I)V");
    MethodDesc *jdk = Instrumenter::getMethodDesc("java.util.List", "size", "()I");
    ASSERT_NE(nullptr, caller);
    ASSERT_NE(nullptr, callee);
    ASSERT_NE(nullptr, jdk);
    Instrumenter::getCallingClasses(callee)->insert(caller);
    Instrumenter::getCallingClasses(jdk)->insert(caller); // a hard-filtered class is left out

    Expect e;
    e.byte(1);
    e.byte(0); // line numbers
    e.byte(1); // component detection
    e.byte(0); // exclusive
    e.u4(2);
    e.string("java.");
    e.string("filtered.");
    e.byte(0); // end of ignored methods
    e.byte(1);
    e.string("call");
    e.string("(I)V");
    ClassData *declaring = callee->getClassData();
    auto id = [&](const void *p) {
        const char *raw = reinterpret_cast<const char *>(&p);
        e.bytes.insert(e.bytes.end(), raw, raw + sizeof p);
    };
    id(declaring);
    e.byte(1);
    id(caller);
    e.byte(0); // end of callers
    e.byte(0); // end of sites
    e.u4(2);
    id(declaring);
    e.string("filtered.Lib");
    id(caller);
    e.string("app.Caller");

    CharVectorDataWriter writer;
    decisions.writeLoadInfo(&writer);
    writer.flush();
    EXPECT_EQ(e.bytes, writer.getBytes());
}

// The VM of a configuration update: loaded classes by name, and a record of
// what was retransformed.
class FakeClassVm : public ClassDecisionsVm {
public:
    void load(const std::string &name, int status = STATUS_PREPARED, bool modifiable = true)
    {
        names.push_back(name);
        LoadedClass c;
        c.handle = &names.back();
        c.slashName = name;
        c.modifiable = modifiable;
        c.isArray = name[0] == '[';
        c.status = status;
        loaded.push_back(c);
    }
    static const std::string &nameOf(void *handle) { return *static_cast<std::string *>(handle); }

    bool getLoadedClasses(std::vector<LoadedClass> &classes) override
    {
        classes = loaded;
        listed++;
        return true;
    }
    void endLoadedClasses() override { ended++; }
    bool getConstantPool(void *, int *, std::vector<unsigned char> &) override { return false; }
    bool getMethods(void *handle, bool, std::vector<Method> &methods) override
    {
        methods.clear();
        auto it = classMethods.find(nameOf(handle));
        if (it != classMethods.end())
            methods = it->second;
        return true;
    }
    int retransform(const std::vector<void *> &classes) override
    {
        std::vector<std::string> batch;
        for (void *c : classes)
            batch.push_back(nameOf(c));
        calls.push_back(batch);
        for (const std::string &name : batch) {
            auto it = failing.find(name);
            if (it != failing.end())
                return it->second;
        }
        return 0;
    }
    long long getAvailablePermGen() override
    {
        long long value = permGen.empty() ? -1 : permGen.front();
        if (permGen.size() > 1)
            permGen.pop_front();
        return value;
    }
    void addLoadInformation(void *) override {}
    int checkAnnotatedComponent(void *, const std::string &) override { return 0; }
    void registerClass(void *) override {}
    void configurationChanged() override { changes++; }

    std::deque<std::string> names;
    std::vector<LoadedClass> loaded;
    std::map<std::string, int> failing; // the error a batch holding the class gets
    std::deque<long long> permGen;      // successive answers; the last one repeats
    std::map<std::string, std::vector<Method>> classMethods;
    std::vector<std::vector<std::string>> calls;
    int listed = 0;
    int ended = 0;
    int changes = 0;
};

std::vector<char> replyOf(CharVectorDataWriter &writer)
{
    writer.flush();
    return writer.getBytes();
}

TEST_F(ClassDecisionsTest, UpdateWithNothingChangedRetransformsNothing)
{
    std::unique_ptr<SessionConfig> old = readConfig(INSTRUMENTING, JDK_FILTERS);
    std::unique_ptr<SessionConfig> same = readConfig(INSTRUMENTING, JDK_FILTERS);
    FakeClassVm vm;
    vm.load("app/Main");
    vm.load("filtered/Quiet");
    CharVectorDataWriter first;
    decisions.updateConfig(nullptr, old.get(), &first, &vm);

    CharVectorDataWriter writer;
    decisions.updateConfig(old.get(), same.get(), &writer, &vm);
    Expect e;
    e.u4(0);
    e.byte(0);
    e.byte(1);
    EXPECT_EQ(e.bytes, replyOf(writer));
    EXPECT_TRUE(vm.calls.empty());
    EXPECT_EQ(0, vm.listed);
}

// Configuration updates that do retransform: with line numbers switched on
// every class that is neither hard-filtered nor filtered is rewritten again.
class ClassDecisionsUpdateTest : public ClassDecisionsTest {
protected:
    void SetUp() override
    {
        old = readConfig(INSTRUMENTING, JDK_FILTERS);
        changed = readConfig(std::string(INSTRUMENTING) + " lineNumbers=\"true\"", JDK_FILTERS);
        CharVectorDataWriter first;
        decisions.updateConfig(nullptr, old.get(), &first, &vm);
        for (int i = 0; i < 250; i++)
            vm.load("app/C" + std::to_string(i));
        vm.load("filtered/Quiet");
        vm.load("java/lang/String");
        vm.load("app/Fixed", ClassDecisionsVm::STATUS_PREPARED, false);
        vm.load("[Lapp/C0;");
    }

    std::vector<char> update()
    {
        CharVectorDataWriter writer;
        testing::internal::CaptureStderr();
        decisions.updateConfig(old.get(), changed.get(), &writer, &vm);
        messages = testing::internal::GetCapturedStderr();
        return replyOf(writer);
    }

    std::unique_ptr<SessionConfig> old;
    std::unique_ptr<SessionConfig> changed;
    FakeClassVm vm;
    std::string messages;
};

TEST_F(ClassDecisionsUpdateTest, RetransformsInBatchesOfAHundred)
{
    std::vector<char> reply = update();
    Expect e;
    e.u4(250);
    for (uint32_t done : {100u, 200u, 250u}) {
        e.byte(1);
        e.u4(done);
    }
    e.byte(0);
    e.byte(1);
    EXPECT_EQ(e.bytes, reply);
    ASSERT_EQ(3u, vm.calls.size());
    EXPECT_EQ(100u, vm.calls[0].size());
    EXPECT_EQ(100u, vm.calls[1].size());
    EXPECT_EQ(50u, vm.calls[2].size());
    std::set<std::string> all;
    for (const auto &batch : vm.calls)
        all.insert(batch.begin(), batch.end());
    EXPECT_EQ(250u, all.size());
    EXPECT_EQ(0u, all.count("filtered/Quiet"));
    EXPECT_EQ(0u, all.count("java/lang/String"));
    EXPECT_EQ(0u, all.count("app/Fixed"));
    EXPECT_EQ(1, vm.changes);
    EXPECT_EQ(vm.listed, vm.ended);
    EXPECT_NE(std::string::npos, messages.find("Updating configuration.\n"));
    EXPECT_NE(std::string::npos, messages.find("Retransforming 250 class files.\n"));
    EXPECT_NE(std::string::npos, messages.find("Configuration updated.\n"));
}

// How an update of 250 classes ends when the VM runs short or a batch fails:
// stopped after the first batch (the reply ends 0, 0), or carried to the end (1).
struct UpdateOutcome {
    const char *name;
    void (*arrange)(FakeClassVm &vm);
    bool stopped;
    size_t calls;        // retransform calls made
    size_t secondBatch;  // classes in the second call (0: not checked)
    std::vector<std::string> lines;
};

void PrintTo(const UpdateOutcome &c, std::ostream *os) { *os << c.name; }

class ClassDecisionsUpdateOutcomeTest : public ClassDecisionsUpdateTest,
                                        public testing::WithParamInterface<UpdateOutcome> {};

TEST_P(ClassDecisionsUpdateOutcomeTest, Update)
{
    const UpdateOutcome &c = GetParam();
    c.arrange(vm);
    std::vector<char> reply = update();
    if (c.stopped) {
        Expect e;
        e.u4(250);
        e.byte(1);
        e.u4(100);
        e.byte(0);
        e.byte(0); // stopped
        EXPECT_EQ(e.bytes, reply);
    } else {
        ASSERT_FALSE(reply.empty());
        EXPECT_EQ(1, reply.back());
    }
    ASSERT_EQ(c.calls, vm.calls.size());
    if (c.secondBatch != 0) {
        EXPECT_EQ(c.secondBatch, vm.calls[1].size());
    }
    for (const std::string &line : c.lines)
        EXPECT_NE(std::string::npos, messages.find(line)) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, ClassDecisionsUpdateOutcomeTest,
    testing::Values(
        UpdateOutcome{"LowClassMetadataStopsTheUpdate",
                      [](FakeClassVm &vm) { vm.permGen = {64LL << 20, 0x800000}; }, true, 1, 0, {}},
        UpdateOutcome{"UnknownClassMetadataDoesNotStopTheUpdate", [](FakeClassVm &vm) { vm.permGen = {-1}; }, false,
                      3, 0, {}},
        // The first batch failed, then its 100 classes went one by one, then two more batches.
        UpdateOutcome{"AFailedBatchIsRetriedOneByOne",
                      [](FakeClassVm &vm) { vm.failing["app/C7"] = 62; }, // JVMTI_ERROR_UNMODIFIABLE_CLASS
                      false, 1 + 100 + 2, 1,
                      {"ERROR: could not retransform all classes (62). Trying separately.\n",
                       "ERROR: could not retransform class app/C7 (62).\n"}},
        UpdateOutcome{"OutOfMemoryStopsTheUpdate",
                      [](FakeClassVm &vm) { vm.failing["app/C150"] = ClassDecisionsVm::ERROR_OUT_OF_MEMORY; }, true, 2,
                      0, {}}),
    [](const testing::TestParamInfo<UpdateOutcome> &info) { return std::string(info.param.name); });

TEST_F(ClassDecisionsUpdateTest, ChangedFiltersRetransformTheClassesAndTheirCallers)
{
    // Instrumented with java. and filtered. excluded; now app.lib. is excluded too.
    changed = readConfig(INSTRUMENTING, std::string(JDK_FILTERS) + "<filter type=\"exclusive\" name=\"app.lib.\"/>");
    MethodDesc *lib = Instrumenter::getMethodDesc("app.lib.Util", "run", "()V");
    Instrumenter::getMethodDesc("app.C1", "run", "()V");
    ClassData *caller = Instrumenter::getClassData("app.C2");
    Instrumenter::getCallingClasses(lib)->insert(caller);
    vm.load("app/lib/Util");

    std::vector<char> reply = update();
    ASSERT_EQ(1u, vm.calls.size());
    EXPECT_EQ((std::set<std::string>{"app/lib/Util", "app/C2"}),
              std::set<std::string>(vm.calls[0].begin(), vm.calls[0].end()));
    EXPECT_TRUE(Instrumenter::getCallingClasses(lib)->empty());
    Expect e;
    e.u4(2);
    e.byte(1);
    e.u4(2);
    e.byte(0);
    e.byte(1);
    EXPECT_EQ(e.bytes, reply);
}

TEST_F(ClassDecisionsTest, AttachRetransformsTheClassesThatNeedClassLevelChanges)
{
    const ClassDecisionsVm::Method loadClass = {"loadClass", "(Ljava/lang/String;)Ljava/lang/Class;", ACC_PUBLIC, {}};
    const ClassDecisionsVm::Method loadClassResolve = {"loadClass", "(Ljava/lang/String;Z)Ljava/lang/Class;", 0x4, {}};
    const ClassDecisionsVm::Method other = {"load", "(Ljava/lang/String;)Ljava/lang/Class;", ACC_PUBLIC, {}};
    struct Case {
        const char *name;
        std::vector<ClassDecisionsVm::Method> methods;
        bool firstUpdate; // chosen on the first update after attaching
        bool later;       // chosen otherwise
    };
    const Case cases[] = {
        {"java/lang/Object", {}, true, false},
        {"java/lang/Thread", {}, true, false},
        {"java/util/concurrent/locks/LockSupport", {}, true, false},
        {"java/util/concurrent/locks/AbstractQueuedSynchronizer", {}, true, false},
        {"java/io/ObjectStreamClass", {}, true, false},
        {"javax/servlet/http/HttpServlet", {}, true, false},
        {"java/net/SocketInputStream", {}, true, false},
        {"java/lang/String", {}, false, false},
        {"app/Loader", {loadClass}, true, true},
        {"app/ResolvingLoader", {loadClassResolve}, true, true},
        {"app/NotALoader", {other}, false, false},
        {"java/net/URLClassLoader", {loadClass}, false, false},
        {"sun/misc/Launcher$AppClassLoader", {loadClass}, false, false},
        {"app/Plain", {}, false, false},
    };
    for (bool firstUpdate : {true, false}) {
        SCOPED_TRACE(firstUpdate ? "first update" : "later");
        FakeClassVm vm;
        for (const Case &c : cases) {
            vm.load(c.name);
            vm.classMethods[c.name] = c.methods;
        }
        vm.load("app/Fixed", ClassDecisionsVm::STATUS_PREPARED, false);
        vm.classMethods["app/Fixed"] = {loadClass};
        decisions.getSwitches().attach = true;
        decisions.getSwitches().firstConfigUpdate = firstUpdate;
        testing::internal::CaptureStderr();
        decisions.initAttach(&vm);
        std::string messages = testing::internal::GetCapturedStderr();
        std::set<std::string> expected;
        for (const Case &c : cases) {
            if (firstUpdate ? c.firstUpdate : c.later)
                expected.insert(c.name);
        }
        ASSERT_EQ(1u, vm.calls.size()) << "all at once";
        EXPECT_EQ(expected, std::set<std::string>(vm.calls[0].begin(), vm.calls[0].end()));
        EXPECT_NE(std::string::npos,
                  messages.find("Retransforming " + std::to_string(expected.size()) + " base class files.\n"));
        EXPECT_NE(std::string::npos, messages.find("Base classes instrumented.\n"));
        EXPECT_EQ(vm.listed, vm.ended);
    }
}

TEST_F(ClassDecisionsTest, AttachRetriesAFailedRetransformationOneByOne)
{
    FakeClassVm vm;
    vm.load("java/lang/Object");
    vm.load("java/lang/Thread");
    vm.failing["java/lang/Thread"] = 79; // JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_ADDED
    decisions.getSwitches().attach = true;
    decisions.getSwitches().firstConfigUpdate = true;
    testing::internal::CaptureStderr();
    decisions.initAttach(&vm);
    std::string messages = testing::internal::GetCapturedStderr();
    ASSERT_EQ(3u, vm.calls.size());
    EXPECT_EQ(2u, vm.calls[0].size());
    EXPECT_EQ(std::vector<std::string>{"java/lang/Object"}, vm.calls[1]);
    EXPECT_EQ(std::vector<std::string>{"java/lang/Thread"}, vm.calls[2]);
    EXPECT_NE(std::string::npos, messages.find("ERROR: could not retransform all classes (79). Trying separately.\n"));
    EXPECT_NE(std::string::npos, messages.find("ERROR: could not retransform class java/lang/Thread (79).\n"));
    EXPECT_EQ(std::string::npos, messages.find("class java/lang/Object ("));
    EXPECT_NE(std::string::npos, messages.find("Base classes instrumented.\n"));
}

TEST_F(ClassDecisionsTest, StartRetransformsTheClassesTheHookDidNotSee)
{
    // java/net/SocketInputStream passes through the rewriting; the others were
    // loaded before the hook could see them.
    ClassShape seen = plainClass("java/net/SocketInputStream");
    rewrite(buildClass(seen));
    FakeClassVm vm;
    for (const char *name : {"java/util/concurrent/locks/LockSupport", "java/io/ObjectStreamClass",
                             "java/net/SocketInputStream", "sun/nio/ch/SocketChannelImpl", "java/lang/Object",
                             "java/lang/String", "java/util/concurrent/locks/AbstractQueuedSynchronizer", "app/Plain"})
        vm.load(name);
    testing::internal::CaptureStderr();
    decisions.initStart(&vm);
    std::string messages = testing::internal::GetCapturedStderr();
    ASSERT_EQ(1u, vm.calls.size());
    EXPECT_EQ((std::set<std::string>{"java/util/concurrent/locks/LockSupport", "java/io/ObjectStreamClass",
                                     "sun/nio/ch/SocketChannelImpl"}),
              std::set<std::string>(vm.calls[0].begin(), vm.calls[0].end()));
    EXPECT_EQ("", messages) << "quiet when all goes well";

    // Without native wrappers serialisation needs no help; a failure is told.
    decisions.getSwitches().replaceNativeMethods = false;
    FakeClassVm refusing;
    refusing.load("java/util/concurrent/locks/LockSupport");
    refusing.load("java/io/ObjectStreamClass");
    refusing.failing["java/util/concurrent/locks/LockSupport"] = 62;
    testing::internal::CaptureStderr();
    decisions.initStart(&refusing);
    messages = testing::internal::GetCapturedStderr();
    ASSERT_EQ(2u, refusing.calls.size());
    EXPECT_EQ(std::vector<std::string>{"java/util/concurrent/locks/LockSupport"}, refusing.calls[0]);
    EXPECT_NE(std::string::npos,
              messages.find("ERROR: could not retransform class java/util/concurrent/locks/LockSupport (62).\n"));

    // Before JVMTI 1.1 nothing can be retransformed.
    decisions.getSwitches().jvmti11 = false;
    FakeClassVm old;
    old.load("java/util/concurrent/locks/LockSupport");
    decisions.initStart(&old);
    EXPECT_TRUE(old.calls.empty());
    EXPECT_EQ(0, old.listed);
}

TEST_F(ClassDecisionsTest, ComponentsRegisterThemselves)
{
    const ClassShape::Method marker = {"getEJBHome", "()Ljavax/ejb/EJBHome;", ACC_PUBLIC, true};
    ClassShape::Method constructor = {"<init>", "()V", ACC_PUBLIC, true};
    constructor.callsSuper = true;
    struct Case {
        const char *what;
        std::string name;
        bool withMarker;
        bool componentDetection;
        bool registers;
        bool newClinit;
    };
    const Case cases[] = {
        {"bean with a marker method", "app/Bean", true, true, true, false},
        {"the servlet base class", "javax/servlet/http/HttpServlet", false, true, true, false},
        {"proxy class", "jdk/proxy1/$Proxy12", true, true, true, true},
        {"proxy in the default package", "$Proxy3", true, true, true, true},
        {"component detection off", "app/Bean", true, false, false, false},
        {"no component", "app/Plain", false, true, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<SessionConfig> config = readConfig(std::string("instrumentationType=\"1\" timeType=\"1\" componentDetection=\"") +
                                                           (c.componentDetection ? "true" : "false") + "\"", JDK_FILTERS);
        apply(config.get());
        ClassShape shape;
        shape.name = c.name;
        shape.methods = {constructor};
        if (c.withMarker)
            shape.methods.push_back(marker);
        Rewrite r = rewrite(buildClass(shape));
        EXPECT_EQ(c.registers, contains(r.bytes, "__orvane_registerClass")) << r.messages;
        EXPECT_EQ(c.newClinit, contains(r.bytes, "<clinit>"));
        // Components are remembered for configuration updates either way.
        bool component = c.withMarker || c.name == "javax/servlet/http/HttpServlet";
        EXPECT_EQ(component, decisions.isInAnnoAndOptionalClasses(c.name));
        if (r.changed)
            expectReadable(r.bytes);
    }
}

} // namespace
