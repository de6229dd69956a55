#include "PiVmCommands.h"

#include <csignal>

#include "Communicator.h"
#include "Counter.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "HeapViews.h"
#include "JavaControls.h"
#include "JavaProbeCommands.h"
#include "PiHeapdump.h"
#include "PiProfiling.h"
#include "PiProfilingSession.h"
#include "MessageUtil.h"
#include "PiSnapshots.h"

void PiVmCommands::handleCmdSetParameters(DataReader *reader, DataWriter *writer, Communicator &connection)
{
    // The Java communication thread applies the configuration's recordings
    // when it takes the connection over.
    session->handleCmdSetParameters(reader, writer);
    session->updateVmStartTime(Counter::getUsec(), true);
    connection.markConnected();
    writer->flush();
    // The native thread's loop ends here; the Java communication thread
    // carries the connection on.
    if (!session->isJavaServing())
        connection.finish();
}

void PiVmCommands::handleCmdForceGc()
{
    PiProfiling::g_profilingInterface->RunGC();
}

void PiVmCommands::handleCmdGetLoadInfo(DataWriter *writer, uint32_t)
{
    writer->writeString(session->getVmVersion().c_str());
    writer->writeByte(0);
}

void PiVmCommands::handleCmdGetParameters(DataWriter *writer)
{
    session->handleCmdGetParameters(writer);
}

void PiVmCommands::handleCmdGetVmState(DataWriter *writer)
{
    session->handleCmdGetVMState(writer, PiProfiling::currentEnv());
}

void PiVmCommands::handleCmdThreadProfiling(DataReader *reader)
{
    bool on = reader->readByte(0) != 0;
    if (!reader->getError() && session->getCpuSession() != nullptr)
        session->getCpuSession()->setThreadProfiling(on);
}

void PiVmCommands::handleCmdHprofDump(DataReader *reader, DataWriter *writer)
{
    JavaControls::handleCmdHprofDump(PiProfiling::currentEnv(), reader, writer);
}

void PiVmCommands::handleCmdEnableTriggers(DataReader *reader)
{
    JavaControls::handleCmdEnableTriggers(PiProfiling::currentEnv(), reader);
}

void PiVmCommands::handleCmdEnableTriggerGroups(DataReader *reader)
{
    JavaControls::handleCmdEnableTriggerGroups(PiProfiling::currentEnv(), reader);
}

void PiVmCommands::setMonitorProfiling(bool)
{
    // The CPU session took the switch; the VM's monitor events stay enabled
    // and are recorded by it.
}

void PiVmCommands::handleCmdProbeDescriptions(DataWriter *writer)
{
    JavaProbeCommands::handleCmdProbeDescriptions(PiProfiling::currentEnv(), writer);
}

void PiVmCommands::handleCmdProbeTupleData(DataReader *reader, DataWriter *writer)
{
    char *name = reader->readString(nullptr);
    writer->writeString(name != nullptr ? name : "");
    delete[] name;
    writer->writeByte(0);
}

void PiVmCommands::handleCmdProbeTelemetry(DataWriter *writer)
{
    JavaProbeCommands::handleCmdProbeTelemetry(PiProfiling::currentEnv(), writer);
}

void PiVmCommands::handleCmdProbeSettings(DataReader *reader)
{
    JavaProbeCommands::handleCmdProbeSettings(PiProfiling::currentEnv(), reader);
}

void PiVmCommands::handleCmdProbeRecording(DataReader *reader)
{
    JavaProbeCommands::handleCmdProbeRecording(PiProfiling::currentEnv(), reader);
}

void PiVmCommands::connectionEnded(const Communicator &connection)
{
    // The next front end has none of the descriptions this one received.
    if (PiClassProfilingSession *classes = session->getClassSession())
        classes->resetDifferentialDataTransfer();
    HeapViews::resetDifferentialDataTransfer(session->getHeapViews());
    session->wakeup();
    if (!connection.shouldExitProcess() && !connection.shouldInterruptProcess())
        return;
    if (LiveSamplerSession *sampler = session->getLiveSamplerSession())
        sampler->stop();
    if (connection.shouldExitProcess())
        PiProfiling::endVm(VmEnd::FRONTEND_EXIT);
    raise(SIGINT);
}

bool PiVmCommands::handleCmdHeapDump(DataReader *reader, DataWriter *writer)
{
    PiHeapdump *heapdump = session->getHeapdump();
    if (heapdump == nullptr) {
        writer->writeU4(0);
        return false;
    }
    return heapdump->handleCmdHeapDump(reader, writer);
}

void PiVmCommands::handleCmdSetRecordAlloc(DataReader *reader)
{
    int on = reader->readByte(-1);
    if (on < 0)
        return;
    session->setAllocRecord(on != 0);
}

void PiVmCommands::handleCmdSaveSnapshot(DataReader *reader, DataWriter *writer, Communicator &connection)
{
    PiSnapshots::handleCmdSaveSnapshot(session, reader, writer, connection, PiProfiling::currentEnv());
}
