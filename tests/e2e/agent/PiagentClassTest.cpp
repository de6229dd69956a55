// piagent rewrites classes the VM hands it in CLASS_LOAD_HOOK: the main
// class calls the agent's Java side first, other classes stay as they are,
// and the rewritten class passes a real JVM's verifier and runs.
#include "PiagentHost.h"

#include <algorithm>
#include <sys/wait.h>

namespace {

using PiagentClassTest = PiagentHostTest;

TEST_F(PiagentClassTest, MainClassIsRewrittenAndVerifiedOthersStayTheSame)
{
    std::string classes = PROBE_CLASSES;
    std::string out = work + "/out";
    ASSERT_EQ(mkdir(out.c_str(), 0700), 0);
    start({"--options", "nowait", "hook:" + classes + "/PiMainProgram$Helper.class:" + out + "/PiMainProgram$Helper.class",
           "hook:" + classes + "/PiMainProgram.class:" + out + "/PiMainProgram.class",
           // A second class with main is no main class any more.
           "hook:" + classes + "/PiMainProgram.class:" + out + "/Again.class", "shut-down"});
    ASSERT_EQ(finish(), 0) << err();
    std::vector<std::string> hooks = linesStartingWith(this->out(), "host: hook ");
    ASSERT_EQ(hooks.size(), 3u) << this->out();
    EXPECT_EQ(hooks[0].compare(0, 16, "host: hook same "), 0) << hooks[0];
    EXPECT_EQ(hooks[1].compare(0, 15, "host: hook new "), 0) << hooks[1];
    EXPECT_EQ(hooks[2].compare(0, 16, "host: hook same "), 0) << hooks[2];

    // The JVM verifies every class and runs the rewritten main.
    std::string command = "cd '" + work + "' && TMPDIR='" + work + "' HOME='" + home + "' '" + JAVA_BIN +
                          "' -XX:-UsePerfData -Xverify:all -cp '" + out + ":" + AGENT_JAR + "' PiMainProgram a b > java.out 2>&1";
    int status = system(command.c_str());
    std::string said = readFile(work + "/java.out");
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << said;
    EXPECT_EQ(said, "main class PiMainProgram, 2 arguments, hello there, started 1\n");
}

// The real JVM under the host defines the class the agent gave back and runs
// it: the rewritten start-up reaches the agent's Java class.
TEST_F(PiagentClassTest, RewrittenMainClassRunsInTheHostsJvm)
{
    std::string classes = PROBE_CLASSES;
    classPath = std::string(AGENT_JAR) + ":" + classes;
    start({"--options", "nowait", "main:" + classes + "/PiMainProgram.class:PiMainProgram:a/b/c", "shut-down"});
    ASSERT_EQ(finish(), 0) << err() << out();
    std::vector<std::string> said = lines(out());
    auto hooked = std::find_if(said.begin(), said.end(), [](const std::string &line) { return line.compare(0, 15, "host: hook new ") == 0; });
    ASSERT_NE(hooked, said.end()) << out();
    auto ran = std::find(hooked, said.end(), "main class PiMainProgram, 3 arguments, hello there, started 1");
    ASSERT_NE(ran, said.end()) << out();
    EXPECT_NE(std::find(ran, said.end(), "host: main PiMainProgram returned"), said.end()) << out();
}

// A class file older than version 49 has no Class constants: the rewritten
// main names its class through Class.forName, and the version stays.
TEST_F(PiagentClassTest, MainClassBelowVersion49StaysLoadable)
{
    std::string classes = PROBE_CLASSES;
    std::string in = work + "/old", out = work + "/out";
    ASSERT_EQ(mkdir(in.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(out.c_str(), 0700), 0);
    for (const char *name : {"PiMainProgram.class", "PiMainProgram$Helper.class"}) {
        std::string bytes = readFile(classes + "/" + name);
        ASSERT_GT(bytes.size(), 8u);
        bytes[6] = 0;
        bytes[7] = 48; // major version 48
        std::ofstream(in + "/" + name, std::ios::binary) << bytes;
    }
    start({"--options", "nowait", "hook:" + in + "/PiMainProgram.class:" + out + "/PiMainProgram.class", "shut-down"});
    ASSERT_EQ(finish(), 0) << err();
    ASSERT_EQ(linesStartingWith(this->out(), "host: hook new ").size(), 1u) << this->out();
    std::string rewritten = readFile(out + "/PiMainProgram.class");
    ASSERT_GT(rewritten.size(), 8u);
    EXPECT_EQ(rewritten[7], 48);
    std::string command = "cd '" + work + "' && TMPDIR='" + work + "' HOME='" + home + "' '" + JAVA_BIN +
                          "' -XX:-UsePerfData -Xverify:all -cp '" + out + ":" + in + ":" + AGENT_JAR + "' PiMainProgram > java.out 2>&1";
    int status = system(command.c_str());
    std::string said = readFile(work + "/java.out");
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << said;
    EXPECT_EQ(said, "main class PiMainProgram, 0 arguments, hello there, started 1\n");
}

} // namespace
