// CPU recording in a real JVM: a program with a known call structure calls
// the agent's entry and exit hooks; the front end switches recording on and
// reads the call tree.
#include <gtest/gtest.h>

#include <unistd.h>

#include <map>
#include <set>

#include "CallTreeView.h"
#include "FrontendClient.h"
#include "JvmProcess.h"
#include "WaitingJvm.h"
#include "ReplyBody.h"
#include "Registry.h"
#include "ThreadView.h"
#include "WireReader.h"

using namespace jvmtest;

namespace {

const char *const JDK = "/usr/lib/jvm/java-17-openjdk-amd64";

// In JDK 17 only.
class CpuRecordingE2ETest : public testing::Test, protected WaitingJvm {
protected:
    void SetUp() override { prepare(JDK); }
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

using jvmtest::BodyReader;

struct MonitorEvent {
    int type;
    uint32_t displayId;
    uint32_t duration;
    bool hasOwner;
    int threadFrames;
};

// The finished events of a command 35 reply (IDs in native byte order are only skipped).
std::vector<MonitorEvent> readFinishedMonitorEvents(const std::vector<uint8_t> &body, int idWidth)
{
    std::vector<MonitorEvent> events;
    BodyReader r{body};
    while (!r.bad && r.take(1) == 1) {
        MonitorEvent e;
        e.type = static_cast<int>(r.take(1));
        r.take(8);
        r.take(1);
        e.displayId = static_cast<uint32_t>(r.take(4));
        r.take(static_cast<size_t>(idWidth));
        e.duration = static_cast<uint32_t>(r.take(4));
        r.take(static_cast<size_t>(idWidth));
        e.hasOwner = r.take(static_cast<size_t>(idWidth)) != 0;
        e.threadFrames = 0;
        for (int stack = 0; stack < 2 && !r.bad; stack++) {
            while (!r.bad && r.take(1) == 1) {
                r.take(static_cast<size_t>(idWidth));
                if (stack == 0)
                    e.threadFrames++;
            }
        }
        events.push_back(e);
    }
    return events;
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
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(startWaiting(jvm, client, PROBE_CLASSES, {"CpuWorkload"}));
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

    // Monitor recording with zero thresholds: every event is kept.
    ASSERT_EQ(client.call(73, {1, 0, 0, 0, 0, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
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
    // The whole: the thread's outermost frame, which holds main from the
    // hook that read the stack when recording started.
    long long whole = 0;
    for (const auto &top : tree.root->children)
        whole += top->value;
    EXPECT_GE(whole, main->value);
    EXPECT_EQ(hotspots.total, whole) << "self times add up to the whole";

    // Method graph: the recursion's calls on its own edge.
    MethodGraphReply graph;
    ASSERT_EQ(client.call(50, CallTreeView::methodGraphRequest(1), &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(CallTreeView::readMethodGraphReply(reply.body, client.idWidth(), &registry, &graph));
    const MethodGraphEdgeRow *recursion = nullptr;
    const MethodGraphEdgeRow *fromMain = nullptr;
    for (const MethodGraphEdgeRow &e : graph.edges) {
        if (e.caller == fibId && e.callee == fibId)
            recursion = &e;
        if (e.caller == mainId && e.callee == fibId)
            fromMain = &e;
    }
    ASSERT_NE(recursion, nullptr);
    EXPECT_EQ(recursion->calls, 176u) << "all fib calls but the outer one";
    ASSERT_NE(fromMain, nullptr);
    EXPECT_EQ(fromMain->calls, 1u);
    for (const MethodGraphMethodRow &m : graph.methods) {
        if (m.method == fibId) {
            EXPECT_EQ(m.calls, 177u);
            EXPECT_EQ(m.total, fib->value) << "the recursion counted once";
        }
    }

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
    EXPECT_EQ(mainThread->javaId, 1) << "Thread.getId of the main thread";
    EXPECT_GT(holder->javaId, 1);
    EXPECT_GE(holder->end, holder->start) << "an ended thread keeps its end";
    ASSERT_EQ(dump.traces.count(mainThread->id), 1u) << ThreadView::format(dump, registry);
    EXPECT_EQ(dump.traces.count(holder->id), 0u);
    const StackTraceInfo &stack = dump.traces[mainThread->id].back();
    ASSERT_FALSE(stack.frames.empty());
    EXPECT_EQ(registry.describe(stack.frames.front().first), "CpuWorkload.main") << ThreadView::format(dump, registry);
    EXPECT_NE(stack.frames.front().second, 0) << "the line main runs";
    EXPECT_EQ(registry.describe(stack.frames.back().first), "java.lang.Thread.sleep") << ThreadView::format(dump, registry);

    // Monitor events: the 50 ms wait and the contention on the held lock,
    // whose owner was the holder thread.
    ASSERT_EQ(client.call(35, {}, &reply), FrontendClient::OK) << client.lastError();
    std::vector<MonitorEvent> events = readFinishedMonitorEvents(reply.body, client.idWidth());
    const MonitorEvent *wait = nullptr;
    const MonitorEvent *block = nullptr;
    for (const MonitorEvent &e : events) {
        if (e.type == 2 && e.duration >= 40000 && wait == nullptr)
            wait = &e;
        if (e.type == 1 && e.duration >= 50000 && block == nullptr)
            block = &e;
    }
    ASSERT_NE(wait, nullptr) << events.size() << " events";
    ASSERT_NE(block, nullptr) << events.size() << " events";
    EXPECT_TRUE(block->hasOwner) << "the holder thread owned the lock";
    EXPECT_GT(block->threadFrames, 0) << "the blocked thread's call stack";
    EXPECT_NE(wait->displayId, block->displayId) << "two monitors";
    ASSERT_EQ(client.call(75, {0, 0, 0, static_cast<uint8_t>(block->displayId)}, &reply), FrontendClient::OK);
    BodyReader monitorId{reply.body};
    EXPECT_NE(monitorId.take(8), 0u) << "the monitor's tag";
    ASSERT_EQ(client.call(35, {}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_TRUE(readFinishedMonitorEvents(reply.body, client.idWidth()).empty()) << "events are handed out once";

    // Monitor usage summed per class: both locks are java.lang.Object.
    ASSERT_EQ(client.call(37, {0, 0, 0, 3}, &reply), FrontendClient::OK) << client.lastError();
    BodyReader stats{reply.body};
    bool objectSeen = false;
    while (!stats.bad && stats.take(1) == 1) {
        std::string name = stats.str();
        uint32_t blockCount = static_cast<uint32_t>(stats.take(4));
        long long blockTime = static_cast<long long>(stats.take(8));
        uint32_t waitCount = static_cast<uint32_t>(stats.take(4));
        long long waitTime = static_cast<long long>(stats.take(8));
        stats.take(4 + 8 + 8);
        if (name.find("Object") == std::string::npos)
            continue;
        objectSeen = true;
        EXPECT_GE(blockCount, 1u);
        EXPECT_GE(blockTime, 50000);
        EXPECT_GE(waitCount, 1u);
        EXPECT_GE(waitTime, 40000);
    }
    EXPECT_TRUE(objectSeen);

    client.call(46, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
}

TEST_F(CpuRecordingE2ETest, MonitorRecordingSwitchedFromJavaKeepsWaitsAboveItsThreshold)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(startWaiting(jvm, client, PROBE_CLASSES, {"MonitorSwitch"}));
    Reply reply;
    ASSERT_EQ(client.call(1, {0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(jvm.waitFor("done", true, 30)) << jvm.err() << jvm.out();

    ASSERT_EQ(client.call(35, {}, &reply), FrontendClient::OK) << client.lastError();
    std::vector<MonitorEvent> events = readFinishedMonitorEvents(reply.body, client.idWidth());
    // The 40 ms wait (and main's join of the waiter); nothing below 20 ms.
    ASSERT_FALSE(events.empty());
    bool waitSeen = false;
    for (const MonitorEvent &e : events) {
        EXPECT_EQ(e.type, 2);
        EXPECT_GE(e.duration, 20000u);
        EXPECT_FALSE(e.hasOwner) << "waits have no owner";
        waitSeen = waitSeen || e.duration >= 30000u;
    }
    EXPECT_TRUE(waitSeen);
    // The thresholds of the Java call come back after the events.
    BodyReader r{reply.body};
    // The finished events, then the ones in progress (the VM's own Java threads
    // may be waiting right now), in the same record form.
    auto skipEntries = [&] {
        while (r.take(1) == 1) {
            r.take(1 + 8 + 1 + 4 + client.idWidth() + 4 + 2 * client.idWidth());
            for (int stack = 0; stack < 2; stack++) {
                while (r.take(1) == 1)
                    r.take(client.idWidth());
            }
        }
    };
    skipEntries();
    skipEntries();
    EXPECT_EQ(r.take(4), 0u);
    EXPECT_EQ(r.take(4), 20000u);

    jvm.closeInput();
    client.call(46, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
}

TEST_F(CpuRecordingE2ETest, ControllerApiSwitchesRecordingFromTheApplication)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(startWaiting(jvm, client, PROBE_CLASSES, {"CpuWorkload", "controller"}));
    Reply reply;
    ASSERT_EQ(client.call(1, {0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(jvm.waitFor("done 55", true, 30)) << jvm.err() << jvm.out();
    EXPECT_EQ(jvm.err().find("has not been initialized"), std::string::npos) << jvm.err();

    // The front end never switched recording on: the application did, for
    // fib(10) and the sleep only.
    Registry registry;
    CallTreeReply tree;
    ASSERT_EQ(client.call(41, CallTreeView::invocationTreeRequest(0, 1, 10000, 0), &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(CallTreeView::readInvocationTreeReply(reply.body, client.idWidth(), &registry, &tree));
    ASSERT_NE(tree.root, nullptr);
    uint64_t mainId = 0, fibId = 0;
    std::vector<const ViewNode *> nodes;
    CallTreeView::collect(*tree.root, &nodes);
    for (const ViewNode *n : nodes) {
        const MethodInfo *m = registry.method(n->method);
        if (m != nullptr && m->name == "CpuWorkload")
            mainId = m->id;
        if (m != nullptr && m->name == "CpuWorkload$Fib")
            fibId = m->id;
        EXPECT_EQ(n->annotations.size(), 0u) << "no probe payloads";
    }
    ASSERT_NE(fibId, 0u) << CallTreeView::format(*tree.root, registry);
    EXPECT_EQ(callsOf(*tree.root, mainId), 1u);
    EXPECT_EQ(callsOf(*tree.root, fibId), 177u) << "fib(10) makes 177 calls; fib(5) ran while recording was off";

    // The thread dump the application triggered: main's stack.
    ASSERT_EQ(client.call(74, {0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_GE(reply.body.size(), 2u);
    EXPECT_EQ(reply.body[0], 1) << "one thread with a stored stack trace";

    jvm.closeInput();
    client.call(46, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
}

TEST_F(CpuRecordingE2ETest, SamplerRecordsTheThreadStatusHistory)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(startWaiting(jvm, client, PROBE_CLASSES, {"CpuWorkload"}));
    // A configuration from the front end starts the sampler (5 ms passes).
    const std::string xml = "<config><session id=\"3\" instrumentationType=\"1\" timeType=\"1\"/></config>";
    std::vector<uint8_t> config = {1, 0, 0, 0, 3};
    for (int shift = 24; shift >= 0; shift -= 8)
        config.push_back(static_cast<uint8_t>(xml.size() >> shift));
    config.insert(config.end(), xml.begin(), xml.end());
    config.insert(config.end(), {0, 6, 'u', 'n', 'u', 's', 'e', 'd', 0, 0, 0, 0});
    Reply reply;
    ASSERT_EQ(client.call(1, config, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(jvm.waitFor("ready", true, 30)) << jvm.err() << jvm.out();
    ASSERT_EQ(client.call(61, {1}, &reply), FrontendClient::OK) << client.lastError();
    jvm.closeInput();
    ASSERT_TRUE(jvm.waitFor("done 55", true, 30)) << jvm.err() << jvm.out();

    // main now sleeps for good: within a few 200 ms periods its history
    // ends with waiting (65), after having been runnable (63).
    Registry registry;
    std::vector<ThreadInfo> threads;
    const ThreadInfo *main = nullptr;
    for (int attempt = 0; attempt < 50; attempt++) {
        usleep(100000);
        ASSERT_EQ(client.call(11, {}, &reply), FrontendClient::OK) << client.lastError();
        WireReader r(reply.body);
        threads.clear();
        ASSERT_TRUE(ThreadView::readThreadDescriptions(r, client.idWidth(), &registry, &threads));
        main = nullptr;
        for (const ThreadInfo &t : threads) {
            if (t.name == "main")
                main = &t;
        }
        ASSERT_NE(main, nullptr);
        if (!main->statuses.empty() && main->statuses.back().first == 65)
            break;
    }
    ASSERT_FALSE(main->statuses.empty()) << "no status history";
    EXPECT_EQ(main->statuses.back().first, 65) << "main sleeps";
    for (size_t i = 1; i < main->statuses.size(); i++) {
        EXPECT_NE(main->statuses[i].first, main->statuses[i - 1].first) << "only changes are kept";
        EXPECT_GE(main->statuses[i].second, main->statuses[i - 1].second);
        EXPECT_EQ(main->statuses[i].second % 10000, 0) << "kept in units of 10 ms";
    }
    for (const ThreadInfo &t : threads)
        EXPECT_NE(t.name.compare(0, 7, "_orvane"), 0) << "agent threads are not listed: " << t.name;

    client.call(46, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
}

TEST_F(CpuRecordingE2ETest, CurrentMonitorUsageNamesTheBlockedThreadAndTheOwner)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(startWaiting(jvm, client, PROBE_CLASSES, {"CpuWorkload", "blocked"}));
    Reply reply;
    ASSERT_EQ(client.call(1, {0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(jvm.waitFor("ready", true, 30)) << jvm.err() << jvm.out();
    ASSERT_EQ(client.call(73, {1, 0, 0, 0, 0, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_EQ(client.call(61, {1}, &reply), FrontendClient::OK) << client.lastError();
    jvm.closeInput();
    ASSERT_TRUE(jvm.waitFor("blocked BLOCKED", true, 30)) << jvm.err() << jvm.out();

    // The VM names the thread blocked on the monitor and the owner. The
    // thread shows as blocked before the agent has heard of it, so the usage
    // is read until its blocking has lasted 40 ms.
    std::vector<MonitorEvent> events;
    auto blockedFor = [&events]() -> const MonitorEvent * {
        for (const MonitorEvent &e : events)
            if (e.hasOwner && e.duration >= 40000u)
                return &e;
        return nullptr;
    };
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
         blockedFor() == nullptr && std::chrono::steady_clock::now() < until;) {
        usleep(50000);
        ASSERT_EQ(client.call(36, {}, &reply), FrontendClient::OK) << client.lastError();
        events = readFinishedMonitorEvents(reply.body, client.idWidth());
    }
    // The VM's own threads waiting in Object.wait are listed too, without
    // an owner; the one monitor with an owner is the contended one.
    const MonitorEvent *owned = nullptr;
    for (const MonitorEvent &e : events) {
        EXPECT_EQ(e.type, 2);
        EXPECT_NE(e.displayId, 0u);
        if (e.hasOwner) {
            EXPECT_EQ(owned, nullptr) << "one thread is blocked on a held monitor";
            owned = &e;
        }
    }
    ASSERT_NE(owned, nullptr);
    EXPECT_GE(owned->duration, 40000u) << "the blocking time grows while the thread stays blocked";

    client.call(46, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
}

// The session configuration of command 1 for a program the agent rewrites:
// dynamic instrumentation, elapsed times, the JDK filtered.
std::vector<uint8_t> instrumentingConfiguration()
{
    std::string xml = "<config><session id=\"5\" instrumentationType=\"1\" timeType=\"1\">";
    for (const char *f : {"java.", "javax.", "sun.", "com.sun.", "jdk."})
        xml += std::string("<filter type=\"exclusive\" name=\"") + f + "\"/>";
    xml += "</session></config>";
    std::vector<uint8_t> p = {1, 0, 0, 0, 5};
    uint32_t n = static_cast<uint32_t>(xml.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        p.push_back(static_cast<uint8_t>(n >> shift));
    p.insert(p.end(), xml.begin(), xml.end());
    p.insert(p.end(), {0, 0, 0, 0, 0, 0}); // the trailing string, no scripts
    return p;
}

// Per method ("class.method") of the view: its calls and the methods
// directly above its nodes.
struct MethodUse {
    uint64_t calls = 0;
    std::set<std::string> callers;
};

std::map<std::string, MethodUse> methodUses(const ViewNode &root, const Registry &registry)
{
    std::map<std::string, MethodUse> uses;
    std::vector<std::pair<const ViewNode *, const ViewNode *>> pending = {{&root, nullptr}};
    while (!pending.empty()) {
        auto item = pending.back();
        pending.pop_back();
        const ViewNode *node = item.first;
        if (node->method != 0) {
            MethodUse &use = uses[registry.describe(node->method)];
            use.calls += node->count;
            const ViewNode *parent = item.second;
            use.callers.insert(parent == nullptr || parent->method == 0 ? "<root>" : registry.describe(parent->method));
        }
        for (const auto &child : node->children)
            pending.push_back({child.get(), node});
    }
    return uses;
}

// Rewritten code: a thread's first hook finds main or a Runnable's run on
// the VM's stack and records it once, above its callees; an exception caught
// in a constructor that the JDK called (no hook entered it) leaves main's
// recorded calls in place.
TEST_F(CpuRecordingE2ETest, ThreadStartsAndHandlersOfUnenteredConstructorsKeepTheCallers)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(30000);
    ASSERT_NO_FATAL_FAILURE(startWaiting(jvm, client, PROBE_CLASSES, {"HandlerProgram"}, {"-Xverify:all"}));
    Reply reply;
    ASSERT_EQ(client.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_EQ(client.call(61, {1}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_EQ(client.call(1, instrumentingConfiguration(), &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(jvm.waitFor("done", true, 60)) << jvm.err() << jvm.out();
    EXPECT_NE(jvm.out().find("caught 3\nafter 3\n"), std::string::npos) << jvm.out();

    Registry registry;
    CallTreeReply tree;
    ASSERT_EQ(client.call(41, CallTreeView::invocationTreeRequest(0, 1, 100000, 0), &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(CallTreeView::readInvocationTreeReply(reply.body, client.idWidth(), &registry, &tree));
    ASSERT_NE(tree.root, nullptr);
    std::string shown = CallTreeView::format(*tree.root, registry);
    std::map<std::string, MethodUse> uses = methodUses(*tree.root, registry);
    const struct {
        const char *method;
        uint64_t calls;
        std::set<std::string> callers;
    } expected[] = {
        {"HandlerProgram.main", 1, {"<root>"}},
        {"HandlerProgram$1.run", 1, {"<root>"}},
        {"HandlerProgram.build", 1, {"HandlerProgram.main"}},
        {"HandlerProgram.after", 2, {"HandlerProgram.main", "HandlerProgram$1.run"}},
    };
    for (const auto &e : expected) {
        SCOPED_TRACE(e.method);
        EXPECT_EQ(uses[e.method].calls, e.calls) << shown;
        EXPECT_EQ(uses[e.method].callers, e.callers) << shown;
    }

    jvm.closeInput();
    client.close();
    EXPECT_TRUE(jvm.waitExit(60)) << jvm.err();
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
}

} // namespace
