#ifndef AGENT_POINTERHASHSET_H
#define AGENT_POINTERHASHSET_H

#include <cstdint>

#include "PHSEntry.h"
#include "structures/ChainIterator.h"
#include "structures/ChainedBuckets.h"
#include "structures/InstancePool.h"

template <class T>
class PointerHashSet;

// Iterator of a PointerHashSet: highest bucket first, each chain newest first.
template <class T>
class PHSIterator : public ts_helper::ChainIterator<PointerHashSet<T>, PHSEntry<T>, T *> {
public:
    explicit PHSIterator(PointerHashSet<T> *container) : ts_helper::ChainIterator<PointerHashSet<T>, PHSEntry<T>, T *>(container) {}
    // The next entry itself, or null at the end.
    PHSEntry<T> *nextPHSEntry() { return this->nextEntry(); }
};

// Chained set of borrowed pointers; the bucket is the pointer's value modulo
// the capacity, without mixing. Entries circulate through the set's own pool.
// No locking: callers serialise access.
template <class T>
class PointerHashSet {
    struct Rule {
        static unsigned bucketOf(const PHSEntry<T> *e, int capacity) { return PointerHashSet::bucketFor(e->getValue(), capacity); }
    };
    typedef ts_helper::ChainedBuckets<PHSEntry<T>, Rule> Table;

public:
    PointerHashSet(int initialCapacity, float loadFactor)
        : buckets(initialCapacity, loadFactor), entryPool(new ts_helper::InstancePool<PHSEntry<T>>()), singleIterator(new PHSIterator<T>(this))
    {
    }
    PointerHashSet(const PointerHashSet &) = delete;
    PointerHashSet &operator=(const PointerHashSet &) = delete;

    ~PointerHashSet()
    {
        buckets.drain([](PHSEntry<T> *e) { delete e; });
        delete entryPool;
        delete singleIterator;
    }

    // 1 when added, 0 when the pointer was present already (nothing changes).
    int add(T *value)
    {
        if (find(value) != nullptr)
            return 0;
        if (buckets.isFull())
            buckets.rehash();
        PHSEntry<T> *e = entryPool->getInstance(false);
        e->initialize(value, nullptr);
        buckets.link(e);
        return 1;
    }

    int contains(T *value) const { return find(value) != nullptr ? 1 : 0; }

    // An absent pointer changes nothing.
    void remove(T *value)
    {
        PHSEntry<T> *e = find(value);
        if (e != nullptr)
            removeEntry(e);
    }

    void clear()
    {
        ts_helper::InstancePool<PHSEntry<T>> *pool = entryPool;
        buckets.drain([pool](PHSEntry<T> *e) { pool->freeInstance(e); });
    }

    int size() const { return buckets.size; }
    int isEmpty() const { return buckets.size == 0 ? 1 : 0; }
    int getCapacity() const { return buckets.capacity; }

    // Resets the set's own iterator and returns it; the set keeps ownership,
    // so only one iteration per set may run at a time.
    PHSIterator<T> *getSinglePHSIterator()
    {
        singleIterator->reset();
        return singleIterator;
    }

    float getLoadFactor() const { return buckets.getLoadFactor(); }
    float getAvgUsedBucketCharge() const { return buckets.getAvgUsedBucketCharge(); }
    int getNumCollisions() const { return buckets.getNumCollisions(); }

    static unsigned bucketFor(const T *value, int capacity)
    {
        return static_cast<unsigned>(reinterpret_cast<uintptr_t>(value) % static_cast<unsigned>(capacity));
    }

    Table &table() { return buckets; }
    void removeEntry(PHSEntry<T> *e)
    {
        if (buckets.unlink(e))
            entryPool->freeInstance(e);
    }

private:
    PHSEntry<T> *find(const T *value) const
    {
        for (PHSEntry<T> *e = buckets.buckets[bucketFor(value, buckets.capacity)]; e != nullptr; e = e->getNext()) {
            if (e->getValue() == value)
                return e;
        }
        return nullptr;
    }

    Table buckets;
    ts_helper::InstancePool<PHSEntry<T>> *entryPool;
    PHSIterator<T> *singleIterator;
};

#endif
