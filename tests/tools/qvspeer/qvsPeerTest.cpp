/*
 * The QVS peer's TCP transport against a hand-written firmware end: literal
 * bytes in, mirror and size word out. Ephemeral loopback ports only.
 */
#include "qvsPeer.h"

#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

/* A peer listening on an ephemeral port, and the firmware end connected to it. */
class QvsPeerTcpTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(qvsPeerListenTcp(&peer, "127.0.0.1", 0), 0);
        struct sockaddr_in at = {};
        socklen_t length = sizeof at;
        ASSERT_EQ(getsockname(peer.listenSocket, (struct sockaddr *)&at, &length), 0);
        firmware = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(connect(firmware, (struct sockaddr *)&at, sizeof at), 0);
    }
    void TearDown() override
    {
        if (firmware >= 0)
            close(firmware);
        if (peer.transport)
            peer.transport->close(&peer);
    }
    void send(const std::vector<uint8_t> &bytes) { ASSERT_EQ(::send(firmware, bytes.data(), bytes.size(), 0), (ssize_t)bytes.size()); }
    qvsPeer peer;
    int firmware = -1;
};

TEST_F(QvsPeerTcpTest, SizeWordAndRecordsBuildTheMirror)
{
    send({0x00, 0x00, 0x05, 0x56}); /* 1366 */
    ASSERT_EQ(qvsPeerAcceptTcp(&peer, 2000), 0);
    EXPECT_EQ(peer.announcedSize, 1366u);

    /* A relative record of 3 bytes at 2, an absolute one of 2 bytes at 0x820, the end record; split anywhere. */
    std::vector<uint8_t> records = {0, 0, 0, 3, 0, 0, 0, 2, 0xAA, 0xBB, 0xCC,
                                    0, 0, 0, 2, 0x80, 0, 0x08, 0x20, 0x11, 0x22,
                                    0, 0, 0, 0, 0, 0, 0, 0};
    std::thread writer([&] {
        for (size_t at = 0; at < records.size(); at += 5) {
            ::send(firmware, records.data() + at, std::min<size_t>(5, records.size() - at), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    EXPECT_EQ(peer.transport->waitNotify(&peer, 3000), 0);
    writer.join();
    uint8_t head[6] = {};
    ASSERT_EQ(peer.transport->readSharedMem(&peer, 0, head, sizeof head), 0);
    EXPECT_EQ(std::vector<uint8_t>(head, head + 6), (std::vector<uint8_t>{0, 0, 0xAA, 0xBB, 0xCC, 0}));
    uint8_t absolute[2] = {};
    ASSERT_EQ(peer.transport->readSharedMem(&peer, 0x820, absolute, 2), 0);
    EXPECT_EQ(absolute[0], 0x11);
    EXPECT_EQ(absolute[1], 0x22);
    EXPECT_NE(peer.transport->readSharedMem(&peer, 0x821, absolute, 2), 0); /* past the mirror */

    /* No end record yet: the wait times out and keeps what came. */
    send({0, 0, 0, 1, 0, 0, 0, 0, 0x77});
    EXPECT_NE(peer.transport->waitNotify(&peer, 100), 0);
    send({0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(peer.transport->waitNotify(&peer, 2000), 0);
    ASSERT_EQ(peer.transport->readSharedMem(&peer, 0, head, 1), 0);
    EXPECT_EQ(head[0], 0x77);
}

TEST_F(QvsPeerTcpTest, PcodesGoOutAsTheyAreAndAHugeRecordIsRefused)
{
    send({0, 0, 0, 12});
    ASSERT_EQ(qvsPeerAcceptTcp(&peer, 2000), 0);
    std::vector<uint8_t> pcode = qvsPeerBuildPcode(10, 1, {1, 2, 3});
    EXPECT_EQ(pcode, (std::vector<uint8_t>{10, 1, 0, 3, 1, 2, 3}));
    ASSERT_EQ(peer.transport->sendPcode(&peer, pcode.data(), (uint32_t)pcode.size()), 0);
    uint8_t got[7] = {};
    ASSERT_EQ(recv(firmware, got, sizeof got, MSG_WAITALL), 7);
    EXPECT_EQ(std::vector<uint8_t>(got, got + 7), pcode);
    EXPECT_EQ(peer.transport->sendQuit(&peer), -1); /* no quit over TCP */

    send({0x7F, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}); /* larger than any mirror */
    EXPECT_NE(peer.transport->waitNotify(&peer, 1000), 0);
    close(firmware);
    firmware = -1;
    EXPECT_TRUE(qvsPeerTcpClosed(&peer, 2000));
}

} // namespace
