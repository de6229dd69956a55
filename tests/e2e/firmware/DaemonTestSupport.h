#ifndef KVR_TESTS_DAEMONTESTSUPPORT_H
#define KVR_TESTS_DAEMONTESTSUPPORT_H

/*
 * What the end-to-end daemon tests share: a card root with a log4crc in a
 * temporary directory, the real kvr-firmware started on it, waits for its log
 * lines, its stop, and the QVS peer command line.
 */

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <initializer_list>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "../../firmware/main/FirmwareTestSupport.h"

namespace firmwareTest {

inline const std::string &firmwarePath()
{
    static const std::string path = std::string(KVR_BINARY_DIR) + "/bin/kvr-firmware";
    return path;
}

inline const std::string &qvsPeerPath()
{
    static const std::string path = std::string(KVR_BINARY_DIR) + "/bin/qvspeer";
    return path;
}

/*
 * The card root under `dir` ("root/..." down to "root/usr/local/q7/firmware",
 * plus `extra` directories) and "log4c/log4crc" sending every category to `logFile`
 * through the reentrant "basic_r" layout (the daemon logs from several threads).
 */
inline void makeCardRoot(const TempDir &dir, const std::string &logFile,
                         std::initializer_list<const char *> extra = {})
{
    std::vector<const char *> dirs = {"root"};
    dirs.insert(dirs.end(), extra.begin(), extra.end());
    for (const char *d : {"root/var", "root/var/run", "root/usr", "root/usr/local", "root/usr/local/q7",
                          "root/usr/local/q7/firmware", "log4c"})
        dirs.push_back(d);
    for (const char *d : dirs)
        mkdir((dir / d).c_str(), 0755);
    writeLog4crc(dir / "log4c", logFile);
}

/* "configuration.xml" of the card root enabling `services`, in this order. */
inline void writeConfiguration(const TempDir &dir, std::initializer_list<const char *> services)
{
    std::ofstream out(dir / "root/usr/local/q7/firmware/configuration.xml");
    out << "<configuration><version>1.0</version><service>";
    for (const char *service : services)
        out << "<name>" << service << "</name><enable>1</enable>";
    out << "</service></configuration>\n";
}

/*
 * Starts kvr-firmware with `arguments` on the card root of `dir`, in `dir`;
 * its output goes to "stdout" (and its errors to "stderr" when `splitStderr`,
 * else to "stdout" too). With `sigintIgnored` it inherits SIGINT ignored, as
 * from a background shell or an init script. The child's pid.
 */
inline pid_t startDaemon(const TempDir &dir, const std::vector<std::string> &arguments, bool splitStderr = false,
                         bool sigintIgnored = false)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (sigintIgnored)
            signal(SIGINT, SIG_IGN);
        setenv("KVR_ROOT", (dir / "root").c_str(), 1);
        unsetenv("SHM_HEADER_FULLPATHNAME");
        if (chdir(dir.path().c_str()) != 0)
            _exit(126);
        int out = open((dir / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = splitStderr ? open((dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644) : out;
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char *> argv;
        argv.push_back((char *)firmwarePath().c_str());
        for (const std::string &a : arguments)
            argv.push_back((char *)a.c_str());
        argv.push_back(nullptr);
        execv(firmwarePath().c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

/* The usual start: card emulator, log configuration of `dir`, no start-up delay. */
inline pid_t startEmulatedDaemon(const TempDir &dir)
{
    return startDaemon(dir, {"-e", "-l", dir / "log4c", "-d", "0"});
}

/*
 * The same, with the frame-controller link on the network (its debug server) and no time
 * requests of its own; the test's environment is left as it was.
 */
inline pid_t startEmulatedDaemonOnNetwork(const TempDir &dir)
{
    setenv("USE_NETWORK", "1", 1);
    setenv("DISABLE_TIME_UPDATE", "true", 1);
    pid_t pid = startEmulatedDaemon(dir);
    unsetenv("USE_NETWORK");
    unsetenv("DISABLE_TIME_UPDATE");
    return pid;
}

/* Kills the daemon at once and reaps it. */
inline void killDaemon(pid_t &pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

/*
 * Asks the daemon to stop (SIGTERM), kills it after 4 s, and checks that a
 * sanitizer build reported nothing into its output.
 */
inline void stopDaemon(const TempDir &dir, pid_t &pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 400 && waitpid(pid, nullptr, WNOHANG) != pid; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    killDaemon(pid);
    std::string out = readFile(dir / "stdout");
    EXPECT_EQ(out.find("AddressSanitizer"), std::string::npos) << out;
    EXPECT_EQ(out.find("runtime error:"), std::string::npos) << out;
}

/* How many times `needle` stands in the file `log`. */
inline size_t logCount(const std::string &log, const std::string &needle)
{
    std::string text = readFile(log);
    size_t found = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        found++;
    return found;
}

/* Waits until `needle` stands `count` times in the file `log`; false after `milliseconds`. */
inline bool waitForLogIn(const std::string &log, const std::string &needle, size_t count, int milliseconds)
{
    for (int i = 0; i < milliseconds / 20; i++) {
        std::string text = readFile(log);
        size_t found = 0;
        for (size_t at = text.find(needle); at != std::string::npos && found < count; at = text.find(needle, at + 1))
            found++;
        if (found >= count)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

/* Runs the qvspeer command line with `arguments`, its output into `outFile` (appended or not); system()'s result. */
/* `text` as one word of a shell command, whatever it holds (a path with a space). */
inline std::string shellWord(const std::string &text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

inline int runQvsPeer(const std::string &arguments, const std::string &outFile, bool append)
{
    return system((shellWord(qvsPeerPath()) + " " + arguments + (append ? " >> " : " > ") + shellWord(outFile) + " 2>&1")
                      .c_str());
}

} // namespace firmwareTest

#endif
