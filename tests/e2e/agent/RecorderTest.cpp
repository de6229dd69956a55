// The recorder in real JVMs without -agentpath: the program loads the agent
// with System.load, starts the recorder through its Java entry, runs code the
// agent rewrote and saves recorder snapshots; the snapshots are read back
// with the front end's reader and the agent's own.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <string>

#include "JdkTest.h"
#include "JvmProcess.h"
#include "RecorderSnapshots.h"

using namespace jvmtest;

namespace {

size_t occurrences(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

class RecorderE2ETest : public JdkTest {
};

TEST_P(RecorderE2ETest, StartsWithoutJvmtiRecordsAndSavesRecorderSnapshots)
{
    // The recorder instruments (it records calls, it does not sample).
    std::string config = work / "config.xml";
    {
        std::ofstream xml(config);
        xml << "<config><session id=\"9\" instrumentationType=\"1\" timeType=\"1\"/></config>";
    }
    JvmProcess jvm(work.path, "jvm");
    std::vector<std::string> c = {jdk + "/bin/java", "-XX:-UsePerfData", "-cp", std::string(PROBE_CLASSES) + ":" + AGENT_JAR,
                                  "RecorderProgram", TIAGENT_PATH, tmp, "nowait,config=" + config + ",id=9"};
    ASSERT_TRUE(jvm.start(c, tmp, tmp, canIsolateTmp()));
    ASSERT_TRUE(jvm.waitExit(120)) << jvm.err();
    std::string out = jvm.out();
    std::string err = jvm.err();
    std::string all = err + out;
    ASSERT_NE(out.find("done\n"), std::string::npos) << all;

    // Before the recorder starts: nothing stored, nothing saved, said once.
    EXPECT_NE(out.find("before config 0 untouched untouched\n"), std::string::npos) << out;
    EXPECT_NE(out.find("before snapshot 0\n"), std::string::npos) << out;
    struct stat st;
    EXPECT_NE(stat((tmp + "/none.ovs").c_str(), &st), 0);
    EXPECT_EQ(occurrences(all, "The native library has not been initialized."), 1u) << all;
    EXPECT_EQ(occurrences(all, "Profiling commands will be ignored."), 1u) << all;
    EXPECT_EQ(occurrences(all, "Did you forget the -agentpath parameter?"), 1u) << all;

    EXPECT_EQ(occurrences(err, "Orvane> Initializing Cobalt\n"), 1u) << err;
    EXPECT_EQ(err.find("Using JVMTI"), std::string::npos) << "the recorder runs without JVMTI: " << err;
    // The configuration file of the options: the path of the agent's private copy and the id, no
    // XML text (it came from a file).
    EXPECT_NE(out.find("config 9 " + tmp + "/ovc"), std::string::npos) << out;
    EXPECT_NE(out.find(" null\nrewritten"), std::string::npos) << out;
    EXPECT_NE(out.find("rewritten true\n"), std::string::npos) << out;
    EXPECT_NE(out.find("saved recorded 1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("policies asked "), std::string::npos) << out;
    EXPECT_NE(out.find(" wrong 0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("saved reset 1\nran "), std::string::npos) << out;
    EXPECT_NE(out.find("saved after 1\n"), std::string::npos) << out;

    // The rewritten code recorded its calls: run once, spin 40 times; the
    // recorder's switch emptied the CPU data, and what ran after it is
    // recorded afresh.
    ASSERT_NO_FATAL_FAILURE(checkRecorderRuns(tmp, "run"));
    EXPECT_EQ(err.find("Exception"), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(Jdks, RecorderE2ETest, testing::ValuesIn(JDKS), jdkTestName);

} // namespace
