#include "layoutManager/sysResMngtPrivate.h"

#include "platform/platform.h"

#include <cstring>
#include <initializer_list>
#include <utility>

/*
 * System resource management: decides for each head which windows of the
 * layout this card shows, cuts windows that span heads, hands scalers and
 * deinterlacers to the windows and posts the head's result to the scaler
 * sub-module. One instance per head; all heads share one state. Layout thread.
 */

enum {
    SOURCE_CHANGE_NONE = 0,
    SOURCE_CHANGE_INTRA_CARD = 1,
    SOURCE_CHANGE_INTER_CARDS = 2,
    SPAN_NONE = 0,
    SPAN_VERTICAL = 1,
    SPAN_HORIZONTAL = 2,
    SPAN_FULL = 3,
    MAX_WINDOWS_PER_CARD = 9,
    INPUT_FORMAT_NONE = 65535,
    HD_WIDTH = 1920,
    HD_HEIGHT = 1080,
    STITCH_LIMIT = 1920,
    FRAME_RATE_50 = 5000,
};

static const char *const SUBMODULE = "sysResMngt";

static struct {
    uint32_t headHasWindows[LAYOUT_HEAD_COUNT];
    scalerInfo_t pool[SCALER_COUNT];
    uint32_t freeRequest[LAYOUT_HEAD_COUNT][LAYOUT_WINDOW_COUNT];
    uint32_t attributeChanged[LAYOUT_HEAD_COUNT][LAYOUT_WINDOW_COUNT];
    uint32_t videoWidgetNeedsProcessingState[LAYOUT_HEAD_COUNT][LAYOUT_WINDOW_COUNT];
    uint32_t eventPosted;
    uint32_t sourceChangeKind;
    uint32_t displayHead;
    sysResMngtHeadData_t heads[LAYOUT_HEAD_COUNT];
} srm;

static_assert(sizeof(windowInfo_t) == 180, "windowInfo_t is 45 words");
static_assert(sizeof(scalerInfo_t) == 52, "scalerInfo_t is 13 words");
static_assert(sizeof(sysResMngtHeadData_t) == 208044, "private data of a head");

static log4c_category_t *srmCategory(void)
{
    return sysResMngtSubmodule.category ? sysResMngtSubmodule.category : layoutManagerCategory();
}

#define SRM_LOG(priority, ...) log4c_category_log(srmCategory(), priority, __VA_ARGS__)

sysResMngtHeadData_t *layoutManagerSysResMngtHeadData(uint32_t head)
{
    return head < LAYOUT_HEAD_COUNT ? &srm.heads[head] : nullptr;
}

void layoutManagerSysResMngtClearProcessingState(uint32_t head)
{
    if (head < LAYOUT_HEAD_COUNT)
        memset(srm.videoWidgetNeedsProcessingState[head], 0, sizeof srm.videoWidgetNeedsProcessingState[head]);
}

scalerInfo_t *layoutManagerSysResMngtScalerPool(void)
{
    return srm.pool;
}

/* Logical position on the 2 x 2 wall; -1 for an unsupported slot. */
static int logicalHead(uint32_t slotId, uint32_t head)
{
    static const uint32_t slot5[LAYOUT_HEAD_COUNT] = {2, 3, 0, 1};
    switch (slotId) {
    case 4: case 6: case 7: case 8: case 9:
        return (int)head;
    case 5:
        return head < LAYOUT_HEAD_COUNT ? (int)slot5[head] : -1;
    default:
        return -1;
    }
}

static uint32_t convertPhysicalHeadId2LogicalHeadId(uint32_t slotId, uint32_t head)
{
    int logical = logicalHead(slotId, head);
    if (logical >= 0)
        return (uint32_t)logical;
    SRM_LOG(LOG4C_PRIORITY_ERROR,
            "%s sub-module, %s function-> physicalHeadId %d [logicalHeadId %d], card Slot ID not supported %d",
            SUBMODULE, __func__, (int)head, 0, (int)slotId);
    return 0;
}

static void setDisplayHeadId(sysResMngtHeadData_t *hd)
{
    int logical = logicalHead(hd->slotId, hd->head);
    if (logical < 0) {
        SRM_LOG(LOG4C_PRIORITY_ERROR,
                "%s sub-module, %s function-> head no %d [head display id %d], card Slot ID not supported %d",
                SUBMODULE, __func__, (int)hd->head, 0, (int)hd->slotId);
        logical = 0;
    }
    hd->displayHead = (uint32_t)logical;
    srm.displayHead = (uint32_t)logical;
}

static void emptyBlocks(inputWinInfo *blocks)
{
    for (int b = 0; b < LAYOUT_VIDEO_INPUT_COUNT; b++) {
        blocks[b].update = 1;
        blocks[b].inputWindowQty = 0;
    }
}

static void clearWindow(windowInfo_t *window)
{
    memset(window, 0, sizeof *window);
    window->winId = SCALER_WINDOW_ID_NONE;
    window->scalerId = SCALER_ID_NONE;
}

static int sysResMngtInit(deviceSubmoduleInstance *instance, layoutEventInfo *event, const layoutHeadList *list)
{
    (void)list;
    uint32_t h = instance->head;
    if (h >= LAYOUT_HEAD_COUNT)
        return 0;
    sysResMngtHeadData_t *hd = &srm.heads[h];
    uint32_t windows = event && event->headRecord ? event->headRecord->windowQuantity : 0;
    SRM_LOG(LOG4C_PRIORITY_DEBUG, "%s: Called sysResMngtInit %s devid is: %d. Number of windows %d for head %d",
            __func__, instance->descriptor->name, (int)instance->deviceId, (int)windows, (int)h);
    SRM_LOG(LOG4C_PRIORITY_DEBUG,
            "%s: Called sysResMngtInit %s, Pointer to this head instance data at 0x%x, Pointer to private instance "
            "data at 0x%x",
            __func__, instance->descriptor->name, (unsigned)(uintptr_t)(event ? event->headRecord : nullptr),
            (unsigned)(uintptr_t)hd);
    SRM_LOG(LOG4C_PRIORITY_DEBUG, "%s: Called sysResMngtInit %s, Private instance data size is: %d", __func__,
            instance->descriptor->name, (int)sizeof *hd);
    instance->privateState = hd;
    srm.headHasWindows[h] = 0;
    memset(hd, 0, sizeof *hd);
    hd->head = h;
    hd->slotId = platformGetQvsVideoSlotId();
    hd->post.dpsDeviceId = platformGetDpsFpgaDeviceId();
    hd->post.fsmDeviceId = platformGetFsmFpgaDeviceId();
    hd->post.newDataFlag = SRM_NEW_DATA_START;
    hd->post.windowCount = 0;
    for (inputWinInfo *blocks : {hd->post.inputs, hd->previous}) {
        emptyBlocks(blocks);
        for (int b = 0; b < LAYOUT_VIDEO_INPUT_COUNT; b++)
            for (windowInfo_t &window : blocks[b].windows)
                clearWindow(&window);
    }
    ScalerPoolManager_scalerPoolInitialization(srm.pool, srmCategory());
    DPM_init(srmCategory());
    memset(srm.freeRequest[h], 0, sizeof srm.freeRequest[h]);
    memset(srm.attributeChanged[h], 0, sizeof srm.attributeChanged[h]);
    memset(srm.videoWidgetNeedsProcessingState[h], 0, sizeof srm.videoWidgetNeedsProcessingState[h]);
    srm.eventPosted = 0;
    srm.sourceChangeKind = SOURCE_CHANGE_NONE;
    return 0;
}

/* Head size, VANC and horizontal total from the head's resolution and the system frame rate. */
static void updateHeadResolution(sysResMngtHeadData_t *hd, const headLayoutRecord *record)
{
    postScalerData_t &post = hd->post;
    const headResolution_t &resolution = record->resolution;
    uint32_t rate = layoutGetPrivateData()->systemFrameRate;
    int fiftyHz = rate == FRAME_RATE_50 || rate == FRAME_RATE_50 / 100;
    post.headWidth = resolution.hActivePixels;
    post.headHeight = resolution.vActivePixels;
    if (resolution.vActivePixels == 720) {
        post.headVancSize = 26;
        post.headHTotal = resolution.rotation ? 720 : fiftyHz ? 1979 : 1649;
        return;
    }
    if (resolution.vActivePixels != HD_HEIGHT) {
        SRM_LOG(LOG4C_PRIORITY_ERROR,
                "%s: v_active_pixels value %d is not supported, defaulting head resolution and headVAncSize to "
                "1920x1080: v_active_pixels and headVAncSize size default values are: ([%dP],[%d])",
                __func__, (int)resolution.vActivePixels, HD_HEIGHT, 42);
        post.headWidth = HD_WIDTH;
        post.headHeight = HD_HEIGHT;
    }
    post.headVancSize = resolution.rotation ? 77 : 42;
    post.headHTotal = resolution.rotation ? HD_HEIGHT : fiftyHz ? 2639 : 2199;
}

/* The first record of a window id in the head's current blocks, or null. */
static windowInfo_t *findCurrentWindow(sysResMngtHeadData_t *hd, uint32_t winId)
{
    for (inputWinInfo &block : hd->post.inputs)
        for (uint32_t r = 0; r < block.inputWindowQty && r < LAYOUT_WINDOW_COUNT; r++)
            if (block.windows[r].winId == winId)
                return &block.windows[r];
    return nullptr;
}

static void copyPoolToAllHeads(void)
{
    for (sysResMngtHeadData_t &hd : srm.heads)
        memcpy(hd.post.scalers, srm.pool, sizeof srm.pool);
}

static int anyWindowWithoutScaler(sysResMngtHeadData_t *hd)
{
    for (inputWinInfo &block : hd->post.inputs)
        for (uint32_t r = 0; r < block.inputWindowQty && r < LAYOUT_WINDOW_COUNT; r++)
            if (!block.windows[r].scalerEnable)
                return 1;
    return 0;
}

void layoutManagerSysResMngtResultOf(const sysResMngtHeadData_t *hd, sysResMngtResult_t *result)
{
    const postScalerData_t &post = hd->post;
    memset(result, 0, sizeof *result);
    result->head = hd->head;
    result->displayHead = hd->displayHead;
    result->eventKind = hd->eventKind;
    result->disableUnusedWindows = post.disableUnusedWindows;
    result->windowCount = post.windowCount;
    result->rotation = post.rotation;
    result->headWidth = post.headWidth;
    result->headHeight = post.headHeight;
    result->headVancSize = post.headVancSize;
    result->headHTotal = post.headHTotal;
    memcpy(result->scalers, post.scalers, sizeof result->scalers);
    uint32_t carried = 0;
    for (const inputWinInfo &block : post.inputs) {
        result->windowTotal += block.inputWindowQty;
        for (uint32_t r = 0; r < block.inputWindowQty && r < LAYOUT_WINDOW_COUNT && carried < SRM_RESULT_WINDOWS; r++)
            result->windows[carried++] = block.windows[r];
    }
}

/* Posts the head's result as it stands: the scaler programs this copy, whatever resource management does next. */
static void postNotification(sysResMngtHeadData_t *hd)
{
    sysResMngtResult_t result;
    layoutManagerSysResMngtResultOf(hd, &result);
    const uint32_t info[2] = {hd->eventKind, hd->head};
    targetEventSystemResMngt(&result, sizeof result, info);
}

/* Copies the input's format and the window's place into the enabled pool entries of this head. */
static void updateActiveScalersWithVideoInputFormatParameters(sysResMngtHeadData_t *hd)
{
    for (scalerInfo_t &scaler : srm.pool) {
        if (!scaler.enable || scaler.head != hd->head)
            continue;
        windowInfo_t *window = findCurrentWindow(hd, scaler.winId);
        if (!window || !window->windowConfigHasChanged)
            continue;
        scaler.inputNb = window->inputNb;
        scaler.inputFormat = window->inputFormat;
        scaler.scanningFormat = window->scanningFormat;
        scaler.sizeInH = window->sizeIn;
        scaler.sizeInV = window->vSizeIn;
        scaler.windowX = window->windowX;
        scaler.windowY = window->windowY;
    }
    memcpy(hd->post.scalers, srm.pool, sizeof srm.pool);
}

/* `caller`: the process function whose step this is, named in the log line. */
static void allocateAndPublish(sysResMngtHeadData_t *hd, const layoutEventInfo *event, const char *caller)
{
    updateActiveScalersWithVideoInputFormatParameters(hd);
    SRM_LOG(LOG4C_PRIORITY_DEBUG,
            "%s sub-module, %s function-> Call checkDeinterlacerAllocation function: event id 0x%x, head id %d "
            "[display head id %d]",
            SUBMODULE, caller, event->headEvent, (int)hd->head, (int)hd->displayHead);
    checkDeinterlacerAllocation(srm.pool, &hd->post, event->headEvent, event->target, hd->head);
    copyPoolToAllHeads();
}

/* ---- window layout and attributes ---- */

static void processWindowsAttributesEvent(sysResMngtHeadData_t *hd, const layoutEventInfo *event)
{
    if (event->window < LAYOUT_WINDOW_COUNT)
        srm.attributeChanged[hd->head][event->window] = 1;
}

static void processHeadWindowLayoutEvent(sysResMngtHeadData_t *hd, const layoutEventInfo *event)
{
    srm.sourceChangeKind = SOURCE_CHANGE_NONE;
    if (event->window >= LAYOUT_WINDOW_COUNT)
        return;
    const windowLayout_t &layout = event->headRecord->windows[event->window].layout;
    uint32_t h = hd->head, winId = layout.winId;
    if (winId >= LAYOUT_WINDOW_COUNT) {
        SRM_LOG(LOG4C_PRIORITY_ERROR, "%s sub-module, %s function-> window id %d out of range, head id %d", SUBMODULE,
                __func__, (int)winId, (int)h);
        return;
    }
    windowInfo_t *current = findCurrentWindow(hd, winId);
    if (layout.source_slot_id == hd->slotId) {
        srm.videoWidgetNeedsProcessingState[h][winId] = 1;
        if (current && current->inputNb != layout.input_no && current->videoOutHDimension ==
                layout.video_out_h_dimension && current->videoOutVDimension == layout.video_out_v_dimension &&
            current->windowX == layout.video_out_h_position && current->windowY == layout.video_out_v_position) {
            SRM_LOG(LOG4C_PRIORITY_DEBUG,
                    "%s sub-module, %s function-> Set flag to free scaler resources: use case of source change within "
                    "the same Card: head id %d [display head id %d], winId %d",
                    SUBMODULE, __func__, (int)h, (int)hd->displayHead, (int)winId);
            srm.sourceChangeKind = SOURCE_CHANGE_INTRA_CARD;
            srm.freeRequest[h][winId] = 1;
        }
    } else if (layout.source_slot_id == 0) {
        srm.videoWidgetNeedsProcessingState[h][winId] = 0;
        if (!current)
            return;
        current->sourceSlotId = 0;
        SRM_LOG(LOG4C_PRIORITY_DEBUG,
                "%s sub-module, %s function-> Normal Use Case: update video source slot id %d head id %d [display head "
                "id %d], winId %d]",
                SUBMODULE, __func__, 0, (int)h, (int)hd->displayHead, (int)winId);
        if (current->scalerEnable) {
            SRM_LOG(LOG4C_PRIORITY_DEBUG,
                    "%s sub-module, %s function-> Set flag to free scaler resources on head apply event: Normal Use "
                    "Case: head id %d [display head id %d], winId %d]",
                    SUBMODULE, __func__, (int)h, (int)hd->displayHead, (int)winId);
            srm.freeRequest[h][winId] = 1;
        }
    } else if (current && current->scalerEnable) {
        SRM_LOG(LOG4C_PRIORITY_DEBUG,
                "%s sub-module, %s function-> Set flag to free scaler resources: use case of source change from "
                "different cards: head id %d [display head id %d], winId %d",
                SUBMODULE, __func__, (int)h, (int)hd->displayHead, (int)winId);
        srm.sourceChangeKind = SOURCE_CHANGE_INTER_CARDS;
        srm.freeRequest[h][winId] = 1;
    }
}

/* ---- spanning ---- */

static uint32_t isThisVideoWidgetInSpanningMode(const windowInfo_t &w, uint32_t head)
{
    if (w.videoOutFullHDimension > w.videoOutHDimension)
        return w.videoOutFullVDimension > w.videoOutVDimension ? SPAN_FULL : SPAN_HORIZONTAL;
    if (w.videoOutFullVDimension > w.videoOutVDimension)
        return SPAN_VERTICAL;
    SRM_LOG(LOG4C_PRIORITY_DEBUG, "%s: Video widget id %d in not in spanning mode: head id is %d", __func__,
            (int)w.winId, (int)head);
    return SPAN_NONE;
}

static int isVideoWidgetXYCoordinatesLocalizationInTopLefHead(const sysResMngtHeadData_t *hd, const windowInfo_t &w,
                                                               uint32_t type)
{
    uint32_t W = hd->post.headWidth, H = hd->post.headHeight;
    if (hd->post.rotation)
        std::swap(W, H);
    uint32_t logical = convertPhysicalHeadId2LogicalHeadId(hd->slotId, hd->head);
    switch (type) {
    case SPAN_HORIZONTAL:
        SRM_LOG(LOG4C_PRIORITY_DEBUG, "%s function %s-> head id %d: Video widget Win Id %d is in horizontal spanning mode",
                SUBMODULE, __func__, (int)hd->head, (int)w.winId);
        return W < w.windowX + w.videoOutFullHDimension && w.videoOutFullVDimension == w.videoOutVDimension &&
               (logical == 0 || logical == 1);
    case SPAN_VERTICAL:
        SRM_LOG(LOG4C_PRIORITY_DEBUG, "%s function %s-> head id %d: Video widget Win Id %d is in vertical spanning mode",
                SUBMODULE, __func__, (int)hd->head, (int)w.winId);
        return H < w.windowY + w.videoOutFullVDimension && w.videoOutFullHDimension == w.videoOutHDimension &&
               (logical == 0 || logical == 2);
    case SPAN_FULL:
        SRM_LOG(LOG4C_PRIORITY_DEBUG, "%s function %s-> head id %d: Video widget Win Id %d is in full spanning mode",
                SUBMODULE, __func__, (int)hd->head, (int)w.winId);
        return w.windowX + w.videoOutFullHDimension > W && w.windowY + w.videoOutFullVDimension > H && logical == 0;
    default:
        SRM_LOG(LOG4C_PRIORITY_ERROR, "%s function %s-> received Bad Parameter: not supported spanning type %d",
                SUBMODULE, __func__, (int)type);
        return 0;
    }
}

static uint32_t evenDown(uint32_t v)
{
    return v & 1 ? v - 1 : v;
}

static uint32_t evenUp(uint32_t v)
{
    return v & 1 ? v + 1 : v;
}

/*
 * Cuts a window taller than one head into this head's part. Returns 1 when
 * the part is kept in the record's stitching words, 0 when the window is left
 * out of this head (not its top-left head, or narrower than the cut).
 */
static int procesVideoWidgetInStitchingMode(const sysResMngtHeadData_t *hd, windowInfo_t &w)
{
    w.stitching = 1;
    const uint32_t x = w.windowX, y = w.windowY, width = w.videoOutHDimension, height = w.videoOutVDimension;
    const uint32_t FW = w.videoOutFullHDimension, FH = w.videoOutFullVDimension;
    const uint32_t c0 = w.hInCropStartPercent, c1 = w.hInCropEndPercent;
    const int rotated = hd->post.rotation != 0;
    const uint32_t HW = rotated ? HD_HEIGHT : HD_WIDTH, HV = rotated ? HD_WIDTH : HD_HEIGHT;
    const uint32_t OFF = (2 * HW - STITCH_LIMIT) / 2;
    auto refuse = [&](const char *why) {
        if (why)
            SRM_LOG(LOG4C_PRIORITY_ERROR,
                    "%s: head id %d: stitched window %d (x %d, width %d, full width %d, crops %d %d) refused: %s",
                    __func__, (int)hd->head, (int)w.winId, (int)x, (int)width, (int)FW, (int)c0, (int)c1, why);
        w.stitchCrop1 = w.stitchCrop2 = w.partX = w.partY = w.partWidth = w.partHeight = w.partFullHeight = 0;
        w.partFullWidth = 0;
        return 0;
    };
    if (!isVideoWidgetXYCoordinatesLocalizationInTopLefHead(hd, w, w.spanningType))
        return refuse(nullptr);
    if (c0 > SCALER_CROP_FULL || c1 > SCALER_CROP_FULL)
        return refuse("crop above the whole input");
    uint32_t V0 = (FH - HD_HEIGHT) / 2, partY = V0 + y, partHeight;
    if (height > HD_HEIGHT) {
        partHeight = HD_HEIGHT;
        if (partY + HD_HEIGHT > STITCH_LIMIT) {
            if (partY > STITCH_LIMIT)
                return refuse("part below the picture");
            partHeight = STITCH_LIMIT - partY;
        }
    } else {
        partHeight = height > V0 ? height - V0 : height;
        if (partY > STITCH_LIMIT)
            partY = y;
    }
    uint32_t C1 = 0, C2 = 0, partX = x, partWidth = width, PFW = FW;
    const int cropped = c0 || c1;
    if (cropped && !(FW == 2 * HW || FH == 2 * HV)) {
        /* The part stays the whole window. */
    } else if (c0 && !c1) {
        uint32_t t = evenUp(STITCH_LIMIT * (SCALER_CROP_FULL - c0) / SCALER_CROP_FULL);
        if (rotated) {
            if (FW < OFF)
                return refuse("narrower than the cut");
            C1 = OFF;
            PFW = FW - C1;
            partWidth = FW == width ? FW - C1 : width;
        } else {
            if (FW < t)
                return refuse("narrower than the cut");
            C1 = evenDown(FW - t);
            PFW = FW - C1;
            if (PFW + OFF > (uint32_t)(FW > STITCH_LIMIT ? 2 * STITCH_LIMIT : STITCH_LIMIT))
                return refuse("narrower than the cut");
            if (FW > STITCH_LIMIT) {
                partX = 2 * STITCH_LIMIT - PFW - OFF;
                if (partX > STITCH_LIMIT)
                    return refuse("narrower than the cut");
                partWidth = STITCH_LIMIT - partX;
            } else {
                partWidth = PFW;
                partX = STITCH_LIMIT - PFW - OFF;
            }
        }
    } else if (c0 && c1) {
        uint32_t PFW0 = FW < STITCH_LIMIT ? FW : (uint32_t)STITCH_LIMIT;
        uint32_t a = evenDown(c0 * PFW0 / SCALER_CROP_FULL), b = evenDown(c1 * PFW0 / SCALER_CROP_FULL);
        if (a + b > PFW0)
            return refuse("crops wider than the window");
        PFW = PFW0 - a - b;
        C2 = evenDown((FW - PFW) / 2);
        if (width < C2)
            return refuse("narrower than the cut");
        partX = C2 + x;
        partWidth = width - C2;
    } else if (c1) {
        uint32_t t = evenUp(STITCH_LIMIT * (SCALER_CROP_FULL - c1) / SCALER_CROP_FULL);
        if (rotated) {
            C2 = OFF;
            if (width < C2 || FW < C2)
                return refuse("narrower than the cut");
            partX = C2 + x;
            partWidth = width - C2;
            PFW = FW - C2;
        } else {
            if (FW < t)
                return refuse("narrower than the cut");
            C2 = evenDown(FW - t);
            partX = OFF + x;
            uint32_t cut = FW > width ? OFF : C2;
            if (width < cut)
                return refuse("narrower than the cut");
            partWidth = width - cut;
            PFW = FW - C2;
        }
    } else if (FW > STITCH_LIMIT) {
        PFW = STITCH_LIMIT;
        C2 = evenDown((FW - STITCH_LIMIT) / 2);
        if (width < C2)
            return refuse("narrower than the cut");
        partX = C2 + x;
        partWidth = width - C2;
    }
    w.stitchVOffset = V0;
    w.stitchCrop1 = C1;
    w.stitchCrop2 = C2;
    w.partY = partY;
    w.partX = partX;
    w.partHeight = partHeight;
    w.partWidth = partWidth;
    w.partFullHeight = HD_HEIGHT;
    w.partFullWidth = PFW;
    return 1;
}

/* ---- build ---- */

static void freeWindowResources(sysResMngtHeadData_t *hd, uint32_t winId)
{
    deallocateDeinterlacerByWinId(srm.pool, &hd->post, hd->head, winId);
    ScalerPoolManager_freeScalerForWindow(srm.pool, &hd->post, hd->head, winId, srmCategory());
}

static void forceFreeScalerResourcesIfNotReleased(sysResMngtHeadData_t *hd, headLayoutRecord *record)
{
    for (inputWinInfo &block : hd->post.inputs) {
        for (uint32_t r = 0; r < block.inputWindowQty && r < LAYOUT_WINDOW_COUNT; r++) {
            windowInfo_t &window = block.windows[r];
            if (!window.scalerEnable)
                continue;
            SRM_LOG(LOG4C_PRIORITY_WARN,
                    "%s: Scaler resources are still allocated even though we received a head apply layout with win "
                    "quantity equal to 0 windId %d scalerId %d enable %d",
                    __func__, (int)window.winId, (int)window.scalerId, (int)window.scalerEnable);
            for (windowLayoutRecord &wl : record->windows) {
                if (wl.layout.winId == window.winId && wl.layout.source_slot_id == hd->slotId) {
                    wl.layout.source_slot_id = 0;
                    SRM_LOG(LOG4C_PRIORITY_DEBUG, "%s: current source slot Id %d for this win Id %d has been cleared",
                            __func__, (int)hd->slotId, (int)window.winId);
                }
            }
            SRM_LOG(LOG4C_PRIORITY_DEBUG, "%s: force free scaler resources for this win Id %d", __func__,
                    (int)window.winId);
            freeWindowResources(hd, window.winId);
        }
    }
}

/*
 * Adds one window of this card to its input's block. Returns 1 when the
 * window was changed (counts for the classification).
 */
static int addWindow(sysResMngtHeadData_t *hd, windowLayoutRecord &wl, const videoInputRecord *inputs,
                     const char *caller)
{
    uint32_t h = hd->head;
    windowLayout_t &layout = wl.layout;
    uint32_t inputNb = layout.input_no;
    if (inputNb >= LAYOUT_VIDEO_INPUT_COUNT) {
        SRM_LOG(LOG4C_PRIORITY_ERROR, "%s: head id %d: window %d names input %d, the card has %d; window left out",
                caller, (int)h, (int)layout.winId, (int)inputNb, LAYOUT_VIDEO_INPUT_COUNT);
        return 0;
    }
    if (layout.winId >= LAYOUT_WINDOW_COUNT) {
        SRM_LOG(LOG4C_PRIORITY_ERROR, "%s: head id %d: window id %d out of range; window left out", caller, (int)h,
                (int)layout.winId);
        return 0;
    }
    inputWinInfo &block = hd->post.inputs[inputNb];
    windowInfo_t &w = block.windows[block.inputWindowQty];
    clearWindow(&w);
    videoInputRecord input = inputs[inputNb];
    SRM_LOG(LOG4C_PRIORITY_DEBUG, "%s sub module winId %d, size of win needed is V %d x H %d, input_no %d:%d videoInput "
                                  "format %d:%d ",
            caller, (int)layout.winId, (int)layout.video_out_v_dimension, (int)layout.video_out_h_dimension,
            (int)inputNb, (int)input.inputIndex, (int)input.videoTypeInfo, (int)input.videoTypeInfo);
    /* Spanning is decided on the layout's own sizes. */
    w.winId = layout.winId;
    w.videoOutHDimension = layout.video_out_h_dimension;
    w.videoOutVDimension = layout.video_out_v_dimension;
    w.windowX = layout.video_out_h_position;
    w.windowY = layout.video_out_v_position;
    w.videoOutFullHDimension = layout.video_out_full_h_dimension;
    w.videoOutFullVDimension = layout.video_out_full_v_dimension;
    w.hInCropStartPercent = layout.in_h_full_crop_start;
    w.hInCropEndPercent = layout.in_h_full_crop_end;
    w.vInCropStartPercent = layout.in_v_full_crop_start;
    w.vInCropEndPercent = layout.in_v_full_crop_end;
    w.spanningType = isThisVideoWidgetInSpanningMode(w, h);
    int spanning = w.spanningType != SPAN_NONE;
    if (spanning && w.videoOutFullVDimension <= HD_HEIGHT) {
        if (!isVideoWidgetXYCoordinatesLocalizationInTopLefHead(hd, w, w.spanningType)) {
            SRM_LOG(LOG4C_PRIORITY_DEBUG,
                    "%s function %s-> head id %d: Video widget id %d detected in normal spanning but rejected form "
                    "processing",
                    SUBMODULE, caller, (int)h, (int)w.winId);
            return 0;
        }
        SRM_LOG(LOG4C_PRIORITY_DEBUG,
                "%s function %s-> Video widget id %d detected in normal spanning-> The top left head id is %d", SUBMODULE,
                caller, (int)w.winId, (int)h);
    } else if (spanning && !procesVideoWidgetInStitchingMode(hd, w)) {
        return 0;
    }
    int locked = input.carrierDetect == 1 && input.videoTypeInfo != INPUT_FORMAT_NONE;
    if (!locked) {
        input.scanningFormat = 1;
        input.samplesPerActiveLines = HD_WIDTH;
        input.activeLinesPerFrame = HD_HEIGHT;
        w.windowConfigHasChanged = 1;
    }
    w.inputNb = inputNb;
    w.inputFormat = input.videoTypeInfo;
    w.sizeIn = input.samplesPerActiveLines;
    w.vSizeIn = input.activeLinesPerFrame;
    w.inputSizeH = input.samplesPerActiveLines;
    w.inputSizeV = input.activeLinesPerFrame;
    w.scanningFormat = input.scanningFormat;
    w.inputLock = input.carrierDetect == 1;
    layout.video_out_h_dimension = evenDown(layout.video_out_h_dimension);
    layout.video_out_h_position = evenDown(layout.video_out_h_position);
    w.videoOutHDimension = layout.video_out_h_dimension;
    w.windowX = layout.video_out_h_position;
    w.sourceSlotId = layout.source_slot_id;
    w.detailEnhancer = wl.attributes.detailEnhancer & 0xF;
    w.killChroma = wl.attributes.killchroma ? 1 : 0;
    if (hd->post.rotation && !spanning && w.videoOutVDimension > HD_HEIGHT) {
        w.windowY += (w.videoOutVDimension - HD_HEIGHT) / 2;
        w.videoOutVDimension = HD_HEIGHT;
        w.videoOutFullVDimension = HD_HEIGHT;
    }
    if (w.stitching) {
        w.videoOutFullHDimension = evenUp(w.partFullWidth);
        w.videoOutFullVDimension = w.partFullHeight;
        w.windowX = evenUp(w.partX);
        w.videoOutHDimension = evenUp(w.partWidth);
        w.windowY = w.partY;
        w.videoOutVDimension = w.partHeight;
    }
    if (!w.inputLock) {
        SRM_LOG(LOG4C_PRIORITY_DEBUG, "%s video input video not locked: input no %d", caller, (int)inputNb);
        w.hide_at_lost = wl.attributes.hideAtLost == 1;
    }
    if (srm.attributeChanged[h][w.winId]) {
        SRM_LOG(LOG4C_PRIORITY_DEBUG, "%s: set attributeConfigHasChanged flag", caller);
        w.attributeConfigHasChanged = 1;
        srm.attributeChanged[h][w.winId] = 0;
    }
    int changed = 0;
    if (srm.videoWidgetNeedsProcessingState[h][w.winId]) {
        SRM_LOG(LOG4C_PRIORITY_DEBUG, "%s: Processing done, set windowConfigHasChanged flag", caller);
        w.windowConfigHasChanged = 1;
        changed = 1;
        if (spanning) {
            w.attributeConfigHasChanged = 1;
            w.detailEnhancer = 0;
        }
    }
    for (int s = 0; s < SCALER_COUNT; s++) {
        if (srm.pool[s].enable && srm.pool[s].head == h && srm.pool[s].winId == w.winId) {
            w.scalerId = (uint32_t)s;
            w.scalerEnable = 1;
            SRM_LOG(LOG4C_PRIORITY_DEBUG, "%s: scaler info updated: scaler Id %d, enable %d", caller, s, 1);
            break;
        }
    }
    SRM_LOG(LOG4C_PRIORITY_DEBUG,
            "%s Postscaler info:  HPos: %d, VPos: %d, HCropStart: %d, HCropEnd: %d, VCropStrart: %d, VCropEnd: %d",
            caller, (int)layout.widget_h_position, (int)layout.widget_v_position, (int)layout.in_h_crop_start,
            (int)layout.in_h_crop_end, (int)layout.in_v_crop_start, (int)layout.in_v_crop_end);
    block.update = 0;
    block.inputWindowQty++;
    return changed;
}

/* Returns the number of changed windows, or -1 when the head has no window (classification skipped). */
static int buildVideoWidgetsLayoutForThisCardSlotID(sysResMngtHeadData_t *hd, const layoutEventInfo *event,
                                                     int fromForceLayout)
{
    headLayoutRecord *record = event->headRecord;
    postScalerData_t &post = hd->post;
    uint32_t h = hd->head, count = record->windowQuantity;
    post.rotation = record->resolution.rotation;
    hd->eventKind = fromForceLayout ? SRM_KIND_FORCE_LAYOUT : SRM_KIND_APPLY;
    if (count == 0 || count > LAYOUT_WINDOW_COUNT) {
        SRM_LOG(LOG4C_PRIORITY_DEBUG, "%s No windows in current layout for head id %d [display head id %d]", __func__,
                (int)h, (int)hd->displayHead);
        forceFreeScalerResourcesIfNotReleased(hd, record);
        emptyBlocks(post.inputs);
        post.windowCount = 0;
        post.disableUnusedWindows = 1;
        post.newDataFlag = SRM_NEW_DATA_POSTED;
        srm.headHasWindows[h] = 0;
        return -1;
    }
    emptyBlocks(post.inputs);
    memcpy(post.scalers, srm.pool, sizeof srm.pool);
    uint32_t seen = 0, taken = 0;
    int changed = 0;
    for (uint32_t r = 0; r < LAYOUT_WINDOW_COUNT && seen < count; r++) {
        windowLayoutRecord &wl = record->windows[r];
        if (wl.layout.source_slot_id == 0)
            continue;
        seen++;
        if (wl.layout.source_slot_id != hd->slotId)
            continue;
        if (taken == MAX_WINDOWS_PER_CARD) {
            SRM_LOG(LOG4C_PRIORITY_WARN, "%s: head id %d: window %d is beyond the %d windows of this card, not shown",
                    __func__, (int)h, (int)wl.layout.winId, MAX_WINDOWS_PER_CARD);
            break;
        }
        uint32_t before = 0;
        for (const inputWinInfo &block : post.inputs)
            before += block.inputWindowQty;
        changed += addWindow(hd, wl, event->inputRecords, __func__);
        uint32_t after = 0;
        for (const inputWinInfo &block : post.inputs)
            after += block.inputWindowQty;
        taken += after - before;
    }
    post.windowCount = taken;
    srm.headHasWindows[h] = taken != 0;
    return changed;
}

/*
 * A source change inside the card with exactly one changed window: the
 * windows that were already in the block keep their scalers and the new one
 * goes behind them, so the others need no reprogramming.
 */
static void reorderIntraCardSourceChange(sysResMngtHeadData_t *hd, const char *caller)
{
    for (int b = 0; b < LAYOUT_VIDEO_INPUT_COUNT; b++) {
        inputWinInfo &block = hd->post.inputs[b];
        inputWinInfo &past = hd->previous[b];
        if (block.inputWindowQty <= past.inputWindowQty || block.inputWindowQty < 2)
            continue;
        SRM_LOG(LOG4C_PRIORITY_DEBUG,
                "%s sub-module, %s function head id %d [display head id %d], video input no %d-> inputWindowsQty %d "
                "and pastInputWindowsQty %d are different",
                SUBMODULE, caller, (int)hd->head, (int)hd->displayHead, b, (int)block.inputWindowQty,
                (int)past.inputWindowQty);
        int newIndex = -1;
        for (uint32_t r = 0; r < block.inputWindowQty; r++) {
            windowInfo_t &w = block.windows[r];
            int found = 0;
            for (uint32_t p = 0; p < past.inputWindowQty && !found; p++) {
                if (past.windows[p].winId != w.winId)
                    continue;
                found = 1;
                w.scalerId = past.windows[p].scalerId;
                w.scalerEnable = past.windows[p].scalerEnable;
                SRM_LOG(LOG4C_PRIORITY_DEBUG,
                        "%s sub-module, %s function head id %d [display head id %d]-> updating winId %d scaler info: "
                        "scaler Id %d, enable %d",
                        SUBMODULE, caller, (int)hd->head, (int)hd->displayHead, (int)w.winId, (int)w.scalerId,
                        (int)w.scalerEnable);
            }
            if (!found && newIndex < 0)
                newIndex = (int)r;
        }
        if (newIndex >= 0) {
            windowInfo_t moved = block.windows[newIndex];
            SRM_LOG(LOG4C_PRIORITY_DEBUG,
                    "%s sub-module, %s function head id %d [display head id %d]-> re-ordering by moving new winId %d to "
                    "end of structure.",
                    SUBMODULE, caller, (int)hd->head, (int)hd->displayHead, (int)moved.winId);
            memmove(&block.windows[newIndex], &block.windows[newIndex + 1],
                    (block.inputWindowQty - 1 - (uint32_t)newIndex) * sizeof(windowInfo_t));
            block.windows[block.inputWindowQty - 1] = moved;
        }
        block.inputWindowQty = past.inputWindowQty + 1;
        past.inputWindowQty = block.inputWindowQty;
        return;
    }
}

static void classifyHeadApplyEvent(sysResMngtHeadData_t *hd, int changed)
{
    postScalerData_t &post = hd->post;
    uint32_t h = hd->head;
    switch (srm.sourceChangeKind) {
    case SOURCE_CHANGE_INTER_CARDS:
        SRM_LOG(LOG4C_PRIORITY_DEBUG,
                "%s sub-module, %s function-> head id %d [display head id %d]: video widget changed count %d "
                "SOURCE_CHANGE_INTER_CARDS occurred-> Classify HEAD_APPLY_EVENT as SRM_SOURCE_CHANGE_EVENT",
                SUBMODULE, __func__, (int)h, (int)hd->displayHead, changed);
        post.classification = SRM_SOURCE_CHANGE_EVENT;
        post.disableUnusedWindows = 1;
        break;
    case SOURCE_CHANGE_INTRA_CARD:
        SRM_LOG(LOG4C_PRIORITY_DEBUG,
                "%s sub-module, %s function-> head id %d [display head id %d]: video widget changed count %d "
                "SOURCE_CHANGE_INTRA_CARD occurred-> Classify HEAD_APPLY_EVENT as SRM_SOURCE_CHANGE_EVENT",
                SUBMODULE, __func__, (int)h, (int)hd->displayHead, changed);
        post.classification = SRM_SOURCE_CHANGE_EVENT;
        post.disableUnusedWindows = 1;
        if (post.windowCount >= 2 && changed == 1) {
            post.disableUnusedWindows = 0;
            reorderIntraCardSourceChange(hd, __func__);
        }
        break;
    default:
        SRM_LOG(LOG4C_PRIORITY_DEBUG,
                "%s sub-module, %s function-> head id %d [display head id %d]: HEAD_APPLY_EVENT has been classified as "
                "SRM_HEAD_APPLY_EVENT",
                SUBMODULE, __func__, (int)h, (int)hd->displayHead);
        post.classification = SRM_HEAD_APPLY_EVENT;
        post.disableUnusedWindows = 1;
        break;
    }
    srm.sourceChangeKind = SOURCE_CHANGE_NONE;
}

static void notifyHeadsForUnusedScalerResources(sysResMngtHeadData_t *hd)
{
    if (srm.eventPosted || !ScalerPoolManager_isScalerResourceAvailable(srm.pool, srmCategory()))
        return;
    SRM_LOG(LOG4C_PRIORITY_DEBUG, "%s: Generate Scaler Resources Available Event-> Head %d", __func__, (int)hd->head);
    sysResMngtNotice_t notice = {hd->head, hd->eventKind};
    targetEventScalerResourcesAvailable(&notice, sizeof notice);
    srm.eventPosted = 1;
}

static int rearShowsNoHeads23(void)
{
    switch (platformGetRearHwType()) {
    case 3: case 7: case 11: case 16: case 31:
        return 1;
    default:
        return 0;
    }
}

/* Releases the scalers and deinterlacers of the head's windows that asked to free them. */
static void freeScalerResourcesReleasedByVideoWidgets(sysResMngtHeadData_t *hd)
{
    uint32_t h = hd->head;
    ScalerPoolManager_displayWindowInfo(&hd->post, srmCategory());
    for (uint32_t winId = 0; winId < LAYOUT_WINDOW_COUNT; winId++) {
        if (!srm.freeRequest[h][winId])
            continue;
        srm.freeRequest[h][winId] = 0;
        SRM_LOG(LOG4C_PRIORITY_DEBUG, "%s: Calling SPM to release scaler resource for this winId %d", __func__,
                (int)winId);
        freeWindowResources(hd, winId);
    }
}

static void processHeadApplyEvent(sysResMngtHeadData_t *hd, const layoutEventInfo *event, int fromForceLayout)
{
    uint32_t h = hd->head;
    freeScalerResourcesReleasedByVideoWidgets(hd);
    if (h >= 2 && rearShowsNoHeads23()) {
        hd->waiting = 0;
        return;
    }
    int changed = buildVideoWidgetsLayoutForThisCardSlotID(hd, event, fromForceLayout);
    if (changed >= 0)
        classifyHeadApplyEvent(hd, changed);
    hd->post.newDataFlag = SRM_NEW_DATA_POSTED;
    ScalerPoolManager_applyScalersForHead(srm.pool, &hd->post, h, srmCategory());
    allocateAndPublish(hd, event, __func__);
    postNotification(hd);
    notifyHeadsForUnusedScalerResources(hd);
    hd->waiting = anyWindowWithoutScaler(hd);
}

static void processForceLayoutEvent(sysResMngtHeadData_t *hd, const layoutEventInfo *event)
{
    for (const windowLayoutRecord &wl : event->headRecord->windows)
        if (wl.layout.source_slot_id == hd->slotId && wl.layout.winId < LAYOUT_WINDOW_COUNT)
            srm.videoWidgetNeedsProcessingState[hd->head][wl.layout.winId] = 1;
}

static void processVideoInputEvent(sysResMngtHeadData_t *hd, const layoutEventInfo *event)
{
    uint32_t h = hd->head, input = event->input;
    if (input >= LAYOUT_VIDEO_INPUT_COUNT)
        return;
    inputWinInfo &block = hd->post.inputs[input];
    if (block.inputWindowQty == 0) {
        SRM_LOG(LOG4C_PRIORITY_DEBUG,
                "%s sub-module, %s function-> video input number %d is not used by the head id %d [display head id %d]",
                SUBMODULE, __func__, (int)input, (int)h, (int)hd->displayHead);
        return;
    }
    const videoInputRecord &record = event->inputRecords[input];
    if (srm.headHasWindows[h]) {
        SRM_LOG(LOG4C_PRIORITY_DEBUG, "%s sub-module, %s function-> updating input number %d with new video format %d",
                SUBMODULE, __func__, (int)input, (int)record.videoTypeInfo);
        if (hd->post.newDataFlag == SRM_NEW_DATA_START)
            hd->eventKind = SRM_KIND_INPUT_CHANGE;
        hd->head = h;
        block.update = 0;
        int locked = record.carrierDetect == 1;
        for (uint32_t r = 0; r < block.inputWindowQty && r < LAYOUT_WINDOW_COUNT; r++) {
            windowInfo_t &w = block.windows[r];
            w.inputLock = locked;
            if (locked && record.videoTypeInfo != INPUT_FORMAT_NONE) {
                w.inputFormat = record.videoTypeInfo;
                w.sizeIn = record.samplesPerActiveLines;
                w.vSizeIn = record.activeLinesPerFrame;
                w.inputSizeH = w.inputSizeV = record.activeLinesPerFrame;
                w.scanningFormat = record.scanningFormat;
            }
            uint32_t hideAtLost = 0;
            for (const windowLayoutRecord &wl : event->headRecord->windows)
                if (wl.layout.winId == w.winId && wl.layout.source_slot_id == hd->slotId)
                    hideAtLost = wl.attributes.hideAtLost;
            if (!locked) {
                SRM_LOG(LOG4C_PRIORITY_DEBUG, "%s sub-module %s function-> video input not locked: input no %d",
                        SUBMODULE, __func__, (int)input);
                if (hideAtLost == 1) {
                    w.hide_at_lost = 1;
                    w.windowConfigHasChanged = 1;
                    SRM_LOG(LOG4C_PRIORITY_DEBUG, "%s: hide at lost flag %d winId %d", __func__, 1, (int)w.winId);
                }
            } else {
                w.hide_at_lost = 0;
                if (record.videoTypeInfo != INPUT_FORMAT_NONE)
                    w.windowConfigHasChanged = 1;
            }
            if (w.winId < LAYOUT_WINDOW_COUNT)
                srm.videoWidgetNeedsProcessingState[h][w.winId] = 1;
        }
    }
    allocateAndPublish(hd, event, __func__);
    if (hd->post.newDataFlag == SRM_NEW_DATA_START) {
        hd->post.newDataFlag = SRM_NEW_DATA_POSTED;
        postNotification(hd);
    } else if (srm.headHasWindows[h]) {
        /* The result on its way was copied before this change: the change travels in a result of its own. */
        postNotification(hd);
    }
}

/* Marks this card's windows of the head that hold no scaler as changed, so they ask again. Their count. */
static int updateInactiveVideoWidgetsWithScalerResquest(sysResMngtHeadData_t *hd)
{
    int requests = 0;
    for (inputWinInfo &block : hd->post.inputs) {
        for (uint32_t r = 0; r < block.inputWindowQty && r < LAYOUT_WINDOW_COUNT; r++) {
            windowInfo_t &w = block.windows[r];
            if (w.scalerEnable || w.sourceSlotId != hd->slotId)
                continue;
            w.windowConfigHasChanged = 1;
            requests++;
            SRM_LOG(LOG4C_PRIORITY_DEBUG,
                    "%s sub-module, %s function-> head id %d [display head id %d], video widget winId=%d has been "
                    "updated to ask for available scalers resources",
                    SUBMODULE, __func__, (int)hd->head, (int)hd->displayHead, (int)w.winId);
        }
    }
    return requests;
}

static void processTargetScalerResourcesAvailableEvent(sysResMngtHeadData_t *hd, const layoutEventInfo *event)
{
    uint32_t h = hd->head;
    srm.eventPosted = 0;
    if (!hd->waiting) {
        SRM_LOG(LOG4C_PRIORITY_DEBUG,
                "%s sub-module, %s function-> This head id %d [display head id %d] is not waiting for scaler resources",
                SUBMODULE, __func__, (int)h, (int)hd->displayHead);
        return;
    }
    if (!ScalerPoolManager_isScalerResourceAvailable(srm.pool, srmCategory())) {
        const scalerInfo_t *p = srm.pool;
        SRM_LOG(LOG4C_PRIORITY_DEBUG,
                "%s sub-module, %s function event 0x%x head id %d [display head id %d]-> All scaler resources are "
                "allocated\nscalerInfo=([head=%d,winId=%d]\n[head=%d,winId=%d]\n[head=%d,winId=%d]\n[head=%d,winId=%d]"
                "\n[head=%d,winId=%d]\n[head=%d,winId=%d]\n[head=%d,winId=%d]\n[head=%d,winId=%d]\n[head=%d,winId=%d]",
                SUBMODULE, __func__, event->target, (int)h, (int)hd->displayHead, (int)p[0].head, (int)p[0].winId,
                (int)p[1].head, (int)p[1].winId, (int)p[2].head, (int)p[2].winId, (int)p[3].head, (int)p[3].winId,
                (int)p[4].head, (int)p[4].winId, (int)p[5].head, (int)p[5].winId, (int)p[6].head, (int)p[6].winId,
                (int)p[7].head, (int)p[7].winId, (int)p[8].head, (int)p[8].winId);
        return;
    }
    hd->waiting = 0;
    int requests = updateInactiveVideoWidgetsWithScalerResquest(hd);
    if (!requests) {
        SRM_LOG(LOG4C_PRIORITY_DEBUG,
                "%s sub-module, %s function event 0x%x-> This head id %d [display head id %d] does not request scaler "
                "resources",
                SUBMODULE, __func__, event->target, (int)h, (int)hd->displayHead);
        return;
    }
    SRM_LOG(LOG4C_PRIORITY_DEBUG,
            "%s sub-module, %s function event 0x%x-> This head id %d [display head id %d] requests %d scaler resources ",
            SUBMODULE, __func__, event->target, (int)h, (int)hd->displayHead, requests);
    hd->eventKind = SRM_KIND_APPLY;
    hd->post.newDataFlag = SRM_NEW_DATA_POSTED;
    ScalerPoolManager_applyScalersForHead(srm.pool, &hd->post, h, srmCategory());
    allocateAndPublish(hd, event, __func__);
    postNotification(hd);
    hd->waiting = anyWindowWithoutScaler(hd);
}

static void processGenlockSystemFrameRateEvent(sysResMngtHeadData_t *hd)
{
    hd->eventKind = SRM_FRAME_RATE_EVENT;
    copyPoolToAllHeads();
    for (inputWinInfo &block : hd->post.inputs)
        for (uint32_t r = 0; r < block.inputWindowQty && r < LAYOUT_WINDOW_COUNT; r++)
            if (block.windows[r].scalerEnable)
                block.windows[r].windowConfigHasChanged = 1;
    hd->post.newDataFlag = SRM_NEW_DATA_POSTED;
    sysResMngtResult_t result;
    layoutManagerSysResMngtResultOf(hd, &result);
    targetEventScalerFrameRateChange(&result, sizeof result);
}

static void processTargetForceLayoutEvent(sysResMngtHeadData_t *hd, const layoutEventInfo *event)
{
    uint32_t h = hd->head;
    for (const windowLayoutRecord &wl : event->headRecord->windows) {
        uint32_t winId = wl.layout.winId;
        if (wl.layout.source_slot_id != hd->slotId || winId >= LAYOUT_WINDOW_COUNT)
            continue;
        windowInfo_t *current = findCurrentWindow(hd, winId);
        if (!current || !current->scalerEnable)
            continue;
        srm.videoWidgetNeedsProcessingState[h][winId] = 1;
        srm.freeRequest[h][winId] = 1;
        SRM_LOG(LOG4C_PRIORITY_DEBUG,
                "%s sub-module, %s function-> Set flag to free scaler resources on head apply event: head id %d "
                "[display head id %d], winId %d",
                SUBMODULE, __func__, (int)h, (int)hd->displayHead, (int)winId);
    }
    processHeadApplyEvent(hd, event, 1);
}

static int sysResMngtProcess(deviceSubmoduleInstance *instance, layoutEventInfo *event, const void *data)
{
    (void)data;
    sysResMngtHeadData_t *hd = layoutManagerSysResMngtHeadData(instance->head);
    if (!hd || !event->headRecord)
        return 0;
    setDisplayHeadId(hd);
    updateHeadResolution(hd, event->headRecord);
    switch (event->headEvent) {
    case WINDOW_ATTRIBUTES_EVENT:
        processWindowsAttributesEvent(hd, event);
        break;
    case HEAD_APPLY_EVENT:
        processHeadApplyEvent(hd, event, 0);
        break;
    case WINDOW_LAYOUT_EVENT:
        processHeadWindowLayoutEvent(hd, event);
        break;
    case FORCE_LAYOUT_EVENT:
        processForceLayoutEvent(hd, event);
        break;
    case INPUT_CHANGE_EVENT:
        processVideoInputEvent(hd, event);
        break;
    case TARGET_SPECIFIC_EVENT:
        if (event->target == TARGET_SCALER_RES_AVAILALBLE_EVENT)
            processTargetScalerResourcesAvailableEvent(hd, event);
        else if (event->target == GENLOCK_SYSTEM_FRAME_RATE_EVENT)
            processGenlockSystemFrameRateEvent(hd);
        else if (event->target == TARGET_FORCE_LAYOUT_EVENT)
            processTargetForceLayoutEvent(hd, event);
        break;
    default:
        SRM_LOG(LOG4C_PRIORITY_ERROR,
                "%s: Big problem got event that process %s did not registered! eventId 0x%x, head id %d [display head "
                "id %d], target eventId 0x%x",
                __func__, instance->descriptor->name, event->headEvent, (int)hd->head, (int)hd->displayHead,
                event->target);
        break;
    }
    return 0;
}

deviceSubmodule sysResMngtSubmodule = {
    "sysResMngt", sysResMngtInit, sysResMngtProcess,
    HEAD_APPLY_EVENT | WINDOW_LAYOUT_EVENT | WINDOW_ATTRIBUTES_EVENT | INPUT_CHANGE_EVENT | FORCE_LAYOUT_EVENT,
    TARGET_FORCE_LAYOUT_EVENT | TARGET_SCALER_RES_AVAILALBLE_EVENT | GENLOCK_SYSTEM_FRAME_RATE_EVENT, nullptr};
