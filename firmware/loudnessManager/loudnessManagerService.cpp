#include "loudnessManager/loudnessManagerPrivate.h"

#include "deviceManager/deviceManager.h"
#include "genlock/genlock.h"
#include "hal/hal.h"
#include "platform/platform.h"
#include "probing/probing.h"
#include "serviceManager/serviceManager.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <unistd.h>

/*
 * The loudness service: init, the Vsync pacing, the block thread and the
 * writing of results and validity into FSM-FPGA.
 */

loudnessManager_t loudness;

namespace {

enum { RATE_LOG_LIMIT = 20, READY = 1 };
time_t (*clockSource)(void) = nullptr;

uint32_t readWord(uint32_t address, uint16_t *value)
{
    uint8_t bytes[2] = {0, 0};
    uint32_t status = deviceManagerAccess(DEVICE_READ, DEVICE_FSM_FPGA, address, 0, 1, bytes);
    *value = (uint16_t)(bytes[0] << 8 | bytes[1]);
    return status;
}

/* A level in dB as the unsigned tenths of a dB below full scale; silence and overflow saturate. */
uint16_t tenthsBelowFullScale(float level)
{
    if (std::isnan(level))
        return 0xFFFF;
    double tenths = -10.0 * (double)level;
    if (tenths >= 65535.0)
        return 0xFFFF;
    if (tenths <= 0.0)
        return 0;
    return (uint16_t)std::lround(tenths);
}

void debugEvent(uint32_t event, uint32_t action)
{
    platformLoudnessProcessDebuging(loudnessManagerCategory(), event, action);
}

/* Interval and armed-minute segments of one instance. */
void checkSegmentTimers(loudnessInstance &in)
{
    if (!in.intervalDetect && !in.timerStartArmed)
        return;
    time_t now = loudnessManagerNow();
    if (in.timerStartArmed) {
        struct tm utc;
        gmtime_r(&now, &utc);
        log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_DEBUG, "%s Minute of hours  %d wait for %d", __func__,
                           utc.tm_min, (int)in.timerStartMinute);
        if (utc.tm_min == (int)in.timerStartMinute) {
            in.timerStartArmed = 0;
            log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_NOTICE, "%s Segment is started", __func__);
            loudnessManagerReset(in.id);
            in.intervalStart = (uint32_t)now;
        }
    }
    if (in.intervalDetect && in.intervalMinutes != 0 &&
        ((uint32_t)now - in.intervalStart) / 60 >= in.intervalMinutes) {
        log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_NOTICE, "%s A new segment was started", __func__);
        loudnessManagerReset(in.id);
        in.intervalStart = (uint32_t)now;
    }
}

uint32_t readWords(uint32_t address, uint16_t *values, uint32_t count)
{
    uint8_t bytes[2 * LOUDNESS_INSTANCES];
    uint32_t status = deviceManagerAccess(DEVICE_READ, DEVICE_FSM_FPGA, address, 0, count, bytes);
    for (uint32_t i = 0; i < count; i++)
        values[i] = (uint16_t)(bytes[2 * i] << 8 | bytes[2 * i + 1]);
    return status;
}

/* The 36 levels of a bank come in one read; instances whose input uses the other bank skip them. */
void processBank(uint32_t bank)
{
    uint32_t offset = LOUDNESS_BANK_STRIDE * bank;
    uint16_t ready = 0;
    if (readWord(LOUDNESS_READY + offset, &ready) != 0 || ready != READY)
        return;
    debugEvent(2, 1);
    uint16_t levels[LOUDNESS_INSTANCES];
    uint32_t readStatus = readWords(LOUDNESS_LEVEL + offset, levels, LOUDNESS_INSTANCES);
    for (uint32_t n = 0; n < LOUDNESS_INSTANCES; n++) {
        uint32_t setting = 0;
        if (platformGetKvrVideoStreamSetting(loudnessManagerCategory(), n / LOUDNESS_PROBES_PER_INPUT, &setting) !=
                PLATFORM_STREAM_OK ||
            setting != bank)
            continue;
        if (readStatus != 0) {
            log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_ERROR, "%s fail to read loudness from Probe", __func__);
            continue;
        }
        loudnessInstance &in = loudness.instances[n];
        pthread_mutex_lock(&in.mutex);
        debugEvent(4, 1);
        ProcLoudness(&in.measure, levels[n], &in.last);
        debugEvent(4, 0);
        pthread_mutex_unlock(&in.mutex);
        checkSegmentTimers(in);
    }
    uint16_t ignored;
    readWord(LOUDNESS_LEVEL + offset + LOUDNESS_INSTANCES - 1, &ignored);
    debugEvent(2, 0);
}

/* One write of 36 words; a failure is logged for every instance it carried. */
void writeTable(uint32_t address, const uint16_t *values, const char *line)
{
    uint8_t bytes[2 * LOUDNESS_INSTANCES];
    for (uint32_t n = 0; n < LOUDNESS_INSTANCES; n++) {
        bytes[2 * n] = (uint8_t)(values[n] >> 8);
        bytes[2 * n + 1] = (uint8_t)values[n];
    }
    if (deviceManagerAccess(DEVICE_WRITE, DEVICE_FSM_FPGA, address, 0, LOUDNESS_INSTANCES, bytes) != 0)
        for (uint32_t n = 0; n < LOUDNESS_INSTANCES; n++)
            log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_ERROR, line, (int)n);
}

void writeResults(void)
{
    debugEvent(5, 1);
    uint16_t momentary[LOUDNESS_INSTANCES], shortTerm[LOUDNESS_INSTANCES];
    for (uint32_t n = 0; n < LOUDNESS_INSTANCES; n++) {
        loudnessInstance &in = loudness.instances[n];
        pthread_mutex_lock(&in.mutex);
        momentary[n] = tenthsBelowFullScale(in.last.momentary);
        shortTerm[n] = tenthsBelowFullScale(in.last.shortTerm);
        pthread_mutex_unlock(&in.mutex);
    }
    writeTable(LOUDNESS_MOMENTARY, momentary, "Error writing Loudness measurements #%d into FPGA registers");
    writeTable(LOUDNESS_SHORT_TERM, shortTerm, "Error writing Loudness measurements #%d into FPGA registers");
    debugEvent(5, 0);
}

void loudnessManagerInit(serviceDescriptor *service)
{
    log4c_category_t *category = service && service->category ? service->category : loudnessManagerCategory();
    loudness.category = category;
    log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "Entering %s function", __func__);
    loudness.service = service;
    loudness.resultsValid = 0;
    loudness.listenerEnable = 1;
    loudness.threadEnable = 1;
    loudness.listenerSlot = 255;
    loudness.vsyncCount = 0;
    loudness.rateLogCount = 0;
    loudness.debug = access(halPath("/usr/local/q7/logs/enable_loudness_debug.log").c_str(), F_OK) == 0;
    if (loudness.debug)
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "Loudness Debug Enabled");
    else
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "enable_loudness_debug.log is not present");
    if (!loudness.semaphoreCreated) {
        if (sem_init(&loudness.semRunLoudnessThread, 0, 0) != 0) {
            log4c_category_log(category, LOG4C_PRIORITY_ERROR, "semRunLoudnessThread: failed to create semaphore");
            return;
        }
        loudness.semaphoreCreated = 1;
    } else {
        while (sem_trywait(&loudness.semRunLoudnessThread) == 0) {
        }
    }
    log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "semaphore semRunLoudnessThread created successfully");
    static int mutexesCreated = 0;
    for (uint32_t n = 0; n < LOUDNESS_INSTANCES; n++) {
        loudnessInstance &in = loudness.instances[n];
        pthread_mutex_t mutex = in.mutex;
        memset(&in, 0, sizeof in);
        in.mutex = mutex;
        if (!mutexesCreated)
            pthread_mutex_init(&in.mutex, nullptr);
        in.id = (uint8_t)n;
        in.reserved31a = in.reserved31b = 31;
        memset(in.channels, LOUDNESS_CHANNEL_UNUSED, sizeof in.channels);
        InitLoudness(&in.measure);
    }
    mutexesCreated = 1;
}

void loudnessManagerPreThreadStartInit(serviceDescriptor *service)
{
    (void)service;
    probingSrvcRegisterCallback(loudnessVsyncNotify, 1, 0);
    loudnessManagerRegisterListeners();
    loudness.listenerSlot = 255;
    loudnessManagerRegisterPcodes();
}

void loudnessManagerThreadEntry(serviceDescriptor *service)
{
    log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_DEBUG, "Entering %s function", __func__);
    if (!loudness.threadEnable || !loudness.semaphoreCreated)
        return;
    for (;;) {
        int state = service->state.load();
        if (state == SERVICE_STATE_RUN) {
            while (sem_wait(&loudness.semRunLoudnessThread) != 0 && errno == EINTR) {
            }
            if (service->state.load() != SERVICE_STATE_RUN)
                continue;
            loudnessManagerProcessBlock();
        } else if (state == SERVICE_STATE_PAUSE) {
            sem_wait(&service->semaphore);
        } else {
            return;
        }
    }
}

/* Wakes the thread so it sees the new state; the semaphore stays for a later init. */
void loudnessManagerTerminate(serviceDescriptor *service, int newState, int previousState)
{
    (void)service;
    (void)newState;
    (void)previousState;
    if (loudness.semaphoreCreated)
        sem_post(&loudness.semRunLoudnessThread);
}

} // namespace

log4c_category_t *loudnessManagerCategory(void)
{
    if (!loudness.category)
        loudness.category = log4c_category_get("ulm.firmware.loudnessManagerSrvc");
    return loudness.category;
}

time_t loudnessManagerNow(void)
{
    return clockSource ? clockSource() : time(nullptr);
}

void loudnessManagerSetClock(time_t (*clock)(void))
{
    clockSource = clock;
}

void loudnessVsyncNotify(void)
{
    genlockStatus_t status;
    kvrGenlockSi5344GetGenlockStatus(&status);
    uint32_t period = status.systemFrameRate == 5000 ? 4 : status.systemFrameRate == 5994 ? 5 : 0;
    if (period == 0) {
        if (loudness.rateLogCount < RATE_LOG_LIMIT) {
            loudness.rateLogCount++;
            log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_ERROR,
                               "%s kvrGenlockSi5344GetGenlockStatus() returned a non supported system frame rate, Returned "
                               "Value %d (log count %d of %d%s)",
                               __func__, (int)status.systemFrameRate, (int)loudness.rateLogCount, (int)RATE_LOG_LIMIT,
                               loudness.rateLogCount == RATE_LOG_LIMIT ? ", logging stops" : "");
        }
        return;
    }
    loudness.rateLogCount = 0;
    if (++loudness.vsyncCount >= period) {
        loudness.vsyncCount = 0;
        if (loudness.semaphoreCreated)
            sem_post(&loudness.semRunLoudnessThread);
    }
}

void loudnessManagerWriteValidity(uint32_t valid)
{
    log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_DEBUG, "%s function: setting validity bit to %d", __func__,
                       (int)valid);
    uint16_t words[LOUDNESS_INSTANCES];
    for (uint16_t &word : words)
        word = valid ? LOUDNESS_VALID : 0;
    writeTable(LOUDNESS_VALIDITY, words, "Error writing Loudness validity bits #%d into FPGA registers");
}

void loudnessManagerProcessBlock(void)
{
    if (!loudness.resultsValid) {
        loudness.resultsValid = 1;
        loudnessManagerWriteValidity(1);
    }
    debugEvent(1, 1);
    processBank(0);
    processBank(1);
    debugEvent(1, 0);
    writeResults();
}

void loudnessManagerReset(uint32_t instance)
{
    if (instance >= LOUDNESS_INSTANCES)
        return;
    log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_DEBUG, "%s instance %d", "loudnessManagerReset", (int)instance);
    loudnessInstance &in = loudness.instances[instance];
    pthread_mutex_lock(&in.mutex);
    NewSegment(&in.measure);
    in.segmentCount++;
    in.previousDialnorm = in.dialnorm;
    in.previousDialnormKnown = in.dialnormKnown;
    pthread_mutex_unlock(&in.mutex);
}

int loudnessManagerGetInstance(uint32_t instance, loudnessInstanceView_t *view)
{
    if (instance >= LOUDNESS_INSTANCES || !view)
        return 0;
    loudnessInstance &in = loudness.instances[instance];
    pthread_mutex_lock(&in.mutex);
    view->active = in.measure.active;
    view->segmentCount = in.segmentCount;
    view->shortWindowBlocks = in.measure.shortWindowLength;
    view->relativeGate = in.measure.relativeGate;
    view->requirement = in.requirement;
    view->dialnormDetect = in.dialnormDetect;
    view->channelModeDetect = in.channelModeDetect;
    view->intervalDetect = in.intervalDetect;
    view->intervalMinutes = in.intervalMinutes;
    view->timerStartArmed = in.timerStartArmed;
    view->timerStartMinute = in.timerStartMinute;
    memcpy(view->channels, in.channels, sizeof view->channels);
    view->last = in.last;
    pthread_mutex_unlock(&in.mutex);
    return 1;
}

serviceDescriptor loudnessManagerService = {
    "loudnessManager", "ulm.firmware.loudnessManagerSrvc",
    loudnessManagerInit, loudnessManagerPreThreadStartInit, loudnessManagerThreadEntry, loudnessManagerTerminate,
    61, nullptr,
};
