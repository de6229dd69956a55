#ifndef KVR_STARTUP_H
#define KVR_STARTUP_H

/*
 * Layer: main. May include every module.
 *
 * The start-up: brings the card from power-up to the point where the services
 * can run, calling the platform's steps and the services' start-up set-up in
 * their order. The platform below knows no service; this is the one place that
 * names them both. Everything runs on main's thread, after the service manager
 * has run every service's init function and before it starts the services.
 */

#include <log4c.h>

/*
 * Brings the card up (FPGAs, rear card, identity, versions, services list,
 * transceivers, probes, LEDs) and replaces startUpServicesList by the list that
 * fits the card. Never fails; problems are logged and flagged.
 */
void platformInit(log4c_category_t *category, void *sharedMemory);

/*
 * Chooses the services list by the card's slot (hybrid on cards A and B, video
 * on the others), copies it into startUpServicesList and records its count; on
 * the hybrid list reads the fifo server's port per card from the configuration.
 */
void platformChooseServicesList(log4c_category_t *category);

/* Lends the platform's stream settings the restore point, the target event and the probes. */
void startupRegisterStreamHooks(void);

#endif
