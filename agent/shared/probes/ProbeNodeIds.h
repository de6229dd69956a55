#ifndef AGENT_PROBENODEIDS_H
#define AGENT_PROBENODEIDS_H

#include <cstdint>
#include <map>
#include <unordered_map>
#include <utility>
#include <vector>

class CallStackTree;
class MethodDesc;

// The ids under which nodes of the probe view tree are handed to the Java
// side. The view tree is rebuilt on later requests and its nodes freed, so
// the Java side never holds a node address: an id names the node's path of
// (method, line hint) pairs from the root, and is resolved against the
// current view tree when it comes back. An id that is unknown, or whose path
// no longer exists, resolves to null. Used on the command thread only.
class ProbeNodeIds {
public:
    // The tree that ids resolve against from now on (null: none).
    void setRoot(CallStackTree *root);
    // The id of a node of the current tree (ids start at 1; the same path
    // keeps its id across rebuilds). 0 for null or a node of another tree.
    long long idOf(const CallStackTree *node);
    // The node an id names in the current tree, null when there is none.
    CallStackTree *lookup(long long id) const;
    // Forgets every id (the Java side dropped its payloads).
    void clear();

private:
    typedef std::vector<std::pair<const MethodDesc *, uint16_t>> Path;

    CallStackTree *root = nullptr;
    long long nextId = 1;
    std::map<Path, long long> idsByPath;
    std::unordered_map<long long, Path> pathsById;
};

#endif
