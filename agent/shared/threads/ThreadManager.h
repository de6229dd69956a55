#ifndef AGENT_THREADMANAGER_H
#define AGENT_THREADMANAGER_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "CallStackTree.h"
#include "MonitorTimeValues.h"
#include "ThreadDesc.h"

// The recorded data of one Java thread: its call tree (nodes from the
// manager's own pool), its name and its blocked, waiting and net I/O totals.
// The live recording state is in LiveThreadManager.
class DataReader;
class DataWriter;
class FileDataReader;
class FileDataWriter;
class MethodDesc;

class ThreadManager {
public:
    ThreadManager();
    virtual ~ThreadManager();
    ThreadManager(const ThreadManager &) = delete;
    ThreadManager &operator=(const ThreadManager &) = delete;

    // The empty tree while cleared and `ifCleared`, else the call tree.
    CallStackTree *getCallStackTree(bool ifCleared);
    void clear() { cleared = true; }
    bool getIgnored() const { return ignored; }
    void setIgnoredFlag(bool value) { ignored = value; }
    long long getLastCpuTime() const { return lastCpuTime; }
    void setLastCpuTime(long long t) { lastCpuTime = t; }
    MonitorTimeValues *getMonitorUsageStats() { return &monitorUsageStats; }
    void clearMonitorUsageStats() { monitorUsageStats.clear(false); }
    InstancePool<CallStackTree> *getTreePool() { return &treePool; }

    // The description; null until the thread is described.
    ThreadDesc *getThreadDesc() const { return threadDesc; }
    // The description, made on first use.
    ThreadDesc *ensureThreadDesc();
    bool hasDescription() const { return threadDesc != nullptr; }
    // Name accessors of the description (empty without one).
    const std::string &getThreadName() const;
    const std::string &getGroupName() const;
    void setThreadName(const std::string &name) { ensureThreadDesc()->setThreadName(name.c_str()); }
    void setGroupName(const std::string &name) { ensureThreadDesc()->setGroupName(name.c_str()); }
    void setParentName(const std::string &name) { ensureThreadDesc()->setParentName(name.c_str()); }
    void setDescribed() { ensureThreadDesc(); }
    void setJavaThreadId(long long id) { ensureThreadDesc()->setJavaThreadId(id); }
    long long getStartTime() const;
    void setStartTime(long long t);
    long long getEndTime() const;
    void setEndTime(long long t) { ensureThreadDesc()->setThreadEndTime(t); }

    // One frame of a stored stack trace: the method and the line it runs.
    typedef std::pair<MethodDesc *, uint16_t> Frame;
    // Keeps a stack trace of the thread (frames outermost first) taken at `time`.
    void addStackTrace(long long time, std::vector<Frame> frames);
    bool hasStackTraces() const { return !stackTraces.empty(); }
    // Per trace byte 1, JLong time, per frame byte 1, ID method, U2 line,
    // byte 0; then byte 0. With `release` the traces are dropped.
    void writeStackTraces(DataWriter *writer, bool release);
    // The thread's description: ID of the manager; thread, group and parent
    // name; JLong Java thread id; JLong start and end time (-1 while alive),
    // neither before `vmStart`; JLong last CPU time; U4 n and n x (byte
    // status, JLong time); ID of the creator; U4 m and m x (ID method, U2
    // line) of the creation stack. With `reset` the status history is emptied.
    void writeDescription(DataWriter *writer, bool reset, long long vmStart);
    // Byte 1, "name [group]" ("main [main]" without a description), then the
    // thread's blocked, waiting and net I/O totals.
    void writeMonitorUsageStats(DataWriter *writer);

    // Dead-thread store: writes the call tree and the annotation tree (a 0
    // byte: none is kept) at the writer's position and frees them; returns
    // the position, -1 when it cannot be had (the trees stay in memory).
    // A stored manager is not stored again.
    long long store(FileDataWriter *writer);
    // Reads the stored trees back unless they are in memory; a failed seek
    // or read leaves an empty tree. False when nothing could be read.
    bool retrieve(FileDataReader *reader);
    // Rebuilds a manager from the CPU section of a snapshot of `version`:
    // ID of the manager (from version 4), ID of the owner and the
    // description, a present-byte and the call tree (with node IDs before
    // version 19), from version 29 a present-byte and an annotation tree
    // (read past, not kept), byte cleared, byte ignored, JLong last CPU time,
    // the monitor time values and, from version 22, the stack traces
    // (frames whose method is unknown are dropped). Method IDs resolve
    // through the reader's ID translation. False when the stream failed.
    bool read(DataReader *reader, int version);

    // Whether the call tree lies in the dead-thread store only.
    bool isSwappedOut() const { return callTree == nullptr; }

    // Where the dead thread's trees lie in the dead-threads file; -1 = not stored.
    long long getStoreOffset() const { return storeOffset; }
    void setStoreOffset(long long offset) { storeOffset = offset; }

protected:
    // Replaces the call tree with a fresh empty root.
    void replaceCallTree();

    InstancePool<CallStackTree> treePool;
    CallStackTree *callTree;
    bool cleared;
    long long lastCpuTime;
    MonitorTimeValues monitorUsageStats;
    bool ignored;
    long long storeOffset;
    ThreadDesc *threadDesc;
    // Start time kept until the description is made.
    long long creationTime;
    struct StackTrace {
        long long time;
        std::vector<Frame> frames;
    };
    std::vector<StackTrace> stackTraces;
};

#endif
