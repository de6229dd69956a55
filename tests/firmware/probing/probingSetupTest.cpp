/*
 * The start-up programming of the probe tables, the audio-probe descriptors
 * and the SDTI registers, and the SDTI/MADI insertion switch, checked word
 * for word against what the emulated FPGAs received.
 */

#include "probing/probing.h"

#include "cardsim/cardsim.h"
#include "deviceManager/deviceManager.h"
#include "platform/platformPrivate.h"
#include "qvsInterface/qvsInterface.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utility>
#include <vector>

#include "../main/EmulatedCard.h"
#include "../main/FirmwareTestSupport.h"

using firmwareTest::TestLog;

namespace {

typedef std::vector<std::pair<uint32_t, uint16_t>> writes_t;
uint8_t sharedMemory[CARD_STATUS_BLOCK_SIZE * CARD_STATUS_BLOCK_COUNT];
log4c_category_t *const category = log4c_category_get("ulm.firmware.probingSrvc");

class ProbingSetup : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestLog::instance();
        firmwareTest::startEmulatedCard(root, category, sharedMemory, sizeof sharedMemory);
        cardsimClearLogs();
    }
    void TearDown() override
    {
        deviceManagerTerminate(nullptr, 3, 0);
        cardsimStop();
        unsetenv("KVR_ROOT");
    }
    static writes_t writes(int fpga)
    {
        writes_t out;
        for (const cardsimFpgaWrite_t &w : cardsimFpgaWrites(fpga))
            out.push_back({w.address, w.value});
        return out;
    }
    TempDir root;
};

TEST_F(ProbingSetup, AudioProbeInitWritesTheControlWordsThenNineSelections)
{
    ASSERT_EQ(platformSetKvrVideoStreamSetting(category, 2, 1), PLATFORM_STREAM_OK);
    cardsimClearLogs();
    audioProbeInit();
    writes_t w = writes(CARDSIM_FSM);
    ASSERT_EQ(w.size(), 5u + 9u * 28u);
    EXPECT_EQ(writes_t(w.begin(), w.begin() + 5),
              (writes_t{{0x2002, 0x00A9}, {0x2004, 0x00C2}, {0x2003, 0x0019}, {0x2000, 0x0003}, {0x2001, 0x01FF}}));
    /* Input 0, setting 0: the first pairs and the last. */
    EXPECT_EQ(writes_t(w.begin() + 5, w.begin() + 11),
              (writes_t{{0x2200, 0x8000}, {0x2201, 8}, {0x2202, 0x8100}, {0x2203, 8}, {0x2204, 0x8200}, {0x2205, 8}}));
    /* Input 2, setting 1. */
    const auto input2 = w.begin() + 5 + 2 * 28;
    const writes_t expected2 = {
        {0x2240, 0xC020}, {0x2241, 8},  {0x2242, 0xC120}, {0x2243, 8},  {0x2244, 0xC220}, {0x2245, 8},
        {0x2246, 0x12D0}, {0x2247, 4},  {0x2248, 0x12D0}, {0x2249, 4},  {0x224A, 0xD040}, {0x224B, 16},
        {0x224C, 0xD240}, {0x224D, 16}, {0x224E, 0xD420}, {0x224F, 8},  {0x2250, 0xD640}, {0x2251, 16},
        {0x2252, 0xE100}, {0x2253, 64}, {0x2254, 0xE820}, {0x2255, 8},  {0x2256, 0x4810}, {0x2257, 4},
        {0x2258, 0x4890}, {0x2259, 4},  {0x225A, 0x4904}, {0x225B, 1},
    };
    EXPECT_EQ(writes_t(input2, input2 + 28), expected2);
}

TEST_F(ProbingSetup, AudioProbeSelectionRefusesInputsAboveEight)
{
    size_t mark = TestLog::instance().mark();
    audioProbeSelection(category, 9);
    EXPECT_TRUE(writes(CARDSIM_FSM).empty());
    EXPECT_NE(TestLog::instance().since(mark).find(
                  "audioProbeSelection: Error in arg videoInputNumber = 9 (range is 0-8)."),
              std::string::npos);
}

TEST_F(ProbingSetup, ProbeTablesAreProgrammedInOrderWithTheReadBackBits)
{
    cardsimFpgaSet(CARDSIM_DPS, 0x0410, 0x1230);
    cardsimFpgaSet(CARDSIM_DPS, 0x0411, 0x1234);
    probingInitFpgaProbeTables();
    writes_t w = writes(CARDSIM_DPS);
    ASSERT_EQ(w.size(), 5u + 9u * 32u + 2u + 18u);
    EXPECT_EQ(writes_t(w.begin(), w.begin() + 5),
              (writes_t{{0x0412, 0x0019}, {0x0414, 0x00C2}, {0x0413, 0x0000}, {0x0410, 0x1233}, {0x0411, 0xFF35}}));
    /* Table 1. */
    const auto t1 = w.begin() + 5 + 32;
    EXPECT_EQ(writes_t(t1, t1 + 9), (writes_t{{0x0620, 0x2100}, {0x0621, 0x0012}, {0x0622, 0x4844}, {0x0623, 2},
                                              {0x0624, 0x4882}, {0x0625, 1}, {0x0626, 0x4908}, {0x0627, 4},
                                              {0x0628, 0}}));
    const auto tail = w.begin() + 5 + 9 * 32;
    EXPECT_EQ(writes_t(tail, tail + 4), (writes_t{{0x0416, 0x0024}, {0x0410, 0x123B}, {0x0740, 0x2008}, {0x0741, 4}}));
    EXPECT_EQ(w.back(), (std::pair<uint32_t, uint16_t>{0x0751, 4}));
    EXPECT_EQ(w[w.size() - 2], (std::pair<uint32_t, uint16_t>{0x0750, 0x2808}));
}

TEST_F(ProbingSetup, SdtiRegistersGetTheirDescriptorBlockAndTheInsertionLength)
{
    probingInitSdtiRegisters(category);
    EXPECT_EQ(writes(CARDSIM_FSM),
              (writes_t{{0x2320, 0xC000}, {0x2321, 0x20}, {0x2322, 0xC100}, {0x2323, 0x20}, {0x2324, 0xC200},
                        {0x2325, 0x20}, {0x2326, 0x12C0}, {0x2327, 0x10}, {0x2328, 0x12C0}, {0x2329, 0x10},
                        {0x232A, 0xD000}, {0x232B, 0x40}, {0x232C, 0xD200}, {0x232D, 0x40}, {0x232E, 0xD400},
                        {0x232F, 0x20}, {0x2330, 0xD600}, {0x2331, 0x40}, {0x2005, 0x0160}}));
}

TEST_F(ProbingSetup, InsertionStaysOffOnBridgeZeroInSlotsAAndB)
{
    struct {
        uint32_t slot;
        uint32_t on;
        writes_t expected;
        const char *line;
    } cases[] = {
        {0, 1, {{0x0C10, 0}, {0x0C50, 1}}, "Disabling SDTI/MADI insertion on Bridge 0 because not needed. Sdti reg value 0x0000"},
        {1, 1, {{0x0C10, 0}, {0x0C50, 1}}, "Enabling SDTI/MADI insertion on Bridge 2. Sdti reg value 0x0001"},
        {3, 1, {{0x0C10, 1}, {0x0C50, 1}}, "Enabling SDTI/MADI insertion on Bridge 0. Sdti reg value 0x0001"},
        {3, 0, {{0x0C10, 0}, {0x0C50, 0}}, "Disabling SDTI/MADI insertion on Bridge 0. Sdti reg value 0x0000"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.slot * 10 + c.on);
        platformRecord.rearSlot = c.slot;
        cardsimClearLogs();
        size_t mark = TestLog::instance().mark();
        sdtiMadiInsertionUpdate(category, c.on);
        EXPECT_EQ(writes(CARDSIM_FSM), c.expected);
        EXPECT_NE(TestLog::instance().since(mark).find(c.line), std::string::npos);
    }
}

} // namespace
