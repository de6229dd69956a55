#include "Crc32.h"

namespace {

struct Crc32Table {
    uint32_t entries[256];
    Crc32Table()
    {
        for (uint32_t n = 0; n < 256; n++) {
            uint32_t c = n;
            for (int k = 0; k < 8; k++)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entries[n] = c;
        }
    }
};

const Crc32Table table;

} // namespace

void Crc32::addCrc32b(uint32_t *state, const void *data, size_t length)
{
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    uint32_t c = *state;
    for (size_t i = 0; i < length; i++)
        c = table.entries[(c ^ bytes[i]) & 0xFF] ^ (c >> 8);
    *state = c;
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
