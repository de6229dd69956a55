#include "sfp/sfp.h"

#include "deviceManager/deviceManager.h"
#include "fwEnv/fwEnv.h"
#include "pcodeProcessor/pcodeProcessor.h"
#include "platform/platform.h"
#include "probing/probing.h"
#include "qvsInterface/qvsInterface.h"
#include "strata/strata.h"

#include <cstdio>
#include <cstring>
#include <pthread.h>

/*
 * The SFP cage. The state machine runs on the probing thread as the
 * post-read callback of its action; the transmitter control runs on the pcode
 * thread and at start-up, under its own lock.
 */

enum {
    STATE_IDENTIFY = 0,
    STATE_READ_BASE = 1,
    STATE_CHECK_PART = 2,
    STATE_TEMPERATURE_0 = 3,
    STATE_TEMPERATURE_1 = 4,
    STATE_VOLTAGE_0 = 5,
    STATE_VOLTAGE_1 = 6,
    STATE_POWER_0 = 7,
    STATE_POWER_1 = 8,
    STATE_REPEAT = 9,
    PRESENCE_BYTES = 3,
    CC_BASE = 63,
    VENDOR_NAME = 20,
    VENDOR_OUI = 37,
    PART_NUMBER = 40,
    TEXT_WIDTH = 16,
    CONNECTOR = 2,
    CONNECTOR_CODE = 7,
    CHANNEL_LOG_LIMIT = 3,
    STATUS_PRESENT = 0x01,
    STATUS_UNKNOWN = 0x02,
    STATUS2_OUI = 0x01,
    STATUS2_CONNECTOR = 0x02,
    BLOCK_END = 180,
    SAVE_RESTORE_POINT_TYPE = 2,
    SAVE_RESTORE_POINT_DESTINATION = 0x15,
    SAVE_RESTORE_POINT_OPCODE = 0x102d,
    ANY_SLOT = 0xFF,
};

static const char SINGLE_CHANNEL_PART[] = "EB34TD1T-SN     ";

static const struct {
    const char *name;
    uint8_t code;
} vendors[] = {{"UNKNOWN", 0},      {"CORVEL", 6},    {"GENNUM", 2},  {"OPTOWAY", 3},
               {"OE SOLUTIONS", 4}, {"EMBRIONIX", 5}, {"TARNWICK", 6}};

/* The item each state reads: address (slave << 8 | register) and bytes; 0 bytes leaves the action as it is. */
static const struct {
    uint32_t address;
    uint32_t count;
    int diag;  /* index into diag[], -1 for the serial id */
    uint32_t block;
} items[SFP_STATE_COUNT] = {
    {0x5000, PRESENCE_BYTES, -1, 0},
    {0x5000, SFP_EEPROM_SIZE, -1, 0},
    {0, 0, -1, 0},
    {0x5160, 2, 0, SFP_BLOCK_TEMPERATURE_0},
    {0x5960, 2, 1, SFP_BLOCK_TEMPERATURE_1},
    {0x5162, 2, 2, SFP_BLOCK_VOLTAGE_0},
    {0x5962, 2, 3, SFP_BLOCK_VOLTAGE_1},
    {0x5168, 2, 4, SFP_BLOCK_POWER_0},
    {0x5968, 2, 5, SFP_BLOCK_POWER_1},
    {0, 0, -1, 0},
};

static const char *const diagNames[3] = {"temperature", "voltage", "power"};

static struct {
    log4c_category_t *category;
    uint8_t *sharedMemory;
    uint32_t cageIndex;
    sfpCageRecord cage;
    pthread_mutex_t txMutex;
    uint8_t txShadow;
    volatile uint32_t dualChannel;
} sfp = {nullptr, nullptr, 0, {}, PTHREAD_MUTEX_INITIALIZER, 0, 1};

probingAction sfpProbingAction = {"Read SFP ", nullptr, 1, SFP_ACTION_PERIOD, 3, DEVICE_I2C_SFP_SERIALID, DEVICE_READ,
                                  2, 0x5000, PRESENCE_BYTES, sfp.cage.eeprom, sfpProbingStateMachine, 0, 0, nullptr,
                                  0};

sfpCageRecord sfpGetCage(void)
{
    return sfp.cage;
}

uint32_t sfpIsDualChannel(void)
{
    return sfp.dualChannel;
}

/* ---- status block ---- */

static uint8_t *ownBlock(void)
{
    if (!sfp.sharedMemory)
        return nullptr;
    return sfp.sharedMemory + CARD_STATUS_BLOCK_SIZE * platformGetCardSlotIndex();
}

static void publishWord(uint32_t byteOffset, uint16_t value)
{
    if (uint8_t *block = ownBlock()) {
        block[byteOffset] = (uint8_t)(value >> 8);
        block[byteOffset + 1] = (uint8_t)value;
    }
}

/* ---- the state machine ---- */

static void prepareVarsForPresenceDetection(uint32_t state)
{
    sfpCageRecord &cage = sfp.cage;
    if (state <= STATE_CHECK_PART) {
        memset(cage.eeprom, 0xFF, PRESENCE_BYTES);
    } else if (state < STATE_REPEAT) {
        cage.diag[items[state].diag] = 0xFFFF;
    } else if (state != STATE_REPEAT) {
        log4c_category_log(sfp.category, LOG4C_PRIORITY_ERROR, "SFP: %s Error, SFP Cage %d unknown state %d!",
                           __func__, (int)sfp.cageIndex, (int)state);
    }
}

static void prepareProbingActionForNextItem(probingAction *action, uint32_t state)
{
    if (state >= SFP_STATE_COUNT) {
        log4c_category_log(sfp.category, LOG4C_PRIORITY_ERROR, "SFP: %s Error, SFP Cage %d unknown state %d!",
                           __func__, (int)sfp.cageIndex, (int)state);
        return;
    }
    if (items[state].count == 0)
        return;
    action->address = items[state].address;
    action->count = items[state].count;
    action->destination = items[state].diag < 0 ? (void *)sfp.cage.eeprom : (void *)&sfp.cage.diag[items[state].diag];
}

/* Text bytes with NULs as blanks, terminated. */
static void copyText(char *out, const uint8_t *bytes)
{
    for (int i = 0; i < TEXT_WIDTH; i++)
        out[i] = bytes[i] ? (char)bytes[i] : ' ';
    out[TEXT_WIDTH] = '\0';
}

static void isCheckCodeValid(void)
{
    sfpCageRecord &cage = sfp.cage;
    unsigned sum = 0;
    for (int i = 0; i < CC_BASE; i++)
        sum += cage.eeprom[i];
    if ((sum & 0xFF) != cage.eeprom[CC_BASE]) {
        log4c_category_log(sfp.category, LOG4C_PRIORITY_ERROR,
                           "SFP: %s: cageNb = %d Serial Base Id Fields are NOT Valid!!! CC_BASE check failed. "
                           "(calculated=%d, expected=%d)",
                           __func__, (int)sfp.cageIndex, (int)(sum & 0xFF), cage.eeprom[CC_BASE]);
        return;
    }
    log4c_category_log(sfp.category, LOG4C_PRIORITY_NOTICE, "SFP: %s: cageNb = %d Serial Base Id Fields are Valid.",
                       __func__, (int)sfp.cageIndex);
    copyText(cage.vendorName, cage.eeprom + VENDOR_NAME);
    copyText(cage.partNumber, cage.eeprom + PART_NUMBER);
    log4c_category_log(sfp.category, LOG4C_PRIORITY_NOTICE, "SFP: %d Vendor Name %s, Part Number %s.",
                       (int)sfp.cageIndex, cage.vendorName, cage.partNumber);
}

/* Writes one byte of the module's configuration (device 15, slave << 8 | register). */
static void writeModuleRegister(uint32_t address, uint8_t value)
{
    if (deviceManagerAccess(DEVICE_WRITE, DEVICE_I2C_SFP_SERIALID, address, 0, 1, &value) != DEVICE_ACCESS_OK)
        log4c_category_log(sfp.category, LOG4C_PRIORITY_ERROR, "SFP: writing 0x%04x := 0x%02x failed", address,
                           value);
}

/*
 * Applies the state's check. 1 when the module counts as present for this
 * item, 0 when it is gone (next state 0).
 */
static int isSfpPresent(uint32_t state)
{
    sfpCageRecord &cage = sfp.cage;
    if (state <= STATE_CHECK_PART) {
        if (cage.eeprom[0] != 0xFF && cage.eeprom[1] != 0xFF && cage.eeprom[2] != 0xFF)
            return 1;
        if (!cage.notPresentLogged)
            log4c_category_log(sfp.category, LOG4C_PRIORITY_NOTICE,
                               "SFP: cage %d not present. (identifier = 0x%02x, reg_Ext_Identifier = 0x%02x, Connector "
                               "= 0x%02x. Expected all three to be non 0xFF.)",
                               (int)sfp.cageIndex, cage.eeprom[0], cage.eeprom[1], cage.eeprom[2]);
        cage.notPresentLogged = 1;
        return 0;
    }
    if (state == STATE_REPEAT)
        return 1;
    int diag = items[state].diag;
    int channel = diag % 2;
    const uint8_t *raw = (const uint8_t *)&cage.diag[diag];
    if (raw[0] != 0xFF && raw[1] != 0xFF) {
        cage.channelPresent[channel] = 1;
        return 1;
    }
    cage.channelPresent[channel] = 0;
    if (cage.missLogCount[channel] < CHANNEL_LOG_LIMIT) {
        cage.missLogCount[channel]++;
        char line[160];
        snprintf(line, sizeof line,
                 "SFP: cage %%d channel %d (0 based) not present. %s ch %d = 0x%%04x. Expected to be non 0xFF.)",
                 channel, diagNames[diag / 2], channel);
        log4c_category_log(sfp.category, LOG4C_PRIORITY_NOTICE, line, (int)sfp.cageIndex,
                           (unsigned)(raw[0] << 8 | raw[1]));
    }
    return channel == 1;
}

static uint32_t nextState(uint32_t state)
{
    sfpCageRecord &cage = sfp.cage;
    int dual = sfp.dualChannel != 0;
    switch (state) {
    case STATE_IDENTIFY:
        return STATE_READ_BASE;
    case STATE_READ_BASE:
        isCheckCodeValid();
        return STATE_CHECK_PART;
    case STATE_CHECK_PART:
        if (memcmp(cage.partNumber, SINGLE_CHANNEL_PART, TEXT_WIDTH) == 0) {
            sfp.dualChannel = 0;
            writeModuleRegister(0x519F, 0x70);
            writeModuleRegister(0x519D, 0x20);
            writeModuleRegister(0x5193, 0xFD);
        } else {
            sfp.dualChannel = 1;
        }
        return STATE_TEMPERATURE_0;
    case STATE_TEMPERATURE_0:
    case STATE_TEMPERATURE_1: {
        int channel = state - STATE_TEMPERATURE_0;
        cage.temperatureInt[channel] = (uint8_t)(cage.diag[channel] >> 8);
        return state == STATE_TEMPERATURE_0 && dual ? STATE_TEMPERATURE_1 : STATE_VOLTAGE_0;
    }
    case STATE_VOLTAGE_0:
    case STATE_VOLTAGE_1: {
        int channel = state - STATE_VOLTAGE_0;
        cage.voltage[channel] = (uint16_t)(cage.diag[2 + channel] * 0.0001 * 100 + 0.5);
        return state == STATE_VOLTAGE_0 && dual ? STATE_VOLTAGE_1 : STATE_POWER_0;
    }
    case STATE_POWER_0:
    case STATE_POWER_1: {
        int channel = state - STATE_POWER_0;
        cage.power[channel] = cage.diag[4 + channel];
        return state == STATE_POWER_0 && dual ? STATE_POWER_1 : STATE_REPEAT;
    }
    default:
        return STATE_TEMPERATURE_0;
    }
}

static void lookUpVendor(void)
{
    sfpCageRecord &cage = sfp.cage;
    cage.status[0] |= STATUS_UNKNOWN;
    for (const auto &vendor : vendors) {
        if (strncmp(cage.vendorName, vendor.name, 4) == 0) {
            cage.status[0] = (uint8_t)((cage.status[0] & 0x0F & ~STATUS_UNKNOWN) | vendor.code << 4);
            break;
        }
    }
    const uint8_t *oui = cage.eeprom + VENDOR_OUI;
    cage.status[1] = (uint8_t)((oui[0] == 0x00 && oui[1] == 0x50 && oui[2] == 0x1E ? STATUS2_OUI : 0) |
                               (cage.eeprom[CONNECTOR] == CONNECTOR_CODE ? STATUS2_CONNECTOR : 0));
    if (cage.status[0] & STATUS_UNKNOWN)
        log4c_category_log(sfp.category, LOG4C_PRIORITY_ERROR, "SFP: %d Vendor Name %s unknown.", (int)sfp.cageIndex,
                           cage.vendorName);
}

static void updateSfpSharedMem(uint32_t state)
{
    sfpCageRecord &cage = sfp.cage;
    cage.status[0] = (uint8_t)((cage.status[0] & ~STATUS_PRESENT) | (cage.present ? STATUS_PRESENT : 0));
    if (state == STATE_READ_BASE && cage.present) {
        lookUpVendor();
        memcpy(cage.partNumberWords, cage.partNumber, TEXT_WIDTH);
        if (uint8_t *block = ownBlock())
            memcpy(block + SFP_BLOCK_PART_NUMBER, cage.partNumberWords, TEXT_WIDTH);
    } else if (state >= STATE_TEMPERATURE_0 && state <= STATE_POWER_1) {
        int diag = items[state].diag;
        int channel = diag % 2;
        uint16_t value = 0;
        if (cage.channelPresent[channel]) {
            switch (diag / 2) {
            case 0: value = (uint16_t)(cage.temperatureInt[channel] << 8); break;
            case 1: value = cage.voltage[channel]; break;
            default: value = cage.power[channel]; break;
            }
        } else if (channel == 0) {
            cage.status[0] |= STATUS_UNKNOWN;
        }
        publishWord(items[state].block, value);
    }
    publishWord(SFP_BLOCK_STATUS, (uint16_t)(cage.status[0] << 8 | cage.status[1]));
}

/* A module that is gone leaves nothing of itself in the status block. */
static void clearPublished(void)
{
    sfpCageRecord &cage = sfp.cage;
    cage.status[0] = cage.status[1] = 0;
    memset(cage.partNumberWords, 0, sizeof cage.partNumberWords);
    if (uint8_t *block = ownBlock())
        memset(block + SFP_BLOCK_STATUS, 0, BLOCK_END - SFP_BLOCK_STATUS);
}

void sfpProbingStateMachine(probingAction *action)
{
    sfpCageRecord &cage = sfp.cage;
    uint32_t state = cage.state;
    if (state >= SFP_STATE_COUNT) {
        log4c_category_log(sfp.category, LOG4C_PRIORITY_ERROR, "SFP: %s Error, SFP Cage %d unknown state %d!",
                           __func__, (int)sfp.cageIndex, (int)state);
        return;
    }
    uint32_t next;
    if (!isSfpPresent(state)) {
        if (state <= STATE_CHECK_PART)
            clearPublished();
        cage.present = 0;
        next = STATE_IDENTIFY;
    } else {
        if (!cage.present && state <= STATE_CHECK_PART) {
            cage.notPresentLogged = 0;
            cage.missLogCount[0] = cage.missLogCount[1] = 0;
        }
        if (state <= STATE_CHECK_PART)
            cage.present = 1;
        if (state >= STATE_TEMPERATURE_0 && state <= STATE_POWER_1) {
            uint16_t &word = cage.diag[items[state].diag];
            const uint8_t *raw = (const uint8_t *)&word;
            word = (uint16_t)(raw[0] << 8 | raw[1]);
        }
        next = nextState(state);
    }
    updateSfpSharedMem(state);
    cage.state = next;
    prepareVarsForPresenceDetection(next);
    prepareProbingActionForNextItem(action, next);
}

/* ---- transmitters ---- */

int sfpDisableTx(uint32_t cage, uint32_t txId, uint32_t disable)
{
    if (cage != 0 || txId > 2 || disable > 1) {
        log4c_category_log(sfp.category, LOG4C_PRIORITY_ERROR, "SFP: %s Error, SFP Cage %d txId %d value  %d!",
                           __func__, (int)cage, (int)txId, (int)disable);
        return 0;
    }
    pthread_mutex_lock(&sfp.txMutex);
    log4c_category_log(sfp.category, LOG4C_PRIORITY_NOTICE, "SFP: %s request, Cage: %d txId: %d, disable: %d!",
                       __func__, (int)cage, (int)txId, (int)disable);
    log4c_category_log(sfp.category, LOG4C_PRIORITY_NOTICE, "SFP: %s state, tx1_disable: %d, tx2_disable: %d!",
                       __func__, sfp.txShadow & 1, (sfp.txShadow >> 1) & 1);
    uint8_t bit = txId == 1 ? 0x2 : 0x1;
    sfp.txShadow = (uint8_t)(disable ? sfp.txShadow | bit : sfp.txShadow & ~bit);
    uint8_t word[2] = {0, sfp.txShadow};
    int done = deviceManagerAccess(DEVICE_WRITE, DEVICE_FSM_FPGA, SFP_TX_REGISTER, 0, 1, word) == DEVICE_ACCESS_OK;
    pthread_mutex_unlock(&sfp.txMutex);
    if (!done)
        log4c_category_log(sfp.category, LOG4C_PRIORITY_ERROR, "SFP: %s writing the transmitter register failed",
                           __func__);
    return done;
}

static void sfpSaveRestorePoint(void)
{
    log4c_category_log(sfp.category, LOG4C_PRIORITY_NOTICE, "%s: sending SAVE_RESTORE_POINT to strata", __func__);
    const uint8_t payload[3] = {0, 0, 0};
    strata_sendmsg(SAVE_RESTORE_POINT_TYPE, SAVE_RESTORE_POINT_DESTINATION, SAVE_RESTORE_POINT_OPCODE, payload,
                   sizeof payload);
}

static const char *disableKey(uint32_t txId)
{
    return txId == 1 ? "sfp2disable" : "sfp1disable";
}

int sfpSetDevicePcodeHandler(uint8_t slot, uint16_t device, uint16_t reg, uint32_t value)
{
    (void)slot;
    log4c_category_log(sfp.category, LOG4C_PRIORITY_NOTICE,
                       "%s, SFP: start processing pcode, device id: %d, register id: %d, value: %d ", __func__, device,
                       reg, (int)value);
    if (device != SFP_DEVICE_SFP1 && device != SFP_DEVICE_SFP2) {
        log4c_category_log(sfp.category, LOG4C_PRIORITY_ERROR, "SFP: invalid device id ");
        return SFP_PCODE_REFUSED;
    }
    if (reg != SFP_REGISTER_TX_ENABLE) {
        log4c_category_log(sfp.category, LOG4C_PRIORITY_ERROR, "SFP: invalid register id ");
        return SFP_PCODE_REFUSED;
    }
    if (value >= 2) {
        log4c_category_log(sfp.category, LOG4C_PRIORITY_ERROR, "SFP: invalid value ");
        return SFP_PCODE_REFUSED;
    }
    uint32_t txId = device - SFP_DEVICE_SFP1;
    sfpDisableTx(0, txId, 1 - value);
    setFlashProperty(disableKey(txId), value ? "0" : "1", sfp.category);
    sfpSaveRestorePoint();
    log4c_category_log(sfp.category, LOG4C_PRIORITY_NOTICE,
                       "%s, SFP: finish processing pcode, device id: %d, register id: %d, value: %d ", __func__, device,
                       reg, (int)value);
    return SFP_PCODE_DONE;
}

static void setDeviceListener(uint8_t slot, uint16_t device, uint16_t reg, uint32_t value)
{
    sfpSetDevicePcodeHandler(slot, device, reg, value);
}

void sfpApplyStoredTxDisable(log4c_category_t *category)
{
    if (!sfp.category)
        sfp.category = category;
    static const struct {
        uint32_t txId;
        const char *disabled;
        const char *enabled;
    } transmitters[] = {{0, "SFP: disabled on head 1 ", "SFP: head 1 enable by default "},
                        {1, "SFP: disabled on head 2 ", "SFP: head 2 enable by default "}};
    for (const auto &t : transmitters) {
        char value[16];
        if (fwEnvGetEnvCopy(disableKey(t.txId), value, sizeof value) == 0) {
            int disabled = 0;
            if (sscanf(value, "%d", &disabled) == 1 && disabled == 1) {
                log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s", t.disabled);
                sfpDisableTx(0, t.txId, 1);
            }
        } else {
            log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s", t.enabled);
            setFlashProperty(disableKey(t.txId), "0", category);
        }
    }
}

void platformSFPOutControl(uint32_t head)
{
    if (head > 3)
        log4c_category_log(sfp.category, LOG4C_PRIORITY_ERROR, "ERROR %s: head %d does not exist!", __func__,
                           (int)head);
}

void sfpInit(log4c_category_t *category, void *sharedMemory)
{
    sfp.category = category;
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "SFP: Initialisation ");
    if (!sharedMemory)
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "SFP: Error, the shared mem pointer is null!!!! ");
    sfp.sharedMemory = (uint8_t *)sharedMemory;
    sfp.cageIndex = 0;
    sfp.cage = sfpCageRecord();
    sfp.dualChannel = 1;
    prepareVarsForPresenceDetection(STATE_IDENTIFY);
    prepareProbingActionForNextItem(&sfpProbingAction, STATE_IDENTIFY);
    probingSetActionRow(PROBING_ROW_SFP, &sfpProbingAction);
    static setDevicePcodeHandlerInfo listeners[2] = {
        {setDeviceListener, ANY_SLOT, SFP_DEVICE_SFP1, SFP_REGISTER_TX_ENABLE, nullptr},
        {setDeviceListener, ANY_SLOT, SFP_DEVICE_SFP2, SFP_REGISTER_TX_ENABLE, nullptr}};
    static int registered = 0;
    if (!registered) {
        registered = 1;
        registerSetDevicePcodeHandler(&listeners[0]);
        registerSetDevicePcodeHandler(&listeners[1]);
    }
}

static const probingTarget_t sfpProbingTarget = {"sfp", sfpInit, nullptr, nullptr, nullptr};

void sfpRegister(void)
{
    probingRegisterTarget(PROBING_TARGET_LATE, &sfpProbingTarget);
}
