/*
 * The SFP cage on the card emulator: the state machine driven as the
 * probing service drives it (the action's read through the device manager,
 * then its post-read), the status block words, and the transmitters.
 */

#include "sfp/sfp.h"

#include "cardsim/cardsim.h"
#include "deviceManager/deviceManager.h"
#include "fwEnv/fwEnv.h"
#include "platform/platformPrivate.h"
#include "qvsInterface/qvsInterface.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "../main/EmulatedCard.h"
#include "../main/FirmwareTestSupport.h"

using firmwareTest::TestLog;

namespace {

uint8_t sharedMemory[CARD_STATUS_BLOCK_SIZE * CARD_STATUS_BLOCK_COUNT];

class Sfp : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestLog::instance();
        firmwareTest::startEmulatedCard(root, category, sharedMemory, sizeof sharedMemory);
        platformRecord.rearSlot = 2;
        sfpInit(category, sharedMemory);
        cardsimClearLogs();
    }
    void TearDown() override
    {
        deviceManagerTerminate(nullptr, 3, 0);
        cardsimStop();
        unsetenv("KVR_ROOT");
    }
    /* One run of the action: returns the state it read. */
    uint32_t round()
    {
        uint32_t state = sfpGetCage().state;
        probingAction &a = sfpProbingAction;
        deviceManagerAccess(a.command, a.device, a.address, a.priority, a.count, a.destination);
        a.postRead(&a);
        return state;
    }
    std::vector<uint32_t> rounds(int n)
    {
        std::vector<uint32_t> states;
        for (int i = 0; i < n; i++)
            states.push_back(round());
        return states;
    }
    static std::vector<uint8_t> block(uint32_t offset, uint32_t length = 2)
    {
        const uint8_t *own = sharedMemory + CARD_STATUS_BLOCK_SIZE * 2 + offset;
        return std::vector<uint8_t>(own, own + length);
    }
    /* The bytes written to a slave of the SFP bus, one message each. */
    static std::vector<std::vector<uint8_t>> writesTo(uint8_t slave)
    {
        std::vector<std::vector<uint8_t>> out;
        for (const cardsimI2cMessage_t &m : cardsimI2cLog())
            if (m.bus == "/dev/i2c-3" && m.slave == slave && !m.read && m.bytes.size() == 2)
                out.push_back(m.bytes);
        return out;
    }
    log4c_category_t *category = log4c_category_get("ulm.firmware.probingSrvc");
    TempDir root;
};

TEST_F(Sfp, NoModuleIsLoggedOnceAndPublishesNothing)
{
    cardsimSfpPlug(0);
    size_t mark = TestLog::instance().mark();
    EXPECT_EQ(rounds(4), (std::vector<uint32_t>{0, 0, 0, 0}));
    std::string text = TestLog::instance().since(mark);
    size_t first = text.find("SFP: cage 0 not present.");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(text.find("SFP: cage 0 not present.", first + 1), std::string::npos) << "logged once";
    EXPECT_EQ(block(SFP_BLOCK_STATUS), (std::vector<uint8_t>{0x00, 0x00}));
}

TEST_F(Sfp, ADualChannelModuleIsIdentifiedThenMeasuredInTurn)
{
    cardsimSfpModule_t module;
    module.vendorName = "GENNUM";
    module.partNumber = "GO2964-LM";
    module.temperature[0] = 0x1A80;
    module.temperature[1] = 0x2100;
    module.voltage[0] = 33000;
    module.voltage[1] = 32990;
    module.power[0] = 0x0123;
    module.power[1] = 0x0456;
    cardsimSfpInsert(module);
    size_t mark = TestLog::instance().mark();
    EXPECT_EQ(rounds(11), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 3}));
    EXPECT_EQ(block(SFP_BLOCK_STATUS), (std::vector<uint8_t>{0x21, 0x03}));
    std::vector<uint8_t> part = block(SFP_BLOCK_PART_NUMBER, 16);
    EXPECT_EQ(std::string(part.begin(), part.end()), "GO2964-LM       ");
    EXPECT_EQ(block(SFP_BLOCK_TEMPERATURE_0), (std::vector<uint8_t>{0x1A, 0x00}));
    EXPECT_EQ(block(SFP_BLOCK_VOLTAGE_0), (std::vector<uint8_t>{0x01, 0x4A})); /* 330 */
    EXPECT_EQ(block(SFP_BLOCK_POWER_0), (std::vector<uint8_t>{0x01, 0x23}));
    EXPECT_EQ(block(SFP_BLOCK_TEMPERATURE_1), (std::vector<uint8_t>{0x21, 0x00}));
    EXPECT_EQ(block(SFP_BLOCK_VOLTAGE_1), (std::vector<uint8_t>{0x01, 0x4A})); /* 329.9 rounds to 330 */
    EXPECT_EQ(block(SFP_BLOCK_POWER_1), (std::vector<uint8_t>{0x04, 0x56}));
    std::string text = TestLog::instance().since(mark);
    EXPECT_NE(text.find("SFP: isCheckCodeValid: cageNb = 0 Serial Base Id Fields are Valid."), std::string::npos);
    EXPECT_NE(text.find("SFP: 0 Vendor Name GENNUM          , Part Number GO2964-LM       ."), std::string::npos);
    EXPECT_EQ(text.find("unknown."), std::string::npos);
    EXPECT_TRUE(sfpIsDualChannel());
}

TEST_F(Sfp, VendorCodeOuiAndConnectorMakeTheStatus)
{
    const struct {
        const char *vendor;
        uint8_t oui2;
        uint8_t connector;
        std::vector<uint8_t> status;
        bool unknown;
    } cases[] = {
        {"GENNUM", 0x1E, 7, {0x21, 0x03}, false},
        {"EMBRIONIX", 0x1E, 7, {0x51, 0x03}, false},
        {"TARNWICK", 0x00, 7, {0x61, 0x02}, false},
        {"OE SOLUTIONS", 0x1E, 1, {0x41, 0x01}, false},
        {"ACME OPTICS", 0x1E, 7, {0x03, 0x03}, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.vendor);
        cardsimSfpModule_t module;
        module.vendorName = c.vendor;
        module.oui[2] = c.oui2;
        module.connector = c.connector;
        cardsimSfpInsert(module);
        sfpInit(category, sharedMemory);
        size_t mark = TestLog::instance().mark();
        rounds(2);
        EXPECT_EQ(block(SFP_BLOCK_STATUS), c.status);
        std::string line = std::string("SFP: 0 Vendor Name ") + c.vendor;
        line.resize(19 + 16, ' ');
        line += " unknown.";
        EXPECT_EQ(TestLog::instance().since(mark).find(line) != std::string::npos, c.unknown) << line;
    }
}

TEST_F(Sfp, ACheckCodeMismatchIsLoggedAndTheDiagnosticsGoOn)
{
    cardsimSfpModule_t module;
    module.ccBaseOffset = 5;
    cardsimSfpInsert(module);
    size_t mark = TestLog::instance().mark();
    EXPECT_EQ(rounds(5), (std::vector<uint32_t>{0, 1, 2, 3, 4}));
    EXPECT_NE(TestLog::instance().since(mark).find("Serial Base Id Fields are NOT Valid!!! CC_BASE check failed. "
                                                   "(calculated="),
              std::string::npos);
    EXPECT_EQ(block(SFP_BLOCK_TEMPERATURE_0), (std::vector<uint8_t>{0x28, 0x00}));
}

TEST_F(Sfp, TheSingleChannelPartSkipsChannelOneAndConfiguresItselfOnEveryIdentification)
{
    cardsimSfpModule_t module;
    module.partNumber = "EB34TD1T-SN";
    module.channel1 = 0;
    cardsimSfpInsert(module);
    EXPECT_EQ(rounds(9), (std::vector<uint32_t>{0, 1, 2, 3, 5, 7, 9, 3, 5}));
    EXPECT_FALSE(sfpIsDualChannel());
    const std::vector<std::vector<uint8_t>> configuration = {{0x9F, 0x70}, {0x9D, 0x20}, {0x93, 0xFD}};
    EXPECT_EQ(writesTo(0x51), configuration);
    EXPECT_EQ(block(SFP_BLOCK_TEMPERATURE_1), (std::vector<uint8_t>{0x00, 0x00}));

    /* Pulled: the next read finds channel 0 gone and the machine starts over (a read that finds no
       slave leaves the slave address in its first byte). */
    cardsimSfpPlug(0);
    size_t mark = TestLog::instance().mark();
    EXPECT_EQ(rounds(2), (std::vector<uint32_t>{7, 0}));
    EXPECT_NE(TestLog::instance().since(mark).find("SFP: cage 0 channel 0 (0 based) not present. power ch 0 = "
                                                   "0x51ff. Expected to be non 0xFF.)"),
              std::string::npos);
    EXPECT_EQ(block(SFP_BLOCK_STATUS), (std::vector<uint8_t>{0x00, 0x00}));
    EXPECT_EQ(block(SFP_BLOCK_PART_NUMBER, 16), std::vector<uint8_t>(16, 0));

    /* Plugged again: identified again, configured again. */
    cardsimClearLogs();
    cardsimSfpInsert(module);
    EXPECT_EQ(rounds(4), (std::vector<uint32_t>{0, 1, 2, 3}));
    EXPECT_EQ(writesTo(0x51), configuration);
}

TEST_F(Sfp, ASwappedModuleIsIdentifiedAfresh)
{
    cardsimSfpModule_t first;
    first.partNumber = "EB34TD1T-SN";
    first.channel1 = 0;
    cardsimSfpInsert(first);
    rounds(5);
    EXPECT_FALSE(sfpIsDualChannel());
    cardsimSfpModule_t second;
    second.vendorName = "OPTOWAY";
    cardsimSfpInsert(second);
    sfpInit(category, sharedMemory);
    EXPECT_EQ(rounds(5), (std::vector<uint32_t>{0, 1, 2, 3, 4}));
    EXPECT_TRUE(sfpIsDualChannel());
    EXPECT_EQ(block(SFP_BLOCK_STATUS), (std::vector<uint8_t>{0x31, 0x03}));
}

TEST_F(Sfp, MissingChannelOneIsLoggedAtMostThreeTimes)
{
    cardsimSfpModule_t module;
    module.channel1 = 0;
    cardsimSfpInsert(module);
    size_t mark = TestLog::instance().mark();
    rounds(30);
    std::string text = TestLog::instance().since(mark);
    size_t n = 0;
    for (size_t at = text.find("channel 1 (0 based) not present."); at != std::string::npos;
         at = text.find("channel 1 (0 based) not present.", at + 1))
        n++;
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(block(SFP_BLOCK_TEMPERATURE_1), (std::vector<uint8_t>{0x00, 0x00}));
    EXPECT_EQ(block(SFP_BLOCK_STATUS)[0] & 0x01, 0x01) << "the module stays present";
}

class SfpTransmitters : public Sfp {
protected:
    void SetUp() override
    {
        Sfp::SetUp();
        fwEnvInitMutex();
    }
};

TEST_F(SfpTransmitters, ASetDevicePcodeSwitchesTheTransmitterAndStoresTheChoice)
{
    ASSERT_EQ(cardsimFlashWrite({"ipaddr=10.0.0.2"}, 0x400, 0), 0);
    EXPECT_EQ(sfpSetDevicePcodeHandler(4, 150, 290, 0), 0);
    EXPECT_EQ(sfpSetDevicePcodeHandler(4, 151, 290, 0), 0);
    EXPECT_EQ(cardsimFpgaGet(CARDSIM_FSM, SFP_TX_REGISTER), 0x3);
    size_t mark = TestLog::instance().mark();
    EXPECT_EQ(sfpSetDevicePcodeHandler(4, 151, 290, 1), 0);
    EXPECT_EQ(cardsimFpgaGet(CARDSIM_FSM, SFP_TX_REGISTER), 0x1);
    EXPECT_STREQ(fwEnvGetEnv("sfp2disable"), "0");
    EXPECT_STREQ(fwEnvGetEnv("sfp1disable"), "1");
    std::string text = TestLog::instance().since(mark);
    for (const char *line :
         {"sfpSetDevicePcodeHandler, SFP: start processing pcode, device id: 151, register id: 290, value: 1 ",
          "SFP: sfpDisableTx request, Cage: 0 txId: 1, disable: 0!",
          "SFP: sfpDisableTx state, tx1_disable: 1, tx2_disable: 1!", "sfpSaveRestorePoint: sending SAVE_RESTORE_POINT to strata",
          "sfpSetDevicePcodeHandler, SFP: finish processing pcode, device id: 151, register id: 290, value: 1 "})
        EXPECT_NE(text.find(line), std::string::npos) << line;

    const struct {
        uint16_t device, reg;
        uint32_t value;
        const char *line;
    } refused[] = {
        {151, 291, 1, "SFP: invalid register id "},
        {152, 290, 1, "SFP: invalid device id "},
        {151, 290, 2, "SFP: invalid value "},
    };
    for (const auto &c : refused) {
        SCOPED_TRACE(c.line);
        cardsimClearLogs();
        mark = TestLog::instance().mark();
        EXPECT_EQ(sfpSetDevicePcodeHandler(4, c.device, c.reg, c.value), 4);
        EXPECT_NE(TestLog::instance().since(mark).find(c.line), std::string::npos);
        EXPECT_TRUE(cardsimFpgaWrites(CARDSIM_FSM).empty());
    }
    EXPECT_STREQ(fwEnvGetEnv("sfp2disable"), "0");
}

TEST_F(SfpTransmitters, StoredChoicesAreAppliedAndMissingOnesCreated)
{
    ASSERT_EQ(cardsimFlashWrite({"ipaddr=10.0.0.2", "sfp1disable=1"}, 0x400, 0), 0);
    size_t mark = TestLog::instance().mark();
    sfpApplyStoredTxDisable(category);
    EXPECT_EQ(cardsimFpgaGet(CARDSIM_FSM, SFP_TX_REGISTER), 0x1);
    EXPECT_STREQ(fwEnvGetEnv("sfp2disable"), "0");
    std::string text = TestLog::instance().since(mark);
    EXPECT_NE(text.find("SFP: disabled on head 1 "), std::string::npos);
    EXPECT_NE(text.find("SFP: head 2 enable by default "), std::string::npos);
    EXPECT_EQ(text.find("SFP: head 1 enable by default "), std::string::npos);
}

TEST_F(SfpTransmitters, BadTransmitterRequestsAreRefused)
{
    size_t mark = TestLog::instance().mark();
    EXPECT_EQ(sfpDisableTx(1, 0, 1), 0);
    EXPECT_EQ(sfpDisableTx(0, 3, 1), 0);
    EXPECT_EQ(sfpDisableTx(0, 0, 2), 0);
    EXPECT_TRUE(cardsimFpgaWrites(CARDSIM_FSM).empty());
    EXPECT_NE(TestLog::instance().since(mark).find("SFP: sfpDisableTx Error, SFP Cage 0 txId 3 value  1!"),
              std::string::npos);
    EXPECT_EQ(sfpDisableTx(0, 2, 1), 1) << "txId 2 is SFP 1";
    EXPECT_EQ(cardsimFpgaGet(CARDSIM_FSM, SFP_TX_REGISTER), 0x1);
    mark = TestLog::instance().mark();
    platformSFPOutControl(4);
    platformSFPOutControl(3);
    std::string text = TestLog::instance().since(mark);
    EXPECT_NE(text.find("ERROR platformSFPOutControl: head 4 does not exist!"), std::string::npos);
    EXPECT_EQ(text.find("head 3 does not exist"), std::string::npos);
}

} // namespace
