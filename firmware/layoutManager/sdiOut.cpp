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

deviceSubmodule sdiOutSubmodule = {"Ulm-2-sdiOut", nullptr, sdiOutProcess, 0x40007, 0x540, nullptr};
