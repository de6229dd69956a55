#include "utils/utils.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

#include "../main/FirmwareTestSupport.h"

using firmwareTest::readFile;
using firmwareTest::TestLog;

namespace {

log4c_category_t *category()
{
    TestLog::instance();
    return log4c_category_get("ulm.firmware.utilsTest");
}

TEST(Crc16Ccitt, AgreesWithTheStandardCheckValues)
{
    struct Case {
        const char *text;
        uint16_t crc;
    } cases[] = {
        {"123456789", 0x29B1}, /* CRC-16/CCITT-FALSE check value */
        {"abc", 0x514A},
        {"", 0xFFFF},
        {"A", 0xB915},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(crc16Ccitt((const uint8_t *)c.text, strlen(c.text)), c.crc);
    }
}

TEST(UtilsTime, DiffTimesIsAbsoluteWithDirectionFlag)
{
    struct timespec a = {10, 500000000}, b = {12, 250000};
    int negative = -1;
    EXPECT_EQ(utils_diffTimes(&a, &b, &negative), 1500250u);
    EXPECT_EQ(negative, 0);
    EXPECT_EQ(utils_diffTimes(&b, &a, &negative), 1500250u);
    EXPECT_EQ(negative, 1);
    EXPECT_EQ(utils_diffTimes(&a, &a, nullptr), 0u);
}

/* Nanoseconds of a time point, for comparisons across the carry into seconds. */
int64_t nanoseconds(const struct timespec &t)
{
    return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

TEST(UtilsTime, DeadlineLiesTheGivenTimeAheadOnTheGivenClock)
{
    const long cases[] = {0, 1, 999, 1000, 1001, 2500, 86400000L, -5};
    for (clockid_t clock : {CLOCK_MONOTONIC, CLOCK_REALTIME}) {
        for (long ms : cases) {
            SCOPED_TRACE(std::to_string(clock) + " " + std::to_string(ms));
            struct timespec before, after;
            clock_gettime(clock, &before);
            struct timespec deadline = utilsDeadlineIn(clock, ms);
            clock_gettime(clock, &after);
            EXPECT_GE(deadline.tv_nsec, 0);
            EXPECT_LT(deadline.tv_nsec, 1000000000L);
            int64_t ahead = (ms < 0 ? 0 : ms) * 1000000LL;
            EXPECT_GE(nanoseconds(deadline), nanoseconds(before) + ahead);
            EXPECT_LE(nanoseconds(deadline), nanoseconds(after) + ahead);
        }
    }
}

TEST(UtilsTime, FirmwareIsUpAfterThirtySecondsAndSaysSoOnce)
{
    struct timespec now;
    ASSERT_EQ(utils_getMonotonicTime(category(), &now, 3), 1);
    struct timespec start = now;
    start.tv_sec -= 29;
    start.tv_nsec = now.tv_nsec >= 900000000 ? now.tv_nsec - 900000000 : now.tv_nsec + 100000000;
    if (now.tv_nsec < 900000000)
        start.tv_sec -= 1; /* 29.9 s ago */
    utils_recordStartTimeAt(&start);
    EXPECT_EQ(utils_isFirmwareUpAndRunning(category()), 0);

    size_t mark = TestLog::instance().mark();
    start = now;
    start.tv_sec -= 30;
    utils_recordStartTimeAt(&start);
    EXPECT_EQ(utils_isFirmwareUpAndRunning(category()), 1);
    EXPECT_EQ(utils_isFirmwareUpAndRunning(category()), 1);
    std::string logged = TestLog::instance().since(mark);
    const std::string upLine = "utils_isFirmwareUpAndRunning: The firmware is up and running.";
    size_t first = logged.find(upLine);
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(logged.find(upLine, first + upLine.size()), std::string::npos);

    /* A start in the future counts as no time since the start. */
    start = now;
    start.tv_sec += 100;
    utils_recordStartTimeAt(&start);
    EXPECT_EQ(utils_timeSinceStart(category()), 0u);
}

TEST(Timecode, CountsTheFieldsThatBreakContinuity)
{
    struct Step {
        int h, m, s, f;
        int differences;
    } steps[] = {
        {0, 0, 0, 0, 0},
        {0, 0, 0, 1, 0},
        {0, 0, 0, 29, 1},   /* frames jumped */
        {0, 0, 1, 0, 0},    /* frame 29 carries into the seconds */
        {0, 0, 1, 2, 1},    /* frame 1 skipped */
        {0, 0, 59, 29, 2},  /* frames and seconds jumped */
        {0, 1, 0, 0, 0},    /* second 59 carries into the minutes */
        {0, 59, 59, 29, 3}, /* frames, seconds and minutes jumped */
        {1, 0, 0, 0, 0},    /* minute 59 carries into the hours */
        {23, 59, 59, 29, 4},
        {0, 0, 0, 0, 0},    /* hour 23 wraps to 0 */
    };
    int index = 0;
    for (const Step &step : steps) {
        SCOPED_TRACE(index++);
        EXPECT_EQ(utils_checkTimecode(category(), step.h, step.m, step.s, step.f), step.differences);
    }
}

TEST(Swap16, SwapsInPlace)
{
    uint16_t word = 0x12AB;
    utils_swap16(&word);
    EXPECT_EQ(word, 0xAB12);
}

} // namespace
