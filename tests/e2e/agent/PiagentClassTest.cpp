// piagent rewrites classes the VM hands it in CLASS_LOAD_HOOK: the main
// class calls the agent's Java side first, other classes stay as they are,
// and the rewritten class passes a real JVM's verifier and runs.
#include "PiagentHost.h"

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

} // namespace
