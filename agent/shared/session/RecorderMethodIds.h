#ifndef AGENT_RECORDERMETHODIDS_H
#define AGENT_RECORDERMETHODIDS_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "PointerHashSet.h"

// The methods the recorder's Java side hands to the native agent: each
// 64-bit identifier stands for the method id in its low 32 bits. Returns the
// distinct ones that are not 0 in a new pointer set (capacity 11, load factor
// 0.75, grown to 2n + 1 as it fills).
std::unique_ptr<PointerHashSet<void>> collectRecorderMethodIds(const int64_t *ids, size_t count);

// The set's key for a method id.
inline void *recorderMethodKey(uint32_t methodId)
{
    return reinterpret_cast<void *>(static_cast<uintptr_t>(methodId));
}

#endif
