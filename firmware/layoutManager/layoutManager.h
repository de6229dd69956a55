#ifndef KVR_LAYOUTMANAGER_H
#define KVR_LAYOUTMANAGER_H

/*
 * Layer: services. May include platform, pcodeProcessor, deviceManager,
 * serviceManager, strata, utils and hal.
 */

/*
 * The layout manager (service "layoutManager"): owns the layout data of the
 * card's four managed output heads and drives the device sub-modules of those
 * heads. Every other thread reaches the sub-modules only through its queue
 * (layout pcodes, video input records, target events, timer expiries); all
 * sub-module code and every write to the layout data run on the layout thread.
 *
 * The records of the layout data are in layoutData.h; what a sub-module sees
 * (event record, descriptor rows, event bits) is in layoutSubmodule.h.
 *
 * May include: serviceManager, pcodeProcessor, deviceManager, platform, strata,
 * hal, utils and its own headers. Sub-modules of other modules include
 * layoutSubmodule.h and nothing else from this directory.
 */

#include "layoutManager/layoutData.h"

#include <cstddef>
#include <cstdint>

struct serviceDescriptor;
struct sdiOutputStatusRecord;

enum {
    LAYOUT_MANAGER_MAX_MESSAGE_SIZE = 712,
    LAYOUT_MESSAGE_PCODE_MAX = 708,   /* a pcode of kind 0 or 2 */
    LAYOUT_TARGET_DATA_MAX = 704,
    LAYOUT_TARGET_RECORD_MAX = 65536, /* a record posted from the layout thread (layoutManagerTargetRecordEvent) */
    LAYOUT_MESSAGE_POOL_SIZE = 1000,
};

/* Results of the decoders and of the load/save. */
enum {
    LAYOUT_RESULT_OK = 0,
    LAYOUT_RESULT_TIMER_FAILED = 2,
    LAYOUT_RESULT_FAILED = 3,         /* load/save failure, or an empty pool for a timer */
    LAYOUT_RESULT_BAD_SIZE = 6,
    LAYOUT_RESULT_NO_HEAD = 13,
    LAYOUT_RESULT_UNCHANGED = 14,
};

/* targetEvent bits: changes that no pcode carries. */
enum : uint32_t {
    TARGET_SYSTEM_CONFIG_READY_EVENT = 0x1,
    SYS_RES_MNGT_NOTIFICATION_EVENT_HEAD0 = 0x2, /* 0x2 << head for heads 0 to 3 */
    SYS_RES_MNGT_NOTIFICATION_EVENT_HEAD1 = 0x4,
    SYS_RES_MNGT_NOTIFICATION_EVENT_HEAD2 = 0x8,
    SYS_RES_MNGT_NOTIFICATION_EVENT_HEAD3 = 0x10,
    TARGET_FORCE_LAYOUT_EVENT = 0x20,
    GENLOCK_CHANGED_EVENT = 0x40,
    TARGET_SCALER_RES_AVAILALBLE_EVENT = 0x80,
    GENLOCK_SYSTEM_FRAME_RATE_EVENT = 0x100,
    STRATA_SYSTEM_FRAME_RATE_EVENT = 0x200,
    TARGET_PROBE_FORMAT_CHANGE_EVENT = 0x400,
    TARGET_SCALER_FRAME_RATE_CHANGE_EVENT = 0x800,
    ATDM_MODE_CHANGED_EVENT = 0x1000,
    SYS_4K_MODE_ROTATION_CHANGED_EVENT = 0x2000,
    HDR_INPUT_CHANGE_EVENT = 0x4000,
    HDR_HEAD_CHANGE_EVENT = 0x8000,
};

extern serviceDescriptor layoutManagerService;

/* Address of the layout data (device 5). Readers off the layout thread see it as it is. */
privateLayoutData *layoutGetPrivateData(void);

/*
 * Posting operations: any thread. Each takes a message from the pool, fills it
 * and queues it for the layout thread. An empty pool drops the post with an
 * ERROR line; the result is still 0 (the caller learns nothing of the drop),
 * except where said otherwise.
 */
void layoutClassPcodeHandler(const uint8_t *pcode, uint32_t length);
void layoutSaveCardConfigHandler(const uint8_t *pcode, uint32_t length);
void layoutSetDevicePcodeHandler(uint8_t slot, uint16_t device, uint16_t reg, uint32_t value);
int layoutVideoInputChangeHandler(const videoInputRecord *record);
/* More than 9 records are cut to 9 after an ERROR line. */
int layoutAllInputVideoDataHandler(const videoInputRecord *records, uint32_t count);
/* Data above 704 bytes is refused with an ERROR line (result 0, nothing queued). */
int layoutTargetSpecificEvent(uint32_t targetBit, const void *data, uint32_t size);
/*
 * Layout thread only: posts a target event with a record of up to
 * LAYOUT_TARGET_RECORD_MAX bytes, copied whole into memory the message owns
 * until the event was served. Subscribers see the record and its size in the
 * event record. A larger record or a failed copy is refused with an ERROR
 * line; the result is 0 as for layoutTargetSpecificEvent.
 */
int layoutManagerTargetRecordEvent(uint32_t targetBit, const void *record, uint32_t size);

/*
 * Loads (mode 0) or saves (mode 1) the layout data from or to "layout.bin".
 * Load falls back to "layout_default.bin"; a failed load leaves the data all
 * zero. Save writes a temporary file and renames it. Returns 0 or 3; another
 * mode does nothing and returns 0. Layout thread (or init).
 */
int layoutLoadSaveData(int mode);

/*
 * Lends the output stage the reader of the system frame rate genlock
 * announced (5994 or 5000; any other value while genlock has none). Genlock
 * sits above the layout manager, so main registers it at start-up; without a
 * reader the layout data's systemFrameRate is read. Main's thread, before the
 * services start.
 */
void layoutManagerSetSystemFrameRateReader(uint32_t (*reader)(void));

/*
 * The SDI output status record of head 0 or 1 (strata/strata.h), as the SDI
 * output sub-module last set it on the layout thread; null for any other head.
 */
const sdiOutputStatusRecord *sdiOutGetHeadStatus(uint32_t head);

/* Target events: each returns what layoutTargetSpecificEvent returns. */
void targetEventInit(void);
int targetProbeFormatChanged(const void *probeRecord);
int targetEventForceLayout(void);
int targetEventSystemConfigReady(void);
/*
 * Layout thread: `info`'s second word is the head 0-3; the result record of
 * `size` bytes travels whole (layoutManagerTargetRecordEvent).
 */
int targetEventSystemResMngt(const void *data, uint32_t size, const uint32_t *info);
int targetEventScalerResourcesAvailable(const void *data, uint32_t size);
/* Layout thread: the result record travels whole (layoutManagerTargetRecordEvent). */
int targetEventScalerFrameRateChange(const void *data, uint32_t size);
/* A mode word and nine per-input words. */
int targetEventAtdmModeChanged(const uint32_t *record);
int targetEvent4kModeChanged(uint32_t mode);
void targetSet4kMode(uint32_t mode);
void targetGet4kMode(uint32_t *out);

#endif
