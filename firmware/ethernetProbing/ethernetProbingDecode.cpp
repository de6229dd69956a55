#include "ethernetProbing/ethernetProbing.h"

#include "fifoServer/fifoServer.h"
#include "interruptController/interruptController.h"
#include "platform/platform.h"
#include "probing/probing.h"
#include "qvsInterface/qvsInterface.h"
#include "utils/utils.h"

#include <cstring>

/*
 * The decoder of the ethernet-probing buffers. Every length is checked
 * against the bytes that are really left before it is used.
 */

namespace {

enum { CARDS = 6, INPUTS = 9, TYPE_PROBE = 0, TYPE_SDTI = 1 };

struct {
    uint32_t vsyncExpected;
    int vsyncKnown;
    uint8_t timecode[8];
    uint32_t versionLogs, unknownLogs, sdtiLogs, fifoContentLogs;
} decoder;

log4c_category_t *category()
{
    return log4c_category_get("ulm.firmware.ethernetProbingSrvc");
}

uint16_t be16(const uint8_t *p)
{
    return (uint16_t)(p[0] << 8 | p[1]);
}

uint16_t le16(const uint8_t *p)
{
    return (uint16_t)(p[1] << 8 | p[0]);
}

/* Logs a bounded line: at most ETH_PROBING_LOG_LIMIT per kind, the count in the line. */
bool bounded(uint32_t &count)
{
    if (count >= ETH_PROBING_LOG_LIMIT)
        return false;
    count++;
    return true;
}

struct packet_t {
    uint16_t frameLength;
    uint8_t vsync, packetCount, major, type;
    uint32_t card, input;
    uint16_t ramLength, fifoLength;
    const uint8_t *timecode;
    const uint8_t *ram, *fifo;
};

/* Timecode digits: frame units, frame tens, second units, second tens, minute units, minute tens, hour units, hour tens. */
void timecodeDigits(const uint8_t *t, int digits[8])
{
    static const uint8_t mask[8] = {0x0F, 0x03, 0x0F, 0x07, 0x0F, 0x07, 0x0F, 0x03};
    for (int i = 0; i < 8; i++)
        digits[i] = t[i] & mask[i];
}

void writeRam(const packet_t &p, uint32_t card)
{
    if (card >= CARDS || p.input >= INPUTS || p.ramLength >= ETH_PROBING_RAM_LIMIT || (p.ramLength & 1)) {
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                           "EthProb: %s: Probing RAM data of this packet is not valid. videoCardIndex %d(range 0-%d), "
                           "inputNumber %d(range 0-%d), nbRamBytes %d(range 0-%d and must be even).",
                           "decodeTheEthernetPacket", (int)card, CARDS - 1, (int)p.input, INPUTS - 1, (int)p.ramLength,
                           ETH_PROBING_RAM_LIMIT - 1);
        return;
    }
    log4c_category_log(category(), LOG4C_PRIORITY_INFO,
                       "EthProb: %s: Probing RAM data of this packet is valid. videoCardIndex %d, inputNumber %d, nbRamBytes %d.",
                       "decodeTheEthernetPacket", (int)card, (int)p.input, (int)p.ramLength);
    uint32_t offset = CARD_STATUS_BLOCK_SIZE * card + ETH_PROBING_RAM_OFFSET + ETH_PROBING_RAM_STRIDE * p.input;
    if (qvsInterfaceWriteSharedMem(offset / 2, p.ram, p.ramLength / 2) < 0)
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "EthProb: %s: shared memory write at %u failed.",
                           "decodeTheEthernetPacket", offset);
}

void writeFifo(const packet_t &p)
{
    if (p.card >= CARDS || p.input >= INPUTS || p.fifoLength > ETH_PROBING_MAX_FRAME) {
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                           "EthProb: %s: Probing FIFO data of this packet is not valid. videoCardIndex %d(range 0-%d), "
                           "inputNumber %d(range 0-%d), nbFifoBytes %d(range 0-%d). VsyncCount%d(0x%02x), PacketCount%d(0x%02x).",
                           "decodeTheEthernetPacket", (int)p.card, CARDS - 1, (int)p.input, INPUTS - 1, (int)p.fifoLength,
                           ETH_PROBING_MAX_FRAME, p.vsync, p.vsync, p.packetCount, p.packetCount);
        return;
    }
    if (p.fifo[0] != p.input) {
        if (bounded(decoder.fifoContentLogs))
            log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                               "EthProb: %s: Probing FIFO data CONTENTS of this packet are not valid! inputNumber "
                               "expected=%d, fifo contents read=%d. Packet type = %d. Log count %d, max %d.",
                               "decodeTheEthernetPacket", (int)p.input, p.fifo[0], p.type, (int)decoder.fifoContentLogs,
                               ETH_PROBING_LOG_LIMIT);
        return;
    }
    fifoServerWrite(category(), p.fifo, p.fifoLength, p.card);
}

/* One packet at `at` with `left` bytes left; its size in *size. 0 decoded or skipped, -1 error. */
int decodeTheEthernetPacket(const uint8_t *at, size_t left, uint32_t index, uint32_t *size)
{
    if (left < ETH_PROBING_PACKET_HEADER) {
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                           "EthProb: %s: Error in trying to calculate the next packet. (sizeofEthPacket %d != "
                           "sizeofEthPacketDoubleCheck %d), ethHeader.length=%d.",
                           __func__, (int)left, ETH_PROBING_PACKET_HEADER, 0);
        return -1;
    }
    packet_t p;
    p.frameLength = be16(at + 14);
    p.vsync = at[16];
    p.packetCount = at[17];
    p.major = at[18] >> 4;
    p.type = at[19] >> 2;
    p.card = at[20] >> 5;
    p.input = at[20] & 0x1F;
    p.ramLength = le16(at + 22);
    p.fifoLength = le16(at + 24);
    p.timecode = at + 26;
    uint32_t computed = ETH_PROBING_PACKET_HEADER + (uint32_t)p.ramLength + p.fifoLength;
    if (p.frameLength == 0 || p.frameLength > ETH_PROBING_MAX_FRAME || p.frameLength != computed || computed > left) {
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                           "EthProb: %s: Error in trying to calculate the next packet. (sizeofEthPacket %d != "
                           "sizeofEthPacketDoubleCheck %d), ethHeader.length=%d.",
                           __func__, (int)computed, (int)(computed > left ? left : p.frameLength), (int)p.frameLength);
        return -1;
    }
    *size = computed;
    p.ram = at + ETH_PROBING_PACKET_HEADER;
    p.fifo = p.ram + p.ramLength;
    if (p.packetCount != index) {
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "EthProb: %s: packetCount(%d) != packetCountExpected(%d).",
                           __func__, p.packetCount, (int)index);
        return -1;
    }
    int digits[8];
    timecodeDigits(p.timecode, digits);
    if (index == 0) {
        if (decoder.vsyncKnown && p.vsync != (uint8_t)decoder.vsyncExpected) {
            int saved[8];
            timecodeDigits(decoder.timecode, saved);
            log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                               "EthProb: %s: vsyncCnt(%d) (%d%d:%d%d:%d%d:%d%d packet 0) != vsyncCntExpected(%d) "
                               "(%d%d:%d%d:%d%d:%d%d Packet %d).",
                               __func__, p.vsync, digits[7], digits[6], digits[5], digits[4], digits[3], digits[2],
                               digits[1], digits[0], (int)(uint8_t)decoder.vsyncExpected, saved[7], saved[6], saved[5],
                               saved[4], saved[3], saved[2], saved[1], saved[0], (int)index);
        }
        decoder.vsyncExpected = (uint8_t)(p.vsync + 1);
        decoder.vsyncKnown = 1;
        memcpy(decoder.timecode, p.timecode, sizeof decoder.timecode);
    }
    if (probingControlFlags.timecodeCheckOn && p.card == probingControlFlags.timecodeCard &&
        p.input == probingControlFlags.timecodeInput && (p.vsync & 1) == 0)
        utils_checkTimecode(category(), 10 * digits[7] + digits[6], 10 * digits[5] + digits[4],
                            10 * digits[3] + digits[2], 10 * digits[1] + digits[0]);
    if (p.major != ETH_PROBING_MAJOR_VERSION) {
        if (bounded(decoder.versionLogs))
            log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                               "EthProb: %s: Probing Packet version not supported! Droping packe. Major version %d "
                               "(support %d). Log count %d, max %d.",
                               __func__, p.major, ETH_PROBING_MAJOR_VERSION, (int)decoder.versionLogs, ETH_PROBING_LOG_LIMIT);
        return 0;
    }
    if (p.type != TYPE_PROBE) {
        bool sdti = p.type == TYPE_SDTI;
        if (bounded(sdti ? decoder.sdtiLogs : decoder.unknownLogs))
            log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                               sdti ? "EthProb: %s: Probing, SDTI packetType %d not yet supported. videoCardIndex %d, "
                                      "inputNumber %d. Log count %d max %d."
                                    : "EthProb: %s: Probing, unknown packetType %d. videoCardIndex %d, inputNumber %d. "
                                      "Log count %d max %d.",
                               __func__, p.type, (int)p.card, (int)p.input,
                               (int)(sdti ? decoder.sdtiLogs : decoder.unknownLogs), ETH_PROBING_LOG_LIMIT);
        return 0;
    }
    if (p.ramLength != 0) {
        uint32_t card = p.card;
        platformAdjustEthProbingVideoCardIndex(category(), &card);
        writeRam(p, card);
    }
    if (p.fifoLength != 0 && platformGetCardSlotIndex() < 2)
        writeFifo(p);
    log4c_category_log(category(), LOG4C_PRIORITY_INFO, "EthProb: %s: RECEIVED PACKET %d! ALL OK (VsyncCount=%d). ", __func__,
                       (int)index, p.vsync);
    return 0;
}

} // namespace

int ethernetProbingCheckHeader(const uint8_t *buffer, size_t total, ethProbingHeader_t *header)
{
    ethProbingHeader_t h = {0, 0, 0, 0};
    if (buffer && total >= ETH_PROBING_HEADER_SIZE) {
        h.marker = be16(buffer);
        h.version = buffer[2];
        h.packetCount = buffer[3];
        h.payloadLength = (uint32_t)buffer[4] << 24 | (uint32_t)buffer[5] << 16 | (uint32_t)buffer[6] << 8 | buffer[7];
    }
    if (header)
        *header = h;
    return buffer && total >= ETH_PROBING_HEADER_SIZE && h.marker == ETH_PROBING_MARKER &&
           h.version == ETH_PROBING_BUFFER_VERSION && h.packetCount <= ETH_PROBING_MAX_PACKETS &&
           (uint64_t)h.payloadLength + ETH_PROBING_HEADER_SIZE == total && total <= ETH_PROBING_BUFFER_SIZE;
}

void ethernetProbingResetDecoder(void)
{
    memset(&decoder, 0, sizeof decoder);
}

int ethernetProbingProcessBuffer(const uint8_t *buffer, size_t total)
{
    ethProbingHeader_t h;
    if (!ethernetProbingCheckHeader(buffer, total, &h)) {
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                           "EthProb: %s; ERROR, Corrupted packet! versionOfBuffer=%d (expecting %d), "
                           "amountOfPacketsInBuffer=%d, amountOfBytesInBufferPayload=%d.",
                           "processingThreadEntry", h.version, ETH_PROBING_BUFFER_VERSION, h.packetCount,
                           (int)h.payloadLength);
        return -1;
    }
    interruptControllerSignal();
    const uint8_t *at = buffer + ETH_PROBING_HEADER_SIZE;
    size_t left = total - ETH_PROBING_HEADER_SIZE;
    int done = 0;
    for (uint32_t i = 0; i < h.packetCount; i++) {
        uint32_t size = 0;
        if (decodeTheEthernetPacket(at, left, i, &size) != 0) {
            log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                               "EthProb: %s; decodeTheEthernetPacket returned with error, aborting decoding of the rest "
                               "of the buffer. We processed %d out of %d.",
                               "processingThreadEntry", done, (int)h.packetCount);
            break;
        }
        at += size;
        left -= size;
        done++;
    }
    return done;
}
