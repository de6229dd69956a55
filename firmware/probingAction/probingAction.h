#ifndef KVR_PROBINGACTION_H
#define KVR_PROBINGACTION_H

/*
 * Layer: below the services. Includes nothing of the firmware. The record of
 * one periodic device read, shared by the probing service that walks its
 * table and by the probing targets (genlock, SFP) that own rows of it and
 * hand them over with probingSetActionRow (probing.h).
 */

#include <cstdint>

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

enum {
    PROBING_ROW_GENLOCK_URS = 13,   /* rows 13-15 are the genlock target's records */
    PROBING_ROW_SFP = 30,
};

#endif
