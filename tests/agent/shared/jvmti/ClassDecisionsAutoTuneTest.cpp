// Auto-tuning picks the short, very frequent methods that take a noticeable
// share of the recorded time, once each.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ClassDecisionsAutoTune.h"
#include "ProfilingTestSupport.h"
#include "SessionConfig.h"

namespace {

class ClassDecisionsAutoTuneTest : public CpuSessionTest {
protected:
    ClassDecisionsAutoTuneTest() : CpuSessionTest("app.Work")
    {
        config.instrumentationType = 1;
        config.autoTuneMinPerMille = 10;
        config.autoTuneMaxAverage = 100;
        cpu.setCpuRecord(true, true);
    }

    LiveThreadManager *startThread(int32_t outer)
    {
        LiveThreadManager *t = cpu.createThreadManager();
        vm.stack = {{desc(outer), 0}};
        cpu.agentMethodEntry(t, outer, 0, false, false, true);
        vm.stack.clear();
        return t;
    }

    // `calls` calls of `id` from the current node, each `each` microseconds long.
    void call(LiveThreadManager *t, int32_t id, int calls, long long each)
    {
        for (int i = 0; i < calls; i++) {
            enter(t, id, clock);
            clock += each;
            leave(t, id, clock);
        }
    }

    int tune() { return autoTune.autoTuneInstrumentation(&cpu, &classes, &profiling, config, false); }

    SessionConfig config;
    ClassDecisionsAutoTune autoTune;
    long long clock = 1000;
};

TEST_F(ClassDecisionsAutoTuneTest, PicksFrequentShortMethodsOnce)
{
    int32_t main = method("main");
    int32_t tiny = method("tiny");       // 1,500 calls of 10 us: picked
    int32_t slow = method("slow");       // 1,500 calls of 500 us: too long on average
    int32_t rare = method("rare");       // 1,000 calls of 10 us: not more than 1,000 calls
    int32_t hidden = method("hidden");   // 1,500 calls of 1 us: under 10 per mille of the total
    LiveThreadManager *t = startThread(main);
    call(t, tiny, 1500, 10);
    call(t, slow, 1500, 500);
    call(t, rare, 1000, 10);
    call(t, hidden, 1500, 1);

    EXPECT_EQ(1, tune());
    EXPECT_EQ(std::vector<std::string>{"app.Work.tiny()V"}, autoTune.takePicked());
    EXPECT_EQ(1500, desc(tiny)->statCount);
    EXPECT_EQ(15000, desc(tiny)->statTime);
    EXPECT_TRUE(autoTune.takePicked().empty());

    // A second pass finds the same method again but does not pick it twice;
    // the statistics start from zero each time.
    EXPECT_EQ(0, tune());
    EXPECT_TRUE(autoTune.takePicked().empty());
    EXPECT_EQ(1500, desc(tiny)->statCount);
    EXPECT_EQ(15000, desc(tiny)->statTime);
}

TEST_F(ClassDecisionsAutoTuneTest, IgnoredThreadsAndOtherSettingsPickNothing)
{
    int32_t main = method("main");
    int32_t tiny = method("tiny");
    LiveThreadManager *t = startThread(main);
    call(t, tiny, 1500, 10);

    struct Case {
        const char *what;
        int instrumentationType;
        bool autoTuneOn;
        bool ignoreThread;
    };
    const Case cases[] = {
        {"sampling", 3, true, false},
        {"auto-tuning off", 1, false, false},
        {"thread ignored", 1, true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        config.instrumentationType = c.instrumentationType;
        config.autoTuneInstrumentation = c.autoTuneOn;
        t->setIgnoredFlag(c.ignoreThread);
        EXPECT_EQ(0, tune());
        EXPECT_TRUE(autoTune.takePicked().empty());
    }
    config.instrumentationType = 2;
    config.autoTuneInstrumentation = true;
    t->setIgnoredFlag(false);
    EXPECT_EQ(1, tune());
}

} // namespace
