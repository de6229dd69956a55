/* Time to compute one 17 x 17 x 17 table of each conversion (target: under 5 ms). */
#include "hdrManager/hdrManager.h"

#include <benchmark/benchmark.h>
#include <cstring>
#include <vector>

namespace {

void computeTable(benchmark::State &state, int tin, int tout, int gin, int gout)
{
    hdr3DLutParams_t p;
    memset(&p, 0, sizeof p);
    p.gridSize = HDR_3DLUT_GRID_SIZE;
    p.bitDepth = HDR_3DLUT_BIT_DEPTH;
    p.inputTransferFunction = tin;
    p.outputTransferFunction = tout;
    p.inputColorGamut = gin;
    p.outputColorGamut = gout;
    p.inputRange = NARROW_RANGE;
    p.outputRange = NARROW_RANGE;
    p.inputNits = 1000;
    p.inputReferenceWhite = tin == SLog3 ? 180.0 : 100.0;
    p.outputDiffuseWhite = 203;
    p.outputMaxCll = 1000;
    std::vector<uint16_t> table(HDR_3DLUT_WORDS);
    for (auto _ : state) {
        benchmark::DoNotOptimize(create3DLUT(&p, table.data()));
        benchmark::ClobberMemory();
    }
}

BENCHMARK_CAPTURE(computeTable, SdrToPq, SDR_TV, PQ, Rec_709_601, Rec_2020)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(computeTable, SdrToHlg, SDR_TV, HLG, Rec_709_601, Rec_2020)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(computeTable, HlgToSdr, HLG, SDR_TV, Rec_2020, Rec_709_601)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(computeTable, HlgToPq, HLG, PQ, Rec_2020, Rec_2020)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(computeTable, HlgToHlg, HLG, HLG, Rec_2020, Rec_709_601)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(computeTable, PqToPq, PQ, PQ, Rec_2020, Rec_709_601)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(computeTable, PqToHlg, PQ, HLG, Rec_2020, Rec_2020)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(computeTable, PqToSdr, PQ, SDR_TV, Rec_2020, Rec_709_601)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(computeTable, Slog3ToSdr, SLog3, SDR_TV, S_Gamut3, Rec_709_601)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(computeTable, Slog3ToPq, SLog3, PQ, S_Gamut3, Rec_2020)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(computeTable, Slog3ToHlg, SLog3, HLG, S_Gamut3, Rec_2020)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(computeTable, Identity, IDENTITY, PQ, Rec_2020, Rec_2020)->Unit(benchmark::kMillisecond);

} // namespace
