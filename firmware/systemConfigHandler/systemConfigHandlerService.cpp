#include "serviceManager/serviceManager.h"

/*
 * The service descriptor of systemConfigHandler (black/freeze detection set-up). Until the service
 * does its work it keeps the service contract: its thread waits while the
 * service runs or is paused and leaves on terminate.
 */

static void systemConfigHandlerInit(serviceDescriptor *service)
{
    (void)service;
}

static void systemConfigHandlerPreStart(serviceDescriptor *service)
{
    (void)service;
}

static void systemConfigHandlerThreadEntry(serviceDescriptor *service)
{
    serviceManagerIdle(service);
}

static void systemConfigHandlerControl(serviceDescriptor *service, int newState, int previousState)
{
    (void)service;
    (void)newState;
    (void)previousState;
}

serviceDescriptor systemConfigHandlerService = {
    "systemConfigHandler", "ulm.firmware.systemConfigSrvc",
    systemConfigHandlerInit, systemConfigHandlerPreStart, systemConfigHandlerThreadEntry, systemConfigHandlerControl,
    55, nullptr,
};
