// Threads and telemetry in a real JVM, in each JDK of the machine with every
// class verified: threads that sleep, wait, block on a held monitor and park
// get their statuses; a thread whose start was registered from Java names
// its creator; the agent's own threads stay out of the list; the Java side's
// telemetry tick reaches the front end (command 22) with thread counts,
// memory in KB and bookmarks, and each reply empties what was sent.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "CallTreeView.h"
#include "FrontendClient.h"
#include "HeapView.h"
#include "JdkTest.h"
#include "ProbeView.h"
#include "Registry.h"
#include "TelemetryView.h"
#include "ThreadView.h"
#include "WireReader.h"
#include "WireWriter.h"

using namespace jvmtest;

namespace {

const int RUNNABLE = 63, BLOCKED = 64, WAITING = 65;

// The end of a wait for an event of the VM: it only ends a test whose event never comes.
std::chrono::steady_clock::time_point deadline()
{
    return std::chrono::steady_clock::now() + std::chrono::seconds(30);
}

class ThreadsTelemetryTest : public JdkTest {
protected:
    void SetUp() override
    {
        JdkTest::SetUp();
        if (!ready())
            return;
        port = reservation.port;
        ASSERT_NE(port, 0);
    }

    void startConnected(JvmProcess &jvm, FrontendClient &client, const char *mainClass = "ThreadStates",
                        const std::vector<std::string> &args = {}, const std::string &agentOptions = "")
    {
        std::vector<std::string> c = {jdk + "/bin/java", "-XX:-UsePerfData", "-Xverify:all",
                                      std::string("-agentpath:") + TIAGENT_PATH + "=port=" + std::to_string(port) +
                                          ",address=127.0.0.1" + agentOptions,
                                      "-cp", PROBE_CLASSES, mainClass};
        c.insert(c.end(), args.begin(), args.end());
        ASSERT_TRUE(jvm.start(c, tmp, tmp, canIsolateTmp()));
        ASSERT_TRUE(jvm.waitFor("Waiting for a connection from the Orvane GUI ...", false, 60)) << jvm.err();
        ASSERT_EQ(client.connect("127.0.0.1", static_cast<uint16_t>(port)), "");
        ASSERT_EQ(client.handshake(), "");
    }

    // Command 1 with the session configuration, then the program's "ready".
    void configure(JvmProcess &jvm, FrontendClient &client, const std::string &config)
    {
        Reply reply;
        ASSERT_EQ(client.call(1, setParameters(config), &reply), FrontendClient::OK) << client.lastError();
        ASSERT_TRUE(jvm.waitFor("ready", true, 30)) << jvm.err() << jvm.out();
    }

    std::vector<ThreadInfo> threadList(FrontendClient &client, std::vector<std::pair<int64_t, std::string>> *bookmarks = nullptr)
    {
        Reply reply;
        std::vector<ThreadInfo> threads;
        EXPECT_EQ(client.call(11, {}, &reply), FrontendClient::OK) << client.lastError();
        WireReader r(reply.body);
        EXPECT_TRUE(ThreadView::readThreadDescriptions(r, client.idWidth(), &registry, &threads, bookmarks));
        return threads;
    }

    TelemetryReply telemetry(FrontendClient &client)
    {
        Reply reply;
        TelemetryReply t;
        EXPECT_EQ(client.call(22, {}, &reply), FrontendClient::OK) << client.lastError();
        EXPECT_TRUE(TelemetryView::readTelemetryReply(reply.body, &t));
        return t;
    }

    // FileProbes with `args`, the built-in file and thread probes on, CPU
    // recording on; returns once the program made its calls.
    void runFileProbes(JvmProcess &jvm, FrontendClient &client, const std::vector<std::string> &args,
                       const std::string &agentOptions = "")
    {
        ASSERT_NO_FATAL_FAILURE(startConnected(jvm, client, "FileProbes", args, agentOptions));
        Reply reply;
        std::string filters;
        for (const char *p : {"java.", "javax.", "sun.", "com.sun.", "jdk."})
            filters += std::string("<filter type=\"exclusive\" name=\"") + p + "\"/>";
        ASSERT_EQ(client.call(1,
                              setParameters("<config><session id=\"5\" instrumentationType=\"1\" timeType=\"1\">" + filters +
                                            "<probe name=\"builtin.FileProbe\" enabled=\"true\"/>"
                                            "<probe name=\"builtin.ThreadInterceptor\" enabled=\"true\"/></session></config>"),
                              &reply),
                  FrontendClient::OK)
            << client.lastError();
        ASSERT_TRUE(jvm.waitFor("ready", true, 30)) << jvm.err() << jvm.out();
        ASSERT_EQ(client.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
        jvm.closeInput();
        ASSERT_TRUE(jvm.waitFor("done", true, 30)) << jvm.err() << jvm.out();
    }

    // Command 85 for `probe`: its payloads and the tree of their call sites.
    void tuples(JvmProcess &jvm, FrontendClient &client, const std::string &probe, ProbeTupleReply *out)
    {
        Reply reply;
        WireWriter w;
        w.writeString(probe);
        ASSERT_EQ(client.call(85, w.bytes(), &reply), FrontendClient::OK) << client.lastError();
        ASSERT_TRUE(ProbeView::readTupleReply(reply.body, client.idWidth(), &registry, out));
        ASSERT_TRUE(out->present) << jvm.err();
        ASSERT_NE(out->callSites, nullptr);
    }

    // Calls of `payload` per calling method, through the call-site tree.
    std::map<std::string, uint32_t> callsByCaller(const ProbeTupleReply &r, const std::string &payload)
    {
        std::map<uint32_t, std::string> callerOfId;
        std::vector<const ViewNode *> nodes;
        CallTreeView::collect(*r.callSites, &nodes);
        for (const ViewNode *n : nodes) {
            for (uint32_t id : n->annotations) {
                const MethodInfo *m = registry.method(n->method);
                callerOfId[id] = m != nullptr ? m->name : "?";
            }
        }
        std::map<std::string, uint32_t> calls;
        for (const ProbeTuple &t : r.tuples) {
            if (t.payload == payload)
                calls[t.id != 0 && callerOfId.count(t.id) != 0 ? callerOfId[t.id] : "(unrecorded)"] += t.count;
        }
        return calls;
    }

    PortReservation reservation; // held for the whole test
    int port = 0;
    Registry registry;
};

TEST_P(ThreadsTelemetryTest, StatusesCreatorsAndTelemetry)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(startConnected(jvm, client));
    Reply reply;
    // A configuration starts the sampler; thread profiling records the histories.
    ASSERT_NO_FATAL_FAILURE(configure(jvm, client, "<config><session id=\"5\" instrumentationType=\"1\" timeType=\"1\"/></config>"));
    ASSERT_EQ(client.call(61, {1}, &reply), FrontendClient::OK) << client.lastError();
    jvm.closeInput();
    ASSERT_TRUE(jvm.waitFor("states ready", true, 30)) << jvm.err() << jvm.out();
    EXPECT_NE(jvm.out().find("rows registered"), std::string::npos) << jvm.out();
    EXPECT_NE(jvm.err().find("probe 78: fewer values or flags than methods, nothing registered"), std::string::npos) << jvm.err();

    const std::map<std::string, int> expected = {
        {"sleeper", WAITING}, {"waiter", WAITING}, {"parker", WAITING}, {"blocked", BLOCKED}, {"main", WAITING}};
    std::vector<ThreadInfo> threads;
    std::map<std::string, const ThreadInfo *> byName;
    for (auto until = deadline(); std::chrono::steady_clock::now() < until;) {
        usleep(100000);
        threads = threadList(client);
        byName.clear();
        for (const ThreadInfo &t : threads)
            byName[t.name] = &t;
        bool all = true;
        for (const auto &e : expected) {
            auto found = byName.find(e.first);
            all = all && found != byName.end() && !found->second->statuses.empty() &&
                  found->second->statuses.back().first == e.second;
        }
        if (all)
            break;
    }
    // The thread view carries the program's bookmark and leaves it to the telemetry view.
    std::vector<std::pair<int64_t, std::string>> listed;
    ASSERT_FALSE(threadList(client, &listed).empty());
    ASSERT_EQ(listed.size(), 1u) << jvm.err();
    EXPECT_EQ(listed[0].second, "threads started");
    EXPECT_GT(listed[0].first, 0);
    std::string histories = ThreadView::formatStatusHistories(threads);
    for (const auto &e : expected) {
        SCOPED_TRACE(e.first);
        auto found = byName.find(e.first);
        ASSERT_NE(found, byName.end()) << histories;
        const ThreadInfo &t = *found->second;
        ASSERT_FALSE(t.statuses.empty()) << histories;
        EXPECT_EQ(t.statuses.back().first, e.second) << histories;
        for (size_t i = 1; i < t.statuses.size(); i++)
            EXPECT_NE(t.statuses[i].first, t.statuses[i - 1].first) << "one entry per change: " << histories;
        for (const auto &s : t.statuses)
            EXPECT_TRUE(s.first == RUNNABLE || s.first == BLOCKED || s.first == WAITING) << histories;
    }
    for (const ThreadInfo &t : threads)
        EXPECT_NE(t.name.compare(0, 7, "_orvane"), 0) << "agent threads are not listed: " << t.name;

    // The registered start names main as its creator; the other has none.
    ASSERT_EQ(byName.count("registered-child"), 1u) << histories;
    ASSERT_EQ(byName.count("unregistered-child"), 1u) << histories;
    EXPECT_EQ(byName["registered-child"]->creator, byName["main"]->id);
    EXPECT_EQ(byName["unregistered-child"]->creator, 0u);
    EXPECT_GE(byName["registered-child"]->end, 0) << "it ended";
    EXPECT_LT(byName["sleeper"]->end, 0) << "it lives";
    EXPECT_EQ(byName.count("parker-to-be"), 0u) << "renamed: " << histories;

    // Telemetry: the Java side ticks once a second. A sample taken before the
    // threads reached the states above can still be queued: read on until a
    // sample counts them (the threads stay in them).
    TelemetryReply first;
    auto settled = [&first] {
        if (first.samples.size() < 2)
            return false;
        const TelemetryReply::Sample &s = first.samples.back();
        return s.standard[7] >= 4 && s.standard[8] >= 1;
    };
    for (auto until = deadline(); std::chrono::steady_clock::now() < until && !settled();) {
        usleep(200000);
        TelemetryReply more = telemetry(client);
        first.samples.insert(first.samples.end(), more.samples.begin(), more.samples.end());
        first.bookmarks.insert(first.bookmarks.end(), more.bookmarks.begin(), more.bookmarks.end());
    }
    ASSERT_GE(first.samples.size(), 2u) << jvm.err();
    const TelemetryReply::Sample &last = first.samples.back();
    EXPECT_GT(last.standard[4], 0) << "heap in use, KB" << TelemetryView::format(first);
    EXPECT_GE(last.standard[5], last.standard[4]) << "committed heap holds the used heap";
    EXPECT_GE(last.standard[7], 4) << "sleeper, waiter, parker and main wait";
    EXPECT_GE(last.standard[8], 1) << "one thread is blocked";
    EXPECT_GT(last.standard[0] + last.standard[1], 100) << "the VM's classes, unfiltered and filtered";
    for (size_t i = 1; i < first.samples.size(); i++) {
        EXPECT_GT(first.samples[i].timeUsec, first.samples[i - 1].timeUsec);
        EXPECT_EQ(first.samples[i].timeUsec % 10000, 0);
    }
    bool bookmarked = false;
    for (const auto &b : first.bookmarks)
        bookmarked = bookmarked || b == listed[0];
    EXPECT_TRUE(bookmarked) << "the telemetry view gives the bookmark the thread view listed";
    // Each reply took what it sent: the next starts after the last sample.
    TelemetryReply next = telemetry(client);
    for (const TelemetryReply::Sample &s : next.samples)
        EXPECT_GT(s.timeUsec, last.timeUsec);
    EXPECT_TRUE(next.bookmarks.empty());

    // The probe commands the Java side answers: nothing to describe, no
    // probe telemetry; settings and recordings are taken, an empty one is
    // skipped, and the VM goes on.
    ASSERT_EQ(client.call(62, {}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(reply.body, (std::vector<uint8_t>{0, 0, 0, 0}));
    ASSERT_EQ(client.call(86, {}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(reply.body, (std::vector<uint8_t>{0}));
    ASSERT_EQ(client.call(87, {0, 0, 0, 3, 1, 2, 3}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_TRUE(reply.body.empty());
    ASSERT_EQ(client.call(90, {0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_EQ(client.call(90, {0x80, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
    // Thresholds of 2^31 and more keep monitor recording off for that kind.
    ASSERT_EQ(client.call(73, {1, 0x80, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_FALSE(threadList(client).empty());

    client.call(46, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
    EXPECT_EQ(jvm.err().find("VerifyError"), std::string::npos) << jvm.err();
}

// The configuration of dynamic instrumentation with the JDK filtered.
// With `allUrls` the views show probe calls that call nothing themselves.
std::vector<uint8_t> instrumentedSession(bool allUrls = false)
{
    std::string filters;
    for (const char *p : {"java.", "javax.", "sun.", "com.sun.", "jdk."})
        filters += std::string("<filter type=\"exclusive\" name=\"") + p + "\"/>";
    return setParameters(std::string("<config><session id=\"5\" instrumentationType=\"1\" timeType=\"1\"") +
                         (allUrls ? " allUrls=\"true\"" : "") + ">" + filters + "</session></config>");
}

// Method statistics (command 72): per method, the calls counted in the
// sum column of its 23 buckets.
bool readMethodStatistics(const std::vector<uint8_t> &body, unsigned idWidth, Registry *registry,
                          std::map<uint64_t, uint64_t> *calls)
{
    WireReader r(body);
    while (!r.error()) {
        uint8_t more = r.readByte();
        if (more == 0)
            break;
        uint64_t method = r.readID(idWidth);
        r.readU4(); // width
        uint64_t sum = 0;
        for (int row = 0; row < 23; row++) {
            r.readU4(); // key
            for (int q = 0; q < 5; q++) {
                uint32_t count = r.readU4();
                if (q == 4)
                    sum += count;
            }
        }
        for (int q = 0; q < 5; q++) {
            r.readJLong();
            r.readU4();
            r.readU4();
        }
        (*calls)[method] = sum;
    }
    return !r.error() && registry->readMethods(r, idWidth) && registry->readClasses(r, idWidth);
}

TEST_P(ThreadsTelemetryTest, MethodStatisticsCountEveryCall)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(startConnected(jvm, client, "CpuWorkload", {"controller"}));
    Reply reply;
    // Method statistics need the dynamic instrumentation collection method.
    ASSERT_EQ(client.call(1, instrumentedSession(), &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(jvm.waitFor("done 55", true, 30)) << jvm.err() << jvm.out();

    // The application recorded method statistics around fib(10) and a sleep.
    ASSERT_EQ(client.call(72, {}, &reply), FrontendClient::OK) << client.lastError();
    std::map<uint64_t, uint64_t> calls;
    ASSERT_TRUE(readMethodStatistics(reply.body, client.idWidth(), &registry, &calls));
    std::map<std::string, uint64_t> byName;
    for (const auto &c : calls) {
        const MethodInfo *m = registry.method(c.first);
        ASSERT_NE(m, nullptr) << "every method of the reply is described";
        byName[m->name] = c.second;
    }
    EXPECT_EQ(jvm.err().find("can only be recorded"), std::string::npos) << jvm.err();
    EXPECT_EQ(byName["CpuWorkload$Fib"], 177u) << "fib(10) makes 177 calls; fib(5) ran after statistics stopped";
    EXPECT_EQ(byName["CpuWorkload$Sleeper"], 1u);
    EXPECT_EQ(byName["CpuWorkload"], 2u) << "learnStack's call, which recording found running, and the workload's own";

    jvm.closeInput();
    client.call(46, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
}

// The node of the first method called `name` (depth first), null when none.
const ViewNode *findMethod(const ViewNode &root, const Registry &registry, const std::string &name)
{
    std::vector<const ViewNode *> nodes;
    CallTreeView::collect(root, &nodes);
    for (const ViewNode *n : nodes) {
        const MethodInfo *m = registry.method(n->method);
        if (m != nullptr && m->name == name)
            return n;
    }
    return nullptr;
}

TEST_P(ThreadsTelemetryTest, SampledCallTreeShowsTheHotMethodAndTheSleep)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(startConnected(jvm, client, "SamplingHot"));
    Reply reply;
    ASSERT_NO_FATAL_FAILURE(configure(jvm, client, "<config><session id=\"5\" instrumentationType=\"3\" timeType=\"1\"/></config>"));
    ASSERT_EQ(client.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
    jvm.closeInput();
    ASSERT_TRUE(jvm.waitFor("done", true, 60)) << jvm.err() << jvm.out();

    // The trees of CPU time (1) and waiting time (2). The samples of the two
    // seconds may still be on their way after "done": the trees are read
    // until they hold a second in hot() and the sleeper's one and a half (the
    // values only grow).
    CallTreeReply cpuTree, waiting;
    const ViewNode *main = nullptr, *hot = nullptr;
    int64_t slept = 0;
    for (auto until = deadline(); std::chrono::steady_clock::now() < until;) {
        cpuTree = CallTreeReply();
        waiting = CallTreeReply();
        ASSERT_EQ(client.call(41, CallTreeView::invocationTreeRequest(0, 1, 10000, 0), &reply), FrontendClient::OK)
            << client.lastError();
        ASSERT_TRUE(CallTreeView::readInvocationTreeReply(reply.body, client.idWidth(), &registry, &cpuTree));
        ASSERT_EQ(client.call(41, CallTreeView::invocationTreeRequest(0, 2, 10000, 0), &reply), FrontendClient::OK)
            << client.lastError();
        ASSERT_TRUE(CallTreeView::readInvocationTreeReply(reply.body, client.idWidth(), &registry, &waiting));
        main = cpuTree.root != nullptr ? findMethod(*cpuTree.root, registry, "main") : nullptr;
        hot = cpuTree.root != nullptr ? findMethod(*cpuTree.root, registry, "hot") : nullptr;
        // The sleeper's Thread.sleep (sleepNanos on newer JDKs): the longest
        // of the sleeps (main sleeps too, since "done").
        slept = 0;
        std::vector<const ViewNode *> nodes;
        if (waiting.root != nullptr)
            CallTreeView::collect(*waiting.root, &nodes);
        for (const ViewNode *n : nodes) {
            const MethodInfo *m = registry.method(n->method);
            if (m != nullptr && m->name == "sleep" && n->value > slept)
                slept = n->value;
        }
        if (main != nullptr && hot != nullptr && hot->value >= 1000000 && slept >= 1500000)
            break;
        usleep(100000);
    }
    ASSERT_NE(cpuTree.root, nullptr);
    ASSERT_NE(waiting.root, nullptr);
    std::string text = CallTreeView::format(*cpuTree.root, registry);
    std::string waitingText = CallTreeView::format(*waiting.root, registry);
    ASSERT_NE(main, nullptr) << text;
    ASSERT_NE(hot, nullptr) << text;
    // About two seconds in hot(), on top of everything else main did (on a
    // loaded machine class loading and lambda linking take a fair share).
    EXPECT_GE(hot->value, 1000000) << text;
    EXPECT_GE(hot->value * 2, main->value) << text;
    for (const auto &child : main->children) {
        if (child.get() != hot) {
            EXPECT_GT(hot->value, child->value) << text;
        }
    }
    EXPECT_EQ(findMethod(*cpuTree.root, registry, "cold") == nullptr || findMethod(*cpuTree.root, registry, "cold")->value < hot->value, true);
    // The sleeping thread's time is waiting time in Thread.sleep.
    EXPECT_GE(slept, 1500000) << waitingText;

    client.call(46, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
}

// Sampling recorded from start-up (nowait, the configuration read from the
// file): the states the program forces are tracked from the start, so the
// threads that wait, are parked or blocked add no running time, the thread
// that computes adds its three seconds, and every thread has its status
// history, before any front end has connected.
TEST_P(ThreadsTelemetryTest, SamplingFromStartupTracksTheForcedThreadStates)
{
    std::string config = work / "config.xml";
    std::ofstream(config) << "<config><session id=\"5\" instrumentationType=\"3\" timeType=\"1\" recordCPUOnStartup=\"true\"/></config>";
    JvmProcess jvm(work.path, "jvm");
    std::vector<std::string> c = {jdk + "/bin/java", "-XX:-UsePerfData", "-Xverify:all",
                                  std::string("-agentpath:") + TIAGENT_PATH + "=nowait,config=" + config + ",id=5,port=" + std::to_string(port) +
                                      ",address=127.0.0.1",
                                  "-cp", PROBE_CLASSES, "SampledStates"};
    ASSERT_TRUE(jvm.start(c, tmp, tmp, canIsolateTmp()));
    ASSERT_TRUE(jvm.waitFor("states WAITING WAITING BLOCKED", true, 60)) << jvm.err() << jvm.out();
    ASSERT_TRUE(jvm.waitFor("done", true, 60)) << jvm.err() << jvm.out();
    FrontendClient client(60000);
    std::string error = "not tried";
    for (auto until = deadline(); std::chrono::steady_clock::now() < until && !error.empty();) {
        error = client.connect("127.0.0.1", static_cast<uint16_t>(port));
        if (!error.empty())
            usleep(100000);
    }
    ASSERT_EQ(error, "");
    ASSERT_EQ(client.handshake(), "");

    Reply reply;
    CallTreeReply cpuTree;
    const ViewNode *hot = nullptr;
    for (auto until = deadline(); std::chrono::steady_clock::now() < until;) {
        cpuTree = CallTreeReply();
        ASSERT_EQ(client.call(41, CallTreeView::invocationTreeRequest(0, 1, 10000, 0), &reply), FrontendClient::OK)
            << client.lastError();
        ASSERT_TRUE(CallTreeView::readInvocationTreeReply(reply.body, client.idWidth(), &registry, &cpuTree));
        hot = cpuTree.root != nullptr ? findMethod(*cpuTree.root, registry, "hot") : nullptr;
        if (hot != nullptr && hot->value >= 1500000)
            break;
        usleep(100000);
    }
    ASSERT_NE(cpuTree.root, nullptr);
    std::string text = CallTreeView::format(*cpuTree.root, registry);
    ASSERT_NE(hot, nullptr) << text;
    EXPECT_GE(hot->value, 1500000) << text;
    int64_t total = 0;
    for (const auto &child : cpuTree.root->children)
        total += child->value;
    // Four threads waited, were parked or blocked for the whole three seconds:
    // counted as running they would add four times the hot method.
    EXPECT_LT(total - hot->value, hot->value) << "running time outside hot(): " << (total - hot->value) << " us\n" << text;

    const std::map<std::string, int> expected = {{"waiter", WAITING}, {"parker", WAITING}, {"blocked", BLOCKED}};
    std::vector<ThreadInfo> threads;
    bool all = false;
    for (auto until = deadline(); std::chrono::steady_clock::now() < until && !all;) {
        threads = threadList(client);
        all = true;
        for (const auto &e : expected) {
            bool found = false;
            for (const ThreadInfo &t : threads)
                found = found || (t.name == e.first && !t.statuses.empty() && t.statuses.back().first == e.second);
            all = all && found;
        }
        if (!all)
            usleep(100000);
    }
    EXPECT_TRUE(all) << ThreadView::formatStatusHistories(threads);
    jvm.closeInput();
    client.close();
    ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
}

TEST_P(ThreadsTelemetryTest, ProbeCallsShowUnderTheirCallerWithExactCounts)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(startConnected(jvm, client, "ProbeCalls"));
    Reply reply;
    ASSERT_EQ(client.call(1, instrumentedSession(true), &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(jvm.waitFor("ready", true, 30)) << jvm.err() << jvm.out();
    ASSERT_EQ(client.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
    jvm.closeInput();
    ASSERT_TRUE(jvm.waitFor("done true", true, 30)) << jvm.err() << jvm.out();

    CallTreeReply tree;
    ASSERT_EQ(client.call(41, CallTreeView::invocationTreeRequest(0, 1, 10000, 0), &reply), FrontendClient::OK)
        << client.lastError();
    ASSERT_TRUE(CallTreeView::readInvocationTreeReply(reply.body, client.idWidth(), &registry, &tree));
    ASSERT_NE(tree.root, nullptr);
    std::string text = CallTreeView::format(*tree.root, registry);
    const ViewNode *reader = findMethod(*tree.root, registry, "ProbeCalls$Reader");
    ASSERT_NE(reader, nullptr) << text;
    ASSERT_EQ(reader->children.size(), 1u) << "the probe, once: " << text;
    const ViewNode &probe = *reader->children[0];
    const MethodInfo *m = registry.method(probe.method);
    ASSERT_NE(m, nullptr) << text;
    EXPECT_EQ(m->name, "file read") << text;
    EXPECT_EQ(probe.count, 3u) << "the unmatched exit and the unknown handle changed nothing: " << text;
    EXPECT_EQ(reader->count, 1u) << text;

    client.call(46, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
}

// The built-in file and thread probes, switched on in the configuration:
// each call of a file stream's open, read, write and close and each thread
// start shows as the probe under its calling method, with the file's path or
// the thread's name as payload, exactly as often as the program made it.
TEST_P(ThreadsTelemetryTest, FileAndThreadProbesRecordTheirCallsUnderTheCallers)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    const std::string data = tmp + "/probed.bin";
    ASSERT_NO_FATAL_FAILURE(runFileProbes(jvm, client, {data}));
    Reply reply;

    // The descriptions name both probes.
    ASSERT_EQ(client.call(62, {}, &reply), FrontendClient::OK) << client.lastError();
    {
        WireReader r(reply.body);
        uint32_t length = r.readU4();
        ASSERT_EQ(length + 4, reply.body.size());
        EXPECT_EQ(r.readU4(), 2u);
        EXPECT_EQ(r.readString(), "builtin.FileProbe");
        EXPECT_EQ(r.readU4(), 10u);
        EXPECT_EQ(r.readString(), "builtin.ThreadInterceptor");
        EXPECT_EQ(r.readU4(), 6u);
    }

    // Command 85: the payloads per call site and the tree of the call sites.
    ProbeTupleReply files;
    ASSERT_NO_FATAL_FAILURE(tuples(jvm, client, "builtin.FileProbe", &files));
    std::string text = ProbeView::format(files, registry);
    EXPECT_EQ(files.probe, "builtin.FileProbe");
    EXPECT_EQ(callsByCaller(files, data), (std::map<std::string, uint32_t>{{"writeData", 7}, {"readData", 9}})) << text;

    ProbeTupleReply threads;
    ASSERT_NO_FATAL_FAILURE(tuples(jvm, client, "builtin.ThreadInterceptor", &threads));
    text = ProbeView::format(threads, registry);
    for (const char *worker : {"probe-worker-0", "probe-worker-1", "probe-worker-2"})
        EXPECT_EQ(callsByCaller(threads, worker), (std::map<std::string, uint32_t>{{"startWorkers", 1}})) << worker << "\n" << text;

    // The call tree carries the same ids on the callers' nodes.
    ASSERT_EQ(client.call(41, CallTreeView::invocationTreeRequest(0, 1, 10000, 0), &reply), FrontendClient::OK)
        << client.lastError();
    CallTreeReply tree;
    ASSERT_TRUE(CallTreeView::readInvocationTreeReply(reply.body, client.idWidth(), &registry, &tree));
    ASSERT_NE(tree.root, nullptr);
    for (const char *caller : {"writeData", "readData"}) {
        const ViewNode *node = findMethod(*tree.root, registry, caller);
        ASSERT_NE(node, nullptr) << CallTreeView::format(*tree.root, registry);
        ASSERT_EQ(node->annotations.size(), 1u) << caller;
        uint32_t calls = 0;
        for (const ProbeTuple &t : files.tuples) {
            if (t.id == node->annotations[0] && t.payload == data)
                calls += t.count;
        }
        EXPECT_EQ(calls, std::string(caller) == "writeData" ? 7u : 9u) << caller;
    }

    // A probe nobody called: its name and byte 0.
    {
        WireWriter w;
        w.writeString("no.such.Probe");
        ASSERT_EQ(client.call(85, w.bytes(), &reply), FrontendClient::OK) << client.lastError();
        WireReader r(reply.body);
        EXPECT_EQ(r.readString(), "no.such.Probe");
        EXPECT_EQ(r.readByte(), 0);
        EXPECT_EQ(r.remaining(), 0u);
    }

    // Command 57: the file is a hotspot with all 16 calls; its back traces
    // end in the two callers with their own counts.
    ASSERT_EQ(client.call(57, ProbeView::hotspotRequest("builtin.FileProbe", {}), &reply), FrontendClient::OK) << client.lastError();
    ProbeHotspotReply hotspots;
    ASSERT_TRUE(ProbeView::readHotspotReply(reply.body, client.idWidth(), &registry, &hotspots));
    uint32_t index = 0;
    for (; index < hotspots.hotspots.size() && hotspots.hotspots[index].payload != data; index++) {
    }
    ASSERT_LT(index, hotspots.hotspots.size()) << ProbeView::format(hotspots, registry);
    EXPECT_EQ(hotspots.hotspots[index].count, 16u);
    ASSERT_EQ(client.call(57, ProbeView::hotspotRequest("builtin.FileProbe", {index}), &reply), FrontendClient::OK)
        << client.lastError();
    hotspots = ProbeHotspotReply();
    ASSERT_TRUE(ProbeView::readHotspotReply(reply.body, client.idWidth(), &registry, &hotspots));
    ASSERT_LT(index, hotspots.hotspots.size());
    const ProbeHotspot &file = hotspots.hotspots[index];
    ASSERT_NE(file.backTraces, nullptr) << ProbeView::format(hotspots, registry);
    text = ProbeView::format(hotspots, registry);
    std::map<std::string, uint32_t> firstLevel;
    for (const auto &c : file.backTraces->children) {
        const MethodInfo *m = registry.method(c->method);
        firstLevel[m != nullptr ? m->name : "?"] = c->count;
    }
    EXPECT_EQ(firstLevel, (std::map<std::string, uint32_t>{{"writeData", 7}, {"readData", 9}})) << text;
    EXPECT_TRUE(file.negativeBackTraces->children.empty());

    // CPU recording switched off and on again starts anew: the payloads are gone.
    ASSERT_EQ(client.call(38, {0, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_EQ(client.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
    {
        WireWriter w;
        w.writeString("builtin.FileProbe");
        ASSERT_EQ(client.call(85, w.bytes(), &reply), FrontendClient::OK) << client.lastError();
        WireReader r(reply.body);
        EXPECT_EQ(r.readString(), "builtin.FileProbe");
        EXPECT_EQ(r.readByte(), 0) << "no payloads after the reset";
        EXPECT_EQ(r.remaining(), 0u);
    }

    client.call(46, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
    EXPECT_EQ(jvm.err().find("VerifyError"), std::string::npos) << jvm.err();
}

// Bulk reads and writes of file streams and every read and write of a
// RandomAccessFile are file probe calls too, with the file's path, exactly
// as often as the program made them.
TEST_P(ThreadsTelemetryTest, FileProbeRecordsBulkCallsAndRandomAccessFiles)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    const std::string data = tmp + "/bulk.bin";
    ASSERT_NO_FATAL_FAILURE(runFileProbes(jvm, client, {data, "bulk"}));
    // 4 + 2 bytes read through the stream, 3 + 2 + 1 through the RandomAccessFile.
    EXPECT_NE(jvm.out().find("done 12"), std::string::npos) << jvm.out();
    ProbeTupleReply files;
    ASSERT_NO_FATAL_FAILURE(tuples(jvm, client, "builtin.FileProbe", &files));
    std::string text = ProbeView::format(files, registry);
    EXPECT_EQ(callsByCaller(files, data), (std::map<std::string, uint32_t>{{"writeBulk", 4}, {"readBulk", 4}})) << text;
    EXPECT_EQ(callsByCaller(files, data + ".raf"), (std::map<std::string, uint32_t>{{"randomAccess", 8}})) << text;
    // Only main's reads of standard input have no path.
    std::map<std::string, uint32_t> unknown = callsByCaller(files, "[unknown file]");
    for (const char *caller : {"writeBulk", "readBulk", "randomAccess"})
        EXPECT_EQ(unknown.count(caller), 0u) << caller << "\n" << text;
    Reply reply;
    client.call(46, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
    EXPECT_EQ(jvm.err().find("VerifyError"), std::string::npos) << jvm.err();
}

// The heap columns of the telemetry come from allocation recording: all 0
// before it starts; then the program's own 11 objects and 9 arrays are
// created and live, and after it drops 8 of them they are counted as freed.
TEST_P(ThreadsTelemetryTest, TelemetryCountsTheRecordedHeap)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(startConnected(jvm, client, "AllocWorkload"));
    Reply reply;
    ASSERT_EQ(client.call(1, instrumentedSession(), &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(jvm.waitFor("ready", true, 30)) << jvm.err() << jvm.out();
    const int LIVE_OBJECTS = 2, LIVE_ARRAYS = 3, FREED = 10, CREATED = 11;
    // Samples until `enough` holds for the samples taken so far.
    auto collect = [&](const std::function<bool(const std::vector<TelemetryReply::Sample> &)> &enough) {
        std::vector<TelemetryReply::Sample> samples;
        for (auto until = deadline(); std::chrono::steady_clock::now() < until && !enough(samples);) {
            usleep(200000);
            TelemetryReply more = telemetry(client);
            samples.insert(samples.end(), more.samples.begin(), more.samples.end());
        }
        return samples;
    };
    auto sum = [](const std::vector<TelemetryReply::Sample> &samples, int column) {
        long long total = 0;
        for (const auto &s : samples)
            total += s.standard[column];
        return total;
    };
    std::vector<TelemetryReply::Sample> before = collect([](const std::vector<TelemetryReply::Sample> &s) { return s.size() >= 2; });
    ASSERT_GE(before.size(), 2u);
    for (const auto &s : before) {
        EXPECT_EQ(s.standard[LIVE_OBJECTS], 0);
        EXPECT_EQ(s.standard[LIVE_ARRAYS], 0);
        EXPECT_EQ(s.standard[FREED], 0);
        EXPECT_EQ(s.standard[CREATED], 0);
    }

    ASSERT_EQ(client.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_EQ(client.call(49, HeapView::recordRequest(true), &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(jvm.writeInput("alloc\n"));
    ASSERT_TRUE(jvm.waitFor("allocated", true, 30)) << jvm.err() << jvm.out();
    std::vector<TelemetryReply::Sample> after = collect([&](const std::vector<TelemetryReply::Sample> &s) {
        return !s.empty() && s.back().standard[LIVE_OBJECTS] >= 11 && s.back().standard[LIVE_ARRAYS] >= 9 && sum(s, CREATED) >= 20;
    });
    ASSERT_FALSE(after.empty());
    EXPECT_GE(after.back().standard[LIVE_OBJECTS], 11);
    EXPECT_GE(after.back().standard[LIVE_ARRAYS], 9);
    EXPECT_GE(sum(after, CREATED), 20) << "created since the previous sample, each counted once";

    ASSERT_TRUE(jvm.writeInput("drop\n"));
    ASSERT_TRUE(jvm.waitFor("dropped", true, 30)) << jvm.err() << jvm.out();
    std::vector<TelemetryReply::Sample> freed = collect([&](const std::vector<TelemetryReply::Sample> &s) { return sum(s, FREED) >= 8; });
    EXPECT_GE(sum(freed, FREED), 8);

    client.call(46, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
}

// The open "jdc" files of a process: the dead-thread store, unlinked at once,
// shows only as a descriptor. Their modes.
std::vector<unsigned> deadThreadStores(pid_t pid)
{
    std::vector<unsigned> modes;
    std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR *dir = opendir(fds.c_str());
    if (dir == nullptr)
        return modes;
    while (struct dirent *e = readdir(dir)) {
        std::string link = fds + "/" + e->d_name;
        char target[4096];
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0)
            continue;
        target[n] = '\0';
        std::string name = target;
        size_t slash = name.rfind('/');
        struct stat st;
        if (slash != std::string::npos && name.compare(slash + 1, 3, "jdc") == 0 && stat(link.c_str(), &st) == 0)
            modes.push_back(st.st_mode & 07777);
    }
    closedir(dir);
    return modes;
}

// With test-dead-tree every tick of the Java side moves the trees of dead
// threads to the private store; the views read them back.
TEST_P(ThreadsTelemetryTest, DeadThreadsGoToThePrivateStoreOnTheTick)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(startConnected(jvm, client, "ThreadStates", {}, ",test-dead-tree"));
    Reply reply;
    ASSERT_EQ(client.call(1, instrumentedSession(), &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(jvm.waitFor("ready", true, 30)) << jvm.err() << jvm.out();
    ASSERT_EQ(client.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_TRUE(deadThreadStores(jvm.getPid()).empty()) << "no store before a thread died";
    jvm.closeInput();
    ASSERT_TRUE(jvm.waitFor("states ready", true, 30)) << jvm.err() << jvm.out();

    std::vector<unsigned> stores;
    for (auto until = deadline(); std::chrono::steady_clock::now() < until && stores.empty();) {
        usleep(100000);
        stores = deadThreadStores(jvm.getPid());
    }
    ASSERT_EQ(stores.size(), 1u) << jvm.err();
    EXPECT_EQ(stores[0], 0600u);
    // The view reads the stored trees back.
    ASSERT_EQ(client.call(41, CallTreeView::invocationTreeRequest(0, 1, 10000, 0), &reply), FrontendClient::OK)
        << client.lastError();
    CallTreeReply tree;
    ASSERT_TRUE(CallTreeView::readInvocationTreeReply(reply.body, client.idWidth(), &registry, &tree));
    EXPECT_NE(tree.root, nullptr);
    EXPECT_EQ(jvm.err().find("Could not"), std::string::npos) << jvm.err();
    EXPECT_EQ(jvm.err().find("could not seek"), std::string::npos) << jvm.err();

    client.call(46, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
}

// The call sites of probe payloads made by a thread that ended are found
// after its tree went to the dead-thread store.
TEST_P(ThreadsTelemetryTest, ProbeCallSitesOfAStoredDeadThread)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client;
    const std::string data = tmp + "/probed.bin";
    ASSERT_NO_FATAL_FAILURE(runFileProbes(jvm, client, {data, "thread"}, ",test-dead-tree"));
    // Every tick stores the dead threads. The caller ended (and was joined)
    // before any other thread of the program, so it is in the store as soon
    // as the store exists.
    std::vector<unsigned> stores;
    for (int attempt = 0; attempt < 40 && stores.empty(); attempt++) {
        usleep(100000);
        stores = deadThreadStores(jvm.getPid());
    }
    ASSERT_EQ(stores.size(), 1u) << jvm.err();
    const std::map<std::string, uint32_t> expected = {{"writeData", 7}, {"readData", 9}};
    ProbeTupleReply files;
    ASSERT_NO_FATAL_FAILURE(tuples(jvm, client, "builtin.FileProbe", &files));
    EXPECT_EQ(callsByCaller(files, data), expected) << ProbeView::format(files, registry);
    // Looking did not leave the trees in memory: the view reads them back again.
    ProbeTupleReply again;
    ASSERT_NO_FATAL_FAILURE(tuples(jvm, client, "builtin.FileProbe", &again));
    EXPECT_EQ(callsByCaller(again, data), expected) << ProbeView::format(again, registry);
    EXPECT_EQ(jvm.err().find("could not seek"), std::string::npos) << jvm.err();

    Reply reply;
    client.call(46, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
}

// With sampling a probe call in progress is a request of its thread: the
// sampler puts it above the thread's stack, so the time the program waits
// in a file read shows under the file probe.
TEST_P(ThreadsTelemetryTest, SampledProbeCallsAreRequestsAboveTheStack)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    const std::string pipe = work.path + "/probe.fifo";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    // Held open for reading and writing, the pipe never blocks the program's open.
    int fd = open(pipe.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_NO_FATAL_FAILURE(startConnected(jvm, client, "FifoProbe", {pipe}));
    Reply reply;
    ASSERT_EQ(client.call(1,
                          setParameters("<config><session id=\"5\" instrumentationType=\"3\" timeType=\"1\">"
                                        "<probe name=\"builtin.FileProbe\" enabled=\"true\"/></session></config>"),
                          &reply),
              FrontendClient::OK)
        << client.lastError();
    ASSERT_TRUE(jvm.waitFor("ready", true, 30)) << jvm.err() << jvm.out();
    ASSERT_EQ(client.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
    jvm.closeInput();
    ASSERT_TRUE(jvm.waitFor("reading", true, 30)) << jvm.err() << jvm.out();
    usleep(1000000);
    ASSERT_EQ(write(fd, "x", 1), 1);
    ASSERT_TRUE(jvm.waitFor("done 120", true, 30)) << jvm.err() << jvm.out();
    close(fd);

    CallTreeReply tree;
    ASSERT_EQ(client.call(41, CallTreeView::invocationTreeRequest(0, 1, 10000, 0), &reply), FrontendClient::OK)
        << client.lastError();
    ASSERT_TRUE(CallTreeView::readInvocationTreeReply(reply.body, client.idWidth(), &registry, &tree));
    ASSERT_NE(tree.root, nullptr);
    std::string text = CallTreeView::format(*tree.root, registry);
    const ViewNode *probe = findMethod(*tree.root, registry, "builtin.FileProbe");
    ASSERT_NE(probe, nullptr) << text;
    const ViewNode *reader = findMethod(*probe, registry, "readPipe");
    ASSERT_NE(reader, nullptr) << "the stack below the request: " << text;
    EXPECT_GE(reader->value, 500000) << "most of the second in the read: " << text;

    client.call(46, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
}

// The probe ids that follow the switch of commands 38 (CPU) and 49
// (allocations) reach the Java side, each list replacing the one before; a
// switch without a list (older front ends) keeps the tracking.
TEST_P(ThreadsTelemetryTest, RecordingSwitchesHandTheTrackedProbesToTheJavaSide)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(startConnected(jvm, client, "TrackedProbes"));
    Reply reply;
    ASSERT_NO_FATAL_FAILURE(configure(jvm, client, "<config><session id=\"5\" instrumentationType=\"1\" timeType=\"1\"/></config>"));
    struct Step {
        uint32_t command;
        std::vector<uint8_t> body;
        const char *tracked;
    };
    const std::vector<Step> steps = {
        {38, {1, 0, 0, 0, 2, 0, 0, 0, 10, 0, 0, 0, 6}, "[10, 6]"},
        {49, {1, 0, 0, 0, 1, 0, 0, 0x01, 0x2C}, "[300]"},
        {49, {0}, "[300]"},
        {49, {1, 0, 0, 0, 2, 0, 0, 0, 7}, "[300]"}, // cut short: refused whole
        {38, {0, 0, 0, 0, 0}, "[]"},
    };
    for (size_t i = 0; i < steps.size(); i++) {
        SCOPED_TRACE(i);
        ASSERT_EQ(client.call(steps[i].command, steps[i].body, &reply), FrontendClient::OK) << client.lastError();
        std::string step = "step" + std::to_string(i);
        ASSERT_TRUE(jvm.writeInput(step + "\n"));
        ASSERT_TRUE(jvm.waitFor(step + " ", true, 30)) << jvm.out();
        EXPECT_NE(jvm.out().find(step + " " + steps[i].tracked + "\n"), std::string::npos) << jvm.out();
    }
    EXPECT_NE(jvm.err().find("Allocation recording request with a cut list of tracked probes ignored."), std::string::npos)
        << jvm.err();
    jvm.closeInput();
    ASSERT_TRUE(jvm.waitFor("done", true, 30)) << jvm.out();
    client.call(46, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
}

INSTANTIATE_TEST_SUITE_P(Jdks, ThreadsTelemetryTest, testing::ValuesIn(JDKS), jdkTestName);

} // namespace
