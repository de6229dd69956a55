/*
 * The real kvr-firmware with the card emulator (-e, its Vsyncs emulated) on a
 * temporary card root, in private IPC and network namespaces, with the QVS
 * peer and the frame-controller peer, on cards in slots A to F: the probing
 * service starts its target, the health monitor fills the card's block from
 * the emulator's sensors, and on slots C-F a change of an input's status
 * word reaches the connected controller as its answers.
 */

#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/shm.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

#include "../DaemonTestSupport.h"
#include "cardsim/cardsim.h"
#include "ctrlPeer.h"
#include "qvsPeer.h"

using firmwareTest::readFile;

namespace {

constexpr uint16_t DEBUG_SERVER_PORT = 5100;
constexpr uint16_t COMM_STATE = 0x000C, DEV_ID = 0x0013, ACK = 0;
constexpr const char *CYCLE_END = "All Spi Access Done CALLBACK FUNCTION!!!";
/* What the card's message queue logs of a 0x6002 answer put in it. */
constexpr const char *QUEUED_6002 = "opcode:0x6002, size:";
constexpr uint32_t BLOCK_SIZE = 6380, INPUT_BASE = 2176, INPUT_STRIDE = 388;

class ProbingRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_NAMESPACES();
        firmwareTest::makeCardRoot(dir, log(), {"root/etc"});
        const uint8_t header[32] = {0};
        std::ofstream(dir / "root/usr/local/q7/firmware/ulmheader.dat", std::ios::binary)
            .write((const char *)header, sizeof header);
    }
    void TearDown() override
    {
        firmwareTest::killDaemon(pid);
        if (peer.transport)
            peer.transport->close(&peer);
        peer = qvsPeer();
    }
    std::string log() { return dir / "firmware.log"; }
    bool waitForLog(const std::string &needle, int milliseconds = 20000, size_t count = 1)
    {
        return firmwareTest::waitForLogIn(log(), needle, count, milliseconds);
    }
    void start(uint32_t slot)
    {
        std::ofstream(dir / "root/etc/cardsim.conf") << "slot=" << slot << "\ncardType=2\n";
        firmwareTest::writeConfiguration(dir, {"pcodeProcessor", "probing", "strata"});
        pid = firmwareTest::startEmulatedDaemonOnNetwork(dir);
        ASSERT_TRUE(waitForLog("Starting service pcodeProcessor")) << readFile(log());
        ASSERT_EQ(qvsPeerOpenLocal(&peer), 0);
    }
    void connectController(ctrlpeer::CtrlPeer &controller)
    {
        ASSERT_TRUE(waitForLog("using socket in debug mode")) << readFile(log());
        ASSERT_TRUE(controller.connectTcp(DEBUG_SERVER_PORT, 5000));
        ASSERT_TRUE(controller.waitOpcode(DEV_ID, 5000));
        size_t from = controller.received().size();
        controller.sendMessage(COMM_STATE, {3});
        ASSERT_TRUE(controller.waitOpcode(ACK, 5000, nullptr, from));
    }
    /* A big-endian word of the card's block, as QVS sees it. */
    uint16_t blockWord(uint32_t slot, uint32_t offset)
    {
        uint8_t b[2] = {0xEE, 0xEE};
        peer.transport->readSharedMem(&peer, BLOCK_SIZE * slot + offset, b, 2);
        return (uint16_t)(b[0] << 8 | b[1]);
    }
    TempDir dir;
    pid_t pid = -1;
    qvsPeer peer;
};

TEST_F(ProbingRun, EverySlotProbesItsHealthAndSlotsCToFAnswerInputChangesToTheController)
{
    for (uint32_t slot = 0; slot < 6; slot++) {
        SCOPED_TRACE("slot " + std::to_string(slot));
        TearDown();
        SetUp();
        start(slot);
        ASSERT_TRUE(waitForLog("kvrHealthMonProbingTargetPreThreadStart This card index: " + std::to_string(slot) +
                               "!"))
            << readFile(log());
        /* The first Vsyncs read the 5 V rail and both FPGAs' system monitors of the emulator. */
        ASSERT_TRUE(waitForLog("VoltagePowerCurrent index 0 readValue 619 (0x026b)")) << readFile(log());
        ASSERT_TRUE(waitForLog("FPGA FSM Temperature ")) << readFile(log());
        /* The block may be written after the log line: wait for its words (the limit only ends a hung test). */
        auto filled = [&] {
            return blockWord(slot, 56) == 499 && blockWord(slot, 112) == 447 && blockWord(slot, 82) == 111 &&
                   blockWord(slot, 86) == 105 && (blockWord(slot, 1186) & 1) == 1;
        };
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!filled() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(blockWord(slot, 56), 499);
        EXPECT_EQ(blockWord(slot, 112), 447);
        EXPECT_EQ(blockWord(slot, 82), 111);   /* 0.95 V limit after its value at 80 */
        EXPECT_EQ(blockWord(slot, 86), 105);   /* 1.0 V limit after its value at 84 */
        EXPECT_EQ(blockWord(slot, 1186) & 1, 1);

        ctrlpeer::CtrlPeer controller;
        connectController(controller);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        size_t from = controller.received().size();
        /* Input 3 turns valid, written as the ethernet prober writes the probing packets' words. */
        uint8_t *writable = (uint8_t *)shmat(peer.sharedMemoryId, nullptr, 0);
        ASSERT_NE(writable, (uint8_t *)-1) << strerror(errno);
        writable[BLOCK_SIZE * slot + INPUT_BASE + INPUT_STRIDE * 3 + 1] |= 1;
        shmdt(writable);
        if (slot >= 2) {
            ctrlpeer::Packet answer;
            ASSERT_TRUE(controller.waitOpcode(0x6002, 5000, &answer, from)) << readFile(log());
            EXPECT_EQ(answer.data, (std::vector<uint8_t>{3, 0}));
            EXPECT_TRUE(controller.waitOpcode(0x6103, 5000, nullptr, from));
            EXPECT_TRUE(controller.waitOpcode(0x6004, 5000, nullptr, from));
            EXPECT_NE(readFile(log()).find(QUEUED_6002), std::string::npos) << "the queue logs what it takes";
        } else {
            /*
             * The probing thread compares the block at the end of each cycle and queues the
             * answers for the controller there, logging each. The second cycle end logged after
             * the change follows a whole comparison that saw it.
             */
            size_t cycles = firmwareTest::logCount(log(), CYCLE_END);
            ASSERT_TRUE(waitForLog(CYCLE_END, 20000, cycles + 2)) << "the probing cycle stopped";
            std::string text = readFile(log());
            EXPECT_EQ(text.find(QUEUED_6002), std::string::npos) << "slots A and B send no block-change answers";
            for (const ctrlpeer::Packet &p : controller.received())
                EXPECT_NE(p.opcode, 0x6002) << "slots A and B send no block-change answers";
        }
        firmwareTest::stopDaemon(dir, pid);
    }
}

/* The first cycle's line of the probing thread. */
constexpr const char *FIRST_CYCLE = "probing srvcRunning VSYNC count : 0 ";

TEST_F(ProbingRun, TheFirstProbingCycleWaitsTheStartDelayInSeconds)
{
    std::ofstream(dir / "root/etc/cardsim.conf") << "slot=0\ncardType=2\n";
    firmwareTest::writeConfiguration(dir, {"pcodeProcessor", "probing"});
    pid = firmwareTest::startDaemon(dir, {"-e", "-l", dir / "log4c", "-d", "3"});
    ASSERT_TRUE(waitForLog("Starting service probing")) << readFile(log());
    auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitForLog(FIRST_CYCLE, 20000)) << readFile(log());
    auto waited = std::chrono::steady_clock::now() - started;
    /* The service's line is seen at most one poll late: well under half a second. */
    EXPECT_GE(waited, std::chrono::milliseconds(2500)) << "the first cycle came before the delay";
    EXPECT_LT(waited, std::chrono::seconds(15));
    firmwareTest::stopDaemon(dir, pid);
}

TEST_F(ProbingRun, AStopDuringTheStartDelayEndsTheProbingThreadAtOnce)
{
    std::ofstream(dir / "root/etc/cardsim.conf") << "slot=0\ncardType=2\n";
    firmwareTest::writeConfiguration(dir, {"pcodeProcessor", "probing"});
    pid = firmwareTest::startDaemon(dir, {"-e", "-l", dir / "log4c", "-d", "600"});
    ASSERT_TRUE(waitForLog("waiting 600 seconds before the first probing cycle")) << readFile(log());
    kill(pid, SIGINT);
    int status = -1;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (waitpid(pid, &status, WNOHANG) != pid && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(WIFEXITED(status)) << readFile(log());
    pid = -1;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::string text = readFile(log());
    EXPECT_NE(text.find("terminateService probing: terminated"), std::string::npos) << text;
    EXPECT_EQ(text.find("probing: thread did not leave"), std::string::npos) << text;
    EXPECT_EQ(text.find(FIRST_CYCLE), std::string::npos) << "no cycle ran during the delay";
}

/*
 * In server mode the probing cycles notify the QVS link every other Vsync,
 * many times a second. The card's own client is sent every update by the notify itself; a
 * client from another address gets at most one update a second.
 */
TEST_F(ProbingRun, ServerModeNotifiesTheCardsOwnClientAtOnceAndPacesTheOthers)
{
    std::ofstream(dir / "root/etc/cardsim.conf") << "slot=0\ncardType=2\n";
    firmwareTest::writeConfiguration(dir, {"pcodeProcessor", "interruptController", "probing"});
    /* The boot environment gives the card the loopback address. */
    setenv("KVR_ROOT", (dir / "root").c_str(), 1);
    ASSERT_EQ(cardsimInstallStandIns(), 0);
    ASSERT_EQ(cardsimFlashWrite({"ipaddr=127.0.0.1"}, 0x1000, 0), 0);
    unsetenv("KVR_ROOT");
    pid = firmwareTest::startDaemon(dir, {"-e", "-l", dir / "log4c", "-d", "0", "-r", "SERVER"});
    ASSERT_TRUE(waitForLog("Waiting for incoming connections...")) << readFile(log());
    ASSERT_TRUE(waitForLog("Starting service probing")) << readFile(log());

    qvsPeer local, remote;
    auto connected = std::chrono::steady_clock::now();
    ASSERT_EQ(qvsPeerConnectTcp(&remote, "127.0.0.1", 5113, "127.0.0.2", 5000), 0);
    ASSERT_EQ(qvsPeerConnectTcp(&local, "127.0.0.1", 5113, "127.0.0.1", 5000), 0);
    /* Ten updates for the card's own client: paced, they would take nine seconds at least. */
    for (int i = 0; i < 10; i++)
        ASSERT_EQ(local.transport->waitNotify(&local, 5000), 0) << i;
    EXPECT_LT(std::chrono::steady_clock::now() - connected, std::chrono::seconds(8));
    /* Every update of the other client left after it connected, each at least a second after the one before. */
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(remote.transport->waitNotify(&remote, 5000), 0) << i;
    EXPECT_GE(std::chrono::steady_clock::now() - connected, std::chrono::milliseconds(2000));
    local.transport->close(&local);
    remote.transport->close(&remote);
}

} // namespace
