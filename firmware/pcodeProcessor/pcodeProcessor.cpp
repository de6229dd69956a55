#include "pcodeProcessor/pcodeProcessor.h"

#include "platform/platform.h"
#include "serviceManager/serviceManager.h"

#include <atomic>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <semaphore.h>
#include <unistd.h>

enum { DECODER_START_WAIT_USEC = 100000, DECODER_START_WAITS = 300, DECODER_THREAD_NUMBER = 7 };

pthread_mutex_t firmwareMutex = PTHREAD_MUTEX_INITIALIZER;

static struct {
    log4c_category_t *category;
    sem_t semPcodeReady;     /* a pcode waits in the buffer */
    sem_t semPcodeProcessed; /* the buffer is free */
    int semaphoresCreated;
    std::atomic<int> closing; /* terminated: producers drop their pcodes */
    setDevicePcodeHandlerInfo *listenerHead;
    setDevicePcodeHandlerInfo *listenerTail;
    int listenerCount;
    uint32_t pcodeCountUnsupported;
    uint32_t pcodeCountHandled;
    uint32_t pcodeCountReceived;
    pcodeHandlerInfo *handlers[PCODE_CLASS_COUNT][PCODE_ID_COUNT];
    std::atomic<int> decoderStarted;
    int startWaits; /* one budget of 300 waits for the whole process */
    uint8_t buffer[PCODE_BUFFER_SIZE];
    uint32_t length;
} pcodeContext;

static void pcodeProcessorInit(serviceDescriptor *service);
static void pcodeProcThreadEntry(serviceDescriptor *service);
static void pcodeProcessorControl(serviceDescriptor *service, int newState, int previousState);

serviceDescriptor pcodeProcessorService = {
    "pcodeProcessor", "ulm.firmware.pcodeProcSrvc",
    pcodeProcessorInit, nullptr, pcodeProcThreadEntry, pcodeProcessorControl,
    60, nullptr,
};

static log4c_category_t *pcodeCategory(void)
{
    if (!pcodeContext.category)
        pcodeContext.category = log4c_category_get(pcodeProcessorService.categoryName);
    return pcodeContext.category;
}

static uint16_t readBig16(const uint8_t *bytes)
{
    return (uint16_t)((bytes[0] << 8) | bytes[1]);
}

static uint32_t readBig32(const uint8_t *bytes)
{
    return ((uint32_t)bytes[0] << 24) | ((uint32_t)bytes[1] << 16) | ((uint32_t)bytes[2] << 8) | bytes[3];
}

void registerPcodeHandler(pcodeHandlerInfo *info)
{
    int classIndex = info->classCode / 10;
    assert(classIndex < PCODE_CLASS_COUNT && info->pcodeId < PCODE_ID_COUNT);
    pcodeHandlerInfo **link = &pcodeContext.handlers[classIndex][info->pcodeId];
    while (*link) {
        if (*link == info)
            return; /* already in the chain: linking it again would make a loop */
        link = &(*link)->next;
    }
    info->next = nullptr;
    *link = info;
}

void registerSetDevicePcodeHandler(setDevicePcodeHandlerInfo *info)
{
    assert(info->setDevicePcodeHandler != nullptr);
    for (setDevicePcodeHandlerInfo *listener = pcodeContext.listenerHead; listener; listener = listener->next)
        if (listener == info)
            return;
    info->next = nullptr;
    if (pcodeContext.listenerTail)
        pcodeContext.listenerTail->next = info;
    else
        pcodeContext.listenerHead = info;
    pcodeContext.listenerTail = info;
    pcodeContext.listenerCount++;
}

static bool listenerMatches(const setDevicePcodeHandlerInfo *listener, uint8_t slot, uint16_t device, uint16_t reg)
{
    return (listener->slot == 0xFF || listener->slot == slot) &&
           (listener->device == 0xFFFF || listener->device == device) &&
           (listener->reg == 0xFFFF || listener->reg == reg);
}

/* The processor's own handler of set-device-register pcodes: fans them out to the listeners. */
static void setDeviceRegisterHandler(const uint8_t *pcode, uint32_t length)
{
    uint16_t byteCount = readBig16(pcode + 2);
    if (byteCount < PCODE_SET_DEVICE_DATA_SIZE || length < PCODE_HEADER_SIZE + PCODE_SET_DEVICE_DATA_SIZE) {
        log4c_category_log(pcodeCategory(), LOG4C_PRIORITY_ERROR,
                           "%s: SET_DEVICE_REGISTER refused: %u data bytes, %d needed", __func__,
                           (unsigned)byteCount, PCODE_SET_DEVICE_DATA_SIZE);
        return;
    }
    uint8_t slot = pcode[4];
    uint16_t device = readBig16(pcode + 5);
    uint16_t reg = readBig16(pcode + 7);
    uint32_t value = readBig32(pcode + 9);
    log4c_category_log(pcodeCategory(), LOG4C_PRIORITY_DEBUG,
                       "%s: PCODE PROC: SET_DEVICE_REGISTER slot=%x, dev=%x, reg=%x, val=%x", __func__, slot, device,
                       reg, value);
    for (setDevicePcodeHandlerInfo *listener = pcodeContext.listenerHead; listener; listener = listener->next)
        if (listenerMatches(listener, slot, device, reg))
            listener->setDevicePcodeHandler(slot, device, reg, value);
}

static void pcodeDispatch(void)
{
    const uint8_t *pcode = pcodeContext.buffer;
    int classIndex = pcode[0] / 10;
    int pcodeId = pcode[1];
    pcodeContext.pcodeCountReceived++;
    log4c_category_log(pcodeCategory(), LOG4C_PRIORITY_DEBUG,
                       "%s: Pcode received info pcodeClass=%d, pcodeId=%d, byteCount %d dstSlotId %d length %d "
                       "pcodeCountReceived(%d)!",
                       __func__, classIndex, pcodeId, readBig16(pcode + 2),
                       pcodeContext.length > PCODE_HEADER_SIZE ? pcode[4] : 0, (int)pcodeContext.length,
                       (int)pcodeContext.pcodeCountReceived);
    if (classIndex >= PCODE_CLASS_COUNT || pcodeId >= PCODE_ID_COUNT) {
        log4c_category_log(pcodeCategory(), LOG4C_PRIORITY_ERROR, "%s: Invalid Pcode received: class=%d, id=%d",
                           __func__, classIndex, pcodeId);
        return;
    }
    pcodeHandlerInfo *info = pcodeContext.handlers[classIndex][pcodeId];
    if (!info) {
        pcodeContext.pcodeCountUnsupported++;
        log4c_category_log(pcodeCategory(), LOG4C_PRIORITY_ERROR, "%s: Unsupported pcode: class=%d, id=%d", __func__,
                           classIndex, pcodeId);
        return;
    }
    pcodeContext.pcodeCountHandled++;
    for (; info; info = info->next) {
        if (info->handler)
            info->handler(pcode, pcodeContext.length);
        else
            log4c_category_log(pcodeCategory(), LOG4C_PRIORITY_ERROR, "%s: Invalid Pcode handler: class=%d, id=%d",
                               __func__, classIndex, pcodeId);
    }
}

/* Checks the length of a pcode before it may enter the buffer. */
static bool pcodeAcceptable(uint32_t length, const uint8_t *pcode, log4c_category_t *category)
{
    if (!pcode || length < PCODE_HEADER_SIZE || length > PCODE_BUFFER_SIZE) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "pcodeProcessor: pcode of %u bytes refused (%d to %d)",
                           (unsigned)length, PCODE_HEADER_SIZE, PCODE_BUFFER_SIZE);
        return false;
    }
    uint32_t byteCount = readBig16(pcode + 2);
    if (PCODE_HEADER_SIZE + byteCount > length) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "pcodeProcessor: pcode class=%d, id=%d refused: byteCount %u exceeds the %u bytes received",
                           pcode[0] / 10, pcode[1], (unsigned)byteCount, (unsigned)length);
        return false;
    }
    return true;
}

/* Waits for the decoder thread to start, within the process's budget. False: drop the pcode. */
static bool pcodeWaitForDecoder(void)
{
    if (pcodeContext.decoderStarted)
        return true;
    while (!pcodeContext.decoderStarted && pcodeContext.startWaits < DECODER_START_WAITS) {
        usleep(DECODER_START_WAIT_USEC);
        pcodeContext.startWaits++;
    }
    if (pcodeContext.startWaits >= DECODER_START_WAITS)
        log4c_category_log(pcodeCategory(), LOG4C_PRIORITY_ERROR,
                           "Error %s: Pcode Decoder thread took too long to start. We are losing pcodes!",
                           "pcodeProcessor");
    return pcodeContext.decoderStarted != 0;
}

void pcodeProcessor(uint32_t length, const uint8_t *pcode, log4c_category_t *category)
{
    if (!category)
        category = pcodeCategory();
    if (!pcodeAcceptable(length, pcode, category))
        return;

    pthread_mutex_lock(&firmwareMutex);
    if (!pcodeContext.semaphoresCreated || !pcodeWaitForDecoder() || pcodeContext.closing) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: decoder not running, pcode class=%d, id=%d dropped",
                           __func__, pcode[0] / 10, pcode[1]);
        pthread_mutex_unlock(&firmwareMutex);
        return;
    }
    int value = 0;
    if (sem_getvalue(&pcodeContext.semPcodeProcessed, &value) != 0)
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: Error when trying to get semPcodeProcessed sem_getvalue!", __func__);
    else if (value > 1)
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: semPcodeProcessed value is invalid. Sem value = %d (0x%08x)",
                           __func__, value, value);

    int rc;
    while ((rc = sem_wait(&pcodeContext.semPcodeProcessed)) != 0 && errno == EINTR)
        log4c_category_log(category, LOG4C_PRIORITY_WARN,
                           "%s Warning! sem_wait was interrupted. retVal %d, err is %s (errno:%d). Going to retry sem_wait.",
                           __func__, rc, strerror(errno), errno);
    if (pcodeContext.closing) {
        /* Terminated while we waited: let the next producer through as well. */
        sem_post(&pcodeContext.semPcodeProcessed);
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: decoder terminated, pcode class=%d, id=%d dropped",
                           __func__, pcode[0] / 10, pcode[1]);
        pthread_mutex_unlock(&firmwareMutex);
        return;
    }

    memcpy(pcodeContext.buffer, pcode, length);
    pcodeContext.length = length;
    if ((rc = sem_post(&pcodeContext.semPcodeReady)) != 0)
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s ERROR in sem_post!!!!!!! retVal %d, error is %s (errno:%d)",
                           __func__, rc, strerror(errno), errno);
    if (sem_getvalue(&pcodeContext.semPcodeReady, &value) != 0) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: Error when trying to get semPcodeReady sem_getvalue!",
                           __func__);
    } else if (value > 1) {
        int processed = 0;
        sem_getvalue(&pcodeContext.semPcodeProcessed, &processed);
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: sem_post for semPcodeReady. Sem value = %d (0x%08x). Note semPcodeProcessed is %d.",
                           __func__, value, value, processed);
    }
    pthread_mutex_unlock(&firmwareMutex);
}

/* The pcode path the platform's device 18 and its SPI cut use. */
static const platformPcodeSink_t pcodeSink = {
    pcodeProcessorIsRunning, pcodeProcessor, pcodeProcessorSetPaused, PCODE_BUFFER_SIZE, PCODE_HEADER_SIZE,
};

static void pcodeProcessorInit(serviceDescriptor *service)
{
    pcodeContext.category = service->category;
    platformRegisterPcodeSink(&pcodeSink);
    pcodeContext.pcodeCountUnsupported = 0;
    pcodeContext.pcodeCountHandled = 0;
    pcodeContext.pcodeCountReceived = 0;
    memset(pcodeContext.handlers, 0, sizeof pcodeContext.handlers);
    pcodeContext.listenerHead = nullptr;
    pcodeContext.listenerTail = nullptr;
    pcodeContext.listenerCount = 0;
    pcodeContext.decoderStarted = 0;
    pcodeContext.closing = 0;
    if (pcodeContext.semaphoresCreated) {
        sem_destroy(&pcodeContext.semPcodeReady);
        sem_destroy(&pcodeContext.semPcodeProcessed);
        pcodeContext.semaphoresCreated = 0;
    }
    if (sem_init(&pcodeContext.semPcodeReady, 0, 0) != 0) {
        log4c_category_log(pcodeCategory(), LOG4C_PRIORITY_ERROR, "%s: initService %s: failed to create semaphore ready",
                           __func__, service->name);
        return;
    }
    if (sem_init(&pcodeContext.semPcodeProcessed, 0, 1) != 0) {
        sem_destroy(&pcodeContext.semPcodeReady);
        log4c_category_log(pcodeCategory(), LOG4C_PRIORITY_ERROR,
                           "%s: initService %s: failed to create semaphore processed", __func__, service->name);
        return;
    }
    pcodeContext.semaphoresCreated = 1;
}

static void pcodeProcThreadEntry(serviceDescriptor *service)
{
    static pcodeHandlerInfo setDeviceRegister = {setDeviceRegisterHandler, PCODE_CLASS_SET_DEVICE,
                                                 PCODE_ID_SET_DEVICE_REGISTER, nullptr};
    registerPcodeHandler(&setDeviceRegister);
    pcodeContext.decoderStarted = 1;

    while (service->state == SERVICE_STATE_RUN || service->state == SERVICE_STATE_PAUSE) {
        if (service->state == SERVICE_STATE_PAUSE) {
            while (sem_wait(&service->semaphore) != 0 && errno == EINTR)
                ;
            continue;
        }
        int rc;
        while ((rc = sem_wait(&pcodeContext.semPcodeReady)) != 0 && errno == EINTR)
            log4c_category_log(pcodeCategory(), LOG4C_PRIORITY_WARN,
                               "%s ERROR in sem_wait semPcodeReady!!!!!!! retVal %d, err is %s (errno:%d)", __func__,
                               rc, strerror(errno), errno);
        serviceThreadAlive(DECODER_THREAD_NUMBER);
        if (service->state == SERVICE_STATE_TERMINATE)
            break;
        pcodeDispatch();
        sem_post(&pcodeContext.semPcodeProcessed);
    }
}

/*
 * On terminate: wake the decoder so that it sees state 3, and any producer
 * waiting for the buffer so that it drops its pcode. The semaphores stay:
 * producers may still call in at any time.
 */
static void pcodeProcessorControl(serviceDescriptor *service, int newState, int previousState)
{
    (void)service;
    (void)newState;
    (void)previousState;
    if (!pcodeContext.semaphoresCreated)
        return;
    pcodeContext.closing = 1;
    sem_post(&pcodeContext.semPcodeReady);
    sem_post(&pcodeContext.semPcodeProcessed);
}

void pcodeProcessorSetPaused(int flag)
{
    if (flag) {
        pcodeProcessorService.state = SERVICE_STATE_PAUSE;
        return;
    }
    /* A terminated decoder has left; only a paused or not yet running one resumes. */
    int state = pcodeProcessorService.state;
    if (state != SERVICE_STATE_RUN && state != SERVICE_STATE_TERMINATE) {
        pcodeProcessorService.state = SERVICE_STATE_RUN;
        if (pcodeProcessorService.semaphoreCreated)
            sem_post(&pcodeProcessorService.semaphore);
    }
}

int pcodeProcessorIsRunning(void)
{
    return pcodeProcessorService.state == SERVICE_STATE_RUN ? 1 : 0;
}
