#ifndef AGENT_CSTEXCEPTIONALMERGEVISITOR_H
#define AGENT_CSTEXCEPTIONALMERGEVISITOR_H

#include "CallStackTree.h"

// Adds a run of an exceptional method (a subtree) onto a target node: the
// run's root onto the target, every other node onto the target's node of the
// same (method, line hint), made from the pool when missing. Values, counts
// and monitor times are added to each node alone (not to its parents).
class CSTExceptionalMergeVisitor : public CSTVisitor {
public:
    void initialize(CallStackTree *targetNode, InstancePool<CallStackTree> *nodePool)
    {
        target = targetNode;
        cursor = nullptr;
        pool = nodePool;
    }
    int preVisit(CallStackTree *node) override;
    void postVisit(CallStackTree *node) override;

private:
    CallStackTree *target = nullptr;
    CallStackTree *cursor = nullptr;
    InstancePool<CallStackTree> *pool = nullptr;
};

#endif
