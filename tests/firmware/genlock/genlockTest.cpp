#include "genlock/genlockPrivate.h"

#include "cardsim/cardsim.h"
#include "deviceManager/deviceManager.h"

#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>

#include "../main/FirmwareTestSupport.h"

using firmwareTest::TestLog;

namespace {

class Genlock : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestLog::instance();
        setenv("KVR_ROOT", root.path().c_str(), 1);
        ASSERT_UNDER_CARD_ROOT();
        cardsimStart();
        cardsimVsyncStop();
        deviceManagerInit(nullptr);
    }
    void TearDown() override
    {
        deviceManagerTerminate(nullptr, 3, 0);
        cardsimStop();
        unsetenv("KVR_ROOT");
    }
    TempDir root;
};

TEST_F(Genlock, TheWaitForTheClockGeneratorIsBounded)
{
    const struct {
        uint8_t status;
        int ready;
        const char *logged;
    } cases[] = {
        {GENLOCK_STATUS_READY, 1, "Loading factory default register configuration to SI5344"},
        {GENLOCK_STATUS_BUSY, 0, "device status[0x00f3] is not ready, continue waiting"},
        {0x55, 0, "device status[0x0055] unknown, assume it is NOT ready"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.logged);
        cardsimI2cSet("/dev/i2c-4", GENLOCK_CLOCK_SLAVE, GENLOCK_STATUS_REGISTER, c.status);
        size_t mark = TestLog::instance().mark();
        auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(kvrGenlockLoadFactoryDefault(log4c_category_get("ulm.firmware.main")), c.ready);
        auto took = std::chrono::steady_clock::now() - begin;
        std::string logged = TestLog::instance().since(mark);
        EXPECT_NE(logged.find(c.logged), std::string::npos);
        /* Polls that found the device not ready, each with its line. */
        size_t waits = 0;
        for (size_t at = logged.find("continue waiting"); at != std::string::npos; at = logged.find("continue waiting", at + 1))
            waits++;
        if (c.ready) {
            /* Ready at the first look: no wait at all. */
            EXPECT_EQ(waits, 0u) << logged;
            EXPECT_EQ(logged.find("device not ready after"), std::string::npos) << logged;
        } else {
            /* The whole wait, in bounded polls, then one line and on without the defaults. */
            EXPECT_GE(took, std::chrono::milliseconds(GENLOCK_READY_WAIT_MS));
            EXPECT_GE(waits, 2u);
            EXPECT_LE(waits, (size_t)GENLOCK_READY_WAIT_MS) << "more polls than milliseconds";
            EXPECT_NE(logged.find("device not ready after 1000 ms"), std::string::npos) << logged;
        }
    }
}

} // namespace

TEST(GenlockStatus, CopiesTheThreeWordsTogether)
{
    genlockStatusReset();
    genlockStatus_t status = {9, 9, 9};
    kvrGenlockSi5344GetGenlockStatus(&status);
    EXPECT_EQ(status.valid, 0u);
    EXPECT_EQ(status.rateSetCount, 0u);
    EXPECT_EQ(status.systemFrameRate, 0u);

    genlockStatusPublish(GENLOCK_RATE_5994);
    genlockStatusPublish(GENLOCK_RATE_5000);
    kvrGenlockSi5344GetGenlockStatus(&status);
    EXPECT_EQ(status.valid, 1u);
    EXPECT_EQ(status.rateSetCount, 2u);
    EXPECT_EQ(status.systemFrameRate, 5000u);

    genlockStatusInvalidate();
    kvrGenlockSi5344GetGenlockStatus(&status);
    EXPECT_EQ(status.valid, 0u);
    EXPECT_EQ(status.systemFrameRate, 5000u);
    kvrGenlockSi5344GetGenlockStatus(nullptr);
    genlockStatusReset();
}
