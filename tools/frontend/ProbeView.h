#ifndef KVR_TOOLS_FRONTEND_PROBEVIEW_H
#define KVR_TOOLS_FRONTEND_PROBEVIEW_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CallTreeView.h"

class Registry;

// One payload of a probe at one call site, as the agent's Java side lists
// it in the probe data of command 85.
struct ProbeTuple {
    uint32_t id = 0;     // annotation id of the calling node (0: not recorded)
    uint64_t thread = 0; // the thread's ID
    std::string payload;
    uint32_t count = 0;
    int64_t time = 0; // microseconds
};

// The reply of command 85.
struct ProbeTupleReply {
    std::string probe;
    bool present = false;
    std::vector<ProbeTuple> tuples;
    std::unique_ptr<ViewNode> callSites; // nodes carry the annotation ids
};

// One probe hotspot of command 57 with its back traces.
struct ProbeHotspot {
    std::string payload;
    int64_t time = 0;
    uint32_t count = 0;
    std::unique_ptr<ViewNode> backTraces;         // null unless asked for
    std::unique_ptr<ViewNode> negativeBackTraces; // null unless asked for
};

struct ProbeHotspotReply {
    std::vector<ProbeHotspot> hotspots;
};

class ProbeView {
public:
    // A tree in header-first view-update form with annotation ids: byte 1,
    // ID method, U2 line, the children, byte 0, U4 n and n x U4 ids.
    static std::unique_ptr<ViewNode> readHeaderFirstNode(WireReader &reader, unsigned idWidth);
    static bool readTupleReply(const std::vector<uint8_t> &body, unsigned idWidth, Registry *registry, ProbeTupleReply *out);
    // The request of command 57 for all threads: the probe and the hotspots
    // whose back traces are wanted.
    static std::vector<uint8_t> hotspotRequest(const std::string &probe, const std::vector<uint32_t> &backTraces);
    static bool readHotspotReply(const std::vector<uint8_t> &body, unsigned idWidth, Registry *registry, ProbeHotspotReply *out);
    // Text: one tuple a line; the call sites as an indented tree.
    static std::string format(const ProbeTupleReply &reply, const Registry &registry);
    static std::string format(const ProbeHotspotReply &reply, const Registry &registry);
};

#endif
