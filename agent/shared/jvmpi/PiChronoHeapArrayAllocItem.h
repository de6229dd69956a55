#ifndef AGENT_JVMPI_PICHRONOHEAPARRAYALLOCITEM_H
#define AGENT_JVMPI_PICHRONOHEAPARRAYALLOCITEM_H

#include "PiHeapAllocItem.h"

// A recorded primitive array with its byte size and allocation time.
class PiChronoHeapArrayAllocItem : public PiHeapAllocItem {
public:
    int getArraySize() const override { return size; }
    int getTime() const override { return time; }

    int size = 0;
    int time = 0;
};

#endif
