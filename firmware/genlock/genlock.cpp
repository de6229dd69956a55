#include "genlock/genlock.h"

#include "deviceManager/deviceManager.h"

#include <unistd.h>

enum { GENLOCK_POLL_MS = 10 };

int kvrGenlockLoadFactoryDefault(log4c_category_t *category)
{
    uint32_t address = (uint32_t)GENLOCK_CLOCK_SLAVE << 16 | GENLOCK_STATUS_REGISTER;
    uint8_t status = 0;
    for (int waited = 0; waited <= GENLOCK_READY_WAIT_MS; waited += GENLOCK_POLL_MS) {
        status = 0;
        uint32_t rc = deviceManagerAccess(DEVICE_I2C_PAGED_READ, DEVICE_I2C_CLOCK_CLEANER, address, 0, 1, &status);
        if (rc == DEVICE_ACCESS_OK && status == GENLOCK_STATUS_READY) {
            log4c_category_log(category, LOG4C_PRIORITY_WARN,
                               "GENLOCK SI5344 DRIVER:%s: Loading factory default register configuration to SI5344",
                               __func__);
            return 1;
        }
        if (status == GENLOCK_STATUS_BUSY)
            log4c_category_log(category, LOG4C_PRIORITY_WARN,
                               "GENLOCK SI5344 PROBING:%s: SI5344: device status[0x%04x] is not ready, continue waiting",
                               __func__, status);
        else
            log4c_category_log(category, LOG4C_PRIORITY_WARN,
                               "GENLOCK SI5344 PROBING:%s: SI5344: device status[0x%04x] unknown, assume it is NOT "
                               "ready, continue waiting",
                               __func__, status);
        usleep(GENLOCK_POLL_MS * 1000);
    }
    log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                       "GENLOCK SI5344 PROBING:%s: SI5344: device not ready after %d ms (last status 0x%04x), going on "
                       "without the factory default",
                       __func__, GENLOCK_READY_WAIT_MS, status);
    return 0;
}
