#ifndef AGENT_JVMPI_PIVMCOMMANDS_H
#define AGENT_JVMPI_PIVMCOMMANDS_H

#include "VmCommands.h"

class PiProfilingSession;

// piagent's answers to the front end, as tiagent gives them, on the native
// communication thread until command 1 (which ends the native loop with the
// connection open) and on the Java communication thread after it. The
// handlers that call the agent's Java side use the serving thread's JNIEnv*.
class PiVmCommands : public VmCommands {
public:
    explicit PiVmCommands(PiProfilingSession *session) : session(session) {}

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
    void handleCmdProbeDescriptions(DataWriter *writer) override;
    // The call sites of a probe's payloads come from the tree of the JVMTI
    // agent only: the probe name echoed and byte 0 (no tuples).
    void handleCmdProbeTupleData(DataReader *reader, DataWriter *writer) override;
    void handleCmdProbeTelemetry(DataWriter *writer) override;
    void handleCmdProbeSettings(DataReader *reader) override;
    void handleCmdProbeRecording(DataReader *reader) override;
    // The next front end gets every description again; after command 46 the
    // process ends ("Killing process", status 0), after command 48 SIGINT is
    // raised (the sampler stopped first in both cases).
    void connectionEnded(const Communicator &connection) override;
    bool handleCmdHeapDump(DataReader *reader, DataWriter *writer) override;
    void handleCmdSetRecordAlloc(DataReader *reader) override;
    // Command 32, with the serving thread's JNIEnv* for the Java part.
    void handleCmdSaveSnapshot(DataReader *reader, DataWriter *writer, Communicator &connection) override;

private:
    PiProfilingSession *session;
};

#endif
