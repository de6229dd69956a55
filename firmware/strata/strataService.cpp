#include "serviceManager/serviceManager.h"

/*
 * The service descriptor of strata (the frame-controller link; it starts its own threads). Until the service
 * does its work it keeps the service contract: its thread waits while the
 * service runs or is paused and leaves on terminate.
 */

static void strataInit(serviceDescriptor *service)
{
    (void)service;
}

static void strataPreServiceInit(serviceDescriptor *service)
{
    (void)service;
}

static void strataServiceControl(serviceDescriptor *service, int newState, int previousState)
{
    (void)service;
    (void)newState;
    (void)previousState;
}

serviceDescriptor strataService = {
    "strata", "ulm.firmware.strataSrvc",
    strataInit, strataPreServiceInit, nullptr, strataServiceControl,
    99, nullptr,
};
