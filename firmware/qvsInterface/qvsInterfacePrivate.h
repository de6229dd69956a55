#ifndef KVR_QVSINTERFACEPRIVATE_H
#define KVR_QVSINTERFACEPRIVATE_H

#include "qvsInterface/qvsInterface.h"

#include <pthread.h>

/* The operations of each mode. */
extern const qvsInterfaceOps qvsInterfaceLocalOps;
extern const qvsInterfaceOps qvsInterfaceRemoteOps;
extern const qvsInterfaceOps qvsInterfaceStubOps;
extern const qvsInterfaceOps qvsInterfaceServerOps;

/* Reads the file of remote peer addresses (remote mode); 0 when at least one peer was taken, else -1. */
int setQvsInterfaceRemoteIPaddress(const char *name);

/*
 * The TCP link shared by remote and server mode (port 5113, big-endian):
 *   firmware -> peer  u32 shmSize once per connection
 *   peer -> firmware  pcodes: class, id, u16 byteCount, byteCount bytes (at most 4092)
 *   firmware -> peer  per notify: {u32 size, u32 remote offset, size bytes} per sent chunk
 *                     (or {u32 shmSize, u32 0, the whole buffer} without a publishing list),
 *                     then the end record of 8 zero bytes
 */
enum {
    QVS_TCP_PORT = 5113,
    QVS_TCP_SHM_SIZE = CARD_STATUS_BLOCK_SIZE * CARD_STATUS_BLOCK_COUNT, /* 38,280 */
    QVS_PCODE_HEADER_SIZE = 4,
    QVS_PCODE_MAX_DATA = 4092,
    QVS_REMOTE_ABSOLUTE = 0x80000000u,
};

/* The firmware's buffer in remote and server mode. */
struct qvsTcpBuffer_t {
    uint8_t *base;
    pthread_mutex_t mutex; /* writers and notify copies */
    uint32_t shmSize;      /* what the size announcement and the ALL record carry */
};

/* One QVS peer connection. */
struct qvsPeer_t {
    char address[16];
    int isLocal;
    unsigned pace;             /* notifies handed to the notify thread */
    unsigned paceSent;         /* the pace the notify thread last sent for */
    pthread_mutex_t mutex;     /* guards socket, state, pace and readingSocket */
    pthread_cond_t condition;  /* a notify or a new connection */
    int socket;                /* -1 when none */
    int readingSocket;         /* the socket the receiver reads, -1 when none: only the receiver closes it */
    int index;
    uint8_t pcode[QVS_PCODE_HEADER_SIZE + QVS_PCODE_MAX_DATA];
    qvsPcodeCallback callback;
    int state;
    sharedMemPublishingList *list;
    qvsPeer_t *next;
    int server;                /* 1 in server mode: "SERVER: " messages, state 2 after a close */
    qvsTcpBuffer_t *buffer;
};

enum {
    QVS_REMOTE_STATE_CONNECT = 1,
    QVS_REMOTE_STATE_CONNECTED = 2,
    QVS_SERVER_STATE_CONNECTED = 1,
    QVS_SERVER_STATE_WAITING = 2,
};

/* Sets up the peer's lock and condition, no socket. */
void qvsInterfaceTcpPeerInit(qvsPeer_t *peer, qvsTcpBuffer_t *buffer, int index, int server);

/* Largest size among the relative chunks of a list (0 without any). */
uint32_t qvsInterfaceTcpLargestRelativeChunk(const sharedMemPublishingList *list, int server);

/* Writes all bytes (EINTR retried, no SIGPIPE). 0, or -1 on error or a closed peer. */
int qvsInterfaceTcpWriteAll(int fd, const void *bytes, size_t length);

/* Sends the u32 size word. 0 or -1. */
int qvsInterfaceTcpAnnounce(int fd, uint32_t shmSize);

/*
 * Gives the peer a new connected socket (replacing and shutting down an older
 * one), announces the size and wakes the receiver and the notify thread.
 * 0, or -1 when the announcement failed (the socket is then dropped).
 */
int qvsInterfaceTcpAttach(qvsPeer_t *peer, int fd);

/* Drops the peer's connection if it is still `fd` (any fd when -1); logs the reason. */
void qvsInterfaceTcpDetach(qvsPeer_t *peer, int fd, const char *reason);

/*
 * Reads one pcode from fd into peer->pcode. maxReads bounds the reads of one
 * pcode (0: no bound). Returns the total length, or -1 when the connection
 * must be closed (error, end of stream, a byteCount above 4092, too many reads).
 */
int qvsInterfaceTcpReadPcode(qvsPeer_t *peer, int fd, int maxReads);

/* The receiver loop of a peer: wait for a socket (server) or connect (remote), read pcodes. */
void *qvsInterfaceTcpReceiverThread(void *argument);

/* The notify thread of a non-local peer: sends the latest buffer after notifies, at most about once a second. */
void *qvsInterfaceTcpNotifyThread(void *argument);

/* One notify for one peer: ALL record or chunks, then the end record, on the caller's thread. */
void qvsInterfaceTcpNotifyPeer(qvsPeer_t *peer);

/* Hands a notify to a peer: sends at once for local peers and ALL records, else wakes its notify thread. */
void qvsInterfaceTcpNotify(qvsPeer_t *peer);

/* Range-checked word copies into and out of the buffer. */
int qvsInterfaceTcpWrite(qvsTcpBuffer_t *buffer, uint32_t wordOffset, const void *source, uint32_t wordCount, const char *message,
                const char *function);
int qvsInterfaceTcpRead(qvsTcpBuffer_t *buffer, uint32_t wordOffset, void *destination, uint32_t wordCount,
               const char *message, const char *function);

/* The card's own address (dotted IPv4) into out[16]. */
void qvsInterfaceOwnAddress(char *out);

/* The operations of the chosen mode (all null before initQvsInterface). */
const qvsInterfaceOps *qvsInterfaceCurrentOps(void);

/* "ulm.firmware.qvsInterface" */
log4c_category_t *qvsInterfaceCategory(void);

/* Forgets the card regions recorded from the header file. */
void qvsInterfaceClearCardRegions(void);

#endif
