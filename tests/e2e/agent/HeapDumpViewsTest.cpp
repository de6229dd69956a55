// The allocation views of a heap dump in real JVMs: with allocation
// recording on, a program allocates known objects from known places; the
// front end takes a dump, totals the objects per allocation node and asks
// for the allocation tree, the hotspots and the backtrace nodes of a path.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>
#include <map>
#include <set>

#include "CallTreeView.h"
#include "FrontendClient.h"
#include "HeapDumpFile.h"
#include "HeapView.h"
#include "JvmProcess.h"
#include "WaitingJvm.h"
#include "../../support/LoopbackSocket.h"
#include "Registry.h"
#include "WireReader.h"
#include "WireWriter.h"

using namespace jvmtest;

namespace {

const uint32_t FIRST_UNRECORDED = 1431655764u;

class HeapDumpViewsE2ETest : public WaitingJvmTest {};

// An ID in the agent's width and byte order (host order).
void writeId(WireWriter &w, uint64_t id, unsigned idWidth)
{
    for (unsigned i = 0; i < idWidth; i++)
        w.writeByte(static_cast<uint8_t>(id >> (8 * i)));
}

struct Totals {
    int64_t size = 0;
    uint32_t count = 0;
};

// Node data of commands 13 and 53: U4 n and n × (ID, JLong size, U4 count).
void writeNodeData(WireWriter &w, const std::map<uint64_t, Totals> &nodes, unsigned idWidth)
{
    w.writeU4(static_cast<uint32_t>(nodes.size()));
    for (const auto &n : nodes) {
        writeId(w, n.first, idWidth);
        w.writeJLong(n.second.size);
        w.writeU4(n.second.count);
    }
}

TEST_P(HeapDumpViewsE2ETest, TheProgramsAllocatingPlacesWithTheDumpsTotals)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    Registry registry;
    Reply reply;
    ASSERT_NO_FATAL_FAILURE(startConfigured(jvm, client, PROBE_CLASSES, {"AllocWorkload"}, {0}));
    ASSERT_EQ(client.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_EQ(client.call(49, HeapView::recordRequest(true), &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(jvm.writeInput("alloc\n"));
    ASSERT_TRUE(jvm.waitFor("allocated", true, 60)) << jvm.err() << jvm.out();
    unsigned w = client.idWidth();

    // The dump: recorded objects keep their item ids and carry their nodes.
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
    std::map<uint64_t, Totals> nodes;
    std::set<uint64_t> widgetNodes;
    int widgets = 0;
    for (const JhdObject &o : dump.objects) {
        const ClassInfo *cls = registry.classOf(o.classId);
        if (cls != nullptr && cls->name == "AllocWorkload$Widget") {
            widgets++;
            // Item ids of plain objects are negative as S4; ids the dump gives start at FIRST_UNRECORDED.
            EXPECT_TRUE(static_cast<int32_t>(o.id) < 0 || o.id < FIRST_UNRECORDED) << o.id;
            EXPECT_NE(o.node, 1u) << "a recorded object carries its allocation node";
            widgetNodes.insert(o.node);
        }
        if (o.node == 1)
            continue;
        nodes[o.node].size += o.size;
        nodes[o.node].count++;
    }
    EXPECT_EQ(widgets, 7);
    // A recorded object is found by its item id (negative as S4): its int field reads 0.
    const JhdObject *widget = nullptr;
    for (const JhdObject &o : dump.objects) {
        const ClassInfo *cls = registry.classOf(o.classId);
        if (cls != nullptr && cls->name == "AllocWorkload$Widget")
            widget = &o;
    }
    ASSERT_NE(widget, nullptr);
    WireWriter values;
    values.writeU4(widget->id);
    values.writeU4(2);
    writeId(values, widget->classId, w);
    ASSERT_EQ(client.call(68, values.bytes(), &reply), FrontendClient::OK) << client.lastError();
    std::vector<uint8_t> expectedValues = values.bytes();
    expectedValues.insert(expectedValues.end(), {1, 0, 0, 0, 0});
    EXPECT_EQ(reply.body, expectedValues);
    ASSERT_EQ(widgetNodes.size(), 1u);
    ASSERT_GE(nodes.size(), 2u);

    // Hotspots (53, level 0): the Maker's node holds the 7 widgets, the 4 gadgets and what else it made.
    WireWriter hot;
    writeNodeData(hot, nodes, w);
    hot.writeU4(0);
    hot.writeByte(0);
    ASSERT_EQ(client.call(53, hot.bytes(), &reply), FrontendClient::OK) << client.lastError();
    AllocationHotspotReply hotspots;
    ASSERT_TRUE(HeapView::readAllocationHotspotReply(reply.body, w, &registry, &hotspots));
    std::map<std::string, HotspotRow> byName;
    int64_t total = 0;
    for (const HotspotRow &row : hotspots.rows) {
        const MethodInfo *m = registry.method(row.method);
        if (m != nullptr)
            byName[m->name] = row;
        total += row.value;
    }
    ASSERT_EQ(byName.count("AllocWorkload$Maker"), 1u);
    EXPECT_EQ(byName["AllocWorkload$Maker"].calls, nodes[*widgetNodes.begin()].count);
    EXPECT_GE(byName["AllocWorkload$Maker"].calls, 11u);
    EXPECT_EQ(byName["AllocWorkload$Maker"].value, nodes[*widgetNodes.begin()].size);
    ASSERT_EQ(byName.count("AllocWorkload$ArrayMaker"), 1u);
    EXPECT_EQ(byName["AllocWorkload$ArrayMaker"].calls, 9u);
    EXPECT_EQ(hotspots.total, total);
    // Its back traces (78): the hotspot record first.
    WireWriter expandHot;
    writeId(expandHot, byName["AllocWorkload$Maker"].method, w);
    ASSERT_EQ(client.call(78, expandHot.bytes(), &reply), FrontendClient::OK) << client.lastError();
    ASSERT_FALSE(reply.body.empty());
    EXPECT_EQ(reply.body[0], 1);

    // The allocation tree (13, level 0): the path down to the Maker's node.
    WireWriter tree;
    writeNodeData(tree, nodes, w);
    tree.writeU4(0);
    tree.writeU4(10000);
    tree.writeU4(0);
    tree.writeByte(0);
    tree.writeU2(0);
    ASSERT_EQ(client.call(13, tree.bytes(), &reply), FrontendClient::OK) << client.lastError();
    AllocationTreeReply allocations;
    ASSERT_TRUE(HeapView::readAllocationTreeReply(reply.body, w, &registry, &allocations));
    ASSERT_NE(allocations.root, nullptr);
    std::vector<const ViewNode *> all;
    CallTreeView::collect(*allocations.root, &all);
    std::vector<std::pair<uint64_t, uint16_t>> makerPath;
    std::function<bool(const ViewNode &, std::vector<std::pair<uint64_t, uint16_t>> &)> find =
        [&](const ViewNode &n, std::vector<std::pair<uint64_t, uint16_t>> &path) {
            for (const auto &child : n.children) {
                path.push_back({child->method, child->line});
                const MethodInfo *m = registry.method(child->method);
                if ((m != nullptr && m->name == "AllocWorkload$Maker") || find(*child, path))
                    return true;
                path.pop_back();
            }
            return false;
        };
    ASSERT_TRUE(find(*allocations.root, makerPath)) << CallTreeView::format(*allocations.root, registry);
    // Expanding the node (20) by its path.
    WireWriter expand;
    expand.writeU4(10000);
    expand.writeU4(0);
    expand.writeU2(static_cast<uint16_t>(makerPath.size()));
    for (const auto &step : makerPath) {
        writeId(expand, step.first, w);
        expand.writeU2(step.second);
    }
    ASSERT_EQ(client.call(20, expand.bytes(), &reply), FrontendClient::OK) << client.lastError();
    ASSERT_FALSE(reply.body.empty());
    EXPECT_EQ(reply.body[0], 1);

    // The data set of that path (21, kind 4): the widgets' backtrace node.
    WireWriter set;
    set.writeByte(4);
    set.writeU4(0);
    set.writeU2(1);
    set.writeByte(0);
    set.writeU2(static_cast<uint16_t>(makerPath.size()));
    for (const auto &step : makerPath) {
        writeId(set, step.first, w);
        set.writeU2(step.second);
    }
    ASSERT_EQ(client.call(21, set.bytes(), &reply), FrontendClient::OK) << client.lastError();
    WireReader setReply(reply.body);
    std::set<uint64_t> selected;
    while (!setReply.error() && setReply.readByte() == 1)
        selected.insert(setReply.readID(w));
    EXPECT_EQ(selected, widgetNodes);

    // At the class level (1) the same objects are under the program's class.
    WireWriter classLevel;
    writeNodeData(classLevel, nodes, w);
    classLevel.writeU4(1);
    classLevel.writeByte(0);
    ASSERT_EQ(client.call(53, classLevel.bytes(), &reply), FrontendClient::OK) << client.lastError();
    AllocationHotspotReply byClass;
    ASSERT_TRUE(HeapView::readAllocationHotspotReply(reply.body, w, &registry, &byClass));
    EXPECT_EQ(byClass.total, hotspots.total);

    ASSERT_TRUE(jvm.writeInput("quit\n"));
    client.call(46, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
}

INSTANTIATE_TEST_SUITE_P(Jdks, HeapDumpViewsE2ETest, testing::ValuesIn(JDK_HOMES));

} // namespace
