// Heap dumps of about a million objects in a real JVM under tiagent, both
// through command 7: the agent's own "jhd" dump and the VM's HPROF dump
// (Agent.triggerHprofDump), each handed over by path.
#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include "FrontendClient.h"
#include "JvmProcess.h"
#include "WireReader.h"

using namespace jvmtest;

namespace {

const char *const JAVA = "/usr/lib/jvm/java-17-openjdk-amd64/bin/java";

// One JVM with the heap for all benchmarks of the run.
struct DumpedVm {
    WorkDir work;
    JvmProcess jvm{work.path, "jvm"};
    PortReservation held;
    int port = held.port;
    FrontendClient client{600000};
    bool ready = false;

    DumpedVm()
    {
        std::string tmp = work / "tmp";
        mkdir(tmp.c_str(), 0700);
        std::vector<std::string> c = {JAVA, "-XX:-UsePerfData", "-Xmx1g",
                                      std::string("-agentpath:") + TIAGENT_PATH + "=port=" + std::to_string(port) +
                                          ",address=127.0.0.1",
                                      "-cp", BENCH_CLASSES, "MillionObjects"};
        Reply reply;
        ready = fileExists(JAVA) && jvm.start(c, tmp, tmp, false) &&
                jvm.waitFor("Waiting for a connection from the Orvane GUI ...", false, 60) &&
                client.connect("127.0.0.1", static_cast<uint16_t>(port)).empty() && client.handshake().empty() &&
                client.call(1, {0}, &reply) == FrontendClient::OK && jvm.waitFor("ready", true, 120);
    }
};

DumpedVm &vm()
{
    static DumpedVm instance;
    return instance;
}

// Command 7 by path: sendPath, hprof, hprofFlag, option4, option5, option6, primitiveValues, dump.
void dumps(benchmark::State &state, bool hprof)
{
    if (!vm().ready) {
        state.SkipWithError("cannot start a JVM under tiagent");
        return;
    }
    std::vector<uint8_t> request = {1, static_cast<uint8_t>(hprof), 0, 0, 0, 0, 0, 1};
    Reply reply;
    for (auto _ : state) {
        if (vm().client.call(7, request, &reply) != FrontendClient::OK) {
            state.SkipWithError(vm().client.lastError().c_str());
            break;
        }
        WireReader in(reply.body);
        if (in.readU4() != 2) {
            state.SkipWithError("the dump failed");
            break;
        }
        struct stat st;
        std::string path = in.readString();
        if (stat(path.c_str(), &st) == 0)
            state.counters["bytes"] = static_cast<double>(st.st_size);
    }
}

void BM_AgentHeapDump(benchmark::State &state)
{
    dumps(state, false);
}

void BM_VmHprofDump(benchmark::State &state)
{
    dumps(state, true);
}

BENCHMARK(BM_AgentHeapDump)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_VmHprofDump)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace
