#include "platform/platformPrivate.h"

#include <cstring>

/* Update version shown to the frame controller; 1.1.0 until the build version is applied. */
static uint8_t platformUpdateVersion[3] = {1, 1, 0};

uint16_t platformGetStrataCardId(void)
{
    uint16_t id = platformHooks.strataCardId ? platformHooks.strataCardId() : 0;
    return id == 0 ? 0xFFFF : id;
}

void platformSetUpdateVersion(log4c_category_t *category, uint8_t major, uint8_t minor, uint8_t rev)
{
    (void)category;
    platformUpdateVersion[0] = major;
    platformUpdateVersion[1] = minor;
    platformUpdateVersion[2] = rev;
}

void platformGetUpdateVersion(uint8_t version[3])
{
    memcpy(version, platformUpdateVersion, 3);
}
