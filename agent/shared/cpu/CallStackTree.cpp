#include "CallStackTree.h"

#include <cinttypes>
#include <vector>

#include "CallTreeHelper.h"
#include "ClassData.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "MethodDesc.h"
#include "MonitorTimeValues.h"

namespace {

bool isRealMethod(const MethodDesc *m)
{
    return m != nullptr && m != CallStackTree::unrecordedMethod();
}

// Visits every node below `root` (not root itself) before its parent, without
// recursion. `visit` may unlink and free the node it is given.
template <class F>
void forEachBelowPostOrder(CallStackTree *root, F visit)
{
    std::vector<CallStackTree *> order;
    std::vector<CallStackTree *> pending;
    for (CallStackTree *c = root->getFirstChild(); c != nullptr; c = c->getNextInstance())
        pending.push_back(c);
    while (!pending.empty()) {
        CallStackTree *n = pending.back();
        pending.pop_back();
        order.push_back(n);
        for (CallStackTree *c = n->getFirstChild(); c != nullptr; c = c->getNextInstance())
            pending.push_back(c);
    }
    // Reversed pre-order visits every child before its parent.
    for (auto it = order.rbegin(); it != order.rend(); ++it)
        visit(*it);
}

} // namespace

CallStackTree::~CallStackTree()
{
    forEachBelowPostOrder(this, [](CallStackTree *n) {
        n->firstChild = nullptr;
        delete n;
    });
    delete monitorTimeValues;
}

void CallStackTree::initialize(CallStackTree *newParent, CallStackTree *next, MethodDesc *newMethod, uint16_t line)
{
    parent = newParent;
    nextInstance = next;
    method = newMethod;
    lineHint = line;
    value = 0;
    openTime = 0;
    secondValue = 0;
    firstChild = nullptr;
    monitorTimeValues = nullptr;
}

CallStackTree *CallStackTree::addChild(MethodDesc *m, uint16_t line, InstancePool<CallStackTree> *pool)
{
    CallStackTree *child = pool->getInstance(false);
    child->initialize(this, firstChild, m, line);
    firstChild = child;
    return child;
}

void CallStackTree::addChild(CallStackTree *child)
{
    if (child == nullptr)
        return;
    child->parent = this;
    child->nextInstance = firstChild;
    firstChild = child;
}

bool CallStackTree::removeChild(CallStackTree *child)
{
    for (CallStackTree **link = &firstChild; *link != nullptr; link = &(*link)->nextInstance) {
        if (*link == child) {
            *link = child->nextInstance;
            child->nextInstance = nullptr;
            return true;
        }
    }
    return false;
}

void CallStackTree::countAndAdd(long long v, bool toParents)
{
    for (CallStackTree *n = this; n != nullptr; n = toParents ? n->parent : nullptr) {
        n->value += v;
        n->secondValue += 1;
    }
}

void CallStackTree::decreaseAndRemove(long long v)
{
    value = value > v ? value - v : 0;
    secondValue = secondValue > 0 ? secondValue - 1 : 0;
}

long long CallStackTree::getValueWithOpenTime() const
{
    long long total = value;
    std::vector<const CallStackTree *> pending{this};
    while (!pending.empty()) {
        const CallStackTree *n = pending.back();
        pending.pop_back();
        total += n->openTime;
        for (const CallStackTree *c = n->firstChild; c != nullptr; c = c->nextInstance)
            pending.push_back(c);
    }
    return total;
}

void CallStackTree::copyValues(const CallStackTree *source)
{
    value = source->value;
    secondValue = source->secondValue;
    if (source->monitorTimeValues != nullptr) {
        delete monitorTimeValues;
        monitorTimeValues = new MonitorTimeValues();
        monitorTimeValues->copyValues(source->monitorTimeValues);
    }
}

long long CallStackTree::getAnnotationId() const
{
    return monitorTimeValues != nullptr ? monitorTimeValues->getAnnotationId() : 0;
}

void CallStackTree::setAnnotationId(long long id)
{
    if (monitorTimeValues == nullptr)
        monitorTimeValues = new MonitorTimeValues();
    monitorTimeValues->setAnnotationId(id);
}

void CallStackTree::addSleepingTime(long long time, int count)
{
    if (monitorTimeValues == nullptr)
        monitorTimeValues = new MonitorTimeValues();
    monitorTimeValues->addWaitingEvent(time, count);
}

void CallStackTree::addBlockingTime(long long time, int count)
{
    if (monitorTimeValues == nullptr)
        monitorTimeValues = new MonitorTimeValues();
    monitorTimeValues->addBlockingEvent(time, count);
}

void CallStackTree::addNetIOTime(long long time, int count)
{
    if (monitorTimeValues == nullptr)
        monitorTimeValues = new MonitorTimeValues();
    monitorTimeValues->addNetIOEvent(time, count);
}

bool CallStackTree::isHiddenMethod() const
{
    return !isRealMethod(method) || method->getIsFiltered(false, false);
}

// Sum of one field over the children; with skipHidden a hidden child counts
// through its own children instead. Iterative: trees can be thousands deep.
template <class Field>
long long CallStackTree::sumChildren(Field CallStackTree::*field, bool skipHidden) const
{
    long long sum = 0;
    std::vector<const CallStackTree *> pending;
    for (const CallStackTree *c = firstChild; c != nullptr; c = c->nextInstance)
        pending.push_back(c);
    while (!pending.empty()) {
        const CallStackTree *c = pending.back();
        pending.pop_back();
        if (skipHidden && c->isHiddenMethod()) {
            for (const CallStackTree *g = c->firstChild; g != nullptr; g = g->nextInstance)
                pending.push_back(g);
        } else {
            sum += static_cast<long long>(c->*field);
        }
    }
    return sum;
}

long long CallStackTree::getChildrenValue(bool skipHidden) const
{
    return sumChildren(&CallStackTree::value, skipHidden);
}

long long CallStackTree::getChildrenSecondValue(bool skipHidden) const
{
    return sumChildren(&CallStackTree::secondValue, skipHidden);
}

bool CallStackTree::hasVisibleChildren(long long threshold) const
{
    if (threshold == 0)
        return firstChild != nullptr;
    for (const CallStackTree *c = firstChild; c != nullptr; c = c->nextInstance) {
        if (c->value > threshold)
            return true;
    }
    return false;
}

CallStackTree *CallStackTree::getSingleChild(long long threshold) const
{
    CallStackTree *single = nullptr;
    for (CallStackTree *c = firstChild; c != nullptr; c = c->nextInstance) {
        if (c->value > threshold) {
            if (single != nullptr)
                return nullptr;
            single = c;
        }
    }
    return single;
}

bool CallStackTree::hasUnfilteredChildren(bool viewFilter) const
{
    std::vector<const CallStackTree *> pending;
    for (const CallStackTree *c = firstChild; c != nullptr; c = c->nextInstance)
        pending.push_back(c);
    while (!pending.empty()) {
        const CallStackTree *c = pending.back();
        pending.pop_back();
        if (isRealMethod(c->method) && !c->method->getIsFiltered(false, false) && !c->method->getIsViewFiltered(viewFilter))
            return true;
        for (const CallStackTree *g = c->firstChild; g != nullptr; g = g->nextInstance)
            pending.push_back(g);
    }
    return false;
}

void CallStackTree::removeFilteredFirstLevelNodes(InstancePool<CallStackTree> *pool, bool viewFilter, bool addRemainder)
{
    long long removedValue = 0;
    uint32_t removedCount = 0;
    CallStackTree **link = &firstChild;
    while (*link != nullptr) {
        CallStackTree *c = *link;
        bool hidden = !isRealMethod(c->method) ||
                      ((c->method->getIsFiltered(false, false) || c->method->getIsViewFiltered(viewFilter)) && !c->hasUnfilteredChildren(viewFilter));
        if (!hidden) {
            link = &c->nextInstance;
            continue;
        }
        *link = c->nextInstance;
        if (c->method != unrecordedMethod()) {
            removedValue += c->value;
            removedCount += c->secondValue;
        }
        c->nextInstance = nullptr;
        c->freeAll(pool);
    }
    if (addRemainder) {
        CallStackTree *rest = addChild(nullptr, 0, pool);
        rest->value = removedValue;
        rest->secondValue = removedCount;
    }
}

void CallStackTree::clearAll()
{
    auto clearOne = [](CallStackTree *n) {
        n->value = 0;
        n->openTime = 0;
        n->secondValue = 0;
        if (n->monitorTimeValues == nullptr)
            return;
        if (n->monitorTimeValues->getAnnotationId() != 0) {
            n->monitorTimeValues->clear(false);
        } else {
            delete n->monitorTimeValues;
            n->monitorTimeValues = nullptr;
        }
    };
    clearOne(this);
    forEachBelowPostOrder(this, clearOne);
}

void CallStackTree::clearSubtreesExcept(CallStackTree *keep)
{
    for (CallStackTree *c = firstChild; c != nullptr; c = c->nextInstance) {
        if (c != keep)
            c->clearAll();
    }
    value = 0;
    secondValue = 0;
}

void CallStackTree::freeAll(InstancePool<CallStackTree> *pool)
{
    auto freeOne = [pool](CallStackTree *n) {
        delete n->monitorTimeValues;
        n->monitorTimeValues = nullptr;
        n->firstChild = nullptr;
        pool->freeInstance(n);
    };
    forEachBelowPostOrder(this, freeOne);
    freeOne(this);
}

void CallStackTree::depthFirstTraversal(CSTVisitor *visitor)
{
    // Each frame is a node whose pre-visit ran and the next child to visit.
    struct Frame {
        CallStackTree *node;
        CallStackTree *next;
    };
    std::vector<Frame> stack;
    CallStackTree *start = this;
    stack.push_back({start, visitor->preVisit(start) != 0 ? start->firstChild : nullptr});
    while (!stack.empty()) {
        Frame &top = stack.back();
        if (top.next == nullptr) {
            CallStackTree *done = top.node;
            stack.pop_back();
            visitor->postVisit(done);
            continue;
        }
        CallStackTree *child = top.next;
        top.next = child->nextInstance;
        stack.push_back({child, visitor->preVisit(child) != 0 ? child->firstChild : nullptr});
    }
}

void CallStackTree::writeEntry(DataWriter *writer, int flags) const
{
    writeEntry(writer, flags, 0);
}

void CallStackTree::writeEntry(DataWriter *writer, int flags, long long openBelow) const
{
    if (flags & ENTRY_ID)
        writer->writeID(this);
    if (flags & ENTRY_METHOD)
        writer->writeID(method);
    if (flags & ENTRY_LINE)
        writer->writeU2(lineHint);
    if (flags & ENTRY_VALUE)
        writer->writeJLong(value + openBelow);
    if (flags & ENTRY_COUNT)
        writer->writeU4(secondValue);
    if (flags & ENTRY_MONITOR) {
        writer->writeByte(monitorTimeValues != nullptr ? 1 : 0);
        if (monitorTimeValues != nullptr)
            monitorTimeValues->write(writer);
    }
}

void CallStackTree::write(DataWriter *writer, int flags) const
{
    // Each node's entry follows its children: the open time of the calls
    // still running below it is known by then.
    struct Frame {
        const CallStackTree *node;
        const CallStackTree *next;
        long long openBelow;
    };
    std::vector<Frame> stack;
    writer->writeByte(1);
    stack.push_back({this, firstChild, 0});
    while (!stack.empty()) {
        Frame &top = stack.back();
        if (top.next == nullptr) {
            long long open = top.openBelow + top.node->openTime;
            writer->writeByte(0);
            top.node->writeEntry(writer, flags, open);
            stack.pop_back();
            if (!stack.empty())
                stack.back().openBelow += open;
            continue;
        }
        const CallStackTree *child = top.next;
        top.next = child->nextInstance;
        writer->writeByte(1);
        stack.push_back({child, child->firstChild, 0});
    }
}

void CallStackTree::read(DataReader *reader, int flags, InstancePool<CallStackTree> *pool, int version)
{
    std::vector<CallStackTree *> stack;
    stack.push_back(this);
    while (!stack.empty()) {
        CallStackTree *node = stack.back();
        int more = reader->readByte(0);
        if (reader->getError())
            return;
        if (more == 1) {
            CallStackTree *child = pool->getInstance(false);
            child->initialize(node, nullptr, nullptr, 0);
            node->addChild(child);
            stack.push_back(child);
            continue;
        }
        stack.pop_back();
        if (flags & ENTRY_ID)
            reader->readOldID(node);
        if (flags & ENTRY_METHOD) {
            if (flags & ENTRY_UPDATE_AT_ONCE)
                node->method = static_cast<MethodDesc *>(reader->readAndUpdateID());
            else
                reader->readUpdatableID(reinterpret_cast<void **>(&node->method));
        }
        if ((flags & ENTRY_LINE) && version > 7)
            node->lineHint = static_cast<uint16_t>(reader->readU2(0));
        if (flags & ENTRY_VALUE)
            node->value = reader->readJLong(0);
        if (flags & ENTRY_COUNT)
            node->secondValue = reader->readU4(0);
        long long annotation = 0;
        if ((flags & ENTRY_ANNOTATION) && version >= 9 && version <= 18 && reader->readByte(0) != 0)
            annotation = static_cast<long long>(reader->readVarID());
        if ((flags & ENTRY_MONITOR) && reader->readByte(0) == 1) {
            delete node->monitorTimeValues;
            node->monitorTimeValues = new MonitorTimeValues();
            node->monitorTimeValues->read(reader, version);
        }
        if (annotation != 0)
            node->setAnnotationId(annotation);
        if (reader->getError())
            return;
    }
}

void CallStackTree::writeUpdate(DataWriter *writer, long long threshold, const CallStackTree *oldTree, int depth, int perMille,
                                int maxDepth, bool headerFirst) const
{
    writeUpdate(writer, threshold, oldTree, depth, perMille, maxDepth, nullptr, nullptr, headerFirst);
}

void CallStackTree::writeUpdate(DataWriter *writer, long long threshold, const CallStackTree *oldTree, int depth, int perMille,
                                int maxDepth, const AnnotationMap *annotations, AnnotationBytes *javaSide, bool headerFirst) const
{
    struct Frame {
        const CallStackTree *node;
        const CallStackTree *old;
        int depth;
        int maxDepth;
        const CallStackTree *next; // next child to consider; null when done
    };
    auto childWanted = [threshold](const CallStackTree *c) {
        if (threshold == THRESHOLD_ALL)
            return true;
        if (c->value <= threshold)
            return false;
        return threshold >= 0 || c->secondValue != 0 || c->value > 0;
    };
    // Writes the head of a node and decides whether its children follow.
    auto open = [&](const CallStackTree *node, const CallStackTree *old, int nodeDepth, int nodeMaxDepth) -> Frame {
        writer->writeByte(1);
        if (headerFirst) {
            writer->writeID(node->method);
            writer->writeU2(node->lineHint);
        }
        if (nodeMaxDepth == UNLIMITED_DEPTH)
            nodeMaxDepth = -1;
        bool withheld = false;
        if (nodeMaxDepth != -1) {
            const CallStackTree *p = node->parent;
            withheld = nodeMaxDepth + 2 < nodeDepth ||
                       (p != nullptr && p->value != 0 && (node->value * 1000) / p->value < perMille);
        }
        if (withheld) {
            if (node->hasVisibleChildren(threshold))
                writer->writeByte(2);
            return Frame{node, old, nodeDepth, nodeMaxDepth, nullptr};
        }
        if (old == nullptr) {
            CallStackTree *single = node->getSingleChild(threshold);
            if (single != nullptr && nodeMaxDepth > 0)
                nodeMaxDepth--;
            if (single == nullptr)
                nodeDepth++;
        }
        return Frame{node, old, nodeDepth, nodeMaxDepth, node->firstChild};
    };
    auto close = [&](const CallStackTree *node) {
        writer->writeByte(0);
        if (!headerFirst) {
            writer->writeID(node->method);
            writer->writeU2(node->lineHint);
            writer->writeJLong(node->value);
            writer->writeU4(node->secondValue);
        }
        if (annotations == nullptr)
            return;
        auto found = annotations->find(node);
        const std::vector<long long> *ids = found != annotations->end() ? &found->second : nullptr;
        if (headerFirst) {
            writer->writeU4(ids != nullptr ? static_cast<uint32_t>(ids->size()) : 0);
            if (ids != nullptr) {
                for (long long id : *ids)
                    writer->writeU4(static_cast<uint32_t>(id));
            }
            return;
        }
        if (ids == nullptr || ids->empty() || !CallTreeHelper::writeAnnotations(writer, *ids, javaSide))
            writer->writeU4(0);
    };

    std::vector<Frame> stack;
    stack.push_back(open(this, oldTree, depth, maxDepth));
    while (!stack.empty()) {
        Frame &top = stack.back();
        const CallStackTree *child = top.next;
        while (child != nullptr && !childWanted(child))
            child = child->nextInstance;
        if (child == nullptr) {
            const CallStackTree *done = top.node;
            stack.pop_back();
            close(done);
            continue;
        }
        top.next = child->nextInstance;
        const CallStackTree *oldChild = top.old != nullptr ? top.old->getChild(child->method, child->lineHint) : nullptr;
        Frame next = open(child, oldChild, top.depth, top.maxDepth);
        stack.push_back(next);
    }
}

void CallStackTree::print(FILE *file, int indent) const
{
    std::vector<std::pair<const CallStackTree *, int>> pending;
    pending.push_back({this, indent});
    while (!pending.empty()) {
        const CallStackTree *n = pending.back().first;
        int at = pending.back().second;
        pending.pop_back();
        fprintf(file, "%*s", at, "");
        long long annotation = n->getAnnotationId();
        if (n->method == nullptr) {
            fprintf(file, "root (%u, %" PRId64 "), an: %" PRId64 "\n", n->secondValue, static_cast<int64_t>(n->value),
                    static_cast<int64_t>(annotation));
        } else if (n->method == unrecordedMethod()) {
            fprintf(file, "1 (%u, %" PRId64 "), an: %" PRId64 "\n", n->secondValue, static_cast<int64_t>(n->value),
                    static_cast<int64_t>(annotation));
        } else {
            const ClassData *c = n->method->getClassData();
            fprintf(file, "%s.%s (%u, %" PRId64 " %p) ln: %u, an: %" PRId64 "\n", c != nullptr ? c->getClassName() : "?",
                    n->method->getMethodName(), n->secondValue, static_cast<int64_t>(n->value), static_cast<const void *>(n->method),
                    static_cast<unsigned>(n->lineHint), static_cast<int64_t>(annotation));
        }
        std::vector<const CallStackTree *> children;
        for (const CallStackTree *c = n->firstChild; c != nullptr; c = c->nextInstance)
            children.push_back(c);
        for (auto it = children.rbegin(); it != children.rend(); ++it)
            pending.push_back({*it, at + 4});
    }
    fflush(file);
}

CallStackTree::Path CallStackTree::readPath(DataReader *reader)
{
    Path path;
    int n = reader->readU2(0);
    for (int i = 0; i < n && !reader->getError(); i++) {
        MethodDesc *method = static_cast<MethodDesc *>(reader->readID(nullptr));
        uint16_t line = static_cast<uint16_t>(reader->readU2(0));
        path.push_back(std::make_pair(method, line));
    }
    return path;
}

CallStackTree *CallStackTree::followPath(CallStackTree *node, const Path &path, size_t from)
{
    for (size_t i = from; i < path.size() && node != nullptr; i++)
        node = node->getChild(path[i].first, path[i].second);
    return node;
}
