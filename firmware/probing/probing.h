#ifndef KVR_PROBING_H
#define KVR_PROBING_H

/*
 * What the rest of the firmware uses of signal probing: the start-up set-up
 * of the probe registers, the ethernet-probing control word, the flags the
 * maintenance commands set, the card alarm bytes, the fifo server's ports
 * and the discovery memories.
 */

#include <cstdint>
#include <log4c.h>

enum {
    PROBING_FIFO_CARD_COUNT = 6,
    PROBING_DISCOVERY_DEBUG_SIZE = 256,
    PROBING_LOCAL_DISCOVERY_SIZE = 64,
    PROBING_CONTROL_REGISTER = 0x0CB0,
};

/* Flags set by the platform's Thread Control commands; read by the probing threads. */
struct probingControlFlags_t {
    volatile uint32_t halted;
    volatile uint32_t mergerHalted;
    volatile uint32_t timecodeCheckOn;
    volatile uint32_t timecodeCard;
    volatile uint32_t timecodeInput;
};
extern probingControlFlags_t probingControlFlags;

/* The health monitor's two card alarm bytes. */
extern uint8_t healthMonitorCardAlarms[2];

/* The fifo server's card count and listening port per card index. */
struct fifoServerCardPorts_t {
    uint32_t count;
    uint32_t ports[PROBING_FIFO_CARD_COUNT];
};
extern fifoServerCardPorts_t fifoServerCardPorts;

/* Discovery memories exposed by the platform's device services (devices 6 and 30). */
extern uint8_t discoveryDebugBuffer[PROBING_DISCOVERY_DEBUG_SIZE];
extern uint8_t localDiscoveryRecord[PROBING_LOCAL_DISCOVERY_SIZE];

/* Start-up set-up run by platformInit. */
void probingInitFpgaProbeTables(void);
void audioProbeInit(void);
void probingInitSdtiRegisters(log4c_category_t *category);
void vancMetaDataClearBuffer(log4c_category_t *category);
void vancMetaDataInterfaceInit(log4c_category_t *category);

/* Changes the shadowed ethernet-probing control word (kinds 0-6) and writes it when it changed. */
void platformUpdateControlRegister(uint32_t kind, uint32_t value);

#endif
