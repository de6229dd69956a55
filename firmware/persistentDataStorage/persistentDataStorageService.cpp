#include "persistentDataStorage/persistentDataStorage.h"

#include "hal/hal.h"
#include "platform/platform.h"
#include "serviceManager/serviceManager.h"
#include "strata/strata.h"
#include "utilsHost/utilsHost.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <glib.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#define RESTORE_POINT_FILE "/usr/local/q7/firmware/restorepoint.rsp"

enum {
    PDS_MIN_FILE_SIZE = 7,
    PDS_FREE_WAIT_MS = 5000,
    PDS_STOP = 0xFFFFFFFFu,
};

struct pdsMessage {
    uint32_t type;
    char key[PDS_TEXT_MAX + 1];
    char value[PDS_TEXT_MAX + 1];
    uint32_t spare;
};

struct pdsKeyEntry_t {
    int inUse;
    char key[PDS_TEXT_MAX + 1];
    char previous[PDS_TEXT_MAX + 1];
    char current[PDS_TEXT_MAX + 1];
    pdsKeyCallback callbacks[PDS_LISTENERS_PER_KEY];
};

static struct {
    log4c_category_t *category;
    pthread_mutex_t dataMutex = PTHREAD_MUTEX_INITIALIZER;
    char text[PDS_RESTORE_POINT_MAX + 1];
    uint32_t length;
    int ready;
    int synchronised;
    int deactivated;
    pthread_mutex_t callbackMutex = PTHREAD_MUTEX_INITIALIZER;
    pdsKeyEntry_t keys[PDS_LISTENER_KEYS];
    GAsyncQueue *freeQueue;
    GAsyncQueue *requestQueue;
    pdsMessage messages[PDS_REQUESTS];
    pdsMessage stopMessage;
    /* Incoming transfer, on the frame-controller receive path. */
    int transferActive;
    uint32_t expectedOffset;
    uint32_t receivedSize;
    uint32_t contiguousEnd;  /* bytes from offset 0 received without a gap */
    uint8_t receiveBuffer[PDS_RESTORE_POINT_MAX];
} pds;

/* Text of at most 30 characters, copied terminated; 0 when it is missing or longer. */
static int copyText(char *to, const char *from)
{
    if (!from)
        return 0;
    size_t length = strnlen(from, PDS_TEXT_MAX + 1);
    if (length > PDS_TEXT_MAX)
        return 0;
    memcpy(to, from, length);
    to[length] = '\0';
    return 1;
}

/* Writes the restore point file. Under the data mutex. */
static void writeFile(void)
{
    std::string path = halPath(RESTORE_POINT_FILE);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ssize_t written = -1;
    if (fd >= 0) {
        written = write(fd, pds.text, pds.length);
        close(fd);
    }
    if (written != (ssize_t)pds.length) {
        log4c_category_log(pds.category, LOG4C_PRIORITY_ERROR,
                           "%s: Error while writing the Restore Point file %s. Only %d bytes out of %d were written. "
                           "errno[%d] = %s",
                           __func__, RESTORE_POINT_FILE, (int)written, (int)pds.length, errno, strerror(errno));
        return;
    }
    log4c_category_log(pds.category, LOG4C_PRIORITY_DEBUG, "%s: called. Wrote the Restore Point to file %s. %d bytes.",
                       __func__, RESTORE_POINT_FILE, (int)pds.length);
}

/*
 * Replaces the restore point by the default one and saves it unless `save` is
 * 0 (a file that is there but could not be taken stays as it is on disk).
 * Under the data mutex.
 */
static void createDefault(int save)
{
    size_t size = 0;
    pds.text[0] = '\0';
    utils_setKeyValueToBuffer(pds.category, pds.text, &size, PDS_RESTORE_POINT_MAX, "version", "1.1");
    utils_setKeyValueToBuffer(pds.category, pds.text, &size, PDS_RESTORE_POINT_MAX, "slot", "0");
    pds.length = (uint32_t)size;
    if (pds.length == 0) {
        log4c_category_log(pds.category, LOG4C_PRIORITY_ERROR, "%s Fatal error, no Default Restore Point created!!!",
                           __func__);
        pds.ready = 0;
        return;
    }
    if (save)
        writeFile();
    pds.ready = 1;
}

/* 1 loaded; 0 missing or not valid; -1 larger than the restore point can be (logged, not read). */
static int loadFile(void)
{
    std::string path = halPath(RESTORE_POINT_FILE);
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        log4c_category_log(pds.category, LOG4C_PRIORITY_ERROR, "%s failed to open the file %s!", __func__,
                           RESTORE_POINT_FILE);
        return 0;
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size > PDS_RESTORE_POINT_MAX) {
        log4c_category_log(pds.category, LOG4C_PRIORITY_ERROR,
                           "%s: the file %s is %lld bytes, more than the %d of a Restore Point: not loaded, left as it is",
                           __func__, RESTORE_POINT_FILE, (long long)st.st_size, PDS_RESTORE_POINT_MAX);
        close(fd);
        return -1;
    }
    ssize_t total = 0;
    for (ssize_t got; total < PDS_RESTORE_POINT_MAX &&
                      (got = read(fd, pds.text + total, PDS_RESTORE_POINT_MAX - total)) > 0;)
        total += got;
    close(fd);
    pds.text[total] = '\0';
    pds.length = (uint32_t)total;
    if (total <= PDS_MIN_FILE_SIZE) {
        log4c_category_log(pds.category, LOG4C_PRIORITY_ERROR,
                           "%s The Restore Point size is smaller than expected %d (expected > %d)!", __func__, (int)total,
                           PDS_MIN_FILE_SIZE);
        return 0;
    }
    char version[PDS_TEXT_MAX + 1];
    if (utils_getKeyValueFromBuffer(pds.category, pds.text, pds.length, "version", version, sizeof version) != 0) {
        log4c_category_log(pds.category, LOG4C_PRIORITY_ERROR, "%s Key %s was NOT in the Restore Point!", __func__,
                           "version");
        return 0;
    }
    if (version[0] == '\0') {
        log4c_category_log(pds.category, LOG4C_PRIORITY_ERROR, "%s Key %s had no version number in Restore Point!",
                           __func__, "version");
        return 0;
    }
    return 1;
}

/* Calls the listeners of `key` (or of every key with null) with what the restore point now holds. */
static void notifyListeners(const char *onlyKey)
{
    struct call_t {
        pdsKeyCallback callback;
        pdsKeyCallbackInfo info;
    };
    std::vector<call_t> calls;
    pthread_mutex_lock(&pds.callbackMutex);
    std::vector<pdsKeyEntry_t> entries;
    for (const pdsKeyEntry_t &entry : pds.keys)
        if (entry.inUse && (!onlyKey || strcmp(entry.key, onlyKey) == 0))
            entries.push_back(entry);
    pthread_mutex_unlock(&pds.callbackMutex);

    for (pdsKeyEntry_t &entry : entries) {
        pdsKeyCallbackInfo info = pdsKeyCallbackInfo();
        info.category = pds.category;
        snprintf(info.key, sizeof info.key, "%s", entry.key);
        pthread_mutex_lock(&pds.dataMutex);
        info.found = utils_getKeyValueFromBuffer(pds.category, pds.text, pds.length, entry.key, info.value,
                                                 sizeof info.value) == 0;
        pthread_mutex_unlock(&pds.dataMutex);
        if (!info.found)
            info.value[0] = '\0';
        pthread_mutex_lock(&pds.callbackMutex);
        for (pdsKeyEntry_t &live : pds.keys) {
            if (live.inUse && strcmp(live.key, entry.key) == 0) {
                snprintf(live.previous, sizeof live.previous, "%s", live.current);
                snprintf(live.current, sizeof live.current, "%s", info.value);
            }
        }
        pthread_mutex_unlock(&pds.callbackMutex);
        for (pdsKeyCallback callback : entry.callbacks)
            if (callback)
                calls.push_back({callback, info});
    }
    /* No lock of this module is held: a listener may read or set keys. */
    for (const call_t &call : calls)
        call.callback(&call.info, pds.category);
}

static void registerListener(const char *key, pdsKeyCallback callback)
{
    pthread_mutex_lock(&pds.callbackMutex);
    pdsKeyEntry_t *entry = nullptr;
    pdsKeyEntry_t *freeEntry = nullptr;
    for (pdsKeyEntry_t &candidate : pds.keys) {
        if (candidate.inUse && strcmp(candidate.key, key) == 0)
            entry = &candidate;
        else if (!candidate.inUse && !freeEntry)
            freeEntry = &candidate;
    }
    if (!entry && !freeEntry) {
        log4c_category_log(pds.category, LOG4C_PRIORITY_ERROR,
                           "%s: Error, no room for a listener of key %s (%d keys in use)", __func__, key,
                           PDS_LISTENER_KEYS);
    } else {
        if (!entry) {
            entry = freeEntry;
            *entry = pdsKeyEntry_t();
            entry->inUse = 1;
            snprintf(entry->key, sizeof entry->key, "%s", key);
        }
        int placed = 0;
        for (pdsKeyCallback &slot : entry->callbacks)
            if (slot == callback)
                placed = 1;
        for (pdsKeyCallback &slot : entry->callbacks) {
            if (!placed && !slot) {
                slot = callback;
                placed = 1;
            }
        }
        if (!placed)
            log4c_category_log(pds.category, LOG4C_PRIORITY_ERROR,
                               "%s: Error, key %s has %d listeners already, one more refused", __func__, key,
                               PDS_LISTENERS_PER_KEY);
    }
    pthread_mutex_unlock(&pds.callbackMutex);
}

int persistentDataStorage_GetKey(log4c_category_t *category, uint32_t location, const char *key, char *value,
                                 uint32_t size, pdsKeyCallback callback)
{
    if (location != PDS_LOCATION_RESTORE_POINT)
        return PDS_BAD_LOCATION;
    char keyText[PDS_TEXT_MAX + 1];
    if (!value || size == 0 || !copyText(keyText, key)) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: Error, Bad Arguments.", __func__);
        return PDS_BAD_ARGUMENTS;
    }
    pthread_mutex_lock(&pds.dataMutex);
    if (!pds.ready) {
        pthread_mutex_unlock(&pds.dataMutex);
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s Restore Point not ready yet!", __func__);
        return PDS_NOT_READY;
    }
    int rc = utils_getKeyValueFromBuffer(category, pds.text, pds.length, keyText, value, size) == 0 ? PDS_OK
                                                                                                   : PDS_NOT_FOUND;
    pthread_mutex_unlock(&pds.dataMutex);
    if (callback)
        registerListener(keyText, callback);
    return rc;
}

extern serviceDescriptor persistentDataStorageService;

/*
 * Takes a free request, waiting at most 5 s. None at once, with one line,
 * when the service's thread does not serve: nobody would ever take it.
 */
static pdsMessage *takeFree(log4c_category_t *category, const char *what)
{
    if (!pds.freeQueue)
        return nullptr;
    if (!serviceManagerServing(&persistentDataStorageService)) {
        log4c_category_log(category ? category : pds.category, LOG4C_PRIORITY_ERROR,
                           "%s: the persistentDataStorage service is not running! Refusing request %s", __func__, what);
        return nullptr;
    }
    pdsMessage *message = (pdsMessage *)g_async_queue_timeout_pop(pds.freeQueue, (guint64)PDS_FREE_WAIT_MS * 1000);
    if (!message)
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: Big problem! Q full! Dropping request", __func__);
    return message;
}

int persistentDataStorage_SetKey(log4c_category_t *category, uint32_t location, const char *key, const char *value)
{
    if (location != PDS_LOCATION_RESTORE_POINT)
        return PDS_BAD_LOCATION;
    char keyText[PDS_TEXT_MAX + 1], valueText[PDS_TEXT_MAX + 1];
    if (!copyText(keyText, key) || keyText[0] == '\0' || !copyText(valueText, value)) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: Error, Bad Arguments.", __func__);
        return PDS_BAD_ARGUMENTS;
    }
    pdsMessage *message = takeFree(category, keyText);
    if (!message)
        return PDS_NOT_READY;
    message->type = PERSISTENT_DATA_SET;
    memcpy(message->key, keyText, sizeof keyText);
    memcpy(message->value, valueText, sizeof valueText);
    g_async_queue_push(pds.requestQueue, message);
    return PDS_OK;
}

int persistentDataStorage_Delete(log4c_category_t *category, uint32_t location)
{
    if (location < 1 || location > 3) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: Bad parameters. location = %d not supported for delete.", __func__, location);
        return PDS_BAD_LOCATION;
    }
    log4c_category_log(category, LOG4C_PRIORITY_WARN,
                       "%s: DELETE ALL Keys and Values form restore point. Going send the message to Persistent Data "
                       "Manager Service.",
                       __func__);
    pdsMessage *message = takeFree(category, "DELETE ALL");
    if (!message)
        return PDS_NOT_READY;
    message->type = PERSISTENT_DATA_DELETE_ALL;
    message->key[0] = message->value[0] = '\0';
    g_async_queue_push(pds.requestQueue, message);
    return PDS_OK;
}

int persistentDataGetRestorePoint(log4c_category_t *category, uint8_t *buffer, uint32_t *size)
{
    if (!buffer || !size)
        return PDS_RESTORE_POINT_MISSING;
    pthread_mutex_lock(&pds.dataMutex);
    if (!pds.ready) {
        pthread_mutex_unlock(&pds.dataMutex);
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: Error, the Restore Point data is not ready.", __func__);
        return PDS_RESTORE_POINT_MISSING;
    }
    uint32_t count = *size < pds.length ? *size : pds.length;
    memcpy(buffer, pds.text, count);
    *size = count;
    pthread_mutex_unlock(&pds.dataMutex);
    return PDS_OK;
}

int persistentDataSetRestorePoint(log4c_category_t *category, const uint8_t *buffer, uint32_t size)
{
    if (size > PDS_RESTORE_POINT_MAX) {
        log4c_category_log(category ? category : pds.category, LOG4C_PRIORITY_ERROR,
                           "%s: a Restore Point of %u bytes is more than the %d it can be: refused, the current one stays",
                           __func__, size, PDS_RESTORE_POINT_MAX);
        return PDS_BAD_ARGUMENTS;
    }
    uint32_t count = size;
    pthread_mutex_lock(&pds.dataMutex);
    pds.ready = 0;
    if (buffer && count)
        memcpy(pds.text, buffer, count);
    pds.text[count] = '\0';
    pds.length = count;
    pds.ready = 1;
    writeFile();
    pthread_mutex_unlock(&pds.dataMutex);
    pdsMessage *message = takeFree(pds.category, "STRATA SYNC DONE");
    if (message) {
        message->type = PERSISTENT_DATA_STRATA_SYNC_DONE;
        g_async_queue_push(pds.requestQueue, message);
    }
    return PDS_OK;
}

void persistentDataStorage_NewRestorePointCreated(log4c_category_t *category)
{
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: the restore point changed, asking the controller to save it",
                       __func__);
    platformSaveMemblock();
}

static void handleRequest(pdsMessage *message, int *pending)
{
    log4c_category_t *category = pds.category;
    if (pds.deactivated) {
        log4c_category_log(category, LOG4C_PRIORITY_WARN,
                           "%s Received message: type:%d but this thread has been deactivated!!! Flushing message.",
                           __func__, message->type);
        return;
    }
    switch (message->type) {
    case PERSISTENT_DATA_SET: {
        pthread_mutex_lock(&pds.dataMutex);
        size_t size = pds.length;
        int rc = utils_setKeyValueToBuffer(category, pds.text, &size, PDS_RESTORE_POINT_MAX, message->key,
                                           message->value);
        pds.length = (uint32_t)size;
        if (rc == 0)
            writeFile();
        pthread_mutex_unlock(&pds.dataMutex);
        if (rc == 0)
            notifyListeners(message->key);
        message->type = rc == 0 ? PDS_OK : PDS_NOT_FOUND;
        *pending = 1;
        break;
    }
    case PERSISTENT_DATA_GET: {
        char value[PDS_TEXT_MAX + 1];
        std::string path = halPath(RESTORE_POINT_FILE);
        int found = utils_getKeyValueFromFile(category, path.c_str(), message->key, value, sizeof value) == 0;
        message->type = !found ? PDS_NOT_FOUND : pds.synchronised ? PDS_OK : PDS_BEFORE_SYNC;
        break;
    }
    case PERSISTENT_DATA_DELETE_ALL:
        pthread_mutex_lock(&pds.dataMutex);
        createDefault(1);
        pthread_mutex_unlock(&pds.dataMutex);
        pds.deactivated = 1;
        message->type = PDS_OK;
        break;
    case PERSISTENT_DATA_STRATA_SYNC_DONE:
        notifyListeners(nullptr);
        pds.synchronised = 1;
        message->type = PDS_OK;
        break;
    default:
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s request received: type:%d, unsupported", __func__,
                           message->type);
        message->type = PDS_UNSUPPORTED;
        break;
    }
}

static void persistentDataStorageInit(serviceDescriptor *service)
{
    pds.category = service->category;
    static const strataRestorePointHandler_t restorePointHandlers[4] = {
        persistentDataStorage_GetRestorePointMsg, persistentDataStorage_RestorePointDataMsg,
        persistentDataStorage_RestorePointCompletedMsg, persistentDataStorage_NewRestorePointStoredMsg};
    strataRegisterRestorePointHandlers(restorePointHandlers);
    platformRegisterFactoryReset(persistentDataStorage_Delete);
    if (!pds.freeQueue) {
        pds.freeQueue = g_async_queue_new();
        pds.requestQueue = g_async_queue_new();
    }
    /* Start afresh: drop whatever a previous run left queued, then put every request back. */
    while (g_async_queue_try_pop(pds.requestQueue))
        ;
    while (g_async_queue_try_pop(pds.freeQueue))
        ;
    for (pdsMessage &message : pds.messages)
        g_async_queue_push(pds.freeQueue, &message);
    pthread_mutex_lock(&pds.callbackMutex);
    for (pdsKeyEntry_t &entry : pds.keys)
        entry = pdsKeyEntry_t();
    pthread_mutex_unlock(&pds.callbackMutex);
    pds.synchronised = 0;
    pds.deactivated = 0;
    pds.transferActive = 0;

    pthread_mutex_lock(&pds.dataMutex);
    pds.ready = 0;
    int loaded = loadFile();
    if (loaded == 1) {
        pds.ready = 1;
        log4c_category_log(pds.category, LOG4C_PRIORITY_NOTICE,
                           "%s Restore Point loaded from local file %s successfully. Size %d", __func__,
                           RESTORE_POINT_FILE, (int)pds.length);
    } else {
        log4c_category_log(pds.category, LOG4C_PRIORITY_ERROR, "%s Error, no restore point loaded from local file %s!!!",
                           __func__, RESTORE_POINT_FILE);
        createDefault(loaded == 0);
    }
    pthread_mutex_unlock(&pds.dataMutex);
}

static void persistentDataStoragePreStart(serviceDescriptor *service)
{
    log4c_category_log(service->category, LOG4C_PRIORITY_DEBUG, "%s: %s", __func__, service->name);
}

static void persistentDataStorageThreadEntry(serviceDescriptor *service)
{
    int pending = 0;
    while (service->state == SERVICE_STATE_RUN) {
        pdsMessage *message;
        if (pending)
            message = (pdsMessage *)g_async_queue_timeout_pop(pds.requestQueue, (guint64)PDS_SAVE_DELAY_MS * 1000);
        else
            message = (pdsMessage *)g_async_queue_pop(pds.requestQueue);
        if (!message) {
            pending = 0;
            persistentDataStorage_NewRestorePointCreated(pds.category);
            continue;
        }
        if (message == &pds.stopMessage)
            break;
        handleRequest(message, &pending);
        g_async_queue_push(pds.freeQueue, message);
    }
}

static void persistentDataStorageControl(serviceDescriptor *service, int newState, int previousState)
{
    (void)newState;
    (void)previousState;
    log4c_category_log(service->category, LOG4C_PRIORITY_DEBUG, "%s: %s termination", __func__, service->name);
    if (pds.requestQueue)
        g_async_queue_push(pds.requestQueue, &pds.stopMessage);
}

/* ---- the transfer with the frame controller ---- */

void persistentDataStorage_GetRestorePointMsg(log4c_category_t *category, uint32_t source, const uint8_t *payload,
                                              uint32_t length)
{
    (void)payload;
    (void)length;
    static uint8_t copy[PDS_RESTORE_POINT_MAX];
    uint32_t size = sizeof copy;
    if (persistentDataGetRestorePoint(category, copy, &size) != PDS_OK) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "RestorePoint: %s: GET_RESTORE_POINT received. But it can't be answered because we do not "
                           "have a RestorePoint to give! Going to NACK_IMPOSSIBLE. Restore point is %d bytes.",
                           __func__, 0);
        strata_send_nack(source, PDS_NACK_IMPOSSIBLE);
        return;
    }
    strata_send_ack(source);
    uint8_t message[2 + PDS_CHUNK];
    uint32_t offset = 0;
    do {
        uint32_t chunk = size - offset < PDS_CHUNK ? size - offset : (uint32_t)PDS_CHUNK;
        message[0] = (uint8_t)(offset >> 8);
        message[1] = (uint8_t)offset;
        memcpy(message + 2, copy + offset, chunk);
        strata_sendmsg(STRATA_MSG_REPLY, source, PDS_OPCODE_RESTORE_POINT_DATA, message, 2 + chunk);
        offset += chunk;
    } while (offset < size);
    uint8_t total[2] = {(uint8_t)(size >> 8), (uint8_t)size};
    strata_sendmsg(STRATA_MSG_REPLY, source, PDS_OPCODE_RESTORE_POINT_COMPLETED, total, 2);
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                       "RestorePoint: %s: Finished sending %d bytes and RESTORE_POINT_COMPLETED msg to the Strata "
                       "Controller.",
                       __func__, (int)size);
}

void persistentDataStorage_RestorePointDataMsg(log4c_category_t *category, uint32_t source, const uint8_t *payload,
                                               uint32_t length)
{
    if (!payload || length < 2) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "RestorePoint: %s: RESTORE_POINT_DATA of %u bytes has no offset. NACK.", __func__, length);
        strata_send_nack(source, PDS_NACK_NOT_SUPPORTED);
        return;
    }
    uint32_t offset = (uint32_t)payload[0] << 8 | payload[1];
    uint32_t dataLength = length - 2;
    if (length > PDS_DATA_PAYLOAD_MAX || offset + dataLength > PDS_RESTORE_POINT_MAX) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "RestorePoint: %s: Bad arguments received in RESTORE_POINT_DATA message. (length %d (should be "
                           "less than %d); length + offset - 2 = %d (should be less than %d)",
                           __func__, length, PDS_DATA_PAYLOAD_MAX, offset + dataLength, PDS_RESTORE_POINT_MAX);
        strata_send_nack(source, PDS_NACK_NOT_SUPPORTED);
        return;
    }
    if (offset == 0) {
        if (pds.transferActive)
            log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "RestorePoint: %s: a transfer was running, restarting it",
                               __func__);
        pds.transferActive = 1;
        pds.expectedOffset = 0;
        pds.receivedSize = 0;
        pds.contiguousEnd = 0;
    }
    if (!pds.transferActive) {
        strata_send_nack(source, PDS_NACK_WRONG_STATE);
        return;
    }
    strata_send_ack(source);
    if (offset != pds.expectedOffset)
        log4c_category_log(category, LOG4C_PRIORITY_WARN, "RestorePoint: %s: Offset (%d) of the data is not was expected (%d)",
                           __func__, offset, pds.expectedOffset);
    memcpy(pds.receiveBuffer + offset, payload + 2, dataLength);
    if (offset + dataLength > pds.receivedSize)
        pds.receivedSize = offset + dataLength;
    if (offset <= pds.contiguousEnd && offset + dataLength > pds.contiguousEnd)
        pds.contiguousEnd = offset + dataLength;
    pds.expectedOffset = offset + dataLength;
}

void persistentDataStorage_RestorePointCompletedMsg(log4c_category_t *category, uint32_t source, const uint8_t *payload,
                                                    uint32_t length)
{
    if (!pds.transferActive) {
        log4c_category_log(category, LOG4C_PRIORITY_WARN,
                           "RestorePoint: %s: We were not in a RestorePoint data transfer and we got a "
                           "Restore_point_complete message.",
                           __func__);
        strata_send_nack(source, PDS_NACK_WRONG_STATE);
        return;
    }
    pds.transferActive = 0;
    uint32_t announced = payload && length >= 2 ? ((uint32_t)payload[0] << 8 | payload[1]) : 0xFFFFFFFFu;
    /* Every byte up to the announced length must have arrived: a gap would install stale bytes. */
    if (announced != pds.receivedSize || pds.contiguousEnd != pds.receivedSize) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "RestorePoint: %s: Error! The RestorePoint size indicated (%d) in this message is not the same "
                           "as the actual received Restore Point size (%d).",
                           __func__, (int)announced, (int)pds.contiguousEnd);
        strata_send_nack(source, PDS_NACK_WRONG_STATE);
        return;
    }
    strata_send_ack(source);
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                       "RestorePoint: %s: Received the Restore Point from the Strata Controller. The size is %d Bytes.",
                       __func__, (int)pds.receivedSize);
    persistentDataSetRestorePoint(category, pds.receiveBuffer, pds.receivedSize);
}

void persistentDataStorage_NewRestorePointStoredMsg(log4c_category_t *category, uint32_t source, const uint8_t *payload,
                                                    uint32_t length)
{
    (void)payload;
    (void)length;
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "RestorePoint: %s: NEW_RESTORE_POINT_STORED received", __func__);
    strata_send_nack(source, PDS_NACK_NOT_SUPPORTED);
}

serviceDescriptor persistentDataStorageService = {
    "persistentDataStorage", "ulm.firmware.persistentDataStorageSrvc",
    persistentDataStorageInit, persistentDataStoragePreStart, persistentDataStorageThreadEntry,
    persistentDataStorageControl, 5, nullptr,
};
