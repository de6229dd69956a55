// jvmpihost runs a real JVM under piagent: the agent's own Java class starts
// the communication thread, which serves a front end over loopback; a host
// that cannot start its JVM fails the run before loading the agent.
#include "PiagentHost.h"

#include <algorithm>

namespace {

using PiagentJvmTest = PiagentHostTest;

TEST_F(PiagentJvmTest, AgentsJavaClassStartsTheThreadThatServesTheFrontend)
{
    loopbackSocket::PortReservation held;
    int port = held.port;
    ASSERT_NE(port, 0);
    // Without a native communication thread the Java thread takes the first front end.
    start({"--options", nowaitOptions("port=" + std::to_string(port) + ",address=127.0.0.1"), "init-done", "java-comm", "await:done",
           "shut-down"});
    ASSERT_TRUE(waitForLine("stdout", "host: Java thread _orvane_java_comm enters the agent")) << out() << err();
    // The new thread may enter before the call that started it returns: its line may come later.
    ASSERT_TRUE(waitForLine("stdout", "host: Java communication thread started from Java")) << out() << err();
    std::vector<std::string> started = linesStartingWith(out(), "host: J");
    ASSERT_GE(started.size(), 4u) << out();
    EXPECT_EQ(started[0], "host: JVM started");
    EXPECT_EQ(started[1], "host: JVM_OnLoad returned 0");
    // The new thread may enter before the call that started it returns.
    std::vector<std::string> rest(started.begin() + 2, started.begin() + 4);
    std::sort(rest.begin(), rest.end());
    EXPECT_EQ(rest, (std::vector<std::string>{"host: Java communication thread started from Java",
                                              "host: Java thread _orvane_java_comm enters the agent"}));
    EXPECT_TRUE(linesStartingWith(out(), "host: CreateSystemThread _orvane_native_comm").empty()) << out();

    FrontendClient client;
    connectFrontend(client, port);
    Reply reply;
    ASSERT_EQ(client.call(2, {}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(reply.body, (std::vector<uint8_t>{0, 0, 0, 8, 1, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(client.call(77, {}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(reply.body, (std::vector<uint8_t>{0, 3, '1', '.', '4', 0}));
    client.close();
    touch("done");
    ASSERT_EQ(finish(), 0) << err();
}

// Each scripted thread is a thread attached to the JVM once, on its first
// use, and the JVM knows it by its name.
TEST_F(PiagentJvmTest, ScriptedThreadsAreAttachedToTheJvmOnce)
{
    start({"--options", nowaitOptions(), "init-done", "thread:1:main", "thread:5:worker", "enter:1:0x11", "exit:1:0x11",
           "thread-end:5", "shut-down"});
    ASSERT_EQ(finish(), 0) << err();
    EXPECT_EQ(linesStartingWith(out(), "host: thread "),
              (std::vector<std::string>{"host: thread 1 attached as Java thread scripted-1",
                                        "host: thread 5 attached as Java thread scripted-5"}))
        << out();
}

TEST_F(PiagentJvmTest, MissingJvmFailsTheRunBeforeTheAgentLoads)
{
    start({"--libjvm", work + "/no-libjvm.so", "init-done", "shut-down"});
    ASSERT_EQ(finish(), 2) << err();
    EXPECT_NE(err().find("jvmpihost: cannot load the JVM: "), std::string::npos) << err();
    EXPECT_EQ(out(), "");
}

} // namespace
