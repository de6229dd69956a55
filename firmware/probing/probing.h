#ifndef KVR_PROBING_H
#define KVR_PROBING_H

/*
 * Layer: services. May include platform, deviceManager, serviceManager,
 * qvsInterface, interruptController, layoutManager, probingAction (the probing
 * actions' record), strata, fwEnv and hal. The genlock and SFP targets above
 * it register themselves (probingRegisterTarget, probingSetActionRow).
 */

/*
 * What the rest of the firmware uses of signal probing: the start-up set-up
 * of the probe registers, the ethernet-probing control word, the flags the
 * maintenance commands set, the card alarm bytes, the fifo server's ports
 * and the discovery memories.
 */

#include "platform/platform.h"
#include "probingAction/probingAction.h"

#include <cstddef>
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


/* Start-up set-up run by the start-up sequence. */
void probingInitFpgaProbeTables(void);
void audioProbeInit(void);
void probingInitSdtiRegisters(log4c_category_t *category);
/* Writes input 0-8's 28 audio-probe descriptor registers from its stream setting. Any thread. */
void audioProbeSelection(log4c_category_t *category, uint32_t input);
/* Sets or clears SDTI/MADI insertion on bridges 0 and 2 (bridge 0 stays off in slots A and B). Any thread. */
void sdtiMadiInsertionUpdate(log4c_category_t *category, uint32_t on);
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

/* ---- probing service (the per-Vsync probing thread) ---- */

enum {
    PROBING_ACTION_COUNT = 33,
    PROBING_DISCOVERY_ROWS = 5,     /* rows 3-7 */
    PROBING_SDTI_ROWS = 4,          /* rows 9-12, cards A-D */
    PROBING_CALLBACKS = 5,
    PROBING_ROW_LM77 = 21,
    PROBING_ROW_VOLTAGES = 22,
};

/* The walked table; rows 13-15 and 30 are the genlock and SFP records once handed in. */
extern probingAction *probingActionTable[PROBING_ACTION_COUNT];
/* Records of the discovery and SDTI rows, filled by their owners. */
extern probingAction discoveryVideoCardInfoActions[PROBING_DISCOVERY_ROWS];
extern probingAction sdtiProbeActions[PROBING_SDTI_ROWS];
enum { PROBING_SDTI_WORDS = 352, PROBING_SDTI_OFFSET = 5676, PROBING_BLOCK_SIZE = 6380 };
/* Enable words of the discovery rows (off until discovery runs) and of the SDTI rows, per card A-D. */
extern volatile uint32_t discoveryVideoCardInfoEnabled[PROBING_DISCOVERY_ROWS];
extern volatile uint32_t sdtiProbeEnabled[PROBING_SDTI_ROWS];
/* Names and fills the discovery and SDTI rows (SDTI words into block offset 5676 of card A-D); all disabled. */
void probingFillOwnedRows(uint8_t *sharedMemory);
enum { PROBING_CARD_COUNT = 6 };
/*
 * Turns the SDTI probing row of card 0-3 (A-D) on or off; off also sets the
 * card's meters to 126 and clears its SDTI/MADI data. Cards 4 and 5 have no
 * row and change nothing; above 5 is logged. Probing thread.
 */
void controlSdtiProbingActions(uint32_t card, uint32_t on);
void setSdtiMadiPeakAndVuMetersTo126(uint32_t card);
void clearSdtiMadiShareMemDataSections(uint32_t card);
/* The shared memory the probing target was given (card blocks from its start), or none. */
void *probingTargetSharedMemory(void);
/* The SDTI rows' FPGA addresses for this card's slot (cards A and B swap in slot B). */
void probingSetSdtiAddresses(uint32_t slot);
/* Enable words of the discovery status row and the LM77 row. */
extern volatile uint32_t discoveryExtractionEnabled;
extern volatile uint32_t healthMonitorLm77Present;

/* Where the static rows land (FSM/DPS words big-endian as read). */
struct probingRawWords_t {
    uint16_t bridgeIn[18];
    uint16_t atdm[4];
    uint16_t madi[4];
    uint16_t discovery[5];
    uint16_t packetStatuses[16];
    uint16_t dpsSystemMonitor[7];
    uint16_t fsmSystemMonitor[7];
    uint16_t dpsFan[1];
    uint16_t fsmFan[1];
    uint16_t cpuTemperature[2];
    uint16_t lm77[2];
    uint16_t voltages[2];
    uint16_t dpsDdr3[1];
    uint16_t fsmDdr3[1];
    uint16_t dpsVancFifo[1];
    uint16_t fsmLocalVancFifo[1];
    uint16_t fsmUpstreamVancFifos[5];
    uint16_t txPll0[1];
    uint16_t txPll1[1];
    uint16_t dpsFpgaId[1];
    uint16_t fsmFpgaId[1];
};
extern probingRawWords_t probingRawWords;


/*
 * Registers a function run at every Vsync whose count modulo interval equals
 * phase (interval 1: every Vsync). At most PROBING_CALLBACKS; 0 and a log
 * line for a null function, an interval 0 or a full table, else 1.
 */
int probingSrvcRegisterCallback(void (*function)(void), uint32_t interval, uint32_t phase);

/*
 * Seconds the probing thread waits, once it runs, before its first cycle
 * (the -d option). Negative values count as 0. Called by main before the
 * services start.
 */
void probingSetStartDelay(int seconds);

/* Clears the callbacks and every action's countdown and iteration (service init). */
void probingResetActions(log4c_category_t *category);

/* One Vsync's work after the wait: callbacks, QVS notify on even counts, the due actions. */
void probingRunVsync(uint32_t vsyncCount);

/* Post-read callbacks of the static rows. */
void videoProbingPacketStatusesReady(probingAction *action);
void readTemperatureSensors(probingAction *action);
void readVoltages(probingAction *action);

/* ---- probing target (cycle end, every second Vsync) ---- */

/*
 * A probing target another module owns (the clock generator's, the SFP
 * cage's). The owner registers it once, before the probing service's init.
 * The probing target's init starts the targets of PROBING_TARGET_EARLY before
 * the video probes and those of PROBING_TARGET_LATE after its own records, in
 * the order they registered; every cycle end runs `cycle` (ok = no FPGA is
 * deprogrammed) before the video probes. The health monitor asks
 * `clockBusy` before it resets a TX PLL that lost lock, and resets it through
 * `resetTxPll`. Any field but init may be null.
 */
enum { PROBING_TARGET_EARLY = 0, PROBING_TARGET_LATE = 1, PROBING_TARGET_STAGES = 2, PROBING_TARGETS_PER_STAGE = 4 };
struct probingTarget_t {
    const char *name;
    void (*init)(log4c_category_t *category, void *sharedMemory);
    void (*cycle)(uint32_t ok);
    uint32_t (*clockBusy)(void);
    void (*resetTxPll)(log4c_category_t *category, uint32_t noWait);
};
/*
 * Adds a target to a stage. 1 added (or already there), 0 and a log line for
 * an unknown stage, a target without init or a full stage. main's thread.
 */
int probingRegisterTarget(uint32_t stage, const probingTarget_t *target);
/*
 * Hands the genlock rows (13-15) or the SFP row (30) their owner's record.
 * Returns 1, or 0 (logged) for any other row or a null record. Before the
 * probing thread runs.
 */
int probingSetActionRow(uint32_t row, probingAction *action);
/* 1 while a registered target is programming the clock generator. */
uint32_t probingTargetClockBusy(void);
/* Resets the FSM-FPGA's TX PLL through the registered targets. */
void probingTargetResetTxPll(log4c_category_t *category, uint32_t noWait);

/*
 * Service init: keeps the shared memory (card blocks from its start), starts
 * the early targets (genlock), the video probes, the LM77 detection and the
 * late targets (the SFP cage). 0, or 4 without shared memory or private
 * memory (logged).
 */
int probingTargetInit(void *sharedMemory, log4c_category_t *category);
/* Service pre-start: VANC and SDTI/MADI set-up, health limits, the MADI row, input 9 on SDI. */
void probingTargetPreStart(void);
/* The debounced MADI link state: 1 up, 0 down. */
uint32_t probingTargetGetState(void);
/* 1 on a card of slots A-D that does not take NqAsi inputs. */
uint32_t probingTargetIsMadiCapable(void);

/* Debounce record: `state` follows the input once it held for `limit` further samples. */
struct probingDebounce_t {
    uint32_t up, down, state;
};
/*
 * reset: state = input, counts cleared. Else an input of 1 sets state 1 once
 * up has reached upLimit (else up grows) and clears down; 0 the same way
 * with down and downLimit. Returns the state.
 */
uint32_t probingDebounce(probingDebounce_t *record, uint32_t reset, uint32_t input, uint32_t upLimit,
                         uint32_t downLimit);
/* Writes one big-endian word at a byte offset of this card's block through the QVS link. 0, or -1. */
int probingWriteBlockWord(uint32_t byteOffset, uint16_t value);
/* Reads one big-endian word of this card's block through the QVS link; 0 when out of reach. */
uint16_t probingReadBlockWord(uint32_t byteOffset);
/* The big-endian 16-bit value at `bytes` (FPGA words as read, block words). */
inline uint16_t probingBigEndian(const void *bytes)
{
    const uint8_t *b = (const uint8_t *)bytes;
    return (uint16_t)(b[0] << 8 | b[1]);
}

/* Pre-start set-up of the VANC insertion, the merger FPGA's VANC prober and the SDTI/MADI probes. */
void probingVancInsertionSetUp(log4c_category_t *category);
void probingMergerVancProberInit(log4c_category_t *category);
void probingSdtiMadiStartUp(log4c_category_t *category);

/* ---- health monitoring ---- */

/* Looks for the LM77 sensors (enables their row when present) and resets the fan debouncing. */
void healthMonLm77Detect(log4c_category_t *category, void *sharedMemory);
/* Pre-start: alarm limits into the block, system-monitor thresholds, FSM fan monitoring. */
void kvrHealthMonProbingTargetPreThreadStart(void);
/* Cycle-end steps; ok is 0 while an FPGA is deprogrammed. */
void healthMonSystemMonitor(uint32_t ok);
void healthMonFans(uint32_t ok);
void healthMonFpgaErrors(uint32_t ok);

enum { PROBING_BRIDGE_IN_HEADS = 4, PROBING_CHANGE_CALLBACKS = 5 };
/*
 * The bridge-in state handed to the probe-data change callbacks (the FPGA probe
 * record, 24 bytes): the validity of heads A-D as four u32 at bytes 0-15, then
 * the decoder word of head h (host order) as a u16 at byte 16 + 2h. Its readers
 * (the SDI outputs, through the layout manager's target event) take the word of
 * their head at that offset.
 */
struct probingBridgeInChange_t {
    uint32_t valid[PROBING_BRIDGE_IN_HEADS];
    uint16_t decoder[PROBING_BRIDGE_IN_HEADS];
};
static_assert(sizeof(probingBridgeInChange_t) == 24, "the FPGA probe record is 24 bytes");
static_assert(offsetof(probingBridgeInChange_t, decoder) == 16, "the decoder words follow 16 bytes of validity");
typedef void (*probingFpgaDataChangeCallback_t)(const probingBridgeInChange_t *change);
/* Appends a bridge-in change callback (at most 5); 0 and a log line for null or a full table. */
int registerFpgaProbeDataChangeCallBck(probingFpgaDataChangeCallback_t callback);
void probingTargetCycleEnd(probingAction *action);
/* 1 while the DPS or FSM FPGA id reads 0x0000 or 0xFFFF. */
uint32_t probingTargetFpgaDeprogrammed(void);

/* ---- video probes (cycle end) ---- */

enum { PROBING_VIDEO_INPUTS = 9 };

/*
 * One input's debounced change, handed to the change callbacks (host order;
 * the 32-bit values span two 16-bit fields).
 */
struct videoProbeChangeRecord_t {
    uint16_t cardId;
    uint16_t cardSubId;
    uint16_t changed[2];
    uint16_t input[2];
    uint16_t reg0, reg1, reg2;
    uint16_t stable;          /* 1 when the format is settled */
    uint16_t reserved0;
    uint16_t vpidChanged[2];
    uint16_t reserved1, reserved2;
    uint16_t vpidValid[2];
    uint16_t vpidA, vpidB;
};

struct videoInputRecord;

/* Clears every input's probe state and marks the nine records unreported. */
void probingVideoProbeReset(void *sharedMemory, log4c_category_t *category);
/* The per-cycle step; 1 when a change record was delivered. Nothing with ok = 0. */
uint32_t videoProbeStatusChanged(uint32_t ok);
/* Calls every registered change callback with one record. Probing thread. */
void probingVideoProbeNotifyChange(const void *changeRecord);
/* The change callback that builds an input's videoInputRecord and delivers it (layout manager, frame controller). */
void videoProbeSendInputRecord(const void *changeRecord);
/* Copies input 0-8's last record; 0 for another input or one never reported. Any thread. */
int videoProbeGetInputData(uint32_t input, videoInputRecord *record);

#endif
