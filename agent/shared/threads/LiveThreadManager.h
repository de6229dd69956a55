#ifndef AGENT_LIVETHREADMANAGER_H
#define AGENT_LIVETHREADMANAGER_H

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "MethodStats.h"
#include "ThreadManager.h"

class LiveMonitorManager;
class ThreadRecordingSession;
class MonitorEntry;
class MethodDesc;
class VmInterface;
struct CpuSettings;

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
    LiveThreadManager(ThreadRecordingSession *session, int stackSize);
    ~LiveThreadManager() override;

    // A method begins. Returns the entry time, 0 when nothing was timed.
    long long methodEntry(MethodDesc *method, uint16_t line, long long overhead, bool filtered, bool timed);
    // A method ends; missed exits of inner methods are unwound first. Returns
    // the time of the last event, 0 when refused.
    long long methodExit(MethodDesc *method, long long overhead, bool filtered);
    // An exception handler of `method` runs: the methods above it end.
    // Nothing changes when `method` is not on the stack.
    void methodExceptionHandler(MethodDesc *method, long long overhead);
    // A method event whose node is not known yet (the stack is about to be
    // read again): the time since the last event goes to the current node
    // and the next interval starts at `now`. Nothing while not recording.
    void chargeElapsed(long long now, long long overhead);
    // The next recorded event starts the thread's clock afresh.
    void restartClock() { lastEventTime = -1; }
    // Charges the time since the last method event to the current node
    // (with thread CPU time as pending runnable time, see manageCpuTime).
    void recordTime(long long now, long long overhead);
    // Probes: a probe's pseudo method entered on the current node (timed),
    // counted so that only an exit after an entry leaves it.
    long long enterProbe(MethodDesc *probe);
    // False, and nothing changes, without an open probe on this thread.
    bool exitProbe(MethodDesc *probe);
    int getProbeDepth() const { return probeDepth; }
    // The annotation id of the node a probe payload belongs to: the nearest
    // node, from the current one upwards, whose method is recorded
    // (unfiltered) and not a probe; the node gets a fresh id when it has
    // none. 0 when there is no such node. Calling thread only.
    long long probeCallSiteId();
    // The call site of a probe payload at the current node: the node's
    // annotation id (a fresh one when it has none; 0 at the root) and the
    // method of the nearest node towards the root that is not filtered (the
    // current node's when all are; null at the root). Calling thread only.
    long long currentCallSite(MethodDesc **method);
    // The thread's running totals for a probe payload, in microseconds:
    // runnable, blocked, waiting and net I/O time since the thread began.
    // The interval since the last call is first added to them (its runnable
    // part is what the other three leave of it); the interval then restarts
    // at `now`. Calling thread only.
    void fillAnnotationTotals(long long now, long long totals[4]);
    // The next id of the process-wide annotation counter (starts at 1).
    static long long nextAnnotationId();
    // The sampler left `method`: as methodExit, without time.
    void sampledExit(MethodDesc *method);
    // Timed method events arrived from the thread's own hooks: its tree is
    // recorded by them, and the sampler leaves it alone.
    bool receivesMethodEvents() const { return methodEvents; }
    // A sample of the thread's stack covered `interval` microseconds: they go
    // to the current node as the thread's status counts them (waiting while
    // `sleeping`). Nothing while not recording or for a negative interval.
    void sampleTime(long long interval, bool sleeping);
    // Thread CPU time: the pending runnable time goes to its nodes, scaled by
    // the share one thread had of the CPU (1 / active threads, 1 when none).
    void manageCpuTime(int activeThreads);
    long long getPendingTotal() const { return pendingTotal; }

    // The next entry starts an exceptional run.
    void enterExceptionalMethod() { exceptionalPending = true; }
    bool isExceptionalPending() const { return exceptionalPending; }
    // Consumes the pending run when `method` is the current node's; true then.
    bool exitExceptionalFrame(MethodDesc *method);

    // Monitor events. A contention or a wait begins at `time`; with a
    // monitor record the thread's own entry describes it. Without a monitor
    // a contention already in progress keeps its start.
    void setMonitorContendedEnter(long long time, LiveMonitorManager *monitor, LiveThreadManager *owner, bool flag);
    void setMonitorWait(long long time, LiveMonitorManager *monitor, bool flag);
    // The open contention or wait ends at `now` (0: the clock's now); half
    // of `overhead` is not counted.
    void setMonitorContendedEntered(long long overhead, long long now);
    void setMonitorWaited(long long overhead, long long now);
    // Thread.sleep and parking: a wait without monitor.
    void sleepEnter(long long now);
    void sleepExit(long long now);
    // The open event's entry (null: none, or one of the agent's monitors),
    // its duration brought up to `now` when `update`.
    MonitorEntry *getCurrentMonitorEntry(long long now, bool update);
    void setCurrentMonitorEntry(MonitorEntry *entry) { currentMonitorEntry = entry; }
    MonitorEntry *getOwnMonitorEntry() { return monitorEntry; }
    LiveMonitorManager *getCurrentMonitor() const { return currentMonitor; }
    long long getCurrentMonitorContentionStartTime() const { return contentionStart; }
    long long getCurrentMonitorWaitingStartTime() const { return waitStart; }
    // How long the open contention (wait) has lasted; 0 when none is open.
    long long getCurrentMonitorContentionDuration(long long now, long long overhead) const;
    long long getCurrentMonitorWaitingDuration(long long now, long long overhead) const;
    void resetMonitorManager();

    // Network I/O calls, nested; time inside the outermost one is net I/O.
    void setNetIO(bool enter, long long now);
    void clearNetIO();
    bool isNetIO() const { return netIOStart > 0; }
    // The Java side forces a status (kind 1 runnable, 2 waiting, 3 blocked,
    // 5 net I/O) until the matching reset; nested calls count.
    void setOverrideThreadStatus(int kind, long long now);
    void resetOverrideThreadStatus(long long now);
    bool isOverrideActive() const { return overrideStart > 0; }
    unsigned char getOverrideStatus() const { return overrideStatus; }
    // The status shown: the override, else net I/O, else blocked while a
    // contention is open, else the thread's status.
    unsigned char getDisplayThreadStatus() const;
    // The thread's status changes at `time`; with `record` the status shown
    // is appended to the status history (when it changed).
    void setThreadStatus(unsigned char status, long long time, bool record, bool ibmVm);

    void setLineNumberHint(uint16_t line) { lineNumberHint = line; }
    void setInstrumentationRecord(bool on) { instrumentationRecord = on; }
    // Method statistics: each recorded invocation keeps its time columns
    // on a stack of open entries, counted for its method at its exit.
    void setStatisticsRecord(bool on) { statisticsRecord = on; }
    bool getStatisticsRecord() const { return statisticsRecord; }
    size_t getOpenStatisticsEntries() const { return methodStats.size(); }
    // Adds time of a status (63 runnable, 65 waiting, 64 blocked, 66 net
    // I/O) to every open invocation; other statuses and negative times add nothing.
    void recordStatsTime(int status, long long time);
    bool getInstrumentationRecord() const { return instrumentationRecord; }
    unsigned char getThreadStatus() const { return threadStatus; }
    bool getIsDead() const { return threadStatus == STATUS_DEAD; }
    // The thread has ended: no more recording.
    void setIsDead(long long now);
    // Stops or resumes profiling of the thread; without keepTree the tree starts anew.
    void setIgnored(bool value, bool keepTree);

    // The thread in the CPU section of a snapshot: ID of the manager, its
    // description (times not before `vmStart`), the call tree (node IDs
    // left out), byte 0 (no annotation tree is kept), byte cleared, byte
    // ignored, JLong last CPU time, the monitor time values and the stack
    // traces (kept). With `pool`, a live, profiled thread that records is
    // written from a copy that holds the time still running up to `now`.
    // Call under the thread lock.
    void write(DataWriter *writer, InstancePool<CallStackTree> *pool, long long vmStart, long long now);

    // Dead-thread store (see ThreadManager::store): the thread's current
    // node goes with its tree.
    long long storeTrees(FileDataWriter *writer);

    // The thread runs the application's main. Unless the call trees are
    // sampled, what the thread ran around the outermost "main" on its method
    // stack is dropped: the tree starts again with a node of that main (one
    // call while recording) as the current node, its callees to come below
    // it. Nothing but the mark without a "main" on the stack. Call under
    // the thread lock, from the thread itself.
    void setAgentMainThread();
    bool isAgentMainThread() const { return agentMainThread; }
    const CpuSettings &getSettings() const { return *settings; }
    // The manager the CPU session made in advance for the VM's main thread:
    // its sampled stacks, like those of the agent's main thread, count from
    // the outermost "main" inwards.
    void setPremadeMain() { premadeMain = true; }
    bool isPremadeMain() const { return premadeMain; }

    // Current node back to the root, empty method stack.
    void reset();
    // The time the open calls hold back from their nodes' values goes into
    // them (and their callers'). Calling thread, or one that has ended.
    void settleOpenTimes();
    // The same as a reader sees it, changing nothing: per node of the current
    // path, what to add to its value. With `now` > 0 the call still running
    // counts too, with its runnable time up to `now` (as a snapshot writes
    // it). Under the thread lock.
    OpenTimeMap openTimes(long long now = 0) const;
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
    // The binding's handle of the thread's Java-side thread manager (a
    // global reference; null while the thread has none), which keeps the
    // requests in progress on the thread for the sampler.
    void *javaThreadManager = nullptr;
    // The recording start this thread's stack was read from the VM for
    // (see CpuProfilingSession); 0: never.
    unsigned stackEpoch = 0;
    // The call tracer holds this thread's stack already.
    bool traceStarted = false;
    // Open calibration of the hook overhead: its start, 0 when none.
    long long calibrationStart = 0;

private:
    // The monitor made the thread's own entry the open event's (true), or
    // the monitor is the agent's own and nothing is recorded.
    void beginMonitorEvent(bool recorded);
    // The open event on currentMonitor ends at `now`; its entry goes to the
    // monitor and no longer is the thread's current one.
    void endMonitorEvent(long long now, bool blocked);

    bool pushMethod(MethodDesc *method, bool filtered);
    // Adds the time still running at `now` to `node` (a copy of the current node).
    void addCurrentTime(CallStackTree *node, long long now);
    // The runnable time of the call still running, since the last method
    // event up to `now`; 0 while it waits, is blocked or in net I/O, with
    // thread CPU times, or when the thread does not record.
    long long runnableTimeUntil(long long now) const;
    bool popMethod(MethodDesc *method);
    void closeOpenMonitorStates(long long now);
    // Time of an ended wait, contention, net I/O call or override.
    void addStateTime(unsigned char status, long long time);
    // Charges the time and leaves the current node for its parent.
    long long finishExit(long long now, long long overhead, bool recording);
    // Whether the recorder times each run of the method on its own (its policy).
    static bool sortsRecorderRuns(const MethodDesc *method);

    // Times the runnable interval since the last method event into the
    // current node and its callers.
    void chargeRunnable(long long elapsed);
    // recordTime on the method-event path.
    void chargeInterval(long long now, long long overhead);
    // The interval inside an override or a net I/O call.
    void chargeStatusTime(long long elapsed, long long now);
    // The VM's clock, read inline when it is the agent's counter.
    long long clockNow();

    ThreadRecordingSession *session;
    // The session's settings and VM view, read on every method event: the
    // session keeps both objects for its whole life.
    const CpuSettings *settings;
    VmInterface *vm;
    bool counterClock;
    CallStackTree *currentNode;
    std::vector<MethodDesc *> methodStack;
    size_t methodStackCapacity;
    // Runnable time per node not yet scaled to CPU time (time type 2).
    std::unordered_map<CallStackTree *, long long> pendingTimes;
    long long pendingTotal;
    double cpuShare;
    int methodStackTop;
    uint16_t lineNumberHint;
    long long lastEventTime;
    // Blocked, waiting and net I/O time since the last method event.
    long long idleSinceEvent;
    long long contentionStart;
    long long waitStart;
    long long netIOStart;
    int netIODepth;
    long long overrideStart;
    unsigned char overrideStatus;
    int overrideDepth;
    LiveMonitorManager *currentMonitor;
    MonitorEntry *currentMonitorEntry;
    MonitorEntry *monitorEntry;
    // Probe payload totals (runnable, blocked, waiting, net I/O) and the
    // blocked, waiting and net I/O time of the interval not yet added.
    long long annotationIntervalStart;
    long long annotationInterval[3] = {0, 0, 0};
    long long annotationTotals[4] = {0, 0, 0, 0};
    long long lastMonitorEventTime;
    int lastMonitorEventKind;
    bool monitorFlag;
    bool sleeping;
    bool methodEvents = false;
    int probeDepth = 0;
    bool sampling = false; // an exit of the sampler, not of the thread
    unsigned char threadStatus;
    bool instrumentationRecord;
    bool exceptionalPending;
    bool clearRequested;
    bool waitIsOpen;
    bool statisticsRecord = false;
    bool agentMainThread = false;
    bool premadeMain = false;
    std::vector<MethodStats::StackEntry> methodStats;
};

#endif
