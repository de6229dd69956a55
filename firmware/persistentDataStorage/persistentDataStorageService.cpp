#include "serviceManager/serviceManager.h"

/*
 * The service descriptor of persistentDataStorage (the restore point). Until the service
 * does its work it keeps the service contract: its thread waits while the
 * service runs or is paused and leaves on terminate.
 */

static void persistentDataStorageInit(serviceDescriptor *service)
{
    (void)service;
}

static void persistentDataStoragePreStart(serviceDescriptor *service)
{
    (void)service;
}

static void persistentDataStorageThreadEntry(serviceDescriptor *service)
{
    serviceManagerIdle(service);
}

static void persistentDataStorageControl(serviceDescriptor *service, int newState, int previousState)
{
    (void)service;
    (void)newState;
    (void)previousState;
}

serviceDescriptor persistentDataStorageService = {
    "persistentDataStorage", "ulm.firmware.persistentDataStorageSrvc",
    persistentDataStorageInit, persistentDataStoragePreStart, persistentDataStorageThreadEntry, persistentDataStorageControl,
    5, nullptr,
};
