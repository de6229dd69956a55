#ifndef KVR_TESTS_STRATATESTSUPPORT_H
#define KVR_TESTS_STRATATESTSUPPORT_H

/*
 * What the strata tests share: one card root per process (hal records, boot
 * environment, timestamp file), short link waits, the service's init run
 * once, and a fixture that opens the link on a pseudo-terminal played by the
 * frame-controller peer.
 */

#include "strata/strataPrivate.h"

#include "cardsim/cardsim.h"
#include "ctrlPeer.h"
#include "serviceManager/serviceManager.h"

#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <ostream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "../main/FirmwareTestSupport.h"
#include "../../support/ThreadState.h"

namespace strataTest {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t CARD = 0x21;

/* The card root of this process. */
inline TempDir &cardRoot()
{
    static TempDir root;
    return root;
}

inline void makeDirs(const std::string &root)
{
    for (const char *d : {"dev", "dev/shm", "etc", "data", "var", "var/log", "var/lock", "usr", "usr/local",
                          "usr/local/q7", "usr/local/q7/logs", "tmp", "sbin"})
        mkdir((root + "/" + d).c_str(), 0755);
}

/*
 * The service's threads use the fixed ports 5100-5102 (the QVS bridge dials
 * 127.0.0.1:5101 all the time), so every strata test program runs in private
 * network namespaces, entered once for the process.
 */
inline bool inPrivateNamespaces()
{
    static bool entered = firmwareTest::enterPrivateNamespaces();
    return entered;
}

#define STRATA_NEEDS_NAMESPACES()                                                                     \
    do {                                                                                              \
        if (geteuid() != 0)                                                                           \
            GTEST_SKIP() << firmwareTest::NOT_ROOT_SKIP;                                              \
        ASSERT_TRUE(strataTest::inPrivateNamespaces()) << firmwareTest::namespaceError();             \
    } while (0)

/* The threads the service's init started: the transmit thread and the thread that sends queued messages. */
inline std::set<pid_t> &serviceThreads()
{
    static std::set<pid_t> started;
    return started;
}

/* Once per process: log, card root, boot environment, short waits, service init. */
inline void setUpProcess()
{
    static bool done = false;
    if (done)
        return;
    firmwareTest::TestLog::instance();
    setenv("KVR_ROOT", cardRoot().path().c_str(), 1);
    ASSERT_UNDER_CARD_ROOT();
    ASSERT_TRUE(inPrivateNamespaces()) << "the service starts only in private namespaces";
    done = true;
    makeDirs(cardRoot().path());
    /* long enough that a loaded machine's late acknowledgement is not taken for a lost one */
    strataTiming.ackWaitMs = 1000;
    strataTiming.busyRetryMs = 200;
    strataTiming.sendRetryMs = 20;
    strataTiming.sendGiveUpMs = 300;
    strataTiming.pollMs = 50;
    strataTiming.bridgeReconnectMs = 50;
    strataTiming.flushSleepMs = 50;
    strataTiming.monitorPeriodMs = 200;
    strataTiming.rebootPauseMs = 10;
    strataTiming.upgradePollMs = 20;
    strataTiming.overrunPauseMs = 20;
    strataLinkConfiguration.monitorEnable = 0;
    strataService.category = log4c_category_get(strataService.categoryName);
    std::set<pid_t> before = threadState::threads();
    strataService.init(&strataService);
    for (pid_t tid : threadState::threads())
        if (!before.count(tid))
            serviceThreads().insert(tid);
}

/* The boot environment every test starts from. */
inline void writeBootEnvironment()
{
    cardsimFlashWrite({"ipaddr=10.0.0.21", "netmask=255.255.255.0", "gatewayip=10.0.0.1",
                       "ethaddr=00:11:22:33:44:55", "frameipaddr=10.0.0.2"},
                      0x1000, 0);
}

/*
 * The card reaches its serial device below the card root: links the peer's
 * pseudo-terminal there under the same path and returns that path.
 */
inline std::string ptyBelowCardRoot(const std::string &pty)
{
    if (pty.empty())
        return pty;
    std::string below = cardRoot().path() + pty;
    for (size_t slash = below.find('/', cardRoot().path().size() + 1); slash != std::string::npos;
         slash = below.find('/', slash + 1))
        mkdir(below.substr(0, slash).c_str(), 0755);
    unlink(below.c_str());
    return symlink(pty.c_str(), below.c_str()) == 0 ? pty : std::string();
}

inline std::string halLog()
{
    return firmwareTest::readFile(cardRoot() / "var/log/hal.log");
}

/* The link on a pseudo-terminal; the peer acknowledges and has answered DEV_ID. */
class StrataLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        STRATA_NEEDS_NAMESPACES();
        setUpProcess();
        ASSERT_FALSE(HasFatalFailure());
        writeBootEnvironment();
        strataExecuteReset();
        strataLinkConfiguration.restartBudget = 3;
        strataLinkConfiguration.qvsRelay = 1;
        path = ptyBelowCardRoot(peer.openPty());
        ASSERT_FALSE(path.empty());
        strataLinkConfiguration.deviceName = path.c_str();
        ASSERT_EQ(strata_open(&strataLinkConfiguration, strataService.category), 0);
        /* behind what a previous test's peer left unacknowledged, if anything */
        ASSERT_TRUE(peer.waitOpcode(STRATA_OPCODE_DEV_ID, 10000));
    }
    void TearDown() override
    {
        strata_close();
        flushTxQueue();
        strataSetCommState(0);
    }
    /* Lets the card learn its address and sets the link state by the controller's message. */
    void raiseState(uint8_t state)
    {
        size_t from = peer.received().size();
        peer.sendMessage(STRATA_OPCODE_COMM_STATE, {state});
        ASSERT_TRUE(peer.waitOpcode(STRATA_OPCODE_ACK, 2000, nullptr, from));
        for (int i = 0; i < 2000 && strataGetCommState() != state; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(strataGetCommState(), state);
    }
    /*
     * What the card sent from index `from` on, up to two markers sent after
     * the cause. The receiver handles the controller's messages in order and
     * what it answers leaves in that order, so the answer to the link test
     * comes after every reply to what the controller sent before it. With the
     * link raised (state 3), a message of our own then goes through the card's
     * message queue, which sends in order: it comes after every message the
     * cause queued there. What is not before the markers was never sent.
     */
    std::vector<ctrlpeer::Packet> untilMarkers(size_t from)
    {
        size_t linkTestAt = peer.received().size();
        EXPECT_TRUE(peer.sendMessage(LINK_TEST));
        if (!peer.waitOpcode(LINK_TEST_ANSWER, MARKER_WAIT_MS, nullptr, linkTestAt)) {
            ADD_FAILURE() << "the card did not answer the link test";
            return {};
        }
        std::vector<ctrlpeer::Packet> all = peer.received();
        size_t end = indexOf(all, LINK_TEST_ANSWER, linkTestAt);
        std::vector<ctrlpeer::Packet> out(all.begin() + (long)std::min(from, end), all.begin() + (long)end);
        if (strataGetCommState() != 3 || strataGetCardId() == 0)
            return out;
        size_t queuedAt = all.size();
        EXPECT_EQ(strataSrvSendMessage(nullptr, STRATA_MSG_REPLY, STRATA_CONTROLLER_ADDRESS, QUEUE_MARKER, nullptr, 0), 1);
        if (!peer.waitOpcode(QUEUE_MARKER, MARKER_WAIT_MS, nullptr, queuedAt)) {
            ADD_FAILURE() << "the card's message queue did not send the marker";
            return out;
        }
        all = peer.received();
        out.insert(out.end(), all.begin() + (long)end + 1, all.begin() + (long)indexOf(all, QUEUE_MARKER, queuedAt));
        return out;
    }
    /*
     * The thread that sends queued messages: of the service's threads, the one
     * that sleeps between its looks at the link state while it is below 3
     * (the transmit thread waits on its queue). 0 when none does.
     */
    static pid_t sendThread()
    {
        for (int i = 0; i < 2000; i++) {
            for (pid_t tid : serviceThreads())
                if (threadState::inTimedSleep(tid))
                    return tid;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return 0;
    }
    /*
     * Waits until the send thread has slept four more times and sleeps again:
     * with the link below state 3 each sleep ends one look at the link state,
     * so at least one whole look began after this call. A thread that sent
     * or dropped a message instead waits on its queue, not in a sleep.
     */
    static bool sendThreadLookedAgain(pid_t sender)
    {
        long start = threadState::voluntarySwitches(sender);
        return start >= 0 && threadState::waitForTimedSleepAfter(sender, start + 3);
    }
    static size_t indexOf(const std::vector<ctrlpeer::Packet> &packets, uint16_t opcode, size_t from)
    {
        while (from < packets.size() && packets[from].opcode != opcode)
            from++;
        return from;
    }
    /* The link test the card answers at once, and the marker this test queues itself. */
    static constexpr uint16_t LINK_TEST = 0x0010, LINK_TEST_ANSWER = 0x0011, QUEUE_MARKER = 0x7E7E;
    /* Only a card that never answers waits this long. */
    static constexpr int MARKER_WAIT_MS = 20000;
    ctrlpeer::CtrlPeer peer;
    std::string path;
};

/* One message the card sent: opcode and data. */
struct Reply {
    uint16_t opcode;
    Bytes data;
    bool operator==(const Reply &o) const { return opcode == o.opcode && data == o.data; }
};

inline std::ostream &operator<<(std::ostream &out, const Reply &r)
{
    char text[16];
    snprintf(text, sizeof text, "%04X:", r.opcode);
    out << text;
    for (uint8_t b : r.data) {
        snprintf(text, sizeof text, " %02X", b);
        out << text;
    }
    return out;
}

const Reply ACK{0x0000, {}};
inline Reply nack(uint8_t error) { return Reply{0x0001, {error}}; }

} // namespace strataTest

#endif
