/*
 * The device side of the 3D-LUT generator: the eleven 3D-LUT instances of
 * DPS-FPGA (nine video instances, one behind each scaler) and FSM-FPGA (one
 * per physical head), their colour-matrix stages, the table upload through a
 * keyhole register, bypass, enable and reset, the heads' payload identifier
 * (VPID), the reports of the applied settings to DPS-FPGA and to the shared
 * memory, and the read-back logs. Everything here runs on the layout thread
 * and works on the current operation of hdr3DLutGen; the maintenance hook
 * only sets a flag or queues a validation for that thread.
 */
#include "hdrManager/hdrManagerPrivate.h"

#include "deviceManager/deviceManager.h"
#include "hal/hal.h"
#include "platform/platform.h"
#include "qvsInterface/qvsInterface.h"

#include <cstdio>
#include <cstring>

#define HDR_LOG(priority, ...) log4c_category_log(hdr3DLutGen.category, priority, __VA_ARGS__)

enum {
    LOG_300 = 300, /* the numeric priorities the logs use besides the named ones */
    LOG_500 = 500,
    LOG_700 = 700,
    LOG_800 = 800,
    WRITE_PRIORITY = 2,
    BLOCK_PRIORITY = 0,
    READ_PRIORITY = 0,
    DEBUG_PATH_MAX = 64,
    VALIDATION_PATH_MAX = 128,
};

/* ---- constant blocks: matrices signed Q4.12, offsets signed 10-bit code units ---- */

static const uint16_t IDENTITY_MATRIX[9] = {0x1000, 0, 0, 0, 0x1000, 0, 0, 0, 0x1000};
static const uint16_t INPUT_709_FULL[9] = {0x1000, 0xFD01, 0xF883, 0x1000, 0x1DB1, 0, 0x1000, 0, 0x1932};
static const uint16_t INPUT_709_NARROW[9] = {0x1000, 0xFD12, 0xF8AD, 0x1000, 0x1D07, 0, 0x1000, 0, 0x18A2};
static const uint16_t INPUT_2020_FULL[9] = {0x1000, 0xFD5E, 0xF6DC, 0x1000, 0x1E1A, 0, 0x1000, 0, 0x1798};
static const uint16_t INPUT_2020_NARROW[9] = {0x1000, 0xFD6D, 0xF710, 0x1000, 0x1D6E, 0, 0x1000, 0, 0x1711};
static const uint16_t INPUT_POST_OFFSETS_NARROW[3] = {0x0040, 0x0040, 0x0040};
static const uint16_t INPUT_PRE_OFFSETS_FULL[3] = {0x0000, 0xFE00, 0xFE00};
static const uint16_t INPUT_PRE_OFFSETS_NARROW[3] = {0xFFC0, 0xFE00, 0xFE00};
static const uint16_t OUTPUT_709[9] = {0x0B71, 0x0128, 0x0367, 0xF9B1, 0x082F, 0xFE20, 0xF891, 0xFF40, 0x082F};
static const uint16_t OUTPUT_2020[9] = {0x0AD9, 0x00F3, 0x0434, 0xFA1A, 0x082F, 0xFDB7, 0xF87A, 0xFF58, 0x082F};
static const uint16_t OUTPUT_OFFSETS[3] = {0x0000, 0x0200, 0x0200};
static const uint16_t ZERO_OFFSETS[3] = {0, 0, 0};
static const uint16_t CLIP_LIMITS[4] = {0x03FB, 0x0004, 0x03FB, 0x0004};

struct hdrMatrixSet_t {
    const uint16_t *inputMatrix, *inputPostOffsets, *outputMatrix, *outputOffsets, *inputPreOffsets;
};

static void putBe16(uint8_t *at, uint16_t value)
{
    at[0] = (uint8_t)(value >> 8);
    at[1] = (uint8_t)value;
}

static uint16_t getBe16(const uint8_t *at)
{
    return (uint16_t)((at[0] << 8) | at[1]);
}

/* ---- register access ---- */

uint32_t hdrWriteRegister(uint32_t device, uint32_t reg, uint16_t value)
{
    uint8_t bytes[2];
    putBe16(bytes, value);
    uint32_t status = deviceManagerAccess(DEVICE_WRITE, device, reg, WRITE_PRIORITY, 1, bytes);
    if (status != 0)
        HDR_LOG(LOG4C_PRIORITY_ERROR, "%s: write of device %d register 0x%x = 0x%04x failed, status %u", __func__,
                (int)device, reg, value, status);
    return status;
}

uint16_t hdrReadRegister(uint32_t device, uint32_t reg)
{
    uint8_t bytes[2] = {0, 0};
    uint32_t status = deviceManagerAccess(DEVICE_READ, device, reg, READ_PRIORITY, 1, bytes);
    if (status != 0)
        HDR_LOG(LOG4C_PRIORITY_ERROR, "%s: read of device %d register 0x%x failed, status %u", __func__, (int)device,
                reg, status);
    return getBe16(bytes);
}

uint32_t write2fpga2Video3DLutRemapperKeyholeSection(uint32_t device, uint32_t reg, uint32_t words,
                                                      const uint8_t *buffer)
{
    if (!buffer) {
        HDR_LOG(LOG4C_PRIORITY_ERROR, "%s Called: Received Bad Parameter: bufferPtr argument is NULL", __func__);
        return DEVICE_ACCESS_BAD_ARGUMENT;
    }
    uint32_t status = deviceManagerAccess(DEVICE_KEYHOLE_WRITE, device, reg, BLOCK_PRIORITY, words, (void *)buffer);
    if (status != 0)
        HDR_LOG(LOG4C_PRIORITY_ERROR, "%s: keyhole write of %u words to device %d register 0x%x failed, status %u",
                __func__, words, (int)device, reg, status);
    return status;
}

/* One constant block into the current instance's register block (host words sent big-endian). */
static void writeBlock(uint32_t device, uint32_t reg, const uint16_t *words, uint32_t count)
{
    uint8_t bytes[2 * 9];
    for (uint32_t i = 0; i < count; i++)
        putBe16(bytes + 2 * i, words[i]);
    uint32_t status = deviceManagerAccess(DEVICE_WRITE, device, reg, BLOCK_PRIORITY, count, bytes);
    if (status != 0)
        HDR_LOG(LOG4C_PRIORITY_ERROR, "%s: block write of device %d register 0x%x failed, status %u", __func__,
                (int)device, reg, status);
}

/* ---- the current instance ---- */

void hdrManagerMakeCurrent(uint32_t type, uint32_t instance, uint32_t head, uint32_t input, const hdr3DLutParams_t *params)
{
    hdr3DLutGen.current = {type, instance, head, input, params};
}

static int currentIsValid(void)
{
    const hdrCurrentOperation_t &c = hdr3DLutGen.current;
    return (c.type == HDR_VIDEO_INSTANCE && c.instance < HDR_VIDEO_INSTANCES) ||
           (c.type == HDR_HEAD_INSTANCE && c.instance < HDR_HEAD_INSTANCES);
}

static uint32_t currentDevice(void)
{
    return hdr3DLutGen.current.type == HDR_VIDEO_INSTANCE ? hdr3DLutGen.dpsDevice : hdr3DLutGen.fsmDevice;
}

static uint32_t currentBlock(void)
{
    const hdrCurrentOperation_t &c = hdr3DLutGen.current;
    return (c.type == HDR_VIDEO_INSTANCE ? HDR_DPS_BLOCK : HDR_FSM_BLOCK) + HDR_BLOCK_STRIDE * c.instance;
}

static uint8_t *currentTable(void)
{
    const hdrCurrentOperation_t &c = hdr3DLutGen.current;
    return hdr3DLutGen.tables[c.type == HDR_VIDEO_INSTANCE ? c.instance : HDR_VIDEO_INSTANCES + c.instance];
}

/* ---- start-up ---- */

void initHdrControlShadowRegisters(void)
{
    hdr3DLutGen.dpsBypass = hdrReadRegister(hdr3DLutGen.dpsDevice, HDR_DPS_BYPASS);
    HDR_LOG(LOG4C_PRIORITY_INFO, "%s: HDR DPS Control Bypass Register Value 0x%x", __func__, hdr3DLutGen.dpsBypass);
    hdr3DLutGen.dpsEnable = hdrReadRegister(hdr3DLutGen.dpsDevice, HDR_DPS_ENABLE);
    HDR_LOG(LOG4C_PRIORITY_INFO, "%s: HDR DPS Control Enable Register Value 0x%x", __func__, hdr3DLutGen.dpsEnable);
    hdr3DLutGen.fsmBypass = hdrReadRegister(hdr3DLutGen.fsmDevice, HDR_FSM_BYPASS);
    HDR_LOG(LOG4C_PRIORITY_INFO, "%s: HDR FSM Control Bypass Register Value 0x%x", __func__, hdr3DLutGen.fsmBypass);
    hdr3DLutGen.fsmEnable = hdrReadRegister(hdr3DLutGen.fsmDevice, HDR_FSM_ENABLE);
    HDR_LOG(LOG4C_PRIORITY_INFO, "%s: HDR FSM Control Enable Register Value 0x%x", __func__, hdr3DLutGen.fsmEnable);
}

void initHdr3DLutWbRemapperControl(void)
{
    uint32_t dps = hdr3DLutGen.dpsDevice, fsm = hdr3DLutGen.fsmDevice;
    for (uint32_t v = 0; v < HDR_VIDEO_INSTANCES; v++) {
        hdrWriteRegister(dps, HDR_DPS_REMAPPER + 3 * v, (uint16_t)(0x404A + 0x80 * v));
        hdrWriteRegister(dps, HDR_DPS_REMAPPER + 1 + 3 * v, 0);
        hdrWriteRegister(dps, HDR_DPS_REMAPPER + 2 + 3 * v, 3);
        hdrWriteRegister(dps, HDR_DPS_BLOCK + HDR_BLOCK_REMAPPER_CONTROL + HDR_BLOCK_STRIDE * v, 1);
    }
    static const struct {
        uint32_t reg;
        uint16_t value;
    } fsmWrites[] = {
        {HDR_FSM_REMAPPER, 0x014A}, {HDR_FSM_REMAPPER + 1, 3}, {HDR_FSM_REMAPPER + 2, 3},
        {HDR_FSM_BLOCK + HDR_BLOCK_REMAPPER_CONTROL, 1}, {HDR_FSM_REMAPPER + 3, 0x01CA},
        {HDR_FSM_REMAPPER + 4, 3}, {HDR_FSM_REMAPPER + 5, 3},
        {HDR_FSM_BLOCK + HDR_BLOCK_STRIDE + HDR_BLOCK_REMAPPER_CONTROL, 1},
    };
    for (const auto &w : fsmWrites)
        hdrWriteRegister(fsm, w.reg, w.value);
}

/* ---- bypass, enable, reset ---- */

/* Sets or clears the current instance's bit of a control register through its shadow. */
static void changeControlBit(uint16_t *shadow, uint32_t reg, int on, const char *already)
{
    uint16_t bit = (uint16_t)(1u << hdr3DLutGen.current.instance);
    uint16_t next = on ? (uint16_t)(*shadow | bit) : (uint16_t)(*shadow & ~bit);
    if (next == *shadow) {
        HDR_LOG(LOG_800, already, __func__, hdrManagerInstanceTypeName(hdr3DLutGen.current.type),
                (int)hdr3DLutGen.current.instance, on);
        return;
    }
    *shadow = next;
    hdrWriteRegister(currentDevice(), reg, next);
}

void setHdr3DLutInstanceByPassFilter(int on)
{
    if (!currentIsValid()) {
        HDR_LOG(LOG_300, "%s: Rx bad HDR instance number parameter %d, HDR instance type %s, Dismissing bypass action!!!",
                __func__, (int)hdr3DLutGen.current.instance, hdrManagerInstanceTypeName(hdr3DLutGen.current.type));
        return;
    }
    int video = hdr3DLutGen.current.type == HDR_VIDEO_INSTANCE;
    changeControlBit(video ? &hdr3DLutGen.dpsBypass : &hdr3DLutGen.fsmBypass, video ? HDR_DPS_BYPASS : HDR_FSM_BYPASS,
                     on,
                     on ? "%s: bypass filter of this HDR 3DLut instance type %s, number %d is already activated so no "
                          "action taken!%d"
                        : "%s: bypass filter of this HDR 3DLut instance type %s, number %d is already deactivated so no "
                          "action taken!");
}

void enableHdr3DLutInstance(int on)
{
    if (!currentIsValid()) {
        HDR_LOG(LOG_300, "%s: Rx bad HDR instance number parameter %d, instance type %s, Dismissing enable action!!!",
                __func__, (int)hdr3DLutGen.current.instance, hdrManagerInstanceTypeName(hdr3DLutGen.current.type));
        return;
    }
    int video = hdr3DLutGen.current.type == HDR_VIDEO_INSTANCE;
    changeControlBit(video ? &hdr3DLutGen.dpsEnable : &hdr3DLutGen.fsmEnable, video ? HDR_DPS_ENABLE : HDR_FSM_ENABLE,
                     on,
                     on ? "%s: HDR 3DLut instance type %s, number %d is already enabled so no action taken!"
                        : "%s: HDR 3DLut instance type %s, number %d is already disabled so no action taken!");
}

void setHdr3DLutInstanceInByPassMode(int on)
{
    setHdr3DLutInstanceByPassFilter(on);
    enableHdr3DLutInstance(!on);
}

void resetHdr3DLutInstance(uint32_t type)
{
    if (!currentIsValid() || type != hdr3DLutGen.current.type) {
        HDR_LOG(LOG_300, "%s: Rx bad HDR instance number parameter %d, instance type %s, Dismissing reset action!!!",
                __func__, (int)hdr3DLutGen.current.instance, hdrManagerInstanceTypeName(type));
        return;
    }
    for (uint16_t level : {0, 1, 0})
        hdrWriteRegister(currentDevice(), currentBlock() + HDR_BLOCK_RESET, level);
}

/* ---- matrices and upload ---- */

/*
 * Chooses the matrix stages by the source of the instance: a video instance
 * by its input's transfer, gamut and range, a head instance by the head's
 * transfer with BT.709 and full range. The output matrix follows the source's
 * gamut too, not the instance's output: that is what the FPGA pipeline has
 * always been given, so it stays. 0, or -1 (logged, the instance bypassed).
 */
static int setMatrixCoefs(hdrMatrixSet_t *set)
{
    const hdrCurrentOperation_t &c = hdr3DLutGen.current;
    const hdrHeadCalibration_t &head = hdr3DLutGen.heads[c.head % HDR_LOGICAL_HEADS];
    uint32_t transfer, gamut, narrow;
    if (c.type == HDR_VIDEO_INSTANCE) {
        const hdrInputCalibration_t &input = hdr3DLutGen.inputs[c.input % HDR_VIDEO_INPUTS];
        transfer = input.transferFunction;
        gamut = input.colorGamut;
        narrow = input.range == NARROW_RANGE;
    } else {
        transfer = head.transferFunction;
        gamut = Rec_709_601;
        narrow = 0;
    }
    if (transfer == IDENTITY) {
        HDR_LOG(LOG4C_PRIORITY_DEBUG, "Programming 3DLut Matrices of instance %d with parameters based on IDENTITY "
                                      "Transfer Function",
                (int)c.instance);
        *set = {IDENTITY_MATRIX, ZERO_OFFSETS, IDENTITY_MATRIX, ZERO_OFFSETS, ZERO_OFFSETS};
        return 0;
    }
    if (gamut > S_Gamut3 || head.range > NARROW_RANGE) {
        HDR_LOG(LOG4C_PRIORITY_ERROR,
                "%s: Error. The HDR parameters passed for 3DLut %d are invalid.inputColorGamut %d (support only 709(0) or "
                "2020(1), or S_Gamut3(2)); inputRange %d (support only Narrow or Wide);outputColorGamut 709 (support "
                "only 709, or Rec_2020(1));outputRange %d (support only Narrow);. Discarding changes!!!",
                __func__, (int)c.instance, (int)gamut, (int)narrow, (int)head.range);
        HDR_LOG(LOG4C_PRIORITY_ERROR,
                "%s: Error: Video Input %d, 3DLut instance %d forced in byPass mode because setMatrix() failed to "
                "program the 3DLut Coefs. Setting HDR 3DLut instance number %d in Bypass Mode!",
                __func__, (int)c.input, (int)c.instance, (int)c.instance);
        setHdr3DLutInstanceInByPassMode(1);
        uint32_t input = c.input, scalerHead = c.head, scaler = c.instance;
        if (c.type == HDR_VIDEO_INSTANCE) {
            updateHDRAppliedParamatersFeedback(&input, nullptr, nullptr, nullptr, 1);
            updateHDRAppliedParamatersFeedback(nullptr, &scalerHead, &scaler, nullptr, 1);
        }
        return -1;
    }
    int bt709 = gamut == Rec_709_601;
    const uint16_t *inputMatrix = bt709 ? (narrow ? INPUT_709_NARROW : INPUT_709_FULL)
                                        : (narrow ? INPUT_2020_NARROW : INPUT_2020_FULL);
    *set = {inputMatrix, narrow ? INPUT_POST_OFFSETS_NARROW : ZERO_OFFSETS, bt709 ? OUTPUT_709 : OUTPUT_2020,
            OUTPUT_OFFSETS, narrow ? INPUT_PRE_OFFSETS_NARROW : INPUT_PRE_OFFSETS_FULL};
    return 0;
}

static int writeTheMatrixABCDECoefsToTheHDRCore(const hdrMatrixSet_t &set)
{
    if (!currentIsValid()) {
        HDR_LOG(LOG4C_PRIORITY_ERROR,
                "%s: Error: Bad Parameters!!! HDR instance type %s, instance number %d is greater than %d or Null ptr "
                "passed.",
                __func__, hdrManagerInstanceTypeName(hdr3DLutGen.current.type), (int)hdr3DLutGen.current.instance,
                hdr3DLutGen.current.type == HDR_VIDEO_INSTANCE ? HDR_VIDEO_INSTANCES - 1 : HDR_HEAD_INSTANCES - 1);
        return -1;
    }
    uint32_t device = currentDevice(), block = currentBlock();
    writeBlock(device, block + HDR_BLOCK_INPUT_MATRIX, set.inputMatrix, 9);
    writeBlock(device, block + HDR_BLOCK_INPUT_POST_OFFSETS, set.inputPostOffsets, 3);
    writeBlock(device, block + HDR_BLOCK_OUTPUT_MATRIX, set.outputMatrix, 9);
    writeBlock(device, block + HDR_BLOCK_OUTPUT_OFFSETS, set.outputOffsets, 3);
    writeBlock(device, block + HDR_BLOCK_INPUT_PRE_OFFSETS, set.inputPreOffsets, 3);
    writeBlock(device, block + HDR_BLOCK_INPUT_CLIP, CLIP_LIMITS, 4);
    writeBlock(device, block + HDR_BLOCK_OUTPUT_CLIP, CLIP_LIMITS, 4);
    return 0;
}

/* Reads the next entry of the current instance's read-back port: three host words. */
static void readBackEntry(uint16_t words[3])
{
    uint8_t bytes[6] = {};
    uint32_t status = deviceManagerAccess(DEVICE_READ, currentDevice(), currentBlock() + HDR_BLOCK_READ_BACK,
                                          READ_PRIORITY, 3, bytes);
    if (status != 0)
        HDR_LOG(LOG4C_PRIORITY_ERROR, "%s: read-back of instance %d failed, status %u", __func__,
                (int)hdr3DLutGen.current.instance, status);
    for (int k = 0; k < 3; k++)
        words[k] = getBe16(bytes + 2 * k);
}

static void writeReadBackDebugLog(void)
{
    const hdrCurrentOperation_t &c = hdr3DLutGen.current;
    char path[DEBUG_PATH_MAX];
    if (c.type == HDR_VIDEO_INSTANCE)
        snprintf(path, sizeof path, "/usr/local/q7/logs/back_read_hdr_video_3dlut_debug.log.%d", (int)c.instance);
    else
        snprintf(path, sizeof path, "/usr/local/q7/logs/back_read_hdr_head_3dlut_debug.log.%d", (int)c.head);
    FILE *file = fopen(halPath(path).c_str(), "w");
    if (!file) {
        HDR_LOG(LOG4C_PRIORITY_ERROR,
                "Error: could not open file %s for 3DLut read back testing purpose for this 3DLut instance %d\n", path,
                (int)c.instance);
        return;
    }
    hdr3DLutParams_t none = {};
    const hdr3DLutParams_t &p = c.params ? *c.params : none;
    const hdrInputCalibration_t &input = hdr3DLutGen.inputs[c.input % HDR_VIDEO_INPUTS];
    fprintf(file,
            "TITLE Custom HDR_INPUT_3DLUT: LUT_ARRAY_TAP [%dx%dx%d], Mode [%s], Transfer Function[%s], Color "
            "Gamut[%s], Color Model[%s], MaxCll Nits[%d], Range[%s]\n",
            HDR_3DLUT_GRID_SIZE, HDR_3DLUT_GRID_SIZE, HDR_3DLUT_GRID_SIZE, hdrManagerModeName(input.inputMode),
            hdrManagerTransferName((uint32_t)p.inputTransferFunction), hdrManagerGamutName((uint32_t)p.inputColorGamut),
            hdrManagerModelName((uint32_t)p.inputColorModel), p.inputNits, hdrManagerRangeName((uint32_t)p.inputRange));
    fprintf(file,
            "TITLE Custom HDR_HEAD_3DLUT: LUT_ARRAY_TAP [%dx%dx%d], Transfer Function [%s], Color Gamut [%s], Color "
            "Model [%s], Diffuse White Nits [%d], Range [%s], MaxCll Nits [%d], MaxFall Nits [%d]\n",
            HDR_3DLUT_GRID_SIZE, HDR_3DLUT_GRID_SIZE, HDR_3DLUT_GRID_SIZE,
            hdrManagerTransferName((uint32_t)p.outputTransferFunction), hdrManagerGamutName((uint32_t)p.outputColorGamut),
            hdrManagerModelName((uint32_t)p.outputColorModel), p.outputDiffuseWhite, hdrManagerRangeName((uint32_t)p.outputRange),
            p.outputMaxCll, p.outputMaxFall);
    fprintf(file, "HDR_3D_LUT_SIZE %d\n", HDR_3DLUT_ENTRIES);
    fprintf(file, "#Created by Tarnwick\n");
    resetHdr3DLutInstance(c.type);
    for (int e = 0; e < HDR_3DLUT_ENTRIES; e++) {
        uint16_t words[3];
        readBackEntry(words);
        for (int k = 0; k < 3; k++)
            putBe16(hdr3DLutGen.readBack + 6 * e + 2 * k, words[k]);
        fprintf(file, "%07f %07f %07f\n", words[0] / 32768.0, words[1] / 32768.0, words[2] / 32768.0);
    }
    fclose(file);
    int same = memcmp(hdr3DLutGen.readBack, currentTable(), HDR_3DLUT_BYTES) == 0;
    HDR_LOG(same ? LOG_500 : LOG_300,
            same ? "%s read back 3DLut instance Type %s, instance no %d succeeded"
                 : "%s read back 3DLut instance Type %s, instance no %d failed",
            __func__, hdrManagerInstanceTypeName(c.type), (int)c.instance);
}

void programHdr3DLutDataInstance(void)
{
    const hdrCurrentOperation_t &c = hdr3DLutGen.current;
    if (c.type == HDR_VIDEO_INSTANCE)
        HDR_LOG(LOG_700, "%s: Going to program the HDR 3DLut instance type %s , instance number %d (from video input "
                         "%d)!!!!",
                __func__, hdrManagerInstanceTypeName(c.type), (int)c.instance, (int)c.input);
    else
        HDR_LOG(LOG_700, "%s: Going to program the HDR 3DLut instance type %s instance number %d (from headNumber "
                         "%d)!!!!",
                __func__, hdrManagerInstanceTypeName(c.type), (int)c.instance, (int)c.head);
    hdrMatrixSet_t set;
    if (setMatrixCoefs(&set) != 0 || writeTheMatrixABCDECoefsToTheHDRCore(set) != 0)
        return;
    setHdr3DLutInstanceByPassFilter(1);
    enableHdr3DLutInstance(1);
    resetHdr3DLutInstance(c.type);
    uint32_t device = currentDevice();
    uint32_t keyhole = (c.type == HDR_VIDEO_INSTANCE ? HDR_DPS_KEYHOLE : HDR_FSM_KEYHOLE) + c.instance;
    const uint8_t *table = currentTable();
    uint32_t sent = 0;
    for (int chunk = 0; chunk < HDR_UPLOAD_CHUNKS; chunk++) {
        uint32_t words = chunk < HDR_UPLOAD_CHUNKS - 1 ? (uint32_t)HDR_UPLOAD_CHUNK_WORDS : HDR_3DLUT_WORDS - sent;
        write2fpga2Video3DLutRemapperKeyholeSection(device, keyhole, words, table + 2 * sent);
        sent += words;
    }
    if (hdr3DLutGen.backReader.load())
        writeReadBackDebugLog();
    setHdr3DLutInstanceByPassFilter(0);
}

/* ---- VPID ---- */

void updateHeadVPIDInfo(uint32_t physicalHead, uint16_t systemFrameRate)
{
    if (physicalHead >= HDR_HEAD_INSTANCES) {
        HDR_LOG(LOG4C_PRIORITY_ERROR,
                "%s Called %s function called with Bad Parameter: VPID Instance Number %d, VPID Instance Number must be "
                "in this range [0:%d]",
                __func__, __func__, (int)physicalHead, HDR_HEAD_INSTANCES - 1);
        return;
    }
    const hdrHeadCalibration_t &head = hdr3DLutGen.heads[hdr3DLutGen.current.head % HDR_LOGICAL_HEADS];
    uint8_t pictureRate = systemFrameRate == 5994 ? 0x0A : 0x09;
    uint8_t vpid[4] = {0x89, (uint8_t)(0xC0 | ((head.transferFunction & 3) << 4) | pictureRate),
                       (uint8_t)(0x80 | (head.colorGamut != 0 ? 0x20 : 0)), 0x01};
    uint16_t reg0 = (uint16_t)(vpid[0] | vpid[1] << 8), reg1 = (uint16_t)(vpid[2] | vpid[3] << 8);
    hdrWriteRegister(hdr3DLutGen.fsmDevice, HDR_FSM_VPID + 2 * physicalHead, reg0);
    HDR_LOG(LOG4C_PRIORITY_DEBUG,
            "%s: VPID register #0 of head %d = 0x%04x: payload_id 0x%02x, picture_rate 0x%x, transfer_type %d, "
            "image_scan_format %d, transport_scan_format 1",
            __func__, (int)physicalHead, reg0, vpid[0], vpid[1] & 0x0F, (vpid[1] >> 4) & 3, (vpid[1] >> 6) & 1);
    hdrWriteRegister(hdr3DLutGen.fsmDevice, HDR_FSM_VPID + 1 + 2 * physicalHead, reg1);
    HDR_LOG(LOG4C_PRIORITY_DEBUG,
            "%s: VPID register #1 of head %d = 0x%04x: sampling_structure %d, colorimetry %d, h_pixel_size %d, "
            "sample_quantization %d, aspect_ratio %d, color model %d",
            __func__, (int)physicalHead, reg1, vpid[2] & 0x0F, (vpid[2] >> 4) & 3, (vpid[2] >> 6) & 1, vpid[3] & 3,
            (vpid[2] >> 7) & 1, (vpid[3] >> 4) & 1);
    uint8_t *last = hdr3DLutGen.lastVpid[physicalHead];
    if (memcmp(last, vpid, 4) != 0)
        HDR_LOG(LOG_500,
                "%s: HDR: VPID instance number %d of head %d changed! VPID bytes Current 0x%02x 0x%02x 0x%02x 0x%02x, "
                "Previous 0x%02x 0x%02x 0x%02x 0x%02x.",
                __func__, (int)physicalHead, (int)hdr3DLutGen.current.head, vpid[0], vpid[1], vpid[2], vpid[3], last[0],
                last[1], last[2], last[3]);
    memcpy(last, vpid, 4);
}

/* ---- feedback ---- */

/* Keeps `value` to `width` bits at `shift`: a field never spills into its neighbours. */
static uint16_t field(uint32_t value, uint32_t width, uint32_t shift)
{
    return (uint16_t)((value & ((1u << width) - 1)) << shift);
}

static void writeShmWord(uint32_t byteOffset, uint16_t value)
{
    uint8_t bytes[2];
    putBe16(bytes, value);
    qvsInterfaceWriteSharedMem((CARD_STATUS_BLOCK_SIZE * platformGetCardSlotIndex() + byteOffset) / 2, bytes, 1);
}

static void updateHDRInputSettingInDPS(uint32_t input, const hdr3DLutParams_t *params, uint32_t bypass)
{
    if (input >= HDR_VIDEO_INPUTS) {
        HDR_LOG(LOG4C_PRIORITY_ERROR, "%s: Input %d is out of range! FPGA supports %d max", __func__, (int)input,
                HDR_VIDEO_INPUTS);
        return;
    }
    hdrDpsSetting_t &dps = hdr3DLutGen.dps[input];
    if (bypass) {
        dps.settings &= (uint16_t)~field(3, 2, 1);
    } else if (params) {
        const uint16_t fields = (uint16_t)(field(3, 2, 1) | field(3, 2, 4) | field(3, 2, 8) | field(3, 2, 11) |
                                           field(1, 1, 14));
        dps.settings = (uint16_t)((dps.settings & ~fields) | field(hdr3DLutGen.inputs[input].inputMode, 2, 1) |
                                  field((uint32_t)params->inputTransferFunction, 2, 4) |
                                  field((uint32_t)params->inputColorGamut, 2, 8) |
                                  field((uint32_t)params->inputColorModel, 2, 11) |
                                  field((uint32_t)params->inputRange, 1, 14));
        dps.nits = (uint16_t)params->inputNits;
    } else {
        HDR_LOG(LOG4C_PRIORITY_ERROR, "%s: Bad Arguments! (inputArgs Ptr %d, videoInputNumber %d) ", __func__, 0,
                (int)input);
        return;
    }
    /* Bit 0 tells the FPGA the pair is complete: low while both words change. */
    dps.settings &= (uint16_t)~1u;
    hdrWriteRegister(hdr3DLutGen.dpsDevice, HDR_DPS_INPUT_SETTINGS + 4 * input, dps.settings);
    hdrWriteRegister(hdr3DLutGen.dpsDevice, HDR_DPS_INPUT_SETTINGS + 1 + 4 * input, dps.nits);
    dps.settings |= 1;
    hdrWriteRegister(hdr3DLutGen.dpsDevice, HDR_DPS_INPUT_SETTINGS + 4 * input, dps.settings);
}

static void updateHDRHeadSettingInShareMemory(uint32_t head)
{
    const hdrHeadCalibration_t &h = hdr3DLutGen.heads[head];
    uint16_t settings = (uint16_t)(1 | field(h.transferFunction, 3, 4) | field(h.colorGamut, 1, 8) |
                                   field(h.colorModel, 1, 11) | field(h.range, 1, 14));
    uint32_t at = HDR_SHM_HEAD + 8 * head;
    writeShmWord(at, settings);
    writeShmWord(at + 2, h.maxCll);
    writeShmWord(at + 4, h.maxFall);
    writeShmWord(at + 6, h.diffuseWhite);
}

static void updateScalerFeedback(uint32_t head, uint32_t scaler, const hdr3DLutParams_t *params, uint32_t bypass)
{
    const scalerInfo_t &s = hdr3DLutGen.scalers[scaler];
    uint32_t at = HDR_SHM_SCALER + 16 * scaler;
    writeShmWord(at, (uint16_t)(field(s.enable, 1, 0) | field(s.inputNb, 4, 1) | field(head, 2, 5) |
                                field(s.winId, 6, 7)));
    writeShmWord(at + 2, (uint16_t)s.windowX);
    writeShmWord(at + 4, (uint16_t)s.windowY);
    uint16_t applied = field(bypass, 1, 0);
    if (params) {
        writeShmWord(at + 8, (uint16_t)params->inputNits);
        writeShmWord(at + 10, (uint16_t)params->outputMaxCll);
        writeShmWord(at + 12, (uint16_t)params->outputMaxFall);
        writeShmWord(at + 14, (uint16_t)params->outputDiffuseWhite);
        applied |= (uint16_t)(field((uint32_t)params->inputTransferFunction, 3, 2) |
                              field((uint32_t)params->inputColorGamut, 2, 5) |
                              field((uint32_t)params->inputColorModel, 1, 7) | field((uint32_t)params->inputRange, 1, 8) |
                              field((uint32_t)params->outputTransferFunction, 3, 9) |
                              field((uint32_t)params->outputColorGamut, 2, 12) |
                              field((uint32_t)params->outputColorModel, 1, 14) |
                              field((uint32_t)params->outputRange, 1, 15));
    }
    writeShmWord(at + 6, applied);
}

void updateHDRAppliedParamatersFeedback(const uint32_t *input, const uint32_t *head, const uint32_t *scaler,
                                        const hdr3DLutParams_t *params, uint32_t bypass)
{
    if (!input && !head && !params) {
        HDR_LOG(LOG4C_PRIORITY_ERROR,
                "%s: Bad arguments. videoInputNumber, headNumber, inputArgs are all null. Nothing to do.", __func__);
        return;
    }
    if (input)
        updateHDRInputSettingInDPS(*input, params, bypass);
    if (!head)
        return;
    if (*head >= HDR_LOGICAL_HEADS) {
        HDR_LOG(LOG4C_PRIORITY_ERROR, "%s: Bad arguments. headNumber expected 0-%d, got %d.", __func__,
                HDR_LOGICAL_HEADS - 1, (int)*head);
        return;
    }
    if (!scaler) {
        if (!params)
            updateHDRHeadSettingInShareMemory(*head);
        return;
    }
    if (*scaler >= HDR_VIDEO_INSTANCES) {
        HDR_LOG(LOG4C_PRIORITY_ERROR, "%s: scalerInstanceNumber %d is out of range! FPGA supports %d max", __func__,
                (int)*scaler, HDR_VIDEO_INSTANCES);
        return;
    }
    updateScalerFeedback(*head, *scaler, params, bypass);
}

/* ---- read-back validations ---- */

static void validateInstances(uint32_t type, uint32_t count, const char *pathFormat, const char *title,
                              const char *succeeded, const char *failed)
{
    for (uint32_t n = 0; n < count; n++) {
        hdrManagerMakeCurrent(type, n, n, 0, nullptr);
        resetHdr3DLutInstance(type);
        char path[VALIDATION_PATH_MAX];
        snprintf(path, sizeof path, pathFormat, (int)n);
        FILE *file = fopen(halPath(path).c_str(), "w");
        if (!file) {
            HDR_LOG(LOG4C_PRIORITY_ERROR,
                    "Error: could not open file %s to validate 3DLut data integrity for this 3DLut instance number %d\n",
                    path, (int)n);
            continue;
        }
        fputs(title, file);
        const uint8_t *table = currentTable();
        int mismatch = 0;
        for (int e = 0; e < HDR_3DLUT_ENTRIES; e++) {
            uint16_t words[3], expected[3];
            readBackEntry(words);
            for (int k = 0; k < 3; k++)
                expected[k] = getBe16(table + 6 * e + 2 * k);
            fprintf(file, "%6d  %6d  %6d  ", words[0], words[1], words[2]);
            fprintf(file, "%6d  %6d  %6d  ", expected[0], expected[1], expected[2]);
            if (memcmp(words, expected, sizeof words) != 0) {
                fputs("\t!!!DATA MISMATCH!!!!", file);
                mismatch = 1;
            }
            fputc('\n', file);
        }
        fclose(file);
        HDR_LOG(LOG_500, mismatch ? failed : succeeded, __func__, (int)n);
    }
}

void validateHdrInputs3DLutDataIntegrity(void)
{
    validateInstances(HDR_VIDEO_INSTANCE, HDR_VIDEO_INSTANCES,
                      "/usr/local/q7/logs/hdr_video_3dlut_data_integity_validation.log.%d",
                      "  3DLUT Data from DPS     3DLUT Data from FW Tables\n",
                      "%s HDR Inputs 3DLut instance data integrity validation succeeded: HDR Inputs instance number [%d]",
                      "%s HDR Inputs 3DLut instance data integrity validation failed: HDR Inputs instance number [%d]");
}

void validateHdrHeads3DLutDataIntegrity(void)
{
    validateInstances(HDR_HEAD_INSTANCE, HDR_HEAD_INSTANCES,
                      "/usr/local/q7/logs/hdr_head_3dlut_data_integity_validation.log.%d",
                      "  3DLUT Data from FSM     3DLUT Data from FW Tables\n",
                      "%s HDR Head 3DLut instance data integrity validation succeeded: HDR head instance number [%d]",
                      "%s HDR Head 3DLut instance data integrity validation failed: HDR head instance number [%d]");
}
