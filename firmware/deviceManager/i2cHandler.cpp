#include "deviceManager/deviceManagerPrivate.h"

#include "hal/hal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

/* One queued I2C request; the device copies are taken when it is queued. */
struct i2cRequest_t {
    deviceRequest_t common;
    uint32_t command;
    uint16_t registerAddress; /* 8-bit, 16-bit or page << 8 | offset */
    uint8_t slave;
    uint8_t pageRegister;
    uint8_t pageLimit;
    uint16_t count;           /* bytes */
    uint8_t *buffer;
    int32_t bypassGpioFd;
    uint32_t chipSelectLevel;
    uint32_t gpioIsText;
    uint32_t quietErrors;
};

struct i2cHandlerState_t {
    int bus; /* hal handle of the bus device */
    deviceWorker_t worker;
};

/* The status of one command, and whether its failure is one that a quiet device does not log. */
struct i2cOutcome_t {
    uint32_t status;
    int quiet;
};

static int commandHasWideAddress(uint32_t command)
{
    return command == DEVICE_I2C_READ16 || command == DEVICE_I2C_WRITE16 || command == DEVICE_I2C_PAGED_READ ||
           command == DEVICE_I2C_PAGED_WRITE;
}

static int commandIsLimitedTo256(uint32_t command)
{
    return command == DEVICE_WRITE || command == DEVICE_I2C_WRITE_RAW || command == DEVICE_I2C_WRITE16 ||
           command == DEVICE_I2C_PAGED_READ || command == DEVICE_I2C_PAGED_WRITE;
}

/* A write message of the register bytes followed by a read of count bytes, as one transfer. */
static int registerRead(int bus, uint8_t slave, const uint8_t *registerBytes, uint16_t registerLength,
                        uint8_t *buffer, uint16_t count)
{
    halI2cMessage_t messages[2] = {
        {slave, 0, registerLength, (uint8_t *)registerBytes},
        {slave, HAL_I2C_READ, count, buffer},
    };
    return halI2cTransfer(bus, messages, 2);
}

/* A plain write of the prefix bytes followed by count data bytes; 0 when all went out. */
static int prefixedWrite(int bus, const uint8_t *prefix, size_t prefixLength, const uint8_t *data, size_t count)
{
    uint8_t frame[2 + I2C_MAX_WRITE];
    if (prefixLength)
        memcpy(frame, prefix, prefixLength);
    if (count)
        memcpy(frame + prefixLength, data, count);
    int written = halI2cWrite(bus, frame, prefixLength + count);
    return written == (int)(prefixLength + count) ? 0 : (written < 0 ? written : -1);
}

static i2cOutcome_t i2cPagedTransfer(deviceObject *device, int bus, i2cRequest_t *request)
{
    log4c_category_t *log = device->logCategory;
    if (request->pageLimit == 0) {
        log4c_category_log(log, LOG4C_PRIORITY_ERROR, "%s: %s is not a paged device", __func__, device->name);
        return {DEVICE_ACCESS_BAD_COMMAND, 0};
    }
    int writing = request->command == DEVICE_I2C_PAGED_WRITE;
    unsigned page = request->registerAddress >> 8;
    unsigned offset = request->registerAddress & 0xFF;
    unsigned remaining = request->count;
    uint8_t *at = request->buffer;
    while (remaining > 0) {
        unsigned room = offset < request->pageLimit ? request->pageLimit - offset : 0;
        unsigned chunk = offset + remaining > request->pageLimit ? (remaining < room ? remaining : room) : remaining;
        uint8_t select[2] = {request->pageRegister, (uint8_t)page};
        int rc = prefixedWrite(bus, select, 2, nullptr, 0);
        if (rc != 0)
            log4c_category_log(log, LOG4C_PRIORITY_ERROR, "i2cHandler fail to send write command %d (%d:%s), resource %s",
                               rc, errno, strerror(errno), device->devicePath);
        uint8_t offsetByte = (uint8_t)offset;
        if (chunk > 0 && writing) {
            rc = prefixedWrite(bus, &offsetByte, 1, at, chunk);
            if (rc != 0) {
                log4c_category_log(log, LOG4C_PRIORITY_ERROR,
                                   "i2cHandler fail to send write command %d (%d:%s), resource %s", rc, errno,
                                   strerror(errno), device->devicePath);
                return {DEVICE_ACCESS_FAILED, 0};
            }
        } else if (chunk > 0) {
            rc = registerRead(bus, request->slave, &offsetByte, 1, at, (uint16_t)chunk);
            if (rc != 0) {
                if (!request->quietErrors)
                    log4c_category_log(log, LOG4C_PRIORITY_ERROR,
                                       "i2cHandler fail to send read ioctl %d (%d) [%x-%x], resource %s", rc, errno,
                                       request->slave, request->registerAddress, device->devicePath);
                return {DEVICE_ACCESS_FAILED, 1};
            }
            log4c_category_log(log, LOG4C_PRIORITY_INFO,
                               "I2CHandler sent READ command to the i2c handle, devAddr 0x%x, register ID %d, count %d\n",
                               request->slave, (page << 8) | offset, chunk);
        }
        at += chunk;
        remaining -= chunk;
        page = (page + 1) & 0xFF;
        offset = 0;
    }
    return {DEVICE_ACCESS_OK, 0};
}

static i2cOutcome_t i2cRunCommand(deviceObject *device, int bus, i2cRequest_t *request)
{
    log4c_category_t *log = device->logCategory;
    uint8_t slave = request->slave;
    uint16_t reg = request->registerAddress;
    uint8_t reg8 = (uint8_t)reg;
    uint8_t reg16[2] = {(uint8_t)(reg >> 8), (uint8_t)reg};
    int rc;
    switch (request->command) {
    case DEVICE_READ:
        rc = registerRead(bus, slave, &reg8, 1, request->buffer, request->count);
        if (rc != 0) {
            if (!request->quietErrors)
                log4c_category_log(log, LOG4C_PRIORITY_ERROR, "i2cHandler fail to send read ioctl %d (%d) [%x-%x], resource %s",
                                   rc, errno, slave, reg, device->devicePath);
            return {DEVICE_ACCESS_FAILED, 1};
        }
        log4c_category_log(log, LOG4C_PRIORITY_INFO,
                           "I2CHandler sent READ command to the i2c handle, devAddr 0x%x, register ID %d, count %d\n",
                           slave, reg, request->count);
        return {DEVICE_ACCESS_OK, 0};
    case DEVICE_WRITE:
        rc = prefixedWrite(bus, &reg8, 1, request->buffer, request->count);
        if (rc != 0) {
            log4c_category_log(log, LOG4C_PRIORITY_ERROR, "i2cHandler fail to send write command %d (%d), resource %s",
                               rc, errno, device->devicePath);
            return {DEVICE_ACCESS_FAILED, 0};
        }
        return {DEVICE_ACCESS_OK, 0};
    case DEVICE_I2C_READ_DIRECT: {
        halI2cMessage_t message = {slave, HAL_I2C_READ, request->count, request->buffer};
        if (halI2cTransfer(bus, &message, 1) != 0) {
            log4c_category_log(log, LOG4C_PRIORITY_ERROR, "i2cHandler fail to send readDirect ioctl %d (%d) [%x-%x]", -1,
                               errno, slave, reg);
            return {DEVICE_ACCESS_FAILED, 0};
        }
        log4c_category_log(log, LOG4C_PRIORITY_INFO,
                           "I2CHandler sent ReadDirect command to the i2c handle, devAddr 0x%x, register ID %d, count %d\n",
                           slave, reg, request->count);
        return {DEVICE_ACCESS_OK, 0};
    }
    case DEVICE_I2C_WRITE_RAW:
        rc = prefixedWrite(bus, nullptr, 0, request->buffer, request->count);
        if (rc != 0) {
            log4c_category_log(log, LOG4C_PRIORITY_ERROR, "i2cHandler fail to send write command %d (%d)", rc, errno);
            return {DEVICE_ACCESS_FAILED, 0};
        }
        return {DEVICE_ACCESS_OK, 0};
    case DEVICE_I2C_READ16:
        rc = registerRead(bus, slave, reg16, 2, request->buffer, request->count);
        if (rc != 0) {
            log4c_category_log(log, LOG4C_PRIORITY_ERROR, "i2cHandler fail to send read (16bitRegAddr) ioctl %d (%d) [%x-%x]",
                               rc, errno, slave, reg);
            return {DEVICE_ACCESS_FAILED, 0};
        }
        log4c_category_log(log, LOG4C_PRIORITY_INFO,
                           "I2CHandler sent READ (16bitRegAddr) command to the i2c handle, devAddr 0x%x, register ID %d, count %d\n",
                           slave, reg, request->count);
        return {DEVICE_ACCESS_OK, 0};
    case DEVICE_I2C_WRITE16:
        rc = prefixedWrite(bus, reg16, 2, request->buffer, request->count);
        if (rc != 0) {
            log4c_category_log(log, LOG4C_PRIORITY_ERROR, "i2cHandler fail to send write (16bitRegAddr) command %d (%d)", rc,
                               errno);
            return {DEVICE_ACCESS_FAILED, 0};
        }
        return {DEVICE_ACCESS_OK, 0};
    case DEVICE_I2C_PAGED_READ:
    case DEVICE_I2C_PAGED_WRITE:
        return i2cPagedTransfer(device, bus, request);
    default:
        log4c_category_log(log, LOG4C_PRIORITY_ERROR, "i2cHandler unknown command %d", (int)request->command);
        return {DEVICE_ACCESS_BAD_COMMAND, 0};
    }
}

static uint32_t i2cPerform(deviceObject *device, deviceRequest_t *common)
{
    i2cRequest_t *request = (i2cRequest_t *)common;
    i2cHandlerState_t *state = (i2cHandlerState_t *)device->handlerState;
    log4c_category_t *log = device->logCategory;

    if (commandIsLimitedTo256(request->command) && request->count > I2C_MAX_WRITE)
        request->count = I2C_MAX_WRITE;
    /* Reads with a register number leave the slave address in the first byte until data arrive. */
    if ((request->command == DEVICE_READ || request->command == DEVICE_I2C_READ16 ||
         request->command == DEVICE_I2C_PAGED_READ) && request->count > 0)
        request->buffer[0] = request->slave;

    deviceManagerGpioDrive(request->bypassGpioFd, request->chipSelectLevel, request->gpioIsText, 1);
    log4c_category_log(log, LOG4C_PRIORITY_INFO, "i2cHandler set the i2c slave address 0x%x\n", request->slave);
    i2cOutcome_t outcome = {DEVICE_ACCESS_OK, 0};
    int rc = halI2cSetSlave(state->bus, request->slave);
    if (rc != 0) {
        log4c_category_log(log, LOG4C_PRIORITY_ERROR, "i2cHandler fail to set the address %d (%d)", rc, errno);
        outcome.status = DEVICE_ACCESS_FAILED;
    } else {
        outcome = i2cRunCommand(device, state->bus, request);
    }
    deviceManagerGpioDrive(request->bypassGpioFd, request->chipSelectLevel, request->gpioIsText, 0);

    if (outcome.status != DEVICE_ACCESS_OK && !(outcome.quiet && request->quietErrors))
        log4c_category_log(log, LOG4C_PRIORITY_ERROR, "i2cHandler access error %d", (int)outcome.status);
    return outcome.status;
}

uint32_t createI2cHandler(deviceObject *device, uint32_t assignedId)
{
    (void)assignedId;
    device->logCategory = log4c_category_get("ulm.firmware.i2cHandler");
    if (device->handlerState) {
        log4c_category_log(device->logCategory, LOG4C_PRIORITY_WARN, "%s: %s has a handler already",
                           __func__, device->name);
        return DEVICE_ACCESS_OK;
    }
    i2cHandlerState_t *state = (i2cHandlerState_t *)calloc(1, sizeof *state);
    if (!state)
        return DEVICE_ACCESS_NO_HANDLER;

    if (!deviceManagerHandlerOpenGpio(device, "i2c", "gpio pin")) {
        free(state);
        return DEVICE_ACCESS_NO_HANDLER;
    }

    state->bus = device->devicePath ? halDeviceOpen(device->devicePath) : -1;
    if (state->bus < 0) {
        log4c_category_log(device->logCategory, LOG4C_PRIORITY_DEBUG, "open error %s",
                           device->devicePath ? device->devicePath : "NULL");
        deviceManagerGpioClose(device);
        free(state);
        return DEVICE_ACCESS_NO_HANDLER;
    }

    uint32_t made = deviceManagerHandlerStart(device, state, &state->worker, "createI2cHandlers", "deviceI2C",
                                       sizeof(i2cRequest_t), I2C_REQUEST_POOL, i2cPerform);
    if (made != DEVICE_ACCESS_OK) {
        halDeviceClose(state->bus);
        deviceManagerGpioClose(device);
        free(state);
    }
    return made;
}

uint32_t deleteI2cHandler(deviceObject *device)
{
    i2cHandlerState_t *state = (i2cHandlerState_t *)device->handlerState;
    if (!state) {
        log4c_category_log(device->logCategory, LOG4C_PRIORITY_ERROR, "deleteI2cHandler invalid state exception.");
        return DEVICE_ACCESS_NO_HANDLER;
    }
    deviceManagerHandlerStop(device, &state->worker);
    halDeviceClose(state->bus);
    deviceManagerGpioClose(device);
    free(state);
    return DEVICE_ACCESS_OK;
}

static uint32_t i2cHandlerAccess(deviceObject *device, uint32_t command, uint32_t address, uint32_t priority,
                                 uint32_t count, void *buffer, uint32_t synchronous, void *callbackArgument,
                                 deviceAccessCallback_t callback)
{
    if (priority >= DEVICE_PRIORITY_COUNT || count > 0xFFFF || (count > 0 && !buffer)) {
        log4c_category_log(device->logCategory, LOG4C_PRIORITY_ERROR,
                           "%s: %s: refused: priority %u, count %u, buffer %p", __func__, device->name,
                           priority, count, buffer);
        return DEVICE_ACCESS_BAD_ARGUMENT;
    }
    deviceManagerHandlerEnter(device);
    i2cHandlerState_t *state = (i2cHandlerState_t *)device->handlerState;
    if (!state) {
        deviceManagerHandlerLeave(device);
        log4c_category_log(device->logCategory, LOG4C_PRIORITY_ERROR, "%s: %s has no handler", __func__,
                           device->name);
        return DEVICE_ACCESS_NO_HANDLER;
    }
    i2cRequest_t *request = (i2cRequest_t *)deviceManagerWorkerTake(&state->worker);
    request->command = command;
    if (commandHasWideAddress(command)) {
        request->registerAddress = (uint16_t)address;
        request->slave = (uint8_t)(address >> 16);
    } else {
        request->registerAddress = (uint16_t)(address & 0xFF);
        request->slave = (uint8_t)(address >> 8);
    }
    request->pageRegister = device->pageRegister;
    request->pageLimit = device->pageLimit;
    request->count = (uint16_t)count;
    request->buffer = (uint8_t *)buffer;
    request->bypassGpioFd = device->bypassGpioFd;
    request->chipSelectLevel = device->chipSelectLevel;
    request->gpioIsText = device->bypassGpioIsText;
    request->quietErrors = device->quietErrors;
    uint32_t status = deviceManagerWorkerSubmit(&state->worker, &request->common, priority, synchronous,
                                         callbackArgument, callback);
    deviceManagerHandlerLeave(device);
    return status;
}

uint32_t i2cHandlerAccessAsync(deviceObject *device, uint32_t command, uint32_t address, uint32_t priority,
                               uint32_t count, void *buffer, void *callbackArgument,
                               deviceAccessCallback_t callback)
{
    return i2cHandlerAccess(device, command, address, priority, count, buffer, 0, callbackArgument, callback);
}

uint32_t i2cHandlerAccessSync(deviceObject *device, uint32_t command, uint32_t address, uint32_t priority,
                              uint32_t count, void *buffer)
{
    return i2cHandlerAccess(device, command, address, priority, count, buffer, 1, nullptr, nullptr);
}
