#ifndef AGENT_JVMPI_BASETABLEINSTANCEPOOL_H
#define AGENT_JVMPI_BASETABLEINSTANCEPOOL_H

#include <vector>

// Items handed out from blocks of BLOCK_SIZE allocated at once; a freed item
// is offered again before a new one. T has a public `next` pointer, null in a
// new block. No locking: callers serialise access.
template <class T>
class BaseTableInstancePool {
public:
    static const int BLOCK_SIZE = 5000;

    BaseTableInstancePool() : current(nullptr), used(0) { addBlock(); }
    virtual ~BaseTableInstancePool()
    {
        for (T *block : blocks)
            delete[] block;
    }
    BaseTableInstancePool(const BaseTableInstancePool &) = delete;
    BaseTableInstancePool &operator=(const BaseTableInstancePool &) = delete;

    virtual void freeInstance(T *item) = 0;
    // A freed item taken back for reuse, or null.
    virtual T *getFreedInstance() = 0;

    // A freed item, else the next unused one of the current block; a full
    // block is followed by a new one unless `noGrow`, which yields null.
    T *getInstance(bool noGrow)
    {
        T *item = getFreedInstance();
        if (item != nullptr)
            return item;
        if (used == BLOCK_SIZE) {
            if (noGrow)
                return nullptr;
            addBlock();
        }
        return &current[used++];
    }

    // Resets every item of every block to its initial state.
    void zeroAllInstances()
    {
        for (T *block : blocks)
            for (int i = 0; i < BLOCK_SIZE; ++i)
                block[i] = T();
    }

    size_t getBlockCount() const { return blocks.size(); }

private:
    void addBlock()
    {
        current = new T[BLOCK_SIZE]();
        blocks.push_back(current);
        used = 0;
    }

    std::vector<T *> blocks;
    T *current;
    int used;
};

#endif
