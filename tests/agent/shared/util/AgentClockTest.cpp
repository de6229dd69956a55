#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <time.h>
#include <vector>

#include "Counter.h"
#include "TickClock.h"

namespace {

// A counter and a reference the test moves by hand. Every reading of the
// reference is counted, so that a test sees whether a reading went to it.
struct FakeTime {
    uint64_t ticks = 0;
    long long nanos = 0;
    long long ticksPerCall = 0; // how far the counter moves at each reading
    long long nanosPerCall = 0; // how far the reference moves at each reading
    bool referenceFails = false;
    int referenceReads = 0;
};

FakeTime fake;

uint64_t fakeTicks()
{
    fake.ticks += static_cast<uint64_t>(fake.ticksPerCall);
    return fake.ticks;
}

long long fakeNanos()
{
    fake.referenceReads++;
    if (fake.referenceFails)
        return -1;
    fake.nanos += fake.nanosPerCall;
    return fake.nanos;
}

const TickClock::Source FAKE{fakeTicks, fakeNanos};

class TickClockTest : public ::testing::Test {
protected:
    void SetUp() override { fake = FakeTime(); }

    // Calibrates with a counter at 3 ticks a nanosecond that moves 30 ticks
    // between two readings of the reference 10 ns apart.
    void calibrateThreeTicksPerNano()
    {
        fake.ticks = 1000;
        fake.nanos = 5000000;
        fake.ticksPerCall = 15;
        fake.nanosPerCall = 10;
    }

    // Stops both clocks; the test then moves them itself.
    void hold()
    {
        fake.ticksPerCall = 0;
        fake.nanosPerCall = 0;
        fake.referenceReads = 0;
    }
};

TEST_F(TickClockTest, ReadsTheReferenceThroughTheCounterBetweenAnchors)
{
    calibrateThreeTicksPerNano();
    TickClock clock(FAKE, 1000, 1000000);
    ASSERT_TRUE(clock.isCalibrated());
    hold();
    long long start = clock.nanos();
    // 300,000 ticks are 100,000 ns; 3 ticks are one; none of it asks the reference.
    const struct {
        uint64_t ticks;
        long long nanos;
    } steps[] = {{3, 1}, {300000, 100000}, {2400000, 800000}};
    for (const auto &step : steps) {
        uint64_t before = fake.ticks;
        fake.ticks += step.ticks;
        EXPECT_EQ(start + step.nanos, clock.nanos()) << step.ticks << " ticks";
        fake.ticks = before;
    }
    EXPECT_EQ(0, fake.referenceReads);
}

TEST_F(TickClockTest, AnOldAnchorIsMovedToTheReferenceAndTheRateMeasuredAgain)
{
    calibrateThreeTicksPerNano();
    TickClock clock(FAKE, 1000, 1000000);
    ASSERT_TRUE(clock.isCalibrated());
    hold();
    // Two milliseconds of the counter pass, but the reference moved 2,000,500 ns
    // (the counter ran slow): the reading past the interval is the reference's.
    long long start = clock.nanos();
    fake.ticks += 6000000;
    fake.nanos += 2000500;
    EXPECT_EQ(fake.nanos, clock.nanos());
    EXPECT_GT(fake.referenceReads, 0);
    // From the new anchor on, readings follow the rate measured over the
    // whole stretch, not the first one: 6,000,000 ticks are now slightly more.
    int reads = fake.referenceReads;
    long long anchored = fake.nanos;
    fake.ticks += 2400000;
    long long later = clock.nanos();
    EXPECT_EQ(reads, fake.referenceReads);
    EXPECT_GT(later - anchored, 800000);
    EXPECT_LT(later - anchored, 800400);
    EXPECT_GT(later, start);
}

TEST_F(TickClockTest, ACounterBehindTheAnchorReadsAsTheAnchor)
{
    calibrateThreeTicksPerNano();
    TickClock clock(FAKE, 1000, 1000000);
    ASSERT_TRUE(clock.isCalibrated());
    hold();
    long long start = clock.nanos();
    // Another core's counter, a little behind: not a time of years from now.
    fake.ticks -= 1000;
    long long behind = clock.nanos();
    fake.ticks -= 1000;
    EXPECT_EQ(behind, clock.nanos());
    EXPECT_LE(behind, start);
    EXPECT_GT(behind, start - 100);
    EXPECT_EQ(0, fake.referenceReads);
}

TEST_F(TickClockTest, ABrokenSourceLeavesTheClockUncalibrated)
{
    const struct {
        const char *what;
        long long ticksPerCall;
        long long nanosPerCall;
        bool referenceFails;
    } cases[] = {
        {"counter stands still", 0, 10, false},
        {"reference fails", 15, 10, true},
        {"reference stands still", 15, 0, false},
    };
    for (const auto &c : cases) {
        fake = FakeTime();
        fake.ticksPerCall = c.ticksPerCall;
        fake.nanosPerCall = c.nanosPerCall;
        fake.referenceFails = c.referenceFails;
        TickClock clock(FAKE, 1000, 1000000);
        EXPECT_FALSE(clock.isCalibrated()) << c.what;
    }
}

long long monotonicMicros()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000LL + now.tv_nsec / 1000;
}

// The agent's real clock measures what the system's monotonic clock
// measures, across several anchors, and never runs back on a thread by more
// than the rounding of one anchor's stretch.
TEST(CounterTest, MeasuresWhatTheMonotonicClockMeasures)
{
    ASSERT_GE(Counter::getUsec(), 0);
    // Each reading of the counter lies between two of the monotonic clock,
    // so that a thread preempted between them cannot fail the comparison.
    long long monoBeforeStart = monotonicMicros();
    long long counterStart = Counter::getUsec();
    long long monoAfterStart = monotonicMicros();
    std::atomic<long long> worstStepBack{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; t++) {
        readers.emplace_back([&worstStepBack] {
            long long last = Counter::getUsec();
            for (int i = 0; i < 200000; i++) {
                long long now = Counter::getUsec();
                if (last - now > worstStepBack.load())
                    worstStepBack = last - now;
                last = now;
            }
        });
    }
    for (std::thread &reader : readers)
        reader.join();
    struct timespec pause = {0, 120000000};
    nanosleep(&pause, nullptr);
    long long monoBeforeEnd = monotonicMicros();
    long long counterEnd = Counter::getUsec();
    long long monoAfterEnd = monotonicMicros();
    EXPECT_LT(worstStepBack.load(), 500);
    long long counterSpan = counterEnd - counterStart;
    ASSERT_GE(monoBeforeEnd - monoAfterStart, 120000);
    // The rate is measured within a few parts per million; 100 us is far more.
    EXPECT_GE(counterSpan, monoBeforeEnd - monoAfterStart - 100);
    EXPECT_LE(counterSpan, monoAfterEnd - monoBeforeStart + 100);
}

} // namespace
