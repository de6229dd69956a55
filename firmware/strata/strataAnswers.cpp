#include "strata/strataAnswers.h"
#include "strata/strataPrivate.h"

#include "hal/hal.h"
#include "ledManager/ledManager.h"
#include "platform/platform.h"
#include "qvsInterface/qvsInterface.h"
#include "utilsHost/utilsHost.h"

#include <atomic>
#include <pthread.h>
#include <cstdio>
#include <cstring>
#include <unistd.h>

/*
 * The card's answers to the frame controller's status queries and router
 * settings: which platform opcodes the firmware serves, the dispatch of those
 * opcodes, the replies built from the card's status block, the input and
 * output status records and the stream-type settings.
 */

#define ANSWER_LOG(priority, ...) log4c_category_log(strataCategory(), priority, __VA_ARGS__)

enum : uint32_t {
    ANSWER_BLOCK_SIZE = 6380,
    WORD_CARD_STATUS = 10,
    WORD_CARD_HW_TYPE = 36,
    WORD_REAR_HW_TYPE = 42,
    WORD_SELECTED_REFERENCE = 186,
    WORD_REFERENCE_STATUS = 190,
    WORD_INPUT_STATUS = 2176,
    WORD_INPUT_FORMAT = 2180,
    INPUT_STRIDE = 388,
    LAST_VIDEO_INPUT = 8,
    ANSWER_TEXT_MAX = 31,
    REPLY_TYPE = 3,
    ALL_INPUTS = 255,
};

static uint16_t readBlockWordShared(uint32_t byteOffset)
{
    uint32_t wordOffset = (ANSWER_BLOCK_SIZE * platformGetCardSlotIndex() + byteOffset) / 2;
    uint8_t word[2] = {0, 0};
    if (qvsInterfaceReadSharedMem(wordOffset, word, 1) != 1)
        return 0;
    return (uint16_t)(word[0] << 8 | word[1]);
}

static std::atomic<uint16_t (*)(uint32_t)> blockWordReader{readBlockWordShared};
static std::atomic<const sdiOutputStatusRecord *(*)(uint32_t)> headStatusReader{nullptr};
static std::atomic<int (*)(uint32_t, strataVideoInputRecord *)> inputReader{nullptr};
static std::atomic<int (*)(void)> madiReader{nullptr};
static std::atomic<uint32_t> factoryRebootPauseMs{5000};

void strataAnswersSetBlockWordReader(uint16_t (*reader)(uint32_t byteOffset))
{
    blockWordReader = reader ? reader : readBlockWordShared;
}

void strataRegisterHeadStatusReader(const sdiOutputStatusRecord *(*reader)(uint32_t head))
{
    headStatusReader = reader;
}

void strataRegisterVideoInputReader(int (*reader)(uint32_t input, strataVideoInputRecord *out))
{
    inputReader = reader;
}

void strataRegisterMadiReader(int (*reader)(void))
{
    madiReader = reader;
}

void strataAnswersSetFactoryRebootPause(uint32_t milliseconds)
{
    factoryRebootPauseMs = milliseconds;
}

static uint16_t blockWord(uint32_t byteOffset)
{
    return blockWordReader.load()(byteOffset);
}

int strataVideoInputData(uint32_t input, strataVideoInputRecord *out)
{
    int (*reader)(uint32_t, strataVideoInputRecord *) = inputReader;
    if (!reader || !out) {
        ANSWER_LOG(LOG4C_PRIORITY_DEBUG, "%s: no probe data for video input %u", __func__, input);
        return -1;
    }
    return reader(input, out);
}

/* True when the probes report MADI on the last video input. */
static bool inputIsMadi(uint32_t index)
{
    int (*reader)(void) = madiReader;
    return index == LAST_VIDEO_INPUT && reader && reader() != 0;
}

static uint32_t formatIndex(uint16_t word)
{
    return (uint32_t)(word >> 8) & 0x3F;
}

/* ---- texts ---- */

static const char *const videoFormatNames[55] = {
    "720p59.94", "Unknown HD", "720p29.97", "Unknown HD", "720p50", "Unknown HD", "720p25", "Unknown HD",
    "720p24", "Unknown HD", "1080i59.94/PsF29.97", "1080p29.97", "1080i50/PsF25", "1080p25", "Unknown HD",
    "Unknown HD", "1080p23.98/p24", "Unknown HD", "Unknown HD", "1080PsF23.98/PsF24", "1080i50", "Unknown HD",
    "SDI-525", "Unknown SD", "SDI-625", "Unknown SD", "Unknown SD", "Unknown SD", "480p59.94", "Unknown HD",
    "Unknown SD", "Invalid", "NTSC M", "PAL BGDHI", "PAL 60Hz", "NTSC 50Hz", "NTSC 443", "PAL N", "PAL M",
    "NTSC N", "NTSC J", "SECAM", "Unknown SD", "Unknown SD", "No video format", "1024x768", "1280x1024",
    "1366x768/1368x768", "1680x1050", "1600x1200", "Unsupported DVI format ", "1080p59.94", "1080p50",
    "2160p59.94", "2160p50"};

const char *strataVideoFormatName(uint32_t index)
{
    return index < sizeof videoFormatNames / sizeof videoFormatNames[0] ? videoFormatNames[index]
                                                                        : "Unsupported format";
}

static const char *referenceName(uint32_t kind)
{
    static const char *const names[] = {"No Ref",         "60 Hz",          "50 Hz",          "Audio 32 kHz",
                                        "Audio 44.1 kHz", "Audio 48 kHz",   "Audio 96 kHz",   "Freerun"};
    return kind < 8 ? names[kind] : "Not Supported";
}

/* ---- sending ---- */

static void queueReply(uint32_t type, uint32_t destination, uint16_t opcode, const uint8_t *payload, uint32_t size)
{
    strataSrvSendMessage(strataCategory(), type, destination, opcode, payload, size);
}

/* Queues `prefixSize` bytes, then the text (at most 31 characters) and its NUL. */
static void queueText(uint32_t type, uint32_t destination, uint16_t opcode, const uint8_t *prefix,
                      uint32_t prefixSize, const char *text)
{
    uint8_t payload[2 + ANSWER_TEXT_MAX + 1] = {};
    if (prefixSize > 0)
        memcpy(payload, prefix, prefixSize);
    size_t length = strnlen(text, ANSWER_TEXT_MAX);
    memcpy(payload + prefixSize, text, length);
    payload[prefixSize + length] = 0;
    queueReply(type, destination, opcode, payload, prefixSize + (uint32_t)length + 1);
}

/* ---- answer functions ---- */

static uint16_t inputStatusWord(uint32_t index)
{
    return blockWord(WORD_INPUT_STATUS + INPUT_STRIDE * index);
}

void platformStrataAnswer6002(uint32_t type, uint32_t destination, uint32_t index)
{
    uint16_t status = inputStatusWord(index);
    uint8_t payload[2] = {(uint8_t)index, (uint8_t)((status & 1) || inputIsMadi(index) ? 0 : 1)};
    queueReply(type, destination, 0x6002, payload, 2);
}

void platformStrataAnswer6004(uint32_t type, uint32_t destination, uint32_t index)
{
    uint16_t status = inputStatusWord(index);
    uint8_t error = 0xFF;
    if (status & 1)
        error = (status >> 2) & 1;
    else if (inputIsMadi(index))
        error = 0;
    uint8_t payload[2] = {(uint8_t)index, error};
    queueReply(type, destination, 0x6004, payload, 2);
}

static void answerCardStatusBit(uint32_t type, uint32_t destination, uint16_t opcode, unsigned bit)
{
    uint8_t value = (uint8_t)((blockWord(WORD_CARD_STATUS) >> bit) & 1);
    queueReply(type, destination, opcode, &value, 1);
}

void platformStrataAnswer6006(uint32_t type, uint32_t destination)
{
    answerCardStatusBit(type, destination, 0x6006, 8);
}

void platformStrataAnswer6010(uint32_t type, uint32_t destination)
{
    answerCardStatusBit(type, destination, 0x6010, 0);
}

void platformStrataAnswer6018(uint32_t type, uint32_t destination)
{
    answerCardStatusBit(type, destination, 0x6018, 1);
}

void platformStrataAnswer6008(uint32_t type, uint32_t destination)
{
    uint8_t value = (blockWord(WORD_REFERENCE_STATUS) & 1) ? 0 : 1;
    queueReply(type, destination, 0x6008, &value, 1);
}

void platformStrataAnswer6101(uint32_t type, uint32_t destination)
{
    queueText(type, destination, 0x6101, nullptr, 0, referenceName(formatIndex(blockWord(WORD_REFERENCE_STATUS))));
}

void platformStrataAnswer6103(uint32_t type, uint32_t destination, uint32_t index)
{
    const char *text;
    if (inputStatusWord(index) & 1)
        text = strataVideoFormatName(formatIndex(blockWord(WORD_INPUT_FORMAT + INPUT_STRIDE * index)));
    else
        text = inputIsMadi(index) ? "MADI" : "No video format";
    uint8_t prefix = (uint8_t)index;
    queueText(type, destination, 0x6103, &prefix, 1, text);
}

void platformStrataAnswer6105(uint32_t type, uint32_t destination)
{
    queueText(type, destination, 0x6105, nullptr, 0, "N/A");
}

void platformStrataAnswer6107(uint32_t type, uint32_t destination)
{
    queueText(type, destination, 0x6107, nullptr, 0, platformCardTypeName(blockWord(WORD_CARD_HW_TYPE) & 0xFF));
}

void platformStrataAnswer6109(uint32_t type, uint32_t destination)
{
    queueText(type, destination, 0x6109, nullptr, 0, platformRearHwTypeName(blockWord(WORD_REAR_HW_TYPE) & 0xFF));
}

void platformStrataAnswer6111(uint32_t type, uint32_t destination)
{
    uint32_t format = formatIndex(blockWord(WORD_SELECTED_REFERENCE));
    queueText(type, destination, 0x6111, nullptr, 0, format == 1 ? "60 Hz" : format == 2 ? "50 Hz" : "Undefined");
}

void platformStrataAnswer1008(uint32_t type, uint32_t destination)
{
    uint8_t payload[13] = {};
    payload[12] = 0xFF;
    queueReply(type, destination, 0x1008, payload, sizeof payload);
}

void platformStrataAnswer7001(uint32_t type, uint32_t destination, uint32_t value)
{
    uint8_t payload[2] = {(uint8_t)value, 0xFF};
    queueReply(type, destination, 0x7001, payload, 2);
}

/* One key of a properties file below the card root, at most 32 bytes; empty when it cannot be read. */
static void propertiesValue(const char *path, const char *key, char out[33], const char *failure)
{
    out[0] = 0;
    char value[256] = "";
    if (utils_getKeyValueFromFile(strataCategory(), halPath(path).c_str(), key, value, sizeof value) != 0 ||
        value[0] == 0) {
        ANSWER_LOG(LOG4C_PRIORITY_WARN, failure, key, path);
        return;
    }
    size_t length = strnlen(value, 32);
    memcpy(out, value, length);
    out[length] = 0;
}

void platformStrataAnswer7004(uint32_t type, uint32_t destination)
{
    char systemName[33] = "";
    char version[33] = "";
    if (platformGetCardSlotIndex() <= 1)
        propertiesValue("/usr/local/q7/conf/qvsystem.properties", "com.corvel.executive.systemname", systemName,
                        "System Properties: Couldn't extract key %s from %s.!!!");
    else
        snprintf(systemName, sizeof systemName, "See card A");
    propertiesValue("/usr/local/q7/conf/qvs-deployment-info.properties", "qvs.version", version,
                    "Build Version: Couldn't extract key %s from %s.!!!");
    uint8_t payload[sizeof systemName + sizeof version] = {};
    size_t nameLength = strlen(systemName);
    size_t versionLength = strlen(version);
    memcpy(payload, systemName, nameLength + 1);
    memcpy(payload + nameLength + 1, version, versionLength + 1);
    queueReply(type, destination, 0x7004, payload, (uint32_t)(nameLength + versionLength + 2));
}

/* ---- status records ---- */

static void putStatus(uint8_t out[6], int8_t overall, uint32_t detail, int8_t format)
{
    out[0] = (uint8_t)overall;
    out[1] = (uint8_t)(detail >> 24);
    out[2] = (uint8_t)(detail >> 16);
    out[3] = (uint8_t)(detail >> 8);
    out[4] = (uint8_t)detail;
    out[5] = (uint8_t)format;
}

int platformStrataGetInputStatus(log4c_category_t *category, const strataVideoInputRecord *record, uint8_t out[6])
{
    if (!record || !out)
        return 3;
    memset(out, 0, 6);
    if (record->valid != 1) {
        if (inputIsMadi(record->inputIndex)) {
            log4c_category_log(category, LOG4C_PRIORITY_DEBUG,
                               "%s: vigiloMsg video input 9 is MADI, setting signal present!!!", __func__);
            return 0;
        }
        putStatus(out, -3, 2, -3);
        return 0;
    }
    uint16_t reference = blockWord(WORD_SELECTED_REFERENCE);
    uint32_t referenceFormat = formatIndex(reference);
    uint32_t referenceRate = referenceFormat == 1 ? 5994 : referenceFormat == 2 ? 5000 : 0;
    bool mismatch;
    if (!(reference & 1))
        mismatch = true;
    else if (record->frameRate == 2997 || record->frameRate == 5994)
        mismatch = referenceRate == 5000;
    else if (record->frameRate == 2500 || record->frameRate == 5000)
        mismatch = referenceRate == 5994;
    else
        mismatch = true;
    if (mismatch)
        putStatus(out, -2, 8, 0);
    if (record->format == 0xFF || record->format == 0xFFFF)
        putStatus(out, -3, 4, -3);
    return 0;
}

int platformStrataGetOutputStatus(log4c_category_t *category, uint32_t head, const sdiOutputStatusRecord *record,
                                  uint8_t out[6])
{
    if (!out)
        return 3;
    log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "%s: head %u, selected reference 0x%04X", __func__, head,
                       blockWord(WORD_SELECTED_REFERENCE));
    if (!record || record->enable != 1)
        putStatus(out, -1, 0x8000, -1);
    else if (record->testPattern == 1 && record->notHdtv)
        putStatus(out, -3, 4, -3);
    else if (record->testPattern == 1)
        putStatus(out, -2, 0x20, 0);
    else
        putStatus(out, 0, 0, 0);
    return 0;
}

const sdiOutputStatusRecord *strataHeadStatus(uint32_t head)
{
    const sdiOutputStatusRecord *(*reader)(uint32_t) = headStatusReader;
    return reader ? reader(head) : nullptr;
}

/* ---- controller status word ---- */

enum : uint32_t { WORD_CONTROLLER_STATUS = 1184, CONTROLLER_STATUS_INITIAL = 0x0008 };

static int writeBlockWordShared(uint32_t byteOffset, const uint8_t word[2])
{
    uint32_t wordOffset = (ANSWER_BLOCK_SIZE * platformGetCardSlotIndex() + byteOffset) / 2;
    return qvsInterfaceWriteSharedMem(wordOffset, word, 1) == 1 ? 0 : -1;
}

static std::atomic<int (*)(uint32_t, const uint8_t *)> blockWordWriter{writeBlockWordShared};
static std::atomic<uint16_t> controllerStatusWord{CONTROLLER_STATUS_INITIAL};

void strataAnswersSetBlockWordWriter(int (*writer)(uint32_t byteOffset, const uint8_t *word))
{
    blockWordWriter = writer ? writer : writeBlockWordShared;
}

void platformReportStrataControllerStatus(log4c_category_t *category, uint32_t status, uint32_t start)
{
    uint16_t word;
    if (start) {
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: Initializing status.", __func__);
        word = CONTROLLER_STATUS_INITIAL;
        controllerStatusWord = word;
    } else {
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: Status %d", __func__, (int)status);
        uint16_t old = controllerStatusWord.load();
        do
            word = (uint16_t)((old & ~7u) | (status & 7u));
        while (!controllerStatusWord.compare_exchange_weak(old, word));
    }
    uint8_t bigEndian[2] = {(uint8_t)(word >> 8), (uint8_t)word};
    if (blockWordWriter.load()(WORD_CONTROLLER_STATUS, bigEndian) != 0)
        log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s: controller status 0x%04X not written", __func__, word);
}

void strataSetRestorePointBit(uint32_t bit)
{
    uint16_t old = controllerStatusWord.load();
    uint16_t word;
    do
        word = (uint16_t)(bit ? (old | 8u) : (old & ~8u));
    while (!controllerStatusWord.compare_exchange_weak(old, word));
}

/* ---- unsolicited reports ---- */

/* Builds and queues one input's IN_STATUS under ((input + 1) << 4) | 0x1401. */
static void reportInput(log4c_category_t *category, const strataVideoInputRecord *record)
{
    uint8_t out[6];
    if (!record || record->inputIndex > LAST_VIDEO_INPUT ||
        platformStrataGetInputStatus(category, record, out) != 0)
        return;
    queueReply(0, 0, (uint16_t)(((record->inputIndex + 1) << 4) | 0x1401), out, 6);
}

static void reportProbedInput(log4c_category_t *category, uint32_t input)
{
    strataVideoInputRecord record = {};
    record.inputIndex = input;
    if (strataVideoInputData(input, &record) == 0) {
        record.inputIndex = input;
        reportInput(category, &record);
    }
}

void platformStrataMessageVigiloInputStatusUnsolicited(log4c_category_t *category, uint32_t kind,
                                                       const strataVideoInputRecord *record)
{
    switch (kind) {
    case STATUS_KIND_INPUT:
        reportInput(category, record);
        return;
    case STATUS_KIND_MADI:
        reportProbedInput(category, LAST_VIDEO_INPUT);
        return;
    case STATUS_KIND_GENLOCK:
        for (uint32_t input = 0; input <= LAST_VIDEO_INPUT; input++)
            reportProbedInput(category, input);
        return;
    default:
        log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s unknown input/output status type: %d", __func__,
                           (int)kind);
    }
}

enum { REPORTED_HEADS = 2 };
static pthread_mutex_t outputCopiesMutex = PTHREAD_MUTEX_INITIALIZER;
static sdiOutputStatusRecord outputCopies[REPORTED_HEADS];

void strataAnswersResetOutputCopies(void)
{
    pthread_mutex_lock(&outputCopiesMutex);
    memset(outputCopies, 0, sizeof outputCopies);
    pthread_mutex_unlock(&outputCopiesMutex);
}

static void reportOutput(log4c_category_t *category, uint32_t head, const sdiOutputStatusRecord *record)
{
    uint8_t out[6];
    if (platformGetFrameType() != 2 || !platformIsUsingNqAsiInputs())
        return;
    if (platformStrataGetOutputStatus(category, head, record, out) != 0)
        return;
    queueReply(0, 0, (uint16_t)(((head + 1) << 4) | 0x1403), out, 6);
}

static bool sameOutput(const sdiOutputStatusRecord &a, const sdiOutputStatusRecord &b)
{
    return a.headId == b.headId && a.enable == b.enable && a.frameRate == b.frameRate &&
           a.outputFormat == b.outputFormat && a.interlace == b.interlace && a.testPattern == b.testPattern;
}

void platformStrataMessageVigiloOutputStatusUnsolicited(log4c_category_t *category, uint32_t kind,
                                                        const sdiOutputStatusRecord *record)
{
    switch (kind) {
    case STATUS_KIND_GENLOCK:
        for (uint32_t head = 0; head < REPORTED_HEADS; head++)
            reportOutput(category, head, strataHeadStatus(head));
        return;
    case STATUS_KIND_OUTPUT: {
        /* only heads 0 and 1 have a stored copy */
        if (!record || record->headId >= REPORTED_HEADS) {
            log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s: no output status for head %d", __func__,
                               record ? (int)record->headId : -1);
            return;
        }
        sdiOutputStatusRecord copy = *record;
        pthread_mutex_lock(&outputCopiesMutex);
        bool same = sameOutput(outputCopies[copy.headId], copy);
        if (!same)
            outputCopies[copy.headId] = copy;
        pthread_mutex_unlock(&outputCopiesMutex);
        if (!same)
            reportOutput(category, copy.headId, &copy);
        return;
    }
    default:
        log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s unknown input/output status type: %d", __func__,
                           (int)kind);
    }
}

/* ---- stream type ---- */

int platformGetAtdmMDXMode(log4c_category_t *category, uint32_t input, uint8_t out[2])
{
    uint32_t mode = 0;
    if (input <= LAST_VIDEO_INPUT) {
        platformGetKvrVideoStreamSetting(category, input, &mode);
        out[0] = (uint8_t)input;
        out[1] = (uint8_t)mode;
        return 0;
    }
    if (input == ALL_INPUTS) {
        platformGetKvrVideoStreamSetting(category, ALL_INPUTS, &mode);
        out[0] = (uint8_t)mode;
        return 0;
    }
    log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s: Got bad arguments! kvrVideoInput = 0x%x", __func__, input);
    return 4;
}

int platformSetAtdmMDXMode(log4c_category_t *category, uint32_t input, uint32_t mode, uint32_t *changed)
{
    *changed = 0;
    if (mode >= 2) {
        log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s: Invalid argument. kvrVideoInputMode = %d", __func__,
                           (int)mode);
        return 4;
    }
    if (input <= LAST_VIDEO_INPUT) {
        uint32_t global = 0;
        platformGetKvrVideoStreamSetting(category, ALL_INPUTS, &global);
        if (global == 1) {
            platformTheRouterOutputModeChanged(category, input, mode, changed, 0);
            return 0;
        }
        log4c_category_log(category, LOG4C_PRIORITY_INFO,
                           "%s: Received SET_ROUTER_OUTPUT_STREAM_TYPE for kvrVideoInput = %d (0 based) BUT the card "
                           "is in Non MDX mode so ignoring setting. First put Global to MDX then you can change kvr "
                           "inputs mode.",
                           __func__, (int)input);
        return 0;
    }
    if (input == ALL_INPUTS) {
        platformTheGlobalMDXModeChanged(category, mode, changed, 0);
        return 0;
    }
    log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s: Got bad arguments! kvrVideoInput = 0x%x", __func__, input);
    return 4;
}

/* ---- which opcodes the firmware serves ---- */

int platformIsPrivateStrataMessage(uint16_t opcode)
{
    static const uint16_t everyCard[] = {0x1218, 0x121A, 0x121E, 0x1220, 0x1603, 0x1605, 0x233A, 0x233C};
    static const uint16_t cardsCtoF[] = {0x001C, 0x1007, 0x5001, 0x5003, 0x5004, 0x5006, 0x5007, 0x5009, 0x5010,
                                         0x5012, 0x5013, 0x5015, 0x5016, 0x5018, 0x6001, 0x6003, 0x6005, 0x6007,
                                         0x6009, 0x6011, 0x6013, 0x6015, 0x6017, 0x6100, 0x6102, 0x6104, 0x6106,
                                         0x6108, 0x6110, 0x6500, 0x6502, 0x7000, 0x7003, 0xF01F};
    for (uint16_t o : everyCard)
        if (o == opcode)
            return 1;
    if (platformGetCardSlotIndex() < 2)
        return 0;
    for (uint16_t o : cardsCtoF)
        if (o == opcode)
            return 1;
    return 0;
}

/* ---- the handler ---- */

static void replyNow(uint32_t destination, uint16_t opcode, const uint8_t *payload, uint32_t size)
{
    strata_sendmsg(REPLY_TYPE, destination, opcode, payload, size);
}

/* The router functions exist only on cards that take NqAsi inputs. */
static bool routerPresent(uint32_t source)
{
    if (platformIsUsingNqAsiInputs())
        return true;
    strata_send_nack(source, 2);
    return false;
}

static void alarmContribution(uint32_t source, const uint8_t *data, uint32_t length, uint16_t replyOpcode,
                              uint32_t replySize)
{
    strata_send_ack(source);
    uint8_t reply[2] = {length ? data[0] : (uint8_t)0, 0};
    replyNow(source, replyOpcode, reply, replySize);
}

/* Checks the single video index byte of 0x6001, 0x6003 and 0x6102; NACK 6 when it is missing or too large. */
static bool videoIndexValid(uint32_t source, const uint8_t *data, uint32_t length, uint16_t opcode, const char *name)
{
    if (length != 1) {
        ANSWER_LOG(LOG4C_PRIORITY_WARN, "Received opcode %s (0x%x) with no video index", name, opcode);
        strata_send_nack(source, 6);
        return false;
    }
    if (data[0] > LAST_VIDEO_INPUT) {
        ANSWER_LOG(LOG4C_PRIORITY_WARN, "Received opcode %s (0x%x) with invalid video index value (%d)", name, opcode,
                   data[0]);
        strata_send_nack(source, 6);
        return false;
    }
    return true;
}

static const platformFactoryDefaultStep_t factorySteps[8] = {
    platformFactoryDefaultResetCardParameters, platformFactoryDefaultResetAlarmContribution,
    platformFactoryDefaultResetGlobalPreset,   platformFactoryDefaultResetLocalPreset,
    platformFactoryDefaultResetReserved1,      platformFactoryDefaultResetReserved2,
    platformFactoryDefaultResetReserved3,      platformFactoryDefaultResetNetworkConfig};

void platformStrataMessageVigiloFactoryDefault(uint32_t source, const uint8_t *data, uint32_t length)
{
    log4c_category_t *category = strataCategory();
    uint32_t handled = 0, saveRestorePoint = 0, reboot = 0;
    bool commandFailed = false;
    uint8_t steps = 0;
    if (length == 0) {
        log4c_category_log(category, LOG4C_PRIORITY_INFO,
                           "%s: no resetFlags parameter, legacy form of the message, everything will be reset EXCEPT "
                           "the network config and all presets (local and global).",
                           __func__);
        steps = 0x73; /* card parameters, alarm contribution, reserved 1-3 */
    } else if (length == 1) {
        steps = data[0];
    } else {
        log4c_category_log(category, LOG4C_PRIORITY_WARN,
                           "%s: opcode(0x%04x), length(0x%x), only support maximum 1 byte resetFlags!", __func__,
                           0x001C, length);
    }
    for (unsigned bit = 0; bit < 8; bit++) {
        if (!(steps & (1u << bit)))
            continue;
        uint32_t rebootBefore = reboot;
        reboot = 0;
        factorySteps[bit](category, &handled, &saveRestorePoint, &reboot);
        /* The card-parameter and network steps ask for a reboot only when their command succeeded. */
        if ((bit == 0 || bit == 7) && !reboot) {
            log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: reset step %u failed", __func__, bit);
            commandFailed = true;
        }
        reboot |= rebootBefore;
    }
    if (!handled) {
        strata_send_nack(source, 6);
        return;
    }
    if (commandFailed) {
        strata_send_nack(source, 10);
        return;
    }
    strata_send_ack(source);
    if (saveRestorePoint) {
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: going to update mem-block to strata controller",
                           __func__);
        platformSaveMemblock();
    }
    if (reboot) {
        if (saveRestorePoint)
            usleep(factoryRebootPauseMs.load() * 1000u);
        log4c_category_log(category, LOG4C_PRIORITY_INFO,
                           "%s: going to reboot card because of FACTORY_DEFAULT strata message", __func__);
        rebootCard(category, PLATFORM_REBOOT_CONFIRMATION);
    }
}

static void cardRole(uint32_t source)
{
    ANSWER_LOG(LOG4C_PRIORITY_DEBUG, "%s: GOT GET_CARD_ROLE!!! Sending ACk", __func__);
    strata_send_ack(source);
    uint32_t rear = platformGetRearHwType();
    char role[12];
    if (rear == 3 || rear == 7 || rear == 11 || rear == 16 || rear == 31)
        snprintf(role, sizeof role, "Standalone");
    else
        snprintf(role, sizeof role, "Card %c", (char)('A' + platformGetCardSlotIndex()));
    replyNow(source, 0x6501, (const uint8_t *)role, (uint32_t)strlen(role) + 1);
}

static void systemSlots(uint32_t source)
{
    enum { CARDS_MAX = 8 };
    uint32_t count = platformGetAmountOfCardsInMyKvrSystem();
    uint8_t reply[1 + CARDS_MAX] = {};
    if (count > CARDS_MAX) {
        ANSWER_LOG(LOG4C_PRIORITY_ERROR,
                   "%s: Could not get memory error, or amountOfCards %d > KVR_CARDS_IN_A_SYSTEM_COUNT_MAX %d. Not "
                   "sending GET_MULTIVIEWER_SYSTEM_SLOTS.",
                   __func__, (int)count, CARDS_MAX);
        strata_send_nack(source, 1);
        return;
    }
    uint32_t written = 0;
    uint8_t slots[16] = {};
    platformGetSlotIdsOfAllCardsInMyKvrSystem(strataCategory(), &written, slots);
    if (written != count) {
        ANSWER_LOG(LOG4C_PRIORITY_ERROR,
                   "%s: Could not get slot numbers. Not sending GET_MULTIVIEWER_SYSTEM_SLOTS. amountOfCards %d != "
                   "amountOfCardsWrittenToReplybuffer %d",
                   __func__, (int)count, (int)written);
        strata_send_nack(source, 1);
        return;
    }
    reply[0] = (uint8_t)count;
    memcpy(reply + 1, slots, count);
    strata_send_ack(source);
    replyNow(source, 0x6503, reply, sizeof reply);
}

static void routerGetOrSet(uint32_t source, const uint8_t *data, uint32_t length, uint16_t opcode)
{
    log4c_category_t *category = strataCategory();
    bool isOutput = opcode == 0x1218 || opcode == 0x121A;
    bool set = opcode == 0x121A || opcode == 0x1220;
    uint16_t reply = isOutput ? 0x1219 : 0x121F;
    if (!routerPresent(source))
        return;
    if (!set) {
        if (length == 0) {
            strata_send_nack(source, 6);
            return;
        }
        if (data[0] > LAST_VIDEO_INPUT) {
            log4c_category_log(category, LOG4C_PRIORITY_WARN, isOutput ? "%s: Got bad arguments! kvrVideoOutput = 0x%x"
                                                                       : "%s: Got bad arguments! kvrVideoInput = 0x%x",
                               __func__, data[0]);
            strata_send_nack(source, 10);
            return;
        }
        uint32_t enable = 0;
        if (isOutput)
            platformGetKvrMosaicOutputEnable(category, data[0], &enable);
        else
            platformGetKvrVideoStreamEnable(category, data[0], &enable);
        strata_send_ack(source);
        uint8_t payload[2] = {data[0], (uint8_t)enable};
        replyNow(source, reply, payload, 2);
        return;
    }
    if (length < 2 || data[0] > LAST_VIDEO_INPUT) {
        strata_send_nack(source, 6);
        return;
    }
    if (data[1] > 1) {
        log4c_category_log(category, LOG4C_PRIORITY_WARN,
                           isOutput ? "%s: Invalid argument. kvrVideoOutputEnabled = %d"
                                    : "%s: Invalid argument. kvrVideoInputEnabled = %d",
                           __func__, data[1]);
        strata_send_nack(source, 10);
        return;
    }
    uint32_t changed = 0;
    int rc = isOutput ? platformTheRouterInputEnableChanged(category, data[0], data[1], &changed, 0)
                      : platformTheRouterOutputEnableChanged(category, data[0], data[1], &changed, 0);
    if (rc != 0) {
        strata_send_nack(source, 10);
        return;
    }
    strata_send_ack(source);
    if (changed) {
        uint8_t payload[2] = {data[0], data[1]};
        queueReply(0, STRATA_REPORT_ADDRESS, reply, payload, 2);
    }
}

static void streamType(uint32_t source, const uint8_t *data, uint32_t length, uint16_t opcode)
{
    log4c_category_t *category = strataCategory();
    if (!routerPresent(source))
        return;
    switch (opcode) {
    case 0x1603: {
        uint8_t payload[2] = {};
        if (length == 0) {
            strata_send_nack(source, 6);
            return;
        }
        if (platformGetAtdmMDXMode(category, data[0], payload) != 0) {
            strata_send_nack(source, 10);
            return;
        }
        strata_send_ack(source);
        replyNow(source, 0x1604, payload, 2);
        return;
    }
    case 0x1605: {
        uint32_t changed = 0;
        if (length < 2 || data[0] > LAST_VIDEO_INPUT) {
            strata_send_nack(source, 6);
            return;
        }
        if (platformSetAtdmMDXMode(category, data[0], data[1], &changed) != 0) {
            strata_send_nack(source, 10);
            return;
        }
        strata_send_ack(source);
        if (changed) {
            uint8_t payload[2] = {data[0], data[1]};
            queueReply(0, STRATA_REPORT_ADDRESS, 0x1604, payload, 2);
        }
        return;
    }
    case 0x233A: {
        uint8_t payload[2] = {};
        platformGetAtdmMDXMode(category, ALL_INPUTS, payload);
        strata_send_ack(source);
        replyNow(source, 0x233B, payload, 1);
        return;
    }
    default: { /* 0x233C */
        uint32_t changed = 0;
        if (length == 0) {
            strata_send_nack(source, 6);
            return;
        }
        if (platformSetAtdmMDXMode(category, ALL_INPUTS, data[0], &changed) != 0) {
            strata_send_nack(source, 10);
            return;
        }
        strata_send_ack(source);
        queueReply(0, STRATA_REPORT_ADDRESS, 0x233B, data, 1);
        if (changed)
            for (uint8_t input = 0; input <= LAST_VIDEO_INPUT; input++) {
                uint8_t payload[2] = {input, data[0]};
                queueReply(0, STRATA_REPORT_ADDRESS, 0x1604, payload, 2);
            }
        return;
    }
    }
}

static void statusRequest(uint32_t source, uint16_t opcode)
{
    uint32_t index = ((opcode >> 4) & 0xF) - 1;
    uint8_t record[6] = {};
    if ((opcode & 0xF) == 0) {
        strataVideoInputRecord input = {};
        input.inputIndex = index;
        if (strataVideoInputData(index, &input) != 0 ||
            platformStrataGetInputStatus(strataCategory(), &input, record) != 0) {
            strata_send_nack(source, 1);
            return;
        }
    } else if (platformStrataGetOutputStatus(strataCategory(), index, strataHeadStatus(index), record) != 0) {
        strata_send_nack(source, 6);
        return;
    }
    strata_send_ack(source);
    replyNow(source, (uint16_t)(opcode + 1), record, 6);
}

static bool isStatusRequest(uint16_t opcode)
{
    uint32_t nibble = (opcode >> 4) & 0xF;
    return (opcode & 0xFF00) == 0x1400 && nibble >= 1 && nibble <= 9 && ((opcode & 0xF) == 0 || (opcode & 0xF) == 2);
}

int platformHandlePrivateStrataMessages(uint32_t source, const uint8_t *data, uint32_t length, uint16_t opcode)
{
    log4c_category_t *category = strataCategory();
    if (isStatusRequest(opcode)) {
        statusRequest(source, opcode);
        return 1;
    }
    switch (opcode) {
    case 0x0008: {
        uint32_t state = 1, mode = 3;
        getLedState(category, 3, &mode, &state);
        strata_send_ack(source);
        uint8_t bits = 0;
        if (state == 2)
            bits = mode == 2 ? 3 : 2;
        else if (state == 3)
            bits = 1;
        uint8_t value = (uint8_t)(bits << 3);
        replyNow(source, 0x0009, &value, 1);
        return 1;
    }
    case 0x001C:
        platformStrataMessageVigiloFactoryDefault(source, data, length);
        return 1;
    case 0x1007:
        strata_send_ack(source);
        platformStrataAnswer1008(REPLY_TYPE, source);
        return 1;
    case 0x1009:
        log4c_category_log(category, LOG4C_PRIORITY_WARN,
                           "%s: The strata message GET_STATUS (0x%04x) is not supported on the KVR. Sending NACk",
                           __func__, opcode);
        strata_send_nack(source, 6);
        return 1;
    case 0x1218:
    case 0x121A:
    case 0x121E:
    case 0x1220:
        routerGetOrSet(source, data, length, opcode);
        return 1;
    case 0x1603:
    case 0x1605:
    case 0x233A:
    case 0x233C:
        streamType(source, data, length, opcode);
        return 1;
    case 0x5001:
    case 0x5004:
        alarmContribution(source, data, length, (uint16_t)(opcode + 1), 2);
        return 1;
    case 0x5007:
        alarmContribution(source, data, length, 0x5008, 1);
        return 1;
    case 0x5010:
    case 0x5013:
    case 0x5016:
        alarmContribution(source, data, length, (uint16_t)(opcode + 1), 1);
        return 1;
    case 0x5003:
    case 0x5006:
    case 0x5009:
    case 0x5012:
    case 0x5015:
    case 0x5018:
        strata_send_nack(source, 6);
        return 1;
    case 0x6001:
        if (videoIndexValid(source, data, length, opcode, "GET_VIDEO_LOSS_STATUS")) {
            strata_send_ack(source);
            platformStrataAnswer6002(REPLY_TYPE, source, data[0]);
        }
        return 1;
    case 0x6003:
        if (videoIndexValid(source, data, length, opcode, "GET_VIDEO_ERROR_STATUS")) {
            strata_send_ack(source);
            platformStrataAnswer6004(REPLY_TYPE, source, data[0]);
        }
        return 1;
    case 0x6102:
        if (videoIndexValid(source, data, length, opcode, "GET_VIDEO_FORMAT")) {
            strata_send_ack(source);
            platformStrataAnswer6103(REPLY_TYPE, source, data[0]);
        }
        return 1;
    case 0x6011:
    case 0x6013:
    case 0x6015: {
        strata_send_ack(source);
        uint8_t value = 0xFF;
        replyNow(source, (uint16_t)(opcode + 1), &value, 1);
        return 1;
    }
    case 0x7000:
        /* A request without its byte is refused like one whose byte is out of range. */
        if (length < 1 || data[0] > 1) {
            strata_send_nack(source, 6);
            return 1;
        }
        strata_send_ack(source);
        platformStrataAnswer7001(REPLY_TYPE, source, data[0]);
        return 1;
    case 0x6500:
        cardRole(source);
        return 1;
    case 0x6502:
        systemSlots(source);
        return 1;
    default:
        break;
    }
    static const struct {
        uint16_t opcode;
        void (*answer)(uint32_t type, uint32_t destination);
    } plainAnswers[] = {{0x6005, platformStrataAnswer6006}, {0x6007, platformStrataAnswer6008},
                        {0x6009, platformStrataAnswer6010}, {0x6017, platformStrataAnswer6018},
                        {0x6100, platformStrataAnswer6101}, {0x6104, platformStrataAnswer6105},
                        {0x6106, platformStrataAnswer6107}, {0x6108, platformStrataAnswer6109},
                        {0x6110, platformStrataAnswer6111}, {0x7003, platformStrataAnswer7004}};
    for (const auto &entry : plainAnswers)
        if (entry.opcode == opcode) {
            strata_send_ack(source);
            entry.answer(REPLY_TYPE, source);
            return 1;
        }
    log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "%s: Did not handle opcode(0x%x)!!!", __func__, opcode);
    return 0;
}
