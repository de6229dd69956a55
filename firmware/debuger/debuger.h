#ifndef KVR_DEBUGER_H
#define KVR_DEBUGER_H

/*
 * Layer: services. May include platform, deviceManager, serviceManager,
 * spiEmulator, utils and hal.
 */

/*
 * The debug port (service "debuger"): TCP 8989, one client at a time, framed
 * commands that read and write devices through the platform's device services.
 *
 * Command header (10 bytes): 0x7F, command (1 read, 2 write, 3 burst write),
 * device id, big-endian u32 address, size (read/write: 16-bit words; burst:
 * bytes), big-endian CRC-16/CCITT-FALSE of bytes 0-7. A write carries 2 x size
 * data bytes, a burst write size bytes. Reply: one status byte, 0x00 or 0x01
 * (little-endian device data follows) for success, 0xFF for failure; a read's
 * data follows its status.
 *
 * A client that sends nothing for DEBUGER_IDLE_LIMIT_MS, before a command or
 * inside one, or reads none of its replies for as long, is closed (logged)
 * and the next client is served.
 */

#include <cstdint>

enum {
    DEBUGER_PORT = 8989,
    DEBUGER_HEADER_SIZE = 10,
    DEBUGER_BUFFER_SIZE = 1024,
    DEBUGER_START_OF_FRAME = 0x7F,
    DEBUGER_CMD_READ = 1,
    DEBUGER_CMD_WRITE = 2,
    DEBUGER_CMD_BURST_WRITE = 3,
    DEBUGER_ACK = 0x00,
    DEBUGER_ACK_LITTLE_ENDIAN = 0x01,
    DEBUGER_NACK = 0xFF,
    DEBUGER_IDLE_LIMIT_MS = 5000,
};

#endif
