#include "hdrManager/hdrManager.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

const int N = HDR_3DLUT_GRID_SIZE;
const int ENTRIES = N * N * N;

struct refPoint_t {
    int r, g, b;
    int codes[3];
};

struct refCase_t {
    const char *name;
    int tin, tout, gin, gout, rangeIn, rangeOut;
    int diffuseWhite, maxCll, inputNits;
    double referenceWhite;
    refPoint_t points[16];
};

/* Output codes computed from the published formulas by hdrReference.py. */
const refCase_t referenceCases[] = {
#include "hdrReferenceTable.inc"
};

hdr3DLutParams_t makeParams(int tin, int tout, int gin, int gout, int rangeIn, int rangeOut)
{
    hdr3DLutParams_t p;
    memset(&p, 0, sizeof p);
    p.gridSize = N;
    p.bitDepth = HDR_3DLUT_BIT_DEPTH;
    p.inputTransferFunction = tin;
    p.outputTransferFunction = tout;
    p.inputColorGamut = gin;
    p.outputColorGamut = gout;
    p.inputRange = rangeIn;
    p.outputRange = rangeOut;
    p.inputNits = 1000;
    p.inputReferenceWhite = tin == SLog3 ? 180.0 : 100.0;
    p.outputDiffuseWhite = 203;
    p.outputMaxCll = 1000;
    p.outputMaxFall = 400;
    return p;
}

/* A table with guard words on both sides, so writes outside it show. */
class LutBuffer {
public:
    explicit LutBuffer(size_t words) : words_(words + 2 * GUARD, SENTINEL) {}
    uint16_t *table() { return &words_[GUARD]; }
    const uint16_t *entry(int r, int g, int b, int n = N) const { return &words_[GUARD + 3 * ((b * n + g) * n + r)]; }
    bool guardsIntact() const
    {
        for (size_t i = 0; i < GUARD; i++)
            if (words_[i] != SENTINEL || words_[words_.size() - 1 - i] != SENTINEL)
                return false;
        return true;
    }
    bool untouched() const
    {
        for (uint16_t w : words_)
            if (w != SENTINEL)
                return false;
        return true;
    }

private:
    static constexpr size_t GUARD = 8;
    static constexpr uint16_t SENTINEL = 0xA5A5;
    std::vector<uint16_t> words_;
};

void PrintTo(const refCase_t &c, std::ostream *os)
{
    *os << c.name;
}

class ReferenceTest : public ::testing::TestWithParam<refCase_t> {};

TEST_P(ReferenceTest, AgreesWithPublishedFormulasWithinOneCode)
{
    const refCase_t &c = GetParam();
    hdr3DLutParams_t p = makeParams(c.tin, c.tout, c.gin, c.gout, c.rangeIn, c.rangeOut);
    p.outputDiffuseWhite = c.diffuseWhite;
    p.outputMaxCll = c.maxCll;
    p.inputNits = c.inputNits;
    p.inputReferenceWhite = c.referenceWhite;
    LutBuffer lut(HDR_3DLUT_WORDS);
    ASSERT_EQ(create3DLUT(&p, lut.table()), 0);
    EXPECT_TRUE(lut.guardsIntact());
    for (const refPoint_t &pt : c.points) {
        const uint16_t *e = lut.entry(pt.r, pt.g, pt.b);
        for (int i = 0; i < 3; i++) {
            SCOPED_TRACE("grid (" + std::to_string(pt.r) + "," + std::to_string(pt.g) + "," + std::to_string(pt.b) +
                         ") channel " + std::to_string(i));
            EXPECT_NEAR(e[i], pt.codes[i], 1);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Pipelines, ReferenceTest, ::testing::ValuesIn(referenceCases),
                         [](const ::testing::TestParamInfo<refCase_t> &info) { return std::string(info.param.name); });

TEST(Create3DLUT, IdentityOnEitherSideGivesTheGridCodesInBlueSlowestOrder)
{
    const int grid[N] = {0, 64, 128, 192, 256, 320, 384, 448, 512, 576, 640, 704, 768, 832, 896, 960, 1023};
    const int sides[][2] = {{IDENTITY, PQ}, {SDR_TV, IDENTITY}, {IDENTITY, IDENTITY}};
    for (const auto &side : sides) {
        for (int range = 0; range <= 1; range++) {
            SCOPED_TRACE("tin " + std::to_string(side[0]) + " tout " + std::to_string(side[1]) + " range " +
                         std::to_string(range));
            hdr3DLutParams_t p = makeParams(side[0], side[1], Rec_2020, Rec_709_601, range, range);
            LutBuffer lut(HDR_3DLUT_WORDS);
            ASSERT_EQ(create3DLUT(&p, lut.table()), 0);
            ASSERT_TRUE(lut.guardsIntact());
            const uint16_t *t = lut.table();
            /* Literal positions: entry 1 moves red, entry 17 green, entry 289 blue. */
            const uint16_t expectStart[] = {0, 0, 0, 64, 0, 0, 128, 0, 0};
            EXPECT_EQ(0, memcmp(t, expectStart, sizeof expectStart));
            EXPECT_EQ(t[3 * 16 + 0], 1023);
            EXPECT_EQ(t[3 * 17 + 1], 64);
            EXPECT_EQ(t[3 * 289 + 2], 64);
            EXPECT_EQ(t[3 * (ENTRIES - 1) + 0], 1023);
            EXPECT_EQ(t[3 * (ENTRIES - 1) + 1], 1023);
            EXPECT_EQ(t[3 * (ENTRIES - 1) + 2], 1023);
            for (int b = 0; b < N; b++)
                for (int g = 0; g < N; g++)
                    for (int r = 0; r < N; r++) {
                        const uint16_t *e = lut.entry(r, g, b);
                        ASSERT_TRUE(e[0] == grid[r] && e[1] == grid[g] && e[2] == grid[b])
                            << "entry " << r << "," << g << "," << b;
                    }
        }
    }
}

TEST(Create3DLUT, UnsupportedPairsReturnOneWithTheRequantisedInput)
{
    struct pairCase {
        int tin, tout, rangeIn, rangeOut;
        int code[5]; /* outputs for grid codes 0, 64, 448, 512, 1023 */
    };
    const pairCase cases[] = {
        {SDR_TV, SDR_TV, NARROW_RANGE, NARROW_RANGE, {4, 64, 448, 512, 1019}},
        {SLog3, SLog3, NARROW_RANGE, FULL_RANGE, {0, 0, 448, 523, 1023}},
        {HLG, SLog3, FULL_RANGE, NARROW_RANGE, {64, 119, 448, 502, 940}},
        {PQ, SLog3, FULL_RANGE, FULL_RANGE, {0, 64, 448, 512, 1023}},
        {SDR_TV, SLog3, NARROW_RANGE, NARROW_RANGE, {4, 64, 448, 512, 1019}},
    };
    const int gridIndex[5] = {0, 1, 7, 8, 16};
    for (const pairCase &c : cases) {
        SCOPED_TRACE("tin " + std::to_string(c.tin) + " tout " + std::to_string(c.tout));
        hdr3DLutParams_t p = makeParams(c.tin, c.tout, Rec_709_601, Rec_709_601, c.rangeIn, c.rangeOut);
        LutBuffer lut(HDR_3DLUT_WORDS);
        EXPECT_EQ(create3DLUT(&p, lut.table()), 1);
        EXPECT_TRUE(lut.guardsIntact());
        for (int i = 0; i < 5; i++) {
            int k = gridIndex[i];
            const uint16_t *e = lut.entry(k, k, k);
            EXPECT_EQ(e[0], c.code[i]) << "grid index " << k;
            EXPECT_EQ(e[2], c.code[i]) << "grid index " << k;
        }
    }
}

/* SDI keeps codes 0-3 and 1020-1023 for its timing references. */
const int SDI_LOWEST_CODE = 4;
const int SDI_HIGHEST_CODE = 1019;

TEST(Create3DLUT, NarrowOutputClampsKeepCodesInTenBits)
{
    /* Narrow-range PQ input far above white and far below black, converted to
     * narrow HLG: clamped to the codes SDI allows. */
    hdr3DLutParams_t p = makeParams(PQ, HLG, Rec_2020, Rec_2020, NARROW_RANGE, NARROW_RANGE);
    LutBuffer lut(HDR_3DLUT_WORDS);
    ASSERT_EQ(create3DLUT(&p, lut.table()), 0);
    const uint16_t *t = lut.table();
    for (int i = 0; i < HDR_3DLUT_WORDS; i++) {
        ASSERT_GE(t[i], SDI_LOWEST_CODE) << "word " << i;
        ASSERT_LE(t[i], SDI_HIGHEST_CODE) << "word " << i;
    }
    /* Black stays at code 64 and full HLG signal at 940 (y = 1). */
    EXPECT_EQ(lut.entry(1, 1, 1)[1], 64);
    EXPECT_EQ(lut.entry(16, 16, 16)[1], 940);
}

TEST(Create3DLUT, NarrowInputBelowBlackCarriesNegativeValuesThrough)
{
    /* Code 0 of a narrow input is -16/219: HLG to HLG in the same gamut keeps it,
     * and the narrow output clamp puts it at the lowest legal code rather than 64. */
    hdr3DLutParams_t p = makeParams(HLG, HLG, Rec_2020, Rec_2020, NARROW_RANGE, NARROW_RANGE);
    LutBuffer lut(HDR_3DLUT_WORDS);
    ASSERT_EQ(create3DLUT(&p, lut.table()), 0);
    EXPECT_EQ(lut.entry(0, 0, 0)[0], SDI_LOWEST_CODE);
    EXPECT_EQ(lut.entry(1, 1, 1)[0], 64);
    EXPECT_EQ(lut.entry(8, 8, 8)[0], 512);
}

TEST(Create3DLUT, DegenerateSizesNeitherCrashNorOverrun)
{
    hdr3DLutParams_t p = makeParams(PQ, SDR_TV, Rec_2020, Rec_709_601, NARROW_RANGE, NARROW_RANGE);
    {
        SCOPED_TRACE("grid size 0");
        p.gridSize = 0;
        LutBuffer lut(3);
        EXPECT_EQ(create3DLUT(&p, lut.table()), 0);
        EXPECT_TRUE(lut.untouched());
    }
    {
        SCOPED_TRACE("grid size 1: the single point is code 0");
        p.gridSize = 1;
        LutBuffer lut(3);
        EXPECT_EQ(create3DLUT(&p, lut.table()), 0);
        EXPECT_TRUE(lut.guardsIntact());
        EXPECT_EQ(lut.entry(0, 0, 0, 1)[1], 64); /* below PQ black: no light, SDR black */
        hdr3DLutParams_t identity = makeParams(IDENTITY, PQ, Rec_2020, Rec_2020, NARROW_RANGE, NARROW_RANGE);
        identity.gridSize = 1;
        LutBuffer grid(3);
        EXPECT_EQ(create3DLUT(&identity, grid.table()), 0);
        EXPECT_TRUE(grid.guardsIntact());
        EXPECT_EQ(grid.entry(0, 0, 0, 1)[2], 0);
    }
    for (int bits : {0, -3, 17, 40}) {
        SCOPED_TRACE("bit depth " + std::to_string(bits));
        p.gridSize = N;
        p.bitDepth = bits;
        LutBuffer lut(HDR_3DLUT_WORDS);
        EXPECT_EQ(create3DLUT(&p, lut.table()), 1);
        EXPECT_TRUE(lut.untouched());
    }
    p.bitDepth = HDR_3DLUT_BIT_DEPTH;
    EXPECT_EQ(create3DLUT(nullptr, nullptr), 1);
}

/* The grey axis of a table must never get darker as the input gets brighter. */
void expectMonotonicGreyAxis(const hdr3DLutParams_t &p)
{
    LutBuffer lut(HDR_3DLUT_WORDS);
    ASSERT_EQ(create3DLUT(&p, lut.table()), 0);
    const uint16_t *t = lut.table();
    for (int i = 0; i < HDR_3DLUT_WORDS; i++) {
        ASSERT_GE(t[i], SDI_LOWEST_CODE) << "word " << i;
        ASSERT_LE(t[i], SDI_HIGHEST_CODE) << "word " << i;
    }
    for (int k = 1; k < N; k++)
        for (int c = 0; c < 3; c++)
            EXPECT_GE(lut.entry(k, k, k)[c], lut.entry(k - 1, k - 1, k - 1)[c]) << "grey step " << k << " channel " << c;
}

/* The whole table of a set of parameters. */
std::vector<uint16_t> tableOf(const hdr3DLutParams_t &p)
{
    LutBuffer lut(HDR_3DLUT_WORDS);
    EXPECT_EQ(create3DLUT(&p, lut.table()), 0);
    return std::vector<uint16_t>(lut.table(), lut.table() + HDR_3DLUT_WORDS);
}

/*
 * Where the highlight map is undefined (a target at or below the knee, a
 * source peak at the knee) the table is the one without the map. For PQ that
 * table comes from the same parameters with a source peak no brighter than the
 * target, where no compression is wanted. The S-Log3 map has no such setting
 * (its peaks are fixed), so its two undefined knees must give one table, which
 * differs from the table of a knee where the map is defined.
 */
TEST(Create3DLUT, ToneMapIsLeftOutWhereItIsUndefined)
{
    struct guardCase {
        const char *name;
        int tin, gin, diffuseWhite, inputNits;
        double referenceWhite;
        int plainInputNits;          /* the same table without the map: this source peak... */
        double plainReferenceWhite;  /* ...and this reference white */
    };
    const guardCase cases[] = {
        {"PQ, diffuse white below the reference white", PQ, Rec_2020, 50, 1000, 100.0, 50, 100.0},
        {"PQ, source peak at the knee", PQ, Rec_2020, 80, 100, 100.0, 80, 100.0},
        {"PQ, diffuse white at the knee", PQ, Rec_2020, 100, 1000, 100.0, 100, 100.0},
        {"S-Log3, knee at the target peak", SLog3, S_Gamut3, 100, 1000, 800.0, 1000, 9000.0},
        {"S-Log3, knee above both peaks", SLog3, S_Gamut3, 100, 1000, 9000.0, 1000, 800.0},
    };
    for (const guardCase &c : cases) {
        SCOPED_TRACE(c.name);
        hdr3DLutParams_t p = makeParams(c.tin, SDR_TV, c.gin, Rec_709_601, NARROW_RANGE, NARROW_RANGE);
        p.outputDiffuseWhite = c.diffuseWhite;
        p.inputNits = c.inputNits;
        p.inputReferenceWhite = c.referenceWhite;
        expectMonotonicGreyAxis(p);
        hdr3DLutParams_t plain = p;
        plain.inputNits = c.plainInputNits;
        plain.inputReferenceWhite = c.plainReferenceWhite;
        EXPECT_TRUE(tableOf(p) == tableOf(plain)) << "the table differs from the one without the map";
    }
    /* The comparison sees a map: where it is defined, the table changes. */
    hdr3DLutParams_t mapped = makeParams(PQ, SDR_TV, Rec_2020, Rec_709_601, NARROW_RANGE, NARROW_RANGE);
    hdr3DLutParams_t plain = mapped;
    plain.inputNits = mapped.outputDiffuseWhite;
    EXPECT_FALSE(tableOf(mapped) == tableOf(plain));
    hdr3DLutParams_t slog = makeParams(SLog3, SDR_TV, S_Gamut3, Rec_709_601, NARROW_RANGE, NARROW_RANGE);
    slog.outputDiffuseWhite = 100;
    hdr3DLutParams_t slogUndefined = slog;
    slogUndefined.inputReferenceWhite = 9000.0;
    EXPECT_FALSE(tableOf(slog) == tableOf(slogUndefined));
}

TEST(Create3DLUT, ToneMapCompressesHighlightsOnlyAboveTheKnee)
{
    /* A 1000 cd/m2 PQ source on a 203 cd/m2 SDR white: greys well below the
     * 100 cd/m2 knee come out as without the map, the peak lands below clipping. */
    hdr3DLutParams_t mapped = makeParams(PQ, SDR_TV, Rec_2020, Rec_709_601, NARROW_RANGE, NARROW_RANGE);
    hdr3DLutParams_t plain = mapped;
    plain.inputNits = 100; /* source peak under the target: no compression */
    LutBuffer a(HDR_3DLUT_WORDS), b(HDR_3DLUT_WORDS);
    ASSERT_EQ(create3DLUT(&mapped, a.table()), 0);
    ASSERT_EQ(create3DLUT(&plain, b.table()), 0);
    for (int k = 1; k <= 6; k++) /* PQ codes up to 384: below about 30 cd/m2 */
        EXPECT_EQ(a.entry(k, k, k)[1], b.entry(k, k, k)[1]) << "grey " << k;
    /* Grid 11 is about 800 cd/m2: clipped at the top legal code without the map,
     * below SDR white (940) with it, since only the 1000 cd/m2 peak reaches white. */
    EXPECT_EQ(b.entry(11, 11, 11)[1], SDI_HIGHEST_CODE);
    EXPECT_LT(a.entry(11, 11, 11)[1], 940);
    EXPECT_GT(a.entry(11, 11, 11)[1], a.entry(10, 10, 10)[1]);
    expectMonotonicGreyAxis(mapped);
}

TEST(HdrCalibrationRecords, ReadFromTheirTwelveBytes)
{
    /* The restore-point text 040201020100e80301000000, one byte per two digits. */
    const uint8_t inputBytes[12] = {0x04, 0x02, 0x01, 0x02, 0x01, 0x00, 0xe8, 0x03, 0x01, 0x00, 0x00, 0x00};
    hdrInputCalibration_t in;
    memcpy(&in, inputBytes, sizeof in);
    EXPECT_EQ(in.slotId, 4);
    EXPECT_EQ(in.videoInput, 2);
    EXPECT_EQ(in.inputMode, AUTO);
    EXPECT_EQ(in.transferFunction, PQ);
    EXPECT_EQ(in.colorGamut, Rec_2020);
    EXPECT_EQ(in.colorModel, Y_Cb_Cr);
    EXPECT_EQ(in.nits, 1000);
    EXPECT_EQ(in.range, NARROW_RANGE);

    const uint8_t headBytes[12] = {0x05, 0x01, 0x02, 0x01, 0x00, 0x01, 0x10, 0x27, 0x90, 0x01, 0xcb, 0x00};
    hdrHeadCalibration_t head;
    memcpy(&head, headBytes, sizeof head);
    EXPECT_EQ(head.slotId, 5);
    EXPECT_EQ(head.physicalHead, 1);
    EXPECT_EQ(head.transferFunction, PQ);
    EXPECT_EQ(head.colorGamut, Rec_2020);
    EXPECT_EQ(head.range, NARROW_RANGE);
    EXPECT_EQ(head.maxCll, 10000);
    EXPECT_EQ(head.maxFall, 400);
    EXPECT_EQ(head.diffuseWhite, 203);

    uint8_t back[12];
    memcpy(back, &head, sizeof back);
    EXPECT_EQ(0, memcmp(back, headBytes, sizeof back));
}

} // namespace

namespace {

/* Light of one normalised input code: below zero means below black. */
bool inputBelowBlack(const hdr3DLutParams_t &p, int code)
{
    double v = p.inputRange == NARROW_RANGE ? (code - 64.0) / 876.0 : code / 1023.0;
    if (p.inputTransferFunction == SLog3)
        return 1023.0 * v < 95.0; /* S-Log3 code 95 is zero light */
    return v < 0;
}

struct monotonicityReport_t {
    int falls = 0;
    int worst = 0;
    std::string where;
};

/* Steps along one input axis where the same output channel falls. */
monotonicityReport_t findFalls(const hdr3DLutParams_t &p)
{
    LutBuffer lut(HDR_3DLUT_WORDS);
    monotonicityReport_t report;
    if (create3DLUT(&p, lut.table()) != 0)
        return report;
    const int grid[N] = {0, 64, 128, 192, 256, 320, 384, 448, 512, 576, 640, 704, 768, 832, 896, 960, 1023};
    for (int axis = 0; axis < 3; axis++)
        for (int b = 0; b < N; b++)
            for (int g = 0; g < N; g++)
                for (int r = 0; r < N; r++) {
                    int at[3] = {r, g, b};
                    if (at[axis] == N - 1)
                        continue;
                    bool black = false;
                    for (int c = 0; c < 3; c++)
                        black = black || inputBelowBlack(p, grid[at[c]]);
                    if (black)
                        continue;
                    int next[3] = {r, g, b};
                    next[axis]++;
                    int before = lut.entry(at[0], at[1], at[2])[axis];
                    int after = lut.entry(next[0], next[1], next[2])[axis];
                    if (after >= before)
                        continue;
                    report.falls++;
                    if (before - after > report.worst) {
                        report.worst = before - after;
                        report.where = "(" + std::to_string(r) + "," + std::to_string(g) + "," + std::to_string(b) +
                                       ") axis " + std::to_string(axis);
                    }
                }
    return report;
}

/* Every table the reference cases and the guard cases build. */
std::vector<std::pair<std::string, hdr3DLutParams_t>> everyPipelineRow()
{
    std::vector<std::pair<std::string, hdr3DLutParams_t>> rows;
    for (const refCase_t &c : referenceCases) {
        hdr3DLutParams_t p = makeParams(c.tin, c.tout, c.gin, c.gout, c.rangeIn, c.rangeOut);
        p.outputDiffuseWhite = c.diffuseWhite;
        p.outputMaxCll = c.maxCll;
        p.inputNits = c.inputNits;
        p.inputReferenceWhite = c.referenceWhite;
        rows.push_back({c.name, p});
    }
    const int transfers[][2] = {{SDR_TV, PQ}, {SDR_TV, HLG}, {HLG, SDR_TV}, {HLG, PQ}, {HLG, HLG}, {PQ, PQ},
                                {PQ, HLG},    {PQ, SDR_TV}, {SLog3, SDR_TV}, {SLog3, PQ}, {SLog3, HLG}};
    const int gamuts[][2] = {{Rec_709_601, Rec_709_601}, {Rec_709_601, Rec_2020}, {Rec_2020, Rec_709_601},
                             {Rec_2020, Rec_2020}, {S_Gamut3, Rec_709_601}, {S_Gamut3, Rec_2020}};
    for (const auto &t : transfers)
        for (const auto &g : gamuts)
            for (int range = 0; range < 4; range++) {
                if ((g[0] == S_Gamut3) != (t[0] == SLog3))
                    continue;
                hdr3DLutParams_t p = makeParams(t[0], t[1], g[0], g[1], range & 1, range >> 1);
                rows.push_back({"tin " + std::to_string(t[0]) + " tout " + std::to_string(t[1]) + " gin " +
                                    std::to_string(g[0]) + " gout " + std::to_string(g[1]) + " ranges " +
                                    std::to_string(range),
                                p});
            }
    return rows;
}

TEST(Create3DLUT, EveryTableRisesWithEachInputChannelAboveBlack)
{
    for (const auto &row : everyPipelineRow()) {
        monotonicityReport_t r = findFalls(row.second);
        EXPECT_EQ(r.falls, 0) << row.first << ": worst fall " << r.worst << " codes at " << r.where;
    }
}

TEST(Create3DLUT, EveryNarrowTableStaysWithinTheSdiLegalCodes)
{
    for (const auto &row : everyPipelineRow()) {
        if (row.second.outputRange != NARROW_RANGE)
            continue;
        LutBuffer lut(HDR_3DLUT_WORDS);
        ASSERT_EQ(create3DLUT(&row.second, lut.table()), 0) << row.first;
        const uint16_t *t = lut.table();
        for (int i = 0; i < HDR_3DLUT_WORDS; i++)
            ASSERT_TRUE(t[i] >= SDI_LOWEST_CODE && t[i] <= SDI_HIGHEST_CODE) << row.first << " word " << i << " is " << t[i];
    }
}

TEST(Create3DLUT, NarrowClampFollowsTheBitDepth)
{
    /* The lowest and highest 2^(B-8) codes are reserved at every depth. */
    const struct {
        int bits, lowest, highest;
    } cases[] = {{8, 1, 254}, {10, 4, 1019}, {12, 16, 4079}};
    for (const auto &c : cases) {
        SCOPED_TRACE("bit depth " + std::to_string(c.bits));
        /* An unsupported pair passes the two grid codes through the output clamp. */
        hdr3DLutParams_t p = makeParams(SDR_TV, SDR_TV, Rec_709_601, Rec_709_601, NARROW_RANGE, NARROW_RANGE);
        p.gridSize = 2;
        p.bitDepth = c.bits;
        LutBuffer lut(3 * 8);
        EXPECT_EQ(create3DLUT(&p, lut.table()), 1);
        EXPECT_TRUE(lut.guardsIntact());
        EXPECT_EQ(lut.entry(0, 0, 0, 2)[0], c.lowest);
        EXPECT_EQ(lut.entry(1, 1, 1, 2)[0], c.highest);
    }
}

} // namespace
