#ifndef AGENT_THREADDESC_H
#define AGENT_THREADDESC_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class CallStackTree;
class DataReader;
class DataWriter;
class MethodDesc;
class ThreadManager;

// What the front end is told about a thread: its names, its Java id, when it
// started and ended, who started it and from where, and the history of its
// status (status characters with times in units of 10 ms).
class ThreadDesc {
public:
    // One frame of the creation stack: the method and its line.
    typedef std::pair<MethodDesc *, uint16_t> Frame;
    // Units of the status time list in microseconds.
    static constexpr long long STATUS_TIME_UNIT = 10000;

    explicit ThreadDesc(ThreadManager *owner);

    ThreadManager *getOwner() const { return owner; }
    const std::string &getThreadName() const { return threadName; }
    const std::string &getGroupName() const { return groupName; }
    const std::string &getParentName() const { return parentName; }
    void setThreadName(const char *name) { threadName = name != nullptr ? name : ""; }
    void setGroupName(const char *name) { groupName = name != nullptr ? name : ""; }
    void setParentName(const char *name) { parentName = name != nullptr ? name : ""; }
    long long getJavaThreadId() const { return javaThreadId; }
    void setJavaThreadId(long long id) { javaThreadId = id; }
    long long getThreadStartTime() const { return startTime; }
    void setThreadStartTime(long long t) { startTime = t; }
    long long getThreadEndTime() const { return endTime; }
    void setThreadEndTime(long long t) { endTime = t; }
    ThreadManager *getCreator() const { return creator; }
    const std::vector<Frame> &getCreationStack() const { return creationStack; }

    // The thread was started by `creator` while it ran `node`: keeps the
    // frames from `node` up to the root, innermost first.
    void setCreationInfo(ThreadManager *creator, const CallStackTree *node);
    void setCreationInfo(ThreadManager *creator, const std::vector<Frame> &stack);
    // The frames from `node` up to the root, innermost first.
    static std::vector<Frame> pathOf(const CallStackTree *node);

    const std::vector<unsigned char> &getThreadStatusList() const { return statusList; }
    const std::vector<uint32_t> &getThreadStatusTimeList() const { return statusTimeList; }
    // Room for one more status entry.
    void ensureThreadStatusCapacity();
    // Appends `status` at `time` (microseconds) unless it is the last one kept.
    void addThreadStatus(unsigned char status, long long time);

    // ID of the owner; thread, group and parent name; JLong Java thread id;
    // JLong start time and end time (-1 while alive), neither before
    // `vmStart`; JLong `lastCpuTime`; U4 n and n x (byte status, JLong time);
    // ID of the creator; U4 m and m x (ID method, U2 line). With `reset`
    // (the front end's view) only the entries not written with `reset`
    // before; without (snapshots) the whole history.
    void write(DataWriter *writer, bool reset, long long vmStart, long long lastCpuTime);
    // Reads what write wrote (the owner's ID already consumed by the caller
    // is not part of it); returns the last CPU time. The Java thread id is
    // present from version 36 on, creator and creation stack from 11 on.
    long long read(DataReader *reader, int version);

private:
    ThreadManager *owner;
    std::string threadName;
    std::string groupName;
    std::string parentName;
    long long javaThreadId;
    long long startTime;
    long long endTime;
    ThreadManager *creator;
    std::vector<Frame> creationStack;
    std::vector<unsigned char> statusList;
    std::vector<uint32_t> statusTimeList;
    // Entries of the history the front end has had.
    size_t statusesSent = 0;
};

#endif
