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
    "graphicProcessor", nullptr, graphicProcessorProcess, 0x40003, 0x2100, nullptr
};
