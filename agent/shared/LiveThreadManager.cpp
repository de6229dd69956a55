#include "LiveThreadManager.h"

#include <cstdlib>

#include "ClassData.h"
#include "CpuProfilingSession.h"
#include "MessageUtil.h"
#include "MethodDesc.h"
#include "VmInterface.h"

LiveThreadManager::LiveThreadManager(CpuProfilingSession *owner, int stackSize)
    : session(owner), currentNode(callTree), methodStack(static_cast<size_t>(stackSize < 2 ? 2 : stackSize), nullptr), methodStackTop(0),
      lineNumberHint(0), lastEventTime(-1), blockedSinceEvent(0), waitingSinceEvent(0), netIOSinceEvent(0), contentionStart(0),
      waitStart(0), threadStatus(STATUS_RUNNABLE), instrumentationRecord(false), exceptionalPending(false), clearRequested(false),
      waitIsOpen(false)
{
}

bool LiveThreadManager::pushMethod(MethodDesc *method, bool filtered)
{
    if (methodStackTop >= static_cast<int>(methodStack.size()) - 1) {
        MessageUtil::message("FATAL ERROR: Stack overflow. Aborting.");
        MessageUtil::message("Increase the stack size by adding ,stack=value to the -agentpath parameter");
        MessageUtil::message("Current stack size is %d.", static_cast<int>(methodStack.size()));
        abort();
    }
    methodStack[static_cast<size_t>(++methodStackTop)] = method;
    // Calls inside the agent and into native-method wrappers are not recorded;
    // a chain of filtered calls is recorded as its first call only.
    if (method->getClassData() != nullptr && method->getClassData()->getIsAgentClass())
        return false;
    if (method->getIsNativePrefixMethod())
        return false;
    MethodDesc *caller = currentNode->getMethod();
    bool isFiltered = method->getIsFiltered(false, false);
    if (caller != nullptr && session->getSettings().collectionMethod == 1 && isFiltered != filtered)
        return false;
    if (caller != nullptr && caller != CallStackTree::unrecordedMethod() && caller->getIsFiltered(false, false) && isFiltered)
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
        setMonitorWaited(now);
    if (contentionStart > 0)
        setMonitorContendedEntered(now);
}

long long LiveThreadManager::methodEntry(MethodDesc *method, uint16_t line, long long overhead, bool filtered, bool timed)
{
    if (method == nullptr) {
        MessageUtil::message("Assertion failed: methodDesc");
        abort();
    }
    if (methodStack.empty())
        return 0;
    if (currentNode == nullptr)
        currentNode = callTree;
    const CpuProfilingSession::Settings &settings = session->getSettings();
    bool recording = instrumentationRecord && timed;
    long long now = recording ? session->getVm()->getUsec() : 0;
    if (!waitIsOpen && settings.collectionMethod != 3 && recording)
        closeOpenMonitorStates(now);
    if (clearRequested)
        clearCallStackTree();

    if (!settings.lineNumbers) {
        line = 0;
    } else if (line == CallStackTree::LINE_PENDING) {
        MethodDesc *caller = currentNode->getMethod();
        line = caller == nullptr || caller == CallStackTree::unrecordedMethod() || caller->getIsFiltered(false, false) ? 0 : lineNumberHint;
        lineNumberHint = 0;
    }
    if (exceptionalPending) {
        exceptionalPending = false;
        if (settings.timeType != 2)
            line = CallStackTree::LINE_EXCEPTIONAL_RUN;
    }
    if (!pushMethod(method, filtered))
        return 0;
    if (recording && lastEventTime >= 0)
        recordTime(now, overhead);
    CallStackTree *child = currentNode->getChild(method, line);
    currentNode = child != nullptr ? child : currentNode->addChild(method, line, &treePool);
    if (recording && now > 0) {
        currentNode->addSecondValue(1, false);
        lastEventTime = now;
    }
    if (session->isWaitMethod(method)) {
        setMonitorWait(now);
        waitIsOpen = true;
    }
    return now;
}

long long LiveThreadManager::methodExit(MethodDesc *method, long long overhead, bool filtered)
{
    if (methodStack.empty())
        return 0;
    if (currentNode == nullptr)
        currentNode = callTree;
    bool recording = instrumentationRecord;
    long long now = recording ? session->getVm()->getUsec() : 0;
    waitIsOpen = false;
    if (recording)
        closeOpenMonitorStates(now);
    if (filtered && recording && (methodStackTop < 1 || methodStack[static_cast<size_t>(methodStackTop)] != method))
        return 0;
    // An exit the VM skipped (an exception passed through) ends before this one.
    int found = methodStackTop;
    if (found >= 1 && methodStack[static_cast<size_t>(found)] == method && currentNode->getMethod() == method) {
        methodStackTop = found - 1;
        return finishExit(now, overhead, recording);
    }
    while (found >= 1 && methodStack[static_cast<size_t>(found)] != method)
        found--;
    if (found < 1)
        return 0;
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

long long LiveThreadManager::finishExit(long long now, long long overhead, bool recording)
{
    if (recording) {
        if (lastEventTime >= 0)
            recordTime(now, overhead);
        lastEventTime = now;
    }
    CallStackTree *node = currentNode;
    if (node->getParent() == nullptr)
        return lastEventTime;
    currentNode = node->getParent();
    if (node->getLineHint() == CallStackTree::LINE_EXCEPTIONAL_RUN)
        session->endExceptionalRun(this, node);
    return lastEventTime;
}

void LiveThreadManager::methodExceptionHandler(MethodDesc *method, long long overhead)
{
    while (methodStackTop >= 1 && methodStack[static_cast<size_t>(methodStackTop)] != method) {
        MethodDesc *above = methodStack[static_cast<size_t>(methodStackTop)];
        int before = methodStackTop;
        methodExit(above, overhead, true);
        if (methodStackTop == before)
            methodStackTop--; // never recorded: drop it from the stack
    }
}

void LiveThreadManager::recordTime(long long now, long long overhead)
{
    long long elapsed = now - lastEventTime - overhead;
    if (elapsed < 0)
        elapsed = 0;
    long long runnable = elapsed - blockedSinceEvent - waitingSinceEvent - netIOSinceEvent;
    if (runnable < 0)
        runnable = 0;
    // Values are inclusive: the time counts for every caller too.
    currentNode->addValue(runnable, true);
    blockedSinceEvent = waitingSinceEvent = netIOSinceEvent = 0;
}

bool LiveThreadManager::exitExceptionalFrame(MethodDesc *method)
{
    if (currentNode->getMethod() != method)
        return false;
    exceptionalPending = false;
    return true;
}

void LiveThreadManager::setMonitorWait(long long now)
{
    waitStart = now > 0 ? now : session->getVm()->getUsec();
    if (threadStatus != STATUS_DEAD)
        threadStatus = STATUS_WAITING;
}

void LiveThreadManager::setMonitorWaited(long long now)
{
    if (waitStart > 0) {
        long long t = now - waitStart;
        if (t < 0)
            t = 0;
        waitingSinceEvent += t;
        monitorUsageStats.addWaitingEvent(t, 1);
        if (instrumentationRecord)
            currentNode->addSleepingTime(t, 1);
    }
    waitStart = 0;
    if (threadStatus != STATUS_DEAD)
        threadStatus = STATUS_RUNNABLE;
}

void LiveThreadManager::setMonitorContendedEnter(long long now)
{
    // A contention already in progress keeps its start.
    if (contentionStart <= 0)
        contentionStart = now;
    if (threadStatus != STATUS_DEAD)
        threadStatus = STATUS_BLOCKED;
}

void LiveThreadManager::setMonitorContendedEntered(long long now)
{
    if (contentionStart > 0) {
        long long t = now - contentionStart;
        if (t < 0)
            t = 0;
        blockedSinceEvent += t;
        monitorUsageStats.addBlockingEvent(t, 1);
        if (instrumentationRecord)
            currentNode->addBlockingTime(t, 1);
    }
    contentionStart = 0;
    if (threadStatus != STATUS_DEAD)
        threadStatus = STATUS_RUNNABLE;
}

void LiveThreadManager::setIsDead(long long now)
{
    threadStatus = STATUS_DEAD;
    setEndTime(now);
    methodStack.clear();
    methodStackTop = 0;
}

void LiveThreadManager::setIgnored(bool value, bool keepTree)
{
    setIgnoredFlag(value);
    methodStack.clear();
    methodStackTop = 0;
    if (!keepTree)
        replaceCallTree();
    currentNode = callTree;
}

void LiveThreadManager::reset()
{
    currentNode = callTree;
    methodStackTop = 0;
    exceptionalPending = false;
}

void LiveThreadManager::clearCallStackTree()
{
    callTree->clearAll();
    lastCpuTime = -1;
    blockedSinceEvent = waitingSinceEvent = netIOSinceEvent = 0;
    contentionStart = waitStart = 0;
    lastEventTime = -1;
    cleared = false;
    clearRequested = false;
    lineNumberHint = 0;
    exceptionalPending = false;
}
