#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "PointerHashMap.h"
#include "PointerHashSet.h"

namespace {

int *tag(uintptr_t n)
{
    return reinterpret_cast<int *>(n);
}

} // namespace

TEST(PointerHashMapTest, GrowthFollowsThresholdTable)
{
    struct Case {
        const char *name;
        int capacity;
        float load;
        int inserts;
        int expectCapacity;
        int expectThreshold;
    };
    const Case cases[] = {
        {"zero capacity gives one bucket that never grows", 0, 0.75f, 40, 1, 0},
        {"eight keys fit in 11 buckets", 11, 0.75f, 8, 11, 8},
        {"ninth key grows to 23", 11, 0.75f, 9, 23, 17},
        {"seventeen keys stay in 23", 11, 0.75f, 17, 23, 17},
        {"eighteenth key grows to 47", 11, 0.75f, 18, 47, 35},
        {"load factor 0 never grows", 50, 0.0f, 500, 50, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PointerHashMap<int, int> map(c.capacity, c.load);
        for (int i = 0; i < c.inserts; i++)
            map.put(i * 7 + 1, tag(i + 1));
        EXPECT_EQ(map.getCapacity(), c.expectCapacity);
        EXPECT_EQ(map.getThreshold(), c.expectThreshold);
        EXPECT_EQ(map.size(), c.inserts);
        for (int i = 0; i < c.inserts; i++)
            ASSERT_EQ(map.get(i * 7 + 1), tag(i + 1));
    }
}

TEST(PointerHashMapTest, PutRemoveChangeKeyAndClear)
{
    PointerHashMap<int, void *> map(11, 0.75f);
    void *k1 = tag(0x1000);
    void *k2 = tag(0x2000);
    EXPECT_EQ(map.put(k1, tag(1)), nullptr);
    EXPECT_EQ(map.put(k1, tag(2)), tag(1)) << "existing key returns the previous value";
    EXPECT_EQ(map.size(), 1);
    EXPECT_EQ(map.get(k1), tag(2));
    EXPECT_EQ(map.get(k2), nullptr);

    EXPECT_EQ(map.changeKey(k2, tag(0x3000)), nullptr) << "absent key moves nothing";
    EXPECT_EQ(map.size(), 1);
    EXPECT_EQ(map.changeKey(k1, k2), tag(2));
    EXPECT_EQ(map.get(k1), nullptr);
    EXPECT_EQ(map.get(k2), tag(2));

    EXPECT_EQ(map.remove(k1), nullptr);
    EXPECT_EQ(map.remove(k2), tag(2));
    EXPECT_EQ(map.isEmpty(), 1);

    map.put(k1, tag(5));
    map.put(k2, tag(6));
    map.clear();
    EXPECT_EQ(map.size(), 0);
    EXPECT_EQ(map.getCapacity(), 11);
    EXPECT_EQ(map.get(k1), nullptr);
}

TEST(PointerHashMapTest, BucketIsMixedKeyModuloCapacity)
{
    // Hashes worked out by hand from the rule (x ^ x>>12 ^ x>>20, then h ^ h>>4 ^ h>>7).
    const struct {
        uint32_t key;
        uint32_t hash;
        unsigned bucketOf11;
    } cases[] = {
        {0, 0, 0},
        {1, 1, 1},
        {0x12345678u, 0x133249B7u, 1},
        {0xFFFFFFFFu, 0xF1F0EF1Fu, 10},
        {0x00100000u, 0x00112113u, 7},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(pointerHashMapHash(c.key, false), c.hash);
        EXPECT_EQ((PointerHashMap<int, int>::bucketFor(static_cast<int>(c.key), 11)), c.bucketOf11);
    }
    // 64-bit keys fold the high word into the low one before mixing.
    EXPECT_EQ((PointerHashMap<int, long long>::bucketFor(0x0000000500000003LL, 47)), 6u);
    EXPECT_EQ(pointerHashMapHash(0x1234567800000001ULL, true), 0x133249B6u);
    EXPECT_EQ((PointerHashMap<int, long long>::bucketFor(0x1234567800000001LL, 47)), 21u);
}

TEST(PointerHashMapTest, WideKeysDifferingOnlyInHighWordStayApart)
{
    PointerHashMap<int, long long> map(11, 0.75f);
    // Same low XOR high, so the same bucket, yet different keys.
    long long a = 0x0000000100000002LL;
    long long b = 0x0000000200000001LL;
    ASSERT_EQ((PointerHashMap<int, long long>::bucketFor(a, 11)), (PointerHashMap<int, long long>::bucketFor(b, 11)));
    map.put(a, tag(1));
    map.put(b, tag(2));
    EXPECT_EQ(map.size(), 2);
    EXPECT_EQ(map.get(a), tag(1));
    EXPECT_EQ(map.get(b), tag(2));
}

TEST(PointerHashMapTest, IteratesHighBucketFirstNewestFirstAndRemoves)
{
    PointerHashMap<int, int> oneBucket(1, 0.75f);
    for (int i = 1; i <= 4; i++)
        oneBucket.put(i, tag(i));
    PHMIterator<int, int> *it = oneBucket.getPHMIterator();
    std::vector<int *> seen;
    while (it->hasNext())
        seen.push_back(it->next());
    EXPECT_EQ(seen, (std::vector<int *>{tag(4), tag(3), tag(2), tag(1)}));
    EXPECT_EQ(it->next(), nullptr);
    EXPECT_EQ(it->getLastReturned(), tag(1));

    // Remove an inner chain entry while iterating.
    it->reset();
    it->next();
    it->next();
    it->remove();
    it->remove(); // nothing left to remove
    EXPECT_EQ(oneBucket.size(), 3);
    EXPECT_EQ(oneBucket.get(3), nullptr);
    seen.clear();
    while (it->hasNext())
        seen.push_back(it->next());
    EXPECT_EQ(seen, (std::vector<int *>{tag(2), tag(1)}));
    delete it;

    // Across buckets: order is by bucket index descending.
    PointerHashMap<int, int> spread(11, 0.0f);
    std::vector<std::pair<unsigned, int>> order;
    for (int k = 1; k <= 30; k++)
        spread.put(k, tag(k));
    PHMIterator<int, int> *walk = spread.getPHMIterator();
    unsigned last = 11;
    int count = 0;
    while (PHMEntry<int, int> *e = walk->nextEntry()) {
        unsigned b = PointerHashMap<int, int>::bucketFor(e->getKey(), 11);
        EXPECT_LE(b, last);
        last = b;
        count++;
    }
    EXPECT_EQ(count, 30);
    delete walk;
}

TEST(PointerHashMapTest, RehashKeepsEveryEntryAndReversesChains)
{
    PointerHashMap<int, int> map(1, 1.0f); // threshold 1: the second key grows to 3 buckets
    map.put(10, tag(10));
    map.put(20, tag(20));
    EXPECT_EQ(map.getCapacity(), 3);
    map.put(30, tag(30));
    map.put(40, tag(40));
    EXPECT_EQ(map.getCapacity(), 7);
    for (int k : {10, 20, 30, 40})
        EXPECT_EQ(map.get(k), tag(k));
}

TEST(PointerHashMapTest, StatisticsOfChains)
{
    // Keys chosen to fill buckets 0, 1, 2 of 7 with chains of lengths 1, 2 and 3.
    PointerHashMap<int, int> map(7, 0.0f);
    std::vector<int> perBucket[7];
    for (int k = 1; perBucket[0].size() < 1 || perBucket[1].size() < 2 || perBucket[2].size() < 3; k++) {
        unsigned b = PointerHashMap<int, int>::bucketFor(k, 7);
        size_t want = b + 1;
        if (b <= 2 && perBucket[b].size() < want) {
            perBucket[b].push_back(k);
            map.put(k, tag(k));
        }
    }
    EXPECT_EQ(map.getNumCollisions(), 5);
    EXPECT_FLOAT_EQ(map.getAvgUsedBucketCharge(), 2.0f);
    EXPECT_FLOAT_EQ(map.getLoadFactor(), 6.0f / 7.0f);

    PointerHashMap<int, int> empty(11, 0.75f);
    EXPECT_TRUE(std::isnan(empty.getAvgUsedBucketCharge()));
    EXPECT_EQ(empty.getNumCollisions(), 0);
}

TEST(PointerHashMapTest, DeleteValuesFreesValues)
{
    PointerHashMap<void, int> map(11, 0.75f);
    for (int i = 0; i < 20; i++)
        map.put(i, std::malloc(16));
    map.deleteValues(); // leak checkers catch a value left behind
    EXPECT_EQ(map.size(), 0);
}

TEST(PointerHashSetTest, AddContainsRemoveAndIterate)
{
    PointerHashSet<int> set(11, 0.75f);
    EXPECT_EQ(set.add(tag(11)), 1);
    EXPECT_EQ(set.add(tag(11)), 0);
    EXPECT_EQ(set.size(), 1);
    EXPECT_EQ(set.add(tag(22)), 1); // 22 % 11 == 0 as well: one chain, newest first
    EXPECT_EQ(set.add(tag(5)), 1);
    EXPECT_EQ(set.contains(tag(22)), 1);
    EXPECT_EQ(set.contains(tag(33)), 0);
    EXPECT_EQ((PointerHashSet<int>::bucketFor(tag(22), 11)), 0u);

    PHSIterator<int> *it = set.getSinglePHSIterator();
    std::vector<int *> seen;
    while (it->hasNext())
        seen.push_back(it->next());
    EXPECT_EQ(seen, (std::vector<int *>{tag(5), tag(22), tag(11)}));

    set.remove(tag(33)); // absent: nothing changes
    set.remove(tag(22));
    EXPECT_EQ(set.size(), 2);
    it = set.getSinglePHSIterator();
    EXPECT_EQ(it->next(), tag(5));
    it->remove();
    EXPECT_EQ(set.contains(tag(5)), 0);
    set.clear();
    EXPECT_EQ(set.isEmpty(), 1);
    // Entries come back from the pool after clear.
    for (uintptr_t p = 1; p <= 100; p++)
        set.add(tag(p));
    EXPECT_EQ(set.size(), 100);
    EXPECT_EQ(set.getCapacity(), 191); // 11 → 23 → 47 → 95 → 191
}
