/*
 * A layout sent by the QVS peer to the running daemon (card emulator, private
 * IPC and network namespaces) ends in the FPGA registers of the scaler, the
 * output arbiter, the positioner, the layer table and the update strobe; the
 * registers are read back through the debug port.
 */

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
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

#include "../DaemonTestSupport.h"
#include "../DebugPortClient.h"

using firmwareTest::connectDebugPort;
using firmwareTest::readFile;
using firmwareTest::readRegisters;

namespace {

class ScalerE2E : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_NAMESPACES();
        firmwareTest::makeCardRoot(dir, log());
        firmwareTest::writeConfiguration(dir, {"pcodeProcessor", "layoutManager", "debuger"});
    }
    void TearDown() override { firmwareTest::stopDaemon(dir, pid); }
    std::string log() { return dir / "firmware.log"; }
    void start() { pid = firmwareTest::startEmulatedDaemon(dir); }
    bool waitForLog(const std::string &needle, int milliseconds = 20000)
    {
        return firmwareTest::waitForLogIn(log(), needle, 1, milliseconds);
    }
    int peer(const std::string &arguments) { return firmwareTest::runQvsPeer(arguments, dir / "peer.out", true); }

    TempDir dir;
    pid_t pid = -1;
};

TEST_F(ScalerE2E, LayoutFromQvsEndsInTheScalerRegisters)
{
    start();
    ASSERT_TRUE(waitForLog("Starting service layoutManager")) << readFile(log());
    /*
     * Head 0 (slot 4, head 0): 1080p59.94; window 0 of this card (slot 4) on
     * input 0, 960 x 540 at 100,200; APPLY_LAYOUT with one window. Input 0 has
     * no signal, so the window shows the default 1920 x 1080 progressive input.
     */
    const std::string resolution = "pcode 20 2 4 0 0 0x17 0x6a 0x08 0xd7 0xaa 0xa0 0x07 0x80 0x04 0x38 0x08 0x98 "
                                   "0x04 0x65 2 0 0 0 0 0 0";
    std::string window = "pcode 20 3 4 0 0 4 0 0x03 0xc0 0x02 0x1c 0 100 0 200";
    for (int i = 0; i < 24; i++) /* de-interlace words, crops, sandbox, widget, stereo */
        window += " 0";
    window += " 0x03 0xc0 0x02 0x1c"; /* full size: the same, no spanning */
    for (int i = 0; i < 11; i++) /* input crops and padding to 52 bytes */
        window += " 0";
    ASSERT_EQ(peer(resolution + " " + window + " pcode 20 0 4 0 1 0"), 0) << readFile(dir / "peer.out");
    ASSERT_TRUE(waitForLog("video path processing Succeeded")) << readFile(log());

    int fd = connectDebugPort();
    ASSERT_GE(fd, 0);
    std::vector<uint16_t> block = readRegisters(fd, 3, 6144, 44);
    ASSERT_EQ(block.size(), 44u);
    EXPECT_EQ(block[4], 25);              /* first active line of format 0 */
    EXPECT_EQ(block[5], 1079 + 25);
    EXPECT_EQ(block[8], 1);               /* progressive filter */
    EXPECT_EQ(block[17], 0);              /* scaled: no bypass */
    EXPECT_EQ(block[19], 5);              /* halving: coefficient set 5 */
    EXPECT_EQ(block[21], 4);              /* vertical increment 1.0 = 0x40000 */
    EXPECT_EQ(block[27], 2048 - 1920);    /* bandwidth reserve */
    EXPECT_EQ(block[29], 540);
    EXPECT_EQ(block[36], 4);              /* horizontal increment 1.0 */
    EXPECT_EQ(block[40], 960);
    EXPECT_EQ(readRegisters(fd, 3, 7168, 1), std::vector<uint16_t>({1}));
    /* Positioner of layer window 0, quadrant 0: x 100-1060, lines 242-782, enabled. */
    EXPECT_EQ(readRegisters(fd, 1, 6144, 10),
              std::vector<uint16_t>({100, 1060, 242, 782, 100, 1060, 241, 781, 1, 0}));
    EXPECT_EQ(readRegisters(fd, 1, 5248, 1), std::vector<uint16_t>({512}));
    EXPECT_EQ(readRegisters(fd, 1, 6324, 1), std::vector<uint16_t>({1}));
    close(fd);
}

} // namespace
