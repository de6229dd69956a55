#ifndef KVR_PROBING_H
#define KVR_PROBING_H

/* Layer: services. May include the platform, the device manager, the service manager and hal. */

/*
 * What the rest of the firmware uses of signal probing: the start-up set-up
 * of the probe registers, the ethernet-probing control word, the flags the
 * maintenance commands set, the card alarm bytes, the fifo server's ports
 * and the discovery memories.
 */

#include "platform/platform.h"

#include <cstdint>
#include <log4c.h>

enum {
    PROBING_FIFO_CARD_COUNT = 6,
    PROBING_DISCOVERY_DEBUG_SIZE = 256,
    PROBING_LOCAL_DISCOVERY_SIZE = 64,
    PROBING_CONTROL_REGISTER = 0x0CB0,
};

/* Flags set by the platform's Thread Control commands; read by the probing threads. Lent to the platform at init. */
extern platformProbeFlags_t probingControlFlags;

/* The health monitor's two card alarm bytes. */
extern uint8_t healthMonitorCardAlarms[2];

/* The fifo server's card count and listening port per card index. */
struct fifoServerCardPorts_t {
    uint32_t count;
    uint32_t ports[PROBING_FIFO_CARD_COUNT];
};
extern fifoServerCardPorts_t fifoServerCardPorts;

/* Discovery memories, lent at init to the platform's device services (devices 6 and 30, 30 read-only). */
extern uint8_t discoveryDebugBuffer[PROBING_DISCOVERY_DEBUG_SIZE];
extern uint8_t localDiscoveryRecord[PROBING_LOCAL_DISCOVERY_SIZE];

/*
 * A periodic device read declared as data. The probing service reads
 * address, count and destination afresh for every run (their owners may
 * rewrite them between reads) and calls postRead with the record after each
 * read, on the probing thread.
 */
struct probingAction {
    const char *name;
    const volatile uint32_t *enable;   /* none: always; else runs only while non-zero */
    uint32_t blocking;                 /* non-zero: synchronous access */
    uint32_t period;                   /* Vsyncs between runs; 0 and 1 every Vsync */
    uint8_t parity;                    /* 0 even, 1 odd, 3 every Vsync */
    uint8_t device;
    uint8_t command;
    uint8_t priority;
    uint32_t address;
    uint32_t count;
    void *destination;
    void (*postRead)(probingAction *action);
    uint32_t iterations;
    uint32_t currentIteration;
    const uint32_t *iterationEnables;
    uint32_t countdown;
};

/* Start-up set-up run by the start-up sequence. */
void probingInitFpgaProbeTables(void);
void audioProbeInit(void);
void probingInitSdtiRegisters(log4c_category_t *category);
void vancMetaDataClearBuffer(log4c_category_t *category);
void vancMetaDataInterfaceInit(log4c_category_t *category);

/*
 * A video-probe change callback: called with one input's change record after
 * a probing round in which its format or VPID changed. At most
 * PROBING_VIDEO_CALLBACKS; returns 1 registered, 0 for a null callback or a
 * full table (logged). Any thread, before the probing rounds start.
 */
enum { PROBING_VIDEO_CALLBACKS = 5 };
typedef void (*videoProbeChangedCallback_t)(const void *changeRecord);
int videoProbeChangedCallbackRegister(videoProbeChangedCallback_t callback);

/* Changes the shadowed ethernet-probing control word (kinds 0-6) and writes it when it changed. */
void platformUpdateControlRegister(uint32_t kind, uint32_t value);

#endif
