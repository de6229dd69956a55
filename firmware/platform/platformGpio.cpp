#include "platform/platformPrivate.h"

#include "deviceManager/deviceManager.h"
#include "hal/hal.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

enum {
    GPIO_FRAME_LED_A = 148,
    GPIO_FRAME_LED_B = 81,
    GPIO_LED2_A = 175,
    GPIO_LED2_B = 174,
    VIDEO_LED_REGISTER = 0x70,
    VIDEO_LEDS_OFF_MASK = 0x01FF,
    STRATA_OPCODE_CARD_STATUS = 0x0009,
    CARD_STATUS_REPORT_TYPE = 0,
    LED_REQUEST_PRIORITY = 20,
};

void platformGpioPath(int line, char *path, unsigned size)
{
    snprintf(path, size, "/sys/class/gpio/gpio%d/value", line);
}

static int gpioWrite(const char *path, char value)
{
    int fd = open(halPath(path).c_str(), O_RDWR);
    if (fd < 0)
        return 3;
    ssize_t written = write(fd, &value, 1);
    close(fd);
    return written == 1 ? 0 : 3;
}

int platformGpioSet(const char *path)
{
    return gpioWrite(path, '1');
}

int platformGpioClear(const char *path)
{
    return gpioWrite(path, '0');
}

int platformGpioRead(const char *path)
{
    log4c_category_t *category = platformRecord.category;
    int fd = open(halPath(path).c_str(), O_RDWR);
    if (fd < 0) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "Error: %s: %s Open failed!", __func__, path);
        return 0;
    }
    char value = 0;
    int result = 0;
    if (read(fd, &value, 1) != 1) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "Error: %s: %s Read Failed!", __func__, path);
    } else {
        log4c_category_log(category, LOG4C_PRIORITY_TRACE, "%s: Read the GPIO %s. Value=%c.", __func__, path, value);
        if (value == '1')
            result = 1;
        else if (value != '0')
            log4c_category_log(category, LOG4C_PRIORITY_ERROR, "Error: %s: %s value read %c is unknown!", __func__, path,
                               value);
    }
    close(fd);
    return result;
}

static void setLine(int line, int value)
{
    char path[64];
    platformGpioPath(line, path, sizeof path);
    if (value)
        platformGpioSet(path);
    else
        platformGpioClear(path);
}

void platformLedControlRequest(log4c_category_t *category, uint32_t callerId, uint32_t ledId, uint32_t colour,
                               uint32_t releaseHint, uint8_t blinkCount, uint8_t blinkRate)
{
    pthread_mutex_lock(&platformRecord.ledMutex);
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                       "%s: LED Ctrl: Received an LED Control from callerId %d, to control LED id %d (0x%02x).", __func__,
                       callerId, ledId, ledId);
    ledControlRequest request = ledControlRequest();
    if (ledId > 127) {
        request.ledId = LED_ID_FRAME;
        request.virtualId = ledId;
    } else {
        request.ledId = ledId;
    }
    request.state = blinkCount ? LED_STATE_ON_BLINK : LED_STATE_ON;
    request.enable = (releaseHint == 1 && ledId == 4) ? 0 : 1;
    request.colour = colour;
    request.blinkCount = blinkCount;
    request.blinkRate = blinkRate;
    request.callerId = callerId;
    request.priority = LED_REQUEST_PRIORITY;
    if (platformHooks.ledRequest)
        platformHooks.ledRequest(category, &request);
    pthread_mutex_unlock(&platformRecord.ledMutex);
}

void platformSetStrataLedNormal(log4c_category_t *category, uint32_t callerId)
{
    platformLedControlRequest(category, callerId, LED_ID_FRAME, LED_COLOUR_GREEN, 0, 0, 5);
}

void platformSetStrataLedBlinkRed(log4c_category_t *category, uint32_t callerId)
{
    platformLedControlRequest(category, callerId, LED_ID_FRAME, LED_COLOUR_RED, 2, LED_BLINK_FOREVER, 5);
}

void platformStrataLedBehaviourChanged(log4c_category_t *category, uint32_t ledId)
{
    if (ledId != LED_ID_FRAME || !platformHooks.ledState)
        return;
    uint32_t colour = 0, state = 0;
    if (platformHooks.ledState(category, ledId, &colour, &state) != 0)
        return;
    uint8_t code = 0;
    if (colour == LED_COLOUR_RED)
        code = state == LED_STATE_ON_BLINK ? 3 : 2;
    else if (colour == LED_COLOUR_YELLOW)
        code = 1;
    uint8_t byte = (uint8_t)(code << 3);
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                       "%s: LED Ctrl: Strata LED behavior changed. Going to broadcast info in CARD_STATUS message. "
                       "(color %d, state %d)",
                       __func__, colour, state);
    if (platformHooks.strataSend)
        platformHooks.strataSend(category, CARD_STATUS_REPORT_TYPE, 0, STRATA_OPCODE_CARD_STATUS, &byte, 1);
}

/*
 * Lines of the frame LED {GPIO 148, GPIO 81} for a phase (the LED's state:
 * 0 on, 2 and 3 the two blink halves; off and anything else leave it dark)
 * and the LED's colour. Both lines low is yellow; the Red/Green and
 * Green/Yellow colours alternate between the halves.
 */
static void frameLedLines(uint32_t phase, uint32_t colour, int *a, int *b)
{
    *a = 1;
    *b = 1;
    if (phase == 0) {
        if (colour == 1) { *a = 0; *b = 1; }
        else if (colour == 2) { *a = 1; *b = 0; }
        else if (colour == 3) { *a = 0; *b = 0; }
    } else if (phase == 2) {
        if (colour == 1 || colour == 5) { *a = 0; *b = 1; }
        else if (colour == 2 || colour == 4 || colour == 6) { *a = 1; *b = 0; }
        else if (colour == 3) { *a = 0; *b = 0; }
    } else if (phase == 3) {
        if (colour == 4) { *a = 0; *b = 1; }
        else if (colour == 5 || colour == 6) { *a = 0; *b = 0; }
    }
}

void platformCtrlLed(uint32_t phase, uint32_t ledId, uint32_t colour, uint32_t state)
{
    switch (ledId) {
    case LED_ID_FRAME: {
        int a, b;
        frameLedLines(phase, colour, &a, &b);
        setLine(GPIO_FRAME_LED_A, a);
        setLine(GPIO_FRAME_LED_B, b);
        break;
    }
    case 2:
        if (phase != 0) {
            setLine(GPIO_LED2_A, 1);
            setLine(GPIO_LED2_B, 1);
        }
        break;
    case 4:
        platformVideoInputLedControl((state >> 8) & 0xFF);
        break;
    default:
        log4c_category_log(platformRecord.category, LOG4C_PRIORITY_ERROR, "ERROR, %s, unknown led id %d.\n", __func__,
                           ledId);
        break;
    }
}

void platformVideoInputLedControl(uint32_t on)
{
    if (!platformRecord.videoLedInitDone) {
        platformRecord.videoLedInitDone = 1;
        uint8_t bytes[6] = {0};
        deviceManagerAccess(DEVICE_READ, DEVICE_DPS_FPGA, VIDEO_LED_REGISTER, 0, 3, bytes);
        platformRecord.videoLedState = (bytes[1] & 1) ? 0 : 1;
        log4c_category_log(platformRecord.category, LOG4C_PRIORITY_INFO, "%s video input leds bootup initialization done",
                           __func__);
    }
    platformVideoInputLedFpgaCtrl(platformRecord.videoLedState, on);
    platformRecord.videoLedState = on;
}

void platformVideoInputLedFpgaCtrl(uint32_t previous, uint32_t on)
{
    log4c_category_t *category = platformRecord.category;
    if (previous == on)
        return;
    uint16_t words[3] = {0, 0, 0};
    if (on == 1) {
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s video input leds change to On", __func__);
    } else {
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s video input leds change to Off", __func__);
        words[0] |= 1;
        words[1] = words[2] = VIDEO_LEDS_OFF_MASK;
    }
    if (platformRecord.mainHwRev == 0)
        words[0] |= 2;
    if (platformIsEnVarSet(category, "debugVideoLed")) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s Leave video input leds on since en var debugVideoLed is set",
                           __func__);
        return;
    }
    uint8_t bytes[6];
    for (int i = 0; i < 3; i++) {
        bytes[2 * i] = (uint8_t)(words[i] >> 8);
        bytes[2 * i + 1] = (uint8_t)words[i];
    }
    deviceManagerAccess(DEVICE_WRITE, DEVICE_DPS_FPGA, VIDEO_LED_REGISTER, 0, 3, bytes);
}

void platformSetStatusLed(log4c_category_t *category, uint32_t on)
{
    if (platformRecord.rearSlot < 2) {
        platformVideoInputLedControl(on);
        return;
    }
    if (on == 1) {
        platformLedControlRequest(category, 3, 4, 1, 0, 0, 5);
        platformLedControlRequest(category, 3, 3, 3, 2, LED_BLINK_FOREVER, 5);
    } else {
        platformLedControlRequest(category, 3, 4, 1, 1, 0, 5);
        platformLedControlRequest(category, 3, 3, 1, 0, 0, 5);
    }
}

void platformSetStatusLedIndication(const uint32_t *flag)
{
    if (!flag)
        return;
    platformSetStatusLed(platformRecord.category, *flag == 1 ? 1 : 0);
}

static void driveDebugLine(log4c_category_t *category, uint32_t routed, const int *table, uint32_t tableSize,
                           uint32_t event, uint32_t action)
{
    if (!routed)
        return;
    if (event >= tableSize) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: Invalid event as argument %d", __func__, event);
        return;
    }
    if (action > 2) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: Invalid action as argument %d", __func__, action);
        return;
    }
    int line = table[event];
    if (line < 0)
        return;
    if (action == 0 || action == 2)
        setLine(line, 1);
    if (action == 1 || action == 2)
        setLine(line, 0);
}

void platformProbingProcessDebuging(log4c_category_t *category, uint32_t event, uint32_t action)
{
    static const int lines[] = {82, 83, 106, 108, -1, -1, 107, 109, 116};
    driveDebugLine(category, platformRecord.debugRouting.probing, lines, 9, event, action);
}

void platformLoudnessProcessDebuging(log4c_category_t *category, uint32_t event, uint32_t action)
{
    static const int lines[] = {82, 83, 106, 107, 108, 109};
    driveDebugLine(category, platformRecord.debugRouting.loudness, lines, 6, event, action);
}

void platformHdrProcessDebuging(log4c_category_t *category, uint32_t event, uint32_t action)
{
    static const int lines[] = {83};
    if (!platformRecord.debugRouting.hdr)
        return;
    log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: call platformHdrProcessDebuging event=%d, action=%d",
                       __func__, event, action);
    driveDebugLine(category, 1, lines, 1, event, action);
}
