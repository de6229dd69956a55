// The profiler-interface binding in-process, against a recording interface:
// the layout of the interface records, the session's locks and the dispatcher.
#include <gtest/gtest.h>

#include "ClassData.h"
#include "PiEventHandler.h"
#include "HeapDumpFile.h"
#include "PiHeapdump.h"
#include "LiveMonitorManager.h"
#include "LiveThreadManager.h"
#include "MonitorEntry.h"
#include "InternalMonitor.h"
#include "Instrumenter.h"
#include "PiProfiling.h"
#include "MethodDesc.h"
#include "PiProfilingSession.h"
#include "Counter.h"
#include "TypeUtil.h"
#include "jvmpi.h"
#include "../../instr/InstrumenterTestSupport.h"
#include "../../../support/TempDir.h"
#include "MessageUtil.h"
#include "io/ClassFileReader.h"
#include "io/ClassFileWriter.h"
#include "LiveSamplerSession.h"
#include "ByteArrayDataReader.h"
#include "CharVectorDataWriter.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

std::mutex logLock;
std::vector<std::string> calls;
std::vector<std::string> monitorNames;

void record(const std::string &call)
{
    std::lock_guard<std::mutex> guard(logLock);
    calls.push_back(call);
}

std::vector<std::string> takeCalls()
{
    std::lock_guard<std::mutex> guard(logLock);
    std::vector<std::string> result;
    result.swap(calls);
    return result;
}

// Monitor ids are 1-based indices into monitorNames.
JVMPI_RawMonitor fakeCreate(char *name)
{
    monitorNames.push_back(name);
    return reinterpret_cast<JVMPI_RawMonitor>(monitorNames.size());
}

std::string nameOf(JVMPI_RawMonitor id)
{
    size_t index = reinterpret_cast<size_t>(id);
    return index >= 1 && index <= monitorNames.size() ? monitorNames[index - 1] + "#" + std::to_string(index) : "?";
}

void fakeEnter(JVMPI_RawMonitor id) { record("enter " + nameOf(id)); }
void fakeExit(JVMPI_RawMonitor id) { record("exit " + nameOf(id)); }
void fakeWait(JVMPI_RawMonitor id, jlong ms)
{
    record("wait " + nameOf(id) + " " + std::to_string(ms));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
jint fakeEnable(jint type, void *)
{
    record("enable " + std::to_string(type));
    return JVMPI_SUCCESS;
}

JVMPI_Interface fakeTable()
{
    JVMPI_Interface table;
    memset(&table, 0, sizeof table);
    table.version = JVMPI_VERSION_1;
    table.RawMonitorCreate = fakeCreate;
    table.RawMonitorEnter = fakeEnter;
    table.RawMonitorExit = fakeExit;
    table.RawMonitorWait = fakeWait;
    table.EnableEvent = fakeEnable;
    return table;
}

class PiBindingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        table = fakeTable();
        monitorNames.clear();
        PiProfiling::g_profilingInterface = &table;
        PiProfiling::createMonitors();
        PiProfiling::shuttingDown = false;
        PiProfiling::dying = false;
        PiProfiling::shouldWakeup = false;
        PiProfiling::session = &session;
        takeCalls();
    }

    void TearDown() override
    {
        PiProfiling::session = nullptr;
        PiProfiling::g_profilingInterface = nullptr;
        MessageUtil::closeDebugOut();
    }

    // Events the binding ignores go to the debug file below TMPDIR: the test's own.
    PrivateTmpdir tmp;
    JVMPI_Interface table;
    PiProfilingSession session;
};

// The records cross from the VM into the library: their LP64 layout.
TEST(PiInterfaceLayoutTest, InterfaceSlotsInPublishedOrder)
{
    ASSERT_EQ(sizeof(void *), 8u);
    struct Slot {
        const char *name;
        size_t offset;
        size_t expected;
    };
    const Slot slots[] = {
        {"version", offsetof(JVMPI_Interface, version), 0},
        {"NotifyEvent", offsetof(JVMPI_Interface, NotifyEvent), 8},
        {"EnableEvent", offsetof(JVMPI_Interface, EnableEvent), 16},
        {"DisableEvent", offsetof(JVMPI_Interface, DisableEvent), 24},
        {"RequestEvent", offsetof(JVMPI_Interface, RequestEvent), 32},
        {"GetCallTrace", offsetof(JVMPI_Interface, GetCallTrace), 40},
        {"ProfilerExit", offsetof(JVMPI_Interface, ProfilerExit), 48},
        {"RawMonitorCreate", offsetof(JVMPI_Interface, RawMonitorCreate), 56},
        {"RawMonitorEnter", offsetof(JVMPI_Interface, RawMonitorEnter), 64},
        {"RawMonitorExit", offsetof(JVMPI_Interface, RawMonitorExit), 72},
        {"RawMonitorWait", offsetof(JVMPI_Interface, RawMonitorWait), 80},
        {"RawMonitorNotifyAll", offsetof(JVMPI_Interface, RawMonitorNotifyAll), 88},
        {"RawMonitorDestroy", offsetof(JVMPI_Interface, RawMonitorDestroy), 96},
        {"GetCurrentThreadCpuTime", offsetof(JVMPI_Interface, GetCurrentThreadCpuTime), 104},
        {"SuspendThread", offsetof(JVMPI_Interface, SuspendThread), 112},
        {"ResumeThread", offsetof(JVMPI_Interface, ResumeThread), 120},
        {"GetThreadStatus", offsetof(JVMPI_Interface, GetThreadStatus), 128},
        {"ThreadHasRun", offsetof(JVMPI_Interface, ThreadHasRun), 136},
        {"CreateSystemThread", offsetof(JVMPI_Interface, CreateSystemThread), 144},
        {"SetThreadLocalStorage", offsetof(JVMPI_Interface, SetThreadLocalStorage), 152},
        {"GetThreadLocalStorage", offsetof(JVMPI_Interface, GetThreadLocalStorage), 160},
        {"DisableGC", offsetof(JVMPI_Interface, DisableGC), 168},
        {"EnableGC", offsetof(JVMPI_Interface, EnableGC), 176},
        {"RunGC", offsetof(JVMPI_Interface, RunGC), 184},
        {"GetThreadObject", offsetof(JVMPI_Interface, GetThreadObject), 192},
        {"GetMethodClass", offsetof(JVMPI_Interface, GetMethodClass), 200},
    };
    for (const Slot &slot : slots)
        EXPECT_EQ(slot.offset, slot.expected) << slot.name;
}

TEST(PiInterfaceLayoutTest, EventRecordFields)
{
    struct Field {
        const char *name;
        size_t offset;
        size_t expected;
    };
    const Field fields[] = {
        {"event_type", offsetof(JVMPI_Event, event_type), 0},
        {"env_id", offsetof(JVMPI_Event, env_id), 8},
        {"obj_alloc.arena_id", offsetof(JVMPI_Event, u.obj_alloc.arena_id), 16},
        {"obj_alloc.class_id", offsetof(JVMPI_Event, u.obj_alloc.class_id), 24},
        {"obj_alloc.is_array", offsetof(JVMPI_Event, u.obj_alloc.is_array), 32},
        {"obj_alloc.size", offsetof(JVMPI_Event, u.obj_alloc.size), 36},
        {"obj_alloc.obj_id", offsetof(JVMPI_Event, u.obj_alloc.obj_id), 40},
        {"obj_move.obj_id", offsetof(JVMPI_Event, u.obj_move.obj_id), 24},
        {"obj_move.new_arena_id", offsetof(JVMPI_Event, u.obj_move.new_arena_id), 32},
        {"obj_move.new_obj_id", offsetof(JVMPI_Event, u.obj_move.new_obj_id), 40},
        {"thread_start.thread_env_id", offsetof(JVMPI_Event, u.thread_start.thread_env_id), 48},
        {"class_load.class_id", offsetof(JVMPI_Event, u.class_load.class_id), 80},
        {"class_load_hook.malloc_f", offsetof(JVMPI_Event, u.class_load_hook.malloc_f), 48},
        {"heap_dump.num_traces", offsetof(JVMPI_Event, u.heap_dump.num_traces), 40},
        {"monitor_dump.threads_status", offsetof(JVMPI_Event, u.monitor_dump.threads_status), 48},
        {"monitor_wait.timeout", offsetof(JVMPI_Event, u.monitor_wait.timeout), 24},
    };
    for (const Field &field : fields)
        EXPECT_EQ(field.offset, field.expected) << field.name;
}

TEST_F(PiBindingTest, MonitorsCreatedInOrderWithTheSnapshotMonitorSeparate)
{
    EXPECT_EQ(monitorNames, (std::vector<std::string>{"_orvane_heap", "_orvane_class", "_orvane_thread", "_orvane_sleep",
                                                       "_orvane_dead_threads", "_orvane_dead_threads"}));
    EXPECT_NE(PiProfiling::_deadThreadsMonitor, PiProfiling::_snapshotMonitor);
}

TEST_F(PiBindingTest, EveryAgentMonitorIsOwn)
{
    struct Case {
        JVMPI_RawMonitor monitor;
        bool own;
    };
    const Case cases[] = {
        {PiProfiling::_heapMonitor, true},
        {PiProfiling::_classMonitor, true},
        {PiProfiling::_threadMonitor, true},
        {PiProfiling::_sleepMonitor, true},
        {PiProfiling::_deadThreadsMonitor, true},
        {PiProfiling::_snapshotMonitor, true},
        {reinterpret_cast<JVMPI_RawMonitor>(99), false},
        {nullptr, false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(session.isMyMonitor(c.monitor), c.own) << nameOf(c.monitor);
}

TEST_F(PiBindingTest, LocksEnteredAndLeftInFixedOrderAlsoAfterShutDownBegan)
{
    const std::vector<std::string> expected = {
        "enter _orvane_dead_threads#5", "enter _orvane_thread#3", "enter _orvane_class#2", "enter _orvane_heap#1",
        "exit _orvane_heap#1",          "exit _orvane_class#2",   "exit _orvane_thread#3", "exit _orvane_dead_threads#5",
    };
    for (bool shuttingDown : {false, true}) {
        PiProfiling::shuttingDown = shuttingDown;
        session.enterMonitor(IM_ALL);
        session.exitMonitor(IM_ALL, false);
        EXPECT_EQ(takeCalls(), expected) << "shutting down " << shuttingDown;
    }
    session.enterMonitor(IM_HEAP | IM_THREAD);
    session.exitMonitor(IM_HEAP | IM_THREAD, false);
    EXPECT_EQ(takeCalls(), (std::vector<std::string>{"enter _orvane_thread#3", "enter _orvane_heap#1", "exit _orvane_heap#1",
                                                      "exit _orvane_thread#3"}));
}

TEST_F(PiBindingTest, RequestedShutDownIsDispatchedByItsPlainTypeAndCleansUpWithoutFrontend)
{
    JVMPI_Event event;
    memset(&event, 0, sizeof event);
    event.event_type = JVMPI_REQUESTED_EVENT | JVMPI_EVENT_JVM_SHUT_DOWN;
    notifyEventC(&event);
    EXPECT_EQ(event.event_type, JVMPI_EVENT_JVM_SHUT_DOWN);
    EXPECT_TRUE(PiProfiling::shuttingDown);
    EXPECT_TRUE(PiProfiling::dying);
    // Whether to wait is decided under the sleep monitor; clean-up holds the
    // snapshot monitor.
    EXPECT_EQ(takeCalls(), (std::vector<std::string>{"enter _orvane_sleep#4", "exit _orvane_sleep#4", "enter _orvane_dead_threads#6",
                                                      "exit _orvane_dead_threads#6"}));
}

TEST_F(PiBindingTest, UnknownEventTypesAreIgnored)
{
    for (jint type : {0, 7, 36, 99, JVMPI_REQUESTED_EVENT | 99}) {
        JVMPI_Event event;
        memset(&event, 0, sizeof event);
        event.event_type = type;
        notifyEventC(&event);
        EXPECT_TRUE(takeCalls().empty()) << type;
        EXPECT_FALSE(PiProfiling::shuttingDown);
    }
    notifyEventC(nullptr);
}

TEST_F(PiBindingTest, SleepZeroWaitsUntilWokenInStepsOf200Ms)
{
    std::atomic<bool> returned(false);
    std::thread sleeper([&] {
        session.sleep(0);
        returned = true;
    });
    // Wake it only once it waits: sleep(0) clears the flag when it starts.
    // Unwoken, it waits again after a wait; a sleep that ended would leave
    // the monitor instead.
    std::string third;
    for (bool waiting = false; !waiting;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::lock_guard<std::mutex> guard(logLock);
        waiting = calls.size() >= 3;
        if (waiting)
            third = calls[2];
    }
    EXPECT_EQ(third, "wait _orvane_sleep#4 200");
    EXPECT_FALSE(returned);
    PiProfiling::shouldWakeup = true;
    sleeper.join();
    std::vector<std::string> seen = takeCalls();
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen.front(), "enter _orvane_sleep#4");
    EXPECT_EQ(seen[1], "wait _orvane_sleep#4 200");
    EXPECT_EQ(seen.back(), "exit _orvane_sleep#4");

    session.sleep(100);
    EXPECT_EQ(takeCalls(), (std::vector<std::string>{"enter _orvane_sleep#4", "wait _orvane_sleep#4 100", "exit _orvane_sleep#4"}));
}

TEST_F(PiBindingTest, EnableEventsStoresTheCallbackAndEnablesInOrder)
{
    PiEventHandler handler;
    ASSERT_TRUE(handler.enableEvents(nullptr, false));
    EXPECT_EQ(table.NotifyEvent, notifyEventC);
    std::vector<std::string> expected;
    for (int type : {35, 42, 43, 34, 33, 46, 47, 6, 51, 52, 54, 55, 57, 58})
        expected.push_back("enable " + std::to_string(type));
    EXPECT_EQ(takeCalls(), expected);
}

JVMPI_Interface *vmTable = nullptr;

jint JNICALL fakeGetEnv(JavaVM *, void **penv, jint version)
{
    *penv = version == JVMPI_VERSION_1 ? vmTable : nullptr;
    return *penv != nullptr ? JNI_OK : JNI_EVERSION;
}

TEST(PiTypeUtilTest, ArrayCodes)
{
    const int expected[][2] = {{0, 2}, {1, 0}, {2, 3}, {3, 0}, {4, 4}, {5, 6}, {6, 10}, {7, 11},
                               {8, 5}, {9, 7}, {10, 8}, {11, 9}, {12, 0}, {-1, 0}};
    for (const auto &pair : expected)
        EXPECT_EQ(TypeUtil::jvmpiToOrvaneArray(pair[0]), pair[1]) << pair[0];
}

class PiHeapEventsTest : public PiBindingTest {
protected:
    void SetUp() override
    {
        PiBindingTest::SetUp();
        vmTable = &table;
        memset(&invoke, 0, sizeof invoke);
        invoke.GetEnv = fakeGetEnv;
        vm.functions = &invoke;
        // Start-up makes the monitors again.
        monitorNames.clear();
        session.init(&vm, "", false, false);
        heap = session.getHeapSession();
        ASSERT_NE(heap, nullptr);
        heap->setRecording(true);
        takeCalls();
    }

    void post(JVMPI_Event &event)
    {
        notifyEventC(&event);
    }

    void alloc(uint64_t object, jint isArray, jint size)
    {
        JVMPI_Event event;
        memset(&event, 0, sizeof event);
        event.event_type = JVMPI_EVENT_OBJECT_ALLOC;
        event.u.obj_alloc.obj_id = id(object);
        event.u.obj_alloc.is_array = isArray;
        event.u.obj_alloc.size = size;
        post(event);
    }

    void release(uint64_t object)
    {
        JVMPI_Event event;
        memset(&event, 0, sizeof event);
        event.event_type = JVMPI_EVENT_OBJECT_FREE;
        event.u.obj_free.obj_id = id(object);
        post(event);
    }

    void move(uint64_t from, uint64_t to)
    {
        JVMPI_Event event;
        memset(&event, 0, sizeof event);
        event.event_type = JVMPI_EVENT_OBJECT_MOVE;
        event.u.obj_move.obj_id = id(from);
        event.u.obj_move.new_obj_id = id(to);
        post(event);
    }

    static jobjectID id(uint64_t value) { return reinterpret_cast<jobjectID>(static_cast<uintptr_t>(value)); }

    std::vector<long long> counters() const
    {
        return {heap->numCreatedObjects, heap->numFreedObjects, heap->numArrays, heap->numNonArrays};
    }

    JNIInvokeInterface_ invoke;
    JavaVM vm;
    LiveHeapProfilingSession *heap = nullptr;
};

TEST_F(PiHeapEventsTest, AllocationsMovesAndFreesKeepTheLiveObjectsAndCounters)
{
    alloc(0x1000, 0, 16);    // an object of an unknown class
    alloc(0x2000, 10, 4016); // an int array
    EXPECT_EQ(counters(), (std::vector<long long>{2, 0, 1, 1}));
    // The allocation holds the heap monitor.
    EXPECT_EQ(takeCalls(), (std::vector<std::string>{"enter _orvane_heap#1", "exit _orvane_heap#1", "enter _orvane_heap#1",
                                                      "exit _orvane_heap#1"}));
    PiHeapAllocItem *array = heap->getHeapAllocItem(id(0x2000));
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(array->getType(), 8);
    EXPECT_EQ(array->getSize(), 4016);
    EXPECT_EQ(array->getClassData(), nullptr);
    PiHeapAllocItem *object = heap->getHeapAllocItem(id(0x1000));
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->getType(), 2);

    move(0x2000, 0x3000);
    EXPECT_EQ(heap->getHeapAllocItem(id(0x2000)), nullptr);
    EXPECT_EQ(heap->getHeapAllocItem(id(0x3000)), array);

    struct Step {
        uint64_t freed;
        std::vector<long long> counters;
    };
    const Step steps[] = {
        {0x2000, {2, 0, 1, 1}}, // the old id of the moved array: unknown now
        {0x9999, {2, 0, 1, 1}}, // never recorded
        {1, {2, 0, 1, 1}},      // id 1 is ignored
        {0x3000, {2, 1, 0, 1}},
        {0x3000, {2, 1, 0, 1}}, // freed twice
        {0x1000, {2, 1, 0, 1}}, // an object without a class counts nowhere
    };
    for (const Step &step : steps) {
        release(step.freed);
        EXPECT_EQ(counters(), step.counters) << std::hex << step.freed;
    }
    EXPECT_EQ(heap->getHeapAllocItem(id(0x1000)), nullptr);

    // Freed items come back from their pools, newest first.
    alloc(0x4000, 0, 16);
    EXPECT_EQ(heap->getHeapAllocItem(id(0x4000)), object);
    alloc(0x5000, 10, 8);
    EXPECT_EQ(heap->getHeapAllocItem(id(0x5000)), array);
}

TEST_F(PiHeapEventsTest, NothingIsRecordedWhileRecordingIsOff)
{
    heap->setRecording(false);
    alloc(0x1000, 0, 16);
    EXPECT_EQ(counters(), (std::vector<long long>{0, 0, 0, 0}));
    EXPECT_EQ(heap->getHeapAllocItem(id(0x1000)), nullptr);
    EXPECT_TRUE(takeCalls().empty());
}

// Thread-local storage and requested events of the fake VM.
std::map<JNIEnv *, void *> storage;
std::vector<unsigned char> monitorDumpBytes;
std::vector<unsigned char> heapDumpBytes;
bool heapDumpDelivered = true;
int heapDumpRequests = 0;

void fakeSetStorage(JNIEnv *env, void *value) { storage[env] = value; }
void *fakeGetStorage(JNIEnv *env) { return storage.count(env) != 0 ? storage[env] : nullptr; }

jint fakeRequest(jint type, void *)
{
    record("request " + std::to_string(type));
    if (type == JVMPI_EVENT_MONITOR_DUMP) {
        JVMPI_Event event;
        memset(&event, 0, sizeof event);
        event.event_type = JVMPI_REQUESTED_EVENT | JVMPI_EVENT_MONITOR_DUMP;
        event.u.monitor_dump.begin = reinterpret_cast<char *>(monitorDumpBytes.data());
        event.u.monitor_dump.end = reinterpret_cast<char *>(monitorDumpBytes.data() + monitorDumpBytes.size());
        notifyEventC(&event);
    }
    if (type == JVMPI_EVENT_HEAP_DUMP) {
        heapDumpRequests++;
        JVMPI_Event event;
        memset(&event, 0, sizeof event);
        event.event_type = JVMPI_REQUESTED_EVENT | JVMPI_EVENT_HEAP_DUMP;
        if (heapDumpDelivered) {
            event.u.heap_dump.begin = reinterpret_cast<char *>(heapDumpBytes.data());
            event.u.heap_dump.end = reinterpret_cast<char *>(heapDumpBytes.data() + heapDumpBytes.size());
        }
        notifyEventC(&event);
    }
    return JVMPI_SUCCESS;
}

class PiEventsTest : public PiHeapEventsTest {
protected:
    void SetUp() override
    {
        PiHeapEventsTest::SetUp();
        storage.clear();
        table.SetThreadLocalStorage = fakeSetStorage;
        table.GetThreadLocalStorage = fakeGetStorage;
        table.RequestEvent = fakeRequest;
        heapDumpBytes.clear();
        heapDumpDelivered = true;
        heapDumpRequests = 0;
        cpu = session.getCpuSession();
        ASSERT_NE(cpu, nullptr);
    }

    static JNIEnv *env(uintptr_t value) { return reinterpret_cast<JNIEnv *>(value); }

    void threadStart(uintptr_t thread, const char *name)
    {
        JVMPI_Event event;
        memset(&event, 0, sizeof event);
        event.event_type = JVMPI_EVENT_THREAD_START;
        event.env_id = env(thread);
        event.u.thread_start.thread_name = const_cast<char *>(name);
        event.u.thread_start.group_name = const_cast<char *>("main");
        post(event);
    }

    void classLoad(uintptr_t classId, const char *name)
    {
        JVMPI_Event event;
        memset(&event, 0, sizeof event);
        event.event_type = JVMPI_EVENT_CLASS_LOAD;
        event.u.class_load.class_name = name;
        event.u.class_load.class_id = id(classId);
        post(event);
    }

    void monitorEvent(jint type, uintptr_t thread, uintptr_t object)
    {
        JVMPI_Event event;
        memset(&event, 0, sizeof event);
        event.event_type = type;
        event.env_id = env(thread);
        if (type == JVMPI_EVENT_MONITOR_WAIT || type == JVMPI_EVENT_MONITOR_WAITED)
            event.u.monitor_wait.object = id(object);
        else if (type == JVMPI_EVENT_RAW_MONITOR_CONTENDED_ENTER || type == JVMPI_EVENT_RAW_MONITOR_CONTENDED_ENTERED)
            event.u.raw_monitor.id = reinterpret_cast<JVMPI_RawMonitor>(object);
        else
            event.u.monitor.object = id(object);
        post(event);
    }

    LiveCpuProfilingSession *cpu = nullptr;
};

TEST_F(PiEventsTest, FirstMainThreadTakesThePremadeManagerASecondMainItsOwn)
{
    LiveThreadManager *premade = cpu->getMainThreadManager();
    threadStart(0x1000, "main");
    EXPECT_EQ(premade->threadHandle, env(0x1000));
    EXPECT_EQ(cpu->getThreadManager(env(0x1000), false, false), premade);
    threadStart(0x2000, "main");
    LiveThreadManager *second = cpu->getThreadManager(env(0x2000), false, false);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, premade);
    EXPECT_EQ(storage[env(0x2000)], second);
    EXPECT_EQ(cpu->getNumThreadsAlive(), 2);

    JVMPI_Event end;
    memset(&end, 0, sizeof end);
    end.event_type = JVMPI_EVENT_THREAD_END;
    end.env_id = env(0x2000);
    post(end);
    EXPECT_TRUE(second->getIsDead());
    EXPECT_GE(second->getEndTime(), 0);
    EXPECT_EQ(cpu->getThreadManager(env(0x2000), false, true), nullptr);
    EXPECT_EQ(cpu->getNumThreadsAlive(), 1);
    // An unknown thread's end changes nothing.
    end.env_id = env(0x9000);
    post(end);
    EXPECT_EQ(cpu->getNumThreadsAlive(), 1);
}

// The monitor dump of the VM, literally: 8-byte IDs in host order (this
// build is 64-bit little-endian), counts as U4 big-endian.
TEST_F(PiEventsTest, MonitorDumpGivesBlockedAndWaitingEntries)
{
    ASSERT_EQ(sizeof(void *), 8u);
    threadStart(0x1000, "owner");
    threadStart(0x2000, "blocked");
    threadStart(0x3000, "waiting");
    cpu->setMonitorRecording(true, 0, 0);
    LiveThreadManager *owner = cpu->getThreadManager(env(0x1000), false, true);
    LiveThreadManager *blocked = cpu->getThreadManager(env(0x2000), false, true);
    LiveThreadManager *waiting = cpu->getThreadManager(env(0x3000), false, true);
    monitorEvent(JVMPI_EVENT_MONITOR_CONTENDED_ENTER, 0x2000, 0x5000);
    // A wait that starts after the dump is read lasts 0.
    waiting->setMonitorWait(Counter::getUsec() + 10000000, nullptr, false);
    monitorDumpBytes = {
        0x01, 0x00, 0x50, 0, 0, 0, 0, 0, 0,   // Java monitor 0x5000
        0x00, 0x10, 0, 0, 0, 0, 0, 0,         // owned by thread 0x1000
        0, 0, 0, 1,                           // entry count
        0, 0, 0, 1, 0x00, 0x20, 0, 0, 0, 0, 0, 0, // waiting to enter: 0x2000
        0, 0, 0, 1, 0x00, 0x30, 0, 0, 0, 0, 0, 0, // waiting to be notified: 0x3000
        0x01, 0x00, 0x60, 0, 0, 0, 0, 0, 0,   // Java monitor 0x6000
        0, 0, 0, 0, 0, 0, 0, 0,               // no owner
        0, 0, 0, 0,
        0, 0, 0, 1, 0x00, 0x20, 0, 0, 0, 0, 0, 0, // blocked without owner: no entry
        0, 0, 0, 1, 0x00, 0x30, 0, 0, 0, 0, 0, 0,
    };
    long long before = Counter::getUsec();
    cpu->collectCurrentMonitorEntries();
    std::vector<MonitorEntry> entries = cpu->getCurrentMonitorEntries();
    ASSERT_EQ(entries.size(), 3u);
    LiveMonitorManager *first = cpu->findMonitorManager(false, reinterpret_cast<void *>(0x5000));
    LiveMonitorManager *second = cpu->findMonitorManager(false, reinterpret_cast<void *>(0x6000));
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(entries[0].getType(), MonitorEntry::TYPE_BLOCKED);
    EXPECT_EQ(entries[0].getThreadManager(), blocked);
    EXPECT_EQ(entries[0].getOwner(), owner);
    EXPECT_EQ(entries[0].getDisplayId(), first->getDisplayId());
    EXPECT_GE(entries[0].getDuration(), 0);
    EXPECT_LE(entries[0].getStart(), before);
    EXPECT_EQ(entries[1].getType(), MonitorEntry::TYPE_WAITING);
    EXPECT_EQ(entries[1].getThreadManager(), waiting);
    EXPECT_EQ(entries[1].getOwner(), nullptr);
    EXPECT_EQ(entries[1].getDuration(), 0);
    EXPECT_EQ(entries[2].getType(), MonitorEntry::TYPE_WAITING);
    EXPECT_EQ(entries[2].getDisplayId(), second->getDisplayId());

    // Cut inside the second record: the first record's entries stay.
    monitorDumpBytes.resize(50);
    cpu->collectCurrentMonitorEntries();
    EXPECT_EQ(cpu->getCurrentMonitorEntries().size(), 2u);
    // A record of an unknown kind ends the reading.
    monitorDumpBytes = {0x07, 1, 2, 3};
    cpu->collectCurrentMonitorEntries();
    EXPECT_TRUE(cpu->getCurrentMonitorEntries().empty());
}

TEST_F(PiEventsTest, ObjectMoveRekeysClassesMonitorsAndItems)
{
    classLoad(0x700, "demo/Lock");
    PiClassProfilingSession *classes = session.getClassSession();
    ClassData *lockClass = classes->getClassData(id(0x700));
    ASSERT_NE(lockClass, nullptr);
    EXPECT_STREQ(lockClass->getClassName(), "demo.Lock");
    JVMPI_Event event;
    memset(&event, 0, sizeof event);
    event.event_type = JVMPI_EVENT_OBJECT_ALLOC;
    event.u.obj_alloc.obj_id = id(0x5000);
    event.u.obj_alloc.class_id = id(0x700);
    event.u.obj_alloc.size = 16;
    post(event);
    threadStart(0x1000, "main");
    cpu->setMonitorRecording(true, 0, 0);
    monitorEvent(JVMPI_EVENT_MONITOR_CONTENDED_ENTER, 0x1000, 0x5000);
    monitorEvent(JVMPI_EVENT_MONITOR_CONTENDED_ENTERED, 0x1000, 0x5000);
    LiveMonitorManager *monitor = cpu->findMonitorManager(false, reinterpret_cast<void *>(0x5000));
    ASSERT_NE(monitor, nullptr);
    // The monitor's class is the class of its object.
    EXPECT_EQ(monitor->getClassData(), lockClass);

    move(0x700, 0x710);
    move(0x5000, 0x5010);
    EXPECT_EQ(classes->getClassData(id(0x700)), nullptr);
    EXPECT_EQ(classes->getClassData(id(0x710)), lockClass);
    EXPECT_EQ(cpu->findMonitorManager(false, reinterpret_cast<void *>(0x5000)), nullptr);
    EXPECT_EQ(cpu->findMonitorManager(false, reinterpret_cast<void *>(0x5010)), monitor);
    EXPECT_EQ(heap->getHeapAllocItem(id(0x5000)), nullptr);
    ASSERT_NE(heap->getHeapAllocItem(id(0x5010)), nullptr);
    EXPECT_EQ(heap->getHeapAllocItem(id(0x5010))->getClassData(), lockClass);
}

TEST_F(PiEventsTest, ContentionOnTheAgentsOwnRawMonitorsIsNeverRecorded)
{
    threadStart(0x1000, "main");
    cpu->setMonitorRecording(true, 0, 0);
    for (JVMPI_RawMonitor own : {PiProfiling::_heapMonitor, PiProfiling::_snapshotMonitor}) {
        monitorEvent(JVMPI_EVENT_RAW_MONITOR_CONTENDED_ENTER, 0x1000, reinterpret_cast<uintptr_t>(own));
        EXPECT_EQ(cpu->findMonitorManager(true, own), nullptr);
    }
    monitorEvent(JVMPI_EVENT_RAW_MONITOR_CONTENDED_ENTER, 0x1000, 0x4242);
    EXPECT_NE(cpu->findMonitorManager(true, reinterpret_cast<void *>(0x4242)), nullptr);
}

TEST_F(PiEventsTest, ClassLoadHookLeavesAnUnchangedClassInItsBuffer)
{
    unsigned char bytes[] = {0xCA, 0xFE, 0xBA, 0xBE, 0, 0, 0, 49};
    JVMPI_Event event;
    memset(&event, 0, sizeof event);
    event.event_type = JVMPI_EVENT_CLASS_LOAD_HOOK;
    event.u.class_load_hook.class_data = bytes;
    event.u.class_load_hook.class_data_len = sizeof bytes;
    event.u.class_load_hook.malloc_f = [](unsigned size) { return malloc(size); };
    post(event);
    EXPECT_EQ(event.u.class_load_hook.new_class_data, bytes);
    EXPECT_EQ(event.u.class_load_hook.new_class_data_len, static_cast<jint>(sizeof bytes));
}

// The VM reports allocations here: Object's constructor and String's
// fields stay as the VM gives them (the tool-interface build changes both).
TEST_F(PiEventsTest, ObjectAndStringComeBackInTheirOwnBuffers)
{
    for (const char *name : {"java/lang/Object", "java/lang/String"}) {
        SCOPED_TRACE(name);
        instrtest::TestClass c(name, 52);
        c.method("<init>", "()V", instrtest::ACC_PUBLIC, {0xB1});
        char *written = nullptr;
        int length = Tessera::ClassFileWriter::writeToByteArray(&written, c.cf);
        ASSERT_GT(length, 0);
        std::vector<unsigned char> bytes(written, written + length);
        delete[] written;
        JVMPI_Event event;
        memset(&event, 0, sizeof event);
        event.event_type = JVMPI_EVENT_CLASS_LOAD_HOOK;
        event.u.class_load_hook.class_data = bytes.data();
        event.u.class_load_hook.class_data_len = length;
        event.u.class_load_hook.malloc_f = [](unsigned size) { return malloc(size); };
        post(event);
        EXPECT_EQ(event.u.class_load_hook.new_class_data, bytes.data());
        EXPECT_EQ(event.u.class_load_hook.new_class_data_len, length);
    }
}

// A class the rewriting met and the same class announced by the VM are one
// record, and so are their methods: hooks and method ids name the same one.
TEST_F(PiEventsTest, RewritingAndClassLoadShareTheirRecords)
{
    PiClassProfilingSession *classes = session.getClassSession();
    MethodDesc *hooked = Instrumenter::getMethodDesc("demo/Shared", "work", "()V");
    ASSERT_NE(hooked, nullptr);
    char name[] = "work", signature[] = "()V";
    JVMPI_Method method{name, signature, 0, 0, reinterpret_cast<jmethodID>(0x5151)};
    JVMPI_Event event;
    memset(&event, 0, sizeof event);
    event.event_type = JVMPI_EVENT_CLASS_LOAD | JVMPI_REQUESTED_EVENT;
    event.u.class_load.class_name = "demo/Shared";
    event.u.class_load.num_methods = 1;
    event.u.class_load.methods = &method;
    event.u.class_load.class_id = id(0x5150);
    post(event);
    EXPECT_EQ(classes->getClassData(id(0x5150)), Instrumenter::getClassData("demo.Shared"));
    EXPECT_EQ(classes->getMethodDesc(reinterpret_cast<jmethodID>(0x5151), nullptr), hooked);
    // A method the VM announced first is the one the rewriting finds.
    char other[] = "other";
    method = JVMPI_Method{other, signature, 0, 0, reinterpret_cast<jmethodID>(0x5161)};
    event.event_type = JVMPI_EVENT_CLASS_LOAD | JVMPI_REQUESTED_EVENT;
    event.u.class_load.class_name = "demo/Later";
    event.u.class_load.class_id = id(0x5160);
    post(event);
    MethodDesc *announced = classes->getMethodDesc(reinterpret_cast<jmethodID>(0x5161), nullptr);
    ASSERT_NE(announced, nullptr);
    EXPECT_EQ(Instrumenter::getMethodDesc("demo.Later", "other", "()V"), announced);
}

TEST_F(PiEventsTest, ClassUnloadCountsOnlyKnownClasses)
{
    PiClassProfilingSession *classes = session.getClassSession();
    classLoad(0x700, "demo/A");
    int unfiltered = classes->getNumUnfilteredClasses() + classes->getNumFilteredClasses();
    JVMPI_Event event;
    memset(&event, 0, sizeof event);
    event.event_type = JVMPI_EVENT_CLASS_UNLOAD;
    event.u.class_unload.class_id = id(0x999);
    post(event);
    EXPECT_EQ(classes->getNumUnfilteredClasses() + classes->getNumFilteredClasses(), unfiltered);
    event.u.class_unload.class_id = id(0x700);
    post(event);
    EXPECT_EQ(classes->getNumUnfilteredClasses() + classes->getNumFilteredClasses(), unfiltered - 1);
    EXPECT_EQ(classes->getClassData(id(0x700)), nullptr);
    post(event);
    EXPECT_EQ(classes->getNumUnfilteredClasses() + classes->getNumFilteredClasses(), unfiltered - 1);
}

// Appends the 8 bytes of a pointer in host order (little-endian here).
void appendPointer(std::vector<unsigned char> &bytes, const void *pointer)
{
    uint64_t value = reinterpret_cast<uintptr_t>(pointer);
    for (int i = 0; i < 8; i++)
        bytes.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

std::vector<unsigned char> readWholeFile(const std::string &path)
{
    std::vector<unsigned char> bytes;
    FILE *in = fopen(path.c_str(), "rb");
    if (in == nullptr)
        return bytes;
    int c;
    while ((c = fgetc(in)) != EOF)
        bytes.push_back(static_cast<unsigned char>(c));
    fclose(in);
    return bytes;
}

class PiHeapDumpTest : public PiEventsTest {
protected:
    void SetUp() override
    {
        PiEventsTest::SetUp();
        heapdump = session.getHeapdump();
        ASSERT_NE(heapdump, nullptr);
        heapdump->setRetryWaitMs(0);
        // demo.Node: next (reference), value (int); static count (int).
        JVMPI_Field instances[] = {{const_cast<char *>("next"), const_cast<char *>("Ldemo/Node;")},
                                   {const_cast<char *>("value"), const_cast<char *>("I")}};
        JVMPI_Field statics[] = {{const_cast<char *>("count"), const_cast<char *>("I")}};
        JVMPI_Event event;
        memset(&event, 0, sizeof event);
        event.event_type = JVMPI_EVENT_CLASS_LOAD;
        event.u.class_load.class_name = "demo/Node";
        event.u.class_load.num_instance_fields = 2;
        event.u.class_load.instances = instances;
        event.u.class_load.num_static_fields = 1;
        event.u.class_load.statics = statics;
        event.u.class_load.class_id = id(0x100);
        post(event);
        node = session.getClassSession()->getClassData(id(0x100));
        ASSERT_NE(node, nullptr);
    }

    void TearDown() override
    {
        if (heapdump->getDumpFile() != nullptr)
            heapdump->getDumpFile()->deleteTempFile();
        PiEventsTest::TearDown();
    }

    PiHeapdump *heapdump = nullptr;
    ClassData *node = nullptr;
};

// The VM's records, literally (8-byte IDs and values in little-endian host
// order, counts big-endian), and the dump file they become.
TEST_F(PiHeapDumpTest, RecordsOfTheVmBecomeTheDumpFile)
{
    ASSERT_EQ(sizeof(void *), 8u);
    heapDumpBytes = {
        0x20,                                           // class dump
        0x00, 0x01, 0, 0, 0, 0, 0, 0,                   // class 0x100
        0, 0, 0, 0, 0, 0, 0, 0,                         // no super class
        0x00, 0x09, 0, 0, 0, 0, 0, 0,                   // loader 0x900
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, // signers, protection domain
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, // name, reserved
        0, 0, 0, 24,                                    // instance size
        0, 1,                                           // one constant-pool entry
        0, 3, 2, 0x00, 0x50, 0, 0, 0, 0, 0, 0,          // index 3: object 0x5000
        7, 0, 0, 0,                                     // static count = 7
        0x21,                                           // instance 0x5000 of 0x100
        0x00, 0x50, 0, 0, 0, 0, 0, 0, 0x00, 0x01, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 12, 0x00, 0x60, 0, 0, 0, 0, 0, 0, 42, 0, 0, 0, // next = 0x6000, value = 42
        0x21,                                           // instance 0x6000 of 0x100
        0x00, 0x60, 0, 0, 0, 0, 0, 0, 0x00, 0x01, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, // next = null, value = -1
        0x23,                                           // int[3] 0x7000
        0x00, 0x70, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 10, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0,
        0x03,                                           // Java frame root: 0x5000
        0x00, 0x50, 0, 0, 0, 0, 0, 0, 0x00, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2,
    };
    ASSERT_EQ(heapdump->doDump(false, false, true, false, nullptr), 0);
    EXPECT_EQ(heapDumpRequests, 1);
    ASSERT_NE(heapdump->getDumpFile(), nullptr);
    ASSERT_TRUE(heapdump->getDumpFile()->hasDump());
    // Ids: the class object 1, the loader 2, the objects 3, 4 and 5 as met.
    std::vector<unsigned char> expected = {0, 0, 0, 4, 1, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
    auto append = [&expected](std::initializer_list<unsigned char> bytes) { expected.insert(expected.end(), bytes); };
    append({1, 2});
    appendPointer(expected, node);
    append({0, 0, 0, 3, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 24, 0, 0, 0, 0});
    append({4, 0, 0, 0, 0, 0, 4});   // field 0 refers to object 4
    append({4, 0, 1, 0, 0, 0, 42});  // field 1 holds 42
    append({0, 1, 2});
    appendPointer(expected, node);
    append({0, 0, 0, 4, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 24, 0, 0, 0, 0});
    append({4, 0, 1, 0xff, 0xff, 0xff, 0xff});
    append({0, 1, 8});
    appendPointer(expected, &g_nonInstanceClassData[8]);
    append({0, 0, 0, 5, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 24, 0, 0, 0, 0});
    append({0, 0, 0, 24, 1, 0, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3});
    append({1, 54, 0, 0, 0, 3});      // a stack root of object 3: no method, depth 2
    append({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2});
    append({0, 1});                   // end of objects, the class dump
    appendPointer(expected, node);
    append({0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x40, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0});
    append({1, 0, 0, 0, 3, 0, 0, 0, 0, 0, 1, 0, 0, 0, 4, 7, 0, 0, 0});
    append({0, 0});                   // end of class dumps and methods
    std::vector<unsigned char> file = readWholeFile(heapdump->getDumpFile()->getPath());
    EXPECT_EQ(file, expected);
    for (size_t i = 0; i < file.size() && i < expected.size(); i++)
        if (file[i] != expected[i]) {
            ADD_FAILURE() << "first difference at byte " << i << ": " << int(file[i]) << " for " << int(expected[i]) << " sizes "
                          << file.size() << " " << expected.size();
            break;
        }
    EXPECT_EQ(node->getInstanceSize(), 24);
}

// An instance with values for a super class nobody named: the known fields
// are written, the rest skipped, and the dump goes on (nothing ends the VM).
TEST_F(PiHeapDumpTest, UnknownSuperClassFieldsAreSkipped)
{
    heapDumpBytes = {
        0x21, 0x00, 0x50, 0, 0, 0, 0, 0, 0, 0x00, 0x01, 0, 0, 0, 0, 0, 0, // instance 0x5000 of 0x100
        0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 0, 42, 0, 0, 0, 9, 9, 9, 9,   // 4 bytes more than demo.Node has
        0x01, 0x00, 0x50, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,      // JNI global root of it
    };
    ASSERT_EQ(heapdump->doDump(false, false, true, false, nullptr), 0);
    std::vector<unsigned char> file = readWholeFile(heapdump->getDumpFile()->getPath());
    std::vector<unsigned char> expected = {0, 0, 0, 4, 1, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 2};
    appendPointer(expected, node);
    expected.insert(expected.end(), {0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    expected.insert(expected.end(), {4, 0, 1, 0, 0, 0, 42, 0});
    expected.insert(expected.end(), {1, 52, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(file, expected);
}

TEST_F(PiHeapDumpTest, LevelOneArraysCarryNoElementsAndTheInputStaysInStep)
{
    heapDumpBytes = {
        0x23, 0x00, 0x70, 0, 0, 0, 0, 0, 0, 0, 0, 0x4e, 0x20, 10, // int[20000], no elements
        0x01, 0x00, 0x70, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, // JNI global root of it
    };
    ASSERT_EQ(heapdump->doDump(false, false, false, false, nullptr), 0);
    std::vector<unsigned char> file = readWholeFile(heapdump->getDumpFile()->getPath());
    // The array without values, then the root of the same object (id 1).
    const std::vector<unsigned char> tail = {
        0, 0, 0, 0, 0, 0, 0, 0, 0,             // U4 0, byte 0, U4 0: no values
        1, 52, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, // the root
        0, 0, 0,                               // end of objects, classes, methods
    };
    ASSERT_GE(file.size(), tail.size());
    EXPECT_EQ(std::vector<unsigned char>(file.end() - static_cast<long>(tail.size()), file.end()), tail);
}

TEST_F(PiHeapDumpTest, PrimitiveArraysWriteAtMostTenThousandElements)
{
    heapDumpBytes = {0x23, 0x00, 0x70, 0, 0, 0, 0, 0, 0, 0, 0, 0x4e, 0x20, 10};
    for (int i = 0; i < 20000; i++)
        for (int b = 0; b < 4; b++)
            heapDumpBytes.push_back(static_cast<unsigned char>(i >> (8 * b)));
    heapDumpBytes.insert(heapDumpBytes.end(), {0x01, 0x00, 0x70, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_EQ(heapdump->doDump(false, false, true, false, nullptr), 0);
    std::vector<unsigned char> file = readWholeFile(heapdump->getDumpFile()->getPath());
    // Header 17, array record 1 + 1 + 8 + 4 + 8 + 4 + 4, U4 size, byte 1,
    // U4 10000, 40,000 value bytes, the root 1 + 1 + 4 + 8, three end bytes.
    ASSERT_EQ(file.size(), 17u + 30u + 4u + 1u + 4u + 40000u + 14u + 3u);
    const unsigned char *count = &file[17 + 30 + 4 + 1];
    EXPECT_EQ(std::vector<unsigned char>(count, count + 4), (std::vector<unsigned char>{0, 0, 0x27, 0x10}));
    const unsigned char *last = &file[17 + 30 + 4 + 1 + 4 + 39996];
    EXPECT_EQ(std::vector<unsigned char>(last, last + 4), (std::vector<unsigned char>{0, 0, 0x27, 0x0f}));
}

TEST_F(PiHeapDumpTest, NoDataFailsAfterExactlyOneHundredRequests)
{
    heapDumpDelivered = false;
    EXPECT_EQ(heapdump->doDump(false, false, true, false, nullptr), 1);
    EXPECT_EQ(heapDumpRequests, 100);
    EXPECT_FALSE(heapdump->getDumpFile()->hasDump());
    // Data on a later dump: the earlier failure does not count against it.
    heapDumpDelivered = true;
    heapDumpBytes = {0xff, 0x00, 0x50, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(heapdump->doDump(false, false, true, false, nullptr), 0);
    EXPECT_EQ(heapDumpRequests, 101);
    EXPECT_TRUE(heapdump->getDumpFile()->hasDump());
}

TEST_F(PiHeapDumpTest, CutOrUnknownRecordsKeepWhatCameBefore)
{
    struct Case {
        const char *what;
        std::vector<unsigned char> bytes;
    };
    const Case cases[] = {
        {"cut inside an instance", {0xff, 0x00, 0x50, 0, 0, 0, 0, 0, 0, 0x21, 0x00, 0x60, 0, 0}},
        {"unknown tag", {0xff, 0x00, 0x50, 0, 0, 0, 0, 0, 0, 0x99, 1, 2, 3}},
        {"array longer than the input", {0xff, 0x00, 0x50, 0, 0, 0, 0, 0, 0, 0x23, 0, 0x70, 0, 0, 0, 0, 0, 0, 0x7f, 0xff, 0xff, 0xff, 10}},
    };
    for (const Case &c : cases) {
        heapDumpBytes = c.bytes;
        ASSERT_EQ(heapdump->doDump(false, false, true, false, nullptr), 0) << c.what;
        std::vector<unsigned char> file = readWholeFile(heapdump->getDumpFile()->getPath());
        // Header, the one root, the three end bytes.
        EXPECT_EQ(file.size(), 17u + 14u + 3u) << c.what;
    }
}

// A class dump of a class that neither the agent nor the VM (asked for it)
// can describe hides the length of everything after it: the dump fails
// rather than show a heap without the rest.
TEST_F(PiHeapDumpTest, ClassDumpNobodyDescribesFailsTheDump)
{
    heapDumpBytes = {0xff, 0x00, 0x50, 0, 0, 0, 0, 0, 0, 0x20, 0x99, 0x09, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                     0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 24, 0, 0};
    EXPECT_EQ(heapdump->doDump(false, false, true, false, nullptr), 1);
    EXPECT_FALSE(heapdump->getDumpFile()->hasDump());
}

// Shut-down has begun but events still arrive (and a front end may still be
// served): the data they change stays guarded.
TEST_F(PiHeapEventsTest, EventsAfterShutDownStillTakeTheirMonitor)
{
    JVMPI_Event event;
    memset(&event, 0, sizeof event);
    event.event_type = JVMPI_EVENT_JVM_SHUT_DOWN;
    post(event);
    ASSERT_TRUE(PiProfiling::shuttingDown);
    takeCalls();
    alloc(0x1000, 10, 16);
    EXPECT_EQ(takeCalls(), (std::vector<std::string>{"enter _orvane_heap#1", "exit _orvane_heap#1"}));
    EXPECT_EQ(counters(), (std::vector<long long>{1, 0, 1, 0}));
}

// The sampler's pass over the VM: the collector is disabled while the
// threads are suspended and enabled again on every way out of the pass,
// also when the sampler is stopped in the middle of it.
std::function<void()> onSuspend;
int gcDepth = 0;

void fakeDisableGC()
{
    record("DisableGC");
    gcDepth++;
}
void fakeEnableGC()
{
    record("EnableGC");
    gcDepth--;
}
void fakeSuspend(JNIEnv *env)
{
    record("SuspendThread " + std::to_string(reinterpret_cast<uintptr_t>(env)));
    if (onSuspend)
        onSuspend();
}
void fakeResume(JNIEnv *env) { record("ResumeThread " + std::to_string(reinterpret_cast<uintptr_t>(env))); }
jint fakeStatus(JNIEnv *) { return JVMPI_THREAD_RUNNABLE; }
jboolean fakeHasRun(JNIEnv *) { return JNI_TRUE; }
void fakeTrace(JVMPI_CallTrace *trace, jint)
{
    record("GetCallTrace " + std::to_string(reinterpret_cast<uintptr_t>(trace->env_id)));
    trace->num_frames = 0;
}

TEST_F(PiEventsTest, SamplingPassEnablesTheCollectorOnEveryPath)
{
    table.DisableGC = fakeDisableGC;
    table.EnableGC = fakeEnableGC;
    table.SuspendThread = fakeSuspend;
    table.ResumeThread = fakeResume;
    table.GetThreadStatus = fakeStatus;
    table.ThreadHasRun = fakeHasRun;
    table.GetCallTrace = fakeTrace;
    CpuProfilingSession::Settings settings = cpu->getSettings();
    settings.collectionMethod = 3;
    cpu->updateSettings(settings);
    threadStart(1, "main");
    threadStart(2, "worker");
    const std::vector<std::string> wholePass = {"DisableGC",      "SuspendThread 1", "SuspendThread 2", "GetCallTrace 1",
                                                "GetCallTrace 2", "ResumeThread 1",  "ResumeThread 2",  "EnableGC"};
    struct Case {
        const char *what;
        bool stopBefore;
        bool stopWhileSuspended;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {"a whole pass", false, false, wholePass},
        {"stopped while the threads are suspended", false, true, wholePass},
        {"stopped before the pass", true, false, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        LiveSamplerSession sampler(cpu, 5);
        if (c.stopBefore)
            sampler.stop();
        onSuspend = c.stopWhileSuspended ? std::function<void()>([&sampler] { sampler.stop(); }) : std::function<void()>();
        gcDepth = 0;
        takeCalls();
        sampler.doThreadStatusSampling(Counter::getUsec(), true);
        std::vector<std::string> seen;
        for (const std::string &call : takeCalls())
            if (call.compare(0, 6, "enter ") != 0 && call.compare(0, 5, "exit ") != 0)
                seen.push_back(call);
        EXPECT_EQ(seen, c.calls);
        EXPECT_EQ(gcDepth, 0);
    }
    onSuspend = nullptr;
}

// The pass over the recorded live objects (live-object trees, the live-only
// data of snapshots): the collector is disabled around it and the class and
// heap monitors are held while each object the views know is visited once;
// while the VM shuts down the collector is left alone.
TEST_F(PiHeapEventsTest, WholeTablePassHoldsTheCollectorAndVisitsEveryRecordedObject)
{
    table.DisableGC = fakeDisableGC;
    table.EnableGC = fakeEnableGC;
    heap->setRecording(false);
    session.setAllocRecord(true);
    alloc(0x1000, 10, 16);
    alloc(0x2000, 10, 24);
    alloc(0x3000, 10, 32);
    release(0x2000);
    for (bool shuttingDown : {false, true}) {
        SCOPED_TRACE(shuttingDown ? "shutting down" : "running");
        PiProfiling::shuttingDown = shuttingDown;
        gcDepth = 0;
        takeCalls();
        std::vector<long long> tags;
        std::vector<int> depths;
        heap->forEachViewTag([&](long long tag) {
            tags.push_back(tag);
            depths.push_back(gcDepth);
        });
        std::vector<std::string> calls = takeCalls();
        EXPECT_EQ(tags.size(), 2u);
        EXPECT_EQ(std::set<long long>(tags.begin(), tags.end()).size(), 2u);
        EXPECT_EQ(depths, (std::vector<int>(2, shuttingDown ? 0 : 1)));
        EXPECT_EQ(gcDepth, 0);
        ASSERT_GE(calls.size(), 4u);
        if (!shuttingDown) {
            EXPECT_EQ(calls.front(), "DisableGC");
            EXPECT_EQ(calls.back(), "EnableGC");
        }
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "DisableGC"), shuttingDown ? 0 : 1);
    }
    PiProfiling::shuttingDown = false;
}

// A raw monitor of the agent named in the VM's monitor dump gives no entries
// and no monitor record, whoever holds or waits for it.
TEST_F(PiEventsTest, MonitorDumpLeavesOutTheAgentsOwnMonitors)
{
    ASSERT_EQ(sizeof(void *), 8u);
    threadStart(0x1000, "owner");
    threadStart(0x2000, "blocked");
    cpu->setMonitorRecording(true, 0, 0);
    for (JVMPI_RawMonitor own : {PiProfiling::_heapMonitor, PiProfiling::_snapshotMonitor}) {
        monitorDumpBytes = {0x02, 0x77, 0, 0, 0, 0, 0, 0, 0}; // raw monitor; its name
        appendPointer(monitorDumpBytes, own);
        monitorDumpBytes.insert(monitorDumpBytes.end(), {0x00, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
        monitorDumpBytes.insert(monitorDumpBytes.end(), {0, 0, 0, 1, 0x00, 0x20, 0, 0, 0, 0, 0, 0});
        monitorDumpBytes.insert(monitorDumpBytes.end(), {0, 0, 0, 1, 0x00, 0x20, 0, 0, 0, 0, 0, 0});
        cpu->collectCurrentMonitorEntries();
        EXPECT_TRUE(cpu->getCurrentMonitorEntries().empty()) << nameOf(own);
        EXPECT_EQ(cpu->findMonitorManager(true, own), nullptr) << nameOf(own);
    }
    // Another raw monitor in the same dump is recorded.
    monitorDumpBytes = {0x02, 0x77, 0, 0, 0, 0, 0, 0, 0, 0x42, 0x42, 0, 0, 0, 0, 0, 0};
    monitorDumpBytes.insert(monitorDumpBytes.end(), {0x00, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    monitorDumpBytes.insert(monitorDumpBytes.end(), {0, 0, 0, 1, 0x00, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    cpu->collectCurrentMonitorEntries();
    std::vector<MonitorEntry> entries = cpu->getCurrentMonitorEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].getType(), MonitorEntry::TYPE_BLOCKED);
    EXPECT_NE(cpu->findMonitorManager(true, reinterpret_cast<void *>(0x4242)), nullptr);
}

// Every kind of GC root the VM writes, and an object array, literally; a
// JNI global root of another object follows each, read in step.
TEST_F(PiHeapDumpTest, RootKindsAndObjectArraysKeepTheInputInStep)
{
    ASSERT_EQ(sizeof(void *), 8u);
    const std::vector<unsigned char> object = {0x00, 0x50, 0, 0, 0, 0, 0, 0};
    const std::vector<unsigned char> thread = {0x00, 0x10, 0, 0, 0, 0, 0, 0};
    const std::vector<unsigned char> id0 = {0, 0, 0, 0, 0, 0, 0, 0};
    auto cat = [](std::initializer_list<std::vector<unsigned char>> parts) {
        std::vector<unsigned char> all;
        for (const std::vector<unsigned char> &part : parts)
            all.insert(all.end(), part.begin(), part.end());
        return all;
    };
    std::vector<unsigned char> arrayClass;
    appendPointer(arrayClass, session.getClassSession()->getArrayClassData(node));
    struct Case {
        const char *what;
        std::vector<unsigned char> record;
        std::vector<unsigned char> written;
        unsigned char markerId;
    };
    const Case cases[] = {
        {"JNI local", cat({{0x02}, object, thread, {0, 0, 0, 7}}), cat({{1, 53, 0, 0, 0, 1}, id0, {0, 0, 0, 0, 0, 0, 0, 7}}), 2},
        {"Java frame", cat({{0x03}, object, thread, {0, 0, 0, 2}}), cat({{1, 54, 0, 0, 0, 1}, id0, {0, 0, 0, 0, 0, 0, 0, 2}}), 2},
        {"native stack", cat({{0x04}, object, thread}), cat({{1, 51, 0, 0, 0, 1}, id0}), 2},
        {"sticky class", cat({{0x05}, object}), cat({{1, 56, 0, 0, 0, 1}, id0}), 2},
        {"thread block", cat({{0x06}, object, thread}), cat({{1, 65, 0, 0, 0, 1}, id0}), 2},
        {"monitor used", cat({{0x07}, object}), cat({{1, 58, 0, 0, 0, 1}, id0}), 2},
        {"unknown root", cat({{0xff}, object}), cat({{1, 51, 0, 0, 0, 1}, id0}), 2},
        // demo.Node[2] = {0x6000, null}: 24 bytes (4 x 2 + 12, aligned to 8).
        {"object array", cat({{0x22}, object, {0, 0, 0, 2}, {0x00, 0x01, 0, 0, 0, 0, 0, 0}, {0x00, 0x60, 0, 0, 0, 0, 0, 0}, id0}),
         cat({{1, 3}, arrayClass, {0, 0, 0, 1}, {1, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 24, 0, 0, 0, 0, 0, 0, 0, 2},
              {0, 0, 0, 1, 0, 0, 0, 2}, {0, 0, 0, 0}}),
         3},
    };
    const std::vector<unsigned char> header = {0, 0, 0, 4, 1, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        heapDumpBytes = cat({c.record, {0x01, 0x00, 0x90, 0, 0, 0, 0, 0, 0}, id0});
        ASSERT_EQ(heapdump->doDump(false, false, true, false, nullptr), 0);
        std::vector<unsigned char> expected = cat({header, c.written, {1, 52, 0, 0, 0, c.markerId}, id0, {0, 0, 0}});
        EXPECT_EQ(readWholeFile(heapdump->getDumpFile()->getPath()), expected);
    }
}

// The flag that says the VM delivered is cleared before each request: after
// a good dump, a VM that answers nothing (or an event without data) fails
// the next after exactly 100 requests, and the earlier file is gone.
TEST_F(PiHeapDumpTest, AFailedDumpAfterAGoodOneIsReportedAndLeavesNoDump)
{
    struct Case {
        const char *what;
        jint (*request)(jint, void *);
    };
    const Case cases[] = {
        {"no event at all",
         [](jint type, void *) -> jint {
             heapDumpRequests += type == JVMPI_EVENT_HEAP_DUMP ? 1 : 0;
             return JVMPI_NOT_AVAILABLE;
         }},
        {"an event without data",
         [](jint type, void *arg) -> jint {
             heapDumpDelivered = false;
             return fakeRequest(type, arg);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        table.RequestEvent = fakeRequest;
        heapDumpDelivered = true;
        heapDumpBytes = {0x01, 0x00, 0x50, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        ASSERT_EQ(heapdump->doDump(false, false, true, false, nullptr), 0);
        ASSERT_TRUE(heapdump->getDumpFile()->hasDump());
        std::string earlier = heapdump->getDumpFile()->getPath();
        heapDumpRequests = 0;
        table.RequestEvent = c.request;
        EXPECT_EQ(heapdump->doDump(false, false, true, false, nullptr), 1);
        EXPECT_EQ(heapDumpRequests, 100);
        EXPECT_FALSE(heapdump->getDumpFile()->hasDump());
        EXPECT_NE(access(earlier.c_str(), F_OK), 0) << earlier;
    }
}

// A class the session rewrites comes back in memory of the event's own
// allocation function; its native methods stay as they are (there is no
// native-method prefix to bind a wrapped one by).
std::vector<void *> hookAllocations;

TEST_F(PiEventsTest, RewrittenClassComesBackInTheVmsMemoryWithNativesUnwrapped)
{
    // Command 1 with a session that rewrites demo.* by method hooks.
    const std::string xml = "<config><session id=\"3\" instrumentationType=\"1\">"
                            "<filter type=\"inclusive\" name=\"demo.\"/></session></config>";
    std::vector<unsigned char> request = {1, 0, 0, 0, 3};
    for (int shift = 24; shift >= 0; shift -= 8)
        request.push_back(static_cast<unsigned char>(xml.size() >> shift));
    request.insert(request.end(), xml.begin(), xml.end());
    request.insert(request.end(), {0, 0});
    ByteArrayDataReader reader(request.data(), static_cast<int>(request.size()));
    CharVectorDataWriter reply;
    session.handleCmdSetParameters(&reader, &reply);
    ASSERT_EQ(session.getCallTreeCollectionMethod(), 1);
    instrtest::TestClass c("demo/Natives", 52);
    c.method("run", "()V", instrtest::ACC_PUBLIC, {0xB1});
    c.nativeMethod("work", "()V", instrtest::ACC_PUBLIC);
    char *written = nullptr;
    int length = Tessera::ClassFileWriter::writeToByteArray(&written, c.cf);
    ASSERT_GT(length, 0);
    std::vector<unsigned char> bytes(written, written + length);
    delete[] written;
    hookAllocations.clear();
    JVMPI_Event event;
    memset(&event, 0, sizeof event);
    event.event_type = JVMPI_EVENT_CLASS_LOAD_HOOK;
    event.u.class_load_hook.class_data = bytes.data();
    event.u.class_load_hook.class_data_len = length;
    event.u.class_load_hook.malloc_f = [](unsigned size) {
        void *memory = malloc(size);
        hookAllocations.push_back(memory);
        return memory;
    };
    post(event);
    ASSERT_NE(event.u.class_load_hook.new_class_data, bytes.data());
    ASSERT_EQ(hookAllocations.size(), 1u);
    EXPECT_EQ(static_cast<void *>(event.u.class_load_hook.new_class_data), hookAllocations[0]);
    Tessera::ClassFile *rewritten = Tessera::ClassFileReader::readFromByteArray(
        event.u.class_load_hook.new_class_data, event.u.class_load_hook.new_class_data_len, nullptr, true, true, nullptr);
    ASSERT_NE(rewritten, nullptr);
    std::vector<std::string> natives, all;
    for (Tessera::MethodInfo *m : rewritten->getMethods()) {
        std::string name(m->getName(), static_cast<size_t>(m->getNameLength()));
        all.push_back(name);
        if ((m->getAccessFlags() & instrtest::ACC_NATIVE) != 0)
            natives.push_back(name);
    }
    EXPECT_EQ(natives, std::vector<std::string>{"work"});
    EXPECT_EQ(std::count(all.begin(), all.end(), "run"), 1);
    for (const std::string &name : all)
        EXPECT_EQ(name.find("__orvane"), std::string::npos) << name;
    rewritten->freeInstance();
    free(event.u.class_load_hook.new_class_data);
}

// A class dump that names a super class the VM never announced: a line
// says so, the class has no super class, the dump is the one a class without
// a super class gives and the records after it are read.
TEST_F(PiHeapDumpTest, UnknownSuperClassInAClassDumpIsAsNone)
{
    ASSERT_EQ(sizeof(void *), 8u);
    auto classDump = [](uint8_t superHigh) {
        std::vector<unsigned char> bytes = {0x20, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0x00, superHigh, 0, 0, 0, 0, 0, 0};
        bytes.insert(bytes.end(), 40, 0);                 // loader, signers, protection domain, name, reserved
        bytes.insert(bytes.end(), {0, 0, 0, 24, 0, 0});   // instance size, no constant-pool entries
        bytes.insert(bytes.end(), {7, 0, 0, 0});          // static count = 7
        bytes.insert(bytes.end(), {0x01, 0x00, 0x50, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}); // a root after it
        return bytes;
    };
    heapDumpBytes = classDump(0);
    ASSERT_EQ(heapdump->doDump(false, false, true, false, nullptr), 0);
    std::vector<unsigned char> without = readWholeFile(heapdump->getDumpFile()->getPath());
    heapDumpBytes = classDump(0x08); // super class 0x800
    testing::internal::CaptureStderr();
    ASSERT_EQ(heapdump->doDump(false, false, true, false, nullptr), 0);
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("ERROR: super class not found in dump."), std::string::npos) << said;
    EXPECT_EQ(node->getSuperClassClassData(), nullptr);
    EXPECT_EQ(readWholeFile(heapdump->getDumpFile()->getPath()), without);
    // The root (its object second after the class object) and the class dump are both in it.
    ASSERT_GE(without.size(), 17u + 14u);
    EXPECT_EQ(std::vector<unsigned char>(without.begin() + 17, without.begin() + 23), (std::vector<unsigned char>{1, 52, 0, 0, 0, 2}));
    EXPECT_GT(without.size(), 17u + 14u + 3u);
}

// Once the VM shuts down no monitor dump is asked for; the entries of the
// last one are cleared.
TEST_F(PiEventsTest, NoMonitorDumpIsRequestedAfterShutDown)
{
    threadStart(0x1000, "owner");
    threadStart(0x2000, "blocked");
    cpu->setMonitorRecording(true, 0, 0);
    monitorEvent(JVMPI_EVENT_MONITOR_CONTENDED_ENTER, 0x2000, 0x5000);
    monitorDumpBytes = {0x01, 0x00, 0x50, 0, 0, 0, 0, 0, 0, 0x00, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1,
                        0, 0, 0, 1, 0x00, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    takeCalls();
    cpu->collectCurrentMonitorEntries();
    ASSERT_EQ(cpu->getCurrentMonitorEntries().size(), 1u);
    JVMPI_Event event;
    memset(&event, 0, sizeof event);
    event.event_type = JVMPI_EVENT_JVM_SHUT_DOWN;
    post(event);
    takeCalls();
    cpu->collectCurrentMonitorEntries();
    EXPECT_TRUE(cpu->getCurrentMonitorEntries().empty());
    for (const std::string &call : takeCalls())
        EXPECT_NE(call, "request 59");
}

// In session mode 2 a dump runs the collector and holds it disabled around
// its requests, and enables it again whether or not the VM delivered.
void fakeRunGC() { record("RunGC"); }

TEST_F(PiHeapDumpTest, ModeTwoHoldsTheCollectorAroundTheRequestsOnEveryPath)
{
    table.DisableGC = fakeDisableGC;
    table.EnableGC = fakeEnableGC;
    table.RunGC = fakeRunGC;
    heapDumpBytes = {0x01, 0x00, 0x50, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    std::vector<std::string> hundred(100, "request 37");
    struct Case {
        int mode;
        bool delivered;
        int result;
        std::vector<std::string> calls;
    };
    std::vector<std::string> failing = {"RunGC", "DisableGC"};
    failing.insert(failing.end(), hundred.begin(), hundred.end());
    failing.push_back("EnableGC");
    const Case cases[] = {
        {2, true, 0, {"RunGC", "DisableGC", "request 37", "EnableGC"}},
        {2, false, 1, failing},
        {0, true, 0, {"request 37"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << (c.delivered ? " delivered" : " nothing"));
        session.setMode(c.mode);
        heapDumpDelivered = c.delivered;
        gcDepth = 0;
        takeCalls();
        EXPECT_EQ(heapdump->doDump(false, false, true, false, nullptr), c.result);
        std::vector<std::string> seen;
        for (const std::string &call : takeCalls())
            if (call.compare(0, 6, "enter ") != 0 && call.compare(0, 5, "exit ") != 0 && call.compare(0, 5, "wait ") != 0)
                seen.push_back(call);
        EXPECT_EQ(seen, c.calls);
        EXPECT_EQ(gcDepth, 0);
    }
    session.setMode(0);
}

} // namespace
