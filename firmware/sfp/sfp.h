#ifndef KVR_SFP_H
#define KVR_SFP_H

/*
 * Layer: services. May include probing (it registers with it), probingAction
 * (the probing service's records), pcodeProcessor, strata, platform,
 * qvsInterface, deviceManager, fwEnv and hal.
 */

/*
 * The SFP cage: identifies the module from its serial-id EEPROM (0x50 on the
 * SFP bus), checks the base fields' check code, watches temperature, supply
 * voltage and received power of each channel (0x51, 0x59) and publishes them
 * in the card's status block. One probing action reads one item per period;
 * its post-read callback, sfpProbingStateMachine, judges the item and points
 * the action at the next one. The transmitters of the two channels are
 * switched with FSM-FPGA register 0x80 and remembered in the boot environment.
 */

#include "probingAction/probingAction.h"

#include <cstdint>
#include <log4c.h>

enum {
    SFP_STATE_COUNT = 10,
    SFP_EEPROM_SIZE = 96,
    SFP_TX_REGISTER = 0x80,
    SFP_DEVICE_SFP1 = 150,
    SFP_DEVICE_SFP2 = 151,
    SFP_REGISTER_TX_ENABLE = 290,
    SFP_PCODE_DONE = 0,
    SFP_PCODE_REFUSED = 4,
    SFP_ACTION_PERIOD = 62,
};

/* Byte offsets of the SFP words in the card's status block (big-endian). */
enum {
    SFP_BLOCK_STATUS = 146,
    SFP_BLOCK_PART_NUMBER = 148,
    SFP_BLOCK_TEMPERATURE_0 = 164,
    SFP_BLOCK_VOLTAGE_0 = 166,
    SFP_BLOCK_POWER_0 = 168,
    SFP_BLOCK_TEMPERATURE_1 = 174,
    SFP_BLOCK_VOLTAGE_1 = 176,
    SFP_BLOCK_POWER_1 = 178,
};

/* One cage. */
struct sfpCageRecord {
    uint32_t state;                  /* 0-9, the item to read next */
    uint8_t eeprom[SFP_EEPROM_SIZE]; /* serial-id bytes 0-95 */
    uint32_t present;
    uint32_t notPresentLogged;
    char vendorName[17];
    char partNumber[17];
    uint8_t status[2];
    uint8_t partNumberWords[16];
    uint8_t temperatureInt[2];
    uint16_t diag[6];                /* temperature ch0, ch1, voltage ch0, ch1, power ch0, ch1 (host order) */
    uint16_t voltage[2];
    uint16_t power[2];
    uint32_t missLogCount[2];
    uint32_t channelPresent[2];
};

/* The probing action that reads the cage (the probing service runs it; address, count and destination change). */
extern probingAction sfpProbingAction;

/*
 * Registers the cage with the probing service as a probing target (started
 * late, after the video probes). main's thread, before the services' init;
 * again is harmless.
 */
void sfpRegister(void);
/* Start (probing target start-up): resets the cage and registers the set-device listeners. */
void sfpInit(log4c_category_t *category, void *sharedMemory);
/* Post-read callback of sfpProbingAction. */
void sfpProbingStateMachine(probingAction *action);
/* Disables (1) or enables (0) a transmitter: txId 1 is SFP 2, 0 and 2 SFP 1. 1 done, 0 refused. */
int sfpDisableTx(uint32_t cage, uint32_t txId, uint32_t disable);
/* Set-device pcode of devices 150/151, register 290: value 1 enables, 0 disables. 0 done, 4 refused. */
int sfpSetDevicePcodeHandler(uint8_t slot, uint16_t device, uint16_t reg, uint32_t value);
/* Start-up: applies "sfp1disable"/"sfp2disable" from the boot environment, creating missing keys. */
void sfpApplyStoredTxDisable(log4c_category_t *category);
/* Logs an error for a head above 3; otherwise nothing. */
void platformSFPOutControl(uint32_t head);

/* A copy of the cage record (tests, debug). */
sfpCageRecord sfpGetCage(void);
/* 1 while both channels are read. */
uint32_t sfpIsDualChannel(void);

#endif
