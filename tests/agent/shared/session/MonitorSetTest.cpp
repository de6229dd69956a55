#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MonitorSet.h"

namespace {

class RecordingBackend : public MonitorSet::Backend {
public:
    std::vector<std::string> calls;
    void enter(int which) override { calls.push_back("+" + std::to_string(which)); }
    void exit(int which) override { calls.push_back("-" + std::to_string(which)); }
};

typedef std::vector<std::string> Calls;

} // namespace

TEST(MonitorSetTest, EntersInFixedOrderAndLeavesInReverse)
{
    struct Case {
        int bits;
        Calls expect;
    };
    const Case cases[] = {
        {IM_CLASS, {"+1", "-1"}},
        {IM_CLASS | IM_HEAP, {"+1", "+2", "-2", "-1"}},
        {IM_CLASS | IM_THREAD, {"+4", "+1", "-1", "-4"}},
        {IM_THREAD | IM_DEAD_THREADS, {"+8", "+4", "-4", "-8"}},
        {13, {"+8", "+4", "+1", "-1", "-4", "-8"}},
        {IM_ALL, {"+8", "+4", "+1", "+2", "-2", "-1", "-4", "-8"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.bits);
        RecordingBackend backend;
        MonitorSet set(&backend);
        set.setCreated();
        set.enter(c.bits);
        set.exit(c.bits);
        EXPECT_EQ(backend.calls, c.expect);
    }
}

TEST(MonitorSetTest, StartupLockStandsInUntilTheFourExist)
{
    RecordingBackend backend;
    MonitorSet set(&backend);
    set.enter(IM_ALL);
    set.exit(IM_ALL);
    EXPECT_EQ(backend.calls, (Calls{"+0", "-0"}));
}

TEST(MonitorSetTest, ExitReleasesWhatItsEnterTook)
{
    // The four locks appear while a thread holds the start-up lock: its exit
    // must release the start-up lock, not locks it never entered.
    RecordingBackend backend;
    MonitorSet set(&backend);
    set.enter(IM_CLASS);
    set.setCreated();
    set.enter(IM_HEAP); // nested, after creation
    set.exit(IM_HEAP);
    set.exit(IM_CLASS);
    EXPECT_EQ(backend.calls, (Calls{"+0", "+2", "-2", "-0"}));

    // Shutdown begins while locks are held: they are still released, and
    // enters from then on take nothing.
    RecordingBackend later;
    MonitorSet shutting(&later);
    shutting.setCreated();
    shutting.enter(IM_THREAD);
    shutting.setShuttingDown();
    shutting.enter(IM_CLASS);
    shutting.exit(IM_CLASS);
    shutting.exit(IM_THREAD);
    EXPECT_EQ(later.calls, (Calls{"+4", "-4"}));

    RecordingBackend stray;
    MonitorSet unbalanced(&stray);
    unbalanced.exit(IM_CLASS);
    EXPECT_TRUE(stray.calls.empty()) << "an exit without enter releases nothing";
}

// The recorder's Java object locks give way to the raw monitors: once
// switched, enters and exits reach only the new backend.
TEST(MonitorSetTest, ASwitchedBackendTakesEveryLaterEnterAndExit)
{
    RecordingBackend javaObjects;
    RecordingBackend raw;
    MonitorSet set(&javaObjects);
    set.setCreated();
    set.enter(IM_CLASS);
    set.exit(IM_CLASS);
    set.setBackend(&raw);
    set.enter(IM_CLASS | IM_HEAP);
    set.exit(IM_CLASS | IM_HEAP);
    EXPECT_EQ(javaObjects.calls, (Calls{"+1", "-1"}));
    EXPECT_EQ(raw.calls, (Calls{"+1", "+2", "-2", "-1"}));
}

// A nested enter of locks the thread holds already takes nothing more; one
// that asks for a lock not held yet enters what it asks for, and every exit
// releases exactly what its own enter took.
TEST(MonitorSetTest, NestedEnterOfHeldLocksTakesNothingMore)
{
    struct Case {
        int outer;
        int inner;
        Calls expect;
    };
    const Case cases[] = {
        {IM_CLASS | IM_HEAP, IM_CLASS | IM_HEAP, {"+1", "+2", "-2", "-1"}},
        {IM_CLASS | IM_HEAP, IM_HEAP, {"+1", "+2", "-2", "-1"}},
        {IM_CLASS, IM_CLASS | IM_HEAP, {"+1", "+1", "+2", "-2", "-1", "-1"}},
        {IM_HEAP, IM_CLASS, {"+2", "+1", "-1", "-2"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.outer) + " then " + std::to_string(c.inner));
        RecordingBackend backend;
        MonitorSet set(&backend);
        set.setCreated();
        set.enter(c.outer);
        set.enter(c.inner);
        set.enter(c.inner); // a third level inside the second
        set.exit(c.inner);
        set.exit(c.inner);
        set.exit(c.outer);
        EXPECT_EQ(backend.calls, c.expect);

        // Once all is released the next enter takes its locks again.
        backend.calls.clear();
        set.enter(c.inner);
        set.exit(c.inner);
        EXPECT_EQ(backend.calls.size(), 2u * static_cast<size_t>(__builtin_popcount(static_cast<unsigned>(c.inner))));
    }

    // Held locks of one backend say nothing about another's.
    RecordingBackend first;
    RecordingBackend second;
    MonitorSet a(&first);
    MonitorSet b(&second);
    a.setCreated();
    b.setCreated();
    a.enter(IM_HEAP);
    b.enter(IM_HEAP);
    b.exit(IM_HEAP);
    a.exit(IM_HEAP);
    EXPECT_EQ(first.calls, (Calls{"+2", "-2"}));
    EXPECT_EQ(second.calls, (Calls{"+2", "-2"}));
}
