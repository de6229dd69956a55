#ifndef AGENT_COUNTER_H
#define AGENT_COUNTER_H

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

#include "TickClock.h"

// The agent's clock.
class Counter {
public:
    // Microseconds since the start of the whole second in which the counter
    // was first used; -1 when the time cannot be read. It never goes back
    // when the wall clock is set. Thread-safe; the first call measures the
    // time-stamp counter's rate for about a millisecond.
    static long long getUsec()
    {
#if defined(__x86_64__) || defined(__i386__)
        // Once the counter is calibrated a reading is inline: the counter,
        // its scale and the division, with no call.
        const Fast *fast = fastPath.load(std::memory_order_acquire);
        if (__builtin_expect(fast != nullptr, 1)) {
            long long mono = fast->ticks->nanosAt(__rdtsc());
            if (__builtin_expect(mono >= 0, 1))
                return fast->usecInSecond + (mono - fast->nanos) / 1000;
            return -1;
        }
#endif
        return slowUsec();
    }

private:
    // The calibrated counter and the origin (see Counter.cpp).
    struct Fast {
        TickClock *ticks;
        long long usecInSecond;
        long long nanos;
    };
    static std::atomic<const Fast *> fastPath;
    static long long slowUsec();
};

#endif
