#include "LiveVmCommands.h"

#include <csignal>
#include <cstdlib>

#include "Communicator.h"
#include "Counter.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "LiveProfiling.h"
#include "LiveProfilingSession.h"
#include "MessageUtil.h"

LiveVmCommands::LiveVmCommands(LiveProfilingSession *session) : session(session), env(nullptr)
{
}

void LiveVmCommands::frontendSeen()
{
    if (!LiveProfiling::jvmti11 || LiveProfiling::ibmVm)
        session->updateVmStartTime(Counter::getUsec(), true);
}

void LiveVmCommands::handleCmdSetParameters(DataReader *reader, DataWriter *writer, Communicator &connection)
{
    session->handleCmdSetParameters(writer, reader, env);
    session->updateVmStartTime(Counter::getUsec(), true);
    connection.markConnected();
    LiveProfiling::registerConnection(env, true);
    writer->flush();
}

void LiveVmCommands::handleCmdForceGc()
{
    jvmtiError error = LiveProfiling::jvmti->ForceGarbageCollection();
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
        LiveProfiling::setThreadProfiling(on, env);
}

void LiveVmCommands::handleCmdHprofDump(DataReader *reader, DataWriter *writer)
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

void LiveVmCommands::handleCmdEnableTriggers(DataReader *reader)
{
    LiveProfiling::enableTriggers(env, reader->readByte(0) != 0);
}

void LiveVmCommands::handleCmdEnableTriggerGroups(DataReader *reader)
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

void LiveVmCommands::handleCmdGetLoadInfo(DataWriter *writer, uint32_t communicatorStatus)
{
    // Only command 1 makes a connection count as connected, and only on a VM
    // with a reliable start time does the answer depend on it.
    bool configured = communicatorStatus == Communicator::STATUS_CONNECTED;
    LiveProfiling::handleCmdGetLoadInfo(writer, env, configured, communicatorStatus);
}

void LiveVmCommands::setMonitorProfiling(bool on)
{
    LiveProfiling::setMonitorProfiling(on, env);
}

void LiveVmCommands::connectionEnded(const Communicator &connection)
{
    LiveProfiling::frontendWasConnected = true;
    // The next front end has none of the descriptions this one received.
    session->getClassSession().resetDifferentialDataTransfer();
    if (session->getPort() != 0 && env != nullptr)
        LiveProfiling::registerConnection(env, false);
    session->wakeup();
    if (connection.shouldExitProcess()) {
        MessageUtil::message("Killing process");
        exit(0);
    }
    if (connection.shouldInterruptProcess())
        raise(SIGINT);
}

void LiveVmCommands::onListenFailure()
{
    if (!LiveProfiling::nowait)
        exit(1);
}
