#ifndef KVR_HDRMANAGER_PRIVATE_H
#define KVR_HDRMANAGER_PRIVATE_H

/*
 * What the files of firmware/hdrManager share, and what its tests reach: the
 * 3D-LUT generator's state (sub-module and device side), the device
 * operations on the eleven 3D-LUT instances, and the HDR manager service's
 * handlers and state.
 */

#include "hdrManager/hdrManager.h"
#include "layoutManager/layoutSubmodule.h"
#include "layoutManager/sysResMngtResult.h"

#include <atomic>
#include <cstdint>
#include <log4c.h>

struct serviceDescriptor;

enum {
    HDR_VIDEO_INPUTS = 9,
    HDR_LOGICAL_HEADS = 4,
    HDR_VIDEO_INSTANCES = 9,
    HDR_HEAD_INSTANCES = 2,
    HDR_3DLUT_ENTRIES = HDR_3DLUT_GRID_SIZE * HDR_3DLUT_GRID_SIZE * HDR_3DLUT_GRID_SIZE, /* 4,913 */
    HDR_3DLUT_BYTES = HDR_3DLUT_WORDS * 2,                                                 /* 29,478 */
    HDR_UPLOAD_CHUNKS = 12,
    HDR_UPLOAD_CHUNK_WORDS = 1228,    /* the last chunk carries the 1,231 words left */
    HDR_CALIBRATION_BYTES = 12,
};

/* FPGA registers of the 3D-LUT instances. */
enum : uint32_t {
    HDR_DPS_BLOCK = 0x2000,           /* + 0x40 x video instance */
    HDR_FSM_BLOCK = 0x18080,          /* + 0x40 x head instance */
    HDR_BLOCK_STRIDE = 0x40,
    HDR_BLOCK_INPUT_MATRIX = 0x00,
    HDR_BLOCK_INPUT_POST_OFFSETS = 0x09,
    HDR_BLOCK_INPUT_CLIP = 0x0C,
    HDR_BLOCK_OUTPUT_MATRIX = 0x10,
    HDR_BLOCK_OUTPUT_OFFSETS = 0x19,
    HDR_BLOCK_OUTPUT_CLIP = 0x1C,
    HDR_BLOCK_INPUT_PRE_OFFSETS = 0x20,
    HDR_BLOCK_REMAPPER_CONTROL = 0x23,
    HDR_BLOCK_RESET = 0x24,
    HDR_BLOCK_READ_BACK = 0x28,       /* three words: the next entry */
    HDR_DPS_KEYHOLE = 0x1E20,         /* + video instance */
    HDR_FSM_KEYHOLE = 0x18048,        /* + head instance */
    HDR_DPS_BYPASS = 0x2400,
    HDR_DPS_ENABLE = 0x2401,
    HDR_FSM_BYPASS = 0x18100,
    HDR_FSM_ENABLE = 0x18101,
    HDR_DPS_REMAPPER = 0x1E00,        /* + 3 x video instance */
    HDR_FSM_REMAPPER = 0x18040,       /* + 3 x head instance */
    HDR_FSM_VPID = 0x18108,           /* + 2 x head: register #0, then #1 */
    HDR_DPS_INPUT_SETTINGS = 0x2480,  /* + 4 x input: settings word, then nits */
};

/* Byte offsets of the HDR reports in this card's status block. */
enum : uint32_t {
    HDR_SHM_HEAD = 1190,              /* + 8 x head */
    HDR_SHM_SCALER = 1222,            /* + 16 x scaler */
};

/* Maintenance requests of the platform's Thread Control device. */
enum : uint32_t {
    HDR_MAINTENANCE_VALIDATE_HEADS = 0xFFF1,
    HDR_MAINTENANCE_VALIDATE_INPUTS = 0xFFF2,
    HDR_MAINTENANCE_READ_BACK_OFF = 0xFFF3,
    HDR_MAINTENANCE_READ_BACK_ON = 0xFFF4,
};

/* One input's settings as reported to DPS-FPGA. */
struct hdrDpsSetting_t {
    uint16_t settings;
    uint16_t nits;
};

/* The instance an operation works on. */
struct hdrCurrentOperation_t {
    uint32_t type;                    /* hdrInstanceType_t */
    uint32_t instance;                /* video instance 0-8 or physical head 0-1 */
    uint32_t head;                    /* managed head 0-3 whose record applies */
    uint32_t input;                   /* video input 0-8 (video instances) */
    const hdr3DLutParams_t *params;
};

/* The 3D-LUT generator's state: one set for the four instances, on the layout thread. */
struct hdr3DLutGenState_t {
    log4c_category_t *category;
    hdrDpsSetting_t dps[HDR_VIDEO_INPUTS];
    hdrInputCalibration_t inputs[HDR_VIDEO_INPUTS];
    uint32_t dpsDevice;
    uint32_t fsmDevice;
    /* Indexed by managed head: the record of the head a pcode's slot and head id address on this card. */
    hdrHeadCalibration_t heads[HDR_LOGICAL_HEADS];
    scalerInfo_t scalers[HDR_VIDEO_INSTANCES];   /* the scaler pool as resource management last notified it */
    uint16_t dpsBypass, dpsEnable, fsmBypass, fsmEnable;
    hdrCurrentOperation_t current;
    /* Nine video tables, then the two head tables; words big-endian, as uploaded. */
    uint8_t tables[HDR_VIDEO_INSTANCES + HDR_HEAD_INSTANCES][HDR_3DLUT_BYTES];
    uint8_t readBack[HDR_3DLUT_BYTES];
    std::atomic<uint32_t> backReader;
    uint16_t systemFrameRate;
    uint8_t lastVpid[HDR_HEAD_INSTANCES][4];
    uint32_t privateWords[HDR_LOGICAL_HEADS];
};

extern hdr3DLutGenState_t hdr3DLutGen;

/* ---- sub-module (hdrLutSubmodule.cpp), layout thread ---- */

/* The 3D-LUT generator's row of the head lists (hdrManagerRegister hands it over). */
extern deviceSubmodule hdr3DLutGenSubmodule;

/* Table of the current instance from its current parameters; 0, or 6 (nothing usable). */
int createThe3DLUT(uint8_t *table);
/*
 * 1 when the 3D-LUT generator can use the calibration; 0 after a "Bad HDR
 * Calibration Parameter" line into `category` naming the first field out of
 * range. Pure otherwise: any thread.
 */
int hdrIsValidInputCalibration(const hdrInputCalibration_t *record, log4c_category_t *category);
int hdrIsValidHeadCalibration(const hdrHeadCalibration_t *record, log4c_category_t *category);
void processHeadResolutionEvent(uint32_t head, const headLayoutRecord *record);
void processHdrInputChangeEvent(uint32_t input, uint32_t head);
/* The frame rate the VPID is written with (5994 or 5000; 0 before the first known rate). */
uint16_t hdrManagerSystemFrameRate(void);
/* Enum names for the logs. */
const char *hdrManagerTransferName(uint32_t value);
const char *hdrManagerGamutName(uint32_t value);
const char *hdrManagerModelName(uint32_t value);
const char *hdrManagerRangeName(uint32_t value);
const char *hdrManagerModeName(uint32_t value);
const char *hdrManagerInstanceTypeName(uint32_t type);

/* ---- device side (hdrLutDevice.cpp), layout thread ---- */

uint32_t hdrWriteRegister(uint32_t device, uint32_t reg, uint16_t value);
uint16_t hdrReadRegister(uint32_t device, uint32_t reg);
uint32_t write2fpga2Video3DLutRemapperKeyholeSection(uint32_t device, uint32_t reg, uint32_t words,
                                                      const uint8_t *buffer);
void initHdrControlShadowRegisters(void);
void initHdr3DLutWbRemapperControl(void);
void setHdr3DLutInstanceByPassFilter(int on);
void enableHdr3DLutInstance(int on);
void setHdr3DLutInstanceInByPassMode(int on);
void resetHdr3DLutInstance(uint32_t type);
void programHdr3DLutDataInstance(void);
void updateHeadVPIDInfo(uint32_t physicalHead, uint16_t systemFrameRate);
/*
 * Reports applied settings: an input only (to DPS-FPGA), a head only (to the
 * shared memory), or a head and a scaler (scaler feedback). Null for what is
 * not reported.
 */
void updateHDRAppliedParamatersFeedback(const uint32_t *input, const uint32_t *head, const uint32_t *scaler,
                                        const hdr3DLutParams_t *params, uint32_t bypass);
/* Read-back validations; layout thread (the maintenance request queues them there). */
void validateHdrInputs3DLutDataIntegrity(void);
void validateHdrHeads3DLutDataIntegrity(void);
/* The platform's maintenance hook: back-reader flag, or a validation queued for the layout thread. */
void hdrManager3DLutGenMaintenance(uint32_t address);
/* Makes an instance current. */
void hdrManagerMakeCurrent(uint32_t type, uint32_t instance, uint32_t head, uint32_t input,
                    const hdr3DLutParams_t *params);

/* ---- HDR manager service (hdrManagerService.cpp) ---- */

extern serviceDescriptor hdrManagerService;

/* What the restore-point listeners and the probes hand the manager. */
struct pdsKeyCallbackInfo;

void inputHdrCalibrationPcodeHandler(const uint8_t *pcode, uint32_t length);
void headHdrCalibrationPcodeHandler(const uint8_t *pcode, uint32_t length);
/* Same handlers with the result the pcode chain would see (6 addressed to this card, else 0). */
int hdrManagerInputPcode(const uint8_t *pcode, uint32_t length);
int hdrManagerHeadPcode(const uint8_t *pcode, uint32_t length);
/*
 * A video probe's change record of one input (38 bytes: u16 card id, u16
 * sub-id, u32 changed, u32 input, u16 REG0-REG2, u16 stable, u16 reserved,
 * u32 VPID changed, two reserved u16, u32 VPID valid, u16 VPID bytes 1-2,
 * u16 VPID bytes 3-4; host order). The u32 at byte 18 is the video-valid word.
 */
void inputHdrMetadataChangeCallback(const void *record);
void hdrInputPcodeRestorePointCallbackfn(const pdsKeyCallbackInfo *change, log4c_category_t *category);
void hdrHeadPcodeRestorePointCallbackfn(const pdsKeyCallbackInfo *change, log4c_category_t *category);
/* Parses 24 hex digits into 12 bytes in text order; 0, or 5 when the text is not exactly 24 hex digits. */
int convertHdrStringToHex(const char *text, uint8_t *out);
int convertHdrStringToHexForCallback(log4c_category_t *category, const char *text, uint8_t *out);
/* The 24 lower-case digits of a 12-byte record. */
void hdrManagerRecordToText(const uint8_t *record, char *text /* 25 bytes */);
/* Queues the notify-all message (once all services run). 0, or -1 when the pool is empty. */
int hdrManagerQueueNotifyAll(void);
/* Serves at most one queued message on the caller's thread (tests, the worker). 1 served, 0 none. */
int hdrManagerServeNext(void);

struct hdrProbeState_t {
    uint32_t videoValid;
    uint32_t vpidValid;
    uint16_t vpid12;
    uint16_t vpid34;
};

struct hdrManagerState_t {
    hdrInputCalibration_t inputs[HDR_VIDEO_INPUTS];
    uint8_t configuredMode[HDR_VIDEO_INPUTS];
    uint8_t inputFromRestorePoint[HDR_VIDEO_INPUTS];
    uint8_t inputFromPcode[HDR_VIDEO_INPUTS];
    hdrProbeState_t probes[HDR_VIDEO_INPUTS];
    hdrHeadCalibration_t heads[HDR_LOGICAL_HEADS];
    uint8_t headFromRestorePoint[HDR_LOGICAL_HEADS];
    uint8_t headFromPcode[HDR_LOGICAL_HEADS];
};
extern hdrManagerState_t hdrManagerState;

#endif
