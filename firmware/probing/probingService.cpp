#include "probing/probing.h"

#include "deviceManager/deviceManager.h"
#include "serviceManager/serviceManager.h"

/*
 * The service descriptor of probing (the periodic probing rounds). Until the service
 * does its work it keeps the service contract: its thread waits while the
 * service runs or is paused and leaves on terminate.
 */

static void probingInit(serviceDescriptor *service)
{
    (void)service;
    platformRegisterProbeFlags(&probingControlFlags);
    platformRegisterDeviceMemory(DEVICE_DISCOVERY_DEBUG, discoveryDebugBuffer, sizeof discoveryDebugBuffer, 1);
    platformRegisterDeviceMemory(DEVICE_LOCAL_DISCOVERY, localDiscoveryRecord, sizeof localDiscoveryRecord, 0);
}

static void probingPreStart(serviceDescriptor *service)
{
    (void)service;
}

static void probingThreadEntry(serviceDescriptor *service)
{
    serviceManagerIdle(service);
}

static void probingControl(serviceDescriptor *service, int newState, int previousState)
{
    (void)service;
    (void)newState;
    (void)previousState;
}

serviceDescriptor probingService = {
    "probing", "ulm.firmware.probingSrvc",
    probingInit, probingPreStart, probingThreadEntry, probingControl,
    97, nullptr,
};
