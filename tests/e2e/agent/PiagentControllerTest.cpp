// piagent under jvmpihost: a program on a scripted thread calls the agent's
// controller API and the agent's own natives. Every call must reach the
// agent (an UnsatisfiedLinkError fails the host's step and the run), and its
// effect shows to the front end: CPU recording switched with the VM's method
// events, allocation recording, bookmarks, telemetry ticks, thread names and
// creators, a heap dump taken from Java.
#include "PiagentHost.h"

#include "HeapView.h"
#include "TelemetryView.h"
#include "ThreadView.h"
#include "WireReader.h"

#include <algorithm>
#include <map>

namespace {

const std::string CONFIG = "<config><session id=\"3\" instrumentationType=\"2\" timeType=\"1\"/></config>";
const std::string CALLS_CLASS = "class:0x100:demo/Calls:main/([Ljava/lang/String;)V=0x11,a/()V=0x12,b/()V=0x13,c/()V=0x14";

class PiagentControllerTest : public PiagentConnectedTest {
protected:
    void SetUp() override
    {
        PiagentConnectedTest::SetUp();
        classPath = std::string(AGENT_JAR) + ":" + CONTROLLER_CLASSES;
    }

    // Connected, with `steps` held until the Java communication thread
    // applied the configuration (the VM's method events on).
    void startApplied(const std::vector<std::string> &steps)
    {
        std::vector<std::string> all = {"await:applied"};
        all.insert(all.end(), steps.begin(), steps.end());
        ASSERT_NO_FATAL_FAILURE(startConnected(all, CONFIG));
        ASSERT_TRUE(waitForLine("stdout", "host: EnableEvent 3")) << out();
        touch("applied");
    }

    static std::string call(const std::string &method) { return "java:1:PiControllerProgram:" + method; }

    std::vector<ThreadInfo> threads(Registry *registry)
    {
        Reply reply;
        std::vector<ThreadInfo> list;
        EXPECT_EQ(client.call(11, {}, &reply), FrontendClient::OK) << client.lastError();
        WireReader reader(reply.body);
        EXPECT_TRUE(ThreadView::readThreadDescriptions(reader, client.idWidth(), registry, &list));
        return list;
    }
};

// Recording starts and stops between known calls: the VM stops reporting
// calls while it is off (a's end and b are never seen), and once it is on
// again the thread's stack is read from the VM, so c lands under main (not
// under a, where the stack stood when the events stopped), counted once.
// Inside c the program calls the method hooks with ids that name no method
// (0 among them): one line says so, and the tree is as it was.
TEST_F(PiagentControllerTest, CpuRecordingHoldsExactlyTheCallsMadeWhileOn)
{
    ASSERT_NO_FATAL_FAILURE(startApplied({CALLS_CLASS, "thread:1:main", call("startCpu"), "enter:1:0x11", "enter:1:0x12",
                                          "mark:stopping", call("stopCpu"), "exit:1:0x12", "enter:1:0x13", "exit:1:0x13",
                                          "stack:1:0x14@0/0x11@0", "mark:resuming", call("resumeCpu"), "enter:1:0x14",
                                          call("unknownHookIds"), "exit:1:0x14", "exit:1:0x11", "mark:played", "await:done", "shut-down"}));
    ASSERT_TRUE(waitForLine("stdout", "host: mark played")) << out() << err();

    EXPECT_EQ(callsAfter("host: mark stopping", {"host: DisableEvent", "host: EnableEvent", "host: event 1 ", "host: event 3 ",
                                                 "host: GetCallTrace"}),
              (std::vector<std::string>{"host: DisableEvent 1", "host: DisableEvent 2", "host: DisableEvent 3",
                                        "host: event 3 disabled", "host: event 1 disabled", "host: event 3 disabled",
                                        "host: EnableEvent 1",
                                        "host: EnableEvent 3", "host: GetCallTrace 1", "host: event 1 done", "host: event 3 done",
                                        "host: event 3 done"}))
        << out();

    Reply reply;
    Registry registry;
    CallTreeReply tree;
    // Every node with calls, also a, whose time until the stop is not known.
    ASSERT_EQ(client.call(41, CallTreeView::invocationTreeRequest(0, 1, 10001, 0), &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(CallTreeView::readInvocationTreeReply(reply.body, client.idWidth(), &registry, &tree));
    ASSERT_NE(tree.root, nullptr);
    std::string text = CallTreeView::format(*tree.root, registry);
    EXPECT_TRUE(nodesNamed(*tree.root, registry, "b").empty()) << text;
    std::vector<const ViewNode *> mains = nodesNamed(*tree.root, registry, "main");
    ASSERT_EQ(mains.size(), 1u) << text;
    EXPECT_EQ(mains[0]->count, 1u) << text;
    std::map<std::string, uint32_t> calledFromMain;
    for (const auto &child : mains[0]->children) {
        const MethodInfo *method = registry.method(child->method);
        calledFromMain[method != nullptr ? method->name : "?"] = child->count;
    }
    EXPECT_EQ(calledFromMain, (std::map<std::string, uint32_t>{{"a", 1}, {"c", 1}})) << text;
    EXPECT_EQ(err().find("unknown method id"), err().rfind("unknown method id")) << err();
    EXPECT_NE(err().find("Hook calls with unknown method id 0 (and any other unknown id) are ignored."), std::string::npos) << err();
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

// Allocations count while the program records them; the bookmark, the
// telemetry tick and the creator of the thread it registered reach the
// front end; the other switches answer. A thread keeps the name the VM gave
// at its start: Agent.setThreadName changes nothing under this interface.
TEST_F(PiagentControllerTest, ProgramsSwitchesNamesAndBookmarksReachTheFrontend)
{
    ASSERT_NO_FATAL_FAILURE(startApplied({CALLS_CLASS, "class:0x200:demo/Thing", "thread:1:main", call("startAllocations"),
                                          "alloc:1:0x5000:0x200:16", "alloc:1:0x5100:0x200:16", call("stopAllocations"),
                                          "alloc:1:0x5200:0x200:16", call("switches"), call("telemetryTick"),
                                          call("bookmark:halfway"), call("nameThread:renamed-main"), "enter:1:0x11",
                                          call("registerStart:worker"), "thread:2:worker", "mark:played", "await:done",
                                          "shut-down"}));
    ASSERT_TRUE(waitForLine("stdout", "host: mark played")) << out() << err();
    EXPECT_NE(out().find("config 3 with text\n"), std::string::npos) << out();
    EXPECT_NE(out().find("telemetry recorded true\n"), std::string::npos) << out();
    EXPECT_NE(err().find("writeData: unknown writer handle 12345"), std::string::npos) << err();

    // Command 3: the two objects allocated while recording.
    Reply reply;
    Registry registry;
    ASSERT_EQ(client.call(3, {0}, &reply), FrontendClient::OK) << client.lastError();
    HeapUsageReply usage;
    ASSERT_TRUE(HeapView::readHeapUsageReply(reply.body, client.idWidth(), &registry, &usage));
    std::map<std::string, std::pair<int64_t, int64_t>> live;
    for (const HeapEntry &e : usage.live) {
        const ClassInfo *c = registry.classOf(e.classId);
        live[c != nullptr ? c->name : ""] = {e.count, e.size};
    }
    EXPECT_EQ(live["demo.Thing"], (std::pair<int64_t, int64_t>{2, 32}));

    // Command 22: the custom series, the tick's memory values in KB and
    // custom values, and the bookmark.
    ASSERT_EQ(client.call(22, {}, &reply), FrontendClient::OK) << client.lastError();
    TelemetryReply telemetry;
    ASSERT_TRUE(TelemetryView::readTelemetryReply(reply.body, &telemetry));
    ASSERT_EQ(telemetry.samples.size(), 1u) << TelemetryView::format(telemetry);
    EXPECT_EQ(telemetry.samples[0].standard[4], 2048) << TelemetryView::format(telemetry);
    EXPECT_EQ(telemetry.samples[0].standard[5], 4096) << TelemetryView::format(telemetry);
    EXPECT_EQ(telemetry.samples[0].custom, (std::vector<int32_t>{7, 9})) << TelemetryView::format(telemetry);
    std::vector<std::string> series;
    for (const TelemetryReply::Description &d : telemetry.descriptions)
        series.push_back(d.name + "/" + std::to_string(d.type) + "/" + std::to_string(d.value));
    EXPECT_EQ(series, (std::vector<std::string>{"queue/1/10", "[unknown]/2/20"}));
    ASSERT_EQ(telemetry.bookmarks.size(), 1u) << TelemetryView::format(telemetry);
    EXPECT_EQ(telemetry.bookmarks[0].second, "halfway");

    // Command 11: thread 1 under the name of its THREAD_START; the worker
    // made by it in main.
    std::map<std::string, ThreadInfo> byName;
    for (const ThreadInfo &t : threads(&registry))
        byName[t.name] = t;
    EXPECT_EQ(byName.count("renamed-main"), 0u);
    ASSERT_EQ(byName.count("main"), 1u);
    ASSERT_EQ(byName.count("worker"), 1u);
    const ThreadInfo &worker = byName["worker"];
    EXPECT_EQ(worker.creator, byName["main"].id);
    ASSERT_EQ(worker.creationPath.size(), 1u);
    const MethodInfo *where = registry.method(worker.creationPath[0].first);
    ASSERT_NE(where, nullptr);
    EXPECT_EQ(where->name, "main");
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

// A heap dump the program takes is the one command 7 sends without taking
// a new one.
TEST_F(PiagentControllerTest, HeapDumpFromTheProgramIsSentByCommand7)
{
    ASSERT_NO_FATAL_FAILURE(startApplied({"class:0x200:demo/Thing", "thread:1:main", "mark:dumping", call("heapDump"), "mark:played",
                                          "await:done", "shut-down"}));
    ASSERT_TRUE(waitForLine("stdout", "host: mark played")) << out() << err();
    EXPECT_EQ(callsAfter("host: mark dumping", {"host: RequestEvent 37"}), (std::vector<std::string>{"host: RequestEvent 37"}))
        << out();
    Reply reply;
    ASSERT_EQ(client.call(7, {0, 0, 0, 0, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
    WireReader in(reply.body);
    EXPECT_EQ(in.readU4(), 1u);
    EXPECT_GT(in.readJLong(), 0);
    EXPECT_EQ(linesStartingWith(out(), "host: RequestEvent 37").size(), 1u) << out();
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

} // namespace
