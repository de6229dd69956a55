#ifndef KVR_FIFOSERVER_H
#define KVR_FIFOSERVER_H

/* Layer: services. May include probing, serviceManager and hal. */

/*
 * The fifo server (service "fifoServer", cards in slots A and B): streams the
 * FIFO parts of the ethernet-probing packets of card index 0-5 to one TCP
 * client per card index, on the ports of fifoServerCardPorts. Writers only
 * copy into a queue of at most 64 KiB; a transmit thread sends, unframed,
 * and gives an idle client the 5-byte heart beat 00 FF 00 01 01.
 */

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <log4c.h>

struct serviceDescriptor;
extern serviceDescriptor fifoServerService;

enum {
    FIFO_SERVER_CARDS = 6,
    FIFO_SERVER_QUEUE_LIMIT = 65536,
    FIFO_SERVER_HEART_BEAT_SECONDS = 4,
    /* fifoServerWrite results */
    FIFO_SERVER_NO_CONNECTION = 0,
    FIFO_SERVER_QUEUED = 1,
    FIFO_SERVER_QUEUE_FULL = 253,
    FIFO_SERVER_INVALID = 254,
    FIFO_SERVER_NO_MEMORY = 255,
};

/*
 * Queues a copy of size bytes for the client of cardIndex. FIFO_SERVER_QUEUED
 * when queued; FIFO_SERVER_QUEUE_FULL above 64 KiB queued; FIFO_SERVER_INVALID
 * for no data, size 0 or a card index above 5; FIFO_SERVER_NO_CONNECTION when
 * the card index has no client; FIFO_SERVER_NO_MEMORY when no copy can be made.
 * Any thread; never blocks on the network.
 */
uint8_t fifoServerWrite(log4c_category_t *category, const void *data, uint32_t size, uint32_t cardIndex);

/* Local time "%F %T.mmm" of a real-time clock value. 0, 1 (no local time), 2 (format failed), 3 (truncated). */
int fifoServerFormatTime(char *text, size_t capacity, const struct timespec *time);

/* Sends the heart beat to every client idle for more than 4 whole seconds (transmit thread; tests call it). */
void fifoServerCheckForHeartBeat(void);

/* The real-time clock the server reads (tests set one); null restores clock_gettime. */
void fifoServerSetClock(void (*clock)(struct timespec *now));

/* 1 while card index 0-5 has a client. */
int fifoServerHasClient(uint32_t cardIndex);

/* Bytes queued now. */
int32_t fifoServerQueuedBytes(void);

#endif
