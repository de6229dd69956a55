#ifndef KVR_TOOLS_FRONTEND_LOADDATAVIEW_H
#define KVR_TOOLS_FRONTEND_LOADDATAVIEW_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "ThreadView.h"

class Registry;

// The reply of command 33, which a loaded snapshot answers first: how the
// agent read the snapshot, how the IDs stored in it map to the objects the
// loaded session serves, the file with the rest of the stream, and the
// descriptions of the loaded methods, classes and threads.
struct LoadDataReply {
    int32_t result = 0;   // the snapshot's version, or -1003, -1002, 0
    bool loaded = false;  // byte 0 after the result: the IDs and the file follow
    uint32_t storedIdSize = 0;
    std::vector<std::pair<uint64_t, uint64_t>> ids;     // stored ID, ID now
    std::vector<std::pair<uint64_t, int64_t>> threadIds; // stored thread ID, ID now
    bool hasFile = false;
    std::string file; // the rest of the stream, from the Java part on
    int64_t time = 0;
    std::vector<ThreadInfo> threads;
};

class LoadDataView {
public:
    // `idWidth` is the agent's ID width; stored IDs have the width the reply
    // names. Method and class descriptions go to `registry`.
    static bool readLoadDataReply(const std::vector<uint8_t> &body, unsigned idWidth, Registry *registry, LoadDataReply *out);
    // The result, the counts of the ID pairs, the file and its size, the threads.
    static std::string format(const LoadDataReply &reply, const Registry &registry);
};

#endif
