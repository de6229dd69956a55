#include "hal/hal.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <vector>

#include "../../support/TempDir.h"

namespace {

// A backend that records what reaches it.
struct FakeBackend {
    std::vector<std::string> calls;
    int nextHandle = 40;
};

int fakeOpen(void *context, const char *cardPath)
{
    auto *fake = static_cast<FakeBackend *>(context);
    fake->calls.push_back(std::string("open ") + cardPath);
    if (std::string(cardPath) == "/dev/missing") {
        errno = ENOENT;
        return -1;
    }
    return fake->nextHandle++;
}

int fakeClose(void *context, int handle)
{
    static_cast<FakeBackend *>(context)->calls.push_back("close " + std::to_string(handle));
    return 0;
}

int fakeSpi(void *context, int handle, const uint8_t *tx, uint8_t *rx, size_t length)
{
    static_cast<FakeBackend *>(context)->calls.push_back("spi " + std::to_string(handle) + " " + std::to_string(length));
    for (size_t i = 0; i < length; i++)
        rx[i] = (uint8_t)~tx[i];
    return 0;
}

int fakeSlave(void *context, int handle, uint16_t slave)
{
    static_cast<FakeBackend *>(context)->calls.push_back("slave " + std::to_string(handle) + " " + std::to_string(slave));
    return 0;
}

int fakeTransfer(void *context, int handle, halI2cMessage_t *messages, int count)
{
    static_cast<FakeBackend *>(context)->calls.push_back("i2c " + std::to_string(handle) + " " + std::to_string(count) +
                                                        " " + std::to_string(messages[0].slave));
    return 0;
}

int fakeWrite(void *context, int handle, const uint8_t *, size_t length)
{
    static_cast<FakeBackend *>(context)->calls.push_back("write " + std::to_string(handle) + " " + std::to_string(length));
    return (int)length;
}

class HalDeviceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("KVR_ROOT", root.path().c_str(), 1);
        backend = {fakeOpen, fakeClose, fakeSpi, fakeSlave, fakeTransfer, fakeWrite, nullptr, nullptr, &fake};
    }
    void TearDown() override
    {
        halSetDeviceBackend(nullptr);
        unsetenv("KVR_ROOT");
    }
    TempDir root;
    FakeBackend fake;
    halDeviceBackend_t backend;
};

TEST_F(HalDeviceTest, InstalledBackendServesEveryDeviceCall)
{
    halSetDeviceBackend(&backend);
    int spi = halDeviceOpen("/dev/spidev1.2");
    int bus = halDeviceOpen("/dev/i2c-4");
    ASSERT_GE(spi, 0);
    ASSERT_GE(bus, 0);
    EXPECT_NE(spi, bus);
    uint8_t tx[3] = {0x00, 0x0F, 0xF0}, rx[3];
    EXPECT_EQ(halSpiTransfer(spi, tx, rx, 3), 0);
    EXPECT_EQ(rx[1], 0xF0);
    EXPECT_EQ(halI2cSetSlave(bus, 0x68), 0);
    uint8_t byte = 0;
    halI2cMessage_t message = {0x68, HAL_I2C_READ, 1, &byte};
    EXPECT_EQ(halI2cTransfer(bus, &message, 1), 0);
    EXPECT_EQ(halI2cWrite(bus, tx, 2), 2);
    EXPECT_EQ(halDeviceClose(spi), 0);
    EXPECT_EQ(halDeviceClose(bus), 0);
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"open /dev/spidev1.2", "open /dev/i2c-4", "spi 40 3", "slave 41 104",
                                                    "i2c 41 1 104", "write 41 2", "close 40", "close 41"}));
    // Closed handles and failed opens are errors, not calls.
    fake.calls.clear();
    EXPECT_EQ(halSpiTransfer(spi, tx, rx, 3), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(halDeviceClose(spi), -1);
    EXPECT_EQ(halDeviceOpen("/dev/missing"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(halI2cTransfer(bus, &message, 1), -1);
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"open /dev/missing"}));
}

TEST_F(HalDeviceTest, HandlesKeepTheBackendTheyWereOpenedWith)
{
    halSetDeviceBackend(&backend);
    int emulated = halDeviceOpen("/dev/spidev2.0");
    halSetDeviceBackend(nullptr);
    uint8_t tx[1] = {0x55}, rx[1];
    EXPECT_EQ(halSpiTransfer(emulated, tx, rx, 1), 0);
    EXPECT_EQ(rx[0], 0xAA);
    EXPECT_EQ(halDeviceClose(emulated), 0);
}

TEST_F(HalDeviceTest, SocketIsTheSpiEmulatorsChannelWhateverServesTheNodes)
{
    // A loopback listener stands in for the SPI emulator.
    int listening = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listening, (struct sockaddr *)&local, sizeof local), 0);
    ASSERT_EQ(listen(listening, 1), 0);
    socklen_t length = sizeof local;
    getsockname(listening, (struct sockaddr *)&local, &length);

    halSetDeviceBackend(&backend);
    int channel = halDeviceOpenSocket(ntohs(local.sin_port));
    ASSERT_GE(channel, 0);
    int peer = accept(listening, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    // Plain reads and writes reach the socket; the card emulator never sees the channel.
    EXPECT_EQ(halDeviceWrite(channel, "ab", 2), 2);
    char got[2] = {0, 0};
    EXPECT_EQ(recv(peer, got, 2, MSG_WAITALL), 2);
    EXPECT_EQ(std::string(got, 2), "ab");
    EXPECT_EQ(halI2cSetSlave(channel, 0x50), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(halDeviceClose(channel), 0);
    EXPECT_EQ(recv(peer, got, 1, 0), 0); // closed
    close(peer);
    close(listening);
    EXPECT_EQ(fake.calls.size(), 0u);
    // A backend without plain reads answers as a node without them.
    int node = halDeviceOpen("/dev/spidev1.2");
    EXPECT_EQ(halDeviceRead(node, got, 1), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(halDeviceClose(node), 0);
}

TEST_F(HalDeviceTest, WithoutBackendNodesOpenBelowTheCardRoot)
{
    EXPECT_EQ(halDeviceOpen("/dev/spidev1.2"), -1);
    mkdir((root / "dev").c_str(), 0755);
    std::ofstream(root / "dev/spidev1.2") << "";
    int handle = halDeviceOpen("/dev/spidev1.2");
    ASSERT_GE(handle, 0);
    // A plain file is no SPI device: the ioctl fails and says so.
    uint8_t tx[2] = {0, 0}, rx[2];
    EXPECT_EQ(halSpiTransfer(handle, tx, rx, 2), -1);
    EXPECT_EQ(halI2cSetSlave(handle, 0x50), -1);
    halI2cMessage_t message = {0x50, 0, 2, tx};
    EXPECT_EQ(halI2cTransfer(handle, &message, 1), -1);
    EXPECT_EQ(halI2cTransfer(handle, &message, 43), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(halI2cWrite(handle, tx, 2), 2); // a plain write reaches the file
    EXPECT_EQ(halDeviceClose(handle), 0);
    EXPECT_EQ(fake.calls.size(), 0u);
}

} // namespace
