#include "PiProfiling.h"

#include <cstdlib>

#include "Communicator.h"
#include "PiProfilingSession.h"
#include "MessageUtil.h"

JVMPI_Interface *PiProfiling::g_profilingInterface = nullptr;
JVMPI_RawMonitor PiProfiling::_heapMonitor = nullptr;
JVMPI_RawMonitor PiProfiling::_classMonitor = nullptr;
JVMPI_RawMonitor PiProfiling::_threadMonitor = nullptr;
JVMPI_RawMonitor PiProfiling::_sleepMonitor = nullptr;
JVMPI_RawMonitor PiProfiling::_deadThreadsMonitor = nullptr;
JVMPI_RawMonitor PiProfiling::_snapshotMonitor = nullptr;
std::atomic<bool> PiProfiling::shuttingDown(false);
std::atomic<bool> PiProfiling::waitsForDisconnect(false);
std::atomic<bool> PiProfiling::shouldWakeup(false);
std::atomic<bool> PiProfiling::javaCommThreadShouldEnter(false);
std::atomic<bool> PiProfiling::dying(false);
long long PiProfiling::startTime = 0;
PiProfilingSession *PiProfiling::session = nullptr;
JavaVM *PiProfiling::javaVm = nullptr;

bool PiProfiling::initializeInterface(JavaVM *vm)
{
    void *table = nullptr;
    if (vm == nullptr || vm->GetEnv(&table, JVMPI_VERSION_1) < 0 || table == nullptr)
        return false;
    g_profilingInterface = static_cast<JVMPI_Interface *>(table);
    javaVm = vm;
    return true;
}

JNIEnv *PiProfiling::currentEnv()
{
    void *env = nullptr;
    if (javaVm == nullptr || javaVm->GetEnv(&env, JNI_VERSION_1_2) != JNI_OK)
        return nullptr;
    return static_cast<JNIEnv *>(env);
}

void PiProfiling::createMonitors()
{
    JVMPI_Interface *vm = g_profilingInterface;
    char heap[] = "_orvane_heap";
    char cls[] = "_orvane_class";
    char thread[] = "_orvane_thread";
    char sleepName[] = "_orvane_sleep";
    char dead[] = "_orvane_dead_threads";
    char snapshot[] = "_orvane_dead_threads";
    _heapMonitor = vm->RawMonitorCreate(heap);
    _classMonitor = vm->RawMonitorCreate(cls);
    _threadMonitor = vm->RawMonitorCreate(thread);
    _sleepMonitor = vm->RawMonitorCreate(sleepName);
    _deadThreadsMonitor = vm->RawMonitorCreate(dead);
    _snapshotMonitor = vm->RawMonitorCreate(snapshot);
}

void PiProfiling::initCommunication(JNIEnv *env)
{
    // The VM is initialised once: a repeated event starts nothing more.
    static std::atomic<bool> started(false);
    if (started.exchange(true)) {
        MessageUtil::debugOut("JVM_INIT_DONE again: the communication is running\n");
        return;
    }
    const AgentOptions &options = session->getOptions();
    if (options.offline || options.nowait) {
        // A session read from the configuration file is applied before main
        // runs, with its start-up recordings; the Java communication thread
        // serves the session.
        if (options.offline || session->isConfigRead())
            session->initParameters(env);
        javaCommThreadShouldEnter = true;
        return;
    }
    char name[] = "_orvane_native_comm";
    if (g_profilingInterface->CreateSystemThread(name, 5, comThreadCallback) == JVMPI_FAIL) {
        MessageUtil::message("ERROR: Could not create communication thread.");
        endVm(VmEnd::NO_AGENT_THREAD);
    }
    MessageUtil::message("Waiting for a connection from the Orvane GUI ...");
    // Until command 1 or the end of the first connection handed the front
    // end over: later connections wait for their own front end.
    while (session->getCommunicatorStatus() == Communicator::STATUS_WAITING && !javaCommThreadShouldEnter)
        session->sleep(100);
}

void PiProfiling::comThreadCallback(void *)
{
    session->runCommunicator(nullptr);
}

void PiProfiling::initSampler(JNIEnv *)
{
    char name[] = "_orvane_native_sampler";
    if (g_profilingInterface->CreateSystemThread(name, 10, samplerThreadCallback) == JVMPI_FAIL) {
        MessageUtil::message("ERROR: Could not create sampler thread.");
        endVm(VmEnd::NO_AGENT_THREAD);
    }
}

void PiProfiling::samplerThreadCallback(void *)
{
    session->runSampler(nullptr);
}

void PiProfiling::cleanup()
{
    g_profilingInterface->RawMonitorEnter(_snapshotMonitor);
    dying = true;
    if (session != nullptr)
        session->deleteTempFiles();
    g_profilingInterface->RawMonitorExit(_snapshotMonitor);
}

void PiProfiling::endVm(VmEnd reason)
{
    vmEndProcess(reason);
}
