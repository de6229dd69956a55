#include "FrontendCommands.h"

#include "ClassProfilingSession.h"
#include "Communicator.h"
#include "Counter.h"
#include "CpuProfilingSession.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "HeapDumpViews.h"
#include "HeapProfilingSession.h"
#include "ProfilingSession.h"
#include "SamplerSession.h"
#include "VmCommands.h"

ClassProfilingSession *CommandCall::classes() const
{
    return owners.session != nullptr ? owners.session->getClassProfilingSession() : nullptr;
}

namespace {

using Frame = FrontendCommands::Frame;
using Owner = FrontendCommands::Owner;
using Row = FrontendCommands::Row;

// The connection's own commands.

void close(const CommandCall &call)
{
    call.communicator.hangUp();
}

void idWidth(const CommandCall &call)
{
    call.writer->writeU4(DataWriter::ID_SIZE);
    call.writer->writeID(reinterpret_cast<const void *>(static_cast<uintptr_t>(1)));
}

void stop(const CommandCall &call)
{
    call.communicator.finish();
}

void exitProcess(const CommandCall &call)
{
    call.communicator.requestExit();
}

void interruptProcess(const CommandCall &call)
{
    call.communicator.requestInterrupt();
}

// The CPU session's commands: the CPU session and its class descriptions.

CpuProfilingSession *cpu(const CommandCall &call)
{
    return call.owners.cpu;
}

// Probe data: the live VM's Java side, or what a loaded snapshot carried.
void probeDescriptions(const CommandCall &call)
{
    if (call.owners.vm != nullptr)
        call.owners.vm->handleCmdProbeDescriptions(call.writer);
    else
        call.owners.loaded->handleCmdProbeDescriptions(call.writer);
}

void probeTupleData(const CommandCall &call)
{
    if (call.owners.vm != nullptr)
        call.owners.vm->handleCmdProbeTupleData(call.reader, call.writer);
    else
        call.owners.loaded->handleCmdProbeTupleData(call.reader, call.writer);
}

void probeTelemetry(const CommandCall &call)
{
    if (call.owners.vm != nullptr)
        call.owners.vm->handleCmdProbeTelemetry(call.writer);
    else
        call.owners.loaded->handleCmdProbeTelemetry(call.writer);
}

void setRecordMonitors(const CommandCall &call)
{
    int on = cpu(call)->handleCmdSetRecordMonitors(call.reader);
    if (on >= 0 && call.owners.vm != nullptr)
        call.owners.vm->setMonitorProfiling(on != 0);
}

void threadDump(const CommandCall &call)
{
    bool newDump = call.reader->readByte(0) != 0;
    cpu(call)->handleCmdThreadDump(call.writer, newDump, call.classes());
}

// A heap dump: the file, then the descriptions not yet sent, the time and
// the thread list.
void heapDump(const CommandCall &call)
{
    if (!call.owners.vm->handleCmdHeapDump(call.reader, call.writer))
        return;
    ClassProfilingSession *classes = call.classes();
    if (classes != nullptr) {
        classes->writeMethodDescriptions(call.writer, true);
        classes->writeClassDescriptions(call.writer, true);
    }
    call.writer->writeJLong(Counter::getUsec());
    call.writer->writeU4(0);
    if (cpu(call) != nullptr)
        cpu(call)->handleCmdThreadDescriptions(call.writer, classes);
}

// The telemetry; the empty form while the session has none yet.
void telemetryData(const CommandCall &call)
{
    if (SamplerSession *sampler = call.owners.session->getSamplerSession()) {
        sampler->handleCmdTelemetryData(call.writer);
        return;
    }
    SamplerSession none(nullptr);
    none.write(call.writer, true);
}

// The allocation views of a heap dump.
HeapDumpViews::Context dumpViewContext(const CommandCall &call)
{
    return {call.owners.session, call.owners.heap, call.classes()};
}

// One row per command, in command order.
const Row ROWS[] = {
    {FrontendCommands::CMD_CLOSE, Frame::CLOSE, Owner::COMMUNICATOR, close},
    {FrontendCommands::CMD_SET_PARAMETERS, Frame::PAYLOAD, Owner::VM,
     [](const CommandCall &c) { c.owners.vm->handleCmdSetParameters(c.reader, c.writer, c.communicator); }},
    {FrontendCommands::CMD_ID_WIDTH, Frame::BARE, Owner::COMMUNICATOR, idWidth},
    {FrontendCommands::CMD_HEAP_USAGE, Frame::PAYLOAD, Owner::HEAP,
     [](const CommandCall &c) { c.owners.heap->handleCmdHeapUsage(c.reader, c.writer); }},
    {FrontendCommands::CMD_TOTAL_HEAP_USAGE, Frame::PAYLOAD, Owner::HEAP,
     [](const CommandCall &c) { c.owners.heap->handleCmdTotalHeapUsage(c.writer); }},
    {FrontendCommands::CMD_HEAP_DUMP, Frame::PAYLOAD, Owner::VM, heapDump},
    {FrontendCommands::CMD_EXPAND_INVOCATION_NODE, Frame::PAYLOAD, Owner::CPU,
     [](const CommandCall &c) { cpu(c)->handleCmdExpandInvocationNode(c.reader, c.writer); }},
    {FrontendCommands::CMD_EXPAND_HOTSPOT_NODE, Frame::PAYLOAD, Owner::CPU,
     [](const CommandCall &c) { cpu(c)->handleCmdExpandHotspotNode(c.reader, c.writer); }},
    {FrontendCommands::CMD_THREAD_DESCRIPTIONS, Frame::PAYLOAD, Owner::CPU,
     [](const CommandCall &c) { cpu(c)->handleCmdThreadDescriptions(c.writer, c.classes()); }},
    {FrontendCommands::CMD_DUMP_ALLOCATIONS, Frame::PAYLOAD, Owner::HEAP,
     [](const CommandCall &c) { HeapDumpViews::instance().handleCmdDumpAllocations(dumpViewContext(c), c.reader, c.writer); }},
    {FrontendCommands::CMD_EXPAND_DUMP_ALLOCATION_NODE, Frame::PAYLOAD, Owner::HEAP,
     [](const CommandCall &c) { HeapDumpViews::instance().handleCmdExpandDumpAllocationNode(c.reader, c.writer); }},
    {FrontendCommands::CMD_CREATE_DATA_SET, Frame::PAYLOAD, Owner::HEAP,
     [](const CommandCall &c) { HeapDumpViews::instance().handleCmdCreateDataSet(dumpViewContext(c), c.reader, c.writer); }},
    {FrontendCommands::CMD_TELEMETRY_DATA, Frame::PAYLOAD, Owner::SESSION, telemetryData},
    {FrontendCommands::CMD_STOP, Frame::PAYLOAD, Owner::COMMUNICATOR, stop},
    {FrontendCommands::CMD_ALLOCATION_UPDATE, Frame::PAYLOAD, Owner::HEAP,
     [](const CommandCall &c) { c.owners.heap->handleCmdAllocationUpdate(c.reader, c.writer); }},
    {FrontendCommands::CMD_EXPAND_ALLOCATION_NODE, Frame::PAYLOAD, Owner::HEAP,
     [](const CommandCall &c) { c.owners.heap->handleCmdExpandAllocationNode(c.reader, c.writer); }},
    {FrontendCommands::CMD_FORCE_GC, Frame::PAYLOAD, Owner::VM, [](const CommandCall &c) { c.owners.vm->handleCmdForceGc(); }},
    {FrontendCommands::CMD_SAVE_SNAPSHOT, Frame::PAYLOAD, Owner::VM,
     [](const CommandCall &c) { c.owners.vm->handleCmdSaveSnapshot(c.reader, c.writer, c.communicator); }},
    {FrontendCommands::CMD_LOAD_DATA, Frame::PAYLOAD, Owner::LOADED, [](const CommandCall &c) { c.owners.loaded->writeLoadData(c.writer); }},
    {FrontendCommands::CMD_SET_VIEW_FILTER, Frame::PAYLOAD, Owner::CLASSES,
     [](const CommandCall &c) { c.classes()->handleCmdSetViewFilter(c.reader); }},
    {FrontendCommands::CMD_MONITOR_USAGE_HISTORY, Frame::PAYLOAD, Owner::CPU,
     [](const CommandCall &c) { cpu(c)->handleCmdMonitorUsageHistory(c.writer, c.classes()); }},
    {FrontendCommands::CMD_MONITOR_USAGE_CURRENT, Frame::PAYLOAD, Owner::CPU,
     [](const CommandCall &c) { cpu(c)->handleCmdMonitorUsageCurrent(c.writer, c.classes()); }},
    {FrontendCommands::CMD_MONITOR_USAGE_STATS, Frame::PAYLOAD, Owner::CPU,
     [](const CommandCall &c) { cpu(c)->handleCmdMonitorUsageStats(c.reader, c.writer, c.classes()); }},
    {FrontendCommands::CMD_SET_RECORD_CPU, Frame::PAYLOAD, Owner::CPU,
     [](const CommandCall &c) { cpu(c)->handleCmdSetRecordCpu(c.reader); }},
    {FrontendCommands::CMD_INVOCATION_TREE_UPDATE, Frame::PAYLOAD, Owner::CPU,
     [](const CommandCall &c) { cpu(c)->handleCmdInvocationTreeUpdate(c.reader, c.writer, c.classes()); }},
    {FrontendCommands::CMD_HOTSPOT_TREE_UPDATE, Frame::PAYLOAD, Owner::CPU,
     [](const CommandCall &c) { cpu(c)->handleCmdHotspotTreeUpdate(c.reader, c.writer, c.classes()); }},
    {FrontendCommands::CMD_GET_STATE, Frame::PAYLOAD, Owner::SESSION,
     [](const CommandCall &c) { c.owners.session->handleCmdGetState(c.reader, c.writer); }},
    {FrontendCommands::CMD_GET_PARAMETERS, Frame::PAYLOAD, Owner::VM,
     [](const CommandCall &c) { c.owners.vm->handleCmdGetParameters(c.writer); }},
    {FrontendCommands::CMD_EXIT, Frame::PAYLOAD, Owner::COMMUNICATOR, exitProcess},
    {FrontendCommands::CMD_INTERRUPT, Frame::PAYLOAD, Owner::COMMUNICATOR, interruptProcess},
    {FrontendCommands::CMD_SET_RECORD_ALLOC, Frame::PAYLOAD, Owner::VM,
     [](const CommandCall &c) { c.owners.vm->handleCmdSetRecordAlloc(c.reader); }},
    {FrontendCommands::CMD_METHOD_GRAPH, Frame::PAYLOAD, Owner::CPU,
     [](const CommandCall &c) { cpu(c)->handleCmdMethodGraph(c.reader, c.writer, c.classes()); }},
    {FrontendCommands::CMD_ALLOCATION_HOTSPOT_UPDATE, Frame::PAYLOAD, Owner::HEAP,
     [](const CommandCall &c) { c.owners.heap->handleCmdAllocationHotspotTreeUpdate(c.reader, c.writer); }},
    {FrontendCommands::CMD_EXPAND_ALLOCATION_HOTSPOT_NODE, Frame::PAYLOAD, Owner::HEAP,
     [](const CommandCall &c) { c.owners.heap->handleCmdExpandAllocationHotspotNode(c.reader, c.writer); }},
    {FrontendCommands::CMD_DUMP_ALLOCATION_HOTSPOTS, Frame::PAYLOAD, Owner::HEAP,
     [](const CommandCall &c) {
         HeapDumpViews::instance().handleCmdDumpAllocationHotspots(dumpViewContext(c), c.reader, c.writer);
     }},
    {FrontendCommands::CMD_ANNOTATION_HOTSPOT_UPDATE, Frame::PAYLOAD, Owner::CPU,
     [](const CommandCall &c) { cpu(c)->handleCmdAnnotationHotspotUpdate(c.reader, c.writer, c.classes()); }},
    {FrontendCommands::CMD_GET_VM_STATE, Frame::PAYLOAD, Owner::VM,
     [](const CommandCall &c) { c.owners.vm->handleCmdGetVmState(c.writer); }},
    {FrontendCommands::CMD_GET_CLASSES, Frame::PAYLOAD, Owner::CLASSES,
     [](const CommandCall &c) { c.classes()->handleCmdGetClasses(c.writer); }},
    {FrontendCommands::CMD_THREAD_PROFILING, Frame::PAYLOAD, Owner::VM,
     [](const CommandCall &c) { c.owners.vm->handleCmdThreadProfiling(c.reader); }},
    {FrontendCommands::CMD_PROBE_DESCRIPTIONS, Frame::PAYLOAD, Owner::PROBES, probeDescriptions},
    {FrontendCommands::CMD_HPROF_DUMP, Frame::PAYLOAD, Owner::VM,
     [](const CommandCall &c) { c.owners.vm->handleCmdHprofDump(c.reader, c.writer); }},
    {FrontendCommands::CMD_SET_TRACE_RECORD, Frame::PAYLOAD, Owner::CPU,
     [](const CommandCall &c) { cpu(c)->handleCmdSetTraceRecord(c.reader); }},
    {FrontendCommands::CMD_GET_TRACES, Frame::PAYLOAD, Owner::CPU,
     [](const CommandCall &c) { cpu(c)->handleCmdGetTraces(c.writer, c.classes()); }},
    {FrontendCommands::CMD_ENABLE_TRIGGERS, Frame::PAYLOAD, Owner::VM,
     [](const CommandCall &c) { c.owners.vm->handleCmdEnableTriggers(c.reader); }},
    {FrontendCommands::CMD_ENABLE_TRIGGER_GROUPS, Frame::PAYLOAD, Owner::VM,
     [](const CommandCall &c) { c.owners.vm->handleCmdEnableTriggerGroups(c.reader); }},
    {FrontendCommands::CMD_PRIMITIVE_DATA, Frame::PAYLOAD, Owner::VM,
     [](const CommandCall &c) { c.owners.vm->handleCmdPrimitiveData(c.reader, c.writer); }},
    {FrontendCommands::CMD_SET_RECORD_METHOD_STATISTICS, Frame::PAYLOAD, Owner::CPU,
     [](const CommandCall &c) { cpu(c)->handleCmdSetRecordMethodStatistics(c.reader); }},
    {FrontendCommands::CMD_GET_METHOD_STATISTICS, Frame::PAYLOAD, Owner::CPU,
     [](const CommandCall &c) { cpu(c)->handleCmdGetMethodStatistics(c.writer, c.classes()); }},
    {FrontendCommands::CMD_SET_RECORD_MONITORS, Frame::PAYLOAD, Owner::CPU, setRecordMonitors},
    {FrontendCommands::CMD_THREAD_DUMP, Frame::PAYLOAD, Owner::CPU, threadDump},
    {FrontendCommands::CMD_GET_MONITOR_ID, Frame::PAYLOAD, Owner::CPU,
     [](const CommandCall &c) { cpu(c)->handleCmdGetMonitorId(c.reader, c.writer); }},
    {FrontendCommands::CMD_LOAD_INFO, Frame::BARE, Owner::VM,
     [](const CommandCall &c) { c.owners.vm->handleCmdGetLoadInfo(c.writer, c.communicator.getStatus()); }},
    {FrontendCommands::CMD_LOAD_INFO_WITH_PAYLOAD, Frame::PAYLOAD, Owner::VM,
     [](const CommandCall &c) { c.owners.vm->handleCmdGetLoadInfo(c.writer, c.communicator.getStatus()); }},
    {FrontendCommands::CMD_EXPAND_DUMP_ALLOCATION_HOTSPOT, Frame::PAYLOAD, Owner::HEAP,
     [](const CommandCall &c) { HeapDumpViews::instance().handleCmdExpandDumpAllocationHotspot(c.reader, c.writer); }},
    {FrontendCommands::CMD_GET_EXECUTION_SITES, Frame::PAYLOAD, Owner::CPU,
     [](const CommandCall &c) { cpu(c)->handleCmdGetExecutionSites(c.reader, c.writer, c.classes()); }},
    {FrontendCommands::CMD_TO_STRING, Frame::PAYLOAD, Owner::VM,
     [](const CommandCall &c) { c.owners.vm->handleCmdToString(c.reader, c.writer); }},
    {FrontendCommands::CMD_EVAL_BOOLEAN_EXPRESSION, Frame::PAYLOAD, Owner::VM,
     [](const CommandCall &c) { c.owners.vm->handleCmdEvalBooleanExpression(c.reader, c.writer); }},
    {FrontendCommands::CMD_EVAL_TO_STRING, Frame::PAYLOAD, Owner::VM,
     [](const CommandCall &c) { c.owners.vm->handleCmdEvalToString(c.reader, c.writer); }},
    {FrontendCommands::CMD_EVAL_PRIMITIVE, Frame::PAYLOAD, Owner::VM,
     [](const CommandCall &c) { c.owners.vm->handleCmdEvalPrimitive(c.reader, c.writer); }},
    {FrontendCommands::CMD_PROBE_TUPLE_DATA, Frame::PAYLOAD, Owner::PROBES, probeTupleData},
    {FrontendCommands::CMD_PROBE_TELEMETRY, Frame::PAYLOAD, Owner::PROBES, probeTelemetry},
    {FrontendCommands::CMD_PROBE_SETTINGS, Frame::PAYLOAD, Owner::VM,
     [](const CommandCall &c) { c.owners.vm->handleCmdProbeSettings(c.reader); }},
    {FrontendCommands::CMD_STRING_SCRIPT, Frame::PAYLOAD, Owner::VM,
     [](const CommandCall &c) { c.owners.vm->handleCmdStringScript(c.reader, c.writer); }},
    {FrontendCommands::CMD_PROBE_RECORDING, Frame::PAYLOAD, Owner::VM,
     [](const CommandCall &c) { c.owners.vm->handleCmdProbeRecording(c.reader); }},
};

} // namespace

const Row *FrontendCommands::find(uint32_t command)
{
    for (const Row &row : ROWS) {
        if (row.command == command)
            return &row;
    }
    return nullptr;
}

bool FrontendCommands::isOwned(const Row &row, const CommandOwners &owners)
{
    switch (row.owner) {
    case Owner::COMMUNICATOR:
        return true;
    case Owner::SESSION:
        return owners.session != nullptr;
    case Owner::CLASSES:
        return owners.session != nullptr && owners.session->getClassProfilingSession() != nullptr;
    case Owner::CPU:
        return owners.cpu != nullptr;
    case Owner::VM:
        return owners.vm != nullptr;
    case Owner::HEAP:
        return owners.heap != nullptr;
    case Owner::LOADED:
        return owners.loaded != nullptr;
    case Owner::PROBES:
        return owners.vm != nullptr || owners.loaded != nullptr;
    }
    return false;
}

const Row *FrontendCommands::begin()
{
    return ROWS;
}

const Row *FrontendCommands::end()
{
    return ROWS + sizeof ROWS / sizeof ROWS[0];
}
