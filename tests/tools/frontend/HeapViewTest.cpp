// The heap commands as the front end speaks them: request bytes and the
// parsing of literal replies.
#include <gtest/gtest.h>

#include "HeapView.h"
#include "Registry.h"

namespace {

TEST(HeapViewTest, HeapUsageReplyHasTwoListsAndTheNewClasses)
{
    std::vector<uint8_t> body = {
        1, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 96,          // int arrays: 2, 96 bytes
        1, 0, 2, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 112,   // class 0x10: 7, 112
        0,                                                                                       // end of live
        1, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0, /* count */ 0, 0, 0, 1, 0x80, 0, 0, 0, /* size */ 0, 0, 0, 0, 0, 0, 0, 0,
        0,                                                                                       // end of collected
        0,                                                                                       // no new classes
    };
    Registry registry;
    HeapUsageReply reply;
    ASSERT_TRUE(HeapView::readHeapUsageReply(body, 8, &registry, &reply));
    ASSERT_EQ(reply.live.size(), 2u);
    EXPECT_EQ(reply.live[0].type, 8);
    EXPECT_EQ(reply.live[0].classId, 0u);
    EXPECT_EQ(reply.live[0].count, 2);
    EXPECT_EQ(reply.live[0].size, 96);
    EXPECT_EQ(reply.live[1].classId, 0x10u);
    EXPECT_EQ(reply.live[1].count, 7);
    ASSERT_EQ(reply.collected.size(), 1u);
    EXPECT_EQ(reply.collected[0].count, 0x180000000LL);
    EXPECT_EQ(reply.collected[0].size, 0);
    // A cut reply or trailing bytes are refused.
    for (size_t cut : {size_t(5), body.size() - 1}) {
        HeapUsageReply partial;
        EXPECT_FALSE(HeapView::readHeapUsageReply(std::vector<uint8_t>(body.begin(), body.begin() + static_cast<long>(cut)), 8,
                                                  &registry, &partial))
            << cut;
    }
    std::vector<uint8_t> longer = body;
    longer.push_back(0);
    EXPECT_FALSE(HeapView::readHeapUsageReply(longer, 8, &registry, &reply));
}

TEST(HeapViewTest, AllocationRequestBytes)
{
    EXPECT_EQ(HeapView::allocationRequest(2, 3, {{2, 0x1122}, {8, 0}}, "com.x", 8),
              (std::vector<uint8_t>{1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 2,                  //
                                    0, 2, 0x22, 0x11, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, //
                                    0, 5, 'c', 'o', 'm', '.', 'x'}));
    EXPECT_EQ(HeapView::expandRequest({{0x33, 7}}, 4), (std::vector<uint8_t>{0, 0, 0x27, 0x10, 0, 0, 0, 0, 0, 1, 0x33, 0, 0, 0, 0, 7}));
    EXPECT_EQ(HeapView::recordRequest(true), (std::vector<uint8_t>{1, 0, 0, 0, 0}));
    EXPECT_EQ(HeapView::recordRequest(false), (std::vector<uint8_t>{0, 0, 0, 0, 0}));
}

TEST(HeapViewTest, HotspotReplyWithAndWithoutTree)
{
    Registry registry;
    AllocationHotspotReply none;
    ASSERT_TRUE(HeapView::readAllocationHotspotReply({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, &registry, &none));
    EXPECT_FALSE(none.present);
    EXPECT_TRUE(none.rows.empty());
    std::vector<uint8_t> body = {1,                                                  // a view tree
                                 1, 2, 0, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0,          // row: method 0x40, line 0
                                 0, 0, 0, 0, 0, 0, 0, 48, 0, 0, 0, 2,               // 48 bytes, 2 objects
                                 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, // closing record
                                 0, 0, 0, 0, 0, 0, 0, 88,                           // sum
                                 0, 0};                                             // no methods, no classes
    AllocationHotspotReply reply;
    ASSERT_TRUE(HeapView::readAllocationHotspotReply(body, 8, &registry, &reply));
    ASSERT_EQ(reply.rows.size(), 1u);
    EXPECT_EQ(reply.rows[0].method, 0x40u);
    EXPECT_EQ(reply.rows[0].value, 48);
    EXPECT_EQ(reply.rows[0].calls, 2u);
    EXPECT_EQ(reply.total, 88);
}

} // namespace
