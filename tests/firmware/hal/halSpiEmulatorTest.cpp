/*
 * The SPI emulator of the hal: its register-space server on a free loopback
 * port, and the "socket" device backend that carries the FPGA handler's
 * frames to it.
 */

#include "hal/hal.h"

#include <arpa/inet.h>
#include <cstring>
#include <future>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "../../support/LoopbackSocket.h"

namespace {

using loopbackSocket::Bytes;
using loopbackSocket::receive;
using loopbackSocket::sendAll;

// The host-order bytes of register words, as the emulator keeps them.
Bytes hostWords(std::initializer_list<uint16_t> words)
{
    Bytes bytes(2 * words.size());
    size_t at = 0;
    for (uint16_t word : words) {
        memcpy(&bytes[at], &word, 2);
        at += 2;
    }
    return bytes;
}

// An emulator serving one client on a free loopback port.
class EmulatorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        listening = loopbackSocket::listener(&port);
        ASSERT_GE(listening, 0);
        ASSERT_EQ(listen(listening, 5), 0);
        result = std::async(std::launch::async, [this] { return halSpiEmulatorServe(listening); });
    }
    void TearDown() override
    {
        if (client >= 0)
            close(client);
        if (result.valid()) {
            ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        }
        close(listening);
    }
    void connectClient()
    {
        client = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in emulator = {};
        emulator.sin_family = AF_INET;
        emulator.sin_port = htons((uint16_t)port);
        emulator.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(client, (struct sockaddr *)&emulator, sizeof emulator), 0);
        ASSERT_GE(client, 0);
    }
    int listening = -1;
    int port = 0;
    int client = -1;
    std::future<int> result;
};

TEST_F(EmulatorTest, StartsWithItsInitialRegisterGroups)
{
    connectClient();
    for (uint16_t base : {0x000, 0x200, 0x400, 0x600}) {
        SCOPED_TRACE(base);
        // Read 1 unit: N = 1, address in bits 0-13, command 2 in the top bits of byte 3.
        ASSERT_TRUE(sendAll(client, {0x01, 0x00, (uint8_t)base, (uint8_t)(0x80 | (base >> 8))}));
        EXPECT_EQ(receive(client, 4), hostWords({921, 128}));
    }
    ASSERT_TRUE(sendAll(client, {0x02, 0x00, 0x00, 0x82}));
    EXPECT_EQ(receive(client, 8), hostWords({921, 128, 0, 128}));
    ASSERT_TRUE(sendAll(client, {0x01, 0x00, 0x04, 0x82}));
    EXPECT_EQ(receive(client, 4), hostWords({0, 0}));
}

TEST_F(EmulatorTest, WritesReadBack)
{
    connectClient();
    ASSERT_TRUE(sendAll(client, {0x02, 0x00, 0x34, 0x12, 1, 2, 3, 4, 5, 6, 7, 8}));
    ASSERT_TRUE(sendAll(client, {0x02, 0x00, 0x34, 0x92}));
    EXPECT_EQ(receive(client, 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    // The neighbours are untouched.
    ASSERT_TRUE(sendAll(client, {0x01, 0x00, 0x32, 0x92}));
    EXPECT_EQ(receive(client, 4), hostWords({0, 0}));
}

TEST_F(EmulatorTest, InvalidCommandsAreReportedAndTheConnectionStays)
{
    connectClient();
    testing::internal::CaptureStderr();
    ASSERT_TRUE(sendAll(client, {0x01, 0x00, 0x00, 0x40}));
    ASSERT_TRUE(sendAll(client, {0x01, 0x00, 0x00, 0xC0}));
    ASSERT_TRUE(sendAll(client, {0x01, 0x00, 0x00, 0x82}));
    Bytes answer = receive(client, 4);
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(answer, hostWords({921, 128}));
    EXPECT_NE(errors.find("invalid command 1\n"), std::string::npos);
    EXPECT_NE(errors.find("invalid command 3\n"), std::string::npos);
}

TEST_F(EmulatorTest, FramesPastTheEndOfTheSpaceStayInside)
{
    connectClient();
    testing::internal::CaptureStderr();
    // Write 2 units at the last word: only that word is kept.
    ASSERT_TRUE(sendAll(client, {0x02, 0x00, 0xFF, 0x3F, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}));
    // Read 4 units from two words before the end: the rest comes back as zeros.
    ASSERT_TRUE(sendAll(client, {0x04, 0x00, 0xFE, 0xBF}));
    Bytes answer = receive(client, 16);
    // The largest frame at the last word.
    ASSERT_TRUE(sendAll(client, {0xFF, 0x0F, 0xFF, 0xBF}));
    Bytes largest = receive(client, 4 * 0xFFF);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(answer, (Bytes{0, 0, 0x11, 0x22, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(largest.size(), 4u * 0xFFF);
    EXPECT_EQ(largest[0], 0x11);
    EXPECT_EQ(largest[2], 0);
}

TEST_F(EmulatorTest, EndsWhenItsClientGoesAway)
{
    connectClient();
    ASSERT_TRUE(sendAll(client, {0x01, 0x00}));  // half a header, then end of stream
    testing::internal::CaptureStderr();
    close(client);
    client = -1;
    ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(result.get(), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("read error"), std::string::npos);
}

// The transmit and receive buffers of one SPI frame, as the FPGA handler keeps them.
struct Frame {
    uint8_t txBuffer[3000];
    uint8_t rxBuffer[3000];
};

// A frame as the FPGA handler puts it in its transmit buffer.
size_t putFrame(Frame *channel, uint32_t header, uint16_t count, const Bytes &data)
{
    uint8_t *tx = channel->txBuffer;
    tx[0] = (uint8_t)(header >> 24);
    tx[1] = (uint8_t)(header >> 16);
    tx[2] = (uint8_t)(header >> 8);
    tx[3] = (uint8_t)header;
    if (header & 0x80000000u) {
        tx[4] = (uint8_t)(count >> 8);
        tx[5] = (uint8_t)count;
        memset(tx + 6, 0, 2 * (size_t)count);
        return 6 + 2 * (size_t)count;
    }
    memcpy(tx + 4, data.data(), data.size());
    return 4 + data.size();
}

Bytes received(Frame *channel, uint16_t count)
{
    return Bytes(channel->rxBuffer + 6, channel->rxBuffer + 6 + 2 * count);
}

TEST_F(EmulatorTest, SocketChannelCarriesTheFpgaFrames)
{
    int handle = halDeviceOpenSocket(port);
    ASSERT_GE(handle, 0);
    Frame frame = {};
    Frame *channel = &frame;
    auto transfer = [&](size_t length) { return halSpiTransfer(handle, frame.txBuffer, frame.rxBuffer, length) == 0 ? 0 : 1; };

    // Register words come back big-endian, as on the SPI bus.
    ASSERT_EQ(transfer(putFrame(channel, 0x80000200, 3, {})), 0);
    EXPECT_EQ(received(channel, 3), (Bytes{0x03, 0x99, 0x00, 0x80, 0x00, 0x00}));

    // An odd word count leaves the word behind it alone.
    ASSERT_EQ(transfer(putFrame(channel, 0x00000302, 0, {0xAA, 0xAA, 0xBB, 0xBB})), 0);
    ASSERT_EQ(transfer(putFrame(channel, 0x00000300, 0, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66})), 0);
    ASSERT_EQ(transfer(putFrame(channel, 0x80000300, 4, {})), 0);
    EXPECT_EQ(received(channel, 4), (Bytes{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0xBB, 0xBB}));

    // A keyhole write leaves its last word in the window; a keyhole read repeats the window.
    ASSERT_EQ(transfer(putFrame(channel, 0x40000400, 0, {0x01, 0x02, 0x03, 0x04})), 0);
    ASSERT_EQ(transfer(putFrame(channel, 0xC0000400, 2, {})), 0);
    EXPECT_EQ(received(channel, 2), (Bytes{0x03, 0x04, 0x03, 0x04}));
    ASSERT_EQ(transfer(putFrame(channel, 0x80000401, 1, {})), 0);
    EXPECT_EQ(received(channel, 1), (Bytes{0x00, 0x80}));

    // Frames outside the emulated space fail without reaching it.
    EXPECT_EQ(transfer(putFrame(channel, 0x80004000, 1, {})), 1);
    EXPECT_EQ(transfer(putFrame(channel, 0x00003FFF, 0, {1, 2, 3, 4})), 1);
    // The connection still serves.
    ASSERT_EQ(transfer(putFrame(channel, 0x80003FFF, 1, {})), 0);
    EXPECT_EQ(received(channel, 1), (Bytes{0x00, 0x00}));
    EXPECT_EQ(halDeviceClose(handle), 0);
}

} // namespace
