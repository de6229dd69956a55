#ifndef KVR_SYSRESMNGTRESULT_H
#define KVR_SYSRESMNGTRESULT_H

/*
 * What system resource management hands on to the scaler sub-module and its
 * own commit: the result of one head, as a value record that travels whole in
 * the notification (SYS_RES_MNGT_NOTIFICATION_EVENT of the head, or
 * TARGET_SCALER_FRAME_RATE_CHANGE_EVENT). Nobody downstream writes back into
 * resource management's state; the scaler's verdict reaches the commit in the
 * event record (layoutEventInfo::resultStatus). Layout thread only.
 */

#include "layoutManager/layoutSubmodule.h"

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
    SRM_RESULT_WINDOWS = 9,           /* windows a result carries: one per scaler */
};

/* States of a head's result (postScalerData_t::newDataFlag) and the scaler's verdicts on it. */
enum : uint32_t {
    SRM_NEW_DATA_PROGRAMMED = 0,
    SRM_NEW_DATA_POSTED = 1,
    SRM_NEW_DATA_START = 2,
    SRM_NEW_DATA_REFUSED = 6,         /* the result did not pass the scaler's checks */
    SRM_NEW_DATA_WRITE_FAILED = 7,    /* programmed, but a register write failed */
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

/* The result of one head as its notification carries it. */
struct sysResMngtResult_t {
    uint32_t head;                    /* the head 0-3 the result is for */
    uint32_t displayHead;             /* its place on the wall */
    uint32_t eventKind;               /* SRM_KIND_..., or SRM_FRAME_RATE_EVENT */
    uint32_t disableUnusedWindows;
    uint32_t windowCount;
    uint32_t rotation;
    uint32_t headWidth, headHeight, headVancSize, headHTotal;
    uint32_t windowTotal;             /* windows of the head; only the first SRM_RESULT_WINDOWS travel */
    scalerInfo_t scalers[SCALER_COUNT];
    windowInfo_t windows[SRM_RESULT_WINDOWS];  /* in input block order */
};

/*
 * The result a notification's data holds, or null when the data is too short
 * to be one (a notification posted by hand with a few bytes).
 */
inline const sysResMngtResult_t *sysResMngtResultIn(const layoutEventInfo *event, const void *data)
{
    return data && event->eventSize >= sizeof(sysResMngtResult_t) ? (const sysResMngtResult_t *)data : nullptr;
}

#endif
