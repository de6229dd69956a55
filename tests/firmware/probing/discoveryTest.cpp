/*
 * Discovery: this card's VANC record as FSM-FPGA receives it, word for word,
 * its setters, and the processing of the upstream cards' statuses and card
 * information into the discovery table, the layout-sync words and the
 * presence per SDI index.
 */

#include "probing/discovery.h"

#include "cardsim/cardsim.h"
#include "deviceManager/deviceManager.h"
#include "platform/platformPrivate.h"
#include "probing/probing.h"
#include "qvsInterface/qvsInterface.h"

#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <thread>
#include <utility>
#include <vector>

#include "../main/EmulatedCard.h"
#include "../main/FirmwareTestSupport.h"

using firmwareTest::TestLog;

namespace {

typedef std::vector<std::pair<uint32_t, uint16_t>> writes_t;
typedef std::vector<uint8_t> Bytes;
uint8_t sharedMemory[CARD_STATUS_BLOCK_SIZE * CARD_STATUS_BLOCK_COUNT];
log4c_category_t *const category = log4c_category_get("ulm.firmware.probingSrvc");

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

class Discovery : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestLog::instance();
        firmwareTest::startEmulatedCard(root, category, sharedMemory, sizeof sharedMemory);
        ASSERT_EQ(cardsimInstallStandIns(), 0);
        ASSERT_EQ(cardsimFlashWrite({"ipaddr=192.168.1.23"}, 0x1000, 0), 0);
        platformRecord.rearSlot = 3;
        vancMetaDataClearBuffer(category);
        vancMetaDataInterfaceInit(category);
        cardsimClearLogs();
    }
    void TearDown() override
    {
        deviceManagerTerminate(nullptr, 3, 0);
        cardsimStop();
        unsetenv("KVR_ROOT");
    }
    static writes_t writes()
    {
        writes_t out;
        for (const cardsimFpgaWrite_t &w : cardsimFpgaWrites(CARDSIM_FSM))
            out.push_back({w.address, w.value});
        return out;
    }
    static writes_t record(uint32_t base, const std::vector<uint16_t> &words)
    {
        writes_t out;
        for (uint32_t i = 0; i < words.size(); i++)
            out.push_back({base + i, words[i]});
        return out;
    }
    /* The record's 15 words with the changing ones given. */
    static std::vector<uint16_t> words(uint16_t bridge, uint16_t status = 0, uint16_t type = 0, uint16_t sync = 0)
    {
        return {0x0001, 0x0001, 0x0003, 0xCAFE, 0xBABE, 0, 0, platformGetStrataCardId(), bridge, status, 0, type,
                0xC0A8, 0x0117, sync};
    }
    TempDir root;
};

TEST_F(Discovery, TheRecordBytesAreAsTheFpgaInsertsThem)
{
    uint8_t bytes[DISCOVERY_RECORD_SIZE];
    vancMetaDataGetRecord(bytes);
    uint16_t frame = platformGetStrataCardId();
    const Bytes expected = {0x00, 0x01, 0x00, 0x01, 0x00, 0x03, 0xCA, 0xFE, 0xBA, 0xBE, 0x00, 0x00, 0x00, 0x00,
                            (uint8_t)(frame >> 8), (uint8_t)frame, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                            0xC0, 0xA8, 0x01, 0x17, 0x00, 0x00};
    EXPECT_EQ(Bytes(bytes, bytes + sizeof bytes), expected);
}

TEST_F(Discovery, InterfaceInitWritesTheRecordAndArmsInsertionOnBothBridges)
{
    cardsimFpgaSet(CARDSIM_FSM, 0x0920, 0x0100);
    vancMetaDataInterfaceInit(category);
    writes_t expected = record(0x0A00, words(0));
    writes_t setup0 = {{0x0921, 0x0A1E}, {0x0922, 0x0251}, {0x0923, 0x0207}, {0x0924, 0x0201},
                       {0x0925, 0x0001}, {0x0920, 0x0100}};   /* slot D sees upstream cards: bridge 0 stays off */
    expected.insert(expected.end(), setup0.begin(), setup0.end());
    writes_t bridge2 = record(0x0B00, words(2));
    expected.insert(expected.end(), bridge2.begin(), bridge2.end());
    writes_t setup2 = {{0x0931, 0x0A1E}, {0x0932, 0x0251}, {0x0933, 0x0207}, {0x0934, 0x0201},
                       {0x0935, 0x0001}, {0x0930, 0x0001}};
    expected.insert(expected.end(), setup2.begin(), setup2.end());
    EXPECT_EQ(writes(), expected);
    EXPECT_TRUE(TestLog::instance().contains(
        "videoVancCardInfo discoveryInfo cardId logical ID is 0x3 size of vanc data is: 30 Vanc Structure version is 256"));
    /* The first card of the system has no upstream card: bridge 0 inserts too. */
    platformRecord.rearSlot = 0;
    cardsimClearLogs();
    vancMetaDataInterfaceInit(category);
    writes_t w = writes();
    ASSERT_EQ(w.size(), expected.size());
    EXPECT_EQ(w[20], std::make_pair(0x0920u, (uint16_t)0x0101));
}

TEST_F(Discovery, WriteToBothBridgesSetsTheBridgeByteAndReArms)
{
    vancMetaDataWrite(DISCOVERY_BRIDGE_BOTH);
    writes_t expected = record(0x0A00, words(0));
    expected.push_back({0x0925, 1});
    writes_t bridge2 = record(0x0B00, words(2));
    expected.insert(expected.end(), bridge2.begin(), bridge2.end());
    expected.push_back({0x0935, 1});
    EXPECT_EQ(writes(), expected);
    cardsimClearLogs();
    vancMetaDataWrite(1);
    EXPECT_TRUE(writes().empty());
}

TEST_F(Discovery, SettersStoreTheirFieldsAndRewriteBothBridges)
{
    discoveryFrameStatusChanged(0x1234);
    writes_t w = writes();
    ASSERT_EQ(w.size(), 2u * 16u);
    EXPECT_EQ(w[9], std::make_pair(0x0A09u, (uint16_t)0x1234));
    EXPECT_EQ(w[16 + 9], std::make_pair(0x0B09u, (uint16_t)0x1234));
    discoverySetStrataFrameType(7);
    discoveryIPAddressChanged(0xC0A80A05);
    uint8_t bytes[DISCOVERY_RECORD_SIZE];
    vancMetaDataGetRecord(bytes);
    EXPECT_EQ(Bytes(bytes + 10, bytes + 24),
              (Bytes{0xC0, 0xA8, 0x0A, 0x05, (uint8_t)(platformGetStrataCardId() >> 8), (uint8_t)platformGetStrataCardId(),
                     0x00, 0x02, 0x12, 0x34, 0x00, 0x00, 0x07, 0x00}));
}

TEST_F(Discovery, LayoutSyncGoesToTheBridgeOfItsHead)
{
    layoutSyncInfo_t info = {0x1234, 1, 1};
    layoutSyncSetInfo(0, &info);
    writes_t expected = record(0x0A00, words(0, 0, 0, 0x34D2));
    expected.push_back({0x0925, 1});
    EXPECT_EQ(writes(), expected);
    cardsimClearLogs();
    info = {0x0001, 1, 0};
    layoutSyncSetInfo(3, &info);
    expected = record(0x0B00, words(2, 0, 0, 0x0140));
    expected.push_back({0x0935, 1});
    EXPECT_EQ(writes(), expected);
    cardsimClearLogs();
    layoutSyncSetInfo(4, &info);
    EXPECT_TRUE(writes().empty());
}

/* The upstream side: statuses of row 2, card information of rows 3-7. */
class DiscoveryProcessing : public Discovery {
protected:
    void SetUp() override
    {
        Discovery::SetUp();
        memset(probingRawWords.discovery, 0, sizeof probingRawWords.discovery);
        discoveryInit(category, sharedMemory);
        processDiscoveryInfo(category, 1);   /* enables the extraction */
    }
    static void status(uint32_t card, uint16_t value)
    {
        uint8_t *raw = (uint8_t *)&probingRawWords.discovery[card];
        raw[0] = (uint8_t)(value >> 8);
        raw[1] = (uint8_t)value;
    }
    /* What row 3 + card would read: the bytes into its destination. */
    static void readInfo(uint32_t card, const Bytes &info)
    {
        memcpy(discoveryVideoCardInfoActions[card].destination, info.data(), info.size());
    }
    static Bytes entry(uint32_t index)
    {
        const uint8_t *at = sharedMemory + CARD_STATUS_BLOCK_SIZE * 3 + 976 + 26 * index;
        return Bytes(at, at + 26);
    }
    static Bytes info(size_t bytes, uint8_t sdiIndex)
    {
        Bytes b(bytes);
        for (size_t i = 0; i < bytes; i++)
            b[i] = (uint8_t)(0x40 + i);
        b[0] = 0x80;
        b[1] = 0x01;
        b[2] = 0x00;
        b[3] = sdiIndex;
        return b;
    }
};

TEST_F(DiscoveryProcessing, TheFirstCycleEnablesExtractionAndLaterOnesFollowTheStatuses)
{
    EXPECT_TRUE(TestLog::instance().contains("processDiscoveryInfo: Enabling Discovery Extraction from VANC (FPGA FSM)."));
    discoveryInit(category, sharedMemory);
    cardsimClearLogs();
    processDiscoveryInfo(category, 0);
    EXPECT_TRUE(writes().empty());
    processDiscoveryInfo(category, 1);
    EXPECT_EQ(writes(), (writes_t{{0x8E0A, 0x0001}}));
    EXPECT_EQ(discoveryExtractionEnabled, 1u);
    EXPECT_STREQ(discoveryVideoCardInfoActions[2].name, "Discovery: Read VideoCardInfo HEAD A, Vid 2.");
    EXPECT_EQ(discoveryVideoCardInfoActions[2].device, DEVICE_FSM_FPGA);
    EXPECT_EQ(discoveryVideoCardInfoActions[2].priority, 2);
    EXPECT_EQ(discoveryVideoCardInfoActions[2].period, 2u);
}

TEST_F(DiscoveryProcessing, APresentCardIsReadAndItsWordsFillItsEntry)
{
    status(1, 0x8000 | 40);
    processDiscoveryInfo(category, 1);
    const probingAction &row = discoveryVideoCardInfoActions[1];
    EXPECT_EQ(row.address, 0x9080u);
    EXPECT_EQ(row.count, 20u);
    EXPECT_EQ(discoveryVideoCardInfoEnabled[1], 1u);
    EXPECT_EQ(discoveryVideoCardInfoEnabled[0], 0u);
    /* Read flag set this cycle: the entry still gets a zero word, the own record the first empty entry. */
    EXPECT_EQ(entry(1)[0] | entry(1)[1], 0);
    uint8_t own[DISCOVERY_RECORD_SIZE];
    vancMetaDataGetRecord(own);
    EXPECT_EQ(entry(0), Bytes(own, own + 26));

    size_t mark = TestLog::instance().mark();
    readInfo(1, info(40, 4));
    processDiscoveryInfo(category, 1);
    Bytes expected = info(40, 4);
    expected.resize(26);
    EXPECT_EQ(entry(1), expected);
    std::string log = TestLog::instance().since(mark);
    EXPECT_NE(log.find("VidInfo2ShdMem:Wr data to ShdMem, Vid 1, packet Status 0x8028, nbWords 13"), std::string::npos);
    EXPECT_NE(log.find("Discovery: Kvr Card 4 discovered."), std::string::npos);
    EXPECT_EQ(probingDiscoverySdiIndexPresent(4), 1u);
    /* 40 bytes carry no layout-sync word (it sits at bytes 54-55). */
    EXPECT_EQ(log.find("LayoutSync"), std::string::npos);

    mark = TestLog::instance().mark();
    status(1, 0);
    processDiscoveryInfo(category, 1);
    EXPECT_NE(TestLog::instance().since(mark).find("Discovery: Kvr Card 4 lost."), std::string::npos);
    EXPECT_EQ(discoveryVideoCardInfoEnabled[1], 0u);
    EXPECT_EQ(entry(1)[0] | entry(1)[1], 0);
}

TEST_F(DiscoveryProcessing, ShortInformationIsCopiedByHalfItsBytes)
{
    status(0, 0x8000 | 10);
    processDiscoveryInfo(category, 1);
    Bytes short10 = info(10, 2);
    readInfo(0, short10);
    processDiscoveryInfo(category, 1);
    Bytes e = entry(0);
    EXPECT_EQ(Bytes(e.begin(), e.begin() + 10), short10);
    EXPECT_EQ(discoveryVideoCardInfoActions[0].count, 5u);
    /* More than 256 bytes reads the 128 words there are. */
    status(0, 0x8000 | 300);
    processDiscoveryInfo(category, 1);
    EXPECT_EQ(discoveryVideoCardInfoActions[0].count, 128u);
}

TEST_F(DiscoveryProcessing, LayoutSyncWordsOfUpstreamCardsAreFollowed)
{
    status(2, 0x8000 | 56);
    processDiscoveryInfo(category, 1);
    Bytes i = info(56, 1);
    i[54] = 0x34;
    i[55] = 0xD2;
    readInfo(2, i);
    size_t mark = TestLog::instance().mark();
    processDiscoveryInfo(category, 1);
    processDiscoveryInfo(category, 1);
    std::string log = TestLog::instance().since(mark);
    const char *line = "LayoutSync: ChangeDetected head 0, videoCard 2, present 1, layoutnb 4660, started 1, done 1.";
    EXPECT_NE(log.find(line), std::string::npos);
    EXPECT_EQ(log.find(line), log.rfind(line));
    EXPECT_EQ(probingDiscoveryUpstreamLayoutSync(2), 0xD234);
    mark = TestLog::instance().mark();
    status(2, 0);
    processDiscoveryInfo(category, 1);
    EXPECT_NE(TestLog::instance()
                  .since(mark)
                  .find("LayoutSync: ChangeDetected head 0, videoCard 2, present 0, layoutnb 0, started 0, done 0."),
              std::string::npos);
    EXPECT_EQ(probingDiscoveryUpstreamLayoutSync(2), 0);
}

TEST_F(DiscoveryProcessing, AnUnconfiguredHeadIsReportedOnceAndBadIndexesAreRefused)
{
    for (uint32_t k = 0; k < 5; k++)
        status(k, 0xFFFF);
    size_t mark = TestLog::instance().mark();
    processDiscoveryInfo(category, 1);
    processDiscoveryInfo(category, 1);
    std::string log = TestLog::instance().since(mark);
    const char *line = "Discovery: FPGA head 0 not present or not configured. Reporting only once per head.";
    EXPECT_NE(log.find(line), std::string::npos);
    EXPECT_EQ(log.find(line), log.rfind(line));
    for (uint32_t k = 0; k < 5; k++)
        EXPECT_EQ(discoveryVideoCardInfoEnabled[k], 0u);

    status(0, 0x8000 | 26);
    processDiscoveryInfo(category, 1);
    readInfo(0, info(26, 9));
    mark = TestLog::instance().mark();
    processDiscoveryInfo(category, 1);
    EXPECT_NE(TestLog::instance()
                  .since(mark)
                  .find("Error: shardeMem Discovery index 0 has Presence valid but sdiIndex is out of range (9)."),
              std::string::npos);
}

/* The real probing rows 2-7 reading the emulated extraction registers, the cycle end processing them. */
TEST_F(DiscoveryProcessing, TheProbingRowsCarryAnUpstreamCardIntoTheTable)
{
    cardsimFpgaSet(CARDSIM_FSM, 0, 0x1234);
    cardsimFpgaSet(CARDSIM_DPS, 0, 0x5678);
    ASSERT_EQ(probingTargetInit(sharedMemory, category), 0);
    probingResetActions(category);
    Bytes sent = info(40, 5);
    cardsimDiscoverySetUpstream(3, 0x8000 | 40, sent);
    size_t mark = TestLog::instance().mark();
    Bytes expected(sent.begin(), sent.begin() + 26);
    uint32_t count = 0;
    /* The rows travel through the emulated card's link: run vsyncs until they land (the limit only ends a hung test). */
    EXPECT_TRUE(waitFor([&count, &expected] {
        probingRunVsync(++count);
        return entry(3) == expected;
    }));
    EXPECT_EQ(entry(3), expected);
    EXPECT_EQ(discoveryVideoCardInfoActions[3].address, 0x9180u);
    EXPECT_EQ(discoveryVideoCardInfoActions[3].count, 20u);
    EXPECT_TRUE(waitFor([mark] { return TestLog::instance().since(mark).find("Discovery: Kvr Card 5 discovered.") != std::string::npos; }));
}

} // namespace
