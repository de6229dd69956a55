#include "ProbeNodeIds.h"

#include <algorithm>

#include "CallStackTree.h"

void ProbeNodeIds::setRoot(CallStackTree *newRoot)
{
    root = newRoot;
}

long long ProbeNodeIds::idOf(const CallStackTree *node)
{
    if (node == nullptr || root == nullptr)
        return 0;
    Path path;
    const CallStackTree *n = node;
    for (; n != nullptr && n != root; n = n->getParent())
        path.push_back(std::make_pair(n->getMethod(), n->getLineHint()));
    if (n != root)
        return 0;
    std::reverse(path.begin(), path.end());
    auto found = idsByPath.find(path);
    if (found != idsByPath.end())
        return found->second;
    long long id = nextId++;
    idsByPath.emplace(path, id);
    pathsById.emplace(id, path);
    return id;
}

CallStackTree *ProbeNodeIds::lookup(long long id) const
{
    auto found = pathsById.find(id);
    if (found == pathsById.end() || root == nullptr)
        return nullptr;
    CallStackTree *n = root;
    for (const auto &step : found->second) {
        n = n->getChild(const_cast<MethodDesc *>(step.first), step.second);
        if (n == nullptr)
            return nullptr;
    }
    return n;
}

void ProbeNodeIds::clear()
{
    idsByPath.clear();
    pathsById.clear();
}
