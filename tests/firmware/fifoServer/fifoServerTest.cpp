/*
 * The fifo server on loopback ports of the test's choosing: one client per
 * card index, the newest client winning, the heart beat of an idle client,
 * the write results, the backlog dropped for a client that stopped reading,
 * and a terminate that ends the accept loop.
 */

#include "fifoServer/fifoServer.h"

#include "probing/probing.h"
#include "serviceManager/serviceManager.h"

#include <chrono>
#include <gtest/gtest.h>
#include <poll.h>
#include <thread>

#include "../../support/LoopbackSocket.h"
#include "../main/FirmwareTestSupport.h"

using firmwareTest::TestLog;
using loopbackSocket::Bytes;

namespace {

struct timespec fakeNow;
void fakeClock(struct timespec *now) { *now = fakeNow; }

int connectTo(int port, int receiveBuffer = 0)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < 2000; i++) {
        if (connect(fd, (struct sockaddr *)&address, sizeof address) == 0)
            return fd;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    close(fd);
    return -1;
}

/* Bytes that arrive within ms (none when the peer stays quiet). */
Bytes receiveWithin(int fd, size_t length, int ms)
{
    Bytes out;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (out.size() < length && std::chrono::steady_clock::now() < until) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            continue;
        uint8_t buffer[4096];
        ssize_t n = recv(fd, buffer, std::min(sizeof buffer, length - out.size()), 0);
        if (n <= 0)
            break;
        out.insert(out.end(), buffer, buffer + n);
    }
    return out;
}

/* 1 when the peer closed within ms (reading and dropping what comes before). */
bool closedWithin(int fd, int ms)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            continue;
        uint8_t buffer[65536];
        if (recv(fd, buffer, sizeof buffer, 0) <= 0)
            return true;
    }
    return false;
}

/* Waits for an event; the limit only ends a test whose event never comes, so it is wide enough for a loaded machine. */
bool waitFor(const std::function<bool()> &condition, int ms = 20000)
{
    for (int i = 0; i < ms / 5; i++) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

class FifoServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestLog::instance();
        setenv("KVR_ROOT", root.path().c_str(), 1);
        fifoServerSetClock(nullptr);
        for (int i = 0; i < FIFO_SERVER_CARDS; i++)
            fifoServerCardPorts.ports[i] = (uint32_t)held[i].port;
        initService(&fifoServerService);
        fifoServerService.state = SERVICE_STATE_RUN;
        server = std::thread([] { fifoServerService.threadEntry(&fifoServerService); });
    }
    void TearDown() override
    {
        stop();
        fifoServerSetClock(nullptr);
        unsetenv("KVR_ROOT");
    }
    void stop()
    {
        if (!server.joinable())
            return;
        fifoServerService.state = SERVICE_STATE_TERMINATE;
        fifoServerService.control(&fifoServerService, SERVICE_STATE_TERMINATE, SERVICE_STATE_RUN);
        server.join();
    }
    int client(uint32_t card, int receiveBuffer = 0)
    {
        int fd = connectTo((int)fifoServerCardPorts.ports[card], receiveBuffer);
        EXPECT_GE(fd, 0);
        return fd;
    }
    // Held bound (not listening) for the whole test: no other test can take these ports.
    loopbackSocket::PortReservation held[FIFO_SERVER_CARDS];
    TempDir root;
    std::thread server;
};

TEST_F(FifoServer, EachCardIndexReachesItsOwnClientByteForByte)
{
    int fds[FIFO_SERVER_CARDS];
    for (uint32_t card = 0; card < FIFO_SERVER_CARDS; card++) {
        fds[card] = client(card);
        ASSERT_TRUE(waitFor([card] { return fifoServerHasClient(card) == 1; })) << card;
    }
    for (uint32_t card = 0; card < FIFO_SERVER_CARDS; card++) {
        const uint8_t data[4] = {0xA0, (uint8_t)card, 0x00, 0xFF};
        EXPECT_EQ(fifoServerWrite(nullptr, data, sizeof data, card), FIFO_SERVER_QUEUED);
    }
    const uint8_t tail[3] = {1, 2, 3};
    EXPECT_EQ(fifoServerWrite(nullptr, tail, sizeof tail, 4), FIFO_SERVER_QUEUED);
    for (uint32_t card = 0; card < FIFO_SERVER_CARDS; card++) {
        Bytes expected = {0xA0, (uint8_t)card, 0x00, 0xFF};
        if (card == 4)
            expected.insert(expected.end(), {1, 2, 3});
        EXPECT_EQ(receiveWithin(fds[card], expected.size(), 20000), expected) << card;
        close(fds[card]);
    }
}

TEST_F(FifoServer, ASecondClientReplacesTheFirst)
{
    int first = client(2);
    ASSERT_TRUE(waitFor([] { return fifoServerHasClient(2) == 1; }));
    size_t mark = TestLog::instance().mark();
    int second = client(2);
    EXPECT_TRUE(closedWithin(first, 20000));
    EXPECT_TRUE(waitFor([mark] { return TestLog::instance().since(mark).find("Close old connection. Last transmit was at: ") != std::string::npos; }));
    const uint8_t data[2] = {0x12, 0x34};
    EXPECT_EQ(fifoServerWrite(nullptr, data, sizeof data, 2), FIFO_SERVER_QUEUED);
    EXPECT_EQ(receiveWithin(second, 2, 20000), (Bytes{0x12, 0x34}));
    close(first);
    close(second);
}

TEST_F(FifoServer, AnIdleClientGetsTheHeartBeatAfterMoreThanFourSeconds)
{
    fakeNow = {1000, 900000000};
    fifoServerSetClock(fakeClock);
    int fd = client(1);
    ASSERT_TRUE(waitFor([] { return fifoServerHasClient(1) == 1; }));
    fakeNow = {1005, 800000000};   /* 4.9 s: four whole seconds */
    fifoServerCheckForHeartBeat();
    EXPECT_TRUE(receiveWithin(fd, 5, 100).empty());
    fakeNow = {1005, 900000000};   /* 5 s */
    fifoServerCheckForHeartBeat();
    EXPECT_EQ(receiveWithin(fd, 5, 20000), (Bytes{0x00, 0xFF, 0x00, 0x01, 0x01}));
    /* The beat counts as a write: nothing more until the client is idle again. */
    fifoServerCheckForHeartBeat();
    EXPECT_TRUE(receiveWithin(fd, 5, 100).empty());
    close(fd);
}

TEST_F(FifoServer, WriteResultsForBadArgumentsMissingClientsAndSuccess)
{
    const uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(fifoServerWrite(nullptr, data, 3, 6), FIFO_SERVER_INVALID);
    EXPECT_EQ(fifoServerWrite(nullptr, data, 0, 0), FIFO_SERVER_INVALID);
    EXPECT_EQ(fifoServerWrite(nullptr, nullptr, 3, 0), FIFO_SERVER_INVALID);
    EXPECT_EQ(fifoServerWrite(nullptr, data, 3, 5), FIFO_SERVER_NO_CONNECTION);
    EXPECT_EQ(fifoServerQueuedBytes(), 0);
    int fd = client(5);
    ASSERT_TRUE(waitFor([] { return fifoServerHasClient(5) == 1; }));
    /* 253 bytes used to come back as 253, the queue-full status. */
    std::vector<uint8_t> big(253, 0x5A);
    EXPECT_EQ(fifoServerWrite(nullptr, big.data(), (uint32_t)big.size(), 5), FIFO_SERVER_QUEUED);
    EXPECT_EQ(receiveWithin(fd, 253, 20000), Bytes(253, 0x5A));
    close(fd);
}

TEST_F(FifoServer, AClientThatStopsReadingLosesTheBacklogAndItsConnection)
{
    int fd = client(0, 4096);
    ASSERT_TRUE(waitFor([] { return fifoServerHasClient(0) == 1; }));
    size_t mark = TestLog::instance().mark();
    std::vector<uint8_t> chunk(1024, 0x77);
    uint8_t result = FIFO_SERVER_QUEUED;
    for (int i = 0; i < 200000 && result == FIFO_SERVER_QUEUED; i++)
        result = fifoServerWrite(nullptr, chunk.data(), (uint32_t)chunk.size(), 0);
    EXPECT_EQ(result, FIFO_SERVER_QUEUE_FULL);
    EXPECT_GT(fifoServerQueuedBytes(), FIFO_SERVER_QUEUE_LIMIT);
    EXPECT_TRUE(waitFor([mark] { return TestLog::instance().since(mark).find("Need to drop") != std::string::npos; }));
    /* Keep writing: once the socket buffers are full a send times out and closes the client. */
    EXPECT_TRUE(waitFor([&chunk] {
        for (int i = 0; i < 64; i++)
            fifoServerWrite(nullptr, chunk.data(), (uint32_t)chunk.size(), 0);
        return fifoServerHasClient(0) == 0;
    }, 20000));
    EXPECT_TRUE(waitFor([] { return fifoServerQueuedBytes() == 0; }));
    EXPECT_EQ(fifoServerWrite(nullptr, chunk.data(), (uint32_t)chunk.size(), 0), FIFO_SERVER_NO_CONNECTION);
    std::string log = TestLog::instance().since(mark);
    EXPECT_NE(log.find("Fail to write to fifo connection"), std::string::npos);
    EXPECT_NE(log.find("limits is 65536 bytes"), std::string::npos);
    close(fd);
}

TEST_F(FifoServer, TerminateEndsTheAcceptLoop)
{
    int fd = client(3);
    ASSERT_TRUE(waitFor([] { return fifoServerHasClient(3) == 1; }));
    auto start = std::chrono::steady_clock::now();
    stop();
    /* The loop wakes on the terminate event, not on a timer: well within the transmitter's 5 s idle wait. */
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(fifoServerHasClient(3), 0);
    EXPECT_TRUE(closedWithin(fd, 20000));
    close(fd);
}

TEST(FifoServerBeforeInit, AWriteFindsNoClientAndQueuesNothing)
{
    const uint8_t data[2] = {1, 2};
    for (uint32_t card = 0; card < FIFO_SERVER_CARDS; card++) {
        EXPECT_EQ(fifoServerHasClient(card), 0);
        EXPECT_EQ(fifoServerWrite(nullptr, data, sizeof data, card), FIFO_SERVER_NO_CONNECTION);
    }
    EXPECT_EQ(fifoServerQueuedBytes(), 0);
}

TEST(FifoServerTime, FormatsMillisecondsAndReportsTruncation)
{
    setenv("TZ", "UTC", 1);
    tzset();
    struct timespec t = {1700000000, 123456789};
    char text[64];
    EXPECT_EQ(fifoServerFormatTime(text, sizeof text, &t), 0);
    EXPECT_STREQ(text, "2023-11-14 22:13:20.123");
    char shorter[22];
    EXPECT_EQ(fifoServerFormatTime(shorter, sizeof shorter, &t), 3);
    char tiny[8];
    EXPECT_EQ(fifoServerFormatTime(tiny, sizeof tiny, &t), 2);
}

} // namespace
