#include "LiveCommunicator.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "MessageUtil.h"

namespace {
const int BACKLOG = 10;
}

LiveCommunicator::LiveCommunicator(int port, const std::string &address)
    : port(port), address(address), listenSocket(-1), status(STATUS_WAITING), listenFailed(false), connected(false),
      exitProcess(false), interruptProcess(false)
{
}

LiveCommunicator::LiveCommunicator(int port, const std::string &address, LiveCommunicator *previous)
    : LiveCommunicator(port, address)
{
    if (previous != nullptr) {
        listenSocket = previous->listenSocket;
        previous->listenSocket = -1;
    }
}

LiveCommunicator::~LiveCommunicator()
{
    if (listenSocket >= 0)
        close(listenSocket);
}

bool LiveCommunicator::establishListening()
{
    if (listenSocket >= 0)
        return true;
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

bool LiveCommunicator::run()
{
    if (!establishListening()) {
        listenFailed = true;
        return false;
    }
    int connection;
    do {
        connection = accept4(listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
    } while (connection < 0 && errno == EINTR);
    if (connection < 0) {
        MessageUtil::message("ERROR: Invalid client socket.");
        return true;
    }
    serve(connection);
    close(connection);
    return true;
}

void LiveCommunicator::serve(int connection)
{
    // No request is understood here yet: the connection is held until the
    // peer closes it, and the status stays "waiting".
    char sink[512];
    for (;;) {
        ssize_t n = recv(connection, sink, sizeof sink, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
    }
}
