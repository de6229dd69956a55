/*
 * Remote mode: the firmware connects to every QVS peer named in the address
 * file (one dotted address a line) on TCP 5113 and reconnects every 5 s
 * after a failure. The peer on the card's own address is notified at once;
 * the others through their notify threads.
 */
#include "qvsInterface/qvsInterfacePrivate.h"
#include "hal/hal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

enum {
    ADDRESS_LINE_MAX = 100, /* longer lines are read and skipped */
    ADDRESS_LINE_ACCEPTED = 16, /* characters, line end included */
};

static qvsTcpBuffer_t remoteBuffer = {nullptr, PTHREAD_MUTEX_INITIALIZER, QVS_TCP_SHM_SIZE};
static qvsPeer_t *remotePeers;

/* Drops the rest of a line that did not fit. */
static void skipRestOfLine(FILE *file)
{
    int c;
    while ((c = fgetc(file)) != EOF && c != '\n') {
    }
}

int setQvsInterfaceRemoteIPaddress(const char *name)
{
    log4c_category_t *category = qvsInterfaceCategory();
    log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "%s called", __func__);
    FILE *file = name ? fopen(name, "r") : nullptr;
    if (!file) {
        log4c_category_log(category, LOG4C_PRIORITY_FATAL, "%s: Failed to open %s will not connect remotely..",
                           __func__, name ? name : "");
        return -1;
    }
    qvsPeer_t **tail = &remotePeers;
    while (*tail)
        tail = &(*tail)->next;
    int count = 0;
    int lines = 0;
    char line[ADDRESS_LINE_MAX + 2];
    while (fgets(line, sizeof line, file)) {
        lines++;
        size_t length = strlen(line);
        int complete = length > 0 && line[length - 1] == '\n';
        int cut = !complete && !feof(file);
        if (cut)
            skipRestOfLine(file);
        if (cut || length > ADDRESS_LINE_ACCEPTED) {
            log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: line %d of %s is too long, skipped", __func__,
                               lines, name);
            continue;
        }
        /* Only line ends go: a last line without a newline keeps all its characters. */
        while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r'))
            line[--length] = '\0';
        if (length == 0)
            continue;
        if (length >= sizeof(((qvsPeer_t *)nullptr)->address)) {
            log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: line %d of %s is too long, skipped", __func__,
                               lines, name);
            continue;
        }
        qvsPeer_t *peer = (qvsPeer_t *)calloc(1, sizeof *peer);
        if (!peer)
            break;
        qvsInterfaceTcpPeerInit(peer, &remoteBuffer, count, 0);
        memcpy(peer->address, line, length + 1);
        *tail = peer;
        tail = &peer->next;
        count++;
    }
    fclose(file);
    if (count == 0) {
        log4c_category_log(category, LOG4C_PRIORITY_FATAL,
                           "%s: Remote QVs session could not be init probably bad configuration file %s.", __func__,
                           name);
        return -1;
    }
    return 0;
}

static void *initQvsInterfaceRemote(sharedMemPublishingTable *lists, qvsPcodeCallback callback)
{
    log4c_category_t *category = qvsInterfaceCategory();
    log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "%s called", __func__);
    if (!remotePeers)
        return nullptr;
    if (remoteBuffer.base) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: already running", __func__);
        return remoteBuffer.base;
    }
    remoteBuffer.base = (uint8_t *)calloc(1, QVS_TCP_SHM_SIZE);
    if (!remoteBuffer.base)
        return nullptr;
    char own[16];
    qvsInterfaceOwnAddress(own);
    for (qvsPeer_t *peer = remotePeers; peer; peer = peer->next) {
        peer->callback = callback;
        if (lists && lists->lists && lists->listCount > 0)
            peer->list = &lists->lists[(uint32_t)peer->index < lists->listCount ? (uint32_t)peer->index
                                                                                 : lists->listCount - 1];
        if (peer->index == 0 && peer->list) {
            uint32_t largest = qvsInterfaceTcpLargestRelativeChunk(&lists->lists[0], 0);
            if (largest) {
                log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                                   "%s: Modified shmSize variable to %d used to be %d (this value is the actually FW "
                                   "shared mem Buffer size!). This value is the biggest size of list of tx mem blocks!",
                                   __func__, (int)largest, (int)remoteBuffer.shmSize);
                remoteBuffer.shmSize = largest;
            }
        }
        peer->isLocal = strcmp(peer->address, own) == 0;
    }
    for (qvsPeer_t *peer = remotePeers; peer; peer = peer->next) {
        if (halStartDetachedThread(qvsInterfaceTcpReceiverThread, peer, nullptr) != 0) {
            log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: Can't create remote pcodeInterfaceHandler thread",
                               __func__);
            return nullptr;
        }
    }
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s Done All Instances! Shared mem size is %d", __func__,
                       (int)remoteBuffer.shmSize);
    for (qvsPeer_t *peer = remotePeers; peer; peer = peer->next) {
        if (peer->isLocal)
            continue;
        log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "%s(), creating notifyNonLocalQvsInterfaceThread thread for %s",
                           __func__, peer->address);
        if (halStartDetachedThread(qvsInterfaceTcpNotifyThread, peer, nullptr) != 0) {
            log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                               "%s(): failed to create remote notifyNonLocalQvsInterfaceThread thread for %s",
                               __func__, peer->address);
            break;
        }
    }
    return remoteBuffer.base;
}

static void notifyQvsRemote(void)
{
    for (qvsPeer_t *peer = remotePeers; peer; peer = peer->next)
        qvsInterfaceTcpNotify(peer);
}

static void *getSharedMemRemote(void)
{
    return remoteBuffer.base;
}

static uint32_t getSharedMemSizeRemote(void)
{
    return QVS_TCP_SHM_SIZE;
}

static int writeSharedMemRemote(uint32_t wordOffset, const void *source, uint32_t wordCount)
{
    return qvsInterfaceTcpWrite(&remoteBuffer, wordOffset, source, wordCount,
                       "%s: QvsRemoteInterface: Can't write to shared mem. Out of range value is: 0x%x", __func__);
}

static int readSharedMemRemote(uint32_t wordOffset, void *destination, uint32_t wordCount)
{
    return qvsInterfaceTcpRead(&remoteBuffer, wordOffset, destination, wordCount,
                      "%s: QvsRemoteInterface: Can't read from shared mem. Out of range value is: 0x%x", __func__);
}

const qvsInterfaceOps qvsInterfaceRemoteOps = {
    initQvsInterfaceRemote, notifyQvsRemote,      getSharedMemRemote,
    getSharedMemSizeRemote, writeSharedMemRemote, readSharedMemRemote,
};
