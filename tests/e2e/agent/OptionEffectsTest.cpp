// Options of the agent that change what it records, in each JDK: what it asks
// the VM about a contended monitor, its class (disable-monitor-class-info)
// and its owner (disable-monitor-owner-info); and whether the sampler counts
// the agent's own classes (sample-agent); and the JNI array functions the
// agent intercepts by default (jniInterception).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "CallTreeView.h"
#include "FrontendClient.h"
#include "HeapView.h"
#include "Registry.h"
#include "TextReport.h"
#include "JdkTest.h"
#include "ReplyBody.h"

using namespace jvmtest;

namespace {


// Whether a finished blocking event of command 35 (at least 50 ms) names an
// owner; *found says whether there was one.
bool blockHasOwner(const std::vector<uint8_t> &body, size_t idWidth, bool *found)
{
    BodyReader r{body};
    *found = false;
    bool owner = false;
    while (!r.bad && r.take(1) == 1) {
        int type = static_cast<int>(r.take(1));
        r.take(8 + 1 + 4 + idWidth);
        uint32_t duration = static_cast<uint32_t>(r.take(4));
        r.take(idWidth);
        bool hasOwner = r.take(idWidth) != 0;
        for (int stack = 0; stack < 2 && !r.bad; stack++) {
            while (!r.bad && r.take(1) == 1)
                r.take(idWidth);
        }
        if (type == 1 && duration >= 50000 && !*found) {
            *found = true;
            owner = hasOwner;
        }
    }
    return owner;
}

// The class names of the per-class monitor usage (command 37 at class level).
std::vector<std::string> monitorClasses(const std::vector<uint8_t> &body)
{
    BodyReader r{body};
    std::vector<std::string> names;
    while (!r.bad && r.take(1) == 1) {
        names.push_back(r.str());
        r.take(4 + 8 + 4 + 8 + 4 + 8 + 8);
    }
    return names;
}

class OptionEffectsTest : public JdkTest {
protected:
    PortReservation reservation; // held for the whole test
};

TEST_P(OptionEffectsTest, TheOptionsLeaveOutTheMonitorsClassOrOwner)
{
    if (!ready())
        return;
    struct Case {
        const char *option;
        bool owner;
        bool objectClass;
    };
    const Case cases[] = {
        {"", true, true},
        {",disable-monitor-owner-info", false, true},
        {",disable-monitor-class-info", true, false},
    };
    for (const Case &c : cases) {
        std::string name = c.option[0] ? c.option + 1 : "no-option";
        SCOPED_TRACE(name);
        JvmProcess jvm(work.path, name);
        std::vector<std::string> command = {jdk + "/bin/java", "-XX:-UsePerfData",
                                            std::string("-agentpath:") + TIAGENT_PATH + "=port=" + std::to_string(reservation.port) +
                                                ",address=127.0.0.1" + c.option,
                                            "-cp", PROBE_CLASSES, "CpuWorkload"};
        ASSERT_TRUE(jvm.start(command, tmp, tmp, canIsolateTmp()));
        ASSERT_TRUE(jvm.waitFor("Waiting for a connection from the Orvane GUI ...", false, 60)) << jvm.err();
        FrontendClient client(60000);
        ASSERT_EQ(client.connect("127.0.0.1", static_cast<uint16_t>(reservation.port)), "");
        ASSERT_EQ(client.handshake(), "");
        Reply reply;
        ASSERT_EQ(client.call(1, {0}, &reply), FrontendClient::OK) << client.lastError();
        ASSERT_TRUE(jvm.waitFor("ready", true, 60)) << jvm.err() << jvm.out();
        ASSERT_EQ(client.call(73, {1, 0, 0, 0, 0, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
        ASSERT_EQ(client.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
        ASSERT_EQ(client.call(61, {1}, &reply), FrontendClient::OK) << client.lastError();
        jvm.closeInput();
        ASSERT_TRUE(jvm.waitFor("done 55", true, 60)) << jvm.err() << jvm.out();

        ASSERT_EQ(client.call(35, {}, &reply), FrontendClient::OK) << client.lastError();
        bool found = false;
        bool owner = blockHasOwner(reply.body, client.idWidth(), &found);
        ASSERT_TRUE(found) << "the main thread blocked on the held lock";
        EXPECT_EQ(owner, c.owner);
        ASSERT_EQ(client.call(37, {0, 0, 0, 3}, &reply), FrontendClient::OK) << client.lastError();
        std::vector<std::string> classes = monitorClasses(reply.body);
        bool object = std::any_of(classes.begin(), classes.end(), [](const std::string &n) { return n.find("Object") != std::string::npos; });
        EXPECT_EQ(object, c.objectClass) << ::testing::PrintToString(classes);
        client.call(46, {}, &reply);
        ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
    }
}

// A program whose loop runs inside a class of the agent's packages, which
// calls back into the program: sampled, the agent's frame and what it calls
// count only with sample-agent.
TEST_P(OptionEffectsTest, SampleAgentCountsTheAgentsClassesInSampledStacks)
{
    if (!ready())
        return;
    const std::string xml = "<config><session id=\"2\" instrumentationType=\"3\" samplingFrequency=\"5\"/></config>";
    struct Case {
        const char *option;
        bool agentFrames;
    };
    const Case cases[] = {{"", false}, {",sample-agent", true}};
    for (const Case &c : cases) {
        std::string name = c.option[0] ? c.option + 1 : "no-option";
        SCOPED_TRACE(name);
        JvmProcess jvm(work.path, name);
        std::vector<std::string> command = {jdk + "/bin/java", "-XX:-UsePerfData",
                                            std::string("-agentpath:") + TIAGENT_PATH + "=port=" + std::to_string(reservation.port) +
                                                ",address=127.0.0.1" + c.option,
                                            "-cp", SAMPLE_AGENT_CLASSES, "SampledAgentCalls"};
        ASSERT_TRUE(jvm.start(command, tmp, tmp, canIsolateTmp()));
        ASSERT_TRUE(jvm.waitFor("Waiting for a connection from the Orvane GUI ...", false, 60)) << jvm.err();
        FrontendClient client(60000);
        ASSERT_EQ(client.connect("127.0.0.1", static_cast<uint16_t>(reservation.port)), "");
        ASSERT_EQ(client.handshake(), "");
        Reply reply;
        ASSERT_EQ(client.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
        ASSERT_EQ(client.call(1, sessionRequest(xml, 2), &reply), FrontendClient::OK) << client.lastError();
        ASSERT_TRUE(jvm.waitFor("spinning", true, 60)) << jvm.err();

        // Until main has 300 ms of samples.
        Registry registry;
        std::vector<std::string> methods;
        int64_t mainTime = 0;
        for (int i = 0; i < 600 && mainTime < 300000; i++) {
            ASSERT_EQ(client.call(41, CallTreeView::invocationTreeRequest(0, 1, 10000, 0), &reply), FrontendClient::OK);
            CallTreeReply tree;
            ASSERT_TRUE(CallTreeView::readInvocationTreeReply(reply.body, client.idWidth(), &registry, &tree));
            methods.clear();
            if (tree.root != nullptr) {
                std::vector<const ViewNode *> nodes;
                CallTreeView::collect(*tree.root, &nodes);
                for (const ViewNode *n : nodes) {
                    methods.push_back(registry.describe(n->method));
                    if (methods.back() == "SampledAgentCalls.main")
                        mainTime = std::max(mainTime, n->value);
                }
            }
            if (mainTime < 300000)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ASSERT_GE(mainTime, 300000) << ::testing::PrintToString(methods);
        auto has = [&methods](const char *name) { return std::find(methods.begin(), methods.end(), name) != methods.end(); };
        EXPECT_EQ(has("com.orvane.api.sampled.Busy.spin"), c.agentFrames) << ::testing::PrintToString(methods);
        EXPECT_EQ(has("SampledAgentCalls.work"), c.agentFrames) << ::testing::PrintToString(methods);
        client.call(46, {}, &reply);
        ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
    }
}

// Arrays that the JDK's native code makes through JNI (File.list's String[])
// are recorded: the agent intercepts JNI's array functions.
TEST_P(OptionEffectsTest, ArraysMadeThroughJniAreRecorded)
{
    if (!ready())
        return;
    JvmProcess jvm(work.path, "jvm");
    std::vector<std::string> command = {jdk + "/bin/java", "-XX:-UsePerfData",
                                        std::string("-agentpath:") + TIAGENT_PATH + "=port=" + std::to_string(reservation.port) +
                                            ",address=127.0.0.1",
                                        "-cp", PROBE_CLASSES, "JniArrays", work.path};
    ASSERT_TRUE(jvm.start(command, tmp, tmp, canIsolateTmp()));
    ASSERT_TRUE(jvm.waitFor("Waiting for a connection from the Orvane GUI ...", false, 60)) << jvm.err();
    FrontendClient client(60000);
    ASSERT_EQ(client.connect("127.0.0.1", static_cast<uint16_t>(reservation.port)), "");
    ASSERT_EQ(client.handshake(), "");
    Reply reply;
    ASSERT_EQ(client.call(1, {0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(jvm.waitFor("ready", true, 60)) << jvm.err();
    ASSERT_EQ(client.call(49, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(jvm.writeInput("\n"));
    ASSERT_TRUE(jvm.waitFor("listed", true, 60)) << jvm.err();

    ASSERT_EQ(client.call(3, {0}, &reply), FrontendClient::OK) << client.lastError();
    Registry registry;
    HeapUsageReply usage;
    ASSERT_TRUE(HeapView::readHeapUsageReply(reply.body, client.idWidth(), &registry, &usage));
    int64_t stringArrays = 0;
    for (const std::vector<HeapEntry> *set : {&usage.live, &usage.collected}) {
        for (const HeapEntry &e : *set) {
            const ClassInfo *c = e.classId != 0 ? registry.classOf(e.classId) : nullptr;
            // "java.lang.String[]" or "[Ljava.lang.String;", as the agent names it.
            if (c != nullptr && c->name.find("java.lang.String") != std::string::npos && c->name.find('[') != std::string::npos)
                stringArrays += e.count;
        }
    }
    EXPECT_GE(stringArrays, 2000) << TextReport::heapList("live", usage.live, registry)
                                  << TextReport::heapList("collected", usage.collected, registry);
    client.call(46, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
}

INSTANTIATE_TEST_SUITE_P(Jdks, OptionEffectsTest, testing::ValuesIn(JDKS), jdkTestName);

} // namespace
