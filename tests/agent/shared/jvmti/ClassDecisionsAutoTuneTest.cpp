// Auto-tuning picks the short, very frequent methods that take a noticeable
// share of the recorded time, once each.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "CharVectorDataWriter.h"
#include "ClassDecisionsAutoTune.h"
#include "Instrumenter.h"
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
        Instrumenter::initialize(&classes, &profiling, &cpu.getMethodHandles());
    }

    // What command 59 carries of the picks since the last call.
    std::vector<char> frontEndBytes()
    {
        CharVectorDataWriter writer;
        autoTune.writeNewAutoTuneMethods(&writer);
        writer.flush();
        return writer.getBytes();
    }

    static bool hooksLeftOut(const char *slashClass, const char *name, const char *signature)
    {
        return Instrumenter::isIgnoredMethod(slashClass, name, static_cast<int>(strlen(name)), signature,
                                             static_cast<int>(strlen(signature)));
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

// A picked method loses its hooks in every later rewriting of its class, and
// the front end hears of it once, by its ID (8 bytes, host order), unless
// its class is a proxy.
TEST_F(ClassDecisionsAutoTuneTest, PickedMethodsLoseTheirHooksAndTheFrontEndHearsOfThemOnce)
{
    int32_t main = method("main");
    int32_t tiny = method("tiny");
    ClassData proxyClass("jdk.proxy1.$Proxy3", &classes);
    MethodDesc *proxied = new MethodDesc(&proxyClass, "invoke", -1, "()V", -1, &classes, proxyClass.getClassName());
    classes.addMethodDesc(proxied);
    int32_t proxy = cpu.getMethodHandles().getHandle(proxied);
    LiveThreadManager *t = startThread(main);
    call(t, tiny, 1500, 10);
    call(t, proxy, 1500, 10);

    EXPECT_FALSE(hooksLeftOut("app/Work", "tiny", "()V"));
    EXPECT_EQ(std::vector<char>{0}, frontEndBytes());
    EXPECT_EQ(2, tune());
    const struct {
        const char *cls;
        const char *name;
        const char *signature;
        bool leftOut;
    } rows[] = {
        {"app/Work", "tiny", "()V", true},
        {"app.Work", "tiny", "()V", true},
        {"jdk/proxy1/$Proxy3", "invoke", "()V", true},
        {"app/Work", "tiny", "(I)V", false},
        {"app/Work", "main", "()V", false},
        {"app/Other", "tiny", "()V", false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.cls) + " " + row.name + row.signature);
        EXPECT_EQ(row.leftOut, hooksLeftOut(row.cls, row.name, row.signature));
    }

    std::vector<char> expected = {1};
    MethodDesc *tinyDesc = desc(tiny);
    uint64_t id = reinterpret_cast<uintptr_t>(tinyDesc);
    expected.insert(expected.end(), reinterpret_cast<const char *>(&id), reinterpret_cast<const char *>(&id) + 8);
    expected.push_back(0);
    EXPECT_EQ(expected, frontEndBytes());
    EXPECT_EQ(std::vector<char>{0}, frontEndBytes()) << "sent once";
    EXPECT_EQ(0, tune());
    EXPECT_EQ(std::vector<char>{0}, frontEndBytes());
    // Java's list is its own: taking it leaves the front end's alone and back.
    EXPECT_EQ(2u, autoTune.takePicked().size());
    EXPECT_TRUE(hooksLeftOut("app/Work", "tiny", "()V")) << "still without hooks once handed out";

    // A new start of the instrumenter forgets the picks.
    Instrumenter::initialize(&classes, &profiling, &cpu.getMethodHandles());
    EXPECT_FALSE(hooksLeftOut("app/Work", "tiny", "()V"));
}

} // namespace
