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

TEST(CtrlPeerPackets, SettingsDataByteForByte)
{
    EXPECT_EQ(ctrlpeer::memBlockData(0x0081, "ipaddr=1.2.3.4\n"),
              (Bytes{0x00, 0x81, 'i', 'p', 'a', 'd', 'd', 'r', '=', '1', '.', '2', '.', '3', '.', '4', '\n'}));
    Bytes mac = ctrlpeer::macData(1, "00:11:22:33:44:55");
    ASSERT_EQ(mac.size(), 19u);
    EXPECT_EQ(mac[0], 1);
    EXPECT_EQ(mac[1], '0');
    EXPECT_EQ(mac[17], '5');
    EXPECT_EQ(mac[18], 0);
}

TEST(CtrlPeerPackets, JoinsMultiPacketMessagesAndReplaysThePanel)
{
    std::vector<ctrlpeer::Packet> packets;
    auto split = ctrlpeer::splitMessage(0x15, 0x21, 0x0015, Bytes(60, 'a'));
    ASSERT_EQ(split.size(), 2u);
    /* an acknowledgement between the two packets of the text */
    packets.push_back(ctrlpeer::parsePacket(split[0]));
    packets.push_back(ctrlpeer::parsePacket(ctrlpeer::buildPacket(0x15, 0x21, 0x0000, {})));
    packets.push_back(ctrlpeer::parsePacket(split[1]));
    packets.push_back(ctrlpeer::parsePacket(ctrlpeer::buildPacket(0x15, 0x21, 0x0015, {'b'})));
    auto messages = ctrlpeer::joinMessages(packets);
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].opcode, 0x0015);
    EXPECT_EQ(messages[0].data, Bytes(60, 'a'));
    EXPECT_EQ(messages[1].opcode, 0x0000);
    EXPECT_EQ(messages[2].data, Bytes{'b'});

    auto lineOf = [](uint8_t attribute, const char *text) {
        Bytes data(18, 0);
        data[0] = attribute;
        for (int i = 0; i < 16; i++)
            data[(size_t)i + 1] = (uint8_t)text[i];
        return ctrlpeer::parsePacket(ctrlpeer::buildPacket(0x15, 0x21, 0x0021, data));
    };
    std::vector<ctrlpeer::Packet> draws = {lineOf(0x00, "old title       "), lineOf(0x40, "old item        "),
                                           ctrlpeer::parsePacket(ctrlpeer::buildPacket(0x15, 0x21, 0x0020, {})),
                                           lineOf(0x00, "QMR-1300-D      "), lineOf(0x40, "FW 4.2          ")};
    ctrlpeer::Panel panel = ctrlpeer::panelOf(draws);
    EXPECT_EQ(panel.line1, "QMR-1300-D      ");
    EXPECT_EQ(panel.line2, "FW 4.2          ");
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
