#ifndef AGENT_LIVETHREADMANAGER_H
#define AGENT_LIVETHREADMANAGER_H

#include <cstdint>
#include <vector>

#include "ThreadManager.h"

class CpuProfilingSession;
class MethodDesc;

// The recording state of one live thread: the current node of its call
// tree, the stack of entered methods and the clock of its last method event.
// Method entries and exits run on the thread itself without locks; other
// threads read the manager under the thread lock.
class LiveThreadManager : public ThreadManager {
public:
    // Thread status characters.
    static constexpr unsigned char STATUS_RUNNABLE = 63;
    static constexpr unsigned char STATUS_BLOCKED = 64;
    static constexpr unsigned char STATUS_WAITING = 65;
    static constexpr unsigned char STATUS_NET_IO = 66;
    static constexpr unsigned char STATUS_DEAD = 1;

    // `stackSize` slots of method stack (slot 0 stays empty).
    LiveThreadManager(CpuProfilingSession *session, int stackSize);

    // A method begins. Returns the entry time, 0 when nothing was timed.
    long long methodEntry(MethodDesc *method, uint16_t line, long long overhead, bool filtered, bool timed);
    // A method ends; missed exits of inner methods are unwound first. Returns
    // the time of the last event, 0 when refused.
    long long methodExit(MethodDesc *method, long long overhead, bool filtered);
    // An exception handler of `method` runs: the methods above it end.
    void methodExceptionHandler(MethodDesc *method, long long overhead);
    // Charges the time since the last method event to the current node.
    void recordTime(long long now, long long overhead);

    // The next entry starts an exceptional run.
    void enterExceptionalMethod() { exceptionalPending = true; }
    bool isExceptionalPending() const { return exceptionalPending; }
    // Consumes the pending run when `method` is the current node's; true then.
    bool exitExceptionalFrame(MethodDesc *method);

    // Monitor events: a wait (or sleep) or a contention begins and ends.
    void setMonitorWait(long long now);
    void setMonitorWaited(long long now);
    void setMonitorContendedEnter(long long now);
    void setMonitorContendedEntered(long long now);

    void setLineNumberHint(uint16_t line) { lineNumberHint = line; }
    void setInstrumentationRecord(bool on) { instrumentationRecord = on; }
    bool getInstrumentationRecord() const { return instrumentationRecord; }
    unsigned char getThreadStatus() const { return threadStatus; }
    void setThreadStatus(unsigned char status) { threadStatus = status; }
    bool getIsDead() const { return threadStatus == STATUS_DEAD; }
    // The thread has ended: no more recording.
    void setIsDead(long long now);
    // Stops or resumes profiling of the thread; without keepTree the tree starts anew.
    void setIgnored(bool value, bool keepTree);

    // Current node back to the root, empty method stack.
    void reset();
    // Zeroes the tree and the running times.
    void clearCallStackTree();
    // Asks the thread to clear its tree at its next entry.
    void requestClear() { clearRequested = true; }

    CallStackTree *getCurrentNode() const { return currentNode; }
    int getMethodStackTop() const { return methodStackTop; }
    MethodDesc *getMethodStackEntry(int i) const { return methodStack[static_cast<size_t>(i)]; }
    long long getLastEventTime() const { return lastEventTime; }

    // The binding's handle of the Java thread (a global reference); null
    // once the thread has ended.
    void *threadHandle = nullptr;
    // Stack synchronisation with the VM (see CpuProfilingSession).
    bool stackSynchronised = false;
    int retransformMark = -1;
    // Open calibration of the hook overhead: its start, 0 when none.
    long long calibrationStart = 0;

private:
    bool pushMethod(MethodDesc *method, bool filtered);
    bool popMethod(MethodDesc *method);
    void closeOpenMonitorStates(long long now);
    // Charges the time and leaves the current node for its parent.
    long long finishExit(long long now, long long overhead, bool recording);

    CpuProfilingSession *session;
    CallStackTree *currentNode;
    std::vector<MethodDesc *> methodStack;
    int methodStackTop;
    uint16_t lineNumberHint;
    long long lastEventTime;
    long long blockedSinceEvent;
    long long waitingSinceEvent;
    long long netIOSinceEvent;
    long long contentionStart;
    long long waitStart;
    unsigned char threadStatus;
    bool instrumentationRecord;
    bool exceptionalPending;
    bool clearRequested;
    bool waitIsOpen;
};

#endif
