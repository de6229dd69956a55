#ifndef KVR_LOUDNESSMANAGER_H
#define KVR_LOUDNESSMANAGER_H

/*
 * Layer: services. May include probing, genlock, pcodeProcessor, platform,
 * deviceManager, serviceManager, shared (the loudness measurement) and hal.
 */

/*
 * The loudness manager (service "loudnessManager"): 36 loudness measurements,
 * one per video input (0-8) and probe (0-3), instance = input x 4 + probe.
 * Every 4th Vsync at 50 Hz or every 5th at 59.94 Hz one block is processed:
 * the probe levels FSM-FPGA left in the bank of each input's stream setting
 * are fed to the measurements, and the momentary and short-term levels go
 * back into FSM-FPGA as tenths of a dB below full scale.
 */

#include "shared/LoudnessMeasure/src/loudnessmeasure.h"

#include <cstdint>
#include <ctime>
#include <log4c.h>

struct serviceDescriptor;
extern serviceDescriptor loudnessManagerService;

enum {
    LOUDNESS_INSTANCES = 36,
    LOUDNESS_PROBES_PER_INPUT = 4,
    LOUDNESS_INPUTS = 9,
    LOUDNESS_DEVICE = 237,
    LOUDNESS_CHANNELS = 8,
    LOUDNESS_CHANNEL_UNUSED = 255,
    LOUDNESS_RESULT_OK = 0,
    LOUDNESS_RESULT_ERROR = 4,

    /* FSM-FPGA registers; bank 1 sits 0x2000 above bank 0. */
    LOUDNESS_BANK_STRIDE = 0x2000,
    LOUDNESS_READY = 0x4684,
    LOUDNESS_LEVEL = 0x4600,
    LOUDNESS_MAPPING = 0x4400,
    LOUDNESS_MAPPING_DONE = 0x4680,
    LOUDNESS_MOMENTARY = 0x2400,
    LOUDNESS_SHORT_TERM = 0x2440,
    LOUDNESS_VALIDITY = 0x2480,
    LOUDNESS_VALID = 0x000F,
};

/* The probing service's per-Vsync hook: posts one block every 4th (5000) or 5th (5994) Vsync. */
void loudnessVsyncNotify(void);

/*
 * Processes one block as the thread does after a post: validity on the first
 * block, both banks, segments, results. Loudness thread (tests call it directly).
 */
void loudnessManagerProcessBlock(void);

/* Writes the validity of all 36 instances (1: 0x000F, 0: 0). */
void loudnessManagerWriteValidity(uint32_t valid);

/* Starts a new segment of an instance (0-35). */
void loudnessManagerReset(uint32_t instance);

/* A changed dialnorm or channel mode of an instance; may start a segment and reprogram the probe. */
void loudnessManagerSetDialnormAndChannelMode(uint8_t dialnorm, uint8_t mode, uint32_t instance);

/* Writes instance n's 8 channel-mapping words to both banks, then 1 to the mapping-done register. 0 or the first failure. */
uint32_t loudnessManagerProgramLEQProbe(uint32_t instance);

/* Pcode handlers (class code 10, ids 15 and 18); each returns 0 or 4. */
uint32_t loudnessManagerSetMeasurementParameters(const uint8_t *pcode, uint32_t length);
uint32_t loudnessManagerSetChannelMapping(const uint8_t *pcode, uint32_t length);

/* Set-device listeners of device 237 (registers: see the listener table in the .cpp). Return 0 or 4. */
uint32_t loudnessManagerSetSegmentDectectOnDialnormChange(uint8_t slot, uint16_t device, uint16_t reg, uint32_t value);
uint32_t loudnessManagerSetSegmentDectectOnChannelModeChange(uint8_t slot, uint16_t device, uint16_t reg, uint32_t value);
uint32_t loudnessManagerManualSegmentControl(uint8_t slot, uint16_t device, uint16_t reg, uint32_t value);
uint32_t loudnessManagerSetSegmentDetectOnTimeInterval(uint8_t slot, uint16_t device, uint16_t reg, uint32_t value);
uint32_t loudnessManagerSetSegmentTimerStart(uint8_t slot, uint16_t device, uint16_t reg, uint32_t value);

/* What an instance holds, for status and tests. */
struct loudnessInstanceView_t {
    uint32_t active;
    uint32_t segmentCount;
    uint32_t shortWindowBlocks;
    int32_t relativeGate;
    uint32_t requirement;
    uint32_t dialnormDetect, channelModeDetect, intervalDetect;
    uint32_t intervalMinutes;
    uint32_t timerStartArmed, timerStartMinute;
    uint8_t channels[LOUDNESS_CHANNELS];
    loudnessResult last;
};
int loudnessManagerGetInstance(uint32_t instance, loudnessInstanceView_t *view);

/* The clock the segment timers read (UTC seconds); null restores the real clock. */
void loudnessManagerSetClock(time_t (*clock)(void));

#endif
