#ifndef VAVUZODU_HASHMAP_H
#define VAVUZODU_HASHMAP_H

#include "structures/HMEntry.h"
#include "structures/InstancePool.h"

namespace ts_helper {

template <class K, class V>
class HMIterator;

// A chained hash map from key objects (virtual hashCode and equals) to values.
// The map never owns its keys. 0 (V()) stands for "absent": a stored value of 0
// cannot be told apart from a missing key. Not locked: callers serialise access.
template <class K, class V>
class HashMap {
public:
    typedef HMEntry<K, V> Entry;

    // capacity 0 becomes 1; threshold = int(capacity * loadFactor).
    HashMap(int capacity, float loadFactor) : loadFactor(loadFactor), size_(0), entryPool(new InstancePool<Entry>())
    {
        this->capacity = capacity > 0 ? capacity : 1;
        threshold = static_cast<int>(this->capacity * loadFactor);
        buckets = new Entry *[this->capacity]();
    }
    HashMap(const HashMap &) = delete;
    HashMap &operator=(const HashMap &) = delete;

    ~HashMap()
    {
        for (int i = 0; i < capacity; i++) {
            Entry *e = buckets[i];
            while (e != nullptr) {
                Entry *next = e->getNext();
                delete e;
                e = next;
            }
        }
        delete[] buckets;
        delete entryPool;
    }

    // The value of the first entry whose key the probe key equals, or 0.
    V get(K *key) const
    {
        for (Entry *e = buckets[bucketOf(key)]; e != nullptr; e = e->getNext())
            if (key->equals(e->getKey()))
                return e->getValue();
        return V();
    }

    // Replaces the value of an equal key (returning the old value; the stored key
    // stays) or adds a new entry at the head of its chain (returning 0).
    V put(K *key, V value)
    {
        int b = bucketOf(key);
        for (Entry *e = buckets[b]; e != nullptr; e = e->getNext())
            if (key->equals(e->getKey()))
                return e->setValue(value);
        if (threshold > 0 && size_ >= threshold) {
            rehash();
            b = bucketOf(key);
        }
        Entry *e = entryPool->getInstance();
        e->initialize(key, value, buckets[b]);
        buckets[b] = e;
        size_++;
        return V();
    }

    // Grows to 2 * capacity + 1 buckets and moves every entry to the head of its
    // new chain, walking the old buckets from the last to the first.
    void rehash()
    {
        int oldCapacity = capacity;
        Entry **oldBuckets = buckets;
        capacity = 2 * oldCapacity + 1;
        threshold = static_cast<int>(capacity * loadFactor);
        buckets = new Entry *[capacity]();
        for (int i = oldCapacity - 1; i >= 0; i--) {
            Entry *e = oldBuckets[i];
            while (e != nullptr) {
                Entry *next = e->getNext();
                int b = bucketOf(e->getKey());
                e->setNext(buckets[b]);
                buckets[b] = e;
                e = next;
            }
        }
        delete[] oldBuckets;
    }

    // Removes the first entry with an equal key and returns its value, or 0.
    V remove(K *key)
    {
        int b = bucketOf(key);
        Entry *prev = nullptr;
        for (Entry *e = buckets[b]; e != nullptr; prev = e, e = e->getNext()) {
            if (!key->equals(e->getKey()))
                continue;
            unlink(b, prev, e);
            V value = e->getValue();
            entryPool->freeInstance(e);
            size_--;
            return value;
        }
        return V();
    }

    // Moves the value of oldKey to newKey; returns the value (0 when oldKey was absent).
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
        for (int i = 0; i < capacity; i++) {
            Entry *e = buckets[i];
            while (e != nullptr) {
                Entry *next = e->getNext();
                entryPool->freeInstance(e);
                e = next;
            }
            buckets[i] = nullptr;
        }
        size_ = 0;
    }

    int size() const { return size_; }
    bool isEmpty() const { return size_ == 0; }
    int getCapacity() const { return capacity; }
    int getThreshold() const { return threshold; }
    float getLoadFactor() const { return static_cast<float>(size_) / capacity; }

    // Entries per non-empty bucket.
    float getAvgUsedBucketCharge() const
    {
        int used = 0;
        for (int i = 0; i < capacity; i++)
            if (buckets[i] != nullptr)
                used++;
        return used == 0 ? 0.0f : static_cast<float>(size_) / used;
    }

    // Sum of the chain lengths of the buckets that hold two or more entries.
    int getNumCollisions() const
    {
        int collisions = 0;
        for (int i = 0; i < capacity; i++) {
            int n = 0;
            for (Entry *e = buckets[i]; e != nullptr; e = e->getNext())
                n++;
            if (n >= 2)
                collisions += n;
        }
        return collisions;
    }

    // A new iterator over the map; the caller deletes it.
    HMIterator<K, V> *getHMIterator() { return new HMIterator<K, V>(this); }

private:
    friend class HMIterator<K, V>;

    int bucketOf(K *key) const { return static_cast<int>(static_cast<unsigned int>(key->hashCode()) % static_cast<unsigned int>(capacity)); }

    void unlink(int b, Entry *prev, Entry *e)
    {
        if (prev == nullptr)
            buckets[b] = e->getNext();
        else
            prev->setNext(e->getNext());
    }

    Entry **buckets;
    int capacity;
    float loadFactor;
    int size_;
    int threshold;
    InstancePool<Entry> *entryPool;
};

} // namespace ts_helper

#include "structures/HMIterator.h"

#endif
