/*
 * Runs the real kvr-firmware with the card emulator (-e) on a temporary card
 * root, for several cards, in private IPC and network namespaces, and checks
 * what the platform start-up published in the shared memory, the debug port
 * and the stand-ins it called.
 */

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "../../../support/LoopbackSocket.h"
#include "../../../support/ThreadState.h"
#include "../DaemonTestSupport.h"
#include "qvsPeer.h"
#include "utils/utils.h"

using firmwareTest::readFile;

namespace {

struct CardCase {
    const char *name;
    int rearType, rearRev, cardType, slot, frameType, mainRev, mainPatch;
    const char *servicesLine;
};

class PlatformRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_NAMESPACES();
        firmwareTest::makeCardRoot(dir, log(), {"root/etc"});
        firmwareTest::writeConfiguration(dir, {"pcodeProcessor", "debuger", "ledManager"});
        const uint8_t header[32] = {0};
        std::ofstream(dir / "root/usr/local/q7/firmware/ulmheader.dat", std::ios::binary)
            .write((const char *)header, sizeof header);
    }
    void TearDown() override
    {
        firmwareTest::killDaemon(pid);
        if (peer.transport)
            peer.transport->close(&peer);
        std::string output = readFile(dir / "stdout");
        EXPECT_EQ(output.find("runtime error"), std::string::npos) << output;
        EXPECT_EQ(output.find("AddressSanitizer"), std::string::npos) << output;
    }
    std::string log() { return dir / "firmware.log"; }
    bool waitForLog(const std::string &needle, int milliseconds = 20000)
    {
        return firmwareTest::waitForLogIn(log(), needle, 1, milliseconds);
    }
    void writeCard(const CardCase &c, const std::string &extra = "")
    {
        std::ofstream(dir / "root/etc/cardsim.conf")
            << "rearType=" << c.rearType << "\nrearRev=" << c.rearRev << "\ncardType=" << c.cardType
            << "\nslot=" << c.slot << "\nframeType=" << c.frameType << "\nmainRev=" << c.mainRev
            << "\nmainPatch=" << c.mainPatch << "\n"
            << extra;
    }
    void start()
    {
        pid = firmwareTest::startEmulatedDaemon(dir);
        ASSERT_TRUE(waitForLog("Starting service pcodeProcessor")) << readFile(log());
        ASSERT_EQ(qvsPeerOpenLocal(&peer), 0);
    }
    uint16_t word(uint32_t offset)
    {
        uint8_t bytes[2] = {0xEE, 0xEE};
        peer.transport->readSharedMem(&peer, offset, bytes, 2);
        return (uint16_t)(bytes[0] << 8 | bytes[1]);
    }
    uint32_t block(const CardCase &c) { return 6380u * (uint32_t)c.slot; }

    TempDir dir;
    pid_t pid = -1;
    qvsPeer peer;
};

class PlatformCards : public PlatformRun, public ::testing::WithParamInterface<CardCase> {};

TEST_P(PlatformCards, PublishesTheCardsIdentity)
{
    const CardCase &c = GetParam();
    writeCard(c);
    start();
    std::string logged = readFile(log());
    EXPECT_NE(logged.find("DPS is up and running!"), std::string::npos);
    EXPECT_NE(logged.find("FSM is up and running!"), std::string::npos);
    EXPECT_NE(logged.find("DPS DDR3 BIST PASSED!"), std::string::npos);
    EXPECT_NE(logged.find(c.servicesLine), std::string::npos) << logged;

    uint32_t b = block(c);
    const struct {
        uint32_t offset;
        uint16_t value;
    } words[] = {
        {0, 1}, {4, 1}, {6, 1},
        {16, 18}, {18, 1}, {20, 14404}, {22, 13}, {24, 4}, {26, 11536},
        {28, 0}, {30, 1000}, {32, 0}, {34, 2000},
        {36, (uint16_t)c.cardType}, {38, (uint16_t)c.mainRev}, {40, (uint16_t)c.mainPatch},
        {42, (uint16_t)c.rearType}, {44, (uint16_t)c.rearRev}, {46, (uint16_t)c.frameType},
        {140, 0},
    };
    for (const auto &w : words) {
        SCOPED_TRACE("byte " + std::to_string(w.offset));
        EXPECT_EQ(word(b + w.offset), w.value);
    }
    if (c.slot != 0) {
        EXPECT_EQ(word(0), 0);
        EXPECT_EQ(word(8), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cards, PlatformCards,
    ::testing::Values(
        CardCase{"CardA_Rear0", 0, 1, 2, 0, 2, 1, 3, "Detected Card A will use Hybrid services list of 15 elements."},
        CardCase{"CardB_Rear13", 13, 0, 4, 1, 2, 0, 0, "Detected Card B will use Hybrid services list of 15 elements."},
        CardCase{"CardC_Rear0", 0, 1, 0, 2, 2, 1, 1, "Detected Card C will use Video services list of 14 elements."},
        CardCase{"CardF_Rear12", 12, 0, 2, 5, 2, 2, 5, "Detected Card F will use Video services list of 14 elements."}),
    [](const ::testing::TestParamInfo<CardCase> &info) { return std::string(info.param.name); });

TEST_F(PlatformRun, FpgaWithoutProjectIdTimesOutAndStartUpGoesOn)
{
    CardCase c{"", 0, 1, 2, 0, 2, 1, 0, ""};
    writeCard(c, "dpsProjectId=0x123\n");
    auto before = std::chrono::steady_clock::now();
    start();
    auto took = std::chrono::steady_clock::now() - before;
    std::string logged = readFile(log());
    EXPECT_NE(logged.find("platformInitFpga: Wait for DPS ready timeout expired! Last read value of FPGA Id = 0x1230."),
              std::string::npos)
        << logged;
    EXPECT_EQ(logged.find("DPS is up and running!"), std::string::npos);
    EXPECT_EQ(word(140), 1);
    EXPECT_EQ(word(0), 1);
    EXPECT_LT(took, std::chrono::seconds(15));
}

TEST_F(PlatformRun, RearMismatchBlinksTheFrameLedRed)
{
    /* Rear type 8 is not supported on any card. */
    CardCase c{"", 8, 0, 2, 0, 2, 1, 0, ""};
    writeCard(c);
    start();
    ASSERT_TRUE(waitForLog("Rear hardware type mismatch detected for this Rear hardware ID= 8"));
    EXPECT_TRUE(waitForLog("LED Ctrl: Received Enable Led. Client 1 wants to set LED 3 to color: Red, state: OnBlink."));
}

/* A debug-port client on 127.0.0.1:8989. */
class DebugClient {
public:
    bool connectTo(int port)
    {
        for (int attempt = 0; attempt < 100; attempt++) {
            fd_ = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons((uint16_t)port);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (connect(fd_, (sockaddr *)&address, sizeof address) == 0)
                return true;
            close();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    ~DebugClient() { close(); }
    void close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    void send(const std::vector<uint8_t> &bytes) { ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), (ssize_t)bytes.size()); }
    std::vector<uint8_t> receive(size_t length)
    {
        std::vector<uint8_t> bytes(length);
        size_t got = 0;
        timeval timeout = {5, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        while (got < length) {
            ssize_t n = read(fd_, bytes.data() + got, length - got);
            if (n <= 0)
                break;
            got += (size_t)n;
        }
        bytes.resize(got);
        return bytes;
    }

private:
    int fd_ = -1;
};

std::vector<uint8_t> header(uint8_t command, uint8_t device, uint32_t address, uint8_t size)
{
    std::vector<uint8_t> h = {0x7F, command, device, (uint8_t)(address >> 24), (uint8_t)(address >> 16),
                              (uint8_t)(address >> 8), (uint8_t)address, size};
    uint16_t crc = crc16Ccitt(h.data(), h.size());
    h.push_back((uint8_t)(crc >> 8));
    h.push_back((uint8_t)crc);
    return h;
}

TEST_F(PlatformRun, DebugPortReadsWritesAndInjectsPcodes)
{
    CardCase c{"", 0, 1, 2, 0, 2, 1, 0, ""};
    writeCard(c);
    start();
    DebugClient client;
    ASSERT_TRUE(client.connectTo(8989));

    /* FSM-FPGA version registers: words, big-endian, ACK 0x00. */
    client.send(header(1, 1, 1, 3));
    EXPECT_EQ(client.receive(7), (std::vector<uint8_t>{0x00, 0x00, 0x12, 0x00, 0x01, 0x38, 0x44}));

    /* A wrong check value: one NACK, and the next header is read from the following bytes. */
    std::vector<uint8_t> bad = header(1, 1, 1, 3);
    bad[9] ^= 0xFF;
    client.send(bad);
    EXPECT_EQ(client.receive(1), (std::vector<uint8_t>{0xFF}));

    /* The SFP serial id is byte data marked little-endian: ACK 0x01 and size bytes. */
    client.send(header(1, 15, 0, 3));
    EXPECT_EQ(client.receive(4), (std::vector<uint8_t>{0x01, 0x03, 0x04, 0x07}));

    /* A write to the own status block (memories count bytes), its data sent in two pieces. */
    std::vector<uint8_t> write = header(2, 31, 200, 2);
    client.send(write);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    client.send({0xCA, 0xFE});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    client.send({0xBE, 0xEF});
    EXPECT_EQ(client.receive(1), (std::vector<uint8_t>{0x00}));
    EXPECT_EQ(word(200), 0xCAFE);

    /* A read past the end of the own block is refused and the stream stays in step. */
    client.send(header(1, 31, 6375, 10));
    EXPECT_EQ(client.receive(1), (std::vector<uint8_t>{0xFF}));

    /* Device 18: the data is a pcode for the decoder. */
    client.send(header(2, 18, 0, 3));
    client.send({40, 29, 0, 2, 1, 2});
    EXPECT_EQ(client.receive(1), (std::vector<uint8_t>{0x00}));
    EXPECT_TRUE(waitForLog("pcodeClass=4, pcodeId=29, byteCount 2 dstSlotId 1 length 6")) << readFile(log());

    /* Unknown command. */
    client.send(header(9, 1, 0, 0));
    EXPECT_EQ(client.receive(1), (std::vector<uint8_t>{0xFF}));

    /*
     * One client at a time: a second one is served once the first has gone. The first is
     * answered after the second has connected; then, with every thread of the daemon asleep,
     * the second still waits to be accepted: nothing is about to take it.
     */
    DebugClient second;
    ASSERT_TRUE(second.connectTo(8989));
    second.send(header(1, 3, 1, 1));
    client.send(header(1, 1, 1, 1));
    EXPECT_EQ(client.receive(3), (std::vector<uint8_t>{0x00, 0x00, 0x12}));
    bool waiting = false;
    int backlog = -1;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         !waiting && backlog != 0 && std::chrono::steady_clock::now() < end;) {
        backlog = loopbackSocket::acceptBacklog(8989);
        waiting = backlog == 1 && threadState::processSleeping(pid) && loopbackSocket::acceptBacklog(8989) == 1;
        if (!waiting)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(waiting) << "the second client was taken while the first is served (waiting to be accepted: "
                         << backlog << ")";
    client.close();
    EXPECT_EQ(second.receive(3), (std::vector<uint8_t>{0x00, 0x00, 0x0D}));
}

TEST_F(PlatformRun, LedPcodesBlinkTheFrameLed)
{
    CardCase c{"", 0, 1, 2, 2, 2, 1, 0, ""};
    writeCard(c);
    start();
    /* Enable LED, virtual id 0x85 (the frame LED), blink forever, rate 5, red. */
    std::vector<uint8_t> enable = qvsPeerBuildPcode(10, 4, {6, 0x85, 255, 5, 2, 0, 0, 0});
    auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(peer.transport->sendPcode(&peer, enable.data(), (uint32_t)enable.size()), 0);
    ASSERT_TRUE(waitForLog("LED Ctrl: Received an Enable LED pcode with Virtual id 133 (0x85)."));
    /*
     * GPIO 148 and 81 follow the blink steps, one each 500 ms: (1, 0) and (1, 1) in turn.
     * Only a step drives the lines, and a step never comes sooner than 500 ms after the
     * one before: the first step after the pcode leaves yellow, four more make four
     * changes, so these cannot all have shown before four steps' time has passed since
     * the pcode was sent (a late or missed sample only makes them later).
     */
    std::string line148 = dir / "root/sys/class/gpio/gpio148/value";
    std::string line81 = dir / "root/sys/class/gpio/gpio81/value";
    std::vector<std::string> seen;
    size_t toggles = 0;
    for (auto end = sent + std::chrono::seconds(30); toggles < 4 && std::chrono::steady_clock::now() < end;) {
        std::string both = readFile(line148) + readFile(line81);
        if (seen.empty() || seen.back() != both) {
            toggles += !seen.empty() && ((both == "10" && seen.back() == "11") || (both == "11" && seen.back() == "10"));
            seen.push_back(both);
        }
        if (toggles < 4)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent).count();
    ASSERT_EQ(toggles, 4u) << ::testing::PrintToString(seen);
    EXPECT_GE(took, 4 * 480) << ::testing::PrintToString(seen);
    /* The frame controller hears of the change: red blinking is 3 in bits 3-4. */
    EXPECT_TRUE(waitForLog("opcode 0x0009 length 1 data [18]"));
}

TEST_F(PlatformRun, EachSteadyFrameLedColourDrivesItsOwnLines)
{
    /* A card in slot A: no client of the card's own holds the frame LED, the pcodes' client alone drives it. */
    CardCase c{"", 7, 0, 2, 0, 0, 1, 0, ""};
    writeCard(c);
    start();
    std::string line148 = dir / "root/sys/class/gpio/gpio148/value";
    std::string line81 = dir / "root/sys/class/gpio/gpio81/value";
    auto lines = [&] { return readFile(line148).substr(0, 1) + readFile(line81).substr(0, 1); };
    /* The LED manager drives the frame LED every 500 ms: a change shows within a few steps. */
    auto waitLines = [&](const std::string &wanted) {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (lines() != wanted && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return lines();
    };
    /* At start the frame LED is yellow and on. */
    EXPECT_EQ(waitLines("00"), "00");
    const struct {
        const char *name;
        int colour; /* -1: the disable pcode */
        const char *lines;
    } steps[] = {
        {"green", 1, "01"},        {"red", 2, "10"},   {"yellow", 3, "00"},
        {"off", -1, "11"},         {"green again", 1, "01"}, {"black", 0, "11"},
        {"red again", 2, "10"},    {"red/green", 4, "11"},   {"yellow again", 3, "00"},
        {"green/yellow", 5, "11"},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.name);
        /* The frame LED by its legacy id 3, no blinking. */
        std::vector<uint8_t> pcode = step.colour < 0 ? qvsPeerBuildPcode(10, 5, {6, 3, 0, 0})
                                                     : qvsPeerBuildPcode(10, 4, {6, 3, 0, 5, (uint8_t)step.colour, 0, 0, 0});
        ASSERT_EQ(peer.transport->sendPcode(&peer, pcode.data(), (uint32_t)pcode.size()), 0);
        EXPECT_EQ(waitLines(step.lines), step.lines);
    }
}

TEST_F(PlatformRun, StartUpCallsOnlyTheStandIns)
{
    CardCase c{"", 7, 0, 2, 0, 0, 1, 0, ""};
    writeCard(c);
    start();
    ASSERT_TRUE(waitForLog("No Vlan Mode Detected: Turning RJ45 Leds ON successfully"));
    std::vector<std::string> calls;
    std::ifstream in(dir / "root/var/log/standins.log");
    for (std::string line; std::getline(in, line);)
        calls.push_back(line);
    EXPECT_EQ(calls, (std::vector<std::string>{"qvoutil -V", "qvoutil --enableRJ45Leds on"}));
}

} // namespace
