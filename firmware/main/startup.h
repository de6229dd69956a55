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

struct serviceDescriptor;

/*
 * The services lists, built here from the services' own descriptors: 15
 * entries (cards in slots A and B), 14 (slots C to F, no fifoServer). The
 * service manager below is handed a list and knows no service by name.
 */
enum { HYBRID_SERVICES_COUNT = 15, VIDEO_SERVICES_COUNT = 14 };
extern serviceDescriptor *const hybridServicesList[HYBRID_SERVICES_COUNT];
extern serviceDescriptor *const videoServicesList[VIDEO_SERVICES_COUNT];

/*
 * The list main hands to every manager call, and its count. Holds the hybrid
 * list at load; platformInit replaces it with the list that fits the card.
 */
extern serviceDescriptor *startUpServicesList[HYBRID_SERVICES_COUNT];
extern int startUpServicesCount;

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
void mainChooseServicesList(log4c_category_t *category);

/*
 * Has the modules that serve lower ones register with them: genlock (its
 * layout sub-module row and probing target), the HDR manager (its layout
 * sub-module rows) and the SFP cage (its probing target). Before the service
 * manager's init.
 */
void mainRegisterModules(void);

/* Lends the platform's stream settings the restore point, the target event and the probes. */
void mainRegisterStreamHooks(void);

#endif
