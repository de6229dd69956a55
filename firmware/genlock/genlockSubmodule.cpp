#include "layoutManager/layoutSubmodule.h"

/*
 * The genlock sub-module "kvr-genlockSi5344", first on head 0: decides the
 * frequency plan and programs the clock generator. Takes its events and
 * programs nothing yet.
 */

static int kvrGenlockSi5344Process(deviceSubmoduleInstance *instance, layoutEventInfo *event, const void *data)
{
    (void)instance;
    (void)event;
    (void)data;
    return 0;
}

deviceSubmodule kvrGenlockSi5344Submodule = {
    "kvr-genlockSi5344", nullptr, kvrGenlockSi5344Process, HEAD_LAYOUT_EVENTS,
    GENLOCK_CHANGED_EVENT | GENLOCK_SYSTEM_FRAME_RATE_EVENT | STRATA_SYSTEM_FRAME_RATE_EVENT, nullptr};
