#include "layoutManager/outputStagePrivate.h"
#include "layoutManager/scalerPrivate.h"

#include "platform/platform.h"

/*
 * The graphics mixer and the graphics writer/reader of heads 0 and 1 on the
 * cards in rear slot index 0 and 1: follows the head's resolution and
 * rotation and the 4k rotation mode.
 */

enum {
    GFX_HEADS = 2,
    GFX_MIXER = 0x1500,               /* + 16 x head */
    GFX_MIXER_FLAGS = 0x18028,        /* + 16 x head */
    GFX_VIDEO_MIXER = 0x18020,        /* + 16 x head */
    GFX_HEAD_STRIDE = 16,
    GFX_CODE_720 = 0x31,
    GFX_CODE_OTHER = 0x65,
    GFX_UNSET = 65535,
    GFX_ROTATION_90 = 1,
    GFX_ROTATION_180 = 2,
    GFX_FLAG_ROTATED = 0x3,
    GFX_FLAG_ROTATED_180 = 0x4,
};

struct graphicProcessorState_t {
    uint32_t events;
    uint32_t code;                    /* last programmed resolution code */
    uint32_t rotation;                /* last programmed rotation */
};

static graphicProcessorState_t gfxStates[GFX_HEADS];

/* Writer/reader enables of heads 0 and 1. */
static const uint32_t gfxWriterReader[GFX_HEADS][2] = {{0xCC1, 0xCD2}, {0xCC4, 0xCD6}};

static const struct {
    uint32_t address;
    uint16_t value;
} gfxInitWrites[] = {
    {0x1048, 0},  {0x1049, 2560}, {0x1050, 128}, {0x1051, 2560}, {0x14C8, 9},
    {0x1242, 0},  {0x1243, 2560}, {0x14C9, 10},  {0x124A, 128},  {0x124B, 2560},
};

#define GFX_LOG(priority, ...) log4c_category_log(graphicProcessorSubmodule.category, priority, __VA_ARGS__)

static void gfxWriteRegister(uint32_t device, uint32_t address, uint16_t value)
{
    frameBufferWriteRegister(device, address, value);
}

static void gfxWriteBlock(uint32_t device, uint32_t base, const uint16_t values[8])
{
    for (uint32_t i = 0; i < 8; i++)
        gfxWriteRegister(device, base + i, values[i]);
}

static uint32_t gfxResolutionCode(const headResolution_t &r)
{
    int is720 = r.vActivePixels == 720 && r.hActivePixels == 1280 && r.vMax == 750 &&
                (r.hMax == 1650 || (r.hMax == 1980 && r.frameRate == 5000 && r.pixelClock == 74250000));
    return is720 ? GFX_CODE_720 : GFX_CODE_OTHER;
}

/*
 * The output line length of a rotated head: 1980 for a 720p head, else 2200
 * in the 59.94 family (every system rate but 5000: an undefined rate counts
 * as 59.94 Hz, as the SDI outputs take it) and 2640 at 50 Hz.
 */
static uint32_t gfxLineLength(uint32_t code)
{
    if (code == GFX_CODE_720)
        return 1980;
    return layoutManagerOutputSystemFrameRate() == SYSTEM_FRAME_RATE_5000 ? 2640 : 2200;
}

static void gfxVideoMixerRotated(const deviceSubmoduleInstance *instance, const headResolution_t &r, uint32_t code,
                                 uint32_t k)
{
    uint32_t head = instance->head;
    GFX_LOG(LOG4C_PRIORITY_INFO, "GRAPHIC_PROCESSOR: HEAD %d. Setting up Video Mixer output to resolution 1080 Rotated.",
            (int)head);
    uint32_t hA = r.hActivePixels, vA = r.vActivePixels;
    uint32_t T = gfxLineLength(code);
    int startsAtZero = (head == 0) == (r.rotation == GFX_ROTATION_90);
    uint16_t start = startsAtZero ? 0 : (uint16_t)((T - k) % T);
    uint16_t end = (uint16_t)(startsAtZero ? hA + k : hA);
    const uint16_t values[8] = {start, end, 38, (uint16_t)(vA + 38), start, end, 37, (uint16_t)(vA + 37)};
    gfxWriteBlock(instance->deviceId, GFX_VIDEO_MIXER + GFX_HEAD_STRIDE * head, values);
}

static void setUpMixerRegisters(deviceSubmoduleInstance *instance, layoutEventInfo *event, int targetEvent)
{
    uint32_t head = instance->head;
    if (!layoutManagerOutputIsFrontPairCard() || head >= GFX_HEADS)
        return;
    graphicProcessorState_t *state = (graphicProcessorState_t *)instance->privateState;
    uint32_t mode4k = 0;
    targetGet4kMode(&mode4k);
    GFX_LOG(LOG4C_PRIORITY_NOTICE, "%s: graphicProcessor: 4k mode status %d", __func__, (int)mode4k);
    const headResolution_t &r = event->headRecord->resolution;
    uint32_t code = gfxResolutionCode(r);
    if (code == state->code && r.rotation == state->rotation && !targetEvent)
        return;
    if (r.rotation > GFX_ROTATION_180) {
        GFX_LOG(LOG4C_PRIORITY_ERROR, "%s: GRAPHIC_PROCESSOR: HEAD %d. Unknown rotation %d, mixer left as it is.",
                __func__, (int)head, (int)r.rotation);
        return;
    }
    state->code = code;
    state->rotation = r.rotation;
    uint32_t device = instance->deviceId;
    uint32_t mixer = GFX_MIXER + GFX_HEAD_STRIDE * head;
    uint32_t flags = GFX_MIXER_FLAGS + GFX_HEAD_STRIDE * head;
    if (r.rotation == ROTATION_UNROTATED) {
        int is720 = code == GFX_CODE_720;
        GFX_LOG(LOG4C_PRIORITY_INFO, "GRAPHIC_PROCESSOR: HEAD %d. Setting up GFX Mixer output to resolution %s.",
                (int)head, is720 ? "720" : "1080");
        static const uint16_t mixer1080[8] = {0, 1920, 42, 1122, 0, 1920, 41, 1121};
        static const uint16_t mixer720[8] = {0, 1280, 26, 747, 0, 1280, 25, 746};
        gfxWriteBlock(device, mixer, is720 ? mixer720 : mixer1080);
        /* Both unrotated outputs clear the rotation flags a rotated layout left. */
        gfxWriteRegister(device, flags, 0);
    } else {
        GFX_LOG(LOG4C_PRIORITY_INFO, "GRAPHIC_PROCESSOR: HEAD %d. Setting up GFX Mixer output to resolution 1080 Rotated.",
                (int)head);
        uint32_t hA = r.hActivePixels, vA = r.vActivePixels;
        const uint16_t values[8] = {32, (uint16_t)(32 + vA), 77, (uint16_t)(hA + 77),
                                    32, (uint16_t)(32 + vA), 76, (uint16_t)(hA + 76)};
        gfxWriteBlock(device, mixer, values);
        gfxVideoMixerRotated(instance, r, code, mode4k ? 8 : 0);
        gfxWriteRegister(device, flags,
                         (uint16_t)(GFX_FLAG_ROTATED | (r.rotation == GFX_ROTATION_180 ? GFX_FLAG_ROTATED_180 : 0)));
    }
    gfxWriteRegister(device, mixer + 8, 1);
    GFX_LOG(LOG4C_PRIORITY_INFO, "GRAPHIC_PROCESSOR: HEAD %d. Enabling Writer/Reader.", (int)head);
    gfxWriteRegister(device, gfxWriterReader[head][0], 1);
    gfxWriteRegister(device, gfxWriterReader[head][1], 1);
}

static int graphicProcessorInit(deviceSubmoduleInstance *instance, layoutEventInfo *event, const layoutHeadList *list)
{
    (void)event;
    (void)list;
    if (instance->head >= GFX_HEADS) {
        GFX_LOG(LOG4C_PRIORITY_ERROR, "GRAPHIC_PROCESSOR: HEAD %d should never be called for this sub-module!!!",
                (int)instance->head);
        instance->privateState = nullptr;
        return 1;
    }
    graphicProcessorState_t *state = &gfxStates[instance->head];
    instance->privateState = state;
    state->events = 0;
    state->code = state->rotation = GFX_UNSET;
    for (const auto &w : gfxInitWrites)
        gfxWriteRegister(instance->deviceId, w.address, w.value);
    return 0;
}

static int graphicProcessorProcess(deviceSubmoduleInstance *instance, layoutEventInfo *event, const void *data)
{
    (void)data;
    graphicProcessorState_t *state = (graphicProcessorState_t *)instance->privateState;
    if (!state)
        return 0;
    int head = (int)instance->head;
    state->events |= event->headEvent;
    switch (event->headEvent) {
    case FORCE_LAYOUT_EVENT:
        setUpMixerRegisters(instance, event, 0);
        state->events = 0;
        break;
    case HEAD_APPLY_EVENT:
        if (state->events & HEAD_RESOLUTION_EVENT)
            setUpMixerRegisters(instance, event, 0);
        state->events = 0;
        break;
    case TARGET_SPECIFIC_EVENT:
        if (event->target == SYS_4K_MODE_ROTATION_CHANGED_EVENT) {
            GFX_LOG(LOG4C_PRIORITY_NOTICE, "GRAPHIC_PROCESSOR: SYS_4K_MODE_ROTATION_CHANGED_EVENT head %d", head);
            setUpMixerRegisters(instance, event, 1);
        } else if (event->target == GENLOCK_SYSTEM_FRAME_RATE_EVENT) {
            GFX_LOG(LOG4C_PRIORITY_INFO, "GRAPHIC_PROCESSOR: Head %d GENLOCK_SYSTEM_FRAME_RATE_EVENT frame rate: %d)",
                    head, (int)layoutManagerOutputSystemFrameRate());
            setUpMixerRegisters(instance, event, 1);
        }
        break;
    default:
        break;
    }
    return 0;
}

deviceSubmodule graphicProcessorSubmodule = {
    "graphicProcessor", graphicProcessorInit, graphicProcessorProcess, HEAD_LAYOUT_EVENTS,
    SYS_4K_MODE_ROTATION_CHANGED_EVENT | GENLOCK_SYSTEM_FRAME_RATE_EVENT, nullptr};
