#include "CSTMergeVisitor.h"

#include <algorithm>

#include "ClassData.h"
#include "MethodDesc.h"
#include "MonitorTimeValues.h"
#include "ProfilingSession.h"

void CSTMergeVisitor::initialize(ProfilingSession *owner, CallStackTree *root, InstancePool<CallStackTree> *nodePool, int level,
                                 bool filter, int kind)
{
    session = owner;
    targetRoot = root;
    cursor = nullptr;
    pool = nodePool;
    aggregationLevel = level;
    viewFilter = filter;
    valueKind = kind;
    moved.clear();
    hidden.clear();
    annotations = nullptr;
    sourceAnnotations = nullptr;
    openTimes = nullptr;
}

void CSTMergeVisitor::setAnnotations(AnnotationMap *targetMap, const AnnotationMap *sourceVectors)
{
    annotations = targetMap;
    sourceAnnotations = sourceVectors;
}

void CSTMergeVisitor::gatherAnnotations(const CallStackTree *node)
{
    if (annotations == nullptr || cursor == nullptr)
        return;
    std::vector<long long> own;
    const std::vector<long long> *ids = nullptr;
    if (sourceAnnotations != nullptr) {
        auto found = sourceAnnotations->find(node);
        if (found != sourceAnnotations->end())
            ids = &found->second;
    } else if (node->getAnnotationId() != 0) {
        own.push_back(node->getAnnotationId());
        ids = &own;
    }
    if (ids == nullptr || ids->empty())
        return;
    cursor->setAnnotationId(-1);
    std::vector<long long> &gathered = (*annotations)[cursor];
    for (long long id : *ids) {
        if (std::find(gathered.begin(), gathered.end(), id) == gathered.end())
            gathered.push_back(id);
    }
}

CSTMergeVisitor::Visibility CSTMergeVisitor::classify(const CallStackTree *node) const
{
    MethodDesc *m = node->getMethod();
    if (m == nullptr || m == CallStackTree::unrecordedMethod() || m->getClassData() == nullptr)
        return PSEUDO;
    if (m->getIsFiltered(false, true) || m->getIsViewFiltered(viewFilter))
        return HIDDEN;
    return VISIBLE;
}

MethodDesc *CSTMergeVisitor::levelObject(MethodDesc *method, bool *mergeIntoCurrent) const
{
    *mergeIntoCurrent = false;
    if (aggregationLevel == 0 || method == nullptr || method == CallStackTree::unrecordedMethod())
        return method;
    ClassData *c = method->getClassData();
    if (c == nullptr || c->isPseudoClass())
        return method;
    MethodDesc *level = nullptr;
    if (aggregationLevel == 1 || (aggregationLevel == 3 && c->getComponentType() != 0))
        level = c->classMethodDesc;
    else if (aggregationLevel == 2)
        level = c->packageMethodDesc;
    if (level == nullptr)
        *mergeIntoCurrent = true;
    return level;
}

int CSTMergeVisitor::preVisit(CallStackTree *node)
{
    if (targetRoot == nullptr)
        return 0;
    if (cursor == nullptr) {
        cursor = targetRoot;
        moved.push_back(false);
        hidden.push_back(false);
        gatherAnnotations(node);
        return 1;
    }
    uint16_t line = aggregationLevel != 0 ? 0 : node->getLineHint();
    Visibility visibility = classify(node);
    bool parentHidden = hidden.size() > 1 && hidden.back();
    bool move = true;
    MethodDesc *method = node->getMethod();
    if (visibility == HIDDEN && parentHidden) {
        move = false; // collapses into the first hidden call of the chain
    } else if (visibility == HIDDEN && cursor == targetRoot && !node->hasUnfilteredChildren(viewFilter)) {
        method = nullptr;
        line = 0;
    } else if (visibility != PSEUDO && method->getClassData()->getComponentType() == ClassData::COMPONENT_ANNOTATION &&
               !node->hasUnfilteredChildren(viewFilter) && !session->isAllUrls()) {
        move = false;
    } else {
        bool mergeIntoCurrent = false;
        method = levelObject(method, &mergeIntoCurrent);
        if (mergeIntoCurrent || (aggregationLevel != 0 && method == cursor->getMethod() && cursor != targetRoot))
            move = false;
    }
    if (move) {
        CallStackTree *child = cursor->getChild(method, line);
        cursor = child != nullptr ? child : cursor->addChild(method, line, pool);
    }
    gatherAnnotations(node);
    moved.push_back(move);
    hidden.push_back(visibility == HIDDEN);
    return 1;
}

void CSTMergeVisitor::postVisit(CallStackTree *node)
{
    if (targetRoot == nullptr || moved.empty())
        return;
    bool didMove = moved.back();
    moved.pop_back();
    hidden.pop_back();
    // Monitor times are the node's own: they count for every caller too.
    if (const MonitorTimeValues *t = node->getMonitorTimeValues()) {
        long long time = 0;
        uint32_t count = 0;
        if (valueKind == KIND_WAITING || valueKind == KIND_ALL) {
            time += t->getWaitingTime();
            count += t->getWaitingCount();
        }
        if (valueKind == KIND_BLOCKING || valueKind == KIND_ALL) {
            time += t->getBlockingTime();
            count += t->getBlockingCount();
        }
        if (valueKind == KIND_NET_IO || valueKind == KIND_ALL) {
            time += t->getNetIOTime();
            count += t->getNetIOCount();
        }
        if (time != 0)
            cursor->addValue(time, true);
        if (count != 0 && valueKind != KIND_ALL)
            cursor->addSecondValue(count, true);
    }
    if (moved.empty()) {
        cursor = nullptr; // the source root: the walk is over
        return;
    }
    if (!didMove)
        return;
    if (valueKind == KIND_CPU || valueKind == KIND_ALL) {
        // Source values are inclusive already: the node alone receives them.
        long long value = node->getValue();
        if (openTimes != nullptr && !openTimes->empty()) {
            auto open = openTimes->find(node);
            if (open != openTimes->end())
                value += open->second;
        }
        cursor->addValue(value, false);
        cursor->addSecondValue(node->getSecondValue(), false);
    }
    cursor = cursor->getParent();
}
