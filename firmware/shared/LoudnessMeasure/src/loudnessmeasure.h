#ifndef KVR_LOUDNESSMEASURE_H
#define KVR_LOUDNESSMEASURE_H

/* Layer: a pure computation below every module. Includes no other firmware module. */

/*
 * Loudness measurement: programme loudness of the EBU R128 family from one
 * 16-bit level value per measurement block (a block counts as 0.1 s).
 *
 * Levels are 32-bit floats in dB relative to a full-scale 16-bit value; the
 * energy of a block is the square of its value. An instance computes the
 * momentary level and its maximum, the short-term level over a sliding window,
 * the absolute-gated level, the relative-gated integrated loudness and the
 * loudness range (10th to 95th percentile of the short-term levels above a
 * gate 20 LU under their gated mean), per segment, keeping the values of the
 * previous segment.
 *
 * Plain computation with no locks: the caller serialises access to one
 * instance. A block value of 0 (digital silence) gives a level of minus
 * infinity; it is reported as such and never counted in a histogram.
 */

#include <cstdint>

#define LOUDNESS_WINDOW_MAX 150   /* longest short-term window, in blocks */
#define LOUDNESS_HISTOGRAM_BINS 700 /* bin b holds levels that round to -b/10 dB */

/* Status bits of loudnessResult. */
#define LOUDNESS_STATUS_INACTIVE 0x1    /* the instance is stopped */
#define LOUDNESS_STATUS_NEW_SEGMENT 0x2 /* a segment started since the last block */

/* One measurement instance. */
struct loudnessMeasure {
    uint32_t id;
    uint16_t lastValue;
    float momentary;
    float maxMomentary;
    float prevMaxMomentary;
    uint8_t blockCount; /* blocks since the segment start, wraps at 256 */

    uint8_t shortWindowLength; /* 1-150 blocks, default 30 */
    uint8_t plus3dB;           /* 1: values are raised by 3 dB before use */
    uint32_t window[LOUDNESS_WINDOW_MAX];
    uint8_t windowIndex;
    uint8_t windowFull;
    uint32_t windowMeanEnergy;
    float shortTerm;

    uint64_t gatedSum;
    uint64_t gatedCount;
    float gatedLevel;
    float prevGatedLevel;

    int32_t relativeGate; /* LU, negative; default -8 */
    float reservedLevel1;
    float reservedLevel2;

    uint32_t momentaryHistogram[LOUDNESS_HISTOGRAM_BINS];
    uint8_t momentaryHistogramCount;
    float integrated;
    float prevIntegrated;

    uint64_t shortTermGatedSum;
    uint64_t shortTermGatedCount;
    float shortTermGatedLevel;
    uint32_t shortTermHistogram[LOUDNESS_HISTOGRAM_BINS];
    uint8_t shortTermHistogramCount;

    float rangeLow;
    float rangeHigh;
    float range;
    float prevRangeLow;
    float prevRangeHigh;
    float prevRange;

    uint32_t active;
    uint32_t newSegment;
};

/* What ProcLoudness reports after each block. */
struct loudnessResult {
    float momentary;
    uint32_t blockCount;
    float maxMomentary;
    float shortTerm;
    float gatedLevel;
    float integrated;
    float range;
    float rangeLow;
    float rangeHigh;
    float prevMaxMomentary;
    float prevGatedLevel;
    float prevIntegrated;
    float prevRange;
    float prevRangeLow;
    float prevRangeHigh;
    uint32_t status; /* LOUDNESS_STATUS_* */
};

/*
 * Prepares an instance: next process-wide id, window 30, no +3 dB, every
 * level -80 dB, relative gate -8 LU, a fresh segment; the instance is active.
 */
void InitLoudness(loudnessMeasure *m);

/*
 * Starts a new segment: the current maximum, gated levels and range become the
 * previous segment's; histograms, gated sums and range restart.
 */
void NewSegment(loudnessMeasure *m);

/* Stops measuring: later blocks only refresh the result record. */
void StopLoudness(loudnessMeasure *m);

/* Resumes a stopped instance with an empty short-term window. */
void StartLoudness(loudnessMeasure *m);

/* Sets the short-term window to length blocks (1-150): 0, else -1 and nothing changes. */
int SetShortWindow(loudnessMeasure *m, int length);

/* Sets the relative gate in LU (meant to be negative). Returns 0. */
int SetRelativeGating(loudnessMeasure *m, int gate);

/*
 * Measures one block of level value and fills result (when result is null
 * nothing is done). Returns 0.
 */
int ProcLoudness(loudnessMeasure *m, uint16_t value, loudnessResult *result);

#endif
