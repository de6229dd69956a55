#ifndef AGENT_CSTEXCEPTIONALMERGEVISITOR_H
#define AGENT_CSTEXCEPTIONALMERGEVISITOR_H

#include <utility>
#include <vector>

#include "CallStackTree.h"

// Adds a run of an exceptional method (a subtree) onto a target node: the
// run's root onto the target, every other node onto the target's node of the
// same (method, line hint), made from the pool when missing. Values, counts
// and monitor times are added to each node alone (not to its parents). A run
// node with a probe annotation id hands its payloads to the target node: the
// target gets a fresh id when it has none, and the pair (run's id, target's
// id) is kept for the Java side, which holds the payloads by id.
class CSTExceptionalMergeVisitor : public CSTVisitor {
public:
    void initialize(CallStackTree *targetNode, InstancePool<CallStackTree> *nodePool)
    {
        target = targetNode;
        cursor = nullptr;
        pool = nodePool;
        pairs.clear();
    }
    // The (run's id, target's id) pairs of the merge.
    const std::vector<std::pair<long long, long long>> &getAnnotationPairs() const { return pairs; }
    int preVisit(CallStackTree *node) override;
    void postVisit(CallStackTree *node) override;

private:
    CallStackTree *target = nullptr;
    CallStackTree *cursor = nullptr;
    InstancePool<CallStackTree> *pool = nullptr;
    std::vector<std::pair<long long, long long>> pairs;
};

#endif
