#ifndef KVR_TESTS_THREADSTATE_H
#define KVR_TESTS_THREADSTATE_H

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

// Lets a test wait until another thread of the process blocks (in a receive,
// a condition wait...), so that what it does next meets the thread inside
// that wait instead of before or after it.
namespace threadState {

// The kernel's id of the calling thread.
inline pid_t currentTid() { return (pid_t)syscall(SYS_gettid); }

// True while thread `tid` of this process sleeps in the kernel.
inline bool sleeping(pid_t tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    size_t end = line.rfind(')');
    return end != std::string::npos && end + 2 < line.size() && line[end + 2] == 'S';
}

// Waits until thread `tid` sleeps; false after `limit`.
inline bool waitUntilSleeping(pid_t tid, std::chrono::milliseconds limit = std::chrono::milliseconds(10000))
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (!sleeping(tid)) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace threadState

#endif
