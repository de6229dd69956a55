#include "serviceManager/serviceManager.h"

/*
 * The service descriptor of debuger (the debug port on TCP 8989). Until the service
 * does its work it keeps the service contract: its thread waits while the
 * service runs or is paused and leaves on terminate.
 */

static void debugerInit(serviceDescriptor *service)
{
    (void)service;
}

static void dbgNetHandler(serviceDescriptor *service)
{
    serviceManagerIdle(service);
}

static void debugerControl(serviceDescriptor *service, int newState, int previousState)
{
    (void)service;
    (void)newState;
    (void)previousState;
}

serviceDescriptor debugerService = {
    "debuger", "ulm.firmware.debugerSrvc",
    debugerInit, nullptr, dbgNetHandler, debugerControl,
    1, nullptr,
};
