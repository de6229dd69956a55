#include "strata/strataPrivate.h"

#include "hal/hal.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <unistd.h>

/*
 * The two listener threads of the frame-controller service: the card's front
 * button (each interrupt count read from "/dev/uio0" is one press) and the
 * periodic time request.
 */

static struct {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t wake = PTHREAD_COND_INITIALIZER;
    void (*button)(uint32_t) = nullptr;
    log4c_category_t *buttonCategory = nullptr;
    int buttonPressed = 0;
    void (*timeSync)(uint32_t) = nullptr;
    log4c_category_t *timeCategory = nullptr;
    int periodOver = 0;
} strataListeners;

uint32_t strataTimeRefreshSeconds(void)
{
    const char *text = getenv("TIME_REFRESH_IN_SECONDS");
    if (!text)
        return 100000;
    long period = strtol(text, nullptr, 10);
    return period < 300 ? 300 : (uint32_t)period;
}

static void *detectStrataButton(void *argument)
{
    (void)argument;
    log4c_category_t *category = strataListeners.buttonCategory;
    std::string path = halPath("/dev/uio0");
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        log4c_category_log(category, LOG4C_PRIORITY_FATAL, "%s FATAL failed to open %s", __func__, "/dev/uio0");
        return nullptr;
    }
    for (;;) {
        uint32_t count = 0;
        ssize_t got = read(fd, &count, sizeof count);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 1) {
            log4c_category_log(category, LOG4C_PRIORITY_FATAL, "%s FATAL could not read %s, errno %d", __func__,
                               "/dev/uio0", errno);
            break;
        }
        pthread_mutex_lock(&strataListeners.mutex);
        strataListeners.buttonPressed = 1;
        void (*callback)(uint32_t) = strataListeners.button;
        pthread_mutex_unlock(&strataListeners.mutex);
        if (callback)
            callback(1);
    }
    close(fd);
    return nullptr;
}

static void *timeSync(void *argument)
{
    (void)argument;
    log4c_category_t *category = strataListeners.timeCategory;
    uint32_t period = strataTimeRefreshSeconds();
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s is set with timedelay %d Sec", __func__, (int)period);
    for (;;) {
        pthread_mutex_lock(&strataListeners.mutex);
        struct timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_sec += period;
        while (!strataListeners.periodOver &&
               pthread_cond_timedwait(&strataListeners.wake, &strataListeners.mutex, &until) != ETIMEDOUT) {
        }
        strataListeners.periodOver = 0;
        void (*callback)(uint32_t) = strataListeners.timeSync;
        pthread_mutex_unlock(&strataListeners.mutex);
        callback(0);
    }
    return nullptr;
}

void strataTimeSyncPeriodOver(void)
{
    pthread_mutex_lock(&strataListeners.mutex);
    strataListeners.periodOver = 1;
    pthread_cond_broadcast(&strataListeners.wake);
    pthread_mutex_unlock(&strataListeners.mutex);
}

/* Stores the callback once; 1 when this call stored it. */
static int registerOnce(void (**slot)(uint32_t), log4c_category_t **categorySlot, void (*callback)(uint32_t),
                        log4c_category_t *category)
{
    pthread_mutex_lock(&strataListeners.mutex);
    int fresh = *slot == nullptr;
    if (fresh) {
        *slot = callback;
        *categorySlot = category;
    }
    pthread_mutex_unlock(&strataListeners.mutex);
    return fresh;
}

void registerStrataButtonListener(void (*callback)(uint32_t pressCount), log4c_category_t *category)
{
    if (!registerOnce(&strataListeners.button, &strataListeners.buttonCategory, callback, category)) {
        log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s registerStrataCardStatus was called already. Ignored",
                           __func__);
        return;
    }
    if (halStartDetachedThread(detectStrataButton, nullptr, nullptr) != 0) {
        strata_close();
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s failed to start thread", __func__);
    }
}

void registerTimeSyncListener(void (*callback)(uint32_t argument), log4c_category_t *category)
{
    if (!registerOnce(&strataListeners.timeSync, &strataListeners.timeCategory, callback, category)) {
        log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s registerTimeSyncListener was called already. Ignored",
                           __func__);
        return;
    }
    if (halStartDetachedThread(timeSync, nullptr, nullptr) != 0) {
        strata_close();
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s failed to start thread", __func__);
    }
}
