// piagent rewrites classes the VM hands it in CLASS_LOAD_HOOK: the main
// class calls the agent's Java side first, other classes stay as they are,
// and the rewritten class passes a real JVM's verifier and runs.
#include "PiagentHost.h"
#include "RecorderSnapshots.h"

#include "ThreadView.h"

#include <algorithm>
#include <map>
#include <sys/wait.h>

namespace {

using PiagentClassTest = PiagentHostTest;

TEST_F(PiagentClassTest, MainClassIsRewrittenAndVerifiedOthersStayTheSame)
{
    std::string classes = PROBE_CLASSES;
    std::string out = work + "/out";
    ASSERT_EQ(mkdir(out.c_str(), 0700), 0);
    start({"--options", nowaitOptions(), "hook:" + classes + "/PiMainProgram$Helper.class:" + out + "/PiMainProgram$Helper.class",
           "hook:" + classes + "/PiMainProgram.class:" + out + "/PiMainProgram.class",
           // A second class with main is no main class any more.
           "hook:" + classes + "/PiMainProgram.class:" + out + "/Again.class", "shut-down"});
    ASSERT_EQ(finish(), 0) << err();
    std::vector<std::string> hooks = linesStartingWith(this->out(), "host: hook ");
    ASSERT_EQ(hooks.size(), 3u) << this->out();
    EXPECT_EQ(hooks[0].compare(0, 16, "host: hook same "), 0) << hooks[0];
    EXPECT_EQ(hooks[1].compare(0, 15, "host: hook new "), 0) << hooks[1];
    EXPECT_EQ(hooks[2].compare(0, 16, "host: hook same "), 0) << hooks[2];

    // The JVM verifies every class and runs the rewritten main.
    std::string command = "cd '" + work + "' && TMPDIR='" + work + "' HOME='" + home + "' '" + JAVA_BIN +
                          "' -XX:-UsePerfData -Xverify:all -cp '" + out + ":" + AGENT_JAR + "' PiMainProgram a b > java.out 2>&1";
    int status = system(command.c_str());
    std::string said = readFile(work + "/java.out");
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << said;
    EXPECT_EQ(said, "main class PiMainProgram, 2 arguments, hello there, started 1\n");
}

// The real JVM under the host defines the class the agent gave back and runs
// it: the rewritten start-up reaches the agent's Java class.
TEST_F(PiagentClassTest, RewrittenMainClassRunsInTheHostsJvm)
{
    std::string classes = PROBE_CLASSES;
    classPath = std::string(AGENT_JAR) + ":" + classes;
    start({"--options", nowaitOptions(), "main:" + classes + "/PiMainProgram.class:PiMainProgram:a/b/c", "shut-down"});
    ASSERT_EQ(finish(), 0) << err() << out();
    std::vector<std::string> said = lines(out());
    auto hooked = std::find_if(said.begin(), said.end(), [](const std::string &line) { return line.compare(0, 15, "host: hook new ") == 0; });
    ASSERT_NE(hooked, said.end()) << out();
    auto ran = std::find(hooked, said.end(), "main class PiMainProgram, 3 arguments, hello there, started 1");
    ASSERT_NE(ran, said.end()) << out();
    EXPECT_NE(std::find(ran, said.end(), "host: main PiMainProgram returned"), said.end()) << out();
}

// The program's main runs on a thread other than the VM's "main" (one a
// launcher started): the rewritten main class tells the agent through
// executeMain, the VM's own main thread drops out of the views, and the
// launcher thread's tree starts at main, with main's callees below it and
// exact counts; the launcher's frame around main is gone.
TEST_F(PiagentClassTest, MainOnALaunchersThreadBecomesTheTopOfItsCallTree)
{
    loopbackSocket::PortReservation held;
    ASSERT_NE(held.port, 0);
    std::string classes = PROBE_CLASSES;
    classPath = std::string(AGENT_JAR) + ":" + classes;
    std::vector<std::string> steps = {"--options", "port=" + std::to_string(held.port) + ",address=127.0.0.1", "java-comm", "init-done",
                                      "await:cpu-on", "class:0x100:demo/Launcher:run/()V=0x31",
                                      "class:0x200:demo/App:main/([Ljava/lang/String;)V=0x11,work/()V=0x12", "thread:1:main",
                                      "thread:2:launcher",
                                      // The VM's main thread works before the launcher runs main.
                                      "enter:1:0x12", "exit:1:0x12", "enter:2:0x31", "enter:2:0x11",
                                      // main's first call: the rewritten main class's executeMain.
                                      "main-on:2:" + classes + "/PiMainProgram.class:PiMainProgram"};
    for (int i = 0; i < 3; i++) {
        steps.push_back("enter:2:0x12");
        steps.push_back("exit:2:0x12");
    }
    for (const char *step : {"exit:2:0x11", "exit:2:0x31", "mark:played", "await:done", "shut-down"})
        steps.push_back(step);
    start(steps);
    ASSERT_TRUE(waitForLine("stderr", "Orvane> Waiting for a connection from the Orvane GUI ...")) << err();
    FrontendClient client(60000);
    connectFrontend(client, held.port);
    Reply reply;
    ASSERT_EQ(client.call(1, configRequest("<config><session id=\"3\" instrumentationType=\"2\" timeType=\"1\"/></config>"), &reply),
              FrontendClient::OK)
        << client.lastError();
    ASSERT_TRUE(waitForLine("stdout", "host: EnableEvent 3")) << out();
    ASSERT_EQ(client.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
    touch("cpu-on");
    ASSERT_TRUE(waitForLine("stdout", "host: mark played")) << out() << err();
    EXPECT_NE(out().find("\nmain class PiMainProgram, 0 arguments, hello there, started 1\n"), std::string::npos) << out();

    Registry registry;
    CallTreeReply tree;
    ASSERT_EQ(client.call(41, CallTreeView::invocationTreeRequest(0, 1, 10000, 0), &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(CallTreeView::readInvocationTreeReply(reply.body, client.idWidth(), &registry, &tree));
    ASSERT_NE(tree.root, nullptr);
    std::string text = CallTreeView::format(*tree.root, registry);
    std::vector<const ViewNode *> mains = nodesNamed(*tree.root, registry, "main");
    std::vector<const ViewNode *> works = nodesNamed(*tree.root, registry, "work");
    EXPECT_TRUE(nodesNamed(*tree.root, registry, "run").empty()) << text;
    ASSERT_EQ(mains.size(), 1u) << text;
    ASSERT_EQ(works.size(), 1u) << "the VM's main thread is out of the views: " << text;
    ASSERT_EQ(tree.root->children.size(), 1u) << text;
    EXPECT_EQ(tree.root->children[0].get(), mains[0]) << text;
    EXPECT_EQ(mains[0]->count, 1u) << text;
    ASSERT_EQ(mains[0]->children.size(), 1u) << text;
    EXPECT_EQ(mains[0]->children[0].get(), works[0]) << text;
    EXPECT_EQ(works[0]->count, 3u) << text;
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

// The host's own thread runs a program's main as a VM's main thread does:
// it is announced as "main" before main runs, and a thread dump reads its
// real stack in the JVM, outermost first with the lines of the calls.
TEST_F(PiagentClassTest, TheHostsOwnThreadIsAnnouncedAndGivesItsRealStack)
{
    loopbackSocket::PortReservation held;
    ASSERT_NE(held.port, 0);
    classPath = std::string(AGENT_JAR) + ":" + PROBE_CLASSES;
    start({"--class-events", "--options", "port=" + std::to_string(held.port) + ",address=127.0.0.1", "java-comm", "init-done",
           // The program waits for "release" in the host's working directory.
           "run:PiHostWait:release", "run:PiHostWait:release", "mark:ran", "await:done", "shut-down"});
    ASSERT_TRUE(waitForLine("stderr", "Orvane> Waiting for a connection from the Orvane GUI ...")) << err();
    FrontendClient client(60000);
    connectFrontend(client, held.port);
    Reply reply;
    ASSERT_EQ(client.call(1, {0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(waitForLine("stdout", "waiting")) << out() << err();
    ASSERT_EQ(client.call(74, {1}, &reply), FrontendClient::OK) << client.lastError();
    Registry registry;
    ThreadDumpReply dump;
    ASSERT_TRUE(ThreadView::readThreadDumpReply(reply.body, client.idWidth(), &registry, &dump));
    std::string text = ThreadView::format(dump, registry);
    ASSERT_EQ(dump.threads.size(), 1u) << text;
    EXPECT_EQ(dump.threads[0].name, "main") << text;
    auto traces = dump.traces.find(dump.threads[0].id);
    ASSERT_NE(traces, dump.traces.end()) << text;
    ASSERT_EQ(traces->second.size(), 1u) << text;
    // Frames of classes that loaded before the class events began (the
    // JDK's Thread) are not known to the agent and left out.
    std::vector<std::pair<std::string, int>> frames;
    for (const auto &frame : traces->second[0].frames) {
        const MethodInfo *method = registry.method(frame.first);
        ASSERT_NE(method, nullptr) << text;
        frames.push_back({method->name, frame.second});
    }
    EXPECT_EQ(frames, (std::vector<std::pair<std::string, int>>{{"main", 13}, {"waitFor", 8}})) << text;
    touch("release");
    ASSERT_TRUE(waitForLine("stdout", "host: mark ran")) << out() << err();
    // Announced once, before the first main.
    std::vector<std::string> said = lines(out());
    auto announced = std::find(said.begin(), said.end(), "host: event 33 done");
    ASSERT_NE(announced, said.end()) << out();
    EXPECT_EQ(std::count(said.begin(), said.end(), "host: event 33 done"), 1) << out();
    EXPECT_EQ(std::count(said.begin(), announced, "waiting"), 0) << out();
    EXPECT_EQ(std::count(said.begin(), said.end(), "released"), 2) << out();
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

// With the sampling method the agent's sampler thread reads the host's own
// thread's real stack (the host lets it join the JVM to ask, as a VM's own
// system thread would): the sampled tree of the waiting program holds main
// with waitFor below it.
TEST_F(PiagentClassTest, TheSamplerReadsTheHostsOwnThread)
{
    loopbackSocket::PortReservation held;
    ASSERT_NE(held.port, 0);
    classPath = std::string(AGENT_JAR) + ":" + PROBE_CLASSES;
    start({"--class-events", "--options", "port=" + std::to_string(held.port) + ",address=127.0.0.1", "java-comm", "init-done",
           "await:go", "run:PiHostWait:release", "mark:ran", "await:done", "shut-down"});
    ASSERT_TRUE(waitForLine("stderr", "Orvane> Waiting for a connection from the Orvane GUI ...")) << err();
    FrontendClient client(60000);
    connectFrontend(client, held.port);
    Reply reply;
    ASSERT_EQ(client.call(1, configRequest("<config><session id=\"3\" instrumentationType=\"3\" samplingFrequency=\"5\"/></config>"),
                          &reply),
              FrontendClient::OK)
        << client.lastError();
    ASSERT_TRUE(waitForLine("stdout", "host: CreateSystemThread _orvane_native_sampler 10")) << out();
    ASSERT_EQ(client.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
    touch("go");
    ASSERT_TRUE(waitForLine("stdout", "waiting")) << out() << err();
    Registry registry;
    CallTreeReply tree;
    std::vector<const ViewNode *> waits;
    // Read until a sample has caught the wait (a loaded machine may take long).
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (waits.empty() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_EQ(client.call(41, CallTreeView::invocationTreeRequest(0, 1, 10000, 0), &reply), FrontendClient::OK)
            << client.lastError();
        registry = Registry();
        tree = CallTreeReply();
        ASSERT_TRUE(CallTreeView::readInvocationTreeReply(reply.body, client.idWidth(), &registry, &tree));
        if (tree.root != nullptr)
            waits = nodesNamed(*tree.root, registry, "waitFor");
    }
    ASSERT_EQ(waits.size(), 1u) << out();
    std::string text = CallTreeView::format(*tree.root, registry);
    EXPECT_EQ(linesStartingWith(out(), "host: system thread _orvane_native_sampler attached to the JVM").size(), 1u) << out();
    // The thread is sampled from main inwards: main stands at the top with
    // the wait below it. A sample taken while the host still loaded the
    // class, before main ran, may stand beside it.
    std::vector<const ViewNode *> mains = nodesNamed(*tree.root, registry, "main");
    ASSERT_EQ(mains.size(), 1u) << text;
    const ViewNode *main = mains[0];
    bool atTop = false;
    for (const auto &child : tree.root->children)
        atTop = atTop || child.get() == main;
    ASSERT_TRUE(atTop) << text;
    ASSERT_EQ(main->children.size(), 1u) << text;
    EXPECT_EQ(main->children[0].get(), waits[0]) << text;
    EXPECT_GT(waits[0]->value, 0) << text;
    touch("release");
    ASSERT_TRUE(waitForLine("stdout", "host: mark ran")) << out() << err();
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

// A class file older than version 49 has no Class constants: the rewritten
// main names its class through Class.forName, and the version stays.
TEST_F(PiagentClassTest, MainClassBelowVersion49StaysLoadable)
{
    std::string classes = PROBE_CLASSES;
    std::string in = work + "/old", out = work + "/out";
    ASSERT_EQ(mkdir(in.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(out.c_str(), 0700), 0);
    for (const char *name : {"PiMainProgram.class", "PiMainProgram$Helper.class"}) {
        std::string bytes = readFile(classes + "/" + name);
        ASSERT_GT(bytes.size(), 8u);
        bytes[6] = 0;
        bytes[7] = 48; // major version 48
        std::ofstream(in + "/" + name, std::ios::binary) << bytes;
    }
    start({"--options", nowaitOptions(), "hook:" + in + "/PiMainProgram.class:" + out + "/PiMainProgram.class", "shut-down"});
    ASSERT_EQ(finish(), 0) << err();
    ASSERT_EQ(linesStartingWith(this->out(), "host: hook new ").size(), 1u) << this->out();
    std::string rewritten = readFile(out + "/PiMainProgram.class");
    ASSERT_GT(rewritten.size(), 8u);
    EXPECT_EQ(rewritten[7], 48);
    std::string command = "cd '" + work + "' && TMPDIR='" + work + "' HOME='" + home + "' '" + JAVA_BIN +
                          "' -XX:-UsePerfData -Xverify:all -cp '" + out + ":" + in + ":" + AGENT_JAR + "' PiMainProgram > java.out 2>&1";
    int status = system(command.c_str());
    std::string said = readFile(work + "/java.out");
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << said;
    EXPECT_EQ(said, "main class PiMainProgram, 0 arguments, hello there, started 1\n");
}

// The clean-up at the VM's end removes what a snapshot is made of: a
// recorder snapshot saved before it is written, one asked for afterwards
// is refused with a message and leaves no file.
TEST_F(PiagentClassTest, RecorderSnapshotsAreRefusedOnceTheVmEnded)
{
    classPath = std::string(AGENT_JAR) + ":" + PROBE_CLASSES;
    start({"--class-events", "--options", nowaitOptions(), "init-done", "thread:1:main",
           "java:1:unprofiled/PiRecorderProgram:saveNamed:early.ovs", "shut-down",
           "java:1:unprofiled/PiRecorderProgram:saveNamed:late.ovs"});
    ASSERT_EQ(finish(), 0) << err() << out();
    std::string said = out(), errors = err();
    EXPECT_NE(said.find("\nsaved early.ovs 1\n"), std::string::npos) << said << errors;
    EXPECT_NE(said.find("\nsaved late.ovs 0\n"), std::string::npos) << said << errors;
    EXPECT_NE(errors.find("Orvane> Could not save snapshot. VM already terminated.\n"), std::string::npos) << errors;
    ASSERT_NO_FATAL_FAILURE(checkRecorderFile(work + "/early.ovs"));
    struct stat st;
    EXPECT_NE(stat((work + "/late.ovs").c_str(), &st), 0);
}

class PiagentRealClassTest : public PiagentHostTest {
protected:
    // Runs `program` (the host's run step) from `classes` in the host's JVM
    // with class events on, the session's filters from command 1 and CPU
    // recording, until it ended; the front end stays connected. `session`
    // adds attributes to the configuration's session, `elements` elements.
    void runRecorded(const std::string &classes, const std::string &program, FrontendClient &client, const std::string &session = "",
                     const std::string &elements = "")
    {
        // The files the script waits for, left by an earlier run.
        unlink((work + "/go").c_str());
        unlink((work + "/done").c_str());
        loopbackSocket::PortReservation held;
        int port = held.port;
        ASSERT_NE(port, 0);
        classPath = std::string(AGENT_JAR) + ":" + classes;
        std::vector<std::string> script = {"--class-events", "--jvm-option", "-Xverify:all", "--options",
                                           "port=" + std::to_string(port) + ",address=127.0.0.1", "java-comm", "init-done", "await:go"};
        if (programSteps.empty())
            script.push_back("run:" + program);
        script.insert(script.end(), programSteps.begin(), programSteps.end());
        script.insert(script.end(), {"mark:ran", "await:done", "shut-down"});
        start(script);
        ASSERT_TRUE(waitForLine("stderr", "Orvane> Waiting for a connection from the Orvane GUI ...")) << err();
        connectFrontend(client, port);
        Reply reply;
        const std::string xml = "<config><session id=\"3\" instrumentationType=\"1\" timeType=\"1\"" + session + ">"
                                "<filter type=\"exclusive\" name=\"java.\"/><filter type=\"exclusive\" name=\"javax.\"/>"
                                "<filter type=\"exclusive\" name=\"sun.\"/><filter type=\"exclusive\" name=\"jdk.\"/>"
                                "<filter type=\"exclusive\" name=\"com.sun.\"/>" +
                                elements +
                                "<methodInvocation><method className=\"PiClassProgram\" methodName=\"value\" signature=\"(JZ)D\"/>"
                                "</methodInvocation></session></config>";
        ASSERT_EQ(client.call(1, configRequest(xml), &reply), FrontendClient::OK) << client.lastError();
        ASSERT_TRUE(waitForLine("stderr", "Orvane> Using full instrumentation")) << err();
        // Full instrumentation: the VM's method events stay off.
        EXPECT_TRUE(linesStartingWith(out(), "host: EnableEvent 1").empty()) << out();
        ASSERT_EQ(client.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
        touch("go");
        ASSERT_TRUE(waitForLine("stdout", "host: mark ran")) << out() << err();
    }

    // Steps that run the program in place of the host's run step.
    std::vector<std::string> programSteps;

    // Command 41's invocation tree.
    void invocationTree(FrontendClient &client, Registry *registry, CallTreeReply *tree)
    {
        Reply reply;
        ASSERT_EQ(client.call(41, CallTreeView::invocationTreeRequest(0, 1, 10000, 0), &reply), FrontendClient::OK) << client.lastError();
        ASSERT_TRUE(CallTreeView::readInvocationTreeReply(reply.body, client.idWidth(), registry, tree));
        ASSERT_NE(tree->root, nullptr);
    }

    // Runs PiClassProgram from `classes` and checks its output, the
    // rewriting and the call tree.
    void runClassProgram(const std::string &classes)
    {
        FrontendClient client(60000);
        runRecorded(classes, "PiClassProgram:x/y", client);
        if (HasFatalFailure())
            return;
        std::string said = out();
        // 3 x (0 + 1 + 4 + 9), value(7, true), two arguments.
        EXPECT_NE(said.find("\nclass program 42 14.0 2\n"), std::string::npos) << said;
        std::vector<std::string> rewritten = linesStartingWith(said, "host: real class ");
        ASSERT_FALSE(rewritten.empty()) << said;
        for (const std::string &line : rewritten)
            EXPECT_EQ(line.compare(0, 32, "host: real class PiClassProgram "), 0) << line;
        EXPECT_EQ(err().find("VerifyError"), std::string::npos) << err();

        Registry registry;
        CallTreeReply tree;
        ASSERT_NO_FATAL_FAILURE(invocationTree(client, &registry, &tree));
        std::string text = CallTreeView::format(*tree.root, registry);
        std::vector<const ViewNode *> sums = nodesNamed(*tree.root, registry, "sum");
        std::vector<const ViewNode *> squares = nodesNamed(*tree.root, registry, "square");
        std::vector<const ViewNode *> values = nodesNamed(*tree.root, registry, "value");
        ASSERT_EQ(sums.size(), 1u) << text << out() << err();
        ASSERT_EQ(squares.size(), 1u) << text;
        ASSERT_EQ(values.size(), 1u) << text;
        EXPECT_EQ(sums[0]->count, 3u) << text;
        EXPECT_EQ(squares[0]->count, 12u) << text;
        EXPECT_EQ(values[0]->count, 1u) << text;
        // main runs once on the host's own thread, which the VM announced
        // and whose stack it gives: sum and value run inside main, square
        // inside sum only.
        std::vector<const ViewNode *> mains = nodesNamed(*tree.root, registry, "main");
        ASSERT_EQ(mains.size(), 1u) << text;
        EXPECT_EQ(mains[0]->count, 1u) << text;
        auto calledByMain = [&](const ViewNode *node) {
            return std::any_of(mains[0]->children.begin(), mains[0]->children.end(),
                               [node](const std::unique_ptr<ViewNode> &child) { return child.get() == node; });
        };
        EXPECT_TRUE(calledByMain(sums[0])) << text;
        EXPECT_TRUE(calledByMain(values[0])) << text;
        ASSERT_EQ(sums[0]->children.size(), 1u) << text;
        EXPECT_EQ(sums[0]->children[0].get(), squares[0]) << text;
        EXPECT_TRUE(squares[0]->children.empty()) << text;
        touch("done");
        client.close();
        ASSERT_EQ(finish(), 0) << err();
    }
};

// A program class the real JVM loads from its class path while the host
// raises its class events: piagent rewrites it by the filters command 1
// brought (method hooks, a probe with primitives boxed), the JVM verifies it
// (-Xverify:all) and runs it, and its calls reach the call tree through the
// hooks. The JDK's classes pass unchanged. A copy of the class marked
// version 48 runs the same: its probe names the class through Class.forName.
TEST_F(PiagentRealClassTest, RealJvmClassesAreRewrittenByTheSessionFiltersAndReachTheCallTree)
{
    std::string old = work + "/old";
    ASSERT_EQ(mkdir(old.c_str(), 0700), 0);
    std::string bytes = readFile(std::string(PROBE_CLASSES) + "/PiClassProgram.class");
    ASSERT_GT(bytes.size(), 8u);
    bytes[6] = 0;
    bytes[7] = 48;
    std::ofstream(old + "/PiClassProgram.class", std::ios::binary) << bytes;
    for (const std::string &classes : {std::string(PROBE_CLASSES), old}) {
        SCOPED_TRACE(classes);
        runClassProgram(classes);
        if (HasFatalFailure())
            return;
    }
}

// Probe calls from a class piagent rewrote reach the agent's probe natives:
// the probe's pseudo method shows under the calling method with exactly its
// three calls; an exit without an entry and a handle never given change
// nothing; the payload's place names the calling node and the thread. The
// hooks' sleep and net I/O natives count the thread's time in those states;
// the static-initialiser native answers as the JDK does.
TEST_F(PiagentRealClassTest, ProbeCallsAndHookNativesReachTheCallingThread)
{
    FrontendClient client(60000);
    // allUrls: the view keeps probe calls that call nothing.
    ASSERT_NO_FATAL_FAILURE(runRecorded(PROBE_CLASSES, "PiProbeProgram", client, " allUrls=\"true\"",
                                        "<filter type=\"exclusive\" name=\"unprofiled.\"/>"));
    std::string said = out();
    EXPECT_NE(said.find("\nprobe program 1 true true\n"), std::string::npos) << said << err();
    // The hooks' sleep and net I/O: the thread's waiting and net I/O times.
    EXPECT_NE(said.find("\nwaits true true\n"), std::string::npos) << said << err();
    // The static-initialiser question of the default serialVersionUID: own
    // <clinit> yes, inherited one no, as the JDK computes it.
    EXPECT_NE(said.find("\nsuids true true\n"), std::string::npos) << said << err();
    EXPECT_EQ(err().find("UnsatisfiedLinkError"), std::string::npos) << err();
    Registry registry;
    CallTreeReply tree;
    ASSERT_NO_FATAL_FAILURE(invocationTree(client, &registry, &tree));
    std::string text = CallTreeView::format(*tree.root, registry);
    std::vector<const ViewNode *> reads = nodesNamed(*tree.root, registry, "read");
    std::vector<const ViewNode *> probes = nodesNamed(*tree.root, registry, "file read");
    ASSERT_EQ(reads.size(), 1u) << text << said << err();
    ASSERT_EQ(probes.size(), 1u) << text << said << err();
    EXPECT_EQ(reads[0]->count, 1u) << text;
    EXPECT_EQ(probes[0]->count, 3u) << "the unmatched exit and the unknown handle changed nothing: " << text;
    ASSERT_EQ(reads[0]->children.size(), 1u) << text;
    EXPECT_EQ(reads[0]->children[0].get(), probes[0]) << text;
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

// A program drives the recorder and the class-side natives in the host's JVM,
// which loaded piagent at its start: none of them is missing. The recorder's
// start-up finds the agent running and changes nothing; the agent's Java
// transformer leaves a class Java code calls filtered and the agent's own
// class as they are and puts hooks into a selected one, which passes the
// verifier (-Xverify:all) and runs; retransformation does nothing. The
// recorder's switch empties the CPU data and its snapshots hold what ran
// after it, as tiagent's recorder writes them; its policies are asked for
// the probe method alone; a snapshot that cannot be written answers 0. The
// front end sees the component type and the display name the program gave,
// and a second display name changes nothing.
TEST_F(PiagentRealClassTest, RecorderAndClassNativesRunOnTheLiveSession)
{
    FrontendClient client(60000);
    // On a thread the VM announced, as the VM announces its main thread.
    programSteps = {"thread:1:main", "java:1:unprofiled/PiRecorderProgram:drive"};
    ASSERT_NO_FATAL_FAILURE(runRecorded(PROBE_CLASSES, "", client, "", "<filter type=\"exclusive\" name=\"unprofiled.\"/>"));
    std::string said = out(), errors = err();
    std::string all = said + errors;
    ASSERT_NE(said.find("\ndone\n"), std::string::npos) << all;
    EXPECT_EQ(all.find("UnsatisfiedLinkError"), std::string::npos) << all;
    EXPECT_EQ(all.find("VerifyError"), std::string::npos) << all;
    EXPECT_EQ(all.find("Exception"), std::string::npos) << all;
    EXPECT_NE(errors.find("Orvane> The agent is already running in this VM; the recorder does not start again.\n"), std::string::npos)
        << errors;
    // Probe methods with fewer values than rows: nothing registered, said once.
    EXPECT_NE(errors.find("Orvane> probe 77: fewer values or flags than methods, nothing registered\n"), std::string::npos) << errors;
    for (const char *line : {"init0 returned", "transform filtered same", "transform agent same", "transform selected true false",
                             "rewritten copy 42", "retransform returned", "registered", "probe methods registered",
                             "method name null no.Such pirecorded.Work true", "auto-tune true null",
                             "ran 2180", "saved recorded 1", "policies asked 1 wrong 0", "saved reset 1", "ran 1", "saved after 1",
                             "saved nowhere 0"})
        EXPECT_NE(said.find("\n" + std::string(line) + "\n"), std::string::npos) << line << "\n" << said;

    // The recorded code: repeat once, spin 40 times; the switch emptied the
    // CPU data, and what ran after it is recorded afresh.
    ASSERT_NO_FATAL_FAILURE(checkRecorderRuns(work, "repeat"));

    Registry registry;
    std::vector<MethodInfo> methods;
    std::vector<ClassInfo> classes;
    Reply reply;
    ASSERT_EQ(client.call(60, {}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(registry.readGetClassesReply(reply.body, client.idWidth(), &methods, &classes));
    std::vector<const ClassInfo *> policies = registry.classesNamed("unprofiled.PiRecorderProgram$Policy");
    std::vector<const ClassInfo *> loaders = registry.classesNamed("unprofiled.PiRecorderProgram$RewrittenLoader");
    ASSERT_EQ(policies.size(), 1u);
    ASSERT_EQ(loaders.size(), 1u);
    EXPECT_EQ(policies[0]->componentType, 33u);
    EXPECT_EQ(policies[0]->displayName, "");
    EXPECT_EQ(loaders[0]->componentType, 7u);
    EXPECT_EQ(loaders[0]->displayName, "unprofiled.PiRecorderProgram$Policy");
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

} // namespace
