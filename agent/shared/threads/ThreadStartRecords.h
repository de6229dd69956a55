#ifndef AGENT_THREADSTARTRECORDS_H
#define AGENT_THREADSTARTRECORDS_H

#include <functional>
#include <vector>

#include "ThreadDesc.h"

class ThreadManager;

// Threads whose start the Java side registered before they run: the new
// thread's object, the creating thread and the path it was in. When the new
// thread starts, its record gives it its creation info. The path is copied
// at registration, so a creator's tree that is cleared in between leaves
// nothing dangling. Guarded by the thread monitor (4).
class ThreadStartRecords {
public:
    struct Record {
        void *threadObject; // owned by the caller (a global reference)
        ThreadManager *creator;
        std::vector<ThreadDesc::Frame> path;
    };

    void add(const Record &record) { records.push_back(record); }
    // Removes the first record whose thread object `isThread` accepts and
    // returns it through *out; false when there is none.
    bool take(const std::function<bool(void *)> &isThread, Record *out);
    size_t size() const { return records.size(); }

private:
    std::vector<Record> records;
};

#endif
