#include <gtest/gtest.h>

#include <vector>

#include "StandaloneTableInstancePool.h"

namespace {

// An array record clears its first fields when its block is built.
struct ArrayItem {
    ArrayItem() : a(0), b(0) {}
    int a;
    int b;
    int c;
};

} // namespace

TEST(StandaloneTableInstancePoolTest, IdsFollowSignAndStart)
{
    struct Case {
        const char *name;
        bool negative;
        int start;
        std::vector<int> expect;
    };
    const Case cases[] = {
        {"positive from 10", false, 10, {10, 11, 12}},
        {"negative from 10", true, 10, {-10, -11, -12}},
        {"timed positive", false, 0x2AAAAAAA, {715827882, 715827883, 715827884}},
        {"timed negative", true, 0x2AAAAAAA, {-715827882, -715827883, -715827884}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        StandaloneTableInstancePool<long long> pool(c.negative, c.start);
        std::vector<int> ids;
        for (size_t i = 0; i < c.expect.size(); i++)
            ids.push_back(pool.getNewInstanceId());
        EXPECT_EQ(ids, c.expect);
        // A freed id comes back first, last freed first.
        EXPECT_TRUE(pool.freeInstance(ids[1]));
        EXPECT_TRUE(pool.freeInstance(ids[0]));
        EXPECT_EQ(pool.getNewInstanceId(), ids[0]);
        EXPECT_EQ(pool.getNewInstanceId(), ids[1]);
        // Distinct ids, distinct records; the same id, the same record.
        EXPECT_NE(pool.getInstance(ids[0]), pool.getInstance(ids[1]));
        EXPECT_EQ(pool.getInstance(ids[2]), pool.getInstance(ids[2]));
        EXPECT_EQ(pool.getInstance(ids[1]) - pool.getInstance(ids[0]), 1);
    }
}

TEST(StandaloneTableInstancePoolTest, BlocksOfFiveThousandOnDemand)
{
    StandaloneTableInstancePool<ArrayItem> pool(false, 10);
    EXPECT_EQ(pool.getBlockCount(), 1u);
    for (int i = 0; i <= 5000; i++)
        pool.getNewInstanceId();
    ArrayItem *first = pool.getInstance(10);
    EXPECT_EQ(pool.getBlockCount(), 1u) << "issuing ids allocates no block";
    ArrayItem *secondBlock = pool.getInstance(5010);
    EXPECT_EQ(pool.getBlockCount(), 2u);
    EXPECT_EQ(secondBlock->a, 0);
    EXPECT_EQ(secondBlock->b, 0);
    EXPECT_EQ(pool.getInstance(5009), first + 4999);
    EXPECT_EQ(pool.getInstance(10), first) << "addresses stay valid when blocks are added";
}

TEST(StandaloneTableInstancePoolTest, RefusesIdsNeverIssued)
{
    struct Case {
        const char *name;
        bool negative;
        int id;
    };
    const Case cases[] = {
        {"below start", false, 9},
        {"not yet issued", false, 13},
        {"far beyond", false, 2000000000},
        {"wrong sign", false, -10},
        {"negative pool, positive id", true, 10},
        {"negative pool, not yet issued", true, -13},
        {"most negative", true, INT32_MIN},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        StandaloneTableInstancePool<int> pool(c.negative, 10);
        for (int i = 0; i < 3; i++)
            pool.getNewInstanceId();
        EXPECT_EQ(pool.getInstance(c.id), nullptr);
        EXPECT_FALSE(pool.freeInstance(c.id));
        EXPECT_EQ(pool.getBlockCount(), 1u);
        EXPECT_EQ(pool.getNewInstanceId(), c.negative ? -13 : 13) << "a refused free is not reused";
    }
}

TEST(StandaloneTableInstancePoolTest, ZeroAllInstancesKeepsIds)
{
    StandaloneTableInstancePool<ArrayItem> pool(true, 10);
    int a = pool.getNewInstanceId();
    int b = pool.getNewInstanceId();
    pool.getInstance(a)->c = 42;
    pool.getInstance(b)->a = 5;
    pool.freeInstance(b);
    pool.zeroAllInstances();
    EXPECT_EQ(pool.getInstance(a)->c, 0);
    EXPECT_EQ(pool.getInstance(b)->a, 0);
    EXPECT_EQ(pool.getNewInstanceId(), b);
    EXPECT_EQ(pool.getNewInstanceId(), -12);
}
