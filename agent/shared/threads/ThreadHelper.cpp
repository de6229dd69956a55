#include "ThreadHelper.h"

#include <cstring>
#include <strings.h>

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

bool ThreadHelper::isIgnoredThread(const char *name, const char *group, bool showAgentThreads, bool keepServiceThreads)
{
    static const char *const serviceThreads[] = {"AWT-Motif", "AWT-Windows", "AWT-Shutdown", "DestroyJavaVM", "Poller SunPKCS11-Darwin"};
    if (name == nullptr)
        name = "";
    if (!showAgentThreads && strncasecmp(name, "_orvane", 7) == 0)
        return true;
    if (keepServiceThreads)
        return false;
    for (const char *service : serviceThreads) {
        if (strcmp(name, service) == 0)
            return true;
    }
    return group != nullptr && strcmp(group, "system") == 0;
}
