#include "layoutManager/outputStagePrivate.h"
#include "layoutManager/scalerPrivate.h"

#include "platform/platform.h"
#include "strata/strata.h"
#include "strata/strataAnswers.h"

#include <atomic>
#include <cstring>

/*
 * The SDI output stage of each managed head: output format and rotation
 * format, graphics/video merge and anti-flicker filter, colour bars, the
 * bridge-out flywheel and the output phase relative to genlock. Every
 * register has a shadow: it is written only when its value changes.
 */

enum {
    SDI_FLYWHEEL = 0,
    SDI_FORMAT = 1,
    SDI_PATTERN = 2,
    SDI_MERGE = 8,
    SDI_ANTI_FLICKER = 9,                 /* six coefficients */
    SDI_ROTATION_FORMAT = 0x88F,          /* + 32 x head */
    SDI_HEAD_STRIDE = 32,
    SDI_HEADS = 4,
    SDI_STATUS_HEADS = 2,
    SDI_REAR_SLOTS = 6,
    SDI_FORMAT_INDEXES = 8,
    SDI_ANTI_FLICKER_LEVELS = 5,
    SDI_COEFFICIENTS = 6,
    SDI_FORMAT_BIT_1080I = 0x8000,        /* cards in rear slot index 0/1, heads 0/1 */
    SDI_FORMAT_BIT_VLOAD_UP = 0x4000,
    SDI_FORMAT_CODE_MASK = 0x1FF,
    SDI_ROTATED_FORMAT_5994 = 381,
    SDI_ROTATED_FORMAT_5000 = 509,
    SDI_MERGE_OWN = 0x1000,
    SDI_MERGE_OTHER = 0x0801,             /* video enabled, graphic disabled */
    SDI_HLOAD_MARGIN = 10,
    NQASI_RECORD_SIZE = 17,
};
static const uint32_t SHADOW_UNSET = 0xFFFFFFFF;

enum sdiOutput_t { SDI_720P, SDI_1080I, SDI_1080P };

/* Format codes (bits 0-8) at 5994 and 5000, and the names of the logs. */
static const struct {
    uint16_t code5994, code5000;
    const char *name5994, *name5000;
} sdiFormats[] = {
    {49, 153, "720p 60Hz", "720p 50Hz"},
    {101, 197, "1080i 60Hz", "1080i 50Hz"},
    {101, 197, "1080p 60Hz", "1080p 50Hz"},
};

static const int16_t antiFlickerCoefficients[SDI_ANTI_FLICKER_LEVELS][SDI_COEFFICIENTS] = {
    {254, 1, 0, 0, 0, 0},
    {192, 56, -32, 8, 0, 0},
    {160, 68, -16, -4, 0, 0},
    {128, 78, 0, -18, 0, 4},
    {112, 68, 8, -4, 0, 0},
};

/*
 * Default output loads by output format index: bit 0 rotated, bit 1 50 Hz,
 * bit 2 progressive (1080p). The hLoad rows are per rear slot index (0 and 1
 * share one); every head of a card takes its card's row. vLoad is the same on
 * every card with these exceptions: heads 1 and 3 of cards in slot index 0 or
 * 1 take 970 for 971 and 965 for 966; head 0 of the card in slot index 5 takes
 * 3 for 2 and 1122 for 1121.
 */
static const uint16_t defaultHLoads[SDI_REAR_SLOTS - 1][SDI_FORMAT_INDEXES] = {
    {195, 142, 2250, 2200, 111, 60, 2170, 2114},
    {919, 848, 335, 2922, 840, 780, 240, 2834},
    {1296, 1232, 712, 324, 1219, 1155, 617, 248},
    {1673, 1616, 1089, 696, 1598, 1530, 994, 632},
    {2050, 2000, 1466, 1068, 1977, 1905, 1371, 1016},
};
static const uint16_t defaultVLoads[SDI_FORMAT_INDEXES] = {2, 971, 3, 971, 1121, 966, 1122, 966};

struct sdiOutState_t {
    uint32_t events;
    uint32_t flywheel;                    /* SHADOW_UNSET: never written */
    uint32_t followInput;                 /* from the last probe format change */
    uint32_t pattern, merge, antiFlicker, format, rotationFormat;
    uint32_t colourBars;                  /* the format set-up asks for colour bars */
    uint32_t vLoadUp;                     /* the last kept delay raised vload (1080i on heads 0/1 of cards 0/1) */
    uint16_t hLoads[SDI_FORMAT_INDEXES], vLoads[SDI_FORMAT_INDEXES];
    uint32_t hLoad, vLoad;                /* the output loads in use */
    uint32_t delay;                       /* pixel clocks removed by the last kept delay */
};

static sdiOutState_t sdiOutStates[SDI_HEADS];
static sdiOutputStatusRecord sdiOutStatus[SDI_STATUS_HEADS];

#define SDI_LOG(priority, ...) log4c_category_log(sdiOutSubmodule.category, priority, __VA_ARGS__)

static std::atomic<uint32_t (*)(void)> systemFrameRateReader{nullptr};

void layoutManagerSetSystemFrameRateReader(uint32_t (*reader)(void))
{
    systemFrameRateReader = reader;
}

uint32_t layoutManagerOutputSystemFrameRate(void)
{
    uint32_t (*reader)(void) = systemFrameRateReader;
    return reader ? reader() : layoutGetPrivateData()->systemFrameRate;
}

int layoutManagerOutputIsFrontPairCard(void)
{
    return platformGetCardSlotIndex() <= 1;
}

const sdiOutputStatusRecord *sdiOutGetHeadStatus(uint32_t head)
{
    return head < SDI_STATUS_HEADS ? &sdiOutStatus[head] : nullptr;
}

static void sdiOutWrite(uint32_t device, uint32_t base, uint32_t offset, uint16_t value)
{
    frameBufferWriteRegister(device, base + offset, value);
}

static uint32_t sdiSystemFrameRate(uint32_t head)
{
    uint32_t rate = layoutManagerOutputSystemFrameRate();
    if (rate == SYSTEM_FRAME_RATE_5994 || rate == SYSTEM_FRAME_RATE_5000)
        return rate;
    SDI_LOG(LOG4C_PRIORITY_ERROR, "SDI-OUT: Head %d Genlock is reporting an undefined frame rate. Defaulting to 59.94 Hz.",
            (int)head);
    return SYSTEM_FRAME_RATE_5994;
}

enum sdiResolution_t { RESOLUTION_UNSUPPORTED, RESOLUTION_720P, RESOLUTION_1080 };

/* The head's resolution; `report` logs the request and a refusal. */
static sdiResolution_t sdiResolution(uint32_t head, const headResolution_t &r, int report = 0)
{
    if (report)
        SDI_LOG(LOG4C_PRIORITY_INFO, "SDI-OUT: head %d output resolution requested by sw is %d X %d @ %4.2f Hz, pixelclock=%d",
            (int)head, (int)r.hActivePixels, (int)r.vActivePixels, r.frameRate / 100.0, (int)r.pixelClock);
    if (r.hActivePixels == 1280 && r.vActivePixels == 720 && r.vMax == 750 &&
        ((r.hMax == 1650 && r.frameRate == 5994 && r.pixelClock == 74175824) ||
         (r.hMax == 1980 && r.frameRate == 5000 && r.pixelClock == 74250000)))
        return RESOLUTION_720P;
    if (r.hActivePixels == 1920 && r.vActivePixels == 1080 && r.vMax == 1125 &&
        ((r.hMax == 2200 && r.frameRate == 5994 && r.pixelClock == 148351648) ||
         (r.hMax == 2640 && r.frameRate == 5000 && r.pixelClock == 148500000)))
        return RESOLUTION_1080;
    if (report)
        SDI_LOG(LOG4C_PRIORITY_ERROR,
            "SDI-OUT: Non HDTV resolutions not supported on SDI output. (head %d, v_active_pixels %d, v_max %d, "
            "h_active_pixels %d, h_max %d, framerate %d, pixel_clock %d)",
            (int)head, (int)r.vActivePixels, (int)r.vMax, (int)r.hActivePixels, (int)r.hMax, (int)r.frameRate,
            (int)r.pixelClock);
    return RESOLUTION_UNSUPPORTED;
}

static sdiOutput_t sdiOutputOf(sdiResolution_t resolution, const headResolution_t &r)
{
    if (resolution == RESOLUTION_720P)
        return SDI_720P;
    if (resolution == RESOLUTION_1080 && r.sdiRes == 2)
        return SDI_1080P;
    return SDI_1080I;
}

static int sdiOwnsStatus(const deviceSubmoduleInstance *instance)
{
    return instance->head < SDI_STATUS_HEADS;
}

static int sdiFrontHead(const deviceSubmoduleInstance *instance)
{
    return layoutManagerOutputIsFrontPairCard() && instance->head < 2;
}

/* Hands a changed status record of head 0 or 1 to the frame-controller side. */
static void sdiOfferStatus(uint32_t head, const sdiOutputStatusRecord &record)
{
    if (memcmp(&sdiOutStatus[head], &record, sizeof record) == 0)
        return;
    sdiOutStatus[head] = record;
    platformStrataMessageVigiloOutputStatusUnsolicited(sdiOutSubmodule.category, STATUS_KIND_OUTPUT,
                                                       &sdiOutStatus[head]);
}

static void sdiPatternControl(deviceSubmoduleInstance *instance, layoutEventInfo *event)
{
    sdiOutState_t *state = (sdiOutState_t *)instance->privateState;
    uint32_t head = instance->head;
    uint32_t bars = 0;
    if (sdiFrontHead(instance) && (event->headRecord->attributes.sdi_color_bars == 1 || state->colourBars)) {
        bars = 1;
        SDI_LOG(LOG4C_PRIORITY_TRACE, "SDI-OUT: Head %d, color bars activated", (int)head);
    }
    if (sdiOwnsStatus(instance)) {
        sdiOutputStatusRecord record = sdiOutStatus[head];
        record.testPattern = (uint8_t)bars;
        sdiOfferStatus(head, record);
    }
    if (bars == state->pattern)
        return;
    state->pattern = bars;
    SDI_LOG(LOG4C_PRIORITY_INFO, "SDI-OUT: Head %d Updating patter ctrl register 0x%x [offset 0x%x]", (int)head,
            (unsigned)bars, (unsigned)SDI_PATTERN);
    sdiOutWrite(instance->deviceId, instance->baseAddress, SDI_PATTERN, (uint16_t)bars);
}

static void sdiFormatSetUp(deviceSubmoduleInstance *instance, layoutEventInfo *event)
{
    sdiOutState_t *state = (sdiOutState_t *)instance->privateState;
    uint32_t head = instance->head;
    const headResolution_t &r = event->headRecord->resolution;
    uint32_t rate = sdiSystemFrameRate(head);
    sdiResolution_t resolution = sdiResolution(head, r, 1);
    sdiOutput_t output = sdiOutputOf(resolution, r);
    int at5000 = rate == SYSTEM_FRAME_RATE_5000;
    if (resolution == RESOLUTION_UNSUPPORTED)
        SDI_LOG(LOG4C_PRIORITY_ERROR,
                "SDI-OUT: Head %d Since resolution is not valid, the sdi out is defaulting to 1080i and color bar is "
                "activated.",
                (int)head);
    state->colourBars = resolution == RESOLUTION_UNSUPPORTED;

    uint32_t code = at5000 ? sdiFormats[output].code5000 : sdiFormats[output].code5994;
    const char *name = at5000 ? sdiFormats[output].name5000 : sdiFormats[output].name5994;
    uint32_t flags = 0;
    if (output == SDI_1080I && sdiFrontHead(instance))
        flags |= SDI_FORMAT_BIT_1080I;
    if (state->vLoadUp && (flags & SDI_FORMAT_BIT_1080I))
        flags |= SDI_FORMAT_BIT_VLOAD_UP;
    int rotated = r.rotation != ROTATION_UNROTATED;
    uint32_t rotatedFormat = at5000 ? SDI_ROTATED_FORMAT_5000 : SDI_ROTATED_FORMAT_5994;
    uint32_t format = (rotated ? rotatedFormat : code) | flags;
    uint32_t rotationFormat = rotated ? code | (flags & SDI_FORMAT_BIT_VLOAD_UP) : 0;
    if (format != state->format) {
        state->format = format;
        SDI_LOG(LOG4C_PRIORITY_INFO, "SDI-OUT: Head %d Setting SDI-Out format to %s. Reg value 0x%x [offset 0x%x]",
                (int)head, name, (unsigned)format, (unsigned)SDI_FORMAT);
        sdiOutWrite(instance->deviceId, instance->baseAddress, SDI_FORMAT, (uint16_t)format);
    }
    if (rotationFormat != state->rotationFormat) {
        state->rotationFormat = rotationFormat;
        SDI_LOG(LOG4C_PRIORITY_INFO, "SDI-OUT: Head %d Setting SDI-Out Rotation format to %s. Reg value 0x%x", (int)head,
                name, (unsigned)rotationFormat);
        sdiOutWrite(instance->deviceId, 0, SDI_ROTATION_FORMAT + SDI_HEAD_STRIDE * head, (uint16_t)rotationFormat);
    }
    if (sdiOwnsStatus(instance)) {
        sdiOutputStatusRecord record = sdiOutStatus[head];
        record.headId = (uint8_t)head;
        record.enable = 1;
        record.frameRate = (int16_t)rate;
        record.outputFormat = (int16_t)code;
        record.interlace = output == SDI_1080I;
        record.notHdtv = resolution == RESOLUTION_UNSUPPORTED;
        sdiOfferStatus(head, record);
    }
    sdiPatternControl(instance, event);
}

static void sdiMergeSetUp(deviceSubmoduleInstance *instance, layoutEventInfo *event)
{
    sdiOutState_t *state = (sdiOutState_t *)instance->privateState;
    uint32_t head = instance->head;
    const headAttributes_t &a = event->headRecord->attributes;
    uint32_t merge = SDI_MERGE_OTHER;
    if (sdiFrontHead(instance))
        merge = SDI_MERGE_OWN + (a.vid_en & 1) + 2 * (a.gfx_en & 1);
    if (merge != state->merge) {
        state->merge = merge;
        SDI_LOG(LOG4C_PRIORITY_INFO, "SDI-OUT: Head %d Writing GFX Merge Reg. Video Enabled %d, Graphic Enabled %d",
                (int)head, (int)(merge & 1), (int)((merge >> 1) & 1));
        sdiOutWrite(instance->deviceId, instance->baseAddress, SDI_MERGE, (uint16_t)merge);
    }
    sdiPatternControl(instance, event);
    uint32_t level = a.sdi_anti_flickering;
    if (level == state->antiFlicker)
        return;
    if (level >= SDI_ANTI_FLICKER_LEVELS) {
        SDI_LOG(LOG4C_PRIORITY_ERROR,
                "SDI-OUT: Head %d, Bad anti flickering value requested by sw. Value sent is: %d. Only 0..4 is supported.",
                (int)head, (int)level);
        return;
    }
    state->antiFlicker = level;
    SDI_LOG(LOG4C_PRIORITY_INFO, "SDI-OUT: Head %d, Anti flickering value is: %d", (int)head, (int)level);
    for (int i = 0; i < SDI_COEFFICIENTS; i++)
        sdiOutWrite(instance->deviceId, instance->baseAddress, SDI_ANTI_FLICKER + i,
                    (uint16_t)antiFlickerCoefficients[level][i]);
}

static void sdiBridgeOutFlywheel(deviceSubmoduleInstance *instance)
{
    sdiOutState_t *state = (sdiOutState_t *)instance->privateState;
    uint32_t value = state->followInput ? 1 : 0;
    if (value == state->flywheel)
        return;
    state->flywheel = value;
    SDI_LOG(LOG4C_PRIORITY_INFO, "SDI-OUT: Head %d Changing BridgeOut Flywheel to %d (0=FollowGenlock,1=followInput)",
            (int)instance->head, (int)value);
    sdiOutWrite(instance->deviceId, instance->baseAddress, SDI_FLYWHEEL, (uint16_t)value);
}

/* The fpgaProbeRecord copy: 16 bytes, then one 16-bit word per head (non-zero: the bridge follows the input). */
static void sdiProbeFormatChanged(deviceSubmoduleInstance *instance, const layoutEventInfo *event)
{
    enum { PROBE_HEAD_WORDS = 16 };
    sdiOutState_t *state = (sdiOutState_t *)instance->privateState;
    uint16_t word = 0;
    if (event->eventData && event->eventSize >= PROBE_HEAD_WORDS + 2 * (instance->head + 1))
        memcpy(&word, (const uint8_t *)event->eventData + PROBE_HEAD_WORDS + 2 * instance->head, 2);
    state->followInput = word != 0;
    sdiBridgeOutFlywheel(instance);
}

/* The raster the phase moves in. */
struct sdiRaster_t {
    uint32_t activeWidth, lineLength, lines;
};

static sdiRaster_t sdiRasterOf(int rotated, uint32_t rate)
{
    int at5000 = rate == SYSTEM_FRAME_RATE_5000;
    if (rotated)
        return {2400, at5000 ? 2970u : 2475u, 1000};
    return {1920, at5000 ? 2640u : 2200u, 1125};
}

/* Reports a head's new output to the NqAsi side: format, error and latency in pixels (CPU order). */
static void sdiReportNqAsi(const deviceSubmoduleInstance *instance)
{
    const sdiOutState_t *state = (const sdiOutState_t *)instance->privateState;
    uint8_t record[NQASI_RECORD_SIZE] = {};
    uint16_t format = (uint16_t)(state->format & SDI_FORMAT_CODE_MASK);
    uint32_t phase = 1, latencyPixels = state->delay;
    record[0] = (uint8_t)instance->head;
    memcpy(record + 1, &format, 2);
    record[3] = (uint8_t)state->colourBars;
    memcpy(record + 5, &phase, 4);
    memcpy(record + 13, &latencyPixels, 4);
    platformNqAsiCardTx(sdiOutSubmodule.category, NQASI_KIND_SDI_OUTPUT, instance->head, record);
}

int layoutManagerSdiOutDelayTheOutput(deviceSubmoduleInstance *instance, layoutEventInfo *event, uint32_t hload, uint32_t vload)
{
    sdiOutState_t *state = (sdiOutState_t *)instance->privateState;
    uint32_t head = instance->head;
    const headResolution_t &r = event->headRecord->resolution;
    uint32_t rate = sdiSystemFrameRate(head);
    int rotated = r.rotation != ROTATION_UNROTATED;
    sdiRaster_t raster = sdiRasterOf(rotated, rate);
    uint32_t T = raster.lineLength, L = raster.lines, W = raster.activeWidth;
    if (vload < 1 || vload > L || hload > T - 1) {
        SDI_LOG(LOG4C_PRIORITY_ERROR,
                "SDI-OUT: %s: Input arguments are out of range. Not changing output delay. Head %d, vload=%d (min 1, "
                "max %d), hLoad=%d (min 0, max %d)",
                __func__, (int)head, (int)vload, (int)L, (int)hload, (int)(T - 1));
        return 1;
    }
    /* The processing delay in pixel clocks, doubled for 1080i. */
    int at5000 = rate == SYSTEM_FRAME_RATE_5000;
    uint32_t d = (uint32_t)(at5000 ? 2640 * 1.02 : 2200 * 1.027);
    int interlaced = sdiOutputOf(sdiResolution(head, r), r) == SDI_1080I;
    if (interlaced)
        d *= 2;
    int64_t frame = (int64_t)L * T;
    int64_t p = (int64_t)hload + (int64_t)(vload - 1) * T - d;
    while (p < 0)
        p += frame;
    p %= frame;
    uint32_t newV = (uint32_t)((p + T) / T);
    uint32_t newH = (uint32_t)((p + T) % T);
    uint32_t adjusted = newH;
    /* Keep the phase out of the 10 pixel clocks around the end of the active line and of the line. */
    if (adjusted + SDI_HLOAD_MARGIN > W && adjusted < W + SDI_HLOAD_MARGIN)
        adjusted = adjusted < W ? W - SDI_HLOAD_MARGIN : W + SDI_HLOAD_MARGIN;
    else if (adjusted + SDI_HLOAD_MARGIN > T)
        adjusted = T - SDI_HLOAD_MARGIN;
    if (adjusted != newH) {
        SDI_LOG(LOG4C_PRIORITY_INFO, "SDI-OUT: Head %d, %s: hload needed adjusting. It was %d, now its %d.", (int)head,
                __func__, (int)newH, (int)adjusted);
        newH = adjusted;
    }
    if (newV < 1 || newV > L || newH > T - 1) {
        SDI_LOG(LOG4C_PRIORITY_ERROR,
                "SDI-OUT: Head %d, %s: Calculated hload vload values are out of range. Not changing output delay. "
                "vload=%d (min 1, max %d), hLoad=%d (min 0, max %d). Tried to remove %f lines from vload %d, hload %d.",
                (int)head, __func__, (int)newV, (int)L, (int)newH, (int)(T - 1), (double)d / T, (int)vload, (int)hload);
        return 1;
    }
    SDI_LOG(LOG4C_PRIORITY_INFO, "SDI-OUT: Head %d, %s: Old vload = %d, hload = %d. New vload = %d, hload = %d.",
            (int)head, __func__, (int)vload, (int)hload, (int)newV, (int)newH);
    state->hLoad = newH;
    state->vLoad = newV;
    state->delay = d;
    state->vLoadUp = sdiFrontHead(instance) && interlaced && newV > vload;
    sdiFormatSetUp(instance, event);
    if (sdiOwnsStatus(instance))
        sdiReportNqAsi(instance);
    return 0;
}

/* The phase set-up: the default loads of the head's output, then the delay core. */
static void sdiOutputDelay(deviceSubmoduleInstance *instance, layoutEventInfo *event)
{
    sdiOutState_t *state = (sdiOutState_t *)instance->privateState;
    uint32_t head = instance->head;
    const headLayoutRecord *record = event->headRecord;
    const headResolution_t &r = record->resolution;
    uint32_t rate = sdiSystemFrameRate(head);
    sdiResolution_t resolution = sdiResolution(head, r);
    int progressive = resolution == RESOLUTION_1080 && r.sdiRes == 2;
    if (resolution == RESOLUTION_720P)
        SDI_LOG(LOG4C_PRIORITY_ERROR,
                "SDI-OUT: Error, Head %d Output resolution is not 1080. Will load HLoad and Vload defaults for 1080i.",
                (int)head);
    else if (resolution == RESOLUTION_UNSUPPORTED)
        SDI_LOG(LOG4C_PRIORITY_ERROR,
                "SDI-OUT: Head %d Output resolution not supported. Will load HLoad and Vload defaults for 1080i.",
                (int)head);
    uint32_t index = (r.rotation != ROTATION_UNROTATED ? 1 : 0) + (rate == SYSTEM_FRAME_RATE_5000 ? 2 : 0) +
                     (progressive ? 4 : 0);
    uint32_t hload = state->hLoads[index], vload = state->vLoads[index];
    SDI_LOG(LOG4C_PRIORITY_INFO, "SDI-OUT: Head %d setting SDI-Out phase processing Delay=%d, hload=%d, vLoad=%d, "
                                 "mv_delay=%d",
            (int)head, (int)record->attributes.processingDelay, (int)hload, (int)vload, (int)record->audioDelay);
    layoutManagerSdiOutDelayTheOutput(instance, event, hload, vload);
}

static int sdiOutInit(deviceSubmoduleInstance *instance, layoutEventInfo *event, const layoutHeadList *list)
{
    (void)event;
    (void)list;
    uint32_t head = instance->head, slot = platformGetCardSlotIndex();
    /* OUT_STATUS answers read the heads' records through this reader. */
    strataRegisterHeadStatusReader(sdiOutGetHeadStatus);
    SDI_LOG(LOG4C_PRIORITY_INFO, "SDI-OUT: Initializing head %d instance with vLoad hLoad values of kvr card %d.",
            (int)head, (int)slot);
    if (head >= SDI_HEADS) {
        SDI_LOG(LOG4C_PRIORITY_ERROR,
                "SDI-OUT: Head %d not supported!!! This sub-module only supports a max of %d Heads in the system.",
                (int)head, SDI_HEADS);
        instance->privateState = nullptr;
        return 1;
    }
    if (slot >= SDI_REAR_SLOTS) {
        SDI_LOG(LOG4C_PRIORITY_ERROR,
                "SDI-OUT: Rear Slot %d not supported!!! This sub-module only supports a max of %d Cards in the system.",
                (int)slot, SDI_REAR_SLOTS);
        slot = 0;
    }
    sdiOutState_t *state = &sdiOutStates[head];
    instance->privateState = state;
    memset(state, 0, sizeof *state);
    state->flywheel = state->pattern = state->merge = state->antiFlicker = SHADOW_UNSET;
    state->format = state->rotationFormat = SHADOW_UNSET;
    const uint16_t *hLoads = defaultHLoads[slot <= 1 ? 0 : slot - 1];
    for (int i = 0; i < SDI_FORMAT_INDEXES; i++) {
        uint16_t v = defaultVLoads[i];
        if (slot <= 1 && (head == 1 || head == 3) && (v == 966 || v == 971))
            v = (uint16_t)(v - 1);
        if (slot == 5 && head == 0 && (v == 2 || v == 1121))
            v = (uint16_t)(v + 1);
        state->vLoads[i] = v;
        state->hLoads[i] = hLoads[i];
    }
    state->hLoad = state->hLoads[0];
    state->vLoad = state->vLoads[0];
    if (head < SDI_STATUS_HEADS) {
        memset(&sdiOutStatus[head], 0, sizeof sdiOutStatus[head]);
        sdiOutStatus[head].headId = (uint8_t)head;
    }
    return 0;
}

static int sdiOutProcess(deviceSubmoduleInstance *instance, layoutEventInfo *event, const void *data)
{
    (void)data;
    sdiOutState_t *state = (sdiOutState_t *)instance->privateState;
    if (!state)
        return 0;
    state->events |= event->headEvent;
    switch (event->headEvent) {
    case FORCE_LAYOUT_EVENT:
        sdiMergeSetUp(instance, event);
        sdiBridgeOutFlywheel(instance);
        sdiFormatSetUp(instance, event);
        state->events = 0;
        sdiOutputDelay(instance, event);
        break;
    case HEAD_APPLY_EVENT: {
        uint32_t events = state->events;
        if (!(events & (HEAD_RESOLUTION_EVENT | HEAD_ATTRIBUTES_EVENT)))
            break;
        /* A resolution and attributes changed in one layout: both are applied. */
        if (events & HEAD_RESOLUTION_EVENT)
            sdiFormatSetUp(instance, event);
        if (events & HEAD_ATTRIBUTES_EVENT)
            sdiMergeSetUp(instance, event);
        state->events = 0;
        sdiOutputDelay(instance, event);
        break;
    }
    case TARGET_SPECIFIC_EVENT:
        if (event->target == TARGET_PROBE_FORMAT_CHANGE_EVENT) {
            sdiProbeFormatChanged(instance, event);
        } else if (event->target == GENLOCK_SYSTEM_FRAME_RATE_EVENT) {
            SDI_LOG(LOG4C_PRIORITY_INFO, "SDI-OUT: Head %d GENLOCK_SYSTEM_FRAME_RATE_EVENT frame rate: %d)",
                    (int)instance->head, (int)layoutManagerOutputSystemFrameRate());
            sdiFormatSetUp(instance, event);
            sdiOutputDelay(instance, event);
        }
        break;
    default:
        break;
    }
    return 0;
}

deviceSubmodule sdiOutSubmodule = {"Ulm-2-sdiOut", sdiOutInit, sdiOutProcess, HEAD_LAYOUT_EVENTS | HEAD_ATTRIBUTES_EVENT,
                                   TARGET_PROBE_FORMAT_CHANGE_EVENT | GENLOCK_SYSTEM_FRAME_RATE_EVENT |
                                       GENLOCK_CHANGED_EVENT,
                                   nullptr};
