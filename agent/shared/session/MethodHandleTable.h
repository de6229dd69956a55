#ifndef AGENT_METHODHANDLETABLE_H
#define AGENT_METHODHANDLETABLE_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <unordered_map>

class MethodDesc;

// The 32-bit method ids that instrumented code passes to the agent's entry
// and exit hooks: handles into this table, never pointers. Id 0 is never
// given out and id 1 is reserved for calibrating the hook overhead. Lookups
// are lock-free and safe against concurrent registration.
class MethodHandleTable {
public:
    static const int32_t CALIBRATION_ID = 1;

    MethodHandleTable();
    ~MethodHandleTable();
    MethodHandleTable(const MethodHandleTable &) = delete;
    MethodHandleTable &operator=(const MethodHandleTable &) = delete;

    // The handle of a descriptor, made on first request; 0 when the table is full.
    int32_t getHandle(MethodDesc *method);
    // The handle of a descriptor that has one, else 0; never makes one.
    int32_t findHandle(MethodDesc *method);
    // The descriptor of a handle; null for an unknown or reserved handle.
    // Inline: every hook asks it.
    MethodDesc *lookup(int32_t handle) const
    {
        if (handle < 2 || handle >= next.load(std::memory_order_acquire))
            return nullptr;
        std::atomic<MethodDesc *> *chunk = chunks[handle >> CHUNK_BITS];
        return chunk != nullptr ? chunk[handle & (CHUNK_SIZE - 1)].load(std::memory_order_acquire) : nullptr;
    }

private:
    static const int CHUNK_BITS = 12;
    static const int CHUNK_SIZE = 1 << CHUNK_BITS;
    static const int MAX_CHUNKS = 4096;

    std::atomic<MethodDesc *> *chunks[MAX_CHUNKS];
    std::atomic<int32_t> next;
    std::mutex registration;
    std::unordered_map<MethodDesc *, int32_t> handles;
};

#endif
