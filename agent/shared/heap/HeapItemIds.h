#ifndef AGENT_HEAPITEMIDS_H
#define AGENT_HEAPITEMIDS_H

#include "HeapAllocItem.h"
#include "StandaloneTableInstancePool.h"

// Ids of recorded objects (they are also the objects' JVMTI tags) and their
// items. Plain items have negative ids, array items positive ones; an
// absolute value above CHRONO_START - 1 is an item with an allocation time:
//   plain        -FIRST_ID ... -(CHRONO_START - 1)
//   chrono plain -CHRONO_START ... -LIMIT
//   array         FIRST_ID ... CHRONO_START - 1
//   chrono array  CHRONO_START ... LIMIT
// Freed ids are handed out again, the last freed first. Ids outside the
// ranges (tag 1 among them) belong to no item. Callers hold the heap lock.
class HeapItemIds {
public:
    static const int FIRST_ID = 10;
    static const int CHRONO_START = 715827882;
    static const int LIMIT = 1431655763;

    HeapItemIds();
    HeapItemIds(const HeapItemIds &) = delete;
    HeapItemIds &operator=(const HeapItemIds &) = delete;

    // A new id of the kind; its item is returned cleared (time and size 0).
    int getNewId(bool array, bool chrono, HeapAllocItem **item);
    // The item of an issued id; null for any other id.
    HeapAllocItem *getAllocItem(long long id);
    // Gives the id back for reuse; false (and nothing done) for an id that
    // is not an issued one.
    bool freeAllocItem(long long id);
    // Clears every item; issued and free ids stay.
    void zeroAll();

    static bool isArrayId(long long id) { return id > 0; }
    static bool isChronoId(long long id) { return id >= CHRONO_START || id <= -CHRONO_START; }
    // True for an item emptied by zeroAll (or never filled): no class, no
    // node and, for an array, no size. Every recorded array has a size.
    static bool isCleared(long long id, const HeapAllocItem *item)
    {
        return item->classData == nullptr && item->node == nullptr && getArraySize(id, item) == 0;
    }
    // Size of an array item; 0 for a plain one.
    static long long getArraySize(long long id, const HeapAllocItem *item);
    static void setArraySize(long long id, HeapAllocItem *item, long long size);
    // Time of a chrono item in milliseconds; 0 for others.
    static int32_t getTime(long long id, const HeapAllocItem *item);
    static void setTime(long long id, HeapAllocItem *item, int32_t time);

private:
    StandaloneTableInstancePool<HeapAllocItem> plain;
    StandaloneTableInstancePool<ChronoHeapAllocItem> chronoPlain;
    StandaloneTableInstancePool<HeapArrayAllocItem> arrays;
    StandaloneTableInstancePool<ChronoHeapArrayAllocItem> chronoArrays;
};

#endif
