#ifndef AGENT_HEAPDUMPVIEWS_H
#define AGENT_HEAPDUMPVIEWS_H

#include <cstdint>
#include <map>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "CallStackTree.h"

class ClassProfilingSession;
class DataReader;
class DataWriter;
class HeapProfilingSession;
class MethodDesc;
class ProfilingSession;

// The allocation views of a heap dump. The front end reads the dump, totals
// the objects it selected per allocation node and sends the totals; the
// views are trees over a copy of the heap session's backtrace tree that
// carries those totals: the allocation tree (command 13) and its nodes (20),
// the hotspots (53) with their back traces (78), and the backtrace nodes
// under selected paths or hotspots (command 21). Node IDs from the front end
// are looked up among the backtrace tree's nodes; unknown ones are skipped.
// Runs on the command thread.
class HeapDumpViews {
public:
    // What a command works on: the session (locks, merges), the heap session
    // (its backtrace tree) and the class session (descriptions); any may be null.
    struct Context {
        ProfilingSession *session;
        HeapProfilingSession *heap;
        ClassProfilingSession *classes;
    };

    HeapDumpViews();
    virtual ~HeapDumpViews();
    HeapDumpViews(const HeapDumpViews &) = delete;
    HeapDumpViews &operator=(const HeapDumpViews &) = delete;

    // The views of the process's session.
    static HeapDumpViews &instance();

    // Command 13: node data, aggregation level, depth, threshold, selection
    // tree and path; the tree update, the path to the selected node and the
    // descriptions.
    virtual void handleCmdDumpAllocations(const Context &context, DataReader *reader, DataWriter *writer);
    // Command 20: a node of the last tree by its path; byte 0 when the path
    // does not exist.
    virtual void handleCmdExpandDumpAllocationNode(DataReader *reader, DataWriter *writer);
    // Command 53: node data and level; the hotspots, their sum and the descriptions.
    virtual void handleCmdDumpAllocationHotspots(const Context &context, DataReader *reader, DataWriter *writer);
    // Command 78: a hotspot of the last reply with its back traces; byte 0
    // for a method that is not among them.
    virtual void handleCmdExpandDumpAllocationHotspot(DataReader *reader, DataWriter *writer);
    // Command 21: the backtrace nodes of selected paths (kind 4) or hotspots
    // (kind 6), then byte 0 and the class descriptions.
    virtual void handleCmdCreateDataSet(const Context &context, DataReader *reader, DataWriter *writer);

private:
    using Path = std::vector<std::pair<MethodDesc *, uint16_t>>;
    // A tree at an aggregation level, with the backtrace nodes merged into each node.
    struct LevelTree {
        CallStackTree *root = nullptr;
        std::unordered_map<const CallStackTree *, std::vector<CallStackTree *>> originals;
    };

    CallStackTree *newRoot();
    void clear();
    // Copies the backtrace tree (without values) and adds the request's node data.
    bool readNodeData(const Context &context, DataReader *reader);
    LevelTree buildLevelTree(const Context &context, int level);
    void writeHotspots(DataWriter *writer, int level);
    CallStackTree *backtracesOf(MethodDesc *method);

    InstancePool<CallStackTree> pool;
    std::vector<CallStackTree *> roots;
    // The copy with the dump's values, and its nodes' originals.
    CallStackTree *valued = nullptr;
    std::unordered_map<const CallStackTree *, CallStackTree *> copyToOriginal;
    // The tree of the last command 13 or 53.
    LevelTree transmitted;
    // The hotspots of the last command 53: value and count per method.
    std::map<MethodDesc *, std::pair<long long, uint32_t>> hotspots;
    std::map<MethodDesc *, CallStackTree *> backtraces;
};

#endif
