// Method statistics: the bucket search and its enlargement, the byte form on
// literal bytes, recording at method exits, and the commands that switch
// statistics (71), read them (72) and list probe execution sites (79).
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "ByteArrayDataReader.h"
#include "CallStackTree.h"
#include "CharVectorDataWriter.h"
#include "ClassData.h"
#include "CpuProfilingSession.h"
#include "LiveThreadManager.h"
#include "MethodDesc.h"
#include "MethodStats.h"
#include "ProfilingTestSupport.h"

namespace {

MethodStats::StackEntry times(uint32_t runnable, uint32_t waiting, uint32_t blocked, uint32_t netIO)
{
    return MethodStats::StackEntry{{runnable, waiting, blocked, netIO}};
}

// The form of an empty bucket, and of one holding `key` with five counts.
Wire &emptyRow(Wire &w)
{
    return w.u4(1).u4(0).u4(0).u4(0).u4(0).u4(0);
}

TEST(MethodStatsTest, BucketsByWidthAndProbing)
{
    struct Case {
        const char *name;
        std::vector<uint32_t> runnable; // one invocation each, other columns 0
        std::vector<std::pair<uint32_t, uint32_t>> keysAndRunnableCounts;
    } cases[] = {
        {"values 0-49 share key 0", {0, 49, 17}, {{0, 3}}},
        {"values 50-99 share key 50", {50, 99}, {{50, 2}}},
        {"a colliding key probes downwards", {100, 150, 550, 560}, {{100, 1}, {150, 1}, {550, 2}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        MethodStats stats;
        for (uint32_t v : c.runnable)
            stats.recordMethodExit(times(v, 0, 0, 0));
        EXPECT_EQ(stats.getWidth(), 50u);
        std::set<std::pair<uint32_t, uint32_t>> seen;
        for (int i = 0; i < MethodStats::BUCKETS; i++) {
            const MethodStats::Entry &e = stats.getEntry(i);
            if (e.key != MethodStats::EMPTY_KEY && e.counts[0] != 0)
                seen.insert({e.key, e.counts[0]});
        }
        std::set<std::pair<uint32_t, uint32_t>> expected(c.keysAndRunnableCounts.begin(), c.keysAndRunnableCounts.end());
        EXPECT_EQ(seen, expected);
    }
    // 100 lands in bucket 6; 550 hashes there too and, with 150 in bucket
    // 20 (one step of 9 down), takes bucket 11.
    MethodStats probed;
    for (uint32_t v : {100u, 150u, 550u})
        probed.recordMethodExit(times(v, 0, 0, 0));
    EXPECT_EQ(probed.getEntry(6).key, 100u);
    EXPECT_EQ(probed.getEntry(20).key, 150u);
    EXPECT_EQ(probed.getEntry(11).key, 550u);
}

TEST(MethodStatsTest, OneExitAndItsSlots)
{
    struct Case {
        const char *name;
        MethodStats::StackEntry exit;
        int slot;           // the bucket of the sum
        uint32_t key;       // its key
        uint32_t counts[5]; // that bucket's counts
        uint64_t sums[5];
    } cases[] = {
        // Runnable 10 and nothing else: key 0 for all five quantities.
        {"(10, 0, 0, 0) counts once in every column of key 0", times(10, 0, 0, 0), 0, 0, {1, 1, 1, 1, 1}, {10, 0, 0, 0, 10}},
        // hash(50) = 49, 49 mod 23 = 3.
        {"a sum of 50-99 takes key 50 in slot 3", times(60, 0, 0, 0), 3, 50, {1, 0, 0, 0, 1}, {60, 0, 0, 0, 60}},
        {"the sum is its own column", times(30, 40, 0, 0), 3, 50, {0, 0, 0, 0, 1}, {30, 40, 0, 0, 70}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        MethodStats stats;
        stats.recordMethodExit(c.exit);
        const MethodStats::Entry &e = stats.getEntry(c.slot);
        EXPECT_EQ(e.key, c.key);
        for (int q = 0; q < MethodStats::QUANTITIES; q++) {
            EXPECT_EQ(e.counts[q], c.counts[q]) << "column " << q;
            EXPECT_EQ(stats.getTotal(q).sum, c.sums[q]) << "column " << q;
        }
        // U4 width, 23 rows of six U4, five totals of 16 bytes.
        CharVectorDataWriter w;
        stats.write(&w);
        EXPECT_EQ(bytesOf(w).size(), 636u);
    }
}

TEST(MethodStatsTest, FullBucketsDoubleTheWidthAndKeepEveryCount)
{
    MethodStats stats;
    // 24 runnable keys 0, 50, ..., 1150 cannot fit into 23 buckets.
    for (uint32_t v = 0; v < 24 * 50; v += 50)
        stats.recordMethodExit(times(v + 10, 0, 0, 0));
    EXPECT_EQ(stats.getWidth(), 100u);
    uint32_t perColumn[MethodStats::QUANTITIES] = {};
    for (int i = 0; i < MethodStats::BUCKETS; i++) {
        const MethodStats::Entry &e = stats.getEntry(i);
        if (e.key == MethodStats::EMPTY_KEY)
            continue;
        EXPECT_EQ(e.key % 100, 0u) << e.key;
        if (e.counts[0] != 0) {
            EXPECT_EQ(e.counts[0], 2u) << "keys " << e.key << " and " << e.key + 50 << " merged";
        }
        for (int q = 0; q < MethodStats::QUANTITIES; q++)
            perColumn[q] += e.counts[q];
    }
    for (int q = 0; q < MethodStats::QUANTITIES; q++)
        EXPECT_EQ(perColumn[q], 24u) << "column " << q;
    EXPECT_EQ(stats.getTotal(0).minimum, 10u);
    EXPECT_EQ(stats.getTotal(0).maximum, 1160u);
    EXPECT_EQ(stats.getTotal(4).sum, 24u * 10 + 50u * (23 * 24 / 2));
}

TEST(MethodStatsTest, ByteFormOnLiteralBytesAndBack)
{
    MethodStats fresh;
    CharVectorDataWriter none;
    fresh.write(&none);
    Wire unset;
    unset.u4(50);
    for (int i = 0; i < 23; i++)
        emptyRow(unset);
    for (int q = 0; q < 5; q++)
        unset.jlong(0).u4(0).u4(0); // a minimum never set goes out as 0
    EXPECT_EQ(bytesOf(none), unset.b);

    MethodStats stats;
    stats.recordMethodExit(times(120, 30, 0, 5));
    CharVectorDataWriter w;
    stats.write(&w);
    Wire e;
    e.u4(50);
    for (int i = 0; i < 23; i++) {
        if (i == 0)
            e.u4(0).u4(0).u4(1).u4(1).u4(1).u4(0); // waiting, blocked, net I/O: key 0
        else if (i == 6)
            e.u4(100).u4(1).u4(0).u4(0).u4(0).u4(0); // runnable 120
        else if (i == 20)
            e.u4(150).u4(0).u4(0).u4(0).u4(0).u4(1); // the sum 155
        else
            emptyRow(e);
    }
    e.jlong(120).u4(120).u4(120);
    e.jlong(30).u4(30).u4(30);
    e.jlong(0).u4(0).u4(0);
    e.jlong(5).u4(5).u4(5);
    e.jlong(155).u4(155).u4(155);
    std::vector<unsigned char> bytes = bytesOf(w);
    EXPECT_EQ(bytes, e.b);

    ByteArrayDataReader reader(bytes.data(), static_cast<int>(bytes.size()));
    MethodStats *back = MethodStats::read(&reader, 36);
    ASSERT_NE(back, nullptr);
    CharVectorDataWriter again;
    back->write(&again);
    EXPECT_EQ(bytesOf(again), bytes);
    delete back;

    // Snapshots up to version 22 carry no statistics: nothing is read.
    ByteArrayDataReader old(bytes.data(), static_cast<int>(bytes.size()));
    EXPECT_EQ(MethodStats::read(&old, 22), nullptr);
    EXPECT_EQ(old.readU4(0), 50u);
    unsigned char zero[4] = {0, 0, 0, 0};
    ByteArrayDataReader absent(zero, 4);
    EXPECT_EQ(MethodStats::read(&absent, 36), nullptr);
}

class MethodStatsSessionTest : public CpuSessionTest {
protected:
    MethodStatsSessionTest() : CpuSessionTest("p.S") {}

    LiveThreadManager *startThread(int32_t outer)
    {
        LiveThreadManager *t = cpu.createThreadManager();
        vm.stack = {{desc(outer), 0}};
        enter(t, outer, 0); // synchronises the stack with the VM's
        vm.stack.clear();
        return t;
    }
    std::vector<unsigned char> command72()
    {
        CharVectorDataWriter w;
        cpu.handleCmdGetMethodStatistics(&w, &classes);
        return bytesOf(w);
    }
    void command71(bool on)
    {
        Wire r;
        r.byte(on ? 1 : 0);
        ByteArrayDataReader reader(r.b.data(), static_cast<int>(r.b.size()));
        cpu.handleCmdSetRecordMethodStatistics(&reader);
    }
};

TEST_F(MethodStatsSessionTest, ExitsFeedTheHistogramWithRunnableAndWaitingTime)
{
    int32_t main = method("main"), a = method("a"), b = method("b");
    command71(true);
    EXPECT_TRUE(cpu.isRecording()) << "statistics start CPU recording";
    EXPECT_TRUE(cpu.isRecordMethodStatistics());
    LiveThreadManager *t = startThread(main);
    EXPECT_TRUE(t->getStatisticsRecord());
    // a runs 100-400 and waits 150-250 inside b (runnable 50 + 50).
    enter(t, a, 100);
    enter(t, b, 120);
    t->setMonitorWait(150, nullptr, false);
    t->setMonitorWaited(0, 250);
    leave(t, b, 280);
    leave(t, a, 400);
    enter(t, a, 500);
    leave(t, a, 520);
    EXPECT_EQ(t->getOpenStatisticsEntries(), 1u) << "main is still open";

    const MethodStats *sa = cpu.getMethodStatistics(desc(a));
    const MethodStats *sb = cpu.getMethodStatistics(desc(b));
    ASSERT_NE(sa, nullptr);
    ASSERT_NE(sb, nullptr);
    // b: runnable 30 + 30, waiting 100.
    EXPECT_EQ(sb->getTotal(0).sum, 60u);
    EXPECT_EQ(sb->getTotal(1).sum, 100u);
    EXPECT_EQ(sb->getTotal(4).sum, 160u);
    // a: 300 (200 runnable, 100 waiting in b) and 20.
    EXPECT_EQ(sa->getTotal(0).sum, 220u);
    EXPECT_EQ(sa->getTotal(0).minimum, 20u);
    EXPECT_EQ(sa->getTotal(0).maximum, 200u);
    EXPECT_EQ(sa->getTotal(1).sum, 100u);
    EXPECT_EQ(sa->getTotal(4).maximum, 300u);
    EXPECT_EQ(cpu.getMethodStatistics(desc(main)), nullptr);

    // Command 72 switches statistics off and sends a's and b's, in the
    // order of the method registry.
    std::vector<unsigned char> reply = command72();
    EXPECT_FALSE(cpu.isRecordMethodStatistics());
    EXPECT_FALSE(t->getStatisticsRecord());
    EXPECT_TRUE(cpu.hasNewMethodStatistics());
    EXPECT_FALSE(cpu.hasNewMethodStatistics()) << "cleared by asking";
    CharVectorDataWriter statsA, statsB;
    sa->write(&statsA);
    sb->write(&statsB);
    Wire expected;
    expected.byte(1).id(desc(a));
    std::vector<unsigned char> bytesA = bytesOf(statsA), bytesB = bytesOf(statsB);
    expected.b.insert(expected.b.end(), bytesA.begin(), bytesA.end());
    expected.byte(1).id(desc(b));
    expected.b.insert(expected.b.end(), bytesB.begin(), bytesB.end());
    expected.byte(0);
    expectPrefix(reply, expected);

    // While off, exits feed nothing; on again, the statistics go on.
    enter(t, a, 600);
    leave(t, a, 700);
    EXPECT_EQ(cpu.getMethodStatistics(desc(a))->getTotal(0).sum, 220u);
    command71(true);
    enter(t, a, 800);
    leave(t, a, 810);
    EXPECT_EQ(cpu.getMethodStatistics(desc(a))->getTotal(0).sum, 230u);
}

TEST_F(MethodStatsSessionTest, FilteredMethodsAndSampledSessionsKeepNoStatistics)
{
    int32_t main = method("main");
    MethodDesc *filtered = new MethodDesc(&cls, "hidden", -1, "()V", -1, &classes, cls.getClassName());
    filtered->setIsFiltered(true);
    classes.addMethodDesc(filtered);
    cpu.setRecordMethodStatistics(true);
    LiveThreadManager *t = startThread(main);
    vm.now = 10;
    cpu.agentMethodEntry(t, cpu.getMethodHandles().getHandle(filtered), 0, true, false, true);
    vm.now = 20;
    cpu.agentMethodExit(t, cpu.getMethodHandles().getHandle(filtered), true);
    EXPECT_EQ(cpu.getMethodStatistics(filtered), nullptr);
    std::vector<unsigned char> reply = command72();
    expectPrefix(reply, Wire().byte(0));

    CpuProfilingSession::Settings sampling;
    sampling.collectionMethod = 3;
    CpuProfilingSession sampled(&profiling, &vm, sampling);
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(sampled.setRecordMethodStatistics(true));
    std::string said = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("ERROR: Method statistics can only be recorded with dynamic instrumentation"), std::string::npos) << said;
    EXPECT_FALSE(sampled.isRecordMethodStatistics());
    EXPECT_FALSE(sampled.isRecording());
}

TEST_F(MethodStatsSessionTest, ExecutionSitesAreThePathsToProbeNodes)
{
    int32_t main = method("main"), a = method("a");
    ClassData probes("probe.Jdbc", ClassData::COMPONENT_ANNOTATION);
    MethodDesc *query = new MethodDesc(&probes, "jdbc: select", -1, "()V", -1, &classes, nullptr);
    MethodDesc *url = new MethodDesc(&probes, "url: /x", -1, "()V", -1, &classes, nullptr);
    classes.addMethodDesc(query);
    classes.addMethodDesc(url);
    LiveThreadManager *t = cpu.createThreadManager();
    LiveThreadManager *other = cpu.createThreadManager();
    // t: root {main:3 300/1 {a:7 200/2 {jdbc 50/1}, url 10/1}}; other: nothing.
    CallStackTree *root = t->getCallStackTree(false);
    root->setValue(300);
    CallStackTree *m = root->addChild(desc(main), 3, t->getTreePool());
    m->setValue(300);
    m->setSecondValue(1);
    CallStackTree *n = m->addChild(desc(a), 7, t->getTreePool());
    n->setValue(200);
    n->setSecondValue(2);
    CallStackTree *site = n->addChild(query, 0, t->getTreePool());
    site->setValue(50);
    site->setSecondValue(1);
    CallStackTree *u = m->addChild(url, 0, t->getTreePool());
    u->setValue(10);
    u->setSecondValue(1);

    struct Case {
        const char *name;
        Wire request;
        Wire reply;
    };
    Case cases[] = {
        {"one prefix", Wire().u4(0).u4(1).str("jdbc"),
         Wire()
             .byte(1)
             .id(t)
             .str("jdbc")
             .byte(1)
             .byte(1)
             .byte(1)
             .byte(1)
             .trailer(query, 0, 50, 1)
             .trailer(desc(a), 7, 200, 2)
             .trailer(desc(main), 3, 300, 1)
             .trailer(nullptr, 0, 300, 0)
             .byte(0)},
        {"no probe name starts so", Wire().u4(0).u4(1).str("jms"), Wire().byte(0)},
        {"the first matching prefix names the site", Wire().u4(0).u4(2).str("url").str("u"),
         Wire()
             .byte(1)
             .id(t)
             .str("url")
             .byte(1)
             .byte(1)
             .byte(1)
             .trailer(url, 0, 10, 1)
             .trailer(desc(main), 3, 300, 1)
             .trailer(nullptr, 0, 300, 0)
             .byte(0)},
        {"a broken request lists nothing", Wire().u4(0).u4(3).str("jdbc"), Wire().byte(0)},
    };
    (void)other;
    for (Case &c : cases) {
        SCOPED_TRACE(c.name);
        ByteArrayDataReader reader(c.request.b.data(), static_cast<int>(c.request.b.size()));
        CharVectorDataWriter w;
        cpu.handleCmdGetExecutionSites(&reader, &w, &classes);
        expectPrefix(bytesOf(w), c.reply);
    }
}

} // namespace
