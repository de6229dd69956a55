// Rewrites every class of real jars with entry, exit and catch-all hooks and
// checks that HotSpot's verifier accepts every rewritten class and that javap
// reads them; classes that fail the same way unmodified are named and left out.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "rewrite/HookRewriter.h"
#include "support/JdkCorpus.h"
#include "support/RewrittenClasses.h"
#include "../../../support/JvmTools.h"
#include "../../../support/TempDir.h"

namespace {

struct Jar {
    const char *name;
    const char *path;
};

const Jar JARS[] = {
    {"commons-lang3", "/usr/share/java/commons-lang3.jar"},
    {"guava", "/usr/share/java/guava.jar"},
};

using namespace jvmtools;

const Jvm JVMS[] = {
    {"openjdk-17", jvmtools::JDK17_HOME},
    {"temurin-25", jvmtools::TEMURIN25_HOME},
};

// Class name (dots) -> harness result: "OK" or "<exception>: <message>".
std::map<std::string, std::string> loadAll(const Jvm &jvm, const std::string &dir,
                                           const std::vector<std::string> &names, std::string &output)
{
    std::string command = javaCommand(jvm.home) + " -Xverify:all -Xshare:off -cp " +
                          quote(VERIFY_HARNESS_DIR) + " VerifyHarness " + quote(dir);
    for (const std::string &n : names)
        command += " " + quote(n);
    if (run(command, output) != 0)
        return {};
    return loadResults(output);
}

struct RewrittenJar {
    std::string original;                 // extracted classes
    std::string rewritten;                // the same classes rewritten
    std::vector<std::string> classFiles;  // relative paths
    int methods = 0;
    int rewrittenMethods = 0;
    std::vector<std::string> failures;    // classes or methods the rewriter refused
};

class RewriteVerifyTest : public testing::Test {
protected:
    static TempDir *tmp;
    static std::map<std::string, RewrittenJar> *jars;

    static void SetUpTestSuite()
    {
        tmp = new TempDir();
        jars = new std::map<std::string, RewrittenJar>();
        for (const Jar &jar : JARS) {
            if (!exists(jar.path))
                continue;
            RewrittenJar &r = (*jars)[jar.name];
            r.original = *tmp / (std::string(jar.name) + "/original");
            r.rewritten = *tmp / (std::string(jar.name) + "/rewritten");
            std::string output;
            if (run("mkdir -p " + quote(r.original) + " && unzip -q -o " + quote(jar.path) + " '*.class' -x 'META-INF/*' -d " +
                        quote(r.original),
                    output) != 0) {
                r.failures.push_back("unzip: " + output);
                continue;
            }
            for (const std::string &path : listClassFiles(r.original)) {
                std::string relative = path.substr(r.original.size() + 1);
                r.classFiles.push_back(relative);
                std::vector<unsigned char> bytes;
                if (!readFileBytes(path, bytes)) {
                    r.failures.push_back(relative + ": unreadable");
                    continue;
                }
                HookRewriteResult result = rewriteClassWithHooks(bytes, HookRewriteOptions());
                r.methods += result.methods;
                r.rewrittenMethods += result.rewritten;
                for (const std::string &m : result.refused)
                    r.failures.push_back(relative + " " + m);
                if (!result.ok) {
                    r.failures.push_back(relative + ": " + result.error);
                    continue;
                }
                if (!writeFile(r.rewritten + "/" + relative, result.bytes))
                    r.failures.push_back(relative + ": cannot write");
            }
        }
    }

    static void TearDownTestSuite()
    {
        delete jars;
        delete tmp;
    }

    void SetUp() override
    {
        if (jars->empty())
            GTEST_SKIP() << "none of the jars is installed (scripts/setup installs them)";
    }
};

TempDir *RewriteVerifyTest::tmp = nullptr;
std::map<std::string, RewrittenJar> *RewriteVerifyTest::jars = nullptr;

std::string join(const std::vector<std::string> &items)
{
    std::string s;
    for (const std::string &i : items)
        s += "\n  " + i;
    return s;
}

} // namespace

TEST_F(RewriteVerifyTest, EveryMethodOfEveryClassIsRewritten)
{
    for (const auto &j : *jars) {
        SCOPED_TRACE(j.first);
        EXPECT_FALSE(j.second.classFiles.empty());
        EXPECT_GT(j.second.rewrittenMethods, 0);
        EXPECT_TRUE(j.second.failures.empty()) << j.second.failures.size() << " refused:" << join(j.second.failures);
        printf("%s: %zu classes, %d methods with code, %d rewritten\n", j.first.c_str(), j.second.classFiles.size(),
               j.second.methods, j.second.rewrittenMethods);
    }
}

TEST_F(RewriteVerifyTest, EveryRewrittenClassPassesTheVerifier)
{
    for (const Jvm &jvm : JVMS) {
        if (!installed(jvm))
            continue;
        for (const auto &j : *jars) {
            SCOPED_TRACE(std::string(jvm.name) + " " + j.first);
            std::string originalOutput, rewrittenOutput;
            std::map<std::string, std::string> original = loadAll(jvm, j.second.original, {}, originalOutput);
            std::map<std::string, std::string> rewritten = loadAll(jvm, j.second.rewritten, {}, rewrittenOutput);
            ASSERT_FALSE(original.empty()) << originalOutput.substr(0, 2000);
            ASSERT_EQ(original.size(), rewritten.size()) << rewrittenOutput.substr(0, 2000);
            EXPECT_NE(std::string::npos, rewrittenOutput.find("HOOK-CALLS ")) << "the hooks never ran";
            EXPECT_EQ(std::string::npos, rewrittenOutput.find("HOOK-CALLS 0\n")) << "the hooks never ran";
            std::vector<std::string> failed, excluded;
            for (const auto &c : original) {
                const std::string &after = rewritten[c.first];
                bool verifierError = after.find("VerifyError") != std::string::npos ||
                                     after.find("ClassFormatError") != std::string::npos;
                if (after == "OK")
                    continue;
                if (!verifierError && exceptionOf(after) == exceptionOf(c.second))
                    excluded.push_back(c.first + " (also unmodified: " + c.second + ")");
                else
                    failed.push_back(c.first + ": " + after);
            }
            EXPECT_TRUE(failed.empty()) << failed.size() << " rewritten classes fail:" << join(failed);
            printf("%s %s: %zu classes loaded, %zu failed, %zu excluded (fail unmodified too):%s\n", jvm.name,
                   j.first.c_str(), original.size(), failed.size(), excluded.size(), join(excluded).c_str());
        }
    }
}

TEST_F(RewriteVerifyTest, JavapReadsEveryRewrittenClass)
{
    for (const auto &j : *jars) {
        SCOPED_TRACE(j.first);
        std::string listing = *tmp / (j.first + ".javap");
        std::string command = "cd " + quote(j.second.rewritten) + " && " +
                              jdkToolCommand(JVMS[0].home, "javap") + " -v -c -p";
        for (const std::string &c : j.second.classFiles)
            command += " " + quote(c);
        std::string output;
        EXPECT_EQ(0, run(command + " > " + quote(listing), output)) << output.substr(0, 2000);
        EXPECT_EQ("", output.substr(0, 2000));
        // javap reports a class it cannot read inside its listing.
        FILE *f = fopen(listing.c_str(), "r");
        ASSERT_NE(nullptr, f);
        char line[4096];
        int classes = 0, enterCalls = 0, exitCalls = 0, catchAll = 0;
        std::vector<std::string> errors;
        while (fgets(line, sizeof line, f) != nullptr) {
            std::string l(line);
            if (l.compare(0, 10, "Classfile ") == 0)
                classes++;
            else if (l.compare(0, 6, "Error:") == 0 || l.compare(0, 6, "error:") == 0)
                errors.push_back(l);
            else if (l.find("// Method VerifyHook.enter:(SS)V") != std::string::npos)
                enterCalls++;
            else if (l.find("// Method VerifyHook.exit:(SS)V") != std::string::npos)
                exitCalls++;
            else if (l.find("   Class java/lang/Throwable") != std::string::npos)
                catchAll++;
        }
        fclose(f);
        EXPECT_EQ(j.second.classFiles.size(), static_cast<size_t>(classes));
        EXPECT_TRUE(errors.empty()) << join(errors);
        // the hooks and the catch-all handlers are really there
        EXPECT_GT(enterCalls, 0);
        EXPECT_GE(exitCalls, j.second.rewrittenMethods);
        EXPECT_GT(catchAll, 0);
        printf("%s: javap read %d classes: %d entry hooks, %d exit hooks, %d catch-all entries\n", j.first.c_str(),
               classes, enterCalls, exitCalls, catchAll);
    }
}

TEST_F(RewriteVerifyTest, RewrittenMethodsWithoutFramesFailTheVerifier)
{
    auto j = jars->find("commons-lang3");
    if (j == jars->end())
        GTEST_SKIP() << "commons-lang3 is not installed";
    const std::string relative = "org/apache/commons/lang3/BooleanUtils.class";
    std::vector<unsigned char> bytes;
    ASSERT_TRUE(readFileBytes(j->second.original + "/" + relative, bytes));
    HookRewriteOptions broken;
    broken.dropFrames = true;
    HookRewriteResult result = rewriteClassWithHooks(bytes, broken);
    ASSERT_TRUE(result.ok);
    std::string dir = *tmp / "broken";
    ASSERT_TRUE(writeFile(dir + "/" + relative, result.bytes));
    for (const Jvm &jvm : JVMS) {
        if (!installed(jvm))
            continue;
        SCOPED_TRACE(jvm.name);
        std::string output;
        std::map<std::string, std::string> loaded =
            loadAll(jvm, dir, {"org.apache.commons.lang3.BooleanUtils"}, output);
        ASSERT_EQ(1u, loaded.size()) << output;
        EXPECT_EQ("java.lang.VerifyError", exceptionOf(loaded.begin()->second)) << loaded.begin()->second;
    }
}
