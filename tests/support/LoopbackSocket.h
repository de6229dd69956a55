#ifndef KVR_TESTS_LOOPBACKSOCKET_H
#define KVR_TESTS_LOOPBACKSOCKET_H

#include <arpa/inet.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

// Small socket helpers of the tests that talk to a server on loopback.
namespace loopbackSocket {

typedef std::vector<uint8_t> Bytes;

// A listening socket on 127.0.0.1 with a port of the kernel's choice; -1 on failure.
inline int listener(int *port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, (struct sockaddr *)&local, sizeof local) != 0)
        return -1;
    socklen_t length = sizeof local;
    getsockname(fd, (struct sockaddr *)&local, &length);
    *port = ntohs(local.sin_port);
    return fd;
}

// A port of 127.0.0.1 that refuses connections for as long as the returned
// socket stays open: bound (so no other test can take it) and never listening.
// Close the socket when done; -1 on failure.
inline int refusingPort(uint16_t *port)
{
    int bound = 0;
    int fd = listener(&bound);
    *port = (uint16_t)bound;
    return fd;
}

inline bool sendAll(int fd, const Bytes &bytes)
{
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == (ssize_t)bytes.size();
}

// Up to `length` bytes: fewer when the peer stops or closes first.
inline Bytes receive(int fd, size_t length)
{
    Bytes bytes(length);
    size_t got = 0;
    while (got < length) {
        ssize_t n = recv(fd, bytes.data() + got, length - got, 0);
        if (n <= 0)
            break;
        got += (size_t)n;
    }
    bytes.resize(got);
    return bytes;
}

// A loopback port held for a test: the system picks it (port 0) and the
// socket stays bound with SO_REUSEADDR and does not listen. The system then
// gives the port to no other socket that asks for any port, and a program
// told the port can still listen on it when its own socket reuses the
// address (as the agent's does). A port freed and named later could be taken
// by a parallel test in between; this one cannot.
class PortReservation {
public:
    PortReservation()
    {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        struct sockaddr_in local;
        memset(&local, 0, sizeof local);
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof local;
        if (fd >= 0 && bind(fd, (struct sockaddr *)&local, sizeof local) == 0 &&
            getsockname(fd, (struct sockaddr *)&local, &length) == 0)
            port = ntohs(local.sin_port);
    }
    ~PortReservation()
    {
        if (fd >= 0)
            close(fd);
    }
    PortReservation(const PortReservation &) = delete;
    PortReservation &operator=(const PortReservation &) = delete;
    int fd = -1;
    int port = 0; // 0 when no port could be held
};

// How many connections wait to be accepted by the socket listening on TCP
// `port` of this network namespace (IPv4 or IPv6); -1 when none listens.
inline int acceptBacklog(uint16_t port)
{
    for (const char *table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues;
            fields >> slot >> local >> remote >> state >> queues;
            size_t colon = local.rfind(':'), split = queues.find(':');
            if (state != "0A" || colon == std::string::npos || split == std::string::npos ||
                strtoul(local.c_str() + colon + 1, nullptr, 16) != port)
                continue;
            return (int)strtoul(queues.c_str() + split + 1, nullptr, 16);
        }
    }
    return -1;
}

} // namespace loopbackSocket

#endif
