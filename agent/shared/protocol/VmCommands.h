#ifndef AGENT_VMCOMMANDS_H
#define AGENT_VMCOMMANDS_H

#include <cstdint>

#include "DataWriter.h"

class Communicator;
class DataReader;
class DataWriter;

// What only a live VM answers to the front end (its configuration, garbage
// collection, triggers, heap dumps, the VM state poll, the loaded classes)
// and how the VM follows a connection. The VM edge implements it; a
// communicator without one answers none of these commands. Called on the
// serving thread.
class VmCommands {
public:
    virtual ~VmCommands() = default;

    // The first request of a connection that is not the close or the ID width.
    virtual void frontendSeen() = 0;
    // Command 1: applies the configuration the front end sends and tells
    // `connection` when the front end counts as connected.
    virtual void handleCmdSetParameters(DataReader *reader, DataWriter *writer, Communicator &connection) = 0;
    // Command 30.
    virtual void handleCmdForceGc() = 0;
    // Command 45: the configuration in force.
    virtual void handleCmdGetParameters(DataWriter *writer) = 0;
    // Command 59: the front end's periodic poll of the VM state.
    virtual void handleCmdGetVmState(DataWriter *writer) = 0;
    // Command 61: thread profiling on or off.
    virtual void handleCmdThreadProfiling(DataReader *reader) = 0;
    // Command 63: a heap dump to the path the front end names.
    virtual void handleCmdHprofDump(DataReader *reader, DataWriter *writer) = 0;
    // Command 66: triggers on or off.
    virtual void handleCmdEnableTriggers(DataReader *reader) = 0;
    // Command 67: trigger groups on or off by name.
    virtual void handleCmdEnableTriggerGroups(DataReader *reader) = 0;
    // Commands 76 and 77: the VM's version, abilities and modifiable classes.
    // `communicatorStatus` is the serving communicator's status.
    virtual void handleCmdGetLoadInfo(DataWriter *writer, uint32_t communicatorStatus) = 0;
    // Command 73, after the CPU session took the switch: monitor events on or off.
    virtual void setMonitorProfiling(bool on) = 0;
    // The probes' data, which the agent's Java side holds. Command 62: U4
    // length and the probe descriptions.
    virtual void handleCmdProbeDescriptions(DataWriter *writer) = 0;
    // Command 85: the probe name echoed, then byte 0 or the call sites of
    // the probe's payloads.
    virtual void handleCmdProbeTupleData(DataReader *reader, DataWriter *writer) = 0;
    // Command 86: byte 0, or byte 1 and the probe telemetry.
    virtual void handleCmdProbeTelemetry(DataWriter *writer) = 0;
    // Command 87: the probe settings (U4 size and bytes); no reply.
    virtual void handleCmdProbeSettings(DataReader *reader) = 0;
    // Command 90: the probes to record (U4 size and bytes); no reply.
    virtual void handleCmdProbeRecording(DataReader *reader) = 0;
    // The connection of `connection` is over and its transport closed.
    virtual void connectionEnded(const Communicator &connection) = 0;
    // Command 7: a heap dump. True when the dump's path or bytes were sent
    // (the descriptions and the thread list follow), false after U4 0.
    virtual bool handleCmdHeapDump(DataReader *, DataWriter *writer)
    {
        writer->writeU4(0);
        return false;
    }
    // Command 49: allocation recording on or off (byte on, then the CPU
    // session's tracking parameters).
    virtual void handleCmdSetRecordAlloc(DataReader *) {}
    // Command 32: a snapshot (byte: reply with the path), in the reply or in
    // a file. Replies U4 0 where no snapshot can be made.
    virtual void handleCmdSaveSnapshot(DataReader *, DataWriter *writer, Communicator &) { writer->writeU4(0); }
    // The live objects of the last heap dump; without a VM there are none
    // and the reply is empty. Command 68: primitive values.
    virtual void handleCmdPrimitiveData(DataReader *, DataWriter *) {}
    // Command 80: the objects' texts.
    virtual void handleCmdToString(DataReader *, DataWriter *) {}
    // Command 82: the objects a script class finds true.
    virtual void handleCmdEvalBooleanExpression(DataReader *, DataWriter *) {}
    // Command 83: the objects whose text matches an expression.
    virtual void handleCmdEvalToString(DataReader *, DataWriter *) {}
    // Command 84: the objects whose primitive field compares as asked.
    virtual void handleCmdEvalPrimitive(DataReader *, DataWriter *) {}
    // Command 88: a script's text for each object.
    virtual void handleCmdStringScript(DataReader *, DataWriter *) {}
};

#endif
