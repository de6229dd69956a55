#include "ledManager/ledManager.h"

#include "hal/hal.h"
#include "pcodeProcessor/pcodeProcessor.h"
#include "platform/platform.h"
#include "serviceManager/serviceManager.h"
#include "utils/utils.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

static const char *const colourNames[] = {"Black", "Green", "Red", "Yellow", "Red/Green", "Green/Yellow"};
static const char *const stateNames[] = {"On", "Off", "OnBlink", "OffBlink"};

#define NAME_OF(table, index) ((index) < sizeof(table) / sizeof((table)[0]) ? (table)[index] : "?")

static const ledManagerLed_t initialLeds[LED_MANAGER_LED_COUNT] = {
    {3, 0, 0, 3, 1, 0, nullptr, nullptr, -1, -1},
    {2, 1, 0, 3, 1, 0, nullptr, nullptr, -1, -1},
    {4, 0, 0, 3, 0, 1, nullptr, nullptr, -1, -1},
};

static struct {
    log4c_category_t *category;
    pthread_mutex_t mutex;
    uint16_t ledCount;
    ledManagerLed_t leds[LED_MANAGER_LED_COUNT];
    ledControlRequest clients[LED_MANAGER_LED_COUNT][LED_MANAGER_CLIENTS_MAX];
    uint32_t clientCount[LED_MANAGER_LED_COUNT];
    ledControlRequest pcodeRequest; /* callerId stays as the last pcode left it */
} ledManager = {nullptr, PTHREAD_MUTEX_INITIALIZER, LED_MANAGER_LED_COUNT, {}, {}, {}, {}};

static const struct {
    uint32_t colour;
    uint32_t state;
    uint32_t priority;
} colourStatePriorities[] = {
    {LED_COLOUR_GREEN_YELLOW, LED_STATE_ON_BLINK, 100}, {LED_COLOUR_YELLOW, LED_STATE_ON_BLINK, 90},
    {LED_COLOUR_RED_GREEN, LED_STATE_ON_BLINK, 80},     {LED_COLOUR_RED, LED_STATE_ON_BLINK, 70},
    {LED_COLOUR_RED, LED_STATE_ON, 60},                 {LED_COLOUR_YELLOW, LED_STATE_ON, 50},
    {LED_COLOUR_GREEN, LED_STATE_ON, 40},
};

void ledManagerReset(void)
{
    pthread_mutex_lock(&ledManager.mutex);
    memcpy(ledManager.leds, initialLeds, sizeof initialLeds);
    memset(ledManager.clients, 0, sizeof ledManager.clients);
    memset(ledManager.clientCount, 0, sizeof ledManager.clientCount);
    pthread_mutex_unlock(&ledManager.mutex);
}

uint32_t ledManagerColourStatePriority(log4c_category_t *category, uint32_t colour, uint32_t state)
{
    for (const auto &row : colourStatePriorities)
        if (row.colour == colour && row.state == state)
            return row.priority;
    log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                       "%s: LED Ctrl Req: Get Priority Error, unkown color/state combination. Color %d, State %d. "
                       "setting it lowest priority.",
                       __func__, colour, state);
    return 0;
}

/* Table index of an LED id, or -1. */
static int ledIndex(uint32_t ledId)
{
    for (int i = 0; i < ledManager.ledCount && i < LED_MANAGER_LED_COUNT; i++)
        if (ledManager.leds[i].ledId == ledId)
            return i;
    return -1;
}

/*
 * The client that controls an LED: the enabled client of highest priority,
 * the requester first among equals; with no enabled client the requester
 * (which then releases the LED).
 */
static int chooseClient(log4c_category_t *category, int index, int requester)
{
    const ledControlRequest *clients = ledManager.clients[index];
    uint32_t count = ledManager.clientCount[index];
    int chosen = -1;
    if (requester >= 0 && clients[requester].enable == 1)
        chosen = requester;
    for (uint32_t i = 0; i < count; i++) {
        if (clients[i].enable != 1)
            continue;
        if (chosen < 0 || clients[i].priority > clients[chosen].priority) {
            chosen = (int)i;
            log4c_category_log(category, LOG4C_PRIORITY_DEBUG,
                               "%s: LED Ctrl Req: Client %d has the highest Thread priority (%d).", __func__, i,
                               clients[i].priority);
        }
    }
    if (chosen < 0)
        return requester >= 0 ? requester : 0;
    if (ledManager.leds[index].ledId != LED_ID_FRAME)
        return chosen;
    for (uint32_t i = 0; i < count; i++) {
        if (clients[i].enable != 1 || clients[i].priority != clients[chosen].priority || (int)i == chosen)
            continue;
        uint32_t previous = ledManagerColourStatePriority(category, clients[chosen].colour, clients[chosen].state);
        uint32_t current = ledManagerColourStatePriority(category, clients[i].colour, clients[i].state);
        log4c_category_log(category, LOG4C_PRIORITY_DEBUG,
                           "%s: LED Ctrl Req: Strata Led Priority Check: Previous client: %d, %s %s priority %d, Current "
                           "client: %d %s %s priority %d.",
                           __func__, chosen, NAME_OF(colourNames, clients[chosen].colour),
                           NAME_OF(stateNames, clients[chosen].state), previous, i, NAME_OF(colourNames, clients[i].colour),
                           NAME_OF(stateNames, clients[i].state), current);
        if (previous < current) {
            log4c_category_log(category, LOG4C_PRIORITY_DEBUG,
                               "%s: LED Ctrl Req: Priority of previous client is lower than current (%d < %d);", __func__,
                               previous, current);
            chosen = (int)i;
        }
    }
    return chosen;
}

void ledManager_LedControlRequest(log4c_category_t *category, const ledControlRequest *request)
{
    if (!request) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "LED Ctrl Req: %s: bad arguments.\n", __func__);
        return;
    }
    pthread_mutex_lock(&ledManager.mutex);
    if (ledManager.ledCount > LED_MANAGER_LED_COUNT) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: LED Ctrl Req: ERROR!!! More LEDs defined than the LED Manager Service can handle!!! Not "
                           "handling any LEDS.",
                           __func__);
        pthread_mutex_unlock(&ledManager.mutex);
        return;
    }
    if (request->enable == 1)
        log4c_category_log(category, LOG4C_PRIORITY_DEBUG,
                           "%s: LED Ctrl Req: Led id %d requested to setTheLed, color: %s, state: %s, priority: %d, blink "
                           "count: %d, blink rate: %d.",
                           __func__, request->ledId, NAME_OF(colourNames, request->colour),
                           NAME_OF(stateNames, request->state), request->priority, request->blinkCount,
                           request->blinkRate);
    else
        log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "%s: LED Ctrl Req: Led id %d requested to release the LED.",
                           __func__, request->ledId);
    int index = ledIndex(request->ledId);
    if (index < 0) {
        /* Another LED's clients must not be disturbed by a request for an LED that does not exist. */
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: LED Ctrl Req: Did not find the Led id %d in the list. Request refused.", __func__,
                           request->ledId);
        pthread_mutex_unlock(&ledManager.mutex);
        return;
    }
    ledControlRequest *clients = ledManager.clients[index];
    uint32_t &count = ledManager.clientCount[index];
    int requester = -1;
    for (uint32_t i = 0; i < count; i++) {
        if (clients[i].callerId == request->callerId && clients[i].virtualId == request->virtualId) {
            log4c_category_log(category, LOG4C_PRIORITY_DEBUG,
                               "%s: LED Ctrl Req: This client is already known. Id %d, Virtual Id %d, caller id %d.",
                               __func__, i, request->virtualId, request->callerId);
            clients[i] = *request;
            requester = (int)i;
            break;
        }
    }
    if (requester < 0 && count >= LED_MANAGER_CLIENTS_MAX) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: LED Ctrl Req: Error too many Clients trying to control the led index %d (LED id %d).",
                           __func__, index, request->ledId);
    } else if (requester < 0) {
        clients[count] = *request;
        requester = (int)count;
        count++;
        log4c_category_log(category, LOG4C_PRIORITY_DEBUG,
                           "%s: LED Ctrl Req: Adding Client to the List. Led Index %d, Client index %d, caller id %d.",
                           __func__, index, requester, request->callerId);
    }
    log4c_category_log(category, LOG4C_PRIORITY_DEBUG,
                       "%s: LED Ctrl Req: Led Id %d (index %d) amountOfClients %d (amountOfClients should always be more "
                       "than 0)",
                       __func__, request->ledId, index, count);
    if (count == 0) {
        pthread_mutex_unlock(&ledManager.mutex);
        return;
    }
    int chosen = chooseClient(category, index, requester);
    const ledControlRequest &winner = clients[chosen];
    log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "%s: LED Ctrl Req: Client %d will control the LED! color: %s, state: %s",
                       __func__, chosen, NAME_OF(colourNames, winner.colour), NAME_OF(stateNames, winner.state));
    if (request->enable != 1)
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                           "%s: LED Ctrl: Received Disable Led. Client id %d requested to release the LED %d. So Client "
                           "%d will control the led: color: %s, state: %s.",
                           __func__, request->callerId, request->ledId, chosen, NAME_OF(colourNames, winner.colour),
                           NAME_OF(stateNames, winner.state));
    else if (chosen != requester)
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                           "%s: LED Ctrl: Received Enable Led. Client %d wants to set LED %d to color: %s, state: %s. But "
                           "it doesn't have the highest priority. So Client %d will control the led: color: %s, state: "
                           "%s.",
                           __func__, request->callerId, request->ledId, NAME_OF(colourNames, request->colour),
                           NAME_OF(stateNames, request->state), chosen, NAME_OF(colourNames, winner.colour),
                           NAME_OF(stateNames, winner.state));
    else
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                           "%s: LED Ctrl: Received Enable Led. Client %d wants to set LED %d to color: %s, state: %s. It "
                           "will control the LED.",
                           __func__, request->callerId, request->ledId, NAME_OF(colourNames, request->colour),
                           NAME_OF(stateNames, request->state));
    ledManagerLed_t &led = ledManager.leds[index];
    uint8_t enabled = winner.enable == 1 ? 1 : 0;
    bool changed = led.blinkCount != winner.blinkCount || led.blinkRate != winner.blinkRate ||
                   led.colour != (uint8_t)winner.colour || led.enabled != enabled || led.state != winner.state;
    led.blinkCount = winner.blinkCount;
    led.blinkRate = winner.blinkRate;
    led.colour = (uint8_t)winner.colour;
    led.enabled = enabled;
    led.state = winner.state;
    uint32_t ledId = led.ledId;
    pthread_mutex_unlock(&ledManager.mutex);
    /* Outside the mutex: the hook asks getLedState for the new setting. */
    if (changed)
        platformStrataLedBehaviourChanged(category, ledId);
}

int getLedState(log4c_category_t *category, uint32_t ledId, uint32_t *colour, uint32_t *state)
{
    pthread_mutex_lock(&ledManager.mutex);
    int index = ledIndex(ledId);
    if (index >= 0) {
        if (colour)
            *colour = ledManager.leds[index].colour;
        if (state)
            *state = ledManager.leds[index].state;
    }
    pthread_mutex_unlock(&ledManager.mutex);
    if (index < 0) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: Could not find Led Id %d in led list.", "getLedState",
                           ledId);
        return 4;
    }
    return 0;
}

int ledManagerGetLed(uint32_t ledId, ledManagerLed_t *out)
{
    pthread_mutex_lock(&ledManager.mutex);
    int index = ledIndex(ledId);
    if (index >= 0 && out)
        *out = ledManager.leds[index];
    pthread_mutex_unlock(&ledManager.mutex);
    return index >= 0 ? 0 : 4;
}

void ledManagerBlinkStep(void)
{
    for (int i = 0; i < ledManager.ledCount && i < LED_MANAGER_LED_COUNT; i++) {
        pthread_mutex_lock(&ledManager.mutex);
        ledManagerLed_t &led = ledManager.leds[i];
        bool drive = true;
        if (!led.enabled) {
            led.state = LED_STATE_OFF;
        } else if (led.blinkCount == 0) {
            drive = led.state == LED_STATE_ON || led.state == LED_STATE_OFF;
        } else {
            if (led.blinkCount != LED_BLINK_FOREVER) {
                log4c_category_log(ledManager.category, LOG4C_PRIORITY_WARN,
                                   "%s: LED Ctrl: Blink count of %d (0x%02x) is not yet implemented, Only 0=NoBlink, or "
                                   "0xFF=ForeverBlink. Changing Blink Count to blink forever.",
                                   __func__, led.blinkCount, led.blinkCount);
                led.blinkCount = LED_BLINK_FOREVER;
            }
            led.state = led.state == LED_STATE_ON_BLINK ? LED_STATE_OFF_BLINK : LED_STATE_ON_BLINK;
        }
        ledManagerLed_t snapshot = led;
        pthread_mutex_unlock(&ledManager.mutex);
        if (drive)
            platformCtrlLed(snapshot.state, snapshot.ledId, snapshot.colour, snapshot.state);
    }
}

/* The pcode's LED id and virtual id; 0 when the pcode names no LED of the table. */
static int pcodeLedIds(const uint8_t *pcode, uint32_t *ledId, uint32_t *virtualId)
{
    uint8_t id = pcode[5];
    if (id & 0x80) {
        *ledId = LED_ID_FRAME;
        *virtualId = id;
        return 1;
    }
    pthread_mutex_lock(&ledManager.mutex);
    int index = ledIndex(id);
    pthread_mutex_unlock(&ledManager.mutex);
    *ledId = id;
    *virtualId = 0;
    return index >= 0;
}

void enableLedHandler(const uint8_t *pcode, uint32_t length)
{
    log4c_category_t *category = ledManager.category;
    if (!pcode || length != LED_MANAGER_PCODE_ENABLE_LENGTH) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: LED Ctrl: enable pcode of length %u ignored", __func__,
                           length);
        return;
    }
    uint32_t ledId, virtualId;
    if (!pcodeLedIds(pcode, &ledId, &virtualId))
        return;
    if (virtualId)
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                           "%s: LED Ctrl: Received an Enable LED pcode with Virtual id %d (0x%02x).", __func__, virtualId,
                           virtualId);
    else
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: LED Ctrl: Received an Enable LED pcode with Legacy id %d.",
                           __func__, ledId);
    ledControlRequest &request = ledManager.pcodeRequest;
    request.ledId = ledId;
    request.virtualId = virtualId;
    request.blinkCount = pcode[6];
    request.blinkRate = pcode[7];
    request.colour = pcode[8];
    request.state = pcode[6] ? LED_STATE_ON_BLINK : LED_STATE_ON;
    request.enable = 1;
    request.priority = (virtualId || ledId == LED_ID_FRAME) ? 20 : 0;
    ledManager_LedControlRequest(category, &request);
}

void disableLedHandler(const uint8_t *pcode, uint32_t length)
{
    log4c_category_t *category = ledManager.category;
    if (!pcode || length != LED_MANAGER_PCODE_DISABLE_LENGTH) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: LED Ctrl: disable pcode of length %u ignored", __func__,
                           length);
        return;
    }
    uint32_t ledId, virtualId;
    if (!pcodeLedIds(pcode, &ledId, &virtualId))
        return;
    if (virtualId)
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                           "%s: LED Ctrl: Received an Disable LED pcode with Virtual id %d (0x%02x).", __func__,
                           virtualId, virtualId);
    else
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: LED Ctrl: Received an Disable LED pcode with Legacy id %d.",
                           __func__, ledId);
    ledControlRequest &request = ledManager.pcodeRequest;
    request.ledId = ledId;
    request.virtualId = virtualId;
    request.blinkCount = 0;
    request.blinkRate = 0;
    request.colour = 0;
    request.state = LED_STATE_OFF;
    request.enable = 0;
    request.priority = 0;
    ledManager_LedControlRequest(category, &request);
}

static pcodeHandlerInfo enableLedPcode = {enableLedHandler, LED_MANAGER_PCODE_CLASS, LED_MANAGER_PCODE_ENABLE, nullptr};
static pcodeHandlerInfo disableLedPcode = {disableLedHandler, LED_MANAGER_PCODE_CLASS, LED_MANAGER_PCODE_DISABLE, nullptr};

static void ledManagerInit(serviceDescriptor *service)
{
    ledManager.category = service->category;
    platformRegisterLedManager(ledManager_LedControlRequest, getLedState);
    ledManagerReset();
    if (ledManager.ledCount > LED_MANAGER_LED_COUNT) {
        log4c_category_log(service->category, LOG4C_PRIORITY_ERROR,
                           "ERROR!!! %s More LEDs defined than the LED Manager Service can handle!!! Not handling any "
                           "LEDS.",
                           "ledManagerInit");
        return;
    }
    for (ledManagerLed_t &led : ledManager.leds) {
        if (led.devicePath1 && (led.fd1 = open(halPath(led.devicePath1).c_str(), O_RDWR)) < 0)
            log4c_category_log(service->category, LOG4C_PRIORITY_ERROR, "%s: Failed to open led/gpio dev %s\n", __func__,
                               led.devicePath1);
        if (led.devicePath2 && (led.fd2 = open(halPath(led.devicePath2).c_str(), O_RDWR)) < 0)
            log4c_category_log(service->category, LOG4C_PRIORITY_ERROR, "%s: Failed to open led/gpio dev %s\n", __func__,
                               led.devicePath2);
    }
}

static void ledManagerPreStart(serviceDescriptor *service)
{
    (void)service;
    static int registered = 0;
    if (registered)
        return;
    registered = 1;
    registerPcodeHandler(&enableLedPcode);
    registerPcodeHandler(&disableLedPcode);
}

/* Waits on the service semaphore for at most `ms`; a post (pause, terminate) ends it early. */
static void waitOnService(serviceDescriptor *service, int ms)
{
    struct timespec until = utilsDeadlineIn(CLOCK_REALTIME, ms);
    while (sem_timedwait(&service->semaphore, &until) != 0 && errno == EINTR)
        ;
}

static void ledManagerThreadEntry(serviceDescriptor *service)
{
    while (service->state == SERVICE_STATE_RUN || service->state == SERVICE_STATE_PAUSE) {
        if (service->state == SERVICE_STATE_PAUSE) {
            while (sem_wait(&service->semaphore) != 0 && errno == EINTR)
                ;
            continue;
        }
        waitOnService(service, LED_MANAGER_BLINK_MS);
        if (service->state != SERVICE_STATE_RUN)
            continue;
        serviceThreadAlive(9);
        ledManagerBlinkStep();
    }
}

static void ledManagerControl(serviceDescriptor *service, int newState, int previousState)
{
    (void)service;
    (void)newState;
    (void)previousState;
    for (ledManagerLed_t &led : ledManager.leds) {
        if (led.fd1 >= 0)
            close(led.fd1);
        if (led.fd2 >= 0)
            close(led.fd2);
        led.fd1 = led.fd2 = -1;
    }
}

serviceDescriptor ledManagerService = {
    "ledManager", "ulm.firmware.ledManagerSrvc",
    ledManagerInit, ledManagerPreStart, ledManagerThreadEntry, ledManagerControl,
    15, nullptr,
};
