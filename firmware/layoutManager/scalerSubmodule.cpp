#include "layoutManager/layoutManagerPrivate.h"
#include "layoutManager/scalerPrivate.h"
#include "layoutManager/sysResMngtResult.h"

#include "deviceManager/deviceManager.h"
#include "hal/hal.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <unistd.h>

/*
 * The scaler sub-module: turns a head's result of resource management (the
 * record its notification carries) into the registers of the nine scalers
 * and their deinterlacers (DPS-FPGA) and of the layer tables and the
 * frame-buffer positioner (FSM-FPGA). One instance per head; the instance
 * programs the head of the list it is called on and leaves its verdict in the
 * event record for the commit after it. Layout thread.
 */

enum {
    FSM_DEVICE = 1,
    DPS_DEVICE = 3,
    WRITE_PRIORITY = 2,
    QUADRANT_COUNT = 4,
    SCALER_BLOCK = 6144,
    SCALER_BLOCK_SIZE = 64,
    SCALER_BANDWIDTH = 16,
    OUTPUT_ARBITER = 7168,
    DEINTERLACER_ENABLE_1 = 7200,
    DEINTERLACER_ENABLE_2 = 7216,
    DEINTERLACER_BUFFER = 7424,
    DEINTERLACER_BUFFER_SIZE = 16,
    DEINTERLACER_BUFFER_STEP = 600,
    FB_REGION = 4096,
    LAYER_CLEAR_FIRST = 5120,
    LAYER_CLEAR_COUNT = 16,
    LAYER_TABLE = 5248,
    LAYER_TABLE_QUADRANT = 18,
    POSITIONER = 6144,
    POSITIONER_LAYER = 90,
    POSITIONER_WINDOW = 10,
    QUADRANT_STRIDE = 512,
    UPDATE_STROBE = 6324,
    LAYER_WINDOW_LIMIT = 128,
    SETUP_SETTLE_US = 128,
    MAX_LOCAL_WINDOWS = 9,
    SPAN_NONE = 0,
    SPAN_VERTICAL = 1,
    SPAN_HORIZONTAL = 2,
    SPAN_FULL = 3,
    PHASE_FULL = 0xff0000,
    PHASE_SECOND_FIELD = 0xfd0000,
    HTOTAL_5994 = 2199,
    ATTR_ENABLE = 1,
    ATTR_HIDDEN = 64,
    /* Validation errors of a received result. */
    RX_TOO_MANY_WINDOWS = 2,
    RX_BAD_INPUT = 2,
    RX_NO_WIDTH = 3,
    RX_NO_HEIGHT = 4,
    RX_BAD_SCANNING = 9,
    RX_BAD_DEINTERLACER = 10,
    RX_NO_OUT_WIDTH = 11,
    RX_NO_OUT_HEIGHT = 12,
    RX_X_BEYOND = 13,
    RX_Y_BEYOND = 14,
    RX_CROP = 15,                     /* 15-18 by crop word */
    RX_NO_SCALER = 19,
    RX_H_CROPS_OVERLAP = 20,          /* the horizontal crops leave nothing of the input */
    RX_V_CROPS_OVERLAP = 21,
    RX_SCALER_NO_WIDTH = 100,
    RX_SCALER_NO_HEIGHT = 101,
    RX_SCALER_BAD_INPUT = 102,
};

static const char *const QUADRANT_NAMES[QUADRANT_COUNT] = {"PL_TOP_LEFT_QUADRANT", "PL_BOTTOM_LEFT_QUADRANT",
                                                           "PL_TOP_RIGHT_QUADRANT", "PL_BOTTOM_RIGHT_QUADRANT"};
static const char *const SCALER_DEBUG_MARKER = "/usr/local/q7/logs/enable_scaler_debug.log";
static const char *const SPANNING_DEBUG_MARKER = "/usr/local/q7/logs/enable_spanning_debug.log";

/* What one window needs programmed. */
struct scalerParams_t {
    uint32_t shown[QUADRANT_COUNT];
    uint32_t hStart[QUADRANT_COUNT], hEnd[QUADRANT_COUNT], vStart[QUADRANT_COUNT], vEnd[QUADRANT_COUNT];
    uint32_t xFb[QUADRANT_COUNT], yFb[QUADRANT_COUNT];
    uint32_t readWidth, inputHeight, scaledOutWidth, outputHeight;
    uint32_t hIncrement, vIncrement, hPhase, vPhase1, vPhase2, leftOffset, scaledOrOne;
    uint32_t hUpscaling, vUpscaling, hCoefficients, vCoefficients, bandwidthReserve, filterMode, bypass;
    uint32_t readStart, readEnd, vReadStart, vReadEnd, leftPadding, rightPadding;
};

static struct {
    int scalerDebug;
    int spanningDebug;
    /*
     * The first failed write of a programming pass. The pass goes on, so that
     * the other registers still get their values, and then returns it.
     */
    int writeStatus;
    /* The received result, copied once per call. */
    uint32_t head, displayHead, disableUnusedWindows, windowCount, rotation, headWidth, headHeight, headVancSize,
        headHTotal;
    uint32_t localCount;
    windowInfo_t windows[MAX_LOCAL_WINDOWS];
    scalerInfo_t scalers[SCALER_COUNT];
    scalerParams_t params[MAX_LOCAL_WINDOWS];
} scalerContext;

#define SC_LOG(priority, ...) log4c_category_log(scalerSubmodule.category, priority, __VA_ARGS__)
#define SC_DEBUG(...)                                                                                                  \
    do {                                                                                                               \
        if (scalerContext.scalerDebug)                                                                                 \
            printf(__VA_ARGS__);                                                                                       \
    } while (0)

static int inRange(uint32_t address, const uint32_t (*ranges)[2], size_t count)
{
    for (size_t i = 0; i < count; i++)
        if (address >= ranges[i][0] && address < ranges[i][1])
            return 1;
    return 0;
}

int write2fpga(uint32_t device, uint32_t address, uint32_t value)
{
    static const uint32_t fsmRanges[][2] = {{3264, 3271}, {3280, 3292}, {4096, 5120},
                                            {5120, 5136}, {5248, 5376}, {6144, 8192}};
    static const uint32_t dpsRanges[][2] = {{6144, 6720}, {7168, 7172}, {7200, 7209}, {7216, 7225}, {7424, 7568}};
    if (device != FSM_DEVICE && device != DPS_DEVICE) {
        SC_LOG(LOG4C_PRIORITY_ERROR,
               "%s write2fpga ERROR!!!! Scaler submodule tried to write to device %d at address %d (0x%04x). Its "
               "supposed to write to only FSM or DPS. Inhibiting write. (val=%d)",
               __func__, (int)device, (int)address, address, (int)value);
        return -1;
    }
    int allowed = device == FSM_DEVICE ? inRange(address, fsmRanges, sizeof fsmRanges / sizeof fsmRanges[0])
                                       : inRange(address, dpsRanges, sizeof dpsRanges / sizeof dpsRanges[0]);
    if (!allowed) {
        SC_LOG(LOG4C_PRIORITY_ERROR,
               "%s write2fpga ERROR!!!! Scaler submodule tried to write to the FSM FPGA at address %d (0x%04x) thats "
               "out of its expected range!!! Inhibiting the write. (val=%d)",
               __func__, (int)address, address, (int)value);
        return -1;
    }
    uint8_t bytes[2] = {(uint8_t)(value >> 8), (uint8_t)value};
    uint32_t status = deviceManagerAccess(DEVICE_WRITE, device, address, WRITE_PRIORITY, 1, bytes);
    if (status != 0) {
        SC_LOG(LOG4C_PRIORITY_ERROR, "%s: write of device %d register %d (0x%04x) = %d failed, status %u", __func__,
               (int)device, (int)address, address, (int)value, status);
        return (int)status;
    }
    return 0;
}

/* One write of a programming pass: a failure is kept for the end of the pass. */
static void scalerWrite(uint32_t device, uint32_t address, uint32_t value)
{
    int status = write2fpga(device, address, value);
    if (status != 0 && scalerContext.writeStatus == 0)
        scalerContext.writeStatus = status;
}

static int markerExists(const char *path)
{
    FILE *marker = fopen(halPath(path).c_str(), "r");
    if (!marker)
        return 0;
    fclose(marker);
    return 1;
}

static int scalerInit(deviceSubmoduleInstance *instance, layoutEventInfo *event, const layoutHeadList *list)
{
    (void)list;
    scalerContext.scalerDebug = markerExists(SCALER_DEBUG_MARKER);
    scalerContext.spanningDebug = markerExists(SPANNING_DEBUG_MARKER);
    SC_LOG(LOG4C_PRIORITY_TRACE, "%s: Called scalerInit %s devid is: %d. Number of windows %d for head %d", __func__,
           instance->descriptor->name, (int)instance->deviceId,
           event && event->headRecord ? (int)event->headRecord->windowQuantity : 0, (int)instance->head);
    instance->privateState = nullptr;
    return 0;
}

/* The frame-buffer regions of the nine scalers and of the other clients. Returns the first failed write's status. */
static int initConfiguration(void)
{
    scalerContext.writeStatus = 0;
    static const uint32_t others[][4] = {{0, 127, 2560, 4607}, {128, 255, 2560, 4607}, {0, 511, 4608, 5087},
                                         {0, 511, 5088, 5567}};
    static const uint32_t enables[] = {3264, 3265, 3268, 3280, 3281, 3282, 3284, 3285, 3286, 3288, 3289, 3290, 3291};
    for (uint32_t r = 0; r < SCALER_COUNT + 4; r++) {
        uint32_t xs, xe, ys, ye;
        if (r < SCALER_COUNT) {
            xs = (r % 5) * 96;
            ys = (r / 5) * 1280;
            xe = xs + 95;
            ye = ys + 1279;
        } else {
            xs = others[r - SCALER_COUNT][0];
            xe = others[r - SCALER_COUNT][1];
            ys = others[r - SCALER_COUNT][2];
            ye = others[r - SCALER_COUNT][3];
        }
        uint32_t base = FB_REGION + 8 * r;
        scalerWrite(FSM_DEVICE, base + 0, xs);
        scalerWrite(FSM_DEVICE, base + 1, ys);
        scalerWrite(FSM_DEVICE, base + 4, xe);
        scalerWrite(FSM_DEVICE, base + 5, ye);
    }
    for (uint32_t address : enables)
        scalerWrite(FSM_DEVICE, address, 1);
    return scalerContext.writeStatus;
}

/* First active line of an input format. */
static uint32_t firstActiveLine(uint32_t format)
{
    if (format <= 9)
        return format % 2 == 0 ? 25 : 20;
    if (format == 11 || format == 13 || format == 16 || format == 51 || format == 52)
        return 41;
    return 20;
}

static uint32_t coefficientSet(double ratio, uint32_t *upscaling)
{
    *upscaling = ratio >= 1.0 ? 1 : 0;
    if (ratio >= 1.0)
        return 0;
    static const double thresholds[] = {0.892857, 0.785714, 0.678571, 0.571429, 0.464286, 0.357143};
    for (uint32_t k = 0; k < sizeof thresholds / sizeof thresholds[0]; k++)
        if (ratio >= thresholds[k])
            return k + 1;
    return 7;
}

static void showQuadrant(scalerParams_t &p, uint32_t q, uint32_t hs, uint32_t he, uint32_t vs, uint32_t ve,
                         uint32_t x, uint32_t y)
{
    if (q >= QUADRANT_COUNT || (hs == 0 && he == 0) || (vs == 0 && ve == 0))
        return;
    p.shown[q] = 1;
    p.hStart[q] = hs;
    p.hEnd[q] = he;
    p.vStart[q] = vs;
    p.vEnd[q] = ve;
    p.xFb[q] = x;
    p.yFb[q] = y;
    if (scalerContext.spanningDebug)
        printf("~~~ hActiveStart=%d, hActiveEnd=%d, vActiveStart=%d, vActiveEnd=%d, xFbCoord=%d, yFbCoord=%d\n",
               (int)hs, (int)he, (int)vs, (int)ve, (int)x, (int)y);
}

/* Where in the four frame-buffer quadrants the window is shown. */
static void configureQuadrants(const windowInfo_t &w, scalerParams_t &p)
{
    auto &c = scalerContext;
    uint32_t origin = scalerHeadIndexMap(c.head, c.displayHead, c.head);
    uint32_t id = w.scalerId;
    uint32_t xs = (id % 5) * 96, ys = (id / 5) * 1280;
    uint32_t x = w.windowX, y = w.windowY, width = w.videoOutHDimension, height = w.videoOutVDimension;
    uint32_t vs = c.headVancSize + y, ve = vs + height;
    uint32_t mode4k = 0;
    targetGet4kMode(&mode4k);
    int rotated = c.rotation != 0;
    /* The part right of the head (horizontal spanning). */
    uint32_t rightSize = w.videoOutFullHDimension > width ? w.videoOutFullHDimension - width : 0;
    uint32_t rightStart = width % 24 == 0 ? 0 : c.headHTotal + 1 - width % 24;
    uint32_t rightX = xs + width / 24;
    if (rotated)
        rightStart = 0;
    int showRight = !rotated || mode4k == 1;
    /* The part below the head (vertical spanning). */
    uint32_t lowerEnd = w.videoOutFullVDimension > height ? c.headVancSize + w.videoOutFullVDimension - height
                                                           : c.headVancSize;
    int showLower = !(rotated && mode4k != 1);
    switch (w.spanningType) {
    case SPAN_NONE:
        if (c.spanningDebug)
            printf("~~~ NO_SPAN_MODE\n");
        showQuadrant(p, origin, x, x + width, vs, ve, xs, ys);
        break;
    case SPAN_VERTICAL:
        if (c.spanningDebug)
            printf("~~~ VERT_SPAN_MODE\n");
        if (origin != 0 && origin != 2) {
            SC_LOG(LOG4C_PRIORITY_DEBUG,
                   "%s: ERROR : Spanning type is VERT_SPAN_MODE but current quadrantId is neither PL_TOP_LEFT_QUADRANT "
                   "or PL_TOP_RIGHT_QUADRANT",
                   __func__);
            break;
        }
        showQuadrant(p, origin, x, x + width, vs, ve, xs, ys);
        if (showLower)
            showQuadrant(p, origin + 1, x, x + width, c.headVancSize, lowerEnd, xs, ys + height);
        break;
    case SPAN_HORIZONTAL:
        if (c.spanningDebug) {
            printf("~~~ HORZ_SPAN_MODE\n");
            printf("~~~ headHTotalPixels=%d, videoOutFullHDimension=%d, hActiveSize=%d, hRealSize=%d\n",
                   (int)c.headHTotal, (int)w.videoOutFullHDimension, (int)rightSize,
                   (int)(w.videoOutFullHDimension - 24 * (width / 24)));
        }
        if (origin != 0 && origin != 1) {
            SC_LOG(LOG4C_PRIORITY_DEBUG,
                   "%s: ERROR : Spanning type is HORZ_SPAN_MODE but current quadrantId is neither PL_TOP_LEFT_QUADRANT "
                   "or PL_BOTTOM_LEFT_QUADRANT",
                   __func__);
            break;
        }
        showQuadrant(p, origin, x, x + width, vs, ve, xs, ys);
        if (showRight)
            showQuadrant(p, origin + 2, rightStart, rightSize, vs, ve, rightX, ys);
        break;
    case SPAN_FULL:
        if (c.spanningDebug)
            printf("~~~ FULL_SPAN_MODE\n");
        if (origin != 0) {
            SC_LOG(LOG4C_PRIORITY_DEBUG, "%s: ERROR : unsupported spanning mode (full span from %s)", __func__,
                   QUADRANT_NAMES[origin]);
            break;
        }
        showQuadrant(p, 0, x, x + width, vs, ve, xs, ys);
        if (showRight)
            showQuadrant(p, 2, rightStart, rightSize, vs, ve, rightX, ys);
        if (showLower)
            showQuadrant(p, 1, x, x + width, c.headVancSize, lowerEnd, xs, ys + height);
        if (showRight && showLower)
            showQuadrant(p, 3, rightStart, rightSize, c.headVancSize, lowerEnd, rightX, ys + height);
        break;
    default:
        SC_LOG(LOG4C_PRIORITY_DEBUG, "%s: ERROR : unsupported spanning mode", __func__);
        break;
    }
}

static void writeSplit(uint32_t address, uint32_t value)
{
    scalerWrite(DPS_DEVICE, address, value & 0xFFFF);
    scalerWrite(DPS_DEVICE, address + 1, (value >> 16) & 0xFFFF);
}

/* Computes the scaling of one window; the bandwidth read-back is the only register access. */
static void computeParameters(const windowInfo_t &w, scalerParams_t &p)
{
    int deinterlaced = w.deinterlacerEnable == 1;
    uint32_t W = w.sizeIn, H = deinterlaced ? 2 * w.vSizeIn : w.vSizeIn;
    int spanning = w.spanningType != SPAN_NONE;
    uint32_t outW = spanning ? w.videoOutFullHDimension : w.videoOutHDimension;
    uint32_t outH = spanning ? w.videoOutFullVDimension : w.videoOutVDimension;
    uint32_t S = W * w.hInCropStartPercent / SCALER_CROP_FULL;
    uint32_t E = W - W * w.hInCropEndPercent / SCALER_CROP_FULL;
    uint32_t cropped = E - S;        /* validated: the crops leave part of the input */
    uint32_t R0 = 0, R1 = W;
    if (w.hInCropStartPercent)
        R0 = 2 * S > W ? (2 * S - W) / 24 * 24 : 0;
    if (w.hInCropEndPercent)
        R1 = E + 24 < W - 1 ? E + 24 : W - 1;
    p.readStart = R0;
    p.readEnd = R1;
    p.leftPadding = S - R0;
    p.rightPadding = R1 > E ? R1 - E : 0;
    SC_DEBUG("-> (getProcessingInfo) spanningType=0x%X, inHCropStart=%d, inHCropEnd=%d, inVCropStart=%d, "
             "inVCropEnd=%d\nleft_padding=%d, right_padding=%d, h_crop_start=%d, h_crop_end=%d\n",
             (unsigned)w.spanningType, (int)w.hInCropStartPercent, (int)w.hInCropEndPercent,
             (int)w.vInCropStartPercent, (int)w.vInCropEndPercent, (int)p.leftPadding, (int)p.rightPadding, (int)S,
             (int)E);
    p.readWidth = R1 > R0 ? R1 - R0 : 1;
    p.inputHeight = H;
    p.outputHeight = outH;
    if (cropped) {
        p.scaledOutWidth = outW * p.readWidth / cropped;
        uint32_t offset = (uint32_t)std::lround((double)outW * p.leftPadding / cropped);
        p.leftOffset = offset & 1 ? offset - 1 : offset;
    } else {
        p.scaledOutWidth = 1;
        p.leftOffset = 0;
    }
    p.scaledOrOne = p.scaledOutWidth ? p.scaledOutWidth : 1;
    p.filterMode = (w.scanningFormat == 1 ? 1 : 3) + (deinterlaced ? 16 : 0);
    p.bypass = p.readWidth == p.scaledOutWidth && H == outH && !w.hInCropStartPercent && !w.hInCropEndPercent;
    p.hIncrement = scalerRatioToFixed(cropped, outW);
    p.vIncrement = scalerRatioToFixed(H, outH);
    p.hCoefficients = coefficientSet((double)p.scaledOutWidth / p.readWidth, &p.hUpscaling);
    p.vCoefficients = coefficientSet(H ? (double)outH / H : 1.0, &p.vUpscaling);
    uint16_t bandwidth = scalerReadRegister(DPS_DEVICE, SCALER_BLOCK + SCALER_BLOCK_SIZE * w.scalerId + SCALER_BANDWIDTH);
    int64_t pixels = bandwidth >= 16 ? bandwidth - 16 : 0;
    int64_t reserve = w.vSizeIn < outH ? (int64_t)((double)w.vSizeIn * pixels / outH - p.readWidth)
                                       : pixels - (int64_t)p.readWidth;
    SC_DEBUG("vertInputSize=%d, vertOutputSize=%d, nb_pixels_w_bw=%d, pixels_to_reserve=%d\n", (int)w.vSizeIn,
             (int)outH, (int)pixels, (int)reserve);
    /* Fewer usable pixels than the read window leave nothing to reserve. */
    p.bandwidthReserve = reserve > 0 ? (uint32_t)(reserve & 0xFFFF) : 0;
    p.hPhase = PHASE_FULL;
    p.vPhase1 = PHASE_FULL;
    p.vPhase2 = w.scanningFormat == 0 && !deinterlaced ? PHASE_SECOND_FIELD : 0;
    p.vReadStart = 0;
    p.vReadEnd = w.vSizeIn;
}

static int selectedForSetUp(const windowInfo_t &w)
{
    return (w.windowConfigHasChanged || w.attributeConfigHasChanged) && w.scalerEnable && w.scalerId < SCALER_COUNT;
}

static int selectedForPlacement(const windowInfo_t &w)
{
    return w.windowConfigHasChanged && w.scalerEnable && w.scalerId < SCALER_COUNT;
}

static void scalerSetUp(const windowInfo_t &w, scalerParams_t &p)
{
    uint32_t base = SCALER_BLOCK + SCALER_BLOCK_SIZE * w.scalerId;
    const uint32_t sequence[][2] = {{8, 0}, {1, 0}, {0, w.inputNb}, {11, 0}, {12, 0}, {13, w.sizeIn - 1}, {14, 0},
                                    {15, w.vSizeIn - 1}, {8, 1}};
    for (const auto &reg : sequence)
        scalerWrite(DPS_DEVICE, base + reg[0], reg[1]);
    usleep(SETUP_SETTLE_US);
    memset(&p, 0, sizeof p);
    computeParameters(w, p);
    configureQuadrants(w, p);
}

static void programScaler(const windowInfo_t &w, const scalerParams_t &p)
{
    uint32_t base = SCALER_BLOCK + SCALER_BLOCK_SIZE * w.scalerId;
    uint32_t line = firstActiveLine(w.inputFormat);
    const uint32_t head[][2] = {{0, w.inputNb},           {2, p.readStart}, {3, p.readEnd - 1},
                                {4, line + p.vReadStart}, {5, p.vReadEnd - 1 + line}, {1, 1},
                                {11, 0},                  {12, 0},          {13, p.readWidth - 1},
                                {14, 0},                  {15, w.vSizeIn - 1}, {8, 1},
                                {8, p.filterMode},        {17, p.bypass},   {28, 1},
                                {18, p.vUpscaling},       {19, p.vCoefficients}};
    for (const auto &reg : head)
        scalerWrite(DPS_DEVICE, base + reg[0], reg[1]);
    writeSplit(base + 20, p.vIncrement);
    writeSplit(base + 22, p.vPhase1);
    writeSplit(base + 24, p.vPhase2);
    const uint32_t middle[][2] = {{26, p.readWidth}, {27, p.bandwidthReserve}, {29, p.outputHeight}, {30, 0},
                                  {31, p.outputHeight}, {32, 1}, {33, p.hUpscaling}, {34, p.hCoefficients}};
    for (const auto &reg : middle)
        scalerWrite(DPS_DEVICE, base + reg[0], reg[1]);
    writeSplit(base + 35, p.hIncrement);
    writeSplit(base + 37, p.hPhase);
    const uint32_t tail[][2] = {{39, p.readWidth}, {40, p.scaledOutWidth}, {41, 0}, {42, p.leftOffset},
                                {43, p.scaledOrOne}};
    for (const auto &reg : tail)
        scalerWrite(DPS_DEVICE, base + reg[0], reg[1]);
}

static void configureOutputArbiter(void)
{
    uint32_t mask = 0;
    for (uint32_t id = 0; id < SCALER_COUNT; id++)
        if (scalerContext.scalers[id].enable)
            mask |= 1u << id;
    SC_LOG(LOG4C_PRIORITY_DEBUG, "%s configureOutputArbiter : value = %d", __func__, (int)mask);
    scalerWrite(DPS_DEVICE, OUTPUT_ARBITER, mask);
}

static void configureDeinterlacers(void)
{
    auto &c = scalerContext;
    for (uint32_t i = 0; i < c.localCount; i++) {
        const windowInfo_t &w = c.windows[i];
        if (!w.scalerEnable || w.scalerId >= SCALER_COUNT)
            continue;
        uint32_t id = w.scalerId;
        uint32_t on = c.scalers[id].deinterlacer_enable ? 1 : 0;
        scalerWrite(DPS_DEVICE, DEINTERLACER_ENABLE_1 + id, on);
        scalerWrite(DPS_DEVICE, DEINTERLACER_ENABLE_2 + id, on);
        if (!on)
            continue;
        uint32_t base = DEINTERLACER_BUFFER + DEINTERLACER_BUFFER_SIZE * id, start = DEINTERLACER_BUFFER_STEP * id;
        const uint32_t buffer[][2] = {{0, 0}, {1, start}, {2, 0}, {3, start}, {8, 256}, {9, start}, {10, 256},
                                      {11, start}};
        for (const auto &reg : buffer)
            scalerWrite(DPS_DEVICE, base + reg[0], reg[1]);
    }
}

static uint32_t positionerBase(uint32_t layer, uint32_t id, uint32_t q)
{
    return POSITIONER + POSITIONER_LAYER * layer + POSITIONER_WINDOW * id + QUADRANT_STRIDE * q;
}

static uint32_t attributes(const windowInfo_t &w)
{
    return ATTR_ENABLE + 2 * (w.detailEnhancer & 0xF) + 32 * (w.killChroma ? 1 : 0) + (w.hide_at_lost ? ATTR_HIDDEN : 0);
}

static void configurePositioner(void)
{
    auto &c = scalerContext;
    for (uint32_t i = 0; i < c.localCount; i++) {
        const windowInfo_t &w = c.windows[i];
        const scalerParams_t &p = c.params[i];
        if (!selectedForPlacement(w))
            continue;
        uint32_t layer = w.layer, id = w.scalerId;
        for (uint32_t q = 0; q < QUADRANT_COUNT; q++) {
            uint32_t layerWindowId = id + 9 * layer + 18 * q;
            if (layerWindowId >= LAYER_WINDOW_LIMIT) {
                SC_LOG(LOG4C_PRIORITY_ERROR,
                       "%s ERROR!!!! Scaler access index out of range!!! layerWindowId %d (should be < %d), "
                       "layerWindowId %d (should be < %d), scalerId %d (should be < %d)",
                       __func__, (int)layerWindowId, LAYER_WINDOW_LIMIT, (int)layerWindowId, LAYER_WINDOW_LIMIT,
                       (int)id, SCALER_COUNT);
                continue;
            }
            uint32_t base = positionerBase(layer, id, q);
            if (!p.shown[q]) {
                scalerWrite(FSM_DEVICE, base + 8, 0);
                scalerWrite(FSM_DEVICE, base + 9, layerWindowId);
                for (uint32_t r = 0; r < 8; r++)
                    scalerWrite(FSM_DEVICE, base + r, 0);
                continue;
            }
            uint32_t mode4k = 0;
            targetGet4kMode(&mode4k);
            SC_LOG(LOG4C_PRIORITY_NOTICE, "%s: Framebuffer: 4k mode status %d", __func__, (int)mode4k);
            uint32_t hs = p.hStart[q], he = p.hEnd[q], xFb = p.xFb[q];
            if (c.rotation) {
                int ownSide = c.head < 2 ? q < 2 : q >= 2;
                uint32_t width = w.videoOutHDimension, full = w.videoOutFullHDimension;
                if (ownSide) {
                    uint32_t pad = width + 8 <= full ? 8 : (full > width ? full - width : 0);
                    hs = 32 + hs;
                    he = 32 + pad + he;
                } else if (full > width) {
                    uint32_t pad = width % 24 == 0 ? 24 : width % 24;
                    if (pad >= 1 && pad <= 7)
                        pad += 24;
                    hs = 32 + hs > pad ? 32 + hs - pad : 0;
                    he = 32 + he;
                    if (pad >= 24 && xFb > 0)
                        xFb -= 1;
                } else {
                    hs += 32;
                    he += 32;
                }
            }
            uint32_t coordinates = 8 * (layerWindowId + 512);
            scalerWrite(FSM_DEVICE, coordinates + 2, xFb);
            scalerWrite(FSM_DEVICE, coordinates + 3, p.yFb[q]);
            scalerWrite(FSM_DEVICE, base + 8, attributes(w));
            scalerWrite(FSM_DEVICE, base + 9, layerWindowId);
            scalerWrite(FSM_DEVICE, positionerBase(1 - (layer & 1), id, q) + 8, 0);
            const uint32_t area[8] = {hs, he, p.vStart[q], p.vEnd[q], hs, he, p.vStart[q] - 1, p.vEnd[q] - 1};
            for (uint32_t r = 0; r < 8; r++)
                scalerWrite(FSM_DEVICE, base + r, area[r]);
        }
    }
    if (!c.disableUnusedWindows)
        return;
    for (uint32_t id = 0; id < SCALER_COUNT; id++) {
        if (c.scalers[id].enable)
            continue;
        for (uint32_t q = 0; q < QUADRANT_COUNT; q++)
            for (uint32_t layer = 0; layer < 2; layer++)
                scalerWrite(FSM_DEVICE, positionerBase(layer, id, q) + 8, 0);
    }
}

static void configureLayerTables(void)
{
    auto &c = scalerContext;
    for (uint32_t r = 0; r < LAYER_CLEAR_COUNT; r++)
        scalerWrite(FSM_DEVICE, LAYER_CLEAR_FIRST + r, 0);
    for (uint32_t i = 0; i < c.localCount; i++) {
        const windowInfo_t &w = c.windows[i];
        if (!selectedForPlacement(w))
            continue;
        for (uint32_t q = 0; q < QUADRANT_COUNT; q++)
            if (c.params[i].shown[q])
                scalerWrite(FSM_DEVICE, LAYER_TABLE + LAYER_TABLE_QUADRANT * q + w.scalerId, w.scalerId + 512);
    }
}

static void rewriteChangedAttributes(void)
{
    auto &c = scalerContext;
    for (uint32_t i = 0; i < c.localCount; i++) {
        const windowInfo_t &w = c.windows[i];
        if (!w.attributeConfigHasChanged || !w.scalerEnable || w.scalerId >= SCALER_COUNT)
            continue;
        for (uint32_t q = 0; q < QUADRANT_COUNT; q++)
            if (c.params[i].shown[q])
                scalerWrite(FSM_DEVICE, positionerBase(w.layer, w.scalerId, q) + 8, attributes(w));
    }
}

static void strobeQuadrants(void)
{
    for (uint32_t q = 0; q < QUADRANT_COUNT; q++)
        scalerWrite(FSM_DEVICE, UPDATE_STROBE + QUADRANT_STRIDE * q, 1);
}

/* Copies the notified result; 0 when it holds more windows than the card has scalers. */
static int copyRxdataLocally(const sysResMngtResult_t &result, uint32_t head)
{
    if (result.windowTotal > MAX_LOCAL_WINDOWS) {
        SC_DEBUG("-> (copyRxdataLocally) Error: error no %d, inputs window quantity %d is bigger than the max value "
                 "supported by this system and which is %d \r\n",
                 RX_TOO_MANY_WINDOWS, (int)result.windowTotal, MAX_LOCAL_WINDOWS);
        SC_LOG(LOG4C_PRIORITY_ERROR,
               "%s Called scalerProcess, head no %d, Received window quantity value is not valid, Error no %d",
               __func__, (int)head, RX_TOO_MANY_WINDOWS);
        return 0;
    }
    auto &c = scalerContext;
    c.localCount = result.windowTotal;
    memcpy(c.windows, result.windows, sizeof c.windows);
    memcpy(c.scalers, result.scalers, sizeof c.scalers);
    c.head = head;
    c.displayHead = result.displayHead;
    c.disableUnusedWindows = result.disableUnusedWindows;
    c.windowCount = result.windowCount;
    c.rotation = result.rotation;
    c.headWidth = result.headWidth;
    c.headHeight = result.headHeight;
    c.headVancSize = result.headVancSize;
    c.headHTotal = result.headHTotal;
    const char *name = result.eventKind == SRM_KIND_INPUT_CHANGE  ? "INPUT_CHANGE"
                       : result.eventKind == SRM_KIND_FORCE_LAYOUT ? "FORCE_LAYOUT"
                       : result.eventKind == SRM_KIND_APPLY        ? "APPLY_LAYOUT"
                                                                   : "SRM_FRAME_RATE_EVENT";
    SC_LOG(LOG4C_PRIORITY_DEBUG, "%s: ***********event -> %s, head no %d [head display no %d], layout Qty %d", __func__,
           name, (int)head, (int)result.displayHead, (int)c.windowCount);
    return 1;
}

static int windowError(const windowInfo_t &w)
{
    auto &c = scalerContext;
    uint32_t W = c.headWidth, H = c.headHeight;
    if (c.rotation) {
        W = c.headHeight;
        H = c.headWidth;
    }
    if (w.inputNb >= LAYOUT_VIDEO_INPUT_COUNT)
        return RX_BAD_INPUT;
    if (w.sizeIn == 0)
        return RX_NO_WIDTH;
    if (w.vSizeIn == 0)
        return RX_NO_HEIGHT;
    if (w.scanningFormat > 1)
        return RX_BAD_SCANNING;
    if (w.deinterlacerEnable > 1)
        return RX_BAD_DEINTERLACER;
    if (w.videoOutHDimension == 0)
        return RX_NO_OUT_WIDTH;
    if (w.videoOutVDimension == 0)
        return RX_NO_OUT_HEIGHT;
    if (w.windowX > W)
        return RX_X_BEYOND;
    if (w.windowY > H)
        return RX_Y_BEYOND;
    const uint32_t crops[4] = {w.hInCropStartPercent, w.hInCropEndPercent, w.vInCropStartPercent,
                               w.vInCropEndPercent};
    for (int k = 0; k < 4; k++)
        if (crops[k] > SCALER_CROP_FULL)
            return RX_CROP + k;
    if (w.scalerId == SCALER_ID_NONE && w.scalerEnable) {
        SC_LOG(LOG4C_PRIORITY_ERROR,
               "%s ERROR!!!! scalerId is 0xff and the window is enabled! This could cause indexes to go out of "
               "bounds!!!",
               __func__);
        return RX_NO_SCALER;
    }
    if (w.hInCropStartPercent + w.hInCropEndPercent > SCALER_CROP_FULL)
        return RX_H_CROPS_OVERLAP;
    if (w.vInCropStartPercent + w.vInCropEndPercent > SCALER_CROP_FULL)
        return RX_V_CROPS_OVERLAP;
    return 0;
}

static int checkIfRxDataIsValid(uint32_t head)
{
    auto &c = scalerContext;
    int error = 0;
    for (uint32_t i = 0; i < c.localCount && !error; i++) {
        error = windowError(c.windows[i]);
        if (error)
            SC_DEBUG("-> (checkIfRxDataIsValid) Error : error=%d, winId=%d, inputNumber=%d\n", error,
                     (int)c.windows[i].winId, (int)c.windows[i].inputNb);
    }
    for (uint32_t id = 0; id < SCALER_COUNT && !error; id++) {
        const scalerInfo_t &s = c.scalers[id];
        if (!s.enable)
            continue;
        error = s.sizeInH == 0 ? RX_SCALER_NO_WIDTH
              : s.sizeInV == 0 ? RX_SCALER_NO_HEIGHT
              : s.inputNb >= LAYOUT_VIDEO_INPUT_COUNT ? RX_SCALER_BAD_INPUT : 0;
        if (error)
            SC_DEBUG("-> (checkIfRxDataIsValid) Error : error=%d, scalerId=%d, inputNumber=%d\n", error, (int)id,
                     (int)s.inputNb);
    }
    if (!error)
        return 1;
    SC_DEBUG("Received data is not valid, Error no %d\r\n", error);
    SC_LOG(LOG4C_PRIORITY_ERROR, "%s Called scalerProcess, head no %d, Received data is not valid, Error no %d",
           __func__, (int)head, error);
    return 0;
}

static void logReceivedData(void)
{
    auto &c = scalerContext;
    SC_LOG(LOG4C_PRIORITY_DEBUG, "%s ------------------ START LOGGING RECEIVED WINDOW INFO --------------------------",
           __func__);
    for (uint32_t i = 0; i < c.localCount; i++)
        SC_LOG(LOG4C_PRIORITY_DEBUG, "%s winId %d scalerId %d enable %d changed %d attributes %d", __func__,
               (int)c.windows[i].winId, (int)c.windows[i].scalerId, (int)c.windows[i].scalerEnable,
               (int)c.windows[i].windowConfigHasChanged, (int)c.windows[i].attributeConfigHasChanged);
    for (uint32_t id = 0; id < SCALER_COUNT; id++)
        SC_LOG(LOG4C_PRIORITY_DEBUG, "%s scalerId %d enable %d deinterlacer %d winId %d head %d", __func__, (int)id,
               (int)c.scalers[id].enable, (int)c.scalers[id].deinterlacer_enable, (int)c.scalers[id].winId,
               (int)c.scalers[id].head);
    SC_LOG(LOG4C_PRIORITY_DEBUG,
           "%s ------------------ END LOGGING RECEIVED WINDOW INFO ----------------------------\n", __func__);
}

static int isProgrammableKind(uint32_t kind)
{
    return kind == SRM_KIND_FORCE_LAYOUT || kind == SRM_KIND_INPUT_CHANGE || kind == SRM_KIND_APPLY ||
           kind == SRM_FRAME_RATE_EVENT;
}

/* Programs the copied result. Returns 0, or the first failed write's status. */
static int programHead(uint32_t kind)
{
    auto &c = scalerContext;
    c.writeStatus = 0;
    logReceivedData();
    for (uint32_t i = 0; i < c.localCount; i++)
        if (selectedForSetUp(c.windows[i]))
            scalerSetUp(c.windows[i], c.params[i]);
    for (uint32_t i = 0; i < c.localCount; i++)
        if (selectedForSetUp(c.windows[i]))
            programScaler(c.windows[i], c.params[i]);
    if (kind == SRM_KIND_INPUT_CHANGE) {
        configureDeinterlacers();
        configurePositioner();
        strobeQuadrants();
        return c.writeStatus;
    }
    configureOutputArbiter();
    configureDeinterlacers();
    configurePositioner();
    configureLayerTables();
    if (c.windowCount == 0) {
        strobeQuadrants();
        return c.writeStatus;
    }
    rewriteChangedAttributes();
    strobeQuadrants();
    return c.writeStatus;
}

/*
 * A notified result is programmed by the instance of its head's list, which
 * leaves its verdict in the event record. Returns 0, or the status of the
 * first failed register write (already logged).
 */
static int scalerProcess(deviceSubmoduleInstance *instance, layoutEventInfo *event, const void *data)
{
    uint32_t head = event->head;
    if (event->headEvent == FORCE_LAYOUT_EVENT) {
        SC_LOG(LOG4C_PRIORITY_DEBUG, "%s Called scalerProcess, head no %d, Received FORCE_LAYOUT_EVENT", __func__,
               (int)head);
        SC_LOG(LOG4C_PRIORITY_DEBUG, "%s Called initConfiguration", __func__);
        return initConfiguration();
    }
    if (event->headEvent == TIMER_TIMEOUT_EVENT) {
        SC_LOG(LOG4C_PRIORITY_ERROR, "%s: got a timeout event for process %s head %d!", __func__,
               instance->descriptor->name, (int)head);
        return 0;
    }
    if (event->headEvent != TARGET_SPECIFIC_EVENT)
        return 0;
    uint32_t target = event->target;
    if (!layoutIsOneEventOf(target, SYS_RES_MNGT_RESULT_EVENTS)) {
        SC_LOG(LOG4C_PRIORITY_ERROR, "%s: Big problem got event that process %s did not registered! head %d eventId 0x%x",
               __func__, instance->descriptor->name, (int)head, event->headEvent);
        return 0;
    }
    const sysResMngtResult_t *result = sysResMngtResultIn(event, data);
    if (!result || result->head >= LAYOUT_HEAD_COUNT)
        return 0;
    if (target == TARGET_SCALER_FRAME_RATE_CHANGE_EVENT)
        SC_LOG(LOG4C_PRIORITY_DEBUG,
               "%s Called scalerProcess, head no %d, Received TARGET_SCALER_FRAME_RATE_CHANGE_EVENT new frame rate "
               "value(HZ) = %f",
               __func__, (int)head, result->headHTotal == HTOTAL_5994 ? 59.94 : 50.0);
    else
        SC_LOG(LOG4C_PRIORITY_DEBUG, "%s Called scalerProcess, head no %d, Received SYS_RES_MNGT_NOTIFICATION_EVENT_HEAD_",
               __func__, (int)head);
    /* Each instance programs the head of the list it is called on. */
    if (result->head != head || !isProgrammableKind(result->eventKind))
        return 0;
    if (!copyRxdataLocally(*result, head) || !checkIfRxDataIsValid(head)) {
        event->resultStatus = SRM_NEW_DATA_REFUSED;
        return 0;
    }
    int status = programHead(result->eventKind);
    event->resultStatus = status == 0 ? SRM_NEW_DATA_PROGRAMMED : SRM_NEW_DATA_WRITE_FAILED;
    return status;
}

deviceSubmodule scalerSubmodule = {"SCALER", scalerInit, scalerProcess, FORCE_LAYOUT_EVENT, SYS_RES_MNGT_RESULT_EVENTS,
                                   nullptr};
