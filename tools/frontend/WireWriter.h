#ifndef KVR_TOOLS_FRONTEND_WIREWRITER_H
#define KVR_TOOLS_FRONTEND_WIREWRITER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Builds a byte sequence in the agent's wire encoding: numbers big-endian, a JLong as its high
// word then its low word, a string as a U2 length followed by its bytes.
class WireWriter {
public:
    void writeByte(uint8_t value);
    void writeU2(uint16_t value);
    void writeU4(uint32_t value);
    void writeJLong(int64_t value);
    // Longer texts are cut to 65,535 bytes so the length always matches the bytes that follow.
    void writeString(const std::string &text);
    void writeBytes(const void *data, size_t length);

    const std::vector<uint8_t> &bytes() const { return bytes_; }
    void clear() { bytes_.clear(); }

private:
    std::vector<uint8_t> bytes_;
};

#endif
