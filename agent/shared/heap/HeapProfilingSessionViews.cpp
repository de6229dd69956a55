// Allocation trees as the front end asks for them: commands 24, 25, 51, 52.
#include <algorithm>
#include <cstring>

#include "CSTBacktraceVisitor.h"
#include "CSTMergeVisitor.h"
#include "ClassData.h"
#include "ClassProfilingSession.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "HeapProfilingSessionViews.h"
#include "InternalMonitor.h"
#include "MethodDesc.h"
#include "ProfilingSession.h"
#include "SessionLock.h"

namespace {

const int MAX_HOTSPOTS = 100;

int depthOf(uint32_t requested)
{
    return requested >= 10000 ? CallStackTree::UNLIMITED_DEPTH : static_cast<int>(requested);
}

bool isPrimitiveArray(int type)
{
    return type >= 4 && type <= 11;
}

} // namespace

HeapProfilingSession::ViewState::~ViewState()
{
    for (CallStackTree *t : trees)
        t->freeAll(&pool);
}

CallStackTree *HeapProfilingSession::ViewState::newTree()
{
    CallStackTree *t = pool.getInstance(false);
    t->initialize(nullptr, nullptr, nullptr, 0);
    trees.push_back(t);
    return t;
}

namespace {

// Reads the parameters common to commands 24 and 51.
void readParameters(DataReader *reader, HeapProfilingSession::ViewState &view)
{
    view.recompute = reader->readByte(0) != 0;
    view.aggregationLevel = static_cast<int>(reader->readU4(0));
    view.kind = static_cast<int>(reader->readU4(0));
    if (reader->readByte(0) == 1) {
        // Method IDs of the selection are only compared, never followed.
        view.selection = view.newTree();
        reader->enableIDUpdate(false, DataWriter::ID_SIZE);
        view.selection->read(reader, CallStackTree::ENTRY_METHOD | CallStackTree::ENTRY_LINE | CallStackTree::ENTRY_UPDATE_AT_ONCE,
                             &view.pool, 36);
    }
    view.selectedPath = CallStackTree::readPath(reader);
    view.clearCollected = reader->readByte(0) != 0;
    uint32_t k = reader->readU4(0);
    for (uint32_t i = 0; i < k && !reader->getError(); i++) {
        int type = reader->readU2(0);
        ClassData *classData = static_cast<ClassData *>(reader->readID(nullptr));
        view.types.push_back(type);
        view.selectedClasses.push_back(classData);
    }
    char *prefix = reader->readString(nullptr);
    view.prefix = prefix != nullptr ? prefix : "";
    delete[] prefix;
}

// Adds a copy of `source` (a tree of the heap session) into `target`.
void mergeInto(ProfilingSession *session, CallStackTree *target, CallStackTree *source, InstancePool<CallStackTree> *pool)
{
    CSTMergeVisitor merge;
    merge.initialize(session, target, pool, 0, false, CSTMergeVisitor::KIND_CPU);
    source->depthFirstTraversal(&merge);
}

} // namespace

CallStackTree *HeapProfilingSession::selectTree(ViewState &state)
{
    if (state.clearCollected)
        resetAllocationsGC();
    int recordingType = session->getAllocTreeRecordingType();
    CallStackTree *selected = state.newTree();
    bool narrowed = !state.types.empty() || !state.prefix.empty();
    if (recordingType == 1) {
        liveCopy->freeAll(&pool);
        liveCopy = newRoot();
        if (state.kind == 1)
            generateLiveOnlyAllocationTree(state.types, state.selectedClasses, state.prefix);
        SessionLock lock(session, IM_HEAP);
        mergeInto(session, selected, liveCopy, &state.pool);
    } else if (recordingType == 2 || !narrowed) {
        createRequestedAllocationTrees();
        SessionLock lock(session, IM_HEAP);
        if (state.kind != 2)
            mergeInto(session, selected, liveCopy, &state.pool);
        if (state.kind != 1)
            mergeInto(session, selected, collectedCopy, &state.pool);
    } else {
        // Type 3 narrowed to classes, array types or a package prefix.
        SessionLock lock(session, IM_CLASS | IM_HEAP);
        auto add = [&](HeapItemClass *live, HeapItemClass *collected) {
            if (state.kind != 2 && live != nullptr)
                mergeInto(session, selected, live->getTree(), &state.pool);
            if (state.kind != 1 && collected != nullptr)
                mergeInto(session, selected, collected->getTree(), &state.pool);
        };
        auto entryOf = [&](ClassData *c, int set) -> HeapItemClass * {
            auto found = classEntries[set].find(c);
            return found != classEntries[set].end() ? found->second : nullptr;
        };
        if (!state.types.empty()) {
            for (size_t i = 0; i < state.types.size(); i++) {
                int type = state.types[i];
                ClassData *c = state.selectedClasses[i];
                if (isPrimitiveArray(type) || ((type == 3) && c == nullptr))
                    add(getArrayItemClass(type, SET_LIVE), getArrayItemClass(type, SET_COLLECTED));
                else if ((type == 2 || type == 3) && c != nullptr)
                    add(entryOf(c, SET_LIVE), entryOf(c, SET_COLLECTED));
            }
        } else {
            for (ClassData *c : classOrder) {
                if (strncmp(c->getClassName(), state.prefix.c_str(), state.prefix.size()) == 0)
                    add(entryOf(c, SET_LIVE), entryOf(c, SET_COLLECTED));
            }
        }
    }
    selected->removeFilteredFirstLevelNodes(&state.pool, true, false);
    if (state.aggregationLevel == 0)
        return selected;
    CallStackTree *aggregated = state.newTree();
    CSTMergeVisitor merge;
    merge.initialize(session, aggregated, &state.pool, state.aggregationLevel, false, CSTMergeVisitor::KIND_CPU);
    selected->depthFirstTraversal(&merge);
    if (state.aggregationLevel == 3)
        aggregated->removeFilteredFirstLevelNodes(&state.pool, false, false);
    return aggregated;
}

namespace {

// The view tree: the selected one, merged once more when the front end has view filters.
CallStackTree *applyViewFilters(ProfilingSession *session, ClassProfilingSession *classes, CallStackTree *selected,
                                HeapProfilingSession::ViewState &state)
{
    if (classes == nullptr || !classes->hasViewFilters())
        return selected;
    CallStackTree *filtered = state.newTree();
    CSTMergeVisitor merge;
    merge.initialize(session, filtered, &state.pool, 0, true, CSTMergeVisitor::KIND_CPU);
    selected->depthFirstTraversal(&merge);
    filtered->removeFilteredFirstLevelNodes(&state.pool, true, true);
    return filtered;
}


} // namespace

void HeapProfilingSession::handleCmdAllocationUpdate(DataReader *reader, DataWriter *writer)
{
    std::unique_ptr<ViewState> state(new ViewState());
    readParameters(reader, *state);
    int maxDepth = depthOf(reader->readU4(0));
    int perMille = static_cast<int>(reader->readU4(0));
    if (reader->getError()) {
        writer->writeByte(0);
        writer->writeU4(0);
        ClassProfilingSession::writeUnsentDescriptions(classes, writer);
        return;
    }
    if (!state->recompute && view != nullptr && view->selected != nullptr) {
        // The previous selection stays; only the request's path is new.
        view->selectedPath = state->selectedPath;
        state = std::move(view);
    } else {
        state->selected = selectTree(*state);
    }
    state->transmitted = applyViewFilters(session, classes, state->selected, *state);
    state->transmitted->writeUpdate(writer, 0, state->selection, 0, perMille, maxDepth, false);
    CallStackTree *selectedNode = CallStackTree::followPath(state->transmitted, state->selectedPath, 0);
    if (selectedNode != nullptr && !state->selectedPath.empty()) {
        writer->writeU4(static_cast<uint32_t>(state->selectedPath.size()));
        for (const auto &step : state->selectedPath) {
            writer->writeID(step.first);
            writer->writeU2(step.second);
        }
    } else {
        writer->writeU4(0);
    }
    view = std::move(state);
    ClassProfilingSession::writeUnsentDescriptions(classes, writer);
}

void HeapProfilingSession::handleCmdExpandAllocationNode(DataReader *reader, DataWriter *writer)
{
    int maxDepth = depthOf(reader->readU4(0));
    int perMille = static_cast<int>(reader->readU4(0));
    CallStackTree::Path path = CallStackTree::readPath(reader);
    CallStackTree *node = nullptr;
    if (!reader->getError() && view != nullptr && view->transmitted != nullptr)
        node = CallStackTree::followPath(view->transmitted, path, 0);
    if (node != nullptr)
        node->writeUpdate(writer, 0, nullptr, 0, perMille, maxDepth, false);
    else
        writer->writeByte(0);
}

void HeapProfilingSession::writeHotspotTree(DataWriter *writer, bool withBackTraces)
{
    if (view == nullptr || view->transmitted == nullptr) {
        writer->writeByte(0);
        writer->writeJLong(0);
        return;
    }
    // One hotspot per method: the bytes and objects allocated in it directly.
    std::vector<std::pair<MethodDesc *, std::pair<long long, uint32_t>>> hotspots;
    std::unordered_map<MethodDesc *, size_t> byMethod;
    std::vector<CallStackTree *> pending;
    for (CallStackTree *c = view->transmitted->getFirstChild(); c != nullptr; c = c->getNextInstance())
        pending.push_back(c);
    while (!pending.empty()) {
        CallStackTree *n = pending.back();
        pending.pop_back();
        for (CallStackTree *c = n->getFirstChild(); c != nullptr; c = c->getNextInstance())
            pending.push_back(c);
        long long self = n->getValue() - n->getChildrenValue(false);
        long long selfCount = static_cast<long long>(n->getSecondValue()) - n->getChildrenSecondValue(false);
        auto found = byMethod.emplace(n->getMethod(), hotspots.size());
        if (found.second)
            hotspots.push_back({n->getMethod(), {0, 0}});
        hotspots[found.first->second].second.first += self;
        hotspots[found.first->second].second.second += static_cast<uint32_t>(selfCount > 0 ? selfCount : 0);
    }
    std::stable_sort(hotspots.begin(), hotspots.end(),
                     [](const auto &a, const auto &b) { return a.second.first > b.second.first; });
    writer->writeByte(1);
    long long sum = 0;
    int written = 0;
    view->hotspots.clear();
    view->backtraces.clear();
    for (const auto &h : hotspots) {
        if (h.second.first <= 0)
            continue;
        sum += h.second.first;
        MethodDesc *m = h.first;
        if (m == nullptr || m == CallStackTree::unrecordedMethod() || m->getIsViewFiltered(true) || written >= MAX_HOTSPOTS)
            continue;
        written++;
        view->hotspots[m] = h.second;
        if (withBackTraces) {
            CallStackTree *root = view->newTree();
            CallStackTree *top = root->addChild(m, 0, &view->pool);
            top->addValue(h.second.first, false);
            top->addSecondValue(h.second.second, false);
            CSTBacktraceVisitor backtraces;
            backtraces.initialize(top, &view->pool, m, true, false, true);
            view->transmitted->depthFirstTraversal(&backtraces);
            view->backtraces[m] = top;
            top->writeUpdate(writer, 0, nullptr, 0, 0, CallStackTree::UNLIMITED_DEPTH, false);
            continue;
        }
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

void HeapProfilingSession::handleCmdAllocationHotspotTreeUpdate(DataReader *reader, DataWriter *writer)
{
    std::unique_ptr<ViewState> state(new ViewState());
    readParameters(reader, *state);
    reader->readByte(0);
    bool withBackTraces = reader->readByte(0) != 0;
    if (!reader->getError()) {
        if (!state->recompute && view != nullptr && view->selected != nullptr) {
            state = std::move(view);
        } else {
            state->selected = selectTree(*state);
        }
        state->transmitted = applyViewFilters(session, classes, state->selected, *state);
        view = std::move(state);
    }
    writeHotspotTree(writer, withBackTraces);
    ClassProfilingSession::writeUnsentDescriptions(classes, writer);
}

void HeapProfilingSession::handleCmdExpandAllocationHotspotNode(DataReader *reader, DataWriter *writer)
{
    int maxDepth = depthOf(reader->readU4(0));
    int perMille = static_cast<int>(reader->readU4(0));
    CallStackTree::Path path = CallStackTree::readPath(reader);
    if (path.empty())
        return;
    CallStackTree *node = nullptr;
    if (!reader->getError() && view != nullptr && view->transmitted != nullptr) {
        MethodDesc *m = path[0].first;
        auto hotspot = view->hotspots.find(m);
        if (hotspot != view->hotspots.end()) {
            auto built = view->backtraces.find(m);
            CallStackTree *top;
            if (built != view->backtraces.end()) {
                top = built->second;
            } else {
                CallStackTree *root = view->newTree();
                top = root->addChild(m, 0, &view->pool);
                top->addValue(hotspot->second.first, false);
                top->addSecondValue(hotspot->second.second, false);
                CSTBacktraceVisitor backtraces;
                backtraces.initialize(top, &view->pool, m, true, false, true);
                view->transmitted->depthFirstTraversal(&backtraces);
                view->backtraces[m] = top;
            }
            node = CallStackTree::followPath(top, path, 1);
        }
    }
    if (node != nullptr)
        node->writeUpdate(writer, 0, nullptr, 0, perMille, maxDepth, false);
    else
        writer->writeByte(0);
}
