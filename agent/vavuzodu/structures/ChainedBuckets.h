#ifndef TESSERA_CHAINEDBUCKETS_H
#define TESSERA_CHAINEDBUCKETS_H

namespace ts_helper {

// The bucket array of every chained container (HashMap here, the agent's
// PointerHashMap and PointerHashSet): chains of entries linked through
// getNext()/setNext(), growth by rehash and the fill statistics. BucketRule::bucketOf(entry, capacity) names the bucket
// of an entry; the owning container allocates and frees the entries.
template <class Entry, class BucketRule>
class ChainedBuckets {
public:
    ChainedBuckets(int initialCapacity, float loadFactor)
        : capacity(initialCapacity > 0 ? initialCapacity : 1), size(0), loadFactor(loadFactor)
    {
        threshold = static_cast<int>(capacity * loadFactor);
        buckets = newBucketArray(capacity);
    }
    ChainedBuckets(const ChainedBuckets &) = delete;
    ChainedBuckets &operator=(const ChainedBuckets &) = delete;
    ~ChainedBuckets() { delete[] buckets; }

    // A table may hold `threshold` entries before it first grows; a threshold
    // of 0 or less means it never grows.
    bool isFull() const { return threshold > 0 && size >= threshold; }

    // Pushes a new entry on the head of its bucket's chain.
    void link(Entry *entry)
    {
        Entry *&head = buckets[BucketRule::bucketOf(entry, capacity)];
        entry->setNext(head);
        head = entry;
        size++;
    }

    // Removes an entry from its bucket's chain; false when it is not there.
    bool unlink(Entry *entry)
    {
        Entry *&head = buckets[BucketRule::bucketOf(entry, capacity)];
        if (head == entry) {
            head = entry->getNext();
            size--;
            return true;
        }
        for (Entry *prev = head; prev != nullptr; prev = prev->getNext()) {
            if (prev->getNext() == entry) {
                prev->setNext(entry->getNext());
                size--;
                return true;
            }
        }
        return false;
    }

    // Grows to 2 × capacity + 1 buckets. Old buckets are visited from the last
    // down to 0, each chain from head to tail, and every entry is pushed onto
    // the head of its new bucket: entries are moved, never copied.
    void rehash()
    {
        int oldCapacity = capacity;
        Entry **oldBuckets = buckets;
        capacity = 2 * oldCapacity + 1;
        threshold = static_cast<int>(capacity * loadFactor);
        buckets = newBucketArray(capacity);
        for (int i = oldCapacity - 1; i >= 0; i--) {
            Entry *e = oldBuckets[i];
            while (e != nullptr) {
                Entry *next = e->getNext();
                Entry *&head = buckets[BucketRule::bucketOf(e, capacity)];
                e->setNext(head);
                head = e;
                e = next;
            }
        }
        delete[] oldBuckets;
    }

    // Hands every entry to dispose(entry) and empties all buckets.
    template <class Dispose>
    void drain(Dispose dispose)
    {
        for (int i = 0; i < capacity; i++) {
            Entry *e = buckets[i];
            while (e != nullptr) {
                Entry *next = e->getNext();
                dispose(e);
                e = next;
            }
            buckets[i] = nullptr;
        }
        size = 0;
    }

    // Present fill: size / capacity.
    float getLoadFactor() const { return static_cast<float>(size) / static_cast<float>(capacity); }

    // Entries in non-empty buckets divided by the non-empty buckets (0/0 on an
    // empty table, not a number).
    float getAvgUsedBucketCharge() const
    {
        int used = 0;
        int entries = 0;
        for (int i = 0; i < capacity; i++) {
            int length = chainLength(i);
            if (length > 0) {
                used++;
                entries += length;
            }
        }
        return static_cast<float>(entries) / static_cast<float>(used);
    }

    // Sum of the chain lengths of the buckets holding two or more entries.
    int getNumCollisions() const
    {
        int collisions = 0;
        for (int i = 0; i < capacity; i++) {
            int length = chainLength(i);
            if (length >= 2)
                collisions += length;
        }
        return collisions;
    }

    Entry **buckets;
    int capacity;
    int size;
    int threshold;
    float loadFactor;

private:
    static Entry **newBucketArray(int count)
    {
        Entry **array = new Entry *[count];
        for (int i = 0; i < count; i++)
            array[i] = nullptr;
        return array;
    }

    int chainLength(int bucket) const
    {
        int length = 0;
        for (Entry *e = buckets[bucket]; e != nullptr; e = e->getNext())
            length++;
        return length;
    }
};

} // namespace ts_helper

#endif
