#ifndef AGENT_JVMPI_PIPROFILING_H
#define AGENT_JVMPI_PIPROFILING_H

#include <atomic>

#include "VmEnd.h"
#include "jvmpi.h"

class PiProfilingSession;

// The VM edge of piagent: the profiler interface, the agent's raw monitors,
// the life-cycle flags and the native communication thread.
class PiProfiling {
public:
    static JVMPI_Interface *g_profilingInterface;

    static JVMPI_RawMonitor _heapMonitor;
    static JVMPI_RawMonitor _classMonitor;
    static JVMPI_RawMonitor _threadMonitor;
    static JVMPI_RawMonitor _sleepMonitor;
    static JVMPI_RawMonitor _deadThreadsMonitor;
    static JVMPI_RawMonitor _snapshotMonitor;

    static std::atomic<bool> shuttingDown;
    static std::atomic<bool> waitsForDisconnect;
    static std::atomic<bool> shouldWakeup;
    static std::atomic<bool> javaCommThreadShouldEnter;
    static std::atomic<bool> dying;
    static long long startTime;

    // The one live session; null before JVM_OnLoad.
    static PiProfilingSession *session;

    // Fetches the profiler interface from the VM; true when it is there.
    static bool initializeInterface(JavaVM *vm);
    // The VM the agent was loaded into.
    static JavaVM *javaVm;
    // The calling thread's JNIEnv* (the VM's name of the thread); null for
    // a thread the VM does not know.
    static JNIEnv *currentEnv();
    // Creates the agent's raw monitors, in their fixed order.
    static void createMonitors();
    // At VM initialisation: starts the native communication thread and
    // waits for the front end.
    static void initCommunication(JNIEnv *env);
    static void comThreadCallback(void *arg);
    // Starts the sampler thread; aborts when the VM cannot make it.
    static void initSampler(JNIEnv *env);
    static void samplerThreadCallback(void *arg);
    // At VM shut-down without a front end.
    static void cleanup();
    // The one place the agent ends the process: logs the reason's closing
    // line where it has one (the lines before it are the caller's) and ends
    // with the reason's status (VmEnd.h).
    [[noreturn]] static void endVm(VmEnd reason);
};

#endif
