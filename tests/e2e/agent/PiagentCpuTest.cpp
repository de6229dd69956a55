// piagent under jvmpihost: scripted threads, class loads and method events
// become call trees the front end reads over loopback, and one sampling
// cycle calls the VM in its fixed order.
#include "PiagentHost.h"

#include "CallTreeView.h"
#include "Registry.h"
#include "ThreadView.h"
#include "WireReader.h"

#include <algorithm>
#include <map>

namespace {

using PiagentCpuTest = PiagentHostTest;

TEST_F(PiagentCpuTest, MethodEventsOfScriptedThreadsBecomeTheCallTree)
{
    loopbackSocket::PortReservation held;
    int port = held.port;
    ASSERT_NE(port, 0);
    start({"--options", "port=" + std::to_string(port) + ",address=127.0.0.1", "java-comm", "init-done", "await:cpu-on",
           "class:0x100:demo/Work:main/([Ljava/lang/String;)V=0x11,work/()V=0x12",
           // A class the VM has not announced: its method resolves through a requested load.
           "quiet-class:0x200:demo/Other:other/()V=0x21",
           "thread:1:main", "thread:2:main:workers",
           "enter:1:0x11", "enter:1:0x12", "sleep:60", "exit:1:0x12", "enter:1:0x12", "exit:1:0x12",
           "enter:2:0x21", "exit:2:0x21", "enter:2:0x21", "sleep:30", "exit:2:0x21",
           // Never announced anywhere: ignored.
           "enter:2:0x77", "exit:2:0x77",
           "exit:1:0x11", "mark:played", "await:done", "shut-down"});
    ASSERT_TRUE(waitForLine("stderr", "Orvane> Waiting for a connection from the Orvane GUI ...")) << err();
    FrontendClient client(60000);
    connectFrontend(client, port);
    Reply reply;
    ASSERT_EQ(client.call(1, configRequest("<config><session id=\"3\" instrumentationType=\"2\" timeType=\"1\"/></config>"), &reply),
              FrontendClient::OK)
        << client.lastError();
    // The Java communication thread takes over and switches the method events on.
    ASSERT_TRUE(waitForLine("stdout", "host: EnableEvent 3")) << out();
    EXPECT_EQ(linesStartingWith(out(), "host: EnableEvent 1").size(), 1u);
    ASSERT_EQ(client.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
    touch("cpu-on");
    ASSERT_TRUE(waitForLine("stdout", "host: mark played")) << out() << err();

    Registry registry;
    CallTreeReply tree;
    ASSERT_EQ(client.call(41, CallTreeView::invocationTreeRequest(0, 1, 10000, 0), &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(CallTreeView::readInvocationTreeReply(reply.body, client.idWidth(), &registry, &tree));
    ASSERT_NE(tree.root, nullptr);
    std::string text = CallTreeView::format(*tree.root, registry);
    std::vector<const ViewNode *> mains = nodesNamed(*tree.root, registry, "main");
    std::vector<const ViewNode *> works = nodesNamed(*tree.root, registry, "work");
    std::vector<const ViewNode *> others = nodesNamed(*tree.root, registry, "other");
    ASSERT_EQ(mains.size(), 1u) << text;
    ASSERT_EQ(works.size(), 1u) << text;
    ASSERT_EQ(others.size(), 1u) << text;
    EXPECT_EQ(mains[0]->count, 1u) << text;
    EXPECT_EQ(works[0]->count, 2u) << text;
    EXPECT_EQ(others[0]->count, 2u) << text;
    // work ran inside main; the script slept 60 ms in it and 30 ms in other.
    ASSERT_EQ(mains[0]->children.size(), 1u) << text;
    EXPECT_EQ(mains[0]->children[0].get(), works[0]) << text;
    EXPECT_GE(works[0]->value, 60000) << text;
    EXPECT_LT(works[0]->value, 5000000) << text;
    EXPECT_GE(mains[0]->value, works[0]->value) << text;
    EXPECT_GE(others[0]->value, 30000) << text;
    EXPECT_LT(others[0]->value, mains[0]->value) << text;

    // A class load that was not requested registers no methods: the first
    // event of each class asks the VM once for the method's class and a
    // load of it. An id the VM knows no class for asks at each event and is
    // ignored.
    std::vector<std::string> asked = linesStartingWith(out(), "host: GetMethodClass ");
    EXPECT_EQ(asked, (std::vector<std::string>{"host: GetMethodClass 0x11", "host: GetMethodClass 0x21", "host: GetMethodClass 0x77",
                                                "host: GetMethodClass 0x77"}))
        << out();
    EXPECT_EQ(linesStartingWith(out(), "host: RequestEvent 42").size(), 2u) << out();

    // Thread descriptions: both scripted threads, the second "main" with its own manager.
    ASSERT_EQ(client.call(11, {}, &reply), FrontendClient::OK) << client.lastError();
    std::string body(reply.body.begin(), reply.body.end());
    EXPECT_NE(body.find("workers"), std::string::npos);
    // A front end that connects later is served whole by the Java
    // communication thread, its command 1 included; what the first one
    // recorded ended with it.
    client.close();
    FrontendClient later(60000);
    connectFrontend(later, port);
    ASSERT_EQ(later.call(1, {0}, &reply), FrontendClient::OK) << later.lastError();
    ASSERT_EQ(later.call(42, CallTreeView::hotspotRequest(1, true), &reply), FrontendClient::OK) << later.lastError();
    Registry laterRegistry;
    HotspotReply hotspots;
    ASSERT_TRUE(CallTreeView::readHotspotReply(reply.body, later.idWidth(), &laterRegistry, &hotspots));
    EXPECT_TRUE(hotspots.rows.empty());
    touch("done");
    later.close();
    ASSERT_EQ(finish(), 0) << err();
}

TEST_F(PiagentCpuTest, OneSamplingCycleCallsTheVmInOrderAndMapsStatuses)
{
    loopbackSocket::PortReservation held;
    int port = held.port;
    ASSERT_NE(port, 0);
    start({"--options", "port=" + std::to_string(port) + ",address=127.0.0.1", "java-comm",
           "class:0x100:demo/Work:main/([Ljava/lang/String;)V=0x11,work/()V=0x12",
           "thread:1:main", "thread:2:blocked", "thread:3:waiting", "thread:4:idle",
           "status:1:0x8001", "status:2:2", "status:3:0x4003", "status:4:1", "hasrun:4:0",
           "stack:1:0x12@7/0x11@3", "stack:4:0x11@3",
           "init-done", "await:done", "shut-down"});
    ASSERT_TRUE(waitForLine("stderr", "Orvane> Waiting for a connection from the Orvane GUI ...")) << err();
    FrontendClient client(60000);
    connectFrontend(client, port);
    Reply reply;
    ASSERT_EQ(client.call(1, configRequest("<config><session id=\"3\" instrumentationType=\"3\" samplingFrequency=\"5\"/></config>"), &reply),
              FrontendClient::OK)
        << client.lastError();
    ASSERT_TRUE(waitForLine("stdout", "host: CreateSystemThread _orvane_native_sampler 10")) << out();
    ASSERT_EQ(client.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(waitForLine("stdout", "host: EnableGC")) << out();
    // Two cycles after CPU recording is on, then the front end is done.
    for (int i = 0; i < 2000 && linesStartingWith(out(), "host: EnableGC").size() < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    // One cycle, from its DisableGC to its EnableGC.
    std::vector<std::string> all = lines(out());
    auto first = std::find(all.begin(), all.end(), "host: DisableGC");
    ASSERT_NE(first, all.end());
    auto last = std::find(first, all.end(), "host: EnableGC");
    ASSERT_NE(last, all.end());
    std::vector<std::string> cycle(first, last + 1);
    const std::vector<std::string> expected = {
        "host: DisableGC",     "host: SuspendThread 1", "host: SuspendThread 2", "host: SuspendThread 3",
        "host: SuspendThread 4", "host: ThreadHasRun 1", "host: GetCallTrace 1", "host: ThreadHasRun 4",
        "host: ResumeThread 1",  "host: ResumeThread 2", "host: ResumeThread 3", "host: ResumeThread 4",
        "host: EnableGC",
    };
    EXPECT_EQ(cycle, expected) << out();

    // The statuses the threads were given: 0x8001 runnable (63), 2 blocked
    // (64), 0x4003 waiting (65); the histories are recorded every 200 ms.
    std::map<std::string, int> latest;
    for (int attempt = 0; attempt < 300 && latest.size() < 4; attempt++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_EQ(client.call(11, {}, &reply), FrontendClient::OK) << client.lastError();
        Registry registry;
        std::vector<ThreadInfo> threads;
        WireReader reader(reply.body);
        ASSERT_TRUE(ThreadView::readThreadDescriptions(reader, client.idWidth(), &registry, &threads));
        latest.clear();
        for (const ThreadInfo &t : threads)
            if (!t.statuses.empty())
                latest[t.name] = t.statuses.back().first;
    }
    EXPECT_EQ(latest, (std::map<std::string, int>{{"main", 63}, {"blocked", 64}, {"waiting", 65}, {"idle", 63}}));
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

// Command 36 asks the VM for a monitor dump: a thread blocked on an owned
// monitor is a blocked entry with its owner, a thread waiting on it a
// waiting entry without one.
TEST_F(PiagentCpuTest, MonitorDumpOverTheFrontend)
{
    loopbackSocket::PortReservation held;
    int port = held.port;
    ASSERT_NE(port, 0);
    start({"--options", "port=" + std::to_string(port) + ",address=127.0.0.1", "java-comm", "init-done", "await:monitors-on",
           "thread:1:owner", "thread:2:blocked", "thread:3:waiter",
           "contend:2:0x9000", "wait:3:0x9000", "monitor:0x9000:1:2:3", "mark:played", "await:done",
           "contended:2:0x9000", "waited:3:0x9000", "shut-down"});
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(connectAndHandOver(client, port));
    Reply reply;
    // Monitor recording on, both thresholds 0.
    ASSERT_EQ(client.call(73, {1, 0, 0, 0, 0, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
    touch("monitors-on");
    ASSERT_TRUE(waitForLine("stdout", "host: mark played")) << out() << err();

    ASSERT_EQ(client.call(36, {}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(linesStartingWith(out(), "host: RequestEvent 59").size(), 1u);
    WireReader in(reply.body);
    struct Entry {
        int type;
        uint32_t displayId;
        uint64_t thread;
        uint64_t owner;
    };
    std::vector<Entry> entries;
    unsigned idWidth = client.idWidth();
    while (!in.error() && in.readByte() == 1) {
        Entry e;
        e.type = in.readByte();
        in.readJLong();
        in.readByte();
        e.displayId = in.readU4();
        in.readID(idWidth);
        in.readU4();
        e.thread = in.readID(idWidth);
        e.owner = in.readID(idWidth);
        for (int stack = 0; stack < 2; stack++)
            while (!in.error() && in.readByte() == 1)
                in.readID(idWidth);
        entries.push_back(e);
    }
    ASSERT_FALSE(in.error());
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].type, 1);
    EXPECT_NE(entries[0].owner, 0u);
    EXPECT_NE(entries[0].owner, entries[0].thread);
    EXPECT_EQ(entries[1].type, 2);
    EXPECT_EQ(entries[1].owner, 0u);
    EXPECT_NE(entries[1].thread, entries[0].thread);
    EXPECT_EQ(entries[0].displayId, entries[1].displayId);
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

// Command 35 asks the VM for a monitor dump too: the recorded thread
// blocked on an owned monitor is a current entry with its owner.
TEST_F(PiagentCpuTest, MonitorHistoryAsksTheVmForTheOwners)
{
    loopbackSocket::PortReservation held;
    start({"--options", "port=" + std::to_string(held.port) + ",address=127.0.0.1", "java-comm", "init-done", "await:monitors-on",
           "thread:1:owner", "thread:2:blocked", "contend:2:0x9000", "monitor:0x9000:1:2", "mark:played", "await:done",
           "contended:2:0x9000", "shut-down"});
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(connectAndHandOver(client, held.port));
    Reply reply;
    ASSERT_EQ(client.call(73, {1, 0, 0, 0, 0, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
    touch("monitors-on");
    ASSERT_TRUE(waitForLine("stdout", "host: mark played")) << out() << err();

    ASSERT_EQ(client.call(35, {}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(linesStartingWith(out(), "host: RequestEvent 59").size(), 1u) << out();
    WireReader in(reply.body);
    unsigned idWidth = client.idWidth();
    // No finished events yet, then the current ones.
    ASSERT_EQ(in.readByte(), 0);
    struct Entry {
        int type;
        uint64_t thread;
        uint64_t owner;
    };
    std::vector<Entry> entries;
    while (!in.error() && in.readByte() == 1) {
        Entry e;
        e.type = in.readByte();
        in.readJLong();
        in.readByte();
        in.readU4();
        in.readID(idWidth);
        in.readU4();
        e.thread = in.readID(idWidth);
        e.owner = in.readID(idWidth);
        for (int stack = 0; stack < 2; stack++)
            while (!in.error() && in.readByte() == 1)
                in.readID(idWidth);
        entries.push_back(e);
    }
    ASSERT_FALSE(in.error());
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].type, 1);
    EXPECT_NE(entries[0].owner, 0u);
    EXPECT_NE(entries[0].owner, entries[0].thread);
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

// With the sampling method the sampler reads stacks only while they are
// recorded: statuses are sampled all along, the VM's collector and threads are
// left alone until CPU recording is switched on.
TEST_F(PiagentCpuTest, StacksAreSampledOnlyWhileRecorded)
{
    loopbackSocket::PortReservation held;
    start({"--options", "port=" + std::to_string(held.port) + ",address=127.0.0.1", "java-comm", "init-done",
           "class:0x100:demo/Work:main/([Ljava/lang/String;)V=0x11", "thread:1:main", "stack:1:0x11@3", "mark:ready",
           "await:block", "status:1:2", "mark:blocked", "await:done", "shut-down"});
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(connectAndHandOver(client, held.port, configRequest("<config><session id=\"3\" instrumentationType=\"3\" samplingFrequency=\"5\"/></config>")));
    ASSERT_TRUE(waitForLine("stdout", "host: mark ready")) << out();
    touch("block");
    ASSERT_TRUE(waitForLine("stdout", "host: mark blocked")) << out();
    // A status pass after the thread blocked: its history says so.
    Reply reply;
    int latest = 0;
    for (int attempt = 0; attempt < 300 && latest != 64; attempt++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_EQ(client.call(11, {}, &reply), FrontendClient::OK) << client.lastError();
        Registry registry;
        std::vector<ThreadInfo> threads;
        WireReader reader(reply.body);
        ASSERT_TRUE(ThreadView::readThreadDescriptions(reader, client.idWidth(), &registry, &threads));
        for (const ThreadInfo &t : threads)
            if (t.name == "main" && !t.statuses.empty())
                latest = t.statuses.back().first;
    }
    ASSERT_EQ(latest, 64);
    EXPECT_TRUE(linesStartingWith(out(), "host: DisableGC").empty()) << out();
    EXPECT_TRUE(linesStartingWith(out(), "host: SuspendThread").empty()) << out();

    ASSERT_EQ(client.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_TRUE(waitForLine("stdout", "host: SuspendThread 1")) << out();
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

// The VM's main thread, on the pre-made main manager, is sampled from its
// main inwards: the launcher's frames around main are not the application's.
TEST_F(PiagentCpuTest, SampledMainThreadStartsAtMain)
{
    loopbackSocket::PortReservation held;
    start({"--options", "port=" + std::to_string(held.port) + ",address=127.0.0.1", "java-comm", "init-done", "await:cpu-on",
           "class:0x100:demo/Work:main/([Ljava/lang/String;)V=0x11,work/()V=0x12,launch/()V=0x13", "thread:1:main",
           "stack:1:0x12@7/0x11@3/0x13@1", "mark:played", "await:done", "shut-down"});
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(connectAndHandOver(client, held.port, configRequest("<config><session id=\"3\" instrumentationType=\"3\" samplingFrequency=\"5\"/></config>")));
    Reply reply;
    ASSERT_EQ(client.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
    touch("cpu-on");
    ASSERT_TRUE(waitForLine("stdout", "host: mark played")) << out();
    Registry registry;
    CallTreeReply tree;
    std::vector<const ViewNode *> works;
    for (int attempt = 0; attempt < 300 && works.empty(); attempt++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_EQ(client.call(41, CallTreeView::invocationTreeRequest(0, 1, 10000, 0), &reply), FrontendClient::OK)
            << client.lastError();
        registry = Registry();
        tree = CallTreeReply();
        ASSERT_TRUE(CallTreeView::readInvocationTreeReply(reply.body, client.idWidth(), &registry, &tree));
        if (tree.root != nullptr)
            works = nodesNamed(*tree.root, registry, "work");
    }
    ASSERT_EQ(works.size(), 1u);
    std::string text = CallTreeView::format(*tree.root, registry);
    EXPECT_TRUE(nodesNamed(*tree.root, registry, "launch").empty()) << text;
    std::vector<const ViewNode *> mains = nodesNamed(*tree.root, registry, "main");
    ASSERT_EQ(mains.size(), 1u) << text;
    ASSERT_EQ(mains[0]->children.size(), 1u) << text;
    EXPECT_EQ(mains[0]->children[0].get(), works[0]) << text;
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

} // namespace
