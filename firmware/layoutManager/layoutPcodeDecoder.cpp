#include "layoutManager/layoutManagerPrivate.h"

#include <cstdio>
#include <cstring>
#include <string>

/*
 * The layout pcode decoders: one table row per pcode. A row names the data
 * fields after the slot and head bytes (their widths in the pcode: 1 byte, or
 * 2 and 4 for big-endian fields), where their stored u32 form lies, and the
 * bit the change raises. The generic walk owns size check, trace, head
 * mapping, window check, conversion and the drop of unchanged values.
 */

enum {
    PCODE_CLASS_LAYOUT = 20,
    PCODE_CLASS_DEVICE_ACCESS = 10,
    MAX_STORED_WORDS = 32,
    SET_DEVICE_HEAD0_DEVICE = 150,
    SET_DEVICE_HEAD1_DEVICE = 151,
    TIMING_FRAME_RATE_50 = 5000,
    TIMING_FRAME_RATE_5994 = 5994,
};

enum layoutStore_t { STORE_IN_HEAD, STORE_IN_WINDOW };

struct layoutField_t {
    const char *name;
    uint8_t width;
};

struct layoutDecoderRow_t;
typedef int (*layoutRowCheck)(const layoutDecoderRow_t *row, const uint8_t *data);
typedef void (*layoutRowAfterStore)(headLayoutRecord *head);

struct layoutDecoderRow_t {
    uint8_t classCode;
    uint8_t pcodeId;
    const char *name;
    uint32_t minimum;
    const char *sizeMessage;
    const char *dropMessage;          /* null: never dropped */
    const char *windowLimitMessage;   /* window pcodes: refusal of a window id at or above 64 */
    layoutStore_t store;
    uint32_t storeOffset;             /* in the head or window record */
    uint32_t headEvent;
    const layoutField_t *fields;
    uint8_t fieldCount;
    uint8_t firstStored;              /* fields before this one are not stored */
    uint8_t zeroWords;
    layoutRowCheck check;             /* extra refusal, may be null */
    layoutRowAfterStore afterStore;   /* runs when a changed record was stored, may be null */
    const char *traceEnd = "";        /* what the trace line ends with */
};

static const layoutField_t applyLayoutFields[] = {{"win_qty", 1}};
static const layoutField_t windowPriorityFields[] = {{"winId", 1}, {"winPriority", 1}};
static const layoutField_t headResolutionFields[] = {
    {"rotation", 1},      {"frameRate", 2}, {"pixelClock", 4},     {"hActivePixels", 2},
    {"vActivePixels", 2}, {"hMax", 2},      {"vMax", 2},           {"sdiRes", 1},
    {"sdiDisplayMode", 1}, {"hOffset", 2},  {"vOffset", 2},
};
static const layoutField_t windowLayoutFields[] = {
    {"winId", 1},
    {"source_slot_id", 1},
    {"input_no", 1},
    {"video_out_h_dimension", 2},
    {"video_out_v_dimension", 2},
    {"video_out_h_position", 2},
    {"video_out_v_position", 2},
    {"de_interlace", 1},
    {"de_interlace_factor", 2},
    {"in_h_crop_start", 2},
    {"in_h_crop_end", 2},
    {"in_v_crop_start", 2},
    {"in_v_crop_end", 2},
    {"sandbox_h_dimension", 2},
    {"sandbox_v_dimension", 2},
    {"widget_h_dimension", 2},
    {"widget_v_dimension", 2},
    {"widget_h_position", 2},
    {"widget_v_position", 2},
    {"stereo_mode", 1},
    {"video_out_full_h_dimension", 2},
    {"video_out_full_v_dimension", 2},
    {"in_h_full_crop_start", 2},
    {"in_h_full_crop_end", 2},
    {"in_v_full_crop_start", 2},
    {"in_v_full_crop_end", 2},
};
static const layoutField_t dviAlignmentFields[] = {
    {"dviSyncPol", 1},     {"dviHfrontPorch", 2}, {"dviHsyncWidth", 2}, {"dviHbackPorch", 2},
    {"dviVfrontPorch", 2}, {"dviVsyncWidth", 2},  {"dviVbackPorch", 2},
};
static const layoutField_t vgaAlignmentFields[] = {
    {"vgaSyncPol", 1},     {"vgaHfrontPorch", 2}, {"vgaHsyncWidth", 2}, {"vgaHbackPorch", 2},
    {"vgaVfrontPorch", 2}, {"vgaVsyncWidth", 2},  {"vgaVbackPorch", 2}, {"vgaTriSync", 2},
};
static const layoutField_t dviBackgroundFields[] = {
    {"dvi_bkg_crop_left", 2},   {"dvi_bkg_crop_right", 2}, {"dvi_bkg_crop_top", 2},
    {"dvi_bkg_crop_bottom", 2}, {"dvi_bkg_h_pos_out", 2},  {"dvi_bkg_v_pos_out", 2},
};
static const layoutField_t windowAttributesFields[] = {
    {"winId", 1},      {"fullDynamicRange", 1}, {"killchroma", 1}, {"detailEnhancer", 1},
    {"hSharpness", 1}, {"v_sharpness", 1},      {"hideAtLost", 1},
};
static const layoutField_t headAttributesFields[] = {
    {"vid_en", 1},           {"dvi_en", 1},           {"gfx_en", 1},           {"dvi_bkg_as_gfx", 1},
    {"mouse_en", 1},         {"dvi_bkg_en", 1},       {"dvi_bkg_r_key_col", 1}, {"dvi_bkg_g_key_col", 1},
    {"dvi_bkg_b_key_col", 1}, {"dvi_bkg_r_col", 1},   {"dvi_bkg_g_col", 1},    {"dvi_bkg_b_col", 1},
    {"mouse_r1_key_col", 1}, {"mouse_g1_key_col", 1}, {"mouse_b1_key_col", 1}, {"mouse_r1_col", 1},
    {"mouse_g1_col", 1},     {"mouse_b1_col", 1},     {"mouse_r2_key_col", 1}, {"mouse_g2_key_col", 1},
    {"mouse_b2_key_col", 1}, {"mouse_r2_col", 1},     {"mouse_g2_col", 1},     {"mouse_b2_col", 1},
    {"sdi_anti_flickering", 1}, {"sdi_detail_enhancer", 1}, {"sdi_color_bars", 1}, {"layerId", 1},
    {"layerCount", 1},       {"processingDelay", 1},
};
static const layoutField_t brightnessFields[] = {
    {"redBrightness", 1},   {"redContrast", 1},   {"redGamma", 1},
    {"greenBrightness", 1}, {"greenContrast", 1}, {"greenGamma", 1},
    {"blueBrightness", 1},  {"blueContrast", 1},  {"blueGamma", 1},
};
static const layoutField_t vgaOutputFields[] = {
    {"syncOnGreen", 1},  {"vgaTriLevel", 1},  {"vgaSerrationStart", 2}, {"vgaSerrationWidth", 2},
    {"vgaEqualizer", 1}, {"vgaAmplLevel", 1}, {"vgaBlank", 1},
};
static const layoutField_t colorSaturationFields[] = {{"colorSaturation", 1}};
static const layoutField_t audioMonitoringFields[] = {
    {"audioSourceSelection", 1}, {"qviSourceSlotId", 1}, {"inputVideoNb", 1}, {"aesNb", 1},
    {"qvoTonePulsed", 1},        {"qvoToRouter1En", 1},  {"qvoToRouter2En", 1},
};

static int layoutCheckWindowPriority(const layoutDecoderRow_t *row, const uint8_t *data);
static void layoutApplySupportedTiming(headLayoutRecord *head);

#define FIELDS(f) f, (uint8_t)(sizeof f / sizeof f[0])

static const layoutDecoderRow_t layoutDecoders[] = {
    {PCODE_CLASS_LAYOUT, 0, "APPLY_LAYOUT", 4, "Error: APPLY_LAYOUT size of the pcode is %d Expected is: %d", nullptr,
     nullptr, STORE_IN_HEAD, offsetof(headLayoutRecord, windowQuantity), HEAD_APPLY_EVENT, FIELDS(applyLayoutFields),
     0, 0, nullptr, nullptr, "."},
    {PCODE_CLASS_LAYOUT, 1, "SET_WINDOW_PRIORITY", 4,
     "Error: SET_WINDOW_PRIORITY The size of the pcode is %d Expected is: %d",
     "Dropping windowPriorityPcodeData for window %d because no change!",
     "QVS sent set_window_priority for window %d greater than LayoutManager limit of %d!", STORE_IN_WINDOW,
     offsetof(windowLayoutRecord, winPriority), WINDOW_PRIORITY_EVENT, FIELDS(windowPriorityFields), 1, 0,
     layoutCheckWindowPriority, nullptr},
    {PCODE_CLASS_LAYOUT, 2, "SET_HEAD_RESOLUTION", 24,
     "Error: SET_HEAD_RESOLUTION The size of the pcode is %d Expected is: %d",
     "Dropping headResolutionPcodeData for head %d because no change!", nullptr, STORE_IN_HEAD,
     offsetof(headLayoutRecord, resolution), HEAD_RESOLUTION_EVENT, FIELDS(headResolutionFields), 0, 4, nullptr,
     layoutApplySupportedTiming},
    {PCODE_CLASS_LAYOUT, 3, "SET_WINDOW_LAYOUT", 52,
     "Error: SET_WINDOW_LAYOUT The size of the pcode is %d Expected is: %d",
     "Dropping windowLayoutPcodeData for window id %d because no change!",
     "QVS sent set_window_layout for window %d greater than LayoutManager limit of %d!", STORE_IN_WINDOW,
     offsetof(windowLayoutRecord, layout), WINDOW_LAYOUT_EVENT, FIELDS(windowLayoutFields), 0, 1, nullptr, nullptr},
    {PCODE_CLASS_LAYOUT, 4, "SET_DVI_HEAD_ALIGNMENT", 16,
     "Error: SET_DVI_HEAD_ALIGNMENT The size of the pcode is %d Expected is: %d",
     "Dropping headDviAlignmentPcodeData for head %d because no change!", nullptr, STORE_IN_HEAD,
     offsetof(headLayoutRecord, dviAlignment), DVI_HEAD_ALIGNMENT_EVENT, FIELDS(dviAlignmentFields), 0, 1, nullptr,
     nullptr},
    {PCODE_CLASS_LAYOUT, 5, "SET_VGA_HEAD_ALIGNMENT", 20,
     "Error: SET_VGA_HEAD_ALIGNMENT The size of the pcode  is %d Expected is: %d",
     "Dropping headVgaAlignmentPcodeData for head %d because no change!", nullptr, STORE_IN_HEAD,
     offsetof(headLayoutRecord, vgaAlignment), VGA_HEAD_ALIGNMENT_EVENT, FIELDS(vgaAlignmentFields), 0, 1, nullptr,
     nullptr},
    {PCODE_CLASS_LAYOUT, 6, "SET_DVI_BACKGROUND_ATTRIBUTES", 16,
     "Error: SET_DVI_BACKGROUND_ATTRIBUTES The size of the pcode is %d Expected is: %d",
     "Dropping headDviBackGroundAttributesPcodeData for head %d because no change!", nullptr, STORE_IN_HEAD,
     offsetof(headLayoutRecord, dviBackground), DVI_BACKGROUND_ATTRIBUTES_EVENT, FIELDS(dviBackgroundFields), 0, 1,
     nullptr, nullptr},
    {PCODE_CLASS_LAYOUT, 7, "SET_WINDOW_ATTRIBUTES", 12,
     "Error: SET_WINDOW_ATTRIBUTES The size of the pcode is %d Expected is: %d",
     "Dropping windowAttributesPcodeData for window id %d because no change!",
     "QVS sent set_window_attributes_pcode for window %d greater than LayoutManager limit of %d!", STORE_IN_WINDOW,
     offsetof(windowLayoutRecord, attributes), WINDOW_ATTRIBUTES_EVENT, FIELDS(windowAttributesFields), 0, 1, nullptr,
     nullptr},
    {PCODE_CLASS_LAYOUT, 8, "SET_HEAD_ATTRIBUTES", 32,
     "Error: SET_HEAD_ATTRIBUTES The size of the pcode is %d Expected is: %d",
     "Dropping headAttributesPcodeData for head %d because no change!", nullptr, STORE_IN_HEAD,
     offsetof(headLayoutRecord, attributes), HEAD_ATTRIBUTES_EVENT, FIELDS(headAttributesFields), 0, 0, nullptr,
     nullptr},
    {PCODE_CLASS_LAYOUT, 9, "SET_HEAD_BRIGHTNESS_CONTRAST_GAMMA", 12,
     "Error: SET_HEAD_BRIGHTNESS_CONTRAST_GAMMA The size of the pcode is %d Expected is: %d",
     "Dropping headBrightnessContrastGammaPcodeData for head %d because no change!", nullptr, STORE_IN_HEAD,
     offsetof(headLayoutRecord, brightnessContrastGamma), HEAD_BRIGHTNESS_CONTRAST_GAMMA_EVENT,
     FIELDS(brightnessFields), 0, 1, nullptr, nullptr},
    {PCODE_CLASS_LAYOUT, 10, "SET_VGA_OUTPUT", 12, "Error: SET_VGA_OUTPUT The size of the pcode is %d Expected is: %d",
     "Dropping headVgaOutputPcodeData for head %d because no change!", nullptr, STORE_IN_HEAD,
     offsetof(headLayoutRecord, vgaOutput), VGA_OUTPUT_EVENT, FIELDS(vgaOutputFields), 0, 1, nullptr, nullptr},
    {PCODE_CLASS_LAYOUT, 12, "SET_HEAD_COLOR_SATURATION", 4,
     "Error: SET_HEAD_COLOR_SATURATION The size of the pcode is %d Expected is: %d",
     "Dropping headColorSaturatuionPcodeData  for head %d because no change!", nullptr, STORE_IN_HEAD,
     offsetof(headLayoutRecord, colorSaturation), HEAD_COLOR_SATURATION_EVENT, FIELDS(colorSaturationFields), 0, 0,
     nullptr, nullptr},
    {PCODE_CLASS_DEVICE_ACCESS, 11, "SET_AUDIO_MONITORING_SOURCE", 12,
     "Error: The size of the pcode set_audio_monitoring_source_pcode is %d Expected is: %d",
     "Dropping headAudioMonitoringPcodeData  for head %d because no change!", nullptr, STORE_IN_HEAD,
     offsetof(headLayoutRecord, audioMonitoring), HEAD_AUDIO_MONITOR_EVENT, FIELDS(audioMonitoringFields), 0, 1,
     nullptr, nullptr},
};

static struct {
    layoutManagerInstanceInfo *instance;
    log4c_category_t *category;
} decoderContext;

#define DECODER_LOG(priority, ...) log4c_category_log(decoderContext.category, priority, __VA_ARGS__)

void layoutManagerPcodeDecoderInit(layoutManagerInstanceInfo *instance, log4c_category_t *category)
{
    decoderContext.instance = instance;
    decoderContext.category = category;
}

static layoutManagerInstanceInfo *decoderInstance(void)
{
    if (!decoderContext.instance)
        decoderContext.instance = layoutManagerGetInstance();
    if (!decoderContext.category)
        decoderContext.category = layoutManagerCategory();
    return decoderContext.instance;
}

headLayoutRecord *layoutRemapPcodeHead(uint32_t dstSlotId, uint32_t headId)
{
    layoutManagerInstanceInfo *instance = decoderInstance();
    for (uint32_t i = 0; i < instance->heads; i++) {
        const layoutPcodeRemap &entry = instance->remapper[i];
        if (entry.headId == headId && entry.dstSlotId == dstSlotId) {
            instance->event.head = entry.managedHead;
            instance->event.window = 0;
            return &instance->data.heads[entry.managedHead];
        }
    }
    DECODER_LOG(LOG4C_PRIORITY_ERROR,
                "layoutManager Managed HeadCount is %d pcode requested head for slot id %d and head id %d is incorrect "
                "remapping NOT CORRECT!!!!",
                instance->heads, (int)dstSlotId, (int)headId);
    return nullptr;
}

int layoutManagerManagedHeadOf(uint32_t dstSlotId, uint32_t headId)
{
    layoutManagerInstanceInfo *instance = decoderInstance();
    for (uint32_t i = 0; i < instance->heads; i++) {
        const layoutPcodeRemap &entry = instance->remapper[i];
        if (entry.headId == headId && entry.dstSlotId == dstSlotId)
            return (int)entry.managedHead;
    }
    return -1;
}

/* Reads field i's value from the data; returns the offset after it. */
static uint32_t layoutReadField(const uint8_t *data, uint32_t at, uint8_t width, uint32_t *value)
{
    uint32_t v = 0;
    for (uint8_t b = 0; b < width; b++)
        v = v << 8 | data[at + b];
    *value = v;
    return at + width;
}

static void layoutTrace(const layoutDecoderRow_t *row, const uint8_t *data, const uint32_t *values)
{
    if (!log4c_category_is_debug_enabled(decoderContext.category))
        return;
    std::string text = std::string(row->name) + "! slot " + std::to_string(data[0]) + ", head " + std::to_string(data[1]);
    for (uint8_t i = 0; i < row->fieldCount; i++)
        text += std::string(", ") + row->fields[i].name + " " + std::to_string(values[i]);
    text += row->traceEnd;
    DECODER_LOG(LOG4C_PRIORITY_DEBUG, "%s", text.c_str());
}

static int layoutCheckWindowPriority(const layoutDecoderRow_t *row, const uint8_t *data)
{
    (void)row;
    if (data[3] >= LAYOUT_WINDOW_COUNT) {
        DECODER_LOG(LOG4C_PRIORITY_ERROR, "QVS sent win_priority %d greater than LayoutManager limit of %d!", data[3],
                    LAYOUT_WINDOW_COUNT);
        return LAYOUT_RESULT_NO_HEAD;
    }
    return LAYOUT_RESULT_OK;
}

/* The cards drive two 1080p timings only; anything else becomes the closest of them. */
static void layoutApplySupportedTiming(headLayoutRecord *head)
{
    headResolution_t &r = head->resolution;
    bool supported = r.hActivePixels == 1920 && r.vActivePixels == 1080 && r.vMax == 1125 &&
                     ((r.hMax == 2200 && r.frameRate == TIMING_FRAME_RATE_5994 && r.pixelClock == 148351648) ||
                      (r.hMax == 2640 && r.frameRate == TIMING_FRAME_RATE_50 && r.pixelClock == 148500000));
    if (supported)
        return;
    if (r.frameRate == TIMING_FRAME_RATE_50) {
        r.pixelClock = 148500000;
        r.hMax = 2640;
    } else {
        r.frameRate = TIMING_FRAME_RATE_5994;
        r.pixelClock = 148351648;
        r.hMax = 2200;
    }
    r.hActivePixels = 1920;
    r.vActivePixels = 1080;
    r.vMax = 1125;
    DECODER_LOG(LOG4C_PRIORITY_ERROR,
                "Error: These received Head Resolution parameters are not supported by Kvr cards, defaulting to Head "
                "Resolution 1920x1080: See the list of received parameters in the log aboveThis fix has been "
                "implemented according to issue reported in JIRA unde issue: Kvr-1002");
}

static int layoutDecodeRow(const layoutDecoderRow_t *row, const uint8_t *data, uint32_t length)
{
    if (length < row->minimum) {
        DECODER_LOG(LOG4C_PRIORITY_ERROR, row->sizeMessage, (int)length, (int)row->minimum);
        return LAYOUT_RESULT_BAD_SIZE;
    }
    uint32_t values[MAX_STORED_WORDS] = {};
    uint32_t at = 2;
    for (uint8_t i = 0; i < row->fieldCount; i++)
        at = layoutReadField(data, at, row->fields[i].width, &values[i]);
    layoutTrace(row, data, values);

    headLayoutRecord *head = layoutRemapPcodeHead(data[0], data[1]);
    if (!head)
        return LAYOUT_RESULT_NO_HEAD;
    layoutEventInfo *event = &decoderInstance()->event;

    uint8_t *target = (uint8_t *)head + row->storeOffset;
    uint32_t window = 0;
    if (row->store == STORE_IN_WINDOW) {
        window = data[2];
        if (window >= LAYOUT_WINDOW_COUNT) {
            DECODER_LOG(LOG4C_PRIORITY_ERROR, row->windowLimitMessage, (int)window, LAYOUT_WINDOW_COUNT);
            return LAYOUT_RESULT_NO_HEAD;
        }
        target = (uint8_t *)&head->windows[window] + row->storeOffset;
    }
    if (row->check) {
        int refused = row->check(row, data);
        if (refused != LAYOUT_RESULT_OK)
            return refused;
    }

    uint32_t stored[MAX_STORED_WORDS] = {};
    uint32_t words = (uint32_t)(row->fieldCount - row->firstStored) + row->zeroWords;
    memcpy(stored, values + row->firstStored, (size_t)(row->fieldCount - row->firstStored) * 4);
    size_t bytes = (size_t)words * 4;
    if (row->dropMessage && memcmp(target, stored, bytes) == 0) {
        DECODER_LOG(LOG4C_PRIORITY_INFO, row->dropMessage,
                    row->store == STORE_IN_WINDOW ? (int)window : (int)event->head);
        return LAYOUT_RESULT_UNCHANGED;
    }
    memcpy(target, stored, bytes);
    if (row->afterStore)
        row->afterStore(head);
    event->headEvent = row->headEvent;
    event->window = window;
    return LAYOUT_RESULT_OK;
}

static int layoutDecodeSystemFrameRate(const uint8_t *data, uint32_t length)
{
    enum { MINIMUM = 4 };
    if (length < MINIMUM) {
        DECODER_LOG(LOG4C_PRIORITY_ERROR, "Error: SET_SYSTEM_FRAME_RATE The size of the pcode is %d Expected is: %d",
                    (int)length, MINIMUM);
        return LAYOUT_RESULT_BAD_SIZE;
    }
    layoutManagerInstanceInfo *instance = decoderInstance();
    DECODER_LOG(LOG4C_PRIORITY_DEBUG, "SET_SYSTEM_FRAME_RATE! slot %d, framerate %d", data[0], data[1]);
    instance->data.systemFrameRate = data[1];
    DECODER_LOG(LOG4C_PRIORITY_INFO, "SystemFrameRate Pcode received is %d!", data[1]);
    /* Not a head's setting: head 0's list hears of it. */
    instance->event.head = 0;
    instance->event.headEvent = SYSTEM_FRAME_RATE_EVENT;
    return LAYOUT_RESULT_OK;
}

int layoutPcodeDecoder(const uint8_t *pcode)
{
    decoderInstance();
    uint8_t classCode = pcode[0];
    uint8_t pcodeId = pcode[1];
    uint32_t length = (uint32_t)pcode[2] << 8 | pcode[3];
    const uint8_t *data = pcode + 4;
    if (classCode == PCODE_CLASS_DEVICE_ACCESS && pcodeId == 7)
        return layoutDecodeSystemFrameRate(data, length);
    for (const layoutDecoderRow_t &row : layoutDecoders)
        if (row.classCode == classCode && row.pcodeId == pcodeId)
            return layoutDecodeRow(&row, data, length);
    if (classCode == PCODE_CLASS_LAYOUT)
        DECODER_LOG(LOG4C_PRIORITY_ERROR, "layoutPcodeDecoder Unknown/Unhandled PCODE_LAYOUT_CLASS opcode_id %d.",
                    pcodeId);
    else if (classCode == PCODE_CLASS_DEVICE_ACCESS)
        DECODER_LOG(LOG4C_PRIORITY_ERROR,
                    "layoutPcodeDecoder Unknown/Unhandled PCODE_DEVICE_ACCESS_CLASS opcode_id %d.", pcodeId);
    else
        DECODER_LOG(LOG4C_PRIORITY_ERROR, "layoutPcodeDecoder Unknown/Unhandled opcode_class %d.", classCode);
    return LAYOUT_RESULT_BAD_SIZE;
}

/* One row per set-device register: the stored word, its bit and its messages. */
struct layoutRegisterRow_t {
    uint16_t reg;
    uint32_t offset;
    uint32_t headEvent;
    const char *dropMessage;
    const char *changeMessage;
};

static const layoutRegisterRow_t layoutRegisters[] = {
    {DELAY_REG_ID, offsetof(headLayoutRecord, audioDelay), DELAY_REG_EVENT,
     "Dropping AUDIO_DELAY Pcode because no change!", "SET_DEVICE_REGISTER DELAY_REG_ID! New value= %d."},
    {AES_VOLUME_REG_ID, offsetof(headLayoutRecord, aesVolume), AES_VOLUME_REG_EVENT,
     "Dropping AES_VOLUME Pcode because no change!", "SET_DEVICE_REGISTER AES_VOLUME_REG_ID! New value= %d."},
    {DAC_VOLUME_REG_ID, offsetof(headLayoutRecord, dacVolume), DAC_VOLUME_REG_EVENT,
     "Dropping DAC_VOLUME Pcode because no change!", "SET_DEVICE_REGISTER DAC_VOLUME_REG_ID! New value= %d."},
};

int layoutSetDeviceRegisterDecoder(const uint8_t *payload)
{
    decoderInstance();
    uint8_t slot = payload[0];
    uint16_t device, reg;
    uint32_t value;
    memcpy(&device, payload + 1, 2);
    memcpy(&reg, payload + 3, 2);
    memcpy(&value, payload + 5, 4);
    if (device != SET_DEVICE_HEAD0_DEVICE && device != SET_DEVICE_HEAD1_DEVICE)
        return LAYOUT_RESULT_NO_HEAD;
    DECODER_LOG(LOG4C_PRIORITY_DEBUG, "SET_DEVICE_REGISTER devId %d regId %d value %d for slot %d!", device, reg,
                (int)value, slot);
    headLayoutRecord *head = layoutRemapPcodeHead(slot, device - SET_DEVICE_HEAD0_DEVICE);
    if (!head)
        return LAYOUT_RESULT_NO_HEAD;
    for (const layoutRegisterRow_t &row : layoutRegisters) {
        if (row.reg != reg)
            continue;
        uint32_t *stored = (uint32_t *)((uint8_t *)head + row.offset);
        if (*stored == value) {
            DECODER_LOG(LOG4C_PRIORITY_INFO, "%s", row.dropMessage);
            return LAYOUT_RESULT_UNCHANGED;
        }
        *stored = value;
        DECODER_LOG(LOG4C_PRIORITY_DEBUG, row.changeMessage, (int)value);
        decoderContext.instance->event.headEvent = row.headEvent;
        return LAYOUT_RESULT_OK;
    }
    DECODER_LOG(LOG4C_PRIORITY_ERROR, "layoutPcodeDecoder Unknown/Unhandled set_device_register_pcode registerId %d.",
                reg);
    return LAYOUT_RESULT_BAD_SIZE;
}
