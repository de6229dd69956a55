#ifndef AGENT_HASHMAP_H
#define AGENT_HASHMAP_H

#include "ChainIterator.h"
#include "ChainedBuckets.h"
#include "HMEntry.h"
#include "InstancePool.h"

template <class K, class V>
class HashMap;

// Iterator of a HashMap: highest bucket first, each chain newest first.
template <class K, class V>
class HMIterator : public ChainIterator<HashMap<K, V>, HMEntry<K, V>, V> {
public:
    explicit HMIterator(HashMap<K, V> *container) : ChainIterator<HashMap<K, V>, HMEntry<K, V>, V>(container) {}
    // The next entry itself, or null at the end.
    HMEntry<K, V> *nextHMEntry() { return this->nextEntry(); }
};

// Chained hash map from borrowed key objects to borrowed values. K offers
// hashCode() (taken unsigned modulo the capacity, no further mixing) and
// equals(other) (the probe key's equals is called with the stored key). The
// caller keeps each key alive as long as its entry exists. Entries circulate
// through the map's own pool. No locking: callers serialise access.
template <class K, class V>
class HashMap {
    struct Rule {
        static unsigned bucketOf(const HMEntry<K, V> *e, int capacity) { return HashMap::bucketFor(e->getKey(), capacity); }
    };
    typedef ChainedBuckets<HMEntry<K, V>, Rule> Table;

public:
    HashMap(int initialCapacity, float loadFactor) : buckets(initialCapacity, loadFactor), entryPool(new InstancePool<HMEntry<K, V>>()) {}
    HashMap(const HashMap &) = delete;
    HashMap &operator=(const HashMap &) = delete;

    // Frees the chained entries, then the pool with its idle entries.
    ~HashMap()
    {
        buckets.drain([](HMEntry<K, V> *e) { delete e; });
        delete entryPool;
    }

    // The value stored under an equal key, or null.
    V *get(K *key) const
    {
        HMEntry<K, V> *e = find(key);
        return e != nullptr ? e->getValue() : nullptr;
    }

    // An equal stored key gets the new value (the stored key stays) and the
    // previous value is returned; a new key returns null.
    V *put(K *key, V *value)
    {
        HMEntry<K, V> *e = find(key);
        if (e != nullptr)
            return e->setValue(value);
        if (buckets.isFull())
            buckets.rehash();
        e = entryPool->getInstance(false);
        e->initialize(key, value, nullptr);
        buckets.link(e);
        return nullptr;
    }

    V *remove(K *key)
    {
        HMEntry<K, V> *e = find(key);
        if (e == nullptr)
            return nullptr;
        V *value = e->getValue();
        removeEntry(e);
        return value;
    }

    // Moves the value of oldKey to newKey; a stored null counts as absent.
    V *changeKey(K *oldKey, K *newKey)
    {
        V *value = remove(oldKey);
        if (value != nullptr)
            put(newKey, value);
        return value;
    }

    void clear()
    {
        InstancePool<HMEntry<K, V>> *pool = entryPool;
        buckets.drain([pool](HMEntry<K, V> *e) { pool->freeInstance(e); });
    }

    int size() const { return buckets.size; }
    int isEmpty() const { return buckets.size == 0 ? 1 : 0; }
    int getCapacity() const { return buckets.capacity; }
    int getThreshold() const { return buckets.threshold; }

    // A new iterator before the first entry; the caller deletes it.
    HMIterator<K, V> *getHMIterator() { return new HMIterator<K, V>(this); }

    float getLoadFactor() const { return buckets.getLoadFactor(); }
    float getAvgUsedBucketCharge() const { return buckets.getAvgUsedBucketCharge(); }
    int getNumCollisions() const { return buckets.getNumCollisions(); }

    static unsigned bucketFor(K *key, int capacity)
    {
        return static_cast<unsigned>(key->hashCode()) % static_cast<unsigned>(capacity);
    }

    Table &table() { return buckets; }
    void removeEntry(HMEntry<K, V> *e)
    {
        if (buckets.unlink(e))
            entryPool->freeInstance(e);
    }

private:
    HMEntry<K, V> *find(K *key) const
    {
        for (HMEntry<K, V> *e = buckets.buckets[bucketFor(key, buckets.capacity)]; e != nullptr; e = e->getNext()) {
            if (key->equals(e->getKey()))
                return e;
        }
        return nullptr;
    }

    Table buckets;
    InstancePool<HMEntry<K, V>> *entryPool;
};

#endif
