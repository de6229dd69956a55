// The recorder's native state: the method set its switch builds from the
// Java side's identifiers, and the policies of probe and class methods.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "ClassData.h"
#include "ClassProfilingSession.h"
#include "MethodDesc.h"
#include "PointerHashSet.h"
#include "ProfilingSession.h"
#include "Recorder.h"
#include "RecorderMethodIds.h"

namespace {

std::set<uintptr_t> contents(PointerHashSet<void> &set)
{
    std::set<uintptr_t> out;
    PHSIterator<void> *it = set.getSinglePHSIterator();
    for (PHSEntry<void> *e = it->nextPHSEntry(); e != nullptr; e = it->nextPHSEntry())
        out.insert(reinterpret_cast<uintptr_t>(e->getValue()));
    return out;
}

TEST(RecorderMethodIdsTest, DistinctNonZeroLowHalves)
{
    struct Case {
        const char *what;
        std::vector<int64_t> ids;
        std::set<uintptr_t> expected;
    };
    const Case cases[] = {
        {"duplicates and zero", {5, 5, 0, 7}, {5, 7}},
        {"empty", {}, {}},
        {"only zero", {0, 0}, {}},
        {"high half dropped", {0x100000005LL, 5, 0x700000000LL}, {5}},
        {"negative ids keep their low half", {-1, -2}, {0xFFFFFFFFu, 0xFFFFFFFEu}},
    };
    for (const Case &c : cases) {
        std::unique_ptr<PointerHashSet<void>> set = collectRecorderMethodIds(c.ids.data(), c.ids.size());
        EXPECT_EQ(contents(*set), c.expected) << c.what;
        EXPECT_EQ(set->size(), static_cast<int>(c.expected.size())) << c.what;
        EXPECT_EQ(set->getCapacity(), 11) << c.what;
    }
}

TEST(RecorderMethodIdsTest, GrowsToTwiceAndOneAsItFills)
{
    std::vector<int64_t> ids;
    for (int64_t i = 1; i <= 8; i++)
        ids.push_back(i);
    // 11 x 0.75 = 8 entries fit; the ninth grows the table to 23.
    EXPECT_EQ(collectRecorderMethodIds(ids.data(), ids.size())->getCapacity(), 11);
    ids.push_back(9);
    std::unique_ptr<PointerHashSet<void>> set = collectRecorderMethodIds(ids.data(), ids.size());
    EXPECT_EQ(set->getCapacity(), 23);
    EXPECT_EQ(set->size(), 9);
    for (uint32_t id = 1; id <= 9; id++)
        EXPECT_TRUE(set->contains(recorderMethodKey(id))) << id;
}

TEST(RecorderTest, SwitchKeepsTheMethodsItWasGiven)
{
    Recorder &recorder = Recorder::instance();
    const int64_t ids[] = {5, 5, 0, 7};
    recorder.setRecording(true, collectRecorderMethodIds(ids, 4), nullptr);
    EXPECT_TRUE(recorder.isRecording());
    EXPECT_TRUE(recorder.isNativelyRecorded(5));
    EXPECT_TRUE(recorder.isNativelyRecorded(7));
    EXPECT_FALSE(recorder.isNativelyRecorded(0));
    EXPECT_FALSE(recorder.isNativelyRecorded(6));
    recorder.setRecording(false, collectRecorderMethodIds(nullptr, 0), nullptr);
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_FALSE(recorder.isNativelyRecorded(5));
}

TEST(RecorderTest, PoliciesOnlyForProbeAndClassMethods)
{
    ProfilingSession profiling;
    ClassProfilingSession session(&profiling);
    ClassData annotation("_orvane_annotation_class", ClassData::COMPONENT_ANNOTATION);
    ClassData cumulation("_orvane_cumul_class", ClassData::COMPONENT_CUMULATION);
    ClassData *plain = new ClassData("com.x.Plain", &session);
    session.addClassData(plain);
    MethodDesc *probe = new MethodDesc(&annotation, "probe.jdbc", -1, "()V", -1, &session, "probe.jdbc");
    MethodDesc *classNode = new MethodDesc(&cumulation, "com.x.Plain", -1, "()V", -1, &session, "com.x.Plain");
    MethodDesc *cleared = new MethodDesc(&cumulation, "com.x.Gone", -1, "()V", -1, &session, "com.x.Gone");
    MethodDesc *ordinary = new MethodDesc(plain, "run", -1, "()V", -1, &session, "com.x.Plain");
    for (MethodDesc *m : {probe, classNode, cleared, ordinary})
        session.addMethodDesc(m);

    std::vector<std::string> asked;
    Recorder &recorder = Recorder::instance();
    recorder.updatePolicies(session.getMethods(), &annotation, &cumulation,
                            [&asked](bool annotationMethod, const char *name, Recorder::Policy *out) {
                                asked.push_back(std::string(annotationMethod ? "A " : "C ") + name);
                                out->limit1 = 10;
                                out->on1 = true;
                                out->limit2 = 20;
                                out->on2 = false;
                                out->limit3 = 30;
                                out->on3 = true;
                                out->last = 4;
                                return true;
                            });
    EXPECT_EQ(std::set<std::string>(asked.begin(), asked.end()),
              (std::set<std::string>{"A probe.jdbc", "C com.x.Plain", "C com.x.Gone"}));
    Recorder::Policy policy;
    EXPECT_FALSE(recorder.getPolicy(ordinary, &policy)) << "an ordinary method has no policy";
    ASSERT_TRUE(recorder.getPolicy(probe, &policy));
    EXPECT_EQ(policy.limit1, 10);
    EXPECT_TRUE(policy.on1);
    EXPECT_EQ(policy.limit2, 20);
    EXPECT_FALSE(policy.on2);
    EXPECT_EQ(policy.limit3, 30);
    EXPECT_TRUE(policy.on3);
    EXPECT_EQ(policy.last, 4);

    // No answer for one method: its limits are cleared, its switches and last value stay.
    recorder.updatePolicies(session.getMethods(), &annotation, &cumulation,
                            [cleared](bool, const char *name, Recorder::Policy *out) {
                                if (std::string(name) == cleared->getMethodName())
                                    return false;
                                out->limit1 = 11;
                                return true;
                            });
    ASSERT_TRUE(recorder.getPolicy(cleared, &policy));
    EXPECT_EQ(policy.limit1, 0);
    EXPECT_EQ(policy.limit2, 0);
    EXPECT_EQ(policy.limit3, 0);
    EXPECT_TRUE(policy.on1);
    EXPECT_TRUE(policy.on3);
    EXPECT_EQ(policy.last, 4);
    ASSERT_TRUE(recorder.getPolicy(probe, &policy));
    EXPECT_EQ(policy.limit1, 11);
    EXPECT_EQ(policy.limit2, 0) << "a new answer replaces the whole policy";
}

} // namespace

TEST(RecorderTest, PolicySortsRunsByThresholds)
{
    ProfilingSession profiling;
    ClassProfilingSession session(&profiling);
    ClassData annotation("_orvane_annotation_class", ClassData::COMPONENT_ANNOTATION);
    ClassData cumulation("_orvane_cumul_class", ClassData::COMPONENT_CUMULATION);
    using Kind = Recorder::RunKind;
    struct Case {
        const char *what;
        Recorder::Policy policy;
        std::vector<long long> runs; // microseconds
        std::vector<Kind> kinds;
    };
    const Case cases[] = {
        // Milliseconds: strictly above the limit, t / 1000 truncated.
        {"absolute", {2, false, 5, true, 0, false, 0}, {2999, 3000, 5999, 6000}, {Kind::ORDINARY, Kind::SLOW, Kind::SLOW, Kind::VERY_SLOW}},
        {"absolute, upper only", {0, false, 5, true, 0, false, 0}, {3000, 6000}, {Kind::ORDINARY, Kind::VERY_SLOW}},
        // Average: the first eleven runs only make it (a slow eleventh one
        // too); the twelfth is judged against the average that takes it in:
        // (10 x 100 + 1000 + 300) / 12 = 191, 191 x 150 / 100 = 286 < 300,
        // 191 x 300 / 100 = 573.
        {"average",
         {150, true, 300, false, 0, false, 0},
         {100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 1000, 300},
         {Kind::ORDINARY, Kind::ORDINARY, Kind::ORDINARY, Kind::ORDINARY, Kind::ORDINARY, Kind::ORDINARY, Kind::ORDINARY,
          Kind::ORDINARY, Kind::ORDINARY, Kind::ORDINARY, Kind::ORDINARY, Kind::SLOW}},
        // A long average times the largest percentage stays a limit no run passes.
        {"average, wide",
         {150, true, INT32_MAX, false, 0, false, 0},
         {1000000000000LL, 1000000000000LL, 1000000000000LL, 1000000000000LL, 1000000000000LL, 1000000000000LL,
          1000000000000LL, 1000000000000LL, 1000000000000LL, 1000000000000LL, 1000000000000LL, 2000000000000LL},
         {Kind::ORDINARY, Kind::ORDINARY, Kind::ORDINARY, Kind::ORDINARY, Kind::ORDINARY, Kind::ORDINARY, Kind::ORDINARY,
          Kind::ORDINARY, Kind::ORDINARY, Kind::ORDINARY, Kind::ORDINARY, Kind::SLOW}},
        // Neither switch: every run is an ordinary one.
        {"no mode", {1, false, 2, false, 0, false, 0}, {5000000}, {Kind::ORDINARY}},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string name = "probe.sort" + std::to_string(n++);
        MethodDesc *probe = new MethodDesc(&annotation, name.c_str(), -1, "()V", -1, &session, name.c_str());
        session.addMethodDesc(probe);
        // The recorder is the process's: a method freed by an earlier test
        // may have left a policy at this address, which this one replaces.
        Recorder &recorder = Recorder::instance();
        recorder.updatePolicies({probe}, &annotation, &cumulation, [&c](bool, const char *, Recorder::Policy *out) {
            *out = c.policy;
            return true;
        });
        EXPECT_TRUE(recorder.sortsRuns(probe));
        std::vector<Kind> kinds;
        for (long long t : c.runs)
            kinds.push_back(recorder.sortRun(probe, t));
        EXPECT_EQ(kinds, c.kinds);
    }
}
