#include "probing/probing.h"

#include "layoutManager/layoutManager.h"
#include "qvsInterface/qvsInterface.h"
#include "strata/strataAnswers.h"

#include <cstddef>
#include <cstring>
#include <pthread.h>

/*
 * The video probes: every cycle end they read the nine inputs' status words
 * from this card's block, debounce the validity and format of each input and
 * hand one change record per changed input to the registered callbacks. The
 * layout manager gets nothing until every input was reported once, then all
 * nine records together and one record per change after that.
 */

static_assert(sizeof(videoInputRecord) == 44, "videoInputRecord is 11 words");
static_assert((int)PROBING_BLOCK_SIZE == (int)CARD_STATUS_BLOCK_SIZE, "card status block size");
static_assert(offsetof(videoProbeChangeRecord_t, changed) == 4 && offsetof(videoProbeChangeRecord_t, input) == 8 &&
                  offsetof(videoProbeChangeRecord_t, reg0) == 12 && offsetof(videoProbeChangeRecord_t, reg2) == 16 &&
                  offsetof(videoProbeChangeRecord_t, stable) == 18 &&
                  offsetof(videoProbeChangeRecord_t, vpidChanged) == 22 &&
                  offsetof(videoProbeChangeRecord_t, vpidValid) == 30 &&
                  offsetof(videoProbeChangeRecord_t, vpidA) == 34 && sizeof(videoProbeChangeRecord_t) == 38,
              "change record layout");

enum {
    INPUT_BASE = 2176,
    INPUT_STRIDE = 388,
    VPID_OFFSET = 36,
    REPORT_UNSOLICITED_INPUT = 4,
    DEBOUNCE_COUNT = 2,
    STATE_START = 1,
    STATE_STABLE = 2,
    STATE_VALID_DEBOUNCE = 3,
    STATE_FORMAT_DEBOUNCE = 4,
    STATE_INVALID = 5,
    UNREPORTED = 0xFFFF,
    UNKNOWN_FORMAT = 0xFFFF,
};

namespace {

struct inputProbe_t {
    uint16_t reg0, reg1, reg2;
    uint16_t previousReg0, previousReg1, previousReg2;
    uint8_t state;
    uint16_t counter;
    uint16_t debouncedFormat;
    uint32_t vpidValid, previousVpidValid;
    uint16_t vpid[2], previousVpid[2];
    uint32_t initialEventSent;
};

struct {
    log4c_category_t *category;
    uint8_t *sharedMemory;
    inputProbe_t inputs[PROBING_VIDEO_INPUTS];
    pthread_mutex_t mutex;   /* the record table, read by other threads */
    videoInputRecord records[PROBING_VIDEO_INPUTS];
    uint8_t reported[PROBING_VIDEO_INPUTS];
    uint32_t reportedCount;
    uint32_t allVideoDataSent;
} probes = {nullptr, nullptr, {}, PTHREAD_MUTEX_INITIALIZER, {}, {}, 0, 0};

struct formatTiming_t {
    uint16_t code, rate, scan, samples, active, total;
};

const formatTiming_t formats[] = {
    {0, 5994, 1, 1280, 720, 750},    {2, 2997, 1, 1280, 720, 750},    {4, 5000, 1, 1280, 720, 750},
    {6, 2500, 1, 1280, 720, 750},    {8, 2398, 1, 1280, 720, 750},    {10, 5994, 0, 1920, 540, 1125},
    {11, 2997, 1, 1920, 1080, 1125}, {12, 5000, 0, 1920, 540, 1125},  {13, 2500, 1, 1920, 1080, 1125},
    {16, 2398, 1, 1920, 1080, 1125}, {19, 2400, 0, 1920, 540, 1125},  {21, 5994, 0, 1920, 518, 1125},
    {22, 2997, 0, 720, 242, 525},    {24, 2500, 0, 720, 288, 625},    {51, 5994, 1, 1920, 1080, 1125},
    {53, 5994, 1, 1920, 1080, 1125}, {52, 5000, 1, 1920, 1080, 1125}, {54, 5000, 1, 1920, 1080, 1125},
};

log4c_category_t *category()
{
    if (!probes.category)
        probes.category = log4c_category_get("ulm.firmware.probingSrvc");
    return probes.category;
}

uint16_t wordAt(const uint8_t *block, uint32_t offset)
{
    return probingBigEndian(block + offset);
}

void putU32(uint16_t pair[2], uint32_t value)
{
    memcpy(pair, &value, sizeof value);
}

uint32_t getU32(const uint16_t pair[2])
{
    uint32_t value;
    memcpy(&value, pair, sizeof value);
    return value;
}

uint32_t isValid(uint16_t reg0) { return reg0 & 1; }
uint16_t formatOf(uint16_t reg2) { return (uint16_t)((reg2 >> 8) & 0x3F); }
uint16_t inputNumberOf(uint16_t reg2) { return (uint16_t)(reg2 & 0xFF); }

#define PROBE_LOG(level, ...) log4c_category_log(category(), level, __VA_ARGS__)

void startDebounce(inputProbe_t &p, uint8_t state)
{
    p.state = state;
    p.counter = DEBOUNCE_COUNT;
    p.debouncedFormat = formatOf(p.reg2);
}

/* Advances one input's debouncing; 1 when the input is to be reported. */
uint32_t debounce(int input, inputProbe_t &p)
{
    static const char fn[] = "videoProbeStatusChanged";
    uint32_t valid = isValid(p.reg0);
    uint16_t format = formatOf(p.reg2), previousFormat = formatOf(p.previousReg2);
    switch (p.state) {
    case STATE_START:
        if (!(p.reg0 || p.reg1 || p.reg2 || p.previousReg0 || p.previousReg1 || p.previousReg2))
            return 0;
        PROBE_LOG(LOG4C_PRIORITY_NOTICE,
                  "%s: [%d] 1->1 valid video probe data found, REG0[%04x]->[%04x], REG1[%04x]->[%04x], "
                  "REG2[%04x]->[%04x],",
                  fn, input, p.previousReg0, p.reg0, p.previousReg1, p.reg1, p.previousReg2, p.reg2);
        if (valid) {
            startDebounce(p, STATE_VALID_DEBOUNCE);
            PROBE_LOG(LOG4C_PRIORITY_NOTICE,
                      "%s: [%d] 1->3 video valid yes: input number [%02d]->[%02d], REG0[%04x]->[%04x], "
                      "video_format: [%02d]->[%02d], video format[%02d] debouncing is started by a video_valid "
                      "change! ",
                      fn, input, inputNumberOf(p.previousReg2), inputNumberOf(p.reg2), p.previousReg0, p.reg0,
                      previousFormat, format, p.debouncedFormat);
            return 0;
        }
        p.state = STATE_INVALID;
        PROBE_LOG(LOG4C_PRIORITY_NOTICE,
                  "%s: [%d] 1->5 video valid no, REG0[%04x], REG1[%04x], REG2[%04x] VIDEO_INPUT_CHANGE_MSG", fn,
                  input, p.reg0, p.reg1, p.reg2);
        return 1;
    case STATE_STABLE:
        if (!valid) {
            p.state = STATE_INVALID;
            PROBE_LOG(LOG4C_PRIORITY_NOTICE,
                      "%s: [%d] 2->5 video valid no, REG0[%04x], REG1[%04x], REG2[%04x] VIDEO_INPUT_CHANGE_MSG", fn,
                      input, p.reg0, p.reg1, p.reg2);
            return 1;
        }
        if (format == previousFormat)
            return 0;
        startDebounce(p, STATE_FORMAT_DEBOUNCE);
        PROBE_LOG(LOG4C_PRIORITY_NOTICE,
                  "%s: [%d] 2->4 video valid yes: input number [%02d]->[%02d], REG0[%04x]->[%04x], video_format: "
                  "[%02d]->[%02d], video format[%02d] debouncing is started by a video_format change! ",
                  fn, input, inputNumberOf(p.previousReg2), inputNumberOf(p.reg2), p.previousReg0, p.reg0,
                  previousFormat, format, p.debouncedFormat);
        return 0;
    case STATE_VALID_DEBOUNCE:
        if (!valid) {
            p.state = STATE_INVALID;
            PROBE_LOG(LOG4C_PRIORITY_WARN,
                      "%s: [%d] 3->5 unusual state change, format valid debouncing -> video invalid, REG0[%04x], "
                      "REG1[%04x], REG2[%04x] VIDEO_INPUT_CHANGE_MSG",
                      fn, input, p.reg0, p.reg1, p.reg2);
            return 1;
        }
        if (format != previousFormat) {
            startDebounce(p, STATE_VALID_DEBOUNCE);
            PROBE_LOG(LOG4C_PRIORITY_NOTICE,
                      "%s: [%d] 3->3 input number [%02d]->[%02d], REG0[%04x]->[%04x], video_format: [%02d]->[%02d], "
                      "video format[%02d] debouncing is started again by a video format change! ",
                      fn, input, inputNumberOf(p.previousReg2), inputNumberOf(p.reg2), p.previousReg0, p.reg0,
                      previousFormat, format, p.debouncedFormat);
            p.counter--;
            return 0;
        }
        if (p.counter == 1) {
            p.state = STATE_STABLE;
            PROBE_LOG(LOG4C_PRIORITY_NOTICE,
                      "%s: [%d] 3->2 video valid yes: input number [%02d]->[%02d], REG0[%04x]->[%04x], video "
                      "format[%02d] debouncing is done! VIDEO_INPUT_CHANGE_MSG",
                      fn, input, inputNumberOf(p.previousReg2), inputNumberOf(p.reg2), p.previousReg0, p.reg0,
                      p.debouncedFormat);
            p.counter--;
            return 1;
        }
        p.counter--;
        return 0;
    case STATE_FORMAT_DEBOUNCE:
        if (!valid) {
            p.state = STATE_INVALID;
            PROBE_LOG(LOG4C_PRIORITY_WARN,
                      "%s: [%d] 4->5 unusual state change, format change debouncing -> video invalid, REG0[%04x], "
                      "REG1[%04x], REG2[%04x] VIDEO_INPUT_CHANGE_MSG",
                      fn, input, p.reg0, p.reg1, p.reg2);
            return 1;
        }
        if (format == previousFormat) {
            uint32_t done = p.counter == 1;
            if (done) {
                p.state = STATE_STABLE;
                PROBE_LOG(LOG4C_PRIORITY_NOTICE,
                          "%s: [%d] 4->2 video valid yes: input number [%02d]->[%02d], REG0[%04x]->[%04x], video "
                          "format[%02d] debouncing is done! VIDEO_INPUT_CHANGE_MSG",
                          fn, input, inputNumberOf(p.previousReg2), inputNumberOf(p.reg2), p.previousReg0, p.reg0,
                          p.debouncedFormat);
            }
            if (p.counter)
                p.counter--;
            return done;
        }
        startDebounce(p, STATE_FORMAT_DEBOUNCE);
        PROBE_LOG(LOG4C_PRIORITY_NOTICE,
                  "%s: [%d] 4->4 input number [%02d]->[%02d], REG0[%04x]->[%04x], video_format: [%02d]->[%02d], "
                  "video format[%02d] debouncing is started again by a video_format change! ",
                  fn, input, inputNumberOf(p.previousReg2), inputNumberOf(p.reg2), p.previousReg0, p.reg0,
                  previousFormat, format, p.debouncedFormat);
        return 0;
    case STATE_INVALID:
        if (!valid)
            return 0;
        startDebounce(p, STATE_VALID_DEBOUNCE);
        PROBE_LOG(LOG4C_PRIORITY_NOTICE,
                  "%s: [%d] 5->3 video valid yes: input number [%02d]->[%02d], REG0[%04x]->[%04x], video_format: "
                  "[%02d]->[%02d], video format[%02d] debouncing is started by a video_valid change! ",
                  fn, input, inputNumberOf(p.previousReg2), inputNumberOf(p.reg2), p.previousReg0, p.reg0,
                  previousFormat, format, p.debouncedFormat);
        return 0;
    default:
        PROBE_LOG(LOG4C_PRIORITY_ERROR, "%s: [%d] unknown video format debouncing algorithm state: %d!", fn, input,
                  p.state);
        return 0;
    }
}

/* Takes a new VPID when it is valid or moved while either reading was valid; 1 when it changed. */
uint32_t vpidChanged(int input, inputProbe_t &p)
{
    int moved = p.vpid[0] != p.previousVpid[0] || p.vpid[1] != p.previousVpid[1];
    if (!(p.vpidValid || moved) || !(p.vpidValid || p.previousVpidValid))
        return 0;
    PROBE_LOG(LOG4C_PRIORITY_TRACE,
              "%s: HDR: VPID of input %d changed! VpidValid Current: %d, Previous %d. VPID bytes Current 0x%02x %02x "
              "%02x %02x, Previous 0x%02x %02x %02x %02x.",
              "videoProbeStatusChanged", input, p.vpidValid, p.previousVpidValid, p.vpid[0] >> 8, p.vpid[0] & 0xFF,
              p.vpid[1] >> 8, p.vpid[1] & 0xFF, p.previousVpid[0] >> 8, p.previousVpid[0] & 0xFF,
              p.previousVpid[1] >> 8, p.previousVpid[1] & 0xFF);
    p.previousVpidValid = p.vpidValid;
    p.previousVpid[0] = p.vpid[0];
    p.previousVpid[1] = p.vpid[1];
    return 1;
}

videoInputRecord buildRecord(uint32_t input, uint16_t reg0, uint16_t reg2)
{
    videoInputRecord record = {};
    record.inputIndex = input;
    record.videoTypeInfo = UNKNOWN_FORMAT;
    if (!isValid(reg0))
        return record;
    uint16_t code = formatOf(reg2);
    for (const formatTiming_t &f : formats) {
        if (f.code != code)
            continue;
        record.videoTypeInfo = code;
        record.carrierDetect = 1;
        record.eavSavErr = (reg0 >> 2) & 1;
        record.frameRate = f.rate;
        record.scanningFormat = f.scan;
        record.samplesPerActiveLines = f.samples;
        record.activeLinesPerFrame = f.active;
        record.totalLinesPerFrame = f.total;
        return record;
    }
    PROBE_LOG(LOG4C_PRIORITY_ERROR,
              "??????: Error Video Number %d carrier_detect is %d, video Format %d Need to validate if FPGA returned "
              "this Value!",
              (int)input, (int)isValid(reg0), (int)code);
    return record;
}

/* The fields of an input's record that the frame controller's status answers read. */
strataVideoInputRecord forFrameController(const videoInputRecord &record)
{
    strataVideoInputRecord out = {};
    out.inputIndex = record.inputIndex;
    out.format = record.videoTypeInfo;
    out.valid = record.carrierDetect;
    out.eavSavError = record.eavSavErr;
    out.frameRate = record.frameRate;
    return out;
}

/* The frame controller's reader of the probes' records: 0 with the record, -1 before the input was reported. */
int readForFrameController(uint32_t input, strataVideoInputRecord *out)
{
    videoInputRecord record;
    if (!out || !videoProbeGetInputData(input, &record))
        return -1;
    *out = forFrameController(record);
    return 0;
}

} // namespace

void probingVideoProbeReset(void *sharedMemory, log4c_category_t *cat)
{
    strataRegisterVideoInputReader(readForFrameController);
    probes.category = cat;
    probes.sharedMemory = (uint8_t *)sharedMemory;
    for (inputProbe_t &p : probes.inputs) {
        p = inputProbe_t();
        p.state = STATE_START;
    }
    pthread_mutex_lock(&probes.mutex);
    for (uint32_t i = 0; i < PROBING_VIDEO_INPUTS; i++) {
        probes.records[i] = videoInputRecord();
        probes.records[i].inputIndex = UNREPORTED;
        probes.reported[i] = 0;
    }
    probes.reportedCount = 0;
    probes.allVideoDataSent = 0;
    pthread_mutex_unlock(&probes.mutex);
}

uint32_t videoProbeStatusChanged(uint32_t ok)
{
    if (!ok || !probes.sharedMemory)
        return 0;
    const uint8_t *block = probes.sharedMemory + CARD_STATUS_BLOCK_SIZE * platformGetCardSlotIndex();
    uint32_t delivered = 0;
    for (int i = 0; i < PROBING_VIDEO_INPUTS; i++) {
        inputProbe_t &p = probes.inputs[i];
        const uint8_t *in = block + INPUT_BASE + INPUT_STRIDE * i;
        p.reg0 = wordAt(in, 0);
        p.reg1 = wordAt(in, 2);
        p.reg2 = wordAt(in, 4);
        p.vpid[0] = wordAt(in, VPID_OFFSET);
        p.vpid[1] = wordAt(in, VPID_OFFSET + 2);
        p.vpidValid = p.reg1 & 1;
        uint32_t changed = debounce(i, p);
        uint32_t vpid = vpidChanged(i, p);
        if (changed || vpid) {
            if (!p.initialEventSent) {
                p.initialEventSent = 1;
                PROBE_LOG(LOG4C_PRIORITY_NOTICE, "%s: [%d] initial event will be sent", "videoProbeStatusChanged", i);
            }
            videoProbeChangeRecord_t record = {};
            record.cardId = platformGetStrataCardId();
            record.cardSubId = (uint16_t)platformGetCardSlotIndex();
            putU32(record.changed, changed);
            putU32(record.input, (uint32_t)i);
            record.reg0 = p.reg0;
            record.reg1 = p.reg1;
            record.reg2 = p.reg2;
            record.stable = p.state == STATE_STABLE;
            putU32(record.vpidChanged, vpid);
            putU32(record.vpidValid, p.vpidValid);
            record.vpidA = p.vpid[0];
            record.vpidB = p.vpid[1];
            probingVideoProbeNotifyChange(&record);
            delivered = 1;
        }
        p.previousReg0 = p.reg0;
        p.previousReg1 = p.reg1;
        p.previousReg2 = p.reg2;
    }
    return delivered;
}

void videoProbeSendInputRecord(const void *changeRecord)
{
    if (!changeRecord)
        return;
    videoProbeChangeRecord_t change;
    memcpy(&change, changeRecord, sizeof change);
    uint32_t input = getU32(change.input);
    if (!getU32(change.changed) || input >= PROBING_VIDEO_INPUTS)
        return;
    videoInputRecord record = buildRecord(input, change.reg0, change.reg2);
    pthread_mutex_lock(&probes.mutex);
    probes.records[input] = record;
    uint32_t sendAll = 0, sendOne = probes.allVideoDataSent;
    if (!probes.allVideoDataSent) {
        /* Count inputs, not records: a flapping input must not stand in for one never reported. */
        if (!probes.reported[input]) {
            probes.reported[input] = 1;
            probes.reportedCount++;
        }
        if (probes.reportedCount == PROBING_VIDEO_INPUTS) {
            probes.allVideoDataSent = 1;
            sendAll = 1;
        }
    }
    videoInputRecord all[PROBING_VIDEO_INPUTS];
    memcpy(all, probes.records, sizeof all);
    pthread_mutex_unlock(&probes.mutex);
    strataVideoInputRecord report = forFrameController(record);
    platformStrataMessageVigiloInputStatusUnsolicited(category(), REPORT_UNSOLICITED_INPUT, &report);
    if (sendOne)
        layoutVideoInputChangeHandler(&record);
    if (sendAll) {
        layoutAllInputVideoDataHandler(all, PROBING_VIDEO_INPUTS);
        targetEventForceLayout();
        PROBE_LOG(LOG4C_PRIORITY_DEBUG, "Sending All Video Data to the layoutManager!");
    }
}

int videoProbeGetInputData(uint32_t input, videoInputRecord *record)
{
    if (input >= PROBING_VIDEO_INPUTS || !record)
        return 0;
    pthread_mutex_lock(&probes.mutex);
    int reported = probes.records[input].inputIndex != UNREPORTED;
    if (reported)
        *record = probes.records[input];
    pthread_mutex_unlock(&probes.mutex);
    return reported;
}
