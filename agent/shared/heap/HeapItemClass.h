#ifndef AGENT_HEAPITEMCLASS_H
#define AGENT_HEAPITEMCLASS_H

#include <cstdint>

#include "CallStackTree.h"

class ClassData;
class DataReader;
class DataWriter;

// Statistics of one class or array type in one set of the heap session:
// live count and bytes, what was last sent of them, and the allocation tree
// of the set (kept with allocation-tree recording type 3).
class HeapItemClass {
public:
    // `type` 0 means 2 (objects); with a class, the class's own type code.
    HeapItemClass(int type, ClassData *classData, InstancePool<CallStackTree> *pool);
    ~HeapItemClass();
    HeapItemClass(const HeapItemClass &) = delete;
    HeapItemClass &operator=(const HeapItemClass &) = delete;

    int getType() const { return type; }
    ClassData *getClassData() const { return classData; }
    long long getCount() const { return count; }
    long long getSize() const { return size; }
    CallStackTree *getTree() const { return tree; }
    // Replaces the tree by an empty root (the old one goes back to the pool).
    void resetTree();

    bool isModified() const { return count != countSent || size != sizeSent; }
    void addInstance(long long bytes);
    // Takes one instance away; count and size never go below 0.
    void removeInstance(long long bytes);
    // Count and size to 0.
    void reset() { count = size = 0; }
    // Values read from a snapshot; the tree (may be null) replaces the own one.
    void setValues(long long newCount, long long newSize) { count = newCount; size = newSize; }
    void adoptTree(CallStackTree *newTree);
    // Last-sent values to 0: the next differential list sends this again.
    void resetSent() { countSent = sizeSent = 0; }

    // U2 type, ID class (0 for array entries), JLong count, JLong size and,
    // with `withTree`, the tree (mask 46) or byte 0. `markSent` makes the
    // values the last sent ones first.
    void write(DataWriter *writer, bool markSent, bool withTree);

private:
    uint16_t type;
    ClassData *classData;
    long long count = 0;
    long long countSent = 0;
    long long size = 0;
    long long sizeSent = 0;
    InstancePool<CallStackTree> *pool;
    CallStackTree *tree;
};

#endif
