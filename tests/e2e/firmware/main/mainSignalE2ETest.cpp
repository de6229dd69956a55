/*
 * The daemon's stop on SIGINT when it was started the way an init script or a
 * background shell starts it, with SIGINT inherited as ignored: every start,
 * with the card emulator under a card root, in private IPC and network
 * namespaces, must take SIGINT and end through its stop sequence.
 */

#include <chrono>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <thread>

#include "../DaemonTestSupport.h"

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

size_t countOf(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}

TEST(MainSignals, SigintInheritedAsIgnoredStillStopsEveryStart)
{
    SKIP_WITHOUT_PRIVATE_NAMESPACES();
    for (int start = 0; start < STARTS; start++) {
        SCOPED_TRACE("start " + std::to_string(start));
        TempDir dir;
        std::string log = dir / "firmware.log";
        firmwareTest::makeCardRoot(dir, log);
        firmwareTest::writeConfiguration(dir, {"pcodeProcessor", "debuger"});
        pid_t pid = firmwareTest::startDaemon(dir, {"-e", "-l", dir / "log4c", "-d", "0"}, true, true);
        ASSERT_TRUE(firmwareTest::waitForLogIn(log, "Starting service pcodeProcessor", 1, 20000)) << readFile(log);
        kill(pid, SIGINT);
        int status = waitExit(pid, 15000);
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

} // namespace
