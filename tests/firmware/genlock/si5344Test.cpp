/*
 * The Si5344 driver's traffic as the clock generator sees it on its bus:
 * every register write is the page write [01 page] then [offset value].
 */

#include "genlock/si5344.h"

#include "cardsim/cardsim.h"
#include "deviceManager/deviceManager.h"

#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>

#include "../main/FirmwareTestSupport.h"

using firmwareTest::TestLog;

namespace {

struct Write {
    uint16_t reg;
    uint8_t value;
    bool operator==(const Write &o) const { return reg == o.reg && value == o.value; }
};
std::ostream &operator<<(std::ostream &out, const Write &w)
{
    char text[24];
    snprintf(text, sizeof text, "0x%04X=0x%02X", w.reg, w.value);
    return out << text;
}

class Si5344 : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestLog::instance();
        setenv("KVR_ROOT", root.path().c_str(), 1);
        ASSERT_UNDER_CARD_ROOT();
        cardsimStart();
        cardsimVsyncStop();
        deviceManagerInit(nullptr);
        si5344Initialize(&driver, log4c_category_get("ulm.firmware.genlock"));
        ASSERT_EQ(si5344Register(&driver, kvrGenlockSi5344RegWrite, nullptr, nullptr, DEVICE_I2C_CLOCK_CLEANER), 1);
        cardsimClearLogs();
    }
    void TearDown() override
    {
        deviceManagerTerminate(nullptr, 3, 0);
        cardsimStop();
        unsetenv("KVR_ROOT");
    }
    static std::vector<Write> writes()
    {
        std::vector<Write> out;
        for (const cardsimSi5344Write_t &w : cardsimSi5344Writes())
            out.push_back({w.reg, w.value});
        return out;
    }
    static uint8_t valueOf(const std::vector<Write> &all, uint16_t reg)
    {
        for (const Write &w : all)
            if (w.reg == reg)
                return w.value;
        ADD_FAILURE() << "register " << reg << " not written";
        return 0;
    }
    TempDir root;
    si5344Driver driver;
};

TEST_F(Si5344, PlanThreeIsFiftySixOneByteWritesAsPageAndOffsetPairs)
{
    EXPECT_EQ(si5344SelectPlan(&driver, 3), 1);
    /* The raw messages: 112 two-byte writes to 0x68, alternating [01 page] and [offset value]. */
    std::vector<cardsimI2cMessage_t> log = cardsimI2cLog();
    ASSERT_EQ(log.size(), 112u);
    EXPECT_EQ(log[0].bus, "/dev/i2c-4");
    EXPECT_EQ(log[0].slave, 0x68);
    EXPECT_EQ(log[0].bytes, (std::vector<uint8_t>{0x01, 0x0B}));
    EXPECT_EQ(log[1].bytes, (std::vector<uint8_t>{0x24, 0xD8}));
    EXPECT_EQ(log[2].bytes, (std::vector<uint8_t>{0x01, 0x0B}));
    EXPECT_EQ(log[3].bytes, (std::vector<uint8_t>{0x25, 0x00}));
    EXPECT_EQ(log[4].bytes, (std::vector<uint8_t>{0x01, 0x00}));
    EXPECT_EQ(log[5].bytes, (std::vector<uint8_t>{0x2E, 0xD8}));
    EXPECT_EQ(log[110].bytes, (std::vector<uint8_t>{0x01, 0x0B}));
    EXPECT_EQ(log[111].bytes, (std::vector<uint8_t>{0x25, 0x02}));
    for (const cardsimI2cMessage_t &m : log) {
        EXPECT_FALSE(m.read);
        EXPECT_EQ(m.bytes.size(), 2u);
    }

    std::vector<Write> all = writes();
    ASSERT_EQ(all.size(), 56u);
    EXPECT_EQ(std::vector<Write>(all.begin(), all.begin() + 2), (std::vector<Write>{{0x0B24, 0xD8}, {0x0B25, 0x00}}));
    EXPECT_EQ(std::vector<Write>(all.end() - 4, all.end()),
              (std::vector<Write>{{0x0514, 0x01}, {0x001C, 0x01}, {0x0B24, 0xDB}, {0x0B25, 0x02}}));
    /* The free-run plan goes from 0x002E upwards. */
    EXPECT_EQ(all[2].reg, 0x002E);
    EXPECT_EQ(all[51].reg, 0x0B4A);
    for (size_t i = 3; i < 52; i++)
        EXPECT_LT(all[i - 1].reg, all[i].reg) << i;
    EXPECT_EQ(cardsimI2cGet("/dev/i2c-4", 0x68, 0x0209), 0x03);
}

TEST_F(Si5344, PlansWriteTheRowsTheirFrequenciesNeedInTheirOrder)
{
    const struct {
        uint32_t plan;
        const char *name;
        uint16_t first, last;
        std::vector<Write> rows;
    } cases[] = {
        {1, "NTSC FREE RUN 27Mhz->148.35", 0x002E, 0x0B4A,
         {{0x002E, 0x6C}, {0x002F, 0x01}, {0x0042, 0x0B}, {0x0208, 0xF4}, {0x0209, 0x01}, {0x050D, 0x3F},
          {0x0513, 0x3F}, {0x0519, 0xC6}, {0x051A, 0x11}, {0x0532, 0xF2}, {0x0533, 0x15}}},
        {2, "NTSC URS      54Mhz->148.35", 0x025C, 0x0250,
         {{0x050D, 0x3F}, {0x0513, 0x3F}, {0x0519, 0xC6}, {0x051A, 0x11}, {0x0532, 0xF2}, {0x0533, 0x15}}},
        {3, "PAL  FREE RUN 27Mhz->148.5", 0x002E, 0x0B4A,
         {{0x002E, 0xD8}, {0x002F, 0x02}, {0x0042, 0x0A}, {0x0208, 0xE8}, {0x0209, 0x03}, {0x050D, 0x1F},
          {0x0513, 0x1F}, {0x0519, 0x8C}, {0x051A, 0x23}, {0x0532, 0xE3}, {0x0533, 0x2B}}},
        {4, "PAL  URS      54Mhz->148.5", 0x025C, 0x0250,
         {{0x002E, 0x32}, {0x002F, 0x07}, {0x0208, 0xC4}, {0x0209, 0x09}, {0x050D, 0x1F}, {0x0513, 0x1F},
          {0x0519, 0x8C}, {0x051A, 0x23}, {0x0532, 0xE3}, {0x0533, 0x2B}}},
    };
    std::vector<uint16_t> registersOfPlan1;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        cardsimClearLogs();
        size_t mark = TestLog::instance().mark();
        EXPECT_EQ(si5344SelectPlan(&driver, c.plan), 1);
        std::vector<Write> all = writes();
        ASSERT_EQ(all.size(), 56u);
        EXPECT_EQ(all[2].reg, c.first);
        EXPECT_EQ(all[51].reg, c.last);
        for (const Write &row : c.rows)
            EXPECT_EQ(valueOf(all, row.reg), row.value) << row;
        std::vector<uint16_t> planRegisters;
        for (size_t i = 2; i < 52; i++)
            planRegisters.push_back(all[i].reg);
        std::sort(planRegisters.begin(), planRegisters.end());
        if (registersOfPlan1.empty())
            registersOfPlan1 = planRegisters;
        EXPECT_EQ(planRegisters, registersOfPlan1) << "every plan writes the same 50 registers";
        std::string text = TestLog::instance().since(mark);
        EXPECT_NE(text.find("GENLOCK SI5344 DRIVER:si5344SelectPlan: Writing frequency plan to SI5344 device: [" +
                            std::to_string(c.plan) + "][" + c.name + "]"),
                  std::string::npos);
        EXPECT_NE(text.find("GENLOCK SI5344 DRIVER:si5344SoftResetAll: Performing SI5344 resetting, initialize and "
                            "calibrates the entire device!"),
                  std::string::npos);
    }
}

TEST_F(Si5344, PlansZeroAndFiveWriteNothing)
{
    for (uint32_t plan : {0u, 5u, 77u}) {
        SCOPED_TRACE(plan);
        size_t mark = TestLog::instance().mark();
        EXPECT_EQ(si5344SelectPlan(&driver, plan), 0);
        EXPECT_TRUE(cardsimI2cLog().empty());
        EXPECT_NE(TestLog::instance().since(mark).find("unsupported frequency plan is given: " + std::to_string(plan) +
                                                       "! Please check!"),
                  std::string::npos);
    }
}

TEST_F(Si5344, FactoryDefaultIs315WritesAndASoftReset)
{
    EXPECT_EQ(si5344LoadFactoryDefault(&driver), 1);
    std::vector<Write> all = writes();
    ASSERT_EQ(all.size(), 316u);
    EXPECT_EQ(std::vector<Write>(all.begin(), all.begin() + 5),
              (std::vector<Write>{{0x0B24, 0xD8}, {0x0B25, 0x00}, {0x000B, 0x68}, {0x0016, 0x02}, {0x0017, 0x1C}}));
    EXPECT_EQ(std::vector<Write>(all.end() - 5, all.end()),
              (std::vector<Write>{{0x0514, 0x01}, {0x001C, 0x01}, {0x0B24, 0xDB}, {0x0B25, 0x02}, {0x001C, 0x01}}));
    /* The default is the NTSC free-run plan. */
    EXPECT_EQ(valueOf(all, 0x0208), 0xF4);
    EXPECT_EQ(valueOf(all, 0x050D), 0x3F);
}

TEST_F(Si5344, AFailedWriteStopsThePlanAndIsReported)
{
    /* The page write and the data write of the first register both fail. */
    cardsimI2cFail("/dev/i2c-4", 2);
    size_t mark = TestLog::instance().mark();
    EXPECT_EQ(si5344SelectPlan(&driver, 3), 0);
    EXPECT_TRUE(cardsimI2cLog().empty()) << "nothing more is sent after the failure";
    EXPECT_NE(TestLog::instance().since(mark).find("writing register 0x0b24 = 0xd8 failed (write 1 of 2)"),
              std::string::npos);

    cardsimClearLogs();
    cardsimI2cFail("/dev/i2c-4", 2);
    EXPECT_EQ(si5344LoadFactoryDefault(&driver), 0);
    EXPECT_TRUE(cardsimI2cLog().empty());

    EXPECT_EQ(kvrGenlockSi5344RegWrite(DEVICE_I2C_CLOCK_CLEANER, 0x0B24, 0xD8), 1);
    cardsimI2cFail("/dev/i2c-4", 2);
    EXPECT_EQ(kvrGenlockSi5344RegWrite(DEVICE_I2C_CLOCK_CLEANER, 0x0B24, 0xD8), 0);
}

TEST_F(Si5344, RegistrationNeedsAWriteFunction)
{
    si5344Driver bare;
    si5344Initialize(&bare, log4c_category_get("ulm.firmware.genlock"));
    size_t mark = TestLog::instance().mark();
    EXPECT_EQ(si5344Register(&bare, nullptr, nullptr, nullptr, 8), 0);
    std::string text = TestLog::instance().since(mark);
    for (const char *line : {"GENLOCK SI5344 DRIVER:si5344Register: parameter ptrFuncWrite is NULL",
                             "GENLOCK SI5344 DRIVER:si5344Register: parameter ptrFuncRead is NULL",
                             "GENLOCK SI5344 DRIVER:si5344Register: parameter ptrFuncConfig is NULL",
                             "GENLOCK SI5344 DRIVER:si5344Register: Registration failed!!! see previous log"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    mark = TestLog::instance().mark();
    EXPECT_EQ(si5344SelectPlan(&bare, 1), 0);
    EXPECT_NE(TestLog::instance().since(mark).find("ptrSi5344->ptrFuncWrite is NULL, need to be registered with "
                                                   "si5344Register() before using!"),
              std::string::npos);
    EXPECT_TRUE(cardsimI2cLog().empty());
}

} // namespace
