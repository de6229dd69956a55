#include "Counter.h"

#include <atomic>
#include <sys/time.h>

namespace {

std::atomic<long long> baseSeconds{-1};

} // namespace

long long Counter::getUsec()
{
    struct timeval now;
    if (gettimeofday(&now, nullptr) != 0)
        return -1;
    // Only the first reading sets the base: later readings must not write the
    // shared word, which every recording thread reads on every method event.
    long long base = baseSeconds.load(std::memory_order_relaxed);
    if (base < 0) {
        long long expected = -1;
        baseSeconds.compare_exchange_strong(expected, static_cast<long long>(now.tv_sec));
        base = baseSeconds.load();
    }
    return (static_cast<long long>(now.tv_sec) - base) * 1000000LL + now.tv_usec;
}
