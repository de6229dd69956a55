#ifndef AGENT_THREADRECORDINGSESSION_H
#define AGENT_THREADRECORDINGSESSION_H

#include <atomic>

#include "MethodStats.h"

class CallStackTree;
class LiveThreadManager;
class MethodDesc;
class MonitorEntry;
class VmInterface;

// The recording settings of a CPU session.
struct CpuSettings {
    bool lineNumbers = true;
    int timeType = 1;          // 1 elapsed time, 2 thread CPU time
    int collectionMethod = 1;  // 1 dynamic instrumentation, 3 sampling
    int exceptionalCap = 5;    // kept slow runs per exceptional method
    int exceptionalTimeType = 1;
    int stackSize = 10000;
    bool recordAgentClasses = false; // option sample-agent: the agent's own calls count too
};

// What a thread's recording (LiveThreadManager) and a monitor's
// (LiveMonitorManager) ask of the CPU session that owns them. The session
// implements it; the managers know nothing else of the session, so a test can
// give them a small fake. Called on the recording thread itself unless a
// function says otherwise.
class ThreadRecordingSession {
public:
    virtual ~ThreadRecordingSession() = default;

    virtual const CpuSettings &getSettings() const = 0;
    // The engine's view of the VM (clock, stacks); never null.
    virtual VmInterface *getVm() const = 0;
    // Threads currently running recorded code (the CPU-time share).
    virtual int getNumActiveThreads() const = 0;
    // Object.wait or Thread.sleep: time inside is waiting, not running.
    // Asked on every method entry, so read inline.
    bool isWaitMethod(const MethodDesc *method) const
    {
        return method != nullptr &&
               (method == sleepMethod.load(std::memory_order_relaxed) || method == waitMethod.load(std::memory_order_relaxed));
    }
    // One finished invocation for the method statistics.
    virtual void recordMethodStatistics(MethodDesc *method, const MethodStats::StackEntry &invocation) = 0;
    // An exceptional run of `thread` ended at `run`; the session merges it
    // (takes the thread lock).
    virtual void endExceptionalRun(LiveThreadManager *thread, CallStackTree *run) = 0;
    // One of the agent's own raw monitors.
    virtual bool isAgentMonitor(void *monitor) const = 0;
    // A finished monitor event for the session's list (copied).
    virtual void addMonitorEntry(const MonitorEntry *entry) = 0;

protected:
    // The wait methods, once the session knows them.
    std::atomic<MethodDesc *> sleepMethod{nullptr};
    std::atomic<MethodDesc *> waitMethod{nullptr};
};

#endif
