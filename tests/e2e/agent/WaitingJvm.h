// Shared by the tests that run a program under tiagent, which holds the
// program's main until a front end has connected and sent command 1: the
// JDK, a private working directory, a loopback port held for the whole test,
// the program started and the front end connected.
//
// A new suite in each JDK:
//
//   class MyTest : public jvmtest::WaitingJvmTest {};
//   TEST_P(MyTest, Something)
//   {
//       JvmProcess jvm(work.path, "jvm");
//       FrontendClient client(60000);
//       ASSERT_NO_FATAL_FAILURE(startConfigured(jvm, client, PROBE_CLASSES, {"MyProgram"}, {0}));
//       ...
//   }
//   INSTANTIATE_TEST_SUITE_P(Jdks, MyTest, testing::ValuesIn(jvmtest::JDK_HOMES));
//
// The test's target defines TIAGENT_PATH.
#ifndef KVR_TESTS_E2E_AGENT_WAITINGJVM_H
#define KVR_TESTS_E2E_AGENT_WAITINGJVM_H

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "FrontendClient.h"
#include "JvmProcess.h"

namespace jvmtest {

// The JDK homes the suites run in; a JDK that is not installed skips.
const char *const JDK_HOMES[] = {"/usr/lib/jvm/java-17-openjdk-amd64", "/usr/lib/jvm/temurin-25-jdk-amd64"};

// What the agent prints when it holds main for a front end.
constexpr const char *WAITING_FOR_FRONTEND = "Waiting for a connection from the Orvane GUI ...";

// The JDK, the directories and the port of one test, and the JVM started
// under the agent.
class WaitingJvm {
protected:
    // For SetUp: skips the test when `jdkHome` has no java; makes the
    // private tmp (TMPDIR and HOME of the JVM) and holds the port.
    void prepare(const std::string &jdkHome)
    {
        jdk = jdkHome;
        if (!fileExists(jdk + "/bin/java"))
            GTEST_SKIP() << "no JDK at " << jdk;
        ASSERT_FALSE(work.path.empty());
        tmp = work / "tmp";
        mkdir(tmp.c_str(), 0700);
        port = reservation.port;
        ASSERT_NE(port, 0);
    }

    // Starts `program` (main class and arguments, on `classPath`) under the
    // agent, which listens on the test's port on loopback, with `vmOptions`
    // before the agent; waits until the agent waits for the front end, then
    // connects the client and says hello.
    void startWaiting(JvmProcess &jvm, FrontendClient &client, const std::string &classPath, const std::vector<std::string> &program,
                      const std::vector<std::string> &vmOptions = {})
    {
        std::vector<std::string> c = {jdk + "/bin/java", "-XX:-UsePerfData"};
        c.insert(c.end(), vmOptions.begin(), vmOptions.end());
        c.push_back(std::string("-agentpath:") + TIAGENT_PATH + "=port=" + std::to_string(port) + ",address=127.0.0.1");
        c.insert(c.end(), {"-cp", classPath});
        c.insert(c.end(), program.begin(), program.end());
        ASSERT_TRUE(jvm.start(c, tmp, tmp, canIsolateTmp()));
        ASSERT_TRUE(jvm.waitFor(WAITING_FOR_FRONTEND, false, 60)) << jvm.err();
        ASSERT_EQ(client.connect("127.0.0.1", static_cast<uint16_t>(port)), "");
        ASSERT_EQ(client.handshake(), "");
    }

    // startWaiting, then command 1 with `request` ({0}: no new configuration;
    // either way main runs) and a wait for `ready` on the program's output.
    void startConfigured(JvmProcess &jvm, FrontendClient &client, const std::string &classPath,
                         const std::vector<std::string> &program, const std::vector<uint8_t> &request,
                         const std::string &ready = "ready")
    {
        ASSERT_NO_FATAL_FAILURE(startWaiting(jvm, client, classPath, program));
        Reply reply;
        ASSERT_EQ(client.call(1, request, &reply), FrontendClient::OK) << client.lastError();
        ASSERT_TRUE(jvm.waitFor(ready, true, 30)) << jvm.err() << jvm.out();
    }

    std::string jdk;
    WorkDir work;
    std::string tmp;
    PortReservation reservation; // held for the whole test
    int port = 0;
};

// A test in the JDK home that its parameter names (one of JDK_HOMES).
class WaitingJvmTest : public testing::TestWithParam<const char *>, protected WaitingJvm {
protected:
    void SetUp() override { prepare(GetParam()); }
};

} // namespace jvmtest

#endif
