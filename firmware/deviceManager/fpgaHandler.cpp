#include "deviceManager/deviceManagerPrivate.h"

#include "spiEmulator/spiEmulator.h"

#include <cstdlib>
#include <cstring>

/* One queued FPGA request; the device copies are taken when it is queued. */
struct fpgaRequest_t {
    deviceRequest_t common;
    uint32_t command; /* the device-manager command with bit 31 set */
    uint32_t address; /* 30 bits used */
    uint32_t count;   /* 16-bit words */
    uint8_t *buffer;
    int32_t bypassGpioFd;
    uint32_t chipSelectLevel;
    uint32_t gpioIsText;
    uint32_t spiLinkCut;
};

struct fpgaHandlerState_t {
    spiChannel_t *channel;
    deviceWorker_t worker;
};

enum {
    FPGA_COMMAND_FLAG = 0x80000000u,
    FPGA_READ = 0x80000000u,
    FPGA_WRITE = 0x80000001u,
    FPGA_KEYHOLE_READ = 0x80000002u,
    FPGA_KEYHOLE_WRITE = 0x80000003u,
};

static void putBe32(uint8_t *at, uint32_t value)
{
    at[0] = (uint8_t)(value >> 24);
    at[1] = (uint8_t)(value >> 16);
    at[2] = (uint8_t)(value >> 8);
    at[3] = (uint8_t)value;
}

/*
 * Frames of one request, each one transfer of at most 3,000 bytes: a request
 * larger than one frame goes out as consecutive frames, each starting where the
 * previous one ended (a keyhole access stays on its one register).
 */
static uint32_t fpgaReadFrames(spiChannel_t *channel, const fpgaRequest_t *request, int keyhole)
{
    uint32_t done = 0;
    do {
        uint32_t words = request->count - done;
        if (words > FPGA_MAX_READ_WORDS)
            words = FPGA_MAX_READ_WORDS;
        uint32_t address = (request->address + (keyhole ? 0 : done)) & 0x3FFFFFFF;
        size_t length = 6 + 2 * (size_t)words;
        memset(channel->txBuffer, 0, length);
        putBe32(channel->txBuffer, (keyhole ? 0xC0000000u : 0x80000000u) | address);
        channel->txBuffer[4] = (uint8_t)((words >> 8) & 0x0F);
        channel->txBuffer[5] = (uint8_t)words;
        if (spiEmulatorChannelTransfer(channel, length) != SPI_CHANNEL_OK)
            return DEVICE_ACCESS_FAILED;
        if (words)
            memcpy(request->buffer + 2 * (size_t)done, channel->rxBuffer + 6, 2 * (size_t)words);
        done += words;
    } while (done < request->count);
    return DEVICE_ACCESS_OK;
}

static uint32_t fpgaWriteFrames(spiChannel_t *channel, const fpgaRequest_t *request, int keyhole)
{
    uint32_t done = 0;
    do {
        uint32_t words = request->count - done;
        if (words > FPGA_MAX_WRITE_WORDS)
            words = FPGA_MAX_WRITE_WORDS;
        uint32_t address = (request->address + (keyhole ? 0 : done)) & 0x3FFFFFFF;
        putBe32(channel->txBuffer, (keyhole ? 0x40000000u : 0x00000000u) | address);
        if (words)
            memcpy(channel->txBuffer + 4, request->buffer + 2 * (size_t)done, 2 * (size_t)words);
        if (spiEmulatorChannelTransfer(channel, 4 + 2 * (size_t)words) != SPI_CHANNEL_OK)
            return DEVICE_ACCESS_FAILED;
        done += words;
    } while (done < request->count);
    return DEVICE_ACCESS_OK;
}

static uint32_t fpgaPerform(deviceObject *device, deviceRequest_t *common)
{
    fpgaRequest_t *request = (fpgaRequest_t *)common;
    if (request->spiLinkCut)
        return DEVICE_ACCESS_OK;
    fpgaHandlerState_t *state = (fpgaHandlerState_t *)device->handlerState;
    spiChannel_t *channel = state->channel;

    deviceManagerGpioDrive(request->bypassGpioFd, request->chipSelectLevel, request->gpioIsText, 1);
    uint32_t status;
    switch (request->command) {
    case FPGA_READ:
        status = fpgaReadFrames(channel, request, 0);
        break;
    case FPGA_KEYHOLE_READ:
        status = fpgaReadFrames(channel, request, 1);
        break;
    case FPGA_WRITE:
        status = fpgaWriteFrames(channel, request, 0);
        break;
    case FPGA_KEYHOLE_WRITE:
        status = fpgaWriteFrames(channel, request, 1);
        break;
    default:
        log4c_category_log(device->logCategory, LOG4C_PRIORITY_ERROR, "%s: %s: unknown command 0x%x",
                           __func__, device->name, request->command);
        status = DEVICE_ACCESS_BAD_COMMAND;
        break;
    }
    deviceManagerGpioDrive(request->bypassGpioFd, request->chipSelectLevel, request->gpioIsText, 0);
    if (status != DEVICE_ACCESS_OK)
        log4c_category_log(device->logCategory, LOG4C_PRIORITY_ERROR, "fpgaHandler ulmSpiIO error %d", (int)status);
    return status;
}

uint32_t createFpgaHandler(deviceObject *device, uint32_t assignedId)
{
    (void)assignedId;
    device->logCategory = log4c_category_get("ulm.firmware.fpgaHandler");
    if (device->handlerState) {
        log4c_category_log(device->logCategory, LOG4C_PRIORITY_WARN, "%s: %s has a handler already",
                           __func__, device->name);
        return DEVICE_ACCESS_OK;
    }
    fpgaHandlerState_t *state = (fpgaHandlerState_t *)calloc(1, sizeof *state);
    if (!state)
        return DEVICE_ACCESS_NO_HANDLER;

    if (!deviceManagerHandlerOpenGpio(device, "spi", "chipselect pin")) {
        free(state);
        return DEVICE_ACCESS_NO_HANDLER;
    }

    int rc = spiChannelOpen(device->devicePath, &state->channel);
    if (rc != SPI_CHANNEL_OK) {
        log4c_category_log(device->logCategory, LOG4C_PRIORITY_ERROR,
                           "ulmSpiOpen error %d on %s cann't open dev will not create thread!", rc,
                           device->devicePath ? device->devicePath : "NULL");
        deviceManagerGpioClose(device);
        free(state);
        return (uint32_t)rc;
    }

    uint32_t made = deviceManagerHandlerStart(device, state, &state->worker, "createFpgaHandlers", "deviceFPGA",
                                       sizeof(fpgaRequest_t), FPGA_REQUEST_POOL, fpgaPerform);
    if (made != DEVICE_ACCESS_OK) {
        spiChannelClose(state->channel);
        deviceManagerGpioClose(device);
        free(state);
    }
    return made;
}

uint32_t deleteFpgaHandler(deviceObject *device)
{
    fpgaHandlerState_t *state = (fpgaHandlerState_t *)device->handlerState;
    if (!state) {
        log4c_category_log(device->logCategory, LOG4C_PRIORITY_ERROR, "deleteFpgaHandler invalid state exception.");
        return DEVICE_ACCESS_NO_HANDLER;
    }
    deviceManagerHandlerStop(device, &state->worker);
    spiChannelClose(state->channel);
    deviceManagerGpioClose(device);
    free(state);
    return DEVICE_ACCESS_OK;
}

/* Checks, takes, fills and submits one request. */
static uint32_t fpgaHandlerAccess(deviceObject *device, uint32_t command, uint32_t address, uint32_t priority,
                                  uint32_t count, void *buffer, uint32_t synchronous, void *callbackArgument,
                                  deviceAccessCallback_t callback)
{
    if (priority >= DEVICE_PRIORITY_COUNT || (count > 0 && !buffer) || count > 0x7FFFFFFF) {
        log4c_category_log(device->logCategory, LOG4C_PRIORITY_ERROR,
                           "%s: %s: refused: priority %u, count %u, buffer %p", __func__, device->name,
                           priority, count, buffer);
        return DEVICE_ACCESS_BAD_ARGUMENT;
    }
    deviceManagerHandlerEnter(device);
    fpgaHandlerState_t *state = (fpgaHandlerState_t *)device->handlerState;
    if (!state) {
        deviceManagerHandlerLeave(device);
        log4c_category_log(device->logCategory, LOG4C_PRIORITY_ERROR, "%s: %s has no handler", __func__,
                           device->name);
        return DEVICE_ACCESS_NO_HANDLER;
    }
    fpgaRequest_t *request = (fpgaRequest_t *)deviceManagerWorkerTake(&state->worker);
    request->command = command | FPGA_COMMAND_FLAG;
    request->address = address;
    request->count = count;
    request->buffer = (uint8_t *)buffer;
    request->bypassGpioFd = device->bypassGpioFd;
    request->chipSelectLevel = device->chipSelectLevel;
    request->gpioIsText = device->bypassGpioIsText;
    request->spiLinkCut = device->spiLinkCut;
    uint32_t status = deviceManagerWorkerSubmit(&state->worker, &request->common, priority, synchronous,
                                         callbackArgument, callback);
    deviceManagerHandlerLeave(device);
    return status;
}

uint32_t fpgaHandlerAccessAsync(deviceObject *device, uint32_t command, uint32_t address, uint32_t priority,
                                uint32_t count, void *buffer, void *callbackArgument,
                                deviceAccessCallback_t callback)
{
    return fpgaHandlerAccess(device, command, address, priority, count, buffer, 0, callbackArgument, callback);
}

uint32_t fpgaHandlerAccessSync(deviceObject *device, uint32_t command, uint32_t address, uint32_t priority,
                               uint32_t count, void *buffer)
{
    return fpgaHandlerAccess(device, command, address, priority, count, buffer, 1, nullptr, nullptr);
}
