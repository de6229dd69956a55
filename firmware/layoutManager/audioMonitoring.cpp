#include "layoutManager/outputStagePrivate.h"
#include "layoutManager/scalerPrivate.h"

#include "platform/platform.h"

#include <cstring>

/*
 * The monitored audio pair of each output head: the embedded audio of a
 * video input (through the ATDM channels in MDX mode), a MADI/SDTI channel
 * pair, a tone, or pass-through of audio another card drives.
 */

enum {
    AM_HEADS = 4,
    AM_GROUPS = 8,
    AM_GROUP_FIRST = 32,              /* group k at base + 32 + 4k */
    AM_GROUP_STRIDE = 4,
    AM_OUTPUT_CONTROL = 0x883,        /* + 32 x head */
    AM_TONE = 0x884,                  /* + 32 x head */
    AM_HEAD_STRIDE = 32,
    AM_FLAG_ATDM = 0x1,
    AM_DRIVE = 0x3,                   /* output control bits 0-1 */
    AM_PASS_THROUGH = 0x80,           /* output control bit 7 */
    AM_DRIVE_BIT_1 = 0x2,
    AM_TONE_ON = 255,
    AM_TONE_OFF = 0,
    AM_SOURCE_EMBEDDED = 0,
    AM_SOURCE_EXTERNAL = 1,
    AM_SOURCE_SDTI = 2,
    AM_SOURCE_TONE = 3,
    AM_ANY_SLOT = 1,                  /* qviSourceSlotId that every card drives */
    AM_NO_INPUT = 255,
    AM_MADI_FIRST = 128,
    AM_MADI_LAST = 159,
    AM_EMBEDDED_AES_MAX = 7,
    AM_VIDEO_INPUT_MAX = 8,
};

struct audioMonitoringState_t {
    uint32_t events;
    uint32_t flags;
    uint16_t groups[AM_GROUPS][3];    /* source select, even channel, odd channel */
    uint16_t outputControl;
    uint8_t tone;
    uint32_t drive;
};

static audioMonitoringState_t audioMonitoringStates[AM_HEADS];

#define AM_LOG(priority, ...) log4c_category_log(audioMonitoringInCtrlSubmodule.category, priority, __VA_ARGS__)

static void audioMonitoringWrite(const deviceSubmoduleInstance *instance, uint32_t base, uint32_t offset,
                                 uint16_t value)
{
    AM_LOG(LOG4C_PRIORITY_TRACE,
           "Audio_Monitoring: audioMonitoringInCtrl Writing devId %d at address 0x%04x (0x%04x + 0x%04x), the value "
           "0x%04x",
           (int)instance->deviceId, base + offset, base, offset, (unsigned)value);
    frameBufferWriteRegister(instance->deviceId, base + offset, value);
}

int audioMonitoringWriteAbsolute(const deviceSubmoduleInstance *instance, uint32_t address, uint16_t value)
{
    AM_LOG(LOG4C_PRIORITY_TRACE,
           "Audio_Monitoring: audioMonitoringInCtrl: ABSOLUTE ADDRESSING!! Writing devId %d at address 0x%04x, the "
           "value 0x%04x",
           (int)instance->deviceId, address, (unsigned)value);
    return frameBufferWriteRegister(instance->deviceId, address, value);
}

static void writeGroup(const deviceSubmoduleInstance *instance, audioMonitoringState_t *state, uint32_t k)
{
    uint32_t first = AM_GROUP_FIRST + AM_GROUP_STRIDE * k;
    for (uint32_t r = 0; r < 3; r++)
        audioMonitoringWrite(instance, instance->baseAddress, first + r, state->groups[k][r]);
}

/* Group 0 takes source s and the channel pair 2n, 2n + 1, both enabled. */
static void selectGroup0(const deviceSubmoduleInstance *instance, audioMonitoringState_t *state, uint32_t source,
                         uint32_t n)
{
    uint32_t even = (2 * n) % 256;
    state->groups[0][0] = (uint16_t)(source & 0xF);
    state->groups[0][1] = (uint16_t)(even << 1 | 1);
    state->groups[0][2] = (uint16_t)((even + 1) << 1 | 1);
    writeGroup(instance, state, 0);
}

static void writeTone(const deviceSubmoduleInstance *instance, audioMonitoringState_t *state, uint8_t tone)
{
    state->tone = tone;
    audioMonitoringWriteAbsolute(instance, AM_TONE + AM_HEAD_STRIDE * instance->head, tone);
}

static void writeAtdmPath(const deviceSubmoduleInstance *instance, audioMonitoringState_t *state, int atdm)
{
    state->flags = atdm ? state->flags | AM_FLAG_ATDM : state->flags & ~(uint32_t)AM_FLAG_ATDM;
    audioMonitoringWrite(instance, instance->baseAddress, 0, atdm ? 1 : 0);
}

static void applyOutputControl(const deviceSubmoduleInstance *instance, audioMonitoringState_t *state,
                               const headLayoutRecord *record, uint32_t drive)
{
    state->drive = drive;
    uint16_t control = state->outputControl;
    if (drive)
        control = (uint16_t)((control | AM_DRIVE) & ~AM_PASS_THROUGH);
    else if (layoutManagerOutputIsFrontPairCard() && instance->head < 2)
        control = (uint16_t)(control | AM_DRIVE | AM_PASS_THROUGH);
    else
        control = (uint16_t)(control & ~(AM_DRIVE | AM_PASS_THROUGH));
    if (record->resolution.rotation != ROTATION_UNROTATED)
        control = (uint16_t)(control & ~AM_DRIVE_BIT_1);
    state->outputControl = control;
    audioMonitoringWriteAbsolute(instance, AM_OUTPUT_CONTROL + AM_HEAD_STRIDE * instance->head, control);
}

static uint32_t streamMode(uint32_t input)
{
    uint32_t mode = PLATFORM_STREAM_HYBRID;
    if (platformGetKvrVideoStreamSetting(audioMonitoringInCtrlSubmodule.category, input, &mode) != PLATFORM_STREAM_OK)
        return PLATFORM_STREAM_HYBRID;
    return mode;
}

/* SDTI/MADI, or embedded audio without a video input. */
static void selectMadi(const deviceSubmoduleInstance *instance, audioMonitoringState_t *state,
                       const headLayoutRecord *record, uint32_t globalMode)
{
    const audioMonitoringSource_t &a = record->audioMonitoring;
    uint32_t head = instance->head;
    if (globalMode == PLATFORM_STREAM_MDX) {
        writeTone(instance, state, AM_TONE_OFF);
        AM_LOG(LOG4C_PRIORITY_ERROR,
               "Audio_Monitoring: Error. This card was selected to drive the audio for head %d from the MADI but the "
               "card is in MDX mode. To listen to audio from MADI put the card ATDM Mode in Hybrid Mode. Setting audio "
               "as pass through.",
               (int)head);
        applyOutputControl(instance, state, record, a.audioSourceSelection == AM_SOURCE_SDTI ? 0 : 1);
        return;
    }
    /* A pair outside the MADI range selects nothing: refused before anything is written. */
    if (a.aesNb < AM_MADI_FIRST || a.aesNb > AM_MADI_LAST) {
        AM_LOG(LOG4C_PRIORITY_ERROR,
               "Audio_Monitoring: Received SET_AUDIO_MONITORING_SOURCE pcode with unsupported aes_nb %d when SDTI is "
               "selected. (should be 128-159)",
               (int)a.aesNb);
        return;
    }
    writeTone(instance, state, AM_TONE_OFF);
    writeAtdmPath(instance, state, 1);
    AM_LOG(LOG4C_PRIORITY_NOTICE, "Audio_Monitoring: selected audio MADI channels %d and %d.", (int)(2 * a.aesNb - 256),
           (int)(2 * a.aesNb - 255));
    selectGroup0(instance, state, 0, a.aesNb - AM_MADI_FIRST);
    applyOutputControl(instance, state, record, 1);
}

static void selectEmbedded(const deviceSubmoduleInstance *instance, audioMonitoringState_t *state,
                           const headLayoutRecord *record, uint32_t globalMode)
{
    const audioMonitoringSource_t &a = record->audioMonitoring;
    /* A bad input or pair selects nothing: refused before anything is written, as an unsupported source. */
    if (a.inputVideoNb > AM_VIDEO_INPUT_MAX) {
        AM_LOG(LOG4C_PRIORITY_ERROR,
               "Audio_Monitoring: Received SET_AUDIO_MONITORING_SOURCE pcode with unsupported input_video_nb %d. "
               "(should be 0-8)",
               (int)a.inputVideoNb);
        return;
    }
    if (a.aesNb > AM_EMBEDDED_AES_MAX) {
        AM_LOG(LOG4C_PRIORITY_ERROR,
               "Audio_Monitoring: Received SET_AUDIO_MONITORING_SOURCE pcode with unsupported aes_nb %d when embedded "
               "audio of a video signal is selected. (should be 0-7)",
               (int)a.aesNb);
        return;
    }
    writeTone(instance, state, AM_TONE_OFF);
    uint32_t inputMode = streamMode(a.inputVideoNb);
    int mdx = globalMode == PLATFORM_STREAM_MDX && inputMode == PLATFORM_STREAM_MDX;
    writeAtdmPath(instance, state, mdx);
    if (platformIsUsingNqAsiInputs())
        AM_LOG(LOG4C_PRIORITY_NOTICE,
               "Audio_Monitoring: Global ATDM mode is %d (0=Hybrid, 1=MDX), Video Input %d ATDM mode is %d (0=Hybrid, "
               "1=MDX). In MDX mode we get audio from ATDM.",
               (int)globalMode, (int)a.inputVideoNb, (int)inputMode);
    int first = (int)(2 * a.aesNb), second = first + 1;
    if (mdx) {
        uint32_t c = (a.aesNb + 8 * a.inputVideoNb) * 2 % 256;
        AM_LOG(LOG4C_PRIORITY_NOTICE,
               "Audio_Monitoring: selected audio of video input %d audio channels %d and %d. This audio is coming from "
               "the ATDM channels %d and %d.",
               (int)a.inputVideoNb, first, second, (int)c, (int)c + 1);
        selectGroup0(instance, state, 0, c / 2);
    } else {
        AM_LOG(LOG4C_PRIORITY_NOTICE,
               "Audio_Monitoring: selected audio of video input %d audio channels %d and %d. This audio is coming from "
               "the embedded audio of the video.",
               (int)a.inputVideoNb, first, second);
        selectGroup0(instance, state, a.inputVideoNb, a.aesNb);
    }
    applyOutputControl(instance, state, record, 1);
}

static void applyAudioSelection(const deviceSubmoduleInstance *instance, audioMonitoringState_t *state,
                                const headLayoutRecord *record)
{
    const audioMonitoringSource_t &a = record->audioMonitoring;
    uint32_t head = instance->head;
    uint32_t mySlot = platformGetQvsVideoSlotId();
    if (a.qviSourceSlotId != mySlot && a.qviSourceSlotId != AM_ANY_SLOT) {
        AM_LOG(LOG4C_PRIORITY_INFO,
               "Audio_Monitoring: This card was NOT selected to drive the audio for head %d. Setting audio as pass "
               "through. (myQvSlotid %d, qvi_source_slot_id %d)",
               (int)head, (int)mySlot, (int)a.qviSourceSlotId);
        applyOutputControl(instance, state, record, 0);
        return;
    }
    AM_LOG(LOG4C_PRIORITY_INFO,
           "Audio_Monitoring: This card was selected to drive the audio for head %d. myQvSlotid %d, source %d "
           "(0=emb,1=ext,2=sdti,3=tone), qvi_source_slot_id %d, VidInputnb %d, aes_nb %d.",
           (int)head, (int)mySlot, (int)a.audioSourceSelection, (int)a.qviSourceSlotId, (int)a.inputVideoNb,
           (int)a.aesNb);
    uint32_t globalMode = streamMode(PLATFORM_STREAM_GLOBAL);
    switch (a.audioSourceSelection) {
    case AM_SOURCE_TONE:
        writeTone(instance, state, AM_TONE_ON);
        applyOutputControl(instance, state, record, 1);
        return;
    case AM_SOURCE_SDTI:
        selectMadi(instance, state, record, globalMode);
        return;
    case AM_SOURCE_EMBEDDED:
        if (a.inputVideoNb == AM_NO_INPUT)
            selectMadi(instance, state, record, globalMode);
        else
            selectEmbedded(instance, state, record, globalMode);
        return;
    default:
        AM_LOG(LOG4C_PRIORITY_ERROR,
               "Audio_Monitoring: Received SET_AUDIO_MONITORING_SOURCE pcode with unsupported audio_source_selection %d.",
               (int)a.audioSourceSelection);
        return;
    }
}

static int audioMonitoringInCtrlInit(deviceSubmoduleInstance *instance, layoutEventInfo *event,
                                     const layoutHeadList *list)
{
    (void)list;
    AM_LOG(LOG4C_PRIORITY_TRACE, "Audio_Monitoring: Called audioMonitoringInCtrlInit %s devid is: %d",
           instance->descriptor->name, (int)instance->deviceId);
    AM_LOG(LOG4C_PRIORITY_TRACE, "Audio_Monitoring: Number of windows %d for head %d",
           event && event->headRecord ? (int)event->headRecord->windowQuantity : 0, (int)instance->head);
    if (instance->head >= AM_HEADS) {
        instance->privateState = nullptr;
        return 1;
    }
    audioMonitoringState_t *state = &audioMonitoringStates[instance->head];
    instance->privateState = state;
    state->events = 0;
    state->drive = 0;
    return 0;
}

static void forceLayout(const deviceSubmoduleInstance *instance, audioMonitoringState_t *state,
                        const headLayoutRecord *record)
{
    writeAtdmPath(instance, state, 0);
    state->outputControl = 0;
    memset(state->groups, 0, sizeof state->groups);
    for (uint32_t k = 0; k < AM_GROUPS; k++)
        writeGroup(instance, state, k);
    writeTone(instance, state, AM_TONE_OFF);
    applyOutputControl(instance, state, record, 0);
    applyAudioSelection(instance, state, record);
}

static int audioMonitoringInCtrlProcess(deviceSubmoduleInstance *instance, layoutEventInfo *event, const void *data)
{
    (void)data;
    audioMonitoringState_t *state = (audioMonitoringState_t *)instance->privateState;
    if (!state)
        return 0;
    AM_LOG(LOG4C_PRIORITY_TRACE, "%s: Audio_Monitoring: event 0x%08x", __func__, (unsigned)event->headEvent);
    const headLayoutRecord *record = event->headRecord;
    state->events |= event->headEvent;
    switch (event->headEvent) {
    case FORCE_LAYOUT_EVENT:
        forceLayout(instance, state, record);
        state->events &= ~(uint32_t)FORCE_LAYOUT_EVENT;
        break;
    case HEAD_AUDIO_MONITOR_EVENT:
        AM_LOG(LOG4C_PRIORITY_TRACE, "%s: Audio_Monitoring: HEAD_AUDIO_MONITOR_EVENT event 0x%08x", __func__,
               (unsigned)event->headEvent);
        applyAudioSelection(instance, state, record);
        state->events = 0;
        break;
    case HEAD_APPLY_EVENT:
        if (state->events & HEAD_RESOLUTION_EVENT) {
            applyOutputControl(instance, state, record, state->drive);
            state->events = 0;
        }
        break;
    case TARGET_SPECIFIC_EVENT:
        if (event->target == ATDM_MODE_CHANGED_EVENT) {
            AM_LOG(LOG4C_PRIORITY_NOTICE, "%s: Audio_Monitoring: ATDM_MODE_CHANGED_EVENT event 0x%08x", __func__,
                   (unsigned)event->target);
            applyAudioSelection(instance, state, record);
        }
        break;
    default:
        break;
    }
    return 0;
}

deviceSubmodule audioMonitoringInCtrlSubmodule = {
    "audioMonitoringInCtrl", audioMonitoringInCtrlInit, audioMonitoringInCtrlProcess,
    HEAD_LAYOUT_EVENTS | HEAD_AUDIO_MONITOR_EVENT, ATDM_MODE_CHANGED_EVENT, nullptr};
