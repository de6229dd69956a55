#ifndef AGENT_LIVESAMPLERSESSION_H
#define AGENT_LIVESAMPLERSESSION_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <unordered_map>

#include "SamplerSession.h"

class CallTreeSampler;
class CpuProfilingSession;
class LiveThreadManager;

// The sampler's thread-status pass: every interval it asks the VM for the
// state of each profiled thread, makes it the thread's current status,
// counts the threads per status (the runnable count gives the CPU shares of
// thread CPU time) and, about every 200 ms, appends the displayed status to
// each thread's status history. A pass holds the thread lock. The Java
// side's telemetry tick adds one sample with the counts of the last pass.
class LiveSamplerSession : public SamplerSession {
public:
    // Thread states of the VM.
    static constexpr int STATE_RUNNABLE = 0x4;
    static constexpr int STATE_BLOCKED_ON_MONITOR_ENTER = 0x400;
    static constexpr int STATE_WAITING = 0x80;

    LiveSamplerSession(CpuProfilingSession *cpu, int intervalMs);
    ~LiveSamplerSession() override;

    // One pass at `now`. Nothing after stop(); no statuses recorded while
    // thread profiling is off; stacks sampled (collection method 3) only
    // while CPU or allocation recording is on.
    void doThreadStatusSampling(long long now, bool threadProfiling);
    // With the sampling collection method and CPU recording on: the stack
    // of every live, profiled thread goes into its call tree, `interval`
    // microseconds on its innermost node. Call under the thread monitor.
    void sampleCallTrees(long long interval);
    // The next pass starts the sampled trees afresh.
    void restart() { restarted = true; }
    // Sets the status of every live, profiled thread at `now` and counts it;
    // with `record` the displayed status goes into its history.
    void recordThreadStatus(long long now, bool record);
    // Ends the sampler after its current pass.
    void stop() { stopped.store(true); }
    bool isStopped() const { return stopped.load(); }
    int getIntervalMs() const { return intervalMs; }

    // What the VM side counts for one telemetry sample.
    struct VmCounts {
        int32_t unfilteredClasses = 0;
        int32_t filteredClasses = 0;
        int32_t liveObjects = 0;
        int32_t liveArrays = 0;
        int32_t freedObjects = 0;
        int32_t createdObjects = 0;
    };
    // One tick of the Java side at `now`: the VM counts, the two memory
    // values in bytes (kept in KB, rounded toward zero), the thread counts
    // of the last pass and `count` custom values.
    void addJavaSample(long long now, const VmCounts &vm, long long memory1, long long memory2, const int32_t *custom,
                       int count);

    // The counts of the last pass.
    int getNumActiveThreads() const { return runnable; }
    int getBlockedThreads() const { return blocked; }
    int getWaitingThreads() const { return waiting; }
    int getNetIOThreads() const { return netIO; }

private:
    CpuProfilingSession *cpu;
    int intervalMs;
    // The history is recorded on every statusPassPeriod-th pass (200 ms).
    int statusPassPeriod;
    int statusPassCounter;
    std::atomic<bool> stopped;
    // Sampled trees: the previous pass's sampler of each thread.
    std::unordered_map<LiveThreadManager *, std::unique_ptr<CallTreeSampler>> samplers;
    bool restarted = false;
    long long previousPass = 0;
    int runnable;
    int blocked;
    int waiting;
    int netIO;
};

#endif
