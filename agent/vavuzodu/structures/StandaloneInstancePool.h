#ifndef TESSERA_STANDALONEINSTANCEPOOL_H
#define TESSERA_STANDALONEINSTANCEPOOL_H

#include <vector>

namespace ts_helper {

// A stack of empty vectors for reuse. A freed vector keeps its capacity, so
// taking it again does not allocate. Not locked: callers serialise access.
template <class T>
class StandaloneInstancePool {
public:
    StandaloneInstancePool() {}
    StandaloneInstancePool(const StandaloneInstancePool &) = delete;
    StandaloneInstancePool &operator=(const StandaloneInstancePool &) = delete;

    // The most recently freed vector; when none is free, null if onlyFreed is
    // true, else a new empty vector. The caller owns the vector until it frees it.
    std::vector<T> *getInstance(bool onlyFreed = false)
    {
        if (freed.empty())
            return onlyFreed ? nullptr : new std::vector<T>();
        std::vector<T> *v = freed.back();
        freed.pop_back();
        return v;
    }

    // Empties v and keeps it for reuse.
    void freeInstance(std::vector<T> *v)
    {
        v->clear();
        freed.push_back(v);
    }

    // Adds empty vectors until at least n are free.
    void ensureCapacity(int n)
    {
        while (static_cast<int>(freed.size()) < n)
            freed.push_back(new std::vector<T>());
    }

    std::vector<std::vector<T> *> &getFreedInstances() { return freed; }

    ~StandaloneInstancePool()
    {
        for (std::vector<T> *v : freed)
            delete v;
    }

private:
    std::vector<std::vector<T> *> freed;
};

} // namespace ts_helper

#endif
