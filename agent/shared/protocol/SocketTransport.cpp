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

// Clients queue here while a front end is served, and go on to the pending
// handshakes when none is.
const int BACKLOG = 64;
// Clients heard at once before the handshake; more wait in the queue.
const size_t MAX_PENDING = 32;
const size_t HELLO_SIZE = 8;
const size_t CONFIRM_SIZE = 4;
// The longest a wait for clients sleeps before it looks at interrupt().
const int POLL_STEP_MS = 500;

// Text that can only be meant as a literal address: digits and dots, or
// anything with a colon. It is never looked up as a name.
bool looksLiteral(const std::string &text)
{
    if (text.find(':') != std::string::npos)
        return true;
    return text.find_first_not_of("0123456789.") == std::string::npos;
}

// The socket address for `address` and `port`. A literal address is taken as
// it is; a name is resolved, its first IPv4 address preferred. False when it
// fails, with the reason in `why`.
bool resolveAddress(const std::string &address, int port, sockaddr_storage *out, socklen_t *length, std::string *why)
{
    memset(out, 0, sizeof *out);
    sockaddr_in *v4 = reinterpret_cast<sockaddr_in *>(out);
    sockaddr_in6 *v6 = reinterpret_cast<sockaddr_in6 *>(out);
    uint16_t networkPort = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
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

// Whether a socket address is the wildcard of its family: every interface.
bool isEveryInterface(const sockaddr_storage &where)
{
    if (where.ss_family == AF_INET)
        return reinterpret_cast<const sockaddr_in *>(&where)->sin_addr.s_addr == htonl(INADDR_ANY);
    return IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6 *>(&where)->sin6_addr);
}

using Clock = std::chrono::steady_clock;

uint32_t bigEndianU4(const uint8_t *b)
{
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | uint32_t(b[3]);
}

} // namespace

SocketTransport::SocketTransport(int port, const std::string &address, ListenFailure onListenFailure, int handshakeLimitMs,
                                 int requestLimitMs)
    : port(port), address(address), onListenFailure(onListenFailure), handshakeLimitMs(handshakeLimitMs),
      requestLimitMs(requestLimitMs), listenFailed(false), listenSocket(-1), connectionSocket(-1)
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
    if (address.empty()) {
        MessageUtil::message("ERROR: Option address= refused: no address given.");
        return false;
    }
    MessageUtil::message("Using address %s.", address.c_str());
    if (!resolveAddress(address, port, &where, &whereLength, &why)) {
        // Listening on every address instead would open the port to the
        // network because of a typo.
        MessageUtil::message("ERROR: Could not convert address %s of option address=: %s.", address.c_str(), why.c_str());
        return false;
    }
    if (isEveryInterface(where))
        MessageUtil::message("WARNING: Listening on every interface (address %s): any host that reaches this machine can "
                             "load classes into this VM and end it.",
                             address.c_str());
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

SocketTransport::HandshakeStep SocketTransport::advanceHandshake(PendingClient &client)
{
    // Never read past the confirmation: what follows is the first request.
    size_t need = client.have < HELLO_SIZE ? HELLO_SIZE : HELLO_SIZE + CONFIRM_SIZE;
    ssize_t n;
    do {
        n = recv(client.socket, client.received + client.have, need - client.have, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return HandshakeStep::WAITING;
    if (n <= 0)
        return HandshakeStep::REFUSED;
    client.have += static_cast<size_t>(n);
    if (client.have < need)
        return HandshakeStep::WAITING;
    if (need == HELLO_SIZE) {
        if (bigEndianU4(client.received) != CLIENT_HELLO || bigEndianU4(client.received + 4) != CLIENT_HELLO_VERSION)
            return HandshakeStep::REFUSED;
        SocketDataWriter greeting(client.socket);
        greeting.writeU4(MAGIC);
        greeting.writeString(std::to_string(ProfilingSession::PROTOCOL_VERSION).c_str());
        greeting.flush();
        return greeting.getError() ? HandshakeStep::REFUSED : HandshakeStep::WAITING;
    }
    return bigEndianU4(client.received + HELLO_SIZE) == MAGIC ? HandshakeStep::DONE : HandshakeStep::REFUSED;
}

void SocketTransport::closeExpired()
{
    Clock::time_point now = Clock::now();
    for (size_t i = pending.size(); i-- > 0;) {
        if (pending[i].deadline > now)
            continue;
        MessageUtil::message("ERROR: A client did not complete the handshake within %d ms; connection closed.", handshakeLimitMs);
        close(pending[i].socket);
        pending.erase(pending.begin() + static_cast<long>(i));
    }
}

bool SocketTransport::acceptPending()
{
    int s;
    do {
        s = accept4(listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
    } while (s < 0 && errno == EINTR);
    if (s >= 0) {
        PendingClient client = {s, Clock::now() + std::chrono::milliseconds(handshakeLimitMs), {}, 0};
        pending.push_back(client);
        return true;
    }
    // A client that gave up between the wake-up and the accept.
    if (!interrupted && (errno == ECONNABORTED || errno == EAGAIN || errno == EWOULDBLOCK))
        return true;
    if (!interrupted)
        MessageUtil::message("ERROR: Invalid client socket.");
    return false;
}

void SocketTransport::adopt(int s)
{
    // Replies are small and answered one at a time: do not let them wait for more.
    int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    connectionSocket = s;
    in.reset(new SocketDataReader(s));
    out.reset(new SocketDataWriter(s));
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
    // Clients left from the last round were not heard while a front end was
    // served: each gets its whole limit again.
    for (PendingClient &c : pending)
        c.deadline = Clock::now() + std::chrono::milliseconds(handshakeLimitMs);
    std::vector<struct pollfd> watched;
    for (;;) {
        // A thread blocked here counts as running native code, and the VM
        // waits for such threads at its end: interrupt() wakes it.
        if (interrupted)
            return false;
        closeExpired();
        int wait = POLL_STEP_MS;
        Clock::time_point now = Clock::now();
        watched.assign(1, {listenSocket, static_cast<short>(pending.size() < MAX_PENDING ? POLLIN : 0), 0});
        for (const PendingClient &c : pending) {
            watched.push_back({c.socket, POLLIN, 0});
            long long left = std::chrono::duration_cast<std::chrono::milliseconds>(c.deadline - now).count() + 1;
            if (left < wait)
                wait = static_cast<int>(left);
        }
        int ready = poll(watched.data(), watched.size(), wait);
        if (ready < 0 && errno != EINTR) {
            MessageUtil::message("ERROR: Invalid client socket.");
            return false;
        }
        if (ready <= 0)
            continue;
        for (size_t i = pending.size(); i-- > 0;) {
            if (watched[i + 1].revents == 0)
                continue;
            HandshakeStep step = advanceHandshake(pending[i]);
            if (step == HandshakeStep::WAITING)
                continue;
            int s = pending[i].socket;
            pending.erase(pending.begin() + static_cast<long>(i));
            if (step == HandshakeStep::DONE) {
                adopt(s);
                return true;
            }
            close(s);
            MessageUtil::message("ERROR: another application or an unsupported");
            MessageUtil::message("version of Orvane tried to connect.");
        }
        if (watched[0].revents != 0 && !acceptPending())
            return false;
    }
}

bool SocketTransport::nextRequest()
{
    if (in == nullptr)
        return false;
    // A front end may rest as long as it likes between requests.
    struct pollfd p = {connectionSocket, POLLIN, 0};
    while (poll(&p, 1, -1) < 0) {
        if (errno != EINTR)
            return false;
    }
    in->startRequest(requestLimitMs);
    return true;
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
    for (const PendingClient &c : pending)
        close(c.socket);
    pending.clear();
    if (listenSocket >= 0) {
        close(listenSocket);
        listenSocket = -1;
    }
}
