#include "fifoServer/fifoServer.h"

#include "hal/hal.h"
#include "probing/probing.h"
#include "serviceManager/serviceManager.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

/*
 * One connection record per card index. The client socket is used (send)
 * and replaced or closed (accept, failed send, terminate) only under
 * connectionMutex, so no thread ever sends on a socket another one closed.
 * The queue and its byte total live under queueMutex.
 */

namespace {

enum { BACKLOG = 2, SEND_TIMEOUT_US = 500000, WAIT_SECONDS = 5 };
const uint8_t heartBeat[5] = {0x00, 0xFF, 0x00, 0x01, 0x01};

/* No socket until the service creates one: a write before init finds no client. */
struct connection_t {
    uint32_t port = 0;
    int serverSocket = -1;
    int clientSocket = -1;
    struct timespec lastWrite = {0, 0};
};

struct request_t {
    uint32_t cardIndex;
    uint8_t *data;
    uint32_t size;
};

struct {
    log4c_category_t *category;
    pthread_mutex_t connectionMutex = PTHREAD_MUTEX_INITIALIZER;
    connection_t connections[FIFO_SERVER_CARDS];
    uint32_t socketCount;
    int wakeFd = -1;
    pthread_mutex_t queueMutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t queueCondition = PTHREAD_COND_INITIALIZER;
    std::deque<request_t> queue;
    int32_t queuedBytes;
    int transmitStarted;
    void (*clock)(struct timespec *now);
} fifo;

log4c_category_t *category()
{
    if (!fifo.category)
        fifo.category = log4c_category_get("ulm.firmware.fifoServerSrvc");
    return fifo.category;
}

void now(struct timespec *time)
{
    if (fifo.clock)
        fifo.clock(time);
    else
        clock_gettime(CLOCK_REALTIME, time);
}

void closeClientLocked(connection_t &c)
{
    if (c.clientSocket >= 0)
        close(c.clientSocket);
    c.clientSocket = -1;
}

/* Sends everything to the card index's client, or closes it. Connection mutex held. */
void writeFifoLocked(uint32_t cardIndex, const uint8_t *data, uint32_t size, size_t queueLength)
{
    connection_t &c = fifo.connections[cardIndex];
    if (c.clientSocket < 0) {
        log4c_category_log(category(), LOG4C_PRIORITY_TRACE, "%s: no connection for fd %d. Packet drop , Queue length: %d",
                           "writeFifo", c.clientSocket, (int)queueLength);
        return;
    }
    uint32_t sent = 0;
    while (sent < size) {
        ssize_t n = send(c.clientSocket, data + sent, size - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int error = n < 0 ? errno : EPIPE;
            log4c_category_log(category(), LOG4C_PRIORITY_WARN,
                               "%s: Fail to write to fifo connection because of error %d:  %s. Closing connection ",
                               "writeFifo", error, strerror(error));
            closeClientLocked(c);
            return;
        }
        sent += (uint32_t)n;
    }
    now(&c.lastWrite);
}

void writeFifo(uint32_t cardIndex, const uint8_t *data, uint32_t size, size_t queueLength)
{
    pthread_mutex_lock(&fifo.connectionMutex);
    writeFifoLocked(cardIndex, data, size, queueLength);
    pthread_mutex_unlock(&fifo.connectionMutex);
}

int popRequest(request_t *request)
{
    pthread_mutex_lock(&fifo.queueMutex);
    int found = !fifo.queue.empty();
    if (found) {
        *request = fifo.queue.front();
        fifo.queue.pop_front();
    }
    pthread_mutex_unlock(&fifo.queueMutex);
    return found;
}

/* Drops the whole backlog at once: as many requests as the queue holds now. */
void dropBacklog(int32_t total, size_t length)
{
    log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                       "%s: fifo queue size is %d bytes and limits is %d bytes. Need to drop %d packets",
                       "transmitThreadEntry", (int)total, (int)FIFO_SERVER_QUEUE_LIMIT, (int)length);
    uint16_t toDrop = (uint16_t)length;
    while (toDrop > 0) {
        pthread_mutex_lock(&fifo.queueMutex);
        if (fifo.queue.empty()) {
            pthread_mutex_unlock(&fifo.queueMutex);
            break;
        }
        request_t r = fifo.queue.front();
        fifo.queue.pop_front();
        fifo.queuedBytes -= (int32_t)r.size;
        pthread_mutex_unlock(&fifo.queueMutex);
        toDrop--;
        if (!r.data)
            log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "%s:  buffer is Null from element from queue !!! Still %d to drop %d",
                               "transmitThreadEntry", (int)toDrop, (int)length);
        free(r.data);
    }
}

void serveRequest(request_t &r)
{
    if (!r.data || r.size == 0 || r.cardIndex >= FIFO_SERVER_CARDS) {
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                           "%s: Invalid parameter for a write fifo_index = %d, buffer pointer = %d, buffer size = %d ",
                           "transmitThreadEntry", (int)r.cardIndex, r.data ? 1 : 0, (int)r.size);
        pthread_mutex_lock(&fifo.queueMutex);
        fifo.queuedBytes -= (int32_t)r.size;
        pthread_mutex_unlock(&fifo.queueMutex);
        free(r.data);
        return;
    }
    pthread_mutex_lock(&fifo.queueMutex);
    fifo.queuedBytes -= (int32_t)r.size;
    int32_t total = fifo.queuedBytes;
    size_t length = fifo.queue.size();
    pthread_mutex_unlock(&fifo.queueMutex);
    if (total < FIFO_SERVER_QUEUE_LIMIT)
        writeFifo(r.cardIndex, r.data, r.size, length);
    else
        dropBacklog(total, length);
    free(r.data);
}

void *transmitThreadEntry(void *)
{
    log4c_category_log(category(), LOG4C_PRIORITY_INFO, "%s: Thread created", __func__);
    for (;;) {
        pthread_mutex_lock(&fifo.queueMutex);
        if (fifo.queue.empty()) {
            struct timespec until;
            clock_gettime(CLOCK_REALTIME, &until);
            until.tv_sec += WAIT_SECONDS;
            log4c_category_log(category(), LOG4C_PRIORITY_TRACE, "%s: Block pthread_cond_timedwait", __func__);
            int result = pthread_cond_timedwait(&fifo.queueCondition, &fifo.queueMutex, &until);
            log4c_category_log(category(), LOG4C_PRIORITY_TRACE, "%s: Unblock pthread_cond_timedwait returnCnd %d",
                               __func__, result);
            if (result == ETIMEDOUT) {
                pthread_mutex_unlock(&fifo.queueMutex);
                fifoServerCheckForHeartBeat();
                continue;
            }
        }
        pthread_mutex_unlock(&fifo.queueMutex);
        request_t r;
        while (popRequest(&r)) {
            serveRequest(r);
            fifoServerCheckForHeartBeat();
        }
    }
    return nullptr;
}

/* Creates, binds and listens on one record's socket, retrying a failed bind every second while the service runs. */
int createSocket(connection_t &c, serviceDescriptor *service)
{
    for (uint32_t retry = 0;; retry++) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0) {
            log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "%s: Cannot create socket for port %d", __func__,
                               (int)c.port);
        } else {
            int one = 1;
            if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
                log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                                   "%s: Fail to set socket option address and port reuseable error: %s", __func__,
                                   strerror(errno));
            struct sockaddr_in address;
            memset(&address, 0, sizeof address);
            address.sin_family = AF_INET;
            address.sin_port = htons((uint16_t)c.port);
            address.sin_addr.s_addr = htonl(halServerBindAddress());
            log4c_category_log(category(), LOG4C_PRIORITY_INFO, "%s: Will bind port %d ", __func__, (int)c.port);
            int status = bind(s, (struct sockaddr *)&address, sizeof address);
            if (status == 0) {
                if (listen(s, BACKLOG) != 0)
                    log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "%s: FAIL to listen port because of error %d: %s",
                                       __func__, errno, strerror(errno));
                return s;
            }
            log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                               "%s: Cannot bind socket for port %d! status(%d) errno[%d] = %s! retry # %d ", __func__,
                               (int)c.port, status, errno, strerror(errno), (int)retry);
            close(s);
        }
        if (service && service->state.load() != SERVICE_STATE_RUN)
            return -1;
        sleep(1);
    }
}

void acceptClient(uint32_t index)
{
    connection_t &c = fifo.connections[index];
    int client = accept4(c.serverSocket, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "%s: accept() fail. Error: %s", "fifoServerThreadEntry",
                           strerror(errno));
        return;
    }
    log4c_category_log(category(), LOG4C_PRIORITY_INFO, "%s: Accept connection for fifo index %d", "fifoServerThreadEntry",
                       (int)index);
    struct timeval timeout = {0, SEND_TIMEOUT_US};
    if (setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0)
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "%s: Fail to set timeout. error %d: %s",
                           "fifoServerThreadEntry", errno, strerror(errno));
    pthread_mutex_lock(&fifo.connectionMutex);
    if (c.clientSocket >= 0) {
        char text[64];
        fifoServerFormatTime(text, sizeof text, &c.lastWrite);
        log4c_category_log(category(), LOG4C_PRIORITY_NOTICE, "%s: Close old connection. Last transmit was at: %s",
                           "fifoServerThreadEntry", text);
        closeClientLocked(c);
    }
    c.clientSocket = client;
    now(&c.lastWrite);
    pthread_mutex_unlock(&fifo.connectionMutex);
}

void fifoServerInit(serviceDescriptor *service)
{
    fifo.category = service && service->category ? service->category : category();
    pthread_mutex_lock(&fifo.connectionMutex);
    fifo.socketCount = 0;
    for (connection_t &c : fifo.connections) {
        c.serverSocket = -1;
        c.clientSocket = -1;
        c.lastWrite = {0, 0};
    }
    if (fifo.wakeFd < 0)
        fifo.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    pthread_mutex_unlock(&fifo.connectionMutex);
    pthread_mutex_lock(&fifo.queueMutex);
    for (request_t &r : fifo.queue)
        free(r.data);
    fifo.queue.clear();
    fifo.queuedBytes = 0;
    pthread_mutex_unlock(&fifo.queueMutex);
    if (!fifo.transmitStarted && halStartDetachedThread(transmitThreadEntry, nullptr, nullptr) == 0)
        fifo.transmitStarted = 1;
}

void fifoServerPreStart(serviceDescriptor *service)
{
    (void)service;
}

void fifoServerThreadEntry(serviceDescriptor *service)
{
    struct pollfd polls[FIFO_SERVER_CARDS + 1];
    uint32_t indexOf[FIFO_SERVER_CARDS];
    uint32_t count = 0;
    for (uint32_t i = 0; i < FIFO_SERVER_CARDS && service->state.load() == SERVICE_STATE_RUN; i++) {
        fifo.connections[i].port = fifoServerCardPorts.ports[i];
        int s = createSocket(fifo.connections[i], service);
        if (s < 0)
            break;
        pthread_mutex_lock(&fifo.connectionMutex);
        fifo.connections[i].serverSocket = s;
        fifo.socketCount = i + 1;
        pthread_mutex_unlock(&fifo.connectionMutex);
        polls[count] = {s, POLLIN, 0};
        indexOf[count++] = i;
    }
    polls[count] = {fifo.wakeFd, POLLIN, 0};
    for (;;) {
        int state = service->state.load();
        if (state == SERVICE_STATE_PAUSE) {
            sem_wait(&service->semaphore);
            continue;
        }
        if (state != SERVICE_STATE_RUN)
            break;
        int ready = poll(polls, count + 1, -1);
        if (service->state.load() != SERVICE_STATE_RUN)
            continue;
        if (ready < 0) {
            if (errno != EINTR)
                log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "%s: poll() failed", __func__);
            continue;
        }
        if (ready == 0) {
            log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "%s: poll() timed out. Should never happen!!!", __func__);
            continue;
        }
        if (polls[count].revents) {
            uint64_t drained;
            while (read(fifo.wakeFd, &drained, sizeof drained) > 0) {
            }
        }
        for (uint32_t k = 0; k < count; k++) {
            short events = polls[k].revents;
            if (!events)
                continue;
            log4c_category_log(category(), LOG4C_PRIORITY_DEBUG, "%s: revents = %d from fifo index %d \n", __func__, events,
                               (int)indexOf[k]);
            if (events == POLLIN)
                acceptClient(indexOf[k]);
            else
                log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "%s: revents = %d from fifo index %d \n", __func__,
                                   events, (int)indexOf[k]);
        }
    }
    log4c_category_log(category(), LOG4C_PRIORITY_INFO, "%s: fct exit", __func__);
}

/* Closes every socket and wakes the accept loop; the transmit thread stays. */
void fifoServerTerminate(serviceDescriptor *service, int newState, int previousState)
{
    (void)service;
    (void)newState;
    (void)previousState;
    log4c_category_log(category(), LOG4C_PRIORITY_INFO, "%s: fct enter", __func__);
    if (fifo.wakeFd >= 0) {
        uint64_t one = 1;
        ssize_t ignored = write(fifo.wakeFd, &one, sizeof one);
        (void)ignored;
    }
    pthread_mutex_lock(&fifo.connectionMutex);
    for (uint32_t i = 0; i < fifo.socketCount; i++) {
        connection_t &c = fifo.connections[i];
        log4c_category_log(category(), LOG4C_PRIORITY_INFO, "%s: Closing server socket for card index: %d", __func__,
                           (int)i);
        if (c.serverSocket >= 0)
            close(c.serverSocket);
        c.serverSocket = -1;
        log4c_category_log(category(), LOG4C_PRIORITY_INFO, "%s: Closing write socket for card index: %d", __func__,
                           (int)i);
        closeClientLocked(c);
    }
    pthread_mutex_unlock(&fifo.connectionMutex);
}

} // namespace

uint8_t fifoServerWrite(log4c_category_t *cat, const void *data, uint32_t size, uint32_t cardIndex)
{
    if (!cat)
        cat = category();
    pthread_mutex_lock(&fifo.queueMutex);
    int32_t queued = fifo.queuedBytes;
    pthread_mutex_unlock(&fifo.queueMutex);
    if (queued > FIFO_SERVER_QUEUE_LIMIT)
        return FIFO_SERVER_QUEUE_FULL;
    if (!data || size == 0 || cardIndex >= FIFO_SERVER_CARDS) {
        log4c_category_log(cat, LOG4C_PRIORITY_ERROR, "%s: invalid parameter. Data pointe is %d of size %d of card index %d",
                           __func__, data ? 1 : 0, (int)size, (int)cardIndex);
        return FIFO_SERVER_INVALID;
    }
    if (!fifoServerHasClient(cardIndex)) {
        log4c_category_log(cat, LOG4C_PRIORITY_TRACE, "%s: no connection. Packet drop", __func__);
        return FIFO_SERVER_NO_CONNECTION;
    }
    uint8_t *copy = (uint8_t *)malloc(size);
    if (!copy) {
        log4c_category_log(cat, LOG4C_PRIORITY_ERROR, "%s: malloc() fail ", __func__);
        return FIFO_SERVER_NO_MEMORY;
    }
    memcpy(copy, data, size);
    pthread_mutex_lock(&fifo.queueMutex);
    try {
        fifo.queue.push_back({cardIndex, copy, size});
    } catch (...) {
        pthread_mutex_unlock(&fifo.queueMutex);
        free(copy);
        log4c_category_log(cat, LOG4C_PRIORITY_ERROR, "%s: malloc() fail on new fifo request.", __func__);
        return FIFO_SERVER_NO_MEMORY;
    }
    fifo.queuedBytes += (int32_t)size;
    pthread_cond_signal(&fifo.queueCondition);
    pthread_mutex_unlock(&fifo.queueMutex);
    return FIFO_SERVER_QUEUED;
}

int fifoServerFormatTime(char *text, size_t capacity, const struct timespec *time)
{
    struct tm local;
    time_t seconds = time->tv_sec;
    if (!localtime_r(&seconds, &local))
        return 1;
    size_t used = strftime(text, capacity, "%F %T", &local);
    if (used == 0)
        return 2;
    int more = snprintf(text + used, capacity - used, ".%03ld", time->tv_nsec / 1000000);
    if (more < 0)
        return 2;
    return (size_t)more >= capacity - used ? 3 : 0;
}

void fifoServerCheckForHeartBeat(void)
{
    struct timespec current;
    now(&current);
    pthread_mutex_lock(&fifo.connectionMutex);
    for (uint32_t i = 0; i < FIFO_SERVER_CARDS; i++) {
        connection_t &c = fifo.connections[i];
        if (c.clientSocket < 0)
            continue;
        long elapsed = (long)(current.tv_sec - c.lastWrite.tv_sec) - (current.tv_nsec < c.lastWrite.tv_nsec ? 1 : 0);
        if (elapsed <= FIFO_SERVER_HEART_BEAT_SECONDS)
            continue;
        log4c_category_log(category(), LOG4C_PRIORITY_DEBUG, "%s: Send heart beat to index: %d. Last write was %d sec ago.",
                           "checkForHeartBeat", (int)i, (int)elapsed);
        writeFifoLocked(i, heartBeat, sizeof heartBeat, 0);
    }
    pthread_mutex_unlock(&fifo.connectionMutex);
}

void fifoServerSetClock(void (*clock)(struct timespec *now))
{
    fifo.clock = clock;
}

int fifoServerHasClient(uint32_t cardIndex)
{
    if (cardIndex >= FIFO_SERVER_CARDS)
        return 0;
    pthread_mutex_lock(&fifo.connectionMutex);
    int has = fifo.connections[cardIndex].clientSocket >= 0;
    pthread_mutex_unlock(&fifo.connectionMutex);
    return has;
}

int32_t fifoServerQueuedBytes(void)
{
    pthread_mutex_lock(&fifo.queueMutex);
    int32_t queued = fifo.queuedBytes;
    pthread_mutex_unlock(&fifo.queueMutex);
    return queued;
}

serviceDescriptor fifoServerService = {
    "fifoServer", "ulm.firmware.fifoServerSrvc",
    fifoServerInit, fifoServerPreStart, fifoServerThreadEntry, fifoServerTerminate,
    96, nullptr,
};
