#ifndef AGENT_PAYLOADHOTSPOTS_H
#define AGENT_PAYLOADHOTSPOTS_H

#include <string>
#include <vector>

// The Java side's probe hotspots: it collects the payloads behind the
// annotation ids of a probe view, ranks them and answers which view nodes a
// hotspot came from. Nodes cross as the ids of ProbeNodeIds, never as
// addresses. The interface binding implements it; tests use a fake.
class PayloadHotspots {
public:
    // The origins of one hotspot: per origin the node id (0: none), the
    // time and the count (negative: the second tree).
    struct Origins {
        std::vector<long long> nodes;
        std::vector<long long> times;
        std::vector<long long> counts;
    };

    virtual ~PayloadHotspots() = default;
    // Drops what was collected before a rebuild.
    virtual void reset(bool all) = 0;
    // The payload ids gathered on one view node.
    virtual void addPayload(const std::string &probe, long long nodeId, const std::vector<long long> &ids) = 0;
    // The selected threads (`all`: no selection) whose probe events were not recorded.
    virtual void addUnrecorded(const std::string &probe, const std::vector<long long> &threads, bool all) = 0;
    // The hotspot list as the front end reads it; false when there is none.
    virtual bool getHotspotRootsBytes(int valueKind, std::vector<unsigned char> *bytes) = 0;
    // False when the hotspot is unknown.
    virtual bool getHotspotOrigins(int hotspot, int valueKind, Origins *origins) = 0;
};

#endif
