#include "probing/probing.h"

#include "deviceManager/deviceManager.h"
#include "serviceManager/serviceManager.h"

/*
 * The service descriptor of probing (the periodic probing rounds). Until the service
 * does its work it keeps the service contract: its thread waits while the
 * service runs or is paused and leaves on terminate.
 */

/*
 * The video-probe change callbacks. The video probes that call them after a
 * probing round are not here yet; registration keeps its contract.
 */
static struct {
    videoProbeChangedCallback_t callbacks[PROBING_VIDEO_CALLBACKS];
    int count;
} videoProbeCallbacks;

int videoProbeChangedCallbackRegister(videoProbeChangedCallback_t callback)
{
    log4c_category_t *category = log4c_category_get("ulm.firmware.probingSrvc");
    if (!callback) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s failed, Bad arguments!", __func__);
        return 0;
    }
    if (videoProbeCallbacks.count >= PROBING_VIDEO_CALLBACKS) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s Failed to register with probe format changer call-back service because Max "
                           "notification obtained!",
                           __func__);
        return 0;
    }
    videoProbeCallbacks.callbacks[videoProbeCallbacks.count++] = callback;
    return 1;
}

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
