// CpuProfilingSession: monitor profiling (records of monitors, finished
// and current monitor events, and the monitor views).
#include "CpuProfilingSession.h"

#include <map>
#include <string>

#include "ClassData.h"
#include "ClassProfilingSession.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "InternalMonitor.h"
#include "LiveMonitorManager.h"
#include "LiveThreadManager.h"
#include "MonitorEntry.h"
#include "MonitorTimeValues.h"
#include "SessionLock.h"
#include "VmInterface.h"

namespace {

// At and above this threshold a kind of monitor event is not recorded.
const long long THRESHOLD_OFF = 2000000000LL;

// The thresholds arrive unsigned; anything at or above "off" stays off
// instead of wrapping to a negative number that would record everything.
long long clampThreshold(uint32_t threshold)
{
    return threshold >= THRESHOLD_OFF ? THRESHOLD_OFF : static_cast<long long>(threshold);
}

long long monitorKey(void *monitorId)
{
    return static_cast<long long>(reinterpret_cast<intptr_t>(monitorId));
}

} // namespace

void CpuProfilingSession::setAgentMonitors(const std::vector<void *> &monitors)
{
    SessionLock lock(session, IM_THREAD);
    agentMonitors.clear();
    agentMonitors.insert(monitors.begin(), monitors.end());
}

bool CpuProfilingSession::isAgentMonitor(void *monitor) const
{
    return agentMonitors.count(monitor) != 0;
}

LiveMonitorManager *CpuProfilingSession::findMonitorManager(bool raw, void *monitorId)
{
    SessionLock lock(session, IM_THREAD);
    std::unordered_map<long long, LiveMonitorManager *> &monitors = raw ? rawMonitors : javaMonitors;
    auto found = monitors.find(monitorKey(monitorId));
    return found != monitors.end() ? found->second : nullptr;
}

bool CpuProfilingSession::changeJavaMonitorKey(void *oldId, void *newId)
{
    SessionLock lock(session, IM_THREAD);
    auto found = javaMonitors.find(monitorKey(oldId));
    if (found == javaMonitors.end())
        return false;
    LiveMonitorManager *moved = found->second;
    javaMonitors.erase(found);
    // An object the collector moved onto a dead monitor's id replaces it.
    auto stale = javaMonitors.find(monitorKey(newId));
    if (stale != javaMonitors.end())
        stale->second = moved;
    else
        javaMonitors[monitorKey(newId)] = moved;
    moved->setMonitorId(newId);
    return true;
}

void CpuProfilingSession::setCurrentMonitorEntries(std::vector<MonitorEntry> entries)
{
    SessionLock lock(session, IM_THREAD);
    currentEntries.swap(entries);
}

std::vector<MonitorEntry> CpuProfilingSession::getCurrentMonitorEntries()
{
    SessionLock lock(session, IM_THREAD);
    return currentEntries;
}

LiveMonitorManager *CpuProfilingSession::getMonitorManager(bool raw, void *monitorId, ClassData *classData)
{
    if (blockThreshold >= THRESHOLD_OFF && waitThreshold >= THRESHOLD_OFF)
        return nullptr;
    SessionLock lock(session, IM_THREAD);
    std::unordered_map<long long, LiveMonitorManager *> &monitors = raw ? rawMonitors : javaMonitors;
    auto found = monitors.find(monitorKey(monitorId));
    if (found != monitors.end())
        return found->second;
    LiveMonitorManager *created = new LiveMonitorManager(raw, monitorId, this, raw ? nullptr : classData);
    monitors[monitorKey(monitorId)] = created;
    return created;
}

void CpuProfilingSession::setMonitorRecording(bool on, long long block, long long wait)
{
    if (block >= 0) {
        blockThreshold = block;
        waitThreshold = wait < 0 ? 0 : wait;
    }
    monitorRecording.store(on, std::memory_order_relaxed);
}

void CpuProfilingSession::addMonitorEntry(const MonitorEntry *entry)
{
    if (!isMonitorRecording() || !entry->isAboveThreshold(blockThreshold, waitThreshold))
        return;
    // Kept past the trees it points into: the stacks go with it.
    MonitorEntry *copy = new MonitorEntry(*entry);
    copy->captureStacks();
    SessionLock lock(session, IM_THREAD);
    finishedEntries.push_back(copy);
}

long long CpuProfilingSession::generateCurrentMonitorEntryData()
{
    SessionLock lock(session, IM_THREAD);
    long long now = vm->getUsec();
    currentEntries.clear();
    for (LiveThreadManager *t : threadManagers) {
        if (t->getIgnored() || t->getIsDead())
            continue;
        if (MonitorEntry *open = t->getCurrentMonitorEntry(now, true))
            currentEntries.push_back(*open);
    }
    return now;
}

long long CpuProfilingSession::generateContendedMonitorEntryData()
{
    // The thread handles stay valid while the lock keeps threads from ending.
    SessionLock lock(session, IM_THREAD);
    std::vector<LiveThreadManager *> alive;
    std::vector<void *> handles;
    for (LiveThreadManager *t : threadManagers) {
        if (!t->getIgnored() && !t->getIsDead() && t->threadHandle != nullptr) {
            alive.push_back(t);
            handles.push_back(t->threadHandle);
        }
    }
    std::vector<VmInterface::ContendedMonitor> monitors;
    if (alive.empty() || !vm->getContendedMonitors(handles, &monitors))
        return generateCurrentMonitorEntryData();
    auto managerOf = [&](void *handle) -> LiveThreadManager * {
        for (size_t i = 0; i < handles.size(); i++) {
            if (handles[i] == handle)
                return alive[i];
        }
        return nullptr;
    };
    long long now = vm->getUsec();
    currentEntries.clear();
    for (const VmInterface::ContendedMonitor &monitor : monitors) {
        LiveMonitorManager *record = getMonitorManager(false, monitor.monitorId, monitor.classData);
        LiveThreadManager *owner = managerOf(monitor.owner);
        for (void *handle : monitor.waiters) {
            LiveThreadManager *waiter = managerOf(handle);
            if (waiter == nullptr)
                continue;
            long long start = waiter->getCurrentMonitorContentionStartTime();
            if (start <= 0)
                start = waiter->getCurrentMonitorWaitingStartTime();
            long long duration = start > 0 && now > start ? now - start : 0;
            currentEntries.push_back(MonitorEntry(MonitorEntry::TYPE_WAITING, start, false, record != nullptr ? record->getDisplayId() : 0,
                                                  monitor.classData, waiter, waiter->getCurrentNode(), owner,
                                                  owner != nullptr ? owner->getCurrentNode() : nullptr, duration));
        }
    }
    return now;
}

void CpuProfilingSession::resetMonitorStats()
{
    SessionLock lock(session, IM_THREAD);
    for (LiveThreadManager *t : threadManagers)
        t->clearMonitorUsageStats();
    for (auto &m : javaMonitors)
        m.second->clearStats();
}

void CpuProfilingSession::clearMonitorEntries()
{
    SessionLock lock(session, IM_THREAD);
    for (MonitorEntry *e : finishedEntries)
        delete e;
    finishedEntries.clear();
}

void CpuProfilingSession::writeMonitorEntries(DataWriter *writer, bool aboveThresholdOnly)
{
    for (const MonitorEntry &entry : currentEntries) {
        if (aboveThresholdOnly && !entry.isAboveThreshold(blockThreshold, waitThreshold))
            continue;
        writer->writeByte(1);
        entry.write(writer, true);
    }
    writer->writeByte(0);
}

void CpuProfilingSession::handleCmdMonitorUsageHistory(DataWriter *writer, ClassProfilingSession *classes)
{
    std::vector<MonitorEntry *> finished;
    {
        SessionLock lock(session, IM_THREAD);
        finished.swap(finishedEntries);
        for (MonitorEntry *e : finished) {
            writer->writeByte(1);
            e->write(writer, true);
        }
    }
    for (MonitorEntry *e : finished)
        delete e;
    writer->writeByte(0);
    long long now = collectRecordedMonitorEntries();
    {
        SessionLock lock(session, IM_THREAD);
        writeMonitorEntries(writer, true);
    }
    writer->writeU4(static_cast<uint32_t>(blockThreshold));
    writer->writeU4(static_cast<uint32_t>(waitThreshold));
    writer->writeJLong(now);
    writer->writeU4(0);
    handleCmdThreadDescriptions(writer, classes);
}

void CpuProfilingSession::handleCmdMonitorUsageCurrent(DataWriter *writer, ClassProfilingSession *classes)
{
    long long now = collectCurrentMonitorEntries();
    {
        SessionLock lock(session, IM_THREAD);
        writeMonitorEntries(writer, false);
    }
    writer->writeJLong(now);
    writer->writeU4(0);
    handleCmdThreadDescriptions(writer, classes);
}

void CpuProfilingSession::handleCmdMonitorUsageStats(DataReader *reader, DataWriter *writer, ClassProfilingSession *classes)
{
    uint32_t grouping = reader->readU4(0);
    if (reader->getError())
        return;
    {
        SessionLock lock(session, IM_THREAD);
        if (grouping == 1) {
            for (auto &m : javaMonitors)
                m.second->writeStats(writer);
            for (auto &m : rawMonitors)
                m.second->writeStats(writer);
        } else if (grouping == 2) {
            for (LiveThreadManager *t : threadManagers)
                t->writeMonitorUsageStats(writer);
        } else {
            // Summed per class name, in name order so that replies are stable.
            std::map<std::string, MonitorTimeValues> byClass;
            for (auto &m : javaMonitors) {
                if (m.second->getMonitorTimeValues()->isEmpty())
                    continue;
                ClassData *c = m.second->getClassData();
                byClass[c != nullptr ? c->getClassName() : ""].add(m.second->getMonitorTimeValues());
            }
            for (auto &entry : byClass) {
                writer->writeByte(1);
                writer->writeString(entry.first.c_str());
                entry.second.write(writer);
            }
            MonitorTimeValues rawTotal;
            for (auto &m : rawMonitors)
                rawTotal.add(m.second->getMonitorTimeValues());
            if (!rawTotal.isEmpty()) {
                writer->writeByte(1);
                writer->writeString("[raw monitor]");
                rawTotal.write(writer);
            }
        }
    }
    writer->writeByte(0);
    classes->writeClassDescriptions(writer, true);
}

int CpuProfilingSession::handleCmdSetRecordMonitors(DataReader *reader)
{
    bool on = reader->readByte(0) != 0;
    long long block = -1;
    long long wait = -1;
    if (on) {
        block = clampThreshold(reader->readU4(0));
        wait = clampThreshold(reader->readU4(0));
    }
    if (reader->getError())
        return -1;
    setMonitorRecording(on, block, wait);
    return on ? 1 : 0;
}

void CpuProfilingSession::handleCmdGetMonitorId(DataReader *reader, DataWriter *writer)
{
    uint32_t displayId = reader->readU4(0);
    long long id = 0;
    if (!reader->getError() && displayId != 0) {
        SessionLock lock(session, IM_THREAD);
        for (auto *monitors : {&javaMonitors, &rawMonitors}) {
            for (auto &m : *monitors) {
                if (m.second->getDisplayId() == displayId)
                    id = m.second->getMonitorId();
            }
        }
    }
    writer->writeJLong(id);
}
