#include "qvsPeer.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>

enum {
    LOCAL_SHM_KEY = 5680,
    LOCAL_SEM_KEY = 1000,
    LOCAL_MSG_KEY = 1234,
    LOCAL_SHM_SIZE = 164864,
    LOCAL_TYPE_PCODE = 1000,
    LOCAL_TYPE_QUIT = 999,
    LOCAL_MESSAGE_MAX = 65536,
};

int qvsPeerSendLocalMessage(qvsPeer *peer, long type, const uint8_t *bytes, size_t length)
{
    if (length > LOCAL_MESSAGE_MAX)
        return -1;
    std::vector<uint8_t> message(sizeof(long) + length);
    memcpy(message.data(), &type, sizeof type);
    if (length)
        memcpy(message.data() + sizeof type, bytes, length);
    while (msgsnd(peer->messageQueueId, message.data(), length, 0) != 0) {
        if (errno != EINTR)
            return -1;
    }
    return 0;
}

static int localSendPcode(qvsPeer *peer, const uint8_t *pcode, uint32_t length)
{
    std::vector<uint8_t> text(sizeof length + length);
    memcpy(text.data(), &length, sizeof length);
    memcpy(text.data() + sizeof length, pcode, length);
    return qvsPeerSendLocalMessage(peer, LOCAL_TYPE_PCODE, text.data(), text.size());
}

static int localSendQuit(qvsPeer *peer)
{
    uint32_t zero = 0;
    return qvsPeerSendLocalMessage(peer, LOCAL_TYPE_QUIT, (const uint8_t *)&zero, sizeof zero);
}

static int localReadSharedMem(qvsPeer *peer, uint32_t offset, uint8_t *out, uint32_t length)
{
    if ((uint64_t)offset + length > peer->sharedMemorySize)
        return -1;
    memcpy(out, peer->sharedMemory + offset, length);
    return 0;
}

static int localWaitNotify(qvsPeer *peer, int timeoutMs)
{
    struct sembuf take = {0, -1, 0};
    struct timespec timeout = {timeoutMs / 1000, (long)(timeoutMs % 1000) * 1000000L};
    while (semtimedop(peer->semaphoreId, &take, 1, &timeout) != 0) {
        if (errno != EINTR)
            return -1;
    }
    return 0;
}

static void localClose(qvsPeer *peer)
{
    if (peer->sharedMemory)
        shmdt(peer->sharedMemory);
    peer->sharedMemory = nullptr;
}

static const qvsPeerTransport localTransport = {
    localSendPcode, localSendQuit, localReadSharedMem, localWaitNotify, localClose,
};

int qvsPeerOpenLocal(qvsPeer *peer)
{
    *peer = qvsPeer();
    peer->transport = &localTransport;
    peer->messageQueueId = msgget(LOCAL_MSG_KEY, IPC_CREAT | 0660);
    peer->semaphoreId = semget(LOCAL_SEM_KEY, 1, IPC_CREAT | 0660);
    peer->sharedMemoryId = shmget(LOCAL_SHM_KEY, LOCAL_SHM_SIZE, IPC_CREAT | 0660);
    if (peer->messageQueueId < 0 || peer->semaphoreId < 0 || peer->sharedMemoryId < 0)
        return -1;
    void *base = shmat(peer->sharedMemoryId, nullptr, SHM_RDONLY);
    if (base == (void *)-1)
        return -1;
    peer->sharedMemory = (uint8_t *)base;
    peer->sharedMemorySize = LOCAL_SHM_SIZE;
    return 0;
}

std::vector<uint8_t> qvsPeerBuildPcode(uint8_t classCode, uint8_t pcodeId, const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> pcode(4 + data.size());
    pcode[0] = classCode;
    pcode[1] = pcodeId;
    pcode[2] = (uint8_t)(data.size() >> 8);
    pcode[3] = (uint8_t)data.size();
    for (size_t i = 0; i < data.size(); i++)
        pcode[4 + i] = data[i];
    return pcode;
}

std::vector<uint8_t> qvsPeerBuildSetDevice(uint8_t slot, uint16_t device, uint16_t reg, uint32_t value)
{
    return qvsPeerBuildPcode(10, 1,
                             {slot, (uint8_t)(device >> 8), (uint8_t)device, (uint8_t)(reg >> 8), (uint8_t)reg,
                              (uint8_t)(value >> 24), (uint8_t)(value >> 16), (uint8_t)(value >> 8), (uint8_t)value});
}

/* Waits until the socket is readable; false on time-out or error. */
static bool readable(int fd, int timeoutMs)
{
    struct pollfd p = {fd, POLLIN, 0};
    for (;;) {
        int n = poll(&p, 1, timeoutMs);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = ETIMEDOUT;
        return n > 0;
    }
}

/* Reads more bytes into peer->received; 1 read, 0 end of stream, -1 time-out or error. */
static int receiveMore(qvsPeer *peer, int timeoutMs)
{
    if (!readable(peer->socket, timeoutMs))
        return -1;
    uint8_t bytes[65536];
    ssize_t got;
    while ((got = recv(peer->socket, bytes, sizeof bytes, 0)) < 0 && errno == EINTR) {
    }
    if (got < 0)
        return -1;
    if (got == 0)
        return 0;
    peer->received.insert(peer->received.end(), bytes, bytes + got);
    return 1;
}

static uint32_t bigEndian32(const uint8_t *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

/* Ensures `count` bytes are buffered, waiting until the deadline. */
static bool haveBytes(qvsPeer *peer, size_t count, struct timespec deadline)
{
    while (peer->received.size() < count) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long left = (deadline.tv_sec - now.tv_sec) * 1000L + (deadline.tv_nsec - now.tv_nsec) / 1000000L;
        if (left < 0 || receiveMore(peer, (int)left) != 1)
            return false;
    }
    return true;
}

static struct timespec deadlineAfter(int timeoutMs)
{
    struct timespec when;
    clock_gettime(CLOCK_MONOTONIC, &when);
    when.tv_sec += timeoutMs / 1000;
    when.tv_nsec += (long)(timeoutMs % 1000) * 1000000L;
    if (when.tv_nsec >= 1000000000L) {
        when.tv_sec++;
        when.tv_nsec -= 1000000000L;
    }
    return when;
}

static int readSizeWord(qvsPeer *peer, int timeoutMs)
{
    if (!haveBytes(peer, 4, deadlineAfter(timeoutMs)))
        return -1;
    peer->announcedSize = bigEndian32(peer->received.data());
    peer->received.erase(peer->received.begin(), peer->received.begin() + 4);
    if (peer->mirror.size() < peer->announcedSize && peer->announcedSize <= QVS_PEER_MIRROR_MAX)
        peer->mirror.resize(peer->announcedSize);
    return 0;
}

static int tcpSendPcode(qvsPeer *peer, const uint8_t *pcode, uint32_t length)
{
    return qvsPeerSendRaw(peer, pcode, length);
}

static int tcpSendQuit(qvsPeer *peer)
{
    (void)peer; /* the TCP link has no quit message */
    return -1;
}

static int tcpReadSharedMem(qvsPeer *peer, uint32_t offset, uint8_t *out, uint32_t length)
{
    if ((uint64_t)offset + length > peer->mirror.size())
        return -1;
    memcpy(out, peer->mirror.data() + offset, length);
    return 0;
}

/* Takes records up to and including the end record into the mirror. */
static int tcpWaitNotify(qvsPeer *peer, int timeoutMs)
{
    struct timespec deadline = deadlineAfter(timeoutMs);
    for (;;) {
        if (!haveBytes(peer, 8, deadline))
            return -1;
        uint32_t size = bigEndian32(peer->received.data());
        uint32_t remote = bigEndian32(peer->received.data() + 4);
        if (size == 0 && remote == 0) {
            peer->received.erase(peer->received.begin(), peer->received.begin() + 8);
            return 0;
        }
        uint64_t at = remote & 0x7FFFFFFFu;
        if (at + size > QVS_PEER_MIRROR_MAX)
            return -1;
        if (!haveBytes(peer, 8 + (size_t)size, deadline))
            return -1;
        if (peer->mirror.size() < at + size)
            peer->mirror.resize(at + size);
        memcpy(peer->mirror.data() + at, peer->received.data() + 8, size);
        peer->received.erase(peer->received.begin(), peer->received.begin() + 8 + size);
    }
}

static void tcpClose(qvsPeer *peer)
{
    if (peer->socket >= 0)
        close(peer->socket);
    if (peer->listenSocket >= 0)
        close(peer->listenSocket);
    peer->socket = -1;
    peer->listenSocket = -1;
}

static const qvsPeerTransport tcpTransport = {
    tcpSendPcode, tcpSendQuit, tcpReadSharedMem, tcpWaitNotify, tcpClose,
};

static bool fillAddress(struct sockaddr_in *out, const char *address, int port)
{
    *out = sockaddr_in();
    out->sin_family = AF_INET;
    out->sin_port = htons((uint16_t)port);
    return inet_pton(AF_INET, address, &out->sin_addr) == 1;
}

int qvsPeerConnectTcp(qvsPeer *peer, const char *address, int port, const char *source, int timeoutMs)
{
    *peer = qvsPeer();
    peer->transport = &tcpTransport;
    struct sockaddr_in to, from;
    if (!fillAddress(&to, address, port) || (source && !fillAddress(&from, source, 0)))
        return -1;
    peer->socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (peer->socket < 0)
        return -1;
    if (source && bind(peer->socket, (struct sockaddr *)&from, sizeof from) != 0)
        return -1;
    if (connect(peer->socket, (struct sockaddr *)&to, sizeof to) != 0)
        return -1;
    return readSizeWord(peer, timeoutMs);
}

int qvsPeerListenTcp(qvsPeer *peer, const char *address, int port)
{
    *peer = qvsPeer();
    peer->transport = &tcpTransport;
    struct sockaddr_in at;
    if (!fillAddress(&at, address, port))
        return -1;
    peer->listenSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(peer->listenSocket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (peer->listenSocket < 0 || bind(peer->listenSocket, (struct sockaddr *)&at, sizeof at) != 0 ||
        listen(peer->listenSocket, 4) != 0)
        return -1;
    return 0;
}

int qvsPeerAcceptTcp(qvsPeer *peer, int timeoutMs)
{
    if (peer->listenSocket < 0 || !readable(peer->listenSocket, timeoutMs))
        return -1;
    int fd = accept4(peer->listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return -1;
    if (peer->socket >= 0)
        close(peer->socket);
    peer->socket = fd;
    peer->received.clear();
    return readSizeWord(peer, timeoutMs);
}

int qvsPeerSendRaw(qvsPeer *peer, const uint8_t *bytes, size_t length)
{
    while (length > 0) {
        ssize_t sent = send(peer->socket, bytes, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return -1;
        bytes += sent;
        length -= (size_t)sent;
    }
    return 0;
}

bool qvsPeerTcpClosed(qvsPeer *peer, int timeoutMs)
{
    struct timespec deadline = deadlineAfter(timeoutMs);
    for (;;) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long left = (deadline.tv_sec - now.tv_sec) * 1000L + (deadline.tv_nsec - now.tv_nsec) / 1000000L;
        if (left < 0)
            return false;
        int got = receiveMore(peer, (int)left);
        if (got == 0)
            return true;
        if (got < 0)
            return errno == ECONNRESET;
        peer->received.clear(); /* notifies that were still on their way */
    }
}
