#include "shared/LoudnessMeasure/src/loudnessmeasure.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace {

/* Block value of a level in dB relative to full scale (the level a block value stands for). */
uint16_t valueOfLevel(double db)
{
    double v = std::round(65536.0 * std::pow(10.0, db / 20.0));
    return (uint16_t)std::min(v, 65535.0);
}

double levelOfValue(double v)
{
    return 20.0 * std::log10(v / 65536.0);
}

double levelOfEnergy(double e)
{
    return 10.0 * std::log10(e) - 20.0 * std::log10(65536.0);
}

/* A programme: runs of blocks at given levels. */
struct run_t {
    double db;
    int blocks;
};

std::vector<uint16_t> programme(std::initializer_list<run_t> runs)
{
    std::vector<uint16_t> v;
    for (const run_t &r : runs)
        v.insert(v.end(), r.blocks, valueOfLevel(r.db));
    return v;
}

/*
 * Independent reference on the same block levels: ITU-R BS.1770 gating
 * (absolute -70, relative gate below the absolute-gated mean energy) and EBU
 * Tech 3342 loudness range (short-term levels over the sliding window, absolute
 * -70, relative -20 LU, 10th and 95th percentiles).
 */
struct reference_t {
    double integrated;
    double rangeLow;
    double rangeHigh;
};

reference_t referenceOf(const std::vector<uint16_t> &blocks, int relativeGate, int window)
{
    reference_t ref = {};
    double sum = 0;
    int n = 0;
    for (uint16_t v : blocks)
        if (levelOfValue(v) >= -70.0) {
            sum += (double)v * v;
            n++;
        }
    double threshold = levelOfEnergy(sum / n) + relativeGate;
    double gatedSum = 0;
    int gatedN = 0;
    for (uint16_t v : blocks)
        if (levelOfValue(v) >= -70.0 && levelOfValue(v) > threshold) {
            gatedSum += (double)v * v;
            gatedN++;
        }
    ref.integrated = levelOfEnergy(gatedSum / gatedN);

    std::vector<double> shortTerm;
    for (size_t end = window; end <= blocks.size(); end++) {
        double e = 0;
        for (size_t i = end - window; i < end; i++)
            e += (double)blocks[i] * blocks[i];
        shortTerm.push_back(e / window);
    }
    double stSum = 0;
    int stN = 0;
    for (double e : shortTerm)
        if (levelOfEnergy(e) >= -70.0) {
            stSum += e;
            stN++;
        }
    double gate = levelOfEnergy(stSum / stN) - 20.0;
    std::vector<double> kept;
    for (double e : shortTerm)
        if (levelOfEnergy(e) >= gate)
            kept.push_back(levelOfEnergy(e));
    std::sort(kept.begin(), kept.end());
    size_t p10 = (size_t)(kept.size() * 0.1);
    size_t p95 = (size_t)(kept.size() * 0.95);
    ref.rangeLow = kept[p10 > 0 ? p10 - 1 : 0];
    ref.rangeHigh = kept[std::min(p95, kept.size() - 1)];
    return ref;
}

class Meter {
public:
    Meter() : m(new loudnessMeasure) { InitLoudness(m.get()); }
    loudnessResult feed(uint16_t value)
    {
        EXPECT_EQ(ProcLoudness(m.get(), value, &last), 0);
        return last;
    }
    loudnessResult feed(const std::vector<uint16_t> &values)
    {
        for (uint16_t v : values)
            feed(v);
        return last;
    }
    loudnessResult feed(uint16_t value, int blocks)
    {
        for (int i = 0; i < blocks; i++)
            feed(value);
        return last;
    }
    loudnessMeasure *operator->() { return m.get(); }
    loudnessMeasure *get() { return m.get(); }
    std::unique_ptr<loudnessMeasure> m;
    loudnessResult last = {};
};

TEST(Loudness, InitialStateAndIds)
{
    Meter a, b;
    EXPECT_EQ(b->id, a->id + 1);
    EXPECT_EQ(a->shortWindowLength, 30);
    EXPECT_EQ(a->relativeGate, -8);
    EXPECT_EQ(a->reservedLevel1, -88.0f);
    EXPECT_EQ(a->active, 1u);
    EXPECT_EQ(a->newSegment, 0u);
    loudnessResult r;
    memset(&r, 0xff, sizeof r);
    StopLoudness(a.get());
    ASSERT_EQ(ProcLoudness(a.get(), 1000, &r), 0);
    EXPECT_EQ(r.momentary, -80.0f);
    EXPECT_EQ(r.maxMomentary, -80.0f);
    EXPECT_EQ(r.integrated, -80.0f);
    EXPECT_EQ(r.gatedLevel, -80.0f);
    EXPECT_EQ(r.prevIntegrated, -80.0f);
    EXPECT_EQ(r.prevRange, -80.0f);
    EXPECT_EQ(r.range, 0.0f);
    EXPECT_EQ(r.blockCount, 0u);
    EXPECT_EQ(r.status, (uint32_t)LOUDNESS_STATUS_INACTIVE);
}

TEST(Loudness, MomentaryAndItsMaximum)
{
    Meter m;
    const uint16_t values[] = {6554, 65535, 21, 1000};
    float expectedMax = -80.0f;
    for (uint16_t v : values) {
        SCOPED_TRACE(v);
        loudnessResult r = m.feed(v);
        EXPECT_NEAR(r.momentary, levelOfValue(v), 1e-4);
        expectedMax = std::max(expectedMax, (float)levelOfValue(v));
        EXPECT_NEAR(r.maxMomentary, expectedMax, 1e-4);
    }
    EXPECT_EQ(m.last.blockCount, 4u);
    /* Full scale: just below 0 dB. */
    EXPECT_LT(m.last.maxMomentary, 0.0f);
    EXPECT_GT(m.last.maxMomentary, -0.001f);
}

TEST(Loudness, ShortTermIsTheMeanEnergyOfTheWindow)
{
    Meter m;
    uint16_t quiet = valueOfLevel(-30), loud = valueOfLevel(-20);
    m.feed(quiet, 30);
    EXPECT_EQ(m->windowFull, 1);
    EXPECT_NEAR(m.last.shortTerm, levelOfValue(quiet), 0.001);
    for (int k = 1; k <= 30; k++) {
        loudnessResult r = m.feed(loud);
        double e = ((30.0 - k) * quiet * quiet + (double)k * loud * loud) / 30.0;
        ASSERT_NEAR(r.shortTerm, levelOfEnergy(e), 0.001) << "after " << k << " loud blocks";
    }
    ASSERT_EQ(SetShortWindow(m.get(), 10), 0);
    loudnessResult r = m.feed(quiet, 10);
    EXPECT_NEAR(r.shortTerm, levelOfValue(quiet), 0.001);
}

TEST(Loudness, WindowFillsAfterItsLengthAndRangeStartsTenFullBlocksLater)
{
    Meter m;
    uint16_t v = valueOfLevel(-20);
    m.feed(v, 29);
    EXPECT_EQ(m->windowFull, 0);
    m.feed(v);
    EXPECT_EQ(m->windowFull, 1);
    m.feed(v, 8);
    EXPECT_EQ(m.last.rangeHigh, 0.0f);
    m.feed(v);
    EXPECT_NEAR(m.last.rangeLow, -20.0f, 1e-5);
    EXPECT_NEAR(m.last.rangeHigh, -20.0f, 1e-5);
    EXPECT_EQ(m.last.range, 0.0f);
}

TEST(Loudness, BlocksBelowTheAbsoluteGateNeverCount)
{
    Meter m;
    loudnessResult r = m.feed(20, 1000);
    EXPECT_EQ(r.gatedLevel, -80.0f);
    EXPECT_EQ(r.integrated, -80.0f);
    EXPECT_NEAR(r.momentary, levelOfValue(20), 1e-4);
    r = m.feed(21);
    EXPECT_NEAR(r.gatedLevel, levelOfEnergy(21.0 * 21.0), 1e-3);
}

TEST(Loudness, IntegratedUsesTheBinEnergyAndUpdatesEveryTenthBlock)
{
    struct binCase {
        uint16_t value;
        double expected; /* level of the energy table entry of the value's bin */
    };
    /* -23.0 dB: bin 230, entry (trunc(65536 * 10^-1.15 + 0.5))^2 = 4640^2.
     * Full scale: bin 0, entry 0xFFFFFFFF, which needs 64-bit sums from the second block. */
    const binCase cases[] = {
        {4639, levelOfEnergy(4640.0 * 4640.0)},
        {65535, levelOfEnergy(4294967295.0)},
        {655, levelOfEnergy(655.0 * 655.0)}, /* -40.0 dB: bin 400, entry 655^2 */
    };
    for (const binCase &c : cases) {
        SCOPED_TRACE(c.value);
        Meter m;
        loudnessResult r = m.feed(c.value, 9);
        EXPECT_EQ(r.integrated, -80.0f);
        r = m.feed(c.value);
        EXPECT_NEAR(r.integrated, c.expected, 1e-4);
        r = m.feed(c.value, 990);
        EXPECT_NEAR(r.integrated, c.expected, 1e-4);
    }
}

struct programmeCase {
    const char *name;
    std::vector<uint16_t> blocks;
    int relativeGate;
    double integrated; /* what the standard's test says, when it says one; else NAN */
    double range;
};

std::vector<uint16_t> varyingProgramme(void)
{
    /* Deterministic speech-like levels between -45 and -12 dB, with pauses. */
    std::vector<uint16_t> v;
    uint32_t seed = 12345;
    for (int i = 0; i < 1200; i++) {
        seed = seed * 1103515245u + 12345u;
        double db = -45.0 + 33.0 * ((seed >> 8) & 0xFFFF) / 65535.0;
        if ((i / 50) % 7 == 3)
            db = -60.0 + ((seed >> 4) & 7);
        v.push_back(valueOfLevel(db));
    }
    return v;
}

/* EBU Tech 3341 and 3342 programmes as block levels (blocks of 0.1 s). */
std::vector<programmeCase> programmeCases(void)
{
    return {
        {"Tech3341SteadyMinus23", programme({{-23, 200}}), -10, -23.0, 0.0},
        {"Tech3341Case3", programme({{-36, 100}, {-23, 600}, {-36, 100}}), -10, -23.0, NAN},
        {"Tech3341Case4", programme({{-72, 100}, {-36, 100}, {-23, 600}, {-36, 100}, {-72, 100}}), -10, -23.0, NAN},
        {"Tech3341Case5", programme({{-26, 200}, {-20, 200}, {-26, 200}}), -10, -23.0, NAN},
        {"Tech3342Case1", programme({{-20, 200}, {-30, 200}}), -10, NAN, 10.0},
        {"Tech3342Case2", programme({{-20, 200}, {-15, 200}}), -10, NAN, 5.0},
        {"Tech3342Case3", programme({{-40, 200}, {-20, 200}}), -10, NAN, 20.0},
        {"Tech3342Case4", programme({{-50, 200}, {-35, 200}, {-20, 200}, {-35, 200}, {-50, 200}}), -10, NAN, 15.0},
        {"TwoLevelDefaultGate", programme({{-20, 300}, {-27, 300}}), -8, NAN, NAN},
        {"VaryingProgramme", varyingProgramme(), -10, NAN, NAN},
        {"VaryingProgrammeDefaultGate", varyingProgramme(), -8, NAN, NAN},
    };
}

void PrintTo(const programmeCase &c, std::ostream *os)
{
    *os << c.name;
}

class ProgrammeTest : public ::testing::TestWithParam<programmeCase> {};

TEST_P(ProgrammeTest, AgreesWithAnIndependentGatingOfTheSameBlocks)
{
    const programmeCase &c = GetParam();
    Meter m;
    ASSERT_EQ(SetRelativeGating(m.get(), c.relativeGate), 0);
    int counted = 0;
    for (uint16_t v : c.blocks)
        counted += levelOfValue(v) > -69.95 ? 1 : 0;
    ASSERT_EQ(counted % 10, 0) << "the integrated level is compared right after an update";
    loudnessResult r = m.feed(c.blocks);
    reference_t ref = referenceOf(c.blocks, c.relativeGate, 30);
    EXPECT_NEAR(r.integrated, ref.integrated, 0.1);
    if (!std::isnan(c.integrated)) {
        EXPECT_NEAR(r.integrated, c.integrated, 0.1);
    }
    /* The range is compared after its last evaluation. */
    EXPECT_NEAR(m->rangeLow, ref.rangeLow, 0.1);
    EXPECT_NEAR(m->rangeHigh, ref.rangeHigh, 0.1);
    EXPECT_NEAR(r.range, ref.rangeHigh - ref.rangeLow, 0.15);
    if (!std::isnan(c.range)) {
        EXPECT_NEAR(r.range, c.range, 0.1);
    }
}

INSTANTIATE_TEST_SUITE_P(Programmes, ProgrammeTest, ::testing::ValuesIn(programmeCases()),
                         [](const ::testing::TestParamInfo<programmeCase> &info) { return std::string(info.param.name); });

/*
 * K-weighting of ITU-R BS.1770 at 48 kHz (its two published biquads), used to
 * turn test tones into block values the way the card's level meters do: the
 * block value is 65536 times the root of the K-weighted mean square, lowered by
 * the 0.691 dB the weighting adds at 997 Hz.
 */
struct biquad_t {
    double b0, b1, b2, a1, a2;
    double z1, z2;
    double step(double x)
    {
        double y = b0 * x + z1;
        z1 = b1 * x - a1 * y + z2;
        z2 = b2 * x - a2 * y;
        return y;
    }
    double gainDb(double hz) const
    {
        double w = 2 * M_PI * hz / 48000.0;
        std::complex<double> z1i = std::polar(1.0, -w), z2i = std::polar(1.0, -2 * w);
        return 20 * std::log10(std::abs((b0 + b1 * z1i + b2 * z2i) / (1.0 + a1 * z1i + a2 * z2i)));
    }
};

biquad_t shelf(void)
{
    return {1.53512485958697, -2.69169618940638, 1.19839281085285, -1.69065929318241, 0.73248077421585, 0, 0};
}

biquad_t highPass(void)
{
    return {1.0, -2.0, 1.0, -1.99004745483398, 0.99007225036621, 0, 0};
}

TEST(KWeighting, ResponseOfThePublishedFilters)
{
    struct point {
        double hz, low, high;
    };
    const point points[] = {
        {997, 0.68, 0.70},     /* what the -0.691 dB of the loudness formula takes back */
        {10000, 3.9, 4.1},     /* the high-frequency shelf */
        {20, -14.5, -12.0},    /* the high-pass below 40 Hz */
        {100, -1.4, -0.9},    /* about the -1.2 dB of a 38 Hz second-order high-pass */
    };
    for (const point &p : points) {
        SCOPED_TRACE(p.hz);
        double g = shelf().gainDb(p.hz) + highPass().gainDb(p.hz);
        EXPECT_GE(g, p.low);
        EXPECT_LE(g, p.high);
    }
}

std::vector<uint16_t> toneBlocks(double dbfs, int channels, double seconds)
{
    const int rate = 48000, blockSamples = rate / 10;
    std::vector<uint16_t> blocks;
    std::vector<biquad_t> s(channels, shelf()), h(channels, highPass());
    double amplitude = std::pow(10.0, dbfs / 20.0);
    double sum = 0;
    for (int i = 0; i < (int)(seconds * rate); i++) {
        double x = amplitude * std::sin(2 * M_PI * 997.0 * i / rate);
        for (int c = 0; c < channels; c++) {
            double y = h[c].step(s[c].step(x));
            sum += y * y;
        }
        if ((i + 1) % blockSamples == 0) {
            double lufs = -0.691 + 10 * std::log10(sum / blockSamples);
            blocks.push_back(valueOfLevel(lufs));
            sum = 0;
        }
    }
    /* Leave out the first block, where the filters settle. */
    blocks.erase(blocks.begin());
    return blocks;
}

TEST(KWeighting, TonesOfKnownLoudness)
{
    struct toneCase {
        const char *name;
        double dbfs;
        int channels;
        double lufs;
    };
    const toneCase cases[] = {
        {"997 Hz at -20 dBFS in one channel", -20.0, 1, -23.0},
        {"997 Hz at -23 dBFS in both channels (Tech 3341 case 1)", -23.0, 2, -23.0},
        {"997 Hz at -33 dBFS in both channels (Tech 3341 case 2)", -33.0, 2, -33.0},
    };
    for (const toneCase &c : cases) {
        SCOPED_TRACE(c.name);
        Meter m;
        std::vector<uint16_t> blocks = toneBlocks(c.dbfs, c.channels, 10.1);
        ASSERT_EQ(blocks.size(), 100u);
        loudnessResult r = m.feed(blocks);
        EXPECT_NEAR(r.momentary, c.lufs, 0.1);
        EXPECT_NEAR(r.shortTerm, c.lufs, 0.1);
        EXPECT_NEAR(r.integrated, c.lufs, 0.1);
        EXPECT_NEAR(r.range, 0.0, 0.1);
    }
}

TEST(Loudness, NewSegmentKeepsThePreviousValuesAndStartsAfresh)
{
    Meter m;
    uint16_t loud = valueOfLevel(-20), quiet = valueOfLevel(-30);
    m.feed(loud, 100);
    loudnessResult before = m.last;
    NewSegment(m.get());
    loudnessResult r = m.feed(quiet);
    EXPECT_EQ(r.status, (uint32_t)LOUDNESS_STATUS_NEW_SEGMENT);
    EXPECT_EQ(r.blockCount, 1u);
    EXPECT_EQ(r.prevMaxMomentary, before.maxMomentary);
    EXPECT_EQ(r.prevIntegrated, before.integrated);
    EXPECT_EQ(r.prevGatedLevel, before.gatedLevel);
    EXPECT_EQ(r.prevRange, before.range);
    EXPECT_EQ(r.prevRangeLow, before.rangeLow);
    EXPECT_EQ(r.prevRangeHigh, before.rangeHigh);
    EXPECT_NEAR(r.maxMomentary, -30.0, 0.01);
    /* The window restarts full of the last block of the old segment. */
    EXPECT_NEAR(r.shortTerm, levelOfEnergy((29.0 * loud * loud + (double)quiet * quiet) / 30.0), 0.001);
    r = m.feed(quiet);
    EXPECT_EQ(r.status, 0u);
    r = m.feed(quiet, 98);
    EXPECT_NEAR(r.integrated, -30.0, 0.05);
    EXPECT_NEAR(r.gatedLevel, -30.0, 0.05);
    EXPECT_EQ(r.blockCount, 100u);
    m.feed(quiet, 200);
    EXPECT_EQ(m.last.blockCount, 44u); /* 300 blocks: the counter wraps at 256 */
}

TEST(Loudness, StopAndStart)
{
    Meter m;
    uint16_t v = valueOfLevel(-25);
    m.feed(v, 50);
    StopLoudness(m.get());
    loudnessResult stopped = m.feed(valueOfLevel(-5), 20);
    EXPECT_EQ(stopped.status, (uint32_t)LOUDNESS_STATUS_INACTIVE);
    EXPECT_EQ(stopped.blockCount, 50u);
    EXPECT_NEAR(stopped.maxMomentary, -25.0, 0.01);
    StartLoudness(m.get());
    EXPECT_EQ(m->windowFull, 0);
    EXPECT_EQ(m->windowIndex, 0);
    loudnessResult r = m.feed(v);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.blockCount, 51u);
}

TEST(Loudness, ParameterChecksPrintTheirAssertLines)
{
    Meter m;
    testing::internal::CaptureStdout();
    EXPECT_EQ(SetShortWindow(m.get(), 151), -1);
    EXPECT_EQ(SetShortWindow(m.get(), 0), -1);
    EXPECT_EQ(m->shortWindowLength, 30);
    EXPECT_EQ(SetShortWindow(m.get(), 150), 0);
    EXPECT_EQ(SetRelativeGating(m.get(), -12), 0);
    EXPECT_EQ(SetRelativeGating(m.get(), 0), 0);
    EXPECT_EQ(ProcLoudness(m.get(), 1000, nullptr), 0);
    std::string out = testing::internal::GetCapturedStdout();
    /* Each line ends with the source line of its check: a number, the same for the same check. */
    std::regex lineNumber(", ([1-9][0-9]*)\n");
    std::vector<std::string> numbers;
    for (std::sregex_iterator at(out.begin(), out.end(), lineNumber), end; at != end; ++at)
        numbers.push_back((*at)[1]);
    ASSERT_EQ(numbers.size(), 4u) << out;
    EXPECT_EQ(numbers[0], numbers[1]);
    EXPECT_EQ(std::regex_replace(out, lineNumber, ", N\n"),
              "ASSERT_FALSE SetShortWindow, shared/LoudnessMeasure/src/loudnessmeasure.cpp, N\n"
              "ASSERT_FALSE SetShortWindow, shared/LoudnessMeasure/src/loudnessmeasure.cpp, N\n"
              "ASSERT SetRelativeGating, shared/LoudnessMeasure/src/loudnessmeasure.cpp, N\n"
              "ASSERT ProcLoudness, shared/LoudnessMeasure/src/loudnessmeasure.cpp, N\n");
    EXPECT_EQ(m->shortWindowLength, 150);
    EXPECT_EQ(m->relativeGate, 0);
    EXPECT_EQ(m->blockCount, 0);
}

uint64_t histogramTotal(const uint32_t *h)
{
    uint64_t total = 0;
    for (int b = 0; b < LOUDNESS_HISTOGRAM_BINS; b++)
        total += h[b];
    return total;
}

TEST(LoudnessFaults, DigitalSilenceNeitherCrashesNorCounts)
{
    Meter m;
    uint16_t v = valueOfLevel(-20);
    m.feed(v, 50);
    loudnessResult r = m.feed(0, 60);
    EXPECT_TRUE(std::isinf(r.momentary) && r.momentary < 0);
    EXPECT_TRUE(std::isinf(r.shortTerm) && r.shortTerm < 0);
    /* A segment that starts in silence starts its gated levels at minus infinity. */
    NewSegment(m.get());
    r = m.feed(0, 40);
    EXPECT_EQ(histogramTotal(m->momentaryHistogram), 0u);
    EXPECT_EQ(histogramTotal(m->shortTermHistogram), 0u);
    r = m.feed(v, 50);
    EXPECT_EQ(histogramTotal(m->momentaryHistogram), 50u);
    EXPECT_NEAR(r.integrated, -20.0, 0.05);
    EXPECT_NEAR(r.gatedLevel, -20.0, 0.05);
    EXPECT_NEAR(r.maxMomentary, -20.0, 0.01);
}

TEST(LoudnessFaults, PlusThreeDbSaturatesAtFullScale)
{
    struct raiseCase {
        uint16_t in, out;
    };
    const raiseCase cases[] = {{1000, 1412}, {46395, 65534}, {46396, 65535}, {50000, 65535}, {65535, 65535}};
    for (const raiseCase &c : cases) {
        SCOPED_TRACE(c.in);
        Meter m;
        m->plus3dB = 1;
        m.feed(c.in);
        EXPECT_EQ(m->lastValue, c.out);
        EXPECT_NEAR(m.last.momentary, levelOfValue(c.out), 1e-4);
    }
}

TEST(LoudnessFaults, ShorteningTheWindowWhileRunningStaysInsideIt)
{
    Meter m;
    ASSERT_EQ(SetShortWindow(m.get(), 150), 0);
    m.feed(valueOfLevel(-20), 100);
    ASSERT_EQ(SetShortWindow(m.get(), 10), 0);
    loudnessResult r = m.feed(valueOfLevel(-40), 10);
    EXPECT_NEAR(r.shortTerm, -40.0, 0.01);
    for (int i = 0; i < 300; i++) {
        m.feed(valueOfLevel(-40));
        ASSERT_LT(m->windowIndex, 10);
    }
}

TEST(LoudnessFaults, WindowLengthWrittenOutOfRangeFallsBackToTheDefault)
{
    for (int length : {0, 151, 255}) {
        SCOPED_TRACE(length);
        Meter m;
        m->shortWindowLength = (uint8_t)length;
        loudnessResult r = m.feed(valueOfLevel(-20), 40);
        EXPECT_EQ(m->shortWindowLength, 30);
        EXPECT_NEAR(r.shortTerm, -20.0, 0.01);
    }
}

TEST(LoudnessFaults, LowPercentileOfAFewValuesIsAValueThatOccurred)
{
    /* A one-block window: nine blocks at -60 and one at -20 put the range gate
     * near -50, so only one short-term value is above it: the range is 0 at -20,
     * not the distance to the gate. */
    Meter m;
    ASSERT_EQ(SetShortWindow(m.get(), 1), 0);
    std::vector<uint16_t> blocks = programme({{-60, 9}, {-20, 1}});
    loudnessResult r = m.feed(blocks);
    EXPECT_NEAR(r.rangeLow, -20.0, 1e-5);
    EXPECT_NEAR(r.rangeHigh, -20.0, 1e-5);
    EXPECT_EQ(r.range, 0.0f);
}

} // namespace
