#ifndef AGENT_COPYTREEVISITOR_H
#define AGENT_COPYTREEVISITOR_H

#include <vector>

#include "CallStackTree.h"

// Copies a (sub)tree: every visited node with its method, line hint, values
// and monitor record, into a new tree from the pool. One node may be marked;
// each node's children keep their order; the copy remembers its image (a thread's current node, whose running time
// is added to the copy).
class CopyTreeVisitor : public CSTVisitor {
public:
    void initialize(InstancePool<CallStackTree> *nodePool, const CallStackTree *markedNode);
    // A live thread's open times, added to the copied values (null: none).
    void setOpenTimes(const OpenTimeMap *times) { openTimes = times; }
    int preVisit(CallStackTree *node) override;
    void postVisit(CallStackTree *node) override;

    // The copy of the visited root; null before a walk. The caller frees it.
    CallStackTree *getCopy() const { return copy; }
    // The image of the marked node; null when it was not visited.
    CallStackTree *getMarkedCopy() const { return markedCopy; }

private:
    InstancePool<CallStackTree> *pool = nullptr;
    const CallStackTree *marked = nullptr;
    const OpenTimeMap *openTimes = nullptr;
    CallStackTree *copy = nullptr;
    CallStackTree *markedCopy = nullptr;
    CallStackTree *cursor = nullptr;
    // Per open level: the last child copied so far.
    std::vector<CallStackTree *> lastChild;
};

#endif
