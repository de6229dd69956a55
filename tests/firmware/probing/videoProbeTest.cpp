/*
 * The video probes: debouncing of the inputs' status words, the change
 * records the callbacks get, and the first delivery of all nine records to
 * the layout manager once every input was reported.
 */

#include "probing/probing.h"

#include "platform/platformPrivate.h"
#include "qvsInterface/qvsInterface.h"
#include "strata/strataAnswers.h"

#include <gtest/gtest.h>
#include <vector>

#include "../layoutManager/LayoutTestSupport.h"

namespace {

uint8_t sharedMemory[CARD_STATUS_BLOCK_SIZE * CARD_STATUS_BLOCK_COUNT];
log4c_category_t *const category = log4c_category_get("ulm.firmware.probingSrvc");

std::vector<videoProbeChangeRecord_t> changes;
std::vector<std::vector<uint8_t>> changeBytes;
void spy(const void *record)
{
    changes.push_back(*(const videoProbeChangeRecord_t *)record);
    const uint8_t *b = (const uint8_t *)record;
    changeBytes.emplace_back(b, b + sizeof(videoProbeChangeRecord_t));
}

uint32_t u32(const uint16_t pair[2])
{
    uint32_t v;
    memcpy(&v, pair, 4);
    return v;
}

class VideoProbe : public layoutTest::LayoutFixture {
protected:
    void SetUp() override
    {
        LayoutFixture::SetUp();
        platformResetState();
        memset(sharedMemory, 0, sizeof sharedMemory);
        platformAttach(category, sharedMemory);
        platformRecord.rearSlot = 1;
        static bool registered = false;
        if (!registered) {
            ASSERT_EQ(videoProbeChangedCallbackRegister(spy), 1);
            ASSERT_EQ(videoProbeChangedCallbackRegister(videoProbeSendInputRecord), 1);
            registered = true;
        }
        ASSERT_EQ(probingTargetInit(sharedMemory, category), 0);
        changes.clear();
        changeBytes.clear();
        drain();
    }
    /* Writes one input's status words into this card's block (slot 1), big-endian as the FPGA leaves them. */
    static void setInput(int input, uint16_t reg0, uint16_t reg1, uint16_t reg2, uint16_t vpidA = 0, uint16_t vpidB = 0)
    {
        uint8_t *at = sharedMemory + CARD_STATUS_BLOCK_SIZE * 1 + 2176 + 388 * input;
        const std::pair<int, uint16_t> words[] = {{0, reg0}, {2, reg1}, {4, reg2}, {36, vpidA}, {38, vpidB}};
        for (auto [offset, value] : words) {
            at[offset] = (uint8_t)(value >> 8);
            at[offset + 1] = (uint8_t)value;
        }
    }
    /* Runs cycles; returns the cycle numbers (1-based) in which input `input` was reported. */
    static std::vector<int> reportsOver(int cycles, int input)
    {
        std::vector<int> at;
        for (int c = 1; c <= cycles; c++) {
            size_t before = changes.size();
            videoProbeStatusChanged(1);
            for (size_t i = before; i < changes.size(); i++)
                if ((int)u32(changes[i].input) == input)
                    at.push_back(c);
        }
        return at;
    }
};

TEST_F(VideoProbe, InputTurningValidIsReportedOnTheThirdCycleAfterItsInvalidReport)
{
    setInput(0, 0x0000, 0, 0x0B00);   /* data present, no carrier: 1 -> 5 at once */
    EXPECT_EQ(reportsOver(1, 0), (std::vector<int>{1}));
    EXPECT_EQ(u32(changes.back().changed), 1u);
    EXPECT_EQ(changes.back().stable, 0);
    setInput(0, 0x0001, 0, 0x0B00);   /* 5 -> 3 -> 3 -> 2 */
    EXPECT_EQ(reportsOver(4, 0), (std::vector<int>{3}));
    EXPECT_EQ(changes.back().stable, 1);
    EXPECT_EQ(changes.back().reg2, 0x0B00);
    /* Stable and unchanged: nothing more. */
    EXPECT_EQ(reportsOver(3, 0), (std::vector<int>{}));
    /* Carrier lost: reported at once. */
    setInput(0, 0x0000, 0, 0x0B00);
    EXPECT_EQ(reportsOver(2, 0), (std::vector<int>{1}));
}

TEST_F(VideoProbe, FormatChangeWhileDebouncingRestartsTheCount)
{
    setInput(2, 0x0001, 0, 0x0B02);
    reportsOver(4, 2);
    changes.clear();
    setInput(2, 0x0001, 0, 0x0D02);   /* 2 -> 4 */
    EXPECT_EQ(reportsOver(1, 2), (std::vector<int>{}));
    setInput(2, 0x0001, 0, 0x1002);   /* 4 -> 4: again */
    EXPECT_EQ(reportsOver(4, 2), (std::vector<int>{3}));
    EXPECT_EQ(changes.back().reg2, 0x1002);
}

TEST_F(VideoProbe, NothingReachesTheLayoutUntilNineDistinctInputsWereReported)
{
    /* Input 0 flaps: ten reports of one input must not release the first delivery. */
    for (int i = 0; i < 5; i++) {
        setInput(0, 0x0000, 0, 0x0B00);
        reportsOver(1, 0);
        setInput(0, 0x0001, 0, 0x0B00);
        reportsOver(4, 0);
    }
    EXPECT_GE(changes.size(), 9u);
    EXPECT_EQ(drain(), 0);
    videoInputRecord record;
    EXPECT_EQ(videoProbeGetInputData(0, &record), 1);
    EXPECT_EQ(videoProbeGetInputData(1, &record), 0);
    EXPECT_EQ(videoProbeGetInputData(9, &record), 0);
    for (int input = 1; input < 8; input++)
        setInput(input, 0x0000, 0, 0x0100);
    reportsOver(1, 1);
    EXPECT_EQ(drain(), 0);
    size_t mark = log().mark();
    setInput(8, 0x0000, 0, 0x0100);
    reportsOver(1, 8);
    EXPECT_NE(log().since(mark).find("Sending All Video Data to the layoutManager!"), std::string::npos);
    EXPECT_GT(drain(), 0);   /* the nine records, the forced layout and what they cause */
    /* From now on one record per change, never the nine again. */
    setInput(3, 0x0001, 0, 0x0B00);
    reportsOver(4, 3);
    EXPECT_GT(drain(), 0);
    setInput(3, 0x0000, 0, 0x0B00);
    reportsOver(1, 3);
    EXPECT_GT(drain(), 0);
    EXPECT_EQ(layoutTest::callsIn(log().since(mark)).empty(), false);
    std::string since = log().since(mark);
    size_t sends = 0;
    for (size_t at = since.find("Sending All Video Data"); at != std::string::npos;
         at = since.find("Sending All Video Data", at + 1))
        sends++;
    EXPECT_EQ(sends, 1u);
}

TEST_F(VideoProbe, RecordsCarryTheFormatTimingsOrTheUnknownMarker)
{
    struct {
        uint16_t reg0, reg2;
        std::vector<uint32_t> words;
    } cases[] = {
        {0x0001, 0x0B04, {0, 4, 11, 0, 1, 0, 2997, 1, 1920, 1080, 1125}},
        {0x0005, 0x1804, {0, 4, 24, 0, 1, 1, 2500, 0, 720, 288, 625}},
        {0x0001, 0x3504, {0, 4, 53, 0, 1, 0, 5994, 1, 1920, 1080, 1125}},
        {0x0001, 0x3704, {0, 4, 0xFFFF, 0, 0, 0, 0, 0, 0, 0, 0}},   /* 55: unknown */
        {0x0000, 0x0B04, {0, 4, 0xFFFF, 0, 0, 0, 0, 0, 0, 0, 0}},   /* no carrier */
    };
    for (const auto &c : cases) {
        videoProbeChangeRecord_t change = {};
        uint32_t one = 1, input = 4;
        memcpy(change.changed, &one, 4);
        memcpy(change.input, &input, 4);
        change.reg0 = c.reg0;
        change.reg2 = c.reg2;
        videoProbeSendInputRecord(&change);
        videoInputRecord record;
        ASSERT_EQ(videoProbeGetInputData(4, &record), 1);
        std::vector<uint32_t> words(11);
        memcpy(words.data(), &record, 44);
        EXPECT_EQ(words, c.words) << std::hex << c.reg2;
    }
    /* A record without its changed flag is ignored. */
    videoProbeChangeRecord_t quiet = {};
    uint32_t input = 5;
    memcpy(quiet.input, &input, 4);
    quiet.reg0 = 1;
    quiet.reg2 = 0x0B05;
    videoProbeSendInputRecord(&quiet);
    videoInputRecord record;
    EXPECT_EQ(videoProbeGetInputData(5, &record), 0);
}

TEST_F(VideoProbe, VpidChangeIsReportedAtTheOffsetsTheConsumersRead)
{
    setInput(6, 0x0001, 0x0001, 0x0B06, 0x8A0B, 0x0102);
    reportsOver(4, 6);
    ASSERT_FALSE(changeBytes.empty());
    const std::vector<uint8_t> &first = changeBytes.front();
    uint32_t vpidChanged, vpidValid, inputAt8;
    memcpy(&inputAt8, &first[8], 4);
    memcpy(&vpidChanged, &first[22], 4);
    memcpy(&vpidValid, &first[30], 4);
    EXPECT_EQ(inputAt8, 6u);
    EXPECT_EQ(vpidChanged, 1u);
    EXPECT_EQ(vpidValid, 1u);
    uint16_t a, b;
    memcpy(&a, &first[34], 2);
    memcpy(&b, &first[36], 2);
    EXPECT_EQ(a, 0x8A0B);
    EXPECT_EQ(b, 0x0102);
    /* The VPID goes away: one more report with valid 0; then quiet. */
    changes.clear();
    changeBytes.clear();
    setInput(6, 0x0001, 0x0000, 0x0B06, 0, 0);
    EXPECT_EQ(reportsOver(3, 6), (std::vector<int>{1}));
    EXPECT_EQ(u32(changes[0].vpidChanged), 1u);
    EXPECT_EQ(u32(changes[0].vpidValid), 0u);
    EXPECT_EQ(u32(changes[0].changed), 0u);
}

TEST_F(VideoProbe, NotOkDoesNothing)
{
    setInput(0, 0x0000, 0, 0x0B00);
    EXPECT_EQ(videoProbeStatusChanged(0), 0u);
    EXPECT_TRUE(changes.empty());
    EXPECT_EQ(videoProbeStatusChanged(1), 1u);
}

} // namespace

/* The frame controller's status answers read what the probes reported, through the reader they lend it. */
TEST_F(VideoProbe, TheFrameControllerReadsTheReportedRecords)
{
    strataVideoInputRecord seen = {};
    EXPECT_EQ(strataVideoInputData(6, &seen), -1) << "input 6 was never reported";

    videoProbeChangeRecord_t change = {};
    uint32_t one = 1, input = 6;
    memcpy(change.changed, &one, 4);
    memcpy(change.input, &input, 4);
    change.reg0 = 0x0005; /* valid, EAV/SAV error */
    change.reg2 = 0x1806; /* format 24 */
    videoProbeSendInputRecord(&change);

    ASSERT_EQ(strataVideoInputData(6, &seen), 0);
    EXPECT_EQ(seen.inputIndex, 6u);
    EXPECT_EQ(seen.format, 24u);
    EXPECT_EQ(seen.valid, 1u);
    EXPECT_EQ(seen.eavSavError, 1u);
    EXPECT_EQ(seen.frameRate, 2500u);
}
