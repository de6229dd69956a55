/*
 * Layout pcodes from the QVS peer through the running daemon (card emulator,
 * private IPC and network namespaces) to the sub-modules of the addressed
 * head, and "layout.bin" across a restart.
 */

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "../DaemonTestSupport.h"

using firmwareTest::readFile;

namespace {

struct Call {
    int head;
    std::string name;
    std::string headEvent;
    std::string target;
    bool operator==(const Call &o) const
    {
        return head == o.head && name == o.name && headEvent == o.headEvent && target == o.target;
    }
};

std::ostream &operator<<(std::ostream &out, const Call &c)
{
    return out << "{head " << c.head << " " << c.name << " " << c.headEvent << " " << c.target << "}";
}

/* The sub-module calls the layout thread traced, in order. */
std::vector<Call> callsIn(const std::string &text)
{
    static const std::regex line("notifySubModulesOfChange: head (\\d+) calls (\\S+) headEvent (0x[0-9a-f]+) target "
                                 "(0x[0-9a-f]+)");
    std::vector<Call> calls;
    for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it)
        calls.push_back({std::stoi((*it)[1]), (*it)[2], (*it)[3], (*it)[4]});
    return calls;
}

class LayoutE2E : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_NAMESPACES();
        firmwareTest::makeCardRoot(dir, log());
        firmwareTest::writeConfiguration(dir, {"pcodeProcessor", "layoutManager"});
    }
    void TearDown() override { stop(); }

    std::string log() { return dir / "firmware.log"; }
    std::string layoutBin() { return dir / "root/usr/local/q7/firmware/layout.bin"; }

    void start()
    {
        unlink(log().c_str());
        pid = firmwareTest::startEmulatedDaemon(dir);
    }
    void stop() { firmwareTest::stopDaemon(dir, pid); }
    bool waitForLog(const std::string &needle, size_t count = 1, int milliseconds = 20000)
    {
        return firmwareTest::waitForLogIn(log(), needle, count, milliseconds);
    }
    int peer(const std::string &arguments) { return firmwareTest::runQvsPeer(arguments, dir / "peer.out", true); }

    TempDir dir;
    pid_t pid = -1;
};

TEST_F(LayoutE2E, PcodesFromQvsReachTheSubModulesOfTheirHeadInListOrder)
{
    start();
    ASSERT_TRUE(waitForLog("Starting service layoutManager")) << readFile(log());
    std::string started = readFile(log());
    for (int head = 0; head < 4; head++)
        ASSERT_NE(started.find("Gfx is providing support for head " + std::to_string(head) + "!"), std::string::npos)
            << "the platform start-up did not connect the layout manager";

    /*
     * APPLY_LAYOUT on slot 5 head 0 (managed head 2) and slot 4 head 0 (head 0),
     * SET_AUDIO_MONITORING_SOURCE on slot 4 head 1 (head 1), the DAC volume of
     * device 151 on slot 5 (head 3), a window layout for another card's slot
     * (refused), then SAVE_CARD_CONFIG.
     */
    ASSERT_EQ(peer("pcode 20 0 5 0 3 0 pcode 20 0 4 0 3 0 pcode 10 11 4 1 1 2 3 4 5 6 7 0 0 0 "
                   "setdevice 5 151 4 9 pcode 20 12 5 0 0x80 0 pcode 20 12 9 0 1 0 pcode 10 3 4 0"),
              0)
        << readFile(dir / "peer.out");
    ASSERT_TRUE(waitForLog("Got SAVE_CARD_CONFIG Pcode DstSlot 4, head 0.")) << readFile(log());
    ASSERT_TRUE(waitForLog("pcode requested head for slot id 9 and head id 0 is incorrect remapping NOT CORRECT"));
    for (int i = 0; i < 250; i++) {
        struct stat st;
        if (stat(layoutBin().c_str(), &st) == 0 && st.st_size == 39194)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    std::string text = readFile(log());
    size_t firstPcode = text.find("APPLY_LAYOUT! slot 5, head 0, win_qty 3.\n");
    ASSERT_NE(firstPcode, std::string::npos) << text;
    std::vector<Call> calls = callsIn(text.substr(firstPcode));
    /* Resource management's notices after each apply are target events of their own. */
    calls.erase(std::remove_if(calls.begin(), calls.end(), [](const Call &c) { return c.headEvent == "0x100000"; }),
                calls.end());
    std::vector<Call> expected = {
        {2, "Kvr-sys4kMode", "0x1", "0x0"},         {2, "sysResMngt", "0x1", "0x0"},
        {2, "hdr3DLutGen", "0x1", "0x0"},           {2, "audioMonitoringInCtrl", "0x1", "0x0"},
        {2, "Ulm-2-sdiOut", "0x1", "0x0"},          {0, "kvr-genlockSi5344", "0x1", "0x0"},
        {0, "Kvr-sys4kMode", "0x1", "0x0"},         {0, "sysResMngt", "0x1", "0x0"},
        {0, "hdr3DLutGen", "0x1", "0x0"},           {0, "frameBuffer", "0x1", "0x0"},
        {0, "graphicProcessor", "0x1", "0x0"},      {0, "audioMonitoringInCtrl", "0x1", "0x0"},
        {0, "Ulm-2-sdiOut", "0x1", "0x0"},          {1, "audioMonitoringInCtrl", "0x200", "0x0"},
    };
    EXPECT_EQ(calls, expected) << text;
    EXPECT_NE(text.find("Got Set Device Pcode reg id is: 4 dev id is 151 value is: 9 for slot 5."), std::string::npos);
    EXPECT_NE(text.find("SET_DEVICE_REGISTER DAC_VOLUME_REG_ID! New value= 9."), std::string::npos);

    /* The saved file holds the data; a restart loads it, so the same settings are now no change. */
    std::ifstream in(layoutBin(), std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(file.size(), 39194u);
    const size_t head2Saturation = 8 + 2 * 9620 + 308, head3Dac = 8 + 3 * 9620 + 392;
    EXPECT_EQ(std::vector<uint8_t>(file.begin() + head2Saturation, file.begin() + head2Saturation + 4),
              std::vector<uint8_t>({0x80, 0, 0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(file.begin() + head3Dac, file.begin() + head3Dac + 4),
              std::vector<uint8_t>({9, 0, 0, 0}));

    stop();
    start();
    ASSERT_TRUE(waitForLog("Starting service layoutManager")) << readFile(log());
    ASSERT_EQ(peer("pcode 20 12 5 0 0x80 0 setdevice 5 151 4 9"), 0);
    ASSERT_TRUE(waitForLog("Dropping DAC_VOLUME Pcode because no change!")) << readFile(log());
    text = readFile(log());
    EXPECT_NE(text.find("LayoutManager: loading: control structure!"), std::string::npos);
    EXPECT_EQ(text.find("CRC error"), std::string::npos);
    EXPECT_NE(text.find("Dropping headColorSaturatuionPcodeData  for head 2 because no change!"), std::string::npos);
}

} // namespace
