#include "ThreadHelper.h"

#include "CallStackTree.h"
#include "MonitorTimeValues.h"

namespace {

// Sums the chosen monitor times of a subtree.
class CSTCountMonitorTimeValuesVisitor : public CSTVisitor {
public:
    explicit CSTCountMonitorTimeValuesVisitor(int kind) : kind(kind) {}
    int preVisit(CallStackTree *node) override
    {
        const MonitorTimeValues *t = node->getMonitorTimeValues();
        if (t == nullptr)
            return 1;
        if (kind == 2 || kind == 4)
            total += t->getWaitingTime();
        if (kind == 3 || kind == 4)
            total += t->getBlockingTime();
        if (kind == 5 || kind == 4)
            total += t->getNetIOTime();
        return 1;
    }
    void postVisit(CallStackTree *) override {}
    long long total = 0;

private:
    int kind;
};

} // namespace

long long ThreadHelper::getExceptionalTime(CallStackTree *run, int timeType)
{
    if (timeType == 1)
        return run->getValue();
    CSTCountMonitorTimeValuesVisitor count(timeType);
    run->depthFirstTraversal(&count);
    return timeType == 4 ? run->getValue() + count.total : count.total;
}
