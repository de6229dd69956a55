#include "strata/strataPrivate.h"

#include "fwEnv/fwEnv.h"
#include "hal/hal.h"
#include "platform/platform.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <string>
#include <unistd.h>

/*
 * The card menu on the frame controller's two-line panel: dialogs opened by
 * the controller or the card's button, key presses walking a tree of items
 * with a navigation stack, 16-character display lines, marquees for longer
 * texts and the close of a dialog left idle. One mutex guards the whole
 * engine: the receiver thread (messages) and the menu timer (idle close,
 * marquee steps) both change it.
 */

#define MENU_LOG(priority, ...) log4c_category_log(menu.category ? menu.category : strataCategory(), priority, __VA_ARGS__)

namespace {

enum {
    LINE_CHARS = 16,
    LINE_MESSAGE = 18,
    MARQUEE_TEXT_MAX = 97,
    MARQUEE_BUFFER = 101, /* 97 characters, " - " and the terminator */
    LINE2_MAX = 100,
    IDLE_SECONDS = 31,
    OPCODE_DIALOG_CLOSE = 0x0006,
    OPCODE_MENU_PING = 0x0013,
    OPCODE_CLEAR = 0x0020,
    OPCODE_LINE = 0x0021,
    OPCODE_HOME = 0x0023,
    OPCODE_PREVIOUS = 0x0024,
    OPCODE_NEXT = 0x0025,
    OPCODE_ENTER = 0x0026,
    OPCODE_BACK = 0x0027,
};

struct marquee_t {
    int active;
    uint8_t attribute;
    uint32_t offset;
    uint32_t cycleLength;
    char text[MARQUEE_BUFFER];
};

struct menuState_t {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    log4c_category_t *category = nullptr;
    strataMenuItem_t *root = nullptr;
    char title[STRATA_CARD_LABEL_SIZE] = "";
    strataMenuItem_t *currentMenu = nullptr;
    strataMenuItem_t *currentItem = nullptr;
    uint8_t dialogAddress = 0;
    int dialogOpen = 0;
    int settingsChanged = 0;
    long lastEvent = 0;
    long clockOffset = 0;
    int tickRegistered = 0;
    int timerStarted = 0;
    void (*timerCallback)(void) = nullptr;
    void (*marqueeCallback)(void) = nullptr;
    strataMenuItem_t *stack[STRATA_MENU_STACK_SIZE] = {};
    int stackCount = 0;
    const strataMenuHandler_t *handler = nullptr;
    int navigationActive = 0;
    marquee_t marquees[2] = {};
};
menuState_t menu;

long menuNow(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long)now.tv_sec + menu.clockOffset;
}

void sendEmpty(uint8_t address, uint16_t opcode)
{
    strata_sendmsg(STRATA_MSG_UNCHECKED, address, opcode, nullptr, 0);
}

/* ---- navigation handler (runs under the engine's mutex) ---- */

strataMenuItem_t *selectedChild(strataMenuItem_t *item)
{
    if (!item || item->childCount <= 0 || item->selected < 0 || item->selected >= item->childCount)
        return nullptr;
    return item->children[item->selected];
}

void menuNext(int32_t step)
{
    strataMenuItem_t *m = menu.currentMenu;
    if (!m || step < 0 || m->childCount <= 0)
        return;
    if ((int64_t)m->selected + step < m->childCount)
        m->selected += step;
    menu.currentItem = selectedChild(m);
}

void menuPrevious(int32_t step)
{
    strataMenuItem_t *m = menu.currentMenu;
    if (!m || step < 0 || m->selected == 0)
        return;
    m->selected = m->selected - step < 0 ? 0 : m->selected - step;
    menu.currentItem = selectedChild(m);
}

void menuEnter(void)
{
    strataMenuItem_t *m = menu.currentMenu;
    if (!m || m->childCount <= 0)
        return;
    if (!menuStackPush(m)) {
        MENU_LOG(LOG4C_PRIORITY_WARN, "%s: navigation stack full, staying in %s", __func__, m->title);
        return;
    }
    strataMenuItem_t *child = selectedChild(m);
    if (child && child->childCount > 0) {
        child->selected = 0;
        menu.currentMenu = child;
        menu.currentItem = child->children[0];
        return;
    }
    /* a leaf: take back only the entry this call pushed */
    menuStackPop();
}

void menuBack(void)
{
    strataMenuItem_t *previous = menuStackPop();
    if (previous)
        menu.currentMenu = previous;
    menu.currentItem = selectedChild(menu.currentMenu);
}

void navigationActivate(int flag)
{
    menu.navigationActive = flag;
}

int navigationIsActive(void)
{
    return menu.navigationActive;
}

const strataMenuHandler_t navigationHandler = {menuNext, menuPrevious, menuEnter, menuBack, navigationActivate,
                                               navigationIsActive};

/* ---- display ---- */

void sendLineLocked(uint8_t address, const char *text, uint8_t attribute, uint32_t size)
{
    uint8_t message[LINE_MESSAGE];
    message[0] = attribute;
    memset(message + 1, ' ', LINE_CHARS);
    size_t length = strnlen(text, LINE_CHARS);
    memcpy(message + 1, text, length);
    message[LINE_MESSAGE - 1] = 0;
    strata_sendmsg(STRATA_MSG_UNCHECKED, address, OPCODE_LINE, message, size);
}

void marqueeStopLocked(int line)
{
    menu.marquees[line].active = 0;
}

void menuMarqueeStepLocked(void)
{
    if (!menu.dialogOpen)
        return;
    for (marquee_t &m : menu.marquees) {
        if (!m.active || m.cycleLength == 0)
            continue;
        char frame[LINE_CHARS + 1];
        for (uint32_t i = 0; i < LINE_CHARS; i++)
            frame[i] = m.text[(m.offset + i) % m.cycleLength];
        frame[LINE_CHARS] = 0;
        sendLineLocked(menu.dialogAddress, frame, m.attribute, LINE_CHARS + 1);
        m.offset++;
        if (m.offset > m.cycleLength)
            m.offset = 0;
    }
}

void menuMarqueeStep(void)
{
    pthread_mutex_lock(&menu.mutex);
    menuMarqueeStepLocked();
    pthread_mutex_unlock(&menu.mutex);
}

void marqueeStartLocked(int line, uint8_t attribute, const char *text)
{
    marquee_t &m = menu.marquees[line];
    size_t length = strnlen(text, MARQUEE_TEXT_MAX);
    memcpy(m.text, text, length);
    memcpy(m.text + length, " - ", 4);
    m.cycleLength = (uint32_t)length + 3;
    m.attribute = attribute;
    m.offset = 0;
    m.active = 1;
    menu.marqueeCallback = menuMarqueeStep;
}

void abstractMenuHandlerLocked(uint8_t address, uint16_t opcode, strataMenuItem_t *item)
{
    MENU_LOG(LOG4C_PRIORITY_DEBUG, "IN %s (%d, %d, 0x%x)", __func__, address, menu.stackCount, opcode);
    strataMenuItem_t *top = menu.stackCount ? menu.stack[menu.stackCount - 1] : nullptr;
    strataMenuItem_t *titled = top ? selectedChild(top) : nullptr;
    const char *title = titled && titled->title ? titled->title : menu.title;
    sendEmpty(address, OPCODE_CLEAR);
    sendEmpty(address, OPCODE_HOME);
    marqueeStopLocked(0);
    sendLineLocked(address, title, 0x00, LINE_MESSAGE);
    if (strlen(title) > LINE_CHARS)
        marqueeStartLocked(0, 0x00, title);

    /* a root without children leaves no item: the second line stays empty */
    std::string line2;
    if (item) {
        line2 = item->title ? std::string(item->title).substr(0, LINE2_MAX) : std::string();
        char value[LINE2_MAX + 1] = "";
        if (item->value && item->value->get && item->value->get(value, sizeof value) == 1)
            line2 += value;
        if (line2.size() > LINE2_MAX)
            line2.resize(LINE2_MAX);
    }
    marqueeStopLocked(1);
    if (line2.size() <= LINE_CHARS)
        sendLineLocked(address, line2.c_str(), 0x40, LINE_MESSAGE);
    else
        marqueeStartLocked(1, 0x40, line2.c_str());
    MENU_LOG(LOG4C_PRIORITY_DEBUG, "OUT %s (%d, %d, 0x%x)", __func__, address, menu.stackCount, opcode);
}

/* ---- dialogs ---- */

void setHandlerLocked(const strataMenuHandler_t *handler)
{
    if (menu.handler == handler && handler->isActive())
        return;
    if (menu.handler)
        menu.handler->activate(0);
    menu.handler = handler;
    handler->activate(1);
}

void resetNavigationLocked(void)
{
    if (menu.handler != &navigationHandler || !navigationHandler.isActive())
        setHandlerLocked(&navigationHandler);
    menu.currentMenu = menu.root;
    if (menu.root)
        menu.root->selected = 0;
    menu.stackCount = 0;
    menu.currentItem = selectedChild(menu.root);
}

void *menuTimerThread(void *)
{
    for (;;) {
        uint32_t ms = strataTiming.menuTickMs;
        struct timespec pause = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
        nanosleep(&pause, nullptr);
        strataMenuTimerStep();
    }
    return nullptr;
}

void TICK(void);

void registerTimerListenerLocked(void)
{
    MENU_LOG(LOG4C_PRIORITY_DEBUG, "%s IN", "registerTimerListener");
    if (menu.tickRegistered) {
        MENU_LOG(LOG4C_PRIORITY_DEBUG, "%s registerTimerListener was called already. Ignored", "registerTimerListener");
        return;
    }
    menu.tickRegistered = 1;
    menu.timerCallback = TICK;
    if (menu.timerStarted)
        return;
    if (halStartDetachedThread(menuTimerThread, nullptr, nullptr) == 0)
        menu.timerStarted = 1;
    else
        MENU_LOG(LOG4C_PRIORITY_ERROR, "%s failed to start thread", "registerTimerListener");
}

void dialogStartLocked(uint8_t address, uint16_t opcode)
{
    menu.dialogAddress = address;
    resetNavigationLocked();
    abstractMenuHandlerLocked(address, opcode, menu.root);
    abstractMenuHandlerLocked(address, opcode, menu.currentItem);
    menu.dialogOpen = 1;
    const uint32_t on = 1;
    platformSetStatusLedIndication(&on);
}

void dialogEndLocked(uint8_t address, int silent)
{
    if (menu.handler)
        menu.handler->activate(0);
    menu.dialogOpen = 0;
    menu.dialogAddress = 0;
    marqueeStopLocked(0);
    marqueeStopLocked(1);
    const uint32_t off = 0;
    platformSetStatusLedIndication(&off);
    if (!silent) {
        sendEmpty(address, OPCODE_HOME);
        sendEmpty(address, OPCODE_CLEAR);
    }
    if (menu.settingsChanged)
        MENU_LOG(LOG4C_PRIORITY_WARN, "Network settings have changed. Rebooting");
}

enum dialogEvent_t { EVENT_OPEN, EVENT_CLOSE, EVENT_BUTTON, EVENT_ACTIVITY };

void dialogEventLocked(dialogEvent_t event, uint8_t address, uint16_t opcode)
{
    menu.lastEvent = menuNow();
    switch (event) {
    case EVENT_OPEN:
        dialogStartLocked(address, opcode);
        break;
    case EVENT_CLOSE:
        dialogEndLocked(menu.dialogAddress, 1);
        break;
    case EVENT_BUTTON:
        if (!menu.dialogAddress) {
            dialogStartLocked(address, opcode);
        } else if (menu.dialogAddress == STRATA_CONTROLLER_ADDRESS) {
            dialogEndLocked(menu.dialogAddress, 0);
        } else {
            dialogEndLocked(menu.dialogAddress, 0);
            dialogStartLocked(address, opcode);
        }
        break;
    case EVENT_ACTIVITY:
        break;
    }
    if (menu.dialogOpen)
        registerTimerListenerLocked();
}

void TICK(void)
{
    MENU_LOG(LOG4C_PRIORITY_INFO, "TICK");
    if (menu.dialogOpen && menuNow() - menu.lastEvent >= IDLE_SECONDS) {
        dialogEndLocked(menu.dialogAddress, 0);
        menu.lastEvent = menuNow();
    }
}

/* ---- the card's menu tree ---- */

int firmwareVersionValue(char *out, size_t size)
{
    snprintf(out, size, "%s", strataGetFwVersionText());
    return 1;
}

int updateVersionValue(char *out, size_t size)
{
    uint8_t version[3];
    platformGetUpdateVersion(version);
    snprintf(out, size, "%d.%d.%d", version[0], version[1], version[2]);
    return 1;
}

int envValue(const char *name, char *out, size_t size)
{
    if (fwEnvGetEnvCopy(name, out, size) != 0)
        snprintf(out, size, "-");
    return 1;
}

int ipValue(char *out, size_t size) { return envValue("ipaddr", out, size); }
int netmaskValue(char *out, size_t size) { return envValue("netmask", out, size); }
int gatewayValue(char *out, size_t size) { return envValue("gatewayip", out, size); }

const strataMenuValue_t firmwareVersion = {firmwareVersionValue};
const strataMenuValue_t updateVersion = {updateVersionValue};
const strataMenuValue_t ipAddress = {ipValue};
const strataMenuValue_t netmask = {netmaskValue};
const strataMenuValue_t gateway = {gatewayValue};

strataMenuItem_t itemIp = {nullptr, 0, "IP ", &ipAddress, 0};
strataMenuItem_t itemNetmask = {nullptr, 0, "Mask ", &netmask, 0};
strataMenuItem_t itemGateway = {nullptr, 0, "Gw ", &gateway, 0};
strataMenuItem_t *networkChildren[] = {&itemIp, &itemNetmask, &itemGateway};
strataMenuItem_t itemNetwork = {networkChildren, 3, "Network", nullptr, 0};
strataMenuItem_t itemFirmware = {nullptr, 0, "FW ", &firmwareVersion, 0};
strataMenuItem_t itemUpdate = {nullptr, 0, "Update ", &updateVersion, 0};
strataMenuItem_t *rootChildren[] = {&itemFirmware, &itemUpdate, &itemNetwork};
strataMenuItem_t cardMenuRoot = {rootChildren, 3, "Card", nullptr, 0};

} // namespace

/* ---- interfaces ---- */

void *strataCardMenuRoot(void)
{
    return &cardMenuRoot;
}

int menuStackPush(strataMenuItem_t *item)
{
    if (menu.stackCount >= STRATA_MENU_STACK_SIZE)
        return 0;
    menu.stack[menu.stackCount++] = item;
    return 1;
}

strataMenuItem_t *menuStackPop(void)
{
    return menu.stackCount ? menu.stack[--menu.stackCount] : nullptr;
}

strataMenuItem_t *menuStackTop(void)
{
    return menu.stackCount ? menu.stack[menu.stackCount - 1] : nullptr;
}

void menuStackClear(void)
{
    menu.stackCount = 0;
}

void strataMenuInit(log4c_category_t *category, strataMenuItem_t *root, const char *title)
{
    pthread_mutex_lock(&menu.mutex);
    menu.category = category;
    menu.root = root;
    snprintf(menu.title, sizeof menu.title, "%s", title ? title : "");
    menu.settingsChanged = 0;
    resetNavigationLocked();
    pthread_mutex_unlock(&menu.mutex);
}

void platformStrataMenuRootInit(log4c_category_t *category, void *menuRoot, const char *cardLabel)
{
    (void)cardLabel;
    char label[STRATA_CARD_LABEL_SIZE];
    strataGetCardLabelText(label);
    strataLinkConfiguration.strataMenuRoot = &cardMenuRoot;
    strataMenuInit(category, menuRoot ? (strataMenuItem_t *)menuRoot : &cardMenuRoot, label);
}

void menuSetHandler(const strataMenuHandler_t *handler)
{
    pthread_mutex_lock(&menu.mutex);
    setHandlerLocked(handler);
    pthread_mutex_unlock(&menu.mutex);
}

void menuSendLine(uint32_t address, const char *text, uint8_t attribute)
{
    pthread_mutex_lock(&menu.mutex);
    sendLineLocked((uint8_t)address, text, attribute, LINE_MESSAGE);
    pthread_mutex_unlock(&menu.mutex);
}

void abstractMenuHandler(uint32_t address, uint16_t opcode, strataMenuItem_t *item)
{
    pthread_mutex_lock(&menu.mutex);
    abstractMenuHandlerLocked((uint8_t)address, opcode, item);
    pthread_mutex_unlock(&menu.mutex);
}

int menuMessageHandler(uint32_t source, uint16_t opcode, const uint8_t *data, uint32_t length)
{
    uint8_t address = (uint8_t)source;
    MENU_LOG(LOG4C_PRIORITY_DEBUG, "%s: IN", __func__);
    int32_t step = data && length >= 1 ? data[0] : 0;
    if ((opcode == OPCODE_PREVIOUS || opcode == OPCODE_NEXT) && !(data && length >= 1))
        MENU_LOG(LOG4C_PRIORITY_WARN, "%s: key 0x%04X without its step byte; not moving", __func__, opcode);
    switch (opcode) {
    case STRATA_OPCODE_MENU:
    case OPCODE_DIALOG_CLOSE:
    case OPCODE_MENU_PING:
    case OPCODE_CLEAR:
    case OPCODE_LINE:
    case OPCODE_PREVIOUS:
    case OPCODE_NEXT:
    case OPCODE_ENTER:
    case OPCODE_BACK:
        strata_send_ack(address);
        break;
    case STRATA_OPCODE_BUTTON:
        break;
    default:
        return 0;
    }
    pthread_mutex_lock(&menu.mutex);
    int dialog = menu.dialogAddress != 0;
    switch (opcode) {
    case STRATA_OPCODE_MENU:
        dialogEventLocked(dialog ? EVENT_CLOSE : EVENT_OPEN, address, opcode);
        break;
    case OPCODE_DIALOG_CLOSE:
        dialogEventLocked(EVENT_CLOSE, address, opcode);
        break;
    case STRATA_OPCODE_BUTTON:
        dialogEventLocked(EVENT_BUTTON, address, opcode);
        break;
    case OPCODE_MENU_PING:
        break;
    default:
        if (!dialog)
            break;
        dialogEventLocked(EVENT_ACTIVITY, address, opcode);
        if (opcode == OPCODE_PREVIOUS)
            menu.handler->previous(step);
        else if (opcode == OPCODE_NEXT)
            menu.handler->next(step);
        else if (opcode == OPCODE_ENTER)
            menu.handler->enter();
        else if (opcode == OPCODE_BACK)
            menu.handler->back();
        abstractMenuHandlerLocked(address, opcode, menu.currentItem);
        break;
    }
    pthread_mutex_unlock(&menu.mutex);
    return 1;
}

void strataMenuTimerStep(void)
{
    pthread_mutex_lock(&menu.mutex);
    if (menu.timerCallback)
        menu.timerCallback();
    if (menu.marqueeCallback)
        menuMarqueeStepLocked();
    pthread_mutex_unlock(&menu.mutex);
}

void strataMenuAdvanceClock(long seconds)
{
    pthread_mutex_lock(&menu.mutex);
    menu.clockOffset += seconds;
    pthread_mutex_unlock(&menu.mutex);
}

int strataMenuSelected(void)
{
    pthread_mutex_lock(&menu.mutex);
    int selected = menu.currentMenu ? menu.currentMenu->selected : -1;
    pthread_mutex_unlock(&menu.mutex);
    return selected;
}

void strataMenuReset(void)
{
    pthread_mutex_lock(&menu.mutex);
    menu.dialogOpen = 0;
    menu.dialogAddress = 0;
    menu.marquees[0].active = menu.marquees[1].active = 0;
    menu.settingsChanged = 0;
    resetNavigationLocked();
    pthread_mutex_unlock(&menu.mutex);
}
