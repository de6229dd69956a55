#ifndef KVR_OUTPUTSTAGEPRIVATE_H
#define KVR_OUTPUTSTAGEPRIVATE_H

/*
 * Declarations shared by the output-stage sub-modules (SDI outputs, audio
 * monitoring, graphic processor), the frame buffer and their tests.
 */

#include "layoutManager/layoutManagerPrivate.h"

enum {
    SYSTEM_FRAME_RATE_5994 = 5994,
    SYSTEM_FRAME_RATE_5000 = 5000,
    ROTATION_UNROTATED = 0,
};

/*
 * The system frame rate as genlock last announced it (5994, 5000, or another
 * value while genlock has none). The one place the output stage reads it.
 */
uint32_t layoutManagerOutputSystemFrameRate(void);

/* 1 for a card in rear slot index 0 or 1 (the cards that own heads 0 and 1's outputs). */
int layoutManagerOutputIsFrontPairCard(void);

/*
 * Writes one 16-bit register of the audio monitoring's device at an absolute
 * address (value sent big-endian, priority 0, waiting). The frame buffer uses
 * it too. Layout thread. 0, or the device manager's status (logged).
 */
int audioMonitoringWriteAbsolute(const deviceSubmoduleInstance *instance, uint32_t address, uint16_t value);

/*
 * The SDI output's delay core: moves the head's output phase from (hload,
 * vload) back by the processing delay and keeps the result when it lies in
 * the raster, then runs the format set-up again. Layout thread. 0 kept, 1
 * refused (logged, nothing changes).
 */
int layoutManagerSdiOutDelayTheOutput(deviceSubmoduleInstance *instance, layoutEventInfo *event, uint32_t hload, uint32_t vload);

#endif
