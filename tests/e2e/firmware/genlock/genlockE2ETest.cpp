/*
 * The real kvr-firmware with the card emulator (-e) on a temporary card root,
 * in private IPC and network namespaces, with the QVS peer and the
 * frame-controller peer: the genlock plan chosen from the restore point at
 * start, the SFP transmitters switched by a set-device pcode, and the stream
 * settings loaded at start and broadcast when the controller changes them.
 */

#include <chrono>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../DaemonTestSupport.h"
#include "../DebugPortClient.h"
#include "cardsim/cardsim.h"
#include "ctrlPeer.h"
#include "qvsPeer.h"

using firmwareTest::readFile;

namespace {

constexpr uint16_t DEBUG_SERVER_PORT = 5100;
constexpr uint8_t DEVICE_FSM = 1;
constexpr uint16_t COMM_STATE = 0x000C, DEV_ID = 0x0013, ACK = 0, SAVE_RESTORE_POINT = 0x102d;

struct Write {
    uint16_t reg;
    uint8_t value;
};

class GenlockRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_NAMESPACES();
        firmwareTest::makeCardRoot(dir, log(), {"root/etc"});
        const uint8_t header[32] = {0};
        std::ofstream(dir / "root/usr/local/q7/firmware/ulmheader.dat", std::ios::binary)
            .write((const char *)header, sizeof header);
    }
    void TearDown() override
    {
        firmwareTest::killDaemon(pid);
        if (peer.transport)
            peer.transport->close(&peer);
    }
    std::string log() { return dir / "firmware.log"; }
    bool waitForLog(const std::string &needle, int milliseconds = 20000, size_t count = 1)
    {
        return firmwareTest::waitForLogIn(log(), needle, count, milliseconds);
    }
    void writeRestorePoint(const std::string &text)
    {
        std::ofstream(dir / "root/usr/local/q7/firmware/restorepoint.rsp", std::ios::binary) << text;
    }
    void writeCard(int slot, int cardType = 2)
    {
        std::ofstream(dir / "root/etc/cardsim.conf") << "slot=" << slot << "\ncardType=" << cardType << "\n";
    }
    void start(std::initializer_list<const char *> services, bool controller = false)
    {
        firmwareTest::writeConfiguration(dir, services);
        pid = controller ? firmwareTest::startEmulatedDaemonOnNetwork(dir) : firmwareTest::startEmulatedDaemon(dir);
        ASSERT_TRUE(waitForLog("Starting service pcodeProcessor")) << readFile(log());
        ASSERT_EQ(qvsPeerOpenLocal(&peer), 0);
    }
    /* Connects the frame controller and raises the link to state 3. */
    void connectController(ctrlpeer::CtrlPeer &controller)
    {
        ASSERT_TRUE(waitForLog("using socket in debug mode")) << readFile(log());
        ASSERT_TRUE(controller.connectTcp(DEBUG_SERVER_PORT, 5000));
        ASSERT_TRUE(controller.waitOpcode(DEV_ID, 5000));
        size_t from = controller.received().size();
        controller.sendMessage(COMM_STATE, {3});
        ASSERT_TRUE(controller.waitOpcode(ACK, 5000, nullptr, from));
    }
    std::vector<uint8_t> bytes(uint32_t offset)
    {
        uint8_t b[2] = {0xEE, 0xEE};
        peer.transport->readSharedMem(&peer, offset, b, 2);
        return {b[0], b[1]};
    }
    /* Stops the daemon (SIGINT: the orderly stop) so that the emulator leaves its write logs. */
    void stop()
    {
        if (pid <= 0)
            return;
        kill(pid, SIGINT);
        for (int i = 0; i < 1000 && waitpid(pid, nullptr, WNOHANG) != pid; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        firmwareTest::killDaemon(pid);
    }
    /* The Si5344 register writes (page write then offset/value) the emulator saw. */
    std::vector<Write> si5344Writes()
    {
        std::vector<Write> writes;
        std::istringstream in(readFile(dir / "root/var/log/i2c-writes.log"));
        std::string bus, slave;
        int page = -1;
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            fields >> bus >> slave;
            if (bus != "/dev/i2c-4" || slave != "0x68")
                continue;
            std::vector<unsigned> message;
            unsigned byte = 0;
            while (fields >> std::hex >> byte)
                message.push_back(byte);
            if (page < 0 && message.size() == 2 && message[0] == 0x01) {
                page = (int)message[1];
            } else {
                /* [offset value] completes a write; a lone [offset] is the pointer of a read. */
                if (page >= 0 && message.size() == 2)
                    writes.push_back({(uint16_t)(page << 8 | message[0]), (uint8_t)message[1]});
                page = -1;
            }
        }
        return writes;
    }
    /* The values written to one FSM-FPGA register, in order. */
    std::vector<unsigned> fsmWrites(unsigned reg)
    {
        std::vector<unsigned> values;
        std::istringstream in(readFile(dir / "root/var/log/fpga-writes.log"));
        unsigned fpga, address, value;
        while (in >> std::dec >> fpga >> std::hex >> address >> value)
            if (fpga == 0 && address == reg)
                values.push_back(value);
        return values;
    }
    /*
     * The daemon with the probing cycle paced by the emulator's Vsyncs, the layout manager (the
     * genlock sub-module) and the debug port, on a clock generator whose lock alarm register
     * (0x000E: bit 1 loss of lock) holds `lockAlarms` from the start; the debug port's descriptor.
     */
    int startSupervised(uint8_t lockAlarms)
    {
        std::ofstream(dir / "root/etc/cardsim.conf") << "slot=0\nsi5344LockAlarms=" << (int)lockAlarms << "\n";
        firmwareTest::writeConfiguration(dir, {"layoutManager", "interruptController", "probing", "debuger"});
        pid = firmwareTest::startEmulatedDaemon(dir);
        return firmwareTest::connectDebugPort();
    }

    /* FSM-FPGA 0x9F (bit 0: MGT video clock disabled) once it reads `value`; its last value after the limit. */
    uint16_t awaitMgtClockDisable(int fd, uint16_t value)
    {
        std::vector<uint16_t> word;
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        do {
            word = firmwareTest::readRegisters(fd, 1, 0x009F, 1);
            if (!word.empty() && (word[0] & 1) == value)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        } while (std::chrono::steady_clock::now() < until);
        return word.empty() ? 0xDEAD : word[0] & 1;
    }

    /* The clock generator's lock alarms through the debug port (device 8, one byte at 0x000E). */
    bool setLockAlarms(int fd, uint8_t alarms)
    {
        return firmwareTest::writeRegisters(fd, 8, 0x000E, {(uint16_t)(alarms << 8)});
    }
    TempDir dir;
    pid_t pid = -1;
    qvsPeer peer;
};

/*
 * Start-up loads the clock generator's factory default and disables the MGT video clock until
 * lock is regained. The first reading of the alarms counts as a change: a chip locked from the
 * start enables the clock at once; one that is not keeps it disabled (lock lost while programming
 * changes nothing) until its lock alarm clears.
 */
TEST_F(GenlockRun, TheFirstAlarmReadingTakesTheLockPathOfWhatItReads)
{
    const struct {
        const char *name;
        uint8_t lockAlarms;
        const char *firstReading;
    } cases[] = {
        {"locked at start", 0x00, "SI5344 lock alarms changed: LOL[0], HOLD[0]"},
        {"unlocked at start", 0x02, "SI5344 lock alarms changed: LOL[1], HOLD[0]"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        unlink(log().c_str());
        int fd = startSupervised(c.lockAlarms);
        ASSERT_GE(fd, 0) << readFile(log());
        ASSERT_TRUE(waitForLog(c.firstReading)) << readFile(log());
        if (c.lockAlarms) {
            /*
             * The lock-lost change reached the sub-module (on slot A the initial URS status
             * follows it from the same cycle end), which leaves the clock disabled.
             */
            ASSERT_TRUE(waitForLog("TARGET_SPECIFIC_MSG! event msg is 0x00000040", 20000, 2)) << readFile(log());
            EXPECT_EQ(awaitMgtClockDisable(fd, 1), 1);
            EXPECT_EQ(firmwareTest::logCount(log(), "Set FSM MGT Video Clock Disable : [0]!"), 0u);
            ASSERT_TRUE(setLockAlarms(fd, 0));
            ASSERT_TRUE(waitForLog("SI5344 lock alarms changed: LOL[0], HOLD[0]")) << readFile(log());
        }
        EXPECT_EQ(awaitMgtClockDisable(fd, 0), 0) << readFile(log());
        EXPECT_TRUE(waitForLog("Set FSM MGT Video Clock Disable : [0]!"));
        close(fd);
        firmwareTest::stopDaemon(dir, pid);
    }
}

/*
 * An SDI Tx PLL found unlocked is reset by the health monitor, except while genlock programs
 * the clock generator (from the factory default at start until lock is regained).
 */
TEST_F(GenlockRun, TxPllResetsWaitUntilGenlockProgrammingIsOver)
{
    int fd = startSupervised(0x02);
    ASSERT_GE(fd, 0) << readFile(log());
    ASSERT_TRUE(waitForLog("SI5344 lock alarms changed: LOL[1], HOLD[0]")) << readFile(log());
    ASSERT_TRUE(firmwareTest::writeRegisters(fd, 1, 0x0068, {0x0000}));
    /* Three more reads of PLL 0's status while programming is still in progress: no reset. */
    const std::string pllRead = "Probing action Read FPGA SDI Tx PLL 0 Lock Status , iteration count 0.";
    const std::string resetLine = "FPGA FSM SDI Tx PLL 0 not locked detected. Will reset the PLL.";
    size_t reads = firmwareTest::logCount(log(), pllRead);
    ASSERT_TRUE(waitForLog(pllRead, 20000, reads + 3)) << readFile(log());
    EXPECT_EQ(firmwareTest::logCount(log(), resetLine), 0u);
    EXPECT_EQ(firmwareTest::logCount(log(), "reset FSM genlock PLL(genlock_reset.tx_pll_reset)!"), 0u);
    EXPECT_EQ(awaitMgtClockDisable(fd, 1), 1);
    /* Lock regained ends the programming: the next reads reset the PLL, which stays unlocked. */
    ASSERT_TRUE(setLockAlarms(fd, 0));
    ASSERT_TRUE(waitForLog(resetLine, 20000, 2)) << readFile(log());
    EXPECT_TRUE(waitForLog("reset FSM genlock PLL(genlock_reset.tx_pll_reset)!", 20000, 2));
    std::string text = readFile(log());
    EXPECT_LT(text.find("Set FSM MGT Video Clock Disable : [0]!"), text.find(resetLine));
    close(fd);
}

/* The resolution pcode of head 0 (slot 4, head 0): 1920 x 1080 at `rate`, then the apply pcode. */
static std::string headAResolution(unsigned rate)
{
    const unsigned pixelClock = rate == 5000 ? 148500000u : 148351648u, lineLength = rate == 5000 ? 2640 : 2200;
    std::ostringstream pcode;
    pcode << "pcode 20 2 4 0 0 " << (rate >> 8) << " " << (rate & 0xFF);
    for (int shift = 24; shift >= 0; shift -= 8)
        pcode << " " << ((pixelClock >> shift) & 0xFF);
    for (unsigned value : {1920u, 1080u, lineLength, 1125u})
        pcode << " " << (value >> 8) << " " << (value & 0xFF);
    pcode << " 1 0 0 0 0 0 0 pcode 20 0 4 0 0 0";
    return pcode.str();
}

/*
 * The plan follows head A's frame rate while no reference is known, the URS reference once it
 * is valid, and head A's rate again while the URS reports a dual reference; thirty seconds after
 * start the boot timer notes what never came (here: the controller's rate only).
 */
TEST_F(GenlockRun, HeadARateAndTheUrsReferenceChooseThePlan)
{
    std::ofstream(dir / "root/etc/cardsim.conf") << "slot=0\n";
    firmwareTest::writeConfiguration(dir, {"pcodeProcessor", "layoutManager", "interruptController", "probing",
                                           "debuger"});
    pid = firmwareTest::startEmulatedDaemon(dir);
    int fd = firmwareTest::connectDebugPort();
    ASSERT_GE(fd, 0) << readFile(log());
    ASSERT_TRUE(waitForLog("Initial URS Status: Presence[0]")) << readFile(log());
    const std::string changed = "GENLOCK SI5344 SUB-MODULE:GENLOCK_PLAN_CHANGED: ";
    const struct {
        const char *name;
        unsigned headRate;   /* 0: the step writes the URS word instead */
        uint16_t ursWord;    /* bit 0 present, bits 1-3 format (1 NTSC, 7 dual reference) */
        const char *plan;
    } steps[] = {
        {"head A at 50 Hz, no reference", 5000, 0, "Sfr[5000], Ref[0], Id[4], Name[PAL  URS      54Mhz->148.5], Src[3] "},
        {"URS NTSC reference", 0, 0x0003, "Sfr[5994], Ref[1], Id[2], Name[NTSC URS      54Mhz->148.35], Src[4] "},
        {"URS dual reference takes head A's 50 Hz", 0, 0x000F,
         "Sfr[5000], Ref[1], Id[4], Name[PAL  URS      54Mhz->148.5], Src[4] "},
        {"head A at 59.94 Hz in dual mode", 5994, 0, "Sfr[5994], Ref[0], Id[2], Name[NTSC URS      54Mhz->148.35], Src[3] "},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.name);
        size_t before = firmwareTest::logCount(log(), changed);
        if (step.headRate) {
            ASSERT_EQ(firmwareTest::runQvsPeer(headAResolution(step.headRate), dir / "peer.out", true), 0)
                << readFile(dir / "peer.out");
        } else {
            ASSERT_TRUE(firmwareTest::writeRegisters(fd, 1, 0x0090, {step.ursWord}));
        }
        ASSERT_TRUE(waitForLog(changed, 20000, before + 1)) << readFile(log());
        std::string text = readFile(log());
        size_t at = 0;
        for (size_t i = 0; i <= before; i++)
            at = text.find(changed, i ? at + 1 : 0);
        EXPECT_EQ(text.substr(at + changed.size(), strlen(step.plan)), step.plan);
        EXPECT_EQ(firmwareTest::readRegisters(fd, 1, 0x0099, 1), std::vector<uint16_t>{(uint16_t)(strstr(step.plan, "Sfr[5000]") ? 1 : 0)});
    }
    close(fd);
    ASSERT_TRUE(waitForLog("boot time out, no system frame rate received from the frame controller", 45000))
        << readFile(log());
    EXPECT_EQ(firmwareTest::logCount(log(), "boot time out, no valid URS reference"), 0u);
}

/* Without the controller's rate or a URS reference, the boot timer notes both. */
TEST_F(GenlockRun, TheBootTimerNotesWhatNeverCame)
{
    std::ofstream(dir / "root/etc/cardsim.conf") << "slot=0\n";
    firmwareTest::writeConfiguration(dir, {"layoutManager", "interruptController", "probing"});
    pid = firmwareTest::startEmulatedDaemon(dir);
    ASSERT_TRUE(waitForLog("boot time out, no valid URS reference", 45000)) << readFile(log());
    EXPECT_EQ(firmwareTest::logCount(log(), "boot time out, no system frame rate received from the frame controller"), 1u);
}

TEST_F(GenlockRun, TheRestorePointRateChoosesThePlanOnTheFirstForcedLayout)
{
    const struct {
        const char *rate;
        size_t planWrites;
        std::vector<uint8_t> status;
        const char *line;
    } cases[] = {
        {"5000", 56, {0x01, 0x02},
         "GENLOCK SI5344 SUB-MODULE:GENLOCK_PLAN_CHANGED: Sfr[5000], Ref[0], Id[3], Name[PAL  FREE RUN "
         "27Mhz->148.5], Src[1] "},
        {"5994", 0, {0x01, 0x01},
         "FORCE_LAYOUT_EVENT, system frame rate: 5994 from env var is same as factory default, ignored!"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.rate);
        TearDown();
        SetUp();
        writeRestorePoint(std::string("version=1.1\nslot=0\nsystemFrameRate=") + c.rate + "\n");
        start({"pcodeProcessor", "persistentDataStorage", "layoutManager"});
        ASSERT_TRUE(waitForLog(c.line)) << readFile(log());
        EXPECT_EQ(bytes(186), c.status);
        EXPECT_EQ(bytes(184), (std::vector<uint8_t>{0x00, 0x00}));
        stop();
        std::vector<Write> writes = si5344Writes();
        /* The start-up's factory default first: 315 writes and a soft reset. */
        ASSERT_EQ(writes.size(), 316 + c.planWrites);
        EXPECT_EQ(writes[0].reg, 0x0B24);
        EXPECT_EQ(writes[315].reg, 0x001C);
        if (c.planWrites) {
            EXPECT_EQ(writes[316 + 2].reg, 0x002E);
            EXPECT_EQ(writes[316 + 2].value, 0xD8);
            EXPECT_EQ(writes.back().reg, 0x0B25);
            EXPECT_EQ(writes.back().value, 0x02);
        }
        std::vector<unsigned> rate = fsmWrites(0x99), reference = fsmWrites(0x97);
        ASSERT_FALSE(rate.empty());
        ASSERT_FALSE(reference.empty());
        EXPECT_EQ(rate.back() & 1, c.planWrites ? 1u : 0u);
        EXPECT_EQ(reference.back() & 3, 0u);
    }
}

TEST_F(GenlockRun, ASetDevicePcodeSwitchesTheSfpTransmitterAndAsksTheControllerToSave)
{
    start({"pcodeProcessor", "strata"}, true);
    ASSERT_TRUE(waitForLog("SFP: head 2 enable by default ")) << readFile(log());
    ctrlpeer::CtrlPeer controller;
    connectController(controller);
    std::string flash = readFile(dir / "root/dev/mtd2");
    EXPECT_NE(flash.find(std::string("sfp1disable=0\0", 14)), std::string::npos) << "created at start";
    EXPECT_NE(flash.find(std::string("sfp2disable=0\0", 14)), std::string::npos);

    /* Disable SFP 2, then enable it again. */
    for (uint32_t value : {0u, 1u}) {
        size_t from = controller.received().size();
        std::vector<uint8_t> pcode = qvsPeerBuildSetDevice(4, 151, 290, value);
        ASSERT_EQ(peer.transport->sendPcode(&peer, pcode.data(), (uint32_t)pcode.size()), 0);
        ASSERT_TRUE(waitForLog("SFP: finish processing pcode, device id: 151, register id: 290, value: " +
                               std::to_string(value) + " "))
            << readFile(log());
        ctrlpeer::Packet save;
        ASSERT_TRUE(controller.waitOpcode(SAVE_RESTORE_POINT, 5000, &save, from));
        EXPECT_EQ(save.destination, 0x15);
        EXPECT_EQ(save.data, (std::vector<uint8_t>{0x00, 0x00, 0x00}));
        flash = readFile(dir / "root/dev/mtd2");
        std::string stored = std::string("sfp2disable=") + (value ? "0" : "1");
        EXPECT_NE(flash.find(stored + '\0'), std::string::npos) << stored;
    }

    /* The listeners take devices 150 and 151, register 290 only; a bad value reaches them and is refused. */
    for (const std::vector<uint8_t> &pcode :
         {qvsPeerBuildSetDevice(4, 151, 291, 1), qvsPeerBuildSetDevice(4, 152, 290, 1),
          qvsPeerBuildSetDevice(4, 151, 290, 2)})
        ASSERT_EQ(peer.transport->sendPcode(&peer, pcode.data(), (uint32_t)pcode.size()), 0);
    ASSERT_TRUE(waitForLog("SFP: invalid value ")) << readFile(log());
    std::string text = readFile(log());
    EXPECT_EQ(text.find("register id: 291"), std::string::npos);
    EXPECT_EQ(text.find("SFP: start processing pcode, device id: 152"), std::string::npos);
    EXPECT_EQ(text.find("finish processing pcode, device id: 151, register id: 290, value: 2"), std::string::npos);
    stop();
    std::vector<unsigned> tx = fsmWrites(0x80);
    ASSERT_GE(tx.size(), 2u);
    EXPECT_EQ(tx[tx.size() - 2], 0x2u) << "SFP 2 disabled";
    EXPECT_EQ(tx.back(), 0x0u) << "SFP 2 enabled again";
}

TEST_F(GenlockRun, StreamSettingsLoadAtStartAndTheControllersChangesAreBroadcastNotStored)
{
    writeRestorePoint("version=1.1\nslot=0\nATDM_MDX_MODE=MDX_MODE\nATDM_ROUT_OUT_MODE=111111111\n"
                      "ATDM_ROUT_OUT_EN=1111x1111\nATDM_ROUT_IN_EN=110000000\n");
    start({"pcodeProcessor", "persistentDataStorage", "strata"}, true);
    std::string text = readFile(log());
    EXPECT_NE(text.find("platformInitKvrVideoStreamSetting: Restore Point indicates that ATDM Mode is MDX_MODE."),
              std::string::npos);
    EXPECT_NE(text.find("Error Restore Point indicates that Router Output Enable index 4 is x. We only accept 0 or 1."),
              std::string::npos);
    ctrlpeer::CtrlPeer controller;
    connectController(controller);

    /* The controller installs its restore point: three keys differ from the card's settings. */
    const std::string restorePoint = "version=1.1\nslot=0\nATDM_MDX_MODE=MDX_MODE\nATDM_ROUT_OUT_MODE=111101111\n"
                                     "ATDM_ROUT_OUT_EN=111111101\nATDM_ROUT_IN_EN=110000001\n";
    auto install = [&] {
        for (size_t offset = 0; offset < restorePoint.size(); offset += 57) {
            std::vector<uint8_t> data = {(uint8_t)(offset >> 8), (uint8_t)offset};
            std::string chunk = restorePoint.substr(offset, 57);
            data.insert(data.end(), chunk.begin(), chunk.end());
            controller.sendMessage(0x0121, data);
        }
        controller.sendMessage(0x0122, {(uint8_t)(restorePoint.size() >> 8), (uint8_t)restorePoint.size()});
    };
    /* Every listener hears each installation; a stored key would be heard by its own listeners only. */
    const std::vector<std::string> listeners = {"MDX_MODE", "Router Output Mode", "Router Output Enable",
                                                "Router Input Enable"};
    std::vector<size_t> heardBefore;
    for (const std::string &l : listeners)
        heardBefore.push_back(firmwareTest::logCount(log(), l + " CALLBACK FUNCTION called!!!"));
    auto heard = [&](size_t installations) {
        for (size_t i = 0; i < listeners.size(); i++)
            if (!waitForLog(listeners[i] + " CALLBACK FUNCTION called!!!", 20000, heardBefore[i] + installations))
                return false;
        return true;
    };
    const std::string written = "Wrote the Restore Point to file";
    size_t writtenBefore = firmwareTest::logCount(log(), written);
    size_t from = controller.received().size();
    install();
    const struct {
        uint16_t opcode;
        std::vector<uint8_t> data;
    } broadcasts[] = {{0x1604, {4, 0}}, {0x121f, {7, 0}}, {0x1219, {8, 1}}};
    for (const auto &b : broadcasts) {
        SCOPED_TRACE(b.opcode);
        ctrlpeer::Packet packet;
        ASSERT_TRUE(controller.waitOpcode(b.opcode, 5000, &packet, from)) << readFile(log());
        EXPECT_EQ(packet.data, b.data);
    }
    EXPECT_TRUE(waitForLog("We must broadcast Video Output 8, Enable 1 (0=Hybrid, 1 = MDX)."));
    /*
     * Nothing of the card's own is written back: the file holds the controller's text. The
     * listeners run on the storage thread, and what they store is queued behind them. The same
     * text installed again is heard by the listeners once the first hearing is over; a third
     * installation, sent then, is heard after everything the first hearing queued was written.
     */
    for (size_t installations = 2; installations <= 3; installations++) {
        install();
        ASSERT_TRUE(heard(installations)) << readFile(log());
    }
    EXPECT_EQ(firmwareTest::logCount(log(), written), writtenBefore + 3)
        << "only the three installations write the file";
    EXPECT_EQ(readFile(dir / "root/usr/local/q7/firmware/restorepoint.rsp"), restorePoint);
}


/*
 * A plan the Si5344 does not take (its register writes fail in the emulator)
 * moves nothing downstream: the rate, the status word, the FSM frame-rate bit,
 * the restore point and the sub-modules stay on the running plan, also past
 * the 10-second lock timer, and the plan is tried again until the chip takes
 * it once its writes work again.
 */
TEST_F(GenlockRun, APlanTheChipRefusesChangesNothingAndIsTriedAgainUntilItTakes)
{
    writeRestorePoint("version=1.1\nslot=0\n");
    start({"pcodeProcessor", "persistentDataStorage", "layoutManager", "debuger"});
    ASSERT_TRUE(waitForLog("Starting service layoutManager")) << readFile(log());
    ASSERT_TRUE(waitForLog("head 0 Init, set factory default system frame rate: 5994.")) << readFile(log());
    /* The FSM's frame-rate bit through the debug port (which closes a client silent for 5 s). */
    auto fsmRateBit = [] {
        int debug = firmwareTest::connectDebugPort();
        std::vector<uint16_t> word = firmwareTest::readRegisters(debug, DEVICE_FSM, 0x99, 1);
        close(debug);
        return word.size() == 1 ? word[0] & 1 : -1;
    };
    std::ofstream(dir / ("root" CARDSIM_I2C_WRITE_FAULTS)) << "/dev/i2c-4 0x68\n";

    /* Head A at 1080p50: plan 4 from the head's resolution. */
    const std::string resolution50 = "pcode 20 2 4 0 0 0x13 0x88 0x08 0xd9 0xee 0x20 0x07 0x80 0x04 0x38 0x0a 0x50 "
                                     "0x04 0x65 2 0 0 0 0 0 0 pcode 20 0 4 0 1 0";
    ASSERT_EQ(firmwareTest::runQvsPeer(resolution50, dir / "peer.out", false), 0) << readFile(dir / "peer.out");
    const std::string refused = "frequency plan [4][PAL  URS      54Mhz->148.5] could not be programmed, the system "
                                "frame rate stays 5994 on plan [1][NTSC FREE RUN 27Mhz->148.35]; try ";
    ASSERT_TRUE(waitForLog(refused + "1 of 16")) << readFile(log());
    /* Try 7 comes 12 s after the first: the lock timer of a plan change would have run out by then. */
    ASSERT_TRUE(waitForLog("trying frequency plan [4][PAL  URS      54Mhz->148.5] again (try 7 of 16)", 30000))
        << readFile(log());
    ASSERT_TRUE(waitForLog(refused + "7 of 16")) << readFile(log());
    std::string text = readFile(log());
    EXPECT_EQ(text.find("SUB-MODULE:GENLOCK_PLAN_CHANGED"), std::string::npos) << text;
    EXPECT_EQ(text.find("GENLOCK_SYSTEM_FRAME_RATE_EVENT, system frame rate: 5000"), std::string::npos);
    EXPECT_EQ(text.find("RE-ENABLING VIDEO CLOCK"), std::string::npos);
    EXPECT_EQ(bytes(186), (std::vector<uint8_t>{0x01, 0x01}));
    EXPECT_EQ(fsmRateBit(), 0) << "the FSM stays at 59.94";
    EXPECT_EQ(readFile(dir / "root/usr/local/q7/firmware/restorepoint.rsp").find("systemFrameRate=5000"),
              std::string::npos);

    /* The chip's writes work again: the next try takes, and everything follows the plan. */
    unlink((dir / ("root" CARDSIM_I2C_WRITE_FAULTS)).c_str());
    ASSERT_TRUE(waitForLog("GENLOCK SI5344 SUB-MODULE:GENLOCK_PLAN_CHANGED: Sfr[5000], Ref[0], Id[4], Name[PAL  URS      "
                           "54Mhz->148.5], Src[3] ",
                           10000))
        << readFile(log());
    EXPECT_EQ(bytes(186), (std::vector<uint8_t>{0x01, 0x02}));
    EXPECT_EQ(fsmRateBit(), 1) << "the FSM follows at 50";
    bool saved = false;
    for (int i = 0; i < 250 && !saved; i++) {
        saved = readFile(dir / "root/usr/local/q7/firmware/restorepoint.rsp").find("systemFrameRate=5000") !=
                std::string::npos;
        if (!saved)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(saved);
    EXPECT_TRUE(waitForLog("GENLOCK_SYSTEM_FRAME_RATE_EVENT, system frame rate: 5000", 15000)) << readFile(log());
    EXPECT_EQ(firmwareTest::logCount(log(), "trying frequency plan [4]"), firmwareTest::logCount(log(), refused))
        << "no try after the plan took";
}

} // namespace
