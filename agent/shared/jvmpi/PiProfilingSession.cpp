#include "PiProfilingSession.h"

#include <cstdlib>

#include "Counter.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "PiEventHandler.h"
#include "HeapDumpFile.h"
#include "InternalMonitor.h"
#include "JavaNatives.h"
#include "LiveThreadManager.h"
#include "PiClassProfilingHelper.h"
#include "PiProfiling.h"
#include "TypeUtil.h"
#include "MessageUtil.h"
#include "SessionLock.h"
#include "SocketTransport.h"
#include "VmStateReply.h"
#include "JavaControls.h"
#include "JavaProbeCommands.h"

PiProfilingSession::PiProfilingSession()
    : mode(0), attached(false), vmCommands(this), javaServing(false), servingFrontend(false), parametersApplied(false), closed(false)
{
    // The session's own fields, which the state reply and snapshot headers write.
    interfaceKind = INTERFACE_KIND;
}

PiProfilingSession::~PiProfilingSession() = default;

void PiProfilingSession::init(JavaVM *vm, const char *optionText, bool attach, bool switching)
{
    attached = attach;
    if (!switching)
        MessageUtil::message("Protocol version %d", PROTOCOL_VERSION);
    MessageUtil::message("Using JVMPI");
    if (!PiProfiling::initializeInterface(vm)) {
        PiProfiling::endVm(VmEnd::NO_JVMPI);
    }
    PiProfiling::createMonitors();
    vmVersion = "1.4";
    MessageUtil::message("%d-bit library", static_cast<int>(sizeof(void *) * 8));
    if (!switching) {
        options.parse(optionText);
        if (options.monitor) {
            PiProfiling::endVm(VmEnd::MONITOR_EDITION);
        }
        vmTelemetry = options.vmTelemetry();
        classSession.reset(new PiClassProfilingSession(this));
        heapSession.reset(new LiveHeapProfilingSession(this));
        heapdump.reset(new PiHeapdump(this));
        vmInterface.reset(new PiVmInterface(classSession.get()));
        CpuProfilingSession::Settings settings;
        settings.collectionMethod = 2;
        cpuSession.reset(new LiveCpuProfilingSession(this, vmInterface.get(), settings, classSession.get(), heapSession.get()));
        cpuSession->setAgentMonitors({PiProfiling::_heapMonitor, PiProfiling::_classMonitor, PiProfiling::_threadMonitor,
                                      PiProfiling::_sleepMonitor, PiProfiling::_deadThreadsMonitor, PiProfiling::_snapshotMonitor});
        classSession->initInstrumentation(cpuSession.get(), options);
        owners.session = this;
        owners.vm = &vmCommands;
        owners.cpu = cpuSession.get();
        LiveHeapProfilingSession *objects = heapSession.get();
        heapViews.reset(HeapViews::create(this, classSession.get(),
                                          [objects](const std::function<void(long long)> &visit) { objects->forEachViewTag(visit); }));
        owners.heap = heapViews.get();
        LiveCpuProfilingSession *cpu = cpuSession.get();
        heapSession->setViews(heapViews.get(), [this, cpu](JNIEnv *env) -> CallStackTree * {
            // No allocation nodes while CPU profiling is off by configuration.
            if (config != nullptr && config->disableCPUProfiling)
                return nullptr;
            LiveThreadManager *thread = cpu->getCurrentThreadManager(env, true);
            return thread != nullptr ? thread->getCurrentNode() : nullptr;
        });
        readConfigurationFile();
        if (!options.offline && options.port > 0) {
            transport.reset(new SocketTransport(options.port, options.address, nullptr));
            communicator.reset(new Communicator(*transport, owners));
        }
    }
    PiEventHandler events;
    if (!events.enableEvents(nullptr, attach)) {
        PiProfiling::endVm(VmEnd::EVENTS_REFUSED);
    }
    MessageUtil::message("Native library initialized");
    MessageUtil::message("If output stops here, please remove -Xdebug from the command line");
}

void PiProfilingSession::readConfigurationFile()
{
    // This interface is no full JVMTI 1.1: nowait needs the file as offline does.
    switch (options.resolveConfiguration(false)) {
    case AgentOptions::CONFIG_MISSING:
        PiProfiling::endVm(VmEnd::CONFIG_UNREADABLE);
    case AgentOptions::CONFIG_NONE:
        return;
    case AgentOptions::CONFIG_FROM_FILE:
        break;
    }
    std::unique_ptr<SessionConfig> read(new SessionConfig());
    SessionConfig::ReadError error = read->readFromFile(options.configPath, options.id);
    for (const std::string &note : read->getMessages())
        MessageUtil::message("%s", note.c_str());
    if (error.failed()) {
        MessageUtil::message("%s", error.message.c_str());
        PiProfiling::endVm(VmEnd::CONFIG_UNREADABLE);
    }
    // Classes that load from now on are rewritten by its filters.
    classSession->updateConfig(nullptr, read.get());
    config = std::move(read);
}

bool PiProfilingSession::isConfigRead() const
{
    return config != nullptr && config->sessionRead;
}

void PiProfilingSession::notifyEvent(JVMPI_Event *event)
{
    jint type = event->event_type;
    bool wasRequested = (type & JVMPI_REQUESTED_EVENT) != 0;
    if (wasRequested) {
        type &= ~JVMPI_REQUESTED_EVENT;
        event->event_type = type;
    }
    switch (type) {
    case JVMPI_EVENT_METHOD_ENTRY:
        if (cpuSession != nullptr)
            cpuSession->handleMethodEntry(event);
        break;
    case JVMPI_EVENT_METHOD_ENTRY2:
        if (cpuSession != nullptr)
            cpuSession->handleMethodEntry2(event);
        break;
    case JVMPI_EVENT_METHOD_EXIT:
        if (cpuSession != nullptr)
            cpuSession->handleMethodExit(event);
        break;
    case JVMPI_EVENT_THREAD_START:
        if (cpuSession != nullptr)
            cpuSession->handleThreadStart(event);
        break;
    case JVMPI_EVENT_THREAD_END:
        if (cpuSession != nullptr)
            cpuSession->handleThreadEnd(event);
        break;
    case JVMPI_EVENT_CLASS_LOAD_HOOK:
        if (classSession != nullptr)
            classSession->handleClassLoadHook(event);
        break;
    case JVMPI_EVENT_CLASS_LOAD:
        if (classSession != nullptr)
            classSession->handleClassLoad(event, wasRequested);
        break;
    case JVMPI_EVENT_CLASS_UNLOAD:
        if (classSession != nullptr)
            classSession->handleClassUnload(event);
        break;
    case JVMPI_EVENT_RAW_MONITOR_CONTENDED_ENTER:
        if (cpuSession != nullptr && !isMyMonitor(event->u.raw_monitor.id))
            cpuSession->handleMonitorContendedEnter(true, event->env_id, event->env_id, event->u.raw_monitor.id, nullptr, false);
        break;
    case JVMPI_EVENT_RAW_MONITOR_CONTENDED_ENTERED:
        if (cpuSession != nullptr && !isMyMonitor(event->u.raw_monitor.id))
            cpuSession->handleMonitorContendedEntered(true, event->env_id, event->env_id, event->u.raw_monitor.id);
        break;
    case JVMPI_EVENT_MONITOR_CONTENDED_ENTER:
        if (cpuSession != nullptr)
            cpuSession->handleMonitorContendedEnter(false, event->env_id, event->env_id, event->u.monitor.object, nullptr, false);
        break;
    case JVMPI_EVENT_MONITOR_CONTENDED_ENTERED:
        if (cpuSession != nullptr)
            cpuSession->handleMonitorContendedEntered(false, event->env_id, event->env_id, event->u.monitor.object);
        break;
    case JVMPI_EVENT_MONITOR_WAIT:
        if (cpuSession != nullptr)
            cpuSession->handleMonitorWait(event->env_id, event->env_id, event->u.monitor_wait.object, false);
        break;
    case JVMPI_EVENT_MONITOR_WAITED:
        if (cpuSession != nullptr)
            cpuSession->handleMonitorWaited(event->env_id, event->env_id, event->u.monitor_wait.object);
        break;
    case JVMPI_EVENT_MONITOR_DUMP:
        if (cpuSession != nullptr)
            cpuSession->handleMonitorDump(event);
        break;
    case JVMPI_EVENT_OBJECT_ALLOC:
        if (heapSession != nullptr)
            heapSession->handleObjectAlloc(event->env_id, event->u.obj_alloc.obj_id, event->u.obj_alloc.size,
                                           TypeUtil::jvmpiToOrvaneArray(event->u.obj_alloc.is_array),
                                           event->u.obj_alloc.class_id != nullptr
                                               ? classSession->getClassData(event->u.obj_alloc.class_id)
                                               : nullptr);
        break;
    case JVMPI_EVENT_OBJECT_FREE:
        if (heapSession != nullptr)
            heapSession->handleObjectFree(static_cast<long long>(reinterpret_cast<intptr_t>(event->u.obj_free.obj_id)));
        break;
    case JVMPI_EVENT_OBJECT_MOVE:
        if (heapSession != nullptr)
            heapSession->handleObjectMove(event);
        if (classSession != nullptr)
            classSession->handleObjectMove(event);
        if (cpuSession != nullptr)
            cpuSession->handleObjectMove(event);
        break;
    case JVMPI_EVENT_HEAP_DUMP:
        if (heapdump != nullptr)
            heapdump->handleHeapDump(event);
        break;
    case JVMPI_EVENT_JVM_INIT_DONE:
        PiProfiling::startTime = Counter::getUsec();
        updateVmStartTime(PiProfiling::startTime, false);
        PiProfiling::initCommunication(event->env_id);
        break;
    case JVMPI_EVENT_JVM_SHUT_DOWN:
        handleShutDown();
        break;
    default:
        // Types nobody handles are ignored; the debug log names them.
        MessageUtil::debugOut("event of type %d ignored\n", static_cast<int>(type));
        break;
    }
}

bool PiProfilingSession::isMyMonitor(JVMPI_RawMonitor monitor) const
{
    // Every agent monitor, the snapshot monitor too: contention on them is
    // the agent's own and never recorded.
    return monitor != nullptr &&
           (monitor == PiProfiling::_classMonitor || monitor == PiProfiling::_heapMonitor ||
            monitor == PiProfiling::_threadMonitor || monitor == PiProfiling::_sleepMonitor ||
            monitor == PiProfiling::_deadThreadsMonitor || monitor == PiProfiling::_snapshotMonitor);
}

namespace {

JVMPI_RawMonitor monitorOf(int bit)
{
    switch (bit) {
    case IM_DEAD_THREADS:
        return PiProfiling::_deadThreadsMonitor;
    case IM_THREAD:
        return PiProfiling::_threadMonitor;
    case IM_CLASS:
        return PiProfiling::_classMonitor;
    default:
        return PiProfiling::_heapMonitor;
    }
}

} // namespace

// Monitors stay in use after shut-down has begun: events and a connected
// front end may still reach the data they guard.
void PiProfilingSession::enterMonitor(int bits)
{
    JVMPI_Interface *vm = PiProfiling::g_profilingInterface;
    if (vm == nullptr)
        return;
    for (int bit : {IM_DEAD_THREADS, IM_THREAD, IM_CLASS, IM_HEAP})
        if ((bits & bit) != 0 && monitorOf(bit) != nullptr)
            vm->RawMonitorEnter(monitorOf(bit));
}

void PiProfilingSession::exitMonitor(int bits, bool)
{
    JVMPI_Interface *vm = PiProfiling::g_profilingInterface;
    if (vm == nullptr)
        return;
    for (int bit : {IM_HEAP, IM_CLASS, IM_THREAD, IM_DEAD_THREADS})
        if ((bits & bit) != 0 && monitorOf(bit) != nullptr)
            vm->RawMonitorExit(monitorOf(bit));
}

void PiProfilingSession::sleep(int ms)
{
    JVMPI_Interface *vm = PiProfiling::g_profilingInterface;
    vm->RawMonitorEnter(PiProfiling::_sleepMonitor);
    if (ms > 0) {
        vm->RawMonitorWait(PiProfiling::_sleepMonitor, ms);
    } else {
        PiProfiling::shouldWakeup = false;
        while (!PiProfiling::shouldWakeup)
            vm->RawMonitorWait(PiProfiling::_sleepMonitor, 200);
    }
    vm->RawMonitorExit(PiProfiling::_sleepMonitor);
}

void PiProfilingSession::runCommunicator(JNIEnv *)
{
    if (communicator != nullptr) {
        // Served here until command 1; then the connection stays open for the
        // Java communication thread.
        bool connected = transport->connect();
        if (connected)
            communicator->process();
        // Only command 1 hands the open connection over; a front end that
        // asked to end or interrupt the process has its connection closed.
        bool handOver = connected && communicator->isFinished() && !communicator->isEnded() &&
                        !communicator->shouldExitProcess() && !communicator->shouldInterruptProcess();
        if (!handOver) {
            transport->disconnect();
            closed = true;
            vmCommands.connectionEnded(*communicator);
        } else {
            handedOver = true;
        }
    }
    PiProfiling::javaCommThreadShouldEnter = true;
}

void PiProfilingSession::javaCommThreadEnter(JNIEnv *env)
{
    while (!PiProfiling::javaCommThreadShouldEnter && !PiProfiling::dying)
        sleep(100);
    if (PiProfiling::dying)
        return;
    if (!parametersApplied)
        initParameters(env);
    if (communicator == nullptr)
        return;
    // The connection the native thread handed over, then each front end
    // that connects after it, until one ends the process or the VM ends.
    // Without a native communication thread, or when its front end left
    // before command 1, the next front end connects here.
    std::unique_ptr<Communicator> next(new Communicator(*transport, owners));
    javaCommunicator = next.get();
    if (handedOver)
        next->markConnected();
    else if (!transport->connect())
        return;
    for (;;) {
        Communicator *current = next.get();
        javaCommunicators.push_back(std::move(next));
        javaServing = true;
        setServingFrontend(true);
        current->process();
        transport->disconnect();
        setServingFrontend(false);
        vmCommands.connectionEnded(*current);
        if (PiProfiling::dying || PiProfiling::shuttingDown)
            break;
        // A front end that went after its commands ends its recording: the
        // next one starts from nothing.
        if (current->hasReceivedCommand()) {
            stopAndResetRecording();
            MessageUtil::message("Disconnected. Waiting for reconnection.");
        }
        next.reset(new Communicator(*transport, owners));
        javaCommunicator = next.get();
        if (!transport->connect())
            break;
    }
}

void PiProfilingSession::stopAndResetRecording()
{
    if (cpuSession != nullptr) {
        cpuSession->setThreadProfiling(false);
        cpuSession->setMonitorRecording(false, cpuSession->getBlockThreshold(), cpuSession->getWaitThreshold());
    }
    vmTelemetry = false;
    setAllocRecord(false);
    if (heapViews != nullptr)
        HeapViews::reset(heapViews.get());
    // The VM's method and allocation events stay enabled, as after switching
    // recording off: the next front end's switches need no more.
    if (cpuSession != nullptr) {
        cpuSession->setCpuRecord(false, true);
        cpuSession->reset();
    }
    if (samplerSession != nullptr)
        samplerSession->restart();
}

void PiProfilingSession::handleCmdGetState(DataReader *reader, DataWriter *writer)
{
    ProfilingSession::handleCmdGetState(reader, writer);
    if (sessionState == 2)
        MessageUtil::message("Reconnection.");
    if (cpuSession != nullptr && !options.disableThreadProfiling)
        cpuSession->setThreadProfiling(true);
    vmTelemetry = true;
}

unsigned PiProfilingSession::getCommunicatorStatus() const
{
    Communicator *serving = javaCommunicator.load();
    if (serving != nullptr)
        return serving->getStatus();
    if (communicator == nullptr || closed)
        return Communicator::STATUS_CLEANED_UP;
    return communicator->getStatus();
}

int PiProfilingSession::getAllocTreeRecordingType()
{
    return config != nullptr ? config->allocTreeRecordingType : ProfilingSession::getAllocTreeRecordingType();
}

int PiProfilingSession::getCallTreeCollectionMethod()
{
    return config != nullptr ? config->instrumentationType : 2;
}

bool PiProfilingSession::isAllUrls()
{
    return config != nullptr && config->allUrls;
}

void PiProfilingSession::handleCmdSetParameters(DataReader *reader, DataWriter *writer)
{
    if (reader->readByte(0) == 1) {
        std::unique_ptr<SessionConfig> received(new SessionConfig());
        SessionConfig::ReadError error = received->read(reader);
        for (const std::string &note : received->getMessages())
            MessageUtil::message("%s", note.c_str());
        if (error.failed()) {
            // The configuration in force stays.
            MessageUtil::message("%s", error.message.c_str());
        } else {
            received->applied = true;
            // Classes that load from now on are rewritten by its filters.
            if (classSession != nullptr)
                classSession->updateConfig(config.get(), received.get());
            config = std::move(received);
        }
    }
    // No class is ever retransformed here: no classes, byte 0, byte 1.
    writer->writeU4(0);
    writer->writeByte(0);
    writer->writeByte(1);
    writer->writeByte(1);
}

void PiProfilingSession::handleCmdGetParameters(DataWriter *writer)
{
    // Before any configuration the defaults are in force.
    SessionConfig defaults;
    const SessionConfig *current = config != nullptr ? config.get() : &defaults;
    std::string problem = current->writeConfigFile(writer);
    if (!problem.empty())
        MessageUtil::message("%s", problem.c_str());
}

void PiProfilingSession::handleCmdGetVMState(DataWriter *writer, JNIEnv *env)
{
    VmStateReply::Switches on;
    on.cpuRecording = cpuSession->isRecording();
    on.allocRecording = isAllocRecording();
    on.monitorProfiling = cpuSession->isMonitorRecording();
    on.methodStatistics = cpuSession->isRecordMethodStatistics();
    on.triggers = JavaControls::triggersEnabled(env);
    on.newCallTracerData = cpuSession->hasNewCallTracerData();
    on.newMethodStatistics = cpuSession->hasNewMethodStatistics();
    on.newThreadDumps = cpuSession->hasNewThreadDumps();
    on.newCpuData = cpuSession->hasNewCpuData();
    on.cpuDataReset = cpuSession->isCpuDataReset();
    on.newMonitorData = cpuSession->hasNewMonitorData();
    PiClassProfilingSession *classes = classSession.get();
    if (VmStateReply::write(writer, PiProfiling::waitsForDisconnect, on, *classes, config.get(), &vmStartWallClock,
                            [env](DataWriter *out) { JavaProbeCommands::writeProbeRecording(env, out); },
                            [classes](DataWriter *out) { classes->writeNewAutoTuneMethods(out); }))
        wakeup();
}

void PiProfilingSession::wakeup()
{
    JVMPI_Interface *vm = PiProfiling::g_profilingInterface;
    if (vm != nullptr)
        vm->RawMonitorEnter(PiProfiling::_sleepMonitor);
    // A VM end that waited for the front end cleans up before it goes on.
    if (PiProfiling::waitsForDisconnect && !PiProfiling::dying)
        PiProfiling::cleanup();
    PiProfiling::shouldWakeup = true;
    if (vm != nullptr)
        vm->RawMonitorExit(PiProfiling::_sleepMonitor);
}

void PiProfilingSession::setServingFrontend(bool serving)
{
    JVMPI_Interface *vm = PiProfiling::g_profilingInterface;
    vm->RawMonitorEnter(PiProfiling::_sleepMonitor);
    servingFrontend = serving;
    vm->RawMonitorExit(PiProfiling::_sleepMonitor);
}

void PiProfilingSession::deleteTempFiles()
{
    if (heapdump != nullptr && heapdump->getDumpFile() != nullptr)
        heapdump->getDumpFile()->deleteTempFile();
    if (config != nullptr)
        config->deleteTempFile();
}

bool PiProfilingSession::initParameters(JNIEnv *)
{
    if (config == nullptr) {
        config.reset(new SessionConfig());
        config->instrumentationType = 2;
    }
    parametersApplied = true;
    int method = config->instrumentationType;
    if (method == 3)
        MessageUtil::message("Using sampling (%d ms)", config->samplingFrequency);
    else
        MessageUtil::message("Using full instrumentation");
    MessageUtil::message(config->timeType == 1 ? "Time measurement: elapsed time" : "Time measurement: estimated cpu time");
    MessageUtil::message(config->disableCPUProfiling ? "CPU profiling disabled" : "CPU profiling enabled");
    CpuProfilingSession::Settings settings = cpuSession->getSettings();
    settings.lineNumbers = config->lineNumbers;
    settings.timeType = config->timeType;
    settings.collectionMethod = method;
    cpuSession->updateSettings(settings);
    heapSession->setChrono(config->chronoHeap);
    vmInterface->setSamplingDepth(options.samplingstack > 0 ? options.samplingstack : 100);
    if (method == 2 && !config->disableCPUProfiling)
        cpuSession->enableCpuEvents(config->showSubclassMethods);
    if (config->recordCPUOnStartup)
        cpuSession->setCpuRecord(true, true);
    if (config->recordAllocOnStartup)
        setAllocRecord(true);
    samplerSession.reset(new LiveSamplerSession(cpuSession.get(), config->samplingFrequency > 0 ? config->samplingFrequency : 5));
    PiProfiling::initSampler(nullptr);
    // A front end that connects now finds a configured session.
    sessionState = 2;
    return true;
}

void PiProfilingSession::setAllocRecord(bool on)
{
    if (heapSession == nullptr || heapSession->isRecording() == on)
        return;
    if (on) {
        JVMPI_Interface *vm = PiProfiling::g_profilingInterface;
        vm->EnableEvent(JVMPI_EVENT_OBJECT_ALLOC, nullptr);
        vm->EnableEvent(JVMPI_EVENT_OBJECT_FREE, nullptr);
    }
    // Off: the events stay enabled and are not recorded.
    heapSession->setRecording(on);
    HeapViews::setRecording(heapViews.get(), on, heapSession->isChrono());
}

void PiProfilingSession::setCpuRecording(bool on, bool reset)
{
    if (cpuSession == nullptr)
        return;
    bool events = getCallTreeCollectionMethod() == 2 && (config == nullptr || !config->disableCPUProfiling);
    if (!on && events)
        cpuSession->disableCpuEvents();
    JavaNatives::setCpuRecording(cpuSession.get(), on, reset);
    if (on && events)
        cpuSession->enableCpuEvents(config != nullptr && config->showSubclassMethods);
}

void PiProfilingSession::setVmTelemetryRecording(bool on)
{
    if (on && !vmTelemetry && samplerSession != nullptr)
        samplerSession->clearTelemetryData();
    vmTelemetry = on;
}

bool PiProfilingSession::addJavaSample(long long memory1, long long memory2, const std::vector<int32_t> &custom)
{
    LiveSamplerSession *sampler = samplerSession.get();
    if (!vmTelemetry || sampler == nullptr)
        return vmTelemetry;
    LiveSamplerSession::VmCounts counts;
    if (classSession != nullptr) {
        SessionLock lock(this, IM_CLASS);
        counts.filteredClasses = classSession->getNumFilteredClasses();
        counts.unfilteredClasses = classSession->getNumUnfilteredClasses();
    }
    // Taking the heap counts starts the freed and created counts afresh.
    if (heapViews != nullptr) {
        int arrays = 0, nonArrays = 0, freed = 0, created = 0;
        HeapViews::telemetry(heapViews.get(), &arrays, &nonArrays, &freed, &created);
        counts.liveObjects = nonArrays;
        counts.liveArrays = arrays;
        counts.freedObjects = freed;
        counts.createdObjects = created;
    }
    sampler->addJavaSample(Counter::getUsec(), counts, memory1, memory2, custom.data(), static_cast<int>(custom.size()));
    return true;
}

void PiProfilingSession::runSampler(JNIEnv *)
{
    LiveSamplerSession *sampler = samplerSession.get();
    while (sampler != nullptr && !sampler->isStopped()) {
        sampler->doThreadStatusSampling(Counter::getUsec(), cpuSession->isThreadProfiling());
        sleep(sampler->getIntervalMs());
    }
}

void PiProfilingSession::handleShutDown()
{
    PiProfiling::shuttingDown = true;
    // The VM does not finish dying while a front end is served: the end of
    // its connection (or a state poll, when the session lets the VM exit)
    // wakes it, and that wake-up cleans up. Decided under the sleep monitor,
    // which the end of a connection takes too, so no wake-up is missed.
    JVMPI_Interface *vm = PiProfiling::g_profilingInterface;
    vm->RawMonitorEnter(PiProfiling::_sleepMonitor);
    bool waits = servingFrontend;
    if (waits) {
        PiProfiling::waitsForDisconnect = true;
        PiProfiling::shouldWakeup = false;
        while (!PiProfiling::shouldWakeup)
            vm->RawMonitorWait(PiProfiling::_sleepMonitor, 200);
    }
    vm->RawMonitorExit(PiProfiling::_sleepMonitor);
    if (!waits)
        PiProfiling::cleanup();
    if (samplerSession != nullptr)
        samplerSession->stop();
}
