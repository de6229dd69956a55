#ifndef AGENT_JVMPI_HEAPARRAYALLOCITEM_H
#define AGENT_JVMPI_HEAPARRAYALLOCITEM_H

#include "HeapAllocItem.h"

// A recorded primitive array: the byte size the VM reported for it.
class HeapArrayAllocItem : public HeapAllocItem {
public:
    int getArraySize() const override { return size; }

    int size = 0;
};

#endif
