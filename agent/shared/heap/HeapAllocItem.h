#ifndef AGENT_HEAPALLOCITEM_H
#define AGENT_HEAPALLOCITEM_H

#include <cstdint>

class CallStackTree;
class ClassData;

// One recorded live object: its class (for a primitive array the pseudo class
// of its type) and the call-tree node of the allocating thread (may be null).
// Items live in the id pools of HeapItemIds and are plain data.
struct HeapAllocItem {
    ClassData *classData;
    CallStackTree *node;
};

// An array item also keeps its size: 64 bits, since a 64-bit VM has arrays
// of 2 GiB and more.
struct HeapArrayAllocItem : HeapAllocItem {
    long long size;
};

// Items with the allocation time in milliseconds of the agent's clock.
struct ChronoHeapAllocItem : HeapAllocItem {
    int32_t time;
};

struct ChronoHeapArrayAllocItem : HeapArrayAllocItem {
    int32_t time;
};

#endif
