// Layout pcodes per second: the pcode as the QVS link's receiver hands it to
// the pcode processor, its decoder thread, the layout handler, the layout
// queue and thread, the decoder and the sub-module calls of the head.

#include "layoutManager/layoutManagerPrivate.h"
#include "main/startup.h"
#include "pcodeProcessor/pcodeProcessor.h"
#include "serviceManager/serviceManager.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

enum { POOL_LOW_WATER = 100 };

// The pcode processor and the layout manager with their threads, on a card root of their own.
struct Services {
    Services()
    {
        char tmpl[] = "/tmp/kvrbench.XXXXXX";
        root = mkdtemp(tmpl) ? tmpl : "";
        setenv("KVR_ROOT", root.c_str(), 1);
        log4c_init();
        initService(&pcodeProcessorService);
        mainRegisterModules();
        initService(&layoutManagerService);
        layoutManagerTargetEventApplyCardSlot(0);
        layoutManagerService.preStart(&layoutManagerService);
        for (serviceDescriptor *service : {&pcodeProcessorService, &layoutManagerService}) {
            sem_init(&service->semaphore, 0, 0);
            service->state = SERVICE_STATE_RUN;
            threads.emplace_back([service] { service->threadEntry(service); });
        }
    }
    ~Services()
    {
        for (serviceDescriptor *service : {&pcodeProcessorService, &layoutManagerService}) {
            service->state = SERVICE_STATE_TERMINATE;
            service->control(service, SERVICE_STATE_TERMINATE, SERVICE_STATE_RUN);
        }
        for (std::thread &thread : threads)
            thread.join();
        std::system(("rm -rf '" + root + "'").c_str());
    }
    // Waits until the layout thread has served everything posted so far.
    static void waitServed(uint32_t atLeastFree)
    {
        while (layoutManagerFreeCount() < atLeastFree)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    std::string root;
    std::vector<std::thread> threads;
};

// The layout thread's own share: queue, decode, store, notify, on one thread. Runs
// first: the threaded benchmark below keeps its threads until the program ends.
void layoutPcodeDecodeAndNotify(benchmark::State &state)
{
    static bool ready = [] {
        log4c_init();
        mainRegisterModules();
        initService(&layoutManagerService);
        layoutManagerTargetEventApplyCardSlot(0);
        return true;
    }();
    (void)ready;
    // Alternating values, so each pcode is a change and is stored.
    uint8_t window[56] = {20, 3, 0, 52, 4, 0, 7, 1, 2};
    uint8_t flip = 0;
    for (auto _ : state) {
        window[10] = flip++;
        layoutClassPcodeHandler(window, sizeof window);
        layoutManagerServeNext(0);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(layoutPcodeDecodeAndNotify);


// APPLY_LAYOUT is never dropped as unchanged: every pcode reaches the eight sub-modules of head 0.
void layoutPcodeThroughProcessorAndThread(benchmark::State &state)
{
    static Services services;
    const uint8_t apply[] = {20, 0, 0, 4, 4, 0, 3, 0};
    uint64_t posted = 0;
    for (auto _ : state) {
        pcodeProcessor(sizeof apply, apply, nullptr);
        // Keep the pool from running dry: a dropped post would not be a served pcode.
        if (++posted % (LAYOUT_MESSAGE_POOL_SIZE - POOL_LOW_WATER) == 0)
            Services::waitServed(LAYOUT_MESSAGE_POOL_SIZE);
    }
    Services::waitServed(LAYOUT_MESSAGE_POOL_SIZE);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(layoutPcodeThroughProcessorAndThread)->UseRealTime();

} // namespace
