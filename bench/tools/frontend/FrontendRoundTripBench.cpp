// Request round trips per second between the test front end and the stand-in agent over loopback.
#include "FakeAgent.h"
#include "FrontendClient.h"

#include <benchmark/benchmark.h>

namespace {

void roundTrips(benchmark::State &state, uint32_t command, size_t payloadSize)
{
    FakeAgent agent;
    agent.setReplyBody(command, std::vector<uint8_t>(16, 0x5A));
    FrontendClient client(5000);
    if (!client.connect("127.0.0.1", agent.port()).empty() || !client.handshake().empty()) {
        state.SkipWithError("cannot reach the stand-in agent");
        return;
    }
    std::vector<uint8_t> payload(payloadSize, 0x11);
    Reply reply;
    for (auto _ : state) {
        if (client.call(command, payload, &reply) != FrontendClient::OK) {
            state.SkipWithError(client.lastError().c_str());
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

// Command 2: command and request id only, a fixed reply without end marker.
void BM_IdWidthRoundTrip(benchmark::State &state)
{
    roundTrips(state, 2, 0);
}

// A framed request: sizes, two acknowledgements, CRC, payload, reply up to the end marker.
void BM_FramedRoundTrip(benchmark::State &state)
{
    roundTrips(state, 44, static_cast<size_t>(state.range(0)));
}

BENCHMARK(BM_IdWidthRoundTrip)->UseRealTime();
BENCHMARK(BM_FramedRoundTrip)->Arg(0)->Arg(1024)->UseRealTime();

} // namespace
