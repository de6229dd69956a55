/*
 * ProcLoudness for the card's 36 instances, one block each: the work of the
 * loudness thread per block. At 10 blocks a second, under 1 % of one core
 * means under 1 ms per iteration. The 10th iteration of every ten runs both
 * histogram evaluations, so the mean includes them.
 */
#include "shared/LoudnessMeasure/src/loudnessmeasure.h"

#include <benchmark/benchmark.h>
#include <cmath>
#include <vector>

namespace {

const int INSTANCES = 36;

void procLoudness36(benchmark::State &state)
{
    std::vector<loudnessMeasure> meters(INSTANCES);
    for (loudnessMeasure &m : meters)
        InitLoudness(&m);
    /* A varying programme between about -45 and -10 dB. */
    std::vector<uint16_t> levels(1000);
    for (size_t i = 0; i < levels.size(); i++)
        levels[i] = (uint16_t)(65536.0 * std::pow(10.0, (-45.0 + 35.0 * ((i * 7919) % 1000) / 1000.0) / 20.0));
    loudnessResult result;
    size_t block = 0;
    for (auto _ : state) {
        for (int n = 0; n < INSTANCES; n++)
            ProcLoudness(&meters[n], levels[(block + n * 13) % levels.size()], &result);
        benchmark::DoNotOptimize(result);
        block++;
    }
}

BENCHMARK(procLoudness36)->Unit(benchmark::kMicrosecond);

} // namespace
