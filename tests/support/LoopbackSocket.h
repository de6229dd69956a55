#ifndef KVR_TESTS_LOOPBACKSOCKET_H
#define KVR_TESTS_LOOPBACKSOCKET_H

#include <arpa/inet.h>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
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

} // namespace loopbackSocket

#endif
