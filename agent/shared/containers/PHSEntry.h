#ifndef AGENT_PHSENTRY_H
#define AGENT_PHSENTRY_H

// One chained entry of a PointerHashSet<T>: the element, the next entry of the
// chain and the free-list link used by the set's pool.
template <class T>
class PHSEntry {
public:
    void initialize(T *v, PHSEntry *n)
    {
        value = v;
        next = n;
    }
    T *getValue() const { return value; }
    // Returns the previous value.
    T *setValue(T *v)
    {
        T *old = value;
        value = v;
        return old;
    }
    PHSEntry *getNext() const { return next; }
    void setNext(PHSEntry *n) { next = n; }
    PHSEntry *getNextInstance() const { return nextInstance; }
    void setNextInstance(PHSEntry *n) { nextInstance = n; }

private:
    T *value = nullptr;
    PHSEntry *next = nullptr;
    PHSEntry *nextInstance = nullptr;
};

#endif
