#ifndef AGENT_CSTMERGEVISITOR_H
#define AGENT_CSTMERGEVISITOR_H

#include <vector>

#include "CallStackTree.h"

class ProfilingSession;

// Merges a source tree (a thread's call tree) onto a target tree: the source
// root onto the target root, every other node onto the target node of its
// (method, line hint), so that several threads add up in one tree. Chains of
// hidden (filtered or view-filtered) calls collapse into their first node;
// with an aggregation level methods are replaced by their class (1) or
// package (2) node. The value kind chooses what the target values hold: 1
// CPU time, 2 waiting, 3 blocking, 5 net I/O time (with their event counts),
// 4 all of them (with the call counts).
class CSTMergeVisitor : public CSTVisitor {
public:
    static constexpr int KIND_CPU = 1;
    static constexpr int KIND_WAITING = 2;
    static constexpr int KIND_BLOCKING = 3;
    static constexpr int KIND_ALL = 4;
    static constexpr int KIND_NET_IO = 5;

    void initialize(ProfilingSession *session, CallStackTree *targetRoot, InstancePool<CallStackTree> *pool, int aggregationLevel,
                    bool viewFilter, int valueKind);
    // Probe annotations: every target node that receives an annotated
    // source node is marked with annotation id -1 and gathers the source's id
    // (or, with `sourceVectors`, the ids the source node gathered there) in
    // `targetMap`, each id once. Null maps: annotations are not followed.
    void setAnnotations(AnnotationMap *targetMap, const AnnotationMap *sourceVectors);
    // A live thread's open times, added to the source values (null: none).
    void setOpenTimes(const OpenTimeMap *times) { openTimes = times; }
    int preVisit(CallStackTree *node) override;
    void postVisit(CallStackTree *node) override;

private:
    enum Visibility { PSEUDO, HIDDEN, VISIBLE };
    Visibility classify(const CallStackTree *node) const;
    MethodDesc *levelObject(MethodDesc *method, bool *mergeIntoCurrent) const;
    void gatherAnnotations(const CallStackTree *node);

    ProfilingSession *session = nullptr;
    CallStackTree *targetRoot = nullptr;
    CallStackTree *cursor = nullptr;
    InstancePool<CallStackTree> *pool = nullptr;
    int aggregationLevel = 0;
    bool viewFilter = false;
    int valueKind = KIND_CPU;
    AnnotationMap *annotations = nullptr;
    const AnnotationMap *sourceAnnotations = nullptr;
    const OpenTimeMap *openTimes = nullptr;
    // Per visited source node: whether the cursor moved for it.
    std::vector<bool> moved;
    // Per visited source node: whether it was hidden.
    std::vector<bool> hidden;
};

#endif
