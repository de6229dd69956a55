#include "strata/strataAnswers.h"
#include "strata/strataPrivate.h"

#include "platform/platform.h"

#include <cstring>
#include <pthread.h>

/*
 * The card's NqAsi heads and ATDM router as the frame controller sees them:
 * the two head records, the input/output availability and the ATDM
 * availability record, answered on request and reported when they change.
 */

enum : uint32_t {
    NQASI_HEADS = 2,
    NQASI_RECORD = 17,
    FORMAT_NOT_REPORTED = 0xFFFE,
    ATDM_RECORD = 38,
};

struct nqAsiHeadRecord {
    uint8_t head;
    uint16_t format;
    uint8_t error;
    uint8_t syncType;
    uint32_t phase;
    uint32_t latencyFrames;
    uint32_t latencyPixels;
};

static pthread_mutex_t nqAsiMutex = PTHREAD_MUTEX_INITIALIZER;
static nqAsiHeadRecord nqAsiHeads[NQASI_HEADS] = {{0, 0xFFFF, 0, 0, 1, 0, 0}, {1, 0xFFFF, 0, 0, 1, 0, 0}};
static const uint16_t nqAsiInputAvailability = 0x01FF;
static const uint16_t nqAsiOutputAvailability = 0x0003;

static const char debugHeadsKey[] = "debugEnableHeadsOnNqAsi";

/* True only on cards C-F on which the boot-environment switch is set. */
static bool debugEnableHeadsOnNqAsi(log4c_category_t *category)
{
    return platformGetCardSlotIndex() >= 2 && platformIsEnVarSet(category, debugHeadsKey);
}

static bool nqAsiSendingAllowed(void)
{
    return platformGetFrameType() == 2 && platformIsUsingNqAsiInputs();
}

static uint16_t reportedFormat(log4c_category_t *category, const nqAsiHeadRecord &record)
{
    if (platformGetCardSlotIndex() < 2)
        return record.format;
    if (debugEnableHeadsOnNqAsi(category)) {
        log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "%s %s is set, force to send format", __func__,
                           debugHeadsKey);
        return record.format;
    }
    return FORMAT_NOT_REPORTED;
}

static void put32(uint8_t *out, uint32_t value)
{
    out[0] = (uint8_t)(value >> 24);
    out[1] = (uint8_t)(value >> 16);
    out[2] = (uint8_t)(value >> 8);
    out[3] = (uint8_t)value;
}

/* The 17 wire bytes of a record: 16- and 32-bit fields big-endian. */
static void platformNqAsiRecordToWire(const nqAsiHeadRecord &record, uint16_t format, uint8_t out[NQASI_RECORD])
{
    out[0] = record.head;
    out[1] = (uint8_t)(format >> 8);
    out[2] = (uint8_t)format;
    out[3] = record.error;
    out[4] = record.syncType;
    put32(out + 5, record.phase);
    put32(out + 9, record.latencyFrames);
    put32(out + 13, record.latencyPixels);
}

static void sendHeadRecord(log4c_category_t *category, const nqAsiHeadRecord &record)
{
    uint8_t wire[NQASI_RECORD];
    platformNqAsiRecordToWire(record, reportedFormat(category, record), wire);
    strataSrvSendMessage(category, 0, 0, 0x0203, wire, NQASI_RECORD);
}

void platformNqAsiCardTx(log4c_category_t *category, uint32_t kind, uint32_t head, uint8_t *buffer)
{
    switch (kind) {
    case 0: {
        if (!buffer)
            return;
        pthread_mutex_lock(&nqAsiMutex);
        nqAsiHeadRecord record = nqAsiHeads[head < NQASI_HEADS ? head : 0];
        pthread_mutex_unlock(&nqAsiMutex);
        uint16_t format = FORMAT_NOT_REPORTED;
        if (head < NQASI_HEADS)
            format = reportedFormat(category, record);
        else
            record.head = (uint8_t)head;
        platformNqAsiRecordToWire(record, format, buffer);
        return;
    }
    case 1:
        if (head < NQASI_HEADS && nqAsiSendingAllowed()) {
            pthread_mutex_lock(&nqAsiMutex);
            nqAsiHeadRecord record = nqAsiHeads[head];
            pthread_mutex_unlock(&nqAsiMutex);
            sendHeadRecord(category, record);
        }
        return;
    case 2: {
        if (!buffer)
            return;
        uint8_t syncType = buffer[4];
        nqAsiHeadRecord records[NQASI_HEADS];
        pthread_mutex_lock(&nqAsiMutex);
        bool same = nqAsiHeads[0].syncType == syncType;
        if (!same)
            for (uint32_t h = 0; h < NQASI_HEADS; h++)
                nqAsiHeads[h].syncType = syncType;
        memcpy(records, nqAsiHeads, sizeof records);
        pthread_mutex_unlock(&nqAsiMutex);
        if (same)
            return;
        bool debug = debugEnableHeadsOnNqAsi(category);
        if (debug)
            log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s %s is set, force to send sync type changes",
                               __func__, debugHeadsKey);
        if (nqAsiSendingAllowed() && (platformGetCardSlotIndex() < 2 || debug))
            for (const nqAsiHeadRecord &record : records)
                sendHeadRecord(category, record);
        return;
    }
    case 3: {
        if (!buffer || head >= NQASI_HEADS)
            return;
        uint16_t format;
        uint32_t latencyPixels;
        memcpy(&format, buffer + 1, 2);
        memcpy(&latencyPixels, buffer + 13, 4);
        uint8_t error = buffer[3];
        pthread_mutex_lock(&nqAsiMutex);
        nqAsiHeadRecord &stored = nqAsiHeads[head];
        bool same = stored.format == format && stored.error == error && stored.latencyPixels == latencyPixels;
        stored.format = format;
        stored.error = error;
        stored.latencyPixels = latencyPixels;
        nqAsiHeadRecord record = stored;
        pthread_mutex_unlock(&nqAsiMutex);
        if (!same && nqAsiSendingAllowed())
            sendHeadRecord(category, record);
        return;
    }
    default:
        log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s unknown nqasi status type: %d", __func__, (int)kind);
    }
}

void platformNqAsiAvailability(log4c_category_t *category, uint32_t kind, uint8_t *out)
{
    uint16_t input = nqAsiInputAvailability;
    uint16_t output = nqAsiOutputAvailability;
    uint32_t slot = platformGetCardSlotIndex();
    if (slot == 0)
        output |= 0x2;
    else if (slot == 1)
        output |= 0x3;
    else
        output &= (uint16_t)~0x3u;
    if (debugEnableHeadsOnNqAsi(category)) {
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s %s is set, force to change availability", __func__,
                           debugHeadsKey);
        output |= 0x3;
    }
    uint8_t wire[4] = {(uint8_t)(input >> 8), (uint8_t)input, (uint8_t)(output >> 8), (uint8_t)output};
    switch (kind) {
    case 0:
        if (!out)
            return;
        log4c_category_log(category, LOG4C_PRIORITY_DEBUG,
                           "%s: send solicited message. Input availability: 0x%04X, Output availability: 0x%04X  ",
                           __func__, input, output);
        memcpy(out, wire, 4);
        return;
    case 1:
        if (platformIsUsingNqAsiInputs())
            strataSrvSendMessage(category, 0, 0, 0x0201, wire, 4);
        for (uint32_t head = 0; head < NQASI_HEADS; head++)
            platformNqAsiCardTx(category, 1, head, nullptr);
        return;
    default:
        log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s unknown nqasi status type: %d", __func__, (int)kind);
    }
}

int platformAtdmAvailability(log4c_category_t *category, uint32_t kind, uint32_t index, uint8_t *out)
{
    uint8_t record[ATDM_RECORD] = {};
    record[0] = (uint8_t)index;
    record[1] = 1;
    if (index == 1) {
        uint32_t global = 0;
        platformGetKvrVideoStreamSetting(category, 255, &global);
        if (global == 0) {
            memset(record + 30, 0xFF, 8);
        } else {
            for (uint32_t i = 0; i <= 8; i++) {
                uint32_t mode = 0;
                if (platformGetKvrVideoStreamSetting(category, i, &mode) == 0 && mode == 1) {
                    record[36 - 2 * i] = 0xFF;
                    record[37 - 2 * i] = 0xFF;
                }
            }
        }
    }
    switch (kind) {
    case 0:
        if (!out) {
            log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                               "%s: send solicited message case but the memory pointer is null.", __func__);
            return -1;
        }
        memcpy(out, record, ATDM_RECORD);
        return 0;
    case 1:
        log4c_category_log(category, LOG4C_PRIORITY_INFO,
                           "%s: send ANS_ATDM_AVAILABILITY non-solicited message since ATDM changed. atdmInOutIndex "
                           "%d, atdmSupportedMode %d.",
                           __func__, record[0], record[1]);
        strataSrvSendMessage(category, 0, 0, 0x0207, record, ATDM_RECORD);
        return 0;
    default:
        log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s unknown nqAtdmAvailability status type: %d", __func__,
                           (int)kind);
        return -1;
    }
}
