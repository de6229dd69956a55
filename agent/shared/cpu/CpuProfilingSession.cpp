#include "CpuProfilingSession.h"

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


CpuProfilingSession::CpuProfilingSession(ProfilingSession *owner, VmInterface *vmInterface, const Settings &chosen)
    : session(owner), vm(vmInterface), settings(chosen), cpuRecording(false), overhead(0), sleepMethod(nullptr), waitMethod(nullptr),
      everRecorded(false), monitorRecording(false), blockThreshold(0), waitThreshold(0), deadThreadFile(nullptr)
{
}

CpuProfilingSession::~CpuProfilingSession()
{
    for (LiveThreadManager *t : threadManagers)
        delete t;
    for (auto &m : javaMonitors)
        delete m.second;
    for (auto &m : rawMonitors)
        delete m.second;
    for (MonitorEntry *e : finishedEntries)
        delete e;
    for (auto &stats : methodStatistics)
        delete stats.second;
    if (deadThreadFile != nullptr)
        fclose(deadThreadFile);
}

void CpuProfilingSession::updateSettings(const Settings &changed)
{
    SessionLock lock(session, IM_THREAD);
    int stackSize = settings.stackSize;
    settings = changed;
    settings.stackSize = stackSize;
}

LiveThreadManager *CpuProfilingSession::createThreadManager()
{
    LiveThreadManager *thread = new LiveThreadManager(this, settings.stackSize);
    thread->setInstrumentationRecord(isRecording());
    thread->setStatisticsRecord(isRecordMethodStatistics());
    thread->setStartTime(vm->getUsec());
    SessionLock lock(session, IM_THREAD);
    threadManagers.push_back(thread);
    return thread;
}

std::vector<LiveThreadManager *> CpuProfilingSession::getThreadManagers()
{
    SessionLock lock(session, IM_THREAD);
    return threadManagers;
}

void CpuProfilingSession::setWaitMethods(MethodDesc *sleep, MethodDesc *wait)
{
    sleepMethod = sleep;
    waitMethod = wait;
}

long long CpuProfilingSession::agentMethodEntry(LiveThreadManager *thread, int32_t methodId, uint16_t line, bool filtered, bool keep,
                                                bool timed)
{
    if (thread == nullptr)
        return 0;
    if (methodId == MethodHandleTable::CALIBRATION_ID) {
        thread->calibrationStart = vm->getUsec();
        return 0;
    }
    MethodDesc *method = methodHandles.lookup(methodId);
    if (method == nullptr || thread->getIgnored())
        return 0;
    if (!thread->stackSynchronised || thread->retransformMark >= thread->getMethodStackTop()) {
        // A thread met for the first time counts each call on its stack once;
        // a stack read again holds calls that were counted before.
        bool fresh = !thread->stackSynchronised;
        if (!fresh && timed)
            thread->chargeElapsed(vm->getUsec(), overhead);
        updateCallStack(thread, fresh && timed);
        thread->stackSynchronised = true;
        if (!filtered && !keep) {
            thread->retransformMark = thread->getMethodStackTop() - 1;
            // The VM's stack already holds the method being entered.
            if (fresh)
                return 0;
            if (!(thread->isExceptionalPending() && thread->exitExceptionalFrame(method))) {
                if (thread->getCurrentNode()->getMethod() == method)
                    thread->getCurrentNode()->addSecondValue(1, false);
                return 0;
            }
        }
    }
    long long time = thread->methodEntry(method, line, overhead, filtered, timed);
    if (time != 0 && traceAll.load(std::memory_order_relaxed))
        traceEntry(thread, method, time, filtered);
    return time;
}

long long CpuProfilingSession::agentMethodExit(LiveThreadManager *thread, int32_t methodId, bool filtered)
{
    if (thread == nullptr)
        return 0;
    if (thread->calibrationStart >= 1) {
        // The first reading stands for the cost of reading the clock itself.
        vm->getUsec();
        long long span = vm->getUsec() - thread->calibrationStart;
        if (overhead == 0 || span < overhead)
            overhead = 3 * span;
        thread->calibrationStart = 0;
        return 0;
    }
    if (methodId == MethodHandleTable::CALIBRATION_ID)
        return 0;
    MethodDesc *method = methodHandles.lookup(methodId);
    if (method == nullptr || thread->getIgnored() || !thread->stackSynchronised)
        return 0;
    long long time = thread->methodExit(method, overhead, filtered);
    if (time != 0 && traceAll.load(std::memory_order_relaxed))
        traceExit(thread, method, time, filtered);
    return time;
}

void CpuProfilingSession::agentMethodExceptionHandler(LiveThreadManager *thread, int32_t methodId)
{
    MethodDesc *method = methodHandles.lookup(methodId);
    if (thread == nullptr || method == nullptr || thread->getIgnored() || !thread->stackSynchronised)
        return;
    thread->methodExceptionHandler(method, overhead);
}

void CpuProfilingSession::agentLineNumberHint(LiveThreadManager *thread, uint16_t line)
{
    if (thread != nullptr)
        thread->setLineNumberHint(line);
}

void CpuProfilingSession::setCpuRecord(bool record, bool resetData)
{
    SessionLock lock(session, IM_THREAD | IM_DEAD_THREADS);
    cpuRecording.store(record);
    if (record)
        everRecorded = true;
    if (record && resetData) {
        for (LiveThreadManager *t : threadManagers)
            t->clearCallStackTree();
    }
    for (LiveThreadManager *t : threadManagers)
        t->setInstrumentationRecord(record);
}

void CpuProfilingSession::reset()
{
    SessionLock lock(session, IM_THREAD);
    for (LiveThreadManager *t : threadManagers)
        t->requestClear();
}

namespace {

const char *const THREAD_ENTRY_CLASSES[] = {"java.lang.Thread", "com.orvane.agent.Agent$MainThread"};
const char *const THREAD_ENTRY_METHODS[] = {"run", "main"};

bool named(const MethodDesc *method, const char *name)
{
    return strcmp(method->getMethodName(), name) == 0;
}

bool isConstructor(const MethodDesc *method)
{
    return named(method, "<init>");
}

bool isAgentFrame(const MethodDesc *method)
{
    return method->getClassData() != nullptr && method->getClassData()->getIsAgentClass();
}

bool isThreadEntryClass(const MethodDesc *method)
{
    if (method->getClassData() == nullptr)
        return false;
    for (const char *c : THREAD_ENTRY_CLASSES) {
        if (strcmp(method->getClassData()->getClassName(), c) == 0)
            return true;
    }
    return false;
}

bool isThreadEntryMethod(const MethodDesc *method)
{
    for (const char *name : THREAD_ENTRY_METHODS) {
        if (named(method, name))
            return true;
    }
    return false;
}

} // namespace

bool CpuProfilingSession::getHookStack(std::vector<HookFrame> *out)
{
    out->clear();
    std::vector<VmInterface::StackFrame> frames;
    if (!vm->getStackTrace(&frames))
        return false;
    frames.erase(std::remove_if(frames.begin(), frames.end(), [](const VmInterface::StackFrame &f) { return f.method == nullptr; }),
                 frames.end());
    // The hook being called runs in the agent's own classes.
    size_t end = frames.size();
    while (end > 0 && isAgentFrame(frames[end - 1].method))
        end--;
    // A thread's own frames above the method it was started with are not
    // the application's: they begin at the first "run" or "main". Without
    // one only the outermost frame goes.
    size_t begin = 0;
    if (end > 0 && isThreadEntryClass(frames[0].method)) {
        begin = 1;
        while (begin < end && !isThreadEntryMethod(frames[begin].method))
            begin++;
        if (begin == end)
            begin = 1;
    }
    for (size_t i = begin; i < end; i++) {
        HookFrame frame;
        frame.line = frames[i].line;
        if (hookMethods != nullptr) {
            hookMethods->describe(frames[i].method, &frame.hook);
        } else {
            frame.hook.method = frames[i].method;
            frame.hook.known = frame.hook.hooked = methodHandles.findHandle(frames[i].method) != 0;
            frame.hook.filterEntry = frames[i].method->getIsFiltered(false, false);
        }
        if (frame.hook.method == nullptr)
            frame.hook.method = frames[i].method;
        out->push_back(frame);
    }
    return true;
}

void CpuProfilingSession::updateCallStack(LiveThreadManager *thread, bool timed)
{
    thread->reset();
    thread->clearNetIO();
    std::vector<HookFrame> frames;
    if (!getHookStack(&frames))
        return;
    // What the hooks would have learnt from the previous frame: whether it
    // ran hooks of its own, and the line it is at when it was recorded
    // unfiltered (a line-number hint).
    bool afterHooked = false;
    bool callerTellsLine = false;
    uint16_t callerLine = 0;
    for (const HookFrame &f : frames) {
        MethodDesc *method = f.hook.method;
        if (f.hook.netIo)
            thread->setNetIO(true, vm->getUsec());
        // A constructor has no entry hook: only a hooked caller enters it.
        if (f.hook.known && isConstructor(method) && !afterHooked) {
            callerTellsLine = false;
            continue;
        }
        // Methods the hooks do not know come in as filtered calls with line
        // 0, and so do methods of the filtered area: through the filtered-call
        // hook of their caller, or, when hooked themselves, after code
        // without hooks. The others come in as their own entry hook would
        // have them. A known method gets the line its caller is at.
        bool filtered = true;
        if (f.hook.known)
            filtered = f.hook.hooked ? !afterHooked && f.hook.filterEntry : f.hook.filterEntry;
        uint16_t line = f.hook.known && callerTellsLine ? callerLine : 0;
        CallStackTree *before = thread->getCurrentNode();
        thread->methodEntry(method, line, overhead, filtered, timed);
        callerTellsLine = thread->getCurrentNode() != before && !method->getIsFiltered(false, false);
        callerLine = f.line;
        afterHooked = f.hook.hooked;
    }
}

void CpuProfilingSession::endExceptionalRun(LiveThreadManager *thread, CallStackTree *run)
{
    CallStackTree *parent = run->getParent();
    InstancePool<CallStackTree> *pool = thread->getTreePool();
    SessionLock lock(session, IM_THREAD);
    long long runTime = ThreadHelper::getExceptionalTime(run, settings.exceptionalTimeType);
    int cap = std::min(std::max(settings.exceptionalCap, 0), CallStackTree::MAX_SLOW_RUNS);
    CallStackTree *target = nullptr;
    CallStackTree *smallest = nullptr;
    long long smallestTime = 0;
    bool allSlotsExist = true;
    for (int i = 0; i < cap; i++) {
        uint16_t line = static_cast<uint16_t>(CallStackTree::LINE_FIRST_SLOW_RUN - i);
        CallStackTree *slot = parent->getChild(run->getMethod(), line);
        if (slot == nullptr) {
            target = parent->addChild(run->getMethod(), line, pool);
            allSlotsExist = false;
            break;
        }
        long long slotTime = ThreadHelper::getExceptionalTime(slot, settings.exceptionalTimeType);
        if (slotTime < runTime && (smallest == nullptr || slotTime < smallestTime)) {
            smallest = slot;
            smallestTime = slotTime;
        }
    }
    if (allSlotsExist) {
        target = smallest;
        CallStackTree *loser = smallest != nullptr ? smallest : run;
        if (ThreadHelper::getExceptionalTime(loser, settings.exceptionalTimeType) >= 0) {
            CallStackTree *rest = parent->getChild(run->getMethod(), CallStackTree::LINE_EXCEPTIONAL_REST);
            if (rest == nullptr)
                rest = parent->addChild(run->getMethod(), CallStackTree::LINE_EXCEPTIONAL_REST, pool);
            CSTExceptionalMergeVisitor merge;
            merge.initialize(rest, pool);
            loser->depthFirstTraversal(&merge);
        }
    }
    if (target != nullptr) {
        CSTClearVisitor clear;
        clear.initialize(true);
        target->depthFirstTraversal(&clear);
        CSTExceptionalMergeVisitor merge;
        merge.initialize(target, pool);
        run->depthFirstTraversal(&merge);
    }
    // The run's node stays as the accumulator of the next run.
    CSTClearVisitor clear;
    clear.initialize(true);
    run->depthFirstTraversal(&clear);
}

// The common part of the view requests and the trees built for it. Every
// tree comes from the request's own pool and is freed with it.
struct CpuProfilingSession::ViewRequest {
    bool regenerate = false;
    int aggregationLevel = 0;
    std::vector<void *> threads;
    CallStackTree *selection = nullptr;
    uint32_t annotationId = 0;
    int valueKind = CSTMergeVisitor::KIND_CPU;
    InstancePool<CallStackTree> pool;
    std::vector<CallStackTree *> trees;
    // Probe annotation ids per node of the view tree.
    AnnotationMap annotations;

    ~ViewRequest()
    {
        for (CallStackTree *t : trees)
            t->freeAll(&pool);
    }
    CallStackTree *newTree()
    {
        CallStackTree *t = pool.getInstance(false);
        t->initialize(nullptr, nullptr, nullptr, 0);
        trees.push_back(t);
        return t;
    }
    void read(DataReader *reader)
    {
        regenerate = reader->readByte(0) != 0;
        aggregationLevel = static_cast<int>(reader->readU4(0));
        int threadCount = reader->readU2(0);
        for (int i = 0; i < threadCount && !reader->getError(); i++)
            threads.push_back(reader->readID(nullptr));
        if (reader->readByte(0) == 1) {
            // Method IDs of the selection are only compared, never followed.
            selection = newTree();
            reader->enableIDUpdate(false, DataWriter::ID_SIZE);
            selection->read(reader, CallStackTree::ENTRY_METHOD | CallStackTree::ENTRY_LINE | CallStackTree::ENTRY_UPDATE_AT_ONCE, &pool,
                            36);
        }
        int pathLength = reader->readU2(0);
        for (int i = 0; i < pathLength && !reader->getError(); i++) {
            reader->readID(nullptr);
            reader->readU2(0);
        }
        annotationId = reader->readU4(0);
        valueKind = static_cast<int>(reader->readU4(0));
        if (valueKind < CSTMergeVisitor::KIND_CPU || valueKind > CSTMergeVisitor::KIND_NET_IO)
            valueKind = CSTMergeVisitor::KIND_CPU;
    }
};

namespace {

// One method's share of a view: its self time and calls over every node.
struct Hotspot {
    MethodDesc *method;
    long long value;
    uint32_t calls;
};

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

void CpuProfilingSession::handleCmdSetRecordCpu(DataReader *reader)
{
    bool on = reader->readByte(0) != 0;
    // Probe tracking: the ids are read; probes are not recorded yet.
    uint32_t tracked = reader->readU4(0);
    for (uint32_t i = 0; i < tracked && !reader->getError(); i++)
        reader->readU4(0);
    if (reader->getError())
        return;
    if (on && isRecording())
        return;
    setCpuRecord(on, true);
}

CallStackTree *CpuProfilingSession::buildViewTree(ViewRequest &request, ClassProfilingSession *classes)
{
    // The probe annotations of the threads' nodes follow every merge: the
    // cumulated tree gathers the ids, each later tree takes its source's.
    AnnotationMap cumulatedAnnotations;
    CallStackTree *cumulated = request.newTree();
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
            merge.setAnnotations(&cumulatedAnnotations, nullptr);
            t->getCallStackTree(true)->depthFirstTraversal(&merge);
        }
        SessionLock deadThreads(session, IM_DEAD_THREADS);
        storeDeadThreads();
    }
    cumulated->removeFilteredFirstLevelNodes(&request.pool, false, true);
    CallStackTree *view = cumulated;
    AnnotationMap viewAnnotations;
    viewAnnotations.swap(cumulatedAnnotations);
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
    // Nodes freed by pruning leave no entry behind.
    request.annotations.clear();
    std::vector<const CallStackTree *> pending;
    if (!viewAnnotations.empty())
        pending.push_back(view);
    while (!pending.empty()) {
        const CallStackTree *n = pending.back();
        pending.pop_back();
        auto found = viewAnnotations.find(n);
        if (found != viewAnnotations.end())
            request.annotations.emplace(n, std::move(found->second));
        for (const CallStackTree *c = n->getFirstChild(); c != nullptr; c = c->getNextInstance())
            pending.push_back(c);
    }
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
    std::vector<Hotspot> hotspots;
    if (everRecorded && !reader->getError()) {
        CallStackTree *view = buildViewTree(request, classes);
        hotspotViewRoot = view;
        std::vector<std::pair<CallStackTree *, int>> pending;
        for (CallStackTree *c = view->getFirstChild(); c != nullptr; c = c->getNextInstance())
            pending.push_back({c, 1});
        std::vector<size_t> index;
        std::unordered_map<MethodDesc *, size_t> byMethod;
        while (!pending.empty()) {
            CallStackTree *n = pending.back().first;
            int level = pending.back().second;
            pending.pop_back();
            for (CallStackTree *c = n->getFirstChild(); c != nullptr; c = c->getNextInstance())
                pending.push_back({c, level + 1});
            MethodDesc *m = n->getMethod();
            if (level > 1 && hideFiltered && isHidden(m))
                continue;
            if (classKind != 0 && (m == nullptr || m == CallStackTree::unrecordedMethod() || m->getClassData() == nullptr ||
                                   m->getClassData()->getComponentType() != classKind))
                continue;
            long long value = classKind != 0 ? n->getValue() : n->getValue() - n->getChildrenValue(hideFiltered);
            auto found = byMethod.find(m);
            if (found == byMethod.end()) {
                byMethod.emplace(m, hotspots.size());
                hotspots.push_back(Hotspot{m, 0, 0});
                found = byMethod.find(m);
            }
            hotspots[found->second].value += value;
            hotspots[found->second].calls += n->getSecondValue();
        }
    }
    writer->writeByte(1);
    long long total = 0;
    for (const Hotspot &h : hotspots)
        total += h.value;
    if (sorted) {
        std::stable_sort(hotspots.begin(), hotspots.end(), [](const Hotspot &a, const Hotspot &b) { return a.value > b.value; });
    }
    int written = 0;
    for (const Hotspot &h : hotspots) {
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
    for (const Hotspot &h : hotspots)
        hotspotTotals[h.method] = std::make_pair(h.value, h.calls);
    writer->writeByte(0);
    writer->writeJLong(total);
    classes->writeMethodDescriptions(writer, true);
    classes->writeClassDescriptions(writer, true);
}

void CpuProfilingSession::doThreadDump()
{
    SessionLock lock(session, IM_THREAD);
    std::vector<LiveThreadManager *> alive;
    std::vector<void *> handles;
    for (LiveThreadManager *t : threadManagers) {
        if (!t->getIsDead() && !t->getIgnored() && t->threadHandle != nullptr) {
            alive.push_back(t);
            handles.push_back(t->threadHandle);
        }
    }
    std::vector<std::vector<VmInterface::StackFrame>> stacks;
    if (alive.empty() || !vm->getThreadStacks(handles, &stacks) || stacks.size() != alive.size())
        return;
    long long now = vm->getUsec();
    for (size_t i = 0; i < alive.size(); i++) {
        if (stacks[i].empty())
            continue;
        std::vector<ThreadManager::Frame> frames;
        for (const VmInterface::StackFrame &f : stacks[i])
            frames.push_back(ThreadManager::Frame(f.method, f.line));
        alive[i]->addStackTrace(now, std::move(frames));
    }
}

void CpuProfilingSession::handleCmdThreadDump(DataWriter *writer, bool newDump, ClassProfilingSession *classes)
{
    if (newDump)
        doThreadDump();
    {
        SessionLock lock(session, IM_THREAD);
        for (LiveThreadManager *t : threadManagers) {
            if (!t->hasStackTraces())
                continue;
            writer->writeByte(1);
            writer->writeID(t);
            t->writeStackTraces(writer, true);
        }
    }
    writer->writeByte(0);
    writer->writeJLong(vm->getUsec());
    writer->writeU4(0);
    handleCmdThreadDescriptions(writer, classes);
}

void CpuProfilingSession::handleCmdThreadDescriptions(DataWriter *writer, ClassProfilingSession *classes)
{
    {
        SessionLock lock(session, IM_THREAD);
        long long vmStart = session->getVmStartTime();
        for (LiveThreadManager *t : threadManagers) {
            if (t->getIgnored() || !t->hasDescription())
                continue;
            writer->writeByte(1);
            t->writeDescription(writer, true, vmStart < 0 ? 0 : vmStart);
        }
    }
    writer->writeByte(0);
    writer->writeU4(0); // bookmarks
    classes->writeMethodDescriptions(writer, true);
    classes->writeClassDescriptions(writer, true);
}

// Dead-thread store.

bool CpuProfilingSession::openDeadThreadStore()
{
    if (deadThreadFile != nullptr)
        return true;
    std::string path;
    int fd = TempFiles::createFile("jdc", path);
    if (fd < 0) {
        MessageUtil::message("Could not create dead threads temp file");
        return false;
    }
    // Nobody needs the name: the open descriptor keeps the file alive.
    unlink(path.c_str());
    deadThreadFile = fdopen(fd, "w+b");
    if (deadThreadFile == nullptr) {
        close(fd);
        return false;
    }
    return true;
}

void CpuProfilingSession::storeDeadThreads()
{
    bool anyDead = false;
    for (LiveThreadManager *t : threadManagers)
        anyDead = anyDead || (t->getIsDead() && !t->isSwappedOut());
    if (!anyDead || !openDeadThreadStore())
        return;
    if (fseeko(deadThreadFile, 0, SEEK_END) != 0) {
        MessageUtil::message("Could not seek tmp file");
        return;
    }
    FileDataWriter writer(deadThreadFile);
    for (LiveThreadManager *t : threadManagers) {
        if (t->getIsDead() && !t->isSwappedOut())
            t->storeTrees(&writer);
    }
    writer.flush();
    fflush(deadThreadFile);
}

void CpuProfilingSession::retrieveDeadThread(LiveThreadManager *thread)
{
    if (!thread->isSwappedOut() || deadThreadFile == nullptr)
        return;
    FileDataReader reader(deadThreadFile);
    thread->retrieve(&reader);
}

// Views kept between requests: expansions and the method graph.

namespace {

// The path of (method ID, U2 line) pairs of an expansion request.
std::vector<std::pair<MethodDesc *, uint16_t>> readPath(DataReader *reader)
{
    std::vector<std::pair<MethodDesc *, uint16_t>> path;
    int n = reader->readU2(0);
    for (int i = 0; i < n && !reader->getError(); i++) {
        MethodDesc *method = static_cast<MethodDesc *>(reader->readID(nullptr));
        uint16_t line = static_cast<uint16_t>(reader->readU2(0));
        path.push_back(std::make_pair(method, line));
    }
    return path;
}

// Follows `path` from `node`; null when it leaves the tree. The IDs are only
// compared with the children's methods, never followed.
CallStackTree *followPath(CallStackTree *node, const std::vector<std::pair<MethodDesc *, uint16_t>> &path, size_t from)
{
    for (size_t i = from; i < path.size() && node != nullptr; i++)
        node = node->getChild(path[i].first, path[i].second);
    return node;
}

} // namespace

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
    std::vector<std::pair<MethodDesc *, uint16_t>> path = readPath(reader);
    if (maxDepth >= 10000)
        maxDepth = CallStackTree::UNLIMITED_DEPTH;
    CallStackTree *node = nullptr;
    if (!reader->getError() && invocationViewRoot != nullptr)
        node = followPath(invocationViewRoot, path, 0);
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
    std::vector<std::pair<MethodDesc *, uint16_t>> path = readPath(reader);
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
    CallStackTree *node = followPath(merged, path, 1);
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

// Call tracer.

bool CpuProfilingSession::setTraceRecord(bool all, bool filtered, bool restart, uint32_t cap)
{
    if (all && settings.collectionMethod != 1) {
        MessageUtil::message("ERROR: Tracing can only be used with dynamic instrumentation");
        return false;
    }
    bool switchCpuOn = false;
    {
        SessionLock lock(session, IM_THREAD);
        if (restart || all != traceAll.load(std::memory_order_relaxed)) {
            for (LiveThreadManager *t : threadManagers)
                t->traceStarted = false;
        }
        if (all) {
            switchCpuOn = !isRecording();
            if (restart || !traces)
                traces.reset(new std::vector<Trace>());
        } else if (traceAll.load(std::memory_order_relaxed)) {
            newCallTracerData = true;
        }
        traceFiltered = filtered;
        traceCap = cap;
        traceAll.store(all, std::memory_order_relaxed);
    }
    if (switchCpuOn)
        setCpuRecord(true, false);
    return true;
}

bool CpuProfilingSession::hasNewCallTracerData()
{
    SessionLock lock(session, IM_THREAD);
    bool result = newCallTracerData;
    newCallTracerData = false;
    return result;
}

void CpuProfilingSession::traceEntry(LiveThreadManager *thread, MethodDesc *method, long long time, bool filtered)
{
    if (filtered && !traceFiltered)
        return;
    std::vector<HookFrame> stack;
    bool fresh = !thread->traceStarted;
    if (fresh && !getHookStack(&stack))
        stack.clear();
    SessionLock lock(session, IM_THREAD);
    if (!traces || traces->size() >= traceCap)
        return;
    if (fresh) {
        // The thread's first traced event: where it stands, outermost first.
        thread->traceStarted = true;
        traces->push_back(Trace{thread, nullptr, time});
        // The calls the hooks know, constructors only from hooked callers.
        bool inStack = false;
        bool afterHooked = false;
        for (const HookFrame &f : stack) {
            if (traces->size() >= traceCap)
                break;
            MethodDesc *m = f.hook.method;
            bool traced = f.hook.known && (traceFiltered || !m->getIsFiltered(false, false)) && (afterHooked || !isConstructor(m));
            afterHooked = f.hook.hooked;
            if (!traced)
                continue;
            traces->push_back(Trace{thread, m, time});
            inStack = inStack || m == method;
        }
        // The stack already shows the method being entered.
        if (inStack && !filtered)
            return;
        if (traces->size() >= traceCap)
            return;
    }
    traces->push_back(Trace{thread, method, time});
}

void CpuProfilingSession::traceExit(LiveThreadManager *thread, MethodDesc *method, long long time, bool filtered)
{
    if ((filtered && !traceFiltered) || !thread->traceStarted)
        return;
    SessionLock lock(session, IM_THREAD);
    if (!traces || traces->size() >= traceCap)
        return;
    traces->push_back(Trace{thread, method, -time});
}

void CpuProfilingSession::handleCmdSetTraceRecord(DataReader *reader)
{
    bool all = reader->readByte(0) != 0;
    bool filtered = reader->readByte(0) != 0;
    uint32_t cap = reader->readU4(0);
    if (reader->getError())
        return;
    setTraceRecord(all, filtered, true, cap);
    if (!all) {
        SessionLock lock(session, IM_THREAD);
        newCallTracerData = false;
    }
}

void CpuProfilingSession::handleCmdGetTraces(DataWriter *writer, ClassProfilingSession *classes)
{
    {
        SessionLock lock(session, IM_THREAD);
        if (!traces) {
            writer->writeU4(0);
            writer->writeU4(0);
        } else {
            uint32_t withMethod = 0;
            for (const Trace &t : *traces)
                withMethod += t.method != nullptr ? 1 : 0;
            writer->writeU4(withMethod);
            std::vector<uint32_t> starts;
            uint32_t position = 0;
            for (const Trace &t : *traces) {
                if (t.method == nullptr) {
                    starts.push_back(position);
                    continue;
                }
                writer->writeID(t.thread);
                writer->writeID(t.method);
                writer->writeJLong(t.time);
                position++;
            }
            writer->writeU4(static_cast<uint32_t>(starts.size()));
            for (uint32_t p : starts)
                writer->writeU4(p);
            traces.reset(new std::vector<Trace>());
        }
    }
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
CallStackTree *executionSiteTree(const CallStackTree *site, int level, InstancePool<CallStackTree> *pool)
{
    std::vector<const CallStackTree *> path;
    for (const CallStackTree *n = site; n != nullptr; n = n->getParent())
        path.push_back(n);
    CallStackTree *root = pool->getInstance(false);
    const CallStackTree *top = path.back();
    root->initialize(nullptr, nullptr, top->getMethod(), top->getLineHint());
    root->setValue(top->getValue());
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
        cursor->setValue(n->getValue());
        cursor->setSecondValue(n->getSecondValue());
    }
    return root;
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
            std::vector<const CallStackTree *> pending{t->getCallStackTree(false)};
            while (!pending.empty()) {
                const CallStackTree *node = pending.back();
                pending.pop_back();
                if (const std::string *prefix = matchingPrefix(node, prefixes)) {
                    writer->writeByte(1);
                    writer->writeID(t);
                    writer->writeString(prefix->c_str());
                    CallStackTree *site = executionSiteTree(node, level, &pool);
                    site->writeUpdate(writer, CallStackTree::THRESHOLD_ALL, nullptr, 0, 0, -1, false);
                    site->freeAll(&pool);
                }
                for (const CallStackTree *c = node->getFirstChild(); c != nullptr; c = c->getNextInstance())
                    pending.push_back(c);
            }
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
