/*
 * The loudness manager against the emulated FSM-FPGA: block pacing from the
 * Vsync, the channel mapping and measurement parameters from their pcodes,
 * the set-device listeners, the results and validity written back, and the
 * segments started on command, at an armed minute and at an interval.
 */

#include "loudnessManager/loudnessManager.h"
#include "loudnessManager/loudnessManagerPrivate.h"

#include "cardsim/cardsim.h"
#include "deviceManager/deviceManager.h"
#include "genlock/genlockPrivate.h"
#include "platform/platformPrivate.h"
#include "qvsInterface/qvsInterface.h"
#include "serviceManager/serviceManager.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>
#include <utility>
#include <vector>

#include "../main/EmulatedCard.h"
#include "../main/FirmwareTestSupport.h"

using firmwareTest::TestLog;

namespace {

typedef std::vector<std::pair<uint32_t, uint16_t>> writes_t;
uint8_t sharedMemory[CARD_STATUS_BLOCK_SIZE * CARD_STATUS_BLOCK_COUNT];
log4c_category_t *const category = log4c_category_get("ulm.firmware.loudnessManagerSrvc");
time_t fakeNow;
time_t fakeClock(void) { return fakeNow; }

class LoudnessManager : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestLog::instance();
        firmwareTest::startEmulatedCard(root, category, sharedMemory, sizeof sharedMemory);
        genlockStatusReset();
        genlockStatusPublish(5000);
        loudnessManagerSetClock(fakeClock);
        fakeNow = 1700000000;   /* 2023-11-14 22:13:20 UTC */
        loudnessManagerService.init(&loudnessManagerService);
        cardsimClearLogs();
    }
    void TearDown() override
    {
        loudnessManagerSetClock(nullptr);
        deviceManagerTerminate(nullptr, 3, 0);
        cardsimStop();
        unsetenv("KVR_ROOT");
    }
    static writes_t writes()
    {
        writes_t out;
        for (const cardsimFpgaWrite_t &w : cardsimFpgaWrites(CARDSIM_FSM))
            out.push_back({w.address, w.value});
        return out;
    }
    static int posted()
    {
        int value = 0;
        sem_getvalue(&loudness.semRunLoudnessThread, &value);
        return value;
    }
    static std::vector<uint8_t> pcode(uint8_t id, std::vector<uint8_t> payload)
    {
        std::vector<uint8_t> p(4 + payload.size());
        p[0] = 10;
        p[1] = id;
        p[3] = (uint8_t)payload.size();
        std::copy(payload.begin(), payload.end(), p.begin() + 4);
        return p;
    }
    static loudnessInstanceView_t view(uint32_t n)
    {
        loudnessInstanceView_t v;
        EXPECT_EQ(loudnessManagerGetInstance(n, &v), 1);
        return v;
    }
    TempDir root;
};

TEST_F(LoudnessManager, VsyncsPostOneBlockEveryFourthAt50HzAndEveryFifthAt5994)
{
    const struct {
        uint32_t rate;
        int blocks;
    } cases[] = {{5000, 6}, {5994, 5}};
    for (const auto &c : cases) {
        loudnessManagerService.init(&loudnessManagerService);
        genlockStatusPublish(c.rate);
        for (int i = 0; i < 25; i++)
            loudnessVsyncNotify();
        EXPECT_EQ(posted(), c.blocks) << c.rate;
    }
}

TEST_F(LoudnessManager, AnUnsupportedRatePostsNothingAndItsLogIsBounded)
{
    genlockStatusReset();
    size_t mark = TestLog::instance().mark();
    for (int i = 0; i < 50; i++)
        loudnessVsyncNotify();
    EXPECT_EQ(posted(), 0);
    std::string log = TestLog::instance().since(mark);
    size_t lines = 0;
    for (size_t at = log.find("non supported system frame rate"); at != std::string::npos;
         at = log.find("non supported system frame rate", at + 1))
        lines++;
    EXPECT_EQ(lines, 20u);
    EXPECT_NE(log.find("logging stops"), std::string::npos);
}

TEST_F(LoudnessManager, ChannelMappingPcodeWritesBothBanksThenTheDoneWord)
{
    /* slot, 4 reserved bytes, input 1, probe 2, L R C LFE Ls Rs Lb Rb */
    std::vector<uint8_t> p = pcode(18, {0, 0, 0, 0, 0, 1, 2, 0, 1, 255, 3, 255, 255, 255, 255});
    EXPECT_EQ(loudnessManagerSetChannelMapping(p.data(), (uint32_t)p.size()), 0u);
    writes_t expected;
    const uint16_t words[8] = {0x8010, 0x8011, 0x0000, 0x0013, 0, 0, 0, 0};
    for (uint32_t bank : {0x4430u, 0x6430u})
        for (uint32_t i = 0; i < 8; i++)
            expected.push_back({bank + i, words[i]});
    expected.push_back({0x4680, 1});
    EXPECT_EQ(writes(), expected);
}

TEST_F(LoudnessManager, ChannelMappingOfTheLastInstanceUsesItsInputGroup)
{
    std::vector<uint8_t> p = pcode(18, {0, 0, 0, 0, 0, 8, 3, 2, 3, 4, 5, 6, 7, 0, 1});
    EXPECT_EQ(loudnessManagerSetChannelMapping(p.data(), (uint32_t)p.size()), 0u);
    writes_t w = writes();
    ASSERT_EQ(w.size(), 17u);
    /* instance 35, group 8 x 16 = 0x80 */
    EXPECT_EQ(writes_t(w.begin(), w.begin() + 8),
              (writes_t{{0x4518, 0x8082}, {0x4519, 0x8083}, {0x451A, 0x8084}, {0x451B, 0x0085}, {0x451C, 0x8086},
                        {0x451D, 0x8087}, {0x451E, 0x0080}, {0x451F, 0x0081}}));
}

TEST_F(LoudnessManager, BadInputsProbesAndShortPcodesAreRefusedWithoutWrites)
{
    const std::vector<uint8_t> cases[] = {
        pcode(18, {0, 0, 0, 0, 0, 9, 0, 0, 1, 2, 3, 4, 5, 6, 7}),   /* input 9 */
        pcode(18, {0, 0, 0, 0, 0, 0, 4, 0, 1, 2, 3, 4, 5, 6, 7}),   /* probe 4 */
        pcode(18, {0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6}),      /* one byte short */
    };
    for (const std::vector<uint8_t> &p : cases) {
        size_t mark = TestLog::instance().mark();
        EXPECT_EQ(loudnessManagerSetChannelMapping(p.data(), (uint32_t)p.size()), 4u);
        EXPECT_NE(TestLog::instance().since(mark).find("loudnessManagerSetChannelMapping"), std::string::npos);
    }
    const std::vector<uint8_t> parameters[] = {
        pcode(15, {0, 0, 0, 0, 0, 9, 0, 3, 8, 1}),
        pcode(15, {0, 0, 0, 0, 0, 0, 4, 3, 8, 1}),
        pcode(15, {0, 0, 0, 0, 0, 0, 0, 3, 8}),
    };
    for (const std::vector<uint8_t> &p : parameters)
        EXPECT_EQ(loudnessManagerSetMeasurementParameters(p.data(), (uint32_t)p.size()), 4u);
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(view(0).shortWindowBlocks, 30u);
}

TEST_F(LoudnessManager, MeasurementParametersSetWindowGateAndRequirement)
{
    std::vector<uint8_t> p = pcode(15, {0, 0, 0, 0, 0, 1, 2, 3, 10, 7});
    EXPECT_EQ(loudnessManagerSetMeasurementParameters(p.data(), (uint32_t)p.size()), 0u);
    loudnessInstanceView_t v = view(6);
    EXPECT_EQ(v.shortWindowBlocks, 30u);
    EXPECT_EQ(v.relativeGate, -10);
    EXPECT_EQ(v.requirement, 7u);
}

TEST_F(LoudnessManager, ASixteenSecondWindowIsRefused)
{
    std::vector<uint8_t> p = pcode(15, {0, 0, 0, 0, 0, 0, 0, 16, 8, 1});
    size_t mark = TestLog::instance().mark();
    EXPECT_EQ(loudnessManagerSetMeasurementParameters(p.data(), (uint32_t)p.size()), 4u);
    EXPECT_NE(TestLog::instance().since(mark).find("fail to set the short term windows : 16 sec"), std::string::npos);
    EXPECT_EQ(view(0).shortWindowBlocks, 30u);
    p = pcode(15, {0, 0, 0, 0, 0, 0, 0, 15, 8, 1});
    EXPECT_EQ(loudnessManagerSetMeasurementParameters(p.data(), (uint32_t)p.size()), 0u);
    EXPECT_EQ(view(0).shortWindowBlocks, 150u);
}

TEST_F(LoudnessManager, SetDeviceRangesReachTheirInstances)
{
    EXPECT_EQ(loudnessManagerSetSegmentDectectOnDialnormChange(255, 237, 33, 1), 0u);
    EXPECT_EQ(loudnessManagerSetSegmentDectectOnChannelModeChange(255, 237, 33, 1), 0u);
    EXPECT_EQ(view(33).dialnormDetect, 1u);
    EXPECT_EQ(view(33).channelModeDetect, 0u);
    EXPECT_EQ(view(1).channelModeDetect, 1u);
    EXPECT_EQ(view(1).dialnormDetect, 0u);

    const struct {
        uint32_t (*handler)(uint8_t, uint16_t, uint16_t, uint32_t);
        uint16_t device, reg;
        uint32_t value, result;
    } cases[] = {
        {loudnessManagerSetSegmentDectectOnDialnormChange, 237, 36, 1, 4},
        {loudnessManagerSetSegmentDectectOnDialnormChange, 236, 3, 1, 4},
        {loudnessManagerSetSegmentDectectOnChannelModeChange, 237, 31, 1, 4},
        {loudnessManagerSetSegmentDectectOnChannelModeChange, 237, 68, 1, 4},
        {loudnessManagerManualSegmentControl, 237, 63, 0, 4},
        {loudnessManagerManualSegmentControl, 237, 99, 0, 0},
        {loudnessManagerSetSegmentDetectOnTimeInterval, 237, 132, 5, 4},
        {loudnessManagerSetSegmentDetectOnTimeInterval, 237, 131, 5, 0},
        {loudnessManagerSetSegmentTimerStart, 237, 164, 5, 4},
        {loudnessManagerSetSegmentTimerStart, 237, 130, 60, 4},
        {loudnessManagerSetSegmentTimerStart, 237, 130, 59, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.handler(255, c.device, c.reg, c.value), c.result) << c.reg;
    EXPECT_EQ(view(35).intervalMinutes, 5u);
    EXPECT_EQ(view(2).timerStartMinute, 59u);
    EXPECT_EQ(view(2).timerStartArmed, 1u);
}

TEST_F(LoudnessManager, ManualControlPausesStartsAndOpensSegmentsAnsweringZero)
{
    EXPECT_EQ(loudnessManagerManualSegmentControl(255, 237, 64 + 5, 2), 0u);
    EXPECT_EQ(view(5).active, 0u);
    EXPECT_EQ(view(5).segmentCount, 0u);
    EXPECT_EQ(loudnessManagerManualSegmentControl(255, 237, 64 + 5, 1), 0u);
    EXPECT_EQ(view(5).active, 1u);
    EXPECT_EQ(view(5).segmentCount, 1u);
    EXPECT_EQ(view(4).segmentCount, 0u);
}

TEST_F(LoudnessManager, ASteadyToneGivesItsLevelInTenthsAndValidityAfterTheFirstBlock)
{
    cardsimLoudnessSetBank(0, 1, cardsimLoudnessLevel(-23.0));
    ASSERT_EQ(platformSetKvrVideoStreamSetting(category, 2, 1), PLATFORM_STREAM_OK);
    cardsimLoudnessSetBank(1, 1, cardsimLoudnessLevel(-30.0));
    EXPECT_EQ(cardsimFpgaGet(CARDSIM_FSM, 0x2480), 0);
    cardsimClearLogs();
    for (int block = 0; block < 40; block++)
        loudnessManagerProcessBlock();
    for (uint32_t n = 0; n < 36; n++) {
        uint16_t expected = n / 4 == 2 ? 300 : 230;
        EXPECT_EQ(cardsimFpgaGet(CARDSIM_FSM, 0x2400 + n), expected) << n;
        EXPECT_EQ(cardsimFpgaGet(CARDSIM_FSM, 0x2440 + n), expected) << n;
        EXPECT_EQ(cardsimFpgaGet(CARDSIM_FSM, 0x2480 + n), 0x000F) << n;
    }
    /* Validity is written once, on the first block. */
    size_t validityWrites = 0;
    for (const auto &w : writes())
        validityWrites += w.first >= 0x2480 && w.first < 0x2480 + 36;
    EXPECT_EQ(validityWrites, 36u);
}

TEST_F(LoudnessManager, SilenceSaturatesInsteadOfConvertingInfinity)
{
    cardsimLoudnessSetBank(0, 1, 0);
    cardsimLoudnessSetBank(1, 1, 0);
    for (int block = 0; block < 40; block++)
        loudnessManagerProcessBlock();
    EXPECT_EQ(cardsimFpgaGet(CARDSIM_FSM, 0x2400), 0xFFFF);
    EXPECT_EQ(cardsimFpgaGet(CARDSIM_FSM, 0x2440 + 35), 0xFFFF);
}

TEST_F(LoudnessManager, AFailedResultWriteIsLoggedPerInstance)
{
    cardsimLoudnessSetBank(0, 1, cardsimLoudnessLevel(-23.0));
    loudnessManagerProcessBlock();
    size_t mark = TestLog::instance().mark();
    /* Every transfer of the next block fails: nothing is read, both result writes fail. */
    cardsimSpiFail(CARDSIM_FSM, 1000);
    loudnessManagerProcessBlock();
    cardsimSpiFail(CARDSIM_FSM, 0);
    std::string log = TestLog::instance().since(mark);
    EXPECT_NE(log.find("Error writing Loudness measurements #0 into FPGA registers"), std::string::npos);
    EXPECT_NE(log.find("Error writing Loudness measurements #35 into FPGA registers"), std::string::npos);
    EXPECT_EQ(view(0).last.blockCount, 1u);
}

TEST_F(LoudnessManager, ABankThatIsNotReadyFeedsNothing)
{
    cardsimLoudnessSetBank(0, 0, cardsimLoudnessLevel(-20.0));
    cardsimLoudnessSetBank(1, 0, cardsimLoudnessLevel(-20.0));
    cardsimClearReadCounts();
    loudnessManagerProcessBlock();
    EXPECT_EQ(cardsimFpgaReadCount(CARDSIM_FSM, 0x4600), 0u);
    EXPECT_EQ(view(0).last.blockCount, 0u);
}

TEST_F(LoudnessManager, AnArmedMinuteStartsOneSegmentWhenItComes)
{
    cardsimLoudnessSetBank(0, 1, cardsimLoudnessLevel(-23.0));
    fakeNow = 1700000000 - 20 + 60 * 0;   /* 22:13:00 */
    EXPECT_EQ(loudnessManagerSetSegmentTimerStart(255, 237, 128 + 3, 14), 0u);
    loudnessManagerProcessBlock();
    EXPECT_EQ(view(3).segmentCount, 0u);
    fakeNow += 60;   /* 22:14:00 */
    loudnessManagerProcessBlock();
    EXPECT_EQ(view(3).segmentCount, 1u);
    EXPECT_EQ(view(3).timerStartArmed, 0u);
    fakeNow += 1;
    loudnessManagerProcessBlock();
    EXPECT_EQ(view(3).segmentCount, 1u);
}

TEST_F(LoudnessManager, AnIntervalStartsASegmentEachTimeItElapses)
{
    cardsimLoudnessSetBank(0, 1, cardsimLoudnessLevel(-23.0));
    EXPECT_EQ(loudnessManagerSetSegmentDetectOnTimeInterval(255, 237, 96 + 7, 2), 0u);
    fakeNow += 119;
    loudnessManagerProcessBlock();
    EXPECT_EQ(view(7).segmentCount, 0u);
    fakeNow += 1;
    loudnessManagerProcessBlock();
    EXPECT_EQ(view(7).segmentCount, 1u);
    fakeNow += 120;
    loudnessManagerProcessBlock();
    EXPECT_EQ(view(7).segmentCount, 2u);
    EXPECT_EQ(view(6).segmentCount, 0u);
    EXPECT_EQ(loudnessManagerSetSegmentDetectOnTimeInterval(255, 237, 96 + 7, 0), 0u);
    fakeNow += 600;
    loudnessManagerProcessBlock();
    EXPECT_EQ(view(7).segmentCount, 2u);
}

TEST_F(LoudnessManager, TheThreadRunsABlockPerPostAndLeavesOnTerminate)
{
    cardsimLoudnessSetBank(0, 1, cardsimLoudnessLevel(-23.0));
    loudnessManagerService.state = SERVICE_STATE_RUN;
    std::thread thread([] { loudnessManagerService.threadEntry(&loudnessManagerService); });
    for (int i = 0; i < 8; i++)
        loudnessVsyncNotify();
    bool processed = false;
    /* The limit only ends a test whose blocks never come. */
    for (int i = 0; i < 4000 && !processed; i++) {
        processed = view(0).last.blockCount == 2;
        if (!processed)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(processed);
    EXPECT_EQ(cardsimFpgaGet(CARDSIM_FSM, 0x2480 + 35), 0x000F);
    loudnessManagerService.state = SERVICE_STATE_TERMINATE;
    loudnessManagerService.control(&loudnessManagerService, SERVICE_STATE_TERMINATE, SERVICE_STATE_RUN);
    thread.join();
    EXPECT_EQ(view(0).last.blockCount, 2u);
}

} // namespace
