#ifndef KVR_DEVICEMANAGER_H
#define KVR_DEVICEMANAGER_H

/*
 * Layer: devices/platform. May include serviceManager, spiEmulator and hal;
 * its device drivers live below it, in i2c/; never the platform or a service.
 */

/*
 * The device manager: every register access of the firmware to the card's two
 * FPGAs, its I2C chips and its temperature sensors goes through
 * deviceManagerAccess (synchronous) or deviceManagerAccessAsync (queued, with a
 * completion callback). A static table of 32 deviceObject records, found by
 * assignedId (0 to 33), holds each device's handler operations.
 *
 * FPGA counts are 16-bit words, travelling big-endian as on the SPI bus; I2C
 * counts are bytes. Priorities 0 to 2 select one of three queues of the
 * device's handler: queue 2 is always served first, first in first out within
 * a queue.
 *
 * The table and the lookup do not change after deviceManagerInit; the access
 * functions may be called from any thread without a lock.
 */

#include <cstdint>
#include <log4c.h>

struct deviceObject;
struct serviceDescriptor;

/* Called on the handler's thread when a queued access is complete (status 0 on success). */
typedef void (*deviceAccessCallback_t)(deviceObject *device, void *callbackArgument, uint32_t status);

typedef uint32_t (*deviceAccessAsyncFunction_t)(deviceObject *device, uint32_t command, uint32_t address,
                                                uint32_t priority, uint32_t count, void *buffer,
                                                void *callbackArgument, deviceAccessCallback_t callback);
typedef uint32_t (*deviceAccessSyncFunction_t)(deviceObject *device, uint32_t command, uint32_t address,
                                               uint32_t priority, uint32_t count, void *buffer);
typedef uint32_t (*deviceCreateFunction_t)(deviceObject *device, uint32_t assignedId);
typedef uint32_t (*deviceDeleteFunction_t)(deviceObject *device);

/* How the debug port presents a device's data. */
struct deviceDebugFormat_t {
    uint32_t byteData;     /* non-zero: a read returns count bytes; zero: count 16-bit words */
    uint32_t littleEndian; /* non-zero: acknowledged as little-endian data */
};

/* One device of the card. Handlers own handlerState and the run-time fields below it. */
struct deviceObject {
    uint32_t assignedId;
    const char *name;
    const char *devicePath;      /* spidev or i2c-dev node, or a sensor's sysfs value file */
    const char *bypassGpioPath;  /* GPIO value file driven around every transfer, or null */
    uint32_t bypassGpioIsText;   /* 1: the GPIO file takes '0'/'1', else raw bytes 0/1 */
    deviceAccessAsyncFunction_t accessAsync;
    deviceAccessSyncFunction_t accessSync;
    deviceCreateFunction_t create;
    deviceDeleteFunction_t remove; /* the table's "delete" operation */
    uint32_t chipSelectLevel;    /* active level (0 or 1) of the bypass GPIO */
    const deviceDebugFormat_t *debugFormat;
    uint32_t initialised;        /* 1 running after create, 0 after delete; 2 while stopping */
    void *handlerState;
    uint8_t pageRegister;        /* paged I2C chips: the register selecting the page */
    uint8_t pageLimit;           /* and the last offset of a page */
    uint8_t spare[2];
    deviceObject *parentDevice;
    int32_t bypassGpioFd;        /* open bypass GPIO file, -1 when there is none */
    log4c_category_t *logCategory;
    uint32_t threadPriority;     /* SCHED_FIFO priority of the handler thread */
    uint32_t quietErrors;        /* non-zero: failed I2C reads are not logged */
    volatile uint32_t spiLinkCut; /* non-zero: new FPGA requests complete at once without a transfer */
};

/* Device ids. */
enum {
    DEVICE_M52_MEM = 0,
    DEVICE_FSM_FPGA = 1,
    DEVICE_DPS_FPGA = 3,
    DEVICE_LAYOUT_MEMORY = 5,
    DEVICE_DISCOVERY_DEBUG = 6,
    DEVICE_I2C_GENLOCK = 7,
    DEVICE_I2C_CLOCK_CLEANER = 8,
    DEVICE_I2C_TEMP1 = 9,
    DEVICE_I2C_TEMP2 = 10,
    DEVICE_I2C_POWER_MONITOR_1 = 11,
    DEVICE_I2C_POWER_MONITOR_2 = 12,
    DEVICE_I2C_POWSEQ = 13,
    DEVICE_I2C_IOEXT = 14,
    DEVICE_I2C_SFP_SERIALID = 15,
    DEVICE_I2C_SFP_CONFIG_1 = 16,
    DEVICE_I2C_SFP_CONFIG_2 = 17,
    DEVICE_PCODE = 18,
    DEVICE_EQUALIZER_INPUT_1 = 19,
    DEVICE_THREAD_CONTROL = 28,
    DEVICE_CPU_TEMP = 29,
    DEVICE_LOCAL_DISCOVERY = 30,
    DEVICE_M52_MEM_LOCAL = 31,
    DEVICE_DISCOVERY_OFFSETS = 32,
    DEVICE_FACTORY_DEFAULT = 33,
    DEVICE_ID_COUNT = 34, /* lookup entries, ids 0 to 33 */
    DEVICE_TABLE_SIZE = 32,
};

/* deviceAccessCommand values. */
enum {
    DEVICE_READ = 0,              /* FPGA: words; I2C: 8-bit register */
    DEVICE_WRITE = 1,
    DEVICE_KEYHOLE_READ = 2,      /* FPGA: every word through one register window */
    DEVICE_KEYHOLE_WRITE = 3,
    DEVICE_I2C_READ_DIRECT = 5,   /* no register number */
    DEVICE_I2C_WRITE_RAW = 6,
    DEVICE_I2C_READ16 = 7,        /* 16-bit register number, address slave << 16 | register */
    DEVICE_I2C_WRITE16 = 8,
    DEVICE_I2C_PAGED_READ = 11,   /* address slave << 16 | page << 8 | offset */
    DEVICE_I2C_PAGED_WRITE = 12,
};

/* Results and completion statuses. */
enum {
    DEVICE_ACCESS_OK = 0,
    DEVICE_ACCESS_FAILED = 1,      /* the transfer failed */
    DEVICE_ACCESS_NO_THREAD = 2,   /* create: the handler thread could not be started */
    DEVICE_ACCESS_NO_HANDLER = 3,  /* the device has no working handler (create failed, deleted) */
    DEVICE_ACCESS_BAD_COMMAND = 4,
    DEVICE_ACCESS_BAD_ARGUMENT = 5,/* priority above 2, count too large, no buffer */
    DEVICE_ACCESS_STOPPED = 6,     /* the handler was stopped before the request ran */
    DEVICE_ACCESS_INVALID_ID = 7,  /* no device (or no such operation) for the id */
};

enum { DEVICE_PRIORITY_COUNT = 3 };

/* The static device table (32 records, in table order) and its count. */
extern deviceObject *const deviceTable[DEVICE_TABLE_SIZE];
extern const uint32_t deviceTableCount;

/*
 * Service init: enters every record in the lookup and runs each record's
 * create. A device whose create failed stays uninitialised (0) and its
 * accesses fail with DEVICE_ACCESS_NO_HANDLER. Runs on main's thread.
 */
void deviceManagerInit(serviceDescriptor *service);

/* Service control at termination: deletes every handler; each record's initialised becomes 0. */
void deviceManagerTerminate(serviceDescriptor *service, int newState, int previousState);

/* The record of an id, or null ("Invalid assignedId %d" for ids above 33). */
deviceObject *deviceManagerGetDevice(uint32_t assignedId);

/*
 * Performs an access and waits for it. The id is taken modulo 256. Returns 0
 * on success, the handler's non-zero status when the access failed, and
 * DEVICE_ACCESS_INVALID_ID (logged "Invalid assignedId %d") for an id without
 * a device or a device without handler operations.
 */
uint32_t deviceManagerAccess(uint32_t command, uint32_t assignedId, uint32_t address, uint32_t priority,
                             uint32_t count, void *buffer);

/*
 * Queues an access. Returns 0 once queued; the handler then calls
 * callback(device, callbackArgument, status) exactly once, on its own thread
 * (the temperature sensors and a stopping handler complete at once, on the
 * caller's thread). The callback may be null. A non-zero result means nothing
 * was queued and the callback will not be called.
 */
uint32_t deviceManagerAccessAsync(uint32_t command, uint32_t assignedId, uint32_t address, uint32_t priority,
                                  uint32_t count, void *buffer, void *callbackArgument,
                                  deviceAccessCallback_t callback);

#endif
