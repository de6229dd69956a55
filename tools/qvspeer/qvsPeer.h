#ifndef KVR_TOOLS_QVSPEER_H
#define KVR_TOOLS_QVSPEER_H

/*
 * A stand-in for the QVS application on the other end of the firmware's QVS
 * link: sends pcodes, asks the receiver to quit, reads the shared memory and
 * waits for notifies. The transport is a table of operations so that other
 * links can be added beside the local one.
 *
 * Local transport (SysV IPC, the same keys as the firmware):
 *   message queue 1234: mtype 1000, u32 pcode length (host order), pcode;
 *                       mtype 999, quit
 *   shared memory 5680 (164,864 bytes), semaphore set 1000 (notifies)
 */

#include <cstddef>
#include <cstdint>
#include <vector>

struct qvsPeer;

struct qvsPeerTransport {
    int (*sendPcode)(qvsPeer *peer, const uint8_t *pcode, uint32_t length);
    int (*sendQuit)(qvsPeer *peer);
    /* Copies `length` bytes from byte `offset` of the shared memory. */
    int (*readSharedMem)(qvsPeer *peer, uint32_t offset, uint8_t *out, uint32_t length);
    /* Waits up to timeoutMs for the firmware's notify. 0 notified, -1 timed out or failed. */
    int (*waitNotify)(qvsPeer *peer, int timeoutMs);
    void (*close)(qvsPeer *peer);
};

struct qvsPeer {
    const qvsPeerTransport *transport;
    int messageQueueId;
    int semaphoreId;
    int sharedMemoryId;
    uint8_t *sharedMemory;
    uint32_t sharedMemorySize;
};

/* Attaches to (or creates) the local queue, semaphore set and shared memory. 0 or -1. */
int qvsPeerOpenLocal(qvsPeer *peer);

/* Sends one raw local message of any type (tests of odd messages). 0 or -1. */
int qvsPeerSendLocalMessage(qvsPeer *peer, long type, const uint8_t *bytes, size_t length);

/* A pcode: class code, id, big-endian byteCount, data. */
std::vector<uint8_t> qvsPeerBuildPcode(uint8_t classCode, uint8_t pcodeId, const std::vector<uint8_t> &data);

/* A set-device-register pcode (class code 10, id 1): slot, device, register, value. */
std::vector<uint8_t> qvsPeerBuildSetDevice(uint8_t slot, uint16_t device, uint16_t reg, uint32_t value);

#endif
