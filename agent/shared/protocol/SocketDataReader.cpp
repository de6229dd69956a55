#include "SocketDataReader.h"

#include <cerrno>
#include <sys/socket.h>

SocketDataReader::~SocketDataReader() = default;

int SocketDataReader::mdRead(void *buffer, int length)
{
    for (;;) {
        ssize_t n = recv(socket, buffer, length, 0);
        if (n < 0 && errno == EINTR)
            continue;
        return static_cast<int>(n);
    }
}
