#ifndef KVR_MAIN_LOGLIMIT_H
#define KVR_MAIN_LOGLIMIT_H

/*
 * Layer: main.
 *
 * The rate limit of the daemon's log: lines of one kind (the same category,
 * priority and text, numbers aside) beyond MAIN_LOG_LIMIT_LINES in one second
 * are counted instead of written, and once that second is over one line says
 * how many were left out and shows the last of them.
 */

#include <log4c.h>

enum {
    MAIN_LOG_LIMIT_LINES = 200, /* lines of one kind written per second */
    MAIN_LOG_LIMIT_KINDS = 64,  /* kinds followed at once; the one seen least recently makes room */
};

/*
 * After log4c_init: puts the limit in front of every appender the configured
 * categories use (the others log through them). Call once, from main's thread,
 * before other threads log.
 */
void mainLogLimitInstall(void);

#endif
