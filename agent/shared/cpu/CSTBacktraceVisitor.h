#ifndef AGENT_CSTBACKTRACEVISITOR_H
#define AGENT_CSTBACKTRACEVISITOR_H

#include "CallStackTree.h"

// Builds the back traces of one method: for every node of the method, its
// callers from the nearest upwards (up to the first node without method)
// are mirrored under the target node, each mirrored node adding the node's
// value (its self time when asked) and its count (its own calls only in
// count mode). With hideFiltered only unfiltered or first-level nodes count.
class CSTBacktraceVisitor : public CSTVisitor {
public:
    void initialize(CallStackTree *target, InstancePool<CallStackTree> *pool, MethodDesc *method, bool countSelf, bool hideFiltered,
                    bool selfTime);
    int preVisit(CallStackTree *node) override;
    void postVisit(CallStackTree *) override {}

private:
    CallStackTree *target = nullptr;
    InstancePool<CallStackTree> *pool = nullptr;
    MethodDesc *method = nullptr;
    bool countSelf = false;
    bool hideFiltered = false;
    bool selfTime = false;
};

#endif
