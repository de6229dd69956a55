#ifndef KVR_STRATAPRIVATE_H
#define KVR_STRATAPRIVATE_H

/*
 * Declarations shared by the files of the strata module only: the waits the
 * link and the service use (tests shorten them), the reply slots of the timed
 * queries, the service state that message execution reaches, and the
 * operations of neighbouring frame-controller subsystems that the link calls.
 */

#include "strata/strata.h"

#include <cstddef>
#include <cstdint>
#include <log4c.h>

/* Every wait of the link and the service, in milliseconds. */
struct strataTiming_t {
    uint32_t ackWaitMs;          /* serial: wait for ACK/NACK of a packet (4 s) */
    uint32_t busyRetryMs;        /* after NACK 1 (1 s) */
    uint32_t sendRetryMs;        /* queued message retry (500 ms) */
    uint32_t sendGiveUpMs;       /* queued message give-up (30 s) */
    uint32_t pollMs;             /* one "second" of the timed queries and waits for state 3 (1 s) */
    uint32_t bridgeReconnectMs;  /* QVS bridge reconnect (2 s) */
    uint32_t flushSleepMs;       /* serial: pause before flushing after a bad start byte (3 s) */
    uint32_t monitorPeriodMs;    /* controller monitor pass (30 s) */
    uint32_t rebootPauseMs;      /* SET_IP_CONFIG before its reboot (2 s) */
    uint32_t upgradePollMs;      /* upgrade thread status poll (1 s) */
    uint32_t overrunPauseMs;     /* serial: pause after two receive errors within 100 ms (1 s) */
    uint32_t vlanRebootPauseMs;  /* rewritten VLAN or capability variables before their reboot (500 ms) */
    uint32_t menuTickMs;         /* menu timer: idle check and marquee step (400 ms) */
    uint32_t sendLimitMs;        /* one write on the port, for a peer that has stopped reading (3 s) */
    uint32_t proxyRetryMaxMs;    /* the longest pause between attempts to reach the proxy (30 s) */
};
extern strataTiming_t strataTiming;

/* Reply slots of the timed queries, written by message execution. */
struct strataReplySlots_t {
    uint8_t capabilities;
    uint8_t vlan2CardIp[26];
    uint8_t restorePointConfig;
    uint8_t frameType;
    uint8_t frameStatus[8];
    uint32_t frameIp[2];
};
/* Stores into the slots under their lock and raises the reply flag. */
void strataReplyStore(void (*store)(strataReplySlots_t *slots, const uint8_t *data, uint32_t length),
                      const uint8_t *data, uint32_t length);
void strataReplyReset(void);

/* The link's log category (set by strata_open, else the service's). */
log4c_category_t *strataCategory(void);

/* ---- service (strataService.cpp) ---- */
struct serviceDescriptor;
extern serviceDescriptor strataService;
void strataAckReceived(uint8_t error);
/* Card label (at most 7 characters); sets the received flag and relays it. */
void strataSetCardLabel(const char *label, uint32_t length);
void strataGetCardLabel(char out[STRATA_LABEL_SIZE]);
/* Holds the controller's IP_CONFIG_v2 packet (27 bytes) for the bridge. */
void strataHoldIpConfigPacket(uint32_t interfaceIndex, const uint8_t *packet, uint32_t size);
/* Relays a record to the QVS application as if the controller had sent it. 1 written. */
int strataRelayToQvs(uint16_t opcode, const uint8_t *data, uint32_t length);
/* Hands a whole packet of the link to the QVS application. 1 written. */
int strataBridgeWritePacket(const uint8_t *packet, uint32_t size);
uint32_t strataTimeUpdatesNeeded(void);
/* Time-request bookkeeping: 1 and the send time when a GET_TIME_V3 is outstanding. */
int strataTimeRequestTake(struct timespec *sentAt);
void strataTimeRequestClear(void);
void timeSyncUpdate(uint32_t argument);
/* Runs `use` on the MEM_BLOCK buffer under its lock; -1 when there is none. */
int strataWithMemBlock(int (*use)(uint8_t *buffer, uint32_t size, void *argument), void *argument);
/* Wakes the transmit thread's queue (used by the link when it queues a packet). */
/*
 * Packets the transmit queue holds at most: a whole restore point (1,312
 * messages) and more, while a peer that reads nothing cannot make it grow
 * without end.
 */
enum { STRATA_TX_QUEUE_MAX = 4096 };
/* Queues a packet for the transmit thread. 0, or -1 when the queue is full (nothing queued; DEV_ID always goes). */
int strataTxQueuePush(const strataPacket *packet, int atHead);
/* 1 when `packets` more packets fit in the transmit queue. */
int strataTxQueueHasRoom(uint32_t packets);

/* ---- message execution (strataExecute.cpp) ---- */
uint32_t strataGetUpgradeMode(void);
uint32_t strataGetUpgradeStatus(void);
/* Waits for a running upgrade thread (tests and shutdown). */
void strataJoinUpgradeThread(void);
/* Resets the time-sample counter and upgrade state (a fresh link in tests). */
void strataExecuteReset(void);

/* ---- the platform's side of the link (answers, identity, MEM_BLOCK, menu, updates, listeners) ---- */
int platformHandlePrivateStrataMessages(uint32_t source, const uint8_t *data, uint32_t length, uint16_t opcode);
int platformIsPrivateStrataMessage(uint16_t opcode);
void platformStrataDoWeHandleMenu(log4c_category_t *category);
void platformStrataPreServiceInit(log4c_category_t *category);
void platformStrataChanged(log4c_category_t *category, uint16_t opcode, uint32_t value);
void platformReportStrataControllerStatus(log4c_category_t *category, uint32_t status, uint32_t start);
int getControllerCapabilitiesAnotherWay(log4c_category_t *category, uint8_t *capabilities);
void platformStrataSetMACAddress(log4c_category_t *category, const uint8_t *data, uint32_t length);
/* The set-device register whose value says a live update started (1) or finished (0). */
#define STRATA_LIVE_UPDATE_DEVICE 30
#define STRATA_LIVE_UPDATE_REGISTER 1
/* Set-device listener: the card's status indication is on while a live update runs. */
void liveUpdateMsgProcessing(uint8_t slot, uint16_t device, uint16_t reg, uint32_t value);
int menuMessageHandler(uint32_t source, uint16_t opcode, const uint8_t *data, uint32_t length);
void platformStrataMenuRootInit(log4c_category_t *category, void *menuRoot, const char *cardLabel);
void platformNqAsiAvailability(log4c_category_t *category, uint32_t kind, uint8_t *out);
int platformAtdmAvailability(log4c_category_t *category, uint32_t kind, uint32_t index, uint8_t *out);
void platformSetMemBlockEvent(uint32_t changed);
/*
 * 1 once, when a changed MEM_BLOCK on a VLAN card of slot A or B still waits
 * for the reboot that applies it (it waits for the VLAN-2 query); else 0.
 * Clears the mark. Any thread.
 */
int strataTakeMemBlockRebootPending(void);
void platformCallScript(uint32_t flag);
int platformGetUpdateManagerLock(log4c_category_t *category);
int platformReleaseUpdateManagerLock(log4c_category_t *category);
int platformStartFtpServer(log4c_category_t *category, uint16_t port);
int platformStopFtpServer(log4c_category_t *category);
int platformStartFumUpdate(log4c_category_t *category);
int platformReadFumUpdateStatus(log4c_category_t *category, uint32_t *state, uint32_t *progress, char *text,
                                uint32_t textSize);
int platformUpgradeNeedsReboot(void);
void platformUpgradeReboot(log4c_category_t *category);
int getStrataConfigProperties(char *buffer, uint32_t size, log4c_category_t *category);
int compareMemBlock(const char *text, uint32_t length, log4c_category_t *category);
void registerStrataButtonListener(void (*callback)(uint32_t pressCount), log4c_category_t *category);
void registerTimeSyncListener(void (*callback)(uint32_t argument), log4c_category_t *category);

/* The controller's fixed link-local VLAN: the card's prefix (three octets and a dot) and the controller's address. */
#define STRATA_VLAN_PREFIX "169.254.2."
#define STRATA_VLAN_CONTROLLER "169.254.2.1"
enum { STRATA_CARD_LABEL_SIZE = 100 };

/* ---- identity (strataIdentity.cpp) ---- */
void platformSetStrataCardAndMemBlockIDs(log4c_category_t *category);
void platformSetStrataCardName(log4c_category_t *category);
void strataSetMenuConstantStrings(void);
/* The card's name on the controller's menu ("QMR-1300-D SLOT 14") and the firmware version text. */
void strataGetCardLabelText(char out[STRATA_CARD_LABEL_SIZE]);
const char *strataGetFwVersionText(void);
/* Forgets the label, the version text and the first-call flags (tests). */
void strataIdentityReset(void);
void platformSyncVlan2Address(log4c_category_t *category, uint32_t fromController, uint16_t cardId,
                              const uint8_t *address);
void platformSyncCapabilities(log4c_category_t *category, uint8_t capabilities);
/* Bit 3 of the controller status word (published with the next status report). */
void strataSetRestorePointBit(uint32_t bit);
/* The stored VLAN2_CARD_IP record: device class, three prefix bytes, number of cards, the card's byte. */
void strataGetVlan2CardIpRecord(uint8_t out[6]);
/* ---- MEM_BLOCK (strataMemBlock.cpp) ---- */
/* Chooses the active key list by slot index and VLAN use. */
void strataMemBlockSelectList(log4c_category_t *category, uint32_t slot, uint32_t vlan);
int checkForDuplicateKeys(log4c_category_t *category, const char *text, uint32_t length);
int checkPropertyValue(log4c_category_t *category, const char *name, const char *value);

/* ---- card menu (strataMenu.cpp) ---- */
enum { STRATA_MENU_STACK_SIZE = 99 };
/* Value text of an item: 1 and the text in `out`, or 0 for none. */
struct strataMenuValue_t {
    int (*get)(char *out, size_t size);
};
struct strataMenuItem_t {
    strataMenuItem_t **children;
    int32_t childCount;
    const char *title;
    const strataMenuValue_t *value;
    int32_t selected;
};
/* Key handler: one is active at a time (the navigation handler by default). */
struct strataMenuHandler_t {
    void (*next)(int32_t step);
    void (*previous)(int32_t step);
    void (*enter)(void);
    void (*back)(void);
    void (*activate)(int flag);
    int (*isActive)(void);
};
/* The card's static menu tree (a strataMenuItem_t). */
void *strataCardMenuRoot(void);
void strataMenuInit(log4c_category_t *category, strataMenuItem_t *root, const char *title);
/*
 * The drawing and navigation functions below are called with the engine's
 * mutex held: by the engine itself, or by a menu action, which runs inside the
 * handling of a key.
 */
/* Draws the dialog's two lines for the item: the title line, then its text and value (a marquee when longer). */
void abstractMenuHandler(uint32_t address, uint16_t opcode, strataMenuItem_t *item);
/* Sends one 18-byte display line (attribute 0x00 first line, 0x40 second line). */
void menuSendLine(uint32_t address, const char *text, uint8_t attribute);
/* Installs a key handler: the active one gets activate(0), the new one activate(1); nothing when already active. */
void menuSetHandler(const strataMenuHandler_t *handler);
/* Navigation stack of 99 menus: push 1, or 0 when full. */
int menuStackPush(strataMenuItem_t *item);
strataMenuItem_t *menuStackPop(void);
strataMenuItem_t *menuStackTop(void);
void menuStackClear(void);
/* One pass of the menu timer (idle close, marquee steps); the timer thread runs it every menuTickMs. */
void strataMenuTimerStep(void);
/* Moves the menu's clock forward (tests end an idle dialog without waiting). */
void strataMenuAdvanceClock(long seconds);
/* Selected index of the current menu (tests). */
int strataMenuSelected(void);
/* Ends any dialog silently and resets navigation (tests). */
void strataMenuReset(void);

/* ---- listeners (strataListeners.cpp) ---- */
/* Period of the time requests: TIME_REFRESH_IN_SECONDS raised to 300, or 100,000 when unset. */
uint32_t strataTimeRefreshSeconds(void);
/* Ends the time listener's current period at once (tests deliver the expiry instead of waiting). */
void strataTimeSyncPeriodOver(void);

/* ---- updates (strataUpdate.cpp) ---- */
/* The update lock's 10 bytes: the thread id in decimal, NUL-padded. */
void strataFormatLockOwner(char out[10]);
/* Forgets that this process took or released the update lock (tests). */
void strataUpdateLockReset(void);
/* Runs "dumpDb name" and returns the first word of its output in `out`; 0, or -1 (nothing in `out`). */
int platformCreateDbBackup(const char *name, char *out, uint32_t size);

/* Typed boot-environment parameters: setters 0 written / -1 refused; getters 0 found / 1 missing (out untouched). */
int setIpParameter(const char *name, const uint8_t value[4], log4c_category_t *category);
int getIpParameter(const char *name, uint8_t out[4], log4c_category_t *category);
int setParameterUint16(const char *name, const uint8_t value[2], log4c_category_t *category);
int getParameterUint16(const char *name, uint8_t out[2], log4c_category_t *category);
int getMacParameter(const char *name, uint8_t out[6], log4c_category_t *category);
/* 0 written, -1 when the boot environment refused the value. */
int setMacParameter(const char *name, const uint8_t value[6], log4c_category_t *category);

#endif
