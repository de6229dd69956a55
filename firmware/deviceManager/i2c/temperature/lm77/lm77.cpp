#include "deviceManager/i2c/temperature/lm77/lm77.h"

#include "deviceManager/deviceManagerPrivate.h"
#include "hal/hal.h"

#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

struct lm77State_t {
    sem_t lock; /* one read of the device at a time */
};

uint32_t createLm77Handler(deviceObject *device, uint32_t assignedId)
{
    assert(device != ((void *)0));
    (void)assignedId;
    device->logCategory = log4c_category_get("ulm.firmware.lm77");
    if (device->handlerState)
        return DEVICE_ACCESS_OK;
    lm77State_t *state = (lm77State_t *)calloc(1, sizeof *state);
    if (!state || sem_init(&state->lock, 0, 1) != 0) {
        log4c_category_log(device->logCategory, LOG4C_PRIORITY_ERROR, "LM77: failed to create semaphore");
        free(state);
        return DEVICE_ACCESS_NO_HANDLER;
    }
    device->handlerState = state;
    device->initialised = 1;
    return DEVICE_ACCESS_OK;
}

uint32_t deleteLm77Handler(deviceObject *device)
{
    assert(device != ((void *)0));
    lm77State_t *state = (lm77State_t *)deviceManagerHandlerDetachState(device);
    if (!state) {
        log4c_category_log(device->logCategory, LOG4C_PRIORITY_ERROR, " invalid state exception.");
        return DEVICE_ACCESS_NO_HANDLER;
    }
    device->initialised = 2;
    sem_destroy(&state->lock);
    free(state);
    return DEVICE_ACCESS_OK;
}

/* Reads the sensor file: tenths of a degree into *value; 0, or -1 when there is no number to read. */
static int readTemperatureFile(const char *cardPath, int16_t *value)
{
    int fd = open(halPath(cardPath).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char text[11];
    ssize_t length;
    do {
        length = lseek(fd, 0, SEEK_SET) == 0 ? read(fd, text, 10) : -1;
    } while (length < 0 && errno == EINTR);
    close(fd);
    if (length <= 0)
        return -1;
    text[length] = '\0';
    char *end = nullptr;
    long milli = strtol(text, &end, 10);
    if (end == text)
        return -1;
    *value = (int16_t)(milli / 100);
    return 0;
}

uint32_t lm77Read(deviceObject *device, uint32_t command, uint32_t address, uint32_t priority, uint32_t count,
                  void *buffer)
{
    (void)address;
    (void)priority;
    (void)count;
    if (command != LM77_READ) {
        log4c_category_log(device->logCategory, LOG4C_PRIORITY_ERROR, "LM77: Invalid command %d\n", (int)command);
        return DEVICE_ACCESS_BAD_COMMAND;
    }
    if (!buffer)
        return DEVICE_ACCESS_BAD_ARGUMENT;
    deviceManagerHandlerEnter(device);
    lm77State_t *state = (lm77State_t *)device->handlerState;
    if (!state) {
        deviceManagerHandlerLeave(device);
        log4c_category_log(device->logCategory, LOG4C_PRIORITY_ERROR, " invalid state exception.");
        return DEVICE_ACCESS_NO_HANDLER;
    }
    while (sem_wait(&state->lock) != 0 && errno == EINTR) {
    }
    int16_t value = 0;
    int rc = readTemperatureFile(device->devicePath, &value);
    sem_post(&state->lock);
    deviceManagerHandlerLeave(device);
    if (rc != 0) {
        log4c_category_log(device->logCategory, LOG4C_PRIORITY_ERROR, "LM77: Fail to read the device %s\n",
                           device->devicePath);
        return DEVICE_ACCESS_NO_HANDLER;
    }
    memcpy(buffer, &value, sizeof value);
    return DEVICE_ACCESS_OK;
}

uint32_t lm77Access(deviceObject *device, uint32_t command, uint32_t address, uint32_t priority, uint32_t count,
                    void *buffer, void *callbackArgument, deviceAccessCallback_t callback)
{
    uint32_t result = lm77Read(device, command, address, priority, count, buffer);
    if (!callback)
        return result;
    callback(device, callbackArgument, result);
    return DEVICE_ACCESS_OK;
}
