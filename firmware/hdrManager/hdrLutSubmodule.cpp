#include "layoutManager/layoutSubmodule.h"

/*
 * The HDR 3D-LUT generator sub-module "hdr3DLutGen": builds and programs the
 * lookup tables of inputs and heads. Takes its events and programs nothing yet.
 */

static int hdr3DLutGenProcess(deviceSubmoduleInstance *instance, layoutEventInfo *event, const void *data)
{
    (void)instance;
    (void)event;
    (void)data;
    return 0;
}

deviceSubmodule hdr3DLutGenSubmodule = {
    "hdr3DLutGen", nullptr, hdr3DLutGenProcess, HEAD_LAYOUT_EVENTS,
    HDR_HEAD_CHANGE_EVENT | HDR_INPUT_CHANGE_EVENT | GENLOCK_SYSTEM_FRAME_RATE_EVENT | SYS_RES_MNGT_NOTIFICATION_EVENTS,
    nullptr};
