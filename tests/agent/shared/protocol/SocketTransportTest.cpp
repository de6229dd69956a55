// The socket transport's handshake on loopback, byte for byte.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <string>
#include <unistd.h>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "../../../support/LoopbackSocket.h"
#include "SocketTransport.h"

namespace {

using loopbackSocket::PortReservation;

using Bytes = std::vector<uint8_t>;

Bytes u4(uint32_t v)
{
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

sockaddr_in loopback(int port)
{
    sockaddr_in where = {};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<uint16_t>(port));
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return where;
}

// A loopback socket bound to a port the system chose; listening when asked.
int boundSocket(int *port, bool listening)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where = loopback(0);
    socklen_t length = sizeof where;
    if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&where), &length) != 0 || (listening && listen(s, 1) != 0))
        return -1;
    *port = ntohs(where.sin_port);
    return s;
}

// A front end that has connected and already sent `hello`.
int frontend(int port, const Bytes &hello)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where = loopback(port);
    if (s < 0 || connect(s, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0)
        return -1;
    if (write(s, hello.data(), hello.size()) != static_cast<ssize_t>(hello.size()))
        return -1;
    return s;
}

// Everything the peer sent until it stopped or closed (at most `max` bytes).
Bytes readAll(int s, size_t max)
{
    Bytes got(max);
    size_t have = 0;
    while (have < max) {
        ssize_t n = recv(s, got.data() + have, max - have, 0);
        if (n <= 0)
            break;
        have += static_cast<size_t>(n);
    }
    got.resize(have);
    return got;
}

int listenFailures = 0;

void countListenFailure()
{
    listenFailures++;
}

const Bytes GOOD_HELLO = u4(31) + u4(0) + u4(0xCAFED00D);
// The magic and the protocol version "36" as a string.
const Bytes AGENT_HELLO = Bytes{0xCA, 0xFE, 0xD0, 0x0D} + Bytes{0, 2, '3', '6'};

TEST(SocketTransportTest, RefusedClientsAreDroppedAndTheNextIsGreeted)
{
    PortReservation held;
    int port = held.port;
    ASSERT_NE(port, 0);
    listenFailures = 0;
    SocketTransport transport(port, "127.0.0.1", countListenFailure);
    ASSERT_TRUE(transport.listen());
    struct Client {
        const char *name;
        Bytes hello;
    };
    const Client refused[] = {
        {"another application", u4(1) + u4(0)},
        {"another hello version", u4(31) + u4(1)},
        {"no confirmation", u4(31) + u4(0) + u4(0x12345678)},
    };
    std::vector<int> refusedSockets;
    for (const Client &c : refused)
        refusedSockets.push_back(frontend(port, c.hello));
    int good = frontend(port, GOOD_HELLO);
    ASSERT_GE(good, 0);

    ASSERT_TRUE(transport.connect());
    for (size_t i = 0; i < refusedSockets.size(); i++) {
        SCOPED_TRACE(refused[i].name);
        shutdown(refusedSockets[i], SHUT_WR);
        Bytes expected = i == 2 ? AGENT_HELLO : Bytes{};
        EXPECT_EQ(readAll(refusedSockets[i], 64), expected) << "then the connection is closed";
        close(refusedSockets[i]);
    }
    transport.disconnect();
    EXPECT_EQ(readAll(good, 64), AGENT_HELLO);
    close(good);
    EXPECT_TRUE(transport.canReconnect());

    // The listening socket stays for the next front end.
    good = frontend(port, GOOD_HELLO);
    ASSERT_TRUE(transport.connect());
    transport.shutdown();
    EXPECT_EQ(readAll(good, 64), AGENT_HELLO);
    close(good);
    EXPECT_EQ(listenFailures, 0);
}

TEST(SocketTransportTest, APortInUseRunsTheListenFailureAndEndsReconnection)
{
    int port = 0;
    int taken = boundSocket(&port, true);
    ASSERT_GE(taken, 0);
    listenFailures = 0;
    SocketTransport transport(port, "127.0.0.1", countListenFailure);
    EXPECT_FALSE(transport.listen());
    EXPECT_EQ(listenFailures, 1);
    EXPECT_FALSE(transport.canReconnect());
    EXPECT_FALSE(transport.connect()) << "listening is tried again, and fails again";
    EXPECT_EQ(listenFailures, 2);
    close(taken);
}

std::string listenCapturing(SocketTransport &transport, bool *listened)
{
    testing::internal::CaptureStderr();
    *listened = transport.listen();
    return testing::internal::GetCapturedStderr();
}

TEST(SocketTransportTest, AddressesThatDoNotConvertListenNowhere)
{
    PortReservation held;
    ASSERT_NE(held.port, 0);
    const std::string port = std::to_string(held.port);
    struct Case {
        const char *address;
        int port;
        std::string log;
    };
    const Case cases[] = {
        {"999.1.1.1", held.port,
         "Orvane> Using address 999.1.1.1.\nOrvane> ERROR: Could not convert address 999.1.1.1 of option address=: not an IPv4 or IPv6 "
         "address.\n"},
        {"1.2.3", held.port,
         "Orvane> Using address 1.2.3.\nOrvane> ERROR: Could not convert address 1.2.3 of option address=: not an IPv4 or IPv6 address.\n"},
        {"fe80::zz", held.port,
         "Orvane> Using address fe80::zz.\nOrvane> ERROR: Could not convert address fe80::zz of option address=: not an IPv4 or IPv6 "
         "address.\n"},
        // A documentation address that no interface of this machine has.
        {"192.0.2.1", held.port,
         "Orvane> Using address 192.0.2.1.\nOrvane> ERROR: Could not bind socket to address 192.0.2.1 port " + port +
             ": Cannot assign requested address.\n"},
        {"127.0.0.1", -1, "Orvane> ERROR: Could not listen: no valid port.\n"},
        {"127.0.0.1", 65536, "Orvane> ERROR: Could not listen: no valid port.\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.address);
        listenFailures = 0;
        SocketTransport transport(c.port, c.address, countListenFailure);
        bool listened = true;
        EXPECT_EQ(listenCapturing(transport, &listened), c.log);
        EXPECT_FALSE(listened);
        EXPECT_EQ(listenFailures, 1);
        EXPECT_FALSE(transport.canReconnect());
    }
}

TEST(SocketTransportTest, LiteralAddressesAndLocalhostListenOnLoopback)
{
    struct Case {
        const char *address;
        int family;
    };
    const Case cases[] = {{"127.0.0.1", AF_INET}, {"localhost", AF_INET}, {"::1", AF_INET6}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.address);
        if (c.family == AF_INET6) {
            int probe = socket(AF_INET6, SOCK_STREAM, 0);
            sockaddr_in6 any6 = {};
            any6.sin6_family = AF_INET6;
            any6.sin6_addr = in6addr_loopback;
            bool haveV6 = probe >= 0 && bind(probe, reinterpret_cast<sockaddr *>(&any6), sizeof any6) == 0;
            close(probe);
            if (!haveV6)
                continue;
        }
        // Hold the port in the address family the transport listens on.
        int hold = socket(c.family, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(hold, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_storage where = {};
        socklen_t length;
        if (c.family == AF_INET) {
            *reinterpret_cast<sockaddr_in *>(&where) = loopback(0);
            length = sizeof(sockaddr_in);
        } else {
            sockaddr_in6 *v6 = reinterpret_cast<sockaddr_in6 *>(&where);
            v6->sin6_family = AF_INET6;
            v6->sin6_addr = in6addr_loopback;
            length = sizeof(sockaddr_in6);
        }
        ASSERT_EQ(bind(hold, reinterpret_cast<sockaddr *>(&where), length), 0);
        ASSERT_EQ(getsockname(hold, reinterpret_cast<sockaddr *>(&where), &length), 0);
        int port = ntohs(c.family == AF_INET ? reinterpret_cast<sockaddr_in *>(&where)->sin_port
                                             : reinterpret_cast<sockaddr_in6 *>(&where)->sin6_port);
        SocketTransport transport(port, c.address, countListenFailure);
        bool listened = false;
        EXPECT_EQ(listenCapturing(transport, &listened), std::string("Orvane> Using address ") + c.address + ".\n");
        ASSERT_TRUE(listened);
        int client = socket(c.family, SOCK_STREAM, 0);
        ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&where), length), 0) << "listening on loopback";
        Bytes hello = GOOD_HELLO;
        ASSERT_EQ(write(client, hello.data(), hello.size()), static_cast<ssize_t>(hello.size()));
        testing::internal::CaptureStderr();
        EXPECT_TRUE(transport.connect());
        testing::internal::GetCapturedStderr();
        transport.shutdown();
        EXPECT_EQ(readAll(client, 64), AGENT_HELLO);
        close(client);
        close(hold);
    }
}

// Clients that do not complete the handshake in time (silent, too little too
// slowly, greeted but never confirming) are closed once its time is up, each
// with what it earned before; the front end behind them is served.
TEST(SocketTransportTest, ClientsThatDoNotCompleteTheHandshakeAreClosedAtTheLimit)
{
    struct Stalled {
        Bytes sent;
        Bytes answered;
    };
    const struct {
        const char *name;
        std::vector<Stalled> stalled;
    } cases[] = {
        {"idle, then a partial hello", {{{}, {}}, {u4(31), {}}}},
        {"greeted, never confirms", {{u4(31) + u4(0), AGENT_HELLO}}},
    };
    const std::string limit = "Orvane> ERROR: A client did not complete the handshake within 200 ms; connection closed.\n";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        PortReservation held;
        ASSERT_NE(held.port, 0);
        SocketTransport transport(held.port, "127.0.0.1", countListenFailure, 200);
        ASSERT_TRUE(transport.listen());
        std::vector<int> stalled;
        std::string lines;
        for (const Stalled &client : c.stalled) {
            stalled.push_back(frontend(held.port, client.sent));
            ASSERT_GE(stalled.back(), 0);
            lines += limit;
        }
        int good = frontend(held.port, GOOD_HELLO);
        ASSERT_GE(good, 0);
        testing::internal::CaptureStderr();
        ASSERT_TRUE(transport.connect());
        EXPECT_EQ(testing::internal::GetCapturedStderr(), lines);
        for (size_t i = 0; i < stalled.size(); i++)
            EXPECT_EQ(readAll(stalled[i], 64), c.stalled[i].answered) << "client " << i;
        transport.shutdown();
        EXPECT_EQ(readAll(good, 64), AGENT_HELLO);
        for (int client : stalled)
            close(client);
        close(good);
    }
}

// The VM ends while the serving thread waits in accept: the wait ends at
// once, without an error line, and no front end is waited for any more.
TEST(SocketTransportTest, AnInterruptEndsTheWaitForAFrontEndForGood)
{
    for (int delayMs : {0, 50}) {
        SCOPED_TRACE(delayMs);
        PortReservation held;
        int port = held.port;
        ASSERT_NE(port, 0);
        SocketTransport transport(port, "127.0.0.1", countListenFailure);
        ASSERT_TRUE(transport.listen());
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        std::future<bool> served = std::async(std::launch::async, [&transport] { return transport.connect(); });
        // Before the serving thread gets to accept, or while it waits there.
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        transport.interrupt();
        ASSERT_EQ(served.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_FALSE(served.get());
        EXPECT_FALSE(transport.canReconnect());
        EXPECT_FALSE(transport.connect()) << "no other front end is waited for";
        std::string said = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
        EXPECT_EQ(said.find("Invalid client socket"), std::string::npos) << said;
    }
}

} // namespace
