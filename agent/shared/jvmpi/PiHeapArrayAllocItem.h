#ifndef AGENT_JVMPI_PIHEAPARRAYALLOCITEM_H
#define AGENT_JVMPI_PIHEAPARRAYALLOCITEM_H

#include "PiHeapAllocItem.h"

// A recorded primitive array: the byte size the VM reported for it.
class PiHeapArrayAllocItem : public PiHeapAllocItem {
public:
    int getArraySize() const override { return size; }

    int size = 0;
};

#endif
