/*
 * The probing schedule on the card emulator: the table as the genlock and
 * SFP owners complete it, the periods proven by the emulator's read counts,
 * enable words, parity, iterations, callbacks and the cycle end's FPGA checks.
 */

#include "probing/probing.h"

#include "cardsim/cardsim.h"
#include "deviceManager/deviceManager.h"
#include "genlock/genlockPrivate.h"
#include "platform/platformPrivate.h"
#include "qvsInterface/qvsInterface.h"
#include "sfp/sfp.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "../main/EmulatedCard.h"
#include "../main/FirmwareTestSupport.h"

using firmwareTest::TestLog;

namespace {

uint8_t sharedMemory[CARD_STATUS_BLOCK_SIZE * CARD_STATUS_BLOCK_COUNT];
log4c_category_t *const category = log4c_category_get("ulm.firmware.probingSrvc");

size_t countIn(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}

class ProbingSchedule : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestLog::instance();
        firmwareTest::startEmulatedCard(root, category, sharedMemory, sizeof sharedMemory);
        genlockProbingReset();
        ASSERT_EQ(kvrGenlockSi5344ProbingTargetInit(category), 0);
        sfpInit(category, sharedMemory);
        genlockProbingEnabled = 0;
        discoveryExtractionEnabled = 0;
        healthMonitorLm77Present = 0;
        probingFillOwnedRows(sharedMemory);
        probingResetActions(category);
        cardsimClearLogs();
    }
    void TearDown() override
    {
        discoveryVideoCardInfoActions[0] = probingAction();
        genlockProbingEnabled = 0;
        discoveryExtractionEnabled = 0;
        deviceManagerTerminate(nullptr, 3, 0);
        cardsimStop();
        unsetenv("KVR_ROOT");
    }
    /* Runs Vsyncs first..last; the blocking dummy reads at the end drain the queued reads. */
    void vsyncs(uint32_t first, uint32_t last)
    {
        for (uint32_t count = first; count <= last; count++)
            probingRunVsync(count);
    }
    static uint32_t fsmReads(uint32_t reg) { return cardsimFpgaReadCount(CARDSIM_FSM, reg); }
    static uint32_t dpsReads(uint32_t reg) { return cardsimFpgaReadCount(CARDSIM_DPS, reg); }
    TempDir root;
};

struct row_t {
    int row;
    const char *name;
    int blocking;
    uint32_t period;
    uint8_t device;
    uint8_t command;
    uint8_t priority;
    uint32_t address;
    uint32_t count;
    bool enabled;      /* has an enable word */
    bool postRead;
};

TEST_F(ProbingSchedule, TableHoldsTheRowsWithTheirNamesDevicesAddressesAndPeriods)
{
    const row_t rows[] = {
        {0, "Read Bridge In Statuses ", 0, 2, 1, 0, 2, 0x0040, 18, false, false},
        {1, "Read Nq Node ATDM Statuses ", 0, 2, 3, 0, 2, 0x0010, 3, false, false},
        {2, "Read All 6 Discovery statuses of head A ", 0, 2, 1, 0, 2, 0x8E00, 5, true, false},
        {8, "Read Probing Packet Statuses ", 1, 2, 1, 0, 2, 0x9400, 16, false, true},
        {13, "Read FSM Urs Status ", 0, 2, 1, 0, 2, 0x0090, 5, true, false},
        {14, "Read Bridge In Rate Status ", 0, 12, 1, 0, 2, 0x0096, 1, true, false},
        {15, "Read Si5344 Out-of-Frequency and Loss-of-Signal Alarms", 1, 2, 8, 11, 0, 0x68000D, 2, true, false},
        {16, "Read FPGA DPS System Monitor ", 0, 32, 3, 0, 2, 0x0200, 7, false, false},
        {17, "Read FPGA FSM System Monitor ", 0, 32, 1, 0, 2, 0x0400, 7, false, false},
        {18, "Read FPGA DPS Fan statuses ", 0, 32, 3, 0, 2, 0x0300, 1, false, false},
        {19, "Read FPGA FSM Fan statuses ", 0, 32, 1, 0, 2, 0x0500, 1, false, false},
        {20, "Read Temperature Sensors", 1, 100, 29, 0, 2, 0, 2, false, false},
        {21, "Read Temperature Sensors", 1, 100, 9, 0, 2, 0, 2, true, true},
        {22, "Read Voltages", 1, 64, 13, 0, 2, 0x6000, 2, false, true},
        {23, "Read FPGA DPS DDR3 Status ", 0, 36, 3, 0, 2, 0x040B, 1, false, false},
        {24, "Read FPGA FSM DDR3 Status ", 0, 36, 1, 0, 2, 0x080B, 1, false, false},
        {25, "Read FPGA DPS localVideosScte104AndCCOverFlow Status ", 0, 60, 3, 0, 2, 0x0A01, 1, false, false},
        {26, "Read FPGA FSM vancMdExtractLocalFifoPacketOverflow Status ", 0, 62, 1, 0, 2, 0x8C43, 1, false, false},
        {27, "Read FPGA FSM vancMdExtractUpStreamFifoPacketOverflow Status ", 0, 62, 1, 0, 2, 0x9424, 5, false,
         false},
        {28, "Read FPGA SDI Tx PLL 0 Lock Status ", 0, 58, 1, 0, 2, 0x0068, 1, false, false},
        {29, "Read FPGA SDI Tx PLL 1 Lock Status ", 0, 58, 1, 0, 2, 0x006A, 1, false, false},
        {30, "Read SFP ", 1, 62, 15, 0, 2, 0x5000, 3, false, true},
        {31, "Blocking dummy read DPS", 1, 2, 3, 0, 2, 0, 1, false, false},
        {32, "Blocking dummy read and process video data", 1, 2, 1, 0, 2, 0, 1, false, true},
    };
    for (const row_t &expected : rows) {
        SCOPED_TRACE(expected.row);
        const probingAction *a = probingActionTable[expected.row];
        ASSERT_NE(a, nullptr);
        ASSERT_NE(a->name, nullptr);
        EXPECT_EQ(std::string(a->name), expected.name);
        EXPECT_EQ(a->blocking != 0, expected.blocking != 0);
        EXPECT_EQ(a->period, expected.period);
        EXPECT_EQ(a->parity, 3);
        EXPECT_EQ(a->device, expected.device);
        EXPECT_EQ(a->command, expected.command);
        EXPECT_EQ(a->priority, expected.priority);
        EXPECT_EQ(a->address, expected.address);
        EXPECT_EQ(a->count, expected.count);
        EXPECT_EQ(a->enable != nullptr, expected.enabled);
        EXPECT_EQ(a->postRead != nullptr, expected.postRead);
        EXPECT_NE(a->destination, nullptr);
    }
    EXPECT_EQ(probingActionTable[32]->postRead, probingTargetCycleEnd);
    /* The discovery rows stay off until discovery gives them their reads. */
    for (int row : {3, 4, 5, 6, 7}) {
        SCOPED_TRACE(row);
        EXPECT_EQ(std::string(probingActionTable[row]->name),
                  "Discovery: Read VideoCardInfo HEAD A, Vid " + std::to_string(row - 3) + ".");
        ASSERT_NE(probingActionTable[row]->enable, nullptr);
        EXPECT_EQ(*probingActionTable[row]->enable, 0u);
    }
    /* Each row is a record of its own. */
    for (int i = 0; i < PROBING_ACTION_COUNT; i++)
        for (int j = i + 1; j < PROBING_ACTION_COUNT; j++)
            EXPECT_NE(probingActionTable[i], probingActionTable[j]) << i << " " << j;
}

TEST_F(ProbingSchedule, SdtiRowsReadTheirCardsAddressesIntoTheCardBlocksWhenEnabled)
{
    const char *names[] = {"Read SDTI Probes from Card A", "Read SDTI Probes from Card B",
                           "Read SDTI Probes from Card C", "Read SDTI Probes from Card D"};
    for (uint32_t slot : {0u, 1u}) {
        probingSetSdtiAddresses(slot);
        const uint32_t expected[2][4] = {{0x14000, 0x8800, 0x14400, 0x14800}, {0x8800, 0x14000, 0x14400, 0x14800}};
        for (int card = 0; card < 4; card++) {
            const probingAction *a = probingActionTable[9 + card];
            EXPECT_EQ(std::string(a->name), names[card]);
            EXPECT_EQ(a->address, expected[slot][card]) << slot << " " << card;
            EXPECT_EQ(a->count, 352u);
            EXPECT_EQ(a->period, 2u);
            EXPECT_EQ(a->blocking, 0u);
            EXPECT_EQ(a->destination, sharedMemory + CARD_STATUS_BLOCK_SIZE * card + 5676);
        }
    }
    probingSetSdtiAddresses(0);
    vsyncs(1, 1);
    EXPECT_EQ(fsmReads(0x14400), 0u);
    sdtiProbeEnabled[2] = 1;
    cardsimFpgaSet(CARDSIM_FSM, 0x14400, 0xBEEF);
    vsyncs(2, 3);
    sdtiProbeEnabled[2] = 0;
    EXPECT_EQ(fsmReads(0x14400), 1u);
    const uint8_t *c = sharedMemory + CARD_STATUS_BLOCK_SIZE * 2 + 5676;
    EXPECT_EQ(c[0], 0xBE);
    EXPECT_EQ(c[1], 0xEF);
}

TEST_F(ProbingSchedule, OnlyTheGenlockAndSfpRowsTakeAnOwnersRecord)
{
    probingAction *before = probingActionTable[0];
    probingAction other = {};
    size_t mark = TestLog::instance().mark();
    EXPECT_EQ(probingSetActionRow(0, &other), 0);
    EXPECT_EQ(probingSetActionRow(PROBING_ACTION_COUNT, &other), 0);
    EXPECT_EQ(probingSetActionRow(PROBING_ROW_SFP, nullptr), 0);
    EXPECT_EQ(probingActionTable[0], before);
    EXPECT_EQ(probingActionTable[PROBING_ROW_SFP], &sfpProbingAction);
    EXPECT_NE(TestLog::instance().since(mark).find("probingSetActionRow failed, Bad arguments!"), std::string::npos);
}

TEST_F(ProbingSchedule, PeriodTwoReadsOnOddCyclesAndLongerPeriodsOnTheFirstAndEveryNth)
{
    /* Bridge-in statuses, period 2: cycles 1, 3, 5. */
    std::vector<uint32_t> counts;
    for (uint32_t cycle = 1; cycle <= 5; cycle++) {
        vsyncs(cycle, cycle);
        counts.push_back(fsmReads(0x0040));
    }
    EXPECT_EQ(counts, (std::vector<uint32_t>{1, 1, 2, 2, 3}));
    EXPECT_EQ(dpsReads(0x0010), 3u);
    /* Period 32 (system monitors) and 62 (VANC FIFOs) ran only on cycle 1 so far. */
    EXPECT_EQ(fsmReads(0x0400), 1u);
    EXPECT_EQ(dpsReads(0x0200), 1u);
    EXPECT_EQ(fsmReads(0x8C43), 1u);
    vsyncs(6, 32);
    EXPECT_EQ(fsmReads(0x0400), 1u);
    vsyncs(33, 33);
    EXPECT_EQ(fsmReads(0x0400), 2u);
    EXPECT_EQ(dpsReads(0x0300), 2u);
    vsyncs(34, 62);
    EXPECT_EQ(fsmReads(0x8C43), 1u);
    EXPECT_EQ(fsmReads(0x9424), 1u);
    vsyncs(63, 63);
    EXPECT_EQ(fsmReads(0x8C43), 2u);
    EXPECT_EQ(fsmReads(0x9424), 2u);
    /* Period 58 (Tx PLLs): cycles 1 and 59; 60: cycles 1 and 61; 36: 1, 37. */
    EXPECT_EQ(fsmReads(0x0068), 2u);
    EXPECT_EQ(dpsReads(0x0A01), 2u);
    EXPECT_EQ(fsmReads(0x080B), 2u);
    EXPECT_EQ(dpsReads(0x040B), 2u);
    /* The dummy reads of the FPGA ids, every second cycle: 1, 3, ..., 63. */
    EXPECT_EQ(fsmReads(0x0000), 32u);
    EXPECT_EQ(dpsReads(0x0000), 32u);
}

TEST_F(ProbingSchedule, PeriodHundredRunsOnCyclesOneHundredOneAndTwoHundredOne)
{
    static uint16_t words[2];
    discoveryVideoCardInfoActions[0] = {"Period hundred", nullptr, 0, 100, 3, DEVICE_FSM_FPGA, DEVICE_READ, 2,
                                        0x7700, 2, words, nullptr, 0, 0, nullptr, 0};
    const std::vector<std::pair<uint32_t, uint32_t>> checks = {{1, 1}, {100, 1}, {101, 2}, {200, 2}, {201, 3}};
    uint32_t done = 0;
    for (auto [cycle, reads] : checks) {
        vsyncs(done + 1, cycle);
        done = cycle;
        EXPECT_EQ(fsmReads(0x7700), reads) << "after cycle " << cycle;
    }
}

TEST_F(ProbingSchedule, DisabledActionStillCountsItsPeriodDown)
{
    /* Discovery statuses (period 2) with extraction off on cycle 1: its countdown still runs, so cycle 2 does not read. */
    vsyncs(1, 1);
    EXPECT_EQ(fsmReads(0x8E00), 0u);
    discoveryExtractionEnabled = 1;
    vsyncs(2, 2);
    EXPECT_EQ(fsmReads(0x8E00), 0u);
    vsyncs(3, 3);
    EXPECT_EQ(fsmReads(0x8E00), 1u);
    discoveryExtractionEnabled = 0;
    vsyncs(4, 7);
    EXPECT_EQ(fsmReads(0x8E00), 1u);
}

TEST_F(ProbingSchedule, GenlockRowsRunWithTheGenlockEnableWord)
{
    vsyncs(1, 13);
    EXPECT_EQ(fsmReads(0x0090), 0u);
    EXPECT_EQ(fsmReads(0x0096), 0u);
    genlockProbingEnabled = 1;
    probingResetActions(category);
    vsyncs(1, 13);
    EXPECT_EQ(fsmReads(0x0090), 7u);   /* 1, 3, ..., 13 */
    EXPECT_EQ(fsmReads(0x0096), 2u);   /* 1, 13 */
}

TEST_F(ProbingSchedule, ParityLimitsAnActionToEvenOrOddCounts)
{
    static uint16_t words[1];
    discoveryVideoCardInfoActions[0] = {"Even only", nullptr, 0, 1, 0, DEVICE_FSM_FPGA, DEVICE_READ, 2, 0x7710, 1,
                                        words, nullptr, 0, 0, nullptr, 0};
    discoveryVideoCardInfoActions[1] = {"Odd only", nullptr, 0, 0, 1, DEVICE_FSM_FPGA, DEVICE_READ, 2, 0x7720, 1,
                                        words, nullptr, 0, 0, nullptr, 0};
    vsyncs(1, 7);
    discoveryVideoCardInfoActions[1] = probingAction();
    EXPECT_EQ(fsmReads(0x7710), 3u);
    EXPECT_EQ(fsmReads(0x7720), 4u);
}

std::vector<uint32_t> iterationsSeen;
void noteIteration(probingAction *action)
{
    iterationsSeen.push_back(action->currentIteration);
    action->address += 0x10;   /* the owner moves the next read */
}

TEST_F(ProbingSchedule, IterationsSkipDisabledEntriesAndCallThePostReadPerRead)
{
    static uint16_t words[1];
    static const uint32_t enables[3] = {1, 0, 1};
    iterationsSeen.clear();
    discoveryVideoCardInfoActions[0] = {"Iterated", nullptr, 1, 0, 3, DEVICE_FSM_FPGA, DEVICE_READ, 2, 0x7800, 1,
                                        words, noteIteration, 3, 0, enables, 0};
    size_t mark = TestLog::instance().mark();
    vsyncs(1, 1);
    EXPECT_EQ(iterationsSeen, (std::vector<uint32_t>{0, 2}));
    EXPECT_EQ(fsmReads(0x7800), 1u);
    EXPECT_EQ(fsmReads(0x7810), 1u);
    EXPECT_EQ(fsmReads(0x7820), 0u);
    EXPECT_NE(TestLog::instance().since(mark).find("Action \"Iterated\", Iteration 1 Disabled."), std::string::npos);
}

TEST_F(ProbingSchedule, ActionWithoutDestinationIsSkippedWithItsLine)
{
    discoveryVideoCardInfoActions[0] = {"No buffer", nullptr, 1, 0, 3, DEVICE_FSM_FPGA, DEVICE_READ, 2, 0x7900, 1,
                                        nullptr, nullptr, 0, 0, nullptr, 0};
    size_t mark = TestLog::instance().mark();
    vsyncs(1, 2);
    EXPECT_EQ(fsmReads(0x7900), 0u);
    EXPECT_EQ(countIn(TestLog::instance().since(mark),
                                    "Error, probigGeneric action No buffer has NULL pointer in destination. "),
              2u);
}

std::vector<uint32_t> everyVsync, everyFourth, phaseThree;
uint32_t currentVsync;
void onEvery() { everyVsync.push_back(currentVsync); }
void onFourth() { everyFourth.push_back(currentVsync); }
void onPhaseThree() { phaseThree.push_back(currentVsync); }

TEST_F(ProbingSchedule, CallbacksRunByIntervalAndPhaseAndTheSixthIsRefused)
{
    everyVsync.clear();
    everyFourth.clear();
    phaseThree.clear();
    size_t mark = TestLog::instance().mark();
    EXPECT_EQ(probingSrvcRegisterCallback(nullptr, 1, 0), 0);
    EXPECT_EQ(probingSrvcRegisterCallback(onEvery, 0, 0), 0);
    EXPECT_EQ(countIn(TestLog::instance().since(mark),
                                    "probingSrvcModule: Fail to register call back because either passed null "
                                    "function pointer or interval <= 0!"),
              2u);
    EXPECT_EQ(probingSrvcRegisterCallback(onEvery, 1, 7), 1);
    EXPECT_EQ(probingSrvcRegisterCallback(onFourth, 4, 0), 1);
    EXPECT_EQ(probingSrvcRegisterCallback(onPhaseThree, 5, 3), 1);
    EXPECT_EQ(probingSrvcRegisterCallback(onPhaseThree, 1000, 999), 1);
    EXPECT_EQ(probingSrvcRegisterCallback(onPhaseThree, 1000, 998), 1);
    mark = TestLog::instance().mark();
    EXPECT_EQ(probingSrvcRegisterCallback(onEvery, 1, 0), 0);
    EXPECT_NE(TestLog::instance().since(mark).find(
                  "Failed to register callback service because Max notification obtained!"),
              std::string::npos);
    for (currentVsync = 1; currentVsync <= 13; currentVsync++)
        probingRunVsync(currentVsync);
    EXPECT_EQ(everyVsync, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}));
    EXPECT_EQ(everyFourth, (std::vector<uint32_t>{4, 8, 12}));
    EXPECT_EQ(phaseThree, (std::vector<uint32_t>{3, 8, 13}));
    /* The service init clears the table. */
    probingResetActions(category);
    EXPECT_EQ(probingSrvcRegisterCallback(onEvery, 1, 0), 1);
}

TEST_F(ProbingSchedule, CycleEndLogsADeprogrammedFpgaOnceAndSkipsTheCardStateUntilItAnswers)
{
    ASSERT_EQ(probingTargetInit(sharedMemory, category), 0);
    cardsimFpgaSet(CARDSIM_DPS, 0, 0x1234);
    cardsimFpgaSet(CARDSIM_FSM, 0, 0x5678);
    cardsimFpgaSet(CARDSIM_FSM, 0x0040 + 12, 0x0260);   /* head A: code 12, valid */
    size_t mark = TestLog::instance().mark();
    vsyncs(1, 1);
    EXPECT_EQ(sharedMemory[965], 0x16);
    cardsimFpgaSet(CARDSIM_FSM, 0, 0xFFFF);
    cardsimFpgaSet(CARDSIM_FSM, 0x0040 + 12, 0x0278);   /* code 15 while deprogrammed: not taken */
    vsyncs(2, 5);
    EXPECT_EQ(sharedMemory[965], 0x16);
    cardsimFpgaSet(CARDSIM_FSM, 0, 0x0000);
    vsyncs(6, 7);
    EXPECT_EQ(sharedMemory[965], 0x16);
    cardsimFpgaSet(CARDSIM_FSM, 0, 0x5678);
    vsyncs(8, 9);
    EXPECT_EQ(sharedMemory[965], 0x22);
    std::string log = TestLog::instance().since(mark);
    EXPECT_EQ(countIn(log, "Error: FPGA FSM seems deprogrammed! fpga id read 0xffff"), 1u);
    EXPECT_EQ(countIn(log, "seems deprogrammed"), 1u);
    EXPECT_EQ(countIn(log, "FPGA FSM is ok now."), 1u);
    EXPECT_EQ(probingTargetFpgaDeprogrammed(), 0u);
}

} // namespace

namespace {

uint16_t blockWord(uint32_t card, uint32_t word)
{
    const uint8_t *b = sharedMemory + CARD_STATUS_BLOCK_SIZE * card + 2 * word;
    return (uint16_t)(b[0] << 8 | b[1]);
}

TEST_F(ProbingSchedule, SdtiControlActsOnCardsAToDOnlyAndResetsMetersWhenOff)
{
    ASSERT_EQ(probingTargetInit(sharedMemory, category), 0);
    probingAction *genlockRow = probingActionTable[PROBING_ROW_GENLOCK_URS];
    const probingAction genlockBefore = *genlockRow;
    const uint32_t genlockEnable = genlockProbingEnabled;
    /* E and F have no row: nothing changes, the genlock rows least of all. */
    for (uint32_t card : {4u, 5u}) {
        controlSdtiProbingActions(card, 1);
        EXPECT_EQ(memcmp(genlockRow, &genlockBefore, sizeof genlockBefore), 0);
        EXPECT_EQ(genlockProbingEnabled, genlockEnable);
        EXPECT_EQ(blockWord(card, 5668 / 2), 0);
    }
    size_t mark = TestLog::instance().mark();
    controlSdtiProbingActions(6, 1);
    EXPECT_NE(TestLog::instance().since(mark).find(
                  "controlSdtiProbingActions: Error. cardIndex error!!! cardIndex = 6. This should never happen."),
              std::string::npos);

    memset(sharedMemory + CARD_STATUS_BLOCK_SIZE * 3 + 2 * 2838, 0x55, 2 * (3189 - 2838 + 1));
    controlSdtiProbingActions(3, 1);
    EXPECT_EQ(sdtiProbeEnabled[3], 1u);
    EXPECT_EQ(blockWord(3, 5668 / 2), 1);
    EXPECT_EQ(blockWord(3, 2966), 0x5555);   /* on leaves the meters alone */
    controlSdtiProbingActions(3, 0);
    EXPECT_EQ(sdtiProbeEnabled[3], 0u);
    EXPECT_EQ(blockWord(3, 5668 / 2), 0);
    EXPECT_EQ(blockWord(3, 2965), 0x5555);
    EXPECT_EQ(blockWord(3, 2966), 0x007E);
    EXPECT_EQ(blockWord(3, 3093), 0x007E);
    EXPECT_EQ(blockWord(3, 2838), 0);
    EXPECT_EQ(blockWord(3, 2933), 0);
    EXPECT_EQ(blockWord(3, 2934), 0x5555);
    EXPECT_EQ(blockWord(3, 3094), 0);
    EXPECT_EQ(blockWord(3, 3189), 0);
    EXPECT_EQ(blockWord(2, 2966), 0);   /* another card untouched */
}

} // namespace

namespace {

std::vector<probingBridgeInChange_t> bridgeInChanges;
void bridgeInSpy(const probingBridgeInChange_t *change) { bridgeInChanges.push_back(*change); }

TEST_F(ProbingSchedule, BridgeInHeadIsValidOnTheFifthValidReadAndInvalidOnTheFirstInvalidOne)
{
    ASSERT_EQ(probingTargetInit(sharedMemory, category), 0);
    ASSERT_EQ(registerFpgaProbeDataChangeCallBck(nullptr), 0);
    ASSERT_EQ(registerFpgaProbeDataChangeCallBck(bridgeInSpy), 1);
    bridgeInChanges.clear();
    cardsimFpgaSet(CARDSIM_FSM, 0, 0x1234);
    cardsimFpgaSet(CARDSIM_DPS, 0, 0x5678);
    cardsimFpgaSet(CARDSIM_FSM, 0x0040 + 12, 0x0260);   /* head A: code 12, valid */
    const uint8_t *block = sharedMemory + 964;          /* slot 0 */
    std::vector<size_t> changesAfter;
    for (uint32_t cycle = 1; cycle <= 11; cycle += 2) {
        vsyncs(cycle, cycle + 1);
        changesAfter.push_back(bridgeInChanges.size());
        EXPECT_EQ(block[0], 0x01);
        EXPECT_EQ(block[1], 0x16);
    }
    EXPECT_EQ(changesAfter, (std::vector<size_t>{0, 0, 0, 0, 1, 1}));
    ASSERT_EQ(bridgeInChanges.size(), 1u);
    EXPECT_EQ(bridgeInChanges[0].valid[0], 1u);
    EXPECT_EQ(bridgeInChanges[0].valid[1], 0u);
    EXPECT_EQ(bridgeInChanges[0].decoder[0], 0x0260);
    /* A read that did not happen is skipped with its line: nothing changes. */
    cardsimFpgaSet(CARDSIM_FSM, 0x0041, 0xFFFF);
    cardsimFpgaSet(CARDSIM_FSM, 0x0040 + 12, 0x0000);
    size_t mark = TestLog::instance().mark();
    vsyncs(13, 14);
    EXPECT_EQ(bridgeInChanges.size(), 1u);
    EXPECT_NE(TestLog::instance().since(mark).find(
                  "BridgeIn: BridgeInvalues were not read properly!!! Ignoring read. (log count 0)"),
              std::string::npos);
    /* The first invalid read drops the head. */
    cardsimFpgaSet(CARDSIM_FSM, 0x0041, 0x0000);
    vsyncs(15, 16);
    ASSERT_EQ(bridgeInChanges.size(), 2u);
    EXPECT_EQ(bridgeInChanges[1].valid[0], 0u);
    EXPECT_EQ(block[0], 0x00);
    EXPECT_EQ(block[1], 0x00);
    /* A valid flag with a code outside the table writes the flag but never counts as valid. */
    cardsimFpgaSet(CARDSIM_FSM, 0x0040 + 13, 0x0200 | (13 << 3));
    vsyncs(17, 30);
    EXPECT_EQ(bridgeInChanges.size(), 2u);
    EXPECT_EQ(sharedMemory[966], 0x01);
    EXPECT_EQ(sharedMemory[967], 0x00);
}

} // namespace
