// The recorder in real JVMs without -agentpath: the program loads the agent
// with System.load, starts the recorder through its Java entry, runs code the
// agent rewrote and saves recorder snapshots; the snapshots are read back
// with the front end's reader and the agent's own.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <zlib.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

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

// The runs of the probe named `name` by the line hint of their node, over
// every thread's call tree (nodes without runs left out).
std::map<unsigned, long long> runsOf(LoadedSnapshot &snapshot, const std::string &name)
{
    std::map<unsigned, long long> runs;
    std::function<void(CallStackTree *)> walk = [&](CallStackTree *node) {
        for (; node != nullptr; node = node->getNextInstance()) {
            if (node->getMethod() != nullptr && name == node->getMethod()->getMethodName() && node->getSecondValue() > 0)
                runs[node->getLineHint()] += node->getSecondValue();
            walk(node->getFirstChild());
        }
    };
    for (LiveThreadManager *thread : snapshot.cpu.getThreadManagers()) {
        CallStackTree *root = thread->getCallStackTree(false);
        if (root != nullptr)
            walk(root->getFirstChild());
    }
    return runs;
}

// The bytes of a saved (gzip-compressed) snapshot stream.
std::vector<unsigned char> unzipped(const std::string &path)
{
    std::vector<unsigned char> all;
    gzFile gz = gzopen(path.c_str(), "rb");
    if (gz == nullptr)
        return all;
    unsigned char block[65536];
    for (int n; (n = gzread(gz, block, sizeof block)) > 0;)
        all.insert(all.end(), block, block + n);
    gzclose(gz);
    return all;
}

// The four bytes of the call-tree collection method in the header of a
// saved snapshot: after the magic, the version, three flag bytes, the VM's
// name and version (each U2 length and bytes), U4, JLong, U4, JLong and a byte.
std::vector<unsigned char> headerCollectionMethod(const std::string &path)
{
    std::vector<unsigned char> b = unzipped(path);
    size_t at = 11;
    for (int text = 0; text < 2; text++) {
        if (at + 2 > b.size())
            return {};
        at += 2 + ((static_cast<size_t>(b[at]) << 8) | b[at + 1]);
    }
    at += 4 + 8 + 4 + 8 + 1;
    if (at + 4 > b.size())
        return {};
    return std::vector<unsigned char>(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at) + 4);
}

// The never-recorded byte and the collection method (U4) of the CPU
// section: after the section's magic and the probe metadata (U4 length and
// its bytes).
std::vector<unsigned char> cpuSectionCollectionMethod(const std::string &path)
{
    SnapshotFile file;
    if (file.open(path) != "" || file.sections().size() < 4 || file.sections()[3].position < 0)
        return {};
    std::vector<unsigned char> b = unzipped(path);
    size_t at = static_cast<size_t>(file.sections()[3].position) + 4;
    if (at + 4 > b.size())
        return {};
    at += 4 + ((static_cast<size_t>(b[at]) << 24) | (static_cast<size_t>(b[at + 1]) << 16) | (static_cast<size_t>(b[at + 2]) << 8) | b[at + 3]);
    if (at + 5 > b.size())
        return {};
    return std::vector<unsigned char>(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at) + 5);
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

TEST_P(RecorderE2ETest, PoliciesSortProbeRunsAndSnapshotsSayTheRecorderRecords)
{
    std::string config = work / "config.xml";
    {
        std::ofstream xml(config);
        xml << "<config><session id=\"9\" instrumentationType=\"1\" timeType=\"1\"/></config>";
    }
    JvmProcess jvm(work.path, "jvm");
    std::vector<std::string> c = {jdk + "/bin/java", "-XX:-UsePerfData", "-cp", std::string(PROBE_CLASSES) + ":" + AGENT_JAR,
                                  "RecorderPolicyProgram", TIAGENT_PATH, tmp, "nowait,config=" + config + ",id=9"};
    ASSERT_TRUE(jvm.start(c, tmp, tmp, canIsolateTmp()));
    ASSERT_TRUE(jvm.waitExit(120)) << jvm.err();
    std::string all = jvm.err() + jvm.out();
    ASSERT_NE(jvm.out().find("saved recorder 1\ndone\n"), std::string::npos) << all;

    // Each run of a probe with a policy goes to its ordinary node (line 0),
    // the slow runs' node (0xFFFA) or the very slow runs' node (0xFFF9); a
    // probe without policy keeps all its runs in its ordinary node.
    LoadedSnapshot policies;
    ASSERT_EQ(policies.load(tmp + "/policies.ovs"), 36);
    struct Case {
        const char *probe;
        std::map<unsigned, long long> runs;
    };
    const Case cases[] = {
        // In milliseconds: 0 ms ordinary, 250 ms above 100, 1000 ms above 600.
        {"AbsoluteProbe", {{0u, 1}, {0xFFFAu, 1}, {0xFFF9u, 1}}},
        // Against the average: the first 11 runs only make it; 600 ms is
        // more than 4 times the average of 11 runs of 5 ms and itself.
        {"AverageProbe", {{0u, 11}, {0xFFF9u, 1}}},
        {"PlainProbe", {{0u, 1}}},
    };
    for (const Case &k : cases)
        EXPECT_EQ(runsOf(policies, k.probe), k.runs) << k.probe;

    // The header's call-tree collection method: 5 in the recorder's own
    // snapshot, 4 in a snapshot taken while the recorder records, the
    // session's (1) once it stopped.
    EXPECT_EQ(headerCollectionMethod(tmp + "/policies.ovs"), (std::vector<unsigned char>{0, 0, 0, 5}));
    EXPECT_EQ(headerCollectionMethod(tmp + "/recording.ovs"), (std::vector<unsigned char>{0, 0, 0, 4}));
    EXPECT_EQ(headerCollectionMethod(tmp + "/stopped.ovs"), (std::vector<unsigned char>{0, 0, 0, 1}));
    // The CPU section: recorded (byte 0), and 4 while the recorder records.
    EXPECT_EQ(cpuSectionCollectionMethod(tmp + "/policies.ovs"), (std::vector<unsigned char>{0, 0, 0, 0, 4}));
    EXPECT_EQ(cpuSectionCollectionMethod(tmp + "/recording.ovs"), (std::vector<unsigned char>{0, 0, 0, 0, 4}));
    EXPECT_EQ(cpuSectionCollectionMethod(tmp + "/stopped.ovs"), (std::vector<unsigned char>{0, 0, 0, 0, 1}));
    EXPECT_EQ(all.find("Exception"), std::string::npos) << all;
}

INSTANTIATE_TEST_SUITE_P(Jdks, RecorderE2ETest, testing::ValuesIn(JDKS), jdkTestName);

} // namespace
