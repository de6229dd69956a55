// piagent under jvmpihost: allocations the VM reports become the objects of
// a heap dump that the VM's own dump records are converted into, read by
// the front end as it reads tiagent's.
#include "PiagentHost.h"

#include <zlib.h>

#include <algorithm>
#include <map>

#include "HeapDumpFile.h"
#include "HeapView.h"
#include "Registry.h"
#include "WireReader.h"

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

} // namespace
