/*
 * The process's choice of devices: the card's own, or for -e the SPI
 * emulator beside the firmware and, under a card root, the card emulator
 * behind every device node. This file is the one place of the firmware that
 * names the card emulator; only the daemon links it (library kvrhalEmulator).
 */

#include "hal/hal.h"

#include "cardsim/cardsim.h"

#include <cstdio>

static struct {
    int cardEmulatorStarted;
} halEmulator;

static void *halSpiEmulatorThread(void *unused)
{
    (void)unused;
    halSpiEmulatorServer();
    return nullptr;
}

int halStart(int mode)
{
    if (mode != HAL_EMULATED)
        return 0;
    if (halStartDetachedThread(halSpiEmulatorThread, nullptr, nullptr) != 0)
        return -1;
    if (halUnderCardRoot()) {
        cardsimStart();
        halEmulator.cardEmulatorStarted = 1;
    }
    return 0;
}

/*
 * Leaves the register writes the emulated FPGAs saw, one "fpga address value"
 * line each in order, in the card root's var/log, for whoever ran the card.
 */
static void halEmulatorSaveWrites(void)
{
    FILE *out = fopen(halPath("/var/log/fpga-writes.log").c_str(), "w");
    if (!out)
        return;
    for (int fpga = 0; fpga < 2; fpga++)
        for (const cardsimFpgaWrite_t &w : cardsimFpgaWrites(fpga))
            fprintf(out, "%d 0x%04x 0x%04x\n", fpga, (unsigned)w.address, (unsigned)w.value);
    fclose(out);
}

/* The same for the I2C chips: one "bus slave bytes..." line per message written, in order. */
static void halEmulatorSaveI2cWrites(void)
{
    FILE *out = fopen(halPath("/var/log/i2c-writes.log").c_str(), "w");
    if (!out)
        return;
    for (const cardsimI2cMessage_t &m : cardsimI2cLog()) {
        if (m.read)
            continue;
        fprintf(out, "%s 0x%02x", m.bus.c_str(), m.slave);
        for (uint8_t b : m.bytes)
            fprintf(out, " %02x", b);
        fprintf(out, "\n");
    }
    fclose(out);
}

void halStop(void)
{
    /* The card emulator's own threads end before the process does. */
    if (halEmulator.cardEmulatorStarted) {
        halEmulatorSaveWrites();
        halEmulatorSaveI2cWrites();
        cardsimStop();
    }
    halEmulator.cardEmulatorStarted = 0;
}
