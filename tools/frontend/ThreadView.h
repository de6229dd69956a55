#ifndef KVR_TOOLS_FRONTEND_THREADVIEW_H
#define KVR_TOOLS_FRONTEND_THREADVIEW_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

class Registry;
class WireReader;

// A thread as the agent describes it (command 11).
struct ThreadInfo {
    uint64_t id = 0;
    std::string name;
    std::string group;
    std::string parent;
    int64_t javaId = 0;
    int64_t start = 0;
    int64_t end = -1; // -1 while the thread lives
    int64_t cpuTime = -1;
    std::vector<std::pair<uint8_t, int64_t>> statuses; // status, time in microseconds
    uint64_t creator = 0;                                // the creating thread, 0 for none
    std::vector<std::pair<uint64_t, uint16_t>> creationPath; // method ID, line
};

// One stored stack trace: frames (method ID, line), outermost first.
struct StackTraceInfo {
    int64_t time = 0;
    std::vector<std::pair<uint64_t, uint16_t>> frames;
};

// The reply of command 74: the stack traces per thread, then command 11.
struct ThreadDumpReply {
    std::map<uint64_t, std::vector<StackTraceInfo>> traces;
    int64_t time = 0;
    std::vector<ThreadInfo> threads;
};

class ThreadView {
public:
    // The body of command 11 (thread descriptions, bookmarks, descriptions).
    // `bookmarks`, when given, receives (time in microseconds, text) of each bookmark.
    static bool readThreadDescriptions(WireReader &reader, unsigned idWidth, Registry *registry, std::vector<ThreadInfo> *out,
                                       std::vector<std::pair<int64_t, std::string>> *bookmarks = nullptr);
    static bool readThreadDumpReply(const std::vector<uint8_t> &body, unsigned idWidth, Registry *registry, ThreadDumpReply *out);
    // One block per thread: its name, state and innermost frames first.
    static std::string format(const ThreadDumpReply &dump, const Registry &registry);
    // One line per thread: its name and its status history, "status@ms".
    static std::string formatStatusHistories(const std::vector<ThreadInfo> &threads);
};

#endif
