#ifndef AGENT_HMENTRY_H
#define AGENT_HMENTRY_H

// One chained entry of a HashMap<K,V>: borrowed key and value pointers, the
// next entry of the chain and the free-list link used by the map's pool.
template <class K, class V>
class HMEntry {
public:
    void initialize(K *k, V *v, HMEntry *n)
    {
        key = k;
        value = v;
        next = n;
    }
    K *getKey() const { return key; }
    V *getValue() const { return value; }
    // Returns the previous value.
    V *setValue(V *v)
    {
        V *old = value;
        value = v;
        return old;
    }
    HMEntry *getNext() const { return next; }
    void setNext(HMEntry *n) { next = n; }
    HMEntry *getNextInstance() const { return nextInstance; }
    void setNextInstance(HMEntry *n) { nextInstance = n; }

private:
    K *key = nullptr;
    V *value = nullptr;
    HMEntry *next = nullptr;
    HMEntry *nextInstance = nullptr;
};

#endif
