/*
 * Server mode: listens on TCP 5113 for up to three QVS peers. A client from
 * the card's own address is connection 0 (publishing list 0, notified at
 * once); the others alternate between connections 1 and 2 (list 1, notified
 * by their notify threads).
 */
#include "qvsInterface/qvsInterfacePrivate.h"
#include "hal/hal.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

enum { SERVER_PEER_COUNT = 3, SERVER_BACKLOG = 6, MANAGER_PRIORITY = 97 };

static qvsTcpBuffer_t serverBuffer = {nullptr, PTHREAD_MUTEX_INITIALIZER, QVS_TCP_SHM_SIZE};
static qvsPeer_t serverPeers[SERVER_PEER_COUNT];

/* Opens the listening socket on port 5113; -1 on failure. */
static int listenForPeers(void)
{
    log4c_category_t *category = qvsInterfaceCategory();
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "SERVER: %s Could not create socket!!! errno[%d] = %s!",
                           __func__, errno, strerror(errno));
        return -1;
    }
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "SERVER: %s setsockopt() failed!!! errno[%d] = %s!",
                           __func__, errno, strerror(errno));
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(QVS_TCP_PORT);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, (struct sockaddr *)&address, sizeof address) != 0) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "SERVER: %s Bind() failed!!! errno[%d] = %s!", __func__,
                           errno, strerror(errno));
        close(fd);
        return -1;
    }
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "SERVER: %s Bind done.", __func__);
    if (listen(fd, SERVER_BACKLOG) != 0) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "SERVER: %s listen() failed!!! errno[%d] = %s!", __func__,
                           errno, strerror(errno));
        close(fd);
        return -1;
    }
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "SERVER: %s Listen done.", __func__);
    return fd;
}

static void *qvsInterfaceServerManagerThread(void *argument)
{
    (void)argument;
    log4c_category_t *category = qvsInterfaceCategory();
    halSetRealtime(MANAGER_PRIORITY);
    char own[16];
    qvsInterfaceOwnAddress(own);
    int listening = listenForPeers();
    if (listening < 0)
        return nullptr;
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "SERVER: %s Waiting for incoming connections...", __func__);
    int nextNonLocal = 1;
    for (;;) {
        struct sockaddr_in client = {};
        socklen_t length = sizeof client;
        int fd = accept4(listening, (struct sockaddr *)&client, &length, SOCK_CLOEXEC);
        if (fd < 0) {
            /* No peer on a failed accept; pause briefly on errors that would repeat at once. */
            log4c_category_log(category, LOG4C_PRIORITY_ERROR, "SERVER: %s accept() failed!!! errno[%d] = %s!",
                               __func__, errno, strerror(errno));
            if (errno != EINTR && errno != ECONNABORTED)
                sleep(1);
            continue;
        }
        char address[16];
        inet_ntop(AF_INET, &client.sin_addr, address, sizeof address);
        qvsPeer_t *peer;
        if (strcmp(address, own) == 0) {
            peer = &serverPeers[0];
            log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                               "SERVER: %s Connection accepted!!! Connection is local. Our ip address is %s. Client ip "
                               "address is %s, newSocketFd = %d.",
                               __func__, own, address, fd);
        } else {
            peer = &serverPeers[nextNonLocal];
            nextNonLocal = nextNonLocal == 1 ? 2 : 1;
            log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                               "SERVER: %s Connection accepted!!! Connection is not local. Our ip address is %s. Client "
                               "ip address is %s, newSocketFd = %d.",
                               __func__, own, address, fd);
        }
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "SERVER: %s QvsInterface client %s using interface %d.",
                           __func__, address, peer->index);
        pthread_mutex_lock(&peer->mutex);
        memcpy(peer->address, address, sizeof peer->address);
        peer->isLocal = peer->index == 0;
        pthread_mutex_unlock(&peer->mutex);
        qvsInterfaceTcpAttach(peer, fd);
    }
    return nullptr;
}

static void *initQvsInterfaceServer(sharedMemPublishingTable *lists, qvsPcodeCallback callback)
{
    log4c_category_t *category = qvsInterfaceCategory();
    if (serverBuffer.base) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "SERVER: %s already running", __func__);
        return serverBuffer.base;
    }
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                       "SERVER: %s Creating share memory. shmSize = %d. Firmware's shared mem. It should be size of "
                       "the whole m52QvsFw.xml.",
                       __func__, (int)serverBuffer.shmSize);
    serverBuffer.base = (uint8_t *)calloc(1, QVS_TCP_SHM_SIZE);
    if (!serverBuffer.base)
        return nullptr;
    for (int i = 0; i < SERVER_PEER_COUNT; i++) {
        qvsPeer_t *peer = &serverPeers[i];
        qvsInterfaceTcpPeerInit(peer, &serverBuffer, i, 1);
        peer->callback = callback;
        if (!lists || !lists->lists || lists->listCount < 1) {
            log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "SERVER: %s There is no sharedMemPublishingList.",
                               __func__);
        } else if ((uint32_t)i < lists->listCount) {
            peer->list = &lists->lists[i];
        } else {
            log4c_category_log(category, LOG4C_PRIORITY_WARN,
                               "SERVER: %s amountOfPublishingLists %d is less than amount of qvsInterface connections "
                               "%d. Going to set this interface %d to the last list.",
                               __func__, (int)lists->listCount, SERVER_PEER_COUNT, i);
            peer->list = &lists->lists[lists->listCount - 1];
        }
        if (i == 0 && peer->list) {
            uint32_t largest = qvsInterfaceTcpLargestRelativeChunk(peer->list, 1);
            if (largest) {
                log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                                   "SERVER: %s Modified shmSize variable to %d used to be %d (this value is the "
                                   "actually FW shared mem Buffer size!). This value is the biggest size of list of tx "
                                   "mem blocks!",
                                   __func__, (int)largest, (int)serverBuffer.shmSize);
                serverBuffer.shmSize = largest;
            }
        }
        log4c_category_log(category, LOG4C_PRIORITY_DEBUG,
                           "SERVER: %s Creating pcodeInterfaceHandler for qvsInterface %d.", __func__, i);
        if (halStartDetachedThread(qvsInterfaceTcpReceiverThread, peer, nullptr) != 0) {
            log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                               "SERVER: %sCan't create remote pcodeInterfaceHandler thread", __func__);
            return nullptr;
        }
        if (halStartDetachedThread(qvsInterfaceTcpNotifyThread, peer, nullptr) != 0) {
            log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                               "SERVER: %s(): failed to create remote notifyNonLocalQvsInterfaceThread thread for "
                               "qvsInterface %d.",
                               __func__, i);
            return nullptr;
        }
    }
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                       "SERVER: %s Done All %d QvsInterface Instances! Shared mem size is %d", __func__,
                       SERVER_PEER_COUNT, (int)serverBuffer.shmSize);
    if (halStartDetachedThread(qvsInterfaceServerManagerThread, nullptr, nullptr) != 0) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "SERVER: %s Can't create SERVER Manager thread!!!",
                           __func__);
        return nullptr;
    }
    return serverBuffer.base;
}

static void notifyQvsServer(void)
{
    for (int i = 0; i < SERVER_PEER_COUNT; i++)
        qvsInterfaceTcpNotify(&serverPeers[i]);
}

static void *getSharedMemServer(void)
{
    return serverBuffer.base;
}

static uint32_t getSharedMemSizeServer(void)
{
    return QVS_TCP_SHM_SIZE;
}

static int writeQvsServerSharedMem(uint32_t wordOffset, const void *source, uint32_t wordCount)
{
    return qvsInterfaceTcpWrite(&serverBuffer, wordOffset, source, wordCount,
                       "SERVER: %s: Can't write to shared mem. Out of range value is: 0x%x", __func__);
}

static int readQvsServerSharedMem(uint32_t wordOffset, void *destination, uint32_t wordCount)
{
    return qvsInterfaceTcpRead(&serverBuffer, wordOffset, destination, wordCount,
                      "SERVER: %s: Can't read from shared mem. Out of range value is: 0x%x", __func__);
}

const qvsInterfaceOps qvsInterfaceServerOps = {
    initQvsInterfaceServer, notifyQvsServer,         getSharedMemServer,
    getSharedMemSizeServer, writeQvsServerSharedMem, readQvsServerSharedMem,
};
