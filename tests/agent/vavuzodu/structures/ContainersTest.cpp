#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "structures/HashMap.h"
#include "structures/StandaloneInstancePool.h"
#include "structures/String.h"

using orvane::String;

namespace {

// A key whose hash is chosen by the test, to place entries in known buckets.
class Key : public orvane::Object {
    ORVANE_CLASS(Key, orvane::Object)
public:
    Key(int id, int hash) : id(id), hash(hash) {}
    int hashCode() const override { return hash; }
    bool equals(const orvane::Object *o) const override { return static_cast<const Key *>(o)->id == id; }
    int id;
    int hash;
};
const char *const Key::CLASS_NAME = "Key";

typedef ts_helper::HashMap<Key, int> KeyMap;

} // namespace

TEST(StringTest, HashIsJavaStyleOverUnsignedBytes)
{
    struct Case {
        std::string text;
        int hash;
    } cases[] = {
        {"abc", 96354},
        {"", 0},
        {"\xff", 255},
        {"\x80\x01", 128 * 31 + 1},
        // wraps modulo 2^32 like Java's String.hashCode
        {"StackMapTable", static_cast<int>(0xba85ee5au)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        String s(c.text.data(), static_cast<int>(c.text.size()));
        EXPECT_EQ(c.hash, s.hashCode());
        EXPECT_EQ(c.hash, s.hashCode()); // cached value is the same
    }
}

TEST(StringTest, EqualityAndPoolReuse)
{
    const char text[] = "CodeCodX";
    String a(text, 4), b(text + 4, 4), c(text, 3);
    EXPECT_FALSE(a.equals(&b));
    b.initInstance(text, 4);
    EXPECT_TRUE(a.equals(&b));
    EXPECT_FALSE(a.equals(&c));

    String *p = String::getInstance(text, 4);
    EXPECT_TRUE(p->equals(&a));
    EXPECT_EQ(a.hashCode(), p->hashCode());
    p->freeInstance();
    EXPECT_EQ(nullptr, p->getChars());
    String *q = String::getInstance(text + 4, 4);
    EXPECT_EQ(p, q); // the freed string comes back from the pool
    EXPECT_EQ(text + 4, q->getChars());
    q->freeInstance();
}

TEST(StringTest, TypeTestsByName)
{
    String s("x", 1);
    orvane::Object o;
    EXPECT_STREQ("String", s.tiClassName());
    EXPECT_TRUE(s.instanceOf("String"));
    EXPECT_FALSE(s.instanceOf("Object"));
    EXPECT_TRUE(o.instanceOf("Object"));
    EXPECT_FALSE(o.equals(&o));
    EXPECT_EQ(0, o.hashCode());
}

TEST(StringCompareTest, Tables)
{
    struct Case {
        const char *name;
        const char *nt;
        const char *s;
        int n;
        bool expected;
    } cases[] = {
        {"exact", "Code", "Code", 4, true},
        {"prefix of longer", "Code", "CodeX", 4, true},
        {"literal longer than n", "Code", "Cod", 3, false},
        {"literal shorter than n", "Cod", "Code", 4, false},
        {"differs", "Code", "Cede", 4, false},
        {"null literal", nullptr, "Code", 4, false},
        {"null text", "Code", nullptr, 4, false},
        {"both null", nullptr, nullptr, 0, false},
        {"empty", "", "x", 0, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected, eq_nt_str(c.nt, c.s, c.n));
    }

    EXPECT_TRUE(eq_2nt_str("abc", "abcd", 3, 3));
    EXPECT_FALSE(eq_2nt_str("abc", "abc", 3, 2));
    EXPECT_FALSE(eq_2nt_str(nullptr, "abc", 3, 3));
    EXPECT_FALSE(eq_2nt_str("abc", nullptr, 3, 3));
    EXPECT_FALSE(eq_2nt_str("abc", "abd", 3, 3));
}

TEST(HashMapTest, CapacityZeroKeepsOneChainForever)
{
    KeyMap map(0, 0.75f);
    EXPECT_EQ(1, map.getCapacity());
    EXPECT_EQ(0, map.getThreshold());
    std::vector<Key> keys;
    for (int i = 0; i < 20; i++)
        keys.emplace_back(i, i * 7);
    for (int i = 0; i < 20; i++)
        map.put(&keys[i], i + 100);
    EXPECT_EQ(1, map.getCapacity());
    EXPECT_EQ(20, map.size());
    EXPECT_EQ(20, map.getNumCollisions());
    EXPECT_FLOAT_EQ(20.0f, map.getAvgUsedBucketCharge());
    for (int i = 0; i < 20; i++)
        EXPECT_EQ(i + 100, map.get(&keys[i]));
}

TEST(HashMapTest, RehashesOnTheNinthPutOfEleven)
{
    KeyMap map(11, 0.75f);
    std::vector<Key> keys;
    for (int i = 0; i < 9; i++)
        keys.emplace_back(i, i);
    for (int i = 0; i < 8; i++)
        map.put(&keys[i], i + 1);
    EXPECT_EQ(11, map.getCapacity());
    EXPECT_EQ(8, map.getThreshold());
    map.put(&keys[8], 9);
    EXPECT_EQ(23, map.getCapacity());
    EXPECT_EQ(17, map.getThreshold());
    for (int i = 0; i < 9; i++)
        EXPECT_EQ(i + 1, map.get(&keys[i]));
}

TEST(HashMapTest, PutReplacesGetRemoveChangeKey)
{
    KeyMap map(11, 0.75f);
    Key k1(1, 5), k1again(1, 5), k2(2, 5), absent(3, 5);
    EXPECT_EQ(0, map.put(&k1, 10));
    EXPECT_EQ(0, map.put(&k2, 20));
    EXPECT_EQ(10, map.put(&k1again, 11)); // replaces, returns the old value
    EXPECT_EQ(2, map.size());
    ts_helper::HMIterator<Key, int> *it = map.getHMIterator();
    bool sawOriginalKey = false;
    while (it->hasNext()) {
        auto *e = it->nextHMEntry();
        if (e->getValue() == 11)
            sawOriginalKey = e->getKey() == &k1; // the stored key object stays
    }
    delete it;
    EXPECT_TRUE(sawOriginalKey);
    EXPECT_EQ(0, map.get(&absent));
    EXPECT_EQ(0, map.remove(&absent));

    Key moved(4, 9);
    EXPECT_EQ(11, map.changeKey(&k1, &moved));
    EXPECT_EQ(0, map.get(&k1));
    EXPECT_EQ(11, map.get(&moved));
    EXPECT_EQ(0, map.changeKey(&absent, &k1)); // nothing to move, nothing added
    EXPECT_EQ(0, map.get(&k1));

    EXPECT_EQ(20, map.remove(&k2));
    EXPECT_EQ(1, map.size());
    map.clear();
    EXPECT_TRUE(map.isEmpty());
    EXPECT_EQ(11, map.getCapacity());
    EXPECT_EQ(0, map.get(&moved));
}

TEST(HashMapTest, IteratesFromLastBucketDownChainHeadFirst)
{
    KeyMap map(5, 0.75f); // threshold 3: four entries would rehash, so use three
    Key a(1, 0), b(2, 3), c(3, 3);
    map.put(&a, 1);
    map.put(&b, 2);
    map.put(&c, 3); // same bucket as b: goes to the head of the chain
    ts_helper::HMIterator<Key, int> *it = map.getHMIterator();
    std::vector<int> order;
    while (it->hasNext())
        order.push_back(it->next());
    EXPECT_EQ((std::vector<int>{3, 2, 1}), order);
    EXPECT_EQ(0, it->next());
    EXPECT_EQ(1, it->getLastReturned());

    // Removing during the walk unlinks exactly the entry returned last.
    it->reset();
    while (it->hasNext())
        if (it->next() == 2)
            it->remove();
    delete it;
    EXPECT_EQ(2, map.size());
    EXPECT_EQ(0, map.get(&b));
    EXPECT_EQ(3, map.get(&c));
    EXPECT_EQ(1, map.get(&a));
}

TEST(HashMapTest, NegativeHashCodesAreTakenUnsigned)
{
    KeyMap map(7, 0.75f);
    Key k(1, -1);
    map.put(&k, 42);
    EXPECT_EQ(42, map.get(&k));
    // 0xFFFFFFFF % 7 = 3: the entry sits in bucket 3, so the downward walk finds it alone
    EXPECT_EQ(0, map.getNumCollisions());
}

TEST(StandaloneInstancePoolTest, VectorsAreReusedWithTheirCapacity)
{
    ts_helper::StandaloneInstancePool<int> pool;
    EXPECT_EQ(nullptr, pool.getInstance(true));
    std::vector<int> *v = pool.getInstance(false);
    ASSERT_NE(nullptr, v);
    EXPECT_TRUE(v->empty());
    v->assign(100, 7);
    size_t capacity = v->capacity();
    pool.freeInstance(v);
    std::vector<int> *again = pool.getInstance(true);
    EXPECT_EQ(v, again);
    EXPECT_TRUE(again->empty());
    EXPECT_EQ(capacity, again->capacity());
    pool.freeInstance(again);
    pool.ensureCapacity(3);
    EXPECT_EQ(3u, pool.getFreedInstances().size());
    pool.ensureCapacity(2);
    EXPECT_EQ(3u, pool.getFreedInstances().size());
}
