#include "SocketDataWriter.h"

#include <cerrno>
#include <sys/socket.h>

SocketDataWriter::~SocketDataWriter() = default;

int SocketDataWriter::mdSend(const void *data, int length)
{
    const char *bytes = static_cast<const char *>(data);
    int sent = 0;
    while (sent < length) {
        ssize_t n = send(socket, bytes + sent, length - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            setError();
            return -1;
        }
        sent += static_cast<int>(n);
    }
    return sent;
}
