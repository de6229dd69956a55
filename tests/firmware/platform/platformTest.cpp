#include "platform/platformPrivate.h"

#include "cardsim/cardsim.h"
#include "deviceManager/deviceManager.h"
#include "layoutManager/layoutManager.h"
#include "persistentDataStorage/persistentDataStorage.h"
#include "probing/probing.h"
#include "qvsInterface/qvsInterface.h"
#include "serviceManager/serviceManager.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "../main/FirmwareTestSupport.h"

extern serviceDescriptor persistentDataStorageService;
extern serviceDescriptor probingService;

using firmwareTest::TestLog;

namespace {

/* A card root with the card emulator and the device manager; the platform record fresh. */
class Platform : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestLog::instance();
        setenv("KVR_ROOT", root.path().c_str(), 1);
        ASSERT_UNDER_CARD_ROOT();
        cardsimStart();
        cardsimVsyncStop();
        deviceManagerInit(nullptr);
        platformResetState();
        platformRecord.category = log4c_category_get("ulm.firmware.main");
        platformReprogramCountdownSeconds = 0;
        platformRebootPauseSeconds = 0;
        for (const char *f : {"fsm_top.bit", "dps_top.bit"})
            unlink((firmwareDir() + f).c_str());
    }
    void TearDown() override
    {
        deviceManagerTerminate(nullptr, 3, 0);
        cardsimStop();
        unsetenv("KVR_ROOT");
    }
    std::string firmwareDir() { return root / "usr/local/q7/firmware/"; }
    void writeText(const std::string &path, const std::string &text) { std::ofstream(path, std::ios::binary) << text; }
    std::vector<std::string> standIns()
    {
        std::vector<std::string> calls = cardsimStandInCalls();
        unlink((root / "var/log/standins.log").c_str());
        return calls;
    }
    TempDir root;
};

TEST(PlatformNames, TablesAndCardCounts)
{
    platformResetState();
    const struct {
        uint32_t rear;
        const char *name;
        uint32_t cards;
    } rears[] = {{0, "QMR-RP01-36x4", 4}, {3, "QMR-RP04-9x2", 1}, {12, "QMR-RP13-63x4", 7}, {15, "QMR-RP16-54x4", 6},
                 {16, "QMR-RP17-9x2", 1}, {31, "UNDEFINE", 1}};
    for (const auto &r : rears) {
        SCOPED_TRACE(r.rear);
        platformRecord.rearHwType = r.rear;
        EXPECT_STREQ(platformRearHwTypeName(r.rear), r.name);
        EXPECT_EQ(platformGetAmountOfCardsInMyKvrSystem(), r.cards);
    }
    EXPECT_STREQ(platformCardTypeName(3), "UNDEFINE");
    EXPECT_STREQ(platformCardTypeName(5), "QMR-1400");
    EXPECT_STREQ(platformCardSlotName(2), "Card C");
    EXPECT_STREQ(platformCardSlotName(6), "UNDEFINE");
    EXPECT_STREQ(platformFrameTypeName(2), "Strata-X");
    EXPECT_STREQ(platformMainHwRevName(1), "REV 200");
    EXPECT_STREQ(platformRearHwRevName(2), "UNDEFINE");
}

TEST_F(Platform, VersionFiles)
{
    const struct {
        const char *text;
        int good;
        platformFpgaVersion_t version;
    } cases[] = {
        {"18_1_14404\r\n", 1, {18, 1, 14404}}, {"18_1_14404\n", 1, {18, 1, 14404}}, {"13_4_11536", 1, {13, 4, 11536}},
        {"18_01_14404\n", 0, {0, 0, 0}},       {"1", 0, {0, 0, 0}},                 {"70000_1_1", 0, {0, 0, 0}},
        {"18.1.14404", 0, {0, 0, 0}},
    };
    writeText(firmwareDir() + "fsm_top.bit", "bits");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        writeText(firmwareDir() + "fsm_top_version.txt", c.text);
        platformFpgaVersion_t v = {0, 0, 0};
        EXPECT_EQ(platformFpgaVersionReadFromSd(PLATFORM_FPGA_FSM, &v), c.good);
        if (c.good) {
            EXPECT_EQ(v.major, c.version.major);
            EXPECT_EQ(v.minor, c.version.minor);
            EXPECT_EQ(v.build, c.version.build);
        }
    }
    /* Without the bit stream the version file is not looked at. */
    platformFpgaVersion_t v;
    writeText(firmwareDir() + "dps_top_version.txt", "13_4_11536");
    EXPECT_EQ(platformFpgaVersionReadFromSd(PLATFORM_FPGA_DPS, &v), 0);
    EXPECT_EQ(platformFpgaVersionReadFromSd(2, &v), 0);
}

TEST_F(Platform, OutdatedBitStreamsAreReprogrammedOnceThenTheCardReboots)
{
    platformRecord.fsmVersion = {18, 1, 14404};
    platformRecord.dpsVersion = {13, 4, 11536};
    writeText(firmwareDir() + "fsm_top.bit", "bits");
    writeText(firmwareDir() + "dps_top.bit", "bits");
    writeText(firmwareDir() + "fsm_top_version.txt", "18_2_1\n");
    writeText(firmwareDir() + "dps_top_version.txt", "13_5_1\n");
    standIns();
    size_t mark = TestLog::instance().mark();
    platformFpgaVersionCheck(platformRecord.category);
    /* The LED indicator thread blinked the frame LED during the reprogramming and ends with the check. */
    for (int i = 0; i < 200 && TestLog::instance().since(mark).find("LED indicator thread finished its job") == std::string::npos; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_NE(TestLog::instance().since(mark).find("LED indicator thread finished its job"), std::string::npos);
    std::string r = root.path();
    EXPECT_EQ(standIns(), (std::vector<std::string>{
                              "tclsh " + r + "/sbin/update_FPGA.tcl " + r + "/usr/local/q7/firmware/dps_top.bit DPS",
                              "tclsh " + r + "/sbin/update_FPGA.tcl " + r + "/usr/local/q7/firmware/fsm_top.bit FSM",
                              "reboot",
                          }));
    struct stat st;
    EXPECT_EQ(stat((firmwareDir() + "fsm_update.done").c_str(), &st), 0);
    EXPECT_EQ(stat((firmwareDir() + "dps_update.done").c_str(), &st), 0);
    EXPECT_EQ(platformRecord.versionCheckDone, 1u);
    EXPECT_EQ(platformConfig.reprogramming, 0u);

    /* Reprogrammed once already: never again, and no reboot. */
    platformFpgaVersionCheck(platformRecord.category);
    EXPECT_TRUE(standIns().empty());

    /* Matching versions: nothing runs. */
    unlink((firmwareDir() + "fsm_update.done").c_str());
    writeText(firmwareDir() + "fsm_top_version.txt", "18_1_14404\n");
    platformFpgaVersionCheck(platformRecord.category);
    EXPECT_TRUE(standIns().empty());
}

TEST_F(Platform, RebootNeedsTheConfirmation)
{
    standIns();
    rebootCard(platformRecord.category, 3357);
    EXPECT_TRUE(standIns().empty());
    rebootCard(platformRecord.category, PLATFORM_REBOOT_CONFIRMATION);
    EXPECT_EQ(standIns(), (std::vector<std::string>{"reboot"}));
    EXPECT_NE(firmwareTest::readFile(root / "var/log/hal.log").find("reboot"), std::string::npos);
}

TEST_F(Platform, FactoryDefaultSteps)
{
    const struct {
        const char *name;
        platformFactoryDefaultStep_t step;
        int toolFails;
        uint32_t handled, save, reboot;
        const char *call;
    } cases[] = {
        {"card parameters", platformFactoryDefaultResetCardParameters, 0, 1, 1, 1, "qvoutil --reset params"},
        {"card parameters, tool fails", platformFactoryDefaultResetCardParameters, 1, 1, 0, 0, "qvoutil --reset params"},
        {"network", platformFactoryDefaultResetNetworkConfig, 0, 1, 0, 1, "qvoutil --reset network"},
        {"network, tool fails", platformFactoryDefaultResetNetworkConfig, 1, 1, 0, 0, "qvoutil --reset network"},
        {"alarms", platformFactoryDefaultResetAlarmContribution, 0, 0, 0, 0, nullptr},
        {"reserved 3", platformFactoryDefaultResetReserved3, 0, 0, 0, 0, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        cardsimInstallStandIns();
        if (c.toolFails)
            writeText(root / "bin/qvoutil", "#!/bin/sh\necho \"qvoutil $*\" >> '" + (root / "var/log/standins.log") + "'\nexit 3\n");
        standIns();
        uint32_t handled = 0, save = 0, reboot = 0;
        c.step(platformRecord.category, &handled, &save, &reboot);
        EXPECT_EQ(handled, c.handled);
        EXPECT_EQ(save, c.save);
        EXPECT_EQ(reboot, c.reboot);
        std::vector<std::string> calls = standIns();
        EXPECT_EQ(calls, c.call ? std::vector<std::string>{c.call} : std::vector<std::string>{});
    }
}

TEST_F(Platform, FactoryDefaultDeviceClearsTheRestorePoint)
{
    mkdir((root / "usr/local/q7/firmware").c_str(), 0755);
    writeText(firmwareDir() + "restorepoint.rsp", "version=1.1\nslot=2\nsystemFrameRate=5000\n");
    serviceDescriptor &pds = persistentDataStorageService;
    initService(&pds);
    pds.state = SERVICE_STATE_RUN;
    std::thread thread([&pds] { pds.threadEntry(&pds); });
    const std::string accepted = "received command to set card as Factory_Default!!!";
    size_t mark = TestLog::instance().mark();
    EXPECT_EQ(platformWriteDevice(DEVICE_FACTORY_DEFAULT, 0, 0, nullptr), 1);
    /* Refused on the caller's thread, with its line, before any request reaches the storage thread. */
    std::string refused = TestLog::instance().since(mark);
    EXPECT_NE(refused.find("arguments are bad (address = 0x0, expected 0xFFFF)"), std::string::npos) << refused;
    EXPECT_EQ(refused.find(accepted), std::string::npos) << refused;
    EXPECT_EQ(firmwareTest::readFile(firmwareDir() + "restorepoint.rsp"), "version=1.1\nslot=2\nsystemFrameRate=5000\n");
    EXPECT_EQ(platformWriteDevice(DEVICE_FACTORY_DEFAULT, 0xFFFF, 0, nullptr), 1);
    for (int i = 0; i < 1000 && firmwareTest::readFile(firmwareDir() + "restorepoint.rsp") != "version=1.1\nslot=0\n"; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(firmwareTest::readFile(firmwareDir() + "restorepoint.rsp"), "version=1.1\nslot=0\n");
    /* Only the good request was taken. */
    std::string all = TestLog::instance().since(mark);
    EXPECT_EQ(all.find(accepted), all.rfind(accepted)) << all;
    pds.state = SERVICE_STATE_TERMINATE;
    pds.control(&pds, SERVICE_STATE_TERMINATE, SERVICE_STATE_RUN);
    thread.join();
    /* Only the hal's stand-ins ever ran: nothing was rebooted. */
    EXPECT_TRUE(standIns().empty());
}

TEST_F(Platform, DeviceServicesBoundEveryCopy)
{
    /* The probing service lends the discovery memories at init; the layout manager its data. */
    initService(&probingService);
    platformRegisterDeviceMemory(DEVICE_LAYOUT_MEMORY, layoutGetPrivateData(), sizeof(privateLayoutData), 1);
    uint8_t bytes[40] = {0};
    EXPECT_EQ(platformReadDevice(DEVICE_DISCOVERY_OFFSETS, 28, 4, bytes), 1);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 4), (std::vector<uint8_t>{0, 0, 0, 22}));
    EXPECT_EQ(platformReadDevice(DEVICE_DISCOVERY_OFFSETS, 0, 4, bytes), 1);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 4), (std::vector<uint8_t>{0, 0, 0x03, 0xD0})); /* 976 */
    const struct {
        const char *name;
        uint32_t device, address, size;
        int write;
    } refused[] = {
        {"discovery offsets past the end", DEVICE_DISCOVERY_OFFSETS, 28, 5, 0},
        {"discovery debug past the end", DEVICE_DISCOVERY_DEBUG, PROBING_DISCOVERY_DEBUG_SIZE - 2, 4, 1},
        {"local discovery is read-only", DEVICE_LOCAL_DISCOVERY, 0, 1, 1},
        {"shared memory without a link", DEVICE_M52_MEM, 0, 2, 0},
        {"equaliser write past register 7", DEVICE_EQUALIZER_INPUT_1, 5, 4, 1},
        {"pcode while the processor is not running", DEVICE_PCODE, 0, 2, 1},
        {"temperature sensor write", DEVICE_I2C_TEMP1, 0, 1, 1},
        {"unknown device", 40, 0, 1, 0},
    };
    for (const auto &c : refused) {
        SCOPED_TRACE(c.name);
        memset(bytes, 0xAA, sizeof bytes);
        EXPECT_EQ(c.write ? platformWriteDevice(c.device, c.address, c.size, bytes)
                          : platformReadDevice(c.device, c.address, c.size, bytes),
                  0);
    }
    /* The layout data: in range both ways, and not a byte past its end. */
    uint8_t layoutBytes[4] = {9, 8, 7, 6};
    const uint32_t layoutEnd = (uint32_t)sizeof(privateLayoutData);
    EXPECT_EQ(platformWriteDevice(DEVICE_LAYOUT_MEMORY, 100, 4, layoutBytes), 1);
    EXPECT_EQ(memcmp((uint8_t *)layoutGetPrivateData() + 100, layoutBytes, 4), 0);
    memset(bytes, 0, sizeof bytes);
    EXPECT_EQ(platformReadDevice(DEVICE_LAYOUT_MEMORY, 100, 4, bytes), 1);
    EXPECT_EQ(memcmp(bytes, layoutBytes, 4), 0);
    EXPECT_EQ(platformReadDevice(DEVICE_LAYOUT_MEMORY, layoutEnd - 2, 4, bytes), 0);
    EXPECT_EQ(platformWriteDevice(DEVICE_LAYOUT_MEMORY, layoutEnd, 1, bytes), 0);
    /* Discovery debug buffer in range. */
    uint8_t pattern[3] = {1, 2, 3};
    EXPECT_EQ(platformWriteDevice(DEVICE_DISCOVERY_DEBUG, 10, 3, pattern), 1);
    EXPECT_EQ(memcmp(discoveryDebugBuffer + 10, pattern, 3), 0);
}

TEST_F(Platform, EqualiserReadWrapsAtRegisterSeven)
{
    cardsimFpgaSet(CARDSIM_DPS, 0x8B + 2, 0x0042);
    cardsimClearLogs();
    uint8_t bytes[3] = {0};
    EXPECT_EQ(platformEQReadLMH0394Input(2, 6, 3, bytes), 1);
    std::vector<uint16_t> addressed;
    for (const cardsimFpgaWrite_t &w : cardsimFpgaWrites(CARDSIM_DPS))
        if (w.address == 0x80)
            addressed.push_back(w.value);
    EXPECT_EQ(addressed, (std::vector<uint16_t>{6, 7, 0}));
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 3), (std::vector<uint8_t>{0x42, 0x42, 0x42}));

    /* A write selects every equaliser but the addressed one; the data goes to 0x82 + index. */
    cardsimClearLogs();
    uint8_t value = 0x20;
    EXPECT_EQ(platformEQWriteLMH0394Input(3, 1, 1, &value), 1);
    std::vector<cardsimFpgaWrite_t> writes = cardsimFpgaWrites(CARDSIM_DPS);
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].address, 0x85u);
    EXPECT_EQ(writes[0].value, 0x20);
    EXPECT_EQ(writes[1].value, 1);
    EXPECT_EQ(writes[2].value, 0x8000 | (0x1FF & ~(1 << 3)));

    /* Busy bridge: refused. */
    cardsimFpgaSet(CARDSIM_DPS, 0x81, 0);
    EXPECT_EQ(platformEQReadLMH0394Input(2, 0, 1, bytes), 0);
}

TEST_F(Platform, ThreadControlSetsTheFlags)
{
    /* The probing service lends its flags at init. */
    initService(&probingService);
    const struct {
        uint32_t address;
        std::vector<uint8_t> data;
        uint32_t halted, mergerHalted, timecodeOn, card, input;
    } cases[] = {
        {0xFFFF, {}, 1, 0, 0, 0, 0}, {0xFFFE, {}, 0, 0, 0, 0, 0}, {0xFFFC, {}, 0, 1, 0, 0, 0},
        {0xFFFB, {}, 0, 0, 0, 0, 0}, {0xFFF8, {3, 7}, 0, 0, 1, 3, 7},
        /* A card or input that does not exist is refused: the check goes on as it was. */
        {0xFFF8, {9, 12}, 0, 0, 1, 3, 7}, {0xFFF8, {255, 255}, 0, 0, 1, 3, 7}, {0xFFF8, {5, 8}, 0, 0, 1, 5, 8},
        {0xFFF7, {}, 0, 0, 0, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.address);
        EXPECT_EQ(platformWriteDevice(DEVICE_THREAD_CONTROL, c.address, (uint32_t)c.data.size(), c.data.data()), 1);
        EXPECT_EQ(probingControlFlags.halted, c.halted);
        EXPECT_EQ(probingControlFlags.mergerHalted, c.mergerHalted);
        EXPECT_EQ(probingControlFlags.timecodeCheckOn, c.timecodeOn);
        if (c.timecodeOn) {
            EXPECT_EQ(probingControlFlags.timecodeCard, c.card);
            EXPECT_EQ(probingControlFlags.timecodeInput, c.input);
        }
    }
    /* Cutting the SPI links pauses the pcode path and marks both FPGAs; re-enabling undoes it. */
    platformWriteDevice(DEVICE_THREAD_CONTROL, 0xFFFA, 0, nullptr);
    EXPECT_EQ(deviceManagerGetDevice(DEVICE_FSM_FPGA)->spiLinkCut, 1u);
    EXPECT_EQ(deviceManagerGetDevice(DEVICE_DPS_FPGA)->spiLinkCut, 1u);
    EXPECT_EQ(probingControlFlags.mergerHalted, 1u);
    platformWriteDevice(DEVICE_THREAD_CONTROL, 0xFFF9, 0, nullptr);
    EXPECT_EQ(deviceManagerGetDevice(DEVICE_FSM_FPGA)->spiLinkCut, 0u);
    EXPECT_EQ(probingControlFlags.mergerHalted, 0u);

    uint8_t routing[2] = {5, 1};
    platformWriteDevice(DEVICE_THREAD_CONTROL, 0xFFF6, 2, routing);
    EXPECT_EQ(platformGetDebugRouting().loudness, 1u);
    EXPECT_EQ(platformGetDebugRouting().probing, 0u);
    platformWriteDevice(DEVICE_THREAD_CONTROL, 0xFFF5, 0, nullptr);
    EXPECT_EQ(platformGetDebugRouting().loudness, 0u);
}

struct RearCase {
    const char *name;
    cardsimCard_t card;
    std::vector<std::string> env;
    uint32_t rearType, slot, cardType;
    const char *logged;
};

TEST_F(Platform, DetectsTheRearCard)
{
    auto card = [](int rear, int cardType, int slot, int frame) {
        cardsimCard_t c;
        c.rearType = rear;
        c.cardType = cardType;
        c.slot = slot;
        c.frameType = frame;
        return c;
    };
    const RearCase cases[] = {
        {"rear 15 swaps the slot lines", card(15, 2, 2, 2), {}, 15, 2, 2, "Rear Hardware Slot  : Card C (0x2)"},
        {"rear 0 slot 4", card(0, 2, 4, 2), {}, 0, 4, 2, "Rear Hardware Slot  : Card E (0x4)"},
        {"no rear in Strata-X with NQASI card", card(31, 0, 3, 2), {}, 31, 0, 0,
         "No Rear detected. Defaulting QV card slot as CARD A!!!"},
        {"no rear on card type 5", card(31, 5, 3, 2), {}, 31, 0, 5, "No Rear detected! Could not determine"},
        {"slot 6 is invalid", card(0, 2, 6, 2), {}, 0, 0, 2, "is invalid. Defaulting to Card A!"},
        {"rear override out of range", card(0, 2, 1, 2), {"rearidOverride=32"}, 0, 1, 2,
         "Override rearidOverride detected but the value is out of range. Valid range is 0..31. Value in env var is 32."},
        {"rear override accepted", card(0, 2, 1, 2), {"rearidOverride=31"}, 31, 0, 2, "DEVELOPMENT ONLY OVERRIDE DETECTED!!! Rear ID."},
        {"card type override", card(0, 2, 1, 2), {"cardHwTypeOverride=5"}, 0, 1, 5,
         "DEVELOPMENT ONLY OVERRIDE DETECTED!!! Main Hardware Type."},
    };
    for (const RearCase &c : cases) {
        SCOPED_TRACE(c.name);
        cardsimSetCard(c.card);
        std::vector<std::string> env = {"serial#=1_2"};
        env.insert(env.end(), c.env.begin(), c.env.end());
        ASSERT_EQ(cardsimFlashWrite(env, 0x400, 0), 0);
        platformResetState();
        platformRecord.category = log4c_category_get("ulm.firmware.main");
        size_t mark = TestLog::instance().mark();
        platformDetectRearHardware(platformRecord.category);
        EXPECT_EQ(platformGetRearHwType(), c.rearType);
        EXPECT_EQ(platformGetCardSlotIndex(), c.slot);
        EXPECT_EQ(platformGetCardHwType(), c.cardType);
        EXPECT_NE(TestLog::instance().since(mark).find(c.logged), std::string::npos);
    }
}

TEST_F(Platform, RearCardMustFitCardAndFrame)
{
    const struct {
        uint32_t rear, card, frame;
        int vlan;
        bool fits;
    } cases[] = {
        {0, 2, 2, 0, true},  {0, 5, 2, 0, false}, {0, 2, 0, 0, false}, {4, 5, 0, 0, false}, {4, 5, 0, 1, true},
        {15, 2, 2, 0, true}, {7, 5, 0, 0, true},  {7, 0, 2, 0, false}, {8, 2, 2, 0, false}, {20, 2, 2, 0, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.rear) + "/" + std::to_string(c.card) + "/" + std::to_string(c.frame) + " vlan " +
                     std::to_string(c.vlan));
        platformResetState();
        platformRecord.category = log4c_category_get("ulm.firmware.main");
        platformRecord.rearHwType = c.rear;
        platformRecord.cardHwType = c.card;
        platformRecord.frameType = c.frame;
        if (c.vlan)
            writeText(root / "etc/cardsim-vlan", "");
        else
            unlink((root / "etc/cardsim-vlan").c_str());
        EXPECT_EQ(platformValidateRearHardwareType(platformRecord.category), c.fits);
    }
}

TEST_F(Platform, BuildVersionFromTheDeploymentFile)
{
    const struct {
        const char *text;
        uint8_t version[3];
    } cases[] = {{"qvs.short.version=3.4.1\n", {3, 4, 1}},
                 {"qvs.short.version=3.40.1\n", {0, 0, 0}},
                 {"qvs.short.version=3.4\n", {0, 0, 0}},
                 {"other=1\n", {0, 0, 0}}};
    mkdir((root / "usr/local/q7/conf").c_str(), 0755);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        platformSetUpdateVersion(nullptr, 9, 9, 9);
        writeText(root / "usr/local/q7/conf/qvs-deployment-info.properties", c.text);
        platformApplyBuildVersion(platformRecord.category);
        uint8_t version[3];
        platformGetUpdateVersion(version);
        EXPECT_EQ(std::vector<uint8_t>(version, version + 3), std::vector<uint8_t>(c.version, c.version + 3));
    }
}

TEST_F(Platform, VideoInputLeds)
{
    platformRecord.mainHwRev = 0;
    cardsimFpgaSet(CARDSIM_DPS, 0x70, 0x0001); /* off at boot */
    cardsimClearLogs();
    platformVideoInputLedControl(1);
    platformVideoInputLedControl(1);
    std::vector<cardsimFpgaWrite_t> writes = cardsimFpgaWrites(CARDSIM_DPS);
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].value, 0x0002);
    EXPECT_EQ(writes[1].value, 0);
    EXPECT_EQ(writes[2].value, 0);
    /* debugVideoLed leaves the LEDs as they are. */
    ASSERT_EQ(cardsimFlashWrite({"debugVideoLed=1"}, 0x100, 0), 0);
    cardsimClearLogs();
    platformVideoInputLedControl(0);
    EXPECT_TRUE(cardsimFpgaWrites(CARDSIM_DPS).empty());
}

TEST_F(Platform, DebugLines)
{
    cardsimGpioSet(82, 0);
    platformProbingProcessDebuging(platformRecord.category, 0, 0);
    EXPECT_EQ(cardsimGpioGet(82), 0); /* not routed */
    platformRecord.debugRouting.probing = 1;
    platformProbingProcessDebuging(platformRecord.category, 0, 0);
    EXPECT_EQ(cardsimGpioGet(82), 1);
    platformProbingProcessDebuging(platformRecord.category, 0, 1);
    EXPECT_EQ(cardsimGpioGet(82), 0);
    size_t mark = TestLog::instance().mark();
    platformProbingProcessDebuging(platformRecord.category, 9, 0);
    platformProbingProcessDebuging(platformRecord.category, 0, 3);
    std::string logged = TestLog::instance().since(mark);
    EXPECT_NE(logged.find("Invalid event as argument 9"), std::string::npos);
    EXPECT_NE(logged.find("Invalid action as argument 3"), std::string::npos);
}

TEST_F(Platform, VlanIsAskedOnce)
{
    standIns();
    writeText(root / "etc/cardsim-vlan", "");
    EXPECT_EQ(platformAreWeUsingVlan(platformRecord.category), 1u);
    unlink((root / "etc/cardsim-vlan").c_str());
    EXPECT_EQ(platformAreWeUsingVlan(platformRecord.category), 1u);
    EXPECT_EQ(standIns(), (std::vector<std::string>{"qvoutil -V"}));
}

TEST_F(Platform, CardCapabilities)
{
    const struct {
        uint32_t card, frame;
        bool hdr, nqAsi;
    } cases[] = {{0, 0, false, true}, {2, 2, false, true}, {2, 0, false, false},
                 {4, 0, true, true},  {5, 2, true, false}, {1, 2, false, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.card) + "/" + std::to_string(c.frame));
        platformRecord.cardHwType = c.card;
        platformRecord.frameType = c.frame;
        EXPECT_EQ(platformIsHdrCapableCard(), c.hdr);
        EXPECT_EQ(platformIsUsingNqAsiInputs(), c.nqAsi);
    }
}

TEST_F(Platform, TransceiverPowerDowns)
{
    /* Power-down bit of registers 64, 66, 68, 70, 72, 74, 96, 98, 100, 102, 104, 106. */
    const struct {
        uint32_t rear, slot;
        int down[12];
    } cases[] = {
        {0, 2, {0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0}},  {0, 3, {1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0}},
        {12, 5, {0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0}}, {2, 0, {0, 0, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0}},
        {3, 0, {1, 1, 1, 1, 1, 1, 0, 0, 1, 1, 0, 0}},  {31, 0, {1, 1, 1, 1, 1, 1, 0, 0, 1, 1, 0, 0}},
    };
    const uint32_t regs[12] = {64, 66, 68, 70, 72, 74, 96, 98, 100, 102, 104, 106};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.rear) + " slot " + std::to_string(c.slot));
        for (uint32_t reg : regs)
            cardsimFpgaSet(CARDSIM_FSM, reg, 0x0005); /* other bits are kept */
        platformRecord.rearHwType = c.rear;
        platformRecord.rearSlot = c.slot;
        platformInitGTHrxtxPowerdownControl(platformRecord.category);
        for (int i = 0; i < 12; i++)
            EXPECT_EQ(cardsimFpgaGet(CARDSIM_FSM, regs[i]), c.down[i] ? 0x0007 : 0x0005) << "register " << regs[i];
    }
    cardsimClearLogs();
    platformInitGthSettings();
    std::vector<std::pair<uint32_t, uint16_t>> writes;
    for (const cardsimFpgaWrite_t &w : cardsimFpgaWrites(CARDSIM_FSM))
        writes.push_back({w.address, w.value});
    EXPECT_EQ(writes, (std::vector<std::pair<uint32_t, uint16_t>>{
                          {0x61, 4}, {0x63, 4}, {0x65, 4}, {0x67, 4}, {0x69, 0x1A}, {0x6B, 0x1A}}));
}

TEST_F(Platform, PublishingChunksFollowTheSlot)
{
    const struct {
        uint32_t slot;
        uint32_t chunk0Offset;
        uint32_t othersSent;
    } cases[] = {{0, 0, 1}, {1, 6380, 1}, {3, 19140, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.slot);
        for (uint32_t l = 0; l < sharedMemPublishing.listCount; l++)
            for (uint32_t i = 0; i < sharedMemPublishing.lists[l].chunkCount; i++) {
                sharedMemPublishing.lists[l].chunks[i].send = 0;
                if (i == 0)
                    sharedMemPublishing.lists[l].chunks[i].localOffset = 0;
            }
        platformRecord.rearSlot = c.slot;
        platformEnablePublishingChunks();
        for (uint32_t l = 0; l < sharedMemPublishing.listCount; l++) {
            const sharedMemPublishingList &list = sharedMemPublishing.lists[l];
            EXPECT_EQ(list.chunks[0].localOffset, c.chunk0Offset);
            EXPECT_EQ(list.chunks[0].send, 1u);
            for (uint32_t i = 1; i < list.chunkCount; i++)
                EXPECT_EQ(list.chunks[i].send, c.othersSent);
        }
    }
}

} // namespace
