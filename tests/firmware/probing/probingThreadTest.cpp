/*
 * The probing thread on the emulator's Vsyncs: it reads every second frame,
 * a Thread Control write of 0xFFFF halts it and 0xFFFE resumes it, and it
 * leaves on terminate.
 */

#include "probing/probing.h"

#include "cardsim/cardsim.h"
#include "deviceManager/deviceManager.h"
#include "interruptController/interruptController.h"
#include "platform/platformPrivate.h"
#include "qvsInterface/qvsInterface.h"
#include "serviceManager/serviceManager.h"

#include <chrono>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

#include "../main/EmulatedCard.h"
#include "../main/FirmwareTestSupport.h"

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
        probing = std::thread([] { probingService.threadEntry(&probingService); });
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
};

TEST_F(ProbingThread, ThreadControlHaltsAndResumesTheCycles)
{
    ASSERT_TRUE(readsReach(3));
    threadControl(0xFFFF);
    ASSERT_EQ(probingControlFlags.halted, 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    uint32_t halted = cardsimFpgaReadCount(CARDSIM_FSM, 0x0040);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(cardsimFpgaReadCount(CARDSIM_FSM, 0x0040), halted);
    threadControl(0xFFFE);
    EXPECT_TRUE(readsReach(halted + 3));
}

} // namespace
