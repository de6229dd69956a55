#ifndef AGENT_JVMPI_PIEVENTHANDLER_H
#define AGENT_JVMPI_PIEVENTHANDLER_H

#include "jvmpi.h"

// Installs the event callback and switches the VM's events on.
class PiEventHandler {
public:
    // The events enabled at start-up, in the order they are switched on.
    static const jint STARTUP_EVENTS[14];

    virtual ~PiEventHandler() = default;
    // Stores the callback and enables the start-up events, stopping at the
    // first the VM refuses; true when all were enabled.
    virtual bool enableEvents(JNIEnv *env, bool attach);
};

// The callback stored in the interface: hands every event to the live session.
extern "C" void notifyEventC(JVMPI_Event *event);

#endif
