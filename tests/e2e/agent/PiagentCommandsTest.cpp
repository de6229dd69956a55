// piagent under jvmpihost: the commands that read the VM's stacks (thread
// dumps, the call tracer's start), snapshots in both reply forms and through
// the Java API, and the Java side's main-thread notification.
#include "PiagentHost.h"

#include "LoadedSnapshot.h"
#include "SnapshotFile.h"
#include "ThreadView.h"
#include "WireReader.h"

#include <algorithm>
#include <fstream>

namespace {

const std::string WORK_CLASS = "class:0x100:demo/Work:main/([Ljava/lang/String;)V=0x11,work/()V=0x12";

using PiagentCommandsTest = PiagentConnectedTest;

// Command 74 suspends every scripted thread, reads each one's call trace
// whatever its status and whether it ran, resumes them, and answers the
// stacks outermost first with their lines; methods the VM never announced
// are asked for.
TEST_F(PiagentCommandsTest, ThreadDumpReadsEveryThreadsStack)
{
    ASSERT_NO_FATAL_FAILURE(startConnected({WORK_CLASS, "quiet-class:0x200:demo/Other:other/()V=0x21", "thread:1:main",
                                            "thread:2:worker", "stack:1:0x12@7/0x11@3", "stack:2:0x21@9/0x12@4", "status:2:2",
                                            "hasrun:2:0", "mark:played", "await:done", "shut-down"},
                                           ""));
    ASSERT_TRUE(waitForLine("stdout", "host: mark played")) << out();
    Reply reply;
    ASSERT_EQ(client.call(74, {1}, &reply), FrontendClient::OK) << client.lastError();
    Registry registry;
    ThreadDumpReply dump;
    ASSERT_TRUE(ThreadView::readThreadDumpReply(reply.body, client.idWidth(), &registry, &dump));

    // The methods are asked for once the threads run again (each lookup
    // with the collector held).
    EXPECT_EQ(callsAfter("host: mark played", {"host: SuspendThread", "host: ResumeThread", "host: GetCallTrace",
                                               "host: ThreadHasRun", "host: DisableGC", "host: EnableGC", "host: GetMethodClass"}),
              (std::vector<std::string>{"host: SuspendThread 1", "host: SuspendThread 2", "host: GetCallTrace 1",
                                        "host: GetCallTrace 2", "host: ResumeThread 1", "host: ResumeThread 2", "host: DisableGC",
                                        "host: GetMethodClass 0x11", "host: EnableGC", "host: DisableGC",
                                        "host: GetMethodClass 0x21", "host: EnableGC"}))
        << out();

    // Each thread's one stack as (method name, line), outermost first.
    std::map<std::string, std::vector<std::pair<std::string, int>>> stacks;
    for (const ThreadInfo &t : dump.threads) {
        auto traces = dump.traces.find(t.id);
        if (traces == dump.traces.end())
            continue;
        ASSERT_EQ(traces->second.size(), 1u) << t.name;
        for (const auto &frame : traces->second[0].frames) {
            const MethodInfo *method = registry.method(frame.first);
            ASSERT_NE(method, nullptr) << ThreadView::format(dump, registry);
            stacks[t.name].push_back({method->name, frame.second});
        }
    }
    using Stack = std::vector<std::pair<std::string, int>>;
    EXPECT_EQ(stacks, (std::map<std::string, Stack>{{"main", Stack{{"main", 3}, {"work", 7}}},
                                                     {"worker", Stack{{"work", 4}, {"other", 9}}}}))
        << ThreadView::format(dump, registry);

    // A second request without a new dump: the traces were handed out.
    ASSERT_EQ(client.call(74, {0}, &reply), FrontendClient::OK) << client.lastError();
    ThreadDumpReply again;
    ASSERT_TRUE(ThreadView::readThreadDumpReply(reply.body, client.idWidth(), &registry, &again));
    EXPECT_TRUE(again.traces.empty());
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

// Controller.triggerThreadDump on a scripted thread: the caller is read
// without being suspended; command 74 then hands the stored traces out.
TEST_F(PiagentCommandsTest, ThreadDumpFromTheJavaApiLeavesTheCallerRunning)
{
    ASSERT_NO_FATAL_FAILURE(startConnected({WORK_CLASS, "thread:1:main", "thread:2:worker", "stack:1:0x12@7/0x11@3",
                                            "stack:2:0x11@5", "enter:1:0x11", "enter:1:0x12", "mark:played",
                                            "java:1:com/orvane/api/agent/Controller:triggerThreadDump", "mark:dumped", "await:done",
                                            "shut-down"},
                                           ""));
    ASSERT_TRUE(waitForLine("stdout", "host: mark dumped")) << out() << err();
    EXPECT_EQ(callsAfter("host: mark played", {"host: SuspendThread", "host: ResumeThread", "host: GetCallTrace"}),
              (std::vector<std::string>{"host: SuspendThread 2", "host: GetCallTrace 1", "host: GetCallTrace 2",
                                        "host: ResumeThread 2"}))
        << out();
    Reply reply;
    ASSERT_EQ(client.call(74, {0}, &reply), FrontendClient::OK) << client.lastError();
    Registry registry;
    ThreadDumpReply dump;
    ASSERT_TRUE(ThreadView::readThreadDumpReply(reply.body, client.idWidth(), &registry, &dump));
    std::map<std::string, size_t> depths;
    for (const ThreadInfo &t : dump.threads) {
        auto traces = dump.traces.find(t.id);
        if (traces != dump.traces.end() && traces->second.size() == 1)
            depths[t.name] = traces->second[0].frames.size();
    }
    EXPECT_EQ(depths, (std::map<std::string, size_t>{{"main", 2}, {"worker", 1}})) << ThreadView::format(dump, registry);
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

struct TraceRecord {
    uint64_t thread;
    uint64_t method;
    int64_t time;
};

// The call tracer under the VM's method events: the first traced event
// starts the thread's trace with its stack, then every entry (time) and exit
// (negated time) in the order the VM reported them.
TEST_F(PiagentCommandsTest, CallTracerRecordsTheMethodEventsInOrder)
{
    ASSERT_NO_FATAL_FAILURE(startConnected({"await:trace-on", WORK_CLASS, "thread:1:main", "stack:1:0x11@3", "enter:1:0x11",
                                            "enter:1:0x12", "sleep:50", "exit:1:0x12", "exit:1:0x11", "mark:played", "await:done",
                                            "shut-down"},
                                           "<config><session id=\"3\" instrumentationType=\"2\" timeType=\"1\"/></config>"));
    ASSERT_TRUE(waitForLine("stdout", "host: EnableEvent 3")) << out();
    Reply reply;
    // All calls, not the filtered ones, at most 1,000 records.
    ASSERT_EQ(client.call(64, {1, 0, 0, 0, 0x03, 0xE8}, &reply), FrontendClient::OK) << client.lastError();
    touch("trace-on");
    ASSERT_TRUE(waitForLine("stdout", "host: mark played")) << out() << err();
    ASSERT_EQ(client.call(65, {}, &reply), FrontendClient::OK) << client.lastError();

    WireReader in(reply.body);
    unsigned w = client.idWidth();
    std::vector<TraceRecord> records(in.readU4());
    for (TraceRecord &r : records) {
        r.thread = in.readID(w);
        r.method = in.readID(w);
        r.time = in.readJLong();
    }
    std::vector<uint32_t> starts(in.readU4());
    for (uint32_t &p : starts)
        p = in.readU4();
    Registry registry;
    ASSERT_TRUE(registry.readMethods(in, w));
    ASSERT_TRUE(registry.readClasses(in, w));
    ASSERT_FALSE(in.error());

    std::vector<std::string> names;
    for (const TraceRecord &r : records)
        names.push_back(registry.method(r.method) != nullptr ? registry.method(r.method)->name : "?");
    // main: from the stack read at the first event, which is main's entry.
    ASSERT_EQ(names, (std::vector<std::string>{"main", "work", "work", "main"}));
    EXPECT_EQ(starts, std::vector<uint32_t>{0});
    for (const TraceRecord &r : records)
        EXPECT_EQ(r.thread, records[0].thread);
    EXPECT_GT(records[0].time, 0);
    EXPECT_GE(records[1].time, records[0].time);
    EXPECT_LT(records[2].time, 0) << "an exit carries its time negated";
    EXPECT_LT(records[3].time, 0);
    EXPECT_GE(-records[2].time - records[1].time, 50000) << "work lasted the script's 50 ms";
    EXPECT_LT(-records[2].time - records[1].time, 5000000);
    EXPECT_GE(-records[3].time, -records[2].time);

    // The list starts empty after it was read.
    ASSERT_EQ(client.call(65, {}, &reply), FrontendClient::OK) << client.lastError();
    WireReader empty(reply.body);
    EXPECT_EQ(empty.readU4(), 0u);
    EXPECT_EQ(empty.readU4(), 0u);
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

uint32_t u4At(const std::vector<uint8_t> &b, size_t at)
{
    return (uint32_t(b[at]) << 24) | (uint32_t(b[at + 1]) << 16) | (uint32_t(b[at + 2]) << 8) | b[at + 3];
}

// The front end's reader accepts the file: header of this agent (interface
// kind 1, 8-byte ids), every section's magic at its table position and its
// CRC as zlib computes it; the classes and the CPU section carry data.
void checkSnapshotFile(const std::string &path, SnapshotFile &file)
{
    ASSERT_EQ(file.open(path), "");
    EXPECT_EQ(file.header().version, 36u);
    EXPECT_EQ(file.header().interfaceKind, 1u);
    EXPECT_EQ(file.header().vmVersion, "1.4");
    EXPECT_EQ(file.header().idSize, 8u);
    ASSERT_EQ(file.verifySections(), "");
    ASSERT_EQ(file.sections().size(), 7u);
    for (int index : {0, 3})
        EXPECT_GT(file.sections()[static_cast<size_t>(index)].length, 0u) << index;
}

// Command 41 on a snapshot file read back: the script's call tree.
void checkScriptTree(const std::string &path)
{
    LoadedSnapshot snapshot;
    ASSERT_EQ(snapshot.load(path), 36);
    std::vector<uint8_t> body = snapshot.invocationTree(CallTreeView::invocationTreeRequest(0, 1, 10000, 0));
    Registry registry;
    CallTreeReply tree;
    ASSERT_TRUE(CallTreeView::readInvocationTreeReply(body, 8, &registry, &tree));
    ASSERT_NE(tree.root, nullptr);
    std::string text = CallTreeView::format(*tree.root, registry);
    std::vector<const ViewNode *> mains = nodesNamed(*tree.root, registry, "main");
    std::vector<const ViewNode *> works = nodesNamed(*tree.root, registry, "work");
    ASSERT_EQ(mains.size(), 1u) << text;
    ASSERT_EQ(works.size(), 1u) << text;
    EXPECT_EQ(mains[0]->count, 1u) << text;
    EXPECT_EQ(works[0]->count, 2u) << text;
    ASSERT_EQ(mains[0]->children.size(), 1u) << text;
    EXPECT_EQ(mains[0]->children[0].get(), works[0]) << text;
    EXPECT_GE(works[0]->value, 30000) << text;
    EXPECT_GE(mains[0]->value, works[0]->value) << text;
}

// Snapshots: the stream in the reply of command 32, the path of the agent's
// file, and a gzip file saved through the Java API with the configuration
// after the stream; each reads back with the call tree the script made.
TEST_F(PiagentCommandsTest, SnapshotsInBothReplyFormsAndSavedThroughJavaReadBack)
{
    std::string saved = work + "/saved.ovs";
    const std::string config = "<config><session id=\"3\" instrumentationType=\"2\" timeType=\"1\"/></config>";
    ASSERT_NO_FATAL_FAILURE(startConnected({"await:cpu-on", WORK_CLASS, "thread:1:main", "enter:1:0x11", "enter:1:0x12", "sleep:30",
                                            "exit:1:0x12", "enter:1:0x12", "exit:1:0x12", "exit:1:0x11", "mark:played",
                                            "await:save", "java:1:com/orvane/agent/ControllerImpl:saveSnapshot:" + saved,
                                            "await:done", "shut-down"},
                                           config));
    ASSERT_TRUE(waitForLine("stdout", "host: EnableEvent 3")) << out();
    Reply reply;
    ASSERT_EQ(client.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
    touch("cpu-on");
    ASSERT_TRUE(waitForLine("stdout", "host: mark played")) << out() << err();

    // The stream in the reply: U4 1, JLong size, the stream.
    ASSERT_EQ(client.call(32, {0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_GT(reply.body.size(), 20u);
    EXPECT_EQ(u4At(reply.body, 0), 1u);
    EXPECT_EQ(static_cast<size_t>(u4At(reply.body, 8)), reply.body.size() - 12);
    EXPECT_EQ(std::vector<uint8_t>(reply.body.begin() + 12, reply.body.begin() + 20),
              (std::vector<uint8_t>{0xCA, 0xFE, 0xD0, 0x0D, 0x00, 0x00, 0x00, 0x24}));
    std::string replied = work + "/replied.ovs";
    std::ofstream(replied, std::ios::binary)
        .write(reinterpret_cast<const char *>(reply.body.data()) + 12, static_cast<std::streamsize>(reply.body.size() - 12));
    SnapshotFile fromReply;
    ASSERT_NO_FATAL_FAILURE(checkSnapshotFile(replied, fromReply));
    ASSERT_EQ(fromReply.readTrailer(), "");
    EXPECT_FALSE(fromReply.trailer().present);
    ASSERT_NO_FATAL_FAILURE(checkScriptTree(replied));

    // The path of the agent's file: U4 2, the path, whether it is kept.
    ASSERT_EQ(client.call(32, {1}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_GT(reply.body.size(), 7u);
    EXPECT_EQ(u4At(reply.body, 0), 2u);
    size_t length = (size_t(reply.body[4]) << 8) | reply.body[5];
    ASSERT_EQ(reply.body.size(), 6 + length + 1);
    std::string path(reply.body.begin() + 6, reply.body.begin() + 6 + static_cast<long>(length));
    EXPECT_EQ(path.compare(0, work.size(), work), 0) << path << " lies in the host's TMPDIR";
    SnapshotFile fromPath;
    ASSERT_NO_FATAL_FAILURE(checkSnapshotFile(path, fromPath));

    // Saved through the Java API on a scripted thread: gzip, with the
    // configuration and the running time after the stream.
    touch("save");
    ASSERT_TRUE(waitForLine("stdout", "host: java 1 com/orvane/agent/ControllerImpl.saveSnapshot returned")) << out() << err();
    ASSERT_TRUE(waitForLine("stderr", "Orvane> Done.")) << err();
    EXPECT_EQ(system(("gzip -t '" + saved + "'").c_str()), 0);
    SnapshotFile file;
    ASSERT_NO_FATAL_FAILURE(checkSnapshotFile(saved, file));
    ASSERT_EQ(file.readTrailer(), "");
    ASSERT_TRUE(file.trailer().present);
    EXPECT_EQ(file.trailer().configId, 3u);
    EXPECT_EQ(file.trailer().configXml, config);
    EXPECT_LT(file.trailer().secondsRunning, 600u);
    ASSERT_NO_FATAL_FAILURE(checkScriptTree(saved));
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

// The snapshot stream of a command 32 reply, read by the front end's reader.
void readReplySnapshot(const std::vector<uint8_t> &body, const std::string &path, SnapshotFile &file)
{
    ASSERT_GT(body.size(), 20u);
    ASSERT_EQ(u4At(body, 0), 1u);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(body.data()) + 12, static_cast<std::streamsize>(body.size() - 12));
    ASSERT_EQ(file.open(path), "");
    ASSERT_EQ(file.verifySections(), "");
    ASSERT_EQ(file.sections().size(), 7u);
}

// Allocations fill the heap section; the heap dump section stays empty
// until command 7 took a dump from the VM, and then carries it.
TEST_F(PiagentCommandsTest, SnapshotCarriesTheHeapAndTheLastHeapDump)
{
    ASSERT_NO_FATAL_FAILURE(startConnected({"await:alloc-on", "class:0x100:demo/Thing", "thread:1:main", "alloc:1:0x5000:0x100:16",
                                            "alloc:1:0x6000:0x100:16", "mark:played", "await:done", "shut-down"},
                                           ""));
    Reply reply;
    ASSERT_EQ(client.call(49, {1}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(waitForLine("stdout", "host: EnableEvent 5")) << out();
    touch("alloc-on");
    ASSERT_TRUE(waitForLine("stdout", "host: mark played")) << out() << err();

    ASSERT_EQ(client.call(32, {0}, &reply), FrontendClient::OK) << client.lastError();
    SnapshotFile before;
    ASSERT_NO_FATAL_FAILURE(readReplySnapshot(reply.body, work + "/before.ovs", before));
    EXPECT_GT(before.sections()[1].length, 0u) << "the heap section";
    EXPECT_EQ(before.sections()[4].length, 0u) << "no heap dump yet";

    ASSERT_EQ(client.call(7, {0, 0, 0, 0, 0, 0, 0, 1}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_EQ(u4At(reply.body, 0), 1u);
    ASSERT_EQ(client.call(32, {0}, &reply), FrontendClient::OK) << client.lastError();
    SnapshotFile after;
    ASSERT_NO_FATAL_FAILURE(readReplySnapshot(reply.body, work + "/after.ovs", after));
    EXPECT_GT(after.sections()[4].length, 0u) << "the heap dump";
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

// The names of the threads command 11 describes.
std::vector<std::string> describedThreads(FrontendClient &client)
{
    Reply reply;
    EXPECT_EQ(client.call(11, {}, &reply), FrontendClient::OK) << client.lastError();
    Registry registry;
    std::vector<ThreadInfo> threads;
    WireReader reader(reply.body);
    EXPECT_TRUE(ThreadView::readThreadDescriptions(reader, client.idWidth(), &registry, &threads));
    std::vector<std::string> names;
    for (const ThreadInfo &t : threads)
        names.push_back(t.name);
    std::sort(names.begin(), names.end());
    return names;
}

// The agent's Java side names a second thread the application's main
// thread: the pre-made main manager, which the first "main" took, drops out
// of the views; a later call from that first thread changes nothing.
TEST_F(PiagentCommandsTest, AgentMainThreadStartedFromASecondThreadIgnoresThePremadeMain)
{
    ASSERT_NO_FATAL_FAILURE(startConnected({"thread:1:main", "thread:2:app", "mark:threads", "await:notify",
                                            "java:2:com/orvane/agent/Agent:agentMainThreadStarted",
                                            "java:1:com/orvane/agent/Agent:agentMainThreadStarted", "mark:notified",
                                            "await:done", "shut-down"},
                                           ""));
    ASSERT_TRUE(waitForLine("stdout", "host: mark threads")) << out();
    EXPECT_EQ(describedThreads(client), (std::vector<std::string>{"app", "main"}));
    touch("notify");
    ASSERT_TRUE(waitForLine("stdout", "host: mark notified")) << out() << err();
    EXPECT_EQ(describedThreads(client), std::vector<std::string>{"app"});
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

} // namespace
