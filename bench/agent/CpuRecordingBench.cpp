// Cost of one method entry plus exit on the CPU recording path, with
// recording on and off and with method statistics, on a thread manager
// driven directly.
#include <benchmark/benchmark.h>

#include "ClassData.h"
#include "ClassProfilingSession.h"
#include "Counter.h"
#include "CpuProfilingSession.h"
#include "LiveThreadManager.h"
#include "MethodDesc.h"
#include "ProfilingSession.h"
#include "VmInterface.h"

namespace {

// The real clock, as the agent's VM binding gives it; the stack holds the
// thread's outermost method.
class ClockVm : public VmInterface {
public:
    ClockVm() { agentCounter = true; }
    MethodDesc *outer = nullptr;
    long long getUsec() override { return Counter::getUsec(); }
    long long getCurrentThreadCpuUsec() override { return -1; }
    bool getStackTrace(std::vector<StackFrame> *out) override
    {
        out->assign(1, StackFrame{outer, 0});
        return true;
    }
    bool getThreadStacks(const std::vector<void *> &, std::vector<std::vector<StackFrame>> *) override { return false; }
};

// `depth` calls are open below the outermost one, as in a recursion.
void entryExitPairs(benchmark::State &state, bool recording, bool statistics = false, int depth = 0)
{
    ProfilingSession profiling;
    ClassProfilingSession classes(&profiling);
    ClassData cls("bench.Work", &classes);
    ClockVm vm;
    CpuProfilingSession cpu(&profiling, &vm, CpuProfilingSession::Settings());
    MethodDesc *outer = new MethodDesc(&cls, "run", -1, "()V", -1, &classes, cls.getClassName());
    MethodDesc *inner = new MethodDesc(&cls, "work", -1, "()V", -1, &classes, cls.getClassName());
    classes.addMethodDesc(outer);
    classes.addMethodDesc(inner);
    vm.outer = outer;
    int32_t outerId = cpu.getMethodHandles().getHandle(outer);
    int32_t innerId = cpu.getMethodHandles().getHandle(inner);
    cpu.setCpuRecord(recording, true);
    if (statistics)
        cpu.setRecordMethodStatistics(true);
    LiveThreadManager *thread = cpu.createThreadManager();
    cpu.agentMethodEntry(thread, outerId, 0, false, false, true);
    for (int i = 0; i < depth; i++)
        cpu.agentMethodEntry(thread, innerId, 7, false, false, true);
    for (auto _ : state) {
        benchmark::DoNotOptimize(cpu.agentMethodEntry(thread, innerId, 7, false, false, true));
        benchmark::DoNotOptimize(cpu.agentMethodExit(thread, innerId, false));
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_EntryExitRecording(benchmark::State &state)
{
    entryExitPairs(state, true);
}

void BM_EntryExitNotRecording(benchmark::State &state)
{
    entryExitPairs(state, false);
}

// 30 calls deep: a call's time reaches its callers when it ends, so the
// depth should cost nothing.
void BM_EntryExitRecordingDeep(benchmark::State &state)
{
    entryExitPairs(state, true, false, 30);
}

// With method statistics: each exit also feeds the method's histogram.
void BM_EntryExitRecordingWithStatistics(benchmark::State &state)
{
    entryExitPairs(state, true, true);
}

// One reading of the agent's clock: two of them are on every recorded call.
void BM_ClockReading(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(Counter::getUsec());
}

BENCHMARK(BM_ClockReading);
BENCHMARK(BM_EntryExitRecording);
BENCHMARK(BM_EntryExitRecordingDeep);
BENCHMARK(BM_EntryExitRecordingWithStatistics);
BENCHMARK(BM_EntryExitNotRecording);

} // namespace
