// Synchronous FPGA register round trips through the whole path: the caller's
// request, the handler's queue and worker thread, the hal and the card emulator.

#include "cardsim/cardsim.h"
#include "deviceManager/deviceManager.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

// A card root for the run, the emulator and the device manager.
struct Card {
    Card()
    {
        char tmpl[] = "/tmp/kvrbench.XXXXXX";
        root = mkdtemp(tmpl) ? tmpl : "";
        setenv("KVR_ROOT", root.c_str(), 1);
        cardsimStart();
        deviceManagerInit(nullptr);
    }
    ~Card()
    {
        deviceManagerTerminate(nullptr, 3, 0);
        cardsimStop();
        std::system(("rm -rf '" + root + "'").c_str());
    }
    std::string root;
};

void fpgaRegisterRead(benchmark::State &state)
{
    static Card card;
    uint8_t word[2];
    for (auto _ : state) {
        if (deviceManagerAccess(DEVICE_READ, DEVICE_FSM_FPGA, 0x0, 0, 1, word) != 0)
            state.SkipWithError("read failed");
        benchmark::DoNotOptimize(word);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(fpgaRegisterRead)->UseRealTime();

void fpgaRegisterWrite(benchmark::State &state)
{
    static Card card;
    uint8_t word[2] = {0x12, 0x34};
    for (auto _ : state) {
        if (deviceManagerAccess(DEVICE_WRITE, DEVICE_DPS_FPGA, 0x98, 0, 1, word) != 0)
            state.SkipWithError("write failed");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(fpgaRegisterWrite)->UseRealTime();

} // namespace
