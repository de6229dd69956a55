#ifndef AGENT_CPUPROFILINGSESSION_H
#define AGENT_CPUPROFILINGSESSION_H

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <cstdint>
#include <cstdio>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "CallStackTree.h"
#include "MethodHandleTable.h"
#include "MethodStats.h"
#include "ProbeNodeIds.h"
#include "ThreadRecordingSession.h"

class AnnotationBytes;
class PayloadHotspots;
class ClassProfilingSession;
class DataReader;
class DataWriter;
class ClassData;
class LiveMonitorManager;
class LiveThreadManager;
class MonitorEntry;
class MethodDesc;
class MethodStats;
class ProfilingSession;
class ThreadManager;
class VmInterface;
struct ViewHotspot;

// CPU recording: the entry and exit hooks of instrumented methods move each
// thread's current call-tree node and charge microseconds to it; the hook
// overhead is measured and subtracted; runs of exceptional methods are kept
// apart by duration. Threads record on their own managers without locks;
// the manager list, exceptional merges and switches use the thread lock of
// the owning session.
class CpuProfilingSession : public ThreadRecordingSession {
public:
    using Settings = CpuSettings;

    CpuProfilingSession(ProfilingSession *session, VmInterface *vm, const Settings &settings);
    ~CpuProfilingSession() override;
    CpuProfilingSession(const CpuProfilingSession &) = delete;
    CpuProfilingSession &operator=(const CpuProfilingSession &) = delete;

    // A manager for a new thread, owned by the session and kept after the
    // thread ends. It records when CPU recording is on.
    LiveThreadManager *createThreadManager();
    std::vector<LiveThreadManager *> getThreadManagers();

    // The entry hook: id 1 starts a calibration; an unknown id (0 included),
    // a missing or ignored thread changes nothing; the first unknown id is
    // logged. Returns the entry time or 0.
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
    // The agent's Java main thread has started; the hooks need nothing from it.
    void agentMainThreadStarted() {}

    // How the hooks name the methods of a VM stack. The hooks of rewritten
    // code carry the ids of the instrumenter's own method records, which are
    // not the records the VM's frames are described with; the binding's
    // instrumenter answers for them.
    class HookMethods {
    public:
        // One frame's method as the hooks know it.
        struct Frame {
            // The record that stands for the frame: the hooks' record of the
            // method, else the frame's own record.
            MethodDesc *method = nullptr;
            // The hooks have a record of the method (they pass its id).
            bool known = false;
            // The method runs entry and exit hooks of its own.
            bool hooked = false;
            // Calls of the method are wrapped as calls into the filtered area.
            bool filterEntry = false;
            // A network I/O method: the time inside it is net I/O time.
            bool netIo = false;
        };
        virtual ~HookMethods() = default;
        // Describes `frameMethod` (the record of a VM frame's method) into `out`.
        virtual void describe(MethodDesc *frameMethod, Frame *out) = 0;
    };
    // The binding's answers; null (the default): a method stands for itself,
    // known and hooked when it has a hook id, filtered by its own filter flag.
    // Not owned; set before the first hook runs.
    void setHookMethods(HookMethods *hooks) { hookMethods = hooks; }

    // Rebuilds the thread's method stack from the VM's stack, as the hooks
    // would have recorded it. With `timed` every replayed call is counted
    // once and the thread's clock starts. Calling thread only. False when the
    // VM gives no stack (the recorder without JVMTI): the stack stays empty.
    bool updateCallStack(LiveThreadManager *thread, bool timed);
    // An entry hook on a thread whose stack must be read again: reads it and
    // says whether the entry is complete (nothing more to record for it).
    bool synchroniseOnEntry(LiveThreadManager *thread, MethodDesc *method, bool filtered, bool keep, bool timed);
    // Files a finished exceptional run into the kept slow runs of its method.
    void endExceptionalRun(LiveThreadManager *thread, CallStackTree *run) override;
    // Recorder mode: the run goes where its method's recorder policy says.
    void sortRecorderRun(CallStackTree *run, long long runTime, InstancePool<CallStackTree> *pool);

    // Command 41: the cumulated call tree of the selected threads, written
    // against the selection the front end holds, then the descriptions the
    // front end does not have yet.
    void handleCmdInvocationTreeUpdate(DataReader *reader, DataWriter *writer, ClassProfilingSession *classes);
    // Command 42: the methods' self times and calls over the cumulated tree
    // (byte hide filtered, U4 class kind, byte sorted, byte full back
    // traces after the common part), then the total and new descriptions.
    void handleCmdHotspotTreeUpdate(DataReader *reader, DataWriter *writer, ClassProfilingSession *classes);
    // Command 9: U4 max depth, U4 per-mille, U2 n, n x (ID method, U2 line):
    // the node at the end of the path in the last call-tree view, written in
    // view-update form (byte 0 when the path does not resolve); U4 value kind.
    void handleCmdExpandInvocationNode(DataReader *reader, DataWriter *writer);
    // Command 10: as command 9 in the back traces of the hotspot named by the
    // path's first method (of the last hotspot view). An empty path: nothing.
    void handleCmdExpandHotspotNode(DataReader *reader, DataWriter *writer);
    // Command 50: the common part, then per caller-callee edge byte 1, ID
    // caller, ID callee, JLong time, U4 calls; byte 0; per method byte 1,
    // ID, JLong total, JLong self time, U4 calls; byte 0; new descriptions.
    void handleCmdMethodGraph(DataReader *reader, DataWriter *writer, ClassProfilingSession *classes);
    // Command 74: with `newDump` first a stack trace of every live thread;
    // then per thread with stored traces byte 1, ID of the thread and its
    // traces (released); byte 0; JLong now; U4 0; then the reply of command 11.
    void handleCmdThreadDump(DataWriter *writer, bool newDump, ClassProfilingSession *classes);
    // Command 11: per described thread byte 1 and its description; byte 0;
    // the bookmarks of the sampler session (kept); new descriptions.
    void handleCmdThreadDescriptions(DataWriter *writer, ClassProfilingSession *classes);
    // Stores a stack trace of every live, profiled thread.
    void doThreadDump();
    // Command 38: byte on/off, then the probe ids to track (U4 n, n x U4).
    void handleCmdSetRecordCpu(DataReader *reader);
    // The tracking settings that follow the switch of commands 38 and 49:
    // U4 n and n probe ids, handed to the Java side; false when the list is
    // cut short (nothing is handed over then).
    bool readTracking(DataReader *reader);

    // Monitor profiling. The record of a monitor (raw: a raw monitor's
    // address, else the object's tag), made on first use; null when the
    // block threshold switches the look-up off.
    LiveMonitorManager *getMonitorManager(bool raw, void *monitorId, ClassData *classData);
    // The agent's own raw monitors: events on them are not recorded.
    void setAgentMonitors(const std::vector<void *> &monitors);
    bool isAgentMonitor(void *monitor) const override;
    // The record of a monitor when there is one; never makes one.
    LiveMonitorManager *findMonitorManager(bool raw, void *monitorId);
    // A Java monitor's object got a new id (the collector moved it): its
    // record is found under the new id only. False when it had none.
    bool changeJavaMonitorKey(void *oldId, void *newId);
    // Replaces the events in progress with those a VM's monitor dump gave.
    void setCurrentMonitorEntries(std::vector<MonitorEntry> entries);
    // A copy of the events in progress.
    std::vector<MonitorEntry> getCurrentMonitorEntries();
    // Monitor recording on or off; with thresholds >= 0 they change too
    // (microseconds; at 2,000,000,000 and above that kind is not recorded).
    void setMonitorRecording(bool on, long long blockThreshold, long long waitThreshold);
    bool isMonitorRecording() const { return monitorRecording.load(std::memory_order_relaxed); }
    long long getBlockThreshold() const { return blockThreshold; }
    long long getWaitThreshold() const { return waitThreshold; }
    // A finished monitor event: kept (copied) while monitor recording is on
    // and it lasted at least the threshold of its kind.
    void addMonitorEntry(const MonitorEntry *entry) override;
    // Refills the list of events in progress from every profiled thread's
    // open entry, all brought up to one instant; returns that instant.
    long long generateCurrentMonitorEntryData();
    // The same from the VM's view (command 36): every thread blocked on a
    // Java monitor, asked from the VM, as a waiting entry with the
    // monitor's owner. Falls back to the threads' own entries when the VM
    // cannot tell. Returns the instant.
    long long generateContendedMonitorEntryData();
    // The events in progress for command 36; a binding whose VM reports its
    // monitors itself replaces them. Returns the instant.
    virtual long long collectCurrentMonitorEntries() { return generateContendedMonitorEntryData(); }
    // The events in progress that are recorded, for command 35; a binding
    // whose VM reports its monitors itself replaces them. Returns the instant.
    virtual long long collectRecordedMonitorEntries() { return generateCurrentMonitorEntryData(); }
    // Zeroes the monitor time values of every thread and Java monitor.
    void resetMonitorStats();
    // Drops the finished monitor events.
    void clearMonitorEntries();

    // Command 35: the finished events (then dropped), byte 0, the events in
    // progress above the thresholds, byte 0, U4 U4 thresholds, JLong now,
    // U4 0, then the reply of command 11.
    void handleCmdMonitorUsageHistory(DataWriter *writer, ClassProfilingSession *classes);
    // Command 36: the events in progress, byte 0, JLong now, U4 0, then the
    // reply of command 11.
    void handleCmdMonitorUsageCurrent(DataWriter *writer, ClassProfilingSession *classes);
    // Command 37 (U4 grouping: 1 monitors, 2 threads, else monitor classes).
    void handleCmdMonitorUsageStats(DataReader *reader, DataWriter *writer, ClassProfilingSession *classes);
    // Command 73: byte on; when on U4 block and U4 wait threshold.
    // Returns whether monitor recording is to be on, -1 on a broken request.
    int handleCmdSetRecordMonitors(DataReader *reader);
    // Command 75: U4 display id; JLong the monitor's id, 0 when unknown.
    void handleCmdGetMonitorId(DataReader *reader, DataWriter *writer);

    // Section 3 of a snapshot: the part written outside the data locks (U4
    // length and the probe metadata of the Java side), then, under the
    // thread and dead-thread locks, the never-recorded byte, the collection
    // method (4 for a recorder), the threads (byte 1 and the thread each,
    // byte 0), three monitor entry lists, the Java and raw monitor records
    // (byte 1 and the record each, byte 0 after each map), the traces and
    // the two monitor thresholds.
    void writeWithoutMonitors(DataWriter *writer, const std::vector<unsigned char> &probeMetaData = {});
    // The probe descriptions a loaded snapshot carried (empty when none).
    const std::vector<unsigned char> &getLoadedProbeMetaData() const { return loadedProbeMetaData; }
    void write(DataWriter *writer, bool recorder);
    // Reads a CPU section of `version` (2 to 36) into this session; false
    // when the stream failed.
    bool read(DataReader *reader, int version);

    // Moves the trees of dead threads to the private dead-thread store
    // (a "jdc" temporary file). Call under the dead-threads lock.
    void storeDeadThreads();
    // Hands `use` the call trees of the named threads, in the order of the
    // session's managers. A name is only compared with the managers, never
    // followed; unknown and ignored ones name none. Trees of dead threads
    // are read back from their store for the call and stored again after it.
    // Takes the dead-thread and thread locks.
    void withThreadTrees(const std::vector<const void *> &threads,
                         const std::function<void(const std::vector<const CallStackTree *> &)> &use);

    // Call tracer. One record: the thread, the method (null: the start of
    // the thread's trace), the entry time or the negated exit time.
    struct Trace {
        ThreadManager *thread;
        MethodDesc *method;
        long long time;
    };
    // The largest list the tracer keeps: 1,000,000 records of 24 bytes, so
    // that a front end's cap cannot make the VM's memory grow without bound.
    static const uint32_t MAX_TRACE_RECORDS = 1000000;
    // Switches the tracer: `all` traces every recorded call, `filtered` also
    // filtered ones, at most `cap` records (a cap above MAX_TRACE_RECORDS is
    // lowered to it with a log line); `restart` starts a new list. False when
    // the collection method does not allow it.
    bool setTraceRecord(bool all, bool filtered, bool restart, uint32_t cap);
    bool isTracing() const { return traceAll.load(std::memory_order_relaxed); }
    // Whether traces were recorded since the last ask; cleared by asking.
    bool hasNewCallTracerData();
    // Change flags of the VM state poll, each cleared by asking: recording
    // switched on, the data reset, a thread dump taken, monitor profiling
    // switched on. Any thread.
    bool hasNewCpuData() { return newCpuData.exchange(false); }
    bool isCpuDataReset() { return cpuDataReset.exchange(false); }
    bool hasNewThreadDumps() { return newThreadDumps.exchange(false); }
    bool hasNewMonitorData() { return newMonitorData.exchange(false); }
    void markNewMonitorData() { newMonitorData.store(true); }
    // Command 64: byte all, byte filtered, U4 cap.
    void handleCmdSetTraceRecord(DataReader *reader);
    // Command 65: U4 number of method records, each ID thread, ID method,
    // JLong time; U4 n and n x U4 the positions of the start records among
    // them; the list then starts empty. U4 0, U4 0 while the tracer never ran.
    void handleCmdGetTraces(DataWriter *writer, ClassProfilingSession *classes);

    // Method statistics (per method, invocation-time histograms fed at
    // every exit while statistics are recorded). Switching on needs the
    // collection method 1 (false and a message otherwise), starts CPU
    // recording when it is off and, the first time, clears every method's
    // statistics. Command thread.
    bool setRecordMethodStatistics(bool record);
    bool isRecordMethodStatistics() const { return statisticsRecording.load(std::memory_order_relaxed); }
    // Whether statistics were switched off since the last ask; cleared by asking.
    bool hasNewMethodStatistics();
    // One finished invocation of `method` (filtered methods are not counted).
    // Called by the thread's manager at the exit.
    void recordMethodStatistics(MethodDesc *method, const MethodStats::StackEntry &invocation) override;
    // The statistics of a method, null when it has none. Read them only
    // while no thread records.
    const MethodStats *getMethodStatistics(const MethodDesc *method);
    // Command 71: byte on/off.
    void handleCmdSetRecordMethodStatistics(DataReader *reader);
    // Command 72: switches statistics off, then per method of the registry
    // that has statistics byte 1, ID method and its statistics; byte 0; new
    // descriptions.
    void handleCmdGetMethodStatistics(DataWriter *writer, ClassProfilingSession *classes);
    // Command 57: the common part (into the probe view, annotations kept),
    // then the probe hotspots of AnnotationHotspots::writeHotspots; new
    // descriptions. The probe view stays until the next request: the Java
    // side refers to its nodes by id.
    void handleCmdAnnotationHotspotUpdate(DataReader *reader, DataWriter *writer, ClassProfilingSession *classes);
    // The Java side's probe hotspots; null: none (empty hotspot replies).
    void setPayloadHotspots(PayloadHotspots *javaSide) { payloadHotspots = javaSide; }
    // Command 79: U4 aggregation level, U4 n, n method-name prefixes. Per
    // thread and per probe node whose method name starts with a prefix:
    // byte 1, ID thread, the prefix, and the path from the thread's root to
    // the node as a view-update tree; byte 0; new descriptions.
    void handleCmdGetExecutionSites(DataReader *reader, DataWriter *writer, ClassProfilingSession *classes);

    // Threads found runnable by the sampler's last pass: with thread CPU
    // time (time type 2) each gets this share of the elapsed time.
    void setNumActiveThreads(int n) { activeThreads.store(n, std::memory_order_relaxed); }
    int getNumActiveThreads() const override { return activeThreads.load(std::memory_order_relaxed); }

    MethodHandleTable &getMethodHandles() { return methodHandles; }
    long long getOverhead() const { return overhead; }
    const Settings &getSettings() const override { return settings; }
    // A new session configuration: the recording settings change (the
    // method-stack size stays). Call while no hook runs a changed setting's
    // decision, i.e. when the configuration is applied.
    void updateSettings(const Settings &changed);
    VmInterface *getVm() const override { return vm; }
    // The Java side's encoding of probe payloads in tree replies; null: none.
    void setAnnotationBytes(AnnotationBytes *javaSide) { annotationBytes = javaSide; }
    // The Java side forgets its probe payloads; done before CPU recording
    // that was off starts again (command 38, the call tracer, the controller
    // with reset).
    void resetAnnotations();
    ProfilingSession *getProfilingSession() const { return session; }

protected:
    // Whether the collection method reports every entry and exit, as the
    // call tracer needs: the hooks of dynamic instrumentation (method 1).
    virtual bool reportsEveryCall() const { return settings.collectionMethod == 1; }
    // The call tracer's records of an entry and an exit that were recorded
    // at `time` (not 0).
    void traceEntry(LiveThreadManager *thread, MethodDesc *method, long long time, bool filtered);
    void traceExit(LiveThreadManager *thread, MethodDesc *method, long long time, bool filtered);

public:
    // The descriptors of Thread.sleep and Object.wait: entering them opens a wait.
    void setWaitMethods(MethodDesc *sleep, MethodDesc *wait);

private:
    // The merges of an exceptional run under the thread lock; the pairs of
    // probe annotation ids moved to the rest node and to a slot.
    void mergeExceptionalRun(LiveThreadManager *thread, CallStackTree *run, std::vector<std::pair<long long, long long>> *toRest,
                             std::vector<std::pair<long long, long long>> *toSlot);
    struct ViewRequest;
    // The hotspot rows of command 8 (at most 100 when sorted), each as a row
    // or, with full back traces, as its merged back-trace tree.
    void writeHotspots(DataWriter *writer, const std::vector<ViewHotspot> &hotspots, bool sorted, bool fullBacktraces);
    // Merges the selected threads' trees for a view request and returns the
    // view root; the request owns every tree.
    // The selected threads' trees merged into one (dead threads read back and
    // stored again), first-level filtered nodes removed; their probe
    // annotations go into `annotations`.
    CallStackTree *mergeThreadTrees(ViewRequest &request, AnnotationMap *annotations);
    CallStackTree *buildViewTree(ViewRequest &request, ClassProfilingSession *classes);
    // The annotations written with a view (none for sampled trees).
    const AnnotationMap *viewAnnotations(const ViewRequest &request) const;

    ProfilingSession *session;
    VmInterface *vm;
    Settings settings;
    std::vector<LiveThreadManager *> threadManagers;
    std::vector<unsigned char> loadedProbeMetaData;
    MethodHandleTable methodHandles;
    std::atomic<bool> cpuRecording;
    long long overhead;
    // Set by the class-loading thread while hooks read them.
    // Set once CPU recording was switched on; views answer empty before.
    bool everRecorded;

    // The hotspot of `method` with its back traces (from the last hotspot view).
    CallStackTree *buildBacktraceTree(MethodDesc *method, long long value, uint32_t calls);
    // The last call-tree and hotspot views, kept for their expansions.
    std::unique_ptr<ViewRequest> invocationView;
    CallStackTree *invocationViewRoot = nullptr;
    std::unique_ptr<ViewRequest> hotspotView;
    CallStackTree *hotspotViewRoot = nullptr;
    bool hotspotHideFiltered = false;
    bool hotspotSelfTime = true;
    std::unordered_map<MethodDesc *, std::pair<long long, uint32_t>> hotspotTotals;
    std::unordered_map<MethodDesc *, CallStackTree *> hotspotMerged;

    // Opens the dead-thread store on first use; false when it cannot be made.
    bool openDeadThreadStore();
    // Reads a stored dead thread's trees back for a merge.
    void retrieveDeadThread(LiveThreadManager *thread);
    void writeMonitorEntries(DataWriter *writer, bool aboveThresholdOnly);

    // One frame of the calling thread's stack, as the hooks know it.
    struct HookFrame {
        HookMethods::Frame hook;
        uint16_t line;
    };
    // The calling thread's stack, outermost first, as the hooks know it:
    // without the hook's own frames on top, and from the thread's entry
    // method on when it starts in java.lang.Thread or the agent's main
    // thread. False when the VM cannot tell.
    bool getHookStack(std::vector<HookFrame> *out);

    HookMethods *hookMethods = nullptr;
    // Counts recording starts (never 0): a thread whose stack was read for
    // an older one reads it again at its next entry hook, and its exits
    // change nothing until then. `resetEpoch`: the last start with a reset.
    std::atomic<unsigned> stackEpoch{1};
    std::atomic<unsigned> resetEpoch{0};
    bool isStackRead(const LiveThreadManager *thread) const;
    // Logs the first id the hooks get that names no method; returns 0.
    long long ignoreUnknownMethodId(int32_t methodId);
    void switchCpuRecord(bool record, bool resetData);
    std::mutex hooksSwitch;
    std::atomic<int> activeThreads{0};
    std::unique_ptr<std::vector<Trace>> traces;
    std::atomic<bool> traceAll{false};
    // The hooks met an id that names no method (logged once).
    std::atomic<bool> unknownMethodIdReported{false};
    bool traceFiltered = false;
    uint32_t traceCap = 0;
    bool newCallTracerData = false;
    std::atomic<bool> newCpuData{false};
    std::atomic<bool> cpuDataReset{false};
    std::atomic<bool> newThreadDumps{false};
    std::atomic<bool> newMonitorData{false};

    std::unordered_map<long long, LiveMonitorManager *> javaMonitors;
    std::unordered_map<long long, LiveMonitorManager *> rawMonitors;
    std::unordered_set<void *> agentMonitors;
    std::atomic<bool> monitorRecording;
    long long blockThreshold;
    long long waitThreshold;
    std::vector<MonitorEntry *> finishedEntries;
    std::vector<MonitorEntry> currentEntries;
    FILE *deadThreadFile;
    AnnotationBytes *annotationBytes = nullptr;
    PayloadHotspots *payloadHotspots = nullptr;
    std::unique_ptr<ViewRequest> probeView;
    ProbeNodeIds probeNodeIds;

    std::unordered_map<const MethodDesc *, MethodStats *> methodStatistics;
    std::atomic<bool> statisticsRecording{false};
    bool methodStatisticsInitialized = false;
    bool newMethodStatistics = false;
};

#endif
