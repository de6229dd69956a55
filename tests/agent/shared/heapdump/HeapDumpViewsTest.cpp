// The allocation views of a heap dump over the backtrace tree: the tree
// with the dump's totals (command 13) and its nodes (20), the hotspots (53)
// and their back traces (78), the backtrace nodes of selected paths and
// hotspots (21); sizes of 2 GiB and more keep all their bits; node IDs the
// agent does not know are skipped.
#include <gtest/gtest.h>

#include <functional>

#include "ByteArrayDataReader.h"
#include "CallTreeView.h"
#include "HeapDumpViews.h"
#include "HeapProfilingSession.h"
#include "HeapView.h"
#include "ProfilingTestSupport.h"
#include "Registry.h"

namespace {

class HeapDumpViewsTest : public testing::Test {
protected:
    HeapDumpViewsTest() : cls("app/Thing", &classes), heap(&profiling, &classes)
    {
        threadRoot = threadPool.getInstance(false);
        threadRoot->initialize(nullptr, nullptr, nullptr, 0);
        mainMethod = method("main");
        makeMethod = method("make");
        mainNode = threadRoot->addChild(mainMethod, 0, &threadPool);
        makeNode = mainNode->addChild(makeMethod, 7, &threadPool);
        heap.setChrono(false);
        heap.setAllocRecord(true, true);
        // One allocation at each place gives the backtrace tree its nodes.
        mainBacktrace = heap.getIds().getAllocItem(heap.recordAllocation(mainNode, 40, 8, nullptr, 0))->node;
        makeBacktrace = heap.getIds().getAllocItem(heap.recordAllocation(makeNode, 24, 2, &cls, 0))->node;
        CharVectorDataWriter discard;
        classes.writeClassDescriptions(&discard, true);
        classes.writeMethodDescriptions(&discard, true);
    }
    ~HeapDumpViewsTest() override { threadRoot->freeAll(&threadPool); }

    MethodDesc *method(const char *name)
    {
        MethodDesc *m = new MethodDesc(&cls, name, -1, "()V", -1, &classes, cls.getClassName());
        classes.addMethodDesc(m);
        return m;
    }

    // Node data: the make node with 6 GiB in 2 objects, the main node with
    // 40 bytes in 1, and a node nobody knows.
    Wire nodeData()
    {
        return Wire().u4(3).id(makeBacktrace).jlong(3LL << 31).u4(2).id(mainBacktrace).jlong(40).u4(1)
            .id(reinterpret_cast<void *>(0xDEAD0)).jlong(99).u4(9);
    }

    std::vector<unsigned char> run(const std::function<void(DataReader *, DataWriter *)> &handler, const Wire &request)
    {
        std::vector<char> bytes(request.b.begin(), request.b.end());
        ByteArrayDataReader reader(bytes.data(), static_cast<int>(bytes.size()));
        CharVectorDataWriter w;
        handler(&reader, &w);
        return bytesOf(w);
    }

    std::vector<unsigned char> allocations(const Wire &request)
    {
        return run([&](DataReader *r, DataWriter *w) { views.handleCmdDumpAllocations(context(), r, w); }, request);
    }
    std::vector<unsigned char> expand(const Wire &request)
    {
        return run([&](DataReader *r, DataWriter *w) { views.handleCmdExpandDumpAllocationNode(r, w); }, request);
    }
    std::vector<unsigned char> hotspots(const Wire &request)
    {
        return run([&](DataReader *r, DataWriter *w) { views.handleCmdDumpAllocationHotspots(context(), r, w); }, request);
    }
    std::vector<unsigned char> expandHotspot(const Wire &request)
    {
        return run([&](DataReader *r, DataWriter *w) { views.handleCmdExpandDumpAllocationHotspot(r, w); }, request);
    }
    std::vector<unsigned char> dataSet(const Wire &request)
    {
        return run([&](DataReader *r, DataWriter *w) { views.handleCmdCreateDataSet(context(), r, w); }, request);
    }
    HeapDumpViews::Context context() { return {&profiling, &heap, &classes}; }

    ProfilingSession profiling;
    ClassProfilingSession classes{&profiling};
    ClassData cls;
    HeapProfilingSession heap;
    InstancePool<CallStackTree> threadPool;
    CallStackTree *threadRoot;
    MethodDesc *mainMethod;
    MethodDesc *makeMethod;
    CallStackTree *mainNode;
    CallStackTree *makeNode;
    CallStackTree *mainBacktrace;
    CallStackTree *makeBacktrace;
    HeapDumpViews views;
};

TEST_F(HeapDumpViewsTest, AllocationTreeCarriesTheDumpsTotalsWithAllSixtyFourBits)
{
    ASSERT_NE(mainBacktrace, nullptr);
    ASSERT_NE(makeBacktrace, nullptr);
    // Level 0, unlimited depth, threshold 0, no selection tree, the path main > make.
    Wire request = nodeData();
    request.u4(0).u4(10000).u4(0).byte(0).u2(2).id(mainMethod).u2(0).id(makeMethod).u2(7);
    std::vector<unsigned char> reply = allocations(request);
    Registry registry;
    AllocationTreeReply tree;
    ASSERT_TRUE(HeapView::readAllocationTreeReply(std::vector<uint8_t>(reply.begin(), reply.end()), 8, &registry, &tree));
    ASSERT_NE(tree.root, nullptr);
    ASSERT_EQ(tree.root->children.size(), 1u);
    const ViewNode &main = *tree.root->children[0];
    EXPECT_EQ(main.method, reinterpret_cast<uintptr_t>(mainMethod));
    EXPECT_EQ(main.value, (3LL << 31) + 40);
    EXPECT_EQ(main.count, 3u);
    ASSERT_EQ(main.children.size(), 1u);
    EXPECT_EQ(main.children[0]->method, reinterpret_cast<uintptr_t>(makeMethod));
    EXPECT_EQ(main.children[0]->line, 7);
    EXPECT_EQ(main.children[0]->value, 3LL << 31);
    EXPECT_EQ(main.children[0]->count, 2u);
    EXPECT_EQ(tree.selectedPath, (std::vector<std::pair<uint64_t, uint16_t>>{
                                     {reinterpret_cast<uintptr_t>(mainMethod), 0}, {reinterpret_cast<uintptr_t>(makeMethod), 7}}));

    // Nodes of that tree by their paths; a path that is not there gives byte 0.
    std::vector<unsigned char> node = expand(Wire().u4(10000).u4(0).u2(1).id(mainMethod).u2(0));
    ASSERT_FALSE(node.empty());
    EXPECT_EQ(node[0], 1);
    EXPECT_EQ(expand(Wire().u4(10000).u4(0).u2(1).id(makeMethod).u2(7)), Wire().byte(0).b);

    // A request cut short: an empty tree, no path, the descriptions.
    EXPECT_EQ(allocations(Wire().u4(1).id(makeBacktrace)), Wire().byte(0).u4(0).byte(0).byte(0).b);
}

TEST_F(HeapDumpViewsTest, HotspotsAndTheirBackTraces)
{
    std::vector<unsigned char> reply = hotspots(nodeData().u4(0).byte(0));
    Wire expected;
    expected.byte(1)
        .byte(1).byte(2).byte(0).id(makeMethod).u2(0).jlong(3LL << 31).u4(2)
        .byte(1).byte(2).byte(0).id(mainMethod).u2(0).jlong(40).u4(1)
        .byte(0).id(nullptr).u2(0).jlong(0).u4(0)
        .jlong((3LL << 31) + 40)
        .byte(0).byte(0);
    EXPECT_EQ(reply, expected.b);
    std::vector<unsigned char> traces = expandHotspot(Wire().id(makeMethod));
    ASSERT_FALSE(traces.empty());
    EXPECT_EQ(traces[0], 1);
    // A method that is no hotspot, or a forged one: byte 0.
    EXPECT_EQ(expandHotspot(Wire().id(&cls)), Wire().byte(0).b);
    EXPECT_EQ(expandHotspot(Wire().id(reinterpret_cast<void *>(0x1234))), Wire().byte(0).b);
}

TEST_F(HeapDumpViewsTest, DataSetsNameTheBacktraceNodesOfSelectedPathsAndHotspots)
{
    allocations(nodeData().u4(0).u4(10000).u4(0).byte(0).u2(0));
    const struct {
        const char *what;
        Wire request;
        Wire reply;
    } cases[] = {
        {"the make node alone", Wire().byte(4).u4(0).u2(1).byte(0).u2(2).id(mainMethod).u2(0).id(makeMethod).u2(7),
         Wire().byte(1).id(makeBacktrace).byte(0).byte(0)},
        {"main with its descendants", Wire().byte(4).u4(0).u2(1).byte(1).u2(1).id(mainMethod).u2(0),
         Wire().byte(1).id(mainBacktrace).byte(1).id(makeBacktrace).byte(0).byte(0)},
        {"a path that is not there", Wire().byte(4).u4(0).u2(1).byte(1).u2(1).id(makeMethod).u2(7),
         Wire().byte(0).byte(0)},
        {"the same node twice is named once",
         Wire().byte(4).u4(0).u2(2).byte(0).u2(1).id(mainMethod).u2(0).byte(0).u2(1).id(mainMethod).u2(0),
         Wire().byte(1).id(mainBacktrace).byte(0).byte(0)},
        {"the hotspot make", Wire().byte(6).u4(0).byte(0).u2(1).u2(1).id(makeMethod).u2(0),
         Wire().byte(1).id(makeBacktrace).byte(0).byte(0)},
        {"an unknown kind", Wire().byte(9), Wire().byte(0).byte(0)},
        {"cut short", Wire().byte(4).u4(0).u2(3), Wire().byte(0).byte(0)},
    };
    for (const auto &c : cases)
        EXPECT_EQ(dataSet(c.request), c.reply.b) << c.what;
}

} // namespace
