#ifndef KVR_SYSRESMNGTPRIVATE_H
#define KVR_SYSRESMNGTPRIVATE_H

/*
 * The scaler and deinterlacer pools of resource management. Layout thread
 * only; no locking. Every pool operation takes sysResMngt's log category
 * last and does nothing (returns 0) when it is null; a null pool or record is
 * logged and returns 0. Success is 1.
 */

#include "layoutManager/layoutManager.h"

/* Sets enable 0 in all nine entries. */
int ScalerPoolManager_scalerPoolInitialization(scalerInfo_t *pool, log4c_category_t *category);
/* Gives the lowest free scaler to each changed window without one, in block then record order. */
int ScalerPoolManager_applyScalersForHead(scalerInfo_t *pool, postScalerData_t *data, uint32_t head,
                                          log4c_category_t *category);
/* Releases the scaler of a window; 0 when the window is not in the record. */
int ScalerPoolManager_freeScalerForWindow(scalerInfo_t *pool, postScalerData_t *data, uint32_t head, uint32_t winId,
                                          log4c_category_t *category);
/* 1 when an entry is free. */
int ScalerPoolManager_isScalerResourceAvailable(scalerInfo_t *pool, log4c_category_t *category);
void ScalerPoolManager_displayScalerInfo(const scalerInfo_t *pool, log4c_category_t *category);
void ScalerPoolManager_displayWindowInfo(const postScalerData_t *data, log4c_category_t *category);

/* One deinterlacer: {head, winId, format}, DEINTERLACER_FREE in all three when free. */
struct deinterlacerEntry_t {
    int32_t head, winId, format;
};

/* Marks every deinterlacer free; the debug flag follows the marker file. */
void DPM_init(log4c_category_t *category);
/* Builds the work list of a head and re-allocates or frees by the event word. */
void checkDeinterlacerAllocation(scalerInfo_t *pool, postScalerData_t *data, uint32_t headEvent, uint32_t target,
                                 uint32_t head);
void DPM_allocateDeinterlacers(uint32_t head);
void DPM_freeDeinterlacersOfHead(uint32_t head);
void deallocateDeinterlacerByWinId(scalerInfo_t *pool, postScalerData_t *data, uint32_t head, uint32_t winId);
void DPM_displayDeinterlacerList(void);
/* The entry of deinterlacer 0-8 (tests and the debug log). */
const deinterlacerEntry_t *DPM_entry(uint32_t id);

/* Clears the head's 64 processing flags once its result is committed. */
void sysResMngtClearProcessingState(uint32_t head);

/* The shared scaler pool of resource management. */
scalerInfo_t *sysResMngtScalerPool(void);

#endif
