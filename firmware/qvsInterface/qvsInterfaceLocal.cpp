#include "qvsInterface/qvsInterfacePrivate.h"
#include "hal/hal.h"
#include "serviceManager/serviceManager.h"

#include <cerrno>
#include <cstring>
#include <pthread.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>

enum { RECEIVER_THREAD_NUMBER = 12 };

/* A message as it sits on the queue. */
struct qvsLocalMessage {
    long mtype;
    uint8_t mtext[QVS_MSG_BUFFER_SIZE];
};

static struct {
    int semaphoreId;
    int running;
    int messageQueueId;
    qvsPcodeCallback callback;
    uint8_t *base;
    int sharedMemoryId;
    pthread_mutex_t writeMutex;
} qvsLocal = {-1, 0, -1, nullptr, nullptr, -1, PTHREAD_MUTEX_INITIALIZER};

/* semctl's fourth argument. */
union qvsSemArgument {
    int val;
    struct semid_ds *buf;
    unsigned short *array;
};

static void *getSharedMemLocal(void)
{
    if (qvsLocal.base)
        return qvsLocal.base;
    qvsLocal.sharedMemoryId = shmget(QVS_LOCAL_SHM_KEY, QVS_LOCAL_SHM_SIZE, IPC_CREAT | 0660);
    if (qvsLocal.sharedMemoryId < 0) {
        log4c_category_log(qvsInterfaceCategory(), LOG4C_PRIORITY_ERROR,
                           "%s: QvsInterface: Cannot link to shared memory (%s)", __func__, strerror(errno));
        return nullptr;
    }
    void *base = shmat(qvsLocal.sharedMemoryId, nullptr, 0);
    if (base == (void *)-1) {
        log4c_category_log(qvsInterfaceCategory(), LOG4C_PRIORITY_ERROR,
                           "%s: QvsInterface: Cannot attach shared memory (%s)", __func__, strerror(errno));
        return nullptr;
    }
    qvsLocal.base = (uint8_t *)base;
    return base;
}

static uint32_t getSharedMemSizeLocal(void)
{
    return QVS_LOCAL_SHM_SIZE;
}

/* True when the words [offset, offset + count) lie inside the shared memory. */
static bool qvsLocalInRange(uint32_t wordOffset, uint32_t wordCount)
{
    return 2 * ((uint64_t)wordOffset + wordCount) <= QVS_LOCAL_SHM_SIZE;
}

static int writeSharedMemLocal(uint32_t wordOffset, const void *source, uint32_t wordCount)
{
    if (!qvsLocal.base || !source || !qvsLocalInRange(wordOffset, wordCount)) {
        log4c_category_log(qvsInterfaceCategory(), LOG4C_PRIORITY_ERROR,
                           "%s: QvsRemoteInterface: Cant write to shared mem out of range value is: %d", __func__,
                           (int)wordOffset);
        return -1;
    }
    pthread_mutex_lock(&qvsLocal.writeMutex);
    memcpy(qvsLocal.base + 2 * (size_t)wordOffset, source, 2 * (size_t)wordCount);
    pthread_mutex_unlock(&qvsLocal.writeMutex);
    return (int)wordCount;
}

static int readSharedMemLocal(uint32_t wordOffset, void *destination, uint32_t wordCount)
{
    if (!qvsLocal.base || !destination || !qvsLocalInRange(wordOffset, wordCount)) {
        log4c_category_log(qvsInterfaceCategory(), LOG4C_PRIORITY_ERROR,
                           "%s: QvsRemoteInterface: Can't read from shared mem out of range value is: %d", __func__,
                           (int)wordOffset);
        return -1;
    }
    memcpy(destination, qvsLocal.base + 2 * (size_t)wordOffset, 2 * (size_t)wordCount);
    return (int)wordCount;
}

/* Wakes every QVS process waiting on semaphore 0 once. */
static void notifyQvsLocal(void)
{
    int waiting = semctl(qvsLocal.semaphoreId, 0, GETNCNT);
    if (waiting < 0) {
        log4c_category_log(qvsInterfaceCategory(), LOG4C_PRIORITY_ERROR,
                           "%s: qvsInterface: Cannot get process count for semaphore", __func__);
        return;
    }
    if (waiting == 0)
        return;
    struct sembuf operation = {0, (short)waiting, IPC_NOWAIT};
    semop(qvsLocal.semaphoreId, &operation, 1);
}

/* Hands one received message to its consumer. */
static void qvsLocalDeliver(const qvsLocalMessage *message, ssize_t received)
{
    log4c_category_t *category = qvsInterfaceCategory();
    if (message->mtype != QVS_MSG_TYPE_PCODE) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: QvsInterface: unknown message %ld", __func__,
                           message->mtype);
        return;
    }
    uint32_t length;
    if (received < (ssize_t)sizeof length) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: QvsInterface: pcode message of %d bytes skipped",
                           __func__, (int)received);
        return;
    }
    memcpy(&length, message->mtext, sizeof length);
    if (length > (size_t)received - sizeof length) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: QvsInterface: pcode length %u exceeds the %d bytes received, skipped", __func__,
                           (unsigned)length, (int)(received - (ssize_t)sizeof length));
        return;
    }
    if (qvsLocal.callback)
        qvsLocal.callback(length, message->mtext + sizeof length, category);
}

static void *queueHandler(void *argument)
{
    (void)argument;
    log4c_category_t *category = qvsInterfaceCategory();
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: queueHandler thread created", __func__);
    semctl(qvsLocal.semaphoreId, 0, GETNCNT);
    qvsLocal.running = 1;

    qvsLocalMessage message;
    while (qvsLocal.running) {
        ssize_t received = msgrcv(qvsLocal.messageQueueId, &message, sizeof message.mtext, 0, 0);
        if (received < 0 && errno == EINTR)
            continue;
        if (received < 0 && errno == E2BIG) {
            /* Take the oversized message off the queue (truncated) so the ones behind it still arrive. */
            received = msgrcv(qvsLocal.messageQueueId, &message, sizeof message.mtext, 0, MSG_NOERROR | IPC_NOWAIT);
            log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                               "%s: QvsInterface: message of type %ld larger than %d bytes skipped", __func__,
                               received < 0 ? 0L : message.mtype, QVS_MSG_BUFFER_SIZE);
            continue;
        }
        if (received < 0) {
            log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                               "%s: QvsInterface:thread error reading queue!. msgrcv errno %d", __func__, errno);
            break;
        }
        serviceThreadAlive(RECEIVER_THREAD_NUMBER);
        if (message.mtype == QVS_MSG_TYPE_QUIT) {
            log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: QvsInterface: received QUIT", __func__);
            break;
        }
        qvsLocalDeliver(&message, received);
    }
    qvsLocal.running = 0;
    return nullptr;
}

static void *initQvsInterfaceLocal(sharedMemPublishingTable *lists, qvsPcodeCallback callback)
{
    (void)lists; /* local QVS reads the whole shared memory */
    log4c_category_t *category = qvsInterfaceCategory();
    log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "%s called", __func__);
    qvsLocal.callback = callback;
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: QvsInterface: in", __func__);

    if (!qvsLocal.base && !qvsInterfaceGetCardRegion(0))
        return nullptr;
    memset(qvsLocal.base, 0, QVS_LOCAL_SHM_SIZE);

    qvsLocal.semaphoreId = semget(QVS_LOCAL_SEM_KEY, 1, IPC_CREAT | 0660);
    if (qvsLocal.semaphoreId < 0) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: QvsInterface: semaphore not found", __func__);
        return nullptr;
    }
    qvsSemArgument value;
    value.val = 0;
    if (semctl(qvsLocal.semaphoreId, 0, SETVAL, value) < 0) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: QvsInterface: Cannot set semaphore value", __func__);
        return nullptr;
    }
    qvsLocal.messageQueueId = msgget(QVS_LOCAL_MSG_KEY, IPC_CREAT | 0660);
    if (qvsLocal.messageQueueId < 0) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: QvsInterface: Cannot link to message queue", __func__);
        return nullptr;
    }
    int rc = halStartDetachedThread(queueHandler, nullptr, nullptr);
    if (rc != 0) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: QvsInterface: Cannot create queue thread", __func__);
        return nullptr;
    }
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: QvsInterface: initQvsInterface success", __func__);
    return qvsLocal.base;
}

const qvsInterfaceOps qvsInterfaceLocalOps = {
    initQvsInterfaceLocal,
    notifyQvsLocal,
    getSharedMemLocal,
    getSharedMemSizeLocal,
    writeSharedMemLocal,
    readSharedMemLocal,
};
