// From APPLY_LAYOUT to the last FPGA register write for a full layout: four
// heads, nine windows (three on head 0, two on each other head), each window
// moved between iterations so that every one of them is reprogrammed, and
// each head's resolution switched between 1080p and 1080i and its
// anti-flicker level changed, so that the output stage (SDI outputs, graphic
// processor, audio monitoring) reprograms too. The writes go through the
// device manager's FPGA handler threads to the card emulator, as on the card
// they go to the SPI driver.

#include "cardsim/cardsim.h"
#include "deviceManager/deviceManager.h"
#include "layoutManager/layoutManagerPrivate.h"
#include "main/startup.h"
#include "platform/platformPrivate.h"
#include "serviceManager/serviceManager.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> pcode(uint8_t id, std::vector<uint8_t> data)
{
    std::vector<uint8_t> p(4 + data.size());
    p[0] = 20;
    p[1] = id;
    p[2] = (uint8_t)(data.size() >> 8);
    p[3] = (uint8_t)data.size();
    for (size_t i = 0; i < data.size(); i++)
        p[4 + i] = data[i];
    return p;
}

void put16(std::vector<uint8_t> &d, uint32_t v)
{
    d.push_back((uint8_t)(v >> 8));
    d.push_back((uint8_t)v);
}

std::vector<uint8_t> address(int head)
{
    return {(uint8_t)(head < 2 ? 4 : 5), (uint8_t)(head % 2)};
}

/* SET_HEAD_RESOLUTION: 1920 x 1080 at 59.94, progressive (sdiRes 2) or interlaced (1). */
std::vector<uint8_t> headResolution(int head, uint8_t sdiRes)
{
    std::vector<uint8_t> d = address(head);
    d.push_back(0);
    put16(d, 5994);
    for (uint8_t b : {0x08, 0xd7, 0xaa, 0xa0})
        d.push_back(b);
    for (uint32_t v : {1920u, 1080u, 2200u, 1125u})
        put16(d, v);
    d.push_back(sdiRes);
    d.resize(24, 0);
    return pcode(2, d);
}

/* SET_HEAD_ATTRIBUTES: video and graphics on, an anti-flicker level. */
std::vector<uint8_t> headAttributes(int head, uint8_t antiFlicker)
{
    std::vector<uint8_t> d = address(head);
    d.resize(32, 0);
    d[2] = 1;
    d[4] = 1;
    d[2 + 24] = antiFlicker;
    return pcode(8, d);
}

std::vector<uint8_t> windowLayout(int head, int winId, int x)
{
    std::vector<uint8_t> d = address(head);
    for (int v : {winId, 4, winId % 9})
        d.push_back((uint8_t)v);
    for (uint32_t v : {640u, 360u, (uint32_t)x, 100u})
        put16(d, v);
    d.resize(d.size() + 24, 0);
    put16(d, 640);
    put16(d, 360);
    d.resize(52, 0);
    return pcode(3, d);
}

void send(const std::vector<uint8_t> &p)
{
    layoutClassPcodeHandler(p.data(), (uint32_t)p.size());
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
        layoutManagerSetSystemFrameRateReader([] { return 5994u; });
        cardsimStart();
        deviceManagerInit(nullptr);
        mainRegisterModules();
        initService(&layoutManagerService);
        layoutManagerTargetEventApplyCardSlot(0);
        layoutManagerService.preStart(&layoutManagerService);
        while (layoutManagerServeNext(0)) {
        }
        for (uint32_t input = 0; input < 9; input++) {
            videoInputRecord r = {};
            r.inputIndex = input;
            r.videoTypeInfo = 12;
            r.carrierDetect = 1;
            r.scanningFormat = 1;
            r.samplesPerActiveLines = 1920;
            r.activeLinesPerFrame = 1080;
            layoutVideoInputChangeHandler(&r);
        }
        while (layoutManagerServeNext(0)) {
        }
    }
    ~Card()
    {
        deviceManagerTerminate(nullptr, 3, 0);
        cardsimStop();
        std::system(("rm -rf '" + root + "'").c_str());
    }
    std::string root;
};

const int windowsOfHead[4] = {3, 2, 2, 2};

void applyFullLayout(benchmark::State &state)
{
    static Card card;
    int withOutputs = (int)state.range(0);
    int shift = 0;
    size_t writes = 0, transfers = 0;
    for (auto _ : state) {
        state.PauseTiming();
        shift = 2 - shift;
        int winId = 0;
        for (int head = 0; head < 4; head++)
            for (int w = 0; w < windowsOfHead[head]; w++, winId++)
                send(windowLayout(head, winId, 100 + 700 * w + shift));
        for (int head = 0; head < 4 && withOutputs; head++) {
            send(headResolution(head, shift ? 1 : 2));
            send(headAttributes(head, (uint8_t)shift));
        }
        cardsimClearLogs();
        state.ResumeTiming();
        for (int head = 0; head < 4; head++)
            send(pcode(0, {address(head)[0], address(head)[1], (uint8_t)windowsOfHead[head], 0}));
        state.PauseTiming();
        writes = cardsimFpgaWrites(CARDSIM_DPS).size() + cardsimFpgaWrites(CARDSIM_FSM).size();
        transfers = cardsimSpiFrames(CARDSIM_DPS).size() + cardsimSpiFrames(CARDSIM_FSM).size();
        state.ResumeTiming();
    }
    state.counters["registerWrites"] = (double)writes;
    state.counters["spiTransfers"] = (double)transfers;
}
/* 0: only the windows moved; 1: every head's resolution and attributes changed too. */
BENCHMARK(applyFullLayout)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace
