/*
 * The layout manager's queue and thread: posting, the pool, the road from a
 * message to the sub-modules of a head in list order, target events, timers
 * and terminate.
 */

#include "LayoutTestSupport.h"
#include "genlock/genlock.h"
#include "../../support/ThreadState.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <unistd.h>

using namespace layoutTest;

namespace {

class LayoutManager : public LayoutFixture {};

std::vector<Call> expectedCalls(int head, const std::vector<std::string> &names, unsigned headEvent, unsigned target = 0)
{
    std::vector<Call> calls;
    for (const std::string &name : names)
        calls.push_back({head, name, headEvent, target});
    return calls;
}

/* The calls of head events only: resource management's notices that follow an apply are target events. */
std::vector<Call> headEventCalls(std::vector<Call> calls)
{
    calls.erase(std::remove_if(calls.begin(), calls.end(),
                               [](const Call &c) { return c.headEvent == TARGET_SPECIFIC_EVENT; }),
                calls.end());
    return calls;
}

TEST_F(LayoutManager, ApplyLayoutCallsTheMatchingSubModulesOfItsHeadInListOrder)
{
    EXPECT_EQ(headEventCalls(postAndServe(pcode(20, 0, {5, 0, 3, 0}))),
              expectedCalls(2, {"Kvr-sys4kMode", "sysResMngt", "hdr3DLutGen", "audioMonitoringInCtrl", "Ulm-2-sdiOut"},
                            HEAD_APPLY_EVENT));
    EXPECT_EQ(headEventCalls(postAndServe(pcode(20, 0, {4, 0, 3, 0}))),
              expectedCalls(0,
                            {"kvr-genlockSi5344", "Kvr-sys4kMode", "sysResMngt", "hdr3DLutGen", "frameBuffer",
                             "graphicProcessor", "audioMonitoringInCtrl", "Ulm-2-sdiOut"},
                            HEAD_APPLY_EVENT));
}

TEST_F(LayoutManager, HeadEventsReachOnlyTheSubModulesWhoseMaskHasTheBit)
{
    struct Case {
        const char *name;
        std::vector<uint8_t> pcodeBytes;
        std::vector<Call> calls;
    } cases[] = {
        {"AudioMonitoringOnHead1", pcode(10, 11, {4, 1, 1, 2, 3, 4, 5, 6, 7, 0, 0, 0}),
         expectedCalls(1, {"audioMonitoringInCtrl"}, HEAD_AUDIO_MONITOR_EVENT)},
        {"HeadAttributesOnHead3", pcode(20, 8, std::vector<uint8_t>{5, 1, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9,
                                                                    9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9}),
         expectedCalls(3, {"Ulm-2-sdiOut"}, HEAD_ATTRIBUTES_EVENT)},
        {"WindowLayoutOnHead1", pcode(20, 3, std::vector<uint8_t>(52, 1)), /* slot 1 is not ours */ {}},
        {"ColorSaturationNobody", pcode(20, 12, {4, 0, 77, 0}), {}},
        {"ShortPcodeNobody", pcode(20, 0, {4, 0, 1}), {}},
        {"UnchangedNobody", pcode(20, 12, {4, 0, 77, 0}), {}},
        {"SystemFrameRateHead0", pcode(10, 7, {4, 60, 0, 0}),
         expectedCalls(0, {}, SYSTEM_FRAME_RATE_EVENT)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(postAndServe(c.pcodeBytes), c.calls);
    }
}

TEST_F(LayoutManager, SetDevicePcodeRaisesDelayEventOnTheMappedHead)
{
    size_t mark = log().mark();
    layoutSetDevicePcodeHandler(4, 150, DELAY_REG_ID, 120);
    drain();
    std::string text = log().since(mark);
    EXPECT_NE(text.find("Got Set Device Pcode reg id is: 5 dev id is 150 value is: 120 for slot 4."), std::string::npos);
    EXPECT_NE(text.find("PCODE PROC: Layout Set Device Pcode, put message into Q pcode with length 12"),
              std::string::npos);
    EXPECT_EQ(callsIn(text), expectedCalls(0, {}, DELAY_REG_EVENT)); /* no sub-module listens to the delay */
    EXPECT_EQ(layoutGetPrivateData()->heads[0].audioDelay, 120u);
}

TEST_F(LayoutManager, VideoInputChangesReachEveryHeadAndOutOfRangeIndexesAreRejected)
{
    videoInputRecord record = {1, 3, 7, 2, 1, 0, 5994, 1, 1920, 1080, 1125};
    size_t mark = log().mark();
    layoutVideoInputChangeHandler(&record);
    drain();
    std::vector<Call> calls = callsIn(log().since(mark));
    EXPECT_EQ(calls, std::vector<Call>({{0, "sysResMngt", INPUT_CHANGE_EVENT, 0},
                                        {1, "sysResMngt", INPUT_CHANGE_EVENT, 0},
                                        {2, "sysResMngt", INPUT_CHANGE_EVENT, 0},
                                        {3, "sysResMngt", INPUT_CHANGE_EVENT, 0}}));
    EXPECT_EQ(memcmp(&layoutGetPrivateData()->inputs[3], &record, sizeof record), 0);

    /* The same record again raises nothing. */
    mark = log().mark();
    layoutVideoInputChangeHandler(&record);
    drain();
    EXPECT_TRUE(callsIn(log().since(mark)).empty());

    /* An index beyond the 16 stored records is rejected before anything is compared or stored. */
    std::vector<uint8_t> before((const uint8_t *)layoutGetPrivateData(),
                                (const uint8_t *)layoutGetPrivateData() + LAYOUT_DATA_SIZE);
    for (uint32_t index : {16u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(index);
        record.inputIndex = index;
        mark = log().mark();
        layoutVideoInputChangeHandler(&record);
        drain();
        EXPECT_TRUE(callsIn(log().since(mark)).empty());
        EXPECT_NE(log().since(mark).find("VIDEO_INPUT_CHANGE_MSG for input " + std::to_string(index)), std::string::npos);
    }
    EXPECT_EQ(memcmp(before.data(), layoutGetPrivateData(), LAYOUT_DATA_SIZE), 0);
}

TEST_F(LayoutManager, AllInputDataIsCutToNineRecords)
{
    std::vector<videoInputRecord> records(12);
    for (uint32_t i = 0; i < records.size(); i++)
        records[i] = {0, i, 100 + i, 0, 1, 0, 5000, 0, 0, 0, 0};
    size_t mark = log().mark();
    layoutAllInputVideoDataHandler(records.data(), (uint32_t)records.size());
    drain();
    std::string text = log().since(mark);
    EXPECT_NE(text.find("layoutAllInputVideoDataHandler Not coping Video Data, because numberOfVideoInputs 12  exceed "
                        "layout manger max video count 9 will copy MAX only!!"),
              std::string::npos);
    EXPECT_NE(text.find("ALL_VIDEO_INPUT_DATA_MSG! number of inputs in data 9"), std::string::npos);
    EXPECT_TRUE(callsIn(text).empty()); /* no sub-module listens to ALL_INPUTS_EVENT */
    EXPECT_EQ(layoutGetPrivateData()->inputs[8].videoTypeInfo, 108u);
    EXPECT_EQ(layoutGetPrivateData()->inputs[9].videoTypeInfo, 0u);
}

TEST_F(LayoutManager, TargetEventsReachEverySubscriberOnEveryHeadWithThatHead)
{
    const uint8_t resources[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    size_t mark = log().mark();
    layoutTargetSpecificEvent(0x2, resources, sizeof resources);
    drain();
    std::vector<Call> calls = callsIn(log().since(mark));
    std::vector<Call> expected;
    for (int head = 0; head < 4; head++)
        for (const char *name : {"hdr3DLutGen", "SCALER", "postSysResMngt"})
            expected.push_back({head, name, TARGET_SPECIFIC_EVENT, 0x2});
    EXPECT_EQ(calls, expected);
    EXPECT_NE(log().since(mark).find("TARGET_SPECIFIC_MSG! event msg is 0x00000002"), std::string::npos);

    /* A bit nobody subscribes to calls nobody. */
    mark = log().mark();
    targetEventSystemConfigReady();
    drain();
    EXPECT_TRUE(callsIn(log().since(mark)).empty());
}

TEST_F(LayoutManager, TargetEventPostersQueueTheirBitWithWholeData)
{
    struct Case {
        const char *name;
        std::function<void()> post;
        uint32_t bit;       /* 0: nothing queued */
        std::vector<uint8_t> data;
        const char *logged;
    };
    const uint8_t resource[8] = {9, 8, 7, 6, 5, 4, 3, 2};
    uint8_t probe[40];
    for (int i = 0; i < 40; i++)
        probe[i] = (uint8_t)(0xA0 + i);
    uint32_t atdm[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const uint32_t head2[2] = {0, 2}, head4[2] = {0, 4};
    std::vector<Case> cases = {
        {"ResMngtHead2", [&] { targetEventSystemResMngt(resource, 8, head2); }, 0x8,
         std::vector<uint8_t>(resource, resource + 8), "targetEventSystemResMngt notifying registered submodules"},
        {"ResMngtHead4", [&] { targetEventSystemResMngt(resource, 8, head4); }, 0, {},
         "Big Issue, sysResMngt tries to post a specific message with an invalid head no 4"},
        {"Probe", [&] { targetProbeFormatChanged(probe); }, 0x400, std::vector<uint8_t>(probe, probe + 24), nullptr},
        {"Atdm", [&] { targetEventAtdmModeChanged(atdm); }, 0x1000,
         std::vector<uint8_t>((uint8_t *)atdm, (uint8_t *)atdm + 40), nullptr},
        {"ScalerResources", [&] { targetEventScalerResourcesAvailable(resource, 8); }, 0x80,
         std::vector<uint8_t>(resource, resource + 8), nullptr},
        {"ScalerFrameRate", [&] { targetEventScalerFrameRateChange(resource, 8); }, 0x800,
         std::vector<uint8_t>(resource, resource + 8), nullptr},
        {"ForceLayout", [] { targetEventForceLayout(); }, 0x20, {}, nullptr},
        {"FourK", [] { targetEvent4kModeChanged(1); }, 0x2000, {1, 0, 0, 0}, nullptr},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.name);
        size_t mark = log().mark();
        c.post();
        EXPECT_EQ(layoutManagerQueuedCount(), c.bit ? 1u : 0u);
        if (c.logged) {
            EXPECT_NE(log().since(mark).find(c.logged), std::string::npos);
        }
        if (!c.bit)
            continue;
        /* What a subscriber of the bit receives: a test sub-module on head 0 would see the same bytes. */
        layoutEventInfo *event = &layoutManagerGetInstance()->event;
        EXPECT_EQ(layoutManagerServeNext(0), 1);
        EXPECT_EQ(event->target, c.bit);
        EXPECT_EQ(event->headEvent, TARGET_SPECIFIC_EVENT);
        EXPECT_EQ(event->head, 3u); /* the last list visited */
        if (!c.data.empty()) {
            EXPECT_EQ(memcmp(event->eventData, c.data.data(), c.data.size()), 0);
        }
        /* A forced layout makes resource management post its results: serve them before the next case. */
        drain();
    }
}

TEST_F(LayoutManager, FourKModeIsRecordedBeforeTheEventIsServed)
{
    targetEvent4kModeChanged(3);
    uint32_t mode = 0;
    targetGet4kMode(&mode);
    EXPECT_EQ(mode, 3u);
    targetSet4kMode(0);
    targetGet4kMode(&mode);
    EXPECT_EQ(mode, 0u);
}

TEST_F(LayoutManager, TargetDataAboveSevenHundredFourBytesIsRefusedBeforeThePool)
{
    std::vector<uint8_t> data(705, 0x5A);
    uint32_t free = layoutManagerFreeCount();
    size_t mark = log().mark();
    layoutTargetSpecificEvent(0x4000, data.data(), 705);
    EXPECT_EQ(layoutManagerFreeCount(), free);
    EXPECT_EQ(layoutManagerQueuedCount(), 0u);
    EXPECT_NE(log().since(mark).find("Dropping TargetSpecific Event Msg doesn't fit in Q sizeOfEventData(705) > "
                                     "LAYOUT_MANAGER_MAX_MESSAGE_SIZE(712)!"),
              std::string::npos);

    layoutTargetSpecificEvent(0x4000, data.data(), 704);
    EXPECT_EQ(layoutManagerQueuedCount(), 1u);
    EXPECT_EQ(layoutManagerServeNext(0), 1);
    const uint8_t *delivered = (const uint8_t *)layoutManagerGetInstance()->event.eventData;
    EXPECT_EQ(memcmp(delivered, data.data(), 704), 0);
}

TEST_F(LayoutManager, PcodesLongerThanTheMessagePayloadAreRefused)
{
    std::vector<uint8_t> data(705, 0); /* 709 bytes with the header */
    data[0] = 4;
    std::vector<uint8_t> p = pcode(20, 3, data);
    size_t mark = log().mark();
    layoutClassPcodeHandler(p.data(), (uint32_t)p.size());
    layoutSaveCardConfigHandler(p.data(), (uint32_t)p.size());
    EXPECT_EQ(layoutManagerQueuedCount(), 0u);
    std::string text = log().since(mark);
    const std::string refused = "of 709 bytes does not fit a layout message of 708 bytes, dropped";
    size_t first = text.find(refused);
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(text.find(refused, first + 1), std::string::npos); /* both handlers */

    p = pcode(20, 3, std::vector<uint8_t>(704, 0)); /* 708: fits */
    layoutClassPcodeHandler(p.data(), (uint32_t)p.size());
    EXPECT_EQ(layoutManagerQueuedCount(), 1u);
}

TEST_F(LayoutManager, AFullPoolDropsEveryKindWithItsMessageAndCounts)
{
    const uint8_t byte = 0;
    /* The genlock sub-module's boot timer holds one message from pre-start on. */
    const uint32_t free = layoutManagerFreeCount();
    for (uint32_t i = 0; i < free; i++)
        layoutTargetSpecificEvent(0x1, &byte, 1);
    EXPECT_EQ(layoutManagerFreeCount(), 0u);
    EXPECT_EQ(layoutManagerQueuedCount(), free);

    videoInputRecord record = {};
    std::vector<uint8_t> apply = pcode(20, 0, {4, 0, 1, 0});
    std::vector<uint8_t> save = pcode(10, 3, {4, 0});
    struct Case {
        const char *name;
        std::function<void()> post;
        const char *dropped;
    } cases[] = {
        {"Target", [&] { layoutTargetSpecificEvent(0x1, &byte, 1); }, "Dropping TargetSpecific Event Msg!"},
        {"Pcode", [&] { post(apply); }, "Dropping Layout Class Pcode!"},
        {"Save", [&] { layoutSaveCardConfigHandler(save.data(), (uint32_t)save.size()); }, "Dropping SaveLayout Pcode!"},
        {"SetDevice", [] { layoutSetDevicePcodeHandler(4, 150, 5, 1); }, "Dropping Set Device Pcode!"},
        {"Video", [&] { layoutVideoInputChangeHandler(&record); }, "Dropping Video Event Msg!"},
        {"AllVideo", [&] { layoutAllInputVideoDataHandler(&record, 1); }, "Dropping Video Event Msg!"},
    };
    uint32_t count = layoutManagerEventReceivedCount();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        size_t mark = log().mark();
        c.post();
        count++;
        EXPECT_EQ(layoutManagerEventReceivedCount(), count);
        EXPECT_NE(log().since(mark).find(std::string("Big problem layoutManager Q full ") + c.dropped +
                                         " eventReceivedCount " + std::to_string(count)),
                  std::string::npos);
    }
    EXPECT_EQ(layoutManagerQueuedCount(), free);

    /* A timer on an empty pool: result 3, nothing returned to the pool. */
    deviceSubmoduleInstance *templateInstance = findInstance(&templateSubmodule, 0);
    ASSERT_NE(templateInstance, nullptr);
    size_t mark = log().mark();
    EXPECT_EQ(startSubModuleTimeoutEvent(&templateSubmodule, 10, templateInstance, 1), LAYOUT_RESULT_FAILED);
    EXPECT_NE(log().since(mark).find("Big problem layoutManager Q full Not going to create Timer Event Msg! "
                                     "eventReceivedCount " + std::to_string(count + 1)),
              std::string::npos);
    EXPECT_EQ(layoutManagerFreeCount(), 0u);

    EXPECT_EQ(drain(), (int)free);
    EXPECT_EQ(layoutManagerFreeCount(), free);
}

TEST_F(LayoutManager, TimerDelaysSplitIntoSecondsAndNanoseconds)
{
    struct Case {
        uint32_t delayMs;
        time_t seconds;
        long nanoseconds;
    } cases[] = {{1500, 1, 500000000}, {999, 0, 999000000}, {1000, 1, 0}, {30000, 30, 0}, {1, 0, 1000000}, {0, 0, 1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.delayMs);
        struct itimerspec arm = layoutManagerTimerDelay(c.delayMs);
        EXPECT_EQ(arm.it_value.tv_sec, c.seconds);
        EXPECT_EQ(arm.it_value.tv_nsec, c.nanoseconds);
        EXPECT_EQ(arm.it_interval.tv_sec, 0);
        EXPECT_EQ(arm.it_interval.tv_nsec, 0);
    }
}

/* POSIX timers the process holds, as the kernel lists them. */
size_t processTimers()
{
    std::string text = "\n" + firmwareTest::readFile("/proc/self/timers");
    size_t count = 0;
    for (size_t at = text.find("\nID:"); at != std::string::npos; at = text.find("\nID:", at + 1))
        count++;
    return count;
}

TEST_F(LayoutManager, TimersFireOnceOnTheInstanceThatArmedThemEvenOnAHeadNotDone)
{
    /* The kernel lists a process's timers where checkpoint support is built in. */
    bool timersListed = access("/proc/self/timers", R_OK) == 0;
    size_t timersBefore = processTimers();
    for (layoutPcodeRemap &entry : layoutPcodeRemapTable)
        entry.layoutDone = 0;
    deviceSubmoduleInstance *templateInstance = findInstance(&templateSubmodule, 0);
    deviceSubmoduleInstance *fourKHead2 = findInstance(&sys4kModeSubmodule, 2);
    ASSERT_NE(templateInstance, nullptr);
    ASSERT_NE(fourKHead2, nullptr);
    templateSubmoduleState = 0;
    size_t mark = log().mark();
    const uint32_t free = layoutManagerFreeCount(); /* the genlock's boot timer holds one */
    EXPECT_EQ(startSubModuleTimeoutEvent(&templateSubmodule, 5, templateInstance, 41), LAYOUT_RESULT_OK);
    EXPECT_EQ(startSubModuleTimeoutEvent(&sys4kModeSubmodule, 20, fourKHead2, 42), LAYOUT_RESULT_OK);
    EXPECT_EQ(layoutManagerFreeCount(), free - 2);
    if (timersListed) {
        EXPECT_EQ(processTimers(), timersBefore + 2);
    }

    int served = 0;
    for (int i = 0; i < 50 && served < 2; i++)
        served += layoutManagerServeNext(100);
    ASSERT_EQ(served, 2);
    /* Neither fires again. */
    EXPECT_EQ(layoutManagerServeNext(100), 0);
    EXPECT_EQ(layoutManagerFreeCount(), free);
    /* Each timer is deleted once its expiry was served. */
    if (timersListed) {
        EXPECT_EQ(processTimers(), timersBefore);
    }

    std::string text = log().since(mark);
    EXPECT_EQ(templateSubmoduleState, TIMER_TIMEOUT_EVENT);
    EXPECT_EQ(log().count("TIMER_EXPIRED_MSG! event msg for submodule Ulm-2-template"), 1u);
    EXPECT_NE(text.find("TEMPLATE SUB-MODULE:head 0 Process"), std::string::npos);
    EXPECT_NE(text.find("sys4kMode: Error. Non registered event occurred for sub-module Kvr-sys4kMode! eventId "
                        "0x200000, head id 2"),
              std::string::npos);
    EXPECT_EQ(text.find("eventId 0x200000, head id 0"), std::string::npos);
    EXPECT_TRUE(callsIn(text).empty()); /* nothing went through the head lists */
}

TEST_F(LayoutManager, TimersRefuseInstancesThatAreNotTheLayoutManagers)
{
    deviceSubmoduleInstance stranger = {0, 0, 0, nullptr, &templateSubmodule};
    deviceSubmoduleInstance *fourK = findInstance(&sys4kModeSubmodule, 1);
    const uint32_t free = layoutManagerFreeCount();
    EXPECT_EQ(startSubModuleTimeoutEvent(&templateSubmodule, 5, &stranger, 0), LAYOUT_RESULT_TIMER_FAILED);
    EXPECT_EQ(startSubModuleTimeoutEvent(&templateSubmodule, 5, fourK, 0), LAYOUT_RESULT_TIMER_FAILED);
    EXPECT_EQ(layoutManagerFreeCount(), free);
}

TEST_F(LayoutManager, HeadsNotDoneCallNobody)
{
    layoutPcodeRemapTable[2].layoutDone = 0;
    size_t mark = log().mark();
    EXPECT_TRUE(postAndServe(pcode(20, 0, {5, 0, 1, 0})).empty());
    EXPECT_NE(log().since(mark).find("Layout Manager notifySubModulesOfChange not done for head 2!!!!!"),
              std::string::npos);
}

TEST_F(LayoutManager, RowsOfOtherModulesHoldTheirPlacesForTheirOwners)
{
    EXPECT_EQ(layoutManagerRegisterSubmodule(LAYOUT_OWNED_ROWS, &kvrGenlockSi5344Submodule), 0);
    EXPECT_EQ(layoutManagerRegisterSubmodule(LAYOUT_ROW_GENLOCK, nullptr), 0);
    /* Registered by genlock at start-up: the first instance of the table, first on head 0, and nowhere else. */
    EXPECT_EQ(layoutManagerSubmoduleInstanceAt(0)->descriptor, &kvrGenlockSi5344Submodule);
    EXPECT_EQ(findInstance(&kvrGenlockSi5344Submodule, 0), layoutManagerSubmoduleInstanceAt(0));
    EXPECT_EQ(findInstance(&kvrGenlockSi5344Submodule, 0, 1), nullptr);
    for (uint32_t head = 1; head < LAYOUT_HEAD_COUNT; head++)
        EXPECT_EQ(findInstance(&kvrGenlockSi5344Submodule, head), nullptr);
}

TEST_F(LayoutManager, PreStartInitialisesEveryInstanceAndForcesTheLayout)
{
    size_t mark = log().mark();
    layoutManagerService.preStart(&layoutManagerService);
    std::vector<Call> calls = callsIn(log().since(mark));
    std::vector<Call> expected = {
        {0, "kvr-genlockSi5344", FORCE_LAYOUT_EVENT, 0}, {0, "Kvr-sys4kMode", FORCE_LAYOUT_EVENT, 0},
        {0, "sysResMngt", FORCE_LAYOUT_EVENT, 0},        {0, "hdr3DLutGen", FORCE_LAYOUT_EVENT, 0},
        {0, "SCALER", FORCE_LAYOUT_EVENT, 0},            {0, "frameBuffer", FORCE_LAYOUT_EVENT, 0},
        {0, "graphicProcessor", FORCE_LAYOUT_EVENT, 0},  {0, "audioMonitoringInCtrl", FORCE_LAYOUT_EVENT, 0},
        {0, "Ulm-2-sdiOut", FORCE_LAYOUT_EVENT, 0},
    };
    ASSERT_GE(calls.size(), expected.size());
    EXPECT_EQ(std::vector<Call>(calls.begin(), calls.begin() + (long)expected.size()), expected);
    size_t perHead[4] = {};
    for (const Call &c : calls)
        perHead[c.head]++;
    EXPECT_EQ(perHead[1], 8u); /* all but postSysResMngt */
    EXPECT_EQ(perHead[2], 6u);
    EXPECT_EQ(perHead[3], 6u);
    EXPECT_EQ(sys4kModeState.heads[3].seen, 1u);
}

/*
 * Waits until thread `tid` sleeps with every message of the pool back in it
 * (nothing queued, nothing being served); false after ten seconds. A message a
 * handler queues while it serves another is taken before that one goes back,
 * so the pool is never full in between.
 */
bool waitUntilAsleepOnEmptyQueue(pid_t tid, uint32_t pool)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!(layoutManagerFreeCount() == pool && threadState::sleeping(tid))) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

TEST_F(LayoutManager, TheThreadServesUntilTerminateAndTheQueueStaysUsable)
{
    layoutManagerService.state = SERVICE_STATE_RUN;
    const uint32_t pool = layoutManagerFreeCount();
    std::atomic<pid_t> layoutTid{0};
    std::atomic<bool> left{false};
    std::thread thread([&] {
        layoutTid = threadState::currentTid();
        layoutManagerService.threadEntry(&layoutManagerService);
        left = true;
    });
    size_t mark = log().mark();
    post(pcode(20, 0, {5, 1, 2, 0}));
    for (int i = 0; i < 5000 && headEventCalls(callsIn(log().since(mark))).size() < 5; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(headEventCalls(callsIn(log().since(mark))).size(), 5u);
    /* The apply also queued resource management's notice: the layout thread serves it before the waiter comes. */
    while (layoutTid.load() == 0)
        std::this_thread::yield();
    EXPECT_TRUE(waitUntilAsleepOnEmptyQueue(layoutTid.load(), pool));

    /*
     * Terminate wakes whoever waits on the empty queue: a second waiter with a
     * minute to wait, met inside its wait, comes back at once, and so does the thread.
     */
    std::atomic<pid_t> waiterTid{0};
    std::atomic<bool> waiterBack{false};
    std::thread waiter([&] {
        waiterTid = threadState::currentTid();
        EXPECT_EQ(layoutManagerServeNext(60000), 0);
        waiterBack = true;
    });
    while (waiterTid.load() == 0)
        std::this_thread::yield();
    EXPECT_TRUE(threadState::waitUntilSleeping(waiterTid.load()));
    auto asked = std::chrono::steady_clock::now();
    layoutManagerService.state = SERVICE_STATE_TERMINATE;
    layoutManagerService.control(&layoutManagerService, SERVICE_STATE_TERMINATE, SERVICE_STATE_RUN);
    waiter.join();
    EXPECT_TRUE(waiterBack);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, firmwareTest::PROMPT);
    thread.join();
    EXPECT_TRUE(left);

    /* Producers that come late still find a working queue. */
    post(pcode(20, 0, {5, 1, 2, 0}));
    EXPECT_EQ(layoutManagerQueuedCount(), 1u);
    layoutManagerService.state = SERVICE_STATE_INIT;
}

} // namespace
