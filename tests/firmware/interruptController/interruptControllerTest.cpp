#include "interruptController/interruptController.h"

#include "cardsim/cardsim.h"
#include "serviceManager/serviceManager.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <thread>

#include "../main/FirmwareTestSupport.h"
#include "../../support/ThreadState.h"

extern serviceDescriptor interruptControllerService;

using firmwareTest::TestLog;

namespace {

class InterruptController : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestLog::instance();
        setenv("KVR_ROOT", root.path().c_str(), 1);
        mkdir((root / "dev").c_str(), 0755);
    }
    void TearDown() override
    {
        stop();
        cardsimVsyncStop();
        unsetenv("KVR_ROOT");
    }
    void start()
    {
        initService(&service);
        service.state = SERVICE_STATE_RUN;
        thread = std::thread([this] { service.threadEntry(&service); });
    }
    void stop()
    {
        if (!thread.joinable())
            return;
        service.state = SERVICE_STATE_TERMINATE;
        service.control(&service, SERVICE_STATE_TERMINATE, SERVICE_STATE_RUN);
        thread.join();
    }
    bool waitForCount(uint32_t count, int ms = 2000)
    {
        for (int i = 0; i < ms / 5; i++) {
            if (interruptControllerVsyncCount() >= count)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    /* Waits until the log has `needle` after `mark`. */
    static bool waitForLine(size_t mark, const std::string &needle, int ms = 10000)
    {
        for (int i = 0; i < ms / 5; i++) {
            if (TestLog::instance().since(mark).find(needle) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    static uint32_t countIn(const std::string &text, const std::string &needle)
    {
        uint32_t n = 0;
        for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
            n++;
        return n;
    }
    TempDir root;
    serviceDescriptor &service = interruptControllerService;
    std::thread thread;
};

TEST_F(InterruptController, WithoutTheDeviceVsyncsComeEvery100ms)
{
    size_t mark = TestLog::instance().mark();
    start();
    auto begin = std::chrono::steady_clock::now();
    uint32_t first = interruptControllerWaitVsync();
    for (int i = 0; i < 24; i++)
        interruptControllerWaitVsync();
    auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(interruptControllerVsyncCount(), first + 24);
    EXPECT_GT(took, std::chrono::milliseconds(2000));
    EXPECT_LT(took, std::chrono::milliseconds(4000));
    std::string logged = TestLog::instance().since(mark);
    EXPECT_NE(logged.find("ERROR, file /dev/uio1 could not be opened."), std::string::npos);
    EXPECT_EQ(countIn(logged, "Vsyncs from FPGA have stopped"), 20u);
}

TEST_F(InterruptController, MissedInterruptsAreCountedOnce)
{
    ASSERT_EQ(cardsimVsyncEmit(10), 0); /* creates the FIFO before the thread opens it */
    size_t mark = TestLog::instance().mark();
    start();
    ASSERT_TRUE(waitForCount(1));
    cardsimVsyncEmit(11);
    ASSERT_TRUE(waitForCount(2));
    cardsimVsyncEmit(14);
    ASSERT_TRUE(waitForCount(3));
    std::string logged = TestLog::instance().since(mark);
    EXPECT_NE(logged.find("We missed 2 Vsync Interrupts. VsyncCount = 14, we expected 12. Log count 1, will stop logging max 20."),
              std::string::npos)
        << logged;
    EXPECT_EQ(logged.find("Log count 2, will stop logging"), std::string::npos);
}

/*
 * While a signalled frame is pending, interrupts make no Vsync. The thread
 * reads the interrupts in order, so once it has logged the last one it has
 * handled all before it. Only a 100 ms wait without any interrupt (a loaded
 * machine between two steps here) may make one of its own meanwhile.
 */
TEST_F(InterruptController, APendingFrameSuppressesHardwareVsyncs)
{
    cardsimVsyncEmit(1);
    start();
    ASSERT_TRUE(waitForCount(1));
    size_t mark = TestLog::instance().mark();
    interruptControllerSignal();
    uint32_t afterSignal = interruptControllerVsyncCount();
    for (uint32_t n = 2; n <= 5; n++)
        cardsimVsyncEmit(n);
    ASSERT_TRUE(waitForLine(mark, "Interrupt count = 5."));
    std::string logged = TestLog::instance().since(mark);
    EXPECT_LE(interruptControllerVsyncCount(), afterSignal + countIn(logged, "Vsyncs from FPGA have stopped")) << logged;
    /* no longer pending: the next interrupt makes one */
    interruptControllerClearVsyncPending();
    uint32_t cleared = interruptControllerVsyncCount();
    cardsimVsyncEmit(6);
    EXPECT_TRUE(waitForCount(cleared + 1));
}

TEST_F(InterruptController, AFailingReadFallsBackToOwnVsyncs)
{
    /* A plain empty file: always readable, every read ends at once. */
    std::ofstream(root / "dev/uio1").close();
    size_t mark = TestLog::instance().mark();
    start();
    uint32_t begin = interruptControllerVsyncCount();
    EXPECT_TRUE(waitForCount(begin + 5, 2000));
    EXPECT_EQ(service.state.load(), SERVICE_STATE_RUN);
    std::string logged = TestLog::instance().since(mark);
    EXPECT_NE(logged.find("ERROR, Failed to read the Vsync Interrupt. Return value = 0."), std::string::npos);
}

TEST_F(InterruptController, TerminateReleasesWaitersAndKeepsTheLocks)
{
    start();
    std::atomic<pid_t> waiterTid{0};
    std::thread waiter([&waiterTid] {
        waiterTid = threadState::currentTid();
        for (int i = 0; i < 3; i++)
            interruptControllerWaitVsync();
    });
    /* the terminate meets the waiter inside its wait */
    for (int i = 0; i < 5000 && waiterTid == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(threadState::waitUntilSleeping(waiterTid));
    stop();
    waiter.join();
    /* Usable after terminate. */
    interruptControllerSignal();
    interruptControllerClearVsyncPending();
    /* No waiting after terminate: ten waits that would take a second each come back at once. */
    auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; i++)
        interruptControllerWaitVsync();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(INTERRUPT_WAIT_BOUND_MS * 10 / 2));
}

} // namespace
