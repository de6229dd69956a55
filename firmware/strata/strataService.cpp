#include "strata/strataPrivate.h"

#include "hal/hal.h"
#include "pcodeProcessor/pcodeProcessor.h"
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
#include <deque>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

/*
 * The frame-controller service: the transmit queue and thread (acknowledged
 * packets with retry), the pool of queued messages, routing of received
 * messages, the TCP bridge to the QVS application and the controller monitor.
 */

/* A queued message of strataSrvSendMessage. */
struct strataMessage {
    uint32_t type;
    uint8_t destination;
    uint16_t opcode;
    uint8_t payload[STRATA_PAYLOAD_MAX];
    uint32_t size;
};

static struct {
    log4c_category_t *category = nullptr;
    int threadsStarted = 0;
    /* transmit queue */
    pthread_mutex_t txMutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t txCond = PTHREAD_COND_INITIALIZER;
    std::deque<strataPacket> txQueue;
    sem_t semAck;
    std::atomic<uint8_t> lastErr{0xFF};
    /* message pool */
    pthread_mutex_t poolMutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t poolCond = PTHREAD_COND_INITIALIZER;
    strataMessage pool[STRATA_MESSAGE_POOL];
    std::deque<int> freeQueue;
    std::deque<int> sendQueue;
    int poolReady = 0;
    /* QVS bridge: the socket is shared by the bridge thread and the receiver */
    pthread_mutex_t bridgeMutex = PTHREAD_MUTEX_INITIALIZER;
    int qvsFd = -1;
    /* card label and the held IP_CONFIG_v2 packets */
    pthread_mutex_t recordMutex = PTHREAD_MUTEX_INITIALIZER;
    char cardLabel[STRATA_LABEL_SIZE] = "";
    int cardLabelReceived = 0;
    uint8_t ipConfigPacket[2][27] = {};
    int ipConfigValid[2] = {0, 0};
    /* MEM_BLOCK buffer: freed by the control only under this lock */
    pthread_mutex_t memBlockMutex = PTHREAD_MUTEX_INITIALIZER;
    /* time requests */
    std::atomic<uint32_t> timeUpdatesNeeded{0};
    pthread_mutex_t timeMutex = PTHREAD_MUTEX_INITIALIZER;
    int timeRequestOutstanding = 0;
    struct timespec timeRequestSent = {};
    std::atomic<int> buttonBusy{0};
    int bridgeStarted = 0;
    int monitorStarted = 0;
} strataSrv;

#define SRV_LOG(priority, ...) log4c_category_log(strataCategory(), priority, __VA_ARGS__)

static void strataSrvSleepMs(uint32_t ms)
{
    struct timespec pause = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

/* ---- transmit queue and thread ---- */

int strataTxQueueHasRoom(uint32_t packets)
{
    pthread_mutex_lock(&strataSrv.txMutex);
    int room = strataSrv.txQueue.size() + packets <= STRATA_TX_QUEUE_MAX;
    pthread_mutex_unlock(&strataSrv.txMutex);
    return room;
}

int strataTxQueuePush(const strataPacket *packet, int atHead)
{
    pthread_mutex_lock(&strataSrv.txMutex);
    if (!atHead && strataSrv.txQueue.size() >= STRATA_TX_QUEUE_MAX) {
        pthread_mutex_unlock(&strataSrv.txMutex);
        return -1;
    }
    if (atHead)
        strataSrv.txQueue.push_front(*packet);
    else
        strataSrv.txQueue.push_back(*packet);
    pthread_cond_signal(&strataSrv.txCond);
    pthread_mutex_unlock(&strataSrv.txMutex);
    return 0;
}

void flushTxQueue(void)
{
    SRV_LOG(LOG4C_PRIORITY_INFO, "%s: Flush Tx Queue started...", __func__);
    pthread_mutex_lock(&strataSrv.txMutex);
    for (const strataPacket &packet : strataSrv.txQueue)
        logPacket("Tx: FLUSHING!!!", packet.bytes, packet.size);
    strataSrv.txQueue.clear();
    pthread_mutex_unlock(&strataSrv.txMutex);
    SRV_LOG(LOG4C_PRIORITY_INFO, "%s: Flush Tx Queue finished.", __func__);
}

void strataAckReceived(uint8_t error)
{
    strataSrv.lastErr = error;
    sem_post(&strataSrv.semAck);
}

/* Writes the whole packet, looping over partial writes. 0, or -1 with errno. */
static int strataTxWrite(const strataPacket *packet)
{
    uint32_t done = 0;
    while (done < packet->size) {
        int written = strataWritePort(packet->bytes + done, packet->size - done);
        if (written <= 0)
            return -1;
        done += (uint32_t)written;
    }
    return 0;
}

static void strataTxDrainStaleAcks(void)
{
    int stale = 0;
    if (sem_getvalue(&strataSrv.semAck, &stale) != 0) {
        SRV_LOG(LOG4C_PRIORITY_ERROR, "%s: sem_getvalue returned with error. errno[%d] = %s.", __func__, errno,
                strerror(errno));
        return;
    }
    if (stale <= 0)
        return;
    SRV_LOG(LOG4C_PRIORITY_WARN, "%s: Error. There were %d old acks in the pipe. Flushing the semAck.", __func__,
            stale);
    while (sem_trywait(&strataSrv.semAck) == 0) {
    }
}

/* Sends one packet with its retries. */
static void strataTxSend(const strataPacket *packet)
{
    uint32_t retries = strataLinkConfiguration.txRetries ? strataLinkConfiguration.txRetries : 1;
    uint32_t remaining = retries - 1;
    for (int first = 1;; first = 0) {
        logPacket(first ? "Tx: txThread: " : "Tx: txThread: RETRY ", packet->bytes, packet->size);
        strataTxDrainStaleAcks();
        if (strataTxWrite(packet) != 0) {
            SRV_LOG(LOG4C_PRIORITY_ERROR, "%s: Error when writing to the Port!!! errno[%d] = %s", __func__, errno,
                    strerror(errno));
            if (errno == EPIPE)
                connectStrataProxy(&strataLinkConfiguration, strataCategory());
        }
        if (strataIsSocket())
            return;
        struct timespec until = utilsDeadlineIn(CLOCK_REALTIME, (long)strataTiming.ackWaitMs);
        int rc;
        while ((rc = sem_timedwait(&strataSrv.semAck, &until)) != 0 && errno == EINTR) {
        }
        if (rc == 0) {
            uint8_t error = strataSrv.lastErr;
            SRV_LOG(LOG4C_PRIORITY_DEBUG, "%s: We got an ack. lastErr 0x%02x, retries %d", __func__, error,
                    (int)remaining);
            if (error == 0xFF || remaining == 0)
                return;
            if (error == STRATA_NACK_BUSY)
                strataSrvSleepMs(strataTiming.busyRetryMs);
        } else {
            int saved = errno;
            SRV_LOG(remaining > 0 ? LOG4C_PRIORITY_WARN : LOG4C_PRIORITY_ERROR,
                    "%s: timed out waiting for ack when sending 0x%02X%02X to 0x%x, retry count: %d (max %d), "
                    "errReturned %d, errno[%d] = %s",
                    __func__, packet->bytes[4], packet->bytes[5], packet->bytes[1], (int)(retries - remaining),
                    (int)retries, rc, saved, strerror(saved));
            if (remaining == 0)
                return;
        }
        remaining--;
    }
}

static void *txThreadEntry(void *argument)
{
    (void)argument;
    for (;;) {
        pthread_mutex_lock(&strataSrv.txMutex);
        while (strataSrv.txQueue.empty())
            pthread_cond_wait(&strataSrv.txCond, &strataSrv.txMutex);
        strataPacket packet = strataSrv.txQueue.front();
        strataSrv.txQueue.pop_front();
        pthread_mutex_unlock(&strataSrv.txMutex);
        serviceThreadAlive(14);
        strataTxSend(&packet);
    }
    return nullptr;
}

/* ---- queued messages ---- */

/* Puts every message of the pool on the free queue, once. Pool mutex held. */
static void strataPoolInitLocked(void)
{
    if (strataSrv.poolReady)
        return;
    for (int i = 0; i < STRATA_MESSAGE_POOL; i++)
        strataSrv.freeQueue.push_back(i);
    strataSrv.poolReady = 1;
}

int strataSrvSendMessage(log4c_category_t *category, uint32_t type, uint32_t destination, uint16_t opcode,
                         const uint8_t *payload, uint32_t size)
{
    if (!category)
        category = strataCategory();
    if (size > STRATA_PAYLOAD_MAX) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: strata message payload size %d is too big(max:%d)! Dropping strata messages!",
                           __func__, (int)size, STRATA_PAYLOAD_MAX);
        return 0;
    }
    pthread_mutex_lock(&strataSrv.poolMutex);
    strataPoolInitLocked();
    if (strataSrv.freeQueue.empty()) {
        pthread_mutex_unlock(&strataSrv.poolMutex);
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "Big problem! Q full! Dropping strata messages!");
        return 0;
    }
    int index = strataSrv.freeQueue.front();
    strataSrv.freeQueue.pop_front();
    strataMessage *message = &strataSrv.pool[index];
    message->type = type;
    message->destination = (uint8_t)destination;
    message->opcode = opcode;
    message->size = size;
    if (size)
        memcpy(message->payload, payload, size);
    strataSrv.sendQueue.push_back(index);
    pthread_cond_signal(&strataSrv.poolCond);
    pthread_mutex_unlock(&strataSrv.poolMutex);
    log4c_category_log(category, LOG4C_PRIORITY_DEBUG,
                       "%s put strata message: type:%d, destination:%d (0x%02x), opcode:0x%04x, size:%d in the queue",
                       __func__, (int)type, (int)destination, (unsigned)destination, opcode, (int)size);
    if (log4c_category_is_priority_enabled(category, LOG4C_PRIORITY_DEBUG)) {
        char hex[2 * STRATA_PAYLOAD_MAX + 1] = "";
        for (uint32_t i = 0; i < size; i++)
            snprintf(hex + 2 * i, 3, "%02x", payload[i]);
        log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "%s: queued type %u address 0x%02x opcode 0x%04x length %u data [%s]",
                           __func__, type, destination, opcode, size, hex);
    }
    return 1;
}

static int strataLinkReady(void)
{
    return strataGetCommState() == 3 && strataGetCardId() != 0;
}

static void *strataSrvSendMessageThreadEntry(void *argument)
{
    (void)argument;
    SRV_LOG(LOG4C_PRIORITY_INFO, "%s: thread %lu started", __func__, (unsigned long)pthread_self());
    for (;;) {
        if (!strataLinkReady()) {
            strataSrvSleepMs(strataTiming.pollMs);
            continue;
        }
        pthread_mutex_lock(&strataSrv.poolMutex);
        while (strataSrv.sendQueue.empty() && strataLinkReady()) {
            struct timespec until = utilsDeadlineIn(CLOCK_REALTIME, (long)strataTiming.pollMs);
            pthread_cond_timedwait(&strataSrv.poolCond, &strataSrv.poolMutex, &until);
        }
        if (strataSrv.sendQueue.empty()) {
            pthread_mutex_unlock(&strataSrv.poolMutex);
            continue;
        }
        int index = strataSrv.sendQueue.front();
        strataSrv.sendQueue.pop_front();
        pthread_mutex_unlock(&strataSrv.poolMutex);
        strataMessage *m = &strataSrv.pool[index];
        uint64_t elapsedUs = 0;
        int rc;
        while ((rc = strata_sendmsg(m->type, m->destination, m->opcode, m->payload, m->size)) == -1 &&
               elapsedUs <= (uint64_t)strataTiming.sendGiveUpMs * 1000) {
            strataSrvSleepMs(strataTiming.sendRetryMs);
            elapsedUs += (uint64_t)strataTiming.sendRetryMs * 1000;
        }
        if (rc != -1)
            SRV_LOG(LOG4C_PRIORITY_DEBUG,
                    "%s succeeded to send strata message: type:%d, destination:%d (0x%02x), opcode:0x%04x, size:%d, "
                    "time:%d ms",
                    __func__, (int)m->type, m->destination, m->destination, m->opcode, (int)m->size,
                    (int)(elapsedUs / 1000));
        else
            SRV_LOG(LOG4C_PRIORITY_ERROR,
                    "%s %d seconds timeout, failed to send strata message: type:%d, destination:%d, opcode:0x%04x, "
                    "size:%d",
                    __func__, (int)(strataTiming.sendGiveUpMs / 1000), (int)m->type, m->destination, m->opcode,
                    (int)m->size);
        pthread_mutex_lock(&strataSrv.poolMutex);
        strataSrv.freeQueue.push_back(index);
        pthread_mutex_unlock(&strataSrv.poolMutex);
    }
    return nullptr;
}

int updateMemBlockHandler(const uint8_t *pcode, uint32_t length)
{
    (void)pcode;
    (void)length;
    static const uint8_t zeros[3] = {0, 0, 0};
    SRV_LOG(LOG4C_PRIORITY_INFO, "updateMemBlockHandler sending SAVE_RESTORE_POINT");
    strata_sendmsg(STRATA_MSG_REQUEST, STRATA_CONTROLLER_ADDRESS, STRATA_OPCODE_SAVE_RESTORE_POINT, zeros, 3);
    return 0;
}

static void updateMemBlockPcode(const uint8_t *pcode, uint32_t length)
{
    updateMemBlockHandler(pcode, length);
}

/* ---- routing ---- */

int strataIsFirmwareMessage(uint16_t opcode)
{
    static const uint16_t always[] = {
        0x0000, 0x0001, 0x0005, 0x000C, 0x000D, 0x0010, 0x0012, 0x0013, 0x0014, 0x0015, 0x0016, 0x0017, 0x0018,
        0x0019, 0x001A, 0x003D, 0x0044, 0x0046, 0x0047, 0x0049, 0x004A, 0x004C, 0x0120, 0x0121, 0x0122, 0x0123,
        0x0124, 0x012B, 0x0130, 0x0150, 0x0152, 0x0200, 0x0202, 0x0206, 0x0218, 0x021A, 0x100F, 0x1018, 0x101B,
        0x101E, 0x1039, 0x103B, 0x305E, 0x3060, 0x3201, 0x6500, 0x6502, 0xF01F,
    };
    static const uint16_t menu[] = {0x0006, 0x0020, 0x0021, 0x0024, 0x0025, 0x0026, 0x0027};
    for (uint16_t o : always)
        if (o == opcode)
            return 1;
    /* input and output status requests 0x14n0 and 0x14n2, n = 1-9 */
    if ((opcode & 0xFF0F) == 0x1400 && ((opcode >> 4) & 0xF) >= 1 && ((opcode >> 4) & 0xF) <= 9)
        return 1;
    if ((opcode & 0xFF0F) == 0x1402 && ((opcode >> 4) & 0xF) >= 1 && ((opcode >> 4) & 0xF) <= 9)
        return 1;
    if (strataLinkConfiguration.isStrataMenuHandledByFirmware)
        for (uint16_t o : menu)
            if (o == opcode)
                return 1;
    if (strataLinkConfiguration.statusByFirmware && (opcode == 0x0008 || opcode == 0x1009 || opcode == 0x100A))
        return 1;
    return platformIsPrivateStrataMessage(opcode);
}

/* ---- QVS bridge ---- */

/*
 * Ends the connection to the QVS application. The bridge thread may be reading
 * it: wake it with a shutdown and leave the close to it, the socket's only reader.
 */
static void strataBridgeEndLocked(void)
{
    if (strataSrv.qvsFd >= 0)
        shutdown(strataSrv.qvsFd, SHUT_RDWR);
    strataSrv.qvsFd = -1;
}

int strataBridgeWritePacket(const uint8_t *packet, uint32_t size)
{
    pthread_mutex_lock(&strataSrv.bridgeMutex);
    SRV_LOG(LOG4C_PRIORITY_DEBUG, "%s: sock %d", "qvsHandler", strataSrv.qvsFd);
    SRV_LOG(LOG4C_PRIORITY_DEBUG, "%s: strata messages handled by software: 0x%04x", "qvsHandler",
            size >= 6 ? packet[4] << 8 | packet[5] : 0);
    if (strataSrv.qvsFd < 0) {
        pthread_mutex_unlock(&strataSrv.bridgeMutex);
        return 0;
    }
    logPacket("TX to JVM: ", packet, size);
    ssize_t written = send(strataSrv.qvsFd, packet, size, MSG_NOSIGNAL);
    int result = written == (ssize_t)size;
    if (written < 0) {
        SRV_LOG(LOG4C_PRIORITY_ERROR,
                "Failed to write to JVM, socket return value(%d) errno[%d] = %s!(JVM strata port closed, closing "
                "connection)",
                (int)written, errno, strerror(errno));
        strataBridgeEndLocked();
    } else if (!result) {
        SRV_LOG(LOG4C_PRIORITY_WARN, "cannot write all data to JVM strata port");
    }
    pthread_mutex_unlock(&strataSrv.bridgeMutex);
    return result;
}

int qvsHandler(const uint8_t *data, uint32_t dataLength, uint16_t opcode)
{
    /* The data sits inside a whole packet: its 6 header bytes before, the checksum after. A reassembled
       message is no such packet and cannot be relayed. */
    if (dataLength > STRATA_PACKET_DATA_MAX) {
        SRV_LOG(LOG4C_PRIORITY_WARN, "%s: message 0x%04x of %u bytes does not fit one packet; not relayed", __func__,
                opcode, dataLength);
        return 0;
    }
    return strataBridgeWritePacket(data - STRATA_PACKET_HEADER, dataLength + 7);
}

/* Builds a packet from the controller (0x15) to this card. */
static uint32_t strataBuildFromController(uint8_t *packet, uint16_t opcode, const uint8_t *data, uint32_t length)
{
    return strataFramePacket(packet, (uint8_t)strataGetCardId(), STRATA_CONTROLLER_ADDRESS, opcode, data, length, 0);
}

int strataRelayToQvs(uint16_t opcode, const uint8_t *data, uint32_t length)
{
    if (length > STRATA_PACKET_DATA_MAX)
        return 0;
    uint8_t packet[STRATA_PACKET_MAX];
    uint32_t size = strataBuildFromController(packet, opcode, data, length);
    return qvsHandler(packet + STRATA_PACKET_HEADER, size - 7, opcode);
}

void strataSetCardLabel(const char *label, uint32_t length)
{
    uint8_t record[STRATA_LABEL_SIZE] = {};
    memcpy(record, label, length < STRATA_LABEL_SIZE - 1 ? length : STRATA_LABEL_SIZE - 1);
    pthread_mutex_lock(&strataSrv.recordMutex);
    memcpy(strataSrv.cardLabel, record, STRATA_LABEL_SIZE);
    strataSrv.cardLabelReceived = 1;
    pthread_mutex_unlock(&strataSrv.recordMutex);
    SRV_LOG(LOG4C_PRIORITY_INFO, "got card label message: card label set to %s", (const char *)record);
    strataRelayToQvs(STRATA_OPCODE_CARD_LABEL, record, STRATA_LABEL_SIZE);
}

void strataGetCardLabel(char out[STRATA_LABEL_SIZE])
{
    pthread_mutex_lock(&strataSrv.recordMutex);
    memcpy(out, strataSrv.cardLabel, STRATA_LABEL_SIZE);
    pthread_mutex_unlock(&strataSrv.recordMutex);
}

void strataHoldIpConfigPacket(uint32_t interfaceIndex, const uint8_t *packet, uint32_t size)
{
    if (interfaceIndex > 1 || size != sizeof strataSrv.ipConfigPacket[0])
        return;
    pthread_mutex_lock(&strataSrv.recordMutex);
    memcpy(strataSrv.ipConfigPacket[interfaceIndex], packet, size);
    strataSrv.ipConfigValid[interfaceIndex] = 1;
    pthread_mutex_unlock(&strataSrv.recordMutex);
}

/* Relays a held IP_CONFIG_v2 packet to the QVS application as 0x400F. */
static void strataRelayIpConfig(uint32_t interfaceIndex)
{
    if (!strataLinkConfiguration.qvsRelay)
        return;
    uint8_t packet[27];
    pthread_mutex_lock(&strataSrv.recordMutex);
    int valid = strataSrv.ipConfigValid[interfaceIndex];
    memcpy(packet, strataSrv.ipConfigPacket[interfaceIndex], sizeof packet);
    pthread_mutex_unlock(&strataSrv.recordMutex);
    if (!valid)
        return;
    packet[4] = STRATA_OPCODE_QVS_IP_CONFIG_V2 >> 8;
    packet[5] = STRATA_OPCODE_QVS_IP_CONFIG_V2 & 0xFF;
    packet[26] = strataChecksum(packet, 26);
    strataBridgeWritePacket(packet, sizeof packet);
}

/* Reads one whole packet from the QVS application. 1 read, 0 the connection failed, -1 bad packet. */
static int strataBridgeReadPacket(int fd, uint8_t *packet, uint32_t *size)
{
    uint32_t got = 0, want = 7;
    while (got < want) {
        ssize_t n = read(fd, packet + got, want - got);
        if (n <= 0) {
            SRV_LOG(LOG4C_PRIORITY_ERROR, "Failed to read from JVM, socket return value(%d) errno[%d] = %s!",
                    (int)n, n < 0 ? errno : 0, n < 0 ? strerror(errno) : "connection closed");
            return 0;
        }
        got += (uint32_t)n;
        if (got >= 4) {
            uint32_t length = packet[3] & 0x3F;
            if (packet[0] != STRATA_START_BYTE || length < 2 || length + 5 > STRATA_PACKET_MAX) {
                SRV_LOG(LOG4C_PRIORITY_ERROR, "%s: invalid packet from JVM (start 0x%02x, length %u). Closing",
                        __func__, packet[0], length);
                return -1;
            }
            want = length + 5;
        }
    }
    *size = want;
    return 1;
}

static void strataBridgeOnConnect(int fd)
{
    SRV_LOG(LOG4C_PRIORITY_INFO, "%s: connected to JVM, fd %d", "rxFromJvm", fd);
    char label[STRATA_LABEL_SIZE];
    pthread_mutex_lock(&strataSrv.recordMutex);
    int haveLabel = strataSrv.cardLabelReceived;
    memcpy(label, strataSrv.cardLabel, sizeof label);
    int held[2] = {strataSrv.ipConfigValid[0], strataSrv.ipConfigValid[1]};
    pthread_mutex_unlock(&strataSrv.recordMutex);
    if (strataGetCardId() != 0 && haveLabel)
        strataRelayToQvs(STRATA_OPCODE_CARD_LABEL, (const uint8_t *)label, STRATA_LABEL_SIZE);
    for (uint32_t i = 0; i < 2; i++) {
        if (!held[i])
            continue;
        SRV_LOG(LOG4C_PRIORITY_WARN, "%s: connected to JVM, sending IP CONFIG V2 message", "rxFromJvm");
        strataRelayIpConfig(i);
    }
}

/* 1 when the link state lets a packet from the QVS application go out. */
static int strataBridgePacketAllowed(const uint8_t *packet)
{
    uint16_t opcode = (uint16_t)(packet[4] << 8 | packet[5]);
    if (packet[1] == STRATA_CONTROLLER_ADDRESS)
        return opcode == STRATA_OPCODE_DEV_ID || strataGetCommState() >= 2;
    if (packet[1] == STRATA_REPORT_ADDRESS)
        return strataGetCommState() == 3;
    return 1;
}

static void *rxFromJvm(void *argument)
{
    (void)argument;
    /* This thread's connection: it reads it until it fails, then closes it (a writer only ends it). */
    int fd = -1;
    for (;;) {
        if (fd < 0) {
            int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            struct sockaddr_in address = {};
            address.sin_family = AF_INET;
            address.sin_port = htons(STRATA_QVS_PORT);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (s < 0 || connect(s, (struct sockaddr *)&address, sizeof address) != 0) {
                if (s >= 0)
                    close(s);
                strataSrvSleepMs(strataTiming.bridgeReconnectMs);
                continue;
            }
            pthread_mutex_lock(&strataSrv.bridgeMutex);
            strataSrv.qvsFd = s;
            pthread_mutex_unlock(&strataSrv.bridgeMutex);
            strataBridgeOnConnect(s);
            fd = s;
        }
        uint8_t packet[STRATA_PACKET_MAX];
        uint32_t size = 0;
        int rc = strataBridgeReadPacket(fd, packet, &size);
        if (rc <= 0) {
            pthread_mutex_lock(&strataSrv.bridgeMutex);
            if (strataSrv.qvsFd == fd)
                strataBridgeEndLocked();
            pthread_mutex_unlock(&strataSrv.bridgeMutex);
            close(fd);
            fd = -1;
            continue;
        }
        serviceThreadAlive(10);
        logPacket("RX from JVM: ", packet, size);
        if (strataBridgePacketAllowed(packet))
            strata_send_packet(packet, size, (packet[4] << 8 | packet[5]) >= 2);
    }
    return nullptr;
}

void strataButtonPressed(uint32_t pressCount)
{
    if (pressCount == 0 || strataGetCommState() < 2 || strataSrv.buttonBusy.exchange(1))
        return;
    if (strataLinkConfiguration.isStrataMenuHandledByFirmware)
        menuMessageHandler(STRATA_CONTROLLER_ADDRESS, STRATA_OPCODE_BUTTON, nullptr, 0);
    else
        strataRelayToQvs(STRATA_OPCODE_BUTTON, nullptr, 0);
    strataSrv.buttonBusy = 0;
}

/* ---- time requests ---- */

uint32_t strataTimeUpdatesNeeded(void)
{
    return strataSrv.timeUpdatesNeeded;
}

int strataTimeRequestTake(struct timespec *sentAt)
{
    pthread_mutex_lock(&strataSrv.timeMutex);
    int outstanding = strataSrv.timeRequestOutstanding;
    *sentAt = strataSrv.timeRequestSent;
    strataSrv.timeRequestOutstanding = 0;
    pthread_mutex_unlock(&strataSrv.timeMutex);
    return outstanding;
}

void strataTimeRequestClear(void)
{
    pthread_mutex_lock(&strataSrv.timeMutex);
    strataSrv.timeRequestOutstanding = 0;
    pthread_mutex_unlock(&strataSrv.timeMutex);
}

void timeSyncUpdate(uint32_t argument)
{
    (void)argument;
    if (!strataSrv.timeUpdatesNeeded)
        return;
    /* the new request is timed even after a missed reply, and marked before it can be answered */
    pthread_mutex_lock(&strataSrv.timeMutex);
    if (strataSrv.timeRequestOutstanding)
        SRV_LOG(LOG4C_PRIORITY_ERROR, "%s: Error: we sent GET_TIME_V3 but there was no response.", __func__);
    strataSrv.timeRequestOutstanding =
        utils_getMonotonicTime(strataCategory(), &strataSrv.timeRequestSent, 10) == 1 ? 1 : 0;
    pthread_mutex_unlock(&strataSrv.timeMutex);
    strata_sendmsg(STRATA_MSG_REQUEST, STRATA_CONTROLLER_ADDRESS, STRATA_OPCODE_GET_TIME_V3, nullptr, 0);
}

/* ---- controller monitor ---- */

static void strataMonitorReport(uint16_t opcode, uint32_t value)
{
    if (strataLinkConfiguration.monitorCallback)
        strataLinkConfiguration.monitorCallback(strataCategory(), opcode, value);
}

static void strataMonitorPass(uint32_t storedIp[2], uint8_t storedStatus[8], int *capabilitiesOwed)
{
    log4c_category_t *category = strataCategory();
    if (strataGetCommState() != 3) {
        log4c_category_log(category, LOG4C_PRIORITY_WARN,
                           "%s: strataGetCommState possibly reset controller went down and now back up!Sleep and "
                           "wait.",
                           "strataControllerMonitorStatus");
        platformReportStrataControllerStatus(category, 2, 0);
        return;
    }
    for (uint32_t i = 0; i < 2; i++) {
        uint32_t address = 0;
        if (strataGetFrameIpAddress(i, &address, 30) != 0) {
            platformReportStrataControllerStatus(category, 2, 0);
            return;
        }
        if (address == storedIp[i])
            continue;
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: Received Strata Controller Eth%d IP Address, 0x%08x",
                           "strataControllerMonitorStatus", (int)i + 1, address);
        if (storedIp[i] != 0)
            log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: INTERFACE_ETH%d receivedIpAddress 0x%x != stored 0x%x!",
                               "strataControllerMonitorStatus", (int)i + 1, address, storedIp[i]);
        storedIp[i] = address;
        strataMonitorReport(STRATA_OPCODE_IP_CONFIG_V2, i);
        strataRelayIpConfig(i);
    }
    uint8_t status[8];
    if (strataGetFrameStatus(status, 30) != 0) {
        platformReportStrataControllerStatus(category, 2, 0);
        return;
    }
    if (memcmp(status, storedStatus, 8) != 0) {
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                           "%s: frame status changed: status word 0x%02x%02x -> 0x%02x%02x, presence %02x %02x %02x -> "
                           "%02x %02x %02x",
                           "strataControllerMonitorStatus", storedStatus[0], storedStatus[1], status[0], status[1],
                           storedStatus[2], storedStatus[3], storedStatus[4], status[2], status[3], status[4]);
        memcpy(storedStatus, status, 8);
        strataMonitorReport(STRATA_OPCODE_FRAME_STATUS, (uint32_t)(status[0] | status[1] << 8));
    }
    uint8_t capabilities = 0;
    if (*capabilitiesOwed && strataGetControllerCapabilities(&capabilities, 6) == 0) {
        *capabilitiesOwed = 0;
        strataMonitorReport(STRATA_OPCODE_CAPABILITIES, capabilities);
    }
    platformReportStrataControllerStatus(category, 1, 0);
}

static void *strataControllerMonitorStatus(void *argument)
{
    (void)argument;
    log4c_category_t *category = strataCategory();
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: thread %lu started", __func__,
                       (unsigned long)pthread_self());
    platformReportStrataControllerStatus(category, 0, 1);
    while (!strataLinkReady())
        strataSrvSleepMs(strataTiming.pollMs);
    log4c_category_log(category, LOG4C_PRIORITY_INFO,
                       "%s: Connected to controller 1st get FRAME_TYPE then proceed to poll periodic Status!", __func__);
    uint8_t frameType = 0;
    if (strataGetFrameType(&frameType, 30) != 0) {
        log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s: TimedOut of  strataGetFrameType will default value!",
                           __func__);
        frameType = 2;
    }
    strataMonitorReport(STRATA_OPCODE_FRAME_TYPE, frameType);
    int capabilitiesOwed = 0;
    if (platformGetFrameType() != 0) {
        log4c_category_log(category, LOG4C_PRIORITY_INFO,
                           "%s: In a Strata3+ Frame, therefore sending GET_CONTROLLER_CAPABILITIES Message to see if "
                           "it supports vlan.",
                           __func__);
        uint8_t capabilities = 0;
        if (strataGetControllerCapabilities(&capabilities, 10) == 0)
            strataMonitorReport(STRATA_OPCODE_CAPABILITIES, capabilities);
        else if (getControllerCapabilitiesAnotherWay(category, &capabilities) == 0)
            strataMonitorReport(STRATA_OPCODE_CAPABILITIES, capabilities);
        else
            capabilitiesOwed = 1;
    }
    if (platformAreWeUsingVlan(category)) {
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: Sending strataGetVlan2CardIp Message.", __func__);
        uint8_t vlan = 0;
        if (strataGetVlan2CardIp(&vlan, 10) != 0) {
            vlan = 0xFF;
            log4c_category_log(category, LOG4C_PRIORITY_WARN,
                               "%s: TimedOut of  strataGetVlan2CardIp will default value to %d!", __func__, vlan);
        }
        strataMonitorReport(STRATA_OPCODE_VLAN2_CARD_IP, vlan);
        if (strataTakeMemBlockRebootPending()) {
            log4c_category_log(category, LOG4C_PRIORITY_WARN,
                               "%s: We finished getting the vlan2 ip addr and now we will reboot since the mem-block "
                               "had changed.",
                               __func__);
            rebootCard(category, PLATFORM_REBOOT_CONFIRMATION);
        }
    }
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: Get Restore Point Config!", __func__);
    uint8_t restoreConfig = 0;
    if (strataGetRestorePointConfig(&restoreConfig, 10) != 0) {
        restoreConfig = 1;
        log4c_category_log(category, LOG4C_PRIORITY_WARN,
                           "%s: TimedOut of  strataGetRestorePointConfig will default value to %d!", __func__,
                           restoreConfig);
    }
    strataMonitorReport(STRATA_OPCODE_RESTORE_POINT_CONFIG, restoreConfig);
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: Will be start polling controller for status data!",
                       __func__);
    uint32_t storedIp[2] = {0, 0};
    uint8_t storedStatus[8] = {};
    for (;;) {
        strataSrvSleepMs(strataTiming.monitorPeriodMs);
        strataMonitorPass(storedIp, storedStatus, &capabilitiesOwed);
    }
    return nullptr;
}

/* ---- service functions ---- */

static void strataInit(serviceDescriptor *service)
{
    strataSrv.category = service->category;
    log4c_category_t *category = strataCategory();
    platformRegisterStrataLink(strataGetCardId, strataSrvSendMessage);
    pthread_mutex_lock(&strataSrv.memBlockMutex);
    if (!strataLinkConfiguration.memBlock)
        strataLinkConfiguration.memBlock = (uint8_t *)calloc(1, STRATA_MEM_BLOCK_SIZE);
    strataLinkConfiguration.memBlockSize = STRATA_MEM_BLOCK_SIZE;
    pthread_mutex_unlock(&strataSrv.memBlockMutex);
    if (strataSrv.threadsStarted)
        return;
    if (sem_init(&strataSrv.semAck, 0, 0) != 0)
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "strataInit: failed to create semaphore");
    if (halStartDetachedThread(txThreadEntry, nullptr, nullptr) == 0)
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s thread started", __func__);
    else
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s cannot start thread ", __func__);
    platformStrataDoWeHandleMenu(category);
    pthread_mutex_lock(&strataSrv.poolMutex);
    strataPoolInitLocked();
    pthread_mutex_unlock(&strataSrv.poolMutex);
    log4c_category_log(category, LOG4C_PRIORITY_INFO,
                       "%s:, creating strataSrvSendMessageThreadEntry thread for sending strata messages", __func__);
    if (halStartDetachedThread(strataSrvSendMessageThreadEntry, nullptr, nullptr) != 0)
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: failed to create strataSrvSendMessageThreadEntry thread for strata messages", __func__);
    strataTimeRequestClear();
    strataSrv.threadsStarted = 1;
}

static pcodeHandlerInfo strataMemBlockPcode = {updateMemBlockPcode, 10, 13, nullptr};
static setDevicePcodeHandlerInfo strataLiveUpdateListener = {liveUpdateMsgProcessing, 0xFF, STRATA_LIVE_UPDATE_DEVICE,
                                                             STRATA_LIVE_UPDATE_REGISTER, nullptr};

static void strataPreServiceInit(serviceDescriptor *service)
{
    (void)service;
    log4c_category_t *category = strataCategory();
    platformStrataPreServiceInit(category);
    /* Known before the link opens: the controller may raise it to state 3, which asks for the time, at once. */
    const char *disable = getenv("DISABLE_TIME_UPDATE");
    strataSrv.timeUpdatesNeeded = !disable || strcasecmp(disable, "true") != 0 ? 1 : 0;
    int rc = strata_open(&strataLinkConfiguration, category);
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "strata_api init returned %d", rc);
    if (strataLinkConfiguration.isStrataMenuHandledByFirmware) {
        char label[STRATA_LABEL_SIZE];
        strataGetCardLabel(label);
        if (strataLinkConfiguration.menuRootInit && strataLinkConfiguration.strataMenuRoot)
            strataLinkConfiguration.menuRootInit(category, strataLinkConfiguration.strataMenuRoot, label);
        else
            log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                               "strataInit No strataMenuRoot defined while isStrataMenuHandledByFirmware is TRUE");
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "Not creating thread rxFromJvm!");
    } else {
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "Will crete thread rxFromJvm!");
        if (!strataSrv.bridgeStarted && halStartDetachedThread(rxFromJvm, nullptr, nullptr) == 0) {
            strataSrv.bridgeStarted = 1;
        } else if (!strataSrv.bridgeStarted) {
            strata_close();
            log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s failed to start thread", __func__);
        }
    }
    if (!strataLinkConfiguration.monitorEnable) {
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "Not creating strataControllerMonitor Thread!");
    } else if (!strataLinkConfiguration.monitorCallback) {
        log4c_category_log(category, LOG4C_PRIORITY_INFO,
                           "Not creating strataControllerMonitor missing targetCall back Function!");
    } else {
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "Will create thread strataControllerMonitor!");
        if (!strataSrv.monitorStarted && halStartDetachedThread(strataControllerMonitorStatus, nullptr, nullptr) == 0)
            strataSrv.monitorStarted = 1;
        else if (!strataSrv.monitorStarted)
            log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s failed to start strataControllerMonitorStatus",
                               __func__);
    }
    registerStrataButtonListener(strataButtonPressed, category);
    if (strataSrv.timeUpdatesNeeded) {
        log4c_category_log(category, LOG4C_PRIORITY_INFO,
                           "%s called with timeUpdatesNeeded %d! (Strata Time Functionality Enabled!)", __func__, 1);
        registerTimeSyncListener(timeSyncUpdate, category);
        if (strataIsSocket())
            strata_sendmsg(STRATA_MSG_REQUEST, STRATA_CONTROLLER_ADDRESS, STRATA_OPCODE_GET_TIME_V3, nullptr, 0);
    }
    static int registered = 0;
    if (!registered) {
        registerPcodeHandler(&strataMemBlockPcode);
        registerSetDevicePcodeHandler(&strataLiveUpdateListener);
        registered = 1;
    }
}

static void strataServiceControl(serviceDescriptor *service, int newState, int previousState)
{
    (void)service;
    (void)newState;
    (void)previousState;
    /* The receiver may be writing the MEM_BLOCK text; stop it before the buffer goes. */
    strata_close();
    pthread_mutex_lock(&strataSrv.memBlockMutex);
    free(strataLinkConfiguration.memBlock);
    strataLinkConfiguration.memBlock = nullptr;
    pthread_mutex_unlock(&strataSrv.memBlockMutex);
}

/* Runs `use` on the MEM_BLOCK buffer while the control cannot free it. */
int strataWithMemBlock(int (*use)(uint8_t *buffer, uint32_t size, void *argument), void *argument)
{
    pthread_mutex_lock(&strataSrv.memBlockMutex);
    int rc = strataLinkConfiguration.memBlock
                 ? use(strataLinkConfiguration.memBlock, strataLinkConfiguration.memBlockSize, argument)
                 : -1;
    pthread_mutex_unlock(&strataSrv.memBlockMutex);
    return rc;
}

serviceDescriptor strataService = {
    "strata", "ulm.firmware.strataSrvc",
    strataInit, strataPreServiceInit, nullptr, strataServiceControl,
    99, nullptr,
};
