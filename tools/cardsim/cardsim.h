#ifndef KVR_CARDSIM_H
#define KVR_CARDSIM_H

/*
 * The card emulator. Installed as the hal's device backend, it serves the
 * spidev nodes of the two FPGAs ("/dev/spidev1.2" FSM-FPGA, "/dev/spidev2.0"
 * DPS-FPGA) and the i2c-dev buses ("/dev/i2c-2", "/dev/i2c-3", "/dev/i2c-4")
 * with register models of the card's chips, and writes the temperature inputs
 * below the card root. Tests use it as a library: they read every register
 * write and every frame, set any input, hold or fail transfers.
 *
 * FPGA frames (big-endian): a 32-bit header whose bits 31-30 are 10 read, 11
 * keyhole read, 00 write, 01 keyhole write and bits 29-0 the word address;
 * reads then carry a 16-bit word count (low 12 bits) and clock the words out
 * after those 6 bytes; writes carry the words after the 4 header bytes.
 *
 * All functions may be called from any thread.
 */

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum { CARDSIM_FSM = 0, CARDSIM_DPS = 1, CARDSIM_FPGA_COUNT = 2 };

/* What the FPGAs report: project id 3033 in the identity register's bits 15-4, versions, DDR3 self-test. */
enum {
    CARDSIM_FPGA_ID_REGISTER = 0x0,
    CARDSIM_FPGA_VERSION_REGISTER = 0x1, /* major, minor, build */
    CARDSIM_FPGA_PROJECT_ID = 3033,
    CARDSIM_FSM_BIST_REGISTER = 0x804,
    CARDSIM_DPS_BIST_REGISTER = 0x404,
    CARDSIM_BIST_PASSED = 0x000E,        /* init done, phy ready, iodelay ready, not failed */
};

/*
 * Installs the emulator as the hal's device backend with a card in its
 * start-up state (see cardsimReset). Under a card root it also writes the
 * temperature inputs. Returns 0.
 */
int cardsimStart(void);

/* Removes the backend. Handles still open keep working until closed. */
void cardsimStop(void);

/* Puts every register, chip, log, hold and failure back to the start-up state. */
void cardsimReset(void);

/* FPGA register files. */
uint16_t cardsimFpgaGet(int fpga, uint32_t address);
void cardsimFpgaSet(int fpga, uint32_t address, uint16_t value);

/* Words a keyhole read of the register returns first, before it falls back to the register's value. */
void cardsimFpgaQueueKeyhole(int fpga, uint32_t address, const std::vector<uint16_t> &words);

/* One register write seen by an FPGA, in order. */
struct cardsimFpgaWrite_t {
    uint32_t address;
    uint16_t value;
    int keyhole;
};
std::vector<cardsimFpgaWrite_t> cardsimFpgaWrites(int fpga);

/* The transmitted bytes of every SPI transfer of an FPGA, in order. */
std::vector<std::vector<uint8_t>> cardsimSpiFrames(int fpga);

/*
 * While an FPGA is held, its transfers wait (at most 10 s) before they are
 * served. cardsimFpgaWaitParked waits up to timeoutMs for a transfer to be
 * waiting and returns 1 when one is.
 */
void cardsimFpgaHold(int fpga, int hold);
int cardsimFpgaWaitParked(int fpga, int timeoutMs);

/* The next `failures` transfers of the FPGA fail (EIO). */
void cardsimSpiFail(int fpga, int failures);

/* I2C chips. A bus is named by its node ("/dev/i2c-3"). */
enum {
    CARDSIM_I2C_REG8 = 1,   /* 8-bit register pointer */
    CARDSIM_I2C_REG16 = 2,  /* 16-bit register pointer, high byte first */
    CARDSIM_I2C_PAGED = 3,  /* 8-bit pointer; writing register 0x01 selects the page */
};

/* Adds (or replaces) a chip with empty registers; a chip not attached does not answer. */
void cardsimI2cAttach(const char *bus, uint8_t slave, int kind);
void cardsimI2cDetach(const char *bus, uint8_t slave);

/* A chip's register (page << 8 | offset for paged chips). */
uint8_t cardsimI2cGet(const char *bus, uint8_t slave, uint16_t reg);
void cardsimI2cSet(const char *bus, uint8_t slave, uint16_t reg, uint8_t value);

/* One I2C message as it went over a bus: the bytes written, or the bytes a read returned. */
struct cardsimI2cMessage_t {
    std::string bus;
    uint8_t slave;
    int read;
    std::vector<uint8_t> bytes;
};
std::vector<cardsimI2cMessage_t> cardsimI2cLog(void);

/* The next `failures` transfers on the bus fail (EIO). */
void cardsimI2cFail(const char *bus, int failures);

/*
 * While this file exists below the card root and holds a line "<bus>
 * <slave>" (e.g. "/dev/i2c-4 0x68"), every register write to that slave
 * fails (EIO); page selects and reads still work. A test makes a daemon's own
 * emulator fail a chip's writes with it, and work again by removing it.
 */
#define CARDSIM_I2C_WRITE_FAULTS "/var/run/cardsim-i2c-write-faults"

/* Plugs (1) or pulls (0) the SFP module: its EEPROM and diagnostics at 0x50, 0x51 and 0x59 on "/dev/i2c-3". */
void cardsimSfpPlug(int plugged);

/* ---- genlock: the Si5344 at 0x68 on "/dev/i2c-4" and the FSM-FPGA genlock registers ---- */
enum {
    CARDSIM_SI5344_SLAVE = 0x68,
    CARDSIM_FSM_URS_STATUS = 0x90,      /* bit 0 presence, bits 1-3 format, bit 4 timecode valid */
    CARDSIM_FSM_EXTSYNC_STATUS = 0x96,  /* bit 1 valid, bit 0 rate (1 = 50 Hz) */
};
/* The next `reads` reads of register 0x00FE answer 0xF3 (not ready) before it answers 0x0F. */
void cardsimSi5344SetBusyReads(int reads);
/* Alarm registers 0x000D (bit 1 IN1_LOS, bit 5 IN1_OOF) and 0x000E (bit 1 LOL, bit 5 HOLD). */
void cardsimSi5344SetAlarms(uint8_t inputAlarms, uint8_t lockAlarms);
/* One register write the chip received: the page write [01 page] then [offset value]. */
struct cardsimSi5344Write_t {
    uint16_t reg;
    uint8_t value;
};
/*
 * The register writes the clock generator received since the I2C log was
 * cleared, decoded from the log; a message that is not part of such a pair
 * appears as reg 0xFFFF with its first byte.
 */
std::vector<cardsimSi5344Write_t> cardsimSi5344Writes(void);
/* The URS and ExtSync words the FSM-FPGA reports. */
void cardsimGenlockSetUrs(uint16_t word);
void cardsimGenlockSetExtSync(uint16_t word);

/* ---- SFP modules: SFF-8472 images at 0x50 (A0h), 0x51 and 0x59 (A2h diagnostics) on "/dev/i2c-3" ---- */
struct cardsimSfpModule_t {
    uint8_t identifier = 0x03;        /* SFP */
    uint8_t extIdentifier = 0x04;
    uint8_t connector = 0x07;         /* LC */
    std::string vendorName = "EMBRIONIX";
    uint8_t oui[3] = {0x00, 0x50, 0x1E};
    std::string partNumber = "EB22RDRT-LM";
    int ccBaseOffset = 0;             /* added to the right CC_BASE (non-zero: a corrupt check code) */
    uint16_t temperature[2] = {0x2800, 0x2800};
    uint16_t voltage[2] = {33000, 33000};
    uint16_t power[2] = {0x1234, 0x1234};
    int channel1 = 1;                 /* 0: no diagnostics of channel 1 (0x59 does not answer) */
};
/* Plugs a module built from the description (replacing whatever was plugged). */
void cardsimSfpInsert(const cardsimSfpModule_t &module);

/*
 * The scaler blocks of DPS-FPGA (6144 + 64 x scaler): register +16 reads
 * back the pixels a block can read per line plus 16 (start-up: 2048 pixels).
 */
enum { CARDSIM_SCALER_DEFAULT_BANDWIDTH = 2048 };
void cardsimScalerSetBandwidth(int scaler, uint16_t pixels);
uint16_t cardsimScalerBandwidthRegister(int scaler);

/*
 * The 3D-LUT instances: 0-8 the video instances of DPS-FPGA, 9-10 the head
 * instances of FSM-FPGA. Keyhole writes store words at the instance's table
 * pointer; writing 1 to the instance's reset register rewinds it and the
 * read-back port (block +0x28-0x2A), whose third register moves to the next
 * entry when read. cardsimHdrTable gives the words stored so far;
 * cardsimHdrCorruptEntry makes the read-back of one entry differ from it.
 */
enum { CARDSIM_HDR_INSTANCES = 11 };
std::vector<uint16_t> cardsimHdrTable(int instance);
void cardsimHdrCorruptEntry(int instance, int entry);

/* Clears the frame, write and I2C logs. */
void cardsimClearLogs(void);

/*
 * The frame, write and I2C logs are rings: each keeps its latest `entries`
 * (1,048,576 at first) and drops the oldest beyond.
 */
void cardsimSetLogLimit(size_t entries);
size_t cardsimLogLimit(void);

/*
 * From now on also writes, as they happen, every FPGA register write to
 * `fpgaWritesPath` ("fpga 0xaddress 0xvalue" lines) and every I2C message
 * written to `i2cWritesPath` ("bus 0xslave bytes..." lines), both truncated
 * first: the whole history stays on disk whatever the rings keep. cardsimStop
 * closes them. 0, or -1 (errno) when one cannot be opened (then neither is written).
 */
int cardsimLogToFiles(const std::string &fpgaWritesPath, const std::string &i2cWritesPath);

/*
 * Writes a sensor's value file below the card root (millidegrees as text, or
 * any text a test wants). Returns 0, or -1 when there is no card root or the
 * file cannot be written.
 */
int cardsimSetSensorText(const char *cardPath, const char *text);

/* ---- the card's identity, GPIO lines, vsync, boot-environment flash and stand-ins (under a card root) ---- */

/* What the card reports about itself: I/O expander bytes and identity GPIO lines. */
struct cardsimCard_t {
    int rearType = 0;     /* 0-31, 31 no rear */
    int rearRev = 1;
    int mainRev = 1;
    int mainPatch = 0;
    int cardType = 2;     /* GPIO 70-72 */
    int slot = 0;         /* GPIO 67-69 (68 and 69 swapped on rear type 15) */
    int frameType = 2;    /* GPIO 73-74 */
};

/* Sets the I/O expander (0x74 on "/dev/i2c-3") and the GPIO files of the identity. */
void cardsimSetCard(const cardsimCard_t &card);

/* A GPIO line's sysfs value file below the card root: write '0'/'1', read 0, 1 or -1 (missing). */
int cardsimGpioSet(int line, int value);
int cardsimGpioGet(int line);

/*
 * The vsync interrupt: "/dev/uio1" below the card root is a FIFO from which
 * each read takes one 4-byte interrupt count (host order). cardsimVsyncStart
 * ticks every periodMs on a thread of its own; cardsimVsyncEmit writes one
 * count now. Both create the FIFO when it is missing. 0, or -1 without a card root.
 * cardsimVsyncStop ends the ticker and lets the FIFO go: the next start or
 * emit opens the one below the card root of its time.
 */
int cardsimVsyncStart(int periodMs);
void cardsimVsyncStop(void);
int cardsimVsyncEmit(uint32_t count);

/*
 * The card's front button: "/dev/uio0" below the card root is a FIFO from
 * which the button listener reads one 4-byte count per press.
 * cardsimButtonCreate makes the FIFO; cardsimButtonPress writes one count
 * (creating the FIFO when missing). 0, or -1 (no card root, or no listener).
 */
int cardsimButtonCreate(void);
int cardsimButtonPress(uint32_t count);

/*
 * Writes "/etc/fw_env.config" naming "/dev/mtd2" (offset 0, `size` bytes, one
 * copy; two copies at 0 and 0x2000 when redundant) and the flash file holding
 * a valid block of the entries ("name=value"). 0, or -1.
 */
int cardsimFlashWrite(const std::vector<std::string> &entries, unsigned size, int redundant);

/*
 * Stand-ins for "/bin/qvoutil", "/sbin/reboot" and "tclsh /sbin/update_FPGA.tcl"
 * below the card root: each appends its name and arguments to
 * "/var/log/standins.log" and exits 0 (qvoutil -V exits 0 only when
 * "/etc/cardsim-vlan" exists). 0, or -1.
 */
int cardsimInstallStandIns(void);

/* The lines the stand-ins recorded, in order. */
std::vector<std::string> cardsimStandInCalls(void);

/*
 * Applies "/etc/cardsim.conf" below the card root (key=value lines: rearType,
 * rearRev, mainRev, mainPatch, cardType, slot, frameType, fsmProjectId,
 * dpsProjectId, vsyncMs (0: no ticks), si5344InAlarms and si5344LockAlarms
 * (the clock generator's alarm registers 0x000D and 0x000E, 0: locked));
 * missing keys keep their defaults.
 * cardsimStart runs it under a card root, after the stand-ins, the GPIO files,
 * "/dev/shm" and a default boot environment (each only when missing).
 */
void cardsimApplyConfig(void);

/* Read bursts served by an FPGA that started at one register, since the start or the last clear. */
uint32_t cardsimFpgaReadCount(int fpga, uint32_t address);
void cardsimClearReadCounts(void);


/* ---- loudness probes of FSM-FPGA: per bank (0, 1) a ready word and 36 probe levels ---- */
enum { CARDSIM_LOUDNESS_PROBES = 36 };
/* Sets a bank's ready word and the level of every probe. */
void cardsimLoudnessSetBank(int bank, uint16_t ready, uint16_t level);
/* The probe level of a steady tone at dbFs (0 dB = full scale), as the FPGA computes it. */
uint16_t cardsimLoudnessLevel(double dbFs);


/* ---- ethernet probing: "/dev/netprobing" below the card root, one buffer per message ---- */
struct cardsimProbePacket_t {
    uint8_t vsync = 0;
    uint8_t packetCount = 0;
    uint8_t major = 1;            /* bits 4-7 of byte 18 */
    uint8_t type = 0;             /* bits 2-7 of byte 19: 0 probe data, 1 SDTI */
    uint8_t card = 0;             /* bits 5-7 of byte 20 */
    uint8_t input = 0;            /* bits 0-4 of byte 20 */
    std::vector<uint8_t> ram;
    std::vector<uint8_t> fifo;    /* byte 0 carries the input number */
    uint8_t timecode[8] = {0, 0, 0, 0, 0, 0, 0, 0};   /* frame units ... hour tens */
    int frameLengthDelta = 0;     /* added to the frame length field, for broken packets */
};
/* One packet as the FPGA sends it: 34 header bytes, the RAM part, the FIFO part. */
std::vector<uint8_t> cardsimEthernetPacket(const cardsimProbePacket_t &packet);
/* A driver buffer: marker 0xFEFE, version, packet count, payload length (+ lengthDelta), then the packets. */
std::vector<uint8_t> cardsimEthernetBuffer(const std::vector<std::vector<uint8_t>> &packets, int lengthDelta = 0,
                                           uint8_t version = 1);
/*
 * Writes eth0's address file ("/sys/class/net/eth0/address") and listens on
 * the card root's "/dev/netprobing". 0, or -1 when not under a card root.
 */
int cardsimEthernetStart(const char *mac);
/* Sends one buffer to the reader, waiting up to timeoutMs for it to connect. 0 sent, -1 not. */
int cardsimEthernetSend(const std::vector<uint8_t> &buffer, int timeoutMs = 3000);
/* Closes the reader's connection and the listening socket. */
void cardsimEthernetStop(void);

/*
 * Discovery extraction of FSM-FPGA: upstream card 0-4's status word at 0x8E00 + card
 * (bit 15 present, bits 0-9 bytes received) and its card information, big-endian
 * words from 0x9000 + 128 x card (an odd last byte fills the high half of a word).
 */
void cardsimDiscoverySetUpstream(int card, uint16_t status, const std::vector<uint8_t> &info);

#endif
