// The QVS server's pcode reader: a peer's byte stream (4-byte headers, each
// followed by its data) read pcode by pcode as the receiver thread reads it,
// until the stream ends or the reader refuses a header.
#include "FuzzSupport.h"

#include "qvsInterface/qvsInterface.h"
#include "qvsInterface/qvsInterfacePrivate.h"

#include <sys/socket.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 1 << 16)
        return 0;
    fuzzSupport::cardRoot();
    static qvsTcpBuffer_t buffer = {};
    static qvsPeer_t peer = {};
    static bool ready = false;
    if (!ready) {
        qvsInterfaceTcpPeerInit(&peer, &buffer, 0, 1);
        snprintf(peer.address, sizeof peer.address, "127.0.0.1");
        ready = true;
    }
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        abort();
    int bufferSize = 1 << 18;
    setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
    setsockopt(pair[1], SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
    if (size && send(pair[0], data, size, MSG_NOSIGNAL) != (ssize_t)size)
        abort();
    shutdown(pair[0], SHUT_WR);
    while (qvsInterfaceTcpReadPcode(&peer, pair[1], 20) > 0) {
    }
    close(pair[0]);
    close(pair[1]);
    return 0;
}
