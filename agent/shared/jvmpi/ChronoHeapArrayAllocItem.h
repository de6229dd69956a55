#ifndef AGENT_JVMPI_CHRONOHEAPARRAYALLOCITEM_H
#define AGENT_JVMPI_CHRONOHEAPARRAYALLOCITEM_H

#include "HeapAllocItem.h"

// A recorded primitive array with its byte size and allocation time.
class ChronoHeapArrayAllocItem : public HeapAllocItem {
public:
    int getArraySize() const override { return size; }
    int getTime() const override { return time; }

    int size = 0;
    int time = 0;
};

#endif
