#include "platform/platformPrivate.h"

#include <cstdio>
#include <cstring>

/*
 * Stream-mode (ATDM) settings: hybrid or MDX mode, globally and per video
 * input, and the enables of the router outputs and inputs. The flags and
 * their mirror texts change together under streamMutex. Nothing calls out
 * (restore point, audio probes, frame controller, target event) with the
 * mutex held: the restore point's storage thread calls back into these
 * operations, and the audio probe selection reads the settings back.
 */

enum { STREAM_TEXT_SIZE = 32, STREAM_KEY_VALUE_SIZE = 31, STREAM_MESSAGE_TYPE = 0, STREAM_MESSAGE_DESTINATION = 0 };

static const char MDX_MODE_KEY[] = "ATDM_MDX_MODE";
static const char OUTPUT_MODE_KEY[] = "ATDM_ROUT_OUT_MODE";
static const char OUTPUT_ENABLE_KEY[] = "ATDM_ROUT_OUT_EN";
static const char INPUT_ENABLE_KEY[] = "ATDM_ROUT_IN_EN";
static const char MDX_MODE_TEXT[] = "MDX_MODE";
static const char HYBRID_MODE_TEXT[] = "HYBRID_MODE";

/* The flags, under streamMutex. */
static struct {
    uint32_t routerOutputMode[PLATFORM_STREAM_INPUTS];
    uint32_t routerOutputEnable[PLATFORM_STREAM_INPUTS];
    uint32_t routerInputEnable[PLATFORM_STREAM_INPUTS];
    char routerOutputModeText[STREAM_TEXT_SIZE];
    char routerOutputEnableText[STREAM_TEXT_SIZE];
    char routerInputEnableText[STREAM_TEXT_SIZE];
} stream = {{0}, {0}, {0}, "000000000", "111111111", "110000000"};

static platformStreamHooks_t streamHooks;

void platformRegisterStreamHooks(const platformStreamHooks_t *hooks)
{
    streamHooks = hooks ? *hooks : platformStreamHooks_t();
}

void platformStreamResetState(void)
{
    platformRecord.atdmMdxMode = 0;
    memset(stream.routerOutputMode, 0, sizeof stream.routerOutputMode);
    memset(stream.routerOutputEnable, 0, sizeof stream.routerOutputEnable);
    memset(stream.routerInputEnable, 0, sizeof stream.routerInputEnable);
    snprintf(stream.routerOutputModeText, STREAM_TEXT_SIZE, "000000000");
    snprintf(stream.routerOutputEnableText, STREAM_TEXT_SIZE, "111111111");
    snprintf(stream.routerInputEnableText, STREAM_TEXT_SIZE, "110000000");
}

static void lockStream(void)
{
    pthread_mutex_lock(&platformRecord.streamMutex);
}

static void unlockStream(void)
{
    pthread_mutex_unlock(&platformRecord.streamMutex);
}

/* Writes the flags of one table as its nine-character mirror. */
static void writeMirror(char *text, const uint32_t *flags)
{
    for (int i = 0; i < PLATFORM_STREAM_INPUTS; i++)
        text[i] = flags[i] ? '1' : '0';
    text[PLATFORM_STREAM_INPUTS] = '\0';
}

/* ---- getters and setters ---- */

/* One of the three per-index tables and its messages. */
struct streamTable_t {
    uint32_t *flags;
    char *text;
    const char *valueMessage;    /* a value of 2 or more */
    const char *setIndexMessage; /* a bad index given to the setter */
    const char *getIndexMessage; /* a bad index given to the getter */
};

static const streamTable_t modeTable = {stream.routerOutputMode, stream.routerOutputModeText,
                                        "%s: Invalid argument. kvrVideoInputMode = %d",
                                        "%s: Invalid arguments. kvrVideoInput = %d",
                                        "%s: Invalid argument. kvrVideoInput = %d"};
static const streamTable_t outputEnableTable = {stream.routerOutputEnable, stream.routerOutputEnableText,
                                                "%s: Invalid argument. kvrVideoInputEnable = %d",
                                                "%s: Invalid arguments. kvrVideoInput = %d",
                                                "%s: Invalid argument. kvrVideoInput = %d"};
static const streamTable_t inputEnableTable = {stream.routerInputEnable, stream.routerInputEnableText,
                                               "%s: Invalid argument. kvrVideoOutputEnable = %d",
                                               "%s: Invalid arguments. kvrVideoOutput = %d",
                                               "%s: Invalid argument. kvrVideoOutput = %d"};

static int getFlag(log4c_category_t *category, const char *fn, const streamTable_t &table, uint32_t index,
                   uint32_t *value)
{
    if (index >= PLATFORM_STREAM_INPUTS || !value) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, table.getIndexMessage, fn, (int)index);
        return PLATFORM_STREAM_BAD_ARGUMENT;
    }
    lockStream();
    *value = table.flags[index];
    unlockStream();
    return PLATFORM_STREAM_OK;
}

/* Checks the value, then the index; sets flag and mirror character. The caller holds the mutex. */
static int setFlagLocked(log4c_category_t *category, const char *fn, const streamTable_t &table, uint32_t index,
                         uint32_t value)
{
    if (value >= 2) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, table.valueMessage, fn, (int)value);
        return PLATFORM_STREAM_BAD_ARGUMENT;
    }
    if (index >= PLATFORM_STREAM_INPUTS) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, table.setIndexMessage, fn, (int)index);
        return PLATFORM_STREAM_BAD_ARGUMENT;
    }
    table.flags[index] = value;
    table.text[index] = value ? '1' : '0';
    return PLATFORM_STREAM_OK;
}

static int setFlag(log4c_category_t *category, const char *fn, const streamTable_t &table, uint32_t index,
                   uint32_t value)
{
    lockStream();
    int rc = setFlagLocked(category, fn, table, index, value);
    unlockStream();
    return rc;
}

int platformGetKvrVideoStreamSetting(log4c_category_t *category, uint32_t input, uint32_t *mode)
{
    if (input == PLATFORM_STREAM_GLOBAL && mode) {
        lockStream();
        *mode = platformRecord.atdmMdxMode;
        unlockStream();
        return PLATFORM_STREAM_OK;
    }
    return getFlag(category, __func__, modeTable, input, mode);
}

int platformSetKvrVideoStreamSetting(log4c_category_t *category, uint32_t input, uint32_t mode)
{
    if (input == PLATFORM_STREAM_GLOBAL && mode < 2) {
        lockStream();
        platformRecord.atdmMdxMode = mode;
        unlockStream();
        return PLATFORM_STREAM_OK;
    }
    return setFlag(category, __func__, modeTable, input, mode);
}

int platformGetKvrVideoStreamEnable(log4c_category_t *category, uint32_t output, uint32_t *enable)
{
    return getFlag(category, __func__, outputEnableTable, output, enable);
}

int platformSetKvrVideoStreamEnable(log4c_category_t *category, uint32_t output, uint32_t enable)
{
    return setFlag(category, __func__, outputEnableTable, output, enable);
}

int platformGetKvrMosaicOutputEnable(log4c_category_t *category, uint32_t output, uint32_t *enable)
{
    return getFlag(category, __func__, inputEnableTable, output, enable);
}

int platformSetKvrMosaicOutputEnable(log4c_category_t *category, uint32_t output, uint32_t enable)
{
    return setFlag(category, __func__, inputEnableTable, output, enable);
}

void platformGetStreamSettingTexts(char mode[10], char outputEnable[10], char inputEnable[10])
{
    lockStream();
    memcpy(mode, stream.routerOutputModeText, PLATFORM_STREAM_INPUTS);
    memcpy(outputEnable, stream.routerOutputEnableText, PLATFORM_STREAM_INPUTS);
    memcpy(inputEnable, stream.routerInputEnableText, PLATFORM_STREAM_INPUTS);
    unlockStream();
    mode[PLATFORM_STREAM_INPUTS] = outputEnable[PLATFORM_STREAM_INPUTS] = inputEnable[PLATFORM_STREAM_INPUTS] = '\0';
}

/* ---- call-outs (never with the mutex held) ---- */

/* Stores the current mirror of a table under its key; the text is copied under the mutex. */
static void storeMirror(log4c_category_t *category, const char *key, const char *mirror)
{
    char value[STREAM_TEXT_SIZE];
    lockStream();
    snprintf(value, sizeof value, "%s", mirror);
    unlockStream();
    if (streamHooks.setKey)
        streamHooks.setKey(category, key, value);
}

static void postModes(void)
{
    uint32_t record[1 + PLATFORM_STREAM_INPUTS];
    lockStream();
    record[0] = platformRecord.atdmMdxMode;
    memcpy(record + 1, stream.routerOutputMode, sizeof stream.routerOutputMode);
    unlockStream();
    if (streamHooks.postModeChanged)
        streamHooks.postModeChanged(record);
}

static void reselectAudioProbes(log4c_category_t *category, uint32_t input)
{
    if (streamHooks.audioProbeSelection)
        streamHooks.audioProbeSelection(category, input);
}

static void broadcastAvailability(log4c_category_t *category)
{
    if (streamHooks.atdmAvailabilityBroadcast)
        streamHooks.atdmAvailabilityBroadcast(category);
}

static void sendIndexValue(log4c_category_t *category, uint16_t opcode, uint32_t index, uint32_t value)
{
    const uint8_t payload[2] = {(uint8_t)index, (uint8_t)value};
    if (platformHooks.strataSend)
        platformHooks.strataSend(category, STREAM_MESSAGE_TYPE, STREAM_MESSAGE_DESTINATION, opcode, payload,
                                 sizeof payload);
}

/* ---- changes ---- */

static void setChanged(uint32_t *changed, uint32_t value)
{
    if (changed)
        *changed = value;
}

int platformTheGlobalMDXModeChanged(log4c_category_t *category, uint32_t mode, uint32_t *changed,
                                    uint32_t fromCallback)
{
    setChanged(changed, 0);
    if (mode >= 2) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, modeTable.valueMessage, __func__, (int)mode);
        return PLATFORM_STREAM_BAD_ARGUMENT;
    }
    lockStream();
    uint32_t current = platformRecord.atdmMdxMode;
    if (current == mode) {
        unlockStream();
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                           "%s: ATDM Mode Requested %d, current mode is %d (0=Hybrid_Mode, 1=MDX_Mode). No change "
                           "necessary.",
                           __func__, (int)mode, (int)current);
        return PLATFORM_STREAM_OK;
    }
    platformRecord.atdmMdxMode = mode;
    for (uint32_t input = 0; input < PLATFORM_STREAM_INPUTS; input++)
        stream.routerOutputMode[input] = mode;
    writeMirror(stream.routerOutputModeText, stream.routerOutputMode);
    unlockStream();

    log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                       "%s: ATDM Mode Requested %d, current mode is %d (0=Hybrid_Mode, 1=MDX_Mode). Applying changes.",
                       __func__, (int)mode, (int)current);
    if (streamHooks.sdtiMadiInsertionUpdate)
        streamHooks.sdtiMadiInsertionUpdate(category, mode == PLATFORM_STREAM_HYBRID);
    for (uint32_t input = 0; input < PLATFORM_STREAM_INPUTS; input++) {
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                           "%s: Since global MDX mode changed we are overriding input %d mode to %d (0=NonMDX, "
                           "1=MDX).",
                           __func__, (int)input, (int)mode);
        reselectAudioProbes(category, input);
    }
    broadcastAvailability(category);
    if (!fromCallback) {
        if (streamHooks.setKey)
            streamHooks.setKey(category, MDX_MODE_KEY, mode ? MDX_MODE_TEXT : HYBRID_MODE_TEXT);
        storeMirror(category, OUTPUT_MODE_KEY, stream.routerOutputModeText);
    }
    setChanged(changed, 1);
    postModes();
    return PLATFORM_STREAM_OK;
}

int platformTheRouterOutputModeChanged(log4c_category_t *category, uint32_t input, uint32_t mode, uint32_t *changed,
                                       uint32_t fromCallback)
{
    setChanged(changed, 0);
    if (mode >= 2) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, modeTable.valueMessage, __func__, (int)mode);
        return PLATFORM_STREAM_BAD_ARGUMENT;
    }
    /* The range is checked before anything is written. */
    if (input >= PLATFORM_STREAM_INPUTS) {
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: RouterOutputMode changed but input %d out of range.",
                           __func__, (int)input);
        return PLATFORM_STREAM_BAD_ARGUMENT;
    }
    lockStream();
    if (platformRecord.atdmMdxMode != PLATFORM_STREAM_MDX) {
        unlockStream();
        return PLATFORM_STREAM_OK;
    }
    setFlagLocked(category, __func__, modeTable, input, mode);
    unlockStream();

    reselectAudioProbes(category, input);
    broadcastAvailability(category);
    if (!fromCallback)
        storeMirror(category, OUTPUT_MODE_KEY, stream.routerOutputModeText);
    setChanged(changed, 1);
    postModes();
    return PLATFORM_STREAM_OK;
}

typedef int (*streamSetterFn)(log4c_category_t *, uint32_t, uint32_t);

/* Sets one enable through its setter, whose refusal is the result, then stores the mirror. */
static int enableChanged(log4c_category_t *category, streamSetterFn setter, const streamTable_t &table, const char *key,
                         uint32_t index, uint32_t enable, uint32_t *changed, uint32_t fromCallback)
{
    setChanged(changed, 0);
    int rc = setter(category, index, enable);
    if (rc != PLATFORM_STREAM_OK)
        return rc;
    setChanged(changed, 1);
    if (!fromCallback)
        storeMirror(category, key, table.text);
    return PLATFORM_STREAM_OK;
}

int platformTheRouterOutputEnableChanged(log4c_category_t *category, uint32_t output, uint32_t enable,
                                         uint32_t *changed, uint32_t fromCallback)
{
    return enableChanged(category, platformSetKvrVideoStreamEnable, outputEnableTable, OUTPUT_ENABLE_KEY, output, enable,
                         changed, fromCallback);
}

int platformTheRouterInputEnableChanged(log4c_category_t *category, uint32_t output, uint32_t enable,
                                        uint32_t *changed, uint32_t fromCallback)
{
    return enableChanged(category, platformSetKvrMosaicOutputEnable, inputEnableTable, INPUT_ENABLE_KEY, output, enable,
                         changed, fromCallback);
}

/* ---- key listeners ---- */

/* Common checks of a listener: 1 when the change is to be applied. */
static int acceptChange(const platformKeyChange_t *change, const char *fn, const char *calledMessage,
                        const char *ownKey)
{
    if (!change || !change->category)
        return 0;
    log4c_category_t *category = change->category;
    if (!change->key || !change->value) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: Error, Bad arguments.", fn);
        return 0;
    }
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, calledMessage, fn, change->key, change->value);
    if (strcmp(change->key, ownKey) != 0) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: Error, the key %s is not known.", fn, change->key);
        return 0;
    }
    return change->found != 0;
}

typedef int (*streamChangedFn)(log4c_category_t *, uint32_t, uint32_t, uint32_t *, uint32_t);

/* Applies every index whose character differs from the mirror and broadcasts what changed. */
static void applyPerIndexKey(const platformKeyChange_t *change, const char *fn, const streamTable_t &table,
                             streamChangedFn apply, uint16_t opcode, const char *broadcastMessage)
{
    log4c_category_t *category = change->category;
    size_t length = strlen(change->value);
    for (uint32_t index = 0; index < PLATFORM_STREAM_INPUTS && index < length; index++) {
        char wanted = change->value[index];
        lockStream();
        char current = table.text[index];
        unlockStream();
        if (wanted == current)
            continue;
        uint32_t value = wanted != '0';
        uint32_t changed = 0;
        apply(category, index, value, &changed, 1);
        if (!changed)
            continue;
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE, broadcastMessage, fn, (int)index, wanted);
        sendIndexValue(category, opcode, index, value);
    }
}

void platformTheRouterOutputModeCallbackfn(const platformKeyChange_t *change)
{
    if (!acceptChange(change, __func__, "%s: Router Output Mode CALLBACK FUNCTION called!!! key %s, value %s",
                      OUTPUT_MODE_KEY))
        return;
    applyPerIndexKey(change, __func__, modeTable, platformTheRouterOutputModeChanged, PLATFORM_STREAM_MODE_OPCODE,
                     "%s: We must broadcast Video Input %d, mode %c (0=Hybrid, 1 = MDX).");
}

void platformTheRouterOutputEnableCallbackfn(const platformKeyChange_t *change)
{
    if (!acceptChange(change, __func__, "%s: Router Output Enable CALLBACK FUNCTION called!!! key %s, value %s",
                      OUTPUT_ENABLE_KEY))
        return;
    applyPerIndexKey(change, __func__, outputEnableTable, platformTheRouterOutputEnableChanged,
                     PLATFORM_ROUTER_OUTPUT_ENABLE_OPCODE,
                     "%s: We must broadcast Video Input %d, Enable %c (0=Hybrid, 1 = MDX).");
}

void platformTheRouterInputEnableCallbackfn(const platformKeyChange_t *change)
{
    if (!acceptChange(change, __func__, "%s: Router Input Enable CALLBACK FUNCTION called!!! key %s, value %s",
                      INPUT_ENABLE_KEY))
        return;
    applyPerIndexKey(change, __func__, inputEnableTable, platformTheRouterInputEnableChanged,
                     PLATFORM_ROUTER_INPUT_ENABLE_OPCODE,
                     "%s: We must broadcast Video Output %d, Enable %c (0=Hybrid, 1 = MDX).");
}

void platformTheMDXModeCallbackfn(const platformKeyChange_t *change)
{
    if (!acceptChange(change, __func__, "%s: MDX_MODE CALLBACK FUNCTION called!!! key %s, value %s", MDX_MODE_KEY))
        return;
    log4c_category_t *category = change->category;
    uint32_t mode;
    if (strcmp(change->value, MDX_MODE_TEXT) == 0) {
        mode = PLATFORM_STREAM_MDX;
    } else if (strcmp(change->value, HYBRID_MODE_TEXT) == 0) {
        mode = PLATFORM_STREAM_HYBRID;
    } else {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: Error, unknown value %s for key %s.", __func__,
                           change->value, change->key);
        return;
    }
    uint32_t changed = 0;
    platformTheGlobalMDXModeChanged(category, mode, &changed, 1);
    if (!changed)
        return;
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: We must broadcast key %s has value %s.", __func__,
                       change->key, change->value);
    for (uint32_t input = 0; input < PLATFORM_STREAM_INPUTS; input++)
        sendIndexValue(category, PLATFORM_STREAM_MODE_OPCODE, input, mode);
}

/* ---- start-up ---- */

/*
 * Reads a nine-character key into its table: '0' and '1' as they stand, any
 * other character (or a missing one) becomes the index's default with a log.
 * The mirror is rebuilt from the flags.
 */
static void loadPerIndexKey(log4c_category_t *category, const char *key, const streamTable_t &table,
                            platformKeyListener_t listener, const char *errorMessage, const uint32_t *defaults,
                            const char *defaultText)
{
    char value[STREAM_KEY_VALUE_SIZE + 1];
    lockStream();
    snprintf(value, sizeof value, "%s", defaultText ? defaultText : table.text);
    unlockStream();
    if (streamHooks.getKey)
        streamHooks.getKey(category, key, value, sizeof value, listener);
    size_t length = strlen(value);
    lockStream();
    for (uint32_t index = 0; index < PLATFORM_STREAM_INPUTS; index++) {
        char c = index < length ? value[index] : '\0';
        if (c == '0' || c == '1') {
            table.flags[index] = (uint32_t)(c - '0');
            continue;
        }
        table.flags[index] = defaults[index];
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, errorMessage, __func__, (int)index, c ? c : ' ');
    }
    writeMirror(table.text, table.flags);
    unlockStream();
}

void platformInitKvrVideoStreamSetting(log4c_category_t *category)
{
    static const uint32_t allOff[PLATFORM_STREAM_INPUTS] = {0};
    static const uint32_t allOn[PLATFORM_STREAM_INPUTS] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
    static const uint32_t hybridCardInputs[PLATFORM_STREAM_INPUTS] = {1, 1};

    if (!platformIsUsingNqAsiInputs()) {
        lockStream();
        platformRecord.atdmMdxMode = 0;
        memcpy(stream.routerOutputMode, allOff, sizeof allOff);
        memcpy(stream.routerOutputEnable, allOn, sizeof allOn);
        memcpy(stream.routerInputEnable, allOn, sizeof allOn);
        writeMirror(stream.routerOutputModeText, stream.routerOutputMode);
        writeMirror(stream.routerOutputEnableText, stream.routerOutputEnable);
        writeMirror(stream.routerInputEnableText, stream.routerInputEnable);
        unlockStream();
        return;
    }

    char value[STREAM_KEY_VALUE_SIZE + 1];
    snprintf(value, sizeof value, "%s", HYBRID_MODE_TEXT);
    if (streamHooks.getKey)
        streamHooks.getKey(category, MDX_MODE_KEY, value, sizeof value, platformTheMDXModeCallbackfn);
    lockStream();
    platformRecord.atdmMdxMode = strcmp(value, MDX_MODE_TEXT) == 0 ? PLATFORM_STREAM_MDX : PLATFORM_STREAM_HYBRID;
    unlockStream();
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: Restore Point indicates that ATDM Mode is %s.", __func__,
                       value);

    loadPerIndexKey(category, OUTPUT_MODE_KEY, modeTable, platformTheRouterOutputModeCallbackfn,
                    "%s: Error Restore Point indicates that Router Output Mode index %d is %c. We only accept 0 or 1.",
                    allOff, nullptr);
    loadPerIndexKey(category, OUTPUT_ENABLE_KEY, outputEnableTable, platformTheRouterOutputEnableCallbackfn,
                    "%s: Error Restore Point indicates that Router Output Enable index %d is %c. We only accept 0 or "
                    "1.",
                    allOn, "111111111");
    bool hybridCard = platformGetCardSlotIndex() < 2;
    if (!hybridCard) {
        lockStream();
        snprintf(stream.routerInputEnableText, STREAM_TEXT_SIZE, "000000000");
        unlockStream();
    }
    loadPerIndexKey(category, INPUT_ENABLE_KEY, inputEnableTable, platformTheRouterInputEnableCallbackfn,
                    "%s: Error Restore Point indicates that Router Input Enable index %d is %c. We only accept 0 or 1.",
                    hybridCard ? hybridCardInputs : allOff, nullptr);
    broadcastAvailability(category);
}
