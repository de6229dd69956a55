// jvmpihost plays a VM with the profiler interface for piagent: it loads the
// agent library, calls JVM_OnLoad with a JavaVM whose GetEnv hands out the
// interface, then plays the scripted events. Every interface call the agent
// makes is logged on stdout as "host: <call> <arguments>".
//
//   jvmpihost LIBRARY [--options TEXT] [--no-jvmpi] [--fail-enable EVENT]
//             [--fail-thread] [STEP...]
// Steps: init-done (JVM_INIT_DONE), shut-down (JVM_SHUT_DOWN),
// event:TYPE (an event of that type with no payload),
// raw-contend:NAME (RAW_MONITOR_CONTENDED_ENTER on the agent's monitor NAME).
#include "jvmpi.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <map>
#include <mutex>
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
int failEnable = -1;
bool failThread = false;
std::atomic<int> gcDisabled(0);
std::mutex storageLock;
std::map<JNIEnv *, void *> storage;
std::mutex monitorsLock;
std::vector<HostMonitor *> monitors;
JVMPI_Interface table;

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

jint enableEvent(jint type, void *)
{
    logCall("EnableEvent %d", type);
    return type == failEnable ? JVMPI_FAIL : JVMPI_SUCCESS;
}

jint disableEvent(jint type, void *)
{
    logCall("DisableEvent %d", type);
    return JVMPI_SUCCESS;
}

jint requestEvent(jint type, void *)
{
    logCall("RequestEvent %d", type);
    return JVMPI_NOT_AVAILABLE;
}

void getCallTrace(JVMPI_CallTrace *trace, jint)
{
    logCall("GetCallTrace");
    trace->num_frames = 0;
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
    logCall("SuspendThread %p", static_cast<void *>(env));
}

void resumeThread(JNIEnv *env)
{
    logCall("ResumeThread %p", static_cast<void *>(env));
}

jint threadStatus(JNIEnv *)
{
    return JVMPI_THREAD_RUNNABLE;
}

jboolean threadHasRun(JNIEnv *)
{
    return JNI_TRUE;
}

jint createSystemThread(char *name, jint priority, void (*f)(void *))
{
    logCall("CreateSystemThread %s %d", name, priority);
    if (failThread)
        return JVMPI_FAIL;
    std::thread(f, nullptr).detach();
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
    logCall("GetMethodClass %p", static_cast<void *>(method));
    return nullptr;
}

jint JNICALL getEnv(JavaVM *, void **penv, jint version)
{
    logCall("GetEnv 0x%x", static_cast<unsigned>(version));
    if (version == JVMPI_VERSION_1 && !noJvmpi) {
        *penv = &table;
        return JNI_OK;
    }
    *penv = nullptr;
    return JNI_EVERSION;
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
    static char token;
    return reinterpret_cast<JNIEnv *>(&token);
}

void post(jint type, JVMPI_Event *event)
{
    event->event_type = type;
    event->env_id = mainEnv();
    if (table.NotifyEvent == nullptr) {
        logCall("no NotifyEvent for event %d", type);
        return;
    }
    table.NotifyEvent(event);
    logCall("event %d done", type);
}

bool playStep(const std::string &step)
{
    JVMPI_Event event;
    memset(&event, 0, sizeof event);
    if (step == "init-done") {
        post(JVMPI_EVENT_JVM_INIT_DONE, &event);
    } else if (step == "shut-down") {
        post(JVMPI_EVENT_JVM_SHUT_DOWN, &event);
    } else if (step.compare(0, 6, "event:") == 0) {
        post(atoi(step.c_str() + 6), &event);
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
    } else {
        fprintf(stderr, "jvmpihost: unknown step \"%s\"\n", step.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: jvmpihost LIBRARY [--options TEXT] [--no-jvmpi] [--fail-enable EVENT] [--fail-thread] [STEP...]\n");
        return 2;
    }
    std::string options;
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
        else
            steps.push_back(arg);
    }
    void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
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
    JNIInvokeInterface_ invoke;
    memset(&invoke, 0, sizeof invoke);
    invoke.GetEnv = getEnv;
    JavaVM vm;
    vm.functions = &invoke;
    std::vector<char> optionText(options.begin(), options.end());
    optionText.push_back('\0');
    jint loaded = onLoad(&vm, optionText.data(), nullptr);
    logCall("JVM_OnLoad returned %d", loaded);
    for (const std::string &step : steps)
        if (!playStep(step))
            return 2;
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
