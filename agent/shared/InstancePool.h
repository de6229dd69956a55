#ifndef AGENT_INSTANCEPOOL_H
#define AGENT_INSTANCEPOOL_H

// Recycles objects of one class through a free list threaded through the
// objects themselves. T offers a default constructor, getNextInstance() and
// setNextInstance(T*); the link is used only while the object is idle.
// No locking: callers serialise access.
template <class T>
class InstancePool {
public:
    InstancePool() : head(nullptr), count(0) {}
    InstancePool(const InstancePool &) = delete;
    InstancePool &operator=(const InstancePool &) = delete;

    // Destroys every idle instance; instances in use are the caller's.
    ~InstancePool()
    {
        while (head != nullptr) {
            T *next = head->getNextInstance();
            delete head;
            head = next;
        }
    }

    // Pops the most recently freed instance. With an empty pool returns null
    // when noNew is true, else a new default-constructed T. A recycled object
    // keeps the state it had when freed: the caller re-initialises it.
    T *getInstance(bool noNew)
    {
        if (head == nullptr)
            return noNew ? nullptr : new T();
        T *taken = head;
        head = taken->getNextInstance();
        taken->setNextInstance(nullptr);
        count--;
        return taken;
    }

    // Takes the object back; it is neither destroyed nor cleared.
    void freeInstance(T *instance)
    {
        instance->setNextInstance(head);
        head = instance;
        count++;
    }

    // Pre-allocates until at least n instances are idle.
    void ensureCapacity(int n)
    {
        while (count < n)
            freeInstance(new T());
    }

    int getCount() const { return count; }

private:
    T *head;
    int count;
};

#endif
