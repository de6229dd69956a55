#ifndef KVR_PLATFORM_PRIVATE_H
#define KVR_PLATFORM_PRIVATE_H

/* The platform record and what the platform's files share. */

#include "platform/platform.h"

#include <pthread.h>
#include <semaphore.h>

struct platformRecord_t {
    log4c_category_t *category;
    sem_t deviceDoneSemaphore;
    int deviceSemaphoreReady;
    volatile uint32_t deviceDoneStatus;
    platformFpgaVersion_t fsmVersion;
    platformFpgaVersion_t dpsVersion;
    volatile uint32_t versionCheckDone;
    uint32_t ledIndicatorStarted;
    uint32_t rearHwType;
    uint32_t rearSlot;
    uint32_t mainHwRev;
    uint8_t mainHwPatch;
    uint32_t cardHwType;
    void *sharedMemory;
    pthread_mutex_t ledMutex;
    uint32_t frameType;
    uint32_t rearDetected;
    uint32_t rearHwRev;
    kvrPlatformDebugRouting_t debugRouting;
    uint32_t vlanKnown;
    uint32_t vlanInUse;
    uint32_t videoLedInitDone;
    uint32_t videoLedState;
    uint32_t atdmMdxMode;
    pthread_mutex_t streamMutex;
    uint32_t fpgasUp;
    uint32_t hdrReadBack;
};

struct platformConfig_t {
    volatile uint32_t reprogramming;
    uint16_t cardIdWord;
    uint8_t qvsVideoSlotId;
    uint8_t qvsHybridSlotId;
    uint32_t activeServicesCount;
};

/* What the services lent the platform; unset members do nothing. */
struct platformHooks_t {
    void (*ledRequest)(log4c_category_t *, const ledControlRequest *);
    int (*ledState)(log4c_category_t *, uint32_t, uint32_t *, uint32_t *);
    uint16_t (*strataCardId)(void);
    int (*strataSend)(log4c_category_t *, uint32_t, uint32_t, uint16_t, const uint8_t *, uint32_t);
    const platformPcodeSink_t *pcode;
    platformProbeFlags_t *probeFlags;
    int (*factoryReset)(log4c_category_t *, uint32_t);
    void (*hdrMaintenance)(uint32_t address);
};

/* A service memory served as a device id. */
struct platformDeviceMemory_t {
    uint32_t deviceId;
    uint8_t *base;
    uint32_t size;
    int writable;
};
enum { PLATFORM_DEVICE_MEMORIES_MAX = 8 };

extern platformRecord_t platformRecord;
extern platformConfig_t platformConfig;
extern platformHooks_t platformHooks;

/* The registered memory of a device id; null when none was registered. */
const platformDeviceMemory_t *platformFindDeviceMemory(uint32_t deviceId);

/*
 * Seconds of the countdown before a reprogramming, and of the pause after the
 * reboot request (30 and 10 on the card); tests shorten them.
 */
extern unsigned platformReprogramCountdownSeconds;
extern unsigned platformRebootPauseSeconds;

/* Wait bounds of the FPGA start-up (milliseconds) and the polling period. */
enum {
    PLATFORM_FPGA_WAIT_MS = 1000,
    PLATFORM_BIST_WAIT_MS = 1000,
    PLATFORM_POLL_MS = 10,
};

/* Writes one 16-bit big-endian word at a byte offset of the card's own block (or of card A's with slot 0). */
void platformWriteBlockWord(uint32_t slot, uint32_t byteOffset, uint16_t value);

/* Puts the record and configuration back to their load-time values (tests run several start-ups). */
void platformResetState(void);
/* The stream settings' part of it. */
void platformStreamResetState(void);

/* Steps of platformPublishCardStatus. */
void platformEnablePublishingChunks(void);
void platformPublishSerialNumber(log4c_category_t *category);

#endif
