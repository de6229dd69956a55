#include "deviceManager/deviceManager.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "deviceTestSupport.h"
#include "../../support/ThreadState.h"

namespace {

typedef std::vector<uint8_t> Bytes;

class FpgaHandlerTest : public CardFixture {};

struct FrameCase {
    const char *name;
    uint32_t command;
    uint32_t address;
    Bytes data;      // written words (big-endian), or empty for reads
    uint32_t count;  // words
    Bytes frame;     // the transmitted bytes
};

const FrameCase frameCases[] = {
    {"read 3 words at 0x1000", DEVICE_READ, 0x1000, {}, 3,
     {0x80, 0x00, 0x10, 0x00, 0x00, 0x03, 0, 0, 0, 0, 0, 0}},
    {"write 1 word at 0x98", DEVICE_WRITE, 0x98, {0xAB, 0xCD}, 1, {0x00, 0x00, 0x00, 0x98, 0xAB, 0xCD}},
    {"keyhole write 2 words at 0x20", DEVICE_KEYHOLE_WRITE, 0x20, {0x12, 0x34, 0x56, 0x78}, 2,
     {0x40, 0x00, 0x00, 0x20, 0x12, 0x34, 0x56, 0x78}},
    {"keyhole read 2 words at 0x30", DEVICE_KEYHOLE_READ, 0x30, {}, 2,
     {0xC0, 0x00, 0x00, 0x30, 0x00, 0x02, 0, 0, 0, 0}},
    {"read at the top of the 30-bit space", DEVICE_READ, 0x3FFFFFFF, {}, 1,
     {0xBF, 0xFF, 0xFF, 0xFF, 0x00, 0x01, 0, 0}},
    {"write of 2 words at 0x12345", DEVICE_WRITE, 0x12345, {0x00, 0x01, 0xFF, 0xFE}, 2,
     {0x00, 0x01, 0x23, 0x45, 0x00, 0x01, 0xFF, 0xFE}},
};

TEST_F(FpgaHandlerTest, RequestsBecomeOneSpiFrameEach)
{
    cardsimFpgaSet(CARDSIM_FSM, 0x1000, 0x1122);
    cardsimFpgaSet(CARDSIM_FSM, 0x1001, 0x3344);
    cardsimFpgaSet(CARDSIM_FSM, 0x1002, 0x5566);
    cardsimFpgaQueueKeyhole(CARDSIM_FSM, 0x30, {0xA1A2, 0xB1B2});
    cardsimFpgaSet(CARDSIM_FSM, 0x3FFFFFFF, 0x7788);
    for (const FrameCase &c : frameCases) {
        SCOPED_TRACE(c.name);
        cardsimClearLogs();
        Bytes buffer = c.data.empty() ? Bytes(2 * c.count, 0xEE) : c.data;
        ASSERT_EQ(deviceManagerAccess(c.command, DEVICE_FSM_FPGA, c.address, 0, c.count, buffer.data()), 0u);
        auto frames = cardsimSpiFrames(CARDSIM_FSM);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0], c.frame);
    }
    Bytes three(6);
    ASSERT_EQ(deviceManagerAccess(DEVICE_READ, DEVICE_FSM_FPGA, 0x1000, 0, 3, three.data()), 0u);
    EXPECT_EQ(three, (Bytes{0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));
    EXPECT_EQ(cardsimFpgaGet(CARDSIM_FSM, 0x98), 0xABCD);
    EXPECT_EQ(cardsimFpgaGet(CARDSIM_FSM, 0x20), 0x5678);
    cardsimFpgaQueueKeyhole(CARDSIM_FSM, 0x30, {0xA1A2, 0xB1B2});
    Bytes keyhole(4);
    ASSERT_EQ(deviceManagerAccess(DEVICE_KEYHOLE_READ, DEVICE_FSM_FPGA, 0x30, 0, 2, keyhole.data()), 0u);
    EXPECT_EQ(keyhole, (Bytes{0xA1, 0xA2, 0xB1, 0xB2}));
    EXPECT_TRUE(cardsimSpiFrames(CARDSIM_DPS).empty());
}

// Requests larger than the 3,000-byte transfer buffers go out as consecutive frames.
TEST_F(FpgaHandlerTest, LargeRequestsAreSplitIntoFramesOfAtMost3000Bytes)
{
    struct SplitCase {
        const char *name;
        uint32_t command;
        uint32_t count;
        std::vector<size_t> lengths;
        std::vector<uint32_t> addresses;
    } cases[] = {
        {"read 3000 words", DEVICE_READ, 3000, {3000, 3000, 18}, {0x100, 0x100 + 1497, 0x100 + 2994}},
        {"read 1497 words", DEVICE_READ, 1497, {3000}, {0x100}},
        {"write 3000 words", DEVICE_WRITE, 3000, {3000, 3000, 12}, {0x100, 0x100 + 1498, 0x100 + 2996}},
        {"write 1499 words", DEVICE_WRITE, 1499, {3000, 6}, {0x100, 0x100 + 1498}},
        {"keyhole write 1500 words", DEVICE_KEYHOLE_WRITE, 1500, {3000, 8}, {0x100, 0x100}},
        {"keyhole read 1498 words", DEVICE_KEYHOLE_READ, 1498, {3000, 8}, {0x100, 0x100}},
    };
    for (const SplitCase &c : cases) {
        SCOPED_TRACE(c.name);
        cardsimClearLogs();
        Bytes buffer(2 * c.count);
        for (size_t i = 0; i < buffer.size(); i += 2) {
            buffer[i] = (uint8_t)(i >> 9);
            buffer[i + 1] = (uint8_t)(i >> 1);
        }
        Bytes sent = buffer;
        ASSERT_EQ(deviceManagerAccess(c.command, DEVICE_DPS_FPGA, 0x100, 0, c.count, buffer.data()), 0u);
        auto frames = cardsimSpiFrames(CARDSIM_DPS);
        ASSERT_EQ(frames.size(), c.lengths.size());
        for (size_t f = 0; f < frames.size(); f++) {
            EXPECT_EQ(frames[f].size(), c.lengths[f]);
            uint32_t address = ((uint32_t)frames[f][0] << 24 | frames[f][1] << 16 | frames[f][2] << 8 | frames[f][3]) &
                               0x3FFFFFFF;
            EXPECT_EQ(address, c.addresses[f]);
        }
        if (c.command == DEVICE_WRITE) {
            // Every word landed where one long write would have put it; a read brings it all back.
            Bytes back(2 * c.count);
            ASSERT_EQ(deviceManagerAccess(DEVICE_READ, DEVICE_DPS_FPGA, 0x100, 0, c.count, back.data()), 0u);
            EXPECT_EQ(back, sent);
        }
    }
}

TEST_F(FpgaHandlerTest, QueuedRequestsRunByPriorityThenInOrder)
{
    cardsimFpgaHold(CARDSIM_FSM, 1);
    Completions done;
    uint8_t scratch[2 * 110];
    // The first request occupies the worker while the others queue up behind it.
    ASSERT_EQ(deviceManagerAccessAsync(DEVICE_READ, 1, 0x1, 0, 1, scratch, done.entry(), Completions::callback), 0u);
    ASSERT_TRUE(cardsimFpgaWaitParked(CARDSIM_FSM, 5000));
    struct Queued {
        uint32_t priority;
        uint32_t address;
    } queued[] = {{0, 0x10}, {1, 0x11}, {2, 0x12}, {0, 0x13}, {1, 0x14}, {2, 0x15}};
    int requests = 1;
    for (const Queued &q : queued) {
        ASSERT_EQ(deviceManagerAccessAsync(DEVICE_READ, 1, q.address, q.priority, 1, scratch, done.entry(),
                                           Completions::callback),
                  0u);
        requests++;
    }
    for (uint32_t i = 0; i < 100; i++, requests++)
        ASSERT_EQ(deviceManagerAccessAsync(DEVICE_READ, 1, 0x100 + i, 0, 1, scratch, done.entry(), Completions::callback),
                  0u);
    ASSERT_EQ(deviceManagerAccessAsync(DEVICE_READ, 1, 0x99, 2, 1, scratch, done.entry(), Completions::callback), 0u);
    requests++;
    cardsimFpgaHold(CARDSIM_FSM, 0);
    ASSERT_TRUE(done.wait(requests));

    std::vector<uint32_t> order;
    for (const Bytes &frame : cardsimSpiFrames(CARDSIM_FSM))
        order.push_back((uint32_t)frame[2] << 8 | frame[3]);
    std::vector<uint32_t> expected = {0x1, 0x12, 0x15, 0x99, 0x11, 0x14, 0x10, 0x13};
    for (uint32_t i = 0; i < 100; i++)
        expected.push_back(0x100 + i);
    EXPECT_EQ(order, expected);
}

TEST_F(FpgaHandlerTest, FailedTransfersReachSynchronousAndAsynchronousCallers)
{
    uint8_t buffer[2];
    cardsimSpiFail(CARDSIM_DPS, 1);
    EXPECT_EQ(deviceManagerAccess(DEVICE_READ, DEVICE_DPS_FPGA, 0, 0, 1, buffer), (uint32_t)DEVICE_ACCESS_FAILED);
    EXPECT_EQ(log.count("fpgaHandler ulmSpiIO error 1"), 1);

    cardsimSpiFail(CARDSIM_DPS, 1);
    Completions done;
    Completions::Entry *failed = done.entry();
    Completions::Entry *fine = done.entry();
    ASSERT_EQ(deviceManagerAccessAsync(DEVICE_WRITE, DEVICE_DPS_FPGA, 0x40, 0, 1, buffer, failed, Completions::callback), 0u);
    ASSERT_EQ(deviceManagerAccessAsync(DEVICE_READ, DEVICE_DPS_FPGA, 0, 0, 1, buffer, fine, Completions::callback), 0u);
    ASSERT_TRUE(done.wait(2));
    EXPECT_EQ(failed->status, (uint32_t)DEVICE_ACCESS_FAILED);
    EXPECT_EQ(fine->status, 0u);
    EXPECT_EQ(fine->calls, 1);
    EXPECT_EQ(buffer[0], 0xBD);
    EXPECT_EQ(deviceManagerAccess(DEVICE_READ, DEVICE_DPS_FPGA, 0, 0, 1, buffer), 0u);
}

TEST_F(FpgaHandlerTest, BadArgumentsAreRefusedAndUnknownCommandsFail)
{
    uint8_t buffer[2];
    EXPECT_EQ(deviceManagerAccess(DEVICE_READ, 1, 0, 3, 1, buffer), (uint32_t)DEVICE_ACCESS_BAD_ARGUMENT);
    EXPECT_EQ(deviceManagerAccess(DEVICE_READ, 1, 0, 0, 1, nullptr), (uint32_t)DEVICE_ACCESS_BAD_ARGUMENT);
    EXPECT_EQ(deviceManagerAccess(7, 1, 0, 0, 1, buffer), (uint32_t)DEVICE_ACCESS_BAD_COMMAND);
    EXPECT_TRUE(cardsimSpiFrames(CARDSIM_FSM).empty());
}

TEST_F(FpgaHandlerTest, CutLinkCompletesNewRequestsWithoutATransfer)
{
    deviceObject *fsm = deviceManagerGetDevice(DEVICE_FSM_FPGA);
    cardsimFpgaHold(CARDSIM_FSM, 1);
    Completions done;
    uint8_t before[2] = {0, 0};
    Completions::Entry *queuedBefore = done.entry();
    ASSERT_EQ(deviceManagerAccessAsync(DEVICE_READ, 1, 0x0, 0, 1, before, queuedBefore, Completions::callback), 0u);
    ASSERT_TRUE(cardsimFpgaWaitParked(CARDSIM_FSM, 5000));
    uint8_t queuedWhileBusy[2] = {0x55, 0x66};
    ASSERT_EQ(deviceManagerAccessAsync(DEVICE_READ, 1, 0x1, 0, 1, queuedWhileBusy, done.entry(), Completions::callback), 0u);
    fsm->spiLinkCut = 1;
    uint8_t cut[2] = {0x55, 0x66};
    Completions::Entry *cutEntry = done.entry();
    ASSERT_EQ(deviceManagerAccessAsync(DEVICE_READ, 1, 0x2, 0, 1, cut, cutEntry, Completions::callback), 0u);
    cardsimFpgaHold(CARDSIM_FSM, 0);
    ASSERT_TRUE(done.wait(3));
    uint8_t sync[2] = {0x55, 0x66};
    EXPECT_EQ(deviceManagerAccess(DEVICE_READ, 1, 0x3, 0, 1, sync), 0u);
    fsm->spiLinkCut = 0;

    EXPECT_EQ(cutEntry->status, 0u);
    EXPECT_EQ(cut[0], 0x55);
    EXPECT_EQ(sync[0], 0x55);
    EXPECT_EQ(before[0], 0xBD);
    EXPECT_EQ(queuedWhileBusy[0], 0x00); // register 1 holds 18: queued before the cut, still transferred
    EXPECT_EQ(queuedWhileBusy[1], 0x12);
    EXPECT_EQ(cardsimSpiFrames(CARDSIM_FSM).size(), 2u);
}

TEST_F(FpgaHandlerTest, StoppingCompletesEveryQueuedRequestWithAnError)
{
    cardsimFpgaHold(CARDSIM_FSM, 1);
    Completions done;
    uint8_t buffer[2 * 8];
    Completions::Entry *running = done.entry();
    ASSERT_EQ(deviceManagerAccessAsync(DEVICE_READ, 1, 0x0, 0, 1, buffer, running, Completions::callback), 0u);
    ASSERT_TRUE(cardsimFpgaWaitParked(CARDSIM_FSM, 5000));
    std::vector<Completions::Entry *> queued;
    for (int i = 0; i < 5; i++) {
        queued.push_back(done.entry());
        ASSERT_EQ(deviceManagerAccessAsync(DEVICE_READ, 1, 0x10, (uint32_t)i % 3, 1, buffer + 2, queued.back(),
                                           Completions::callback),
                  0u);
    }
    std::atomic<uint32_t> syncResult{0xFFFF};
    std::atomic<pid_t> syncTid{0}, stopperTid{0};
    std::thread syncCaller([&] {
        syncTid = threadState::currentTid();
        syncResult = deviceManagerAccess(DEVICE_READ, 1, 0x11, 1, 1, buffer + 4);
    });
    /* the synchronous request is queued: its caller sleeps waiting for the answer */
    for (int wait = 0; wait < 5000 && syncTid == 0; wait++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(threadState::waitUntilSleeping(syncTid));

    std::thread stopper([&] {
        stopperTid = threadState::currentTid();
        deviceManagerTerminate(nullptr, 3, 1);
    });
    deviceObject *fsm = deviceManagerGetDevice(DEVICE_FSM_FPGA);
    for (int wait = 0; wait < 500 && fsm->initialised != 2; wait++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    /* the stop has begun: the stopper waits for the worker, still held in its transfer */
    EXPECT_TRUE(threadState::waitUntilSleeping(stopperTid));
    cardsimFpgaHold(CARDSIM_FSM, 0);
    stopper.join();
    syncCaller.join();

    ASSERT_TRUE(done.wait(6));
    EXPECT_EQ(running->status, 0u);
    for (Completions::Entry *entry : queued) {
        EXPECT_EQ(entry->status, (uint32_t)DEVICE_ACCESS_STOPPED);
        EXPECT_EQ(entry->calls, 1);
    }
    EXPECT_EQ(syncResult.load(), (uint32_t)DEVICE_ACCESS_STOPPED);
    EXPECT_EQ(cardsimSpiFrames(CARDSIM_FSM).size(), 1u);
}

TEST_F(FpgaHandlerTest, ManyThreadsGetTheirOwnSynchronousResults)
{
    for (uint32_t i = 0; i < 8; i++)
        cardsimFpgaSet(CARDSIM_DPS, 0x500 + i, (uint16_t)(0x1000 * i + i));
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (uint32_t t = 0; t < 8; t++) {
        threads.emplace_back([t, &wrong] {
            for (int n = 0; n < 200; n++) {
                uint8_t word[2] = {0xEE, 0xEE};
                uint32_t rc = deviceManagerAccess(DEVICE_READ, DEVICE_DPS_FPGA, 0x500 + t, t % 3, 1, word);
                if (rc != 0 || ((word[0] << 8) | word[1]) != (int)(0x1000 * t + t))
                    wrong++;
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

} // namespace
