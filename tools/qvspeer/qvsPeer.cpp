#include "qvsPeer.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>

enum {
    LOCAL_SHM_KEY = 5680,
    LOCAL_SEM_KEY = 1000,
    LOCAL_MSG_KEY = 1234,
    LOCAL_SHM_SIZE = 164864,
    LOCAL_TYPE_PCODE = 1000,
    LOCAL_TYPE_QUIT = 999,
    LOCAL_MESSAGE_MAX = 65536,
};

int qvsPeerSendLocalMessage(qvsPeer *peer, long type, const uint8_t *bytes, size_t length)
{
    if (length > LOCAL_MESSAGE_MAX)
        return -1;
    std::vector<uint8_t> message(sizeof(long) + length);
    memcpy(message.data(), &type, sizeof type);
    if (length)
        memcpy(message.data() + sizeof type, bytes, length);
    while (msgsnd(peer->messageQueueId, message.data(), length, 0) != 0) {
        if (errno != EINTR)
            return -1;
    }
    return 0;
}

static int localSendPcode(qvsPeer *peer, const uint8_t *pcode, uint32_t length)
{
    std::vector<uint8_t> text(sizeof length + length);
    memcpy(text.data(), &length, sizeof length);
    memcpy(text.data() + sizeof length, pcode, length);
    return qvsPeerSendLocalMessage(peer, LOCAL_TYPE_PCODE, text.data(), text.size());
}

static int localSendQuit(qvsPeer *peer)
{
    uint32_t zero = 0;
    return qvsPeerSendLocalMessage(peer, LOCAL_TYPE_QUIT, (const uint8_t *)&zero, sizeof zero);
}

static int localReadSharedMem(qvsPeer *peer, uint32_t offset, uint8_t *out, uint32_t length)
{
    if ((uint64_t)offset + length > peer->sharedMemorySize)
        return -1;
    memcpy(out, peer->sharedMemory + offset, length);
    return 0;
}

static int localWaitNotify(qvsPeer *peer, int timeoutMs)
{
    struct sembuf take = {0, -1, 0};
    struct timespec timeout = {timeoutMs / 1000, (long)(timeoutMs % 1000) * 1000000L};
    while (semtimedop(peer->semaphoreId, &take, 1, &timeout) != 0) {
        if (errno != EINTR)
            return -1;
    }
    return 0;
}

static void localClose(qvsPeer *peer)
{
    if (peer->sharedMemory)
        shmdt(peer->sharedMemory);
    peer->sharedMemory = nullptr;
}

static const qvsPeerTransport localTransport = {
    localSendPcode, localSendQuit, localReadSharedMem, localWaitNotify, localClose,
};

int qvsPeerOpenLocal(qvsPeer *peer)
{
    memset(peer, 0, sizeof *peer);
    peer->transport = &localTransport;
    peer->messageQueueId = msgget(LOCAL_MSG_KEY, IPC_CREAT | 0660);
    peer->semaphoreId = semget(LOCAL_SEM_KEY, 1, IPC_CREAT | 0660);
    peer->sharedMemoryId = shmget(LOCAL_SHM_KEY, LOCAL_SHM_SIZE, IPC_CREAT | 0660);
    if (peer->messageQueueId < 0 || peer->semaphoreId < 0 || peer->sharedMemoryId < 0)
        return -1;
    void *base = shmat(peer->sharedMemoryId, nullptr, SHM_RDONLY);
    if (base == (void *)-1)
        return -1;
    peer->sharedMemory = (uint8_t *)base;
    peer->sharedMemorySize = LOCAL_SHM_SIZE;
    return 0;
}

std::vector<uint8_t> qvsPeerBuildPcode(uint8_t classCode, uint8_t pcodeId, const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> pcode(4 + data.size());
    pcode[0] = classCode;
    pcode[1] = pcodeId;
    pcode[2] = (uint8_t)(data.size() >> 8);
    pcode[3] = (uint8_t)data.size();
    for (size_t i = 0; i < data.size(); i++)
        pcode[4 + i] = data[i];
    return pcode;
}

std::vector<uint8_t> qvsPeerBuildSetDevice(uint8_t slot, uint16_t device, uint16_t reg, uint32_t value)
{
    return qvsPeerBuildPcode(10, 1,
                             {slot, (uint8_t)(device >> 8), (uint8_t)device, (uint8_t)(reg >> 8), (uint8_t)reg,
                              (uint8_t)(value >> 24), (uint8_t)(value >> 16), (uint8_t)(value >> 8), (uint8_t)value});
}
