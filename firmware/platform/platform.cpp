#include "platform/platform.h"

#include "serviceManager/serviceManager.h"

#include <cstring>

static struct {
    log4c_category_t *category;
    void *sharedMemory;
    int activeServicesCount;
} platformRecord;

void platformInit(log4c_category_t *category, void *sharedMemory)
{
    platformRecord.category = category;
    platformRecord.sharedMemory = sharedMemory;
    /* Without the card's rear-slot detection every card takes the hybrid list. */
    memcpy(startUpServicesList, hybridServicesList, sizeof hybridServicesList);
    startUpServicesCount = HYBRID_SERVICES_COUNT;
    platformRecord.activeServicesCount = startUpServicesCount;
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: Detected %s will use Hybrid services list of %d elements.",
                       __func__, "SLOT_A", startUpServicesCount);
}

int platformStartUpSucceeded(void)
{
    return 1;
}

void platformMainLoopTick(int tick)
{
    (void)tick;
}

void platformStop(void)
{
}
