#ifndef AGENT_LIVEPROFILING_H
#define AGENT_LIVEPROFILING_H

#include <jni.h>
#include <jvmti.h>
#include <string>

#include "MonitorSet.h"

class DataWriter;
class LiveProfilingSession;

// Process-wide state of tiagent and the one owner of JavaVM* and jvmtiEnv*.
// Everything below the binding reaches the VM through the session.
class LiveProfiling {
public:
    static LiveProfilingSession *liveProfilingSession;
    static JavaVM *vm;
    static jvmtiEnv *jvmti;

    static volatile bool nowait;
    static volatile bool offline;
    static volatile bool jniInterception;
    static volatile bool disableThreadProfiling;
    static volatile bool threadProfiling;
    static volatile bool monitorProfiling;
    static volatile bool vmTelemetry;
    static volatile bool configAtStartup;
    static volatile bool javaCommThreadShouldEnter;
    static volatile bool waitsForDisconnect;
    static volatile bool shouldWakeup;
    static volatile bool dying;
    static volatile bool shuttingDown;
    static volatile bool jvmti11;
    static volatile bool ibmVm;
    static volatile bool jrockitVm;
    static long long startTime;
    static std::string s_libraryLocation;
    static std::string scriptDirName;
    static std::string _agentFileName;

    // Raw monitors; null until made.
    static jrawMonitorID startupMonitor;
    static jrawMonitorID heapMonitor;
    static jrawMonitorID classMonitor;
    static jrawMonitorID threadMonitor;
    static jrawMonitorID sleepMonitor;
    static jrawMonitorID deadThreadsMonitor;
    static jrawMonitorID snapshotMonitor;
    // The four data locks over those raw monitors.
    static MonitorSet monitors;

    // The agent's Java classes (global references) and their members, looked
    // up once when the VM is initialised.
    static jclass agentClass;
    static jclass controllerClass;
    static jclass triggerManagerClass;
    static jclass instrumentationCalleeClass;
    static jmethodID agentInit;
    static jfieldID agentVmIdentifier;
    static jmethodID controllerEnableTriggers;
    static jmethodID controllerEnableTriggerGroup;
    static jmethodID agentTriggerHprofDump;
    static jmethodID agentRegisterConnection;
    static jmethodID agentGetAvailablePermGen;
    static jfieldID triggerManagerGlobalEnabled;
    // Set once a front end's connection has ended; the VM's start-up stops
    // waiting then even if it missed the moment the status changed.
    static volatile bool frontendWasConnected;

    // Asks the VM for JVMTI 1.1, else 1.0. Without either, logs that JVMTI is
    // not present and exits with status 1.
    static void initializeInterface(JavaVM *javaVm);
    // Code 0 passes; otherwise "Could not initialize %s (code: %d). Aborting"
    // and exit status 1.
    static void checkFatalError(const char *name, int code);
    // A system property through JVMTI; empty when absent.
    static std::string getProperty(const char *name);
    // The JNI environment of the calling thread, null when it has none.
    static JNIEnv *getJNIEnv();
    // A java.lang.Thread object named `name` for an agent thread.
    static jthread createThreadObject(JNIEnv *env, const char *name);
    // Writes the embedded archive to a private temporary file ("jag") and
    // adds it to the boot class path. A file that cannot be made or written
    // aborts start-up; a refused add is logged and start-up goes on.
    static void writeAgentArchive();
    // Makes the private script directory ("jscl"); aborts when it cannot.
    static void initTempDir();
    // Looks up the agent's Java classes; a missing member is fatal.
    static void lookupJavaClasses(JNIEnv *env);
    // Java-side controls. Each makes sure the Java references exist first
    // (looking them up with env if needed); a missing one is fatal.
    static void enableTriggers(JNIEnv *env, bool on);
    static void enableTriggerGroup(bool on, const char *name, JNIEnv *env);
    // Asks the Java side for an HPROF dump. A local reference to the error
    // text, or null on success; the caller deletes it.
    static jstring doHprofDump(const char *path, bool live, JNIEnv *env, bool flag);
    static void registerConnection(JNIEnv *env, bool connected);
    // The triggers' global switch on the Java side.
    static bool triggersEnabled(JNIEnv *env);
    // Bytes still free for class metadata, from the Java side; -1 unknown.
    static long long getAvailablePermGen(JNIEnv *env);
    // Commands 76 and 77: the VM version and, once a front end may change
    // classes, the agent's state and the names of the classes it may rewrite,
    // then the class session's load information. `connectedBefore`: a front
    // end completed command 1 before on this agent.
    static void handleCmdGetLoadInfo(DataWriter *writer, JNIEnv *env, bool connectedBefore, unsigned communicatorStatus);
    // Command 61: thread profiling on or off; the four monitor events follow
    // unless monitor profiling keeps them on. Nothing with
    // disable-thread-profiling.
    static void setThreadProfiling(bool on, JNIEnv *env);
    // Monitor recording on or off; the monitor events run while thread or
    // monitor profiling wants them.
    static void setMonitorProfiling(bool on, JNIEnv *env);
    // Starts the command loop, or lets the agent's Java thread take it.
    static void initCommunication(JNIEnv *env);
    // At VM death: waits for a snapshot being saved, marks the agent dying
    // and removes the session's temporary files.
    static void cleanup();
    // Removes the temporary archive; called when the library is unloaded.
    static void finalCleanup();
};

#endif
