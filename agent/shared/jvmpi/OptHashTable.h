#ifndef AGENT_JVMPI_OPTHASHTABLE_H
#define AGENT_JVMPI_OPTHASHTABLE_H

#include <cstdint>

// A hash table of items keyed by a pointer-sized id, chained through the
// items themselves: V has `K getObjectId()`, `setObjectId(K)` and a public
// `V *next`. The table owns only its bucket array; put and remove allocate
// nothing outside rehashing. Equal keys are not merged. The bucket of a key
// is its low 32 bits, unsigned, modulo the capacity.
template <class K, class V>
class OptHashTable {
public:
    OptHashTable(int capacity, float loadFactor)
        : capacity(capacity > 0 ? capacity : 1), count(0), loadFactor(loadFactor)
    {
        buckets = new V *[this->capacity]();
        threshold = static_cast<int>(this->capacity * loadFactor);
    }
    ~OptHashTable() { delete[] buckets; }
    OptHashTable(const OptHashTable &) = delete;
    OptHashTable &operator=(const OptHashTable &) = delete;

    V *get(K key) const
    {
        for (V *item = buckets[indexOf(key, capacity)]; item != nullptr; item = item->next)
            if (item->getObjectId() == key)
                return item;
        return nullptr;
    }

    // Inserts at the head of the key's chain and returns null; an item that
    // is already in its chain is left there and returned.
    V *put(V *item)
    {
        for (V *other = buckets[indexOf(item->getObjectId(), capacity)]; other != nullptr; other = other->next)
            if (other == item)
                return item;
        if (threshold > 0 && count >= threshold)
            rehash();
        V **head = &buckets[indexOf(item->getObjectId(), capacity)];
        item->next = *head;
        *head = item;
        ++count;
        return nullptr;
    }

    // Unlinks the first item with the key; null when there is none.
    V *remove(K key)
    {
        for (V **link = &buckets[indexOf(key, capacity)]; *link != nullptr; link = &(*link)->next) {
            V *item = *link;
            if (item->getObjectId() == key) {
                *link = item->next;
                item->next = nullptr;
                --count;
                return item;
            }
        }
        return nullptr;
    }

    // Re-keys the item of `oldKey` (an object the collector moved); null when
    // there is none.
    V *changeKey(K oldKey, K newKey)
    {
        V *item = remove(oldKey);
        if (item != nullptr) {
            item->setObjectId(newKey);
            put(item);
        }
        return item;
    }

    int size() const { return count; }
    bool isEmpty() const { return count == 0; }
    int getCapacity() const { return capacity; }
    int getThreshold() const { return threshold; }

    // Deletes every item one by one (not for pooled items) and empties the table.
    void deleteValues()
    {
        for (int i = 0; i < capacity; ++i) {
            V *item = buckets[i];
            while (item != nullptr) {
                V *next = item->next;
                delete item;
                item = next;
            }
            buckets[i] = nullptr;
        }
        count = 0;
    }

    // Visits the buckets from the last to the first, each chain from its head.
    // The table must not change while an iterator walks it.
    class Iterator {
    public:
        explicit Iterator(const OptHashTable &table) : table(table), bucket(table.capacity), current(nullptr), upcoming(nullptr)
        {
            advance();
        }
        bool hasNext() const { return upcoming != nullptr; }
        V *next()
        {
            current = upcoming;
            if (upcoming != nullptr) {
                upcoming = upcoming->next;
                if (upcoming == nullptr)
                    advance();
            }
            return current;
        }

    private:
        void advance()
        {
            while (upcoming == nullptr && bucket > 0)
                upcoming = table.buckets[--bucket];
        }

        const OptHashTable &table;
        int bucket;
        V *current;
        V *upcoming;
    };

    // A new iterator; the caller deletes it.
    Iterator *getIterator() const { return new Iterator(*this); }

private:
    static int indexOf(K key, int capacity)
    {
        uint32_t bits = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key));
        return static_cast<int>(bits % static_cast<uint32_t>(capacity));
    }

    void rehash()
    {
        int oldCapacity = capacity;
        V **old = buckets;
        capacity = 2 * oldCapacity + 1;
        threshold = static_cast<int>(capacity * loadFactor);
        buckets = new V *[capacity]();
        for (int i = oldCapacity - 1; i >= 0; --i) {
            V *item = old[i];
            while (item != nullptr) {
                V *next = item->next;
                V **head = &buckets[indexOf(item->getObjectId(), capacity)];
                item->next = *head;
                *head = item;
                item = next;
            }
        }
        delete[] old;
    }

    V **buckets;
    int capacity;
    int count;
    int threshold;
    float loadFactor;
};

#endif
