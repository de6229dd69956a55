// piagent's method events on a warm session: one METHOD_ENTRY and its
// METHOD_EXIT through the agent's event callback, as the VM delivers them,
// with CPU recording on. The VM here is a minimal in-process table.
#include <benchmark/benchmark.h>

#include <cstring>
#include <mutex>

#include "PiEventHandler.h"
#include "LiveCpuProfilingSession.h"
#include "PiProfiling.h"
#include "PiProfilingSession.h"
#include "jvmpi.h"

namespace {

std::recursive_mutex monitors[8];
int monitorCount = 0;
void *storedManager = nullptr;

JVMPI_RawMonitor create(char *)
{
    return reinterpret_cast<JVMPI_RawMonitor>(&monitors[monitorCount++ % 8]);
}
void enter(JVMPI_RawMonitor m) { reinterpret_cast<std::recursive_mutex *>(m)->lock(); }
void leave(JVMPI_RawMonitor m) { reinterpret_cast<std::recursive_mutex *>(m)->unlock(); }
void wait(JVMPI_RawMonitor, jlong) {}
jint enable(jint, void *) { return JVMPI_SUCCESS; }
void setStorage(JNIEnv *, void *value) { storedManager = value; }
void *getStorage(JNIEnv *) { return storedManager; }

JVMPI_Interface table;

jint JNICALL getEnv(JavaVM *, void **penv, jint)
{
    *penv = &table;
    return JNI_OK;
}

void post(jint type, JNIEnv *env, JVMPI_Event *event)
{
    event->event_type = type;
    event->env_id = env;
    notifyEventC(event);
}

// The session, its main thread and its class, made once: the benchmark
// function runs several times.
JNIEnv *warmSession()
{
    static char thread;
    JNIEnv *env = reinterpret_cast<JNIEnv *>(&thread);
    if (PiProfiling::session != nullptr)
        return env;
    memset(&table, 0, sizeof table);
    table.version = JVMPI_VERSION_1;
    table.RawMonitorCreate = create;
    table.RawMonitorEnter = enter;
    table.RawMonitorExit = leave;
    table.RawMonitorWait = wait;
    table.EnableEvent = enable;
    table.DisableEvent = enable;
    table.SetThreadLocalStorage = setStorage;
    table.GetThreadLocalStorage = getStorage;
    static JNIInvokeInterface_ invoke;
    memset(&invoke, 0, sizeof invoke);
    invoke.GetEnv = getEnv;
    static JavaVM vm;
    vm.functions = &invoke;
    PiProfilingSession *session = new PiProfilingSession();
    PiProfiling::session = session;
    session->init(&vm, "nowait", false, false);
    LiveCpuProfilingSession *cpu = session->getCpuSession();

    JVMPI_Event event;
    memset(&event, 0, sizeof event);
    event.u.thread_start.thread_name = const_cast<char *>("main");
    event.u.thread_start.group_name = const_cast<char *>("main");
    post(JVMPI_EVENT_THREAD_START, env, &event);
    JVMPI_Method methods[] = {{const_cast<char *>("run"), const_cast<char *>("()V"), 0, 0, reinterpret_cast<jmethodID>(0x11)},
                              {const_cast<char *>("step"), const_cast<char *>("()V"), 0, 0, reinterpret_cast<jmethodID>(0x12)}};
    memset(&event, 0, sizeof event);
    event.u.class_load.class_name = "bench/Work";
    event.u.class_load.num_methods = 2;
    event.u.class_load.methods = methods;
    event.u.class_load.class_id = reinterpret_cast<jobjectID>(0x100);
    post(JVMPI_EVENT_CLASS_LOAD | JVMPI_REQUESTED_EVENT, nullptr, &event);
    cpu->setCpuRecord(true, true);
    return env;
}

void BM_MethodEntryExitPair(benchmark::State &state)
{
    JNIEnv *env = warmSession();
    JVMPI_Event entry;
    memset(&entry, 0, sizeof entry);
    entry.u.method.method_id = reinterpret_cast<jmethodID>(0x11);
    post(JVMPI_EVENT_METHOD_ENTRY, env, &entry);
    JVMPI_Event exit = entry;
    entry.u.method.method_id = reinterpret_cast<jmethodID>(0x12);
    exit.u.method.method_id = reinterpret_cast<jmethodID>(0x12);
    // Warm: the node of step() exists.
    post(JVMPI_EVENT_METHOD_ENTRY, env, &entry);
    post(JVMPI_EVENT_METHOD_EXIT, env, &exit);
    for (auto _ : state) {
        entry.event_type = JVMPI_EVENT_METHOD_ENTRY;
        notifyEventC(&entry);
        exit.event_type = JVMPI_EVENT_METHOD_EXIT;
        notifyEventC(&exit);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MethodEntryExitPair);

} // namespace

BENCHMARK_MAIN();
