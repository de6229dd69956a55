// The profiler interface jvmpihost hands the agent: every call the agent
// makes is logged and answered from the host's model or the real JVM, and
// the script's events are posted through the agent's NotifyEvent. The dumps
// the agent requests are built from the model.
#include "JvmpiHost.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <thread>
#include <unistd.h>

namespace {

// The interface table the agent holds, and what its calls left.
struct ProfilerInterface {
    JVMPI_Interface table;
    std::atomic<int> gcDisabled{0};
    std::mutex storageLock;
    std::map<JNIEnv *, void *> storage;
    // The raw monitors the agent made, and the application's by name.
    std::mutex monitorsLock;
    std::vector<HostMonitor *> monitors;
    std::map<std::string, HostMonitor *> applicationMonitors;
    // The event types the agent enabled (the real JVM's class events ask), and
    // those it disabled again: scripted events are played whether or not the
    // agent enabled them yet, but not once it switched them off.
    std::mutex enabledLock;
    std::set<jint> enabledEvents;
    std::set<jint> disabledEvents;
    // What the hook event's allocation function handed out.
    std::mutex hookMemoryLock;
    std::set<void *> hookMemory;
};
ProfilerInterface profiler;
// The JavaVM the agent's JVM_OnLoad gets, and its function table.
JNIInvokeInterface_ agentInvoke;
JavaVM agentVm;

bool isDisabled(jint type)
{
    std::lock_guard<std::mutex> guard(profiler.enabledLock);
    return profiler.disabledEvents.count(type) != 0;
}

bool isEnabled(jint type)
{
    std::lock_guard<std::mutex> guard(profiler.enabledLock);
    return profiler.enabledEvents.count(type) != 0;
}

jint enableEvent(jint type, void *)
{
    logCall("EnableEvent %d", type);
    if (type == hostOptions.failEnable)
        return JVMPI_FAIL;
    std::lock_guard<std::mutex> guard(profiler.enabledLock);
    profiler.enabledEvents.insert(type);
    profiler.disabledEvents.erase(type);
    return JVMPI_SUCCESS;
}

jint disableEvent(jint type, void *)
{
    logCall("DisableEvent %d", type);
    std::lock_guard<std::mutex> guard(profiler.enabledLock);
    profiler.enabledEvents.erase(type);
    profiler.disabledEvents.insert(type);
    return JVMPI_SUCCESS;
}

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

void getCallTrace(JVMPI_CallTrace *trace, jint depth)
{
    int n = threadNumber(trace->env_id);
    logCall("GetCallTrace %d", n);
    trace->num_frames = 0;
    if (n < 0) {
        realCallTrace(trace, depth);
        return;
    }
    std::lock_guard<std::mutex> guard(hostModel.lock);
    for (const JVMPI_CallFrame &frame : hostModel.threads[n].stack)
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
    std::lock_guard<std::mutex> guard(profiler.monitorsLock);
    profiler.monitors.push_back(monitor);
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
    logCall("SuspendThread %d", threadNumber(env));
}

void resumeThread(JNIEnv *env)
{
    logCall("ResumeThread %d", threadNumber(env));
}

jint threadStatus(JNIEnv *env)
{
    int n = threadNumber(env);
    std::lock_guard<std::mutex> guard(hostModel.lock);
    return n >= 0 ? hostModel.threads[n].status : JVMPI_THREAD_RUNNABLE;
}

jboolean threadHasRun(JNIEnv *env)
{
    int n = threadNumber(env);
    logCall("ThreadHasRun %d", n);
    std::lock_guard<std::mutex> guard(hostModel.lock);
    return n < 0 || hostModel.threads[n].hasRun ? JNI_TRUE : JNI_FALSE;
}

jint createSystemThread(char *name, jint priority, void (*f)(void *))
{
    logCall("CreateSystemThread %s %d", name, priority);
    if (hostOptions.failThread)
        return JVMPI_FAIL;
    // A VM's system thread is a daemon thread of that VM, with a JNIEnv of its own.
    std::string threadName = name != nullptr ? name : "system";
    std::thread([f, threadName] {
        std::string copy = threadName;
        JavaVMAttachArgs args{JNI_VERSION_1_8, &copy[0], nullptr};
        JNIEnv *env = nullptr;
        if (realJvm.vm != nullptr && realJvm.vm->AttachCurrentThreadAsDaemon(reinterpret_cast<void **>(&env), &args) == JNI_OK)
            logCall("system thread %s attached to the JVM", threadName.c_str());
        else
            fprintf(stderr, "jvmpihost: system thread %s cannot attach to the JVM\n", threadName.c_str());
        f(nullptr);
        if (env != nullptr)
            realJvm.vm->DetachCurrentThread();
    }).detach();
    return JVMPI_SUCCESS;
}

void setThreadLocalStorage(JNIEnv *env, void *ptr)
{
    std::lock_guard<std::mutex> guard(profiler.storageLock);
    profiler.storage[env] = ptr;
}

void *threadLocalStorage(JNIEnv *env)
{
    std::lock_guard<std::mutex> guard(profiler.storageLock);
    auto found = profiler.storage.find(env);
    return found != profiler.storage.end() ? found->second : nullptr;
}

void disableGc()
{
    logCall("DisableGC");
    ++profiler.gcDisabled;
}

void enableGc()
{
    logCall("EnableGC");
    --profiler.gcDisabled;
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
    std::lock_guard<std::mutex> guard(hostModel.lock);
    auto found = hostModel.methodClasses.find(reinterpret_cast<uintptr_t>(method));
    return found != hostModel.methodClasses.end() ? reinterpret_cast<jobjectID>(found->second) : nullptr;
}

jint JNICALL getEnv(JavaVM *, void **penv, jint version)
{
    logCall("GetEnv 0x%x", static_cast<unsigned>(version));
    if (version == JVMPI_VERSION_1 && !hostOptions.noJvmpi) {
        *penv = &profiler.table;
        return JNI_OK;
    }
    if (version != JVMPI_VERSION_1)
        return realJvm.vm->GetEnv(penv, version);
    *penv = nullptr;
    return JNI_EVERSION;
}

// The agent's JavaVM forwards everything but the profiler interface to the real JVM.
jint JNICALL destroyJavaVm(JavaVM *)
{
    return realJvm.vm->DestroyJavaVM();
}

jint JNICALL attachCurrentThread(JavaVM *, void **penv, void *args)
{
    return realJvm.vm->AttachCurrentThread(penv, args);
}

jint JNICALL attachCurrentThreadAsDaemon(JavaVM *, void **penv, void *args)
{
    return realJvm.vm->AttachCurrentThreadAsDaemon(penv, args);
}

jint JNICALL detachCurrentThread(JavaVM *)
{
    return realJvm.vm->DetachCurrentThread();
}

// The env_id of the host's main thread.
JNIEnv *mainEnv()
{
    return realJvm.mainEnv;
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

// Takes the script's bytes for the next dump of `type`; false when it gave none.
bool takeScriptedDump(jint type, std::vector<char> *bytes)
{
    std::lock_guard<std::mutex> guard(hostModel.scriptedDumpLock);
    auto found = hostModel.scriptedDumps.find(type);
    if (found == hostModel.scriptedDumps.end())
        return false;
    bytes->swap(found->second);
    hostModel.scriptedDumps.erase(found);
    return true;
}

// Java monitor records: byte 1, ID object, ID owner's env, U4 entries, then
// the threads waiting to enter and those waiting to be notified (U4 n and
// n IDs each).
void deliverMonitorDump()
{
    std::vector<char> bytes;
    if (!takeScriptedDump(JVMPI_EVENT_MONITOR_DUMP, &bytes)) {
        std::lock_guard<std::mutex> guard(hostModel.lock);
        for (const auto &monitor : hostModel.monitors) {
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
void deliverHeapDump(jint level)
{
    std::vector<char> bytes;
    if (!hostOptions.noHeapDump && !takeScriptedDump(JVMPI_EVENT_HEAP_DUMP, &bytes)) {
        std::lock_guard<std::mutex> guard(hostModel.lock);
        for (const auto &model : hostModel.classes) {
            bytes.push_back(static_cast<char>(JVMPI_GC_CLASS_DUMP));
            putId(bytes, reinterpret_cast<void *>(model.first));
            for (int i = 0; i < 6; i++)
                putId(bytes, nullptr);
            putU4(bytes, 16);
            bytes.push_back(0); // no constant-pool entries
            bytes.push_back(0);
        }
        for (const auto &object : hostModel.objects) {
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
        if (!hostModel.objects.empty()) {
            bytes.push_back(static_cast<char>(JVMPI_GC_ROOT_JNI_GLOBAL));
            putId(bytes, reinterpret_cast<void *>(hostModel.objects.begin()->first));
            putId(bytes, nullptr);
        }
    }
    JVMPI_Event event;
    memset(&event, 0, sizeof event);
    event.u.heap_dump.dump_level = level;
    event.u.heap_dump.begin = hostOptions.noHeapDump ? nullptr : bytes.data();
    event.u.heap_dump.end = hostOptions.noHeapDump ? nullptr : bytes.data() + bytes.size();
    post(JVMPI_EVENT_HEAP_DUMP | JVMPI_REQUESTED_EVENT, &event);
}

void *allocateHookBytes(unsigned int size)
{
    void *memory = malloc(size);
    std::lock_guard<std::mutex> guard(profiler.hookMemoryLock);
    profiler.hookMemory.insert(memory);
    return memory;
}

// True (and forgotten) when `memory` came from allocateHookBytes.
bool takeHookMemory(void *memory)
{
    std::lock_guard<std::mutex> guard(profiler.hookMemoryLock);
    return profiler.hookMemory.erase(memory) != 0;
}

} // namespace

// The application's raw monitor NAME (not one the agent created), made on first use.
HostMonitor *applicationMonitor(const std::string &name)
{
    std::lock_guard<std::mutex> guard(profiler.monitorsLock);
    HostMonitor *&monitor = profiler.applicationMonitors[name];
    if (monitor == nullptr) {
        monitor = new HostMonitor();
        monitor->name = name;
    }
    return monitor;
}

void fillTable()
{
    memset(&profiler.table, 0, sizeof profiler.table);
    profiler.table.version = JVMPI_VERSION_1;
    profiler.table.EnableEvent = enableEvent;
    profiler.table.DisableEvent = disableEvent;
    profiler.table.RequestEvent = requestEvent;
    profiler.table.GetCallTrace = getCallTrace;
    profiler.table.ProfilerExit = profilerExit;
    profiler.table.RawMonitorCreate = rawMonitorCreate;
    profiler.table.RawMonitorEnter = rawMonitorEnter;
    profiler.table.RawMonitorExit = rawMonitorExit;
    profiler.table.RawMonitorWait = rawMonitorWait;
    profiler.table.RawMonitorNotifyAll = rawMonitorNotifyAll;
    profiler.table.RawMonitorDestroy = rawMonitorDestroy;
    profiler.table.GetCurrentThreadCpuTime = currentThreadCpuTime;
    profiler.table.SuspendThread = suspendThread;
    profiler.table.ResumeThread = resumeThread;
    profiler.table.GetThreadStatus = threadStatus;
    profiler.table.ThreadHasRun = threadHasRun;
    profiler.table.CreateSystemThread = createSystemThread;
    profiler.table.SetThreadLocalStorage = setThreadLocalStorage;
    profiler.table.GetThreadLocalStorage = threadLocalStorage;
    profiler.table.DisableGC = disableGc;
    profiler.table.EnableGC = enableGc;
    profiler.table.RunGC = runGc;
    profiler.table.GetThreadObject = threadObject;
    profiler.table.GetMethodClass = methodClass;
}

void post(jint type, JVMPI_Event *event, JNIEnv *env)
{
    if (isDisabled(type)) {
        logCall("event %d disabled", type);
        return;
    }
    event->event_type = type;
    event->env_id = env != nullptr ? env : mainEnv();
    if (profiler.table.NotifyEvent == nullptr) {
        logCall("no NotifyEvent for event %d", type);
        return;
    }
    int n = env != nullptr ? threadNumber(env) : -1;
    if (n > 0)
        runOn(n, [event] { profiler.table.NotifyEvent(event); });
    else
        profiler.table.NotifyEvent(event);
    logCall("event %d done", type & ~JVMPI_REQUESTED_EVENT);
}

void deliverClassLoad(uintptr_t classId, bool requested)
{
    ModelClass model;
    {
        std::lock_guard<std::mutex> guard(hostModel.lock);
        auto found = hostModel.classes.find(classId);
        if (found == hostModel.classes.end()) {
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

bool agentWants(jint type)
{
    return profiler.table.NotifyEvent != nullptr && isEnabled(type);
}

void notifyAgent(JVMPI_Event *event)
{
    profiler.table.NotifyEvent(event);
}

HostMonitor *agentMonitor(const std::string &name)
{
    HostMonitor *found = nullptr;
    std::lock_guard<std::mutex> guard(profiler.monitorsLock);
    for (HostMonitor *monitor : profiler.monitors)
        if (monitor->name == name)
            found = monitor;
    return found;
}

int gcDisabledCount()
{
    return profiler.gcDisabled.load();
}

JavaVM *agentJavaVm()
{
    memset(&agentInvoke, 0, sizeof agentInvoke);
    agentInvoke.GetEnv = getEnv;
    agentInvoke.DestroyJavaVM = destroyJavaVm;
    agentInvoke.AttachCurrentThread = attachCurrentThread;
    agentInvoke.AttachCurrentThreadAsDaemon = attachCurrentThreadAsDaemon;
    agentInvoke.DetachCurrentThread = detachCurrentThread;
    agentVm.functions = &agentInvoke;
    return &agentVm;
}

HostModel hostModel;

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
