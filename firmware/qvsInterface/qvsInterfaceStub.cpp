/* Stub mode: a private buffer of the local size and no peer at all. */
#include "qvsInterface/qvsInterfacePrivate.h"

#include <cstdlib>
#include <cstring>

static uint8_t *stubBase;

static void *initQvsInterfaceStub(sharedMemPublishingTable *lists, qvsPcodeCallback callback)
{
    (void)lists;
    (void)callback;
    if (!stubBase)
        stubBase = (uint8_t *)calloc(1, QVS_LOCAL_SHM_SIZE);
    else
        memset(stubBase, 0, QVS_LOCAL_SHM_SIZE);
    return stubBase;
}

static void notifyQvsStub(void) {}

static void *getSharedMemStub(void)
{
    return stubBase;
}

static uint32_t getSharedMemSizeStub(void)
{
    return QVS_LOCAL_SHM_SIZE;
}

static bool stubInRange(uint32_t wordOffset, uint32_t wordCount)
{
    return stubBase && 2 * ((uint64_t)wordOffset + wordCount) <= QVS_LOCAL_SHM_SIZE;
}

static int writeSharedMemStub(uint32_t wordOffset, const void *source, uint32_t wordCount)
{
    if (!source || !stubInRange(wordOffset, wordCount))
        return -1;
    memcpy(stubBase + 2 * (size_t)wordOffset, source, 2 * (size_t)wordCount);
    return (int)wordCount;
}

static int readSharedMemStub(uint32_t wordOffset, void *destination, uint32_t wordCount)
{
    if (!destination || !stubInRange(wordOffset, wordCount))
        return -1;
    memcpy(destination, stubBase + 2 * (size_t)wordOffset, 2 * (size_t)wordCount);
    return (int)wordCount;
}

const qvsInterfaceOps qvsInterfaceStubOps = {
    initQvsInterfaceStub, notifyQvsStub, getSharedMemStub, getSharedMemSizeStub, writeSharedMemStub, readSharedMemStub,
};
