// The live-object table and the item pools of the profiler-interface binding.
#include <gtest/gtest.h>

#include "PiChronoHeapArrayAllocItem.h"
#include "ClassData.h"
#include "PiHeapAllocItem.h"
#include "PiHeapArrayAllocItem.h"
#include "OptHashTable.h"
#include "TableInstancePool.h"

#include <cstdint>
#include <memory>
#include <set>
#include <vector>

namespace {

using Table = OptHashTable<jobjectID, PiHeapAllocItem>;

jobjectID id(uint64_t value)
{
    return reinterpret_cast<jobjectID>(static_cast<uintptr_t>(value));
}

uint64_t value(const PiHeapAllocItem *item)
{
    return reinterpret_cast<uintptr_t>(item->getObjectId());
}

// Items with the given ids, owned by the fixture's vector.
std::vector<std::unique_ptr<PiHeapAllocItem>> makeItems(const std::vector<uint64_t> &ids)
{
    std::vector<std::unique_ptr<PiHeapAllocItem>> items;
    for (uint64_t each : ids) {
        items.emplace_back(new PiHeapAllocItem());
        items.back()->setObjectId(id(each));
    }
    return items;
}

std::vector<uint64_t> iterate(const Table &table)
{
    std::vector<uint64_t> seen;
    std::unique_ptr<Table::Iterator> iterator(table.getIterator());
    while (iterator->hasNext())
        seen.push_back(value(iterator->next()));
    return seen;
}

TEST(OptHashTableTest, CapacityAfterPuts)
{
    struct Case {
        int capacity;
        float loadFactor;
        int puts;
        int capacityAfter;
        int thresholdAfter;
    };
    const Case cases[] = {
        {0, 0.75f, 5, 1, 0},  // one bucket; a threshold of 0 never rehashes
        {4, 0.75f, 3, 4, 3},  // size reaches the threshold, no put at it yet
        {4, 0.75f, 4, 9, 6},  // the put at size = threshold rehashes to 2c + 1 first
        {4, 0.75f, 6, 9, 6},
        {4, 0.75f, 7, 19, 14},
        {1, 1.0f, 2, 3, 3},
        {-5, 2.0f, 3, 3, 6},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.capacity << " " << c.loadFactor << " " << c.puts);
        Table table(c.capacity, c.loadFactor);
        std::vector<uint64_t> ids;
        for (int i = 0; i < c.puts; ++i)
            ids.push_back(100 + i);
        auto items = makeItems(ids);
        for (auto &item : items)
            EXPECT_EQ(table.put(item.get()), nullptr);
        EXPECT_EQ(table.getCapacity(), c.capacityAfter);
        EXPECT_EQ(table.getThreshold(), c.thresholdAfter);
        EXPECT_EQ(table.size(), c.puts);
        for (auto &item : items)
            EXPECT_EQ(table.get(item->getObjectId()), item.get());
    }
}

TEST(OptHashTableTest, PutOfAnItemAlreadyThereChangesNothing)
{
    Table table(8, 0.75f);
    auto items = makeItems({3});
    EXPECT_EQ(table.put(items[0].get()), nullptr);
    EXPECT_EQ(table.put(items[0].get()), items[0].get());
    EXPECT_EQ(table.size(), 1);
    EXPECT_EQ(iterate(table), std::vector<uint64_t>{3});
}

TEST(OptHashTableTest, EqualKeysCoexistAndRemoveTakesTheNewestFirst)
{
    Table table(8, 0.75f);
    auto items = makeItems({5, 5});
    table.put(items[0].get());
    table.put(items[1].get());
    EXPECT_EQ(table.size(), 2);
    EXPECT_EQ(table.remove(id(5)), items[1].get());
    EXPECT_EQ(table.remove(id(5)), items[0].get());
    EXPECT_EQ(table.remove(id(5)), nullptr);
    EXPECT_TRUE(table.isEmpty());
}

TEST(OptHashTableTest, ChangeKeyMovesTheItemAndIgnoresUnknownIds)
{
    Table table(7, 0.75f);
    auto items = makeItems({10, 17});
    table.put(items[0].get());
    table.put(items[1].get());
    EXPECT_EQ(table.changeKey(id(99), id(50)), nullptr);
    EXPECT_EQ(table.size(), 2);
    EXPECT_EQ(table.get(id(50)), nullptr);

    EXPECT_EQ(table.changeKey(id(10), id(50)), items[0].get());
    EXPECT_EQ(table.size(), 2);
    EXPECT_EQ(table.get(id(10)), nullptr);
    EXPECT_EQ(table.get(id(50)), items[0].get());
    EXPECT_EQ(table.get(id(17)), items[1].get());
    EXPECT_EQ(value(items[0].get()), 50u);
}

TEST(OptHashTableTest, IteratesFromTheLastBucketToTheFirstEachChainFromItsHead)
{
    Table table(5, 0.0f);
    // 6 and 1 share bucket 1 (6 is the newer head); the key with high bits
    // lands by its low 32 bits in bucket 4.
    auto items = makeItems({1, 2, 6, 0, 0x100000004ull});
    for (auto &item : items)
        table.put(item.get());
    EXPECT_EQ(iterate(table), (std::vector<uint64_t>{0x100000004ull, 2, 6, 1, 0}));
    EXPECT_TRUE(iterate(Table(3, 0.75f)).empty());
}

TEST(OptHashTableTest, RehashMovesChainsFromTheLastBucketToNewHeads)
{
    // Capacity 2, threshold 2: the third put rehashes to 5 buckets.
    Table table(2, 1.0f);
    auto items = makeItems({1, 3, 11});
    for (auto &item : items)
        table.put(item.get());
    // Old bucket 1 held 3 then 1; moved in that order, 1 ends at the head of
    // new bucket 1, then 11 (11 % 5 = 1) is put in front of it; 3 is in bucket 3.
    EXPECT_EQ(table.getCapacity(), 5);
    EXPECT_EQ(iterate(table), (std::vector<uint64_t>{3, 11, 1}));
}

TEST(OptHashTableTest, DeleteValuesEmptiesTheTable)
{
    Table table(4, 0.75f);
    for (uint64_t each : {1, 2, 3}) {
        PiHeapAllocItem *item = new PiHeapAllocItem();
        item->setObjectId(id(each));
        table.put(item);
    }
    table.deleteValues();
    EXPECT_TRUE(table.isEmpty());
    EXPECT_EQ(table.get(id(2)), nullptr);
    EXPECT_TRUE(iterate(table).empty());
}

TEST(TableInstancePoolTest, BlocksOf5000AndNoGrow)
{
    TableInstancePool<PiHeapAllocItem> pool;
    std::set<PiHeapAllocItem *> seen;
    for (int i = 0; i < 5000; ++i) {
        PiHeapAllocItem *item = pool.getInstance(false);
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->next, nullptr);
        seen.insert(item);
    }
    EXPECT_EQ(seen.size(), 5000u);
    EXPECT_EQ(pool.getBlockCount(), 1u);
    EXPECT_EQ(pool.getInstance(true), nullptr);
    EXPECT_EQ(pool.getBlockCount(), 1u);
    PiHeapAllocItem *second = pool.getInstance(false);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(seen.count(second), 0u);
    EXPECT_EQ(pool.getBlockCount(), 2u);
}

TEST(TableInstancePoolTest, FreedItemsComeBackNewestFirstEvenWithNoGrow)
{
    TableInstancePool<PiHeapArrayAllocItem> pool;
    std::vector<PiHeapArrayAllocItem *> items;
    for (int i = 0; i < 5000; ++i)
        items.push_back(pool.getInstance(false));
    pool.freeInstance(items[10]);
    pool.freeInstance(items[20]);
    EXPECT_EQ(pool.getInstance(true), items[20]);
    EXPECT_EQ(items[20]->next, nullptr);
    EXPECT_EQ(pool.getInstance(true), items[10]);
    EXPECT_EQ(pool.getInstance(true), nullptr);
}

TEST(TableInstancePoolTest, ZeroAllInstancesClearsEveryItem)
{
    TableInstancePool<PiChronoHeapArrayAllocItem> pool;
    PiChronoHeapArrayAllocItem *item = pool.getInstance(false);
    item->size = 40;
    item->time = 7;
    item->setObjectId(id(9));
    pool.zeroAllInstances();
    EXPECT_EQ(item->size, 0);
    EXPECT_EQ(item->time, 0);
    EXPECT_EQ(item->getObjectId(), nullptr);
}

TEST(HeapAllocItemTest, TypeSizeAndClassOfItemVariants)
{
    ClassData plain("java.lang.String", nullptr);
    plain.setInstanceSize(24);
    ClassData intArray("[I", 0);
    intArray.setArrayType(10);

    PiHeapAllocItem none;
    EXPECT_EQ(none.getType(), 2);
    EXPECT_EQ(none.getSize(), 0);
    EXPECT_EQ(none.getClassData(), nullptr);

    PiHeapAllocItem object;
    object.classData = &plain;
    EXPECT_EQ(object.getSize(), 24);
    EXPECT_EQ(object.getClassData(), &plain);

    PiChronoHeapArrayAllocItem array;
    array.classData = &intArray;
    array.size = 4016;
    array.time = 12;
    EXPECT_EQ(array.getType(), 10);
    EXPECT_EQ(array.getSize(), 4016);
    EXPECT_EQ(array.getTime(), 12);
    // A primitive array's pseudo class is no class of the program.
    EXPECT_EQ(array.getClassData(), nullptr);
}

} // namespace
