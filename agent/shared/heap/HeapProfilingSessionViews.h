#ifndef AGENT_HEAPPROFILINGSESSIONVIEWS_H
#define AGENT_HEAPPROFILINGSESSIONVIEWS_H

#include <string>
#include <unordered_map>
#include <vector>

#include "HeapProfilingSession.h"

class MethodDesc;

// The allocation views of the heap session: the request of commands 24 and
// 51, the selected tree and the tree last transmitted, kept for the
// expansions (commands 25 and 52). Every tree of a view comes from its own
// pool and goes with it.
struct HeapProfilingSession::ViewState {
    // Request parameters.
    bool recompute = false;
    int aggregationLevel = 0;
    int kind = 1;
    std::vector<std::pair<MethodDesc *, uint16_t>> selectedPath;
    bool clearCollected = false;
    std::vector<int> types;
    std::vector<ClassData *> selectedClasses;
    std::string prefix;

    InstancePool<CallStackTree> pool;
    std::vector<CallStackTree *> trees;
    CallStackTree *selection = nullptr;
    CallStackTree *selected = nullptr;
    CallStackTree *transmitted = nullptr;
    // Hotspots of the transmitted tree and their back-trace trees.
    std::unordered_map<MethodDesc *, std::pair<long long, uint32_t>> hotspots;
    std::unordered_map<MethodDesc *, CallStackTree *> backtraces;

    ~ViewState();
    CallStackTree *newTree();
};

#endif
