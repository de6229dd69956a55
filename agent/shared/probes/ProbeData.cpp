#include "ProbeData.h"

#include "DataWriter.h"

namespace {

CallStackTree *mirrorPath(CallStackTree *result, const CallStackTree *node, InstancePool<CallStackTree> *pool)
{
    std::vector<const CallStackTree *> path;
    for (const CallStackTree *n = node; n != nullptr && n->getParent() != nullptr; n = n->getParent())
        path.push_back(n);
    CallStackTree *cursor = result;
    for (auto it = path.rbegin(); it != path.rend(); ++it) {
        CallStackTree *child = cursor->getChild((*it)->getMethod(), (*it)->getLineHint());
        if (child == nullptr) {
            child = cursor->addChild((*it)->getMethod(), (*it)->getLineHint(), pool);
            child->addValue(1, false);
        }
        cursor = child;
    }
    return cursor;
}

} // namespace

void ProbeData::writeCallSites(DataWriter *writer, const std::vector<const CallStackTree *> &roots, const std::set<uint32_t> &ids)
{
    InstancePool<CallStackTree> pool;
    CallStackTree *result = pool.getInstance(false);
    result->initialize(nullptr, nullptr, nullptr, 0);
    result->addValue(1, false);
    AnnotationMap annotations;
    std::vector<const CallStackTree *> pending(roots.begin(), roots.end());
    while (!pending.empty()) {
        const CallStackTree *n = pending.back();
        pending.pop_back();
        if (n == nullptr)
            continue;
        long long id = n->getAnnotationId();
        if (id > 0 && ids.count(static_cast<uint32_t>(id)) != 0)
            annotations[mirrorPath(result, n, &pool)].push_back(id);
        for (const CallStackTree *c = n->getFirstChild(); c != nullptr; c = c->getNextInstance())
            pending.push_back(c);
    }
    result->writeUpdate(writer, 0, nullptr, 0, 0, CallStackTree::UNLIMITED_DEPTH, &annotations, nullptr, true);
    result->freeAll(&pool);
}
