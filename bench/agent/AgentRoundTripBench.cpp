// Request round trips per second between the test front end and tiagent in a
// real JVM over loopback: command 2 (no frame) and command 44 (a framed
// request with sizes, CRC and both acknowledgements).
#include <benchmark/benchmark.h>

#include "FrontendClient.h"
#include "JvmProcess.h"

using namespace jvmtest;

namespace {

const char *const JAVA = "/usr/lib/jvm/java-17-openjdk-amd64/bin/java";

// One JVM under the agent for all benchmarks of the run.
struct Agent {
    WorkDir work;
    JvmProcess jvm{work.path, "jvm"};
    PortReservation held;
    int port = held.port;
    bool ready = false;

    Agent()
    {
        std::string tmp = work / "tmp";
        mkdir(tmp.c_str(), 0700);
        std::vector<std::string> c = {JAVA, "-XX:-UsePerfData",
                                      std::string("-agentpath:") + TIAGENT_PATH + "=port=" + std::to_string(port) + ",address=127.0.0.1",
                                      "-cp", PROBE_CLASSES, "AgentProbe", "hold"};
        ready = fileExists(JAVA) && jvm.start(c, tmp, tmp, false) &&
                jvm.waitFor("Waiting for a connection from the Orvane GUI ...", false, 60);
    }
};

Agent &agent()
{
    // Destroyed at exit: the JVM is killed and its directory removed.
    static Agent instance;
    return instance;
}

void roundTrips(benchmark::State &state, uint32_t command, const std::vector<uint8_t> &payload)
{
    if (!agent().ready) {
        state.SkipWithError("cannot start a JVM under tiagent");
        return;
    }
    FrontendClient client(5000);
    if (!client.connect("127.0.0.1", static_cast<uint16_t>(agent().port)).empty() || !client.handshake().empty()) {
        state.SkipWithError("cannot reach the agent");
        return;
    }
    Reply reply;
    for (auto _ : state) {
        if (client.call(command, payload, &reply) != FrontendClient::OK) {
            state.SkipWithError(client.lastError().c_str());
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_AgentIdWidthRoundTrip(benchmark::State &state)
{
    roundTrips(state, 2, {});
}

void BM_AgentStateRoundTrip(benchmark::State &state)
{
    roundTrips(state, 44, {0});
}

BENCHMARK(BM_AgentIdWidthRoundTrip)->UseRealTime();
BENCHMARK(BM_AgentStateRoundTrip)->UseRealTime();

} // namespace
