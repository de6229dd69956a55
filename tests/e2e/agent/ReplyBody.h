// Big-endian reading of a front-end reply body in the agent's end-to-end
// tests; fails softly past the end.
#ifndef TESTS_E2E_AGENT_REPLYBODY_H
#define TESTS_E2E_AGENT_REPLYBODY_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace jvmtest {

struct BodyReader {
    const std::vector<uint8_t> &b;
    size_t at = 0;
    bool bad = false;
    // The next `n` bytes as one big-endian number; 0 and `bad` past the end.
    uint64_t take(size_t n)
    {
        uint64_t v = 0;
        for (size_t i = 0; i < n; i++) {
            if (at >= b.size()) {
                bad = true;
                return 0;
            }
            v = (v << 8) | b[at++];
        }
        return v;
    }
    // A U2 length and that many bytes; empty and `bad` past the end.
    std::string str()
    {
        size_t n = static_cast<size_t>(take(2));
        if (at + n > b.size()) {
            bad = true;
            return "";
        }
        std::string s(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n));
        at += n;
        return s;
    }
};

} // namespace jvmtest

#endif
