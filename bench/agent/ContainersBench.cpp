// Lookups and inserts of the agent's hash containers and pools.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "PointerHashMap.h"
#include "PointerHashSet.h"
#include "StandaloneTableInstancePool.h"

namespace {

void *pointerAt(int64_t i)
{
    return reinterpret_cast<void *>(static_cast<uintptr_t>(0x7f0000000000ULL + i * 16));
}

void pointerMapLookup(benchmark::State &state)
{
    PointerHashMap<void, void *> map(11, 0.75f);
    const int64_t n = state.range(0);
    for (int64_t i = 0; i < n; i++)
        map.put(pointerAt(i), pointerAt(i));
    int64_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(map.get(pointerAt(i)));
        i = (i + 1) % n;
    }
}
BENCHMARK(pointerMapLookup)->Arg(1000)->Arg(200000);

void fixedCapacityMapInsert(benchmark::State &state)
{
    for (auto _ : state) {
        PointerHashMap<void, int> map(200000, 0.0f);
        for (int i = 0; i < state.range(0); i++)
            map.put(i, pointerAt(i));
        benchmark::DoNotOptimize(map.size());
    }
}
BENCHMARK(fixedCapacityMapInsert)->Arg(100000);

void pointerSetRefill(benchmark::State &state)
{
    PointerHashSet<void> set(11, 0.75f);
    for (auto _ : state) {
        for (int64_t i = 0; i < state.range(0); i++)
            set.add(pointerAt(i));
        set.clear();
    }
}
BENCHMARK(pointerSetRefill)->Arg(10000);

void tablePoolIds(benchmark::State &state)
{
    StandaloneTableInstancePool<int64_t> pool(true, 10);
    for (auto _ : state) {
        int id = pool.getNewInstanceId();
        benchmark::DoNotOptimize(pool.getInstance(id));
        pool.freeInstance(id);
    }
}
BENCHMARK(tablePoolIds);

} // namespace
