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
 *
 * TCP transport (port 5113, big-endian), either end of the connection:
 *   firmware -> peer  u32 shmSize when the connection is made
 *   peer -> firmware  pcodes as they are (4-byte header with u16 byteCount, data)
 *   firmware -> peer  per notify: records {u32 size, u32 remote offset, size bytes},
 *                     ended by {0, 0}. The peer keeps a mirror: a remote offset with
 *                     bit 31 set is an absolute address (low 31 bits), else relative.
 */

#include <cstddef>
#include <cstdint>
#include <string>
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
    const qvsPeerTransport *transport = nullptr;
    int messageQueueId = -1;
    int semaphoreId = -1;
    int sharedMemoryId = -1;
    uint8_t *sharedMemory = nullptr;
    uint32_t sharedMemorySize = 0;
    /* TCP */
    int socket = -1;
    int listenSocket = -1;
    uint32_t announcedSize = 0;    /* the firmware's size word */
    std::vector<uint8_t> mirror;   /* what the notifies built, by the firmware's remote offsets */
    std::vector<uint8_t> received; /* bytes read but not yet taken as a whole record */
};

enum { QVS_PEER_TCP_PORT = 5113, QVS_PEER_MIRROR_MAX = 1 << 24 };

/* Attaches to (or creates) the local queue, semaphore set and shared memory. 0 or -1. */
int qvsPeerOpenLocal(qvsPeer *peer);

/*
 * TCP client of the firmware's server mode: connects from `source` (any when
 * null) to address:port and reads the size word (waiting up to timeoutMs).
 * 0 or -1.
 */
int qvsPeerConnectTcp(qvsPeer *peer, const char *address, int port, const char *source, int timeoutMs);

/* TCP server for the firmware's remote mode: listens on address:port. 0 or -1. */
int qvsPeerListenTcp(qvsPeer *peer, const char *address, int port);

/* Waits up to timeoutMs for the firmware to connect (dropping an earlier connection), reads the size word. 0 or -1. */
int qvsPeerAcceptTcp(qvsPeer *peer, int timeoutMs);

/* Writes raw bytes to the TCP connection (split or odd pcodes in tests). 0 or -1. */
int qvsPeerSendRaw(qvsPeer *peer, const uint8_t *bytes, size_t length);

/* True when the firmware has closed the TCP connection (waits up to timeoutMs for the end of the stream). */
bool qvsPeerTcpClosed(qvsPeer *peer, int timeoutMs);

/* Sends one raw local message of any type (tests of odd messages). 0 or -1. */
int qvsPeerSendLocalMessage(qvsPeer *peer, long type, const uint8_t *bytes, size_t length);

/* A pcode: class code, id, big-endian byteCount, data. */
std::vector<uint8_t> qvsPeerBuildPcode(uint8_t classCode, uint8_t pcodeId, const std::vector<uint8_t> &data);

/* A set-device-register pcode (class code 10, id 1): slot, device, register, value. */
std::vector<uint8_t> qvsPeerBuildSetDevice(uint8_t slot, uint16_t device, uint16_t reg, uint32_t value);

#endif
