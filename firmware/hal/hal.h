#ifndef KVR_HAL_H
#define KVR_HAL_H

/*
 * The one seam between the firmware and its host.
 *
 * Every absolute path, external command, privileged call and hardware access
 * of the firmware goes through these functions. On the card the card root is
 * empty and they do the real thing. Under a card root (environment KVR_ROOT,
 * used on a development machine and in tests) paths are moved below the root,
 * commands run the stand-in scripts found below the root or are only recorded
 * in "$KVR_ROOT/var/log/hal.log", and reboot, clock and realtime requests are
 * recorded instead of carried out.
 *
 * All functions may be called from any thread.
 */

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/time.h>

/* The card root: the value of KVR_ROOT, or "" on the card. Read on every call. */
std::string halCardRoot(void);

/* 1 when running under a card root (KVR_ROOT set and not empty), else 0. */
int halUnderCardRoot(void);

/*
 * Maps an absolute card path ("/usr/local/q7/firmware/layout.bin") to the host
 * path: the card root followed by the path. Relative paths are returned as given.
 */
std::string halPath(const char *cardPath);

/*
 * Runs a shell command line as system() would and returns system()'s raw
 * status (decode with WIFEXITED/WEXITSTATUS), or -1 when no shell could run.
 *
 * Under a card root the line is recorded in hal.log, every word that is an
 * absolute path is moved below the root, and the line runs only when its
 * program exists below the root (a stand-in); otherwise nothing runs and the
 * status of a successful exit is returned.
 */
int halRunCommand(const char *command);

/*
 * Reboots the card. Under a card root: records "reboot" in hal.log and runs the
 * stand-in "$KVR_ROOT/sbin/reboot" when there is one. Returns 0 when the
 * request was made, -1 on failure.
 */
int halReboot(void);

/*
 * Sets the system clock. Under a card root the request is only recorded.
 * Returns 0 on success, -1 with errno set on failure.
 */
int halSetSystemTime(const struct timeval *tv);

/*
 * Makes the calling thread SCHED_FIFO with the given priority where that is
 * permitted. When it is not (or under a card root, where a runaway realtime
 * thread would stall the host) one line is logged and the thread goes on at
 * normal priority. Returns 0 when the priority was set, -1 otherwise.
 */
int halSetRealtime(int priority);

/* Appends one line to "$KVR_ROOT/var/log/hal.log" (nothing on the card). */
void halRecord(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

#endif
