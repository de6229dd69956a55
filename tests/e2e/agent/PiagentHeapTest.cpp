// piagent under jvmpihost: allocations the VM reports become the objects of
// a heap dump that the VM's own dump records are converted into, read by
// the front end as it reads tiagent's.
#include "PiagentHost.h"

#include <zlib.h>

#include <algorithm>
#include <map>

#include "HeapDumpFile.h"
#include "HeapView.h"
#include "LoadedSnapshot.h"
#include "Registry.h"
#include "WireReader.h"
#include "WireWriter.h"

namespace {

using PiagentHeapTest = PiagentHostTest;

TEST_F(PiagentHeapTest, HeapDumpIsConvertedFromTheVmsRecords)
{
    loopbackSocket::PortReservation held;
    int port = held.port;
    ASSERT_NE(port, 0);
    start({"--options", "port=" + std::to_string(port) + ",address=127.0.0.1", "java-comm", "init-done", "await:alloc-on",
           "class:0x100:demo/Thing", "thread:1:main",
           "alloc:1:0x5000:0x100:16",           // an instance
           "alloc:1:0x6000:0:80000:10",         // int[20000]
           "alloc:1:0x7000:0x100:32:2",         // Thing[4]
           "alloc:1:0x8000:0x100:16", "free:0x8000",
           "move:0x5000:0x5800", "mark:played", "await:done", "shut-down"});
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(connectAndHandOver(client, port));
    Reply reply;
    ASSERT_EQ(client.call(49, {1}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(waitForLine("stdout", "host: EnableEvent 5")) << out();
    std::vector<std::string> all = lines(out());
    EXPECT_EQ(std::count(all.begin(), all.end(), "host: EnableEvent 4"), 1);
    touch("alloc-on");
    ASSERT_TRUE(waitForLine("stdout", "host: mark played")) << out() << err();

    // Command 3: the live and collected objects per class and array type.
    ASSERT_EQ(client.call(3, {0}, &reply), FrontendClient::OK) << client.lastError();
    // Descriptions come once per connection: one registry for every reply.
    Registry registry;
    HeapUsageReply usage;
    ASSERT_TRUE(HeapView::readHeapUsageReply(reply.body, client.idWidth(), &registry, &usage));
    std::map<std::pair<int, std::string>, std::pair<int64_t, int64_t>> live, collected;
    for (const HeapEntry &e : usage.live) {
        const ClassInfo *c = registry.classOf(e.classId);
        live[{e.type, c != nullptr ? c->name : ""}] = {e.count, e.size};
    }
    for (const HeapEntry &e : usage.collected) {
        const ClassInfo *c = registry.classOf(e.classId);
        collected[{e.type, c != nullptr ? c->name : ""}] = {e.count, e.size};
    }
    EXPECT_EQ((live[{8, ""}]), (std::pair<int64_t, int64_t>{1, 80000}));
    EXPECT_EQ((live[{2, "demo.Thing"}]), (std::pair<int64_t, int64_t>{1, 16}));
    EXPECT_EQ((collected[{2, "demo.Thing"}]), (std::pair<int64_t, int64_t>{1, 16}));

    // Send by value, with primitive values, a new dump.
    ASSERT_EQ(client.call(7, {0, 0, 0, 0, 0, 0, 1, 1}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(linesStartingWith(out(), "host: RequestEvent 37").size(), 1u);
    WireReader in(reply.body);
    ASSERT_EQ(in.readU4(), 1u);
    int64_t size = in.readJLong();
    ASSERT_GT(size, 0);
    ASSERT_LE(static_cast<size_t>(size), in.remaining());
    std::vector<uint8_t> bytes = in.readBytes(static_cast<size_t>(size));
    EXPECT_EQ(in.readU4(), static_cast<uint32_t>(crc32(0, bytes.data(), static_cast<uInt>(bytes.size()))));
    EXPECT_TRUE(registry.readMethods(in, client.idWidth()));
    EXPECT_TRUE(registry.readClasses(in, client.idWidth()));

    JhdDump dump;
    std::string error;
    ASSERT_TRUE(parseHeapDump(bytes, client.idWidth(), &dump, &error)) << error;
    EXPECT_TRUE(dump.primitiveValues);
    ASSERT_EQ(dump.objects.size(), 3u) << describeHeapDump(dump);
    std::map<int, const JhdObject *> byType;
    for (const JhdObject &o : dump.objects)
        byType[o.type] = &o;
    ASSERT_EQ(byType.count(2), 1u);
    ASSERT_EQ(byType.count(3), 1u);
    ASSERT_EQ(byType.count(8), 1u);
    const ClassInfo *thing = registry.classOf(byType[2]->classId);
    ASSERT_NE(thing, nullptr);
    EXPECT_EQ(thing->name, "demo.Thing");
    const ClassInfo *array = registry.classOf(byType[3]->classId);
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(array->name, "[Ldemo.Thing;");
    EXPECT_EQ(byType[3]->length, 4u);
    // The int array: at most 10,000 of its 20,000 elements, element i = i.
    const JhdObject *ints = byType[8];
    EXPECT_TRUE(ints->hasValues);
    ASSERT_EQ(ints->valueCount, 10000u);
    ASSERT_EQ(ints->values.size(), 10000u);
    EXPECT_EQ(ints->values[0], 0u);
    EXPECT_EQ(ints->values[9999], 9999u);
    // The class dump and the root after the array: all of the array's input was read.
    ASSERT_EQ(dump.classes.size(), 1u);
    EXPECT_EQ(dump.classes[0].classId, byType[2]->classId);
    ASSERT_EQ(dump.roots.size(), 1u);
    EXPECT_EQ(dump.roots[0].kind, 52);

    // Without primitive values (level 1): the array carries none.
    ASSERT_EQ(client.call(7, {0, 0, 0, 0, 0, 0, 0, 1}, &reply), FrontendClient::OK) << client.lastError();
    WireReader again(reply.body);
    ASSERT_EQ(again.readU4(), 1u);
    size = again.readJLong();
    ASSERT_GT(size, 0);
    bytes = again.readBytes(static_cast<size_t>(size));
    ASSERT_TRUE(parseHeapDump(bytes, client.idWidth(), &dump, &error)) << error;
    ASSERT_EQ(dump.objects.size(), 3u);
    ASSERT_EQ(dump.roots.size(), 1u);
    for (const JhdObject &o : dump.objects)
        EXPECT_FALSE(o.hasValues);
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

// An ID of the VM's dump records: 8 bytes in host (little-endian) order, as hex.
std::string idHex(uint64_t id)
{
    std::string text;
    char pair[3];
    for (int i = 0; i < 8; i++) {
        snprintf(pair, sizeof pair, "%02x", static_cast<unsigned>((id >> (8 * i)) & 0xff));
        text += pair;
    }
    return text;
}

// Command 7 (a new dump, by value, with or without primitive values): the
// reply's status and, for status 1, the converted dump.
void takeDump(FrontendClient &client, bool values, uint32_t *status, JhdDump *dump)
{
    Reply reply;
    ASSERT_EQ(client.call(7, {0, 0, 0, 0, 0, 0, static_cast<uint8_t>(values ? 1 : 0), 1}, &reply), FrontendClient::OK)
        << client.lastError();
    WireReader in(reply.body);
    *status = in.readU4();
    if (*status != 1)
        return;
    int64_t size = in.readJLong();
    ASSERT_GT(size, 0);
    std::vector<uint8_t> bytes = in.readBytes(static_cast<size_t>(size));
    std::string error;
    ASSERT_TRUE(parseHeapDump(bytes, client.idWidth(), dump, &error)) << error;
}

// A class dump of a class the agent never saw load: the VM describes it on
// request and the dump keeps it with every object. A class dump that nobody
// can describe leaves the rest unreadable: the dump fails with U4 0 instead
// of a dump without objects.
TEST_F(PiagentHeapTest, ClassDumpsOfClassesNeverSeenLoadingKeepTheDump)
{
    loopbackSocket::PortReservation held;
    const std::string unknownClass = "20" + idHex(0x999) + std::string(6 * 16, '0') + "00000010" + "0000";
    const std::string instance = "21" + idHex(0x5000) + idHex(0x100) + "00000000";
    start({"--options", "port=" + std::to_string(held.port) + ",address=127.0.0.1", "java-comm", "init-done", "await:alloc-on",
           "class:0x100:demo/Thing", "quiet-class:0x200:demo/Quiet", "thread:1:main", "alloc:1:0x5000:0x100:16",
           "alloc:1:0x6000:0x200:24", "mark:played", "await:scripted", "heap-bytes:" + unknownClass + instance, "mark:bytes",
           "await:done", "shut-down"});
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(connectAndHandOver(client, held.port));
    Reply reply;
    ASSERT_EQ(client.call(49, {1}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(waitForLine("stdout", "host: EnableEvent 5")) << out();
    touch("alloc-on");
    ASSERT_TRUE(waitForLine("stdout", "host: mark played")) << out() << err();

    uint32_t status = 0;
    JhdDump dump;
    ASSERT_NO_FATAL_FAILURE(takeDump(client, false, &status, &dump));
    ASSERT_EQ(status, 1u);
    EXPECT_EQ(dump.classes.size(), 2u) << describeHeapDump(dump);
    EXPECT_EQ(dump.objects.size(), 2u) << describeHeapDump(dump);
    EXPECT_EQ(linesStartingWith(out(), "host: RequestEvent 42").size(), 1u) << out();

    touch("scripted");
    ASSERT_TRUE(waitForLine("stdout", "host: mark bytes")) << out();
    ASSERT_NO_FATAL_FAILURE(takeDump(client, false, &status, &dump));
    EXPECT_EQ(status, 0u);
    EXPECT_NE(err().find("Orvane> ERROR: class of a class dump not known.\n"), std::string::npos) << err();
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

// Primitive arrays of gigabytes: the size the dump records is computed
// without overflow (a size past the U4 field is its largest value).
TEST_F(PiagentHeapTest, HugePrimitiveArraysKeepTheirSize)
{
    loopbackSocket::PortReservation held;
    // int[536870911] (2 GiB less 4 bytes) and int[1073741824] (4 GiB), level 1: no elements.
    const std::string arrays = "23" + idHex(0x7000) + "1fffffff" + "0a" + "23" + idHex(0x8000) + "40000000" + "0a" + "ff" + idHex(0x7000);
    start({"--options", "port=" + std::to_string(held.port) + ",address=127.0.0.1", "java-comm", "init-done",
           "heap-bytes:" + arrays, "mark:played", "await:done", "shut-down"});
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(connectAndHandOver(client, held.port));
    ASSERT_TRUE(waitForLine("stdout", "host: mark played")) << out();
    uint32_t status = 0;
    JhdDump dump;
    ASSERT_NO_FATAL_FAILURE(takeDump(client, false, &status, &dump));
    ASSERT_EQ(status, 1u);
    ASSERT_EQ(dump.objects.size(), 2u) << describeHeapDump(dump);
    std::vector<uint32_t> sizes;
    for (const JhdObject &o : dump.objects) {
        EXPECT_EQ(o.type, 8);
        sizes.push_back(o.size);
    }
    std::sort(sizes.begin(), sizes.end());
    EXPECT_EQ(sizes, (std::vector<uint32_t>{2147483656u, 4294967295u}));
    ASSERT_EQ(dump.roots.size(), 1u);
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

// The allocation views of objects the VM reports while a scripted thread
// runs main and main calls make: make allocates three things (one of them is
// collected), main one more. Per allocation-tree recording type (1: trees
// from the live objects on request, 2: a live and a collected tree kept while
// recording) the front end reads the allocation tree (24), the allocation
// hotspots (51) and, from a heap dump's allocation nodes, the tree of
// command 13: the same views tiagent gives for these allocations.
class PiagentAllocationViewsTest : public PiagentHostTest, public ::testing::WithParamInterface<int> {
protected:
    // Command 24 at level 0 for `kind` (1 live, 2 collected): the tree, or null.
    std::unique_ptr<ViewNode> allocationTree(FrontendClient &client, Registry &registry, uint32_t kind)
    {
        Reply reply;
        AllocationTreeReply tree;
        EXPECT_EQ(client.call(24, HeapView::allocationUpdateRequest(0, kind, {}, "", client.idWidth()), &reply), FrontendClient::OK)
            << client.lastError();
        EXPECT_TRUE(HeapView::readAllocationTreeReply(reply.body, client.idWidth(), &registry, &tree));
        return std::move(tree.root);
    }
};

// The count and bytes at the one node of `name` in `root`; {-1, -1} when
// there is not exactly one.
std::pair<long long, long long> atMethod(const ViewNode &root, const Registry &registry, const std::string &name)
{
    std::vector<const ViewNode *> found = nodesNamed(root, registry, name);
    if (found.size() != 1)
        return {-1, -1};
    return {found[0]->count, found[0]->value};
}

// An ID in the agent's width and byte order (host order).
void writeId(WireWriter &w, uint64_t id, unsigned idWidth)
{
    for (unsigned i = 0; i < idWidth; i++)
        w.writeByte(static_cast<uint8_t>(id >> (8 * i)));
}

TEST_P(PiagentAllocationViewsTest, TreesAndHotspotsOfTheRecordedAllocations)
{
    const int recordingType = GetParam();
    loopbackSocket::PortReservation held;
    ASSERT_NE(held.port, 0);
    start({"--options", "port=" + std::to_string(held.port) + ",address=127.0.0.1", "java-comm", "init-done", "await:recording",
           "class:0x100:demo/Work:main/([Ljava/lang/String;)V=0x11,make/()V=0x12", "class:0x200:demo/Thing", "thread:1:main",
           "enter:1:0x11", "enter:1:0x12", "alloc:1:0x5000:0x200:16", "alloc:1:0x5100:0x200:16", "alloc:1:0x5200:0x200:16",
           "exit:1:0x12", "alloc:1:0x6000:0x200:16", "free:0x5100", "mark:played", "await:done", "shut-down"});
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(connectAndHandOver(
        client, held.port,
        configRequest("<config><session id=\"3\" instrumentationType=\"2\" timeType=\"1\" allocTreeRecordingType=\"" +
                      std::to_string(recordingType) + "\"/></config>")));
    Reply reply;
    ASSERT_EQ(client.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_EQ(client.call(49, HeapView::recordRequest(true), &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(waitForLine("stdout", "host: EnableEvent 5")) << out();
    touch("recording");
    ASSERT_TRUE(waitForLine("stdout", "host: mark played")) << out() << err();
    const unsigned w = client.idWidth();
    Registry registry;

    // Live objects: two things of make, the one of main; a node counts what
    // was allocated at or below it.
    std::unique_ptr<ViewNode> live = allocationTree(client, registry, 1);
    ASSERT_NE(live, nullptr);
    std::string text = CallTreeView::format(*live, registry);
    EXPECT_EQ(atMethod(*live, registry, "main"), (std::pair<long long, long long>{3, 48})) << text;
    EXPECT_EQ(atMethod(*live, registry, "make"), (std::pair<long long, long long>{2, 32})) << text;
    // At class level (1) both methods count under their class.
    Reply byClassReply;
    AllocationTreeReply byClass;
    ASSERT_EQ(client.call(24, HeapView::allocationUpdateRequest(1, 1, {}, "", w), &byClassReply), FrontendClient::OK)
        << client.lastError();
    ASSERT_TRUE(HeapView::readAllocationTreeReply(byClassReply.body, w, &registry, &byClass));
    ASSERT_NE(byClass.root, nullptr);
    text = CallTreeView::format(*byClass.root, registry);
    EXPECT_EQ(atMethod(*byClass.root, registry, "demo.Work"), (std::pair<long long, long long>{3, 48})) << text;
    // Collected objects: only a recording tree knows them; a tree made from
    // the live objects has none.
    std::unique_ptr<ViewNode> collected = allocationTree(client, registry, 2);
    ASSERT_NE(collected, nullptr);
    text = CallTreeView::format(*collected, registry);
    if (recordingType == 1) {
        EXPECT_TRUE(collected->children.empty()) << text;
    } else {
        EXPECT_EQ(atMethod(*collected, registry, "main"), (std::pair<long long, long long>{1, 16})) << text;
        EXPECT_EQ(atMethod(*collected, registry, "make"), (std::pair<long long, long long>{1, 16})) << text;
    }

    // Hotspots of the live objects: where they were allocated.
    std::vector<uint8_t> request = HeapView::allocationRequest(0, 1, {}, "", w);
    request.push_back(0);
    request.push_back(0);
    ASSERT_EQ(client.call(51, request, &reply), FrontendClient::OK) << client.lastError();
    AllocationHotspotReply hotspots;
    ASSERT_TRUE(HeapView::readAllocationHotspotReply(reply.body, w, &registry, &hotspots));
    ASSERT_TRUE(hotspots.present);
    std::map<std::string, std::pair<long long, long long>> hot;
    for (const HotspotRow &row : hotspots.rows) {
        const MethodInfo *m = registry.method(row.method);
        hot[m != nullptr ? m->name : "?"] = {row.calls, row.value};
    }
    EXPECT_EQ(hot, (std::map<std::string, std::pair<long long, long long>>{{"main", {1, 16}}, {"make", {2, 32}}}));
    EXPECT_EQ(hotspots.total, 48);

    // A heap dump: every recorded object carries its allocation node, and
    // the dump's nodes are the allocation tree of command 13.
    ASSERT_EQ(client.call(7, {0, 0, 0, 0, 0, 0, 0, 1}, &reply), FrontendClient::OK) << client.lastError();
    WireReader in(reply.body);
    ASSERT_EQ(in.readU4(), 1u);
    int64_t size = in.readJLong();
    ASSERT_GT(size, 0);
    std::vector<uint8_t> bytes = in.readBytes(static_cast<size_t>(size));
    in.readU4();
    ASSERT_TRUE(registry.readMethods(in, w));
    ASSERT_TRUE(registry.readClasses(in, w));
    JhdDump dump;
    std::string error;
    ASSERT_TRUE(parseHeapDump(bytes, w, &dump, &error)) << error;
    std::map<uint64_t, std::pair<int64_t, uint32_t>> nodes;
    for (const JhdObject &o : dump.objects) {
        EXPECT_NE(o.node, 1u) << describeHeapDump(dump);
        nodes[o.node].first += o.size;
        nodes[o.node].second++;
    }
    EXPECT_EQ(dump.objects.size(), 3u) << describeHeapDump(dump);
    WireWriter tree;
    tree.writeU4(static_cast<uint32_t>(nodes.size()));
    for (const auto &n : nodes) {
        writeId(tree, n.first, w);
        tree.writeJLong(n.second.first);
        tree.writeU4(n.second.second);
    }
    tree.writeU4(0);
    tree.writeU4(10000);
    tree.writeU4(0);
    tree.writeByte(0);
    tree.writeU2(0);
    ASSERT_EQ(client.call(13, tree.bytes(), &reply), FrontendClient::OK) << client.lastError();
    AllocationTreeReply fromDump;
    ASSERT_TRUE(HeapView::readAllocationTreeReply(reply.body, w, &registry, &fromDump));
    ASSERT_NE(fromDump.root, nullptr);
    text = CallTreeView::format(*fromDump.root, registry);
    EXPECT_EQ(atMethod(*fromDump.root, registry, "main"), (std::pair<long long, long long>{3, 48})) << text;
    EXPECT_EQ(atMethod(*fromDump.root, registry, "make"), (std::pair<long long, long long>{2, 32})) << text;
    EXPECT_EQ(err().find("unknown allocation nodes"), std::string::npos) << err();

    // A snapshot (the stream of command 32) gives the live tree again when
    // read back: from its live-object data (type 1) or its trees (type 2).
    ASSERT_EQ(client.call(32, {0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_GT(reply.body.size(), 12u);
    std::string saved = work + "/saved.ovs";
    std::ofstream(saved, std::ios::binary)
        .write(reinterpret_cast<const char *>(reply.body.data()) + 12, static_cast<std::streamsize>(reply.body.size() - 12));
    LoadedSnapshot snapshot;
    ASSERT_EQ(snapshot.load(saved), 36);
    Registry snapshotRegistry;
    AllocationTreeReply fromSnapshot;
    ASSERT_TRUE(HeapView::readAllocationTreeReply(
        snapshot.reply(&HeapProfilingSession::handleCmdAllocationUpdate, HeapView::allocationUpdateRequest(0, 1, {}, "", w)), w,
        &snapshotRegistry, &fromSnapshot));
    ASSERT_NE(fromSnapshot.root, nullptr);
    text = CallTreeView::format(*fromSnapshot.root, snapshotRegistry);
    EXPECT_EQ(atMethod(*fromSnapshot.root, snapshotRegistry, "main"), (std::pair<long long, long long>{3, 48})) << text;
    EXPECT_EQ(atMethod(*fromSnapshot.root, snapshotRegistry, "make"), (std::pair<long long, long long>{2, 32})) << text;

    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

INSTANTIATE_TEST_SUITE_P(RecordingTypes, PiagentAllocationViewsTest, ::testing::Values(1, 2));

} // namespace
