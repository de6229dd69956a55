/*
 * The HDR manager service "hdrManager": keeps the HDR calibration of the nine
 * video inputs and of the four logical heads of the system (heads 0-1 of card
 * A, 2-3 of card B) from three sources: calibration pcodes, the restore point
 * and the VPID the video probes read. Inputs in AUTO mode follow their VPID.
 * Every effective change reaches the 3D-LUT generator as a target event of
 * the layout manager; calibration received by pcode is saved in the restore
 * point.
 *
 * Producers (pcode thread, probing thread, restore-point thread) take a
 * message from a pool of 50 and queue it under the mutex; the worker thread
 * alone touches the calibration state (pre-start runs before it).
 */
#include "hdrManager/hdrManagerPrivate.h"

#include "layoutManager/layoutManager.h"
#include "pcodeProcessor/pcodeProcessor.h"
#include "persistentDataStorage/persistentDataStorage.h"
#include "platform/platform.h"
#include "probing/probing.h"
#include "serviceManager/serviceManager.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <glib.h>
#include <pthread.h>

#define MGR_LOG(priority, ...) log4c_category_log(manager.category, priority, __VA_ARGS__)

enum {
    MESSAGE_POOL = 50,
    PCODE_HEADER = 4,
    PCODE_DATA = 12,
    PCODE_FULL = 16,
    KEY_TEXT = 25,
    SLOT_CARD_A = 4,
    SLOT_CARD_B = 5,
    PCODE_CLASS = 10,
    PCODE_INPUT_ID = 19,
    PCODE_HEAD_ID = 20,
    PCODE_ADDRESSED = 6,
    WORKER_EXIT_WAIT_MS = 1000,
    VPID_PAYLOAD_1125_LINES = 0x89,
};

/* Message kinds. */
enum : uint32_t {
    HDR_MSG_INPUT_PCODE = 1,
    HDR_MSG_PROBE = 2,
    HDR_MSG_INPUT_RESTORE_POINT = 3,
    HDR_MSG_NOTIFY_ALL = 4,
    HDR_MSG_HEAD_PCODE = 5,
    HDR_MSG_HEAD_RESTORE_POINT = 6,
};

/* One queued change (32 bytes). */
struct hdrManagerMessage {
    uint32_t kind;
    uint32_t mode;
    uint32_t input;
    uint32_t head;
    uint8_t data[16];
};

/* Data of a probe message. */
struct hdrProbeMessage_t {
    uint32_t videoValid;
    uint32_t secondWord;
    uint32_t vpidValid;
    uint16_t vpid12;
    uint16_t vpid34;
};
static_assert(sizeof(hdrProbeMessage_t) == 16, "probe message data is 16 bytes");

/* Byte offsets of a video probe's change record. */
enum {
    PROBE_RECORD_SIZE = 38,
    PROBE_INPUT = 8,
    PROBE_VIDEO_VALID = 18,
    PROBE_SECOND_WORD = 22,
    PROBE_VPID_VALID = 30,
    PROBE_VPID_12 = 34,
    PROBE_VPID_34 = 36,
};

hdrManagerState_t hdrManagerState;

static struct {
    log4c_category_t *category;
    serviceDescriptor *service;
    hdrManagerMessage messages[MESSAGE_POOL];
    GQueue freeQueue;
    GQueue workQueue;
    pthread_mutex_t mutex;
    pthread_cond_t condition;
    pthread_cond_t workerLeft;
    std::atomic<int> queueReady;
    int stopping;
    int workerInside;
} manager;

static pcodeHandlerInfo inputPcodeHandler = {inputHdrCalibrationPcodeHandler, PCODE_CLASS, PCODE_INPUT_ID, nullptr};
static pcodeHandlerInfo headPcodeHandler = {headHdrCalibrationPcodeHandler, PCODE_CLASS, PCODE_HEAD_ID, nullptr};

/* ---- queue ---- */

/* A free message, or null (both lines logged) when the pool is empty. */
static hdrManagerMessage *takeMessage(const char *poolEmptyText, const char *caller)
{
    if (!manager.queueReady.load())
        return nullptr;
    pthread_mutex_lock(&manager.mutex);
    hdrManagerMessage *message = (hdrManagerMessage *)g_queue_pop_head(&manager.freeQueue);
    pthread_mutex_unlock(&manager.mutex);
    if (!message) {
        MGR_LOG(LOG4C_PRIORITY_ERROR, "%s", poolEmptyText);
        MGR_LOG(LOG4C_PRIORITY_ERROR, "HDRManager: %s: could not get a free message location. Ignoring change.",
                caller);
        return nullptr;
    }
    memset(message, 0, sizeof *message);
    return message;
}

static void queueMessage(hdrManagerMessage *message)
{
    pthread_mutex_lock(&manager.mutex);
    g_queue_push_tail(&manager.workQueue, message);
    pthread_cond_signal(&manager.condition);
    pthread_mutex_unlock(&manager.mutex);
}

static void returnMessage(hdrManagerMessage *message)
{
    pthread_mutex_lock(&manager.mutex);
    g_queue_push_tail(&manager.freeQueue, message);
    pthread_mutex_unlock(&manager.mutex);
}

/* ---- restore-point text ---- */

int convertHdrStringToHex(const char *text, uint8_t *out)
{
    if (!text || strlen(text) != 2 * PCODE_DATA)
        return PDS_BAD_ARGUMENTS;
    uint8_t bytes[PCODE_DATA];
    for (int i = 0; i < PCODE_DATA; i++) {
        unsigned value = 0;
        for (int k = 0; k < 2; k++) {
            char c = text[2 * i + k];
            int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                     : c >= 'A' && c <= 'F'   ? c - 'A' + 10
                                                                              : -1;
            if (digit < 0)
                return PDS_BAD_ARGUMENTS;
            value = value * 16 + (unsigned)digit;
        }
        bytes[i] = (uint8_t)value;
    }
    memcpy(out, bytes, sizeof bytes);
    return 0;
}

int convertHdrStringToHexForCallback(log4c_category_t *category, const char *text, uint8_t *out)
{
    int result = convertHdrStringToHex(text, out);
    if (result == 0)
        log4c_category_log(category, LOG4C_PRIORITY_DEBUG,
                           "HDRManager: %s: The HDR Input Calib pcode data extracted is 0x%02x%02x%02x%02x "
                           "%02x%02x%02x%02x %02x%02x%02x%02x.",
                           __func__, out[0], out[1], out[2], out[3], out[4], out[5], out[6], out[7], out[8], out[9],
                           out[10], out[11]);
    else
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "HDRManager: %s: the value \"%s\" is not 24 hexadecimal digits, ignored.", __func__,
                           text ? text : "");
    return result;
}

void hdrManagerRecordToText(const uint8_t *record, char *text)
{
    for (int i = 0; i < PCODE_DATA; i++)
        snprintf(text + 2 * i, 3, "%02x", record[i]);
}

/* ---- producers ---- */

static uint16_t pcodeDataLength(const uint8_t *pcode)
{
    return (uint16_t)((pcode[2] << 8) | pcode[3]);
}

/*
 * The checks both calibration pcodes share: data length and extra bytes.
 * 1 when the 12 data bytes may be used.
 */
static int pcodeLengthUsable(const uint8_t *pcode, uint32_t length, const char *kindText)
{
    uint16_t dataLength = pcodeDataLength(pcode);
    if (dataLength < PCODE_DATA || length < PCODE_FULL) {
        MGR_LOG(LOG4C_PRIORITY_ERROR,
                "HDRManager: %s: Receiving %s HDR PCode-> Rx PCode data length %d is lower than initial PCode data "
                "length %d, Dropping HDR Calibration PCode!",
                __func__, kindText, (int)dataLength, PCODE_DATA);
        return 0;
    }
    if (length > PCODE_FULL)
        MGR_LOG(LOG4C_PRIORITY_WARN,
                "HDRManager: %s: Receiving %s HDR PCode-> Rx PCode length %d is bigger than actual PCode length %d, "
                "Rejecting Extra Data!",
                __func__, kindText, (int)length, PCODE_FULL);
    return 1;
}

static void logPcode(const uint8_t *pcode, uint32_t length, const char *fn)
{
    char text[3 * PCODE_FULL + 1] = "";
    for (uint32_t i = 0; i < length && i < PCODE_FULL; i++)
        snprintf(text + 3 * i, 4, "%02x ", pcode[i]);
    MGR_LOG(LOG4C_PRIORITY_DEBUG, "HDRManager: %s: pcode %s(%u bytes)", fn, text, length);
}

int hdrManagerInputPcode(const uint8_t *pcode, uint32_t length)
{
    if (!pcode || length < PCODE_HEADER + 1)
        return 0;
    logPcode(pcode, length, __func__);
    uint8_t ownSlot = platformGetQvsVideoSlotId();
    if (pcode[4] != ownSlot) {
        MGR_LOG(LOG4C_PRIORITY_INFO,
                "HDRManager: %s: Received Input HDR Calibration PCode not for this slot id-> Rx slot %d, this card slot "
                "id %d",
                __func__, pcode[4], ownSlot);
        return 0;
    }
    if (!pcodeLengthUsable(pcode, length, "Input"))
        return PCODE_ADDRESSED;
    if (pcode[5] >= HDR_VIDEO_INPUTS) {
        MGR_LOG(LOG4C_PRIORITY_ERROR,
                "HDRManager: %s: Error in Parameter videoInputNumber = %d (range is 0-8), Dropping HDR Calibration "
                "PCode!",
                __func__, pcode[5]);
        return PCODE_ADDRESSED;
    }
    hdrManagerMessage *message = takeMessage("HDRManager: Big problem! Q full! Dropping Input HDR Calibration PCode "
                                             "message for Input HDR Calibration service!",
                                             __func__);
    if (!message)
        return PCODE_ADDRESSED;
    message->kind = HDR_MSG_INPUT_PCODE;
    message->mode = pcode[6];
    message->input = pcode[5];
    memcpy(message->data, pcode + PCODE_HEADER, PCODE_DATA);
    queueMessage(message);
    return PCODE_ADDRESSED;
}

int hdrManagerHeadPcode(const uint8_t *pcode, uint32_t length)
{
    if (!pcode || length < PCODE_HEADER + 1)
        return 0;
    logPcode(pcode, length, __func__);
    uint8_t slot = pcode[4];
    if (slot != SLOT_CARD_A && slot != SLOT_CARD_B) {
        MGR_LOG(LOG4C_PRIORITY_INFO,
                "HDRManager: %s: Received Head HDR Calibration PCode not for slot A or B Rx slot %d, this card slot id "
                "%d",
                __func__, slot, platformGetQvsVideoSlotId());
        return 0;
    }
    if (!pcodeLengthUsable(pcode, length, "Head"))
        return PCODE_ADDRESSED;
    if (pcode[5] >= HDR_HEAD_INSTANCES) {
        MGR_LOG(LOG4C_PRIORITY_ERROR,
                "HDRManager: %s: Error in Parameter headNumber = %d (range is 0-1), Dropping HDR Calibration PCode!",
                __func__, pcode[5]);
        return PCODE_ADDRESSED;
    }
    hdrManagerMessage *message = takeMessage("HDRManager: Big problem! Q full! Dropping Input HDR Calibration PCode "
                                             "message for Input HDR Calibration service!",
                                             __func__);
    if (!message)
        return PCODE_ADDRESSED;
    message->kind = HDR_MSG_HEAD_PCODE;
    message->head = pcode[5] + (slot == SLOT_CARD_B ? 2u : 0u);
    memcpy(message->data, pcode + PCODE_HEADER, PCODE_DATA);
    queueMessage(message);
    return PCODE_ADDRESSED;
}

void inputHdrCalibrationPcodeHandler(const uint8_t *pcode, uint32_t length)
{
    hdrManagerInputPcode(pcode, length);
}

void headHdrCalibrationPcodeHandler(const uint8_t *pcode, uint32_t length)
{
    hdrManagerHeadPcode(pcode, length);
}

template <typename T> static T readAt(const uint8_t *record, int offset)
{
    T value;
    memcpy(&value, record + offset, sizeof value);
    return value;
}

/*
 * The change record carries no log category of its own (its first word is
 * the card id): the manager logs with its own.
 */
void inputHdrMetadataChangeCallback(const void *record)
{
    if (!record)
        return;
    const uint8_t *bytes = (const uint8_t *)record;
    hdrProbeMessage_t probe = {readAt<uint32_t>(bytes, PROBE_VIDEO_VALID), readAt<uint32_t>(bytes, PROBE_SECOND_WORD),
                               readAt<uint32_t>(bytes, PROBE_VPID_VALID), readAt<uint16_t>(bytes, PROBE_VPID_12),
                               readAt<uint16_t>(bytes, PROBE_VPID_34)};
    uint32_t input = readAt<uint32_t>(bytes, PROBE_INPUT);
    MGR_LOG(LOG4C_PRIORITY_DEBUG,
            "HDRManager: %s: input %u video valid %u VPID valid %u VPID 0x%04x 0x%04x", __func__, input,
            probe.videoValid, probe.vpidValid, probe.vpid12, probe.vpid34);
    if (probe.videoValid == 0)
        return;
    hdrManagerMessage *message = takeMessage("HDRManager: Big problem! Q full! Dropping Video Format change messages "
                                             "for input HDR Calibration service!",
                                             __func__);
    if (!message)
        return;
    message->kind = HDR_MSG_PROBE;
    message->input = input;
    memcpy(message->data, &probe, sizeof probe);
    queueMessage(message);
}

/* Key number n (1-based) of "<prefix>%d" with n in 1..count, else 0. */
static int keyNumber(const char *key, const char *format, int count)
{
    for (int n = 1; n <= count; n++) {
        char name[PDS_TEXT_MAX + 1];
        snprintf(name, sizeof name, format, n);
        if (strcmp(name, key) == 0)
            return n;
    }
    return 0;
}

/*
 * A restore-point change of one calibration key: queued as `kind` when the
 * value parses and its byte 1 is the input or physical head the key names.
 */
static void restorePointChanged(const pdsKeyCallbackInfo *change, log4c_category_t *category, int isHead)
{
    if (!category)
        return;
    if (!change || !change->key[0] || !change->value[0]) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "HDRManager: %s: Error, Bad arguments.", __func__);
        return;
    }
    log4c_category_log(category, LOG4C_PRIORITY_DEBUG,
                       isHead ? "HDRManager: %s: HDR head CALIBRATION CALLBACK FUNCTION called!!! key %s, value %s"
                              : "HDRManager: %s: HDR INPUT CALIBRATION CALLBACK FUNCTION called!!! key %s, value %s",
                       __func__, change->key, change->value);
    int n = isHead ? keyNumber(change->key, "HDR_CALIBRATION_HEAD_%d", HDR_LOGICAL_HEADS)
                   : keyNumber(change->key, "HDR_CALIBRATION_INPUT_%d", HDR_VIDEO_INPUTS);
    if (n == 0 || change->found == 0)
        return;
    uint8_t data[PCODE_DATA];
    if (convertHdrStringToHexForCallback(category, change->value, data) != 0)
        return;
    int expected = isHead ? (n - 1) % 2 : n - 1;
    if (data[1] != expected) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           isHead ? "HDRManager: %s: Error, the data is inconsistent!!! Expected headNumber %d, but "
                                    "Restore Point Data gave us %d."
                                  : "HDRManager: %s: Error, the data is inconsistent!!! Expected Vid %d, but Restore "
                                    "Point Data gave us %d.",
                           __func__, expected, data[1]);
        return;
    }
    log4c_category_log(category, LOG4C_PRIORITY_INFO,
                       "HDRManager: %s: RestorePoint sent the key %s value %s. Sending msg to HDR Manager.", __func__,
                       change->key, change->value);
    hdrManagerMessage *message =
        takeMessage(isHead ? "HDRManager: Big problem! Q full! Dropping Head HDR Calibration PCode message for Head HDR "
                             "Calibration service!"
                           : "HDRManager: Big problem! Q full! Dropping Input HDR Calibration PCode message for Input "
                             "HDR Calibration service!",
                    __func__);
    if (!message)
        return;
    memcpy(message->data, data, sizeof data);
    if (isHead) {
        message->kind = HDR_MSG_HEAD_RESTORE_POINT;
        message->head = (uint32_t)(n - 1);
    } else {
        message->kind = HDR_MSG_INPUT_RESTORE_POINT;
        message->mode = data[2];
        message->input = (uint32_t)(n - 1);
    }
    queueMessage(message);
}

void hdrInputPcodeRestorePointCallbackfn(const pdsKeyCallbackInfo *change, log4c_category_t *category)
{
    restorePointChanged(change, category ? category : change ? change->category : nullptr, 0);
}

void hdrHeadPcodeRestorePointCallbackfn(const pdsKeyCallbackInfo *change, log4c_category_t *category)
{
    restorePointChanged(change, category ? category : change ? change->category : nullptr, 1);
}

int hdrManagerQueueNotifyAll(void)
{
    hdrManagerMessage *message =
        takeMessage("HDRManager: Big problem! Q full! Dropping notify-all message for HDR Calibration service!",
                    __func__);
    if (!message)
        return -1;
    message->kind = HDR_MSG_NOTIFY_ALL;
    queueMessage(message);
    return 0;
}

/* ---- the worker ---- */

static void logInputRecord(const char *fn, const char *text, const hdrInputCalibration_t &r)
{
    MGR_LOG(LOG4C_PRIORITY_INFO, text, fn, r.slotId, r.videoInput, r.inputMode, r.transferFunction, r.colorGamut,
            r.colorModel, r.nits, r.range);
}

static void logHeadRecord(const char *fn, const char *text, const hdrHeadCalibration_t &r)
{
    MGR_LOG(LOG4C_PRIORITY_INFO, text, fn, r.slotId, r.physicalHead, r.transferFunction, r.colorGamut, r.colorModel,
            r.range, r.maxCll, r.maxFall, r.diffuseWhite);
}

static uint16_t swap16(uint16_t v)
{
    return (uint16_t)((v >> 8) | (v << 8));
}

/* Decides an AUTO input's calibration from its probed VPID. Returns 1. */
static int autosetThisInput(uint32_t i)
{
    if (i >= HDR_VIDEO_INPUTS)
        return 1;
    hdrManagerState_t &s = hdrManagerState;
    hdrInputCalibration_t &r = s.inputs[i];
    const hdrProbeState_t &probe = s.probes[i];
    r.inputMode = s.configuredMode[i];
    if (probe.videoValid == 0) {
        MGR_LOG(LOG4C_PRIORITY_TRACE,
                "HDRManager: %s: Not Processing HDR Probing message because inputVideoNumber %d is not valid.",
                __func__, (int)i);
        return 1;
    }
    if (s.configuredMode[i] != AUTO) {
        MGR_LOG(LOG4C_PRIORITY_TRACE,
                "HDRManager: %s: Not autosetting HDR Probing message because inputVideoNumber %d is not in Auto "
                "(Follow Input) mode.",
                __func__, (int)i);
        return 1;
    }
    if (!s.inputFromRestorePoint[i] && !s.inputFromPcode[i]) {
        MGR_LOG(LOG4C_PRIORITY_ERROR,
                "HDRManager: %s: inputVideoNumber %d is in Auto (Follow Input) mode but Not Processing HDR Probing "
                "message because we dont have the nits. No pcode or restore point data was received.",
                __func__, (int)i);
        return 1;
    }
    if (probe.vpidValid == 0) {
        MGR_LOG(LOG4C_PRIORITY_INFO,
                "HDRManager: %s: videoInput %d VPID valid bit indicates that VPID packet is not valid! Setting "
                "passthrough",
                __func__, (int)i);
        r.inputMode = PASSTHROUGH;
        return 1;
    }
    uint8_t b1 = (uint8_t)probe.vpid12, b2 = (uint8_t)(probe.vpid12 >> 8);
    uint8_t b3 = (uint8_t)probe.vpid34, b4 = (uint8_t)(probe.vpid34 >> 8);
    MGR_LOG(LOG4C_PRIORITY_NOTICE,
            "HDRManager: %s: videoInput %d VPID: payload id 0x%02x, transport scan %d, picture scan %d, transfer type "
            "%d, picture rate %d, aspect ratio %d, pixel size %d, colorimetry %d, sampling structure %d, color space "
            "%d, sample quantization %d",
            __func__, (int)i, b1, (b2 >> 7) & 1, (b2 >> 6) & 1, (b2 >> 4) & 3, b2 & 0x0F, (b3 >> 7) & 1, (b3 >> 6) & 1,
            (b3 >> 4) & 3, b3 & 0x0F, (b4 >> 4) & 1, b4 & 3);
    if (b1 != VPID_PAYLOAD_1125_LINES) {
        MGR_LOG(LOG4C_PRIORITY_INFO,
                "HDRManager: %s: VPID.payload_id 0x%02x (0x88=750lines, 0x89=1125lines) not supported. Setting "
                "passthrough for input %d",
                __func__, b1, (int)i);
        r.inputMode = PASSTHROUGH;
        return 1;
    }
    uint8_t transfer = (b2 >> 4) & 3;
    if (transfer == 3) {
        MGR_LOG(LOG4C_PRIORITY_WARN,
                "HDRManager: %s: Processing HDR Probing message: VPID.transfer_type unspecified %d (0=SDR_TV, 1=HLG, "
                "2=PQ, 3=unspecified). Setting passthrough for input %d",
                __func__, transfer, (int)i);
        r.inputMode = PASSTHROUGH;
    } else {
        r.transferFunction = transfer;
    }
    uint8_t colorimetry = (b3 >> 4) & 3;
    if (colorimetry == 0 || colorimetry == 2) {
        r.colorGamut = colorimetry == 0 ? Rec_709_601 : Rec_2020;
    } else {
        MGR_LOG(LOG4C_PRIORITY_WARN,
                "HDRManager: %s: Processing HDR Probing message: VPID.colorimetry not supported %d (0=Rec709, "
                "1=reserved, 2=UHDTV, 3=unknown). Setting passthrough for input %d",
                __func__, colorimetry, (int)i);
        r.inputMode = PASSTHROUGH;
    }
    if ((b4 >> 4) & 1)
        MGR_LOG(LOG4C_PRIORITY_WARN,
                "HDRManager: %s: Processing HDR Probing message: VPID.colorspace ICtCp not supported.  %d (0=Y_Cb_Cr, "
                "1=ICtCp). Defaulting to YCbCr.",
                __func__, 1);
    r.colorModel = Y_Cb_Cr;
    uint8_t quantization = b4 & 3;
    r.range = quantization == 1 || quantization == 2 ? NARROW_RANGE : FULL_RANGE;
    return 1;
}

enum { OUTCOME_NONE = 0, OUTCOME_NOTIFY = 1, OUTCOME_SAVE = 2 };

/*
 * A calibration the 3D-LUT generator would discard is never kept, saved in
 * the restore point nor mirrored to the controller: the stored one stays.
 * The generator's own check says which field is wrong.
 */
static int inputCalibrationUsable(const char *fn, const hdrInputCalibration_t &record, uint32_t input, int fromPcode)
{
    if (hdrIsValidInputCalibration(&record, manager.category))
        return 1;
    MGR_LOG(LOG4C_PRIORITY_ERROR,
            "HDRManager: %s: HDR input calibration for input %d from the %s is out of range (mode %d, xfer fn %d, gamut "
            "%d, colorModel %d, nits %d, range %d): refused, the stored calibration stays",
            fn, (int)input, fromPcode ? "pcode" : "Restore Point", record.inputMode, record.transferFunction,
            record.colorGamut, record.colorModel, record.nits, record.range);
    return 0;
}

static int headCalibrationUsable(const char *fn, const hdrHeadCalibration_t &record, uint32_t head, int fromPcode)
{
    if (hdrIsValidHeadCalibration(&record, manager.category))
        return 1;
    MGR_LOG(LOG4C_PRIORITY_ERROR,
            "HDRManager: %s: HDR head calibration for head %d from the %s is out of range (outputTransferFunction %d, "
            "colorGamut %d, colorModel %d, range %d, maxCll %d, maxFall %d, diffuseWhite %d): refused, the stored "
            "calibration stays",
            fn, (int)head, fromPcode ? "pcode" : "Restore Point", record.transferFunction, record.colorGamut,
            record.colorModel, record.range, record.maxCll, record.maxFall, record.diffuseWhite);
    return 0;
}

static int processInputCalibration(const hdrManagerMessage &m, int fromPcode)
{
    hdrManagerState_t &s = hdrManagerState;
    uint32_t i = m.input;
    if (i >= HDR_VIDEO_INPUTS)
        return OUTCOME_NONE;
    hdrInputCalibration_t received;
    memcpy(&received, m.data, sizeof received);
    if (fromPcode)
        received.nits = swap16(received.nits);
    if (!inputCalibrationUsable(__func__, received, i, fromPcode))
        return OUTCOME_NONE;
    if (fromPcode) {
        s.inputFromPcode[i] = 1;
    } else if (s.inputFromPcode[i]) {
        MGR_LOG(LOG4C_PRIORITY_INFO,
                "HDRManager: %s: Since we already got a new HDR input calibration (vid %d) from SW, we will ignore the "
                "RestorePoint data.",
                __func__, (int)i);
        return OUTCOME_NONE;
    }
    if (memcmp(&received, &s.inputs[i], sizeof received) == 0) {
        MGR_LOG(LOG4C_PRIORITY_INFO,
                fromPcode ? "HDRManager: %s: The pcode received is the same as stored! Not doing anything."
                          : "HDRManager: %s: The RestorePoint pcode received is the same as stored! Not doing anything.",
                __func__);
        s.configuredMode[i] = received.inputMode;
        return OUTCOME_NONE;
    }
    logInputRecord(__func__,
                   fromPcode ? "HDRManager: %s: Received Pcode was different than saved pcode. New slot %d, input %d, "
                               "mode %d, xfer fn %d, gamut %d, colorModel %d, nits %d, range %d"
                             : "HDRManager: %s: Received Restore Point was different than saved. New slot %d, input "
                               "%d, mode %d, xfer fn %d, gamut %d, colorModel %d, nits %d, range %d",
                   received);
    logInputRecord(__func__,
                   "HDRManager: %s: Old slot %d, input %d, mode %d, xfer fn %d, gamut %d, colorModel %d, nits %d, "
                   "range %d",
                   s.inputs[i]);
    s.inputs[i] = received;
    s.configuredMode[i] = received.inputMode;
    if (s.configuredMode[i] == AUTO)
        autosetThisInput(i);
    return fromPcode ? OUTCOME_SAVE : OUTCOME_NOTIFY;
}

static int processTheReceivedHdrMetadataMsg(const hdrManagerMessage &m)
{
    uint32_t i = m.input;
    if (i >= HDR_VIDEO_INPUTS) {
        MGR_LOG(LOG4C_PRIORITY_ERROR,
                "HDRManager: %s: Not Processing HDR Probing message because inputVideoNumber %d is out of range.",
                __func__, (int)i);
        return OUTCOME_NONE;
    }
    hdrProbeMessage_t probe;
    memcpy(&probe, m.data, sizeof probe);
    hdrProbeState_t &stored = hdrManagerState.probes[i];
    if (probe.videoValid && probe.vpidValid && probe.vpid12 == stored.vpid12 && probe.vpid34 == stored.vpid34 &&
        stored.videoValid && stored.vpidValid)
        return OUTCOME_NONE;
    hdrProbeState_t previous = stored;
    stored = {probe.videoValid, probe.vpidValid, probe.vpid12, probe.vpid34};
    if (hdrManagerState.configuredMode[i] != AUTO)
        return OUTCOME_NONE;
    if (probe.videoValid && probe.vpidValid)
        MGR_LOG(LOG4C_PRIORITY_INFO,
                "HDRManager: HDR Probing of VideoNumber %d changed. Video Valid %d (was %d), VPID Valid %d (was %d), "
                "Vpid Byte1and2 0x%04x (was 0x%04x), Vpid Byte3and4 0x%04x (was 0x%04x) ",
                (int)i, (int)probe.videoValid, (int)previous.videoValid, (int)probe.vpidValid,
                (int)previous.vpidValid, probe.vpid12, previous.vpid12, probe.vpid34, previous.vpid34);
    autosetThisInput(i);
    return OUTCOME_NOTIFY;
}

static int processHeadCalibration(const hdrManagerMessage &m, int fromPcode)
{
    hdrManagerState_t &s = hdrManagerState;
    uint32_t h = m.head;
    if (h >= HDR_LOGICAL_HEADS)
        return OUTCOME_NONE;
    hdrHeadCalibration_t received;
    memcpy(&received, m.data, sizeof received);
    if (fromPcode) {
        received.maxCll = swap16(received.maxCll);
        received.maxFall = swap16(received.maxFall);
        received.diffuseWhite = swap16(received.diffuseWhite);
    }
    if (!headCalibrationUsable(__func__, received, h, fromPcode))
        return OUTCOME_NONE;
    if (fromPcode) {
        s.headFromPcode[h] = 1;
    } else if (s.headFromPcode[h]) {
        MGR_LOG(LOG4C_PRIORITY_INFO,
                "HDRManager: %s: Since we already got a new HDR head calibration (head %d) from SW, we will ignore the "
                "RestorePoint data.",
                __func__, (int)h);
        return OUTCOME_NONE;
    }
    if (memcmp(&received, &s.heads[h], sizeof received) == 0) {
        MGR_LOG(LOG4C_PRIORITY_INFO, "HDRManager: %s: The pcode received is the same as stored! Not doing anything.",
                __func__);
        return OUTCOME_NONE;
    }
    logHeadRecord(__func__,
                  "HDRManager: %s: Received Head Pcode was different than saved pcode. New HDR data: slot %d, "
                  "headNUmber %d, outputTransferFunction %d, colorGamut %d, colorModel %d, range %d, maxCll %d, "
                  "maxFall %d, diffuseWhite %d",
                  received);
    logHeadRecord(__func__,
                  "HDRManager: %s: Old HDR data: slot %d, headNUmber %d, outputTransferFunction %d, colorGamut %d, "
                  "colorModel %d, range %d, maxCll %d, maxFall %d, diffuseWhite %d",
                  s.heads[h]);
    s.heads[h] = received;
    return fromPcode ? OUTCOME_SAVE : OUTCOME_NOTIFY;
}

static void notifyAll(void)
{
    hdrManagerState_t &s = hdrManagerState;
    for (uint32_t i = 0; i < HDR_VIDEO_INPUTS; i++) {
        if (!s.inputFromRestorePoint[i] && !s.inputFromPcode[i])
            continue;
        MGR_LOG(LOG4C_PRIORITY_INFO,
                "HDRManager: %s: VideoInput %d retrieved from Restore Point or Rcvd from Pcode Processor. Notifying "
                "All registered sub-modules to this event 0x%0x. ",
                __func__, (int)i, HDR_INPUT_CHANGE_EVENT);
        layoutTargetSpecificEvent(HDR_INPUT_CHANGE_EVENT, &s.inputs[i], sizeof s.inputs[i]);
    }
    for (uint32_t h = 0; h < HDR_LOGICAL_HEADS; h++) {
        if (!s.headFromRestorePoint[h] && !s.headFromPcode[h])
            continue;
        MGR_LOG(LOG4C_PRIORITY_INFO,
                "HDRManager: %s: head HDR Pcode for this headNumber %d retrieved from Restore Point or Rcvd from Pcode "
                "Processor. Notifying All registered sub-modules to this event 0x%0x. ",
                __func__, (int)h, HDR_HEAD_CHANGE_EVENT);
        layoutTargetSpecificEvent(HDR_HEAD_CHANGE_EVENT, &s.heads[h], sizeof s.heads[h]);
    }
}

static void saveKey(const char *format, uint32_t number, const uint8_t *record)
{
    char key[PDS_TEXT_MAX + 1], value[KEY_TEXT];
    snprintf(key, sizeof key, format, (int)number);
    hdrManagerRecordToText(record, value);
    MGR_LOG(LOG4C_PRIORITY_INFO, "HDRManager: The key : %s, the value : %s", key, value);
    persistentDataStorage_SetKey(manager.category, PDS_LOCATION_RESTORE_POINT, key, value);
}

static void applyOutcome(const hdrManagerMessage &m, int outcome)
{
    if (outcome == OUTCOME_NONE)
        return;
    if (!platformIsHdrCapableCard()) {
        MGR_LOG(LOG4C_PRIORITY_INFO, "HDRManager: %s: this card is not HDR capable, HDR processing is disabled.",
                __func__);
        return;
    }
    hdrManagerState_t &s = hdrManagerState;
    if (m.kind == HDR_MSG_HEAD_PCODE || m.kind == HDR_MSG_HEAD_RESTORE_POINT) {
        MGR_LOG(LOG4C_PRIORITY_INFO, "HDRManager: %s: Notifying All registered sub-modules to this event 0x%0x",
                __func__, HDR_HEAD_CHANGE_EVENT);
        layoutTargetSpecificEvent(HDR_HEAD_CHANGE_EVENT, &s.heads[m.head], sizeof s.heads[m.head]);
        if (outcome == OUTCOME_SAVE)
            saveKey("HDR_CALIBRATION_HEAD_%d", m.head + 1, (const uint8_t *)&s.heads[m.head]);
        return;
    }
    MGR_LOG(LOG4C_PRIORITY_INFO, "HDRManager: %s: Notifying All registered sub-modules to this event 0x%0x", __func__,
            HDR_INPUT_CHANGE_EVENT);
    layoutTargetSpecificEvent(HDR_INPUT_CHANGE_EVENT, &s.inputs[m.input], sizeof s.inputs[m.input]);
    if (outcome == OUTCOME_SAVE) {
        /* The restore point keeps the mode asked for, not the one AUTO settled on. */
        hdrInputCalibration_t saved = s.inputs[m.input];
        saved.inputMode = s.configuredMode[m.input];
        saveKey("HDR_CALIBRATION_INPUT_%d", m.input + 1, (const uint8_t *)&saved);
    }
}

static void processMessage(const hdrManagerMessage &m)
{
    int outcome = OUTCOME_NONE;
    switch (m.kind) {
    case HDR_MSG_INPUT_PCODE:
        outcome = processInputCalibration(m, 1);
        break;
    case HDR_MSG_PROBE:
        outcome = processTheReceivedHdrMetadataMsg(m);
        break;
    case HDR_MSG_INPUT_RESTORE_POINT:
        outcome = processInputCalibration(m, 0);
        break;
    case HDR_MSG_HEAD_PCODE:
        outcome = processHeadCalibration(m, 1);
        break;
    case HDR_MSG_HEAD_RESTORE_POINT:
        outcome = processHeadCalibration(m, 0);
        break;
    case HDR_MSG_NOTIFY_ALL:
        notifyAll();
        return;
    default:
        MGR_LOG(LOG4C_PRIORITY_ERROR, "HDRManager: %s: HDR Data source is not valid, Parameter value %d", __func__,
                (int)m.kind);
        return;
    }
    applyOutcome(m, outcome);
}

int hdrManagerServeNext(void)
{
    if (!manager.queueReady.load())
        return 0;
    pthread_mutex_lock(&manager.mutex);
    hdrManagerMessage *message = (hdrManagerMessage *)g_queue_pop_head(&manager.workQueue);
    pthread_mutex_unlock(&manager.mutex);
    if (!message)
        return 0;
    processMessage(*message);
    returnMessage(message);
    return 1;
}

/* ---- the service ---- */

static void hdrManagerInit(serviceDescriptor *service)
{
    manager.category = service->category;
    manager.service = service;
    if (!manager.queueReady.load()) {
        pthread_mutex_init(&manager.mutex, nullptr);
        pthread_condattr_t attributes;
        pthread_condattr_init(&attributes);
        pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
        pthread_cond_init(&manager.condition, &attributes);
        pthread_cond_init(&manager.workerLeft, &attributes);
        pthread_condattr_destroy(&attributes);
    }
    pthread_mutex_lock(&manager.mutex);
    g_queue_init(&manager.freeQueue);
    g_queue_init(&manager.workQueue);
    for (hdrManagerMessage &message : manager.messages)
        g_queue_push_tail(&manager.freeQueue, &message);
    manager.stopping = 0;
    manager.workerInside = 0;
    pthread_mutex_unlock(&manager.mutex);
    memset(&hdrManagerState, 0, sizeof hdrManagerState);
    manager.queueReady.store(1);
    platformRegisterHdrMaintenance(hdrManager3DLutGenMaintenance);
}

/* Reads one calibration key at pre-start; 1 when the key is present. */
static int readStartKey(const char *format, int index, int expected, pdsKeyCallback callback, uint8_t *record,
                        int isHead)
{
    char key[PDS_TEXT_MAX + 1], value[KEY_TEXT] = "";
    snprintf(key, sizeof key, format, index + 1);
    if (persistentDataStorage_GetKey(manager.category, PDS_LOCATION_RESTORE_POINT, key, value, sizeof value,
                                     callback) != PDS_OK) {
        MGR_LOG(LOG4C_PRIORITY_INFO,
                isHead ? "HDRManager: %s: HDR head Calibration : %s not present in RestorePoint."
                       : "HDRManager: %s: HDR Video Input Calibration : %s not present in RestorePoint.",
                __func__, key);
        return 0;
    }
    MGR_LOG(LOG4C_PRIORITY_INFO,
            isHead ? "HDRManager: %s: HDR head Calibration : %s is present in RestorePoint!"
                   : "HDRManager: %s: HDR Video Input Calibration : %s is present in RestorePoint!",
            __func__, key);
    uint8_t data[PCODE_DATA];
    if (convertHdrStringToHexForCallback(manager.category, value, data) != 0)
        return 1;
    if (data[1] != expected) {
        MGR_LOG(LOG4C_PRIORITY_ERROR,
                isHead ? "HDRManager: %s: Error, the data is inconsistent!!! Expected headNumber %d, but Restore Point "
                         "Data gave us %d."
                       : "HDRManager: %s: Error, the data is inconsistent!!! Expected Vid %d, but Restore Point Data "
                         "gave us %d.",
                __func__, expected, data[1]);
        return 1;
    }
    hdrHeadCalibration_t head;
    hdrInputCalibration_t input;
    memcpy(&head, data, sizeof head);
    memcpy(&input, data, sizeof input);
    int usable = isHead ? headCalibrationUsable(__func__, head, (uint32_t)index, 0)
                        : inputCalibrationUsable(__func__, input, (uint32_t)index, 0);
    if (usable)
        memcpy(record, data, sizeof data);
    return 1;
}

static void hdrManagerPreStartInit(serviceDescriptor *service)
{
    (void)service;
    MGR_LOG(LOG4C_PRIORITY_INFO, "HDRManager: %s: registering the input and head calibration pcodes and the probe "
                                 "callback",
            __func__);
    registerPcodeHandler(&inputPcodeHandler);
    registerPcodeHandler(&headPcodeHandler);
    videoProbeChangedCallbackRegister(inputHdrMetadataChangeCallback);
    hdrManagerState_t &s = hdrManagerState;
    for (int i = 0; i < HDR_VIDEO_INPUTS; i++) {
        hdrInputCalibration_t record = s.inputs[i];
        s.inputFromRestorePoint[i] = (uint8_t)readStartKey("HDR_CALIBRATION_INPUT_%d", i, i,
                                                           hdrInputPcodeRestorePointCallbackfn, (uint8_t *)&record, 0);
        if (memcmp(&record, &s.inputs[i], sizeof record) != 0) {
            s.inputs[i] = record;
            s.configuredMode[i] = record.inputMode;
        }
    }
    for (int h = 0; h < HDR_LOGICAL_HEADS; h++)
        s.headFromRestorePoint[h] = (uint8_t)readStartKey("HDR_CALIBRATION_HEAD_%d", h, h % 2,
                                                          hdrHeadPcodeRestorePointCallbackfn, (uint8_t *)&s.heads[h], 1);
}

/* Waits for a message or the stop; the message, or null when the worker must look at its state. */
static hdrManagerMessage *waitForMessage(void)
{
    pthread_mutex_lock(&manager.mutex);
    while (g_queue_is_empty(&manager.workQueue) && !manager.stopping)
        pthread_cond_wait(&manager.condition, &manager.mutex);
    hdrManagerMessage *message =
        manager.stopping ? nullptr : (hdrManagerMessage *)g_queue_pop_head(&manager.workQueue);
    pthread_mutex_unlock(&manager.mutex);
    return message;
}

static void hdrManagerThreadEntry(serviceDescriptor *service)
{
    pthread_mutex_lock(&manager.mutex);
    manager.workerInside = 1;
    pthread_mutex_unlock(&manager.mutex);
    /* Every service runs now: what pre-start read from the restore point goes to the 3D-LUT generator. */
    hdrManagerQueueNotifyAll();
    for (;;) {
        int state = service->state;
        if (state == SERVICE_STATE_PAUSE) {
            while (sem_wait(&service->semaphore) != 0 && errno == EINTR)
                ;
            continue;
        }
        if (state != SERVICE_STATE_RUN)
            break;
        hdrManagerMessage *message = waitForMessage();
        if (!message) {
            if (service->state == SERVICE_STATE_RUN)
                MGR_LOG(LOG4C_PRIORITY_DEBUG, "HDRManager: %s: Nothing popped from queue!!!", __func__);
            continue;
        }
        processMessage(*message);
        returnMessage(message);
    }
    pthread_mutex_lock(&manager.mutex);
    manager.workerInside = 0;
    pthread_cond_broadcast(&manager.workerLeft);
    pthread_mutex_unlock(&manager.mutex);
}

/*
 * Stops the worker before the mutex and condition go: the stop flag is seen
 * inside its wait, and they are destroyed only once it has left (bounded
 * wait; a worker that does not leave keeps them).
 */
static void hdrManagerTerminate(serviceDescriptor *service, int newState, int previousState)
{
    (void)newState;
    (void)previousState;
    MGR_LOG(LOG4C_PRIORITY_INFO, "HDRManager: %s: called to terminate the service %s", __func__, service->name);
    if (!manager.queueReady.load())
        return;
    manager.queueReady.store(0);
    pthread_mutex_lock(&manager.mutex);
    manager.stopping = 1;
    pthread_cond_broadcast(&manager.condition);
    struct timespec limit;
    clock_gettime(CLOCK_MONOTONIC, &limit);
    limit.tv_sec += WORKER_EXIT_WAIT_MS / 1000;
    int waited = 0;
    while (manager.workerInside && waited == 0)
        waited = pthread_cond_timedwait(&manager.workerLeft, &manager.mutex, &limit);
    int left = !manager.workerInside;
    pthread_mutex_unlock(&manager.mutex);
    if (!left) {
        MGR_LOG(LOG4C_PRIORITY_ERROR, "HDRManager: %s: the worker did not leave, its queue is kept", __func__);
        manager.queueReady.store(1);
        return;
    }
    pthread_cond_destroy(&manager.condition);
    pthread_cond_destroy(&manager.workerLeft);
    pthread_mutex_destroy(&manager.mutex);
}

serviceDescriptor hdrManagerService = {
    "hdrManager", "ulm.firmware.hdrManagerSrvc",
    hdrManagerInit, hdrManagerPreStartInit, hdrManagerThreadEntry, hdrManagerTerminate,
    55, nullptr,
};
