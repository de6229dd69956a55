/*
 * The process's choice of devices: the card's own, or for -e the SPI
 * emulator beside the firmware and, under a card root, the card emulator
 * behind every device node. This file is the one place of the firmware that
 * names the card emulator; only the daemon links it (library kvrhalEmulator).
 */

#include "hal/hal.h"

#include "cardsim/cardsim.h"

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

void halStop(void)
{
    /* The card emulator's own threads end before the process does. */
    if (halEmulator.cardEmulatorStarted)
        cardsimStop();
    halEmulator.cardEmulatorStarted = 0;
}
