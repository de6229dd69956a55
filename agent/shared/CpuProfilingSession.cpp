#include "CpuProfilingSession.h"

#include <algorithm>
#include <unordered_map>

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
#include "ThreadHelper.h"
#include "VmInterface.h"
#include "FileDataReader.h"
#include "FileDataWriter.h"
#include "MessageUtil.h"
#include "MonitorEntry.h"
#include "LiveMonitorManager.h"
#include "TempFiles.h"

#include <map>
#include <string>
#include <unistd.h>

namespace {

// Holds locks of the session for a scope.
class Locked {
public:
    Locked(ProfilingSession *s, int bits) : session(s), bits(bits) { session->enterMonitor(bits); }
    ~Locked() { session->exitMonitor(bits, false); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;

private:
    ProfilingSession *session;
    int bits;
};

} // namespace

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
    if (deadThreadFile != nullptr)
        fclose(deadThreadFile);
}

void CpuProfilingSession::updateSettings(const Settings &changed)
{
    Locked lock(session, IM_THREAD);
    int stackSize = settings.stackSize;
    settings = changed;
    settings.stackSize = stackSize;
}

LiveThreadManager *CpuProfilingSession::createThreadManager()
{
    LiveThreadManager *thread = new LiveThreadManager(this, settings.stackSize);
    thread->setInstrumentationRecord(isRecording());
    thread->setStartTime(vm->getUsec());
    Locked lock(session, IM_THREAD);
    threadManagers.push_back(thread);
    return thread;
}

std::vector<LiveThreadManager *> CpuProfilingSession::getThreadManagers()
{
    Locked lock(session, IM_THREAD);
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
        bool fresh = !thread->stackSynchronised;
        updateCallStack(thread);
        thread->stackSynchronised = true;
        if (!filtered && !keep) {
            thread->retransformMark = thread->getMethodStackTop() - 1;
            // The VM's stack already holds the method being entered.
            if (fresh)
                return 0;
            if (!(thread->isExceptionalPending() && thread->exitExceptionalFrame(method))) {
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
    Locked lock(session, IM_THREAD | IM_DEAD_THREADS);
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
    Locked lock(session, IM_THREAD);
    for (LiveThreadManager *t : threadManagers)
        t->requestClear();
}

void CpuProfilingSession::updateCallStack(LiveThreadManager *thread)
{
    thread->reset();
    std::vector<VmInterface::StackFrame> frames;
    if (!vm->getStackTrace(&frames))
        return;
    for (size_t i = 0; i < frames.size(); i++) {
        // A frame's node carries the line of its call site in the caller.
        uint16_t line = i > 0 ? frames[i - 1].line : 0;
        thread->methodEntry(frames[i].method, line, overhead, false, false);
    }
}

void CpuProfilingSession::endExceptionalRun(LiveThreadManager *thread, CallStackTree *run)
{
    CallStackTree *parent = run->getParent();
    InstancePool<CallStackTree> *pool = thread->getTreePool();
    Locked lock(session, IM_THREAD);
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
    CallStackTree *cumulated = request.newTree();
    {
        Locked lock(session, IM_THREAD);
        for (LiveThreadManager *t : threadManagers) {
            bool selected = request.threads.empty() ||
                            std::find(request.threads.begin(), request.threads.end(), static_cast<void *>(t)) != request.threads.end();
            if (!selected || t->getIgnored())
                continue;
            Locked deadThreads(session, IM_DEAD_THREADS);
            retrieveDeadThread(t);
            CSTMergeVisitor merge;
            merge.initialize(session, cumulated, &request.pool, 0, false, request.valueKind);
            t->getCallStackTree(true)->depthFirstTraversal(&merge);
        }
        Locked deadThreads(session, IM_DEAD_THREADS);
        storeDeadThreads();
    }
    cumulated->removeFilteredFirstLevelNodes(&request.pool, false, true);
    CallStackTree *view = cumulated;
    if (request.aggregationLevel != 0) {
        view = request.newTree();
        CSTMergeVisitor merge;
        merge.initialize(session, view, &request.pool, request.aggregationLevel, false, CSTMergeVisitor::KIND_CPU);
        cumulated->depthFirstTraversal(&merge);
        if (request.aggregationLevel == 3)
            view->removeFilteredFirstLevelNodes(&request.pool, false, false);
    }
    if (!classes->hasViewFilters())
        return view;
    CallStackTree *filtered = request.newTree();
    CSTMergeVisitor merge;
    merge.initialize(session, filtered, &request.pool, 0, true, CSTMergeVisitor::KIND_CPU);
    view->depthFirstTraversal(&merge);
    filtered->removeFilteredFirstLevelNodes(&request.pool, true, true);
    return filtered;
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
        view->writeUpdate(writer, threshold, request.selection, 0, perMille, depth, false);
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
    Locked lock(session, IM_THREAD);
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
        Locked lock(session, IM_THREAD);
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
        Locked lock(session, IM_THREAD);
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

// Monitor profiling.

namespace {

// At and above this threshold a kind of monitor event is not recorded.
const long long THRESHOLD_OFF = 2000000000LL;

long long monitorKey(void *monitorId)
{
    return static_cast<long long>(reinterpret_cast<intptr_t>(monitorId));
}

} // namespace

void CpuProfilingSession::setAgentMonitors(const std::vector<void *> &monitors)
{
    Locked lock(session, IM_THREAD);
    agentMonitors.clear();
    agentMonitors.insert(monitors.begin(), monitors.end());
}

bool CpuProfilingSession::isAgentMonitor(void *monitor) const
{
    return agentMonitors.count(monitor) != 0;
}

LiveMonitorManager *CpuProfilingSession::getMonitorManager(bool raw, void *monitorId, ClassData *classData)
{
    if (blockThreshold >= THRESHOLD_OFF && waitThreshold >= THRESHOLD_OFF)
        return nullptr;
    Locked lock(session, IM_THREAD);
    std::unordered_map<long long, LiveMonitorManager *> &monitors = raw ? rawMonitors : javaMonitors;
    auto found = monitors.find(monitorKey(monitorId));
    if (found != monitors.end())
        return found->second;
    LiveMonitorManager *created = new LiveMonitorManager(raw, monitorId, this, raw ? nullptr : classData);
    monitors[monitorKey(monitorId)] = created;
    return created;
}

void CpuProfilingSession::setMonitorRecording(bool on, long long block, long long wait)
{
    if (block >= 0) {
        blockThreshold = block;
        waitThreshold = wait < 0 ? 0 : wait;
    }
    monitorRecording.store(on, std::memory_order_relaxed);
}

void CpuProfilingSession::addMonitorEntry(const MonitorEntry *entry)
{
    if (!isMonitorRecording() || !entry->isAboveThreshold(blockThreshold, waitThreshold))
        return;
    // Kept past the trees it points into: the stacks go with it.
    MonitorEntry *copy = new MonitorEntry(*entry);
    copy->captureStacks();
    Locked lock(session, IM_THREAD);
    finishedEntries.push_back(copy);
}

long long CpuProfilingSession::generateCurrentMonitorEntryData()
{
    Locked lock(session, IM_THREAD);
    long long now = vm->getUsec();
    currentEntries.clear();
    for (LiveThreadManager *t : threadManagers) {
        if (t->getIgnored() || t->getIsDead())
            continue;
        if (MonitorEntry *open = t->getCurrentMonitorEntry(now, true))
            currentEntries.push_back(*open);
    }
    return now;
}

void CpuProfilingSession::resetMonitorStats()
{
    Locked lock(session, IM_THREAD);
    for (LiveThreadManager *t : threadManagers)
        t->clearMonitorUsageStats();
    for (auto &m : javaMonitors)
        m.second->clearStats();
}

void CpuProfilingSession::clearMonitorEntries()
{
    Locked lock(session, IM_THREAD);
    for (MonitorEntry *e : finishedEntries)
        delete e;
    finishedEntries.clear();
}

void CpuProfilingSession::writeMonitorEntries(DataWriter *writer, bool aboveThresholdOnly)
{
    for (const MonitorEntry &entry : currentEntries) {
        if (aboveThresholdOnly && !entry.isAboveThreshold(blockThreshold, waitThreshold))
            continue;
        writer->writeByte(1);
        entry.write(writer, true);
    }
    writer->writeByte(0);
}

void CpuProfilingSession::handleCmdMonitorUsageHistory(DataWriter *writer, ClassProfilingSession *classes)
{
    std::vector<MonitorEntry *> finished;
    {
        Locked lock(session, IM_THREAD);
        finished.swap(finishedEntries);
        for (MonitorEntry *e : finished) {
            writer->writeByte(1);
            e->write(writer, true);
        }
    }
    for (MonitorEntry *e : finished)
        delete e;
    writer->writeByte(0);
    long long now = generateCurrentMonitorEntryData();
    {
        Locked lock(session, IM_THREAD);
        writeMonitorEntries(writer, true);
    }
    writer->writeU4(static_cast<uint32_t>(blockThreshold));
    writer->writeU4(static_cast<uint32_t>(waitThreshold));
    writer->writeJLong(now);
    writer->writeU4(0);
    handleCmdThreadDescriptions(writer, classes);
}

void CpuProfilingSession::handleCmdMonitorUsageCurrent(DataWriter *writer, ClassProfilingSession *classes)
{
    long long now = generateCurrentMonitorEntryData();
    {
        Locked lock(session, IM_THREAD);
        writeMonitorEntries(writer, false);
    }
    writer->writeJLong(now);
    writer->writeU4(0);
    handleCmdThreadDescriptions(writer, classes);
}

void CpuProfilingSession::handleCmdMonitorUsageStats(DataReader *reader, DataWriter *writer, ClassProfilingSession *classes)
{
    uint32_t grouping = reader->readU4(0);
    if (reader->getError())
        return;
    {
        Locked lock(session, IM_THREAD);
        if (grouping == 1) {
            for (auto &m : javaMonitors)
                m.second->writeStats(writer);
            for (auto &m : rawMonitors)
                m.second->writeStats(writer);
        } else if (grouping == 2) {
            for (LiveThreadManager *t : threadManagers)
                t->writeMonitorUsageStats(writer);
        } else {
            // Summed per class name, in name order so that replies are stable.
            std::map<std::string, MonitorTimeValues> byClass;
            for (auto &m : javaMonitors) {
                if (m.second->getMonitorTimeValues()->isEmpty())
                    continue;
                ClassData *c = m.second->getClassData();
                byClass[c != nullptr ? c->getClassName() : ""].add(m.second->getMonitorTimeValues());
            }
            for (auto &entry : byClass) {
                writer->writeByte(1);
                writer->writeString(entry.first.c_str());
                entry.second.write(writer);
            }
            MonitorTimeValues rawTotal;
            for (auto &m : rawMonitors)
                rawTotal.add(m.second->getMonitorTimeValues());
            if (!rawTotal.isEmpty()) {
                writer->writeByte(1);
                writer->writeString("[raw monitor]");
                rawTotal.write(writer);
            }
        }
    }
    writer->writeByte(0);
    classes->writeClassDescriptions(writer, true);
}

int CpuProfilingSession::handleCmdSetRecordMonitors(DataReader *reader)
{
    bool on = reader->readByte(0) != 0;
    long long block = -1;
    long long wait = -1;
    if (on) {
        block = reader->readS4(0);
        wait = reader->readS4(0);
    }
    if (reader->getError())
        return -1;
    setMonitorRecording(on, on && block < 0 ? 0 : block, wait);
    return on ? 1 : 0;
}

void CpuProfilingSession::handleCmdGetMonitorId(DataReader *reader, DataWriter *writer)
{
    uint32_t displayId = reader->readU4(0);
    long long id = 0;
    if (!reader->getError() && displayId != 0) {
        Locked lock(session, IM_THREAD);
        for (auto *monitors : {&javaMonitors, &rawMonitors}) {
            for (auto &m : *monitors) {
                if (m.second->getDisplayId() == displayId)
                    id = m.second->getMonitorId();
            }
        }
    }
    writer->writeJLong(id);
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
        node->writeUpdate(writer, 0, nullptr, 0, perMille, maxDepth, false);
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
        Locked lock(session, IM_THREAD);
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
    Locked lock(session, IM_THREAD);
    bool result = newCallTracerData;
    newCallTracerData = false;
    return result;
}

void CpuProfilingSession::traceEntry(LiveThreadManager *thread, MethodDesc *method, long long time, bool filtered)
{
    if (filtered && !traceFiltered)
        return;
    std::vector<VmInterface::StackFrame> stack;
    bool fresh = !thread->traceStarted;
    if (fresh && !vm->getStackTrace(&stack))
        stack.clear();
    Locked lock(session, IM_THREAD);
    if (!traces || traces->size() >= traceCap)
        return;
    if (fresh) {
        // The thread's first traced event: where it stands, outermost first.
        thread->traceStarted = true;
        traces->push_back(Trace{thread, nullptr, time});
        bool inStack = false;
        for (const VmInterface::StackFrame &f : stack) {
            if (traces->size() >= traceCap)
                break;
            if (f.method == nullptr || (!traceFiltered && f.method->getIsFiltered(false, false)))
                continue;
            traces->push_back(Trace{thread, f.method, time});
            inStack = inStack || f.method == method;
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
    Locked lock(session, IM_THREAD);
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
        Locked lock(session, IM_THREAD);
        newCallTracerData = false;
    }
}

void CpuProfilingSession::handleCmdGetTraces(DataWriter *writer, ClassProfilingSession *classes)
{
    {
        Locked lock(session, IM_THREAD);
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
