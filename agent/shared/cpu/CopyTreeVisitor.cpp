#include "CopyTreeVisitor.h"

void CopyTreeVisitor::initialize(InstancePool<CallStackTree> *nodePool, const CallStackTree *markedNode)
{
    pool = nodePool;
    marked = markedNode;
    openTimes = nullptr;
    copy = nullptr;
    markedCopy = nullptr;
    cursor = nullptr;
    lastChild.clear();
}

int CopyTreeVisitor::preVisit(CallStackTree *node)
{
    CallStackTree *image = pool->getInstance(false);
    image->initialize(cursor, nullptr, node->getMethod(), node->getLineHint());
    if (cursor == nullptr) {
        copy = image;
    } else if (lastChild.back() == nullptr) {
        cursor->addChild(image);
    } else {
        // Appended: the copy keeps the source's child order.
        lastChild.back()->setNextInstance(image);
    }
    if (!lastChild.empty())
        lastChild.back() = image;
    image->copyValues(node);
    if (openTimes != nullptr && !openTimes->empty()) {
        auto open = openTimes->find(node);
        if (open != openTimes->end())
            image->addValue(open->second, false);
    }
    if (node == marked)
        markedCopy = image;
    cursor = image;
    lastChild.push_back(nullptr);
    return 1;
}

void CopyTreeVisitor::postVisit(CallStackTree *)
{
    if (cursor != nullptr)
        cursor = cursor->getParent();
    lastChild.pop_back();
}
