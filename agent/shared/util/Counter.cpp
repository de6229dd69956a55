#include "Counter.h"

#include <sys/time.h>
#include <time.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <x86intrin.h>
#endif

#include "TickClock.h"

namespace {

const long long CALIBRATION_NANOS = 1000000;  // 1 ms at the first reading
const long long REANCHOR_NANOS = 50000000;    // then a fresh anchor every 50 ms

long long monotonicNanos()
{
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return -1;
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

#if defined(__x86_64__) || defined(__i386__)
uint64_t timeStampCounter()
{
    return __rdtsc();
}

// The counter runs at one rate in every power state and on every core.
bool hasInvariantCounter()
{
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid(0x80000007, &eax, &ebx, &ecx, &edx) != 0 && (edx & (1u << 8)) != 0;
}
#endif

// The counter's origin: the whole second of the first reading, and where
// the monotonic clock stood then. Durations come from the monotonic clock
// (through the time-stamp counter where it is invariant, a few times
// cheaper than the system call), so stepping the wall clock never makes a
// recorded time negative.
struct Origin {
    TickClock *ticks = nullptr;
    long long usecInSecond = -1; // microseconds past the whole second at the first reading
    long long nanos = 0;         // the monotonic clock then

    Origin()
    {
#if defined(__x86_64__) || defined(__i386__)
        if (hasInvariantCounter()) {
            ticks = new TickClock(TickClock::Source{timeStampCounter, monotonicNanos}, CALIBRATION_NANOS, REANCHOR_NANOS);
            if (!ticks->isCalibrated()) {
                delete ticks;
                ticks = nullptr;
            }
        }
#endif
        struct timeval wall;
        long long mono = now();
        if (gettimeofday(&wall, nullptr) != 0 || mono < 0)
            return;
        usecInSecond = wall.tv_usec;
        nanos = mono;
    }

    long long now()
    {
#if defined(__x86_64__) || defined(__i386__)
        // The counter read inline: no call through the clock's source.
        if (ticks != nullptr)
            return ticks->nanosAt(__rdtsc());
#endif
        return monotonicNanos();
    }
};

} // namespace

std::atomic<const Counter::Fast *> Counter::fastPath(nullptr);

long long Counter::slowUsec()
{
    static Origin origin;
    if (origin.usecInSecond < 0)
        return -1;
    if (origin.ticks != nullptr) {
        // Never freed: readers on any thread keep using it.
        static const Fast fast{origin.ticks, origin.usecInSecond, origin.nanos};
        fastPath.store(&fast, std::memory_order_release);
    }
    long long mono = origin.now();
    if (mono < 0)
        return -1;
    return origin.usecInSecond + (mono - origin.nanos) / 1000;
}
