// The front end's views: one function per kind of reply, found by the step's
// Show in one table.
#include "CliViews.h"

#include "HeapDumpFile.h"
#include "LoadDataView.h"
#include "ProbeView.h"
#include "SnapshotFile.h"
#include "SnapshotProfilingSession.h"
#include "TelemetryView.h"
#include "TextReport.h"
#include "ThreadView.h"
#include "WireReader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The top of a call tree: levels below the root, and the least share (per mille) of a node shown.
const int CALL_TREE_DEPTH = 10;
const int CALL_TREE_MIN_PER_MILLE = 10;

const char *const SAME_BUILD = "check that the agent and the front end come from one build";

// Why a reply was not shown; a view that returns false and leaves `reason`
// empty found the reply malformed.
struct ViewFailure {
    std::string reason;
    std::string hint;
};

// One view: prints the reply; false when it could not.
typedef bool (*ViewFunction)(const Step &step, const Reply &reply, unsigned idWidth, ViewState *state, ViewFailure *why);

bool viewBytes(const Step &, const Reply &reply, unsigned, ViewState *, ViewFailure *)
{
    const std::vector<uint8_t> &bytes = reply.body;
    for (size_t row = 0; row < bytes.size(); row += 16) {
        printf("  %08zx ", row);
        for (size_t i = row; i < row + 16 && i < bytes.size(); i++)
            printf(" %02x", bytes[i]);
        printf("\n");
    }
    return true;
}

bool viewHeapDump(const Step &, const Reply &reply, unsigned idWidth, ViewState *state, ViewFailure *why)
{
    JhdDump heapDump;
    std::string reason;
    if (!readHeapDumpReply(reply.body, idWidth, &state->registry, &heapDump, &reason)) {
        *why = {"command 7: " + reason, "check the agent's log and its TMPDIR"};
        return false;
    }
    fputs(describeHeapDump(heapDump).c_str(), stdout);
    for (const JhdClass &c : heapDump.classes) {
        const ClassInfo *info = state->registry.classOf(c.classId);
        if (info != nullptr)
            printf("class %u is %s\n", c.tag, info->name.c_str());
    }
    return true;
}

bool viewClasses(const Step &, const Reply &reply, unsigned idWidth, ViewState *state, ViewFailure *)
{
    std::vector<MethodInfo> methods;
    std::vector<ClassInfo> classes;
    if (!state->registry.readGetClassesReply(reply.body, idWidth, &methods, &classes))
        return false;
    printf("  %zu new methods, %zu new classes\n", methods.size(), classes.size());
    for (const ClassInfo &c : classes)
        printf("  class %s%s\n", c.name.c_str(), c.hasFieldInfo ? " (fields)" : "");
    return true;
}

bool viewCallTree(const Step &, const Reply &reply, unsigned idWidth, ViewState *state, ViewFailure *)
{
    CallTreeReply tree;
    if (!CallTreeView::readInvocationTreeReply(reply.body, idWidth, &state->registry, &tree))
        return false;
    if (tree.root == nullptr)
        printf("  nothing recorded yet (switch recording on with: cpu on)\n");
    else
        fputs(TextReport::callTreeTop(*tree.root, state->registry, CALL_TREE_DEPTH, CALL_TREE_MIN_PER_MILLE).c_str(), stdout);
    return true;
}

bool viewThreads(const Step &, const Reply &reply, unsigned idWidth, ViewState *state, ViewFailure *)
{
    ThreadDumpReply dump;
    if (!ThreadView::readThreadDumpReply(reply.body, idWidth, &state->registry, &dump))
        return false;
    fputs(ThreadView::format(dump, state->registry).c_str(), stdout);
    return true;
}

bool viewStatuses(const Step &, const Reply &reply, unsigned idWidth, ViewState *state, ViewFailure *)
{
    std::vector<ThreadInfo> threads;
    WireReader r(reply.body);
    if (!ThreadView::readThreadDescriptions(r, idWidth, &state->registry, &threads))
        return false;
    fputs(ThreadView::formatStatusHistories(threads).c_str(), stdout);
    return true;
}

bool viewTelemetry(const Step &, const Reply &reply, unsigned, ViewState *, ViewFailure *)
{
    TelemetryReply telemetry;
    if (!TelemetryView::readTelemetryReply(reply.body, &telemetry))
        return false;
    fputs(TelemetryView::format(telemetry).c_str(), stdout);
    return true;
}

bool viewHotspots(const Step &step, const Reply &reply, unsigned idWidth, ViewState *state, ViewFailure *)
{
    HotspotReply hotspots;
    if (!CallTreeView::readHotspotReply(reply.body, idWidth, &state->registry, &hotspots))
        return false;
    fputs(TextReport::hotspots(hotspots, state->registry, step.rows).c_str(), stdout);
    return true;
}

bool viewProbeTuples(const Step &, const Reply &reply, unsigned idWidth, ViewState *state, ViewFailure *)
{
    ProbeTupleReply tuples;
    if (!ProbeView::readTupleReply(reply.body, idWidth, &state->registry, &tuples))
        return false;
    fputs(ProbeView::format(tuples, state->registry).c_str(), stdout);
    return true;
}

bool viewProbeHotspots(const Step &, const Reply &reply, unsigned idWidth, ViewState *state, ViewFailure *)
{
    ProbeHotspotReply hotspots;
    if (!ProbeView::readHotspotReply(reply.body, idWidth, &state->registry, &hotspots))
        return false;
    fputs(ProbeView::format(hotspots, state->registry).c_str(), stdout);
    return true;
}

bool viewMethodGraph(const Step &, const Reply &reply, unsigned idWidth, ViewState *state, ViewFailure *)
{
    MethodGraphReply graph;
    const Registry &registry = state->registry;
    if (!CallTreeView::readMethodGraphReply(reply.body, idWidth, &state->registry, &graph))
        return false;
    for (const MethodGraphMethodRow &m : graph.methods)
        printf("  %10lld us total %10lld us self %8u calls  %s%s\n", static_cast<long long>(m.total), static_cast<long long>(m.self),
               m.calls, registry.describe(m.method).c_str(), TextReport::hooksRemovedMark(registry, m.method, m.calls).c_str());
    for (const MethodGraphEdgeRow &e : graph.edges)
        printf("  %s -> %s: %lld us, %u calls\n", registry.describe(e.caller).c_str(), registry.describe(e.callee).c_str(),
               static_cast<long long>(e.time), e.calls);
    return true;
}

bool viewHeap(const Step &, const Reply &reply, unsigned idWidth, ViewState *state, ViewFailure *)
{
    HeapUsageReply usage;
    if (!HeapView::readHeapUsageReply(reply.body, idWidth, &state->registry, &usage))
        return false;
    fputs(TextReport::heapList("live recorded objects, changed since the last time", usage.live, state->registry).c_str(), stdout);
    fputs(TextReport::heapList("collected recorded objects, changed since the last time", usage.collected, state->registry).c_str(),
          stdout);
    return true;
}

bool viewTotalHeap(const Step &, const Reply &reply, unsigned idWidth, ViewState *state, ViewFailure *)
{
    std::vector<HeapEntry> total;
    if (!HeapView::readTotalHeapUsageReply(reply.body, idWidth, &state->registry, &total))
        return false;
    fputs(TextReport::heapList("the whole heap, changed since the last time", total, state->registry).c_str(), stdout);
    return true;
}

bool viewAllocationTree(const Step &, const Reply &reply, unsigned idWidth, ViewState *state, ViewFailure *)
{
    AllocationTreeReply tree;
    if (!HeapView::readAllocationTreeReply(reply.body, idWidth, &state->registry, &tree))
        return false;
    state->allocationTree = std::move(tree.root);
    if (state->allocationTree == nullptr)
        printf("  no allocations recorded there (switch recording on with: alloc on)\n");
    else
        fputs(TextReport::allocationTreeTop(*state->allocationTree, state->registry, CALL_TREE_DEPTH, CALL_TREE_MIN_PER_MILLE).c_str(),
              stdout);
    return true;
}

bool viewAllocationHotspots(const Step &, const Reply &reply, unsigned idWidth, ViewState *state, ViewFailure *)
{
    state->allocationHotspots = AllocationHotspotReply();
    if (!HeapView::readAllocationHotspotReply(reply.body, idWidth, &state->registry, &state->allocationHotspots))
        return false;
    fputs(TextReport::allocationHotspots(state->allocationHotspots, state->registry).c_str(), stdout);
    return true;
}

bool viewAllocationNode(const Step &, const Reply &reply, unsigned idWidth, ViewState *state, ViewFailure *)
{
    std::unique_ptr<ViewNode> node;
    if (!HeapView::readExpandReply(reply.body, idWidth, &node))
        return false;
    if (node == nullptr)
        printf("  the agent has no such node (its tree changed since)\n");
    else
        fputs(TextReport::allocationTreeTop(*node, state->registry, CALL_TREE_DEPTH, 0).c_str(), stdout);
    return true;
}

// A snapshot reply: U4 1, JLong size and the stream (written to the step's
// file), or U4 2, the agent's path and whether it keeps it; U4 0 when it failed.
bool viewSnapshot(const Step &step, const Reply &reply, unsigned, ViewState *, ViewFailure *why)
{
    const std::vector<uint8_t> &body = reply.body;
    WireReader r(body);
    uint32_t form = r.readU4();
    if (r.error())
        return false;
    if (form == 0) {
        *why = {"command 32: the agent could not write the snapshot (see its output)", "check the agent's output and TMPDIR"};
        return false;
    }
    if (form == 2) {
        std::string path = r.readString();
        uint8_t kept = r.readByte();
        if (r.error() || r.remaining() != 0)
            return false;
        printf("  snapshot file %s%s\n", path.c_str(), kept ? " (kept by the agent)" : "");
        return true;
    }
    int64_t size = r.readJLong();
    if (form != 1 || r.error() || size < 0 || static_cast<uint64_t>(size) != r.remaining())
        return false;
    FILE *out = fopen(step.file.c_str(), "wb");
    const uint8_t *data = body.data() + (body.size() - static_cast<size_t>(size));
    if (out == nullptr || fwrite(data, 1, static_cast<size_t>(size), out) != static_cast<size_t>(size) || fclose(out) != 0) {
        if (out != nullptr)
            fclose(out);
        *why = {"command 32: cannot write " + step.file + ": " + strerror(errno), "check the agent's output and TMPDIR"};
        return false;
    }
    printf("  snapshot of %lld bytes written to %s\n", static_cast<long long>(size), step.file.c_str());
    return true;
}

bool viewLoadData(const Step &, const Reply &reply, unsigned idWidth, ViewState *state, ViewFailure *why)
{
    LoadDataReply loaded;
    if (!LoadDataView::readLoadDataReply(reply.body, idWidth, &state->registry, &loaded)) {
        *why = {"", "ask a snapshot the agent's loader serves, with the front end of the same build"};
        return false;
    }
    fputs(LoadDataView::format(loaded, state->registry).c_str(), stdout);
    return true;
}

struct ViewRow {
    Show show;
    ViewFunction view;
};

const ViewRow VIEWS[] = {
    {SHOW_BYTES, viewBytes},
    {SHOW_HEAP_DUMP, viewHeapDump},
    {SHOW_CLASSES, viewClasses},
    {SHOW_CALL_TREE, viewCallTree},
    {SHOW_HOTSPOTS, viewHotspots},
    {SHOW_THREADS, viewThreads},
    {SHOW_METHOD_GRAPH, viewMethodGraph},
    {SHOW_STATUSES, viewStatuses},
    {SHOW_TELEMETRY, viewTelemetry},
    {SHOW_HEAP, viewHeap},
    {SHOW_TOTAL_HEAP, viewTotalHeap},
    {SHOW_ALLOCATION_TREE, viewAllocationTree},
    {SHOW_ALLOCATION_HOTSPOTS, viewAllocationHotspots},
    {SHOW_ALLOCATION_NODE, viewAllocationNode},
    {SHOW_SNAPSHOT, viewSnapshot},
    {SHOW_LOAD_DATA, viewLoadData},
    {SHOW_PROBE_TUPLES, viewProbeTuples},
    {SHOW_PROBE_HOTSPOTS, viewProbeHotspots},
};

ViewFunction viewOf(Show show)
{
    for (const ViewRow &row : VIEWS) {
        if (row.show == show)
            return row.view;
    }
    return viewBytes;
}

// What the snapshot reader's result below 1 means.
std::string readResultText(int result)
{
    if (result == 0)
        return "the snapshot's version is too old to load";
    if (result == -1002)
        return "the snapshot's version is newer than this agent";
    return "the snapshot is damaged or cut short (the agent's reader said why above)";
}

} // namespace

int showReply(const Step &step, const Reply &reply, unsigned idWidth, ViewState *state)
{
    printf("reply to command %u (request %u): VM start %lld us, agent time %lld us, %zu bytes\n", reply.header.command,
           reply.header.requestId, static_cast<long long>(reply.header.vmStartTime), static_cast<long long>(reply.header.agentTime),
           reply.body.size());
    if (step.command == 2)
        printf("  ID width %u\n", idWidth);
    ViewFailure why;
    if (viewOf(step.show)(step, reply, idWidth, state, &why))
        return 0;
    if (why.reason.empty())
        why.reason = "command " + std::to_string(step.command) + ": malformed reply";
    return failure(why.reason, why.hint.empty() ? SAME_BUILD : why.hint);
}

int showSnapshotFile(const char *path)
{
    FILE *probe = fopen(path, "rb");
    if (probe == nullptr)
        return failure(std::string("cannot open ") + path + ": " + strerror(errno), "give the path of a snapshot file the agent wrote");
    fclose(probe);
    // The agent's loader reads the file first: whether a snapshot loads, and
    // the lines that say why not, come from that one reader.
    int result;
    {
        SnapshotProfilingSession loader;
        result = loader.load(path, READ_CPU | READ_HEAP | READ_TELEMETRY, nullptr);
    }
    if (result < 1)
        return failure(readResultText(result), "give the path of a snapshot file the agent wrote, whole and unchanged");
    SnapshotFile file;
    std::string error = file.open(path);
    if (!error.empty())
        return failure(error, "give the path of a snapshot file the agent wrote");
    const SnapshotHeader &h = file.header();
    printf("snapshot version %u, %s agent, VM \"%s\" \"%s\"\n", h.version, h.interfaceKind ? "JVMPI" : "JVMTI",
           h.vmName.c_str(), h.vmVersion.c_str());
    printf("ID size %u, call-tree method %u, snapshot time %lld us, VM start %lld us\n", h.idSize,
           h.callTreeCollectionMethod, static_cast<long long>(h.snapshotTime), static_cast<long long>(h.vmStartTime));
    file.verifySections();
    for (size_t i = 0; i < file.sections().size(); i++) {
        const SnapshotSection &s = file.sections()[i];
        printf("section %zu: length %llu position %lld crc 0x%08x%s\n", i, static_cast<unsigned long long>(s.length),
               static_cast<long long>(s.position), s.crc, s.verified ? " ok" : "");
    }
    file.readTrailer();
    if (file.trailer().present)
        printf("configuration %u (%zu bytes), %u s running\n", file.trailer().configId,
               file.trailer().configXml.size(), file.trailer().secondsRunning);
    printf("loads: yes\n");
    return 0;
}

int showHeapDumpFile(const char *path)
{
    JhdDump dump;
    std::string error;
    if (!readHeapDumpFile(path, sizeof(void *), &dump, &error)) {
        fprintf(stderr, "frontend: %s: %s\n", path, error.c_str());
        return 1;
    }
    fputs(describeHeapDump(dump).c_str(), stdout);
    return 0;
}
