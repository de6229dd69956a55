/*
 * One sequence replayed on a card in each rear slot index 0 to 3: head 0
 * takes 1080i59.94 with video and graphics on and anti-flicker 2, the
 * embedded audio of input 3 pair 2; the forced layout programs the output
 * stage; then the probe words and a black/freeze set-up of input 3 reach the
 * DPS-FPGA. The FSM and DPS write logs of the output stage and the probes are
 * compared with the sequences worked out by hand below.
 */

#include "OutputStageTestSupport.h"

#include "systemConfigHandler/systemConfigHandlerPrivate.h"

#include <chrono>
#include <thread>

using namespace layoutTest;

namespace {

std::vector<Write> cat(std::initializer_list<std::vector<Write>> parts)
{
    std::vector<Write> out;
    for (const auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

/*
 * The forced layout of head 0, in list order: graphic processor, audio
 * monitoring, SDI output.
 *
 * - Graphic processor (cards 0 and 1 only): its init marker words 0x14C8 = 9
 *   and 0x14C9 = 10, then the 1080 mixer, flags 0, M+8 = 1.
 * - Audio monitoring: path word 0, the 24 group words cleared, tone 0, the
 *   output control for not driving (0x83 pass-through on heads 0/1 of cards
 *   0 and 1, else 0); then the selection: tone 0, path word 0 (hybrid), group
 *   0 = input 3 with channels 4 and 5 (9, 11), output control driving (3).
 * - SDI output: merge (0x1003 own head of cards 0/1, else 0x0801), pattern 0,
 *   the six anti-flicker words of level 2, flywheel 0, format 101 (with bit 15
 *   on cards 0/1), rotation format 0; the phase moves vload from 2 back by
 *   2 x 2259 pixel clocks into line 1125, so on cards 0/1 the format gets bit
 *   14 too.
 */
std::vector<Write> forcedHead0(uint32_t slot)
{
    bool own = slot <= 1;
    std::vector<Write> graphics;
    if (own)
        graphics = {{0x1500, 0}, {0x1501, 1920}, {0x1502, 42}, {0x1503, 1122}, {0x1504, 0},
                    {0x1505, 1920}, {0x1506, 41}, {0x1507, 1121}, {0x18028, 0}, {0x1508, 1}};
    std::vector<Write> audio = {{0x8D00, 0}};
    for (uint32_t k = 0; k < 8; k++)
        for (uint32_t r = 0; r < 3; r++)
            audio.push_back({0x8D20 + 4 * k + r, 0});
    audio.insert(audio.end(), {{0x884, 0}, {0x883, (uint16_t)(own ? 0x83 : 0)}, {0x884, 0}, {0x8D00, 0},
                               {0x8D20, 3}, {0x8D21, 9}, {0x8D22, 11}, {0x883, 3}});
    std::vector<Write> sdi = {{0x888, (uint16_t)(own ? 0x1003 : 0x0801)},
                              {0x882, 0},
                              {0x889, 160},
                              {0x88A, 68},
                              {0x88B, 0xFFF0},
                              {0x88C, 0xFFFC},
                              {0x88D, 0},
                              {0x88E, 0},
                              {0x880, 0},
                              {0x881, (uint16_t)(own ? 0x8065 : 0x65)},
                              {0x88F, 0}};
    if (own)
        sdi.push_back({0x881, 0xC065});
    /* Head 1's instances are initialised after head 0's forced layout: its graphic processor's markers follow. */
    return cat({{{0x14C8, 9}, {0x14C9, 10}}, graphics, audio, sdi, {{0x14C8, 9}, {0x14C9, 10}}});
}

/* Head 0's output-stage registers and the graphic processor's init markers. */
std::vector<Write> head0OutputWrites()
{
    return fsmWritesAt({{0x14C8, 0x14C9}, {0x1500, 0x1508}, {0x18028, 0x18028}, {0x880, 0x88F}, {0x8D00, 0x8D3F}});
}

class OutputStageGolden : public OutputFixture, public ::testing::WithParamInterface<uint32_t> {
protected:
    void SetUp() override
    {
        OutputFixture::SetUp();
        platformSetKvrVideoStreamSetting(nullptr, PLATFORM_STREAM_GLOBAL, PLATFORM_STREAM_HYBRID);
        initService(&systemConfigHandlerService);
        systemConfigHandlerService.preStart(&systemConfigHandlerService);
    }
    void TearDown() override
    {
        systemConfigHandlerService.control(&systemConfigHandlerService, SERVICE_STATE_TERMINATE, SERVICE_STATE_RUN);
        OutputFixture::TearDown();
    }
};

TEST_P(OutputStageGolden, ForcedLayoutAndProbeSetUp)
{
    uint32_t slot = GetParam();
    cardInSlot(slot);
    send(headResolutionOf(0, R1080I_5994));
    send(headAttributesOf(0, {1, 1, 2, 0, 0}));
    send(audioSourceOf(0, 0, OWN_SLOT, 3, 2));
    restart();
    EXPECT_EQ(head0OutputWrites(), forcedHead0(slot));
    /* Heads 2 and 3 are never the card's own: their merge is 0x0801 on every card. */
    EXPECT_EQ(fsm(0x8C8), 0x0801);
    EXPECT_EQ(fsm(0x8E8), 0x0801);

    /*
     * DPS-FPGA: teletext page 1 of input 0 (0x150 at 0x1062), the luma
     * threshold of input 2 (0x53FF at 0x1160), then input 3's block for
     * format 24 (index 1, class 3) with zone 0's freeze threshold 8 and
     * black 400: 100, 0, 0, 0, MIN 875, MAX 1000, 0, 0, h 198-1599 (v x
     * 2.001391 - 2), v 29-274 (25 + v x 0.49912435).
     */
    cardsimClearLogs();
    EXPECT_EQ(systemConfigHandlerTeletextPageDetection(0xFF, 0xEE, 81, 150), 0);
    for (int i = 0; i < 200 && writesOf(DPS).size() < 1; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(systemConfigHandlerTeletextPageDetection(0xFF, 0xEE, 50, 0x3FF), 0);
    for (int i = 0; i < 200 && writesOf(DPS).size() < 2; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::vector<uint8_t> p = pcode(10, 10, {4, 3, 1, 0, 8, 0x01, 0x90, 0, 100, 0, 10, 0x03, 0x20, 0x01, 0xF4});
    p.resize(55, 0);
    p[3] = 51;
    EXPECT_EQ(systemConfigHandlerBlackFreeze(p.data(), (uint32_t)p.size()), 0);
    uint8_t record[38] = {};
    uint32_t report = 1, input = 3;
    memcpy(record + 4, &report, 4);
    memcpy(record + 8, &input, 4);
    record[12] = 1;
    record[17] = 24;
    probingDataChanged(record);
    EXPECT_EQ(systemConfigHandlerServeNext(0), 1);
    std::vector<Write> expected = {{0x1062, 0x150}, {0x1160, 0x53FF}};
    const uint16_t block[12] = {100, 0, 0, 0, 875, 1000, 0, 0, 198, 1599, 29, 274};
    for (uint32_t i = 0; i < 12; i++)
        expected.push_back({0x11C0 + i, block[i]});
    EXPECT_EQ(writesOf(DPS, 0x1040, 0x1480), expected);
}

INSTANTIATE_TEST_SUITE_P(RearSlots, OutputStageGolden, ::testing::Values(0u, 1u, 2u, 3u),
                         [](const ::testing::TestParamInfo<uint32_t> &info) {
                             return "Slot" + std::to_string(info.param);
                         });

} // namespace
