#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "structures/HashMap.h"
#include "structures/InstancePool.h"
#include "structures/StandaloneInstancePool.h"
#include "structures/String.h"

using orvane::String;

namespace {

// A key whose hash is chosen by the test, to place entries in known buckets.
class Key : public orvane::Object {
    TESSERA_CLASS(Key, orvane::Object)
public:
    Key(int id, int hash) : id(id), hash(hash) {}
    int hashCode() const override { return hash; }
    bool equals(const orvane::Object *o) const override { return static_cast<const Key *>(o)->id == id; }
    int id;
    int hash;
};
const char *const Key::CLASS_NAME = "Key";

typedef ts_helper::HashMap<Key, int> KeyMap;

// A key that is not an orvane::Object, as the agent's own key records are:
// plain hashCode and equals members, a chosen hash code, compared by its id.
class PlainKey {
public:
    PlainKey(int hash, int id) : hash(hash), id(id) {}
    int hashCode() const
    {
        hashCalls++;
        return hash;
    }
    bool equals(const PlainKey *other) const { return other->id == id; }
    int hash;
    int id;
    mutable int hashCalls = 0;
};

// Maps to pointer values, null standing for absent.
typedef ts_helper::HashMap<PlainKey, int *> PlainKeyMap;

int *tag(uintptr_t n)
{
    return reinterpret_cast<int *>(n);
}

class Node {
public:
    Node() { constructed++; }
    ~Node() { destroyed++; }
    Node *getNextInstance() const { return next; }
    void setNextInstance(Node *n) { next = n; }
    int payload = 0;
    static int constructed;
    static int destroyed;

private:
    Node *next = nullptr;
};
int Node::constructed = 0;
int Node::destroyed = 0;

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

TEST(HashMapPlainKeyTest, KeysByHashCodeAndEquals)
{
    PlainKeyMap map(11, 0.75f);
    PlainKey a(5, 1), sameAsA(5, 1), b(5, 2), c(16, 3);
    EXPECT_EQ(map.put(&a, tag(1)), nullptr);
    EXPECT_EQ(map.put(&sameAsA, tag(2)), tag(1)) << "equal key replaces the value";
    EXPECT_EQ(map.size(), 1);
    ts_helper::HMIterator<PlainKey, int *> *it = map.getHMIterator();
    EXPECT_EQ(it->nextHMEntry()->getKey(), &a) << "the stored key stays";
    delete it;
    map.put(&b, tag(3));
    map.put(&c, tag(4)); // 16 % 11 == 5: same bucket as a and b
    EXPECT_EQ(map.getNumCollisions(), 3);
    EXPECT_EQ(map.get(&sameAsA), tag(2));
    EXPECT_EQ(map.remove(&b), tag(3));
    EXPECT_EQ(map.get(&b), nullptr);
    EXPECT_EQ(map.changeKey(&c, &b), tag(4));
    EXPECT_EQ(map.get(&b), tag(4));
    map.clear();
    EXPECT_EQ(map.isEmpty(), 1);
}

TEST(HashMapPlainKeyTest, NegativeHashCodesAreTakenUnsigned)
{
    PlainKeyMap map(11, 0.75f);
    PlainKey k(-1, 1);
    EXPECT_EQ((PlainKeyMap::bucketFor(&k, 11)), 0xFFFFFFFFu % 11);
    map.put(&k, tag(9));
    EXPECT_EQ(map.get(&k), tag(9));
}

TEST(HashMapPlainKeyTest, RehashAsksEveryKeyForItsHashAgain)
{
    PlainKeyMap map(11, 0.75f);
    std::vector<PlainKey> keys;
    keys.reserve(9);
    for (int i = 0; i < 9; i++)
        keys.emplace_back(i * 13, i);
    for (int i = 0; i < 8; i++)
        map.put(&keys[i], tag(i + 1));
    EXPECT_EQ(map.getCapacity(), 11);
    int before = keys[0].hashCalls;
    map.put(&keys[8], tag(9));
    EXPECT_EQ(map.getCapacity(), 23);
    EXPECT_EQ(map.getThreshold(), 17);
    EXPECT_GT(keys[0].hashCalls, before);
    for (int i = 0; i < 9; i++)
        EXPECT_EQ(map.get(&keys[i]), tag(i + 1));
}

TEST(InstancePoolTest, RecyclesLastInFirstOut)
{
    Node::constructed = Node::destroyed = 0;
    {
        ts_helper::InstancePool<Node> pool;
        EXPECT_EQ(pool.getInstance(true), nullptr) << "noNew on an empty pool allocates nothing";
        EXPECT_EQ(Node::constructed, 0);
        Node *a = pool.getInstance(false);
        Node *b = pool.getInstance(false);
        EXPECT_EQ(Node::constructed, 2);
        a->payload = 7;
        pool.freeInstance(a);
        pool.freeInstance(b);
        EXPECT_EQ(pool.getCount(), 2);
        EXPECT_EQ(pool.getInstance(true), b);
        Node *again = pool.getInstance(true);
        EXPECT_EQ(again, a);
        EXPECT_EQ(again->payload, 7) << "a recycled object keeps its state";
        EXPECT_EQ(pool.getCount(), 0);
        pool.freeInstance(a);
        pool.ensureCapacity(5);
        EXPECT_EQ(pool.getCount(), 5);
        EXPECT_EQ(Node::constructed, 6);
        delete b; // in use, not the pool's
    }
    EXPECT_EQ(Node::destroyed, Node::constructed) << "the pool destroys its idle instances";
}
