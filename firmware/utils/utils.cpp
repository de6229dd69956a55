#include "utils/utils.h"

#include <cerrno>
#include <cstring>

/* Start of the firmware, from which "up and running" counts. */
static struct {
    struct timespec start;
    int startRecorded;
    int upLogged;
} utilsStart;

/* Expected values of the next timecode. */
static struct {
    int hours, minutes, seconds, frames;
    int expHours, expMinutes, expSeconds, expFrames;
} utilsTimecode;

enum { UP_AND_RUNNING_USEC = 30000000, TIME_ATTEMPTS = 10 };

#define UTILS_LOG(category, priority, ...)                                                    \
    do {                                                                                     \
        if (category)                                                                        \
            log4c_category_log((category), (priority), __VA_ARGS__);                         \
    } while (0)

uint16_t crc16Ccitt(const uint8_t *bytes, size_t length)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; i++) {
        crc ^= (uint16_t)(bytes[i] << 8);
        for (int bit = 0; bit < 8; bit++)
            crc = (crc & 0x8000) ? (uint16_t)((crc << 1) ^ 0x1021) : (uint16_t)(crc << 1);
    }
    return crc;
}

int utils_getMonotonicTime(log4c_category_t *category, struct timespec *out, int attempts)
{
    for (int attempt = 0; attempt < attempts; attempt++) {
        if (clock_gettime(CLOCK_MONOTONIC, out) == 0)
            return 1;
        int err = errno;
        UTILS_LOG(category, LOG4C_PRIORITY_ERROR, "%s: Couldn't get the Monotonic time. errno[%d] = %s. Retry %d of %d.",
                  __func__, err, strerror(err), attempt, attempts);
    }
    return 0;
}

struct timespec utilsDeadlineIn(clockid_t clock, long ms)
{
    struct timespec when = {0, 0};
    clock_gettime(clock, &when);
    if (ms < 0)
        ms = 0;
    when.tv_sec += ms / 1000;
    when.tv_nsec += (ms % 1000) * 1000000L;
    if (when.tv_nsec >= 1000000000L) {
        when.tv_sec++;
        when.tv_nsec -= 1000000000L;
    }
    return when;
}

uint64_t utils_diffTimes(const struct timespec *a, const struct timespec *b, int *negative)
{
    int64_t usecA = (int64_t)a->tv_sec * 1000000 + a->tv_nsec / 1000;
    int64_t usecB = (int64_t)b->tv_sec * 1000000 + b->tv_nsec / 1000;
    if (negative)
        *negative = usecA > usecB ? 1 : 0;
    return usecA > usecB ? (uint64_t)(usecA - usecB) : (uint64_t)(usecB - usecA);
}

uint64_t utils_getTimeDiff(log4c_category_t *category, const struct timespec *earlier, int *negative)
{
    struct timespec now;
    int isNegative = 0;
    if (negative)
        *negative = 0;
    if (!utils_getMonotonicTime(category, &now, TIME_ATTEMPTS))
        return 0;
    uint64_t diff = utils_diffTimes(earlier, &now, &isNegative);
    if (negative)
        *negative = isNegative;
    if (isNegative)
        UTILS_LOG(category, LOG4C_PRIORITY_DEBUG, "%s: The Time diff is %llu microseconds. timeIsNegative=%d", __func__,
                  (unsigned long long)diff, isNegative);
    else
        UTILS_LOG(category, LOG4C_PRIORITY_DEBUG, "%s: The Time diff is %llu microseconds.", __func__,
                  (unsigned long long)diff);
    return diff;
}

int utils_recordStartTime(log4c_category_t *category)
{
    utilsStart.startRecorded = utils_getMonotonicTime(category, &utilsStart.start, TIME_ATTEMPTS);
    utilsStart.upLogged = 0;
    return utilsStart.startRecorded;
}

void utils_recordStartTimeAt(const struct timespec *start)
{
    utilsStart.start = *start;
    utilsStart.startRecorded = 1;
    utilsStart.upLogged = 0;
}

uint64_t utils_timeSinceStart(log4c_category_t *category)
{
    if (!utilsStart.startRecorded)
        return 0;
    int negative = 0;
    uint64_t diff = utils_getTimeDiff(category, &utilsStart.start, &negative);
    return negative ? 0 : diff;
}

int utils_isFirmwareUpAndRunning(log4c_category_t *category)
{
    uint64_t since = utils_timeSinceStart(category);
    if (since != 0 && since < UP_AND_RUNNING_USEC)
        return 0;
    if (!utilsStart.upLogged) {
        utilsStart.upLogged = 1;
        UTILS_LOG(category, LOG4C_PRIORITY_NOTICE, "%s: The firmware is up and running.", __func__);
    }
    return 1;
}

/* Compares one timecode field with its expected value; logs and counts a difference. */
static int timecodeFieldDiffers(log4c_category_t *category, const char *field, int current, int expected)
{
    if (current == expected)
        return 0;
    UTILS_LOG(category, LOG4C_PRIORITY_ERROR, "utils_checkTimecode: Timecode Error! TimeCode: %s cur %d, exp %d.",
              field, current, expected);
    return 1;
}

int utils_checkTimecode(log4c_category_t *category, int hours, int minutes, int seconds, int frames)
{
    utilsTimecode.hours = hours;
    utilsTimecode.minutes = minutes;
    utilsTimecode.seconds = seconds;
    utilsTimecode.frames = frames;

    int differences = 0;
    differences += timecodeFieldDiffers(category, "frameCount", frames, utilsTimecode.expFrames);
    differences += timecodeFieldDiffers(category, "secondsCount", seconds, utilsTimecode.expSeconds);
    differences += timecodeFieldDiffers(category, "minutesCount", minutes, utilsTimecode.expMinutes);
    differences += timecodeFieldDiffers(category, "hoursCount", hours, utilsTimecode.expHours);

    /* The expected values follow from the current ones, so one error resynchronises. */
    utilsTimecode.expFrames = frames >= 29 ? 0 : frames + 1;
    utilsTimecode.expSeconds = seconds;
    utilsTimecode.expMinutes = minutes;
    utilsTimecode.expHours = hours;
    if (frames >= 29) {
        utilsTimecode.expSeconds = seconds >= 59 ? 0 : seconds + 1;
        if (seconds >= 59) {
            utilsTimecode.expMinutes = minutes >= 59 ? 0 : minutes + 1;
            if (minutes >= 59)
                utilsTimecode.expHours = hours >= 23 ? 0 : hours + 1;
        }
    }
    return differences;
}

void utils_swap16(uint16_t *word)
{
    *word = (uint16_t)((*word << 8) | (*word >> 8));
}
