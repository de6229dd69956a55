#include "probing/discovery.h"

#include "deviceManager/deviceManager.h"
#include "fwEnv/fwEnv.h"
#include "probing/probing.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <semaphore.h>

/*
 * The outgoing VANC discovery record and the incoming discovery statuses.
 * The record lives in the local discovery record memory (lent read-only to
 * the device services) and is only changed while semWriteReady is held, so a
 * rewrite always carries one consistent record.
 */

namespace {

enum {
    BRIDGE0_RECORD = 0x0A00,
    BRIDGE2_RECORD = 0x0B00,
    BRIDGE0_ENABLE = 0x0920,
    BRIDGE2_ENABLE = 0x0930,
    SETUP_WORDS = 4,
    CONTROL_FROM_SETUP = 4,        /* the control word follows the 4 set-up words */
    EXTRACTION_ENABLE = 0x8E0A,
    CARD_INFO_BASE = 0x9000,
    CARD_INFO_STRIDE = 128,
    CARD_INFO_MAX_WORDS = 128,
    STATUS_PRESENT = 0x8000,
    STATUS_BYTES = 0x03FF,
    STATUS_NOT_CONFIGURED = 0xFFFF,
    VANC_STRUCTURE_VERSION = 256,
    LAYOUT_SYNC_OFFSET = 54,
    LAYOUT_SYNC_MIN_BYTES_FOR_INFO = 27,
    /* VANC insertion set-up: line-number word (data count 30 in the low byte) and the identifiers (bit 9 set). */
    INSERTION_LINE = 0x0A00 | DISCOVERY_RECORD_SIZE,
    INSERTION_DID = 0x0200 | 0x51,
    INSERTION_SDID = 0x0200 | 0x07,
    INSERTION_DBN = 0x0200 | 0x01,
};

struct upstreamCard_t {
    uint32_t readFlag;
    uint8_t info[DISCOVERY_CARD_INFO_SIZE];
};

struct discoveryBlock_t {
    upstreamCard_t cards[DISCOVERY_UPSTREAM_CARDS];
    uint16_t layoutSync[DISCOVERY_UPSTREAM_CARDS];
    uint8_t present[DISCOVERY_TABLE_ENTRIES];
    uint8_t presentBefore[DISCOVERY_TABLE_ENTRIES];
};

struct {
    sem_t semWriteReady;
    int semaphoreCreated;
    log4c_category_t *category;
    uint8_t *sharedMemory;
    int extractionEnabled;
    int notConfiguredReported;
    discoveryBlock_t block;
} discovery;

uint8_t *const record = localDiscoveryRecord;

log4c_category_t *category()
{
    if (!discovery.category)
        discovery.category = log4c_category_get("ulm.firmware.probingSrvc");
    return discovery.category;
}

void putWord(uint8_t *bytes, uint32_t offset, uint16_t value)
{
    bytes[offset] = (uint8_t)(value >> 8);
    bytes[offset + 1] = (uint8_t)value;
}

uint16_t getWord(const uint8_t *bytes, uint32_t offset)
{
    return (uint16_t)(bytes[offset] << 8 | bytes[offset + 1]);
}

void writeFsm(uint32_t address, const uint8_t *bigEndianWords, uint32_t count)
{
    uint32_t status = deviceManagerAccess(DEVICE_WRITE, DEVICE_FSM_FPGA, address, 0, count, (void *)bigEndianWords);
    if (status != 0)
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "%s: FPGA FSM write of %u words at 0x%04x failed (%u).",
                           "vancMetaDataWrite", count, address, status);
}

void writeFsmWord(uint32_t address, uint16_t value)
{
    uint8_t bytes[2];
    putWord(bytes, 0, value);
    writeFsm(address, bytes, 1);
}

uint16_t readFsmWord(uint32_t address)
{
    uint8_t bytes[2] = {0, 0};
    deviceManagerAccess(DEVICE_READ, DEVICE_FSM_FPGA, address, 0, 1, bytes);
    return getWord(bytes, 0);
}

uint32_t recordAddress(uint32_t bridge)
{
    return bridge == 0 ? BRIDGE0_RECORD : BRIDGE2_RECORD;
}

uint32_t enableAddress(uint32_t bridge)
{
    return bridge == 0 ? BRIDGE0_ENABLE : BRIDGE2_ENABLE;
}

/* Writes the record to one bridge (0 or 2) and re-arms its insertion. Semaphore held. */
void writeBridge(uint32_t bridge)
{
    putWord(record, DISCOVERY_OFFSET_BRIDGE, (uint16_t)bridge);
    writeFsm(recordAddress(bridge), record, DISCOVERY_RECORD_WORDS);
    writeFsmWord(enableAddress(bridge) + 1 + CONTROL_FROM_SETUP, 0x0001);
}

int lock(const char *function)
{
    if (!discovery.semaphoreCreated) {
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "%s: semaphore semWriteReady not created.", function);
        return 0;
    }
    while (sem_wait(&discovery.semWriteReady) != 0) {
    }
    return 1;
}

void unlock(void)
{
    sem_post(&discovery.semWriteReady);
}

/* Writes the record to bridge 0, 2 or both. Semaphore held. */
void writeBridges(uint32_t bridge)
{
    if (bridge == 0 || bridge == DISCOVERY_BRIDGE_BOTH)
        writeBridge(0);
    if (bridge == 2 || bridge == DISCOVERY_BRIDGE_BOTH)
        writeBridge(2);
}

/* A card further down the chain than the first of its system sees upstream cards on bridge 0. */
int hasUpstreamCards(void)
{
    return platformGetAmountOfCardsInMyKvrSystem() > 1 && platformGetCardSlotIndex() > 0;
}

/*
 * Stores a field, then rewrites the record into the bridge(s). Every rewrite
 * carries the whole record, so a writer coming between the two steps writes
 * this field as well.
 */
void setField(const char *function, uint32_t offset, const uint8_t *bytes, uint32_t count, uint32_t bridge)
{
    int locked = lock(function);
    memcpy(record + offset, bytes, count);
    if (!locked)
        return;
    unlock();
    vancMetaDataWrite(bridge);
}

} // namespace

void vancMetaDataClearBuffer(log4c_category_t *cat)
{
    memset(record, 0, DISCOVERY_RECORD_SIZE);
    if (discovery.semaphoreCreated)
        return;
    if (sem_init(&discovery.semWriteReady, 0, 1) != 0) {
        log4c_category_log(cat, LOG4C_PRIORITY_ERROR, "%s: failed to create semaphore semWriteReady", __func__);
        return;
    }
    discovery.semaphoreCreated = 1;
}

void vancMetaDataInterfaceInit(log4c_category_t *cat)
{
    const char *variable = platformAreWeUsingVlan(cat) ? "ipaddrvlan2" : "ipaddr";
    char text[64];
    int ip[4] = {0, 0, 0, 0};
    if (fwEnvGetEnvCopy(variable, text, sizeof text) != 0 ||
        sscanf(text, "%d.%d.%d.%d", &ip[0], &ip[1], &ip[2], &ip[3]) != 4) {
        log4c_category_log(cat, LOG4C_PRIORITY_ERROR, "%s: no usable IP address in \"%s\".", __func__, variable);
        memset(ip, 0, sizeof ip);
    }
    int locked = lock(__func__);
    uint16_t cardId = (uint16_t)platformGetCardSlotIndex();
    putWord(record, 0, 0x0001);
    putWord(record, 2, 0x0001);
    putWord(record, DISCOVERY_OFFSET_CARD_ID, cardId);
    putWord(record, 6, 0xCAFE);
    putWord(record, 8, 0xBABE);
    putWord(record, DISCOVERY_OFFSET_FRAME_VALUE, platformGetStrataCardId());
    for (int i = 0; i < 4; i++)
        record[DISCOVERY_OFFSET_IP + i] = (uint8_t)ip[i];
    log4c_category_log(cat, LOG4C_PRIORITY_NOTICE,
                       "videoVancCardInfo discoveryInfo cardId logical ID is 0x%x size of vanc data is: %d Vanc Structure "
                       "version is %d",
                       cardId, (int)DISCOVERY_RECORD_SIZE, (int)VANC_STRUCTURE_VERSION);
    static const uint8_t setup[SETUP_WORDS * 2] = {
        INSERTION_LINE >> 8, INSERTION_LINE & 0xFF, INSERTION_DID >> 8, INSERTION_DID & 0xFF,
        INSERTION_SDID >> 8, INSERTION_SDID & 0xFF, INSERTION_DBN >> 8, INSERTION_DBN & 0xFF};
    for (uint32_t bridge : {0u, 2u}) {
        log4c_category_log(cat, LOG4C_PRIORITY_NOTICE, "%s: Setting up FPGA FSM to insert Discovery info in VANC of bridge %d.",
                           __func__, (int)bridge);
        putWord(record, DISCOVERY_OFFSET_BRIDGE, (uint16_t)bridge);
        writeFsm(recordAddress(bridge), record, DISCOVERY_RECORD_WORDS);
        uint32_t enable = enableAddress(bridge);
        writeFsm(enable + 1, setup, SETUP_WORDS);
        uint32_t control = enable + 1 + CONTROL_FROM_SETUP;
        writeFsmWord(control, (uint16_t)(readFsmWord(control) | 1));
        uint16_t enableWord = readFsmWord(enable);
        if (bridge == 0 && hasUpstreamCards())
            enableWord &= (uint16_t)~1;
        else
            enableWord |= 1;
        writeFsmWord(enable, enableWord);
    }
    if (locked)
        unlock();
}

void vancMetaDataWrite(uint32_t bridge)
{
    if (bridge != 0 && bridge != 2 && bridge != DISCOVERY_BRIDGE_BOTH) {
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "%s: bad bridge %u.", __func__, bridge);
        return;
    }
    if (!lock(__func__))
        return;
    writeBridges(bridge);
    unlock();
}

void vancMetaDataGetRecord(uint8_t buffer[DISCOVERY_RECORD_SIZE])
{
    int locked = lock(__func__);
    memcpy(buffer, record, DISCOVERY_RECORD_SIZE);
    if (locked)
        unlock();
}

void discoveryIPAddressChanged(uint32_t frameIp)
{
    log4c_category_log(category(), LOG4C_PRIORITY_NOTICE, "discoveryIPAddressChanged!");
    log4c_category_log(category(), LOG4C_PRIORITY_NOTICE, "videoVancCardInfo discoveryInfo frameIp is 0x%x", frameIp);
    uint8_t bytes[6];
    putWord(bytes, 0, (uint16_t)(frameIp >> 16));
    putWord(bytes, 2, (uint16_t)frameIp);
    putWord(bytes, 4, platformGetStrataCardId());
    setField(__func__, DISCOVERY_OFFSET_FRAME_IP, bytes, sizeof bytes, DISCOVERY_BRIDGE_BOTH);
}

void discoveryFrameStatusChanged(uint16_t status)
{
    log4c_category_log(category(), LOG4C_PRIORITY_DEBUG, "discoveryFrameStatusChanged!");
    uint8_t bytes[2];
    putWord(bytes, 0, status);
    setField(__func__, DISCOVERY_OFFSET_FRAME_STATUS, bytes, sizeof bytes, DISCOVERY_BRIDGE_BOTH);
}

void discoverySetStrataFrameType(uint8_t type)
{
    log4c_category_log(category(), LOG4C_PRIORITY_DEBUG, "discoverySetStrataFrameType!");
    uint8_t bytes[2] = {type, 0};
    setField(__func__, DISCOVERY_OFFSET_FRAME_TYPE, bytes, 1, DISCOVERY_BRIDGE_BOTH);
}

void layoutSyncSetInfo(uint32_t head, const layoutSyncInfo_t *info)
{
    if (!info || head > 3) {
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "%s: bad arguments (head %u).", __func__, head);
        return;
    }
    log4c_category_log(category(), LOG4C_PRIORITY_INFO, "%s for head %d Done(%d), Started(%d) layoutNumber(%d)!",
                       "layoutSyncSetInfo", (int)head, (int)info->done, (int)info->started, (int)info->layoutNumber);
    uint8_t bytes[2] = {(uint8_t)info->layoutNumber,
                        (uint8_t)(((info->layoutNumber >> 8) & 0x3F) | (info->started ? 0x40 : 0) | (info->done ? 0x80 : 0))};
    setField(__func__, DISCOVERY_OFFSET_LAYOUT_SYNC, bytes, sizeof bytes, head < 2 ? 0 : 2);
}

void discoveryInit(log4c_category_t *cat, void *sharedMemory)
{
    discovery.category = cat;
    log4c_category_log(category(), LOG4C_PRIORITY_DEBUG, "discoveryInit ");
    discovery.sharedMemory = (uint8_t *)sharedMemory;
    memset(&discovery.block, 0, sizeof discovery.block);
    discovery.extractionEnabled = 0;
    discovery.notConfiguredReported = 0;
    static const char *const names[DISCOVERY_UPSTREAM_CARDS] = {
        "Discovery: Read VideoCardInfo HEAD A, Vid 0.", "Discovery: Read VideoCardInfo HEAD A, Vid 1.",
        "Discovery: Read VideoCardInfo HEAD A, Vid 2.", "Discovery: Read VideoCardInfo HEAD A, Vid 3.",
        "Discovery: Read VideoCardInfo HEAD A, Vid 4."};
    for (uint32_t k = 0; k < DISCOVERY_UPSTREAM_CARDS; k++) {
        discoveryVideoCardInfoEnabled[k] = 0;
        probingAction &row = discoveryVideoCardInfoActions[k];
        row = probingAction();
        row.name = names[k];
        row.enable = &discoveryVideoCardInfoEnabled[k];
        row.blocking = 0;
        row.period = 2;
        row.parity = 3;
        row.device = DEVICE_FSM_FPGA;
        row.command = DEVICE_READ;
        row.priority = 2;
    }
    discoveryExtractionEnabled = 1;
    log4c_category_log(category(), LOG4C_PRIORITY_DEBUG, "discoveryInit exit");
}

uint16_t probingDiscoveryUpstreamLayoutSync(uint32_t card)
{
    return card < DISCOVERY_UPSTREAM_CARDS ? discovery.block.layoutSync[card] : 0;
}

uint32_t probingDiscoverySdiIndexPresent(uint32_t index)
{
    return index < DISCOVERY_TABLE_ENTRIES ? discovery.block.present[index] : 0;
}

namespace {

uint16_t statusWord(uint32_t card)
{
    return getWord((const uint8_t *)probingRawWords.discovery, 2 * card);
}

/* Step 3: the upstream cards' information and this card's own record into the discovery table. */
void fillTable(log4c_category_t *cat, uint8_t *table)
{
    int firstEmpty = -1;
    for (uint32_t k = 0; k < DISCOVERY_UPSTREAM_CARDS; k++) {
        uint16_t status = statusWord(k);
        uint8_t *entry = table + DISCOVERY_TABLE_ENTRY_SIZE * k;
        upstreamCard_t &card = discovery.block.cards[k];
        if ((status & STATUS_PRESENT) && card.readFlag) {
            uint32_t bytes = status & STATUS_BYTES;
            uint32_t words = bytes < LAYOUT_SYNC_MIN_BYTES_FOR_INFO ? bytes / 2 : (uint32_t)DISCOVERY_TABLE_ENTRY_WORDS;
            log4c_category_log(cat, LOG4C_PRIORITY_DEBUG,
                               "VidInfo2ShdMem:Wr data to ShdMem, Vid %d, packet Status 0x%04x, nbWords %d", (int)k, status,
                               (int)words);
            memcpy(entry, card.info, 2 * words);
        } else {
            log4c_category_log(cat, LOG4C_PRIORITY_DEBUG,
                               "VidInfo2ShdMem:Wr zero to ShdMem, Vid %d, packet Status 0x%04x, readVideoCardInfo %d",
                               (int)k, status, (int)card.readFlag);
            putWord(entry, 0, 0);
            if (firstEmpty < 0)
                firstEmpty = (int)k;
        }
    }
    uint32_t own = firstEmpty < 0 ? (uint32_t)DISCOVERY_UPSTREAM_CARDS : (uint32_t)firstEmpty;
    uint8_t ownWords[DISCOVERY_RECORD_SIZE];
    vancMetaDataGetRecord(ownWords);
    memcpy(table + DISCOVERY_TABLE_ENTRY_SIZE * own, ownWords, 2 * DISCOVERY_TABLE_ENTRY_WORDS);
}

/* Step 4: the upstream layout-sync words. */
void followLayoutSync(log4c_category_t *cat)
{
    for (uint32_t k = 0; k < DISCOVERY_UPSTREAM_CARDS; k++) {
        uint16_t status = statusWord(k);
        const upstreamCard_t &card = discovery.block.cards[k];
        uint32_t present = (status & STATUS_PRESENT) != 0;
        uint16_t word = 0;
        if (present && card.readFlag && (status & STATUS_BYTES) >= DISCOVERY_LAYOUT_SYNC_MIN_BYTES)
            word = (uint16_t)(card.info[LAYOUT_SYNC_OFFSET + 1] << 8 | card.info[LAYOUT_SYNC_OFFSET]);
        else if (present && card.readFlag)
            continue;   /* too short to carry one: keep what we have */
        if (word == discovery.block.layoutSync[k])
            continue;
        discovery.block.layoutSync[k] = word;
        log4c_category_log(cat, LOG4C_PRIORITY_NOTICE,
                           "LayoutSync: ChangeDetected head %d, videoCard %d, present %d, layoutnb %d, started %d, done %d.",
                           0, (int)k, (int)present, word & 0x3FFF, (word >> 14) & 1, (word >> 15) & 1);
    }
}

/* Step 5: the read flags from the statuses. */
void updateReadFlags(log4c_category_t *cat)
{
    for (uint32_t k = 0; k < DISCOVERY_UPSTREAM_CARDS; k++) {
        uint16_t status = statusWord(k);
        upstreamCard_t &card = discovery.block.cards[k];
        if (status == STATUS_NOT_CONFIGURED) {
            if (!discovery.notConfiguredReported) {
                discovery.notConfiguredReported = 1;
                log4c_category_log(cat, LOG4C_PRIORITY_ERROR,
                                   "Discovery: FPGA head 0 not present or not configured. Reporting only once per head.");
            }
            memset(&card, 0, sizeof card);
        } else if ((status & STATUS_PRESENT) && (status & STATUS_BYTES)) {
            log4c_category_log(cat, LOG4C_PRIORITY_DEBUG, "Discovery: TRUE Vid %d, packet Status 0x%04x, before readVideoCardInfo %d",
                               (int)k, status, (int)card.readFlag);
            card.readFlag = 1;
        } else {
            log4c_category_log(cat, LOG4C_PRIORITY_DEBUG,
                               "Discovery: FALSE  Vid %d, packet Status 0x%04x, before readVideoCardInfo %d", (int)k, status,
                               (int)card.readFlag);
            card.readFlag = 0;
        }
    }
}

/* Step 6: rows 3-7 read what each present card sent. */
void aimRows(void)
{
    for (uint32_t k = 0; k < DISCOVERY_UPSTREAM_CARDS; k++) {
        uint32_t bytes = statusWord(k) & STATUS_BYTES;
        probingAction &row = discoveryVideoCardInfoActions[k];
        row.address = CARD_INFO_BASE + CARD_INFO_STRIDE * k;
        row.count = bytes <= DISCOVERY_CARD_INFO_SIZE ? bytes / 2 : (uint32_t)CARD_INFO_MAX_WORDS;
        row.destination = discovery.block.cards[k].info;
        discoveryVideoCardInfoEnabled[k] = discovery.block.cards[k].readFlag;
    }
}

/* Step 7: presence per SDI index from the table. */
void updatePresence(log4c_category_t *cat, const uint8_t *table)
{
    discoveryBlock_t &block = discovery.block;
    memcpy(block.presentBefore, block.present, sizeof block.present);
    memset(block.present, 0, sizeof block.present);
    for (uint32_t i = 0; i < DISCOVERY_TABLE_ENTRIES; i++) {
        const uint8_t *entry = table + DISCOVERY_TABLE_ENTRY_SIZE * i;
        if (getWord(entry, 0) == 0)
            continue;
        uint16_t index = getWord(entry, 2);
        if (index >= DISCOVERY_TABLE_ENTRIES) {
            log4c_category_log(cat, LOG4C_PRIORITY_ERROR,
                               "Error: shardeMem Discovery index %d has Presence valid but sdiIndex is out of range (%d).",
                               (int)i, (int)index);
            continue;
        }
        block.present[index] = 1;
    }
    for (uint32_t i = 0; i < DISCOVERY_TABLE_ENTRIES; i++)
        if (block.present[i] != block.presentBefore[i])
            log4c_category_log(cat, LOG4C_PRIORITY_NOTICE,
                               block.present[i] ? "Discovery: Kvr Card %d discovered." : "Discovery: Kvr Card %d lost.",
                               (int)i);
}

} // namespace

void processDiscoveryInfo(log4c_category_t *cat, uint32_t ok)
{
    log4c_category_log(cat, LOG4C_PRIORITY_DEBUG, "ProcessDiscoveryInfo");
    if (!ok || !discovery.sharedMemory)
        return;
    if (!discovery.extractionEnabled) {
        log4c_category_log(cat, LOG4C_PRIORITY_NOTICE, "%s: Enabling Discovery Extraction from VANC (FPGA FSM).",
                           "processDiscoveryInfo");
        log4c_category_log(cat, LOG4C_PRIORITY_DEBUG, "Probing: Writing at address 0x%04x, the value 0x%04x\n",
                           (unsigned)EXTRACTION_ENABLE, 0x0001u);
        writeFsmWord(EXTRACTION_ENABLE, 0x0001);
        discovery.extractionEnabled = 1;
        return;
    }
    uint8_t *table = discovery.sharedMemory + PROBING_BLOCK_SIZE * platformGetCardSlotIndex() + DISCOVERY_TABLE_OFFSET;
    for (uint32_t i = 0; i < DISCOVERY_TABLE_ENTRIES; i++)
        putWord(table, DISCOVERY_TABLE_ENTRY_SIZE * i, 0);
    fillTable(cat, table);
    followLayoutSync(cat);
    updateReadFlags(cat);
    aimRows();
    updatePresence(cat, table);
}
