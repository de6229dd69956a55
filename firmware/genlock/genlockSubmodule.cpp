#include "layoutManager/layoutManagerPrivate.h"

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

deviceSubmodule kvrGenlockSi5344Submodule = {"kvr-genlockSi5344", nullptr, kvrGenlockSi5344Process, 0x40003, 0x340,
                                             nullptr};
