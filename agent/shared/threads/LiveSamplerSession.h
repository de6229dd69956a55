#ifndef AGENT_LIVESAMPLERSESSION_H
#define AGENT_LIVESAMPLERSESSION_H

#include <atomic>

class CpuProfilingSession;

// The sampler's thread-status pass: every interval it asks the VM for the
// state of each profiled thread, makes it the thread's current status,
// counts the threads per status (the runnable count gives the CPU shares of
// thread CPU time) and, about every 200 ms, appends the displayed status to
// each thread's status history. A pass holds the thread lock.
class LiveSamplerSession {
public:
    // Thread states of the VM.
    static constexpr int STATE_RUNNABLE = 0x4;
    static constexpr int STATE_BLOCKED_ON_MONITOR_ENTER = 0x400;
    static constexpr int STATE_WAITING = 0x80;

    LiveSamplerSession(CpuProfilingSession *cpu, int intervalMs);

    // One pass at `now`. Nothing after stop(); nothing recorded while thread
    // profiling is off.
    void doThreadStatusSampling(long long now, bool threadProfiling);
    // Sets the status of every live, profiled thread at `now` and counts it;
    // with `record` the displayed status goes into its history.
    void recordThreadStatus(long long now, bool record);
    // Ends the sampler after its current pass.
    void stop() { stopped.store(true); }
    bool isStopped() const { return stopped.load(); }
    int getIntervalMs() const { return intervalMs; }

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
    int runnable;
    int blocked;
    int waiting;
    int netIO;
};

#endif
