// Heap dumps of about a million objects in a real JVM under tiagent, both
// through command 7: the agent's own "jhd" dump and the VM's HPROF dump
// (Agent.triggerHprofDump), each handed over by path.
#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

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

// User and system CPU seconds the JVM has used so far; the machine is shared,
// so this says more than the wall time.
double jvmCpuSeconds()
{
    std::ifstream in("/proc/" + std::to_string(vm().jvm.getPid()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The fields after the command name, which ends with the last ')'.
    size_t end = text.rfind(')');
    if (end == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(end + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // utime and stime are fields 14 and 15; the state (field 3) comes first here.
    for (int i = 3; i <= 15 && fields >> field; i++) {
        if (i == 14)
            utime = std::stoull(field);
        else if (i == 15)
            stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
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
    double cpuBefore = jvmCpuSeconds();
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
    // JVM CPU seconds per dump, all its threads (the VM's GC threads as well).
    state.counters["jvmCpuS"] =
        benchmark::Counter(jvmCpuSeconds() - cpuBefore, benchmark::Counter::kAvgIterations);
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
