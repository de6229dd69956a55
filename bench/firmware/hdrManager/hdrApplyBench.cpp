// A head apply that regenerates and uploads all nine video instances: the
// 3D-LUT generator gets resource management's notification of head 0 with
// nine windows, one per scaler, each showing a calibrated PQ input on an SDR
// head, and computes, programs and uploads nine tables. Timed from the
// notification to the last keyhole write, which the device manager's FPGA
// handler threads deliver to the card emulator as on the card they go to the
// SPI driver (the accesses are synchronous: the call returns after the last).

#include "cardsim/cardsim.h"
#include "deviceManager/deviceManager.h"
#include "hdrManager/hdrManagerPrivate.h"
#include "layoutManager/layoutManagerPrivate.h"
#include "main/startup.h"
#include "platform/platformPrivate.h"
#include "serviceManager/serviceManager.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void serveAll()
{
    while (layoutManagerServeNext(0)) {
    }
}

struct Card {
    Card()
    {
        char tmpl[] = "/tmp/kvrbench.XXXXXX";
        root = mkdtemp(tmpl) ? tmpl : "";
        setenv("KVR_ROOT", root.c_str(), 1);
        log4c_init();
        platformConfig.qvsVideoSlotId = 4;
        platformRecord.cardHwType = 4;
        cardsimStart();
        deviceManagerInit(nullptr);
        mainRegisterModules();
        initService(&layoutManagerService);
        layoutManagerTargetEventApplyCardSlot(0);
        layoutManagerService.preStart(&layoutManagerService);
        serveAll();
        for (uint8_t input = 0; input < 9; input++) {
            hdrInputCalibration_t r = {4, input, FORCE, PQ, Rec_2020, Y_Cb_Cr, (uint16_t)(1000 + 100 * input),
                                       NARROW_RANGE, {0, 0, 0}};
            layoutTargetSpecificEvent(HDR_INPUT_CHANGE_EVENT, &r, sizeof r);
        }
        serveAll();
        result = sysResMngtResult_t();
        result.head = 0;
        result.eventKind = SRM_KIND_APPLY;
        result.windowCount = result.windowTotal = 9;
        for (uint32_t s = 0; s < 9; s++) {
            scalerInfo_t &scaler = result.scalers[s];
            scaler.enable = 1;
            scaler.head = 0;
            scaler.inputNb = s;
            scaler.winId = s;
            windowInfo_t &w = result.windows[s];
            w.windowConfigHasChanged = 1;
            w.scalerEnable = 1;
            w.winId = s;
            w.scalerId = s;
            w.inputNb = s;
        }
    }
    ~Card()
    {
        deviceManagerTerminate(nullptr, 3, 0);
        cardsimStop();
        std::system(("rm -rf '" + root + "'").c_str());
    }
    std::string root;
    sysResMngtResult_t result;
};

deviceSubmoduleInstance *hdrInstanceOfHead0()
{
    for (int i = 0; layoutManagerSubmoduleInstanceAt(i); i++) {
        deviceSubmoduleInstance *instance = layoutManagerSubmoduleInstanceAt(i);
        if (instance->descriptor == &hdr3DLutGenSubmodule && instance->head == 0)
            return instance;
    }
    return nullptr;
}

void headApplyNineTables(benchmark::State &state)
{
    static Card card;
    deviceSubmoduleInstance *instance = hdrInstanceOfHead0();
    layoutEventInfo event = {};
    event.headEvent = TARGET_SPECIFIC_EVENT;
    event.head = 0;
    event.target = SYS_RES_MNGT_NOTIFICATION_EVENT_HEAD0;
    event.headRecord = &layoutGetPrivateData()->heads[0];
    event.eventData = &card.result;
    event.eventSize = sizeof card.result;
    size_t keyholeWords = 0;
    for (auto _ : state) {
        state.PauseTiming();
        cardsimClearLogs();
        state.ResumeTiming();
        hdr3DLutGenSubmodule.process(instance, &event, &card.result);
        state.PauseTiming();
        keyholeWords = 0;
        for (const cardsimFpgaWrite_t &w : cardsimFpgaWrites(CARDSIM_DPS))
            keyholeWords += w.keyhole;
        state.ResumeTiming();
    }
    state.counters["keyholeWords"] = (double)keyholeWords;
}
BENCHMARK(headApplyNineTables)->Unit(benchmark::kMillisecond);

} // namespace
