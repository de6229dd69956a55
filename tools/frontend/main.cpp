// frontend: a small command-line front end for the profiling agent.
//
//   frontend --host 127.0.0.1 --port 8849 cmd 2 cmd 44 cmd 60
//   frontend --port 8849 cmd 34 00000001000361 2e62      (payload as hex digits)
//   frontend --port 8849 cpu on calltree 0 classes     (views, printed as text)
//   frontend snapshot file.ovs

#include "CallTreeView.h"
#include "FrontendClient.h"
#include "Registry.h"
#include "SnapshotFile.h"
#include "ThreadView.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// How a reply is shown: raw bytes, or decoded as a view.
enum Show { SHOW_BYTES, SHOW_CLASSES, SHOW_CALL_TREE, SHOW_HOTSPOTS, SHOW_THREADS, SHOW_METHOD_GRAPH };

struct Step {
    uint32_t command;
    std::vector<uint8_t> payload;
    Show show = SHOW_BYTES;
};

void usage()
{
    fprintf(stderr,
            "usage: frontend [--host H] [--port P] [--timeout MS] [--keep-open]\n"
            "                cmd N [HEXPAYLOAD] [cmd N [HEXPAYLOAD] ...]\n"
            "                cpu on|off   calltree [LEVEL]   hotspots   graph   threads   classes\n"
            "       frontend snapshot FILE\n");
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

int showSnapshot(const char *path)
{
    SnapshotFile file;
    std::string error = file.open(path);
    if (!error.empty()) {
        fprintf(stderr, "frontend: %s\n", error.c_str());
        return 1;
    }
    const SnapshotHeader &h = file.header();
    printf("snapshot version %u, %s agent, VM \"%s\" \"%s\"\n", h.version, h.interfaceKind ? "JVMPI" : "JVMTI",
           h.vmName.c_str(), h.vmVersion.c_str());
    printf("ID size %u, call-tree method %u, snapshot time %lld us, VM start %lld us\n", h.idSize,
           h.callTreeCollectionMethod, static_cast<long long>(h.snapshotTime), static_cast<long long>(h.vmStartTime));
    std::string verify = file.verifySections();
    for (size_t i = 0; i < file.sections().size(); i++) {
        const SnapshotSection &s = file.sections()[i];
        printf("section %zu: length %llu position %lld crc 0x%08x%s\n", i, static_cast<unsigned long long>(s.length),
               static_cast<long long>(s.position), s.crc, s.verified ? " ok" : "");
    }
    if (!verify.empty()) {
        fprintf(stderr, "frontend: %s\n", verify.c_str());
        return 1;
    }
    std::string trailer = file.readTrailer();
    if (file.trailer().present)
        printf("configuration %u (%zu bytes), %u s running\n", file.trailer().configId,
               file.trailer().configXml.size(), file.trailer().secondsRunning);
    if (!trailer.empty()) {
        fprintf(stderr, "frontend: %s\n", trailer.c_str());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::string(argv[1]) == "snapshot")
        return showSnapshot(argv[2]);

    std::string host = "127.0.0.1";
    unsigned long port = 8849;
    unsigned long timeoutMs = 10000;
    bool keepOpen = false;
    std::vector<Step> steps;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--host" && hasValue) {
            host = argv[++i];
        } else if (arg == "--port" && hasValue) {
            if (!parseNumber(argv[++i], 65535, &port) || port == 0) {
                fprintf(stderr, "frontend: bad port %s\n", argv[i]);
                return 2;
            }
        } else if (arg == "--timeout" && hasValue) {
            if (!parseNumber(argv[++i], 3600000, &timeoutMs)) {
                fprintf(stderr, "frontend: bad time-out %s\n", argv[i]);
                return 2;
            }
        } else if (arg == "--keep-open") {
            keepOpen = true;
        } else if (arg == "cmd" && hasValue) {
            unsigned long command;
            if (!parseNumber(argv[++i], 0xFFFFFFFFul, &command)) {
                fprintf(stderr, "frontend: bad command %s\n", argv[i]);
                return 2;
            }
            Step step{static_cast<uint32_t>(command), {}};
            if (i + 1 < argc && argv[i + 1][0] != '-' && std::string(argv[i + 1]) != "cmd" &&
                !parseHex(argv[++i], &step.payload)) {
                fprintf(stderr, "frontend: bad hex payload %s\n", argv[i]);
                return 2;
            }
            steps.push_back(step);
        } else if (arg == "cpu" && hasValue) {
            std::string on = argv[++i];
            if (on != "on" && on != "off") {
                usage();
                return 2;
            }
            steps.push_back(Step{38, {static_cast<uint8_t>(on == "on"), 0, 0, 0, 0}, SHOW_BYTES});
        } else if (arg == "calltree") {
            unsigned long level = 0;
            if (i + 1 < argc && isdigit(static_cast<unsigned char>(argv[i + 1][0])) && !parseNumber(argv[++i], 3, &level)) {
                fprintf(stderr, "frontend: bad aggregation level %s\n", argv[i]);
                return 2;
            }
            steps.push_back(Step{41, CallTreeView::invocationTreeRequest(static_cast<uint32_t>(level), 1, 10000, 0), SHOW_CALL_TREE});
        } else if (arg == "threads") {
            steps.push_back(Step{74, {1}, SHOW_THREADS});
        } else if (arg == "hotspots") {
            steps.push_back(Step{42, CallTreeView::hotspotRequest(1, true), SHOW_HOTSPOTS});
        } else if (arg == "graph") {
            steps.push_back(Step{50, CallTreeView::methodGraphRequest(1), SHOW_METHOD_GRAPH});
        } else if (arg == "classes") {
            steps.push_back(Step{60, {}, SHOW_CLASSES});
        } else {
            usage();
            return 2;
        }
    }
    if (steps.empty()) {
        usage();
        return 2;
    }

    FrontendClient client(static_cast<int>(timeoutMs));
    std::string error = client.connect(host, static_cast<uint16_t>(port));
    if (error.empty())
        error = client.handshake();
    if (!error.empty()) {
        fprintf(stderr, "frontend: %s:%lu: %s\n", host.c_str(), port, error.c_str());
        return 1;
    }
    printf("connected to %s:%lu, protocol version %s\n", host.c_str(), port, client.agentVersion().c_str());

    int result = 0;
    Registry registry;
    for (const Step &step : steps) {
        Reply reply;
        FrontendClient::Status status = client.call(step.command, step.payload, &reply);
        if (status != FrontendClient::OK) {
            fprintf(stderr, "frontend: command %u: %s\n", step.command, client.lastError().c_str());
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
        if (step.show == SHOW_CLASSES) {
            std::vector<MethodInfo> methods;
            std::vector<ClassInfo> classes;
            if (!registry.readGetClassesReply(reply.body, client.idWidth(), &methods, &classes)) {
                fprintf(stderr, "frontend: command 60: malformed reply\n");
                result = 1;
                continue;
            }
            printf("  %zu new methods, %zu new classes\n", methods.size(), classes.size());
            for (const ClassInfo &c : classes)
                printf("  class %s%s\n", c.name.c_str(), c.hasFieldInfo ? " (fields)" : "");
        } else if (step.show == SHOW_CALL_TREE) {
            CallTreeReply tree;
            if (!CallTreeView::readInvocationTreeReply(reply.body, client.idWidth(), &registry, &tree)) {
                fprintf(stderr, "frontend: command 41: malformed reply\n");
                result = 1;
                continue;
            }
            if (tree.root == nullptr)
                printf("  nothing recorded yet\n");
            else
                fputs(CallTreeView::format(*tree.root, registry).c_str(), stdout);
        } else if (step.show == SHOW_THREADS) {
            ThreadDumpReply dump;
            if (!ThreadView::readThreadDumpReply(reply.body, client.idWidth(), &registry, &dump)) {
                fprintf(stderr, "frontend: command 74: malformed reply\n");
                result = 1;
                continue;
            }
            fputs(ThreadView::format(dump, registry).c_str(), stdout);
        } else if (step.show == SHOW_HOTSPOTS) {
            HotspotReply hotspots;
            if (!CallTreeView::readHotspotReply(reply.body, client.idWidth(), &registry, &hotspots)) {
                fprintf(stderr, "frontend: command 42: malformed reply\n");
                result = 1;
                continue;
            }
            printf("  total %lld us\n", static_cast<long long>(hotspots.total));
            for (const HotspotRow &row : hotspots.rows)
                printf("  %10lld us %8u calls  %s\n", static_cast<long long>(row.value), row.calls, registry.describe(row.method).c_str());
        } else if (step.show == SHOW_METHOD_GRAPH) {
            MethodGraphReply graph;
            if (!CallTreeView::readMethodGraphReply(reply.body, client.idWidth(), &registry, &graph)) {
                fprintf(stderr, "frontend: command 50: malformed reply\n");
                result = 1;
                continue;
            }
            for (const MethodGraphMethodRow &m : graph.methods)
                printf("  %10lld us total %10lld us self %8u calls  %s\n", static_cast<long long>(m.total), static_cast<long long>(m.self),
                       m.calls, registry.describe(m.method).c_str());
            for (const MethodGraphEdgeRow &e : graph.edges)
                printf("  %s -> %s: %lld us, %u calls\n", registry.describe(e.caller).c_str(), registry.describe(e.callee).c_str(),
                       static_cast<long long>(e.time), e.calls);
        } else {
            dump(reply.body);
        }
    }
    if (client.connected() && !keepOpen)
        client.call(0, {}, nullptr);
    return result;
}
