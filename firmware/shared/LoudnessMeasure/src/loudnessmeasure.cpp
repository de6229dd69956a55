/*
 * Loudness measurement from block levels: momentary, short-term, absolute- and
 * relative-gated integrated loudness and loudness range, per segment.
 */
#include "shared/LoudnessMeasure/src/loudnessmeasure.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

const char *const SOURCE_NAME = "shared/LoudnessMeasure/src/loudnessmeasure.cpp";

/* 20 log10(65536) as a 32-bit float: the level of a full-scale 16-bit value. */
const float FULL_SCALE_DB = 96.32959747314453f;
const float INITIAL_LEVEL = -80.0f;
const float RESERVED_INITIAL_LEVEL = -88.0f;
const int DEFAULT_WINDOW = 30;
const int DEFAULT_RELATIVE_GATE = -8;
/* +3 dB as a value factor; raised values saturate at full scale. */
const double PLUS_3DB_FACTOR = 1.412538;
/* Smallest block value that passes the absolute gate (about -69.9 dB). */
const uint32_t ABSOLUTE_GATE_VALUE = 21;
/* Smallest mean energy of a short-term window that passes the -70 dB gate. */
const uint32_t ABSOLUTE_GATE_ENERGY = 436;
const int RANGE_GATE_LU = -20;
/* The gated histograms are re-evaluated once every this many counted blocks. */
const int HISTOGRAM_PERIOD = 10;
const int LAST_RANGE_BIN = LOUDNESS_HISTOGRAM_BINS - 1;

std::atomic<uint32_t> nextInstanceId(0);

/* Energy of each histogram bin: entry b is the energy of a level of -b/10 dB. */
struct energyTable_t {
    uint32_t entry[LOUDNESS_HISTOGRAM_BINS];
    energyTable_t()
    {
        /* 65536 squared does not fit: bin 0 takes the largest energy there is. */
        entry[0] = 0xFFFFFFFFu;
        for (int b = 1; b < LOUDNESS_HISTOGRAM_BINS; b++) {
            uint32_t v = (uint32_t)(65536.0 * std::pow(10.0, -b / 200.0) + 0.5);
            entry[b] = v * v;
        }
    }
};

const energyTable_t &energyTable(void)
{
    static const energyTable_t table;
    return table;
}

float levelOfEnergy(double energy)
{
    return 10.0f * std::log10((float)energy) - FULL_SCALE_DB;
}

float levelOfValue(uint32_t value)
{
    return 20.0f * std::log10((float)value * (1.0f / 65536.0f));
}

/*
 * Histogram bin of a level (-round(level x 10)), or -1 when the bin would lie
 * beyond lastBin. Silence (minus infinity) and NaN never reach the integer
 * conversion.
 */
int binOfLevel(float level, int lastBin)
{
    double x = -(double)level * 10.0;
    if (!(x < lastBin + 0.5))
        return -1;
    long bin = std::lround(x);
    return bin < 0 ? 0 : (int)bin;
}

/* -round(level x 10) capped to [0, cap]; a level of minus infinity or NaN gives cap. */
int limitOfLevel(float level, int cap)
{
    double x = -(double)level * 10.0;
    if (!(x < cap))
        return cap;
    long limit = std::lround(x);
    return limit < 0 ? 0 : (int)limit;
}

void updateIntegrated(loudnessMeasure *m)
{
    int limit = limitOfLevel((float)m->relativeGate + m->gatedLevel, LOUDNESS_HISTOGRAM_BINS);
    if (limit == 0)
        return;
    const energyTable_t &table = energyTable();
    uint64_t energySum = 0;
    uint64_t countSum = 0;
    for (int b = 0; b < limit; b++) {
        energySum += (uint64_t)m->momentaryHistogram[b] * table.entry[b];
        countSum += m->momentaryHistogram[b];
    }
    if (countSum)
        m->integrated = levelOfEnergy((double)energySum / (double)countSum);
}

void updateRange(loudnessMeasure *m)
{
    int limit = limitOfLevel(m->shortTermGatedLevel + (float)RANGE_GATE_LU, LAST_RANGE_BIN);
    uint64_t total = 0;
    for (int b = 0; b <= limit; b++)
        total += m->shortTermHistogram[b];
    if (!total)
        return;
    uint64_t p10 = (uint64_t)((double)total * 0.1);
    uint64_t p95 = (uint64_t)((double)total * 0.95);
    /* Walk from the quietest bin up. The low percentile is a bin that holds
     * values: with fewer than ten values p10 is 0 and an empty bin must not
     * stand for it. */
    int lowBin = -1;
    int highBin = 0;
    uint64_t sum = 0;
    for (int b = limit; b >= 0; b--) {
        sum += m->shortTermHistogram[b];
        if (lowBin < 0 && sum > 0 && sum >= p10)
            lowBin = b;
        if (sum > p95) {
            highBin = b;
            break;
        }
    }
    if (lowBin < 0)
        lowBin = 0;
    m->rangeLow = -(float)lowBin / 10.0f;
    m->rangeHigh = -(float)highBin / 10.0f;
    m->range = m->rangeHigh - m->rangeLow;
}

void measureBlock(loudnessMeasure *m, uint16_t rawValue)
{
    m->blockCount++;
    uint32_t value = rawValue;
    if (m->plus3dB) {
        double raised = value * PLUS_3DB_FACTOR;
        value = raised >= 65535.0 ? 65535u : (uint32_t)raised;
    }
    uint32_t energy = value * value;

    m->lastValue = (uint16_t)value;
    m->momentary = levelOfValue(value);
    if (m->momentary > m->maxMomentary)
        m->maxMomentary = m->momentary;

    /* A window shortened while running may leave the index past its end. */
    if (m->windowIndex >= m->shortWindowLength)
        m->windowIndex = 0;
    m->window[m->windowIndex] = energy;
    uint64_t windowSum = 0;
    for (int i = 0; i < m->shortWindowLength; i++)
        windowSum += m->window[i];
    m->windowMeanEnergy = (uint32_t)(windowSum / m->shortWindowLength);
    m->shortTerm = levelOfEnergy(m->windowMeanEnergy);
    if (++m->windowIndex >= m->shortWindowLength) {
        m->windowIndex = 0;
        m->windowFull = 1;
    }

    if (m->lastValue >= ABSOLUTE_GATE_VALUE) {
        m->gatedSum += energy;
        m->gatedCount++;
        m->gatedLevel = levelOfEnergy((double)m->gatedSum / (double)m->gatedCount);
    }

    int bin = binOfLevel(m->momentary, LOUDNESS_HISTOGRAM_BINS - 1);
    if (bin >= 0) {
        m->momentaryHistogram[bin]++;
        if (++m->momentaryHistogramCount >= HISTOGRAM_PERIOD) {
            updateIntegrated(m);
            m->momentaryHistogramCount = 0;
        }
    }

    if (!m->windowFull)
        return;
    if (m->windowMeanEnergy >= ABSOLUTE_GATE_ENERGY) {
        m->shortTermGatedSum += m->windowMeanEnergy;
        m->shortTermGatedCount++;
        m->shortTermGatedLevel =
            levelOfEnergy((double)m->shortTermGatedSum / (double)m->shortTermGatedCount);
    }
    bin = binOfLevel(m->shortTerm, LAST_RANGE_BIN);
    if (bin >= 0) {
        m->shortTermHistogram[bin]++;
        if (++m->shortTermHistogramCount >= HISTOGRAM_PERIOD) {
            updateRange(m);
            m->shortTermHistogramCount = 0;
        }
    }
}

void fillResult(loudnessMeasure *m, loudnessResult *r)
{
    r->momentary = m->momentary;
    r->blockCount = m->blockCount;
    r->maxMomentary = m->maxMomentary;
    r->shortTerm = m->shortTerm;
    r->gatedLevel = m->gatedLevel;
    r->integrated = m->integrated;
    r->range = m->range;
    r->rangeLow = m->rangeLow;
    r->rangeHigh = m->rangeHigh;
    r->prevMaxMomentary = m->prevMaxMomentary;
    r->prevGatedLevel = m->prevGatedLevel;
    r->prevIntegrated = m->prevIntegrated;
    r->prevRange = m->prevRange;
    r->prevRangeLow = m->prevRangeLow;
    r->prevRangeHigh = m->prevRangeHigh;
    r->status = (m->newSegment ? LOUDNESS_STATUS_NEW_SEGMENT : 0) | (m->active ? 0 : LOUDNESS_STATUS_INACTIVE);
}

} /* namespace */

void InitLoudness(loudnessMeasure *m)
{
    if (!m)
        return;
    energyTable();
    memset(m, 0, sizeof *m);
    m->id = nextInstanceId++;
    m->shortWindowLength = DEFAULT_WINDOW;
    m->plus3dB = 0;
    m->momentary = m->maxMomentary = m->prevMaxMomentary = INITIAL_LEVEL;
    m->shortTerm = INITIAL_LEVEL;
    m->gatedLevel = m->prevGatedLevel = INITIAL_LEVEL;
    m->reservedLevel1 = m->reservedLevel2 = RESERVED_INITIAL_LEVEL;
    m->integrated = m->prevIntegrated = INITIAL_LEVEL;
    m->shortTermGatedLevel = INITIAL_LEVEL;
    m->rangeLow = m->rangeHigh = m->range = INITIAL_LEVEL;
    m->prevRangeLow = m->prevRangeHigh = m->prevRange = INITIAL_LEVEL;
    m->relativeGate = DEFAULT_RELATIVE_GATE;
    NewSegment(m);
    m->active = 1;
    m->newSegment = 0;
}

void NewSegment(loudnessMeasure *m)
{
    if (!m)
        return;
    m->prevMaxMomentary = m->maxMomentary;
    m->prevGatedLevel = m->gatedLevel;
    m->prevIntegrated = m->integrated;
    m->prevRange = m->range;
    m->prevRangeLow = m->rangeLow;
    m->prevRangeHigh = m->rangeHigh;
    m->newSegment = 1;
    m->maxMomentary = INITIAL_LEVEL;
    m->blockCount = 0;
    uint32_t lastEnergy = (uint32_t)m->lastValue * m->lastValue;
    for (uint32_t &e : m->window)
        e = lastEnergy;
    m->windowIndex = 0;
    m->gatedLevel = m->momentary;
    m->integrated = m->momentary;
    memset(m->momentaryHistogram, 0, sizeof m->momentaryHistogram);
    memset(m->shortTermHistogram, 0, sizeof m->shortTermHistogram);
    m->momentaryHistogramCount = 0;
    m->shortTermHistogramCount = 0;
    m->gatedSum = m->gatedCount = 0;
    m->shortTermGatedSum = m->shortTermGatedCount = 0;
    m->rangeLow = m->rangeHigh = m->range = 0.0f;
}

void StopLoudness(loudnessMeasure *m)
{
    if (m)
        m->active = 0;
}

void StartLoudness(loudnessMeasure *m)
{
    if (!m || m->active)
        return;
    m->windowIndex = 0;
    m->windowFull = 0;
    m->momentaryHistogramCount = 0;
    m->shortTermHistogramCount = 0;
    m->active = 1;
}

int SetShortWindow(loudnessMeasure *m, int length)
{
    if (!m || length < 1 || length > LOUDNESS_WINDOW_MAX) {
        printf("ASSERT_FALSE %s, %s, %d\n", "SetShortWindow", SOURCE_NAME, 635);
        fflush(stdout);
        return -1;
    }
    m->shortWindowLength = (uint8_t)length;
    return 0;
}

int SetRelativeGating(loudnessMeasure *m, int gate)
{
    if (!m)
        return -1;
    if (gate >= 0) {
        printf("ASSERT %s, %s, %d\n", "SetRelativeGating", SOURCE_NAME, 661);
        fflush(stdout);
    }
    m->relativeGate = gate;
    return 0;
}

int ProcLoudness(loudnessMeasure *m, uint16_t value, loudnessResult *result)
{
    if (!result) {
        printf("ASSERT %s, %s, %d\n", "ProcLoudness", SOURCE_NAME, 728);
        fflush(stdout);
        return 0;
    }
    if (!m)
        return -1;
    /* The record is open to its owner: never let a window length written into
     * it directly divide by zero or reach past the 150 entries. */
    if (m->shortWindowLength < 1 || m->shortWindowLength > LOUDNESS_WINDOW_MAX)
        m->shortWindowLength = DEFAULT_WINDOW;
    if (m->active)
        measureBlock(m, value);
    fillResult(m, result);
    m->newSegment = 0;
    return 0;
}
