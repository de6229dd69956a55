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
    long long expected = -1;
    baseSeconds.compare_exchange_strong(expected, static_cast<long long>(now.tv_sec));
    return (static_cast<long long>(now.tv_sec) - baseSeconds.load()) * 1000000LL + now.tv_usec;
}
