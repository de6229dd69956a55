#ifndef AGENT_PHMENTRY_H
#define AGENT_PHMENTRY_H

// One chained entry of a PointerHashMap<V,K>: a key by value, a value pointer
// and the next entry of the bucket's chain.
template <class V, class K>
class PHMEntry {
public:
    void initialize(K k, V *v, PHMEntry *n)
    {
        key = k;
        value = v;
        next = n;
    }
    K getKey() const { return key; }
    V *getValue() const { return value; }
    // Returns the previous value.
    V *setValue(V *v)
    {
        V *old = value;
        value = v;
        return old;
    }
    PHMEntry *getNext() const { return next; }
    void setNext(PHMEntry *n) { next = n; }

private:
    K key;
    V *value;
    PHMEntry *next;
};

#endif
