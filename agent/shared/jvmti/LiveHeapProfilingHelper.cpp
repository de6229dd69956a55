#include "LiveHeapProfilingHelper.h"

#include <atomic>

namespace {

std::atomic<long long> nextAllocItemId(1);

} // namespace

long long LiveHeapProfilingHelper::getNewAllocItemId(ClassData *)
{
    long long id = nextAllocItemId.fetch_add(1);
    // The class registry is keyed by the low 32 bits: never hand out 0 there.
    if ((id & 0xFFFFFFFFLL) == 0)
        id = nextAllocItemId.fetch_add(1);
    return id;
}
