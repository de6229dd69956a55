#ifndef TESSERA_HASHMAP_H
#define TESSERA_HASHMAP_H

#include "structures/ChainedBuckets.h"
#include "structures/HMEntry.h"
#include "structures/InstancePool.h"

namespace ts_helper {

template <class K, class V>
class HMIterator;

// A chained hash map from borrowed key objects to values. K offers hashCode()
// (taken unsigned modulo the capacity, no further mixing) and equals(other)
// (the probe key's equals is called with the stored key): the library's keys
// through the virtual operations of orvane::Object, the agent's own key records
// through plain members. The caller keeps each key alive as long as its entry
// exists. V() (0, null) stands for "absent": a stored V() cannot be told apart
// from a missing key. Entries circulate through the map's own pool. Not locked:
// callers serialise access.
template <class K, class V>
class HashMap {
    struct Rule {
        static unsigned bucketOf(const HMEntry<K, V> *e, int capacity) { return HashMap::bucketFor(e->getKey(), capacity); }
    };
    typedef ChainedBuckets<HMEntry<K, V>, Rule> Table;

public:
    typedef HMEntry<K, V> Entry;

    // capacity 0 becomes 1; threshold = int(capacity * loadFactor).
    HashMap(int capacity, float loadFactor) : buckets(capacity, loadFactor), entryPool(new InstancePool<Entry>()) {}
    HashMap(const HashMap &) = delete;
    HashMap &operator=(const HashMap &) = delete;

    // Frees the chained entries, then the pool with its idle entries, then the
    // bucket array.
    ~HashMap()
    {
        buckets.drain([](Entry *e) { delete e; });
        delete entryPool;
    }

    // The value stored under an equal key, or V().
    V get(K *key) const
    {
        Entry *e = find(key);
        return e != nullptr ? e->getValue() : V();
    }

    // An equal stored key gets the new value (the stored key stays) and the
    // previous value is returned; a new key goes to the head of its chain,
    // after a rehash when the map is full, and V() is returned.
    V put(K *key, V value)
    {
        Entry *e = find(key);
        if (e != nullptr)
            return e->setValue(value);
        if (buckets.isFull())
            buckets.rehash();
        e = entryPool->getInstance();
        e->initialize(key, value, nullptr);
        buckets.link(e);
        return V();
    }

    // Removes the entry of an equal key and returns its value, or V().
    V remove(K *key)
    {
        Entry *e = find(key);
        if (e == nullptr)
            return V();
        V value = e->getValue();
        removeEntry(e);
        return value;
    }

    // Moves the value of oldKey to newKey; a stored V() counts as absent.
    V changeKey(K *oldKey, K *newKey)
    {
        V value = remove(oldKey);
        if (value != V())
            put(newKey, value);
        return value;
    }

    // Returns every entry to the entry pool; the capacity stays.
    void clear()
    {
        // An empty table has no chains to walk, however large it grew.
        if (buckets.size == 0)
            return;
        InstancePool<Entry> *pool = entryPool;
        buckets.drain([pool](Entry *e) { pool->freeInstance(e); });
    }

    int size() const { return buckets.size; }
    // 1 when the map holds no entry, else 0.
    int isEmpty() const { return buckets.size == 0 ? 1 : 0; }
    int getCapacity() const { return buckets.capacity; }
    int getThreshold() const { return buckets.threshold; }

    // A new iterator before the first entry; the caller deletes it.
    HMIterator<K, V> *getHMIterator() { return new HMIterator<K, V>(this); }

    float getLoadFactor() const { return buckets.getLoadFactor(); }
    float getAvgUsedBucketCharge() const { return buckets.getAvgUsedBucketCharge(); }
    int getNumCollisions() const { return buckets.getNumCollisions(); }

    static unsigned bucketFor(const K *key, int capacity)
    {
        return static_cast<unsigned>(key->hashCode()) % static_cast<unsigned>(capacity);
    }

    Table &table() { return buckets; }
    // Unlinks an entry of this map and returns it to the pool.
    void removeEntry(Entry *e)
    {
        if (buckets.unlink(e))
            entryPool->freeInstance(e);
    }

private:
    Entry *find(K *key) const
    {
        for (Entry *e = buckets.buckets[bucketFor(key, buckets.capacity)]; e != nullptr; e = e->getNext()) {
            if (key->equals(e->getKey()))
                return e;
        }
        return nullptr;
    }

    Table buckets;
    InstancePool<Entry> *entryPool;
};

} // namespace ts_helper

#include "structures/HMIterator.h"

#endif
