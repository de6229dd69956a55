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
    // Commands 62, 86, 87 and 90: the probes' data, which the agent's Java
    // side holds (the command number says which).
    virtual void handleCmdProbe(uint32_t command, DataReader *reader, DataWriter *writer) = 0;
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
    // Commands 68, 80, 82, 83, 84 and 88: the live objects of the last heap
    // dump (the command number says which). Without a VM there are none.
    virtual void handleCmdInspectObjects(uint32_t, DataReader *, DataWriter *) {}
};

#endif
