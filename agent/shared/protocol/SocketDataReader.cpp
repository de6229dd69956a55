#include "SocketDataReader.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

#include "MessageUtil.h"

SocketDataReader::~SocketDataReader() = default;

void SocketDataReader::startRequest(int limit)
{
    limited = true;
    limitMs = limit;
    deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);
}

int SocketDataReader::mdRead(void *buffer, int length)
{
    for (;;) {
        if (expired)
            return -1;
        if (limited) {
            long long left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
            struct pollfd p = {socket, POLLIN, 0};
            int ready = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready < 0)
                return -1;
            if (ready == 0 && std::chrono::steady_clock::now() < deadline)
                continue;
            if (ready == 0) {
                // A client that sends part of a request and goes quiet would
                // keep every other front end out.
                expired = true;
                MessageUtil::message("ERROR: A request was not complete within %d ms; connection closed.", limitMs);
                return -1;
            }
        }
        ssize_t n = recv(socket, buffer, length, 0);
        if (n < 0 && errno == EINTR)
            continue;
        return static_cast<int>(n);
    }
}
