#include "probing/probing.h"

#include <pthread.h>

/*
 * The video probes' change callbacks: at most five, called in order of
 * registration with each format change of an input.
 */

static struct {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
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
    pthread_mutex_lock(&videoProbeCallbacks.mutex);
    int registered = videoProbeCallbacks.count < PROBING_VIDEO_CALLBACKS;
    if (registered)
        videoProbeCallbacks.callbacks[videoProbeCallbacks.count++] = callback;
    pthread_mutex_unlock(&videoProbeCallbacks.mutex);
    if (!registered)
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s Failed to register with probe format changer call-back service because Max "
                           "notification obtained!",
                           __func__);
    return registered;
}

void videoProbeNotifyChange(const void *changeRecord)
{
    videoProbeChangedCallback_t callbacks[PROBING_VIDEO_CALLBACKS];
    pthread_mutex_lock(&videoProbeCallbacks.mutex);
    int count = videoProbeCallbacks.count;
    for (int i = 0; i < count; i++)
        callbacks[i] = videoProbeCallbacks.callbacks[i];
    pthread_mutex_unlock(&videoProbeCallbacks.mutex);
    for (int i = 0; i < count; i++)
        callbacks[i](changeRecord);
}

/* The probing-packet statuses' post-read; the per-input evaluation with its debouncing is not done yet. */
void videoProbingPacketStatusesReady(probingAction *action)
{
    log4c_category_log(log4c_category_get("ulm.firmware.probingSrvc"), LOG4C_PRIORITY_DEBUG, "%s: %s", __func__,
                       action->name);
}
