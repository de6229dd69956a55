/*
 * The real kvr-firmware with the card emulator (-e) on a temporary card root,
 * in private IPC and network namespaces, kept busy: layouts for two heads and
 * set-device pcodes from the QVS peer, and restore points the frame controller
 * installs in two-packet chunks, round after round. Once warmed up, its
 * resident memory stays within 10 % of what it was.
 *
 * 60 s by default, short enough for the suite; KVR_SOAK_SECONDS makes it run
 * longer (ctest -L soak selects it).
 */

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "../DaemonTestSupport.h"
#include "ctrlPeer.h"
#include "qvsPeer.h"

using firmwareTest::readFile;

namespace {

constexpr uint16_t DEBUG_SERVER_PORT = 5100;
constexpr uint16_t COMM_STATE = 0x000C, DEV_ID = 0x0013, ACK = 0, RESTORE_POINT_DATA = 0x0121,
                   RESTORE_POINT_COMPLETED = 0x0122;

/* The resident set of a process in kB (VmRSS), 0 when it cannot be read. */
long residentKb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmRSS:" && status >> value)
            return value;
        status.ignore(1 << 20, '\n');
    }
    return 0;
}

/*
 * Follows one line of a growing log, reading on from where it last stopped, so
 * that a long run is not read again and again.
 */
class LogFollower {
public:
    LogFollower(std::string path, std::string needle) : path_(std::move(path)), needle_(std::move(needle)) {}
    /* Waits until the line has appeared `count` more times; false after `milliseconds`. */
    bool waitFor(size_t count, int milliseconds)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        for (;;) {
            std::ifstream in(path_, std::ios::binary);
            in.seekg((std::streamoff)offset_);
            std::string more((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            /* only whole lines: a needle is never cut in two */
            size_t end = more.rfind('\n');
            if (end != std::string::npos) {
                pending_ += more.substr(0, end + 1);
                offset_ += end + 1;
            }
            for (size_t at = pending_.find(needle_); at != std::string::npos && count > 0;
                 at = pending_.find(needle_, at + 1)) {
                count--;
                consumed_ = at + needle_.size();
            }
            pending_ = pending_.substr(std::min(consumed_, pending_.size()));
            consumed_ = 0;
            if (count == 0)
                return true;
            if (std::chrono::steady_clock::now() > until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

private:
    std::string path_;
    std::string needle_;
    size_t offset_ = 0;
    size_t consumed_ = 0;
    std::string pending_;
};

class Soak : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_NAMESPACES();
        firmwareTest::makeCardRoot(dir, log(), {"root/etc"});
        /* one entry: the input card (type 22) region at byte 0x200 */
        const uint8_t header[32] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                    1, 0, 0, 0, 0, 0, 0, 0, 0, 22, 0, 0, 2, 0, 0, 0};
        std::ofstream(dir / "root/usr/local/q7/firmware/ulmheader.dat", std::ios::binary)
            .write((const char *)header, sizeof header);
        firmwareTest::writeConfiguration(
            dir, {"pcodeProcessor", "layoutManager", "ledManager", "persistentDataStorage", "strata"});
#if defined(__SANITIZE_ADDRESS__)
        /* AddressSanitizer's quarantine of freed memory would grow the daemon by itself */
        std::string sanitizer = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
        setenv("ASAN_OPTIONS", (sanitizer + (sanitizer.empty() ? "" : ":") + "quarantine_size_mb=0").c_str(), 1);
        pid = firmwareTest::startEmulatedDaemonOnNetwork(dir);
        setenv("ASAN_OPTIONS", sanitizer.c_str(), 1);
#else
        pid = firmwareTest::startEmulatedDaemonOnNetwork(dir);
#endif
        ASSERT_TRUE(firmwareTest::waitForLogIn(log(), "Starting service pcodeProcessor", 1, 20000)) << readFile(log());
        ASSERT_TRUE(firmwareTest::waitForLogIn(log(), "using socket in debug mode", 1, 20000)) << readFile(log());
        ASSERT_EQ(qvsPeerOpenLocal(&peer), 0);
        ASSERT_TRUE(controller.connectTcp(DEBUG_SERVER_PORT, 5000));
        ASSERT_TRUE(controller.waitOpcode(DEV_ID, 5000));
        size_t from = controller.received().size();
        controller.sendMessage(COMM_STATE, {3});
        ASSERT_TRUE(controller.waitOpcode(ACK, 5000, nullptr, from));
    }
    void TearDown() override
    {
        firmwareTest::stopDaemon(dir, pid);
        if (peer.transport)
            peer.transport->close(&peer);
    }
    std::string log() { return dir / "firmware.log"; }

    /* One round: two layouts, a set-device pcode and a restore point, each seen through. */
    void round(int n, LogFollower &setDevices, LogFollower &restorePoints)
    {
        for (uint8_t head = 0; head < 2; head++) {
            std::vector<uint8_t> layout = qvsPeerBuildPcode(20, 0, {5, head, 3, 0});
            ASSERT_EQ(peer.transport->sendPcode(&peer, layout.data(), (uint32_t)layout.size()), 0);
        }
        std::vector<uint8_t> setDevice = qvsPeerBuildSetDevice(5, 151, 4, (uint32_t)n);
        ASSERT_EQ(peer.transport->sendPcode(&peer, setDevice.data(), (uint32_t)setDevice.size()), 0);
        std::string text = "version=1.1\nslot=0\nSOAK_ROUND=" + std::to_string(n) +
                           "\nSOAK_PADDING=0123456789abcdef0123456789abcdef0123456789abcdef\n";
        for (size_t offset = 0; offset < text.size(); offset += 57) {
            std::vector<uint8_t> data = {(uint8_t)(offset >> 8), (uint8_t)offset};
            std::string chunk = text.substr(offset, 57);
            data.insert(data.end(), chunk.begin(), chunk.end());
            ASSERT_TRUE(controller.sendMessage(RESTORE_POINT_DATA, data));
        }
        controller.sendMessage(RESTORE_POINT_COMPLETED, {(uint8_t)(text.size() >> 8), (uint8_t)text.size()});
        ASSERT_TRUE(setDevices.waitFor(1, 20000)) << "round " << n;
        ASSERT_TRUE(restorePoints.waitFor(1, 20000)) << "round " << n;
    }

    TempDir dir;
    pid_t pid = -1;
    qvsPeer peer;
    ctrlpeer::CtrlPeer controller;
};

TEST_F(Soak, ResidentMemoryStaysFlatUnderLayoutsPcodesAndRestorePoints)
{
    const char *configured = getenv("KVR_SOAK_SECONDS");
    int seconds = configured && atoi(configured) > 0 ? atoi(configured) : 60;
    auto start = std::chrono::steady_clock::now();
    auto warmedUp = start + std::chrono::seconds(seconds / 3);
    auto end = start + std::chrono::seconds(seconds);
    LogFollower setDevices(log(), "PCODE PROC: SET_DEVICE_REGISTER");
    LogFollower restorePoints(log(), "Wrote the Restore Point to file");
    long baseline = 0, highest = 0;
    int rounds = 0;
    while (std::chrono::steady_clock::now() < end) {
        round(rounds++, setDevices, restorePoints);
        ASSERT_FALSE(HasFatalFailure()) << readFile(dir / "stdout");
        long now = residentKb(pid);
        ASSERT_GT(now, 0);
        if (std::chrono::steady_clock::now() < warmedUp)
            continue;
        if (baseline == 0)
            baseline = now;
        highest = std::max(highest, now);
    }
    RecordProperty("rounds", rounds);
    RecordProperty("rssWarmKb", (int)baseline);
    RecordProperty("rssHighestKb", (int)highest);
    std::printf("soak: %d rounds in %d s, resident %ld kB once warm, at most %ld kB\n", rounds, seconds, baseline,
                highest);
    ASSERT_GT(baseline, 0);
    EXPECT_LE(highest * 10, baseline * 11) << rounds << " rounds: " << baseline << " kB once warm, up to " << highest
                                           << " kB";
}

} // namespace
