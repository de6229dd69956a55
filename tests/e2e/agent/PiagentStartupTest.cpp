// piagent loaded by jvmpihost, the VM with the profiler interface: start-up
// lines, the interface calls in their order, the fatal paths and a front end
// that connects over loopback.
#include "PiagentHost.h"

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


TEST_F(PiagentStartupTest, NowaitStartsAndShutsDownWithoutSystemThread)
{
    start({"--options", "nowait", "init-done", "shut-down"});
    ASSERT_EQ(finish(), 0) << err();
    std::vector<std::string> expectedOut = {"host: JVM started", "host: GetEnv 0x10000001"};
    expectedOut.insert(expectedOut.end(), monitorLines.begin(), monitorLines.end());
    std::vector<std::string> enables = enableLines(startupEvents);
    expectedOut.insert(expectedOut.end(), enables.begin(), enables.end());
    expectedOut.push_back("host: JVM_OnLoad returned 0");
    expectedOut.push_back("host: event 46 done");
    expectedOut.push_back("host: event 47 done");
    EXPECT_EQ(lines(out()), expectedOut);
    std::vector<std::string> expectedErr = {
        "Orvane> Protocol version 36",
        "Orvane> Using JVMPI",
        "Orvane> 64-bit library",
        "Orvane> Don't wait for frontend to connect.",
        "Orvane> Native library initialized",
        "Orvane> If output stops here, please remove -Xdebug from the command line",
    };
    EXPECT_EQ(linesStartingWith(err(), "Orvane> "), expectedErr);
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
        {{"--options", "nowait,port=" + std::to_string(held.port) + ",address=127.0.0.1", "--fail-thread", "java-comm", "init-done",
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

} // namespace
