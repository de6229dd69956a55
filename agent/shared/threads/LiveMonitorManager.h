#ifndef AGENT_LIVEMONITORMANAGER_H
#define AGENT_LIVEMONITORMANAGER_H

#include <cstdint>

#include "MonitorManager.h"

class CallStackTree;
class ClassData;
class MonitorEntry;
class ThreadManager;
class ThreadRecordingSession;

// A monitor seen by the live session. Display ids are handed out in order of
// creation, the first being 1; managers are created under the thread lock.
// The thread that blocks or waits hands in its own entry and current node;
// the monitor knows nothing else of the thread.
class LiveMonitorManager : public MonitorManager {
public:
    // `session` (may be null) tells the agent's own monitors apart and takes
    // the finished events.
    LiveMonitorManager(bool raw, void *monitorId, ThreadRecordingSession *session, ClassData *classData);

    // One of the agent's own raw monitors: its events are not recorded.
    bool isMyMonitor() const { return myMonitor; }
    void setMonitorId(void *id) { monitorId = static_cast<long long>(reinterpret_cast<intptr_t>(id)); }

    // `thread` starts to block on (or wait for) this monitor at `time` in
    // `node`: `entry`, the thread's own, describes the event. False (entry
    // untouched) for the agent's own monitors; the thread then has no open
    // entry.
    bool handleMonitorContendedEnter(MonitorEntry *entry, ThreadManager *thread, CallStackTree *node, long long time,
                                     ThreadManager *owner, CallStackTree *ownerNode);
    bool handleMonitorWait(MonitorEntry *entry, ThreadManager *thread, CallStackTree *node, long long time);
    // The open event's `entry` ends at `now` (blocked, else waiting): its
    // time goes to this monitor and the entry is offered to the session's list
    // of events.
    void endEvent(MonitorEntry *entry, long long now, bool blocked);

    static uint32_t s_lastDisplayId;

private:
    ThreadRecordingSession *session;
    bool myMonitor;
};

#endif
