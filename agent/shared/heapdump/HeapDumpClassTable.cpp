#include "HeapDumpClassTable.h"

#include "HeapDumpSwap.h"

HeapDumpClassTable::HeapDumpClassTable(HeapDumpSwap *swap) : swap(swap)
{
}

HeapDumpClassTable::~HeapDumpClassTable() = default;

HeapDumpClass *HeapDumpClassTable::find(uint32_t tag)
{
    auto found = byTag.find(tag);
    return found != byTag.end() ? &entries[found->second].dump : nullptr;
}

HeapDumpClass *HeapDumpClassTable::add(const HeapDumpClass &dump, uint32_t staticSize)
{
    if (HeapDumpClass *existing = find(dump.tag))
        return existing;
    Entry entry;
    entry.dump = dump;
    entry.dump.staticData.clear();
    entry.staticSize = staticSize;
    byTag.emplace(dump.tag, entries.size());
    entries.push_back(std::move(entry));
    return &entries.back().dump;
}

bool HeapDumpClassTable::setStatic(uint32_t tag, uint32_t offset, int byteSize, uint64_t value)
{
    auto found = byTag.find(tag);
    if (found == byTag.end() || byteSize <= 0 || byteSize > 8)
        return !swap->failed();
    Entry &entry = entries[found->second];
    if (static_cast<uint64_t>(offset) + static_cast<uint64_t>(byteSize) > entry.staticSize)
        return !swap->failed();
    if (entry.swapPos < 0) {
        entry.swapPos = swap->reserve(entry.staticSize);
        if (entry.swapPos < 0)
            return false;
    }
    uint8_t bytes[8];
    for (int i = 0; i < byteSize; i++)
        bytes[i] = static_cast<uint8_t>(value >> (8 * (byteSize - 1 - i)));
    return swap->writeAt(entry.swapPos + offset, bytes, static_cast<size_t>(byteSize));
}

bool HeapDumpClassTable::writeAll(HeapDumpRecords *records)
{
    if (swap->failed())
        return false;
    for (Entry &entry : entries) {
        // Static data never written stays zeros.
        entry.dump.staticData.assign(entry.staticSize, 0);
        if (entry.swapPos >= 0 && entry.staticSize > 0 &&
            !swap->readAt(entry.swapPos, entry.dump.staticData.data(), entry.staticSize))
            return false;
        records->classDump(entry.dump);
        entry.dump.staticData.clear();
        entry.dump.staticData.shrink_to_fit();
    }
    records->endClassDumps();
    return true;
}

void HeapDumpClassTable::clear()
{
    entries.clear();
    byTag.clear();
}
