#include "genlock/genlockPrivate.h"

#include "deviceManager/deviceManager.h"
#include "hal/hal.h"
#include "layoutManager/layoutManager.h"
#include "layoutManager/layoutSubmodule.h"
#include "platform/platform.h"
#include "probing/probing.h"
#include "strata/strata.h"

#include <cstring>
#include <pthread.h>
#include <unistd.h>

/*
 * The genlock probing target, run on the probing thread after every probing
 * round: watches the clock generator's alarms and the FSM-FPGA's URS and
 * ExtSync words that the three probing actions read, publishes them in the
 * card's status block and hands every change to the status handlers.
 */

#define IGNORE_URS_FILE "/usr/local/q7/firmware/ignoreUrs.dbg"


enum {
    URS_PRESENT = 0x1,
    URS_FORMAT_SHIFT = 1,
    URS_FORMAT_MASK = 0x7,
    URS_TC_VALID = 0x10,
    URS_FORMAT_NONE = 0,
    URS_FORMAT_NTSC = 1,
    URS_FORMAT_PAL = 2,
    URS_FORMAT_DUAL = 7,
    EXTSYNC_VALID = 0x2,
    EXTSYNC_50HZ = 0x1,
    ALARM_IN1_LOS = 0x02,
    ALARM_IN1_OOF = 0x20,
    ALARM_LOL = 0x02,
    ALARM_HOLD = 0x20,
    SLOT_A = 0,
    NQASI_SYNC_TYPE_BYTE = 4,
    NQASI_RECORD_SIZE = 17,
};

volatile uint32_t genlockProbingEnabled;
volatile uint32_t genlockReadyCountDown;

/* Destinations of the three actions (FSM words big-endian as they arrive). */
static uint8_t ursWords[2 * GENLOCK_URS_WORDS];
static uint8_t bridgeInRate[2];
static uint8_t si5344Alarms[2];

probingAction genlockProbingActions[GENLOCK_ACTION_COUNT] = {
    {"Read FSM Urs Status ", &genlockProbingEnabled, 0, GENLOCK_URS_SAMPLE_VSYNCS, 3, DEVICE_FSM_FPGA, DEVICE_READ, 2,
     FSM_GENLOCK_URS_STATUS, GENLOCK_URS_WORDS, ursWords, nullptr, 0, 0, nullptr, 0},
    {"Read Bridge In Rate Status ", &genlockProbingEnabled, 0, 12, 3, DEVICE_FSM_FPGA, DEVICE_READ, 2,
     FSM_GENLOCK_BRIDGE_IN_RATE, 1, bridgeInRate, nullptr, 0, 0, nullptr, 0},
    {"Read Si5344 Out-of-Frequency and Loss-of-Signal Alarms", &genlockProbingEnabled, 1, 2, 3,
     DEVICE_I2C_CLOCK_CLEANER, DEVICE_I2C_PAGED_READ, 0, 0x680000u | SI5344_REG_IN_ALARMS, 2, si5344Alarms, nullptr,
     0, 0, nullptr, 0},
};

static struct {
    log4c_category_t *category;
    uint32_t ready;
    uint32_t ursSeen;
    uint16_t ursWord;
    uint32_t previousReference;   /* URS_FORMAT_NTSC / _PAL of the last valid reference, else 0 */
    uint16_t extSyncWord;
    uint32_t alarmsSeen;
    uint8_t alarms[2];
} target;

static struct {
    pthread_mutex_t mutex;
    genlockHandler_t handlers[GENLOCK_HANDLERS_MAX];
    uint32_t count;
} handlerTable = {PTHREAD_MUTEX_INITIALIZER, {nullptr}, 0};

void genlockProbingReset(void)
{
    target = decltype(target)();
    genlockProbingEnabled = 0;
    genlockReadyCountDown = 0;
    memset(ursWords, 0, sizeof ursWords);
    memset(bridgeInRate, 0, sizeof bridgeInRate);
    memset(si5344Alarms, 0, sizeof si5344Alarms);
    genlockFlags = genlockFlags_t();
    pthread_mutex_lock(&handlerTable.mutex);
    handlerTable.count = 0;
    pthread_mutex_unlock(&handlerTable.mutex);
}

int kvrGenlockSi5344HandlerRegister(genlockHandler_t handler)
{
    if (!handler) {
        log4c_category_log(target.category, LOG4C_PRIORITY_ERROR, "%s: failed, please use a non-NULL handler!",
                           __func__);
        return 4;
    }
    pthread_mutex_lock(&handlerTable.mutex);
    if (handlerTable.count >= GENLOCK_HANDLERS_MAX) {
        pthread_mutex_unlock(&handlerTable.mutex);
        log4c_category_log(target.category, LOG4C_PRIORITY_ERROR, "%s: failed please check, maximum handler reached!",
                           __func__);
        return 3;
    }
    handlerTable.handlers[handlerTable.count++] = handler;
    pthread_mutex_unlock(&handlerTable.mutex);
    return 0;
}

void genlockCallHandlers(uint32_t type, uint32_t planId, uint16_t value)
{
    genlockHandler_t handlers[GENLOCK_HANDLERS_MAX];
    pthread_mutex_lock(&handlerTable.mutex);
    uint32_t count = handlerTable.count;
    memcpy(handlers, handlerTable.handlers, sizeof handlers);
    pthread_mutex_unlock(&handlerTable.mutex);
    for (uint32_t i = 0; i < count; i++)
        handlers[i](type, planId, value);
}

void kvrGenlockSi5344TargetEventHandler(uint32_t type, uint32_t planId, uint16_t value)
{
    genlockChange_t change = {type, planId, value};
    layoutTargetSpecificEvent(GENLOCK_CHANGED_EVENT, &change, sizeof change);
}

void kvrGenlockSi5344GetURSPresenceStatus(uint8_t out[2])
{
    uint16_t word = genlockReadPublishedWord(GENLOCK_BLOCK_STATUS);
    out[0] = (uint8_t)(word >> 8);
    out[1] = (uint8_t)word;
    log4c_category_log(target.category, LOG4C_PRIORITY_DEBUG,
                       "%s: VigiloMsg IN_STATUS selected ref info: 0x%04x, present:%d, format:%d ", __func__, word,
                       out[0] & 1, out[1] & 0x3F);
}

int kvrGenlockSi5344ProbingTargetInit(log4c_category_t *category)
{
    for (uint32_t i = 0; i < GENLOCK_ACTION_COUNT; i++)
        probingSetActionRow(PROBING_ROW_GENLOCK_URS + i, &genlockProbingActions[i]);
    target = decltype(target)();
    target.category = category;
    genlockProbingEnabled = 0;
    if (!genlockStartSaveThread(category)) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: failed to create kvrGenlockSaveSystemFrameRateThreadEntry thread for environment "
                           "variables",
                           __func__);
        return 3;
    }
    std::string ignoreFile = halPath(IGNORE_URS_FILE);
    genlockFlags.ignoreUrs = access(ignoreFile.c_str(), F_OK) == 0;
    if (genlockFlags.ignoreUrs)
        log4c_category_log(category, LOG4C_PRIORITY_WARN,
                           "GENLOCK SI5344 PROBING:IgnoreUrs mode is enabled by %s. URS change detection will be "
                           "disabled!!!",
                           IGNORE_URS_FILE);
    log4c_category_log(category, LOG4C_PRIORITY_INFO,
                       "GENLOCK SI5344 PROBING:%s: FSM URS status sample frequency: %d vsyncs", __func__,
                       GENLOCK_URS_SAMPLE_VSYNCS);
    return 0;
}

/* Step 1: 1 once the chip has reported ready (and the count-down ran out). */
static int checkReady(void)
{
    if (target.ready)
        return 1;
    uint8_t status = 0;
    uint32_t rc = kvrGenlockSi5344ReadDeviceReady(&status);
    if (rc != DEVICE_ACCESS_OK || status != GENLOCK_STATUS_READY) {
        log4c_category_log(target.category, LOG4C_PRIORITY_WARN,
                           status == GENLOCK_STATUS_BUSY
                               ? "GENLOCK SI5344 PROBING:%s: SI5344: device status[0x%04x] is not ready, continue waiting"
                               : "GENLOCK SI5344 PROBING:%s: SI5344: device status[0x%04x] unknown, assume it is NOT "
                                 "ready, continue waiting",
                           __func__, status);
        return 0;
    }
    if (genlockReadyCountDown > 0) {
        genlockReadyCountDown--;
        return 0;
    }
    target.ready = 1;
    log4c_category_log(target.category, LOG4C_PRIORITY_NOTICE,
                       "GENLOCK SI5344 PROBING:%s: SI5344: device status[0x%04x] is ready", __func__, status);
    log4c_category_log(target.category, LOG4C_PRIORITY_NOTICE,
                       "GENLOCK SI5344 PROBING:%s: Enabling probing on URS status and ExtSync Status", __func__);
    genlockProbingEnabled = 1;
    return 0;
}

/*
 * Step 2. The first reading counts as a change: a chip already locked when
 * probing starts takes the lock-regained path, which enables the video clock
 * that the factory default left disabled.
 */
static void checkAlarms(void)
{
    const uint8_t in = si5344Alarms[0], lock = si5344Alarms[1];
    const int first = !target.alarmsSeen;
    target.alarmsSeen = 1;
    if (first || in != target.alarms[0])
        log4c_category_log(target.category, LOG4C_PRIORITY_WARN,
                           "GENLOCK SI5344 PROBING:%s: SI5344 input alarms changed: IN1_LOS[%d], IN1_OOF[%d]", __func__,
                           (in & ALARM_IN1_LOS) != 0, (in & ALARM_IN1_OOF) != 0);
    uint8_t previousLock = target.alarms[1];
    if (first || lock != previousLock)
        log4c_category_log(target.category, LOG4C_PRIORITY_WARN,
                           "GENLOCK SI5344 PROBING:%s: SI5344 lock alarms changed: LOL[%d], HOLD[%d]", __func__,
                           (lock & ALARM_LOL) != 0, (lock & ALARM_HOLD) != 0);
    target.alarms[0] = in;
    target.alarms[1] = lock;
    if (first || ((lock ^ previousLock) & ALARM_LOL))
        genlockCallHandlers((lock & ALARM_LOL) ? GENLOCK_CHANGE_LOCK_LOST : GENLOCK_CHANGE_LOCK_REGAINED, 0, 0);
}

/* The plan an URS word proposes. */
static uint32_t ursProposal(uint16_t word)
{
    uint32_t format = (word >> URS_FORMAT_SHIFT) & URS_FORMAT_MASK;
    if (word & URS_PRESENT) {
        switch (format) {
        case URS_FORMAT_NTSC: return GENLOCK_PLAN_NTSC_URS;
        case URS_FORMAT_PAL: return GENLOCK_PLAN_PAL_URS;
        case URS_FORMAT_DUAL: return GENLOCK_PLAN_URS_DUAL;
        case URS_FORMAT_NONE:
            break;
        default: return GENLOCK_PLAN_NULL;
        }
    } else if (target.previousReference == URS_FORMAT_NTSC) {
        log4c_category_log(target.category, LOG4C_PRIORITY_WARN, "GENLOCK SI5344 PROBING:%s: URS unplugged, previous is NTSC",
                           __func__);
    } else if (target.previousReference == URS_FORMAT_PAL) {
        log4c_category_log(target.category, LOG4C_PRIORITY_WARN, "GENLOCK SI5344 PROBING:%s: URS unplugged, previous is PAL",
                           __func__);
    }
    if (target.previousReference == URS_FORMAT_NTSC)
        return GENLOCK_PLAN_NTSC_FREE_RUN;
    if (target.previousReference == URS_FORMAT_PAL)
        return GENLOCK_PLAN_PAL_FREE_RUN;
    return GENLOCK_PLAN_NULL;
}

static void checkUrs(void)
{
    uint16_t word = (uint16_t)(ursWords[0] << 8 | ursWords[1]);
    uint32_t format = (word >> URS_FORMAT_SHIFT) & URS_FORMAT_MASK;
    if (!target.ursSeen) {
        log4c_category_log(target.category, LOG4C_PRIORITY_NOTICE,
                           "GENLOCK SI5344 PROBING:%s: Initial URS Status: Presence[%d], Format[%d], Tc_valid[%d]",
                           __func__, word & URS_PRESENT, (int)format, (word & URS_TC_VALID) != 0);
    } else if (word == target.ursWord) {
        return;
    } else {
        log4c_category_log(target.category, LOG4C_PRIORITY_NOTICE,
                           "GENLOCK SI5344 PROBING:%s: URS Status changed: Presence[%d], Format[%d], Tc_valid[%d]",
                           __func__, word & URS_PRESENT, (int)format, (word & URS_TC_VALID) != 0);
    }
    target.ursSeen = 1;
    target.ursWord = word;
    uint32_t plan = ursProposal(word);
    if ((word & URS_PRESENT) && (format == URS_FORMAT_NTSC || format == URS_FORMAT_PAL))
        target.previousReference = format;
    genlockPublishWord(GENLOCK_BLOCK_URS, (uint16_t)(((word & URS_PRESENT) << 8) | format));
    uint8_t report[NQASI_RECORD_SIZE] = {0};
    report[NQASI_SYNC_TYPE_BYTE] = (uint8_t)word;
    platformNqAsiCardTx(target.category, 2, 0, report);
    if (platformGetCardSlotIndex() == SLOT_A)
        genlockCallHandlers(GENLOCK_CHANGE_URS, plan, word);
}

static void checkExtSync(void)
{
    uint16_t word = (uint16_t)(bridgeInRate[0] << 8 | bridgeInRate[1]) & (EXTSYNC_VALID | EXTSYNC_50HZ);
    if (word == target.extSyncWord)
        return;
    target.extSyncWord = word;
    uint32_t plan = GENLOCK_PLAN_NULL;
    uint16_t published = 0;
    if (word & EXTSYNC_VALID) {
        int pal = (word & EXTSYNC_50HZ) != 0;
        plan = pal ? GENLOCK_PLAN_PAL_FREE_RUN : GENLOCK_PLAN_NTSC_FREE_RUN;
        log4c_category_log(target.category, LOG4C_PRIORITY_NOTICE,
                           pal ? "GENLOCK SI5344 PROBING:%s: ExtSync frame rate is PAL"
                               : "GENLOCK SI5344 PROBING:%s: ExtSync frame rate is NTSC ",
                           __func__);
        published = (uint16_t)(0x0100 | (pal ? 2 : 1));
    } else {
        log4c_category_log(target.category, LOG4C_PRIORITY_NOTICE, "GENLOCK SI5344 PROBING:%s: ExtSync is not valid",
                           __func__);
    }
    genlockPublishWord(GENLOCK_BLOCK_EXTSYNC, published);
    if (platformGetCardSlotIndex() != SLOT_A)
        genlockCallHandlers(GENLOCK_CHANGE_EXTSYNC, plan, word);
}

void kvrGenlockSi5344ProbingTargetProcess(uint32_t running)
{
    if (running != 1)
        return;
    if (!checkReady())
        return;
    checkAlarms();
    if (!genlockFlags.ignoreUrs)
        checkUrs();
    checkExtSync();
}

/* The probing target's start-up, in the form the probing service calls it. */
static void genlockProbingTargetStart(log4c_category_t *category, void *sharedMemory)
{
    (void)sharedMemory;
    kvrGenlockSi5344ProbingTargetInit(category);
}

static const probingTarget_t genlockProbingTarget = {
    "genlock", genlockProbingTargetStart, kvrGenlockSi5344ProbingTargetProcess,
    genlockSi5344ProgrammingInProgress, kvrFsmGenlockResetTxPll,
};

void genlockRegister(void)
{
    layoutManagerRegisterSubmodule(LAYOUT_ROW_GENLOCK, &kvrGenlockSi5344Submodule);
    probingRegisterTarget(PROBING_TARGET_EARLY, &genlockProbingTarget);
}
