#include "SocketTransport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "MessageUtil.h"
#include "ProfilingSession.h"
#include "SocketDataReader.h"
#include "SocketDataWriter.h"

namespace {

const int BACKLOG = 10;

// Text that can only be meant as a literal address: digits and dots, or
// anything with a colon. It is never looked up as a name.
bool looksLiteral(const std::string &text)
{
    if (text.find(':') != std::string::npos)
        return true;
    return text.find_first_not_of("0123456789.") == std::string::npos;
}

// The socket address for `address` (empty: every IPv4 address) and `port`.
// A literal address is taken as it is; a name is resolved, its first IPv4
// address preferred. False when it fails, with the reason in `why`.
bool resolveAddress(const std::string &address, int port, sockaddr_storage *out, socklen_t *length, std::string *why)
{
    memset(out, 0, sizeof *out);
    sockaddr_in *v4 = reinterpret_cast<sockaddr_in *>(out);
    sockaddr_in6 *v6 = reinterpret_cast<sockaddr_in6 *>(out);
    uint16_t networkPort = htons(static_cast<uint16_t>(port));
    if (address.empty() || inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        if (address.empty())
            v4->sin_addr.s_addr = htonl(INADDR_ANY);
        v4->sin_family = AF_INET;
        v4->sin_port = networkPort;
        *length = sizeof *v4;
        return true;
    }
    if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = networkPort;
        *length = sizeof *v6;
        return true;
    }
    if (looksLiteral(address)) {
        *why = "not an IPv4 or IPv6 address";
        return false;
    }
    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *found = nullptr;
    int error = getaddrinfo(address.c_str(), nullptr, &hints, &found);
    if (error != 0) {
        *why = gai_strerror(error);
        return false;
    }
    const struct addrinfo *chosen = nullptr;
    for (const struct addrinfo *a = found; a != nullptr; a = a->ai_next) {
        bool usable = (a->ai_family == AF_INET && a->ai_addrlen == sizeof(sockaddr_in)) ||
                      (a->ai_family == AF_INET6 && a->ai_addrlen == sizeof(sockaddr_in6));
        if (usable && (chosen == nullptr || (chosen->ai_family != AF_INET && a->ai_family == AF_INET)))
            chosen = a;
    }
    if (chosen == nullptr) {
        freeaddrinfo(found);
        *why = "the name has no IPv4 or IPv6 address";
        return false;
    }
    memcpy(out, chosen->ai_addr, chosen->ai_addrlen);
    *length = chosen->ai_addrlen;
    freeaddrinfo(found);
    if (out->ss_family == AF_INET)
        v4->sin_port = networkPort;
    else
        v6->sin6_port = networkPort;
    return true;
}

// The address part of a socket address as text.
std::string addressText(const sockaddr_storage &where)
{
    char text[INET6_ADDRSTRLEN] = "?";
    const void *raw = where.ss_family == AF_INET ? static_cast<const void *>(&reinterpret_cast<const sockaddr_in *>(&where)->sin_addr)
                                                 : static_cast<const void *>(&reinterpret_cast<const sockaddr_in6 *>(&where)->sin6_addr);
    inet_ntop(where.ss_family, raw, text, sizeof text);
    return text;
}

using Clock = std::chrono::steady_clock;

// Reads exactly `length` bytes before `deadline`. False when the peer closed,
// failed or was too slow (`timedOut` then set).
bool receiveBefore(int s, uint8_t *data, size_t length, Clock::time_point deadline, bool *timedOut)
{
    size_t have = 0;
    while (have < length) {
        long long left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            *timedOut = true;
            return false;
        }
        struct pollfd p = {s, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return false;
        if (ready == 0)
            continue;
        ssize_t n = recv(s, data + have, length - have, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        have += static_cast<size_t>(n);
    }
    return true;
}

uint32_t bigEndianU4(const uint8_t *b)
{
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | uint32_t(b[3]);
}

} // namespace

SocketTransport::SocketTransport(int port, const std::string &address, ListenFailure onListenFailure, int handshakeLimitMs)
    : port(port), address(address), onListenFailure(onListenFailure), handshakeLimitMs(handshakeLimitMs), listenFailed(false),
      listenSocket(-1), connectionSocket(-1)
{
}

SocketTransport::~SocketTransport()
{
    shutdown();
}

bool SocketTransport::listenOnPort()
{
    if (port < 1 || port > 65535) {
        MessageUtil::message("ERROR: Could not listen: no valid port.");
        return false;
    }
    sockaddr_storage where;
    socklen_t whereLength = 0;
    std::string why;
    if (!address.empty())
        MessageUtil::message("Using address %s.", address.c_str());
    if (!resolveAddress(address, port, &where, &whereLength, &why)) {
        // Listening on every address instead would open the port to the
        // network because of a typo.
        MessageUtil::message("ERROR: Could not convert address %s of option address=: %s.", address.c_str(), why.c_str());
        return false;
    }
    int s = socket(where.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        MessageUtil::message("ERROR: Could not create socket.");
        return false;
    }
    int on = 1;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        MessageUtil::message("ERROR: Could not set socket options.");
        close(s);
        return false;
    }
    if (bind(s, reinterpret_cast<struct sockaddr *>(&where), whereLength) != 0) {
        int error = errno;
        MessageUtil::message("ERROR: Could not bind socket to address %s port %d: %s.", addressText(where).c_str(), port, strerror(error));
        close(s);
        return false;
    }
    if (::listen(s, BACKLOG) != 0) {
        int error = errno;
        MessageUtil::message("ERROR: Could not listen on socket (port %d): %s.", port, strerror(error));
        close(s);
        return false;
    }
    listenSocket = s;
    return true;
}

bool SocketTransport::handshake()
{
    // The whole handshake has one time limit: a client that connects and
    // says nothing, or trickles, must not keep the next front end out.
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(handshakeLimitMs);
    bool timedOut = false;
    uint8_t hello[8];
    if (receiveBefore(connectionSocket, hello, sizeof hello, deadline, &timedOut) && bigEndianU4(hello) == CLIENT_HELLO &&
        bigEndianU4(hello + 4) == CLIENT_HELLO_VERSION) {
        out->writeU4(MAGIC);
        out->writeString(std::to_string(ProfilingSession::PROTOCOL_VERSION).c_str());
        out->flush();
        uint8_t confirm[4];
        if (receiveBefore(connectionSocket, confirm, sizeof confirm, deadline, &timedOut) && bigEndianU4(confirm) == MAGIC &&
            !out->getError())
            return true;
    }
    if (timedOut) {
        MessageUtil::message("ERROR: A client did not complete the handshake within %d ms; connection closed.", handshakeLimitMs);
        return false;
    }
    MessageUtil::message("ERROR: another application or an unsupported");
    MessageUtil::message("version of Orvane tried to connect.");
    return false;
}

bool SocketTransport::listen()
{
    if (listenSocket >= 0)
        return true;
    if (listenOnPort())
        return true;
    if (onListenFailure != nullptr)
        onListenFailure();
    listenFailed = true;
    return false;
}

bool SocketTransport::connect()
{
    if (!listen())
        return false;
    for (;;) {
        // A thread blocked in accept counts as running native code, and the
        // VM waits for such threads at its end: interrupt() wakes it.
        if (interrupted)
            return false;
        int s;
        do {
            s = accept4(listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
        } while (s < 0 && errno == EINTR);
        if (s < 0) {
            if (!interrupted)
                MessageUtil::message("ERROR: Invalid client socket.");
            return false;
        }
        // Replies are small and answered one at a time: do not let them wait for more.
        int on = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        connectionSocket = s;
        in.reset(new SocketDataReader(s));
        out.reset(new SocketDataWriter(s));
        if (handshake())
            return true;
        disconnect();
    }
}

void SocketTransport::disconnect()
{
    // The streams write to the socket: they go first, so that nothing can reach
    // a descriptor number the process has reused.
    in.reset();
    out.reset();
    if (connectionSocket < 0)
        return;
    close(connectionSocket);
    connectionSocket = -1;
}

void SocketTransport::interrupt()
{
    interrupted = true;
    int s = listenSocket;
    if (s >= 0)
        ::shutdown(s, SHUT_RDWR);
}

void SocketTransport::shutdown()
{
    disconnect();
    if (listenSocket >= 0) {
        close(listenSocket);
        listenSocket = -1;
    }
}
