// Real programs profiled by rewritten bytecode: tiagent instruments the
// classes a JVM loads (with -Xverify:all), the front end switches CPU
// recording on through the session configuration and reads the call tree.
// Each program must print exactly what it prints without the agent, and the
// tree must hold the exact number of calls of the program's methods.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "CallTreeView.h"
#include "FrontendClient.h"
#include "JdkTest.h"
#include "JvmProcess.h"
#include "LoadedSnapshot.h"
#include "ProbeView.h"
#include "Registry.h"
#include "WireReader.h"
#include "WireWriter.h"

using namespace jvmtest;

namespace {

const char *const FILTERS[] = {"java.", "javax.", "sun.", "com.sun.", "jdk."};

// The session configuration of the front end: dynamic instrumentation with
// the given exclusive filters, elapsed times, the handling of
// java.util.concurrent's parking and component detection.
std::string sessionXml(const std::vector<std::string> &filters)
{
    std::string xml = "<config><session id=\"5\" instrumentationType=\"1\" timeType=\"1\" utilConcurrentHandling=\"true\" "
                      "componentDetection=\"true\">";
    for (const std::string &f : filters)
        xml += "<filter type=\"exclusive\" name=\"" + f + "\"/>";
    return xml + "</session></config>";
}

std::vector<std::string> defaultFilters()
{
    return std::vector<std::string>(std::begin(FILTERS), std::end(FILTERS));
}

// What a JVM must never say about rewritten classes.
const char *const JVM_COMPLAINTS[] = {"VerifyError", "ClassFormatError", "NoClassDefFoundError", "IncompatibleClassChangeError",
                                      "LinkageError", "StackOverflowError", "# A fatal error", "hs_err_pid"};

std::string complaints(const std::string &text)
{
    std::string found;
    for (const char *c : JVM_COMPLAINTS) {
        if (text.find(c) != std::string::npos)
            found += std::string(c) + " ";
    }
    return found;
}

// Every node of a view with the node above it.
void collectWithParents(const ViewNode &node, const ViewNode *parent, std::vector<std::pair<const ViewNode *, const ViewNode *>> *out)
{
    std::vector<std::pair<const ViewNode *, const ViewNode *>> pending = {{&node, parent}};
    while (!pending.empty()) {
        auto item = pending.back();
        pending.pop_back();
        out->push_back(item);
        for (const auto &child : item.first->children)
            pending.push_back({child.get(), item.first});
    }
}

class InstrumentedProgramTest : public JdkTest {
protected:
    void SetUp() override
    {
        JdkTest::SetUp();
        if (!ready())
            return;
        port = reservation.port;
        ASSERT_NE(port, 0);
    }

    std::vector<std::string> java(bool withAgent, const std::string &agentOptions, const std::vector<std::string> &args)
    {
        // The VM's own logging keeps its defaults: whatever the agent makes the
        // VM print on standard output changes the program's output.
        std::vector<std::string> c = {jdk + "/bin/java", "-XX:-UsePerfData", "-Xverify:all"};
        if (withAgent) {
            std::string options = "port=" + std::to_string(port) + ",address=127.0.0.1";
            if (!agentOptions.empty())
                options += "," + agentOptions;
            c.push_back(std::string("-agentpath:") + TIAGENT_PATH + "=" + options);
        }
        c.insert(c.end(), args.begin(), args.end());
        return c;
    }

    // The program's output without the agent.
    std::string runPlain(const std::vector<std::string> &args, int seconds)
    {
        JvmProcess jvm(work.path, "plain");
        EXPECT_TRUE(jvm.start(java(false, "", args), tmp, tmp, canIsolateTmp()));
        jvm.closeInput();
        EXPECT_TRUE(jvm.waitExit(seconds)) << jvm.err();
        EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
        return jvm.out();
    }

    // Starts the program under the agent, connects, switches CPU recording
    // on and lets main run with the given configuration (command 1).
    void startProfiled(JvmProcess &jvm, FrontendClient &client, const std::string &agentOptions, const std::vector<std::string> &args,
                       const std::string &xml)
    {
        ASSERT_TRUE(jvm.start(java(true, agentOptions, args), tmp, tmp, canIsolateTmp()));
        ASSERT_TRUE(jvm.waitFor("Waiting for a connection from the Orvane GUI ...", false, 60)) << jvm.err();
        ASSERT_EQ(client.connect("127.0.0.1", static_cast<uint16_t>(port)), "");
        ASSERT_EQ(client.handshake(), "");
        Reply reply;
        ASSERT_EQ(client.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
        ASSERT_EQ(client.call(61, {1}, &reply), FrontendClient::OK) << client.lastError();
        ASSERT_EQ(client.call(1, setParameters(xml), &reply), FrontendClient::OK) << client.lastError();
    }

    // Profiles the program (the usual filters unless xml says otherwise) until
    // it prints the line.
    void profileUntil(JvmProcess &jvm, FrontendClient &client, const std::string &agentOptions,
                      const std::vector<std::string> &args, const std::string &line, int seconds,
                      const std::string &xml = sessionXml(defaultFilters()))
    {
        ASSERT_NO_FATAL_FAILURE(startProfiled(jvm, client, agentOptions, args, xml));
        ASSERT_TRUE(jvm.waitFor(line, true, seconds)) << jvm.err() << jvm.out();
    }

    // The cumulated call tree of all threads: run times (kind 1) or
    // waiting times (kind 2).
    void readTree(FrontendClient &client, Registry *registry, CallTreeReply *tree, uint32_t valueKind = 1)
    {
        Reply reply;
        ASSERT_EQ(client.call(41, CallTreeView::invocationTreeRequest(0, valueKind, 100000, 0), &reply), FrontendClient::OK)
            << client.lastError();
        ASSERT_TRUE(CallTreeView::readInvocationTreeReply(reply.body, client.idWidth(), registry, tree));
        ASSERT_NE(tree->root, nullptr);
    }

    // Lets main return and the VM end; a connected front end would keep the
    // VM waiting at its end, so the connection closes too.
    void finish(JvmProcess &jvm, FrontendClient &client)
    {
        jvm.closeInput();
        client.close();
        EXPECT_TRUE(jvm.waitExit(60)) << jvm.err();
    }

    PortReservation reservation; // held for the whole test
    int port = 0;
};

// Calls per method ("class.method") of the view.
std::map<std::string, uint64_t> callsByMethod(const ViewNode &root, const Registry &registry)
{
    std::vector<const ViewNode *> nodes;
    CallTreeView::collect(root, &nodes);
    std::map<std::string, uint64_t> calls;
    for (const ViewNode *n : nodes) {
        if (n->method != 0)
            calls[registry.describe(n->method)] += n->count;
    }
    return calls;
}

// The summed values (microseconds) of the nodes of a method.
int64_t valueOf(const ViewNode &root, const Registry &registry, const std::string &method)
{
    std::vector<const ViewNode *> nodes;
    CallTreeView::collect(root, &nodes);
    int64_t value = 0;
    for (const ViewNode *n : nodes) {
        if (n->method != 0 && registry.describe(n->method) == method)
            value += n->value;
    }
    return value;
}

// The names of the methods directly above the nodes of `method`.
std::set<std::string> callersOf(const ViewNode &root, const Registry &registry, const std::string &method)
{
    std::vector<std::pair<const ViewNode *, const ViewNode *>> nodes;
    collectWithParents(root, nullptr, &nodes);
    std::set<std::string> callers;
    for (const auto &n : nodes) {
        if (n.first->method != 0 && registry.describe(n.first->method) == method)
            callers.insert(n.second == nullptr || n.second->method == 0 ? "<root>" : registry.describe(n.second->method));
    }
    return callers;
}

// A call still running that makes no call with hooks counts in the live
// views up to the moment of the request, as it does in a snapshot taken
// then: a live reading, a snapshot and another live reading come in that
// order, and each holds at most the time the test has seen the call run.
TEST_P(InstrumentedProgramTest, ACallStillRunningCountsInLiveViewsAsInASnapshot)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(profileUntil(jvm, client, "", {"-cp", INSTR_CLASSES, "instrprog.RunningCall"}, "spinning", 60));
    Clock::time_point seen = Clock::now();
    const std::string spin = "instrprog.RunningCall.spin";
    auto since = [&seen](Clock::time_point t) {
        return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::microseconds>(t - seen).count());
    };
    // The line is seen at most one poll of the output after it was printed.
    const int64_t seenLate = 200000;

    Registry registry;
    int64_t first = 0;
    Clock::time_point firstAnswered;
    for (auto until = Clock::now() + std::chrono::seconds(30); Clock::now() < until && first < 1000000;) {
        CallTreeReply tree;
        ASSERT_NO_FATAL_FAILURE(readTree(client, &registry, &tree));
        firstAnswered = Clock::now();
        first = valueOf(*tree.root, registry, spin);
        if (first < 1000000)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_GE(first, 1000000) << "the running call is in the live tree";
    EXPECT_LE(first, since(firstAnswered) + seenLate);

    Reply reply;
    ASSERT_EQ(client.call(32, {0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_GT(reply.body.size(), 12u);
    std::string path = work / "running.ovs";
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char *>(reply.body.data()) + 12, static_cast<std::streamsize>(reply.body.size() - 12));
    }
    CallTreeReply last;
    ASSERT_NO_FATAL_FAILURE(readTree(client, &registry, &last));
    Clock::time_point lastAnswered = Clock::now();
    int64_t latest = valueOf(*last.root, registry, spin);

    LoadedSnapshot snapshot;
    ASSERT_EQ(snapshot.load(path), 36);
    Registry loadedRegistry;
    CallTreeReply loaded;
    ASSERT_TRUE(CallTreeView::readInvocationTreeReply(snapshot.invocationTree(CallTreeView::invocationTreeRequest(0, 1, 100000, 0)), 8,
                                                      &loadedRegistry, &loaded));
    ASSERT_NE(loaded.root, nullptr);
    int64_t saved = valueOf(*loaded.root, loadedRegistry, spin);
    EXPECT_LE(first, saved);
    EXPECT_LE(saved, latest);
    EXPECT_LE(latest, since(lastAnswered) + seenLate);
    jvm.writeInput("\n");
    ASSERT_TRUE(jvm.waitFor("done", true, 60)) << jvm.err();
    finish(jvm, client);
}

// Interface methods with bodies (a default method, one called through
// Interface.super from an override, a static one) get hooks like any other
// method: the tree holds exactly the calls the program made, and the
// program prints what it prints without the agent.
TEST_P(InstrumentedProgramTest, InterfaceDefaultMethodsAreCounted)
{
    std::vector<std::string> args = {"-cp", INSTR_CLASSES, "instrprog.DefaultMethods"};
    std::string plain = runPlain(args, 60);
    ASSERT_NE(plain.find("done"), std::string::npos);
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(profileUntil(jvm, client, "", args, "done", 60));
    Registry registry;
    CallTreeReply tree;
    ASSERT_NO_FATAL_FAILURE(readTree(client, &registry, &tree));
    std::map<std::string, uint64_t> calls = callsByMethod(*tree.root, registry);
    std::string text = CallTreeView::format(*tree.root, registry);
    EXPECT_EQ(calls["instrprog.DefaultMethods$Shape.scaled"], 500u) << text;
    EXPECT_EQ(calls["instrprog.DefaultMethods$Shape.unit"], 1u) << text;
    EXPECT_EQ(calls["instrprog.DefaultMethods$Circle.scaled"], 200u) << text;
    EXPECT_EQ(calls["instrprog.DefaultMethods$Square.area"], 300u) << text;
    EXPECT_EQ(calls["instrprog.DefaultMethods$Circle.area"], 200u) << text;
    EXPECT_EQ(callersOf(*tree.root, registry, "instrprog.DefaultMethods$Shape.scaled"),
              (std::set<std::string>{"instrprog.DefaultMethods.main", "instrprog.DefaultMethods$Circle.scaled"}))
        << text;
    finish(jvm, client);
    EXPECT_EQ(jvm.out(), plain);
    EXPECT_EQ(complaints(jvm.err()), "") << jvm.err();
}

// With instrument-jre the JDK classes the VM loaded before the agent's hook
// (ArrayList, Integer) get hooks too, through a retransformation, whether
// the configuration comes from the front end or from the file at start-up:
// main's 1000 calls of each are in the tree, exactly.
TEST_P(InstrumentedProgramTest, InstrumentJreCountsCallsIntoClassesLoadedBeforeTheAgent)
{
    const std::string xml = sessionXml({"sun.", "jdk.", "com.sun."});
    std::string config = work / "config.xml";
    std::ofstream(config) << xml;
    std::vector<std::string> args = {"-cp", INSTR_CLASSES, "instrprog.JreCalls"};
    for (bool fromFile : {false, true}) {
        SCOPED_TRACE(fromFile ? "configuration from the file" : "configuration from the front end");
        JvmProcess jvm(work.path, fromFile ? "file" : "frontend");
        FrontendClient client(60000);
        if (fromFile) {
            std::string options = "nowait,instrument-jre,config=" + config + ",id=5";
            std::vector<std::string> c = java(true, options, args);
            // Recording from start-up, as the front end switches it on below.
            std::ofstream(config) << xml.substr(0, xml.find(" utilConcurrentHandling")) + " recordCPUOnStartup=\"true\"" +
                                         xml.substr(xml.find(" utilConcurrentHandling"));
            ASSERT_TRUE(jvm.start(c, tmp, tmp, canIsolateTmp()));
            ASSERT_TRUE(jvm.waitFor("done", true, 120)) << jvm.err() << jvm.out();
            ASSERT_TRUE(jvm.waitFor("Orvane> Using address 127.0.0.1.", false, 30)) << jvm.err();
            std::string error = "not tried";
            for (int attempt = 0; attempt < 100 && !error.empty(); attempt++) {
                error = client.connect("127.0.0.1", static_cast<uint16_t>(port));
                if (!error.empty())
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            ASSERT_EQ(error, "");
            ASSERT_EQ(client.handshake(), "");
        } else {
            ASSERT_NO_FATAL_FAILURE(profileUntil(jvm, client, "instrument-jre", args, "done", 120, xml));
        }
        Registry registry;
        CallTreeReply tree;
        ASSERT_NO_FATAL_FAILURE(readTree(client, &registry, &tree));
        std::string text = CallTreeView::format(*tree.root, registry);
        std::vector<std::pair<const ViewNode *, const ViewNode *>> nodes;
        collectWithParents(*tree.root, nullptr, &nodes);
        std::map<std::string, uint64_t> fromMain;
        for (const auto &n : nodes) {
            if (n.second != nullptr && n.second->method != 0 && registry.describe(n.second->method) == "instrprog.JreCalls.main")
                fromMain[registry.describe(n.first->method)] += n.first->count;
        }
        EXPECT_EQ(fromMain["java.util.ArrayList.add"], 1000u) << text;
        EXPECT_EQ(fromMain["java.lang.Integer.valueOf"], 1000u) << text;
        finish(jvm, client);
        EXPECT_EQ(complaints(jvm.err() + jvm.out()), "") << jvm.err();
    }
}

TEST_P(InstrumentedProgramTest, ProgramRunsUnchangedAndTheTreeHoldsEveryCall)
{
    std::vector<std::string> args = {"-cp", INSTR_CLASSES, "instrprog.InstrumentedProgram"};
    std::string expected = runPlain(args, 60);
    ASSERT_NE(expected.find("done"), std::string::npos) << expected;

    JvmProcess jvm(work.path, "profiled");
    FrontendClient client(30000);
    ASSERT_NO_FATAL_FAILURE(profileUntil(jvm, client, "", args, "done", 120));

    Registry registry;
    CallTreeReply tree;
    ASSERT_NO_FATAL_FAILURE(readTree(client, &registry, &tree));
    std::string shown = CallTreeView::format(*tree.root, registry);
    std::map<std::string, uint64_t> calls = callsByMethod(*tree.root, registry);
    // A thread's first method (main, a Runnable's run) is already running
    // when its first hook learns the thread's stack; it still counts once.
    const struct {
        const char *method;
        uint64_t calls;
    } table[] = {
        {"instrprog.InstrumentedProgram.main", 1},
        {"instrprog.Contention$1.run", 1},
        {"instrprog.Net$1.run", 1},
        {"instrprog.Recursion.fib", 1973}, // fib(15)
        {"instrprog.Exceptions.run", 1},
        {"instrprog.Exceptions.outer", 7},
        {"instrprog.Exceptions.middle", 7},
        {"instrprog.Exceptions.inner", 7},
        {"instrprog.Exceptions.parse", 3},
        {"instrprog.Shapes.build", 1},
        {"instrprog.Point.<init>", 12},
        {"instrprog.Arrays2.fill", 4},
        {"instrprog.Sleeper.nap", 2},
        {"instrprog.Waiter.waitBriefly", 1},
        {"instrprog.Contention.acquire", 1},
        {"instrprog.Parker.parkBriefly", 3},
        {"instrprog.Net.echo", 1},
        {"instrprog.Net.roundTrip", 3},
        {"instrprog.Net.serve", 1},
        {"instrprog.Plugins.run", 1},
        {"instrprog.ChildFirstLoader.define", 2},
        {"instrprog.plugin.Plugin.compute", 4},
        {"instrprog.plugin.Plugin$Helper.<init>", 4},
        {"instrprog.plugin.Plugin$Helper.square", 4},
        {"instrprog.Components.run", 1},
        {"instrprog.Cart.remove", 1},
        {"instrprog.Cart.size", 1},
        {"instrprog.Serial.describe", 1},
        {"instrprog.Marker.after", 1},
    };
    for (const auto &row : table) {
        SCOPED_TRACE(row.method);
        EXPECT_EQ(calls[row.method], row.calls) << shown;
    }
    // Entries and exits balance: exceptions unwound through middle and inner
    // leave later calls at the level of their real caller.
    EXPECT_EQ(callersOf(*tree.root, registry, "instrprog.Exceptions.inner"), std::set<std::string>{"instrprog.Exceptions.middle"}) << shown;
    EXPECT_EQ(callersOf(*tree.root, registry, "instrprog.Exceptions.middle"), std::set<std::string>{"instrprog.Exceptions.outer"}) << shown;
    EXPECT_EQ(callersOf(*tree.root, registry, "instrprog.Net.roundTrip"), std::set<std::string>{"instrprog.Net.echo"}) << shown;
    std::set<std::string> mainLevel = callersOf(*tree.root, registry, "instrprog.Exceptions.run");
    EXPECT_EQ(mainLevel, std::set<std::string>{"instrprog.InstrumentedProgram.main"}) << shown;
    EXPECT_EQ(callersOf(*tree.root, registry, "instrprog.Net.serve"), std::set<std::string>{"instrprog.Net$1.run"}) << shown;
    for (const char *method : {"instrprog.Exceptions.parse", "instrprog.Recursion.fib", "instrprog.Parker.parkBriefly", "instrprog.Net.echo",
                               "instrprog.Plugins.run", "instrprog.Marker.after"}) {
        SCOPED_TRACE(method);
        std::set<std::string> callers = callersOf(*tree.root, registry, method);
        EXPECT_TRUE(std::includes(callers.begin(), callers.end(), mainLevel.begin(), mainLevel.end())) << shown;
    }
    EXPECT_EQ(callersOf(*tree.root, registry, "instrprog.Marker.after"), mainLevel) << "the last call of main: " << shown;

    finish(jvm, client);
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
    EXPECT_EQ(jvm.out(), expected) << jvm.err();
    EXPECT_EQ(complaints(jvm.err() + jvm.out()), "") << jvm.err();
}

// With instrument-jre the JDK's own classes outside the filters get hooks
// too; without it they never do.
TEST_P(InstrumentedProgramTest, InstrumentJreHooksTheJdksClassesOutsideTheFilters)
{
    std::vector<std::string> args = {"-cp", INSTR_CLASSES, "instrprog.InstrumentedProgram"};
    std::string expected = runPlain(args, 60);
    // java.lang stays unfiltered: its natives include intrinsic candidates.
    const std::string xml = sessionXml({"sun.", "jdk.", "javax.", "com.sun."});
    for (bool jre : {false, true}) {
        SCOPED_TRACE(jre ? "instrument-jre" : "default");
        JvmProcess jvm(work.path, jre ? "jre" : "nojre");
        FrontendClient client(30000);
        ASSERT_NO_FATAL_FAILURE(profileUntil(jvm, client, jre ? "instrument-jre" : "", args, "done", 120, xml));
        Registry registry;
        CallTreeReply tree;
        ASSERT_NO_FATAL_FAILURE(readTree(client, &registry, &tree));
        std::map<std::string, uint64_t> calls = callsByMethod(*tree.root, registry);
        EXPECT_EQ(calls["instrprog.Recursion.fib"], 1973u);
        // A JDK method called from a JDK method: only hooks inside the JDK record that.
        bool jdkCallsJdk = false;
        for (const auto &entry : calls) {
            if (entry.first.rfind("java.", 0) != 0)
                continue;
            for (const std::string &caller : callersOf(*tree.root, registry, entry.first))
                jdkCallsJdk = jdkCallsJdk || caller.rfind("java.", 0) == 0;
        }
        EXPECT_EQ(jdkCallsJdk, jre) << CallTreeView::format(*tree.root, registry);
        finish(jvm, client);
        EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
        EXPECT_EQ(jvm.out(), expected) << jvm.err();
    }
}

// Sleeping, waiting on a monitor and parking are waiting time of the
// methods that do it, not run time.
TEST_P(InstrumentedProgramTest, SleepsWaitsAndParksAreWaitingTime)
{
    std::vector<std::string> args = {"-cp", INSTR_CLASSES, "instrprog.InstrumentedProgram"};
    JvmProcess jvm(work.path, "waiting");
    FrontendClient client(30000);
    ASSERT_NO_FATAL_FAILURE(profileUntil(jvm, client, "", args, "done", 120));
    Registry registry;
    CallTreeReply tree;
    ASSERT_NO_FATAL_FAILURE(readTree(client, &registry, &tree));
    std::string shown = CallTreeView::format(*tree.root, registry);
    // Sleeping, waiting and parking take 20 + 10, 30 and 20 + 10 ms. Every
    // park that began also ended, also the one that returns at once, so the
    // calls after it wait nothing.
    CallTreeReply waiting;
    ASSERT_NO_FATAL_FAILURE(readTree(client, &registry, &waiting, 2));
    std::string shownWaiting = CallTreeView::format(*waiting.root, registry);
    EXPECT_GE(valueOf(*waiting.root, registry, "instrprog.Sleeper.nap"), 25000) << shownWaiting;
    EXPECT_GE(valueOf(*waiting.root, registry, "instrprog.Waiter.waitBriefly"), 25000) << shownWaiting;
    EXPECT_GE(valueOf(*waiting.root, registry, "instrprog.Parker.parkBriefly"), 25000) << shownWaiting;
    EXPECT_LT(valueOf(*tree.root, registry, "instrprog.Sleeper.nap"), 25000) << "slept time is not run time: " << shown;
    EXPECT_LT(valueOf(*tree.root, registry, "instrprog.Parker.parkBriefly"), 25000) << "parked time is not run time: " << shown;
    for (const char *method : {"instrprog.Plugins.run", "instrprog.Serial.describe", "instrprog.Marker.after"}) {
        SCOPED_TRACE(method);
        EXPECT_LT(valueOf(*waiting.root, registry, method), 5000) << shownWaiting;
    }
    finish(jvm, client);
}

// The default serialVersionUID that the agent computes in place of the
// JDK's equals the JDK's for every kind of class member.
TEST_P(InstrumentedProgramTest, DefaultSerialVersionOfTheHookEqualsTheJdks)
{
    std::string expected = runPlain({"-cp", INSTR_CLASSES, "SerialVersionCheck", "jdk"}, 60);
    ASSERT_NE(expected.find("SerialVersionCheck$Members"), std::string::npos) << expected;
    JvmProcess jvm(work.path, "hook");
    ASSERT_TRUE(jvm.start(java(true, "nowait", {"-cp", INSTR_CLASSES, "SerialVersionCheck", "hook"}), tmp, tmp, canIsolateTmp()));
    jvm.closeInput();
    ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
    EXPECT_EQ(jvm.out(), expected) << jvm.err();
}

// With "save-instr-classes" the class files the agent changed are kept in
// an "ov_cls" directory of TMPDIR, each with the bytes it came with; classes
// left as they were are not written.
TEST_P(InstrumentedProgramTest, SavedClassesHoldTheOriginalAndTheRewrittenBytes)
{
    std::vector<std::string> args = {"-cp", INSTR_CLASSES, "instrprog.InstrumentedProgram"};
    JvmProcess jvm(work.path, "saving");
    FrontendClient client(30000);
    ASSERT_NO_FATAL_FAILURE(profileUntil(jvm, client, "save-instr-classes", args, "done", 120));
    finish(jvm, client);
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();

    std::string dir;
    for (const std::string &n : listDir(tmp)) {
        if (n.rfind("ov_cls", 0) == 0)
            dir = tmp + "/" + n;
    }
    ASSERT_FALSE(dir.empty()) << "no ov_cls directory in TMPDIR";
    std::vector<std::string> saved = listDir(dir);
    std::string compiled = readFile(std::string(INSTR_CLASSES) + "/instrprog/Recursion.class");
    ASSERT_FALSE(compiled.empty());
    std::string original, rewritten;
    for (const std::string &n : saved) {
        if (n.rfind("instrprog.Recursion.", 0) != 0)
            continue;
        std::string bytes = readFile(dir + "/" + n);
        if (n.find("orig") != std::string::npos)
            original = bytes;
        else
            rewritten = bytes;
    }
    EXPECT_EQ(original, compiled) << "the incoming bytes, unchanged";
    ASSERT_FALSE(rewritten.empty()) << dir;
    EXPECT_NE(rewritten, compiled);
    EXPECT_EQ(rewritten.compare(0, 4, "\xCA\xFE\xBA\xBE"), 0);
    EXPECT_NE(rewritten.find("__orvane_enterMethod"), std::string::npos) << "the entry hook's name in the constant pool";
    for (const std::string &n : saved) {
        SCOPED_TRACE(n);
        EXPECT_NE(n.rfind("instrprog.Sized.", 0), 0u) << "an interface is left as it is and not saved";
        EXPECT_EQ(n.size() > 6 ? n.substr(n.size() - 6) : n, ".class");
    }
}

// The methods auto-tuning took the hooks from, as command 59 reports them
// (after the switches and the probe recording bytes: byte 1 and an ID each,
// byte 0); the method and class descriptions of the reply go into the registry.
std::vector<uint64_t> pollAutoTuned(FrontendClient &client, Registry *registry)
{
    Reply reply;
    EXPECT_EQ(client.call(59, {}, &reply), FrontendClient::OK) << client.lastError();
    WireReader reader(reply.body);
    reader.skip(4 + 13);
    reader.skip(reader.readU4());
    std::vector<uint64_t> ids;
    while (!reader.error() && reader.readByte() == 1)
        ids.push_back(reader.readID(client.idWidth()));
    reader.skip(16);
    EXPECT_FALSE(reader.error());
    std::vector<uint8_t> descriptions(reply.body.begin() + static_cast<long>(reader.position()), reply.body.end());
    std::vector<MethodInfo> methods;
    std::vector<ClassInfo> classes;
    EXPECT_TRUE(registry->readGetClassesReply(descriptions, client.idWidth(), &methods, &classes));
    return ids;
}

// Auto-tuning, on the agent's half-minute tick, picks the method with very
// many calls of very short time and none of the program's others (the JDK's
// methods it calls 100,000 times may join); its class is retransformed and
// the method runs on without hooks (its calls stop growing in the tree while
// its caller's go on, the class passing the verifier) and the front end hears
// of it once.
TEST_P(InstrumentedProgramTest, AutoTunedMethodsLoseTheirHooks)
{
    JvmProcess jvm(work.path, "autotune");
    FrontendClient client(30000);
    ASSERT_NO_FATAL_FAILURE(profileUntil(jvm, client, "verbose-instr", {"-cp", INSTR_CLASSES, "AutoTuneProgram"}, "ran", 120));
    EXPECT_NE(jvm.out().find("ran true 200000\n"), std::string::npos) << jvm.out();
    // The first auto-tuning comes with the 30th tick of the agent's Java
    // side; the class is rewritten at load and once more then.
    const std::string rewritten = "Orvane> INSTR: AutoTuneProgram ";
    auto rewrites = [&]() {
        std::vector<std::string> agent = agentLines(jvm.err());
        return std::count(agent.begin(), agent.end(), rewritten);
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(240);
    while (rewrites() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(rewrites(), 2) << jvm.err();
    Registry registry;
    std::multiset<std::string> tuned;
    for (uint64_t id : pollAutoTuned(client, &registry))
        tuned.insert(registry.describe(id));
    std::string names;
    for (const std::string &n : tuned)
        names += n + " ";
    EXPECT_EQ(tuned.count("AutoTuneProgram.tiny"), 1u) << names;
    for (const char *kept : {"AutoTuneProgram.batch", "AutoTuneProgram.batches", "AutoTuneProgram.slow", "AutoTuneProgram.main"})
        EXPECT_EQ(tuned.count(kept), 0u) << names;
    // The agent says so in one line per method, with the calls the program
    // had made until then: the 200,000 of its first run.
    std::vector<std::string> programTuned;
    for (const std::string &l : agentLines(jvm.err())) {
        if (l.rfind("Orvane> Auto-tuning: hooks removed from AutoTuneProgram.", 0) == 0)
            programTuned.push_back(l);
    }
    ASSERT_EQ(programTuned.size(), 1u) << jvm.err();
    EXPECT_EQ(programTuned[0].rfind("Orvane> Auto-tuning: hooks removed from AutoTuneProgram.tiny(", 0), 0u) << programTuned[0];
    EXPECT_NE(programTuned[0].find(" after 200000 calls; its calls are not counted from here on."), std::string::npos) << programTuned[0];

    CallTreeReply before;
    ASSERT_NO_FATAL_FAILURE(readTree(client, &registry, &before));
    std::map<std::string, uint64_t> callsBefore = callsByMethod(*before.root, registry);
    EXPECT_EQ(callsBefore["AutoTuneProgram.tiny"], 200000u) << CallTreeView::format(*before.root, registry);
    EXPECT_EQ(callsBefore["AutoTuneProgram.batch"], 200u);

    // The VM redefines the class when the retransformation completes, which
    // can come after the rewrite was logged: a thousand direct calls of tiny
    // at a time until they are no longer counted.
    uint64_t settled = callsBefore["AutoTuneProgram.tiny"];
    int probes = 0;
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);;) {
        probes++;
        ASSERT_TRUE(jvm.writeInput("probe\n"));
        ASSERT_TRUE(jvm.waitFor("probed " + std::to_string(200000 + 1000 * probes), true, 60)) << jvm.out() << jvm.err();
        CallTreeReply probed;
        ASSERT_NO_FATAL_FAILURE(readTree(client, &registry, &probed));
        uint64_t now = callsByMethod(*probed.root, registry)["AutoTuneProgram.tiny"];
        if (now == settled)
            break;
        settled = now;
        ASSERT_LT(std::chrono::steady_clock::now(), until) << "tiny is still counted";
    }

    ASSERT_TRUE(jvm.writeInput("again\n"));
    ASSERT_TRUE(jvm.waitFor("again " + std::to_string(400000 + 1000 * probes), true, 120)) << jvm.out() << jvm.err();
    CallTreeReply after;
    ASSERT_NO_FATAL_FAILURE(readTree(client, &registry, &after));
    std::map<std::string, uint64_t> callsAfter = callsByMethod(*after.root, registry);
    std::string shown = CallTreeView::format(*after.root, registry);
    EXPECT_EQ(callsAfter["AutoTuneProgram.tiny"], settled) << "no hooks any more: " << shown;
    EXPECT_EQ(callsAfter["AutoTuneProgram.batch"], 400u) << "its caller keeps its hooks: " << shown;
    EXPECT_EQ(callsAfter["AutoTuneProgram.batches"], 2u) << shown;
    EXPECT_TRUE(pollAutoTuned(client, &registry).empty()) << "reported once";

    finish(jvm, client);
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
    EXPECT_NE(jvm.out().find("done true\n"), std::string::npos) << jvm.out();
    EXPECT_EQ(complaints(jvm.err() + jvm.out()), "") << jvm.err();
}

// Agent.retransform sends a loaded class through the class-file hook again,
// java.lang.Object too (its constructors then run without the switch that
// String, loaded before the agent saw classes, does not have); a class the
// VM cannot change is reported with the VM's error code and the program goes
// on.
TEST_P(InstrumentedProgramTest, RetransformRewritesALoadedClassAgain)
{
    JvmProcess jvm(work.path, "retransform");
    FrontendClient client(30000);
    ASSERT_NO_FATAL_FAILURE(profileUntil(jvm, client, "verbose-instr", {"-cp", INSTR_CLASSES, "RetransformCheck"}, "after", 60));
    Registry registry;
    CallTreeReply tree;
    ASSERT_NO_FATAL_FAILURE(readTree(client, &registry, &tree));
    std::map<std::string, uint64_t> calls = callsByMethod(*tree.root, registry);
    EXPECT_EQ(calls["RetransformCheck.work"], 2u) << "hooked before and after: " << CallTreeView::format(*tree.root, registry);
    finish(jvm, client);
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
    EXPECT_EQ(jvm.out(), "before 3\nafter 6 1000\n");
    std::vector<std::string> agent = agentLines(jvm.err());
    EXPECT_EQ(std::count(agent.begin(), agent.end(), "Orvane> INSTR: RetransformCheck "), 2) << jvm.err();
    EXPECT_EQ(std::count(agent.begin(), agent.end(), "Orvane> ERROR: could not retransform class [I (79)."), 1) << jvm.err();
    EXPECT_EQ(complaints(jvm.err() + jvm.out()), "") << jvm.err();
}

// The replacement of Thread.sleep in classes rewritten after an attach
// sleeps as Thread.sleep does (also when interrupted), and the time counts
// as waiting time of its caller.
TEST_P(InstrumentedProgramTest, SleepReplacementSleepsAndWaits)
{
    JvmProcess jvm(work.path, "sleep");
    FrontendClient client(30000);
    ASSERT_NO_FATAL_FAILURE(profileUntil(jvm, client, "", {"-cp", INSTR_CLASSES, "SleepHookCheck"}, "done", 60));
    Registry registry;
    CallTreeReply run, waiting;
    ASSERT_NO_FATAL_FAILURE(readTree(client, &registry, &run, 1));
    ASSERT_NO_FATAL_FAILURE(readTree(client, &registry, &waiting, 2));
    EXPECT_EQ(callsByMethod(*run.root, registry)["SleepHookCheck.napViaAgent"], 1u);
    EXPECT_GE(valueOf(*waiting.root, registry, "SleepHookCheck.napViaAgent"), 25000) << CallTreeView::format(*waiting.root, registry);
    EXPECT_LT(valueOf(*run.root, registry, "SleepHookCheck.napViaAgent"), 25000)
        << CallTreeView::format(*run.root, registry) << "waiting:\n" << CallTreeView::format(*waiting.root, registry);
    finish(jvm, client);
    EXPECT_EQ(jvm.out(), "interrupted true\ndone\n");
}

// Real library code (commons-lang3 and guava, instrumented: their packages
// are not filtered) computes the same results.
TEST_P(InstrumentedProgramTest, LibraryWorkloadComputesTheSameResults)
{
    if (!fileExists("/usr/share/java/commons-lang3.jar") || !fileExists("/usr/share/java/guava.jar"))
        GTEST_SKIP() << "Debian's commons-lang3 and guava jars are not installed";
    std::vector<std::string> args = {"-cp", std::string(INSTR_CLASSES) + ":" + LIBRARY_JARS, "LibraryWorkload", "60"};
    std::string expected = runPlain(args, 120);
    ASSERT_NE(expected.find("checksum"), std::string::npos) << expected;

    JvmProcess jvm(work.path, "library");
    FrontendClient client(30000);
    ASSERT_NO_FATAL_FAILURE(profileUntil(jvm, client, "", args, "checksum", 300));
    Registry registry;
    CallTreeReply tree;
    ASSERT_NO_FATAL_FAILURE(readTree(client, &registry, &tree));
    std::map<std::string, uint64_t> calls = callsByMethod(*tree.root, registry);
    EXPECT_EQ(calls["LibraryWorkload.main"], 1u);
    EXPECT_EQ(calls["org.apache.commons.lang3.StringUtils.reverse"], 60u * 500u) << "one per word and round";
    EXPECT_EQ(calls["com.google.common.collect.Lists.partition"], 60u);
    finish(jvm, client);
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
    EXPECT_EQ(jvm.out(), expected) << jvm.err();
    EXPECT_EQ(complaints(jvm.err() + jvm.out()), "") << jvm.err();
}

// javac, whose own classes are instrumented, compiles a few hundred
// generated sources into exactly the class files it writes without the agent.
TEST_P(InstrumentedProgramTest, JavacCompilesTheSameClassFiles)
{
    const int files = 200;
    std::string src = work / "src";
    mkdir(src.c_str(), 0700);
    mkdir((src + "/gen").c_str(), 0700);
    std::ofstream list(work / "files.txt");
    std::ofstream(src + "/gen/Base.java") << "package gen;\npublic abstract class Base<T> {\n    public abstract T describe();\n}\n";
    list << '"' << src << "/gen/Base.java\"\n";
    for (int i = 0; i < files; i++) {
        std::string c = "C" + std::to_string(i);
        std::string previous = i == 0 ? "" : "C" + std::to_string(i - 1);
        std::ofstream f(src + "/gen/" + c + ".java");
        f << "package gen;\nimport java.util.*;\n"
          << "public class " << c << " extends Base<String> implements Comparable<" << c << "> {\n"
          << "    private final List<Integer> values = new ArrayList<>();\n"
          << "    enum Kind { A, B, C }\n"
          << "    static class Inner<N extends Number> { N n; double twice() { return n.doubleValue() * 2; } }\n"
          << "    public " << c << "(int n) { for (int i = 0; i < n; i++) values.add(i * " << i << "); }\n"
          << "    public int compareTo(" << c << " o) { return Integer.compare(values.size(), o.values.size()); }\n"
          << "    @Override public String describe() {\n"
          << "        return \"" << c << "\" + values.stream().map(String::valueOf).reduce(\"\", String::concat);\n    }\n"
          << "    public static int chain(int x) { return x <= 0 ? 0 : " << (i == 0 ? "x" : previous + ".chain(x - 1) + 1") << "; }\n"
          << "    public String pick(Kind k) { switch (k) { case A: return \"a\"; case B: return \"b\"; default: return \"c\"; } }\n"
          << "    public int parse(String s) {\n"
          << "        try { return Integer.parseInt(s); } catch (NumberFormatException e) { return -1; } finally { values.clear(); }\n    }\n"
          << "    public Map<String, List<" << c << ">> group(Collection<" << c << "> all) {\n"
          << "        Map<String, List<" << c << ">> m = new TreeMap<>();\n"
          << "        for (" << c << " x : all) m.computeIfAbsent(x.describe(), k -> new ArrayList<>()).add(x);\n"
          << "        return m;\n    }\n}\n";
        // Quoted: the path may hold a space.
        list << '"' << src << "/gen/" << c << ".java\"\n";
    }
    list.close();
    auto javac = [&](const std::string &out) {
        mkdir(out.c_str(), 0700);
        return std::vector<std::string>{"-cp", INSTR_CLASSES, "JavacRunner", "--release", "17", "-d", out, "@" + (work / "files.txt")};
    };
    std::string plainOut = work / "plain-classes";
    std::string plain = runPlain(javac(plainOut), 300);
    ASSERT_EQ(plain, "javac exit 0\n");
    std::vector<std::string> expectedFiles = listDir(plainOut + "/gen");
    ASSERT_GT(expectedFiles.size(), static_cast<size_t>(files));

    // javac's own packages (com.sun.tools.javac) are not filtered here.
    JvmProcess jvm(work.path, "javac");
    FrontendClient client(60000);
    std::string profiledOut = work / "profiled-classes";
    ASSERT_NO_FATAL_FAILURE(
        profileUntil(jvm, client, "", javac(profiledOut), "javac exit", 400, sessionXml({"java.", "javax.", "sun.", "jdk."})));
    Registry registry;
    CallTreeReply tree;
    ASSERT_NO_FATAL_FAILURE(readTree(client, &registry, &tree));
    std::map<std::string, uint64_t> calls = callsByMethod(*tree.root, registry);
    EXPECT_EQ(calls["JavacRunner.main"], 1u);
    EXPECT_EQ(calls["com.sun.tools.javac.api.JavacTool.run"], 1u);
    EXPECT_EQ(calls["com.sun.tools.javac.main.JavaCompiler.compile"], 1u);
    finish(jvm, client);
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
    EXPECT_EQ(jvm.out(), plain);
    EXPECT_EQ(complaints(jvm.err() + jvm.out()), "") << jvm.err();
    std::vector<std::string> produced = listDir(profiledOut + "/gen");
    std::sort(produced.begin(), produced.end());
    std::sort(expectedFiles.begin(), expectedFiles.end());
    ASSERT_EQ(produced, expectedFiles);
    for (const std::string &n : expectedFiles) {
        SCOPED_TRACE(n);
        EXPECT_EQ(readFile(profiledOut + "/gen/" + n), readFile(plainOut + "/gen/" + n));
    }
}

// Instrumented methods called from code without hooks cost what nested
// calls cost: each thread reads its stack once per recording start, not at
// every call, and every call made while recording counts. Recording
// switched off and on by the program counts only the calls made while on.
TEST_P(InstrumentedProgramTest, CallsFromCodeWithoutHooksAndRecordingSwitchedByTheProgram)
{
    const int loopCalls = 500000, streamCalls = 1000000;
    std::vector<std::string> args = {"-cp", INSTR_CLASSES, "callers.HookedCallers", std::to_string(loopCalls), std::to_string(streamCalls)};
    std::vector<std::string> filters = defaultFilters();
    filters.push_back("callers.Outside");
    JvmProcess jvm(work.path, "callers");
    FrontendClient client(30000);
    ASSERT_NO_FATAL_FAILURE(profileUntil(jvm, client, "", args, "done", 120, sessionXml(filters)));
    Registry registry;
    CallTreeReply tree;
    ASSERT_NO_FATAL_FAILURE(readTree(client, &registry, &tree));
    std::string shown = CallTreeView::format(*tree.root, registry);
    std::map<std::string, uint64_t> calls = callsByMethod(*tree.root, registry);
    EXPECT_EQ(calls["callers.Hooked.inLoop"], static_cast<uint64_t>(loopCalls));
    EXPECT_EQ(calls["callers.Hooked.inStream"], static_cast<uint64_t>(streamCalls));
    EXPECT_EQ(callersOf(*tree.root, registry, "callers.Hooked.inLoop"), std::set<std::string>{"callers.Outside.run"}) << shown;
    // g: 3 calls through calls(3) and 2 after the start inside switchInside;
    // the 5, 4 and 7 calls while nothing recorded do not count.
    EXPECT_EQ(calls["callers.Hooked.g"], 5u) << shown;
    EXPECT_EQ(calls["callers.Hooked.calls"], 1u) << shown;
    EXPECT_EQ(calls["callers.Hooked.switchInside"], 1u) << shown;
    EXPECT_EQ(callersOf(*tree.root, registry, "callers.Hooked.g"),
              (std::set<std::string>{"callers.Hooked.calls", "callers.Hooked.switchInside"}))
        << shown;
    EXPECT_EQ(callersOf(*tree.root, registry, "callers.Hooked.switchInside"), std::set<std::string>{"callers.HookedCallers.main"}) << shown;
    finish(jvm, client);
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
    EXPECT_EQ(jvm.out(), "loop 1750000\nstream 1500000\nhooks false\nhooks true\nswitched 6\ndone\n");
    EXPECT_EQ(complaints(jvm.err() + jvm.out()), "") << jvm.err();
    // Reading the stack at every call took 8 to 16 us of CPU a call (4 to 8 s
    // for the loop, more for the stream); a nested call costs well under
    // 1 us. The process's CPU time, which other tests on the same cores do
    // not stretch as they stretch the wall time. The unit tests count the
    // stack reads exactly.
    for (const char *part : {"loop cpu ms ", "stream cpu ms "}) {
        size_t at = jvm.err().find(part);
        ASSERT_NE(at, std::string::npos) << jvm.err();
        long ms = std::stol(jvm.err().substr(at + strlen(part)));
        EXPECT_LT(ms, 2000) << part << jvm.err();
    }
}

// An exceptional method keeps its slowest runs apart, one node each, from
// the rest of its runs: with a cap below 3 the agent keeps 3. SlowRuns.run
// writes the file "run-<ms>" and sleeps 20, 200, 120, 60 and 160 ms: the
// 200, 160 and 120 ms runs get a node of their own and the 20 and 60 ms runs
// share one, and each node's file probe payloads are the files of its own
// runs. The methods come from a configuration file read at start-up and from
// the front end.
TEST_P(InstrumentedProgramTest, ExceptionalMethodKeepsItsSlowestRunsApart)
{
    std::string xml = sessionXml(defaultFilters());
    const std::string exceptional = "<probe name=\"builtin.FileProbe\" enabled=\"true\"/>"
                                    "<exceptionalMethods><method className=\"instrprog.SlowRuns\" methodName=\"run\" "
                                    "signature=\"(Ljava/lang/String;I)I\"/></exceptionalMethods>";
    xml.insert(xml.find("</session>"), exceptional);
    xml.insert(xml.find(" utilConcurrentHandling"), " exceptionalCap=\"2\"");
    for (bool fromFile : {true, false}) {
        SCOPED_TRACE(fromFile ? "configuration from the file" : "configuration from the front end");
        const std::string files = work / (fromFile ? "files-file" : "files-frontend");
        ASSERT_EQ(mkdir(files.c_str(), 0700), 0);
        std::vector<std::string> args = {"-cp", INSTR_CLASSES, "instrprog.SlowRuns", files};
        JvmProcess jvm(work.path, fromFile ? "file" : "frontend");
        FrontendClient client(60000);
        if (fromFile) {
            std::string config = work / "exceptional.xml";
            std::string withStartup = xml;
            withStartup.insert(withStartup.find(" utilConcurrentHandling"), " recordCPUOnStartup=\"true\"");
            std::ofstream(config) << withStartup;
            ASSERT_TRUE(jvm.start(java(true, "nowait,config=" + config + ",id=5", args), tmp, tmp, canIsolateTmp()));
            ASSERT_TRUE(jvm.waitFor("done 5", true, 120)) << jvm.err() << jvm.out();
            ASSERT_TRUE(jvm.waitFor("Orvane> Using address 127.0.0.1.", false, 30)) << jvm.err();
            std::string error = "not tried";
            for (int attempt = 0; attempt < 100 && !error.empty(); attempt++) {
                error = client.connect("127.0.0.1", static_cast<uint16_t>(port));
                if (!error.empty())
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            ASSERT_EQ(error, "");
            ASSERT_EQ(client.handshake(), "");
        } else {
            ASSERT_NO_FATAL_FAILURE(profileUntil(jvm, client, "", args, "done 5", 120, xml));
        }
        // The nodes of run under main, by line hint; waiting times (kind 2)
        // hold the sleeps.
        Registry registry;
        CallTreeReply tree;
        ASSERT_NO_FATAL_FAILURE(readTree(client, &registry, &tree, 2));
        std::string text = CallTreeView::format(*tree.root, registry);
        std::vector<std::pair<const ViewNode *, const ViewNode *>> nodes;
        collectWithParents(*tree.root, nullptr, &nodes);
        std::map<uint16_t, const ViewNode *> runs;
        for (const auto &n : nodes) {
            if (n.second != nullptr && n.second->method != 0 && registry.describe(n.second->method) == "instrprog.SlowRuns.main" &&
                registry.describe(n.first->method) == "instrprog.SlowRuns.run" && n.first->count > 0)
                runs[n.first->line] = n.first;
        }
        ASSERT_EQ(runs.size(), 4u) << text;
        const uint16_t slots[] = {0xFFFA, 0xFFF9, 0xFFF8};
        int64_t slowest = 0;
        int64_t fastest = INT64_MAX;
        for (uint16_t line : slots) {
            ASSERT_EQ(runs.count(line), 1u) << line << "\n" << text;
            EXPECT_EQ(runs[line]->count, 1u) << line << "\n" << text;
            EXPECT_GE(runs[line]->value, 120000) << line << "\n" << text;
            slowest = std::max(slowest, runs[line]->value);
            fastest = std::min(fastest, runs[line]->value);
        }
        EXPECT_GE(slowest, 200000) << text;
        ASSERT_EQ(runs.count(0xFFFB), 1u) << text;
        EXPECT_EQ(runs[0xFFFB]->count, 2u) << text;
        EXPECT_GE(runs[0xFFFB]->value, 80000) << text;
        EXPECT_LT(runs[0xFFFB]->value, fastest) << text;

        // The payloads (command 85) behind each node's annotation ids: the
        // files its runs wrote, each opened, written once and closed.
        WireWriter w;
        w.writeString("builtin.FileProbe");
        Reply reply;
        ASSERT_EQ(client.call(85, w.bytes(), &reply), FrontendClient::OK) << client.lastError();
        ProbeTupleReply tuples;
        ASSERT_TRUE(ProbeView::readTupleReply(reply.body, client.idWidth(), &registry, &tuples));
        ASSERT_TRUE(tuples.present) << jvm.err();
        std::map<uint16_t, std::map<std::string, uint32_t>> payloads;
        for (const auto &r : runs) {
            for (uint32_t id : r.second->annotations) {
                for (const ProbeTuple &t : tuples.tuples) {
                    if (t.id == id && t.payload.rfind(files + "/", 0) == 0)
                        payloads[r.first][t.payload.substr(files.size() + 1)] += t.count;
                }
            }
        }
        // Which slot holds which run depends on the order of the runs; each
        // slot holds the file of the run whose time it shows.
        std::set<std::string> slotFiles;
        for (uint16_t line : slots) {
            ASSERT_EQ(payloads[line].size(), 1u) << line << "\n" << text;
            slotFiles.insert(payloads[line].begin()->first);
            EXPECT_EQ(payloads[line].begin()->second, 3u) << line;
        }
        EXPECT_EQ(slotFiles, (std::set<std::string>{"run-120", "run-160", "run-200"}));
        EXPECT_EQ(payloads[0xFFFB], (std::map<std::string, uint32_t>{{"run-20", 3}, {"run-60", 3}}));
        finish(jvm, client);
        EXPECT_EQ(complaints(jvm.err() + jvm.out()), "") << jvm.err();
    }
}

INSTANTIATE_TEST_SUITE_P(Jdks, InstrumentedProgramTest, testing::ValuesIn(JDKS), jdkTestName);

} // namespace
