#include "cardsim/cardsim.h"

#include "hal/hal.h"

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "../../support/TempDir.h"

namespace {

typedef std::vector<uint8_t> Bytes;

std::string readAll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class CardsimPlatform : public ::testing::Test {
protected:
    void SetUp() override { setenv("KVR_ROOT", root.path().c_str(), 1); }
    void TearDown() override
    {
        cardsimStop();
        unsetenv("KVR_ROOT");
    }
    TempDir root;
};

TEST_F(CardsimPlatform, ConfigurationSetsTheCardsIdentity)
{
    const struct {
        const char *conf;
        uint8_t expander0, expander1;
        int gpio[8]; /* lines 67 to 74 */
    } cases[] = {
        {"rearType=13\nrearRev=1\nmainRev=2\nmainPatch=5\ncardType=4\nslot=5\nframeType=2\n", 0x2D, 0x2A,
         {1, 0, 1, 0, 0, 1, 0, 1}},
        /* Rear type 15 carries slot bit 1 on GPIO 69 and bit 2 on GPIO 68. */
        {"rearType=15\nrearRev=0\nmainRev=1\nmainPatch=0\ncardType=2\nslot=2\nframeType=3\n", 0x0F, 0x01,
         {0, 0, 1, 0, 1, 0, 1, 1}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.conf);
        mkdir((root / "etc").c_str(), 0755);
        std::ofstream(root / "etc/cardsim.conf") << c.conf << "vsyncMs=0\n";
        cardsimStart();
        EXPECT_EQ(cardsimI2cGet("/dev/i2c-3", 0x74, 0), c.expander0);
        EXPECT_EQ(cardsimI2cGet("/dev/i2c-3", 0x74, 1), c.expander1);
        for (int line = 67; line <= 74; line++)
            EXPECT_EQ(cardsimGpioGet(line), c.gpio[line - 67]) << "GPIO " << line;
        cardsimStop();
    }
}

TEST_F(CardsimPlatform, ProjectIdsAreConfigurable)
{
    mkdir((root / "etc").c_str(), 0755);
    std::ofstream(root / "etc/cardsim.conf") << "fsmProjectId=0x7\nvsyncMs=0\n";
    cardsimStart();
    EXPECT_EQ(cardsimFpgaGet(CARDSIM_FSM, 0), 0x0070);
    EXPECT_EQ(cardsimFpgaGet(CARDSIM_DPS, 0), CARDSIM_FPGA_PROJECT_ID << 4);
}

TEST_F(CardsimPlatform, FlashBlockBytes)
{
    ASSERT_EQ(cardsimFlashWrite({"a=1"}, 16, 0), 0);
    std::string flash = readAll(root / "dev/mtd2");
    Bytes expected = {0x15, 0x09, 0xED, 0xAC, 'a', '=', '1', 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Bytes(flash.begin(), flash.end()), expected);
    EXPECT_EQ(readAll(root / "etc/fw_env.config"), "# device offset size sector\n/dev/mtd2 0x0 0x10 0x10\n");
    ASSERT_EQ(cardsimFlashWrite({"a=1"}, 16, 1), 0);
    flash = readAll(root / "dev/mtd2");
    ASSERT_EQ(flash.size(), 0x2010u);
    EXPECT_EQ(flash.substr(0, 16), flash.substr(0x2000, 16));
    EXPECT_EQ((uint8_t)flash[0x100], 0xFF);
    EXPECT_EQ(cardsimFlashWrite({"a very long entry that does not fit"}, 16, 0), -1);
}

TEST_F(CardsimPlatform, VsyncCountsComeThroughTheUioFifo)
{
    cardsimStart();
    cardsimVsyncStop();
    int fd = open((root / "dev/uio1").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    // The ticker that start-up ran may have emitted before it stopped.
    uint32_t early[64];
    while (read(fd, early, sizeof early) > 0) {
    }
    ASSERT_EQ(cardsimVsyncEmit(10), 0);
    ASSERT_EQ(cardsimVsyncEmit(11), 0);
    uint32_t counts[2] = {0, 0};
    ASSERT_EQ(read(fd, counts, sizeof counts), (ssize_t)sizeof counts);
    EXPECT_EQ(counts[0], 10u);
    EXPECT_EQ(counts[1], 11u);

    auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(cardsimVsyncStart(20), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(210));
    cardsimVsyncStop();
    // A loaded machine may sleep longer than asked: allow what the clock says passed.
    size_t most = (size_t)(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count() / 20 + 2);
    uint32_t ticks[32];
    ssize_t got = read(fd, ticks, sizeof ticks);
    ASSERT_GT(got, 0);
    size_t n = (size_t)got / 4;
    EXPECT_GE(n, 3u);
    EXPECT_LE(n, most);
    for (size_t i = 1; i < n; i++)
        EXPECT_EQ(ticks[i], ticks[i - 1] + 1);
    close(fd);
}

TEST_F(CardsimPlatform, StandInsOnlyRecordTheirCalls)
{
    cardsimStart();
    EXPECT_NE(WEXITSTATUS(halRunCommand("/bin/qvoutil -V")), 0);
    std::ofstream(root / "etc/cardsim-vlan").close();
    EXPECT_EQ(WEXITSTATUS(halRunCommand("/bin/qvoutil -V")), 0);
    EXPECT_EQ(WEXITSTATUS(halRunCommand("tclsh /sbin/update_FPGA.tcl /usr/local/q7/firmware/dps_top.bit DPS")), 0);
    EXPECT_EQ(halReboot(), 0);
    std::string r = root.path();
    EXPECT_EQ(cardsimStandInCalls(),
              (std::vector<std::string>{"qvoutil -V", "qvoutil -V",
                                        "tclsh " + r + "/sbin/update_FPGA.tcl " + r + "/usr/local/q7/firmware/dps_top.bit DPS",
                                        "reboot"}));
}

TEST_F(CardsimPlatform, StartPreparesTheRootWithoutOverwriting)
{
    mkdir((root / "etc").c_str(), 0755);
    std::ofstream(root / "etc/fw_env.config") << "/dev/mine 0x0 0x100\n";
    cardsimStart();
    EXPECT_EQ(readAll(root / "etc/fw_env.config"), "/dev/mine 0x0 0x100\n");
    struct stat st;
    EXPECT_EQ(stat((root / "dev/shm").c_str(), &st), 0);
    EXPECT_EQ(cardsimGpioGet(148), 0);
    EXPECT_EQ(stat((root / "sbin/reboot").c_str(), &st), 0);
}

} // namespace
