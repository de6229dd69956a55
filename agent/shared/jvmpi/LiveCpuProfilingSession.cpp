#include "LiveCpuProfilingSession.h"

#include <cstring>

#include "ByteArrayDataReader.h"
#include "PiHeapAllocItem.h"
#include "InternalMonitor.h"
#include "PiClassProfilingSession.h"
#include "LiveHeapProfilingSession.h"
#include "LiveMonitorManager.h"
#include "PiProfiling.h"
#include "LiveThreadManager.h"
#include "MessageUtil.h"
#include "MethodDesc.h"
#include "MonitorEntry.h"
#include "ProfilingSession.h"
#include "SessionLock.h"
#include "VmInterface.h"

namespace {

// The agent's own threads are never profiled.
bool isAgentThreadName(const char *name)
{
    return name != nullptr && strncmp(name, "_orvane", 7) == 0;
}

} // namespace

LiveCpuProfilingSession::LiveCpuProfilingSession(ProfilingSession *session, VmInterface *vm, const Settings &settings,
                                                 PiClassProfilingSession *classes, LiveHeapProfilingSession *heap)
    : CpuProfilingSession(session, vm, settings), classes(classes), heap(heap)
{
    // The main thread's manager exists before the VM names the thread.
    mainThread = createThreadManager();
    mainThread->setPremadeMain();
    setHookMethods(&eventMethods);
}

void LiveCpuProfilingSession::EventMethods::describe(MethodDesc *frameMethod, Frame *out)
{
    out->method = frameMethod;
    out->known = true;
    out->hooked = true;
    out->filterEntry = false;
    out->netIo = false;
}

bool LiveCpuProfilingSession::reportsEveryCall() const
{
    return getSettings().collectionMethod == 1 || getSettings().collectionMethod == 2;
}

bool LiveCpuProfilingSession::agentMainThreadStarted(JNIEnv *env)
{
    LiveThreadManager *thread = getThreadManager(env, false, false);
    SessionLock lock(getProfilingSession(), IM_THREAD);
    // A thread the VM never announced has no manager of its own: its calls
    // go to the pre-made main manager, which must then keep recording.
    if (thread == nullptr) {
        MessageUtil::debugOut("the agent's main thread has no manager\n");
        return false;
    }
    if (mainThread->threadHandle != env && mainThread != thread)
        mainThread->setIgnored(true, false);
    thread->setAgentMainThread();
    getProfilingSession()->updateVmStartTime(thread->getStartTime(), true);
    return true;
}

LiveThreadManager *LiveCpuProfilingSession::getThreadManager(JNIEnv *env, bool orMain, bool noStore)
{
    JVMPI_Interface *vm = PiProfiling::g_profilingInterface;
    if (env != nullptr && vm != nullptr && mainThread->threadHandle != nullptr && !noStore) {
        void *stored = vm->GetThreadLocalStorage(env);
        if (stored != nullptr)
            return static_cast<LiveThreadManager *>(stored);
    }
    if (env != nullptr) {
        for (LiveThreadManager *t : getThreadManagers()) {
            if (!t->getIsDead() && t->threadHandle == env) {
                if (!noStore && vm != nullptr)
                    vm->SetThreadLocalStorage(env, t);
                return t;
            }
        }
    }
    return orMain ? mainThread : nullptr;
}

void LiveCpuProfilingSession::handleThreadStart(JVMPI_Event *event)
{
    JNIEnv *env = event->env_id;
    if (env == nullptr) {
        MessageUtil::debugOut("thread start without a thread ignored\n");
        return;
    }
    const char *name = event->u.thread_start.thread_name;
    ProfilingSession *owner = getProfilingSession();
    LiveThreadManager *thread;
    {
        SessionLock lock(owner, IM_THREAD);
        if (mainThread->threadHandle == nullptr && name != nullptr && strcmp(name, "main") == 0) {
            thread = mainThread;
            thread->threadHandle = env;
        } else {
            thread = nullptr;
        }
    }
    if (thread == nullptr) {
        thread = createThreadManager();
        thread->threadHandle = env;
    }
    numThreadsAlive++;
    JVMPI_Interface *vm = PiProfiling::g_profilingInterface;
    if (vm != nullptr)
        vm->SetThreadLocalStorage(env, thread);
    SessionLock lock(owner, IM_THREAD);
    thread->setThreadName(name != nullptr ? name : "");
    thread->setGroupName(event->u.thread_start.group_name != nullptr ? event->u.thread_start.group_name : "");
    if (event->u.thread_start.parent_name != nullptr)
        thread->setParentName(event->u.thread_start.parent_name);
    if (isAgentThreadName(name))
        thread->setIgnored(true, false);
    ThreadStartRecords::Record started;
    std::string startedName = name != nullptr ? name : "";
    if (pendingStarts.take([&startedName](void *o) { return *static_cast<std::string *>(o) == startedName; }, &started)) {
        thread->ensureThreadDesc()->setCreationInfo(started.creator, started.path);
        delete static_cast<std::string *>(started.threadObject);
    }
}

void LiveCpuProfilingSession::handleThreadEnd(JVMPI_Event *event)
{
    LiveThreadManager *thread = getThreadManager(event->env_id, false, true);
    if (thread == nullptr) {
        MessageUtil::debugOut("end of an unknown thread ignored\n");
        return;
    }
    numThreadsAlive--;
    long long now = getVm()->getUsec();
    SessionLock lock(getProfilingSession(), IM_THREAD);
    thread->setEndTime(now);
    thread->setIsDead(now);
    JVMPI_Interface *vm = PiProfiling::g_profilingInterface;
    if (vm != nullptr)
        vm->SetThreadLocalStorage(event->env_id, nullptr);
}

void LiveCpuProfilingSession::handleMethodEntry(JVMPI_Event *event)
{
    LiveThreadManager *thread = getCurrentThreadManager(event->env_id, true);
    if (thread == nullptr || thread->getIgnored())
        return;
    MethodDesc *method = classes->getMethodDesc(event->u.method.method_id, event->env_id);
    if (method == nullptr)
        return;
    recordEntry(thread, method);
}

void LiveCpuProfilingSession::handleMethodEntry2(JVMPI_Event *event)
{
    LiveThreadManager *thread = getCurrentThreadManager(event->env_id, true);
    if (thread == nullptr || thread->getIgnored())
        return;
    MethodDesc *method = classes->getMethodDesc(event->u.method_entry2.method_id, event->env_id);
    if (method == nullptr)
        return;
    if (heap != nullptr && event->u.method_entry2.obj_id != nullptr) {
        PiHeapAllocItem *item = heap->getHeapAllocItem(event->u.method_entry2.obj_id);
        ClassData *concrete = item != nullptr ? item->getClassData() : nullptr;
        if (concrete != nullptr)
            method = method->getMethodDescForSpecificClassData(concrete, getProfilingSession());
    }
    recordEntry(thread, method);
}

void LiveCpuProfilingSession::handleMethodExit(JVMPI_Event *event)
{
    LiveThreadManager *thread = getCurrentThreadManager(event->env_id, true);
    if (thread == nullptr || thread->getIgnored())
        return;
    // With concrete subclasses the entry's record may be a copy: the exit
    // leaves whatever is current.
    MethodDesc *method = nullptr;
    if (!showSubclassMethods) {
        // The common case: the method on top of the thread's stack ends.
        int top = thread->getMethodStackTop();
        MethodDesc *current = top >= 0 ? thread->getMethodStackEntry(top) : nullptr;
        if (current != nullptr && current->getMethodId() == static_cast<void *>(event->u.method.method_id)) {
            recordExit(thread, current);
            return;
        }
        method = classes->getMethodDesc(event->u.method.method_id, event->env_id);
        if (method == nullptr)
            return;
    } else if (thread->getMethodStackTop() >= 0) {
        method = thread->getMethodStackEntry(thread->getMethodStackTop());
    }
    if (method != nullptr)
        recordExit(thread, method);
}

bool LiveCpuProfilingSession::rereadStaleStack(LiveThreadManager *thread)
{
    {
        SessionLock lock(getProfilingSession(), IM_THREAD);
        if (staleStacks.erase(thread) == 0)
            return false;
        anyStaleStack = !staleStacks.empty();
    }
    thread->restartClock();
    updateCallStack(thread, false);
    thread->chargeElapsed(getVm()->getUsec(), 0);
    return true;
}

void LiveCpuProfilingSession::recordEntry(LiveThreadManager *thread, MethodDesc *method)
{
    // The VM's stack read now may hold the method being entered already.
    if (__builtin_expect(anyStaleStack.load(std::memory_order_relaxed), 0) && rereadStaleStack(thread) &&
        thread->getCurrentNode()->getMethod() == method) {
        if (thread->getInstrumentationRecord())
            thread->getCurrentNode()->addSecondValue(1, false);
        return;
    }
    long long time = thread->methodEntry(method, 0, getOverhead(), true, true);
    if (time != 0 && isTracing())
        traceEntry(thread, method, time, method->getIsFiltered(false, false));
}

void LiveCpuProfilingSession::recordExit(LiveThreadManager *thread, MethodDesc *method)
{
    if (__builtin_expect(anyStaleStack.load(std::memory_order_relaxed), 0))
        rereadStaleStack(thread);
    long long time = thread->methodExit(method, getOverhead(), true);
    if (time != 0 && isTracing())
        traceExit(thread, method, time, method->getIsFiltered(false, false));
}

void LiveCpuProfilingSession::enableCpuEvents(bool subclasses)
{
    showSubclassMethods = subclasses;
    if (eventsOff.exchange(false)) {
        std::vector<LiveThreadManager *> all = getThreadManagers();
        SessionLock lock(getProfilingSession(), IM_THREAD);
        staleStacks.insert(all.begin(), all.end());
        anyStaleStack = !staleStacks.empty();
    }
    JVMPI_Interface *vm = PiProfiling::g_profilingInterface;
    if (vm == nullptr)
        return;
    vm->EnableEvent(subclasses ? JVMPI_EVENT_METHOD_ENTRY2 : JVMPI_EVENT_METHOD_ENTRY, nullptr);
    vm->EnableEvent(JVMPI_EVENT_METHOD_EXIT, nullptr);
}

void LiveCpuProfilingSession::disableCpuEvents()
{
    JVMPI_Interface *vm = PiProfiling::g_profilingInterface;
    if (vm == nullptr)
        return;
    eventsOff = true;
    for (jint type : {JVMPI_EVENT_METHOD_ENTRY, JVMPI_EVENT_METHOD_ENTRY2, JVMPI_EVENT_METHOD_EXIT})
        vm->DisableEvent(type, nullptr);
}

LiveMonitorManager *LiveCpuProfilingSession::getMonitorManager(bool raw, void *monitor)
{
    if (monitor == nullptr)
        return nullptr;
    if (LiveMonitorManager *known = findMonitorManager(raw, monitor))
        return known;
    ClassData *classData = nullptr;
    if (!raw && heap != nullptr) {
        SessionLock lock(getProfilingSession(), IM_HEAP);
        PiHeapAllocItem *item = heap->getHeapAllocItem(static_cast<jobjectID>(monitor));
        classData = item != nullptr ? item->getClassData() : nullptr;
    }
    return CpuProfilingSession::getMonitorManager(raw, monitor, classData);
}

LiveThreadManager *LiveCpuProfilingSession::monitorEventThread(JNIEnv *threadEnv)
{
    if (!isMonitorRecording() && !threadProfiling)
        return nullptr;
    LiveThreadManager *thread = getCurrentThreadManager(threadEnv, true);
    return thread != nullptr && !thread->getIgnored() ? thread : nullptr;
}

void LiveCpuProfilingSession::agentSleep(JNIEnv *env, bool enter)
{
    LiveThreadManager *thread = monitorEventThread(env);
    if (thread == nullptr)
        return;
    if (enter)
        thread->sleepEnter(getVm()->getUsec());
    else
        thread->sleepExit(getVm()->getUsec());
}

void LiveCpuProfilingSession::handleMonitorContendedEnter(bool raw, JNIEnv *, JNIEnv *threadEnv, void *monitor, JNIEnv *owner, bool flag)
{
    LiveThreadManager *thread = monitorEventThread(threadEnv);
    if (thread == nullptr)
        return;
    long long now = getVm()->getUsec();
    LiveMonitorManager *record = nullptr;
    LiveThreadManager *ownerThread = nullptr;
    if (isMonitorRecording() && getBlockThreshold() < 2000000000LL) {
        ownerThread = owner != nullptr ? getThreadManager(owner, false, true) : nullptr;
        record = getMonitorManager(raw, monitor);
    }
    thread->setMonitorContendedEnter(now, record, ownerThread, flag);
}

void LiveCpuProfilingSession::handleMonitorContendedEntered(bool, JNIEnv *, JNIEnv *threadEnv, void *)
{
    LiveThreadManager *thread = monitorEventThread(threadEnv);
    if (thread != nullptr)
        thread->setMonitorContendedEntered(0, getVm()->getUsec());
}

void LiveCpuProfilingSession::handleMonitorWait(JNIEnv *, JNIEnv *threadEnv, void *monitor, bool timed)
{
    LiveThreadManager *thread = monitorEventThread(threadEnv);
    if (thread == nullptr)
        return;
    long long now = getVm()->getUsec();
    LiveMonitorManager *record = nullptr;
    if (isMonitorRecording() && getWaitThreshold() < 2000000000LL)
        record = getMonitorManager(false, monitor);
    thread->setMonitorWait(now, record, timed);
}

void LiveCpuProfilingSession::handleMonitorWaited(JNIEnv *, JNIEnv *threadEnv, void *)
{
    LiveThreadManager *thread = monitorEventThread(threadEnv);
    if (thread != nullptr)
        thread->setMonitorWaited(0, getVm()->getUsec());
}

void LiveCpuProfilingSession::handleObjectMove(JVMPI_Event *event)
{
    changeJavaMonitorKey(event->u.obj_move.obj_id, event->u.obj_move.new_obj_id);
}

void LiveCpuProfilingSession::generateCurrentMonitorEntryData(JNIEnv *, bool onlyToBeRecorded)
{
    setCurrentMonitorEntries(std::vector<MonitorEntry>());
    if (PiProfiling::shuttingDown)
        return;
    onlyToBeRecordedMonitors = onlyToBeRecorded;
    JVMPI_Interface *vm = PiProfiling::g_profilingInterface;
    if (vm != nullptr)
        vm->RequestEvent(JVMPI_EVENT_MONITOR_DUMP, nullptr);
}

long long LiveCpuProfilingSession::collectCurrentMonitorEntries()
{
    dumpTime = getVm()->getUsec();
    generateCurrentMonitorEntryData(nullptr, false);
    return dumpTime;
}

long long LiveCpuProfilingSession::collectRecordedMonitorEntries()
{
    dumpTime = getVm()->getUsec();
    generateCurrentMonitorEntryData(nullptr, true);
    return dumpTime;
}

void LiveCpuProfilingSession::handleMonitorDump(JVMPI_Event *event)
{
    const char *begin = event->u.monitor_dump.begin;
    const char *end = event->u.monitor_dump.end;
    if (begin == nullptr || end == nullptr || end < begin) {
        MessageUtil::debugOut("monitor dump without data ignored\n");
        return;
    }
    long long now = getVm()->getUsec();
    dumpTime = now;
    ByteArrayDataReader reader(begin, static_cast<int>(end - begin));
    std::vector<MonitorEntry> entries;
    auto managerOf = [this](void *id) -> LiveThreadManager * {
        LiveThreadManager *t = id != nullptr ? getThreadManager(static_cast<JNIEnv *>(id), false, true) : nullptr;
        return t != nullptr && !t->getIgnored() ? t : nullptr;
    };
    while (reader.available() > 0 && !reader.getError()) {
        int kind = reader.readByte(0);
        if (kind != JVMPI_MONITOR_JAVA && kind != JVMPI_MONITOR_RAW) {
            MessageUtil::debugOut("monitor dump record of kind %d: the rest is skipped\n", kind);
            break;
        }
        bool raw = kind == JVMPI_MONITOR_RAW;
        if (raw)
            reader.readID(nullptr);
        void *monitorId = reader.readID(nullptr);
        LiveThreadManager *owner = managerOf(reader.readID(nullptr));
        reader.readU4(0);
        if (reader.getError())
            break;
        // The agent's own monitors get no record at all.
        LiveMonitorManager *record = isAgentMonitor(monitorId) ? nullptr : getMonitorManager(raw, monitorId);
        bool recordable = record != nullptr && !record->isMyMonitor();
        for (int pass = 0; pass < 2 && !reader.getError(); pass++) {
            bool blocked = pass == 0;
            uint32_t count = reader.readU4(0);
            for (uint32_t i = 0; i < count && !reader.getError(); i++) {
                LiveThreadManager *waiter = managerOf(reader.readID(nullptr));
                if (reader.getError() || waiter == nullptr || !recordable || (blocked && owner == nullptr))
                    continue;
                long long start = blocked ? waiter->getCurrentMonitorContentionStartTime() : waiter->getCurrentMonitorWaitingStartTime();
                if (onlyToBeRecordedMonitors && waiter->getCurrentMonitorEntry(now, false) == nullptr)
                    continue;
                long long duration = now - start > 0 ? now - start : 0;
                entries.push_back(MonitorEntry(blocked ? MonitorEntry::TYPE_BLOCKED : MonitorEntry::TYPE_WAITING, start, raw,
                                               record->getDisplayId(), record->getClassData(), waiter, waiter->getCurrentNode(),
                                               blocked ? owner : nullptr, blocked ? owner->getCurrentNode() : nullptr, duration));
            }
        }
    }
    if (reader.getError())
        MessageUtil::debugOut("monitor dump cut short: the records read are kept\n");
    setCurrentMonitorEntries(std::move(entries));
}

void LiveCpuProfilingSession::registerThreadStart(JNIEnv *env, const std::string &name)
{
    LiveThreadManager *creator = getCurrentThreadManager(env, true);
    if (creator == nullptr)
        return;
    SessionLock lock(getProfilingSession(), IM_THREAD);
    pendingStarts.add(ThreadStartRecords::Record{new std::string(name), creator, ThreadDesc::pathOf(creator->getCurrentNode())});
}

