#include "layoutManager/layoutManagerPrivate.h"

/*
 * The SDI output sub-module. Takes its events and programs nothing yet.
 */

static int sdiOutProcess(deviceSubmoduleInstance *instance, layoutEventInfo *event, const void *data)
{
    (void)instance;
    (void)event;
    (void)data;
    return 0;
}

deviceSubmodule sdiOutSubmodule = {"Ulm-2-sdiOut", nullptr, sdiOutProcess, HEAD_LAYOUT_EVENTS | HEAD_ATTRIBUTES_EVENT,
                                   TARGET_PROBE_FORMAT_CHANGE_EVENT | GENLOCK_SYSTEM_FRAME_RATE_EVENT |
                                       GENLOCK_CHANGED_EVENT,
                                   nullptr};
