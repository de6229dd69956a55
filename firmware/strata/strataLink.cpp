#include "strata/strataPrivate.h"

#include "hal/hal.h"
#include "platform/platform.h"
#include "serviceManager/serviceManager.h"
#include "utils/utils.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

/*
 * The link layer: transport, packet framing and checking, reassembly of
 * multi-packet messages, ACK/NACK, the link state and the timed queries.
 */

strataLinkConfig strataLinkConfiguration = {
    0xA9, 0x81, {1, 1, 0}, "QMR-1100", "0", "/dev/ttyO1", 1, nullptr, STRATA_MEM_BLOCK_SIZE,
    platformHandlePrivateStrataMessages, 3, 0, nullptr, nullptr, 1, 1, 1, platformStrataChanged, 3,
};

static const strataTiming_t strataCardTiming = {4000, 1000, 500, 30000, 1000, 2000, 3000,
                                                30000, 2000, 1000, 1000, 500, 400, 3000, 30000};
strataTiming_t strataTiming = strataCardTiming;

enum {
    RX_POLL_MS = 100,          /* one read wait; also the largest gap allowed inside a packet */
    RX_OVERRUN_US = 100000,    /* two receive errors closer than this make the receiver pause */
    RX_START_POLLS = 5000,
    RX_START_POLL_US = 300,
    STRATA_BREAK_DURATION = 2000,
};

enum { RX_PACKET, RX_IDLE, RX_DROP, RX_DROP_START, RX_ERROR, RX_CLOSED };

static struct {
    log4c_category_t *category = nullptr;
    std::atomic<uint8_t> cardId{0};
    std::atomic<uint32_t> socket{0};
    std::atomic<uint32_t> debugServer{0};
    struct termios saved = {};
    int haveSaved = 0;
    std::atomic<uint8_t> commState{0};
    pthread_t rxThread = pthread_t();
    std::atomic<int> rxRun{0};
    int rxJoinable = 0;
    pthread_mutex_t openMutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_mutex_t sendMutex = PTHREAD_MUTEX_INITIALIZER;
    /* Every write on the port (queued packets, ACK, NACK, unacknowledged packets) holds it. */
    pthread_mutex_t writeMutex = PTHREAD_MUTEX_INITIALIZER;
    /* Reply slots and flag: written by the receiver, read by the querying thread. */
    pthread_mutex_t slotMutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t slotCond = PTHREAD_COND_INITIALIZER;
    strataLinkConfig *config = nullptr;
    struct timeval lastError = {};
    std::atomic<int> portFd{-1};
    /*
     * Connections to the proxy that a reconnect replaced: shut down at once
     * (under writeMutex), closed only by the receiver between two reads, or
     * by the close once the receiver has gone, so a read never meets a
     * descriptor that was closed or reused under it.
     */
    std::vector<int> replaced;
    std::atomic<int> listenFd{-1};
    /* Raised by the close: writes give up at once and nothing reconnects to the proxy. */
    std::atomic<int> closing{0};
    /* The connection a write ended because its peer read nothing (its loss is not the peer's doing). */
    std::atomic<int> stalledFd{-1};
    std::atomic<uint32_t> refusedFull{0};
    int everOpened = 0;
    uint32_t replyFlag = 0;
    strataReplySlots_t slots = {};
} strataLink;

log4c_category_t *strataCategory(void)
{
    if (strataLink.category)
        return strataLink.category;
    static log4c_category_t *fallback = log4c_category_get("ulm.firmware.strataSrvc");
    return fallback;
}

#define STRATA_LOG(priority, ...) log4c_category_log(strataCategory(), priority, __VA_ARGS__)

static void strataSleepMs(uint32_t ms)
{
    struct timespec pause = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

static speed_t strataSpeed(uint8_t index)
{
    switch (index) {
    case 2: return B230400;
    case 4: return B460800;
    case 8: return B921600;
    default: return B115200;
    }
}

static int strataIsSocketDevice(const strataLinkConfig *config)
{
    return strcmp(config->deviceName, "socket") == 0 || strcmp(config->deviceName, "socketdbg") == 0 ||
           getenv("USE_NETWORK") != nullptr;
}

/* ---- reply slots ---- */

void strataReplyReset(void)
{
    pthread_mutex_lock(&strataLink.slotMutex);
    memset(&strataLink.slots, 0, sizeof strataLink.slots);
    strataLink.slots.frameType = 0xFF;
    strataLink.replyFlag = 0;
    pthread_mutex_unlock(&strataLink.slotMutex);
}

void strataReplyStore(void (*store)(strataReplySlots_t *slots, const uint8_t *data, uint32_t length),
                      const uint8_t *data, uint32_t length)
{
    pthread_mutex_lock(&strataLink.slotMutex);
    store(&strataLink.slots, data, length);
    strataLink.replyFlag = 1;
    pthread_cond_broadcast(&strataLink.slotCond);
    pthread_mutex_unlock(&strataLink.slotMutex);
}

/* ---- state ---- */

uint8_t strataGetCommState(void)
{
    return strataLink.commState;
}

void strataSetCommState(uint8_t state)
{
    strataLink.commState = state;
}

uint32_t strataIsSocket(void)
{
    return strataLink.socket;
}

uint16_t strataGetCardId(void)
{
    return strataLink.cardId;
}

/* ---- transport ---- */

static int strataConnectLoopback(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (struct sockaddr *)&address, sizeof address) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

static int strataOpenSerial(strataLinkConfig *config, log4c_category_t *category)
{
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: using serial", __func__);
    int fd = open(halPath(config->deviceName).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int saved = errno;
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s cannot open port %s: ", __func__, config->deviceName);
        return -saved;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    strataLink.haveSaved = tcgetattr(fd, &strataLink.saved) == 0;
    log4c_category_log(category, LOG4C_PRIORITY_INFO,
                       "%s on port %s initial config c_cflag 0x%x, c_iflag 0x%x, c_lflag 0x%x, c_oflag 0x%x", __func__,
                       config->deviceName, (unsigned)strataLink.saved.c_cflag, (unsigned)strataLink.saved.c_iflag,
                       (unsigned)strataLink.saved.c_lflag, (unsigned)strataLink.saved.c_oflag);
    struct termios raw = {};
    raw.c_iflag = IGNPAR;
    raw.c_cflag = strataSpeed(config->baudIndex) | CS8 | CREAD | CLOCAL;
    cfsetispeed(&raw, strataSpeed(config->baudIndex));
    cfsetospeed(&raw, strataSpeed(config->baudIndex));
    raw.c_cc[VTIME] = 1;
    raw.c_cc[VMIN] = 0;
    if (tcsetattr(fd, TCSANOW, &raw) != 0)
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s, failed tcsetattr. errno: %d", __func__, errno);
    return fd;
}

static int strataOpenDebugServer(log4c_category_t *category)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(STRATA_DEBUG_PORT);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd, (struct sockaddr *)&address, sizeof address) != 0 || listen(fd, 1) != 0) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: Error, Socket could not open on port %d.", __func__,
                           STRATA_DEBUG_PORT);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    strataLink.socket = 1;
    strataLink.debugServer = 1;
    strataLink.listenFd = fd;
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: using socket in debug mode", __func__);
    return 0;
}

/* Opens the transport. 0, -1 or minus errno. */
static int openAndSetupPort(strataLinkConfig *config, log4c_category_t *category)
{
    strataLink.socket = 0;
    strataLink.debugServer = 0;
    strataLink.haveSaved = 0;
    if (strcmp(config->deviceName, "socket") == 0) {
        int fd = strataConnectLoopback(STRATA_PROXY_PORT);
        strataLink.socket = 1;
        if (fd < 0) {
            /* The proxy may start after the card: the receiver connects once it listens. */
            log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: failed to connectTo errno[%d] = %s", __func__,
                               errno, strerror(errno));
            log4c_category_log(category, LOG4C_PRIORITY_WARN,
                               "%s: the proxy on port %d is not there yet; retrying every %u to %u ms", __func__,
                               STRATA_PROXY_PORT, (unsigned)strataTiming.pollMs, (unsigned)strataTiming.proxyRetryMaxMs);
            return 0;
        }
        strataLink.portFd = fd;
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: using socket port id is %d", __func__, fd);
        return 0;
    }
    if (strcmp(config->deviceName, "socketdbg") == 0 || getenv("USE_NETWORK") != nullptr)
        return strataOpenDebugServer(category);
    int fd = strataOpenSerial(config, category);
    if (fd < 0)
        return fd;
    strataLink.portFd = fd;
    return 0;
}

/*
 * Closes the connection `fd` to the peer (a socket peer may be replaced; the
 * debug server keeps listening). A connection that the transmit side has
 * already replaced by a new one to the proxy is left alone.
 */
static int strataCloseConnection(int fd)
{
    pthread_mutex_lock(&strataLink.writeMutex);
    int closing = strataLink.portFd.compare_exchange_strong(fd, -1);
    pthread_mutex_unlock(&strataLink.writeMutex);
    if (closing) {
        shutdown(fd, SHUT_RDWR);
        close(fd);
    }
    return closing;
}

/* Closes the connections a reconnect replaced; no thread reads them any more. */
static void strataCloseReplaced(void)
{
    std::vector<int> closing;
    pthread_mutex_lock(&strataLink.writeMutex);
    closing.swap(strataLink.replaced);
    pthread_mutex_unlock(&strataLink.writeMutex);
    for (int fd : closing)
        close(fd);
}

void strataClosePort(void)
{
    pthread_mutex_lock(&strataLink.writeMutex);
    int fd = strataLink.portFd.exchange(-1);
    if (fd >= 0 && !strataLink.socket && strataLink.haveSaved)
        tcsetattr(fd, TCSANOW, &strataLink.saved);
    pthread_mutex_unlock(&strataLink.writeMutex);
    if (fd >= 0) {
        if (strataLink.socket)
            shutdown(fd, SHUT_RDWR);
        close(fd);
    }
    strataCloseReplaced();
    int listenFd = strataLink.listenFd.exchange(-1);
    if (listenFd >= 0)
        close(listenFd);
}

int connectStrataProxy(strataLinkConfig *config, log4c_category_t *category)
{
    if (!config || strcmp(config->deviceName, "socket") != 0 || strataLink.closing)
        return -1;
    int fd = strataConnectLoopback(STRATA_PROXY_PORT);
    if (fd < 0) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: Failed to reconnected to strata proxy port %d. Strata Tunneling probably not running. "
                           "errno[%d] = %s",
                           __func__, STRATA_PROXY_PORT, errno, strerror(errno));
        return -1;
    }
    /* The receiver may be reading the old connection: wake it, and leave the close to it. */
    pthread_mutex_lock(&strataLink.writeMutex);
    int old = strataLink.portFd.exchange(fd);
    if (old >= 0) {
        shutdown(old, SHUT_RDWR);
        strataLink.replaced.push_back(old);
    }
    pthread_mutex_unlock(&strataLink.writeMutex);
    log4c_category_log(category, LOG4C_PRIORITY_INFO,
                       "%s: Reconnected to strata proxy port %d. Old portfd %d, new portfd %d", __func__,
                       STRATA_PROXY_PORT, old, fd);
    return 0;
}

/*
 * Writes `count` bytes on `fd` within `limitMs`, waking in steps of one read
 * period to see whether the link is closing. The byte count, or -1 with errno
 * (ETIMEDOUT: the peer took nothing for the whole limit; ECANCELED: the link is
 * closing).
 */
static int strataWriteWithin(int fd, const uint8_t *bytes, uint32_t count, uint32_t limitMs)
{
    uint32_t done = 0;
    uint32_t waited = 0;
    while (done < count) {
        if (strataLink.closing)
            return errno = ECANCELED, -1;
        struct pollfd waitFor = {fd, POLLOUT, 0};
        uint32_t step = limitMs - waited < (uint32_t)RX_POLL_MS ? limitMs - waited : (uint32_t)RX_POLL_MS;
        int ready = poll(&waitFor, 1, (int)step);
        if (ready < 0 && errno != EINTR)
            return -1;
        if (ready <= 0) {
            waited += step;
            if (waited >= limitMs)
                return errno = ETIMEDOUT, -1;
            continue;
        }
        ssize_t written = send(fd, bytes + done, count - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written < 0 && errno == ENOTSOCK)
            written = write(fd, bytes + done, count - done);
        if (written < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (written < 0)
            return -1;
        done += (uint32_t)written;
    }
    return (int)done;
}

int strataWritePort(const uint8_t *bytes, uint32_t count)
{
    pthread_mutex_lock(&strataLink.writeMutex);
    int fd = strataLink.portFd;
    int written = fd < 0 ? (errno = EBADF, -1) : strataWriteWithin(fd, bytes, count, strataTiming.sendLimitMs);
    int saved = errno;
    if (written < 0 && saved == ETIMEDOUT && strataLink.socket) {
        /*
         * A peer that reads nothing holds every writer (and the receiver's
         * acknowledgements) up: end its connection; the receiver then closes it
         * and the link goes on with the next peer.
         */
        strataLink.stalledFd = fd;
        shutdown(fd, SHUT_RDWR);
        STRATA_LOG(LOG4C_PRIORITY_ERROR, "%s: the peer has read nothing for %u ms; ending the connection", __func__,
                   (unsigned)strataTiming.sendLimitMs);
    }
    pthread_mutex_unlock(&strataLink.writeMutex);
    errno = saved;
    return written;
}

void logPacket(const char *prefix, const uint8_t *bytes, uint32_t length)
{
    if (!log4c_category_is_priority_enabled(strataCategory(), LOG4C_PRIORITY_DEBUG))
        return;
    if (length > STRATA_PACKET_MAX) {
        STRATA_LOG(LOG4C_PRIORITY_DEBUG, "TRACE %s EXCESIVE LENGTH %d, displaying only max length", prefix,
                   (int)length);
        length = STRATA_PACKET_MAX;
    }
    char hex[2 * STRATA_PACKET_MAX + 1] = "";
    for (uint32_t i = 0; i < length; i++)
        snprintf(hex + 2 * i, 3, "%02X", bytes[i]);
    STRATA_LOG(LOG4C_PRIORITY_DEBUG, "TRACE %s src 0x%x dest 0x%x opcode %02X%02X packet %s", prefix,
               length > 2 ? bytes[2] : 0, length > 1 ? bytes[1] : 0, length > 4 ? bytes[4] : 0,
               length > 5 ? bytes[5] : 0, hex);
}

/* ---- sending ---- */

void strataBuildDevId(const strataLinkConfig *config, uint8_t out[STRATA_DEV_ID_SIZE])
{
    uint8_t version[3];
    platformGetUpdateVersion(version);
    uint16_t packed = (uint16_t)((version[0] & 31) << 10 | (version[1] & 31) << 5 | (version[2] & 31));
    out[0] = (uint8_t)(config->identityA >> 8);
    out[1] = (uint8_t)config->identityA;
    out[2] = (uint8_t)(config->identityB >> 8);
    out[3] = (uint8_t)config->identityB;
    out[4] = (uint8_t)(packed >> 8);
    out[5] = (uint8_t)packed;
    memset(out + 6, 0, 9);
    memcpy(out + 6, config->modelName, strnlen(config->modelName, 8));
}

/* A packet the full transmit queue refused: a line for the 1st, 2nd, 4th, 8th... of them. */
static void strataNoteQueueFull(const char *function, uint16_t opcode, uint32_t destination)
{
    uint32_t refused = ++strataLink.refusedFull;
    if ((refused & (refused - 1)) == 0)
        STRATA_LOG(LOG4C_PRIORITY_ERROR,
                   "%s: the transmit queue is full (%d packets); message 0x%04X to 0x%02x not sent (%u refused so far)",
                   function, STRATA_TX_QUEUE_MAX, opcode, destination, refused);
}

int strata_send_packet(const uint8_t *packet, uint32_t size, int needsAck)
{
    strataPacket copy = {};
    memcpy(copy.bytes, packet, size);
    copy.size = size;
    if (needsAck) {
        int devId = size >= 6 && packet[4] == 0 && packet[5] == STRATA_OPCODE_DEV_ID;
        if (devId)
            STRATA_LOG(LOG4C_PRIORITY_DEBUG, "%s: DEV_ID (0013) being sent so pushing it to the head of queue.",
                       __func__);
        if (strataTxQueuePush(&copy, devId) != 0) {
            strataNoteQueueFull(__func__, (uint16_t)(packet[4] << 8 | packet[5]), packet[1]);
            return -1;
        }
        return 0;
    }
    logPacket("Tx: ", packet, size);
    if (strataWritePort(packet, size) != (int)size)
        STRATA_LOG(LOG4C_PRIORITY_ERROR, "%s: cannot write whole packet", __func__);
    return 0;
}

int strata_sendmsg_small(uint32_t type, uint32_t address, uint16_t opcode, const uint8_t *data, uint32_t length,
                         int more)
{
    if (length + 7 > STRATA_PACKET_MAX) {
        STRATA_LOG(LOG4C_PRIORITY_ERROR, "%s: invalid message length %d", __func__, (int)length);
        return -1;
    }
    uint8_t packet[STRATA_PACKET_MAX];
    uint32_t destination = address;
    if (type == STRATA_MSG_REPORT)
        destination = STRATA_REPORT_ADDRESS;
    else if (type == STRATA_MSG_REQUEST)
        destination = STRATA_CONTROLLER_ADDRESS;
    uint32_t size = strataFramePacket(packet, (uint8_t)destination, strataLink.cardId, opcode, data, length, more);
    return strata_send_packet(packet, size, opcode >= 2);
}

/* 1 when the link state lets a message of this type and opcode go out. */
static int strataSendAllowed(uint32_t type, uint16_t opcode)
{
    if (type == STRATA_MSG_REQUEST)
        return opcode == STRATA_OPCODE_DEV_ID || strataLink.commState >= 2;
    if (type == STRATA_MSG_REPORT)
        return strataLink.commState == 3;
    return 1;
}

/* A message refused because no port is open: kept in the log with its bytes. */
static void strataLogRefused(const char *function, uint32_t type, uint32_t address, uint16_t opcode,
                             const uint8_t *data, uint32_t length)
{
    if (!log4c_category_is_priority_enabled(strataCategory(), LOG4C_PRIORITY_DEBUG))
        return;
    std::string hex;
    char byte[4];
    for (uint32_t i = 0; data && i < length; i++) {
        snprintf(byte, sizeof byte, "%02x", data[i]);
        hex += byte;
    }
    STRATA_LOG(LOG4C_PRIORITY_DEBUG,
               "%s: port closed, message not sent: type %u address 0x%02x opcode 0x%04x length %u data [%s]", function,
               type, address, opcode, length, hex.c_str());
}

int strata_sendmsg(uint32_t type, uint32_t address, uint16_t opcode, const uint8_t *data, uint32_t length)
{
    pthread_mutex_lock(&strataLink.sendMutex);
    if (strataLink.portFd < 0 && opcode > STRATA_OPCODE_NACK)
        strataLogRefused(__func__, type, address, opcode, data, length);
    if (strataLink.portFd < 0 || !strataSendAllowed(type, opcode)) {
        pthread_mutex_unlock(&strataLink.sendMutex);
        return -1;
    }
    /* a message goes whole or not at all */
    uint32_t packets = length <= STRATA_PACKET_DATA_MAX ? 1 : (length - 1) / STRATA_PACKET_DATA_MAX + 1;
    if (opcode >= 2 && opcode != STRATA_OPCODE_DEV_ID && !strataTxQueueHasRoom(packets)) {
        strataNoteQueueFull(__func__, opcode, address);
        pthread_mutex_unlock(&strataLink.sendMutex);
        return -1;
    }
    uint32_t offset = 0;
    int rc = 0;
    while (rc == 0 && length - offset > STRATA_PACKET_DATA_MAX) {
        rc = strata_sendmsg_small(type, address, opcode, data + offset, STRATA_PACKET_DATA_MAX, 1);
        offset += STRATA_PACKET_DATA_MAX;
    }
    if (rc == 0)
        rc = strata_sendmsg_small(type, address, opcode, data ? data + offset : nullptr, length - offset, 0);
    pthread_mutex_unlock(&strataLink.sendMutex);
    return rc;
}

void strata_send_ack(uint32_t address)
{
    if (strataLink.portFd < 0)
        strataLogRefused(__func__, STRATA_MSG_REPLY, address, STRATA_OPCODE_ACK, nullptr, 0);
    strata_sendmsg(STRATA_MSG_REPLY, address, STRATA_OPCODE_ACK, nullptr, 0);
}

void strata_send_nack(uint32_t address, uint8_t error)
{
    if (strataLink.portFd < 0)
        strataLogRefused(__func__, STRATA_MSG_REPLY, address, STRATA_OPCODE_NACK, &error, 1);
    strata_sendmsg(STRATA_MSG_REPLY, address, STRATA_OPCODE_NACK, &error, 1);
}

void strata_send_devid(uint32_t type, uint32_t address)
{
    STRATA_LOG(LOG4C_PRIORITY_INFO, "%s: sending devid", __func__);
    if (!strataLink.config)
        return;
    uint8_t devId[STRATA_DEV_ID_SIZE];
    strataBuildDevId(strataLink.config, devId);
    strata_sendmsg(type, address, STRATA_OPCODE_DEV_ID, devId, sizeof devId);
}

/* ---- receiving ---- */

/* >0 bytes read, 0 nothing within the wait, -1 read error (errno), -2 the socket peer closed. */
static int strataReadSome(int fd, uint8_t *at, uint32_t want)
{
    struct pollfd waitFor = {fd, POLLIN, 0};
    int ready = poll(&waitFor, 1, RX_POLL_MS);
    if (ready < 0)
        return errno == EINTR ? 0 : -1;
    if (ready == 0)
        return 0;
    ssize_t got = read(fd, at, want);
    if (got < 0)
        return errno == EINTR || errno == EAGAIN ? 0 : -1;
    if (got == 0)
        return strataLink.socket ? -2 : 0;
    return (int)got;
}

/* Reads one packet into `packet` (64 bytes). One of RX_*. */
static int strataReadPacket(int fd, uint8_t *packet, uint32_t *size)
{
    log4c_category_t *category = strataCategory();
    int got = strataReadSome(fd, packet, 7);
    if (got == 0)
        return RX_IDLE;
    if (got < 0)
        return got == -2 ? RX_CLOSED : RX_ERROR;
    if (packet[0] != STRATA_START_BYTE) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: invalid packet start. Droping packet byte 1 is 0x%x length returned from read is %d",
                           __func__, packet[0], got);
        return RX_DROP_START;
    }
    uint32_t want = 7;
    for (;;) {
        if (got >= 4) {
            uint32_t length = packet[3] & 0x3F;
            /* A length below 2 has no opcode; one above 59 would not fit the 64-byte packet. */
            if (length < 2 || length + 5 > STRATA_PACKET_MAX) {
                log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: invalid packet length %u. Droping packet",
                                   __func__, length);
                return RX_DROP;
            }
            want = length + 5;
        }
        if ((uint32_t)got >= want)
            break;
        int more = strataReadSome(fd, packet + got, want - (uint32_t)got);
        if (more == 0) {
            log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: No interbyte delay allows. Droping packet",
                               __func__);
            return RX_DROP;
        }
        if (more < 0)
            return more == -2 ? RX_CLOSED : RX_ERROR;
        got += more;
    }
    *size = want;
    return RX_PACKET;
}

static void flushTheSerialPort(int fd)
{
    strataSleepMs(strataTiming.flushSleepMs);
    tcflush(fd, TCIFLUSH);
    STRATA_LOG(LOG4C_PRIORITY_WARN, "%s, Flushed and reset the serial port.", __func__);
}

/* Receive errors on the serial line: a burst makes the receiver pause. */
static void strataNoteSerialError(int kind)
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    long long since = (long long)(now.tv_sec - strataLink.lastError.tv_sec) * 1000000LL +
                      (now.tv_usec - strataLink.lastError.tv_usec);
    if (since >= 0 && since < RX_OVERRUN_US) {
        strataSleepMs(strataTiming.overrunPauseMs);
        STRATA_LOG(LOG4C_PRIORITY_ERROR, "%s: receive error overrun!", __func__);
    } else {
        STRATA_LOG(LOG4C_PRIORITY_ERROR, "%s: error=%d", __func__, kind);
    }
    gettimeofday(&strataLink.lastError, nullptr);
}

/* Multi-packet reassembly, owned by the receiver thread. */
struct strataReassembly_t {
    uint8_t *buffer;
    uint32_t used;
    uint16_t opcode;
    int inProgress;
};

static void strataReassemblyRelease(strataReassembly_t *r)
{
    if (r->buffer)
        STRATA_LOG(LOG4C_PRIORITY_DEBUG, "%s: MEM large free 0x%x", __func__, (unsigned)(uintptr_t)r->buffer);
    free(r->buffer);
    r->buffer = nullptr;
    r->used = 0;
    r->opcode = 0xFFFF;
    r->inProgress = 0;
}

/* Drops a message whose last packet will not come, with a line saying why. */
static void strataReassemblyDrop(strataReassembly_t *r, const char *why)
{
    if (!r->inProgress)
        return;
    STRATA_LOG(LOG4C_PRIORITY_WARN, "%s: dropped the partial message 0x%04X (%u bytes received): %s", __func__,
               r->opcode, r->buffer ? (unsigned)(r->used - STRATA_PACKET_HEADER) : 0u, why);
    strataReassemblyRelease(r);
}

/* 0 when the packet was taken, -1 when the receiver must stop (no buffer to be had). */
static int strataHandleFirmwarePacket(strataReassembly_t *r, const uint8_t *packet, uint32_t length)
{
    uint32_t source = packet[2];
    uint16_t opcode = (uint16_t)(packet[4] << 8 | packet[5]);
    const uint8_t *data = packet + STRATA_PACKET_HEADER;
    uint32_t dataLength = length - 2;
    int more = packet[3] & STRATA_MORE_PACKETS;
    /* Acknowledgements may come between any two packets: they never touch a message in progress. */
    if (opcode == STRATA_OPCODE_ACK || opcode == STRATA_OPCODE_NACK) {
        strata_execute_message(source, opcode, data, dataLength);
        return 0;
    }
    if (!r->inProgress && !more) {
        strata_execute_message(source, opcode, data, dataLength);
        return 0;
    }
    if (!r->inProgress) {
        if (opcode == STRATA_OPCODE_SET_MEM_BLOCK &&
            (dataLength < 2 || (uint32_t)(data[0] << 8 | data[1]) != (strataLink.config->identityB & 0xFFFF))) {
            strata_send_nack(source, STRATA_NACK_WRONG_CARD);
            return 0;
        }
        r->buffer = (uint8_t *)malloc(STRATA_REASSEMBLY_SIZE);
        if (!r->buffer) {
            STRATA_LOG(LOG4C_PRIORITY_FATAL, "%s: no memory for a multi-packet message", __func__);
            return -1;
        }
        memcpy(r->buffer, packet, length + 4);
        r->used = length + 4;
        r->opcode = opcode;
        r->inProgress = 1;
        strata_send_ack(source);
        return 0;
    }
    if (opcode != r->opcode) {
        if (more) {
            STRATA_LOG(LOG4C_PRIORITY_WARN, "%s: ignoring a packet of 0x%04X inside the message 0x%04X", __func__,
                       opcode, r->opcode);
            return 0;
        }
        char why[64];
        snprintf(why, sizeof why, "a message 0x%04X came before its last packet", opcode);
        strataReassemblyDrop(r, why);
        strata_execute_message(source, opcode, data, dataLength);
        return 0;
    }
    if (!r->buffer) {
        STRATA_LOG(LOG4C_PRIORITY_ERROR, more ? "%s: internal state error 2. Ignoring packet"
                                              : "%s: internal state error 1. Ignoring packet",
                   __func__);
        return 0;
    }
    int fits = r->used + dataLength <= STRATA_REASSEMBLY_SIZE;
    if (fits) {
        memcpy(r->buffer + r->used, data, dataLength);
        r->used += dataLength;
    }
    if (more) {
        if (fits)
            strata_send_ack(source);
        else
            strata_send_nack(source, STRATA_NACK_OVERFLOW);
        return 0;
    }
    if (fits)
        strata_execute_message(source, opcode, r->buffer + STRATA_PACKET_HEADER, r->used - STRATA_PACKET_HEADER);
    else
        strata_send_nack(source, STRATA_NACK_OVERFLOW);
    strataReassemblyRelease(r);
    return 0;
}

/* A complete packet: check, learn the card id, route. 0, or -1 to stop the receiver. */
static int strataHandlePacket(strataReassembly_t *r, const uint8_t *packet, uint32_t size)
{
    logPacket("Rx: ", packet, size);
    uint32_t length = packet[3] & 0x3F;
    if (strataChecksum(packet, length + 4) != packet[length + 4]) {
        STRATA_LOG(LOG4C_PRIORITY_ERROR, "got invalid CRC");
        if (restartStrataComm() == -1)
            strata_send_nack(packet[2], STRATA_NACK_CHECKSUM);
        return 0;
    }
    uint8_t unknown = 0;
    if (strataLink.cardId.compare_exchange_strong(unknown, packet[1]))
        STRATA_LOG(LOG4C_PRIORITY_NOTICE,
                   "%s: acquired card id %d (Physical Strata Slot Id (a.k.a. Strata Address))", __func__, packet[1]);
    uint16_t opcode = (uint16_t)(packet[4] << 8 | packet[5]);
    if (!strataIsFirmwareMessage(opcode)) {
        if (!strataBridgeWritePacket(packet, size))
            strata_send_nack(packet[2], STRATA_NACK_BUSY);
        return 0;
    }
    return strataHandleFirmwarePacket(r, packet, length);
}

/* One line when a socket peer is lost (errno 0: it closed); says what the link does next. */
static void strataLogLostPeer(int error)
{
    const char *next = strataLink.debugServer ? "waiting for the next controller" : "reconnecting to the proxy";
    uint16_t port = strataLink.debugServer ? STRATA_DEBUG_PORT : STRATA_PROXY_PORT;
    if (error)
        STRATA_LOG(LOG4C_PRIORITY_WARN, "%s: connection on port %d lost, errno[%d] = %s; %s", __func__, port, error,
                   strerror(error), next);
    else
        STRATA_LOG(LOG4C_PRIORITY_WARN, "%s: connection on port %d closed by the peer; %s", __func__, port, next);
}

/* Debug server without a peer: accept the next one (bounded wait). */
static void strataAcceptPeer(void)
{
    int listenFd = strataLink.listenFd;
    struct pollfd waitFor = {listenFd, POLLIN, 0};
    if (listenFd < 0 || poll(&waitFor, 1, RX_POLL_MS) <= 0)
        return;
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        STRATA_LOG(LOG4C_PRIORITY_ERROR, "%s: Error, An error happened on port %d.", __func__, STRATA_DEBUG_PORT);
        return;
    }
    strataLink.portFd = fd;
    strata_send_devid(STRATA_MSG_REQUEST, STRATA_CONTROLLER_ADDRESS);
}

static void *rxThreadEntry(void *argument)
{
    (void)argument;
    strataLink.rxRun = 1;
    STRATA_LOG(LOG4C_PRIORITY_INFO, "%s: receiver thread %lu started", __func__, (unsigned long)pthread_self());
    STRATA_LOG(LOG4C_PRIORITY_DEBUG, "%s: 10-14 fix", __func__);
    gettimeofday(&strataLink.lastError, nullptr);
    strataReassembly_t reassembly = {nullptr, 0, 0xFFFF, 0};
    uint32_t proxyRetryMs = strataTiming.pollMs;
    while (strataLink.rxRun) {
        strataCloseReplaced();
        if (strataLink.socket && strataLink.portFd < 0) {
            if (strataLink.debugServer) {
                strataAcceptPeer();
            } else {
                /* Each failed attempt doubles the pause, up to its bound; the close does not wait for it. */
                for (uint32_t slept = 0; slept < proxyRetryMs && strataLink.rxRun; slept += RX_POLL_MS)
                    strataSleepMs(RX_POLL_MS);
                /* A failed write may have reconnected meanwhile: one new connection is enough. */
                if (!strataLink.rxRun || strataLink.portFd >= 0)
                    continue;
                if (connectStrataProxy(strataLink.config, strataCategory()) == 0)
                    proxyRetryMs = strataTiming.pollMs;
                else if (proxyRetryMs < strataTiming.proxyRetryMaxMs)
                    proxyRetryMs = proxyRetryMs * 2 < strataTiming.proxyRetryMaxMs ? proxyRetryMs * 2
                                                                                   : strataTiming.proxyRetryMaxMs;
            }
            continue;
        }
        serviceThreadAlive(13);
        uint8_t packet[STRATA_PACKET_MAX];
        uint32_t size = 0;
        int fd = strataLink.portFd;
        int rc = strataReadPacket(fd, packet, &size);
        if (rc == RX_IDLE)
            continue;
        if (rc == RX_PACKET) {
            if (strataHandlePacket(&reassembly, packet, size) != 0)
                break;
            continue;
        }
        int error = errno;
        if (rc == RX_ERROR && !strataLink.rxRun)
            break;
        if (rc == RX_ERROR && !strataLink.socket) {
            STRATA_LOG(LOG4C_PRIORITY_ERROR, "Strata rxThreadEntry Aborting because errno[%d] = %s", error,
                       strerror(error));
            break;
        }
        if (strataLink.socket) {
            /*
             * A socket peer may go away at any time (a reset, a close, a read
             * error): only that connection ends. One that a reconnect has
             * replaced meanwhile was ended by the card, not lost.
             */
            strataReassemblyDrop(&reassembly, "the connection ended");
            int endedFd = fd;
            int stalled = strataLink.stalledFd.compare_exchange_strong(endedFd, -1);
            if (strataCloseConnection(fd) && rc != RX_DROP && rc != RX_DROP_START && !stalled)
                strataLogLostPeer(rc == RX_ERROR ? error : 0);
            continue;
        }
        if (rc == RX_DROP_START)
            flushTheSerialPort(fd);
        strataNoteSerialError(rc);
    }
    strataReassemblyRelease(&reassembly);
    strataLink.rxRun = 0;
    return nullptr;
}

/* ---- open, close, restart ---- */

int strata_open(strataLinkConfig *config, log4c_category_t *category)
{
    pthread_mutex_lock(&strataLink.openMutex);
    int rc = -1;
    if (strataLink.portFd >= 0 || strataLink.listenFd >= 0 || strataLink.rxJoinable) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: already opened", __func__);
        goto out;
    }
    if (!config || !config->linkLabel || !config->deviceName) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: no device name", __func__);
        goto out;
    }
    strataLink.category = category;
    strataLink.config = config;
    strataLink.everOpened = 1;
    strataLink.closing = 0;
    rc = openAndSetupPort(config, category);
    if (rc != 0)
        goto out;
    strataReplyReset();
    strataLink.cardId = 0;
    strataLink.commState = 0;
    strataLink.rxRun = 0;
    if (pthread_create(&strataLink.rxThread, nullptr, rxThreadEntry, nullptr) == 0) {
        strataLink.rxJoinable = 1;
        for (int i = 0; i < RX_START_POLLS && !strataLink.rxRun; i++)
            usleep(RX_START_POLL_US);
    }
    if (!strataLink.rxRun) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "ERROR: Strata Thread failed to start!");
        strataClosePort();
        rc = -1;
        goto out;
    }
    if (!strataLink.socket) {
        tcsendbreak(strataLink.portFd, STRATA_BREAK_DURATION);
        strataSleepMs(10);
        strata_send_devid(STRATA_MSG_REQUEST, STRATA_CONTROLLER_ADDRESS);
    } else if (!strataLink.debugServer) {
        strataLink.commState = 3;
    }
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "done Strata_init: %s!", config->deviceName);
out:
    pthread_mutex_unlock(&strataLink.openMutex);
    return rc;
}

int strata_close(void)
{
    pthread_mutex_lock(&strataLink.openMutex);
    if (strataLink.portFd < 0 && strataLink.listenFd < 0 && !strataLink.rxJoinable) {
        pthread_mutex_unlock(&strataLink.openMutex);
        return -1;
    }
    strataLink.rxRun = 0;
    strataLink.closing = 1;
    if (strataLink.rxJoinable) {
        /* The receiver waits at most one read period; it may still use the port until it has gone. */
        pthread_join(strataLink.rxThread, nullptr);
        strataLink.rxJoinable = 0;
    }
    /* what was queued for this link is not for the next one */
    flushTxQueue();
    strataClosePort();
    strataLink.commState = 0;
    pthread_mutex_unlock(&strataLink.openMutex);
    return 0;
}

int restartStrataComm(void)
{
    strataLinkConfig *config = strataLink.config;
    if (!strataLink.everOpened)
        return -1;
    if (!config) {
        STRATA_LOG(LOG4C_PRIORITY_ERROR, "%s: has no configuration.", __func__);
        return -1;
    }
    if (!config->linkLabel || !config->deviceName) {
        STRATA_LOG(LOG4C_PRIORITY_ERROR, "%s: no device name", __func__);
        return -1;
    }
    if (config->restartBudget == 0 || strataIsSocketDevice(config))
        return -1;
    if (strataLink.portFd < 0) {
        STRATA_LOG(LOG4C_PRIORITY_ERROR, "%s: The serial port is not opened!", __func__);
        return -1;
    }
    config->restartBudget--;
    STRATA_LOG(LOG4C_PRIORITY_WARN, "%s: using serial. Going to restart the comm.", __func__);
    strataLink.commState = 0;
    flushTxQueue();
    tcsendbreak(strataLink.portFd, STRATA_BREAK_DURATION);
    strataSleepMs(10);
    strata_send_devid(STRATA_MSG_REQUEST, STRATA_CONTROLLER_ADDRESS);
    return 0;
}

/* ---- timed queries ---- */

static int strataTimedQuery(const char *name, uint16_t opcode, const uint8_t *request, uint32_t requestLength,
                            uint32_t waitSeconds, void (*copy)(const strataReplySlots_t *slots, void *out), void *out)
{
    pthread_mutex_lock(&strataLink.slotMutex);
    strataLink.replyFlag = 0;
    if (waitSeconds == 0) {
        copy(&strataLink.slots, out);
        pthread_mutex_unlock(&strataLink.slotMutex);
        return 0;
    }
    pthread_mutex_unlock(&strataLink.slotMutex);
    STRATA_LOG(LOG4C_PRIORITY_DEBUG, "called %s wait is %d seconds gCardID is %d!", name, (int)waitSeconds,
               strataLink.cardId.load());
    uint32_t count = 0;
    while (!(strataLink.commState == 3 && strataLink.cardId != 0) && count <= waitSeconds) {
        strataSleepMs(strataTiming.pollMs);
        count++;
    }
    if (count <= waitSeconds)
        strata_sendmsg(STRATA_MSG_REQUEST, STRATA_CONTROLLER_ADDRESS, opcode, request, requestLength);
    pthread_mutex_lock(&strataLink.slotMutex);
    while (!strataLink.replyFlag && count <= waitSeconds) {
        struct timespec until = utilsDeadlineIn(CLOCK_REALTIME, (long)strataTiming.pollMs);
        if (pthread_cond_timedwait(&strataLink.slotCond, &strataLink.slotMutex, &until) == ETIMEDOUT)
            count++;
    }
    int answered = strataLink.replyFlag && count <= waitSeconds;
    copy(&strataLink.slots, out);
    pthread_mutex_unlock(&strataLink.slotMutex);
    if (answered)
        return 0;
    STRATA_LOG(LOG4C_PRIORITY_ERROR, "%s: Finished trying to get the answer to 0x%04X after %d seconds", name, opcode,
               (int)waitSeconds);
    return 1;
}

int strataGetControllerCapabilities(uint8_t *out, uint32_t waitSeconds)
{
    return strataTimedQuery(__func__, STRATA_OPCODE_CAPABILITIES_REQ, nullptr, 0, waitSeconds,
                            [](const strataReplySlots_t *s, void *o) { *(uint8_t *)o = s->capabilities; }, out);
}

int strataGetVlan2CardIp(uint8_t *out, uint32_t waitSeconds)
{
    static const uint8_t request[1] = {0};
    return strataTimedQuery(__func__, STRATA_OPCODE_VLAN2_CARD_IP_REQ, request, 1, waitSeconds,
                            [](const strataReplySlots_t *s, void *o) { *(uint8_t *)o = s->vlan2CardIp[0]; }, out);
}

int strataGetRestorePointConfig(uint8_t *out, uint32_t waitSeconds)
{
    return strataTimedQuery(__func__, STRATA_OPCODE_RESTORE_POINT_CONFIG_REQ, nullptr, 0, waitSeconds,
                            [](const strataReplySlots_t *s, void *o) { *(uint8_t *)o = s->restorePointConfig; }, out);
}

int strataGetFrameType(uint8_t *out, uint32_t waitSeconds)
{
    return strataTimedQuery(__func__, STRATA_OPCODE_FRAME_TYPE_REQ, nullptr, 0, waitSeconds,
                            [](const strataReplySlots_t *s, void *o) { *(uint8_t *)o = s->frameType; }, out);
}

int strataGetFrameStatus(uint8_t *out, uint32_t waitSeconds)
{
    return strataTimedQuery(__func__, STRATA_OPCODE_FRAME_STATUS_REQ, nullptr, 0, waitSeconds,
                            [](const strataReplySlots_t *s, void *o) { memcpy(o, s->frameStatus, 8); }, out);
}

int strataGetFrameIpAddress(uint32_t interfaceIndex, uint32_t *out, uint32_t waitSeconds)
{
    uint8_t request[1] = {(uint8_t)(interfaceIndex ? 1 : 0)};
    struct {
        uint32_t index;
        uint32_t *out;
    } target = {request[0], out};
    return strataTimedQuery(__func__, STRATA_OPCODE_IP_CONFIG_V2_REQ, request, 1, waitSeconds,
                            [](const strataReplySlots_t *s, void *o) {
                                auto *t = (decltype(target) *)o;
                                *t->out = s->frameIp[t->index];
                            },
                            &target);
}

void strataGetVlan2CardIpRecord(uint8_t out[6])
{
    strataTimedQuery(__func__, STRATA_OPCODE_VLAN2_CARD_IP_REQ, nullptr, 0, 0,
                     [](const strataReplySlots_t *s, void *o) { memcpy(o, s->vlan2CardIp, 6); }, out);
}
