#include "layoutManager/layoutManagerPrivate.h"

/*
 * The graphic processor sub-module. Takes its events and programs nothing yet.
 */

static int graphicProcessorProcess(deviceSubmoduleInstance *instance, layoutEventInfo *event, const void *data)
{
    (void)instance;
    (void)event;
    (void)data;
    return 0;
}

deviceSubmodule graphicProcessorSubmodule = {
    "graphicProcessor", nullptr, graphicProcessorProcess, HEAD_LAYOUT_EVENTS,
    SYS_4K_MODE_ROTATION_CHANGED_EVENT | GENLOCK_SYSTEM_FRAME_RATE_EVENT, nullptr
};
