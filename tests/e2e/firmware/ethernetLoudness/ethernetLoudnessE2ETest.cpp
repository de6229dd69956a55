/*
 * The real kvr-firmware with the card emulator, in private IPC and network
 * namespaces, fed ethernet-probing buffers through the card root's
 * "/dev/netprobing" by this test: the RAM parts reach the shared memory the
 * QVS peer reads (slots A and C), the FIFO parts reach the fifo client of
 * their card index on slot A, broken buffers are logged; the loudness
 * pcodes of the QVS peer program the probe mapping that the debug port reads
 * back, and the results turn valid.
 */

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <thread>

#include "../DaemonTestSupport.h"
#include "../DebugPortClient.h"
#include "cardsim/cardsim.h"

using firmwareTest::readFile;
typedef std::vector<uint8_t> Bytes;

namespace {

constexpr uint16_t FIFO_PORT_BASE = 7001;   /* private network namespace: fixed ports are ours */

size_t countIn(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}

Bytes packet(uint8_t index, uint8_t card, uint8_t input, Bytes ram, Bytes fifo, uint8_t vsync)
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

class EthernetLoudnessE2E : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_NAMESPACES();
        firmwareTest::makeCardRoot(dir, log(), {"root/etc"});
        std::ofstream config(dir / "root/usr/local/q7/firmware/configuration.xml");
        config << "<configuration><version>1.0</version><service>";
        for (const char *service : {"pcodeProcessor", "debuger", "interruptController", "probing", "ethernetProbing",
                                    "loudnessManager", "fifoServer"})
            config << "<name>" << service << "</name><enable>1</enable>";
        /* the ports follow the fifo server's name */
        for (int i = 0; i < 6; i++)
            config << "<port" << (char)('A' + i) << ">" << FIFO_PORT_BASE + i << "</port" << (char)('A' + i) << ">";
        config << "</service></configuration>\n";
        config.close();
        std::ofstream(dir / "root/etc/cardsim.conf") << "slot=" << GetParam() << "\n";
        const uint8_t ulmHeader[32] = {0};
        std::ofstream(dir / "root/usr/local/q7/firmware/ulmheader.dat", std::ios::binary)
            .write((const char *)ulmHeader, sizeof ulmHeader);
        setenv("KVR_ROOT", (dir / "root").c_str(), 1);
        ASSERT_EQ(cardsimEthernetStart("00:1b:44:11:3a:b7"), 0);
        pid = firmwareTest::startEmulatedDaemon(dir);
    }
    void TearDown() override
    {
        firmwareTest::stopDaemon(dir, pid);
        cardsimEthernetStop();
        unsetenv("KVR_ROOT");
    }
    std::string log() { return dir / "firmware.log"; }
    bool waitForLog(const std::string &needle, size_t count = 1, int ms = 20000)
    {
        return firmwareTest::waitForLogIn(log(), needle, count, ms);
    }
    int peer(const std::string &arguments) { return firmwareTest::runQvsPeer(arguments, dir / "peer.out", false); }
    /* Bytes of the shared memory as the QVS peer reads them, as the hex text it prints. */
    std::string shared(uint32_t offset, uint32_t count)
    {
        if (peer("read " + std::to_string(offset) + " " + std::to_string(count)) != 0)
            return "";
        return readFile(dir / "peer.out");
    }
    bool sendBuffer(const Bytes &buffer) { return cardsimEthernetSend(buffer, 20000) == 0; }
    /* The last number logged after `prefix` in `text`; -1 when there is none. */
    static long lastNumberAfter(const std::string &text, const std::string &prefix)
    {
        size_t at = text.rfind(prefix);
        return at == std::string::npos ? -1 : strtol(text.c_str() + at + prefix.size(), nullptr, 10);
    }
    /*
     * Probing rounds per hardware Vsync: the rounds the probing thread logs while the
     * interrupt controller logs `frames` interrupts it handled. Counted by the interrupts
     * handled, not by the hardware's count, which runs on while a loaded machine keeps the
     * controller from its reads. Waits for the interrupts (the limit only ends a hung
     * test); -1 when they did not come.
     */
    double roundsPerFrame(size_t frames, double *roundsPerSecond)
    {
        const std::string interrupt = "Vsync Interrupt detected!!! Read return value = 4, Interrupt count = ";
        const std::string round = "probing srvcRunning VSYNC count : ";
        std::string text = readFile(log());
        const size_t from = text.size();
        const long firstRound = lastNumberAfter(text, round);
        auto started = std::chrono::steady_clock::now();
        auto until = started + std::chrono::seconds(60);
        size_t handled = 0;
        while (handled < frames && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            text = readFile(log());
            handled = text.size() > from ? countIn(text.substr(from), interrupt) : 0;
        }
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (firstRound < 0 || handled < frames)
            return -1;
        long rounds = lastNumberAfter(text, round) - firstRound;
        *roundsPerSecond = rounds / seconds;
        return (double)rounds / (double)handled;
    }
    TempDir dir;
    pid_t pid = -1;
};

TEST_P(EthernetLoudnessE2E, ProbingBuffersReachTheSharedMemoryAndTheFifoClients)
{
    const uint32_t slot = (uint32_t)GetParam();
    int client = -1;
    if (slot < 2) {
        for (int i = 0; i < 200 && client < 0; i++) {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(FIFO_PORT_BASE + 1);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (connect(fd, (sockaddr *)&a, sizeof a) == 0)
                client = fd;
            else {
                close(fd);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
        ASSERT_GE(client, 0) << readFile(log());
        ASSERT_TRUE(waitForLog("Accept connection for fifo index 1")) << readFile(log());
    }
    ASSERT_TRUE(waitForLog("EthProb: ethernetProbingThreadEntry started.")) << readFile(log());
    /* vsyncs 1, 2, then 5: one gap; a corrupted buffer in between */
    const Bytes ram = {0x12, 0x34, 0x56, 0x78};
    const Bytes fifo = {0x02, 0xF0, 0x0D};
    ASSERT_TRUE(sendBuffer(cardsimEthernetBuffer({packet(0, 1, 2, ram, fifo, 1)})));
    ASSERT_TRUE(sendBuffer(cardsimEthernetBuffer({packet(0, 1, 2, ram, {0x02, 0x01}, 2)}, 1)));
    ASSERT_TRUE(sendBuffer(cardsimEthernetBuffer({packet(0, 1, 2, ram, {0x02, 0x02}, 2)})));
    ASSERT_TRUE(sendBuffer(cardsimEthernetBuffer({packet(0, 1, 2, ram, {0x02, 0x05}, 5)})));
    ASSERT_TRUE(waitForLog("RECEIVED PACKET 0! ALL OK (VsyncCount=5)")) << readFile(log());
    std::string logged = readFile(log());
    EXPECT_EQ(countIn(logged, "Detected vsync loss!!! vsyncCount 5, vsyncCountExpected 3."), 1u);
    EXPECT_EQ(countIn(logged, "returned us a corrupted packet"), 1u);
    uint32_t card = slot < 2 ? 1 : slot;
    EXPECT_NE(shared(6380 * card + 2176 + 388 * 2, 4).find("12 34 56 78"), std::string::npos) << readFile(dir / "peer.out");
    /* On this card's own block the probing cycle sees the input's new words and reports the input. */
    if (card == slot) {
        EXPECT_TRUE(waitForLog("videoProbeStatusChanged: [2] initial event will be sent")) << readFile(log());
    }
    if (client >= 0) {
        Bytes expected = {0x02, 0xF0, 0x0D, 0x02, 0x02, 0x02, 0x05};
        Bytes got(expected.size());
        size_t n = 0;
        while (n < got.size()) {
            struct pollfd p = {client, POLLIN, 0};
            if (poll(&p, 1, 20000) <= 0)
                break;
            ssize_t r = recv(client, got.data() + n, got.size() - n, 0);
            if (r <= 0)
                break;
            n += (size_t)r;
        }
        EXPECT_EQ(got, expected);
        close(client);
    } else {
        EXPECT_EQ(countIn(logged, "Starting service fifoServer"), 0u);
    }
}

/*
 * Every good buffer signals a frame to the interrupt controller; once its round is probed the
 * hardware Vsyncs pace the probing cycle again, at the frame rate, as they did before. A
 * cycle left waiting on its one-second bound would make about one round in fifty frames; a
 * loaded machine may let a few frames pass unprobed, and no cycle runs ahead of the frames.
 */
TEST_P(EthernetLoudnessE2E, ProbingKeepsTheFramePaceAfterEthernetProbingBuffers)
{
    ASSERT_TRUE(waitForLog("EthProb: ethernetProbingThreadEntry started.")) << readFile(log());
    ASSERT_TRUE(waitForLog("probing srvcRunning VSYNC count : 20 ")) << readFile(log());
    double perSecond = 0;
    double before = roundsPerFrame(100, &perSecond);
    EXPECT_GT(before, 0.25) << perSecond << " rounds a second before the buffers";
    EXPECT_LE(before, 1.1) << perSecond << " rounds a second before the buffers";
    const Bytes ram = {0x12, 0x34};
    for (uint8_t vsync = 1; vsync <= 5; vsync++)
        ASSERT_TRUE(sendBuffer(cardsimEthernetBuffer({packet(0, 1, 2, ram, {0x02, vsync}, vsync)})));
    ASSERT_TRUE(waitForLog("RECEIVED PACKET 0! ALL OK (VsyncCount=5)")) << readFile(log());
    double after = roundsPerFrame(100, &perSecond);
    EXPECT_GT(after, 0.25) << perSecond << " rounds a second after the buffers";
    EXPECT_LE(after, 1.1) << perSecond << " rounds a second after the buffers";
}

TEST_P(EthernetLoudnessE2E, LoudnessPcodesProgramTheProbesAndResultsTurnValid)
{
    ASSERT_TRUE(waitForLog("Starting service loudnessManager")) << readFile(log());
    /* channel mapping: slot, 4 reserved, input 1, probe 2, L 0, R 1, C -, LFE 3, the rest unused */
    ASSERT_EQ(peer("pcode 10 18 " + std::to_string(GetParam()) + " 0 0 0 0 1 2 0 1 255 3 255 255 255 255"), 0)
        << readFile(dir / "peer.out");
    ASSERT_TRUE(waitForLog("loudnessManagerSetChannelMapping inputVideoNum 1  probeNum 2  leftChannelNum 0")) << readFile(log());
    /* 16 s window refused, 3 s taken */
    ASSERT_EQ(peer("pcode 10 15 0 0 0 0 0 1 2 16 8 1"), 0);
    ASSERT_TRUE(waitForLog("fail to set the short term windows : 16 sec")) << readFile(log());
    /* Register 33 of device 237 reaches two listeners, each for its own instance. */
    ASSERT_EQ(peer("setdevice 255 237 33 1"), 0) << readFile(dir / "peer.out");
    EXPECT_TRUE(waitForLog("loudnessManagerSetSegmentDectectOnDialnormChange Receive dailnorm segment detect on loudness id 33 ."));
    EXPECT_TRUE(waitForLog("loudnessManagerSetSegmentDectectOnChannelModeChange Receive channel mode segment detect on loudness id 1 ."));
    int fd = firmwareTest::connectDebugPort();
    ASSERT_GE(fd, 0);
    std::vector<uint16_t> mapping;
    /* Wait for the registers to change; the limit only ends a hung test. */
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (mapping != std::vector<uint16_t>{0x8010, 0x8011, 0, 0x0013, 0, 0, 0, 0} && std::chrono::steady_clock::now() < until) {
        mapping = firmwareTest::readRegisters(fd, 1, 0x4430, 8);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(mapping, (std::vector<uint16_t>{0x8010, 0x8011, 0, 0x0013, 0, 0, 0, 0}));
    EXPECT_EQ(firmwareTest::readRegisters(fd, 1, 0x6430, 8), mapping);
    EXPECT_EQ(firmwareTest::readRegisters(fd, 1, 0x4680, 1), std::vector<uint16_t>{1});
    /* The Vsyncs pace the blocks: after the first one every instance reads valid. */
    std::vector<uint16_t> validity;
    const std::vector<uint16_t> valid(36, 0x000F);
    until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (validity != valid && std::chrono::steady_clock::now() < until) {
        validity = firmwareTest::readRegisters(fd, 1, 0x2480, 36);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(validity, valid) << readFile(log());
    /* Start-up put this card's discovery record on both bridges: slot, markers, the boot address 10.0.0.2. */
    const uint16_t slot = (uint16_t)GetParam();
    std::vector<uint16_t> bridge0 = firmwareTest::readRegisters(fd, 1, 0x0A00, 15);
    std::vector<uint16_t> bridge2 = firmwareTest::readRegisters(fd, 1, 0x0B00, 15);
    ASSERT_EQ(bridge0.size(), 15u);
    ASSERT_EQ(bridge2.size(), 15u);
    EXPECT_EQ(std::vector<uint16_t>(bridge0.begin(), bridge0.begin() + 5), (std::vector<uint16_t>{1, 1, slot, 0xCAFE, 0xBABE}));
    EXPECT_EQ(bridge0[8], 0);
    EXPECT_EQ(bridge2[8], 2);
    EXPECT_EQ(std::vector<uint16_t>(bridge2.begin() + 12, bridge2.begin() + 14), (std::vector<uint16_t>{0x0A00, 0x0002}));
    close(fd);
}

INSTANTIATE_TEST_SUITE_P(Slots, EthernetLoudnessE2E, ::testing::Values(0, 2),
                         [](const ::testing::TestParamInfo<int> &info) { return info.param == 0 ? "SlotA" : "SlotC"; });

} // namespace
