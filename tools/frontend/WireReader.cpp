#include "WireReader.h"

bool WireReader::take(size_t count, const uint8_t **out)
{
    if (error_ || count > length_ - position_) {
        error_ = true;
        return false;
    }
    *out = data_ + position_;
    position_ += count;
    return true;
}

uint8_t WireReader::readByte()
{
    const uint8_t *p;
    return take(1, &p) ? p[0] : 0;
}

uint16_t WireReader::readU2()
{
    const uint8_t *p;
    if (!take(2, &p))
        return 0;
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint32_t WireReader::readU4()
{
    const uint8_t *p;
    if (!take(4, &p))
        return 0;
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

int64_t WireReader::readJLong()
{
    uint64_t high = readU4();
    uint64_t low = readU4();
    if (error_)
        return 0;
    return static_cast<int64_t>(high << 32 | low);
}

std::string WireReader::readString()
{
    uint16_t length = readU2();
    const uint8_t *p;
    if (error_ || !take(length, &p))
        return std::string();
    return std::string(reinterpret_cast<const char *>(p), length);
}

uint64_t WireReader::readID(unsigned width)
{
    const uint8_t *p;
    if (width > 8) {
        error_ = true;
        return 0;
    }
    if (!take(width, &p))
        return 0;
    uint64_t value = 0;
    for (unsigned i = 0; i < width; i++)
        value |= static_cast<uint64_t>(p[i]) << (8 * i);
    return value;
}

std::vector<uint8_t> WireReader::readBytes(size_t count)
{
    const uint8_t *p;
    if (!take(count, &p))
        return {};
    return std::vector<uint8_t>(p, p + count);
}

bool WireReader::skip(size_t count)
{
    const uint8_t *p;
    return take(count, &p);
}
