/*
 * The probing thread on the emulator's Vsyncs: it reads every second frame,
 * a Thread Control write of 0xFFFF halts it and 0xFFFE resumes it, frames
 * signalled by ethernet probing leave the pace to the interrupts, and it
 * leaves on terminate.
 */

#include "probing/probing.h"

#include "cardsim/cardsim.h"
#include "deviceManager/deviceManager.h"
#include "interruptController/interruptController.h"
#include "platform/platformPrivate.h"
#include "qvsInterface/qvsInterface.h"
#include "serviceManager/serviceManager.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

#include "../main/EmulatedCard.h"
#include "../main/FirmwareTestSupport.h"
#include "../../support/ThreadState.h"

extern serviceDescriptor interruptControllerService;
extern serviceDescriptor probingService;

using firmwareTest::TestLog;

namespace {

uint8_t sharedMemory[CARD_STATUS_BLOCK_SIZE * CARD_STATUS_BLOCK_COUNT];

class ProbingThread : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestLog::instance();
        firmwareTest::startEmulatedCard(root, log4c_category_get("ulm.firmware.main"), sharedMemory, sizeof sharedMemory);
        cardsimFpgaSet(CARDSIM_FSM, 0, 0x1234);
        cardsimFpgaSet(CARDSIM_DPS, 0, 0x5678);
        initService(&interruptControllerService);
        interruptControllerService.state = SERVICE_STATE_RUN;
        interrupts = std::thread([] { interruptControllerService.threadEntry(&interruptControllerService); });
        initService(&probingService);
        probingService.preStart(&probingService);
        probingService.state = SERVICE_STATE_RUN;
        probing = std::thread([this] {
            probingTid = threadState::currentTid();
            probingService.threadEntry(&probingService);
        });
        ASSERT_EQ(cardsimVsyncStart(5), 0);
    }
    void TearDown() override
    {
        probingControlFlags.halted = 0;
        probingService.state = SERVICE_STATE_TERMINATE;
        probingService.control(&probingService, SERVICE_STATE_TERMINATE, SERVICE_STATE_RUN);
        interruptControllerService.state = SERVICE_STATE_TERMINATE;
        interruptControllerService.control(&interruptControllerService, SERVICE_STATE_TERMINATE, SERVICE_STATE_RUN);
        probing.join();
        interrupts.join();
        cardsimVsyncStop();
        deviceManagerTerminate(nullptr, 3, 0);
        cardsimStop();
        unsetenv("KVR_ROOT");
    }
    static bool readsReach(uint32_t count, int ms = 3000)
    {
        for (int i = 0; i < ms / 5; i++) {
            if (cardsimFpgaReadCount(CARDSIM_FSM, 0x0040) >= count)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    static void threadControl(uint16_t value)
    {
        /* The debug port's write to the Thread Control device: the address is the command. */
        platformWriteDevice(DEVICE_THREAD_CONTROL, value, 0, nullptr);
    }
    TempDir root;
    std::thread interrupts, probing;
    std::atomic<pid_t> probingTid{0};
};

TEST_F(ProbingThread, ThreadControlHaltsAndResumesTheCycles)
{
    ASSERT_TRUE(readsReach(3));
    threadControl(0xFFFF);
    ASSERT_EQ(probingControlFlags.halted, 1u);
    /*
     * A halted thread waits the halt out asleep (a Vsync is waited for on a
     * condition, not in a sleep). Once it sleeps there, and again after it
     * woke and looked at the halt once more, it must have logged no Vsync and
     * read nothing in between.
     */
    const std::string vsyncLine = "probing srvcRunning VSYNC count";
    ASSERT_TRUE(threadState::waitForTimedSleepAfter(probingTid, -1)) << "the halted thread does not sleep";
    size_t mark = TestLog::instance().mark();
    uint32_t halted = cardsimFpgaReadCount(CARDSIM_FSM, 0x0040);
    long switches = threadState::voluntarySwitches(probingTid);
    ASSERT_TRUE(threadState::waitForTimedSleepAfter(probingTid, switches)) << "the halted thread stopped sleeping";
    std::string logged = TestLog::instance().since(mark);
    EXPECT_EQ(logged.find(vsyncLine), std::string::npos) << logged;
    EXPECT_EQ(cardsimFpgaReadCount(CARDSIM_FSM, 0x0040), halted);
    threadControl(0xFFFE);
    EXPECT_TRUE(readsReach(halted + 3));
}

/*
 * Frames signalled by ethernet probing are probed like any other, cycle end
 * included; once their rounds are over the emulator's interrupts pace the
 * reads again (every second frame of 5 ms), not the one-second wait limit.
 */
TEST_F(ProbingThread, SignalledFramesAreProbedAndTheInterruptsPaceTheCycleAgain)
{
    ASSERT_TRUE(readsReach(3));
    size_t mark = TestLog::instance().mark();
    for (int i = 0; i < 3; i++)
        interruptControllerSignal();
    const std::string cycleEnd = "All Spi Access Done CALLBACK FUNCTION!!!";
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (TestLog::instance().since(mark).find(cycleEnd) == std::string::npos && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_NE(TestLog::instance().since(mark).find(cycleEnd), std::string::npos);
    EXPECT_TRUE(readsReach(cardsimFpgaReadCount(CARDSIM_FSM, 0x0040) + 20, 2000))
        << "the cycle no longer follows the interrupts";
}

} // namespace
