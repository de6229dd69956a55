#include "layoutManager/layoutManagerPrivate.h"

#include "deviceManager/deviceManager.h"
#include "pcodeProcessor/pcodeProcessor.h"
#include "platform/platform.h"
#include "serviceManager/serviceManager.h"
#include "utils/utils.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <glib.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>

/*
 * Message kinds. Bytes 0-3 of a message hold the kind (little-endian u32); the
 * payload starts at byte 4.
 */
enum {
    LAYOUT_CLASS_PCODE_MSG = 0,
    SET_DEVICE_PCODE_MSG = 1,
    SAVE_CARD_CONFIG_MSG = 2,
    VIDEO_INPUT_CHANGE_MSG = 4,
    ALL_VIDEO_INPUT_DATA_MSG = 5,
    TARGET_SPECIFIC_MSG = 6,
    TIMER_EXPIRED_MSG = 7,
    TARGET_RECORD_MSG = 8,            /* a target event whose record the message owns on the heap */
};

enum {
    MESSAGE_PAYLOAD = 4,
    MESSAGE_TARGET_DATA = 8,
    MESSAGE_INPUT_RECORDS = 8,
    SET_DEVICE_PAYLOAD_SIZE = 9,
    VIDEO_RECORD_SIZE = (int)sizeof(videoInputRecord),
    THREAD_WAIT_MS = 1000,
    PCODE_CLASS_LAYOUT = 20,
    PCODE_CLASS_DEVICE_ACCESS = 10,
    PCODE_ID_SAVE_CARD_CONFIG = 3,
    PCODE_ID_SET_SYSTEM_FRAME_RATE = 7,
    PCODE_ID_SET_AUDIO_MONITORING_SOURCE = 11,
    ANY_SLOT = 0xFF,
    ANY_DEVICE = 0xFFFF,
};

static_assert(MESSAGE_INPUT_RECORDS + LAYOUT_VIDEO_INPUT_COUNT * 44 <= LAYOUT_MANAGER_MAX_MESSAGE_SIZE,
              "all input records fit a message");
static_assert(VIDEO_RECORD_SIZE == 44, "video input record");

/*
 * A timer message carries the timer itself and the index of the instance that
 * armed it, never pointers into another module: the layout thread looks the
 * instance up again when the timer has fired.
 */
struct timerMessage_t {
    timer_t timer;
    int32_t instanceIndex;
    uint32_t value;
};

/* One pooled message; its list link is its own, so queueing never allocates. */
struct layoutManagerMessage {
    GList link;
    alignas(8) uint8_t bytes[LAYOUT_MANAGER_MAX_MESSAGE_SIZE];
};

static_assert(MESSAGE_TARGET_DATA + sizeof(timerMessage_t) <= LAYOUT_MANAGER_MAX_MESSAGE_SIZE, "timer message");

/* A record message carries its copy of the record; serving it frees the copy. */
struct recordMessage_t {
    void *record;
    uint32_t size;
};

static_assert(MESSAGE_TARGET_DATA + sizeof(recordMessage_t) <= LAYOUT_MANAGER_MAX_MESSAGE_SIZE, "record message");

static struct {
    pthread_mutex_t mutex;
    GQueue work;                      /* filled at the tail, emptied at the head */
    pthread_cond_t condition;         /* signalled after every push onto work */
    int conditionReady;
    int terminating;                  /* set by terminate: the thread does not wait again */
    log4c_category_t *category;
    uint32_t eventReceivedCount;
    GQueue free;                      /* producers take from the tail, the thread returns to the head */
    layoutManagerMessage messages[LAYOUT_MESSAGE_POOL_SIZE];
} layoutManagerQueue = {PTHREAD_MUTEX_INITIALIZER, G_QUEUE_INIT, pthread_cond_t(), 0, 0, nullptr, 0, G_QUEUE_INIT, {}};

static layoutManagerInstanceInfo layoutInstance = {
    LAYOUT_HEAD_COUNT, LAYOUT_WINDOW_COUNT, LAYOUT_VIDEO_INPUT_COUNT, LAYOUT_HEAD_COUNT,
    layoutHeadLists, layoutPcodeRemapTable, privateLayoutData(), layoutEventInfo(), nullptr,
};

static const char *const serviceName = "layoutManager";

layoutManagerInstanceInfo *layoutManagerGetInstance(void)
{
    return &layoutInstance;
}

privateLayoutData *layoutGetPrivateData(void)
{
    return &layoutInstance.data;
}

log4c_category_t *layoutManagerCategory(void)
{
    return layoutManagerQueue.category;
}

#define LAYOUT_LOG(priority, ...) log4c_category_log(layoutManagerQueue.category, priority, __VA_ARGS__)

uint32_t layoutManagerEventReceivedCount(void)
{
    pthread_mutex_lock(&layoutManagerQueue.mutex);
    uint32_t count = layoutManagerQueue.eventReceivedCount;
    pthread_mutex_unlock(&layoutManagerQueue.mutex);
    return count;
}

uint32_t layoutManagerFreeCount(void)
{
    pthread_mutex_lock(&layoutManagerQueue.mutex);
    uint32_t count = layoutManagerQueue.free.length;
    pthread_mutex_unlock(&layoutManagerQueue.mutex);
    return count;
}

uint32_t layoutManagerQueuedCount(void)
{
    pthread_mutex_lock(&layoutManagerQueue.mutex);
    uint32_t count = layoutManagerQueue.work.length;
    pthread_mutex_unlock(&layoutManagerQueue.mutex);
    return count;
}

/* Takes a message from the pool, counting the attempt. Null (after logging dropFormat) when the pool is empty. */
static layoutManagerMessage *layoutTakeMessage(const char *dropFormat, uint8_t kind)
{
    pthread_mutex_lock(&layoutManagerQueue.mutex);
    layoutManagerQueue.eventReceivedCount++;
    uint32_t count = layoutManagerQueue.eventReceivedCount;
    GList *link = g_queue_pop_tail_link(&layoutManagerQueue.free);
    pthread_mutex_unlock(&layoutManagerQueue.mutex);
    if (!link) {
        LAYOUT_LOG(LOG4C_PRIORITY_ERROR, dropFormat, serviceName, (int)count);
        return nullptr;
    }
    layoutManagerMessage *message = (layoutManagerMessage *)link->data;
    uint8_t kindWord[4] = {kind, 0, 0, 0};
    memcpy(message->bytes, kindWord, sizeof kindWord);
    return message;
}

static void layoutQueueMessage(layoutManagerMessage *message)
{
    pthread_mutex_lock(&layoutManagerQueue.mutex);
    g_queue_push_tail_link(&layoutManagerQueue.work, &message->link);
    pthread_cond_signal(&layoutManagerQueue.condition);
    pthread_mutex_unlock(&layoutManagerQueue.mutex);
}

static void layoutReturnMessage(layoutManagerMessage *message)
{
    pthread_mutex_lock(&layoutManagerQueue.mutex);
    g_queue_push_head_link(&layoutManagerQueue.free, &message->link);
    pthread_mutex_unlock(&layoutManagerQueue.mutex);
}

/*
 * A pcode must carry its whole header and data and fit the message payload.
 * The pcode processor already guarantees the first; the second is ours.
 */
static int layoutPcodeFits(const char *function, const uint8_t *pcode, uint32_t length)
{
    if (length > LAYOUT_MESSAGE_PCODE_MAX) {
        LAYOUT_LOG(LOG4C_PRIORITY_ERROR,
                   "%s: pcode class %d id %d of %u bytes does not fit a layout message of %d bytes, dropped", function,
                   pcode[0], pcode[1], length, LAYOUT_MESSAGE_PCODE_MAX);
        return 0;
    }
    if (length < PCODE_HEADER_SIZE || PCODE_HEADER_SIZE + ((uint32_t)pcode[2] << 8 | pcode[3]) > length) {
        LAYOUT_LOG(LOG4C_PRIORITY_ERROR, "%s: pcode of %u bytes shorter than its header says, dropped", function,
                   length);
        return 0;
    }
    return 1;
}

void layoutClassPcodeHandler(const uint8_t *pcode, uint32_t length)
{
    if (!layoutPcodeFits(__func__, pcode, length))
        return;
    layoutManagerMessage *message = layoutTakeMessage(
        "Big problem %s Q full Dropping Layout Class Pcode! eventReceivedCount %d", LAYOUT_CLASS_PCODE_MSG);
    if (!message)
        return;
    memcpy(message->bytes + MESSAGE_PAYLOAD, pcode, length);
    layoutQueueMessage(message);
}

void layoutSaveCardConfigHandler(const uint8_t *pcode, uint32_t length)
{
    if (!layoutPcodeFits(__func__, pcode, length))
        return;
    LAYOUT_LOG(LOG4C_PRIORITY_INFO, "Got SAVE_CARD_CONFIG Pcode DstSlot %d, head %d.",
               length > PCODE_HEADER_SIZE ? pcode[4] : 0, length > PCODE_HEADER_SIZE + 1 ? pcode[5] : 0);
    layoutManagerMessage *message = layoutTakeMessage(
        "Big problem %s Q full Dropping SaveLayout Pcode! eventReceivedCount %d", SAVE_CARD_CONFIG_MSG);
    if (!message)
        return;
    memcpy(message->bytes + MESSAGE_PAYLOAD, pcode, length);
    layoutQueueMessage(message);
}

void layoutSetDevicePcodeHandler(uint8_t slot, uint16_t device, uint16_t reg, uint32_t value)
{
    LAYOUT_LOG(LOG4C_PRIORITY_INFO, "Got Set Device Pcode reg id is: %d dev id is %d value is: %d for slot %d.", reg,
               device, (int)value, slot);
    layoutManagerMessage *message = layoutTakeMessage(
        "Big problem %s Q full Dropping Set Device Pcode! eventReceivedCount %d", SET_DEVICE_PCODE_MSG);
    if (!message)
        return;
    uint8_t *payload = message->bytes + MESSAGE_PAYLOAD;
    payload[0] = slot;
    memcpy(payload + 1, &device, 2);
    memcpy(payload + 3, &reg, 2);
    memcpy(payload + 5, &value, 4);
    layoutQueueMessage(message);
    LAYOUT_LOG(LOG4C_PRIORITY_DEBUG, "PCODE PROC: Layout Set Device Pcode, put message into Q pcode with length %d", 12);
}

int layoutVideoInputChangeHandler(const videoInputRecord *record)
{
    layoutManagerMessage *message = layoutTakeMessage(
        "Big problem %s Q full Dropping Video Event Msg! eventReceivedCount %d", VIDEO_INPUT_CHANGE_MSG);
    if (!message)
        return 0;
    memcpy(message->bytes + MESSAGE_PAYLOAD, record, VIDEO_RECORD_SIZE);
    layoutQueueMessage(message);
    return 0;
}

int layoutAllInputVideoDataHandler(const videoInputRecord *records, uint32_t count)
{
    if (count > LAYOUT_VIDEO_INPUT_COUNT) {
        LAYOUT_LOG(LOG4C_PRIORITY_ERROR,
                   "%s Not coping Video Data, because numberOfVideoInputs %d  exceed layout manger max video count %d "
                   "will copy MAX only!!",
                   __func__, (int)count, LAYOUT_VIDEO_INPUT_COUNT);
        count = LAYOUT_VIDEO_INPUT_COUNT;
    }
    layoutManagerMessage *message = layoutTakeMessage(
        "Big problem %s Q full Dropping Video Event Msg! eventReceivedCount %d", ALL_VIDEO_INPUT_DATA_MSG);
    if (!message)
        return 0;
    memcpy(message->bytes + MESSAGE_PAYLOAD, &count, 4);
    for (uint32_t i = 0; i < count; i++)
        memcpy(message->bytes + MESSAGE_INPUT_RECORDS + VIDEO_RECORD_SIZE * i, &records[i], VIDEO_RECORD_SIZE);
    layoutQueueMessage(message);
    return 0;
}

int layoutTargetSpecificEvent(uint32_t targetBit, const void *data, uint32_t size)
{
    if (size > LAYOUT_TARGET_DATA_MAX) {
        LAYOUT_LOG(LOG4C_PRIORITY_ERROR,
                   "Dropping TargetSpecific Event Msg doesn't fit in Q sizeOfEventData(%d) > "
                   "LAYOUT_MANAGER_MAX_MESSAGE_SIZE(%d)!",
                   (int)size, LAYOUT_MANAGER_MAX_MESSAGE_SIZE);
        return 0;
    }
    layoutManagerMessage *message = layoutTakeMessage(
        "Big problem %s Q full Dropping TargetSpecific Event Msg! eventReceivedCount %d", TARGET_SPECIFIC_MSG);
    if (!message)
        return 0;
    memcpy(message->bytes + MESSAGE_PAYLOAD, &targetBit, 4);
    memset(message->bytes + MESSAGE_TARGET_DATA, 0, LAYOUT_TARGET_DATA_MAX);
    if (size && data)
        memcpy(message->bytes + MESSAGE_TARGET_DATA, data, size);
    layoutQueueMessage(message);
    return 0;
}

int layoutManagerTargetRecordEvent(uint32_t targetBit, const void *record, uint32_t size)
{
    if (size > LAYOUT_TARGET_RECORD_MAX) {
        LAYOUT_LOG(LOG4C_PRIORITY_ERROR, "%s: record of %u bytes for target event 0x%x above %d bytes, dropped",
                   __func__, size, targetBit, LAYOUT_TARGET_RECORD_MAX);
        return 0;
    }
    recordMessage_t carried = {malloc(size ? size : 1), size};
    if (!carried.record) {
        LAYOUT_LOG(LOG4C_PRIORITY_ERROR, "%s: no memory for a record of %u bytes for target event 0x%x, dropped",
                   __func__, size, targetBit);
        return 0;
    }
    layoutManagerMessage *message = layoutTakeMessage(
        "Big problem %s Q full Dropping TargetSpecific Event Msg! eventReceivedCount %d", TARGET_RECORD_MSG);
    if (!message) {
        free(carried.record);
        return 0;
    }
    if (size && record)
        memcpy(carried.record, record, size);
    else
        carried.size = 0;
    memcpy(message->bytes + MESSAGE_PAYLOAD, &targetBit, 4);
    memcpy(message->bytes + MESSAGE_TARGET_DATA, &carried, sizeof carried);
    layoutQueueMessage(message);
    return 0;
}

/*
 * Timer expiry, on a thread of its own (SIGEV_THREAD): the queue's mutex may
 * be taken here, which a signal handler could never do safely.
 */
static void layoutTimerExpired(union sigval value)
{
    int index = value.sival_int;
    if (index < 0 || index >= LAYOUT_MESSAGE_POOL_SIZE)
        return;
    layoutManagerMessage *message = &layoutManagerQueue.messages[index];
    uint8_t kindWord[4] = {TIMER_EXPIRED_MSG, 0, 0, 0};
    pthread_mutex_lock(&layoutManagerQueue.mutex);
    memcpy(message->bytes, kindWord, sizeof kindWord);
    g_queue_push_tail_link(&layoutManagerQueue.work, &message->link);
    pthread_cond_signal(&layoutManagerQueue.condition);
    pthread_mutex_unlock(&layoutManagerQueue.mutex);
}

struct itimerspec layoutManagerTimerDelay(uint32_t delayMs)
{
    struct itimerspec arm = {};
    if (delayMs >= 1000) {
        arm.it_value.tv_sec = delayMs / 1000;
        arm.it_value.tv_nsec = (long)(delayMs % 1000) * 1000000L;
    } else {
        arm.it_value.tv_nsec = (long)delayMs * 1000000L;
    }
    if (arm.it_value.tv_sec == 0 && arm.it_value.tv_nsec == 0)
        arm.it_value.tv_nsec = 1; /* a zero value would disarm the timer instead of firing it */
    return arm;
}

int startSubModuleTimeoutEvent(deviceSubmodule *descriptor, uint32_t delayMs, deviceSubmoduleInstance *instance,
                               uint32_t value)
{
    int instanceIndex = layoutManagerSubmoduleInstanceIndex(instance);
    if (instanceIndex < 0 || !descriptor || instance->descriptor != descriptor) {
        LAYOUT_LOG(LOG4C_PRIORITY_ERROR, "%s: unknown sub-module instance for %s, no timer", __func__,
                   descriptor ? descriptor->name : "(none)");
        return LAYOUT_RESULT_TIMER_FAILED;
    }
    layoutManagerMessage *message = layoutTakeMessage(
        "Big problem %s Q full Not going to create Timer Event Msg! eventReceivedCount %d", TIMER_EXPIRED_MSG);
    if (!message)
        return LAYOUT_RESULT_FAILED;

    timerMessage_t timerMessage = {};
    timerMessage.instanceIndex = instanceIndex;
    timerMessage.value = value;
    struct sigevent event = {};
    event.sigev_notify = SIGEV_THREAD;
    event.sigev_notify_function = layoutTimerExpired;
    event.sigev_value.sival_int = (int)(message - layoutManagerQueue.messages);
    if (timer_create(CLOCK_REALTIME, &event, &timerMessage.timer) != 0) {
        int error = errno;
        LAYOUT_LOG(LOG4C_PRIORITY_ERROR, "%s: timer_create failed errno[%d] = %s", __func__, error, strerror(error));
        layoutReturnMessage(message);
        return LAYOUT_RESULT_TIMER_FAILED;
    }
    /* The message must be complete before the timer can fire. */
    memcpy(message->bytes + MESSAGE_TARGET_DATA, &timerMessage, sizeof timerMessage);

    struct itimerspec arm = layoutManagerTimerDelay(delayMs);
    if (timer_settime(timerMessage.timer, 0, &arm, nullptr) != 0) {
        int error = errno;
        LAYOUT_LOG(LOG4C_PRIORITY_ERROR, "%s: timer_settime failed errno[%d] = %s", __func__, error, strerror(error));
        timer_delete(timerMessage.timer);
        layoutReturnMessage(message);
        return LAYOUT_RESULT_TIMER_FAILED;
    }
    return LAYOUT_RESULT_OK;
}

/* Data handed to process for the current head event (null when the event names none). */
static const void *layoutEventData(const layoutEventInfo *event)
{
    headLayoutRecord *head = event->headRecord;
    const windowLayoutRecord *window = event->window < LAYOUT_WINDOW_COUNT ? &head->windows[event->window] : nullptr;
    switch (event->headEvent) {
    case HEAD_APPLY_EVENT:
    case HEAD_RESOLUTION_EVENT:
        return &head->resolution;
    case HEAD_ATTRIBUTES_EVENT:
        return &head->attributes;
    case DVI_HEAD_ALIGNMENT_EVENT:
        return &head->dviAlignment;
    case DVI_BACKGROUND_ATTRIBUTES_EVENT:
        return &head->dviBackground;
    case VGA_HEAD_ALIGNMENT_EVENT:
        return &head->vgaAlignment;
    case VGA_OUTPUT_EVENT:
        return &head->vgaOutput;
    case HEAD_BRIGHTNESS_CONTRAST_GAMMA_EVENT:
        return &head->brightnessContrastGamma;
    case HEAD_COLOR_SATURATION_EVENT:
        return &head->colorSaturation;
    case HEAD_AUDIO_MONITOR_EVENT:
        return &head->audioMonitoring;
    case AES_VOLUME_REG_EVENT:
        return &head->aesVolume;
    case DAC_VOLUME_REG_EVENT:
        return &head->dacVolume;
    case DELAY_REG_EVENT:
        return &head->audioDelay;
    case WINDOW_LAYOUT_EVENT:
        return window ? &window->layout : nullptr;
    case WINDOW_ATTRIBUTES_EVENT:
        return window ? &window->attributes : nullptr;
    case WINDOW_PRIORITY_EVENT:
        return window ? &window->winPriority : nullptr;
    case INPUT_CHANGE_EVENT:
        return event->input < LAYOUT_VIDEO_INPUT_RECORDS ? &event->inputRecords[event->input] : nullptr;
    case ALL_INPUTS_EVENT:
        return event->inputRecords;
    case SYSTEM_FRAME_RATE_EVENT:
        return &layoutInstance.data.systemFrameRate;
    case TARGET_SPECIFIC_EVENT:
        return event->eventData;
    default:
        return nullptr;
    }
}

void notifySubModulesOfChange(const layoutHeadList *list, int mode)
{
    layoutEventInfo *event = &layoutInstance.event;
    uint32_t head = event->head;
    if (head >= LAYOUT_HEAD_COUNT || !layoutInstance.remapper[head].layoutDone) {
        LAYOUT_LOG(LOG4C_PRIORITY_INFO, "Layout Manager %s not done for head %d!!!!!", __func__, (int)head);
        return;
    }
    event->headRecord = &layoutInstance.data.heads[head];
    event->inputRecords = layoutInstance.data.inputs;
    const void *data = layoutEventData(event);

    /* The count is read again after every call. */
    for (uint32_t i = 0; i < list->count; i++) {
        deviceSubmoduleInstance *instance = list->instances[i];
        deviceSubmodule *descriptor = instance->descriptor;
        if (mode == LAYOUT_NOTIFY_INIT) {
            if (descriptor->init)
                descriptor->init(instance, event, list);
            continue;
        }
        uint32_t matched = mode == LAYOUT_NOTIFY_HEAD_EVENT ? event->headEvent & descriptor->headMask
                                                            : event->target & descriptor->targetMask;
        if (!descriptor->process || !matched)
            continue;
        LAYOUT_LOG(LOG4C_PRIORITY_DEBUG, "%s: head %d calls %s headEvent 0x%x target 0x%x window %d input %d", __func__,
                   (int)event->head, descriptor->name, event->headEvent, event->target, (int)event->window,
                   (int)event->input);
        descriptor->process(instance, event, data);
    }
}

static void layoutNotifyEveryHead(int mode)
{
    for (uint32_t head = 0; head < LAYOUT_HEAD_COUNT; head++) {
        /* Sub-modules read the current head, so every visited list gets its own. */
        layoutInstance.event.head = head;
        notifySubModulesOfChange(layoutInstance.headLists[head], mode);
    }
}

static void layoutServeVideoInputChange(const uint8_t *payload)
{
    videoInputRecord record;
    memcpy(&record, payload, sizeof record);
    /* Reject before anything is compared: only 16 records exist. */
    if (record.inputIndex >= LAYOUT_VIDEO_INPUT_RECORDS) {
        LAYOUT_LOG(LOG4C_PRIORITY_ERROR, "%s: VIDEO_INPUT_CHANGE_MSG for input %u, only %d inputs, ignored", __func__,
                   record.inputIndex, LAYOUT_VIDEO_INPUT_RECORDS);
        return;
    }
    videoInputRecord *stored = &layoutInstance.data.inputs[record.inputIndex];
    if (memcmp(stored, &record, sizeof record) == 0)
        return;
    LAYOUT_LOG(LOG4C_PRIORITY_DEBUG,
               "VIDEO_INPUT_CHANGE_MSG! input %d, carrierDetect %d, videoTypeInfo %d, zoneFormat %d, eavSavErr %d, "
               "frameRate %d, scanningFormat %d, samplesPerActiveLines %d, activeLinesPerFrame %d, totalLinesPerFrame "
               "%d",
               (int)record.inputIndex, (int)record.carrierDetect, (int)record.videoTypeInfo, (int)record.zoneFormat,
               (int)record.eavSavErr, (int)record.frameRate, (int)record.scanningFormat,
               (int)record.samplesPerActiveLines, (int)record.activeLinesPerFrame, (int)record.totalLinesPerFrame);
    *stored = record;
    layoutInstance.event.input = record.inputIndex;
    layoutInstance.event.headEvent = INPUT_CHANGE_EVENT;
    layoutNotifyEveryHead(LAYOUT_NOTIFY_HEAD_EVENT);
}

static void layoutServeAllInputs(const uint8_t *payload)
{
    uint32_t count;
    memcpy(&count, payload, 4);
    LAYOUT_LOG(LOG4C_PRIORITY_DEBUG, "ALL_VIDEO_INPUT_DATA_MSG! number of inputs in data %d", (int)count);
    if (count > LAYOUT_VIDEO_INPUT_COUNT)
        count = LAYOUT_VIDEO_INPUT_COUNT;
    memcpy(layoutInstance.data.inputs, payload + (MESSAGE_INPUT_RECORDS - MESSAGE_PAYLOAD), count * VIDEO_RECORD_SIZE);
    layoutInstance.event.headEvent = ALL_INPUTS_EVENT;
    layoutNotifyEveryHead(LAYOUT_NOTIFY_HEAD_EVENT);
}

static void layoutServeTimer(const uint8_t *bytes)
{
    timerMessage_t timerMessage;
    memcpy(&timerMessage, bytes + MESSAGE_TARGET_DATA, sizeof timerMessage);
    /* The expiry is served: the timer will not fire again. */
    timer_delete(timerMessage.timer);
    deviceSubmoduleInstance *instance = layoutManagerSubmoduleInstanceAt(timerMessage.instanceIndex);
    if (!instance) {
        LAYOUT_LOG(LOG4C_PRIORITY_ERROR, "%s: TIMER_EXPIRED_MSG for unknown instance %d", __func__,
                   (int)timerMessage.instanceIndex);
        return;
    }
    deviceSubmodule *descriptor = instance->descriptor;
    LAYOUT_LOG(LOG4C_PRIORITY_DEBUG, "TIMER_EXPIRED_MSG! event msg for submodule %s", descriptor->name);
    layoutEventInfo *event = &layoutInstance.event;
    event->headEvent = TIMER_TIMEOUT_EVENT;
    event->inputRecords = layoutInstance.data.inputs;
    event->head = instance->head < LAYOUT_HEAD_COUNT ? instance->head : 0;
    event->headRecord = &layoutInstance.data.heads[event->head];
    if (descriptor->process)
        descriptor->process(instance, event, &timerMessage.value);
}

/* Serves a target event whose data is `data` (size bytes) to every head. */
static void layoutServeTarget(uint32_t target, const void *data, uint32_t size)
{
    LAYOUT_LOG(LOG4C_PRIORITY_DEBUG, "TARGET_SPECIFIC_MSG! event msg is 0x%08x", target);
    layoutEventInfo *event = &layoutInstance.event;
    event->headEvent = TARGET_SPECIFIC_EVENT;
    event->target = target;
    event->eventData = data;
    event->eventSize = size;
    layoutNotifyEveryHead(LAYOUT_NOTIFY_TARGET_EVENT);
}

/*
 * The record of the last served record message stays until the next one is
 * served, as a pooled message's bytes stay until the message is reused.
 */
static void *servedRecord;

static void layoutServeRecord(const uint8_t *bytes)
{
    uint32_t target;
    recordMessage_t carried;
    memcpy(&target, bytes + MESSAGE_PAYLOAD, 4);
    memcpy(&carried, bytes + MESSAGE_TARGET_DATA, sizeof carried);
    free(servedRecord);
    servedRecord = carried.record;
    layoutServeTarget(target, carried.size ? carried.record : nullptr, carried.size);
}

static void layoutServeMessage(layoutManagerMessage *message)
{
    layoutEventInfo *event = &layoutInstance.event;
    event->head = event->window = event->input = event->target = 0;
    event->headRecord = nullptr;
    event->inputRecords = nullptr;
    event->eventData = nullptr;
    event->eventSize = 0;
    event->resultStatus = LAYOUT_RESULT_STATUS_NONE;

    uint32_t kind;
    memcpy(&kind, message->bytes, 4);
    const uint8_t *payload = message->bytes + MESSAGE_PAYLOAD;
    switch (kind) {
    case LAYOUT_CLASS_PCODE_MSG:
        if (layoutPcodeDecoder(payload) == LAYOUT_RESULT_OK)
            notifySubModulesOfChange(layoutInstance.headLists[event->head], LAYOUT_NOTIFY_HEAD_EVENT);
        break;
    case SET_DEVICE_PCODE_MSG:
        if (layoutSetDeviceRegisterDecoder(payload) == LAYOUT_RESULT_OK)
            notifySubModulesOfChange(layoutInstance.headLists[event->head], LAYOUT_NOTIFY_HEAD_EVENT);
        break;
    case SAVE_CARD_CONFIG_MSG:
        layoutLoadSaveData(1);
        break;
    case VIDEO_INPUT_CHANGE_MSG:
        layoutServeVideoInputChange(payload);
        break;
    case ALL_VIDEO_INPUT_DATA_MSG:
        layoutServeAllInputs(payload);
        break;
    case TARGET_SPECIFIC_MSG: {
        uint32_t target;
        memcpy(&target, payload, 4);
        layoutServeTarget(target, message->bytes + MESSAGE_TARGET_DATA, LAYOUT_TARGET_DATA_MAX);
        break;
    }
    case TARGET_RECORD_MSG:
        layoutServeRecord(message->bytes);
        break;
    case TIMER_EXPIRED_MSG:
        layoutServeTimer(message->bytes);
        break;
    default:
        LAYOUT_LOG(LOG4C_PRIORITY_ERROR, "Unknown! event msg is %d BIG Problem!", (int)kind);
        break;
    }
}

int layoutManagerServeNext(int timeoutMs)
{
    pthread_mutex_lock(&layoutManagerQueue.mutex);
    if (g_queue_is_empty(&layoutManagerQueue.work) && !layoutManagerQueue.terminating && timeoutMs > 0) {
        struct timespec until = utilsDeadlineIn(CLOCK_MONOTONIC, timeoutMs);
        pthread_cond_timedwait(&layoutManagerQueue.condition, &layoutManagerQueue.mutex, &until);
    }
    GList *link = g_queue_pop_head_link(&layoutManagerQueue.work);
    pthread_mutex_unlock(&layoutManagerQueue.mutex);
    if (!link)
        return 0;
    layoutManagerMessage *message = (layoutManagerMessage *)link->data;
    layoutServeMessage(message);
    layoutReturnMessage(message);
    return 1;
}

static void layoutManagerHandlerInit(serviceDescriptor *service)
{
    layoutInstance.service = service;
    layoutManagerQueue.category = service->category;
    platformRegisterDeviceMemory(DEVICE_LAYOUT_MEMORY, layoutGetPrivateData(), sizeof(privateLayoutData), 1);
    LAYOUT_LOG(LOG4C_PRIORITY_NOTICE, "layoutManagerInstanceInfo size is %d!", (int)sizeof(layoutManagerInstanceInfo));
    LAYOUT_LOG(LOG4C_PRIORITY_NOTICE, "layoutManagerInstanceInfo breakdown size of privateLayoutData is %d!",
               (int)sizeof(privateLayoutData));

    /* Static configuration: a mismatch here is a build fault. */
    if (layoutInstance.lists != layoutInstance.heads) {
        LAYOUT_LOG(LOG4C_PRIORITY_FATAL,
                   "layoutManagerHandlerInit not good! killing exec number of lists %d not equal too number of heads %d!",
                   layoutInstance.lists, layoutInstance.heads);
        abort();
    }
    if (!layoutInstance.remapper) {
        LAYOUT_LOG(LOG4C_PRIORITY_FATAL,
                   "layoutManagerHandlerInit not good! killing exec have to define a pcode remapper list for all heads %d!",
                   layoutInstance.heads);
        abort();
    }

    layoutLoadSaveData(0);
    LAYOUT_LOG(LOG4C_PRIORITY_INFO, "Layout Manager LAYOUT_MANAGER_MAX_MESSAGE_SIZE is %d",
               LAYOUT_MANAGER_MAX_MESSAGE_SIZE);
    layoutInstance.data.version = LAYOUT_DATA_VERSION;

    pthread_mutex_lock(&layoutManagerQueue.mutex);
    if (!layoutManagerQueue.conditionReady) {
        pthread_condattr_t attributes;
        pthread_condattr_init(&attributes);
        pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
        pthread_cond_init(&layoutManagerQueue.condition, &attributes);
        pthread_condattr_destroy(&attributes);
        layoutManagerQueue.conditionReady = 1;
    }
    g_queue_init(&layoutManagerQueue.work);
    g_queue_init(&layoutManagerQueue.free);
    layoutManagerQueue.eventReceivedCount = 0;
    layoutManagerQueue.terminating = 0;
    for (int i = 0; i < LAYOUT_MESSAGE_POOL_SIZE; i++) {
        layoutManagerMessage *message = &layoutManagerQueue.messages[i];
        message->link.data = message;
        message->link.next = message->link.prev = nullptr;
        g_queue_push_head_link(&layoutManagerQueue.free, &message->link);
    }
    pthread_mutex_unlock(&layoutManagerQueue.mutex);

    /* Sub-modules log to the layout manager's category (those outside the head lists too). */
    for (int i = 0; layoutManagerSubmoduleInstanceAt(i); i++)
        layoutManagerSubmoduleInstanceAt(i)->descriptor->category = layoutManagerQueue.category;
}

static void layoutManagerPreStart(serviceDescriptor *service)
{
    (void)service;
    layoutEventInfo *event = &layoutInstance.event;
    for (uint32_t head = 0; head < LAYOUT_HEAD_COUNT; head++) {
        event->headEvent = FORCE_LAYOUT_EVENT;
        event->head = head;
        event->window = event->input = event->target = 0;
        notifySubModulesOfChange(layoutInstance.headLists[head], LAYOUT_NOTIFY_INIT);
        notifySubModulesOfChange(layoutInstance.headLists[head], LAYOUT_NOTIFY_HEAD_EVENT);
    }

    static pcodeHandlerInfo classHandlers[] = {
        {layoutClassPcodeHandler, PCODE_CLASS_LAYOUT, 2, nullptr},
        {layoutClassPcodeHandler, PCODE_CLASS_LAYOUT, 4, nullptr},
        {layoutClassPcodeHandler, PCODE_CLASS_LAYOUT, 3, nullptr},
        {layoutClassPcodeHandler, PCODE_CLASS_LAYOUT, 8, nullptr},
        {layoutClassPcodeHandler, PCODE_CLASS_LAYOUT, 7, nullptr},
        {layoutClassPcodeHandler, PCODE_CLASS_LAYOUT, 0, nullptr},
        {layoutClassPcodeHandler, PCODE_CLASS_LAYOUT, 6, nullptr},
        {layoutClassPcodeHandler, PCODE_CLASS_LAYOUT, 5, nullptr},
        {layoutClassPcodeHandler, PCODE_CLASS_LAYOUT, 1, nullptr},
        {layoutClassPcodeHandler, PCODE_CLASS_LAYOUT, 10, nullptr},
        {layoutClassPcodeHandler, PCODE_CLASS_LAYOUT, 9, nullptr},
        {layoutClassPcodeHandler, PCODE_CLASS_LAYOUT, 12, nullptr},
        {layoutClassPcodeHandler, PCODE_CLASS_DEVICE_ACCESS, PCODE_ID_SET_AUDIO_MONITORING_SOURCE, nullptr},
        {layoutSaveCardConfigHandler, PCODE_CLASS_DEVICE_ACCESS, PCODE_ID_SAVE_CARD_CONFIG, nullptr},
        {layoutClassPcodeHandler, PCODE_CLASS_DEVICE_ACCESS, PCODE_ID_SET_SYSTEM_FRAME_RATE, nullptr},
    };
    static setDevicePcodeHandlerInfo setDeviceHandlers[] = {
        {layoutSetDevicePcodeHandler, ANY_SLOT, ANY_DEVICE, DAC_VOLUME_REG_ID, nullptr},
        {layoutSetDevicePcodeHandler, ANY_SLOT, ANY_DEVICE, AES_VOLUME_REG_ID, nullptr},
        {layoutSetDevicePcodeHandler, ANY_SLOT, ANY_DEVICE, DELAY_REG_ID, nullptr},
    };
    /* Handlers are linked into the processor's chains: register them once per process. */
    static int registered = 0;
    if (!registered) {
        for (pcodeHandlerInfo &info : classHandlers)
            registerPcodeHandler(&info);
        for (setDevicePcodeHandlerInfo &info : setDeviceHandlers)
            registerSetDevicePcodeHandler(&info);
        registered = 1;
    }
    layoutManagerPcodeDecoderInit(&layoutInstance, layoutManagerQueue.category);
}

static void layoutManagerThreadEntry(serviceDescriptor *service)
{
    for (;;) {
        int state = service->state;
        if (state == SERVICE_STATE_PAUSE) {
            while (sem_wait(&service->semaphore) != 0 && errno == EINTR)
                ;
            continue;
        }
        if (state != SERVICE_STATE_RUN)
            break;
        layoutManagerServeNext(THREAD_WAIT_MS);
    }
}

/*
 * Wakes the layout thread so that it sees the new state. The mutex and the
 * condition stay: producers and timer expiries may still use them.
 */
static void layoutManagerTerminate(serviceDescriptor *service, int newState, int previousState)
{
    (void)service;
    (void)newState;
    (void)previousState;
    pthread_mutex_lock(&layoutManagerQueue.mutex);
    layoutManagerQueue.terminating = 1;
    pthread_cond_broadcast(&layoutManagerQueue.condition);
    pthread_mutex_unlock(&layoutManagerQueue.mutex);
}

serviceDescriptor layoutManagerService = {
    "layoutManager", "ulm.firmware.layoutMngSrvc",
    layoutManagerHandlerInit, layoutManagerPreStart, layoutManagerThreadEntry, layoutManagerTerminate,
    60, nullptr,
};
