#ifndef KVR_CARDSIM_PRIVATE_H
#define KVR_CARDSIM_PRIVATE_H

/* What the FPGA half of the emulator needs of the I2C half. */

#include "cardsim/cardsim.h"

#include <cstddef>
#include <cstdio>
#include <deque>
#include <utility>

struct halI2cMessage_t;

/* 1 when the node is one of the emulated buses. */
int cardsimI2cKnownBus(const std::string &bus);

/* One combined transfer on a bus; 0, or -1 with errno. */
int cardsimI2cTransfer(const std::string &bus, halI2cMessage_t *messages, int count);

/* Start-up chips of every bus. */
void cardsimI2cReset(void);

void cardsimI2cClearLog(void);

/* Where the I2C half writes each message written (null: nowhere); the file stays the caller's. */
void cardsimI2cLogTo(FILE *file);

/* Appends to a ring log, dropping the oldest entries beyond the log limit. */
template <typename T>
void cardsimRingPush(std::deque<T> &ring, T &&entry)
{
    ring.push_back(std::move(entry));
    while (ring.size() > cardsimLogLimit())
        ring.pop_front();
}

/* Stand-ins, GPIO files, "/dev/shm" and a boot environment below the card root, each only when missing. */
void cardsimPrepareRoot(void);

/* Bandwidth read-backs of the nine scaler blocks at their start-up value. */
void cardsimScalerReset(void);

/* The 3D-LUT instances: a write or read the register file serves (under its lock). A read returns 1 when served. */
void cardsimHdrWrite(int fpga, uint32_t address, uint16_t value);
int cardsimHdrRead(int fpga, uint32_t address, uint16_t *value);
void cardsimHdrReset(void);

/* Counts one FPGA read burst starting at address (probing read counts). */
void cardsimCountRead(int fpga, uint32_t address);
/* The health registers of a healthy card (system monitors, fans, Tx PLLs, power sequencer rails). */
void cardsimHealthReset(void);

#endif
