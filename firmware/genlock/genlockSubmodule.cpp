#include "genlock/genlockPrivate.h"

#include "deviceManager/deviceManager.h"
#include "layoutManager/layoutSubmodule.h"
#include "persistentDataStorage/persistentDataStorage.h"
#include "strata/strataAnswers.h"

#include <cstdlib>
#include <cstring>

/*
 * The genlock sub-module "kvr-genlockSi5344", first on head 0, on the layout
 * thread: chooses the frequency plan from the live references, the head A
 * resolution, the restore point and the frame controller's saved rate,
 * programs the Si5344 and the FSM-FPGA genlock registers, supervises loss of
 * lock with timers and announces the new system frame rate.
 */

enum { STATUS_REPORT_GENLOCK = 2, PLAN_SOURCE_COUNT = 6, SOURCE_INDICATION_EXTSYNC = 1, SOURCE_INDICATION_URS = 2 };

struct genlockSubmoduleState_t {
    uint32_t headEvents;
    si5344Driver driver;
    uint32_t planId;
    uint32_t planSource;
    uint16_t lastChange;
    uint16_t liveRate;
    uint16_t controllerRate;  /* 0 none received, 1 the controller has none */
    uint16_t referenceRate;   /* from URS or ExtSync, 0 none */
    uint16_t headARate;       /* 0 none */
    uint32_t bootTimerRunning;
    uint32_t bootTimeoutPassed;
    uint32_t lockRecovered;
    uint32_t lockTimersRunning;
    /* A plan that did not reach the hardware, tried again from the retry timer. */
    uint32_t pendingPlan;     /* GENLOCK_PLAN_NULL: none */
    uint32_t pendingSource;
    uint32_t retries;         /* tries of the pending plan after its first */
    uint32_t retryTimerRunning;
};

static genlockSubmoduleState_t genlockState;

static log4c_category_t *categoryOf(deviceSubmoduleInstance *instance)
{
    return instance && instance->descriptor ? instance->descriptor->category : nullptr;
}

static int isRate(uint32_t rate)
{
    return rate == GENLOCK_RATE_5994 || rate == GENLOCK_RATE_5000;
}

static uint16_t rateOfPlan(uint32_t planId)
{
    return planId == GENLOCK_PLAN_PAL_FREE_RUN || planId == GENLOCK_PLAN_PAL_URS ? GENLOCK_RATE_5000
                                                                                 : GENLOCK_RATE_5994;
}

void genlockSendStatusReports(log4c_category_t *category)
{
    platformStrataMessageVigiloInputStatusUnsolicited(category, STATUS_REPORT_GENLOCK, nullptr);
    platformStrataMessageVigiloOutputStatusUnsolicited(category, STATUS_REPORT_GENLOCK, nullptr);
}

static void startLockTimer(deviceSubmoduleInstance *instance)
{
    genlockSubmoduleState_t &s = genlockState;
    if (startSubModuleTimeoutEvent(instance->descriptor, GENLOCK_LOCK_TIMER_MS, instance, GENLOCK_TIMER_LOCK) == 0) {
        s.lockTimersRunning++;
    } else {
        log4c_category_log(categoryOf(instance), LOG4C_PRIORITY_ERROR,
                           "GENLOCK SI5344 SUB-MODULE:%s: the lock timer could not be started, lock is supervised "
                           "by the lock alarm alone",
                           __func__);
    }
    s.lockRecovered = 0;
}

/*
 * The rate and reference source a request gives; 0 when it changes nothing
 * (logged where it is refused). *saveReason names why the rate goes to the
 * restore point once the plan is applied (null: it is not saved).
 */
static int rateForSource(log4c_category_t *category, uint32_t planId, uint32_t source, uint16_t *rate,
                         uint32_t *reference, const char **saveReason)
{
    genlockSubmoduleState_t &s = genlockState;
    *reference = 0;
    *saveReason = nullptr;
    switch (source) {
    case GENLOCK_SOURCE_FACTORY_DEFAULT:
        *rate = rateOfPlan(planId);
        return 1;
    case GENLOCK_SOURCE_ENV_VAR:
        if (planId != GENLOCK_PLAN_NTSC_FREE_RUN && planId != GENLOCK_PLAN_PAL_FREE_RUN) {
            log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                               "GENLOCK SI5344 SUB-MODULE:%s: plan %d cannot come from the env var, won't change!",
                               __func__, (int)planId);
            return 0;
        }
        *rate = rateOfPlan(planId);
        return 1;
    case GENLOCK_SOURCE_FRAME_CONTROLLER:
        *rate = s.controllerRate;
        return isRate(*rate) && *rate != s.liveRate;
    case GENLOCK_SOURCE_HEAD_A_RES:
        *rate = s.headARate;
        if (!isRate(*rate) || *rate == s.liveRate)
            return 0;
        *saveReason = "HEAD_A_RES";
        return 1;
    case GENLOCK_SOURCE_URS:
        if (planId == s.planId)
            return 0;
        *rate = isRate(s.referenceRate) ? s.referenceRate : rateOfPlan(planId);
        *saveReason = "URS";
        *reference = 1;
        return 1;
    default: /* GENLOCK_SOURCE_EXTSYNC */
        *rate = isRate(s.referenceRate) ? s.referenceRate : rateOfPlan(planId);
        *saveReason = "ExtSync";
        *reference = 2;
        return 1;
    }
}

/*
 * Writes the plan to the Si5344, then the FSM reference and frame-rate bit.
 * 1 done; 0 when a write failed: the FSM registers are then left as they were
 * unless the chip took the plan.
 */
static int programPlan(log4c_category_t *category, uint32_t planId, uint32_t reference)
{
    genlockSubmoduleState_t &s = genlockState;
    if (!si5344SelectPlan(&s.driver, planId))
        return 0;
    int programmed = kvrFsmGenlockSelectRef(category, reference);
    uint32_t rateBit = planId == GENLOCK_PLAN_PAL_FREE_RUN || planId == GENLOCK_PLAN_PAL_URS;
    return kvrFsmGenlockSetSystemFrameRate(category, rateBit) && programmed;
}

/* Arms the next try of the pending plan, while tries are left; logs when they are spent. */
static void scheduleRetry(deviceSubmoduleInstance *instance, log4c_category_t *category)
{
    genlockSubmoduleState_t &s = genlockState;
    if (s.retries >= GENLOCK_RETRIES_MAX) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "GENLOCK SI5344 SUB-MODULE:%s: frequency plan [%d][%s] still not programmed after %d tries, "
                           "giving up; the plan stays [%d][%s] until the next change",
                           __func__, (int)s.pendingPlan, genlockSi5344PlanName(s.pendingPlan), (int)s.retries + 1,
                           (int)s.planId, genlockSi5344PlanName(s.planId));
        s.pendingPlan = GENLOCK_PLAN_NULL;
        return;
    }
    if (s.retryTimerRunning)
        return;
    if (startSubModuleTimeoutEvent(instance->descriptor, GENLOCK_RETRY_MS, instance, GENLOCK_TIMER_RETRY) == 0)
        s.retryTimerRunning = 1;
    else
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "GENLOCK SI5344 SUB-MODULE:%s: the retry timer could not be started, frequency plan [%d] "
                           "is tried again at the next change",
                           __func__, (int)s.pendingPlan);
}

uint32_t kvrFsmSi5344ChangeGenlockPlan(deviceSubmoduleInstance *instance, uint32_t planId, uint32_t source)
{
    genlockSubmoduleState_t &s = genlockState;
    log4c_category_t *category = categoryOf(instance);
    /* Requests that change nothing leave genlockStatus as it was. */
    if (planId < GENLOCK_PLAN_NTSC_FREE_RUN || planId > GENLOCK_PLAN_PAL_URS) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "GENLOCK SI5344 SUB-MODULE:%s: unsupported frequency plan: [%d], won't change!", __func__,
                           (int)planId);
        return 0;
    }
    if (source >= PLAN_SOURCE_COUNT) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "GENLOCK SI5344 SUB-MODULE:%s: unknown frequency plan source: [%d], won't change!",
                           __func__, (int)source);
        return 0;
    }
    if (planId == s.planId && source == s.planSource) {
        /* The newest decision keeps the plan that runs: a plan still waiting for its next try is dropped. */
        s.pendingPlan = GENLOCK_PLAN_NULL;
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                           "GENLOCK SI5344 SUB-MODULE:%s: frequency plan is the same as previous one: [%d], won't "
                           "change!",
                           __func__, (int)planId);
        return 0;
    }
    uint16_t rate = 0;
    uint32_t reference = 0;
    const char *saveReason = nullptr;
    if (!rateForSource(category, planId, source, &rate, &reference, &saveReason))
        return 0;

    genlockStatus_t previous;
    kvrGenlockSi5344GetGenlockStatus(&previous);
    genlockStatusInvalidate();
    kvrFsmGenlockSetMgtVideoClockDisable(category, 1);
    if (!programPlan(category, planId, reference)) {
        /*
         * Nothing downstream moves to a plan the hardware did not take: the
         * rate, the status words, the restore point and the sub-modules stay
         * on the plan that runs, and the plan is tried again.
         */
        if (planId != s.pendingPlan || source != s.pendingSource)
            s.retries = 0;
        s.pendingPlan = planId;
        s.pendingSource = source;
        if (!genlockFlags.programmingInProgress)
            kvrFsmGenlockSetMgtVideoClockDisable(category, 0);
        genlockStatusRestore(&previous);
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "GENLOCK SI5344 SUB-MODULE:%s: frequency plan [%d][%s] could not be programmed, the system "
                           "frame rate stays %d on plan [%d][%s]; try %d of %d",
                           __func__, (int)planId, genlockSi5344PlanName(planId), s.liveRate, (int)s.planId,
                           genlockSi5344PlanName(s.planId), (int)s.retries + 1, GENLOCK_RETRIES_MAX + 1);
        scheduleRetry(instance, category);
        return 0;
    }
    s.pendingPlan = GENLOCK_PLAN_NULL;
    s.retries = 0;
    if (saveReason)
        kvrGenlockSaveFrameRate(rate, saveReason);
    s.liveRate = rate;
    genlockPublishWord(GENLOCK_BLOCK_STATUS, genlockStatusWordFor(rate));
    uint16_t indication = source == GENLOCK_SOURCE_EXTSYNC ? SOURCE_INDICATION_EXTSYNC
                          : source == GENLOCK_SOURCE_URS   ? SOURCE_INDICATION_URS
                                                           : 0;
    genlockPublishWord(GENLOCK_BLOCK_SOURCE, indication);
    s.planId = planId;
    s.planSource = source;
    genlockFlags.waitForLockRecovery = 1;
    genlockFlags.programmingInProgress = 1;
    startLockTimer(instance);
    genlockStatusPublish(rate);
    genlockSendStatusReports(category);
    log4c_category_log(category, LOG4C_PRIORITY_WARN,
                       "GENLOCK SI5344 SUB-MODULE:GENLOCK_PLAN_CHANGED: Sfr[%d], Ref[%d], Id[%d], Name[%s], Src[%d] ",
                       rate, (int)reference, (int)planId, genlockSi5344PlanName(planId), (int)source);
    return 1;
}

/* The retry timer ran out: the pending plan is tried once more. */
static void retryPendingPlan(deviceSubmoduleInstance *instance, log4c_category_t *category)
{
    genlockSubmoduleState_t &s = genlockState;
    s.retryTimerRunning = 0;
    if (s.pendingPlan == GENLOCK_PLAN_NULL)
        return;
    s.retries++;
    log4c_category_log(category, LOG4C_PRIORITY_WARN,
                       "GENLOCK SI5344 SUB-MODULE:%s: trying frequency plan [%d][%s] again (try %d of %d)", __func__,
                       (int)s.pendingPlan, genlockSi5344PlanName(s.pendingPlan), (int)s.retries + 1, GENLOCK_RETRIES_MAX + 1);
    kvrFsmSi5344ChangeGenlockPlan(instance, s.pendingPlan, s.pendingSource);
}

static int genlockSi5344Init(deviceSubmoduleInstance *instance, layoutEventInfo *event, const layoutHeadList *list)
{
    (void)event;
    (void)list;
    genlockSubmoduleState_t &s = genlockState;
    log4c_category_t *category = categoryOf(instance);
    s = genlockSubmoduleState_t();
    instance->privateState = &s;
    si5344Initialize(&s.driver, category);
    si5344Register(&s.driver, kvrGenlockSi5344RegWrite, nullptr, nullptr, DEVICE_I2C_CLOCK_CLEANER);
    s.planId = GENLOCK_PLAN_NTSC_FREE_RUN;
    s.planSource = GENLOCK_SOURCE_FACTORY_DEFAULT;
    s.liveRate = GENLOCK_RATE_5994;
    genlockPublishWord(GENLOCK_BLOCK_STATUS, genlockStatusWordFor(GENLOCK_RATE_5994));
    genlockStatusPublish(GENLOCK_RATE_5994);
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                       "GENLOCK SI5344 SUB-MODULE:%s: head %d Init, set factory default system frame rate: %d.",
                       __func__, (int)instance->head, GENLOCK_RATE_5994);
    s.bootTimerRunning =
        startSubModuleTimeoutEvent(instance->descriptor, GENLOCK_BOOT_TIMER_MS, instance, GENLOCK_TIMER_BOOT) == 0;
    return 0;
}

static void forceLayout(deviceSubmoduleInstance *instance, log4c_category_t *category)
{
    char value[PDS_TEXT_MAX + 1] = "";
    if (persistentDataStorage_GetKey(category, PDS_LOCATION_RESTORE_POINT, "systemFrameRate", value, sizeof value,
                                     nullptr) != PDS_OK) {
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                           "GENLOCK SI5344 SUB-MODULE:%s: FORCE_LAYOUT_EVENT, no system frame rate is found in env "
                           "vars!",
                           __func__);
        return;
    }
    if (atoi(value) == GENLOCK_RATE_5000) {
        kvrFsmSi5344ChangeGenlockPlan(instance, GENLOCK_PLAN_PAL_FREE_RUN, GENLOCK_SOURCE_ENV_VAR);
        return;
    }
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                       "GENLOCK SI5344 SUB-MODULE:%s: FORCE_LAYOUT_EVENT, system frame rate: %d from env var is same "
                       "as factory default, ignored!",
                       __func__, atoi(value));
}

static void headApplied(deviceSubmoduleInstance *instance, layoutEventInfo *event)
{
    genlockSubmoduleState_t &s = genlockState;
    uint32_t hadResolution = s.headEvents & HEAD_RESOLUTION_EVENT;
    s.headEvents = 0;
    if (!hadResolution || event->head != 0 || !event->headRecord)
        return;
    uint32_t rate = event->headRecord->resolution.frameRate;
    s.headARate = isRate(rate) ? (uint16_t)rate : 0;
    if (!s.headARate)
        return;
    if (isRate(s.referenceRate) && !genlockFlags.ursGenerationMode)
        return;
    if (s.headARate != s.liveRate)
        kvrFsmSi5344ChangeGenlockPlan(instance,
                                      s.headARate == GENLOCK_RATE_5994 ? GENLOCK_PLAN_NTSC_URS : GENLOCK_PLAN_PAL_URS,
                                      GENLOCK_SOURCE_HEAD_A_RES);
}

/* Lock regained (or the last lock timer ran out without it). */
static void lockRegained(log4c_category_t *category)
{
    genlockSubmoduleState_t &s = genlockState;
    if (genlockFlags.waitForLockRecovery) {
        kvrFsmGenlockResetTxPll(category, 0);
        kvrFsmGenlockSetMgtVideoClockDisable(category, 0);
        kvrFsmGvAsiTxReset(category);
        uint16_t rate = s.liveRate;
        layoutTargetSpecificEvent(GENLOCK_SYSTEM_FRAME_RATE_EVENT, &rate, sizeof rate);
        genlockFlags.waitForLockRecovery = 0;
    } else {
        kvrFsmGenlockSetMgtVideoClockDisable(category, 0);
        kvrFsmGenlockForceFwReset(category);
    }
}

static void ursChanged(deviceSubmoduleInstance *instance, uint32_t planId)
{
    genlockSubmoduleState_t &s = genlockState;
    if (planId == GENLOCK_PLAN_NTSC_URS || planId == GENLOCK_PLAN_PAL_URS) {
        s.referenceRate = rateOfPlan(planId);
        genlockFlags.ursGenerationMode = 0;
    } else if (planId == GENLOCK_PLAN_URS_DUAL) {
        genlockFlags.ursGenerationMode = 1;
        s.referenceRate = s.headARate;
        planId = s.headARate == GENLOCK_RATE_5994   ? GENLOCK_PLAN_NTSC_URS
                 : s.headARate == GENLOCK_RATE_5000 ? GENLOCK_PLAN_PAL_URS
                                                    : GENLOCK_PLAN_NULL;
    } else {
        s.referenceRate = 0;
    }
    if (planId == GENLOCK_PLAN_NULL)
        return;
    if ((isRate(s.referenceRate) && s.referenceRate != s.liveRate) || planId > s.planId)
        kvrFsmSi5344ChangeGenlockPlan(instance, planId, GENLOCK_SOURCE_URS);
}

static void extSyncChanged(deviceSubmoduleInstance *instance, uint32_t planId)
{
    genlockSubmoduleState_t &s = genlockState;
    if (planId == GENLOCK_PLAN_NTSC_FREE_RUN || planId == GENLOCK_PLAN_PAL_FREE_RUN)
        s.referenceRate = rateOfPlan(planId);
    else
        s.referenceRate = 0;
    if (!isRate(s.referenceRate))
        return;
    if (s.referenceRate == s.liveRate && s.planSource == GENLOCK_SOURCE_EXTSYNC)
        return;
    kvrFsmSi5344ChangeGenlockPlan(instance, planId, GENLOCK_SOURCE_EXTSYNC);
}

static void genlockChanged(deviceSubmoduleInstance *instance, log4c_category_t *category, const genlockChange_t &change)
{
    genlockSubmoduleState_t &s = genlockState;
    s.lastChange = (uint16_t)change.type;
    switch (change.type) {
    case GENLOCK_CHANGE_URS:
        ursChanged(instance, change.planId);
        break;
    case GENLOCK_CHANGE_EXTSYNC:
        extSyncChanged(instance, change.planId);
        break;
    case GENLOCK_CHANGE_LOCK_REGAINED:
        lockRegained(category);
        s.lockRecovered = 1;
        genlockFlags.programmingInProgress = 0;
        break;
    case GENLOCK_CHANGE_LOCK_LOST:
        if (genlockFlags.programmingInProgress)
            break;
        kvrFsmGenlockSetMgtVideoClockDisable(category, 1);
        genlockFlags.programmingInProgress = 1;
        startLockTimer(instance);
        break;
    default:
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "GENLOCK SI5344 SUB-MODULE:%s: unknown GENLOCK_CHANGED_EVENT type %u", __func__,
                           change.type);
        break;
    }
}

static void controllerRate(deviceSubmoduleInstance *instance, log4c_category_t *category, uint16_t rate)
{
    genlockSubmoduleState_t &s = genlockState;
    if (s.controllerRate != 0) {
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                           "GENLOCK SI5344 SUB-MODULE:%s: received STRATA_SYSTEM_FRAME_RATE_EVENT again, ignored, "
                           "previous frame rate is %d.",
                           __func__, s.controllerRate);
        return;
    }
    s.controllerRate = rate;
    if (s.liveRate) {
        if (rate != s.liveRate)
            kvrGenlockSaveFrameRate(s.liveRate, "frame controller differs");
        return;
    }
    if (rate == GENLOCK_RATE_5994)
        kvrFsmSi5344ChangeGenlockPlan(instance, GENLOCK_PLAN_NTSC_FREE_RUN, GENLOCK_SOURCE_FRAME_CONTROLLER);
    else if (rate == GENLOCK_RATE_5000)
        kvrFsmSi5344ChangeGenlockPlan(instance, GENLOCK_PLAN_PAL_FREE_RUN, GENLOCK_SOURCE_FRAME_CONTROLLER);
}

static void timerExpired(deviceSubmoduleInstance *instance, log4c_category_t *category, uint32_t value)
{
    genlockSubmoduleState_t &s = genlockState;
    if (value == GENLOCK_TIMER_BOOT) {
        s.bootTimerRunning = 0;
        s.bootTimeoutPassed = 1;
        if (s.controllerRate == 0)
            log4c_category_log(category, LOG4C_PRIORITY_WARN,
                               "GENLOCK SI5344 SUB-MODULE:%s: boot time out, no system frame rate received from the "
                               "frame controller",
                               __func__);
        if (!isRate(s.referenceRate))
            log4c_category_log(category, LOG4C_PRIORITY_WARN,
                               "GENLOCK SI5344 SUB-MODULE:%s: boot time out, no valid URS reference", __func__);
        return;
    }
    if (value == GENLOCK_TIMER_RETRY) {
        retryPendingPlan(instance, category);
        return;
    }
    if (s.lockTimersRunning > 0)
        s.lockTimersRunning--;
    if (s.lockTimersRunning > 0 || s.lockRecovered)
        return;
    log4c_category_log(category, LOG4C_PRIORITY_WARN,
                       "GENLOCK SI5344 SUB-MODULE:%s: TIMER_TIMEOUT_EVENT RE-ENABLING VIDEO CLOCK, LOL not locked yet "
                       "head %d, lock locked time out(%d seconds).",
                       __func__, (int)instance->head, GENLOCK_LOCK_TIMER_MS / 1000);
    lockRegained(category);
    genlockFlags.programmingInProgress = 0;
}

static void targetEvent(deviceSubmoduleInstance *instance, log4c_category_t *category, layoutEventInfo *event,
                        const void *data)
{
    switch (event->target) {
    case GENLOCK_CHANGED_EVENT: {
        genlockChange_t change;
        if (!data || event->eventSize < sizeof change)
            return;
        memcpy(&change, data, sizeof change);
        genlockChanged(instance, category, change);
        break;
    }
    case STRATA_SYSTEM_FRAME_RATE_EVENT: {
        uint16_t rate = 0;
        if (!data || event->eventSize < sizeof rate)
            return;
        memcpy(&rate, data, sizeof rate);
        controllerRate(instance, category, rate);
        break;
    }
    case GENLOCK_SYSTEM_FRAME_RATE_EVENT: {
        uint16_t rate = 0;
        if (data && event->eventSize >= sizeof rate)
            memcpy(&rate, data, sizeof rate);
        log4c_category_log(category, LOG4C_PRIORITY_INFO,
                           "GENLOCK SI5344 SUB-MODULE:%s: GENLOCK_SYSTEM_FRAME_RATE_EVENT, system frame rate: %d",
                           __func__, rate);
        break;
    }
    default:
        break;
    }
}

static int genlockSi5344Process(deviceSubmoduleInstance *instance, layoutEventInfo *event, const void *data)
{
    genlockSubmoduleState_t &s = genlockState;
    log4c_category_t *category = categoryOf(instance);
    switch (event->headEvent) {
    case FORCE_LAYOUT_EVENT:
        forceLayout(instance, category);
        break;
    case HEAD_RESOLUTION_EVENT:
        s.headEvents |= HEAD_RESOLUTION_EVENT;
        break;
    case HEAD_APPLY_EVENT:
        headApplied(instance, event);
        break;
    case TARGET_SPECIFIC_EVENT:
        targetEvent(instance, category, event, data);
        break;
    case TIMER_TIMEOUT_EVENT: {
        uint32_t value = GENLOCK_TIMER_BOOT;
        if (data)
            memcpy(&value, data, sizeof value);
        timerExpired(instance, category, value);
        break;
    }
    default:
        break;
    }
    log4c_category_log(category, LOG4C_PRIORITY_INFO,
                       "GENLOCK SI5344 SUB-MODULE:%s: head %d plan id[%d], source[%d], live rate[%d], controller "
                       "rate[%d], reference rate[%d], head A rate[%d]",
                       __func__, (int)instance->head, (int)s.planId, (int)s.planSource, s.liveRate, s.controllerRate,
                       s.referenceRate, s.headARate);
    return 0;
}

deviceSubmodule kvrGenlockSi5344Submodule = {
    "kvr-genlockSi5344", genlockSi5344Init, genlockSi5344Process, HEAD_LAYOUT_EVENTS,
    GENLOCK_CHANGED_EVENT | GENLOCK_SYSTEM_FRAME_RATE_EVENT | STRATA_SYSTEM_FRAME_RATE_EVENT, nullptr};
