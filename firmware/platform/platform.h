#ifndef KVR_PLATFORM_H
#define KVR_PLATFORM_H

/*
 * The platform layer: what card the firmware runs on and how it is brought up.
 * main calls platformInit between the services' init and start, and the three
 * hooks around its main loop.
 */

#include <log4c.h>

/*
 * Brings the card up and chooses the services list: replaces the contents of
 * startUpServicesList (and its count) by the list that fits the card. Never
 * fails; problems are logged. main's thread.
 */
void platformInit(log4c_category_t *category, void *sharedMemory);

/* 1 when the platform start-up succeeded. */
int platformStartUpSucceeded(void);

/* Called once a second by main's loop with 0, 1, 0, 1, ... */
void platformMainLoopTick(int tick);

/* Called when the firmware stops (SIGINT stop sequence and SIGTERM). */
void platformStop(void);

#endif
