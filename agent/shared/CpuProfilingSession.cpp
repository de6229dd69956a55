#include "CpuProfilingSession.h"

#include <algorithm>
#include <unordered_map>

#include "CSTClearVisitor.h"
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
      everRecorded(false)
{
}

CpuProfilingSession::~CpuProfilingSession()
{
    for (LiveThreadManager *t : threadManagers)
        delete t;
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
    return thread->methodEntry(method, line, overhead, filtered, timed);
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
    return thread->methodExit(method, overhead, filtered);
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
            CSTMergeVisitor merge;
            merge.initialize(session, cumulated, &request.pool, 0, false, request.valueKind);
            t->getCallStackTree(true)->depthFirstTraversal(&merge);
        }
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
    ViewRequest request;
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
    ViewRequest request;
    request.read(reader);
    bool hideFiltered = reader->readByte(0) != 0;
    int classKind = static_cast<int>(reader->readU4(0));
    bool sorted = reader->readByte(0) != 0;
    reader->readByte(0); // full back traces: hotspots are written without them
    std::vector<Hotspot> hotspots;
    if (everRecorded && !reader->getError()) {
        CallStackTree *view = buildViewTree(request, classes);
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
        writer->writeByte(1);
        writer->writeByte(2);
        writer->writeByte(0);
        writer->writeID(h.method);
        writer->writeU2(0);
        writer->writeJLong(h.value);
        writer->writeU4(h.calls);
        written++;
    }
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
