#include "ctrlPeer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(CtrlPeerPackets, BuildsPacketsByteForByte)
{
    struct Case {
        const char *name;
        Bytes packet;
        Bytes expected;
    } cases[] = {
        {"ack", ctrlpeer::buildPacket(0x21, 0x15, 0x0000, {}), {0x02, 0x21, 0x15, 0x02, 0x00, 0x00, 0x3A}},
        {"link state 3", ctrlpeer::buildPacket(0x21, 0x15, 0x000C, {3}), {0x02, 0x21, 0x15, 0x03, 0x00, 0x0C, 0x03, 0x4A}},
        {"more flag", ctrlpeer::buildPacket(0x21, 0x15, 0x0016, {0x00, 0x81}, true),
         {0x02, 0x21, 0x15, 0x44, 0x00, 0x16, 0x00, 0x81, 0x13}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.packet, c.expected);
    }
}

TEST(CtrlPeerPackets, SplitsAsTheLinkDoes)
{
    struct Case {
        size_t length;
        Bytes lengthBytes;
    } cases[] = {{0, {0x02}}, {57, {0x3B}}, {58, {0x7B, 0x03}}, {114, {0x7B, 0x3B}}, {115, {0x7B, 0x7B, 0x03}}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.length);
        auto packets = ctrlpeer::splitMessage(0x21, 0x15, 0x0321, Bytes(c.length, 0x5A));
        ASSERT_EQ(packets.size(), c.lengthBytes.size());
        for (size_t i = 0; i < packets.size(); i++) {
            EXPECT_EQ(packets[i][3], c.lengthBytes[i]);
            EXPECT_EQ(packets[i][4], 0x03);
            EXPECT_EQ(packets[i][5], 0x21);
        }
    }
}

TEST(CtrlPeerPackets, ParsesAndChecksTheSum)
{
    auto good = ctrlpeer::parsePacket({0x02, 0x15, 0x21, 0x05, 0x00, 0x11, 0xFF, 0x55, 0xAA, 0x4C});
    EXPECT_TRUE(good.checksumOk);
    EXPECT_EQ(good.opcode, 0x0011);
    EXPECT_EQ(good.source, 0x21);
    EXPECT_EQ(good.destination, 0x15);
    EXPECT_EQ(good.data, (Bytes{0xFF, 0x55, 0xAA}));
    auto bad = ctrlpeer::parsePacket({0x02, 0x15, 0x21, 0x05, 0x00, 0x11, 0xFF, 0x55, 0xAA, 0x4D});
    EXPECT_FALSE(bad.checksumOk);
}

/* The card's side of the pseudo-terminal. */
int openCardSide(const std::string &path)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    struct termios raw;
    if (fd >= 0 && tcgetattr(fd, &raw) == 0) {
        cfmakeraw(&raw);
        tcsetattr(fd, TCSANOW, &raw);
    }
    return fd;
}

Bytes readFor(int fd, size_t want, int timeoutMs)
{
    Bytes got;
    while (got.size() < want) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            break;
        uint8_t buffer[64];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

TEST(CtrlPeerLink, AcknowledgesRecordsAndAnswersFrameTypeOverAPty)
{
    ctrlpeer::CtrlPeer peer;
    std::string path = peer.openPty();
    ASSERT_FALSE(path.empty());
    int card = openCardSide(path);
    ASSERT_GE(card, 0);
    /* a break arrives as a zero byte before DEV_ID: the peer resynchronises on 0x02 */
    Bytes request = {0x00};
    Bytes frameType = ctrlpeer::buildPacket(0x15, 0x21, 0x101D, {});
    request.insert(request.end(), frameType.begin(), frameType.end());
    ASSERT_EQ(write(card, request.data(), request.size()), (ssize_t)request.size());
    Bytes answer = readFor(card, 15, 2000);
    EXPECT_EQ(answer, (Bytes{0x02, 0x21, 0x15, 0x02, 0x00, 0x00, 0x3A, 0x02, 0x21, 0x15, 0x03, 0x10, 0x1E, 0x02, 0x6B}));
    ctrlpeer::Packet recorded;
    ASSERT_TRUE(peer.waitOpcode(0x101D, 1000, &recorded));
    EXPECT_EQ(recorded.raw, frameType);
    close(card);
}

TEST(CtrlPeerLink, NacksOnRequest)
{
    ctrlpeer::CtrlPeer::Options options;
    options.answerQueries = false;
    ctrlpeer::CtrlPeer peer(options);
    int card = openCardSide(peer.openPty());
    ASSERT_GE(card, 0);
    peer.nackNext(1, 1);
    Bytes packet = ctrlpeer::buildPacket(0x15, 0x21, 0x0321, {});
    for (int i = 0; i < 2; i++)
        ASSERT_EQ(write(card, packet.data(), packet.size()), (ssize_t)packet.size());
    Bytes answer = readFor(card, 15, 2000);
    EXPECT_EQ(answer, (Bytes{0x02, 0x21, 0x15, 0x03, 0x00, 0x01, 0x01, 0x3D, 0x02, 0x21, 0x15, 0x02, 0x00, 0x00, 0x3A}));
    close(card);
}

} // namespace
