#ifndef KVR_INTERRUPTCONTROLLER_H
#define KVR_INTERRUPTCONTROLLER_H

/* Layer: services. May include platform, serviceManager, utils and hal. */

/*
 * The interrupt controller (service "interruptController", priority 99):
 * turns the FPGA's video-frame interrupt, read from the UIO device
 * "/dev/uio1" (a 4-byte interrupt count per read), into a broadcast that the
 * probing thread waits on. Without interrupts it makes its own Vsync every
 * 100 ms.
 */

#include <cstdint>

enum {
    INTERRUPT_VSYNC_TIMEOUT_US = 100000,
    INTERRUPT_LOG_BUDGET = 20,
    INTERRUPT_WAIT_BOUND_MS = 1000,
};

/*
 * Waits for the next Vsync (at most 1 s, or until the service terminates)
 * and returns the Vsync count read before the wait. Probing thread.
 */
uint32_t interruptControllerWaitVsync(void);

/* Signals a frame from the ethernet-probing thread and marks it pending. */
void interruptControllerSignal(void);

/* Clears the pending flag at the end of a probing round. */
void interruptControllerClearVsyncPending(void);

/* The Vsync count (frames signalled so far). */
uint32_t interruptControllerVsyncCount(void);

#endif
