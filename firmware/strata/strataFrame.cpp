/*
 * The link's packet framing and checksum: pure functions, shared with the
 * frame-controller peer of the tests.
 */

#include "strata/strata.h"

#include <cstring>

uint8_t strataChecksum(const uint8_t *bytes, uint32_t length)
{
    uint8_t sum = 0;
    for (uint32_t i = 0; i < length; i++)
        sum = (uint8_t)(sum + bytes[i]);
    return sum;
}

uint32_t strataFramePacket(uint8_t *packet, uint8_t destination, uint8_t source, uint16_t opcode, const uint8_t *data,
                           uint32_t length, int more)
{
    if (length > STRATA_PACKET_DATA_MAX)
        return 0;
    packet[0] = STRATA_START_BYTE;
    packet[1] = destination;
    packet[2] = source;
    packet[3] = (uint8_t)((length + 2) | (more ? STRATA_MORE_PACKETS : 0));
    packet[4] = (uint8_t)(opcode >> 8);
    packet[5] = (uint8_t)opcode;
    if (length)
        memcpy(packet + STRATA_PACKET_HEADER, data, length);
    packet[STRATA_PACKET_HEADER + length] = strataChecksum(packet, STRATA_PACKET_HEADER + length);
    return length + STRATA_PACKET_HEADER + 1;
}
