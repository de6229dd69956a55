#include "PiEventHandler.h"

#include "PiProfiling.h"
#include "PiProfilingSession.h"

const jint PiEventHandler::STARTUP_EVENTS[14] = {
    JVMPI_EVENT_CLASS_LOAD_HOOK,
    JVMPI_EVENT_CLASS_LOAD,
    JVMPI_EVENT_CLASS_UNLOAD,
    JVMPI_EVENT_THREAD_END,
    JVMPI_EVENT_THREAD_START,
    JVMPI_EVENT_JVM_INIT_DONE,
    JVMPI_EVENT_JVM_SHUT_DOWN,
    JVMPI_EVENT_OBJECT_MOVE,
    JVMPI_EVENT_RAW_MONITOR_CONTENDED_ENTER,
    JVMPI_EVENT_RAW_MONITOR_CONTENDED_ENTERED,
    JVMPI_EVENT_MONITOR_CONTENDED_ENTER,
    JVMPI_EVENT_MONITOR_CONTENDED_ENTERED,
    JVMPI_EVENT_MONITOR_WAIT,
    JVMPI_EVENT_MONITOR_WAITED,
};

bool PiEventHandler::enableEvents(JNIEnv *, bool)
{
    JVMPI_Interface *vm = PiProfiling::g_profilingInterface;
    vm->NotifyEvent = notifyEventC;
    for (jint type : STARTUP_EVENTS)
        if (vm->EnableEvent(type, nullptr) != JVMPI_SUCCESS)
            return false;
    return true;
}

extern "C" void notifyEventC(JVMPI_Event *event)
{
    PiProfilingSession *session = PiProfiling::session;
    if (session != nullptr && event != nullptr)
        session->notifyEvent(event);
}
