#include "serviceManager/serviceManager.h"

/*
 * The service descriptor of fifoServer (the fifo ports of the ethernet probes (hybrid list only)). Until the service
 * does its work it keeps the service contract: its thread waits while the
 * service runs or is paused and leaves on terminate.
 */

static void fifoServerInit(serviceDescriptor *service)
{
    (void)service;
}

static void fifoServerPreStart(serviceDescriptor *service)
{
    (void)service;
}

static void fifoServerThreadEntry(serviceDescriptor *service)
{
    serviceManagerIdle(service);
}

static void fifoServerControl(serviceDescriptor *service, int newState, int previousState)
{
    (void)service;
    (void)newState;
    (void)previousState;
}

serviceDescriptor fifoServerService = {
    "fifoServer", "ulm.firmware.fifoServerSrvc",
    fifoServerInit, fifoServerPreStart, fifoServerThreadEntry, fifoServerControl,
    96, nullptr,
};
