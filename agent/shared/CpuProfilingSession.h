#ifndef AGENT_CPUPROFILINGSESSION_H
#define AGENT_CPUPROFILINGSESSION_H

#include <atomic>
#include <cstdint>
#include <vector>

#include "MethodHandleTable.h"

class CallStackTree;
class ClassProfilingSession;
class DataReader;
class DataWriter;
class LiveThreadManager;
class MethodDesc;
class ProfilingSession;
class VmInterface;

// CPU recording: the entry and exit hooks of instrumented methods move each
// thread's current call-tree node and charge microseconds to it; the hook
// overhead is measured and subtracted; runs of exceptional methods are kept
// apart by duration. Threads record on their own managers without locks;
// the manager list, exceptional merges and switches use the thread lock of
// the owning session.
class CpuProfilingSession {
public:
    struct Settings {
        bool lineNumbers = true;
        int timeType = 1;          // 1 elapsed time, 2 thread CPU time
        int collectionMethod = 1;  // 1 dynamic instrumentation, 3 sampling
        int exceptionalCap = 5;    // kept slow runs per exceptional method
        int exceptionalTimeType = 1;
        int stackSize = 10000;
    };

    CpuProfilingSession(ProfilingSession *session, VmInterface *vm, const Settings &settings);
    ~CpuProfilingSession();
    CpuProfilingSession(const CpuProfilingSession &) = delete;
    CpuProfilingSession &operator=(const CpuProfilingSession &) = delete;

    // A manager for a new thread, owned by the session and kept after the
    // thread ends. It records when CPU recording is on.
    LiveThreadManager *createThreadManager();
    std::vector<LiveThreadManager *> getThreadManagers();

    // The entry hook: id 1 starts a calibration; an unknown id, a missing or
    // ignored thread changes nothing. Returns the entry time or 0.
    long long agentMethodEntry(LiveThreadManager *thread, int32_t methodId, uint16_t line, bool filtered, bool keep, bool timed);
    // The exit hook; ends a calibration of the same thread. Returns the time or 0.
    long long agentMethodExit(LiveThreadManager *thread, int32_t methodId, bool filtered);
    void agentMethodExceptionHandler(LiveThreadManager *thread, int32_t methodId);
    void agentLineNumberHint(LiveThreadManager *thread, uint16_t line);

    // Switches recording; with reset every tree starts empty.
    void setCpuRecord(bool record, bool reset);
    bool isRecording() const { return cpuRecording.load(std::memory_order_relaxed); }
    // Zeroes every thread's tree.
    void reset();

    // Rebuilds the thread's method stack from the VM's stack.
    void updateCallStack(LiveThreadManager *thread);
    // Files a finished exceptional run into the kept slow runs of its method.
    void endExceptionalRun(LiveThreadManager *thread, CallStackTree *run);

    // Command 41: the cumulated call tree of the selected threads, written
    // against the selection the front end holds, then the descriptions the
    // front end does not have yet.
    void handleCmdInvocationTreeUpdate(DataReader *reader, DataWriter *writer, ClassProfilingSession *classes);
    // Command 42: the methods' self times and calls over the cumulated tree
    // (byte hide filtered, U4 class kind, byte sorted, byte full back
    // traces after the common part), then the total and new descriptions.
    void handleCmdHotspotTreeUpdate(DataReader *reader, DataWriter *writer, ClassProfilingSession *classes);
    // Command 74: with `newDump` first a stack trace of every live thread;
    // then per thread with stored traces byte 1, ID of the thread and its
    // traces (released); byte 0; JLong now; U4 0; then the reply of command 11.
    void handleCmdThreadDump(DataWriter *writer, bool newDump, ClassProfilingSession *classes);
    // Command 11: per described thread byte 1 and its description; byte 0;
    // the bookmarks (U4 0: none are kept); new descriptions.
    void handleCmdThreadDescriptions(DataWriter *writer, ClassProfilingSession *classes);
    // Stores a stack trace of every live, profiled thread.
    void doThreadDump();
    // Command 38: byte on/off, then the probe ids to track (U4 n, n x U4).
    void handleCmdSetRecordCpu(DataReader *reader);

    MethodHandleTable &getMethodHandles() { return methodHandles; }
    long long getOverhead() const { return overhead; }
    const Settings &getSettings() const { return settings; }
    // A new session configuration: the recording settings change (the
    // method-stack size stays). Call while no hook runs a changed setting's
    // decision, i.e. when the configuration is applied.
    void updateSettings(const Settings &changed);
    VmInterface *getVm() const { return vm; }
    ProfilingSession *getProfilingSession() const { return session; }
    // The descriptors of Thread.sleep and Object.wait: entering them opens a wait.
    void setWaitMethods(MethodDesc *sleep, MethodDesc *wait);
    bool isWaitMethod(const MethodDesc *method) const { return method != nullptr && (method == sleepMethod || method == waitMethod); }

private:
    struct ViewRequest;
    // Merges the selected threads' trees for a view request and returns the
    // view root; the request owns every tree.
    CallStackTree *buildViewTree(ViewRequest &request, ClassProfilingSession *classes);

    ProfilingSession *session;
    VmInterface *vm;
    Settings settings;
    std::vector<LiveThreadManager *> threadManagers;
    MethodHandleTable methodHandles;
    std::atomic<bool> cpuRecording;
    long long overhead;
    MethodDesc *sleepMethod;
    MethodDesc *waitMethod;
    // Set once CPU recording was switched on; views answer empty before.
    bool everRecorded;
};

#endif
