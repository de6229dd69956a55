/*
 * Server mode on TCP 5113 with QVS peers on loopback addresses, in private
 * network namespaces: 127.0.0.1 is the card's own address, other 127.x
 * addresses are remote QVS peers. The server is started once for the suite.
 */
#include "QvsTcpTestSupport.h"
#include "cardsim/cardsim.h"
#include "../../support/TempDir.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <unistd.h>

#include "../main/FirmwareTestSupport.h"

using namespace qvsTcpTest;
using firmwareTest::TestLog;

namespace {

/* A raw client of the server from `source`, the size word not yet read. */
qvsPeer rawClient(const char *source)
{
    qvsPeer peer;
    peer.socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in from = {}, to = {};
    from.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    to.sin_port = htons(5113);
    EXPECT_EQ(bind(peer.socket, (struct sockaddr *)&from, sizeof from), 0);
    EXPECT_EQ(connect(peer.socket, (struct sockaddr *)&to, sizeof to), 0);
    return peer;
}

/* A client of the server from `source` whose size word has been read. */
void connectFrom(qvsPeer &peer, const char *source)
{
    ASSERT_EQ(qvsPeerConnectTcp(&peer, "127.0.0.1", 5113, source, 3000), 0) << source;
    EXPECT_EQ(peer.announcedSize, 12u);
}

/* True when a pcode sent on `peer` reaches the callback: the server still reads that connection. */
bool carriesPcodes(qvsPeer &peer)
{
    static uint8_t id = 0;
    size_t before = pcodeCount();
    std::vector<uint8_t> pcode = qvsPeerBuildPcode(10, ++id, {0x5A});
    return qvsPeerSendRaw(&peer, pcode.data(), pcode.size()) == 0 && waitForPcodes(before + 1) &&
           lastPcode() == pcode;
}

class QvsServerTest : public ::testing::Test {
protected:
    static bool started;
    static std::string failed;
    void SetUp() override
    {
        if (!started && failed.empty()) {
            /* Whatever stops the first start-up fails every test of the suite, not only the first. */
            failed = "the suite's start-up failed in its first test";
            SKIP_WITHOUT_PRIVATE_NAMESPACES();
            TestLog::instance();
            /* A card whose boot environment gives it the loopback address. */
            static TempDir root;
            setenv("KVR_ROOT", root.path().c_str(), 1);
            ASSERT_EQ(cardsimInstallStandIns(), 0);
            ASSERT_EQ(cardsimFlashWrite({"ipaddr=127.0.0.1"}, 0x1000, 0), 0);
            ASSERT_UNDER_CARD_ROOT();
            ASSERT_EQ(initQvsInterface(QVS_MODE_SERVER, "SERVER"), 0);
            ASSERT_NE(qvsInterfaceGetSharedMemory(testLists(), pcodeCallback), nullptr);
            started = true;
            failed.clear();
            /* The manager thread listens shortly after init. */
            for (int i = 0; i < 1000; i++) {
                qvsPeer probe;
                if (qvsPeerConnectTcp(&probe, "127.0.0.1", 5113, "127.0.0.9", 1000) == 0) {
                    probe.transport->close(&probe);
                    break;
                }
                probe.transport->close(&probe);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        if (!started && geteuid() != 0)
            GTEST_SKIP() << firmwareTest::NOT_ROOT_SKIP;
        ASSERT_TRUE(started) << failed;
    }
    void fill(const std::vector<uint8_t> &bytes)
    {
        ASSERT_EQ(qvsInterfaceWriteSharedMem(0, bytes.data(), (uint32_t)bytes.size() / 2), (int)bytes.size() / 2);
    }
};
bool QvsServerTest::started = false;
std::string QvsServerTest::failed;

TEST_F(QvsServerTest, LocalClientGetsTheSizeWordAndListZeroAtOnce)
{
    qvsPeer local = rawClient("127.0.0.1");
    EXPECT_EQ(readRaw(local, 4), (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x0C}));
    std::vector<uint8_t> bytes = pattern(1);
    fill(bytes);
    qvsInterfaceNotify();
    std::vector<uint8_t> expected = list0Notify(bytes);
    EXPECT_EQ(readRaw(local, expected.size()), expected) << TestLog::instance().text();
    /* Literal bytes of the records for the pattern. */
    EXPECT_EQ(std::vector<uint8_t>(expected.begin(), expected.begin() + 12),
              (std::vector<uint8_t>{0, 0, 0, 8, 0, 0, 0, 0, 1, 8, 15, 22}));
    EXPECT_EQ(std::vector<uint8_t>(expected.begin() + 16, expected.begin() + 28),
              (std::vector<uint8_t>{0, 0, 0, 4, 0x80, 0, 1, 0, 113, 120, 127, 134}));
    local.transport = nullptr;
    close(local.socket);
}

TEST_F(QvsServerTest, PcodesAreReassembledAndOversizedOnesCloseTheConnection)
{
    qvsPeer peer;
    connectFrom(peer, "127.0.0.1");
    size_t before = pcodeCount();

    /* Header and data in pieces. */
    std::vector<uint8_t> pcode = qvsPeerBuildPcode(10, 1, {1, 2, 3, 4, 5, 6, 7});
    for (size_t at : {size_t(0), size_t(2), size_t(4), size_t(6)}) {
        size_t end = at == 6 ? pcode.size() : at + 2;
        ASSERT_EQ(qvsPeerSendRaw(&peer, pcode.data() + at, end - at), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(waitForPcodes(before + 1));
    EXPECT_EQ(lastPcode(), pcode);

    std::vector<uint8_t> largest = qvsPeerBuildPcode(3, 4, std::vector<uint8_t>(4092, 0xA5));
    ASSERT_EQ(peer.transport->sendPcode(&peer, largest.data(), (uint32_t)largest.size()), 0);
    ASSERT_TRUE(waitForPcodes(before + 2));
    EXPECT_EQ(lastPcode(), largest);

    const uint8_t tooLarge[] = {3, 4, 0x0F, 0xFD}; /* 4093 data bytes */
    ASSERT_EQ(qvsPeerSendRaw(&peer, tooLarge, sizeof tooLarge), 0);
    EXPECT_TRUE(qvsPeerTcpClosed(&peer, 3000));
    EXPECT_EQ(pcodeCount(), before + 2);
    peer.transport->close(&peer);
}

TEST_F(QvsServerTest, APcodeNeedingMoreThanTwentyReadsClosesTheConnection)
{
    struct Case {
        const char *name;
        size_t dataBytes; /* sent one byte at a time after the header's four */
        bool accepted;
    } cases[] = {{"twenty reads", 16, true}, {"twenty-one reads", 17, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        qvsPeer peer;
        connectFrom(peer, "127.0.0.1");
        size_t before = pcodeCount();
        std::vector<uint8_t> pcode = qvsPeerBuildPcode(5, 6, std::vector<uint8_t>(c.dataBytes, 0x11));
        for (size_t at = 0; at < pcode.size(); at++) {
            size_t mark = TestLog::instance().mark();
            if (qvsPeerSendRaw(&peer, &pcode[at], 1) != 0)
                break;
            /*
             * The server reads each byte on its own: the next one goes only
             * after the server logged the short read of this one (the last
             * byte of the header or the data completes it, and the server
             * never asks for more than the part still missing).
             */
            size_t missing = at < 4 ? 4 - at : pcode.size() - at;
            if (missing == 1)
                continue;
            const std::string shortRead = std::string(at < 4 ? "header" : "data") + " read 1 != expected " +
                                          std::to_string(missing) + " will re-read";
            bool logged = false;
            for (int i = 0; i < 5000 && !(logged = TestLog::instance().since(mark).find(shortRead) != std::string::npos);
                 i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            ASSERT_TRUE(logged) << shortRead;
        }
        if (c.accepted) {
            ASSERT_TRUE(waitForPcodes(before + 1));
            EXPECT_EQ(lastPcode(), pcode);
            /* the connection stays open and its next pcode starts with all twenty reads */
            std::vector<uint8_t> next = qvsPeerBuildPcode(5, 7, {0x22});
            ASSERT_EQ(qvsPeerSendRaw(&peer, next.data(), next.size()), 0);
            EXPECT_TRUE(waitForPcodes(before + 2));
            EXPECT_EQ(lastPcode(), next);
        } else {
            EXPECT_TRUE(qvsPeerTcpClosed(&peer, 3000));
            EXPECT_EQ(pcodeCount(), before);
        }
        peer.transport->close(&peer);
    }
}

TEST_F(QvsServerTest, ConnectionsAreNumberedByAddressAndReplaced)
{
    /* Connections 1 and 2 alternate between non-local clients; a newer client replaces the older one. */
    qvsPeer first, second, third, fourth;
    connectFrom(first, "127.0.0.2");
    connectFrom(second, "127.0.0.3");
    connectFrom(third, "127.0.0.4");
    EXPECT_TRUE(qvsPeerTcpClosed(&first, 3000));
    EXPECT_TRUE(carriesPcodes(second));
    connectFrom(fourth, "127.0.0.5");
    EXPECT_TRUE(qvsPeerTcpClosed(&second, 3000));
    EXPECT_TRUE(carriesPcodes(third));

    /* The card's own address is always connection 0 and replaces its predecessor, leaving 1 and 2 alone. */
    qvsPeer local, newLocal;
    connectFrom(local, "127.0.0.1");
    connectFrom(newLocal, "127.0.0.1");
    EXPECT_TRUE(qvsPeerTcpClosed(&local, 3000));
    EXPECT_TRUE(carriesPcodes(third));
    EXPECT_TRUE(carriesPcodes(fourth));

    /* Both non-local connections send list 1, the local one list 0. */
    std::vector<uint8_t> bytes = pattern(40);
    fill(bytes);
    qvsInterfaceNotify();
    std::vector<uint8_t> expected0 = list0Notify(bytes);
    EXPECT_EQ(readRaw(newLocal, expected0.size()), expected0);
    for (qvsPeer *peer : {&third, &fourth}) {
        ASSERT_EQ(peer->transport->waitNotify(peer, 4000), 0);
        std::vector<uint8_t> mirrored(6);
        ASSERT_EQ(peer->transport->readSharedMem(peer, 0, mirrored.data(), 6), 0);
        EXPECT_EQ(mirrored, std::vector<uint8_t>(bytes.begin() + 100, bytes.begin() + 106));
    }
    for (qvsPeer *peer : {&first, &second, &third, &fourth, &local, &newLocal})
        peer->transport->close(peer);
}

TEST_F(QvsServerTest, NotifiesToARemotePeerAreCoalescedIntoTheLatestContents)
{
    qvsPeer peer;
    connectFrom(peer, "127.0.0.6");
    std::vector<uint8_t> latest;
    for (uint8_t seed : {50, 60, 70}) {
        latest = pattern(seed);
        fill(latest);
        qvsInterfaceNotify();
    }
    /* However the notifies were grouped, the last update carries the latest contents. */
    std::vector<uint8_t> want(latest.begin() + 100, latest.begin() + 106), mirrored(6);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (mirrored != want && std::chrono::steady_clock::now() < until) {
        if (peer.transport->waitNotify(&peer, 3000) != 0)
            break;
        ASSERT_EQ(peer.transport->readSharedMem(&peer, 0, mirrored.data(), 6), 0);
    }
    EXPECT_EQ(mirrored, want);
    peer.transport->close(&peer);
}

/* The bytes on the peer's socket now, without waiting for more. */
std::vector<uint8_t> pending(qvsPeer &peer)
{
    std::vector<uint8_t> bytes(65536);
    ssize_t got = recv(peer.socket, bytes.data(), bytes.size(), MSG_DONTWAIT);
    bytes.resize(got > 0 ? (size_t)got : 0);
    return bytes;
}

/* The server's interface number of the client from `source`, from its log line; -1 when not logged. */
int interfaceOf(const std::string &source)
{
    const std::string line = "client " + source + " using interface ";
    std::string text = TestLog::instance().text();
    size_t at = text.rfind(line);
    return at == std::string::npos ? -1 : atoi(text.c_str() + at + line.size());
}

/*
 * A remote peer's notify thread sends at most one update a second: notifies
 * that come while it pauses after a send are answered together, by one update
 * with the latest contents once the pause is over, and then it waits again.
 */
TEST_F(QvsServerTest, ARemotePeerGetsOneUpdateASecondWithTheLatestContents)
{
    qvsPeer peer;
    connectFrom(peer, "127.0.0.8");
    int index = interfaceOf("127.0.0.8");
    ASSERT_GT(index, 0);
    auto first = std::chrono::steady_clock::now();
    fill(pattern(80));
    qvsInterfaceNotify();
    EXPECT_EQ(readRaw(peer, list1Notify(pattern(80)).size(), 5000), list1Notify(pattern(80)));
    std::vector<uint8_t> latest;
    for (uint8_t seed : {81, 82, 83, 84, 85}) {
        latest = pattern(seed);
        fill(latest);
        qvsInterfaceNotify();
    }
    EXPECT_EQ(readRaw(peer, list1Notify(latest).size(), 5000), list1Notify(latest));
    /* The second update cannot leave before the pause that follows the first send. */
    EXPECT_GE(std::chrono::steady_clock::now() - first, std::chrono::milliseconds(1000));
    /* After its next pause the thread waits for a notify again: nothing else was on its way. */
    size_t mark = TestLog::instance().mark();
    const std::string waiting = "qvsInterfaceTcpNotifyThread_" + std::to_string(index) + ": waiting for signal";
    bool idle = false;
    for (int i = 0; i < 5000 && !(idle = TestLog::instance().since(mark).find(waiting) != std::string::npos); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_TRUE(idle) << waiting;
    EXPECT_TRUE(pending(peer).empty());
    peer.transport->close(&peer);
}

/* The card's own client is sent each update by the notify itself: no pause between them. */
TEST_F(QvsServerTest, TheCardsOwnClientIsNotifiedAtOnceEveryTime)
{
    qvsPeer local;
    connectFrom(local, "127.0.0.1");
    auto start = std::chrono::steady_clock::now();
    for (uint8_t seed = 90; seed < 98; seed++) {
        SCOPED_TRACE(seed);
        std::vector<uint8_t> bytes = pattern(seed);
        fill(bytes);
        qvsInterfaceNotify();
        ASSERT_EQ(readRaw(local, list0Notify(bytes).size(), 3000), list0Notify(bytes));
    }
    /* Paced like a remote peer, the eight would take seven seconds at least. */
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    local.transport->close(&local);
}

TEST_F(QvsServerTest, TheLocalPeersMirrorMatchesTheBufferAfterANotify)
{
    qvsPeer local;
    connectFrom(local, "127.0.0.1");
    fill(pattern(77));
    qvsInterfaceNotify();
    ASSERT_EQ(local.transport->waitNotify(&local, 3000), 0);
    uint8_t buffer[20], relative[8], absolute[4];
    ASSERT_EQ(qvsInterfaceReadSharedMem(0, buffer, 10), 10);
    ASSERT_EQ(local.transport->readSharedMem(&local, 0, relative, 8), 0);
    ASSERT_EQ(local.transport->readSharedMem(&local, 0x100, absolute, 4), 0);
    EXPECT_EQ(memcmp(relative, buffer, 8), 0);
    EXPECT_EQ(memcmp(absolute, buffer + 16, 4), 0);
    local.transport->close(&local);
}

TEST_F(QvsServerTest, WritesAndReadsStayInsideTheBuffer)
{
    EXPECT_EQ(qvsInterfaceGetSharedMemorySize(), 38280u);
    const uint8_t words[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    uint8_t back[4] = {};
    EXPECT_EQ(qvsInterfaceWriteSharedMem(19138, words, 2), 2); /* ends at byte 38,280 */
    EXPECT_EQ(qvsInterfaceReadSharedMem(19138, back, 2), 2);
    EXPECT_EQ(memcmp(back, words, 4), 0);
    EXPECT_EQ(qvsInterfaceWriteSharedMem(19139, words, 2), -1);
    EXPECT_EQ(qvsInterfaceReadSharedMem(19139, back, 2), -1);
    EXPECT_TRUE(TestLog::instance().contains("Can't write to shared mem. Out of range value is: 0x4ac3"));
}

} // namespace
