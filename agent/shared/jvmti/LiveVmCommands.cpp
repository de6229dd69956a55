#include "LiveVmCommands.h"

#include "HeapProfilingSession.h"
#include "LiveCpuProfilingHelper.h"
#include "LiveHeapProfilingHelper.h"
#include "LiveHeapdump.h"
#include "LiveObjectInspection.h"
#include "LiveSnapshots.h"

#include <csignal>
#include <cstdlib>

#include "Communicator.h"
#include "Counter.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "JavaControls.h"
#include "JavaProbeCommands.h"
#include "LiveProbeCommands.h"
#include "LiveProfiling.h"
#include "LiveProfilingSession.h"
#include "MessageUtil.h"

LiveVmCommands::LiveVmCommands(LiveProfilingSession *session) : session(session), env(nullptr)
{
}

void LiveVmCommands::frontendSeen()
{
    if (!session->getEdge().isJvmti11() || session->getEdge().isIbmVm())
        session->updateVmStartTime(Counter::getUsec(), true);
}

void LiveVmCommands::handleCmdSetParameters(DataReader *reader, DataWriter *writer, Communicator &connection)
{
    session->handleCmdSetParameters(writer, reader, env);
    session->updateVmStartTime(Counter::getUsec(), true);
    connection.markConnected();
    session->getEdge().registerConnection(env, true);
    writer->flush();
}

void LiveVmCommands::handleCmdForceGc()
{
    jvmtiError error = session->getEdge().jvmti->ForceGarbageCollection();
    if (error != JVMTI_ERROR_NONE)
        MessageUtil::message("Could not force garbage collection (%d).", static_cast<int>(error));
}

void LiveVmCommands::handleCmdGetParameters(DataWriter *writer)
{
    session->handleCmdGetParameters(writer);
}

void LiveVmCommands::handleCmdGetVmState(DataWriter *writer)
{
    session->handleCmdGetVMState(writer, env);
}

void LiveVmCommands::handleCmdThreadProfiling(DataReader *reader)
{
    bool on = reader->readByte(0) != 0;
    if (!reader->getError())
        session->getEdge().setThreadProfiling(on, env);
}

void LiveVmCommands::handleCmdHprofDump(DataReader *reader, DataWriter *writer)
{
    JavaControls::handleCmdHprofDump(env, reader, writer);
}

void LiveVmCommands::handleCmdEnableTriggers(DataReader *reader)
{
    JavaControls::handleCmdEnableTriggers(env, reader);
}

void LiveVmCommands::handleCmdEnableTriggerGroups(DataReader *reader)
{
    JavaControls::handleCmdEnableTriggerGroups(env, reader);
}

void LiveVmCommands::handleCmdGetLoadInfo(DataWriter *writer, uint32_t communicatorStatus)
{
    // Only command 1 makes a connection count as connected, and only on a VM
    // with a reliable start time does the answer depend on it.
    bool configured = communicatorStatus == Communicator::STATUS_CONNECTED;
    session->getEdge().handleCmdGetLoadInfo(writer, env, configured, communicatorStatus);
}

void LiveVmCommands::setMonitorProfiling(bool on)
{
    session->getEdge().setMonitorProfiling(on, env);
}

void LiveVmCommands::connectionEnded(const Communicator &connection)
{
    session->getEdge().setFrontendWasConnected(true);
    // The next front end has none of the descriptions this one received.
    session->getClassSession().resetDifferentialDataTransfer();
    if (HeapProfilingSession *heap = LiveHeapProfilingHelper::getSession())
        heap->resetDifferentialDataTransfer();
    if (session->getPort() != 0 && env != nullptr)
        session->getEdge().registerConnection(env, false);
    session->wakeup();
    if (connection.shouldExitProcess() || connection.shouldInterruptProcess())
        LiveCpuProfilingHelper::stopSampler();
    if (connection.shouldExitProcess())
        session->getEdge().endVm(VmEnd::FRONTEND_EXIT);
    if (connection.shouldInterruptProcess())
        raise(SIGINT);
}

void LiveVmCommands::onListenFailure()
{
    if (!LiveProfiling::instance().isNowait())
        LiveProfiling::instance().endVm(VmEnd::LISTEN_FAILED);
}

void LiveVmCommands::handleCmdProbeDescriptions(DataWriter *writer)
{
    JavaProbeCommands::handleCmdProbeDescriptions(env, writer);
}

void LiveVmCommands::handleCmdProbeTupleData(DataReader *reader, DataWriter *writer)
{
    LiveProbeCommands::handleCmdProbeTupleData(env, reader, writer);
}

void LiveVmCommands::handleCmdProbeTelemetry(DataWriter *writer)
{
    JavaProbeCommands::handleCmdProbeTelemetry(env, writer);
}

void LiveVmCommands::handleCmdProbeSettings(DataReader *reader)
{
    JavaProbeCommands::handleCmdProbeSettings(env, reader);
}

void LiveVmCommands::handleCmdProbeRecording(DataReader *reader)
{
    JavaProbeCommands::handleCmdProbeRecording(env, reader);
}

void LiveVmCommands::handleCmdSetRecordAlloc(DataReader *reader)
{
    LiveHeapProfilingHelper::handleCmdSetRecordAlloc(reader, env);
}

void LiveVmCommands::handleCmdSaveSnapshot(DataReader *reader, DataWriter *writer, Communicator &connection)
{
    LiveSnapshots::handleCmdSaveSnapshot(session, reader, writer, connection, env);
}

void LiveVmCommands::handleCmdPrimitiveData(DataReader *reader, DataWriter *writer)
{
    LiveObjectInspection::handleCmdPrimitiveData(reader, writer, env);
}

void LiveVmCommands::handleCmdToString(DataReader *reader, DataWriter *writer)
{
    LiveObjectInspection::handleCmdToString(reader, writer, env);
}

void LiveVmCommands::handleCmdEvalBooleanExpression(DataReader *reader, DataWriter *writer)
{
    LiveObjectInspection::handleCmdEvalBooleanExpression(reader, writer, env);
}

void LiveVmCommands::handleCmdEvalToString(DataReader *reader, DataWriter *writer)
{
    LiveObjectInspection::handleCmdEvalToString(reader, writer, env);
}

void LiveVmCommands::handleCmdEvalPrimitive(DataReader *reader, DataWriter *writer)
{
    LiveObjectInspection::handleCmdEvalPrimitive(reader, writer, env);
}

void LiveVmCommands::handleCmdStringScript(DataReader *reader, DataWriter *writer)
{
    LiveObjectInspection::handleCmdStringScript(reader, writer, env);
}

bool LiveVmCommands::handleCmdHeapDump(DataReader *reader, DataWriter *writer)
{
    return LiveHeapdump::handleCmdHeapDump(session, reader, writer, env);
}
