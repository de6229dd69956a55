#ifndef KVR_PROBING_DISCOVERY_H
#define KVR_PROBING_DISCOVERY_H

/* Layer: services (part of probing). May include platform, deviceManager, fwEnv and hal. */

/*
 * Discovery between the cards of one multiviewer system.
 *
 * Outgoing: this card's 30-byte VANC discovery record (15 big-endian words),
 * which FSM-FPGA inserts into the VANC of bridges 0 and 2. Every setter stores
 * its field and rewrites the record into the FPGA, under one semaphore.
 *
 * Incoming: the discovery statuses of the upstream cards (probing row 2) and
 * their card information (rows 3-7), turned at every probing cycle end into
 * the discovery table of this card's status block (8 entries of 26 bytes at
 * offset 976), the upstream layout-sync words and the presence per SDI index.
 */

#include <cstdint>
#include <log4c.h>

enum {
    DISCOVERY_RECORD_SIZE = 30,
    DISCOVERY_RECORD_WORDS = 15,
    DISCOVERY_UPSTREAM_CARDS = 5,
    DISCOVERY_CARD_INFO_SIZE = 256,
    DISCOVERY_TABLE_OFFSET = 976,
    DISCOVERY_TABLE_ENTRY_SIZE = 26,
    DISCOVERY_TABLE_ENTRIES = 8,
    DISCOVERY_TABLE_ENTRY_WORDS = 13,
    DISCOVERY_BRIDGE_BOTH = 255,
    /* A layout-sync word is only read from card information of at least this many bytes. */
    DISCOVERY_LAYOUT_SYNC_MIN_BYTES = 56,
};

/* Record byte offsets (big-endian words). */
enum {
    DISCOVERY_OFFSET_CARD_ID = 4,
    DISCOVERY_OFFSET_FRAME_IP = 10,
    DISCOVERY_OFFSET_FRAME_VALUE = 14,
    DISCOVERY_OFFSET_BRIDGE = 16,
    DISCOVERY_OFFSET_FRAME_STATUS = 18,
    DISCOVERY_OFFSET_FRAME_TYPE = 22,
    DISCOVERY_OFFSET_IP = 24,
    DISCOVERY_OFFSET_LAYOUT_SYNC = 28,
};

/* Clears the record and creates its write semaphore once ("%s: failed to create semaphore semWriteReady"). */
void vancMetaDataClearBuffer(log4c_category_t *category);
/* Fills the fixed words, the card id and the IP address, and sets up the VANC insertion on bridges 0 and 2. */
void vancMetaDataInterfaceInit(log4c_category_t *category);
/* Writes the record to bridge 0, 2 or both (255) and re-arms their insertion. Any thread. */
void vancMetaDataWrite(uint32_t bridge);
/* Copies the 30-byte record. */
void vancMetaDataGetRecord(uint8_t buffer[DISCOVERY_RECORD_SIZE]);

/* Setters called by the frame-controller side; each rewrites both bridges. Any thread. */
void discoveryIPAddressChanged(uint32_t frameIp);
void discoveryFrameStatusChanged(uint16_t status);
void discoverySetStrataFrameType(uint8_t type);

/* The layout synchronisation state of one head (0-3): layout number (14 bits), started and done. */
struct layoutSyncInfo_t {
    uint32_t layoutNumber;
    uint32_t started;
    uint32_t done;
};
/* Stores the head's layout-sync word and rewrites its bridge (heads 0-1: bridge 0, heads 2-3: bridge 2). */
void layoutSyncSetInfo(uint32_t head, const layoutSyncInfo_t *info);

/* Probing target side: init (clears the block, fills rows 3-7) and the per-cycle processing. */
void discoveryInit(log4c_category_t *category, void *sharedMemory);
void processDiscoveryInfo(log4c_category_t *category, uint32_t ok);

/* The last layout-sync word (host order) seen from upstream card 0-4, 0 when none. */
uint16_t probingDiscoveryUpstreamLayoutSync(uint32_t card);
/* 1 while SDI index 0-7 has a discovered card. */
uint32_t probingDiscoverySdiIndexPresent(uint32_t index);

#endif
