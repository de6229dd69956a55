#ifndef KVR_LAYOUTMANAGER_H
#define KVR_LAYOUTMANAGER_H

/*
 * Layer: services. May include the platform, the pcode processor, the device
 * manager, the service manager, utils and hal.
 */

/*
 * The layout manager (service "layoutManager"): owns the layout data of the
 * card's four managed output heads and drives the device sub-modules of those
 * heads. Every other thread reaches the sub-modules only through its queue
 * (layout pcodes, video input records, target events, timer expiries); all
 * sub-module code and every write to the layout data run on the layout thread.
 */

#include <cstddef>
#include <cstdint>
#include <log4c.h>

struct serviceDescriptor;

enum {
    LAYOUT_HEAD_COUNT = 4,
    LAYOUT_WINDOW_COUNT = 64,
    LAYOUT_VIDEO_INPUT_COUNT = 9,     /* inputs in use */
    LAYOUT_VIDEO_INPUT_RECORDS = 16,  /* room in the layout data */
    LAYOUT_MANAGER_MAX_MESSAGE_SIZE = 712,
    LAYOUT_MESSAGE_PCODE_MAX = 708,   /* a pcode of kind 0 or 2 */
    LAYOUT_TARGET_DATA_MAX = 704,
    LAYOUT_MESSAGE_POOL_SIZE = 1000,
    LAYOUT_DATA_VERSION = 0x00010002,
    LAYOUT_DATA_SIZE = 39192,
    LAYOUT_FILE_SIZE = 39194,         /* layout data and its CRC-16, little-endian */
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

/* headEvent bits: what changed in a head's layout (one bit per event). */
enum : uint32_t {
    HEAD_APPLY_EVENT = 0x1,
    HEAD_RESOLUTION_EVENT = 0x2,
    HEAD_ATTRIBUTES_EVENT = 0x4,
    DVI_HEAD_ALIGNMENT_EVENT = 0x8,
    DVI_BACKGROUND_ATTRIBUTES_EVENT = 0x10,
    VGA_HEAD_ALIGNMENT_EVENT = 0x20,
    VGA_OUTPUT_EVENT = 0x40,
    HEAD_BRIGHTNESS_CONTRAST_GAMMA_EVENT = 0x80,
    HEAD_COLOR_SATURATION_EVENT = 0x100,
    HEAD_AUDIO_MONITOR_EVENT = 0x200,
    AES_VOLUME_REG_EVENT = 0x400,
    DAC_VOLUME_REG_EVENT = 0x800,
    DELAY_REG_EVENT = 0x1000,
    WINDOW_LAYOUT_EVENT = 0x2000,
    WINDOW_ATTRIBUTES_EVENT = 0x4000,
    WINDOW_PRIORITY_EVENT = 0x8000,
    INPUT_CHANGE_EVENT = 0x10000,
    ALL_INPUTS_EVENT = 0x20000,
    FORCE_LAYOUT_EVENT = 0x40000,
    SYSTEM_FRAME_RATE_EVENT = 0x80000,
    TARGET_SPECIFIC_EVENT = 0x100000,
    TIMER_TIMEOUT_EVENT = 0x200000,
};

/* targetEvent bits: changes that no pcode carries. */
enum : uint32_t {
    TARGET_SYSTEM_CONFIG_READY_EVENT = 0x1,
    SYS_RES_MNGT_NOTIFICATION_EVENT_HEAD0 = 0x2, /* 0x2 << head for heads 0 to 3 */
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

/* Set-device registers that the layout manager listens to. */
enum { DAC_VOLUME_REG_ID = 4, DELAY_REG_ID = 5, AES_VOLUME_REG_ID = 6 };

/*
 * The layout data. Every field is a little-endian u32; the whole record is
 * also the body of "layout.bin" and the memory of device 5, so its layout is
 * fixed byte for byte (checked in layoutData.cpp).
 */
struct headResolution_t {
    uint32_t rotation, frameRate, pixelClock, hActivePixels, vActivePixels, hMax, vMax, sdiRes, sdiDisplayMode,
        hOffset, vOffset, zero[4];
};

struct headAttributes_t {
    uint32_t vid_en, dvi_en, gfx_en, dvi_bkg_as_gfx, mouse_en, dvi_bkg_en, dvi_bkg_r_key_col, dvi_bkg_g_key_col,
        dvi_bkg_b_key_col, dvi_bkg_r_col, dvi_bkg_g_col, dvi_bkg_b_col, mouse_r1_key_col, mouse_g1_key_col,
        mouse_b1_key_col, mouse_r1_col, mouse_g1_col, mouse_b1_col, mouse_r2_key_col, mouse_g2_key_col,
        mouse_b2_key_col, mouse_r2_col, mouse_g2_col, mouse_b2_col, sdi_anti_flickering, sdi_detail_enhancer,
        sdi_color_bars, layerId, layerCount, processingDelay;
};

struct dviHeadAlignment_t {
    uint32_t dviSyncPol, dviHfrontPorch, dviHsyncWidth, dviHbackPorch, dviVfrontPorch, dviVsyncWidth, dviVbackPorch,
        zero;
};

struct vgaHeadAlignment_t {
    uint32_t vgaSyncPol, vgaHfrontPorch, vgaHsyncWidth, vgaHbackPorch, vgaVfrontPorch, vgaVsyncWidth, vgaVbackPorch,
        vgaTriSync, zero;
};

struct dviBackgroundAttributes_t {
    uint32_t dvi_bkg_crop_left, dvi_bkg_crop_right, dvi_bkg_crop_top, dvi_bkg_crop_bottom, dvi_bkg_h_pos_out,
        dvi_bkg_v_pos_out, zero;
};

struct vgaOutput_t {
    uint32_t syncOnGreen, vgaTriLevel, vgaSerrationStart, vgaSerrationWidth, vgaEqualizer, vgaAmplLevel, vgaBlank,
        zero;
};

struct headBrightnessContrastGamma_t {
    uint32_t redBrightness, redContrast, redGamma, greenBrightness, greenContrast, greenGamma, blueBrightness,
        blueContrast, blueGamma, zero;
};

struct audioMonitoringSource_t {
    uint32_t audioSourceSelection, qviSourceSlotId, inputVideoNb, aesNb, qvoTonePulsed, qvoToRouter1En,
        qvoToRouter2En, zero;
};

struct windowLayout_t {
    uint32_t winId, source_slot_id, input_no, video_out_h_dimension, video_out_v_dimension, video_out_h_position,
        video_out_v_position, de_interlace, de_interlace_factor, in_h_crop_start, in_h_crop_end, in_v_crop_start,
        in_v_crop_end, sandbox_h_dimension, sandbox_v_dimension, widget_h_dimension, widget_v_dimension,
        widget_h_position, widget_v_position, stereo_mode, video_out_full_h_dimension, video_out_full_v_dimension,
        in_h_full_crop_start, in_h_full_crop_end, in_v_full_crop_start, in_v_full_crop_end, zero;
};

struct windowAttributes_t {
    uint32_t winId, fullDynamicRange, killchroma, detailEnhancer, hSharpness, v_sharpness, hideAtLost, zero;
};

struct windowLayoutRecord {
    uint32_t winPriority;
    windowLayout_t layout;
    windowAttributes_t attributes;
};

struct headLayoutRecord {
    headResolution_t resolution;
    headAttributes_t attributes;
    dviHeadAlignment_t dviAlignment;
    vgaHeadAlignment_t vgaAlignment;
    dviBackgroundAttributes_t dviBackground;
    vgaOutput_t vgaOutput;
    uint32_t colorSaturation;
    uint32_t reserved;
    headBrightnessContrastGamma_t brightnessContrastGamma;
    audioMonitoringSource_t audioMonitoring;
    uint32_t aesVolume;
    uint32_t dacVolume;
    uint32_t audioDelay;
    windowLayoutRecord windows[LAYOUT_WINDOW_COUNT];
    uint32_t windowQuantity;
};

/* One video input's last known format, as the video probes fill it. */
struct videoInputRecord {
    uint32_t firstWord, inputIndex, videoTypeInfo, zoneFormat, carrierDetect, eavSavErr, frameRate, scanningFormat,
        samplesPerActiveLines, activeLinesPerFrame, totalLinesPerFrame;
};

struct privateLayoutData {
    uint32_t version;
    uint32_t systemFrameRate;
    headLayoutRecord heads[LAYOUT_HEAD_COUNT];
    videoInputRecord inputs[LAYOUT_VIDEO_INPUT_RECORDS];
};

/*
 * The event record the layout thread fills before every sub-module call and
 * passes to it. Lives on the layout thread only.
 */
struct layoutEventInfo {
    uint32_t headEvent;               /* the headEvent bit of this call */
    uint32_t head;                    /* managed head 0-3 whose list is notified */
    uint32_t window;                  /* window id for the window events, else 0 */
    uint32_t input;                   /* input index for INPUT_CHANGE_EVENT, else 0 */
    uint32_t target;                  /* targetEvent bit for TARGET_SPECIFIC_EVENT, else 0 */
    headLayoutRecord *headRecord;
    videoInputRecord *inputRecords;   /* the first of the stored input records */
    const void *eventData;            /* TARGET_SPECIFIC_EVENT: the event's data (valid during the call), else null */
};

/* Maps a pcode's destination slot and head id to one of the four managed heads. */
struct layoutPcodeRemap {
    uint32_t managedHead;
    uint32_t dstSlotId;
    uint32_t headId;
    uint32_t layoutDone;              /* 0: the head's sub-modules are not called */
};

struct deviceSubmoduleInstance;
struct layoutHeadList;

/* Result ignored by the layout manager. Called once per instance at pre-start. */
typedef int (*deviceSubmoduleInit)(deviceSubmoduleInstance *instance, layoutEventInfo *event,
                                   const layoutHeadList *list);
/*
 * Called on the layout thread for every matching event. `data` points at the
 * changed part of the layout data, at the target event's data, or, for
 * TIMER_TIMEOUT_EVENT, at a u32 holding the value the timer was armed with.
 */
typedef int (*deviceSubmoduleProcess)(deviceSubmoduleInstance *instance, layoutEventInfo *event, const void *data);

/* A sub-module: one static descriptor, one instance per head it serves. */
struct deviceSubmodule {
    const char *name;
    deviceSubmoduleInit init;         /* may be null */
    deviceSubmoduleProcess process;   /* may be null */
    uint32_t headMask;                /* headEvent bits that reach process */
    uint32_t targetMask;              /* targetEvent bits that reach process */
    log4c_category_t *category;       /* the layout manager's, set at init */
};

struct deviceSubmoduleInstance {
    uint32_t deviceId;                /* 1 FSM-FPGA, 3 DPS-FPGA, 8 clock generator, 0 none */
    uint32_t baseAddress;
    uint32_t head;                    /* the head it serves (a timer expiry picks this head's record) */
    void *privateState;
    deviceSubmodule *descriptor;
};

/* A head's sub-module instances in calling order. */
struct layoutHeadList {
    uint32_t count;
    deviceSubmoduleInstance *const *instances;
};

/* The one layout manager instance. */
struct layoutManagerInstanceInfo {
    uint8_t heads;
    uint8_t windows;
    uint8_t inputs;
    uint8_t lists;
    const layoutHeadList *const *headLists;
    layoutPcodeRemap *remapper;
    privateLayoutData data;
    layoutEventInfo event;
    serviceDescriptor *service;
};

extern serviceDescriptor layoutManagerService;

/* The layout manager instance (layout data, event record, head lists, remapper). */
layoutManagerInstanceInfo *layoutGetInstance(void);

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
 * Arms a one-shot timer for a sub-module instance: after delayMs the layout
 * thread calls the descriptor's process for that instance only, with
 * TIMER_TIMEOUT_EVENT and `value`. The instance must be one of the layout
 * manager's and `descriptor` its descriptor. Returns 0 armed, 2 the timer
 * could not be created or set (or an unknown instance), 3 the pool is empty.
 */
int startSubModuleTimeoutEvent(deviceSubmodule *descriptor, uint32_t delayMs, deviceSubmoduleInstance *instance,
                               uint32_t value);

/*
 * Loads (mode 0) or saves (mode 1) the layout data from or to "layout.bin".
 * Load falls back to "layout_default.bin"; a failed load leaves the data all
 * zero. Save writes a temporary file and renames it. Returns 0 or 3; another
 * mode does nothing and returns 0. Layout thread (or init).
 */
int layoutLoadSaveData(int mode);

/*
 * Decoders (layout thread): store a pcode's values in the layout data and set
 * the head event. Return 0 changed, 6 short or not handled, 13 no managed head
 * or an id out of range, 14 unchanged.
 */
int layoutPcodeDecoder(const uint8_t *pcode);
/* Payload of a set-device message: u8 slot, u16 device, u16 register, u32 value (little-endian). */
int layoutSetDeviceRegisterDecoder(const uint8_t *payload);
/* The managed head of (dstSlotId, headId); sets head and window 0 in the event record. Null: no such head. */
headLayoutRecord *layoutRemapPcodeHead(uint32_t dstSlotId, uint32_t headId);

/* Target events: each returns what layoutTargetSpecificEvent returns. */
void targetEventInit(void);
int targetProbeFormatChanged(const void *probeRecord);
int targetEventForceLayout(void);
int targetEventSystemConfigReady(void);
/* `info`'s second word is the head 0-3; the resource record of `size` bytes travels whole. */
int targetEventSystemResMngt(const void *data, uint32_t size, const uint32_t *info);
int targetEventScalerResourcesAvailable(const void *data, uint32_t size);
int targetEventScalerFrameRateChange(const void *data, uint32_t size);
/* A mode word and nine per-input words. */
int targetEventAtdmModeChanged(const uint32_t *record);
int targetEvent4kModeChanged(uint32_t mode);
void targetSet4kMode(uint32_t mode);
void targetGet4kMode(uint32_t *out);

/* ---- scalers, deinterlacers and the per-head result of resource management ---- */

enum {
    SCALER_COUNT = 9,                 /* scalers of DPS-FPGA, one deinterlacer behind each */
    SCALER_ID_NONE = 255,
    SCALER_WINDOW_ID_NONE = 64,       /* an empty windowInfo_t */
    DEINTERLACER_FREE = 555,
    SCALER_CROP_FULL = 51200,         /* crops are in 1/51200 of the input */
    SRM_SOURCE_CHANGE_EVENT = 17,
    SRM_HEAD_APPLY_EVENT = 18,
    SRM_FRAME_RATE_EVENT = 19,
    SRM_KIND_APPLY = 1,               /* event kinds of a posted result */
    SRM_KIND_INPUT_CHANGE = 0x10000,
    SRM_KIND_FORCE_LAYOUT = 0x40000,
    SRM_NEW_DATA_PROGRAMMED = 0,
    SRM_NEW_DATA_POSTED = 1,
    SRM_NEW_DATA_START = 2,
    SRM_NEW_DATA_REFUSED = 6,
};

/* One scaler of the shared pool; index = scaler id. */
struct scalerInfo_t {
    uint32_t reused, enable, deinterlacer_enable, winId, head, inputNb, inputFormat, scanningFormat, hLength,
        sizeInH, sizeInV, windowX, windowY;
};

/* One window as resource management hands it to the scaler sub-module (45 words). */
struct windowInfo_t {
    uint32_t windowConfigHasChanged, attributeConfigHasChanged, scalerEnable, winId, scalerId, layer, sourceSlotId,
        inputLock, hide_at_lost, detailEnhancer, killChroma, reserved11, inputNb, inputFormat, sizeIn, vSizeIn,
        scanningFormat, deinterlacerEnable, videoOutHDimension, videoOutVDimension, windowX, windowY,
        hInCropStartPercent, hInCropEndPercent, vInCropStartPercent, vInCropEndPercent, reserved26[3], inputSizeH,
        inputSizeV, videoOutFullHDimension, videoOutFullVDimension, spanningType, stitching, reserved35,
        stitchVOffset, stitchCrop1, stitchCrop2, partY, partX, partHeight, partWidth, partFullHeight, partFullWidth;
};

/* The windows of one video input on one head. */
struct inputWinInfo {
    uint32_t update;                  /* 1 rebuilt, 0 once a window was added */
    uint32_t inputWindowQty;
    windowInfo_t windows[LAYOUT_WINDOW_COUNT];
};

/* A head's result of resource management. */
struct postScalerData_t {
    uint32_t newDataFlag;             /* SRM_NEW_DATA_... */
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

/*
 * What SYS_RES_MNGT_NOTIFICATION_EVENT and TARGET_SCALER_FRAME_RATE_CHANGE_EVENT
 * carry: the head whose result is ready (its data is found by sysResMngtHeadData).
 */
struct sysResMngtNotice_t {
    uint32_t head;
    uint32_t eventKind;
};

/* The private data of resource management of head 0-3; null for another head. Layout thread. */
sysResMngtHeadData_t *sysResMngtHeadData(uint32_t head);

/*
 * (a - b) / b with 18 fractional bits as a 24-bit two's-complement number:
 * truncated toward zero when a >= b, else ceil(x - 1); b = 0 gives 0.
 */
uint32_t scalerRatioToFixed(uint32_t a, uint32_t b);
/* i for a == b, else (2, 3, 0, 1)[i]; 0 for i above 3. */
uint32_t scalerHeadIndexMap(uint32_t a, uint32_t b, uint32_t i);
/* One 16-bit register, waiting; 0 when the read fails. */
uint16_t scalerReadRegister(uint32_t device, uint32_t address);
/* One 16-bit register, waiting; returns 0. */
int frameBufferWriteRegister(uint32_t device, uint32_t address, uint16_t value);
/*
 * The scaler sub-module's register write: only FSM-FPGA and DPS-FPGA inside
 * their permitted ranges; anything else is refused with an ERROR line.
 * Returns 0 written, -1 refused.
 */
int write2fpga(uint32_t device, uint32_t address, uint32_t value);

#endif
