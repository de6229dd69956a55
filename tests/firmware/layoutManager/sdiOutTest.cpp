/*
 * The SDI output sub-module on the card emulator: the format and rotation
 * format registers by resolution, sdiRes, system rate, card and head; merge,
 * anti-flicker, colour bars and flywheel; the output phase.
 */

#include "OutputStageTestSupport.h"

using namespace layoutTest;

namespace {

uint32_t sdiBase(int head)
{
    return 0x880 + 0x20 * (uint32_t)head;
}

/* The SDI registers of a head (its block without the audio monitoring's two words at +3 and +4). */
std::vector<Write> sdiWrites(int head)
{
    uint32_t base = sdiBase(head);
    return fsmWritesAt({{base, base + 2}, {base + 8, base + 15}});
}

class SdiOut : public OutputFixture {};

/*
 * The values the format registers end with after the forced layout. 1080i
 * on heads 0/1 of cards in slot index 0/1 carries bit 15, and bit 14 once the
 * phase moved vload up (the 1080i defaults vload 2 or 3 move back by twice
 * 2259 pixel clocks at 5994 into the last line 1125). Rotated heads put the
 * code into the rotation format and 381/509 into the format register.
 */
TEST_F(SdiOut, FormatRegistersByResolutionRateCardAndHead)
{
    struct Case {
        const char *name;
        uint32_t slot;
        int head;
        Resolution resolution;
        uint32_t systemRate;
        uint16_t format, rotationFormat, pattern;
    } cases[] = {
        {"720p 60Hz", 0, 0, R720P_5994, 5994, 49, 0, 0},
        {"720p at the 1080 clock: 1080i with colour bars", 0, 0, R720P_5994_WRONG_CLOCK, 5994, 0xC065, 0, 1},
        {"720p at the 1080 clock on head 2: no bars there", 0, 2, R720P_5994_WRONG_CLOCK, 5994, 0x65, 0, 0},
        {"1080i 60Hz head 2", 0, 2, R1080I_5994, 5994, 0x65, 0, 0},
        {"1080i 50Hz head 1, vload not raised", 0, 1, R1080I_5000, 5000, 0x80C5, 0, 0},
        {"1080i 60Hz on a card in slot index 2", 2, 0, R1080I_5994, 5994, 0x65, 0, 0},
        {"1080i 60Hz on a card in slot index 1", 1, 1, R1080I_5994, 5994, 0xC065, 0, 0},
        {"1080p 60Hz", 0, 0, R1080P_5994, 5994, 101, 0, 0},
        {"1080p 50Hz head 3", 0, 3, R1080P_5000, 5000, 197, 0, 0},
        {"rotated 1080p at 5000", 0, 0, rotated(R1080P_5000, 1), 5000, 509, 197, 0},
        {"rotated 1080p at 5994", 0, 1, rotated(R1080P_5994, 2), 5994, 381, 101, 0},
        {"undefined system rate counts as 59.94", 0, 0, R1080P_5994, 6000, 101, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        cardInSlot(c.slot);
        setSystemFrameRate(c.systemRate);
        storeResolution(c.head, c.resolution);
        restart();
        uint32_t base = sdiBase(c.head);
        EXPECT_EQ(fsm(base + 1), c.format);
        EXPECT_EQ(fsm(0x88F + 0x20 * (uint32_t)c.head), c.rotationFormat);
        EXPECT_EQ(fsm(base + 2), c.pattern);
    }
    EXPECT_TRUE(log().contains("SDI-OUT: Head 0 Genlock is reporting an undefined frame rate. Defaulting to 59.94 Hz."));
    EXPECT_TRUE(log().contains("SDI-OUT: Head 0 Since resolution is not valid, the sdi out is defaulting to 1080i and "
                               "color bar is activated."));
    EXPECT_TRUE(log().contains("SDI-OUT: Head 0 Setting SDI-Out format to 720p 60Hz. Reg value 0x31 [offset 0x1]"));
}

/* A forced layout writes every register once; an unchanged value is never written again. */
TEST_F(SdiOut, RegistersAreWrittenOnlyWhenTheirValueChanges)
{
    send(headResolutionOf(2, R1080P_5994));
    send(headAttributesOf(2, {}));
    restart();
    uint32_t base = sdiBase(2);
    EXPECT_EQ(sdiWrites(2), std::vector<Write>({{base + 8, 0x0801},
                                                {base + 2, 0},
                                                {base + 9, 254},
                                                {base + 10, 1},
                                                {base + 11, 0},
                                                {base + 12, 0},
                                                {base + 13, 0},
                                                {base + 14, 0},
                                                {base + 0, 0},
                                                {base + 1, 101},
                                                {0x88F + 0x40, 0}}));

    /* Only the offset changes: resolution and attributes apply again and write nothing. */
    cardsimClearLogs();
    Resolution moved = R1080P_5994;
    moved.hOffset = 4;
    send(headResolutionOf(2, moved));
    send(headAttributesOf(2, {1, 1, 0, 0, 9}));
    send(applyLayout(2, 0));
    EXPECT_TRUE(sdiWrites(2).empty());

    /* Resolution and attributes in one layout: both reach the registers. */
    send(headResolutionOf(2, R1080I_5994));
    send(headAttributesOf(2, {1, 0, 1, 0, 0}));
    send(applyLayout(2, 0));
    EXPECT_EQ(fsm(base + 1), 0x65);
    EXPECT_EQ(fsm(base + 9), 192);
}

TEST_F(SdiOut, AntiFlickerLevels)
{
    send(headResolutionOf(0, R1080P_5994));
    restart();
    uint32_t base = sdiBase(0);

    cardsimClearLogs();
    send(headAttributesOf(0, {1, 0, 2, 0, 0}));
    send(applyLayout(0, 0));
    EXPECT_EQ(fsmWritesAt({{base + 9, base + 14}}),
              std::vector<Write>({{base + 9, 160}, {base + 10, 68}, {base + 11, 0xFFF0}, {base + 12, 0xFFFC},
                                  {base + 13, 0}, {base + 14, 0}}));
    EXPECT_TRUE(log().contains("SDI-OUT: Head 0, Anti flickering value is: 2"));

    cardsimClearLogs();
    send(headAttributesOf(0, {1, 0, 5, 0, 0}));
    send(applyLayout(0, 0));
    EXPECT_TRUE(fsmWritesAt({{base + 9, base + 14}}).empty());
    EXPECT_TRUE(log().contains("SDI-OUT: Head 0, Bad anti flickering value requested by sw. Value sent is: 5. Only 0..4 "
                               "is supported."));

    send(headAttributesOf(0, {1, 0, 3, 0, 0}));
    send(applyLayout(0, 0));
    EXPECT_EQ(fsmWritesAt({{base + 9, base + 14}}),
              std::vector<Write>({{base + 9, 128}, {base + 10, 78}, {base + 11, 0}, {base + 12, 0xFFEE},
                                  {base + 13, 0}, {base + 14, 4}}));
}

TEST_F(SdiOut, MergeColourBarsAndStatusRecord)
{
    struct Case {
        const char *name;
        uint32_t slot;
        int head;
        Attributes attributes;
        uint16_t merge, pattern;
    } cases[] = {
        {"own head, video and graphics", 0, 0, {1, 1, 0, 0, 0}, 0x1003, 0},
        {"head 2", 0, 2, {1, 1, 0, 1, 0}, 0x0801, 0},
        {"card in slot index 3", 3, 0, {1, 1, 0, 1, 0}, 0x0801, 0},
        {"own head, graphics only, bars", 1, 1, {0, 1, 0, 1, 0}, 0x1002, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        cardInSlot(c.slot);
        send(headResolutionOf(c.head, R1080P_5994));
        send(headAttributesOf(c.head, c.attributes));
        restart();
        EXPECT_EQ(fsm(sdiBase(c.head) + 8), c.merge);
        EXPECT_EQ(fsm(sdiBase(c.head) + 2), c.pattern);
    }
    const sdiOutputStatusRecord *status = sdiOutGetHeadStatus(1);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->headId, 1);
    EXPECT_EQ(status->enable, 1);
    EXPECT_EQ(status->frameRate, 5994);
    EXPECT_EQ(status->outputFormat, 101);
    EXPECT_EQ(status->interlace, 0);
    EXPECT_EQ(status->notHdtv, 0);
    EXPECT_EQ(status->testPattern, 1);
    EXPECT_EQ(sdiOutGetHeadStatus(2), nullptr);
    EXPECT_EQ(sdiOutGetHeadStatus(3), nullptr);
}

/* The probe record's word of a head (after 16 bytes) chooses the flywheel; genlock changes alone do nothing. */
TEST_F(SdiOut, FlywheelFollowsTheProbeFormatChangeOnly)
{
    for (int head = 0; head < 4; head++)
        send(headResolutionOf(head, R1080P_5994));
    restart();
    cardsimClearLogs();
    uint8_t record[24] = {};
    uint16_t follow = 1;
    memcpy(record + 16 + 2 * 1, &follow, 2);
    targetProbeFormatChanged(record);
    drain();
    EXPECT_EQ(fsmWritesAt({{0x880, 0x8FF}}), std::vector<Write>({{sdiBase(1), 1}}));
    EXPECT_TRUE(log().contains("SDI-OUT: Head 1 Changing BridgeOut Flywheel to 1 (0=FollowGenlock,1=followInput)"));

    cardsimClearLogs();
    uint8_t change[10] = {3};
    layoutTargetSpecificEvent(GENLOCK_CHANGED_EVENT, change, sizeof change);
    drain();
    EXPECT_TRUE(fsmWritesAt({{0x880, 0x8FF}}).empty());

    memset(record, 0, sizeof record);
    targetProbeFormatChanged(record);
    drain();
    EXPECT_EQ(fsmWritesAt({{0x880, 0x8FF}}), std::vector<Write>({{sdiBase(1), 0}}));
}

TEST_F(SdiOut, SystemFrameRateEventReprogramsTheFormat)
{
    send(headResolutionOf(3, R1080P_5994));
    restart();
    cardsimClearLogs();
    setSystemFrameRate(5000);
    uint16_t rate = 5000;
    layoutTargetSpecificEvent(GENLOCK_SYSTEM_FRAME_RATE_EVENT, &rate, sizeof rate);
    drain();
    EXPECT_EQ(sdiWrites(3), std::vector<Write>({{sdiBase(3) + 1, 197}}));
    EXPECT_TRUE(log().contains("SDI-OUT: Head 3 GENLOCK_SYSTEM_FRAME_RATE_EVENT frame rate: 5000)"));
}

/*
 * The phase: d = 2200 x 1.027 = 2259 pixel clocks at 5994, 2640 x 1.02 =
 * 2692 at 5000, doubled for 1080i; the position moves back by d through the
 * raster of 1125 lines (1000 when rotated).
 */
TEST_F(SdiOut, OutputPhaseMovesBackByTheProcessingDelay)
{
    struct Case {
        const char *name;
        Resolution resolution;
        uint32_t rate;
        const char *line;
    } cases[] = {
        {"1080i at 5994", R1080I_5994, 5994, "Old vload = 2, hload = 195. New vload = 1125, hload = 77."},
        {"1080p at 5994", R1080P_5994, 5994, "Old vload = 1121, hload = 111. New vload = 1120, hload = 52."},
        {"1080p at 5000", R1080P_5000, 5000, "Old vload = 1122, hload = 2170. New vload = 1121, hload = 2118."},
        {"rotated 1080p at 5994", rotated(R1080P_5994, 1), 5994,
         "Old vload = 966, hload = 60. New vload = 965, hload = 276."},
        {"rotated 1080p at 5000, pulled off the active width", rotated(R1080P_5000, 1), 5000,
         "hload needed adjusting. It was 2392, now its 2390."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        setSystemFrameRate(c.rate);
        send(headResolutionOf(0, c.resolution));
        size_t mark = log().mark();
        restart();
        EXPECT_NE(log().since(mark).find(c.line), std::string::npos) << log().since(mark);
    }
}

TEST_F(SdiOut, LoadsOutOfTheRasterAreRefused)
{
    send(headResolutionOf(0, R1080P_5994));
    restart();
    deviceSubmoduleInstance *instance = findInstance(&sdiOutSubmodule, 0);
    ASSERT_NE(instance, nullptr);
    layoutEventInfo event = {};
    event.head = 0;
    event.headRecord = &layoutGetPrivateData()->heads[0];
    struct Case {
        uint32_t hload, vload;
        const char *line;
    } cases[] = {
        {10, 0, "vload=0 (min 1, max 1125), hLoad=10 (min 0, max 2199)"},
        {10, 1126, "vload=1126 (min 1, max 1125), hLoad=10 (min 0, max 2199)"},
        {2200, 5, "vload=5 (min 1, max 1125), hLoad=2200 (min 0, max 2199)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        cardsimClearLogs();
        size_t mark = log().mark();
        EXPECT_EQ(layoutManagerSdiOutDelayTheOutput(instance, &event, c.hload, c.vload), 1);
        std::string logged = log().since(mark);
        EXPECT_NE(logged.find("SDI-OUT: layoutManagerSdiOutDelayTheOutput: Input arguments are out of range. Not changing output "
                              "delay. Head 0, "),
                  std::string::npos);
        EXPECT_NE(logged.find(c.line), std::string::npos) << logged;
        EXPECT_TRUE(writesOf(FSM).empty());
    }
}

} // namespace
