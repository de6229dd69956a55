// tiagent as a careful user finds it, in each JDK: the session
// configuration's start-up switches read from the configuration file, the
// control port's address, port and handshake limit, two front ends at once, a
// second load into the same VM, and a program whose output stays its own.
#include <gtest/gtest.h>

#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>

#include "CallTreeView.h"
#include "FrontendClient.h"
#include "JdkTest.h"
#include "JvmProcess.h"
#include "Registry.h"

using namespace jvmtest;

namespace {

const char *const FILTERS = "<filter type=\"exclusive\" name=\"java.\"/><filter type=\"exclusive\" name=\"javax.\"/>"
                            "<filter type=\"exclusive\" name=\"sun.\"/><filter type=\"exclusive\" name=\"com.sun.\"/>"
                            "<filter type=\"exclusive\" name=\"jdk.\"/>";

// Session 5: dynamic instrumentation of the program's classes, elapsed time,
// with the given attributes of the session element.
std::string sessionXml(const std::string &attributes)
{
    return "<config><session id=\"5\" instrumentationType=\"1\" timeType=\"1\" " + attributes + ">" + FILTERS + "</session></config>";
}

// Calls per method ("class.method") of a view.
std::map<std::string, uint64_t> callsByMethod(const ViewNode &root, const Registry &registry)
{
    std::vector<const ViewNode *> nodes;
    CallTreeView::collect(root, &nodes);
    std::map<std::string, uint64_t> calls;
    for (const ViewNode *n : nodes) {
        if (n->method != 0)
            calls[registry.describe(n->method)] += n->count;
    }
    return calls;
}

// The agent's lines that follow the given one.
std::vector<std::string> agentLinesAfter(const std::string &err, const std::string &line)
{
    std::vector<std::string> all = agentLines(err);
    auto at = std::find(all.begin(), all.end(), line);
    return at == all.end() ? std::vector<std::string>() : std::vector<std::string>(at + 1, all.end());
}

// Lines of standard error that the agent did not write.
std::vector<std::string> foreignLines(const std::string &err)
{
    std::vector<std::string> out;
    for (const std::string &l : lines(err)) {
        if (l.rfind("Orvane> ", 0) != 0)
            out.push_back(l);
    }
    return out;
}

// A raw loopback connection, for clients that misbehave.
int rawConnect(int port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s < 0 || connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        if (s >= 0)
            close(s);
        return -1;
    }
    return s;
}

// Up to `n` bytes that arrive within `ms`.
std::vector<uint8_t> readWithin(int s, size_t n, int ms)
{
    std::vector<uint8_t> got;
    Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < n) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
        pollfd p = {s, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0)
            break;
        uint8_t buffer[64];
        ssize_t r = recv(s, buffer, std::min(sizeof buffer, n - got.size()), 0);
        if (r <= 0)
            break;
        got.insert(got.end(), buffer, buffer + r);
    }
    return got;
}

// The local addresses (hex as /proc/net/tcp and tcp6 write them) on which
// sockets of this network namespace listen on `port`.
std::vector<std::string> listeningAddresses(int port)
{
    char portHex[8];
    snprintf(portHex, sizeof portHex, "%04X", port);
    std::vector<std::string> found;
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::vector<std::string> rows = lines(readFile(table));
        for (size_t i = 1; i < rows.size(); i++) {
            std::istringstream row(rows[i]);
            std::string slot, local, remote, state;
            row >> slot >> local >> remote >> state;
            size_t colon = local.rfind(':');
            if (state == "0A" && colon != std::string::npos && local.substr(colon + 1) == portHex)
                found.push_back(local.substr(0, colon));
        }
    }
    return found;
}

// Whether a connection to `address`:`port` (IPv4) is accepted.
bool canConnectTo(const char *address, int port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &a.sin_addr);
    bool ok = s >= 0 && connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    if (s >= 0)
        close(s);
    return ok;
}

const std::vector<uint8_t> CLIENT_HELLO = {0, 0, 0, 31, 0, 0, 0, 0};
const std::vector<uint8_t> AGENT_HELLO = {0xCA, 0xFE, 0xD0, 0x0D, 0, 2, '3', '6'};

class ControlPortAndStartupTest : public JdkTest {
protected:
    void SetUp() override
    {
        JdkTest::SetUp();
        if (!ready())
            return;
        ASSERT_NE(held.port, 0);
        port = held.port;
    }

    std::vector<std::string> java(const std::string &options, const std::vector<std::string> &program)
    {
        std::vector<std::string> c = {jdk + "/bin/java", "-XX:-UsePerfData", std::string("-agentpath:") + TIAGENT_PATH + "=" + options,
                                      "-cp", INSTR_CLASSES};
        c.insert(c.end(), program.begin(), program.end());
        return c;
    }

    std::string configFile(const std::string &xml)
    {
        std::string path = work / "config.xml";
        std::ofstream(path) << xml;
        return path;
    }

    std::string listenOptions() const { return "port=" + std::to_string(port) + ",address=127.0.0.1"; }

    // Connects a front end to the agent's port. The agent names its address
    // just before it listens: a refused connection is tried again for a while.
    void connect(FrontendClient &client)
    {
        std::string error;
        for (int attempt = 0; attempt < 100; attempt++) {
            error = client.connect("127.0.0.1", static_cast<uint16_t>(port));
            if (error.empty())
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ASSERT_EQ(error, "");
        ASSERT_EQ(client.handshake(), "");
    }

    // Command 59: CPU recording, allocation recording and the triggers' switch.
    void readSwitches(FrontendClient &client, bool *cpu, bool *alloc, bool *triggers)
    {
        Reply reply;
        ASSERT_EQ(client.call(59, {}, &reply), FrontendClient::OK) << client.lastError();
        ASSERT_GE(reply.body.size(), 9u);
        *cpu = reply.body[4] != 0;
        *alloc = reply.body[5] != 0;
        *triggers = reply.body[8] != 0;
    }

    // The program's calls as the call tree holds them; empty when nothing was recorded.
    std::map<std::string, uint64_t> recordedCalls(FrontendClient &client)
    {
        Reply reply;
        Registry registry;
        CallTreeReply tree;
        EXPECT_EQ(client.call(41, CallTreeView::invocationTreeRequest(0, 1, 100000, 0), &reply), FrontendClient::OK) << client.lastError();
        EXPECT_TRUE(CallTreeView::readInvocationTreeReply(reply.body, client.idWidth(), &registry, &tree));
        if (tree.root == nullptr)
            return {};
        return callsByMethod(*tree.root, registry);
    }

    void finish(JvmProcess &jvm, FrontendClient &client)
    {
        jvm.closeInput();
        client.close();
        EXPECT_TRUE(jvm.waitExit(60)) << jvm.err();
        EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
    }

    PortReservation held;
    int port = 0;
};

// With the configuration read from the file at start-up (nowait), each
// start-up switch of the session acts before main runs: the first front end
// reads a tree recorded from the start, with exact counts, or none at all.
TEST_P(ControlPortAndStartupTest, StartupSwitchesOfTheConfigurationFileAct)
{
    struct Case {
        const char *name;
        const char *attributes;
        bool cpu;
        bool alloc;
        bool triggers;
    };
    const Case cases[] = {
        {"everything on", "recordCPUOnStartup=\"true\" recordAllocOnStartup=\"true\" enableTriggersOnStartup=\"true\"", true, true, true},
        {"everything off", "recordCPUOnStartup=\"false\" recordAllocOnStartup=\"false\" enableTriggersOnStartup=\"false\"", false, false,
         false},
        {"attributes absent", "", false, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string config = configFile(sessionXml(c.attributes));
        JvmProcess jvm(work.path, std::string("jvm-") + std::to_string(&c - cases));
        ASSERT_TRUE(jvm.start(java("nowait,config=" + config + ",id=5," + listenOptions(), {"instrprog.InstrumentedProgram"}), tmp, tmp,
                              canIsolateTmp()));
        ASSERT_TRUE(jvm.waitFor("done", true, 120)) << jvm.err() << jvm.out();
        ASSERT_TRUE(jvm.waitFor("Orvane> Using address 127.0.0.1.", false, 30)) << jvm.err();
        FrontendClient client(30000);
        ASSERT_NO_FATAL_FAILURE(connect(client));
        // The tree first: the state reply hands out the method descriptions.
        std::map<std::string, uint64_t> calls = recordedCalls(client);
        bool cpu = false, alloc = false, triggers = false;
        ASSERT_NO_FATAL_FAILURE(readSwitches(client, &cpu, &alloc, &triggers));
        EXPECT_EQ(cpu, c.cpu);
        EXPECT_EQ(alloc, c.alloc);
        EXPECT_EQ(triggers, c.triggers);
        if (c.cpu) {
            EXPECT_EQ(calls["instrprog.InstrumentedProgram.main"], 1u);
            EXPECT_EQ(calls["instrprog.Recursion.fib"], 1973u) << "every call since start-up";
        } else {
            EXPECT_TRUE(calls.empty()) << "nothing recorded until the front end asks";
            // The front end's configuration applies its switches too.
            Reply reply;
            ASSERT_EQ(client.call(1, setParameters(sessionXml("recordCPUOnStartup=\"true\" enableTriggersOnStartup=\"true\"")), &reply),
                      FrontendClient::OK)
                << client.lastError();
            ASSERT_NO_FATAL_FAILURE(readSwitches(client, &cpu, &alloc, &triggers));
            EXPECT_TRUE(cpu);
            EXPECT_TRUE(triggers) << "the new configuration's triggers are on again";
        }
        finish(jvm, client);
    }
}

// An address that does not convert or names no interface of this machine,
// and any numeric option that is not a number in its range, listen nowhere:
// a waiting VM ends as it does for a taken port, a nowait VM runs on without
// a port. The lines say which option and why.
TEST_P(ControlPortAndStartupTest, BadAddressesAndPortsListenNowhere)
{
    const std::string p = std::to_string(port);
    struct Case {
        std::string options;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"port=" + p + ",address=999.1.1.1",
         {"Orvane> Using address 999.1.1.1.",
          "Orvane> ERROR: Could not convert address 999.1.1.1 of option address=: not an IPv4 or IPv6 address."}},
        {"port=" + p + ",address=192.0.2.1",
         {"Orvane> Using address 192.0.2.1.",
          "Orvane> ERROR: Could not bind socket to address 192.0.2.1 port " + p + ": Cannot assign requested address."}},
        {"port=abc,address=127.0.0.1",
         {"Orvane> ERROR: Option port=abc refused: not a number from 1 to 65535.", "Orvane> ERROR: Could not listen: no valid port."}},
        // Every numeric option follows the same rule as port=.
        {"port=" + p + ",stack=abc,address=127.0.0.1",
         {"Orvane> ERROR: Option stack=abc refused: not a number from 1 to 1000000.", "Orvane> ERROR: Could not listen: no valid port."}},
        {"port=" + p + ",samplingstack=0,address=127.0.0.1",
         {"Orvane> ERROR: Option samplingstack=0 refused: not a number from 1 to 1000000.",
          "Orvane> ERROR: Could not listen: no valid port."}},
        {"port=" + p + ",id=abc,address=127.0.0.1",
         {"Orvane> ERROR: Option id=abc refused: not a number from 1 to 2147483647.", "Orvane> ERROR: Could not listen: no valid port."}},
    };
    for (bool nowait : {false, true}) {
        for (const Case &c : cases) {
            std::string options = (nowait ? "nowait," : "") + c.options;
            SCOPED_TRACE(options);
            JvmProcess jvm(work.path, std::string(nowait ? "nowait-" : "wait-") + std::to_string(&c - cases));
            ASSERT_TRUE(jvm.start(java(options, {"instrprog.PausedWork"}), tmp, tmp, canIsolateTmp()));
            std::vector<std::string> lines = c.lines;
            if (!nowait) {
                ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
                EXPECT_EQ(jvm.exitCode(), 1) << jvm.err();
                EXPECT_EQ(jvm.out().find("ready"), std::string::npos) << "main never ran";
                EXPECT_EQ(jvm.err().find("Waiting for a connection"), std::string::npos) << "nothing to wait for";
            } else {
                ASSERT_TRUE(jvm.waitFor("ready", true, 60)) << jvm.err();
                ASSERT_TRUE(jvm.waitFor(c.lines.back(), false, 30)) << jvm.err();
                EXPECT_FALSE(canConnect(port));
                jvm.writeInput("\n");
                ASSERT_TRUE(jvm.waitFor("done", true, 60)) << jvm.err();
                jvm.closeInput();
                ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
                EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
            }
            std::vector<std::string> all = agentLines(jvm.err());
            for (const std::string &l : lines)
                EXPECT_NE(std::find(all.begin(), all.end(), l), all.end()) << l << "\n" << jvm.err();
        }
    }
}

// Without address= the agent listens on loopback only and says so; an empty
// address= is refused like any address that does not convert: a waiting VM
// ends, a nowait VM runs on without a port. Nothing ever listens on every
// interface unless asked for by name.
TEST_P(ControlPortAndStartupTest, WithoutAnAddressOnlyLoopbackListens)
{
    const std::string p = std::to_string(port);
    {
        JvmProcess jvm(work.path, "missing");
        ASSERT_TRUE(jvm.start(java("nowait,port=" + p, {"instrprog.PausedWork"}), tmp, tmp, canIsolateTmp()));
        ASSERT_TRUE(jvm.waitFor("Orvane> Using address 127.0.0.1.", false, 60)) << jvm.err();
        FrontendClient client(30000);
        ASSERT_NO_FATAL_FAILURE(connect(client));
        EXPECT_EQ(listeningAddresses(port), std::vector<std::string>{"0100007F"}) << "127.0.0.1 and nothing else";
        EXPECT_FALSE(canConnectTo("127.0.0.2", port)) << "not even another loopback address";
        EXPECT_EQ(std::string(jvm.err()).find("WARNING"), std::string::npos) << jvm.err();
        jvm.writeInput("\n");
        ASSERT_TRUE(jvm.waitFor("done", true, 60)) << jvm.err();
        finish(jvm, client);
    }
    const std::string refusal = "Orvane> ERROR: Option address= refused: no address given.";
    for (bool nowait : {false, true}) {
        SCOPED_TRACE(nowait ? "nowait" : "waiting");
        JvmProcess jvm(work.path, nowait ? "empty-nowait" : "empty-wait");
        ASSERT_TRUE(jvm.start(java(std::string(nowait ? "nowait," : "") + "port=" + p + ",address=", {"instrprog.PausedWork"}), tmp, tmp,
                              canIsolateTmp()));
        if (!nowait) {
            ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
            EXPECT_EQ(jvm.exitCode(), 1) << jvm.err();
            EXPECT_EQ(jvm.out().find("ready"), std::string::npos) << "main never ran";
        } else {
            ASSERT_TRUE(jvm.waitFor("ready", true, 60)) << jvm.err();
            ASSERT_TRUE(jvm.waitFor(refusal, false, 30)) << jvm.err();
            EXPECT_EQ(listeningAddresses(port), std::vector<std::string>()) << "nothing listens on the port";
            EXPECT_FALSE(canConnect(port));
            jvm.writeInput("\n");
            ASSERT_TRUE(jvm.waitFor("done", true, 60)) << jvm.err();
            jvm.closeInput();
            ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
            EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
        }
        std::vector<std::string> all = agentLines(jvm.err());
        EXPECT_NE(std::find(all.begin(), all.end(), refusal), all.end()) << jvm.err();
    }
}

// localhost is a name that resolves to loopback; a taken port's bind failure
// names the address, the port and the reason.
TEST_P(ControlPortAndStartupTest, LocalhostListensOnLoopbackAndATakenPortSaysWhy)
{
    {
        JvmProcess jvm(work.path, "jvm");
        ASSERT_TRUE(jvm.start(java("nowait,port=" + std::to_string(port) + ",address=localhost", {"instrprog.PausedWork"}), tmp, tmp,
                              canIsolateTmp()));
        ASSERT_TRUE(jvm.waitFor("Orvane> Using address localhost.", false, 60)) << jvm.err();
        FrontendClient client(60000);
        ASSERT_NO_FATAL_FAILURE(connect(client));
        jvm.writeInput("\n");
        ASSERT_TRUE(jvm.waitFor("done", true, 60)) << jvm.err();
        finish(jvm, client);
    }
    ASSERT_EQ(listen(held.fd, 1), 0) << "the test takes its own port";
    JvmProcess jvm(work.path, "taken");
    ASSERT_TRUE(jvm.start(java(listenOptions(), {"instrprog.PausedWork"}), tmp, tmp, canIsolateTmp()));
    ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
    EXPECT_EQ(jvm.exitCode(), 1);
    std::vector<std::string> all = agentLines(jvm.err());
    EXPECT_NE(std::find(all.begin(), all.end(),
                        "Orvane> ERROR: Could not bind socket to address 127.0.0.1 port " + std::to_string(port) + ": Address already in use."),
              all.end())
        << jvm.err();
}

// A connection that says nothing keeps no front end waiting and is closed
// after the handshake's limit once no front end is served; while one front
// end is connected the next one waits in the queue and is greeted once the
// first has gone.
TEST_P(ControlPortAndStartupTest, IdleConnectionsAreClosedAndFrontEndsQueue)
{
    JvmProcess jvm(work.path, "jvm");
    ASSERT_TRUE(jvm.start(java(listenOptions(), {"instrprog.PausedWork"}), tmp, tmp, canIsolateTmp()));
    ASSERT_TRUE(jvm.waitFor("Waiting for a connection from the Orvane GUI ...", false, 60)) << jvm.err();

    int idle = rawConnect(port);
    ASSERT_GE(idle, 0);
    FrontendClient first(30000);
    ASSERT_NO_FATAL_FAILURE(connect(first));
    Reply reply;
    ASSERT_EQ(first.call(1, {0}, &reply), FrontendClient::OK) << first.lastError();
    ASSERT_TRUE(jvm.waitFor("ready", true, 60)) << jvm.err();

    // A second front end while the first is connected: queued, not refused, not lost.
    int second = rawConnect(port);
    ASSERT_GE(second, 0);
    ASSERT_EQ(write(second, CLIENT_HELLO.data(), CLIENT_HELLO.size()), static_cast<ssize_t>(CLIENT_HELLO.size()));
    EXPECT_TRUE(readWithin(second, 1, 500).empty()) << "nothing while the first is served";
    first.close();
    EXPECT_EQ(readWithin(second, AGENT_HELLO.size(), 20000), AGENT_HELLO);
    const std::vector<uint8_t> confirm = {0xCA, 0xFE, 0xD0, 0x0D, 0, 0, 0, 2, 0, 0, 0, 9};
    ASSERT_EQ(write(second, confirm.data(), confirm.size()), static_cast<ssize_t>(confirm.size()));
    std::vector<uint8_t> header = readWithin(second, 24, 20000);
    ASSERT_EQ(header.size(), 24u) << "command 2 is answered";
    EXPECT_EQ(std::vector<uint8_t>(header.begin() + 8, header.begin() + 12), (std::vector<uint8_t>{0, 0, 0, 2}));
    EXPECT_EQ(std::vector<uint8_t>(header.begin() + 20, header.begin() + 24), (std::vector<uint8_t>{0, 0, 0, 9}));
    close(second);
    ASSERT_TRUE(jvm.waitFor("Orvane> ERROR: A client did not complete the handshake within 5000 ms; connection closed.", false, 60))
        << jvm.err();
    EXPECT_TRUE(readWithin(idle, 1, 1000).empty()) << "closed without a word";
    close(idle);
    jvm.writeInput("\n");
    ASSERT_TRUE(jvm.waitFor("done", true, 60)) << jvm.err();
    jvm.closeInput();
    ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
}

// Ten connections that say nothing and a client that stops in the middle of
// its first request keep a front end out no longer than the request's limit:
// the front end, which gives up after 10 s, is served.
TEST_P(ControlPortAndStartupTest, TenIdleClientsAndAHalfSentRequestKeepNoFrontEndOut)
{
    JvmProcess jvm(work.path, "jvm");
    ASSERT_TRUE(jvm.start(java(listenOptions(), {"instrprog.PausedWork"}), tmp, tmp, canIsolateTmp()));
    ASSERT_TRUE(jvm.waitFor("Waiting for a connection from the Orvane GUI ...", false, 60)) << jvm.err();

    int halfSent = rawConnect(port);
    ASSERT_GE(halfSent, 0);
    ASSERT_EQ(write(halfSent, CLIENT_HELLO.data(), CLIENT_HELLO.size()), static_cast<ssize_t>(CLIENT_HELLO.size()));
    ASSERT_EQ(readWithin(halfSent, AGENT_HELLO.size(), 20000), AGENT_HELLO);
    const std::vector<uint8_t> confirmAndPart = {0xCA, 0xFE, 0xD0, 0x0D, 0, 0, 0, 2, 0};
    ASSERT_EQ(write(halfSent, confirmAndPart.data(), confirmAndPart.size()), static_cast<ssize_t>(confirmAndPart.size()));
    std::vector<int> idle;
    for (int i = 0; i < 10; i++) {
        idle.push_back(rawConnect(port));
        ASSERT_GE(idle.back(), 0);
    }

    FrontendClient client(10000);
    Clock::time_point before = Clock::now();
    ASSERT_NO_FATAL_FAILURE(connect(client));
    Reply reply;
    ASSERT_EQ(client.call(1, {0}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(10)) << "within the front end's patience";
    EXPECT_NE(jvm.err().find("Orvane> ERROR: A request was not complete within 5000 ms; connection closed."), std::string::npos)
        << jvm.err();
    EXPECT_TRUE(readWithin(halfSent, 1, 1000).empty()) << "closed";
    close(halfSent);

    // Once the front end has gone, each idle connection is closed at the handshake's limit.
    client.close();
    const std::string limit = "Orvane> ERROR: A client did not complete the handshake within 5000 ms; connection closed.";
    Clock::time_point end = Clock::now() + std::chrono::seconds(60);
    std::vector<std::string> all;
    while (Clock::now() < end) {
        all = agentLines(jvm.err());
        if (std::count(all.begin(), all.end(), limit) >= 10)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(std::count(all.begin(), all.end(), limit), 10) << jvm.err();
    for (int s : idle) {
        EXPECT_TRUE(readWithin(s, 1, 1000).empty());
        close(s);
    }
    jvm.writeInput("\n");
    ASSERT_TRUE(jvm.waitFor("done", true, 60)) << jvm.err();
    jvm.closeInput();
    ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
}

// A command 1 without its configuration flag, or with a flag other than 0
// (no configuration) and 1 (a configuration follows), applies nothing and
// says so in a line; the front end is answered and goes on.
TEST_P(ControlPortAndStartupTest, AMalformedCommandOneIsNamedInALine)
{
    JvmProcess jvm(work.path, "jvm");
    ASSERT_TRUE(jvm.start(java(listenOptions(), {"instrprog.PausedWork"}), tmp, tmp, canIsolateTmp()));
    ASSERT_TRUE(jvm.waitFor("Waiting for a connection from the Orvane GUI ...", false, 60)) << jvm.err();
    FrontendClient client(30000);
    ASSERT_NO_FATAL_FAILURE(connect(client));
    struct Case {
        std::vector<uint8_t> payload;
        std::string line;
    };
    const Case cases[] = {
        {{}, "Orvane> ERROR: Command 1 without its configuration flag; no configuration is applied."},
        {{7}, "Orvane> ERROR: Command 1 with configuration flag 7 (0 or 1 expected); no configuration is applied."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        Reply reply;
        ASSERT_EQ(client.call(1, c.payload, &reply), FrontendClient::OK) << client.lastError();
        ASSERT_TRUE(jvm.waitFor(c.line, false, 30)) << jvm.err();
    }
    std::vector<std::string> all = agentLines(jvm.err());
    EXPECT_EQ(std::count_if(all.begin(), all.end(), [](const std::string &l) { return l.find("Command 1") != std::string::npos; }), 2)
        << jvm.err();
    Reply reply;
    ASSERT_EQ(client.call(1, {0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(jvm.waitFor("ready", true, 60)) << jvm.err();
    jvm.writeInput("\n");
    ASSERT_TRUE(jvm.waitFor("done", true, 60)) << jvm.err();
    finish(jvm, client);
}

// A second load of the agent into a VM where it runs says so in one line and
// changes nothing: no second port, no second set of hooks.
TEST_P(ControlPortAndStartupTest, ASecondLoadChangesNothing)
{
    if (!canIsolateTmp())
        GTEST_SKIP() << "attaching needs a private /tmp (root and unshare)";
    PortReservation secondPort;
    ASSERT_NE(secondPort.port, 0);
    std::string config = configFile(sessionXml("recordCPUOnStartup=\"true\""));
    JvmProcess jvm(work.path, "jvm");
    ASSERT_TRUE(jvm.start(java("nowait,config=" + config + ",id=5," + listenOptions(), {"instrprog.PausedWork"}), tmp, tmp, true));
    ASSERT_TRUE(jvm.waitFor("ready", true, 60)) << jvm.err();
    ASSERT_TRUE(jvm.waitFor("Orvane> Using address 127.0.0.1.", false, 30)) << jvm.err();
    const std::string before = "Orvane> Using address 127.0.0.1.";
    JvmProcess jcmd(work.path, "jcmd");
    ASSERT_TRUE(jcmd.start({"nsenter", "--target", std::to_string(jvm.getPid()), "--mount", "--", jdk + "/bin/jcmd", "-J-XX:-UsePerfData",
                            std::to_string(jvm.getPid()), "JVMTI.agent_load", "\"" + std::string(TIAGENT_PATH) + "\"",
                            "\"nowait,port=" + std::to_string(secondPort.port) + ",address=127.0.0.1\""},
                           tmp, tmp, false));
    ASSERT_TRUE(jcmd.waitExit(60));
    EXPECT_EQ(jcmd.exitCode(), 0) << jcmd.out() << jcmd.err();
    EXPECT_EQ(agentLinesAfter(jvm.err(), before),
              (std::vector<std::string>{"Orvane> The agent is already running in this VM; this load changes nothing."}));
    EXPECT_FALSE(canConnect(secondPort.port)) << "no second port";

    jvm.writeInput("\n");
    ASSERT_TRUE(jvm.waitFor("done", true, 60)) << jvm.err();
    FrontendClient client(30000);
    ASSERT_NO_FATAL_FAILURE(connect(client));
    std::map<std::string, uint64_t> calls = recordedCalls(client);
    EXPECT_EQ(calls["instrprog.PausedWork.main"], 1u) << "main is not nested in itself";
    EXPECT_EQ(calls["instrprog.PausedWork.fib"], 177u) << "each call counted once";
    finish(jvm, client);
}

// With instrument-jre the JDK's classes are rewritten too: the program's
// output is what it is without the agent, and standard error holds only the
// agent's own lines.
TEST_P(ControlPortAndStartupTest, TheProgramsOutputStaysItsOwn)
{
    const std::vector<std::string> program = {"instrprog.InstrumentedProgram"};
    JvmProcess plain(work.path, "plain");
    std::vector<std::string> command = {jdk + "/bin/java", "-XX:-UsePerfData", "-cp", INSTR_CLASSES, program[0]};
    ASSERT_TRUE(plain.start(command, tmp, tmp, canIsolateTmp()));
    plain.closeInput();
    ASSERT_TRUE(plain.waitExit(60)) << plain.err();
    std::string expected = plain.out();
    ASSERT_NE(expected.find("done"), std::string::npos);

    // java.lang stays unfiltered: its natives include intrinsic candidates.
    std::string config = configFile("<config><session id=\"5\" instrumentationType=\"1\" timeType=\"1\" recordCPUOnStartup=\"true\">"
                                    "<filter type=\"exclusive\" name=\"sun.\"/><filter type=\"exclusive\" name=\"jdk.\"/>"
                                    "<filter type=\"exclusive\" name=\"com.sun.\"/></session></config>");
    JvmProcess jvm(work.path, "jvm");
    ASSERT_TRUE(jvm.start(java("nowait,instrument-jre,config=" + config + ",id=5," + listenOptions(), program), tmp, tmp, canIsolateTmp()));
    ASSERT_TRUE(jvm.waitFor("done", true, 120)) << jvm.err();
    jvm.closeInput();
    ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
    EXPECT_EQ(jvm.out(), expected);
    EXPECT_EQ(foreignLines(jvm.err()), std::vector<std::string>()) << jvm.err();
}

INSTANTIATE_TEST_SUITE_P(Jdks, ControlPortAndStartupTest, testing::ValuesIn(JDKS), jdkTestName);

} // namespace
