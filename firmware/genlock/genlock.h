#ifndef KVR_GENLOCK_H
#define KVR_GENLOCK_H

/* Layer: services. May include the layout manager, the device manager and what lies below them. */

/*
 * Genlock: the Si5344 clock generator that locks the card's video clocks to
 * the frame reference.
 */

#include <cstdint>
#include <log4c.h>

enum {
    GENLOCK_CLOCK_SLAVE = 0x68,
    GENLOCK_STATUS_REGISTER = 0x00FE,
    GENLOCK_STATUS_READY = 0x0F,
    GENLOCK_STATUS_BUSY = 0xF3,
    GENLOCK_READY_WAIT_MS = 1000,
};

/*
 * Waits until the clock generator reports ready (at most GENLOCK_READY_WAIT_MS,
 * then logs and goes on) and loads its factory-default set-up. Called once by
 * platformInit on main's thread. Returns 1 when the chip was ready, else 0.
 */
int kvrGenlockLoadFactoryDefault(log4c_category_t *category);

#endif
