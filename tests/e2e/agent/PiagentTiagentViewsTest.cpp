// The same work seen by both agents: tiagent profiles a Java program in a
// real JVM, piagent the same calls, allocations and monitor contention played
// by a jvmpihost script; the views a front end reads from each (call tree,
// hot spots, live objects, allocation trees and hot spots, monitor events and
// the current monitor usage) must agree. Times and sizes differ between a
// real run and a script, so the views are compared by their methods, classes,
// threads and counts; the JDK's own methods, classes and threads, which only
// the real JVM has, are left out.
#include "PiagentHost.h"

#include "CallTreeView.h"
#include "HeapView.h"
#include "JvmProcess.h"
#include "Registry.h"
#include "ThreadView.h"
#include "WireReader.h"

#include <map>
#include <set>

namespace {

const char *const JDK = "/usr/lib/jvm/java-17-openjdk-amd64";

// Every method of the program's own classes is recorded: by rewritten
// bytecode in tiagent (collection method 1), by the VM's method events in
// piagent (2). Allocation trees of live and collected objects.
std::string configXml(int collectionMethod)
{
    std::string xml = "<config><session id=\"3\" instrumentationType=\"" + std::to_string(collectionMethod) +
                      "\" timeType=\"1\" allocTreeRecordingType=\"3\">";
    for (const char *f : {"java.", "javax.", "sun.", "com.sun.", "jdk."})
        xml += std::string("<filter type=\"exclusive\" name=\"") + f + "\"/>";
    return xml + "</session></config>";
}

// What one front end read, keyed by names and counts.
struct Views {
    // Per path of the program's methods from the root ("A.main > A.order"):
    // the calls of the innermost.
    std::map<std::string, uint64_t> callTree;
    std::map<std::string, uint64_t> hotspots;
    // Live objects per class of the program.
    std::map<std::string, int64_t> liveObjects;
    // Per class and path of the program's methods: objects allocated there or below.
    std::map<std::string, int64_t> allocationTree;
    // Per class: the objects the allocation hot spots count.
    std::map<std::string, int64_t> allocationHotspots;
    // "blocked|waiting THREAD on CLASS" for the program's monitors.
    std::set<std::string> finishedMonitorEvents;
    // "THREAD on CLASS owned by THREAD": tiagent's current usage gives every
    // thread the VM lists for a monitor the kind "waiting" (2), piagent's,
    // from the VM's monitor dump, "blocked" (1) to the threads waiting to
    // enter, so the kind is left out here.
    std::set<std::string> currentMonitorUsage;
};

bool isProgramClass(const ClassInfo *c) { return c != nullptr && c->name.compare(0, 5, "demo.") == 0; }

bool isProgramMethod(const Registry &registry, uint64_t method)
{
    const MethodInfo *m = registry.method(method);
    return m != nullptr && isProgramClass(registry.classOf(m->classId));
}

std::string methodName(const Registry &registry, uint64_t method)
{
    const MethodInfo *m = registry.method(method);
    return registry.describe(method) + (m != nullptr ? m->signature : "");
}

// Whether `method` is a constructor of the class named `className`.
bool isConstructorOf(const Registry &registry, uint64_t method, const std::string &className)
{
    const MethodInfo *m = registry.method(method);
    const ClassInfo *c = m != nullptr ? registry.classOf(m->classId) : nullptr;
    return c != nullptr && c->name == className && m->name == "<init>";
}

// Adds `node`'s count under `path` (the program's methods above it), then its
// children's. With `madeClass`, the constructors of that class are left out
// of the paths: tiagent sees an object made when its constructor reaches
// Object's, a VM with the profiler interface reports it at the `new` just
// before the constructor is entered, so the same object is one frame apart.
void addPaths(const ViewNode &node, const Registry &registry, const std::string &path, const std::string &prefix,
              std::map<std::string, int64_t> *out, const std::string &madeClass = "")
{
    std::string here = path;
    if (isProgramMethod(registry, node.method) && !(!madeClass.empty() && isConstructorOf(registry, node.method, madeClass))) {
        here = path.empty() ? methodName(registry, node.method) : path + " > " + methodName(registry, node.method);
        (*out)[prefix + here] += node.count;
    }
    for (const auto &child : node.children)
        addPaths(*child, registry, here, prefix, out, madeClass);
}

struct MonitorEntry {
    int type = 0;
    uint64_t classId = 0;
    uint64_t thread = 0;
    uint64_t owner = 0;
};

// One list of monitor entries of commands 35 and 36, up to its byte 0.
bool readMonitorEntries(WireReader &in, unsigned idWidth, std::vector<MonitorEntry> *out)
{
    while (!in.error() && in.readByte() == 1) {
        MonitorEntry e;
        e.type = in.readByte();
        in.readJLong();
        in.readByte();
        in.readU4();
        e.classId = in.readID(idWidth);
        in.readU4();
        e.thread = in.readID(idWidth);
        e.owner = in.readID(idWidth);
        for (int stack = 0; stack < 2; stack++)
            while (!in.error() && in.readByte() == 1)
                in.readID(idWidth);
        out->push_back(e);
    }
    return !in.error();
}

class ViewsReader {
public:
    explicit ViewsReader(FrontendClient &client) : client(client), w(client.idWidth()) {}

    // The thread names by ID (command 11).
    void readThreads()
    {
        Reply reply;
        ASSERT_EQ(client.call(11, {}, &reply), FrontendClient::OK) << client.lastError();
        WireReader reader(reply.body);
        std::vector<ThreadInfo> threads;
        ASSERT_TRUE(ThreadView::readThreadDescriptions(reader, w, &registry, &threads));
        for (const ThreadInfo &t : threads)
            threadNames[t.id] = t.name;
    }

    // The program's monitors in a list of entries: finished ones with their
    // kind, current ones with their owners.
    std::set<std::string> describe(const std::vector<MonitorEntry> &entries, bool current)
    {
        std::set<std::string> out;
        for (const MonitorEntry &e : entries) {
            const ClassInfo *c = registry.classOf(e.classId);
            if (!isProgramClass(c))
                continue;
            std::string text = threadNames[e.thread] + " on " + c->name;
            if (current)
                text += " owned by " + (e.owner != 0 ? threadNames[e.owner] : std::string("nobody"));
            else
                text = std::string(e.type == 1 ? "blocked " : "waiting ") + text;
            out.insert(text);
        }
        return out;
    }

    // Command 36 until the program's blocked monitor has its owner.
    void readCurrentMonitorUsage(Views *views)
    {
        for (int attempt = 0; attempt < 300; attempt++) {
            ASSERT_NO_FATAL_FAILURE(readThreads());
            Reply reply;
            ASSERT_EQ(client.call(36, {}, &reply), FrontendClient::OK) << client.lastError();
            WireReader in(reply.body);
            std::vector<MonitorEntry> current;
            ASSERT_TRUE(readMonitorEntries(in, w, &current));
            views->currentMonitorUsage = describe(current, true);
            if (!views->currentMonitorUsage.empty())
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }

    void readViews(Views *views)
    {
        Reply reply;
        ASSERT_NO_FATAL_FAILURE(readThreads());
        CallTreeReply tree;
        ASSERT_EQ(client.call(41, CallTreeView::invocationTreeRequest(0, 1, 10000, 0), &reply), FrontendClient::OK) << client.lastError();
        ASSERT_TRUE(CallTreeView::readInvocationTreeReply(reply.body, w, &registry, &tree));
        ASSERT_NE(tree.root, nullptr);
        std::map<std::string, int64_t> paths;
        addPaths(*tree.root, registry, "", "", &paths);
        for (const auto &p : paths)
            views->callTree[p.first] = static_cast<uint64_t>(p.second);

        HotspotReply hot;
        ASSERT_EQ(client.call(42, CallTreeView::hotspotRequest(1, true), &reply), FrontendClient::OK) << client.lastError();
        ASSERT_TRUE(CallTreeView::readHotspotReply(reply.body, w, &registry, &hot));
        for (const HotspotRow &row : hot.rows)
            if (isProgramMethod(registry, row.method))
                views->hotspots[methodName(registry, row.method)] += row.calls;

        HeapUsageReply usage;
        ASSERT_EQ(client.call(3, {0}, &reply), FrontendClient::OK) << client.lastError();
        ASSERT_TRUE(HeapView::readHeapUsageReply(reply.body, w, &registry, &usage));
        std::vector<const ClassInfo *> programClasses;
        for (const HeapEntry &e : usage.live) {
            const ClassInfo *c = registry.classOf(e.classId);
            if (isProgramClass(c) && e.type == 2) {
                views->liveObjects[c->name] += e.count;
                programClasses.push_back(c);
            }
        }

        // Each class of the program alone: where its objects were made.
        for (const ClassInfo *c : programClasses) {
            std::vector<std::pair<uint16_t, uint64_t>> selection = {{2, c->id}};
            AllocationTreeReply allocations;
            ASSERT_EQ(client.call(24, HeapView::allocationUpdateRequest(0, 1, selection, "", w), &reply), FrontendClient::OK)
                << client.lastError();
            ASSERT_TRUE(HeapView::readAllocationTreeReply(reply.body, w, &registry, &allocations));
            ASSERT_NE(allocations.root, nullptr) << c->name;
            addPaths(*allocations.root, registry, "", c->name + " at ", &views->allocationTree, c->name);

            std::vector<uint8_t> request = HeapView::allocationRequest(0, 1, selection, "", w);
            request.push_back(0);
            request.push_back(0);
            ASSERT_EQ(client.call(51, request, &reply), FrontendClient::OK) << client.lastError();
            AllocationHotspotReply places;
            ASSERT_TRUE(HeapView::readAllocationHotspotReply(reply.body, w, &registry, &places));
            // The places are one frame apart (see addPaths): the objects of
            // each class the hot spots count, wherever they put them.
            for (const HotspotRow &row : places.rows)
                views->allocationHotspots[c->name] += row.calls;
        }

        // The monitor events that ended (the current ones follow them).
        ASSERT_EQ(client.call(35, {}, &reply), FrontendClient::OK) << client.lastError();
        WireReader in(reply.body);
        std::vector<MonitorEntry> finished;
        ASSERT_TRUE(readMonitorEntries(in, w, &finished));
        views->finishedMonitorEvents = describe(finished, false);
    }

    FrontendClient &client;
    unsigned w;
    // Descriptions come once per connection: one registry for every reply.
    Registry registry;
    std::map<uint64_t, std::string> threadNames;
};

class PiagentTiagentViewsTest : public PiagentHostTest {
protected:
    // tiagent in a real JVM running the program: views while the holder
    // keeps the lock, and once the program is done.
    void tiagentViews(Views *views)
    {
        jvmtest::WorkDir dir;
        ASSERT_FALSE(dir.path.empty());
        std::string tmp = dir / "tmp";
        mkdir(tmp.c_str(), 0700);
        loopbackSocket::PortReservation port;
        jvmtest::JvmProcess jvm(dir.path, "jvm");
        ASSERT_TRUE(jvm.start({std::string(JDK) + "/bin/java", "-XX:-UsePerfData",
                               std::string("-agentpath:") + TIAGENT_PATH + "=port=" + std::to_string(port.port) + ",address=127.0.0.1",
                               "-cp", VIEWS_CLASSES, "demo.ViewsWork"},
                              tmp, tmp, jvmtest::canIsolateTmp()));
        ASSERT_TRUE(jvm.waitFor("Waiting for a connection from the Orvane GUI ...", false, 60)) << jvm.err();
        FrontendClient frontend(60000);
        ASSERT_NO_FATAL_FAILURE(connectFrontend(frontend, port.port));
        Reply reply;
        // Everything is recorded from main's first call: the agent holds
        // main until command 1.
        ASSERT_EQ(frontend.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << frontend.lastError();
        ASSERT_EQ(frontend.call(49, HeapView::recordRequest(true), &reply), FrontendClient::OK) << frontend.lastError();
        ASSERT_EQ(frontend.call(73, {1, 0, 0, 0, 0, 0, 0, 0, 0}, &reply), FrontendClient::OK) << frontend.lastError();
        ASSERT_EQ(frontend.call(1, sessionRequest(configXml(1), 3), &reply), FrontendClient::OK) << frontend.lastError();
        ViewsReader reader(frontend);
        ASSERT_TRUE(jvm.waitFor("holding", true, 60)) << jvm.err() << jvm.out();
        ASSERT_NO_FATAL_FAILURE(reader.readCurrentMonitorUsage(views));
        // One byte each: the holder's line, then main's.
        ASSERT_TRUE(jvm.writeInput("\n"));
        ASSERT_TRUE(jvm.waitFor("done", true, 60)) << jvm.err() << jvm.out();
        ASSERT_NO_FATAL_FAILURE(reader.readViews(views));
        ASSERT_TRUE(jvm.writeInput("\n"));
        frontend.close();
        ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
    }

    // piagent under jvmpihost playing the same events.
    void piagentViews(Views *views)
    {
        loopbackSocket::PortReservation port;
        std::vector<std::string> script = {
            "--options", "port=" + std::to_string(port.port) + ",address=127.0.0.1", "java-comm", "init-done", "await:go",
            "class:0x100:demo/ViewsWork:main/([Ljava/lang/String;)V=0x11,order/()V=0x12,pay/()V=0x13",
            "class:0x200:demo/Item:<init>/(Ldemo/Item;)V=0x21", "class:0x300:demo/Lock:<init>/()V=0x31",
            "class:0x400:demo/Holder:<init>/(Ldemo/Lock;Ljava/lang/Thread;)V=0x41,awaitHeld/()V=0x42,run/()V=0x43",
            "thread:1:main", "enter:1:0x11",
            // lock = new Lock()
            "alloc:1:0x7000:0x300:16", "enter:1:0x31", "exit:1:0x31"};
        // Three orders: a new item kept, then pay.
        for (const char *item : {"0x7100", "0x7200", "0x7300"}) {
            for (const std::string &step : {std::string("enter:1:0x12"), "alloc:1:" + std::string(item) + ":0x200:16", std::string("enter:1:0x21"),
                                            std::string("exit:1:0x21"), std::string("enter:1:0x13"), std::string("sleep:2"), std::string("exit:1:0x13"),
                                            std::string("exit:1:0x12")})
                script.push_back(step);
        }
        for (const char *step : {// holder = new Holder(lock, main); holder.start()
                                 "alloc:1:0x7400:0x400:120", "enter:1:0x41", "exit:1:0x41", "thread:2:holder", "enter:2:0x43",
                                 // main waits until the holder has the lock, then blocks on it
                                 "enter:1:0x42", "exit:1:0x42", "contend:1:0x7000", "monitor:0x7000:2:1", "mark:blocked",
                                 "await:release",
                                 // the holder leaves; main gets the lock and pays
                                 "monitor:0x7000:0", "exit:2:0x43", "thread-end:2", "contended:1:0x7000", "enter:1:0x13",
                                 "sleep:2", "exit:1:0x13", "mark:done", "await:end", "exit:1:0x11", "thread-end:1", "shut-down"})
            script.push_back(step);
        start(script);
        FrontendClient frontend(60000);
        ASSERT_NO_FATAL_FAILURE(connectAndHandOver(frontend, port.port, sessionRequest(configXml(2), 3)));
        Reply reply;
        ASSERT_EQ(frontend.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << frontend.lastError();
        ASSERT_EQ(frontend.call(49, HeapView::recordRequest(true), &reply), FrontendClient::OK) << frontend.lastError();
        ASSERT_EQ(frontend.call(73, {1, 0, 0, 0, 0, 0, 0, 0, 0}, &reply), FrontendClient::OK) << frontend.lastError();
        ASSERT_TRUE(waitForLine("stdout", "host: EnableEvent 5")) << out();
        touch("go");
        ViewsReader reader(frontend);
        ASSERT_TRUE(waitForLine("stdout", "host: mark blocked")) << out() << err();
        ASSERT_NO_FATAL_FAILURE(reader.readCurrentMonitorUsage(views));
        touch("release");
        ASSERT_TRUE(waitForLine("stdout", "host: mark done")) << out() << err();
        ASSERT_NO_FATAL_FAILURE(reader.readViews(views));
        touch("end");
        frontend.close();
        ASSERT_EQ(finish(), 0) << err();
    }
};

std::string show(const std::map<std::string, uint64_t> &m)
{
    std::string text;
    for (const auto &e : m)
        text += "  " + e.first + ": " + std::to_string(e.second) + "\n";
    return text;
}

std::string show(const std::map<std::string, int64_t> &m)
{
    std::string text;
    for (const auto &e : m)
        text += "  " + e.first + ": " + std::to_string(e.second) + "\n";
    return text;
}

std::string show(const std::set<std::string> &s)
{
    std::string text;
    for (const auto &e : s)
        text += "  " + e + "\n";
    return text;
}

TEST_F(PiagentTiagentViewsTest, FrontEndReadsTheSameViewsFromBothAgents)
{
    if (!jvmtest::fileExists(std::string(JDK) + "/bin/java"))
        GTEST_SKIP() << "no JDK at " << JDK;
    Views ti, pi;
    ASSERT_NO_FATAL_FAILURE(tiagentViews(&ti));
    ASSERT_NO_FATAL_FAILURE(piagentViews(&pi));

    // The truth both must show: what the program does.
    const std::string main = "demo.ViewsWork.main([Ljava/lang/String;)V";
    const std::string order = "demo.ViewsWork.order()V";
    const std::string pay = "demo.ViewsWork.pay()V";
    const std::string item = "demo.Item.<init>(Ldemo/Item;)V";
    const std::string lock = "demo.Lock.<init>()V";
    const std::string holder = "demo.Holder.<init>(Ldemo/Lock;Ljava/lang/Thread;)V";
    const std::string awaitHeld = "demo.Holder.awaitHeld()V";
    const std::string run = "demo.Holder.run()V";
    const std::map<std::string, uint64_t> tree = {
        {main, 1},
        {main + " > " + lock, 1},
        {main + " > " + order, 3},
        {main + " > " + order + " > " + item, 3},
        {main + " > " + order + " > " + pay, 3},
        {main + " > " + holder, 1},
        {main + " > " + awaitHeld, 1},
        {main + " > " + pay, 1},
        {run, 1},
    };
    EXPECT_EQ(ti.callTree, tree) << show(ti.callTree);
    EXPECT_EQ(pi.callTree, tree) << show(pi.callTree);
    const std::map<std::string, uint64_t> hotspots = {{main, 1}, {order, 3}, {pay, 4},       {item, 3},
                                                      {lock, 1}, {holder, 1}, {awaitHeld, 1}, {run, 1}};
    EXPECT_EQ(ti.hotspots, hotspots) << show(ti.hotspots);
    EXPECT_EQ(pi.hotspots, hotspots) << show(pi.hotspots);

    const std::map<std::string, int64_t> live = {{"demo.Item", 3}, {"demo.Lock", 1}, {"demo.Holder", 1}};
    EXPECT_EQ(ti.liveObjects, live) << show(ti.liveObjects);
    EXPECT_EQ(pi.liveObjects, live) << show(pi.liveObjects);
    const std::map<std::string, int64_t> allocationTree = {
        {"demo.Item at " + main, 3},   {"demo.Item at " + main + " > " + order, 3}, {"demo.Lock at " + main, 1},
        {"demo.Holder at " + main, 1},
    };
    EXPECT_EQ(ti.allocationTree, allocationTree) << show(ti.allocationTree);
    EXPECT_EQ(pi.allocationTree, allocationTree) << show(pi.allocationTree);
    const std::map<std::string, int64_t> allocationHotspots = {{"demo.Item", 3}, {"demo.Lock", 1}, {"demo.Holder", 1}};
    EXPECT_EQ(ti.allocationHotspots, allocationHotspots) << show(ti.allocationHotspots);
    EXPECT_EQ(pi.allocationHotspots, allocationHotspots) << show(pi.allocationHotspots);

    const std::set<std::string> current = {"main on demo.Lock owned by holder"};
    EXPECT_EQ(ti.currentMonitorUsage, current) << show(ti.currentMonitorUsage);
    EXPECT_EQ(pi.currentMonitorUsage, current) << show(pi.currentMonitorUsage);
    const std::set<std::string> finished = {"blocked main on demo.Lock"};
    EXPECT_EQ(ti.finishedMonitorEvents, finished) << show(ti.finishedMonitorEvents);
    EXPECT_EQ(pi.finishedMonitorEvents, finished) << show(pi.finishedMonitorEvents);
}

} // namespace
