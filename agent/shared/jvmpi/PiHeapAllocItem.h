#ifndef AGENT_JVMPI_PIHEAPALLOCITEM_H
#define AGENT_JVMPI_PIHEAPALLOCITEM_H

#include "jvmpi.h"

class CallStackTree;
class ClassData;

// One recorded live object: its class (a pseudo class for primitive arrays),
// its object id, the allocation call-tree node and the link of the live-object
// table's chain or of a pool's free list.
class PiHeapAllocItem {
public:
    PiHeapAllocItem() = default;
    virtual ~PiHeapAllocItem() = default;
    PiHeapAllocItem(const PiHeapAllocItem &) = default;
    PiHeapAllocItem &operator=(const PiHeapAllocItem &) = default;

    // Type codes 3 to 11 are primitive arrays.
    static bool isSpecialArray(int type) { return type >= 3 && type <= 11; }

    jobjectID getObjectId() const { return objectId; }
    void setObjectId(jobjectID id) { objectId = id; }
    // The class's kind; 2 without a class.
    int getType() const;
    // The array's byte size for primitive arrays, else the class's instance
    // size (0 without a class).
    int getSize() const;
    // The class, or null for a primitive-array pseudo class.
    ClassData *getClassData() const;
    // Allocation time in milliseconds; 0 for items that record none.
    virtual int getTime() const { return 0; }
    // The stored array size; 0 for items of objects.
    virtual int getArraySize() const { return 0; }

    ClassData *classData = nullptr;
    jobjectID objectId = nullptr;
    PiHeapAllocItem *next = nullptr;
    CallStackTree *allocNode = nullptr;
    // The id the heap views know the object by; 0 when they do not.
    long long viewTag = 0;
};

#endif
