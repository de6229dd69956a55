/*
 * The genlock sub-module on the layout manager and the probing target on the
 * card emulator: plans chosen from the restore point, URS, ExtSync and the
 * frame controller; lock supervision; the status words and genlockStatus.
 */

#include "GenlockTestSupport.h"

using namespace genlockTest;
using firmwareTest::TestLog;

namespace {

/* The plan the clock generator was last given, from its write log (0 none). */
uint32_t programmedPlan()
{
    std::vector<cardsimSi5344Write_t> writes = cardsimSi5344Writes();
    if (writes.size() < 56)
        return 0;
    const cardsimSi5344Write_t *plan = &writes[writes.size() - 54]; /* the first write of the plan */
    uint8_t p0 = 0, lo = 0;
    for (size_t i = writes.size() - 54; i < writes.size() - 4; i++) {
        if (writes[i].reg == 0x0208)
            p0 = writes[i].value;
        if (writes[i].reg == 0x050D)
            lo = writes[i].value;
    }
    bool urs = plan->reg == 0x025C;
    bool ntsc = lo == 0x3F;
    (void)p0;
    return ntsc ? (urs ? 2 : 1) : (urs ? 4 : 3);
}

class Genlock : public GenlockFixture {};

class GenlockPal : public GenlockFixture {
protected:
    std::string restorePoint() override { return "version=1.1\nslot=0\nsystemFrameRate=5000\n"; }
    void SetUp() override
    {
        mark = TestLog::instance().mark();
        GenlockFixture::SetUp();
    }
    size_t mark = 0;
};

TEST_F(GenlockPal, ARestorePointOf5000ProgramsPlanThreeOnTheFirstForcedLayout)
{
    std::vector<cardsimSi5344Write_t> writes = cardsimSi5344Writes();
    ASSERT_EQ(writes.size(), 56u);
    EXPECT_EQ(programmedPlan(), 3u);
    EXPECT_EQ(fsm(FSM_GENLOCK_FRAME_RATE) & 1, 1);
    EXPECT_EQ(fsm(FSM_GENLOCK_REF_SELECT) & 3, 0);
    EXPECT_EQ(fsm(FSM_GENLOCK_MGT_CLOCK) & 1, 1) << "the video clock waits for lock";
    EXPECT_EQ(block(GENLOCK_BLOCK_STATUS), (std::vector<uint8_t>{0x01, 0x02}));
    EXPECT_EQ(block(GENLOCK_BLOCK_SOURCE), (std::vector<uint8_t>{0x00, 0x00}));
    uint8_t selected[2] = {0xEE, 0xEE};
    kvrGenlockSi5344GetURSPresenceStatus(selected);
    EXPECT_EQ(selected[0], 0x01);
    EXPECT_EQ(selected[1], 0x02);
    genlockStatus_t s = status();
    EXPECT_EQ(s.valid, 1u);
    EXPECT_EQ(s.rateSetCount, 2u) << "init set 5994, the plan 5000";
    EXPECT_EQ(s.systemFrameRate, 5000u);
    std::string text = TestLog::instance().since(mark);
    EXPECT_NE(text.find("GENLOCK SI5344 SUB-MODULE:genlockSi5344Init: head 0 Init, set factory default system frame "
                        "rate: 5994."),
              std::string::npos);
    EXPECT_NE(text.find("GENLOCK SI5344 SUB-MODULE:GENLOCK_PLAN_CHANGED: Sfr[5000], Ref[0], Id[3], Name[PAL  FREE RUN "
                        "27Mhz->148.5], Src[1] "),
              std::string::npos);
    /* The restore point already holds the rate: the same plan from the same source again changes nothing. */
    cardsimClearLogs();
    EXPECT_EQ(kvrFsmSi5344ChangeGenlockPlan(instance, 3, GENLOCK_SOURCE_ENV_VAR), 0u);
    EXPECT_TRUE(cardsimSi5344Writes().empty());
    s = status();
    EXPECT_EQ(s.valid, 1u) << "a request that changes nothing leaves the status as it was";
    EXPECT_EQ(s.rateSetCount, 2u);
}

TEST_F(Genlock, ARestorePointWithout5000ProgramsNothing)
{
    EXPECT_TRUE(cardsimSi5344Writes().empty());
    size_t mark = TestLog::instance().mark();
    persistentDataStorage_SetKey(nullptr, 1, "systemFrameRate", "5994");
    ASSERT_TRUE(waitFor([] { return restorePointKey("systemFrameRate") == "5994"; }));
    cardsimClearLogs();
    layoutTest::LayoutFixture::drain();
    layoutEventInfo event = {};
    event.headEvent = FORCE_LAYOUT_EVENT;
    kvrGenlockSi5344Submodule.process(instance, &event, nullptr);
    EXPECT_TRUE(cardsimSi5344Writes().empty());
    EXPECT_TRUE(cardsimFpgaWrites(CARDSIM_FSM).empty());
    EXPECT_NE(TestLog::instance().since(mark).find("GENLOCK SI5344 SUB-MODULE:forceLayout: FORCE_LAYOUT_EVENT, system "
                                                   "frame rate: 5994 from env var is same as factory default, "
                                                   "ignored!"),
              std::string::npos);
    genlockStatus_t s = status();
    EXPECT_EQ(s.valid, 1u);
    EXPECT_EQ(s.systemFrameRate, 5994u);
}

TEST_F(Genlock, TheStatusIsPublishedOnlyAfterTheChipAndTheFsmWereWritten)
{
    genlockStatus_t before = status();
    cardsimFpgaHold(CARDSIM_FSM, 1);
    std::thread change([this] { kvrFsmSi5344ChangeGenlockPlan(instance, 3, GENLOCK_SOURCE_ENV_VAR); });
    /* Held at its first FSM-FPGA access (the video clock), before the chip and the frame-rate bit. */
    ASSERT_EQ(cardsimFpgaWaitParked(CARDSIM_FSM, 3000), 1);
    genlockStatus_t during = status();
    EXPECT_EQ(during.valid, 0u);
    EXPECT_EQ(during.rateSetCount, before.rateSetCount);
    cardsimFpgaHold(CARDSIM_FSM, 0);
    change.join();
    genlockStatus_t after = status();
    EXPECT_EQ(after.valid, 1u);
    EXPECT_EQ(after.rateSetCount, before.rateSetCount + 1);
    EXPECT_EQ(after.systemFrameRate, 5000u);
    EXPECT_EQ(fsm(FSM_GENLOCK_FRAME_RATE) & 1, 1);
}

TEST_F(Genlock, APlanThatFailsToReachTheChipLeavesEverythingOnTheRunningPlan)
{
    genlockStatus_t before = status();
    int rateBit = fsm(FSM_GENLOCK_FRAME_RATE) & 1;
    cardsimI2cFail("/dev/i2c-4", 2);
    size_t mark = TestLog::instance().mark();
    EXPECT_EQ(kvrFsmSi5344ChangeGenlockPlan(instance, 3, GENLOCK_SOURCE_ENV_VAR), 0u);
    genlockStatus_t after = status();
    EXPECT_EQ(after.valid, before.valid);
    EXPECT_EQ(after.systemFrameRate, before.systemFrameRate);
    EXPECT_EQ(after.rateSetCount, before.rateSetCount);
    EXPECT_EQ(fsm(FSM_GENLOCK_FRAME_RATE) & 1, rateBit);
    std::string text = TestLog::instance().since(mark);
    EXPECT_NE(text.find("frequency plan [3][PAL  FREE RUN 27Mhz->148.5] could not be programmed, the system frame "
                        "rate stays 5994 on plan [1][NTSC FREE RUN 27Mhz->148.35]; try 1 of 16"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("GENLOCK_PLAN_CHANGED"), std::string::npos);
    /* The same request again is tried again, and succeeds. */
    EXPECT_EQ(kvrFsmSi5344ChangeGenlockPlan(instance, 3, GENLOCK_SOURCE_ENV_VAR), 1u);
    EXPECT_EQ(status().valid, 1u);
    EXPECT_EQ(status().systemFrameRate, 5000u);
    EXPECT_EQ(fsm(FSM_GENLOCK_FRAME_RATE) & 1, 1);
}

TEST_F(Genlock, RefusedRequestsLeaveTheStatusAsItWas)
{
    const struct {
        uint32_t plan, source;
        const char *line;
    } cases[] = {
        {0, 1, "unsupported frequency plan: [0], won't change!"},
        {6, 1, "unsupported frequency plan: [6], won't change!"},
        {3, 9, "unknown frequency plan source: [9], won't change!"},
        {1, 0, "frequency plan is the same as previous one: [1], won't change!"},
        {2, 1, "plan 2 cannot come from the env var, won't change!"},
    };
    genlockStatus_t before = status();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        size_t mark = TestLog::instance().mark();
        EXPECT_EQ(kvrFsmSi5344ChangeGenlockPlan(instance, c.plan, c.source), 0u);
        EXPECT_NE(TestLog::instance().since(mark).find(c.line), std::string::npos);
        genlockStatus_t now = status();
        EXPECT_EQ(now.valid, before.valid);
        EXPECT_EQ(now.rateSetCount, before.rateSetCount);
    }
    EXPECT_TRUE(cardsimSi5344Writes().empty());
}

class GenlockOnSlot : public GenlockFixture, public ::testing::WithParamInterface<uint32_t> {
protected:
    uint32_t slot() override { return GetParam(); }
};

TEST_P(GenlockOnSlot, UrsWordsAreHandedToThePlanOnlyOnCardA)
{
    probeUntilReady();
    EXPECT_NE(TestLog::instance().text().find("GENLOCK SI5344 PROBING:checkReady: Enabling probing on URS status and "
                                              "ExtSync Status"),
              std::string::npos);
    cardsimClearLogs();
    size_t mark = TestLog::instance().mark();
    cardsimGenlockSetUrs(0x0003);
    probingRound();
    EXPECT_EQ(block(GENLOCK_BLOCK_URS), (std::vector<uint8_t>{0x01, 0x01}));
    EXPECT_NE(TestLog::instance().since(mark).find("GENLOCK SI5344 PROBING:checkUrs: Initial URS Status: Presence[1], "
                                                   "Format[1], Tc_valid[0]"),
              std::string::npos);
    if (GetParam() == 0) {
        EXPECT_EQ(programmedPlan(), 2u);
        EXPECT_EQ(fsm(FSM_GENLOCK_REF_SELECT) & 3, 1);
        EXPECT_EQ(block(GENLOCK_BLOCK_SOURCE), (std::vector<uint8_t>{0x00, 0x02}));
        EXPECT_NE(TestLog::instance().since(mark).find("GENLOCK_PLAN_CHANGED: Sfr[5994], Ref[1], Id[2], Name[NTSC URS "
                                                       "     54Mhz->148.35], Src[4] "),
                  std::string::npos);
    } else {
        EXPECT_TRUE(cardsimSi5344Writes().empty());
        EXPECT_TRUE(fsmWrites(FSM_GENLOCK_REF_SELECT).empty());
    }
    /* The same word again is no change. */
    cardsimClearLogs();
    probingRound();
    EXPECT_TRUE(cardsimSi5344Writes().empty());
}

TEST_P(GenlockOnSlot, ExtSyncIsHandedToThePlanOnlyOnCardsBToF)
{
    probeUntilReady();
    cardsimClearLogs();
    size_t mark = TestLog::instance().mark();
    cardsimGenlockSetExtSync(0x0003); /* valid, 50 Hz */
    probingRound();
    EXPECT_EQ(block(GENLOCK_BLOCK_EXTSYNC), (std::vector<uint8_t>{0x01, 0x02}));
    EXPECT_NE(TestLog::instance().since(mark).find("GENLOCK SI5344 PROBING:checkExtSync: ExtSync frame rate is PAL"),
              std::string::npos);
    if (GetParam() != 0) {
        EXPECT_EQ(programmedPlan(), 3u);
        EXPECT_EQ(fsm(FSM_GENLOCK_REF_SELECT) & 3, 2);
        EXPECT_EQ(block(GENLOCK_BLOCK_SOURCE), (std::vector<uint8_t>{0x00, 0x01}));
        EXPECT_EQ(status().systemFrameRate, 5000u);
    } else {
        EXPECT_TRUE(cardsimSi5344Writes().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Slots, GenlockOnSlot, ::testing::Values(0u, 1u, 2u));

TEST_F(Genlock, TheProbingActionsStartOnceTheChipIsReadyAndTheCountDownRanOut)
{
    cardsimSi5344SetBusyReads(2);
    genlockReadyCountDown = 1;
    size_t mark = TestLog::instance().mark();
    for (int round = 0; round < 3; round++) {
        probingRound();
        EXPECT_FALSE(genlockProbingEnabled) << round;
    }
    probingRound();
    EXPECT_TRUE(genlockProbingEnabled);
    std::string text = TestLog::instance().since(mark);
    const std::string notReady =
        "GENLOCK SI5344 PROBING:checkReady: SI5344: device status[0x00f3] is not ready, continue waiting";
    size_t first = text.find(notReady);
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(text.find(notReady, first + 1), std::string::npos);
    EXPECT_NE(text.find("GENLOCK SI5344 PROBING:checkReady: SI5344: device status[0x000f] is ready"),
              std::string::npos);
    /* Until then no action ran: no URS word was published. */
    EXPECT_EQ(text.find("Initial URS Status"), std::string::npos);
    probingRound();
    EXPECT_NE(TestLog::instance().since(mark).find("GENLOCK SI5344 PROBING:checkUrs: Initial URS Status: Presence[0], "
                                                   "Format[0], Tc_valid[0]"),
              std::string::npos);
}

TEST_F(Genlock, LockLostTwiceStartsOneTimerWhoseExpiryReEnablesTheClock)
{
    cardsimClearLogs();
    change(GENLOCK_CHANGE_LOCK_LOST);
    change(GENLOCK_CHANGE_LOCK_LOST);
    EXPECT_EQ(fsmWrites(FSM_GENLOCK_MGT_CLOCK), (std::vector<uint16_t>{1})) << "disabled once";
    EXPECT_EQ(genlockSi5344ProgrammingInProgress(), 1u);
    size_t mark = TestLog::instance().mark();
    expire(GENLOCK_TIMER_LOCK);
    std::string text = TestLog::instance().since(mark);
    EXPECT_NE(text.find("GENLOCK SI5344 SUB-MODULE:timerExpired: TIMER_TIMEOUT_EVENT RE-ENABLING VIDEO CLOCK, LOL not "
                        "locked yet head 0, lock locked time out(10 seconds)."),
              std::string::npos)
        << "one timer: its expiry is the last";
    EXPECT_EQ(fsm(FSM_GENLOCK_MGT_CLOCK) & 1, 0);
    EXPECT_EQ(fsmWrites(FSM_GENLOCK_RESET), (std::vector<uint16_t>{2, 0})) << "flywheel reset";
    EXPECT_EQ(genlockSi5344ProgrammingInProgress(), 0u);
}

TEST_F(Genlock, LockRegainedBeforeTheExpiryMakesItANoOp)
{
    change(GENLOCK_CHANGE_LOCK_LOST);
    change(GENLOCK_CHANGE_LOCK_REGAINED);
    cardsimClearLogs();
    size_t mark = TestLog::instance().mark();
    expire(GENLOCK_TIMER_LOCK);
    EXPECT_TRUE(cardsimFpgaWrites(CARDSIM_FSM).empty());
    EXPECT_EQ(TestLog::instance().since(mark).find("RE-ENABLING VIDEO CLOCK"), std::string::npos);
}

TEST_F(Genlock, LockRegainedAfterAPlanChangeResetsTheTransmittersAndAnnouncesTheRate)
{
    ASSERT_EQ(kvrFsmSi5344ChangeGenlockPlan(instance, 3, GENLOCK_SOURCE_ENV_VAR), 1u);
    EXPECT_EQ(genlockSi5344ProgrammingInProgress(), 1u);
    cardsimClearLogs();
    size_t mark = TestLog::instance().mark();
    change(GENLOCK_CHANGE_LOCK_REGAINED);
    EXPECT_EQ(fsmWrites(FSM_GENLOCK_RESET), (std::vector<uint16_t>{1, 0})) << "tx PLL pulse";
    EXPECT_EQ(fsmWrites(FSM_GENLOCK_MGT_CLOCK), (std::vector<uint16_t>{0}));
    for (uint32_t reg : {FSM_GENLOCK_BRIDGE_TX_0, FSM_GENLOCK_BRIDGE_TX_1, FSM_GENLOCK_BRIDGE_TX_2,
                         FSM_GENLOCK_BRIDGE_TX_3})
        EXPECT_EQ(fsmWrites(reg), (std::vector<uint16_t>{1, 0})) << reg;
    std::string text = TestLog::instance().since(mark);
    EXPECT_NE(text.find("GENLOCK SI5344 PROBING:kvrFsmGenlockResetTxPll: reset FSM genlock "
                        "PLL(genlock_reset.tx_pll_reset)!"),
              std::string::npos);
    EXPECT_NE(text.find("GENLOCK SI5344 PROBING:kvrFsmGvAsiTxReset: Performing Bridge TX reset!"), std::string::npos);
    EXPECT_NE(text.find("GENLOCK_SYSTEM_FRAME_RATE_EVENT, system frame rate: 5000"), std::string::npos);
    EXPECT_EQ(genlockSi5344ProgrammingInProgress(), 0u);
    /* The plan's lock timer then finds lock recovered. */
    cardsimClearLogs();
    expire(GENLOCK_TIMER_LOCK);
    EXPECT_TRUE(cardsimFpgaWrites(CARDSIM_FSM).empty());
}

TEST_F(Genlock, LockAlarmsOfTheChipBecomeLockEvents)
{
    probeUntilReady();
    cardsimClearLogs();
    size_t mark = TestLog::instance().mark();
    cardsimSi5344SetAlarms(0x22, 0x02);
    probingRound();
    std::string text = TestLog::instance().since(mark);
    EXPECT_NE(text.find("IN1_LOS[1], IN1_OOF[1]"), std::string::npos);
    EXPECT_NE(text.find("LOL[1], HOLD[0]"), std::string::npos);
    EXPECT_EQ(fsmWrites(FSM_GENLOCK_MGT_CLOCK), (std::vector<uint16_t>{1})) << "lock lost";
    cardsimClearLogs();
    cardsimSi5344SetAlarms(0x00, 0x00);
    probingRound();
    EXPECT_EQ(fsmWrites(FSM_GENLOCK_MGT_CLOCK), (std::vector<uint16_t>{0})) << "lock regained";
    EXPECT_EQ(genlockSi5344ProgrammingInProgress(), 0u);
}

TEST_F(Genlock, OnlyTheFirstControllerRateCountsAndADifferentOneIsSavedBack)
{
    size_t mark = TestLog::instance().mark();
    uint16_t rate = 5000;
    layoutTargetSpecificEvent(STRATA_SYSTEM_FRAME_RATE_EVENT, &rate, sizeof rate);
    drain();
    /* The live rate 5994 differs: it goes back into the restore point. */
    EXPECT_TRUE(waitFor([] { return restorePointKey("systemFrameRate") == "5994"; }));
    rate = 5994;
    layoutTargetSpecificEvent(STRATA_SYSTEM_FRAME_RATE_EVENT, &rate, sizeof rate);
    drain();
    EXPECT_NE(TestLog::instance().since(mark).find("GENLOCK SI5344 SUB-MODULE:controllerRate: received "
                                                   "STRATA_SYSTEM_FRAME_RATE_EVENT again, ignored, previous frame rate "
                                                   "is 5000."),
              std::string::npos);
    EXPECT_TRUE(cardsimSi5344Writes().empty());
}

TEST_F(Genlock, TheSaveThreadWritesTheRestorePointAndAControllerChangePostsTheEvent)
{
    EXPECT_EQ(kvrGenlockSaveFrameRate(5000, "test"), 0);
    EXPECT_TRUE(waitFor([] { return restorePointKey("systemFrameRate") == "5000"; }));
    EXPECT_NE(TestLog::instance().text().find("environment variables: systemFrameRate does not exist, will create "
                                              "one!"),
              std::string::npos);
    size_t mark = TestLog::instance().mark();
    EXPECT_EQ(kvrGenlockSaveFrameRate(5000, "test"), 0);
    EXPECT_TRUE(waitFor([mark] {
        return TestLog::instance().since(mark).find("existing environment variables:systemFrameRate, value:5000 no "
                                                    "changes, no need to update") != std::string::npos;
    }));
    mark = TestLog::instance().mark();
    EXPECT_EQ(kvrGenlockSaveFrameRate(6000, "test"), 4);
    EXPECT_NE(TestLog::instance().since(mark).find("unrecognized frame rate [6000], won't save!"), std::string::npos);

    /* The frame controller changes the key: the listener posts its rate. */
    mark = TestLog::instance().mark();
    pdsKeyCallbackInfo info = {nullptr, 1, "systemFrameRate", "5000"};
    kvrEnvVarSystemFrameRateCallbackfn(&info, nullptr);
    drain();
    EXPECT_NE(TestLog::instance().since(mark).find("controller rate[5000]"), std::string::npos);
}

TEST_F(Genlock, HandlersAreLimitedToFive)
{
    size_t mark = TestLog::instance().mark();
    EXPECT_EQ(kvrGenlockSi5344HandlerRegister(nullptr), 4);
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(kvrGenlockSi5344HandlerRegister(kvrGenlockSi5344TargetEventHandler), 0);
    EXPECT_EQ(kvrGenlockSi5344HandlerRegister(kvrGenlockSi5344TargetEventHandler), 3);
    std::string text = TestLog::instance().since(mark);
    EXPECT_NE(text.find("kvrGenlockSi5344HandlerRegister: failed, please use a non-NULL handler!"), std::string::npos);
    EXPECT_NE(text.find("kvrGenlockSi5344HandlerRegister: failed please check, maximum handler reached!"),
              std::string::npos);
}

} // namespace
