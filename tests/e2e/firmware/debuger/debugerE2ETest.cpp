/*
 * The debug port (TCP 8989) of the real kvr-firmware with the card emulator,
 * in private IPC and network namespaces: a client that goes quiet, before a
 * command or inside one, is closed after the idle limit and the next client
 * is served.
 */

#include <arpa/inet.h>
#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "../DaemonTestSupport.h"
#include "debuger/debuger.h"
#include "utils/utils.h"

using firmwareTest::readFile;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

/* A loopback TCP client of the debug port. */
class Client {
public:
    ~Client()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    /* `receiveBuffer` above 0: the socket's receive buffer, set before connecting. */
    bool connectTo(uint16_t port, int receiveBuffer = 0)
    {
        for (int attempt = 0; attempt < 100; attempt++) {
            fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (receiveBuffer > 0)
                setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (connect(fd_, (sockaddr *)&address, sizeof address) == 0)
                return true;
            close(fd_);
            fd_ = -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    bool send(const Bytes &bytes)
    {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == (ssize_t)bytes.size();
    }
    /* Up to `length` bytes within `timeoutMs`; fewer when the card closed the connection. */
    Bytes receive(size_t length, int timeoutMs)
    {
        Bytes bytes(length);
        size_t got = 0;
        auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got < length) {
            int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            struct pollfd waitFor = {fd_, POLLIN, 0};
            if (left <= 0 || poll(&waitFor, 1, left) <= 0)
                break;
            ssize_t n = read(fd_, bytes.data() + got, length - got);
            if (n <= 0)
                break;
            got += (size_t)n;
        }
        bytes.resize(got);
        return bytes;
    }
    /* True when the card has closed the connection (end of stream) within `timeoutMs`. */
    bool closedByCard(int timeoutMs)
    {
        struct pollfd waitFor = {fd_, POLLIN, 0};
        uint8_t byte;
        return poll(&waitFor, 1, timeoutMs) > 0 && read(fd_, &byte, 1) == 0;
    }

    /* Ends a send blocked in another thread. */
    void shutdownBoth() { shutdown(fd_, SHUT_RDWR); }

private:
    int fd_ = -1;
};

Bytes header(uint8_t command, uint8_t device, uint32_t address, uint8_t size)
{
    Bytes h = {0x7F, command, device, (uint8_t)(address >> 24), (uint8_t)(address >> 16), (uint8_t)(address >> 8),
               (uint8_t)address, size};
    uint16_t crc = crc16Ccitt(h.data(), h.size());
    h.push_back((uint8_t)(crc >> 8));
    h.push_back((uint8_t)crc);
    return h;
}

/* The FSM-FPGA version word read of the emulated card and its answer. */
const Bytes versionRead = header(DEBUGER_CMD_READ, 1, 1, 1);
const Bytes versionAnswer = {0x00, 0x00, 0x12};

class DebugerRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_NAMESPACES();
        firmwareTest::makeCardRoot(dir, log(), {"root/etc"});
        firmwareTest::writeConfiguration(dir, {"pcodeProcessor", "debuger"});
        const uint8_t ulmHeader[32] = {0};
        std::ofstream(dir / "root/usr/local/q7/firmware/ulmheader.dat", std::ios::binary)
            .write((const char *)ulmHeader, sizeof ulmHeader);
        pid = firmwareTest::startEmulatedDaemon(dir);
        ASSERT_TRUE(firmwareTest::waitForLogIn(log(), "Starting service debuger", 1, 20000)) << readFile(log());
    }
    void TearDown() override { firmwareTest::stopDaemon(dir, pid); }
    std::string log() { return dir / "firmware.log"; }

    TempDir dir;
    pid_t pid = -1;
};

TEST_F(DebugerRun, QuietClientIsClosedAfterTheIdleLimitAndTheNextIsServed)
{
    struct Case {
        const char *name;
        Bytes sent; /* what the quiet client sends before it goes quiet */
        const char *logged;
    };
    Bytes writeHeader = header(DEBUGER_CMD_WRITE, 31, 200, 2);
    Bytes partialWrite = writeHeader;
    partialWrite.push_back(0xCA);
    const Case cases[] = {
        {"nothing at all", {}, "sent nothing for 5000 ms before a frame (0 of 10 bytes read), closing it"},
        {"a command, then nothing", versionRead,
         "sent nothing for 5000 ms before a frame (0 of 10 bytes read), closing it"},
        {"half a header", Bytes(versionRead.begin(), versionRead.begin() + 5),
         "sent nothing for 5000 ms in the middle of a frame (5 of 10 bytes read), closing it"},
        {"a write header and one data byte", partialWrite,
         "sent nothing for 5000 ms in the middle of a frame (1 of 4 bytes read), closing it"},
    };
    size_t seen = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Client quiet;
        ASSERT_TRUE(quiet.connectTo(DEBUGER_PORT));
        auto began = Clock::now();
        if (!c.sent.empty()) {
            ASSERT_TRUE(quiet.send(c.sent));
        }
        if (c.sent == versionRead) {
            EXPECT_EQ(quiet.receive(3, 2000), versionAnswer);
        }

        /* The next client waits at most the idle limit (and a margin for a loaded machine). */
        Client next;
        ASSERT_TRUE(next.connectTo(DEBUGER_PORT));
        ASSERT_TRUE(next.send(versionRead));
        EXPECT_EQ(next.receive(3, DEBUGER_IDLE_LIMIT_MS + 3000), versionAnswer);
        auto waited = Clock::now() - began;
        EXPECT_GE(waited, std::chrono::milliseconds(DEBUGER_IDLE_LIMIT_MS - 100));
        EXPECT_LT(waited, std::chrono::milliseconds(DEBUGER_IDLE_LIMIT_MS + 3000));
        EXPECT_TRUE(quiet.closedByCard(1000));

        std::string logged = readFile(log());
        size_t at = logged.find(c.logged, seen);
        EXPECT_NE(at, std::string::npos) << logged.substr(seen);
        if (at != std::string::npos)
            seen = at + 1;
    }
}

TEST_F(DebugerRun, ClientThatReadsNoneOfItsRepliesIsClosedAfterTheIdleLimit)
{
    /* Reads of 255 words (511 bytes of reply each) until the card's buffers and ours are full. */
    Client greedy;
    ASSERT_TRUE(greedy.connectTo(DEBUGER_PORT, 4096));
    Bytes commands;
    Bytes read255 = header(DEBUGER_CMD_READ, 1, 1, 255);
    for (int i = 0; i < 16000; i++)
        commands.insert(commands.end(), read255.begin(), read255.end());
    std::thread sender([&] { greedy.send(commands); });
    const char *logged = "read none of its replies for 5000 ms, closing it";
    bool closed = firmwareTest::waitForLogIn(log(), logged, 1, 60000);
    auto stoppedAt = Clock::now();
    EXPECT_TRUE(closed) << readFile(log());
    Client next;
    ASSERT_TRUE(next.connectTo(DEBUGER_PORT));
    ASSERT_TRUE(next.send(versionRead));
    EXPECT_EQ(next.receive(3, 5000), versionAnswer);
    EXPECT_LT(Clock::now() - stoppedAt, std::chrono::milliseconds(5000));
    greedy.shutdownBoth();
    sender.join();
}

TEST_F(DebugerRun, ClientThatKeepsSendingWithinTheLimitStaysServed)
{
    Client client;
    ASSERT_TRUE(client.connectTo(DEBUGER_PORT));
    /* Pauses below the limit, between commands and inside one. */
    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(client.send(Bytes(versionRead.begin(), versionRead.begin() + 4)));
        std::this_thread::sleep_for(std::chrono::milliseconds(DEBUGER_IDLE_LIMIT_MS / 2));
        ASSERT_TRUE(client.send(Bytes(versionRead.begin() + 4, versionRead.end())));
        EXPECT_EQ(client.receive(3, 2000), versionAnswer);
        std::this_thread::sleep_for(std::chrono::milliseconds(DEBUGER_IDLE_LIMIT_MS / 2));
    }
    EXPECT_EQ(readFile(log()).find("closing it"), std::string::npos);
}

/* A header with its CRC, whatever its start byte. */
Bytes headerStartingWith(uint8_t start, uint8_t command, uint8_t device, uint32_t address, uint8_t size)
{
    Bytes h = header(command, device, address, size);
    h[0] = start;
    uint16_t crc = crc16Ccitt(h.data(), 8);
    h[8] = (uint8_t)(crc >> 8);
    h[9] = (uint8_t)crc;
    return h;
}

/*
 * Commands the card refuses get one NACK byte and the connection goes on: the
 * version read that follows on the same connection is answered.
 */
TEST_F(DebugerRun, RefusedCommandsAreNackedAndTheConnectionGoesOn)
{
    Bytes badCrc = versionRead;
    badCrc[9] ^= 0x01;
    Bytes unknownDeviceWrite = header(DEBUGER_CMD_WRITE, 250, 0, 1);
    unknownDeviceWrite.insert(unknownDeviceWrite.end(), {0x12, 0x34});
    Bytes unknownDeviceBurst = header(DEBUGER_CMD_BURST_WRITE, 250, 0, 3);
    unknownDeviceBurst.insert(unknownDeviceBurst.end(), {1, 2, 3});
    const struct {
        const char *name;
        Bytes sent;
        const char *logged;
    } cases[] = {
        {"a start byte other than 0x7F with a good CRC", headerStartingWith(0x7E, DEBUGER_CMD_READ, 1, 1, 1),
         "Debuger: Invalid start of frame: 7e"},
        {"a bad CRC", badCrc, "Debuger: CRC invalid for command header"},
        {"an unknown command", header(9, 1, 1, 1), "Debuger: Invalide received command 9"},
        {"a read of an unknown device", header(DEBUGER_CMD_READ, 250, 0, 1), nullptr},
        {"a write the device refuses", unknownDeviceWrite, nullptr},
        {"a burst write the device refuses", unknownDeviceBurst, "Debuger: Burst write to device failed"},
    };
    Client client;
    ASSERT_TRUE(client.connectTo(DEBUGER_PORT));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        size_t mark = readFile(log()).size();
        ASSERT_TRUE(client.send(c.sent));
        EXPECT_EQ(client.receive(1, 10000), Bytes{DEBUGER_NACK});
        ASSERT_TRUE(client.send(versionRead));
        EXPECT_EQ(client.receive(3, 10000), versionAnswer);
        if (c.logged) {
            EXPECT_NE(readFile(log()).find(c.logged, mark), std::string::npos) << readFile(log()).substr(mark);
        }
    }
}

/*
 * A client that leaves inside a header or inside a write's data is let go at
 * once (no idle wait): the next client is served.
 */
TEST_F(DebugerRun, AClientLeavingInsideAFrameIsLetGoAtOnce)
{
    Bytes writeHeader = header(DEBUGER_CMD_WRITE, 31, 200, 2);
    Bytes halfWrite = writeHeader;
    halfWrite.insert(halfWrite.end(), {0xCA, 0xFE});
    const struct {
        const char *name;
        Bytes sent;
    } cases[] = {
        {"half a header", Bytes(versionRead.begin(), versionRead.begin() + 5)},
        {"a write header and half its data", halfWrite},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        {
            Client leaving;
            ASSERT_TRUE(leaving.connectTo(DEBUGER_PORT));
            ASSERT_TRUE(leaving.send(c.sent));
        }
        auto left = Clock::now();
        Client next;
        ASSERT_TRUE(next.connectTo(DEBUGER_PORT));
        ASSERT_TRUE(next.send(versionRead));
        EXPECT_EQ(next.receive(3, DEBUGER_IDLE_LIMIT_MS + 3000), versionAnswer);
        /* Served well before the idle limit that a quiet client would have cost. */
        EXPECT_LT(Clock::now() - left, std::chrono::milliseconds(DEBUGER_IDLE_LIMIT_MS - 1000));
    }
    EXPECT_EQ(readFile(log()).find("closing it"), std::string::npos) << readFile(log());
}

/* Writes reach the device: a word write and a burst write, each read back on the same connection. */
TEST_F(DebugerRun, WordAndBurstWritesReachTheDevice)
{
    Client client;
    ASSERT_TRUE(client.connectTo(DEBUGER_PORT));
    Bytes write = header(DEBUGER_CMD_WRITE, 1, 0x10, 2);
    write.insert(write.end(), {0x12, 0x34, 0x56, 0x78});
    ASSERT_TRUE(client.send(write));
    EXPECT_EQ(client.receive(1, 10000), Bytes{DEBUGER_ACK});
    ASSERT_TRUE(client.send(header(DEBUGER_CMD_READ, 1, 0x10, 2)));
    Bytes back = client.receive(5, 10000);
    ASSERT_EQ(back.size(), 5u);
    EXPECT_EQ(back, (Bytes{DEBUGER_ACK, 0x12, 0x34, 0x56, 0x78}));

    Bytes burst = header(DEBUGER_CMD_BURST_WRITE, 1, 0x10, 4);
    burst.insert(burst.end(), {0x9A, 0xBC, 0xDE, 0xF0});
    ASSERT_TRUE(client.send(burst));
    EXPECT_EQ(client.receive(1, 10000), Bytes{DEBUGER_ACK});
    ASSERT_TRUE(client.send(header(DEBUGER_CMD_READ, 1, 0x10, 2)));
    back = client.receive(5, 10000);
    ASSERT_EQ(back.size(), 5u);
    /* A burst counts bytes: four bytes are the two words read back. */
    EXPECT_EQ(back, (Bytes{DEBUGER_ACK, 0x9A, 0xBC, 0xDE, 0xF0}));
}

} // namespace
