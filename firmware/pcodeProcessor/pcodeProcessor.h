#ifndef KVR_PCODEPROCESSOR_H
#define KVR_PCODEPROCESSOR_H

/* Layer: services. May include platform, serviceManager and hal. */

/*
 * The pcode processor (service "pcodeProcessor"): takes one pcode at a time
 * into its buffer, wakes its decoder thread and calls the handlers registered
 * for the pcode's class and id, in order of registration. A set-device-register
 * pcode (class code 10, id 1) also goes to every matching set-device listener.
 *
 * A pcode is a 4-byte header (class code = class index x 10, pcode id,
 * big-endian u16 byteCount) followed by byteCount data bytes; the first data
 * byte is the destination slot id. Totals are at most 4,096 bytes.
 */

#include <cstdint>
#include <log4c.h>
#include <pthread.h>

struct serviceDescriptor;

enum {
    PCODE_HEADER_SIZE = 4,
    PCODE_BUFFER_SIZE = 4096,
    PCODE_CLASS_COUNT = 5, /* class indexes 0 to 4 */
    PCODE_ID_COUNT = 30,   /* ids 0 to 29 */
    PCODE_CLASS_SET_DEVICE = 10,
    PCODE_ID_SET_DEVICE_REGISTER = 1,
    PCODE_SET_DEVICE_DATA_SIZE = 9, /* slot, device, register, value */
};

/* Called on the decoder thread with the whole pcode and its total length. */
typedef void (*pcodeHandlerFunction)(const uint8_t *pcode, uint32_t length);

/* Static in the registering module; linked in by registration, never freed. */
struct pcodeHandlerInfo {
    pcodeHandlerFunction handler;
    uint8_t classCode;
    uint8_t pcodeId;
    pcodeHandlerInfo *next;
};

typedef void (*setDevicePcodeHandlerFunction)(uint8_t slot, uint16_t device, uint16_t reg, uint32_t value);

/* A set-device listener: 0xFF / 0xFFFF match any slot, device or register. */
struct setDevicePcodeHandlerInfo {
    setDevicePcodeHandlerFunction setDevicePcodeHandler;
    uint8_t slot;
    uint16_t device;
    uint16_t reg;
    setDevicePcodeHandlerInfo *next;
};

extern serviceDescriptor pcodeProcessorService;

/* The process-wide mutex that serialises the producers of pcodes. */
extern pthread_mutex_t firmwareMutex;

/*
 * Hands one pcode to the decoder thread and returns once it is buffered
 * (blocking while the previous one is processed). A pcode shorter than its
 * header, longer than 4,096 bytes or whose byteCount runs past `length` is
 * refused with a log line. Any thread; logs go to `category`.
 */
void pcodeProcessor(uint32_t length, const uint8_t *pcode, log4c_category_t *category);

/* Registers a handler for (classCode, pcodeId); a class index above 4 or an id above 29 asserts. */
void registerPcodeHandler(pcodeHandlerInfo *info);

/* Appends a set-device listener; a null listener function asserts. */
void registerSetDevicePcodeHandler(setDevicePcodeHandlerInfo *info);

/* Non-zero: pause the decoder (state 2). 0: resume it (state 1). */
void pcodeProcessorSetPaused(int flag);

/* 1 while the service state is run. */
int pcodeProcessorIsRunning(void);

#endif
