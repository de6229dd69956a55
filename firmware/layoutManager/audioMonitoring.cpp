#include "layoutManager/layoutManagerPrivate.h"

/*
 * The audio monitoring sub-module. Takes its events and programs nothing yet.
 */

static int audioMonitoringInCtrlProcess(deviceSubmoduleInstance *instance, layoutEventInfo *event, const void *data)
{
    (void)instance;
    (void)event;
    (void)data;
    return 0;
}

deviceSubmodule audioMonitoringInCtrlSubmodule = {
    "audioMonitoringInCtrl", nullptr, audioMonitoringInCtrlProcess, HEAD_LAYOUT_EVENTS | HEAD_AUDIO_MONITOR_EVENT,
    ATDM_MODE_CHANGED_EVENT, nullptr
};
