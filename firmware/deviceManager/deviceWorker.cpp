#include "deviceManager/deviceManagerPrivate.h"

#include "hal/hal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <log4c.h>
#include <sys/syscall.h>
#include <unistd.h>

/* One lock per device id, so that deleting one device never waits for another's accesses. */
static pthread_rwlock_t deviceHandlerLocks[DEVICE_ID_COUNT];
static pthread_once_t deviceHandlerLocksMade = PTHREAD_ONCE_INIT;

static void makeDeviceHandlerLocks(void)
{
    for (pthread_rwlock_t &lock : deviceHandlerLocks)
        pthread_rwlock_init(&lock, nullptr);
}

static pthread_rwlock_t *deviceHandlerLock(const deviceObject *device)
{
    pthread_once(&deviceHandlerLocksMade, makeDeviceHandlerLocks);
    return &deviceHandlerLocks[device->assignedId < DEVICE_ID_COUNT ? device->assignedId : 0];
}

void deviceManagerHandlerEnter(const deviceObject *device)
{
    pthread_rwlock_rdlock(deviceHandlerLock(device));
}

void deviceManagerHandlerLeave(const deviceObject *device)
{
    pthread_rwlock_unlock(deviceHandlerLock(device));
}

void *deviceManagerHandlerDetachState(deviceObject *device)
{
    pthread_rwlock_wrlock(deviceHandlerLock(device));
    void *state = device->handlerState;
    device->handlerState = nullptr;
    pthread_rwlock_unlock(deviceHandlerLock(device));
    return state;
}

static deviceRequest_t *requestAt(deviceWorker_t *worker, size_t index)
{
    return (deviceRequest_t *)(worker->pool + index * worker->requestSize);
}

/* Hands a finished request to its owner: the callback, then the waiting caller or the free queue. */
static void completeRequest(deviceWorker_t *worker, deviceRequest_t *request, uint32_t status)
{
    request->status = status;
    if (request->callback)
        request->callback(worker->device, request->callbackArgument, status);
    if (request->synchronous) {
        worker->counters[DEVICE_COUNTER_DONE_SYNC]++;
        /* The waiting caller gives the request back once it has read the status. */
        sem_post(&request->semaphore);
        return;
    }
    worker->counters[DEVICE_COUNTER_DONE_ASYNC]++;
    g_async_queue_push(worker->freeQueue, request);
}

/* The next request, queue 2 first; null when all three queues are empty. Under the mutex. */
static deviceRequest_t *nextRequest(deviceWorker_t *worker)
{
    for (int priority = DEVICE_PRIORITY_COUNT - 1; priority >= 0; priority--) {
        if (!g_queue_is_empty(&worker->queues[priority]))
            return (deviceRequest_t *)g_queue_pop_head(&worker->queues[priority]);
    }
    return nullptr;
}

static void *deviceWorkerThread(void *argument)
{
    deviceWorker_t *worker = (deviceWorker_t *)argument;
    deviceObject *device = worker->device;
    /* Without realtime priority the device is still served, only at normal priority. */
    if (halSetRealtime((int)device->threadPriority) != 0)
        log4c_category_log(device->logCategory, LOG4C_PRIORITY_ERROR, "%s %s:  Fail to set the scheduler",
                           worker->threadLogPrefix, device->name);
    log4c_category_log(device->logCategory, LOG4C_PRIORITY_NOTICE, " handling device: %s, Thread created pid is %u",
                       device->name, (unsigned)syscall(SYS_gettid));

    for (;;) {
        pthread_mutex_lock(&worker->mutex);
        deviceRequest_t *request = nullptr;
        while (!worker->stopping && !(request = nextRequest(worker)))
            pthread_cond_wait(&worker->condition, &worker->mutex);
        if (worker->stopping)
            break;
        pthread_mutex_unlock(&worker->mutex);
        completeRequest(worker, request, worker->perform(device, request));
    }

    /* Stopping: whoever still waits for a queued request gets it back, failed. */
    GQueue left = G_QUEUE_INIT;
    deviceRequest_t *request;
    while ((request = nextRequest(worker)) != nullptr)
        g_queue_push_tail(&left, request);
    pthread_mutex_unlock(&worker->mutex);
    while (!g_queue_is_empty(&left))
        completeRequest(worker, (deviceRequest_t *)g_queue_pop_head(&left), DEVICE_ACCESS_STOPPED);
    return nullptr;
}

uint32_t deviceManagerWorkerCreate(deviceWorker_t *worker, deviceObject *device, const char *threadLogPrefix,
                            size_t requestSize, size_t requestCount, deviceRequestPerform_t perform)
{
    memset(worker, 0, sizeof *worker);
    worker->device = device;
    worker->threadLogPrefix = threadLogPrefix;
    worker->perform = perform;
    worker->requestSize = requestSize;
    worker->requestCount = requestCount;
    pthread_mutex_init(&worker->mutex, nullptr);
    pthread_cond_init(&worker->condition, nullptr);
    for (GQueue &queue : worker->queues)
        g_queue_init(&queue);
    worker->freeQueue = g_async_queue_new();
    worker->pool = (uint8_t *)calloc(requestCount, requestSize);
    if (!worker->pool) {
        log4c_category_log(device->logCategory, LOG4C_PRIORITY_ERROR, "%s: no memory for %zu requests of %s",
                           __func__, requestCount, device->name);
        deviceManagerWorkerRelease(worker);
        return DEVICE_ACCESS_NO_HANDLER;
    }
    for (size_t i = 0; i < requestCount; i++) {
        if (sem_init(&requestAt(worker, i)->semaphore, 0, 0) != 0) {
            log4c_category_log(device->logCategory, LOG4C_PRIORITY_ERROR,
                               "Failed to create semaphore for requestPool fpgaRequest_t id %d", (int)i);
            deviceManagerWorkerRelease(worker);
            return DEVICE_ACCESS_NO_HANDLER;
        }
        worker->semaphoresMade++;
        g_async_queue_push(worker->freeQueue, requestAt(worker, i));
    }
    if (pthread_create(&worker->thread, nullptr, deviceWorkerThread, worker) != 0) {
        deviceManagerWorkerRelease(worker);
        return DEVICE_ACCESS_NO_THREAD;
    }
    worker->threadStarted = 1;
    return DEVICE_ACCESS_OK;
}

deviceRequest_t *deviceManagerWorkerTake(deviceWorker_t *worker)
{
    return (deviceRequest_t *)g_async_queue_pop(worker->freeQueue);
}

uint32_t deviceManagerWorkerSubmit(deviceWorker_t *worker, deviceRequest_t *request, uint32_t priority,
                            uint32_t synchronous, void *callbackArgument, deviceAccessCallback_t callback)
{
    request->synchronous = synchronous;
    request->status = DEVICE_ACCESS_OK;
    request->callbackArgument = callbackArgument;
    request->callback = callback;
    if (!synchronous)
        worker->counters[DEVICE_COUNTER_QUEUED_ASYNC]++;

    pthread_mutex_lock(&worker->mutex);
    int stopping = worker->stopping;
    if (!stopping) {
        g_queue_push_tail(&worker->queues[priority], request);
        pthread_cond_signal(&worker->condition);
    }
    pthread_mutex_unlock(&worker->mutex);
    if (stopping)
        completeRequest(worker, request, DEVICE_ACCESS_STOPPED);
    if (!synchronous)
        return DEVICE_ACCESS_OK;

    while (sem_wait(&request->semaphore) != 0 && errno == EINTR) {
    }
    uint32_t status = request->status;
    g_async_queue_push(worker->freeQueue, request);
    return status;
}

void deviceManagerWorkerStop(deviceWorker_t *worker)
{
    pthread_mutex_lock(&worker->mutex);
    worker->stopping = 1;
    pthread_cond_broadcast(&worker->condition);
    pthread_mutex_unlock(&worker->mutex);
    if (worker->threadStarted) {
        pthread_join(worker->thread, nullptr);
        worker->threadStarted = 0;
    }
}

void deviceManagerWorkerRelease(deviceWorker_t *worker)
{
    for (size_t i = 0; i < worker->semaphoresMade; i++)
        sem_destroy(&requestAt(worker, i)->semaphore);
    worker->semaphoresMade = 0;
    if (worker->freeQueue)
        g_async_queue_unref(worker->freeQueue);
    worker->freeQueue = nullptr;
    free(worker->pool);
    worker->pool = nullptr;
    for (GQueue &queue : worker->queues)
        g_queue_clear(&queue);
    pthread_cond_destroy(&worker->condition);
    pthread_mutex_destroy(&worker->mutex);
}

int32_t deviceManagerGpioOpen(const deviceObject *device, int *inactive)
{
    *inactive = 0;
    if (!device->bypassGpioPath)
        return -1;
    int fd = open(halPath(device->bypassGpioPath).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return -1;
    uint32_t level = device->chipSelectLevel;
    *inactive = level > 1 ? 0 : (int)(1 - level);
    deviceManagerGpioDrive(fd, level, device->bypassGpioIsText, 0);
    return fd;
}

void deviceManagerGpioDrive(int32_t fd, uint32_t activeLevel, uint32_t isText, int active)
{
    if (fd < 0)
        return;
    uint8_t value;
    if (isText)
        value = (uint8_t)(active ? '0' + activeLevel : '1' - activeLevel);
    else
        value = (uint8_t)(active ? activeLevel : (activeLevel > 1 ? 0 : 1 - activeLevel));
    if (write(fd, &value, 1) != 1) {
        /* A GPIO that cannot be driven leaves the transfer to go ahead as it would without one. */
    }
}

void deviceManagerGpioClose(deviceObject *device)
{
    if (device->bypassGpioFd >= 0)
        close(device->bypassGpioFd);
    device->bypassGpioFd = -1;
}

bool deviceManagerHandlerOpenGpio(deviceObject *device, const char *bus, const char *pin)
{
    int inactive = 0;
    device->bypassGpioFd = deviceManagerGpioOpen(device, &inactive);
    if (!device->bypassGpioPath)
        return true;
    if (device->bypassGpioFd < 0) {
        log4c_category_log(device->logCategory, LOG4C_PRIORITY_DEBUG, "Fail to open %s bypass gpio dev", bus);
        return false;
    }
    log4c_category_log(device->logCategory, LOG4C_PRIORITY_NOTICE,
                       "Created bypassOsResource to open %s bypass gpio dev %s setting %s to default value %d", bus,
                       device->bypassGpioPath, pin, inactive);
    return true;
}

uint32_t deviceManagerHandlerStart(deviceObject *device, void *state, deviceWorker_t *worker, const char *creator,
                            const char *threadLogPrefix, size_t requestSize, size_t requestCount,
                            deviceRequestPerform_t perform)
{
    /* The worker's thread reads handlerState, so it is in place before the thread starts. */
    device->handlerState = state;
    uint32_t made = deviceManagerWorkerCreate(worker, device, threadLogPrefix, requestSize, requestCount, perform);
    if (made != DEVICE_ACCESS_OK) {
        if (made == DEVICE_ACCESS_NO_THREAD)
            log4c_category_log(device->logCategory, LOG4C_PRIORITY_ERROR, "%s failed thread creation", creator);
        device->handlerState = nullptr;
        return made;
    }
    log4c_category_log(device->logCategory, LOG4C_PRIORITY_INFO, "%s thread creation OK", creator);
    return DEVICE_ACCESS_OK;
}

void deviceManagerHandlerStop(deviceObject *device, deviceWorker_t *worker)
{
    device->initialised = 2;
    /* The channel is closed only once the thread that uses it has ended. */
    deviceManagerWorkerStop(worker);
    deviceManagerHandlerDetachState(device);
    deviceManagerWorkerRelease(worker);
}
