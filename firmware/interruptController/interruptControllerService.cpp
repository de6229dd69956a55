#include "interruptController/interruptController.h"

#include "hal/hal.h"
#include "platform/platform.h"
#include "serviceManager/serviceManager.h"
#include "utils/utils.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/select.h>
#include <unistd.h>

#define VSYNC_DEVICE "/dev/uio1"

/*
 * The mutex and condition live for the whole process: waiters may still be
 * inside them when the service terminates, so they are never destroyed.
 */
static struct {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t condition = PTHREAD_COND_INITIALIZER;
    log4c_category_t *category = nullptr;
    uint32_t vsyncPending = 0;
    uint32_t vsyncCount = 0;
    uint32_t stopping = 0;
} interruptController;

uint32_t interruptControllerWaitVsync(void)
{
    pthread_mutex_lock(&interruptController.mutex);
    uint32_t count = interruptController.vsyncCount;
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += INTERRUPT_WAIT_BOUND_MS / 1000;
    while (interruptController.vsyncCount == count && !interruptController.stopping) {
        if (pthread_cond_timedwait(&interruptController.condition, &interruptController.mutex, &until) == ETIMEDOUT)
            break;
    }
    pthread_mutex_unlock(&interruptController.mutex);
    return count;
}

void interruptControllerSignal(void)
{
    log4c_category_t *category = interruptController.category;
    pthread_mutex_lock(&interruptController.mutex);
    platformProbingProcessDebuging(category, 6, 0);
    interruptController.vsyncCount++;
    if (!interruptController.vsyncPending)
        interruptController.vsyncPending = 1;
    pthread_cond_broadcast(&interruptController.condition);
    platformProbingProcessDebuging(category, 6, 1);
    pthread_mutex_unlock(&interruptController.mutex);
}

void interruptControllerClearVsyncPending(void)
{
    pthread_mutex_lock(&interruptController.mutex);
    interruptController.vsyncPending = 0;
    pthread_mutex_unlock(&interruptController.mutex);
}

uint32_t interruptControllerVsyncCount(void)
{
    pthread_mutex_lock(&interruptController.mutex);
    uint32_t count = interruptController.vsyncCount;
    pthread_mutex_unlock(&interruptController.mutex);
    return count;
}

static void interruptControllerInit(serviceDescriptor *service)
{
    pthread_mutex_lock(&interruptController.mutex);
    interruptController.category = service->category;
    interruptController.vsyncCount = 0;
    interruptController.vsyncPending = 0;
    interruptController.stopping = 0;
    pthread_mutex_unlock(&interruptController.mutex);
}

/* Makes a Vsync unless someone else already signalled one since this thread's last. */
static void makeVsync(uint32_t *signalled)
{
    pthread_mutex_lock(&interruptController.mutex);
    if (interruptController.vsyncCount == *signalled) {
        interruptController.vsyncCount++;
        pthread_cond_broadcast(&interruptController.condition);
    }
    *signalled = interruptController.vsyncCount;
    pthread_mutex_unlock(&interruptController.mutex);
}

static void closeDevice(int *fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

/* The rest of a 100 ms period that a failing select did not wait, so the loop never spins. */
static void sleepRest(const struct timespec *start)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long elapsedUs = (now.tv_sec - start->tv_sec) * 1000000L + (now.tv_nsec - start->tv_nsec) / 1000;
    if (elapsedUs < INTERRUPT_VSYNC_TIMEOUT_US)
        usleep((useconds_t)(INTERRUPT_VSYNC_TIMEOUT_US - elapsedUs));
}

static void interruptControllerThreadEntry(serviceDescriptor *service)
{
    log4c_category_t *category = service->category;
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "InterruptController: %s: Opening IRQ Vsync interrupt line.",
                       __func__);
    int fd = open(halPath(VSYNC_DEVICE).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "InterruptController: %s: ERROR, file %s could not be opened.",
                           __func__, VSYNC_DEVICE);
    int timeoutLogs = 0, missedLogs = 0;
    uint32_t signalled = interruptControllerVsyncCount();
    uint32_t expected = 0;
    int haveCount = 0;
    while (service->state == SERVICE_STATE_RUN) {
        struct timespec start;
        clock_gettime(CLOCK_MONOTONIC, &start);
        platformProbingProcessDebuging(category, 0, 1);
        platformLoudnessProcessDebuging(category, 0, 1);
        fd_set readable;
        FD_ZERO(&readable);
        if (fd >= 0)
            FD_SET(fd, &readable);
        struct timeval timeout = {0, INTERRUPT_VSYNC_TIMEOUT_US};
        int rc = select(fd >= 0 ? fd + 1 : 0, &readable, nullptr, nullptr, &timeout);
        int selectErrno = errno;
        platformProbingProcessDebuging(category, 0, 0);
        platformLoudnessProcessDebuging(category, 0, 0);
        if (rc < 0) {
            log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                               "InterruptController: %s: ERROR, Select command status (%d)== %s (errno:%d)", __func__, rc,
                               strerror(selectErrno), selectErrno);
            if (selectErrno != EINTR)
                closeDevice(&fd);
            sleepRest(&start);
            continue;
        }
        int up = utils_isFirmwareUpAndRunning(category);
        if (rc == 0) {
            if (timeoutLogs < INTERRUPT_LOG_BUDGET) {
                timeoutLogs++;
                log4c_category_log(category, up ? LOG4C_PRIORITY_ERROR : LOG4C_PRIORITY_WARN,
                                   "InterruptController: %s: Timeout occurred! Vsyncs from FPGA have stopped. We will "
                                   "generate our own vsyncs at 100ms. Log count %d, will stop logging max %d.",
                                   __func__, timeoutLogs, INTERRUPT_LOG_BUDGET);
            }
            makeVsync(&signalled);
            expected++;
            continue;
        }
        uint32_t count = 0;
        ssize_t got = read(fd, &count, sizeof count);
        if (got != (ssize_t)sizeof count) {
            /* Keep the probing running on our own Vsyncs rather than stopping them all. */
            log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                               "InterruptController: %s: ERROR, Failed to read the Vsync Interrupt. Return value = %d.",
                               __func__, (int)got);
            closeDevice(&fd);
            sleepRest(&start);
            makeVsync(&signalled);
            continue;
        }
        log4c_category_log(category, LOG4C_PRIORITY_DEBUG,
                           "InterruptController: %s: Vsync Interrupt detected!!! Read return value = %d, Interrupt count "
                           "= %d.",
                           __func__, (int)got, count);
        int pending = 0;
        if (haveCount && count != expected) {
            if (missedLogs < INTERRUPT_LOG_BUDGET) {
                missedLogs++;
                log4c_category_log(category, up ? LOG4C_PRIORITY_ERROR : LOG4C_PRIORITY_WARN,
                                   up ? "InterruptController: %s: ERROR, We missed %d Vsync Interrupts. VsyncCount = %d, "
                                        "we expected %d. Log count %d, will stop logging max %d."
                                      : "InterruptController: %s: Warn, We missed %d Vsync Interrupts. VsyncCount = %d, "
                                        "we expected %d. Log count %d, will stop logging max %d.",
                                   __func__, (int)(count - expected), count, expected, missedLogs, INTERRUPT_LOG_BUDGET);
            }
        }
        pthread_mutex_lock(&interruptController.mutex);
        pending = interruptController.vsyncPending;
        pthread_mutex_unlock(&interruptController.mutex);
        if (!pending)
            makeVsync(&signalled);
        haveCount = 1;
        expected = count + 1;
    }
    closeDevice(&fd);
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "InterruptController: %s: Disabling the interrupt", __func__);
}

static void interruptControllerControl(serviceDescriptor *service, int newState, int previousState)
{
    (void)service;
    (void)newState;
    (void)previousState;
    pthread_mutex_lock(&interruptController.mutex);
    interruptController.stopping = 1;
    pthread_cond_broadcast(&interruptController.condition);
    pthread_mutex_unlock(&interruptController.mutex);
}

serviceDescriptor interruptControllerService = {
    "interruptController", "ulm.firmware.interruptControllerSrvc",
    interruptControllerInit, nullptr, interruptControllerThreadEntry, interruptControllerControl,
    99, nullptr,
};
