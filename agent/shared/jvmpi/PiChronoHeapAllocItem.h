#ifndef AGENT_JVMPI_PICHRONOHEAPALLOCITEM_H
#define AGENT_JVMPI_PICHRONOHEAPALLOCITEM_H

#include "PiHeapAllocItem.h"

// A recorded object with its allocation time (milliseconds).
class PiChronoHeapAllocItem : public PiHeapAllocItem {
public:
    int getTime() const override { return time; }

    int time = 0;
};

#endif
