#include "LiveProfilingSession.h"

#include "LiveProbeCommands.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <jvmti.h>
#include <vector>

#include "Counter.h"
#include "EventHandler.h"
#include "LiveClassProfilingHelper.h"
#include "CpuProfilingSession.h"
#include "LiveCpuProfilingHelper.h"
#include "LiveHeapProfilingHelper.h"
#include "HeapProfilingSession.h"
#include "JavaProbeCommands.h"
#include "LiveProfiling.h"
#include "HeapDumpFile.h"
#include "LiveHeapdump.h"
#include "LiveSamplerSession.h"
#include "LiveThreadManager.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "MessageUtil.h"
#include "OfflineTransport.h"
#include "SocketTransport.h"
#include "VmStateReply.h"

namespace {

const jint JNI_VERSION_REQUEST = 0x10004;

bool startsWith(const std::string &text, const char *prefix)
{
    return text.compare(0, strlen(prefix), prefix) == 0;
}

// putenv keeps the pointer: the text must live for the whole process.
char orvaneJvmtiEnv[] = "ORVANE_JVMTI=true";

} // namespace

LiveProfilingSession::LiveProfilingSession(LiveProfiling *edge)
    : edge(edge), port(AgentOptions::DEFAULT_PORT), stack(AgentOptions::DEFAULT_STACK), samplingstack(AgentOptions::DEFAULT_SAMPLING_STACK),
      config(nullptr), attached(false), switching(false), javaTransport(nullptr), vmCommands(this), communicator(nullptr),
      classSession(this), parametersSet(false)
{
}

void LiveProfilingSession::init(JavaVM *vm, const char *optionText, bool attach, bool isSwitching)
{
    attached = attach;
    switching = isSwitching;
    if (attach)
        edge->setConfigAtStartup(false);
    if (switching) {
        MessageUtil::message("Switching to JVMTI");
    } else {
        config = new SessionConfig();
        MessageUtil::message("Protocol version %d", PROTOCOL_VERSION);
        MessageUtil::message("Using JVMTI");
    }
    edge->initializeInterface(vm);
    LiveClassProfilingHelper::init(&classSession);
    if (!switching)
        edge->writeAgentArchive();
    checkVm();
    putenv(orvaneJvmtiEnv);
    jrawMonitorID startup = nullptr;
    edge->checkFatalError("monitor", edge->jvmti->CreateRawMonitor("_orvane_startup", &startup));
    edge->startupMonitor = startup;
    MessageUtil::message("%d-bit library", static_cast<int>(sizeof(void *) * 8));

    if (!switching) {
        setOptions(optionText);
        LiveCpuProfilingHelper::init(this, stack);
        LiveHeapProfilingHelper::init(this);
        applyCpuSettings();
        std::lock_guard<std::mutex> guard(communicatorLock);
        openTransport(false);
    }

    if (attach) {
        edge->setNowait(true);
        JNIEnv *env = nullptr;
        if (vm->GetEnv(reinterpret_cast<void **>(&env), JNI_VERSION_REQUEST) != JNI_OK || env == nullptr)
            MessageUtil::message("Could not get JNIEnv");
        else
            attachSequence(env);
    } else if (!EventHandler::enableEvents(*edge, nullptr, false)) {
        edge->endVm(VmEnd::EVENTS_REFUSED);
    }
    MessageUtil::message("Native library initialized");
}

void LiveProfilingSession::checkVm()
{
    std::string name = edge->getProperty("java.vm.name");
    if (startsWith(name, "IBM")) {
        edge->setIbmVm(true);
        MessageUtil::message("Thread status info workaround enabled.");
    } else if (startsWith(name, "Oracle JRockit")) {
        edge->setJrockitVm(true);
        MessageUtil::message("JRockit VM detected");
    }
    vmName = name;
    vmVersion = edge->getProperty("java.vm.version");

    jint version = 0;
    edge->jvmti->GetVersionNumber(&version);
    int major = (version & JVMTI_VERSION_MASK_MAJOR) >> JVMTI_VERSION_SHIFT_MAJOR;
    int minor = (version & JVMTI_VERSION_MASK_MINOR) >> JVMTI_VERSION_SHIFT_MINOR;
    if ((minor != 0 || major > 1) && !startsWith(vmVersion, "1.5")) {
        restrictedJvmti11 = 1;
        edge->setJvmti11(true);
        if (edge->isIbmVm()) {
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
        edge->endVm(VmEnd::MONITOR_EDITION);
    }
    port = options.port;
    stack = options.stack;
    samplingstack = options.samplingstack;
    edge->libraryLocation = options.libraryLocation;
    edge->setNowait(options.nowait);
    edge->setOffline(options.offline);
    edge->setJniInterception(options.jniInterception);
    edge->setThreadProfilingDisabled(options.disableThreadProfiling);
    edge->setThreadProfilingOn(options.threadProfiling());
    edge->setVmTelemetry(options.vmTelemetry());

    switch (options.resolveConfiguration(jvmti11 != 0, attached)) {
    case AgentOptions::CONFIG_MISSING:
        edge->endVm(VmEnd::CONFIG_UNREADABLE);
    case AgentOptions::CONFIG_NONE:
        if (options.offline || options.nowait)
            edge->setConfigAtStartup(false);
        return;
    case AgentOptions::CONFIG_FROM_FILE:
        break;
    }
    edge->scriptDirName = options.scriptDirName();
    SessionConfig::ReadError error = config->readFromFile(options.configPath, options.id);
    for (const std::string &note : config->getMessages())
        MessageUtil::message("%s", note.c_str());
    if (error.failed()) {
        MessageUtil::message("%s", error.message.c_str());
        edge->endVm(VmEnd::CONFIG_UNREADABLE);
    }
}

void LiveProfilingSession::attachSequence(JNIEnv *env)
{
    EventHandler::init(*edge, env, switching);
    if (switching)
        handOverRecorderLocks();
    edge->lookupJavaClasses(env);
    startAttachManager(env);

    enterMonitor(IM_CLASS | IM_THREAD);
    SuspendedThreads suspended;
    suspendOtherThreads(env, &suspended);
    if (!EventHandler::enableEvents(*edge, env, true)) {
        edge->endVm(VmEnd::EVENTS_REFUSED);
    }
    // The classes loaded before the agent came were never prepared under its eyes.
    LiveClassProfilingHelper::tagUntaggedClasses(this, env);
    resumeThreads(env, &suspended);
    exitMonitor(IM_CLASS | IM_THREAD, false);
    // The base classes the VM loaded before the agent get their changes now,
    // with the other threads running again: retransformation waits for them.
    LiveClassProfilingHelper::initAttach(env);
}

void LiveProfilingSession::startAttachManager(JNIEnv *env)
{
    // The VM finds this library's natives only once the attach has returned;
    // the communication thread that AttachManager starts needs its own now.
    JNINativeMethod enter = {const_cast<char *>("enterCommunication"), const_cast<char *>("(Ljava/lang/Object;I)V"),
                             reinterpret_cast<void *>(&Java_com_orvane_agent_Agent_enterCommunication)};
    if (env->RegisterNatives(edge->agentClass, &enter, 1) != 0) {
        env->ExceptionClear();
        MessageUtil::message("could not bind the communication thread's entry");
    }
    jclass attachManager = env->FindClass("com/orvane/agent/AttachManager");
    if (attachManager == nullptr)
        env->ExceptionClear();
    edge->requireFound(attachManager, "com/orvane/agent/AttachManager");
    jmethodID attachInit = env->GetStaticMethodID(attachManager, "init", "(Ljava/lang/String;)V");
    if (attachInit == nullptr)
        env->ExceptionClear();
    edge->requireFound(attachInit, "AttachManager.init(String)");
    jstring location = edge->libraryLocation.empty() ? nullptr : env->NewStringUTF(edge->libraryLocation.c_str());
    env->CallStaticVoidMethod(attachManager, attachInit, location);
    if (env->ExceptionCheck())
        env->ExceptionClear();
}

void LiveProfilingSession::suspendOtherThreads(JNIEnv *env, SuspendedThreads *out)
{
    jvmtiEnv *jvmti = edge->jvmti;
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
    if (jvmti->GetAllThreads(&out->count, &out->all) != JVMTI_ERROR_NONE) {
        MessageUtil::message("Could not get all threads");
        out->count = 0;
    }
    // The threads that run already are registered as if they started now;
    // only the profiled ones are held while the events go in.
    for (jint i = 0; i < out->count; i++) {
        LiveThreadManager *manager = LiveCpuProfilingHelper::attachRegisterThread(env, out->all[i]);
        bool ignored = manager == nullptr || manager->getIgnored();
        if (!ignored && (current == nullptr || !env->IsSameObject(out->all[i], current)))
            out->threads.push_back(out->all[i]);
    }
    out->results.resize(out->threads.size());
    if (error != JVMTI_ERROR_NONE || out->threads.empty()) {
        out->threads.clear();
        return;
    }
    jvmtiError e = jvmti->SuspendThreadList(static_cast<jint>(out->threads.size()), out->threads.data(), out->results.data());
    if (e != JVMTI_ERROR_NONE) {
        MessageUtil::message("Could not suspend threads (%d).", static_cast<int>(e));
        out->threads.clear();
    }
}

void LiveProfilingSession::resumeThreads(JNIEnv *env, SuspendedThreads *suspended)
{
    jvmtiEnv *jvmti = edge->jvmti;
    std::vector<jthread> toResume;
    for (size_t i = 0; i < suspended->threads.size(); i++) {
        if (suspended->results[i] == JVMTI_ERROR_NONE)
            toResume.push_back(suspended->threads[i]);
    }
    if (!toResume.empty() &&
        jvmti->ResumeThreadList(static_cast<jint>(toResume.size()), toResume.data(), suspended->results.data()) != JVMTI_ERROR_NONE)
        MessageUtil::message("Could not resume threads.");
    if (suspended->all == nullptr)
        return;
    for (jint i = 0; i < suspended->count; i++)
        env->DeleteLocalRef(suspended->all[i]);
    jvmti->Deallocate(reinterpret_cast<unsigned char *>(suspended->all));
}

void LiveProfilingSession::enterMonitor(int bits)
{
    edge->monitors.enter(bits);
}

void LiveProfilingSession::exitMonitor(int bits, bool)
{
    edge->monitors.exit(bits);
}

int LiveProfilingSession::getAllocTreeRecordingType()
{
    return config->allocTreeRecordingType;
}

long long LiveProfilingSession::getVmIdentifier()
{
    JNIEnv *env = edge->getJNIEnv();
    if (env == nullptr || edge->agentClass == nullptr)
        return 0;
    return env->GetStaticLongField(edge->agentClass, edge->agentVmIdentifier);
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

bool LiveProfilingSession::isAllocRecording()
{
    HeapProfilingSession *heap = LiveHeapProfilingHelper::getSession();
    return heap != nullptr && heap->isRecording();
}

bool LiveProfilingSession::isRecordingArrayAllocs()
{
    return !options.noArrayAllocs && !attached;
}

void LiveProfilingSession::sleep(int ms)
{
    jvmtiEnv *jvmti = edge->jvmti;
    if (jvmti == nullptr) {
        sleepWithoutJvmti(ms);
        return;
    }
    jrawMonitorID m = edge->sleepMonitor != nullptr ? edge->sleepMonitor : edge->startupMonitor;
    jvmti->RawMonitorEnter(m);
    if (ms > 0) {
        jvmti->RawMonitorWait(m, ms);
    } else {
        edge->setWakeupRequested(false);
        while (!edge->isWakeupRequested())
            jvmti->RawMonitorWait(m, 200);
    }
    jvmti->RawMonitorExit(m);
}

void LiveProfilingSession::wakeup()
{
    if (edge->isWaitingForDisconnect())
        edge->cleanup();
    edge->setWakeupRequested(true);
}

bool LiveProfilingSession::initParameters(JNIEnv *env)
{
    int method = config->instrumentationType;
    if (method == 1) {
        MessageUtil::message("Using dynamic instrumentation");
        config->showSubclassMethods = false;
    } else if (method == 3) {
        MessageUtil::message("Using sampling (%d ms)", config->samplingFrequency);
        config->showSubclassMethods = false;
        // A sample counts as running time only while the thread runs: its
        // state must be known from the first sample on, also when no front
        // end has connected yet (nowait).
        edge->setThreadProfiling(true, env);
    } else {
        MessageUtil::message("Using full instrumentation");
        if (config->showSubclassMethods)
            MessageUtil::message("Recording concrete subclasses");
    }
    MessageUtil::message(config->timeType == 1 ? "Time measurement: elapsed time" : "Time measurement: estimated cpu time");
    MessageUtil::message(config->disableCPUProfiling ? "CPU profiling disabled" : "CPU profiling enabled");
    applyCpuSettings();
    LiveCpuProfilingHelper::startSampler(config->samplingFrequency > 0 ? config->samplingFrequency : 5);
    if (config->sessionRead)
        sessionState = 2;
    return true;
}

void LiveProfilingSession::applyCpuSettings()
{
    CpuProfilingSession *cpu = edge->getCpuSession();
    if (cpu == nullptr)
        return;
    CpuProfilingSession::Settings settings = cpu->getSettings();
    settings.lineNumbers = config->lineNumbers;
    settings.timeType = config->timeType;
    settings.collectionMethod = getCallTreeCollectionMethod();
    settings.exceptionalCap = getExceptionalCap();
    settings.exceptionalTimeType = getExceptionalTimeType();
    settings.recordAgentClasses = options.sampleAgentClasses;
    cpu->updateSettings(settings);
}

unsigned LiveProfilingSession::getCommunicatorStatus()
{
    std::lock_guard<std::mutex> guard(communicatorLock);
    return communicator != nullptr ? communicator->getStatus() : Communicator::STATUS_CLEANED_UP;
}

void LiveProfilingSession::stopWaitingForFrontend()
{
    std::lock_guard<std::mutex> guard(communicatorLock);
    if (transport != nullptr)
        transport->interrupt();
}

void LiveProfilingSession::listenForFrontend()
{
    std::lock_guard<std::mutex> guard(communicatorLock);
    if (transport != nullptr)
        transport->listen();
}

void LiveProfilingSession::openTransport(bool offline)
{
    delete communicator;
    communicator = nullptr;
    javaTransport = nullptr;
    owners = CommandOwners{this, nullptr, nullptr};
    if (offline) {
        javaTransport = new OfflineTransport();
        transport.reset(javaTransport);
    } else if (port == 0) {
        javaTransport = new JavaThreadTransport();
        transport.reset(javaTransport);
    } else {
        transport.reset(new SocketTransport(port, options.address, LiveVmCommands::onListenFailure));
    }
    if (!offline) {
        owners = CommandOwners{this, LiveCpuProfilingHelper::getSession(), &vmCommands};
        owners.heap = LiveHeapProfilingHelper::getSession();
    }
    communicator = new Communicator(*transport, owners);
}

void LiveProfilingSession::bindServingThread(JNIEnv *env, jobject javaCommunicator)
{
    vmCommands.bindThread(env);
    if (javaTransport != nullptr)
        javaTransport->bind(env, javaCommunicator);
}

void LiveProfilingSession::runCommunicator(JNIEnv *env, jobject javaCommunicator)
{
    for (;;) {
        Communicator *current;
        Transport *currentTransport;
        {
            std::lock_guard<std::mutex> guard(communicatorLock);
            current = communicator;
            currentTransport = transport.get();
            bindServingThread(env, javaCommunicator);
        }
        current->run();
        // A process that ends with the connection keeps its recording to the
        // end: nothing would read it after a reset.
        if (current->shouldExitProcess() || current->shouldInterruptProcess() || !currentTransport->canReconnect() ||
            edge->isWaitingForDisconnect())
            return;
        if (current->hasReceivedCommand()) {
            stopAndResetRecording(env);
            MessageUtil::message("Disconnected. Waiting for reconnection.");
        }
        std::lock_guard<std::mutex> guard(communicatorLock);
        communicator = new Communicator(*transport, owners);
        delete current;
    }
}

void LiveProfilingSession::stopAndResetRecording(JNIEnv *env)
{
    edge->setThreadProfiling(false, env);
    edge->setMonitorProfiling(false, env);
    edge->setVmTelemetry(false);
    LiveHeapProfilingHelper::setAllocRecord(false, false, env);
    if (HeapProfilingSession *heap = LiveHeapProfilingHelper::getSession())
        heap->resetData();
    if (CpuProfilingSession *cpu = edge->getCpuSession()) {
        cpu->setCpuRecord(false, true);
        cpu->reset();
    }
    if (LiveSamplerSession *sampler = LiveCpuProfilingHelper::getSampler())
        sampler->restart();
}

void LiveProfilingSession::handleCmdGetState(DataReader *reader, DataWriter *writer)
{
    ProfilingSession::handleCmdGetState(reader, writer);
    if (sessionState == 2)
        MessageUtil::message("Reconnection.");
    if (!edge->isThreadProfilingDisabled())
        edge->setThreadProfilingOn(true);
    edge->setVmTelemetry(true);
}

namespace {

// A script name from the network names a file directly in the script
// directory: no directories, no way out of it.
bool isPlainFileName(const char *name)
{
    return name[0] != '\0' && strchr(name, '/') == nullptr && strstr(name, "..") == nullptr;
}

} // namespace

void LiveProfilingSession::receiveScripts(DataReader *reader)
{
    uint32_t count = reader->readU4(0);
    if (count == 0 || reader->getError())
        return;
    if (edge->scriptDirName.empty())
        edge->initTempDir();
    for (uint32_t i = 0; i < count && !reader->getError(); i++) {
        char *name = reader->readString(nullptr);
        uint32_t size = reader->readU4(0);
        if (name == nullptr)
            return;
        FILE *file = nullptr;
        if (!isPlainFileName(name)) {
            MessageUtil::message("Refusing script file name %s.", name);
        } else {
            std::string path = edge->scriptDirName + "/" + name;
            file = fopen(path.c_str(), "wb");
        }
        delete[] name;
        char block[8192];
        for (uint32_t done = 0; done < size && !reader->getError();) {
            int want = static_cast<int>(std::min<uint32_t>(sizeof block, size - done));
            int got = reader->readFully(block, want);
            if (got <= 0)
                break;
            if (file != nullptr)
                fwrite(block, 1, static_cast<size_t>(got), file);
            done += static_cast<uint32_t>(got);
        }
        if (file != nullptr)
            fclose(file);
    }
}

void LiveProfilingSession::handleCmdSetParameters(DataWriter *writer, DataReader *reader, JNIEnv *env)
{
    SessionConfig *old = nullptr;
    int flag = reader->readByte(-1);
    if (flag < 0)
        MessageUtil::message("ERROR: Command 1 without its configuration flag; no configuration is applied.");
    else if (flag > 1)
        MessageUtil::message("ERROR: Command 1 with configuration flag %d (0 or 1 expected); no configuration is applied.", flag);
    bool configFollows = flag == 1;
    if (configFollows) {
        old = config;
        SessionConfig *received = new SessionConfig();
        SessionConfig::ReadError error = received->read(reader);
        for (const std::string &note : received->getMessages())
            MessageUtil::message("%s", note.c_str());
        if (error.failed()) {
            MessageUtil::message("%s", error.message.c_str());
            if (error.showDocument) {
                const char *xml = nullptr;
                const char *path = nullptr;
                int id = 0;
                received->sessionRead = received->applied = true;
                received->getXmlConfig(&xml, &path, &id);
                fprintf(stdout, "---------------------------------\n%s\n---------------------------------\n", xml != nullptr ? xml : "");
                fflush(stdout);
            }
            edge->endVm(VmEnd::CONFIG_UNREADABLE);
        }
        config = received;
        receiveScripts(reader);
        config->applied = true;
        initParameters(env);
        bool withOld = edge->isNowait() || parametersSet;
        classSession.updateConfig(withOld ? old : nullptr, config, writer, edge, env);
        LiveProbeCommands::configurationApplied(env);
    } else {
        writer->writeU4(0);
        writer->writeByte(0);
        writer->writeByte(1);
    }
    parametersSet = true;
    applyStartupSwitches(env, old);
    if (old != nullptr) {
        old->deleteTempFile();
        delete old;
    }
    writer->writeByte(1);
}

void LiveProfilingSession::applyStartupSwitches(JNIEnv *env, const SessionConfig *previous)
{
    CpuProfilingSession *cpu = edge->getCpuSession();
    if (config->recordAllocOnStartup)
        LiveHeapProfilingHelper::setAllocRecord(true, true, env);
    if (config->recordCPUOnStartup && cpu != nullptr) {
        cpu->setCpuRecord(true, true);
        cpu->reset();
    }
    if (!config->enableTriggersOnStartup)
        edge->enableTriggers(env, false);
    else if (edge->isNowait() && previous != nullptr && previous->sessionRead)
        edge->enableTriggers(env, true);
}

void LiveProfilingSession::handleCmdGetParameters(DataWriter *writer)
{
    std::string problem = config->writeConfigFile(writer);
    if (!problem.empty())
        MessageUtil::message("%s", problem.c_str());
}

void LiveProfilingSession::deleteTempFiles()
{
    if (HeapDumpFile *dump = LiveHeapdump::getDumpFile())
        dump->deleteTempFile();
    if (config != nullptr)
        config->deleteTempFile();
}

void LiveProfilingSession::javaCommThreadEnter(JNIEnv *env, jobject javaCommunicator, int javaPort)
{
    if (edge->isOffline() && javaPort < 1)
        return;
    // Unless offline or not waiting, the native communication thread serves
    // the front end; the recorder without JVMTI has none.
    if (!edge->isOffline() && !edge->isNowait() && edge->jvmti != nullptr)
        return;
    jobject communicatorObject = javaCommunicator != nullptr ? env->NewGlobalRef(javaCommunicator) : nullptr;
    if (edge->isOffline()) {
        std::lock_guard<std::mutex> guard(communicatorLock);
        port = javaPort;
        openTransport(true);
    }
    runCommunicator(env, communicatorObject);
    {
        // This thread's environment is no longer valid once it returns to Java.
        std::lock_guard<std::mutex> guard(communicatorLock);
        bindServingThread(nullptr, nullptr);
    }
    if (communicatorObject != nullptr)
        env->DeleteGlobalRef(communicatorObject);
}

void LiveProfilingSession::handleCmdGetVMState(DataWriter *writer, JNIEnv *env)
{
    CpuProfilingSession *cpu = edge->getCpuSession();
    HeapProfilingSession *heap = LiveHeapProfilingHelper::getSession();
    HeapDumpFile *dump = LiveHeapdump::getDumpFile();
    VmStateReply::Switches on;
    on.cpuRecording = cpu != nullptr && cpu->isRecording();
    on.allocRecording = isAllocRecording();
    on.monitorProfiling = edge->isMonitorProfiling();
    on.methodStatistics = cpu != nullptr && cpu->isRecordMethodStatistics();
    on.triggers = env != nullptr && edge->triggersEnabled(env);
    on.newCallTracerData = cpu != nullptr && cpu->hasNewCallTracerData();
    on.newMethodStatistics = cpu != nullptr && cpu->hasNewMethodStatistics();
    on.newThreadDumps = cpu != nullptr && cpu->hasNewThreadDumps();
    on.newHeapDump = dump != nullptr && dump->hasNewHeapdump();
    on.newCpuData = cpu != nullptr && cpu->hasNewCpuData();
    on.cpuDataReset = cpu != nullptr && cpu->isCpuDataReset();
    on.newAllocData = heap != nullptr && heap->hasNewAllocData();
    on.newMonitorData = cpu != nullptr && cpu->hasNewMonitorData();
    if (VmStateReply::write(writer, edge->isWaitingForDisconnect(), on, classSession, config, &vmStartWallClock,
                            [env](DataWriter *out) { JavaProbeCommands::writeProbeRecording(env, out); },
                            LiveClassProfilingHelper::writeNewAutoTuneMethods))
        wakeup();
}

SamplerSession *LiveProfilingSession::getSamplerSession()
{
    return LiveCpuProfilingHelper::getSampler();
}
