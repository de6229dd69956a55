#ifndef AGENT_LIVEPROFILING_H
#define AGENT_LIVEPROFILING_H

#include <atomic>
#include <jni.h>
#include <jvmti.h>
#include <memory>
#include <string>

#include "MonitorSet.h"
#include "VmEnd.h"

class CpuProfilingSession;
class DataWriter;
class HeapProfilingSession;
class LiveProfilingSession;

// The VM edge of tiagent: the one owner of JavaVM*, jvmtiEnv* (and the way to
// a thread's JNIEnv*), the raw monitors, the agent's Java classes, the
// process-wide switches and the sessions. The entry points, event callbacks
// and JNI natives reach it through instance(); everything below them is handed
// this object (or what it needs from it) through a constructor.
class LiveProfiling {
public:
    // The process's one edge, made on first use and never destroyed: VM
    // threads may still call in while the process exits.
    static LiveProfiling &instance();

    LiveProfiling();
    ~LiveProfiling();
    LiveProfiling(const LiveProfiling &) = delete;
    LiveProfiling &operator=(const LiveProfiling &) = delete;

    // Agent_OnLoad (attach false) or Agent_OnAttach (attach true): makes the
    // live session on the first call and starts it; a later call switches
    // the existing one when that one runs without JVMTI (the recorder's).
    // Once the agent runs on JVMTI a further load says so and does nothing.
    void load(JavaVM *javaVm, const char *options, bool attach);
    // The recorder's start-up from the agent's Java side, without JVMTI:
    // makes the live session on the first call and starts it on the Java
    // object locks of `monitors`. A second call, or one in a VM where the
    // agent runs already, says so and does nothing; false then.
    bool startRecorder(JNIEnv *env, const char *options, jobjectArray monitors);

    // The sessions; null before load (cpuSession: before the live session
    // made it).
    LiveProfilingSession *getSession() const { return liveProfilingSession; }
    CpuProfilingSession *getCpuSession() const { return cpuSession.get(); }
    // Takes the CPU session the live session made for this VM.
    void setCpuSession(std::unique_ptr<CpuProfilingSession> cpu);
    // The heap session; null before the live session made it, which it
    // hands over here once.
    HeapProfilingSession *getHeapSession() const { return heapSession.get(); }
    void setHeapSession(std::unique_ptr<HeapProfilingSession> heap);

    // Ends the process: the only place the agent does. Logs the reason's
    // closing line where it has one (the lines before it are the caller's)
    // and ends with the reason's status (VmEnd.h). Never returns.
    [[noreturn]] void endVm(VmEnd reason);
    // A class or member the agent cannot do without is missing (null
    // `found`): logs `what` and ends the VM.
    void requireFound(const void *found, const char *what);

    JavaVM *vm;
    jvmtiEnv *jvmti;

    // The process-wide switches. Any thread reads and sets them; each is
    // one atomic value, read and set as a whole.
    bool isNowait() const { return nowait.load(); }
    void setNowait(bool on) { nowait.store(on); }
    bool isOffline() const { return offline.load(); }
    void setOffline(bool on) { offline.store(on); }
    bool isJniInterception() const { return jniInterception.load(); }
    void setJniInterception(bool on) { jniInterception.store(on); }
    bool isThreadProfilingDisabled() const { return disableThreadProfiling.load(); }
    void setThreadProfilingDisabled(bool on) { disableThreadProfiling.store(on); }
    bool isThreadProfiling() const { return threadProfiling.load(); }
    void setThreadProfilingOn(bool on) { threadProfiling.store(on); }
    bool isMonitorProfiling() const { return monitorProfiling.load(); }
    void setMonitorProfilingOn(bool on) { monitorProfiling.store(on); }
    bool isVmTelemetry() const { return vmTelemetry.load(); }
    void setVmTelemetry(bool on) { vmTelemetry.store(on); }
    bool hasConfigAtStartup() const { return configAtStartup.load(); }
    void setConfigAtStartup(bool on) { configAtStartup.store(on); }
    bool isJavaCommThreadToEnter() const { return javaCommThreadShouldEnter.load(); }
    void setJavaCommThreadToEnter(bool on) { javaCommThreadShouldEnter.store(on); }
    bool isWaitingForDisconnect() const { return waitsForDisconnect.load(); }
    void setWaitingForDisconnect(bool on) { waitsForDisconnect.store(on); }
    bool isWakeupRequested() const { return shouldWakeup.load(); }
    void setWakeupRequested(bool on) { shouldWakeup.store(on); }
    bool isDying() const { return dying.load(); }
    void setDying(bool on) { dying.store(on); }
    bool isShuttingDown() const { return shuttingDown.load(); }
    void setShuttingDown(bool on) { shuttingDown.store(on); }
    bool isJvmti11() const { return jvmti11.load(); }
    void setJvmti11(bool on) { jvmti11.store(on); }
    bool isIbmVm() const { return ibmVm.load(); }
    void setIbmVm(bool on) { ibmVm.store(on); }
    bool isJrockitVm() const { return jrockitVm.load(); }
    void setJrockitVm(bool on) { jrockitVm.store(on); }
    bool wasFrontendConnected() const { return frontendWasConnected.load(); }
    void setFrontendWasConnected(bool on) { frontendWasConnected.store(on); }
    long long startTime;
    std::string libraryLocation;
    std::string scriptDirName;
    std::string agentFileName;

    // Raw monitors; null until made.
    jrawMonitorID startupMonitor;
    jrawMonitorID heapMonitor;
    jrawMonitorID classMonitor;
    jrawMonitorID threadMonitor;
    jrawMonitorID sleepMonitor;
    jrawMonitorID deadThreadsMonitor;
    jrawMonitorID snapshotMonitor;
    // The four data locks over those raw monitors (over Java objects while
    // the recorder runs without JVMTI).
    MonitorSet monitors;
    // The data locks are the raw monitors from now on.
    void useRawMonitors() { monitors.setBackend(&rawMonitorBackend); }

    // The agent's Java classes (global references) and their members, looked
    // up once when the VM is initialised.
    jclass agentClass;
    jclass instrumentationCalleeClass;
    jmethodID agentInit;
    jfieldID agentVmIdentifier;
    jmethodID agentRegisterConnection;
    jmethodID agentGetAvailablePermGen;

    // Asks the VM for JVMTI 1.1, else 1.0. Without either, logs that JVMTI is
    // not present and ends the VM with status 1.
    void initializeInterface(JavaVM *javaVm);
    // Code 0 passes; otherwise "Could not initialize %s (code: %d). Aborting"
    // and the VM ends with status 1.
    void checkFatalError(const char *name, int code);
    // A system property through JVMTI; empty when absent.
    std::string getProperty(const char *name);
    // The JNI environment of the calling thread, null when it has none.
    JNIEnv *getJNIEnv();
    // A java.lang.Thread object named `name` for an agent thread.
    jthread createThreadObject(JNIEnv *env, const char *name);
    // Writes the embedded archive to a private temporary file ("jag") and
    // adds it to the boot class path. A file that cannot be made or written
    // aborts start-up; a refused add is logged and start-up goes on.
    void writeAgentArchive();
    // Makes the private script directory ("jscl"); aborts when it cannot.
    void initTempDir();
    // Looks up the agent's Java classes; a missing member is fatal.
    void lookupJavaClasses(JNIEnv *env);
    // Java-side controls. Each makes sure the Java references exist first
    // (looking them up with env if needed); a missing one is fatal.
    void enableTriggers(JNIEnv *env, bool on);
    // Asks the Java side for an HPROF dump. A local reference to the error
    // text, or null on success; the caller deletes it.
    jstring doHprofDump(const char *path, bool live, JNIEnv *env, bool flag);
    void registerConnection(JNIEnv *env, bool connected);
    // The triggers' global switch on the Java side.
    bool triggersEnabled(JNIEnv *env);
    // Bytes still free for class metadata, from the Java side; -1 unknown.
    long long getAvailablePermGen(JNIEnv *env);
    // Commands 76 and 77: the VM version and, once a front end may change
    // classes, the agent's state and the names of the classes it may rewrite,
    // then the class session's load information. `connectedBefore`: a front
    // end completed command 1 before on this agent.
    void handleCmdGetLoadInfo(DataWriter *writer, JNIEnv *env, bool connectedBefore, unsigned communicatorStatus);
    // Command 61: thread profiling on or off; the four monitor events follow
    // unless monitor profiling keeps them on. Nothing with
    // disable-thread-profiling.
    void setThreadProfiling(bool on, JNIEnv *env);
    // Monitor recording on or off; the monitor events run while thread or
    // monitor profiling wants them.
    void setMonitorProfiling(bool on, JNIEnv *env);
    // Starts the command loop, or lets the agent's Java thread take it.
    void initCommunication(JNIEnv *env);
    // At VM death: waits for a snapshot being saved, marks the agent dying
    // and removes the session's temporary files.
    void cleanup();
    // Removes the temporary archive; called when the library is unloaded.
    void finalCleanup();

private:
    // The four data locks as JVMTI raw monitors of this edge.
    class RawMonitorBackend : public MonitorSet::Backend {
    public:
        explicit RawMonitorBackend(LiveProfiling *edge) : edge(edge) {}
        void enter(int which) override;
        void exit(int which) override;

    private:
        jrawMonitorID monitorOf(int which) const;
        LiveProfiling *edge;
    };

    void switchMonitorEvents(bool on);
    void writeLoadedClassNames(DataWriter *writer, JNIEnv *env);

    std::atomic<bool> nowait;
    std::atomic<bool> offline;
    std::atomic<bool> jniInterception;
    std::atomic<bool> disableThreadProfiling;
    std::atomic<bool> threadProfiling;
    std::atomic<bool> monitorProfiling;
    std::atomic<bool> vmTelemetry;
    std::atomic<bool> configAtStartup;
    std::atomic<bool> javaCommThreadShouldEnter;
    std::atomic<bool> waitsForDisconnect;
    std::atomic<bool> shouldWakeup;
    std::atomic<bool> dying;
    std::atomic<bool> shuttingDown;
    std::atomic<bool> jvmti11;
    std::atomic<bool> ibmVm;
    std::atomic<bool> jrockitVm;
    // Set once a front end's connection has ended; the VM's start-up stops
    // waiting then even if it missed the moment the status changed.
    std::atomic<bool> frontendWasConnected;
    RawMonitorBackend rawMonitorBackend;
    LiveProfilingSession *liveProfilingSession;
    std::unique_ptr<CpuProfilingSession> cpuSession;
    std::unique_ptr<HeapProfilingSession> heapSession;
};

#endif
