#include "probing/probing.h"

#include "deviceManager/deviceManager.h"

#include <cstring>
#include <initializer_list>
#include <pthread.h>

platformProbeFlags_t probingControlFlags;
uint8_t healthMonitorCardAlarms[2];
fifoServerCardPorts_t fifoServerCardPorts = {PROBING_FIFO_CARD_COUNT, {0, 0, 0, 0, 0, 0}};
uint8_t discoveryDebugBuffer[PROBING_DISCOVERY_DEBUG_SIZE];
uint8_t localDiscoveryRecord[PROBING_LOCAL_DISCOVERY_SIZE];

static struct {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    uint16_t word = 0;
    uint16_t written = 0;
    int everWritten = 0;
} probingControl;

enum {
    AUDIO_PROBE_BASE = 0x2200,
    AUDIO_PROBE_STRIDE = 32,
    AUDIO_PROBE_PAIRS = 14,
    SDTI_PROBE_BLOCK = 0x2320,
    SDTI_INSERTION_WORDS = 352,
    SDTI_INSERTION_REGISTER = 0x2005,
    SDTI_CONTROL_BASE = 0x0C10,
    SDTI_CONTROL_STRIDE = 32,
};

static uint32_t sdtiInsertionWords;
static struct {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    uint16_t control[3] = {0, 0, 0};   /* bridges 0 and 2 are used */
} sdtiBridges;

static log4c_category_t *probingCategory(void)
{
    return log4c_category_get("ulm.firmware.probingSrvc");
}

/* One blocking write of one big-endian word. */
static void writeWord(uint32_t device, uint32_t address, uint16_t value)
{
    uint8_t bytes[2] = {(uint8_t)(value >> 8), (uint8_t)value};
    deviceManagerAccess(DEVICE_WRITE, device, address, 0, 1, bytes);
}

static uint16_t readWord(uint32_t device, uint32_t address)
{
    uint8_t bytes[2] = {0, 0};
    deviceManagerAccess(DEVICE_READ, device, address, 0, 1, bytes);
    return probingBigEndian(bytes);
}

/* Writes descriptor pairs {source, length} from a register on, one word per register. */
static void writePairs(uint32_t address, const uint16_t (*pairs)[2], uint32_t count)
{
    for (uint32_t p = 0; p < count; p++) {
        writeWord(DEVICE_FSM_FPGA, address + 2 * p, pairs[p][0]);
        writeWord(DEVICE_FSM_FPGA, address + 2 * p + 1, pairs[p][1]);
    }
}

void probingInitFpgaProbeTables(void)
{
    writeWord(DEVICE_DPS_FPGA, 0x0412, 0x0019);
    writeWord(DEVICE_DPS_FPGA, 0x0414, 0x00C2);
    writeWord(DEVICE_DPS_FPGA, 0x0413, 0x0000);
    writeWord(DEVICE_DPS_FPGA, 0x0410, (uint16_t)(readWord(DEVICE_DPS_FPGA, 0x0410) | 0x0003));
    writeWord(DEVICE_DPS_FPGA, 0x0411, (uint16_t)((readWord(DEVICE_DPS_FPGA, 0x0411) & 0x00FF) | 0xFF01));
    for (uint32_t k = 0; k < 9; k++) {
        const uint16_t head[8] = {(uint16_t)(0x2000 + 0x100 * k), 0x0012, (uint16_t)(0x4840 + 4 * k), 0x0002,
                                  (uint16_t)(0x4880 + 2 * k), 0x0001, (uint16_t)(0x4900 + 8 * k), 0x0004};
        for (uint32_t w = 0; w < 32; w++)
            writeWord(DEVICE_DPS_FPGA, 0x0600 + 32 * k + w, w < 8 ? head[w] : 0);
    }
    writeWord(DEVICE_DPS_FPGA, 0x0416, 0x0024);
    writeWord(DEVICE_DPS_FPGA, 0x0410, (uint16_t)(readWord(DEVICE_DPS_FPGA, 0x0410) | 0x0008));
    for (uint32_t k = 0; k < 9; k++) {
        writeWord(DEVICE_DPS_FPGA, 0x0740 + 2 * k, (uint16_t)(0x2008 + 0x100 * k));
        writeWord(DEVICE_DPS_FPGA, 0x0741 + 2 * k, 0x0004);
    }
}

void audioProbeSelection(log4c_category_t *category, uint32_t input)
{
    if (!category)
        category = probingCategory();
    if (input > 8) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: Error in arg videoInputNumber = %d (range is 0-8).",
                           __func__, (int)input);
        return;
    }
    uint32_t setting = 0;
    platformGetKvrVideoStreamSetting(category, input, &setting);
    const uint32_t a = setting == 1 ? 0x6000 : 0x4000, i = input;
    const uint32_t sources[AUDIO_PROBE_PAIRS][2] = {
        {a + 8 * i, 8},           {a + 0x80 + 8 * i, 8},   {a + 0x100 + 8 * i, 8},  {0x8960 + 4 * i, 4},
        {0x8960 + 4 * i, 4},      {a + 0x800 + 16 * i, 16}, {a + 0x900 + 16 * i, 16}, {a + 0xA00 + 8 * i, 8},
        {a + 0xB00 + 16 * i, 16}, {a + 0x1000 + 64 * i, 64}, {a + 0x1400 + 8 * i, 8}, {0x2400 + 4 * i, 4},
        {0x2440 + 4 * i, 4},      {0x2480 + i, 1},
    };
    uint16_t pairs[AUDIO_PROBE_PAIRS][2];
    for (uint32_t p = 0; p < AUDIO_PROBE_PAIRS; p++) {
        pairs[p][0] = (uint16_t)(2 * sources[p][0]);   /* byte address, modulo 0x10000 */
        pairs[p][1] = (uint16_t)sources[p][1];
    }
    writePairs(AUDIO_PROBE_BASE + AUDIO_PROBE_STRIDE * input, pairs, AUDIO_PROBE_PAIRS);
}

void audioProbeInit(void)
{
    writeWord(DEVICE_FSM_FPGA, 0x2002, 0x00A9);
    writeWord(DEVICE_FSM_FPGA, 0x2004, 0x00C2);
    writeWord(DEVICE_FSM_FPGA, 0x2003, 0x0019);
    writeWord(DEVICE_FSM_FPGA, 0x2000, 0x0003);
    writeWord(DEVICE_FSM_FPGA, 0x2001, 0x01FF);
    for (uint32_t input = 0; input < 9; input++)
        audioProbeSelection(probingCategory(), input);
}

void probingInitSdtiRegisters(log4c_category_t *category)
{
    (void)category;
    static const uint16_t pairs[9][2] = {{0xC000, 0x0020}, {0xC100, 0x0020}, {0xC200, 0x0020},
                                         {0x12C0, 0x0010}, {0x12C0, 0x0010}, {0xD000, 0x0040},
                                         {0xD200, 0x0040}, {0xD400, 0x0020}, {0xD600, 0x0040}};
    writePairs(SDTI_PROBE_BLOCK, pairs, 9);
    sdtiInsertionWords = SDTI_INSERTION_WORDS;
    writeWord(DEVICE_FSM_FPGA, SDTI_INSERTION_REGISTER, (uint16_t)sdtiInsertionWords);
}

void sdtiMadiInsertionUpdate(log4c_category_t *category, uint32_t on)
{
    if (!category)
        category = probingCategory();
    uint32_t slot = platformGetCardSlotIndex();
    pthread_mutex_lock(&sdtiBridges.mutex);
    for (uint32_t bridge : {0u, 2u}) {
        uint16_t &word = sdtiBridges.control[bridge];
        int notNeeded = on && bridge == 0 && slot < 2;
        if (on && !notNeeded)
            word |= 1;
        else
            word &= (uint16_t)~1;
        writeWord(DEVICE_FSM_FPGA, SDTI_CONTROL_BASE + SDTI_CONTROL_STRIDE * bridge, word);
        if (notNeeded)
            log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                               "Disabling SDTI/MADI insertion on Bridge %d because not needed. Sdti reg value 0x%04x",
                               (int)bridge, word);
        else
            log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                               on ? "Enabling SDTI/MADI insertion on Bridge %d. Sdti reg value 0x%04x" :
                                    "Disabling SDTI/MADI insertion on Bridge %d. Sdti reg value 0x%04x",
                               (int)bridge, word);
    }
    pthread_mutex_unlock(&sdtiBridges.mutex);
}

/* The register write of the pre-start set-ups: one blocking big-endian word, logged. */
static void probingWriteRegister(log4c_category_t *category, uint32_t address, uint16_t value)
{
    log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "Probing: Writing at address 0x%04x, the value 0x%04x\n",
                       address, value);
    writeWord(DEVICE_FSM_FPGA, address, value);
}

void probingVancInsertionSetUp(log4c_category_t *category)
{
    if (!category)
        category = probingCategory();
    probingWriteRegister(category, SDTI_INSERTION_REGISTER, (uint16_t)sdtiInsertionWords);
}

void probingMergerVancProberInit(log4c_category_t *category)
{
    if (!category)
        category = probingCategory();
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "Initialising the Merger FPGA VANC prober!");
}

void probingSdtiMadiStartUp(log4c_category_t *category)
{
    (void)category;
    uint32_t slot = platformGetCardSlotIndex();
    probingSetSdtiAddresses(slot);
    for (uint32_t card = 0; card < PROBING_CARD_COUNT; card++) {
        setSdtiMadiPeakAndVuMetersTo126(card);
        clearSdtiMadiShareMemDataSections(card);
    }
    platformUpdateControlRegister(6, slot & 1);
}

void platformUpdateControlRegister(uint32_t kind, uint32_t value)
{
    pthread_mutex_lock(&probingControl.mutex);
    uint8_t low = (uint8_t)probingControl.word;
    uint8_t high = (uint8_t)(probingControl.word >> 8);
    switch (kind) {
    case 0: low = 1; high = 0; break;
    case 1: high |= 0x20; break;
    case 2: high &= (uint8_t)~0x20; break;
    case 3: low = (uint8_t)((low & ~0x3E) | 0x01 | (value & 0x3E)); break;
    case 4: high |= 0x08; break;
    case 5: high &= (uint8_t)~0x08; break;
    case 6: high = (uint8_t)((high & ~0x04) | ((value & 1) << 2)); break;
    default: break;
    }
    probingControl.word = (uint16_t)(high << 8 | low);
    if (!probingControl.everWritten || probingControl.word != probingControl.written) {
        uint8_t bytes[2] = {high, low};
        if (deviceManagerAccess(DEVICE_WRITE, DEVICE_FSM_FPGA, PROBING_CONTROL_REGISTER, 0, 1, bytes) == 0) {
            probingControl.written = probingControl.word;
            probingControl.everWritten = 1;
        }
    }
    pthread_mutex_unlock(&probingControl.mutex);
}
