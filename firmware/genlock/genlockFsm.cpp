#include "genlock/genlockPrivate.h"

#include "deviceManager/deviceManager.h"
#include "platform/platform.h"
#include "qvsInterface/qvsInterface.h"

#include <initializer_list>
#include <unistd.h>

/* The FSM-FPGA genlock registers, the card's status block words and the start-up factory default. */

enum { GENLOCK_POLL_MS = 10, TX_PLL_RESET_WAIT_MS = 100, FLYWHEEL_RESET_WAIT_MS = 50, BRIDGE_TX_RESET_WAIT_MS = 1 };

genlockFlags_t genlockFlags;

int genlockFsmRead(uint32_t reg, uint16_t *value)
{
    uint8_t bytes[2] = {0, 0};
    if (deviceManagerAccess(DEVICE_READ, DEVICE_FSM_FPGA, reg, 0, 1, bytes) != DEVICE_ACCESS_OK)
        return 0;
    *value = (uint16_t)(bytes[0] << 8 | bytes[1]);
    return 1;
}

static int fsmWrite(uint32_t reg, uint16_t value)
{
    uint8_t bytes[2] = {(uint8_t)(value >> 8), (uint8_t)value};
    return deviceManagerAccess(DEVICE_WRITE, DEVICE_FSM_FPGA, reg, 0, 1, bytes) == DEVICE_ACCESS_OK;
}

int genlockFsmUpdate(uint32_t reg, uint16_t mask, uint16_t bits)
{
    uint16_t value = 0;
    if (!genlockFsmRead(reg, &value))
        return 0;
    return fsmWrite(reg, (uint16_t)((value & ~mask) | (bits & mask)));
}

static uint8_t *ownBlock(void)
{
    uint8_t *base = (uint8_t *)platformGetSharedMemory();
    return base ? base + CARD_STATUS_BLOCK_SIZE * platformGetCardSlotIndex() : nullptr;
}

void genlockPublishWord(uint32_t byteOffset, uint16_t value)
{
    if (uint8_t *block = ownBlock()) {
        block[byteOffset] = (uint8_t)(value >> 8);
        block[byteOffset + 1] = (uint8_t)value;
    }
}

uint16_t genlockReadPublishedWord(uint32_t byteOffset)
{
    const uint8_t *block = ownBlock();
    return block ? (uint16_t)(block[byteOffset] << 8 | block[byteOffset + 1]) : 0;
}

uint16_t genlockStatusWordFor(uint32_t rate)
{
    return (uint16_t)(0x0100 | (rate == GENLOCK_RATE_5000 ? 2 : 1));
}

/* Sets a bit, waits, clears it. */
static void pulse(uint32_t reg, uint16_t bit, unsigned waitMs)
{
    genlockFsmUpdate(reg, bit, bit);
    if (waitMs)
        usleep(waitMs * 1000);
    genlockFsmUpdate(reg, bit, 0);
}

void kvrFsmGenlockResetTxPll(log4c_category_t *category, uint32_t noWait)
{
    log4c_category_log(category, LOG4C_PRIORITY_WARN,
                       "GENLOCK SI5344 PROBING:%s: reset FSM genlock PLL(genlock_reset.tx_pll_reset)!", __func__);
    pulse(FSM_GENLOCK_RESET, 0x1, noWait ? 0 : TX_PLL_RESET_WAIT_MS);
}

void kvrFsmGenlockForceFwReset(log4c_category_t *category)
{
    log4c_category_log(category, LOG4C_PRIORITY_WARN,
                       "GENLOCK SI5344 PROBING:%s: reset FSM genlock flywheel(genlock_reset.force_fw_reset)!",
                       __func__);
    pulse(FSM_GENLOCK_RESET, 0x2, FLYWHEEL_RESET_WAIT_MS);
}

void kvrFsmGvAsiTxReset(log4c_category_t *category)
{
    log4c_category_log(category, LOG4C_PRIORITY_WARN, "GENLOCK SI5344 PROBING:%s: Performing Bridge TX reset!",
                       __func__);
    for (uint32_t reg : {FSM_GENLOCK_BRIDGE_TX_0, FSM_GENLOCK_BRIDGE_TX_1, FSM_GENLOCK_BRIDGE_TX_2,
                         FSM_GENLOCK_BRIDGE_TX_3})
        pulse(reg, 0x1, BRIDGE_TX_RESET_WAIT_MS);
}

int kvrFsmGenlockSelectRef(log4c_category_t *category, uint32_t source)
{
    log4c_category_log(category, LOG4C_PRIORITY_INFO,
                       "GENLOCK SI5344 PROBING:%s: set FSM genlock reference source: [0x%x]!", __func__, source);
    return genlockFsmUpdate(FSM_GENLOCK_REF_SELECT, 0x3, (uint16_t)source);
}

int kvrFsmGenlockSetSystemFrameRate(log4c_category_t *category, uint32_t rateBit)
{
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "GENLOCK SI5344 PROBING:%s: set FSM system frame rate: [0x%x]!",
                       __func__, rateBit);
    return genlockFsmUpdate(FSM_GENLOCK_FRAME_RATE, 0x1, (uint16_t)rateBit);
}

int kvrFsmGenlockSetMgtVideoClockDisable(log4c_category_t *category, uint32_t value)
{
    uint16_t word = 0;
    if (!genlockFsmRead(FSM_GENLOCK_MGT_CLOCK, &word))
        return 0;
    uint32_t current = word & 0x1;
    if (current != (value & 1)) {
        log4c_category_log(category, LOG4C_PRIORITY_INFO,
                           "GENLOCK SI5344 PROBING:%s: Set FSM MGT Video Clock Disable : [%d]!", __func__, (int)value);
        word = (uint16_t)((word & ~0x1) | (value & 1));
    } else {
        log4c_category_log(category, LOG4C_PRIORITY_INFO,
                           "GENLOCK SI5344 PROBING:%s: Received Parameter Value [%d] is the same value in FSM [%d]!",
                           __func__, (int)value, (int)current);
    }
    return fsmWrite(FSM_GENLOCK_MGT_CLOCK, word);
}

uint32_t genlockSi5344ProgrammingInProgress(void)
{
    return genlockFlags.programmingInProgress;
}

int kvrGenlockLoadFactoryDefault(log4c_category_t *category)
{
    uint8_t status = 0;
    int ready = 0;
    for (int waited = 0; waited <= GENLOCK_READY_WAIT_MS; waited += GENLOCK_POLL_MS) {
        status = 0;
        if (kvrGenlockSi5344ReadDeviceReady(&status) == DEVICE_ACCESS_OK && status == GENLOCK_STATUS_READY) {
            ready = 1;
            break;
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
    if (!ready) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "GENLOCK SI5344 PROBING:%s: SI5344: device not ready after %d ms (last status 0x%04x), going "
                           "on without the factory default",
                           __func__, GENLOCK_READY_WAIT_MS, status);
        return 0;
    }
    si5344Driver driver;
    si5344Initialize(&driver, category);
    si5344Register(&driver, kvrGenlockSi5344RegWrite, nullptr, nullptr, DEVICE_I2C_CLOCK_CLEANER);
    int loaded = si5344LoadFactoryDefault(&driver);
    kvrFsmGenlockSetMgtVideoClockDisable(category, 1);
    kvrFsmGenlockSelectRef(category, 0);
    kvrFsmGenlockSetSystemFrameRate(category, 0);
    genlockFlags.programmingInProgress = 1;
    if (!loaded) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "GENLOCK SI5344 PROBING:%s: SI5344: the factory default could not be written, the clock "
                           "generator is not programmed",
                           __func__);
        return 0;
    }
    log4c_category_log(category, LOG4C_PRIORITY_WARN,
                       "GENLOCK SI5344 PROBING:GENLOCK_PLAN_CHANGED: Sfr[%d], Ref[%d], Id[%d], Name[%s], Src[%d] ",
                       GENLOCK_RATE_5994, 0, GENLOCK_PLAN_NTSC_FREE_RUN, genlockSi5344PlanName(GENLOCK_PLAN_NTSC_FREE_RUN),
                       GENLOCK_SOURCE_FACTORY_DEFAULT);
    return 1;
}
