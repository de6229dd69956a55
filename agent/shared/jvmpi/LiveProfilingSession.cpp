#include "LiveProfilingSession.h"

#include <cstdlib>

#include "Counter.h"
#include "EventHandler.h"
#include "InternalMonitor.h"
#include "LiveClassProfilingHelper.h"
#include "LiveProfiling.h"
#include "TypeUtil.h"
#include "MessageUtil.h"
#include "SocketTransport.h"

LiveProfilingSession::LiveProfilingSession() : interfaceKind(INTERFACE_KIND), mode(0), attached(false), vmCommands(this), closed(false) {}

LiveProfilingSession::~LiveProfilingSession() = default;

void LiveProfilingSession::init(JavaVM *vm, const char *optionText, bool attach, bool switching)
{
    attached = attach;
    if (!switching)
        MessageUtil::message("Protocol version %d", PROTOCOL_VERSION);
    MessageUtil::message("Using JVMPI");
    if (!LiveProfiling::initializeInterface(vm)) {
        MessageUtil::message("The Java Virtual Machine Profiling Interface (JVMPI) is not present. Exiting.");
        exit(1);
    }
    LiveProfiling::createMonitors();
    vmVersion = "1.4";
    MessageUtil::message("%d-bit library", static_cast<int>(sizeof(void *) * 8));
    if (!switching) {
        options.parse(optionText);
        if (!options.offline && options.port > 0) {
            transport.reset(new SocketTransport(options.port, options.address, nullptr));
            CommandOwners owners;
            owners.session = this;
            owners.vm = &vmCommands;
            communicator.reset(new Communicator(*transport, owners));
        }
        heapSession.reset(new LiveHeapProfilingSession(this));
    }
    EventHandler events;
    if (!events.enableEvents(nullptr, attach)) {
        MessageUtil::message("Error enabling events. Aborting.");
        abort();
    }
    MessageUtil::message("Native library initialized");
    MessageUtil::message("If output stops here, please remove -Xdebug from the command line");
}

void LiveProfilingSession::notifyEvent(JVMPI_Event *event)
{
    jint type = event->event_type;
    if ((type & JVMPI_REQUESTED_EVENT) != 0) {
        type &= ~JVMPI_REQUESTED_EVENT;
        event->event_type = type;
    }
    switch (type) {
    case JVMPI_EVENT_OBJECT_ALLOC:
        if (heapSession != nullptr)
            heapSession->handleObjectAlloc(event->env_id, event->u.obj_alloc.obj_id, event->u.obj_alloc.size,
                                           TypeUtil::jvmpiToOrvaneArray(event->u.obj_alloc.is_array),
                                           event->u.obj_alloc.class_id != nullptr
                                               ? LiveClassProfilingHelper::getClassData(event->u.obj_alloc.class_id)
                                               : nullptr);
        break;
    case JVMPI_EVENT_OBJECT_FREE:
        if (heapSession != nullptr)
            heapSession->handleObjectFree(static_cast<long long>(reinterpret_cast<intptr_t>(event->u.obj_free.obj_id)));
        break;
    case JVMPI_EVENT_OBJECT_MOVE:
        if (heapSession != nullptr)
            heapSession->handleObjectMove(event);
        break;
    case JVMPI_EVENT_JVM_INIT_DONE:
        LiveProfiling::startTime = Counter::getUsec();
        updateVmStartTime(LiveProfiling::startTime, false);
        LiveProfiling::initCommunication(event->env_id);
        break;
    case JVMPI_EVENT_JVM_SHUT_DOWN:
        handleShutDown();
        break;
    default:
        // Types nobody handles are ignored.
        break;
    }
}

bool LiveProfilingSession::isMyMonitor(JVMPI_RawMonitor monitor) const
{
    // Every agent monitor, the snapshot monitor too: contention on them is
    // the agent's own and never recorded.
    return monitor != nullptr &&
           (monitor == LiveProfiling::_classMonitor || monitor == LiveProfiling::_heapMonitor ||
            monitor == LiveProfiling::_threadMonitor || monitor == LiveProfiling::_sleepMonitor ||
            monitor == LiveProfiling::_deadThreadsMonitor || monitor == LiveProfiling::_snapshotMonitor);
}

namespace {

JVMPI_RawMonitor monitorOf(int bit)
{
    switch (bit) {
    case IM_DEAD_THREADS:
        return LiveProfiling::_deadThreadsMonitor;
    case IM_THREAD:
        return LiveProfiling::_threadMonitor;
    case IM_CLASS:
        return LiveProfiling::_classMonitor;
    default:
        return LiveProfiling::_heapMonitor;
    }
}

} // namespace

// Monitors stay in use after shut-down has begun: events and a connected
// front end may still reach the data they guard.
void LiveProfilingSession::enterMonitor(int bits)
{
    JVMPI_Interface *vm = LiveProfiling::g_profilingInterface;
    if (vm == nullptr)
        return;
    for (int bit : {IM_DEAD_THREADS, IM_THREAD, IM_CLASS, IM_HEAP})
        if ((bits & bit) != 0 && monitorOf(bit) != nullptr)
            vm->RawMonitorEnter(monitorOf(bit));
}

void LiveProfilingSession::exitMonitor(int bits, bool)
{
    JVMPI_Interface *vm = LiveProfiling::g_profilingInterface;
    if (vm == nullptr)
        return;
    for (int bit : {IM_HEAP, IM_CLASS, IM_THREAD, IM_DEAD_THREADS})
        if ((bits & bit) != 0 && monitorOf(bit) != nullptr)
            vm->RawMonitorExit(monitorOf(bit));
}

void LiveProfilingSession::sleep(int ms)
{
    JVMPI_Interface *vm = LiveProfiling::g_profilingInterface;
    vm->RawMonitorEnter(LiveProfiling::_sleepMonitor);
    if (ms > 0) {
        vm->RawMonitorWait(LiveProfiling::_sleepMonitor, ms);
    } else {
        LiveProfiling::shouldWakeup = false;
        while (!LiveProfiling::shouldWakeup)
            vm->RawMonitorWait(LiveProfiling::_sleepMonitor, 200);
    }
    vm->RawMonitorExit(LiveProfiling::_sleepMonitor);
}

void LiveProfilingSession::runCommunicator(JNIEnv *)
{
    if (communicator != nullptr) {
        // Served here until command 1; then the connection stays open for the
        // Java communication thread.
        bool connected = transport->connect();
        if (connected)
            communicator->process();
        if (!connected || !communicator->isFinished()) {
            transport->disconnect();
            closed = true;
            vmCommands.connectionEnded(*communicator);
        }
    }
    LiveProfiling::javaCommThreadShouldEnter = true;
}

unsigned LiveProfilingSession::getCommunicatorStatus() const
{
    return communicator != nullptr && !closed ? communicator->getStatus() : Communicator::STATUS_CLEANED_UP;
}

void LiveProfilingSession::handleShutDown()
{
    LiveProfiling::shuttingDown = true;
    if (getCommunicatorStatus() == Communicator::STATUS_CONNECTED) {
        LiveProfiling::waitsForDisconnect = true;
        if (mode == 2)
            sleep(0);
    } else {
        LiveProfiling::cleanup();
    }
}
