#ifndef KVR_QVSINTERFACE_H
#define KVR_QVSINTERFACE_H

/*
 * Layer: devices/platform (the link the platform publishes the status block
 * through). May include fwEnv, serviceManager, utils and hal; never the
 * platform or a service: main lends it the platform's VLAN answer.
 */

/*
 * The QVS link: pcodes come in from the QVS application, the card's status
 * image (the shared memory, 16-bit words) goes out. main chooses the mode once;
 * everyone else uses the mode-independent calls below.
 *
 * Local mode (0): SysV shared memory key 5680 (164,864 bytes), semaphore set
 * key 1000 (QVS waits on semaphore 0 for notifies), message queue key 1234:
 *   mtype 1000: u32 total pcode length (host order), then the pcode
 *   mtype 999:  the receiver thread quits
 */

#include <cstdint>
#include <log4c.h>

enum {
    QVS_MODE_LOCAL = 0,
    QVS_MODE_REMOTE = 1,
    QVS_MODE_STUB = 2,
    QVS_MODE_SERVER = 3,
};

enum {
    QVS_LOCAL_SHM_KEY = 5680,
    QVS_LOCAL_SEM_KEY = 1000,
    QVS_LOCAL_MSG_KEY = 1234,
    QVS_LOCAL_SHM_SIZE = 164864,
    QVS_MSG_TYPE_PCODE = 1000,
    QVS_MSG_TYPE_QUIT = 999,
    QVS_MSG_BUFFER_SIZE = 4096, /* receive buffer after the type: length word and pcode */
};

/* Card types that own a region of the shared memory. */
enum {
    QVS_CARD_OUTPUT = 9,
    QVS_CARD_INPUT = 22,
    QVS_CARD_GPIO = 50,
    QVS_CARD_ROUTER = 66,
    QVS_INPUT_CARD_VIDEO0_OFFSET = 584,
};

/* The pcode callback: total length, whole pcode, the link's log category. */
typedef void (*qvsPcodeCallback)(uint32_t length, const uint8_t *pcode, log4c_category_t *category);

/* A byte range of the firmware buffer pushed to a remote peer. */
struct sharedMemChunk {
    uint32_t localOffset;
    uint32_t remoteOffset; /* bit 31: absolute address at the peer; clear: relative */
    uint32_t size;
    uint32_t send;         /* 0: not sent */
};

struct sharedMemPublishingList {
    uint32_t chunkCount;
    sharedMemChunk *chunks;
};

/* The publishing lists handed to the link, and their count. */
struct sharedMemPublishingTable {
    uint32_t listCount;
    sharedMemPublishingList *lists;
};

enum {
    CARD_STATUS_BLOCK_SIZE = 6380,
    CARD_STATUS_BLOCK_COUNT = 6,
    PUBLISHING_LIST_COUNT = 2,
};

/* The firmware's two publishing lists (7 chunks and 1 chunk); the platform sets their send flags. */
extern sharedMemPublishingTable sharedMemPublishing;

/* The six operations of a mode. */
struct qvsInterfaceOps {
    void *(*init)(sharedMemPublishingTable *lists, qvsPcodeCallback callback);
    void (*notify)(void);
    void *(*getSharedMem)(void);
    uint32_t (*getSharedMemSize)(void);
    int (*write)(uint32_t wordOffset, const void *source, uint32_t wordCount);
    int (*read)(uint32_t wordOffset, void *destination, uint32_t wordCount);
};

/*
 * The answer to "is the card on a VLAN" (1 yes) that picks the boot-environment
 * key of the card's own address in the TCP modes; main sets it before the link
 * starts. Unset, the card is taken to be on no VLAN.
 */
void qvsInterfaceSetVlanQuery(uint32_t (*usingVlan)(log4c_category_t *category));

/* Fills the operations for the mode; 0 done, -1 for a mode this build lacks (table left empty). */
int initQvsInterface(int mode, const char *name);

/*
 * Starts the link (init operation) and loads the shared-memory header file
 * into it. Returns the base of the shared memory, null on failure. From then
 * on every received pcode goes to `callback`, on the link's receiver thread.
 */
void *qvsInterfaceGetSharedMemory(sharedMemPublishingTable *lists, qvsPcodeCallback callback);

/* Tells QVS that the shared memory changed. */
void qvsInterfaceNotify(void);

/*
 * Start of the region of card type 9, 22, 50 or 66 as the header file named
 * it (null when it named none); for other values the shared-memory base.
 */
void *qvsInterfaceGetCardRegion(uint32_t cardType);

/* Copy 16-bit words in or out of the shared memory. Return the count, or -1 when out of range. */
int qvsInterfaceWriteSharedMem(uint32_t wordOffset, const void *source, uint32_t wordCount);
int qvsInterfaceReadSharedMem(uint32_t wordOffset, void *destination, uint32_t wordCount);

/* Size of the shared memory in bytes (0 without a mode). */
uint32_t qvsInterfaceGetSharedMemorySize(void);

/*
 * Copies the header file ($SHM_HEADER_FULLPATHNAME, else
 * "/usr/local/q7/firmware/ulmheader.dat" through the hal) to the start of the
 * shared memory, writes the region header of every present entry and records
 * the card regions. Entries whose region lies outside the memory are skipped.
 */
void initShmHeader(uint8_t *base, uint32_t size);

#endif
