#include "probing/probing.h"

#include "deviceManager/deviceManager.h"

/*
 * The table of periodic reads walked once per Vsync. Static rows are
 * defined here; the discovery, SDTI, genlock and SFP rows belong to their
 * owners, who fill the records here (discovery, SDTI) or hand in their own
 * records (genlock, SFP) through probingSetActionRow before the thread runs.
 */

volatile uint32_t discoveryExtractionEnabled;

probingRawWords_t probingRawWords;

probingAction discoveryVideoCardInfoActions[PROBING_DISCOVERY_ROWS];
probingAction sdtiProbeActions[PROBING_SDTI_ROWS];

namespace {

enum { P = 3, READ = DEVICE_READ, FSM = DEVICE_FSM_FPGA, DPS = DEVICE_DPS_FPGA };

/* Rows the owners had not handed in yet: every field zero. */
probingAction unregisteredRows[4];

probingAction bridgeInStatuses = {"Read Bridge In Statuses ", nullptr, 0, 2, P, FSM, READ, 2, 0x0040, 18,
                                  probingRawWords.bridgeIn, nullptr, 0, 0, nullptr, 0};
probingAction atdmStatuses = {"Read Nq Node ATDM Statuses ", nullptr, 0, 2, P, DPS, READ, 2, 0x0010, 3,
                              probingRawWords.atdm, nullptr, 0, 0, nullptr, 0};
probingAction discoveryStatuses = {"Read All 6 Discovery statuses of head A ", &discoveryExtractionEnabled, 0, 2, P,
                                   FSM, READ, 2, 0x8E00, 5, probingRawWords.discovery, nullptr, 0, 0, nullptr, 0};
probingAction packetStatuses = {"Read Probing Packet Statuses ", nullptr, 1, 2, P, FSM, READ, 2, 0x9400, 16,
                                probingRawWords.packetStatuses, videoProbingPacketStatusesReady, 0, 0, nullptr, 0};
probingAction healthRows[] = {
    {"Read FPGA DPS System Monitor ", nullptr, 0, 32, P, DPS, READ, 2, 0x0200, 7, probingRawWords.dpsSystemMonitor,
     nullptr, 0, 0, nullptr, 0},
    {"Read FPGA FSM System Monitor ", nullptr, 0, 32, P, FSM, READ, 2, 0x0400, 7, probingRawWords.fsmSystemMonitor,
     nullptr, 0, 0, nullptr, 0},
    {"Read FPGA DPS Fan statuses ", nullptr, 0, 32, P, DPS, READ, 2, 0x0300, 1, probingRawWords.dpsFan, nullptr, 0,
     0, nullptr, 0},
    {"Read FPGA FSM Fan statuses ", nullptr, 0, 32, P, FSM, READ, 2, 0x0500, 1, probingRawWords.fsmFan, nullptr, 0,
     0, nullptr, 0},
    {"Read Temperature Sensors", nullptr, 1, 100, P, DEVICE_CPU_TEMP, READ, 2, 0, 2, probingRawWords.cpuTemperature,
     nullptr, 0, 0, nullptr, 0},
    {"Read Temperature Sensors", &healthMonitorLm77Present, 1, 100, P, DEVICE_I2C_TEMP1, READ, 2, 0, 2,
     probingRawWords.lm77, readTemperatureSensors, 0, 0, nullptr, 0},
    {"Read Voltages", nullptr, 1, 64, P, DEVICE_I2C_POWSEQ, READ, 2, 0x6000, 2, probingRawWords.voltages,
     readVoltages, 0, 0, nullptr, 0},
    {"Read FPGA DPS DDR3 Status ", nullptr, 0, 36, P, DPS, READ, 2, 0x040B, 1, probingRawWords.dpsDdr3, nullptr, 0,
     0, nullptr, 0},
    {"Read FPGA FSM DDR3 Status ", nullptr, 0, 36, P, FSM, READ, 2, 0x080B, 1, probingRawWords.fsmDdr3, nullptr, 0,
     0, nullptr, 0},
    {"Read FPGA DPS localVideosScte104AndCCOverFlow Status ", nullptr, 0, 60, P, DPS, READ, 2, 0x0A01, 1,
     probingRawWords.dpsVancFifo, nullptr, 0, 0, nullptr, 0},
    {"Read FPGA FSM vancMdExtractLocalFifoPacketOverflow Status ", nullptr, 0, 62, P, FSM, READ, 2, 0x8C43, 1,
     probingRawWords.fsmLocalVancFifo, nullptr, 0, 0, nullptr, 0},
    {"Read FPGA FSM vancMdExtractUpStreamFifoPacketOverflow Status ", nullptr, 0, 62, P, FSM, READ, 2, 0x9424, 5,
     probingRawWords.fsmUpstreamVancFifos, nullptr, 0, 0, nullptr, 0},
    {"Read FPGA SDI Tx PLL 0 Lock Status ", nullptr, 0, 58, P, FSM, READ, 2, 0x0068, 1, probingRawWords.txPll0,
     nullptr, 0, 0, nullptr, 0},
    {"Read FPGA SDI Tx PLL 1 Lock Status ", nullptr, 0, 58, P, FSM, READ, 2, 0x006A, 1, probingRawWords.txPll1,
     nullptr, 0, 0, nullptr, 0},
};
probingAction dpsDummyRead = {"Blocking dummy read DPS", nullptr, 1, 2, P, DPS, READ, 2, 0, 1,
                              probingRawWords.dpsFpgaId, nullptr, 0, 0, nullptr, 0};
probingAction fsmDummyRead = {"Blocking dummy read and process video data", nullptr, 1, 2, P, FSM, READ, 2, 0, 1,
                              probingRawWords.fsmFpgaId, probingTargetCycleEnd, 0, 0, nullptr, 0};

} // namespace

probingAction *probingActionTable[PROBING_ACTION_COUNT] = {
    &bridgeInStatuses,
    &atdmStatuses,
    &discoveryStatuses,
    &discoveryVideoCardInfoActions[0],
    &discoveryVideoCardInfoActions[1],
    &discoveryVideoCardInfoActions[2],
    &discoveryVideoCardInfoActions[3],
    &discoveryVideoCardInfoActions[4],
    &packetStatuses,
    &sdtiProbeActions[0],
    &sdtiProbeActions[1],
    &sdtiProbeActions[2],
    &sdtiProbeActions[3],
    &unregisteredRows[0],
    &unregisteredRows[1],
    &unregisteredRows[2],
    &healthRows[0],
    &healthRows[1],
    &healthRows[2],
    &healthRows[3],
    &healthRows[4],
    &healthRows[5],
    &healthRows[6],
    &healthRows[7],
    &healthRows[8],
    &healthRows[9],
    &healthRows[10],
    &healthRows[11],
    &healthRows[12],
    &healthRows[13],
    &unregisteredRows[3],
    &dpsDummyRead,
    &fsmDummyRead,
};

volatile uint32_t discoveryVideoCardInfoEnabled[PROBING_DISCOVERY_ROWS];
volatile uint32_t sdtiProbeEnabled[PROBING_SDTI_ROWS];

void probingFillOwnedRows(uint8_t *sharedMemory)
{
    static const char *const discoveryNames[PROBING_DISCOVERY_ROWS] = {
        "Discovery: Read VideoCardInfo HEAD A, Vid 0.", "Discovery: Read VideoCardInfo HEAD A, Vid 1.",
        "Discovery: Read VideoCardInfo HEAD A, Vid 2.", "Discovery: Read VideoCardInfo HEAD A, Vid 3.",
        "Discovery: Read VideoCardInfo HEAD A, Vid 4."};
    for (uint32_t i = 0; i < PROBING_DISCOVERY_ROWS; i++) {
        /* Off until discovery gives them their reads. */
        discoveryVideoCardInfoEnabled[i] = 0;
        discoveryVideoCardInfoActions[i] = probingAction();
        discoveryVideoCardInfoActions[i].name = discoveryNames[i];
        discoveryVideoCardInfoActions[i].enable = &discoveryVideoCardInfoEnabled[i];
        discoveryVideoCardInfoActions[i].parity = 3;
    }
    static const char *const sdtiNames[PROBING_SDTI_ROWS] = {
        "Read SDTI Probes from Card A", "Read SDTI Probes from Card B", "Read SDTI Probes from Card C",
        "Read SDTI Probes from Card D"};
    for (uint32_t card = 0; card < PROBING_SDTI_ROWS; card++) {
        sdtiProbeEnabled[card] = 0;
        sdtiProbeActions[card] = {sdtiNames[card], &sdtiProbeEnabled[card], 0, 2, P, FSM, READ, 2, 0,
                                  PROBING_SDTI_WORDS,
                                  sharedMemory ? sharedMemory + PROBING_BLOCK_SIZE * card + PROBING_SDTI_OFFSET : nullptr,
                                  nullptr, 0, 0, nullptr, 0};
    }
}

void probingSetSdtiAddresses(uint32_t slot)
{
    sdtiProbeActions[0].address = slot == 1 ? 0x8800 : 0x14000;
    sdtiProbeActions[1].address = slot == 1 ? 0x14000 : 0x8800;
    sdtiProbeActions[2].address = 0x14400;
    sdtiProbeActions[3].address = 0x14800;
}

int probingSetActionRow(uint32_t row, probingAction *action)
{
    int owned = row == PROBING_ROW_GENLOCK_URS || row == PROBING_ROW_GENLOCK_URS + 1 ||
                row == PROBING_ROW_GENLOCK_URS + 2 || row == PROBING_ROW_SFP;
    if (!owned || !action) {
        log4c_category_log(log4c_category_get("ulm.firmware.probingSrvc"), LOG4C_PRIORITY_ERROR,
                           "%s failed, Bad arguments! (row %u)", __func__, row);
        return 0;
    }
    probingActionTable[row] = action;
    return 1;
}

namespace {

enum { SDTI_CONTROL_OFFSET = 5668, METER_FIRST_WORD = 2966, METER_LAST_WORD = 3093 };

uint8_t *probingCardBlock(uint32_t card)
{
    uint8_t *base = (uint8_t *)probingTargetSharedMemory();
    return base ? base + PROBING_BLOCK_SIZE * card : nullptr;
}

void putWords(uint8_t *block, uint32_t firstWord, uint32_t lastWord, uint16_t value)
{
    for (uint32_t w = firstWord; w <= lastWord; w++) {
        block[2 * w] = (uint8_t)(value >> 8);
        block[2 * w + 1] = (uint8_t)value;
    }
}

} // namespace

void setSdtiMadiPeakAndVuMetersTo126(uint32_t card)
{
    uint8_t *block = card < PROBING_CARD_COUNT ? probingCardBlock(card) : nullptr;
    if (block)
        putWords(block, METER_FIRST_WORD, METER_LAST_WORD, 0x007E);
}

void clearSdtiMadiShareMemDataSections(uint32_t card)
{
    uint8_t *block = card < PROBING_CARD_COUNT ? probingCardBlock(card) : nullptr;
    if (!block)
        return;
    putWords(block, 2838, 2933, 0);
    putWords(block, 3094, 3189, 0);
}

void controlSdtiProbingActions(uint32_t card, uint32_t on)
{
    log4c_category_t *category = log4c_category_get("ulm.firmware.probingSrvc");
    if (card >= PROBING_CARD_COUNT) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: Error. cardIndex error!!! cardIndex = %d. This should never happen.",
                           "controlSdtiProbingActions", (int)card);
        return;
    }
    /* Only cards A-D have an SDTI row; E and F must not reach the rows that follow. */
    if (card >= PROBING_SDTI_ROWS)
        return;
    on = on ? 1 : 0;
    if (sdtiProbeEnabled[card] == on)
        return;
    sdtiProbeEnabled[card] = on;
    if (on) {
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: Enabling ATDM probing (SDTI-MADI) for card %d.",
                           "controlSdtiProbingActions", (int)card);
    } else {
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: Disabling ATDM probing (SDTI-MADI) for card %d.",
                           "controlSdtiProbingActions", (int)card);
        setSdtiMadiPeakAndVuMetersTo126(card);
        clearSdtiMadiShareMemDataSections(card);
    }
    if (uint8_t *block = probingCardBlock(card)) {
        block[SDTI_CONTROL_OFFSET] = 0;
        block[SDTI_CONTROL_OFFSET + 1] = (uint8_t)on;
    }
}
