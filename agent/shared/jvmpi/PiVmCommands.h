#ifndef AGENT_JVMPI_PIVMCOMMANDS_H
#define AGENT_JVMPI_PIVMCOMMANDS_H

#include "VmCommands.h"

class LiveProfilingSession;

// The commands the native communication thread of piagent answers before the
// Java communication thread takes the connection over: command 1 ends the
// native loop with the connection open.
class PiVmCommands : public VmCommands {
public:
    explicit PiVmCommands(LiveProfilingSession *session) : session(session) {}

    void frontendSeen() override {}
    void handleCmdSetParameters(DataReader *reader, DataWriter *writer, Communicator &connection) override;
    void handleCmdForceGc() override;
    void handleCmdGetParameters(DataWriter *writer) override;
    void handleCmdGetVmState(DataWriter *writer) override;
    void handleCmdThreadProfiling(DataReader *reader) override;
    void handleCmdHprofDump(DataReader *reader, DataWriter *writer) override;
    void handleCmdEnableTriggers(DataReader *reader) override;
    void handleCmdEnableTriggerGroups(DataReader *reader) override;
    void handleCmdGetLoadInfo(DataWriter *writer, uint32_t communicatorStatus) override;
    void setMonitorProfiling(bool on) override;
    void handleCmdProbe(uint32_t command, DataReader *reader, DataWriter *writer) override;
    void connectionEnded(const Communicator &connection) override;
    bool handleCmdHeapDump(DataReader *reader, DataWriter *writer) override;
    void handleCmdSetRecordAlloc(DataReader *reader) override;
    // Command 32, with the serving thread's JNIEnv* for the Java part.
    void handleCmdSaveSnapshot(DataReader *reader, DataWriter *writer, Communicator &connection) override;

private:
    // Logs a command that only the Java communication thread serves.
    static void notServedNatively(const char *what);

    LiveProfilingSession *session;
};

#endif
