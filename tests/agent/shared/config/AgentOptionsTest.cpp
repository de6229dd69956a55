#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <sys/stat.h>

#include "../../../support/TempDir.h"
#include "AgentOptions.h"

namespace {

std::string parseCapturing(AgentOptions &o, const char *options)
{
    testing::internal::CaptureStderr();
    o.parse(options);
    return testing::internal::GetCapturedStderr();
}

// Keeps HOME as it was around a test.
class HomeGuard {
public:
    HomeGuard()
    {
        const char *h = getenv("HOME");
        had = h != nullptr;
        if (had)
            saved = h;
    }
    ~HomeGuard()
    {
        if (had)
            setenv("HOME", saved.c_str(), 1);
        else
            unsetenv("HOME");
    }

private:
    bool had;
    std::string saved;
};

} // namespace

TEST(AgentOptionsTest, TokensSetFieldsAndLogTheirLines)
{
    struct Case {
        const char *options;
        std::function<bool(const AgentOptions &)> check;
        const char *log;
    };
    typedef const AgentOptions &O;
    const Case cases[] = {
        {nullptr, [](O o) { return o.port == 8849 && o.stack == 10000 && o.samplingstack == 1000 && o.id == -1; }, ""},
        {"", [](O o) { return o.port == 8849 && !o.nowait && !o.offline; }, ""},
        {"port=9000", [](O o) { return o.port == 9000; }, ""},
        {"port=65535", [](O o) { return o.port == 65535; }, ""},
        {"port=1", [](O o) { return o.port == 1; }, ""},
        {"samplingstack=50", [](O o) { return o.samplingstack == 50 && o.stack == 10000; }, "Orvane> Setting sampling stack size to 50.\n"},
        {"stack=50", [](O o) { return o.stack == 50 && o.samplingstack == 1000; }, "Orvane> Setting stack size to 50.\n"},
        {"stack=1000000", [](O o) { return o.stack == 1000000; }, "Orvane> Setting stack size to 1000000.\n"},
        {"nowait", [](O o) { return o.nowait && !o.threadProfiling() && !o.vmTelemetry(); }, "Orvane> Don't wait for frontend to connect.\n"},
        {"jniInterception", [](O o) { return o.jniInterception; }, ""},
        {"offline", [](O o) { return o.offline; }, "Orvane> Offline profiling mode.\n"},
        {"verbose-instr", [](O o) { return o.verboseInstrumentation; }, "Orvane> Verbose instrumentation.\n"},
        {"save-all-classes", [](O o) { return o.saveAllClasses; }, "Orvane> Saving all classes.\n"},
        {"save-instr-classes", [](O o) { return o.saveInstrumentedClasses; }, "Orvane> Saving instrumented classes.\n"},
        {"strict-method-stats", [](O o) { return o.strictMethodStats; }, "Orvane> Strict method statistics.\n"},
        {"no-array-allocs", [](O o) { return o.noArrayAllocs; }, "Orvane> Don't instrument array allocations.\n"},
        {"disable-native-instrumentation", [](O o) { return o.disableNativeInstrumentation; }, "Orvane> Disabling instrumentation of native methods.\n"},
        {"disable-thread-profiling", [](O o) { return o.disableThreadProfiling && !o.threadProfiling() && o.vmTelemetry(); }, "Orvane> Disabling thread profiling.\n"},
        {"record-thread-name-changes", [](O o) { return o.recordThreadNameChanges; }, "Orvane> Recording thread name changes.\n"},
        {"disable-monitor-class-info", [](O o) { return o.disableMonitorClassInfo; }, "Orvane> Disable monitor class info.\n"},
        {"disable-monitor-owner-info", [](O o) { return o.disableMonitorOwnerInfo; }, "Orvane> Disable monitor owner info.\n"},
        {"orvane-threads", [](O o) { return o.showOrvaneThreads; }, "Orvane> Showing Orvane threads.\n"},
        {"sample-agent", [](O o) { return o.sampleAgentClasses; }, "Orvane> Sample agent classes.\n"},
        {"instrument-jre", [](O o) { return o.instrumentJre; }, "Orvane> Instrument JRE classes.\n"},
        {"keep-temp-snapshots", [](O o) { return o.keepTempSnapshots; }, "Orvane> Keeping temp snapshots.\n"},
        {"test-dead-tree", [](O o) { return o.testDeadTree; }, "Orvane> Testing dead tree.\n"},
        {"address=127.0.0.1", [](O o) { return o.address == "127.0.0.1"; }, ""},
        {"address=0.0.0.0", [](O o) { return o.address == "0.0.0.0"; }, ""},
        {"address=", [](O o) { return o.address.empty(); }, ""},
        {"nowait", [](O o) { return o.address == "127.0.0.1"; }, "Orvane> Don't wait for frontend to connect.\n"},
        {"loc=/opt/orvane/lib", [](O o) { return o.libraryLocation == "/opt/orvane/lib"; }, ""},
        {"id=7,config=/etc/orvane.xml", [](O o) { return o.id == 7 && o.hasConfigPath && o.configPath == "/etc/orvane.xml"; }, ""},
        {"port=9001,,nowait,", [](O o) { return o.port == 9001 && o.nowait && o.unknownCount == 0; }, "Orvane> Don't wait for frontend to connect.\n"},
        {"monitor,nowait", [](O o) { return o.monitor && !o.nowait; }, ""},
        {"bogus", [](O o) { return o.unknownCount == 1 && o.port == 8849; }, "Orvane> Unknown parameter bogus, ignored.\n"},
        {"nowaitx", [](O o) { return !o.nowait && o.unknownCount == 1; }, "Orvane> Unknown parameter nowaitx, ignored.\n"},
        {"estimatedcputimes", [](O o) { return o.unknownCount == 0; },
         "Orvane> Remote profiling has been changed.\nOrvane> The parameter 'estimatedcputimes' will be ignored.\nOrvane> Please set the parameter in the frontend.\n"},
        {"calltreecollection=2", [](O o) { return o.unknownCount == 0; },
         "Orvane> Remote profiling has been changed.\nOrvane> The parameter 'calltreecollection=2' will be ignored.\nOrvane> Please set the parameter in the frontend.\n"},
        {"fullinstr,subclassmethods,noexit", [](O o) { return o.unknownCount == 0; },
         "Orvane> Remote profiling has been changed.\nOrvane> The parameter 'fullinstr' will be ignored.\nOrvane> Please set the parameter in the frontend.\n"
         "Orvane> Remote profiling has been changed.\nOrvane> The parameter 'subclassmethods' will be ignored.\nOrvane> Please set the parameter in the frontend.\n"
         "Orvane> Remote profiling has been changed.\nOrvane> The parameter 'noexit' will be ignored.\nOrvane> Please set the parameter in the frontend.\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.options != nullptr ? c.options : "(null)");
        AgentOptions o;
        EXPECT_EQ(parseCapturing(o, c.options), c.log);
        EXPECT_TRUE(c.check(o));
    }
}

// A numeric value that is not a decimal number within the option's range is
// refused with one line naming the option, never replaced without a word: a
// refused port is no port, a refused id no session, a refused depth the
// default.
TEST(AgentOptionsTest, OutOfRangeAndNonNumericValuesAreRefusedByName)
{
    struct Case {
        const char *token;
        int AgentOptions::*field;
        int expect;
        const char *range;
    };
    const char *const portRange = "1 to 65535";
    const char *const depthRange = "1 to 1000000";
    const char *const idRange = "1 to 2147483647";
    const Case cases[] = {
        {"port=0", &AgentOptions::port, AgentOptions::NO_PORT, portRange},
        {"port=abc", &AgentOptions::port, AgentOptions::NO_PORT, portRange},
        {"port=12ab", &AgentOptions::port, AgentOptions::NO_PORT, portRange},
        {"port=-1", &AgentOptions::port, AgentOptions::NO_PORT, portRange},
        {"port=+80", &AgentOptions::port, AgentOptions::NO_PORT, portRange},
        {"port= 80", &AgentOptions::port, AgentOptions::NO_PORT, portRange},
        {"port=", &AgentOptions::port, AgentOptions::NO_PORT, portRange},
        {"port=65536", &AgentOptions::port, AgentOptions::NO_PORT, portRange},
        {"port=99999", &AgentOptions::port, AgentOptions::NO_PORT, portRange},
        {"port=99999999999", &AgentOptions::port, AgentOptions::NO_PORT, portRange},
        {"stack=0", &AgentOptions::stack, 10000, depthRange},
        {"stack=-5", &AgentOptions::stack, 10000, depthRange},
        {"stack=1000001", &AgentOptions::stack, 10000, depthRange},
        {"stack=2000000000", &AgentOptions::stack, 10000, depthRange},
        {"samplingstack=x", &AgentOptions::samplingstack, 1000, depthRange},
        {"samplingstack=0x10", &AgentOptions::samplingstack, 1000, depthRange},
        {"id=x", &AgentOptions::id, AgentOptions::NO_CONFIG_ID, idRange},
        {"id=0", &AgentOptions::id, AgentOptions::NO_CONFIG_ID, idRange},
        {"id=-3", &AgentOptions::id, AgentOptions::NO_CONFIG_ID, idRange},
        {"id=2147483648", &AgentOptions::id, AgentOptions::NO_CONFIG_ID, idRange},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.token);
        AgentOptions o;
        EXPECT_EQ(parseCapturing(o, c.token), std::string("Orvane> ERROR: Option ") + c.token + " refused: not a number from " + c.range + ".\n");
        EXPECT_EQ(o.*c.field, c.expect);
        EXPECT_EQ(o.port, AgentOptions::NO_PORT);
        EXPECT_EQ(o.id, AgentOptions::NO_CONFIG_ID);
        EXPECT_EQ(o.refusedCount, 1);
        EXPECT_EQ(o.unknownCount, 0);
    }
    // A later valid value does not undo the refusal.
    AgentOptions o;
    EXPECT_EQ(parseCapturing(o, "port=99999,port=9003,stack=abc,id=4"),
              "Orvane> ERROR: Option port=99999 refused: not a number from 1 to 65535.\n"
              "Orvane> ERROR: Option stack=abc refused: not a number from 1 to 1000000.\n");
    EXPECT_EQ(o.port, AgentOptions::NO_PORT);
    EXPECT_EQ(o.id, AgentOptions::NO_CONFIG_ID);
    EXPECT_EQ(o.refusedCount, 2);
}

// After a refused number no session is read from the file: where one is
// required (offline) start-up ends, elsewhere the agent starts without one.
TEST(AgentOptionsTest, ARefusedIdReadsNoConfiguration)
{
    struct Case {
        const char *options;
        AgentOptions::ConfigDecision expect;
    };
    const Case cases[] = {
        {"nowait,config=/x/y.xml,id=x", AgentOptions::CONFIG_NONE},
        {"nowait,config=/x/y.xml,id=5,stack=x", AgentOptions::CONFIG_NONE},
        {"offline,config=/x/y.xml,id=0", AgentOptions::CONFIG_MISSING},
        {"config=/x/y.xml,id=x", AgentOptions::CONFIG_NONE}, // the front end sends the configuration
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.options);
        AgentOptions o;
        parseCapturing(o, c.options);
        testing::internal::CaptureStderr();
        EXPECT_EQ(o.resolveConfiguration(true), c.expect);
        std::string log = testing::internal::GetCapturedStderr();
        if (c.expect == AgentOptions::CONFIG_MISSING) {
            EXPECT_EQ(log.rfind("Orvane> Please specify id=[config id]\n", 0), 0u) << log;
        }
    }
}

TEST(AgentOptionsTest, OptionTextIsNotModified)
{
    char text[] = "port=9002,nowait,stack=40";
    AgentOptions o;
    parseCapturing(o, text);
    EXPECT_STREQ(text, "port=9002,nowait,stack=40");
    EXPECT_EQ(o.port, 9002);
    EXPECT_EQ(o.stack, 40);
}

TEST(AgentOptionsTest, ConfigurationDecision)
{
    HomeGuard guard;
    TempDir home;
    ASSERT_EQ(mkdir((home / ".orvane7").c_str(), 0700), 0);
    std::ofstream((home / ".orvane7/config.xml").c_str()) << "<config/>";
    TempDir emptyHome;
    const std::string homeFile = home / ".orvane7/config.xml";
    const std::string locate =
        "Orvane> If you are running Orvane's frontend on a different\n"
        "Orvane> machine you have to copy the file config.xml to this\n"
        "Orvane> computer. The file is located in $HOME/.orvane7 or\n"
        "Orvane> in C:\\Documents and Settings\\[username]\\.orvane7.\n";

    struct Case {
        const char *name;
        const char *options;
        const std::string *homeDir; // null: HOME unset
        bool fullJvmti11;
        AgentOptions::ConfigDecision expect;
        std::string log;
        std::string path;
    };
    const Case cases[] = {
        {"waiting for the front end reads nothing", "id=3", &home.path(), true, AgentOptions::CONFIG_NONE, "", ""},
        {"offline without any file", "offline", &emptyHome.path(), true, AgentOptions::CONFIG_MISSING,
         "Orvane> Could not locate the config file.\nOrvane> Please specify config=[config filename].\n" + locate, ""},
        {"nowait and offline without file", "nowait,offline", &emptyHome.path(), true, AgentOptions::CONFIG_MISSING,
         "Orvane> Could not locate the config file.\nOrvane> Please specify config=[config filename].\n" + locate, ""},
        {"offline with HOME unset", "offline,id=2", nullptr, true, AgentOptions::CONFIG_MISSING,
         "Orvane> Could not locate the config file.\nOrvane> Please specify config=[config filename].\n" + locate, ""},
        {"offline with the HOME file but no id", "offline", &home.path(), true, AgentOptions::CONFIG_MISSING,
         "Orvane> Please specify id=[config id]\n" + locate, homeFile},
        {"offline with the HOME file and an id", "offline,id=4", &home.path(), true, AgentOptions::CONFIG_FROM_FILE,
         "Orvane> Using config file " + homeFile + " (id: 4)\n", homeFile},
        {"offline with config=", "offline,config=/x/y.xml,id=9", &emptyHome.path(), true, AgentOptions::CONFIG_FROM_FILE,
         "Orvane> Using config file /x/y.xml (id: 9)\n", "/x/y.xml"},
        {"nowait on full JVMTI 1.1 needs no file", "nowait", &emptyHome.path(), true, AgentOptions::CONFIG_NONE,
         "Orvane> Starting up without initial configuration.\n", ""},
        {"nowait on full JVMTI 1.1 takes the HOME file with an id", "nowait,id=5", &home.path(), true,
         AgentOptions::CONFIG_FROM_FILE, "Orvane> Using config file " + homeFile + " (id: 5)\n", homeFile},
        {"nowait on full JVMTI 1.1 without id", "nowait", &home.path(), true, AgentOptions::CONFIG_NONE,
         "Orvane> Starting up without initial configuration.\n", homeFile},
        {"nowait without full JVMTI 1.1 needs the file", "nowait", &emptyHome.path(), false, AgentOptions::CONFIG_MISSING,
         "Orvane> Could not locate the config file.\nOrvane> Please specify config=[config filename].\n" + locate, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.homeDir != nullptr)
            setenv("HOME", c.homeDir->c_str(), 1);
        else
            unsetenv("HOME");
        AgentOptions o;
        parseCapturing(o, c.options);
        testing::internal::CaptureStderr();
        EXPECT_EQ(o.resolveConfiguration(c.fullJvmti11), c.expect);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.log);
        EXPECT_EQ(o.configPath, c.path);
    }
}

TEST(AgentOptionsTest, ScriptDirectoryFollowsTheConfigurationPath)
{
    struct Case {
        const char *path;
        int id;
        const char *expect;
    };
    const Case cases[] = {
        {"/home/u/.orvane7/config.xml", 12, "/home/u/.orvane7/classes/12"},
        {"C:\\orvane\\config.xml", 3, "C:\\orvane\\classes/3"},
        {"config.xml", 5, "classes/5"},
        {"/config.xml", 1, "/classes/1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        AgentOptions o;
        o.configPath = c.path;
        o.id = c.id;
        EXPECT_EQ(o.scriptDirName(), c.expect);
    }
}
