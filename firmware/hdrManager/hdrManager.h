#ifndef KVR_HDRMANAGER_H
#define KVR_HDRMANAGER_H

/*
 * Layer: services. May include layoutManager (it registers its rows there),
 * genlock, probing, persistentDataStorage, pcodeProcessor, platform,
 * qvsInterface, deviceManager, serviceManager and hal.
 */

/*
 * HDR calibration records and the 3D-LUT computation.
 *
 * The calibration records are what the HDR manager service keeps and posts to
 * the 3D-LUT generator sub-module (12 bytes each; their 16-bit fields are held
 * little-endian, which is the host order of the card and of our hosts). The
 * parameter record is built on the stack for every table and handed to
 * create3DLUT, a pure computation with no device or file access.
 */

#include <cstddef>
#include <cstdint>

/* Transfer functions (input and output). */
enum hdrTransferFunction_t {
    SDR_TV = 0,
    HLG = 1,
    PQ = 2,
    SLog3 = 3,
    IDENTITY = 4,
};

/* Colour gamuts. */
enum hdrColorGamut_t {
    Rec_709_601 = 0,
    Rec_2020 = 1,
    S_Gamut3 = 2,
};

/* Colour models. */
enum hdrColorModel_t {
    Y_Cb_Cr = 0,
    ICtCp = 1,
};

/* Quantisation ranges. */
enum hdrRange_t {
    FULL_RANGE = 0,
    NARROW_RANGE = 1,
};

/* How an input's calibration is chosen. */
enum hdrInputMode_t {
    PASSTHROUGH = 0,
    AUTO = 1,
    FORCE = 2,
};

/* The two kinds of 3D-LUT instances: one behind each scaler, one per physical head. */
enum hdrInstanceType_t {
    HDR_VIDEO_INSTANCE = 0,
    HDR_HEAD_INSTANCE = 1,
};

/* HDR calibration of one video input (the data of HDR_INPUT_CHANGE_EVENT). */
struct hdrInputCalibration_t {
    uint8_t slotId;           /* QVS slot id; 0 in the copy the 3D-LUT generator keeps */
    uint8_t videoInput;       /* 0-8 */
    uint8_t inputMode;        /* hdrInputMode_t */
    uint8_t transferFunction; /* hdrTransferFunction_t */
    uint8_t colorGamut;       /* hdrColorGamut_t */
    uint8_t colorModel;       /* hdrColorModel_t */
    uint16_t nits;            /* maximum content light level, 1-10000 */
    uint8_t range;            /* hdrRange_t */
    uint8_t spare[3];
};

/* HDR calibration of one output head (the data of HDR_HEAD_CHANGE_EVENT). */
struct hdrHeadCalibration_t {
    uint8_t slotId;           /* 4 = card A, 5 = card B */
    uint8_t physicalHead;     /* 0-1; logical head = physicalHead + 2 on card B */
    uint8_t transferFunction; /* SDR_TV, HLG, PQ or IDENTITY */
    uint8_t colorGamut;       /* hdrColorGamut_t */
    uint8_t colorModel;       /* hdrColorModel_t */
    uint8_t range;            /* always NARROW_RANGE */
    uint16_t maxCll;          /* 1-10000 */
    uint16_t maxFall;         /* 1-10000 */
    uint16_t diffuseWhite;    /* cd/m2, 1-400 */
};

static_assert(sizeof(hdrInputCalibration_t) == 12, "input calibration is 12 bytes");
static_assert(offsetof(hdrInputCalibration_t, nits) == 6, "input nits at bytes 6-7");
static_assert(offsetof(hdrInputCalibration_t, range) == 8, "input range at byte 8");
static_assert(sizeof(hdrHeadCalibration_t) == 12, "head calibration is 12 bytes");
static_assert(offsetof(hdrHeadCalibration_t, maxCll) == 6, "head MaxCLL at bytes 6-7");
static_assert(offsetof(hdrHeadCalibration_t, diffuseWhite) == 10, "head diffuse white at bytes 10-11");

/* What one table is computed from. */
struct hdr3DLutParams_t {
    int32_t gridSize;               /* N: the table has N x N x N entries */
    int32_t bitDepth;               /* B: codes are 0 .. 2^B - 1 */
    int32_t inputColorGamut;        /* hdrColorGamut_t */
    int32_t inputColorModel;        /* not used by the computation */
    int32_t inputTransferFunction;  /* hdrTransferFunction_t */
    int32_t inputRange;             /* hdrRange_t */
    int32_t inputNits;              /* source peak of PQ inputs, cd/m2 */
    int32_t outputTransferFunction; /* hdrTransferFunction_t */
    double inputReferenceWhite;     /* cd/m2: 180.0 for S-Log3 sources, else 100.0 */
    int32_t outputColorGamut;       /* hdrColorGamut_t; S_Gamut3 leaves the values in CIE XYZ */
    int32_t outputColorModel;       /* not used by the computation */
    int32_t outputDiffuseWhite;     /* cd/m2 */
    int32_t outputRange;            /* hdrRange_t */
    int32_t outputMaxCll;           /* cd/m2, the clip level of PQ outputs */
    int32_t outputMaxFall;          /* not used by the computation */
    int32_t spare;
};

/* Grid size and bit depth of the tables the card's FPGAs take. */
#define HDR_3DLUT_GRID_SIZE 17
#define HDR_3DLUT_BIT_DEPTH 10
/* Words of one such table: 4,913 entries of red, green and blue. */
#define HDR_3DLUT_WORDS (HDR_3DLUT_GRID_SIZE * HDR_3DLUT_GRID_SIZE * HDR_3DLUT_GRID_SIZE * 3)

/*
 * Fills table with gridSize^3 entries of three output codes (red, green, blue),
 * the blue grid index varying slowest and red fastest: entry (b*N + g)*N + r.
 * The caller owns table, which must hold 3 * gridSize^3 words.
 *
 * Returns 0 when every entry came from a supported conversion, 1 when at least
 * one entry met an unsupported pair of transfer functions (those entries hold
 * the requantised input; every entry is written all the same) or when the bit
 * depth is outside 1-16 (then nothing is written). A grid size below 1 writes
 * nothing and returns 0. Pure; any thread may call it.
 */
int create3DLUT(const hdr3DLutParams_t *params, uint16_t *table);

/*
 * Registers the 3D-LUT generator sub-module's rows (one per head) in the
 * layout manager's head lists. main's thread, before the services' init;
 * again is harmless.
 */
void hdrManagerRegister(void);

#endif
