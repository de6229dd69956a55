/*
 * The probing target on the card emulator: the MADI link with its debounce,
 * the unsolicited status and the SDTI/MADI insertion on each edge, the FIFO
 * errors that stop at twenty, the ATDM link of cards without MADI, input 9's
 * equaliser selection, the frame controller's answers to block changes, and
 * the pre-start writes.
 */

#include "ProbingTargetSupport.h"

#include "deviceManager/deviceManager.h"
#include "main/startup.h"

using firmwareTest::TestLog;
using namespace probingTest;

namespace {

enum { LINK_STATUS = 1188, INPUT8_REG0 = 2176 + 388 * 8, INPUT8_REG2 = INPUT8_REG0 + 4 };

void registerRecordDelivery()
{
    static bool registered = false;
    if (!registered)
        registered = videoProbeChangedCallbackRegister(videoProbeSendInputRecord) == 1;
}

class ProbingTarget : public TargetFixture {};

TEST(ProbingDebounce, StateFollowsTheInputOnceItHeldForTheLimit)
{
    const struct {
        const char *name;
        uint32_t upLimit, downLimit;
        std::vector<uint32_t> inputs, states;
    } cases[] = {
        {"up after two more samples", 2, 2, {1, 1, 1, 1}, {0, 0, 1, 1}},
        {"a gap restarts the count", 2, 2, {1, 1, 0, 1, 1, 1}, {0, 0, 0, 0, 0, 1}},
        {"down after two more samples", 0, 2, {1, 0, 0, 0}, {1, 1, 1, 0}},
        {"limit 0 follows at once", 0, 0, {1, 0, 1}, {1, 0, 1}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        probingDebounce_t record{7, 7, 7};
        EXPECT_EQ(probingDebounce(&record, 1, 0, c.upLimit, c.downLimit), 0u);
        EXPECT_EQ(record.up, 0u);
        EXPECT_EQ(record.down, 0u);
        std::vector<uint32_t> states;
        for (uint32_t input : c.inputs)
            states.push_back(probingDebounce(&record, 0, input, c.upLimit, c.downLimit));
        EXPECT_EQ(states, c.states);
    }
}

TEST_F(ProbingTarget, PreStartAimsRowOneAtTheMadiStatusOnAMadiCardAndSetsInput9OnSdi)
{
    const struct {
        uint32_t slot, hwType;
        const char *rowName;
        uint32_t address, count;
        uint16_t madiEnable;
    } cases[] = {
        {0, SDI_CARD, "Read MADI Status", 0x24C0, 4, 1},
        {3, SDI_CARD, "Read MADI Status", 0x24C0, 4, 1},
        {4, SDI_CARD, "Read Nq Node ATDM Statuses ", 0x0010, 3, 0},   /* E and F have no MADI */
        {2, NQASI_CARD, "Read Nq Node ATDM Statuses ", 0x0010, 3, 0},
    };
    const probingAction atdmRow = *probingActionTable[1];
    for (const auto &c : cases) {
        SCOPED_TRACE(c.slot);
        *probingActionTable[1] = atdmRow;
        startCard(c.slot, c.hwType);
        size_t mark = TestLog::instance().mark();
        probingTargetPreStart();
        EXPECT_EQ(probingTargetIsMadiCapable(), c.madiEnable);
        EXPECT_STREQ(probingActionTable[1]->name, c.rowName);
        EXPECT_EQ(probingActionTable[1]->address, c.address);
        EXPECT_EQ(probingActionTable[1]->count, c.count);
        EXPECT_EQ(writesOf(CARDSIM_DPS, 0x24C1), std::vector<uint16_t>{c.madiEnable});
        std::string log = TestLog::instance().since(mark);
        EXPECT_NE(log.find("platformEQWriteLMH0394Input sending write reg ctrl value of 0x2 inputValue 8 value 0x68!"),
                  std::string::npos);
        EXPECT_NE(log.find("kvrHealthMonProbingTargetPreThreadStart This card index: " + std::to_string(c.slot) + "!"),
                  std::string::npos);
        /* Every card's meters start at 126. */
        EXPECT_EQ(shm[CARD_STATUS_BLOCK_SIZE * 5 + 2 * 2966 + 1], 0x7E);
        TearDown();
    }
    *probingActionTable[1] = atdmRow;
}

/* A target of a higher module, as genlock and the SFP cage are: it logs its start and counts its calls. */
struct TestTarget {
    static void init(log4c_category_t *category, void *sharedMemory)
    {
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "test target: start %s shared memory",
                           sharedMemory ? "with" : "without");
    }
    static void cycle(uint32_t ok) { cycles.push_back(ok); }
    static uint32_t clockBusy(void) { return busy; }
    static void resetTxPll(log4c_category_t *, uint32_t noWait) { resets.push_back(noWait); }
    static std::vector<uint32_t> cycles, resets;
    static uint32_t busy;
};
std::vector<uint32_t> TestTarget::cycles, TestTarget::resets;
uint32_t TestTarget::busy;

TEST_F(ProbingTarget, ARegisteredTargetStartsInItsStageAndServesEveryCycle)
{
    static const probingTarget_t target = {"test", TestTarget::init, TestTarget::cycle, TestTarget::clockBusy,
                                           TestTarget::resetTxPll};
    static const probingTarget_t withoutInit = {"broken", nullptr, TestTarget::cycle, nullptr, nullptr};
    /* genlock and the SFP cage first, as the daemon registers them before any service starts. */
    mainRegisterModules();
    EXPECT_EQ(probingRegisterTarget(PROBING_TARGET_LATE, &target), 1);
    EXPECT_EQ(probingRegisterTarget(PROBING_TARGET_LATE, &target), 1) << "a second registration changes nothing";
    EXPECT_EQ(probingRegisterTarget(PROBING_TARGET_STAGES, &target), 0);
    EXPECT_EQ(probingRegisterTarget(PROBING_TARGET_EARLY, &withoutInit), 0);
    EXPECT_EQ(probingRegisterTarget(PROBING_TARGET_EARLY, nullptr), 0);

    size_t mark = TestLog::instance().mark();
    startCard(2, SDI_CARD);
    /* The late stage starts after the probing target's own records, behind the SFP cage registered first. */
    std::string started = TestLog::instance().since(mark);
    size_t own = started.find("Initializing Probing Target.");
    size_t sfp = started.find("SFP: Initialisation");
    size_t test = started.find("test target: start with shared memory");
    ASSERT_NE(own, std::string::npos);
    ASSERT_NE(sfp, std::string::npos);
    ASSERT_NE(test, std::string::npos);
    EXPECT_LT(own, sfp);
    EXPECT_LT(sfp, test);

    TestTarget::cycles.clear();
    cycles(2);
    EXPECT_EQ(TestTarget::cycles, (std::vector<uint32_t>{1, 1})) << "one call per cycle end, with both FPGAs answering";

    TestTarget::busy = 1;
    EXPECT_EQ(probingTargetClockBusy(), 1u);
    TestTarget::busy = 0;
    TestTarget::resets.clear();
    probingTargetResetTxPll(category(), 1);
    EXPECT_EQ(TestTarget::resets, (std::vector<uint32_t>{1}));
}

TEST_F(ProbingTarget, MadiLinkIsUpOnTheThirdSampleAndEachEdgeReportsAndSwitchesInsertion)
{
    startCard(2, SDI_CARD);
    registerRecordDelivery();
    probingTargetPreStart();
    /* Input 8 carries SDI 1080p29.97, so the frame controller has its record. */
    setWord(INPUT8_REG0, 0x0001);
    setWord(INPUT8_REG2, (11 << 8) | 8);
    cycles(3);
    cardsimClearLogs();
    strataSetCommState(3);
    cardsimFpgaSet(CARDSIM_DPS, 0x24C0, 0x0001);
    size_t mark = TestLog::instance().mark();
    std::vector<uint16_t> linkAfter;
    for (int i = 0; i < 4; i++) {
        cycles(1);
        linkAfter.push_back(word(LINK_STATUS));
    }
    EXPECT_EQ(linkAfter, (std::vector<uint16_t>{0, 0, 1, 1}));
    EXPECT_EQ(probingTargetGetState(), 1u);
    std::string log = TestLog::instance().since(mark);
    EXPECT_EQ(countIn(log, "MADI status changed. Link Established!"), 1u);
    std::vector<uint16_t> opcodes = queuedOpcodes(log);
    /* The unsolicited MADI status, then input 8's answers for the link change. */
    EXPECT_EQ(opcodes, (std::vector<uint16_t>{0x1491, 0x6002, 0x6103, 0x6004}));
    EXPECT_EQ(sdtiProbeEnabled[2], 1u);
    EXPECT_EQ(writesOf(CARDSIM_FSM, 0x0C10), std::vector<uint16_t>{1});
    EXPECT_EQ(writesOf(CARDSIM_FSM, 0x0C50), std::vector<uint16_t>{1});

    cardsimClearLogs();
    cardsimFpgaSet(CARDSIM_DPS, 0x24C0, 0x0000);
    mark = TestLog::instance().mark();
    cycles(2);
    EXPECT_EQ(word(LINK_STATUS), 1);
    cycles(1);
    EXPECT_EQ(word(LINK_STATUS), 0);
    log = TestLog::instance().since(mark);
    EXPECT_EQ(countIn(log, "MADI status changed. Link lost!"), 1u);
    EXPECT_EQ(queuedOpcodes(log), (std::vector<uint16_t>{0x1491, 0x6002, 0x6103, 0x6004}));
    EXPECT_EQ(sdtiProbeEnabled[2], 0u);
    EXPECT_EQ(writesOf(CARDSIM_FSM, 0x0C10), std::vector<uint16_t>{0});
    EXPECT_EQ(writesOf(CARDSIM_FSM, 0x0C50), std::vector<uint16_t>{0});
}

TEST_F(ProbingTarget, MadiFifoErrorsSetTheErrorBitAndStopForGoodAtTwenty)
{
    startCard(0, SDI_CARD);
    probingTargetPreStart();
    cardsimFpgaSet(CARDSIM_DPS, 0x24C0, 0x0001);
    cycles(3);
    ASSERT_EQ(word(LINK_STATUS), 1);
    cardsimFpgaSet(CARDSIM_DPS, 0x24C3, 0x0004);   /* overflow */
    size_t mark = TestLog::instance().mark();
    cycles(1);
    EXPECT_EQ(word(LINK_STATUS), 3);
    cardsimFpgaSet(CARDSIM_DPS, 0x24C3, 0x0000);
    cycles(1);
    EXPECT_EQ(word(LINK_STATUS), 1);   /* no error clears the bit */
    cardsimFpgaSet(CARDSIM_DPS, 0x24C3, 0x0009);   /* underflow and full: one error */
    cycles(24);
    std::string log = TestLog::instance().since(mark);
    EXPECT_EQ(countIn(log, "MADI fifo overflow error detected."), 1u);
    EXPECT_EQ(countIn(log, "MADI fifo underflow error detected."), 19u);
    EXPECT_EQ(countIn(log, "MADI fifo full error detected."), 19u);
    EXPECT_NE(log.find("MADI fifo full error detected. Madi error log count 20 of 20."), std::string::npos);
    EXPECT_EQ(countIn(log, "Too many MADI fifo errors detected! Stopping MADI error checking! Madi error log count "
                           "20 of 20."),
              1u);
    EXPECT_EQ(log.find("Madi error log count 21"), std::string::npos);
    /* Unread status words are skipped with their line, at most twenty. */
    cardsimSpiFail(CARDSIM_DPS, 1000000);
    mark = TestLog::instance().mark();
    cycles(25);
    cardsimSpiFail(CARDSIM_DPS, 0);
    log = TestLog::instance().since(mark);
    EXPECT_EQ(countIn(log, "MADI Status values were not read properly!!! Ignoring read."), 20u);
    EXPECT_NE(log.find("Ignoring read. (log count 19)"), std::string::npos);
    EXPECT_EQ(probingTargetGetState(), 1u);
}

TEST_F(ProbingTarget, AtdmLinkFollowsTheStatusWordsOfACardWithoutMadi)
{
    startCard(4, SDI_CARD);
    probingTargetPreStart();
    const struct {
        uint16_t word0, word2, status;
        const char *line;
    } steps[] = {
        {0x0007, 0x0001, 3, "ATDM: ATDM Link status changed. Link Established!"},
        {0x0007, 0x0001, 3, nullptr},
        {0x0007, 0x0000, 1, "ATDM: ATDM status changed. Link errors were cleared."},
        {0x0007, 0x0001, 3, "ATDM: ATDM status changed. Link errors were detected."},
        {0x0003, 0x0001, 0, "ATDM: ATDM Link status changed. Link lost!"},
    };
    for (const auto &step : steps) {
        cardsimFpgaSet(CARDSIM_DPS, 0x0010, step.word0);
        cardsimFpgaSet(CARDSIM_DPS, 0x0012, step.word2);
        size_t mark = TestLog::instance().mark();
        cycles(1);
        std::string log = TestLog::instance().since(mark);
        EXPECT_EQ(word(LINK_STATUS), step.status);
        if (step.line)
            EXPECT_EQ(countIn(log, step.line), 1u) << step.line;
        else
            EXPECT_EQ(log.find("ATDM: ATDM"), std::string::npos);
    }
}

TEST_F(ProbingTarget, Input9TogglesItsEqualiserEvery63CycleEndsWithoutSignalAndLocksOnSdi)
{
    startCard(1, SDI_CARD);
    probingTargetPreStart();
    const std::string toMadi = "Setting the EQ Launch Amplitude to EQLAmp set for MADI SIGNAL and starting a new "
                               "debouncing cycle.";
    const std::string toSdi = "Setting the EQ Launch Amplitude to EQLAmp set for SDI Video signal and starting a new "
                              "debouncing cycle.";
    size_t mark = TestLog::instance().mark();
    cycles(1);
    std::string log = TestLog::instance().since(mark);
    EXPECT_EQ(countIn(log, toMadi), 1u);
    EXPECT_NE(log.find("inputValue 8 value 0xe8!"), std::string::npos);
    mark = TestLog::instance().mark();
    cycles(62);
    log = TestLog::instance().since(mark);
    EXPECT_EQ(log.find("Setting the EQ Launch Amplitude"), std::string::npos);
    mark = TestLog::instance().mark();
    cycles(1);
    log = TestLog::instance().since(mark);
    EXPECT_EQ(countIn(log, toSdi), 1u);
    EXPECT_NE(log.find("inputValue 8 value 0x68!"), std::string::npos);
    mark = TestLog::instance().mark();
    cycles(63);
    log = TestLog::instance().since(mark);
    EXPECT_EQ(countIn(log, toMadi), 1u);
    EXPECT_EQ(countIn(log, "Setting the EQ Launch Amplitude"), 1u);

    /* SDI appears while the equaliser waits for MADI: back to SDI at once, then locked. */
    setWord(INPUT8_REG0, 0x0001);
    mark = TestLog::instance().mark();
    cycles(2);
    log = TestLog::instance().since(mark);
    EXPECT_NE(log.find("A video valid signal has been detected on input #9 while debouncing timer was set: Video "
                       "Validity Status 1, MADI Signal Presence Status 0, EQLAmp Selection EQLAmp set for MADI SIGNAL"),
              std::string::npos);
    EXPECT_NE(log.find("FPGA VIDEO FORMAT DECODER IP is reporting SDI Video Signal validity set while the EQ Launch "
                       "Amplitude is set for MADI Signal detection: EQLAmp Selection EQLAmp set for MADI SIGNAL"),
              std::string::npos);
    EXPECT_EQ(countIn(log, toSdi), 1u);
    EXPECT_NE(log.find("Input #9 is locked on SDI video signal: Video Validity Status 1, EQLAmp Selection EQLAmp set "
                       "for SDI Video signal"),
              std::string::npos);
}

TEST_F(ProbingTarget, DeprogrammedFsmLeavesOnlyTheHealthSteps)
{
    startCard(0, SDI_CARD);
    probingTargetPreStart();
    cardsimFpgaSet(CARDSIM_FSM, 0, 0x0000);
    cardsimFpgaSet(CARDSIM_DPS, 0x24C0, 0x0001);
    cardsimFpgaSet(CARDSIM_FSM, 0x0040 + 12, 0x0260);
    ASSERT_EQ(cardsimSetSensorText("/sys/bus/platform/devices/temp_sensor_hwmon.0/temp1_input", "45000\n"), 0);
    size_t mark = TestLog::instance().mark();
    cycles(6);
    std::string log = TestLog::instance().since(mark);
    EXPECT_EQ(countIn(log, "Error: FPGA FSM seems deprogrammed! fpga id read 0x0000"), 1u);
    EXPECT_EQ(word(LINK_STATUS), 0);
    EXPECT_EQ(word(964), 0);
    EXPECT_EQ(log.find("Setting the EQ Launch Amplitude"), std::string::npos);
    /* The health steps still run: the CPU temperature reaches the block. */
    EXPECT_EQ(word(136), 450);
}

TEST_F(ProbingTarget, ProbingPacketsOfUpstreamCardsAreLoggedOnChangeAndTheirPresenceFollowsSdti)
{
    startCard(2, SDI_CARD);
    controlSdtiProbingActions(0, 1);
    cardsimFpgaSet(CARDSIM_FSM, 0x9400 + 0, 0x8005);
    cardsimFpgaSet(CARDSIM_FSM, 0x9400 + 2, 0x8005);   /* this card's own word is not looked at */
    cardsimFpgaSet(CARDSIM_FSM, 0x9400 + 3, 0x4005);   /* no presence bit */
    size_t mark = TestLog::instance().mark();
    cycles(3);
    std::string log = TestLog::instance().since(mark);
    EXPECT_EQ(countIn(log, "videoProbingPacketStatusesReady BridgeIn: Detected probing packets for upstream card 0."),
              1u);
    EXPECT_EQ(countIn(log, "BridgeIn: Detected probing packets"), 1u);
    EXPECT_EQ(shm[CARD_STATUS_BLOCK_SIZE * 0 + 2048], 0x02);
    EXPECT_EQ(shm[CARD_STATUS_BLOCK_SIZE * 3 + 2048], 0x00);
    EXPECT_EQ(cardsimFpgaReadCount(CARDSIM_FSM, 0x9400), 3u);   /* period 2 */
    cardsimFpgaSet(CARDSIM_FSM, 0x9400 + 0, 0x8000);   /* no packets counted */
    controlSdtiProbingActions(0, 0);
    mark = TestLog::instance().mark();
    cycles(2);
    log = TestLog::instance().since(mark);
    EXPECT_EQ(countIn(log, "videoProbingPacketStatusesReady BridgeIn: Lost probing packets for upstream card 0."), 1u);
    EXPECT_EQ(shm[CARD_STATUS_BLOCK_SIZE * 0 + 2048], 0x00);
}

class BlockChanges : public TargetFixture {};

/* The block-change answers (0x6xxx) among the queued messages; the video probes' own reports are left out. */
std::vector<uint16_t> answers(const std::string &log)
{
    std::vector<uint16_t> found;
    for (uint16_t opcode : queuedOpcodes(log))
        if ((opcode & 0xF000) == 0x6000)
            found.push_back(opcode);
    return found;
}

TEST_F(BlockChanges, ConnectedCardsOfSlotsCToFAnswerEachChangeInOrder)
{
    const struct {
        uint32_t slot;
        uint8_t commState;
        bool answers;
    } cases[] = {{2, 3, true}, {5, 3, true}, {1, 3, false}, {3, 2, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.slot);
        startCard(c.slot, NQASI_CARD);
        strataSetCommState(c.commState);
        cycles(20);   /* the genlock target has published its reference word */
        setWord(2176 + 388 * 3, 0x0001);          /* input 3 valid */
        setWord(2180 + 388 * 5, 0x0A00);          /* input 5 format */
        setWord(2176 + 388 * 6, 0x0004);          /* input 6 status bit 2 */
        setWord(190, 0x0D01);                     /* reference present and its format */
        setWord(36, 0x0002);
        setWord(186, 0x0100);
        size_t mark = TestLog::instance().mark();
        cycles(1);
        std::vector<uint16_t> expected;
        if (c.answers)
            expected = {0x6002, 0x6103, 0x6004, 0x6103, 0x6004, 0x6008, 0x6101, 0x6107, 0x6111};
        EXPECT_EQ(answers(TestLog::instance().since(mark)), expected);
        /* Nothing changed since: nothing more. */
        mark = TestLog::instance().mark();
        cycles(1);
        EXPECT_EQ(answers(TestLog::instance().since(mark)), std::vector<uint16_t>{});
        TearDown();
    }
}

TEST_F(BlockChanges, HealthStatusBitsAnswerWithTheirOwnOpcodes)
{
    startCard(2, NQASI_CARD);
    strataSetCommState(3);
    ASSERT_EQ(cardsimSetSensorText("/sys/bus/platform/devices/temp_sensor_hwmon.0/temp1_input", "96500\n"), 0);
    size_t mark = TestLog::instance().mark();
    cycles(1);   /* the CPU temperature is read on the first Vsync */
    EXPECT_EQ(word(136), 965);
    EXPECT_EQ(word(10) & 1, 1);
    EXPECT_EQ(answers(TestLog::instance().since(mark)), std::vector<uint16_t>{0x6010});
    /* A fan that stopped, after its debounce (four samples, one every 32 Vsyncs): the fan alarm bit. */
    cardsimFpgaSet(CARDSIM_DPS, 0x0300, 40 << 2);
    mark = TestLog::instance().mark();
    cycles(63);   /* samples on Vsyncs 33, 65 and 97 */
    EXPECT_EQ(word(10) & 0x100, 0);
    cycles(1);
    EXPECT_EQ(word(10) & 0x100, 0x100);
    EXPECT_EQ(answers(TestLog::instance().since(mark)), std::vector<uint16_t>{0x6006});
}

} // namespace
