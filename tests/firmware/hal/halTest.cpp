#include "hal/hal.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

#include "../../support/TempDir.h"

namespace {

std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeScript(const std::string &path, const std::string &body)
{
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), 0755);
}

class HalTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("KVR_ROOT", root.path().c_str(), 1); }
    void TearDown() override { unsetenv("KVR_ROOT"); }
    TempDir root;
};

TEST_F(HalTest, PathsMoveBelowTheCardRoot)
{
    EXPECT_EQ(halPath("/usr/local/q7/firmware/layout.bin"), root.path() + "/usr/local/q7/firmware/layout.bin");
    EXPECT_EQ(halPath("relative/file"), "relative/file");
    unsetenv("KVR_ROOT");
    EXPECT_EQ(halPath("/etc/vsftpd.conf"), "/etc/vsftpd.conf");
    EXPECT_EQ(halUnderCardRoot(), 0);
}

TEST_F(HalTest, ServersBindLoopbackOnlyUnderACardRoot)
{
    EXPECT_EQ(halServerBindAddress(), (uint32_t)INADDR_LOOPBACK);
    unsetenv("KVR_ROOT");
    EXPECT_EQ(halServerBindAddress(), (uint32_t)INADDR_ANY);
}

TEST_F(HalTest, AFileACommandRemovedGoesBelowTheRootOnly)
{
    mkdir((root / "var").c_str(), 0755);
    mkdir((root / "var/lock").c_str(), 0755);
    std::ofstream(root / "var/lock/updateManager.lock") << "owner";
    /* The recorded "rm" removed nothing: the hal removes the file below the root. */
    halRunCommand("rm -f /var/lock/updateManager.lock");
    EXPECT_EQ(halCommandRemovedFile("/var/lock/updateManager.lock"), 0);
    struct stat st;
    EXPECT_NE(stat((root / "var/lock/updateManager.lock").c_str(), &st), 0);
    /* Gone already, or a relative path: nothing to do. */
    EXPECT_EQ(halCommandRemovedFile("/var/lock/updateManager.lock"), 0);
    EXPECT_EQ(halCommandRemovedFile("relative"), 0);
    /* On the card the command did the work: the hal touches no file (here one in the test's own directory). */
    std::string kept = root / "kept";
    std::ofstream(kept) << "x";
    unsetenv("KVR_ROOT");
    EXPECT_EQ(halCommandRemovedFile(kept.c_str()), 0);
    EXPECT_EQ(stat(kept.c_str(), &st), 0);
}

TEST_F(HalTest, CommandWithoutStandInIsOnlyRecorded)
{
    int status = halRunCommand("/bin/qvoutil --enableRJ45Leds on");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(readFile(root / "var/log/hal.log"), "command /bin/qvoutil --enableRJ45Leds on\n");
}

TEST_F(HalTest, StandInRunsWithPathsBelowTheRoot)
{
    mkdir((root / "sbin").c_str(), 0755);
    mkdir((root / "bin").c_str(), 0755);
    // The stand-in tclsh writes its arguments and fails with status 3.
    writeScript(root / "bin/tclsh", "echo \"$@\" > \"$KVR_ROOT/args\"; exit 3");
    int status = halRunCommand("tclsh /sbin/update_FPGA.tcl /usr/local/q7/fsm.bit FSM");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_EQ(readFile(root / "args"),
              root.path() + "/sbin/update_FPGA.tcl " + root.path() + "/usr/local/q7/fsm.bit FSM\n");
}

TEST_F(HalTest, RebootClockAndRealtimeAreRecordedNotPerformed)
{
    mkdir((root / "sbin").c_str(), 0755);
    writeScript(root / "sbin/reboot", "touch \"$KVR_ROOT/rebooted\"");
    EXPECT_EQ(halReboot(), 0);
    struct stat st;
    EXPECT_EQ(stat((root / "rebooted").c_str(), &st), 0);

    struct timeval tv = {1700000000, 250000};
    EXPECT_EQ(halSetSystemTime(&tv), 0);
    EXPECT_EQ(halSetSystemTime(nullptr), -1);
    EXPECT_EQ(halSetRealtime(95), -1);
    EXPECT_EQ(readFile(root / "var/log/hal.log"), "reboot\nsettime 1700000000.250000\nrealtime 95\n");
}

std::atomic<int> interrupts{0};

void countInterrupt(int)
{
    interrupts++;
}

/* The handler of a signal as the process has it now. */
void (*dispositionOf(int sig))(int)
{
    struct sigaction now;
    sigaction(sig, nullptr, &now);
    return now.sa_handler;
}

TEST_F(HalTest, CommandInAnotherThreadLeavesTheSignalDispositionsAlone)
{
    mkdir((root / "bin").c_str(), 0755);
    writeScript(root / "bin/waiter", "touch \"$KVR_ROOT/started\"; sleep 1; exit 4");
    struct sigaction handler = {}, oldInt, oldQuit;
    handler.sa_handler = countInterrupt;
    sigemptyset(&handler.sa_mask);
    ASSERT_EQ(sigaction(SIGINT, &handler, &oldInt), 0);
    sigaction(SIGQUIT, nullptr, &oldQuit);
    interrupts = 0;

    int status = -1;
    std::thread runner([&] { status = halRunCommand("waiter"); });
    struct stat st;
    for (int i = 0; i < 500 && stat((root / "started").c_str(), &st) != 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    // While the command runs, the dispositions are the process's own and a signal reaches its handler.
    bool intKept = true, quitKept = true;
    for (int i = 0; i < 20; i++) {
        intKept = intKept && dispositionOf(SIGINT) == countInterrupt;
        quitKept = quitKept && dispositionOf(SIGQUIT) == oldQuit.sa_handler;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(getpid(), SIGINT);
    runner.join();
    for (int i = 0; i < 100 && interrupts == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(intKept);
    EXPECT_TRUE(quitKept);
    EXPECT_EQ(interrupts, 1);
    EXPECT_EQ(dispositionOf(SIGINT), countInterrupt);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 4);
    sigaction(SIGINT, &oldInt, nullptr);
}

TEST_F(HalTest, DetachedThreadRunsWithItsArgument)
{
    std::atomic<int> seen{0};
    pthread_t thread;
    auto entry = [](void *argument) -> void * {
        *(std::atomic<int> *)argument = 7;
        return nullptr;
    };
    ASSERT_EQ(halStartDetachedThread(entry, &seen, &thread), 0);
    for (int i = 0; i < 400 && seen == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(seen, 7);
}

} // namespace
