// What the rooms of jvmpihost share: the command line's choices, the VM's
// model that the script builds, the real JVM inside the host, and the calls
// each room offers the others.
//
//   main.cpp         the command line; loads the agent, starts the JVM, plays the steps
//   Script.cpp       script reading: one step's words into the model and events
//   VmInterface.cpp  the profiler interface the agent holds, events posted to it, the dumps
//   RealJvm.cpp      the real JVM: start, stacks, class events, the agent's natives, running main
//   Threads.cpp      the scripted threads, attached to the real JVM, that events run on
#ifndef KVR_TOOLS_JVMPIHOST_JVMPIHOST_H
#define KVR_TOOLS_JVMPIHOST_JVMPIHOST_H

#include "jvmpi.h"

#include <jvmti.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// Scripted threads are numbered 1 to MAX_THREADS - 1.
const int MAX_THREADS = 64;

// What the command line chose.
struct HostOptions {
    bool noJvmpi = false;     // GetEnv refuses the profiler interface
    bool classEvents = false; // the real JVM's class loads reach the agent
    int failEnable = -1;      // EnableEvent of this type fails
    bool failThread = false;  // CreateSystemThread fails
    // Heap dumps come without data.
    bool noHeapDump = false;
    // Options the script passes on to the real JVM.
    std::vector<std::string> jvmOptions;
};
extern HostOptions hostOptions;

// A raw monitor the agent made, or one of the application's.
struct HostMonitor {
    std::string name;
    std::recursive_mutex lock;
    std::condition_variable_any changed;
};

struct ScriptedThread {
    jint status = JVMPI_THREAD_RUNNABLE;
    bool hasRun = true;
    std::vector<JVMPI_CallFrame> stack; // innermost first
};

struct ModelMethod {
    std::string name;
    std::string signature;
    jmethodID id;
};

struct ModelClass {
    std::string name;
    std::vector<ModelMethod> methods;
};

struct ModelMonitor {
    int owner = 0;
    std::vector<int> entering;
    std::vector<int> notified;
};

struct ModelObject {
    uintptr_t classId = 0;
    jint size = 0;
    jint isArray = 0;
};

// The VM's model; the agent's threads read it while the script runs. Every
// field but the scripted dumps is guarded by `lock`.
struct HostModel {
    std::mutex lock;
    ScriptedThread threads[MAX_THREADS];
    std::map<uintptr_t, ModelClass> classes;
    std::map<uintptr_t, uintptr_t> methodClasses;
    std::map<uintptr_t, ModelMonitor> monitors;
    // Objects by id, as the allocation, free and move steps leave them.
    std::map<uintptr_t, ModelObject> objects;
    // Bytes the script gives for the next heap or monitor dump, instead of the model's.
    std::mutex scriptedDumpLock;
    std::map<jint, std::vector<char>> scriptedDumps;
};
extern HostModel hostModel;

using EnterCommunication = void(JNICALL *)(JNIEnv *, jclass, jobject, jint);

// The real JVM inside the host, and the agent library it binds natives from.
struct RealJvm {
    JavaVM *vm = nullptr;
    // The env of the host's main thread in it.
    JNIEnv *mainEnv = nullptr;
    // The real JVM's stacks, for the call traces of threads that are not
    // scripted: the host's own thread (a global reference to its Thread) and
    // the calling thread.
    jvmtiEnv *stacksEnv = nullptr;
    jobject mainThread = nullptr;
    // The environment that raises the real JVM's class loads as events, and
    // the class ids the host makes for those classes.
    jvmtiEnv *classEventsEnv = nullptr;
    std::atomic<uintptr_t> nextClassId{0x7000000000ul};
    void *agentLibrary = nullptr;
    // The path the agent library was loaded from.
    std::string agentLibraryPath;
    // The agent's own communication native, which the host's wraps.
    EnterCommunication agentEnterCommunication = nullptr;
};
extern RealJvm realJvm;

// Logs an interface call or a host event on stdout as "host: TEXT".
void logCall(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Threads.cpp: the scripted threads.
// The name of the calling thread as its JVM knows it; "?" when it cannot tell.
std::string javaThreadName(JNIEnv *env);
// Runs `job` on scripted thread n (attached on first use) and waits for it.
void runOn(int n, const std::function<void()> &job);
JNIEnv *threadEnv(int n);
// The scripted thread number of an env, -1 for the host's main thread and others.
int threadNumber(JNIEnv *env);

// VmInterface.cpp: the profiler interface.
// Fills the interface table the agent's GetEnv hands out.
void fillTable();
// The JavaVM the agent's JVM_OnLoad gets: the profiler interface from GetEnv,
// everything else from the real JVM.
JavaVM *agentJavaVm();
// Delivers an event of `type` on the thread of `env` (the host's main thread
// when null) unless the agent disabled that type.
void post(jint type, JVMPI_Event *event, JNIEnv *env = nullptr);
void deliverClassLoad(uintptr_t classId, bool requested);
// Whether the agent takes events of `type` now (it has a NotifyEvent and enabled the type).
bool agentWants(jint type);
// Hands `event` to the agent's NotifyEvent on the calling thread, as is.
void notifyAgent(JVMPI_Event *event);
// CLASS_LOAD_HOOK with the class file `path`; the class the agent gives back
// goes to `given`. False (with a line) when the class cannot be read or the
// agent gives back none, or memory that is not the event's.
bool hookClass(const std::string &path, std::vector<unsigned char> *given);
// The agent's raw monitor named `name`; null when it made none.
HostMonitor *agentMonitor(const std::string &name);
// The application's raw monitor NAME (not one the agent created), made on first use.
HostMonitor *applicationMonitor(const std::string &name);
// DisableGC calls not yet balanced by EnableGC.
int gcDisabledCount();

// RealJvm.cpp: the real JVM.
// Starts the real JVM with `classPath`; false (and a message) when it cannot.
bool startJvm(const std::string &libjvm, const std::string &classPath);
// The JVMTI environment for the stacks of threads that are not scripted.
bool startStacks();
// The real stack, innermost first, of the host's own thread or of the
// calling thread; no frames for another thread.
void realCallTrace(JVMPI_CallTrace *trace, jint depth);
// The agent's Java class with the host's natives bound; null (and a message) when missing.
jclass agentClass(JNIEnv *env);
// The agent's Java class starts its communication thread in the real JVM.
bool startJavaCommunication();
// From now on the real JVM's class loads reach the agent.
bool startClassEvents();
// The host's own thread is announced once, before it first runs a
// program's main, as a VM announces its main thread.
void announceHostThread();
// The real JVM defines `bytes` as class `name` in the system class loader
// and runs its main with `arguments` on the thread of `env`.
bool runMain(JNIEnv *env, const std::string &name, const std::vector<unsigned char> &bytes, const std::vector<std::string> &arguments);
// The real JVM loads `name` (dotted or slashed) through its class path and
// runs its main.
bool loadAndRunMain(const std::string &name, const std::vector<std::string> &arguments);
// Scripted thread N calls the static void METHOD of CLASS, with TEXT as its
// one String argument when given.
bool callJavaStatic(int n, const std::string &className, const std::string &method, const std::string *text);

// Script.cpp: one step of the script; false (with a line) for a step that cannot play.
bool playStep(const std::string &step);

#endif
