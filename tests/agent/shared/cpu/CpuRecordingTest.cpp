// CPU recording on a thread manager, driven entry by entry with a fake VM
// clock: times, counts, overhead correction, missed exits, exceptional runs
// and waits, checked against literal trees.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <cstring>

#include "AnnotationBytes.h"
#include "ByteArrayDataReader.h"
#include "CallStackTree.h"
#include "CharVectorDataWriter.h"
#include "ClassData.h"
#include "ClassProfilingSession.h"
#include "CpuProfilingSession.h"
#include "LiveThreadManager.h"
#include "MethodDesc.h"
#include "MonitorTimeValues.h"
#include "DataWriter.h"
#include "LiveSamplerSession.h"
#include "LiveMonitorManager.h"
#include "MonitorEntry.h"
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

    // Starts a thread inside `outer`, as the VM reports it on the first hook,
    // at time 0, which no time of the agent's clock is: nothing is counted
    // or timed before the thread's next event.
    LiveThreadManager *startThread(int32_t outer)
    {
        LiveThreadManager *t = cpu.createThreadManager();
        vm.now = 0;
        vm.stack = {{desc(outer), 0}};
        EXPECT_EQ(cpu.agentMethodEntry(t, outer, 0, false, false, true), 0) << "the VM's stack already holds it";
        vm.stack.clear();
        return t;
    }

    // Methods of a library the filters leave out (f1, f2 of "org.lib.L":
    // set the "org." filter first) and of the agent's own classes (hook).
    struct FilteredLibrary {
        ClassData lib;
        ClassData agent;
        int32_t f1, f2, hook;
        explicit FilteredLibrary(CpuRecordingTest &test)
            : lib("org.lib.L", &test.classes),
              agent("com.orvane.agent.Agent", &test.classes), f1(test.methodIn(&lib, "f1")), f2(test.methodIn(&lib, "f2")),
              hook(test.methodIn(&agent, "h"))
        {
        }
    };

    int32_t methodIn(ClassData *c, const char *name)
    {
        MethodDesc *m = new MethodDesc(c, name, -1, "()V", -1, &classes, c->getClassName());
        classes.addMethodDesc(m);
        return cpu.getMethodHandles().getHandle(m);
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

// The agent's Java side names a thread the application's main thread from
// inside main: what the thread ran around main goes, main keeps its one
// call and its callees come below it; the exits of the calls around main
// change nothing. Without a main on the stack, or with sampled trees, the
// tree stays as it was.
TEST_F(CpuRecordingTest, TheAgentMainThreadsTreeStartsAtItsMain)
{
    int32_t run = method("run"), main = method("main"), other = method("other"), a = method("a");
    struct Case {
        const char *name;
        int collectionMethod;
        int32_t entered; // what run calls
        const char *tree;
    } cases[] = {
        {"main under a launcher", 1, main, "root 400/0 {main 400/1 {a 100/1}}"},
        // run was entered at time 0: not counted, timed from the next event.
        {"no main on the stack", 1, other, "root 1700/0 {run 1700/0 {other 1400/1 {a 200/2}}}"},
        {"sampled trees", 3, main, "root 1700/0 {run 1700/0 {main 1400/1 {a 200/2}}}"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        CpuProfilingSession::Settings s = settings();
        s.collectionMethod = c.collectionMethod;
        cpu.updateSettings(s);
        cpu.setCpuRecord(true, true);
        LiveThreadManager *t = cpu.createThreadManager();
        vm.now = 0;
        vm.stack = {{desc(run), 0}};
        cpu.agentMethodEntry(t, run, 0, false, false, true);
        vm.stack.clear();
        enter(t, c.entered, 100);
        enter(t, a, 1000);
        leave(t, a, 1100);
        t->setAgentMainThread();
        EXPECT_TRUE(t->isAgentMainThread());
        enter(t, a, 1200);
        leave(t, a, 1300);
        leave(t, c.entered, 1500);
        leave(t, run, 1800);
        EXPECT_EQ(render(t->getCallStackTree(false)), c.tree);
        EXPECT_EQ(t->getCurrentNode(), t->getCallStackTree(false));
        cpu.setCpuRecord(false, false);
    }
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
    EXPECT_EQ(vm.hooksSwitched, 0) << "the hooks stay off";
    cpu.setCpuRecord(true, true);
    EXPECT_TRUE(vm.hooksRecording) << "the hooks reach the agent";
    // The hooks skipped the agent while nothing recorded: the next entry
    // reads the stack, which holds main and the call of a being entered.
    vm.stack = {{desc(main), 0}, {desc(a), 0}};
    EXPECT_EQ(enter(t, a, 3000), 0);
    vm.stack.clear();
    leave(t, a, 3100);
    enter(t, a, 3200);
    leave(t, a, 3300);
    EXPECT_EQ(render(t->getCallStackTree(false)), "root 300/0 {main 300/1 {a 200/2}}");
    cpu.setCpuRecord(false, false);
    EXPECT_FALSE(vm.hooksRecording);
    EXPECT_EQ(vm.hooksSwitched, 2);
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

namespace {

// Keeps the payload moves the Java side is told of.
class MovingAnnotationBytes : public AnnotationBytes {
public:
    bool getBytes(const std::vector<long long> &, std::vector<unsigned char> *) override { return false; }
    void moveAnnotations(const std::vector<std::pair<long long, long long>> &pairs, bool add) override
    {
        moves.push_back({pairs, add});
    }
    std::vector<std::pair<std::vector<std::pair<long long, long long>>, bool>> moves;
};

} // namespace

// A run whose node carries a probe annotation id hands its payloads to the
// node it is merged into: a slot takes them in place of what it held, the
// rest node adds them. Runs of 10, 30 and 20 ms with a cap of 2: the third
// run pushes the 10 ms run from its slot to the rest node first.
TEST_F(CpuRecordingTest, ExceptionalRunsMoveTheirProbePayloads)
{
    MovingAnnotationBytes javaSide;
    cpu.setAnnotationBytes(&javaSide);
    int32_t main = method("main"), x = method("x");
    cpu.setCpuRecord(true, true);
    LiveThreadManager *t = startThread(main);
    long long at = 1000;
    long long run = 0;
    for (long long ms : {10, 30, 20}) {
        t->enterExceptionalMethod();
        enter(t, x, at);
        run = t->probeCallSiteId();
        leave(t, x, at + ms * 1000);
        at += 100000;
    }
    CallStackTree *mainNode = t->getCallStackTree(false)->getChild(desc(main), 0);
    ASSERT_NE(mainNode, nullptr);
    long long first = mainNode->getChild(desc(x), 0xFFFA)->getAnnotationId();
    long long second = mainNode->getChild(desc(x), 0xFFF9)->getAnnotationId();
    long long rest = mainNode->getChild(desc(x), 0xFFFB)->getAnnotationId();
    EXPECT_GT(run, 0);
    EXPECT_EQ(std::set<long long>({run, first, second, rest}).size(), 4u);
    typedef std::vector<std::pair<long long, long long>> Pairs;
    EXPECT_EQ(javaSide.moves, (std::vector<std::pair<Pairs, bool>>{{Pairs{{run, first}}, false},
                                                                  {Pairs{{run, second}}, false},
                                                                  {Pairs{{first, rest}}, true},
                                                                  {Pairs{{run, first}}, false}}));
    cpu.setAnnotationBytes(nullptr);
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
    FilteredLibrary w(*this);
    int32_t main = method("main"), f1 = w.f1, f2 = w.f2, app = method("app"), hook = w.hook;
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

// Each hook of a recorded call reads the clock once; a filtered call that
// collapses into its filtered caller and a call inside the agent's classes
// change nothing and read it not at all.
TEST_F(CpuRecordingTest, CallsThatAreNotRecordedReadNoClock)
{
    classes.setFilters({"org."}, false);
    FilteredLibrary w(*this);
    int32_t main = method("main"), f1 = w.f1, f2 = w.f2, app = method("app"), hook = w.hook;
    cpu.setCpuRecord(true, true);
    LiveThreadManager *t = startThread(main);
    struct Step {
        const char *what;
        std::function<void()> hook;
        int reads;
    };
    const Step steps[] = {
        {"filtered call from the application", [&] { cpu.agentMethodEntry(t, f1, 0, true, false, true); }, 1},
        {"filtered call from a filtered one", [&] { cpu.agentMethodEntry(t, f2, 0, true, false, true); }, 0},
        {"the application called back", [&] { cpu.agentMethodEntry(t, app, 0, false, false, true); }, 1},
        {"agent class entered", [&] { cpu.agentMethodEntry(t, hook, 0, false, false, true); }, 0},
        {"agent class left", [&] { cpu.agentMethodExit(t, hook, false); }, 0},
        {"the application returns", [&] { cpu.agentMethodExit(t, app, false); }, 1},
        {"the collapsed call returns", [&] { cpu.agentMethodExit(t, f2, true); }, 0},
        {"the filtered call returns", [&] { cpu.agentMethodExit(t, f1, true); }, 1},
    };
    long long now = 100;
    for (const Step &step : steps) {
        vm.now = now += 10;
        int before = vm.clockReads;
        step.hook();
        EXPECT_EQ(vm.clockReads - before, step.reads) << step.what;
    }
    EXPECT_EQ(render(t->getCallStackTree(false)), "root 70/0 {main 70/0 {f1 70/1 {app 30/1}}}");
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

// A running call's time reaches its callers' values when it ends; until
// then every reader adds it: the snapshot form (with or without a copy),
// the call-tree view, and the tree itself once the thread is done with it.
TEST_F(CpuRecordingTest, CallsStillRunningCountInTheirCallersEverywhere)
{
    int32_t main = method("main"), a = method("a"), b = method("b"), c = method("c");
    cpu.setCpuRecord(true, true);
    LiveThreadManager *t = startThread(main);
    // main {a {c 30 (ended), b open}}: a ran 10 + 5, b 20 up to its last event.
    enter(t, a, 1000);
    enter(t, c, 1010);
    leave(t, c, 1040);
    enter(t, b, 1045);
    enter(t, c, 1065); // b's own 20; this c is left open without time

    auto treeBytes = [&](Wire &e, long long mainRunning) {
        e.byte(1).byte(1).byte(1).byte(1).byte(1);
        e.byte(0).id(desc(c)).u2(0).jlong(0).u4(1).byte(0);      // the open c
        e.byte(0).id(desc(b)).u2(0).jlong(20).u4(1).byte(0);
        e.byte(1).byte(0).id(desc(c)).u2(0).jlong(30).u4(1).byte(0);
        e.byte(0).id(desc(a)).u2(0).jlong(65).u4(1).byte(0);
        e.byte(0).id(desc(main)).u2(0).jlong(65 + mainRunning).u4(0).byte(0);
        e.byte(0).id(nullptr).u2(0).jlong(65 + mainRunning).u4(0).byte(0);
    };
    auto snapshotTree = [&](InstancePool<CallStackTree> *pool) {
        CharVectorDataWriter w;
        t->write(&w, pool, 0, 1065);
        std::vector<unsigned char> bytes = bytesOf(w);
        CharVectorDataWriter head;
        head.writeID(t);
        t->writeDescription(&head, false, 0);
        return std::vector<unsigned char>(bytes.begin() + static_cast<long>(bytesOf(head).size()), bytes.end());
    };
    InstancePool<CallStackTree> pool;
    Wire expected;
    treeBytes(expected, 0);
    std::vector<unsigned char> plain = snapshotTree(nullptr);
    std::vector<unsigned char> copied = snapshotTree(&pool);
    ASSERT_GE(plain.size(), expected.b.size());
    EXPECT_EQ(std::vector<unsigned char>(plain.begin(), plain.begin() + static_cast<long>(expected.b.size())), expected.b);
    ASSERT_GE(copied.size(), expected.b.size());
    EXPECT_EQ(std::vector<unsigned char>(copied.begin(), copied.begin() + static_cast<long>(expected.b.size())), expected.b);

    EXPECT_EQ(render(t->getCallStackTree(false)), "root 65/0 {main 65/0 {a 65/1 {b 20/1 {c 0/1}, c 30/1}}}");
    // The ended thread holds every call's time in the values themselves.
    leave(t, c, 1070);
    t->setIsDead(1100);
    const CallStackTree *root = t->getCallStackTree(false);
    const CallStackTree *mainNode = root->getFirstChild();
    const CallStackTree *aNode = mainNode->getFirstChild();
    EXPECT_EQ(root->getValue(), 70);
    EXPECT_EQ(mainNode->getValue(), 70);
    EXPECT_EQ(aNode->getValue(), 70);
    EXPECT_EQ(aNode->getChild(desc(b), 0)->getValue(), 25);
    EXPECT_EQ(aNode->getChild(desc(b), 0)->getChild(desc(c), 0)->getValue(), 5);
}

// Calls nested deeper than the stack= setting end the VM through the VM's
// one exit, after three lines that name the size; the calls up to the limit
// are recorded as any others.
TEST_F(CpuRecordingTest, AFullMethodStackEndsTheProcessWithItsMessage)
{
    int32_t main = method("main"), a = method("a");
    cpu.setCpuRecord(true, true);
    LiveThreadManager *t = startThread(main);
    int depth = 1;
    testing::internal::CaptureStderr();
    try {
        for (; depth < 1000; depth++)
            enter(t, a, 1000 + depth);
        testing::internal::GetCapturedStderr();
        FAIL() << "1000 nested calls went into a stack of 64";
    } catch (const FakeVm::Ended &ended) {
        EXPECT_EQ(ended.reason, VmEnd::STACK_OVERFLOW);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Orvane> FATAL ERROR: Stack overflow. Aborting.\n"
              "Orvane> Increase the stack size by adding ,stack=value to the -agentpath parameter\n"
              "Orvane> Current stack size is 64.\n");
    EXPECT_EQ(depth, 63) << "main and 62 calls of a fit";
    EXPECT_EQ(vmEndRow(VmEnd::STACK_OVERFLOW).aborts, true);
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
    expected.byte(1).ending(desc(b), 20, 1);
    expected.byte(1).ending(desc(a), 150, 2);
    // main: 100 + 50 + 20 and the 10 between a and b, and the first
    // thread's main, still running since 1100, up to the request at 2080.
    expected.ending(desc(main), 180 + 980, 0).ending(nullptr, 0, 0);
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
        // a: 80 + 50 of its own; b: 20 under a and 20 under main; main: the
        // 10 between a and b and the first thread's main, still running
        // since 1100, up to the request at 2080.
        {"sorted", true, {{main, {990, 0}}, {a, {130, 2}}, {b, {40, 2}}}},
        {"unsorted, in the order the methods were met", false, {{main, {990, 0}}, {a, {130, 2}}, {b, {40, 2}}}},
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
        expected.byte(0).jlong(180 + 980);
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

TEST_F(CpuRecordingTest, ThreadSnapshotFormOnLiteralBytesAndBack)
{
    int32_t main = method("main"), a = method("a"), gone = method("gone");
    cpu.setCpuRecord(true, true);
    LiveThreadManager *t = startThread(main);
    t->setThreadName("worker");
    t->setGroupName("grp");
    t->setStartTime(50);
    enter(t, a, 1100);
    leave(t, a, 1300);
    t->getMonitorUsageStats()->addWaitingEvent(70, 1);
    t->addStackTrace(900, {{desc(main), 4}, {desc(gone), 9}});

    // root 200/0 {main 200/0 {a 200/1}}: the first event only set the clock.
    auto expected = [&](long long running) {
        Wire e;
        e.id(t);
        e.id(t).str("worker").str("grp").str("").jlong(0).jlong(50).jlong(-1).jlong(-1).u4(0).id(nullptr).u4(0);
        e.byte(1).byte(1).byte(1);
        e.byte(0).id(desc(a)).u2(0).jlong(200).u4(1).byte(0);
        e.byte(0).id(desc(main)).u2(0).jlong(200 + running).u4(0).byte(0);
        e.byte(0).id(nullptr).u2(0).jlong(200 + running).u4(0).byte(0);
        e.byte(0);                 // no annotation tree
        e.byte(0).byte(0);         // cleared, ignored
        e.jlong(-1);               // last CPU time
        e.times(0, 0, 1, 70, 0, 0, 0);
        e.byte(1).jlong(900).byte(1).id(desc(main)).u2(4).byte(1).id(desc(gone)).u2(9).byte(0).byte(0);
        return e;
    };
    CharVectorDataWriter plain;
    t->write(&plain, nullptr, 0, 1500);
    std::vector<unsigned char> bytes = bytesOf(plain);
    EXPECT_EQ(bytes, expected(0).b);
    // With a pool the 200 us main has run since the last event count too,
    // in a copy: the thread's own tree is unchanged.
    InstancePool<CallStackTree> pool;
    CharVectorDataWriter running;
    t->write(&running, &pool, 0, 1500);
    EXPECT_EQ(bytesOf(running), expected(200).b);
    EXPECT_EQ(render(t->getCallStackTree(false)), "root 200/0 {main 200/0 {a 200/1}}");
    // A start before the VM's is written as the VM's.
    CharVectorDataWriter late;
    t->write(&late, nullptr, 60, 1500);
    Wire start;
    start.id(t).id(t).str("worker").str("grp").str("").jlong(0).jlong(60);
    expectPrefix(bytesOf(late), start);

    // An ended thread: its end time, and no running time even with a pool.
    LiveThreadManager *ended = startThread(main);
    ended->setThreadName("ended");
    ended->setStartTime(40);
    enter(ended, a, 1100);
    leave(ended, a, 1250);
    ended->setIsDead(2000);
    CharVectorDataWriter dead;
    ended->write(&dead, &pool, 0, 5000);
    Wire deadBytes;
    deadBytes.id(ended).id(ended).str("ended").str("").str("").jlong(0).jlong(40).jlong(2000).jlong(-1).u4(0).id(nullptr).u4(0);
    deadBytes.byte(1).byte(1).byte(1);
    deadBytes.byte(0).id(desc(a)).u2(0).jlong(150).u4(1).byte(0);
    deadBytes.byte(0).id(desc(main)).u2(0).jlong(150).u4(0).byte(0);
    deadBytes.byte(0).id(nullptr).u2(0).jlong(150).u4(0).byte(0);
    expectPrefix(bytesOf(dead), deadBytes);

    // Read back with the IDs of a snapshot: the methods are known, except
    // the one whose frame is then dropped.
    Wire known;
    known.id(desc(main)).id(desc(a)).id(&cls);
    std::vector<unsigned char> input = known.b;
    input.insert(input.end(), bytes.begin(), bytes.end());
    ByteArrayDataReader reader(input.data(), static_cast<int>(input.size()));
    reader.enableIDUpdate(true, DataWriter::ID_SIZE);
    reader.readOldID(desc(main));
    reader.readOldID(desc(a));
    reader.readOldID(&cls);
    ThreadManager back;
    ASSERT_TRUE(back.read(&reader, 36));
    reader.updateIDs();
    EXPECT_EQ(reader.available(), 0);
    EXPECT_EQ(back.getThreadName(), "worker");
    EXPECT_EQ(back.getGroupName(), "grp");
    EXPECT_EQ(back.getStartTime(), 50);
    EXPECT_EQ(back.getEndTime(), -1);
    EXPECT_EQ(render(back.getCallStackTree(false)), "root 200/0 {main 200/0 {a 200/1}}");
    EXPECT_EQ(back.getMonitorUsageStats()->getWaitingTime(), 70);
    CharVectorDataWriter traces;
    back.writeStackTraces(&traces, false);
    EXPECT_EQ(bytesOf(traces), Wire().byte(1).jlong(900).byte(1).id(desc(main)).u2(4).byte(0).byte(0).b);

    // Cut short anywhere, the read fails instead of inventing a thread.
    for (size_t cut : {known.b.size() + 3, known.b.size() + 40, input.size() - 1}) {
        SCOPED_TRACE(cut);
        ByteArrayDataReader shortReader(input.data(), static_cast<int>(cut));
        shortReader.enableIDUpdate(true, DataWriter::ID_SIZE);
        shortReader.readOldID(desc(main));
        shortReader.readOldID(desc(a));
        shortReader.readOldID(&cls);
        ThreadManager partial;
        EXPECT_FALSE(partial.read(&shortReader, 36));
    }
}

TEST_F(CpuRecordingTest, SamplerPassesSetStatusesAndRecordTheHistoryEvery200Ms)
{
    LiveThreadManager *t1 = cpu.createThreadManager();
    LiveThreadManager *t2 = cpu.createThreadManager();
    LiveThreadManager *quiet = cpu.createThreadManager();
    LiveThreadManager *agent = cpu.createThreadManager();
    int h1 = 0, h2 = 0, h3 = 0, h4 = 0;
    t1->threadHandle = &h1;
    t2->threadHandle = &h2;
    quiet->threadHandle = &h3;
    agent->threadHandle = &h4;
    t1->setThreadName("one");
    t2->setThreadName("two");
    agent->setThreadName("_orvane_x");
    agent->setIgnored(true, false);
    quiet->setDescribed();
    quiet->setIsDead(10);
    vm.givesThreadStates = true;
    const int RUNNABLE = LiveSamplerSession::STATE_RUNNABLE, BLOCKED = LiveSamplerSession::STATE_BLOCKED_ON_MONITOR_ENTER,
              WAITING = LiveSamplerSession::STATE_WAITING;
    auto history = [](LiveThreadManager *t) {
        std::string s;
        const ThreadDesc *d = t->getThreadDesc();
        for (size_t i = 0; i < d->getThreadStatusList().size(); i++)
            s += std::to_string(d->getThreadStatusList()[i]) + "@" + std::to_string(d->getThreadStatusTimeList()[i]) + " ";
        return s;
    };

    // 100 ms passes: the history is written on every second pass.
    LiveSamplerSession sampler(&cpu, 100);
    struct Pass {
        long long now;
        int state1, state2;
        const char *history1, *history2;
        int runnable, blocked, waiting;
    } passes[] = {
        {100000, RUNNABLE, BLOCKED, "", "", 1, 1, 0},
        {200000, RUNNABLE, BLOCKED, "63@20 ", "64@20 ", 1, 1, 0},
        {300000, WAITING, BLOCKED | WAITING, "63@20 ", "64@20 ", 0, 1, 1},
        // Still blocked: one entry, not one per pass.
        {400000, WAITING, BLOCKED, "63@20 65@40 ", "64@20 ", 0, 1, 1},
        {600000, RUNNABLE | WAITING, RUNNABLE, "63@20 65@40 63@60 ", "64@20 63@60 ", 2, 0, 0},
    };
    for (const Pass &p : passes) {
        SCOPED_TRACE(p.now);
        vm.threadStates = {{&h1, p.state1}, {&h2, p.state2}, {&h3, WAITING}, {&h4, BLOCKED}};
        if (p.now == 600000) {
            sampler.doThreadStatusSampling(500000, true); // counts towards 600000's record
        }
        sampler.doThreadStatusSampling(p.now, true);
        EXPECT_EQ(history(t1), p.history1);
        EXPECT_EQ(history(t2), p.history2);
        EXPECT_EQ(sampler.getNumActiveThreads(), p.runnable);
        EXPECT_EQ(cpu.getNumActiveThreads(), p.runnable) << "the CPU shares follow the runnable count";
        EXPECT_EQ(sampler.getBlockedThreads(), p.blocked);
        EXPECT_EQ(sampler.getWaitingThreads(), p.waiting);
    }
    EXPECT_EQ(quiet->getThreadStatus(), LiveThreadManager::STATUS_DEAD) << "a dead thread keeps status 1";
    EXPECT_EQ(history(quiet), "");
    EXPECT_EQ(agent->getThreadDesc()->getThreadStatusList().size(), 0u);

    // Without thread profiling, and once stopped, passes change nothing.
    vm.threadStates = {{&h1, BLOCKED}, {&h2, BLOCKED}};
    sampler.doThreadStatusSampling(800000, false);
    sampler.stop();
    sampler.doThreadStatusSampling(900000, true);
    sampler.doThreadStatusSampling(1000000, true);
    EXPECT_EQ(t1->getThreadStatus(), LiveThreadManager::STATUS_RUNNABLE);
    EXPECT_EQ(history(t1), "63@20 65@40 63@60 ");

    // Passes longer than 200 ms write the history every time.
    LiveSamplerSession slow(&cpu, 300);
    vm.threadStates = {{&h1, WAITING}, {&h2, RUNNABLE}};
    slow.doThreadStatusSampling(2000000, true);
    EXPECT_EQ(history(t1), "63@20 65@40 63@60 65@200 ");
}

TEST_F(CpuRecordingTest, CurrentMonitorUsageAsksTheVmWhoIsBlocked)
{
    int32_t main = method("main");
    cpu.setMonitorRecording(true, 0, 0);
    LiveThreadManager *owner = startThread(main);
    LiveThreadManager *waiter = startThread(main);
    int ho = 0, hw = 0, hx = 0;
    owner->threadHandle = &ho;
    waiter->threadHandle = &hw;
    owner->setThreadName("owner");
    waiter->setThreadName("waiter");
    waiter->setMonitorContendedEnter(1000, nullptr, nullptr, false);
    vm.givesContendedMonitors = true;
    // The waiter and a thread the agent does not know wait for the monitor.
    vm.contendedMonitors = {{reinterpret_cast<void *>(0x77), &cls, &ho, {&hw, &hx}}};
    vm.now = 4000;
    CharVectorDataWriter w;
    cpu.handleCmdMonitorUsageCurrent(&w, &classes);
    LiveMonitorManager *record = cpu.getMonitorManager(false, reinterpret_cast<void *>(0x77), &cls);
    ASSERT_NE(record, nullptr);
    MonitorEntry expectedEntry(MonitorEntry::TYPE_WAITING, 1000, false, record->getDisplayId(), &cls, waiter, waiter->getCurrentNode(),
                               owner, owner->getCurrentNode(), 3000);
    CharVectorDataWriter entryBytes;
    expectedEntry.write(&entryBytes, true);
    Wire expected;
    expected.byte(1);
    std::vector<unsigned char> e = bytesOf(entryBytes);
    expected.b.insert(expected.b.end(), e.begin(), e.end());
    expected.byte(0).jlong(4000).u4(0);
    expectPrefix(bytesOf(w), expected);

    // A VM that cannot tell: the threads' own open entries (none here).
    vm.givesContendedMonitors = false;
    CharVectorDataWriter fallback;
    cpu.handleCmdMonitorUsageCurrent(&fallback, &classes);
    expectPrefix(bytesOf(fallback), Wire().byte(0).jlong(4000).u4(0));
}

// The hooks' view of methods, as the instrumenter keeps it: its own record of
// each method it knows (a different object from the record a VM frame is
// described with), whether the method runs hooks of its own, and the net
// I/O methods.
class FakeHookMethods : public CpuProfilingSession::HookMethods {
public:
    struct Known {
        MethodDesc *record;
        bool hooked;
    };
    std::map<MethodDesc *, Known> known;
    std::set<MethodDesc *> netIo;

    void describe(MethodDesc *frameMethod, Frame *out) override
    {
        auto it = known.find(frameMethod);
        out->known = it != known.end();
        out->method = out->known ? it->second.record : frameMethod;
        out->hooked = out->known && it->second.hooked;
        out->filterEntry = out->method->getIsFiltered(false, false);
        out->netIo = netIo.count(frameMethod) != 0;
    }
};

// A thread's first hook finds its stack on the VM: the replay must leave
// the thread as the hooks would have recorded it from its start.
class StackReplayTest : public CpuSessionTest {
protected:
    enum Kind {
        UNKNOWN, // the hooks never name it
        CALLEE,  // named only by its callers' hooks (filtered calls, constructors)
        HOOKED,  // runs entry and exit hooks of its own
    };
    struct Method {
        MethodDesc *frame;  // how the VM's stack describes it
        MethodDesc *record; // what the hooks pass (null: unknown)
        int32_t id;
    };

    StackReplayTest() : CpuSessionTest("app.Main", settings())
    {
        classes.setFilters({"java.", "jdk."}, false);
        cpu.setHookMethods(&hooks);
        const struct {
            const char *key, *className, *name;
            Kind kind;
        } methods[] = {
            {"main", "app.Main", "main", HOOKED},
            {"Task.run", "app.Task", "run", HOOKED},
            {"work", "app.Work", "work", HOOKED},
            {"Point.<init>", "app.Point", "<init>", CALLEE},
            {"Point.helper", "app.Point", "helper", HOOKED},
            {"Legacy.run", "app.Legacy", "run", UNKNOWN},
            {"Callback.onData", "app.Callback", "onData", HOOKED},
            {"Thread.run", "java.lang.Thread", "run", UNKNOWN},
            {"Thread.runWith", "java.lang.Thread", "runWith", UNKNOWN},
            {"MainThread.run", "com.orvane.agent.Agent$MainThread", "run", UNKNOWN},
            {"hook", "com.orvane.agent.InstrumentationCallee", "__orvane_enterMethod", UNKNOWN},
            {"Method.invoke", "java.lang.reflect.Method", "invoke", CALLEE},
            {"Accessor.invoke", "jdk.internal.reflect.DirectMethodHandleAccessor", "invoke", UNKNOWN},
            {"Worker.run", "java.util.concurrent.ThreadPoolExecutor$Worker", "run", UNKNOWN},
            {"runWorker", "java.util.concurrent.ThreadPoolExecutor", "runWorker", UNKNOWN},
            {"read", "java.net.SocketInputStream", "read", CALLEE},
        };
        for (const auto &m : methods)
            add(m.key, m.className, m.name, m.kind);
        hooks.netIo.insert(by["read"].frame);
    }

    static CpuProfilingSession::Settings settings()
    {
        CpuProfilingSession::Settings s;
        s.stackSize = 64;
        return s;
    }

    MethodDesc *newDesc(ClassData *c, const char *name)
    {
        MethodDesc *m = new MethodDesc(c, name, -1, "()V", -1, &classes, c->getClassName());
        classes.addMethodDesc(m);
        return m;
    }

    void add(const std::string &key, const char *className, const char *name, Kind kind)
    {
        ClassData *c = nullptr;
        for (const std::unique_ptr<ClassData> &known : classDatas) {
            if (strcmp(known->getClassName(), className) == 0)
                c = known.get();
        }
        if (c == nullptr) {
            classDatas.emplace_back(new ClassData(className, &classes));
            c = classDatas.back().get();
        }
        Method m{newDesc(c, name), nullptr, 0};
        if (kind != UNKNOWN) {
            m.record = newDesc(c, name);
            m.id = cpu.getMethodHandles().getHandle(m.record);
            hooks.known[m.frame] = FakeHookMethods::Known{m.record, kind == HOOKED};
        }
        by[key] = m;
    }

    std::vector<VmInterface::StackFrame> stackOf(const std::vector<std::pair<const char *, uint16_t>> &frames)
    {
        std::vector<VmInterface::StackFrame> stack;
        for (const auto &f : frames)
            stack.push_back({by[f.first].frame, f.second});
        return stack;
    }

    // "Class.method:line value/count {children}", a node of a VM frame's
    // record (not the hooks') marked "!".
    std::string render(const CallStackTree *n)
    {
        const MethodDesc *m = n->getMethod();
        if (m == nullptr)
            return renderTree(n, TreeText::Cpu);
        std::string cls = m->getClassData()->getClassName();
        std::string s = cls.substr(cls.rfind('.') + 1) + "." + m->getMethodName();
        if (hooks.known.count(const_cast<MethodDesc *>(m)) != 0)
            s += "!";
        if (n->getLineHint() != 0)
            s += ":" + std::to_string(n->getLineHint());
        s += " " + std::to_string(n->getValueWithOpenTime()) + "/" + std::to_string(n->getSecondValue());
        if (n->getFirstChild() != nullptr) {
            s += " {";
            for (const CallStackTree *c = n->getFirstChild(); c != nullptr; c = c->getNextInstance())
                s += (c == n->getFirstChild() ? "" : ", ") + render(c);
            s += "}";
        }
        return s;
    }
    std::string renderRoot(const CallStackTree *root)
    {
        std::string s = "root " + std::to_string(root->getValueWithOpenTime()) + "/" + std::to_string(root->getSecondValue());
        if (root->getFirstChild() == nullptr)
            return s;
        s += " {";
        for (const CallStackTree *c = root->getFirstChild(); c != nullptr; c = c->getNextInstance())
            s += (c == root->getFirstChild() ? "" : ", ") + render(c);
        return s + "}";
    }

    FakeHookMethods hooks;
    std::vector<std::unique_ptr<ClassData>> classDatas;
    std::map<std::string, Method> by;
};

TEST_F(StackReplayTest, TheFirstHookReplaysTheStackWithTheHooksRecords)
{
    struct Case {
        const char *name;
        std::vector<std::pair<const char *, uint16_t>> stack; // outermost first; the last hooked frame is entered
        const char *entered;
        const char *tree;  // after a call of work (line hint 7) and the exit of `entered`
        const char *after; // the current node's method then
        bool netIo;
    } cases[] = {
        {"the main thread", {{"main", 14}, {"hook", 0}}, "main", "root 500/0 {Main.main 500/1 {Work.work:7 100/1}}", "root", false},
        {"a Runnable started by java.lang.Thread",
         {{"Thread.run", 1583}, {"Task.run", 9}, {"hook", 0}},
         "Task.run",
         "root 500/0 {Task.run 500/1 {Work.work:7 100/1}}",
         "root",
         false},
        {"newer VMs run it through Thread.runWith",
         {{"Thread.run", 1042}, {"Thread.runWith", 1596}, {"Task.run", 9}, {"hook", 0}},
         "Task.run",
         "root 500/0 {Task.run 500/1 {Work.work:7 100/1}}",
         "root",
         false},
        {"the agent's main thread calls main by reflection",
         {{"MainThread.run", 30}, {"Method.invoke", 580}, {"Accessor.invoke", 103}, {"main", 14}, {"hook", 0}},
         "main",
         "root 500/0 {Main.main 500/1 {Work.work:7 100/1}}",
         "root",
         false},
        {"a pool thread: outer frames the hooks do not know",
         {{"Thread.run", 840}, {"Worker.run", 1136}, {"runWorker", 642}, {"Task.run", 9}, {"hook", 0}},
         "Task.run",
         "root 500/0 {ThreadPoolExecutor$Worker.run 500/1 {Task.run 500/1 {Work.work:7 100/1}}}",
         "run",
         false},
        {"called by reflection from main: the filtered call keeps main's line",
         {{"main", 14}, {"Method.invoke", 580}, {"Accessor.invoke", 103}, {"Task.run", 9}, {"hook", 0}},
         "Task.run",
         "root 500/0 {Main.main 500/1 {Method.invoke:14 500/1 {Task.run 500/1 {Work.work:7 100/1}}}}",
         "invoke",
         false},
        {"a constructor called by a hooked method",
         {{"main", 14}, {"Point.<init>", 31}, {"Point.helper", 5}, {"hook", 0}},
         "Point.helper",
         "root 500/0 {Main.main 500/1 {Point.<init>:14 500/1 {Point.helper:31 500/1 {Work.work:7 100/1}}}}",
         "<init>",
         false},
        {"a constructor called by code without hooks is left out",
         {{"Thread.run", 840}, {"Legacy.run", 20}, {"Point.<init>", 31}, {"Point.helper", 5}, {"hook", 0}},
         "Point.helper",
         "root 500/0 {Legacy.run 500/1 {Point.helper 500/1 {Work.work:7 100/1}}}",
         "run",
         false},
        {"a net I/O call on the stack reopens net I/O",
         {{"main", 14}, {"read", 70}, {"Callback.onData", 3}, {"hook", 0}},
         "Callback.onData",
         "root 0/0 {Main.main 0/1 {SocketInputStream.read:14 0/1 {Callback.onData 0/1 {Work.work:7 0/1}}}}",
         "read",
         true},
    };
    cpu.setCpuRecord(true, true);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LiveThreadManager *t = cpu.createThreadManager();
        t->setNetIO(true, 500); // a net I/O call left open before the first hook
        vm.now = 1000;
        vm.stack = stackOf(c.stack);
        EXPECT_EQ(cpu.agentMethodEntry(t, by[c.entered].id, CallStackTree::LINE_PENDING, false, false, true), 0)
            << "the VM's stack already holds it";
        EXPECT_EQ(t->isNetIO(), c.netIo);
        vm.stack.clear();
        cpu.agentLineNumberHint(t, 7);
        enter(t, by["work"].id, 1100, CallStackTree::LINE_PENDING);
        leave(t, by["work"].id, 1200);
        EXPECT_GT(leave(t, by[c.entered].id, 1500), 0) << "the hooks' exit finds the replayed entry";
        EXPECT_EQ(renderRoot(t->getCallStackTree(false)), c.tree);
        const MethodDesc *current = t->getCurrentNode()->getMethod();
        EXPECT_EQ(current == nullptr ? "root" : current->getMethodName(), std::string(c.after));
    }
}

// A VM that gives a thread no frames (a call trace it could not take) still
// has the method whose entry hook runs entered: the entry is recorded, not
// taken as already on the stack.
TEST_F(StackReplayTest, AnEntryTheVmsStackDoesNotHoldIsRecorded)
{
    struct Case {
        const char *name;
        std::vector<std::pair<const char *, uint16_t>> stack; // outermost first
        const char *tree; // after a call of work and the exit of Task.run
    } cases[] = {
        {"no frames at all", {}, "root 500/0 {Task.run 500/1 {Work.work 100/1}}"},
        {"only the agent's hook", {{"hook", 0}}, "root 500/0 {Task.run 500/1 {Work.work 100/1}}"},
    };
    cpu.setCpuRecord(true, true);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LiveThreadManager *t = cpu.createThreadManager();
        vm.now = 1000;
        vm.stack = stackOf(c.stack);
        EXPECT_EQ(cpu.agentMethodEntry(t, by["Task.run"].id, CallStackTree::LINE_PENDING, false, false, true), 1000);
        vm.stack.clear();
        enter(t, by["work"].id, 1100);
        leave(t, by["work"].id, 1200);
        EXPECT_GT(leave(t, by["Task.run"].id, 1500), 0);
        EXPECT_EQ(renderRoot(t->getCallStackTree(false)), c.tree);
    }
}

TEST_F(StackReplayTest, HookedCallsFromCodeWithoutHooksReadTheStackOnce)
{
    cpu.setCpuRecord(true, true);
    LiveThreadManager *t = cpu.createThreadManager();
    // A pool thread runs three tasks from frames without hooks: only the
    // first entry reads the stack, the others go below the frames read then.
    vm.stack = stackOf({{"Thread.run", 840}, {"Worker.run", 1136}, {"runWorker", 642}, {"Task.run", 9}});
    for (long long at : {1000, 2000, 3000}) {
        vm.now = at;
        EXPECT_EQ(cpu.agentMethodEntry(t, by["Task.run"].id, CallStackTree::LINE_PENDING, false, false, true), at == 1000 ? 0 : at);
        leave(t, by["Task.run"].id, at + 300);
    }
    EXPECT_EQ(vm.stackReads, 1);
    // The 700 between the tasks belong to the pool's own frames.
    EXPECT_EQ(renderRoot(t->getCallStackTree(false)), "root 2300/0 {ThreadPoolExecutor$Worker.run 2300/1 {Task.run 900/3}}");
}

TEST_F(StackReplayTest, EachRecordingStartReadsEveryStackOnceAtItsNextEntry)
{
    struct Case {
        const char *name;
        bool reset;
        const char *tree; // after the second recording
    } cases[] = {
        // main was counted in the first recording, Task.run began while
        // nothing recorded; the entered work counts.
        {"going on with the trees", false, "root 800/0 {Main.main 800/1 {Task.run:8 200/0 {Work.work:3 100/1}, Work.work:7 400/3}}"},
        // A tree that starts empty counts the calls in progress once.
        {"with a reset", true, "root 300/0 {Main.main 300/1 {Task.run:8 200/1 {Work.work:3 100/1}, Work.work:7 100/1}}"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        cpu.setCpuRecord(true, true);
        LiveThreadManager *t = cpu.createThreadManager();
        vm.stackReads = 0;
        vm.now = 1000;
        vm.stack = stackOf({{"main", 14}});
        cpu.agentMethodEntry(t, by["main"].id, CallStackTree::LINE_PENDING, false, false, true);
        vm.stack.clear();
        cpu.agentLineNumberHint(t, 7);
        enter(t, by["work"].id, 1100, CallStackTree::LINE_PENDING);
        leave(t, by["work"].id, 1400);
        enter(t, by["work"].id, 1500, 7);
        cpu.setCpuRecord(false, false);
        // Nothing reaches the agent while nothing records: work ends and
        // Task.run begins unseen. Then recording starts inside Task.run.
        cpu.setCpuRecord(true, c.reset);
        vm.now = 9000;
        EXPECT_EQ(leave(t, by["Task.run"].id, 9000), 0) << "an exit before the stack is read again changes nothing";
        vm.stack = stackOf({{"main", 8}, {"Task.run", 3}, {"work", 0}});
        EXPECT_EQ(cpu.agentMethodEntry(t, by["work"].id, 7, false, false, true), 0) << "the VM's stack already holds it";
        vm.stack.clear();
        leave(t, by["work"].id, 9100);
        leave(t, by["Task.run"].id, 9200);
        enter(t, by["work"].id, 9200, 7);
        leave(t, by["work"].id, 9300);
        EXPECT_EQ(vm.stackReads, 2) << "once per recording start";
        EXPECT_EQ(renderRoot(t->getCallStackTree(false)), c.tree);
        cpu.setCpuRecord(false, false);
    }
}

TEST_F(StackReplayTest, TheTracerStartsWithTheCallsTheHooksKnow)
{
    struct Case {
        const char *name;
        bool filtered;
        std::vector<const char *> traced;
    } cases[] = {
        {"unfiltered", false, {"Task.run", "Point.helper", "work"}},
        {"with filtered calls", true, {"Task.run", "Method.invoke", "Point.helper", "work"}},
    };
    std::vector<std::pair<const char *, uint16_t>> frames = {{"Thread.run", 840},   {"Task.run", 9},     {"Method.invoke", 580},
                                                             {"Accessor.invoke", 103}, {"Point.<init>", 31}, {"Point.helper", 5}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(cpu.setTraceRecord(true, c.filtered, true, 100));
        LiveThreadManager *t = cpu.createThreadManager();
        vm.now = 1000;
        vm.stack = stackOf(frames);
        cpu.agentMethodEntry(t, by["Point.helper"].id, CallStackTree::LINE_PENDING, false, false, true);
        std::vector<std::pair<const char *, uint16_t>> deeper = frames;
        deeper.push_back({"work", 12});
        vm.stack = stackOf(deeper);
        enter(t, by["work"].id, 1100);
        vm.stack.clear();
        CharVectorDataWriter w;
        cpu.handleCmdGetTraces(&w, &classes);
        Wire expected;
        expected.u4(static_cast<uint32_t>(c.traced.size()));
        for (const char *m : c.traced)
            expected.id(t).id(by[m].record).jlong(1100);
        expected.u4(1).u4(0);
        expectPrefix(bytesOf(w), expected);
    }
}

// Command 64's cap: a front end may ask for up to 4 billion records; the
// tracer keeps at most its limit and says so when it lowers the cap.
TEST_F(CpuRecordingTest, TheCallTracersCapIsBounded)
{
    struct Case {
        const char *name;
        std::vector<unsigned char> command; // byte all, byte filtered, U4 cap
        std::string log;
        uint32_t kept;                      // records with a method, after one start record
    };
    const Case cases[] = {
        {"a small cap", {1, 0, 0, 0, 0, 10}, "", 9},
        {"the limit itself", {1, 0, 0x00, 0x0F, 0x42, 0x40}, "", CpuProfilingSession::MAX_TRACE_RECORDS - 1},
        {"above the limit", {1, 0, 0xFF, 0xFF, 0xFF, 0xFF},
         "Orvane> Call tracer cap 4294967295 is above the limit of 1000000 records; using 1000000.\n",
         CpuProfilingSession::MAX_TRACE_RECORDS - 1},
    };
    int32_t main = method("main"), a = method("a");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ByteArrayDataReader request(reinterpret_cast<const char *>(c.command.data()), static_cast<int>(c.command.size()));
        testing::internal::CaptureStderr();
        cpu.handleCmdSetTraceRecord(&request);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.log);
        EXPECT_TRUE(cpu.isRecording()) << "the tracer switches recording on";
        LiveThreadManager *t = startThread(main);
        // More calls than the limit holds records.
        for (long long i = 0; i < 600000; i++) {
            enter(t, a, 1000 + 2 * i);
            leave(t, a, 1001 + 2 * i);
        }
        CharVectorDataWriter w;
        cpu.handleCmdGetTraces(&w, &classes);
        std::vector<unsigned char> reply = bytesOf(w);
        ASSERT_GE(reply.size(), 4u);
        uint32_t withMethod = (uint32_t(reply[0]) << 24) | (uint32_t(reply[1]) << 16) | (uint32_t(reply[2]) << 8) | reply[3];
        EXPECT_EQ(withMethod, c.kept);
        leave(t, main, 2000000);
    }
}

// An exception handler ends the calls above its method; a handler of a
// method that is not on the stack (a constructor called from code without
// hooks) leaves every recorded call in place.
TEST_F(CpuRecordingTest, ExceptionHandlersUnwindOnlyAboveTheirMethod)
{
    int32_t main = method("main"), a = method("a"), b = method("b"), init = method("<init>");
    struct Case {
        const char *name;
        int32_t handler;
        int top;                // method stack depth after the handler
        const char *current;    // the current node's method then
        const char *tree;       // after the methods still on the stack exited
    } cases[] = {
        {"the handler's method is on top", a, 4, "a", "root 70/0 {main 70/0 {a 60/1 {b 40/1 {a 20/1}}}}"},
        {"the recursive call above b ends", b, 3, "b", "root 60/0 {main 60/0 {a 50/1 {b 30/1 {a 10/1}}}}"},
        {"everything above main ends", main, 1, "main", "root 40/0 {main 40/0 {a 30/1 {b 20/1 {a 10/1}}}}"},
        {"a constructor that is not on the stack", init, 4, "a", "root 70/0 {main 70/0 {a 60/1 {b 40/1 {a 20/1}}}}"},
    };
    cpu.setCpuRecord(true, true);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LiveThreadManager *t = startThread(main);
        enter(t, a, 100);
        enter(t, b, 110);
        enter(t, a, 120);
        vm.now = 130;
        cpu.agentMethodExceptionHandler(t, c.handler);
        EXPECT_EQ(t->getMethodStackTop(), c.top);
        const MethodDesc *current = t->getCurrentNode()->getMethod();
        EXPECT_STREQ(current == nullptr ? "root" : current->getMethodName(), c.current);
        long long at = 140;
        while (t->getMethodStackTop() > 0) {
            int32_t top = cpu.getMethodHandles().findHandle(t->getMethodStackEntry(t->getMethodStackTop()));
            EXPECT_GT(leave(t, top, at), 0);
            at += 10;
        }
        EXPECT_EQ(render(t->getCallStackTree(false)), c.tree);
    }
}

} // namespace

namespace {

// Counts the times the Java side is told to forget its probe payloads.
class CountingAnnotationBytes : public AnnotationBytes {
public:
    bool getBytes(const std::vector<long long> &, std::vector<unsigned char> *) override { return false; }
    void reset() override { resets++; }
    int resets = 0;
};

} // namespace

// The Java side's probe payloads are forgotten each time CPU recording that
// was off starts again, and only then: its ids would name nodes of trees
// that were cleared.
TEST_F(CpuRecordingTest, ProbePayloadsAreForgottenWhenRecordingStartsAgain)
{
    CountingAnnotationBytes javaSide;
    cpu.setAnnotationBytes(&javaSide);
    // Command 38: byte on/off, U4 0 tracked probes.
    auto command38 = [&](bool on) {
        Wire request = Wire().byte(on ? 1 : 0).u4(0);
        ByteArrayDataReader reader(request.b.data(), static_cast<int>(request.b.size()));
        cpu.handleCmdSetRecordCpu(&reader);
    };
    struct Step {
        const char *what;
        std::function<void()> run;
        int resets;
        bool recording;
    } steps[] = {
        {"on while off", [&] { command38(true); }, 1, true},
        {"on while on", [&] { command38(true); }, 1, true},
        {"off", [&] { command38(false); }, 1, false},
        {"off while off", [&] { command38(false); }, 1, false},
        {"on again", [&] { command38(true); }, 2, true},
        {"tracer while on", [&] { ASSERT_TRUE(cpu.setTraceRecord(true, false, true, 10)); }, 2, true},
        {"off", [&] { command38(false); }, 2, false},
        {"tracer while off", [&] { ASSERT_TRUE(cpu.setTraceRecord(true, false, true, 10)); }, 3, true},
        {"tracer off", [&] { ASSERT_TRUE(cpu.setTraceRecord(false, false, false, 10)); }, 3, true},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.what);
        step.run();
        EXPECT_EQ(javaSide.resets, step.resets);
        EXPECT_EQ(cpu.isRecording(), step.recording);
    }
    // A broken request changes nothing.
    command38(false);
    Wire cut = Wire().byte(1);
    ByteArrayDataReader reader(cut.b.data(), static_cast<int>(cut.b.size()));
    cpu.handleCmdSetRecordCpu(&reader);
    EXPECT_EQ(javaSide.resets, 3);
    EXPECT_FALSE(cpu.isRecording());
    cpu.setAnnotationBytes(nullptr);
}

namespace {

// Keeps every tracking list the Java side is given.
class TrackingAnnotationBytes : public AnnotationBytes {
public:
    bool getBytes(const std::vector<long long> &, std::vector<unsigned char> *) override { return false; }
    void setTracking(const std::vector<int> &ids) override { lists.push_back(ids); }
    std::vector<std::vector<int>> lists;
};

} // namespace

// Command 38's probe ids reach the Java side whole, also when recording
// already runs; a list cut short reaches it not at all and switches nothing.
TEST_F(CpuRecordingTest, TrackedProbeIdsOfCommand38GoToTheJavaSide)
{
    TrackingAnnotationBytes javaSide;
    cpu.setAnnotationBytes(&javaSide);
    struct Case {
        const char *what;
        std::vector<unsigned char> request;
        std::vector<std::vector<int>> lists;
        bool recording;
    } cases[] = {
        {"on, two ids", {1, 0, 0, 0, 2, 0, 0, 0, 10, 0xFF, 0xFF, 0xFF, 0xFE}, {{10, -2}}, true},
        {"on while on, one id", {1, 0, 0, 0, 1, 0, 0, 1, 0}, {{10, -2}, {256}}, true},
        {"cut short", {0, 0, 0, 0, 2, 0, 0, 0, 7}, {{10, -2}, {256}}, true},
        {"off, none", {0, 0, 0, 0, 0}, {{10, -2}, {256}, {}}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ByteArrayDataReader reader(c.request.data(), static_cast<int>(c.request.size()));
        cpu.handleCmdSetRecordCpu(&reader);
        EXPECT_EQ(javaSide.lists, c.lists);
        EXPECT_EQ(cpu.isRecording(), c.recording);
    }
    cpu.setAnnotationBytes(nullptr);
}
