#include "RecorderMethodIds.h"

namespace {

const int INITIAL_CAPACITY = 11;
const float LOAD_FACTOR = 0.75f;

} // namespace

std::unique_ptr<PointerHashSet<void>> collectRecorderMethodIds(const int64_t *ids, size_t count)
{
    std::unique_ptr<PointerHashSet<void>> set(new PointerHashSet<void>(INITIAL_CAPACITY, LOAD_FACTOR));
    for (size_t i = 0; i < count; i++) {
        uint32_t methodId = static_cast<uint32_t>(static_cast<uint64_t>(ids[i]));
        if (methodId != 0)
            set->add(recorderMethodKey(methodId));
    }
    return set;
}
