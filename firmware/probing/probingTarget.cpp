#include "probing/probing.h"
#include "probing/discovery.h"

#include "deviceManager/deviceManager.h"
#include "interruptController/interruptController.h"
#include "qvsInterface/qvsInterface.h"
#include "strata/strataAnswers.h"

#include <cstdlib>
#include <cstring>

/*
 * The probing target's cycle end, the post-read of the table's last row:
 * checks that both FPGAs still answer with their ids, runs the per-cycle
 * steps (the registered targets, video probes, health) with ok = not deprogrammed, then
 * turns the bridge-in, ATDM or MADI words into card state, tells the frame
 * controller what changed in this card's block and keeps input 9's cable
 * equaliser on the signal it carries.
 */

enum { PROBING_TARGET_ERROR = 4 };

namespace {

struct fpgaCheck_t {
    const char *name;
    const uint16_t *id;
    uint32_t deprogrammed;
};

enum { INPUT9_SDI = 0, INPUT9_MADI = 1 };

struct {
    log4c_category_t *category;
    void *sharedMemory;
    uint8_t *privateBlock;   /* this card's block as the frame controller last heard of it */
    fpgaCheck_t fpgas[2];
    probingFpgaDataChangeCallback_t changeCallbacks[PROBING_CHANGE_CALLBACKS];
    uint8_t changeCallbackCount;
    probingBridgeInChange_t bridgeIn;
    struct {
        uint32_t up, down;
    } heads[PROBING_BRIDGE_IN_HEADS];
    uint32_t bridgeInLogCount;
    uint16_t linkStatus, previousLinkStatus;
    probingDebounce_t madiDebounce;
    uint32_t madiErrorCount;
    uint32_t linkLogCount;
    uint32_t previousMadiState;   /* for the frame controller's input 8 */
    struct {
        uint32_t timer;
        uint32_t selection;
        uint32_t reported;
    } input9;
} target = {nullptr, nullptr, nullptr,
            {{"DPS", probingRawWords.dpsFpgaId, 0}, {"FSM", probingRawWords.fsmFpgaId, 0}}, {nullptr}, 0, {}, {}, 0,
            0, 0, {}, 0, 0, 0, {0, 0, 0}};

/* The targets other modules registered, by stage, in registration order. */
struct {
    const probingTarget_t *targets[PROBING_TARGET_STAGES][PROBING_TARGETS_PER_STAGE];
    uint32_t counts[PROBING_TARGET_STAGES];
} registered = {};

void initTargets(uint32_t stage, log4c_category_t *cat, void *sharedMemory)
{
    for (uint32_t i = 0; i < registered.counts[stage]; i++)
        registered.targets[stage][i]->init(cat, sharedMemory);
}

log4c_category_t *category();

enum { BRIDGE_IN_FORMAT_OFFSET = 964, BRIDGE_IN_LOG_LIMIT = 99, NOT_READ = 0xFFFF };

uint16_t rawWord(const uint16_t *words, uint32_t index)
{
    return probingBigEndian(&words[index]);
}

uint16_t systemFormat(uint16_t code)
{
    static const uint16_t table[][2] = {{12, 22}, {15, 34}, {24, 23}, {26, 35}, {47, 38}, {63, 39}};
    for (const auto &entry : table)
        if (entry[0] == code)
            return entry[1];
    return 0;
}

void notifyChange(void)
{
    for (uint8_t i = 0; i < target.changeCallbackCount; i++)
        target.changeCallbacks[i](&target.bridgeIn);
}

/* Bridge-in: the heads' formats into the block, debounced validity, callbacks on a change. */
void processBridgeIn(void)
{
    uint16_t *raw = probingRawWords.bridgeIn;
    if (raw[1] == NOT_READ || raw[17] == NOT_READ) {
        if (target.bridgeInLogCount <= BRIDGE_IN_LOG_LIMIT)
            log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                               "BridgeIn: BridgeInvalues were not read properly!!! Ignoring read. (log count %d)",
                               (int)target.bridgeInLogCount++);
        return;
    }
    uint8_t *block = (uint8_t *)target.sharedMemory + PROBING_BLOCK_SIZE * platformGetCardSlotIndex();
    int changed = 0;
    for (uint32_t h = 0; h < PROBING_BRIDGE_IN_HEADS; h++) {
        uint16_t decoder = rawWord(raw, 12 + h);
        target.bridgeIn.decoder[h] = decoder;
        uint16_t code = (decoder >> 3) & 0x3F;
        uint32_t validFlag = (decoder >> 9) & 1;
        uint16_t format = validFlag ? (uint16_t)(0x0100 | systemFormat(code)) : 0;
        block[BRIDGE_IN_FORMAT_OFFSET + 2 * h] = (uint8_t)(format >> 8);
        block[BRIDGE_IN_FORMAT_OFFSET + 2 * h + 1] = (uint8_t)format;
        uint32_t validSample = validFlag && systemFormat(code) != 0;
        uint32_t valid = target.bridgeIn.valid[h];
        if (validSample) {
            target.heads[h].down = 0;
            if (target.heads[h].up > 3)
                valid = 1;
            else
                target.heads[h].up++;
        } else {
            target.heads[h].up = 0;
            valid = 0;
        }
        if (valid != target.bridgeIn.valid[h]) {
            target.bridgeIn.valid[h] = valid;
            changed = 1;
            log4c_category_log(category(), LOG4C_PRIORITY_NOTICE, "SDI-OUT: BridgeIn head %d changed. BridgeIn valid = %d",
                               (int)h, (int)valid);
        }
    }
    if (changed) {
        log4c_category_log(category(), LOG4C_PRIORITY_NOTICE,
                           "BridgeIn: notifyOthersOfBridgeInChange. brdigeInDecoder Head A 0x%04x, brdigeInDecoder "
                           "Head B 0x%04x, brdigeInDecoder Head C 0x%04x, brdigeInDecoder Head D 0x%04x",
                           target.bridgeIn.decoder[0], target.bridgeIn.decoder[1], target.bridgeIn.decoder[2],
                           target.bridgeIn.decoder[3]);
        notifyChange();
    }
}

log4c_category_t *category()
{
    if (!target.category)
        target.category = log4c_category_get("ulm.firmware.probingSrvc");
    return target.category;
}

void checkDeprogrammed(fpgaCheck_t &fpga)
{
    uint16_t id = fpga.id[0];
    if (id == 0x0000 || id == 0xFFFF) {
        if (!fpga.deprogrammed) {
            fpga.deprogrammed = 1;
            log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "Error: FPGA %s seems deprogrammed! fpga id read 0x%04x",
                               fpga.name, id);
        }
    } else if (fpga.deprogrammed) {
        fpga.deprogrammed = 0;
        log4c_category_log(category(), LOG4C_PRIORITY_NOTICE, "FPGA %s is ok now.", fpga.name);
    }
}

enum {
    LINK_STATUS_OFFSET = 1188,
    INPUT9_STATUS_OFFSET = 5280,
    LINK_LOG_LIMIT = 20,
    MADI_ERROR_LIMIT = 20,
    MADI_DEBOUNCE_LIMIT = 2,
    INPUT9_DEBOUNCE_CYCLES = 63,
    INPUT9_EQUALISER = 8,
    EQUALISER_AMPLITUDE_REGISTER = 2,
    MADI_ENABLE_REGISTER = 0x24C1,
    MADI_STATUS_REGISTER = 0x24C0,
    MADI_STATUS_WORDS = 4,
    ATDM_STATUS_REGISTER = 0x0010,
    ATDM_STATUS_WORDS = 3,
    UNSOLICITED_KIND_MADI = 5,
    STRATA_CONNECTED = 3,
    ANSWER_TYPE = 0,
    ANSWER_DESTINATION = 24,
    INPUT_BLOCK_BASE = 2176,
    INPUT_BLOCK_STRIDE = 388,
};

const char *const input9Names[2] = {"EQLAmp set for SDI Video signal", "EQLAmp set for MADI SIGNAL"};
const uint8_t input9Amplitudes[2] = {0x68, 0xE8};

uint32_t cardSlot(void)
{
    return platformGetCardSlotIndex();
}

uint16_t blockWordAt(const uint8_t *block, uint32_t offset)
{
    return probingBigEndian(block + offset);
}

/* ATDM link of a card without MADI: up when the three low bits of word 0 are set, errors from word 2. */
void processAtdm(void)
{
    uint16_t *raw = probingRawWords.atdm;
    if (raw[0] == NOT_READ || raw[2] == NOT_READ) {
        if (target.linkLogCount < LINK_LOG_LIMIT)
            log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                               "ATDM: ATDM Status values were not read properly!!! Ignoring read. (log count %d)",
                               (int)target.linkLogCount++);
        return;
    }
    uint16_t link = rawWord(raw, 0), errors = rawWord(raw, 2);
    uint16_t status = 0;
    if ((link & 7) == 7)
        status = (uint16_t)(1 | (errors & 1) << 1);
    uint16_t changed = (uint16_t)(status ^ target.previousLinkStatus);
    if (changed) {
        if (changed & 1)
            log4c_category_log(category(), LOG4C_PRIORITY_NOTICE, (status & 1) ?
                                   "ATDM: ATDM Link status changed. Link Established!" :
                                   "ATDM: ATDM Link status changed. Link lost!");
        if ((status & 1) && (changed & 2)) {
            if (status & 2)
                log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                                   "ATDM: ATDM status changed. Link errors were detected.");
            else
                log4c_category_log(category(), LOG4C_PRIORITY_NOTICE,
                                   "ATDM: ATDM status changed. Link errors were cleared.");
        }
        target.previousLinkStatus = status;
    }
    target.linkStatus = status;
    probingWriteBlockWord(LINK_STATUS_OFFSET, status);
    raw[0] = NOT_READ;
    raw[2] = NOT_READ;
}

/* FIFO error bits of MADI word 3, checked while the link is up until 20 errors were seen. */
void checkMadiFifo(uint16_t word3)
{
    static const struct {
        uint16_t bit;
        const char *text;
    } errors[] = {
        {1u << 2, "MADI fifo overflow error detected. Madi error log count %d of %d."},
        {1u << 3, "MADI fifo underflow error detected. Madi error log count %d of %d."},
        {1u << 0, "MADI fifo full error detected. Madi error log count %d of %d."},
    };
    if (!(target.linkStatus & 1) || target.madiErrorCount >= MADI_ERROR_LIMIT)
        return;
    int any = 0;
    for (const auto &error : errors)
        if (word3 & error.bit) {
            any = 1;
            log4c_category_log(category(), LOG4C_PRIORITY_ERROR, error.text, (int)target.madiErrorCount + 1,
                               MADI_ERROR_LIMIT);
        }
    if (!any) {
        target.linkStatus &= (uint16_t)~2;
        return;
    }
    target.linkStatus |= 2;
    if (++target.madiErrorCount == MADI_ERROR_LIMIT)
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                           "Too many MADI fifo errors detected! Stopping MADI error checking! Madi error log count %d "
                           "of %d.",
                           (int)target.madiErrorCount, MADI_ERROR_LIMIT);
}

/* MADI link of a MADI-capable card: debounced link bit, unsolicited status and insertion on each edge. */
void processMadi(void)
{
    uint16_t *raw = probingRawWords.madi;
    if (raw[0] == NOT_READ) {
        if (target.linkLogCount < LINK_LOG_LIMIT)
            log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                               "MADI Status values were not read properly!!! Ignoring read. (log count %d)",
                               (int)target.linkLogCount++);
        return;
    }
    uint16_t word0 = rawWord(raw, 0), word3 = rawWord(raw, 3);
    /* A read that fails next cycle must not count as this sample again. */
    raw[0] = NOT_READ;
    uint32_t state = probingDebounce(&target.madiDebounce, 0, word0 & 1, MADI_DEBOUNCE_LIMIT, MADI_DEBOUNCE_LIMIT);
    if (state)
        target.linkStatus |= 1;
    else
        target.linkStatus &= (uint16_t)~3;
    if ((target.linkStatus ^ target.previousLinkStatus) & 1) {
        platformStrataMessageVigiloInputStatusUnsolicited(category(), UNSOLICITED_KIND_MADI, nullptr);
        uint32_t up = target.linkStatus & 1;
        log4c_category_log(category(), LOG4C_PRIORITY_NOTICE,
                           up ? "MADI status changed. Link Established!" : "MADI status changed. Link lost!");
        sdtiMadiInsertionUpdate(category(), up);
        controlSdtiProbingActions(cardSlot(), up);
    }
    target.previousLinkStatus = target.linkStatus;
    checkMadiFifo(word3);
    probingWriteBlockWord(LINK_STATUS_OFFSET, target.linkStatus);
}

/* The frame controller's answers for every difference between this card's block and what it last heard. */
void sendBlockChanges(uint32_t madiChanged)
{
    uint8_t *block = (uint8_t *)target.sharedMemory + PROBING_BLOCK_SIZE * cardSlot();
    const uint8_t *before = target.privateBlock;
    for (uint32_t input = 0; input < PROBING_VIDEO_INPUTS; input++) {
        uint32_t reg0 = INPUT_BLOCK_BASE + INPUT_BLOCK_STRIDE * input, reg2 = reg0 + 4;
        uint16_t changed0 = (uint16_t)(blockWordAt(block, reg0) ^ blockWordAt(before, reg0));
        uint16_t changed2 = (uint16_t)(blockWordAt(block, reg2) ^ blockWordAt(before, reg2));
        int validity = (changed0 & 1) || (input == PROBING_VIDEO_INPUTS - 1 && madiChanged);
        if (validity)
            platformStrataAnswer6002(ANSWER_TYPE, ANSWER_DESTINATION, input);
        if (validity || (changed2 & 0x3F00))
            platformStrataAnswer6103(ANSWER_TYPE, ANSWER_DESTINATION, input);
        if (validity || (changed0 & 4))
            platformStrataAnswer6004(ANSWER_TYPE, ANSWER_DESTINATION, input);
    }
    static const struct {
        uint32_t offset;
        uint16_t bits;
        void (*answer)(uint32_t type, uint32_t destination);
    } cardAnswers[] = {
        {10, 0x0100, platformStrataAnswer6006},  {10, 0x0001, platformStrataAnswer6010},
        {10, 0x0002, platformStrataAnswer6018},  {190, 0x0001, platformStrataAnswer6008},
        {190, 0x3F00, platformStrataAnswer6101}, {36, 0xFFFF, platformStrataAnswer6107},
        {186, 0x3F00, platformStrataAnswer6111},
    };
    for (const auto &a : cardAnswers)
        if ((blockWordAt(block, a.offset) ^ blockWordAt(before, a.offset)) & a.bits)
            a.answer(ANSWER_TYPE, ANSWER_DESTINATION);
}

void unsolicitedStatus(void)
{
    uint32_t slot = cardSlot();
    if (slot < 2 || slot >= PROBING_CARD_COUNT || !target.privateBlock)
        return;
    uint32_t madiState = probingTargetGetState();
    uint32_t madiChanged = madiState != target.previousMadiState;
    target.previousMadiState = madiState;
    if (strataGetCommState() == STRATA_CONNECTED)
        sendBlockChanges(madiChanged);
    memcpy(target.privateBlock, (uint8_t *)target.sharedMemory + PROBING_BLOCK_SIZE * slot, PROBING_BLOCK_SIZE);
}

void selectInput9(uint32_t selection)
{
    target.input9.selection = selection;
}

void restartInput9(void)
{
    const uint32_t selection = target.input9.selection;
    log4c_category_log(category(), LOG4C_PRIORITY_INFO,
                       "Setting the EQ Launch Amplitude to %s and starting a new debouncing cycle.",
                       input9Names[selection]);
    platformEQWriteLMH0394Input(INPUT9_EQUALISER, EQUALISER_AMPLITUDE_REGISTER, 1, &input9Amplitudes[selection]);
    target.input9.timer = INPUT9_DEBOUNCE_CYCLES;
}

/* The line saying the equaliser is set for the other signal kind than the one found. */
void logInput9Mismatch(uint32_t found, int priority)
{
    if (found == INPUT9_SDI)
        log4c_category_log(category(), priority,
                           "FPGA VIDEO FORMAT DECODER IP is reporting SDI Video Signal validity set while the EQ "
                           "Launch Amplitude is set for MADI Signal detection: EQLAmp Selection %s",
                           input9Names[target.input9.selection]);
    else
        log4c_category_log(category(), priority,
                           "FPGA MADI IP is reporting MADI Signal Presence set while the EQ Launch Amplitude is set "
                           "for SDI video detection: EQLAmp Selection %s",
                           input9Names[target.input9.selection]);
}

/* Moves the equaliser to the signal kind found. */
void adjustInput9(uint32_t found, int priority)
{
    logInput9Mismatch(found, priority);
    selectInput9(found);
    log4c_category_log(category(), LOG4C_PRIORITY_DEBUG, "Adjusting the EQ Launch Amplitude to %s ",
                       input9Names[found]);
}

/* Input 9 carries SDI or MADI: keep the equaliser's launch amplitude on the signal the FPGA sees. */
void processInput9EqLaunchAmplitudeSelection(void)
{
    static const char *const fn = "processInput9EqLaunchAmplitudeSelection";
    uint32_t sdiValid = probingReadBlockWord(INPUT9_STATUS_OFFSET) & 1;
    uint32_t madiPresent = target.linkStatus & 1;
    log4c_category_log(category(), LOG4C_PRIORITY_DEBUG,
                       "%s: Got from Share Memory: Input #9 SDI Video Validity Status %d ", fn, (int)sdiValid);
    log4c_category_log(category(), LOG4C_PRIORITY_DEBUG,
                       "%s:  Got from Share Memory: Input #9 MADI Signal Presence Status %d ", fn, (int)madiPresent);
    uint32_t timerRan = target.input9.timer != 0;
    if (timerRan)
        target.input9.timer--;
    const char *selectionName = input9Names[target.input9.selection];
    if (sdiValid && madiPresent) {
        if (target.input9.timer || target.input9.reported)
            return;
        if (target.input9.selection == INPUT9_MADI)
            adjustInput9(INPUT9_SDI, LOG4C_PRIORITY_ERROR);
        else
            logInput9Mismatch(INPUT9_MADI, LOG4C_PRIORITY_ERROR);
        target.input9.reported = 1;
    } else if (sdiValid || madiPresent) {
        uint32_t wanted = sdiValid ? INPUT9_SDI : INPUT9_MADI;
        if (timerRan) {
            log4c_category_log(category(), LOG4C_PRIORITY_DEBUG,
                               sdiValid ? "A video valid signal has been detected on input #9 while debouncing timer "
                                          "was set: Video Validity Status %d, MADI Signal Presence Status %d, "
                                          "EQLAmp Selection %s" :
                                          "A MADI presence signal has been detected on input #9 while debouncing "
                                          "timer was set: Video Validity Status %d, MADI Signal Presence Status %d, "
                                          "EQLAmp Selection %s",
                               (int)sdiValid, (int)madiPresent, selectionName);
            target.input9.timer = 0;
        }
        if (target.input9.selection == wanted) {
            if (sdiValid)
                log4c_category_log(category(), LOG4C_PRIORITY_DEBUG,
                                   "Input #9 is locked on SDI video signal: Video Validity Status %d, EQLAmp "
                                   "Selection %s",
                                   (int)sdiValid, selectionName);
            else
                log4c_category_log(category(), LOG4C_PRIORITY_DEBUG,
                                   "Input #9 locked on MADI signal: MADI Signal Presence Status %d, EQLAmp Selection "
                                   "%s",
                                   (int)madiPresent, selectionName);
            target.input9.reported = 0;
            return;
        }
        adjustInput9(wanted, LOG4C_PRIORITY_DEBUG);
    } else {
        if (target.input9.timer)
            return;
        log4c_category_log(category(), LOG4C_PRIORITY_INFO,
                           "Both FPGA SDI Video Format decoder and MADI IP signal presence decoder report no signal "
                           "detected on input #9, Video Validity Status %d, MADI Signal Presence Status %d, EQLAmp "
                           "Selection %s",
                           (int)sdiValid, (int)madiPresent, selectionName);
        selectInput9(target.input9.selection == INPUT9_SDI ? INPUT9_MADI : INPUT9_SDI);
    }
    restartInput9();
}

int madiStateForFrameController(void)
{
    return (int)probingTargetGetState();
}

} // namespace

uint32_t probingDebounce(probingDebounce_t *record, uint32_t reset, uint32_t input, uint32_t upLimit,
                         uint32_t downLimit)
{
    if (reset) {
        record->state = input;
        record->up = 0;
        record->down = 0;
    } else if (input) {
        record->down = 0;
        if (record->up >= upLimit)
            record->state = 1;
        else
            record->up++;
    } else {
        record->up = 0;
        if (record->down >= downLimit)
            record->state = 0;
        else
            record->down++;
    }
    return record->state;
}

int probingWriteBlockWord(uint32_t byteOffset, uint16_t value)
{
    uint8_t word[2] = {(uint8_t)(value >> 8), (uint8_t)value};
    return qvsInterfaceWriteSharedMem((PROBING_BLOCK_SIZE * platformGetCardSlotIndex() + byteOffset) / 2, word, 1) ==
                   1 ?
               0 :
               -1;
}

uint16_t probingReadBlockWord(uint32_t byteOffset)
{
    uint8_t word[2] = {0, 0};
    qvsInterfaceReadSharedMem((PROBING_BLOCK_SIZE * platformGetCardSlotIndex() + byteOffset) / 2, word, 1);
    return probingBigEndian(word);
}

uint32_t probingTargetGetState(void)
{
    return target.madiDebounce.state;
}

uint32_t probingTargetIsMadiCapable(void)
{
    return !platformIsUsingNqAsiInputs() && platformGetCardSlotIndex() < 4;
}

int registerFpgaProbeDataChangeCallBck(probingFpgaDataChangeCallback_t callback)
{
    if (!callback) {
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "registerFpgaProbeDataChangeCallBck failed, Bad arguments!");
        return 0;
    }
    if (target.changeCallbackCount >= PROBING_CHANGE_CALLBACKS) {
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                           "Failed to register with probe format changer call-back service because Max notification "
                           "obtained!");
        return 0;
    }
    target.changeCallbacks[target.changeCallbackCount++] = callback;
    return 1;
}

int probingRegisterTarget(uint32_t stage, const probingTarget_t *probingTarget)
{
    if (stage >= PROBING_TARGET_STAGES || !probingTarget || !probingTarget->init) {
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "%s: refused a target without init or of stage %u",
                           __func__, (unsigned)stage);
        return 0;
    }
    for (uint32_t i = 0; i < registered.counts[stage]; i++)
        if (registered.targets[stage][i] == probingTarget)
            return 1;
    if (registered.counts[stage] >= PROBING_TARGETS_PER_STAGE) {
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "%s: no room for target %s", __func__,
                           probingTarget->name ? probingTarget->name : "(unnamed)");
        return 0;
    }
    registered.targets[stage][registered.counts[stage]++] = probingTarget;
    return 1;
}

uint32_t probingTargetClockBusy(void)
{
    for (uint32_t stage = 0; stage < PROBING_TARGET_STAGES; stage++)
        for (uint32_t i = 0; i < registered.counts[stage]; i++)
            if (registered.targets[stage][i]->clockBusy && registered.targets[stage][i]->clockBusy())
                return 1;
    return 0;
}

void probingTargetResetTxPll(log4c_category_t *cat, uint32_t noWait)
{
    for (uint32_t stage = 0; stage < PROBING_TARGET_STAGES; stage++)
        for (uint32_t i = 0; i < registered.counts[stage]; i++)
            if (registered.targets[stage][i]->resetTxPll)
                registered.targets[stage][i]->resetTxPll(cat, noWait);
}

int probingTargetInit(void *sharedMemory, log4c_category_t *cat)
{
    target.category = cat;
    probingFillOwnedRows((uint8_t *)sharedMemory);
    if (!sharedMemory) {
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "Error Shared Memory not initialized.\n");
        return PROBING_TARGET_ERROR;
    }
    target.sharedMemory = sharedMemory;
    if (!target.privateBlock)
        target.privateBlock = (uint8_t *)calloc(1, PROBING_BLOCK_SIZE);
    if (!target.privateBlock) {
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "Could not allocate private memory for unsolicited message");
        return PROBING_TARGET_ERROR;
    }
    /* The frame controller hears of changes from here on. */
    if (platformGetCardSlotIndex() < PROBING_CARD_COUNT)
        memcpy(target.privateBlock, (uint8_t *)sharedMemory + PROBING_BLOCK_SIZE * platformGetCardSlotIndex(),
               PROBING_BLOCK_SIZE);
    log4c_category_log(category(), LOG4C_PRIORITY_INFO, "Initializing Probing Target.");
    initTargets(PROBING_TARGET_EARLY, cat, sharedMemory);
    probingVideoProbeReset(sharedMemory, cat);
    healthMonLm77Detect(cat, sharedMemory);
    target.changeCallbackCount = 0;
    target.bridgeIn = probingBridgeInChange_t();
    memset(target.heads, 0, sizeof target.heads);
    target.bridgeInLogCount = 0;

    initTargets(PROBING_TARGET_LATE, cat, sharedMemory);
    strataRegisterMadiReader(madiStateForFrameController);
    probingRawWords.atdm[0] = NOT_READ;
    probingRawWords.atdm[2] = NOT_READ;
    probingRawWords.madi[0] = NOT_READ;
    probingDebounce(&target.madiDebounce, 1, 0, 0, 0);
    target.linkStatus = target.previousLinkStatus = 0;
    target.madiErrorCount = 0;
    target.linkLogCount = 0;
    target.previousMadiState = 0;
    target.input9 = {0, INPUT9_SDI, 0};
    discoveryInit(cat, sharedMemory);
    return 0;
}

void probingTargetPreStart(void)
{
    log4c_category_t *cat = category();
    probingVancInsertionSetUp(cat);
    probingMergerVancProberInit(cat);
    probingSdtiMadiStartUp(cat);
    kvrHealthMonProbingTargetPreThreadStart();
    target.bridgeIn = probingBridgeInChange_t();
    notifyChange();
    uint32_t madi = probingTargetIsMadiCapable();
    probingAction *row = probingActionTable[1];
    if (madi) {
        row->name = "Read MADI Status";
        row->address = MADI_STATUS_REGISTER;
        row->count = MADI_STATUS_WORDS;
        row->destination = probingRawWords.madi;
    } else {
        row->name = "Read Nq Node ATDM Statuses ";
        row->address = ATDM_STATUS_REGISTER;
        row->count = ATDM_STATUS_WORDS;
        row->destination = probingRawWords.atdm;
    }
    selectInput9(INPUT9_SDI);
    platformEQWriteLMH0394Input(INPUT9_EQUALISER, EQUALISER_AMPLITUDE_REGISTER, 1, &input9Amplitudes[INPUT9_SDI]);
    uint8_t enable[2] = {0, (uint8_t)madi};
    deviceManagerAccess(DEVICE_WRITE, DEVICE_DPS_FPGA, MADI_ENABLE_REGISTER, 0, 1, enable);
}

void *probingTargetSharedMemory(void)
{
    return target.sharedMemory;
}

uint32_t probingTargetFpgaDeprogrammed(void)
{
    return target.fpgas[0].deprogrammed || target.fpgas[1].deprogrammed;
}

void probingTargetCycleEnd(probingAction *action)
{
    (void)action;
    log4c_category_log(category(), LOG4C_PRIORITY_DEBUG, "All Spi Access Done CALLBACK FUNCTION!!!");
    if (probingControlFlags.mergerHalted)
        return;
    if (!target.sharedMemory) {
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "Error Shared Memory not initialised.");
        return;
    }
    for (fpgaCheck_t &fpga : target.fpgas)
        checkDeprogrammed(fpga);
    uint32_t deprogrammed = probingTargetFpgaDeprogrammed();
    if (target.fpgas[1].deprogrammed)
        interruptControllerClearVsyncPending();
    uint32_t ok = !deprogrammed;
    for (uint32_t stage = 0; stage < PROBING_TARGET_STAGES; stage++)
        for (uint32_t i = 0; i < registered.counts[stage]; i++)
            if (registered.targets[stage][i]->cycle)
                registered.targets[stage][i]->cycle(ok);
    videoProbeStatusChanged(ok);
    processDiscoveryInfo(category(), ok);

    healthMonSystemMonitor(ok);
    healthMonFans(ok);
    healthMonFpgaErrors(ok);
    if (!deprogrammed) {
        processBridgeIn();
        if (probingTargetIsMadiCapable())
            processMadi();
        else
            processAtdm();
    }
    probingRawWords.bridgeIn[1] = NOT_READ;
    probingRawWords.bridgeIn[17] = NOT_READ;
    unsolicitedStatus();
    if (!deprogrammed && probingTargetIsMadiCapable())
        processInput9EqLaunchAmplitudeSelection();
}
