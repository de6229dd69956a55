#include "FakeAgent.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <sys/wait.h>

namespace {

struct CliRun {
    int status;
    std::string output;
};

CliRun runFrontend(const std::string &arguments)
{
    std::string command = std::string(KVR_BINARY_DIR) + "/bin/frontend " + arguments + " 2>&1";
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

TEST(FrontendCli, BadArgumentsAndUnreachableAgent)
{
    struct Case {
        const char *name;
        std::string arguments;
        int status;
    };
    uint16_t closedPort;
    {
        FakeAgent gone;
        closedPort = gone.port();
    }
    const Case cases[] = {
        {"no command", "--port 8849", 2},
        {"port out of range", "--port 70000 cmd 2", 2},
        {"odd hex payload", "--port 8849 cmd 44 abc", 2},
        {"missing snapshot file", "snapshot /nonexistent/snapshot.ovs", 1},
        {"nobody listening", "--port " + std::to_string(closedPort) + " --timeout 1000 cmd 2", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        CliRun run = runFrontend(c.arguments);
        EXPECT_EQ(run.status, c.status) << run.output;
    }
}

} // namespace
