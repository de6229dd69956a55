#include "SocketTransport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "MessageUtil.h"
#include "ProfilingSession.h"
#include "SocketDataReader.h"
#include "SocketDataWriter.h"

namespace {
const int BACKLOG = 10;
}

SocketTransport::SocketTransport(int port, const std::string &address, ListenFailure onListenFailure)
    : port(port), address(address), onListenFailure(onListenFailure), listenFailed(false), listenSocket(-1),
      connectionSocket(-1)
{
}

SocketTransport::~SocketTransport()
{
    shutdown();
}

bool SocketTransport::listenOnPort()
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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
    struct sockaddr_in where = {};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<uint16_t>(port));
    where.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!address.empty()) {
        MessageUtil::message("Using address %s.", address.c_str());
        if (inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) {
            MessageUtil::message("ERROR: Could not convert address.");
            where.sin_addr.s_addr = htonl(INADDR_ANY);
        }
    }
    if (bind(s, reinterpret_cast<struct sockaddr *>(&where), sizeof where) != 0) {
        MessageUtil::message("ERROR: Could not bind socket.");
        close(s);
        return false;
    }
    if (::listen(s, BACKLOG) != 0) {
        MessageUtil::message("ERROR: Could not listen on socket.");
        close(s);
        return false;
    }
    listenSocket = s;
    return true;
}

bool SocketTransport::handshake()
{
    uint32_t hello = in->readU4(0);
    uint32_t helloVersion = in->readU4(0);
    if (!in->getError() && hello == CLIENT_HELLO && helloVersion == CLIENT_HELLO_VERSION) {
        out->writeU4(MAGIC);
        out->writeString(std::to_string(ProfilingSession::PROTOCOL_VERSION).c_str());
        out->flush();
        if (in->readU4(0) == MAGIC && !in->getError() && !out->getError())
            return true;
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
