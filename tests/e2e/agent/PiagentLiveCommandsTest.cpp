// piagent under jvmpihost: the live session's commands answered as tiagent
// answers them (configuration, state poll, triggers, HPROF dump, probes),
// the front end's requests to end or interrupt the process, and the
// connections after the first one.
#include "PiagentHost.h"

#include "CallTreeView.h"
#include "HeapView.h"
#include "Registry.h"

#include <algorithm>
#include <csignal>
#include <sys/stat.h>

namespace {

const std::string CONFIG = "<config><session id=\"3\" instrumentationType=\"2\" timeType=\"1\"/></config>";
const std::string WORK_CLASS = "class:0x100:demo/Work:main/([Ljava/lang/String;)V=0x11,work/()V=0x12";

uint32_t u4At(const std::vector<uint8_t> &b, size_t at)
{
    return (uint32_t(b[at]) << 24) | (uint32_t(b[at + 1]) << 16) | (uint32_t(b[at + 2]) << 8) | b[at + 3];
}

// The state reply as tiagent writes it: U4 status, 13 switch and change
// bytes, U4 0 (no probe recording bytes), byte 0 (no auto-tuned methods),
// the time and the VM start's wall-clock second, then the descriptions.
const size_t STATE_DESCRIPTIONS_AT = 4 + 13 + 4 + 1 + 8 + 8;

struct StateReply {
    uint32_t status = 0;
    std::vector<uint8_t> fixedPart;
    std::vector<ClassInfo> classes;
    std::vector<MethodInfo> methods;
};

void pollState(FrontendClient &client, StateReply *state)
{
    Reply reply;
    ASSERT_EQ(client.call(59, {}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_GE(reply.body.size(), STATE_DESCRIPTIONS_AT) << "the state poll has its fixed part";
    state->status = u4At(reply.body, 0);
    state->fixedPart.assign(reply.body.begin(), reply.body.begin() + 22);
    Registry registry;
    std::vector<uint8_t> descriptions(reply.body.begin() + STATE_DESCRIPTIONS_AT, reply.body.end());
    ASSERT_TRUE(registry.readGetClassesReply(descriptions, client.idWidth(), &state->methods, &state->classes));
}

bool hasClass(const std::vector<ClassInfo> &classes, const std::string &name)
{
    return std::any_of(classes.begin(), classes.end(), [&](const ClassInfo &c) { return c.name == name; });
}

class PiagentLiveCommandsTest : public PiagentConnectedTest {
protected:
    // Polls the state (command 59) until it says the VM's end waits (2).
    void pollUntilTheVmEnds(StateReply *state)
    {
        for (int attempt = 0; attempt < 400 && state->status != 2; attempt++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ASSERT_NO_FATAL_FAILURE(pollState(client, state));
        }
    }
};

// Commands 45, 59, 66, 67, 61, 62, 86, 85 and 63 after the hand-over, and the
// state poll while the VM's death waits for the front end: the replies tiagent
// gives for the same calls.
TEST_F(PiagentLiveCommandsTest, LiveSessionCommandsAnswerAsTiagentDoes)
{
    ASSERT_NO_FATAL_FAILURE(
        startConnected({WORK_CLASS, "thread:1:main", "mark:played", "await:die", "shut-down", "mark:down", "await:done"}, CONFIG));
    ASSERT_TRUE(waitForLine("stdout", "host: mark played")) << out();
    Reply reply;

    // 45: the document in force, with its id, as it was sent.
    ASSERT_EQ(client.call(45, {}, &reply), FrontendClient::OK) << client.lastError();
    std::vector<uint8_t> expected = {0, 0, 0, 3, 0, 0, 0, static_cast<uint8_t>(CONFIG.size())};
    expected.insert(expected.end(), CONFIG.begin(), CONFIG.end());
    EXPECT_EQ(reply.body, expected);

    // 59: status 1, only the triggers' global switch on, the class the VM
    // loaded among the descriptions; a second poll does not send it again.
    StateReply state;
    ASSERT_NO_FATAL_FAILURE(pollState(client, &state));
    EXPECT_EQ(state.fixedPart, (std::vector<uint8_t>{0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(hasClass(state.classes, "demo.Work"));
    ASSERT_NO_FATAL_FAILURE(pollState(client, &state));
    EXPECT_FALSE(hasClass(state.classes, "demo.Work"));

    // 66 off, then 73 on: the poll follows both switches.
    ASSERT_EQ(client.call(66, {0}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_TRUE(reply.body.empty());
    ASSERT_EQ(client.call(73, {1, 0, 0, 0, 0, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_NO_FATAL_FAILURE(pollState(client, &state));
    EXPECT_EQ(state.fixedPart, (std::vector<uint8_t>{0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(client.call(66, {1}, &reply), FrontendClient::OK) << client.lastError();
    // 67: one group off by name; 61: thread profiling off. Neither replies.
    ASSERT_EQ(client.call(67, {0, 0, 0, 0, 1, 0, 2, 'g', '1'}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_TRUE(reply.body.empty());
    ASSERT_EQ(client.call(61, {0}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_TRUE(reply.body.empty());
    ASSERT_NO_FATAL_FAILURE(pollState(client, &state));
    EXPECT_EQ(state.fixedPart[8], 1) << "triggers back on";

    // 62: the Java side's probe descriptions (U4 length, the bytes); 86: its
    // probe telemetry (byte 0: none written).
    ASSERT_EQ(client.call(62, {}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_GE(reply.body.size(), 4u);
    EXPECT_EQ(u4At(reply.body, 0), reply.body.size() - 4);
    ASSERT_EQ(client.call(86, {}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_FALSE(reply.body.empty());
    // 85: the call sites of a probe's payloads come from tiagent's trees
    // only; here the name comes back with byte 0, no tuples.
    ASSERT_EQ(client.call(85, {0, 5, 'p', '.', 'J', 'd', 'b'}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(reply.body, (std::vector<uint8_t>{0, 5, 'p', '.', 'J', 'd', 'b', 0}));

    // 63: the HPROF dump of the host's JVM, written where the front end said.
    std::string hprof = work + "/heap.hprof";
    std::vector<uint8_t> request = {0, static_cast<uint8_t>(hprof.size())};
    request.insert(request.end(), hprof.begin(), hprof.end());
    request.push_back(1);
    ASSERT_EQ(client.call(63, request, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(reply.body, (std::vector<uint8_t>{0, 0, 0})) << "byte 0 and an empty problem";
    struct stat st;
    ASSERT_EQ(stat(hprof.c_str(), &st), 0);
    EXPECT_EQ(readFile(hprof).compare(0, 18, "JAVA PROFILE 1.0.2"), 0);
    // A path the JVM cannot write: byte 1 and the JVM's problem.
    std::string bad = work + "/missing/dir/heap.hprof";
    request = {0, static_cast<uint8_t>(bad.size())};
    request.insert(request.end(), bad.begin(), bad.end());
    request.push_back(0);
    ASSERT_EQ(client.call(63, request, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_GT(reply.body.size(), 3u);
    EXPECT_EQ(reply.body[0], 1);

    // The VM's death waits for the connected front end: the poll says 2,
    // and as the session does not keep the VM alive, that poll lets it end.
    touch("die");
    ASSERT_NO_FATAL_FAILURE(pollUntilTheVmEnds(&state));
    EXPECT_EQ(state.status, 2u);
    ASSERT_TRUE(waitForLine("stdout", "host: mark down")) << out();
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

// A session that keeps the VM alive: its end waits, whatever the polls,
// until the front end disconnects, and goes on then.
TEST_F(PiagentLiveCommandsTest, VmEndWaitsUntilTheFrontendDisconnects)
{
    ASSERT_NO_FATAL_FAILURE(startConnected({WORK_CLASS, "mark:played", "await:die", "shut-down", "mark:down"},
                                           "<config><session id=\"3\" instrumentationType=\"2\" timeType=\"1\" "
                                           "vmCannotExit=\"true\"/></config>"));
    ASSERT_TRUE(waitForLine("stdout", "host: mark played")) << out();
    touch("die");
    StateReply state;
    ASSERT_NO_FATAL_FAILURE(pollUntilTheVmEnds(&state));
    ASSERT_EQ(state.status, 2u);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_NO_FATAL_FAILURE(pollState(client, &state));
    EXPECT_EQ(state.status, 2u);
    EXPECT_TRUE(linesStartingWith(out(), "host: mark down").empty()) << out();
    EXPECT_NE(err().find("Orvane> Keeping VM alive until frontend disconnects.\n"), std::string::npos) << err();
    client.close();
    ASSERT_TRUE(waitForLine("stdout", "host: mark down")) << out();
    ASSERT_EQ(finish(), 0) << err();
}

// Command 46 before and after the hand-over ends the process with status 0
// after "Killing process"; command 48 interrupts it as SIGINT does.
TEST_F(PiagentLiveCommandsTest, FrontendEndsOrInterruptsTheProcess)
{
    struct Case {
        const char *name;
        bool handOver;
        uint32_t command;
        int status;
    };
    const Case cases[] = {
        {"46 on the Java communication thread", true, 46, 0},
        {"46 on the native communication thread", false, 46, 0},
        {"48 on the Java communication thread", true, 48, 128 + SIGINT},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        loopbackSocket::PortReservation port;
        start({"--options", "port=" + std::to_string(port.port) + ",address=127.0.0.1", "java-comm", "init-done", "mark:started",
               "await:never"});
        FrontendClient frontend(60000);
        if (c.handOver) {
            ASSERT_NO_FATAL_FAILURE(connectAndHandOver(frontend, port.port));
        } else {
            ASSERT_TRUE(waitForLine("stderr", "Orvane> Waiting for a connection from the Orvane GUI ...")) << err();
            ASSERT_NO_FATAL_FAILURE(connectFrontend(frontend, port.port));
        }
        Reply reply;
        frontend.call(c.command, {}, &reply);
        EXPECT_EQ(finish(), c.status) << out() << err();
        if (c.command == 46) {
            EXPECT_NE(err().find("Orvane> Killing process\n"), std::string::npos) << err();
        }
    }
}

// A front end that leaves before command 1 does not end the serving: the
// next one is served (here by the Java communication thread).
TEST_F(PiagentLiveCommandsTest, FrontendLeavingBeforeCommandOneLeavesTheAgentServing)
{
    start({"--options", "port=" + std::to_string(held.port) + ",address=127.0.0.1", "java-comm", "init-done", WORK_CLASS,
           "mark:played", "await:done", "shut-down"});
    ASSERT_TRUE(waitForLine("stderr", "Orvane> Waiting for a connection from the Orvane GUI ...")) << err();
    {
        FrontendClient first(60000);
        ASSERT_NO_FATAL_FAILURE(connectFrontend(first, held.port));
        Reply reply;
        ASSERT_EQ(first.call(2, {}, &reply), FrontendClient::OK) << first.lastError();
        first.close();
    }
    ASSERT_NO_FATAL_FAILURE(connectFrontend(client, held.port));
    Reply reply;
    ASSERT_EQ(client.call(1, configRequest(CONFIG), &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(waitForLine("stdout", "host: mark played")) << out();
    StateReply state;
    ASSERT_NO_FATAL_FAILURE(pollState(client, &state));
    EXPECT_EQ(state.status, 1u);
    EXPECT_TRUE(hasClass(state.classes, "demo.Work"));
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

// A front end that leaves after its commands ends the recording: the next
// one starts from nothing (what the first recorded is dropped, recording is
// off until it switches it on) and gets the descriptions it lacks, so its
// call tree and heap view name the methods and classes.
TEST_F(PiagentLiveCommandsTest, NextFrontendStartsFromNothingAndGetsTheNamesAgain)
{
    ASSERT_NO_FATAL_FAILURE(startConnected({"await:on", WORK_CLASS, "class:0x200:demo/Thing", "thread:1:main", "enter:1:0x11",
                                            "enter:1:0x12", "alloc:1:0x5000:0x200:16", "exit:1:0x12", "exit:1:0x11", "mark:played",
                                            "await:off", "enter:1:0x11", "alloc:1:0x5050:0x200:16", "exit:1:0x11",
                                            "mark:unrecorded", "await:again", "enter:1:0x11", "enter:1:0x12", "alloc:1:0x5100:0x200:16", "exit:1:0x12",
                                            "exit:1:0x11", "mark:replayed", "await:done", "shut-down"},
                                           CONFIG));
    Reply reply;
    ASSERT_TRUE(waitForLine("stdout", "host: EnableEvent 3")) << out();
    ASSERT_EQ(client.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_EQ(client.call(49, {1}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(waitForLine("stdout", "host: EnableEvent 5")) << out();
    touch("on");
    ASSERT_TRUE(waitForLine("stdout", "host: mark played")) << out() << err();

    // Each front end reads the call tree and the heap view with its own
    // registry (descriptions come once per connection): the tree as text,
    // the calls of main and work, the live things.
    struct Read {
        std::string tree;
        uint32_t mainCalls = 0;
        uint32_t workCalls = 0;
        int64_t things = 0;
    };
    auto read = [&](FrontendClient &frontend, Registry &registry, Read *out) {
        CallTreeReply calls;
        ASSERT_EQ(frontend.call(41, CallTreeView::invocationTreeRequest(0, 1, 10000, 0), &reply), FrontendClient::OK)
            << frontend.lastError();
        ASSERT_TRUE(CallTreeView::readInvocationTreeReply(reply.body, frontend.idWidth(), &registry, &calls));
        ASSERT_NE(calls.root, nullptr);
        out->tree = CallTreeView::format(*calls.root, registry);
        for (const ViewNode *node : nodesNamed(*calls.root, registry, "work"))
            out->workCalls += node->count;
        for (const ViewNode *node : nodesNamed(*calls.root, registry, "main"))
            out->mainCalls += node->count;
        ASSERT_EQ(frontend.call(3, {0}, &reply), FrontendClient::OK) << frontend.lastError();
        HeapUsageReply usage;
        ASSERT_TRUE(HeapView::readHeapUsageReply(reply.body, frontend.idWidth(), &registry, &usage));
        for (const HeapEntry &e : usage.live)
            if (e.type == 2 && registry.classOf(e.classId) != nullptr && registry.classOf(e.classId)->name == "demo.Thing")
                out->things += e.count;
    };
    Registry firstRegistry, secondRegistry;
    Read first;
    ASSERT_NO_FATAL_FAILURE(read(client, firstRegistry, &first));
    EXPECT_NE(first.tree.find("demo.Work.work"), std::string::npos) << first.tree;
    EXPECT_EQ(first.mainCalls, 1u) << first.tree;
    EXPECT_EQ(first.workCalls, 1u) << first.tree;
    EXPECT_EQ(first.things, 1);
    client.close();
    ASSERT_TRUE(waitForLine("stderr", "Orvane> Disconnected. Waiting for reconnection.")) << err();

    FrontendClient second(60000);
    ASSERT_NO_FATAL_FAILURE(connectFrontend(second, held.port));
    // The state of a configured session: "Reconnection.".
    ASSERT_EQ(second.call(44, {0}, &reply), FrontendClient::OK) << second.lastError();
    ASSERT_GE(reply.body.size(), 4u);
    EXPECT_EQ(u4At(reply.body, 0), 2u);
    EXPECT_TRUE(waitForLine("stderr", "Orvane> Reconnection.")) << err();
    ASSERT_EQ(second.call(1, {0}, &reply), FrontendClient::OK) << second.lastError();
    Read empty;
    ASSERT_NO_FATAL_FAILURE(read(second, secondRegistry, &empty));
    EXPECT_EQ(empty.workCalls, 0u) << empty.tree;
    EXPECT_EQ(empty.things, 0);
    // Recording went off with the first front end: what the VM reports
    // before this one switches it on again is not recorded.
    touch("off");
    ASSERT_TRUE(waitForLine("stdout", "host: mark unrecorded")) << out() << err();
    ASSERT_EQ(second.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << second.lastError();
    ASSERT_EQ(second.call(49, {1}, &reply), FrontendClient::OK) << second.lastError();
    touch("again");
    ASSERT_TRUE(waitForLine("stdout", "host: mark replayed")) << out() << err();
    Read again;
    ASSERT_NO_FATAL_FAILURE(read(second, secondRegistry, &again));
    EXPECT_NE(again.tree.find("demo.Work.work"), std::string::npos) << again.tree;
    EXPECT_EQ(again.mainCalls, 1u) << again.tree;
    EXPECT_EQ(again.workCalls, 1u) << again.tree;
    EXPECT_EQ(again.things, 1);
    touch("done");
    second.close();
    ASSERT_EQ(finish(), 0) << err();
}

// A VM that reports its initialisation twice still has one communication
// thread.
TEST_F(PiagentLiveCommandsTest, OneCommunicationThreadWhateverTheVmReports)
{
    ASSERT_NO_FATAL_FAILURE(startConnected({"init-done", "mark:again", "await:done", "shut-down"}, ""));
    ASSERT_TRUE(waitForLine("stdout", "host: mark again")) << out();
    EXPECT_EQ(linesStartingWith(out(), "host: CreateSystemThread _orvane_native_comm").size(), 1u) << out();
    Reply reply;
    ASSERT_EQ(client.call(2, {}, &reply), FrontendClient::OK) << client.lastError();
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

} // namespace
