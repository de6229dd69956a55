#ifndef AGENT_LIVEVMCOMMANDS_H
#define AGENT_LIVEVMCOMMANDS_H

#include <jni.h>

#include "VmCommands.h"

class LiveProfilingSession;

// The live VM's answers to the front end and its part in a connection's end:
// the Java side learns that the front end has gone, the waiting VM is woken
// and, when the front end asked for it, the process ends or is interrupted.
// Bound to the serving thread's JNI environment (bindThread).
class LiveVmCommands : public VmCommands {
public:
    explicit LiveVmCommands(LiveProfilingSession *session);

    // The JNI environment of the thread that serves the front end; null unbinds.
    void bindThread(JNIEnv *env) { this->env = env; }

    // On a VM without a reliable start time (JVMTI 1.0, IBM) the front end's
    // first request restarts the clock of the reply headers.
    void frontendSeen() override;
    void handleCmdSetParameters(DataReader *reader, DataWriter *writer, Communicator &connection) override;
    void handleCmdForceGc() override;
    void handleCmdGetParameters(DataWriter *writer) override;
    void handleCmdGetVmState(DataWriter *writer) override;
    void handleCmdThreadProfiling(DataReader *reader) override;
    // Byte 0 and an empty string when the dump was written, else byte 1 and
    // the problem.
    void handleCmdHprofDump(DataReader *reader, DataWriter *writer) override;
    void handleCmdEnableTriggers(DataReader *reader) override;
    void handleCmdEnableTriggerGroups(DataReader *reader) override;
    void handleCmdGetLoadInfo(DataWriter *writer, uint32_t communicatorStatus) override;
    void setMonitorProfiling(bool on) override;
    void handleCmdProbeDescriptions(DataWriter *writer) override;
    void handleCmdProbeTupleData(DataReader *reader, DataWriter *writer) override;
    void handleCmdProbeTelemetry(DataWriter *writer) override;
    void handleCmdProbeSettings(DataReader *reader) override;
    void handleCmdProbeRecording(DataReader *reader) override;
    // Exits with status 0 after command 46 and raises SIGINT after command 48.
    void connectionEnded(const Communicator &connection) override;
    void handleCmdSetRecordAlloc(DataReader *reader) override;
    void handleCmdSaveSnapshot(DataReader *reader, DataWriter *writer, Communicator &connection) override;
    bool handleCmdHeapDump(DataReader *reader, DataWriter *writer) override;
    void handleCmdPrimitiveData(DataReader *reader, DataWriter *writer) override;
    void handleCmdToString(DataReader *reader, DataWriter *writer) override;
    void handleCmdEvalBooleanExpression(DataReader *reader, DataWriter *writer) override;
    void handleCmdEvalToString(DataReader *reader, DataWriter *writer) override;
    void handleCmdEvalPrimitive(DataReader *reader, DataWriter *writer) override;
    void handleCmdStringScript(DataReader *reader, DataWriter *writer) override;

    // The socket transport's listen failure inside a VM: a VM that waits for
    // its front end cannot go on without the port and ends with status 1; one
    // that does not wait keeps running without a front end.
    static void onListenFailure();

private:
    LiveProfilingSession *session;
    JNIEnv *env;
};

#endif
