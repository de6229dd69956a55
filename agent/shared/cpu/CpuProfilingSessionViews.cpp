// CpuProfilingSession: the views of the call trees (invocation and hotspot trees, expansions,
// back traces, the method graph, execution sites and probe hotspots).
#include "CpuProfilingSession.h"
#include "CpuProfilingSessionPrivate.h"

#include <algorithm>
#include <unordered_map>

#include "AnnotationHotspots.h"
#include "CSTBacktraceVisitor.h"
#include "CSTClearVisitor.h"
#include "CSTMethodGraphVisitor.h"
#include "CSTExceptionalMergeVisitor.h"
#include "CSTMergeVisitor.h"
#include "ClassProfilingSession.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "CallStackTree.h"
#include "InternalMonitor.h"
#include "LiveThreadManager.h"
#include "MethodDesc.h"
#include "ClassData.h"
#include "ProfilingSession.h"
#include "SessionLock.h"
#include "ThreadHelper.h"
#include "VmInterface.h"
#include "FileDataReader.h"
#include "FileDataWriter.h"
#include "MessageUtil.h"
#include "MonitorEntry.h"
#include "LiveMonitorManager.h"
#include "TempFiles.h"

#include <cstring>
#include <string>
#include <unistd.h>

namespace {

bool isHidden(const MethodDesc *m)
{
    return m == nullptr || m == CallStackTree::unrecordedMethod() || m->getIsFiltered(false, false);
}

} // namespace

const AnnotationMap *CpuProfilingSession::viewAnnotations(const ViewRequest &request) const
{
    // Sampled call trees carry no probe annotations.
    static const AnnotationMap none;
    return settings.collectionMethod == 3 ? &none : &request.annotations;
}

CallStackTree *CpuProfilingSession::mergeThreadTrees(ViewRequest &request, AnnotationMap *annotations)
{
    CallStackTree *cumulated = request.newTree();
    // Calls still running count up to now, as in a snapshot taken now.
    long long now = vm != nullptr ? vm->getUsec() : 0;
    {
        SessionLock lock(session, IM_THREAD);
        for (LiveThreadManager *t : threadManagers) {
            bool selected = request.threads.empty() ||
                            std::find(request.threads.begin(), request.threads.end(), static_cast<void *>(t)) != request.threads.end();
            if (!selected || t->getIgnored())
                continue;
            SessionLock deadThreads(session, IM_DEAD_THREADS);
            retrieveDeadThread(t);
            CSTMergeVisitor merge;
            merge.initialize(session, cumulated, &request.pool, 0, false, request.valueKind);
            merge.setAnnotations(annotations, nullptr);
            OpenTimeMap open = t->openTimes(now);
            merge.setOpenTimes(&open);
            t->getCallStackTree(true)->depthFirstTraversal(&merge);
        }
        SessionLock deadThreads(session, IM_DEAD_THREADS);
        storeDeadThreads();
    }
    cumulated->removeFilteredFirstLevelNodes(&request.pool, false, true);
    return cumulated;
}

namespace {

// Moves the annotations of the nodes still in the view into `kept`; nodes
// freed by pruning leave no entry behind.
void keepViewAnnotations(const CallStackTree *view, AnnotationMap &annotations, AnnotationMap *kept)
{
    kept->clear();
    std::vector<const CallStackTree *> pending;
    if (!annotations.empty())
        pending.push_back(view);
    while (!pending.empty()) {
        const CallStackTree *n = pending.back();
        pending.pop_back();
        auto found = annotations.find(n);
        if (found != annotations.end())
            kept->emplace(n, std::move(found->second));
        for (const CallStackTree *c = n->getFirstChild(); c != nullptr; c = c->getNextInstance())
            pending.push_back(c);
    }
}

} // namespace

CallStackTree *CpuProfilingSession::buildViewTree(ViewRequest &request, ClassProfilingSession *classes)
{
    // The probe annotations of the threads' nodes follow every merge: the
    // cumulated tree gathers the ids, each later tree takes its source's.
    AnnotationMap viewAnnotations;
    CallStackTree *cumulated = mergeThreadTrees(request, &viewAnnotations);
    CallStackTree *view = cumulated;
    if (request.aggregationLevel != 0) {
        view = request.newTree();
        AnnotationMap levelAnnotations;
        CSTMergeVisitor merge;
        merge.initialize(session, view, &request.pool, request.aggregationLevel, false, CSTMergeVisitor::KIND_CPU);
        merge.setAnnotations(&levelAnnotations, &viewAnnotations);
        cumulated->depthFirstTraversal(&merge);
        if (request.aggregationLevel == 3)
            view->removeFilteredFirstLevelNodes(&request.pool, false, false);
        viewAnnotations.swap(levelAnnotations);
    }
    if (classes->hasViewFilters()) {
        CallStackTree *filtered = request.newTree();
        AnnotationMap filteredAnnotations;
        CSTMergeVisitor merge;
        merge.initialize(session, filtered, &request.pool, 0, true, CSTMergeVisitor::KIND_CPU);
        merge.setAnnotations(&filteredAnnotations, &viewAnnotations);
        view->depthFirstTraversal(&merge);
        filtered->removeFilteredFirstLevelNodes(&request.pool, true, true);
        view = filtered;
        viewAnnotations.swap(filteredAnnotations);
    }
    keepViewAnnotations(view, viewAnnotations, &request.annotations);
    return view;
}

void CpuProfilingSession::handleCmdInvocationTreeUpdate(DataReader *reader, DataWriter *writer, ClassProfilingSession *classes)
{
    // The view stays for the expansions (command 9) until the next update.
    invocationView.reset(new ViewRequest());
    invocationViewRoot = nullptr;
    ViewRequest &request = *invocationView;
    request.read(reader);
    int depth = static_cast<int>(reader->readU4(0));
    int perMille = static_cast<int>(reader->readU4(0));
    long long threshold = 0;
    if (depth >= 10001) {
        depth = CallStackTree::UNLIMITED_DEPTH;
        threshold = -1;
    } else if (depth == 10000) {
        depth = CallStackTree::UNLIMITED_DEPTH;
    }
    if (!everRecorded || reader->getError()) {
        writer->writeByte(0);
        writer->writeU4(0);
        writer->writeID(nullptr);
        writer->writeU4(4);
    } else {
        CallStackTree *view = buildViewTree(request, classes);
        invocationViewRoot = view;
        view->writeUpdate(writer, threshold, request.selection, 0, perMille, depth, viewAnnotations(request), annotationBytes, false);
        writer->writeU4(0);       // no selected path
        writer->writeID(nullptr); // no thread found by annotation
        writer->writeU4(static_cast<uint32_t>(request.valueKind));
    }
    classes->writeMethodDescriptions(writer, true);
    classes->writeClassDescriptions(writer, true);
}

namespace {

// Whether a node's method counts for a hotspot of `classKind` (0: any).
bool ofClassKind(const MethodDesc *m, int classKind)
{
    return classKind == 0 || (m != nullptr && m != CallStackTree::unrecordedMethod() && m->getClassData() != nullptr &&
                              m->getClassData()->getComponentType() == classKind);
}

// Every method's share of the view tree below its root, in order of first
// appearance (depth first, last child first): self time (or total time for a
// class kind) and calls. Hidden methods below the first level are left out.
std::vector<ViewHotspot> collectHotspots(CallStackTree *view, bool hideFiltered, int classKind)
{
    std::vector<ViewHotspot> hotspots;
    std::vector<std::pair<CallStackTree *, int>> pending;
    for (CallStackTree *c = view->getFirstChild(); c != nullptr; c = c->getNextInstance())
        pending.push_back({c, 1});
    std::unordered_map<MethodDesc *, size_t> byMethod;
    while (!pending.empty()) {
        CallStackTree *n = pending.back().first;
        int level = pending.back().second;
        pending.pop_back();
        for (CallStackTree *c = n->getFirstChild(); c != nullptr; c = c->getNextInstance())
            pending.push_back({c, level + 1});
        MethodDesc *m = n->getMethod();
        if ((level > 1 && hideFiltered && isHidden(m)) || !ofClassKind(m, classKind))
            continue;
        long long value = classKind != 0 ? n->getValue() : n->getValue() - n->getChildrenValue(hideFiltered);
        auto found = byMethod.emplace(m, hotspots.size());
        if (found.second)
            hotspots.push_back(ViewHotspot{m, 0, 0});
        hotspots[found.first->second].value += value;
        hotspots[found.first->second].calls += n->getSecondValue();
    }
    return hotspots;
}

} // namespace

void CpuProfilingSession::handleCmdHotspotTreeUpdate(DataReader *reader, DataWriter *writer, ClassProfilingSession *classes)
{
    // The view stays for the back-trace expansions (command 10).
    hotspotView.reset(new ViewRequest());
    hotspotViewRoot = nullptr;
    ViewRequest &request = *hotspotView;
    request.read(reader);
    bool hideFiltered = reader->readByte(0) != 0;
    int classKind = static_cast<int>(reader->readU4(0));
    bool sorted = reader->readByte(0) != 0;
    bool fullBacktraces = reader->readByte(0) != 0;
    hotspotHideFiltered = hideFiltered;
    hotspotSelfTime = classKind == 0;
    hotspotTotals.clear();
    hotspotMerged.clear();
    std::vector<ViewHotspot> hotspots;
    if (everRecorded && !reader->getError()) {
        hotspotViewRoot = buildViewTree(request, classes);
        hotspots = collectHotspots(hotspotViewRoot, hideFiltered, classKind);
    }
    writer->writeByte(1);
    long long total = 0;
    for (const ViewHotspot &h : hotspots)
        total += h.value;
    if (sorted) {
        std::stable_sort(hotspots.begin(), hotspots.end(), 
                         [](const ViewHotspot &a, const ViewHotspot &b) { return a.value > b.value; });
    }
    writeHotspots(writer, hotspots, sorted, fullBacktraces);
    for (const ViewHotspot &h : hotspots)
        hotspotTotals[h.method] = std::make_pair(h.value, h.calls);
    writer->writeByte(0);
    writer->writeJLong(total);
    classes->writeMethodDescriptions(writer, true);
    classes->writeClassDescriptions(writer, true);
}

void CpuProfilingSession::writeHotspots(DataWriter *writer, const std::vector<ViewHotspot> &hotspots, bool sorted,
                                        bool fullBacktraces)
{
    int written = 0;
    for (const ViewHotspot &h : hotspots) {
        if (h.method == nullptr || h.method == CallStackTree::unrecordedMethod() || h.method->getIsViewFiltered(true))
            continue;
        if (sorted && (h.value <= 0 || written >= 100))
            continue;
        written++;
        if (fullBacktraces) {
            CallStackTree *merged = buildBacktraceTree(h.method, h.value, h.calls);
            merged->writeUpdate(writer, 0, nullptr, 0, 0, CallStackTree::UNLIMITED_DEPTH, false);
            continue;
        }
        writer->writeByte(1);
        writer->writeByte(2);
        writer->writeByte(0);
        writer->writeID(h.method);
        writer->writeU2(0);
        writer->writeJLong(h.value);
        writer->writeU4(h.calls);
    }
}

// Views kept between requests: expansions and the method graph.

CallStackTree *CpuProfilingSession::buildBacktraceTree(MethodDesc *method, long long value, uint32_t calls)
{
    // Built once per hotspot and view.
    auto built = hotspotMerged.find(method);
    if (built != hotspotMerged.end())
        return built->second;
    CallStackTree *root = hotspotView->newTree();
    CallStackTree *top = root->addChild(method, 0, &hotspotView->pool);
    top->addValue(value, false);
    top->addSecondValue(calls, false);
    CSTBacktraceVisitor backtraces;
    backtraces.initialize(top, &hotspotView->pool, method, hotspotSelfTime, hotspotHideFiltered, hotspotSelfTime);
    hotspotViewRoot->depthFirstTraversal(&backtraces);
    hotspotMerged[method] = top;
    return top;
}

void CpuProfilingSession::handleCmdExpandInvocationNode(DataReader *reader, DataWriter *writer)
{
    int maxDepth = static_cast<int>(reader->readU4(0));
    int perMille = static_cast<int>(reader->readU4(0));
    CallStackTree::Path path = CallStackTree::readPath(reader);
    if (maxDepth >= 10000)
        maxDepth = CallStackTree::UNLIMITED_DEPTH;
    CallStackTree *node = nullptr;
    if (!reader->getError() && invocationViewRoot != nullptr)
        node = CallStackTree::followPath(invocationViewRoot, path, 0);
    if (node != nullptr)
        node->writeUpdate(writer, 0, nullptr, 0, perMille, maxDepth, viewAnnotations(*invocationView), annotationBytes, false);
    else
        writer->writeByte(0);
    writer->writeU4(static_cast<uint32_t>(invocationView ? invocationView->valueKind : CSTMergeVisitor::KIND_CPU));
}

void CpuProfilingSession::handleCmdExpandHotspotNode(DataReader *reader, DataWriter *writer)
{
    int maxDepth = static_cast<int>(reader->readU4(0));
    int perMille = static_cast<int>(reader->readU4(0));
    CallStackTree::Path path = CallStackTree::readPath(reader);
    if (path.empty())
        return;
    if (maxDepth >= 10000)
        maxDepth = CallStackTree::UNLIMITED_DEPTH;
    auto hotspot = hotspotTotals.find(path[0].first);
    if (reader->getError() || hotspotViewRoot == nullptr || hotspot == hotspotTotals.end()) {
        writer->writeByte(0);
        return;
    }
    CallStackTree *merged = buildBacktraceTree(path[0].first, hotspot->second.first, hotspot->second.second);
    CallStackTree *node = CallStackTree::followPath(merged, path, 1);
    if (node == nullptr) {
        writer->writeByte(0);
        return;
    }
    node->writeUpdate(writer, 0, nullptr, 0, perMille, maxDepth, false);
}

void CpuProfilingSession::handleCmdMethodGraph(DataReader *reader, DataWriter *writer, ClassProfilingSession *classes)
{
    ViewRequest request;
    request.read(reader);
    CSTMethodGraphVisitor graph;
    if (everRecorded && !reader->getError())
        buildViewTree(request, classes)->depthFirstTraversal(&graph);
    graph.write(writer);
    classes->writeMethodDescriptions(writer, true);
    classes->writeClassDescriptions(writer, true);
}

// Execution sites.

namespace {

// The node standing for `method` at an aggregation level (1 class, 2
// package, 3 component: the class unless it has none); null: the node merges
// into its caller's.
MethodDesc *executionSiteLevel(MethodDesc *method, int level)
{
    ClassData *c = method->getClassData();
    if (level == 0 || c == nullptr || c->isPseudoClass() || c->getComponentType() == ClassData::COMPONENT_ANNOTATION)
        return method;
    if (level == 1 || (level == 3 && c->getComponentType() != 0))
        return c->classMethodDesc;
    if (level == 2)
        return c->packageMethodDesc;
    return nullptr;
}

// The first prefix that the probe node's method name starts with, or null.
const std::string *matchingPrefix(const CallStackTree *node, const std::vector<std::string> &prefixes)
{
    MethodDesc *m = node->getMethod();
    if (m == nullptr || m == CallStackTree::unrecordedMethod() || m->getClassData() == nullptr ||
        m->getClassData()->getComponentType() != ClassData::COMPONENT_ANNOTATION)
        return nullptr;
    for (const std::string &prefix : prefixes) {
        if (strncmp(m->getMethodName(), prefix.c_str(), prefix.size()) == 0)
            return &prefix;
    }
    return nullptr;
}

// The path from the root to `site` as a tree of its own: each node with
// its value and count. At an aggregation level, consecutive calls into one
// class (package) become one node holding the outermost call's values.
// The thread's open times count in.
CallStackTree *executionSiteTree(const CallStackTree *site, int level, const OpenTimeMap &open, InstancePool<CallStackTree> *pool)
{
    auto valueOf = [&open](const CallStackTree *n) {
        auto found = open.find(n);
        return n->getValue() + (found != open.end() ? found->second : 0);
    };
    std::vector<const CallStackTree *> path;
    for (const CallStackTree *n = site; n != nullptr; n = n->getParent())
        path.push_back(n);
    CallStackTree *root = pool->getInstance(false);
    const CallStackTree *top = path.back();
    root->initialize(nullptr, nullptr, top->getMethod(), top->getLineHint());
    root->setValue(valueOf(top));
    root->setSecondValue(top->getSecondValue());
    CallStackTree *cursor = root;
    for (auto it = path.rbegin() + 1; it != path.rend(); ++it) {
        const CallStackTree *n = *it;
        MethodDesc *method = n->getMethod();
        uint16_t line = n->getLineHint();
        if (level != 0 && method != nullptr && method != CallStackTree::unrecordedMethod()) {
            method = executionSiteLevel(method, level);
            line = 0;
            if (method == nullptr || (method == cursor->getMethod() && cursor != root))
                continue;
        }
        cursor = cursor->addChild(method, line, pool);
        cursor->setValue(valueOf(n));
        cursor->setSecondValue(n->getSecondValue());
    }
    return root;
}

// Byte 1, the thread, the matched prefix and the site's tree for every node
// of the thread's tree whose method matches a prefix.
void writeExecutionSites(DataWriter *writer, LiveThreadManager *t, const std::vector<std::string> &prefixes, int level,
                         InstancePool<CallStackTree> *pool)
{
    std::vector<const CallStackTree *> pending{t->getCallStackTree(false)};
    OpenTimeMap open = t->openTimes();
    while (!pending.empty()) {
        const CallStackTree *node = pending.back();
        pending.pop_back();
        if (const std::string *prefix = matchingPrefix(node, prefixes)) {
            writer->writeByte(1);
            writer->writeID(t);
            writer->writeString(prefix->c_str());
            CallStackTree *site = executionSiteTree(node, level, open, pool);
            site->writeUpdate(writer, CallStackTree::THRESHOLD_ALL, nullptr, 0, 0, -1, false);
            site->freeAll(pool);
        }
        for (const CallStackTree *c = node->getFirstChild(); c != nullptr; c = c->getNextInstance())
            pending.push_back(c);
    }
}

} // namespace

void CpuProfilingSession::handleCmdGetExecutionSites(DataReader *reader, DataWriter *writer, ClassProfilingSession *classes)
{
    int level = static_cast<int>(reader->readU4(0));
    uint32_t n = reader->readU4(0);
    std::vector<std::string> prefixes;
    for (uint32_t i = 0; i < n && !reader->getError(); i++) {
        char *prefix = reader->readString(nullptr);
        if (prefix == nullptr)
            break;
        prefixes.push_back(prefix);
        delete[] prefix;
    }
    if (!reader->getError() && !prefixes.empty()) {
        SessionLock lock(session, IM_DEAD_THREADS | IM_THREAD);
        InstancePool<CallStackTree> pool;
        for (LiveThreadManager *t : threadManagers) {
            retrieveDeadThread(t);
            writeExecutionSites(writer, t, prefixes, level, &pool);
        }
        storeDeadThreads();
    }
    writer->writeByte(0);
    classes->writeMethodDescriptions(writer, true);
    classes->writeClassDescriptions(writer, true);
}

// Probe hotspots.

void CpuProfilingSession::handleCmdAnnotationHotspotUpdate(DataReader *reader, DataWriter *writer, ClassProfilingSession *classes)
{
    // The new view replaces the old one; ids the Java side holds resolve
    // against it by their paths.
    probeView.reset(new ViewRequest());
    ViewRequest &request = *probeView;
    request.read(reader);
    CallStackTree *view = reader->getError() ? request.newTree() : buildViewTree(request, classes);
    std::vector<ThreadManager *> selected;
    {
        // Thread IDs from the front end are only compared with live managers.
        SessionLock lock(session, IM_THREAD);
        for (LiveThreadManager *t : threadManagers) {
            if (std::find(request.threads.begin(), request.threads.end(), static_cast<void *>(t)) != request.threads.end())
                selected.push_back(t);
        }
    }
    AnnotationHotspots::writeHotspots(writer, reader, view, selected, request.annotations, &request.pool, request.regenerate,
                                      request.valueKind, payloadHotspots, &probeNodeIds);
    classes->writeMethodDescriptions(writer, true);
    classes->writeClassDescriptions(writer, true);
}
