// The snapshot loader in real JVMs: a program records under tiagent and the
// front end takes a snapshot (command 32, and the Java API's file); a second
// JVM without the agent on its command line runs the loader program, which
// loads the agent's library and serves the snapshot on a port. The front end
// asks command 33 and the views, and finds what the live session gave.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "CallTreeView.h"
#include "FrontendClient.h"
#include "HeapView.h"
#include "JdkTest.h"
#include "LoadDataView.h"
#include "ProbeView.h"
#include "Registry.h"
#include "LoadedSnapshot.h"
#include "SnapshotFile.h"
#include "TelemetryView.h"
#include "ThreadView.h"
#include "WireReader.h"
#include "WireWriter.h"

using namespace jvmtest;

namespace {

typedef std::vector<uint8_t> Bytes;

const char LOADER_MAIN[] = "com.orvane.core.comm.internal.LoadPerformer";
// CPU, heap and telemetry; with the heap dump.
const int SECTIONS = 0x2 | 0x8 | 0x10;
const int SECTIONS_WITH_HEAP_DUMP = SECTIONS | 0x4;

std::string configXml()
{
    return "<config><session id=\"5\" instrumentationType=\"1\" timeType=\"1\" allocTreeRecordingType=\"3\"/></config>";
}

Bytes fileBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeBytes(const std::string &path, const Bytes &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        n++;
    return n;
}

// A call tree as text without its times: "method line count", indented.
void treeText(const ViewNode &node, const Registry &registry, int depth, std::string *out)
{
    *out += std::string(static_cast<size_t>(depth) * 2, ' ') + (node.method != 0 ? registry.describe(node.method) : "-") + " " +
            std::to_string(node.line) + " " + std::to_string(node.count) + "\n";
    std::vector<std::string> children;
    for (const std::unique_ptr<ViewNode> &c : node.children) {
        std::string text;
        treeText(*c, registry, depth + 1, &text);
        children.push_back(text);
    }
    std::sort(children.begin(), children.end());
    for (const std::string &c : children)
        *out += c;
}

// A probe's call-site tree as text, children sorted: "method #ids", indented.
void siteText(const ViewNode &node, const Registry &registry, int depth, std::string *out)
{
    *out += std::string(static_cast<size_t>(depth) * 2, ' ') + (node.method != 0 ? registry.describe(node.method) : "-");
    for (uint32_t id : node.annotations)
        *out += " #" + std::to_string(id);
    *out += "\n";
    std::vector<std::string> children;
    for (const std::unique_ptr<ViewNode> &c : node.children) {
        std::string text;
        siteText(*c, registry, depth + 1, &text);
        children.push_back(text);
    }
    std::sort(children.begin(), children.end());
    for (const std::string &c : children)
        *out += c;
}

class SnapshotLoaderE2ETest : public JdkTest {
protected:
    void SetUp() override
    {
        JdkTest::SetUp();
        if (!ready())
            return;
        ASSERT_NE(agentPort.port, 0);
        ASSERT_NE(loaderPort.port, 0);
    }

    // The program under the agent, configured, recording CPU and allocations, after one round of allocations.
    void startRecorded(JvmProcess &jvm, FrontendClient &client)
    {
        std::vector<std::string> c = {jdk + "/bin/java", "-XX:-UsePerfData",
                                      std::string("-agentpath:") + TIAGENT_PATH + "=port=" + std::to_string(agentPort.port) +
                                          ",address=127.0.0.1",
                                      "-cp", PROBE_CLASSES, "AllocWorkload"};
        ASSERT_TRUE(jvm.start(c, tmp, tmp, canIsolateTmp()));
        ASSERT_TRUE(jvm.waitFor("Waiting for a connection from the Orvane GUI ...", false, 60)) << jvm.err();
        ASSERT_EQ(client.connect("127.0.0.1", static_cast<uint16_t>(agentPort.port)), "");
        ASSERT_EQ(client.handshake(), "");
        Reply reply;
        ASSERT_EQ(client.call(1, setParameters(configXml()), &reply), FrontendClient::OK) << client.lastError();
        ASSERT_TRUE(jvm.waitFor("ready", true, 30)) << jvm.err() << jvm.out();
        ASSERT_EQ(client.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
        ASSERT_EQ(client.call(49, HeapView::recordRequest(true), &reply), FrontendClient::OK) << client.lastError();
        ASSERT_TRUE(jvm.writeInput("alloc\n"));
        ASSERT_TRUE(jvm.waitFor("allocated", true, 60)) << jvm.err() << jvm.out();
    }

    // The loader program in a JVM of its own, without the agent on its command line.
    void startLoader(JvmProcess &loader)
    {
        std::string loaderTmp = work / "loadertmp";
        mkdir(loaderTmp.c_str(), 0700);
        ASSERT_TRUE(loader.start({jdk + "/bin/java", "-XX:-UsePerfData", "-cp", LOADER_CLASSES, LOADER_MAIN, TIAGENT_PATH},
                                 loaderTmp, loaderTmp, canIsolateTmp()));
        ASSERT_TRUE(loader.waitFor("ready", true, 60)) << loader.err() << loader.out();
    }

    // Asks the loader to serve `path` and waits until it listens (its `round`th load).
    void load(JvmProcess &loader, const std::string &path, int sections, const std::string &heapDump, size_t round)
    {
        ASSERT_TRUE(loader.writeInput("load\t" + path + "\t" + std::to_string(loaderPort.port) + "\t" + std::to_string(sections) +
                                      (heapDump.empty() ? "" : "\t" + heapDump) + "\n"));
        ASSERT_TRUE(waitForCount(loader, "Waiting for a connection from the Orvane GUI ...", false, round))
            << loader.err() << loader.out();
    }

    // Waits until `text` stands `n` times in the loader's output; false on time-out.
    static bool waitForCount(JvmProcess &jvm, const std::string &text, bool inStdout, size_t n)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < end) {
            if (count(inStdout ? jvm.out() : jvm.err(), text) >= n)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // Command 33 on a new connection to the loader.
    void loadData(FrontendClient &client, Registry *registry, LoadDataReply *data)
    {
        ASSERT_EQ(client.connect("127.0.0.1", static_cast<uint16_t>(loaderPort.port)), "");
        ASSERT_EQ(client.handshake(), "");
        Reply reply;
        ASSERT_EQ(client.call(33, {}, &reply), FrontendClient::OK) << client.lastError();
        ASSERT_TRUE(LoadDataView::readLoadDataReply(reply.body, client.idWidth(), registry, data));
    }

    // The client leaves: the loader's `round`th load returns 1.
    void leave(FrontendClient &client, JvmProcess &loader, size_t round)
    {
        client.call(0, {}, nullptr);
        client.close();
        ASSERT_TRUE(waitForCount(loader, "loadSnapshot returned 1", true, round)) << loader.err() << loader.out();
    }

    PortReservation agentPort;  // held for the whole test
    PortReservation loaderPort; // held for the whole test
};

TEST_P(SnapshotLoaderE2ETest, TheLoaderServesWhatTheLiveSessionGave)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient live(60000);
    ASSERT_NO_FATAL_FAILURE(startRecorded(jvm, live));

    // The live views while the program waits for its next line. The program's
    // thread may still be on its way into the read that waits: a snapshot
    // taken between two equal live trees holds that tree.
    Registry liveRegistry;
    Reply reply;
    std::set<uint64_t> treeMethods;
    auto liveTree = [&](std::string *text) {
        CallTreeReply tree;
        text->clear();
        if (live.call(41, CallTreeView::invocationTreeRequest(0, 1, 10000, 0), &reply) != FrontendClient::OK ||
            !CallTreeView::readInvocationTreeReply(reply.body, live.idWidth(), &liveRegistry, &tree) || tree.root == nullptr)
            return false;
        treeText(*tree.root, liveRegistry, 0, text);
        std::vector<const ViewNode *> nodes;
        CallTreeView::collect(*tree.root, &nodes);
        for (const ViewNode *n : nodes)
            treeMethods.insert(n->method);
        return true;
    };
    std::string liveText, after;
    Bytes stream;
    for (int round = 0; round < 20 && (liveText.empty() || liveText != after); round++) {
        ASSERT_TRUE(liveTree(&liveText)) << live.lastError();
        // Command 32 in the reply: U4 1, JLong size, the stream.
        ASSERT_EQ(live.call(32, {0}, &reply), FrontendClient::OK) << live.lastError();
        ASSERT_GT(reply.body.size(), 12u);
        stream.assign(reply.body.begin() + 12, reply.body.end());
        ASSERT_TRUE(liveTree(&after)) << live.lastError();
    }
    ASSERT_EQ(liveText, after) << "the live tree never stood still";
    std::string snapshot = work / "live.ovs";
    writeBytes(snapshot, stream);
    ASSERT_EQ(live.call(11, {}, &reply), FrontendClient::OK) << live.lastError();
    std::vector<ThreadInfo> liveThreads;
    WireReader threadsReader(reply.body);
    ASSERT_TRUE(ThreadView::readThreadDescriptions(threadsReader, live.idWidth(), &liveRegistry, &liveThreads));
    ASSERT_EQ(live.call(3, {0}, &reply), FrontendClient::OK) << live.lastError();
    HeapUsageReply liveUsage;
    ASSERT_TRUE(HeapView::readHeapUsageReply(reply.body, live.idWidth(), &liveRegistry, &liveUsage));
    // And a file through the Java API, with its trailer.
    std::string saved = tmp + "/saved.ovs";
    ASSERT_TRUE(jvm.writeInput("save " + saved + "\n"));
    ASSERT_TRUE(jvm.waitFor("saved", true, 60)) << jvm.err() << jvm.out();
    ASSERT_TRUE(jvm.waitFor("Done.", false, 10)) << jvm.err();
    live.call(0, {}, nullptr);
    live.close();

    JvmProcess loader(work.path, "loader");
    ASSERT_NO_FATAL_FAILURE(startLoader(loader));
    ASSERT_NO_FATAL_FAILURE(load(loader, snapshot, SECTIONS_WITH_HEAP_DUMP, work / "loaded.jhd", 1));
    FrontendClient client(60000);
    Registry registry;
    LoadDataReply data;
    ASSERT_NO_FATAL_FAILURE(loadData(client, &registry, &data));
    EXPECT_EQ(data.result, 36);
    ASSERT_TRUE(data.loaded);
    EXPECT_EQ(data.storedIdSize, 8u);

    // Stored IDs map to the loaded objects: a method of the program keeps its name.
    std::map<uint64_t, uint64_t> ids(data.ids.begin(), data.ids.end());
    size_t programMethods = 0;
    for (uint64_t id : treeMethods) {
        std::string name = liveRegistry.describe(id);
        if (name.rfind("AllocWorkload", 0) != 0)
            continue;
        ASSERT_EQ(ids.count(id), 1u) << name;
        EXPECT_EQ(registry.describe(ids[id]), name);
        programMethods++;
    }
    EXPECT_GE(programMethods, 3u);
    // Every live thread comes back by its stored ID with its name, group, Java id and start.
    std::map<uint64_t, uint64_t> storedOf;
    for (const auto &t : data.threadIds)
        storedOf[static_cast<uint64_t>(t.second)] = t.first;
    std::map<uint64_t, const ThreadInfo *> loadedByStored;
    for (const ThreadInfo &t : data.threads) {
        ASSERT_EQ(storedOf.count(t.id), 1u) << t.name;
        loadedByStored[storedOf[t.id]] = &t;
    }
    ASSERT_FALSE(liveThreads.empty());
    for (const ThreadInfo &t : liveThreads) {
        ASSERT_EQ(loadedByStored.count(t.id), 1u) << t.name;
        const ThreadInfo &l = *loadedByStored[t.id];
        EXPECT_EQ(l.name, t.name);
        EXPECT_EQ(l.group, t.group);
        EXPECT_EQ(l.javaId, t.javaId);
        EXPECT_EQ(l.start, t.start);
    }
    // The rest of the stream, from after the Java part's magic, in a private file of the loader's TMPDIR.
    SnapshotFile file;
    ASSERT_EQ(file.open(snapshot), "");
    ASSERT_TRUE(data.hasFile);
    EXPECT_EQ(data.file.rfind(work / "loadertmp/jfd", 0), 0u) << data.file;
    struct stat st;
    ASSERT_EQ(stat(data.file.c_str(), &st), 0) << data.file;
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(fileBytes(data.file), Bytes(stream.begin() + file.sections()[6].position + 4, stream.end()));

    // The views of the loaded session equal the live ones.
    ASSERT_EQ(client.call(41, CallTreeView::invocationTreeRequest(0, 1, 10000, 0), &reply), FrontendClient::OK) << client.lastError();
    CallTreeReply loadedTree;
    ASSERT_TRUE(CallTreeView::readInvocationTreeReply(reply.body, client.idWidth(), &registry, &loadedTree));
    ASSERT_NE(loadedTree.root, nullptr);
    std::string loadedText;
    treeText(*loadedTree.root, registry, 0, &loadedText);
    // Every live node comes back in its place; the snapshot may add, per
    // thread, the call it was waiting in (entered once, not yet left).
    std::vector<std::string> liveLines = lines(liveText), loadedLines = lines(loadedText), added;
    size_t matched = 0;
    for (const std::string &l : loadedLines) {
        if (matched < liveLines.size() && l == liveLines[matched])
            matched++;
        else
            added.push_back(l);
    }
    EXPECT_EQ(matched, liveLines.size()) << "live:\n" << liveText << "loaded:\n" << loadedText;
    EXPECT_LE(added.size(), liveThreads.size()) << loadedText;
    for (const std::string &l : added)
        EXPECT_EQ(l.substr(l.size() - 2), " 1") << l;
    EXPECT_NE(loadedText.find("AllocWorkload.makeWidgets"), std::string::npos) << loadedText;
    ASSERT_EQ(client.call(3, {0}, &reply), FrontendClient::OK) << client.lastError();
    HeapUsageReply loadedUsage;
    ASSERT_TRUE(HeapView::readHeapUsageReply(reply.body, client.idWidth(), &registry, &loadedUsage));
    auto countOf = [](const HeapUsageReply &usage, const Registry &names, const std::string &name) {
        for (const HeapEntry &e : usage.live) {
            const ClassInfo *c = e.classId != 0 ? names.classOf(e.classId) : nullptr;
            if (c != nullptr && c->name == name)
                return e.count;
        }
        return static_cast<decltype(HeapEntry().count)>(-1);
    };
    for (const char *name : {"AllocWorkload$Widget", "AllocWorkload$Gadget"})
        EXPECT_EQ(countOf(loadedUsage, registry, name), countOf(liveUsage, liveRegistry, name)) << name;
    EXPECT_EQ(countOf(loadedUsage, registry, "AllocWorkload$Gadget"), 4);
    ASSERT_NO_FATAL_FAILURE(leave(client, loader, 1));

    // The Java API's file through the command line: the trailer is part of the handed-over rest.
    ASSERT_NO_FATAL_FAILURE(load(loader, saved, SECTIONS, "", 2));
    std::string command = "'" + std::string(KVR_BINARY_DIR) + "/bin/frontend' --port " + std::to_string(loaderPort.port) +
                          " --timeout 30000 loaddata calltree 2>&1";
    FILE *pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    int status = pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
    EXPECT_NE(out.find("read result 36 (snapshot version 36)"), std::string::npos) << out;
    EXPECT_NE(out.find("thread main (main)"), std::string::npos) << out;
    EXPECT_NE(out.find("AllocWorkload.main"), std::string::npos) << out;
    ASSERT_TRUE(waitForCount(loader, "loadSnapshot returned 1", true, 2)) << loader.err() << loader.out();

    ASSERT_TRUE(loader.writeInput("exit\n"));
    ASSERT_TRUE(loader.waitExit(60));
    EXPECT_EQ(loader.exitCode(), 0) << loader.err();
    EXPECT_EQ(loader.err().find("Could not"), std::string::npos) << loader.err();
}

// The telemetry goes into the snapshot (section 5) and a loaded snapshot
// answers the telemetry view with it; the threads' status histories are
// whole, though the front end took them before.
TEST_P(SnapshotLoaderE2ETest, TheLoadedSnapshotHasTheLiveTelemetryAndStatusHistory)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient live(60000);
    ASSERT_NO_FATAL_FAILURE(startRecorded(jvm, live));
    Reply reply;
    // The state reply switches the VM telemetry on.
    ASSERT_EQ(live.call(44, {0}, &reply), FrontendClient::OK) << live.lastError();
    Bytes stream;
    bool withTelemetry = false;
    for (int round = 0; round < 300 && !withTelemetry; round++) {
        ASSERT_EQ(live.call(32, {0}, &reply), FrontendClient::OK) << live.lastError();
        ASSERT_GT(reply.body.size(), 12u);
        stream.assign(reply.body.begin() + 12, reply.body.end());
        writeBytes(work / "telemetry.ovs", stream);
        // Read back here first: the sampler's first sample may not be there yet.
        LoadedSnapshot saved;
        ASSERT_EQ(saved.load(work / "telemetry.ovs"), 36);
        withTelemetry = saved.session.getSamplerSession()->getSampleCount() > 0;
        if (!withTelemetry)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(withTelemetry) << "no telemetry sample in the snapshot";
    // The statuses view takes the history so far; a snapshot after it keeps
    // the whole history all the same.
    Registry liveRegistry;
    std::vector<ThreadInfo> liveThreads;
    ASSERT_EQ(live.call(11, {}, &reply), FrontendClient::OK) << live.lastError();
    WireReader threadsReader(reply.body);
    ASSERT_TRUE(ThreadView::readThreadDescriptions(threadsReader, live.idWidth(), &liveRegistry, &liveThreads));
    const ThreadInfo *liveMain = nullptr;
    for (const ThreadInfo &t : liveThreads)
        liveMain = t.name == "main" ? &t : liveMain;
    ASSERT_NE(liveMain, nullptr);
    ASSERT_FALSE(liveMain->statuses.empty()) << ThreadView::formatStatusHistories(liveThreads);
    ASSERT_EQ(live.call(32, {0}, &reply), FrontendClient::OK) << live.lastError();
    stream.assign(reply.body.begin() + 12, reply.body.end());
    writeBytes(work / "telemetry.ovs", stream);
    live.call(0, {}, nullptr);
    live.close();

    JvmProcess loader(work.path, "loader");
    ASSERT_NO_FATAL_FAILURE(startLoader(loader));
    ASSERT_NO_FATAL_FAILURE(load(loader, work / "telemetry.ovs", SECTIONS, "", 1));
    FrontendClient client(60000);
    Registry registry;
    LoadDataReply data;
    ASSERT_NO_FATAL_FAILURE(loadData(client, &registry, &data));
    ASSERT_TRUE(data.loaded);
    ASSERT_EQ(client.call(22, {}, &reply), FrontendClient::OK) << client.lastError();
    TelemetryReply telemetry;
    ASSERT_TRUE(TelemetryView::readTelemetryReply(reply.body, &telemetry));
    ASSERT_FALSE(telemetry.samples.empty());
    EXPECT_GT(telemetry.samples.front().standard[0], 0) << "classes loaded: " << TelemetryView::format(telemetry);
    const ThreadInfo *loadedMain = nullptr;
    for (const ThreadInfo &t : data.threads)
        loadedMain = t.name == "main" ? &t : loadedMain;
    ASSERT_NE(loadedMain, nullptr);
    ASSERT_GE(loadedMain->statuses.size(), liveMain->statuses.size()) << ThreadView::formatStatusHistories(data.threads);
    for (size_t i = 0; i < liveMain->statuses.size(); i++)
        EXPECT_EQ(loadedMain->statuses[i], liveMain->statuses[i]) << i;
    ASSERT_NO_FATAL_FAILURE(leave(client, loader, 1));
    ASSERT_TRUE(loader.writeInput("exit\n"));
    ASSERT_TRUE(loader.waitExit(60));
    EXPECT_EQ(loader.exitCode(), 0) << loader.err();
    // The rest of the stream the loader handed over goes with its session.
    ASSERT_TRUE(data.hasFile);
    struct stat st;
    EXPECT_NE(stat(data.file.c_str(), &st), 0) << data.file << " stayed";
}

// Damaged and unreadable snapshots: command 33 gives the reader's result and
// no IDs or file; the log tells why; the loader's VM goes on with the next.
// The probe data of a snapshot: a program calls the built-in file and thread
// probes under tiagent, the front end takes a snapshot, and the loader answers
// the probe descriptions (62), the payloads with their call sites (85) and
// the probe telemetry (86) as the live session did at the save.
TEST_P(SnapshotLoaderE2ETest, TheLoadedSnapshotAnswersTheProbeCommandsAsTheLiveSessionDid)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient live(60000);
    const std::string data = tmp + "/probed.bin";
    std::vector<std::string> c = {jdk + "/bin/java", "-XX:-UsePerfData",
                                  std::string("-agentpath:") + TIAGENT_PATH + "=port=" + std::to_string(agentPort.port) +
                                      ",address=127.0.0.1",
                                  "-cp", PROBE_CLASSES, "FileProbes", data};
    ASSERT_TRUE(jvm.start(c, tmp, tmp, canIsolateTmp()));
    ASSERT_TRUE(jvm.waitFor("Waiting for a connection from the Orvane GUI ...", false, 60)) << jvm.err();
    ASSERT_EQ(live.connect("127.0.0.1", static_cast<uint16_t>(agentPort.port)), "");
    ASSERT_EQ(live.handshake(), "");
    Reply reply;
    std::string filters;
    for (const char *p : {"java.", "javax.", "sun.", "com.sun.", "jdk."})
        filters += std::string("<filter type=\"exclusive\" name=\"") + p + "\"/>";
    ASSERT_EQ(live.call(1,
                        setParameters("<config><session id=\"5\" instrumentationType=\"1\" timeType=\"1\">" + filters +
                                      "<probe name=\"builtin.FileProbe\" enabled=\"true\"/>"
                                      "<probe name=\"builtin.ThreadInterceptor\" enabled=\"true\"/></session></config>"),
                        &reply),
              FrontendClient::OK)
        << live.lastError();
    ASSERT_TRUE(jvm.waitFor("ready", true, 30)) << jvm.err() << jvm.out();
    ASSERT_EQ(live.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << live.lastError();
    jvm.closeInput();
    ASSERT_TRUE(jvm.waitFor("done", true, 30)) << jvm.err() << jvm.out();

    // The live answers, then the snapshot (command 32: U4 1, JLong size, the stream).
    const std::vector<std::string> probes = {"builtin.FileProbe", "builtin.ThreadInterceptor"};
    auto tuples = [](FrontendClient &client, Registry *registry, const std::string &probe, std::string *text) {
        Reply r;
        WireWriter w;
        w.writeString(probe);
        ASSERT_EQ(client.call(85, w.bytes(), &r), FrontendClient::OK) << client.lastError();
        ProbeTupleReply tuple;
        ASSERT_TRUE(ProbeView::readTupleReply(r.body, client.idWidth(), registry, &tuple));
        ASSERT_TRUE(tuple.present) << probe;
        ASSERT_NE(tuple.callSites, nullptr) << probe;
        ASSERT_FALSE(tuple.tuples.empty()) << probe;
        // The payload rows as the front end lists them, then the call sites in a fixed order.
        std::string rows = ProbeView::format(tuple, *registry);
        std::unique_ptr<ViewNode> sites = std::move(tuple.callSites);
        *text = ProbeView::format(tuple, *registry);
        ASSERT_EQ(rows.compare(0, text->size(), *text), 0) << rows;
        siteText(*sites, *registry, 0, text);
    };
    Registry liveRegistry;
    ASSERT_EQ(live.call(62, {}, &reply), FrontendClient::OK) << live.lastError();
    Bytes liveDescriptions = reply.body;
    ASSERT_EQ(live.call(86, {}, &reply), FrontendClient::OK) << live.lastError();
    Bytes liveTelemetry = reply.body;
    std::map<std::string, std::string> liveTuples;
    for (const std::string &probe : probes)
        ASSERT_NO_FATAL_FAILURE(tuples(live, &liveRegistry, probe, &liveTuples[probe]));
    ASSERT_EQ(live.call(32, {0}, &reply), FrontendClient::OK) << live.lastError();
    ASSERT_GT(reply.body.size(), 12u);
    Bytes stream(reply.body.begin() + 12, reply.body.end());
    std::string snapshot = work / "probes.ovs";
    writeBytes(snapshot, stream);
    live.call(46, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();

    // The live descriptions: U4 length, U4 2, both probes with their types.
    const Bytes described = {0, 0, 0, 2, 0, 17, 'b', 'u', 'i', 'l', 't', 'i', 'n', '.', 'F', 'i', 'l', 'e', 'P', 'r', 'o', 'b', 'e', 0, 0, 0, 10};
    ASSERT_GT(liveDescriptions.size(), 4 + described.size());
    EXPECT_TRUE(std::equal(described.begin(), described.end(), liveDescriptions.begin() + 4));
    // The CPU section starts with the same U4 length and descriptions; the
    // Java part with byte 1, U4 2 probes and the first one's name.
    SnapshotFile file;
    ASSERT_EQ(file.open(snapshot), "");
    const SnapshotSection &cpu = file.sections()[3];
    ASSERT_GE(cpu.position, 0);
    size_t at = static_cast<size_t>(cpu.position) + 4;
    ASSERT_LE(at + liveDescriptions.size(), stream.size());
    EXPECT_EQ(Bytes(stream.begin() + static_cast<long>(at), stream.begin() + static_cast<long>(at + liveDescriptions.size())),
              liveDescriptions);
    const SnapshotSection &java = file.sections()[6];
    ASSERT_GE(java.position, 0);
    at = static_cast<size_t>(java.position) + 4;
    const Bytes javaPart = {1, 0, 0, 0, 2, 0, 17, 'b', 'u', 'i', 'l', 't', 'i', 'n', '.', 'F', 'i', 'l', 'e', 'P', 'r', 'o', 'b', 'e'};
    ASSERT_LE(at + javaPart.size(), stream.size());
    EXPECT_EQ(Bytes(stream.begin() + static_cast<long>(at), stream.begin() + static_cast<long>(at + javaPart.size())), javaPart);

    JvmProcess loader(work.path, "loader");
    ASSERT_NO_FATAL_FAILURE(startLoader(loader));
    ASSERT_NO_FATAL_FAILURE(load(loader, snapshot, SECTIONS, "", 1));
    FrontendClient client(60000);
    Registry registry;
    LoadDataReply loaded;
    ASSERT_NO_FATAL_FAILURE(loadData(client, &registry, &loaded));
    ASSERT_EQ(loaded.result, 36);
    ASSERT_EQ(client.call(62, {}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(reply.body, liveDescriptions);
    ASSERT_EQ(client.call(86, {}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(reply.body, liveTelemetry);
    for (const std::string &probe : probes) {
        std::string text;
        ASSERT_NO_FATAL_FAILURE(tuples(client, &registry, probe, &text));
        EXPECT_EQ(text, liveTuples[probe]) << probe;
    }
    EXPECT_NE(liveTuples["builtin.FileProbe"].find(data), std::string::npos) << liveTuples["builtin.FileProbe"];
    ASSERT_NO_FATAL_FAILURE(leave(client, loader, 1));
    ASSERT_TRUE(loader.writeInput("exit\n"));
}

TEST_P(SnapshotLoaderE2ETest, DamagedSnapshotsGiveTheReadersResultAndTheLoaderGoesOn)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient live(60000);
    ASSERT_NO_FATAL_FAILURE(startRecorded(jvm, live));
    Reply reply;
    ASSERT_EQ(live.call(32, {0}, &reply), FrontendClient::OK) << live.lastError();
    ASSERT_GT(reply.body.size(), 12u);
    Bytes stream(reply.body.begin() + 12, reply.body.end());
    live.call(0, {}, nullptr);
    live.close();
    std::string good = work / "good.ovs";
    writeBytes(good, stream);
    SnapshotFile file;
    ASSERT_EQ(file.open(good), "");
    const std::vector<SnapshotSection> &sections = file.sections();
    ASSERT_GT(sections[0].length, 0u);

    auto changed = [&](size_t at, std::vector<uint8_t> bytes) {
        Bytes b = stream;
        std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<long>(at));
        return b;
    };
    auto flipped = [&](size_t at) {
        Bytes b = stream;
        b[at] ^= 0x01;
        return b;
    };
    size_t inClasses = static_cast<size_t>(sections[0].position) + 4 + sections[0].length / 2;
    struct Case {
        const char *name;
        Bytes bytes; // empty: no file
        int sections;
        bool withHeapDump;
        int32_t result;
        bool loaded;
        const char *log;
    };
    std::vector<Case> cases = {
        {"missing", {}, SECTIONS, false, -1003, false, "Error opening snapshot."},
        {"bad magic", changed(0, {0xCA, 0xFE, 0xBA, 0xBE}), SECTIONS, false, -1003, false, "No Orvane snapshot -889275714"},
        {"version 37", changed(4, {0, 0, 0, 37}), SECTIONS, false, -1002, false, nullptr},
        {"version 10", changed(4, {0, 0, 0, 10}), SECTIONS, false, 0, false, nullptr},
        {"flipped in section 0", flipped(inClasses), SECTIONS, false, -1003, false, "could not read section 0"},
        {"heap dump without its file", stream, SECTIONS_WITH_HEAP_DUMP, false, -1003, false, "heap dump temp file expected."},
    };
    // A section other than the classes and the Java part that fails its check is skipped.
    ASSERT_GT(sections[1].length, 0u);
    size_t inHeap = static_cast<size_t>(sections[1].position) + 4 + sections[1].length / 2;
    cases.push_back({"flipped in section 1", flipped(inHeap), SECTIONS, false, 36, true, "could not read section 1"});
    // The section table (7 entries: JLong length, JLong position, U4 CRC)
    // ends where the first section begins.
    long long firstSection = sections[0].position;
    for (const SnapshotSection &section : sections) {
        if (section.position > 0 && section.position < firstSection)
            firstSection = section.position;
    }
    const size_t table = static_cast<size_t>(firstSection) - 7 * 20;
    cases.push_back({"only the magic", Bytes(stream.begin(), stream.begin() + 4), SECTIONS, false, -1003, false,
                     "snapshot ends in its header"});
    cases.push_back({"zeroed section table", changed(table, Bytes(7 * 20, 0)), SECTIONS, false, -1003, false,
                     "section 0 is missing from the section table"});
    cases.push_back({"section 0 of length 0", changed(table, Bytes(8, 0)), SECTIONS, false, -1003, false, "section 0 is empty"});
    Bytes trailing = stream;
    trailing.insert(trailing.end(), {0xDE, 0xAD, 0xBE, 0xEF, 0x00});
    cases.push_back({"trailing garbage", trailing, SECTIONS, false, 36, true, "ignoring 5 bytes after the end of the snapshot"});

    JvmProcess loader(work.path, "loader");
    ASSERT_NO_FATAL_FAILURE(startLoader(loader));
    size_t round = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        round++;
        std::string path = work / ("case" + std::to_string(round) + ".ovs");
        if (!c.bytes.empty())
            writeBytes(path, c.bytes);
        ASSERT_NO_FATAL_FAILURE(load(loader, path, c.sections, c.withHeapDump ? work / "dump.jhd" : "", round));
        FrontendClient client(60000);
        Registry registry;
        LoadDataReply data;
        ASSERT_NO_FATAL_FAILURE(loadData(client, &registry, &data));
        EXPECT_EQ(data.result, c.result);
        EXPECT_EQ(data.loaded, c.loaded);
        if (c.loaded) {
            EXPECT_TRUE(data.hasFile);
            EXPECT_FALSE(data.threads.empty());
        }
        if (c.log != nullptr) {
            EXPECT_NE(loader.err().find(c.log), std::string::npos) << loader.err();
        }
        ASSERT_NO_FATAL_FAILURE(leave(client, loader, round));
        // The front end's check of the file says what the loader says, in the same line.
        if (c.sections == SECTIONS) {
            JvmProcess check(work.path, "check" + std::to_string(round));
            ASSERT_TRUE(check.start({std::string(KVR_BINARY_DIR) + "/bin/frontend", "snapshot", path}, tmp, tmp, false));
            ASSERT_TRUE(check.waitExit(60));
            EXPECT_EQ(check.exitCode(), c.loaded ? 0 : 1) << check.out() << check.err();
            if (c.log != nullptr && !c.bytes.empty()) {
                EXPECT_NE(check.err().find(c.log), std::string::npos) << check.err();
            }
        }
    }
    ASSERT_TRUE(loader.writeInput("exit\n"));
    ASSERT_TRUE(loader.waitExit(60));
    EXPECT_EQ(loader.exitCode(), 0) << loader.err();
}

INSTANTIATE_TEST_SUITE_P(Jdks, SnapshotLoaderE2ETest, testing::ValuesIn(JDKS), jdkTestName);

} // namespace
