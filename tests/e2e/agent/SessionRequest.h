// Command 1 as a front end sends it with a session configuration: byte 1,
// U4 id, U4 length, the document, the name string the agent ignores (here
// empty) and no scripts.
#ifndef KVR_TESTS_E2E_AGENT_SESSIONREQUEST_H
#define KVR_TESTS_E2E_AGENT_SESSIONREQUEST_H

#include <cstdint>
#include <string>
#include <vector>

inline std::vector<uint8_t> sessionRequest(const std::string &xml, uint32_t id)
{
    std::vector<uint8_t> p = {1};
    for (int shift = 24; shift >= 0; shift -= 8)
        p.push_back(static_cast<uint8_t>(id >> shift));
    uint32_t n = static_cast<uint32_t>(xml.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        p.push_back(static_cast<uint8_t>(n >> shift));
    p.insert(p.end(), xml.begin(), xml.end());
    p.insert(p.end(), {0, 0});       // the name string
    p.insert(p.end(), {0, 0, 0, 0}); // no scripts
    return p;
}

#endif
