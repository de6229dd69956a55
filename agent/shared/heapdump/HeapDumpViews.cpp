#include "HeapDumpViews.h"

#include <algorithm>

#include "CSTBacktraceVisitor.h"
#include "CSTMergeVisitor.h"
#include "ClassProfilingSession.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "HeapProfilingSession.h"
#include "InternalMonitor.h"
#include "MessageUtil.h"
#include "MethodDesc.h"
#include "ProfilingSession.h"
#include "SessionLock.h"

namespace {

const size_t MAX_HOTSPOTS = 100;
const uint32_t KIND_ALLOCATION_SELECTION = 4;
const uint32_t KIND_HOTSPOT_SELECTION = 6;

int depthOf(uint32_t requested)
{
    return requested >= 10000 ? CallStackTree::UNLIMITED_DEPTH : static_cast<int>(requested);
}

// The (method, line) steps from the root to `node`.
std::vector<std::pair<MethodDesc *, uint16_t>> pathTo(const CallStackTree *node)
{
    std::vector<std::pair<MethodDesc *, uint16_t>> path;
    for (; node != nullptr && node->getParent() != nullptr; node = node->getParent())
        path.push_back(std::make_pair(node->getMethod(), node->getLineHint()));
    std::reverse(path.begin(), path.end());
    return path;
}

// Every node below `root` (not the root), parents before children.
std::vector<CallStackTree *> nodesBelow(CallStackTree *root)
{
    std::vector<CallStackTree *> out;
    std::vector<CallStackTree *> pending;
    for (CallStackTree *c = root->getFirstChild(); c != nullptr; c = c->getNextInstance())
        pending.push_back(c);
    while (!pending.empty()) {
        CallStackTree *n = pending.back();
        pending.pop_back();
        out.push_back(n);
        for (CallStackTree *c = n->getFirstChild(); c != nullptr; c = c->getNextInstance())
            pending.push_back(c);
    }
    return out;
}


} // namespace

HeapDumpViews::HeapDumpViews() = default;

HeapDumpViews::~HeapDumpViews()
{
    clear();
}

HeapDumpViews &HeapDumpViews::instance()
{
    static HeapDumpViews views;
    return views;
}

CallStackTree *HeapDumpViews::newRoot()
{
    CallStackTree *t = pool.getInstance(false);
    t->initialize(nullptr, nullptr, nullptr, 0);
    roots.push_back(t);
    return t;
}

void HeapDumpViews::clear()
{
    for (CallStackTree *t : roots)
        t->freeAll(&pool);
    roots.clear();
    valued = nullptr;
    copyToOriginal.clear();
    transmitted = LevelTree();
    hotspots.clear();
    backtraces.clear();
}

bool HeapDumpViews::readNodeData(const Context &context, DataReader *reader)
{
    clear();
    valued = newRoot();
    std::unordered_map<const CallStackTree *, CallStackTree *> originalToCopy;
    CallStackTree *backtraceRoot = context.heap != nullptr ? context.heap->getBacktraceRoot() : nullptr;
    if (backtraceRoot != nullptr && context.session != nullptr) {
        // The backtrace tree grows while allocations are recorded.
        SessionLock lock(context.session, IM_HEAP);
        std::vector<std::pair<CallStackTree *, CallStackTree *>> pending = {{backtraceRoot, valued}};
        while (!pending.empty()) {
            CallStackTree *original = pending.back().first;
            CallStackTree *copy = pending.back().second;
            pending.pop_back();
            originalToCopy[original] = copy;
            copyToOriginal[copy] = original;
            for (CallStackTree *c = original->getFirstChild(); c != nullptr; c = c->getNextInstance())
                pending.push_back({c, copy->addChild(c->getMethod(), c->getLineHint(), &pool)});
        }
    }
    uint32_t n = reader->readU4(0);
    uint32_t unknown = 0;
    for (uint32_t i = 0; i < n && !reader->getError(); i++) {
        const CallStackTree *node = static_cast<const CallStackTree *>(reader->readID(nullptr));
        // Sizes keep all 64 bits: totals of 2 GiB and more stay right.
        long long size = reader->readJLong(0);
        uint32_t count = reader->readU4(0);
        auto found = originalToCopy.find(node);
        if (found == originalToCopy.end() || reader->getError()) {
            unknown++;
            continue;
        }
        found->second->addValue(size, true);
        found->second->addSecondValue(count, true);
    }
    if (unknown > 0 && !reader->getError())
        MessageUtil::message("%u unknown allocation nodes in a heap dump view request", unknown);
    return !reader->getError();
}

HeapDumpViews::LevelTree HeapDumpViews::buildLevelTree(const Context &context, int level)
{
    LevelTree tree;
    if (valued == nullptr)
        valued = newRoot();
    if (level == 0 || context.session == nullptr) {
        tree.root = valued;
        for (const auto &entry : copyToOriginal)
            tree.originals[entry.first].push_back(entry.second);
        return tree;
    }
    tree.root = newRoot();
    CSTMergeVisitor merge;
    merge.initialize(context.session, tree.root, &pool, level, false, CSTMergeVisitor::KIND_CPU);
    valued->depthFirstTraversal(&merge);
    if (level == 3)
        tree.root->removeFilteredFirstLevelNodes(&pool, false, false);
    // The same merge once more, gathering for each merged node the copies
    // that went into it; its nodes are found in the tree by their paths.
    std::vector<CallStackTree *> copies;
    AnnotationMap sources;
    for (const auto &entry : copyToOriginal) {
        sources[entry.first] = {static_cast<long long>(copies.size())};
        copies.push_back(const_cast<CallStackTree *>(entry.first));
    }
    CallStackTree *scratch = newRoot();
    AnnotationMap gathered;
    CSTMergeVisitor tracking;
    tracking.initialize(context.session, scratch, &pool, level, false, CSTMergeVisitor::KIND_CPU);
    tracking.setAnnotations(&gathered, &sources);
    valued->depthFirstTraversal(&tracking);
    for (const auto &entry : gathered) {
        CallStackTree *node =
            entry.first->getParent() == nullptr ? tree.root : CallStackTree::followPath(tree.root, pathTo(entry.first), 0);
        if (node == nullptr)
            continue;
        for (long long index : entry.second)
            tree.originals[node].push_back(copyToOriginal[copies[static_cast<size_t>(index)]]);
    }
    return tree;
}

void HeapDumpViews::handleCmdDumpAllocations(const Context &context, DataReader *reader, DataWriter *writer)
{
    bool read = readNodeData(context, reader);
    int level = static_cast<int>(reader->readU4(0));
    int maxDepth = depthOf(reader->readU4(0));
    int perMille = static_cast<int>(reader->readU4(0));
    CallStackTree *selection = nullptr;
    if (reader->readByte(0) == 1) {
        // Method IDs of the selection are only compared, never followed.
        selection = newRoot();
        reader->enableIDUpdate(false, DataWriter::ID_SIZE);
        selection->read(reader, CallStackTree::ENTRY_METHOD | CallStackTree::ENTRY_LINE, &pool, 36);
    }
    Path selectedPath = CallStackTree::readPath(reader);
    if (!read || reader->getError()) {
        MessageUtil::message("bad heap dump allocation request");
        writer->writeByte(0);
        writer->writeU4(0);
        ClassProfilingSession::writeUnsentDescriptions(context.classes, writer);
        return;
    }
    transmitted = buildLevelTree(context, level);
    transmitted.root->writeUpdate(writer, 0, selection, 0, perMille, maxDepth, false);
    CallStackTree *selected = CallStackTree::followPath(transmitted.root, selectedPath, 0);
    if (selected != nullptr && !selectedPath.empty()) {
        writer->writeU4(static_cast<uint32_t>(selectedPath.size()));
        for (const auto &step : selectedPath) {
            writer->writeID(step.first);
            writer->writeU2(step.second);
        }
    } else {
        writer->writeU4(0);
    }
    ClassProfilingSession::writeUnsentDescriptions(context.classes, writer);
}

void HeapDumpViews::handleCmdExpandDumpAllocationNode(DataReader *reader, DataWriter *writer)
{
    int maxDepth = depthOf(reader->readU4(0));
    int perMille = static_cast<int>(reader->readU4(0));
    Path path = CallStackTree::readPath(reader);
    CallStackTree *node = nullptr;
    if (!reader->getError() && transmitted.root != nullptr)
        node = CallStackTree::followPath(transmitted.root, path, 0);
    if (node != nullptr)
        node->writeUpdate(writer, 0, nullptr, 0, perMille, maxDepth, false);
    else
        writer->writeByte(0);
}

void HeapDumpViews::writeHotspots(DataWriter *writer, int level)
{
    // One hotspot per method: the bytes and objects allocated in it directly.
    std::vector<std::pair<MethodDesc *, std::pair<long long, uint32_t>>> all;
    std::unordered_map<MethodDesc *, size_t> byMethod;
    for (CallStackTree *n : nodesBelow(transmitted.root)) {
        long long self = n->getValue() - n->getChildrenValue(false);
        long long selfCount = static_cast<long long>(n->getSecondValue()) - n->getChildrenSecondValue(false);
        auto found = byMethod.emplace(n->getMethod(), all.size());
        if (found.second)
            all.push_back({n->getMethod(), {0, 0}});
        all[found.first->second].second.first += self;
        all[found.first->second].second.second += static_cast<uint32_t>(selfCount > 0 ? selfCount : 0);
    }
    std::stable_sort(all.begin(), all.end(), [](const auto &a, const auto &b) { return a.second.first > b.second.first; });
    writer->writeByte(1);
    long long sum = 0;
    for (const auto &h : all) {
        MethodDesc *m = h.first;
        if (h.second.first <= 0)
            continue;
        sum += h.second.first;
        bool withoutMethod = m == nullptr || m == CallStackTree::unrecordedMethod();
        if ((withoutMethod && level == 3) || m == nullptr || hotspots.size() >= MAX_HOTSPOTS)
            continue;
        hotspots[m] = h.second;
        writer->writeByte(1);
        writer->writeByte(2);
        writer->writeByte(0);
        writer->writeID(m);
        writer->writeU2(0);
        writer->writeJLong(h.second.first);
        writer->writeU4(h.second.second);
    }
    writer->writeByte(0);
    writer->writeID(nullptr);
    writer->writeU2(0);
    writer->writeJLong(0);
    writer->writeU4(0);
    writer->writeJLong(sum);
}

void HeapDumpViews::handleCmdDumpAllocationHotspots(const Context &context, DataReader *reader, DataWriter *writer)
{
    bool read = readNodeData(context, reader);
    int level = static_cast<int>(reader->readU4(0));
    reader->readByte(0);
    if (!read || reader->getError()) {
        MessageUtil::message("bad heap dump hotspot request");
        transmitted = LevelTree();
        transmitted.root = newRoot();
    } else {
        transmitted = buildLevelTree(context, level);
    }
    writeHotspots(writer, level);
    ClassProfilingSession::writeUnsentDescriptions(context.classes, writer);
}

CallStackTree *HeapDumpViews::backtracesOf(MethodDesc *method)
{
    auto hotspot = hotspots.find(method);
    if (hotspot == hotspots.end() || transmitted.root == nullptr)
        return nullptr;
    auto built = backtraces.find(method);
    if (built != backtraces.end())
        return built->second;
    CallStackTree *top = newRoot()->addChild(method, 0, &pool);
    top->addValue(hotspot->second.first, false);
    top->addSecondValue(hotspot->second.second, false);
    CSTBacktraceVisitor visitor;
    visitor.initialize(top, &pool, method, true, false, true);
    transmitted.root->depthFirstTraversal(&visitor);
    backtraces[method] = top;
    return top;
}

void HeapDumpViews::handleCmdExpandDumpAllocationHotspot(DataReader *reader, DataWriter *writer)
{
    // The method is only compared with the hotspots' methods.
    MethodDesc *method = static_cast<MethodDesc *>(reader->readID(nullptr));
    CallStackTree *top = reader->getError() ? nullptr : backtracesOf(method);
    if (top != nullptr)
        top->writeUpdate(writer, 0, nullptr, 0, 0, CallStackTree::UNLIMITED_DEPTH, false);
    else
        writer->writeByte(0);
}

void HeapDumpViews::handleCmdCreateDataSet(const Context &context, DataReader *reader, DataWriter *writer)
{
    uint32_t kind = static_cast<uint32_t>(reader->readByte(0));
    // Each backtrace node is written once.
    std::unordered_map<const CallStackTree *, bool> written;
    auto writeNode = [&](const LevelTree &tree, const CallStackTree *node) {
        auto found = tree.originals.find(node);
        if (found == tree.originals.end())
            return;
        for (CallStackTree *original : found->second) {
            if (written.emplace(original, true).second) {
                writer->writeByte(1);
                writer->writeID(original);
            }
        }
    };
    if (kind == KIND_ALLOCATION_SELECTION) {
        int level = static_cast<int>(reader->readU4(0));
        int c = reader->readU2(0);
        std::vector<std::pair<bool, Path>> selections;
        for (int i = 0; i < c && !reader->getError(); i++) {
            bool withDescendants = reader->readByte(0) != 0;
            selections.push_back({withDescendants, CallStackTree::readPath(reader)});
        }
        if (!reader->getError()) {
            LevelTree tree = buildLevelTree(context, level);
            for (const auto &selection : selections) {
                CallStackTree *node = CallStackTree::followPath(tree.root, selection.second, 0);
                if (node == nullptr)
                    continue;
                writeNode(tree, node);
                if (selection.first)
                    for (CallStackTree *below : nodesBelow(node))
                        writeNode(tree, below);
            }
        }
    } else if (kind == KIND_HOTSPOT_SELECTION) {
        int level = static_cast<int>(reader->readU4(0));
        reader->readByte(0);
        int c = reader->readU2(0);
        std::vector<MethodDesc *> methods;
        for (int i = 0; i < c && !reader->getError(); i++) {
            Path path = CallStackTree::readPath(reader);
            if (!path.empty())
                methods.push_back(path[0].first);
        }
        if (!reader->getError()) {
            // Every node whose method at the level is a selected hotspot.
            LevelTree tree = buildLevelTree(context, level);
            for (CallStackTree *node : nodesBelow(tree.root))
                if (std::find(methods.begin(), methods.end(), node->getMethod()) != methods.end())
                    writeNode(tree, node);
        }
    } else {
        MessageUtil::message("unknown data set kind %u", kind);
    }
    if (reader->getError())
        MessageUtil::message("bad data set request");
    writer->writeByte(0);
    if (context.classes != nullptr)
        context.classes->writeClassDescriptions(writer, true);
    else
        writer->writeByte(0);
}
