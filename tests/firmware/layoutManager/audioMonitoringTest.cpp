/*
 * The audio monitoring sub-module on the card emulator: the block each
 * selection programs (group 0, the ATDM path word, the tone and the output
 * control), what a card that is not the source drives, the refusals and the
 * stream-mode changes.
 */

#include "OutputStageTestSupport.h"

#include "platform/platform.h"

using namespace layoutTest;

namespace {

uint32_t amBase(int head)
{
    return 0x8D00 + 0x40 * (uint32_t)head;
}
uint32_t control(int head)
{
    return 0x883 + 0x20 * (uint32_t)head;
}
uint32_t tone(int head)
{
    return 0x884 + 0x20 * (uint32_t)head;
}

std::vector<Write> amWrites(int head)
{
    return fsmWritesAt({{amBase(head), amBase(head) + 63}, {control(head), tone(head)}});
}

/* Tone off, the ATDM path word, group 0 and the output control: a selection that drives. */
std::vector<Write> driving(int head, uint16_t atdm, uint16_t source, uint16_t even, uint16_t odd, uint16_t output)
{
    uint32_t base = amBase(head);
    return {{tone(head), 0},        {base, atdm},     {base + 32, source}, {base + 33, even},
            {base + 34, odd},       {control(head), output}};
}

class AudioMonitoring : public OutputFixture {
protected:
    void SetUp() override
    {
        OutputFixture::SetUp();
        setModes(PLATFORM_STREAM_HYBRID, PLATFORM_STREAM_HYBRID);
    }
    static void setModes(uint32_t global, uint32_t input3)
    {
        ASSERT_EQ(platformSetKvrVideoStreamSetting(nullptr, PLATFORM_STREAM_GLOBAL, global), 0);
        for (uint32_t input = 0; input < PLATFORM_STREAM_INPUTS; input++)
            ASSERT_EQ(platformSetKvrVideoStreamSetting(nullptr, input, input == 3 ? input3 : global), 0);
    }
    /* Posts ATDM_MODE_CHANGED_EVENT with the settings as they stand, as the platform does on a change. */
    void modesChanged()
    {
        uint32_t record[10] = {};
        platformGetKvrVideoStreamSetting(nullptr, PLATFORM_STREAM_GLOBAL, &record[0]);
        for (uint32_t input = 0; input < 9; input++)
            platformGetKvrVideoStreamSetting(nullptr, input, &record[1 + input]);
        targetEventAtdmModeChanged(record);
        drain();
    }
};

/* A forced layout clears the block: path word, 24 group words, tone; then the selection (here: none). */
TEST_F(AudioMonitoring, ForcedLayoutClearsTheBlock)
{
    restart();
    for (int head : {0, 2}) {
        SCOPED_TRACE(head);
        uint32_t base = amBase(head);
        std::vector<Write> expected = {{base, 0}};
        for (uint32_t k = 0; k < 8; k++)
            for (uint32_t r = 0; r < 3; r++)
                expected.push_back({base + 32 + 4 * k + r, 0});
        uint16_t passThrough = head == 0 ? 0x83 : 0;
        expected.push_back({tone(head), 0});
        expected.push_back({control(head), passThrough});
        expected.push_back({control(head), passThrough});
        EXPECT_EQ(amWrites(head), expected);
    }
}

/*
 * Input 3, pair 2: embedded channels 4 and 5 (9 and 11 with their enables).
 * In MDX mode (global and input) the pair is ATDM channels (2 + 8 x 3) x 2 =
 * 52 and 53: source 0, channel 26 (105, 107).
 */
TEST_F(AudioMonitoring, EmbeddedAudioFollowsTheStreamModes)
{
    restart();
    cardsimClearLogs();
    send(audioSourceOf(0, 0, OWN_SLOT, 3, 2));
    EXPECT_EQ(amWrites(0), driving(0, 0, 3, 9, 11, 0x03));
    EXPECT_TRUE(log().contains("This audio is coming from the embedded audio of the video."));

    cardsimClearLogs();
    setModes(PLATFORM_STREAM_MDX, PLATFORM_STREAM_MDX);
    size_t mark = log().mark();
    modesChanged();
    EXPECT_EQ(amWrites(0), driving(0, 1, 0, 105, 107, 0x03));
    EXPECT_NE(log().since(mark).find("Audio_Monitoring: selected audio of video input 3 audio channels 4 and 5. This "
                                     "audio is coming from the ATDM channels 52 and 53."),
              std::string::npos);

    /* The input alone in hybrid mode takes its embedded audio again. */
    cardsimClearLogs();
    setModes(PLATFORM_STREAM_MDX, PLATFORM_STREAM_HYBRID);
    modesChanged();
    EXPECT_EQ(amWrites(0), driving(0, 0, 3, 9, 11, 0x03));
}

TEST_F(AudioMonitoring, MadiToneAndPassThrough)
{
    restart();
    struct Case {
        const char *name;
        int head;
        std::vector<uint8_t> pcode;
        uint32_t globalMode;
        std::vector<Write> writes;
        const char *line;
    } cases[] = {
        {"MADI pair 130", 1, audioSourceOf(1, 2, OWN_SLOT, 0, 130), PLATFORM_STREAM_HYBRID,
         driving(1, 1, 0, 9, 11, 0x03), "Audio_Monitoring: selected audio MADI channels 4 and 5."},
        {"MADI in MDX mode: pass-through", 0, audioSourceOf(0, 2, OWN_SLOT, 0, 131), PLATFORM_STREAM_MDX,
         {{tone(0), 0}, {control(0), 0x83}}, "but the card is in MDX mode"},
        {"embedded without input in MDX mode: drives", 2, audioSourceOf(2, 0, OWN_SLOT, 255, 131),
         PLATFORM_STREAM_MDX, {{tone(2), 0}, {control(2), 0x03}}, "but the card is in MDX mode"},
        {"tone", 3, audioSourceOf(3, 3, 1, 0, 0), PLATFORM_STREAM_HYBRID, {{tone(3), 255}, {control(3), 0x03}},
         "This card was selected to drive the audio for head 3."},
        {"another card drives head 0", 0, audioSourceOf(0, 0, OTHER_SLOT, 3, 2), PLATFORM_STREAM_HYBRID,
         {{control(0), 0x83}}, "This card was NOT selected to drive the audio for head 0."},
        {"another card drives head 2", 2, audioSourceOf(2, 0, OTHER_SLOT, 3, 2), PLATFORM_STREAM_HYBRID,
         {{control(2), 0}}, "(myQvSlotid 4, qvi_source_slot_id 7)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        setModes(c.globalMode, c.globalMode);
        cardsimClearLogs();
        size_t mark = log().mark();
        send(c.pcode);
        EXPECT_EQ(amWrites(c.head), c.writes);
        EXPECT_NE(log().since(mark).find(c.line), std::string::npos) << log().since(mark);
    }
}

/* Bad selections are refused with their line and write nothing. */
TEST_F(AudioMonitoring, UnsupportedSelectionsWriteNothing)
{
    restart();
    struct Case {
        const char *name;
        std::vector<uint8_t> pcode;
        const char *line;
    } cases[] = {
        {"external source", audioSourceOf(0, 1, OWN_SLOT, 3, 2),
         "Received SET_AUDIO_MONITORING_SOURCE pcode with unsupported audio_source_selection 1."},
        {"source 4", audioSourceOf(0, 4, OWN_SLOT, 3, 2), "unsupported audio_source_selection 4."},
        {"input 9", audioSourceOf(0, 0, OWN_SLOT, 9, 2), "unsupported input_video_nb 9. (should be 0-8)"},
        {"embedded pair 8", audioSourceOf(0, 0, OWN_SLOT, 3, 8),
         "unsupported aes_nb 8 when embedded audio of a video signal is selected. (should be 0-7)"},
        {"MADI pair 160", audioSourceOf(0, 2, OWN_SLOT, 0, 160),
         "unsupported aes_nb 160 when SDTI is selected. (should be 128-159)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        cardsimClearLogs();
        size_t mark = log().mark();
        send(c.pcode);
        EXPECT_TRUE(amWrites(0).empty());
        EXPECT_NE(log().since(mark).find(c.line), std::string::npos) << log().since(mark);
    }
}

/* Cards in slot index 0 and 1 pass the other card's audio through on heads 0 and 1 only; rotation clears bit 1. */
TEST_F(AudioMonitoring, OutputControlByCardHeadAndRotation)
{
    struct Case {
        uint32_t slot;
        int head;
        uint16_t passThrough;
    } cases[] = {{0, 0, 0x83}, {0, 1, 0x83}, {0, 2, 0}, {1, 1, 0x83}, {1, 3, 0}, {2, 0, 0}, {3, 1, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.slot) + " " + std::to_string(c.head));
        cardInSlot(c.slot);
        restart();
        EXPECT_EQ(fsm(control(c.head)), c.passThrough);
    }
    cardInSlot(0);
    send(headResolutionOf(0, rotated(R1080P_5994, 1)));
    send(audioSourceOf(0, 0, OWN_SLOT, 3, 2));
    EXPECT_EQ(fsm(control(0)), 0x01);
    send(audioSourceOf(0, 0, OTHER_SLOT, 3, 2));
    EXPECT_EQ(fsm(control(0)), 0x81);

    /* A new resolution applies the output control again with the drive flag it had. */
    send(headResolutionOf(0, R1080P_5994));
    cardsimClearLogs();
    send(applyLayout(0, 0));
    EXPECT_EQ(amWrites(0), std::vector<Write>({{control(0), 0x83}}));
}

} // namespace
