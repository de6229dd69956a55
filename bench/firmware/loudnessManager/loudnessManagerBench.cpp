// One loudness block of the 36 instances against the card emulator: the
// bank reads, the measurements and the result writes into FSM-FPGA.

#include "cardsim/cardsim.h"
#include "deviceManager/deviceManager.h"
#include "loudnessManager/loudnessManager.h"
#include "platform/platformPrivate.h"
#include "qvsInterface/qvsInterface.h"
#include "serviceManager/serviceManager.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Card {
    Card() : sharedMemory(CARD_STATUS_BLOCK_SIZE * CARD_STATUS_BLOCK_COUNT, 0)
    {
        char tmpl[] = "/tmp/kvrbench.XXXXXX";
        root = mkdtemp(tmpl) ? tmpl : "";
        setenv("KVR_ROOT", root.c_str(), 1);
        cardsimStart();
        cardsimVsyncStop();
        deviceManagerInit(nullptr);
        platformResetState();
        platformAttach(log4c_category_get("ulm.firmware.loudnessManagerSrvc"), sharedMemory.data());
        loudnessManagerService.init(&loudnessManagerService);
        cardsimLoudnessSetBank(0, 1, cardsimLoudnessLevel(-23.0));
    }
    ~Card()
    {
        deviceManagerTerminate(nullptr, 3, 0);
        cardsimStop();
        std::system(("rm -rf '" + root + "'").c_str());
    }
    std::string root;
    std::vector<uint8_t> sharedMemory;
};

void loudnessBlock(benchmark::State &state)
{
    static Card card;
    uint32_t count = 0;
    for (auto _ : state) {
        loudnessManagerProcessBlock();
        if (++count % 1000 == 0)
            cardsimClearLogs();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(loudnessBlock);

} // namespace
