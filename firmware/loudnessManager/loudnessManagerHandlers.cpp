#include "loudnessManager/loudnessManagerPrivate.h"

#include "deviceManager/deviceManager.h"
#include "pcodeProcessor/pcodeProcessor.h"

#include <cstdio>
#include <cstring>

/*
 * The loudness manager's configuration: the two pcodes of the QVS side and
 * the set-device listeners of device 237, five per instance:
 *   registers   0-35  segment on dialnorm change       (instance = register)
 *   registers  32-67  segment on channel-mode change   (instance = register - 32)
 *   registers  64-99  manual segment control           (instance = register - 64)
 *   registers 96-131  segment at a time interval       (instance = register - 96)
 *   registers 128-163 segment at a minute of the hour  (instance = register - 128)
 * Overlapping registers reach two listeners, each for its own instance.
 */

namespace {

enum {
    LISTENER_KINDS = 5,
    MANUAL_CONTROL = 2,
    /* Payload bytes after the pcode header. */
    PARAM_INPUT = 5, PARAM_PROBE = 6, PARAM_WINDOW = 7, PARAM_GATE = 8, PARAM_REQUIREMENT = 9,
    PARAM_SIZE = 10,
    MAPPING_INPUT = 5, MAPPING_PROBE = 6, MAPPING_FIRST_CHANNEL = 7,
    MAPPING_SIZE = 15,
    PCODE_CLASS = 10, PCODE_PARAMETERS = 15, PCODE_MAPPING = 18,
    /*
     * The relative gate lies below the ungated loudness; beyond 70 LU it is
     * below the -70 LUFS absolute gate and can never act, and 0 gates nothing.
     */
    GATE_MIN_LU = 1, GATE_MAX_LU = 70,
    /* Channels 0-15 of the input's audio; a larger number would address the next input's field. */
    CHANNELS_PER_INPUT = 16,
};

const char *const channelNames[LOUDNESS_CHANNELS] = {"L", "R", "C", "LFE", "Ls", "Rs", "Lb", "Rb"};

const uint16_t listenerBase[LISTENER_KINDS] = {0, 32, 64, 96, 128};

/* The instance a listener's register addresses, or -1 (logged with the handler's line) when outside its range. */
int instanceOf(const char *function, const char *line, uint16_t device, uint16_t reg, uint16_t base)
{
    if (device != LOUDNESS_DEVICE)
        return -1;
    int instance = (int)reg - (int)base;
    log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_DEBUG, line, function, instance, (int)LOUDNESS_INSTANCES);
    if (instance < 0 || instance >= LOUDNESS_INSTANCES) {
        log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_ERROR, line, function, instance, (int)LOUDNESS_INSTANCES);
        return -1;
    }
    return instance;
}

uint32_t writeWords(uint32_t address, const uint8_t *bytes, uint32_t count)
{
    return deviceManagerAccess(DEVICE_WRITE, DEVICE_FSM_FPGA, address, 0, count, (void *)bytes);
}

/* The probe instance of a pcode's input and probe bytes, or -1 (logged) when out of range. */
int pcodeInstance(const uint8_t *payload, uint32_t inputByte, uint32_t probeByte, const char *function)
{
    uint32_t input = payload[inputByte], probe = payload[probeByte];
    if (input >= LOUDNESS_INPUTS || probe >= LOUDNESS_PROBES_PER_INPUT) {
        log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_ERROR, "%s invalid video input no %d or probe no %d",
                           function, (int)input, (int)probe);
        return -1;
    }
    return (int)(input * LOUDNESS_PROBES_PER_INPUT + probe);
}

const uint8_t *payloadOf(const uint8_t *pcode, uint32_t length, uint32_t needed, const char *function)
{
    if (!pcode || length < PCODE_HEADER_SIZE + needed) {
        log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_ERROR,
                           "%s pcode too short: %u bytes, expecting at least %u", function, length,
                           (unsigned)(PCODE_HEADER_SIZE + needed));
        return nullptr;
    }
    return pcode + PCODE_HEADER_SIZE;
}

template <uint32_t (*handler)(const uint8_t *, uint32_t)>
void pcodeEntry(const uint8_t *pcode, uint32_t length)
{
    handler(pcode, length);
}

template <uint32_t (*handler)(uint8_t, uint16_t, uint16_t, uint32_t)>
void listenerEntry(uint8_t slot, uint16_t device, uint16_t reg, uint32_t value)
{
    handler(slot, device, reg, value);
}

setDevicePcodeHandlerInfo listeners[LISTENER_KINDS][LOUDNESS_INSTANCES];

} // namespace

uint32_t loudnessManagerSetSegmentDectectOnDialnormChange(uint8_t slot, uint16_t device, uint16_t reg, uint32_t value)
{
    (void)slot;
    int n = instanceOf(__func__, "%s Receive dailnorm segment detect on loudness id %d . Max Is %d", device, reg, 0);
    if (n < 0)
        return LOUDNESS_RESULT_ERROR;
    loudness.instances[n].dialnormDetect = value != 0;
    log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_DEBUG, value ? "%s TRUE  " : "%s FALSE  ", __func__);
    return LOUDNESS_RESULT_OK;
}

uint32_t loudnessManagerSetSegmentDectectOnChannelModeChange(uint8_t slot, uint16_t device, uint16_t reg, uint32_t value)
{
    (void)slot;
    int n = instanceOf(__func__, "%s Receive channel mode segment detect on loudness id %d . Max Is %d", device, reg, 32);
    if (n < 0)
        return LOUDNESS_RESULT_ERROR;
    loudness.instances[n].channelModeDetect = value != 0;
    log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_DEBUG, value ? "%s TRUE  " : "%s FALSE  ", __func__);
    return LOUDNESS_RESULT_OK;
}

uint32_t loudnessManagerManualSegmentControl(uint8_t slot, uint16_t device, uint16_t reg, uint32_t value)
{
    (void)slot;
    int n = instanceOf(__func__, "%s Receive command for loudness id %d . Max Is %d", device, reg, 64);
    if (n < 0)
        return LOUDNESS_RESULT_ERROR;
    loudnessInstance &in = loudness.instances[n];
    pthread_mutex_lock(&in.mutex);
    if (value & 2) {
        StopLoudness(&in.measure);
        log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_NOTICE, "%s Paused  ", __func__);
    } else {
        if (!in.measure.active)
            StartLoudness(&in.measure);
        log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_NOTICE, "%s Started  ", __func__);
    }
    pthread_mutex_unlock(&in.mutex);
    if (value & 1)
        loudnessManagerReset((uint32_t)n);
    return LOUDNESS_RESULT_OK;
}

uint32_t loudnessManagerSetSegmentDetectOnTimeInterval(uint8_t slot, uint16_t device, uint16_t reg, uint32_t value)
{
    (void)slot;
    log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_DEBUG, "%s   minutes: %d  ", __func__, (int)(uint16_t)value);
    int n = instanceOf(__func__, "%s Receive Segmen tDetect On Time Interval for loudness id %d . Max Is %d", device, reg,
                       96);
    if (n < 0)
        return LOUDNESS_RESULT_ERROR;
    loudnessInstance &in = loudness.instances[n];
    uint16_t minutes = (uint16_t)value;
    if (minutes != 0) {
        if (!in.intervalDetect)
            in.intervalStart = (uint32_t)loudnessManagerNow();
        in.intervalDetect = 1;
    } else {
        in.intervalDetect = 0;
    }
    in.intervalMinutes = minutes;
    return LOUDNESS_RESULT_OK;
}

uint32_t loudnessManagerSetSegmentTimerStart(uint8_t slot, uint16_t device, uint16_t reg, uint32_t value)
{
    (void)slot;
    int n = instanceOf(__func__, "%s Receive Segment Timer Start for loudness id %d . Max Is %d", device, reg, 128);
    if (n < 0)
        return LOUDNESS_RESULT_ERROR;
    if (value > 59) {
        log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_ERROR, "%s minute %u out of range (0-59)", __func__, value);
        return LOUDNESS_RESULT_ERROR;
    }
    loudnessInstance &in = loudness.instances[n];
    in.timerStartMinute = (uint8_t)value;
    in.timerStartArmed = 1;
    log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_DEBUG, "%s FALSE  Start a next hours %d", __func__, (int)value);
    return LOUDNESS_RESULT_OK;
}

uint32_t loudnessManagerSetMeasurementParameters(const uint8_t *pcode, uint32_t length)
{
    const uint8_t *p = payloadOf(pcode, length, PARAM_SIZE, __func__);
    if (!p)
        return LOUDNESS_RESULT_ERROR;
    int gate = p[PARAM_GATE], window = p[PARAM_WINDOW];
    log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_NOTICE,
                       "Enter %s relativeGating %d  probeNum %d  inputVideoNum %d  shortTermWindows %d  requirement %d",
                       __func__, gate, p[PARAM_PROBE], p[PARAM_INPUT], window, p[PARAM_REQUIREMENT]);
    if (p[PARAM_INPUT] >= LOUDNESS_INPUTS || p[PARAM_PROBE] >= LOUDNESS_PROBES_PER_INPUT) {
        log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_ERROR, "%s invalid probe Id", __func__);
        return LOUDNESS_RESULT_ERROR;
    }
    if (gate < GATE_MIN_LU || gate > GATE_MAX_LU) {
        log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_ERROR,
                           "%s relative gating %d LU refused (from %d to %d LU): nothing changed", __func__, gate,
                           (int)GATE_MIN_LU, (int)GATE_MAX_LU);
        return LOUDNESS_RESULT_ERROR;
    }
    uint32_t n = p[PARAM_INPUT] * LOUDNESS_PROBES_PER_INPUT + p[PARAM_PROBE];
    loudnessInstance &in = loudness.instances[n];
    uint32_t result = LOUDNESS_RESULT_OK;
    pthread_mutex_lock(&in.mutex);
    in.id = (uint8_t)n;
    if (SetShortWindow(&in.measure, (window * 10) & ~1) != 0) {
        log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_ERROR, "%s fail to set the short term windows : %d sec",
                           __func__, window);
        result = LOUDNESS_RESULT_ERROR;
    } else if (SetRelativeGating(&in.measure, -gate) != 0) {
        log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_ERROR, "%s fail to set the relative gating to %d LU",
                           __func__, gate);
        result = LOUDNESS_RESULT_ERROR;
    } else {
        in.requirement = p[PARAM_REQUIREMENT];
    }
    pthread_mutex_unlock(&in.mutex);
    if (result == LOUDNESS_RESULT_OK && loudness.debug) {
        printf("Loudness Measurement Parameters\r");
        printf("Loudness Probes = %d\r\n", (int)n);
        printf("Short term = %d\r\n", window);
        printf("Relative gating = %d\r\n", -gate);
    }
    return result;
}

uint32_t loudnessManagerProgramLEQProbe(uint32_t instance)
{
    if (instance >= LOUDNESS_INSTANCES)
        return LOUDNESS_RESULT_ERROR;
    log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_DEBUG, "%s %d ", __func__, 55);
    /* L, R, C, Ls and Rs carry bit 15; LFE, Lb and Rb do not. */
    static const uint16_t flag[LOUDNESS_CHANNELS] = {0x8000, 0x8000, 0x8000, 0, 0x8000, 0x8000, 0, 0};
    const loudnessInstance &in = loudness.instances[instance];
    uint8_t words[2 * LOUDNESS_CHANNELS];
    for (uint32_t c = 0; c < LOUDNESS_CHANNELS; c++) {
        uint16_t word = 0;
        if (in.channels[c] != LOUDNESS_CHANNEL_UNUSED)
            word = (uint16_t)(flag[c] | (16 * (instance / LOUDNESS_PROBES_PER_INPUT) + in.channels[c]));
        words[2 * c] = (uint8_t)(word >> 8);
        words[2 * c + 1] = (uint8_t)word;
    }
    uint32_t status = writeWords(LOUDNESS_MAPPING + LOUDNESS_CHANNELS * instance, words, LOUDNESS_CHANNELS);
    uint32_t second =
        writeWords(LOUDNESS_MAPPING + LOUDNESS_BANK_STRIDE + LOUDNESS_CHANNELS * instance, words, LOUDNESS_CHANNELS);
    if (status == 0)
        status = second;
    const uint8_t done[2] = {0, 1};
    uint32_t third = writeWords(LOUDNESS_MAPPING_DONE, done, 1);
    return status != 0 ? status : third;
}

uint32_t loudnessManagerSetChannelMapping(const uint8_t *pcode, uint32_t length)
{
    const uint8_t *p = payloadOf(pcode, length, MAPPING_SIZE, __func__);
    if (!p)
        return LOUDNESS_RESULT_ERROR;
    log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_NOTICE,
                       "%s inputVideoNum %d  probeNum %d  leftChannelNum %d  rightChannelNum %d  centerChannelNum %d  "
                       "lfeChannelNum %d  leftSurChannelNum %d  rightSurChannelNum %d  leftBackSurChannelNum %d  "
                       "rightBackSurChannelNum %d",
                       __func__, p[5], p[6], p[7], p[8], p[9], p[10], p[11], p[12], p[13], p[14]);
    int n = pcodeInstance(p, MAPPING_INPUT, MAPPING_PROBE, __func__);
    if (n < 0)
        return LOUDNESS_RESULT_ERROR;
    for (uint32_t c = 0; c < LOUDNESS_CHANNELS; c++) {
        uint8_t channel = p[MAPPING_FIRST_CHANNEL + c];
        if (channel < CHANNELS_PER_INPUT || channel == LOUDNESS_CHANNEL_UNUSED)
            continue;
        log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_ERROR,
                           "%s %s channel number %d refused (0 to %d, or %d for not used): mapping of input %d probe %d "
                           "not programmed",
                           __func__, channelNames[c], (int)channel, CHANNELS_PER_INPUT - 1, (int)LOUDNESS_CHANNEL_UNUSED,
                           (int)p[MAPPING_INPUT], (int)p[MAPPING_PROBE]);
        return LOUDNESS_RESULT_ERROR;
    }
    memcpy(loudness.instances[n].channels, p + MAPPING_FIRST_CHANNEL, LOUDNESS_CHANNELS);
    return loudnessManagerProgramLEQProbe((uint32_t)n);
}

void loudnessManagerSetDialnormAndChannelMode(uint8_t dialnorm, uint8_t mode, uint32_t instance)
{
    if (instance >= LOUDNESS_INSTANCES)
        return;
    loudnessInstance &in = loudness.instances[instance];
    int newSegment = 0;
    if (!in.dialnormKnown || dialnorm != in.dialnorm) {
        if (in.dialnormDetect) {
            log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_NOTICE, "%s dialnorm %d ", __func__, dialnorm);
            newSegment = 1;
        }
        in.previousDialnorm = in.dialnorm;
        in.previousDialnormKnown = in.dialnormKnown;
        in.dialnorm = dialnorm;
        in.dialnormKnown = 1;
    }
    if (mode != in.channelMode) {
        in.channelMode = mode;
        log4c_category_log(loudnessManagerCategory(), LOG4C_PRIORITY_NOTICE, "%s Mode %d ", __func__, mode);
        if (in.channelModeDetect)
            newSegment = 1;
        loudnessManagerProgramLEQProbe(instance);
    }
    if (newSegment)
        loudnessManagerReset(instance);
}

void loudnessManagerRegisterListeners(void)
{
    static const setDevicePcodeHandlerFunction handlers[LISTENER_KINDS] = {
        listenerEntry<loudnessManagerSetSegmentDectectOnDialnormChange>,
        listenerEntry<loudnessManagerSetSegmentDectectOnChannelModeChange>,
        listenerEntry<loudnessManagerManualSegmentControl>,
        listenerEntry<loudnessManagerSetSegmentDetectOnTimeInterval>,
        listenerEntry<loudnessManagerSetSegmentTimerStart>,
    };
    static int registered = 0;
    if (registered)
        return;
    registered = 1;
    for (uint32_t kind = 0; kind < LISTENER_KINDS; kind++) {
        int wanted = kind == MANUAL_CONTROL ? loudness.listenerEnable : loudness.threadEnable;
        if (!wanted)
            continue;
        for (uint32_t n = 0; n < LOUDNESS_INSTANCES; n++) {
            listeners[kind][n] = {handlers[kind], loudness.listenerSlot, LOUDNESS_DEVICE,
                                  (uint16_t)(listenerBase[kind] + n), nullptr};
            registerSetDevicePcodeHandler(&listeners[kind][n]);
        }
    }
}

void loudnessManagerRegisterPcodes(void)
{
    static pcodeHandlerInfo parameters = {pcodeEntry<loudnessManagerSetMeasurementParameters>, PCODE_CLASS,
                                          PCODE_PARAMETERS, nullptr};
    static pcodeHandlerInfo mapping = {pcodeEntry<loudnessManagerSetChannelMapping>, PCODE_CLASS, PCODE_MAPPING, nullptr};
    static int registered = 0;
    if (registered)
        return;
    registered = 1;
    registerPcodeHandler(&parameters);
    registerPcodeHandler(&mapping);
}
