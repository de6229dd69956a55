#include "serviceManager/serviceManager.h"

/*
 * The service descriptor of interruptController (the video-frame interrupt). Until the service
 * does its work it keeps the service contract: its thread waits while the
 * service runs or is paused and leaves on terminate.
 */

static void interruptControllerInit(serviceDescriptor *service)
{
    (void)service;
}

static void interruptControllerThreadEntry(serviceDescriptor *service)
{
    serviceManagerIdle(service);
}

static void interruptControllerControl(serviceDescriptor *service, int newState, int previousState)
{
    (void)service;
    (void)newState;
    (void)previousState;
}

serviceDescriptor interruptControllerService = {
    "interruptController", "ulm.firmware.interruptControllerSrvc",
    interruptControllerInit, nullptr, interruptControllerThreadEntry, interruptControllerControl,
    99, nullptr,
};
