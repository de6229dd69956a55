// The socket transport's handshake on loopback, byte for byte.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "SocketTransport.h"

namespace {

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

// A port nobody uses: bound once by the system and released.
int freePort()
{
    int port = 0;
    int s = boundSocket(&port, false);
    close(s);
    return s >= 0 ? port : 0;
}

const Bytes GOOD_HELLO = u4(31) + u4(0) + u4(0xCAFED00D);
// The magic and the protocol version "36" as a string.
const Bytes AGENT_HELLO = Bytes{0xCA, 0xFE, 0xD0, 0x0D} + Bytes{0, 2, '3', '6'};

TEST(SocketTransportTest, RefusedClientsAreDroppedAndTheNextIsGreeted)
{
    int port = freePort();
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

// The VM ends while the serving thread waits in accept: the wait ends at
// once, without an error line, and no front end is waited for any more.
TEST(SocketTransportTest, AnInterruptEndsTheWaitForAFrontEndForGood)
{
    for (int delayMs : {0, 50}) {
        SCOPED_TRACE(delayMs);
        int port = freePort();
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
