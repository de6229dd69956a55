#include "cardsim/cardsim.h"

#include "hal/hal.h"

#include <cerrno>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

#include "../../support/TempDir.h"

namespace {

typedef std::vector<uint8_t> Bytes;

class CardsimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("KVR_ROOT", root.path().c_str(), 1);
        cardsimStart();
    }
    void TearDown() override
    {
        cardsimStop();
        unsetenv("KVR_ROOT");
    }
    // One SPI transfer on a node; the received bytes.
    Bytes transfer(const char *node, const Bytes &tx)
    {
        int handle = halDeviceOpen(node);
        EXPECT_GE(handle, 0);
        Bytes rx(tx.size(), 0xEE);
        EXPECT_EQ(halSpiTransfer(handle, tx.data(), rx.data(), tx.size()), 0);
        EXPECT_EQ(halDeviceClose(handle), 0);
        return rx;
    }
    TempDir root;
};

TEST_F(CardsimTest, FpgasReportTheirIdentityVersionAndSelfTest)
{
    struct IdentityCase {
        const char *node;
        Bytes frame;
        Bytes answer;
    } cases[] = {
        // Read 4 words at 0: project id 3033 << 4, then major, minor, build.
        {"/dev/spidev1.2", {0x80, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0},
         {0, 0, 0, 0, 0, 0, 0xBD, 0x90, 0x00, 0x12, 0x00, 0x01, 0x38, 0x44}},
        {"/dev/spidev2.0", {0x80, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0},
         {0, 0, 0, 0, 0, 0, 0xBD, 0x90, 0x00, 0x0D, 0x00, 0x04, 0x2D, 0x10}},
        // DDR3 self-test status: init done, phy ready, iodelay ready, not failed.
        {"/dev/spidev1.2", {0x80, 0, 0x08, 0x04, 0, 1, 0, 0}, {0, 0, 0, 0, 0, 0, 0x00, 0x0E}},
        {"/dev/spidev2.0", {0x80, 0, 0x04, 0x04, 0, 1, 0, 0}, {0, 0, 0, 0, 0, 0, 0x00, 0x0E}},
    };
    for (const IdentityCase &c : cases) {
        SCOPED_TRACE(c.node);
        EXPECT_EQ(transfer(c.node, c.frame), c.answer);
    }
}

TEST_F(CardsimTest, FramesWriteRegistersAndAreLogged)
{
    transfer("/dev/spidev2.0", {0x00, 0x00, 0x00, 0x98, 0xAB, 0xCD, 0x12, 0x34});
    transfer("/dev/spidev2.0", {0x40, 0x00, 0x00, 0x20, 0x00, 0x01, 0x00, 0x02});
    EXPECT_EQ(cardsimFpgaGet(CARDSIM_DPS, 0x98), 0xABCD);
    EXPECT_EQ(cardsimFpgaGet(CARDSIM_DPS, 0x99), 0x1234);
    EXPECT_EQ(cardsimFpgaGet(CARDSIM_DPS, 0x20), 0x0002);
    EXPECT_EQ(cardsimFpgaGet(CARDSIM_FSM, 0x98), 0);
    auto writes = cardsimFpgaWrites(CARDSIM_DPS);
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[1].address, 0x99u);
    EXPECT_EQ(writes[1].keyhole, 0);
    EXPECT_EQ(writes[2].address, 0x20u);
    EXPECT_EQ(writes[2].value, 0x0001);
    EXPECT_EQ(writes[2].keyhole, 1);
    ASSERT_EQ(cardsimSpiFrames(CARDSIM_DPS).size(), 2u);
    EXPECT_EQ(cardsimSpiFrames(CARDSIM_DPS)[0], (Bytes{0x00, 0x00, 0x00, 0x98, 0xAB, 0xCD, 0x12, 0x34}));
    cardsimClearLogs();
    EXPECT_TRUE(cardsimFpgaWrites(CARDSIM_DPS).empty());
    cardsimReset();
    EXPECT_EQ(cardsimFpgaGet(CARDSIM_DPS, 0x98), 0);
    EXPECT_EQ(cardsimFpgaGet(CARDSIM_DPS, 0), 0xBD90);
}

/*
 * The logs are rings of the latest entries, while the files take every write
 * in order: literal lines, FPGA by FPGA as the writes come, I2C reads left out.
 */
TEST_F(CardsimTest, LogsKeepTheLatestEntriesAndTheFilesEveryWrite)
{
    std::string fpgaFile = root / "fpga-writes.log";
    std::string i2cFile = root / "i2c-writes.log";
    ASSERT_EQ(cardsimLogToFiles(fpgaFile, i2cFile), 0);
    cardsimSetLogLimit(3);
    for (uint8_t i = 0; i < 5; i++)
        transfer("/dev/spidev2.0", {0x00, 0x00, 0x00, (uint8_t)(0x10 + i), 0x00, i});
    transfer("/dev/spidev1.2", {0x00, 0x00, 0x01, 0x00, 0xBE, 0xEF});
    int bus = halDeviceOpen("/dev/i2c-4");
    ASSERT_GE(bus, 0);
    ASSERT_EQ(halI2cSetSlave(bus, 0x68), 0);
    for (uint8_t i = 0; i < 4; i++) {
        uint8_t page[2] = {0x01, i};
        EXPECT_EQ(halI2cWrite(bus, page, 2), 2);
    }
    uint8_t reg = 0xFE, ready = 0;
    halI2cMessage_t read[2] = {{0x68, 0, 1, &reg}, {0x68, HAL_I2C_READ, 1, &ready}};
    EXPECT_EQ(halI2cTransfer(bus, read, 2), 0);
    halDeviceClose(bus);

    auto writes = cardsimFpgaWrites(CARDSIM_DPS);
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].address, 0x12u);
    EXPECT_EQ(writes[2].address, 0x14u);
    EXPECT_EQ(writes[2].value, 4);
    auto frames = cardsimSpiFrames(CARDSIM_DPS);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], (Bytes{0x00, 0x00, 0x00, 0x12, 0x00, 0x02}));
    auto log = cardsimI2cLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].bytes, (Bytes{0x01, 0x03}));
    EXPECT_EQ(log[2].read, 1);

    cardsimStop();
    std::ifstream fpga(fpgaFile);
    std::stringstream fpgaText;
    fpgaText << fpga.rdbuf();
    EXPECT_EQ(fpgaText.str(), "1 0x0010 0x0000\n1 0x0011 0x0001\n1 0x0012 0x0002\n1 0x0013 0x0003\n1 0x0014 0x0004\n"
                              "0 0x0100 0xbeef\n");
    std::ifstream i2c(i2cFile);
    std::stringstream i2cText;
    i2cText << i2c.rdbuf();
    EXPECT_EQ(i2cText.str(), "/dev/i2c-4 0x68 01 00\n/dev/i2c-4 0x68 01 01\n/dev/i2c-4 0x68 01 02\n"
                             "/dev/i2c-4 0x68 01 03\n/dev/i2c-4 0x68 fe\n");
    cardsimSetLogLimit(1u << 20);
    cardsimStart();
}

TEST_F(CardsimTest, FailuresAndShortFramesAreErrors)
{
    int handle = halDeviceOpen("/dev/spidev1.2");
    ASSERT_GE(handle, 0);
    uint8_t frame[6] = {0x80, 0, 0, 0, 0, 0};
    cardsimSpiFail(CARDSIM_FSM, 1);
    EXPECT_EQ(halSpiTransfer(handle, frame, frame, 6), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(halSpiTransfer(handle, frame, frame, 6), 0);
    EXPECT_EQ(halSpiTransfer(handle, frame, frame, 3), -1);
    EXPECT_EQ(halI2cSetSlave(handle, 0x50), -1);
    halDeviceClose(handle);
    EXPECT_EQ(halDeviceOpen("/dev/spidev9.9"), -1);
}

TEST_F(CardsimTest, I2cChipsAnswerOnTheirBuses)
{
    int bus = halDeviceOpen("/dev/i2c-3");
    ASSERT_GE(bus, 0);
    uint8_t reg = 0x00;
    uint8_t identity[2] = {0, 0};
    halI2cMessage_t read[2] = {{0x74, 0, 1, &reg}, {0x74, HAL_I2C_READ, 2, identity}};
    EXPECT_EQ(halI2cTransfer(bus, read, 2), 0);
    EXPECT_EQ(identity[0], 0x20); // rear type 0, revision 1
    EXPECT_EQ(identity[1], 0x01); // card revision 1, patch 0

    // The SFP module's check code covers its base fields.
    uint8_t eeprom[64];
    reg = 0;
    halI2cMessage_t sfp[2] = {{0x50, 0, 1, &reg}, {0x50, HAL_I2C_READ, 64, eeprom}};
    EXPECT_EQ(halI2cTransfer(bus, sfp, 2), 0);
    unsigned sum = 0;
    for (int i = 0; i < 63; i++)
        sum += eeprom[i];
    EXPECT_EQ(eeprom[63], (uint8_t)sum);
    EXPECT_EQ(std::string((char *)eeprom + 20, 16), "EMBRIONIX       ");

    cardsimSfpPlug(0);
    EXPECT_EQ(halI2cTransfer(bus, sfp, 2), -1);
    EXPECT_EQ(errno, ENXIO);
    cardsimSfpPlug(1);
    EXPECT_EQ(halI2cTransfer(bus, sfp, 2), 0);

    // A plain write goes to the slave set before it.
    ASSERT_EQ(halI2cSetSlave(bus, 0x74), 0);
    uint8_t write[3] = {0x05, 0x99, 0x98};
    EXPECT_EQ(halI2cWrite(bus, write, 3), 3);
    EXPECT_EQ(cardsimI2cGet("/dev/i2c-3", 0x74, 0x05), 0x99);
    EXPECT_EQ(cardsimI2cGet("/dev/i2c-3", 0x74, 0x06), 0x98);
    ASSERT_EQ(halI2cSetSlave(bus, 0x33), 0);
    EXPECT_EQ(halI2cWrite(bus, write, 3), -1);
    halDeviceClose(bus);
}

TEST_F(CardsimTest, ClockGeneratorIsPagedAndReady)
{
    int bus = halDeviceOpen("/dev/i2c-4");
    ASSERT_GE(bus, 0);
    ASSERT_EQ(halI2cSetSlave(bus, 0x68), 0);
    uint8_t page[2] = {0x01, 0x0B};
    uint8_t data[3] = {0x24, 0xD8, 0x00};
    EXPECT_EQ(halI2cWrite(bus, page, 2), 2);
    EXPECT_EQ(halI2cWrite(bus, data, 3), 3);
    EXPECT_EQ(cardsimI2cGet("/dev/i2c-4", 0x68, 0x0B24), 0xD8);
    EXPECT_EQ(cardsimI2cGet("/dev/i2c-4", 0x68, 0x0B25), 0x00);
    uint8_t pageZero[2] = {0x01, 0x00};
    EXPECT_EQ(halI2cWrite(bus, pageZero, 2), 2);
    uint8_t reg = 0xFE, ready = 0;
    halI2cMessage_t read[2] = {{0x68, 0, 1, &reg}, {0x68, HAL_I2C_READ, 1, &ready}};
    EXPECT_EQ(halI2cTransfer(bus, read, 2), 0);
    EXPECT_EQ(ready, 0x0F);
    auto log = cardsimI2cLog();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[1].bytes, (Bytes{0x24, 0xD8, 0x00}));
    EXPECT_EQ(log[4].read, 1);
    cardsimI2cFail("/dev/i2c-4", 1);
    EXPECT_EQ(halI2cTransfer(bus, read, 2), -1);
    EXPECT_EQ(errno, EIO);
    halDeviceClose(bus);
}

TEST_F(CardsimTest, TemperatureInputsAreWrittenBelowTheCardRoot)
{
    std::ifstream in(root / "sys/class/i2c-adapter/i2c-2/2-0048/temp1_input");
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "45250\n");
    EXPECT_EQ(cardsimSetSensorText("/sys/bus/platform/devices/temp_sensor_hwmon.0/temp1_input", "-5000"), 0);
    unsetenv("KVR_ROOT");
    EXPECT_EQ(cardsimSetSensorText("/sys/x", "1"), -1);
}

TEST_F(CardsimTest, WithoutTheEmulatorNodesAreHostFiles)
{
    cardsimStop();
    EXPECT_EQ(halDeviceOpen("/dev/spidev1.2"), -1);
    cardsimStart();
    EXPECT_GE(halDeviceOpen("/dev/spidev1.2"), 0);
}

} // namespace
