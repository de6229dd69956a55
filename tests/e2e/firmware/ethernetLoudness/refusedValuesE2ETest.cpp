/*
 * Values no probe can take, sent to the real kvr-firmware with the card
 * emulator in private IPC and network namespaces: loudness pcodes from the
 * QVS peer (a relative gate of 0 or 255 LU, channel numbers past the 16 of an
 * input), black/freeze zones that start after they stop, luma values wider
 * than their register field, and a time-code check of a card and input that
 * do not exist, from the debug port. Each is refused with its line and
 * programs nothing: the registers keep what the last good value gave them.
 */

#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "../DaemonTestSupport.h"
#include "../DebugPortClient.h"

using firmwareTest::readFile;

namespace {

constexpr uint8_t DEVICE_FSM = 1, DEVICE_DPS = 3, DEVICE_THREAD_CONTROL = 28;

class RefusedValues : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_NAMESPACES();
        firmwareTest::makeCardRoot(dir, log(), {"root/etc"});
        firmwareTest::writeConfiguration(dir, {"pcodeProcessor", "debuger", "loudnessManager", "systemConfigHandler"});
        const uint8_t ulmHeader[32] = {0};
        std::ofstream(dir / "root/usr/local/q7/firmware/ulmheader.dat", std::ios::binary)
            .write((const char *)ulmHeader, sizeof ulmHeader);
        pid = firmwareTest::startEmulatedDaemon(dir);
        ASSERT_TRUE(waitForLog("Starting service systemConfigHandler")) << readFile(log());
        ASSERT_TRUE(waitForLog("Starting service pcodeProcessor")) << readFile(log());
    }
    void TearDown() override { firmwareTest::stopDaemon(dir, pid); }
    std::string log() { return dir / "firmware.log"; }
    bool waitForLog(const std::string &needle, int milliseconds = 20000)
    {
        return firmwareTest::waitForLogIn(log(), needle, 1, milliseconds);
    }
    int peer(const std::string &arguments) { return firmwareTest::runQvsPeer(arguments, dir / "peer.out", false); }
    /* Registers through the debug port, on a connection of their own (the port closes a client silent for 5 s). */
    std::vector<uint16_t> registers(uint8_t device, uint32_t address, uint8_t count)
    {
        int debug = firmwareTest::connectDebugPort();
        std::vector<uint16_t> words = firmwareTest::readRegisters(debug, device, address, count);
        close(debug);
        return words;
    }
    /* Waits until the registers read `expected`; what they read last. The limit only ends a hung test. */
    std::vector<uint16_t> waitRegisters(uint8_t device, uint32_t address, const std::vector<uint16_t> &expected)
    {
        std::vector<uint16_t> got;
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < until) {
            got = registers(device, address, (uint8_t)expected.size());
            if (got == expected)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return got;
    }
    TempDir dir;
    pid_t pid = -1;
};

/* A refused value, the refusal, and the good value sent after it whose registers show nothing else moved. */
struct Refusal {
    const char *name;
    const char *refusedPeer; /* qvspeer arguments of the refused value */
    const char *refused;     /* its line */
    const char *goodPeer;    /* a good value sent afterwards */
    uint8_t device;
    uint32_t address;
    std::vector<uint16_t> registers; /* what the registers hold after the good value */
};

const Refusal refusals[] = {
    {"relative gate 0", "pcode 10 15 0 0 0 0 0 1 2 3 0 1",
     "loudnessManagerSetMeasurementParameters relative gating 0 LU refused (from 1 to 70 LU): nothing changed", nullptr,
     0, 0, {}},
    {"relative gate 255", "pcode 10 15 0 0 0 0 0 1 2 3 255 1",
     "loudnessManagerSetMeasurementParameters relative gating 255 LU refused (from 1 to 70 LU): nothing changed", nullptr,
     0, 0, {}},
    /* Input 1 probe 2 keeps the mapping it had; input 0 probe 0 is mapped after the refusals. */
    {"left channel 16", "pcode 10 18 0 0 0 0 0 1 2 16 1 255 3 255 255 255 255",
     "loudnessManagerSetChannelMapping L channel number 16 refused (0 to 15, or 255 for not used): mapping of input 1 "
     "probe 2 not programmed",
     nullptr, 0, 0, {}},
    {"LFE channel 200", "pcode 10 18 0 0 0 0 0 1 2 0 1 255 200 255 255 255 255",
     "loudnessManagerSetChannelMapping LFE channel number 200 refused (0 to 15, or 255 for not used): mapping of input "
     "1 probe 2 not programmed",
     "pcode 10 18 0 0 0 0 0 0 0 4 5 255 255 255 255 255 255", DEVICE_FSM, 0x4400,
     {0x8004, 0x8005, 0, 0, 0, 0, 0, 0}},
    /* The hit count written after a refused threshold carries the threshold that stands: 343. */
    {"luma threshold 0xFFFFFFFF", "setdevice 255 238 48 0xFFFFFFFF",
     "systemConfigHandlerTeletextPageDetection: LUMA_TOO_HIGH value 4294967295 of video input 0 is above 1023. Ignoring it.",
     "setdevice 255 238 64 3", DEVICE_DPS, 0x1060, {0x3157}},
    {"luma hits 16", "setdevice 255 238 65 16",
     "systemConfigHandlerTeletextPageDetection: LUMA_NUMBER_HITS value 16 of video input 1 is above 15. Ignoring it.",
     "setdevice 255 238 49 200", DEVICE_DPS, 0x10E0, {0x50C8}},
    {"zone 1 starting after it stops",
     "pcode 10 10 4 0 2 0 8 0 100 0 0 0 0 0 100 0 100 0 8 0 100 0 100 0 10 0 50 0 20 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 "
     "0 0 0 0 0 0 0 0",
     "systemConfigHandlerBlackFreeze: Bad Black freeze pcode: zone 1 starts after it stops (pixels 100 to 50, lines 10 to "
     "20). Ignoring it.",
     nullptr, 0, 0, {}},
};

TEST_F(RefusedValues, LoudnessAndProbeValuesOutOfRangeAreRefusedAndProgramNothing)
{
    /* Input 1 probe 2: L 0, R 1, LFE 3. */
    ASSERT_EQ(peer("pcode 10 18 0 0 0 0 0 1 2 0 1 255 3 255 255 255 255"), 0) << readFile(dir / "peer.out");
    const std::vector<uint16_t> mapped = {0x8010, 0x8011, 0, 0x0013, 0, 0, 0, 0};
    ASSERT_EQ(waitRegisters(DEVICE_FSM, 0x4430, mapped), mapped) << readFile(log());

    for (const Refusal &r : refusals) {
        SCOPED_TRACE(r.name);
        ASSERT_EQ(peer(r.refusedPeer), 0) << readFile(dir / "peer.out");
        EXPECT_TRUE(waitForLog(r.refused)) << readFile(log());
        if (!r.goodPeer)
            continue;
        ASSERT_EQ(peer(r.goodPeer), 0) << readFile(dir / "peer.out");
        EXPECT_EQ(waitRegisters(r.device, r.address, r.registers), r.registers) << readFile(log());
    }
    EXPECT_EQ(registers(DEVICE_FSM, 0x4430, 8), mapped) << "input 1 probe 2 untouched";
    EXPECT_EQ(registers(DEVICE_FSM, 0x6430, 8), mapped);
    std::string text = readFile(log());
    EXPECT_EQ(text.find("Storing data for video number 0 video format 2"), std::string::npos) << text;
    EXPECT_EQ(readFile(dir / "stdout").find("ASSERT SetRelativeGating"), std::string::npos);

    /* A time-code check of card 255, input 255 from the debug port: refused, the check stays off. */
    /* A burst write: its size counts the two data bytes, card then input. */
    std::vector<uint8_t> request = {0x7F, 3, DEVICE_THREAD_CONTROL, 0, 0, 0xFF, 0xF8, 2};
    uint16_t crc = crc16Ccitt(request.data(), request.size());
    request.push_back((uint8_t)(crc >> 8));
    request.push_back((uint8_t)crc);
    request.push_back(255);
    request.push_back(255);
    int debug = firmwareTest::connectDebugPort();
    ASSERT_GE(debug, 0);
    ASSERT_EQ(write(debug, request.data(), request.size()), (ssize_t)request.size());
    EXPECT_TRUE(waitForLog("threadControl: Embedded TimeCode Check of Video Card 255, Video Input 255 refused: cards 0 "
                           "to 5, inputs 0 to 8; the check stays off"))
        << readFile(log());
    EXPECT_EQ(readFile(log()).find("Starting Embedded TimeCode Check"), std::string::npos);
    close(debug);
}

} // namespace
