#ifndef TESSERA_CHAINITERATOR_H
#define TESSERA_CHAINITERATOR_H

namespace ts_helper {

// Walks a chained container from its highest bucket down to bucket 0, each
// chain from head to tail. Container offers table() (its ChainedBuckets) and
// removeEntry(entry); Value is what the entries' getValue() returns, and
// Value() stands for "none". A rehash during an iteration is not supported.
template <class Container, class Entry, class Value>
class ChainIterator {
public:
    explicit ChainIterator(Container *container) : container(container) { reset(); }

    void reset()
    {
        bucket = container->table().capacity;
        pending = nullptr;
        lastReturned = nullptr;
    }

    // 1 when another entry follows; caches the next chain head so that the
    // following next() does not scan again.
    int hasNext()
    {
        if (pending != nullptr)
            return 1;
        while (bucket > 0) {
            bucket--;
            Entry *head = container->table().buckets[bucket];
            if (head != nullptr) {
                pending = head;
                return 1;
            }
        }
        return 0;
    }

    // The next entry, or null at the end.
    Entry *nextEntry()
    {
        if (!hasNext())
            return nullptr;
        lastReturned = pending;
        pending = pending->getNext();
        return lastReturned;
    }

    // The next value, or Value() (null, 0) at the end.
    Value next()
    {
        Entry *e = nextEntry();
        return e != nullptr ? e->getValue() : Value();
    }

    Value getLastReturned() const { return lastReturned != nullptr ? lastReturned->getValue() : Value(); }

    // Removes the last returned entry from the container; nothing happens
    // when there is none or it has left its bucket already.
    void remove()
    {
        if (lastReturned == nullptr)
            return;
        container->removeEntry(lastReturned);
        lastReturned = nullptr;
    }

private:
    Container *container;
    int bucket;
    Entry *pending;
    Entry *lastReturned;
};

} // namespace ts_helper

#endif
