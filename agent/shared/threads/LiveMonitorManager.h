#ifndef AGENT_LIVEMONITORMANAGER_H
#define AGENT_LIVEMONITORMANAGER_H

#include <cstdint>

#include "MonitorManager.h"

class ClassData;
class CpuProfilingSession;
class LiveThreadManager;

// A monitor seen by the live session. Display ids are handed out in order of
// creation, the first being 1; managers are created under the thread lock.
class LiveMonitorManager : public MonitorManager {
public:
    LiveMonitorManager(bool raw, void *monitorId, CpuProfilingSession *session, ClassData *classData);

    // One of the agent's own raw monitors: its events are not recorded.
    bool isMyMonitor() const { return myMonitor; }
    void setMonitorId(void *id) { monitorId = static_cast<long long>(reinterpret_cast<intptr_t>(id)); }

    // The thread starts to block on (or wait for) this monitor at `time`:
    // its own entry describes the event and becomes its current one.
    void handleMonitorContendedEnter(LiveThreadManager *thread, long long time, LiveThreadManager *owner);
    void handleMonitorWait(LiveThreadManager *thread, long long time);
    // The event ends at `now`: its time goes to this monitor, the entry is
    // offered to the session's list of events and is no longer current.
    void handleMonitorContendedEntered(LiveThreadManager *thread, long long now);
    void handleMonitorWaited(LiveThreadManager *thread, long long now);

    static uint32_t s_lastDisplayId;

private:
    void endEvent(LiveThreadManager *thread, long long now, bool blocked);

    CpuProfilingSession *session;
    bool myMonitor;
};

#endif
