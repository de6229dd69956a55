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
    long long nanos() { return nanosAt(source.ticks()); }

    // The same for `now`, a counter value the caller has just read (so that
    // the counter's read can be inlined where the counter is known).
    long long nanosAt(uint64_t now)
    {
        uint32_t seen = sequence.load(std::memory_order_acquire);
        uint64_t ticks = anchorTicks.load(std::memory_order_relaxed);
        long long base = anchorNanos.load(std::memory_order_relaxed);
        uint64_t scale = nanosPerTick.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        uint64_t elapsed = now - ticks;
        // The anchor is being moved or is too old: the slow path decides. A
        // counter a little behind the anchor (another core's, or read just
        // before the anchor moved) reads as the anchor.
        if (__builtin_expect((seen & 1) != 0 || sequence.load(std::memory_order_relaxed) != seen || elapsed > reanchorTicks, 0))
            return slowNanos(seen, elapsed, base);
        return base + static_cast<long long>((static_cast<unsigned __int128>(elapsed) * scale) >> 32);
    }

private:
    struct Pair {
        uint64_t ticks;
        long long nanos;
    };

    Pair readPair() const;
    long long slowNanos(uint32_t sequenceSeen, uint64_t elapsed, long long anchorBase);
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
