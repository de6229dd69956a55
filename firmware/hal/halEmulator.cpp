/*
 * The process's choice of devices: the card's own, or for -e the SPI
 * emulator beside the firmware and, under a card root, the card emulator
 * behind every device node. This file is the one place of the firmware that
 * names the card emulator; only the daemon links it (library kvrhalEmulator).
 */

#include "hal/hal.h"

#include "cardsim/cardsim.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

/* FPGA writes, SPI frames and I2C messages the card emulator keeps in memory, each. */
enum { HAL_EMULATOR_LOG_ENTRIES = 4096 };

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
        /*
         * The register writes the emulated FPGAs and I2C chips see go, in
         * order and as they happen, to the card root's var/log for whoever
         * ran the card; memory keeps only the latest few, so a long run does
         * not grow.
         */
        cardsimSetLogLimit(HAL_EMULATOR_LOG_ENTRIES);
        mkdir(halPath("/var").c_str(), 0755);
        mkdir(halPath("/var/log").c_str(), 0755);
        if (cardsimLogToFiles(halPath("/var/log/fpga-writes.log"), halPath("/var/log/i2c-writes.log")) != 0)
            fprintf(stderr, "%s: cannot write the emulator's logs under var/log: %s\n", __func__, strerror(errno));
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
