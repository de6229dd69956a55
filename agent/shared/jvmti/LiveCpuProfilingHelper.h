#ifndef AGENT_LIVECPUPROFILINGHELPER_H
#define AGENT_LIVECPUPROFILINGHELPER_H

#include <jni.h>
#include <jvmti.h>

class CpuProfilingSession;
class LiveProfilingSession;
class LiveSamplerSession;
class LiveThreadManager;

// The JVMTI side of CPU recording: one CpuProfilingSession for the VM, one
// thread manager per Java thread (kept in the thread's JVMTI local storage),
// the thread start and end events, and the VM's clock and stacks for the
// engine. The hooks of instrumented code reach the session through the
// natives of InstrumentationCallee.
class LiveCpuProfilingHelper {
public:
    // Made once at start-up, before events are enabled, and handed to the
    // session's VM edge.
    static void init(LiveProfilingSession *session, int stackSize);
    // The VM edge's CPU session; null before init.
    static CpuProfilingSession *getSession();
    // The calling thread's manager; made when `create` and the thread has none.
    static LiveThreadManager *getCurrentThreadManager(JNIEnv *env, bool create);
    // Agent threads are never profiled.
    static void ignoreCurrentThread(JNIEnv *env);

    static void JNICALL ovThreadStart(jvmtiEnv *jvmti, JNIEnv *env, jthread thread);
    // A thread that ran before the agent attached gets its manager as if it
    // had started now; a thread that has one keeps it. Returns the manager,
    // null when the VM refuses the thread. Called under the thread lock.
    static LiveThreadManager *attachRegisterThread(JNIEnv *env, jthread running);
    // Monitor events: time blocked on and waiting for Java monitors.
    static void JNICALL ovMonitorContendedEnter(jvmtiEnv *jvmti, JNIEnv *env, jthread thread, jobject object);
    static void JNICALL ovMonitorContendedEntered(jvmtiEnv *jvmti, JNIEnv *env, jthread thread, jobject object);
    static void JNICALL ovMonitorWait(jvmtiEnv *jvmti, JNIEnv *env, jthread thread, jobject object, jlong timeout);
    static void JNICALL ovMonitorWaited(jvmtiEnv *jvmti, JNIEnv *env, jthread thread, jobject object, jboolean timedOut);
    // A sleep of the calling thread begins or ends (Thread.sleep's wrapper).
    static void sleepEnter(JNIEnv *env);
    static void sleepExit(JNIEnv *env);
    static void JNICALL ovThreadEnd(jvmtiEnv *jvmti, JNIEnv *env, jthread thread);
    // Starts the sampler thread "_orvane_native_sampler" once (thread
    // status every `intervalMs`); false while the VM cannot run it yet.
    static bool startSampler(int intervalMs);
    // The sampler ends after its current pass.
    static void stopSampler();
    // The running sampler; null before startSampler.
    static LiveSamplerSession *getSampler();
};

// The controller API's operations (ControllerImpl natives), callable from
// any application thread.
void startCPURecording(bool reset);
void stopCPURecording();
void startCallTracer(int cap, bool filtered, bool restart);
void stopCallTracer();
void startMethodStatsRecording();
void stopMethodStatsRecording();
void triggerThreadDump();

#endif
