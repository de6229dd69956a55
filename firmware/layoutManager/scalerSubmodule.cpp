#include "layoutManager/layoutManagerPrivate.h"

/*
 * The scaler and deinterlacer sub-module of the shared scaler pool. Takes its
 * events and programs nothing yet.
 */

static int scalerProcess(deviceSubmoduleInstance *instance, layoutEventInfo *event, const void *data)
{
    (void)instance;
    (void)event;
    (void)data;
    return 0;
}

deviceSubmodule scalerSubmodule = {"SCALER", nullptr, scalerProcess, 0x40000, 0x81e, nullptr};
