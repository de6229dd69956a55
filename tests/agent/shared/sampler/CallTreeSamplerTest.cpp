// Sampled call trees: the sampler pass turns each thread's stack into entries
// and exits on its recording and puts the pass's interval on the innermost
// node, as waiting time while the thread sleeps.
#include <gtest/gtest.h>

#include "CallTreeSampler.h"
#include "LiveSamplerSession.h"
#include "ProfilingTestSupport.h"

namespace {

CpuProfilingSession::Settings sampling()
{
    CpuProfilingSession::Settings s;
    s.collectionMethod = 3;
    return s;
}

class CallTreeSamplerTest : public CpuSessionTest {
protected:
    CallTreeSamplerTest() : CpuSessionTest("app.Main", sampling()), threadClass("java.lang.Thread", &classes)
    {
        main = method("main");
        work = method("work");
        hot = method("hot");
        MethodDesc *s = new MethodDesc(&threadClass, "sleep", -1, "(J)V", -1, &classes, threadClass.getClassName());
        classes.addMethodDesc(s);
        sleep = s;
        thread = cpu.createThreadManager();
        thread->ensureThreadDesc();
        thread->threadHandle = &handle;
        cpu.setCpuRecord(true, true);
        vm.givesThreadStacks = true;
    }

    // One pass at `now` with the thread's stack (outermost first).
    void pass(LiveSamplerSession &sampler, long long now, std::vector<VmInterface::StackFrame> stack)
    {
        vm.threadStacks = {{&handle, stack}};
        vm.now = now;
        sampler.doThreadStatusSampling(now, false);
    }
    std::string tree() { return renderTree(thread->getCallStackTree(false), TreeText::Cpu); }

    ClassData threadClass;
    int32_t main = 0, work = 0, hot = 0;
    MethodDesc *sleep = nullptr;
    LiveThreadManager *thread = nullptr;
    int handle = 0;
};

TEST_F(CallTreeSamplerTest, StacksBecomeTheTreeAndIntervalsGoToTheInnermostNode)
{
    LiveSamplerSession sampler(&cpu, 10);
    pass(sampler, 1000, {{desc(main), 7}, {desc(work), 12}, {desc(hot), 3}}); // sets the clock
    pass(sampler, 11000, {{desc(main), 7}, {desc(work), 12}, {desc(hot), 3}});
    pass(sampler, 21000, {{desc(main), 7}, {desc(work), 12}, {desc(hot), 3}});
    // work moved on to another call site: hot left and entered under line 14.
    pass(sampler, 31000, {{desc(main), 7}, {desc(work), 14}, {desc(hot), 3}});
    // Back in main: work and hot left.
    pass(sampler, 41000, {{desc(main), 9}});
    EXPECT_EQ(tree(), "root 40000/0 {main 40000/0 {work:7 30000/0 {hot:14 10000/0, hot:12 20000/0}}}");
}

// On the application's main thread the frames that run its main (a
// launcher's) are not sampled: the tree starts at main. The main first met
// bounds later passes too, also when an inner method is named main.
TEST_F(CallTreeSamplerTest, TheMainThreadIsSampledFromItsMainInwards)
{
    int32_t launch = method("launch");
    thread->setAgentMainThread();
    LiveSamplerSession sampler(&cpu, 10);
    pass(sampler, 1000, {{desc(launch), 40}, {desc(main), 7}, {desc(work), 12}}); // sets the clock
    pass(sampler, 11000, {{desc(launch), 40}, {desc(main), 7}, {desc(work), 12}});
    int32_t innerMain = method("main");
    pass(sampler, 21000, {{desc(launch), 40}, {desc(main), 7}, {desc(innerMain), 3}});
    EXPECT_EQ(tree(), "root 20000/0 {main 20000/0 {main:7 10000/0, work:7 10000/0}}");
}

TEST_F(CallTreeSamplerTest, RequestsInProgressStandAboveTheStack)
{
    int32_t request = method("request");
    int javaManager = 0;
    thread->javaThreadManager = &javaManager;
    LiveSamplerSession sampler(&cpu, 10);
    std::vector<VmInterface::StackFrame> stack = {{desc(main), 7}, {desc(work), 12}};
    pass(sampler, 1000, stack); // sets the clock
    // A request begins: the stack is left and entered again below it.
    vm.threadRequests[&javaManager] = {request};
    pass(sampler, 11000, stack);
    pass(sampler, 21000, stack);
    // It ended: the stack is back at the root.
    vm.threadRequests[&javaManager] = {};
    pass(sampler, 31000, stack);
    // A handle the agent never gave names no request: nothing changes.
    vm.threadRequests[&javaManager] = {987654};
    pass(sampler, 41000, stack);
    EXPECT_EQ(tree(), "root 40000/0 {request 20000/0 {main 20000/0 {work:7 20000/0}}, main 20000/0 {work:7 20000/0}}");
}

TEST_F(CallTreeSamplerTest, AnInnermostSleepIsWaitingTime)
{
    LiveSamplerSession sampler(&cpu, 10);
    pass(sampler, 1000, {{desc(main), 7}, {sleep, 0}});
    pass(sampler, 11000, {{desc(main), 7}, {sleep, 0}});
    EXPECT_EQ(tree(), "root 0/0 {main 0/0 {sleep:7 0/0}}") << "no runnable time";
    const CallStackTree *sleeping = thread->getCallStackTree(false)->getFirstChild()->getFirstChild();
    ASSERT_NE(sleeping->getMonitorTimeValues(), nullptr);
    EXPECT_EQ(sleeping->getMonitorTimeValues()->getWaitingTime(), 10000);
    struct Case {
        const char *name;
        bool sleeping;
    } cases[] = {{"sleep", true}, {"sleepNanos", true}, {"sleepNanos0", true}, {"sleep0", true}, {"interrupt", false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        MethodDesc m(&threadClass, c.name, -1, "()V", -1, &classes, threadClass.getClassName());
        EXPECT_EQ(CallTreeSampler::isSleeping({{desc(main), 1}, {&m, 0}}), c.sleeping);
    }
    EXPECT_FALSE(CallTreeSampler::isSleeping({{sleep, 1}, {desc(main), 0}})) << "only the innermost frame counts";
}

TEST_F(CallTreeSamplerTest, ThreadsWithTheirOwnHooksAreLeftAlone)
{
    LiveSamplerSession sampler(&cpu, 10);
    vm.stack = {{desc(work), 0}};
    enter(thread, work, 500); // a timed event of the thread's own hooks
    vm.stack.clear();
    std::string hooked = tree();
    pass(sampler, 1000, {{desc(main), 7}, {desc(hot), 3}});
    pass(sampler, 11000, {{desc(main), 7}, {desc(hot), 3}});
    EXPECT_EQ(tree(), hooked) << "the sampler changed a tree its hooks record";
    EXPECT_NE(hooked.find("work"), std::string::npos) << hooked;
}

TEST_F(CallTreeSamplerTest, NothingWithoutRecordingOrWithInstrumentation)
{
    cpu.setCpuRecord(false, false);
    LiveSamplerSession sampler(&cpu, 10);
    pass(sampler, 1000, {{desc(main), 7}});
    pass(sampler, 11000, {{desc(main), 7}});
    EXPECT_EQ(tree(), "root 0/0") << "no stacks read while neither CPU nor allocations are recorded";
}

} // namespace
