#include "debuger/debuger.h"

#include "deviceManager/deviceManager.h"
#include "platform/platform.h"
#include "serviceManager/serviceManager.h"
#include "spiEmulator/spiEmulator.h"
#include "utils/utils.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

static struct {
    volatile int clientSocket;
    log4c_category_t *category;
    uint8_t buffer[DEBUGER_BUFFER_SIZE];
    volatile int listenSocket;
} debugerContext = {0, nullptr, {0}, -1};

/*
 * Reads length bytes, waiting for all of them; the count read (short only at
 * the end of the stream), or -1 after a read error or when the client sent
 * nothing for the idle limit (logged: the caller closes the client, so that an
 * idle client never holds the port for longer than that). `inFrame`: bytes of
 * the current command came before these.
 */
static ssize_t readFully(int fd, uint8_t *buffer, size_t length, bool inFrame)
{
    size_t total = 0;
    while (total < length) {
        struct pollfd waitFor = {fd, POLLIN, 0};
        int ready = poll(&waitFor, 1, DEBUGER_IDLE_LIMIT_MS);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0) {
            log4c_category_log(debugerContext.category, LOG4C_PRIORITY_ERROR,
                               "%s: Debuger: client fd %d sent nothing for %d ms %s (%d of %d bytes read), closing it",
                               __func__, fd, DEBUGER_IDLE_LIMIT_MS,
                               inFrame || total > 0 ? "in the middle of a frame" : "before a frame", (int)total,
                               (int)length);
            return -1;
        }
        ssize_t n = ready < 0 ? -1 : read(fd, buffer + total, length - total);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return total > 0 ? (ssize_t)total : n;
        total += (size_t)n;
    }
    return (ssize_t)total;
}

/*
 * Writes all of buffer. 0, or -1 after a write error or when the client read
 * nothing of its replies for the idle limit (the send time limit set at
 * accept; logged: the caller closes the client).
 */
static int writeFully(int fd, const uint8_t *buffer, size_t length)
{
    size_t total = 0;
    while (total < length) {
        ssize_t n = send(fd, buffer + total, length - total, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            log4c_category_log(debugerContext.category, LOG4C_PRIORITY_ERROR,
                               "%s: Debuger: client fd %d read none of its replies for %d ms, closing it", __func__, fd,
                               DEBUGER_IDLE_LIMIT_MS);
        if (n <= 0)
            return -1;
        total += (size_t)n;
    }
    return 0;
}

static int reply(int fd, uint8_t status)
{
    return writeFully(fd, &status, 1);
}

static void debugerInit(serviceDescriptor *service)
{
    debugerContext.category = service->category;
    debugerContext.clientSocket = 0;
    debugerContext.listenSocket = socketBind(DEBUGER_PORT);
    if (debugerContext.listenSocket < 0)
        log4c_category_log(service->category, LOG4C_PRIORITY_ERROR,
                           "%s: Error, Debugger Service could not open the debug port %d.", "debugerInit", DEBUGER_PORT);
}

/* Serves one command. 0 to go on, -1 when the client's stream ended. */
static int serveCommand(int fd)
{
    log4c_category_t *category = debugerContext.category;
    uint8_t *header = debugerContext.buffer;
    uint8_t *data = debugerContext.buffer + DEBUGER_HEADER_SIZE;
    const size_t dataRoom = DEBUGER_BUFFER_SIZE - DEBUGER_HEADER_SIZE;
    memset(debugerContext.buffer, 0, sizeof debugerContext.buffer);
    ssize_t count = readFully(fd, header, DEBUGER_HEADER_SIZE, false);
    if (count <= 0)
        return -1;
    uint8_t command = header[1], deviceId = header[2], size = header[7];
    uint32_t address = (uint32_t)header[3] << 24 | (uint32_t)header[4] << 16 | (uint32_t)header[5] << 8 | header[6];
    uint16_t crc = (uint16_t)(header[8] << 8 | header[9]);
    log4c_category_log(category, LOG4C_PRIORITY_TRACE,
                       "%s: Debuger: New command received. Strbyte 0x%02x, cmd 0x%02x, devid 0x%02x, address 0x%08x, "
                       "size 0x%02x, crc 0x%04x. Count %d, fd %d.",
                       __func__, header[0], command, deviceId, address, size, crc, (int)count, fd);
    if (count < DEBUGER_HEADER_SIZE) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: Debuger: header incomplete %d", __func__, (int)count);
        reply(fd, DEBUGER_NACK);
        return -1;
    }
    if (crc16Ccitt(header, 8) != crc) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: Debuger: CRC invalid for command header: %x", __func__, crc);
        return reply(fd, DEBUGER_NACK);
    }
    if (header[0] != DEBUGER_START_OF_FRAME) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: Debuger: Invalid start of frame: %x", __func__, header[0]);
        return reply(fd, DEBUGER_NACK);
    }
    deviceObject *device = deviceManagerGetDevice(deviceId);
    const deviceDebugFormat_t *format = device ? device->debugFormat : nullptr;
    switch (command) {
    case DEBUGER_CMD_READ: {
        size_t length = format && format->byteData ? size : 2u * size;
        log4c_category_log(category, LOG4C_PRIORITY_TRACE, "%s: Debuger: Read command. Calling platformReadDevice().",
                           __func__);
        if (length > dataRoom || platformReadDevice(deviceId, address, size, data) != 1) {
            log4c_category_log(category, LOG4C_PRIORITY_TRACE,
                               "%s: Debuger: read command. platformReadDevice() RETURNED WITH ERRORS !!!!!!! Read from "
                               "device failed.  Going to Nack fd %d.",
                               __func__, fd);
            return reply(fd, DEBUGER_NACK);
        }
        uint8_t status = format && format->littleEndian ? DEBUGER_ACK_LITTLE_ENDIAN : DEBUGER_ACK;
        log4c_category_log(category, LOG4C_PRIORITY_TRACE,
                           !format ? "%s: Debuger: Read command. platformReadDevice() returned with no errors.  Going to "
                                     "ack fd %d."
                           : format->littleEndian ? "%s: Debuger: Read command. platformReadDevice() returned with no "
                                                    "errors.  LE Going to ack fd %d."
                                                  : "%s: Debuger: Read command. platformReadDevice() returned with no "
                                                    "errors.  BE Going to ack fd %d.",
                           __func__, fd);
        if (reply(fd, status) != 0)
            return -1;
        log4c_category_log(category, LOG4C_PRIORITY_TRACE, "%s: Debuger: Read command. Going to write the read data to fd %d.",
                           __func__, fd);
        if (writeFully(fd, data, length) != 0)
            return -1;
        log4c_category_log(category, LOG4C_PRIORITY_TRACE, "%s: Debuger: Read command done.", __func__);
        return 0;
    }
    case DEBUGER_CMD_WRITE:
    case DEBUGER_CMD_BURST_WRITE: {
        size_t length = command == DEBUGER_CMD_WRITE ? 2u * size : size;
        log4c_category_log(category, LOG4C_PRIORITY_TRACE,
                           "%s: Debuger: Write command. Calling read() and waiting for %d bytes. fd %d", __func__,
                           (int)length, fd);
        if (length > dataRoom)
            return reply(fd, DEBUGER_NACK);
        if (length > 0 && readFully(fd, data, length, true) != (ssize_t)length)
            return -1;
        log4c_category_log(category, LOG4C_PRIORITY_TRACE,
                           "%s: Debuger: Write command. Recevieved write bytes. Calling platformWriteDevice().", __func__);
        if (platformWriteDevice(deviceId, address, size, data) == 1) {
            log4c_category_log(category, LOG4C_PRIORITY_TRACE,
                               "%s: Debuger: Write command. platformWriteDevice() returned with no errors.  Going to ack "
                               "fd %d.",
                               __func__, fd);
            return reply(fd, DEBUGER_ACK);
        }
        if (command == DEBUGER_CMD_BURST_WRITE)
            log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: Debuger: Burst write to device failed", __func__);
        else
            log4c_category_log(category, LOG4C_PRIORITY_TRACE,
                               "%s: Debuger: Write command. platformWriteDevice() RETURNED WITH ERRORS !!!!!!!. Write to "
                               "device failed.  Going to Nack fd %d.",
                               __func__, fd);
        return reply(fd, DEBUGER_NACK);
    }
    default:
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: Debuger: Invalide received command %d", __func__, command);
        return reply(fd, DEBUGER_NACK);
    }
}

static void dbgNetHandler(serviceDescriptor *service)
{
    log4c_category_t *category = service->category;
    while (debugerContext.listenSocket < 0 && service->state == SERVICE_STATE_RUN) {
        debugerContext.listenSocket = socketBind(DEBUGER_PORT);
        if (debugerContext.listenSocket >= 0)
            break;
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: Error, Debugger Service could not open the debug port %d. Will try again in 2 seconds...",
                           "dbgNetHandler", DEBUGER_PORT);
        for (int i = 0; i < 20 && service->state == SERVICE_STATE_RUN; i++)
            usleep(100000);
    }
    while (service->state == SERVICE_STATE_RUN || service->state == SERVICE_STATE_PAUSE) {
        if (service->state == SERVICE_STATE_PAUSE) {
            while (sem_wait(&service->semaphore) != 0 && errno == EINTR)
                ;
            continue;
        }
        int client = socketListenAccept(debugerContext.listenSocket);
        if (client < 0) {
            /* The listening socket was shut down (terminate) or failed: wait a little before trying again. */
            if (service->state == SERVICE_STATE_RUN)
                usleep(100000);
            continue;
        }
        /* A client that stops reading its replies holds the port no longer than one that stops sending. */
        struct timeval sendLimit = {DEBUGER_IDLE_LIMIT_MS / 1000, (DEBUGER_IDLE_LIMIT_MS % 1000) * 1000};
        setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
        debugerContext.clientSocket = client;
        serviceThreadAlive(6);
        while (service->state == SERVICE_STATE_RUN && serveCommand(client) == 0)
            ;
        close(client);
        debugerContext.clientSocket = 0;
        memset(debugerContext.buffer, 0, sizeof debugerContext.buffer);
    }
}

static void debugerControl(serviceDescriptor *service, int newState, int previousState)
{
    (void)service;
    (void)newState;
    (void)previousState;
    /* shutdown wakes the thread out of accept and read; the thread closes its client itself. */
    if (debugerContext.clientSocket > 0)
        shutdown(debugerContext.clientSocket, SHUT_RDWR);
    if (debugerContext.listenSocket >= 0) {
        shutdown(debugerContext.listenSocket, SHUT_RDWR);
        close(debugerContext.listenSocket);
        debugerContext.listenSocket = -1;
    }
}

serviceDescriptor debugerService = {
    "debuger", "ulm.firmware.debugerSrvc",
    debugerInit, nullptr, dbgNetHandler, debugerControl,
    1, nullptr,
};
