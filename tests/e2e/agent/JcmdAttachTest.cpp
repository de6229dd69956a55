// tiagent loaded into a running JVM with jcmd, in each JDK: what it knows of
// the program that ran before it came.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <chrono>
#include <fstream>
#include <thread>

#include "FrontendClient.h"
#include "JdkTest.h"
#include "Registry.h"
#include "ThreadView.h"
#include "WireReader.h"

using namespace jvmtest;

namespace {

class JcmdAttachTest : public JdkTest {
protected:
    void SetUp() override
    {
        JdkTest::SetUp();
        if (!ready())
            return;
        if (!canIsolateTmp())
            GTEST_SKIP() << NOT_ROOT_PRIVATE_TMP << " to attach";
        port = reservation.port;
        ASSERT_NE(port, 0);
    }

    // The probe program, running before any agent, then the agent loaded
    // with jcmd with `options`; connects `client` once the agent listens.
    void attach(JvmProcess &jvm, const std::string &options, FrontendClient &client)
    {
        ASSERT_TRUE(jvm.start({jdk + "/bin/java", "-XX:-UsePerfData", "-cp", PROBE_CLASSES, "AgentProbe", "wait-for-attach", "hold"}, tmp, tmp,
                              true));
        ASSERT_TRUE(jvm.waitFor("main started", true, 60)) << jvm.err();
        std::string pid = std::to_string(jvm.getPid());
        JvmProcess jcmd(work.path, "jcmd");
        ASSERT_TRUE(jcmd.start({"nsenter", "--target", pid, "--mount", "--", jdk + "/bin/jcmd", "-J-XX:-UsePerfData", pid, "JVMTI.agent_load",
                                "\"" + std::string(TIAGENT_PATH) + "\"", "\"" + options + "\""},
                               tmp, tmp, false));
        ASSERT_TRUE(jcmd.waitExit(60));
        ASSERT_EQ(jcmd.exitCode(), 0) << jcmd.out() << jcmd.err();
        ASSERT_TRUE(jvm.waitFor("Orvane> Using address 127.0.0.1.", false, 60)) << jvm.err();
        for (int i = 0; i < 200 && !canConnect(port); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_EQ(client.connect("127.0.0.1", static_cast<uint16_t>(port)), "");
        ASSERT_EQ(client.handshake(), "");
    }

    std::string portOption() const { return "port=" + std::to_string(port) + ",address=127.0.0.1"; }

    PortReservation reservation; // held for the whole test
    int port = 0;
};

std::vector<std::string> namesOf(const std::vector<ThreadInfo> &threads)
{
    std::vector<std::string> names;
    for (const ThreadInfo &t : threads)
        names.push_back(t.name);
    return names;
}

bool contains(const std::vector<std::string> &names, const std::string &name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

// The threads that ran when the agent came are the program's threads too:
// the thread descriptions (11) and the thread dump (74) list them, without
// the VM's service threads; the VM start time is known from then on.
TEST_P(JcmdAttachTest, ThreadsRunningBeforeTheAttachAreListed)
{
    if (!ready())
        return;
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(attach(jvm, portOption(), client));

    Registry registry;
    Reply reply;
    ASSERT_EQ(client.call(11, {}, &reply), FrontendClient::OK) << client.lastError();
    std::vector<ThreadInfo> threads;
    WireReader r(reply.body);
    ASSERT_TRUE(ThreadView::readThreadDescriptions(r, client.idWidth(), &registry, &threads));
    std::vector<std::string> described = namesOf(threads);
    EXPECT_TRUE(contains(described, "main")) << ::testing::PrintToString(described);
    EXPECT_FALSE(contains(described, "Attach Listener")) << "a thread of group system";
    EXPECT_GT(reply.header.vmStartTime, 0) << "the first profiled thread marks the VM's start";

    ASSERT_EQ(client.call(74, {1}, &reply), FrontendClient::OK) << client.lastError();
    ThreadDumpReply dump;
    ASSERT_TRUE(ThreadView::readThreadDumpReply(reply.body, client.idWidth(), &registry, &dump));
    EXPECT_TRUE(contains(namesOf(dump.threads), "main")) << ThreadView::format(dump, registry);

    client.close();
    jvm.closeInput();
    ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
    EXPECT_NE(jvm.out().find("main done"), std::string::npos) << jvm.out();
}

// jcmd hands the agent its options as one string: config= and id= name the
// session configuration, which the agent reads at once (as with nowait), so
// the first front end finds a configured session; its temporary copy goes
// with the VM.
TEST_P(JcmdAttachTest, AConfigurationFileNamedAtTheAttachIsRead)
{
    if (!ready())
        return;
    std::string config = work / "config.xml";
    {
        std::ofstream out(config);
        out << "<config><session id=\"4\" instrumentationType=\"3\" samplingFrequency=\"5\"/></config>";
    }
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(attach(jvm, portOption() + ",config=" + config + ",id=4", client));
    EXPECT_NE(jvm.err().find("Orvane> Using config file " + config + " (id: 4)"), std::string::npos) << jvm.err();

    Reply reply;
    ASSERT_EQ(client.call(44, {0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_GE(reply.body.size(), 4u);
    EXPECT_EQ(reply.body[3], 2u) << "a configured session";
    ASSERT_TRUE(jvm.waitFor("Orvane> Reconnection.", false, 10)) << jvm.err();
    ASSERT_EQ(client.call(45, {}, &reply), FrontendClient::OK) << client.lastError();
    std::string sent(reply.body.begin(), reply.body.end());
    EXPECT_NE(sent.find("samplingFrequency=\"5\""), std::string::npos) << "command 45 sends the configuration read";

    client.close();
    jvm.closeInput();
    ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
    for (const std::string &name : listDir(tmp))
        EXPECT_NE(name.rfind("ovc", 0), 0u) << "the configuration's temporary copy " << name << " stayed";
}

// The JDK classes the agent changes at class level (Object, Thread,
// LockSupport, ...) were loaded before it came: the attach itself
// retransforms them, before any front end sends a configuration, and the
// program runs on.
TEST_P(JcmdAttachTest, TheAttachRetransformsTheBaseClassesLoadedBefore)
{
    if (!ready())
        return;
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(attach(jvm, portOption() + ",verbose-instr", client));
    ASSERT_TRUE(jvm.waitFor("Orvane> Base classes instrumented.", false, 60)) << jvm.err();
    std::string log = jvm.err();
    const std::string counted = "Orvane> Retransforming ";
    size_t at = log.find(counted);
    ASSERT_NE(at, std::string::npos) << log;
    int count = atoi(log.c_str() + at + counted.size());
    EXPECT_GE(count, 3) << "at least Object, Thread and LockSupport: " << log;
    EXPECT_NE(log.find(" base class files.", at), std::string::npos) << log;
    EXPECT_NE(log.find("Orvane> PARK2: java/util/concurrent/locks/LockSupport"), std::string::npos) << log;
    EXPECT_EQ(log.find("could not retransform"), std::string::npos) << log;
    EXPECT_EQ(log.find("Orvane> Updating configuration."), std::string::npos) << "no configuration was sent";

    client.close();
    jvm.closeInput();
    ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
    EXPECT_NE(jvm.out().find("main done"), std::string::npos) << jvm.out();
}

INSTANTIATE_TEST_SUITE_P(Jdks, JcmdAttachTest, testing::ValuesIn(JDKS), jdkTestName);

} // namespace
