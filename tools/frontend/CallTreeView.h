#ifndef KVR_TOOLS_FRONTEND_CALLTREEVIEW_H
#define KVR_TOOLS_FRONTEND_CALLTREEVIEW_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class Registry;
class WireReader;

// One node of a call-tree view as the agent writes it.
struct ViewNode {
    uint64_t method = 0; // 0 for the root and for the node of filtered calls
    uint16_t line = 0;
    int64_t value = 0;   // microseconds, inclusive of the children
    uint32_t count = 0;
    bool childrenWithheld = false;
    std::vector<uint32_t> annotations; // probe annotation ids (command 41)
    std::vector<std::unique_ptr<ViewNode>> children;
};

// The reply of command 41: the tree, the selected path, the thread found by
// a probe search and the value kind, then new descriptions.
struct CallTreeReply {
    std::unique_ptr<ViewNode> root; // null when nothing was recorded yet
    uint32_t valueKind = 0;
};

// One hotspot of command 42: a method's self time and calls.
struct HotspotRow {
    uint64_t method = 0;
    int64_t value = 0;
    uint32_t calls = 0;
};

struct HotspotReply {
    std::vector<HotspotRow> rows;
    int64_t total = 0;
};

// The reply of command 50: caller-callee edges and per-method totals.
struct MethodGraphEdgeRow {
    uint64_t caller = 0;
    uint64_t callee = 0;
    int64_t time = 0;
    uint32_t calls = 0;
};
struct MethodGraphMethodRow {
    uint64_t method = 0;
    int64_t total = 0; // a recursive method counts its outermost calls only
    int64_t self = 0;
    uint32_t calls = 0;
};
struct MethodGraphReply {
    std::vector<MethodGraphEdgeRow> edges;
    std::vector<MethodGraphMethodRow> methods;
};

class CallTreeView {
public:
    // Reads one node in the view-update form (trailing entries). Without
    // recursion: views can be many thousands of levels deep. With
    // annotations every entry is followed by the node's probe annotations,
    // read as U4 n and n x U4 ids (U4 0: none; the agent writes four zero
    // bytes for a node without probe payloads).
    static std::unique_ptr<ViewNode> readNode(WireReader &reader, unsigned idWidth, bool withAnnotations = false);
    // The whole reply of command 41; the descriptions go into `registry`.
    static bool readInvocationTreeReply(const std::vector<uint8_t> &body, unsigned idWidth, Registry *registry, CallTreeReply *out);
    // The request of command 41 for all threads, no selection.
    static std::vector<uint8_t> invocationTreeRequest(uint32_t aggregationLevel, uint32_t valueKind, uint32_t depth, uint32_t perMille);
    // The request of command 42 for all threads, no selection.
    static std::vector<uint8_t> hotspotRequest(uint32_t valueKind, bool sorted);
    // The reply of command 42 (hotspots written without back traces).
    static bool readHotspotReply(const std::vector<uint8_t> &body, unsigned idWidth, Registry *registry, HotspotReply *out);
    // The request of command 50 for all threads.
    static std::vector<uint8_t> methodGraphRequest(uint32_t valueKind);
    static bool readMethodGraphReply(const std::vector<uint8_t> &body, unsigned idWidth, Registry *registry, MethodGraphReply *out);
    // Indented text, one node a line: "name line count value".
    static std::string format(const ViewNode &root, const Registry &registry);
    // Every node of the tree, depth first.
    static void collect(const ViewNode &root, std::vector<const ViewNode *> *out);
};

#endif
