/*
 * The frame-controller debug server (TCP 5100, USE_NETWORK set) of the real
 * kvr-firmware with the card emulator, in private IPC and network namespaces:
 * a controller that resets its connection with a reply unread, or closes it,
 * costs that connection only; the next controller is served by the same
 * daemon.
 */

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>

#include "../DaemonTestSupport.h"
#include "ctrlPeer.h"

using firmwareTest::readFile;

namespace {

constexpr uint16_t DEBUG_SERVER_PORT = 5100;
constexpr uint16_t COMM_STATE = 0x000C, DEV_ID = 0x0013, MEM_BLOCK_REQUEST = 0x0014, MEM_BLOCK = 0x0015, ACK = 0,
                   LINK_TEST = 0x0010, LINK_TEST_ANSWER = 0x0011,
                   GET_RESTORE_POINT = 0x0120;

size_t countIn(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}

class StrataDebugServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_NAMESPACES();
        firmwareTest::makeCardRoot(dir, log(), {"root/etc"});
        if (!restorePoint.empty())
            std::ofstream(dir / "root/usr/local/q7/firmware/restorepoint.rsp", std::ios::binary) << restorePoint;
        if (withStorage)
            firmwareTest::writeConfiguration(dir, {"pcodeProcessor", "persistentDataStorage", "strata"});
        else
            firmwareTest::writeConfiguration(dir, {"pcodeProcessor", "strata"});
        pid = firmwareTest::startEmulatedDaemonOnNetwork(dir);
        ASSERT_TRUE(firmwareTest::waitForLogIn(log(), "using socket in debug mode", 1, 20000)) << readFile(log());
    }
    void TearDown() override { firmwareTest::stopDaemon(dir, pid); }
    std::string log() { return dir / "firmware.log"; }

    /* Connects, is announced, raises the link to state 3 and asks for the MEM_BLOCK text (and waits for all of it). */
    void exchange(ctrlpeer::CtrlPeer &peer, bool waitForTheText)
    {
        ASSERT_TRUE(peer.connectTcp(DEBUG_SERVER_PORT, 5000));
        ASSERT_TRUE(peer.waitOpcode(DEV_ID, 5000));
        size_t from = peer.received().size();
        peer.sendMessage(COMM_STATE, {3});
        ASSERT_TRUE(peer.waitOpcode(ACK, 5000, nullptr, from));
        from = peer.received().size();
        peer.sendMessage(MEM_BLOCK_REQUEST);
        if (waitForTheText) {
            EXPECT_TRUE(peer.waitFor([](const ctrlpeer::Packet &p) { return p.opcode == MEM_BLOCK && !p.more; }, 20000,
                                     nullptr, from));
            /* the card answers in order: after a link test's answer it has answered everything */
            from = peer.received().size();
            peer.sendMessage(LINK_TEST);
            EXPECT_TRUE(peer.waitOpcode(LINK_TEST_ANSWER, 20000, nullptr, from));
        }
    }

    /* Connects, is announced and raises the link to state 3. */
    void connectController(ctrlpeer::CtrlPeer &peer)
    {
        ASSERT_TRUE(peer.connectTcp(DEBUG_SERVER_PORT, 5000));
        ASSERT_TRUE(peer.waitOpcode(DEV_ID, 5000));
        size_t from = peer.received().size();
        peer.sendMessage(COMM_STATE, {3});
        ASSERT_TRUE(peer.waitOpcode(ACK, 5000, nullptr, from));
    }

    TempDir dir;
    pid_t pid = -1;
    bool withStorage = false;
    std::string restorePoint; /* the card's restore point file, when not empty */
};

/* The same daemon with the persistent storage, which takes the controller's restore point. */
class StrataRestorePoint : public StrataDebugServer {
protected:
    void SetUp() override
    {
        withStorage = true;
        StrataDebugServer::SetUp();
    }
};

TEST_F(StrataDebugServer, ControllerThatResetsMidReplyOrClosesCostsOnlyItsConnection)
{
    /* Mid-reply, the card's writes or its read may be the first to learn of the reset: either line may say it. */
    const std::string lost = "strataLogLostPeer: connection on port 5100 ";
    const std::string next = "; waiting for the next controller";
    const std::string reset = lost + "lost, errno[104] = Connection reset by peer" + next;
    const std::string closed = lost + "closed by the peer" + next;
    struct Case {
        const char *name;
        bool reset;
        bool replyRead;
        const std::string *logged; /* null: either line */
    } cases[] = {
        {"reset mid-reply", true, false, nullptr},
        {"reset with the reply read", true, true, &reset},
        {"orderly close", false, true, &closed},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string before = readFile(log());
        {
            ctrlpeer::CtrlPeer leaving;
            exchange(leaving, c.replyRead);
            if (c.reset)
                leaving.reset();
            else
                leaving.disconnect();
        }
        ASSERT_TRUE(firmwareTest::waitForLogIn(log(), lost, countIn(before, lost) + 1, 5000)) << readFile(log());
        ctrlpeer::CtrlPeer nextController;
        exchange(nextController, true);
        std::string logged = readFile(log());
        std::string added = logged.substr(before.size());
        EXPECT_EQ(countIn(added, lost), 1u) << added;
        /*
         * The card also writes on its own (the controller monitor's queries,
         * its reports): when such a write meets the reset first, its read then
         * finds the connection closed.
         */
        bool ownWriteMetTheReset = added.find("Error when writing to the Port!!! errno[104]") != std::string::npos;
        if (c.logged && !(c.logged == &reset && ownWriteMetTheReset)) {
            EXPECT_EQ(countIn(added, *c.logged), 1u) << added;
        } else {
            EXPECT_EQ(countIn(added, reset) + countIn(added, closed), 1u) << added;
        }
        EXPECT_EQ(logged.find("Aborting"), std::string::npos) << logged;
        size_t losses = countIn(logged, lost);
        nextController.disconnect();
        ASSERT_TRUE(firmwareTest::waitForLogIn(log(), lost, losses + 1, 5000));
    }
}

/* A card with a restore point of 60,000 bytes, which it sends in 1,200 messages when asked for it. */
class StrataLargeRestorePoint : public StrataDebugServer {
protected:
    void SetUp() override
    {
        withStorage = true;
        restorePoint = "version=1.1\nslot=0\n";
        for (int i = 0; restorePoint.size() < 60000; i++)
            restorePoint += "CONTROLLER_KEY_" + std::to_string(i) + "=0123456789abcdef0123456789abcdef\n";
        StrataDebugServer::SetUp();
    }
};

/*
 * A controller asks for the restore point again and again and reads nothing:
 * some 70 answers fill the largest send buffer a connection gets (4 MB), the
 * card's writes wait, its receiver with them (its acknowledgements of the
 * further requests wait too). SIGINT then still stops the daemon, at once and
 * with status 0.
 */
TEST_F(StrataLargeRestorePoint, SigintStopsTheDaemonWhileTheControllerHasStoppedReading)
{
    int fd = ctrlpeer::silentSocket();
    ASSERT_GE(fd, 0);
    struct sockaddr_in server = {};
    server.sin_family = AF_INET;
    server.sin_port = htons(DEBUG_SERVER_PORT);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, (struct sockaddr *)&server, sizeof server), 0) << strerror(errno);
    std::vector<uint8_t> raise = ctrlpeer::buildPacket(0x21, ctrlpeer::CONTROLLER, COMM_STATE, {3});
    ASSERT_EQ(send(fd, raise.data(), raise.size(), MSG_NOSIGNAL), (ssize_t)raise.size());
    std::vector<uint8_t> get = ctrlpeer::buildPacket(0x21, ctrlpeer::CONTROLLER, GET_RESTORE_POINT, {});
    /* stalled; or, on a slow machine, the card has already ended the connection after its write limit */
    ASSERT_GE(ctrlpeer::floodUntilStalled(fd, get, 500, 60000), 0) << readFile(log());

    auto asked = std::chrono::steady_clock::now();
    kill(pid, SIGINT);
    int status = -1;
    pid_t reaped = 0;
    while (reaped == 0 && std::chrono::steady_clock::now() - asked < std::chrono::seconds(5)) {
        reaped = waitpid(pid, &status, WNOHANG);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    close(fd);
    ASSERT_EQ(reaped, pid) << "still running 5 s after SIGINT\n" << readFile(log());
    pid = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

/*
 * The controller acknowledges the card's own reports at any time, also between
 * the two packets of a RESTORE_POINT_DATA chunk (57 bytes of text and the
 * offset: 57 + 2 data bytes). An acknowledgement there takes no part in the
 * chunk: the restore point is installed whole. Any other message there ends
 * the chunk, and the card says so.
 */
TEST_F(StrataRestorePoint, AnAcknowledgementBetweenTheTwoPacketsOfAChunkLosesNothing)
{
    constexpr uint16_t NACK = 0x0001, RESTORE_POINT_DATA = 0x0121, RESTORE_POINT_COMPLETED = 0x0122;
    const std::string written = "Wrote the Restore Point to file";
    const std::string dropped = "dropped the partial message 0x0121";
    struct Case {
        const char *name;
        uint16_t opcode;
        std::vector<uint8_t> data;
        bool installed;
    } cases[] = {
        {"ACK", ACK, {}, true},
        {"NACK 10", NACK, {10}, true},
        {"a link test", LINK_TEST, {}, false},
    };
    ctrlpeer::CtrlPeer controller;
    connectController(controller);
    std::string rsp = dir / "root/usr/local/q7/firmware/restorepoint.rsp";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string text = "version=1.1\nslot=0\nCONTROLLER_NOTE=installed with " + std::string(c.name) +
                           " between the packets of each chunk\nCONTROLLER_PADDING=0123456789abcdef\n";
        std::string before = readFile(log());
        for (size_t offset = 0; offset < text.size(); offset += 57) {
            std::vector<uint8_t> data = {(uint8_t)(offset >> 8), (uint8_t)offset};
            std::string chunk = text.substr(offset, 57);
            data.insert(data.end(), chunk.begin(), chunk.end());
            auto packets = ctrlpeer::splitMessage(0x21, ctrlpeer::CONTROLLER, RESTORE_POINT_DATA, data);
            std::vector<uint8_t> between = ctrlpeer::buildPacket(0x21, ctrlpeer::CONTROLLER, c.opcode, c.data);
            if (packets.size() == 2)
                packets.insert(packets.begin() + 1, between);
            ASSERT_TRUE(controller.sendPackets(packets));
        }
        controller.sendMessage(RESTORE_POINT_COMPLETED, {(uint8_t)(text.size() >> 8), (uint8_t)text.size()});
        /* the card handles the controller's messages in order: after a link test's answer it has taken them all */
        size_t from = controller.received().size();
        controller.sendMessage(LINK_TEST);
        ASSERT_TRUE(controller.waitOpcode(LINK_TEST_ANSWER, 20000, nullptr, from));
        if (c.installed) {
            ASSERT_TRUE(firmwareTest::waitForLogIn(log(), written, countIn(before, written) + 1, 20000))
                << readFile(log()).substr(before.size());
            EXPECT_EQ(readFile(rsp), text);
        }
        std::string added = readFile(log()).substr(before.size());
        EXPECT_EQ(countIn(added, dropped), c.installed ? 0u : 2u) << added;
        if (!c.installed) {
            EXPECT_NE(readFile(rsp), text);
        }
    }
}

} // namespace
