/*
 * What remote and server mode share: the peer connection record, the pcode
 * reader, the notify records and the per-connection locking.
 *
 * Locking: peer->mutex guards the socket number and is held around every
 * write to it and around dropping it, so a notify never writes to a socket
 * that another thread has closed or replaced. Only the receiver thread closes
 * the socket it is reading; others shut it down (which ends the receiver's
 * read) and let go of it.
 */
#include "qvsInterface/qvsInterfacePrivate.h"
#include "fwEnv/fwEnv.h"
#include "hal/hal.h"
#include "utils/utils.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

enum {
    RECEIVER_PRIORITY = 61,
    SEND_TIMEOUT_SECONDS = 2,     /* a peer that stops reading cannot stall the notifier */
    SERVER_WAIT_SECONDS = 1,      /* a server receiver checks for a client this often */
    REMOTE_RETRY_SECONDS = 5,     /* a remote receiver reconnects this often */
    REMOTE_RETRY_LOG_MAX = 20,
    NOTIFY_IDLE_SECONDS = 2,
    NOTIFY_PAUSE_MS = 1000,       /* a non-local peer gets at most one update a second */
};

static const char *serverPrefix(const qvsPeer_t *peer)
{
    return peer->server ? "SERVER: " : "";
}

/* Absolute time `ms` from now on the realtime clock (the condition's clock). */
static struct timespec deadlineIn(long ms)
{
    return utilsDeadlineIn(CLOCK_REALTIME, ms);
}

void qvsInterfaceTcpPeerInit(qvsPeer_t *peer, qvsTcpBuffer_t *buffer, int index, int server)
{
    peer->isLocal = 0;
    peer->pace = 0;
    peer->paceSent = 0;
    pthread_mutex_init(&peer->mutex, nullptr);
    pthread_cond_init(&peer->condition, nullptr);
    peer->socket = -1;
    peer->readingSocket = -1;
    peer->index = index;
    peer->server = server;
    peer->state = server ? QVS_SERVER_STATE_WAITING : QVS_REMOTE_STATE_CONNECT;
    peer->buffer = buffer;
    peer->list = nullptr;
    peer->callback = nullptr;
}

uint32_t qvsInterfaceTcpLargestRelativeChunk(const sharedMemPublishingList *list, int server)
{
    uint32_t largest = 0;
    if (!list)
        return 0;
    for (uint32_t i = 0; i < list->chunkCount; i++) {
        const sharedMemChunk *chunk = &list->chunks[i];
        int relative = !(chunk->remoteOffset & QVS_REMOTE_ABSOLUTE);
        if (server)
            log4c_category_log(qvsInterfaceCategory(), LOG4C_PRIORITY_DEBUG,
                               relative ? "SERVER: %s shared mem chuck %d is relative, size is %d!"
                                        : "SERVER: %s shared mem chunk %d is absolute, size is %d!",
                               __func__, (int)i, (int)chunk->size);
        if (relative && chunk->size > largest)
            largest = chunk->size;
    }
    return largest;
}

int qvsInterfaceTcpWriteAll(int fd, const void *bytes, size_t length)
{
    const uint8_t *next = (const uint8_t *)bytes;
    while (length > 0) {
        ssize_t written = send(fd, next, length, MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return -1;
        next += written;
        length -= (size_t)written;
    }
    return 0;
}

static void putBigEndian32(uint8_t *out, uint32_t value)
{
    out[0] = (uint8_t)(value >> 24);
    out[1] = (uint8_t)(value >> 16);
    out[2] = (uint8_t)(value >> 8);
    out[3] = (uint8_t)value;
}

int qvsInterfaceTcpAnnounce(int fd, uint32_t shmSize)
{
    uint8_t word[4];
    putBigEndian32(word, shmSize);
    return qvsInterfaceTcpWriteAll(fd, word, sizeof word);
}

/* Lets go of the peer's socket; the caller holds peer->mutex. */
static void detachLocked(qvsPeer_t *peer, const char *reason)
{
    int fd = peer->socket;
    if (fd < 0)
        return;
    log4c_category_log(qvsInterfaceCategory(), LOG4C_PRIORITY_NOTICE, "%s%s ip address %s (%s)", serverPrefix(peer),
                       __func__, peer->address, reason);
    if (shutdown(fd, SHUT_RDWR) != 0 && errno != ENOTCONN)
        log4c_category_log(qvsInterfaceCategory(), LOG4C_PRIORITY_ERROR,
                           "%s%s: Shutdown return value(%d) errno[%d] = %s!", serverPrefix(peer), __func__, -1, errno,
                           strerror(errno));
    if (peer->readingSocket != fd)
        close(fd);
    peer->socket = -1;
    peer->state = peer->server ? QVS_SERVER_STATE_WAITING : QVS_REMOTE_STATE_CONNECT;
    log4c_category_log(qvsInterfaceCategory(), LOG4C_PRIORITY_NOTICE, "%s%s: Closed socket to %s", serverPrefix(peer),
                       __func__, peer->address);
}

void qvsInterfaceTcpDetach(qvsPeer_t *peer, int fd, const char *reason)
{
    pthread_mutex_lock(&peer->mutex);
    if (fd < 0 || peer->socket == fd)
        detachLocked(peer, reason);
    pthread_mutex_unlock(&peer->mutex);
}

int qvsInterfaceTcpAttach(qvsPeer_t *peer, int fd)
{
    struct timeval timeout = {SEND_TIMEOUT_SECONDS, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    /*
     * The size word goes out under the peer's lock, and the socket is taken
     * into use before the lock is let go: a notify that follows the size word
     * must find the connection, never a gap between the two.
     */
    pthread_mutex_lock(&peer->mutex);
    if (qvsInterfaceTcpAnnounce(fd, peer->buffer->shmSize) != 0) {
        pthread_mutex_unlock(&peer->mutex);
        log4c_category_log(qvsInterfaceCategory(), LOG4C_PRIORITY_ERROR,
                           "%s%s: can't send sharedMem size to qvsInterface %s (establishSession incomplete write)",
                           serverPrefix(peer), __func__, peer->address);
        close(fd);
        return -1;
    }
    if (peer->socket >= 0) {
        log4c_category_log(qvsInterfaceCategory(), LOG4C_PRIORITY_NOTICE,
                           "%s%s: QvsInterface %d was already connected. Going to shut down the previous connection "
                           "(fd %d) and using the new one (fd %d).",
                           serverPrefix(peer), __func__, peer->index, peer->socket, fd);
        detachLocked(peer, " close old interface! ");
    }
    peer->socket = fd;
    peer->state = peer->server ? QVS_SERVER_STATE_CONNECTED : QVS_REMOTE_STATE_CONNECTED;
    peer->paceSent = peer->pace;
    pthread_cond_broadcast(&peer->condition);
    pthread_mutex_unlock(&peer->mutex);
    return 0;
}

/* Reads exactly `length` bytes, counting reads against *readsLeft (when bounded). 0 or -1. */
static int readExactly(qvsPeer_t *peer, int fd, uint8_t *out, size_t length, int *readsLeft, const char *what)
{
    size_t have = 0;
    while (have < length) {
        if (readsLeft && (*readsLeft)-- <= 0) {
            log4c_category_log(qvsInterfaceCategory(), LOG4C_PRIORITY_ERROR,
                               "%s%s_%d: instance Ip %s failed to read %s. Max retries of %d reached.",
                               serverPrefix(peer), __func__, peer->index, peer->address, what, 20);
            return -1;
        }
        ssize_t got = recv(fd, out + have, length - have, 0);
        if (got < 0 && errno == EINTR) {
            log4c_category_log(qvsInterfaceCategory(), LOG4C_PRIORITY_INFO,
                               "%s%s: instance Ip %s failed to read %s, socket return value(%d) errno[%d] = %s! Ok "
                               "Error Continue Reading",
                               serverPrefix(peer), __func__, peer->address, what, (int)got, errno, strerror(errno));
            continue;
        }
        if (got == 0) {
            /* between two pcodes a close is the peer's way to leave; inside one it cut the pcode short */
            int between = have == 0 && strcmp(what, "header") == 0;
            log4c_category_log(qvsInterfaceCategory(), between ? LOG4C_PRIORITY_NOTICE : LOG4C_PRIORITY_WARN,
                               "%s%s: instance Ip %s closed the connection before the %s (%d of %d bytes read)",
                               serverPrefix(peer), __func__, peer->address, what, (int)have, (int)length);
            return -1;
        }
        if (got < 0) {
            int error = errno;
            log4c_category_log(qvsInterfaceCategory(), LOG4C_PRIORITY_ERROR,
                               "%s%s: instance Ip %s failed to read %s, socket return value(%d) errno[%d] = %s!",
                               serverPrefix(peer), __func__, peer->address, what, (int)got, error, strerror(error));
            return -1;
        }
        if (have + (size_t)got < length)
            log4c_category_log(qvsInterfaceCategory(), LOG4C_PRIORITY_INFO,
                               "%s%s: Remote %s: %s read %d != expected %d will re-read for %d old index %d new index "
                               "will be %d",
                               serverPrefix(peer), __func__, peer->address, what, (int)got, (int)(length - have),
                               (int)(length - have - (size_t)got), (int)have, (int)(have + (size_t)got));
        have += (size_t)got;
    }
    return 0;
}

int qvsInterfaceTcpReadPcode(qvsPeer_t *peer, int fd, int maxReads)
{
    int readsLeft = maxReads;
    int *bound = maxReads > 0 ? &readsLeft : nullptr;
    if (readExactly(peer, fd, peer->pcode, QVS_PCODE_HEADER_SIZE, bound, "header") != 0)
        return -1;
    int byteCount = (peer->pcode[2] << 8) | peer->pcode[3];
    if (byteCount > (int)QVS_PCODE_MAX_DATA) {
        log4c_category_log(qvsInterfaceCategory(), LOG4C_PRIORITY_ERROR,
                           "%s%s_%d: instance Ip %s. Pcode header invalid!. Pcode length %d too big (max is %d)! ",
                           serverPrefix(peer), __func__, peer->index, peer->address, byteCount, QVS_PCODE_MAX_DATA);
        return -1;
    }
    if (readExactly(peer, fd, peer->pcode + QVS_PCODE_HEADER_SIZE, (size_t)byteCount, bound, "data") != 0)
        return -1;
    const uint8_t *p = peer->pcode;
    /* only the bytes this pcode has: the buffer still holds an earlier, longer one's */
    char first[2 * 8 + 1] = "";
    for (int i = 0; i < byteCount && i < 8; i++)
        snprintf(first + 2 * i, 3, "%02x", p[QVS_PCODE_HEADER_SIZE + i]);
    log4c_category_log(qvsInterfaceCategory(), LOG4C_PRIORITY_INFO,
                       "%s%s: Remote %s: Pcode dump, class %d, opcodeId %d, Length %d, first 8 bytes 0x%s",
                       serverPrefix(peer), __func__, peer->address, p[0], p[1], byteCount, first);
    return QVS_PCODE_HEADER_SIZE + byteCount;
}

/* Remote mode: one attempt to connect to the peer's address. The socket, or -1. */
static int connectToPeer(qvsPeer_t *peer)
{
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(QVS_TCP_PORT);
    if (inet_pton(AF_INET, peer->address, &address.sin_addr) != 1)
        return -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    while (connect(fd, (struct sockaddr *)&address, sizeof address) != 0) {
        if (errno == EINTR)
            continue;
        close(fd);
        return -1;
    }
    return fd;
}

/* Waits until the peer has a socket (server: a client; remote: connects itself). The socket, now being read. */
static int awaitConnection(qvsPeer_t *peer)
{
    int failures = 0;
    pthread_mutex_lock(&peer->mutex);
    while (peer->socket < 0) {
        if (peer->server) {
            struct timespec when = deadlineIn(SERVER_WAIT_SECONDS * 1000L);
            pthread_cond_timedwait(&peer->condition, &peer->mutex, &when);
            continue;
        }
        pthread_mutex_unlock(&peer->mutex);
        int fd = connectToPeer(peer);
        if (fd >= 0 && qvsInterfaceTcpAttach(peer, fd) == 0) {
            log4c_category_log(qvsInterfaceCategory(), LOG4C_PRIORITY_NOTICE, "%s: Remote %s: established connection!",
                               __func__, peer->address);
            failures = 0;
        } else {
            if (++failures <= REMOTE_RETRY_LOG_MAX)
                log4c_category_log(qvsInterfaceCategory(), LOG4C_PRIORITY_ERROR,
                                   "%s: establishSession failed for remote %s will sleep and try again...! Log count "
                                   "%d, max %d.",
                                   __func__, peer->address, failures, REMOTE_RETRY_LOG_MAX);
            pthread_mutex_lock(&peer->mutex);
            struct timespec when = deadlineIn(REMOTE_RETRY_SECONDS * 1000L);
            while (peer->socket < 0 && pthread_cond_timedwait(&peer->condition, &peer->mutex, &when) != ETIMEDOUT) {
            }
            pthread_mutex_unlock(&peer->mutex);
        }
        pthread_mutex_lock(&peer->mutex);
    }
    int fd = peer->socket;
    peer->readingSocket = fd;
    pthread_mutex_unlock(&peer->mutex);
    return fd;
}

void *qvsInterfaceTcpReceiverThread(void *argument)
{
    qvsPeer_t *peer = (qvsPeer_t *)argument;
    halSetRealtime(RECEIVER_PRIORITY);
    for (;;) {
        int fd = awaitConnection(peer);
        log4c_category_log(qvsInterfaceCategory(), LOG4C_PRIORITY_NOTICE,
                           "%s%s_%d: Got a new connection on Ip %s and is ready to receive pcodes.", serverPrefix(peer),
                           __func__, peer->index, peer->address);
        int length;
        while ((length = qvsInterfaceTcpReadPcode(peer, fd, peer->server ? 20 : 0)) > 0) {
            if (peer->callback)
                peer->callback((uint32_t)length, peer->pcode, qvsInterfaceCategory());
        }
        pthread_mutex_lock(&peer->mutex);
        if (peer->socket == fd)
            detachLocked(peer, peer->server ? "Failed to read the pcode closing connection!"
                                            : "Failed to read the opcode Will re-try connection!");
        peer->readingSocket = -1;
        pthread_mutex_unlock(&peer->mutex);
        close(fd);
    }
    return nullptr;
}

/* Appends {size, remote offset} and `size` bytes of the buffer from `localOffset`; the caller holds the buffer mutex. */
static void appendRecord(std::vector<uint8_t> &out, const uint8_t *base, uint32_t localOffset, uint32_t remoteOffset,
                         uint32_t size)
{
    size_t at = out.size();
    out.resize(at + 8 + size);
    putBigEndian32(&out[at], size);
    putBigEndian32(&out[at + 4], remoteOffset);
    if (size)
        memcpy(&out[at + 8], base + localOffset, size);
}

/* The bytes of one notify for a peer: the ALL record or the flagged chunks, then the end record. */
static std::vector<uint8_t> buildNotify(const qvsPeer_t *peer)
{
    std::vector<uint8_t> out;
    qvsTcpBuffer_t *buffer = peer->buffer;
    pthread_mutex_lock(&buffer->mutex);
    if (!peer->list) {
        uint32_t size = buffer->shmSize <= QVS_TCP_SHM_SIZE ? buffer->shmSize : QVS_TCP_SHM_SIZE;
        appendRecord(out, buffer->base, 0, 0, size);
    } else {
        for (uint32_t i = 0; i < peer->list->chunkCount; i++) {
            const sharedMemChunk *chunk = &peer->list->chunks[i];
            if (!chunk->send)
                continue;
            if ((uint64_t)chunk->localOffset + chunk->size > QVS_TCP_SHM_SIZE) {
                log4c_category_log(qvsInterfaceCategory(), LOG4C_PRIORITY_ERROR,
                                   "%s: chunk %d (offset %u, size %u) lies outside the buffer, not sent", __func__,
                                   (int)i, (unsigned)chunk->localOffset, (unsigned)chunk->size);
                continue;
            }
            appendRecord(out, buffer->base, chunk->localOffset, chunk->remoteOffset, chunk->size);
        }
    }
    pthread_mutex_unlock(&buffer->mutex);
    appendRecord(out, nullptr, 0, 0, 0);
    return out;
}

void qvsInterfaceTcpNotifyPeer(qvsPeer_t *peer)
{
    std::vector<uint8_t> bytes = buildNotify(peer);
    pthread_mutex_lock(&peer->mutex);
    if (peer->socket >= 0 && qvsInterfaceTcpWriteAll(peer->socket, bytes.data(), bytes.size()) != 0) {
        log4c_category_log(qvsInterfaceCategory(), LOG4C_PRIORITY_ERROR,
                           "%s%s: We did not write all %d bytes to socket. errno[%d] = %s!", serverPrefix(peer),
                           __func__, (int)bytes.size(), errno, strerror(errno));
        detachLocked(peer, peer->server ? "notifyQvsServer incomplete pdu write" : "notifyQvsRemote incomplete pdu write");
    }
    pthread_mutex_unlock(&peer->mutex);
}

void qvsInterfaceTcpNotify(qvsPeer_t *peer)
{
    pthread_mutex_lock(&peer->mutex);
    int connected = peer->socket >= 0;
    int now = !peer->list || peer->isLocal;
    if (connected && !now) {
        peer->pace++;
        pthread_cond_broadcast(&peer->condition);
    }
    pthread_mutex_unlock(&peer->mutex);
    if (connected && now)
        qvsInterfaceTcpNotifyPeer(peer);
}

/* True while the notify thread has nothing to send; called with the peer's mutex held. */
static int notifyThreadIdle(const qvsPeer_t *peer)
{
    return peer->socket < 0 || peer->isLocal || !peer->list || peer->pace == peer->paceSent;
}

void *qvsInterfaceTcpNotifyThread(void *argument)
{
    qvsPeer_t *peer = (qvsPeer_t *)argument;
    for (;;) {
        pthread_mutex_lock(&peer->mutex);
        /* Notifies that came while we were sending or pausing are all answered by the one send below. */
        int idle = notifyThreadIdle(peer);
        if (idle)
            log4c_category_log(qvsInterfaceCategory(), LOG4C_PRIORITY_DEBUG, "%s%s_%d: waiting for signal, pace: %u",
                               serverPrefix(peer), __func__, peer->index, peer->pace);
        while (idle) {
            struct timespec when = deadlineIn(NOTIFY_IDLE_SECONDS * 1000L);
            pthread_cond_timedwait(&peer->condition, &peer->mutex, &when);
            idle = notifyThreadIdle(peer);
        }
        log4c_category_log(qvsInterfaceCategory(), LOG4C_PRIORITY_DEBUG, "%s%s_%d: received signal, pace: %u",
                           serverPrefix(peer), __func__, peer->index, peer->pace);
        peer->paceSent = peer->pace;
        pthread_mutex_unlock(&peer->mutex);
        qvsInterfaceTcpNotifyPeer(peer);
        struct timespec pause = {NOTIFY_PAUSE_MS / 1000, (NOTIFY_PAUSE_MS % 1000) * 1000000L};
        while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
    }
    return nullptr;
}

static bool inRange(uint32_t wordOffset, uint32_t wordCount)
{
    return 2 * ((uint64_t)wordOffset + wordCount) <= QVS_TCP_SHM_SIZE;
}

int qvsInterfaceTcpWrite(qvsTcpBuffer_t *buffer, uint32_t wordOffset, const void *source, uint32_t wordCount,
                const char *message, const char *function)
{
    if (!buffer->base || !source || !inRange(wordOffset, wordCount)) {
        log4c_category_log(qvsInterfaceCategory(), LOG4C_PRIORITY_ERROR, message, function, wordOffset);
        return -1;
    }
    pthread_mutex_lock(&buffer->mutex);
    memcpy(buffer->base + 2 * (size_t)wordOffset, source, 2 * (size_t)wordCount);
    pthread_mutex_unlock(&buffer->mutex);
    return (int)wordCount;
}

int qvsInterfaceTcpRead(qvsTcpBuffer_t *buffer, uint32_t wordOffset, void *destination, uint32_t wordCount, const char *message,
               const char *function)
{
    if (!buffer->base || !destination || !inRange(wordOffset, wordCount)) {
        log4c_category_log(qvsInterfaceCategory(), LOG4C_PRIORITY_ERROR, message, function, wordOffset);
        return -1;
    }
    pthread_mutex_lock(&buffer->mutex);
    memcpy(destination, buffer->base + 2 * (size_t)wordOffset, 2 * (size_t)wordCount);
    pthread_mutex_unlock(&buffer->mutex);
    return (int)wordCount;
}

/* Set once by main before the link starts. */
static uint32_t (*vlanQuery)(log4c_category_t *category);

void qvsInterfaceSetVlanQuery(uint32_t (*usingVlan)(log4c_category_t *category))
{
    vlanQuery = usingVlan;
}

void qvsInterfaceOwnAddress(char *out)
{
    /* The second VLAN has an address of its own in the boot environment. */
    bool vlan = vlanQuery && vlanQuery(qvsInterfaceCategory());
    const char *key = vlan ? "ipaddrvlan2" : "ipaddr";
    if (fwEnvGetEnvCopy(key, out, 16) != 0) {
        log4c_category_log(qvsInterfaceCategory(), LOG4C_PRIORITY_ERROR,
                           "%s: no \"%s\" in the boot environment: no peer is the card's own QVS", __func__, key);
        out[0] = '\0';
    }
}
