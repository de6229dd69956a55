#ifndef TESSERA_INSTANCEPOOL_H
#define TESSERA_INSTANCEPOOL_H

namespace ts_helper {

// A free list of objects of one class, linked through the objects' own
// next-instance links (getNextInstance/setNextInstance; the link is used only
// while the object is idle). It keeps no record of objects in use and has no
// size limit. Not locked: callers serialise access.
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
            T *next = static_cast<T *>(head->getNextInstance());
            delete head;
            head = next;
        }
    }

    // Pops the most recently freed instance. With an empty pool returns null
    // when noNew is true, else a new default-constructed T. A recycled object
    // keeps the state it had when freed: the caller initialises it
    // (initInstance).
    T *getInstance(bool noNew = false)
    {
        if (head == nullptr)
            return noNew ? nullptr : new T();
        T *taken = head;
        head = static_cast<T *>(taken->getNextInstance());
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

    // Number of idle instances.
    int getCount() const { return count; }

private:
    T *head;
    int count;
};

// The one pool of class T: created on first use and kept until the process ends.
template <class T>
InstancePool<T> &poolOf()
{
    static InstancePool<T> *pool = new InstancePool<T>();
    return *pool;
}

} // namespace ts_helper

#endif
