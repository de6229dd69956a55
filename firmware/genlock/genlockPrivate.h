#ifndef KVR_GENLOCK_PRIVATE_H
#define KVR_GENLOCK_PRIVATE_H

/* What the genlock module's files share. */

#include "genlock/genlock.h"

/* genlockStatus: cleared while a plan changes, published with a rate once it is set. */
void genlockStatusInvalidate(void);
void genlockStatusRestore(const genlockStatus_t *previous);
void genlockStatusPublish(uint32_t rate);
/* Back to the load-time state (tests run several start-ups). */
void genlockStatusReset(void);

#endif
