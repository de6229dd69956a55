// Shared by the tests that run tiagent in a real JVM: a private working
// directory below the build tree, a JVM child process with its own TMPDIR and
// HOME, free loopback ports.
#ifndef KVR_TESTS_E2E_AGENT_JVMPROCESS_H
#define KVR_TESTS_E2E_AGENT_JVMPROCESS_H

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "../../support/LoopbackSocket.h"

namespace jvmtest {

using Clock = std::chrono::steady_clock;

inline std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::stringstream s(text);
    for (std::string line; std::getline(s, line);)
        out.push_back(line);
    return out;
}

inline std::vector<std::string> agentLines(const std::string &text)
{
    std::vector<std::string> out;
    for (const std::string &l : lines(text)) {
        if (l.rfind("Orvane> ", 0) == 0)
            out.push_back(l);
    }
    return out;
}

inline std::vector<std::string> listDir(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..")
                names.push_back(n);
        }
        closedir(d);
    }
    return names;
}

inline bool fileExists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// JVMs here get a private /tmp when we are root, so that nothing the VM or
// jcmd leaves there (perf data, attach sockets) escapes the test. As root, a
// private /tmp that cannot be made fails the JVM's start, and so the test.
inline bool canIsolateTmp() { return geteuid() == 0; }

// The line a test skips with when it needs a private /tmp and this is not root.
constexpr const char *NOT_ROOT_PRIVATE_TMP = "not root: a private /tmp (unshare --mount) needs root";

// The shell line that gives a command a private /tmp. A source or build tree
// below /tmp stays where it is: each is held open on a descriptor while the
// tmpfs covers /tmp, then bound back at its own path from that descriptor
// (not canonicalised: the path itself now names the tmpfs).
inline std::string privateTmpScript()
{
    std::string source = KVR_SOURCE_DIR;
    std::string build = KVR_BINARY_DIR;
    std::vector<std::string> trees;
    if (source.rfind("/tmp/", 0) == 0)
        trees.push_back(source);
    if (build.rfind("/tmp/", 0) == 0 && build.rfind(source + "/", 0) != 0)
        trees.push_back(build);
    std::string hold, bind;
    for (size_t i = 0; i < trees.size(); i++) {
        std::string fd = std::to_string(3 + i);
        hold += "exec " + fd + "<'" + trees[i] + "' && ";
        bind += "mkdir -p '" + trees[i] + "' && mount --no-canonicalize --bind /proc/$$/fd/" + fd + " '" + trees[i] + "' && exec " +
                fd + "<&- && ";
    }
    return hold + "mount -t tmpfs -o mode=1777 tmpfs /tmp && " + bind + "exec \"$0\" \"$@\"";
}

// A working directory of the test below the build tree (the private /tmp of a
// JVM would hide one below /tmp), removed with everything in it.
class WorkDir {
public:
    WorkDir()
    {
        std::string pattern = std::string(KVR_BINARY_DIR) + "/tests/tiagent-e2e.XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        char *made = mkdtemp(name.data());
        path = made != nullptr ? made : "";
    }
    ~WorkDir()
    {
        if (!path.empty())
            std::system(("rm -rf '" + path + "'").c_str());
    }
    std::string operator/(const std::string &n) const { return path + "/" + n; }
    std::string path;
};

// One JVM (or jcmd) with its own TMPDIR and HOME, output kept in files.
class JvmProcess {
public:
    JvmProcess(const std::string &dir, const std::string &name) : outPath(dir + "/" + name + ".out"), errPath(dir + "/" + name + ".err") {}
    ~JvmProcess()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        closeInput();
    }

    bool start(const std::vector<std::string> &command, const std::string &tmpdir, const std::string &home, bool isolate)
    {
        std::vector<std::string> argv;
        if (isolate) {
            argv = {"unshare", "--mount", "--propagation", "private", "sh", "-c", privateTmpScript()};
        }
        argv.insert(argv.end(), command.begin(), command.end());
        int input[2];
        // Close-on-exec: a second process the test starts must not hold this
        // one's input open.
        if (pipe2(input, O_CLOEXEC) != 0)
            return false;
        pid = fork();
        if (pid == 0) {
            struct rlimit noCore = {0, 0};
            setrlimit(RLIMIT_CORE, &noCore);
            dup2(input[0], 0);
            close(input[0]);
            close(input[1]);
            int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, 1);
            dup2(err, 2);
            setenv("TMPDIR", tmpdir.c_str(), 1);
            setenv("HOME", home.c_str(), 1);
            unsetenv("ORVANE_JVMTI");
            unsetenv("JAVA_TOOL_OPTIONS");
            if (chdir(tmpdir.c_str()) != 0)
                _exit(126);
            std::vector<char *> args;
            for (std::string &a : argv)
                args.push_back(&a[0]);
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        close(input[0]);
        inputFd = input[1];
        return pid > 0;
    }

    // Waits for the process to end; false on time-out.
    bool waitExit(int seconds)
    {
        Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
        while (Clock::now() < end) {
            int s;
            pid_t r = waitpid(pid, &s, WNOHANG);
            if (r == pid) {
                status = s;
                pid = -1;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // True while the process has not ended; looks once, without waiting.
    bool running()
    {
        int s;
        if (pid > 0 && waitpid(pid, &s, WNOHANG) == pid) {
            status = s;
            pid = -1;
        }
        return pid > 0;
    }

    // Waits until standard error or output holds text; false on time-out.
    bool waitFor(const std::string &text, bool inStdout, int seconds)
    {
        Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
        while (Clock::now() < end) {
            if ((inStdout ? out() : err()).find(text) != std::string::npos)
                return true;
            if (pid > 0) {
                int s;
                if (waitpid(pid, &s, WNOHANG) == pid) {
                    status = s;
                    pid = -1;
                }
            }
            if (pid < 0)
                return (inStdout ? out() : err()).find(text) != std::string::npos;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // Writes text to the process's standard input.
    bool writeInput(const std::string &text)
    {
        return inputFd >= 0 && write(inputFd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }

    void closeInput()
    {
        if (inputFd >= 0)
            close(inputFd);
        inputFd = -1;
    }
    std::string out() const { return readFile(outPath); }
    std::string err() const { return readFile(errPath); }
    int exitCode() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
    int termSignal() const { return WIFSIGNALED(status) ? WTERMSIG(status) : 0; }
    pid_t getPid() const { return pid; }

    // Waits until a thread of the VM sleeps reading its standard input
    // (read on descriptor 0): the program has finished what it answered
    // last and allocates nothing more until the next line. False after
    // `seconds` or when the VM has ended.
    bool waitReadingInput(int seconds) const
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        std::string tasks = "/proc/" + std::to_string(pid) + "/task";
        while (std::chrono::steady_clock::now() < end) {
            DIR *dir = pid > 0 ? opendir(tasks.c_str()) : nullptr;
            if (dir == nullptr)
                return false;
            bool reading = false;
            while (struct dirent *task = readdir(dir)) {
                if (task->d_name[0] == '.')
                    continue;
                std::ifstream syscall(tasks + "/" + task->d_name + "/syscall");
                std::string number, fd;
                if (syscall >> number >> fd && number == "0" && fd == "0x0")
                    reading = true;
            }
            closedir(dir);
            if (reading)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

private:
    std::string outPath;
    std::string errPath;
    pid_t pid = -1;
    int inputFd = -1;
    int status = -1;
};

using loopbackSocket::PortReservation;

inline bool canConnect(int port)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

} // namespace jvmtest

#endif
