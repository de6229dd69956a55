#include "systemConfigHandler/systemConfigHandlerPrivate.h"

#include "deviceManager/deviceManager.h"
#include "hal/hal.h"
#include "layoutManager/layoutManager.h"
#include "pcodeProcessor/pcodeProcessor.h"
#include "probing/probing.h"
#include "serviceManager/serviceManager.h"
#include "utils/utils.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <glib.h>

/*
 * The system-configuration service: black/freeze zones per input and format
 * index, the freeze limits of the format an input is locked to, the luma and
 * teletext probe words, and the reboot pcode.
 *
 * Locks: the queue's mutex guards only the format-change queues; zoneMutex
 * guards every per-input record, which the pcode thread writes and the
 * service's thread reads. Register writes run outside both.
 */

enum {
    PCODE_CLASS_BLACK_FREEZE = 10, PCODE_ID_BLACK_FREEZE = 10,
    PCODE_CLASS_REBOOT = 30, PCODE_ID_REBOOT = 8,
    TELETEXT_DEVICE = 0xEE,
    ANY_SLOT = 0xFF, ANY_REGISTER = 0xFFFF,
    REG_BLACK_THRESHOLD_FIRST = 16, REG_FREEZE_THRESHOLD_FIRST = 32,
    REG_LUMA_THRESHOLD_FIRST = 48, REG_LUMA_HITS_FIRST = 64,
    REG_TELETEXT_FIRST = 80, REG_TELETEXT_END = 144,
    LUMA_THRESHOLD_MASK = 0x03FF, LUMA_HITS_MASK = 0xF000,
    THREAD_WAIT_MS = 1000,
    STOP_WAIT_MS = 2000,
};

/* A format change: input, format code, locked flag. */
struct formatChange_t {
    uint16_t input;
    uint16_t format;
    uint16_t locked;
    GList link;
};

struct zone_t {
    uint16_t blackThreshold;
    uint16_t hStart, hStop, vStart, vStop;   /* big-endian, ready for the FPGA */
};

struct zoneSet_t {
    uint16_t freezeMin, freezeMax;          /* big-endian */
    zone_t zones[SC_ZONES];
    uint16_t freezeThreshold[SC_ZONES];     /* 0 to 16 */
};

struct videoInputSettings_t {
    zoneSet_t sets[SC_FORMAT_SETS];
    uint32_t currentIndex, currentClass;
    uint32_t writtenIndex, writtenClass;
    uint16_t image[SC_BLOCK_REGISTERS];     /* big-endian register image */
    uint16_t luma, lumaBE;
    uint16_t pages[SC_ZONES], pagesBE[SC_ZONES];
};

/* Freeze limits by format class: min and max at sensitivity 16, then min and max at 0. */
static const uint16_t freezeThresholdTable[4][4] = {
    {1, 1, 4000, 5900},
    {1, 1, 8000, 14500},
    {1, 1, 900, 1700},
    {1, 1, 1750, 2000},
};

static const uint16_t defaultPages[SC_ZONES] = {0x101, 0x102, 0x103, 0x888};

static struct {
    log4c_category_t *category;
    pthread_mutex_t mutex;
    pthread_cond_t condition;
    std::atomic<int> queueReady;
    std::atomic<int> stopping;
    GQueue work;
    GQueue free;
    formatChange_t records[SC_QUEUE_RECORDS];
} scQueue;

static pthread_mutex_t zoneMutex = PTHREAD_MUTEX_INITIALIZER;

/*
 * Whether the thread may be using the queue's mutex and condition: the
 * control function waits on this (never destroyed) pair before it destroys
 * them. A thread paused on its semaphore is outside.
 */
static struct {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t left = PTHREAD_COND_INITIALIZER;
    int inside;
} scThread;
static videoInputSettings_t inputs[SC_VIDEO_INPUTS];

#define SC_LOG(priority, ...) log4c_category_log(scQueue.category, priority, __VA_ARGS__)

static uint16_t toBigEndian(uint16_t value)
{
    uint8_t bytes[2] = {(uint8_t)(value >> 8), (uint8_t)value};
    uint16_t out;
    memcpy(&out, bytes, 2);
    return out;
}

static uint16_t fromBigEndian(uint16_t value)
{
    uint8_t bytes[2];
    memcpy(bytes, &value, 2);
    return (uint16_t)(bytes[0] << 8 | bytes[1]);
}

static uint16_t readBE16(const uint8_t *p)
{
    return (uint16_t)(p[0] << 8 | p[1]);
}

/* ---- pure helpers ---- */

void systemConfigHandlerClassifyFormat(uint32_t formatCode, uint32_t *index, uint32_t *formatClass)
{
    static const struct {
        uint32_t code, index, formatClass;
    } formats[] = {
        {0, 2, 0},  {2, 2, 0},  {4, 2, 0},  {6, 2, 0},  {8, 2, 0},  {10, 3, 1}, {11, 3, 1}, {12, 3, 1},
        {13, 3, 1}, {16, 3, 1}, {19, 3, 1}, {21, 3, 1}, {51, 3, 1}, {52, 3, 1}, {53, 3, 1}, {54, 3, 1},
        {22, 0, 2}, {24, 1, 3},
    };
    *index = *formatClass = SC_FORMAT_NONE;
    for (const auto &f : formats)
        if (f.code == formatCode) {
            *index = f.index;
            *formatClass = f.formatClass;
            return;
        }
}

static uint16_t clampToU16(float value)
{
    if (!(value > 0.0f))
        return 0;
    if (value >= 65535.0f)
        return 65535;
    return (uint16_t)value;
}

uint16_t systemConfigHandlerConvertHPixel(uint32_t value, uint32_t formatIndex)
{
    switch (formatIndex) {
    case 0:
    case 1:
        return clampToU16((float)value * 2.001391f - 2.0f);
    case 2:
    case 3:
        return clampToU16((float)value - 1.0f);
    default:
        SC_LOG(LOG4C_PRIORITY_ERROR, "Unknown pcode convertHPxlCounter big problem PCODE bad format size is %d.",
               (int)formatIndex);
        return 0;
    }
}

uint16_t systemConfigHandlerConvertVLine(uint32_t value, uint32_t formatIndex)
{
    static const float offsets[SC_FORMAT_SETS] = {22.0f, 25.0f, 13.0f, 21.0f};
    static const float scales[SC_FORMAT_SETS] = {0.50104386f, 0.49912435f, 0.49930459f, 0.49953660f};
    if (formatIndex >= SC_FORMAT_SETS) {
        SC_LOG(LOG4C_PRIORITY_ERROR, "Unknown pcode convertVLineCounter big problem PCODE bad format size is %d.",
               (int)formatIndex);
        return 0;
    }
    return clampToU16(offsets[formatIndex] + (float)value * scales[formatIndex]);
}

uint32_t numberToBcd(uint32_t n)
{
    uint32_t out = 0;
    for (uint32_t shift = 0; n != 0 && shift < 32; shift += 4, n /= 10)
        out |= (n % 10) << shift;
    return out;
}

/* ---- freeze limits and the register block (zoneMutex held) ---- */

static void computeFreezeLimits(videoInputSettings_t *input)
{
    if (input->currentIndex >= SC_FORMAT_SETS || input->currentClass >= 4)
        return;
    zoneSet_t *set = &input->sets[input->currentIndex];
    const uint16_t *row = freezeThresholdTable[input->currentClass];
    uint32_t t = set->freezeThreshold[0];
    uint32_t freezeMin = (t * row[0] + (SC_FREEZE_THRESHOLD_MAX - t) * row[2]) / SC_FREEZE_THRESHOLD_MAX;
    uint32_t freezeMax = (t * row[1] + (SC_FREEZE_THRESHOLD_MAX - t) * row[3]) / SC_FREEZE_THRESHOLD_MAX;
    SC_LOG(LOG4C_PRIORITY_INFO, "Sw threshold is %d. Values writing to FPGA are MIN: %d & MAX: %d!", (int)t,
           (int)freezeMin, (int)freezeMax);
    set->freezeMin = toBigEndian((uint16_t)freezeMin);
    set->freezeMax = toBigEndian((uint16_t)freezeMax);
}

/* Builds the block image of input n; 0 when there is nothing to write (logged). */
static int buildBlackFreezeImage(uint32_t n, uint16_t image[SC_BLOCK_REGISTERS])
{
    if (n >= SC_VIDEO_INPUTS) {
        SC_LOG(LOG4C_PRIORITY_ERROR, "%s Bad argument. videoNumber %d is out of range.", __func__, (int)n);
        return 0;
    }
    videoInputSettings_t *input = &inputs[n];
    if (input->currentIndex >= SC_FORMAT_SETS) {
        SC_LOG(LOG4C_PRIORITY_ERROR, "%s Bad argument. currentVideoFormatIndex %d is out of range.", __func__,
               (int)input->currentIndex);
        return 0;
    }
    input->writtenIndex = input->currentIndex;
    input->writtenClass = input->currentClass;
    const zoneSet_t *set = &input->sets[input->currentIndex];
    for (int z = 0; z < SC_ZONES; z++)
        input->image[z] = toBigEndian(set->zones[z].blackThreshold);
    input->image[4] = set->freezeMin;
    input->image[5] = set->freezeMax;
    input->image[6] = input->image[7] = 0;
    const zone_t &zone0 = set->zones[0];
    input->image[8] = zone0.hStart;
    input->image[9] = zone0.hStop;
    input->image[10] = zone0.vStart;
    input->image[11] = zone0.vStop;
    SC_LOG(LOG4C_PRIORITY_INFO,
           "Writing to FPGA video %d: nbRegisters %d; Black Thresh %d, Freeze Thresh Max %d Min %d, and zone "
           "start_pixel %d, stop_pixel %d, start_line %d, stop_line %d.",
           (int)n, SC_BLOCK_REGISTERS, (int)zone0.blackThreshold, (int)fromBigEndian(set->freezeMax),
           (int)fromBigEndian(set->freezeMin), (int)fromBigEndian(zone0.hStart), (int)fromBigEndian(zone0.hStop),
           (int)fromBigEndian(zone0.vStart), (int)fromBigEndian(zone0.vStop));
    memcpy(image, input->image, sizeof input->image);
    return 1;
}

/* Computes input n's limits and writes its block; takes zoneMutex, writes outside it. */
static void writeToBlackFreezeZoneRegisters(uint32_t n, int computeFirst)
{
    uint16_t image[SC_BLOCK_REGISTERS];
    pthread_mutex_lock(&zoneMutex);
    if (computeFirst && n < SC_VIDEO_INPUTS)
        computeFreezeLimits(&inputs[n]);
    int ready = buildBlackFreezeImage(n, image);
    pthread_mutex_unlock(&zoneMutex);
    if (!ready)
        return;
    uint32_t status = deviceManagerAccess(DEVICE_WRITE, DEVICE_DPS_FPGA, SC_BLOCK_BASE + SC_BLOCK_STRIDE * n, 0,
                                          SC_BLOCK_REGISTERS, image);
    if (status != 0)
        SC_LOG(LOG4C_PRIORITY_ERROR, "%s: write of video %d's block failed, status %u", __func__, (int)n, status);
}

/* ---- the format-change queue ---- */

void probingDataChanged(const void *probeRecord)
{
    if (!probeRecord)
        return;
    const uint8_t *record = (const uint8_t *)probeRecord;
    uint32_t report, input;
    memcpy(&report, record + 4, 4);
    if (report == 0)
        return;
    memcpy(&input, record + 8, 4);
    uint32_t valid = record[12] & 1;
    uint32_t format = record[17] & 0x3F;
    SC_LOG(LOG4C_PRIORITY_DEBUG, "%s: VideoIn %d, videoValid %d, format %d.", __func__, (int)input, (int)valid,
           (int)format);
    if (!valid || !scQueue.queueReady)
        return;
    pthread_mutex_lock(&scQueue.mutex);
    GList *link = g_queue_pop_tail_link(&scQueue.free);
    if (link) {
        formatChange_t *change = (formatChange_t *)link->data;
        change->input = (uint16_t)input;
        change->format = (uint16_t)format;
        change->locked = 1;
        g_queue_push_tail_link(&scQueue.work, link);
        pthread_cond_broadcast(&scQueue.condition);
    }
    pthread_mutex_unlock(&scQueue.mutex);
    if (!link) {
        SC_LOG(LOG4C_PRIORITY_ERROR,
               "Big problem! Q full! Dropping Video Format change messages for Calibration service!");
        SC_LOG(LOG4C_PRIORITY_ERROR, "%s: could not get a free message location. Ignoring change.", __func__);
    }
}

static void serveFormatChange(const formatChange_t *change)
{
    SC_LOG(LOG4C_PRIORITY_DEBUG,
           "%s: Popped something from the queue. inputVideoNumber %d, inputVideoFormat 0x%04x, inputVideoLocked %d",
           __func__, (int)change->input, (unsigned)change->format, (int)change->locked);
    uint32_t n = change->input;
    if (n >= SC_VIDEO_INPUTS)
        return;
    uint32_t index, formatClass;
    systemConfigHandlerClassifyFormat(change->format, &index, &formatClass);
    if (!change->locked) {
        SC_LOG(LOG4C_PRIORITY_DEBUG, "%s: videoInputMsgInfoPtr video Not locked will not write any registers.",
               __func__);
        return;
    }
    pthread_mutex_lock(&zoneMutex);
    videoInputSettings_t *input = &inputs[n];
    input->currentIndex = index;
    input->currentClass = formatClass;
    int alreadySet = index == input->writtenIndex && formatClass == input->writtenClass;
    pthread_mutex_unlock(&zoneMutex);
    if (alreadySet) {
        SC_LOG(LOG4C_PRIORITY_DEBUG, "%s: videoInputMsgInfoPtr video locked but freeze zone already set.", __func__);
        return;
    }
    SC_LOG(LOG4C_PRIORITY_DEBUG, "%s: videoInputMsgInfoPtr video locked need to fix freeze zone....", __func__);
    writeToBlackFreezeZoneRegisters(n, 1);
}

static void queueWaitLocked(int timeoutMs)
{
    if (!g_queue_is_empty(&scQueue.work) || scQueue.stopping || timeoutMs <= 0)
        return;
    struct timespec until = utilsDeadlineIn(CLOCK_MONOTONIC, timeoutMs);
    pthread_cond_timedwait(&scQueue.condition, &scQueue.mutex, &until);
}

int systemConfigHandlerServeNext(int timeoutMs)
{
    if (!scQueue.queueReady)
        return 0;
    pthread_mutex_lock(&scQueue.mutex);
    queueWaitLocked(timeoutMs);
    GList *link = g_queue_pop_head_link(&scQueue.work);
    pthread_mutex_unlock(&scQueue.mutex);
    if (!link)
        return 0;
    serveFormatChange((const formatChange_t *)link->data);
    pthread_mutex_lock(&scQueue.mutex);
    g_queue_push_head_link(&scQueue.free, link);
    pthread_mutex_unlock(&scQueue.mutex);
    return 1;
}

uint32_t systemConfigHandlerFreeCount(void)
{
    if (!scQueue.queueReady)
        return 0;
    pthread_mutex_lock(&scQueue.mutex);
    uint32_t count = g_queue_get_length(&scQueue.free);
    pthread_mutex_unlock(&scQueue.mutex);
    return count;
}

/* ---- pcodes and the set-device listener ---- */

int systemConfigHandlerBlackFreeze(const uint8_t *pcode, uint32_t length)
{
    if (length < SC_BLACK_FREEZE_PCODE_SIZE) {
        SC_LOG(LOG4C_PRIORITY_ERROR, "%s: Bad Black freeze pcode of %u bytes; it needs %d. Ignoring it.", __func__,
               length, SC_BLACK_FREEZE_PCODE_SIZE);
        return SC_RESULT_BAD;
    }
    uint32_t channel = pcode[5], format = pcode[6];
    SC_LOG(LOG4C_PRIORITY_INFO, "%s opCode.id %d, dstSlt %d, chan %d, vidFormat %d", __func__, (int)pcode[1],
           (int)pcode[4], (int)channel, (int)format);
    const uint8_t *zones = pcode + 7;
    int thresholdTooHigh = 0, reversedZone = -1;
    for (int z = 0; z < SC_ZONES; z++) {
        const uint8_t *p = zones + 12 * z;
        SC_LOG(LOG4C_PRIORITY_INFO,
               "zone %d: zoneBlackThreshold %d, zoneFreezeThreshold %d, zoneHPixelStart %d, zoneHPixelStop %d, "
               "zoneVLineStart %d, zoneVLineStop %d",
               z, (int)readBE16(p + 2), (int)readBE16(p), (int)readBE16(p + 4), (int)readBE16(p + 8),
               (int)readBE16(p + 6), (int)readBE16(p + 10));
        thresholdTooHigh |= readBE16(p) > SC_FREEZE_THRESHOLD_MAX;
        if (reversedZone < 0 && (readBE16(p + 4) > readBE16(p + 8) || readBE16(p + 6) > readBE16(p + 10)))
            reversedZone = z;
    }
    if (channel >= SC_VIDEO_INPUTS || format >= SC_FORMAT_SETS) {
        SC_LOG(LOG4C_PRIORITY_ERROR,
               "Bad Black freeze pcode videoFormat is: %d channel is %d supported videoFormat is: %d and channel is "
               "%d.",
               (int)format, (int)channel, SC_FORMAT_SETS - 1, SC_VIDEO_INPUTS - 1);
        return SC_RESULT_BAD;
    }
    /* A threshold above 16 would weigh the limits negatively and give garbage limits. */
    if (thresholdTooHigh) {
        SC_LOG(LOG4C_PRIORITY_ERROR, "%s: Bad Black freeze pcode: a freeze threshold is above %d. Ignoring it.",
               __func__, SC_FREEZE_THRESHOLD_MAX);
        return SC_RESULT_BAD;
    }
    /* A zone that starts after it stops covers nothing the probe can measure. */
    if (reversedZone >= 0) {
        const uint8_t *p = zones + 12 * reversedZone;
        SC_LOG(LOG4C_PRIORITY_ERROR,
               "%s: Bad Black freeze pcode: zone %d starts after it stops (pixels %d to %d, lines %d to %d). Ignoring "
               "it.",
               __func__, reversedZone, (int)readBE16(p + 4), (int)readBE16(p + 8), (int)readBE16(p + 6),
               (int)readBE16(p + 10));
        return SC_RESULT_BAD;
    }
    pthread_mutex_lock(&zoneMutex);
    videoInputSettings_t *input = &inputs[channel];
    zoneSet_t *set = &input->sets[format];
    for (int z = 0; z < SC_ZONES; z++) {
        const uint8_t *p = zones + 12 * z;
        zone_t *zone = &set->zones[z];
        set->freezeThreshold[z] = readBE16(p);
        zone->blackThreshold = (uint16_t)(readBE16(p + 2) / 4);
        zone->hStart = toBigEndian(systemConfigHandlerConvertHPixel(readBE16(p + 4), format));
        zone->hStop = toBigEndian(systemConfigHandlerConvertHPixel(readBE16(p + 8), format));
        zone->vStart = toBigEndian(systemConfigHandlerConvertVLine(readBE16(p + 6), format));
        zone->vStop = toBigEndian(systemConfigHandlerConvertVLine(readBE16(p + 10), format));
        SC_LOG(LOG4C_PRIORITY_INFO, "Storing data for video number %d video format %d zone : %d -> freeze zone is 0x%x.",
               (int)channel, (int)format, z, (unsigned)set->freezeThreshold[z]);
    }
    int current = input->currentIndex == format;
    pthread_mutex_unlock(&zoneMutex);
    if (current)
        writeToBlackFreezeZoneRegisters(channel, 1);
    return 0;
}

static void blackFreezeHandler(const uint8_t *pcode, uint32_t length)
{
    systemConfigHandlerBlackFreeze(pcode, length);
}

static void writeProbeWordAsync(uint32_t address, uint16_t *bigEndianWord)
{
    uint32_t status = deviceManagerAccessAsync(DEVICE_WRITE, DEVICE_DPS_FPGA, address, 0, 1, bigEndianWord, nullptr,
                                               nullptr);
    if (status != 0)
        SC_LOG(LOG4C_PRIORITY_ERROR, "%s: write of register 0x%04x not queued, status %u", __func__, address, status);
}

int systemConfigHandlerTeletextPageDetection(uint8_t slot, uint16_t device, uint16_t reg, uint32_t value)
{
    (void)slot;
    if (reg >= REG_BLACK_THRESHOLD_FIRST && reg < REG_FREEZE_THRESHOLD_FIRST) {
        SC_LOG(LOG4C_PRIORITY_INFO, "Got BLACK THRESHOLD setDeviceReg Pcode. Ignoring this obsolete pcode. Now we use "
                                    "a dedicated blackFreezeZone pcode.");
        return SC_RESULT_OBSOLETE;
    }
    if (reg >= REG_FREEZE_THRESHOLD_FIRST && reg < REG_LUMA_THRESHOLD_FIRST) {
        SC_LOG(LOG4C_PRIORITY_INFO, "Got FREEZE THRESHOLD setDeviceReg Pcode. Ignoring this obsolete pcode. Now we use "
                                    "a dedicated blackFreezeZone pcode.");
        return SC_RESULT_OBSOLETE;
    }
    if (reg < REG_LUMA_THRESHOLD_FIRST || reg >= REG_TELETEXT_END)
        return 0;
    uint32_t c = reg < REG_LUMA_HITS_FIRST ? reg - REG_LUMA_THRESHOLD_FIRST
                 : reg < REG_TELETEXT_FIRST ? reg - REG_LUMA_HITS_FIRST
                                            : (reg - REG_TELETEXT_FIRST) / 4;
    /* Registers name inputs 0 to 15, but only inputs 0 to 8 have a probe block. */
    if (c >= SC_VIDEO_INPUTS) {
        SC_LOG(LOG4C_PRIORITY_ERROR, "%s: register %d names video input %d, which has no probe (0 to %d). Ignoring it.",
               __func__, (int)reg, (int)c, SC_VIDEO_INPUTS - 1);
        return SC_RESULT_BAD;
    }
    /* The threshold has 10 bits and the hit count 4: a wider value is refused, never cut to fit. */
    uint32_t widest = reg < REG_LUMA_HITS_FIRST ? (uint32_t)LUMA_THRESHOLD_MASK
                      : reg < REG_TELETEXT_FIRST ? (uint32_t)0xF
                                                 : UINT32_MAX;
    if (value > widest) {
        SC_LOG(LOG4C_PRIORITY_ERROR, "%s: %s value %u of video input %d is above %u. Ignoring it.", __func__,
               reg < REG_LUMA_HITS_FIRST ? "LUMA_TOO_HIGH" : "LUMA_NUMBER_HITS", value, (int)c, widest);
        return SC_RESULT_BAD;
    }
    uint32_t base = SC_BLOCK_BASE + SC_BLOCK_STRIDE * c;
    videoInputSettings_t *input = &inputs[c];
    pthread_mutex_lock(&zoneMutex);
    uint32_t address;
    uint16_t *word;
    if (reg < REG_LUMA_HITS_FIRST) {
        input->luma = (uint16_t)((input->luma & ~LUMA_THRESHOLD_MASK) | (value & LUMA_THRESHOLD_MASK));
        SC_LOG(LOG4C_PRIORITY_INFO,
               "Got LUMA_TOO_HIGH Pcode reg id is: %d dev id is: %d value is: %d videoProbeChannelId is: %d.",
               (int)reg, (int)device, (int)value, (int)c);
    } else if (reg < REG_TELETEXT_FIRST) {
        input->luma = (uint16_t)((input->luma & ~LUMA_HITS_MASK) | ((value & 0xF) << 12));
        SC_LOG(LOG4C_PRIORITY_INFO,
               "Got LUMA_NUMBER_HITS Pcode reg id is: %d dev id is: %d value is: %d videoProbeChannelId is: %d.",
               (int)reg, (int)device, (int)value, (int)c);
    }
    if (reg < REG_TELETEXT_FIRST) {
        input->lumaBE = toBigEndian(input->luma);
        address = base + SC_LUMA_OFFSET;
        word = &input->lumaBE;
    } else {
        uint32_t page = reg % 4;
        input->pages[page] = (uint16_t)numberToBcd(value);
        input->pagesBE[page] = toBigEndian(input->pages[page]);
        SC_LOG(LOG4C_PRIORITY_INFO,
               "Got CONFIG_TELETEXT_PAGE_DETECTION Pcode reg id is: %d dev id is: %d value is: %d "
               "videoProbeChannelId is: %d teletextPageModified is %d.",
               (int)reg, (int)device, (int)value, (int)c, (int)page);
        address = base + SC_TELETEXT_OFFSET + page;
        word = &input->pagesBE[page];
    }
    pthread_mutex_unlock(&zoneMutex);
    writeProbeWordAsync(address, word);
    return 0;
}

static void teletextPageDetectionHandler(uint8_t slot, uint16_t device, uint16_t reg, uint32_t value)
{
    systemConfigHandlerTeletextPageDetection(slot, device, reg, value);
}

void forceCodeReboot(const uint8_t *pcode, uint32_t length)
{
    if (length < PCODE_HEADER_SIZE + 2) {
        SC_LOG(LOG4C_PRIORITY_ERROR, "%s: FORCE_CARD_REBOOT pcode of %u bytes lacks its slot and action. Not rebooting.",
               __func__, length);
        return;
    }
    SC_LOG(LOG4C_PRIORITY_WARN, "%s Pcode: FORCE_CARD_REBOOT received, called for slot %d action  is %d WILL REBOOT!!!!!",
           __func__, (int)pcode[4], (int)pcode[5]);
    if (halReboot() != 0)
        SC_LOG(LOG4C_PRIORITY_ERROR, "%s: reboot request failed errno[%d] = %s", __func__, errno, strerror(errno));
}

/* ---- the service ---- */

static void systemConfigHandlerInit(serviceDescriptor *service)
{
    scQueue.category = service->category;
    pthread_mutexattr_t mutexAttributes;
    pthread_mutexattr_init(&mutexAttributes);
    pthread_mutex_init(&scQueue.mutex, &mutexAttributes);
    pthread_mutexattr_destroy(&mutexAttributes);
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&scQueue.condition, &attributes);
    pthread_condattr_destroy(&attributes);
    g_queue_init(&scQueue.work);
    g_queue_init(&scQueue.free);
    scQueue.stopping = 0;
    for (formatChange_t &record : scQueue.records) {
        record.link.data = &record;
        record.link.next = record.link.prev = nullptr;
        g_queue_push_head_link(&scQueue.free, &record.link);
    }
    scQueue.queueReady = 1;

    pthread_mutex_lock(&zoneMutex);
    memset(inputs, 0, sizeof inputs);
    for (videoInputSettings_t &input : inputs) {
        input.currentIndex = input.currentClass = SC_FORMAT_NONE;
        input.writtenIndex = input.writtenClass = SC_FORMAT_NONE;
        input.luma = SC_LUMA_DEFAULT;
        memcpy(input.pages, defaultPages, sizeof input.pages);
    }
    pthread_mutex_unlock(&zoneMutex);
}

static void systemConfigHandlerPreStart(serviceDescriptor *service)
{
    (void)service;
    static pcodeHandlerInfo blackFreeze = {blackFreezeHandler, PCODE_CLASS_BLACK_FREEZE, PCODE_ID_BLACK_FREEZE, nullptr};
    static pcodeHandlerInfo reboot = {forceCodeReboot, PCODE_CLASS_REBOOT, PCODE_ID_REBOOT, nullptr};
    static setDevicePcodeHandlerInfo teletext = {teletextPageDetectionHandler, ANY_SLOT, TELETEXT_DEVICE, ANY_REGISTER,
                                                 nullptr};
    /* Handlers are linked into the processor's chains: register them once per process. */
    static int registered = 0;
    if (registered)
        return;
    registerSetDevicePcodeHandler(&teletext);
    registerPcodeHandler(&blackFreeze);
    registerPcodeHandler(&reboot);
    videoProbeChangedCallbackRegister(probingDataChanged);
    registered = 1;
}

/* Marks the thread inside (1) or outside (0) the queue; entering fails once the service is stopping. */
static int scThreadInside(int inside)
{
    pthread_mutex_lock(&scThread.mutex);
    int entered = !inside || !scQueue.stopping;
    scThread.inside = inside && entered;
    if (!inside)
        pthread_cond_broadcast(&scThread.left);
    pthread_mutex_unlock(&scThread.mutex);
    return entered;
}

static void systemConfigHandlerThreadEntry(serviceDescriptor *service)
{
    if (!scThreadInside(1))
        return;
    targetEventSystemConfigReady();
    for (;;) {
        int state = service->state;
        if (state == SERVICE_STATE_PAUSE) {
            scThreadInside(0);
            while (sem_wait(&service->semaphore) != 0 && errno == EINTR)
                ;
            if (!scThreadInside(1))
                return;
            continue;
        }
        if (state != SERVICE_STATE_RUN || scQueue.stopping)
            break;
        systemConfigHandlerServeNext(THREAD_WAIT_MS);
    }
    scThreadInside(0);
}

/*
 * Stops the thread, wakes it and waits (bounded) until it has left the queue;
 * only then are the mutex and the condition destroyed. A thread that does not
 * leave in time keeps them, with a line.
 */
static void systemConfigHandlerControl(serviceDescriptor *service, int newState, int previousState)
{
    (void)service;
    (void)newState;
    (void)previousState;
    if (!scQueue.queueReady)
        return;
    pthread_mutex_lock(&scThread.mutex);
    scQueue.stopping = 1;
    pthread_mutex_unlock(&scThread.mutex);
    pthread_mutex_lock(&scQueue.mutex);
    pthread_cond_broadcast(&scQueue.condition);
    pthread_mutex_unlock(&scQueue.mutex);

    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += STOP_WAIT_MS / 1000;
    pthread_mutex_lock(&scThread.mutex);
    while (scThread.inside)
        if (pthread_cond_timedwait(&scThread.left, &scThread.mutex, &until) == ETIMEDOUT)
            break;
    int inside = scThread.inside;
    pthread_mutex_unlock(&scThread.mutex);
    if (inside) {
        SC_LOG(LOG4C_PRIORITY_ERROR, "%s: the thread did not leave within %d ms; its queue stays", __func__,
               STOP_WAIT_MS);
        return;
    }
    scQueue.queueReady = 0;
    pthread_cond_destroy(&scQueue.condition);
    pthread_mutex_destroy(&scQueue.mutex);
}

serviceDescriptor systemConfigHandlerService = {
    "systemConfigHandler", "ulm.firmware.systemConfigSrvc",
    systemConfigHandlerInit, systemConfigHandlerPreStart, systemConfigHandlerThreadEntry, systemConfigHandlerControl,
    55, nullptr,
};
