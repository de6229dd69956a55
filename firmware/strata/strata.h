#ifndef KVR_STRATA_H
#define KVR_STRATA_H

/*
 * Layer: services. May include platform, pcodeProcessor, ledManager,
 * qvsInterface, serviceManager, fwEnv, utils, utilsHost and hal; services above
 * it (the restore point) lend it their message handlers.
 */

/*
 * The frame-controller link ("strata_api") and the frame-controller service.
 *
 * The link carries packets of at most 64 bytes between the card and the frame
 * controller over a serial line, a TCP connection to the local proxy
 * (127.0.0.1:5102, device name "socket") or a debug server on port 5100
 * (device name "socketdbg", or USE_NETWORK set). Packet layout:
 *   0x02, destination, source, length (bits 0-5 = 2 + data bytes, 0x40 more
 *   packets follow), opcode (big-endian), 0-57 data bytes, 8-bit sum of all
 *   bytes before it.
 *
 * Every sender may be called from any thread.
 */

#include <cstdint>
#include <log4c.h>

enum {
    STRATA_MSG_REPORT = 0,
    STRATA_MSG_UNCHECKED = 1,
    STRATA_MSG_REQUEST = 2,
    STRATA_MSG_REPLY = 3,
    STRATA_CONTROLLER_ADDRESS = 0x15,
    STRATA_REPORT_ADDRESS = 0x18,
    STRATA_START_BYTE = 0x02,
    STRATA_MORE_PACKETS = 0x40,
    STRATA_PACKET_MAX = 64,
    STRATA_PACKET_DATA_MAX = 57,
    STRATA_PACKET_HEADER = 6,
    STRATA_REASSEMBLY_SIZE = 4096,
    STRATA_MEM_BLOCK_SIZE = 4096,
    STRATA_PAYLOAD_MAX = 100,
    STRATA_MESSAGE_POOL = 100,
    STRATA_DEBUG_PORT = 5100,
    STRATA_QVS_PORT = 5101,
    STRATA_PROXY_PORT = 5102,
    STRATA_DEV_ID_SIZE = 15,
    STRATA_LABEL_SIZE = 8,
};

/* Opcodes the link and the service name themselves. */
enum {
    STRATA_OPCODE_ACK = 0x0000,
    STRATA_OPCODE_NACK = 0x0001,
    STRATA_OPCODE_MENU = 0x0005,
    STRATA_OPCODE_COMM_STATE = 0x000C,
    STRATA_OPCODE_DEV_ID = 0x0013,
    STRATA_OPCODE_SET_MEM_BLOCK = 0x0016,
    STRATA_OPCODE_UPGRADE_MODE = 0x0017,
    STRATA_OPCODE_CARD_LABEL = 0x0019,
    STRATA_OPCODE_FRAME_STATUS_REQ = 0x003C,
    STRATA_OPCODE_FRAME_STATUS = 0x003D,
    STRATA_OPCODE_GET_TIME_V3 = 0x012A,
    STRATA_OPCODE_TIME_V3 = 0x012B,
    STRATA_OPCODE_UPGRADE_STATUS = 0x0153,
    STRATA_OPCODE_IP_CONFIG_V2_REQ = 0x100E,
    STRATA_OPCODE_IP_CONFIG_V2 = 0x100F,
    STRATA_OPCODE_RESTORE_POINT_CONFIG_REQ = 0x101A,
    STRATA_OPCODE_RESTORE_POINT_CONFIG = 0x101B,
    STRATA_OPCODE_FRAME_TYPE_REQ = 0x101D,
    STRATA_OPCODE_FRAME_TYPE = 0x101E,
    STRATA_OPCODE_SAVE_RESTORE_POINT = 0x102d,
    STRATA_OPCODE_VLAN2_CARD_IP_REQ = 0x305F,
    STRATA_OPCODE_VLAN2_CARD_IP = 0x3060,
    STRATA_OPCODE_CAPABILITIES_REQ = 0x3200,
    STRATA_OPCODE_CAPABILITIES = 0x3201,
    STRATA_OPCODE_BUTTON = 0x4005,
    STRATA_OPCODE_QVS_IP_CONFIG_V2 = 0x400F,
};

/* NACK error numbers. */
enum {
    STRATA_NACK_CHECKSUM = 0,
    STRATA_NACK_BUSY = 1,
    STRATA_NACK_NOT_SUPPORTED = 2,
    STRATA_NACK_WRONG_CARD = 5,
    STRATA_NACK_INVALID = 6,
    STRATA_NACK_WRONG_STATE = 10,
    STRATA_NACK_OVERFLOW = 11,
};

/* One packet on the wire: `size` bytes of `bytes` (7 to 64). */
struct strataPacket {
    uint8_t bytes[STRATA_PACKET_MAX];
    uint32_t size;
};

/* Last handler of incoming firmware messages: 1 handled, 0 not. */
typedef int (*strataPrivateHandler_t)(uint32_t source, const uint8_t *data, uint32_t length, uint16_t opcode);
/* Called with each value the controller monitor polled (opcode of the answer, value). */
typedef void (*strataMonitorCallback_t)(log4c_category_t *category, uint16_t opcode, uint32_t value);
/* Builds the card menu when the firmware shows it. */
typedef void (*strataMenuRootInit_t)(log4c_category_t *category, void *menuRoot, const char *cardLabel);

/* The link configuration (one static instance, strataLinkConfiguration). */
struct strataLinkConfig {
    uint32_t identityA;
    uint32_t identityB;
    uint8_t updateVersion[3];
    char modelName[9];
    const char *linkLabel;
    const char *deviceName;
    uint8_t baudIndex;
    uint8_t *memBlock;
    uint32_t memBlockSize;
    strataPrivateHandler_t privateHandler;
    uint8_t txRetries;
    uint32_t isStrataMenuHandledByFirmware;
    strataMenuRootInit_t menuRootInit;
    void *strataMenuRoot;
    uint32_t statusByFirmware;
    uint32_t qvsRelay;
    uint32_t monitorEnable;
    strataMonitorCallback_t monitorCallback;
    uint32_t restartBudget;
};
extern strataLinkConfig strataLinkConfiguration;

/* ---- packet framing (pure) ---- */

/* 8-bit sum of `length` bytes: the last byte of every packet covers all bytes before it. */
uint8_t strataChecksum(const uint8_t *bytes, uint32_t length);

/*
 * Lays out one packet in `packet` (room for 64 bytes): start byte,
 * destination, source, length (2 + data bytes, 0x40 when more packets
 * follow), big-endian opcode, the data and the checksum. Returns the packet's
 * size (length + 7), or 0 (nothing written) when length exceeds 57.
 */
uint32_t strataFramePacket(uint8_t *packet, uint8_t destination, uint8_t source, uint16_t opcode, const uint8_t *data,
                           uint32_t length, int more);

/* ---- link layer ---- */

/*
 * Opens the transport named by config->deviceName, starts the receiver and
 * announces the card. 0, -1 (already open, missing name, proxy unreachable,
 * receiver did not start) or minus errno (serial device not opened).
 */
int strata_open(strataLinkConfig *config, log4c_category_t *category);
/* Stops the receiver and closes the port. -1 when the port is not open, else 0. */
int strata_close(void);
void strataClosePort(void);

uint8_t strataGetCommState(void);
void strataSetCommState(uint8_t state);
uint32_t strataIsSocket(void);
/* The card's frame slot address from the link (0 while unknown). */
uint16_t strataGetCardId(void);

/*
 * Sends a message at once (split into packets of at most 57 data bytes).
 * 0 when handed on, -1 when the port is closed or the link state forbids it.
 */
int strata_sendmsg(uint32_t type, uint32_t address, uint16_t opcode, const uint8_t *data, uint32_t length);
/* One packet of a message. 0; -1 when length + 7 exceeds 64; -12 without a packet buffer. */
int strata_sendmsg_small(uint32_t type, uint32_t address, uint16_t opcode, const uint8_t *data, uint32_t length,
                         int more);
/* Queues (needsAck) or writes at once one finished packet. 0. The packet is copied. */
int strata_send_packet(const uint8_t *packet, uint32_t size, int needsAck);
/* ACK (opcode 0, no data) and NACK (opcode 1, one error byte), type 3, written at once. */
void strata_send_ack(uint32_t address);
void strata_send_nack(uint32_t address, uint8_t error);
/* DEV_ID (opcode 0x0013, 15 bytes). */
void strata_send_devid(uint32_t type, uint32_t address);
/* Fills the 15 DEV_ID bytes from the configuration. */
void strataBuildDevId(const strataLinkConfig *config, uint8_t out[STRATA_DEV_ID_SIZE]);

/* Restarts a serial link after a checksum error. 0 restarted, -1 refused. */
int restartStrataComm(void);
/* Reconnects to the local proxy (device "socket" only). 0 connected, -1 not (the old connection stays). */
int connectStrataProxy(strataLinkConfig *config, log4c_category_t *category);
/*
 * Writes the bytes on the port under the link's write lock, waiting for room
 * at most the link's send limit (a socket peer that took nothing for that long
 * loses its connection) and not at all once the link closes. The byte count,
 * or -1 with errno (ETIMEDOUT, ECANCELED, or the write's own).
 */
int strataWritePort(const uint8_t *bytes, uint32_t count);
void logPacket(const char *prefix, const uint8_t *bytes, uint32_t length);

/* Timed queries: 0 answered in time, 1 timed out, 0 at once when waitSeconds is 0. */
int strataGetControllerCapabilities(uint8_t *out, uint32_t waitSeconds);
int strataGetVlan2CardIp(uint8_t *out, uint32_t waitSeconds);
int strataGetRestorePointConfig(uint8_t *out, uint32_t waitSeconds);
int strataGetFrameType(uint8_t *out, uint32_t waitSeconds);
int strataGetFrameStatus(uint8_t *out, uint32_t waitSeconds);
int strataGetFrameIpAddress(uint32_t interfaceIndex, uint32_t *out, uint32_t waitSeconds);

/* ---- service ---- */

/* Queues a message for the send thread. 1 queued, 0 dropped. */
int strataSrvSendMessage(log4c_category_t *category, uint32_t type, uint32_t destination, uint16_t opcode,
                         const uint8_t *payload, uint32_t size);
/*
 * The controller's restore-point messages (opcodes 0x0120 GET, 0x0121 DATA,
 * 0x0122 COMPLETED, 0x0123 NEW_STORED, in this order) go to the handlers the
 * restore-point store registers at init; without them they are dropped.
 */
typedef void (*strataRestorePointHandler_t)(log4c_category_t *category, uint32_t source, const uint8_t *payload,
                                            uint32_t length);
void strataRegisterRestorePointHandlers(const strataRestorePointHandler_t handlers[4]);

/* Pcode handler (class 10, id 13): asks the controller to fetch the restore point. 0. */
int updateMemBlockHandler(const uint8_t *pcode, uint32_t length);
void flushTxQueue(void);
/* Non-zero when the firmware handles the opcode itself. */
int strataIsFirmwareMessage(uint16_t opcode);
/* Writes a packet around `data` to the QVS application. 1 written whole, else 0. */
int qvsHandler(const uint8_t *data, uint32_t dataLength, uint16_t opcode);
/* The button callback: opens or drives the card menu. */
void strataButtonPressed(uint32_t pressCount);

/* ---- message execution ---- */
void strata_execute_message(uint32_t source, uint16_t opcode, const uint8_t *data, uint32_t length);
/* Returns 1 when handled, 0 when the platform's handler is to be asked. */
int defaultHandler(uint32_t source, const uint8_t *data, uint32_t length, uint16_t opcode);
void setUpgradeStatus(uint32_t value);
void setUpgradeMode(uint32_t value);
void sendUpgradeStatus(uint32_t address, uint8_t status, uint8_t progress, const char *text,
                       uint32_t textLengthWithTerminator);

/* Stores a boot-environment variable (logged "writing in flash"). */
void setFlashProperty(const char *name, const char *value, log4c_category_t *category);
/* 1 when the text is six two-digit hex fields separated by ':'. */
int strataIsMacText(const char *text);

/*
 * What the modules above lend: the discovery record's setters (frame status,
 * the frame's IP address in host order, the frame type) and the VANC
 * metadata start once the VLAN addresses are right.
 */
void strataRegisterDiscoveryHooks(void (*frameStatusChanged)(uint16_t), void (*ipAddressChanged)(uint32_t),
                                  void (*setFrameType)(uint8_t));
void strataRegisterVlanReadyHook(void (*vlanAddressesOk)(log4c_category_t *category));

/* ---- what the SDI output sub-module reports to the frame controller ---- */

/* The SDI output status of head 0 or 1 (9 bytes, CPU order), as the SDI output sub-module keeps it. */
struct __attribute__((packed)) sdiOutputStatusRecord {
    uint8_t headId;
    uint8_t enable;          /* 1 active */
    int16_t frameRate;
    int16_t outputFormat;
    uint8_t interlace;
    uint8_t notHdtv;         /* the output format is not HDTV */
    uint8_t testPattern;     /* colour bars */
};
static_assert(sizeof(sdiOutputStatusRecord) == 9, "sdiOutputStatusRecord is 9 bytes");

enum { STATUS_KIND_GENLOCK = 2, STATUS_KIND_OUTPUT = 3, STATUS_KIND_INPUT = 4, STATUS_KIND_MADI = 5,
       NQASI_KIND_SDI_OUTPUT = 3 };

/*
 * Unsolicited OUT_STATUS: kind 3 takes one head's changed record (copied).
 * Any thread; only queues.
 */
void platformStrataMessageVigiloOutputStatusUnsolicited(log4c_category_t *category, uint32_t kind,
                                                        const sdiOutputStatusRecord *record);
/* NqAsi head records; kind 3 takes a head's new format, error and latency from a 17-byte record in CPU order. */
void platformNqAsiCardTx(log4c_category_t *category, uint32_t kind, uint32_t head, uint8_t *buffer);
/* ATDM availability (38 bytes): kind 0 into `out`, kind 1 reported unsolicited. 0, or -1. */
int platformAtdmAvailability(log4c_category_t *category, uint32_t kind, uint32_t index, uint8_t *out);

#endif
