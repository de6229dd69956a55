#ifndef KVR_DEVICEMANAGER_PRIVATE_H
#define KVR_DEVICEMANAGER_PRIVATE_H

/*
 * What the device manager's handlers share: the request worker (a pool of
 * preallocated requests, three priority queues and one thread per device) and
 * the handler operations the device table points at. Private to the module.
 */

#include "deviceManager/deviceManager.h"

#include <glib.h>
#include <pthread.h>
#include <semaphore.h>

/*
 * The part of every queued request that the worker owns. Handler requests
 * embed it as their first member.
 */
struct deviceRequest_t {
    uint32_t synchronous;   /* 1: a caller waits on semaphore and gives the request back */
    uint32_t status;        /* completion status */
    void *callbackArgument;
    deviceAccessCallback_t callback;
    sem_t semaphore;        /* posted when a synchronous request is complete */
};

/* Performs one request on the worker's thread and returns its status. */
typedef uint32_t (*deviceRequestPerform_t)(deviceObject *device, deviceRequest_t *request);

enum {
    DEVICE_COUNTER_QUEUED_ASYNC = 0,
    DEVICE_COUNTER_DONE_ASYNC,
    DEVICE_COUNTER_DONE_SYNC,
    DEVICE_COUNTER_COUNT = 6,
};

/* One device's request worker. */
struct deviceWorker_t {
    deviceObject *device;
    const char *threadLogPrefix;       /* "deviceFPGA" or "deviceI2C" */
    deviceRequestPerform_t perform;
    uint8_t *pool;                     /* requestCount requests of requestSize bytes */
    size_t requestSize;
    size_t requestCount;
    size_t semaphoresMade;
    GAsyncQueue *freeQueue;
    GQueue queues[DEVICE_PRIORITY_COUNT];
    pthread_mutex_t mutex;             /* guards queues and stopping */
    pthread_cond_t condition;
    int stopping;
    int threadStarted;
    pthread_t thread;
    volatile uint32_t counters[DEVICE_COUNTER_COUNT];
};

/*
 * Builds a worker: the pool (whose requests begin with a deviceRequest_t), the
 * free queue and the semaphores, the queues and the thread. Returns 0; 3 when
 * memory or a semaphore could not be had; 2 when the thread could not be
 * started. On failure everything made is released again.
 */
uint32_t deviceManagerWorkerCreate(deviceWorker_t *worker, deviceObject *device, const char *threadLogPrefix,
                            size_t requestSize, size_t requestCount, deviceRequestPerform_t perform);

/*
 * Takes a free request (blocking while the pool is empty); null once the
 * worker is stopping. The caller fills the handler's part and hands it to
 * deviceManagerWorkerSubmit.
 */
deviceRequest_t *deviceManagerWorkerTake(deviceWorker_t *worker);

/*
 * Queues a taken request on queue priority. Synchronous: waits until the
 * request is complete and returns its status. Asynchronous: returns 0; the
 * callback later gets the status. A worker that is stopping completes the
 * request at once with DEVICE_ACCESS_STOPPED.
 */
uint32_t deviceManagerWorkerSubmit(deviceWorker_t *worker, deviceRequest_t *request, uint32_t priority,
                            uint32_t synchronous, void *callbackArgument, deviceAccessCallback_t callback);

/*
 * Stops the thread: requests still queued, and any submitted from now on,
 * complete with DEVICE_ACCESS_STOPPED. Returns once the thread has ended.
 */
void deviceManagerWorkerStop(deviceWorker_t *worker);

/* Releases what create made. Only after deviceManagerWorkerStop and once no caller uses the worker. */
void deviceManagerWorkerRelease(deviceWorker_t *worker);

/*
 * Guards a device's handler state: accesses hold it shared while they use the
 * state, delete holds it exclusively to clear it before freeing it.
 */
void deviceManagerHandlerEnter(const deviceObject *device);
void deviceManagerHandlerLeave(const deviceObject *device);
/* Clears the device's handlerState once no access uses it; returns the state it held. */
void *deviceManagerHandlerDetachState(deviceObject *device);

/* The bypass GPIO line around every transfer: opened by create, driven per request. */
/*
 * Opens the record's bypassGpioPath (below the card root) and writes the
 * inactive level. Returns the descriptor (written value in *inactive), or -1
 * when the open failed. A record without a path gets -1 and needs no GPIO.
 */
int32_t deviceManagerGpioOpen(const deviceObject *device, int *inactive);
/* Writes the active or inactive level; nothing when fd is -1. */
void deviceManagerGpioDrive(int32_t fd, uint32_t activeLevel, uint32_t isText, int active);
void deviceManagerGpioClose(deviceObject *device);

/* What the FPGA and I2C handlers do alike on create and delete. */
/*
 * Opens the record's bypass GPIO for a handler on `bus` ("spi", "i2c") that
 * drives the line `pin`, and logs the open. False, logged, when the record
 * names a GPIO that cannot be opened.
 */
bool deviceManagerHandlerOpenGpio(deviceObject *device, const char *bus, const char *pin);
/*
 * Installs `state` as the device's handler state and starts its worker (see
 * deviceManagerWorkerCreate). Logs "<creator> thread creation OK", or "<creator>
 * failed thread creation" when the thread could not be started. On failure
 * the device has no handler state again and the caller releases the rest;
 * returns deviceManagerWorkerCreate's result.
 */
uint32_t deviceManagerHandlerStart(deviceObject *device, void *state, deviceWorker_t *worker, const char *creator,
                            const char *threadLogPrefix, size_t requestSize, size_t requestCount,
                            deviceRequestPerform_t perform);
/*
 * Marks the device as being deleted, ends its worker's thread, clears its
 * handler state once no access uses it and releases the worker. The caller
 * then closes its channel and the GPIO and frees the state.
 */
void deviceManagerHandlerStop(deviceObject *device, deviceWorker_t *worker);

/* FPGA SPI handler. */
uint32_t createFpgaHandler(deviceObject *device, uint32_t assignedId);
uint32_t deleteFpgaHandler(deviceObject *device);
uint32_t fpgaHandlerAccessAsync(deviceObject *device, uint32_t command, uint32_t address, uint32_t priority,
                                uint32_t count, void *buffer, void *callbackArgument,
                                deviceAccessCallback_t callback);
uint32_t fpgaHandlerAccessSync(deviceObject *device, uint32_t command, uint32_t address, uint32_t priority,
                               uint32_t count, void *buffer);

/* I2C handler. */
uint32_t createI2cHandler(deviceObject *device, uint32_t assignedId);
uint32_t deleteI2cHandler(deviceObject *device);
uint32_t i2cHandlerAccessAsync(deviceObject *device, uint32_t command, uint32_t address, uint32_t priority,
                               uint32_t count, void *buffer, void *callbackArgument,
                               deviceAccessCallback_t callback);
uint32_t i2cHandlerAccessSync(deviceObject *device, uint32_t command, uint32_t address, uint32_t priority,
                              uint32_t count, void *buffer);

enum {
    FPGA_REQUEST_POOL = 2500,
    I2C_REQUEST_POOL = 50,
    FPGA_MAX_READ_WORDS = 1497,   /* 6-byte header + 2 x 1,497 = 3,000 bytes */
    FPGA_MAX_WRITE_WORDS = 1498,  /* 4-byte header + 2 x 1,498 = 3,000 bytes */
    I2C_MAX_WRITE = 256,
};

#endif
