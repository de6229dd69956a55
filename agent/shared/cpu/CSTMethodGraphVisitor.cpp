#include "CSTMethodGraphVisitor.h"

#include "DataWriter.h"

void MethodGraphEdge::write(DataWriter *writer) const
{
    writer->writeID(caller);
    writer->writeID(callee);
    writer->writeJLong(time);
    writer->writeU4(calls);
}

int CSTMethodGraphVisitor::preVisit(CallStackTree *node)
{
    MethodDesc *m = node->getMethod();
    if (!isRealMethod(m))
        return 1;
    auto found = methodIndex.find(m);
    if (found == methodIndex.end()) {
        found = methodIndex.emplace(m, methods.size()).first;
        methods.push_back(MethodTotals{m, 0, 0, 0});
    }
    MethodTotals &totals = methods[found->second];
    int &open = onPath[m];
    if (open == 0)
        totals.total += node->getValue();
    open++;
    totals.self += node->getValue() - node->getChildrenValue(false);
    totals.calls += node->getSecondValue();

    CallStackTree *parent = node->getParent();
    if (parent != nullptr && isRealMethod(parent->getMethod())) {
        std::pair<MethodDesc *, MethodDesc *> key(parent->getMethod(), m);
        auto edge = edgeIndex.find(key);
        if (edge == edgeIndex.end()) {
            edge = edgeIndex.emplace(key, edges.size()).first;
            edges.push_back(MethodGraphEdge{key.first, key.second, 0, 0});
        }
        edges[edge->second].addCalls(node->getSecondValue(), node->getValue());
    }
    return 1;
}

void CSTMethodGraphVisitor::postVisit(CallStackTree *node)
{
    MethodDesc *m = node->getMethod();
    if (!isRealMethod(m))
        return;
    auto open = onPath.find(m);
    if (open != onPath.end() && --open->second == 0)
        onPath.erase(open);
}

void CSTMethodGraphVisitor::write(DataWriter *writer) const
{
    for (const MethodGraphEdge &edge : edges) {
        writer->writeByte(1);
        edge.write(writer);
    }
    writer->writeByte(0);
    for (const MethodTotals &m : methods) {
        writer->writeByte(1);
        writer->writeID(m.method);
        writer->writeJLong(m.total);
        writer->writeJLong(m.self);
        writer->writeU4(m.calls);
    }
    writer->writeByte(0);
}
