#ifndef VAVUZODU_HMITERATOR_H
#define VAVUZODU_HMITERATOR_H

#include "structures/HashMap.h"

namespace ts_helper {

// Walks a HashMap from the last bucket down to bucket 0, each chain from its head.
// The map must not change during the walk except through remove().
template <class K, class V>
class HMIterator {
public:
    typedef HMEntry<K, V> Entry;

    explicit HMIterator(HashMap<K, V> *map) : map(map) { reset(); }

    // Restarts at the top bucket.
    void reset()
    {
        bucket = map->capacity;
        current = nullptr;
        lastReturned = nullptr;
    }

    bool hasNext()
    {
        while (current == nullptr && bucket > 0)
            current = map->buckets[--bucket];
        return current != nullptr;
    }

    // The value of the next entry, or 0 when the walk is over.
    V next()
    {
        Entry *e = nextHMEntry();
        return e == nullptr ? V() : e->getValue();
    }

    // The next entry, or null when the walk is over.
    Entry *nextHMEntry()
    {
        if (!hasNext())
            return nullptr;
        lastReturned = current;
        current = current->getNext();
        return lastReturned;
    }

    V getLastReturned() const { return lastReturned == nullptr ? V() : lastReturned->getValue(); }

    // Removes the entry returned last from the map and forgets it.
    void remove()
    {
        if (lastReturned == nullptr)
            return;
        int b = map->bucketOf(lastReturned->getKey());
        Entry *prev = nullptr;
        for (Entry *e = map->buckets[b]; e != nullptr; prev = e, e = e->getNext()) {
            if (e != lastReturned)
                continue;
            map->unlink(b, prev, e);
            map->entryPool->freeInstance(e);
            map->size_--;
            break;
        }
        lastReturned = nullptr;
    }

private:
    HashMap<K, V> *map;
    int bucket;
    Entry *current;
    Entry *lastReturned;
};

} // namespace ts_helper

#endif
