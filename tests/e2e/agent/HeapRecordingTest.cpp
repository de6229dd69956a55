// Allocation recording in real JVMs: a program allocates known numbers of
// objects of its own classes and arrays of every primitive type; the front
// end switches recording on and reads the heap lists, the allocation trees
// and hotspots, and saves snapshots, which read back here.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>

#include "FrontendClient.h"
#include "HeapView.h"
#include "JvmProcess.h"
#include "ClassProfilingSession.h"
#include "CpuProfilingSession.h"
#include "GzFileDataReader.h"
#include "HeapProfilingSession.h"
#include "ProfilingSession.h"
#include "Registry.h"
#include "SnapshotFile.h"
#include "SnapshotReader.h"
#include "VmInterface.h"

using namespace jvmtest;

namespace {

const char *const JDKS[] = {"/usr/lib/jvm/java-17-openjdk-amd64", "/usr/lib/jvm/temurin-25-jdk-amd64"};

// The session configuration that command 1 sends for an allocation-tree recording type.
std::string configXml(int recordingType)
{
    return "<config><session id=\"3\" instrumentationType=\"1\" timeType=\"1\" allocTreeRecordingType=\"" +
           std::to_string(recordingType) + "\"/></config>";
}

uint32_t u4At(const std::vector<uint8_t> &b, size_t at)
{
    return (uint32_t(b[at]) << 24) | (uint32_t(b[at + 1]) << 16) | (uint32_t(b[at + 2]) << 8) | b[at + 3];
}

class HeapRecordingE2ETest : public testing::TestWithParam<const char *> {
protected:
    void SetUp() override
    {
        jdk = GetParam();
        if (!fileExists(jdk + "/bin/java"))
            GTEST_SKIP() << "no JDK at " << jdk;
        ASSERT_FALSE(work.path.empty());
        tmp = work / "tmp";
        mkdir(tmp.c_str(), 0700);
        port = reservation.port;
        ASSERT_NE(port, 0);
    }

    // Starts the program under the agent; `recordingType` > 0 sends a
    // configuration with that allocation-tree recording type.
    void startConnected(JvmProcess &jvm, FrontendClient &client, int recordingType = 0)
    {
        std::vector<std::string> c = {jdk + "/bin/java", "-XX:-UsePerfData",
                                      std::string("-agentpath:") + TIAGENT_PATH + "=port=" + std::to_string(port) +
                                          ",address=127.0.0.1",
                                      "-cp", PROBE_CLASSES, "AllocWorkload"};
        ASSERT_TRUE(jvm.start(c, tmp, tmp, canIsolateTmp()));
        ASSERT_TRUE(jvm.waitFor("Waiting for a connection from the Orvane GUI ...", false, 60)) << jvm.err();
        ASSERT_EQ(client.connect("127.0.0.1", static_cast<uint16_t>(port)), "");
        ASSERT_EQ(client.handshake(), "");
        Reply reply;
        std::vector<uint8_t> config = {0};
        if (recordingType > 0) {
            const std::string xml = configXml(recordingType);
            config = {1, 0, 0, 0, 3};
            for (int shift = 24; shift >= 0; shift -= 8)
                config.push_back(static_cast<uint8_t>(xml.size() >> shift));
            config.insert(config.end(), xml.begin(), xml.end());
            config.insert(config.end(), {0, 6, 'u', 'n', 'u', 's', 'e', 'd', 0, 0, 0, 0});
        }
        ASSERT_EQ(client.call(1, config, &reply), FrontendClient::OK) << client.lastError();
        ASSERT_TRUE(jvm.waitFor("ready", true, 30)) << jvm.err() << jvm.out();
        // Call trees give the allocations their places.
        ASSERT_EQ(client.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
        ASSERT_EQ(client.call(49, HeapView::recordRequest(true), &reply), FrontendClient::OK) << client.lastError();
    }

    // Runs a step of the program and waits for its answer.
    void step(JvmProcess &jvm, const std::string &line, const std::string &answer)
    {
        ASSERT_TRUE(jvm.writeInput(line + "\n"));
        ASSERT_TRUE(jvm.waitFor(answer, true, 60)) << jvm.err() << jvm.out();
    }

    // The objects counted at the nodes of `method` in the allocation tree of
    // command 24 for the kind and selection; -1 when the reply is bad.
    long long countAt(FrontendClient &client, Registry &registry, const std::string &method, uint32_t kind,
                      const std::vector<std::pair<uint16_t, uint64_t>> &types, std::string *text)
    {
        Reply reply;
        AllocationTreeReply tree;
        if (client.call(24, HeapView::allocationUpdateRequest(0, kind, types, "", client.idWidth()), &reply) != FrontendClient::OK ||
            !HeapView::readAllocationTreeReply(reply.body, client.idWidth(), &registry, &tree) || tree.root == nullptr)
            return -1;
        *text = CallTreeView::format(*tree.root, registry);
        std::vector<const ViewNode *> nodes;
        CallTreeView::collect(*tree.root, &nodes);
        long long count = 0;
        for (const ViewNode *n : nodes) {
            const MethodInfo *m = registry.method(n->method);
            if (m != nullptr && m->name == method)
                count += n->count;
        }
        return count;
    }

    std::string jdk;
    WorkDir work;
    std::string tmp;
    PortReservation reservation; // held for the whole test
    int port = 0;
};

// Entries by name: class name for classes, "[type]" for array entries.
std::map<std::string, HeapEntry> byName(const std::vector<HeapEntry> &entries, const Registry &registry)
{
    std::map<std::string, HeapEntry> named;
    for (const HeapEntry &e : entries) {
        const ClassInfo *c = e.classId != 0 ? registry.classOf(e.classId) : nullptr;
        named[c != nullptr ? c->name : "[" + std::to_string(e.type) + "]"] = e;
    }
    return named;
}

uint64_t classIdOf(const std::vector<HeapEntry> &entries, const Registry &registry, const std::string &name)
{
    for (const HeapEntry &e : entries) {
        const ClassInfo *c = e.classId != 0 ? registry.classOf(e.classId) : nullptr;
        if (c != nullptr && c->name == name)
            return e.classId;
    }
    return 0;
}

TEST_P(HeapRecordingE2ETest, RecordsTheProgramsObjectsAndArraysAndMovesFreedOnesToCollected)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client;
    Reply reply;
    Registry registry;
    ASSERT_NO_FATAL_FAILURE(startConnected(jvm, client));
    unsigned w = client.idWidth();
    // An expansion before any update answers byte 0.
    ASSERT_EQ(client.call(25, HeapView::expandRequest({}, w), &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(reply.body, std::vector<uint8_t>{0});
    ASSERT_NO_FATAL_FAILURE(step(jvm, "alloc", "allocated"));

    HeapUsageReply usage;
    ASSERT_EQ(client.call(3, {0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(HeapView::readHeapUsageReply(reply.body, w, &registry, &usage));
    std::map<std::string, HeapEntry> live = byName(usage.live, registry);
    ASSERT_EQ(live.count("AllocWorkload$Widget"), 1u) << jvm.err();
    EXPECT_EQ(live["AllocWorkload$Widget"].count, 7);
    EXPECT_EQ(live["AllocWorkload$Gadget"].count, 4);
    // Every widget and every gadget has the one size the VM gives it.
    EXPECT_EQ(live["AllocWorkload$Widget"].size % 7, 0);
    EXPECT_GE(live["AllocWorkload$Widget"].size / 7, 12);
    EXPECT_EQ(live["AllocWorkload$Gadget"].size % 4, 0);
    EXPECT_GE(live["AllocWorkload$Gadget"].size / 4, 36);
    // At least the program's array of each primitive type, with its length.
    struct ArrayCase {
        int type, elements, elementSize;
    } arrays[] = {{4, 3, 1}, {5, 5, 1}, {6, 7, 2}, {7, 9, 2}, {8, 11, 4}, {9, 13, 8}, {10, 15, 4}, {11, 17, 8}};
    for (const ArrayCase &a : arrays) {
        std::string name = "[" + std::to_string(a.type) + "]";
        ASSERT_EQ(live.count(name), 1u) << name;
        EXPECT_GE(live[name].count, 1) << name;
        EXPECT_GE(live[name].size, 16 + a.elements * a.elementSize) << name;
    }
    // Nothing new: each list is its end byte (and no class is new).
    ASSERT_EQ(client.call(3, {0}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(reply.body, (std::vector<uint8_t>{0, 0, 0}));

    ASSERT_NO_FATAL_FAILURE(step(jvm, "drop", "dropped"));
    HeapUsageReply after;
    ASSERT_EQ(client.call(3, {0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(HeapView::readHeapUsageReply(reply.body, w, &registry, &after));
    EXPECT_EQ(byName(after.collected, registry)["AllocWorkload$Widget"].count, 7) << "dropped and collected";
    EXPECT_EQ(byName(after.live, registry)["AllocWorkload$Widget"].count, 0);

    // The whole heap.
    std::vector<HeapEntry> total;
    ASSERT_EQ(client.call(4, {}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(HeapView::readTotalHeapUsageReply(reply.body, w, &registry, &total));
    std::map<std::string, HeapEntry> heap = byName(total, registry);
    EXPECT_EQ(heap["AllocWorkload$Gadget"].count, 4);
    EXPECT_GT(heap["java.lang.String"].count, 100);

    // Recording type 1 (the default): live-only trees from the heap; none of collected objects.
    uint64_t gadget = classIdOf(total, registry, "AllocWorkload$Gadget");
    ASSERT_NE(gadget, 0u);
    std::string text;
    EXPECT_EQ(countAt(client, registry, "AllocWorkload$Maker", 1, {{2, gadget}}, &text), 4) << text;
    EXPECT_EQ(countAt(client, registry, "AllocWorkload$ArrayMaker", 1, {{8, 0}}, &text), 1) << text;
    EXPECT_EQ(countAt(client, registry, "AllocWorkload$ArrayMaker", 1, {{5, 0}}, &text), 0) << "the dropped byte array: " << text;
    EXPECT_EQ(countAt(client, registry, "AllocWorkload$Maker", 2, {}, &text), 0) << text;
    EXPECT_EQ(jvm.err().find("Could not"), std::string::npos) << jvm.err();
}

TEST_P(HeapRecordingE2ETest, TypeThreeTreesCountTheAllocatingMethodsOfSelectedClasses)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client;
    Reply reply;
    Registry registry;
    ASSERT_NO_FATAL_FAILURE(startConnected(jvm, client, 3));
    unsigned w = client.idWidth();
    ASSERT_NO_FATAL_FAILURE(step(jvm, "alloc", "allocated"));
    ASSERT_NO_FATAL_FAILURE(step(jvm, "drop", "dropped"));
    HeapUsageReply usage;
    ASSERT_EQ(client.call(3, {0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(HeapView::readHeapUsageReply(reply.body, w, &registry, &usage));
    uint64_t widget = classIdOf(usage.collected, registry, "AllocWorkload$Widget");
    uint64_t gadget = classIdOf(usage.live, registry, "AllocWorkload$Gadget");
    ASSERT_NE(widget, 0u);
    ASSERT_NE(gadget, 0u);
    struct Case {
        uint32_t kind;
        std::vector<std::pair<uint16_t, uint64_t>> types;
        const char *method;
        long long count;
    } cases[] = {
        {1, {{2, widget}}, "AllocWorkload$Maker", 0},
        {2, {{2, widget}}, "AllocWorkload$Maker", 7},
        {3, {{2, widget}}, "AllocWorkload$Maker", 7},
        {1, {{2, gadget}}, "AllocWorkload$Maker", 4},
        {3, {{2, widget}, {2, gadget}}, "AllocWorkload$Maker", 11},
        {1, {{8, 0}}, "AllocWorkload$ArrayMaker", 1},
        {2, {{5, 0}}, "AllocWorkload$ArrayMaker", 1},
        {1, {{5, 0}}, "AllocWorkload$ArrayMaker", 0},
    };
    for (const Case &c : cases) {
        std::string text;
        EXPECT_EQ(countAt(client, registry, c.method, c.kind, c.types, &text), c.count)
            << "kind " << c.kind << " first type " << c.types[0].first << "\n" << text;
    }
    // A package prefix that matches no class gives an empty tree.
    AllocationTreeReply empty;
    ASSERT_EQ(client.call(24, HeapView::allocationUpdateRequest(0, 3, {}, "no.such.package.", w), &reply), FrontendClient::OK);
    ASSERT_TRUE(HeapView::readAllocationTreeReply(reply.body, w, &registry, &empty));
    ASSERT_NE(empty.root, nullptr);
    EXPECT_TRUE(empty.root->children.empty());
    // Hotspots of the widgets: their constructor (the program's classes are
    // instrumented), which allocated all 7.
    std::vector<uint8_t> request = HeapView::allocationRequest(0, 3, {{2, widget}}, "", w);
    request.push_back(0);
    request.push_back(0);
    AllocationHotspotReply hotspots;
    ASSERT_EQ(client.call(51, request, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(HeapView::readAllocationHotspotReply(reply.body, w, &registry, &hotspots));
    ASSERT_TRUE(hotspots.present);
    ASSERT_EQ(hotspots.rows.size(), 1u);
    ASSERT_NE(registry.method(hotspots.rows[0].method), nullptr);
    const MethodInfo *hot = registry.method(hotspots.rows[0].method);
    EXPECT_EQ(hot->name, "<init>");
    ASSERT_NE(registry.classOf(hot->classId), nullptr);
    EXPECT_EQ(registry.classOf(hot->classId)->name, "AllocWorkload$Widget");
    EXPECT_EQ(hotspots.rows[0].calls, 7u);
    EXPECT_EQ(hotspots.total, hotspots.rows[0].value);
    ASSERT_EQ(client.call(52, HeapView::expandRequest({{hotspots.rows[0].method, 0}}, w), &reply), FrontendClient::OK);
    EXPECT_NE(reply.body, std::vector<uint8_t>{0});
    ASSERT_EQ(client.call(52, HeapView::expandRequest({{12345, 0}}, w), &reply), FrontendClient::OK);
    EXPECT_EQ(reply.body, std::vector<uint8_t>{0});
    EXPECT_EQ(jvm.err().find("Could not"), std::string::npos) << jvm.err();
}

// A clock for sessions loaded from a snapshot.
class NoVm : public VmInterface {
public:
    long long getUsec() override { return 0; }
    long long getCurrentThreadCpuUsec() override { return -1; }
    bool getStackTrace(std::vector<StackFrame> *) override { return false; }
    bool getThreadStacks(const std::vector<void *> &, std::vector<std::vector<StackFrame>> *) override { return false; }
};

// Checks a snapshot file with the front end's reader: header, every
// section's magic and CRC; returns the reader for further checks.
void checkSnapshotFile(const std::string &path, SnapshotFile &file)
{
    ASSERT_EQ(file.open(path), "");
    EXPECT_EQ(file.header().version, 36u);
    EXPECT_EQ(file.header().idSize, 8u);
    EXPECT_EQ(file.header().allocTreeRecordingType, 3u);
    ASSERT_EQ(file.verifySections(), "");
    ASSERT_EQ(file.sections().size(), 7u);
    // Heap, CPU, classes and the Java part carry data.
    for (int index : {0, 1, 3, 6})
        EXPECT_GT(file.sections()[static_cast<size_t>(index)].length, 0u) << index;
}

TEST_P(HeapRecordingE2ETest, SnapshotsInBothReplyFormsAndSavedFilesReadBack)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client;
    Reply reply;
    ASSERT_NO_FATAL_FAILURE(startConnected(jvm, client, 3));
    ASSERT_NO_FATAL_FAILURE(step(jvm, "alloc", "allocated"));

    // The stream in the reply: U4 1, JLong size, the stream.
    ASSERT_EQ(client.call(32, {0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_GT(reply.body.size(), 20u);
    EXPECT_EQ(u4At(reply.body, 0), 1u);
    EXPECT_EQ(static_cast<size_t>(u4At(reply.body, 8)), reply.body.size() - 12);
    EXPECT_EQ(std::vector<uint8_t>(reply.body.begin() + 12, reply.body.begin() + 20),
              (std::vector<uint8_t>{0xCA, 0xFE, 0xD0, 0x0D, 0x00, 0x00, 0x00, 0x24}));
    std::string replied = work / "replied.ovs";
    {
        std::ofstream out(replied, std::ios::binary);
        out.write(reinterpret_cast<const char *>(reply.body.data()) + 12, static_cast<std::streamsize>(reply.body.size() - 12));
    }
    SnapshotFile fromReply;
    ASSERT_NO_FATAL_FAILURE(checkSnapshotFile(replied, fromReply));
    ASSERT_EQ(fromReply.readTrailer(), "");
    EXPECT_FALSE(fromReply.trailer().present);

    // The path of the agent's file: U4 2, the path, whether it is kept.
    ASSERT_EQ(client.call(32, {1}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_GT(reply.body.size(), 7u);
    EXPECT_EQ(u4At(reply.body, 0), 2u);
    size_t length = (size_t(reply.body[4]) << 8) | reply.body[5];
    ASSERT_EQ(reply.body.size(), 6 + length + 1);
    std::string path(reply.body.begin() + 6, reply.body.begin() + 6 + static_cast<long>(length));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the snapshot stays private to the agent's user";
    SnapshotFile fromPath;
    ASSERT_NO_FATAL_FAILURE(checkSnapshotFile(path, fromPath));

    // Saved through the Java API: gzip, with the configuration and the running time after the stream.
    std::string saved = tmp + "/saved.ovs";
    ASSERT_NO_FATAL_FAILURE(step(jvm, "save " + saved, "saved"));
    ASSERT_TRUE(jvm.waitFor("Done.", false, 10)) << jvm.err();
    EXPECT_EQ(system(("gzip -t " + saved).c_str()), 0);
    SnapshotFile file;
    ASSERT_NO_FATAL_FAILURE(checkSnapshotFile(saved, file));
    ASSERT_EQ(file.readTrailer(), "");
    ASSERT_TRUE(file.trailer().present);
    EXPECT_EQ(file.trailer().configId, 3u);
    EXPECT_EQ(file.trailer().configXml, configXml(3));
    EXPECT_LT(file.trailer().secondsRunning, 600u);

    // The agent's own reader loads it: threads and the heap lists come back.
    ProfilingSession loaded;
    ClassProfilingSession classes(&loaded);
    NoVm vm;
    CpuProfilingSession cpu(&loaded, &vm, CpuProfilingSession::Settings());
    HeapProfilingSession heap(&loaded, &classes);
    SnapshotSources into;
    into.session = &loaded;
    into.classes = &classes;
    into.cpu = &cpu;
    into.heap = &heap;
    GzFileDataReader reader(saved.c_str());
    EXPECT_EQ(SnapshotReader::read(&reader, into, READ_CPU | READ_HEAP | READ_TELEMETRY, nullptr), 36);
    EXPECT_GT(cpu.getThreadManagers().size(), 0u);
    for (int type = 4; type <= 11; type++)
        EXPECT_GE(heap.getArrayItemClass(type, HeapProfilingSession::SET_LIVE)->getCount(), 1) << type;
    EXPECT_EQ(loaded.getAllocTreeRecordingType(), 3);
    EXPECT_EQ(jvm.err().find("Could not"), std::string::npos) << jvm.err();
}

INSTANTIATE_TEST_SUITE_P(Jdks, HeapRecordingE2ETest, testing::ValuesIn(JDKS));

} // namespace
