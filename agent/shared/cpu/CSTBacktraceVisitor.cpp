#include "CSTBacktraceVisitor.h"

#include "MethodDesc.h"

void CSTBacktraceVisitor::initialize(CallStackTree *targetRoot, InstancePool<CallStackTree> *nodePool, MethodDesc *of, bool self,
                                     bool hide, bool self_time)
{
    target = targetRoot;
    pool = nodePool;
    method = of;
    countSelf = self;
    hideFiltered = hide;
    selfTime = self_time;
}

int CSTBacktraceVisitor::preVisit(CallStackTree *node)
{
    if (target == nullptr || node->getMethod() != method || method == nullptr)
        return 1;
    CallStackTree *caller = node->getParent();
    bool firstLevel = caller != nullptr && caller->getParent() == nullptr;
    if (hideFiltered && !firstLevel && method != CallStackTree::unrecordedMethod() && method->getIsFiltered(false, false))
        return 1;
    long long value = selfTime ? node->getValue() - node->getChildrenValue(hideFiltered) : node->getValue();
    long long count = node->getSecondValue();
    if (countSelf)
        count -= node->getChildrenSecondValue(hideFiltered);
    if (count < 0)
        count = 0;
    CallStackTree *mirror = target;
    for (CallStackTree *a = caller; a != nullptr && a->getMethod() != nullptr; a = a->getParent()) {
        CallStackTree *child = mirror->getChild(a->getMethod(), a->getLineHint());
        mirror = child != nullptr ? child : mirror->addChild(a->getMethod(), a->getLineHint(), pool);
        mirror->addValue(value, false);
        mirror->addSecondValue(static_cast<uint32_t>(count), false);
    }
    return 1;
}
