#include "LiveCommunicator.h"

#include <csignal>
#include <cstdlib>

#include "Counter.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "CpuProfilingSession.h"
#include "LiveCpuProfilingHelper.h"
#include "LiveProfiling.h"
#include "LiveProfilingSession.h"
#include "MessageUtil.h"

// One row of the live dispatcher: the command and the member that runs it.
struct LiveCommunicator::LiveCommand {
    uint32_t command;
    void (LiveCommunicator::*handle)();
};

namespace {

const LiveCommunicator::Command NO_COMMAND = static_cast<LiveCommunicator::Command>(-1);

} // namespace

LiveCommunicator::LiveCommunicator(LiveProfilingSession *session, int port, const std::string &address,
                                   LiveCommunicator *previous)
    : SocketCommunicator(session, port, address), liveSession(session), env(nullptr), javaCommunicator(nullptr),
      connectedOnce(false), connected(false)
{
    inheritListenSocket(previous);
}

void LiveCommunicator::setJavaPointers(JNIEnv *newEnv, jobject newJavaCommunicator)
{
    env = newEnv;
    javaCommunicator = newJavaCommunicator;
}

const LiveCommunicator::LiveCommand *LiveCommunicator::findLiveCommand(uint32_t command)
{
    static const LiveCommand LIVE_COMMANDS[] = {
        {CMD_SET_PARAMETERS, &LiveCommunicator::handleSetParameters},
        {CMD_FORCE_GC, &LiveCommunicator::handleForceGc},
        {CMD_GET_PARAMETERS, &LiveCommunicator::handleGetParameters},
        {CMD_ENABLE_TRIGGERS, &LiveCommunicator::handleEnableTriggers},
        {CMD_ENABLE_TRIGGER_GROUPS, &LiveCommunicator::handleEnableTriggerGroups},
        {CMD_HPROF_DUMP, &LiveCommunicator::handleHprofDump},
        {CMD_SET_VIEW_FILTER, &LiveCommunicator::handleSetViewFilter},
        {CMD_GET_CLASSES, &LiveCommunicator::handleGetClasses},
        {CMD_SET_RECORD_CPU, &LiveCommunicator::handleSetRecordCpu},
        {CMD_THREAD_PROFILING, &LiveCommunicator::handleThreadProfiling},
        {CMD_INVOCATION_TREE_UPDATE, &LiveCommunicator::handleInvocationTreeUpdate},
        {CMD_HOTSPOT_TREE_UPDATE, &LiveCommunicator::handleHotspotTreeUpdate},
        {CMD_THREAD_DUMP, &LiveCommunicator::handleThreadDump},
        {CMD_LOAD_INFO, &LiveCommunicator::handleGetLoadInfo},
        {CMD_LOAD_INFO_WITH_PAYLOAD, &LiveCommunicator::handleGetLoadInfo},
        {CMD_THREAD_DESCRIPTIONS, &LiveCommunicator::handleThreadDescriptions},
        {CMD_EXPAND_INVOCATION_NODE, &LiveCommunicator::handleExpandInvocationNode},
        {CMD_EXPAND_HOTSPOT_NODE, &LiveCommunicator::handleExpandHotspotNode},
        {CMD_METHOD_GRAPH, &LiveCommunicator::handleMethodGraph},
        {CMD_SET_TRACE_RECORD, &LiveCommunicator::handleSetTraceRecord},
        {CMD_GET_TRACES, &LiveCommunicator::handleGetTraces},
        {CMD_MONITOR_USAGE_HISTORY, &LiveCommunicator::handleMonitorUsageHistory},
        {CMD_MONITOR_USAGE_CURRENT, &LiveCommunicator::handleMonitorUsageCurrent},
        {CMD_MONITOR_USAGE_STATS, &LiveCommunicator::handleMonitorUsageStats},
        {CMD_SET_RECORD_MONITORS, &LiveCommunicator::handleSetRecordMonitors},
        {CMD_GET_MONITOR_ID, &LiveCommunicator::handleGetMonitorId},
        {NO_COMMAND, nullptr},
    };
    for (const LiveCommand *row = LIVE_COMMANDS; row->handle != nullptr; row++) {
        if (row->command == command)
            return row;
    }
    return nullptr;
}

bool LiveCommunicator::establishConnection()
{
    connected = SocketCommunicator::establishConnection();
    return connected;
}

bool LiveCommunicator::processComand(uint32_t command)
{
    if ((!LiveProfiling::jvmti11 || LiveProfiling::ibmVm) && !connectedOnce) {
        liveSession->updateVmStartTime(Counter::getUsec(), true);
        connectedOnce = true;
    }
    if (const LiveCommand *row = findLiveCommand(command)) {
        (this->*row->handle)();
        return true;
    }
    return Communicator::processComand(command);
}

void LiveCommunicator::handleSetParameters()
{
    liveSession->handleCmdSetParameters(writer, reader, env);
    liveSession->updateVmStartTime(Counter::getUsec(), true);
    status = STATUS_CONNECTED;
    connectedOnce = true;
    LiveProfiling::registerConnection(env, true);
    writer->flush();
}

void LiveCommunicator::handleForceGc()
{
    jvmtiError error = LiveProfiling::jvmti->ForceGarbageCollection();
    if (error != JVMTI_ERROR_NONE)
        MessageUtil::message("Could not force garbage collection (%d).", static_cast<int>(error));
}

void LiveCommunicator::handleGetParameters()
{
    liveSession->handleCmdGetParameters(writer);
}

void LiveCommunicator::handleEnableTriggers()
{
    LiveProfiling::enableTriggers(env, reader->readByte(0) != 0);
}

void LiveCommunicator::handleEnableTriggerGroups()
{
    bool on = reader->readByte(0) != 0;
    uint32_t count = reader->readU4(0);
    for (uint32_t i = 0; i < count && !reader->getError(); i++) {
        char *name = reader->readString(nullptr);
        if (name == nullptr)
            break;
        LiveProfiling::enableTriggerGroup(on, name, env);
        delete[] name;
    }
}

void LiveCommunicator::handleHprofDump()
{
    char *path = reader->readString(nullptr);
    bool live = reader->readByte(0) != 0;
    if (reader->getError()) {
        delete[] path;
        writer->writeByte(0);
        writer->writeString("");
        return;
    }
    jstring problem = LiveProfiling::doHprofDump(path, live, env, false);
    delete[] path;
    if (problem == nullptr) {
        writer->writeByte(0);
        writer->writeString("");
        return;
    }
    const char *text = env->GetStringUTFChars(problem, nullptr);
    writer->writeByte(1);
    writer->writeString(text);
    if (text != nullptr)
        env->ReleaseStringUTFChars(problem, text);
    env->DeleteLocalRef(problem);
}

void LiveCommunicator::handleSetViewFilter()
{
    liveSession->getClassSession().handleCmdSetViewFilter(reader);
}

void LiveCommunicator::handleGetClasses()
{
    liveSession->getClassSession().handleCmdGetClasses(writer);
}

void LiveCommunicator::handleThreadProfiling()
{
    bool on = reader->readByte(0) != 0;
    if (!reader->getError())
        LiveProfiling::setThreadProfiling(on, env);
}

void LiveCommunicator::handleSetRecordCpu()
{
    LiveCpuProfilingHelper::getSession()->handleCmdSetRecordCpu(reader);
}

void LiveCommunicator::handleInvocationTreeUpdate()
{
    LiveCpuProfilingHelper::getSession()->handleCmdInvocationTreeUpdate(reader, writer, &liveSession->getClassSession());
}

void LiveCommunicator::handleHotspotTreeUpdate()
{
    LiveCpuProfilingHelper::getSession()->handleCmdHotspotTreeUpdate(reader, writer, &liveSession->getClassSession());
}

void LiveCommunicator::handleThreadDump()
{
    bool newDump = reader->readByte(0) != 0;
    LiveCpuProfilingHelper::getSession()->handleCmdThreadDump(writer, newDump, &liveSession->getClassSession());
}

void LiveCommunicator::handleThreadDescriptions()
{
    LiveCpuProfilingHelper::getSession()->handleCmdThreadDescriptions(writer, &liveSession->getClassSession());
}

void LiveCommunicator::handleExpandInvocationNode()
{
    LiveCpuProfilingHelper::getSession()->handleCmdExpandInvocationNode(reader, writer);
}

void LiveCommunicator::handleExpandHotspotNode()
{
    LiveCpuProfilingHelper::getSession()->handleCmdExpandHotspotNode(reader, writer);
}

void LiveCommunicator::handleMethodGraph()
{
    LiveCpuProfilingHelper::getSession()->handleCmdMethodGraph(reader, writer, &liveSession->getClassSession());
}

void LiveCommunicator::handleSetTraceRecord()
{
    LiveCpuProfilingHelper::getSession()->handleCmdSetTraceRecord(reader);
}

void LiveCommunicator::handleGetTraces()
{
    LiveCpuProfilingHelper::getSession()->handleCmdGetTraces(writer, &liveSession->getClassSession());
}

void LiveCommunicator::handleMonitorUsageHistory()
{
    LiveCpuProfilingHelper::getSession()->handleCmdMonitorUsageHistory(writer, &liveSession->getClassSession());
}

void LiveCommunicator::handleMonitorUsageCurrent()
{
    LiveCpuProfilingHelper::getSession()->handleCmdMonitorUsageCurrent(writer, &liveSession->getClassSession());
}

void LiveCommunicator::handleMonitorUsageStats()
{
    LiveCpuProfilingHelper::getSession()->handleCmdMonitorUsageStats(reader, writer, &liveSession->getClassSession());
}

void LiveCommunicator::handleSetRecordMonitors()
{
    int on = LiveCpuProfilingHelper::getSession()->handleCmdSetRecordMonitors(reader);
    if (on >= 0)
        LiveProfiling::setMonitorProfiling(on != 0, env);
}

void LiveCommunicator::handleGetMonitorId()
{
    LiveCpuProfilingHelper::getSession()->handleCmdGetMonitorId(reader, writer);
}

void LiveCommunicator::handleGetLoadInfo()
{
    LiveProfiling::handleCmdGetLoadInfo(writer, env, connectedOnce, status);
}

void LiveCommunicator::onListenFailure()
{
    exit(1);
}

void LiveCommunicator::cleanupConnection()
{
    status = STATUS_CLEANED_UP;
    LiveProfiling::frontendWasConnected = true;
    // The next front end has none of the descriptions this one received.
    liveSession->getClassSession().resetDifferentialDataTransfer();
    if (port != 0 && env != nullptr)
        LiveProfiling::registerConnection(env, false);
    liveSession->wakeup();
    closeConnection();
    if (exitProcess) {
        SocketCommunicator::cleanupConnection();
        MessageUtil::message("Killing process");
        exit(0);
    }
    if (interruptProcess) {
        SocketCommunicator::cleanupConnection();
        raise(SIGINT);
    }
}
