#ifndef VAVUZODU_INSTANCEPOOL_H
#define VAVUZODU_INSTANCEPOOL_H

namespace ts_helper {

// A free list of objects of one class, linked through the objects' own
// next-instance links (getNextInstance/setNextInstance). It keeps no record of
// objects in use and has no size limit. Not locked: callers serialise access.
template <class T>
class InstancePool {
public:
    InstancePool() : freeList(nullptr) {}
    InstancePool(const InstancePool &) = delete;
    InstancePool &operator=(const InstancePool &) = delete;

    // Pops a free object, or makes a new one with new when none is free. The
    // caller initialises it (initInstance).
    T *getInstance()
    {
        if (freeList == nullptr)
            return new T();
        T *t = freeList;
        freeList = static_cast<T *>(t->getNextInstance());
        t->setNextInstance(nullptr);
        return t;
    }

    // Pushes t onto the free list; the pool owns it from now on.
    void freeInstance(T *t)
    {
        t->setNextInstance(freeList);
        freeList = t;
    }

    // Number of free objects (walks the list).
    int countFree() const
    {
        int n = 0;
        for (T *t = freeList; t != nullptr; t = static_cast<T *>(t->getNextInstance()))
            n++;
        return n;
    }

    ~InstancePool()
    {
        while (freeList != nullptr) {
            T *next = static_cast<T *>(freeList->getNextInstance());
            delete freeList;
            freeList = next;
        }
    }

private:
    T *freeList;
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
