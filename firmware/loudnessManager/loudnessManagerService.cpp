#include "serviceManager/serviceManager.h"

/*
 * The service descriptor of loudnessManager (loudness metering). Until the service
 * does its work it keeps the service contract: its thread waits while the
 * service runs or is paused and leaves on terminate.
 */

static void loudnessManagerInit(serviceDescriptor *service)
{
    (void)service;
}

static void loudnessManagerPreStart(serviceDescriptor *service)
{
    (void)service;
}

static void loudnessManagerThreadEntry(serviceDescriptor *service)
{
    serviceManagerIdle(service);
}

static void loudnessManagerControl(serviceDescriptor *service, int newState, int previousState)
{
    (void)service;
    (void)newState;
    (void)previousState;
}

serviceDescriptor loudnessManagerService = {
    "loudnessManager", "ulm.firmware.loudnessManagerSrvc",
    loudnessManagerInit, loudnessManagerPreStart, loudnessManagerThreadEntry, loudnessManagerControl,
    61, nullptr,
};
