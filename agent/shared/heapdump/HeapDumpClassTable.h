#ifndef AGENT_HEAPDUMPCLASSTABLE_H
#define AGENT_HEAPDUMPCLASSTABLE_H

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "HeapDumpRecords.h"

class HeapDumpSwap;

// The class dumps met in one heap dump walk, in the order they were met,
// found by the dump id of their class object. Their static field data lives
// in the swap file (zero-filled when the first value arrives) and is read
// back when the class dumps are written. Used by the walking thread only.
class HeapDumpClassTable {
public:
    explicit HeapDumpClassTable(HeapDumpSwap *swap);
    virtual ~HeapDumpClassTable();

    // The class dump of the class object `tag`; null when none was made.
    virtual HeapDumpClass *find(uint32_t tag);
    // Makes the class dump `dump` (its static data is ignored) with
    // `staticSize` bytes of static data; an existing one for the same tag is
    // returned unchanged.
    virtual HeapDumpClass *add(const HeapDumpClass &dump, uint32_t staticSize);
    // Stores `value` (its low `byteSize` bytes, most significant first) at
    // `offset` of the static data of class `tag`. A value outside the static
    // data or of an unknown class is dropped. False when the swap failed.
    virtual bool setStatic(uint32_t tag, uint32_t offset, int byteSize, uint64_t value);
    // Writes every class dump with its static data and the end of the list.
    // False when static data could not be read back (the dump is unusable).
    virtual bool writeAll(HeapDumpRecords *records);
    // Forgets all class dumps.
    virtual void clear();

    size_t size() const { return entries.size(); }

private:
    struct Entry {
        HeapDumpClass dump;
        uint32_t staticSize = 0;
        long long swapPos = -1;
    };

    HeapDumpSwap *swap;
    std::vector<Entry> entries;
    std::unordered_map<uint32_t, size_t> byTag;
};

#endif
