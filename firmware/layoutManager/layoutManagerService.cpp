#include "serviceManager/serviceManager.h"

/*
 * The service descriptor of layoutManager (the per-head layout event bus). Until the service
 * does its work it keeps the service contract: its thread waits while the
 * service runs or is paused and leaves on terminate.
 */

static void layoutManagerHandlerInit(serviceDescriptor *service)
{
    (void)service;
}

static void layoutManagerPreStart(serviceDescriptor *service)
{
    (void)service;
}

static void layoutManagerThreadEntry(serviceDescriptor *service)
{
    serviceManagerIdle(service);
}

static void layoutManagerTerminate(serviceDescriptor *service, int newState, int previousState)
{
    (void)service;
    (void)newState;
    (void)previousState;
}

serviceDescriptor layoutManagerService = {
    "layoutManager", "ulm.firmware.layoutMngSrvc",
    layoutManagerHandlerInit, layoutManagerPreStart, layoutManagerThreadEntry, layoutManagerTerminate,
    60, nullptr,
};
