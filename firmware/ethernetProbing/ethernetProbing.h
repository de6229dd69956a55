#ifndef KVR_ETHERNETPROBING_H
#define KVR_ETHERNETPROBING_H

/*
 * Layer: services. May include fifoServer, probing, interruptController,
 * qvsInterface, platform, deviceManager, serviceManager, utils and hal.
 */

/*
 * Ethernet probing (service "ethernetProbing"): the probe data of the other
 * cards arrives from eth0 through "/dev/netprobing", one buffer per Vsync.
 * A reader thread checks each buffer and queues it; a decoder thread signals
 * one Vsync per good buffer, writes every packet's RAM part into the status
 * block of its card and hands its FIFO part to the fifo server.
 *
 * Buffer: an 8-byte header, then the packets back to back.
 *   0-1  marker 0xFEFE (big-endian)
 *   2    buffer version (ETH_PROBING_BUFFER_VERSION)
 *   3    packet count (at most 66)
 *   4-7  payload length in bytes (big-endian); the buffer is payload + 8 bytes
 * Packet (16-bit values big-endian unless said):
 *   0-13 Ethernet addresses and type      14-15 frame length = 34 + RAM + FIFO (1-1500)
 *   16   vsync count                      17    packet count within the Vsync
 *   18   bits 4-7 major version (1)       19    bits 2-7 type: 0 probe data, 1 SDTI
 *   20   bits 5-7 card index, bits 0-4 input number
 *   22-23 RAM length (little-endian)      24-25 FIFO length (little-endian)
 *   26-33 timecode digits: frame units, frame tens, second units, second tens,
 *         minute units, minute tens, hour units, hour tens
 *   34 on RAM part, then FIFO part (FIFO byte 0: the input number)
 */

#include <cstddef>
#include <cstdint>
#include <log4c.h>

struct serviceDescriptor;
extern serviceDescriptor ethernetProbingService;

enum {
    ETH_PROBING_BUFFER_SIZE = 102000,
    ETH_PROBING_BUFFERS = 4,
    ETH_PROBING_HEADER_SIZE = 8,
    ETH_PROBING_MARKER = 0xFEFE,
    ETH_PROBING_BUFFER_VERSION = 1,
    ETH_PROBING_MAX_PACKETS = 66,
    ETH_PROBING_PACKET_HEADER = 34,
    ETH_PROBING_MAX_FRAME = 1500,
    ETH_PROBING_MAJOR_VERSION = 1,
    ETH_PROBING_RAM_LIMIT = 390,        /* RAM parts are shorter and even */
    ETH_PROBING_RAM_OFFSET = 2176,      /* in a card's status block */
    ETH_PROBING_RAM_STRIDE = 388,       /* per input */
    ETH_PROBING_LOG_LIMIT = 10,
    ETH_PROBING_MAC_REGISTER = 0x0CB1,  /* FSM-FPGA: 3 words, the MAC address high byte first */
};

/* The buffer header's fields; 1 when the buffer is consistent with `total` bytes read, else 0. */
struct ethProbingHeader_t {
    uint16_t marker;
    uint8_t version;
    uint8_t packetCount;
    uint32_t payloadLength;
};
int ethernetProbingCheckHeader(const uint8_t *buffer, size_t total, ethProbingHeader_t *header);

/*
 * The decoder's work on one buffer of `total` bytes: header check, one Vsync
 * signalled, packets decoded until the end or the first error. Returns the
 * packets decoded without error, or -1 for a corrupted buffer (nothing signalled).
 * Decoder thread (tests call it directly).
 */
int ethernetProbingProcessBuffer(const uint8_t *buffer, size_t total);

/* Forgets the expected vsync and packet counts and resets the bounded log counts. */
void ethernetProbingResetDecoder(void);

/* The card index of a packet as this card files it: kept in slots A and B, this card's slot in C-F. */
void platformAdjustEthProbingVideoCardIndex(log4c_category_t *category, uint32_t *cardIndex);

/*
 * Programs eth0's MAC address ("/sys/class/net/eth0/address") into FSM-FPGA
 * and runs "/etc/init.d/ethprobing.sh" to set eth0 to 100 Mbit/s. Retries an
 * unreadable address file every 3 s while `running` answers 1. 0 on success.
 */
int platformStartupEthernetProbing(log4c_category_t *category, int (*running)(void));

/* The reader's start-up delay (5 s on the card); tests shorten it. */
void ethernetProbingSetStartDelayMs(unsigned ms);

#endif
