// jvmpihost plays a VM with the profiler interface for piagent: it loads the
// agent library, calls JVM_OnLoad with a JavaVM whose GetEnv hands out the
// interface, then plays the scripted events. Every interface call the agent
// makes is logged on stdout as "host: <call> <arguments>".
//
//   jvmpihost LIBRARY [--options TEXT] [--no-jvmpi] [--fail-enable EVENT]
//             [--fail-thread] [--no-heap-dump] [--class-events] --jvm CLASSPATH [--libjvm PATH]
//             [--jvm-option TEXT] [STEP...]
// The host first starts a real JVM (libjvm loaded at run time) with CLASSPATH,
// and every JNI function but the profiler interface's GetEnv reaches it: the
// host's main thread and each scripted thread are threads attached to that
// JVM, named by their real JNIEnv, and a scripted thread's events are
// delivered on that thread.
// Steps (numbers may be hex with 0x; N is a scripted thread, 1 to 63; event
// types, sizes, statuses and lines are at most 2147483647; a step
// with a number that is none, or a thread out of range, is refused with a
// line and fails the run):
//   init-done, shut-down                 JVM_INIT_DONE, JVM_SHUT_DOWN
//   event:TYPE                           an event of that type with no payload
//   raw-contend:NAME                     RAW_MONITOR_CONTENDED_ENTER on the agent's monitor NAME
//   raw-enter:N:NAME raw-entered:N:NAME  RAW_MONITOR_CONTENDED_ENTER/ENTERED of thread N on the
//                                        application's raw monitor NAME
//   thread:N:NAME[:GROUP]                THREAD_START of thread N
//   thread-end:N                         THREAD_END
//   class:ID:NAME[:METHOD/SIG=MID,...]   CLASS_LOAD; the class joins the host's model
//   quiet-class:ID:NAME[:...]            the class joins the model without an event
//   unload:ID                            CLASS_UNLOAD; the class leaves the host's model
//   enter:N:MID  enter2:N:MID:OBJ  exit:N:MID   method events
//   alloc:N:OBJ:CLASSID:SIZE[:ISARRAY]  free:OBJ  move:OLD:NEW   object events (a class
//                                        object that moves re-keys its class in the model)
//   contend:N:OBJ contended:N:OBJ wait:N:OBJ waited:N:OBJ         monitor events (thread N's
//                                        status follows: blocked, runnable, waiting, runnable)
//   status:N:VALUE  hasrun:N:0|1  stack:N:MID@LINE/...  (innermost first)
//   monitor:OBJ:OWNER:N/N...:N/N...     a monitor of the model's monitor dumps
//                                        (threads waiting to enter, to be notified)
//   heap-bytes:HEX  monitor-bytes:HEX    the next heap or monitor dump delivers exactly these
//                                        bytes (hex pairs) instead of the model's
//   sleep:MS (at most 600000)  await:FILE (waits for FILE to exist, at most 10 minutes)
//   mark:TEXT (logs it)
//   java-comm                            the agent's Java class starts its communication thread
//   java:N:CLASS:METHOD[:TEXT]           thread N calls the static void METHOD of CLASS (with
//                                        TEXT as its String argument): "host: java N CLASS.METHOD returned"
//   hook:IN:OUT                          CLASS_LOAD_HOOK with the class file IN; the class the
//                                        agent gives back goes to OUT ("host: hook same|new LENGTH";
//                                        "foreign" for new bytes not from the event's malloc_f)
//   main:IN:NAME[:ARG/ARG...]            the same hook with IN; then the real JVM defines the
//                                        class the agent gave back as NAME in the system class
//                                        loader and runs its main with the arguments
//   main-on:N:IN:NAME[:ARG/ARG...]       the same, with scripted thread N running main
//   run:NAME[:ARG/ARG...]                the real JVM loads NAME from its class path (with
//                                        --class-events the agent sees it load) and runs its main
// Before the host's own thread first runs a program's main (main, run), it is announced
// with THREAD_START under its Java name ("main"), as a VM announces its main thread.
// GetCallTrace gives a scripted thread its scripted stack, and the host's own thread (and
// the calling thread, when it is none of the scripted ones) its real stack in the JVM, with
// the lines of the frames (-1 where the JVM knows none). CreateSystemThread makes a daemon
// thread of the JVM with a JNIEnv, as a VM's system threads are its own.
// --class-events: the classes the real JVM loads from then on raise CLASS_LOAD_HOOK (the
// agent's bytes are what the JVM defines) and CLASS_LOAD, when the agent enabled them; the
// natives of the agent's hook class are bound to the agent library. --jvm-option TEXT
// passes an option to the real JVM (repeatable).
// A scripted event of a type the agent disabled again (after enabling it or
// not) is not delivered: "host: event TYPE disabled".
// RequestEvent 42 delivers the model's class at once as a requested event,
// 59 the model's monitor dump, 37 a heap dump of the model's classes and
// objects.
#include "jvmpi.h"

#include <jvmti.h>

#include <atomic>
#include <chrono>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct HostMonitor {
    std::string name;
    std::recursive_mutex lock;
    std::condition_variable_any changed;
};

bool noJvmpi = false;
bool classEvents = false;
int failEnable = -1;
bool failThread = false;
std::atomic<int> gcDisabled(0);
std::mutex storageLock;
std::map<JNIEnv *, void *> storage;
std::mutex monitorsLock;
std::vector<HostMonitor *> monitors;
JVMPI_Interface table;
void *agentLibrary = nullptr;

// Scripted threads are numbered 1 to MAX_THREADS - 1.
const int MAX_THREADS = 64;
// The longest sleep step (ms) and how often await looks for its file (every 10 ms: 10 minutes).
const uintptr_t MAX_SLEEP_MS = 600000;
const int AWAIT_POLLS = 60000;

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

// The VM's model; the agent's threads read it while the script runs.
std::mutex modelLock;
ScriptedThread threads[MAX_THREADS];
std::map<uintptr_t, ModelClass> classes;
std::map<uintptr_t, uintptr_t> methodClasses;
std::map<uintptr_t, ModelMonitor> modelMonitors;

struct ModelObject {
    uintptr_t classId = 0;
    jint size = 0;
    jint isArray = 0;
};
// Objects by id, as the allocation, free and move steps leave them.
std::map<uintptr_t, ModelObject> objects;

void logCall(const char *format, ...) __attribute__((format(printf, 1, 2)));
void logCall(const char *format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    printf("host: %s\n", text);
    fflush(stdout);
}

// The real JVM and the env of the host's main thread in it.
JavaVM *realVm = nullptr;
JNIEnv *realMainEnv = nullptr;

// A scripted thread attached to the real JVM: it runs the jobs the script
// gives it, one at a time, while the script waits.
struct AttachedThread {
    std::mutex lock;
    std::condition_variable changed;
    JNIEnv *env = nullptr;
    std::function<void()> job;
};
std::mutex attachedLock;
AttachedThread *attached[MAX_THREADS];

// The name of the calling thread as its JVM knows it; "?" when it cannot tell.
std::string javaThreadName(JNIEnv *env)
{
    std::string name = "?";
    jclass threadClass = env->FindClass("java/lang/Thread");
    jmethodID current = threadClass != nullptr ? env->GetStaticMethodID(threadClass, "currentThread", "()Ljava/lang/Thread;") : nullptr;
    jmethodID getName = threadClass != nullptr ? env->GetMethodID(threadClass, "getName", "()Ljava/lang/String;") : nullptr;
    jobject thread = current != nullptr ? env->CallStaticObjectMethod(threadClass, current) : nullptr;
    jstring text = thread != nullptr && getName != nullptr ? static_cast<jstring>(env->CallObjectMethod(thread, getName)) : nullptr;
    if (text != nullptr) {
        const char *chars = env->GetStringUTFChars(text, nullptr);
        if (chars != nullptr) {
            name = chars;
            env->ReleaseStringUTFChars(text, chars);
        }
    }
    if (env->ExceptionCheck())
        env->ExceptionClear();
    return name;
}

void attachedLoop(int n, AttachedThread *thread)
{
    std::string name = "scripted-" + std::to_string(n);
    JavaVMAttachArgs args{JNI_VERSION_1_8, &name[0], nullptr};
    JNIEnv *env = nullptr;
    if (realVm->AttachCurrentThreadAsDaemon(reinterpret_cast<void **>(&env), &args) != JNI_OK || env == nullptr) {
        fprintf(stderr, "jvmpihost: thread %d cannot attach to the JVM\n", n);
        fflush(stderr);
        _exit(2);
    }
    logCall("thread %d attached as Java thread %s", n, javaThreadName(env).c_str());
    std::unique_lock<std::mutex> held(thread->lock);
    thread->env = env;
    thread->changed.notify_all();
    for (;;) {
        thread->changed.wait(held, [thread] { return static_cast<bool>(thread->job); });
        thread->job();
        thread->job = nullptr;
        thread->changed.notify_all();
    }
}

// Scripted thread n, attached on first use.
AttachedThread *attachedThread(int n)
{
    std::lock_guard<std::mutex> guard(attachedLock);
    if (attached[n] == nullptr) {
        AttachedThread *thread = new AttachedThread();
        std::thread(attachedLoop, n, thread).detach();
        std::unique_lock<std::mutex> held(thread->lock);
        thread->changed.wait(held, [thread] { return thread->env != nullptr; });
        attached[n] = thread;
    }
    return attached[n];
}

// Runs `job` on scripted thread n and waits for it.
void runOn(int n, const std::function<void()> &job)
{
    AttachedThread *thread = attachedThread(n);
    std::unique_lock<std::mutex> held(thread->lock);
    thread->job = job;
    thread->changed.notify_all();
    thread->changed.wait(held, [thread] { return !thread->job; });
}

JNIEnv *threadEnv(int n)
{
    return attachedThread(n)->env;
}

// The scripted thread number of an env, -1 for the host's main thread and others.
int threadNumber(JNIEnv *env)
{
    std::lock_guard<std::mutex> guard(attachedLock);
    for (int n = 1; n < MAX_THREADS; n++)
        if (attached[n] != nullptr && attached[n]->env == env)
            return n;
    return -1;
}

// The event types the agent enabled (the real JVM's class events ask), and
// those it disabled again: scripted events are played whether or not the
// agent enabled them yet, but not once it switched them off.
std::mutex enabledLock;
std::set<jint> enabledEvents;
std::set<jint> disabledEvents;

bool isDisabled(jint type)
{
    std::lock_guard<std::mutex> guard(enabledLock);
    return disabledEvents.count(type) != 0;
}

bool isEnabled(jint type)
{
    std::lock_guard<std::mutex> guard(enabledLock);
    return enabledEvents.count(type) != 0;
}

jint enableEvent(jint type, void *)
{
    logCall("EnableEvent %d", type);
    if (type == failEnable)
        return JVMPI_FAIL;
    std::lock_guard<std::mutex> guard(enabledLock);
    enabledEvents.insert(type);
    disabledEvents.erase(type);
    return JVMPI_SUCCESS;
}

jint disableEvent(jint type, void *)
{
    logCall("DisableEvent %d", type);
    std::lock_guard<std::mutex> guard(enabledLock);
    enabledEvents.erase(type);
    disabledEvents.insert(type);
    return JVMPI_SUCCESS;
}

void deliverClassLoad(uintptr_t classId, bool requested);
void deliverMonitorDump();
void deliverHeapDump(jint level);

jint requestEvent(jint type, void *arg)
{
    logCall("RequestEvent %d", type);
    if (type == JVMPI_EVENT_CLASS_LOAD) {
        deliverClassLoad(reinterpret_cast<uintptr_t>(arg), true);
        return JVMPI_SUCCESS;
    }
    if (type == JVMPI_EVENT_MONITOR_DUMP) {
        deliverMonitorDump();
        return JVMPI_SUCCESS;
    }
    if (type == JVMPI_EVENT_HEAP_DUMP && arg != nullptr) {
        deliverHeapDump(static_cast<JVMPI_HeapDumpArg *>(arg)->heap_dump_level);
        return JVMPI_SUCCESS;
    }
    return JVMPI_NOT_AVAILABLE;
}

void realCallTrace(JVMPI_CallTrace *trace, jint depth);

void getCallTrace(JVMPI_CallTrace *trace, jint depth)
{
    int n = threadNumber(trace->env_id);
    logCall("GetCallTrace %d", n);
    trace->num_frames = 0;
    if (n < 0) {
        realCallTrace(trace, depth);
        return;
    }
    std::lock_guard<std::mutex> guard(modelLock);
    for (const JVMPI_CallFrame &frame : threads[n].stack)
        if (trace->num_frames < depth)
            trace->frames[trace->num_frames++] = frame;
}

void profilerExit(jint code)
{
    logCall("ProfilerExit %d", code);
    fflush(stdout);
    _exit(code);
}

JVMPI_RawMonitor rawMonitorCreate(char *name)
{
    logCall("RawMonitorCreate %s", name);
    HostMonitor *monitor = new HostMonitor();
    monitor->name = name;
    std::lock_guard<std::mutex> guard(monitorsLock);
    monitors.push_back(monitor);
    return reinterpret_cast<JVMPI_RawMonitor>(monitor);
}

HostMonitor *hostMonitor(JVMPI_RawMonitor id)
{
    return reinterpret_cast<HostMonitor *>(id);
}

// The application's raw monitor NAME (not one the agent created), made on first use.
HostMonitor *applicationMonitor(const std::string &name)
{
    static std::map<std::string, HostMonitor *> made;
    std::lock_guard<std::mutex> guard(monitorsLock);
    HostMonitor *&monitor = made[name];
    if (monitor == nullptr) {
        monitor = new HostMonitor();
        monitor->name = name;
    }
    return monitor;
}

void rawMonitorEnter(JVMPI_RawMonitor id)
{
    hostMonitor(id)->lock.lock();
}

void rawMonitorExit(JVMPI_RawMonitor id)
{
    hostMonitor(id)->lock.unlock();
}

void rawMonitorWait(JVMPI_RawMonitor id, jlong ms)
{
    HostMonitor *monitor = hostMonitor(id);
    std::unique_lock<std::recursive_mutex> held(monitor->lock, std::adopt_lock);
    if (ms > 0)
        monitor->changed.wait_for(held, std::chrono::milliseconds(ms));
    else
        monitor->changed.wait(held);
    held.release();
}

void rawMonitorNotifyAll(JVMPI_RawMonitor id)
{
    hostMonitor(id)->changed.notify_all();
}

void rawMonitorDestroy(JVMPI_RawMonitor id)
{
    logCall("RawMonitorDestroy %s", hostMonitor(id)->name.c_str());
}

jlong currentThreadCpuTime()
{
    return 0;
}

void suspendThread(JNIEnv *env)
{
    logCall("SuspendThread %d", threadNumber(env));
}

void resumeThread(JNIEnv *env)
{
    logCall("ResumeThread %d", threadNumber(env));
}

jint threadStatus(JNIEnv *env)
{
    int n = threadNumber(env);
    std::lock_guard<std::mutex> guard(modelLock);
    return n >= 0 ? threads[n].status : JVMPI_THREAD_RUNNABLE;
}

jboolean threadHasRun(JNIEnv *env)
{
    int n = threadNumber(env);
    logCall("ThreadHasRun %d", n);
    std::lock_guard<std::mutex> guard(modelLock);
    return n < 0 || threads[n].hasRun ? JNI_TRUE : JNI_FALSE;
}

jint createSystemThread(char *name, jint priority, void (*f)(void *))
{
    logCall("CreateSystemThread %s %d", name, priority);
    if (failThread)
        return JVMPI_FAIL;
    // A VM's system thread is a daemon thread of that VM, with a JNIEnv of its own.
    std::string threadName = name != nullptr ? name : "system";
    std::thread([f, threadName] {
        std::string copy = threadName;
        JavaVMAttachArgs args{JNI_VERSION_1_8, &copy[0], nullptr};
        JNIEnv *env = nullptr;
        if (realVm != nullptr && realVm->AttachCurrentThreadAsDaemon(reinterpret_cast<void **>(&env), &args) == JNI_OK)
            logCall("system thread %s attached to the JVM", threadName.c_str());
        else
            fprintf(stderr, "jvmpihost: system thread %s cannot attach to the JVM\n", threadName.c_str());
        f(nullptr);
        if (env != nullptr)
            realVm->DetachCurrentThread();
    }).detach();
    return JVMPI_SUCCESS;
}

void setThreadLocalStorage(JNIEnv *env, void *ptr)
{
    std::lock_guard<std::mutex> guard(storageLock);
    storage[env] = ptr;
}

void *threadLocalStorage(JNIEnv *env)
{
    std::lock_guard<std::mutex> guard(storageLock);
    auto found = storage.find(env);
    return found != storage.end() ? found->second : nullptr;
}

void disableGc()
{
    logCall("DisableGC");
    ++gcDisabled;
}

void enableGc()
{
    logCall("EnableGC");
    --gcDisabled;
}

void runGc()
{
    logCall("RunGC");
}

jobjectID threadObject(JNIEnv *)
{
    return nullptr;
}

jobjectID methodClass(jmethodID method)
{
    logCall("GetMethodClass 0x%lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(method)));
    std::lock_guard<std::mutex> guard(modelLock);
    auto found = methodClasses.find(reinterpret_cast<uintptr_t>(method));
    return found != methodClasses.end() ? reinterpret_cast<jobjectID>(found->second) : nullptr;
}

jint JNICALL getEnv(JavaVM *, void **penv, jint version)
{
    logCall("GetEnv 0x%x", static_cast<unsigned>(version));
    if (version == JVMPI_VERSION_1 && !noJvmpi) {
        *penv = &table;
        return JNI_OK;
    }
    if (version != JVMPI_VERSION_1)
        return realVm->GetEnv(penv, version);
    *penv = nullptr;
    return JNI_EVERSION;
}

// The agent's JavaVM forwards everything but the profiler interface to the real JVM.
jint JNICALL destroyJavaVm(JavaVM *)
{
    return realVm->DestroyJavaVM();
}

jint JNICALL attachCurrentThread(JavaVM *, void **penv, void *args)
{
    return realVm->AttachCurrentThread(penv, args);
}

jint JNICALL attachCurrentThreadAsDaemon(JavaVM *, void **penv, void *args)
{
    return realVm->AttachCurrentThreadAsDaemon(penv, args);
}

jint JNICALL detachCurrentThread(JavaVM *)
{
    return realVm->DetachCurrentThread();
}

const char DEFAULT_LIBJVM[] = "/usr/lib/jvm/java-17-openjdk-amd64/lib/server/libjvm.so";

// Options the script passes on to the real JVM.
std::vector<std::string> jvmOptions;

// Starts the real JVM with `classPath`; false (and a message) when it cannot.
bool startJvm(const std::string &libjvm, const std::string &classPath)
{
    void *library = dlopen(libjvm.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        fprintf(stderr, "jvmpihost: cannot load the JVM: %s\n", dlerror());
        return false;
    }
    using Create = jint (*)(JavaVM **, void **, void *);
    Create create = reinterpret_cast<Create>(dlsym(library, "JNI_CreateJavaVM"));
    if (create == nullptr) {
        fprintf(stderr, "jvmpihost: no JNI_CreateJavaVM in %s\n", libjvm.c_str());
        return false;
    }
    std::string classPathOption = "-Djava.class.path=" + classPath;
    std::string perfData = "-XX:-UsePerfData";
    std::vector<JavaVMOption> options = {{&classPathOption[0], nullptr}, {&perfData[0], nullptr}};
    for (std::string &option : jvmOptions)
        options.push_back(JavaVMOption{&option[0], nullptr});
    JavaVMInitArgs args;
    args.version = JNI_VERSION_1_8;
    args.nOptions = static_cast<jint>(options.size());
    args.options = options.data();
    args.ignoreUnrecognized = JNI_FALSE;
    jint created = create(&realVm, reinterpret_cast<void **>(&realMainEnv), &args);
    if (created != JNI_OK || realVm == nullptr) {
        fprintf(stderr, "jvmpihost: the JVM did not start (%d)\n", created);
        realVm = nullptr;
        return false;
    }
    logCall("JVM started");
    return true;
}

// The real JVM's stacks, for the call traces of threads that are not
// scripted: the host's own thread (a global reference to its Thread) and
// the calling thread.
jvmtiEnv *stacksEnv = nullptr;
jobject realMainThread = nullptr;

bool startStacks()
{
    if (realVm->GetEnv(reinterpret_cast<void **>(&stacksEnv), JVMTI_VERSION_1_2) != JNI_OK || stacksEnv == nullptr) {
        fprintf(stderr, "jvmpihost: the JVM gives no JVMTI environment for stacks\n");
        return false;
    }
    jvmtiCapabilities capabilities;
    memset(&capabilities, 0, sizeof capabilities);
    capabilities.can_get_line_numbers = 1;
    if (stacksEnv->AddCapabilities(&capabilities) != JVMTI_ERROR_NONE) {
        fprintf(stderr, "jvmpihost: the JVM gives no line numbers\n");
        return false;
    }
    JNIEnv *env = realMainEnv;
    jclass threadClass = env->FindClass("java/lang/Thread");
    jmethodID current = threadClass != nullptr ? env->GetStaticMethodID(threadClass, "currentThread", "()Ljava/lang/Thread;") : nullptr;
    jobject thread = current != nullptr ? env->CallStaticObjectMethod(threadClass, current) : nullptr;
    realMainThread = thread != nullptr ? env->NewGlobalRef(thread) : nullptr;
    if (realMainThread == nullptr) {
        env->ExceptionClear();
        fprintf(stderr, "jvmpihost: the host's own thread has no Thread object\n");
        return false;
    }
    return true;
}

// The source line of `location` in `method`; -1 when the JVM knows none.
jint lineOf(jmethodID method, jlocation location)
{
    jint count = 0;
    jvmtiLineNumberEntry *table = nullptr;
    if (location < 0 || stacksEnv->GetLineNumberTable(method, &count, &table) != JVMTI_ERROR_NONE)
        return -1;
    jint line = -1;
    jlocation best = -1;
    for (jint i = 0; i < count; i++) {
        if (table[i].start_location <= location && table[i].start_location > best) {
            best = table[i].start_location;
            line = table[i].line_number;
        }
    }
    stacksEnv->Deallocate(reinterpret_cast<unsigned char *>(table));
    return line;
}

// The real stack, innermost first, of the host's own thread or of the
// calling thread; no frames for another thread.
void realCallTrace(JVMPI_CallTrace *trace, jint depth)
{
    if (stacksEnv == nullptr || depth <= 0)
        return;
    JNIEnv *self = nullptr;
    // Every thread that asks is one of the JVM's: the scripted ones, the
    // host's own and the agent's system threads, attached when they were made.
    if (realVm->GetEnv(reinterpret_cast<void **>(&self), JNI_VERSION_1_8) != JNI_OK)
        return;
    jthread thread = nullptr; // the calling thread
    if (trace->env_id == realMainEnv)
        thread = static_cast<jthread>(realMainThread);
    else if (trace->env_id != self || self == nullptr)
        return;
    std::vector<jvmtiFrameInfo> frames(static_cast<size_t>(depth));
    jint count = 0;
    if (stacksEnv->GetStackTrace(thread, 0, depth, frames.data(), &count) != JVMTI_ERROR_NONE)
        return;
    for (jint i = 0; i < count; i++)
        trace->frames[trace->num_frames++] = JVMPI_CallFrame{lineOf(frames[i].method, frames[i].location), frames[i].method};
}

// The natives of the agent library the VM binds for the agent's Java class,
// as a VM binds those of a library it loaded itself. The communication native
// goes through the host first, which logs the Java thread that enters it.
using EnterCommunication = void(JNICALL *)(JNIEnv *, jclass, jobject, jint);
EnterCommunication agentEnterCommunication = nullptr;

void JNICALL hostEnterCommunication(JNIEnv *env, jclass type, jobject communicator, jint port)
{
    std::string name = javaThreadName(env);
    logCall("Java thread %s enters the agent", name.c_str());
    agentEnterCommunication(env, type, communicator, port);
    logCall("Java thread %s left the agent", name.c_str());
}

// The path the agent library was loaded from.
std::string agentLibraryPath;

// The JVM loads the agent library for the class loader of the agent's
// classes, as a VM does with a library it loaded itself, and then binds
// every other native of those classes by its name. (Runtime.load0 names
// the loader's class; JNI calls it without access checks.)
bool loadIntoJvm(JNIEnv *env, jclass agent)
{
    jclass runtimeClass = env->FindClass("java/lang/Runtime");
    jmethodID getRuntime = runtimeClass != nullptr ? env->GetStaticMethodID(runtimeClass, "getRuntime", "()Ljava/lang/Runtime;") : nullptr;
    jmethodID load0 = runtimeClass != nullptr ? env->GetMethodID(runtimeClass, "load0", "(Ljava/lang/Class;Ljava/lang/String;)V") : nullptr;
    jobject runtime = getRuntime != nullptr ? env->CallStaticObjectMethod(runtimeClass, getRuntime) : nullptr;
    jstring path = env->NewStringUTF(agentLibraryPath.c_str());
    if (runtime == nullptr || load0 == nullptr || path == nullptr)
        return false;
    env->CallVoidMethod(runtime, load0, agent, path);
    return !env->ExceptionCheck();
}

// The agent's Java class with the host's natives bound; null (and a message) when missing.
jclass agentClass(JNIEnv *env)
{
    jclass type = env->FindClass("com/orvane/agent/Agent");
    if (type == nullptr) {
        env->ExceptionDescribe();
        fprintf(stderr, "jvmpihost: the agent's Java class is not on the class path\n");
        return nullptr;
    }
    static bool bound = false;
    if (!bound) {
        agentEnterCommunication = reinterpret_cast<EnterCommunication>(dlsym(agentLibrary, "Java_com_orvane_agent_Agent_enterCommunication"));
        if (agentEnterCommunication == nullptr) {
            fprintf(stderr, "jvmpihost: no Java communication entry in the agent\n");
            return nullptr;
        }
        char name[] = "enterCommunication";
        char signature[] = "(Ljava/lang/Object;I)V";
        JNINativeMethod natives[] = {{name, signature, reinterpret_cast<void *>(hostEnterCommunication)}};
        if (env->RegisterNatives(type, natives, 1) != JNI_OK || !loadIntoJvm(env, type)) {
            env->ExceptionDescribe();
            fprintf(stderr, "jvmpihost: cannot bind the agent's natives\n");
            return nullptr;
        }
        bound = true;
    }
    return type;
}

// The agent's Java class starts its communication thread in the real JVM.
bool startJavaCommunication()
{
    JNIEnv *env = realMainEnv;
    jclass type = agentClass(env);
    if (type == nullptr)
        return false;
    jmethodID start = env->GetStaticMethodID(type, "startCommunicationThread", "()V");
    if (start == nullptr) {
        env->ExceptionDescribe();
        fprintf(stderr, "jvmpihost: the agent's Java class cannot start its communication thread\n");
        return false;
    }
    env->CallStaticVoidMethod(type, start);
    if (env->ExceptionCheck()) {
        env->ExceptionDescribe();
        return false;
    }
    logCall("Java communication thread started from Java");
    return true;
}

void fillTable()
{
    memset(&table, 0, sizeof table);
    table.version = JVMPI_VERSION_1;
    table.EnableEvent = enableEvent;
    table.DisableEvent = disableEvent;
    table.RequestEvent = requestEvent;
    table.GetCallTrace = getCallTrace;
    table.ProfilerExit = profilerExit;
    table.RawMonitorCreate = rawMonitorCreate;
    table.RawMonitorEnter = rawMonitorEnter;
    table.RawMonitorExit = rawMonitorExit;
    table.RawMonitorWait = rawMonitorWait;
    table.RawMonitorNotifyAll = rawMonitorNotifyAll;
    table.RawMonitorDestroy = rawMonitorDestroy;
    table.GetCurrentThreadCpuTime = currentThreadCpuTime;
    table.SuspendThread = suspendThread;
    table.ResumeThread = resumeThread;
    table.GetThreadStatus = threadStatus;
    table.ThreadHasRun = threadHasRun;
    table.CreateSystemThread = createSystemThread;
    table.SetThreadLocalStorage = setThreadLocalStorage;
    table.GetThreadLocalStorage = threadLocalStorage;
    table.DisableGC = disableGc;
    table.EnableGC = enableGc;
    table.RunGC = runGc;
    table.GetThreadObject = threadObject;
    table.GetMethodClass = methodClass;
}

// The env_id of the host's main thread.
JNIEnv *mainEnv()
{
    return realMainEnv;
}

void post(jint type, JVMPI_Event *event, JNIEnv *env = nullptr)
{
    if (isDisabled(type)) {
        logCall("event %d disabled", type);
        return;
    }
    event->event_type = type;
    event->env_id = env != nullptr ? env : mainEnv();
    if (table.NotifyEvent == nullptr) {
        logCall("no NotifyEvent for event %d", type);
        return;
    }
    int n = env != nullptr ? threadNumber(env) : -1;
    if (n > 0)
        runOn(n, [event] { table.NotifyEvent(event); });
    else
        table.NotifyEvent(event);
    logCall("event %d done", type & ~JVMPI_REQUESTED_EVENT);
}

void deliverClassLoad(uintptr_t classId, bool requested)
{
    ModelClass model;
    {
        std::lock_guard<std::mutex> guard(modelLock);
        auto found = classes.find(classId);
        if (found == classes.end()) {
            logCall("no class 0x%lx", static_cast<unsigned long>(classId));
            return;
        }
        model = found->second;
    }
    std::vector<JVMPI_Method> methods;
    for (ModelMethod &method : model.methods)
        methods.push_back(JVMPI_Method{&method.name[0], &method.signature[0], 0, 0, method.id});
    JVMPI_Event event;
    memset(&event, 0, sizeof event);
    event.u.class_load.class_name = model.name.c_str();
    event.u.class_load.num_methods = static_cast<jint>(methods.size());
    event.u.class_load.methods = methods.data();
    event.u.class_load.class_id = reinterpret_cast<jobjectID>(classId);
    post(JVMPI_EVENT_CLASS_LOAD | (requested ? JVMPI_REQUESTED_EVENT : 0), &event);
}

void putU4(std::vector<char> &out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>(value >> shift));
}

void putId(std::vector<char> &out, const void *id)
{
    const char *bytes = reinterpret_cast<const char *>(&id);
    out.insert(out.end(), bytes, bytes + sizeof id);
}

// Bytes the script gives for the next heap or monitor dump, instead of the model's.
std::mutex scriptedDumpLock;
std::map<jint, std::vector<char>> scriptedDumps;

// Takes the script's bytes for the next dump of `type`; false when it gave none.
bool takeScriptedDump(jint type, std::vector<char> *bytes)
{
    std::lock_guard<std::mutex> guard(scriptedDumpLock);
    auto found = scriptedDumps.find(type);
    if (found == scriptedDumps.end())
        return false;
    bytes->swap(found->second);
    scriptedDumps.erase(found);
    return true;
}

// Java monitor records: byte 1, ID object, ID owner's env, U4 entries, then
// the threads waiting to enter and those waiting to be notified (U4 n and
// n IDs each).
void deliverMonitorDump()
{
    std::vector<char> bytes;
    if (!takeScriptedDump(JVMPI_EVENT_MONITOR_DUMP, &bytes)) {
        std::lock_guard<std::mutex> guard(modelLock);
        for (const auto &monitor : modelMonitors) {
            bytes.push_back(1);
            putId(bytes, reinterpret_cast<void *>(monitor.first));
            putId(bytes, monitor.second.owner > 0 ? threadEnv(monitor.second.owner) : nullptr);
            putU4(bytes, monitor.second.owner > 0 ? 1 : 0);
            for (const std::vector<int> *list : {&monitor.second.entering, &monitor.second.notified}) {
                putU4(bytes, static_cast<uint32_t>(list->size()));
                for (int n : *list)
                    putId(bytes, threadEnv(n));
            }
        }
    }
    JVMPI_Event event;
    memset(&event, 0, sizeof event);
    event.u.monitor_dump.begin = bytes.data();
    event.u.monitor_dump.end = bytes.data() + bytes.size();
    post(JVMPI_EVENT_MONITOR_DUMP | JVMPI_REQUESTED_EVENT, &event);
}

// Bytes of an element of a primitive array type; 0 for others.
int elementLength(jint type)
{
    switch (type) {
    case JVMPI_BOOLEAN:
    case JVMPI_BYTE:
        return 1;
    case JVMPI_CHAR:
    case JVMPI_SHORT:
        return 2;
    case JVMPI_INT:
    case JVMPI_FLOAT:
        return 4;
    case JVMPI_LONG:
    case JVMPI_DOUBLE:
        return 8;
    default:
        return 0;
    }
}

// The dump of the model: a class dump per class, a record per object (an
// instance without field values, object arrays of null elements, primitive
// arrays whose element i holds i at level 2), a JNI global root for the
// first object. With --no-heap-dump the VM answers without data.
bool noHeapDump = false;

void deliverHeapDump(jint level)
{
    std::vector<char> bytes;
    if (!noHeapDump && !takeScriptedDump(JVMPI_EVENT_HEAP_DUMP, &bytes)) {
        std::lock_guard<std::mutex> guard(modelLock);
        for (const auto &model : classes) {
            bytes.push_back(static_cast<char>(JVMPI_GC_CLASS_DUMP));
            putId(bytes, reinterpret_cast<void *>(model.first));
            for (int i = 0; i < 6; i++)
                putId(bytes, nullptr);
            putU4(bytes, 16);
            bytes.push_back(0); // no constant-pool entries
            bytes.push_back(0);
        }
        for (const auto &object : objects) {
            void *id = reinterpret_cast<void *>(object.first);
            const ModelObject &o = object.second;
            if (o.isArray == 0) {
                bytes.push_back(static_cast<char>(JVMPI_GC_INSTANCE_DUMP));
                putId(bytes, id);
                putId(bytes, reinterpret_cast<void *>(o.classId));
                putU4(bytes, 0);
            } else if (o.isArray == JVMPI_CLASS) {
                uint32_t count = static_cast<uint32_t>(o.size) / sizeof(void *);
                bytes.push_back(static_cast<char>(JVMPI_GC_OBJ_ARRAY_DUMP));
                putId(bytes, id);
                putU4(bytes, count);
                putId(bytes, reinterpret_cast<void *>(o.classId));
                for (uint32_t i = 0; i < count; i++)
                    putId(bytes, nullptr);
            } else {
                int length = elementLength(o.isArray);
                uint32_t count = length > 0 ? static_cast<uint32_t>(o.size) / static_cast<uint32_t>(length) : 0;
                bytes.push_back(static_cast<char>(JVMPI_GC_PRIM_ARRAY_DUMP));
                putId(bytes, id);
                putU4(bytes, count);
                bytes.push_back(static_cast<char>(o.isArray));
                if (level == JVMPI_DUMP_LEVEL_2) {
                    for (uint32_t i = 0; i < count; i++) {
                        uint64_t value = i;
                        const char *raw = reinterpret_cast<const char *>(&value);
                        bytes.insert(bytes.end(), raw, raw + length);
                    }
                }
            }
        }
        if (!objects.empty()) {
            bytes.push_back(static_cast<char>(JVMPI_GC_ROOT_JNI_GLOBAL));
            putId(bytes, reinterpret_cast<void *>(objects.begin()->first));
            putId(bytes, nullptr);
        }
    }
    JVMPI_Event event;
    memset(&event, 0, sizeof event);
    event.u.heap_dump.dump_level = level;
    event.u.heap_dump.begin = noHeapDump ? nullptr : bytes.data();
    event.u.heap_dump.end = noHeapDump ? nullptr : bytes.data() + bytes.size();
    post(JVMPI_EVENT_HEAP_DUMP | JVMPI_REQUESTED_EVENT, &event);
}

std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos)
            return parts;
        start = at + 1;
    }
}

// A step's number that is not one: the step is refused before it plays.
struct BadNumber {
    std::string text;
};

// A whole non-negative number (hex with 0x); anything else refuses the step.
uintptr_t number(const std::string &text)
{
    char *end = nullptr;
    errno = 0;
    unsigned long long value = text.empty() || !isdigit(static_cast<unsigned char>(text[0])) ? 0 : strtoull(text.c_str(), &end, 0);
    if (end == nullptr || *end != '\0' || errno != 0 || value > UINTPTR_MAX)
        throw BadNumber{text};
    return static_cast<uintptr_t>(value);
}

// A number the VM hands over as a jint (event types, sizes, statuses):
// one past its range is refused as none is.
jint jintNumber(const std::string &text)
{
    uintptr_t value = number(text);
    if (value > static_cast<uintptr_t>(INT32_MAX))
        throw BadNumber{text};
    return static_cast<jint>(value);
}

template <class T> T *idOf(const std::string &text)
{
    return reinterpret_cast<T *>(number(text));
}

// Hex digit pairs as bytes; false for anything else.
bool hexBytes(const std::string &text, std::vector<char> *bytes)
{
    if (text.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        char pair[3] = {text[i], text[i + 1], '\0'};
        char *end = nullptr;
        long value = strtol(pair, &end, 16);
        if (end != pair + 2 || !isxdigit(static_cast<unsigned char>(pair[0])))
            return false;
        bytes->push_back(static_cast<char>(value));
    }
    return true;
}

// A thread number of a step; false (and a message) when out of range.
bool threadArg(const std::string &text, int *n)
{
    uintptr_t value = number(text);
    *n = value < static_cast<uintptr_t>(MAX_THREADS) ? static_cast<int>(value) : -1;
    if (*n < 1 || *n >= MAX_THREADS) {
        fprintf(stderr, "jvmpihost: thread %s out of range\n", text.c_str());
        return false;
    }
    return true;
}

// "NAME/SIG=MID,..." into the model class.
void addMethods(ModelClass *model, const std::string &list)
{
    for (const std::string &item : split(list, ',')) {
        size_t slash = item.find('/');
        size_t equals = item.find('=');
        if (item.empty() || slash == std::string::npos || equals == std::string::npos || equals < slash)
            continue;
        model->methods.push_back(ModelMethod{item.substr(0, slash), item.substr(slash + 1, equals - slash - 1),
                                             idOf<_jmethodID>(item.substr(equals + 1))});
    }
}

// What the hook event's allocation function handed out.
std::mutex hookMemoryLock;
std::set<void *> hookMemory;

void *allocateHookBytes(unsigned int size)
{
    void *memory = malloc(size);
    std::lock_guard<std::mutex> guard(hookMemoryLock);
    hookMemory.insert(memory);
    return memory;
}

// True (and forgotten) when `memory` came from allocateHookBytes.
bool takeHookMemory(void *memory)
{
    std::lock_guard<std::mutex> guard(hookMemoryLock);
    return hookMemory.erase(memory) != 0;
}

// CLASS_LOAD_HOOK with the class file `path`; the class the agent gives back
// goes to `given`.
bool hookClass(const std::string &path, std::vector<unsigned char> *given)
{
    FILE *in = fopen(path.c_str(), "rb");
    if (in == nullptr) {
        fprintf(stderr, "jvmpihost: cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<unsigned char> bytes;
    for (int c; (c = fgetc(in)) != EOF;)
        bytes.push_back(static_cast<unsigned char>(c));
    fclose(in);
    JVMPI_Event event;
    memset(&event, 0, sizeof event);
    event.u.class_load_hook.class_data = bytes.data();
    event.u.class_load_hook.class_data_len = static_cast<jint>(bytes.size());
    event.u.class_load_hook.malloc_f = allocateHookBytes;
    post(JVMPI_EVENT_CLASS_LOAD_HOOK, &event);
    bool same = event.u.class_load_hook.new_class_data == bytes.data();
    // New bytes must live in memory of the event's allocation function: the
    // VM frees them as its own.
    bool fromVm = !same && takeHookMemory(event.u.class_load_hook.new_class_data);
    logCall("hook %s %d", same ? "same" : fromVm ? "new" : "foreign", event.u.class_load_hook.new_class_data_len);
    if (!same && !fromVm) {
        fprintf(stderr, "jvmpihost: the agent gave back a class outside the event's memory for %s\n", path.c_str());
        return false;
    }
    if (event.u.class_load_hook.new_class_data == nullptr || event.u.class_load_hook.new_class_data_len < 0) {
        fprintf(stderr, "jvmpihost: the agent gave back no class for %s\n", path.c_str());
        return false;
    }
    given->assign(event.u.class_load_hook.new_class_data,
                  event.u.class_load_hook.new_class_data + event.u.class_load_hook.new_class_data_len);
    if (!same)
        free(event.u.class_load_hook.new_class_data);
    return true;
}

// A pending exception of the real JVM is described and fails the step.
bool javaFailed(JNIEnv *env, const char *what)
{
    if (!env->ExceptionCheck())
        return false;
    env->ExceptionDescribe();
    fprintf(stderr, "jvmpihost: %s failed\n", what);
    return true;
}

bool callMain(JNIEnv *env, jclass type, const std::string &name, const std::vector<std::string> &arguments);

// The host's own thread is announced once, before it first runs a
// program's main, as a VM announces its main thread.
void announceHostThread()
{
    static bool announced = false;
    if (announced)
        return;
    announced = true;
    std::string name = javaThreadName(realMainEnv);
    std::string group = "main";
    JVMPI_Event event;
    memset(&event, 0, sizeof event);
    event.u.thread_start.thread_name = &name[0];
    event.u.thread_start.group_name = &group[0];
    event.u.thread_start.thread_env_id = realMainEnv;
    post(JVMPI_EVENT_THREAD_START, &event);
}

// The real JVM defines `bytes` as class `name` in the system class loader
// and runs its main with `arguments` on the thread of `env`.
bool runMain(JNIEnv *env, const std::string &name, const std::vector<unsigned char> &bytes, const std::vector<std::string> &arguments)
{
    jclass loaderClass = env->FindClass("java/lang/ClassLoader");
    if (javaFailed(env, "FindClass ClassLoader"))
        return false;
    jmethodID systemLoader = env->GetStaticMethodID(loaderClass, "getSystemClassLoader", "()Ljava/lang/ClassLoader;");
    if (javaFailed(env, "getSystemClassLoader"))
        return false;
    jobject loader = env->CallStaticObjectMethod(loaderClass, systemLoader);
    if (javaFailed(env, "getSystemClassLoader"))
        return false;
    jclass type = env->DefineClass(name.c_str(), loader, reinterpret_cast<const jbyte *>(bytes.data()), static_cast<jsize>(bytes.size()));
    if (type == nullptr || javaFailed(env, "DefineClass"))
        return false;
    return callMain(env, type, name, arguments);
}

// Runs main of `type` with `arguments` on the host's main thread.
bool callMain(JNIEnv *env, jclass type, const std::string &name, const std::vector<std::string> &arguments)
{
    jmethodID main = env->GetStaticMethodID(type, "main", "([Ljava/lang/String;)V");
    if (javaFailed(env, "GetStaticMethodID main"))
        return false;
    jclass stringClass = env->FindClass("java/lang/String");
    jobjectArray argv = env->NewObjectArray(static_cast<jsize>(arguments.size()), stringClass, nullptr);
    if (javaFailed(env, "the arguments"))
        return false;
    for (size_t i = 0; i < arguments.size(); i++) {
        jstring text = env->NewStringUTF(arguments[i].c_str());
        if (javaFailed(env, "the arguments"))
            return false;
        env->SetObjectArrayElement(argv, static_cast<jsize>(i), text);
    }
    env->CallStaticVoidMethod(type, main, argv);
    if (javaFailed(env, "main"))
        return false;
    logCall("main %s returned", name.c_str());
    return true;
}

// The real JVM's own class loads, raised as the profiler interface's class
// events. The host's JVMTI environment in its JVM sees each class before it
// is defined (CLASS_LOAD_HOOK: the JVM defines the bytes the agent gives
// back) and once it is prepared (CLASS_LOAD with its methods and fields,
// the class joining the host's model under a host-made class id, its
// methods under their real method ids).
jvmtiEnv *classEventsEnv = nullptr;
std::atomic<uintptr_t> nextRealClassId(0x7000000000ul);

void *allocateClassBytes(unsigned int size)
{
    unsigned char *memory = nullptr;
    return classEventsEnv->Allocate(size, &memory) == JVMTI_ERROR_NONE ? memory : nullptr;
}

void JNICALL realClassFileLoadHook(jvmtiEnv *, JNIEnv *env, jclass redefined, jobject, const char *name, jobject, jint length,
                                   const unsigned char *bytes, jint *newLength, unsigned char **newBytes)
{
    if (redefined != nullptr || table.NotifyEvent == nullptr || !isEnabled(JVMPI_EVENT_CLASS_LOAD_HOOK))
        return;
    JVMPI_Event event;
    memset(&event, 0, sizeof event);
    event.event_type = JVMPI_EVENT_CLASS_LOAD_HOOK;
    event.env_id = env;
    event.u.class_load_hook.class_data = const_cast<unsigned char *>(bytes);
    event.u.class_load_hook.class_data_len = length;
    event.u.class_load_hook.malloc_f = allocateClassBytes;
    table.NotifyEvent(&event);
    unsigned char *given = static_cast<unsigned char *>(event.u.class_load_hook.new_class_data);
    if (given == nullptr || given == bytes)
        return;
    *newBytes = given;
    *newLength = event.u.class_load_hook.new_class_data_len;
    logCall("real class %s rewritten %d -> %d", name != nullptr ? name : "?", length, *newLength);
}

// Frees what JVMTI allocated when the scope ends.
struct JvmtiChars {
    char *chars = nullptr;
    ~JvmtiChars()
    {
        if (chars != nullptr)
            classEventsEnv->Deallocate(reinterpret_cast<unsigned char *>(chars));
    }
};

void JNICALL realClassPrepare(jvmtiEnv *jvmti, JNIEnv *env, jthread, jclass klass)
{
    JvmtiChars signature;
    if (jvmti->GetClassSignature(klass, &signature.chars, nullptr) != JVMTI_ERROR_NONE || signature.chars == nullptr ||
        signature.chars[0] != 'L')
        return;
    std::string name(signature.chars + 1);
    if (!name.empty() && name.back() == ';')
        name.pop_back();
    jlong tag = 0;
    jvmti->GetTag(klass, &tag);
    if (tag == 0) {
        tag = static_cast<jlong>(nextRealClassId.fetch_add(16));
        jvmti->SetTag(klass, tag);
    }
    uintptr_t classId = static_cast<uintptr_t>(tag);
    ModelClass model;
    model.name = name;
    jint methodCount = 0;
    jmethodID *methodIds = nullptr;
    if (jvmti->GetClassMethods(klass, &methodCount, &methodIds) == JVMTI_ERROR_NONE) {
        for (jint i = 0; i < methodCount; i++) {
            JvmtiChars methodName, methodSignature;
            if (jvmti->GetMethodName(methodIds[i], &methodName.chars, &methodSignature.chars, nullptr) == JVMTI_ERROR_NONE)
                model.methods.push_back(ModelMethod{methodName.chars, methodSignature.chars, methodIds[i]});
        }
        jvmti->Deallocate(reinterpret_cast<unsigned char *>(methodIds));
    }
    {
        std::lock_guard<std::mutex> guard(modelLock);
        for (const ModelMethod &method : model.methods)
            methodClasses[reinterpret_cast<uintptr_t>(method.id)] = classId;
        classes[classId] = model;
    }
    if (table.NotifyEvent == nullptr || !isEnabled(JVMPI_EVENT_CLASS_LOAD))
        return;
    // Fields: statics and instance fields with their signatures.
    std::vector<std::string> fieldText;
    std::vector<bool> fieldStatic;
    jint fieldCount = 0;
    jfieldID *fieldIds = nullptr;
    if (jvmti->GetClassFields(klass, &fieldCount, &fieldIds) == JVMTI_ERROR_NONE) {
        for (jint i = 0; i < fieldCount; i++) {
            JvmtiChars fieldName, fieldSignature;
            jint modifiers = 0;
            if (jvmti->GetFieldName(klass, fieldIds[i], &fieldName.chars, &fieldSignature.chars, nullptr) != JVMTI_ERROR_NONE ||
                jvmti->GetFieldModifiers(klass, fieldIds[i], &modifiers) != JVMTI_ERROR_NONE)
                continue;
            fieldText.push_back(fieldName.chars);
            fieldText.push_back(fieldSignature.chars);
            fieldStatic.push_back((modifiers & 0x0008) != 0);
        }
        jvmti->Deallocate(reinterpret_cast<unsigned char *>(fieldIds));
    }
    std::vector<JVMPI_Field> statics, instances;
    for (size_t i = 0; i < fieldStatic.size(); i++) {
        JVMPI_Field field{&fieldText[2 * i][0], &fieldText[2 * i + 1][0]};
        (fieldStatic[i] ? statics : instances).push_back(field);
    }
    std::vector<JVMPI_Method> methods;
    for (ModelMethod &method : model.methods)
        methods.push_back(JVMPI_Method{&method.name[0], &method.signature[0], 0, 0, method.id});
    JVMPI_Event event;
    memset(&event, 0, sizeof event);
    event.event_type = JVMPI_EVENT_CLASS_LOAD;
    event.env_id = env;
    jint interfaceCount = 0;
    jclass *interfaces = nullptr;
    if (jvmti->GetImplementedInterfaces(klass, &interfaceCount, &interfaces) == JVMTI_ERROR_NONE)
        jvmti->Deallocate(reinterpret_cast<unsigned char *>(interfaces));
    event.u.class_load.class_name = model.name.c_str();
    event.u.class_load.num_interfaces = interfaceCount;
    event.u.class_load.num_methods = static_cast<jint>(methods.size());
    event.u.class_load.methods = methods.data();
    event.u.class_load.num_static_fields = static_cast<jint>(statics.size());
    event.u.class_load.statics = statics.data();
    event.u.class_load.num_instance_fields = static_cast<jint>(instances.size());
    event.u.class_load.instances = instances.data();
    event.u.class_load.class_id = reinterpret_cast<jobjectID>(classId);
    table.NotifyEvent(&event);
}

// From now on the real JVM's class loads reach the agent.
bool startClassEvents()
{
    if (realVm->GetEnv(reinterpret_cast<void **>(&classEventsEnv), JVMTI_VERSION_1_2) != JNI_OK || classEventsEnv == nullptr) {
        fprintf(stderr, "jvmpihost: the JVM gives no JVMTI environment for class events\n");
        return false;
    }
    jvmtiCapabilities capabilities;
    memset(&capabilities, 0, sizeof capabilities);
    capabilities.can_tag_objects = 1;
    jvmtiEventCallbacks callbacks;
    memset(&callbacks, 0, sizeof callbacks);
    callbacks.ClassFileLoadHook = realClassFileLoadHook;
    callbacks.ClassPrepare = realClassPrepare;
    if (classEventsEnv->AddCapabilities(&capabilities) != JVMTI_ERROR_NONE ||
        classEventsEnv->SetEventCallbacks(&callbacks, sizeof callbacks) != JVMTI_ERROR_NONE) {
        fprintf(stderr, "jvmpihost: cannot set up the class events\n");
        return false;
    }
    if (classEventsEnv->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_CLASS_FILE_LOAD_HOOK, nullptr) != JVMTI_ERROR_NONE ||
        classEventsEnv->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_CLASS_PREPARE, nullptr) != JVMTI_ERROR_NONE) {
        fprintf(stderr, "jvmpihost: cannot enable the class events\n");
        return false;
    }
    logCall("class events of the JVM on");
    return true;
}

// The real JVM loads `name` (dotted or slashed) through its class path and
// runs its main.
bool loadAndRunMain(const std::string &name, const std::vector<std::string> &arguments)
{
    announceHostThread();
    JNIEnv *env = realMainEnv;
    std::string slashed = name;
    for (char &c : slashed)
        if (c == '.')
            c = '/';
    jclass type = env->FindClass(slashed.c_str());
    if (type == nullptr || javaFailed(env, "FindClass"))
        return false;
    return callMain(env, type, name, arguments);
}

// The step java:N:CLASS:METHOD[:TEXT]: scripted thread N calls the static
// void METHOD of CLASS, with TEXT as its one String argument when given.
bool callJavaStatic(int n, const std::string &className, const std::string &method, const std::string *text)
{
    bool ok = false;
    runOn(n, [&] {
        JNIEnv *env = threadEnv(n);
        jclass type = env->FindClass(className.c_str());
        if (type == nullptr || javaFailed(env, "FindClass"))
            return;
        jmethodID id = env->GetStaticMethodID(type, method.c_str(), text != nullptr ? "(Ljava/lang/String;)V" : "()V");
        if (id == nullptr || javaFailed(env, "GetStaticMethodID"))
            return;
        if (text != nullptr) {
            jstring argument = env->NewStringUTF(text->c_str());
            env->CallStaticVoidMethod(type, id, argument);
        } else {
            env->CallStaticVoidMethod(type, id);
        }
        ok = !javaFailed(env, method.c_str());
    });
    if (ok)
        logCall("java %d %s.%s returned", n, className.c_str(), method.c_str());
    return ok;
}

bool playStepChecked(const std::string &step)
{
    JVMPI_Event event;
    memset(&event, 0, sizeof event);
    std::vector<std::string> args = split(step, ':');
    const std::string &verb = args[0];
    int n = 0;
    if (step == "init-done") {
        post(JVMPI_EVENT_JVM_INIT_DONE, &event);
    } else if (step == "shut-down") {
        post(JVMPI_EVENT_JVM_SHUT_DOWN, &event);
    } else if (verb == "event" && args.size() == 2) {
        post(jintNumber(args[1]), &event);
    } else if (step.compare(0, 12, "raw-contend:") == 0) {
        std::string name = step.substr(12);
        HostMonitor *found = nullptr;
        {
            std::lock_guard<std::mutex> guard(monitorsLock);
            for (HostMonitor *monitor : monitors)
                if (monitor->name == name)
                    found = monitor;
        }
        event.u.raw_monitor.name = found != nullptr ? found->name.c_str() : name.c_str();
        event.u.raw_monitor.id = reinterpret_cast<JVMPI_RawMonitor>(found);
        post(JVMPI_EVENT_RAW_MONITOR_CONTENDED_ENTER, &event);
    } else if (verb == "thread" && args.size() >= 3 && threadArg(args[1], &n)) {
        std::string group = args.size() > 3 ? args[3] : "main";
        event.u.thread_start.thread_name = &args[2][0];
        event.u.thread_start.group_name = &group[0];
        event.u.thread_start.thread_env_id = threadEnv(n);
        post(JVMPI_EVENT_THREAD_START, &event, threadEnv(n));
    } else if (verb == "thread-end" && args.size() == 2 && threadArg(args[1], &n)) {
        post(JVMPI_EVENT_THREAD_END, &event, threadEnv(n));
    } else if ((verb == "class" || verb == "quiet-class") && args.size() >= 3) {
        ModelClass model;
        model.name = args[2];
        if (args.size() > 3)
            addMethods(&model, args[3]);
        uintptr_t classId = number(args[1]);
        {
            std::lock_guard<std::mutex> guard(modelLock);
            for (const ModelMethod &method : model.methods)
                methodClasses[reinterpret_cast<uintptr_t>(method.id)] = classId;
            classes[classId] = model;
        }
        if (verb == "class")
            deliverClassLoad(classId, false);
    } else if (verb == "unload" && args.size() == 2) {
        uintptr_t classId = number(args[1]);
        event.u.class_unload.class_id = reinterpret_cast<jobjectID>(classId);
        {
            // The VM knows the class no more: requests and dumps leave it out.
            std::lock_guard<std::mutex> guard(modelLock);
            classes.erase(classId);
            for (auto method = methodClasses.begin(); method != methodClasses.end();)
                method = method->second == classId ? methodClasses.erase(method) : std::next(method);
        }
        post(JVMPI_EVENT_CLASS_UNLOAD, &event);
    } else if ((verb == "enter" || verb == "exit") && args.size() == 3 && threadArg(args[1], &n)) {
        event.u.method.method_id = idOf<_jmethodID>(args[2]);
        post(verb == "enter" ? JVMPI_EVENT_METHOD_ENTRY : JVMPI_EVENT_METHOD_EXIT, &event, threadEnv(n));
    } else if (verb == "enter2" && args.size() == 4 && threadArg(args[1], &n)) {
        event.u.method_entry2.method_id = idOf<_jmethodID>(args[2]);
        event.u.method_entry2.obj_id = idOf<_jobjectID>(args[3]);
        post(JVMPI_EVENT_METHOD_ENTRY2, &event, threadEnv(n));
    } else if (verb == "alloc" && args.size() >= 5 && threadArg(args[1], &n)) {
        event.u.obj_alloc.obj_id = idOf<_jobjectID>(args[2]);
        event.u.obj_alloc.class_id = idOf<_jobjectID>(args[3]);
        event.u.obj_alloc.size = jintNumber(args[4]);
        event.u.obj_alloc.is_array = args.size() > 5 ? jintNumber(args[5]) : 0;
        {
            std::lock_guard<std::mutex> guard(modelLock);
            objects[number(args[2])] = ModelObject{number(args[3]), event.u.obj_alloc.size, event.u.obj_alloc.is_array};
        }
        post(JVMPI_EVENT_OBJECT_ALLOC, &event, threadEnv(n));
    } else if (verb == "free" && args.size() == 2) {
        event.u.obj_free.obj_id = idOf<_jobjectID>(args[1]);
        {
            std::lock_guard<std::mutex> guard(modelLock);
            objects.erase(number(args[1]));
        }
        post(JVMPI_EVENT_OBJECT_FREE, &event);
    } else if (verb == "move" && args.size() == 3) {
        event.u.obj_move.obj_id = idOf<_jobjectID>(args[1]);
        event.u.obj_move.new_obj_id = idOf<_jobjectID>(args[2]);
        {
            std::lock_guard<std::mutex> guard(modelLock);
            uintptr_t from = number(args[1]), to = number(args[2]);
            auto found = objects.find(from);
            if (found != objects.end()) {
                ModelObject moved = found->second;
                objects.erase(found);
                objects[to] = moved;
            }
            // A class object that moves takes its class id along: its
            // methods, its instances and later requests name the new id.
            auto model = classes.find(from);
            if (model != classes.end()) {
                ModelClass moved = model->second;
                classes.erase(model);
                classes[to] = moved;
                for (auto &method : methodClasses)
                    if (method.second == from)
                        method.second = to;
                for (auto &object : objects)
                    if (object.second.classId == from)
                        object.second.classId = to;
            }
        }
        post(JVMPI_EVENT_OBJECT_MOVE, &event);
    } else if ((verb == "contend" || verb == "contended" || verb == "wait" || verb == "waited") && args.size() == 3 &&
               threadArg(args[1], &n)) {
        const jint types[] = {JVMPI_EVENT_MONITOR_CONTENDED_ENTER, JVMPI_EVENT_MONITOR_CONTENDED_ENTERED, JVMPI_EVENT_MONITOR_WAIT,
                              JVMPI_EVENT_MONITOR_WAITED};
        int kind = verb == "contend" ? 0 : verb == "contended" ? 1 : verb == "wait" ? 2 : 3;
        if (kind < 2)
            event.u.monitor.object = idOf<_jobjectID>(args[2]);
        else
            event.u.monitor_wait.object = idOf<_jobjectID>(args[2]);
        {
            // The thread's status follows: blocked while it contends, waiting
            // while it waits, runnable again after either.
            const jint statuses[] = {JVMPI_THREAD_MONITOR_WAIT, JVMPI_THREAD_RUNNABLE, JVMPI_THREAD_CONDVAR_WAIT, JVMPI_THREAD_RUNNABLE};
            std::lock_guard<std::mutex> guard(modelLock);
            threads[n].status = statuses[kind];
        }
        post(types[kind], &event, threadEnv(n));
    } else if ((verb == "raw-enter" || verb == "raw-entered") && args.size() == 3 && threadArg(args[1], &n)) {
        // An application's raw monitor NAME, made by the VM on first use.
        HostMonitor *monitor = applicationMonitor(args[2]);
        event.u.raw_monitor.name = monitor->name.c_str();
        event.u.raw_monitor.id = reinterpret_cast<JVMPI_RawMonitor>(monitor);
        {
            std::lock_guard<std::mutex> guard(modelLock);
            threads[n].status = verb == "raw-enter" ? JVMPI_THREAD_MONITOR_WAIT : JVMPI_THREAD_RUNNABLE;
        }
        post(verb == "raw-enter" ? JVMPI_EVENT_RAW_MONITOR_CONTENDED_ENTER : JVMPI_EVENT_RAW_MONITOR_CONTENDED_ENTERED, &event, threadEnv(n));
    } else if (verb == "status" && args.size() == 3 && threadArg(args[1], &n)) {
        std::lock_guard<std::mutex> guard(modelLock);
        threads[n].status = jintNumber(args[2]);
    } else if (verb == "hasrun" && args.size() == 3 && threadArg(args[1], &n)) {
        uintptr_t ran = number(args[2]);
        if (ran > 1)
            throw BadNumber{args[2]};
        std::lock_guard<std::mutex> guard(modelLock);
        threads[n].hasRun = ran != 0;
    } else if (verb == "stack" && args.size() >= 2 && threadArg(args[1], &n)) {
        std::vector<JVMPI_CallFrame> stack;
        if (args.size() > 2) {
            for (const std::string &frame : split(args[2], '/')) {
                size_t at = frame.find('@');
                stack.push_back(JVMPI_CallFrame{at == std::string::npos ? 0 : jintNumber(frame.substr(at + 1)),
                                                idOf<_jmethodID>(frame.substr(0, at))});
            }
        }
        std::lock_guard<std::mutex> guard(modelLock);
        threads[n].stack = stack;
    } else if (verb == "monitor" && args.size() >= 3) {
        ModelMonitor monitor;
        // Owner 0: nobody owns it.
        if (args[2] != "0" && !threadArg(args[2], &monitor.owner))
            return false;
        for (size_t i = 3; i < 5 && i < args.size(); i++)
            for (const std::string &t : split(args[i], '/')) {
                if (t.empty())
                    continue;
                if (!threadArg(t, &n))
                    return false;
                (i == 3 ? monitor.entering : monitor.notified).push_back(n);
            }
        std::lock_guard<std::mutex> guard(modelLock);
        modelMonitors[number(args[1])] = monitor;
    } else if ((verb == "heap-bytes" || verb == "monitor-bytes") && args.size() == 2) {
        std::vector<char> bytes;
        if (!hexBytes(args[1], &bytes)) {
            fprintf(stderr, "jvmpihost: bad hex bytes \"%s\"\n", args[1].c_str());
            return false;
        }
        std::lock_guard<std::mutex> guard(scriptedDumpLock);
        scriptedDumps[verb == "heap-bytes" ? JVMPI_EVENT_HEAP_DUMP : JVMPI_EVENT_MONITOR_DUMP] = bytes;
    } else if (verb == "sleep" && args.size() == 2) {
        uintptr_t ms = number(args[1]);
        if (ms > MAX_SLEEP_MS) {
            fprintf(stderr, "jvmpihost: sleep of %s ms refused\n", args[1].c_str());
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    } else if (verb == "await" && args.size() == 2) {
        // Bounded: a test that never answers fails the run, long after any
        // test on a loaded machine would have answered.
        for (int i = 0; access(args[1].c_str(), F_OK) != 0; ++i) {
            if (i == AWAIT_POLLS) {
                fprintf(stderr, "jvmpihost: %s never appeared\n", args[1].c_str());
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    } else if (verb == "mark" && args.size() >= 2) {
        logCall("mark %s", step.substr(5).c_str());
    } else if (verb == "hook" && args.size() == 3) {
        std::vector<unsigned char> given;
        if (!hookClass(args[1], &given))
            return false;
        FILE *out = fopen(args[2].c_str(), "wb");
        if (out == nullptr || fwrite(given.data(), 1, given.size(), out) != given.size()) {
            fprintf(stderr, "jvmpihost: cannot write %s\n", args[2].c_str());
            if (out != nullptr)
                fclose(out);
            return false;
        }
        fclose(out);
    } else if (verb == "main" && (args.size() == 3 || args.size() == 4)) {
        std::vector<unsigned char> given;
        announceHostThread();
        if (!hookClass(args[1], &given))
            return false;
        return runMain(realMainEnv, args[2], given, args.size() == 4 ? split(args[3], '/') : std::vector<std::string>());
    } else if (verb == "main-on" && (args.size() == 4 || args.size() == 5) && threadArg(args[1], &n)) {
        std::vector<unsigned char> given;
        if (!hookClass(args[2], &given))
            return false;
        std::vector<std::string> arguments = args.size() == 5 ? split(args[4], '/') : std::vector<std::string>();
        bool ok = false;
        runOn(n, [&] { ok = runMain(threadEnv(n), args[3], given, arguments); });
        return ok;
    } else if (verb == "run" && (args.size() == 2 || args.size() == 3)) {
        return loadAndRunMain(args[1], args.size() == 3 ? split(args[2], '/') : std::vector<std::string>());
    } else if (step == "java-comm") {
        if (!startJavaCommunication())
            return false;
    } else if (verb == "java" && (args.size() == 4 || args.size() == 5) && threadArg(args[1], &n)) {
        return callJavaStatic(n, args[2], args[3], args.size() == 5 ? &args[4] : nullptr);
    } else {
        fprintf(stderr, "jvmpihost: unknown step \"%s\"\n", step.c_str());
        return false;
    }
    return true;
}

// One step of the script; false (with a line) for a step that cannot play.
bool playStep(const std::string &step)
{
    try {
        return playStepChecked(step);
    } catch (const BadNumber &bad) {
        fprintf(stderr, "jvmpihost: bad number \"%s\" in step \"%s\"\n", bad.text.c_str(), step.c_str());
        return false;
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: jvmpihost LIBRARY [--options TEXT] [--no-jvmpi] [--fail-enable EVENT] [--fail-thread] [--no-heap-dump] [--class-events] --jvm CLASSPATH [--libjvm PATH] [--jvm-option TEXT] [STEP...]\n");
        return 2;
    }
    std::string options;
    std::string classPath;
    std::string libjvm = DEFAULT_LIBJVM;
    std::vector<std::string> steps;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--options" && i + 1 < argc)
            options = argv[++i];
        else if (arg == "--no-jvmpi")
            noJvmpi = true;
        else if (arg == "--fail-enable" && i + 1 < argc)
            failEnable = atoi(argv[++i]);
        else if (arg == "--fail-thread")
            failThread = true;
        else if (arg == "--no-heap-dump")
            noHeapDump = true;
        else if (arg == "--jvm" && i + 1 < argc)
            classPath = argv[++i];
        else if (arg == "--libjvm" && i + 1 < argc)
            libjvm = argv[++i];
        else if (arg == "--jvm-option" && i + 1 < argc)
            jvmOptions.push_back(argv[++i]);
        else if (arg == "--class-events")
            classEvents = true;
        else
            steps.push_back(arg);
    }
    void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    agentLibrary = library;
    char *resolved = realpath(argv[1], nullptr);
    agentLibraryPath = resolved != nullptr ? resolved : argv[1];
    free(resolved);
    if (library == nullptr) {
        fprintf(stderr, "jvmpihost: %s\n", dlerror());
        return 2;
    }
    using OnLoad = jint (*)(JavaVM *, char *, void *);
    OnLoad onLoad = reinterpret_cast<OnLoad>(dlsym(library, "JVM_OnLoad"));
    if (onLoad == nullptr) {
        fprintf(stderr, "jvmpihost: no JVM_OnLoad in %s\n", argv[1]);
        return 2;
    }
    fillTable();
    if (classPath.empty()) {
        fprintf(stderr, "jvmpihost: --jvm CLASSPATH is required\n");
        return 2;
    }
    if (!startJvm(libjvm, classPath) || !startStacks())
        return 2;
    JNIInvokeInterface_ invoke;
    memset(&invoke, 0, sizeof invoke);
    invoke.GetEnv = getEnv;
    invoke.DestroyJavaVM = destroyJavaVm;
    invoke.AttachCurrentThread = attachCurrentThread;
    invoke.AttachCurrentThreadAsDaemon = attachCurrentThreadAsDaemon;
    invoke.DetachCurrentThread = detachCurrentThread;
    JavaVM vm;
    vm.functions = &invoke;
    std::vector<char> optionText(options.begin(), options.end());
    optionText.push_back('\0');
    jint loaded = onLoad(&vm, optionText.data(), nullptr);
    logCall("JVM_OnLoad returned %d", loaded);
    if (classEvents && !startClassEvents())
        return 2;
    // The agent's natives are bound as the VM binds those of a library it
    // loaded, when its Java classes are there.
    jclass agent = realMainEnv->FindClass("com/orvane/agent/Agent");
    if (agent == nullptr)
        realMainEnv->ExceptionClear();
    else if (agentClass(realMainEnv) == nullptr)
        return 2;
    for (const std::string &step : steps)
        if (!playStep(step))
            return 2;
    // A sampler pass in progress ends within its own time.
    for (int i = 0; i < 200 && gcDisabled != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (gcDisabled != 0) {
        fprintf(stderr, "jvmpihost: DisableGC and EnableGC unbalanced (%d)\n", gcDisabled.load());
        fflush(stdout);
        _exit(3);
    }
    // The agent's threads may still run: end without tearing down statics.
    fflush(stdout);
    fflush(stderr);
    _exit(0);
}
