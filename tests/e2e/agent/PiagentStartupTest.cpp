// piagent loaded by jvmpihost, the VM with the profiler interface: start-up
// lines, the interface calls in their order, the fatal paths and a front end
// that connects over loopback.
#include "PiagentHost.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <dirent.h>

namespace {

using PiagentStartupTest = PiagentHostTest;

const std::vector<std::string> monitorLines = {
    "host: RawMonitorCreate _orvane_heap",         "host: RawMonitorCreate _orvane_class",
    "host: RawMonitorCreate _orvane_thread",       "host: RawMonitorCreate _orvane_sleep",
    "host: RawMonitorCreate _orvane_dead_threads", "host: RawMonitorCreate _orvane_dead_threads",
};

std::vector<std::string> enableLines(const std::vector<int> &events)
{
    std::vector<std::string> result;
    for (int event : events)
        result.push_back("host: EnableEvent " + std::to_string(event));
    return result;
}

const std::vector<int> startupEvents = {35, 42, 43, 34, 33, 46, 47, 6, 51, 52, 54, 55, 57, 58};


// With nowait the session of the configuration file is read at start-up and
// applied at JVM_INIT_DONE (the VM's method events, the sampler thread),
// before main runs; no communication thread is made.
TEST_F(PiagentStartupTest, NowaitAppliesTheConfigurationFileAtVmStart)
{
    std::string options = nowaitOptions();
    start({"--options", options, "init-done", "shut-down"});
    ASSERT_EQ(finish(), 0) << err();
    std::vector<std::string> expectedOut = {"host: JVM started", "host: GetEnv 0x10000001"};
    expectedOut.insert(expectedOut.end(), monitorLines.begin(), monitorLines.end());
    std::vector<std::string> enables = enableLines(startupEvents);
    expectedOut.insert(expectedOut.end(), enables.begin(), enables.end());
    for (const char *line : {"host: JVM_OnLoad returned 0", "host: EnableEvent 1", "host: EnableEvent 3",
                             "host: CreateSystemThread _orvane_native_sampler 10", "host: event 46 done", "host: event 47 done"})
        expectedOut.push_back(line);
    // The sampler thread says it joined the JVM whenever it runs.
    std::vector<std::string> seen;
    for (const std::string &line : lines(out()))
        if (line.compare(0, 20, "host: system thread ") != 0)
            seen.push_back(line);
    EXPECT_EQ(seen, expectedOut);
    std::vector<std::string> expectedErr = {
        "Orvane> Protocol version 36",
        "Orvane> Using JVMPI",
        "Orvane> 64-bit library",
        "Orvane> Don't wait for frontend to connect.",
        "Orvane> Using config file " + work + "/session.xml (id: 1)",
        "Orvane> Native library initialized",
        "Orvane> If output stops here, please remove -Xdebug from the command line",
        "Orvane> Using full instrumentation",
        "Orvane> Time measurement: estimated cpu time",
        "Orvane> CPU profiling enabled",
    };
    EXPECT_EQ(linesStartingWith(err(), "Orvane> "), expectedErr);
}

// The option rules: nowait and offline need a configuration file and an id
// (status -1 without), "monitor" aborts, a session that records allocations
// from start-up switches the VM's allocation events on at JVM_INIT_DONE.
TEST_F(PiagentStartupTest, OptionRules)
{
    const std::vector<std::string> hint = {
        "Orvane> If you are running Orvane's frontend on a different",
        "Orvane> machine you have to copy the file config.xml to this",
        "Orvane> computer. The file is located in $HOME/.orvane7 or",
        "Orvane> in C:\\Documents and Settings\\[username]\\.orvane7.",
    };
    struct Case {
        std::string options;
        int status;
        std::vector<std::string> lastLines;
    };
    std::vector<Case> cases = {
        {"nowait", 255, {"Orvane> Could not locate the config file.", "Orvane> Please specify config=[config filename]."}},
        {"offline,config=/nonexistent/config.xml", 255, {"Orvane> Please specify id=[config id]"}},
        {"monitor", 128 + SIGABRT, {"Orvane> Monitoring Edition no longer supported. Aborting"}},
    };
    cases[0].lastLines.insert(cases[0].lastLines.end(), hint.begin(), hint.end());
    cases[1].lastLines.insert(cases[1].lastLines.end(), hint.begin(), hint.end());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.options);
        start({"--options", c.options, "init-done", "shut-down"});
        EXPECT_EQ(finish(), c.status) << err();
        std::vector<std::string> said = linesStartingWith(err(), "Orvane> ");
        ASSERT_GE(said.size(), c.lastLines.size()) << err();
        EXPECT_EQ(std::vector<std::string>(said.end() - static_cast<long>(c.lastLines.size()), said.end()), c.lastLines);
        EXPECT_TRUE(linesStartingWith(out(), "host: JVM_OnLoad returned").empty()) << out();
    }

    std::string path = work + "/alloc.xml";
    std::ofstream(path) << "<?xml version=\"1.0\"?><config><sessions><session id=\"4\" instrumentationType=\"2\" "
                           "recordAllocOnStartup=\"true\"/></sessions></config>";
    start({"--options", "offline,config=" + path + ",id=4", "init-done", "shut-down"});
    EXPECT_EQ(finish(), 0) << err();
    EXPECT_NE(err().find("Orvane> Using config file " + path + " (id: 4)\n"), std::string::npos) << err();
    std::vector<std::string> all = lines(out());
    EXPECT_EQ(std::count(all.begin(), all.end(), "host: EnableEvent 4"), 1) << out();
    EXPECT_EQ(std::count(all.begin(), all.end(), "host: EnableEvent 5"), 1) << out();
}

TEST_F(PiagentStartupTest, FatalStartupPaths)
{
    loopbackSocket::PortReservation held;
    ASSERT_NE(held.port, 0);
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string lastLine;
        size_t enableCount; // start-up EnableEvent calls made
        std::vector<int> laterEvents; // events enabled after start-up
    };
    const Case cases[] = {
        {{"--no-jvmpi"}, 1, "Orvane> The Java Virtual Machine Profiling Interface (JVMPI) is not present. Exiting.", 0, {}},
        // Stops at the first refused event.
        {{"--fail-enable", "46"}, 128 + SIGABRT, "Orvane> Error enabling events. Aborting.", 6, {}},
        {{"--fail-enable", "35"}, 128 + SIGABRT, "Orvane> Error enabling events. Aborting.", 1, {}},
        {{"--options", "port=1", "--fail-thread", "init-done"}, 128 + SIGABRT,
         "Orvane> ERROR: Could not create communication thread.", 14, {}},
        // Without a native communication thread the sampler is the first
        // system thread: the Java thread's set-up asks for it, after it
        // switched the VM's method events on.
        {{"--options", nowaitOptions("port=" + std::to_string(held.port) + ",address=127.0.0.1"), "--fail-thread", "java-comm", "init-done",
          "await:never"},
         128 + SIGABRT, "Orvane> ERROR: Could not create sampler thread.", 14, {1, 3}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.arguments[0] + " " + (c.arguments.size() > 1 ? c.arguments[1] : ""));
        start(c.arguments);
        EXPECT_EQ(finish(), c.status);
        std::vector<std::string> said = linesStartingWith(err(), "Orvane> ");
        ASSERT_FALSE(said.empty());
        EXPECT_EQ(said.back(), c.lastLine);
        std::vector<int> expectedEvents(startupEvents.begin(), startupEvents.begin() + c.enableCount);
        expectedEvents.insert(expectedEvents.end(), c.laterEvents.begin(), c.laterEvents.end());
        EXPECT_EQ(linesStartingWith(out(), "host: EnableEvent "), enableLines(expectedEvents));
        EXPECT_TRUE(linesStartingWith(out(), "host: JVM_OnLoad returned").empty() == (c.enableCount < 14));
    }
}

TEST_F(PiagentStartupTest, FrontendConnectsOverLoopback)
{
    loopbackSocket::PortReservation held;
    int port = held.port;
    ASSERT_NE(port, 0);
    start({"--options", "port=" + std::to_string(port) + ",address=127.0.0.1", "init-done", "shut-down"});
    ASSERT_TRUE(waitForLine("stderr", "Orvane> Waiting for a connection from the Orvane GUI ...")) << err();
    EXPECT_EQ(linesStartingWith(out(), "host: CreateSystemThread "),
              std::vector<std::string>{"host: CreateSystemThread _orvane_native_comm 5"});
    // JVM_INIT_DONE waits for the front end.
    EXPECT_TRUE(linesStartingWith(out(), "host: event 46 done").empty());

    FrontendClient client(60000);
    std::string error;
    for (int i = 0; i < 2000; ++i) {
        error = client.connect("127.0.0.1", static_cast<uint16_t>(port));
        if (error.empty())
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(error, "");
    ASSERT_EQ(client.handshake(), "");
    Reply reply;
    ASSERT_EQ(client.call(2, {}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(client.idWidth(), 8u);
    // The ID width reply: U4 8, then the ID 1 in 8 little-endian bytes.
    const std::vector<uint8_t> expected = {0, 0, 0, 8, 1, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(reply.body, expected);
    client.close();

    ASSERT_EQ(finish(), 0) << err();
    std::vector<std::string> tail = linesStartingWith(out(), "host: event ");
    EXPECT_EQ(tail, (std::vector<std::string>{"host: event 46 done", "host: event 47 done"}));
}

TEST_F(PiagentStartupTest, NativeThreadServesUntilCommandOneAndLeavesTheConnectionOpen)
{
    loopbackSocket::PortReservation held;
    int port = held.port;
    ASSERT_NE(port, 0);
    start({"--options", "port=" + std::to_string(port) + ",address=127.0.0.1", "init-done", "shut-down"});
    ASSERT_TRUE(waitForLine("stderr", "Orvane> Waiting for a connection from the Orvane GUI ...")) << err();
    FrontendClient client(60000);
    std::string error;
    for (int i = 0; i < 2000; ++i) {
        error = client.connect("127.0.0.1", static_cast<uint16_t>(port));
        if (error.empty())
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(error, "");
    ASSERT_EQ(client.handshake(), "");

    Reply reply;
    ASSERT_EQ(client.call(30, {}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_TRUE(reply.body.empty());
    EXPECT_TRUE(waitForLine("stdout", "host: RunGC"));
    // Load information: the VM version "1.4" and byte 0.
    ASSERT_EQ(client.call(77, {}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(reply.body, (std::vector<uint8_t>{0, 3, '1', '.', '4', 0}));
    // The live-object inspection commands are unknown here.
    for (uint32_t command : {68u, 80u, 82u, 83u, 84u, 88u}) {
        ASSERT_EQ(client.call(command, {}, &reply), FrontendClient::OK) << command << " " << client.lastError();
        EXPECT_TRUE(reply.body.empty()) << command;
    }
    // Still waiting for command 1.
    EXPECT_TRUE(linesStartingWith(out(), "host: event 46 done").empty());

    ASSERT_EQ(client.call(1, {0}, &reply), FrontendClient::OK) << client.lastError();
    // No configuration sent, none retransformed: U4 0 classes, byte 0, byte 1,
    // then the closing byte 1.
    EXPECT_EQ(reply.body, (std::vector<uint8_t>{0, 0, 0, 0, 0, 1, 1}));
    // The start-up wait ends with the connection still open: the Java
    // communication thread carries it on.
    ASSERT_TRUE(waitForLine("stdout", "host: event 46 done")) << out();
    ASSERT_EQ(finish(), 0) << err();
}

// The VM's end without a front end cleans up: the private copy of the
// configuration file the session was read from leaves TMPDIR.
TEST_F(PiagentStartupTest, VmEndWithoutFrontendRemovesTheTemporaryFiles)
{
    std::string path = work + "/offline.xml";
    std::ofstream(path) << "<?xml version=\"1.0\"?><config><sessions><session id=\"2\" instrumentationType=\"2\"/></sessions></config>";
    auto copies = [this] {
        std::vector<std::string> found;
        DIR *dir = opendir(work.c_str());
        for (struct dirent *entry = dir != nullptr ? readdir(dir) : nullptr; entry != nullptr; entry = readdir(dir))
            if (strncmp(entry->d_name, "ovc", 3) == 0)
                found.push_back(entry->d_name);
        if (dir != nullptr)
            closedir(dir);
        return found;
    };
    start({"--options", "offline,config=" + path + ",id=2", "init-done", "mark:read", "await:end", "shut-down"});
    ASSERT_TRUE(waitForLine("stdout", "host: mark read")) << out() << err();
    EXPECT_EQ(copies().size(), 1u) << "the session's file is kept while the VM runs";
    touch("end");
    ASSERT_EQ(finish(), 0) << err();
    EXPECT_TRUE(copies().empty());
}

} // namespace
