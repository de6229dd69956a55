#include "genlock/genlockPrivate.h"

#include <pthread.h>

/*
 * genlockStatus: written by the sub-module on the layout thread, read by the
 * video and probing code on theirs. The three words change together.
 */
static pthread_mutex_t statusMutex = PTHREAD_MUTEX_INITIALIZER;
static genlockStatus_t genlockStatus;

void kvrGenlockSi5344GetGenlockStatus(genlockStatus_t *status)
{
    if (!status)
        return;
    pthread_mutex_lock(&statusMutex);
    *status = genlockStatus;
    pthread_mutex_unlock(&statusMutex);
}

void genlockStatusInvalidate(void)
{
    pthread_mutex_lock(&statusMutex);
    genlockStatus.valid = 0;
    pthread_mutex_unlock(&statusMutex);
}

void genlockStatusPublish(uint32_t rate)
{
    pthread_mutex_lock(&statusMutex);
    genlockStatus.valid = 1;
    genlockStatus.rateSetCount++;
    genlockStatus.systemFrameRate = rate;
    pthread_mutex_unlock(&statusMutex);
}

void genlockStatusReset(void)
{
    pthread_mutex_lock(&statusMutex);
    genlockStatus = genlockStatus_t();
    pthread_mutex_unlock(&statusMutex);
}
