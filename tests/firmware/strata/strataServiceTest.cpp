#include "StrataTestSupport.h"

#include <atomic>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <dirent.h>
#include <fstream>
#include <sys/syscall.h>

#include "../../support/ThreadState.h"

using namespace strataTest;
using firmwareTest::TestLog;
using ctrlpeer::Packet;

/*
 * The service with its fixed ports (debug server 5100, QVS bridge 5101, local
 * proxy 5102): the whole process runs in private network namespaces.
 */

namespace {

class StrataService : public ::testing::Test {
protected:
    void SetUp() override
    {
        STRATA_NEEDS_NAMESPACES();
        setUpProcess();
        ASSERT_FALSE(HasFatalFailure());
        writeBootEnvironment();
        strataExecuteReset();
        unsetenv("USE_NETWORK");
        unsetenv("DISABLE_TIME_UPDATE");
        strataLinkConfiguration.qvsRelay = 1;
    }
    void TearDown() override
    {
        strata_close();
        flushTxQueue();
        strataSetCommState(0);
        unsetenv("USE_NETWORK");
        unsetenv("DISABLE_TIME_UPDATE");
    }
    /* Pre-start with the link on a pseudo-terminal played by `peer`. */
    void startOnPty(ctrlpeer::CtrlPeer &peer)
    {
        path = ptyBelowCardRoot(peer.openPty());
        strataLinkConfiguration.deviceName = path.c_str();
        strataService.preStart(&strataService);
        ASSERT_TRUE(peer.waitOpcode(STRATA_OPCODE_DEV_ID, 2000));
    }
    void raiseState(ctrlpeer::CtrlPeer &peer, uint8_t state)
    {
        size_t from = peer.received().size();
        peer.sendMessage(STRATA_OPCODE_COMM_STATE, {state});
        ASSERT_TRUE(peer.waitOpcode(STRATA_OPCODE_ACK, 2000, nullptr, from));
        for (int i = 0; i < 2000 && strataGetCommState() != state; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::string path;
};

TEST_F(StrataService, DebugServerAnnouncesEachAcceptedConnectionAndWritesOnce)
{
    strataLinkConfiguration.deviceName = "socketdbg";
    setenv("DISABLE_TIME_UPDATE", "true", 1);
    strataService.preStart(&strataService);
    EXPECT_EQ(strataIsSocket(), 1u);
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round);
        ctrlpeer::CtrlPeer::Options options;
        options.acknowledge = false;
        ctrlpeer::CtrlPeer peer(options);
        ASSERT_TRUE(peer.connectTcp(STRATA_DEBUG_PORT, 2000));
        Packet devId;
        ASSERT_TRUE(peer.waitOpcode(STRATA_OPCODE_DEV_ID, 2000, &devId));
        EXPECT_EQ(devId.raw.size(), 22u);
        EXPECT_EQ(devId.raw[3], 0x11);
        peer.sendMessage(STRATA_OPCODE_COMM_STATE, {3});
        ASSERT_TRUE(peer.waitOpcode(STRATA_OPCODE_ACK, 2000));
        /*
         * On a socket nothing waits for an acknowledgement: one write only. Writes
         * go out in order, so once the next message is in, no retry of the first can follow.
         */
        size_t from = peer.received().size();
        strata_sendmsg(STRATA_MSG_REPLY, 0x15, 0x0321, nullptr, 0);
        strata_sendmsg(STRATA_MSG_REPLY, 0x15, 0x0322, nullptr, 0);
        ASSERT_TRUE(peer.waitOpcode(0x0322, 10000, nullptr, from));
        EXPECT_EQ(peer.count(0x0321), 1u);
        size_t mark = TestLog::instance().mark();
        peer.disconnect();
        /* The server sees the controller leave before the next one comes. */
        for (int i = 0; i < 1000 && TestLog::instance().since(mark).find("strataLogLostPeer") == std::string::npos; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_NE(TestLog::instance().since(mark).find("strataLogLostPeer"), std::string::npos);
    }
}

size_t countIn(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}

/*
 * How a controller leaves: a reset while the card's reply (0x0014 answers in
 * several packets) is still being written, a reset once it has all arrived,
 * or a close. Mid-reply, the card's writes or its read may be the first to
 * learn of the reset, so either line may say it.
 */
struct PeerExit {
    const char *name;
    bool reset;
    bool replyRead;
    const char *logged; /* null: either the reset or the close line */
};
const PeerExit peerExits[] = {
    {"reset mid-reply", true, false, nullptr},
    {"reset with the reply read", true, true, "lost, errno[104] = Connection reset by peer"},
    {"orderly close", false, true, "closed by the peer"},
};

void leave(ctrlpeer::CtrlPeer &peer, const PeerExit &exit)
{
    size_t from = peer.received().size();
    peer.sendMessage(0x0014);
    if (exit.replyRead) {
        EXPECT_TRUE(peer.waitFor([](const Packet &p) { return p.opcode == 0x0015 && !p.more; }, 20000, nullptr, from));
        /* the card answers in order: after a link test's answer it has nothing more to say */
        size_t linkTestAt = peer.received().size();
        peer.sendMessage(0x0010);
        EXPECT_TRUE(peer.waitOpcode(0x0011, 20000, nullptr, linkTestAt));
    }
    if (exit.reset)
        peer.reset();
    else
        peer.disconnect();
}

/*
 * The one line that says the connection was lost, and what the link does next.
 * To the proxy, a write that fails mid-reply reconnects at once: the receiver
 * then reads the new connection and has nothing to say (`mayBeReplaced`).
 */
void expectOneLostLine(const std::string &logged, const PeerExit &exit, int port, const char *next,
                       bool mayBeReplaced = false)
{
    std::string prefix = "strataLogLostPeer: connection on port " + std::to_string(port) + " ";
    EXPECT_EQ(logged.find("Aborting"), std::string::npos) << logged;
    if (mayBeReplaced && !exit.logged && countIn(logged, "strataLogLostPeer:") == 0)
        return;
    ASSERT_EQ(countIn(logged, "strataLogLostPeer:"), 1u) << logged;
    std::string line = logged.substr(logged.find(prefix));
    line = line.substr(0, line.find('\n'));
    if (exit.logged) {
        EXPECT_EQ(line, prefix + exit.logged + "; " + next);
    } else {
        EXPECT_TRUE(line == prefix + "lost, errno[104] = Connection reset by peer; " + next ||
                    line == prefix + "closed by the peer; " + next)
            << line;
    }
}

/* The exchange a controller starts with: link state 3, then a query the card waits for. */
void expectControllerExchange(ctrlpeer::CtrlPeer &peer)
{
    size_t from = peer.received().size();
    peer.sendMessage(STRATA_OPCODE_COMM_STATE, {3});
    ASSERT_TRUE(peer.waitOpcode(STRATA_OPCODE_ACK, 2000, nullptr, from));
    for (int i = 0; i < 2000 && strataGetCommState() != 3; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    uint8_t frameType = 0;
    EXPECT_EQ(strataGetFrameType(&frameType, 3), 0);
    EXPECT_EQ(frameType, 2);
}

TEST_F(StrataService, DebugServerOutlivesAControllerThatResetsOrClosesAndServesTheNext)
{
    strataLinkConfiguration.deviceName = "socketdbg";
    setenv("DISABLE_TIME_UPDATE", "true", 1);
    strataService.preStart(&strataService);
    for (const PeerExit &exit : peerExits) {
        SCOPED_TRACE(exit.name);
        size_t mark = TestLog::instance().mark();
        {
            ctrlpeer::CtrlPeer peer;
            ASSERT_TRUE(peer.connectTcp(STRATA_DEBUG_PORT, 2000));
            ASSERT_TRUE(peer.waitOpcode(STRATA_OPCODE_DEV_ID, 2000));
            expectControllerExchange(peer);
            leave(peer, exit);
        }
        for (int i = 0; i < 1000 && TestLog::instance().since(mark).find("strataLogLostPeer") == std::string::npos; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ctrlpeer::CtrlPeer next;
        ASSERT_TRUE(next.connectTcp(STRATA_DEBUG_PORT, 2000));
        ASSERT_TRUE(next.waitOpcode(STRATA_OPCODE_DEV_ID, 2000));
        expectControllerExchange(next);
        expectOneLostLine(TestLog::instance().since(mark), exit, STRATA_DEBUG_PORT, "waiting for the next controller");
        next.disconnect();
        for (int i = 0; i < 1000 && countIn(TestLog::instance().since(mark), "strataLogLostPeer") < 2; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

TEST_F(StrataService, ProxyClientReconnectsAfterTheProxyResetsOrCloses)
{
    ctrlpeer::CtrlPeer proxy;
    ASSERT_TRUE(proxy.listenTcp(STRATA_PROXY_PORT));
    strataLinkConfiguration.deviceName = "socket";
    setenv("DISABLE_TIME_UPDATE", "true", 1);
    std::thread start([] { strataService.preStart(&strataService); });
    ASSERT_TRUE(proxy.acceptOne(3000));
    start.join();
    for (const PeerExit &exit : peerExits) {
        SCOPED_TRACE(exit.name);
        size_t mark = TestLog::instance().mark();
        leave(proxy, exit);
        /*
         * Mid-reply, a write that fails reconnects at once while the receiver
         * may be reconnecting too: the card keeps the later connection and
         * closes the other. The link is back on one of the first two: each
         * connection is served until the card answers on it or closes it.
         */
        bool answered = false;
        for (int attempt = 0; attempt < (exit.replyRead ? 1 : 2) && !answered; attempt++) {
            ASSERT_TRUE(proxy.acceptOne(20000));
            size_t from = proxy.received().size();
            proxy.sendMessage(STRATA_OPCODE_COMM_STATE, {3});
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!(answered = proxy.waitOpcode(STRATA_OPCODE_ACK, 20, nullptr, from)) && proxy.connected() &&
                   std::chrono::steady_clock::now() < end)
                ;
            answered = answered || proxy.waitOpcode(STRATA_OPCODE_ACK, 0, nullptr, from);
        }
        ASSERT_TRUE(answered);
        expectControllerExchange(proxy);
        std::string logged = TestLog::instance().since(mark);
        expectOneLostLine(logged, exit, STRATA_PROXY_PORT, "reconnecting to the proxy", true);
        EXPECT_NE(logged.find("connectStrataProxy: Reconnected to strata proxy port 5102."), std::string::npos)
            << logged;
    }
}

size_t openDescriptors()
{
    size_t n = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            n++;
        closedir(dir);
    }
    return n;
}

/*
 * A reconnect to the proxy (a write that failed) replaces the connection the
 * receiver is reading. Each replaced connection ends without a read on a
 * closed descriptor and without a lost-peer line, is closed once, and the
 * link goes on over the newest one.
 */
TEST_F(StrataService, ReconnectsReplacingTheConnectionUnderTheReceiverCloseEachOnceAndLoseNothing)
{
    ctrlpeer::CtrlPeer proxy;
    ASSERT_TRUE(proxy.listenTcp(STRATA_PROXY_PORT));
    strataLinkConfiguration.deviceName = "socket";
    setenv("DISABLE_TIME_UPDATE", "true", 1);
    std::thread start([] { strataService.preStart(&strataService); });
    ASSERT_TRUE(proxy.acceptOne(3000));
    start.join();
    size_t before = openDescriptors();
    size_t mark = TestLog::instance().mark();
    for (int i = 0; i < 200; i++) {
        connectStrataProxy(&strataLinkConfiguration, log4c_category_get("ulm.firmware.strataSrvc"));
        ASSERT_TRUE(proxy.acceptOne(3000)) << i;
    }
    expectControllerExchange(proxy);
    std::string logged = TestLog::instance().since(mark);
    EXPECT_EQ(countIn(logged, "connectStrataProxy: Reconnected to strata proxy port 5102."), 200u);
    EXPECT_EQ(countIn(logged, "strataLogLostPeer:"), 0u) << logged;
    EXPECT_EQ(logged.find("Bad file descriptor"), std::string::npos) << logged;
    /* the receiver closes the replaced connections between its reads */
    for (int i = 0; i < 300 && openDescriptors() > before; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_LE(openDescriptors(), before);
}

/*
 * The proxy on 5102 that accepts the card's connection and then reads nothing
 * (small buffers), and the card with more to say than the largest send buffer
 * of a connection (4 MB) takes, as fast as its transmit queue takes it, until
 * its transmit thread waits for room on the connection.
 */
class StrataSilentProxy : public StrataService {
protected:
    void SetUp() override
    {
        StrataService::SetUp();
        if (HasFatalFailure() || IsSkipped())
            return;
        listenFd = ctrlpeer::silentSocket();
        ASSERT_GE(listenFd, 0);
        int on = 1;
        setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        struct sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(STRATA_PROXY_PORT);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(listenFd, (struct sockaddr *)&address, sizeof address), 0) << strerror(errno);
        ASSERT_EQ(listen(listenFd, 4), 0);
        strataLinkConfiguration.deviceName = "socket";
        setenv("DISABLE_TIME_UPDATE", "true", 1);
        std::thread start([] { strataService.preStart(&strataService); });
        fd = acceptWithin(3000);
        start.join();
        ASSERT_GE(fd, 0);
    }
    /*
     * The card says more than the connection takes, as fast as its transmit
     * queue takes it, until the queue has stayed full for a second: its
     * transmit thread waits for room on the connection.
     */
    void fillTheConnection()
    {
        const Bytes report(57, 0x5A);
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        auto fullSince = std::chrono::steady_clock::time_point::max();
        while (std::chrono::steady_clock::now() < until) {
            auto now = std::chrono::steady_clock::now();
            if (strata_sendmsg(STRATA_MSG_REPLY, 0x15, 0x0321, report.data(), (uint32_t)report.size()) == 0) {
                fullSince = std::chrono::steady_clock::time_point::max();
                continue;
            }
            if (fullSince == std::chrono::steady_clock::time_point::max())
                fullSince = now;
            if (now - fullSince >= std::chrono::seconds(1))
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        FAIL() << "the card's transmit queue never stayed full";
    }
    void TearDown() override
    {
        strata_close();
        for (int open : {fd, next, listenFd})
            if (open >= 0)
                close(open);
        strataTiming.sendLimitMs = 3000;
        StrataService::TearDown();
    }
    int acceptWithin(int milliseconds)
    {
        struct pollfd waitFor = {listenFd, POLLIN, 0};
        if (poll(&waitFor, 1, milliseconds) != 1)
            return -1;
        return accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    }
    int listenFd = -1;
    int fd = -1;
    int next = -1;
};

/* Every writer waits for the silent proxy; the link's close (the service's stop) still ends at once. */
TEST_F(StrataSilentProxy, CloseEndsAtOnceWhileTheProxyHasStoppedReading)
{
    strataTiming.sendLimitMs = 60000;
    fillTheConnection();
    ASSERT_FALSE(HasFatalFailure());
    /* the controller's MEM_BLOCK requests wait for the card's acknowledgements */
    Bytes request = ctrlpeer::buildPacket(CARD, 0x15, 0x0014, {});
    ASSERT_EQ(ctrlpeer::floodUntilStalled(fd, request, 500, 60000), 1);
    std::atomic<bool> closed{false};
    std::thread closing([&] {
        strata_close();
        closed = true;
    });
    auto asked = std::chrono::steady_clock::now();
    while (!closed && std::chrono::steady_clock::now() - asked < std::chrono::seconds(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    bool inTime = closed;
    /* the proxy goes: a close that waited for it ends now */
    close(fd);
    fd = -1;
    closing.join();
    EXPECT_TRUE(inTime) << "the close waited for the proxy to go";
}

/* A write that finds no room for its whole time limit ends that connection, says so, and the card connects anew. */
TEST_F(StrataSilentProxy, AWriteThatWaitsPastItsLimitEndsTheConnection)
{
    size_t mark = TestLog::instance().mark();
    const std::string ended = "strataWritePort: the peer has read nothing for 3000 ms; ending the connection";
    fillTheConnection();
    ASSERT_FALSE(HasFatalFailure());
    next = acceptWithin(20000);
    ASSERT_GE(next, 0) << TestLog::instance().since(mark);
    std::string logged = TestLog::instance().since(mark);
    EXPECT_EQ(countIn(logged, ended), 1u) << logged;
    EXPECT_EQ(countIn(logged, "strataLogLostPeer:"), 0u) << logged;
    EXPECT_NE(logged.find("connectStrataProxy: Reconnected to strata proxy port 5102."), std::string::npos) << logged;
}

/*
 * The proxy starts after the card: the link opens all the same, the card tries
 * again at a growing pace (each attempt a line) and is served once the proxy
 * listens; the close does not wait for the next attempt.
 */
TEST_F(StrataService, ProxyNotYetListeningIsRetriedUntilItListens)
{
    const std::string failed = "connectStrataProxy: Failed to reconnected to strata proxy port 5102.";
    size_t mark = TestLog::instance().mark();
    strataLinkConfiguration.deviceName = "socket";
    setenv("DISABLE_TIME_UPDATE", "true", 1);
    strataService.preStart(&strataService);
    std::string logged = TestLog::instance().since(mark);
    EXPECT_NE(logged.find("openAndSetupPort: failed to connectTo errno[111] = Connection refused"), std::string::npos)
        << logged;
    EXPECT_NE(logged.find("strata_api init returned 0"), std::string::npos) << logged;
    /* the pauses double from 50 ms: four attempts take at least 50 + 100 + 200 + 400 ms */
    auto opened = std::chrono::steady_clock::now();
    for (int i = 0; i < 2000 && countIn(TestLog::instance().since(mark), failed) < 4; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GE(countIn(TestLog::instance().since(mark), failed), 4u);
    EXPECT_GE(std::chrono::steady_clock::now() - opened, std::chrono::milliseconds(750));
    ctrlpeer::CtrlPeer proxy;
    ASSERT_TRUE(proxy.listenTcp(STRATA_PROXY_PORT));
    ASSERT_TRUE(proxy.acceptOne(10000)) << TestLog::instance().since(mark);
    expectControllerExchange(proxy);
    EXPECT_NE(TestLog::instance().since(mark).find("connectStrataProxy: Reconnected to strata proxy port 5102."),
              std::string::npos);
}

/* A close while the card waits for its next attempt ends at once. */
TEST_F(StrataService, CloseDoesNotWaitForTheNextAttemptToReachTheProxy)
{
    strataLinkConfiguration.deviceName = "socket";
    setenv("DISABLE_TIME_UPDATE", "true", 1);
    uint32_t saved = strataTiming.pollMs;
    strataTiming.pollMs = 60000;
    strataService.preStart(&strataService);
    auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(strata_close(), 0);
    strataTiming.pollMs = saved;
    EXPECT_LT(std::chrono::steady_clock::now() - asked, firmwareTest::PROMPT);
}

TEST_F(StrataService, UseNetworkMakesTheCardADebugServer)
{
    strataLinkConfiguration.deviceName = "/dev/ttyO1";
    setenv("USE_NETWORK", "1", 1);
    setenv("DISABLE_TIME_UPDATE", "TRUE", 1);
    strataService.preStart(&strataService);
    ctrlpeer::CtrlPeer peer;
    ASSERT_TRUE(peer.connectTcp(STRATA_DEBUG_PORT, 2000));
    EXPECT_TRUE(peer.waitOpcode(STRATA_OPCODE_DEV_ID, 2000));
    /* a checksum error on a socket is never a serial restart */
    Bytes bad = ctrlpeer::buildPacket(CARD, 0x15, 0x0010, {});
    bad.back() ^= 1;
    peer.sendRaw(bad);
    Packet nack;
    ASSERT_TRUE(peer.waitOpcode(STRATA_OPCODE_NACK, 2000, &nack));
    EXPECT_EQ(nack.data, Bytes{STRATA_NACK_CHECKSUM});
}

TEST_F(StrataService, ProxySocketStartsInStateThreeAndAsksForTheTime)
{
    ctrlpeer::CtrlPeer proxy;
    ASSERT_TRUE(proxy.listenTcp(STRATA_PROXY_PORT));
    strataLinkConfiguration.deviceName = "socket";
    std::thread start([] { strataService.preStart(&strataService); });
    ASSERT_TRUE(proxy.acceptOne(3000));
    start.join();
    EXPECT_EQ(strataGetCommState(), 3);
    Packet request;
    ASSERT_TRUE(proxy.waitOpcode(STRATA_OPCODE_GET_TIME_V3, 2000, &request));
    EXPECT_EQ(request.raw, (Bytes{0x02, 0x15, 0x00, 0x02, 0x01, 0x2A, 0x44}));
    EXPECT_EQ(proxy.count(STRATA_OPCODE_DEV_ID), 0u);
}

TEST_F(StrataService, DisableTimeUpdateSendsNoTimeRequest)
{
    struct Case {
        const char *value;
        bool requests;
    } cases[] = {{"TRUE", false}, {"true", false}, {"no", true}, {nullptr, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value ? c.value : "unset");
        if (c.value)
            setenv("DISABLE_TIME_UPDATE", c.value, 1);
        else
            unsetenv("DISABLE_TIME_UPDATE");
        ctrlpeer::CtrlPeer peer;
        startOnPty(peer);
        raiseState(peer, 3);
        /* the request, if any, is queued as state 3 is taken: before the answer to a link test sent after */
        size_t from = peer.received().size();
        peer.sendMessage(0x0010);
        ASSERT_TRUE(peer.waitOpcode(0x0011, 20000, nullptr, from));
        EXPECT_EQ(peer.count(STRATA_OPCODE_GET_TIME_V3) > 0, c.requests);
        strata_close();
        flushTxQueue();
    }
}

/* A controller that raises the link the moment the card opens it is asked for the time all the same. */
TEST_F(StrataService, LinkRaisedAsItOpensIsAskedForTheTime)
{
    ctrlpeer::CtrlPeer peer;
    path = ptyBelowCardRoot(peer.openPty());
    strataLinkConfiguration.deviceName = path.c_str();
    /* waiting on the line before the card opens it, so read as soon as it does */
    ASSERT_TRUE(peer.sendMessage(STRATA_OPCODE_COMM_STATE, {3}));
    strataService.preStart(&strataService);
    ASSERT_TRUE(peer.waitOpcode(STRATA_OPCODE_ACK, 20000));
    size_t from = peer.received().size();
    peer.sendMessage(0x0010);
    ASSERT_TRUE(peer.waitOpcode(0x0011, 20000, nullptr, from));
    EXPECT_EQ(strataGetCommState(), 3);
    EXPECT_EQ(peer.count(STRATA_OPCODE_GET_TIME_V3), 1u);
}

TEST_F(StrataService, TimeSamplesSetTheClockUnlessTheyComeLate)
{
    ctrlpeer::CtrlPeer::Options options;
    options.answerQueries = false;
    ctrlpeer::CtrlPeer peer(options);
    startOnPty(peer);
    raiseState(peer, 3);
    const Bytes sample = {0x07, 0xEA, 12, 10, 12, 30, 45, 0x00, 0xFA};
    struct tm when = {};
    when.tm_year = 2026 - 1900;
    when.tm_mon = 11;
    when.tm_mday = 10;
    when.tm_hour = 12;
    when.tm_min = 30;
    when.tm_sec = 45;
    when.tm_isdst = -1;
    std::string setTime = "settime " + std::to_string((long long)mktime(&when)) + ".250000";
    auto settimes = [&] {
        std::string log = halLog();
        size_t n = 0;
        for (size_t at = log.find(setTime); at != std::string::npos; at = log.find(setTime, at + 1))
            n++;
        return n;
    };
    for (int i = 0; i < 2; i++) {
        size_t before = settimes();
        size_t from = peer.received().size();
        peer.sendMessage(STRATA_OPCODE_TIME_V3, sample);
        ASSERT_TRUE(peer.waitOpcode(STRATA_OPCODE_ACK, 2000, nullptr, from));
        EXPECT_EQ(settimes(), before + 1);
    }
    EXPECT_EQ(firmwareTest::readFile(cardRoot() / "data/timestamp"), "121012302026");

    /* third sample, 600 ms after its request: the clock stays */
    timeSyncUpdate(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    unlink((cardRoot() / "data/timestamp").c_str());
    size_t before = settimes();
    size_t from = peer.received().size();
    peer.sendMessage(STRATA_OPCODE_TIME_V3, sample);
    ASSERT_TRUE(peer.waitOpcode(STRATA_OPCODE_ACK, 2000, nullptr, from));
    EXPECT_EQ(settimes(), before);
    EXPECT_EQ(firmwareTest::readFile(cardRoot() / "data/timestamp"), "121012302026");

    /* answered in time: set */
    timeSyncUpdate(0);
    from = peer.received().size();
    peer.sendMessage(STRATA_OPCODE_TIME_V3, sample);
    ASSERT_TRUE(peer.waitOpcode(STRATA_OPCODE_ACK, 2000, nullptr, from));
    EXPECT_EQ(settimes(), before + 1);

    /* a request that got no reply is logged; the next one is still timed, so a late reply is refused */
    size_t mark = TestLog::instance().mark();
    timeSyncUpdate(0);
    timeSyncUpdate(0);
    EXPECT_EQ(countIn(TestLog::instance().since(mark), "we sent GET_TIME_V3 but there was no response"), 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    from = peer.received().size();
    peer.sendMessage(STRATA_OPCODE_TIME_V3, sample);
    ASSERT_TRUE(peer.waitOpcode(STRATA_OPCODE_ACK, 2000, nullptr, from));
    EXPECT_EQ(settimes(), before + 1);
}

TEST_F(StrataService, BridgeRelaysBothWaysWithLabelAndIpSettingsOnConnect)
{
    setenv("DISABLE_TIME_UPDATE", "true", 1);
    ctrlpeer::CtrlPeer controller;
    startOnPty(controller);
    raiseState(controller, 3);
    /*
     * Label and IP settings arrive before the QVS application listens: the
     * receiver handles messages in order, so once a link test sent after them
     * is answered the card holds both.
     */
    controller.sendMessage(0x0019, {'L', 'B', 'L'});
    controller.sendMessage(0x100F, {0, 0, 10, 0, 0, 21, 255, 255, 255, 0, 10, 0, 0, 1, 1, 2, 3, 4, 5, 6});
    size_t linkTestAt = controller.received().size();
    controller.sendMessage(0x0010);
    ASSERT_TRUE(controller.waitOpcode(0x0011, 20000, nullptr, linkTestAt));

    ctrlpeer::CtrlPeer::Options qvsOptions;
    qvsOptions.acknowledge = false;
    qvsOptions.answerQueries = false;
    ctrlpeer::CtrlPeer qvs(qvsOptions);
    ASSERT_TRUE(qvs.listenTcp(STRATA_QVS_PORT));
    ASSERT_TRUE(qvs.acceptOne(3000));
    Packet label, ipConfig;
    ASSERT_TRUE(qvs.waitOpcode(STRATA_OPCODE_CARD_LABEL, 2000, &label));
    EXPECT_EQ(label.raw, (Bytes{0x02, 0x21, 0x15, 0x0A, 0x00, 0x19, 0x4C, 0x42, 0x4C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x35}));
    ASSERT_TRUE(qvs.waitOpcode(STRATA_OPCODE_QVS_IP_CONFIG_V2, 2000, &ipConfig));
    EXPECT_EQ(ipConfig.raw.size(), 27u);
    EXPECT_EQ(ipConfig.data, (Bytes{0, 0, 10, 0, 0, 21, 255, 255, 255, 0, 10, 0, 0, 1, 1, 2, 3, 4, 5, 6}));
    EXPECT_TRUE(ipConfig.checksumOk);

    /* controller -> QVS: the packet as it came */
    Bytes fromController = ctrlpeer::buildPacket(CARD, 0x15, 0x7777, {1, 2, 3});
    controller.sendRaw(fromController);
    Packet relayed;
    ASSERT_TRUE(qvs.waitOpcode(0x7777, 2000, &relayed));
    EXPECT_EQ(relayed.raw, fromController);

    /* QVS -> controller */
    Bytes fromQvs = ctrlpeer::buildPacket(0x15, CARD, 0x7778, {9, 8});
    qvs.sendRaw(fromQvs);
    Packet forwarded;
    ASSERT_TRUE(controller.waitOpcode(0x7778, 2000, &forwarded));
    EXPECT_EQ(forwarded.raw, fromQvs);

    /* a packet longer than 64 bytes from QVS closes the connection; the bridge comes back */
    qvs.sendRaw({0x02, 0x15, CARD, 0x3E, 0x77, 0x79, 0x00});
    ASSERT_TRUE(qvs.acceptOne(3000));
    ASSERT_TRUE(qvs.waitOpcode(STRATA_OPCODE_CARD_LABEL, 2000));
    EXPECT_EQ(controller.count(0x7779), 0u);
}

/*
 * The front-panel button reaches the QVS application only for a press on a
 * link at state 2 or above. Each press is followed by a marker relayed the
 * same way, so once the marker is in, every button packet of that press is too.
 */
TEST_F(StrataService, ButtonPressesAreRelayedOnlyOnALinkAtStateTwoOrAbove)
{
    setenv("DISABLE_TIME_UPDATE", "true", 1);
    strataLinkConfiguration.isStrataMenuHandledByFirmware = 0;
    ctrlpeer::CtrlPeer controller;
    startOnPty(controller);
    ctrlpeer::CtrlPeer::Options qvsOptions;
    qvsOptions.acknowledge = false;
    qvsOptions.answerQueries = false;
    ctrlpeer::CtrlPeer qvs(qvsOptions);
    ASSERT_TRUE(qvs.listenTcp(STRATA_QVS_PORT));
    ASSERT_TRUE(qvs.acceptOne(3000));
    /* the bridge holds its connection a moment after the application has accepted it */
    uint8_t ready = 0;
    for (int i = 0; i < 1000 && !strataRelayToQvs(0x7777, &ready, 1); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const struct {
        const char *name;
        uint8_t state;
        uint32_t presses;
        size_t relayed;
    } cases[] = {
        {"link at state 1", 1, 1, 0},
        {"no press counted", 3, 0, 0},
        {"link at state 2", 2, 1, 1},
        {"link at state 3, two presses", 3, 2, 1},
    };
    uint8_t marker = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        raiseState(controller, c.state);
        ASSERT_EQ(strataGetCommState(), c.state);
        size_t before = qvs.count(STRATA_OPCODE_BUTTON);
        size_t from = qvs.received().size();
        strataButtonPressed(c.presses);
        strataRelayToQvs(0x7777, &++marker, 1);
        ASSERT_TRUE(qvs.waitFor([&](const Packet &p) { return p.opcode == 0x7777 && p.data == Bytes{marker}; }, 10000,
                                nullptr, from));
        EXPECT_EQ(qvs.count(STRATA_OPCODE_BUTTON) - before, c.relayed);
    }
}

/*
 * A press while another is still being relayed is dropped, not queued behind
 * it. The QVS application here reads nothing: once the card's socket is full,
 * a relay blocks, and so does a press that got through the gate. Of two
 * presses made then, one returns at once; once the application reads, exactly
 * one button packet has gone out.
 */
TEST_F(StrataService, PressWhileAPressIsRelayedIsDropped)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    int one = 1, small = 4096;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(STRATA_QVS_PORT);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, (struct sockaddr *)&address, sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    strataLinkConfiguration.deviceName = "socketdbg";
    setenv("DISABLE_TIME_UPDATE", "true", 1);
    strataLinkConfiguration.isStrataMenuHandledByFirmware = 0;
    strataService.preStart(&strataService);
    struct pollfd waitFor = {listener, POLLIN, 0};
    ASSERT_EQ(poll(&waitFor, 1, 5000), 1);
    int application = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);
    ASSERT_GE(application, 0);
    uint8_t filler[STRATA_PACKET_DATA_MAX] = {};
    for (int i = 0; i < 1000 && !strataRelayToQvs(0x7777, filler, 1); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    strataSetCommState(2);

    /* fill the card's socket until a relay blocks */
    std::atomic<int> relayed{0};
    std::atomic<bool> stopFilling{false};
    std::atomic<pid_t> fillTid{0};
    std::thread fill([&] {
        fillTid = threadState::currentTid();
        while (!stopFilling && strataRelayToQvs(0x7777, filler, sizeof filler))
            relayed++;
    });
    /* blocked: asleep inside the socket's send, twice, with nothing relayed between */
    auto inSend = [&] {
        return fillTid != 0 && threadState::systemCall(fillTid) == SYS_sendto && threadState::sleeping(fillTid);
    };
    bool blocked = false;
    for (int i = 0; i < 1000 && !blocked; i++) {
        int before = relayed;
        bool first = inSend();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        blocked = first && inSend() && relayed == before;
    }
    ASSERT_TRUE(blocked) << "the relay never blocked";

    std::atomic<int> returned{0};
    std::thread first([&] { strataButtonPressed(1); returned++; });
    std::thread second([&] { strataButtonPressed(1); returned++; });
    for (int i = 0; i < 500 && returned == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(returned, 1) << "one press returns while the other is held in the relay";

    /* the application reads: everything queued goes out */
    stopFilling = true;
    std::vector<uint8_t> stream;
    std::atomic<bool> joined{false};
    std::thread joiner([&] { first.join(); second.join(); fill.join(); joined = true; });
    uint8_t buffer[65536];
    for (;;) {
        struct pollfd readable = {application, POLLIN, 0};
        int ready = poll(&readable, 1, 300);
        if (ready <= 0) {
            if (joined)
                break;
            continue;
        }
        ssize_t n = read(application, buffer, sizeof buffer);
        if (n <= 0)
            break;
        stream.insert(stream.end(), buffer, buffer + n);
    }
    joiner.join();
    EXPECT_EQ(returned, 2);
    size_t buttons = 0;
    for (size_t at = 0; at + 6 <= stream.size();) {
        ASSERT_EQ(stream[at], 0x02) << "at " << at;
        size_t length = (stream[at + 3] & 0x3F) + 5u;
        if (((stream[at + 4] << 8) | stream[at + 5]) == 0x4005)
            buttons++;
        at += length;
    }
    EXPECT_EQ(buttons, 1u);
    /* the gate opens again once the relay is done */
    size_t before = stream.size();
    strataButtonPressed(1);
    ssize_t n = recv(application, buffer, sizeof buffer, 0);
    ASSERT_GE(n, 6) << before;
    EXPECT_EQ((buffer[4] << 8) | buffer[5], 0x4005);
    close(application);
}

TEST_F(StrataService, UpdateMemBlockPcodeAsksForTheRestorePoint)
{
    setenv("DISABLE_TIME_UPDATE", "true", 1);
    ctrlpeer::CtrlPeer controller;
    startOnPty(controller);
    raiseState(controller, 3);
    EXPECT_EQ(updateMemBlockHandler(nullptr, 0), 0);
    Packet save;
    ASSERT_TRUE(controller.waitOpcode(STRATA_OPCODE_SAVE_RESTORE_POINT, 2000, &save));
    EXPECT_EQ(save.raw, (Bytes{0x02, 0x15, 0x21, 0x05, 0x10, 0x2D, 0x00, 0x00, 0x00, 0x7A}));
}

} // namespace
