#include "configManager/configManager.h"
#include "serviceManager/serviceManager.h"

#include <cstring>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include "../main/FirmwareTestSupport.h"

using firmwareTest::readFile;
using firmwareTest::TestLog;

namespace {

class ConfigManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestLog::instance();
        setenv("KVR_ROOT", root.path().c_str(), 1);
        mkdir((root / "usr").c_str(), 0755);
        mkdir((root / "usr/local").c_str(), 0755);
        mkdir((root / "usr/local/q7").c_str(), 0755);
        mkdir((root / "usr/local/q7/firmware").c_str(), 0755);
    }
    void TearDown() override { unsetenv("KVR_ROOT"); }
    void writeConfig(const std::string &xml) { std::ofstream(root / "usr/local/q7/firmware/configuration.xml") << xml; }
    void init() { configManagerInit(&configManagerService); }
    TempDir root;
};

TEST_F(ConfigManagerTest, LoadsSectionsNamesAndParameters)
{
    writeConfig("<configuration>\n"
                "  <version>1.5</version>\n"
                "  <service>\n"
                "    <enable>1</enable>\n" /* before any name: ignored */
                "    <name>probing</name><enable>1</enable><postponeStartup>3</postponeStartup>\n"
                "    <!-- a comment -->\n"
                "    <name>fifoServer</name><portA>7001</portA><portF>7006</portF><unknownKey>5</unknownKey>\n"
                "  </service>\n"
                "  <service><name>debuger</name><enable>x</enable><port> 42 </port></service>\n"
                "  <other><name>probing</name><enable>9</enable></other>\n"
                "</configuration>\n");
    size_t mark = TestLog::instance().mark();
    init();
    struct Case {
        const char *key;
        int value;
    } cases[] = {
        {"service.probing.enable", 1},        {"service.probing.postponeStartup", 3},
        {"service.fifoServer.portA", 7001},   {"service.fifoServer.portF", 7006},
        {"service.fifoServer.portB", 6002},   {"service.debuger.enable", 0}, /* text without digits */
        {"service.debuger.port", 42},         {"service.hdrManager.enable", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(configGetIntValue(c.key), c.value);
    }
    /* Keys outside the table are ignored silently. */
    EXPECT_EQ(TestLog::instance().since(mark).find("unknownKey"), std::string::npos);
    EXPECT_EQ(TestLog::instance().since(mark).find("Configuration Error"), std::string::npos);
}

TEST(ConfigParseInt, TakesWholeDecimalNumbersInRangeOnly)
{
    const struct {
        const char *text;
        int32_t low, high;
        int ok;
        int32_t value;
    } cases[] = {
        {"1", 0, 1, 1, 1},          {" 42 ", 0, 65535, 1, 42},  {"\n\t7\n", 0, 9, 1, 7},
        {"+3", 0, 9, 1, 3},         {"-1", -5, 5, 1, -1},       {"2147483647", 0, INT32_MAX, 1, INT32_MAX},
        {"yes", 0, 1, 0, 0},        {"2", 0, 1, 0, 0},          {"1abc", 0, 1, 0, 0},
        {"-1", 0, INT32_MAX, 0, 0}, {"99999999999", 0, INT32_MAX, 0, 0}, {"99999999999999999999", 0, INT32_MAX, 0, 0},
        {"soon", 0, INT32_MAX, 0, 0}, {"", 0, 1, 0, 0},         {"   ", 0, 1, 0, 0},
        {"0x10", 0, 65535, 0, 0},   {"70000", 1, 65535, 0, 0},  {"0", 1, 65535, 0, 0},
        {"+-1", -5, 5, 0, 0},       {"1 2", 0, 99, 0, 0},       {"2147483648", INT32_MIN, INT32_MAX, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("\"") + c.text + "\"");
        int32_t value = -99;
        EXPECT_EQ(configManagerParseInt(c.text, c.low, c.high, &value) == 0, c.ok == 1);
        EXPECT_EQ(value, c.ok ? c.value : -99);
    }
}

TEST_F(ConfigManagerTest, BadFilesKeepTheDefaults)
{
    struct Case {
        const char *name;
        const char *xml; /* null: no file */
        const char *logged;
        const char *reason; /* the second line after the file's path; null: no second line */
    } cases[] = {
        {"no file", nullptr, "Configuration Error: invalid file", ": failed to load external entity"},
        {"not XML", "<configuration><service>", "Configuration Error: invalid file",
         ": line 1: Premature end of data in tag service line 1"},
        {"mismatched tags", "<configuration>\n<service></enable>\n</configuration>\n",
         "Configuration Error: invalid file", ": line 2: Opening and ending tag mismatch: service line 2 and enable"},
        {"empty", "", "Configuration Error: invalid file", ": line 1: Document is empty"},
        {"other root", "<settings><service><name>probing</name><enable>1</enable></service></settings>",
         "Configuration Error: Root Node value is not 'settings'",
         ": its root element is 'settings', not 'configuration'"},
    };
    std::string path = root / "usr/local/q7/firmware/configuration.xml";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        unlink(path.c_str());
        if (c.xml)
            writeConfig(c.xml);
        size_t mark = TestLog::instance().mark();
        init();
        std::string logged = TestLog::instance().since(mark);
        EXPECT_NE(logged.find("configParse: " + std::string(c.logged) + "\n"), std::string::npos) << logged;
        if (c.reason) {
            EXPECT_NE(logged.find("configParse: " + path + c.reason), std::string::npos) << logged;
        } else {
            EXPECT_EQ(logged.find("configParse: " + path), std::string::npos) << logged;
        }
        EXPECT_EQ(configGetIntValue("service.probing.enable"), 0);
        EXPECT_EQ(configLoadFile((root / "usr/local/q7/firmware/configuration.xml").c_str(), configManagerTable()), 4);
    }
}

TEST_F(ConfigManagerTest, UnknownKeysLogAndGiveZero)
{
    writeConfig("<configuration/>");
    init();
    size_t mark = TestLog::instance().mark();
    EXPECT_EQ(configGetIntValue("service.nothing.enable"), 0);
    configSetIntValue("service.nothing.enable", 5);
    EXPECT_EQ(configGetStringValue("service.probing.enable"), nullptr); /* an integer key */
    std::string logged = TestLog::instance().since(mark);
    EXPECT_NE(logged.find("Config: Int value invalid for service.nothing.enable"), std::string::npos);
    EXPECT_NE(logged.find("Config: string value invalid for service.probing.enable"), std::string::npos);
    configSetIntValue("service.probing.enable", 1);
    EXPECT_EQ(configGetIntValue("service.probing.enable"), 1);
}

TEST_F(ConfigManagerTest, StringSetsOnKeysThatAreNoStringsLogAndChangeNothing)
{
    writeConfig("<configuration><service><name>probing</name><enable>1</enable></service></configuration>");
    init();
    const struct {
        const char *key;
        const char *logged;
    } cases[] = {
        {"service.nothing.label", "configSetStringValue: Config: string value invalid for service.nothing.label"},
        {"service.probing.enable", "configSetStringValue: Config: string value invalid for service.probing.enable"},
        {nullptr, "configSetStringValue: Config: string value invalid for (null)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.logged);
        size_t mark = TestLog::instance().mark();
        configSetStringValue(c.key, "text");
        EXPECT_NE(TestLog::instance().since(mark).find(c.logged), std::string::npos) << TestLog::instance().since(mark);
        EXPECT_EQ(configGetIntValue("service.probing.enable"), 1); /* an integer key keeps its value */
    }
    /* A null value on a key that is no string changes nothing either. */
    configSetStringValue("service.probing.enable", nullptr);
    EXPECT_EQ(configGetIntValue("service.probing.enable"), 1);
}

TEST_F(ConfigManagerTest, StringValuesKeepAtMostOneHundredCharactersAndTheirTerminator)
{
    configEntry_t entries[] = {
        {"card.main.label", CONFIG_TYPE_STRING, 0, ""},
        {"card.main.short", CONFIG_TYPE_STRING, 0, ""},
    };
    GHashTable *table = configManagerBuildTable(entries, 2);
    std::string path = root / "strings.xml";
    std::string exact(100, 'e');
    std::ofstream(path) << "<configuration><card><name>main</name><label>" << std::string(150, 'L')
                        << "</label><short>" << exact << "</short></card></configuration>";
    /* Poison the byte behind the value: the terminator must be written. */
    memset(entries[0].stringValue, 'Q', sizeof entries[0].stringValue);
    size_t mark = TestLog::instance().mark();
    EXPECT_EQ(configLoadFile(path.c_str(), table), 0);
    EXPECT_EQ(std::string(entries[0].stringValue), std::string(100, 'L'));
    EXPECT_EQ(std::string(entries[1].stringValue), exact);
    /* The cut is said once, for the long value only. */
    std::string logged = TestLog::instance().since(mark);
    EXPECT_NE(logged.find("loadParameter: value of card.main.label is 150 characters, only the first 100 are kept"),
              std::string::npos)
        << logged;
    EXPECT_EQ(logged.find("card.main.short"), std::string::npos) << logged;
    g_hash_table_destroy(table);
}

TEST_F(ConfigManagerTest, SaveWritesCurrentValuesBackIntoTheFile)
{
    writeConfig("<configuration><service><name>probing</name><enable>0</enable><postponeStartup>2</postponeStartup>"
                "</service></configuration>");
    init();
    configSetIntValue("service.probing.enable", 1);
    configSetIntValue("service.probing.postponeStartup", 47);
    std::string path = root / "usr/local/q7/firmware/configuration.xml";
    EXPECT_EQ(configSaveFile(path.c_str(), configManagerTable()), 0);
    std::string saved = readFile(path);
    EXPECT_NE(saved.find("<enable>1</enable>"), std::string::npos);
    EXPECT_NE(saved.find("<postponeStartup>47</postponeStartup>"), std::string::npos);
    init();
    EXPECT_EQ(configGetIntValue("service.probing.postponeStartup"), 47);

    EXPECT_EQ(configSaveFile((root / "missing.xml").c_str(), configManagerTable()), 4);
}

TEST_F(ConfigManagerTest, FailedSaveIsReportedAsAnError)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "not root: a read-only mount (unshare --mount) needs root";
    ASSERT_EQ(unshare(CLONE_NEWNS), 0);
    ASSERT_EQ(mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    std::string dir = root / "ro";
    mkdir(dir.c_str(), 0755);
    ASSERT_EQ(mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k"), 0);
    std::string path = dir + "/configuration.xml";
    std::ofstream(path) << "<configuration><service><name>probing</name><enable>0</enable></service></configuration>";
    ASSERT_EQ(mount("tmpfs", dir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    writeConfig("<configuration/>");
    init();
    size_t mark = TestLog::instance().mark();
    EXPECT_EQ(configSaveFile(path.c_str(), configManagerTable()), 4);
    EXPECT_NE(TestLog::instance().since(mark).find("Configuration Error: cant save file"), std::string::npos);
    umount(dir.c_str());
}

} // namespace
