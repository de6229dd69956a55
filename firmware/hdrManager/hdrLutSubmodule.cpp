/*
 * The HDR 3D-LUT generator sub-module "hdr3DLutGen" of the layout manager:
 * keeps the HDR calibration of the nine video inputs and of the four managed
 * heads, follows which scaler shows which input on which head, decides per
 * 3D-LUT instance between bypass and a generated table, computes and uploads
 * the table (hdrLutDevice.cpp), writes the heads' VPID and reports what it
 * applied. Layout thread only; one state for the four instances.
 *
 * Head records are kept by managed head: a calibration addressed to (slot,
 * head id) lands on the managed head the layout manager's remapper gives for
 * that pair, so that the resolution path, the head-change path and the video
 * tables of one physical head all read the same record on either card.
 */
#include "hdrManager/hdrManagerPrivate.h"

#include "genlock/genlock.h"
#include "layoutManager/layoutManager.h"
#include "platform/platform.h"

#include <cstring>

#define HDR_LOG(priority, ...) log4c_category_log(hdr3DLutGen.category, priority, __VA_ARGS__)

enum {
    LOG_300 = 300,
    LOG_400 = 400,
    SDI_RES_1080P = 2,
    SLOT_CARD_A = 4,
    SLOT_CARD_B = 5,
    DPS_DEVICE = 3,
    FSM_DEVICE = 1,
    INPUT_NITS_DEFAULT = 1000,
    HEAD_MAX_CLL_DEFAULT = 10000,
    HEAD_MAX_FALL_DEFAULT = 400,
    HEAD_DIFFUSE_WHITE_DEFAULT = 203,
    SCALER_FORMAT_NONE = 0xFFFF,
    TIMER_VALIDATE = 1,
};

hdr3DLutGenState_t hdr3DLutGen;

/* The instance of head 0, which serves the queued maintenance work. */
static deviceSubmoduleInstance *maintenanceInstance;

static const char *nameOf(const char *const *names, uint32_t count, uint32_t value)
{
    return value < count ? names[value] : "UNKNOWN";
}

const char *hdrManagerTransferName(uint32_t value)
{
    static const char *const names[] = {"SDR_TV", "HLG", "PQ", "SLog3", "IDENTITY"};
    return nameOf(names, 5, value);
}

const char *hdrManagerGamutName(uint32_t value)
{
    static const char *const names[] = {"Rec_709_601", "Rec_2020", "S_Gamut3"};
    return nameOf(names, 3, value);
}

const char *hdrManagerModelName(uint32_t value)
{
    static const char *const names[] = {"Y_Cb_Cr", "ICtCp"};
    return nameOf(names, 2, value);
}

const char *hdrManagerRangeName(uint32_t value)
{
    static const char *const names[] = {"FULL_RANGE", "NARROW_RANGE"};
    return nameOf(names, 2, value);
}

const char *hdrManagerModeName(uint32_t value)
{
    static const char *const names[] = {"PASSTHROUGH", "AUTO", "FORCE"};
    return nameOf(names, 3, value);
}

const char *hdrManagerInstanceTypeName(uint32_t type)
{
    static const char *const names[] = {"HDR_VIDEO_INSTANCE", "HDR_HEAD_INSTANCE"};
    return nameOf(names, 2, type);
}

/*
 * The one place the VPID's frame rate is read: the rate of the last
 * GENLOCK_SYSTEM_FRAME_RATE_EVENT, else genlock's status once it is valid,
 * else the layout data's.
 */
uint16_t hdrManagerSystemFrameRate(void)
{
    if (hdr3DLutGen.systemFrameRate)
        return hdr3DLutGen.systemFrameRate;
    genlockStatus_t status = {};
    kvrGenlockSi5344GetGenlockStatus(&status);
    if (status.valid && status.systemFrameRate)
        return (uint16_t)status.systemFrameRate;
    return (uint16_t)layoutGetPrivateData()->systemFrameRate;
}

/* ---- defaults and validation ---- */

static void setDefaults(void)
{
    for (uint32_t i = 0; i < HDR_VIDEO_INPUTS; i++)
        hdr3DLutGen.inputs[i] = {0, (uint8_t)i, PASSTHROUGH, PQ, Rec_2020, Y_Cb_Cr, INPUT_NITS_DEFAULT, NARROW_RANGE,
                                 {0, 0, 0}};
    for (uint32_t h = 0; h < HDR_LOGICAL_HEADS; h++)
        hdr3DLutGen.heads[h] = {0,       (uint8_t)(h % 2),      SDR_TV, Rec_709_601, Y_Cb_Cr, NARROW_RANGE,
                                HEAD_MAX_CLL_DEFAULT, HEAD_MAX_FALL_DEFAULT, HEAD_DIFFUSE_WHITE_DEFAULT};
    for (scalerInfo_t &s : hdr3DLutGen.scalers) {
        s = scalerInfo_t();
        s.inputFormat = SCALER_FORMAT_NONE;
    }
}

int hdrIsValidInputCalibration(const hdrInputCalibration_t *r, log4c_category_t *category)
{
    const char *fn = __func__;
    int input = r->videoInput;
    if (r->inputMode > FORCE)
        return log4c_category_log(category, LOG_300, "%s Bad HDR Calibration Parameter for Video Input %d: HDR Mode %d, Mode value must be "
                                "in this range [%d,%d]",
                       fn, input, r->inputMode, 0, 3),
               0;
    if (r->transferFunction > IDENTITY)
        return log4c_category_log(category, LOG_300, "%s Bad HDR Calibration Parameter for Video Input %d: HDR inputTransferFunction %d, "
                                "inputTransferFunction value must be in this range [%d,%d]",
                       fn, input, r->transferFunction, 0, 5),
               0;
    if (r->colorGamut > S_Gamut3)
        return log4c_category_log(category, LOG_300, "%s Bad HDR Calibration Parameter for Video Input %d: HDR Color Gamut %d, Color Gamut "
                                "value must be in this range [%d,%d]",
                       fn, input, r->colorGamut, 0, 3),
               0;
    if (r->colorModel > ICtCp)
        return log4c_category_log(category, LOG_300, "%s Bad HDR Calibration Parameter for Video Input %d: HDR Color Model %d,  Color Model "
                                "value must be in this range [%d,%d]",
                       fn, input, r->colorModel, 0, 2),
               0;
    if (r->nits < 1 || r->nits > 10000)
        return log4c_category_log(category, LOG_300, "%s Bad HDR Calibration Parameter for Video Input %d: HDR input maxCll %d, input maxCll "
                                "value must be in this range [%d,%d]",
                       fn, input, r->nits, 1, 10000),
               0;
    if (r->range > NARROW_RANGE)
        return log4c_category_log(category, LOG_300, "%s Bad HDR Calibration Parameter for Video Input %d: HDR range %d, range value must "
                                "be in this range [%d,%d]",
                       fn, input, r->range, 0, 2),
               0;
    return 1;
}

int hdrIsValidHeadCalibration(const hdrHeadCalibration_t *r, log4c_category_t *category)
{
    const char *fn = __func__;
    uint8_t t = r->transferFunction;
    if (t != SDR_TV && t != HLG && t != PQ && t != IDENTITY)
        return log4c_category_log(category, LOG_300, "%s Bad Head HDR Calibration Parameter: HDR outputTransferFunction %d", fn, t), 0;
    if (r->colorModel > ICtCp)
        return log4c_category_log(category, LOG_300, "%s Bad Head HDR Calibration Parameter: HDR Color Model %d, Color Model value must be "
                                "in this range [%d,%d]",
                       fn, r->colorModel, 0, 2),
               0;
    if (r->diffuseWhite < 1 || r->diffuseWhite > 400)
        return log4c_category_log(category, LOG_300, "%s Bad Head HDR Calibration Parameter: Rx HDR diffuseWhite value %d, diffuseWhite "
                                "value must be in this range [%d,%d]",
                       fn, r->diffuseWhite, 1, 400),
               0;
    if (r->range != NARROW_RANGE)
        return log4c_category_log(category, LOG_300, "%s Bad Head HDR Calibration Parameter: Rx HDR range %d, HDR head range is a fixed "
                                "value equal to NARROW_RANGE (1)",
                       fn, r->range),
               0;
    if (r->maxCll < 1 || r->maxCll > 10000)
        return log4c_category_log(category, LOG_300, "%s Bad Head HDR Calibration Parameter: HDR maxCll %d, maxCll value must be in this "
                                "range [%d,%d]",
                       fn, r->maxCll, 1, 10000),
               0;
    if (r->maxFall < 1 || r->maxFall > 10000)
        return log4c_category_log(category, LOG_300, "%s Bad Head HDR Calibration Parameter: HDR maxFall %d, maxFall value must be in this "
                                "range [%d,%d]",
                       fn, r->maxFall, 1, 10000),
               0;
    return 1;
}

/* ---- tables ---- */

static hdr3DLutParams_t videoParams(uint32_t input, uint32_t head)
{
    const hdrInputCalibration_t &in = hdr3DLutGen.inputs[input];
    const hdrHeadCalibration_t &out = hdr3DLutGen.heads[head];
    hdr3DLutParams_t p = {};
    p.gridSize = HDR_3DLUT_GRID_SIZE;
    p.bitDepth = HDR_3DLUT_BIT_DEPTH;
    p.inputColorGamut = in.colorGamut;
    p.inputTransferFunction = in.transferFunction;
    p.inputRange = in.range;
    p.inputNits = in.nits;
    p.outputTransferFunction = out.transferFunction;
    p.inputReferenceWhite = in.transferFunction == SLog3 ? 180.0 : 100.0;
    p.outputColorGamut = out.colorGamut;
    p.outputDiffuseWhite = out.diffuseWhite;
    p.outputRange = out.range;
    p.outputMaxCll = out.maxCll;
    p.outputMaxFall = out.maxFall;
    return p;
}

/* The head table converts the head's SDR picture; its MaxCLL is also kept in the head's record. */
static hdr3DLutParams_t headParams(uint32_t head)
{
    hdrHeadCalibration_t &out = hdr3DLutGen.heads[head];
    hdr3DLutParams_t p = {};
    p.gridSize = HDR_3DLUT_GRID_SIZE;
    p.bitDepth = HDR_3DLUT_BIT_DEPTH;
    p.inputColorGamut = Rec_709_601;
    p.inputTransferFunction = SDR_TV;
    p.inputRange = FULL_RANGE;
    p.inputNits = INPUT_NITS_DEFAULT;
    p.outputTransferFunction = out.transferFunction;
    p.inputReferenceWhite = 100.0;
    p.outputColorGamut = out.colorGamut;
    p.outputDiffuseWhite = out.diffuseWhite;
    p.outputRange = FULL_RANGE;
    p.outputMaxCll = out.transferFunction == SDR_TV || out.transferFunction == PQ ? 10000 : 1000;
    p.outputMaxFall = out.maxFall;
    out.maxCll = (uint16_t)p.outputMaxCll;
    return p;
}

int createThe3DLUT(uint8_t *table)
{
    const hdrCurrentOperation_t &c = hdr3DLutGen.current;
    if (!c.params || !table)
        return 6;
    const hdr3DLutParams_t &p = *c.params;
    HDR_LOG(LOG4C_PRIORITY_DEBUG, "%s: called for 3DLut type %s, instance number %d", __func__,
            hdrManagerInstanceTypeName(c.type), (int)c.instance);
    if (p.inputColorGamut > S_Gamut3 || p.inputRange > NARROW_RANGE || p.outputRange > NARROW_RANGE) {
        HDR_LOG(LOG4C_PRIORITY_ERROR,
                "Error: createThe3DLUT function call failed because the 3DLut parameters range checking did not pass "
                "input transfer function %s, inputColorGamut %d (support only Rec_709_601(0) or Rec_2020(1) or "
                "S_Gamut3(2)), inputRange %d (support only Narrow (%d) or Wide (%d), output transfer function %s, "
                "outputColorGamut %d (support only Rec_709_601 (0)), outputRange %d (support only Narrow (%d))",
                hdrManagerTransferName((uint32_t)p.inputTransferFunction), p.inputColorGamut, p.inputRange, NARROW_RANGE,
                FULL_RANGE, hdrManagerTransferName((uint32_t)p.outputTransferFunction), p.outputColorGamut, p.outputRange,
                NARROW_RANGE);
        return 6;
    }
    HDR_LOG(LOG4C_PRIORITY_DEBUG,
            "%s: Going to create a 3DLut with these HDR parameters: input transfer function %s, inputColorGamut %s, "
            "inputColorModel %s, inputRange %s, Nits %d, output transfer function %s, outputColorGamut %s, "
            "outputColorModel %s, outputRange %s.",
            __func__, hdrManagerTransferName((uint32_t)p.inputTransferFunction), hdrManagerGamutName((uint32_t)p.inputColorGamut),
            hdrManagerModelName((uint32_t)p.inputColorModel), hdrManagerRangeName((uint32_t)p.inputRange), p.inputNits,
            hdrManagerTransferName((uint32_t)p.outputTransferFunction), hdrManagerGamutName((uint32_t)p.outputColorGamut),
            hdrManagerModelName((uint32_t)p.outputColorModel), hdrManagerRangeName((uint32_t)p.outputRange));
    static uint16_t codes[HDR_3DLUT_WORDS];
    memset(codes, 0, sizeof codes);
    memset(table, 0, HDR_3DLUT_BYTES);
    int result = 0;
    if (create3DLUT(&p, codes) != 0) {
        HDR_LOG(LOG4C_PRIORITY_ERROR,
                "Error: The function create3DLUT() returned with errors!!! The 3D Lut type %s, instance number %d may "
                "be corrupted.",
                hdrManagerInstanceTypeName(c.type), (int)c.instance);
        result = 6;
    }
    /* The FPGA takes each code in bits 5-14 of a big-endian word. */
    for (int w = 0; w < HDR_3DLUT_WORDS; w++) {
        uint16_t word = (uint16_t)((codes[w] << 5) & 0xFFFF);
        table[2 * w] = (uint8_t)(word >> 8);
        table[2 * w + 1] = (uint8_t)word;
    }
    return result;
}

/* Computes and uploads the current instance's table; logs a failed creation. */
static void createAndProgram(uint8_t *table)
{
    if (createThe3DLUT(table) == 0) {
        programHdr3DLutDataInstance();
        return;
    }
    HDR_LOG(LOG4C_PRIORITY_ERROR,
            "Error: 3DLut type %s, instance number  %d creation failed, therefore the programming of this 3DLut "
            "instance will be discarded!!!",
            hdrManagerInstanceTypeName(hdr3DLutGen.current.type), (int)hdr3DLutGen.current.instance);
}

static int inputMatchesHead(uint32_t input, uint32_t head)
{
    const hdrInputCalibration_t &in = hdr3DLutGen.inputs[input];
    const hdrHeadCalibration_t &out = hdr3DLutGen.heads[head];
    return in.transferFunction == out.transferFunction && in.colorGamut == out.colorGamut && in.range == out.range;
}

static void reportInput(uint32_t input, const hdr3DLutParams_t *params, uint32_t bypass)
{
    updateHDRAppliedParamatersFeedback(&input, nullptr, nullptr, params, bypass);
}

static void reportScaler(uint32_t scaler, const hdr3DLutParams_t *params, uint32_t bypass)
{
    uint32_t head = hdr3DLutGen.scalers[scaler].head;
    updateHDRAppliedParamatersFeedback(nullptr, &head, &scaler, params, bypass);
}

static void bypassPassthroughScaler(uint32_t scaler, uint32_t input, const char *format)
{
    HDR_LOG(LOG4C_PRIORITY_INFO, format, __func__, (int)input, (int)hdr3DLutGen.inputs[input].inputMode, (int)scaler);
    hdrManagerMakeCurrent(HDR_VIDEO_INSTANCE, scaler, hdr3DLutGen.scalers[scaler].head, input, nullptr);
    setHdr3DLutInstanceInByPassMode(1);
    reportInput(input, nullptr, 1);
    reportScaler(scaler, nullptr, 1);
}

/*
 * Regenerates the video instance of a scaler from its input and head: in
 * passthrough, or when the input already has the head's format, the instance
 * is bypassed and no table is computed. Reports what it applied.
 */
static void applyVideoInstance(uint32_t scaler, const char *passthroughFormat)
{
    const scalerInfo_t &s = hdr3DLutGen.scalers[scaler];
    uint32_t input = s.inputNb, head = s.head % HDR_LOGICAL_HEADS;
    if (hdr3DLutGen.inputs[input].inputMode == PASSTHROUGH) {
        bypassPassthroughScaler(scaler, input, passthroughFormat);
        return;
    }
    hdr3DLutParams_t params = videoParams(input, head);
    hdrManagerMakeCurrent(HDR_VIDEO_INSTANCE, scaler, head, input, &params);
    if (inputMatchesHead(input, head)) {
        HDR_LOG(LOG4C_PRIORITY_INFO,
                "%s HDR head instance parameters %d match the input 3DLUT instance %d associated to this video input "
                "number %d,  therefore setting this input HDR 3DLut instance %d in Bypass Mode",
                __func__, (int)head, (int)scaler, (int)input, (int)scaler);
        setHdr3DLutInstanceInByPassMode(1);
    } else {
        createAndProgram(hdr3DLutGen.tables[scaler]);
    }
    reportInput(input, &params, 0);
    reportScaler(scaler, &params, 0);
}

/* ---- events ---- */

static void processTargetSRMEvent(const layoutEventInfo *event, const void *data)
{
    const sysResMngtResult_t *result = sysResMngtResultIn(event, data);
    if (!result || result->head != event->head)
        return;
    uint32_t kind = result->eventKind;
    if (kind != SRM_KIND_INPUT_CHANGE && kind != SRM_KIND_FORCE_LAYOUT && kind != SRM_KIND_APPLY) {
        HDR_LOG(LOG_300, "%s processTargetSRMEvent called to process unsupported event 0x%x, head no %d", __func__,
                kind, (int)event->head);
        return;
    }
    memcpy(hdr3DLutGen.scalers, result->scalers, sizeof hdr3DLutGen.scalers);
    uint32_t count = result->windowTotal < SRM_RESULT_WINDOWS ? result->windowTotal : (uint32_t)SRM_RESULT_WINDOWS;
    HDR_LOG(LOG4C_PRIORITY_DEBUG, "%s head %d: %d windows", __func__, (int)event->head, (int)count);
    for (uint32_t i = 0; i < count; i++) {
        const windowInfo_t &w = result->windows[i];
        uint32_t s = w.scalerId;
        if (s >= HDR_VIDEO_INSTANCES || !hdr3DLutGen.scalers[s].enable) {
            HDR_LOG(LOG4C_PRIORITY_DEBUG,
                    kind == SRM_KIND_INPUT_CHANGE
                        ? "%s This video 3DLut instance number %d is Invalid or Disabled; Discarding HDR processing for "
                          "this Win Id %d associated with Scaler Id %d, Scaler Id enable %d"
                        : "%s This video 3DLut instance number %d is Invalid or Disabled; Discarding HDR processing for "
                          "this window id %d that is associated to this scaler Id %d",
                    __func__, (int)s, (int)w.winId, (int)s,
                    s < HDR_VIDEO_INSTANCES ? (int)hdr3DLutGen.scalers[s].enable : 0);
            if (s < HDR_VIDEO_INSTANCES)
                reportScaler(s, nullptr, 0);
            continue;
        }
        uint32_t input = hdr3DLutGen.scalers[s].inputNb;
        if (input >= HDR_VIDEO_INPUTS)
            continue;
        if (kind == SRM_KIND_INPUT_CHANGE) {
            if (!w.windowConfigHasChanged)
                continue;
            if (hdr3DLutGen.inputs[input].inputMode == PASSTHROUGH)
                bypassPassthroughScaler(s, input,
                                        "%s HDR: Video Input %d mode %d is PassThrough(0=passthrough). Setting HDR "
                                        "3DLut instance number %d in Bypass Mode!");
            else
                reportScaler(s, nullptr, 0);
            continue;
        }
        applyVideoInstance(s, "%s HDR: Video Input %d mode %d is PassThrough(0=Passthrough). Setting HDR 3DLut instance "
                              "number %d in Bypass Mode!");
    }
}

void processHdrInputChangeEvent(uint32_t input, uint32_t head)
{
    HDR_LOG(LOG4C_PRIORITY_DEBUG,
            "%s Called processHdrInputChangeEvent function to process input HDR calibration no %d, head no %d",
            __func__, (int)input, (int)head);
    for (uint32_t s = 0; s < HDR_VIDEO_INSTANCES; s++) {
        const scalerInfo_t &scaler = hdr3DLutGen.scalers[s];
        if (scaler.inputNb != input || scaler.enable != 1)
            continue;
        if (scaler.head != head) {
            HDR_LOG(LOG4C_PRIORITY_DEBUG,
                    "%s Received HDR head instance parameters %d does not match the head instance %d [display head id "
                    "%d] parameters associated to this input 3DLUT instance %d and this video input number %d, "
                    "therefore no change for this input HDR 3DLut instance %d",
                    __func__, (int)head, (int)scaler.head, (int)scaler.head, (int)s, (int)input, (int)s);
            continue;
        }
        applyVideoInstance(s, "%s HDR: Video Input %d mode %d is PassThrough(0=passthrough). Setting HDR 3DLut instance "
                              "number %d in Bypass Mode!");
    }
}

static void processHdrInputCalibration(const layoutEventInfo *event, const void *data)
{
    if (!data || event->eventSize < sizeof(hdrInputCalibration_t))
        return;
    hdrInputCalibration_t record;
    memcpy(&record, data, sizeof record);
    HDR_LOG(LOG4C_PRIORITY_DEBUG,
            "%s: HDR input calibration: slot %d, input %d, mode %d, xfer fn %d, gamut %d, colorModel %d, nits %d, "
            "range %d",
            __func__, record.slotId, record.videoInput, record.inputMode, record.transferFunction, record.colorGamut,
            record.colorModel, record.nits, record.range);
    if (record.videoInput >= HDR_VIDEO_INPUTS || !hdrIsValidInputCalibration(&record, hdr3DLutGen.category)) {
        HDR_LOG(LOG4C_PRIORITY_ERROR, "%s: Received HDR Input Pcode Parameters are not valid, Discarding changes!",
                __func__);
        return;
    }
    /* Bytes 1-8: the kept copy's slot byte stays 0. */
    memcpy((uint8_t *)&hdr3DLutGen.inputs[record.videoInput] + 1, (const uint8_t *)&record + 1, 8);
    for (uint32_t head = 0; head < HDR_LOGICAL_HEADS; head++)
        processHdrInputChangeEvent(record.videoInput, head);
}

static int managedHeadOf(uint8_t slot, uint8_t physicalHead)
{
    return layoutManagerManagedHeadOf(slot, physicalHead);
}

static void processHdrHeadChangeEvent(const layoutEventInfo *event, const void *data)
{
    if (!data || event->eventSize < sizeof(hdrHeadCalibration_t))
        return;
    hdrHeadCalibration_t record;
    memcpy(&record, data, sizeof record);
    if (record.slotId > SLOT_CARD_B) {
        HDR_LOG(LOG4C_PRIORITY_ERROR, "%s: Received Pcode Slot id %d Parameter is not valid, Discarding changes!",
                __func__, record.slotId);
        return;
    }
    if (record.physicalHead >= HDR_HEAD_INSTANCES) {
        HDR_LOG(LOG4C_PRIORITY_ERROR, "%s: Received HDR Pcode head %d Parameter is not valid, Discarding changes!",
                __func__, record.physicalHead);
        return;
    }
    int managed = managedHeadOf(record.slotId, record.physicalHead);
    if (managed < 0 || (uint32_t)managed != event->head)
        return;
    if (!hdrIsValidHeadCalibration(&record, hdr3DLutGen.category)) {
        HDR_LOG(LOG4C_PRIORITY_ERROR, "%s: Received HDR Head Pcode Parameters are not valid, Discarding changes!",
                __func__);
        return;
    }
    memcpy((uint8_t *)&hdr3DLutGen.heads[managed] + 1, (const uint8_t *)&record + 1, sizeof record - 1);
    uint8_t ownSlot = platformGetQvsVideoSlotId();
    if (record.slotId != ownSlot)
        return;
    if (ownSlot > SLOT_CARD_B) {
        HDR_LOG(LOG4C_PRIORITY_INFO,
                "%s Called %s function: This card slotId %d does not manage Head HDR 3DLuts, ONLY CARD A or CARD B "
                "Does!!!",
                __func__, __func__, ownSlot);
        return;
    }
    uint32_t physical = record.physicalHead;
    hdr3DLutParams_t params = headParams((uint32_t)managed);
    hdrManagerMakeCurrent(HDR_HEAD_INSTANCE, physical, (uint32_t)managed, 0, &params);
    if (hdr3DLutGen.heads[managed].transferFunction == SDR_TV) {
        HDR_LOG(LOG4C_PRIORITY_INFO,
                "%s HDR Head Transfer function is [%s], so setting HDR Head 3DLut instance number %d in Bypass Mode!",
                __func__, hdrManagerTransferName(SDR_TV), (int)physical);
        setHdr3DLutInstanceInByPassMode(1);
    } else {
        createAndProgram(hdr3DLutGen.tables[HDR_VIDEO_INSTANCES + physical]);
    }
    updateHeadVPIDInfo(physical, hdrManagerSystemFrameRate());
    for (uint32_t input = 0; input < HDR_VIDEO_INPUTS; input++)
        processHdrInputChangeEvent(input, (uint32_t)managed);
    uint32_t head = (uint32_t)managed;
    updateHDRAppliedParamatersFeedback(nullptr, &head, nullptr, nullptr, 0);
}

void processHeadResolutionEvent(uint32_t head, const headLayoutRecord *record)
{
    uint8_t ownSlot = platformGetQvsVideoSlotId();
    const char *fn = __func__;
    HDR_LOG(LOG4C_PRIORITY_DEBUG,
            "%s Called %s function to process the Head Resolution Change: slot id %d, headNumber %d, head resolution "
            "type %s, head resolution format %d and frame rate %d",
            fn, fn, ownSlot, (int)head,
            record->resolution.sdiRes == 0   ? "720p"
            : record->resolution.sdiRes == 1 ? "1080i"
            : record->resolution.sdiRes == 2 ? "1080p"
                                             : "UNKNOWN",
            (int)record->resolution.sdiDisplayMode, (int)record->resolution.frameRate);
    if (ownSlot != SLOT_CARD_A && ownSlot != SLOT_CARD_B) {
        HDR_LOG(LOG4C_PRIORITY_INFO,
                "%s Called %s function: VPID is implemented only by cards in slot A and B, Discarding the head "
                "Resolution Change for this slot Id %d",
                fn, fn, ownSlot);
        return;
    }
    if (head >= HDR_HEAD_INSTANCES) {
        HDR_LOG(LOG4C_PRIORITY_DEBUG,
                "%s Called %s function: Only cards in slot A or B implement VPID for physical heads [0:1] equal "
                "respectively to logical heads [0:1] or [2:3], Discarding the head Resolution Change for this logical "
                "head number %d",
                fn, fn, (int)head);
        return;
    }
    hdrManagerMakeCurrent(HDR_HEAD_INSTANCE, head, head, 0, nullptr);
    if (record->resolution.sdiRes != SDI_RES_1080P) {
        setHdr3DLutInstanceInByPassMode(1);
        return;
    }
    uint8_t transfer = hdr3DLutGen.heads[head].transferFunction;
    if (transfer != SDR_TV) {
        HDR_LOG(LOG4C_PRIORITY_INFO,
                "%s HDR Head Transfer function is [%s], so removing Bypass Mode! if is set for this HDR Head 3DLut "
                "instance number %d",
                fn, hdrManagerTransferName(transfer), (int)head);
        setHdr3DLutInstanceInByPassMode(0);
    } else {
        setHdr3DLutInstanceInByPassMode(1);
        HDR_LOG(LOG4C_PRIORITY_INFO,
                "%s HDR Head Transfer function is [%s], so setting HDR Head 3DLut instance number %d in Bypass Mode!",
                fn, hdrManagerTransferName(transfer), (int)head);
    }
    uint16_t rate = hdrManagerSystemFrameRate();
    if (record->resolution.frameRate != rate)
        HDR_LOG(LOG_400,
                "%s Called %s function: for the Head [%d] there is a frame rate mismatch detected between system frame "
                "rate [%d] and display frame rate [%d]",
                fn, fn, (int)head, (int)rate, (int)record->resolution.frameRate);
    updateHeadVPIDInfo(head, rate);
}

/* ---- maintenance ---- */

void hdrManager3DLutGenMaintenance(uint32_t address)
{
    switch (address) {
    case HDR_MAINTENANCE_READ_BACK_ON:
        hdr3DLutGen.backReader.store(1);
        break;
    case HDR_MAINTENANCE_READ_BACK_OFF:
        hdr3DLutGen.backReader.store(0);
        break;
    case HDR_MAINTENANCE_VALIDATE_INPUTS:
    case HDR_MAINTENANCE_VALIDATE_HEADS:
        /* The validations reset instances and read the tables: they run on the layout thread, between uploads. */
        if (!maintenanceInstance ||
            startSubModuleTimeoutEvent(&hdr3DLutGenSubmodule, 0, maintenanceInstance, address) != 0)
            HDR_LOG(LOG4C_PRIORITY_ERROR, "%s: could not queue the 3DLut validation 0x%x", __func__, address);
        break;
    default:
        break;
    }
}

/* ---- the sub-module row ---- */

static int hdr3DLutGenInit(deviceSubmoduleInstance *instance, layoutEventInfo *event, const layoutHeadList *list)
{
    (void)list;
    hdr3DLutGen.category = hdr3DLutGenSubmodule.category;
    hdr3DLutGen.dpsDevice = platformGetDpsFpgaDeviceId();
    hdr3DLutGen.fsmDevice = platformGetFsmFpgaDeviceId();
    HDR_LOG(LOG4C_PRIORITY_DEBUG, "%s Called hdr3DLutGenInit function dev id is: %d", __func__, (int)instance->deviceId);
    uint32_t head = instance->head % HDR_LOGICAL_HEADS;
    instance->privateState = &hdr3DLutGen.privateWords[head];
    hdr3DLutGen.privateWords[head] = 0;
    if (event->head != 0)
        return 0;
    maintenanceInstance = instance;
    setDefaults();
    hdr3DLutGen.current = hdrCurrentOperation_t();
    hdr3DLutGen.systemFrameRate = 0;
    initHdrControlShadowRegisters();
    initHdr3DLutWbRemapperControl();
    memset(hdr3DLutGen.dps, 0, sizeof hdr3DLutGen.dps);
    const headResolution_t &resolution = event->headRecord->resolution;
    for (auto &vpid : hdr3DLutGen.lastVpid) {
        vpid[0] = (uint8_t)resolution.sdiRes;
        vpid[1] = (uint8_t)((resolution.frameRate & 0x0F) | 0xC0);
        vpid[2] = 0x80;
        vpid[3] = 0x01;
    }
    return 0;
}

static int hdr3DLutGenProcess(deviceSubmoduleInstance *instance, layoutEventInfo *event, const void *data)
{
    uint32_t *events = &hdr3DLutGen.privateWords[instance->head % HDR_LOGICAL_HEADS];
    uint32_t head = event->head;
    const char *name = instance->descriptor->name;
    *events |= event->headEvent;
    switch (event->headEvent) {
    case HEAD_RESOLUTION_EVENT:
        break;
    case HEAD_APPLY_EVENT:
        if (*events & HEAD_RESOLUTION_EVENT) {
            HDR_LOG(LOG4C_PRIORITY_DEBUG,
                    "%s: Called hdr3DLutGenProcess function HEAD_APPLY_EVENT with HEAD_RESOLUTION_EVENT head %d",
                    __func__, (int)head);
            processHeadResolutionEvent(head, event->headRecord);
            *events = 0;
        }
        break;
    case FORCE_LAYOUT_EVENT:
        HDR_LOG(LOG4C_PRIORITY_DEBUG, "%s: Called hdr3DLutGenProcess function, head no %d, Received FORCE_LAYOUT_EVENT",
                __func__, (int)head);
        HDR_LOG(LOG4C_PRIORITY_DEBUG, "%s Called processForceLayoutEvent function to process head no %d", __func__,
                (int)head);
        break;
    case TIMER_TIMEOUT_EVENT: {
        uint32_t request = data ? *(const uint32_t *)data : 0;
        if (request == HDR_MAINTENANCE_VALIDATE_INPUTS)
            validateHdrInputs3DLutDataIntegrity();
        else if (request == HDR_MAINTENANCE_VALIDATE_HEADS)
            validateHdrHeads3DLutDataIntegrity();
        break;
    }
    case TARGET_SPECIFIC_EVENT:
        if (layoutIsOneEventOf(event->target, SYS_RES_MNGT_NOTIFICATION_EVENTS)) {
            processTargetSRMEvent(event, data);
        } else if (event->target == HDR_INPUT_CHANGE_EVENT) {
            if (instance->head == 0)
                processHdrInputCalibration(event, data);
        } else if (event->target == HDR_HEAD_CHANGE_EVENT) {
            processHdrHeadChangeEvent(event, data);
        } else if (event->target == GENLOCK_SYSTEM_FRAME_RATE_EVENT) {
            uint16_t rate = 0;
            if (data && event->eventSize >= sizeof rate)
                memcpy(&rate, data, sizeof rate);
            if (rate)
                hdr3DLutGen.systemFrameRate = rate;
            HDR_LOG(LOG4C_PRIORITY_INFO, "%s: : Head %d GENLOCK_SYSTEM_FRAME_RATE_EVENT frame rate: %d)", __func__,
                    (int)head, (int)hdrManagerSystemFrameRate());
            processHeadResolutionEvent(head, event->headRecord);
        } else {
            HDR_LOG(LOG4C_PRIORITY_ERROR,
                    "Big problem got event that process %s did not registered! head %d target eventId 0x%x", name,
                    (int)head, event->target);
        }
        break;
    default:
        HDR_LOG(LOG4C_PRIORITY_ERROR,
                "Big problem got event that process %s did not registered! function %s eventId 0x%x, head id %d, target "
                "eventId 0x%x",
                name, __func__, event->headEvent, (int)head, event->target);
        break;
    }
    return 0;
}

deviceSubmodule hdr3DLutGenSubmodule = {
    "hdr3DLutGen", hdr3DLutGenInit, hdr3DLutGenProcess, HEAD_LAYOUT_EVENTS,
    HDR_HEAD_CHANGE_EVENT | HDR_INPUT_CHANGE_EVENT | GENLOCK_SYSTEM_FRAME_RATE_EVENT | SYS_RES_MNGT_NOTIFICATION_EVENTS,
    nullptr};

void hdrManagerRegister(void)
{
    layoutManagerRegisterSubmodule(LAYOUT_ROW_HDR_3DLUT, &hdr3DLutGenSubmodule);
}
