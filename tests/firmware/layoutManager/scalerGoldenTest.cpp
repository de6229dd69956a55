/*
 * Layouts replayed through the layout manager end as the register writes of
 * the scaler blocks, the output arbiter, the deinterlacers, the positioner,
 * the layer tables and the update strobes in the card emulator. The expected
 * values are worked out by hand for each layout (see the comments).
 */

#include "ScalerTestSupport.h"

using namespace layoutTest;

namespace {

/* What one scaler block is programmed with. */
struct Block {
    uint32_t id, inputNb, width, lines;      /* input width, lines per field or frame */
    uint32_t readStart, readEnd, firstLine;  /* readEnd is exclusive; firstLine of the input format */
    uint32_t readWidth, filter, bypass;
    uint32_t vUp, vCoef, vInc, vPhase2;
    uint32_t reserve, outH;
    uint32_t hUp, hCoef, hInc, scaled, offset;
};

std::vector<Write> setUpWrites(const Block &b)
{
    uint32_t base = 6144 + 64 * b.id;
    return {{base + 8, 0},  {base + 1, 0},  {base + 0, (uint16_t)b.inputNb}, {base + 11, 0},
            {base + 12, 0}, {base + 13, (uint16_t)(b.width - 1)}, {base + 14, 0},
            {base + 15, (uint16_t)(b.lines - 1)}, {base + 8, 1}};
}

std::vector<Write> programWrites(const Block &b)
{
    uint32_t base = 6144 + 64 * b.id;
    auto v = [](uint32_t x) { return (uint16_t)x; };
    return {{base + 0, v(b.inputNb)},
            {base + 2, v(b.readStart)},
            {base + 3, v(b.readEnd - 1)},
            {base + 4, v(b.firstLine)},
            {base + 5, v(b.lines - 1 + b.firstLine)},
            {base + 1, 1},
            {base + 11, 0},
            {base + 12, 0},
            {base + 13, v(b.readWidth - 1)},
            {base + 14, 0},
            {base + 15, v(b.lines - 1)},
            {base + 8, 1},
            {base + 8, v(b.filter)},
            {base + 17, v(b.bypass)},
            {base + 28, 1},
            {base + 18, v(b.vUp)},
            {base + 19, v(b.vCoef)},
            {base + 20, v(b.vInc & 0xFFFF)},
            {base + 21, v(b.vInc >> 16)},
            {base + 22, 0},
            {base + 23, 0xff},
            {base + 24, v(b.vPhase2 & 0xFFFF)},
            {base + 25, v(b.vPhase2 >> 16)},
            {base + 26, v(b.readWidth)},
            {base + 27, v(b.reserve)},
            {base + 29, v(b.outH)},
            {base + 30, 0},
            {base + 31, v(b.outH)},
            {base + 32, 1},
            {base + 33, v(b.hUp)},
            {base + 34, v(b.hCoef)},
            {base + 35, v(b.hInc & 0xFFFF)},
            {base + 36, v(b.hInc >> 16)},
            {base + 37, 0},
            {base + 38, 0xff},
            {base + 39, v(b.readWidth)},
            {base + 40, v(b.scaled)},
            {base + 41, 0},
            {base + 42, v(b.offset)},
            {base + 43, v(b.scaled)}};
}

/* A layer window shown in a quadrant: coordinates, attributes, id, the other layer off, the active area. */
struct Shown {
    uint32_t scaler, quadrant, xFb, yFb, attributes, hs, he, vs, ve;
};

std::vector<Write> shownWrites(const Shown &s)
{
    uint32_t layerWindow = s.scaler + 18 * s.quadrant;
    uint32_t base = 6144 + 10 * s.scaler + 512 * s.quadrant;
    uint32_t coordinates = 8 * (layerWindow + 512);
    auto v = [](uint32_t x) { return (uint16_t)x; };
    return {{coordinates + 2, v(s.xFb)}, {coordinates + 3, v(s.yFb)}, {base + 8, v(s.attributes)},
            {base + 9, v(layerWindow)}, {base + 90 + 8, 0},           {base + 0, v(s.hs)},
            {base + 1, v(s.he)},         {base + 2, v(s.vs)},         {base + 3, v(s.ve)},
            {base + 4, v(s.hs)},         {base + 5, v(s.he)},         {base + 6, v(s.vs - 1)},
            {base + 7, v(s.ve - 1)}};
}

std::vector<Write> hiddenWrites(uint32_t scaler, uint32_t quadrant)
{
    uint32_t base = 6144 + 10 * scaler + 512 * quadrant;
    std::vector<Write> out = {{base + 8, 0}, {base + 9, (uint16_t)(scaler + 18 * quadrant)}};
    for (uint32_t r = 0; r < 8; r++)
        out.push_back({base + r, 0});
    return out;
}

/* Both layers' attributes of every scaler not in use, in all four quadrants. */
std::vector<Write> unusedOff(uint32_t usedMask)
{
    std::vector<Write> out;
    for (uint32_t id = 0; id < 9; id++) {
        if (usedMask & (1u << id))
            continue;
        for (uint32_t q = 0; q < 4; q++)
            for (uint32_t layer = 0; layer < 2; layer++)
                out.push_back({6144 + 90 * layer + 10 * id + 512 * q + 8, 0});
    }
    return out;
}

std::vector<Write> layerTables(const std::vector<std::pair<uint32_t, uint32_t>> &scalerQuadrants)
{
    std::vector<Write> out;
    for (uint32_t a = 5120; a < 5136; a++)
        out.push_back({a, 0});
    for (auto sq : scalerQuadrants)
        out.push_back({5248 + 18 * sq.second + sq.first, (uint16_t)(sq.first + 512)});
    return out;
}

const std::vector<Write> strobes = {{6324, 1}, {6836, 1}, {7348, 1}, {7860, 1}};

std::vector<Write> cat(std::initializer_list<std::vector<Write>> parts)
{
    std::vector<Write> out;
    for (const auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

class ScalerGolden : public ScalerFixture {
protected:
    void SetUp() override
    {
        ScalerFixture::SetUp();
        input(lockedInput(0, 12, 1920, 1080, 1));    /* 1080p, first active line 20 */
        input(lockedInput(1, 11, 1920, 540, 0));     /* 1080i fields, first active line 41 */
        for (int head = 0; head < 4; head++)
            send(headResolution(head));
        cardsimClearLogs();
    }
};

/* One window on head 0, its scaler block and what the positioner side writes. */
struct OneWindow {
    const char *name;
    WindowPlacement window;
    Block block;
    std::vector<Write> (*fsm)();
};

void PrintTo(const OneWindow &c, std::ostream *os) { *os << c.name; }

class ScalerGoldenOneWindow : public ScalerGolden, public ::testing::WithParamInterface<OneWindow> {};

TEST_P(ScalerGoldenOneWindow, ProgramsItsScalerAndPositioner)
{
    const OneWindow &c = GetParam();
    send(windowLayout(0, c.window));
    send(applyLayout(0, 1));
    EXPECT_EQ(writesOf(DPS), cat({setUpWrites(c.block), programWrites(c.block), {{7168, 1}, {7200, 0}, {7216, 0}}}));
    EXPECT_EQ(layoutWritesOf(FSM), c.fsm());
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ScalerGoldenOneWindow,
    ::testing::Values(
        /*
         * 1920 x 1080 progressive shown 1920 x 1080 at 0,0 of head 0: scaler 0 in
         * bypass, increments 0, upscaling flags 1 (ratio 1), reserve 2048 - 1920.
         * Positioner quadrant 0: x 0-1920, lines 42 (VANC) to 1122.
         */
        OneWindow{"OneWindowBypass",
                  {0, OWN_SLOT, 0, 1920, 1080, 0, 0, 1920, 1080},
                  {0, 0, 1920, 1080, 0, 1920, 20, 1920, 1, 1, 1, 0, 0, 0, 128, 1080, 1, 0, 0, 1920, 0},
                  [] {
                      return cat({shownWrites({0, 0, 0, 0, 1, 0, 1920, 42, 1122}), hiddenWrites(0, 1),
                                  hiddenWrites(0, 2), hiddenWrites(0, 3), unusedOff(1), layerTables({{0, 0}}),
                                  strobes});
                  }},
        /*
         * 1920 x 1080 shown 960 x 540 at 100,200: ratio 0.5 both ways, coefficient
         * set 5, increments 1.0 (262144 = 0x40000), no bypass; area x 100-1060,
         * lines 242-782.
         */
        OneWindow{"DownscaledWindow",
                  {5, OWN_SLOT, 0, 960, 540, 100, 200, 960, 540},
                  {0, 0, 1920, 1080, 0, 1920, 20, 1920, 1, 0, 0, 5, 0x40000, 0, 128, 540, 0, 5, 0x40000, 960, 0},
                  [] {
                      return cat({shownWrites({0, 0, 0, 0, 1, 100, 1060, 242, 782}), hiddenWrites(0, 1),
                                  hiddenWrites(0, 2), hiddenWrites(0, 3), unusedOff(1), layerTables({{0, 0}}),
                                  strobes});
                  }},
        /*
         * A window 1920 wide of 3840 on head 0 (horizontal span, head 0 is its
         * top-left head): scaled to the full 3840, so the horizontal increment is
         * -0.5 (ceil(-131072 - 1) + 2^24 = 0xFDFFFF) and the scaler upscales. It is
         * shown in quadrant 0 and in quadrant 2 (head 2's side): start 0 since 1920
         * is a multiple of 24, end 3840 - 1920, frame-buffer x advanced by 1920 / 24.
         * A spanning window is reprogrammed with its attributes (detail enhancer 0).
         */
        OneWindow{"WindowSpanningTwoHeads",
                  {0, OWN_SLOT, 0, 1920, 1080, 0, 0, 3840, 1080},
                  {0, 0, 1920, 1080, 0, 1920, 20, 1920, 1, 0, 1, 0, 0, 0, 128, 1080, 1, 0, 0xFDFFFF, 3840, 0},
                  [] {
                      return cat({shownWrites({0, 0, 0, 0, 1, 0, 1920, 42, 1122}), hiddenWrites(0, 1),
                                  shownWrites({0, 2, 80, 0, 1, 0, 1920, 42, 1122}), hiddenWrites(0, 3),
                                  unusedOff(1), layerTables({{0, 0}, {0, 2}}), {{6152, 1}, {7176, 1}}, strobes});
                  }}),
    [](const ::testing::TestParamInfo<OneWindow> &info) { return std::string(info.param.name); });

/*
 * A progressive window on input 0 (scaler 0) and a 1080i window on input 1
 * (scaler 1) shown 1920 x 1080: the interlaced one is shown at twice its
 * field height, so it takes deinterlacer 1 (4 of 16 units). Its scaler reads
 * 540 lines per field, scales 1080 lines (bypass), filter 3 + 16, second
 * vertical phase 0; the reserve 540 x 2048 / 1080 - 1920 is negative and
 * written 0. Buffer set-up at 7424 + 16: 600 x 1.
 */
TEST_F(ScalerGolden, InterlacedWindowWithDeinterlacer)
{
    send(windowLayout(0, {0, OWN_SLOT, 0, 960, 540, 0, 0, 960, 540}));
    send(windowLayout(0, {1, OWN_SLOT, 1, 1920, 1080, 0, 0, 1920, 1080}));
    send(applyLayout(0, 2));
    Block progressive = {0, 0, 1920, 1080, 0, 1920, 20, 1920, 1, 0, 0, 5, 0x40000, 0, 128, 540, 0, 5, 0x40000, 960, 0};
    Block interlaced = {1, 1, 1920, 540, 0, 1920, 41, 1920, 19, 1, 1, 0, 0, 0, 0, 1080, 1, 0, 0, 1920, 0};
    EXPECT_EQ(writesOf(DPS),
              cat({setUpWrites(progressive), setUpWrites(interlaced), programWrites(progressive),
                   programWrites(interlaced),
                   {{7168, 3}, {7200, 0}, {7216, 0}, {7201, 1}, {7217, 1}, {7440, 0}, {7441, 600}, {7442, 0},
                    {7443, 600}, {7448, 256}, {7449, 600}, {7450, 256}, {7451, 600}}}));
    const deinterlacerEntry_t *entry = layoutManagerDpmEntry(1);
    EXPECT_EQ(entry->head, 0);
    EXPECT_EQ(entry->winId, 1);
    EXPECT_EQ(entry->format, 1);
    EXPECT_EQ(layoutManagerDpmEntry(0)->head, DEINTERLACER_FREE);
}

/*
 * The same window on head 2 is not its top-left head (logical 2): left out,
 * so head 2 programs no scaler and only switches every scaler's layers off.
 */
TEST_F(ScalerGolden, SpanningWindowLeftOutOfOtherHead)
{
    send(windowLayout(2, {0, OWN_SLOT, 0, 1920, 1080, 0, 0, 3840, 1080}));
    send(applyLayout(2, 1));
    EXPECT_EQ(writesOf(DPS), std::vector<Write>({{7168, 0}}));
    EXPECT_EQ(layoutWritesOf(FSM), cat({unusedOff(0), layerTables({}), strobes}));
}

/*
 * A 3840 x 2160 window over the four heads (full height above 1080, so it is
 * stitched): head 0 keeps the middle part, V0 = 540, part y 540, part height
 * 1080 - 540, part full width 1920, cut (3840 - 1920) / 2 = 960, part x 960,
 * width 960. The scaler takes the whole input to 1920 x 1080 (bypass) and the
 * four quadrants show: 0 x 960-1920 lines 582-1122; 2 (right) x 0-960 at
 * frame-buffer x 40; 1 (below) lines 42-582 at frame-buffer y 540; 3 both.
 */
TEST_F(ScalerGolden, FullFourHeadSpan)
{
    send(windowLayout(0, {0, OWN_SLOT, 0, 1920, 1080, 0, 0, 3840, 2160}));
    send(applyLayout(0, 1));
    Block b = {0, 0, 1920, 1080, 0, 1920, 20, 1920, 1, 1, 1, 0, 0, 0, 128, 1080, 1, 0, 0, 1920, 0};
    EXPECT_EQ(writesOf(DPS), cat({setUpWrites(b), programWrites(b), {{7168, 1}, {7200, 0}, {7216, 0}}}));
    EXPECT_EQ(layoutWritesOf(FSM),
              cat({shownWrites({0, 0, 0, 0, 1, 960, 1920, 582, 1122}), shownWrites({0, 1, 0, 540, 1, 960, 1920, 42, 582}),
                   shownWrites({0, 2, 40, 0, 1, 0, 960, 582, 1122}), shownWrites({0, 3, 40, 540, 1, 0, 960, 42, 582}),
                   unusedOff(1), layerTables({{0, 0}, {0, 1}, {0, 2}, {0, 3}}),
                   {{6152, 1}, {6664, 1}, {7176, 1}, {7688, 1}}, strobes}));
}

/* Each head's own instance programs its windows: heads 1-3 are programmed too, in their own quadrant. */
TEST_F(ScalerGolden, EveryHeadProgramsItsWindows)
{
    for (int head = 1; head < 4; head++) {
        SCOPED_TRACE(head);
        cardsimClearLogs();
        send(windowLayout(head, {head, OWN_SLOT, 0, 1920, 1080, 0, 0, 1920, 1080}));
        send(applyLayout(head, 1));
        uint32_t scaler = (uint32_t)head - 1;
        std::vector<Write> dps = writesOf(DPS, 6144 + 64 * scaler, 6144 + 64 * scaler + 43);
        ASSERT_FALSE(dps.empty());
        std::vector<Write> area;
        for (const Write &w : writesOf(FSM))
            if (w.address == 6144 + 10 * scaler + 512 * (uint32_t)head + 1)
                area.push_back(w);
        EXPECT_EQ(area, std::vector<Write>({{6144 + 10 * scaler + 512 * (uint32_t)head + 1, 1920}}));
        EXPECT_EQ(layoutManagerSysResMngtHeadData((uint32_t)head)->post.newDataFlag, (uint32_t)SRM_NEW_DATA_START);
    }
}

} // namespace
