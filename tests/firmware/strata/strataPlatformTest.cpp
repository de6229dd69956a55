#include "StrataTestSupport.h"

#include "fwEnv/fwEnv.h"
#include "platform/platform.h"
#include "platform/platformPrivate.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace strataTest;
using firmwareTest::TestLog;

namespace {

std::string envValue(const char *name)
{
    char value[128] = "";
    return fwEnvGetEnvCopy(name, value, sizeof value) == 0 ? std::string(value) : std::string("<missing>");
}

size_t count(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}

size_t rebootCount()
{
    return count(halLog(), "reboot\n");
}

void writeScript(const std::string &cardPath, const std::string &body)
{
    std::string path = cardRoot().path() + cardPath;
    std::ofstream(path) << "#!/bin/sh\n" << body;
    chmod(path.c_str(), 0755);
}

std::string readFile(const std::string &cardPath)
{
    return firmwareTest::readFile(cardRoot() / cardPath.substr(1));
}

/* A card in a slot, of a hardware and frame type, on a VLAN or not: the platform record the Parts read. */
struct Card {
    uint32_t slot;
    uint32_t hwType;
    uint32_t frameType;
    uint32_t vlan;
};

class StrataPlatform : public ::testing::Test {
protected:
    void SetUp() override
    {
        STRATA_NEEDS_NAMESPACES();
        setUpProcess();
        ASSERT_FALSE(HasFatalFailure());
        writeBootEnvironment();
        saved = platformRecord;
        platformRecord.rearDetected = 1;
        strataTiming.vlanRebootPauseMs = 10;
        strataIdentityReset();
        strataUpdateLockReset();
    }
    void TearDown() override
    {
        platformRecord.rearSlot = saved.rearSlot;
        platformRecord.cardHwType = saved.cardHwType;
        platformRecord.frameType = saved.frameType;
        platformRecord.vlanKnown = saved.vlanKnown;
        platformRecord.vlanInUse = saved.vlanInUse;
        platformRecord.rearDetected = saved.rearDetected;
        strataMemBlockSelectList(strataCategory(), 0, 0);
        strataLinkConfiguration.isStrataMenuHandledByFirmware = 0;
        strataLinkConfiguration.qvsRelay = 1;
        strataLinkConfiguration.identityA = 0xA9;
        strataLinkConfiguration.identityB = 0x81;
        memcpy(strataLinkConfiguration.modelName, "QMR-1100", 9);
    }
    void useCard(const Card &card)
    {
        platformRecord.rearSlot = card.slot;
        platformRecord.cardHwType = card.hwType;
        platformRecord.frameType = card.frameType;
        platformRecord.vlanKnown = 1;
        platformRecord.vlanInUse = card.vlan;
    }
    std::string memBlock()
    {
        char buffer[4096];
        int n = getStrataConfigProperties(buffer, sizeof buffer, strataCategory());
        return std::string(buffer, n > 0 ? (size_t)n : 0);
    }
    platformRecord_t saved;
};

/* ---- identity ---- */

TEST_F(StrataPlatform, IdentityWordsAndModelNameByHardwareAndFrameType)
{
    struct Case {
        uint32_t hwType;
        uint32_t frameType;
        uint8_t a, b;
        const char *name;
    };
    const Case cases[] = {
        {0, 0, 0xA9, 0x81, "QMR-1100"}, {0, 3, 0xA9, 0x81, "QMR-1100"}, {1, 2, 0xB7, 0x89, "QMR-1200"},
        {2, 2, 0xA9, 0x81, "QMR-1100"}, {2, 0, 0xB7, 0x89, "QMR-1100"}, {2, 1, 0xB7, 0x89, "QMR-1100"},
        {2, 3, 0xB7, 0x89, "QMR-1100"}, {3, 2, 0xB7, 0x89, "QMR-UNK "}, {4, 1, 0xA9, 0x81, "QMR-1300"},
        {5, 0, 0xB7, 0x89, "QMR-1400"}, {5, 2, 0xB7, 0x89, "QMR-1400"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "hw " << c.hwType << " frame " << c.frameType);
        useCard({0, c.hwType, c.frameType, 0});
        platformStrataPreServiceInit(strataCategory());
        uint8_t devId[STRATA_DEV_ID_SIZE];
        strataBuildDevId(&strataLinkConfiguration, devId);
        EXPECT_EQ(devId[1], c.a);
        EXPECT_EQ(devId[3], c.b);
        EXPECT_EQ(std::string((const char *)devId + 6, 8), c.name);
    }
}

TEST_F(StrataPlatform, UnknownHardwareTypesAreLogged)
{
    useCard({0, 3, 2, 0});
    size_t mark = TestLog::instance().mark();
    platformStrataPreServiceInit(strataCategory());
    std::string log = TestLog::instance().since(mark);
    EXPECT_NE(log.find("Main hardware type 3 detected in frame type 2 is unknown!!! Defaulting Strata card an Memory "
                       "Block IDs to Default IDS (0xb7, 0x89)."),
              std::string::npos);
    EXPECT_NE(log.find("Main hardware type 3 unknown!!! Defaulting Strata card_name to QMR-UNK ."), std::string::npos);
}

TEST_F(StrataPlatform, MenuOwnerAndCardLabelBySlotAndVlan)
{
    struct Case {
        const char *name;
        Card card;
        const char *ipaddrvlan2; /* null: missing */
        uint32_t firmwareMenu;
        const char *label;
    };
    const Case cases[] = {
        {"slot A", {0, 4, 2, 0}, nullptr, 0, "QMR-1300"},
        {"slot B on a VLAN", {1, 0, 2, 1}, "169.254.2.12", 0, "QMR-1100"},
        {"slot C", {2, 4, 2, 0}, nullptr, 1, "QMR-1300-C"},
        {"slot D on a VLAN", {3, 4, 2, 1}, "169.254.2.14", 1, "QMR-1300-D SLOT 14"},
        {"slot F on a VLAN", {5, 5, 2, 1}, "169.254.2.7", 1, "QMR-1400-F SLOT 7"},
        {"VLAN address missing", {4, 4, 2, 1}, nullptr, 1, "QMR-1300-E"},
        {"VLAN address without the prefix", {3, 4, 2, 1}, "10.1.2.14", 1, "QMR-1300-D"},
        {"VLAN prefix only", {3, 4, 2, 1}, "169.254.2.", 1, "QMR-1300-D"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> env = {"ipaddr=10.0.0.21"};
        if (c.ipaddrvlan2)
            env.push_back(std::string("ipaddrvlan2=") + c.ipaddrvlan2);
        cardsimFlashWrite(env, 0x1000, 0);
        useCard(c.card);
        strataIdentityReset();
        strataLinkConfiguration.isStrataMenuHandledByFirmware = 0;
        strataLinkConfiguration.qvsRelay = 1;
        /* as the service runs them: the menu decision at init, the identity at pre-start */
        platformStrataDoWeHandleMenu(strataCategory());
        platformStrataPreServiceInit(strataCategory());
        char label[STRATA_CARD_LABEL_SIZE];
        strataGetCardLabelText(label);
        EXPECT_STREQ(label, c.label);
        EXPECT_EQ(strataLinkConfiguration.isStrataMenuHandledByFirmware, c.firmwareMenu);
        EXPECT_EQ(strataLinkConfiguration.qvsRelay, c.firmwareMenu ? 0u : 1u);
        EXPECT_EQ(strataLinkConfiguration.statusByFirmware, 1u);
    }
}

TEST_F(StrataPlatform, VersionTextIsReadOnce)
{
    mkdir((cardRoot().path() + "/usr/local/q7/conf").c_str(), 0755);
    std::string path = cardRoot().path() + "/usr/local/q7/conf/qvs-deployment-info.properties";
    unlink(path.c_str());
    strataSetMenuConstantStrings();
    EXPECT_STREQ(strataGetFwVersionText(), "Unknown");
    std::ofstream(path) << "qvs.version=4.2.17\n";
    strataSetMenuConstantStrings();
    EXPECT_STREQ(strataGetFwVersionText(), "Unknown");
    strataIdentityReset();
    strataSetMenuConstantStrings();
    EXPECT_STREQ(strataGetFwVersionText(), "4.2.17");
    std::ofstream(path) << "qvs.version=5.0.0\n";
    strataSetMenuConstantStrings();
    EXPECT_STREQ(strataGetFwVersionText(), "4.2.17");
    unlink(path.c_str());
}

/* ---- MEM_BLOCK ---- */

TEST_F(StrataPlatform, FirstListGivesSixLinesInOrderWithEmptyValuesForMissingVariables)
{
    cardsimFlashWrite({"ipaddr=10.0.0.21", "netmask=255.255.255.0", "gatewayip=10.0.0.1", "sfp1disable=1",
                       "sfp2disable=0"},
                      0x1000, 0);
    EXPECT_EQ(memBlock(), "ipaddr=10.0.0.21\nnetmask=255.255.255.0\ngatewayip=10.0.0.1\nframeipaddr=\n"
                          "sfp1disable=1\nsfp2disable=0\n");
}

TEST_F(StrataPlatform, ListIsChosenBySlotAndVlan)
{
    cardsimFlashWrite({"ipaddr=1.2.3.4", "netmask=255.0.0.0", "gatewayip=1.1.1.1", "frameipaddr=1.2.3.1",
                       "sfp1disable=0", "sfp2disable=1"},
                      0x1000, 0);
    struct Case {
        uint32_t slot;
        uint32_t vlan;
        const char *text;
    };
    const Case cases[] = {
        {0, 0, "ipaddr=1.2.3.4\nnetmask=255.0.0.0\ngatewayip=1.1.1.1\nframeipaddr=1.2.3.1\nsfp1disable=0\nsfp2disable=1\n"},
        {0, 1, "netmask=255.0.0.0\ngatewayip=1.1.1.1\nframeipaddr=1.2.3.1\nsfp1disable=0\nsfp2disable=1\n"},
        {1, 0, "ipaddr=1.2.3.4\nnetmask=255.0.0.0\ngatewayip=1.1.1.1\nsfp1disable=0\nsfp2disable=1\n"},
        {3, 0, "ipaddr=1.2.3.4\nnetmask=255.0.0.0\ngatewayip=1.1.1.1\nsfp1disable=0\nsfp2disable=1\n"},
        {1, 1, "sfp1disable=0\nsfp2disable=1\n"},
        {5, 1, "sfp1disable=0\nsfp2disable=1\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "slot " << c.slot << " vlan " << c.vlan);
        useCard({c.slot, 0, 2, c.vlan});
        platformStrataPreServiceInit(strataCategory());
        EXPECT_EQ(memBlock(), c.text);
    }
}

TEST_F(StrataPlatform, TooSmallABufferKeepsTheWholeLinesThatFit)
{
    char buffer[40];
    size_t mark = TestLog::instance().mark();
    int n = getStrataConfigProperties(buffer, sizeof buffer, strataCategory());
    EXPECT_EQ(std::string(buffer, (size_t)n), "ipaddr=10.0.0.21\nnetmask=255.255.255.0\n");
    EXPECT_NE(TestLog::instance().since(mark).find("env variables too big for MEM_BLOCK"), std::string::npos);
}

TEST_F(StrataPlatform, ReceivedMemBlockWritesOnlyKnownChangedValidValues)
{
    const std::string own = "ipaddr=10.0.0.21\nnetmask=255.255.255.0\ngatewayip=10.0.0.1\nframeipaddr=10.0.0.2\n"
                            "sfp1disable=\nsfp2disable=\n";
    struct Case {
        const char *name;
        std::string text;
        int result;
        const char *key;      /* variable to look at */
        const char *expected; /* its value afterwards */
        const char *logLine;
    };
    const Case cases[] = {
        {"identical", own, 0, "netmask", "255.255.255.0", "Mem-Block No config change detected!"},
        {"identical over the shorter length", own.substr(0, 30), 0, "ipaddr", "10.0.0.21",
         "Mem-Block No config change detected!"},
        {"new netmask", "ipaddr=10.0.0.21\nnetmask=255.255.0.0\n", 1, "netmask", "255.255.0.0",
         "GOING TO REBOOT, BUT Bypassing it!!! Because 255.255.255.0 != to 255.255.0.0"},
        {"three groups", "ipaddr=10.0.0.21\nnetmask=255.255.255\n", 0, "netmask", "255.255.255.0",
         "Error when parsing mem-block. The Key netmask passed from the Strata controller had a value of 255.255.255 "
         "which is invalid. Ignoring it!"},
        {"too short", "ipaddr=1.2.3\n", 0, "ipaddr", "10.0.0.21",
         "It should be between 7..15 chars long."},
        {"unknown name", "hostname=card\n", 0, "hostname", "<missing>",
         "Ignoring property 'hostname' since it is not known by the actual firmware."},
        {"duplicated ipaddr", "ipaddr=10.0.0.99\nnetmask=255.0.0.0\nipaddr=10.0.0.98\n", 0, "netmask",
         "255.255.255.0",
         "Mem-Block received from Strata Controller has duplicate keys! Ignoring it since it's corrupted."},
        {"SFP value taken as it comes", "ipaddr=10.0.0.21\nsfp1disable=yes\n", 1, "sfp1disable", "yes",
         "writing in flash sfp1disable=yes"},
        {"walk ends at a line without its newline", "ipaddr=10.0.0.21\nsfp2disable=1", 0, "sfp2disable",
         "<missing>", "Mem-Block changed."},
        {"walk ends at a line without '='", "ipaddr=10.0.0.21\nbroken\nsfp2disable=1\n", 0, "sfp2disable",
         "<missing>", "Mem-Block changed."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        writeBootEnvironment();
        size_t mark = TestLog::instance().mark();
        EXPECT_EQ(compareMemBlock(c.text.data(), (uint32_t)c.text.size(), strataCategory()), c.result);
        EXPECT_EQ(envValue(c.key), c.expected);
        EXPECT_NE(TestLog::instance().since(mark).find(c.logLine), std::string::npos)
            << TestLog::instance().since(mark);
    }
}

TEST_F(StrataPlatform, DuplicateTestMatchesWholeNamesOnly)
{
    const std::string similar = "ipaddr=1.1.1.1\nipaddrvlan2=1.1.1.2\nnetmask=255.0.0.0\n";
    EXPECT_EQ(checkForDuplicateKeys(strataCategory(), similar.data(), (uint32_t)similar.size()), 0);
    const std::string twice = "sfp2disable=1\nsfp2disable=0\n";
    EXPECT_EQ(checkForDuplicateKeys(strataCategory(), twice.data(), (uint32_t)twice.size()), 1);
    EXPECT_EQ(checkForDuplicateKeys(strataCategory(), nullptr, 10), 0);
    EXPECT_EQ(checkForDuplicateKeys(strataCategory(), "", 0), 0);
}

TEST_F(StrataPlatform, ChangedMemBlockRebootsOnlyOffAVlan)
{
    struct Case {
        Card card;
        uint32_t changed;
        size_t reboots;
        const char *logLine;
    };
    const Case cases[] = {
        {{3, 0, 2, 0}, 1, 1, "environment variables are different from strata MEM_BLOCK, card will reboot!"},
        {{0, 0, 2, 1}, 1, 0, "but first we will wait to see if vlan ipaddr changed too!"},
        {{4, 0, 2, 1}, 1, 0, "Cards C or D do not need to reboot when this happens."},
        {{3, 0, 2, 0}, 0, 0, nullptr},
        {{3, 0, 2, 0}, 2, 0, nullptr},
    };
    cardsimInstallStandIns();
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "slot " << c.card.slot << " vlan " << c.card.vlan << " arg " << c.changed);
        useCard(c.card);
        size_t before = cardsimStandInCalls().size();
        size_t mark = TestLog::instance().mark();
        platformSetMemBlockEvent(c.changed);
        auto calls = cardsimStandInCalls();
        EXPECT_EQ(calls.size() - before, c.reboots);
        if (c.reboots) {
            EXPECT_EQ(calls.back().rfind("reboot", 0), 0u) << calls.back();
        }
        if (c.logLine) {
            EXPECT_NE(TestLog::instance().since(mark).find(c.logLine), std::string::npos);
        }
    }
}

TEST_F(StrataPlatform, MacParameterKeepsTheSeparatorStyle)
{
    const uint8_t mac[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
    struct Case {
        const char *current; /* null: missing */
        int result;
        const char *stored;
    };
    const Case cases[] = {
        {"00.11.22.33.44.55", 0, "00.1a.2b.3c.4d.5e"},
        {"00:11:22:33:44:55", 0, "00:1a:2b:3c:4d:5e"},
        {nullptr, 0, "00:1a:2b:3c:4d:5e"},
        {"001122334455", -1, "001122334455"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.current ? c.current : "missing");
        std::vector<std::string> env = {"ipaddr=10.0.0.21"};
        if (c.current)
            env.push_back(std::string("eth1addr=") + c.current);
        cardsimFlashWrite(env, 0x1000, 0);
        EXPECT_EQ(setMacParameter("eth1addr", mac, strataCategory()), c.result);
        EXPECT_EQ(envValue("eth1addr"), c.stored);
    }
}

/* ---- VLAN address and capabilities ---- */

TEST_F(StrataPlatform, VlanAddressMismatchRewritesTheVariablesAndRebootsAfterTheirPause)
{
    strataTiming.vlanRebootPauseMs = 500;
    useCard({3, 4, 2, 1});
    cardsimFlashWrite({"ipaddr=10.0.0.21", "ipaddrvlan2=169.254.2.9", "vlan2netmask=255.255.0.0"}, 0x1000, 0);
    size_t before = rebootCount();
    auto start = std::chrono::steady_clock::now();
    platformSyncVlan2Address(strataCategory(), 0, 14, nullptr);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(envValue("ipaddrvlan2"), "169.254.2.14");
    EXPECT_EQ(envValue("vlan2netmask"), "255.255.255.0");
    EXPECT_EQ(rebootCount(), before + 1);
    EXPECT_GE(elapsed, std::chrono::milliseconds(500));
}

TEST_F(StrataPlatform, VlanAddressChecks)
{
    struct Case {
        const char *name;
        uint32_t vlan;
        uint32_t fromController;
        std::vector<uint8_t> given;
        std::vector<std::string> env;
        size_t reboots;
        const char *address;
    };
    const Case cases[] = {
        {"not on a VLAN", 0, 0, {}, {"ipaddr=1.1.1.1"}, 0, "<missing>"},
        {"addresses right", 1, 0, {}, {"ipaddrvlan2=169.254.2.14", "vlan2netmask=255.255.255.0"}, 0,
         "169.254.2.14"},
        {"controller's address", 1, 1, {169, 254, 2, 33}, {"ipaddrvlan2=169.254.2.14", "vlan2netmask=255.255.255.0"},
         1, "169.254.2.33"},
        {"mask missing", 1, 0, {}, {"ipaddrvlan2=169.254.2.14"}, 1, "169.254.2.14"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        useCard({3, 4, 2, c.vlan});
        cardsimFlashWrite(c.env, 0x1000, 0);
        size_t before = rebootCount();
        platformSyncVlan2Address(strataCategory(), c.fromController, 14, c.given.empty() ? nullptr : c.given.data());
        EXPECT_EQ(rebootCount(), before + c.reboots);
        EXPECT_EQ(envValue("ipaddrvlan2"), c.address);
    }
}

TEST_F(StrataPlatform, CapabilitiesAgainstCpuEth3HasVlan)
{
    struct Case {
        uint8_t capabilities;
        const char *variable; /* null: missing */
        const char *after;
        size_t reboots;
        const char *logLine;
    };
    const Case cases[] = {
        {3, "1", "1", 0, "The Strata Controller supports vlan and we are set up correctly."},
        {0, "0", "0", 0, "The Strata Controller does not support vlan and we are set up correctly."},
        {0, nullptr, "0", 0, "Environment variable cpuEth3HasVlan was not found."},
        {1, "1", "0", 1, "The Strata controller does not support vlan and we are set up incorrectly."},
        {3, "0", "1", 1, "The Strata controller supports vlan and we are set up incorrectly."},
        {3, nullptr, "1", 1, "cpuEth3HasVlan changed, therefore going to reboot."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "capabilities " << (int)c.capabilities << " variable "
                                        << (c.variable ? c.variable : "missing"));
        std::vector<std::string> env = {"ipaddr=10.0.0.21"};
        if (c.variable)
            env.push_back(std::string("cpuEth3HasVlan=") + c.variable);
        cardsimFlashWrite(env, 0x1000, 0);
        size_t before = rebootCount();
        size_t mark = TestLog::instance().mark();
        platformSyncCapabilities(strataCategory(), c.capabilities);
        EXPECT_EQ(envValue("cpuEth3HasVlan"), c.after);
        EXPECT_EQ(rebootCount(), before + c.reboots);
        EXPECT_NE(TestLog::instance().since(mark).find(c.logLine), std::string::npos);
    }
}

TEST_F(StrataPlatform, PingDecidesTheCapabilitiesByItsExitStatus)
{
    mkdir((cardRoot().path() + "/bin").c_str(), 0755);
    struct Case {
        const char *variable;
        int exitStatus;
        int result;
        uint8_t before, after;
        size_t pings;
    };
    const Case cases[] = {
        {"1", 0, 0, 0x00, 0x03, 1}, {"1", 1, 0, 0x03, 0x00, 1}, {"1", 2, -1, 0x01, 0x01, 1},
        {"0", 0, -1, 0x00, 0x00, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "variable " << c.variable << " exit " << c.exitStatus);
        cardsimFlashWrite({std::string("cpuEth3HasVlan=") + c.variable}, 0x1000, 0);
        writeScript("/bin/ping", "echo \"$@\" >> " + cardRoot().path() + "/var/log/ping.log\nexit " +
                                     std::to_string(c.exitStatus) + "\n");
        std::string before = readFile("/var/log/ping.log");
        uint8_t capabilities = c.before;
        EXPECT_EQ(getControllerCapabilitiesAnotherWay(strataCategory(), &capabilities), c.result);
        EXPECT_EQ(capabilities, c.after);
        std::string after = readFile("/var/log/ping.log").substr(before.size());
        EXPECT_EQ(count(after, "-c 1 -W 2 169.254.2.1\n"), c.pings);
    }
    unlink((cardRoot().path() + "/bin/ping").c_str());
}

TEST_F(StrataPlatform, PolledValuesReachTheirTargets)
{
    useCard({3, 4, 2, 0});
    platformStrataChanged(strataCategory(), STRATA_OPCODE_RESTORE_POINT_CONFIG, 0);
    platformReportStrataControllerStatus(strataCategory(), 1, 0);
    /* VLAN2_CARD_IP off a VLAN does nothing */
    cardsimFlashWrite({"ipaddr=10.0.0.21"}, 0x1000, 0);
    size_t before = rebootCount();
    platformStrataChanged(strataCategory(), STRATA_OPCODE_VLAN2_CARD_IP, 14);
    EXPECT_EQ(envValue("ipaddrvlan2"), "<missing>");
    EXPECT_EQ(rebootCount(), before);
    /* CONTROLLER_CAPABILITIES with only bit 0 and cpuEth3HasVlan 1: rewritten to 0 and rebooted */
    cardsimFlashWrite({"cpuEth3HasVlan=1"}, 0x1000, 0);
    platformStrataChanged(strataCategory(), STRATA_OPCODE_CAPABILITIES, 1);
    EXPECT_EQ(envValue("cpuEth3HasVlan"), "0");
    EXPECT_EQ(rebootCount(), before + 1);
}

std::vector<std::string> hookCalls;
void frameStatusHook(uint16_t status) { hookCalls.push_back("status " + std::to_string(status)); }
void ipHook(uint32_t address) { hookCalls.push_back("ip " + std::to_string(address)); }
void frameTypeHook(uint8_t type) { hookCalls.push_back("type " + std::to_string(type)); }
void vlanReadyHook(log4c_category_t *) { hookCalls.push_back("vanc"); }

TEST_F(StrataPlatform, PolledValuesReachTheDiscoveryRecord)
{
    strataRegisterDiscoveryHooks(frameStatusHook, ipHook, frameTypeHook);
    strataRegisterVlanReadyHook(vlanReadyHook);
    hookCalls.clear();
    useCard({3, 4, 2, 0});
    platformStrataChanged(strataCategory(), STRATA_OPCODE_FRAME_STATUS, 0x0201);
    platformStrataChanged(strataCategory(), STRATA_OPCODE_FRAME_TYPE, 3);
    /* only interface 0 and only off a VLAN */
    platformStrataChanged(strataCategory(), STRATA_OPCODE_IP_CONFIG_V2, 1);
    strataReplyStore([](strataReplySlots_t *slots, const uint8_t *, uint32_t) { slots->frameIp[0] = 0x0A000002; },
                     nullptr, 0);
    platformStrataChanged(strataCategory(), STRATA_OPCODE_IP_CONFIG_V2, 0);
    platformRecord.vlanInUse = 1;
    platformStrataChanged(strataCategory(), STRATA_OPCODE_IP_CONFIG_V2, 0);
    /* right VLAN addresses: the frame address becomes the controller's, then the VANC record starts */
    cardsimFlashWrite({"ipaddrvlan2=169.254.2.14", "vlan2netmask=255.255.255.0"}, 0x1000, 0);
    platformSyncVlan2Address(strataCategory(), 0, 14, nullptr);
    EXPECT_EQ(hookCalls, (std::vector<std::string>{"status 513", "type 3", "ip 167772162", "ip 2851996161",
                                                   "vanc"}));
    strataRegisterDiscoveryHooks(nullptr, nullptr, nullptr);
    strataRegisterVlanReadyHook(nullptr);
}

/* ---- updates ---- */

TEST_F(StrataPlatform, UpdateLockIsTenBytesAndAcceptedAgainOnlyByItsOwner)
{
    std::string lock = cardRoot().path() + "/var/lock/updateManager.lock";
    unlink(lock.c_str());
    EXPECT_EQ(platformGetUpdateManagerLock(strataCategory()), 0);
    std::string content = firmwareTest::readFile(lock);
    ASSERT_EQ(content.size(), 10u);
    size_t digits = content.find('\0');
    ASSERT_NE(digits, std::string::npos);
    EXPECT_GT(digits, 0u);
    EXPECT_EQ(content.substr(digits), std::string(10 - digits, '\0'));
    EXPECT_EQ(content.substr(0, digits), std::to_string(gettid()));
    /* the same process again */
    EXPECT_EQ(platformGetUpdateManagerLock(strataCategory()), 0);
    /* released: the file goes, and a second release says nothing more */
    EXPECT_EQ(platformReleaseUpdateManagerLock(strataCategory()), 0);
    struct stat info;
    EXPECT_NE(stat(lock.c_str(), &info), 0);
    size_t mark = TestLog::instance().mark();
    EXPECT_EQ(platformReleaseUpdateManagerLock(strataCategory()), 0);
    EXPECT_EQ(TestLog::instance().since(mark).find("therefore were not removing it"), std::string::npos);
    /* another process holds it */
    std::ofstream(lock) << "12345";
    strataUpdateLockReset();
    EXPECT_EQ(platformGetUpdateManagerLock(strataCategory()), 1);
    mark = TestLog::instance().mark();
    EXPECT_EQ(platformReleaseUpdateManagerLock(strataCategory()), 0);
    EXPECT_NE(TestLog::instance().since(mark).find("We did not set the upgrade lock (/var/lock/updateManager.lock) "
                                                   "therefore were not removing it."),
              std::string::npos);
    EXPECT_EQ(stat(lock.c_str(), &info), 0);
    unlink(lock.c_str());
}

TEST_F(StrataPlatform, LockOwnerTextIsBounded)
{
    char id[10];
    strataFormatLockOwner(id);
    EXPECT_LT(strnlen(id, sizeof id), sizeof id);
}

TEST_F(StrataPlatform, FtpServerPortWritesItsThreeKeysOnlyWhenGiven)
{
    std::string conf = cardRoot().path() + "/etc/vsftpd.conf";
    const std::string original = "listen=YES\npasv_enable=NO\n";
    std::ofstream(conf) << original;
    size_t starts = count(halLog(), "command /etc/init.d/vsftpd start");
    EXPECT_EQ(platformStartFtpServer(strataCategory(), 0), 0);
    EXPECT_EQ(firmwareTest::readFile(conf), original);
    EXPECT_EQ(count(halLog(), "command /etc/init.d/vsftpd start"), starts + 1);
    EXPECT_EQ(platformStartFtpServer(strataCategory(), 2121), 0);
    EXPECT_EQ(firmwareTest::readFile(conf),
              "listen=YES\npasv_enable=Yes\npasv_max_port=2121\npasv_min_port=2121\n");
    std::string log = halLog();
    size_t stop = log.rfind("command /etc/init.d/vsftpd stop");
    size_t start = log.rfind("command /etc/init.d/vsftpd start");
    EXPECT_LT(stop, start);
}

TEST_F(StrataPlatform, StatusFileGivesStateTextAndProgress)
{
    std::string path = cardRoot().path() + "/tmp/fum-update-status";
    struct Case {
        const char *content; /* null: no file */
        int result;
        uint32_t state, progress;
        const char *text;
    };
    const Case cases[] = {
        {"3\nCopying\n45\n", 0, 3, 45, "Copying"},
        {"0x10\nDone\n100", 0, 16, 100, "Done"},
        {"3\nCopying\n", -1, 3, 7, "Copying"},
        {nullptr, -1, 7, 7, "-"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.content ? c.content : "no file");
        unlink(path.c_str());
        if (c.content)
            std::ofstream(path) << c.content;
        uint32_t state = 7, progress = 7;
        char text[64] = "-";
        EXPECT_EQ(platformReadFumUpdateStatus(strataCategory(), &state, &progress, text, sizeof text), c.result);
        EXPECT_EQ(state, c.state);
        EXPECT_EQ(progress, c.progress);
        EXPECT_STREQ(text, c.text);
    }
    /* a long text line is cut to its first 54 characters */
    std::ofstream(path) << "1\n" << std::string(80, 'x') << "\n5\n";
    uint32_t state = 0, progress = 0;
    char text[100] = "";
    platformReadFumUpdateStatus(strataCategory(), &state, &progress, text, sizeof text);
    EXPECT_EQ(std::string(text), std::string(54, 'x'));
    unlink(path.c_str());
}

TEST_F(StrataPlatform, UpdateScriptStartsOnceInTheBackgroundAfterTheOldStatusGoes)
{
    std::string status = cardRoot().path() + "/tmp/fum-update-status";
    std::ofstream(status) << "1\nold\n0\n";
    mkdir((cardRoot().path() + "/upgrade").c_str(), 0755);
    writeScript("/sbin/fum-update.sh", "echo \"run $1\" >> " + cardRoot().path() + "/var/log/fum-runs.log\n"
                                       "echo to-the-log\necho to-the-log-too >&2\n");
    unlink((cardRoot().path() + "/var/log/fum-runs.log").c_str());
    EXPECT_EQ(platformStartFumUpdate(strataCategory()), 0);
    struct stat info;
    EXPECT_NE(stat(status.c_str(), &info), 0);
    std::string runs;
    for (int i = 0; i < 2000 && (runs = readFile("/var/log/fum-runs.log")).empty(); i++)
        usleep(10000);
    std::string log;
    for (int i = 0; i < 2000 && (log = readFile("/var/log/fum-update.log")).find("too") == std::string::npos; i++)
        usleep(10000);
    EXPECT_EQ(runs, "run " + cardRoot().path() + "/upgrade/fum-ftp/in\n");
    EXPECT_EQ(log, "to-the-log\nto-the-log-too\n");
    unlink((cardRoot().path() + "/sbin/fum-update.sh").c_str());
}

TEST_F(StrataPlatform, DumpDbGetsTheNameAsOneArgument)
{
    mkdir((cardRoot().path() + "/usr/bin").c_str(), 0755);
    writeScript("/usr/bin/dumpDb", "echo \"$#:$1\" > " + cardRoot().path() + "/var/log/dumpDb.args\n"
                                   "echo '  /data/backup-1.db and more'\n");
    char out[100] = "x";
    EXPECT_EQ(platformCreateDbBackup("nightly; touch /tmp/owned", out, sizeof out), 0);
    EXPECT_STREQ(out, "/data/backup-1.db");
    EXPECT_EQ(readFile("/var/log/dumpDb.args"), "1:nightly; touch /tmp/owned\n");
    EXPECT_NE(halLog().find("program dumpDb nightly; touch /tmp/owned"), std::string::npos);
    struct stat info;
    EXPECT_NE(stat("/tmp/owned", &info), 0);
    /* no output: nothing */
    writeScript("/usr/bin/dumpDb", "exit 0\n");
    EXPECT_EQ(platformCreateDbBackup("x", out, sizeof out), -1);
    EXPECT_STREQ(out, "");
    unlink((cardRoot().path() + "/usr/bin/dumpDb").c_str());
}

/* ---- listeners ---- */

TEST_F(StrataPlatform, TimeRefreshPeriod)
{
    struct Case {
        const char *value; /* null: unset */
        uint32_t seconds;
    };
    const Case cases[] = {{"60", 300}, {"600", 600}, {nullptr, 100000}, {"soon", 300}, {"300", 300}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value ? c.value : "unset");
        if (c.value)
            setenv("TIME_REFRESH_IN_SECONDS", c.value, 1);
        else
            unsetenv("TIME_REFRESH_IN_SECONDS");
        EXPECT_EQ(strataTimeRefreshSeconds(), c.seconds);
    }
    unsetenv("TIME_REFRESH_IN_SECONDS");
}

bool waitForLog(const std::string &needle, int milliseconds)
{
    for (int waited = 0; waited < milliseconds && !TestLog::instance().contains(needle); waited += 10)
        usleep(10000);
    return TestLog::instance().contains(needle);
}

std::atomic<int> timeCalls{0};
/* The thread that made the last call, and how often it had given up the processor then. */
std::atomic<pid_t> timeCaller{0};
std::atomic<long> timeCallerSwitches{-1};
void countTimeCall(uint32_t)
{
    pid_t self = threadState::currentTid();
    timeCallerSwitches = threadState::voluntarySwitches(self);
    timeCaller = self;
    timeCalls++;
}
void ignoreTimeCall(uint32_t) {}
void ignorePress(uint32_t) {}

TEST_F(StrataPlatform, ListenersRegisterOnceAndTheTimeListenerCallsAtEachPeriodEnd)
{
    size_t mark = TestLog::instance().mark();
    registerTimeSyncListener(countTimeCall, strataCategory());
    registerTimeSyncListener(ignoreTimeCall, strataCategory());
    EXPECT_TRUE(waitForLog("timeSync is set with timedelay 100000 Sec", 20000));
    for (int period = 1; period <= 2; period++) {
        strataTimeSyncPeriodOver();
        for (int i = 0; i < 2000 && timeCalls < period; i++)
            usleep(10000);
        ASSERT_EQ(timeCalls.load(), period);
        /*
         * The listener back asleep in its wait for the next period end after
         * the call: a second call for this period would have come before it.
         */
        ASSERT_TRUE(threadState::waitForFutexWaitAfter(timeCaller, timeCallerSwitches))
            << "the time listener did not wait again after its call";
        EXPECT_EQ(timeCalls.load(), period);
    }
    /* no button node below the card root: the button listener ends, the rest goes on */
    unlink((cardRoot().path() + "/dev/uio0").c_str());
    registerStrataButtonListener(ignorePress, strataCategory());
    registerStrataButtonListener(ignorePress, strataCategory());
    EXPECT_TRUE(waitForLog("detectStrataButton FATAL failed to open /dev/uio0", 20000));
    std::string log = TestLog::instance().since(mark);
    EXPECT_EQ(count(log, "registerTimeSyncListener was called already. Ignored"), 1u);
    EXPECT_EQ(count(log, "registerStrataCardStatus was called already. Ignored"), 1u);
}

} // namespace

/* ---- live update indication ---- */

namespace {

struct Led {
    uint32_t ledId, enable, colour, state, blinkCount, callerId;
    bool operator==(const Led &o) const
    {
        return ledId == o.ledId && enable == o.enable && colour == o.colour && state == o.state &&
               blinkCount == o.blinkCount && callerId == o.callerId;
    }
};

std::ostream &operator<<(std::ostream &out, const Led &l)
{
    return out << "{led " << l.ledId << " enable " << l.enable << " colour " << l.colour << " state " << l.state
               << " blink " << l.blinkCount << " caller " << l.callerId << "}";
}

std::vector<Led> ledRequests;

void noteLed(log4c_category_t *, const ledControlRequest *r)
{
    ledRequests.push_back({r->ledId, r->enable, r->colour, r->state, r->blinkCount, r->callerId});
}

} // namespace

/*
 * A live update turns the card's status indication on (the status LED lit,
 * the frame LED blinking without end) and its end turns it off again; other
 * values leave the LEDs and the log alone.
 */
TEST_F(StrataPlatform, LiveUpdateDrivesTheStatusIndication)
{
    useCard({2, 4, 2, 0});
    platformRegisterLedManager(noteLed, nullptr);
    const struct {
        const char *name;
        uint32_t value;
        const char *logged;
        std::vector<Led> leds;
    } cases[] = {
        {"started", 1, "liveUpdateMsgProcessing: Liveupdate Started,...", {{4, 1, 1, 0, 0, 3}, {3, 1, 3, 2, 255, 3}}},
        {"finished", 0, "liveUpdateMsgProcessing: Liveupdate Finished.", {{4, 0, 1, 0, 0, 3}, {3, 1, 1, 0, 0, 3}}},
        {"value 2", 2, nullptr, {}},
        {"all bits set", 0xFFFFFFFF, nullptr, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ledRequests.clear();
        size_t mark = TestLog::instance().mark();
        liveUpdateMsgProcessing(0xFF, STRATA_LIVE_UPDATE_DEVICE, STRATA_LIVE_UPDATE_REGISTER, c.value);
        std::string log = TestLog::instance().since(mark);
        EXPECT_EQ(ledRequests, c.leds);
        if (c.logged) {
            EXPECT_EQ(count(log, c.logged), 1u) << log;
        }
        EXPECT_EQ(count(log, "Liveupdate"), c.logged ? 1u : 0u) << log;
    }
    platformRegisterLedManager(nullptr, nullptr);
}
