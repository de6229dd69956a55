#include "serviceManager/serviceManager.h"

/*
 * The service descriptor of ethernetProbing (ethernet stream probing). Until the service
 * does its work it keeps the service contract: its thread waits while the
 * service runs or is paused and leaves on terminate.
 */

static void ethernetProbingInit(serviceDescriptor *service)
{
    (void)service;
}

static void ethernetProbingPreStart(serviceDescriptor *service)
{
    (void)service;
}

static void ethernetProbingThreadEntry(serviceDescriptor *service)
{
    serviceManagerIdle(service);
}

static void ethernetProbingControl(serviceDescriptor *service, int newState, int previousState)
{
    (void)service;
    (void)newState;
    (void)previousState;
}

serviceDescriptor ethernetProbingService = {
    "ethernetProbing", "ulm.firmware.ethernetProbingSrvc",
    ethernetProbingInit, ethernetProbingPreStart, ethernetProbingThreadEntry, ethernetProbingControl,
    98, nullptr,
};
