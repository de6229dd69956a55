// Monitor records, thread status and the dead-thread store: monitor entries
// and monitor managers on literal bytes, contention and waits driven with a
// fake clock, the monitor commands, override and net I/O time, the status
// history and the private store of dead threads' trees.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../../../support/TempDir.h"
#include "ByteArrayDataReader.h"
#include "CallStackTree.h"
#include "CharVectorDataWriter.h"
#include "ClassData.h"
#include "ClassProfilingSession.h"
#include "CpuProfilingSession.h"
#include "FileDataReader.h"
#include "FileDataWriter.h"
#include "LiveThreadManager.h"
#include "MethodDesc.h"
#include "MonitorEntry.h"
#include "LiveMonitorManager.h"
#include "MonitorTimeValues.h"
#include "ProfilingSession.h"
#include "ProfilingTestSupport.h"
#include "ThreadDesc.h"
#include "ThreadHelper.h"
#include "ThreadRecordingSession.h"
#include "VmInterface.h"

namespace {

std::string render(const CallStackTree *n) { return renderTree(n, TreeText::Monitor); }

class MonitorRecordingTest : public CpuSessionTest {
protected:
    MonitorRecordingTest() : CpuSessionTest("p.Lock") { LiveMonitorManager::s_lastDisplayId = 0; }

    // A described, recording thread inside `outer` since time 0.
    LiveThreadManager *startThread(const char *name, int32_t outer)
    {
        LiveThreadManager *t = cpu.createThreadManager();
        t->setThreadName(name);
        t->setGroupName("main");
        t->setInstrumentationRecord(true);
        vm.now = 0;
        // The VM's stack already holds `outer` on the first hook.
        vm.stack = {{desc(outer), 0}};
        cpu.agentMethodEntry(t, outer, 0, false, false, true);
        vm.stack.clear();
        return t;
    }
};

TEST_F(MonitorRecordingTest, MonitorEntryOnLiteralBytes)
{
    int32_t main = method("main"), run = method("run");
    LiveThreadManager *t = startThread("t", main);
    enter(t, run, 10);
    LiveThreadManager *owner = startThread("o", main);
    CallStackTree *threadNode = t->getCurrentNode();
    CallStackTree *ownerNode = owner->getCurrentNode();
    MonitorEntry entry(MonitorEntry::TYPE_BLOCKED, 0x123456789LL, false, 7, &cls, t, threadNode, owner, ownerNode, 250);

    CharVectorDataWriter withStacks;
    entry.write(&withStacks, true);
    Wire expected;
    expected.byte(1).jlong(0x123456789LL).byte(0).u4(7).id(&cls).u4(250).id(t).id(owner);
    expected.byte(1).id(desc(run)).byte(1).id(desc(main)).byte(0); // innermost first, the root left out
    expected.byte(1).id(desc(main)).byte(0);
    EXPECT_EQ(bytesOf(withStacks), expected.b);

    CharVectorDataWriter withNodes;
    entry.write(&withNodes, false);
    Wire nodes;
    nodes.byte(1).jlong(0x123456789LL).byte(0).u4(7).id(&cls).u4(250).id(t).id(owner).id(threadNode).id(ownerNode);
    std::vector<unsigned char> written = bytesOf(withNodes);
    EXPECT_EQ(written, nodes.b);

    MonitorEntry back;
    ByteArrayDataReader reader(written.data(), static_cast<int>(written.size()));
    back.read(&reader, 36);
    EXPECT_EQ(back.getType(), MonitorEntry::TYPE_BLOCKED);
    EXPECT_EQ(back.getStart(), 0x123456789LL);
    EXPECT_EQ(back.getDuration(), 250);
    EXPECT_EQ(back.getThreadNode(), threadNode);
    EXPECT_EQ(back.getOwner(), owner);
}

TEST_F(MonitorRecordingTest, LongWaitsKeepTheirDurationAndSaturateOnTheWire)
{
    int32_t main = method("main");
    LiveThreadManager *t = startThread("t", main);
    // Three hours in microseconds: more than 32 bits can hold.
    const long long threeHours = 3LL * 3600 * 1000000;
    MonitorEntry entry(MonitorEntry::TYPE_WAITING, 1000, true, 1, nullptr, t, nullptr, nullptr, nullptr, 0);
    entry.updateCurrentTime(1000 + threeHours);
    EXPECT_EQ(entry.getDuration(), threeHours);
    EXPECT_TRUE(entry.isAboveThreshold(0, threeHours - 1));

    CharVectorDataWriter w;
    entry.write(&w, false);
    std::vector<unsigned char> bytes = bytesOf(w);
    // type, start, raw, display id, class; then the duration
    size_t at = 1 + 8 + 1 + 4 + sizeof(void *);
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at) + 4),
              (std::vector<unsigned char>{0x7F, 0xFF, 0xFF, 0xFF}));
}

TEST_F(MonitorRecordingTest, ThresholdsByTypeAndDescription)
{
    int32_t main = method("main");
    LiveThreadManager *described = startThread("t", main);
    LiveThreadManager *anonymous = cpu.createThreadManager();
    struct Case {
        const char *name;
        int type;
        long long duration;
        bool describedThread;
        bool above;
    } cases[] = {
        {"blocked at the block threshold", MonitorEntry::TYPE_BLOCKED, 100, true, true},
        {"blocked below it", MonitorEntry::TYPE_BLOCKED, 99, true, false},
        {"waiting uses the wait threshold", MonitorEntry::TYPE_WAITING, 100, true, false},
        {"waiting at the wait threshold", MonitorEntry::TYPE_WAITING, 500, true, true},
        {"a thread without description", MonitorEntry::TYPE_BLOCKED, 1000, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        MonitorEntry e(c.type, 0, false, 1, nullptr, c.describedThread ? described : anonymous, nullptr, nullptr, nullptr, c.duration);
        EXPECT_EQ(e.isAboveThreshold(100, 500), c.above);
    }
}

TEST_F(MonitorRecordingTest, MonitorManagerFormsOnLiteralBytes)
{
    LiveMonitorManager java(false, reinterpret_cast<void *>(0x42), &cpu, &cls);
    LiveMonitorManager raw(true, reinterpret_cast<void *>(0x99), &cpu, nullptr);
    EXPECT_EQ(java.getDisplayId(), 1u);
    EXPECT_EQ(raw.getDisplayId(), 2u);

    CharVectorDataWriter empty;
    java.writeStats(&empty);
    EXPECT_TRUE(bytesOf(empty).empty()) << "no time recorded: nothing written";

    java.getMonitorTimeValues()->addBlockingEvent(300, 2);
    raw.getMonitorTimeValues()->addWaitingEvent(50, 1);
    CharVectorDataWriter record;
    java.write(&record);
    Wire expected;
    expected.times(2, 300, 0, 0, 0, 0, 0).u4(1).id(&cls).jlong(0x42).byte(0);
    EXPECT_EQ(bytesOf(record), expected.b);

    CharVectorDataWriter stats;
    java.writeStats(&stats);
    raw.writeStats(&stats);
    Wire expectedStats;
    expectedStats.byte(1).str("p.Lock (id: 1)").times(2, 300, 0, 0, 0, 0, 0);
    expectedStats.byte(1).str("[raw monitor] (id: 2)").times(0, 0, 1, 50, 0, 0, 0);
    EXPECT_EQ(bytesOf(stats), expectedStats.b);

    // Only an annotation id: still empty.
    LiveMonitorManager annotated(false, reinterpret_cast<void *>(0x43), &cpu, &cls);
    annotated.getMonitorTimeValues()->setAnnotationId(5);
    EXPECT_TRUE(annotated.getMonitorTimeValues()->isEmpty());
}

TEST_F(MonitorRecordingTest, ContentionAndWaitGoToMonitorThreadNodeAndHistory)
{
    int32_t main = method("main"), work = method("work");
    LiveThreadManager *t = startThread("t", main);
    LiveThreadManager *owner = startThread("o", main);
    cpu.setMonitorRecording(true, 100, 1000);
    LiveMonitorManager *monitor = cpu.getMonitorManager(false, reinterpret_cast<void *>(0x42), &cls);
    ASSERT_NE(monitor, nullptr);
    EXPECT_EQ(cpu.getMonitorManager(false, reinterpret_cast<void *>(0x42), &cls), monitor) << "one record per monitor";

    enter(t, work, 100);
    t->setMonitorContendedEnter(200, monitor, owner, false);
    EXPECT_EQ(t->getThreadStatus(), LiveThreadManager::STATUS_BLOCKED);
    EXPECT_EQ(t->getCurrentMonitorEntry(260, true)->getDuration(), 60);
    EXPECT_EQ(t->getCurrentMonitorContentionDuration(260, 10), 55);
    t->setMonitorContendedEntered(0, 500);
    EXPECT_EQ(t->getThreadStatus(), LiveThreadManager::STATUS_RUNNABLE);
    EXPECT_EQ(t->getCurrentMonitorEntry(500, false), nullptr);

    t->setMonitorWait(600, monitor, false);
    t->setMonitorWaited(0, 900); // below the wait threshold: not kept as an event
    leave(t, work, 1000);

    EXPECT_EQ(monitor->getMonitorTimeValues()->getBlockingTime(), 300);
    EXPECT_EQ(monitor->getMonitorTimeValues()->getWaitingTime(), 300);
    EXPECT_EQ(t->getMonitorUsageStats()->getBlockingTime(), 300);
    EXPECT_EQ(t->getMonitorUsageStats()->getWaitingTime(), 300);
    EXPECT_EQ(render(t->getCallStackTree(false)), "root 300/0 {main 300/0 {work 300/1 w=300/1 b=300/1}}");

    // The thread's tree goes (it is no longer profiled): the kept event
    // still names the methods it was blocked in.
    t->setIgnored(true, false);
    // Profiled again: new calls take the freed nodes.
    t->setIgnored(false, false);
    int32_t other[] = {method("x"), method("y"), method("z"), method("w")};
    for (int i = 0; i < 4; i++) {
        vm.now = 1100 + i;
        t->methodEntry(desc(other[i]), 0, 0, false, true);
    }
    ASSERT_EQ(render(t->getCallStackTree(false)), "root 103/0 {x 3/1 {y 2/1 {z 1/1 {w 0/1}}}}");
    CharVectorDataWriter w;
    cpu.handleCmdMonitorUsageHistory(&w, &classes);
    std::vector<unsigned char> reply = bytesOf(w);
    Wire expected;
    expected.byte(1).byte(1).jlong(200).byte(0).u4(1).id(&cls).u4(300).id(t).id(owner);
    expected.byte(1).id(desc(work)).byte(1).id(desc(main)).byte(0).byte(1).id(desc(main)).byte(0);
    expected.byte(0); // finished events
    expected.byte(0); // none in progress
    expected.u4(100).u4(1000).jlong(1103).u4(0);
    expectPrefix(reply, expected);

    // The finished events were handed out.
    CharVectorDataWriter again;
    cpu.handleCmdMonitorUsageHistory(&again, &classes);
    EXPECT_EQ(bytesOf(again).at(0), 0);
}

// A probe payload carries the thread's runnable, blocked, waiting and net
// I/O time so far: each call adds the interval since the previous one.
TEST_F(MonitorRecordingTest, ProbePayloadTotalsAddEachIntervalOnce)
{
    int32_t main = method("main");
    vm.now = 0;
    LiveThreadManager *t = startThread("t", main);
    LiveThreadManager *owner = startThread("o", main);
    cpu.setMonitorRecording(true, 100, 1000);
    LiveMonitorManager *monitor = cpu.getMonitorManager(false, reinterpret_cast<void *>(0x42), &cls);
    ASSERT_NE(monitor, nullptr);
    auto totals = [&](long long now) {
        long long values[4] = {-1, -1, -1, -1};
        t->fillAnnotationTotals(now, values);
        return std::vector<long long>(values, values + 4);
    };
    t->setMonitorContendedEnter(200, monitor, owner, false);
    t->setMonitorContendedEntered(0, 500);
    t->setMonitorWait(600, monitor, false);
    t->setMonitorWaited(0, 900);
    t->setNetIO(true, 1000);
    t->setNetIO(false, 1400);
    struct Step {
        const char *what;
        std::function<void()> events;
        long long now;
        std::vector<long long> expected; // runnable, blocked, waiting, net I/O
    } steps[] = {
        {"since the thread began", [] {}, 2000, {1000, 300, 300, 400}},
        {"runnable only", [] {}, 2500, {1500, 300, 300, 400}},
        {"a wait in the interval",
         [&] {
             t->setMonitorWait(2600, monitor, false);
             t->setMonitorWaited(0, 2700);
         },
         3000, {1900, 300, 400, 400}},
        {"a clock that went back adds nothing", [] {}, 2900, {1900, 300, 400, 400}},
        {"the interval restarted at the late call", [] {}, 3100, {2100, 300, 400, 400}},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.what);
        step.events();
        EXPECT_EQ(totals(step.now), step.expected);
    }
}

TEST_F(MonitorRecordingTest, OwnMonitorsAndLateEventsChangeNothing)
{
    int32_t main = method("main");
    LiveThreadManager *t = startThread("t", main);
    cpu.setMonitorRecording(true, 0, 0);
    void *agentLock = reinterpret_cast<void *>(0x77);
    cpu.setAgentMonitors({agentLock});
    LiveMonitorManager *own = cpu.getMonitorManager(true, agentLock, nullptr);
    ASSERT_TRUE(own->isMyMonitor());
    t->setMonitorContendedEnter(100, own, nullptr, false);
    EXPECT_EQ(t->getCurrentMonitorEntry(150, true), nullptr);
    t->setMonitorContendedEntered(0, 200);
    EXPECT_TRUE(own->getMonitorTimeValues()->isEmpty());

    // Without a monitor a second contention keeps the first start.
    t->setMonitorContendedEnter(300, nullptr, nullptr, false);
    t->setMonitorContendedEnter(350, nullptr, nullptr, false);
    EXPECT_EQ(t->getCurrentMonitorContentionStartTime(), 300);
    t->setMonitorContendedEntered(0, 400);

    // A thread that ended stays dead.
    t->setIsDead(500);
    t->setMonitorWait(600, nullptr, false);
    t->setMonitorWaited(0, 700);
    EXPECT_EQ(t->getThreadStatus(), LiveThreadManager::STATUS_DEAD);

    CharVectorDataWriter w;
    cpu.handleCmdMonitorUsageHistory(&w, &classes);
    EXPECT_EQ(bytesOf(w).at(0), 0) << "nothing recorded on the agent's own monitor";
}

TEST_F(MonitorRecordingTest, CurrentEventsAndMonitorIds)
{
    int32_t main = method("main");
    LiveThreadManager *t = startThread("t", main);
    cpu.setMonitorRecording(true, 0, 0);
    LiveMonitorManager *monitor = cpu.getMonitorManager(false, reinterpret_cast<void *>(0x1234), &cls);
    t->setMonitorWait(100, monitor, false);
    vm.now = 400;
    CharVectorDataWriter w;
    cpu.handleCmdMonitorUsageCurrent(&w, &classes);
    Wire expected;
    expected.byte(1).byte(2).jlong(100).byte(0).u4(1).id(&cls).u4(300).id(t).id(nullptr);
    expected.byte(1).id(desc(main)).byte(0).byte(0);
    expected.byte(0).jlong(400).u4(0);
    expectPrefix(bytesOf(w), expected);

    struct Case {
        uint32_t displayId;
        long long monitorId;
    } cases[] = {{1, 0x1234}, {2, 0}, {0, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.displayId);
        Wire request;
        request.u4(c.displayId);
        ByteArrayDataReader reader(request.b.data(), static_cast<int>(request.b.size()));
        CharVectorDataWriter reply;
        cpu.handleCmdGetMonitorId(&reader, &reply);
        Wire id;
        id.jlong(c.monitorId);
        EXPECT_EQ(bytesOf(reply), id.b);
    }
}

TEST_F(MonitorRecordingTest, UsageStatsByMonitorThreadAndClass)
{
    int32_t main = method("main");
    LiveThreadManager *t = startThread("t", main);
    ClassData other{"p.Other", &classes};
    LiveMonitorManager *a = cpu.getMonitorManager(false, reinterpret_cast<void *>(1), &cls);
    LiveMonitorManager *b = cpu.getMonitorManager(false, reinterpret_cast<void *>(2), &cls);
    LiveMonitorManager *c = cpu.getMonitorManager(false, reinterpret_cast<void *>(3), &other);
    LiveMonitorManager *r = cpu.getMonitorManager(true, reinterpret_cast<void *>(4), nullptr);
    a->getMonitorTimeValues()->addBlockingEvent(10, 1);
    b->getMonitorTimeValues()->addBlockingEvent(20, 1);
    c->getMonitorTimeValues()->addWaitingEvent(5, 1);
    r->getMonitorTimeValues()->addNetIOEvent(7, 1);
    t->getMonitorUsageStats()->addWaitingEvent(40, 2);

    auto ask = [&](uint32_t grouping) {
        Wire request;
        request.u4(grouping);
        ByteArrayDataReader reader(request.b.data(), static_cast<int>(request.b.size()));
        CharVectorDataWriter reply;
        cpu.handleCmdMonitorUsageStats(&reader, &reply, &classes);
        return bytesOf(reply);
    };
    Wire byClass;
    byClass.byte(1).str("p.Lock").times(2, 30, 0, 0, 0, 0, 0);
    byClass.byte(1).str("p.Other").times(0, 0, 1, 5, 0, 0, 0);
    byClass.byte(1).str("[raw monitor]").times(0, 0, 0, 0, 1, 7, 0);
    byClass.byte(0);
    expectPrefix(ask(3), byClass);

    Wire byThread;
    byThread.byte(1).str("t [main]").times(0, 0, 2, 40, 0, 0, 0).byte(0);
    expectPrefix(ask(2), byThread);

    std::vector<unsigned char> byMonitor = ask(1);
    Wire oneMonitor;
    oneMonitor.byte(1).str("p.Lock (id: 1)").times(1, 10, 0, 0, 0, 0, 0);
    EXPECT_NE(std::search(byMonitor.begin(), byMonitor.end(), oneMonitor.b.begin(), oneMonitor.b.end()), byMonitor.end());
    Wire rawMonitor;
    rawMonitor.byte(1).str("[raw monitor] (id: 4)");
    EXPECT_NE(std::search(byMonitor.begin(), byMonitor.end(), rawMonitor.b.begin(), rawMonitor.b.end()), byMonitor.end());

    cpu.resetMonitorStats();
    EXPECT_TRUE(a->getMonitorTimeValues()->isEmpty());
    EXPECT_TRUE(t->getMonitorUsageStats()->isEmpty());
}

TEST_F(MonitorRecordingTest, SetRecordMonitorsReadsThresholdsOnlyWhenOn)
{
    struct Case {
        const char *name;
        Wire request;
        int result;
        long long block;
        long long wait;
    };
    std::vector<Case> cases;
    cases.push_back({"on with thresholds", Wire().byte(1).u4(2500).u4(90000), 1, 2500, 90000});
    cases.push_back({"off keeps the thresholds", Wire().byte(0), 0, 2500, 90000});
    cases.push_back({"broken request", Wire().byte(1).u2(0), -1, 2500, 90000});
    // Thresholds of 2^31 and more must not wrap into "record everything".
    cases.push_back({"2^31 is off, not negative", Wire().byte(1).u4(0x80000000u).u4(0xFFFFFFFFu), 1, 2000000000LL, 2000000000LL});
    cases.push_back({"just below off is kept", Wire().byte(1).u4(1999999999u).u4(0), 1, 1999999999LL, 0});
    for (Case &c : cases) {
        SCOPED_TRACE(c.name);
        ByteArrayDataReader reader(c.request.b.data(), static_cast<int>(c.request.b.size()));
        EXPECT_EQ(cpu.handleCmdSetRecordMonitors(&reader), c.result);
        EXPECT_EQ(cpu.getBlockThreshold(), c.block);
        EXPECT_EQ(cpu.getWaitThreshold(), c.wait);
    }
    // Both kinds switched off: no monitor records at all.
    cpu.setMonitorRecording(true, 2000000000LL, 2000000000LL);
    EXPECT_EQ(cpu.getMonitorManager(false, reinterpret_cast<void *>(9), &cls), nullptr);
}

TEST_F(MonitorRecordingTest, OverrideAndNetIOTimeByStatus)
{
    int32_t main = method("main"), io = method("io");
    struct Case {
        const char *name;
        int kind; // override kind; 0: a net I/O call
        std::string tree;
        unsigned char shown;
    } cases[] = {
        {"net I/O call", 0, "root 0/0 {main 0/0 {io 0/1 n=400/1}}", LiveThreadManager::STATUS_NET_IO},
        {"override waiting", 2, "root 0/0 {main 0/0 {io 0/1 w=400/1}}", LiveThreadManager::STATUS_WAITING},
        {"override blocked", 3, "root 0/0 {main 0/0 {io 0/1 b=400/1}}", LiveThreadManager::STATUS_BLOCKED},
        {"override net I/O", 5, "root 0/0 {main 0/0 {io 0/1 n=400/1}}", LiveThreadManager::STATUS_NET_IO},
        {"override runnable", 1, "root 400/0 {main 400/0 {io 400/1}}", LiveThreadManager::STATUS_RUNNABLE},
    };
    // The thread's clock starts at its first timed hook: entering io at 100.
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LiveThreadManager *t = startThread("t", main);
        enter(t, io, 100);
        if (c.kind == 0) {
            t->setNetIO(true, 100);
            t->setNetIO(true, 150); // nested: the outer call counts
            t->setNetIO(false, 300);
            EXPECT_TRUE(t->isNetIO());
            EXPECT_EQ(t->getDisplayThreadStatus(), c.shown);
            t->setNetIO(false, 500);
            t->setNetIO(false, 600); // an exit without entry changes nothing
            EXPECT_FALSE(t->isNetIO());
        } else {
            t->setOverrideThreadStatus(c.kind, 100);
            t->setOverrideThreadStatus(4, 200); // nested, and kind 4 keeps the status
            EXPECT_EQ(t->getDisplayThreadStatus(), c.shown);
            t->resetOverrideThreadStatus(300);
            t->resetOverrideThreadStatus(500);
            if (c.kind == 1) {
                // A runnable override charges at the next method event.
                t->setOverrideThreadStatus(1, 100);
            }
        }
        leave(t, io, 500);
        if (c.kind == 1)
            t->resetOverrideThreadStatus(500);
        EXPECT_EQ(render(t->getCallStackTree(false)), c.tree);
    }
}

TEST_F(MonitorRecordingTest, StatusHistoryKeepsChangesWithTheShownStatus)
{
    int32_t main = method("main");
    LiveThreadManager *t = startThread("t", main);
    t->setThreadStatus(LiveThreadManager::STATUS_RUNNABLE, 10000, true, false);
    t->setThreadStatus(LiveThreadManager::STATUS_RUNNABLE, 20000, true, false); // no change: not kept
    t->setThreadStatus(LiveThreadManager::STATUS_WAITING, 35000, true, false);
    t->setNetIO(true, 40000);
    t->setThreadStatus(LiveThreadManager::STATUS_RUNNABLE, 50000, true, false); // shown as net I/O
    t->setNetIO(false, 60000);
    t->setThreadStatus(LiveThreadManager::STATUS_BLOCKED, 70000, false, false); // not recorded
    const ThreadDesc *d = t->getThreadDesc();
    EXPECT_EQ(d->getThreadStatusList(), (std::vector<unsigned char>{63, 65, 66}));
    EXPECT_EQ(d->getThreadStatusTimeList(), (std::vector<uint32_t>{1, 3, 5}));
    EXPECT_EQ(t->getThreadStatus(), LiveThreadManager::STATUS_BLOCKED);

    // A sleeping thread keeps its status unless an override is active.
    t->sleepEnter(80000);
    t->setThreadStatus(LiveThreadManager::STATUS_RUNNABLE, 90000, false, false);
    EXPECT_EQ(t->getThreadStatus(), LiveThreadManager::STATUS_WAITING);
    t->sleepExit(95000);
    EXPECT_EQ(t->getMonitorUsageStats()->getWaitingTime(), 15000);
}

TEST_F(MonitorRecordingTest, ThreadDescriptionOnLiteralBytes)
{
    int32_t main = method("main"), spawn = method("spawn");
    LiveThreadManager *creator = startThread("creator", main);
    enter(creator, spawn, 10);
    LiveThreadManager *t = cpu.createThreadManager();
    ThreadDesc *d = t->ensureThreadDesc();
    d->setThreadName("w");
    d->setGroupName("g");
    d->setParentName(nullptr);
    d->setJavaThreadId(12);
    d->setThreadStartTime(50); // before the VM start
    d->setThreadEndTime(700);
    d->setCreationInfo(creator, creator->getCurrentNode());
    d->addThreadStatus(63, 100000);
    d->addThreadStatus(65, 250000);
    t->setLastCpuTime(33);

    CharVectorDataWriter w;
    t->writeDescription(&w, true, 80);
    std::vector<unsigned char> bytes = bytesOf(w);
    Wire expected;
    expected.id(t).str("w").str("g").str("").jlong(12).jlong(80).jlong(700).jlong(33);
    expected.u4(2).byte(63).jlong(100000).byte(65).jlong(250000);
    expected.id(creator).u4(2).id(desc(spawn)).u2(0).id(desc(main)).u2(0);
    EXPECT_EQ(bytes, expected.b);
    // The view sends each entry once; the history stays whole for snapshots.
    CharVectorDataWriter again;
    t->writeDescription(&again, true, 80);
    Wire none;
    none.id(t).str("w").str("g").str("").jlong(12).jlong(80).jlong(700).jlong(33).u4(0);
    none.id(creator).u4(2).id(desc(spawn)).u2(0).id(desc(main)).u2(0);
    EXPECT_EQ(bytesOf(again), none.b);
    EXPECT_EQ(d->getThreadStatusList().size(), 2u);

    ThreadDesc back(nullptr);
    ByteArrayDataReader reader(bytes.data() + sizeof(void *), static_cast<int>(bytes.size() - sizeof(void *)));
    EXPECT_EQ(back.read(&reader, 36), 33);
    EXPECT_EQ(back.getThreadName(), "w");
    EXPECT_EQ(back.getJavaThreadId(), 12);
    EXPECT_EQ(back.getThreadStatusTimeList(), (std::vector<uint32_t>{10, 25}));
    EXPECT_EQ(back.getCreator(), creator);
    EXPECT_EQ(back.getCreationStack().size(), 2u);
}

TEST(ThreadSelectionTest, AgentAndServiceThreadsAreNotProfiled)
{
    struct Case {
        const char *name;
        const char *group;
        bool showAgentThreads;
        bool keepServiceThreads;
        bool ignored;
    } cases[] = {
        {"_orvane_command", "main", false, false, true},
        {"_ORVANE Sampler", "main", false, false, true},
        {"_orvane_command", "main", true, false, false},
        {"_orvan", "main", false, false, false},
        {"DestroyJavaVM", "main", false, false, true},
        {"AWT-Shutdown", "main", false, false, true},
        {"DestroyJavaVM", "main", false, true, false},
        {"Reference Handler", "system", false, false, true},
        {"Reference Handler", "system", false, true, false},
        {"worker", "main", false, false, false},
        {nullptr, nullptr, false, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name != nullptr ? c.name : "(null)") + " / " + (c.group != nullptr ? c.group : "(null)"));
        EXPECT_EQ(ThreadHelper::isIgnoredThread(c.name, c.group, c.showAgentThreads, c.keepServiceThreads), c.ignored);
    }
}

// The trees of dead threads go to a private file and come back for views.
class DeadThreadStoreTest : public MonitorRecordingTest {
protected:
    void SetUp() override
    {
        const char *old = getenv("TMPDIR");
        savedTmp = old != nullptr ? old : "";
        hadTmp = old != nullptr;
        setenv("TMPDIR", dir.path().c_str(), 1);
    }
    void TearDown() override
    {
        if (hadTmp)
            setenv("TMPDIR", savedTmp.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }
    // The open descriptors of this process that name a file in `dir`.
    std::vector<std::string> openStoreFiles()
    {
        std::vector<std::string> found;
        DIR *fds = opendir("/proc/self/fd");
        if (fds == nullptr)
            return found;
        while (dirent *e = readdir(fds)) {
            std::string link = std::string("/proc/self/fd/") + e->d_name;
            char target[4096];
            ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (n <= 0)
                continue;
            target[n] = 0;
            if (std::string(target).rfind(dir.path() + "/jdc", 0) == 0)
                found.push_back(link);
        }
        closedir(fds);
        return found;
    }

    TempDir dir;
    std::string savedTmp;
    bool hadTmp = false;
};

TEST_F(DeadThreadStoreTest, DeadThreadsAreSwappedOutPrivatelyAndMergedBack)
{
    int32_t main = method("main"), a = method("a");
    LiveThreadManager *t = startThread("gone", main);
    enter(t, a, 100);
    leave(t, a, 400);
    t->setIsDead(500);
    cpu.setCpuRecord(true, false);

    cpu.storeDeadThreads();
    EXPECT_TRUE(t->isSwappedOut());
    std::vector<std::string> files = openStoreFiles();
    ASSERT_EQ(files.size(), 1u) << "one open store file below TMPDIR";
    struct stat st;
    ASSERT_EQ(stat(files[0].c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    DIR *d = opendir(dir.path().c_str());
    int entries = 0;
    while (dirent *e = readdir(d))
        entries += e->d_name[0] != '.';
    closedir(d);
    EXPECT_EQ(entries, 0) << "the store has no name others could open";

    // The call-tree view reads the stored tree back and swaps it out again.
    Wire request;
    request.byte(1).u4(0).u2(0).byte(0).u2(0).u4(0).u4(1).u4(10000).u4(0);
    ByteArrayDataReader reader(request.b.data(), static_cast<int>(request.b.size()));
    CharVectorDataWriter reply;
    cpu.handleCmdInvocationTreeUpdate(&reader, &reply, &classes);
    std::vector<unsigned char> bytes = bytesOf(reply);
    Wire node;
    node.byte(0).id(desc(a)).u2(0).jlong(300).u4(1);
    EXPECT_NE(std::search(bytes.begin(), bytes.end(), node.b.begin(), node.b.end()), bytes.end()) << "a's 300 us and 1 call";
    EXPECT_TRUE(t->isSwappedOut());
}

TEST_F(DeadThreadStoreTest, StoreAndRetrieveBeyondTwoGibibytes)
{
    int32_t main = method("main"), a = method("a");
    LiveThreadManager *t = startThread("far", main);
    enter(t, a, 100);
    leave(t, a, 400);
    t->setIsDead(500);
    std::string path = dir / "store";
    FILE *file = fopen(path.c_str(), "w+b");
    ASSERT_NE(file, nullptr);
    // A sparse hole puts the trees past the 32-bit offsets.
    const long long far = 3LL << 30;
    ASSERT_EQ(fseeko(file, far, SEEK_SET), 0);
    FileDataWriter writer(file);
    EXPECT_EQ(t->storeTrees(&writer), far);
    EXPECT_TRUE(t->isSwappedOut());
    EXPECT_EQ(t->getStoreOffset(), far);

    FileDataReader reader(file);
    ASSERT_TRUE(t->retrieve(&reader));
    EXPECT_EQ(render(t->getCallStackTree(false)), "root 300/0 {main 300/0 {a 300/1}}");
    // Swapped out again, the stored copy is reused.
    EXPECT_EQ(t->storeTrees(&writer), far);

    // A store position past the end reads nothing: the tree comes back empty.
    LiveThreadManager *lost = startThread("lost", main);
    lost->setIsDead(10);
    long long end = writer.getPos();
    EXPECT_EQ(lost->storeTrees(&writer), end);
    ASSERT_EQ(fflush(file), 0);
    ASSERT_EQ(ftruncate(fileno(file), lost->getStoreOffset()), 0);
    FileDataReader shortReader(file);
    EXPECT_FALSE(lost->retrieve(&shortReader));
    EXPECT_EQ(render(lost->getCallStackTree(false)), "root 0/0");
    fclose(file);
}

// What the thread and monitor managers see of a CPU session: a fake that
// keeps the finished events and names one agent monitor.
class FakeRecordingSession : public ThreadRecordingSession {
public:
    explicit FakeRecordingSession(void *agentMonitor) : agentMonitor(agentMonitor) {}
    const CpuSettings &getSettings() const override { return settings; }
    VmInterface *getVm() const override { return const_cast<FakeVm *>(&vm); }
    int getNumActiveThreads() const override { return 1; }
    void recordMethodStatistics(MethodDesc *, const MethodStats::StackEntry &) override {}
    void endExceptionalRun(LiveThreadManager *, CallStackTree *) override {}
    bool isAgentMonitor(void *monitor) const override { return monitor == agentMonitor; }
    void addMonitorEntry(const MonitorEntry *entry) override
    {
        finished.push_back({entry->getType(), entry->getStart(), entry->getDuration()});
    }

    struct Finished {
        int type;
        long long start;
        long long duration;
    };
    CpuSettings settings;
    FakeVm vm;
    void *agentMonitor;
    std::vector<Finished> finished;
};

TEST(ThreadRecordingSessionTest, TwoSessionsKeepTheirOwnThreadsMonitorsAndEvents)
{
    void *agentLock = reinterpret_cast<void *>(0x77);
    FakeRecordingSession first(agentLock), second(nullptr);
    LiveThreadManager a(&first, 16), b(&second, 16);
    a.setDescribed();
    b.setDescribed();
    LiveMonitorManager lockA(false, reinterpret_cast<void *>(0x42), &first, nullptr);
    LiveMonitorManager lockB(false, reinterpret_cast<void *>(0x42), &second, nullptr);
    LiveMonitorManager ownA(true, agentLock, &first, nullptr);
    LiveMonitorManager sameIdB(true, agentLock, &second, nullptr);
    EXPECT_TRUE(ownA.isMyMonitor());
    EXPECT_FALSE(sameIdB.isMyMonitor()) << "only the first session names 0x77 as its own";

    a.setMonitorContendedEnter(100, &lockA, nullptr, false);
    b.setMonitorWait(200, &lockB, false);
    EXPECT_EQ(a.getCurrentMonitorEntry(130, true)->getDuration(), 30);
    a.setMonitorContendedEntered(0, 160);
    b.setMonitorWaited(0, 290);
    a.setMonitorWait(300, &ownA, false);
    EXPECT_EQ(a.getCurrentMonitorEntry(310, true), nullptr) << "the agent's own monitor opens no entry";
    a.setMonitorWaited(0, 400);

    ASSERT_EQ(first.finished.size(), 1u);
    EXPECT_EQ(first.finished[0].type, MonitorEntry::TYPE_BLOCKED);
    EXPECT_EQ(first.finished[0].start, 100);
    EXPECT_EQ(first.finished[0].duration, 60);
    ASSERT_EQ(second.finished.size(), 1u);
    EXPECT_EQ(second.finished[0].type, MonitorEntry::TYPE_WAITING);
    EXPECT_EQ(second.finished[0].duration, 90);
    EXPECT_EQ(lockA.getMonitorTimeValues()->getBlockingTime(), 60);
    EXPECT_EQ(lockB.getMonitorTimeValues()->getWaitingTime(), 90);
    EXPECT_TRUE(ownA.getMonitorTimeValues()->isEmpty());
}

} // namespace
