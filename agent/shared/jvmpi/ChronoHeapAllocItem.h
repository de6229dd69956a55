#ifndef AGENT_JVMPI_CHRONOHEAPALLOCITEM_H
#define AGENT_JVMPI_CHRONOHEAPALLOCITEM_H

#include "HeapAllocItem.h"

// A recorded object with its allocation time (milliseconds).
class ChronoHeapAllocItem : public HeapAllocItem {
public:
    int getTime() const override { return time; }

    int time = 0;
};

#endif
