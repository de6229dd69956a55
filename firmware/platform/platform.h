#ifndef KVR_PLATFORM_H
#define KVR_PLATFORM_H

/*
 * Layer: devices/platform. May include hal, utils, utilsHost, fwEnv, deviceManager
 * and qvsInterface; never a service. Services lend the platform what it needs of
 * them through the hooks below, registered from their init functions.
 *
 * The platform layer: what card the firmware runs on. The start-up fills the
 * platform record once, before the services start; afterwards everyone reads
 * it through the getters below. The layer also offers the device read/write
 * services over every device id, the reboot and factory-default steps, the
 * FPGA version check, the card's status block, GPIO lines, LEDs and debug lines.
 *
 * Getters may be called from any thread once the start-up has filled the record.
 */

#include <cstdint>
#include <log4c.h>

enum {
    PLATFORM_REAR_NONE = 31,
    PLATFORM_REAR_TYPE_MAX = 31,
    PLATFORM_CARD_TYPE_MAX = 7,
    PLATFORM_CARD_SLOT_COUNT = 6,
    PLATFORM_CARDS_IN_A_SYSTEM_MAX = 8,
    PLATFORM_FPGA_PROJECT_ID = 3033,
    PLATFORM_REBOOT_CONFIRMATION = 3358,
    PLATFORM_DEVICE_DONE = 1,
    PLATFORM_DEVICE_REFUSED = 0,
    PLATFORM_FPGA_FSM = 0,
    PLATFORM_FPGA_DPS = 1,
};

/* cardStatusBlock words written at start-up (byte offsets in the card's own block). */
enum {
    PLATFORM_BLOCK_PRESENT = 0,
    PLATFORM_BLOCK_WORD4 = 4,
    PLATFORM_BLOCK_WORD6 = 6,
    PLATFORM_BLOCK_CARD_ID = 8,
    PLATFORM_BLOCK_FSM_VERSION = 16,
    PLATFORM_BLOCK_DPS_VERSION = 22,
    PLATFORM_BLOCK_SERIAL_1 = 28,
    PLATFORM_BLOCK_SERIAL_2 = 32,
    PLATFORM_BLOCK_CARD_TYPE = 36,
    PLATFORM_BLOCK_CARD_REV = 38,
    PLATFORM_BLOCK_CARD_PATCH = 40,
    PLATFORM_BLOCK_REAR_TYPE = 42,
    PLATFORM_BLOCK_REAR_REV = 44,
    PLATFORM_BLOCK_FRAME_TYPE = 46,
    PLATFORM_BLOCK_FPGA_STATUS = 140,
};

/* An FPGA version: major, minor, build. */
struct platformFpgaVersion_t {
    uint16_t major;
    uint16_t minor;
    uint16_t build;
};

/* The LEDs the platform drives, and what their clients ask of the LED manager. */
enum {
    LED_ID_FRAME = 3,
    LED_COLOUR_BLACK = 0, LED_COLOUR_GREEN = 1, LED_COLOUR_RED = 2, LED_COLOUR_YELLOW = 3,
    LED_COLOUR_RED_GREEN = 4, LED_COLOUR_GREEN_YELLOW = 5,
    LED_STATE_ON = 0, LED_STATE_OFF = 1, LED_STATE_ON_BLINK = 2, LED_STATE_OFF_BLINK = 3,
    LED_BLINK_FOREVER = 255,
};

/* A client's request for an LED (the LED manager also keeps it as the client's record). */
struct ledControlRequest {
    uint32_t ledId;
    uint32_t virtualId;
    uint32_t enable;      /* 1 set, other values release */
    uint32_t colour;
    uint32_t state;
    uint8_t blinkCount;
    uint8_t blinkRate;
    uint32_t callerId;
    uint32_t priority;
};

/* The flags the Thread Control device sets for the probing threads. */
struct platformProbeFlags_t {
    volatile uint32_t halted;
    volatile uint32_t mergerHalted;
    volatile uint32_t timecodeCheckOn;
    volatile uint32_t timecodeCard;
    volatile uint32_t timecodeInput;
};

/* The pcode path behind device 18 and the SPI cut: what the pcode processor lends. */
struct platformPcodeSink_t {
    int (*isRunning)(void);
    void (*process)(uint32_t length, const uint8_t *pcode, log4c_category_t *category);
    void (*setPaused)(int paused);
    uint32_t bufferSize; /* bytes a pcode may have at most */
    uint32_t headerSize; /* bytes a pcode has at least */
};

/* ---- hooks the services register at init (main's thread, before the start-up) ---- */
/* A hook nobody registered does nothing; a read through it answers "unknown". */
void platformRegisterLedManager(void (*request)(log4c_category_t *, const ledControlRequest *),
                                int (*state)(log4c_category_t *, uint32_t ledId, uint32_t *colour, uint32_t *state));
void platformRegisterStrataLink(uint16_t (*cardId)(void),
                                int (*send)(log4c_category_t *, uint32_t type, uint32_t destination, uint16_t opcode,
                                            const uint8_t *payload, uint32_t size));
void platformRegisterPcodeSink(const platformPcodeSink_t *sink);
void platformRegisterProbeFlags(platformProbeFlags_t *flags);
/* Clears the restore point (Factory Default device); `location` as the store's delete. */
void platformRegisterFactoryReset(int (*reset)(log4c_category_t *, uint32_t location));
/* The HDR 3D-LUT maintenance requests of the Thread Control device (0xFFF1-0xFFF4), by address. */
void platformRegisterHdrMaintenance(void (*request)(uint32_t address));
/* A byte memory of a service served as a device id (layout data, discovery memories). 0, or -1 when full. */
int platformRegisterDeviceMemory(uint32_t deviceId, void *base, uint32_t size, int writable);

/* ---- start-up steps (main's thread, in the order the start-up runs them) and main's hooks ---- */
/* Initialises the record's locks and keeps the category and the shared-memory base. */
void platformAttach(log4c_category_t *category, void *sharedMemory);
/* Pulses the reset line of an FPGA (PLATFORM_FPGA_FSM or _DPS). */
void platformResetFpga(uint32_t fpgaId);
/* Waits (bounded) for both FPGAs' project ids, then for their DDR3 self-tests. */
void platformInitFpga(log4c_category_t *category);
void platformDdr3SelfTest(log4c_category_t *category);
/* Reads the rear card, card type, slot and frame (once) and publishes them. */
void platformDetectRearHardware(log4c_category_t *category);
/* Publishes whether both FPGAs came up (status block byte 140). */
void platformPublishFpgaStatus(void);
/* true when rear card, card and frame fit; a mismatch is logged and blinks the frame LED red. */
bool platformValidateRearHardwareType(log4c_category_t *category);
/* Card id, presence, QVS slot ids, publishing chunks, serial number and running FPGA versions. */
void platformPublishCardStatus(log4c_category_t *category);
void platformFrameModeControl(log4c_category_t *category);
/* Records the number of entries of the services list the start-up chose. */
void platformSetActiveServicesCount(uint32_t count);
void platformInitGthSettings(void);
void platformInitGTHrxtxPowerdownControl(log4c_category_t *category);
/* The build version of the deployment file becomes the update version (0.0.0 when unreadable). */
void platformApplyBuildVersion(log4c_category_t *category);

int platformStartUpSucceeded(void);      /* always 1 */
void platformMainLoopTick(int tick);     /* nothing */
void platformStop(void);                 /* nothing */

/* ---- getters ---- */
uint8_t platformGetQvsVideoSlotId(void);
uint8_t platformGetQvsHybridSlotId(void);
uint16_t platformGetCardIdWord(void);
bool platformIsHybridCard(void);
uint32_t platformGetDpsFpgaDeviceId(void);
uint32_t platformGetFsmFpgaDeviceId(void);
uint32_t platformGetCardSlotIndex(void);
uint16_t platformGetMainHwRev(void);
uint8_t platformGetMainHwPatch(void);
uint32_t platformGetHwRevisionExtra(void);
uint16_t platformGetCardHwType(void);
uint32_t platformGetRearHwType(void);
uint32_t platformGetFrameType(void);
void *platformGetSharedMemory(void);
uint32_t platformTranslateDeviceAddress(uint32_t deviceId, uint32_t address);
bool platformIsHdrCapableCard(void);
bool platformIsUsingNqAsiInputs(void);
uint32_t platformGetAmountOfCardsInMyKvrSystem(void);
/* Number of entries of the services list the start-up chose. */
uint32_t platformGetActiveServicesCount(void);

/* Names for logs; "UNDEFINE" out of range. */
const char *platformRearHwTypeName(uint32_t type);
const char *platformRearHwRevName(uint32_t rev);
const char *platformCardSlotName(uint32_t index);
const char *platformMainHwRevName(uint32_t rev);
const char *platformCardTypeName(uint32_t type);
const char *platformFrameTypeName(uint32_t type);

/* 1 when the boot-environment variable exists, else 0. */
int platformIsEnVarSet(log4c_category_t *category, const char *key);
/* Boot-environment "fancontrol": 1 and the value when present, else 0 and 0. */
int platformGetFanControl(uint16_t *value);
/* 1 when "/bin/qvoutil -V" exited 0; the tool runs once per process. */
uint32_t platformAreWeUsingVlan(log4c_category_t *category);
bool platformIsCardAonTheLeftOfMyKvrSystem(log4c_category_t *category);
/* Frame slot numbers of all cards of the system (count 0 when they cannot be computed). */
void platformGetSlotIdsOfAllCardsInMyKvrSystem(log4c_category_t *category, uint32_t *count, uint8_t *slots);

/* ---- FPGA versions and reprogramming ---- */

/* Version file of an FPGA (0 FSM, 1 DPS) beside its bit stream: 1 good, else 0. */
int platformFpgaVersionReadFromSd(uint32_t fpgaId, platformFpgaVersion_t *version);
/* Reprograms the FPGA when the running version differs from the file: 1 reprogrammed, else 0. */
int platformFpgaVersionCheckExecute(const platformFpgaVersion_t *fileVersion, uint32_t fpgaId);
/* Compares both FPGAs and reprograms them when needed; reboots the card after a reprogramming. */
void platformFpgaVersionCheck(log4c_category_t *category);

/* ---- device services ---- */

/*
 * Reads or writes `size` units (bytes for memories, the device manager's count
 * for FPGA and I2C devices, 16-bit words for pcodes) of a device by id. Every
 * copy is bounded by the memory it touches. 1 done, 0 refused or failed.
 * One caller at a time (debug port, or the start-up before the services run).
 */
int platformReadDevice(uint32_t deviceId, uint32_t address, uint32_t size, uint8_t *buffer);
int platformWriteDevice(uint32_t deviceId, uint32_t address, uint32_t size, const uint8_t *buffer);

/* Synchronous device access through the device manager's queues. 1 done, else 0. */
int platformDeviceReadSync(uint32_t deviceId, uint32_t address, uint32_t count, void *buffer);
int platformDeviceWriteSync(uint32_t deviceId, uint32_t address, uint32_t count, const void *buffer);

/* Cable equalisers behind DPS-FPGA (inputs 0-12, registers 0-7). 1 done, 0 refused or busy. */
int platformEQReadLMH0394Input(uint32_t input, uint32_t address, uint32_t size, uint8_t *bytes);
int platformEQWriteLMH0394Input(uint32_t input, uint32_t address, uint32_t size, const uint8_t *bytes);

/* Reboots the card through the hal when confirmation is 3358; otherwise only logs. */
void rebootCard(log4c_category_t *category, uint32_t confirmation);

/* Cuts (1) or re-connects (0) the SPI links of both FPGAs. */
void cutSpiLinks(log4c_category_t *category, int cut);

/* Factory-default steps run by the frame controller's FACTORY_DEFAULT message. */
typedef void (*platformFactoryDefaultStep_t)(log4c_category_t *category, uint32_t *handled,
                                             uint32_t *saveRestorePoint, uint32_t *reboot);
void platformFactoryDefaultResetCardParameters(log4c_category_t *, uint32_t *, uint32_t *, uint32_t *);
void platformFactoryDefaultResetAlarmContribution(log4c_category_t *, uint32_t *, uint32_t *, uint32_t *);
void platformFactoryDefaultResetGlobalPreset(log4c_category_t *, uint32_t *, uint32_t *, uint32_t *);
void platformFactoryDefaultResetLocalPreset(log4c_category_t *, uint32_t *, uint32_t *, uint32_t *);
void platformFactoryDefaultResetReserved1(log4c_category_t *, uint32_t *, uint32_t *, uint32_t *);
void platformFactoryDefaultResetReserved2(log4c_category_t *, uint32_t *, uint32_t *, uint32_t *);
void platformFactoryDefaultResetReserved3(log4c_category_t *, uint32_t *, uint32_t *, uint32_t *);
void platformFactoryDefaultResetNetworkConfig(log4c_category_t *, uint32_t *, uint32_t *, uint32_t *);

/* Asks the frame controller to fetch the restore point (SAVE_RESTORE_POINT). */
void platformSaveMemblock(void);

/* Flags that the Thread Control device sets (read by their owners). */
struct kvrPlatformDebugRouting_t {
    uint32_t loudness;
    uint32_t probing;
    uint8_t hdr;
};
kvrPlatformDebugRouting_t platformGetDebugRouting(void);

/* ---- GPIO lines, LEDs and debug lines ---- */

/* Sysfs value file of a GPIO line ("/sys/class/gpio/gpio<line>/value"), a card path. */
void platformGpioPath(int line, char *path, unsigned size);
/* Write '1' / '0' to a GPIO value file (card path). 0, or 3 when it does not open. */
int platformGpioSet(const char *path);
int platformGpioClear(const char *path);
/* 1 when the file reads '1'; 0 for '0' or any error. */
int platformGpioRead(const char *path);

void platformLedControlRequest(log4c_category_t *category, uint32_t callerId, uint32_t ledId, uint32_t colour,
                               uint32_t releaseHint, uint8_t blinkCount, uint8_t blinkRate);
void platformSetStrataLedNormal(log4c_category_t *category, uint32_t callerId);
void platformSetStrataLedBlinkRed(log4c_category_t *category, uint32_t callerId);
/* Hook of the LED manager: the frame LED changed; reports it to the frame controller. */
void platformStrataLedBehaviourChanged(log4c_category_t *category, uint32_t ledId);
/*
 * Drives an LED's lines: the frame LED by the phase (its state: 0 on, 1 off,
 * 2/3 the blink halves) and its colour; LED 4 by the second byte of its state.
 * Any thread.
 */
void platformCtrlLed(uint32_t phase, uint32_t ledId, uint32_t colour, uint32_t state);
void platformVideoInputLedControl(uint32_t on);
void platformVideoInputLedFpgaCtrl(uint32_t previous, uint32_t on);
void platformSetStatusLed(log4c_category_t *category, uint32_t on);
void platformSetStatusLedIndication(const uint32_t *flag);
void platformProbingProcessDebuging(log4c_category_t *category, uint32_t event, uint32_t action);
void platformLoudnessProcessDebuging(log4c_category_t *category, uint32_t event, uint32_t action);
void platformHdrProcessDebuging(log4c_category_t *category, uint32_t event, uint32_t action);

/* ---- frame-controller identity ---- */
/* The card's frame slot address learned from the link, or 0xFFFF while it is unknown. */
uint16_t platformGetStrataCardId(void);
/* Stores the three update-version bytes the card shows to the frame controller. */
void platformSetUpdateVersion(log4c_category_t *category, uint8_t major, uint8_t minor, uint8_t rev);
/* The three bytes last stored. */
void platformGetUpdateVersion(uint8_t version[3]);

/* ---- stream-mode (ATDM) settings ---- */
/*
 * Hybrid or MDX mode, globally and per video input, and the enables of the
 * nine router outputs and nine router inputs (mosaic outputs). Kept under the
 * stream lock, mirrored as nine '0'/'1' characters in the restore point.
 * Getters and setters return 0, or 4 for a bad argument (logged); any thread.
 */
enum {
    PLATFORM_STREAM_INPUTS = 9,
    PLATFORM_STREAM_GLOBAL = 255,       /* input index of the global mode */
    PLATFORM_STREAM_HYBRID = 0,
    PLATFORM_STREAM_MDX = 1,
    PLATFORM_STREAM_OK = 0,
    PLATFORM_STREAM_BAD_ARGUMENT = 4,
    PLATFORM_STREAM_MODE_OPCODE = 0x1604,
    PLATFORM_ROUTER_OUTPUT_ENABLE_OPCODE = 0x121f,
    PLATFORM_ROUTER_INPUT_ENABLE_OPCODE = 0x1219,
};

/* A restore-point key as a key listener sees it. */
struct platformKeyChange_t {
    log4c_category_t *category;
    uint32_t found;     /* 1 the key is present, 0 not */
    const char *key;
    const char *value;
};
typedef void (*platformKeyListener_t)(const platformKeyChange_t *change);

/* What the services lend the stream settings; a missing member is skipped. */
struct platformStreamHooks_t {
    /* Reads a restore-point key (0 found) and registers the listener for it. */
    int (*getKey)(log4c_category_t *category, const char *key, char *value, uint32_t size,
                  platformKeyListener_t listener);
    /* Stores a restore-point key (queued; 0 done). */
    int (*setKey)(log4c_category_t *category, const char *key, const char *value);
    /* Posts ATDM_MODE_CHANGED_EVENT with the global mode and the nine input modes. */
    int (*postModeChanged)(const uint32_t record[1 + PLATFORM_STREAM_INPUTS]);
    /* Re-selects the audio probe channels of an input from its stream setting. */
    void (*audioProbeSelection)(log4c_category_t *category, uint32_t input);
    /* SDTI/MADI insertion on (1, hybrid) or off (0, MDX). */
    void (*sdtiMadiInsertionUpdate)(log4c_category_t *category, uint32_t on);
    /* Sends the ATDM availability answer unsolicited. */
    void (*atdmAvailabilityBroadcast)(log4c_category_t *category);
};
void platformRegisterStreamHooks(const platformStreamHooks_t *hooks);

/* Loads the settings from the restore point at start (defaults by card slot). */
void platformInitKvrVideoStreamSetting(log4c_category_t *category);
/* Mode of input 0-8, or the global mode for 255. */
int platformGetKvrVideoStreamSetting(log4c_category_t *category, uint32_t input, uint32_t *mode);
int platformSetKvrVideoStreamSetting(log4c_category_t *category, uint32_t input, uint32_t mode);
/* Router output enables (outputs 0-8). */
int platformGetKvrVideoStreamEnable(log4c_category_t *category, uint32_t output, uint32_t *enable);
int platformSetKvrVideoStreamEnable(log4c_category_t *category, uint32_t output, uint32_t enable);
/* Router input (mosaic output) enables (0-8). */
int platformGetKvrMosaicOutputEnable(log4c_category_t *category, uint32_t output, uint32_t *enable);
int platformSetKvrMosaicOutputEnable(log4c_category_t *category, uint32_t output, uint32_t enable);

/*
 * Apply a change and tell the card (store the keys unless fromCallback, post
 * ATDM_MODE_CHANGED_EVENT for the modes). *changed is 1 when something
 * changed. 0, or 4 for a bad argument.
 */
int platformTheGlobalMDXModeChanged(log4c_category_t *category, uint32_t mode, uint32_t *changed,
                                    uint32_t fromCallback);
int platformTheRouterOutputModeChanged(log4c_category_t *category, uint32_t input, uint32_t mode, uint32_t *changed,
                                       uint32_t fromCallback);
int platformTheRouterOutputEnableChanged(log4c_category_t *category, uint32_t output, uint32_t enable,
                                         uint32_t *changed, uint32_t fromCallback);
int platformTheRouterInputEnableChanged(log4c_category_t *category, uint32_t output, uint32_t enable,
                                        uint32_t *changed, uint32_t fromCallback);

/* Key listeners: the frame controller changed a key; apply it and broadcast what changed. */
void platformTheMDXModeCallbackfn(const platformKeyChange_t *change);
void platformTheRouterOutputModeCallbackfn(const platformKeyChange_t *change);
void platformTheRouterOutputEnableCallbackfn(const platformKeyChange_t *change);
void platformTheRouterInputEnableCallbackfn(const platformKeyChange_t *change);

/* The mirror texts (nine characters and NUL) as stored under the keys. */
void platformGetStreamSettingTexts(char mode[10], char outputEnable[10], char inputEnable[10]);

#endif
