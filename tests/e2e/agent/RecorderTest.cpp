// The recorder in real JVMs without -agentpath: the program loads the agent
// with System.load, starts the recorder through its Java entry, runs code the
// agent rewrote and saves recorder snapshots; the snapshots are read back
// with the front end's reader and the agent's own.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <string>

#include "CallStackTree.h"
#include "JdkTest.h"
#include "JvmProcess.h"
#include "LiveThreadManager.h"
#include "MethodDesc.h"
#include "LoadedSnapshot.h"
#include "SnapshotFile.h"

using namespace jvmtest;

namespace {

size_t occurrences(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// The calls of the method named `name` over every thread's call tree.
long long callsOf(LoadedSnapshot &snapshot, const std::string &name)
{
    long long calls = 0;
    std::function<void(CallStackTree *)> walk = [&](CallStackTree *node) {
        for (; node != nullptr; node = node->getNextInstance()) {
            if (node->getMethod() != nullptr && name == node->getMethod()->getMethodName())
                calls += node->getSecondValue();
            walk(node->getFirstChild());
        }
    };
    for (LiveThreadManager *thread : snapshot.cpu.getThreadManagers()) {
        CallStackTree *root = thread->getCallStackTree(false);
        if (root != nullptr)
            walk(root->getFirstChild());
    }
    return calls;
}

class RecorderE2ETest : public JdkTest {
protected:
    // A recorder snapshot: gzip, method 5, no heap, allocation tree, heap
    // dump or telemetry section, the trailer with an empty configuration.
    void checkRecorderFile(const std::string &path)
    {
        EXPECT_EQ(system(("gzip -t " + path).c_str()), 0) << path;
        SnapshotFile file;
        ASSERT_EQ(file.open(path), "") << path;
        EXPECT_EQ(file.header().callTreeCollectionMethod, 5u);
        ASSERT_EQ(file.verifySections(), "");
        ASSERT_EQ(file.sections().size(), 7u);
        for (int index : {1, 2, 4, 5}) {
            EXPECT_EQ(file.sections()[static_cast<size_t>(index)].length, 0u) << index;
            EXPECT_EQ(file.sections()[static_cast<size_t>(index)].position, 0) << index;
        }
        EXPECT_GT(file.sections()[3].length, 0u);
        ASSERT_EQ(file.readTrailer(), "");
        ASSERT_TRUE(file.trailer().present);
        EXPECT_EQ(file.trailer().configId, 0u);
        EXPECT_EQ(file.trailer().configXml, "");
    }

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

    for (const char *name : {"recorded.ovs", "reset.ovs", "after.ovs"})
        ASSERT_NO_FATAL_FAILURE(checkRecorderFile(tmp + "/" + name));

    // The rewritten code recorded its calls: run once, spin 40 times.
    LoadedSnapshot recorded;
    ASSERT_EQ(recorded.load(tmp + "/recorded.ovs"), 36);
    EXPECT_EQ(callsOf(recorded, "run"), 1);
    EXPECT_EQ(callsOf(recorded, "spin"), 40);
    // The recorder's switch emptied the CPU data ...
    LoadedSnapshot reset;
    ASSERT_EQ(reset.load(tmp + "/reset.ovs"), 36);
    EXPECT_EQ(callsOf(reset, "run"), 0);
    EXPECT_EQ(callsOf(reset, "spin"), 0);
    // ... and what ran after it is recorded afresh.
    LoadedSnapshot after;
    ASSERT_EQ(after.load(tmp + "/after.ovs"), 36);
    EXPECT_EQ(callsOf(after, "run"), 1);
    EXPECT_EQ(callsOf(after, "spin"), 3);
    EXPECT_EQ(err.find("Exception"), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(Jdks, RecorderE2ETest, testing::ValuesIn(JDKS), jdkTestName);

} // namespace
