#ifndef KVR_GENLOCK_PRIVATE_H
#define KVR_GENLOCK_PRIVATE_H

/* What the genlock module's files share. */

#include "genlock/genlock.h"
#include "genlock/si5344.h"
#include "probingAction/probingAction.h"

enum {
    GENLOCK_HANDLERS_MAX = 5,
    GENLOCK_LOCK_TIMER_MS = 10000,
    GENLOCK_BOOT_TIMER_MS = 30000,
    GENLOCK_TIMER_BOOT = 0,          /* timer value: the boot timer carries no data */
    GENLOCK_TIMER_LOCK = 1,          /* the lock timer */
    GENLOCK_TIMER_RETRY = 2,         /* the next try of a plan that did not reach the hardware */
    GENLOCK_RETRY_MS = 2000,
    GENLOCK_RETRIES_MAX = 15,        /* tries after the first: 30 s of a failing bus */
    GENLOCK_SAVE_POOL = 50,
    GENLOCK_URS_SAMPLE_VSYNCS = 2,
    GENLOCK_URS_WORDS = 5,
    GENLOCK_ACTION_COUNT = 3,
};

/* genlockStatus: cleared while a plan changes, published with a rate once it is set. */
void genlockStatusInvalidate(void);
/* Back to a status saved before a plan that did not take. */
void genlockStatusRestore(const genlockStatus_t *previous);
void genlockStatusPublish(uint32_t rate);
/* Back to the load-time state (tests run several start-ups). */
void genlockStatusReset(void);

/* Module flags shared by the probing target, the sub-module and the health monitor (plain words). */
struct genlockFlags_t {
    volatile uint32_t waitForLockRecovery;
    volatile uint32_t programmingInProgress;
    volatile uint32_t ursGenerationMode;
    volatile uint32_t ignoreUrs;
};
extern genlockFlags_t genlockFlags;

/* ---- FSM-FPGA and status block ---- */
/* Reads one FSM-FPGA word; 1 done. */
int genlockFsmRead(uint32_t reg, uint16_t *value);
/* Replaces the bits of `mask` of one FSM-FPGA word by `bits`; 1 done. */
int genlockFsmUpdate(uint32_t reg, uint16_t mask, uint16_t bits);
/* Writes a big-endian word at a byte offset of the card's own status block. */
void genlockPublishWord(uint32_t byteOffset, uint16_t value);
uint16_t genlockReadPublishedWord(uint32_t byteOffset);
/* Status word 186 for a rate: valid bit and 1 (5994) or 2 (5000). */
uint16_t genlockStatusWordFor(uint32_t rate);

/* ---- probing target ---- */
/* The three probing actions (URS status, bridge-in rate, Si5344 alarms) and their enable word. */
extern probingAction genlockProbingActions[GENLOCK_ACTION_COUNT];
extern volatile uint32_t genlockProbingEnabled;
/* Start-up count-down of probing rounds before the chip may count as ready. */
extern volatile uint32_t genlockReadyCountDown;
/* Calls every registered status handler. */
void genlockCallHandlers(uint32_t type, uint32_t planId, uint16_t value);
/* Back to the load-time state (tests). */
void genlockProbingReset(void);

/* ---- save thread ---- */
void genlockSaveReset(void);
/* Restore-point listener of "systemFrameRate". */
struct pdsKeyCallbackInfo;
void kvrEnvVarSystemFrameRateCallbackfn(const pdsKeyCallbackInfo *info, log4c_category_t *category);
/* Starts the detached save thread once; 1 running. */
int genlockStartSaveThread(log4c_category_t *category);

/* ---- sub-module ---- */
/* Changes the frequency plan; 1 changed, 0 not. Layout thread. */
struct deviceSubmoduleInstance;
uint32_t kvrFsmSi5344ChangeGenlockPlan(deviceSubmoduleInstance *instance, uint32_t planId, uint32_t source);

/* The frame-controller and QVS reports a plan change sends (unsolicited IN/OUT STATUS). */
void genlockSendStatusReports(log4c_category_t *category);

#endif
