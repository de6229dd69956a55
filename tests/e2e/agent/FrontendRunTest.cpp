// A profiling run as a front end makes it, in each JDK: the example program
// under the agent, a front end that goes (the agent stops and resets what it
// recorded for it) and a front end that keeps one connection for the whole
// run (build/bin/frontend ... wait ...).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>
#include <sstream>

#include "CallTreeView.h"
#include "FrontendClient.h"
#include "JdkTest.h"
#include "Registry.h"
#include "ThreadView.h"
#include "WireReader.h"
#include "VmStateView.h"

using namespace jvmtest;

namespace {

std::string exampleSession()
{
    std::ifstream in(EXAMPLES_DIR "/tiagent-session.xml");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The VM's threads named for the agent's threads "_orvane_native_comm" and
// "_orvane_native_sampler" (the system keeps 15 characters of a name).
int agentThreads(pid_t pid)
{
    int count = 0;
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const std::string &task : listDir(tasks)) {
        std::string comm = readFile(tasks + "/" + task + "/comm");
        if (comm.rfind("_orvane_native_", 0) == 0)
            count++;
    }
    return count;
}

// Waits up to a minute until the VM runs `count` agent threads.
bool waitForAgentThreads(pid_t pid, int count)
{
    for (int i = 0; i < 3000; i++) {
        if (agentThreads(pid) == count)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

class FrontendRunTest : public JdkTest {
protected:
    void SetUp() override
    {
        JdkTest::SetUp();
        if (!ready())
            return;
        port = reservation.port;
        ASSERT_NE(port, 0);
    }

    // Demo under the agent, which waits for a front end.
    void startDemo(JvmProcess &jvm)
    {
        std::vector<std::string> c = {jdk + "/bin/java", "-XX:-UsePerfData",
                                      std::string("-agentpath:") + TIAGENT_PATH + "=port=" + std::to_string(port) + ",address=127.0.0.1",
                                      "-cp", EXAMPLE_CLASSES, "Demo"};
        ASSERT_TRUE(jvm.start(c, tmp, tmp, canIsolateTmp()));
        ASSERT_TRUE(jvm.waitFor("Waiting for a connection from the Orvane GUI ...", false, 60)) << jvm.err();
    }

    void connect(FrontendClient &client)
    {
        ASSERT_EQ(client.connect("127.0.0.1", static_cast<uint16_t>(port)), "");
        ASSERT_EQ(client.handshake(), "");
    }

    // The VM state poll, its descriptions kept in `registry`.
    void vmState(FrontendClient &client, Registry *registry, VmStateReply *state)
    {
        Reply reply;
        ASSERT_EQ(client.call(59, {}, &reply), FrontendClient::OK) << client.lastError();
        ASSERT_TRUE(VmStateView::readVmStateReply(reply.body, client.idWidth(), registry, state));
    }

    // The calls of the whole call tree (command 41).
    void recordedCalls(FrontendClient &client, Registry *registry, uint64_t *calls)
    {
        Reply reply;
        ASSERT_EQ(client.call(41, CallTreeView::invocationTreeRequest(0, 1, 10000, 0), &reply), FrontendClient::OK) << client.lastError();
        CallTreeReply tree;
        ASSERT_TRUE(CallTreeView::readInvocationTreeReply(reply.body, client.idWidth(), registry, &tree));
        *calls = 0;
        if (tree.root == nullptr)
            return;
        std::vector<const ViewNode *> nodes;
        CallTreeView::collect(*tree.root, &nodes);
        for (const ViewNode *n : nodes)
            *calls += n->count;
    }

    PortReservation reservation; // held for the whole test
    int port = 0;
};

// The first front end records the program and goes without asking the VM to
// end: the agent switches recording off, drops the data and says so; the
// next front end finds a configured session with nothing recorded.
TEST_P(FrontendRunTest, AFrontEndThatGoesStopsAndResetsRecording)
{
    if (!ready())
        return;
    JvmProcess jvm(work.path, "jvm");
    ASSERT_NO_FATAL_FAILURE(startDemo(jvm));
    FrontendClient first(60000);
    ASSERT_NO_FATAL_FAILURE(connect(first));
    Reply reply;
    ASSERT_EQ(first.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << first.lastError();
    ASSERT_EQ(first.call(1, sessionRequest(exampleSession(), 1), &reply), FrontendClient::OK) << first.lastError();
    ASSERT_EQ(first.call(49, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << first.lastError();
    ASSERT_EQ(first.call(61, {1}, &reply), FrontendClient::OK) << first.lastError();
    ASSERT_TRUE(jvm.waitFor("done", true, 120)) << jvm.err();
    Registry registry;
    VmStateReply state;
    ASSERT_NO_FATAL_FAILURE(vmState(first, &registry, &state));
    EXPECT_EQ(state.switches[0], 1) << "CPU recording";
    EXPECT_EQ(state.switches[1], 1) << "allocation recording";
    uint64_t calls = 0;
    ASSERT_NO_FATAL_FAILURE(recordedCalls(first, &registry, &calls));
    EXPECT_GT(calls, 242785u) << "Demo.fib alone is called 242,785 times";
    EXPECT_EQ(jvm.err().find("Disconnected. Waiting for reconnection."), std::string::npos);

    first.close();
    ASSERT_TRUE(jvm.waitFor("Orvane> Disconnected. Waiting for reconnection.", false, 30)) << jvm.err();

    FrontendClient next(60000);
    ASSERT_NO_FATAL_FAILURE(connect(next));
    ASSERT_EQ(next.call(44, {0}, &reply), FrontendClient::OK) << next.lastError();
    ASSERT_GE(reply.body.size(), 4u);
    EXPECT_EQ(reply.body[3], 2u) << "the session stays configured";
    ASSERT_TRUE(jvm.waitFor("Orvane> Reconnection.", false, 10)) << jvm.err();
    Registry fresh;
    ASSERT_NO_FATAL_FAILURE(vmState(next, &fresh, &state));
    EXPECT_EQ(state.switches[0], 0) << "CPU recording is off";
    EXPECT_EQ(state.switches[1], 0) << "allocation recording is off";
    EXPECT_EQ(state.switches[2], 0) << "monitor profiling is off";
    EXPECT_EQ(state.switches[10], 1) << "the CPU data were reset";
    ASSERT_NO_FATAL_FAILURE(recordedCalls(next, &fresh, &calls));
    EXPECT_EQ(calls, 0u) << "the first front end's calls are gone";

    next.close();
    jvm.closeInput();
    ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
}

// build/bin/frontend profiles a run over one connection: recording on, the
// session handed over, the wait until the program ends (its VM waits for the
// front end), then the views of the whole run.
TEST_P(FrontendRunTest, OneFrontEndProfilesTheWholeRun)
{
    if (!ready())
        return;
    JvmProcess jvm(work.path, "jvm");
    ASSERT_NO_FATAL_FAILURE(startDemo(jvm));
    JvmProcess frontend(work.path, "frontend");
    ASSERT_TRUE(frontend.start({FRONTEND_PATH, "--port", std::to_string(port), "cpu", "on", "session", EXAMPLES_DIR "/tiagent-session.xml",
                                "1", "wait", "hotspots", "calltree"},
                               tmp, tmp, false));
    ASSERT_TRUE(frontend.waitFor("waiting until the program ends", true, 60)) << frontend.out() << frontend.err();
    ASSERT_TRUE(jvm.waitFor("done", true, 120)) << jvm.err();
    EXPECT_EQ(frontend.out().find("242,785"), std::string::npos) << "nothing printed while the program runs";

    // Enter for Demo: the program ends and its VM waits for the front end.
    jvm.closeInput();
    ASSERT_TRUE(frontend.waitExit(60)) << frontend.out() << frontend.err();
    EXPECT_EQ(frontend.exitCode(), 0) << frontend.out() << frontend.err();
    std::string out = frontend.out();
    EXPECT_NE(out.find("the program ended; its VM waits for this front end"), std::string::npos) << out;
    EXPECT_NE(out.find("242,785  Demo.fib(int)"), std::string::npos) << out;
    EXPECT_NE(out.find("100,000  Demo.isPrime(int)"), std::string::npos) << out;
    EXPECT_NE(out.find("Demo.main(java.lang.String[])"), std::string::npos) << out;
    ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
    EXPECT_NE(jvm.err().find("Orvane> Keeping VM alive until frontend disconnects."), std::string::npos) << jvm.err();
}

// The count a view line shows before its method name ("200,000  Name" or
// "200000 calls  Name"), digits only.
std::string countBefore(const std::string &line, size_t name)
{
    size_t end = line.find_last_not_of(' ', name == 0 ? 0 : name - 1);
    if (end != std::string::npos && end >= 5 && line.compare(end - 4, 5, "calls") == 0)
        end = line.find_last_not_of(' ', end - 5);
    if (end == std::string::npos)
        return "";
    std::string digits;
    for (size_t i = line.find_last_of(' ', end) + 1; i <= end; i++) {
        if (line[i] != ',')
            digits += line[i];
    }
    return digits;
}

// Auto-tuning takes the hooks from AutoTuneProgram.tiny, called 200,000
// times, half a minute into the run, while the front end waits: the hot
// spots and the method list printed after the run mark it with the calls
// the program says it made, and so does the call tree where it shows tiny
// (the program's wait for its input leaves tiny less than the share the
// tree's top needs). A method of the program with its hooks is not marked;
// each JDK method called 100,000 times that joins tiny is marked with the
// calls its line shows.
TEST_P(FrontendRunTest, TheViewsMarkTheMethodsAutoTuningTookTheHooksFrom)
{
    if (!ready())
        return;
    JvmProcess jvm(work.path, "jvm");
    std::vector<std::string> c = {jdk + "/bin/java", "-XX:-UsePerfData",
                                  std::string("-agentpath:") + TIAGENT_PATH + "=port=" + std::to_string(port) + ",address=127.0.0.1",
                                  "-cp", INSTR_CLASSES, "AutoTuneProgram"};
    ASSERT_TRUE(jvm.start(c, tmp, tmp, canIsolateTmp()));
    ASSERT_TRUE(jvm.waitFor("Waiting for a connection from the Orvane GUI ...", false, 60)) << jvm.err();
    JvmProcess frontend(work.path, "frontend");
    ASSERT_TRUE(frontend.start({FRONTEND_PATH, "--port", std::to_string(port), "cpu", "on", "session", EXAMPLES_DIR "/tiagent-session.xml",
                                "1", "wait", "hotspots", "calltree", "graph"},
                               tmp, tmp, false));
    ASSERT_TRUE(jvm.waitFor("ran true ", true, 120)) << jvm.out() << jvm.err();
    ASSERT_NE(jvm.out().find("ran true 200000\n"), std::string::npos) << jvm.out();
    ASSERT_TRUE(jvm.waitFor("Orvane> Auto-tuning: hooks removed from AutoTuneProgram.tiny(", false, 120)) << jvm.err();
    jvm.closeInput();
    ASSERT_TRUE(frontend.waitExit(60)) << frontend.out() << frontend.err();
    EXPECT_EQ(frontend.exitCode(), 0) << frontend.out() << frontend.err();
    ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();

    std::string out = frontend.out();
    size_t hotspots = out.find("hot spots: ");
    size_t tree = out.find("call tree (time includes the callees)");
    size_t graph = out.find(" us total ");
    ASSERT_NE(hotspots, std::string::npos) << out;
    ASSERT_NE(tree, std::string::npos) << out;
    ASSERT_NE(graph, std::string::npos) << out;
    ASSERT_LT(hotspots, tree);
    ASSERT_LT(tree, graph);
    const std::string open = "  [hooks removed after ", close = " calls: counts stop here]";
    struct View {
        size_t from, to;
        int tinyLines; // how many lines show tiny at least
    };
    const std::vector<View> views = {{hotspots, tree, 1}, {tree, graph, 0}, {graph, out.size(), 1}};
    for (const View &view : views) {
        std::istringstream in(out.substr(view.from, view.to - view.from));
        int tinyMarked = 0;
        for (std::string l; std::getline(in, l);) {
            SCOPED_TRACE(l);
            size_t program = l.find("AutoTuneProgram.");
            size_t mark = l.find(open);
            if (program != std::string::npos && l.find("AutoTuneProgram.tiny", program) == program) {
                ASSERT_NE(mark, std::string::npos) << out;
                EXPECT_EQ(l.substr(mark), open + "200,000" + close);
                EXPECT_EQ(countBefore(l, program), "200000");
                tinyMarked++;
            } else if (program != std::string::npos) {
                EXPECT_EQ(mark, std::string::npos) << "a method that keeps its hooks";
            } else if (mark != std::string::npos) {
                size_t name = l.find("java.");
                ASSERT_NE(name, std::string::npos) << out;
                EXPECT_EQ(l.substr(mark), open + "100,000" + close);
                EXPECT_EQ(countBefore(l, name), "100000");
            }
        }
        EXPECT_GE(tinyMarked, view.tinyLines) << out.substr(view.from, view.to - view.from);
        EXPECT_LE(tinyMarked, 1) << out.substr(view.from, view.to - view.from);
    }
}

// Enter in the front end's terminal ends its wait while the program runs on:
// the views show the run so far and the program is not held.
TEST_P(FrontendRunTest, EnterEndsTheFrontEndsWait)
{
    if (!ready())
        return;
    JvmProcess jvm(work.path, "jvm");
    ASSERT_NO_FATAL_FAILURE(startDemo(jvm));
    JvmProcess frontend(work.path, "frontend");
    ASSERT_TRUE(frontend.start({FRONTEND_PATH, "--port", std::to_string(port), "cpu", "on", "session", EXAMPLES_DIR "/tiagent-session.xml",
                                "1", "wait", "hotspots"},
                               tmp, tmp, false));
    ASSERT_TRUE(frontend.waitFor("waiting until the program ends", true, 60)) << frontend.out() << frontend.err();
    ASSERT_TRUE(jvm.waitFor("done", true, 120)) << jvm.err();
    ASSERT_TRUE(frontend.writeInput("\n"));
    ASSERT_TRUE(frontend.waitExit(60)) << frontend.out() << frontend.err();
    EXPECT_EQ(frontend.exitCode(), 0) << frontend.out() << frontend.err();
    EXPECT_NE(frontend.out().find("Enter pressed; the program goes on"), std::string::npos) << frontend.out();
    EXPECT_NE(frontend.out().find("242,785  Demo.fib(int)"), std::string::npos) << frontend.out();
    ASSERT_TRUE(jvm.waitFor("Orvane> Disconnected. Waiting for reconnection.", false, 30)) << jvm.err();
    jvm.closeInput();
    ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
}

// The front end interrupts the program (command 48): the sampler thread and
// the thread that served the front end end at once, while the program's
// shutdown hook still holds the VM.
TEST_P(FrontendRunTest, TheSamplerStopsWhenTheFrontEndInterruptsTheProgram)
{
    if (!ready())
        return;
    JvmProcess jvm(work.path, "jvm");
    std::vector<std::string> c = {jdk + "/bin/java", "-XX:-UsePerfData",
                                  std::string("-agentpath:") + TIAGENT_PATH + "=port=" + std::to_string(port) + ",address=127.0.0.1",
                                  "-cp", PROBE_CLASSES, "ShutdownHold"};
    ASSERT_TRUE(jvm.start(c, tmp, tmp, canIsolateTmp()));
    ASSERT_TRUE(jvm.waitFor("Waiting for a connection from the Orvane GUI ...", false, 60)) << jvm.err();
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(connect(client));
    Reply reply;
    ASSERT_EQ(client.call(1, sessionRequest(exampleSession(), 1), &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(jvm.waitFor("holding", true, 60)) << jvm.err();
    ASSERT_TRUE(waitForAgentThreads(jvm.getPid(), 2)) << "the communication thread and the sampler run: " << agentThreads(jvm.getPid());
    client.call(48, {}, &reply);
    ASSERT_TRUE(jvm.waitFor("hook", true, 60)) << jvm.err();
    EXPECT_TRUE(waitForAgentThreads(jvm.getPid(), 0)) << "agent threads left: " << agentThreads(jvm.getPid());
    jvm.closeInput();
    ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
    EXPECT_EQ(jvm.exitCode(), 128 + SIGINT) << jvm.err();
}

// The agent's temporary files go with the VM, however it ends: the
// configuration's copy ("ovc") and the agent's archive ("jag").
TEST_P(FrontendRunTest, TemporaryFilesGoWithTheVm)
{
    if (!ready())
        return;
    struct Case {
        const char *name;
        bool exitCommand; // command 46, else the program's own end
    };
    const Case cases[] = {{"the program ends", false}, {"the front end ends the VM", true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string dir = tmp + "/" + (c.exitCommand ? "exit" : "end");
        mkdir(dir.c_str(), 0700);
        JvmProcess jvm(work.path, c.exitCommand ? "exit" : "end");
        std::vector<std::string> command = {jdk + "/bin/java", "-XX:-UsePerfData",
                                            std::string("-agentpath:") + TIAGENT_PATH + "=nowait,port=" + std::to_string(port) +
                                                ",address=127.0.0.1,config=" EXAMPLES_DIR "/tiagent-session.xml,id=1",
                                            "-cp", EXAMPLE_CLASSES, "Demo"};
        ASSERT_TRUE(jvm.start(command, dir, dir, canIsolateTmp()));
        ASSERT_TRUE(jvm.waitFor("done", true, 120)) << jvm.err();
        std::vector<std::string> during = listDir(dir);
        auto has = [](const std::vector<std::string> &names, const char *prefix) {
            return std::any_of(names.begin(), names.end(), [prefix](const std::string &n) { return n.rfind(prefix, 0) == 0; });
        };
        EXPECT_TRUE(has(during, "ovc")) << "the configuration's copy while the VM runs";
        EXPECT_TRUE(has(during, "jag")) << "the agent's archive while the VM runs";
        if (c.exitCommand) {
            ASSERT_TRUE(jvm.waitFor("Orvane> Using address 127.0.0.1.", false, 60)) << jvm.err();
            FrontendClient client(60000);
            ASSERT_NO_FATAL_FAILURE(connect(client));
            Reply reply;
            client.call(46, {}, &reply);
        } else {
            jvm.closeInput();
        }
        ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
        EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
        std::vector<std::string> after = listDir(dir);
        EXPECT_FALSE(has(after, "ovc")) << ::testing::PrintToString(after);
        EXPECT_FALSE(has(after, "jag")) << ::testing::PrintToString(after);
    }
}

// The VM state poll (59): the switches, the change flags (each said once)
// and the probes to record as command 90 set them, as literal bytes.
TEST_P(FrontendRunTest, TheVmStatePollSaysWhatChanged)
{
    if (!ready())
        return;
    JvmProcess jvm(work.path, "jvm");
    std::vector<std::string> c = {jdk + "/bin/java", "-XX:-UsePerfData",
                                  std::string("-agentpath:") + TIAGENT_PATH + "=port=" + std::to_string(port) + ",address=127.0.0.1",
                                  "-cp", PROBE_CLASSES, "AgentProbe", "hold"};
    ASSERT_TRUE(jvm.start(c, tmp, tmp, canIsolateTmp()));
    ASSERT_TRUE(jvm.waitFor("Waiting for a connection from the Orvane GUI ...", false, 60)) << jvm.err();
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(connect(client));
    Reply reply;
    ASSERT_EQ(client.call(1, {0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(jvm.waitFor("holding", true, 60)) << jvm.err();

    // U4 status, the 13 switch and flag bytes, U4 length and the probe bytes.
    auto poll = [&](size_t probeBytes) {
        Reply r;
        EXPECT_EQ(client.call(59, {}, &r), FrontendClient::OK) << client.lastError();
        size_t n = 4 + 13 + 4 + probeBytes;
        return r.body.size() >= n ? std::vector<uint8_t>(r.body.begin(), r.body.begin() + static_cast<long>(n)) : r.body;
    };
    struct Step {
        const char *name;
        uint32_t command;
        std::vector<uint8_t> payload;
        std::vector<uint8_t> first; // the poll after the command
        std::vector<uint8_t> next;  // the poll after that
    };
    const Step steps[] = {
        {"nothing yet (triggers on)", 0, {}, {0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         {0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"CPU recording on: new CPU data", 38, {1, 0, 0, 0, 0}, {0, 0, 0, 1, 1, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0},
         {0, 0, 0, 1, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"a thread dump", 74, {1}, {0, 0, 0, 1, 1, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         {0, 0, 0, 1, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"monitor profiling on", 73, {1, 0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 1, 1, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0},
         {0, 0, 0, 1, 1, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"allocation recording on", 49, {1, 0, 0, 0, 0}, {0, 0, 0, 1, 1, 1, 1, 0, 1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0},
         {0, 0, 0, 1, 1, 1, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.name);
        if (step.command != 0) {
            ASSERT_EQ(client.call(step.command, step.payload, &reply), FrontendClient::OK) << client.lastError();
        }
        EXPECT_EQ(poll(0), step.first);
        EXPECT_EQ(poll(0), step.next);
    }
    // The probes to record (command 90) come back in every poll (the Java
    // side's arrays count as new allocation data meanwhile).
    ASSERT_EQ(client.call(90, {0, 0, 0, 3, 0xaa, 0xbb, 0xcc}, &reply), FrontendClient::OK) << client.lastError();
    const std::vector<uint8_t> probes = {0, 0, 0, 3, 0xaa, 0xbb, 0xcc};
    for (int i = 0; i < 2; i++) {
        std::vector<uint8_t> state = poll(3);
        ASSERT_EQ(state.size(), 4u + 13u + 4u + 3u);
        EXPECT_EQ(std::vector<uint8_t>(state.begin() + 17, state.end()), probes);
    }

    client.call(46, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
}

// The program's own status override (Agent.setOverrideThreadStatus): the
// thread that computes while it says it waits is recorded as waiting (65) in
// its status history.
TEST_P(FrontendRunTest, AThreadsStatusOverrideShowsInItsHistory)
{
    if (!ready())
        return;
    JvmProcess jvm(work.path, "jvm");
    std::vector<std::string> c = {jdk + "/bin/java", "-XX:-UsePerfData",
                                  std::string("-agentpath:") + TIAGENT_PATH + "=port=" + std::to_string(port) + ",address=127.0.0.1",
                                  "-cp", PROBE_CLASSES, "StatusOverride"};
    ASSERT_TRUE(jvm.start(c, tmp, tmp, canIsolateTmp()));
    ASSERT_TRUE(jvm.waitFor("Waiting for a connection from the Orvane GUI ...", false, 60)) << jvm.err();
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(connect(client));
    Reply reply;
    ASSERT_EQ(client.call(1, sessionRequest(exampleSession(), 1), &reply), FrontendClient::OK) << client.lastError();
    ASSERT_EQ(client.call(61, {1}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(jvm.waitFor("overriding", true, 60)) << jvm.err() << jvm.out();

    Registry registry;
    std::vector<ThreadInfo> threads;
    bool waiting = false;
    for (int i = 0; i < 300 && !waiting; i++) {
        ASSERT_EQ(client.call(11, {}, &reply), FrontendClient::OK) << client.lastError();
        WireReader r(reply.body);
        ASSERT_TRUE(ThreadView::readThreadDescriptions(r, client.idWidth(), &registry, &threads));
        for (const ThreadInfo &t : threads) {
            if (t.name != "overridden")
                continue;
            for (const auto &s : t.statuses)
                waiting = waiting || s.first == 65;
        }
        if (!waiting)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(waiting) << ThreadView::formatStatusHistories(threads);
    jvm.closeInput();
    ASSERT_TRUE(jvm.waitFor("done", true, 60)) << jvm.err() << jvm.out();
    client.close();
    ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
}

// Probes ask where a payload was made (AnnotationHandler.getCallSite): one
// call of a method gives one call site, another method another, each with
// its method.
TEST_P(FrontendRunTest, ProbesGetTheCallSiteOfTheirCall)
{
    if (!ready())
        return;
    JvmProcess jvm(work.path, "jvm");
    std::vector<std::string> c = {jdk + "/bin/java", "-XX:-UsePerfData",
                                  std::string("-agentpath:") + TIAGENT_PATH + "=port=" + std::to_string(port) + ",address=127.0.0.1",
                                  "-cp", PROBE_CLASSES, "CallSites"};
    ASSERT_TRUE(jvm.start(c, tmp, tmp, canIsolateTmp()));
    ASSERT_TRUE(jvm.waitFor("Waiting for a connection from the Orvane GUI ...", false, 60)) << jvm.err();
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(connect(client));
    Reply reply;
    ASSERT_EQ(client.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_EQ(client.call(1, sessionRequest(exampleSession(), 1), &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(jvm.waitFor("ready", true, 60)) << jvm.err();
    jvm.closeInput();
    ASSERT_TRUE(jvm.waitFor("sites", true, 60)) << jvm.err() << jvm.out();
    std::string out = jvm.out();
    std::istringstream line(out.substr(out.find("sites") + 5));
    long long id[3] = {0, 0, 0};
    long long method[3] = {0, 0, 0};
    for (int i = 0; i < 3; i++) {
        char colon = 0;
        ASSERT_TRUE(line >> id[i] >> colon >> method[i]) << out;
    }
    EXPECT_GT(id[0], 0) << out;
    EXPECT_EQ(id[1], id[0]) << "one call site for the calls of first() from main: " << out;
    EXPECT_NE(id[2], id[0]) << "second() is another call site: " << out;
    EXPECT_NE(method[0], 0) << out;
    EXPECT_NE(method[2], 0) << out;
    EXPECT_NE(method[2], method[0]) << out;
    client.close();
    ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
}

INSTANTIATE_TEST_SUITE_P(Jdks, FrontendRunTest, testing::ValuesIn(JDKS), jdkTestName);

} // namespace
