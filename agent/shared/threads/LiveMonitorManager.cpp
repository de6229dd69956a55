#include "LiveMonitorManager.h"

#include "MonitorEntry.h"
#include "ThreadRecordingSession.h"

uint32_t LiveMonitorManager::s_lastDisplayId = 0;

LiveMonitorManager::LiveMonitorManager(bool isRaw, void *id, ThreadRecordingSession *owner, ClassData *monitorClass)
    : MonitorManager(isRaw, static_cast<long long>(reinterpret_cast<intptr_t>(id)), ++s_lastDisplayId, monitorClass), session(owner),
      myMonitor(isRaw && owner != nullptr && owner->isAgentMonitor(id))
{
}

bool LiveMonitorManager::handleMonitorContendedEnter(MonitorEntry *entry, ThreadManager *thread, CallStackTree *node, long long time,
                                                     ThreadManager *owner, CallStackTree *ownerNode)
{
    if (myMonitor)
        return false;
    entry->update(MonitorEntry::TYPE_BLOCKED, time, raw, displayId, classData, thread, node, owner, ownerNode, 0);
    return true;
}

bool LiveMonitorManager::handleMonitorWait(MonitorEntry *entry, ThreadManager *thread, CallStackTree *node, long long time)
{
    if (myMonitor)
        return false;
    entry->update(MonitorEntry::TYPE_WAITING, time, raw, displayId, classData, thread, node, nullptr, nullptr, 0);
    return true;
}

void LiveMonitorManager::endEvent(MonitorEntry *entry, long long now, bool blocked)
{
    entry->updateCurrentTime(now);
    long long duration = entry->getDuration() < 0 ? 0 : entry->getDuration();
    if (blocked)
        timeValues.addBlockingEvent(duration, 1);
    else
        timeValues.addWaitingEvent(duration, 1);
    if (session != nullptr)
        session->addMonitorEntry(entry);
}
