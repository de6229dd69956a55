#include "deviceManager/deviceManager.h"

#include <atomic>
#include <set>
#include <thread>

#include "deviceTestSupport.h"

namespace {

typedef std::vector<uint8_t> Bytes;

class I2cHandlerTest : public CardFixture {};

// A message expected on the bus: slave, read or write, bytes.
struct Message {
    uint8_t slave;
    int read;
    Bytes bytes;
};

struct CommandCase {
    const char *name;
    uint32_t device;
    uint32_t command;
    uint32_t address;
    Bytes data;       // bytes written, or the read's buffer size filled with 0xEE
    uint32_t count;
    std::vector<Message> messages;
    Bytes result;     // the buffer afterwards
};

const char *const REAR = "/dev/i2c-3";
const char *const GENLOCK = "/dev/i2c-4";

std::vector<CommandCase> commandCases()
{
    return {
        {"0: 8-bit read of 1 byte at 0x4810 reads register 0x10 of slave 0x48", DEVICE_I2C_IOEXT, DEVICE_READ, 0x4810,
         Bytes(1, 0xEE), 1, {{0x48, 0, {0x10}}, {0x48, 1, {0x5A}}}, {0x5A}},
        {"0: 8-bit read of 2 bytes", DEVICE_I2C_IOEXT, DEVICE_READ, 0x7400, Bytes(2, 0xEE), 2,
         {{0x74, 0, {0x00}}, {0x74, 1, {0x20, 0x01}}}, {0x20, 0x01}},
        {"5: read direct goes on where the last access left the register pointer", DEVICE_I2C_IOEXT,
         DEVICE_I2C_READ_DIRECT, 0x7400, Bytes(2, 0xEE), 2, {{0x74, 1, {0x33, 0x44}}}, {0x33, 0x44}},
        {"1: 8-bit write", DEVICE_I2C_IOEXT, DEVICE_WRITE, 0x7406, {0xAA, 0xBB}, 2, {{0x74, 0, {0x06, 0xAA, 0xBB}}},
         {0xAA, 0xBB}},
        {"6: raw write", DEVICE_I2C_IOEXT, DEVICE_I2C_WRITE_RAW, 0x7400, {0x03, 0x55}, 2, {{0x74, 0, {0x03, 0x55}}},
         {0x03, 0x55}},
        {"7: 16-bit register read", DEVICE_I2C_GENLOCK, DEVICE_I2C_READ16, 0x521234, Bytes(2, 0xEE), 2,
         {{0x52, 0, {0x12, 0x34}}, {0x52, 1, {0xC1, 0xC2}}}, {0xC1, 0xC2}},
        {"8: 16-bit register write", DEVICE_I2C_GENLOCK, DEVICE_I2C_WRITE16, 0x520100, {0x77, 0x88}, 2,
         {{0x52, 0, {0x01, 0x00, 0x77, 0x88}}}, {0x77, 0x88}},
        {"11: paged read of the ready register", DEVICE_I2C_CLOCK_CLEANER, DEVICE_I2C_PAGED_READ, 0x6800FE,
         Bytes(1, 0xEE), 1, {{0x68, 0, {0x01, 0x00}}, {0x68, 0, {0xFE}}, {0x68, 1, {0x0F}}}, {0x0F}},
        {"12: paged write across a page end", DEVICE_I2C_CLOCK_CLEANER, DEVICE_I2C_PAGED_WRITE, 0x6802FE,
         {0xB0, 0xB1, 0xB2}, 3,
         {{0x68, 0, {0x01, 0x02}}, {0x68, 0, {0xFE, 0xB0}}, {0x68, 0, {0x01, 0x03}}, {0x68, 0, {0x00, 0xB1, 0xB2}}},
         {0xB0, 0xB1, 0xB2}},
        {"11: paged read across a page end", DEVICE_I2C_CLOCK_CLEANER, DEVICE_I2C_PAGED_READ, 0x680BFE,
         Bytes(3, 0xEE), 3,
         {{0x68, 0, {0x01, 0x0B}}, {0x68, 0, {0xFE}}, {0x68, 1, {0xE1}}, {0x68, 0, {0x01, 0x0C}}, {0x68, 0, {0x00}},
          {0x68, 1, {0xE2, 0x0C}}},
         {0xE1, 0xE2, 0x0C}}, // offset 0x01 of every page is the page register
    };
}

TEST_F(I2cHandlerTest, CommandsBecomeTheseBusMessages)
{
    cardsimI2cAttach(REAR, 0x48, CARDSIM_I2C_REG8);
    cardsimI2cSet(REAR, 0x48, 0x10, 0x5A);
    cardsimI2cAttach(GENLOCK, 0x52, CARDSIM_I2C_REG16);
    cardsimI2cSet(GENLOCK, 0x52, 0x1234, 0xC1);
    cardsimI2cSet(GENLOCK, 0x52, 0x1235, 0xC2);
    cardsimI2cSet(GENLOCK, 0x68, 0x0BFE, 0xE1);
    cardsimI2cSet(GENLOCK, 0x68, 0x0C00, 0xE2);
    cardsimI2cSet(REAR, 0x74, 0x02, 0x33);
    cardsimI2cSet(REAR, 0x74, 0x03, 0x44);
    for (const CommandCase &c : commandCases()) {
        SCOPED_TRACE(c.name);
        cardsimClearLogs();
        Bytes buffer = c.data;
        ASSERT_EQ(deviceManagerAccess(c.command, c.device, c.address, 0, c.count, buffer.data()), 0u);
        auto log = cardsimI2cLog();
        ASSERT_EQ(log.size(), c.messages.size());
        for (size_t i = 0; i < log.size(); i++) {
            SCOPED_TRACE(i);
            EXPECT_EQ(log[i].slave, c.messages[i].slave);
            EXPECT_EQ(log[i].read, c.messages[i].read);
            EXPECT_EQ(log[i].bytes, c.messages[i].bytes);
        }
        EXPECT_EQ(buffer, c.result);
    }
    EXPECT_EQ(cardsimI2cGet(REAR, 0x74, 0x06), 0xAA);
    EXPECT_EQ(cardsimI2cGet(GENLOCK, 0x52, 0x0101), 0x88);
    EXPECT_EQ(cardsimI2cGet(GENLOCK, 0x68, 0x02FE), 0xB0);
    EXPECT_EQ(cardsimI2cGet(GENLOCK, 0x68, 0x0300), 0xB1);
}

TEST_F(I2cHandlerTest, WritesAndPagedCommandsStopAt256Bytes)
{
    Bytes data(300);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (uint8_t)i;
    ASSERT_EQ(deviceManagerAccess(DEVICE_WRITE, DEVICE_I2C_POWSEQ, 0x6000, 0, 300, data.data()), 0u);
    auto log = cardsimI2cLog();
    ASSERT_EQ(log.size(), 1u);
    ASSERT_EQ(log[0].bytes.size(), 257u);
    EXPECT_EQ(log[0].bytes[0], 0x00);
    EXPECT_EQ(Bytes(log[0].bytes.begin() + 1, log[0].bytes.end()), Bytes(data.begin(), data.begin() + 256));

    cardsimClearLogs();
    ASSERT_EQ(deviceManagerAccess(DEVICE_I2C_WRITE16, DEVICE_I2C_GENLOCK, 0x670000, 0, 300, data.data()), 0u);
    ASSERT_EQ(cardsimI2cLog().size(), 1u);
    EXPECT_EQ(cardsimI2cLog()[0].bytes.size(), 258u);

    // A read has no such limit: 300 bytes arrive in one message.
    cardsimClearLogs();
    Bytes read(300, 0xEE);
    ASSERT_EQ(deviceManagerAccess(DEVICE_READ, DEVICE_I2C_POWSEQ, 0x6000, 0, 300, read.data()), 0u);
    ASSERT_EQ(cardsimI2cLog().size(), 2u);
    EXPECT_EQ(cardsimI2cLog()[1].bytes.size(), 300u);
    EXPECT_EQ(read[5], 5);
}

TEST_F(I2cHandlerTest, AbsentSfpModuleFailsQuietly)
{
    cardsimSfpPlug(0);
    Bytes buffer(3, 0xEE);
    EXPECT_EQ(deviceManagerAccess(DEVICE_READ, DEVICE_I2C_SFP_SERIALID, 0x5000, 0, 3, buffer.data()),
              (uint32_t)DEVICE_ACCESS_FAILED);
    EXPECT_EQ(buffer[0], 0x50); // the slave address stays in the first byte of a failed read
    EXPECT_EQ(log.count("i2cHandler fail"), 0);
    EXPECT_EQ(log.count("i2cHandler access error"), 0);

    cardsimSfpPlug(1);
    EXPECT_EQ(deviceManagerAccess(DEVICE_READ, DEVICE_I2C_SFP_SERIALID, 0x5000, 0, 3, buffer.data()), 0u);
    EXPECT_EQ(buffer, (Bytes{0x03, 0x04, 0x07}));
}

TEST_F(I2cHandlerTest, FailuresAreLoggedAndReported)
{
    struct FailureCase {
        const char *name;
        uint32_t command;
        uint32_t address;
        const char *failureLog;
    } cases[] = {
        {"read of a slave that does not answer", DEVICE_READ, 0x4901, "i2cHandler fail to send read ioctl"},
        {"write of a slave that does not answer", DEVICE_WRITE, 0x4901, "i2cHandler fail to send write command"},
        {"16-bit read", DEVICE_I2C_READ16, 0x490001, "i2cHandler fail to send read (16bitRegAddr) ioctl"},
        {"read direct", DEVICE_I2C_READ_DIRECT, 0x4900, "i2cHandler fail to send readDirect ioctl"},
        {"slave address out of range", DEVICE_READ, 0x9901, "i2cHandler fail to set the address"},
    };
    for (const FailureCase &c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        uint8_t buffer[1] = {0};
        EXPECT_EQ(deviceManagerAccess(c.command, DEVICE_I2C_IOEXT, c.address, 0, 1, buffer),
                  (uint32_t)DEVICE_ACCESS_FAILED);
        EXPECT_EQ(log.count(c.failureLog), 1);
        EXPECT_EQ(log.count("i2cHandler access error 1"), 1);
    }
    log.clear();
    uint8_t buffer[1];
    EXPECT_EQ(deviceManagerAccess(9, DEVICE_I2C_IOEXT, 0x7400, 0, 1, buffer), (uint32_t)DEVICE_ACCESS_BAD_COMMAND);
    EXPECT_EQ(log.count("i2cHandler unknown command 9"), 1);
    // Paged commands need a paged device.
    EXPECT_EQ(deviceManagerAccess(DEVICE_I2C_PAGED_READ, DEVICE_I2C_IOEXT, 0x740000, 0, 1, buffer),
              (uint32_t)DEVICE_ACCESS_BAD_COMMAND);
    // A failed page write is logged and the data still goes out; a failed data write ends the command.
    cardsimI2cFail(GENLOCK, 1);
    cardsimClearLogs();
    uint8_t value = 0x42;
    EXPECT_EQ(deviceManagerAccess(DEVICE_I2C_PAGED_WRITE, DEVICE_I2C_CLOCK_CLEANER, 0x680510, 0, 1, &value), 0u);
    EXPECT_EQ(cardsimI2cLog().size(), 1u);
    EXPECT_EQ(log.count("i2cHandler fail to send write command"), 1);
    EXPECT_EQ(deviceManagerAccess(DEVICE_I2C_PAGED_WRITE, DEVICE_I2C_CLOCK_CLEANER, 0x680000, 3, 1, &value),
              (uint32_t)DEVICE_ACCESS_BAD_ARGUMENT);
}

TEST_F(I2cHandlerTest, OverlappingSynchronousCallersEachWaitForTheirOwnRequest)
{
    for (uint8_t r = 0; r < 8; r++)
        cardsimI2cSet("/dev/i2c-2", 0x40, (uint16_t)(0x20 + r), (uint8_t)(0xA0 + r));
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (uint8_t t = 0; t < 8; t++) {
        threads.emplace_back([t, &wrong] {
            for (int n = 0; n < 100; n++) {
                uint8_t value = 0;
                uint32_t rc = deviceManagerAccess(DEVICE_READ, DEVICE_I2C_POWER_MONITOR_1, 0x4020 + t, t % 3, 1, &value);
                if (rc != 0 || value != 0xA0 + t)
                    wrong++;
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

struct Tally {
    std::mutex mutex;
    std::multiset<uintptr_t> seen;
};
Tally tally;

void countCall(deviceObject *, void *argument, uint32_t status)
{
    std::lock_guard<std::mutex> lock(tally.mutex);
    tally.seen.insert(status == 0 ? (uintptr_t)argument : 0);
}

TEST_F(I2cHandlerTest, EveryAsynchronousCallbackGetsItsOwnArgumentOnce)
{
    tally.seen.clear();
    std::vector<std::thread> threads;
    uint8_t buffers[4][1];
    for (uintptr_t t = 0; t < 4; t++) {
        threads.emplace_back([t, &buffers] {
            // More requests than the pool holds: callers wait for free requests.
            for (uintptr_t n = 1; n <= 100; n++)
                deviceManagerAccessAsync(DEVICE_READ, DEVICE_I2C_POWSEQ, 0x6000, n % 3, 1, buffers[t],
                                         (void *)(t * 1000 + n), countCall);
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    // A synchronous request at priority 0 behind them completes last.
    uint8_t value;
    ASSERT_EQ(deviceManagerAccess(DEVICE_READ, DEVICE_I2C_POWSEQ, 0x6000, 0, 1, &value), 0u);
    for (int wait = 0; wait < 500; wait++) {
        {
            std::lock_guard<std::mutex> lock(tally.mutex);
            if (tally.seen.size() >= 400)
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::lock_guard<std::mutex> lock(tally.mutex);
    ASSERT_EQ(tally.seen.size(), 400u);
    for (uintptr_t t = 0; t < 4; t++)
        for (uintptr_t n = 1; n <= 100; n++)
            EXPECT_EQ(tally.seen.count(t * 1000 + n), 1u);
}

TEST_F(I2cHandlerTest, DeleteWaitsForTheThreadAndFailsWhatIsStillQueued)
{
    Completions done;
    uint8_t buffers[40];
    std::vector<Completions::Entry *> entries;
    for (int i = 0; i < 40; i++) {
        entries.push_back(done.entry());
        ASSERT_EQ(deviceManagerAccessAsync(DEVICE_READ, DEVICE_I2C_IOEXT, 0x7400, 0, 1, &buffers[i], entries.back(),
                                           Completions::callback),
                  0u);
    }
    deviceManagerTerminate(nullptr, 3, 1);
    ASSERT_TRUE(done.wait(40));
    for (Completions::Entry *entry : entries) {
        EXPECT_EQ(entry->calls, 1);
        EXPECT_TRUE(entry->status == 0 || entry->status == (uint32_t)DEVICE_ACCESS_STOPPED) << entry->status;
    }
    EXPECT_EQ(deviceManagerGetDevice(DEVICE_I2C_IOEXT)->handlerState, nullptr);
}

} // namespace
