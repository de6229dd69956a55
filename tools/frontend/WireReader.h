#ifndef KVR_TOOLS_FRONTEND_WIREREADER_H
#define KVR_TOOLS_FRONTEND_WIREREADER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Decodes the agent's wire encoding from a byte range owned by the caller. Reading past the end
// sets the error flag; from then on every read returns 0 (or an empty string) and consumes nothing.
class WireReader {
public:
    WireReader(const uint8_t *data, size_t length) : data_(data), length_(length) {}
    explicit WireReader(const std::vector<uint8_t> &bytes) : WireReader(bytes.data(), bytes.size()) {}

    uint8_t readByte();
    uint16_t readU2();
    uint32_t readU4();
    int64_t readJLong();
    std::string readString();
    // An object ID of `width` bytes (4 or 8) in the agent's host byte order (little-endian here).
    uint64_t readID(unsigned width);
    std::vector<uint8_t> readBytes(size_t count);
    bool skip(size_t count);

    bool error() const { return error_; }
    size_t position() const { return position_; }
    size_t remaining() const { return length_ - position_; }

private:
    bool take(size_t count, const uint8_t **out);

    const uint8_t *data_;
    size_t length_;
    size_t position_ = 0;
    bool error_ = false;
};

#endif
