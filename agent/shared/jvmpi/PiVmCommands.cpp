#include "PiVmCommands.h"

#include "Communicator.h"
#include "Counter.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "LiveHeapdump.h"
#include "LiveProfiling.h"
#include "LiveProfilingSession.h"
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
    LiveProfiling::g_profilingInterface->RunGC();
}

void PiVmCommands::handleCmdGetLoadInfo(DataWriter *writer, uint32_t)
{
    writer->writeString(session->getVmVersion().c_str());
    writer->writeByte(0);
}

void PiVmCommands::notServedNatively(const char *what)
{
    MessageUtil::debugOut("%s is served by the Java communication thread\n", what);
}

void PiVmCommands::handleCmdGetParameters(DataWriter *)
{
    notServedNatively("get parameters");
}

void PiVmCommands::handleCmdGetVmState(DataWriter *)
{
    notServedNatively("VM state");
}

void PiVmCommands::handleCmdThreadProfiling(DataReader *)
{
    notServedNatively("thread profiling");
}

void PiVmCommands::handleCmdHprofDump(DataReader *, DataWriter *)
{
    notServedNatively("HPROF dump");
}

void PiVmCommands::handleCmdEnableTriggers(DataReader *)
{
    notServedNatively("triggers");
}

void PiVmCommands::handleCmdEnableTriggerGroups(DataReader *)
{
    notServedNatively("trigger groups");
}

void PiVmCommands::setMonitorProfiling(bool)
{
    notServedNatively("monitor profiling");
}

void PiVmCommands::handleCmdProbe(uint32_t, DataReader *, DataWriter *)
{
    notServedNatively("probe command");
}

void PiVmCommands::connectionEnded(const Communicator &)
{
    LiveProfiling::shouldWakeup = true;
}

bool PiVmCommands::handleCmdHeapDump(DataReader *reader, DataWriter *writer)
{
    LiveHeapdump *heapdump = session->getHeapdump();
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
    PiSnapshots::handleCmdSaveSnapshot(session, reader, writer, connection, LiveProfiling::currentEnv());
}
