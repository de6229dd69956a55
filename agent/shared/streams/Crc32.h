#ifndef AGENT_CRC32_H
#define AGENT_CRC32_H

#include <cstddef>
#include <cstdint>

// The standard reflected CRC-32 (polynomial 0xEDB88320, start 0xFFFFFFFF,
// result inverted), the same value as zlib's crc32. Used by snapshot
// sections, request payloads and FileDataWriter.
class Crc32 {
public:
    // Starts a running state.
    static void clearCRC32(uint32_t *state) { *state = 0xFFFFFFFFu; }
    // Folds length bytes into the running state.
    static void addCrc32b(uint32_t *state, const void *data, size_t length);
    // The CRC of everything folded in so far.
    static void getCRC32(uint32_t *out, uint32_t state) { *out = ~state; }
    // One-shot CRC of a block.
    static uint32_t of(const void *data, size_t length);
};

#endif
