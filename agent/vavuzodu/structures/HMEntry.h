#ifndef TESSERA_HMENTRY_H
#define TESSERA_HMENTRY_H

namespace ts_helper {

// One key/value pair of a HashMap chain. The key is not owned.
template <class K, class V>
class HMEntry {
public:
    HMEntry() : key(nullptr), value(V()), next(nullptr), nextInstance(nullptr) {}

    void initialize(K *newKey, V newValue, HMEntry *newNext)
    {
        key = newKey;
        value = newValue;
        next = newNext;
    }

    K *getKey() const { return key; }
    V getValue() const { return value; }
    // Stores v and returns the value it replaces.
    V setValue(V v)
    {
        V old = value;
        value = v;
        return old;
    }

    HMEntry *getNext() const { return next; }
    void setNext(HMEntry *n) { next = n; }
    HMEntry *getNextInstance() const { return nextInstance; }
    void setNextInstance(HMEntry *n) { nextInstance = n; }

private:
    K *key;
    V value;
    HMEntry *next;
    HMEntry *nextInstance;
};

} // namespace ts_helper

#endif
