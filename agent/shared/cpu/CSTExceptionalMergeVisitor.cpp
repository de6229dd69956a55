#include "CSTExceptionalMergeVisitor.h"

#include "LiveThreadManager.h"
#include "MonitorTimeValues.h"

int CSTExceptionalMergeVisitor::preVisit(CallStackTree *node)
{
    if (node == nullptr)
        return 0;
    if (cursor == nullptr) {
        cursor = target;
    } else {
        if (node->getMethod() == nullptr)
            return 0;
        CallStackTree *child = cursor->getChild(node->getMethod(), node->getLineHint());
        cursor = child != nullptr ? child : cursor->addChild(node->getMethod(), node->getLineHint(), pool);
    }
    long long id = node->getAnnotationId();
    if (id > 0) {
        if (cursor->getAnnotationId() <= 0)
            cursor->setAnnotationId(LiveThreadManager::nextAnnotationId());
        if (cursor->getAnnotationId() != id)
            pairs.emplace_back(id, cursor->getAnnotationId());
    }
    cursor->addValue(node->getValue(), false);
    cursor->addSecondValue(node->getSecondValue(), false);
    if (const MonitorTimeValues *times = node->getMonitorTimeValues()) {
        if (!times->isEmpty() || times->getWaitingTime() != 0 || times->getBlockingTime() != 0 || times->getNetIOTime() != 0) {
            cursor->addSleepingTime(times->getWaitingTime(), static_cast<int>(times->getWaitingCount()));
            cursor->addBlockingTime(times->getBlockingTime(), static_cast<int>(times->getBlockingCount()));
            cursor->addNetIOTime(times->getNetIOTime(), static_cast<int>(times->getNetIOCount()));
        }
    }
    return 1;
}

void CSTExceptionalMergeVisitor::postVisit(CallStackTree *node)
{
    if (node == nullptr || cursor == nullptr)
        return;
    if (cursor == target) {
        cursor = nullptr;
        return;
    }
    if (node->getMethod() != nullptr)
        cursor = cursor->getParent();
}
