// Allocation recording in real JVMs: a program allocates known numbers of
// objects of its own classes and arrays of every primitive type; the front
// end switches recording on and reads the heap lists, the allocation trees
// and hotspots, and saves snapshots, which read back here.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "FrontendClient.h"
#include "HeapView.h"
#include "JvmProcess.h"
#include "WaitingJvm.h"
#include "LoadedSnapshot.h"
#include "ByteArrayDataReader.h"
#include "CallStackTree.h"
#include "CharVectorDataWriter.h"
#include "ClassData.h"
#include "ClassProfilingSession.h"
#include "MethodDesc.h"
#include "LiveThreadManager.h"
#include "CpuProfilingSession.h"
#include "HeapProfilingSession.h"
#include "ProfilingSession.h"
#include "Registry.h"
#include "SessionRequest.h"
#include "SnapshotFile.h"
#include "SnapshotProfilingSession.h"

using namespace jvmtest;

namespace {


// The session configuration that command 1 sends for an allocation-tree recording type.
std::string configXml(int recordingType)
{
    return "<config><session id=\"3\" instrumentationType=\"1\" timeType=\"1\" allocTreeRecordingType=\"" +
           std::to_string(recordingType) + "\"/></config>";
}

// Command 1: byte 0 keeps the configuration; else id 3 with the XML of the
// recording type.
std::vector<uint8_t> configRequest(int recordingType)
{
    if (recordingType <= 0)
        return {0};
    return sessionRequest(configXml(recordingType), 3);
}

uint32_t u4At(const std::vector<uint8_t> &b, size_t at)
{
    return (uint32_t(b[at]) << 24) | (uint32_t(b[at + 1]) << 16) | (uint32_t(b[at + 2]) << 8) | b[at + 3];
}

class HeapRecordingE2ETest : public WaitingJvmTest {
protected:
    // Starts the program under the agent; `recordingType` > 0 sends a
    // configuration with that allocation-tree recording type.
    void startConnected(JvmProcess &jvm, FrontendClient &client, int recordingType = 0)
    {
        startRecording(jvm, client, configRequest(recordingType));
    }

    // The same with the given command 1; CPU and allocation recording on.
    void startRecording(JvmProcess &jvm, FrontendClient &client, const std::vector<uint8_t> &request)
    {
        ASSERT_NO_FATAL_FAILURE(startConfigured(jvm, client, PROBE_CLASSES, {"AllocWorkload"}, request));
        Reply reply;
        // Call trees give the allocations their places. The stack the
        // program's first hook reads then is the one it waits in for its
        // next line: the places are the same in every run.
        ASSERT_TRUE(jvm.waitReadingInput(60)) << jvm.err() << jvm.out();
        ASSERT_EQ(client.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
        ASSERT_EQ(client.call(49, HeapView::recordRequest(true), &reply), FrontendClient::OK) << client.lastError();
    }

    // Runs a step of the program and waits for its answer.
    void step(JvmProcess &jvm, const std::string &line, const std::string &answer)
    {
        ASSERT_TRUE(jvm.writeInput(line + "\n"));
        ASSERT_TRUE(jvm.waitFor(answer, true, 60)) << jvm.err() << jvm.out();
        // The answer is printed before the program's last allocations
        // (printing, reading the next line) are over.
        ASSERT_TRUE(jvm.waitReadingInput(60)) << jvm.err() << jvm.out();
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
    FrontendClient client(60000);
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

// The README's example session records the allocation trees of collected
// objects too, as its `alloctree both` expects: the 7 widgets the program
// drops show in the collected tree under their allocating method, the 4
// gadgets it keeps in the live one.
TEST_P(HeapRecordingE2ETest, TheExampleSessionRecordsTheCollectedTree)
{
    std::string xml = readFile(std::string(KVR_SOURCE_DIR) + "/examples/tiagent-session.xml");
    ASSERT_FALSE(xml.empty());
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    Registry registry;
    ASSERT_NO_FATAL_FAILURE(startRecording(jvm, client, sessionRequest(xml, 1)));
    ASSERT_NO_FATAL_FAILURE(step(jvm, "alloc", "allocated"));
    ASSERT_NO_FATAL_FAILURE(step(jvm, "drop", "dropped"));
    // The lists hand over only what is new: read until the dropped widgets
    // have been reported collected.
    uint64_t widget = 0, gadget = 0;
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
         std::chrono::steady_clock::now() < until && (widget == 0 || gadget == 0);) {
        Reply reply;
        HeapUsageReply usage;
        ASSERT_EQ(client.call(3, {0}, &reply), FrontendClient::OK) << client.lastError();
        ASSERT_TRUE(HeapView::readHeapUsageReply(reply.body, client.idWidth(), &registry, &usage));
        if (widget == 0)
            widget = classIdOf(usage.collected, registry, "AllocWorkload$Widget");
        if (gadget == 0)
            gadget = classIdOf(usage.live, registry, "AllocWorkload$Gadget");
        if (widget == 0 || gadget == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_NE(widget, 0u);
    ASSERT_NE(gadget, 0u);
    std::string text;
    EXPECT_EQ(countAt(client, registry, "AllocWorkload$Maker", 2, {{2, widget}}, &text), 7) << text;
    EXPECT_EQ(countAt(client, registry, "AllocWorkload$Maker", 3, {{2, widget}, {2, gadget}}, &text), 11) << text;
    EXPECT_EQ(countAt(client, registry, "AllocWorkload$Maker", 1, {{2, gadget}}, &text), 4) << text;
}

// Saving a snapshot is the agent's work: while the program waits for its
// next line and allocates nothing, a snapshot adds no recorded object.
TEST_P(HeapRecordingE2ETest, SavingASnapshotRecordsNoObjectOfItsOwn)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(startConnected(jvm, client, 3));
    ASSERT_NO_FATAL_FAILURE(step(jvm, "alloc", "allocated"));
    Reply reply;
    Registry registry;
    HeapUsageReply usage;
    ASSERT_EQ(client.call(3, {0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(HeapView::readHeapUsageReply(reply.body, client.idWidth(), &registry, &usage));
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round);
        ASSERT_EQ(client.call(32, {0}, &reply), FrontendClient::OK) << client.lastError();
        ASSERT_GT(reply.body.size(), 12u);
        ASSERT_TRUE(jvm.waitReadingInput(60)) << jvm.err();
        ASSERT_EQ(client.call(3, {0}, &reply), FrontendClient::OK) << client.lastError();
        HeapUsageReply after;
        ASSERT_TRUE(HeapView::readHeapUsageReply(reply.body, client.idWidth(), &registry, &after));
        std::string added;
        for (const auto &e : byName(after.live, registry))
            added += e.first + " " + std::to_string(e.second.count) + "\n";
        EXPECT_EQ(added, "") << "recorded while the program waited";
    }
}

TEST_P(HeapRecordingE2ETest, TypeThreeTreesCountTheAllocatingMethodsOfSelectedClasses)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
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
    FrontendClient client(60000);
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

    // The program's classes as the live session counts them just before the save.
    Registry liveRegistry;
    HeapUsageReply liveUsage;
    ASSERT_EQ(client.call(3, {0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(HeapView::readHeapUsageReply(reply.body, client.idWidth(), &liveRegistry, &liveUsage));

    // Saved through the Java API: gzip, with the configuration and the running time after the stream.
    std::string saved = tmp + "/saved.ovs";
    ASSERT_NO_FATAL_FAILURE(step(jvm, "save " + saved, "saved"));
    ASSERT_TRUE(jvm.waitFor("Done.", false, 10)) << jvm.err();
    EXPECT_EQ(system(("gzip -t '" + saved + "'").c_str()), 0);
    SnapshotFile file;
    ASSERT_NO_FATAL_FAILURE(checkSnapshotFile(saved, file));
    ASSERT_EQ(file.readTrailer(), "");
    ASSERT_TRUE(file.trailer().present);
    EXPECT_EQ(file.trailer().configId, 3u);
    EXPECT_EQ(file.trailer().configXml, configXml(3));
    EXPECT_LT(file.trailer().secondsRunning, 600u);

    // The agent's own reader loads it: threads and the heap lists come back.
    LoadedSnapshot snapshot;
    EXPECT_EQ(snapshot.load(saved), 36);
    ProfilingSession &loaded = snapshot.session;
    CpuProfilingSession &cpu = snapshot.cpu;
    HeapProfilingSession &heap = snapshot.heap;
    EXPECT_GT(cpu.getThreadManagers().size(), 0u);
    for (int type = 4; type <= 11; type++)
        EXPECT_GE(heap.getArrayItemClass(type, HeapProfilingSession::SET_LIVE)->getCount(), 1) << type;
    EXPECT_EQ(loaded.getAllocTreeRecordingType(), 3);

    // The loaded classes and methods name what the trees and lists hold: the
    // heap lists as the loaded session sends them equal the live ones for the
    // program's classes, and the call trees know the program's methods.
    Registry loadedRegistry;
    HeapUsageReply loadedUsage;
    std::vector<uint8_t> loadedBody = snapshot.reply(&HeapProfilingSession::handleCmdHeapUsage, {0});
    ASSERT_TRUE(HeapView::readHeapUsageReply(loadedBody, 8, &loadedRegistry, &loadedUsage));
    std::map<std::string, HeapEntry> before = byName(liveUsage.live, liveRegistry);
    std::map<std::string, HeapEntry> after = byName(loadedUsage.live, loadedRegistry);
    for (const char *name : {"AllocWorkload$Widget", "AllocWorkload$Gadget", "[LAllocWorkload$Widget"}) {
        ASSERT_EQ(after.count(name), 1u) << name;
        EXPECT_EQ(after[name].count, before[name].count) << name;
        EXPECT_EQ(after[name].size, before[name].size) << name;
    }
    EXPECT_EQ(after["AllocWorkload$Gadget"].count, 4);
    // A VM with the full JVMTI has the whole heap in its snapshots.
    CharVectorDataWriter totalReply;
    heap.handleCmdTotalHeapUsage(&totalReply);
    totalReply.flush();
    std::vector<HeapEntry> total;
    ASSERT_TRUE(HeapView::readTotalHeapUsageReply(std::vector<uint8_t>(totalReply.getBytes().begin(), totalReply.getBytes().end()), 8,
                                                  &loadedRegistry, &total));
    std::map<std::string, HeapEntry> wholeHeap = byName(total, loadedRegistry);
    EXPECT_GT(wholeHeap["java.lang.String"].count, 100);
    EXPECT_EQ(wholeHeap["AllocWorkload$Gadget"].count, 4);
    std::set<std::string> methods;
    for (LiveThreadManager *t : cpu.getThreadManagers()) {
        std::vector<CallStackTree *> pending{t->getCallStackTree(false)};
        while (!pending.empty()) {
            CallStackTree *n = pending.back();
            pending.pop_back();
            if (n == nullptr)
                continue;
            if (n->getMethod() != nullptr && n->getMethod()->getClassData() != nullptr)
                methods.insert(std::string(n->getMethod()->getClassData()->getClassName()) + "." + n->getMethod()->getMethodName());
            for (CallStackTree *c = n->getFirstChild(); c != nullptr; c = c->getNextInstance())
                pending.push_back(c);
        }
    }
    EXPECT_EQ(methods.count("AllocWorkload.makeWidgets"), 1u);
    EXPECT_EQ(methods.count("AllocWorkload.makeArrays"), 1u);
    EXPECT_EQ(jvm.err().find("Could not"), std::string::npos) << jvm.err();
}

// Command 49 switches recording with or without the tracked probe ids after
// its switch; a list of ids cut short changes nothing.
TEST_P(HeapRecordingE2ETest, RecordingSwitchWithAndWithoutTrackedProbes)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    Reply reply;
    Registry registry;
    ASSERT_NO_FATAL_FAILURE(startConnected(jvm, client, 3));
    unsigned w = client.idWidth();
    ASSERT_EQ(client.call(49, {0, 0, 0, 0, 2, 0, 0, 0, 1}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(jvm.waitFor("Allocation recording request with a cut list of tracked probes ignored.", false, 10)) << jvm.err();
    ASSERT_NO_FATAL_FAILURE(step(jvm, "alloc", "allocated"));
    HeapUsageReply on;
    ASSERT_EQ(client.call(3, {0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(HeapView::readHeapUsageReply(reply.body, w, &registry, &on));
    EXPECT_EQ(byName(on.live, registry)["AllocWorkload$Widget"].count, 7) << "recording stayed on";
    // The switch alone, as older front ends send it.
    ASSERT_EQ(client.call(49, {0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_NO_FATAL_FAILURE(step(jvm, "alloc", "allocated"));
    HeapUsageReply off;
    ASSERT_EQ(client.call(3, {0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(HeapView::readHeapUsageReply(reply.body, w, &registry, &off));
    EXPECT_EQ(byName(off.live, registry).count("AllocWorkload$Widget"), 0u) << "no change: recording is off";
}

// Recording switched off and on again: objects made while it was off are
// not counted, those made after it is on again are, exactly.
TEST_P(HeapRecordingE2ETest, RecordingSwitchedOffAndOnAgainCountsExactlyTheObjectsMadeWhileOn)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client;
    Reply reply;
    Registry registry;
    ASSERT_NO_FATAL_FAILURE(startConnected(jvm, client));
    unsigned w = client.idWidth();
    // The live widgets as the front end sees them: a reply lists only the
    // entries that changed since the one before.
    long long shown = -1;
    auto widgets = [&]() {
        HeapUsageReply usage;
        if (client.call(3, {0}, &reply) != FrontendClient::OK || !HeapView::readHeapUsageReply(reply.body, w, &registry, &usage))
            return -1LL;
        std::map<std::string, HeapEntry> live = byName(usage.live, registry);
        if (live.count("AllocWorkload$Widget") != 0)
            shown = live["AllocWorkload$Widget"].count;
        return shown;
    };
    ASSERT_NO_FATAL_FAILURE(step(jvm, "widgets 5", "widgets 5"));
    EXPECT_EQ(widgets(), 5) << jvm.err();
    int made = 5;
    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_EQ(client.call(49, HeapView::recordRequest(false), &reply), FrontendClient::OK) << client.lastError();
        made += 50000;
        ASSERT_NO_FATAL_FAILURE(step(jvm, "widgets 50000", "widgets " + std::to_string(made)));
        EXPECT_EQ(widgets(), round == 0 ? 5 : 30000 + round - 1) << "nothing new while recording is off";
        // Switching on again starts from empty data: only what follows counts.
        ASSERT_EQ(client.call(49, HeapView::recordRequest(true), &reply), FrontendClient::OK) << client.lastError();
        made += 30000 + round;
        ASSERT_NO_FATAL_FAILURE(step(jvm, "widgets " + std::to_string(30000 + round), "widgets " + std::to_string(made)));
        EXPECT_EQ(widgets(), 30000 + round) << jvm.err();
    }
    EXPECT_EQ(jvm.err().find("cannot be recorded"), std::string::npos) << jvm.err();
}

// Objects recorded before command 49 switched recording on again (with its
// reset) and collected after it: nothing counted since changes, and no entry
// without a class appears.
TEST_P(HeapRecordingE2ETest, ObjectsRecordedBeforeAResetAndCollectedAfterItLeaveTheNewCountsAlone)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client;
    Reply reply;
    Registry registry;
    ASSERT_NO_FATAL_FAILURE(startConnected(jvm, client, 3));
    unsigned w = client.idWidth();
    ASSERT_NO_FATAL_FAILURE(step(jvm, "alloc", "allocated"));
    HeapUsageReply before;
    ASSERT_EQ(client.call(3, {0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(HeapView::readHeapUsageReply(reply.body, w, &registry, &before));
    ASSERT_EQ(byName(before.live, registry)["AllocWorkload$Widget"].count, 7);
    ASSERT_EQ(client.call(49, HeapView::recordRequest(false), &reply), FrontendClient::OK) << client.lastError();
    ASSERT_EQ(client.call(49, HeapView::recordRequest(true), &reply), FrontendClient::OK) << client.lastError();
    ASSERT_NO_FATAL_FAILURE(step(jvm, "widgets 3", "widgets 3"));
    // The seven widgets and the byte array of before go.
    ASSERT_NO_FATAL_FAILURE(step(jvm, "drop", "dropped"));
    HeapUsageReply after;
    ASSERT_EQ(client.call(3, {0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(HeapView::readHeapUsageReply(reply.body, w, &registry, &after));
    std::map<std::string, HeapEntry> live = byName(after.live, registry);
    std::map<std::string, HeapEntry> collected = byName(after.collected, registry);
    EXPECT_EQ(live["AllocWorkload$Widget"].count, 3);
    EXPECT_EQ(collected.count("AllocWorkload$Widget"), 0u) << "nothing collected was recorded since";
    EXPECT_EQ(live.count("[2]"), 0u) << "an entry without a class";
    EXPECT_EQ(collected.count("[2]"), 0u) << "an entry without a class";
    EXPECT_EQ(jvm.err().find("Could not"), std::string::npos) << jvm.err();
}

// Recorded objects that go while recording is off through the API leave
// the live set: started again without a reset, the lists show them collected.
TEST_P(HeapRecordingE2ETest, ObjectsCollectedWhileRecordingIsOffMoveToTheCollectedSet)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client;
    Reply reply;
    Registry registry;
    ASSERT_NO_FATAL_FAILURE(startConnected(jvm, client, 3));
    unsigned w = client.idWidth();
    ASSERT_NO_FATAL_FAILURE(step(jvm, "widgets 5", "widgets 5"));
    ASSERT_NO_FATAL_FAILURE(step(jvm, "stop", "stopped"));
    ASSERT_NO_FATAL_FAILURE(step(jvm, "dropwidgets", "widgets dropped"));
    ASSERT_NO_FATAL_FAILURE(step(jvm, "start", "started"));
    ASSERT_NO_FATAL_FAILURE(step(jvm, "widgets 4", "widgets 4"));
    HeapUsageReply usage;
    ASSERT_EQ(client.call(3, {0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(HeapView::readHeapUsageReply(reply.body, w, &registry, &usage));
    std::map<std::string, HeapEntry> live = byName(usage.live, registry);
    std::map<std::string, HeapEntry> collected = byName(usage.collected, registry);
    EXPECT_EQ(live["AllocWorkload$Widget"].count, 4) << jvm.err();
    EXPECT_EQ(collected["AllocWorkload$Widget"].count, 5) << jvm.err();
}

// A front end that switches recording off, leaves, and switches it on again
// from a new connection that sends its configuration again: the objects made
// after that are counted exactly.
TEST_P(HeapRecordingE2ETest, RecordingSwitchedOnAgainFromANewConnectionCountsExactly)
{
    JvmProcess jvm(work.path, "jvm");
    Reply reply;
    Registry registry;
    {
        FrontendClient client;
        ASSERT_NO_FATAL_FAILURE(startConnected(jvm, client, 3));
        ASSERT_NO_FATAL_FAILURE(step(jvm, "widgets 5", "widgets 5"));
        ASSERT_EQ(client.call(49, HeapView::recordRequest(false), &reply), FrontendClient::OK) << client.lastError();
        client.call(0, {}, nullptr);
        client.close();
        ASSERT_TRUE(jvm.waitFor("Waiting for reconnection.", false, 10)) << jvm.err();
    }
    ASSERT_NO_FATAL_FAILURE(step(jvm, "widgets 300", "widgets 305"));
    FrontendClient again;
    ASSERT_EQ(again.connect("127.0.0.1", static_cast<uint16_t>(port)), "");
    ASSERT_EQ(again.handshake(), "");
    ASSERT_EQ(again.call(1, configRequest(3), &reply), FrontendClient::OK) << again.lastError();
    ASSERT_EQ(again.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << again.lastError();
    ASSERT_EQ(again.call(49, HeapView::recordRequest(true), &reply), FrontendClient::OK) << again.lastError();
    ASSERT_NO_FATAL_FAILURE(step(jvm, "widgets 6", "widgets 311"));
    HeapUsageReply usage;
    ASSERT_EQ(again.call(3, {0}, &reply), FrontendClient::OK) << again.lastError();
    ASSERT_TRUE(HeapView::readHeapUsageReply(reply.body, again.idWidth(), &registry, &usage));
    EXPECT_EQ(byName(usage.live, registry)["AllocWorkload$Widget"].count, 6) << jvm.err();
}

// The recorder's snapshot: no heap, allocation tree, heap dump or telemetry
// section, collection method 5, an empty configuration in the trailer; its
// Java arguments reach the Java side only as the strings they must be.
TEST_P(HeapRecordingE2ETest, RecorderSnapshotSavedThroughTheRecordersEntry)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(startConnected(jvm, client, 3));
    ASSERT_NO_FATAL_FAILURE(step(jvm, "alloc", "allocated"));
    std::string saved = tmp + "/recorder.ovs";
    ASSERT_NO_FATAL_FAILURE(step(jvm, "recorder " + saved, "recorded 1"));
    EXPECT_EQ(system(("gzip -t '" + saved + "'").c_str()), 0);
    SnapshotFile file;
    ASSERT_EQ(file.open(saved), "");
    EXPECT_EQ(file.header().callTreeCollectionMethod, 5u);
    ASSERT_EQ(file.verifySections(), "");
    for (int index : {1, 2, 4, 5}) {
        EXPECT_EQ(file.sections()[static_cast<size_t>(index)].length, 0u) << index;
        EXPECT_EQ(file.sections()[static_cast<size_t>(index)].position, 0) << index;
    }
    EXPECT_GT(file.sections()[3].length, 0u);
    EXPECT_GT(file.sections()[0].length, 0u);
    ASSERT_EQ(file.readTrailer(), "");
    ASSERT_TRUE(file.trailer().present);
    EXPECT_EQ(file.trailer().configId, 0u);
    EXPECT_EQ(file.trailer().configXml, "");
    // The agent's reader loads it as a recorder snapshot would be.
    LoadedSnapshot snapshot;
    EXPECT_EQ(snapshot.load(saved), 36);
    EXPECT_GT(snapshot.cpu.getThreadManagers().size(), 0u);
    EXPECT_EQ(jvm.err().find("Exception"), std::string::npos) << jvm.err();
}

// A session that builds live-object trees from the heap keeps its live
// objects in the snapshot: the loaded session builds the same trees.
TEST_P(HeapRecordingE2ETest, LoadedSnapshotBuildsLiveOnlyTreesFromItsLiveObjects)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    Reply reply;
    Registry registry;
    ASSERT_NO_FATAL_FAILURE(startConnected(jvm, client));
    ASSERT_NO_FATAL_FAILURE(step(jvm, "alloc", "allocated"));
    ASSERT_NO_FATAL_FAILURE(step(jvm, "drop", "dropped"));
    std::string saved = tmp + "/live-only.ovs";
    ASSERT_NO_FATAL_FAILURE(step(jvm, "save " + saved, "saved"));
    LoadedSnapshot snapshot;
    ASSERT_EQ(snapshot.load(saved), 36);
    EXPECT_EQ(snapshot.session.getAllocTreeRecordingType(), 1);
    ClassData *gadget = nullptr;
    for (ClassData *c : snapshot.classes.getClasses()) {
        if (std::string(c->getClassName()) == "AllocWorkload$Gadget" && snapshot.heap.getHeapItemClass(c, 0)->getCount() > 0)
            gadget = c;
    }
    ASSERT_NE(gadget, nullptr);
    struct Case {
        std::vector<std::pair<uint16_t, uint64_t>> types;
        uint32_t kind;
        const char *method;
        long long count;
    } cases[] = {
        {{{2, reinterpret_cast<uintptr_t>(gadget)}}, 1, "AllocWorkload$Maker", 4},
        {{{8, 0}}, 1, "AllocWorkload$ArrayMaker", 1},
        {{{5, 0}}, 1, "AllocWorkload$ArrayMaker", 0},
        {{}, 2, "AllocWorkload$Maker", 0},
    };
    for (const Case &c : cases) {
        AllocationTreeReply tree;
        std::vector<uint8_t> body =
            snapshot.reply(&HeapProfilingSession::handleCmdAllocationUpdate, HeapView::allocationUpdateRequest(0, c.kind, c.types, "", 8));
        ASSERT_TRUE(HeapView::readAllocationTreeReply(body, 8, &registry, &tree));
        ASSERT_NE(tree.root, nullptr);
        std::vector<const ViewNode *> nodes;
        CallTreeView::collect(*tree.root, &nodes);
        long long count = 0;
        for (const ViewNode *n : nodes) {
            const MethodInfo *m = registry.method(n->method);
            if (m != nullptr && m->name == c.method)
                count += n->count;
        }
        EXPECT_EQ(count, c.count) << c.method << " kind " << c.kind << "\n" << CallTreeView::format(*tree.root, registry);
    }
    EXPECT_EQ(jvm.err().find("error iterating over heap"), std::string::npos) << jvm.err();
}

// Word `column` of the first line after `marker` in `out` whose last word
// is `name`; "(none)" when there is no such line or word.
std::string cellOf(const std::string &out, const std::string &marker, const std::string &name, size_t column)
{
    size_t at = out.find(marker);
    if (at == std::string::npos)
        return "(none)";
    std::istringstream lines(out.substr(at));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::vector<std::string> row;
        for (std::string w; words >> w;)
            row.push_back(w);
        if (!row.empty() && row.back() == name)
            return column < row.size() ? row[column] : "(none)";
    }
    return "(none)";
}

// The command line reaches the heap commands by name and prints their views
// with the classes and methods named and the exact counts.
TEST_P(HeapRecordingE2ETest, FrontendCommandLinePrintsTheHeapViews)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(startConnected(jvm, client, 3));
    // The command line profiles the steps over its one connection: the agent
    // resets what a front end recorded when it goes.
    client.call(0, {}, nullptr);
    client.close();
    ASSERT_TRUE(jvm.waitFor("Waiting for reconnection.", false, 10)) << jvm.err();

    std::string snapshot = work / "cli.ovs";
    JvmProcess cli(work.path, "cli");
    ASSERT_TRUE(cli.start({std::string(KVR_BINARY_DIR) + "/bin/frontend", "--port", std::to_string(port), "--timeout", "30000", "cpu", "on",
                           "alloc", "on", "wait", "heap", "alloctree", "both", "class=AllocWorkload$Widget", "class=AllocWorkload$Gadget",
                           "allocexpand",
                           "AllocWorkload.main/java.io.BufferedReader.readLine/AllocWorkload/AllocWorkload.makeWidgets/AllocWorkload$Maker",
                           "allochotspots", "collected", "class=AllocWorkload$Widget", "allocbacktrace", "AllocWorkload$Widget.<init>",
                           "savesnapshot", snapshot},
                          tmp, tmp, false));
    ASSERT_TRUE(cli.waitFor("waiting until the program ends", true, 60)) << cli.out() << cli.err();
    ASSERT_NO_FATAL_FAILURE(step(jvm, "alloc", "allocated"));
    ASSERT_NO_FATAL_FAILURE(step(jvm, "drop", "dropped"));
    ASSERT_TRUE(cli.writeInput("\n"));
    ASSERT_TRUE(cli.waitExit(60)) << cli.out() << cli.err();
    int status = cli.exitCode();
    std::string out = cli.out() + cli.err();
    EXPECT_EQ(status, 0) << out;
    // Heap lists: objects, bytes, class.
    EXPECT_EQ(cellOf(out, "live recorded objects", "AllocWorkload$Gadget", 0), "4") << out;
    EXPECT_EQ(cellOf(out, "collected recorded objects", "AllocWorkload$Widget", 0), "7") << out;
    // An array type only the program allocates: the JDK itself may allocate primitive arrays on the
    // program's thread (Temurin 25 under load allocates a second int[]).
    EXPECT_EQ(cellOf(out, "live recorded objects", "[LAllocWorkload$Widget", 0), "1") << out;
    // Trees and hot spots: bytes, share, objects, method.
    EXPECT_EQ(cellOf(out, "reply to command 24", "AllocWorkload$Maker()", 2), "11") << out;
    EXPECT_EQ(cellOf(out, "reply to command 24", "AllocWorkload$Widget.<init>()", 2), "7") << out;
    EXPECT_EQ(cellOf(out, "reply to command 24", "AllocWorkload$Gadget.<init>()", 2), "4") << out;
    EXPECT_EQ(cellOf(out, "reply to command 25", "AllocWorkload$Gadget.<init>()", 2), "4") << out;
    const std::string hot = "reply to command 51";
    EXPECT_EQ(cellOf(out, hot, "AllocWorkload$Widget.<init>()", 2), "7") << out;
    EXPECT_EQ(cellOf(out, hot, "AllocWorkload$Widget.<init>()", 1), "100%") << out;
    EXPECT_NE(out.find("allocation hot spots: " + cellOf(out, hot, "AllocWorkload$Widget.<init>()", 0) + " bytes allocated"),
              std::string::npos)
        << out;
    EXPECT_EQ(cellOf(out, "reply to command 52", "AllocWorkload$Maker()", 2), "7") << "the caller of the constructor\n" << out;
    EXPECT_NE(out.find("snapshot of "), std::string::npos) << out;
    SnapshotFile file;
    ASSERT_NO_FATAL_FAILURE(checkSnapshotFile(snapshot, file));
    EXPECT_EQ(jvm.err().find("Could not"), std::string::npos) << jvm.err();
}

INSTANTIATE_TEST_SUITE_P(Jdks, HeapRecordingE2ETest, testing::ValuesIn(JDK_HOMES));

} // namespace
