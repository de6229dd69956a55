#ifndef KVR_GENLOCK_H
#define KVR_GENLOCK_H

/*
 * Layer: services. May include layoutManager and probing (it registers with
 * both), persistentDataStorage (the restore point), strata, platform,
 * qvsInterface, deviceManager, probingAction and hal.
 */

/*
 * Genlock: keeps the card's video clocks, and so the system frame rate of all
 * outputs, locked to the right reference (59.94 Hz = 5994 or 50 Hz = 5000).
 *
 * - The probing target (probing thread) watches the clock generator's alarms,
 *   the FSM-FPGA's URS and ExtSync status, publishes them in the card's status
 *   block and turns each change into a GENLOCK_CHANGED_EVENT.
 * - The sub-module "kvr-genlockSi5344" (layout thread, first on head 0)
 *   chooses the frequency plan, programs the Si5344 and the FSM-FPGA genlock
 *   registers, supervises loss of lock and announces the system frame rate.
 * - The save thread writes the chosen rate into the restore point
 *   ("systemFrameRate").
 *
 * Anyone may read the current system frame rate with
 * kvrGenlockSi5344GetGenlockStatus (any thread).
 */

#include <cstdint>
#include <log4c.h>

enum {
    GENLOCK_CLOCK_SLAVE = 0x68,
    GENLOCK_STATUS_REGISTER = 0x00FE,
    GENLOCK_STATUS_READY = 0x0F,
    GENLOCK_STATUS_BUSY = 0xF3,
    /* Bound of the start-up wait for the clock generator. */
    GENLOCK_READY_WAIT_MS = 1000,
};

/* System frame rates. */
enum {
    GENLOCK_RATE_5994 = 5994,
    GENLOCK_RATE_5000 = 5000,
};

/* Frequency plans (plan 5 is the URS dual-reference indication, never programmed). */
enum {
    GENLOCK_PLAN_NULL = 0,
    GENLOCK_PLAN_NTSC_FREE_RUN = 1,
    GENLOCK_PLAN_NTSC_URS = 2,
    GENLOCK_PLAN_PAL_FREE_RUN = 3,
    GENLOCK_PLAN_PAL_URS = 4,
    GENLOCK_PLAN_URS_DUAL = 5,
};

/* Where a plan came from. */
enum {
    GENLOCK_SOURCE_FACTORY_DEFAULT = 0,
    GENLOCK_SOURCE_ENV_VAR = 1,
    GENLOCK_SOURCE_FRAME_CONTROLLER = 2,
    GENLOCK_SOURCE_HEAD_A_RES = 3,
    GENLOCK_SOURCE_URS = 4,
    GENLOCK_SOURCE_EXTSYNC = 5,
};

/* Kinds of GENLOCK_CHANGED_EVENT. */
enum {
    GENLOCK_CHANGE_URS = 1,
    GENLOCK_CHANGE_EXTSYNC = 2,
    GENLOCK_CHANGE_LOCK_REGAINED = 3,
    GENLOCK_CHANGE_LOCK_LOST = 4,
};

/* Byte offsets of the genlock words in the card's status block (big-endian u16). */
enum {
    GENLOCK_BLOCK_SOURCE = 184,
    GENLOCK_BLOCK_STATUS = 186,
    GENLOCK_BLOCK_EXTSYNC = 188,
    GENLOCK_BLOCK_URS = 190,
};

/* FSM-FPGA genlock registers (16-bit words). */
enum {
    FSM_GENLOCK_BRIDGE_TX_0 = 0x60,
    FSM_GENLOCK_BRIDGE_TX_1 = 0x62,
    FSM_GENLOCK_BRIDGE_TX_2 = 0x64,
    FSM_GENLOCK_BRIDGE_TX_3 = 0x66,
    FSM_GENLOCK_URS_STATUS = 0x90,
    FSM_GENLOCK_BRIDGE_IN_RATE = 0x96,
    FSM_GENLOCK_REF_SELECT = 0x97,
    FSM_GENLOCK_RESET = 0x98,
    FSM_GENLOCK_FRAME_RATE = 0x99,
    FSM_GENLOCK_MGT_CLOCK = 0x9F,
};

/* The genlock state published to the video and probing code. */
struct genlockStatus_t {
    uint32_t valid;            /* 0 while a plan change is under way, 1 once a rate is set */
    uint32_t rateSetCount;     /* number of rates set since start */
    uint32_t systemFrameRate;  /* 5994 or 5000 */
};

/* The 10-byte data of GENLOCK_CHANGED_EVENT. */
#pragma pack(push, 1)
struct genlockChange_t {
    uint32_t type;     /* GENLOCK_CHANGE_... */
    uint32_t planId;   /* plan the reference proposes (types 1 and 2) */
    uint16_t ursWord;  /* raw URS status word (type 1) */
};
#pragma pack(pop)
static_assert(sizeof(genlockChange_t) == 10, "GENLOCK_CHANGED_EVENT carries 10 bytes");

/* A status handler: called on the probing thread for every change. */
typedef void (*genlockHandler_t)(uint32_t type, uint32_t planId, uint16_t value);

/* ---- status ---- */

/* Copies the current genlock status (any thread). */
void kvrGenlockSi5344GetGenlockStatus(genlockStatus_t *status);
/* This card's status-block word at byte 186 as two bytes (high byte first). */
void kvrGenlockSi5344GetURSPresenceStatus(uint8_t out[2]);
/* 1 while a plan is being programmed or lock is lost (SDI transmit PLLs must not be reset then). */
uint32_t genlockSi5344ProgrammingInProgress(void);

/* ---- probing target (probing thread) ---- */

/* Clears the state, starts the frame-rate save thread. 0, or 3 when the thread did not start. */
int kvrGenlockSi5344ProbingTargetInit(log4c_category_t *category);
/* One probing step, after every probing round; `running` is 1 while the FPGAs run. */
void kvrGenlockSi5344ProbingTargetProcess(uint32_t running);
/* 0 registered, 4 no handler, 3 table full (5 handlers). */
int kvrGenlockSi5344HandlerRegister(genlockHandler_t handler);
/* The registered status handler that posts GENLOCK_CHANGED_EVENT. */
void kvrGenlockSi5344TargetEventHandler(uint32_t type, uint32_t planId, uint16_t value);

/* ---- FSM-FPGA genlock registers ---- */
void kvrFsmGenlockResetTxPll(log4c_category_t *category, uint32_t noWait);
void kvrFsmGenlockForceFwReset(log4c_category_t *category);
void kvrFsmGvAsiTxReset(log4c_category_t *category);
/* 1 written, 0 the FSM-FPGA access failed. */
int kvrFsmGenlockSelectRef(log4c_category_t *category, uint32_t source);
int kvrFsmGenlockSetSystemFrameRate(log4c_category_t *category, uint32_t rateBit);
int kvrFsmGenlockSetMgtVideoClockDisable(log4c_category_t *category, uint32_t value);

/*
 * Start-up (main's thread, once): waits (bounded) for the clock generator,
 * loads its factory default, disables the MGT video clock, selects free run
 * at 59.94. 1 loaded, 0 the chip never became ready or a write failed.
 */
int kvrGenlockLoadFactoryDefault(log4c_category_t *category);

/* ---- frame-rate save thread ---- */

/* Queues 5994 or 5000 for the restore point; other rates are refused with a log. 0 queued, else 4. */
int kvrGenlockSaveFrameRate(uint32_t rate, const char *reason);

/* ---- sub-module (layout thread) ---- */
struct deviceSubmodule;
extern deviceSubmodule kvrGenlockSi5344Submodule;

/*
 * Registers genlock with the modules below it that call it: its sub-module row
 * in the layout manager's head lists and its probing target (the clock
 * generator's rows of the probing table, its start-up and its step in every
 * probing cycle, its answers to the health monitor). main's thread, before the
 * services' init; again is harmless.
 */
void genlockRegister(void);

#endif
