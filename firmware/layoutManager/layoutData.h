#ifndef KVR_LAYOUTDATA_H
#define KVR_LAYOUTDATA_H

/*
 * The layout data of the layout manager: the records of the four managed
 * heads, their windows and the video inputs. Every field is a little-endian
 * u32; the whole record is also the body of "layout.bin" and the memory of
 * device 5, so its layout is fixed byte for byte (checked in layoutData.cpp).
 *
 * May include: the C library only.
 */

#include <cstdint>

enum {
    LAYOUT_HEAD_COUNT = 4,
    LAYOUT_WINDOW_COUNT = 64,
    LAYOUT_VIDEO_INPUT_COUNT = 9,     /* inputs in use */
    LAYOUT_VIDEO_INPUT_RECORDS = 16,  /* room in the layout data */
    LAYOUT_DATA_VERSION = 0x00010002,
    LAYOUT_DATA_SIZE = 39192,
    LAYOUT_FILE_SIZE = 39194,         /* layout data and its CRC-16, little-endian */
};

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

#endif
