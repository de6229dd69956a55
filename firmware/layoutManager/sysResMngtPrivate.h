#ifndef KVR_SYSRESMNGTPRIVATE_H
#define KVR_SYSRESMNGTPRIVATE_H

/*
 * System resource management's own state (a working result per head) and its
 * scaler and deinterlacer pools. Layout thread only; no locking.
 */

#include "layoutManager/layoutManagerPrivate.h"
#include "layoutManager/sysResMngtResult.h"

/* The windows of one video input on one head. */
struct inputWinInfo {
    uint32_t update;                  /* 1 rebuilt, 0 once a window was added */
    uint32_t inputWindowQty;
    windowInfo_t windows[LAYOUT_WINDOW_COUNT];
};

/* A head's working result of resource management. */
struct postScalerData_t {
    uint32_t newDataFlag;             /* SRM_NEW_DATA_START, or _POSTED while a result is on its way */
    uint32_t disableUnusedWindows;
    uint32_t dpsDeviceId, fsmDeviceId;
    uint32_t rotation;
    uint32_t reserved5;
    uint32_t windowCount;
    uint32_t windowCountCommitted;    /* the window count once committed */
    uint32_t classification;          /* SRM_SOURCE_CHANGE_EVENT or SRM_HEAD_APPLY_EVENT */
    uint32_t headWidth, headHeight, headVancSize, headHTotal;
    scalerInfo_t scalers[SCALER_COUNT];
    inputWinInfo inputs[LAYOUT_VIDEO_INPUT_COUNT];
};

/* A head's private data of resource management. */
struct sysResMngtHeadData_t {
    uint32_t waiting;                 /* a window of the head holds no scaler */
    uint32_t eventKind;               /* SRM_KIND_..., or SRM_FRAME_RATE_EVENT */
    uint32_t head, displayHead, slotId;
    postScalerData_t post;
    inputWinInfo previous[LAYOUT_VIDEO_INPUT_COUNT];
};

/* What TARGET_SCALER_RES_AVAILALBLE_EVENT carries: the head that freed a scaler. */
struct sysResMngtNotice_t {
    uint32_t head;
    uint32_t eventKind;
};

/* The private data of resource management of head 0-3; null for another head. */
sysResMngtHeadData_t *layoutManagerSysResMngtHeadData(uint32_t head);

/* The result of a head as its notification would carry it now. */
void layoutManagerSysResMngtResultOf(const sysResMngtHeadData_t *hd, sysResMngtResult_t *result);

/*
 * The pools. Every pool operation takes sysResMngt's log category last and
 * does nothing (returns 0) when it is null; a null pool or record is logged
 * and returns 0. Success is 1.
 */

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
const deinterlacerEntry_t *layoutManagerDpmEntry(uint32_t id);

/* Clears the head's 64 processing flags once its result is committed. */
void layoutManagerSysResMngtClearProcessingState(uint32_t head);

/* The shared scaler pool of resource management. */
scalerInfo_t *layoutManagerSysResMngtScalerPool(void);

#endif
