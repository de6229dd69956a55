#ifndef AGENT_JVMPI_TABLEINSTANCEPOOL_H
#define AGENT_JVMPI_TABLEINSTANCEPOOL_H

#include "BaseTableInstancePool.h"

// A block pool whose freed items form a list through their `next` field,
// most recently freed first.
template <class T>
class TableInstancePool : public BaseTableInstancePool<T> {
public:
    TableInstancePool() : freeList(nullptr) {}

    void freeInstance(T *item) override
    {
        item->next = freeList;
        freeList = item;
    }

    T *getFreedInstance() override
    {
        T *item = freeList;
        if (item != nullptr) {
            freeList = static_cast<T *>(item->next);
            item->next = nullptr;
        }
        return item;
    }

private:
    T *freeList;
};

#endif
