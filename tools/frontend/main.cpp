// frontend: a small command-line front end for the profiling agent.
//
//   frontend --host 127.0.0.1 --port 8849 cmd 2 cmd 44 cmd 60
//   frontend --port 8849 cmd 34 00000001000361 2e62      (payload as hex digits)
//   frontend --port 8849 cpu on calltree 0 classes     (views, printed as text)
//   frontend --port 8849 cpu on session examples/tiagent-session.xml 1
//   frontend --port 8849 cpu on session examples/tiagent-session.xml 1 wait hotspots calltree
//   frontend snapshot file.ovs
//   frontend heapdump jhdXXXXXX
//   frontend --help                                    (every command, one line each)

#include "CallTreeView.h"
#include "FrontendClient.h"
#include "HeapDumpFile.h"
#include "ProbeView.h"
#include "HeapView.h"
#include "LoadDataView.h"
#include "Registry.h"
#include "SnapshotFile.h"
#include "SnapshotProfilingSession.h"
#include "TelemetryView.h"
#include "TextReport.h"
#include "ThreadView.h"
#include "VmStateView.h"
#include "WireReader.h"
#include "WireWriter.h"

#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

// How a reply is shown: raw bytes, or decoded as a view.
enum Show {
    SHOW_HEAP_DUMP,
    SHOW_BYTES,
    SHOW_CLASSES,
    SHOW_CALL_TREE,
    SHOW_HOTSPOTS,
    SHOW_THREADS,
    SHOW_METHOD_GRAPH,
    SHOW_STATUSES,
    SHOW_TELEMETRY,
    SHOW_HEAP,
    SHOW_TOTAL_HEAP,
    SHOW_ALLOCATION_TREE,
    SHOW_ALLOCATION_HOTSPOTS,
    SHOW_ALLOCATION_NODE,
    SHOW_SNAPSHOT,
    SHOW_LOAD_DATA,
    SHOW_PROBE_TUPLES,
    SHOW_PROBE_HOTSPOTS,
    SHOW_WAIT,
};

// What an allocation view selects: built into commands 24 and 51 once the
// connection knows the ID width and the classes named.
struct AllocationQuery {
    uint32_t kind = 1; // 1 live, 2 collected, 3 both
    uint32_t level = 0;
    std::string prefix;
    std::vector<uint16_t> arrayTypes;
    std::vector<std::string> classNames;
};

struct Step {
    Step(uint32_t c, std::vector<uint8_t> p, Show how = SHOW_BYTES) : command(c), payload(std::move(p)), show(how) {}
    uint32_t command;
    std::vector<uint8_t> payload;
    Show show;
    size_t rows = 0; // hot spots shown
    AllocationQuery query;
    std::vector<std::string> path; // methods of an expansion, from the top
    std::string file;              // where a snapshot goes
};

// How many hot spots are shown unless the command names a count.
const unsigned long DEFAULT_HOTSPOT_ROWS = 20;
// The top of a call tree: levels below the root, and the least share (per mille) of a node shown.
const int CALL_TREE_DEPTH = 10;
const int CALL_TREE_MIN_PER_MILLE = 10;

const char HELP[] =
    "usage: frontend [OPTIONS] COMMAND [COMMAND ...]   talk to a running tiagent\n"
    "       frontend heapdump FILE                       read a heap dump (\"jhd\") file\n"
    "       frontend snapshot FILE                       read a snapshot file\n"
    "\n"
    "Options:\n"
    "  --host H                the agent's address (default 127.0.0.1)\n"
    "  --port P                the agent's port, as in its port= option (default 8849)\n"
    "  --timeout MS            how long to wait for each reply (default 10000)\n"
    "  --keep-open             leave without sending the close command (0)\n"
    "  --help                  this text\n"
    "\n"
    "Commands, run in the order given over one connection:\n"
    "  cpu on|off              switch CPU recording on or off (command 38)\n"
    "  wait                    wait until the program ends (its VM then waits for this front end), or Enter\n"
    "                          or Ctrl-C here, polling the VM (59); the commands after it read the whole run\n"
    "  session FILE ID         send session ID of configuration FILE (command 1); a waiting agent runs main\n"
    "  statuses                every thread's status history, \"status@ms\" (command 11)\n"
    "  telemetry               the VM telemetry since the last time, one line per sample (command 22)\n"
    "  hotspots [N]            the N methods (default 20) with the most own time, with their calls (42)\n"
    "  calltree [LEVEL]        the top of the call tree (41); LEVEL 0 methods, 1 classes, 2 packages, 3 components\n"
    "  graph                   callers and callees of every method, with times and calls (command 50)\n"
    "  threads                 the threads and their stacks (command 74)\n"
    "  probe NAME              the payloads of probe NAME with their calls and call sites (command 85)\n"
    "  probe-hotspots NAME     the payloads of probe NAME by time, the first 5 with their callers (command 57)\n"
    "  classes                 the classes and methods the agent has not described yet (command 60)\n"
    "  dump [values]           take a heap dump and print its objects, roots and class dumps (command 7)\n"
    "  alloc on|off            switch allocation recording on or off (command 49)\n"
    "  heap [reset]            recorded live and collected objects per class since the last time; reset empties collected (3)\n"
    "  totalheap               every object on the heap per class, recorded or not (command 4)\n"
    "  alloctree [SEL ...]     allocation tree (24); SEL: live|collected|both, LEVEL 0-3, int[] etc., class=NAME, prefix=P\n"
    "  allocexpand M[/M ...]   the allocation tree below the path of methods M (from the last alloctree; command 25)\n"
    "  allochotspots [SEL ...] the methods that allocated most, at most 100, and their sum (51); SEL as for alloctree\n"
    "  allocbacktrace M        the callers of allocation hot spot M (from the last allochotspots; command 52)\n"
    "  savesnapshot FILE       save a snapshot of everything recorded into FILE (command 32)\n"
    "  snapshotpath            let the agent keep a snapshot file and print its path (command 32)\n"
    "  loaddata                from a loaded snapshot: the read's result, the stored IDs, the data file and threads (33)\n"
    "  cmd N [HEX]             any command N with a payload in hex digits; prints the reply's bytes\n"
    "\n"
    "\n"
    "The agent stops and resets all recording when a front end that sent commands goes; profile a run over\n"
    "one connection:\n"
    "Example: frontend --port 8849 cpu on session examples/tiagent-session.xml 1 wait hotspots calltree\n";

// A usage error: the reason and where to look; exit status 2.
int usageError(const std::string &reason)
{
    fprintf(stderr, "frontend: %s\n  try: frontend --help\n", reason.c_str());
    return 2;
}

// A failure while running: the reason and what to try; exit status 1.
int failure(const std::string &reason, const std::string &hint)
{
    fprintf(stderr, "frontend: %s\n  try: %s\n", reason.c_str(), hint.c_str());
    return 1;
}

// What to try after a command failed with the client's status and error text.
std::string commandHint(FrontendClient::Status status, const std::string &error)
{
    if (error.find("timed out") != std::string::npos)
        return "a longer --timeout; the agent answers once the VM lets its thread run";
    if (status == FrontendClient::REFUSED_SIZE || status == FrontendClient::REFUSED_CRC)
        return "the agent refused the frame; send the command again";
    if (status == FrontendClient::PROTOCOL_ERROR)
        return "check that --port names tiagent's port and that the agent and the front end come from one build";
    return "the connection ended, perhaps with the VM; run the command again while the VM runs";
}

// The payload of command 1: a session configuration follows (1), its
// session id, the document, an unused string and no scripts.
std::vector<uint8_t> sessionPayload(uint32_t id, const std::string &xml)
{
    WireWriter w;
    w.writeByte(1);
    w.writeU4(id);
    w.writeU4(static_cast<uint32_t>(xml.size()));
    w.writeBytes(xml.data(), xml.size());
    w.writeString("");
    w.writeU4(0);
    return w.bytes();
}

bool parseNumber(const char *text, unsigned long max, unsigned long *out)
{
    char *end = nullptr;
    errno = 0;
    unsigned long value = strtoul(text, &end, 10);
    if (!*text || *end || errno || value > max)
        return false;
    *out = value;
    return true;
}

bool parseHex(const std::string &text, std::vector<uint8_t> *out)
{
    if (text.size() % 2)
        return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        if (!isxdigit(static_cast<unsigned char>(text[i])) || !isxdigit(static_cast<unsigned char>(text[i + 1])))
            return false;
        out->push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return true;
}

void dump(const std::vector<uint8_t> &bytes)
{
    for (size_t row = 0; row < bytes.size(); row += 16) {
        printf("  %08zx ", row);
        for (size_t i = row; i < row + 16 && i < bytes.size(); i++)
            printf(" %02x", bytes[i]);
        printf("\n");
    }
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

int showSnapshot(const char *path)
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

// Reads a whole file; false with the reason when it cannot.
bool readWholeFile(const std::string &path, std::string *out, std::string *reason)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *reason = strerror(errno);
        return false;
    }
    std::stringstream s;
    s << in.rdbuf();
    *out = s.str();
    return true;
}


// One selection word of alloctree and allochotspots; false when the word is
// none (then `reason` tells why when it looked like one).
bool parseSelection(const std::string &word, AllocationQuery *query, std::string *reason)
{
    static const char *const KINDS[] = {"live", "collected", "both"};
    for (uint32_t k = 0; k < 3; k++) {
        if (word == KINDS[k]) {
            query->kind = k + 1;
            return true;
        }
    }
    for (uint16_t type = 4; type <= 11; type++) {
        if (word == TextReport::arrayTypeName(type)) {
            query->arrayTypes.push_back(type);
            return true;
        }
    }
    if (word == "Object[]") {
        query->arrayTypes.push_back(3);
        return true;
    }
    if (word.compare(0, 6, "class=") == 0 && word.size() > 6) {
        query->classNames.push_back(word.substr(6));
        return true;
    }
    if (word.compare(0, 7, "prefix=") == 0) {
        query->prefix = word.substr(7);
        return true;
    }
    if (!word.empty() && isdigit(static_cast<unsigned char>(word[0]))) {
        unsigned long level;
        if (!parseNumber(word.c_str(), 3, &level)) {
            *reason = "bad aggregation level " + word + ": 0 methods, 1 classes, 2 packages, 3 components";
            return false;
        }
        query->level = static_cast<uint32_t>(level);
        return true;
    }
    return false;
}

std::vector<std::string> splitPath(const std::string &text)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('/', start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// Whether a method id answers to a name of the command line: "Demo.make",
// "Demo.make(int)" or the id as "#1f".
bool methodMatches(const Registry &registry, uint64_t method, const std::string &name)
{
    char id[32];
    snprintf(id, sizeof id, "#%llx", static_cast<unsigned long long>(method));
    if (name == id)
        return true;
    std::string java = TextReport::javaMethod(registry, method);
    return java == name || (java.compare(0, name.size(), name) == 0 && java.size() > name.size() && java[name.size()] == '(');
}

// Commands 24 and 51 for the query; false with the reason when a class is not known yet.
bool allocationPayload(const Step &step, const Registry &registry, unsigned idWidth, std::vector<uint8_t> *out, std::string *reason)
{
    std::vector<std::pair<uint16_t, uint64_t>> types;
    for (uint16_t type : step.query.arrayTypes)
        types.push_back({type, 0});
    for (const std::string &name : step.query.classNames) {
        std::vector<const ClassInfo *> named = registry.classesNamed(name);
        if (named.empty()) {
            *reason = "class " + name + " is not known yet";
            return false;
        }
        // Every record of the name: the agent counts under one of them.
        for (const ClassInfo *c : named)
            types.push_back({2, c->id});
    }
    if (step.command == 24) {
        *out = HeapView::allocationUpdateRequest(step.query.level, step.query.kind, types, step.query.prefix, idWidth);
    } else {
        *out = HeapView::allocationRequest(step.query.level, step.query.kind, types, step.query.prefix, idWidth);
        out->push_back(0);
        out->push_back(0); // no back traces
    }
    return true;
}

// The (method, line) path of an expansion, found by name in the tree or hot
// spots the agent sent last; false with the reason when a name is not there.
bool expansionPath(const Step &step, const Registry &registry, const ViewNode *tree, const AllocationHotspotReply &hotspots,
                   std::vector<std::pair<uint64_t, uint16_t>> *out, std::string *reason)
{
    if (step.command == 52) {
        for (const HotspotRow &row : hotspots.rows) {
            if (methodMatches(registry, row.method, step.path[0])) {
                out->push_back({row.method, 0});
                return true;
            }
        }
        *reason = "no allocation hot spot " + step.path[0] + " in the last allochotspots";
        return false;
    }
    const ViewNode *at = tree;
    for (const std::string &name : step.path) {
        const ViewNode *next = nullptr;
        for (size_t c = 0; at != nullptr && c < at->children.size() && next == nullptr; c++) {
            if (methodMatches(registry, at->children[c]->method, name))
                next = at->children[c].get();
        }
        if (next == nullptr) {
            *reason = "no node " + name + " on that path of the last alloctree";
            return false;
        }
        out->push_back({next->method, next->line});
        at = next;
    }
    return true;
}

// A snapshot reply: U4 1, JLong size and the stream (written to `file`), or
// U4 2, the agent's path and whether it keeps it; U4 0 when it failed.
bool showSnapshotReply(const std::vector<uint8_t> &body, const std::string &file, std::string *reason)
{
    WireReader r(body);
    uint32_t form = r.readU4();
    if (r.error())
        return false;
    if (form == 0) {
        *reason = "the agent could not write the snapshot (see its output)";
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
    FILE *out = fopen(file.c_str(), "wb");
    const uint8_t *data = body.data() + (body.size() - static_cast<size_t>(size));
    if (out == nullptr || fwrite(data, 1, static_cast<size_t>(size), out) != static_cast<size_t>(size) || fclose(out) != 0) {
        if (out != nullptr)
            fclose(out);
        *reason = "cannot write " + file + ": " + strerror(errno);
        return false;
    }
    printf("  snapshot of %lld bytes written to %s\n", static_cast<long long>(size), file.c_str());
    return true;
}

// How often `wait` polls the VM and looks at its terminal.
const int WAIT_POLL_MS = 200;

volatile sig_atomic_t interruptRequested = 0;

void onInterrupt(int)
{
    interruptRequested = 1;
}

// Whether a line arrived on standard input within `ms`; at the end of the
// input (or on a read error) *open becomes false and input is no longer read.
bool enterPressed(int ms, bool *open)
{
    if (!*open) {
        poll(nullptr, 0, ms);
        return false;
    }
    struct pollfd in = {STDIN_FILENO, POLLIN, 0};
    if (poll(&in, 1, ms) <= 0 || !(in.revents & (POLLIN | POLLHUP | POLLERR)))
        return false;
    char c = 0;
    ssize_t got;
    while ((got = read(STDIN_FILENO, &c, 1)) == 1 && c != '\n') {
    }
    if (got <= 0)
        *open = false;
    return got == 1;
}

// The `wait` step: polls the VM state until the VM's end waits for this
// front end, or Enter or Ctrl-C arrives here. Returns the reason as a line,
// or empty with *failed set when the connection failed.
std::string waitForProgramEnd(FrontendClient &client, Registry *registry, bool *failed)
{
    struct sigaction interrupt = {};
    interrupt.sa_handler = onInterrupt;
    sigemptyset(&interrupt.sa_mask);
    struct sigaction previous = {};
    sigaction(SIGINT, &interrupt, &previous);
    interruptRequested = 0;
    printf("  recording; waiting until the program ends (or Enter or Ctrl-C here)\n");
    fflush(stdout);
    bool inputOpen = true;
    std::string why;
    while (why.empty()) {
        Reply reply;
        VmStateReply state;
        if (client.call(59, {}, &reply) != FrontendClient::OK ||
            !VmStateView::readVmStateReply(reply.body, client.idWidth(), registry, &state)) {
            *failed = true;
            break;
        }
        if (state.status == VmStateView::VM_WAITS_AT_ITS_END)
            why = "the program ended; its VM waits for this front end";
        else if (enterPressed(WAIT_POLL_MS, &inputOpen))
            why = "Enter pressed; the program goes on";
        if (interruptRequested)
            why = "interrupted; the program goes on";
    }
    sigaction(SIGINT, &previous, nullptr);
    if (!why.empty())
        printf("  %s\n", why.c_str());
    return why;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        fputs(HELP, stdout);
        return 0;
    }
    if (argc >= 2 && std::string(argv[1]) == "heapdump") {
        if (argc != 3)
            return usageError("heapdump takes one file name");
        JhdDump dump;
        std::string error;
        if (!readHeapDumpFile(argv[2], sizeof(void *), &dump, &error)) {
            fprintf(stderr, "frontend: %s: %s\n", argv[2], error.c_str());
            return 1;
        }
        fputs(describeHeapDump(dump).c_str(), stdout);
        return 0;
    }
    if (argc >= 2 && std::string(argv[1]) == "snapshot") {
        if (argc != 3)
            return usageError("snapshot takes one file name");
        return showSnapshot(argv[2]);
    }

    std::string host = "127.0.0.1";
    unsigned long port = 8849;
    unsigned long timeoutMs = 10000;
    bool keepOpen = false;
    std::vector<Step> steps;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            fputs(HELP, stdout);
            return 0;
        } else if ((arg == "--host" || arg == "--port" || arg == "--timeout") && !hasValue) {
            return usageError(arg + " needs a value");
        } else if (arg == "--host") {
            host = argv[++i];
        } else if (arg == "--port") {
            if (!parseNumber(argv[++i], 65535, &port) || port == 0)
                return usageError(std::string("bad port ") + argv[i] + ": give a number from 1 to 65535, the agent's port= option");
        } else if (arg == "--timeout") {
            if (!parseNumber(argv[++i], 3600000, &timeoutMs))
                return usageError(std::string("bad time-out ") + argv[i] + ": give milliseconds, at most 3600000");
        } else if (arg == "--keep-open") {
            keepOpen = true;
        } else if (arg == "cmd") {
            unsigned long command;
            if (!hasValue || !parseNumber(argv[++i], 0xFFFFFFFFul, &command))
                return usageError(std::string("cmd needs a command number") + (hasValue ? std::string(", not ") + argv[i] : ""));
            Step step{static_cast<uint32_t>(command), {}};
            if (i + 1 < argc && argv[i + 1][0] != '-' && std::string(argv[i + 1]) != "cmd" &&
                !parseHex(argv[++i], &step.payload)) {
                return usageError(std::string("bad hex payload ") + argv[i] + ": give pairs of hex digits, such as 0001ff");
            }
            steps.push_back(step);
        } else if (arg == "cpu") {
            std::string on = hasValue ? argv[++i] : "";
            if (on != "on" && on != "off")
                return usageError("cpu takes on or off" + (on.empty() ? std::string() : ", not " + on));
            steps.push_back(Step{38, {static_cast<uint8_t>(on == "on"), 0, 0, 0, 0}, SHOW_BYTES});
        } else if (arg == "wait") {
            steps.push_back(Step{59, {}, SHOW_WAIT});
        } else if (arg == "session") {
            unsigned long id;
            if (i + 2 >= argc)
                return usageError("session needs a configuration file and a session id, such as: session examples/tiagent-session.xml 1");
            std::string path = argv[++i];
            if (!parseNumber(argv[++i], 0x7FFFFFFFul, &id))
                return usageError(std::string("bad session id ") + argv[i] + ": give the id=\"...\" of a <session> in " + path);
            std::string xml;
            std::string reason;
            if (!readWholeFile(path, &xml, &reason))
                return failure("cannot read session configuration " + path + ": " + reason,
                               "give the path of a configuration such as examples/tiagent-session.xml");
            steps.push_back(Step{1, sessionPayload(static_cast<uint32_t>(id), xml), SHOW_BYTES});
        } else if (arg == "calltree") {
            unsigned long level = 0;
            if (i + 1 < argc && isdigit(static_cast<unsigned char>(argv[i + 1][0])) && !parseNumber(argv[++i], 3, &level))
                return usageError(std::string("bad aggregation level ") + argv[i] + ": 0 methods, 1 classes, 2 packages, 3 components");
            steps.push_back(Step{41, CallTreeView::invocationTreeRequest(static_cast<uint32_t>(level), 1, 10000, 0), SHOW_CALL_TREE});
        } else if (arg == "threads") {
            steps.push_back(Step{74, {1}, SHOW_THREADS});
        } else if (arg == "statuses") {
            steps.push_back(Step{11, {}, SHOW_STATUSES});
        } else if (arg == "telemetry") {
            steps.push_back(Step{22, {}, SHOW_TELEMETRY});
        } else if (arg == "hotspots") {
            unsigned long rows = DEFAULT_HOTSPOT_ROWS;
            if (i + 1 < argc && isdigit(static_cast<unsigned char>(argv[i + 1][0])) &&
                (!parseNumber(argv[++i], 1000000, &rows) || rows == 0))
                return usageError(std::string("bad number of hot spots ") + argv[i] + ": give a number from 1");
            Step step{42, CallTreeView::hotspotRequest(1, true), SHOW_HOTSPOTS};
            step.rows = rows;
            steps.push_back(step);
        } else if (arg == "graph") {
            steps.push_back(Step{50, CallTreeView::methodGraphRequest(1), SHOW_METHOD_GRAPH});
        } else if (arg == "classes") {
            steps.push_back(Step{60, {}, SHOW_CLASSES});
        } else if (arg == "dump") {
            bool values = i + 1 < argc && std::string(argv[i + 1]) == "values";
            if (values)
                i++;
            // By value: sendPath, hprof, hprofFlag, option4, option5, option6, primitiveValues, dump.
            steps.push_back(Step{7, {0, 0, 0, 0, 0, 0, static_cast<uint8_t>(values), 1}, SHOW_HEAP_DUMP});
        } else if (arg == "probe" || arg == "probe-hotspots") {
            if (!hasValue)
                return usageError(arg + " needs a probe name, such as builtin.FileProbe");
            std::string probe = argv[++i];
            if (arg == "probe") {
                WireWriter w;
                w.writeString(probe);
                steps.push_back(Step{85, w.bytes(), SHOW_PROBE_TUPLES});
            } else {
                steps.push_back(Step{57, ProbeView::hotspotRequest(probe, {0, 1, 2, 3, 4}), SHOW_PROBE_HOTSPOTS});
            }
        } else if (arg == "alloc") {
            std::string on = hasValue ? argv[++i] : "";
            if (on != "on" && on != "off")
                return usageError("alloc takes on or off" + (on.empty() ? std::string() : ", not " + on));
            steps.push_back(Step{49, HeapView::recordRequest(on == "on"), SHOW_BYTES});
        } else if (arg == "heap") {
            bool reset = i + 1 < argc && std::string(argv[i + 1]) == "reset";
            if (reset)
                i++;
            steps.push_back(Step{3, {static_cast<uint8_t>(reset ? 1 : 0)}, SHOW_HEAP});
        } else if (arg == "totalheap") {
            steps.push_back(Step{4, {}, SHOW_TOTAL_HEAP});
        } else if (arg == "alloctree" || arg == "allochotspots") {
            Step step{arg == "alloctree" ? 24u : 51u, {}, arg == "alloctree" ? SHOW_ALLOCATION_TREE : SHOW_ALLOCATION_HOTSPOTS};
            std::string reason;
            while (i + 1 < argc && parseSelection(argv[i + 1], &step.query, &reason))
                i++;
            if (!reason.empty())
                return usageError(reason);
            steps.push_back(step);
        } else if (arg == "allocexpand" || arg == "allocbacktrace") {
            if (!hasValue)
                return usageError(arg + " needs a method, such as: " + arg + " Demo.main");
            Step step{arg == "allocexpand" ? 25u : 52u, {}, SHOW_ALLOCATION_NODE};
            step.path = splitPath(argv[++i]);
            if (arg == "allocbacktrace" && step.path.size() != 1)
                return usageError("allocbacktrace takes one method, such as: allocbacktrace Demo.make");
            steps.push_back(step);
        } else if (arg == "savesnapshot") {
            if (!hasValue)
                return usageError("savesnapshot needs a file name, such as: savesnapshot run.ovs");
            Step step{32, {0}, SHOW_SNAPSHOT};
            step.file = argv[++i];
            steps.push_back(step);
        } else if (arg == "snapshotpath") {
            steps.push_back(Step{32, {1}, SHOW_SNAPSHOT});
        } else if (arg == "loaddata") {
            steps.push_back(Step{33, {}, SHOW_LOAD_DATA});
        } else {
            return usageError("unknown command or option " + arg);
        }
    }
    if (steps.empty())
        return usageError("no command given");

    FrontendClient client(static_cast<int>(timeoutMs));
    std::string where = host + ":" + std::to_string(port);
    std::string error = client.connect(host, static_cast<uint16_t>(port));
    if (!error.empty())
        return failure("cannot reach the agent at " + where + ": " + error,
                       "start the JVM with -agentpath:.../libtiagent.so=port=" + std::to_string(port) +
                           " and connect once it says \"Waiting for a connection\" (or \"Using address\" with nowait and when"
                           " attached); or give the agent's --host and --port");
    error = client.handshake();
    if (!error.empty())
        return failure(where + " did not answer as tiagent does: " + error,
                       "check that --port names the agent's port= option; a front end still connected keeps others out");
    printf("connected to %s, protocol version %s\n", where.c_str(), client.agentVersion().c_str());

    int result = 0;
    Registry registry;
    // The allocation tree and hot spots sent last: expansions name their nodes.
    std::unique_ptr<ViewNode> allocationTree;
    AllocationHotspotReply allocationHotspots;
    for (const Step &step : steps) {
        Reply reply;
        std::vector<uint8_t> payload = step.payload;
        std::string unresolved;
        if (step.show == SHOW_ALLOCATION_TREE || step.show == SHOW_ALLOCATION_HOTSPOTS) {
            if (!allocationPayload(step, registry, client.idWidth(), &payload, &unresolved)) {
                result = failure("command " + std::to_string(step.command) + ": " + unresolved,
                                 "run heap or totalheap first, which name the classes, and give the name as they print it");
                continue;
            }
        } else if (step.show == SHOW_ALLOCATION_NODE) {
            std::vector<std::pair<uint64_t, uint16_t>> path;
            if (!expansionPath(step, registry, allocationTree.get(), allocationHotspots, &path, &unresolved)) {
                result = failure("command " + std::to_string(step.command) + ": " + unresolved,
                                 "give the methods as the last alloctree or allochotspots printed them, such as Demo.make");
                continue;
            }
            payload = HeapView::expandRequest(path, client.idWidth());
        }
        if (step.show == SHOW_WAIT) {
            bool failed = false;
            waitForProgramEnd(client, &registry, &failed);
            if (failed) {
                result = failure("wait: " + (client.lastError().empty() ? std::string("malformed VM state reply") : client.lastError()),
                                 "the connection ended with the VM: give the session vmCannotExit=\"true\" so that its end"
                                 " waits for the views");
                if (!client.connected())
                    break;
            }
            continue;
        }
        FrontendClient::Status status = client.call(step.command, payload, &reply);
        if (status != FrontendClient::OK) {
            std::string reason = "command " + std::to_string(step.command) + ": " + client.lastError();
            failure(reason, commandHint(status, client.lastError()));
            result = 1;
            if (!client.connected() || status == FrontendClient::IO_ERROR || status == FrontendClient::PROTOCOL_ERROR)
                break;
            continue;
        }
        if (step.command == 0) {
            printf("closed\n");
            client.close();
            break;
        }
        printf("reply to command %u (request %u): VM start %lld us, agent time %lld us, %zu bytes\n",
               reply.header.command, reply.header.requestId, static_cast<long long>(reply.header.vmStartTime),
               static_cast<long long>(reply.header.agentTime), reply.body.size());
        if (step.command == 2)
            printf("  ID width %u\n", client.idWidth());
        const std::string malformed = "command " + std::to_string(step.command) + ": malformed reply";
        const char *const sameBuild = "check that the agent and the front end come from one build";
        if (step.show == SHOW_HEAP_DUMP) {
            JhdDump heapDump;
            std::string reason;
            if (!readHeapDumpReply(reply.body, client.idWidth(), &registry, &heapDump, &reason)) {
                result = failure("command 7: " + reason, "check the agent's log and its TMPDIR");
                continue;
            }
            fputs(describeHeapDump(heapDump).c_str(), stdout);
            for (const JhdClass &c : heapDump.classes) {
                const ClassInfo *info = registry.classOf(c.classId);
                if (info != nullptr)
                    printf("class %u is %s\n", c.tag, info->name.c_str());
            }
        } else if (step.show == SHOW_CLASSES) {
            std::vector<MethodInfo> methods;
            std::vector<ClassInfo> classes;
            if (!registry.readGetClassesReply(reply.body, client.idWidth(), &methods, &classes)) {
                result = failure(malformed, sameBuild);
                continue;
            }
            printf("  %zu new methods, %zu new classes\n", methods.size(), classes.size());
            for (const ClassInfo &c : classes)
                printf("  class %s%s\n", c.name.c_str(), c.hasFieldInfo ? " (fields)" : "");
        } else if (step.show == SHOW_CALL_TREE) {
            CallTreeReply tree;
            if (!CallTreeView::readInvocationTreeReply(reply.body, client.idWidth(), &registry, &tree)) {
                result = failure(malformed, sameBuild);
                continue;
            }
            if (tree.root == nullptr)
                printf("  nothing recorded yet (switch recording on with: cpu on)\n");
            else
                fputs(TextReport::callTreeTop(*tree.root, registry, CALL_TREE_DEPTH, CALL_TREE_MIN_PER_MILLE).c_str(), stdout);
        } else if (step.show == SHOW_THREADS) {
            ThreadDumpReply dump;
            if (!ThreadView::readThreadDumpReply(reply.body, client.idWidth(), &registry, &dump)) {
                result = failure(malformed, sameBuild);
                continue;
            }
            fputs(ThreadView::format(dump, registry).c_str(), stdout);
        } else if (step.show == SHOW_STATUSES) {
            std::vector<ThreadInfo> threads;
            WireReader r(reply.body);
            if (!ThreadView::readThreadDescriptions(r, client.idWidth(), &registry, &threads)) {
                result = failure(malformed, sameBuild);
                continue;
            }
            fputs(ThreadView::formatStatusHistories(threads).c_str(), stdout);
        } else if (step.show == SHOW_TELEMETRY) {
            TelemetryReply telemetry;
            if (!TelemetryView::readTelemetryReply(reply.body, &telemetry)) {
                result = failure(malformed, sameBuild);
                continue;
            }
            fputs(TelemetryView::format(telemetry).c_str(), stdout);
        } else if (step.show == SHOW_HOTSPOTS) {
            HotspotReply hotspots;
            if (!CallTreeView::readHotspotReply(reply.body, client.idWidth(), &registry, &hotspots)) {
                result = failure(malformed, sameBuild);
                continue;
            }
            fputs(TextReport::hotspots(hotspots, registry, step.rows).c_str(), stdout);
        } else if (step.show == SHOW_PROBE_TUPLES) {
            ProbeTupleReply tuples;
            if (!ProbeView::readTupleReply(reply.body, client.idWidth(), &registry, &tuples)) {
                result = failure(malformed, sameBuild);
                continue;
            }
            fputs(ProbeView::format(tuples, registry).c_str(), stdout);
        } else if (step.show == SHOW_PROBE_HOTSPOTS) {
            ProbeHotspotReply hotspots;
            if (!ProbeView::readHotspotReply(reply.body, client.idWidth(), &registry, &hotspots)) {
                result = failure(malformed, sameBuild);
                continue;
            }
            fputs(ProbeView::format(hotspots, registry).c_str(), stdout);
        } else if (step.show == SHOW_METHOD_GRAPH) {
            MethodGraphReply graph;
            if (!CallTreeView::readMethodGraphReply(reply.body, client.idWidth(), &registry, &graph)) {
                result = failure(malformed, sameBuild);
                continue;
            }
            for (const MethodGraphMethodRow &m : graph.methods)
                printf("  %10lld us total %10lld us self %8u calls  %s%s\n", static_cast<long long>(m.total), static_cast<long long>(m.self),
                       m.calls, registry.describe(m.method).c_str(), TextReport::hooksRemovedMark(registry, m.method, m.calls).c_str());
            for (const MethodGraphEdgeRow &e : graph.edges)
                printf("  %s -> %s: %lld us, %u calls\n", registry.describe(e.caller).c_str(), registry.describe(e.callee).c_str(),
                       static_cast<long long>(e.time), e.calls);
        } else if (step.show == SHOW_HEAP) {
            HeapUsageReply usage;
            if (!HeapView::readHeapUsageReply(reply.body, client.idWidth(), &registry, &usage)) {
                result = failure(malformed, sameBuild);
                continue;
            }
            fputs(TextReport::heapList("live recorded objects, changed since the last time", usage.live, registry).c_str(), stdout);
            fputs(TextReport::heapList("collected recorded objects, changed since the last time", usage.collected, registry).c_str(), stdout);
        } else if (step.show == SHOW_TOTAL_HEAP) {
            std::vector<HeapEntry> total;
            if (!HeapView::readTotalHeapUsageReply(reply.body, client.idWidth(), &registry, &total)) {
                result = failure(malformed, sameBuild);
                continue;
            }
            fputs(TextReport::heapList("the whole heap, changed since the last time", total, registry).c_str(), stdout);
        } else if (step.show == SHOW_ALLOCATION_TREE) {
            AllocationTreeReply tree;
            if (!HeapView::readAllocationTreeReply(reply.body, client.idWidth(), &registry, &tree)) {
                result = failure(malformed, sameBuild);
                continue;
            }
            allocationTree = std::move(tree.root);
            if (allocationTree == nullptr)
                printf("  no allocations recorded there (switch recording on with: alloc on)\n");
            else
                fputs(TextReport::allocationTreeTop(*allocationTree, registry, CALL_TREE_DEPTH, CALL_TREE_MIN_PER_MILLE).c_str(), stdout);
        } else if (step.show == SHOW_ALLOCATION_HOTSPOTS) {
            allocationHotspots = AllocationHotspotReply();
            if (!HeapView::readAllocationHotspotReply(reply.body, client.idWidth(), &registry, &allocationHotspots)) {
                result = failure(malformed, sameBuild);
                continue;
            }
            fputs(TextReport::allocationHotspots(allocationHotspots, registry).c_str(), stdout);
        } else if (step.show == SHOW_ALLOCATION_NODE) {
            std::unique_ptr<ViewNode> node;
            if (!HeapView::readExpandReply(reply.body, client.idWidth(), &node)) {
                result = failure(malformed, sameBuild);
                continue;
            }
            if (node == nullptr)
                printf("  the agent has no such node (its tree changed since)\n");
            else
                fputs(TextReport::allocationTreeTop(*node, registry, CALL_TREE_DEPTH, 0).c_str(), stdout);
        } else if (step.show == SHOW_SNAPSHOT) {
            std::string reason;
            if (!showSnapshotReply(reply.body, step.file, &reason)) {
                result = reason.empty() ? failure(malformed, sameBuild) : failure("command 32: " + reason, "check the agent's output and TMPDIR");
                continue;
            }
        } else if (step.show == SHOW_LOAD_DATA) {
            LoadDataReply loaded;
            if (!LoadDataView::readLoadDataReply(reply.body, client.idWidth(), &registry, &loaded)) {
                result = failure(malformed, "ask a snapshot the agent's loader serves, with the front end of the same build");
                continue;
            }
            fputs(LoadDataView::format(loaded, registry).c_str(), stdout);
        } else {
            dump(reply.body);
        }
    }
    if (client.connected() && !keepOpen)
        client.call(0, {}, nullptr);
    return result;
}
