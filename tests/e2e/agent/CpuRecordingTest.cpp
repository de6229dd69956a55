// CPU recording in a real JVM: a program with a known call structure calls
// the agent's entry and exit hooks; the front end switches recording on and
// reads the call tree.
#include <gtest/gtest.h>

#include "CallTreeView.h"
#include "FrontendClient.h"
#include "JvmProcess.h"
#include "Registry.h"
#include "ThreadView.h"

using namespace jvmtest;

namespace {

const char *const JDK = "/usr/lib/jvm/java-17-openjdk-amd64";

class CpuRecordingE2ETest : public testing::Test {
protected:
    void SetUp() override
    {
        if (!fileExists(std::string(JDK) + "/bin/java"))
            GTEST_SKIP() << "no JDK at " << JDK;
        ASSERT_FALSE(work.path.empty());
        tmp = work / "tmp";
        mkdir(tmp.c_str(), 0700);
        port = freePort();
    }

    WorkDir work;
    std::string tmp;
    int port = 0;
};

// The sum of the counts of the nodes of a method.
uint32_t callsOf(const ViewNode &root, uint64_t method)
{
    std::vector<const ViewNode *> nodes;
    CallTreeView::collect(root, &nodes);
    uint32_t calls = 0;
    for (const ViewNode *n : nodes) {
        if (n->method == method)
            calls += n->count;
    }
    return calls;
}

const ViewNode *firstNodeOf(const ViewNode &root, uint64_t method)
{
    std::vector<const ViewNode *> nodes;
    CallTreeView::collect(root, &nodes);
    for (const ViewNode *n : nodes) {
        if (n->method == method)
            return n;
    }
    return nullptr;
}

TEST_F(CpuRecordingE2ETest, CallTreeHoldsTheProgramsCallsWithTheirCounts)
{
    JvmProcess jvm(work.path, "jvm");
    std::vector<std::string> c = {std::string(JDK) + "/bin/java", "-XX:-UsePerfData",
                                  std::string("-agentpath:") + TIAGENT_PATH + "=port=" + std::to_string(port) + ",address=127.0.0.1",
                                  "-cp", PROBE_CLASSES, "CpuWorkload"};
    ASSERT_TRUE(jvm.start(c, tmp, tmp, canIsolateTmp()));
    ASSERT_TRUE(jvm.waitFor("Waiting for a connection from the Orvane GUI ...", false, 60)) << jvm.err();
    FrontendClient client;
    ASSERT_EQ(client.connect("127.0.0.1", static_cast<uint16_t>(port)), "");
    ASSERT_EQ(client.handshake(), "");
    Reply reply;
    ASSERT_EQ(client.call(1, {0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(jvm.waitFor("ready", true, 30)) << jvm.err() << jvm.out();
    EXPECT_NE(jvm.out().find("CpuWorkload$Fib"), std::string::npos) << "the hook id names the class node: " << jvm.out();

    // Before recording was ever on: the empty answer.
    Registry registry;
    CallTreeReply tree;
    std::vector<uint8_t> request = CallTreeView::invocationTreeRequest(0, 1, 10000, 0);
    ASSERT_EQ(client.call(41, request, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(CallTreeView::readInvocationTreeReply(reply.body, client.idWidth(), &registry, &tree));
    EXPECT_EQ(tree.root, nullptr);
    EXPECT_EQ(tree.valueKind, 4u);

    ASSERT_EQ(client.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_EQ(client.call(61, {1}, &reply), FrontendClient::OK) << client.lastError();
    jvm.closeInput();
    ASSERT_TRUE(jvm.waitFor("done 55", true, 30)) << jvm.err() << jvm.out();
    EXPECT_EQ(jvm.err().find("Could not"), std::string::npos) << jvm.err();

    ASSERT_EQ(client.call(41, request, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(CallTreeView::readInvocationTreeReply(reply.body, client.idWidth(), &registry, &tree));
    ASSERT_NE(tree.root, nullptr);
    EXPECT_EQ(tree.valueKind, 1u);
    uint64_t mainId = 0, fibId = 0, sleeperId = 0, waiterId = 0, blockerId = 0;
    std::vector<const ViewNode *> nodes;
    CallTreeView::collect(*tree.root, &nodes);
    for (const ViewNode *n : nodes) {
        const MethodInfo *m = registry.method(n->method);
        if (m == nullptr)
            continue;
        if (m->name == "CpuWorkload")
            mainId = m->id;
        else if (m->name == "CpuWorkload$Fib")
            fibId = m->id;
        else if (m->name == "CpuWorkload$Sleeper")
            sleeperId = m->id;
        else if (m->name == "CpuWorkload$Waiter")
            waiterId = m->id;
        else if (m->name == "CpuWorkload$Blocker")
            blockerId = m->id;
    }
    ASSERT_NE(mainId, 0u) << CallTreeView::format(*tree.root, registry);
    ASSERT_NE(fibId, 0u) << CallTreeView::format(*tree.root, registry);
    ASSERT_NE(sleeperId, 0u) << CallTreeView::format(*tree.root, registry);
    EXPECT_EQ(callsOf(*tree.root, mainId), 1u);
    EXPECT_EQ(callsOf(*tree.root, fibId), 177u) << "fib(10) makes 177 calls";
    EXPECT_EQ(callsOf(*tree.root, sleeperId), 1u);
    ASSERT_NE(waiterId, 0u);
    ASSERT_NE(blockerId, 0u);
    const ViewNode *sleeper = firstNodeOf(*tree.root, sleeperId);
    ASSERT_NE(sleeper, nullptr);
    EXPECT_LT(sleeper->value, 20000) << "the 30 ms sleep is waiting time, not CPU time";

    // Waiting time: the sleep and the 50 ms wait on a monitor.
    CallTreeReply waiting;
    ASSERT_EQ(client.call(41, CallTreeView::invocationTreeRequest(0, 2, 10000, 0), &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(CallTreeView::readInvocationTreeReply(reply.body, client.idWidth(), &registry, &waiting));
    ASSERT_NE(waiting.root, nullptr);
    EXPECT_EQ(waiting.valueKind, 2u);
    const ViewNode *slept = firstNodeOf(*waiting.root, sleeperId);
    const ViewNode *waited = firstNodeOf(*waiting.root, waiterId);
    ASSERT_NE(slept, nullptr) << CallTreeView::format(*waiting.root, registry);
    ASSERT_NE(waited, nullptr) << CallTreeView::format(*waiting.root, registry);
    EXPECT_GE(slept->value, 25000);
    EXPECT_EQ(slept->count, 1u);
    EXPECT_GE(waited->value, 40000);
    EXPECT_LT(waited->value, 10000000);
    EXPECT_EQ(waited->count, 1u);

    // Blocking time: the lock held 100 ms by another thread.
    CallTreeReply blocking;
    ASSERT_EQ(client.call(41, CallTreeView::invocationTreeRequest(0, 3, 10000, 0), &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(CallTreeView::readInvocationTreeReply(reply.body, client.idWidth(), &registry, &blocking));
    ASSERT_NE(blocking.root, nullptr);
    const ViewNode *blocked = firstNodeOf(*blocking.root, blockerId);
    ASSERT_NE(blocked, nullptr) << CallTreeView::format(*blocking.root, registry);
    EXPECT_GE(blocked->value, 50000) << CallTreeView::format(*blocking.root, registry);
    EXPECT_EQ(blocked->count, 1u);
    // The recursion is a chain: its first node holds the one outer call.
    const ViewNode *fib = firstNodeOf(*tree.root, fibId);
    ASSERT_NE(fib, nullptr);
    EXPECT_EQ(fib->count, 1u);
    const ViewNode *main = firstNodeOf(*tree.root, mainId);
    ASSERT_NE(main, nullptr);
    EXPECT_GE(main->value, fib->value) << "values include the callees";

    // Hotspots: every fib call in one row.
    HotspotReply hotspots;
    ASSERT_EQ(client.call(42, CallTreeView::hotspotRequest(1, true), &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(CallTreeView::readHotspotReply(reply.body, client.idWidth(), &registry, &hotspots));
    const HotspotRow *fibRow = nullptr;
    long long listed = 0;
    for (const HotspotRow &row : hotspots.rows) {
        listed += row.value;
        if (row.method == fibId)
            fibRow = &row;
    }
    ASSERT_NE(fibRow, nullptr);
    EXPECT_EQ(fibRow->calls, 177u);
    EXPECT_GT(fibRow->value, 0);
    EXPECT_EQ(hotspots.total, listed) << "every hotspot with time is listed";
    EXPECT_EQ(hotspots.total, main->value) << "self times add up to the whole";

    // Thread dump: main sleeps in CpuWorkload.main; the holder thread has ended.
    ThreadDumpReply dump;
    ASSERT_EQ(client.call(74, {1}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(ThreadView::readThreadDumpReply(reply.body, client.idWidth(), &registry, &dump));
    const ThreadInfo *mainThread = nullptr;
    const ThreadInfo *holder = nullptr;
    for (const ThreadInfo &t : dump.threads) {
        if (t.name == "main")
            mainThread = &t;
        if (t.name == "holder")
            holder = &t;
        EXPECT_EQ(t.name.rfind("_orvane", 0), std::string::npos) << "agent threads are not listed";
    }
    ASSERT_NE(mainThread, nullptr) << ThreadView::format(dump, registry);
    ASSERT_NE(holder, nullptr) << ThreadView::format(dump, registry);
    EXPECT_EQ(mainThread->end, -1);
    EXPECT_EQ(mainThread->group, "main");
    EXPECT_GE(holder->end, holder->start) << "an ended thread keeps its end";
    ASSERT_EQ(dump.traces.count(mainThread->id), 1u) << ThreadView::format(dump, registry);
    EXPECT_EQ(dump.traces.count(holder->id), 0u);
    const StackTraceInfo &stack = dump.traces[mainThread->id].back();
    ASSERT_FALSE(stack.frames.empty());
    EXPECT_EQ(registry.describe(stack.frames.front().first), "CpuWorkload.main") << ThreadView::format(dump, registry);
    EXPECT_NE(stack.frames.front().second, 0) << "the line main runs";
    EXPECT_EQ(registry.describe(stack.frames.back().first), "java.lang.Thread.sleep") << ThreadView::format(dump, registry);

    client.call(46, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
}

} // namespace
