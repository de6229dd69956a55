#ifndef AGENT_CSTMETHODGRAPHVISITOR_H
#define AGENT_CSTMETHODGRAPHVISITOR_H

#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "CallStackTree.h"

class DataWriter;

// One call relation of the method graph: the time and calls of `callee`
// when called by `caller`.
struct MethodGraphEdge {
    MethodDesc *caller;
    MethodDesc *callee;
    long long time;
    uint32_t calls;

    void addCalls(uint32_t n, long long t)
    {
        calls += n;
        time += t;
    }
    // ID caller, ID callee, JLong time, U4 calls.
    void write(DataWriter *writer) const;
};

// Collects the method graph of a view tree: every caller-callee pair with
// its time and calls, and per method its total time (a recursive call
// counted once, at its outermost node), self time and calls. Nodes without
// a real method take no part.
class CSTMethodGraphVisitor : public CSTVisitor {
public:
    struct MethodTotals {
        MethodDesc *method;
        long long total;
        long long self;
        uint32_t calls;
    };

    int preVisit(CallStackTree *node) override;
    void postVisit(CallStackTree *node) override;

    // In order of first appearance.
    const std::vector<MethodGraphEdge> &getEdges() const { return edges; }
    const std::vector<MethodTotals> &getMethods() const { return methods; }
    // Per edge byte 1 and the edge, byte 0; per method byte 1, ID method,
    // JLong total, JLong self, U4 calls; byte 0.
    void write(DataWriter *writer) const;

private:
    static bool isRealMethod(const MethodDesc *m) { return m != nullptr && m != CallStackTree::unrecordedMethod(); }

    struct PairHash {
        size_t operator()(const std::pair<MethodDesc *, MethodDesc *> &p) const
        {
            return reinterpret_cast<uintptr_t>(p.first) + 29 * reinterpret_cast<uintptr_t>(p.second);
        }
    };
    std::vector<MethodGraphEdge> edges;
    std::unordered_map<std::pair<MethodDesc *, MethodDesc *>, size_t, PairHash> edgeIndex;
    std::vector<MethodTotals> methods;
    std::unordered_map<MethodDesc *, size_t> methodIndex;
    // How often each method is open on the path being walked.
    std::unordered_map<MethodDesc *, int> onPath;
};

#endif
