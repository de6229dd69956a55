/*
 * The frame-controller debug server (TCP 5100, USE_NETWORK set) of the real
 * kvr-firmware with the card emulator, in private IPC and network namespaces:
 * a controller that resets its connection with a reply unread, or closes it,
 * costs that connection only; the next controller is served by the same
 * daemon.
 */

#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <thread>

#include "../DaemonTestSupport.h"
#include "ctrlPeer.h"

using firmwareTest::readFile;

namespace {

constexpr uint16_t DEBUG_SERVER_PORT = 5100;
constexpr uint16_t COMM_STATE = 0x000C, DEV_ID = 0x0013, MEM_BLOCK_REQUEST = 0x0014, MEM_BLOCK = 0x0015, ACK = 0,
                   LINK_TEST = 0x0010, LINK_TEST_ANSWER = 0x0011;

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

    TempDir dir;
    pid_t pid = -1;
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

} // namespace
