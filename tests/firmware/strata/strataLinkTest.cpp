#include "StrataTestSupport.h"

#include <algorithm>

using namespace strataTest;
using firmwareTest::TestLog;
using ctrlpeer::Packet;

namespace {

TEST(StrataFrame, PacketsAreLaidOutWithTheirSum)
{
    struct Case {
        const char *name;
        uint8_t destination, source;
        uint16_t opcode;
        Bytes data;
        int more;
        Bytes packet;
    } cases[] = {
        {"ack", 0x21, 0x15, 0x0000, {}, 0, {0x02, 0x21, 0x15, 0x02, 0x00, 0x00, 0x3A}},
        {"nack checksum", 0x15, 0x00, 0x0001, {0x00}, 0, {0x02, 0x15, 0x00, 0x03, 0x00, 0x01, 0x00, 0x1B}},
        {"more packets follow", 0x21, 0x15, 0x0016, {0x00, 0x81}, 1, {0x02, 0x21, 0x15, 0x44, 0x00, 0x16, 0x00, 0x81, 0x13}},
        {"sum wraps", 0xFF, 0xFF, 0xFFFF, {0xFF}, 0, {0x02, 0xFF, 0xFF, 0x03, 0xFF, 0xFF, 0xFF, 0x00}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t packet[STRATA_PACKET_MAX];
        uint32_t size = strataFramePacket(packet, c.destination, c.source, c.opcode, c.data.data(),
                                          (uint32_t)c.data.size(), c.more);
        EXPECT_EQ(Bytes(packet, packet + size), c.packet);
        EXPECT_EQ(strataChecksum(packet, size - 1), packet[size - 1]);
    }
    Bytes largest(STRATA_PACKET_DATA_MAX, 0x01);
    uint8_t packet[STRATA_PACKET_MAX];
    EXPECT_EQ(strataFramePacket(packet, 0x15, 0x21, 0x0100, largest.data(), STRATA_PACKET_DATA_MAX, 0), 64u);
    EXPECT_EQ(packet[3], 59);
    Bytes tooLong(STRATA_PACKET_DATA_MAX + 1, 0x01);
    EXPECT_EQ(strataFramePacket(packet, 0x15, 0x21, 0x0100, tooLong.data(), (uint32_t)tooLong.size(), 0), 0u);
}

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point start)
{
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(StrataPacket, DevIdBytesOfTheDefaultConfiguration)
{
    uint8_t devId[STRATA_DEV_ID_SIZE];
    strataBuildDevId(&strataLinkConfiguration, devId);
    const Bytes expected = {0x00, 0xA9, 0x00, 0x81, 0x04, 0x20, 'Q', 'M', 'R', '-', '1', '1', '0', '0', 0x00};
    EXPECT_EQ(Bytes(devId, devId + sizeof devId), expected);
}

TEST_F(StrataLink, AnnouncesItselfWithDevIdOnOpen)
{
    Packet devId;
    ASSERT_TRUE(peer.waitOpcode(STRATA_OPCODE_DEV_ID, 100, &devId));
    /* source 0: the card does not know its address before the controller's first packet */
    const Bytes expected = {0x02, 0x15, 0x00, 0x11, 0x00, 0x13, 0x00, 0xA9, 0x00, 0x81, 0x04,
                            0x20, 0x51, 0x4D, 0x52, 0x2D, 0x31, 0x31, 0x30, 0x30, 0x00, 0x68};
    EXPECT_EQ(devId.raw, expected);
    EXPECT_EQ(strataGetCommState(), 0);
}

TEST_F(StrataLink, AckAndNackBytes)
{
    raiseState(1);
    size_t from = peer.received().size();
    strata_send_ack(0x15);
    strata_send_nack(0x15, STRATA_NACK_WRONG_STATE);
    auto got = untilMarkers(from);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].raw, (Bytes{0x02, 0x15, 0x21, 0x02, 0x00, 0x00, 0x3A}));
    EXPECT_EQ(got[1].raw, (Bytes{0x02, 0x15, 0x21, 0x03, 0x00, 0x01, 0x0A, 0x46}));
}

TEST_F(StrataLink, SplitsLongMessagesWithTheMoreFlagAndRepeatsTheOpcode)
{
    raiseState(3);
    struct Case {
        uint32_t length;
        Bytes lengthBytes;
    } cases[] = {
        {0, {0x02}}, {1, {0x03}}, {57, {0x3B}}, {58, {0x7B, 0x03}}, {100, {0x7B, 0x2D}}, {114, {0x7B, 0x3B}}, {115, {0x7B, 0x7B, 0x03}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.length);
        Bytes data(c.length);
        for (uint32_t i = 0; i < c.length; i++)
            data[i] = (uint8_t)i;
        size_t from = peer.received().size();
        ASSERT_EQ(strata_sendmsg(STRATA_MSG_REPLY, 0x15, 0x0321, data.data(), c.length), 0);
        auto got = untilMarkers(from);
        std::vector<Packet> mine;
        std::copy_if(got.begin(), got.end(), std::back_inserter(mine), [](const Packet &p) { return p.opcode == 0x0321; });
        ASSERT_EQ(mine.size(), c.lengthBytes.size());
        Bytes joined;
        for (size_t i = 0; i < mine.size(); i++) {
            EXPECT_EQ(mine[i].raw[3], c.lengthBytes[i]);
            EXPECT_EQ(mine[i].raw[4], 0x03);
            EXPECT_EQ(mine[i].raw[5], 0x21);
            EXPECT_TRUE(mine[i].checksumOk);
            joined.insert(joined.end(), mine[i].data.begin(), mine[i].data.end());
        }
        EXPECT_EQ(joined, data);
    }
}

TEST_F(StrataLink, OnePacketOfThreeDataBytesByteForByte)
{
    raiseState(3);
    size_t from = peer.received().size();
    const uint8_t data[3] = {0xFF, 0x55, 0xAA};
    ASSERT_EQ(strata_sendmsg(STRATA_MSG_REPLY, 0x15, 0x0011, data, 3), 0);
    ASSERT_TRUE(peer.waitOpcode(0x0011, 2000, nullptr, from));
    auto got = untilMarkers(from);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].raw, (Bytes{0x02, 0x15, 0x21, 0x05, 0x00, 0x11, 0xFF, 0x55, 0xAA, 0x4C}));
}

TEST_F(StrataLink, LinkStateGatesByMessageType)
{
    struct Case {
        uint8_t state;
        uint32_t type;
        uint16_t opcode;
        int result;
        uint8_t destination;
    } cases[] = {
        {1, STRATA_MSG_REQUEST, 0x0099, -1, 0},    {1, STRATA_MSG_REQUEST, 0x0013, 0, 0x15},
        {2, STRATA_MSG_REQUEST, 0x0099, 0, 0x15},  {2, STRATA_MSG_REPORT, 0x0099, -1, 0},
        {3, STRATA_MSG_REPORT, 0x0099, 0, 0x18},   {0, STRATA_MSG_REPLY, 0x0099, 0, 0x33},
        {0, STRATA_MSG_UNCHECKED, 0x0099, 0, 0x33}, {0, STRATA_MSG_REPORT, 0x0099, -1, 0},
    };
    raiseState(1);
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "state " << (int)c.state << " type " << c.type << " opcode " << c.opcode);
        strataSetCommState(c.state);
        size_t from = peer.received().size();
        EXPECT_EQ(strata_sendmsg(c.type, 0x33, c.opcode, nullptr, 0), c.result);
        auto got = untilMarkers(from);
        if (c.result != 0) {
            EXPECT_TRUE(got.empty());
            continue;
        }
        ASSERT_GE(got.size(), 1u);
        EXPECT_EQ(got[0].opcode, c.opcode);
        EXPECT_EQ(got[0].destination, c.destination);
    }
}

TEST_F(StrataLink, SendingOnAClosedPortIsRefused)
{
    strata_close();
    EXPECT_EQ(strata_sendmsg(STRATA_MSG_REPLY, 0x15, 0x0099, nullptr, 0), -1);
    EXPECT_EQ(strata_close(), -1);
}

TEST_F(StrataLink, SecondOpenIsRefused)
{
    EXPECT_EQ(strata_open(&strataLinkConfiguration, strataService.category), -1);
    EXPECT_TRUE(TestLog::instance().contains("strata_open: already opened"));
}

TEST_F(StrataLink, LearnsTheCardIdOnlyFromAValidPacket)
{
    /* a fresh link whose controller has not sent anything yet */
    size_t mark = TestLog::instance().mark();
    strata_close();
    ctrlpeer::CtrlPeer::Options quiet;
    quiet.acknowledge = false;
    ctrlpeer::CtrlPeer silent(quiet);
    std::string silentPath = ptyBelowCardRoot(silent.openPty());
    strataLinkConfiguration.deviceName = silentPath.c_str();
    ASSERT_EQ(strata_open(&strataLinkConfiguration, strataService.category), 0);
    ASSERT_TRUE(silent.waitOpcode(STRATA_OPCODE_DEV_ID, 10000));
    strataLinkConfiguration.restartBudget = 0;
    Bytes bad = ctrlpeer::buildPacket(0x33, 0x15, 0x0010, {});
    bad.back() ^= 0x01;
    silent.sendRaw(bad);
    Packet nack;
    ASSERT_TRUE(silent.waitOpcode(STRATA_OPCODE_NACK, 2000, &nack));
    EXPECT_EQ(nack.raw, (Bytes{0x02, 0x15, 0x00, 0x03, 0x00, 0x01, 0x00, 0x1B}));
    EXPECT_EQ(strataGetCardId(), 0);
    silent.sendMessage(0x0010);
    Packet reply;
    /* behind the unacknowledged DEV_ID's three writes */
    ASSERT_TRUE(silent.waitOpcode(0x0011, 20000, &reply));
    EXPECT_EQ(strataGetCardId(), CARD);
    EXPECT_EQ(reply.source, CARD);
    strata_close();
    flushTxQueue();
    /* the unacknowledged answer's writes end before the next test's link opens */
    const std::string lastWait = "when sending 0x0011 to 0x15, retry count: 3 (max 3)";
    for (int i = 0; i < 2000 && TestLog::instance().since(mark).find(lastWait) == std::string::npos; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_NE(TestLog::instance().since(mark).find(lastWait), std::string::npos);
}

TEST_F(StrataLink, ChecksumErrorsRestartTheSerialLinkThenAreNackedWithZero)
{
    raiseState(3);
    strataLinkConfiguration.restartBudget = 1;
    Bytes bad = ctrlpeer::buildPacket(CARD, 0x15, 0x0010, {});
    bad.back() ^= 0x80;
    size_t from = peer.received().size();
    peer.sendRaw(bad);
    Packet devId;
    ASSERT_TRUE(peer.waitOpcode(STRATA_OPCODE_DEV_ID, 2000, &devId, from));
    EXPECT_EQ(strataGetCommState(), 0);
    EXPECT_EQ(strataLinkConfiguration.restartBudget, 0u);
    EXPECT_EQ(peer.count(STRATA_OPCODE_NACK), 0u);

    from = peer.received().size();
    peer.sendRaw(bad);
    Packet nack;
    ASSERT_TRUE(peer.waitOpcode(STRATA_OPCODE_NACK, 2000, &nack, from));
    EXPECT_EQ(nack.raw, (Bytes{0x02, 0x15, 0x21, 0x03, 0x00, 0x01, 0x00, 0x3C}));
    EXPECT_EQ(untilMarkers(from).size(), 1u);
}

TEST_F(StrataLink, MalformedPacketsAreDroppedAndTheLinkGoesOn)
{
    struct Case {
        const char *name;
        Bytes bytes;
    } cases[] = {
        {"length 0", {0x02, CARD, 0x15, 0x00, 0x00, 0x10, 0x27}},
        {"length 1", {0x02, CARD, 0x15, 0x01, 0x00, 0x10, 0x28}},
        {"length 60", {0x02, CARD, 0x15, 0x3C, 0x00, 0x10, 0x63}},
        {"length 63 with more", {0x02, CARD, 0x15, 0x7F, 0x00, 0x10, 0xA6}},
        {"bad start byte", {0x03, CARD, 0x15, 0x02, 0x00, 0x10, 0x2B}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        size_t from = peer.received().size();
        size_t mark = TestLog::instance().mark();
        peer.sendRaw(c.bytes);
        /* the receiver's last word on a dropped packet, after which it reads afresh */
        for (int i = 0; i < 2000 && TestLog::instance().since(mark).find("strataNoteSerialError: ") == std::string::npos; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_NE(TestLog::instance().since(mark).find("strataNoteSerialError: "), std::string::npos);
        /* nothing answers the dropped packet: the link test's answer is the first thing the card sends */
        EXPECT_TRUE(untilMarkers(from).empty());
        Packet reply;
        ASSERT_TRUE(peer.waitOpcode(0x0011, 2000, &reply, from));
        EXPECT_EQ(reply.data, (Bytes{0xFF, 0x55, 0xAA}));
    }
}

TEST_F(StrataLink, PacketSplitOverTwoWritesIsReassembledWithinTheGap)
{
    Bytes packet = ctrlpeer::buildPacket(CARD, 0x15, 0x0010, {});
    /*
     * The gap is 100 ms of wall time: on a loaded machine either side can be
     * descheduled for longer than that, so a few tries are allowed. A link that
     * does not reassemble fails every one of them.
     */
    bool answered = false;
    for (int attempt = 0; attempt < 3 && !answered; attempt++) {
        size_t from = peer.received().size();
        peer.sendRaw(Bytes(packet.begin(), packet.begin() + 3));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        peer.sendRaw(Bytes(packet.begin() + 3, packet.end()));
        answered = peer.waitOpcode(0x0011, 2000, nullptr, from);
    }
    EXPECT_TRUE(answered);
}

TEST_F(StrataLink, TwoPacketMessageIsAcknowledgedByTheLinkAndExecutedOnce)
{
    Bytes text(100, 'x');
    text[0] = 0x00;
    text[1] = 0x81;
    size_t mark = TestLog::instance().mark();
    size_t from = peer.received().size();
    ASSERT_TRUE(peer.sendMessage(STRATA_OPCODE_SET_MEM_BLOCK, text));
    auto got = untilMarkers(from);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].opcode, STRATA_OPCODE_ACK);
    EXPECT_EQ(got[1].opcode, STRATA_OPCODE_ACK);
    std::string log = TestLog::instance().since(mark);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n') > 0, true);
    size_t whole = log.find("New Mem-Block [size 98]");
    EXPECT_NE(whole, std::string::npos);
    EXPECT_EQ(log.find("New Mem-Block [size 98]", whole + 1), std::string::npos);
    EXPECT_EQ(log.find("New Mem-Block [size 55]"), std::string::npos);
}

TEST_F(StrataLink, MultiPacketMemBlockOfAnotherCardTypeIsNackedFive)
{
    Bytes text(80, 'x');
    text[0] = 0x00;
    text[1] = 0x82;
    size_t from = peer.received().size();
    peer.sendMessage(STRATA_OPCODE_SET_MEM_BLOCK, text);
    auto got = untilMarkers(from);
    ASSERT_GE(got.size(), 1u);
    EXPECT_EQ(got[0].opcode, STRATA_OPCODE_NACK);
    EXPECT_EQ(got[0].data, Bytes{STRATA_NACK_WRONG_CARD});
}

TEST_F(StrataLink, ReassemblesUpTo4090DataBytesAndNacksElevenBeyond)
{
    struct Case {
        uint32_t length;
        bool executed;
    } cases[] = {{4090, true}, {4091, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.length);
        Bytes text(c.length, 'a');
        text[0] = 0x00;
        text[1] = 0x81;
        size_t mark = TestLog::instance().mark();
        size_t from = peer.received().size();
        peer.sendMessage(STRATA_OPCODE_SET_MEM_BLOCK, text);
        auto got = untilMarkers(from);
        size_t nack11 = std::count_if(got.begin(), got.end(), [](const Packet &p) {
            return p.opcode == STRATA_OPCODE_NACK && p.data == Bytes{STRATA_NACK_OVERFLOW};
        });
        std::string expected = "New Mem-Block [size " + std::to_string(c.length - 2) + "]";
        EXPECT_EQ(TestLog::instance().since(mark).find(expected) != std::string::npos, c.executed);
        EXPECT_EQ(nack11, c.executed ? 0u : 1u);
    }
}

TEST_F(StrataLink, SilentPeerGetsThreeWritesAboutOneAckWaitApart)
{
    raiseState(3);
    peer.setAcknowledge(false);
    size_t from = peer.received().size();
    auto start = Clock::now();
    ASSERT_EQ(strata_sendmsg(STRATA_MSG_REPLY, 0x15, 0x0321, nullptr, 0), 0);
    /* Each write is seen no earlier than it is made: the k-th (from 0) after k ack waits at least. */
    std::vector<long> at;
    for (size_t i = 0; i < 3; i++) {
        ASSERT_TRUE(peer.waitFor(
            [&](const Packet &p) { return p.opcode == 0x0321; }, 10000, nullptr,
            [&] {
                std::vector<Packet> all = peer.received();
                size_t seen = 0, next = from;
                while (next < all.size() && seen < i)
                    seen += all[next++].opcode == 0x0321;
                return next;
            }()));
        at.push_back(msSince(start));
    }
    EXPECT_GE(at[1], (long)strataTiming.ackWaitMs);
    EXPECT_GE(at[2], 2 * (long)strataTiming.ackWaitMs);
    /* The give-up line comes after the last wait: no fourth write before or after it. */
    for (int i = 0; i < 1000 && !TestLog::instance().contains("retry count: 3 (max 3)"); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(TestLog::instance().contains("retry count: 3 (max 3)"));
    EXPECT_EQ(peer.count(0x0321), 3u);
}

TEST_F(StrataLink, NackBusyRetriesAfterThePauseOtherNacksAtOnce)
{
    // A pause long enough that a loaded machine cannot blur the two cases.
    int savedBusyRetryMs = strataTiming.busyRetryMs;
    strataTiming.busyRetryMs = 2000;
    raiseState(3);
    /*
     * A retry is seen no earlier than it is made, so after a busy NACK it comes
     * at least the pause after the send; after any other NACK well before it.
     */
    struct Case {
        uint8_t error;
        long minRetryMs;
        long maxRetryMs;
    } cases[] = {{STRATA_NACK_BUSY, 2000, 8000}, {STRATA_NACK_INVALID, 0, 1200}};
    for (const Case &c : cases) {
        SCOPED_TRACE((int)c.error);
        peer.nackNext(1, c.error);
        size_t from = peer.received().size();
        auto start = Clock::now();
        ASSERT_EQ(strata_sendmsg(STRATA_MSG_REPLY, 0x15, 0x0321, nullptr, 0), 0);
        ASSERT_TRUE(peer.waitOpcode(0x0321, 2000, nullptr, from));
        // The retry may already be in when the first is seen: look past the first one.
        std::vector<Packet> all = peer.received();
        size_t next = from;
        while (all[next].opcode != 0x0321)
            next++;
        ASSERT_TRUE(peer.waitOpcode(0x0321, 10000, nullptr, next + 1));
        long retry = msSince(start);
        EXPECT_GE(retry, c.minRetryMs);
        EXPECT_LE(retry, c.maxRetryMs);
        auto got = untilMarkers(from);
        EXPECT_EQ(std::count_if(got.begin(), got.end(), [](const Packet &p) { return p.opcode == 0x0321; }), 2);
    }
    strataTiming.busyRetryMs = savedBusyRetryMs;
}

TEST_F(StrataLink, SrvSendMessageRefusesOversizedPayloads)
{
    uint8_t payload[101] = {};
    EXPECT_EQ(strataSrvSendMessage(nullptr, STRATA_MSG_REQUEST, 0x15, 0x0321, payload, 101), 0);
    EXPECT_TRUE(TestLog::instance().contains("strata message payload size 101 is too big(max:100)!"));
}

/*
 * Below state 3 queued messages wait. A request may go out at state 2 and a
 * report may not: a send thread that did not wait would send the request at
 * once, and give the report up at once (no time for retries here).
 */
TEST_F(StrataLink, SrvSendMessageWaitsForStateThreeThenSendsTwoPackets)
{
    struct Case {
        const char *name;
        uint32_t type;
        uint32_t destination;
        uint8_t sentTo;
    } cases[] = {
        {"request", STRATA_MSG_REQUEST, STRATA_CONTROLLER_ADDRESS, STRATA_CONTROLLER_ADDRESS},
        {"report", STRATA_MSG_REPORT, 0, STRATA_REPORT_ADDRESS},
    };
    struct GiveUpAtOnce {
        uint32_t saved = strataTiming.sendGiveUpMs;
        GiveUpAtOnce() { strataTiming.sendGiveUpMs = 0; }
        ~GiveUpAtOnce() { strataTiming.sendGiveUpMs = saved; }
    } giveUpAtOnce;
    Bytes payload(100);
    for (size_t i = 0; i < payload.size(); i++)
        payload[i] = (uint8_t)(0xA0 + i);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        raiseState(2);
        pid_t sender = sendThread();
        ASSERT_NE(sender, 0) << "no service thread sleeps between looks at the link state";
        size_t mark = TestLog::instance().mark();
        size_t from = peer.received().size();
        ASSERT_EQ(strataSrvSendMessage(nullptr, c.type, c.destination, 0x0321, payload.data(), 100), 1);
        /* The send thread looked at the link since; what it sent then is before a link test's answer. */
        ASSERT_TRUE(sendThreadLookedAgain(sender)) << "the send thread stopped looking at the link state";
        auto early = untilMarkers(from);
        EXPECT_EQ(std::count_if(early.begin(), early.end(), [](const Packet &p) { return p.opcode == 0x0321; }), 0);
        raiseState(3);
        ASSERT_TRUE(peer.waitFor([](const Packet &p) { return p.opcode == 0x0321 && !p.more; }, 3000, nullptr, from));
        auto got = untilMarkers(from);
        std::vector<Packet> mine;
        std::copy_if(got.begin(), got.end(), std::back_inserter(mine), [](const Packet &p) { return p.opcode == 0x0321; });
        ASSERT_EQ(mine.size(), 2u);
        EXPECT_EQ(mine[0].raw[3], 0x7B);
        EXPECT_EQ(mine[1].raw[3], 0x2D);
        EXPECT_EQ(mine[0].destination, c.sentTo);
        EXPECT_EQ(mine[1].destination, c.sentTo);
        Bytes joined = mine[0].data;
        joined.insert(joined.end(), mine[1].data.begin(), mine[1].data.end());
        EXPECT_EQ(joined, payload);
        EXPECT_EQ(TestLog::instance().since(mark).find("failed to send strata message"), std::string::npos);
    }
}

TEST_F(StrataLink, SrvSendMessageGivesUpAfterItsTimeout)
{
    raiseState(3);
    strata_close();
    strataSetCommState(3);
    size_t mark = TestLog::instance().mark();
    ASSERT_EQ(strataSrvSendMessage(nullptr, STRATA_MSG_REQUEST, 0x15, 0x0322, nullptr, 0), 1);
    std::string log;
    for (int i = 0; i < 500 && log.find("failed to send strata message") == std::string::npos; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        log = TestLog::instance().since(mark);
    }
    EXPECT_NE(log.find("seconds timeout, failed to send strata message: type:2, destination:21, opcode:0x0322"),
              std::string::npos);
    strataSetCommState(0);
}

TEST_F(StrataLink, SrvSendMessagePoolHoldsOneHundred)
{
    raiseState(1);
    uint8_t byte = 7;
    for (int i = 0; i < STRATA_MESSAGE_POOL; i++)
        ASSERT_EQ(strataSrvSendMessage(nullptr, STRATA_MSG_REQUEST, 0x15, 0x0323, &byte, 1), 1) << i;
    EXPECT_EQ(strataSrvSendMessage(nullptr, STRATA_MSG_REQUEST, 0x15, 0x0323, &byte, 1), 0);
    EXPECT_TRUE(TestLog::instance().contains("Big problem! Q full! Dropping strata messages!"));
    raiseState(3);
    for (int i = 0; i < 500 && peer.count(0x0323) < STRATA_MESSAGE_POOL; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(peer.count(0x0323), (size_t)STRATA_MESSAGE_POOL);
    EXPECT_EQ(strataSrvSendMessage(nullptr, STRATA_MSG_REQUEST, 0x15, 0x0323, &byte, 1), 1);
}

TEST_F(StrataLink, TimedQueriesAreAnsweredByThePeer)
{
    raiseState(3);
    uint8_t frameType = 0;
    EXPECT_EQ(strataGetFrameType(&frameType, 2), 0);
    EXPECT_EQ(frameType, 2);
    uint8_t status[8] = {};
    EXPECT_EQ(strataGetFrameStatus(status, 2), 0);
    /* the status word arrives big-endian and is kept in host order */
    EXPECT_EQ(Bytes(status, status + 8), (Bytes{0x03, 0x00, 0x3F, 0x3F, 0x00, 0, 0, 0}));
    uint32_t address = 0;
    EXPECT_EQ(strataGetFrameIpAddress(1, &address, 2), 0);
    EXPECT_EQ(address, 0x0A010015u);
    uint8_t capabilities = 0;
    EXPECT_EQ(strataGetControllerCapabilities(&capabilities, 0), 0);
    uint8_t restore = 0xEE;
    EXPECT_EQ(strataGetRestorePointConfig(&restore, 2), 0);
    EXPECT_EQ(restore, 1);
}

TEST_F(StrataLink, TimedQueryTimesOutWhileTheLinkIsDown)
{
    uint8_t frameType = 0;
    auto start = Clock::now();
    EXPECT_EQ(strataGetFrameType(&frameType, 2), 1);
    EXPECT_EQ(frameType, 0xFF);
    EXPECT_GE(msSince(start), 2 * (long)strataTiming.pollMs);
    EXPECT_EQ(peer.count(STRATA_OPCODE_FRAME_TYPE_REQ), 0u);
}

/*
 * A restart of the serial link sends a break and asks for the device ID again,
 * within its budget; without a device, on a socket, or with the budget spent
 * it does nothing, and with the port closed it says so.
 */
TEST_F(StrataLink, RestartStrataCommWorksOnlyOnAnOpenSerialPortWithinItsBudget)
{
    raiseState(3);
    const struct {
        const char *name;
        uint32_t budget;
        const char *device; /* null: none; empty: the fixture's pseudo-terminal */
        int result;
        const char *logged;
    } cases[] = {
        {"budget spent", 0, "", -1, nullptr},
        {"no device name", 3, nullptr, -1, "restartStrataComm: no device name"},
        {"socket device", 3, "socket", -1, nullptr},
        {"debug socket device", 3, "socketdbg", -1, nullptr},
        {"serial port within the budget", 3, "", 0, "restartStrataComm: using serial. Going to restart the comm."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        strataLinkConfiguration.restartBudget = c.budget;
        strataLinkConfiguration.deviceName = c.device == nullptr ? nullptr : *c.device ? c.device : path.c_str();
        size_t mark = TestLog::instance().mark();
        size_t from = peer.received().size();
        EXPECT_EQ(restartStrataComm(), c.result);
        strataLinkConfiguration.deviceName = path.c_str();
        std::string logged = TestLog::instance().since(mark);
        if (c.logged) {
            EXPECT_NE(logged.find(c.logged), std::string::npos) << logged;
        }
        if (c.result == 0) {
            EXPECT_EQ(strataLinkConfiguration.restartBudget, c.budget - 1);
            EXPECT_TRUE(peer.waitOpcode(STRATA_OPCODE_DEV_ID, 10000, nullptr, from));
        } else {
            EXPECT_EQ(strataLinkConfiguration.restartBudget, c.budget) << "a refused restart spends nothing";
            EXPECT_EQ(logged.find("Going to restart the comm."), std::string::npos) << logged;
        }
    }
    /* With the port closed: refused, said, nothing spent. */
    strata_close();
    strataLinkConfiguration.restartBudget = 3;
    size_t mark = TestLog::instance().mark();
    EXPECT_EQ(restartStrataComm(), -1);
    EXPECT_NE(TestLog::instance().since(mark).find("restartStrataComm: The serial port is not opened!"), std::string::npos);
    EXPECT_EQ(strataLinkConfiguration.restartBudget, 3u);
}

} // namespace
