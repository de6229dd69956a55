#include "CpuProfilingSession.h"
#include "CpuProfilingSessionPrivate.h"

#include <algorithm>
#include <mutex>
#include <unordered_map>

#include "AnnotationBytes.h"
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
#include "Recorder.h"
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
    : session(owner), vm(vmInterface), settings(chosen), cpuRecording(false), overhead(0),
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
    sleepMethod.store(sleep);
    waitMethod.store(wait);
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
    if (__builtin_expect(method == nullptr, 0))
        return ignoreUnknownMethodId(methodId);
    if (thread->getIgnored())
        return 0;
    // The stack is read once per thread and recording start: hooked calls
    // from code without hooks go below the frames read then, as nested
    // calls do, and never read it again.
    if (__builtin_expect(thread->stackEpoch != stackEpoch.load(std::memory_order_relaxed), 0) &&
        synchroniseOnEntry(thread, method, filtered, keep, timed))
        return 0;
    if (__builtin_expect(!traceAll.load(std::memory_order_relaxed), 1))
        return thread->methodEntry(method, line, overhead, filtered, timed);
    long long time = thread->methodEntry(method, line, overhead, filtered, timed);
    if (time != 0)
        traceEntry(thread, method, time, filtered);
    return time;
}

bool CpuProfilingSession::synchroniseOnEntry(LiveThreadManager *thread, MethodDesc *method, bool filtered, bool keep, bool timed)
{
    unsigned epoch = stackEpoch.load(std::memory_order_acquire);
    // The calls on the stack count once in a tree that starts empty: for a
    // thread met for the first time, or a recording started with a reset.
    // A recording that goes on with the trees it had counted them before.
    bool counted = thread->stackEpoch == 0 || resetEpoch.load(std::memory_order_relaxed) == epoch;
    // Time while nothing recorded belongs to no call.
    thread->restartClock();
    if (!counted && timed)
        thread->chargeElapsed(vm->getUsec(), overhead);
    bool stackRead = updateCallStack(thread, counted && timed);
    thread->stackEpoch = epoch;
    // Without a stack from the VM the entry is recorded like any other, and
    // so it is when the VM gave no frames for the thread (a call trace it
    // could not take): the entry is not lost.
    if (filtered || keep || !stackRead || thread->getMethodStackTop() < 1)
        return false;
    // The VM's stack already holds the method being entered.
    if (counted)
        return true;
    if (thread->isExceptionalPending() && thread->exitExceptionalFrame(method))
        return false;
    if (thread->getCurrentNode()->getMethod() == method)
        thread->getCurrentNode()->addSecondValue(1, false);
    return true;
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
    if (__builtin_expect(method == nullptr, 0))
        return ignoreUnknownMethodId(methodId);
    if (thread->getIgnored() || thread->stackEpoch != stackEpoch.load(std::memory_order_relaxed))
        return 0;
    if (__builtin_expect(!traceAll.load(std::memory_order_relaxed), 1))
        return thread->methodExit(method, overhead, filtered);
    long long time = thread->methodExit(method, overhead, filtered);
    if (time != 0)
        traceExit(thread, method, time, filtered);
    return time;
}

bool CpuProfilingSession::isStackRead(const LiveThreadManager *thread) const
{
    return thread->stackEpoch == stackEpoch.load(std::memory_order_relaxed);
}

void CpuProfilingSession::agentMethodExceptionHandler(LiveThreadManager *thread, int32_t methodId)
{
    if (thread == nullptr)
        return;
    MethodDesc *method = methodHandles.lookup(methodId);
    if (method == nullptr) {
        ignoreUnknownMethodId(methodId);
        return;
    }
    if (thread->getIgnored() || !isStackRead(thread))
        return;
    thread->methodExceptionHandler(method, overhead);
}

long long CpuProfilingSession::ignoreUnknownMethodId(int32_t methodId)
{
    // Any program can call the hooks with any number: one line says so, and
    // the call is not recorded.
    if (!unknownMethodIdReported.exchange(true))
        MessageUtil::message("Hook calls with unknown method id %d (and any other unknown id) are ignored.", static_cast<int>(methodId));
    return 0;
}

void CpuProfilingSession::agentLineNumberHint(LiveThreadManager *thread, uint16_t line)
{
    if (thread != nullptr)
        thread->setLineNumberHint(line);
}

void CpuProfilingSession::setCpuRecord(bool record, bool resetData)
{
    switchCpuRecord(record, resetData);
    // Outside the session's locks: the VM may load the hook class. One
    // switch at a time, so that the hooks end with the latest state.
    std::lock_guard<std::mutex> one(hooksSwitch);
    vm->setHooksRecording(isRecording());
}

void CpuProfilingSession::switchCpuRecord(bool record, bool resetData)
{
    SessionLock lock(session, IM_THREAD | IM_DEAD_THREADS);
    bool starts = record && !cpuRecording.load();
    if (starts) {
        // The hooks skipped the agent while nothing recorded: every thread
        // reads its stack again at its next hook.
        unsigned epoch = stackEpoch.load() + 1;
        if (epoch == 0)
            epoch = 1;
        if (resetData)
            resetEpoch.store(epoch);
        stackEpoch.store(epoch, std::memory_order_release);
    }
    cpuRecording.store(record);
    if (record) {
        everRecorded = true;
        newCpuData.store(true);
    }
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
    cpuDataReset.store(true);
    // A thread empties its own tree at its next call. While nothing records,
    // the views show it empty until then, so that a thread that waits shows
    // no old calls; a recording thread's tree goes on from its next call.
    bool recording = isRecording();
    for (LiveThreadManager *t : threadManagers) {
        t->requestClear();
        if (!recording)
            t->clear();
    }
}

namespace {

const char *const THREAD_ENTRY_CLASSES[] = {"java.lang.Thread", "com.orvane.agent.Agent$MainThread"};
const char *const THREAD_ENTRY_METHODS[] = {"run", "main"};

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

bool CpuProfilingSession::updateCallStack(LiveThreadManager *thread, bool timed)
{
    thread->reset();
    thread->clearNetIO();
    std::vector<HookFrame> frames;
    if (!getHookStack(&frames))
        return false;
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
    return true;
}

void CpuProfilingSession::endExceptionalRun(LiveThreadManager *thread, CallStackTree *run)
{
    // The payloads of the probe calls follow the merges, in their order, once
    // the thread lock is free: the Java side keeps them under its own lock.
    std::vector<std::pair<long long, long long>> toRest;
    std::vector<std::pair<long long, long long>> toSlot;
    mergeExceptionalRun(thread, run, &toRest, &toSlot);
    if (annotationBytes == nullptr)
        return;
    if (!toRest.empty())
        annotationBytes->moveAnnotations(toRest, true);
    if (!toSlot.empty())
        annotationBytes->moveAnnotations(toSlot, false);
}

void CpuProfilingSession::mergeExceptionalRun(LiveThreadManager *thread, CallStackTree *run,
                                              std::vector<std::pair<long long, long long>> *toRest,
                                              std::vector<std::pair<long long, long long>> *toSlot)
{
    CallStackTree *parent = run->getParent();
    InstancePool<CallStackTree> *pool = thread->getTreePool();
    SessionLock lock(session, IM_THREAD);
    long long runTime = ThreadHelper::getExceptionalTime(run, settings.exceptionalTimeType);
    if (Recorder::recordsNow()) {
        sortRecorderRun(run, runTime, pool);
        return;
    }
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
            *toRest = merge.getAnnotationPairs();
        }
    }
    if (target != nullptr) {
        CSTClearVisitor clear;
        clear.initialize(true);
        target->depthFirstTraversal(&clear);
        CSTExceptionalMergeVisitor merge;
        merge.initialize(target, pool);
        run->depthFirstTraversal(&merge);
        *toSlot = merge.getAnnotationPairs();
    }
    // The run's node stays as the accumulator of the next run.
    CSTClearVisitor clear;
    clear.initialize(true);
    run->depthFirstTraversal(&clear);
}

void CpuProfilingSession::sortRecorderRun(CallStackTree *run, long long runTime, InstancePool<CallStackTree> *pool)
{
    // The recorder's policy of the method says where the run goes: its
    // ordinary node, the slow runs' node or the very slow runs' node.
    uint16_t line = 0;
    switch (Recorder::instance().sortRun(run->getMethod(), runTime)) {
    case Recorder::RunKind::VERY_SLOW:
        line = static_cast<uint16_t>(CallStackTree::LINE_FIRST_SLOW_RUN - 1);
        break;
    case Recorder::RunKind::SLOW:
        line = CallStackTree::LINE_FIRST_SLOW_RUN;
        break;
    case Recorder::RunKind::ORDINARY:
        break;
    }
    CallStackTree *parent = run->getParent();
    CallStackTree *target = parent->getChild(run->getMethod(), line);
    if (target == nullptr)
        target = parent->addChild(run->getMethod(), line, pool);
    CSTExceptionalMergeVisitor merge;
    merge.initialize(target, pool);
    run->depthFirstTraversal(&merge);
    // The run's node stays as the accumulator of the next run.
    CSTClearVisitor clear;
    clear.initialize(true);
    run->depthFirstTraversal(&clear);
}

void CpuProfilingSession::handleCmdSetRecordCpu(DataReader *reader)
{
    bool on = reader->readByte(0) != 0;
    if (!readTracking(reader))
        return;
    if (on && isRecording())
        return;
    if (on)
        resetAnnotations();
    setCpuRecord(on, true);
}

bool CpuProfilingSession::readTracking(DataReader *reader)
{
    uint32_t count = reader->readU4(0);
    std::vector<int> ids;
    for (uint32_t i = 0; i < count && !reader->getError(); i++)
        ids.push_back(static_cast<int>(reader->readU4(0)));
    if (reader->getError())
        return false;
    if (annotationBytes != nullptr)
        annotationBytes->setTracking(ids);
    return true;
}

void CpuProfilingSession::resetAnnotations()
{
    if (annotationBytes != nullptr)
        annotationBytes->reset();
}
