#ifndef AGENT_JVMPI_LIVECPUPROFILINGSESSION_H
#define AGENT_JVMPI_LIVECPUPROFILINGSESSION_H

#include <atomic>
#include <string>
#include <unordered_set>
#include <vector>

#include "CpuProfilingSession.h"
#include "ThreadStartRecords.h"
#include "jvmpi.h"

class PiClassProfilingSession;
class LiveHeapProfilingSession;
class LiveMonitorManager;
class LiveThreadManager;

// The CPU session of piagent: threads, method events and monitor events
// arrive as VM events and feed the same thread managers and call trees as
// the hooks of rewritten code do in tiagent. A thread is its JNIEnv*; the
// VM's thread-local storage of a thread holds its manager.
class LiveCpuProfilingSession : public CpuProfilingSession {
public:
    // `heap` (may be null) gives the classes of monitor objects.
    LiveCpuProfilingSession(ProfilingSession *session, VmInterface *vm, const Settings &settings, PiClassProfilingSession *classes,
                            LiveHeapProfilingSession *heap);

    virtual void handleThreadStart(JVMPI_Event *event);
    virtual void handleThreadEnd(JVMPI_Event *event);
    virtual void handleMethodEntry(JVMPI_Event *event);
    virtual void handleMethodEntry2(JVMPI_Event *event);
    virtual void handleMethodExit(JVMPI_Event *event);
    virtual void handleMonitorContendedEnter(bool raw, JNIEnv *env, JNIEnv *threadEnv, void *monitor, JNIEnv *owner, bool flag);
    virtual void handleMonitorContendedEntered(bool raw, JNIEnv *env, JNIEnv *threadEnv, void *monitor);
    virtual void handleMonitorWait(JNIEnv *env, JNIEnv *threadEnv, void *monitor, bool timed);
    virtual void handleMonitorWaited(JNIEnv *env, JNIEnv *threadEnv, void *monitor);
    // MONITOR_DUMP: the blocked and waiting threads of every monitor become
    // the events in progress.
    virtual void handleMonitorDump(JVMPI_Event *event);
    // Asks the VM for a monitor dump (delivered at once to handleMonitorDump).
    virtual void generateCurrentMonitorEntryData(JNIEnv *env, bool onlyToBeRecorded);
    // Command 36: the VM's monitor dump.
    long long collectCurrentMonitorEntries() override;
    // Command 35: the VM's monitor dump, only the threads whose events are recorded.
    long long collectRecordedMonitorEntries() override;
    // OBJECT_MOVE: a Java monitor's record follows its object.
    virtual void handleObjectMove(JVMPI_Event *event);

    // The manager of a thread; with `orMain` the main thread's when none is
    // known. Unless `noStore` the manager is kept in the thread's storage.
    LiveThreadManager *getThreadManager(JNIEnv *env, bool orMain, bool noStore);
    LiveThreadManager *getCurrentThreadManager(JNIEnv *env, bool orMain) { return getThreadManager(env, orMain, false); }
    LiveThreadManager *getMainThreadManager() const { return mainThread; }

    // The hooks around a sleep or park without a monitor: the calling
    // thread's wait begins or ends while threads or monitors are recorded.
    void agentSleep(JNIEnv *env, bool enter);

    // The method events of the VM: entry (entry2 with concrete subclasses)
    // and exit on; off sets nothing recorded for them. While they are off
    // the VM reports no calls, so the stacks the managers keep go stale: on
    // again, each thread reads its stack from the VM at its next event.
    void enableCpuEvents(bool showSubclassMethods);
    void disableCpuEvents();

    // Agent.registerThreadStart: the calling thread starts the thread named
    // `name`; the next thread of that name that starts takes the caller as
    // its creator and the caller's place in its call tree. (A thread is
    // known here by its JNIEnv*, not by its Java object: the name it
    // starts under ties the two.)
    void registerThreadStart(JNIEnv *env, const std::string &name);
    // Thread profiling (statuses, monitor events) may be switched off.
    void setThreadProfiling(bool on) { threadProfiling = on; }
    bool isThreadProfiling() const { return threadProfiling; }
    int getNumThreadsAlive() const { return numThreadsAlive.load(); }

    // The agent's Java side names the calling thread the application's main
    // thread: a pre-made main manager that some other thread took stays out
    // of the views, the caller's manager is the main thread (its tree starts
    // again at the main it runs, see LiveThreadManager::setAgentMainThread),
    // and the VM's start time becomes that thread's start. False when the
    // caller has no manager.
    bool agentMainThreadStarted(JNIEnv *env);

protected:
    // The VM's method events report every entry and exit too.
    bool reportsEveryCall() const override;

private:
    // Every frame of a VM stack is a call the method events reported.
    class EventMethods : public HookMethods {
    public:
        void describe(MethodDesc *frameMethod, Frame *out) override;
    };
    EventMethods eventMethods;

    // The record of a monitor, made on first sight; null for a null monitor
    // or while monitors are not recorded.
    LiveMonitorManager *getMonitorManager(bool raw, void *monitor);
    // The thread's manager for a monitor event; null when the event is not
    // recorded.
    LiveThreadManager *monitorEventThread(JNIEnv *threadEnv);
    // The first method event of a thread after the method events were off:
    // its stack is read from the VM again, counting nothing, and its clock
    // starts. False when its stack was not stale.
    bool rereadStaleStack(LiveThreadManager *thread);
    // A method event's entry and exit, traced when the call tracer runs.
    void recordEntry(LiveThreadManager *thread, MethodDesc *method);
    void recordExit(LiveThreadManager *thread, MethodDesc *method);

    PiClassProfilingSession *classes;
    LiveHeapProfilingSession *heap;
    LiveThreadManager *mainThread;
    std::atomic<int> numThreadsAlive{0};
    bool showSubclassMethods = false;
    bool threadProfiling = true;
    bool onlyToBeRecordedMonitors = false;
    // When the last monitor dump was read.
    std::atomic<long long> dumpTime{0};
    // The method events were switched off; the managers whose stacks went
    // stale meanwhile (guarded by the thread monitor).
    std::atomic<bool> eventsOff{false};
    std::atomic<bool> anyStaleStack{false};
    std::unordered_set<LiveThreadManager *> staleStacks;
    // Threads registered before they start; each record's thread object is
    // the new std::string of the name it starts under (thread monitor).
    ThreadStartRecords pendingStarts;
};

#endif
