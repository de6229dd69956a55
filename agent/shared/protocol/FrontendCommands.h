#ifndef AGENT_FRONTENDCOMMANDS_H
#define AGENT_FRONTENDCOMMANDS_H

#include <cstdint>

class ClassProfilingSession;
class Communicator;
class CpuProfilingSession;
class DataReader;
class DataWriter;
class HeapProfilingSession;
class ProfilingSession;
class VmCommands;

// A session read from a snapshot file, served to the front end that loads it:
// the front end asks first how the read went and how the stored IDs map to
// the loaded objects (command 33).
class SnapshotLoadReply {
public:
    virtual ~SnapshotLoadReply() = default;
    virtual void writeLoadData(DataWriter *writer) = 0;
    // Commands 62, 85 and 86 answered from the probe data the snapshot carried.
    virtual void handleCmdProbeDescriptions(DataWriter *writer) = 0;
    virtual void handleCmdProbeTupleData(DataReader *reader, DataWriter *writer) = 0;
    virtual void handleCmdProbeTelemetry(DataWriter *writer) = 0;
};

// The objects that own what the front end asks for. A communicator answers a
// command only when the command's owner is here: a session read from a
// snapshot and the offline channel have no CPU session and no VM edge.
struct CommandOwners {
    ProfilingSession *session = nullptr;
    CpuProfilingSession *cpu = nullptr;
    VmCommands *vm = nullptr;
    HeapProfilingSession *heap = nullptr;
    // Only a session loaded from a snapshot.
    SnapshotLoadReply *loaded = nullptr;
};

// One request as its handler sees it: the payload, the reply stream, the
// owners and the communicator serving the connection.
struct CommandCall {
    Communicator &communicator;
    DataReader *reader;
    DataWriter *writer;
    const CommandOwners &owners;

    // The class sub-session of the session; null when it has none.
    ClassProfilingSession *classes() const;
};

// The front-end command table: command number → how the request is framed,
// which object owns the data and the handler that passes the request to the
// owner's handleCmd... Commands are looked up only through find(); begin()
// and end() walk the whole table.
class FrontendCommands {
public:
    enum Command : uint32_t {
        CMD_CLOSE = 0,
        CMD_SET_PARAMETERS = 1,
        CMD_ID_WIDTH = 2,
        CMD_HEAP_USAGE = 3,
        CMD_TOTAL_HEAP_USAGE = 4,
        CMD_HEAP_DUMP = 7,
        CMD_EXPAND_INVOCATION_NODE = 9,
        CMD_EXPAND_HOTSPOT_NODE = 10,
        CMD_THREAD_DESCRIPTIONS = 11,
        CMD_DUMP_ALLOCATIONS = 13,
        CMD_EXPAND_DUMP_ALLOCATION_NODE = 20,
        CMD_CREATE_DATA_SET = 21,
        CMD_TELEMETRY_DATA = 22,
        CMD_STOP = 23,
        CMD_ALLOCATION_UPDATE = 24,
        CMD_EXPAND_ALLOCATION_NODE = 25,
        CMD_FORCE_GC = 30,
        CMD_SAVE_SNAPSHOT = 32,
        CMD_LOAD_DATA = 33,
        CMD_SET_VIEW_FILTER = 34,
        CMD_MONITOR_USAGE_HISTORY = 35,
        CMD_MONITOR_USAGE_CURRENT = 36,
        CMD_MONITOR_USAGE_STATS = 37,
        CMD_SET_RECORD_CPU = 38,
        CMD_INVOCATION_TREE_UPDATE = 41,
        CMD_HOTSPOT_TREE_UPDATE = 42,
        CMD_GET_STATE = 44,
        CMD_GET_PARAMETERS = 45,
        CMD_EXIT = 46,
        CMD_INTERRUPT = 48,
        CMD_SET_RECORD_ALLOC = 49,
        CMD_METHOD_GRAPH = 50,
        CMD_ALLOCATION_HOTSPOT_UPDATE = 51,
        CMD_EXPAND_ALLOCATION_HOTSPOT_NODE = 52,
        CMD_DUMP_ALLOCATION_HOTSPOTS = 53,
        CMD_ANNOTATION_HOTSPOT_UPDATE = 57,
        CMD_GET_VM_STATE = 59,
        CMD_GET_CLASSES = 60,
        CMD_THREAD_PROFILING = 61,
        CMD_PROBE_DESCRIPTIONS = 62,
        CMD_HPROF_DUMP = 63,
        CMD_SET_TRACE_RECORD = 64,
        CMD_GET_TRACES = 65,
        CMD_ENABLE_TRIGGERS = 66,
        CMD_ENABLE_TRIGGER_GROUPS = 67,
        CMD_PRIMITIVE_DATA = 68,
        CMD_SET_RECORD_METHOD_STATISTICS = 71,
        CMD_GET_METHOD_STATISTICS = 72,
        CMD_SET_RECORD_MONITORS = 73,
        CMD_THREAD_DUMP = 74,
        CMD_GET_MONITOR_ID = 75,
        CMD_LOAD_INFO = 76,
        CMD_LOAD_INFO_WITH_PAYLOAD = 77,
        CMD_EXPAND_DUMP_ALLOCATION_HOTSPOT = 78,
        CMD_GET_EXECUTION_SITES = 79,
        CMD_TO_STRING = 80,
        CMD_EVAL_BOOLEAN_EXPRESSION = 82,
        CMD_EVAL_TO_STRING = 83,
        CMD_EVAL_PRIMITIVE = 84,
        CMD_PROBE_TUPLE_DATA = 85,
        CMD_PROBE_TELEMETRY = 86,
        CMD_PROBE_SETTINGS = 87,
        CMD_STRING_SCRIPT = 88,
        CMD_PROBE_RECORDING = 90,
    };

    // How a request arrives and how its reply ends.
    enum class Frame {
        // Command and request id only, and no reply: the connection ends.
        CLOSE,
        // Command and request id only; the reply is the header and the
        // handler's bytes, without the end marker.
        BARE,
        // Three sizes, CRC and payload, acknowledged on a stream; the reply
        // is the header, the handler's bytes and the end marker.
        PAYLOAD,
    };

    // Who owns the data a command reads or changes.
    // PROBES: the VM edge of a live session, else a loaded snapshot.
    enum class Owner { COMMUNICATOR, SESSION, CLASSES, CPU, VM, HEAP, LOADED, PROBES };

    struct Row {
        uint32_t command;
        Frame frame;
        Owner owner;
        void (*handle)(const CommandCall &call);
    };

    // The row of `command`; null for a number that is not in the table.
    static const Row *find(uint32_t command);
    // The frame of a request: its row's, PAYLOAD for a number not in the table.
    static Frame frameOf(const Row *row) { return row != nullptr ? row->frame : Frame::PAYLOAD; }
    // The owner of the row is among `owners`.
    static bool isOwned(const Row &row, const CommandOwners &owners);
    // The first row and one past the last.
    static const Row *begin();
    static const Row *end();
};

#endif
