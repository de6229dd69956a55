#include "WireWriter.h"

void WireWriter::writeByte(uint8_t value)
{
    bytes_.push_back(value);
}

void WireWriter::writeU2(uint16_t value)
{
    writeByte(static_cast<uint8_t>(value >> 8));
    writeByte(static_cast<uint8_t>(value));
}

void WireWriter::writeU4(uint32_t value)
{
    writeU2(static_cast<uint16_t>(value >> 16));
    writeU2(static_cast<uint16_t>(value));
}

void WireWriter::writeJLong(int64_t value)
{
    uint64_t bits = static_cast<uint64_t>(value);
    writeU4(static_cast<uint32_t>(bits >> 32));
    writeU4(static_cast<uint32_t>(bits));
}

void WireWriter::writeString(const std::string &text)
{
    size_t length = text.size() > 0xFFFF ? 0xFFFF : text.size();
    writeU2(static_cast<uint16_t>(length));
    writeBytes(text.data(), length);
}

void WireWriter::writeBytes(const void *data, size_t length)
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
    bytes_.insert(bytes_.end(), p, p + length);
}
