#include "genlock/genlockPrivate.h"

#include "layoutManager/layoutManager.h"
#include "persistentDataStorage/persistentDataStorage.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

/*
 * The frame-rate save thread: takes rates from a fixed pool of messages and
 * writes them into the restore point's "systemFrameRate", from where the
 * frame controller backs them up.
 */

static const char SYSTEM_FRAME_RATE_KEY[] = "systemFrameRate";

struct saveMessage_t {
    char key[PDS_TEXT_MAX + 1];
    char value[PDS_TEXT_MAX + 1];
    saveMessage_t *next;
};

static struct {
    pthread_mutex_t mutex;
    pthread_cond_t condition;
    saveMessage_t messages[GENLOCK_SAVE_POOL];
    saveMessage_t *freeList;
    saveMessage_t *head, *tail;
    int poolFilled;
    int started;
    log4c_category_t *category;
} saver = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, {}, nullptr, nullptr, nullptr, 0, 0, nullptr};

/* Under the mutex. */
static void fillPool(void)
{
    saver.freeList = nullptr;
    saver.head = saver.tail = nullptr;
    for (saveMessage_t &message : saver.messages) {
        message.next = saver.freeList;
        saver.freeList = &message;
    }
    saver.poolFilled = 1;
}

void genlockSaveReset(void)
{
    pthread_mutex_lock(&saver.mutex);
    fillPool();
    pthread_mutex_unlock(&saver.mutex);
}

/* Queues key := value; 0 queued, 4 the pool is empty. */
static int queueSave(const char *key, const char *value)
{
    pthread_mutex_lock(&saver.mutex);
    if (!saver.poolFilled)
        fillPool();
    saveMessage_t *message = saver.freeList;
    if (!message) {
        pthread_mutex_unlock(&saver.mutex);
        log4c_category_log(saver.category, LOG4C_PRIORITY_ERROR,
                           "Big problem! Q full! Dropping environment variable messages!");
        return 4;
    }
    saver.freeList = message->next;
    snprintf(message->key, sizeof message->key, "%s", key);
    snprintf(message->value, sizeof message->value, "%s", value);
    message->next = nullptr;
    if (saver.tail)
        saver.tail->next = message;
    else
        saver.head = message;
    saver.tail = message;
    pthread_cond_signal(&saver.condition);
    pthread_mutex_unlock(&saver.mutex);
    return 0;
}

int kvrGenlockSaveFrameRate(uint32_t rate, const char *reason)
{
    if (rate != GENLOCK_RATE_5994 && rate != GENLOCK_RATE_5000) {
        log4c_category_log(saver.category, LOG4C_PRIORITY_ERROR, "unrecognized frame rate [%d], won't save!",
                           (int)rate);
        return 4;
    }
    log4c_category_log(saver.category, LOG4C_PRIORITY_INFO, "%s: saving system frame rate %d (%s)", __func__,
                       (int)rate, reason ? reason : "");
    char value[8];
    snprintf(value, sizeof value, "%u", rate);
    return queueSave(SYSTEM_FRAME_RATE_KEY, value);
}

static void saveOne(log4c_category_t *category, const saveMessage_t &message)
{
    if (strcmp(message.key, SYSTEM_FRAME_RATE_KEY) != 0) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: unknown environment variable:%s, expect systemFrameRate",
                           __func__, message.key);
        return;
    }
    char current[PDS_TEXT_MAX + 1] = "";
    int rc = persistentDataStorage_GetKey(category, PDS_LOCATION_RESTORE_POINT, message.key, current, sizeof current,
                                          kvrEnvVarSystemFrameRateCallbackfn);
    if (rc == PDS_OK && strcmp(current, message.value) == 0) {
        log4c_category_log(category, LOG4C_PRIORITY_INFO,
                           "%s: existing environment variables:%s, value:%s no changes, no need to update", __func__,
                           message.key, message.value);
        return;
    }
    if (rc != PDS_OK)
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                           "%s: environment variables: systemFrameRate does not exist, will create one!", __func__);
    persistentDataStorage_SetKey(category, PDS_LOCATION_RESTORE_POINT, message.key, message.value);
}

static void *kvrGenlockSaveSystemFrameRateThreadEntry(void *)
{
    for (;;) {
        pthread_mutex_lock(&saver.mutex);
        while (!saver.head)
            pthread_cond_wait(&saver.condition, &saver.mutex);
        saveMessage_t *message = saver.head;
        saver.head = message->next;
        if (!saver.head)
            saver.tail = nullptr;
        saveMessage_t copy = *message;
        message->next = saver.freeList;
        saver.freeList = message;
        log4c_category_t *category = saver.category;
        pthread_mutex_unlock(&saver.mutex);
        saveOne(category, copy);
    }
    return nullptr;
}

int genlockStartSaveThread(log4c_category_t *category)
{
    pthread_mutex_lock(&saver.mutex);
    saver.category = category;
    fillPool();
    int started = saver.started;
    if (!started) {
        pthread_t thread;
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        started = pthread_create(&thread, &attributes, kvrGenlockSaveSystemFrameRateThreadEntry, nullptr) == 0;
        pthread_attr_destroy(&attributes);
        saver.started = started;
    }
    pthread_mutex_unlock(&saver.mutex);
    return started;
}

void kvrEnvVarSystemFrameRateCallbackfn(const pdsKeyCallbackInfo *info, log4c_category_t *category)
{
    if (!info)
        return;
    log4c_category_t *log = info->category ? info->category : category;
    if (strcmp(info->key, SYSTEM_FRAME_RATE_KEY) != 0)
        return;
    if (info->found) {
        uint16_t rate = 0;
        if (strcmp(info->value, "5994") == 0)
            rate = GENLOCK_RATE_5994;
        else if (strcmp(info->value, "5000") == 0)
            rate = GENLOCK_RATE_5000;
        if (!rate) {
            log4c_category_log(log, LOG4C_PRIORITY_ERROR, "%s: systemFrameRate value %s is not a system frame rate",
                               __func__, info->value);
            return;
        }
        layoutTargetSpecificEvent(STRATA_SYSTEM_FRAME_RATE_EVENT, &rate, sizeof rate);
        return;
    }
    genlockStatus_t status;
    kvrGenlockSi5344GetGenlockStatus(&status);
    if (status.systemFrameRate == GENLOCK_RATE_5994 || status.systemFrameRate == GENLOCK_RATE_5000)
        kvrGenlockSaveFrameRate(status.systemFrameRate, "systemFrameRate deleted");
}
