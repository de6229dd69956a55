#include "genlock/si5344.h"

#include "deviceManager/deviceManager.h"

#include <cstring>

static const char *const planNames[SI5344_PLAN_COUNT] = {
    "NULL", "NTSC FREE RUN 27Mhz->148.35", "NTSC URS      54Mhz->148.35", "PAL  FREE RUN 27Mhz->148.5",
    "PAL  URS      54Mhz->148.5"};

/* Written before and after every plan. */
static const si5344RegisterWrite_t preamble[] = {{0x0B24, 0, 0xD8}, {0x0B25, 0, 0x00}};
static const si5344RegisterWrite_t calibrate[] = {{0x0514, 0, 0x01}};
static const si5344RegisterWrite_t postamble[] = {{0x0B24, 0, 0xDB}, {0x0B25, 0, 0x02}};

const char *genlockSi5344PlanName(uint32_t planId)
{
    return planId < SI5344_PLAN_COUNT ? planNames[planId] : planNames[0];
}

void si5344Initialize(si5344Driver *driver, log4c_category_t *category)
{
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "GENLOCK SI5344 DRIVER:%s: SI5344 driver initialization ...",
                       __func__);
    memset(driver, 0, sizeof *driver);
    driver->category = category;
}

int si5344Register(si5344Driver *driver, si5344WriteFunction write, si5344ReadFunction read,
                   si5344ConfigFunction config, uint32_t deviceId)
{
    log4c_category_t *category = driver->category;
    if (!write)
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "GENLOCK SI5344 DRIVER:%s: parameter ptrFuncWrite is NULL",
                           __func__);
    if (!read)
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "GENLOCK SI5344 DRIVER:%s: parameter ptrFuncRead is NULL",
                           __func__);
    if (!config)
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                           "GENLOCK SI5344 DRIVER:%s: parameter ptrFuncConfig is NULL", __func__);
    if (!write) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "GENLOCK SI5344 DRIVER:%s: Registration failed!!! see previous log", __func__);
        return 0;
    }
    driver->deviceId = deviceId;
    driver->write = write;
    driver->read = read;
    driver->config = config;
    return 1;
}

int si5344RegWrite(si5344Driver *driver, uint16_t reg, uint8_t value)
{
    if (!driver->write) {
        log4c_category_log(driver->category, LOG4C_PRIORITY_ERROR,
                           "GENLOCK SI5344 DRIVER:%s: ptrSi5344->ptrFuncWrite is NULL, need to be registered with "
                           "si5344Register() before using!",
                           __func__);
        return 0;
    }
    return driver->write(driver->deviceId, reg, value) ? 1 : 0;
}

/* Writes a table in order; 0 at the first failed write (logged). */
static int writeTable(si5344Driver *driver, const si5344RegisterWrite_t *table, uint32_t count)
{
    for (uint32_t i = 0; i < count; i++) {
        if (!si5344RegWrite(driver, table[i].reg, (uint8_t)table[i].value)) {
            log4c_category_log(driver->category, LOG4C_PRIORITY_ERROR,
                               "GENLOCK SI5344 DRIVER:%s: writing register 0x%04x = 0x%02x failed (write %u of %u)",
                               __func__, table[i].reg, (unsigned)table[i].value & 0xFF, i + 1, count);
            return 0;
        }
    }
    return 1;
}

int si5344SoftResetAll(si5344Driver *driver)
{
    log4c_category_log(driver->category, LOG4C_PRIORITY_WARN,
                       "GENLOCK SI5344 DRIVER:%s: Performing SI5344 resetting, initialize and calibrates the entire "
                       "device!",
                       __func__);
    return si5344RegWrite(driver, SI5344_REG_SOFT_RESET, 0x01);
}

int si5344SelectPlan(si5344Driver *driver, uint32_t planId)
{
    if (planId < 1 || planId >= SI5344_PLAN_COUNT) {
        log4c_category_log(driver->category, LOG4C_PRIORITY_ERROR,
                           "GENLOCK SI5344 DRIVER:%s: unsupported frequency plan is given: %d! Please check!",
                           __func__, (int)planId);
        return 0;
    }
    if (!writeTable(driver, preamble, 2))
        return 0;
    log4c_category_log(driver->category, LOG4C_PRIORITY_INFO,
                       "GENLOCK SI5344 DRIVER:%s: Writing frequency plan to SI5344 device: [%d][%s]", __func__,
                       (int)planId, genlockSi5344PlanName(planId));
    if (!writeTable(driver, si5344Plans[planId], SI5344_PLAN_WRITES) || !writeTable(driver, calibrate, 1) ||
        !si5344SoftResetAll(driver) || !writeTable(driver, postamble, 2))
        return 0;
    return 1;
}

int si5344LoadFactoryDefault(si5344Driver *driver)
{
    log4c_category_log(driver->category, LOG4C_PRIORITY_WARN,
                       "GENLOCK SI5344 DRIVER:%s: Loading factory default register configuration to SI5344", __func__);
    if (!writeTable(driver, si5344FactoryDefault, SI5344_FACTORY_DEFAULT_WRITES))
        return 0;
    return si5344SoftResetAll(driver);
}

int kvrGenlockSi5344RegWrite(uint32_t deviceId, uint16_t reg, uint8_t value)
{
    uint8_t byte = value;
    return deviceManagerAccess(DEVICE_I2C_PAGED_WRITE, deviceId, 0x680000u | reg, 0, 1, &byte) == DEVICE_ACCESS_OK;
}

uint32_t kvrGenlockSi5344ReadDeviceReady(uint8_t *buffer)
{
    return deviceManagerAccess(DEVICE_I2C_PAGED_READ, DEVICE_I2C_CLOCK_CLEANER, 0x680000u | SI5344_REG_DEVICE_READY, 0,
                               1, buffer);
}
