#include "layoutManager/outputStagePrivate.h"
#include "layoutManager/scalerPrivate.h"

#include "deviceManager/deviceManager.h"
#include "platform/platform.h"

#include <cmath>
#include <cstring>

/*
 * The frame buffer's rotation section of heads 0 and 1, the idle sub-modules
 * (output arbiter, scaler feeder, layer window control) and the small
 * register and arithmetic helpers of the scaler sub-module.
 */

enum {
    ROTATION_NONE = 0,
    ROTATION_90 = 1,
    ROTATION_180 = 2,
    ROTATION_UNSET = 65535,
    FB_OUTPUT_CONTROL_HEAD0 = 11,
    FB_OUTPUT_CONTROL_HEAD1 = 12,
    FB_4K_CONTROL = 0x148C,
    FB_4K_CONTROL_ON = 0x20B,
    FB_4K_CONTROL_OFF = 0xB,
    FIXED_ONE = 262144,               /* 18 fractional bits */
    FIXED_RANGE = 16777216,           /* 24-bit two's complement */
};

struct frameBufferState_t {
    uint32_t events;                  /* accumulated since the last programming */
    uint32_t rotation;                /* last programmed */
};

/* Registers of the rotation section, by head 0 and 1. */
static const struct {
    uint32_t enable1, enable2, startX, startY, outputControl;
    uint16_t outputControlValue;
} fbRegisters[2] = {
    {0xCC2, 0xCD3, 0x1252, 0x1253, 0x14CA, FB_OUTPUT_CONTROL_HEAD0},
    {0xCC5, 0xCD7, 0x125A, 0x125B, 0x14CB, FB_OUTPUT_CONTROL_HEAD1},
};

static frameBufferState_t frameBufferStates[2];

#define FB_LOG(priority, ...) log4c_category_log(frameBufferSubmodule.category, priority, __VA_ARGS__)

int frameBufferWriteRegister(uint32_t device, uint32_t address, uint16_t value)
{
    uint8_t bytes[2] = {(uint8_t)(value >> 8), (uint8_t)value};
    uint32_t status = deviceManagerAccess(DEVICE_WRITE, device, address, 0, 1, bytes);
    if (status != 0) {
        FB_LOG(LOG4C_PRIORITY_ERROR, "%s: write of device %d register %d (0x%04x) = %d failed, status %u", __func__,
               (int)device, (int)address, address, (int)value, status);
        return (int)status;
    }
    return 0;
}

uint16_t scalerReadRegister(uint32_t device, uint32_t address)
{
    uint8_t bytes[2] = {0, 0};
    if (deviceManagerAccess(DEVICE_READ, device, address, 0, 1, bytes) != 0)
        return 0;
    return (uint16_t)((bytes[0] << 8) | bytes[1]);
}

uint32_t scalerHeadIndexMap(uint32_t a, uint32_t b, uint32_t i)
{
    static const uint32_t other[4] = {2, 3, 0, 1};
    if (i > 3)
        return 0;
    return a == b ? i : other[i];
}

uint32_t scalerRatioToFixed(uint32_t a, uint32_t b)
{
    if (b == 0)
        return 0;
    float ratio = ((float)a - (float)b) / (float)b;
    double x = (double)ratio * FIXED_ONE;
    int64_t value = a >= b ? (int64_t)x : (int64_t)std::ceil(x - 1.0);
    if (value < 0)
        value += FIXED_RANGE;
    return (uint32_t)value & (FIXED_RANGE - 1);
}

static int frameBufferInit(deviceSubmoduleInstance *instance, layoutEventInfo *event, const layoutHeadList *list)
{
    (void)event;
    (void)list;
    FB_LOG(LOG4C_PRIORITY_NOTICE, "%s: Framebuffer: Called frameBufferInit %s devid is: %d", __func__,
           instance->descriptor->name, (int)instance->deviceId);
    if (instance->head >= 2)
        return 0;
    frameBufferState_t *state = &frameBufferStates[instance->head];
    instance->privateState = state;
    state->events = 0;
    state->rotation = ROTATION_UNSET;
    return 0;
}

/* The start of the rotated picture; 0 when the rotation has no start values. */
static int rotationStart(uint32_t head, uint32_t rotation, uint32_t hA, uint32_t vA, uint32_t k, uint16_t *x,
                         uint16_t *y)
{
    switch (rotation) {
    case ROTATION_NONE:
        *x = 0;
        *y = 0;
        return 1;
    case ROTATION_90:
        *x = (uint16_t)(head == 0 ? 4608 : hA / 4 + 4608 - k / 4);
        *y = (uint16_t)(vA / 4 + 7);
        return 1;
    case ROTATION_180:
        *x = (uint16_t)(head == 0 ? hA / 4 + 4607 + k / 4 : 2 * (hA / 4) + 4607);
        *y = 8;
        return 1;
    default:
        return 0;
    }
}

static void controlFramebufferROTsection(deviceSubmoduleInstance *instance, layoutEventInfo *event, int forced)
{
    uint32_t slot = platformGetCardSlotIndex();
    if (slot > 1)
        return;
    frameBufferState_t *state = (frameBufferState_t *)instance->privateState;
    const headResolution_t &resolution = event->headRecord->resolution;
    uint32_t rotation = resolution.rotation;
    if (rotation == state->rotation && !forced)
        return;
    state->rotation = rotation;
    uint32_t mode4k = 0;
    targetGet4kMode(&mode4k);
    FB_LOG(LOG4C_PRIORITY_NOTICE, "%s: Framebuffer: 4k mode status %d", __func__, (int)mode4k);
    uint32_t k = mode4k ? 8 : 0;
    uint32_t head = instance->head;
    if (head > 1) {
        FB_LOG(LOG4C_PRIORITY_ERROR,
               "%s: Framebuffer: ERROR! This sub-module was not designed to be called from heads other than 0 and 1. "
               "Called head %d",
               __func__, (int)head);
        return;
    }
    uint16_t startX, startY;
    /* An unknown rotation has no start position: leave the section as it is. */
    if (!rotationStart(head, rotation, resolution.hActivePixels, resolution.vActivePixels, k, &startX, &startY)) {
        FB_LOG(LOG4C_PRIORITY_ERROR, "%s: Framebuffer: ERROR! Unknown rotation %d for head %d", __func__,
               (int)rotation, (int)head);
        return;
    }
    uint32_t device = instance->deviceId;
    uint16_t enable = rotation == ROTATION_90 || rotation == ROTATION_180 ? 1 : 0;
    frameBufferWriteRegister(device, fbRegisters[head].enable1, enable);
    frameBufferWriteRegister(device, fbRegisters[head].enable2, enable);
    frameBufferWriteRegister(device, fbRegisters[head].startX, startX);
    frameBufferWriteRegister(device, fbRegisters[head].startY, startY);
    frameBufferWriteRegister(device, fbRegisters[head].outputControl, fbRegisters[head].outputControlValue);
    if (head == 1)
        audioMonitoringWriteAbsolute(instance, FB_4K_CONTROL, mode4k == 1 ? FB_4K_CONTROL_ON : FB_4K_CONTROL_OFF);
}

static int frameBufferProcess(deviceSubmoduleInstance *instance, layoutEventInfo *event, const void *data)
{
    (void)data;
    frameBufferState_t *state = (frameBufferState_t *)instance->privateState;
    if (!state)
        return 0;
    int head = (int)instance->head;
    state->events |= event->headEvent;
    switch (event->headEvent) {
    case FORCE_LAYOUT_EVENT:
        state->events = 0;
        FB_LOG(LOG4C_PRIORITY_NOTICE, "%s: Framebuffer:FORCE_LAYOUT_EVENT head %d", __func__, head);
        controlFramebufferROTsection(instance, event, 0);
        break;
    case HEAD_APPLY_EVENT:
        if (!(state->events & HEAD_RESOLUTION_EVENT))
            break;
        FB_LOG(LOG4C_PRIORITY_NOTICE, "%s: Framebuffer: HEAD_APPLY_EVENT with HEAD_RESOLUTION_EVENT head %d", __func__,
               head);
        controlFramebufferROTsection(instance, event, 0);
        state->events = 0;
        break;
    case TARGET_SPECIFIC_EVENT:
        if (event->target == SYS_4K_MODE_ROTATION_CHANGED_EVENT) {
            FB_LOG(LOG4C_PRIORITY_NOTICE, "%s: Framebuffer: SYS_4K_MODE_ROTATION_CHANGED_EVENT head %d", __func__,
                   head);
            controlFramebufferROTsection(instance, event, 1);
        } else if (event->target == GENLOCK_SYSTEM_FRAME_RATE_EVENT) {
            FB_LOG(LOG4C_PRIORITY_INFO, "%s: Framebuffer: Head %d GENLOCK_SYSTEM_FRAME_RATE_EVENT frame rate: %d)",
                   __func__, head, (int)layoutGetPrivateData()->systemFrameRate);
            controlFramebufferROTsection(instance, event, 1);
        }
        break;
    default:
        break;
    }
    return 0;
}

deviceSubmodule frameBufferSubmodule = {"frameBuffer", frameBufferInit, frameBufferProcess, HEAD_LAYOUT_EVENTS,
                                         SYS_4K_MODE_ROTATION_CHANGED_EVENT | GENLOCK_SYSTEM_FRAME_RATE_EVENT, nullptr};

/* ---- idle sub-modules ---- */

static int outputArbiterInit(deviceSubmoduleInstance *instance, layoutEventInfo *event, const layoutHeadList *list)
{
    (void)list;
    log4c_category_t *category = outputArbiterSubmodule.category;
    log4c_category_log(category, LOG4C_PRIORITY_TRACE, "%s: Called outputArbiterInit %s devid is: %d", __func__,
                       instance->descriptor->name, (int)instance->deviceId);
    log4c_category_log(category, LOG4C_PRIORITY_TRACE, "%s: Number of windows %d for head %d", __func__,
                       event && event->headRecord ? (int)event->headRecord->windowQuantity : 0, (int)instance->head);
    return 0;
}

static int idleInit(deviceSubmoduleInstance *instance, layoutEventInfo *event, const layoutHeadList *list)
{
    (void)instance;
    (void)event;
    (void)list;
    return 0;
}

static int idleProcess(deviceSubmoduleInstance *instance, layoutEventInfo *event, const void *data)
{
    (void)instance;
    (void)event;
    (void)data;
    return 0;
}

deviceSubmodule outputArbiterSubmodule = {"outputArbiter", outputArbiterInit, idleProcess, 0,
                                          SYS_RES_MNGT_NOTIFICATION_EVENTS, nullptr};
deviceSubmodule scalerFeederSubmodule = {"scalerFeeder", idleInit, idleProcess, 0, SYS_RES_MNGT_NOTIFICATION_EVENTS,
                                         nullptr};
deviceSubmodule layerWinCtrlSubmodule = {"layerWinCtrl", idleInit, idleProcess, 0, SYS_RES_MNGT_NOTIFICATION_EVENTS,
                                         nullptr};
