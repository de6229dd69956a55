#include "serviceManager/serviceManager.h"

/*
 * The service descriptor of hdrManager (HDR conversion settings). Until the service
 * does its work it keeps the service contract: its thread waits while the
 * service runs or is paused and leaves on terminate.
 */

static void hdrManagerInit(serviceDescriptor *service)
{
    (void)service;
}

static void hdrManagerPreStartInit(serviceDescriptor *service)
{
    (void)service;
}

static void hdrManagerThreadEntry(serviceDescriptor *service)
{
    serviceManagerIdle(service);
}

static void hdrManagerTerminate(serviceDescriptor *service, int newState, int previousState)
{
    (void)service;
    (void)newState;
    (void)previousState;
}

serviceDescriptor hdrManagerService = {
    "hdrManager", "ulm.firmware.hdrManagerSrvc",
    hdrManagerInit, hdrManagerPreStartInit, hdrManagerThreadEntry, hdrManagerTerminate,
    55, nullptr,
};
