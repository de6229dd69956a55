#include "LiveMonitorManager.h"

#include "CpuProfilingSession.h"
#include "LiveThreadManager.h"
#include "MonitorEntry.h"

uint32_t LiveMonitorManager::s_lastDisplayId = 0;

LiveMonitorManager::LiveMonitorManager(bool isRaw, void *id, CpuProfilingSession *owner, ClassData *monitorClass)
    : MonitorManager(isRaw, static_cast<long long>(reinterpret_cast<intptr_t>(id)), ++s_lastDisplayId, monitorClass), session(owner),
      myMonitor(isRaw && owner != nullptr && owner->isAgentMonitor(id))
{
}

void LiveMonitorManager::handleMonitorContendedEnter(LiveThreadManager *thread, long long time, LiveThreadManager *owner)
{
    if (myMonitor)
        return;
    MonitorEntry *entry = thread->getOwnMonitorEntry();
    entry->update(MonitorEntry::TYPE_BLOCKED, time, raw, displayId, classData, thread, thread->getCurrentNode(), owner,
                  owner != nullptr ? owner->getCurrentNode() : nullptr, 0);
    thread->setCurrentMonitorEntry(entry);
}

void LiveMonitorManager::handleMonitorWait(LiveThreadManager *thread, long long time)
{
    if (myMonitor)
        return;
    MonitorEntry *entry = thread->getOwnMonitorEntry();
    entry->update(MonitorEntry::TYPE_WAITING, time, raw, displayId, classData, thread, thread->getCurrentNode(), nullptr, nullptr, 0);
    thread->setCurrentMonitorEntry(entry);
}

void LiveMonitorManager::handleMonitorContendedEntered(LiveThreadManager *thread, long long now)
{
    endEvent(thread, now, true);
}

void LiveMonitorManager::handleMonitorWaited(LiveThreadManager *thread, long long now)
{
    endEvent(thread, now, false);
}

void LiveMonitorManager::endEvent(LiveThreadManager *thread, long long now, bool blocked)
{
    if (myMonitor)
        return;
    MonitorEntry *entry = thread->getCurrentMonitorEntry(now, false);
    if (entry == nullptr)
        return;
    entry->updateCurrentTime(now);
    long long duration = entry->getDuration() < 0 ? 0 : entry->getDuration();
    if (blocked)
        timeValues.addBlockingEvent(duration, 1);
    else
        timeValues.addWaitingEvent(duration, 1);
    if (session != nullptr)
        session->addMonitorEntry(entry);
    thread->setCurrentMonitorEntry(nullptr);
}
