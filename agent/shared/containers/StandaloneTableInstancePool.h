#ifndef AGENT_STANDALONETABLEINSTANCEPOOL_H
#define AGENT_STANDALONETABLEINSTANCEPOOL_H

#include <cstdint>
#include <cstring>
#include <vector>

// Hands out integer ids for records stored in blocks of BLOCK_SIZE items, so
// that an id leads to its record by arithmetic alone. A negative pool hands
// out negated ids. Record addresses stay valid for the life of the pool.
// No locking: callers serialise access.
template <class T>
class StandaloneTableInstancePool {
public:
    static const int BLOCK_SIZE = 5000;

    StandaloneTableInstancePool(bool negative, int startId)
        : newestBlock(nullptr), nextId(startId), negative(negative), startId(startId)
    {
        addBlock();
    }
    StandaloneTableInstancePool(const StandaloneTableInstancePool &) = delete;
    StandaloneTableInstancePool &operator=(const StandaloneTableInstancePool &) = delete;

    ~StandaloneTableInstancePool()
    {
        for (T *block : blocks)
            delete[] block;
    }

    // The most recently freed id if there is one, else the next id never
    // handed out (negated for a negative pool).
    int getNewInstanceId()
    {
        if (!freeIds.empty()) {
            int id = freeIds.back();
            freeIds.pop_back();
            return id;
        }
        int32_t c = static_cast<int32_t>(static_cast<uint32_t>(nextId));
        nextId++;
        return negative ? -c : c;
    }

    // The record of an id this pool issued; blocks up to the id's block are
    // allocated on demand. An id never issued is refused with null, so that a
    // stray id from a snapshot or a peer cannot grow the table without bound.
    T *getInstance(int id)
    {
        if (!isIssued(id))
            return nullptr;
        uint32_t offset = offsetOf(id);
        uint32_t blockIndex = offset / BLOCK_SIZE;
        while (blocks.size() <= blockIndex)
            addBlock();
        return &blocks[blockIndex][offset % BLOCK_SIZE];
    }

    // Returns an id for reuse; the record itself is not cleared. Ids this
    // pool never issued are ignored (false).
    bool freeInstance(int id)
    {
        if (!isIssued(id))
            return false;
        freeIds.push_back(id);
        return true;
    }

    // Sets every byte of every block to 0; issued ids and free ids stay.
    void zeroAllInstances()
    {
        for (T *block : blocks)
            std::memset(static_cast<void *>(block), 0, sizeof(T) * BLOCK_SIZE);
    }

    size_t getBlockCount() const { return blocks.size(); }

private:
    uint32_t offsetOf(int id) const
    {
        int64_t magnitude = negative ? -static_cast<int64_t>(id) : id;
        return static_cast<uint32_t>(magnitude - startId);
    }

    bool isIssued(int id) const
    {
        int64_t magnitude = negative ? -static_cast<int64_t>(id) : id;
        return magnitude >= startId && magnitude < nextId;
    }

    void addBlock()
    {
        newestBlock = new T[BLOCK_SIZE];
        blocks.push_back(newestBlock);
    }

    std::vector<T *> blocks;
    T *newestBlock;
    int64_t nextId;
    bool negative;
    int32_t startId;
    std::vector<int32_t> freeIds;
};

#endif
