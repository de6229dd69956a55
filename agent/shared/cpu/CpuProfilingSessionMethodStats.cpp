// CpuProfilingSession: method statistics (switching, recording at exits
// and the statistics reply).
#include "CpuProfilingSession.h"

#include "ClassProfilingSession.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "InternalMonitor.h"
#include "LiveThreadManager.h"
#include "MessageUtil.h"
#include "MethodDesc.h"
#include "SessionLock.h"

bool CpuProfilingSession::setRecordMethodStatistics(bool record)
{
    if (record && settings.collectionMethod != 1) {
        MessageUtil::message("ERROR: Method statistics can only be recorded with dynamic instrumentation");
        return false;
    }
    bool switchCpuOn = false;
    {
        SessionLock lock(session, IM_THREAD | IM_CLASS);
        if (record && !methodStatisticsInitialized) {
            for (auto &stats : methodStatistics)
                delete stats.second;
            methodStatistics.clear();
            methodStatisticsInitialized = true;
        }
        if (!record && isRecordMethodStatistics())
            newMethodStatistics = true;
        for (LiveThreadManager *t : threadManagers)
            t->setStatisticsRecord(record);
        statisticsRecording.store(record, std::memory_order_relaxed);
        switchCpuOn = record && !isRecording();
    }
    if (switchCpuOn)
        setCpuRecord(true, false);
    return true;
}

bool CpuProfilingSession::hasNewMethodStatistics()
{
    SessionLock lock(session, IM_THREAD);
    bool result = newMethodStatistics;
    newMethodStatistics = false;
    return result;
}

void CpuProfilingSession::recordMethodStatistics(MethodDesc *method, const MethodStats::StackEntry &invocation)
{
    if (method == nullptr || method->getIsFiltered(false, false))
        return;
    // Threads of one method share its record: updates are serialised.
    SessionLock lock(session, IM_THREAD);
    MethodStats *&stats = methodStatistics[method];
    if (stats == nullptr)
        stats = new MethodStats();
    stats->recordMethodExit(invocation);
}

const MethodStats *CpuProfilingSession::getMethodStatistics(const MethodDesc *method)
{
    SessionLock lock(session, IM_THREAD);
    auto found = methodStatistics.find(method);
    return found != methodStatistics.end() ? found->second : nullptr;
}

void CpuProfilingSession::handleCmdSetRecordMethodStatistics(DataReader *reader)
{
    bool on = reader->readByte(0) != 0;
    if (!reader->getError())
        setRecordMethodStatistics(on);
}

void CpuProfilingSession::handleCmdGetMethodStatistics(DataWriter *writer, ClassProfilingSession *classes)
{
    setRecordMethodStatistics(false);
    std::vector<MethodDesc *> methods = classes->getMethods();
    {
        SessionLock lock(session, IM_THREAD | IM_CLASS);
        for (MethodDesc *m : methods) {
            auto found = methodStatistics.find(m);
            if (found == methodStatistics.end())
                continue;
            writer->writeByte(1);
            writer->writeID(m);
            found->second->write(writer);
        }
    }
    writer->writeByte(0);
    classes->writeMethodDescriptions(writer, true);
    classes->writeClassDescriptions(writer, true);
}
