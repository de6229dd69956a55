#ifndef AGENT_THREADMANAGER_H
#define AGENT_THREADMANAGER_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "CallStackTree.h"
#include "InstancePool.h"
#include "MonitorTimeValues.h"

// The recorded data of one Java thread: its call tree (nodes from the
// manager's own pool), its name and its blocked, waiting and net I/O totals.
// The live recording state is in LiveThreadManager.
class DataWriter;
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

    const std::string &getThreadName() const { return threadName; }
    const std::string &getGroupName() const { return groupName; }
    const std::string &getParentName() const { return parentName; }
    void setParentName(const std::string &name) { parentName = name; }
    // Whether the thread was described (it got its name).
    bool hasDescription() const { return described; }
    void setDescribed() { described = true; }
    void setThreadName(const std::string &name) { threadName = name; }
    void setGroupName(const std::string &name) { groupName = name; }
    long long getJavaThreadId() const { return javaThreadId; }
    void setJavaThreadId(long long id) { javaThreadId = id; }
    long long getStartTime() const { return startTime; }
    void setStartTime(long long t) { startTime = t; }
    long long getEndTime() const { return endTime; }
    void setEndTime(long long t) { endTime = t; }

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
    std::string threadName;
    std::string groupName;
    std::string parentName;
    bool described = false;
    struct StackTrace {
        long long time;
        std::vector<Frame> frames;
    };
    std::vector<StackTrace> stackTraces;
    // Status history: status characters and their times in units of 10 ms.
    std::vector<unsigned char> statusList;
    std::vector<uint32_t> statusTimeList;
    long long javaThreadId;
    long long startTime;
    long long endTime;
};

#endif
