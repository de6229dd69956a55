#include "layoutManager/layoutManagerPrivate.h"

/*
 * System resource management and spanning: hands windows to the scaler pool
 * and notifies the scaler sub-module. Takes its events and programs nothing yet.
 */

static int sysResMngtProcess(deviceSubmoduleInstance *instance, layoutEventInfo *event, const void *data)
{
    (void)instance;
    (void)event;
    (void)data;
    return 0;
}

deviceSubmodule sysResMngtSubmodule = {"sysResMngt", nullptr, sysResMngtProcess, 0x56001, 0x1a0, nullptr};
