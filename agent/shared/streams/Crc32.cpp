#include "Crc32.h"

#include <zlib.h>

void Crc32::addCrc32b(uint32_t *state, const void *data, size_t length)
{
    // zlib answers its start value for no data, whatever state it is given.
    if (length == 0)
        return;
    // zlib keeps the CRC inverted between calls; the running state here is
    // the value before that inversion.
    *state = ~static_cast<uint32_t>(crc32_z(~*state & 0xFFFFFFFFul, static_cast<const Bytef *>(data), length));
}

uint32_t Crc32::of(const void *data, size_t length)
{
    uint32_t state;
    clearCRC32(&state);
    addCrc32b(&state, data, length);
    uint32_t out;
    getCRC32(&out, state);
    return out;
}
