// One probing cycle (two Vsyncs) against the card emulator: the due reads of
// the action table through the device manager, then the cycle end with the
// FPGA checks, the nine video probes, the health steps, the MADI link, the
// block-change comparison and input 9's equaliser check.

#include "cardsim/cardsim.h"
#include "deviceManager/deviceManager.h"
#include "main/startup.h"
#include "platform/platformPrivate.h"
#include "probing/probing.h"
#include "qvsInterface/qvsInterface.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Card {
    Card()
    {
        char tmpl[] = "/tmp/kvrbench.XXXXXX";
        root = mkdtemp(tmpl) ? tmpl : "";
        setenv("KVR_ROOT", root.c_str(), 1);
        cardsimStart();
        cardsimVsyncStop();
        deviceManagerInit(nullptr);
        platformResetState();
        platformRecord.cardHwType = 1;   /* SDI inputs: MADI link and input 9 */
        platformRecord.rearSlot = 2;
        initQvsInterface(QVS_MODE_STUB, nullptr);
        sharedMemory = (uint8_t *)qvsInterfaceGetSharedMemory(nullptr, nullptr);
        log4c_category_t *category = log4c_category_get("ulm.firmware.probingSrvc");
        platformAttach(category, sharedMemory);
        mainRegisterModules();
        probingTargetInit(sharedMemory, category);
        probingTargetPreStart();
        probingResetActions(category);
        cardsimFpgaSet(CARDSIM_FSM, 0, 0x1234);
        cardsimFpgaSet(CARDSIM_DPS, 0, 0x5678);
    }
    ~Card()
    {
        deviceManagerTerminate(nullptr, 3, 0);
        cardsimStop();
        std::system(("rm -rf '" + root + "'").c_str());
    }
    std::string root;
    uint8_t *sharedMemory = nullptr;
};

void probingCycle(benchmark::State &state)
{
    static Card card;
    uint32_t count = 0;
    for (auto _ : state) {
        probingRunVsync(++count);
        probingRunVsync(++count);
        if (count % 1000 == 0)
            cardsimClearLogs();   /* keep the emulator's logs from growing */
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(probingCycle)->UseRealTime();

} // namespace
