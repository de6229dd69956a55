#ifndef AGENT_MONITORENTRY_H
#define AGENT_MONITORENTRY_H

#include <cstdint>
#include <vector>

class CallStackTree;
class ClassData;
class DataReader;
class DataWriter;
class MethodDesc;
class ThreadManager;

// One monitor event: a thread blocked on a monitor (type 1) or waiting on it
// (type 2), when it began, how long it lasted (microseconds, kept in 64 bits
// so that long waits do not wrap), the monitor, and where the thread and
// the owner of the monitor were in their call trees.
class MonitorEntry {
public:
    static constexpr int TYPE_BLOCKED = 1;
    static constexpr int TYPE_WAITING = 2;

    // A waiting entry on a raw monitor with everything else zero.
    MonitorEntry();
    MonitorEntry(int type, long long start, bool raw, uint32_t displayId, ClassData *classData, ThreadManager *thread,
                 CallStackTree *threadNode, ThreadManager *owner, CallStackTree *ownerNode, long long duration);

    void update(int type, long long start, bool raw, uint32_t displayId, ClassData *classData, ThreadManager *thread,
                CallStackTree *threadNode, ThreadManager *owner, CallStackTree *ownerNode, long long duration);
    // The event is still going on: it has lasted until `now`.
    void updateCurrentTime(long long now) { duration = now - start; }
    // Whether the thread is described and the entry lasted at least the
    // threshold of its type.
    bool isAboveThreshold(long long blockThreshold, long long waitThreshold) const;

    // Byte type, JLong start, byte raw flag, U4 display id, ID class, U4
    // duration (saturated), ID thread manager, ID owner manager; then with
    // `withStacks` both call stacks (per node up to the root byte 1 and ID
    // of its method, then byte 0; thread first), else the IDs of both nodes.
    void write(DataWriter *writer, bool withStacks) const;
    // Reads the form written without stacks (IDs as they were written).
    void read(DataReader *reader, int version);
    // Keeps the methods of both call stacks, so that the entry can be
    // written after the trees it points into have changed or gone.
    void captureStacks();
    // One line for debugging in the agent's debug file.
    void debugOut() const;

    int getType() const { return type; }
    long long getStart() const { return start; }
    long long getDuration() const { return duration; }
    bool isRaw() const { return raw; }
    uint32_t getDisplayId() const { return displayId; }
    ClassData *getClassData() const { return classData; }
    ThreadManager *getThreadManager() const { return thread; }
    CallStackTree *getThreadNode() const { return threadNode; }
    ThreadManager *getOwner() const { return owner; }
    CallStackTree *getOwnerNode() const { return ownerNode; }

private:
    long long start;
    long long duration;
    bool raw;
    uint32_t displayId;
    ClassData *classData;
    ThreadManager *thread;
    CallStackTree *threadNode;
    ThreadManager *owner;
    CallStackTree *ownerNode;
    int type;
    bool captured = false;
    std::vector<MethodDesc *> threadStack;
    std::vector<MethodDesc *> ownerStack;
};

#endif
