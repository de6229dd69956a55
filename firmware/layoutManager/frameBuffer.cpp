#include "layoutManager/layoutManagerPrivate.h"

/*
 * The frame buffer, post-resource-management and the idle sub-modules (output
 * arbiter, scaler feeder, layer window control). They take their events and
 * program nothing yet.
 */

static int frameBufferProcess(deviceSubmoduleInstance *instance, layoutEventInfo *event, const void *data)
{
    (void)instance;
    (void)event;
    (void)data;
    return 0;
}

deviceSubmodule frameBufferSubmodule = {"frameBuffer", nullptr, frameBufferProcess, 0x40003, 0x2100, nullptr};

static int postSysResMngtProcess(deviceSubmoduleInstance *instance, layoutEventInfo *event, const void *data)
{
    (void)instance;
    (void)event;
    (void)data;
    return 0;
}

deviceSubmodule postSysResMngtSubmodule = {"postSysResMngt", nullptr, postSysResMngtProcess, 0, 0x81e, nullptr};

static int outputArbiterProcess(deviceSubmoduleInstance *instance, layoutEventInfo *event, const void *data)
{
    (void)instance;
    (void)event;
    (void)data;
    return 0;
}

deviceSubmodule outputArbiterSubmodule = {"outputArbiter", nullptr, outputArbiterProcess, 0, 0x1e, nullptr};

static int scalerFeederProcess(deviceSubmoduleInstance *instance, layoutEventInfo *event, const void *data)
{
    (void)instance;
    (void)event;
    (void)data;
    return 0;
}

deviceSubmodule scalerFeederSubmodule = {"scalerFeeder", nullptr, scalerFeederProcess, 0, 0x1e, nullptr};

static int layerWinCtrlProcess(deviceSubmoduleInstance *instance, layoutEventInfo *event, const void *data)
{
    (void)instance;
    (void)event;
    (void)data;
    return 0;
}

deviceSubmodule layerWinCtrlSubmodule = {"layerWinCtrl", nullptr, layerWinCtrlProcess, 0, 0x1e, nullptr};
