#ifndef AGENT_PROBEDATA_H
#define AGENT_PROBEDATA_H

#include <set>
#include <vector>

#include "CallStackTree.h"

class DataWriter;

// The call sites of probe payloads (command 85): the Java side names the
// annotation ids behind a probe's payloads, and each node of the named
// threads' trees that carries one of them is mirrored, with its path from
// the root, into one result tree.
class ProbeData {
public:
    // Writes the result tree in view-update form, header first: per node
    // method ID, U2 line, then U4 n and the low 32 bits of the node's n ids.
    // Ids are compared by their low 32 bits (the Java side keeps ints). The
    // root and every mirrored node have value 1, so all of them are written.
    static void writeCallSites(DataWriter *writer, const std::vector<const CallStackTree *> &roots, const std::set<uint32_t> &ids);
};

#endif
