#include "LiveProfilingSession.h"

#include <cstdlib>
#include <cstring>
#include <jvmti.h>
#include <vector>

#include "AgentAssert.h"
#include "EventHandler.h"
#include "LiveProfiling.h"
#include "MessageUtil.h"

namespace {

const jint JNI_VERSION_REQUEST = 0x10004;

bool startsWith(const std::string &text, const char *prefix)
{
    return text.compare(0, strlen(prefix), prefix) == 0;
}

// putenv keeps the pointer: the text must live for the whole process.
char orvaneJvmtiEnv[] = "ORVANE_JVMTI=true";

} // namespace

LiveProfilingSession::LiveProfilingSession()
    : port(AgentOptions::DEFAULT_PORT), stack(AgentOptions::DEFAULT_STACK), samplingstack(AgentOptions::DEFAULT_SAMPLING_STACK),
      config(nullptr), attached(false), switching(false), communicator(nullptr)
{
}

LiveProfilingSession *LiveProfilingSession::getInstance()
{
    static LiveProfilingSession *instance = new LiveProfilingSession();
    return instance;
}

void LiveProfilingSession::init(JavaVM *vm, const char *optionText, bool attach, bool isSwitching)
{
    attached = attach;
    switching = isSwitching;
    if (attach)
        LiveProfiling::configAtStartup = false;
    if (switching) {
        MessageUtil::message("Switching to JVMTI");
    } else {
        config = new SessionConfig();
        MessageUtil::message("Protocol version %d", PROTOCOL_VERSION);
        MessageUtil::message("Using JVMTI");
    }
    LiveProfiling::initializeInterface(vm);
    if (!switching)
        LiveProfiling::writeAgentArchive();
    checkVm();
    putenv(orvaneJvmtiEnv);
    jrawMonitorID startup = nullptr;
    LiveProfiling::checkFatalError("monitor", LiveProfiling::jvmti->CreateRawMonitor("_orvane_startup", &startup));
    LiveProfiling::startupMonitor = startup;
    MessageUtil::message("%d-bit library", static_cast<int>(sizeof(void *) * 8));

    if (!switching) {
        setOptions(optionText);
        std::lock_guard<std::mutex> guard(communicatorLock);
        communicator = new LiveCommunicator(port, options.address);
    }

    if (attach) {
        LiveProfiling::nowait = true;
        JNIEnv *env = nullptr;
        if (vm->GetEnv(reinterpret_cast<void **>(&env), JNI_VERSION_REQUEST) != JNI_OK || env == nullptr)
            MessageUtil::message("Could not get JNIEnv");
        else
            attachSequence(env);
    } else if (!EventHandler::enableEvents(nullptr, false)) {
        MessageUtil::message("Error enabling events. Aborting.");
        abort();
    }
    MessageUtil::message("Native library initialized");
}

void LiveProfilingSession::checkVm()
{
    std::string name = LiveProfiling::getProperty("java.vm.name");
    if (startsWith(name, "IBM")) {
        LiveProfiling::ibmVm = true;
        MessageUtil::message("Thread status info workaround enabled.");
    } else if (startsWith(name, "Oracle JRockit")) {
        LiveProfiling::jrockitVm = true;
        MessageUtil::message("JRockit VM detected");
    }
    vmName = name;
    vmVersion = LiveProfiling::getProperty("java.vm.version");

    jint version = 0;
    LiveProfiling::jvmti->GetVersionNumber(&version);
    int major = (version & JVMTI_VERSION_MASK_MAJOR) >> JVMTI_VERSION_SHIFT_MAJOR;
    int minor = (version & JVMTI_VERSION_MASK_MINOR) >> JVMTI_VERSION_SHIFT_MINOR;
    if ((minor != 0 || major > 1) && !startsWith(vmVersion, "1.5")) {
        restrictedJvmti11 = 1;
        LiveProfiling::jvmti11 = true;
        if (LiveProfiling::ibmVm) {
            MessageUtil::message("Restricted JVMTI version 1.1 detected.");
        } else {
            jvmti11 = 1;
            MessageUtil::message("JVMTI version 1.1 detected.");
        }
    }
}

void LiveProfilingSession::setOptions(const char *optionText)
{
    options.parse(optionText);
    if (options.monitor) {
        MessageUtil::message("Monitoring Edition no longer supported. Aborting");
        abort();
    }
    port = options.port;
    stack = options.stack;
    samplingstack = options.samplingstack;
    LiveProfiling::s_libraryLocation = options.libraryLocation;
    LiveProfiling::nowait = options.nowait;
    LiveProfiling::offline = options.offline;
    LiveProfiling::jniInterception = options.jniInterception;
    LiveProfiling::disableThreadProfiling = options.disableThreadProfiling;
    LiveProfiling::threadProfiling = options.threadProfiling();
    LiveProfiling::vmTelemetry = options.vmTelemetry();

    switch (options.resolveConfiguration(jvmti11 != 0)) {
    case AgentOptions::CONFIG_MISSING:
        exit(-1);
    case AgentOptions::CONFIG_NONE:
        if (options.offline || options.nowait)
            LiveProfiling::configAtStartup = false;
        return;
    case AgentOptions::CONFIG_FROM_FILE:
        break;
    }
    LiveProfiling::scriptDirName = options.scriptDirName();
    if (!config->readFromFile(options.configPath, options.id))
        LiveProfiling::configAtStartup = false;
}

void LiveProfilingSession::attachSequence(JNIEnv *env)
{
    jvmtiEnv *jvmti = LiveProfiling::jvmti;
    EventHandler::init(env, switching);

    LiveProfiling::lookupJavaClasses(env);
    jclass attachManager = env->FindClass("com/orvane/agent/AttachManager");
    if (attachManager == nullptr)
        env->ExceptionClear();
    AGENT_ASSERT(attachManager != nullptr, "com/orvane/agent/AttachManager");
    jmethodID attachInit = env->GetStaticMethodID(attachManager, "init", "(Ljava/lang/String;)V");
    if (attachInit == nullptr)
        env->ExceptionClear();
    AGENT_ASSERT(attachInit != nullptr, "AttachManager.init(String)");
    jstring location = LiveProfiling::s_libraryLocation.empty() ? nullptr : env->NewStringUTF(LiveProfiling::s_libraryLocation.c_str());
    env->CallStaticVoidMethod(attachManager, attachInit, location);
    if (env->ExceptionCheck())
        env->ExceptionClear();

    enterMonitor(IM_CLASS | IM_THREAD);
    jvmtiCapabilities suspend;
    memset(&suspend, 0, sizeof suspend);
    suspend.can_suspend = 1;
    jvmtiError error = jvmti->AddCapabilities(&suspend);
    if (error != JVMTI_ERROR_NONE) {
        MessageUtil::message("ERROR: Could not get suspend capability (%d).", static_cast<int>(error));
        MessageUtil::message("Probably you are connecting to a process being debugged.");
        MessageUtil::message("Some initial information might be incorrect.");
    }
    jthread current = nullptr;
    jvmti->GetCurrentThread(&current);
    jint count = 0;
    jthread *threads = nullptr;
    std::vector<jthread> suspended;
    if (jvmti->GetAllThreads(&count, &threads) != JVMTI_ERROR_NONE) {
        MessageUtil::message("Could not get all threads");
        count = 0;
    }
    for (jint i = 0; i < count; i++) {
        if (current == nullptr || !env->IsSameObject(threads[i], current))
            suspended.push_back(threads[i]);
    }
    std::vector<jvmtiError> results(suspended.size());
    if (error == JVMTI_ERROR_NONE && !suspended.empty()) {
        jvmtiError e = jvmti->SuspendThreadList(static_cast<jint>(suspended.size()), suspended.data(), results.data());
        if (e != JVMTI_ERROR_NONE) {
            MessageUtil::message("Could not suspend threads (%d).", static_cast<int>(e));
            suspended.clear();
        }
    } else {
        suspended.clear();
    }

    if (!EventHandler::enableEvents(env, true)) {
        MessageUtil::message("Error enabling events. Aborting.");
        abort();
    }
    if (!suspended.empty()) {
        std::vector<jthread> toResume;
        for (size_t i = 0; i < suspended.size(); i++) {
            if (results[i] == JVMTI_ERROR_NONE)
                toResume.push_back(suspended[i]);
        }
        if (!toResume.empty() &&
            jvmti->ResumeThreadList(static_cast<jint>(toResume.size()), toResume.data(), results.data()) != JVMTI_ERROR_NONE)
            MessageUtil::message("Could not resume threads.");
    }
    if (threads != nullptr) {
        for (jint i = 0; i < count; i++)
            env->DeleteLocalRef(threads[i]);
        jvmti->Deallocate(reinterpret_cast<unsigned char *>(threads));
    }
    exitMonitor(IM_CLASS | IM_THREAD, false);
}

void LiveProfilingSession::enterMonitor(int bits)
{
    LiveProfiling::monitors.enter(bits);
}

void LiveProfilingSession::exitMonitor(int bits, bool)
{
    LiveProfiling::monitors.exit(bits);
}

int LiveProfilingSession::getAllocTreeRecordingType()
{
    return config->allocTreeRecordingType;
}

long long LiveProfilingSession::getVmIdentifier()
{
    JNIEnv *env = LiveProfiling::getJNIEnv();
    if (env == nullptr || LiveProfiling::agentClass == nullptr)
        return 0;
    return env->GetStaticLongField(LiveProfiling::agentClass, LiveProfiling::agentVmIdentifier);
}

bool LiveProfilingSession::isAllUrls()
{
    return config->allUrls;
}

int LiveProfilingSession::getCallTreeCollectionMethod()
{
    return config->instrumentationType == 2 ? 1 : config->instrumentationType;
}

int LiveProfilingSession::getExceptionalCap()
{
    return config->exceptionalCap < 3 ? 3 : config->exceptionalCap;
}

int LiveProfilingSession::getExceptionalTimeType()
{
    return config->exceptionalTimeType;
}

bool LiveProfilingSession::isRecordingArrayAllocs()
{
    return !options.noArrayAllocs && !attached;
}

void LiveProfilingSession::sleep(int ms)
{
    jvmtiEnv *jvmti = LiveProfiling::jvmti;
    jrawMonitorID m = LiveProfiling::sleepMonitor != nullptr ? LiveProfiling::sleepMonitor : LiveProfiling::startupMonitor;
    jvmti->RawMonitorEnter(m);
    if (ms > 0) {
        jvmti->RawMonitorWait(m, ms);
    } else {
        LiveProfiling::shouldWakeup = false;
        while (!LiveProfiling::shouldWakeup)
            jvmti->RawMonitorWait(m, 200);
    }
    jvmti->RawMonitorExit(m);
}

void LiveProfilingSession::wakeup()
{
    if (LiveProfiling::waitsForDisconnect)
        LiveProfiling::cleanup();
    LiveProfiling::shouldWakeup = true;
}

bool LiveProfilingSession::initParameters(JNIEnv *)
{
    int method = config->instrumentationType;
    if (method == 1) {
        MessageUtil::message("Using dynamic instrumentation");
        config->showSubclassMethods = false;
    } else if (method == 3) {
        MessageUtil::message("Using sampling (%d ms)", config->samplingFrequency);
        config->showSubclassMethods = false;
    } else {
        MessageUtil::message("Using full instrumentation");
        if (config->showSubclassMethods)
            MessageUtil::message("Recording concrete subclasses");
    }
    MessageUtil::message(config->timeType == 1 ? "Time measurement: elapsed time" : "Time measurement: estimated cpu time");
    MessageUtil::message(config->disableCPUProfiling ? "CPU profiling disabled" : "CPU profiling enabled");
    if (config->sessionRead)
        sessionState = 2;
    return true;
}

unsigned LiveProfilingSession::getCommunicatorStatus()
{
    std::lock_guard<std::mutex> guard(communicatorLock);
    return communicator != nullptr ? communicator->getStatus() : LiveCommunicator::STATUS_CLEANED_UP;
}

void LiveProfilingSession::runCommunicator(JNIEnv *)
{
    for (;;) {
        LiveCommunicator *current;
        {
            std::lock_guard<std::mutex> guard(communicatorLock);
            current = communicator;
        }
        if (!current->run()) {
            // Nobody can ever connect: a profiled VM must not run unobserved.
            exit(1);
        }
        if (current->wasConnected()) {
            if (current->shouldExitProcess() || current->shouldInterruptProcess() || LiveProfiling::waitsForDisconnect)
                return;
            MessageUtil::message("Disconnected. Waiting for reconnection.");
        }
        std::lock_guard<std::mutex> guard(communicatorLock);
        communicator = new LiveCommunicator(port, options.address, current);
        delete current;
    }
}

void LiveProfilingSession::deleteTempFiles()
{
}
