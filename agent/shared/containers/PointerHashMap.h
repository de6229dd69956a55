#ifndef AGENT_POINTERHASHMAP_H
#define AGENT_POINTERHASHMAP_H

#include <cstdint>
#include <cstdlib>
#include <type_traits>

#include "PHMEntry.h"
#include "structures/ChainIterator.h"
#include "structures/ChainedBuckets.h"

// Hash of a by-value key: its 32 bits (for a 64-bit key the low word XOR the
// high word), then two mixing steps with logical shifts.
inline uint32_t pointerHashMapHash(uint64_t bits, bool wide)
{
    uint32_t x = wide ? static_cast<uint32_t>(bits) ^ static_cast<uint32_t>(bits >> 32) : static_cast<uint32_t>(bits);
    uint32_t h = x ^ (x >> 12) ^ (x >> 20);
    return h ^ (h >> 4) ^ (h >> 7);
}

template <class K>
inline uint64_t pointerHashMapKeyBits(K key)
{
    if constexpr (std::is_pointer<K>::value)
        return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key));
    else
        return static_cast<uint64_t>(key);
}

// How PointerHashMap::deleteValues disposes of a value: the value's
// destructor by default; `void` values were allocated with malloc and are
// freed with free. Plain records may specialise this the same way.
template <class V>
struct PointerHashMapValueDeleter {
    static void destroy(V *value) { delete value; }
};
template <>
struct PointerHashMapValueDeleter<void> {
    static void destroy(void *value) { std::free(value); }
};

template <class V, class K>
class PointerHashMap;

// Iterator of a PointerHashMap: highest bucket first, each chain newest first.
template <class V, class K>
class PHMIterator : public ts_helper::ChainIterator<PointerHashMap<V, K>, PHMEntry<V, K>, V *> {
public:
    explicit PHMIterator(PointerHashMap<V, K> *container) : ts_helper::ChainIterator<PointerHashMap<V, K>, PHMEntry<V, K>, V *>(container) {}
    // The next entry itself, or null at the end.
    PHMEntry<V, K> *nextPHMEntry() { return this->nextEntry(); }
};

// Chained hash map from a key compared by value (a pointer, int or 64-bit
// integer) to a borrowed V*. Note the argument order: value first, key second.
// Entries are allocated one by one; keys are never owned; values are
// destroyed only by deleteValues(). No locking: callers serialise access.
template <class V, class K>
class PointerHashMap {
    struct Rule {
        static unsigned bucketOf(const PHMEntry<V, K> *e, int capacity)
        {
            return PointerHashMap::bucketFor(e->getKey(), capacity);
        }
    };
    typedef ts_helper::ChainedBuckets<PHMEntry<V, K>, Rule> Table;

public:
    PointerHashMap(int initialCapacity, float loadFactor) : buckets(initialCapacity, loadFactor) {}
    PointerHashMap(const PointerHashMap &) = delete;
    PointerHashMap &operator=(const PointerHashMap &) = delete;

    // Frees all entries and the bucket array; values are not touched.
    ~PointerHashMap()
    {
        buckets.drain([](PHMEntry<V, K> *e) { delete e; });
    }

    // The stored value, or null when the key is absent.
    V *get(K key) const
    {
        PHMEntry<V, K> *e = find(key);
        return e != nullptr ? e->getValue() : nullptr;
    }

    // Stores value under key. An existing key keeps its entry and the previous
    // value is returned; a new key returns null.
    V *put(K key, V *value)
    {
        PHMEntry<V, K> *e = find(key);
        if (e != nullptr)
            return e->setValue(value);
        if (buckets.isFull())
            buckets.rehash();
        e = new PHMEntry<V, K>();
        e->initialize(key, value, nullptr);
        buckets.link(e);
        return nullptr;
    }

    // Removes the key's entry and returns its value; null when absent.
    V *remove(K key)
    {
        PHMEntry<V, K> *e = find(key);
        if (e == nullptr)
            return nullptr;
        V *value = e->getValue();
        removeEntry(e);
        return value;
    }

    // Moves the value of oldKey to newKey; a stored null counts as absent.
    V *changeKey(K oldKey, K newKey)
    {
        V *value = remove(oldKey);
        if (value != nullptr)
            put(newKey, value);
        return value;
    }

    void clear()
    {
        buckets.drain([](PHMEntry<V, K> *e) { delete e; });
    }

    // Destroys every value (PointerHashMapValueDeleter) and frees its entry.
    void deleteValues()
    {
        buckets.drain([](PHMEntry<V, K> *e) {
            if (e->getValue() != nullptr)
                PointerHashMapValueDeleter<V>::destroy(e->getValue());
            delete e;
        });
    }

    int size() const { return buckets.size; }
    int isEmpty() const { return buckets.size == 0 ? 1 : 0; }
    int getCapacity() const { return buckets.capacity; }
    int getThreshold() const { return buckets.threshold; }

    // A new iterator before the first entry; the caller deletes it.
    PHMIterator<V, K> *getPHMIterator() { return new PHMIterator<V, K>(this); }

    float getLoadFactor() const { return buckets.getLoadFactor(); }
    float getAvgUsedBucketCharge() const { return buckets.getAvgUsedBucketCharge(); }
    int getNumCollisions() const { return buckets.getNumCollisions(); }

    static unsigned bucketFor(K key, int capacity)
    {
        return pointerHashMapHash(pointerHashMapKeyBits(key), sizeof(K) > 4) % static_cast<unsigned>(capacity);
    }

    Table &table() { return buckets; }
    void removeEntry(PHMEntry<V, K> *e)
    {
        if (buckets.unlink(e))
            delete e;
    }

private:
    PHMEntry<V, K> *find(K key) const
    {
        for (PHMEntry<V, K> *e = buckets.buckets[bucketFor(key, buckets.capacity)]; e != nullptr; e = e->getNext()) {
            if (e->getKey() == key)
                return e;
        }
        return nullptr;
    }

    Table buckets;
};

#endif
