#include "LiveThreadManager.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "ClassData.h"
#include "CopyTreeVisitor.h"
#include "Counter.h"
#include "DataWriter.h"
#include "ThreadRecordingSession.h"
#include "MessageUtil.h"
#include "MethodDesc.h"
#include "MonitorEntry.h"
#include "Recorder.h"
#include "LiveMonitorManager.h"
#include "VmInterface.h"

LiveThreadManager::LiveThreadManager(ThreadRecordingSession *owner, int stackSize)
    : session(owner), settings(&owner->getSettings()), vm(owner->getVm()), counterClock(vm->readsAgentCounter()), currentNode(callTree),
      methodStack(static_cast<size_t>(stackSize < 2 ? 2 : stackSize), nullptr),
      methodStackCapacity(methodStack.size()), pendingTotal(0), cpuShare(owner->getSettings().timeType == 2 ? 0.1 : 1.0),
      methodStackTop(0),
      lineNumberHint(0), lastEventTime(-1), idleSinceEvent(0), contentionStart(0),
      waitStart(0), netIOStart(0), netIODepth(0), overrideStart(0), overrideStatus(STATUS_RUNNABLE), overrideDepth(0),
      currentMonitor(nullptr), currentMonitorEntry(nullptr), monitorEntry(new MonitorEntry()),
      annotationIntervalStart(owner->getVm()->getUsec()), lastMonitorEventTime(owner->getVm()->getUsec()), lastMonitorEventKind(2), monitorFlag(false), sleeping(false),
      threadStatus(STATUS_RUNNABLE), instrumentationRecord(false), exceptionalPending(false), clearRequested(false), waitIsOpen(false)
{
}

LiveThreadManager::~LiveThreadManager()
{
    delete monitorEntry;
}

#define LTM_LIKELY(x) __builtin_expect(!!(x), 1)
#define LTM_UNLIKELY(x) __builtin_expect(!!(x), 0)
// Parts of the method-event path, each called from it only.
#define LTM_INLINE inline __attribute__((always_inline))

LTM_INLINE long long LiveThreadManager::clockNow()
{
    return LTM_LIKELY(counterClock) ? Counter::getUsec() : vm->getUsec();
}

LTM_INLINE void LiveThreadManager::chargeRunnable(long long elapsed)
{
    long long runnable = elapsed - idleSinceEvent;
    if (runnable < 0)
        runnable = 0;
    if (LTM_UNLIKELY(!methodStats.empty()))
        recordStatsTime(STATUS_RUNNABLE, runnable);
    if (LTM_UNLIKELY(settings->timeType == 2)) {
        pendingTimes[currentNode] += runnable;
        pendingTotal += runnable;
    } else {
        // The callers get it when the call ends (or a reader adds it).
        currentNode->addOpenTime(runnable);
    }
    idleSinceEvent = 0;
}

LTM_INLINE void LiveThreadManager::chargeInterval(long long now, long long overhead)
{
    long long elapsed = now - lastEventTime - overhead;
    if (elapsed < 0)
        elapsed = 0;
    // Values are inclusive: the time counts for every caller too.
    if (LTM_LIKELY(overrideStart <= 0 && netIOStart <= 0))
        chargeRunnable(elapsed);
    else
        chargeStatusTime(elapsed, now);
}

LTM_INLINE bool LiveThreadManager::pushMethod(MethodDesc *method, bool filtered)
{
    if (LTM_UNLIKELY(methodStackTop >= static_cast<int>(methodStack.size()) - 1)) {
        MessageUtil::message("FATAL ERROR: Stack overflow. Aborting.");
        MessageUtil::message("Increase the stack size by adding ,stack=value to the -agentpath parameter");
        MessageUtil::message("Current stack size is %d.", static_cast<int>(methodStack.size()));
        vm->endVm(VmEnd::STACK_OVERFLOW);
    }
    methodStack[static_cast<size_t>(++methodStackTop)] = method;
    // Calls inside the agent (unless asked for) and into native-method
    // wrappers are not recorded; a chain of filtered calls is recorded as its
    // first call only.
    if (method->getClassData() != nullptr && method->getClassData()->getIsAgentClass() && !settings->recordAgentClasses)
        return false;
    if (method->getIsNativePrefixMethod())
        return false;
    MethodDesc *caller = currentNode->getMethod();
    if (caller == nullptr)
        return true;
    bool isFiltered = method->getIsFiltered(false, false);
    if (settings->collectionMethod == 1 && isFiltered != filtered)
        return false;
    // The caller's filter is asked only when it can matter.
    if (isFiltered && caller != CallStackTree::unrecordedMethod() && caller->getIsFiltered(false, false))
        return false;
    return true;
}

bool LiveThreadManager::popMethod(MethodDesc *method)
{
    int found = methodStackTop;
    while (found >= 1 && methodStack[static_cast<size_t>(found)] != method)
        found--;
    if (found < 1)
        return false;
    methodStackTop = found - 1;
    return currentNode->getMethod() == method;
}

void LiveThreadManager::closeOpenMonitorStates(long long now)
{
    if (waitStart > 0)
        setMonitorWaited(0, now);
    if (contentionStart > 0)
        setMonitorContendedEntered(0, now);
}

long long LiveThreadManager::methodEntry(MethodDesc *method, uint16_t line, long long overhead, bool filtered, bool timed)
{
    // The hooks look the method up before they come here.
    if (LTM_UNLIKELY(method == nullptr))
        return 0;
    if (LTM_UNLIKELY(methodStack.empty()))
        return 0;
    if (LTM_UNLIKELY(currentNode == nullptr))
        currentNode = callTree;
    bool recording = instrumentationRecord && timed;
    methodEvents = methodEvents || timed;
    // The clock is read only for an entry that is recorded or that ends an
    // open wait or contention: nested filtered calls never read it.
    bool closesMonitorState =
        LTM_UNLIKELY(waitStart > 0 || contentionStart > 0) && !waitIsOpen && settings->collectionMethod != 3 && recording;
    long long now = closesMonitorState ? clockNow() : 0;
    if (closesMonitorState)
        closeOpenMonitorStates(now);
    if (LTM_UNLIKELY(clearRequested))
        clearCallStackTree();
    if (LTM_UNLIKELY(!statisticsRecord && !methodStats.empty()))
        methodStats.clear();

    if (!settings->lineNumbers) {
        line = 0;
    } else if (LTM_UNLIKELY(line == CallStackTree::LINE_PENDING)) {
        MethodDesc *caller = currentNode->getMethod();
        line = caller == nullptr || caller == CallStackTree::unrecordedMethod() || caller->getIsFiltered(false, false) ? 0 : lineNumberHint;
        lineNumberHint = 0;
    }
    if (LTM_UNLIKELY(exceptionalPending) || LTM_UNLIKELY(Recorder::recordsNow() && sortsRecorderRuns(method))) {
        exceptionalPending = false;
        if (settings->timeType != 2)
            line = CallStackTree::LINE_EXCEPTIONAL_RUN;
    }
    if (!pushMethod(method, filtered))
        return 0;
    if (recording && !closesMonitorState)
        now = clockNow();
    if (recording) {
        if (LTM_UNLIKELY(settings->timeType == 2))
            manageCpuTime(session->getNumActiveThreads());
        if (LTM_LIKELY(lastEventTime >= 0))
            chargeInterval(now, overhead);
    }
    CallStackTree *child = currentNode->getChild(method, line);
    currentNode = child != nullptr ? child : currentNode->addChild(method, line, &treePool);
    if (statisticsRecord)
        methodStats.push_back(MethodStats::StackEntry{{0, 0, 0, 0}});
    if (recording && now > 0) {
        currentNode->addSecondValue(1, false);
        lastEventTime = now;
    }
    if (LTM_UNLIKELY(session->isWaitMethod(method))) {
        setMonitorWait(now, nullptr, false);
        waitIsOpen = true;
    }
    return now;
}

bool LiveThreadManager::sortsRecorderRuns(const MethodDesc *method)
{
    // Only probe and class methods get a policy from the recorder.
    const ClassData *owner = method->getClassData();
    return owner != nullptr && owner->isPseudoClass() && Recorder::instance().sortsRuns(method);
}

long long LiveThreadManager::methodExit(MethodDesc *method, long long overhead, bool filtered)
{
    if (LTM_UNLIKELY(methodStack.empty()))
        return 0;
    if (LTM_UNLIKELY(currentNode == nullptr))
        currentNode = callTree;
    bool recording = instrumentationRecord && !sampling;
    waitIsOpen = false;
    // As at entry: exits that change nothing (nested filtered calls) leave
    // the clock alone.
    bool closesMonitorState = LTM_UNLIKELY(waitStart > 0 || contentionStart > 0) && recording;
    long long now = closesMonitorState ? clockNow() : 0;
    if (closesMonitorState)
        closeOpenMonitorStates(now);
    bool readClock = recording && !closesMonitorState;
    int found = methodStackTop;
    bool onTop = found >= 1 && methodStack[static_cast<size_t>(found)] == method;
    if (filtered && recording && !onTop)
        return 0;
    if (LTM_LIKELY(onTop && currentNode->getMethod() == method)) {
        methodStackTop = found - 1;
        return finishExit(readClock ? clockNow() : now, overhead, recording);
    }
    // An exit the VM skipped (an exception passed through) ends before this one.
    while (found >= 1 && methodStack[static_cast<size_t>(found)] != method)
        found--;
    if (found < 1)
        return 0;
    // A filtered call that was never recorded ends here: nothing to time.
    if (found == methodStackTop && currentNode->getMethod() != method) {
        methodStackTop = found - 1;
        return 0;
    }
    if (readClock)
        now = clockNow();
    while (methodStackTop > found) {
        MethodDesc *missed = methodStack[static_cast<size_t>(methodStackTop)];
        if (currentNode->getMethod() == missed && currentNode->getParent() != nullptr) {
            methodExit(missed, overhead, false);
        } else {
            methodStackTop--; // an entry that was never recorded
        }
    }
    if (!popMethod(method))
        return 0;
    return finishExit(now, overhead, recording);
}

LTM_INLINE long long LiveThreadManager::finishExit(long long now, long long overhead, bool recording)
{
    if (recording) {
        if (LTM_LIKELY(lastEventTime >= 0))
            chargeInterval(now, overhead);
        lastEventTime = now;
    }
    CallStackTree *node = currentNode;
    if (LTM_UNLIKELY(!methodStats.empty()) && node->getMethod() != nullptr && node->getMethod() != CallStackTree::unrecordedMethod()) {
        session->recordMethodStatistics(node->getMethod(), methodStats.back());
        methodStats.pop_back();
    }
    CallStackTree *parent = node->getParent();
    if (LTM_UNLIKELY(parent == nullptr))
        return lastEventTime;
    node->foldOpenTime();
    currentNode = parent;
    if (LTM_UNLIKELY(node->getLineHint() == CallStackTree::LINE_EXCEPTIONAL_RUN))
        session->endExceptionalRun(this, node);
    return lastEventTime;
}

void LiveThreadManager::methodExceptionHandler(MethodDesc *method, long long overhead)
{
    // A handler of a method that is not on the stack (a constructor called
    // from code without hooks) says nothing about the methods that are.
    int handling = methodStackTop;
    while (handling >= 1 && methodStack[static_cast<size_t>(handling)] != method)
        handling--;
    if (handling < 1)
        return;
    while (methodStackTop > handling) {
        MethodDesc *above = methodStack[static_cast<size_t>(methodStackTop)];
        int before = methodStackTop;
        methodExit(above, overhead, true);
        if (methodStackTop == before)
            methodStackTop--; // never recorded: drop it from the stack
    }
}

void LiveThreadManager::chargeElapsed(long long now, long long overhead)
{
    if (!instrumentationRecord || now <= 0)
        return;
    if (lastEventTime >= 0)
        recordTime(now, overhead);
    lastEventTime = now;
}

void LiveThreadManager::recordTime(long long now, long long overhead)
{
    chargeInterval(now, overhead);
}

void LiveThreadManager::chargeStatusTime(long long elapsed, long long now)
{
    if (overrideStart > 0) {
        recordStatsTime(overrideStatus, elapsed);
        switch (overrideStatus) {
        case STATUS_RUNNABLE:
            currentNode->addOpenTime(elapsed);
            break;
        case STATUS_BLOCKED:
            currentNode->addBlockingTime(elapsed, 0);
            break;
        case STATUS_WAITING:
            currentNode->addSleepingTime(elapsed, 0);
            break;
        case STATUS_NET_IO:
            currentNode->addNetIOTime(elapsed, 0);
            break;
        default:
            break;
        }
        overrideStart = now;
    } else {
        recordStatsTime(STATUS_NET_IO, elapsed);
        currentNode->addNetIOTime(elapsed, 0);
        netIOStart = now;
    }
    idleSinceEvent = 0;
}

void LiveThreadManager::recordStatsTime(int status, long long time)
{
    if (methodStats.empty() || time < 0)
        return;
    int column;
    switch (status) {
    case STATUS_RUNNABLE:
        column = 0;
        break;
    case STATUS_WAITING:
        column = 1;
        break;
    case STATUS_BLOCKED:
        column = 2;
        break;
    case STATUS_NET_IO:
        column = 3;
        break;
    default:
        return;
    }
    // The time counts for every invocation still open on the thread.
    for (MethodStats::StackEntry &open : methodStats)
        open.times[column] += static_cast<uint32_t>(time);
}

void LiveThreadManager::manageCpuTime(int activeThreads)
{
    cpuShare = 1.0 / (activeThreads > 0 ? activeThreads : 1);
    for (const auto &pending : pendingTimes)
        pending.first->addValue(static_cast<long long>(static_cast<double>(pending.second) * cpuShare), true);
    pendingTimes.clear();
    pendingTotal = 0;
}

bool LiveThreadManager::exitExceptionalFrame(MethodDesc *method)
{
    if (currentNode->getMethod() != method)
        return false;
    exceptionalPending = false;
    return true;
}

void LiveThreadManager::setMonitorWait(long long time, LiveMonitorManager *monitor, bool flag)
{
    lastMonitorEventTime = time;
    lastMonitorEventKind = 2;
    if (monitor != nullptr) {
        monitorFlag = flag;
        waitStart = time;
        currentMonitor = monitor;
        if (hasDescription())
            beginMonitorEvent(monitor->handleMonitorWait(monitorEntry, this, currentNode, time));
    } else if (waitStart <= 0) {
        waitStart = time > 0 ? time : vm->getUsec();
        currentMonitor = nullptr;
    }
    if (threadStatus != STATUS_DEAD)
        threadStatus = STATUS_WAITING;
}

void LiveThreadManager::setMonitorContendedEnter(long long time, LiveMonitorManager *monitor, LiveThreadManager *owner, bool flag)
{
    lastMonitorEventTime = time;
    lastMonitorEventKind = 1;
    if (monitor != nullptr) {
        monitorFlag = flag;
        contentionStart = time;
        currentMonitor = monitor;
        if (hasDescription())
            beginMonitorEvent(monitor->handleMonitorContendedEnter(monitorEntry, this, currentNode, time, owner,
                                                                   owner != nullptr ? owner->getCurrentNode() : nullptr));
    } else if (contentionStart <= 0) {
        // A contention already in progress keeps its start.
        contentionStart = time;
        currentMonitor = nullptr;
    }
    if (threadStatus != STATUS_DEAD)
        threadStatus = STATUS_BLOCKED;
}

void LiveThreadManager::addStateTime(unsigned char status, long long time)
{
    switch (status) {
    case STATUS_BLOCKED:
        idleSinceEvent += time;
        annotationInterval[0] += time;
        monitorUsageStats.addBlockingEvent(time, 1);
        if (instrumentationRecord && currentNode != nullptr) {
            recordStatsTime(STATUS_BLOCKED, time);
            currentNode->addBlockingTime(time, 1);
        }
        break;
    case STATUS_WAITING:
        idleSinceEvent += time;
        annotationInterval[1] += time;
        monitorUsageStats.addWaitingEvent(time, 1);
        if (instrumentationRecord && currentNode != nullptr) {
            recordStatsTime(STATUS_WAITING, time);
            currentNode->addSleepingTime(time, 1);
        }
        break;
    case STATUS_NET_IO:
        idleSinceEvent += time;
        annotationInterval[2] += time;
        monitorUsageStats.addNetIOEvent(time, 1);
        if (instrumentationRecord && currentNode != nullptr) {
            recordStatsTime(STATUS_NET_IO, time);
            currentNode->addNetIOTime(time, 1);
        }
        break;
    default:
        break;
    }
}

void LiveThreadManager::setMonitorWaited(long long overhead, long long now)
{
    if (waitStart > 0) {
        if (now <= 0)
            now = vm->getUsec();
        long long start = waitStart;
        waitStart = 0;
        contentionStart = 0;
        if (currentMonitor != nullptr)
            endMonitorEvent(now, false);
        currentMonitor = nullptr;
        long long t = now - start - overhead / 2;
        if (t < 0)
            t = 0;
        // Time inside a net I/O call or an override is theirs.
        if (netIOStart <= 0 && overrideStart <= 0)
            addStateTime(STATUS_WAITING, t);
    }
    if (threadStatus != STATUS_DEAD)
        threadStatus = STATUS_RUNNABLE;
}

void LiveThreadManager::setMonitorContendedEntered(long long overhead, long long now)
{
    if (contentionStart > 0) {
        if (now <= 0)
            now = vm->getUsec();
        long long start = contentionStart;
        contentionStart = 0;
        waitStart = 0;
        if (currentMonitor != nullptr)
            endMonitorEvent(now, true);
        currentMonitor = nullptr;
        long long t = now - start - overhead / 2;
        if (t < 0)
            t = 0;
        if (netIOStart <= 0 && overrideStart <= 0)
            addStateTime(STATUS_BLOCKED, t);
    }
    if (threadStatus != STATUS_DEAD)
        threadStatus = STATUS_RUNNABLE;
}

void LiveThreadManager::sleepEnter(long long now)
{
    sleeping = true;
    if (waitStart <= 0)
        setMonitorWait(now, nullptr, false);
}

void LiveThreadManager::sleepExit(long long now)
{
    sleeping = false;
    setMonitorWaited(0, now);
}

void LiveThreadManager::beginMonitorEvent(bool recorded)
{
    if (recorded)
        currentMonitorEntry = monitorEntry;
}

void LiveThreadManager::endMonitorEvent(long long now, bool blocked)
{
    if (currentMonitor->isMyMonitor())
        return;
    MonitorEntry *entry = getCurrentMonitorEntry(now, false);
    if (entry == nullptr)
        return;
    currentMonitor->endEvent(entry, now, blocked);
    currentMonitorEntry = nullptr;
}

MonitorEntry *LiveThreadManager::getCurrentMonitorEntry(long long now, bool update)
{
    if (currentMonitor == nullptr || currentMonitor->isMyMonitor() || currentMonitorEntry == nullptr)
        return nullptr;
    if (update)
        currentMonitorEntry->updateCurrentTime(now);
    return currentMonitorEntry;
}

long long LiveThreadManager::getCurrentMonitorContentionDuration(long long now, long long overhead) const
{
    return contentionStart <= 0 ? 0 : now - contentionStart - overhead / 2;
}

long long LiveThreadManager::getCurrentMonitorWaitingDuration(long long now, long long overhead) const
{
    return waitStart <= 0 ? 0 : now - waitStart - overhead / 2;
}

void LiveThreadManager::resetMonitorManager()
{
    waitStart = 0;
    contentionStart = 0;
    currentMonitor = nullptr;
    currentMonitorEntry = nullptr;
    waitIsOpen = false;
}

void LiveThreadManager::setNetIO(bool enter, long long now)
{
    if (enter) {
        if (netIODepth++ == 0)
            netIOStart = now;
        return;
    }
    if (netIODepth == 0)
        return;
    if (--netIODepth > 0)
        return;
    if (netIOStart > 0 && overrideStart <= 0) {
        long long t = now - netIOStart;
        addStateTime(STATUS_NET_IO, t < 0 ? 0 : t);
    }
    netIOStart = 0;
}

void LiveThreadManager::clearNetIO()
{
    netIODepth = 0;
    netIOStart = 0;
}

void LiveThreadManager::setOverrideThreadStatus(int kind, long long now)
{
    if (overrideDepth++ > 0)
        return;
    overrideStart = now;
    switch (kind) {
    case 1:
        overrideStatus = STATUS_RUNNABLE;
        break;
    case 2:
        overrideStatus = STATUS_WAITING;
        break;
    case 3:
        overrideStatus = STATUS_BLOCKED;
        break;
    case 5:
        overrideStatus = STATUS_NET_IO;
        break;
    default:
        break; // other kinds keep the last status
    }
}

void LiveThreadManager::resetOverrideThreadStatus(long long now)
{
    if (overrideDepth == 0)
        return;
    if (--overrideDepth > 0)
        return;
    if (overrideStart > 0) {
        long long t = now - overrideStart;
        addStateTime(overrideStatus, t < 0 ? 0 : t);
    }
    overrideStart = 0;
}

unsigned char LiveThreadManager::getDisplayThreadStatus() const
{
    if (overrideStart > 0)
        return overrideStatus;
    if (netIOStart > 0)
        return STATUS_NET_IO;
    if (contentionStart > 0)
        return STATUS_BLOCKED;
    return threadStatus;
}

void LiveThreadManager::setThreadStatus(unsigned char status, long long time, bool record, bool ibmVm)
{
    if (overrideStart > 0 || (!ibmVm && !sleeping))
        threadStatus = status;
    if (!record || threadDesc == nullptr)
        return;
    unsigned char shown = status;
    if (overrideStart > 0)
        shown = overrideStatus;
    else if (netIOStart > 0)
        shown = STATUS_NET_IO;
    else if (contentionStart > 0)
        shown = STATUS_BLOCKED;
    threadDesc->addThreadStatus(shown, time);
}

void LiveThreadManager::settleOpenTimes()
{
    for (CallStackTree *n = currentNode; n != nullptr; n = n->getParent())
        n->foldOpenTime();
}

OpenTimeMap LiveThreadManager::openTimes(long long now) const
{
    OpenTimeMap open;
    bool running = now > 0 && !getIsDead() && !getIgnored() && instrumentationRecord && callTree != nullptr;
    long long below = running ? runnableTimeUntil(now) : 0;
    for (const CallStackTree *n = currentNode; n != nullptr; n = n->getParent()) {
        below += n->getOpenTime();
        if (below != 0)
            open[n] = below;
    }
    return open;
}

void LiveThreadManager::setIsDead(long long now)
{
    settleOpenTimes();
    threadStatus = STATUS_DEAD;
    setEndTime(now);
    methodStats.clear();
    methodStack.clear();
    methodStackTop = 0;
}

long long LiveThreadManager::storeTrees(FileDataWriter *writer)
{
    pendingTimes.clear();
    pendingTotal = 0;
    settleOpenTimes();
    long long position = store(writer);
    if (callTree == nullptr)
        currentNode = nullptr;
    return position;
}

void LiveThreadManager::setIgnored(bool value, bool keepTree)
{
    settleOpenTimes();
    setIgnoredFlag(value);
    methodStats.clear();
    // An ignored thread needs no method stack; one profiled again does.
    size_t capacity = methodStack.empty() ? methodStackCapacity : methodStack.size();
    methodStack.clear();
    methodStack.shrink_to_fit();
    if (!value && !getIsDead())
        methodStack.assign(capacity, nullptr);
    methodStackTop = 0;
    if (!keepTree) {
        pendingTimes.clear();
        pendingTotal = 0;
        replaceCallTree();
        storeOffset = -1;
    }
    currentNode = callTree;
}

void LiveThreadManager::setAgentMainThread()
{
    agentMainThread = true;
    // The sampler bounds a main thread's stacks itself.
    if (settings->collectionMethod == 3 || methodStack.empty())
        return;
    MethodDesc *main = nullptr;
    for (int i = 1; i <= methodStackTop && main == nullptr; i++) {
        MethodDesc *m = methodStack[static_cast<size_t>(i)];
        if (m != nullptr && strcmp(m->getMethodName(), "main") == 0)
            main = m;
    }
    if (main == nullptr)
        return;
    pendingTimes.clear();
    pendingTotal = 0;
    replaceCallTree();
    storeOffset = -1;
    currentNode = callTree->addChild(main, 0, &treePool);
    // main was entered once; the tree that counted it is gone.
    if (instrumentationRecord)
        currentNode->addSecondValue(1, false);
}

void LiveThreadManager::reset()
{
    if (callTree == nullptr)
        replaceCallTree();
    else
        settleOpenTimes();
    currentNode = callTree;
    methodStackTop = 0;
    exceptionalPending = false;
    // The open invocations are forgotten with the stack.
    methodStats.clear();
}

void LiveThreadManager::clearCallStackTree()
{
    if (callTree == nullptr) {
        // The trees lie in the dead-thread store: start empty instead.
        replaceCallTree();
        storeOffset = -1;
        currentNode = callTree;
    }
    callTree->clearAll();
    pendingTimes.clear();
    pendingTotal = 0;
    lastCpuTime = -1;
    idleSinceEvent = 0;
    contentionStart = waitStart = 0;
    lastEventTime = -1;
    cleared = false;
    clearRequested = false;
    lineNumberHint = 0;
    exceptionalPending = false;
}

void LiveThreadManager::write(DataWriter *writer, InstancePool<CallStackTree> *pool, long long vmStart, long long now)
{
    static const int TREE_FLAGS = 126;
    writer->writeID(this);
    writeDescription(writer, false, vmStart);
    CallStackTree *tree = getCallStackTree(false);
    OpenTimeMap open;
    if (pool != nullptr && callTree != nullptr)
        open = openTimes();
    bool running = pool != nullptr && !getIsDead() && !getIgnored() && instrumentationRecord && callTree != nullptr;
    if (running || !open.empty()) {
        CopyTreeVisitor copier;
        copier.initialize(pool, currentNode);
        copier.setOpenTimes(&open);
        callTree->depthFirstTraversal(&copier);
        CallStackTree *copy = copier.getCopy();
        CallStackTree *marked = copier.getMarkedCopy();
        if (running && marked != nullptr)
            addCurrentTime(marked, now);
        copy->write(writer, TREE_FLAGS);
        copy->freeAll(pool);
    } else {
        tree->write(writer, TREE_FLAGS);
    }
    writer->writeByte(0);
    writer->writeByte(cleared ? 1 : 0);
    writer->writeByte(getIgnored() ? 1 : 0);
    writer->writeJLong(lastCpuTime);
    monitorUsageStats.write(writer);
    writeStackTraces(writer, false);
}

void LiveThreadManager::addCurrentTime(CallStackTree *node, long long now)
{
    // A call still running counts up to now: its open wait, contention or
    // net I/O call, or else the runnable time since the last method event.
    if (netIOStart > 0 && now > netIOStart) {
        node->addNetIOTime(now - netIOStart, 0);
    } else if (waitStart > 0 && now > waitStart) {
        node->addSleepingTime(now - waitStart, 0);
    } else if (contentionStart > 0 && now > contentionStart) {
        node->addBlockingTime(now - contentionStart, 0);
    } else if (long long runnable = runnableTimeUntil(now)) {
        node->addValue(runnable, true);
    }
}

long long LiveThreadManager::runnableTimeUntil(long long now) const
{
    if ((netIOStart > 0 && now > netIOStart) || (waitStart > 0 && now > waitStart) || (contentionStart > 0 && now > contentionStart))
        return 0;
    if (settings->timeType == 2 || lastEventTime < 0)
        return 0;
    long long runnable = now - lastEventTime - idleSinceEvent;
    return runnable > 0 ? runnable : 0;
}

void LiveThreadManager::sampleTime(long long interval, bool sleeping)
{
    if (!instrumentationRecord || interval <= 0 || currentNode == nullptr)
        return;
    switch (sleeping ? STATUS_WAITING : getDisplayThreadStatus()) {
    case STATUS_WAITING:
        currentNode->addSleepingTime(interval, 0);
        break;
    case STATUS_BLOCKED:
        currentNode->addBlockingTime(interval, 0);
        break;
    case STATUS_NET_IO:
        currentNode->addNetIOTime(interval, 0);
        break;
    default:
        currentNode->addValue(interval, true);
        break;
    }
}

void LiveThreadManager::sampledExit(MethodDesc *method)
{
    // Sampled trees get their time from the sampler, not from exits.
    sampling = true;
    methodExit(method, 0, false);
    sampling = false;
}

long long LiveThreadManager::enterProbe(MethodDesc *probe)
{
    long long now = methodEntry(probe, 0, 0, false, true);
    probeDepth++;
    return now;
}

long long LiveThreadManager::nextAnnotationId()
{
    static std::atomic<long long> last(0);
    return ++last;
}

long long LiveThreadManager::probeCallSiteId()
{
    for (CallStackTree *n = currentNode; n != nullptr && n->getParent() != nullptr; n = n->getParent()) {
        MethodDesc *m = n->getMethod();
        if (m == nullptr || m->getIsFilteredFlag())
            continue;
        if (m->getClassData() != nullptr && m->getClassData()->getComponentType() == ClassData::COMPONENT_ANNOTATION)
            continue;
        if (n->getAnnotationId() <= 0)
            n->setAnnotationId(nextAnnotationId());
        return n->getAnnotationId();
    }
    return 0;
}

long long LiveThreadManager::currentCallSite(MethodDesc **method)
{
    *method = nullptr;
    if (currentNode == nullptr || currentNode->getParent() == nullptr)
        return 0;
    *method = currentNode->getMethod();
    for (CallStackTree *n = currentNode; n != nullptr && n->getParent() != nullptr; n = n->getParent()) {
        MethodDesc *m = n->getMethod();
        if (m != nullptr && !m->getIsFilteredFlag()) {
            *method = m;
            break;
        }
    }
    if (currentNode->getAnnotationId() <= 0)
        currentNode->setAnnotationId(nextAnnotationId());
    return currentNode->getAnnotationId();
}

bool LiveThreadManager::exitProbe(MethodDesc *probe)
{
    if (probeDepth <= 0)
        return false;
    probeDepth--;
    methodExit(probe, 0, false);
    return true;
}

void LiveThreadManager::fillAnnotationTotals(long long now, long long totals[4])
{
    long long elapsed = now - annotationIntervalStart;
    long long runnable = elapsed - annotationInterval[0] - annotationInterval[1] - annotationInterval[2];
    annotationTotals[0] += runnable < 0 ? 0 : runnable;
    for (int i = 0; i < 3; i++) {
        annotationTotals[i + 1] += annotationInterval[i];
        annotationInterval[i] = 0;
    }
    annotationIntervalStart = now;
    for (int i = 0; i < 4; i++)
        totals[i] = annotationTotals[i];
}
