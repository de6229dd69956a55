// The front end's reading of the view replies: call tree (command 41),
// hotspots (42) and thread dump (74), on literal bytes with 4-byte IDs.
#include <gtest/gtest.h>

#include "CallTreeView.h"
#include "Registry.h"
#include "ThreadView.h"
#include "WireReader.h"

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// byte 0, ID, U2 line, JLong value, U4 count.
Bytes trailer(uint8_t id, uint8_t line, uint8_t value, uint8_t count)
{
    return {0, id, 0, 0, 0, 0, line, 0, 0, 0, 0, 0, 0, 0, value, 0, 0, 0, count};
}

TEST(ViewsTest, CallTreeWithWithheldChildren)
{
    // Every node's entry is followed by its probe annotations (U4 n, n x U4).
    Bytes none4 = {0, 0, 0, 0};
    Bytes body = cat({{1, 1, 1, 2}, trailer(0x30, 0, 40, 1), none4, {1}, trailer(0x31, 7, 60, 2), {0, 0, 0, 2, 0, 0, 0, 5, 0, 0, 1, 0},
                      trailer(0x20, 0, 100, 1), none4, trailer(0, 0, 100, 0), none4, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 1},
                      {0, 0}});
    Registry registry;
    CallTreeReply reply;
    ASSERT_TRUE(CallTreeView::readInvocationTreeReply(body, 4, &registry, &reply));
    ASSERT_NE(reply.root, nullptr);
    EXPECT_EQ(reply.valueKind, 1u);
    ASSERT_EQ(reply.root->children.size(), 1u);
    const ViewNode &a = *reply.root->children[0];
    EXPECT_EQ(a.method, 0x20u);
    EXPECT_EQ(a.value, 100);
    ASSERT_EQ(a.children.size(), 2u);
    EXPECT_TRUE(a.children[0]->childrenWithheld);
    EXPECT_EQ(a.children[0]->method, 0x30u);
    EXPECT_EQ(a.children[1]->line, 7);
    EXPECT_EQ(a.children[1]->count, 2u);
    EXPECT_EQ(a.children[1]->annotations, (std::vector<uint32_t>{5, 256}));
    EXPECT_TRUE(a.annotations.empty());

    for (size_t cut = 0; cut < body.size(); cut++) {
        SCOPED_TRACE(cut);
        Registry r;
        CallTreeReply partial;
        EXPECT_FALSE(CallTreeView::readInvocationTreeReply(Bytes(body.begin(), body.begin() + static_cast<long>(cut)), 4, &r, &partial));
    }

    Bytes empty = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0};
    CallTreeReply none;
    ASSERT_TRUE(CallTreeView::readInvocationTreeReply(empty, 4, &registry, &none));
    EXPECT_EQ(none.root, nullptr);
    EXPECT_EQ(none.valueKind, 4u);
}

TEST(ViewsTest, HotspotsWithoutBackTraces)
{
    Bytes body = cat({{1}, {1, 2}, trailer(0x20, 0, 90, 3), {1, 2}, trailer(0x21, 0, 10, 1), {0}, {0, 0, 0, 0, 0, 0, 0, 100}, {0, 0}});
    Registry registry;
    HotspotReply reply;
    ASSERT_TRUE(CallTreeView::readHotspotReply(body, 4, &registry, &reply));
    ASSERT_EQ(reply.rows.size(), 2u);
    EXPECT_EQ(reply.rows[0].method, 0x20u);
    EXPECT_EQ(reply.rows[0].calls, 3u);
    EXPECT_EQ(reply.rows[1].value, 10);
    EXPECT_EQ(reply.total, 100);
}

TEST(ViewsTest, MethodGraphEdgesAndTotals)
{
    Bytes body = cat({{1, 0x20, 0, 0, 0, 0x21, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0x01, 0x2C}, {0, 0, 0, 2}, // edge 0x20 -> 0x21
                      {0},
                      {1, 0x21, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0x01, 0x2C}, {0, 0, 0, 0, 0, 0, 0, 0x64}, {0, 0, 0, 2}, // 0x21
                      {0}, {0, 0}});
    Registry registry;
    MethodGraphReply reply;
    ASSERT_TRUE(CallTreeView::readMethodGraphReply(body, 4, &registry, &reply));
    ASSERT_EQ(reply.edges.size(), 1u);
    EXPECT_EQ(reply.edges[0].caller, 0x20u);
    EXPECT_EQ(reply.edges[0].callee, 0x21u);
    EXPECT_EQ(reply.edges[0].time, 300);
    EXPECT_EQ(reply.edges[0].calls, 2u);
    ASSERT_EQ(reply.methods.size(), 1u);
    EXPECT_EQ(reply.methods[0].total, 300);
    EXPECT_EQ(reply.methods[0].self, 100);
    EXPECT_EQ(reply.methods[0].calls, 2u);

    // A cut reply and a bad marker are refused.
    Bytes cut(body.begin(), body.begin() + 10);
    MethodGraphReply partial;
    EXPECT_FALSE(CallTreeView::readMethodGraphReply(cut, 4, &registry, &partial));
    Bytes bad = body;
    bad[0] = 3;
    EXPECT_FALSE(CallTreeView::readMethodGraphReply(bad, 4, &registry, &partial));

    EXPECT_EQ(CallTreeView::methodGraphRequest(2), (Bytes{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}));
}

TEST(ViewsTest, ThreadDumpWithDescriptions)
{
    Bytes body = cat({
        {1, 0x40, 0, 0, 0},                                            // thread 0x40
        {1, 0, 0, 0, 0, 0, 0, 0x13, 0x88},                             // trace at 5000
        {1, 0x20, 0, 0, 0, 0, 12, 1, 0x21, 0, 0, 0, 0, 30, 0},         // two frames
        {0},                                                           // end of traces
        {0},                                                           // end of threads
        {0, 0, 0, 0, 0, 0, 0x13, 0x88, 0, 0, 0, 0},                    // time, U4 0
        {1, 0x40, 0, 0, 0, 0, 4, 'm', 'a', 'i', 'n', 0, 4, 'm', 'a', 'i', 'n', 0, 0}, // names
        {0, 0, 0, 0, 0, 0, 0, 1},                                      // Java id
        {0, 0, 0, 0, 0, 0, 0, 5},                                      // start
        {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff},              // alive
        {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff},              // CPU time unknown
        {0, 0, 0, 1, 63, 0, 0, 0, 0, 0, 0, 0x27, 0x10},                // one status
        {0, 0, 0, 0}, {0, 0, 0, 0},                                    // creator, creation stack
        {0}, {0, 0, 0, 0}, {0, 0},                                     // end, bookmarks, descriptions
    });
    Registry registry;
    ThreadDumpReply dump;
    ASSERT_TRUE(ThreadView::readThreadDumpReply(body, 4, &registry, &dump));
    EXPECT_EQ(dump.time, 5000);
    ASSERT_EQ(dump.threads.size(), 1u);
    EXPECT_EQ(dump.threads[0].name, "main");
    EXPECT_EQ(dump.threads[0].end, -1);
    ASSERT_EQ(dump.threads[0].statuses.size(), 1u);
    EXPECT_EQ(dump.threads[0].statuses[0].first, 63);
    EXPECT_EQ(dump.threads[0].statuses[0].second, 10000);
    ASSERT_EQ(dump.traces[0x40].size(), 1u);
    ASSERT_EQ(dump.traces[0x40][0].frames.size(), 2u);
    EXPECT_EQ(dump.traces[0x40][0].frames[1].first, 0x21u);
    EXPECT_EQ(dump.traces[0x40][0].frames[1].second, 30);
}

} // namespace
