#ifndef KVR_UTILS_H
#define KVR_UTILS_H

/* Layer: below the platform. May include hal only. */

/*
 * Small pure helpers: CRC-16, monotonic time, the "firmware is up" test, the
 * timecode continuity check and a byte swap. Nothing here touches a file, a
 * device or another program (that is utilsHost's and the hal's). Functions
 * that log take the caller's category first.
 */

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <log4c.h>

/* CRC-16/CCITT-FALSE: polynomial 0x1021, initial 0xFFFF, no reflection, no final XOR. */
uint16_t crc16Ccitt(const uint8_t *bytes, size_t length);

/* Reads CLOCK_MONOTONIC, trying up to `attempts` times. 1 on success, 0 on failure. */
int utils_getMonotonicTime(log4c_category_t *category, struct timespec *out, int attempts);

/*
 * |now - earlier| in microseconds; *negative (optional) is 1 when earlier lies
 * in the future. 0 (and flag 0) when the clock cannot be read.
 */
uint64_t utils_getTimeDiff(log4c_category_t *category, const struct timespec *earlier, int *negative);

/* |a - b| in microseconds; *negative (optional) is 1 when a is later than b. */
uint64_t utils_diffTimes(const struct timespec *a, const struct timespec *b, int *negative);

/* Records now as the firmware's start time. 1 when the clock could be read. */
int utils_recordStartTime(log4c_category_t *category);

/* Records the given monotonic time as the start time (main's clock, and tests). */
void utils_recordStartTimeAt(const struct timespec *start);

/* Microseconds since the recorded start; 0 without a start or for a start in the future. */
uint64_t utils_timeSinceStart(log4c_category_t *category);

/* 0 during the first 30 s after the start, else 1 (the first 1 is logged once). */
int utils_isFirmwareUpAndRunning(log4c_category_t *category);

/*
 * Checks that a 30-frame timecode follows the previous one. Returns how many
 * of frames, seconds, minutes and hours differed from the expected values.
 * One caller thread.
 */
int utils_checkTimecode(log4c_category_t *category, int hours, int minutes, int seconds, int frames);

/*
 * The absolute time `ms` milliseconds from now on `clock`, for the timed waits
 * of conditions and semaphores (a negative `ms` counts as 0). The clock must
 * be the one the wait measures against.
 */
struct timespec utilsDeadlineIn(clockid_t clock, long ms);

/* Swaps the two bytes of *word in place. */
void utils_swap16(uint16_t *word);

#endif
