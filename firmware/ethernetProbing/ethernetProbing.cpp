#include "ethernetProbing/ethernetProbing.h"

#include "hal/hal.h"
#include "platform/platform.h"
#include "serviceManager/serviceManager.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <glib.h>
#include <unistd.h>

/*
 * The ethernet-probing service: four buffers move from the free queue to the
 * reader, through the full queue to the decoder and back. Every buffer the
 * reader takes goes back to the free queue, whatever happens to it.
 */

namespace {

enum {
    RETRY_SECONDS = 3,
    POP_TIMEOUT_US = 200000,
    NO_BUFFER_SLEEP_US = 1000,
    READ_LIMIT_US = 20999,
    PASS_LIMIT_US = 11999,
    PROCESS_LIMIT_US = 14999,
    STOP_WAIT_MS = 3000,
};

struct buffer_t {
    uint8_t bytes[ETH_PROBING_BUFFER_SIZE];
    size_t length;
};

struct {
    serviceDescriptor *service;
    log4c_category_t *category;
    buffer_t buffers[ETH_PROBING_BUFFERS];
    GAsyncQueue *freeQueue;
    GAsyncQueue *fullQueue;
    int device = -1;
    volatile int decoderStop;
    volatile int decoderRunning;
    uint32_t vsyncExpected;
    int vsyncKnown;
    unsigned startDelayMs = 5000;
} eth;

log4c_category_t *category()
{
    if (!eth.category)
        eth.category = log4c_category_get("ulm.firmware.ethernetProbingSrvc");
    return eth.category;
}

uint64_t microseconds(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000000u + (uint64_t)t.tv_nsec / 1000u;
}

int serviceRunning(void)
{
    return eth.service && eth.service->state.load() == SERVICE_STATE_RUN;
}

/* Sleeps ms in short steps while the service runs; 0 when it stopped. */
int sleepWhileRunning(unsigned ms)
{
    for (unsigned slept = 0; slept < ms; slept += 50) {
        if (!serviceRunning())
            return 0;
        usleep(50000);
    }
    return serviceRunning();
}

bool ownBuffer(const buffer_t *b)
{
    for (const buffer_t &own : eth.buffers)
        if (&own == b)
            return true;
    return false;
}

void *processingThreadEntry(void *)
{
    log4c_category_log(category(), LOG4C_PRIORITY_INFO, "thread %s: Thread created pid is %u", __func__, (unsigned)getpid());
    if (halSetRealtime(eth.service ? eth.service->priority : 98) != 0)
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "thread %s:  Fail to set the scheduler", __func__);
    GAsyncQueue *full = eth.fullQueue, *freeQueue = eth.freeQueue;
    while (!eth.decoderStop) {
        buffer_t *b = (buffer_t *)g_async_queue_timeout_pop(full, POP_TIMEOUT_US);
        if (!b)
            continue;
        if (!ownBuffer(b)) {
            log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                               "EthProb: %s Error FATAL!!!!! The packet pointer is corrupted. bufferPointerFound = %d",
                               __func__, 0);
            continue;
        }
        uint64_t start = microseconds();
        ethernetProbingProcessBuffer(b->bytes, b->length);
        uint64_t took = microseconds() - start;
        if (took > PROCESS_LIMIT_US) {
            log4c_category_log(category(), LOG4C_PRIORITY_WARN,
                               "EthProb: %s took longer than expected to process a buffer. It took %llu us, expected < %d us.",
                               __func__, (unsigned long long)took, PROCESS_LIMIT_US);
            platformProbingProcessDebuging(category(), 8, 2);
        }
        g_async_queue_push(freeQueue, b);
    }
    eth.decoderRunning = 0;
    return nullptr;
}

int openDevice(void)
{
    eth.device = halDeviceOpen("/dev/netprobing");
    return eth.device >= 0;
}

void closeDevice(void)
{
    if (eth.device >= 0)
        halDeviceClose(eth.device);
    eth.device = -1;
}

/* The vsync count of a consistent buffer's first packet, compared with the one expected. */
void checkVsync(const buffer_t *b, const ethProbingHeader_t &h)
{
    if (h.packetCount == 0 || b->length < ETH_PROBING_HEADER_SIZE + ETH_PROBING_PACKET_HEADER)
        return;
    uint8_t vsync = b->bytes[ETH_PROBING_HEADER_SIZE + 16];
    if (eth.vsyncKnown && vsync != (uint8_t)eth.vsyncExpected)
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                           "EthProb: %s; Detected vsync loss!!! vsyncCount %d, vsyncCountExpected %d.",
                           "ethernetProbingThreadEntry", vsync, (int)(uint8_t)eth.vsyncExpected);
    eth.vsyncExpected = (uint8_t)(vsync + 1);
    eth.vsyncKnown = 1;
}

/* Reads one buffer; 1 when it went to the decoder, else it is back in the free queue. */
int readOneBuffer(const char *fn)
{
    buffer_t *b = (buffer_t *)g_async_queue_timeout_pop(eth.freeQueue, POP_TIMEOUT_US);
    if (!b) {
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "EthProb: %s NO FREE Buffers! Going to sleep %d us.", fn,
                           NO_BUFFER_SLEEP_US);
        usleep(NO_BUFFER_SLEEP_US);
        return 0;
    }
    uint64_t start = microseconds();
    ssize_t got = halDeviceRead(eth.device, b->bytes, sizeof b->bytes);
    uint64_t readDone = microseconds();
    int ok = 0;
    if (got < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                               "EthProb: %s failed to read the device driver. Return value is %d.", fn, (int)got);
            closeDevice();
        }
    } else if (got == 0) {
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "EthProb: %s device driver returned with 0 bytes.", fn);
        closeDevice();   /* the driver went away: reopen it */
    } else if ((size_t)got > sizeof b->bytes) {
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                           "EthProb: %s ERROR !!!! FATAL, The driver busted our buffer!!! It returned %d bytes and our "
                           "buf size is %d.",
                           fn, (int)got, (int)sizeof b->bytes);
    } else {
        b->length = (size_t)got;
        ethProbingHeader_t h;
        if (!ethernetProbingCheckHeader(b->bytes, b->length, &h)) {
            bool error = log4c_category_is_priority_enabled(category(), LOG4C_PRIORITY_ERROR);
            log4c_category_log(category(), error ? LOG4C_PRIORITY_ERROR : LOG4C_PRIORITY_WARN,
                               "EthProb: %s; %s, %s returned us a corrupted packet. versionOfBuffer=%d (expecting %d), "
                               "amountOfPacketsInBuffer=%d, amountOfBytesInBufferPayload=%d, totalBytesReturned=%d.  ",
                               fn, error ? "ERROR" : "WARN", "/dev/netprobing", h.version, ETH_PROBING_BUFFER_VERSION,
                               h.packetCount, (int)h.payloadLength, (int)got);
        } else {
            checkVsync(b, h);
            ok = 1;
        }
    }
    if (readDone - start > READ_LIMIT_US && ok) {
        log4c_category_log(category(), LOG4C_PRIORITY_WARN,
                           "EthProb: The driver took longer than expected to give the firmware the packets. It took %llu "
                           "us, expected < %d us. (Vsync %d, Packet %d)",
                           (unsigned long long)(readDone - start), READ_LIMIT_US, (int)b->bytes[ETH_PROBING_HEADER_SIZE + 16],
                           (int)b->bytes[ETH_PROBING_HEADER_SIZE + 17]);
        platformProbingProcessDebuging(category(), 8, 2);
    }
    if (!ok) {
        g_async_queue_push(eth.freeQueue, b);
        return 0;
    }
    g_async_queue_push(eth.fullQueue, b);
    uint64_t passed = microseconds() - readDone;
    if (passed > PASS_LIMIT_US)
        log4c_category_log(category(), LOG4C_PRIORITY_WARN,
                           "EthProb: EthProbingService took longer than expected to pass buffer to decoder thread. It "
                           "took %llu us, expected < %d us.",
                           (unsigned long long)passed, PASS_LIMIT_US);
    return 1;
}

void ethernetProbingInit(serviceDescriptor *service)
{
    eth.service = service;
    eth.category = service && service->category ? service->category : category();
    eth.vsyncKnown = 0;
    ethernetProbingResetDecoder();
    /* A later init reuses the queues: the previous threads may still hold them. */
    if (!eth.freeQueue) {
        eth.freeQueue = g_async_queue_new();
        eth.fullQueue = g_async_queue_new();
    }
    while (g_async_queue_try_pop(eth.freeQueue)) {
    }
    while (g_async_queue_try_pop(eth.fullQueue)) {
    }
    for (buffer_t &b : eth.buffers)
        g_async_queue_push(eth.freeQueue, &b);
    if (!openDevice())
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "EthProb: %s FATAL failed to open %s", __func__,
                           "/dev/netprobing");
    eth.decoderStop = 0;
    eth.decoderRunning = 1;
    if (halStartDetachedThread(processingThreadEntry, nullptr, nullptr) != 0) {
        eth.decoderRunning = 0;
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "EthProb: failed processingThreadEntry thread creation");
    }
}

void ethernetProbingPreStartInit(serviceDescriptor *service)
{
    (void)service;
}

void ethernetProbingThreadEntry(serviceDescriptor *service)
{
    const char *fn = __func__;
    eth.service = service;
    if (!sleepWhileRunning(eth.startDelayMs) && service->state.load() != SERVICE_STATE_PAUSE)
        return;
    log4c_category_log(category(), LOG4C_PRIORITY_NOTICE, "EthProb: %s started.", fn);
    int startedUp = 0;
    int openLogged = 0;
    for (;;) {
        int state = service->state.load();
        if (state == SERVICE_STATE_PAUSE) {
            sem_wait(&service->semaphore);
            continue;
        }
        if (state != SERVICE_STATE_RUN)
            break;
        if (eth.device < 0 && !openDevice()) {
            if (!openLogged++)
                log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                                   "EthProb: %s the driver is not connected (no file descriptor for %s). Retrying every "
                                   "%d s; a firmware restart may be needed.",
                                   fn, "/dev/netprobing", RETRY_SECONDS);
            sleepWhileRunning(RETRY_SECONDS * 1000);
            continue;
        }
        openLogged = 0;
        if (!startedUp) {
            platformStartupEthernetProbing(category(), serviceRunning);
            startedUp = 1;
        }
        readOneBuffer(fn);
    }
    closeDevice();
}

/* Stops the decoder; the reader closes the device when it leaves. */
void ethernetProbingTerminate(serviceDescriptor *service, int newState, int previousState)
{
    (void)service;
    (void)newState;
    (void)previousState;
    eth.decoderStop = 1;
    for (int waited = 0; eth.decoderRunning && waited < STOP_WAIT_MS; waited += 5)
        usleep(5000);
}

} // namespace

void ethernetProbingSetStartDelayMs(unsigned ms)
{
    eth.startDelayMs = ms;
}

serviceDescriptor ethernetProbingService = {
    "ethernetProbing", "ulm.firmware.ethernetProbingSrvc",
    ethernetProbingInit, ethernetProbingPreStartInit, ethernetProbingThreadEntry, ethernetProbingTerminate,
    98, nullptr,
};
