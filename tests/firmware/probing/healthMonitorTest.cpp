/*
 * Health monitoring on the card emulator: voltages index by index with the
 * re-aimed reads, the alarm limits, the system monitors, fans with their
 * debounce and the frame LED, the rear-missing alarm, the FPGA error words
 * and the bounds of every error line.
 */

#include "ProbingTargetSupport.h"

#include "deviceManager/deviceManager.h"

#include <sys/stat.h>

using firmwareTest::TestLog;
using namespace probingTest;

namespace {

std::vector<ledControlRequest> ledRequests;
void noteLed(log4c_category_t *, const ledControlRequest *request) { ledRequests.push_back(*request); }

class Health : public TargetFixture {
protected:
    void SetUp() override
    {
        startCard(2, SDI_CARD);
        ledRequests.clear();
        platformRegisterLedManager(noteLed, nullptr);
    }
    void TearDown() override
    {
        platformRegisterLedManager(nullptr, nullptr);
        TargetFixture::TearDown();
    }
    /* Puts a big-endian word where a row would have read it. */
    static void land(uint16_t *word, uint16_t value)
    {
        uint8_t *b = (uint8_t *)word;
        b[0] = (uint8_t)(value >> 8);
        b[1] = (uint8_t)value;
    }
    static probingAction *voltageRow() { return probingActionTable[22]; }
};

TEST_F(Health, VoltagesAreScaledIndexByIndexAndEachReadAimsAtTheNextSource)
{
    const struct {
        uint16_t raw;
        uint32_t offset;
        uint16_t stored;
        uint8_t nextDevice;
        uint32_t nextAddress;
    } steps[] = {
        {624, 56, 503, DEVICE_I2C_POWSEQ, 0x6002},   {517, 60, 249, DEVICE_I2C_POWSEQ, 0x6004},
        {700, 64, 263, DEVICE_I2C_POWSEQ, 0x6006},   {558, 68, 179, DEVICE_I2C_POWSEQ, 0x6008},
        {419, 72, 135, DEVICE_I2C_POWSEQ, 0x600A},   {372, 76, 119, DEVICE_I2C_POWSEQ, 0x600C},
        {310, 84, 99, DEVICE_FSM_FPGA, 0x0403},      {295, 80, 95, DEVICE_DPS_FPGA, 0x0203},
        {0x0150, 88, 2428, DEVICE_DPS_FPGA, 0x0203}, {0x0C80, 92, 1129, DEVICE_I2C_POWSEQ, 0x6000},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.offset);
        land(probingRawWords.voltages, step.raw);
        readVoltages(voltageRow());
        EXPECT_EQ(word(step.offset), step.stored);
        EXPECT_EQ(voltageRow()->device, step.nextDevice);
        EXPECT_EQ(voltageRow()->address, step.nextAddress);
    }
    EXPECT_EQ(word(96), 2428 * 1129 / 100);   /* power, W x 100 */
    /* The DPS answering 0xDEAD leaves the 24 V value as it was. */
    for (int i = 0; i < 8; i++) {
        land(probingRawWords.voltages, 400);
        readVoltages(voltageRow());
    }
    land(probingRawWords.voltages, 0xDEAD);
    readVoltages(voltageRow());
    EXPECT_EQ(word(88), 2428);
}

TEST_F(Health, TheVoltageRowReadsThePowerSequencerOfTheEmulator)
{
    cardsimI2cSet("/dev/i2c-2", 0x60, 0x00, 0x02);   /* 624 on the 5 V rail */
    cardsimI2cSet("/dev/i2c-2", 0x60, 0x01, 0x70);
    cycles(1);
    EXPECT_EQ(word(56), 503);
    EXPECT_EQ(voltageRow()->address, 0x6002u);
    size_t reads = 0;
    for (const cardsimI2cMessage_t &m : cardsimI2cLog())
        if (m.bus == "/dev/i2c-2" && m.slave == 0x60 && m.read)
            reads++;
    EXPECT_EQ(reads, 1u);
    /* Period 64: the next index (3.3 V, nominal on the emulator) on Vsync 65. */
    cycles(31);
    EXPECT_EQ(word(60), 0);
    cycles(1);
    EXPECT_EQ(word(60), 330);
}

TEST_F(Health, VoltageAlarmsLeaveAZeroReadingAlone)
{
    const struct {
        uint16_t raw;
        uint16_t bits;
    } cases[] = {
        {0, 0},                 /* nothing measured */
        {400, 1u << 4},         /* 3.22 V on the 5 V rail */
        {624, 0},
        {700, 1u << 2},         /* 5.65 V */
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.raw);
        healthMonLm77Detect(category(), shm);   /* back to index 0 */
        land(probingRawWords.voltages, c.raw);
        readVoltages(voltageRow());
        healthMonSystemMonitor(1);
        EXPECT_EQ(word(10) & 0x14, c.bits);
    }
}

TEST_F(Health, PreStartWritesEachLimitAfterItsOwnValue)
{
    setWord(1186, 0x8000);
    probingTargetPreStart();
    const uint16_t limits[][2] = {
        {58, 555},  {62, 367},  {66, 278},  {70, 200},  {74, 149},  {78, 134},  {82, 111},
        {86, 105},  {90, 2664}, {94, 0},    {98, 0},    {102, 105}, {106, 105}, {110, 200},
        {114, 850}, {118, 105}, {122, 105}, {126, 200}, {130, 850}, {138, 950},
    };
    for (const auto &limit : limits)
        EXPECT_EQ(word(limit[0]), limit[1]) << "offset " << limit[0];
    EXPECT_EQ(word(1186), 0x8001);
    EXPECT_EQ(writesOf(CARDSIM_DPS, 0x0241), std::vector<uint16_t>{0x21D0});
    EXPECT_EQ(writesOf(CARDSIM_FSM, 0x0441), std::vector<uint16_t>{0x21D0});
}

TEST_F(Health, SystemMonitorsBecomeTemperaturesAndSuppliesAndADeadSectionStopsAtTwenty)
{
    cardsimFpgaSet(CARDSIM_FSM, 0x0400, 0x9C40);
    cardsimFpgaSet(CARDSIM_FSM, 0x0401, 0x5555);
    cycles(1);
    EXPECT_EQ(word(112), 344);
    EXPECT_EQ(word(100), 102);
    EXPECT_EQ(word(128), 447);   /* the emulator's DPS at about 45 degrees */
    EXPECT_EQ(cardsimFpgaReadCount(CARDSIM_FSM, 0x0400), 1u);
    size_t mark = TestLog::instance().mark();
    for (int i = 0; i < 25; i++) {
        land(&probingRawWords.dpsSystemMonitor[1], 0xDEAD);
        land(&probingRawWords.dpsSystemMonitor[0], 0x1000);
        healthMonSystemMonitor(1);
    }
    std::string log = TestLog::instance().since(mark);
    EXPECT_EQ(countIn(log, "FPGA DPS system monitor section respond 0xDEAD, won't report it to shared memory"), 19u);
    EXPECT_NE(log.find("won't report it to shared memory, log count 19(MAX 20)"), std::string::npos);
    EXPECT_EQ(countIn(log, "FPGA DPS system monitor section respond 0xDEAD, Too many errs. No more errs will be shown."),
              1u);
    EXPECT_EQ(word(128), 447);
    /* Hot FPGAs raise the temperature bit. */
    land(&probingRawWords.fsmSystemMonitor[0], (uint16_t)(((85 + 273.15) * 1024 / 503.975 + 1)) << 6);
    land(&probingRawWords.fsmSystemMonitor[1], 0x5555);
    healthMonSystemMonitor(1);
    EXPECT_EQ(word(10) & 1, 1);
    EXPECT_FALSE(ledRequests.empty());
}

TEST_F(Health, AFailedFanAfterItsDebounceRaisesTheFanAlarmAndTheRedLed)
{
    platformRecord.mainHwRev = 2;
    probingTargetPreStart();
    std::vector<uint16_t> dpsFan;
    for (int i = 0; i < 5; i++) {
        land(probingRawWords.dpsFan, 37 << 2);
        healthMonFans(1);
        dpsFan.push_back(word(134));
    }
    EXPECT_EQ(dpsFan, (std::vector<uint16_t>{1, 1, 1, 0, 0}));
    EXPECT_EQ(word(10) & 0x100, 0x100);
    ASSERT_EQ(ledRequests.size(), 1u);
    EXPECT_EQ(ledRequests[0].colour, (uint32_t)LED_COLOUR_RED);
    EXPECT_EQ(ledRequests[0].ledId, (uint32_t)LED_ID_FRAME);
    /* No new sample (0xCAFE) changes nothing; a running fan clears the alarm after its debounce. */
    healthMonFans(1);
    EXPECT_EQ(word(134), 0);
    for (int i = 0; i < 4; i++) {
        land(probingRawWords.dpsFan, 36 << 2);
        healthMonFans(1);
    }
    EXPECT_EQ(word(134), 1);
    EXPECT_EQ(word(10) & 0x100, 0);
    ASSERT_EQ(ledRequests.size(), 2u);
    EXPECT_EQ(ledRequests[1].colour, (uint32_t)LED_COLOUR_GREEN);
    /* The FSM fan word goes to 132 as read. */
    land(probingRawWords.fsmFan, 0x0051);
    healthMonFans(1);
    EXPECT_EQ(word(132), 0x0051);
}

TEST_F(Health, AlarmChangesAreLoggedNineteenTimesThenOnceMore)
{
    size_t mark = TestLog::instance().mark();
    for (int change = 0; change < 30; change++) {
        for (int i = 0; i < 4; i++) {
            land(probingRawWords.dpsFan, change % 2 ? 0 : 40 << 2);
            healthMonFans(1);
        }
    }
    std::string log = TestLog::instance().since(mark);
    EXPECT_EQ(countIn(log, "ALARMS: All alarms cleared."), 9u);
    EXPECT_EQ(countIn(log, "ALARMS: Too many alarm changes, stopping the logging of alarms. No more alarms will be "
                           "shown."),
              1u);
    EXPECT_EQ(ledRequests.size(), 30u);   /* the LED still follows every change */
}

TEST_F(Health, FsmFanIsWatchedFromRevisionTwoOrRevisionOneWithAPatch)
{
    const struct {
        uint32_t revision;
        uint8_t patch;
        const char *line;
    } cases[] = {
        {2, 0, "kvrHealthMonProbingTargetPreThreadStart FPGA FSM Fan being monitored!"},
        {1, 1, "kvrHealthMonProbingTargetPreThreadStart FPGA FSM Fan being monitored!"},
        {1, 0, "kvrHealthMonProbingTargetPreThreadStart FPGA FSM Fan Not being monitored! hwRev 2 patch 1 or above "
               "have fan installed, this card's hwRev is 2 and patch is 0."},
    };
    for (const auto &c : cases) {
        platformRecord.mainHwRev = c.revision;
        platformRecord.mainHwPatch = c.patch;
        size_t mark = TestLog::instance().mark();
        kvrHealthMonProbingTargetPreThreadStart();
        EXPECT_NE(TestLog::instance().since(mark).find(c.line), std::string::npos) << c.line;
        land(probingRawWords.fsmFan, 0x0051);
        healthMonFans(1);
        EXPECT_EQ(word(132), c.revision >= 2 || c.patch ? 0x0051 : 0);
    }
}

TEST_F(Health, AMissingRearTurnsTheLedRedForEverAndIsLoggedOnce)
{
    platformRecord.rearHwType = 31;
    setWord(1186, 0x0001);
    size_t mark = TestLog::instance().mark();
    for (int i = 0; i < 3; i++)
        healthMonSystemMonitor(1);
    EXPECT_EQ(countIn(TestLog::instance().since(mark),
                      "ALARMS: Rear missing detected! Going to flash the Strata LED Red forever."),
              1u);
    EXPECT_EQ(word(1186), 0);
    ASSERT_EQ(ledRequests.size(), 1u);
    EXPECT_EQ(ledRequests[0].colour, (uint32_t)LED_COLOUR_RED);
    /* An alarm that comes and goes leaves the LED red. */
    land(probingRawWords.dpsFan, 40 << 2);
    for (int i = 0; i < 4; i++)
        healthMonFans(1);
    for (int i = 0; i < 4; i++) {
        land(probingRawWords.dpsFan, 0);
        healthMonFans(1);
    }
    for (const ledControlRequest &r : ledRequests)
        EXPECT_EQ(r.colour, (uint32_t)LED_COLOUR_RED);
}

TEST_F(Health, FpgaErrorWordsAreReportedWithinTheirBounds)
{
    size_t mark = TestLog::instance().mark();
    for (int i = 0; i < 25; i++) {
        land(probingRawWords.fsmDdr3, 0x0300);
        land(probingRawWords.dpsVancFifo, 0x0001);
        land(probingRawWords.fsmLocalVancFifo, 0x0100);
        land(&probingRawWords.fsmUpstreamVancFifos[3], 0x0002);
        healthMonFpgaErrors(1);
    }
    land(probingRawWords.txPll1, 0x0000);
    healthMonFpgaErrors(1);
    land(probingRawWords.txPll0, 0x0001);
    healthMonFpgaErrors(1);
    std::string log = TestLog::instance().since(mark);
    EXPECT_EQ(countIn(log, "FPGA FSM had a DDR3 error!  mig_reset_counter = 3."), 20u);
    EXPECT_NE(log.find("FPGA FSM had a DDR3 error!  mig_reset_counter = 3. LogCount 20 (MAX 20)"), std::string::npos);
    EXPECT_EQ(countIn(log, "FPGA DPS had a Local Video FIFO Extract Overflow error"), 20u);
    EXPECT_EQ(countIn(log, "FPGA FSM Local Vanc Fifo Overflow error (SCTE104, CC,... packets)!  fifo_overflow = "
                           "0x0100. LogCount 1 (MAX 20)"),
              1u);
    EXPECT_EQ(countIn(log, "FPGA FSM Local Vanc Fifo Overflow error"), 20u);
    EXPECT_EQ(countIn(log, "FPGA FSM Upstream Vanc Fifo Overflow error (SCTE104, CC,... packets)!  fifo_overflow[3] = "
                           "0x0002."),
              20u);
    EXPECT_EQ(countIn(log, "FPGA FSM SDI Tx PLL 1 not locked detected. Will reset the PLL. (mv_op_status 0x0000)"), 1u);
    EXPECT_EQ(countIn(log, "not locked detected"), 1u);
    EXPECT_EQ(writesOf(CARDSIM_FSM, 0x98), (std::vector<uint16_t>{0x1, 0x0}));
}

TEST_F(Health, FifoErrorsAreLoggedFromTheThird)
{
    size_t mark = TestLog::instance().mark();
    std::vector<size_t> linesAfter;
    for (int i = 0; i < 4; i++) {
        land(probingRawWords.fsmLocalVancFifo, 0x0001);
        healthMonFpgaErrors(1);
        linesAfter.push_back(countIn(TestLog::instance().since(mark), "FPGA FSM Local Vanc Fifo Overflow error"));
    }
    EXPECT_EQ(linesAfter, (std::vector<size_t>{0, 0, 1, 2}));
}

TEST_F(Health, Lm77SensorsAreReadInTurnWhenTheirNodesExist)
{
    ASSERT_EQ(cardsimSetSensorText("/sys/class/i2c-adapter/i2c-2/2-0048/temp1_input", "31500\n"), 0);
    ASSERT_EQ(cardsimSetSensorText("/sys/class/i2c-adapter/i2c-2/2-0049/temp1_input", "28200\n"), 0);
    size_t mark = TestLog::instance().mark();
    healthMonLm77Detect(category(), shm);
    EXPECT_EQ(healthMonitorLm77Present, 1u);
    EXPECT_NE(TestLog::instance().since(mark).find("LM77 sensors detected, temperature probes on LM77 will be enabled!"),
              std::string::npos);
    probingTargetPreStart();
    EXPECT_EQ(word(50), 850);
    cycles(1);
    EXPECT_EQ(word(48), 315);
    EXPECT_EQ(probingActionTable[21]->device, (uint8_t)DEVICE_I2C_TEMP2);
    cycles(50);
    EXPECT_EQ(word(52), 282);
    EXPECT_EQ(probingActionTable[21]->device, (uint8_t)DEVICE_I2C_TEMP1);
    healthMonitorLm77Present = 0;
}

} // namespace
