#include "deviceManager/i2c/temperature/lm77/lm77.h"

#include "hal/hal.h"

#include <atomic>
#include <fstream>
#include <unistd.h>
#include <thread>

#include "../../../deviceTestSupport.h"

namespace {

class Lm77Test : public CardFixture {};

const char *const TEMP1 = "/sys/class/i2c-adapter/i2c-2/2-0048/temp1_input";

struct TemperatureCase {
    const char *text;
    uint32_t result;
    int16_t tenths;
};

const TemperatureCase temperatureCases[] = {
    {"45250", 0, 452},
    {"-5000", 0, -50},
    {"0", 0, 0},
    {"99", 0, 0},
    {"125000", 0, 1250},
    {"-40999", 0, -409},
    {"abc", 3, 0},  // no number: a failed read, not 0 degrees
    {"", 3, 0},
};

TEST_F(Lm77Test, ReadsTenthsOfADegreeFromTheSensorFile)
{
    for (const TemperatureCase &c : temperatureCases) {
        SCOPED_TRACE(std::string("\"") + c.text + "\"");
        log.clear();
        ASSERT_EQ(cardsimSetSensorText(TEMP1, c.text), 0);
        int16_t value = 0x5555;
        EXPECT_EQ(deviceManagerAccess(LM77_READ, DEVICE_I2C_TEMP1, 0, 0, 1, &value), c.result);
        if (c.result == 0) {
            EXPECT_EQ(value, c.tenths);
        } else {
            EXPECT_EQ(log.count(std::string("LM77: Fail to read the device ") + TEMP1), 1);
        }
    }
}

TEST_F(Lm77Test, MissingFileAndOtherCommandsFail)
{
    unlink(halPath(TEMP1).c_str());
    int16_t value = 0x5555;
    EXPECT_EQ(deviceManagerAccess(LM77_READ, DEVICE_I2C_TEMP1, 0, 0, 1, &value), 3u);
    EXPECT_EQ(value, 0x5555);
    EXPECT_EQ(log.count(std::string("LM77: Fail to read the device ") + TEMP1 + "\n"), 1);

    EXPECT_EQ(deviceManagerAccess(1, DEVICE_I2C_TEMP2, 0, 0, 1, &value), 4u);
    EXPECT_EQ(log.count("LM77: Invalid command 1\n"), 1);
    // The other sensors are unaffected.
    EXPECT_EQ(deviceManagerAccess(LM77_READ, DEVICE_CPU_TEMP, 0, 0, 1, &value), 0u);
    EXPECT_EQ(value, 525);
}

TEST_F(Lm77Test, AsynchronousReadCallsBackWithTheResult)
{
    Completions done;
    Completions::Entry *good = done.entry();
    Completions::Entry *bad = done.entry();
    int16_t value = 0;
    EXPECT_EQ(deviceManagerAccessAsync(LM77_READ, DEVICE_I2C_TEMP2, 0, 0, 1, &value, good, Completions::callback), 0u);
    EXPECT_EQ(deviceManagerAccessAsync(1, DEVICE_I2C_TEMP2, 0, 0, 1, &value, bad, Completions::callback), 0u);
    ASSERT_TRUE(done.wait(2));
    EXPECT_EQ(good->status, 0u);
    EXPECT_EQ(value, 470);
    EXPECT_EQ(bad->status, 4u);
    // Without a callback the result comes back directly.
    EXPECT_EQ(deviceManagerAccessAsync(1, DEVICE_I2C_TEMP2, 0, 0, 1, &value, nullptr, nullptr), 4u);
}

TEST_F(Lm77Test, CreateAndDeleteManageTheState)
{
    deviceObject *sensor = deviceManagerGetDevice(DEVICE_I2C_TEMP1);
    ASSERT_NE(sensor->handlerState, nullptr);
    EXPECT_EQ(deleteLm77Handler(sensor), 0u);
    EXPECT_EQ(sensor->handlerState, nullptr);
    EXPECT_EQ(deleteLm77Handler(sensor), 3u);
    EXPECT_EQ(log.count(" invalid state exception."), 1);
    int16_t value;
    EXPECT_EQ(lm77Read(sensor, LM77_READ, 0, 0, 1, &value), 3u);
    EXPECT_EQ(createLm77Handler(sensor, DEVICE_I2C_TEMP1), 0u);
    EXPECT_EQ(sensor->initialised, 1u);
    EXPECT_EQ(lm77Read(sensor, LM77_READ, 0, 0, 1, &value), 0u);
    EXPECT_EQ(value, 452);
}

TEST_F(Lm77Test, ConcurrentReadersAllSeeTheValue)
{
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&wrong] {
            for (int n = 0; n < 50; n++) {
                int16_t value = 0;
                if (deviceManagerAccess(LM77_READ, DEVICE_I2C_TEMP1, 0, 0, 1, &value) != 0 || value != 452)
                    wrong++;
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

} // namespace
