// The method hooks under HotSpot with every class verified: a workload program
// rewritten the way the class hook rewrites an application class (hooks,
// filtered calls, line hints, Thread.sleep redirection, array allocations,
// native wrappers) runs with the same output as the original and reports
// exact, balanced entries and exits; every class of real jars, rewritten the
// same way, loads, links and initialises. Stand-ins for the agent's hook
// classes are on the class path (java/harness).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ClassData.h"
#include "ClassProfilingSession.h"
#include "AnnotationInstrumentation.h"
#include "Instrumenter.h"
#include "MethodDesc.h"
#include "MethodHandleTable.h"
#include "ProfilingSession.h"
#include "SessionConfig.h"
#include "bytecode/ByteCodeReader.h"
#include "bytecode/ByteCodeWriter.h"
#include "bytecode/CodeInsertion.h"
#include "bytecode/Instructions.h"
#include "io/ClassFileReader.h"
#include "io/ClassFileWriter.h"
#include "structures/ClassFile.h"
#include "structures/ConstantPoolUtil.h"
#include "structures/MethodInfo.h"
#include "structures/TypedAttributes.h"
#include "support/JdkCorpus.h"
#include "support/RewrittenClasses.h"
#include "../../support/JvmTools.h"
#include "../../support/TempDir.h"

using namespace Tessera;

namespace {

typedef std::vector<unsigned char> Bytes;

using namespace jvmtools;

const Jvm JVMS[] = {
    {"openjdk17", jvmtools::JDK17_HOME},
    {"temurin25", jvmtools::TEMURIN25_HOME},
};

std::string join(const std::vector<std::string> &items)
{
    std::string s;
    for (const std::string &i : items)
        s += "\n  " + i;
    return s;
}

// What the hook stand-ins reported after "=== HOOKS".
struct Report {
    std::string programOutput;                 // everything before the report
    std::map<std::string, long long> counters; // HOOK-CALLS, MISMATCHES, ...
    std::map<int, std::vector<long long>> counts; // id -> entries, filtered, constructor, arrays
};

Report parseReport(const std::string &output)
{
    Report r;
    size_t at = output.find("=== HOOKS\n");
    r.programOutput = output.substr(0, at);
    if (at == std::string::npos)
        return r;
    std::istringstream lines(output.substr(at + 10));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        if (key == "COUNT") {
            int id;
            std::vector<long long> c(4);
            words >> id >> c[0] >> c[1] >> c[2] >> c[3];
            r.counts[id] = c;
        } else {
            long long v = 0;
            words >> v;
            r.counters[key] = v;
        }
    }
    return r;
}

int runHarness(const Jvm &jvm, const std::string &mode, const std::string &dir, const std::string &mainClass,
               std::string &output)
{
    std::string command = javaCommand(jvm.home) + " -Xverify:all -Xshare:off -cp " +
                          quote(std::string(INSTRHOOKS_JAVA_DIR) + "/harness") + " InstrHarness " + mode + " " +
                          quote(dir);
    if (!mainClass.empty())
        command += " " + quote(mainClass);
    return run(command, output);
}

// The instrumenter as the class hook of an attached agent drives it: JDK
// classes filtered, line numbers on, Thread.sleep redirected, other sleeps
// and parks wrapped, method hooks, array allocations.
class Rewriter {
public:
    Rewriter()
    {
        Instrumenter::initialize(&classSession, &session, &handles);
        Instrumenter::setReplaceNativeMethods(true);
        classSession.setFilters({"java.", "javax.", "sun.", "jdk.", "com.sun."}, false);
        SessionConfig config;
        config.lineNumbers = true;
        Instrumenter::applyConfig(&config);
    }
    ~Rewriter() { Instrumenter::initialize(nullptr, nullptr, nullptr); }
    Rewriter(const Rewriter &) = delete;
    Rewriter &operator=(const Rewriter &) = delete;

    bool rewrite(const Bytes &in, Bytes &out, std::string &error)
    {
        ClassFile *cf = ClassFileReader::readFromByteArray(in.data(), static_cast<int>(in.size()), nullptr, true, true,
                                                           nullptr);
        if (cf == nullptr || cf->hasError()) {
            error = "cannot read the class";
            if (cf != nullptr)
                cf->freeInstance();
            return false;
        }
        int length = 0;
        const char *name = cf->getClassName(&length);
        std::string slashName(name, length);
        std::vector<int> replace, sleeps, parks;
        Instrumenter::findSleepRefs(cf, &replace, &sleeps, &parks);
        Instrumenter::replaceMethodRefs(cf, replace);
        if ((cf->getAccessFlags() & 0x200) == 0)
            Instrumenter::instrumentClassFile(nullptr, slashName.c_str(), true, false, &sleeps, &parks, cf, false, false);
        for (MethodInfo *m : cf->getMethods())
            Instrumenter::addArrayAllocationInstrumentation(cf, m);
        char *bytes = nullptr;
        int written = ClassFileWriter::writeToByteArray(&bytes, cf);
        cf->freeInstance();
        if (written <= 0) {
            error = "cannot write the class";
            return false;
        }
        out.assign(bytes, bytes + written);
        delete[] bytes;
        return true;
    }

    // "Class.nameDescriptor" of an id the rewritten code pushed.
    std::string nameOf(int id)
    {
        MethodDesc *m = handles.lookup(id);
        if (m == nullptr)
            return "<unknown " + std::to_string(id) + ">";
        return std::string(m->getClassData()->getClassName()) + "." + m->getMethodName() + m->getMethodSignature();
    }

private:
    ProfilingSession session;
    ClassProfilingSession classSession{&session};
    MethodHandleTable handles;
};

// A class of an old version (49 or below) made from a newer one: no
// StackMapTable, so the old verifier checks it.
bool downgrade(const Bytes &in, Bytes &out, int version = 49)
{
    ClassFile *cf =
        ClassFileReader::readFromByteArray(in.data(), static_cast<int>(in.size()), nullptr, true, true, nullptr);
    if (cf == nullptr || cf->hasError())
        return false;
    cf->setMajorVersion(version);
    cf->setMinorVersion(0);
    for (MethodInfo *m : cf->getMethods()) {
        if (CodeAttribute *code = Instrumenter::getCodeAttribute(m))
            code->removeAttributeWithName("StackMapTable");
    }
    char *bytes = nullptr;
    int written = ClassFileWriter::writeToByteArray(&bytes, cf);
    cf->freeInstance();
    if (written <= 0)
        return false;
    out.assign(bytes, bytes + written);
    delete[] bytes;
    return true;
}

struct Variant {
    const char *name;
    const char *dir; // below INSTRHOOKS_JAVA_DIR
    bool downgrade;
    int expectedMajor;
};

const Variant VARIANTS[] = {
    {"release17", "workload-17", false, 61},
    {"release8", "workload-8", false, 52},
    {"version49", "workload-7", true, 49},
};

struct WorkloadCase {
    const Jvm *jvm;
    const Variant *variant;
};

std::vector<WorkloadCase> workloadCases()
{
    std::vector<WorkloadCase> cases;
    for (const Jvm &j : JVMS)
        for (const Variant &v : VARIANTS)
            cases.push_back({&j, &v});
    return cases;
}

void PrintTo(const WorkloadCase &c, std::ostream *os) { *os << c.jvm->name << " " << c.variant->name; }

class InstrumenterWorkloadTest : public testing::TestWithParam<WorkloadCase> {};

TEST_P(InstrumenterWorkloadTest, RewrittenProgramRunsAlikeWithBalancedExactCounts)
{
    const Jvm &jvm = *GetParam().jvm;
    const Variant &variant = *GetParam().variant;
    if (!installed(jvm))
        GTEST_SKIP() << jvm.name << " is not installed";
    TempDir tmp;
    std::string source = std::string(INSTRHOOKS_JAVA_DIR) + "/" + variant.dir;
    std::string original = tmp / "original";
    std::string rewritten = tmp / "rewritten";
    Rewriter rewriter;
    std::vector<std::string> files = listClassFiles(source);
    ASSERT_EQ(3u, files.size()) << join(files);
    for (const std::string &path : files) {
        std::string relative = path.substr(source.size() + 1);
        SCOPED_TRACE(relative);
        Bytes bytes, changed;
        ASSERT_TRUE(readFileBytes(path, bytes));
        if (variant.downgrade) {
            Bytes old;
            ASSERT_TRUE(downgrade(bytes, old));
            bytes = old;
        }
        ASSERT_EQ(variant.expectedMajor, (bytes[6] << 8) | bytes[7]);
        std::string error;
        ASSERT_TRUE(rewriter.rewrite(bytes, changed, error)) << error;
        EXPECT_NE(bytes, changed);
        EXPECT_EQ(variant.expectedMajor, (changed[6] << 8) | changed[7]);
        ASSERT_TRUE(writeFile(original + "/" + relative, bytes));
        ASSERT_TRUE(writeFile(rewritten + "/" + relative, changed));
    }

    // javap reads every rewritten class and sees the hooks.
    std::string listing;
    ASSERT_EQ(0, run("cd " + quote(rewritten) + " && " + jdkToolCommand(jvm.home, "javap") +
                         " -v -c -p Workload.class 'Workload$Point.class' 'Workload$1.class'",
                     listing))
        << listing.substr(0, 2000);
    EXPECT_EQ(std::string::npos, ("\n" + listing).find("\nError:")) << listing.substr(0, 2000);
    EXPECT_NE(std::string::npos, listing.find("com/orvane/agent/InstrumentationCallee.__orvane_enterMethod:(SSS)V"));
    EXPECT_NE(std::string::npos, listing.find("Method __orvane_nmp_nat:()I"));

    std::string before, after;
    ASSERT_EQ(0, runHarness(jvm, "run", original, "Workload", before)) << before;
    ASSERT_EQ(0, runHarness(jvm, "run", rewritten, "Workload", after)) << after;
    Report plain = parseReport(before);
    Report hooked = parseReport(after);
    EXPECT_EQ(0, plain.counters["HOOK-CALLS"]);
    EXPECT_NE(std::string::npos, plain.programOutput.find("main caught deep")) << before;
    EXPECT_EQ(plain.programOutput, hooked.programOutput);
    EXPECT_EQ(0, hooked.counters["MISMATCHES"]) << after;
    EXPECT_EQ(0, hooked.counters["UNWOUND"]) << after;
    EXPECT_EQ(0, hooked.counters["OPEN-STACKS"]) << after;
    EXPECT_EQ(0, hooked.counters["STRAY-HANDLERS"]) << after;
    EXPECT_EQ(3, hooked.counters["REDIRECTED-SLEEPS"]);
    EXPECT_GT(hooked.counters["HINTS"], 0);

    std::map<std::string, std::vector<long long>> byName;
    for (const auto &c : hooked.counts)
        byName[rewriter.nameOf(c.first)] = c.second;
    struct Expected {
        const char *method;
        long long entries, filtered, constructed, arrays;
    } expected[] = {
        {"Workload.main([Ljava/lang/String;)V", 1, 0, 0, 0},
        {"Workload.fib(I)I", 1973 + 177, 0, 0, 0},
        {"Workload.thrower(I)V", 4 + 3, 0, 0, 0},
        {"Workload.catcher()Ljava/lang/String;", 1, 0, 0, 0},
        {"Workload.parse(Ljava/lang/String;)I", 2, 0, 0, 0},
        {"Workload$Point.<init>(II)V", 0, 0, 2, 0},
        {"Workload$Point.<init>(I)V", 0, 0, 1, 0},
        {"Workload$Point.sum()I", 2, 0, 0, 0},
        {"Workload.loop(I)J", 1, 0, 0, 0},
        {"Workload.sparse(I)I", 3, 0, 0, 0},
        {"Workload.dense(I)I", 2, 0, 0, 0},
        {"Workload.arrays(I)I", 1, 0, 0, 3},
        {"Workload.nap()V", 3, 0, 0, 0},
        {"Workload.nat()I", 1, 0, 0, 0},
        {"Workload.callNative()Ljava/lang/String;", 1, 0, 0, 0},
        {"Workload.finallyReturn(I)I", 2, 0, 0, 0},
        {"Workload.<init>()V", 0, 0, 1, 0},
        {"Workload.twice(I)I", 1, 0, 0, 0},
        {"Workload.waitBriefly()Ljava/lang/String;", 1, 0, 0, 0},
        {"Workload.worker()I", 1, 0, 0, 1},
        {"Workload$1.<init>([I)V", 0, 0, 1, 0},
        {"Workload$1.run()V", 1, 0, 0, 0},
        {"java.lang.Integer.parseInt(Ljava/lang/String;)I", 0, 2, 0, 0},
        {"java.lang.Thread.sleep(J)V", 0, 3, 0, 0},
        {"java.lang.Object.wait(J)V", 0, 1, 0, 0},
    };
    for (const Expected &e : expected) {
        SCOPED_TRACE(e.method);
        auto it = byName.find(e.method);
        ASSERT_NE(byName.end(), it) << after;
        EXPECT_EQ((std::vector<long long>{e.entries, e.filtered, e.constructed, e.arrays}), it->second);
    }
    // Nothing else of the workload ran unseen or twice.
    for (const auto &n : byName) {
        if (n.first.compare(0, 8, "Workload") != 0)
            continue;
        bool listed = false;
        for (const Expected &e : expected)
            listed = listed || n.first == e.method;
        EXPECT_TRUE(listed) << n.first << " was reported";
    }
}

INSTANTIATE_TEST_SUITE_P(Jvms, InstrumenterWorkloadTest, testing::ValuesIn(workloadCases()),
                         [](const testing::TestParamInfo<WorkloadCase> &info) {
                             return std::string(info.param.jvm->name) + "_" + info.param.variant->name;
                         });

// Every method of a class probed the way registered probes are: every other
// method by one task that passes 0, the rest by two tasks that pass all
// arguments.
bool rewriteWithProbes(const Bytes &in, Bytes &out)
{
    ClassFile *cf = ClassFileReader::readFromByteArray(in.data(), static_cast<int>(in.size()), nullptr, true, true, nullptr);
    if (cf == nullptr || cf->hasError()) {
        if (cf != nullptr)
            cf->freeInstance();
        return false;
    }
    int length = 0;
    const char *name = cf->getClassName(&length);
    std::string slashName(name, length);
    int n = 0;
    for (MethodInfo *m : cf->getMethods()) {
        std::string method(m->getName(), m->getNameLength());
        std::string descriptor(m->getSignature(), m->getSignatureLength());
        AnnotationInstrumentation::addAnnotationMethod(slashName.c_str(), method.c_str(), descriptor.c_str(), 100, 0, -1);
        if (n++ % 2 == 1)
            AnnotationInstrumentation::addAnnotationMethod(slashName.c_str(), method.c_str(), descriptor.c_str(), 101, 0, -2);
    }
    AnnotationInstrumentation::instrument(nullptr, cf, slashName.c_str(), false, false, false, 1, false);
    char *bytes = nullptr;
    int written = ClassFileWriter::writeToByteArray(&bytes, cf);
    cf->freeInstance();
    if (written <= 0)
        return false;
    out.assign(bytes, bytes + written);
    delete[] bytes;
    return true;
}

const Variant PROBE_VARIANTS[] = {
    {"release17", "workload-17", false, 61},
    {"release8", "workload-8", false, 52},
    {"version48", "workload-7", true, 48},
};

std::vector<WorkloadCase> probeCases()
{
    std::vector<WorkloadCase> cases;
    for (const Jvm &j : JVMS)
        for (const Variant &v : PROBE_VARIANTS)
            cases.push_back({&j, &v});
    return cases;
}

class ProbeWorkloadTest : public testing::TestWithParam<WorkloadCase> {};

TEST_P(ProbeWorkloadTest, ProbedProgramPassesTheVerifierAndRunsAlike)
{
    const Jvm &jvm = *GetParam().jvm;
    const Variant &variant = *GetParam().variant;
    if (!installed(jvm))
        GTEST_SKIP() << jvm.name << " is not installed";
    TempDir tmp;
    std::string source = std::string(INSTRHOOKS_JAVA_DIR) + "/" + variant.dir;
    std::string original = tmp / "original";
    std::string rewritten = tmp / "rewritten";
    Rewriter rewriter; // the instrumenter's sessions, for native wrappers
    AnnotationInstrumentation::reset();
    for (const std::string &path : listClassFiles(source)) {
        std::string relative = path.substr(source.size() + 1);
        SCOPED_TRACE(relative);
        Bytes bytes, changed;
        ASSERT_TRUE(readFileBytes(path, bytes));
        if (variant.downgrade) {
            Bytes old;
            ASSERT_TRUE(downgrade(bytes, old, variant.expectedMajor));
            bytes = old;
        }
        ASSERT_TRUE(rewriteWithProbes(bytes, changed));
        EXPECT_NE(bytes, changed);
        // Class constants need version 49; newer classes keep theirs.
        EXPECT_EQ(variant.expectedMajor < 49 ? 49 : variant.expectedMajor, (changed[6] << 8) | changed[7]);
        ASSERT_TRUE(writeFile(original + "/" + relative, bytes));
        ASSERT_TRUE(writeFile(rewritten + "/" + relative, changed));
    }
    AnnotationInstrumentation::reset();

    std::string before, after;
    ASSERT_EQ(0, runHarness(jvm, "run", original, "Workload", before)) << before;
    ASSERT_EQ(0, runHarness(jvm, "run", rewritten, "Workload", after)) << after;
    Report plain = parseReport(before);
    Report probed = parseReport(after);
    EXPECT_EQ(plain.programOutput, probed.programOutput) << after;
    EXPECT_EQ(std::string::npos, after.find("VerifyError")) << after;
    EXPECT_EQ(0, plain.counters["PROBE-ENTERS"]);
    // fib alone runs 2,150 times; every entry has its exit, normal or thrown.
    EXPECT_GT(probed.counters["PROBE-ENTERS"], 2150);
    EXPECT_EQ(probed.counters["PROBE-ENTERS"], probed.counters["PROBE-EXITS"]) << after;
    EXPECT_EQ(0, probed.counters["PROBE-MISMATCHES"]);
}

INSTANTIATE_TEST_SUITE_P(Jvms, ProbeWorkloadTest, testing::ValuesIn(probeCases()),
                         [](const testing::TestParamInfo<WorkloadCase> &info) {
                             return std::string(info.param.jvm->name) + "_" + info.param.variant->name;
                         });

// The class of `cf` pushed by ldc_w at the start of every method with code,
// the way probes push a class object.
bool insertClassConstantLoads(ClassFile *cf)
{
    int length = 0;
    const char *name = cf->getClassName(&length);
    int classIndex = ConstantPoolUtil::addConstantClassInfo(cf, std::string(name, length).c_str());
    for (MethodInfo *m : cf->getMethods()) {
        CodeAttribute *code = Instrumenter::getCodeAttribute(m);
        if (code == nullptr)
            continue;
        const char *bytes = nullptr;
        int n = code->getCode(&bytes);
        AbstractInstruction *nop = SimpleInstruction::getInstance(0);
        std::vector<AbstractInstruction *> *old = ByteCodeReader::readByteCode(bytes, n, &nop, 1);
        if (old == nullptr)
            return false;
        std::vector<AbstractInstruction *> *pre = instructionVectorPool.getInstance(false);
        pre->push_back(ImmediateShortInstruction::getInstance(19, classIndex)); // ldc_w
        pre->push_back(SimpleInstruction::getInstance(87));                     // pop
        std::vector<CodeInsertion *> *insertions = codeInsertionVectorPool.getInstance(false);
        insertions->push_back(CodeInsertion::getInstance(0, pre, nullptr, false));
        int error = 0;
        std::vector<AbstractInstruction *> *result = CodeInsertion::apply(old, insertions, code, m, 0, -1, &error);
        for (CodeInsertion *c : *insertions)
            c->freeInstance();
        codeInsertionVectorPool.freeInstance(insertions);
        longInstructionVectorPool.freeInstance(old);
        if (result == nullptr)
            return false;
        char *out = nullptr;
        int written = ByteCodeWriter::writeByteCode(&out, result);
        ByteCodeReader::freeInstructions(result);
        code->setCode(out, written);
        code->setMaxStack(code->getMaxStack() + 1);
    }
    return true;
}

class InstrumenterOldClassTest : public testing::TestWithParam<const Jvm *> {};

TEST_P(InstrumenterOldClassTest, ClassConstantLoadsNeedVersion49)
{
    const Jvm &jvm = *GetParam();
    if (!installed(jvm))
        GTEST_SKIP() << jvm.name << " is not installed";
    struct Case {
        const char *name;
        bool raise;
        int expectedMajor;
        bool loads;
    } cases[] = {
        {"version 48 as it is", false, 48, false},
        {"version 48 raised", true, 49, true},
    };
    std::string source = std::string(INSTRHOOKS_JAVA_DIR) + "/workload-7";
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        TempDir tmp;
        for (const std::string &path : listClassFiles(source)) {
            std::string relative = path.substr(source.size() + 1);
            Bytes bytes, old;
            ASSERT_TRUE(readFileBytes(path, bytes));
            ASSERT_TRUE(downgrade(bytes, old, 48));
            ClassFile *cf = ClassFileReader::readFromByteArray(old.data(), static_cast<int>(old.size()), nullptr, true,
                                                               true, nullptr);
            ASSERT_TRUE(cf != nullptr && !cf->hasError());
            ASSERT_TRUE(insertClassConstantLoads(cf));
            if (k.raise)
                Instrumenter::ensureClassConstantLoadable(cf);
            char *out = nullptr;
            int written = ClassFileWriter::writeToByteArray(&out, cf);
            cf->freeInstance();
            ASSERT_GT(written, 0);
            Bytes result(out, out + written);
            delete[] out;
            EXPECT_EQ(k.expectedMajor, (result[6] << 8) | result[7]);
            ASSERT_TRUE(writeFile(tmp / relative, result));
        }
        std::string output;
        ASSERT_EQ(0, runHarness(jvm, "load", tmp.path(), "Workload", output)) << output;
        std::map<std::string, std::string> loaded = loadResults(output);
        ASSERT_EQ(1u, loaded.count("Workload")) << output;
        if (k.loads)
            EXPECT_EQ("OK", loaded["Workload"]);
        else
            EXPECT_NE(std::string::npos, loaded["Workload"].find("VerifyError")) << loaded["Workload"];
    }
}

std::vector<const Jvm *> jvmList()
{
    std::vector<const Jvm *> list;
    for (const Jvm &j : JVMS)
        list.push_back(&j);
    return list;
}

INSTANTIATE_TEST_SUITE_P(Jvms, InstrumenterOldClassTest, testing::ValuesIn(jvmList()),
                         [](const testing::TestParamInfo<const Jvm *> &info) { return std::string(info.param->name); });

struct Jar {
    const char *name;
    const char *path;
};

const Jar JARS[] = {
    {"commonslang3", "/usr/share/java/commons-lang3.jar"},
    {"guava", "/usr/share/java/guava.jar"},
};

struct CorpusCase {
    const Jvm *jvm;
    const Jar *jar;
};

std::vector<CorpusCase> corpusCases()
{
    std::vector<CorpusCase> cases;
    for (const Jvm &j : JVMS)
        for (const Jar &jar : JARS)
            cases.push_back({&j, &jar});
    return cases;
}

void PrintTo(const CorpusCase &c, std::ostream *os) { *os << c.jvm->name << " " << c.jar->name; }

class InstrumenterCorpusTest : public testing::TestWithParam<CorpusCase> {};

TEST_P(InstrumenterCorpusTest, EveryRewrittenClassLoadsLinksAndInitialises)
{
    const Jvm &jvm = *GetParam().jvm;
    const Jar &jar = *GetParam().jar;
    if (!installed(jvm))
        GTEST_SKIP() << jvm.name << " is not installed";
    if (!exists(jar.path))
        GTEST_SKIP() << jar.path << " is not installed (scripts/setup installs it)";
    TempDir tmp;
    std::string original = tmp / "original";
    std::string rewritten = tmp / "rewritten";
    std::string output;
    ASSERT_EQ(0, run("mkdir -p " + quote(original) + " && unzip -q -o " + quote(jar.path) +
                         " '*.class' -x 'META-INF/*' -d " + quote(original),
                     output))
        << output;
    Rewriter rewriter;
    std::vector<std::string> failures;
    size_t classes = 0, changed = 0;
    for (const std::string &path : listClassFiles(original)) {
        std::string relative = path.substr(original.size() + 1);
        Bytes bytes, result;
        std::string error;
        classes++;
        if (!readFileBytes(path, bytes) || !rewriter.rewrite(bytes, result, error)) {
            failures.push_back(relative + ": " + error);
            continue;
        }
        changed += result != bytes;
        if (!writeFile(rewritten + "/" + relative, result))
            failures.push_back(relative + ": cannot write");
    }
    EXPECT_TRUE(failures.empty()) << join(failures);
    EXPECT_GT(changed, classes / 2);

    std::string before, after;
    ASSERT_EQ(0, runHarness(jvm, "load", original, "", before)) << before.substr(0, 2000);
    ASSERT_EQ(0, runHarness(jvm, "load", rewritten, "", after)) << after.substr(0, 2000);
    std::map<std::string, std::string> plain = loadResults(before);
    std::map<std::string, std::string> hooked = loadResults(after);
    ASSERT_FALSE(plain.empty()) << before.substr(0, 2000);
    ASSERT_EQ(plain.size(), hooked.size());
    std::vector<std::string> failed;
    size_t excluded = 0;
    for (const auto &c : plain) {
        const std::string &result = hooked[c.first];
        if (result == "OK")
            continue;
        bool verifier = result.find("VerifyError") != std::string::npos ||
                        result.find("ClassFormatError") != std::string::npos;
        if (!verifier && exceptionOf(result) == exceptionOf(c.second))
            excluded++;
        else
            failed.push_back(c.first + ": " + result);
    }
    EXPECT_TRUE(failed.empty()) << failed.size() << " rewritten classes fail:" << join(failed);
    Report report = parseReport(after);
    EXPECT_GT(report.counters["HOOK-CALLS"], 0);
    EXPECT_EQ(0, report.counters["MISMATCHES"]);
    EXPECT_EQ(0, report.counters["OPEN-STACKS"]);
    printf("%s %s: %zu classes, %zu changed, %zu loaded, %zu fail unmodified too, %lld hook calls\n", jvm.name,
           jar.name, classes, changed, plain.size(), excluded, report.counters["HOOK-CALLS"]);
}

INSTANTIATE_TEST_SUITE_P(Jars, InstrumenterCorpusTest, testing::ValuesIn(corpusCases()),
                         [](const testing::TestParamInfo<CorpusCase> &info) {
                             return std::string(info.param.jvm->name) + "_" + info.param.jar->name;
                         });

} // namespace
