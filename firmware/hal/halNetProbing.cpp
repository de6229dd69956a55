#include "hal/halPrivate.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

/*
 * The ethernet-probing device under a card root. On the card "/dev/netprobing"
 * is a character device that hands over one whole buffer per read. Below a
 * card root the node is a sequenced-packet socket that the card emulator (or
 * a test) listens on: each message is one buffer, so a read keeps the same
 * one-buffer-per-read contract. A message longer than the reader's buffer
 * reports its full length, as the driver reports an over-long buffer. Reads
 * wait at most 200 ms (EAGAIN) so that a reader can look at its state.
 */

namespace {

enum { READ_TIMEOUT_US = 200000 };

int netProbingOpen(void *, const char *cardPath)
{
    std::string path = halPath(cardPath);
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(address.sun_path, path.c_str(), path.size());
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, (struct sockaddr *)&address, sizeof address) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    struct timeval timeout = {0, READ_TIMEOUT_US};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return fd;
}

int netProbingClose(void *, int fd)
{
    return close(fd);
}

ssize_t netProbingRead(void *, int fd, void *buffer, size_t length)
{
    return recv(fd, buffer, length, MSG_TRUNC);
}

ssize_t netProbingWrite(void *, int fd, const void *buffer, size_t length)
{
    return send(fd, buffer, length, MSG_NOSIGNAL);
}

} // namespace

const char HAL_NET_PROBING_DEVICE[] = "/dev/netprobing";

const halDeviceBackend_t halNetProbingBackend = {
    netProbingOpen, netProbingClose, nullptr, nullptr, nullptr, nullptr, netProbingRead, netProbingWrite, nullptr,
};
