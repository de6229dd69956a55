/*
 * The output stage of the running daemon (card emulator in rear slot index 0,
 * private IPC and network namespaces): the QVS peer sends a layout, an audio
 * source, set-device pcodes for the probes and the reboot pcode; the
 * registers are read back through the debug port and the emulator's write
 * log the daemon leaves at stop.
 */

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../DaemonTestSupport.h"
#include "../DebugPortClient.h"

using firmwareTest::connectDebugPort;
using firmwareTest::readFile;
using firmwareTest::readRegisters;

namespace {

enum { FSM = 1, DPS = 3 };

class OutputsE2E : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_NAMESPACES();
        firmwareTest::makeCardRoot(dir, log());
        firmwareTest::writeConfiguration(dir, {"pcodeProcessor", "layoutManager", "systemConfigHandler", "debuger"});
    }
    void TearDown() override { firmwareTest::stopDaemon(dir, pid); }
    std::string log() { return dir / "firmware.log"; }
    bool waitForLog(const std::string &needle, int milliseconds = 20000)
    {
        return firmwareTest::waitForLogIn(log(), needle, 1, milliseconds);
    }
    int peer(const std::string &arguments) { return firmwareTest::runQvsPeer(arguments, dir / "peer.out", true); }
    /* Reads one register until it holds `value` (the probe words are written without waiting); its last value. */
    uint16_t awaitRegister(int fd, uint8_t device, uint32_t address, uint16_t value)
    {
        std::vector<uint16_t> words;
        for (int i = 0; i < 100; i++) {
            words = readRegisters(fd, device, address, 1);
            if (words.size() == 1 && words[0] == value)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return words.empty() ? 0xDEAD : words[0];
    }

    TempDir dir;
    pid_t pid = -1;
};

TEST_F(OutputsE2E, LayoutAudioProbeWordsAndRebootReachTheCard)
{
    pid = firmwareTest::startEmulatedDaemon(dir);
    ASSERT_TRUE(waitForLog("Starting service systemConfigHandler")) << readFile(log());
    /* The service's thread announces itself first. */
    ASSERT_TRUE(waitForLog("TARGET_SPECIFIC_MSG! event msg is 0x00000001")) << readFile(log());

    /* Head 0 (slot 4, head 0): 1080i59.94, video and graphics on, anti-flicker 2; the audio of input 3, pair 2. */
    std::string resolution = "pcode 20 2 4 0 0 0x17 0x6a 0x08 0xd7 0xaa 0xa0 0x07 0x80 0x04 0x38 0x08 0x98 0x04 0x65 "
                             "1 0 0 0 0 0 0";
    std::string attributes = "pcode 20 8 4 0 1 0 1";
    for (int i = 3; i < 30; i++)
        attributes += i == 24 ? " 2" : " 0";
    std::string audio = "pcode 10 11 4 0 0 1 3 2 0 0 0 0 0 0";
    ASSERT_EQ(peer(resolution + " " + attributes + " " + audio + " pcode 20 0 4 0 0 0"), 0)
        << readFile(dir / "peer.out");
    ASSERT_TRUE(waitForLog("SDI-OUT: Head 0, Anti flickering value is: 2")) << readFile(log());
    ASSERT_TRUE(waitForLog("This audio is coming from the embedded audio of the video.")) << readFile(log());

    /* Probe words through device 0xEE; register 20 is obsolete, register 57 names an input without a probe. */
    ASSERT_EQ(peer("setdevice 0xFF 0xEE 81 150 setdevice 1 0xEE 50 0x3FF setdevice 1 0xEE 20 1 "
                   "setdevice 1 0xEE 57 1"),
              0);
    /* A black/freeze pcode for channel 9 is refused. */
    std::string blackFreeze = "pcode 10 10 4 9 1";
    for (int i = 0; i < 48; i++)
        blackFreeze += " 0";
    ASSERT_EQ(peer(blackFreeze), 0);
    ASSERT_TRUE(waitForLog("Bad Black freeze pcode videoFormat is: 1 channel is 9 supported videoFormat is: 3 and "
                           "channel is 8."))
        << readFile(log());

    int fd = connectDebugPort();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(awaitRegister(fd, DPS, 0x1062, 0x150), 0x150);
    EXPECT_EQ(awaitRegister(fd, DPS, 0x1160, 0x53FF), 0x53FF);
    /* SDI output of head 0: flywheel, format (1080i 60 Hz on the card's own head: bit 15), colour bars off, merge. */
    std::vector<uint16_t> sdi = readRegisters(fd, FSM, 0x880, 15);
    ASSERT_EQ(sdi.size(), 15u);
    EXPECT_EQ(sdi[0], 0);
    EXPECT_EQ(sdi[1] & 0x81FF, 0x8065);
    EXPECT_EQ(sdi[2], 0);
    EXPECT_EQ(sdi[3], 0x03); /* audio output control: driving */
    EXPECT_EQ(sdi[8], 0x1003);
    EXPECT_EQ(std::vector<uint16_t>(sdi.begin() + 9, sdi.end()),
              std::vector<uint16_t>({160, 68, 0xFFF0, 0xFFFC, 0, 0}));
    EXPECT_EQ(readRegisters(fd, FSM, 0x8D00 + 32, 3), std::vector<uint16_t>({3, 9, 11}));
    /* Graphics mixer of head 0 at 1080. */
    EXPECT_EQ(readRegisters(fd, FSM, 0x1500, 9), std::vector<uint16_t>({0, 1920, 42, 1122, 0, 1920, 41, 1121, 1}));
    close(fd);

    /* The reboot pcode reaches the hal: under the card root it is only recorded. */
    ASSERT_EQ(peer("pcode 30 8 4 1"), 0);
    ASSERT_TRUE(waitForLog("FORCE_CARD_REBOOT received, called for slot 4 action  is 1 WILL REBOOT!!!!!"))
        << readFile(log());
    for (int i = 0; i < 100 && readFile(dir / "root/var/log/hal.log").find("reboot\n") == std::string::npos; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_NE(readFile(dir / "root/var/log/hal.log").find("reboot\n"), std::string::npos);

    std::string logged = readFile(log());
    EXPECT_NE(logged.find("Got BLACK THRESHOLD setDeviceReg Pcode. Ignoring this obsolete pcode."), std::string::npos);
    EXPECT_NE(logged.find("register 57 names video input 9, which has no probe"), std::string::npos);

    /* At stop the emulator leaves its write log: the probe words were written once each, nothing for input 9. */
    kill(pid, SIGINT);
    bool ended = false;
    for (int i = 0; i < 500 && !ended; i++) {
        ended = waitpid(pid, nullptr, WNOHANG) == pid;
        if (!ended)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (ended)
        pid = -1;
    ASSERT_TRUE(ended);
    std::string writes = readFile(dir / "root/var/log/fpga-writes.log");
    EXPECT_NE(writes.find("1 0x1062 0x0150\n"), std::string::npos) << writes.substr(0, 2000);
    EXPECT_NE(writes.find("1 0x1160 0x53ff\n"), std::string::npos);
    EXPECT_EQ(writes.find("1 0x14a0 "), std::string::npos); /* 0x1060 + 128 x 9 */
}

} // namespace

namespace {

/*
 * Bridge-in decoder words at the emulator's FSM-FPGA 0x004C-0x004F (heads A-D: bits 3-8 the
 * format code, bit 9 valid) reach the SDI outputs: after each change of a head's validity the
 * bridge-out flywheel of every head (0x0880 + 0x20 x head) follows its input exactly when the
 * head's word is non-zero.
 */
TEST_F(OutputsE2E, BridgeInDecoderWordsSetTheFlywheelOfTheHeadsWhoseWordIsNonZero)
{
    firmwareTest::writeConfiguration(dir, {"pcodeProcessor", "layoutManager", "interruptController", "probing",
                                           "debuger"});
    pid = firmwareTest::startEmulatedDaemon(dir);
    ASSERT_TRUE(waitForLog("Starting service probing")) << readFile(log());
    int fd = connectDebugPort();
    ASSERT_GE(fd, 0);
    const struct {
        const char *name;
        std::vector<uint16_t> words;
        std::vector<uint16_t> flywheels;
    } cases[] = {
        {"A and C valid (codes 12 and 24)", {0x0260, 0, 0x02C0, 0}, {1, 0, 1, 0}},
        {"B, C and D valid (codes 15, 24, 63)", {0, 0x0278, 0x02C0, 0x03F8}, {0, 1, 1, 1}},
        {"A's word without its valid bit, D valid", {0x0060, 0, 0, 0x03F8}, {1, 0, 0, 1}},
        {"none", {0, 0, 0, 0}, {0, 0, 0, 0}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(firmwareTest::writeRegisters(fd, FSM, 0x004C, c.words));
        std::vector<uint16_t> flywheels;
        /* Wait for the registers to change; the limit only ends a hung test. */
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (flywheels != c.flywheels && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            flywheels.clear();
            for (uint32_t head = 0; head < 4; head++) {
                std::vector<uint16_t> word = readRegisters(fd, FSM, 0x0880 + 0x20 * head, 1);
                flywheels.push_back(word.empty() ? 0xDEAD : word[0]);
            }
        }
        EXPECT_EQ(flywheels, c.flywheels);
    }
    EXPECT_NE(readFile(log()).find("BridgeIn: notifyOthersOfBridgeInChange."), std::string::npos);
    close(fd);
}

} // namespace
