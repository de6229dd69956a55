// The agent's small natives in real JVMs: under -agentpath they answer from
// the live session, and the method hooks ignore ids that name no method (0
// included) with one line; loaded with System.load alone they say once that the
// library was not initialised and answer 0 or null; getSnapshotId writes
// host-order bytes and refuses arrays that are too short.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "JvmProcess.h"
#include "../../support/LoopbackSocket.h"

using namespace jvmtest;

namespace {

const char *const JDKS[] = {"/usr/lib/jvm/java-17-openjdk-amd64", "/usr/lib/jvm/temurin-25-jdk-amd64"};

size_t occurrences(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

class CoreNativesE2ETest : public testing::TestWithParam<const char *> {
protected:
    void SetUp() override
    {
        jdk = GetParam();
        if (!fileExists(jdk + "/bin/java"))
            GTEST_SKIP() << "no JDK at " << jdk;
        ASSERT_FALSE(work.path.empty());
        tmp = work / "tmp";
        mkdir(tmp.c_str(), 0700);
    }

    std::string jdk;
    WorkDir work;
    std::string tmp;
};

TEST_P(CoreNativesE2ETest, UnderTheAgentTheNativesAnswerFromTheSession)
{
    JvmProcess jvm(work.path, "jvm");
    loopbackSocket::PortReservation held;
    int port = held.port;
    ASSERT_NE(port, 0);
    std::vector<std::string> c = {jdk + "/bin/java", "-XX:-UsePerfData",
                                  std::string("-agentpath:") + TIAGENT_PATH + "=port=" + std::to_string(port) +
                                      ",address=127.0.0.1,nowait",
                                  "-cp", PROBE_CLASSES, "CoreNatives"};
    ASSERT_TRUE(jvm.start(c, tmp, tmp, canIsolateTmp()));
    ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
    std::string out = jvm.out();
    // 0x01020304 in host (little-endian) order, the rest untouched.
    EXPECT_NE(out.find("snapshotId 4 040302010000\n"), std::string::npos) << out;
    EXPECT_NE(out.find("short 0 0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("slept true counter true\n"), std::string::npos) << out;
    EXPECT_NE(out.find("port " + std::to_string(port) + " offline false jvmti11 true config false pid 0\n"),
              std::string::npos)
        << out;
    // Without a configuration there is no script directory.
    EXPECT_NE(out.find("scriptDir null\n"), std::string::npos) << out;
    EXPECT_NE(out.find("done\n"), std::string::npos) << out << jvm.err();
    EXPECT_EQ(occurrences(jvm.err() + out, "unknown writer handle 12345"), 1u) << jvm.err();
    EXPECT_EQ(occurrences(jvm.err() + out, "has not been initialized"), 0u);
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
    EXPECT_NE(out.find("hooks passed\n"), std::string::npos) << out << jvm.err();
    EXPECT_EQ(occurrences(jvm.err() + out, "unknown method id"), 1u) << jvm.err();
    EXPECT_EQ(occurrences(jvm.err() + out, "Hook calls with unknown method id 0 (and any other unknown id) are ignored."), 1u)
        << jvm.err();
    EXPECT_EQ(occurrences(jvm.err() + out, "Assertion failed"), 0u) << jvm.err();
}

TEST_P(CoreNativesE2ETest, WithoutTheAgentPathTheNativesSayItOnceAndAnswerNothing)
{
    JvmProcess jvm(work.path, "jvm");
    std::vector<std::string> c = {jdk + "/bin/java", "-XX:-UsePerfData", "-cp",
                                  std::string(PROBE_CLASSES) + ":" + AGENT_JAR, "CoreNatives", TIAGENT_PATH};
    ASSERT_TRUE(jvm.start(c, tmp, tmp, canIsolateTmp()));
    ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
    std::string out = jvm.out();
    std::string all = jvm.err() + out;
    EXPECT_NE(out.find("snapshotId 4 040302010000\n"), std::string::npos) << out;
    EXPECT_NE(out.find("port 0 offline false jvmti11 false config false pid "), std::string::npos) << out;
    EXPECT_EQ(out.find("pid 0\n"), std::string::npos) << "outside a JVMTI agent the process id: " << out;
    EXPECT_NE(out.find("scriptDir null\n"), std::string::npos) << out;
    EXPECT_NE(out.find("done\n"), std::string::npos) << all;
    EXPECT_EQ(occurrences(all, "The native library has not been initialized."), 1u) << all;
    EXPECT_EQ(occurrences(all, "Profiling commands will be ignored."), 1u) << all;
    EXPECT_EQ(occurrences(all, "Did you forget the -agentpath parameter?"), 1u) << all;
}

INSTANTIATE_TEST_SUITE_P(Jdks, CoreNativesE2ETest, testing::ValuesIn(JDKS));

} // namespace
