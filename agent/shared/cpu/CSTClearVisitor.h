#ifndef AGENT_CSTCLEARVISITOR_H
#define AGENT_CSTCLEARVISITOR_H

#include "CallStackTree.h"
#include "MonitorTimeValues.h"

// Zeroes values, counts and monitor times of every visited node; the
// annotation id is kept unless told otherwise.
class CSTClearVisitor : public CSTVisitor {
public:
    void initialize(bool keepAnnotationIds) { keepAnnotations = keepAnnotationIds; }
    int preVisit(CallStackTree *node) override
    {
        node->setValue(0);
        node->setSecondValue(0);
        if (node->getMonitorTimeValues() != nullptr)
            node->getMonitorTimeValues()->clear(!keepAnnotations);
        return 1;
    }
    void postVisit(CallStackTree *) override {}

private:
    bool keepAnnotations = true;
};

#endif
