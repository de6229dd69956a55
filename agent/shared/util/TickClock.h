#ifndef AGENT_TICKCLOCK_H
#define AGENT_TICKCLOCK_H

#include <atomic>
#include <cstdint>

// A reference clock read through a cheap tick counter: the counter's rate is
// measured against the reference once at construction and again, over an
// ever longer stretch, whenever a reading finds its anchor older than the
// re-anchoring interval. Readers never write shared state on the common
// path; one reader at a time moves the anchor, the others meanwhile read the
// reference itself.
class TickClock {
public:
    struct Source {
        uint64_t (*ticks)();          // the cheap counter; it must not stop or change rate
        long long (*referenceNanos)(); // the exact clock, nanoseconds; < 0 on failure
    };

    // Measures the tick rate over at least `calibrationNanos` of the
    // reference. `reanchorNanos` bounds how long one anchor is used.
    TickClock(Source source, long long calibrationNanos, long long reanchorNanos);

    // False when the counter or the reference did not move while calibrating,
    // or the reference failed: the clock must not be used then.
    bool isCalibrated() const { return calibrated; }

    // The reference clock's nanoseconds now. Thread-safe.
    long long nanos();

private:
    struct Pair {
        uint64_t ticks;
        long long nanos;
    };

    Pair readPair() const;
    long long reanchor(uint32_t sequenceSeen);

    Source source;
    bool calibrated;
    uint64_t reanchorTicks;
    Pair origin;
    // The anchor, changed under an odd `sequence` by one writer at a time.
    std::atomic<uint32_t> sequence;
    std::atomic<uint64_t> anchorTicks;
    std::atomic<long long> anchorNanos;
    std::atomic<uint64_t> nanosPerTick; // 32.32 fixed point
};

#endif
