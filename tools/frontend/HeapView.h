#ifndef KVR_TOOLS_FRONTEND_HEAPVIEW_H
#define KVR_TOOLS_FRONTEND_HEAPVIEW_H

#include <cstdint>
#include <memory>
#include <vector>

#include "CallTreeView.h"

class Registry;

// One entry of a heap list: a class (classId) or an array type (classId 0).
struct HeapEntry {
    uint16_t type = 0;
    uint64_t classId = 0;
    int64_t count = 0;
    int64_t size = 0;
};

// Reply of command 3 (sets 0 and 1) or 4 (set 2 only).
struct HeapUsageReply {
    std::vector<HeapEntry> live;
    std::vector<HeapEntry> collected;
};

struct AllocationTreeReply {
    std::unique_ptr<ViewNode> root; // null when the agent sent byte 0
    std::vector<std::pair<uint64_t, uint16_t>> selectedPath;
};

struct AllocationHotspotReply {
    bool present = false;
    std::vector<HotspotRow> rows;
    int64_t total = 0;
};

// Requests and replies of the heap commands: 3 and 4 (heap usage), 24 and
// 25 (allocation trees), 51 and 52 (allocation hotspots), 49 (recording).
class HeapView {
public:
    static bool readHeapUsageReply(const std::vector<uint8_t> &body, unsigned idWidth, Registry *registry, HeapUsageReply *out);
    static bool readTotalHeapUsageReply(const std::vector<uint8_t> &body, unsigned idWidth, Registry *registry,
                                        std::vector<HeapEntry> *out);
    // Command 49: byte on, then the tracking parameters (U4 0: no probe ids).
    static std::vector<uint8_t> recordRequest(bool on);
    // Commands 24 and 51: recompute, level, kind (1 live, 2 collected, 3 both),
    // no selection tree, no path, clearCollected, the (type, class id) pairs,
    // the package prefix.
    static std::vector<uint8_t> allocationRequest(uint32_t level, uint32_t kind, const std::vector<std::pair<uint16_t, uint64_t>> &types,
                                                  const std::string &prefix, unsigned idWidth);
    // Command 24: the request followed by U4 depth and U4 threshold.
    static std::vector<uint8_t> allocationUpdateRequest(uint32_t level, uint32_t kind,
                                                        const std::vector<std::pair<uint16_t, uint64_t>> &types,
                                                        const std::string &prefix, unsigned idWidth);
    static bool readAllocationTreeReply(const std::vector<uint8_t> &body, unsigned idWidth, Registry *registry,
                                        AllocationTreeReply *out);
    // Commands 25 and 52: depth 10000, threshold 0, the path.
    static std::vector<uint8_t> expandRequest(const std::vector<std::pair<uint64_t, uint16_t>> &path, unsigned idWidth);
    // Replies of commands 25 and 52: the node, or byte 0 (`out` stays null)
    // when the path names no node or no tree was sent yet.
    static bool readExpandReply(const std::vector<uint8_t> &body, unsigned idWidth, std::unique_ptr<ViewNode> *out);
    static bool readAllocationHotspotReply(const std::vector<uint8_t> &body, unsigned idWidth, Registry *registry,
                                           AllocationHotspotReply *out);
};

#endif
