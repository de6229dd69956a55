/*
 * The daemon's stop on SIGINT when it was started the way an init script or a
 * background shell starts it, with SIGINT inherited as ignored: every start of
 * "kvr-firmware -e -r SERVER" with the card emulator under a card root, in
 * private IPC and network namespaces, must take SIGINT and end through its
 * stop sequence. In server mode the QVS link's manager thread runs a command
 * (qvoutil -V) while main goes on starting; half the starts are signalled
 * while such a command runs, half once the services run.
 */

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <cstring>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

#include "../DaemonTestSupport.h"
#include "cardsim/cardsim.h"

using firmwareTest::readFile;

namespace {

enum { STARTS = 20 };

/* Waits for the child's exit; its exit status, 128 + signal, or -1 when it did not end in time. */
int waitExit(pid_t &pid, int milliseconds)
{
    for (int i = 0; i < milliseconds / 5; i++) {
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

bool waitForFile(const std::string &path, int milliseconds)
{
    struct stat st;
    for (int i = 0; i < milliseconds / 2; i++) {
        if (stat(path.c_str(), &st) == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

size_t countOf(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}

/*
 * The card root of one start: the card's stand-ins, a boot environment that
 * gives the card the loopback address for the QVS server, and a qvoutil that
 * marks that it runs and takes a while, so a signal can arrive during it.
 */
void prepareRoot(const TempDir &dir)
{
    firmwareTest::makeCardRoot(dir, dir / "firmware.log");
    firmwareTest::writeConfiguration(dir, {"pcodeProcessor", "debuger"});
    setenv("KVR_ROOT", (dir / "root").c_str(), 1);
    ASSERT_EQ(cardsimInstallStandIns(), 0);
    ASSERT_EQ(cardsimFlashWrite({"ipaddr=127.0.0.1"}, 0x1000, 0), 0);
    unsetenv("KVR_ROOT");
    std::string qvoutil = dir / "root/bin/qvoutil";
    ASSERT_EQ(rename(qvoutil.c_str(), (qvoutil + ".real").c_str()), 0);
    std::ofstream(qvoutil) << "#!/bin/sh\ntouch \"$KVR_ROOT/qvoutil.running\"\nsleep 0.3\nexec \"$0.real\" \"$@\"\n";
    chmod(qvoutil.c_str(), 0755);
}

TEST(MainSignals, SigintInheritedAsIgnoredStillStopsEveryStart)
{
    SKIP_WITHOUT_PRIVATE_NAMESPACES();
    for (int start = 0; start < STARTS; start++) {
        bool duringCommand = start % 2 == 0;
        SCOPED_TRACE("start " + std::to_string(start) + (duringCommand ? ", signal while a command runs" : ""));
        TempDir dir;
        prepareRoot(dir);
        std::string log = dir / "firmware.log";
        pid_t pid =
            firmwareTest::startDaemon(dir, {"-e", "-l", dir / "log4c", "-d", "0", "-r", "SERVER"}, true, true);
        if (duringCommand)
            ASSERT_TRUE(waitForFile(dir / "root/qvoutil.running", 20000)) << readFile(log);
        else
            ASSERT_TRUE(firmwareTest::waitForLogIn(log, "Starting service pcodeProcessor", 1, 20000)) << readFile(log);
        kill(pid, SIGINT);
        int status = waitExit(pid, 20000);
        firmwareTest::killDaemon(pid);
        ASSERT_EQ(status, 0) << readFile(dir / "stderr");
        EXPECT_NE(readFile(dir / "stderr").find("Caught SIGINT: going down\n"), std::string::npos);
        std::string logged = readFile(log);
        EXPECT_NE(logged.find("Caught SIGINT: going down"), std::string::npos);
        EXPECT_NE(logged.find("main: stopping the services"), std::string::npos);
        size_t initialised = countOf(logged, ": initialisation complete");
        EXPECT_GT(initialised, 0u);
        EXPECT_EQ(countOf(logged, ": terminated"), initialised) << logged;
        EXPECT_NE(logged.find("main: firmware stopped"), std::string::npos);
    }
}

/*
 * SIGPIPE and SIGABRT sent to the running daemon are logged and the daemon
 * goes on (it still stops through its stop sequence on SIGINT); SIGSEGV is
 * logged and the daemon dies of it.
 */
TEST(MainSignals, PipeAbortAndSegvHandlers)
{
    SKIP_WITHOUT_PRIVATE_NAMESPACES();
    const struct {
        int signal;
        const char *line;
        bool survives;
    } cases[] = {
        {SIGPIPE, "Caught SIGPIPE: Process id %u trying to write to a socket that is closed! will simply log message and "
                  "ignore broken pipe!",
         true},
        {SIGABRT, "Caught SIGABRT: going down:: Process id %u!", true},
        {SIGSEGV, "Caught SIGSEGV: going down:: Process id %u Segmentation fault! signal 11", false},
    };
    /* A daemon killed by SIGSEGV leaves no core file behind. */
    struct rlimit previous;
    getrlimit(RLIMIT_CORE, &previous);
    struct rlimit none = {0, previous.rlim_max};
    setrlimit(RLIMIT_CORE, &none);
    for (const auto &c : cases) {
        SCOPED_TRACE(strsignal(c.signal));
        TempDir dir;
        firmwareTest::makeCardRoot(dir, dir / "firmware.log");
        firmwareTest::writeConfiguration(dir, {"pcodeProcessor"});
        std::string log = dir / "firmware.log";
        pid_t pid = firmwareTest::startDaemon(dir, {"-e", "-l", dir / "log4c", "-d", "0"}, true);
        ASSERT_TRUE(firmwareTest::waitForLogIn(log, "Starting service pcodeProcessor", 1, 20000)) << readFile(log);
        kill(pid, c.signal);
        /* The thread id the line names is the kernel's: any number. */
        std::string line = c.line;
        std::string head = line.substr(0, line.find("%u")), tail = line.substr(line.find("%u") + 2);
        ASSERT_TRUE(firmwareTest::waitForLogIn(log, head, 1, 20000)) << readFile(log);
        std::string logged = readFile(log);
        size_t at = logged.find(head) + head.size();
        size_t digits = logged.find_first_not_of("0123456789", at);
        EXPECT_GT(digits, at) << logged;
        EXPECT_EQ(logged.compare(digits, tail.size(), tail), 0) << logged;
        if (c.survives) {
            kill(pid, SIGINT);
            EXPECT_EQ(waitExit(pid, 20000), 0) << readFile(dir / "stderr");
            EXPECT_NE(readFile(log).find("main: firmware stopped"), std::string::npos);
        } else {
            EXPECT_EQ(waitExit(pid, 20000), 128 + SIGSEGV);
        }
        firmwareTest::killDaemon(pid);
    }
    setrlimit(RLIMIT_CORE, &previous);
}

} // namespace
