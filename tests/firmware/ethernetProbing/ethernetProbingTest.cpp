/*
 * Ethernet probing: the driver buffers byte for byte, their decoding into the
 * status blocks and the fifo clients, the checks that refuse broken buffers
 * and packets, and the reader and decoder threads fed through the card root's
 * "/dev/netprobing".
 */

#include "ethernetProbing/ethernetProbing.h"

#include "cardsim/cardsim.h"
#include "deviceManager/deviceManager.h"
#include "fifoServer/fifoServer.h"
#include "interruptController/interruptController.h"
#include "platform/platformPrivate.h"
#include "probing/probing.h"
#include "qvsInterface/qvsInterface.h"
#include "serviceManager/serviceManager.h"

#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <thread>

#include "../../support/LoopbackSocket.h"
#include "../main/EmulatedCard.h"
#include "../main/FirmwareTestSupport.h"

using firmwareTest::TestLog;
typedef std::vector<uint8_t> Bytes;

namespace {

uint8_t sharedMemory[CARD_STATUS_BLOCK_SIZE * CARD_STATUS_BLOCK_COUNT];
log4c_category_t *const category = log4c_category_get("ulm.firmware.ethernetProbingSrvc");

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

size_t countOf(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}

Bytes packet(uint8_t index, uint8_t card, uint8_t input, Bytes ram, Bytes fifo = {}, uint8_t vsync = 4)
{
    cardsimProbePacket_t p;
    p.vsync = vsync;
    p.packetCount = index;
    p.card = card;
    p.input = input;
    p.ram = ram;
    p.fifo = fifo;
    return cardsimEthernetPacket(p);
}

Bytes ramWords(size_t bytes, uint8_t seed)
{
    Bytes b(bytes);
    for (size_t i = 0; i < bytes; i++)
        b[i] = (uint8_t)(seed + i);
    return b;
}

class EthernetProbing : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestLog::instance();
        firmwareTest::startEmulatedCard(root, category, sharedMemory, sizeof sharedMemory);
        initQvsInterface(QVS_MODE_STUB, nullptr);
        shm = (uint8_t *)qvsInterfaceGetSharedMemory(nullptr, nullptr);
        ASSERT_NE(shm, nullptr);
        ethernetProbingResetDecoder();
        platformRecord.rearSlot = 0;
        cardsimClearLogs();
    }
    void TearDown() override
    {
        deviceManagerTerminate(nullptr, 3, 0);
        cardsimStop();
        unsetenv("KVR_ROOT");
    }
    Bytes inputWords(uint32_t card, uint32_t input, size_t bytes)
    {
        const uint8_t *at = shm + 6380 * card + 2176 + 388 * input;
        return Bytes(at, at + bytes);
    }
    TempDir root;
    uint8_t *shm = nullptr;
};

TEST_F(EthernetProbing, PacketsAndBuffersAreLaidOutAsTheDriverDeliversThem)
{
    cardsimProbePacket_t p;
    p.vsync = 0x07;
    p.packetCount = 0x00;
    p.card = 1;
    p.input = 2;
    p.ram = {0x12, 0x34};
    p.fifo = {0x02, 0xAA, 0xBB};
    const uint8_t tc[8] = {9, 2, 8, 5, 7, 3, 3, 2};
    memcpy(p.timecode, tc, 8);
    Bytes bytes = cardsimEthernetPacket(p);
    const Bytes expected = {
        0x01, 0x00, 0x5E, 0x00, 0x00, 0x01, 0x00, 0x1B, 0x44, 0x11, 0x3A, 0xB7, 0x88, 0xB5, /* addresses, type */
        0x00, 0x27,                                                                         /* 34 + 2 + 3 */
        0x07, 0x00, 0x10, 0x00, 0x22, 0x00,                                                 /* vsync, count, v1, probe, card 1 input 2 */
        0x02, 0x00, 0x03, 0x00,                                                             /* RAM 2, FIFO 3, little-endian */
        9, 2, 8, 5, 7, 3, 3, 2,                                                             /* 23:37:58:29 */
        0x12, 0x34, 0x02, 0xAA, 0xBB};
    EXPECT_EQ(bytes, expected);
    Bytes buffer = cardsimEthernetBuffer({bytes});
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 8), (Bytes{0xFE, 0xFE, 0x01, 0x01, 0x00, 0x00, 0x00, 0x27}));
    ethProbingHeader_t h;
    EXPECT_EQ(ethernetProbingCheckHeader(buffer.data(), buffer.size(), &h), 1);
    EXPECT_EQ(h.payloadLength, 39u);
    EXPECT_EQ(h.packetCount, 1);
}

TEST_F(EthernetProbing, RamPartsLandInTheBlockOfTheirCardAndInput)
{
    const struct {
        uint32_t slot;
        uint8_t card, input;
        uint32_t landsIn;
    } cases[] = {
        {0, 1, 2, 1},   /* slots A and B keep the card index sent */
        {1, 4, 8, 4},
        {2, 0, 3, 2},   /* slots C-F file under their own slot */
        {5, 1, 0, 5},
    };
    for (const auto &c : cases) {
        platformRecord.rearSlot = c.slot;
        Bytes ram = ramWords(388, (uint8_t)(c.slot * 16 + c.input));
        uint32_t before = interruptControllerVsyncCount();
        Bytes buffer = cardsimEthernetBuffer({packet(0, c.card, c.input, ram)});
        EXPECT_EQ(ethernetProbingProcessBuffer(buffer.data(), buffer.size()), 1);
        EXPECT_EQ(inputWords(c.landsIn, c.input, 388), ram) << c.slot;
        EXPECT_EQ(interruptControllerVsyncCount(), before + 1);
    }
    /* Nothing beyond the 388 bytes of the input. */
    EXPECT_EQ(inputWords(5, 1, 2), (Bytes{0, 0}));
}

TEST_F(EthernetProbing, CorruptedBuffersAreNotDecodedAndSignalNothing)
{
    Bytes good = packet(0, 0, 0, {0xAB, 0xCD});
    std::vector<Bytes> tooMany(67, packet(0, 0, 0, {}, {}, 4));
    const struct {
        const char *name;
        Bytes buffer;
    } cases[] = {
        {"length one more than payload + 8", cardsimEthernetBuffer({good}, -1)},
        {"length one less", cardsimEthernetBuffer({good}, 1)},
        {"version 2", cardsimEthernetBuffer({good}, 0, 2)},
        {"67 packets", cardsimEthernetBuffer(tooMany)},
        {"bad marker", [&good] { Bytes b = cardsimEthernetBuffer({good}); b[1] = 0xFF; return b; }()},
        {"header cut", Bytes{0xFE, 0xFE, 0x01}},
    };
    for (const auto &c : cases) {
        size_t mark = TestLog::instance().mark();
        uint32_t before = interruptControllerVsyncCount();
        EXPECT_EQ(ethernetProbingProcessBuffer(c.buffer.data(), c.buffer.size()), -1) << c.name;
        EXPECT_EQ(interruptControllerVsyncCount(), before) << c.name;
        EXPECT_NE(TestLog::instance().since(mark).find("ERROR, Corrupted packet!"), std::string::npos) << c.name;
    }
    EXPECT_EQ(inputWords(0, 0, 2), (Bytes{0, 0}));
}

TEST_F(EthernetProbing, RamPartsOf390OrOddBytesAreRejected)
{
    const struct {
        size_t bytes;
        bool written;
    } cases[] = {{390, false}, {3, false}, {387, false}, {388, true}, {2, true}};
    for (const auto &c : cases) {
        memset(shm, 0, 6380);
        size_t mark = TestLog::instance().mark();
        Bytes ram = ramWords(c.bytes, 0x41);
        Bytes buffer = cardsimEthernetBuffer({packet(0, 0, 1, ram)});
        EXPECT_EQ(ethernetProbingProcessBuffer(buffer.data(), buffer.size()), 1) << c.bytes;
        bool rejected = TestLog::instance().since(mark).find("RAM data of this packet is not valid") != std::string::npos;
        EXPECT_EQ(rejected, !c.written) << c.bytes;
        EXPECT_EQ(inputWords(0, 1, 2), c.written ? (Bytes{0x41, 0x42}) : (Bytes{0, 0})) << c.bytes;
    }
}

TEST_F(EthernetProbing, ABadFrameLengthAbandonsTheRestOfTheBuffer)
{
    cardsimProbePacket_t broken;
    broken.packetCount = 1;
    broken.vsync = 4;
    broken.input = 2;
    broken.ram = {0x55, 0x66};
    broken.frameLengthDelta = 2;
    Bytes buffer = cardsimEthernetBuffer(
        {packet(0, 0, 1, {0x11, 0x22}), cardsimEthernetPacket(broken), packet(2, 0, 3, {0x33, 0x44})});
    size_t mark = TestLog::instance().mark();
    EXPECT_EQ(ethernetProbingProcessBuffer(buffer.data(), buffer.size()), 1);
    std::string log = TestLog::instance().since(mark);
    EXPECT_NE(log.find("Error in trying to calculate the next packet"), std::string::npos);
    EXPECT_NE(log.find("We processed 1 out of 3."), std::string::npos);
    EXPECT_EQ(inputWords(0, 1, 2), (Bytes{0x11, 0x22}));
    EXPECT_EQ(inputWords(0, 2, 2), (Bytes{0, 0}));
    EXPECT_EQ(inputWords(0, 3, 2), (Bytes{0, 0}));
}

/* A second packet that cannot be taken ends the buffer: the first stays, the second is never used. */
TEST_F(EthernetProbing, ABadSecondPacketIsRefusedBeforeUse)
{
    /* A packet whose header claims more RAM than the buffer still holds; the header's payload length agrees. */
    Bytes pastTheEnd = packet(1, 0, 2, ramWords(200, 0x10));
    pastTheEnd.resize(pastTheEnd.size() - 150);
    const struct {
        const char *name;
        Bytes second;
        const char *logged;
    } cases[] = {
        {"RAM length past the end of the buffer", pastTheEnd, "We processed 1 out of 2."},
        {"packet count skipping one", packet(2, 0, 2, {0x03, 0x04}), "packetCount(2) != packetCountExpected(1)."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        memset(shm, 0, 6380);
        Bytes buffer = cardsimEthernetBuffer({packet(0, 0, 1, {0x01, 0x02}), c.second});
        size_t mark = TestLog::instance().mark();
        EXPECT_EQ(ethernetProbingProcessBuffer(buffer.data(), buffer.size()), 1);
        EXPECT_NE(TestLog::instance().since(mark).find(c.logged), std::string::npos);
        EXPECT_EQ(inputWords(0, 1, 2), (Bytes{0x01, 0x02}));
        EXPECT_EQ(inputWords(0, 2, 2), (Bytes{0, 0}));
    }
}

TEST_F(EthernetProbing, MajorVersionTwoIsDroppedWithAtMostTenLines)
{
    size_t mark = TestLog::instance().mark();
    for (int i = 0; i < 12; i++) {
        cardsimProbePacket_t v2;
        v2.vsync = (uint8_t)i;
        v2.major = 2;
        v2.input = 5;
        v2.ram = {0x77, 0x88};
        Bytes buffer = cardsimEthernetBuffer({cardsimEthernetPacket(v2), packet(1, 0, 6, {0x99, (uint8_t)i}, {}, (uint8_t)i)});
        EXPECT_EQ(ethernetProbingProcessBuffer(buffer.data(), buffer.size()), 2);
    }
    std::string log = TestLog::instance().since(mark);
    EXPECT_EQ(countOf(log, "Probing Packet version not supported!"), 10u);
    EXPECT_NE(log.find("Log count 10, max 10."), std::string::npos);
    EXPECT_EQ(inputWords(0, 5, 2), (Bytes{0, 0}));
    EXPECT_EQ(inputWords(0, 6, 2), (Bytes{0x99, 11}));
}

TEST_F(EthernetProbing, SdtiAndUnknownPacketTypesAreSkipped)
{
    cardsimProbePacket_t sdti;
    sdti.vsync = 4;
    sdti.type = 1;
    sdti.ram = {0x01, 0x01};
    cardsimProbePacket_t unknown = sdti;
    unknown.packetCount = 1;
    unknown.type = 5;
    Bytes buffer = cardsimEthernetBuffer(
        {cardsimEthernetPacket(sdti), cardsimEthernetPacket(unknown), packet(2, 0, 0, {0x02, 0x02})});
    size_t mark = TestLog::instance().mark();
    EXPECT_EQ(ethernetProbingProcessBuffer(buffer.data(), buffer.size()), 3);
    std::string log = TestLog::instance().since(mark);
    EXPECT_NE(log.find("SDTI packetType 1 not yet supported"), std::string::npos);
    EXPECT_NE(log.find("unknown packetType 5"), std::string::npos);
    EXPECT_EQ(inputWords(0, 0, 2), (Bytes{0x02, 0x02}));
}

TEST_F(EthernetProbing, TheControlWordIsWrittenOnlyWhenItChanges)
{
    platformUpdateControlRegister(0, 0);
    cardsimClearLogs();
    platformUpdateControlRegister(1, 0);
    platformUpdateControlRegister(1, 0);
    std::vector<std::vector<uint8_t>> frames = cardsimSpiFrames(CARDSIM_FSM);
    ASSERT_EQ(frames.size(), 1u);
    /* Write header of word 0x0CB0, then the word 0x2001 big-endian. */
    EXPECT_EQ(frames[0], (Bytes{0x00, 0x00, 0x0C, 0xB0, 0x20, 0x01}));
    platformUpdateControlRegister(3, 0x2A);
    platformUpdateControlRegister(6, 1);
    platformUpdateControlRegister(5, 0);   /* bit 11 already clear: no write */
    platformUpdateControlRegister(9, 0);   /* unknown kind: no change */
    std::vector<cardsimFpgaWrite_t> w = cardsimFpgaWrites(CARDSIM_FSM);
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[1].value, 0x202B);
    EXPECT_EQ(w[2].value, 0x242B);
}

TEST_F(EthernetProbing, SlotsCtoFAdoptTheirOwnCardIndexAndOthersFallBackToA)
{
    const struct {
        uint32_t slot, in, out;
    } cases[] = {{0, 3, 3}, {1, 5, 5}, {2, 0, 2}, {4, 1, 4}, {5, 5, 5}, {6, 3, 0}};
    for (const auto &c : cases) {
        platformRecord.rearSlot = c.slot;
        uint32_t card = c.in;
        platformAdjustEthProbingVideoCardIndex(category, &card);
        EXPECT_EQ(card, c.out) << c.slot;
    }
}

/* The reader and decoder threads through the card root's device, with the fifo server and a fifo client. */
class EthernetProbingThreads : public EthernetProbing {
protected:
    void SetUp() override
    {
        EthernetProbing::SetUp();
        ASSERT_EQ(cardsimInstallStandIns(), 0);
        ASSERT_EQ(cardsimEthernetStart("00:1b:44:11:3a:b7"), 0);
        for (int i = 0; i < FIFO_SERVER_CARDS; i++)
            fifoServerCardPorts.ports[i] = (uint32_t)held[i].port;
        initService(&fifoServerService);
        fifoServerService.state = SERVICE_STATE_RUN;
        fifo = std::thread([] { fifoServerService.threadEntry(&fifoServerService); });
        ethernetProbingSetStartDelayMs(0);
        initService(&ethernetProbingService);
        ethernetProbingService.state = SERVICE_STATE_RUN;
        reader = std::thread([] { ethernetProbingService.threadEntry(&ethernetProbingService); });
    }
    void TearDown() override
    {
        for (serviceDescriptor *s : {&ethernetProbingService, &fifoServerService}) {
            s->state = SERVICE_STATE_TERMINATE;
            s->control(s, SERVICE_STATE_TERMINATE, SERVICE_STATE_RUN);
        }
        reader.join();
        fifo.join();
        cardsimEthernetStop();
        ethernetProbingSetStartDelayMs(5000);
        EthernetProbing::TearDown();
    }
    int fifoClient(uint32_t card)
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in a;
        memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)fifoServerCardPorts.ports[card]);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool connected = waitFor([&] { return connect(fd, (struct sockaddr *)&a, sizeof a) == 0; });
        EXPECT_TRUE(connected);
        EXPECT_TRUE(waitFor([card] { return fifoServerHasClient(card) == 1; }));
        return fd;
    }
    bool send(const Bytes &buffer) { return cardsimEthernetSend(buffer, 20000) == 0; }
    bool vsyncsReach(uint32_t count) { return waitFor([count] { return interruptControllerVsyncCount() >= count; }); }
    // Held bound (not listening) for the whole test: no other test can take these ports.
    loopbackSocket::PortReservation held[FIFO_SERVER_CARDS];
    std::thread fifo, reader;
};

TEST_F(EthernetProbingThreads, StartUpProgramsTheMacAndRunsTheSpeedScript)
{
    uint32_t start = interruptControllerVsyncCount();
    ASSERT_TRUE(send(cardsimEthernetBuffer({packet(0, 0, 0, {0x01, 0x02}, {}, 1)})));
    ASSERT_TRUE(vsyncsReach(start + 1));
    EXPECT_EQ(cardsimFpgaGet(CARDSIM_FSM, 0x0CB1), 0x001B);
    EXPECT_EQ(cardsimFpgaGet(CARDSIM_FSM, 0x0CB2), 0x4411);
    EXPECT_EQ(cardsimFpgaGet(CARDSIM_FSM, 0x0CB3), 0x3AB7);
    std::vector<std::string> calls = cardsimStandInCalls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "ethprobing.sh"), calls.end());
}

TEST_F(EthernetProbingThreads, EachGoodBufferSignalsOneVsyncAndFifoPartsReachTheirClient)
{
    int client1 = fifoClient(1);
    int client3 = fifoClient(3);
    uint32_t start = interruptControllerVsyncCount();
    Bytes fifo1 = {0x02, 0xF1, 0xF2, 0xF3};
    Bytes fifo3 = {0x07, 0x30};
    ASSERT_TRUE(send(cardsimEthernetBuffer({packet(0, 1, 2, {0xAA, 0xBB}, fifo1, 1), packet(1, 3, 7, {}, fifo3, 1)})));
    ASSERT_TRUE(send(cardsimEthernetBuffer({packet(0, 1, 2, {}, {0x02, 0x09}, 2)})));
    ASSERT_TRUE(vsyncsReach(start + 2));
    EXPECT_EQ(loopbackSocket::receive(client1, 6), (Bytes{0x02, 0xF1, 0xF2, 0xF3, 0x02, 0x09}));
    EXPECT_EQ(loopbackSocket::receive(client3, 2), fifo3);
    EXPECT_TRUE(waitFor([this] { return inputWords(1, 2, 2) == Bytes{0xAA, 0xBB}; }));
    /* A FIFO part whose own input number disagrees goes nowhere. */
    ASSERT_TRUE(send(cardsimEthernetBuffer({packet(0, 3, 7, {}, {0x06, 0x31}, 3)})));
    ASSERT_TRUE(send(cardsimEthernetBuffer({packet(0, 3, 7, {}, {0x07, 0x32}, 4)})));
    EXPECT_EQ(loopbackSocket::receive(client3, 2), (Bytes{0x07, 0x32}));
    EXPECT_EQ(interruptControllerVsyncCount(), start + 4);
    close(client1);
    close(client3);
}

TEST_F(EthernetProbingThreads, SlotsCtoFSendNoFifoParts)
{
    platformRecord.rearSlot = 3;
    int client = fifoClient(1);
    uint32_t start = interruptControllerVsyncCount();
    ASSERT_TRUE(send(cardsimEthernetBuffer({packet(0, 1, 2, {0x12, 0x34}, {0x02, 0x01}, 1)})));
    ASSERT_TRUE(vsyncsReach(start + 1));
    EXPECT_TRUE(waitFor([this] { return inputWords(3, 2, 2) == Bytes{0x12, 0x34}; }));
    struct pollfd p = {client, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 200), 0);
    close(client);
}

TEST_F(EthernetProbingThreads, AVsyncGapIsLoggedOnceAndDecodingGoesOn)
{
    uint32_t start = interruptControllerVsyncCount();
    size_t mark = TestLog::instance().mark();
    for (uint8_t vsync : {10, 11, 14, 15, 16})
        ASSERT_TRUE(send(cardsimEthernetBuffer({packet(0, 0, 4, {0x00, vsync}, {}, vsync)})));
    ASSERT_TRUE(vsyncsReach(start + 5));
    std::string log = TestLog::instance().since(mark);
    EXPECT_EQ(countOf(log, "Detected vsync loss!!! vsyncCount 14, vsyncCountExpected 12."), 1u);
    EXPECT_EQ(countOf(log, "Detected vsync loss"), 1u);
    EXPECT_TRUE(waitFor([this] { return inputWords(0, 4, 2) == Bytes{0x00, 16}; }));
}

TEST_F(EthernetProbingThreads, BrokenBuffersGoBackToTheFreeQueue)
{
    uint32_t start = interruptControllerVsyncCount();
    size_t mark = TestLog::instance().mark();
    Bytes good = packet(0, 0, 0, {0x01, 0x02}, {}, 1);
    for (int i = 0; i < 6; i++)
        ASSERT_TRUE(send(cardsimEthernetBuffer({good}, 1)));
    ASSERT_TRUE(send(Bytes(ETH_PROBING_BUFFER_SIZE + 1, 0xFE)));
    ASSERT_TRUE(send(cardsimEthernetBuffer({good})));
    ASSERT_TRUE(vsyncsReach(start + 1));
    std::string log = TestLog::instance().since(mark);
    EXPECT_EQ(countOf(log, "returned us a corrupted packet"), 6u);
    EXPECT_NE(log.find("The driver busted our buffer!!! It returned 102001 bytes"), std::string::npos);
    EXPECT_EQ(interruptControllerVsyncCount(), start + 1);
}

} // namespace
