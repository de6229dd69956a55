#include "TickClock.h"

namespace {

// Each pair is read this many times; the try whose two tick readings lie
// closest together was interrupted least.
const int PAIR_TRIES = 3;

uint64_t scaleOf(uint64_t ticks, long long nanos)
{
    if (ticks == 0 || nanos <= 0)
        return 0;
    return static_cast<uint64_t>((static_cast<unsigned __int128>(nanos) << 32) / ticks);
}

} // namespace

TickClock::TickClock(Source clockSource, long long calibrationNanos, long long reanchorNanos)
    : source(clockSource), calibrated(false), reanchorTicks(0), origin{0, 0}, sequence(0), anchorTicks(0), anchorNanos(0),
      nanosPerTick(0)
{
    origin = readPair();
    if (origin.nanos < 0)
        return;
    Pair end = origin;
    // Bounded: a reference that stands still for this many readings is broken.
    for (long i = 0; i < 1000000L && end.nanos - origin.nanos < calibrationNanos; i++) {
        end = readPair();
        if (end.nanos < 0)
            return;
    }
    uint64_t scale = scaleOf(end.ticks - origin.ticks, end.nanos - origin.nanos);
    if (end.ticks <= origin.ticks || scale == 0)
        return;
    reanchorTicks = static_cast<uint64_t>((static_cast<unsigned __int128>(reanchorNanos) << 32) / scale);
    if (reanchorTicks == 0)
        reanchorTicks = 1;
    anchorTicks.store(end.ticks);
    anchorNanos.store(end.nanos);
    nanosPerTick.store(scale);
    calibrated = true;
}

TickClock::Pair TickClock::readPair() const
{
    Pair best{0, -1};
    uint64_t bestGap = ~0ULL;
    for (int i = 0; i < PAIR_TRIES; i++) {
        uint64_t before = source.ticks();
        long long nanos = source.referenceNanos();
        uint64_t after = source.ticks();
        if (nanos < 0)
            return Pair{0, -1};
        uint64_t gap = after - before;
        if (gap < bestGap) {
            bestGap = gap;
            best = Pair{before + gap / 2, nanos};
        }
    }
    return best;
}

long long TickClock::slowNanos(uint32_t seen, uint64_t elapsed, long long base)
{
    // The anchor is being moved: the reference is exact, if slower.
    if ((seen & 1) != 0 || sequence.load(std::memory_order_relaxed) != seen)
        return source.referenceNanos();
    if (static_cast<int64_t>(elapsed) < 0)
        return base;
    return reanchor(seen);
}

long long TickClock::reanchor(uint32_t seen)
{
    if (!sequence.compare_exchange_strong(seen, seen + 1, std::memory_order_acquire))
        return source.referenceNanos();
    std::atomic_thread_fence(std::memory_order_release);
    Pair now = readPair();
    if (now.nanos >= 0 && now.ticks > origin.ticks) {
        // Measured from the first pair: the longer the stretch, the truer the rate.
        uint64_t scale = scaleOf(now.ticks - origin.ticks, now.nanos - origin.nanos);
        if (scale != 0) {
            anchorTicks.store(now.ticks, std::memory_order_relaxed);
            anchorNanos.store(now.nanos, std::memory_order_relaxed);
            nanosPerTick.store(scale, std::memory_order_relaxed);
        }
    }
    sequence.store(seen + 2, std::memory_order_release);
    return now.nanos >= 0 ? now.nanos : source.referenceNanos();
}
