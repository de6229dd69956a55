#ifndef KVR_LOUDNESSMANAGER_PRIVATE_H
#define KVR_LOUDNESSMANAGER_PRIVATE_H

/* State shared by the loudness manager's service and handler files. */

#include "loudnessManager/loudnessManager.h"

#include <pthread.h>
#include <semaphore.h>

struct loudnessInstance {
    uint8_t id;
    uint8_t reserved31a, reserved31b;   /* set to 31 at init */
    uint8_t dialnorm;
    uint8_t dialnormKnown;
    uint8_t segmentCount;
    uint8_t previousDialnorm;
    uint8_t previousDialnormKnown;
    uint8_t channelMode;
    uint8_t channels[LOUDNESS_CHANNELS];   /* L, R, C, LFE, Ls, Rs, Lb, Rb */
    volatile uint32_t dialnormDetect;
    volatile uint32_t channelModeDetect;
    volatile uint32_t intervalDetect;
    volatile uint32_t intervalStart;
    volatile uint16_t intervalMinutes;
    volatile uint8_t timerStartMinute;
    volatile uint32_t timerStartArmed;
    uint32_t requirement;
    loudnessMeasure measure;
    loudnessResult last;
    pthread_mutex_t mutex;
};

struct loudnessManager_t {
    uint32_t resultsValid;
    uint32_t listenerEnable;
    uint32_t threadEnable;
    uint8_t listenerSlot;
    serviceDescriptor *service;
    log4c_category_t *category;
    sem_t semRunLoudnessThread;
    int semaphoreCreated;
    uint32_t vsyncCount;
    uint32_t rateLogCount;
    uint32_t debug;
    loudnessInstance instances[LOUDNESS_INSTANCES];
};

extern loudnessManager_t loudness;

log4c_category_t *loudnessManagerCategory(void);
time_t loudnessManagerNow(void);
/* Fills the listener records and registers them (manual control when listeners are on, the rest when the thread is). */
void loudnessManagerRegisterListeners(void);
void loudnessManagerRegisterPcodes(void);

#endif
