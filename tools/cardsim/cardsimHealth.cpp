#include "cardsim/cardsimPrivate.h"

/*
 * A healthy card for the health monitor: both FPGAs' system monitors at
 * about 45 degrees with their supplies at nominal, fans running, DDR3 and
 * the VANC FIFOs without errors, both SDI Tx PLLs locked, and the power
 * sequencer's rails at their nominal voltages (10-bit readings of a 3.3 V
 * converter behind each rail's divider).
 */

void cardsimHealthReset(void)
{
    /* Temperature 45 C, Vcc int 1.0 V, Vcc aux 1.8 V, -, -, -, Vcc Bram 1.0 V (10-bit values << 6). */
    const uint16_t systemMonitor[7] = {646 << 6, 341 << 6, 614 << 6, 0, 0, 0, 341 << 6};
    for (uint32_t i = 0; i < 7; i++) {
        cardsimFpgaSet(CARDSIM_DPS, 0x0200 + i, systemMonitor[i]);
        cardsimFpgaSet(CARDSIM_FSM, 0x0400 + i, systemMonitor[i]);
    }
    cardsimFpgaSet(CARDSIM_DPS, 0x0203, 21 << 4);   /* 24 V input */
    cardsimFpgaSet(CARDSIM_FSM, 0x0403, 295);       /* 0.95 V */
    cardsimFpgaSet(CARDSIM_DPS, 0x0300, 20 << 2);   /* fans well below the failure speed word */
    cardsimFpgaSet(CARDSIM_FSM, 0x0500, 20 << 2);
    cardsimFpgaSet(CARDSIM_FSM, 0x0068, 1);         /* Tx PLLs locked */
    cardsimFpgaSet(CARDSIM_FSM, 0x006A, 1);
    /* 5.0, 3.3, 2.5, 1.8, 1.35, 1.2 and 1.0 V at registers 0x00-0x0C, high byte first. */
    const uint16_t rails[7] = {619, 683, 665, 558, 419, 372, 310};
    for (uint32_t i = 0; i < 7; i++) {
        cardsimI2cSet("/dev/i2c-2", 0x60, (uint16_t)(2 * i), (uint8_t)(rails[i] >> 8));
        cardsimI2cSet("/dev/i2c-2", 0x60, (uint16_t)(2 * i + 1), (uint8_t)rails[i]);
    }
}
