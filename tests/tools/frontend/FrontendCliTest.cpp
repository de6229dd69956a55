#include "FakeAgent.h"
#include "../../support/LoopbackSocket.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <unistd.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

namespace {

struct CliRun {
    int status;
    std::string output;
};

CliRun runFrontend(const std::string &arguments)
{
    std::string command = "'" + std::string(KVR_BINARY_DIR) + "/bin/frontend' " + arguments + " 2>&1";
    FILE *pipe = popen(command.c_str(), "r");
    CliRun run{-1, ""};
    if (!pipe)
        return run;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.output.append(buffer, n);
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST(FrontendCli, PrintsRepliesAndClosesTheConnection)
{
    FakeAgent agent;
    agent.setReplyBody(44, {0x00, 0x00, 0x00, 0x01});
    CliRun run = runFrontend("--host 127.0.0.1 --port " + std::to_string(agent.port()) + " --timeout 5000 cmd 2 cmd 44 aabb");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("protocol version 36"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("reply to command 2 (request 1)"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("ID width 8"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("reply to command 44 (request 2): VM start 72623859790382856 us"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("00000000  00 00 00 01"), std::string::npos) << run.output;
    EXPECT_TRUE(agent.waitForEvent("executed 44 size 2"));
    EXPECT_TRUE(agent.waitForEvent("command 0"));
}

TEST(FrontendCli, HelpListsEveryCommandOnOneLine)
{
    CliRun run = runFrontend("--help");
    EXPECT_EQ(run.status, 0) << run.output;
    for (const char *line : {"\n  cpu on|off ", "\n  session FILE ID ", "\n  hotspots [N] ", "\n  calltree [LEVEL] ", "\n  graph ",
                             "\n  threads ", "\n  classes ", "\n  cmd N [HEX] ", "\n       frontend snapshot FILE ",
                             "\n  alloc on|off ", "\n  heap [reset] ", "\n  totalheap ", "\n  alloctree [SEL ...] ",
                             "\n  allocexpand M[/M ...] ", "\n  allochotspots [SEL ...] ", "\n  allocbacktrace M ",
                             "\n  savesnapshot FILE ", "\n  snapshotpath "}) {
        size_t at = run.output.find(line);
        ASSERT_NE(at, std::string::npos) << line << "\n" << run.output;
        size_t end = run.output.find('\n', at + 1);
        EXPECT_NE(run.output.compare(end + 1, 4, "    "), 0) << "continued on a second line: " << line;
    }
}

TEST(FrontendCli, SessionSendsTheFileAsCommandOne)
{
    std::string path = std::string(KVR_BINARY_DIR) + "/tests/frontend-session-" + std::to_string(getpid()) + ".xml";
    const std::string xml = "<config><session id=\"7\" instrumentationType=\"1\"/></config>";
    std::ofstream(path) << xml;
    FakeAgent agent;
    CliRun run = runFrontend("--port " + std::to_string(agent.port()) + " --timeout 5000 session '" + path + "' 7");
    unlink(path.c_str());
    EXPECT_EQ(run.status, 0) << run.output;
    // Byte 1 (a configuration follows), U4 session id, U4 length, the document,
    // an empty string and no scripts.
    std::vector<uint8_t> payload = {1, 0, 0, 0, 7, 0, 0, 0, static_cast<uint8_t>(xml.size())};
    payload.insert(payload.end(), xml.begin(), xml.end());
    payload.insert(payload.end(), {0, 0, 0, 0, 0, 0});
    ASSERT_TRUE(agent.waitForEvent("executed 1 size " + std::to_string(payload.size()))) << run.output;
    std::vector<uint8_t> sent = agent.received().at(0);
    EXPECT_NE(std::search(sent.begin(), sent.end(), payload.begin(), payload.end()), sent.end());
}

TEST(FrontendCli, BadArgumentsAndUnreachableAgent)
{
    struct Case {
        const char *name;
        std::string arguments;
        int status;
        const char *hint;
    };
    uint16_t closedPort;
    int bound = loopbackSocket::refusingPort(&closedPort);
    ASSERT_GE(bound, 0);
    const Case cases[] = {
        {"no command", "--port 8849", 2, "try: frontend --help"},
        {"unknown command", "--port 8849 frobnicate", 2, "try: frontend --help"},
        {"port out of range", "--port 70000 cmd 2", 2, "from 1 to 65535"},
        {"odd hex payload", "--port 8849 cmd 44 abc", 2, "pairs of hex digits"},
        {"cpu without on or off", "--port 8849 cpu maybe", 2, "cpu takes on or off"},
        {"session without an id", "--port 8849 session x.xml", 2, "session examples/tiagent-session.xml 1"},
        {"session id not a number", "--port 8849 session x.xml one", 2, "id=\"...\""},
        {"alloc without on or off", "--port 8849 alloc maybe", 2, "alloc takes on or off"},
        {"aggregation level above 3", "--port 8849 alloctree live 4", 2, "bad aggregation level 4"},
        {"expansion without a method", "--port 8849 allocexpand", 2, "allocexpand needs a method"},
        {"back trace of two methods", "--port 8849 allocbacktrace A.a/B.b", 2, "allocbacktrace takes one method"},
        {"snapshot without a file", "--port 8849 savesnapshot", 2, "savesnapshot needs a file name"},
        {"missing session file", "--port 8849 session /nonexistent/session.xml 1", 1, "try: give the path of a configuration"},
        {"missing snapshot file", "snapshot /nonexistent/snapshot.ovs", 1, "try: give the path of a snapshot file"},
        {"nobody listening", "--port " + std::to_string(closedPort) + " --timeout 1000 cmd 2", 1, "try: start the JVM with -agentpath:"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        CliRun run = runFrontend(c.arguments);
        EXPECT_EQ(run.status, c.status) << run.output;
        EXPECT_EQ(run.output.rfind("frontend: ", 0), 0u) << "the reason comes first: " << run.output;
        EXPECT_NE(run.output.find(c.hint), std::string::npos) << run.output;
    }
    close(bound);
}

// Each view reads its reply whole: a reply it cannot read ends the run with
// status 1, the reason first and what to check; the commands after it still go.
TEST(FrontendCli, ViewsRefuseMalformedRepliesAndGoOn)
{
    struct Case {
        const char *view;
        uint32_t command;
    } cases[] = {{"calltree", 41}, {"hotspots", 42}, {"graph", 50},         {"classes", 60},     {"threads", 74},
                 {"heap", 3},      {"totalheap", 4},  {"alloctree", 24}, {"allochotspots", 51}, {"savesnapshot x.ovs", 32}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.view);
        FakeAgent agent;
        agent.setReplyBody(c.command, {0xFF, 0xFF, 0xFF});
        CliRun run = runFrontend("--port " + std::to_string(agent.port()) + " --timeout 5000 " + c.view + " cmd 2");
        EXPECT_EQ(run.status, 1) << run.output;
        std::string reason = "frontend: command " + std::to_string(c.command) + ": malformed reply";
        EXPECT_NE(run.output.find(reason), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("check that the agent and the front end come from one build"), std::string::npos)
            << run.output;
        std::vector<std::string> events = agent.events();
        std::string executed = "executed " + std::to_string(c.command) + " size ";
        EXPECT_TRUE(std::any_of(events.begin(), events.end(),
                                [&](const std::string &e) { return e.rfind(executed, 0) == 0; }));
        EXPECT_NE(run.output.find("reply to command 2 (request 2)"), std::string::npos) << "the next command still goes";
    }
}

// An ID of width 8 as the agent writes it (host order, little-endian here).
std::vector<uint8_t> id8(uint8_t low)
{
    return {low, 0, 0, 0, 0, 0, 0, 0};
}

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> all;
    for (const auto &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

bool contains(const std::vector<uint8_t> &bytes, const std::vector<uint8_t> &part)
{
    return std::search(bytes.begin(), bytes.end(), part.begin(), part.end()) != bytes.end();
}

// The heap words: lists by class with the names the replies describe, an
// allocation tree selected by a class named in an earlier reply, an
// expansion by method name, and a snapshot written to a file.
TEST(FrontendCli, HeapCommandsNameClassesAndMethodsAndSaveSnapshots)
{
    const std::vector<uint8_t> widgetClass = cat({{1}, id8(0x10), {0, 11}, {'D', 'e', 'm', 'o', '$', 'W', 'i', 'd', 'g', 'e', 't'},
                                                  {0, 0, 0, 0, 0}, id8(0), id8(0), id8(0), {0}});
    FakeAgent agent;
    agent.setReplyBody(3, cat({{1, 0, 2}, id8(0x10), {0, 0, 0, 0, 0, 0, 0, 7}, {0, 0, 0, 0, 0, 0, 0, 112}, // 7 widgets, 112 bytes
                               {1, 0, 8}, id8(0), {0, 0, 0, 0, 0, 0, 0, 2}, {0, 0, 0, 0, 0, 0, 0, 96},    // 2 int arrays, 96 bytes
                               {0},                                                                      // end of live
                               {0},                                                                      // nothing collected
                               widgetClass, {0}}));
    // Root, one child: Demo$Widget.make() line 5, 112 bytes in 7 objects.
    agent.setReplyBody(24, cat({{1, 1, 0}, id8(0x21), {0, 5}, {0, 0, 0, 0, 0, 0, 0, 112}, {0, 0, 0, 7},
                                {0}, id8(0), {0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0},
                                {0, 0, 0, 0},                                                              // no selected path
                                {1}, id8(0x21), id8(0x10), {0, 4, 'm', 'a', 'k', 'e', 0, 3, '(', ')', 'V'}, {0}, // method
                                {0}}));
    agent.setReplyBody(25, {0});
    agent.setReplyBody(32, {0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 4, 0xCA, 0xFE, 0xD0, 0x0D});
    std::string file = std::string(KVR_BINARY_DIR) + "/tests/frontend-snapshot-" + std::to_string(getpid()) + ".ovs";
    CliRun run = runFrontend("--port " + std::to_string(agent.port()) +
                             " --timeout 5000 alloctree 'class=Demo$Widget' alloc on heap alloctree collected 'class=Demo$Widget'"
                             " allocexpand 'Demo$Widget.make' allocexpand Demo.nothing savesnapshot '" + file + "'");
    EXPECT_EQ(run.status, 1) << "the unknown class and the missing node fail: " << run.output;
    EXPECT_NE(run.output.find("frontend: command 24: class Demo$Widget is not known yet"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("live recorded objects, changed since the last time: 2 entries, 9 objects, 208 bytes\n"
                              "        objects            bytes  class\n"
                              "              7              112  Demo$Widget\n"
                              "              2               96  int[]\n"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("collected recorded objects, changed since the last time: 0 entries, 0 objects, 0 bytes\n"),
              std::string::npos) << run.output;
    EXPECT_NE(run.output.find("          112  100%             7    Demo$Widget.make()\n"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("the agent has no such node"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("frontend: command 25: no node Demo.nothing on that path of the last alloctree"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("snapshot of 4 bytes written to " + file), std::string::npos) << run.output;
    std::ifstream saved(file, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
    unlink(file.c_str());
    EXPECT_EQ(content, "\xCA\xFE\xD0\x0D");

    ASSERT_TRUE(agent.waitForEvent("command 0")) << run.output;
    std::vector<uint8_t> sent = agent.received().at(0);
    // Command 49: on, no probe ids. Command 3: resetCollected 0.
    EXPECT_TRUE(agent.waitForEvent("executed 49 size 5"));
    EXPECT_TRUE(agent.waitForEvent("executed 3 size 1"));
    // Command 24: recompute, level 0, kind 2, no selection tree, no path, keep
    // collected, one class (type 2, ID 0x10), no prefix, depth 10000, threshold 0.
    EXPECT_TRUE(contains(sent, cat({{1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 1, 0, 2}, id8(0x10),
                                    {0, 0, 0, 0, 0x27, 0x10, 0, 0, 0, 0}})));
    // Command 25: depth, threshold, one step: the method and its line.
    EXPECT_TRUE(contains(sent, cat({{0, 0, 0x27, 0x10, 0, 0, 0, 0, 0, 1}, id8(0x21), {0, 5}})));
}

} // namespace
