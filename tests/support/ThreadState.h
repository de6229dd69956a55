#ifndef KVR_TESTS_THREADSTATE_H
#define KVR_TESTS_THREADSTATE_H

#include <dirent.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <thread>

// Lets a test wait until another thread of the process blocks (in a receive,
// a condition wait...), so that what it does next meets the thread inside
// that wait instead of before or after it.
namespace threadState {

// The kernel's id of the calling thread.
inline pid_t currentTid() { return (pid_t)syscall(SYS_gettid); }

// True while the thread whose /proc directory is `task` sleeps in the kernel.
inline bool taskSleeping(const std::string &task)
{
    std::ifstream stat(task + "/stat");
    std::string line;
    std::getline(stat, line);
    size_t end = line.rfind(')');
    return end != std::string::npos && end + 2 < line.size() && line[end + 2] == 'S';
}

// True while thread `tid` of this process sleeps in the kernel.
inline bool sleeping(pid_t tid)
{
    return taskSleeping("/proc/self/task/" + std::to_string(tid));
}

// True while every thread of process `pid` (another one) sleeps in the kernel:
// nothing of it runs or is about to run.
inline bool processSleeping(pid_t pid)
{
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *dir = opendir(tasks.c_str());
    if (!dir)
        return false;
    bool all = true, any = false;
    while (struct dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        any = true;
        all = all && taskSleeping(tasks + "/" + entry->d_name);
    }
    closedir(dir);
    return any && all;
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

// The kernel's ids of the threads of this process.
inline std::set<pid_t> threads()
{
    std::set<pid_t> ids;
    if (DIR *dir = opendir("/proc/self/task")) {
        while (struct dirent *entry = readdir(dir)) {
            if (entry->d_name[0] != '.')
                ids.insert((pid_t)atoi(entry->d_name));
        }
        closedir(dir);
    }
    return ids;
}

// The number of the system call thread `tid` is blocked in; -1 while it runs.
inline long systemCall(pid_t tid)
{
    std::ifstream call("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    return call >> number ? number : -1;
}

// True while thread `tid` sleeps in a futex wait on a word inside the `size`
// bytes at `address` (a semaphore, mutex or condition variable there).
inline bool waitingOn(pid_t tid, const void *address, size_t size)
{
    std::ifstream call("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    std::string first;
    if (!(call >> number >> first) || number != SYS_futex)
        return false;
    uintptr_t word = (uintptr_t)strtoull(first.c_str(), nullptr, 16);
    uintptr_t start = (uintptr_t)address;
    return word >= start && word < start + size && sleeping(tid);
}

// Waits until thread `tid` sleeps waiting on `object`; false after `limit`.
template <typename T>
inline bool waitUntilWaitingOn(pid_t tid, const T *object, std::chrono::milliseconds limit = std::chrono::milliseconds(10000))
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (!waitingOn(tid, object, sizeof *object)) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// True while thread `tid` sleeps in nanosleep or clock_nanosleep.
inline bool inTimedSleep(pid_t tid)
{
    long call = systemCall(tid);
    return sleeping(tid) && (call == SYS_nanosleep || call == SYS_clock_nanosleep);
}

// How often thread `tid` has given up the processor to wait (a sleep, a
// lock, a read); -1 when it is gone.
inline long voluntarySwitches(pid_t tid)
{
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
            return atol(line.c_str() + line.find(':') + 1);
    }
    return -1;
}

// True while thread `tid` sleeps in a futex wait (a condition variable, a
// semaphore, a contended mutex).
inline bool inFutexWait(pid_t tid)
{
    return sleeping(tid) && systemCall(tid) == SYS_futex;
}

// Waits until `in(tid)` holds for thread `tid` having given up the processor
// more than `switches` times in all; false after `limit`.
inline bool waitForSleepAfter(pid_t tid, long switches, bool (*in)(pid_t), std::chrono::milliseconds limit)
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (!(voluntarySwitches(tid) > switches && in(tid))) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Waits until thread `tid` sleeps in a timed sleep having given up the
// processor more than `switches` times in all; false after `limit`.
inline bool waitForTimedSleepAfter(pid_t tid, long switches,
                                   std::chrono::milliseconds limit = std::chrono::milliseconds(10000))
{
    return waitForSleepAfter(tid, switches, inTimedSleep, limit);
}

// Waits until thread `tid` sleeps in a futex wait having given up the
// processor more than `switches` times in all; false after `limit`.
inline bool waitForFutexWaitAfter(pid_t tid, long switches,
                                  std::chrono::milliseconds limit = std::chrono::milliseconds(10000))
{
    return waitForSleepAfter(tid, switches, inFutexWait, limit);
}

} // namespace threadState

#endif
