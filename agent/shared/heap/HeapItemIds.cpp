#include "HeapItemIds.h"

#include <cstring>

HeapItemIds::HeapItemIds()
    : plain(true, FIRST_ID), chronoPlain(true, CHRONO_START), arrays(false, FIRST_ID), chronoArrays(false, CHRONO_START)
{
}

int HeapItemIds::getNewId(bool array, bool chrono, HeapAllocItem **item)
{
    int id;
    if (array && chrono) {
        id = chronoArrays.getNewInstanceId();
        ChronoHeapArrayAllocItem *it = chronoArrays.getInstance(id);
        memset(static_cast<void *>(it), 0, sizeof *it);
        *item = it;
    } else if (array) {
        id = arrays.getNewInstanceId();
        HeapArrayAllocItem *it = arrays.getInstance(id);
        memset(static_cast<void *>(it), 0, sizeof *it);
        *item = it;
    } else if (chrono) {
        id = chronoPlain.getNewInstanceId();
        ChronoHeapAllocItem *it = chronoPlain.getInstance(id);
        memset(static_cast<void *>(it), 0, sizeof *it);
        *item = it;
    } else {
        id = plain.getNewInstanceId();
        HeapAllocItem *it = plain.getInstance(id);
        memset(static_cast<void *>(it), 0, sizeof *it);
        *item = it;
    }
    return id;
}

HeapAllocItem *HeapItemIds::getAllocItem(long long id)
{
    if (id == 0 || id > LIMIT || id < -LIMIT)
        return nullptr;
    int i = static_cast<int>(id);
    if (id > 0)
        return isChronoId(id) ? static_cast<HeapAllocItem *>(chronoArrays.getInstance(i)) : arrays.getInstance(i);
    return isChronoId(id) ? static_cast<HeapAllocItem *>(chronoPlain.getInstance(i)) : plain.getInstance(i);
}

bool HeapItemIds::freeAllocItem(long long id)
{
    if (id == 0 || id > LIMIT || id < -LIMIT)
        return false;
    int i = static_cast<int>(id);
    if (id > 0)
        return isChronoId(id) ? chronoArrays.freeInstance(i) : arrays.freeInstance(i);
    return isChronoId(id) ? chronoPlain.freeInstance(i) : plain.freeInstance(i);
}

void HeapItemIds::zeroAll()
{
    plain.zeroAllInstances();
    chronoPlain.zeroAllInstances();
    arrays.zeroAllInstances();
    chronoArrays.zeroAllInstances();
}

long long HeapItemIds::getArraySize(long long id, const HeapAllocItem *item)
{
    return isArrayId(id) ? static_cast<const HeapArrayAllocItem *>(item)->size : 0;
}

void HeapItemIds::setArraySize(long long id, HeapAllocItem *item, long long size)
{
    if (isArrayId(id))
        static_cast<HeapArrayAllocItem *>(item)->size = size;
}

int32_t HeapItemIds::getTime(long long id, const HeapAllocItem *item)
{
    if (!isChronoId(id))
        return 0;
    return isArrayId(id) ? static_cast<const ChronoHeapArrayAllocItem *>(item)->time
                         : static_cast<const ChronoHeapAllocItem *>(item)->time;
}

void HeapItemIds::setTime(long long id, HeapAllocItem *item, int32_t time)
{
    if (!isChronoId(id))
        return;
    if (isArrayId(id))
        static_cast<ChronoHeapArrayAllocItem *>(item)->time = time;
    else
        static_cast<ChronoHeapAllocItem *>(item)->time = time;
}
