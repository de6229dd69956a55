/*
 * Remote mode: the firmware connects to the QVS peers named in the address
 * file, here peers listening on loopback addresses in private network
 * namespaces (127.0.0.1 is the card's own address).
 */
#include "QvsTcpTestSupport.h"
#include "cardsim/cardsim.h"

#include <cstring>
#include <fstream>
#include <unistd.h>

#include "../main/FirmwareTestSupport.h"

using namespace qvsTcpTest;
using firmwareTest::TestLog;

namespace {

/*
 * Accepted lines: 127.0.0.1 (index 0, local, list 0), 127.0.0.2 (index 1,
 * list 1, with a CR LF end), 127.0.0.3 (index 2, the last list) and 127.0.0.4
 * on a last line without a newline (index 3). Skipped: a line of 17
 * characters with its newline, a line longer than the read buffer, a blank line.
 */
const char *addressFile = "127.0.0.1\n"
                          "127.000.000.0002\n"
                          "127.0.0.2\r\n"
                          "\n"
                          "127.0.0.3\n"
                          "1111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111"
                          "11111111111111111111\n"
                          "127.0.0.4";
const char *addresses[] = {"127.0.0.1", "127.0.0.2", "127.0.0.3", "127.0.0.4"};
enum { PEERS = 4 };

class QvsRemoteTest : public ::testing::Test {
protected:
    static bool started;
    static std::string failed;
    static qvsPeer peers[PEERS];
    static TempDir *dir;

    void SetUp() override
    {
        if (!started && failed.empty()) {
            /* Whatever stops the first start-up fails every test of the suite, not only the first. */
            failed = "the suite's start-up failed in its first test";
            SKIP_WITHOUT_PRIVATE_NAMESPACES();
            TestLog::instance();
            /* The card root lives as long as the link's threads, until the process ends. */
            static TempDir root;
            dir = &root;
            std::ofstream(*dir / "addresses") << addressFile;
            /* The card root's boot environment gives the card the loopback address. */
            setenv("KVR_ROOT", dir->path().c_str(), 1);
            ASSERT_EQ(cardsimInstallStandIns(), 0);
            ASSERT_EQ(cardsimFlashWrite({"ipaddr=127.0.0.1"}, 0x1000, 0), 0);
            ASSERT_UNDER_CARD_ROOT();
            for (int i = 0; i < PEERS; i++)
                ASSERT_EQ(qvsPeerListenTcp(&peers[i], addresses[i], 5113), 0) << addresses[i];
            ASSERT_EQ(initQvsInterface(QVS_MODE_REMOTE, (*dir / "addresses").c_str()), 0);
            ASSERT_NE(qvsInterfaceGetSharedMemory(testLists(), pcodeCallback), nullptr);
            for (int i = 0; i < PEERS; i++) {
                ASSERT_EQ(qvsPeerAcceptTcp(&peers[i], 3000), 0) << addresses[i];
                EXPECT_EQ(peers[i].announcedSize, 12u);
            }
            started = true;
            failed.clear();
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
bool QvsRemoteTest::started = false;
std::string QvsRemoteTest::failed;
qvsPeer QvsRemoteTest::peers[PEERS];
TempDir *QvsRemoteTest::dir = nullptr;

TEST_F(QvsRemoteTest, EveryAcceptedLineIsAPeerWithItsList)
{
    EXPECT_EQ(qvsInterfaceGetSharedMemorySize(), 38280u);
    std::vector<uint8_t> bytes = pattern(3);
    fill(bytes);
    qvsInterfaceNotify();
    /* The card's own address is notified at once with list 0. */
    std::vector<uint8_t> expected = list0Notify(bytes);
    EXPECT_EQ(readRaw(peers[0], expected.size()), expected);
    /* The others through their notify threads, all with list 1. */
    for (int i = 1; i < PEERS; i++) {
        SCOPED_TRACE(addresses[i]);
        std::vector<uint8_t> records = list1Notify(bytes);
        EXPECT_EQ(readRaw(peers[i], records.size(), 4000), records);
    }
}

TEST_F(QvsRemoteTest, SplitPcodesArriveWhole)
{
    size_t before = pcodeCount();
    std::vector<uint8_t> pcode = qvsPeerBuildPcode(10, 1, {9, 8, 7, 6, 5});
    for (size_t at = 0; at < pcode.size(); at += 3) {
        ASSERT_EQ(qvsPeerSendRaw(&peers[2], pcode.data() + at, std::min<size_t>(3, pcode.size() - at)), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(waitForPcodes(before + 1));
    EXPECT_EQ(lastPcode(), pcode);
    std::vector<uint8_t> largest = qvsPeerBuildPcode(1, 2, std::vector<uint8_t>(4092, 0x3C));
    ASSERT_EQ(qvsPeerSendRaw(&peers[1], largest.data(), largest.size()), 0);
    ASSERT_TRUE(waitForPcodes(before + 2));
    EXPECT_EQ(lastPcode(), largest);
}

TEST_F(QvsRemoteTest, AnOversizedPcodeClosesAndTheFirmwareRetriesUntilThePeerListensAgain)
{
    size_t before = pcodeCount();
    /* The peer stops listening, so the firmware's first reconnection fails. */
    close(peers[3].listenSocket);
    peers[3].listenSocket = -1;
    const uint8_t tooLarge[] = {3, 4, 0x0F, 0xFD, 1, 2, 3}; /* 4093 data bytes announced */
    ASSERT_EQ(qvsPeerSendRaw(&peers[3], tooLarge, sizeof tooLarge), 0);
    EXPECT_TRUE(qvsPeerTcpClosed(&peers[3], 3000));
    EXPECT_EQ(pcodeCount(), before);
    auto closed = std::chrono::steady_clock::now();
    for (int i = 0; i < 300 && !TestLog::instance().contains("establishSession failed for remote 127.0.0.4"); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(TestLog::instance().contains("establishSession failed for remote 127.0.0.4"));

    /* The one wait for the firmware's 5-second retry. */
    ASSERT_EQ(qvsPeerListenTcp(&peers[3], "127.0.0.4", 5113), 0);
    ASSERT_EQ(qvsPeerAcceptTcp(&peers[3], 8000), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - closed, std::chrono::seconds(4));
    EXPECT_EQ(peers[3].announcedSize, 12u);
    std::vector<uint8_t> pcode = qvsPeerBuildPcode(7, 7, {1});
    ASSERT_EQ(qvsPeerSendRaw(&peers[3], pcode.data(), pcode.size()), 0);
    ASSERT_TRUE(waitForPcodes(before + 1));
    EXPECT_EQ(lastPcode(), pcode);
}

} // namespace
