#include "platform/platformPrivate.h"

/*
 * What the services lend the platform. Each service registers from its init
 * function, on main's thread before the start-up runs; afterwards the hooks
 * are only read.
 */

platformHooks_t platformHooks;

static struct {
    platformDeviceMemory_t rows[PLATFORM_DEVICE_MEMORIES_MAX];
    uint32_t count;
} deviceMemories;

void platformRegisterLedManager(void (*request)(log4c_category_t *, const ledControlRequest *),
                                int (*state)(log4c_category_t *, uint32_t, uint32_t *, uint32_t *))
{
    platformHooks.ledRequest = request;
    platformHooks.ledState = state;
}

void platformRegisterStrataLink(uint16_t (*cardId)(void),
                                int (*send)(log4c_category_t *, uint32_t, uint32_t, uint16_t, const uint8_t *, uint32_t))
{
    platformHooks.strataCardId = cardId;
    platformHooks.strataSend = send;
}

void platformRegisterPcodeSink(const platformPcodeSink_t *sink)
{
    platformHooks.pcode = sink;
}

void platformRegisterProbeFlags(platformProbeFlags_t *flags)
{
    platformHooks.probeFlags = flags;
}

void platformRegisterFactoryReset(int (*reset)(log4c_category_t *, uint32_t))
{
    platformHooks.factoryReset = reset;
}

void platformRegisterHdrMaintenance(void (*request)(uint32_t address))
{
    platformHooks.hdrMaintenance = request;
}

int platformRegisterDeviceMemory(uint32_t deviceId, void *base, uint32_t size, int writable)
{
    platformDeviceMemory_t *row = (platformDeviceMemory_t *)platformFindDeviceMemory(deviceId);
    if (!row) {
        if (deviceMemories.count == PLATFORM_DEVICE_MEMORIES_MAX)
            return -1;
        row = &deviceMemories.rows[deviceMemories.count++];
    }
    *row = {deviceId, (uint8_t *)base, size, writable};
    return 0;
}

const platformDeviceMemory_t *platformFindDeviceMemory(uint32_t deviceId)
{
    for (uint32_t i = 0; i < deviceMemories.count; i++)
        if (deviceMemories.rows[i].deviceId == deviceId)
            return &deviceMemories.rows[i];
    return nullptr;
}
