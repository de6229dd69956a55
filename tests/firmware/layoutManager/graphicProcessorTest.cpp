/*
 * The graphic processor on the card emulator: its init writes, the graphics
 * mixer by resolution and rotation, the video mixer of rotated heads in 4k
 * mode, and the cards that leave it alone.
 */

#include "OutputStageTestSupport.h"

using namespace layoutTest;

namespace {

const std::vector<Write> initWrites = {{0x1048, 0},  {0x1049, 2560}, {0x1050, 128}, {0x1051, 2560}, {0x14C8, 9},
                                       {0x1242, 0},  {0x1243, 2560}, {0x14C9, 10},  {0x124A, 128},  {0x124B, 2560}};

/*
 * Mixer block, mixer flags and video mixer block of head 0, 1, or both (-1).
 * The writer/reader enables are left out: the scaler's frame-buffer set-up
 * writes them too.
 */
std::vector<Write> gfxWrites(int head = -1)
{
    if (head < 0)
        return fsmWritesAt({{0x1500, 0x151F}, {0x18020, 0x1803F}});
    uint32_t h = 16 * (uint32_t)head;
    return fsmWritesAt({{0x1500 + h, 0x1508 + h}, {0x18020 + h, 0x18028 + h}});
}

/* The FSM writes at exactly these addresses, in order. */
std::vector<Write> writesAtAddresses(const std::vector<Write> &addresses)
{
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    for (const Write &w : addresses)
        ranges.push_back({w.address, w.address});
    return fsmWritesAt(ranges);
}

std::vector<Write> block(uint32_t base, const std::vector<uint16_t> &values)
{
    std::vector<Write> out;
    for (size_t i = 0; i < values.size(); i++)
        out.push_back({base + (uint32_t)i, values[i]});
    return out;
}

std::vector<Write> cat(std::initializer_list<std::vector<Write>> parts)
{
    std::vector<Write> out;
    for (const auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}


class GraphicProcessor : public OutputFixture {};

TEST_F(GraphicProcessor, InitWritesTenRegistersInOrder)
{
    deviceSubmoduleInstance *instance = findInstance(&graphicProcessorSubmodule, 1);
    ASSERT_NE(instance, nullptr);
    cardsimClearLogs();
    layoutEventInfo event = {};
    graphicProcessorSubmodule.init(instance, &event, nullptr);
    EXPECT_EQ(writesOf(FSM), initWrites);
}

TEST_F(GraphicProcessor, UnrotatedHeadsProgramTheMixerOnce)
{
    send(headResolutionOf(0, R1080P_5994));
    storeResolution(1, R720P_5994);
    cardsimFpgaSet(FSM, 0xCD2, 0);
    cardsimFpgaSet(FSM, 0xCD6, 0);
    size_t mark = log().mark();
    restart();
    const std::vector<Write> both = cat({block(0x1500, {0, 1920, 42, 1122, 0, 1920, 41, 1121}),
                                         {{0x18028, 0}, {0x1508, 1}},
                                         block(0x1510, {0, 1280, 26, 747, 0, 1280, 25, 746}),
                                         {{0x18038, 0}, {0x1518, 1}}});
    EXPECT_EQ(gfxWrites(), both);
    for (uint32_t enable : {0xCC1u, 0xCD2u, 0xCC4u, 0xCD6u})
        EXPECT_EQ(fsm(enable), 1) << enable;
    EXPECT_NE(log().since(mark).find("GRAPHIC_PROCESSOR: HEAD 1. Enabling Writer/Reader."), std::string::npos);
    EXPECT_TRUE(log().contains("GRAPHIC_PROCESSOR: HEAD 0. Setting up GFX Mixer output to resolution 1080."));
    EXPECT_TRUE(log().contains("GRAPHIC_PROCESSOR: HEAD 1. Setting up GFX Mixer output to resolution 720."));

    /* A resolution event that keeps the code and the rotation, then APPLY: nothing. */
    cardsimClearLogs();
    Resolution moved = R1080P_5994;
    moved.hOffset = 8;
    send(headResolutionOf(0, moved));
    send(applyLayout(0, 0));
    EXPECT_TRUE(gfxWrites().empty());

    /* The genlock frame-rate event always reprograms. */
    uint16_t rate = 5994;
    layoutTargetSpecificEvent(GENLOCK_SYSTEM_FRAME_RATE_EVENT, &rate, sizeof rate);
    drain();
    EXPECT_EQ(gfxWrites(), both);
}

/*
 * Rotated heads: mixer M+0..7 = 32, 32 + vA, 77, hA + 77, 32, 32 + vA, 76,
 * hA + 76; video mixer V+0/V+4 start at 0 (head 0 rotation 1, head 1
 * rotation 2) or at (T - k) mod T, with k = 8 in 4k mode and T = 2200 in
 * the 59.94 family, 2640 at 50 Hz.
 */
TEST_F(GraphicProcessor, RotatedHeadsProgramTheVideoMixer)
{
    struct Case {
        const char *name;
        int head;
        uint8_t rotation;
        uint32_t mode4k, rate;
        uint16_t start, end;
        uint16_t flags;
    } cases[] = {
        {"head 0 rotation 2, 4k, 5994", 0, 2, 1, 5994, 2192, 1920, 7},
        {"head 0 rotation 1, 4k, 5994", 0, 1, 1, 5994, 0, 1928, 3},
        {"head 1 rotation 1, 4k, 5000", 1, 1, 1, 5000, 2632, 1920, 3},
        {"head 1 rotation 2, no 4k, 5000", 1, 2, 0, 5000, 0, 1920, 7},
        {"head 0 rotation 2, no 4k, 5994", 0, 2, 0, 5994, 0, 1920, 7},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        targetSet4kMode(c.mode4k);
        setSystemFrameRate(c.rate);
        send(headResolutionOf(c.head, rotated(c.rate == 5000 ? R1080P_5000 : R1080P_5994, c.rotation)));
        cardsimClearLogs();
        uint32_t h = 16 * (uint32_t)c.head;
        targetEvent4kModeChanged(c.mode4k);
        drain();
        std::vector<Write> expected =
            cat({block(0x1500 + h, {32, 1112, 77, 1997, 32, 1112, 76, 1996}),
                 block(0x18020 + h, {c.start, c.end, 38, 1118, c.start, c.end, 37, 1117}),
                 {{0x18028 + h, c.flags}, {0x1508 + h, 1}}});
        EXPECT_EQ(gfxWrites(c.head), expected);
    }
}

/* A rotated layout leaves bits in the mixer flags: an unrotated 720p output clears them. */
TEST_F(GraphicProcessor, Unrotated720pClearsTheRotationFlags)
{
    send(headResolutionOf(0, rotated(R1080P_5994, 2)));
    restart();
    EXPECT_EQ(fsm(0x18028), 7);
    storeResolution(0, R720P_5994);
    restart();
    EXPECT_EQ(fsm(0x18028), 0);
    EXPECT_EQ(fsm(0x1501), 1280);
}

TEST_F(GraphicProcessor, CardsBeyondSlotIndexOneOnlyInit)
{
    for (uint32_t slot : {2u, 3u}) {
        SCOPED_TRACE(slot);
        cardInSlot(slot);
        send(headResolutionOf(0, slot == 2 ? R1080P_5994 : rotated(R1080P_5994, 1)));
        restart();
        uint16_t rate = 5994;
        layoutTargetSpecificEvent(GENLOCK_SYSTEM_FRAME_RATE_EVENT, &rate, sizeof rate);
        drain();
        EXPECT_TRUE(gfxWrites().empty());
        /* The init writes still happen, on both instances (0x14C8 and 0x14C9 are the graphic processor's alone). */
        EXPECT_EQ(writesAtAddresses({{0x14C8, 0}, {0x14C9, 0}}),
                  std::vector<Write>({{0x14C8, 9}, {0x14C9, 10}, {0x14C8, 9}, {0x14C9, 10}}));
    }
}

} // namespace
