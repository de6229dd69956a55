#include "serviceManager/serviceManager.h"

/*
 * The service descriptor of ledManager (the card's LEDs). Until the service
 * does its work it keeps the service contract: its thread waits while the
 * service runs or is paused and leaves on terminate.
 */

static void ledManagerInit(serviceDescriptor *service)
{
    (void)service;
}

static void ledManagerPreStart(serviceDescriptor *service)
{
    (void)service;
}

static void ledManagerThreadEntry(serviceDescriptor *service)
{
    serviceManagerIdle(service);
}

static void ledManagerControl(serviceDescriptor *service, int newState, int previousState)
{
    (void)service;
    (void)newState;
    (void)previousState;
}

serviceDescriptor ledManagerService = {
    "ledManager", "ulm.firmware.ledManagerSrvc",
    ledManagerInit, ledManagerPreStart, ledManagerThreadEntry, ledManagerControl,
    15, nullptr,
};
