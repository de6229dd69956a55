#include "SocketCommunicator.h"

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

SocketCommunicator::SocketCommunicator(ProfilingSession *session, int port, const std::string &address)
    : Communicator(session), connectionSocket(-1), port(port), listenSocket(-1), address(address)
{
}

SocketCommunicator::~SocketCommunicator()
{
    setStreams(nullptr, nullptr);
    closeConnection();
    if (listenSocket >= 0)
        close(listenSocket);
}

void SocketCommunicator::inheritListenSocket(SocketCommunicator *previous)
{
    if (previous == nullptr || previous == this)
        return;
    if (listenSocket >= 0)
        close(listenSocket);
    listenSocket = previous->listenSocket;
    previous->listenSocket = -1;
}

int SocketCommunicator::getListenPort() const
{
    struct sockaddr_in where = {};
    socklen_t length = sizeof where;
    if (listenSocket < 0 || getsockname(listenSocket, reinterpret_cast<struct sockaddr *>(&where), &length) != 0)
        return 0;
    return ntohs(where.sin_port);
}

void SocketCommunicator::onListenFailure()
{
    listenFailed = 1;
    ended = 1;
}

bool SocketCommunicator::listenOnPort()
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
    if (listen(s, BACKLOG) != 0) {
        MessageUtil::message("ERROR: Could not listen on socket.");
        close(s);
        return false;
    }
    listenSocket = s;
    return true;
}

bool SocketCommunicator::handshake()
{
    uint32_t hello = reader->readU4(0);
    uint32_t helloVersion = reader->readU4(0);
    if (!reader->getError() && hello == CLIENT_HELLO && helloVersion == CLIENT_HELLO_VERSION) {
        writer->writeU4(MAGIC);
        writer->writeString(std::to_string(ProfilingSession::PROTOCOL_VERSION).c_str());
        writer->flush();
        if (reader->readU4(0) == MAGIC && !reader->getError() && !writer->getError())
            return true;
    }
    MessageUtil::message("ERROR: another application or an unsupported");
    MessageUtil::message("version of Orvane tried to connect.");
    return false;
}

bool SocketCommunicator::listenNow()
{
    if (port == 0)
        return false;
    if (listenSocket < 0 && !listenOnPort()) {
        onListenFailure();
        return false;
    }
    return true;
}

bool SocketCommunicator::establishConnection()
{
    if (!listenNow())
        return false;
    while (!ended) {
        int s;
        do {
            s = accept4(listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
        } while (s < 0 && errno == EINTR);
        if (s < 0) {
            MessageUtil::message("ERROR: Invalid client socket.");
            ended = 1;
            return false;
        }
        // Replies are small and answered one at a time: do not let them wait for more.
        int on = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        connectionSocket = s;
        setStreams(new SocketDataReader(s), new SocketDataWriter(s));
        if (handshake())
            return true;
        closeConnection();
    }
    return false;
}

void SocketCommunicator::closeConnection()
{
    // The streams write to the socket: they go first, so that nothing can reach
    // a descriptor number the process has reused.
    setStreams(nullptr, nullptr);
    if (connectionSocket < 0)
        return;
    close(connectionSocket);
    connectionSocket = -1;
}

void SocketCommunicator::cleanupConnection()
{
    if (port == 0)
        return;
    closeConnection();
    if (listenSocket >= 0) {
        close(listenSocket);
        listenSocket = -1;
    }
}
