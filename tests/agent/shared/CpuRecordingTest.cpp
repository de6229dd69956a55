// CPU recording on a thread manager, driven entry by entry with a fake VM
// clock: times, counts, overhead correction, missed exits, exceptional runs
// and waits, checked against literal trees.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <cstring>

#include "ByteArrayDataReader.h"
#include "CallStackTree.h"
#include "CharVectorDataWriter.h"
#include "ClassData.h"
#include "ClassProfilingSession.h"
#include "CpuProfilingSession.h"
#include "LiveThreadManager.h"
#include "MethodDesc.h"
#include "MonitorTimeValues.h"
#include "ProfilingSession.h"
#include "ProfilingTestSupport.h"
#include "VmInterface.h"

namespace {

std::string render(const CallStackTree *n) { return renderTree(n, TreeText::Cpu); }

class CpuRecordingTest : public CpuSessionTest {
protected:
    CpuRecordingTest() : CpuSessionTest("p.Work", settings()) { vm.givesThreadStacks = true; }

    static CpuProfilingSession::Settings settings()
    {
        CpuProfilingSession::Settings s;
        s.exceptionalCap = 2;
        s.stackSize = 64;
        return s;
    }

    // Starts a thread inside `outer`, as the VM reports it on the first hook.
    LiveThreadManager *startThread(int32_t outer)
    {
        LiveThreadManager *t = cpu.createThreadManager();
        vm.stack = {{desc(outer), 0}};
        EXPECT_EQ(cpu.agentMethodEntry(t, outer, 0, false, false, true), 0) << "the VM's stack already holds it";
        vm.stack.clear();
        return t;
    }
};

TEST_F(CpuRecordingTest, EntriesAndExitsBuildTheTreeWithTimesAndCounts)
{
    int32_t main = method("main"), a = method("a"), b = method("b");
    cpu.setCpuRecord(true, true);
    LiveThreadManager *t = startThread(main);
    EXPECT_EQ(enter(t, a, 1000), 1000);
    EXPECT_EQ(leave(t, a, 1200), 1200);
    enter(t, a, 1300);
    leave(t, a, 1350);
    cpu.agentLineNumberHint(t, 12);
    enter(t, b, 1400, CallStackTree::LINE_PENDING);
    enter(t, a, 1410);
    leave(t, a, 1470);
    leave(t, b, 1500);
    leave(t, main, 2000);
    EXPECT_EQ(render(t->getCallStackTree(false)), "root 1000/0 {main 1000/0 {b:12 100/1 {a 60/1}, a 250/2}}");
    EXPECT_EQ(t->getCurrentNode(), t->getCallStackTree(false));
}

TEST_F(CpuRecordingTest, ThreadCpuTimeSharesRunnableTimeAmongActiveThreads)
{
    int32_t main = method("main"), a = method("a"), b = method("b"), c = method("c");
    CpuProfilingSession::Settings cpuTime = settings();
    cpuTime.timeType = 2;
    cpu.updateSettings(cpuTime);
    cpu.setCpuRecord(true, true);
    LiveThreadManager *t = startThread(main);
    enter(t, a, 100);
    leave(t, a, 500);
    EXPECT_EQ(t->getPendingTotal(), 400) << "held until the next entry";
    EXPECT_EQ(render(t->getCallStackTree(false)), "root 0/0 {main 0/0 {a 0/1}}");
    cpu.setNumActiveThreads(4);
    enter(t, b, 600); // a gets a quarter of its 400; main's 100 waits
    leave(t, b, 1000);
    cpu.setNumActiveThreads(0); // none known: the whole time
    enter(t, c, 1000);
    EXPECT_EQ(render(t->getCallStackTree(false)), "root 600/0 {main 600/0 {c 0/1, b 400/1, a 100/1}}");
    // A cleared tree drops what was pending.
    leave(t, c, 1300);
    t->clearCallStackTree();
    EXPECT_EQ(t->getPendingTotal(), 0);
}

TEST_F(CpuRecordingTest, NothingIsTimedWhileRecordingIsOff)
{
    int32_t main = method("main"), a = method("a");
    LiveThreadManager *t = startThread(main);
    EXPECT_EQ(enter(t, a, 1000), 0);
    EXPECT_EQ(leave(t, a, 2000), -1);
    EXPECT_EQ(render(t->getCallStackTree(false)), "root 0/0 {main 0/0 {a 0/0}}");
    cpu.setCpuRecord(true, true);
    enter(t, a, 3000);
    leave(t, a, 3100);
    EXPECT_EQ(render(t->getCallStackTree(false)), "root 100/0 {main 100/0 {a 100/1}}");
}

TEST_F(CpuRecordingTest, CalibrationSetsTheOverheadThatEveryIntervalLoses)
{
    int32_t main = method("main"), a = method("a");
    cpu.setCpuRecord(true, true);
    LiveThreadManager *t = startThread(main);
    vm.now = 500;
    EXPECT_EQ(cpu.agentMethodEntry(t, MethodHandleTable::CALIBRATION_ID, 0, false, false, true), 0);
    vm.now = 504;
    EXPECT_EQ(cpu.agentMethodExit(t, MethodHandleTable::CALIBRATION_ID, false), 0);
    EXPECT_EQ(cpu.getOverhead(), 12);
    EXPECT_EQ(render(t->getCallStackTree(false)), "root 0/0 {main 0/0}") << "calibration records nothing";
    // A span at or above the estimate leaves it; a shorter one sets it anew.
    cpu.agentMethodEntry(t, MethodHandleTable::CALIBRATION_ID, 0, false, false, true);
    vm.now = 520;
    cpu.agentMethodExit(t, MethodHandleTable::CALIBRATION_ID, false);
    EXPECT_EQ(cpu.getOverhead(), 12);
    vm.now = 600;
    cpu.agentMethodEntry(t, MethodHandleTable::CALIBRATION_ID, 0, false, false, true);
    vm.now = 603;
    cpu.agentMethodExit(t, MethodHandleTable::CALIBRATION_ID, false);
    EXPECT_EQ(cpu.getOverhead(), 9);

    enter(t, a, 1000);
    leave(t, a, 1100); // 100 - 9
    enter(t, a, 1105); // 5 - 9 is below 0: nothing
    leave(t, a, 1110);
    EXPECT_EQ(render(t->getCallStackTree(false)), "root 91/0 {main 91/0 {a 91/2}}");
}

TEST_F(CpuRecordingTest, MissedExitsAreUnwoundAndUnknownExitsRefused)
{
    int32_t main = method("main"), a = method("a"), b = method("b"), c = method("c");
    cpu.setCpuRecord(true, true);
    LiveThreadManager *t = startThread(main);
    enter(t, a, 100);
    enter(t, b, 110);
    EXPECT_EQ(leave(t, c, 150), 0) << "c is not on the stack";
    EXPECT_EQ(t->getMethodStackTop(), 3);
    EXPECT_EQ(cpu.agentMethodExit(t, 9999, false), 0) << "an unknown id";
    // b threw through a: the exit of a ends b first.
    EXPECT_EQ(leave(t, a, 200), 200);
    EXPECT_EQ(t->getMethodStackTop(), 1);
    EXPECT_EQ(render(t->getCallStackTree(false)), "root 100/0 {main 100/0 {a 100/1 {b 90/1}}}");

    // An exception handler in main ends what lies above it.
    enter(t, a, 300);
    enter(t, b, 310);
    vm.now = 330;
    cpu.agentMethodExceptionHandler(t, main);
    EXPECT_EQ(t->getMethodStackTop(), 1);
    EXPECT_EQ(t->getCurrentNode()->getMethod(), desc(main));
}

TEST_F(CpuRecordingTest, ExceptionalRunsKeepTheSlowestRunsApart)
{
    int32_t main = method("main"), x = method("x"), y = method("y");
    cpu.setCpuRecord(true, true);
    LiveThreadManager *t = startThread(main);
    long long at = 1000;
    for (long long ms : {10, 30, 20}) {
        t->enterExceptionalMethod();
        enter(t, x, at);
        enter(t, y, at + 1);
        leave(t, y, at + 2);
        leave(t, x, at + ms * 1000);
        at += 100000;
    }
    // The gaps between the runs (90 and 70 ms) are main's own time.
    EXPECT_EQ(render(t->getCallStackTree(false)),
              "root 220000/0 {main 220000/0 {x:65531 10000/1 {y 1/1}, x:65529 30000/1 {y 1/1}, x:65530 20000/1 {y 1/1}, x:65532 0/0 {y 0/0}}}");
}

TEST_F(CpuRecordingTest, SleepTimeGoesToTheWaitColumnsNotToTheValue)
{
    int32_t main = method("main"), sleep = method("sleep");
    cpu.setWaitMethods(desc(sleep), nullptr);
    cpu.setCpuRecord(true, true);
    LiveThreadManager *t = startThread(main);
    enter(t, sleep, 1000);
    EXPECT_EQ(t->getThreadStatus(), LiveThreadManager::STATUS_WAITING);
    leave(t, sleep, 51000);
    EXPECT_EQ(t->getThreadStatus(), LiveThreadManager::STATUS_RUNNABLE);
    EXPECT_EQ(render(t->getCallStackTree(false)), "root 0/0 {main 0/0 {sleep 0/1 w=50000}}");
    EXPECT_EQ(t->getMonitorUsageStats()->getWaitingTime(), 50000);

    // A contended monitor inside a method.
    int32_t a = method("a");
    enter(t, a, 60000);
    t->setMonitorContendedEnter(60100, nullptr, nullptr, false);
    t->setMonitorContendedEntered(0, 60700);
    leave(t, a, 61000);
    EXPECT_EQ(render(t->getCallStackTree(false)), "root 9400/0 {main 9400/0 {a 400/1 b=600, sleep 0/1 w=50000}}");
}

TEST_F(CpuRecordingTest, FilteredChainsAndAgentClassesAreNotRecorded)
{
    classes.setFilters({"org."}, false);
    ClassData lib("org.lib.L", &classes);
    ClassData agent("com.orvane.agent.Agent", &classes);
    auto make = [&](ClassData *c, const char *name) {
        MethodDesc *m = new MethodDesc(c, name, -1, "()V", -1, &classes, c->getClassName());
        classes.addMethodDesc(m);
        return cpu.getMethodHandles().getHandle(m);
    };
    int32_t main = method("main"), f1 = make(&lib, "f1"), f2 = make(&lib, "f2"), app = method("app"), hook = make(&agent, "h");
    cpu.setCpuRecord(true, true);
    LiveThreadManager *t = startThread(main);
    vm.now = 100;
    cpu.agentMethodEntry(t, f1, 0, true, false, true);
    vm.now = 110;
    cpu.agentMethodEntry(t, f2, 0, true, false, true); // filtered from filtered: collapses
    enter(t, app, 120);                               // a call back into the application
    leave(t, app, 150);
    vm.now = 160;
    cpu.agentMethodExit(t, f2, true);
    enter(t, hook, 170);
    leave(t, hook, 180);
    vm.now = 200;
    cpu.agentMethodExit(t, f1, true);
    EXPECT_EQ(render(t->getCallStackTree(false)), "root 100/0 {main 100/0 {f1 100/1 {app 30/1}}}");
    EXPECT_EQ(t->getMethodStackTop(), 1);
}

TEST_F(CpuRecordingTest, IgnoredThreadsAndDeadThreadsRecordNothing)
{
    int32_t main = method("main"), a = method("a");
    cpu.setCpuRecord(true, true);
    LiveThreadManager *t = startThread(main);
    t->setIgnored(true, false);
    EXPECT_EQ(enter(t, a, 100), 0);
    EXPECT_EQ(render(t->getCallStackTree(false)), "root 0/0");
    LiveThreadManager *u = startThread(main);
    u->setIsDead(500);
    EXPECT_EQ(enter(u, a, 600), 0);
    EXPECT_TRUE(u->getIsDead());
    EXPECT_EQ(u->getEndTime(), 500);
    EXPECT_EQ(cpu.getThreadManagers().size(), 2u) << "dead threads are kept";
}

TEST_F(CpuRecordingTest, AFullMethodStackEndsTheProcessWithItsMessage)
{
    int32_t main = method("main"), a = method("a");
    cpu.setCpuRecord(true, true);
    LiveThreadManager *t = startThread(main);
    EXPECT_DEATH(
        {
            for (int i = 0; i < 100; i++)
                enter(t, a, 100 + i);
        },
        "Current stack size is 64");
}

TEST_F(CpuRecordingTest, CallTreeViewMergesTheThreadsAndSendsNewDescriptions)
{
    int32_t main = method("main"), a = method("a"), b = method("b");
    Wire request;
    request.byte(1).u4(0).u2(0).byte(0).u2(0).u4(0).u4(1).u4(10000).u4(0);
    auto ask = [&]() {
        ByteArrayDataReader r(request.b.data(), static_cast<int>(request.b.size()));
        CharVectorDataWriter w;
        cpu.handleCmdInvocationTreeUpdate(&r, &w, &classes);
        w.flush();
        return std::vector<unsigned char>(w.getBytes().begin(), w.getBytes().end());
    };
    std::vector<unsigned char> before = ask();
    Wire empty;
    empty.byte(0).u4(0).id(nullptr).u4(4);
    ASSERT_GE(before.size(), empty.b.size());
    EXPECT_EQ(std::vector<unsigned char>(before.begin(), before.begin() + static_cast<long>(empty.b.size())), empty.b)
        << "nothing recorded yet";

    cpu.setCpuRecord(true, true);
    LiveThreadManager *t1 = startThread(main);
    enter(t1, a, 1000);
    leave(t1, a, 1100);
    LiveThreadManager *t2 = startThread(main);
    enter(t2, a, 2000);
    leave(t2, a, 2050);
    enter(t2, b, 2060);
    leave(t2, b, 2080);
    std::vector<unsigned char> reply = ask();
    Wire expected;
    expected.byte(1).byte(1);
    expected.byte(1).trailer(desc(b), 20, 1);
    expected.byte(1).trailer(desc(a), 150, 2);
    // main: 100 + 50 + 20 and the 10 between a and b.
    expected.trailer(desc(main), 180, 0).trailer(nullptr, 0, 0);
    expected.u4(0).id(nullptr).u4(1);
    expected.byte(0).byte(0); // every description went out with the first reply
    EXPECT_EQ(reply, expected.b);
}

TEST_F(CpuRecordingTest, HotspotsHoldSelfTimesAndCallsOfEveryMethod)
{
    int32_t main = method("main"), a = method("a"), b = method("b");
    cpu.setCpuRecord(true, true);
    LiveThreadManager *t1 = startThread(main);
    enter(t1, a, 1000);
    enter(t1, b, 1010);
    leave(t1, b, 1030);
    leave(t1, a, 1100);
    LiveThreadManager *t2 = startThread(main);
    enter(t2, a, 2000);
    leave(t2, a, 2050);
    enter(t2, b, 2060);
    leave(t2, b, 2080);

    struct Case {
        const char *name;
        bool sorted;
        std::vector<std::pair<int32_t, std::pair<long long, uint32_t>>> rows;
    } cases[] = {
        // a: 80 + 50 of its own; b: 20 under a and 20 under main; main: the 10 between a and b.
        {"sorted", true, {{a, {130, 2}}, {b, {40, 2}}, {main, {10, 0}}}},
        {"unsorted, in the order the methods were met", false, {{main, {10, 0}}, {a, {130, 2}}, {b, {40, 2}}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Wire request;
        request.byte(1).u4(0).u2(0).byte(0).u2(0).u4(0).u4(1);
        request.byte(0).u4(0).byte(c.sorted ? 1 : 0).byte(0);
        ByteArrayDataReader r(request.b.data(), static_cast<int>(request.b.size()));
        CharVectorDataWriter w;
        cpu.handleCmdHotspotTreeUpdate(&r, &w, &classes);
        w.flush();
        std::vector<unsigned char> reply(w.getBytes().begin(), w.getBytes().end());
        Wire expected;
        expected.byte(1);
        for (const auto &row : c.rows)
            expected.byte(1).byte(2).trailer(desc(row.first), row.second.first, row.second.second);
        expected.byte(0).jlong(180);
        ASSERT_GE(reply.size(), expected.b.size());
        EXPECT_EQ(std::vector<unsigned char>(reply.begin(), reply.begin() + static_cast<long>(expected.b.size())), expected.b);
    }
}

TEST_F(CpuRecordingTest, ThreadDumpAndDescriptionsOnLiteralBytes)
{
    int32_t main = method("main"), a = method("a");
    LiveThreadManager *t = startThread(main);
    t->setThreadName("worker");
    t->setGroupName("main");
    t->setDescribed();
    t->threadHandle = reinterpret_cast<void *>(static_cast<uintptr_t>(0x1000));
    LiveThreadManager *gone = startThread(main);
    gone->setThreadName("gone");
    gone->setDescribed();
    gone->setIsDead(900);
    LiveThreadManager *hidden = startThread(main);
    hidden->setIgnored(true, false);
    vm.threadStacks = {{t->threadHandle, {{desc(main), 12}, {desc(a), 30}}}};
    vm.now = 5000;

    CharVectorDataWriter w;
    cpu.handleCmdThreadDump(&w, true, &classes);
    w.flush();
    std::vector<unsigned char> reply(w.getBytes().begin(), w.getBytes().end());
    Wire expected;
    expected.byte(1).id(t);
    expected.byte(1).jlong(5000).byte(1).id(desc(main)).u2(12).byte(1).id(desc(a)).u2(30).byte(0); // one trace
    expected.byte(0);                                                                            // end of traces
    expected.byte(0).jlong(5000).u4(0);
    expected.byte(1).id(t).u2(6);
    expected.b.insert(expected.b.end(), {'w', 'o', 'r', 'k', 'e', 'r'});
    expected.u2(4);
    expected.b.insert(expected.b.end(), {'m', 'a', 'i', 'n'});
    expected.u2(0).jlong(0).jlong(0).jlong(-1).jlong(-1).u4(0).id(nullptr).u4(0);
    expected.byte(1).id(gone).u2(4);
    expected.b.insert(expected.b.end(), {'g', 'o', 'n', 'e'});
    expected.u2(0).u2(0).jlong(0).jlong(0).jlong(900).jlong(-1).u4(0).id(nullptr).u4(0);
    expected.byte(0).u4(0);
    ASSERT_GE(reply.size(), expected.b.size());
    EXPECT_EQ(std::vector<unsigned char>(reply.begin(), reply.begin() + static_cast<long>(expected.b.size())), expected.b);

    // The traces were handed out: the next reply without a new dump has none.
    CharVectorDataWriter again;
    cpu.handleCmdThreadDump(&again, false, &classes);
    again.flush();
    EXPECT_EQ(again.getBytes().at(0), 0);
}

} // namespace
