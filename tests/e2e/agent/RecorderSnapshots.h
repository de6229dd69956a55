// What a recorder snapshot file must hold, for the recorder tests of both
// agents: the file's framing and the calls its call trees recorded.
#ifndef KVR_TESTS_E2E_AGENT_RECORDERSNAPSHOTS_H
#define KVR_TESTS_E2E_AGENT_RECORDERSNAPSHOTS_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "CallStackTree.h"
#include "LiveThreadManager.h"
#include "LoadedSnapshot.h"
#include "MethodDesc.h"
#include "SnapshotFile.h"

namespace {

// The calls of the method named `name` over every thread's call tree.
[[maybe_unused]] long long callsOf(LoadedSnapshot &snapshot, const std::string &name)
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

// A recorder snapshot: gzip, method 5, no heap, allocation tree, heap dump
// or telemetry section, the trailer with an empty configuration.
[[maybe_unused]] void checkRecorderFile(const std::string &path)
{
    EXPECT_EQ(system(("gzip -t '" + path + "'").c_str()), 0) << path;
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

// The three snapshots the recorder programs of both agents save in `dir`:
// `outer` once and spin 40 times recorded, nothing after the switch emptied
// the CPU data, then `outer` once and spin 3 times recorded afresh.
[[maybe_unused]] void checkRecorderRuns(const std::string &dir, const std::string &outer)
{
    for (const char *name : {"recorded.ovs", "reset.ovs", "after.ovs"})
        ASSERT_NO_FATAL_FAILURE(checkRecorderFile(dir + "/" + name));
    LoadedSnapshot recorded;
    ASSERT_EQ(recorded.load(dir + "/recorded.ovs"), 36);
    EXPECT_EQ(callsOf(recorded, outer), 1);
    EXPECT_EQ(callsOf(recorded, "spin"), 40);
    LoadedSnapshot reset;
    ASSERT_EQ(reset.load(dir + "/reset.ovs"), 36);
    EXPECT_EQ(callsOf(reset, outer), 0);
    EXPECT_EQ(callsOf(reset, "spin"), 0);
    LoadedSnapshot after;
    ASSERT_EQ(after.load(dir + "/after.ovs"), 36);
    EXPECT_EQ(callsOf(after, outer), 1);
    EXPECT_EQ(callsOf(after, "spin"), 3);
}

} // namespace

#endif
