#include "MethodHandleTable.h"

MethodHandleTable::MethodHandleTable() : next(2)
{
    for (auto &chunk : chunks)
        chunk = nullptr;
}

MethodHandleTable::~MethodHandleTable()
{
    for (auto &chunk : chunks)
        delete[] chunk;
}

int32_t MethodHandleTable::getHandle(MethodDesc *method)
{
    if (method == nullptr)
        return 0;
    std::lock_guard<std::mutex> guard(registration);
    auto found = handles.find(method);
    if (found != handles.end())
        return found->second;
    int32_t handle = next.load();
    int chunk = handle >> CHUNK_BITS;
    if (chunk >= MAX_CHUNKS)
        return 0;
    if (chunks[chunk] == nullptr) {
        std::atomic<MethodDesc *> *made = new std::atomic<MethodDesc *>[CHUNK_SIZE];
        for (int i = 0; i < CHUNK_SIZE; i++)
            made[i].store(nullptr, std::memory_order_relaxed);
        // Publish the chunk before any handle that lies in it.
        std::atomic_thread_fence(std::memory_order_release);
        chunks[chunk] = made;
    }
    chunks[chunk][handle & (CHUNK_SIZE - 1)].store(method, std::memory_order_release);
    handles.emplace(method, handle);
    next.store(handle + 1, std::memory_order_release);
    return handle;
}

int32_t MethodHandleTable::findHandle(MethodDesc *method)
{
    std::lock_guard<std::mutex> guard(registration);
    auto found = handles.find(method);
    return found != handles.end() ? found->second : 0;
}
