#include "platform/platformPrivate.h"

#include "deviceManager/deviceManager.h"
#include "fwEnv/fwEnv.h"
#include "hal/hal.h"
#include "qvsInterface/qvsInterface.h"
#include "utils/utils.h"
#include "utilsHost/utilsHost.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>


enum {
    GPIO_FSM_RESET = 171,
    GPIO_DPS_RESET = 172,
    GPIO_SLOT_0 = 67,
    GPIO_SLOT_1 = 68,
    GPIO_SLOT_2 = 69,
    GPIO_CARD_TYPE_0 = 70,
    GPIO_FRAME_0 = 73,
    IO_EXPANDER_SLAVE = 0x74,
    DPS_FRAME_MODE_REGISTER = 8,
    BUILD_VERSION_TEXT_MAX = 100,
};

#define BUILD_VERSION_FILE "/usr/local/q7/conf/qvs-deployment-info.properties"

void platformWriteBlockWord(uint32_t slot, uint32_t byteOffset, uint16_t value)
{
    uint8_t bytes[2] = {(uint8_t)(value >> 8), (uint8_t)value};
    qvsInterfaceWriteSharedMem((CARD_STATUS_BLOCK_SIZE * slot + byteOffset) / 2, bytes, 1);
}

static void writeOwnWord(uint32_t byteOffset, uint16_t value)
{
    platformWriteBlockWord(platformRecord.rearSlot, byteOffset, value);
}

static int readGpioLine(int line)
{
    char path[64];
    platformGpioPath(line, path, sizeof path);
    return platformGpioRead(path);
}

static void pulseReset(int line)
{
    char path[64];
    platformGpioPath(line, path, sizeof path);
    platformGpioClear(path);
    platformGpioSet(path);
}

static uint16_t readFpgaWord(uint32_t device, uint32_t address)
{
    uint8_t bytes[2] = {0, 0};
    if (deviceManagerAccess(DEVICE_READ, device, address, 0, 1, bytes) != DEVICE_ACCESS_OK)
        return 0;
    return (uint16_t)(bytes[0] << 8 | bytes[1]);
}

void platformInitFpga(log4c_category_t *category)
{
    struct {
        uint32_t device;
        const char *upText;
        const char *timeoutText;
        int up;
        uint16_t last;
    } fpgas[] = {
        {DEVICE_DPS_FPGA, "DPS is up and running!",
         "%s: Wait for DPS ready timeout expired! Last read value of FPGA Id = 0x%04x. (project id != 3033). The DPS "
         "needs to be reprogrammed!!!",
         0, 0},
        {DEVICE_FSM_FPGA, "FSM is up and running!",
         "%s: Wait for FSM ready timeout expired! Last read value of FPGA Id = 0x%04x. (project id != 3033). The FSM "
         "needs to be reprogrammed!!!",
         0, 0},
    };
    struct timespec start;
    utils_getMonotonicTime(category, &start, 3);
    for (;;) {
        for (auto &fpga : fpgas) {
            if (fpga.up)
                continue;
            fpga.last = readFpgaWord(fpga.device, 0);
            fpga.up = (fpga.last >> 4) == PLATFORM_FPGA_PROJECT_ID;
        }
        if (fpgas[0].up && fpgas[1].up)
            break;
        if (utils_getTimeDiff(category, &start, nullptr) >= PLATFORM_FPGA_WAIT_MS * 1000ull) {
            for (auto &fpga : fpgas)
                if (!fpga.up)
                    log4c_category_log(category, LOG4C_PRIORITY_ERROR, fpga.timeoutText, "platformInitFpga",
                                       fpga.last);
            platformRecord.fpgasUp = 0;
            return;
        }
        usleep(PLATFORM_POLL_MS * 1000);
    }
    for (auto &fpga : fpgas)
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: %s", __func__, fpga.upText);
    platformRecord.fpgasUp = 1;
}

void platformDdr3SelfTest(log4c_category_t *category)
{
    struct {
        uint32_t device;
        uint32_t reg;
        const char *name;
        int done;
        uint16_t status;
    } fpgas[] = {{DEVICE_DPS_FPGA, 0x404, "DPS", 0, 0}, {DEVICE_FSM_FPGA, 0x804, "FSM", 0, 0}};
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: DPS DDR3 BIST STARTED!", __func__);
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: FSM DDR3 BIST STARTED", __func__);
    struct timespec start;
    utils_getMonotonicTime(category, &start, 3);
    for (;;) {
        for (auto &fpga : fpgas) {
            if (fpga.done)
                continue;
            fpga.status = readFpgaWord(fpga.device, fpga.reg);
            if (fpga.status & 0x8) {
                fpga.done = 1;
                log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: %s DDR3 BIST DONE!", __func__, fpga.name);
            }
        }
        if ((fpgas[0].done && fpgas[1].done) ||
            utils_getTimeDiff(category, &start, nullptr) >= PLATFORM_BIST_WAIT_MS * 1000ull)
            break;
        usleep(PLATFORM_POLL_MS * 1000);
    }
    for (auto &fpga : fpgas) {
        uint16_t s = fpga.status;
        if (!fpga.done)
            log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                               "%s: %s BIST timeout expired! Last read value of %s bist Status = 0x%04x. "
                               "ddr3_bist_test_failed:%d, ddr3_iodelay_ctrl_rdy:%d, ddr3_phy_init_done:%d, "
                               "ddr3_bist_init_done:%d",
                               __func__, fpga.name, fpga.name, s, s & 1, (s >> 1) & 1, (s >> 2) & 1, (s >> 3) & 1);
        if ((s & 0x7) == 0x6)
            log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: %s DDR3 BIST PASSED!", __func__, fpga.name);
        else
            log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                               "%s: %s DDR3 BIST FAILED! Bist Status Reg = 0x%04x. ddr3_bist_test_failed:%d, "
                               "ddr3_iodelay_ctrl_rdy:%d, ddr3_phy_init_done:%d, ddr3_bist_init_done:%d",
                               __func__, fpga.name, s, s & 1, (s >> 1) & 1, (s >> 2) & 1, (s >> 3) & 1);
    }
}

/* A development override from the boot environment: the value, or -1 when absent or out of range. */
static int readOverride(log4c_category_t *category, const char *key, int limit)
{
    const char *text = fwEnvGetEnv(key);
    int value = 0;
    if (!text || sscanf(text, "%d", &value) != 1)
        return -1;
    if (value < 0 || value > limit) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: Override %s detected but the value is out of range. Valid range is 0..%d. Value in env "
                           "var is %d.",
                           __func__, key, limit, value);
        return -1;
    }
    return value;
}

void platformDetectRearHardware(log4c_category_t *category)
{
    if (platformRecord.rearDetected)
        return;
    platformRecord.rearDetected = 1;

    uint8_t expander[2] = {0, 0};
    if (!platformReadDevice(DEVICE_I2C_IOEXT, 0, 2, expander))
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: could not read the IO expander", __func__);
    platformRecord.rearHwType = expander[0] & 0x1F;
    platformRecord.rearHwRev = expander[0] >> 5;
    platformRecord.mainHwRev = expander[1] & 0x7;
    platformRecord.mainHwPatch = (uint8_t)((expander[1] >> 3) & 0xF);
    platformRecord.cardHwType = 0;
    for (int bit = 0; bit < 3; bit++)
        platformRecord.cardHwType |= (uint32_t)readGpioLine(GPIO_CARD_TYPE_0 + bit) << bit;
    platformRecord.frameType = (uint32_t)(readGpioLine(GPIO_FRAME_0) | readGpioLine(GPIO_FRAME_0 + 1) << 1);

    int rearOverride = readOverride(category, "rearidOverride", PLATFORM_REAR_TYPE_MAX);
    if (rearOverride >= 0) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: DEVELOPMENT ONLY OVERRIDE DETECTED!!! Rear ID. : %s (0x%x) is being overriden by new "
                           "rear id %s (0x%x).",
                           __func__, platformRearHwTypeName(platformRecord.rearHwType), platformRecord.rearHwType,
                           platformRearHwTypeName((uint32_t)rearOverride), rearOverride);
        platformRecord.rearHwType = (uint32_t)rearOverride;
    }
    int swapped = platformRecord.rearHwType == 15;
    platformRecord.rearSlot = (uint32_t)readGpioLine(GPIO_SLOT_0) |
                              (uint32_t)readGpioLine(swapped ? GPIO_SLOT_2 : GPIO_SLOT_1) << 1 |
                              (uint32_t)readGpioLine(swapped ? GPIO_SLOT_1 : GPIO_SLOT_2) << 2;
    if (platformRecord.rearSlot > 5) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: Rear Hardware Slot : %s (0x%x) is invalid. Defaulting to Card A!", __func__,
                           platformCardSlotName(platformRecord.rearSlot), platformRecord.rearSlot);
        platformRecord.rearSlot = 0;
    }
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: Rear Hardware Type  : %s (0x%x)", __func__,
                       platformRearHwTypeName(platformRecord.rearHwType), platformRecord.rearHwType);
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: Rear Hardware Rev.  : %s (0x%x)", __func__,
                       platformRearHwRevName(platformRecord.rearHwRev), platformRecord.rearHwRev);
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: Rear Hardware Slot  : %s (0x%x)", __func__,
                       platformCardSlotName(platformRecord.rearSlot), platformRecord.rearSlot);
    if (platformRecord.rearHwType == PLATFORM_REAR_NONE) {
        if (platformRecord.frameType == 2 && platformIsUsingNqAsiInputs())
            log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                               "%s: No Rear detected. Defaulting QV card slot as CARD A!!!", __func__);
        else
            log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                               "%s: No Rear detected! Could not determine the card's QV slot id from the Rear. "
                               "Defaulting as CARD A!!!",
                               __func__);
        platformRecord.rearSlot = 0;
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: Forced Rear Hardware Slot as  : %s (0x%x)", __func__,
                           platformCardSlotName(0), 0);
    }
    int typeOverride = readOverride(category, "cardHwTypeOverride", PLATFORM_CARD_TYPE_MAX);
    if (typeOverride >= 0) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: DEVELOPMENT ONLY OVERRIDE DETECTED!!! Main Hardware Type. : %s (0x%x) is being "
                           "overriden by new hwType %s (0x%x).",
                           __func__, platformCardTypeName(platformRecord.cardHwType), platformRecord.cardHwType,
                           platformCardTypeName((uint32_t)typeOverride), typeOverride);
        platformRecord.cardHwType = (uint32_t)typeOverride;
    }
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: Main Hardware Type. : %s (0x%x)", __func__,
                       platformCardTypeName(platformRecord.cardHwType), platformRecord.cardHwType);
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: Main Hardware Rev.  : %s (0x%x)", __func__,
                       platformMainHwRevName(platformRecord.mainHwRev), platformRecord.mainHwRev);
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: Main Hardware Patch : 0x%x", __func__,
                       platformRecord.mainHwPatch);
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: Frame Name          : %s (0x%x)", __func__,
                       platformFrameTypeName(platformRecord.frameType), platformRecord.frameType);

    writeOwnWord(PLATFORM_BLOCK_CARD_TYPE, (uint16_t)platformRecord.cardHwType);
    writeOwnWord(PLATFORM_BLOCK_CARD_REV, (uint16_t)platformRecord.mainHwRev);
    writeOwnWord(PLATFORM_BLOCK_CARD_PATCH, platformRecord.mainHwPatch);
    writeOwnWord(PLATFORM_BLOCK_REAR_TYPE, (uint16_t)platformRecord.rearHwType);
    writeOwnWord(PLATFORM_BLOCK_REAR_REV, (uint16_t)platformRecord.rearHwRev);
    writeOwnWord(PLATFORM_BLOCK_FRAME_TYPE, (uint16_t)platformRecord.frameType);
}

static void runRj45LedsCommand(log4c_category_t *category, int vlan)
{
    if (!vlan) {
        int status = runCommand(category, "/bin/qvoutil --enableRJ45Leds on");
        if (status == 0)
            log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                               "%s: No Vlan Mode Detected: Turning RJ45 Leds ON successfully; (<qvoutil --enableRJ45Leds "
                               "on> returned 0)\n",
                               __func__);
        else
            log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                               "%s: No Vlan Mode Detected: Failed to Turn RJ45 Leds ON;  (<qvoutil --enableRJ45Leds on> "
                               "returned %d, expected 0)\n",
                               __func__, status);
        return;
    }
    int status = runCommand(category, "/bin/qvoutil --enableRJ45Leds off");
    if (status == 0)
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                           "%s: Vlan Mode Detected: Turning RJ45 Leds OFF successfully; (<qvoutil --enableRJ45Leds off> "
                           "returned 0)\n",
                           __func__);
    else
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: Vlan Mode Detected: Failed to Turn RJ45 Leds OFF;  (<qvoutil --enableRJ45Leds off> "
                           "returned %d, expected 0)\n",
                           __func__, status);
}

bool platformValidateRearHardwareType(log4c_category_t *category)
{
    uint32_t rear = platformRecord.rearHwType;
    uint32_t card = platformRecord.cardHwType;
    uint32_t frame = platformRecord.frameType;
    bool fits = false;
    if (rear <= 3 || (rear >= 12 && rear <= 14) || rear == 31) {
        fits = frame == 2 && (card == 0 || card == 2 || card == 4);
    } else if ((rear >= 4 && rear <= 6) || rear == 15) {
        uint32_t vlan = platformAreWeUsingVlan(category);
        fits = (card == 2 || card == 5) && (frame == 2 || (frame == 0 && vlan));
    } else if (rear == 7) {
        if (card == 2 || card == 5) {
            uint32_t vlan = platformAreWeUsingVlan(category);
            log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                               "%s: platformAreWeUsingVlan() call retruns this vlan status value %d \n", __func__, vlan);
            runRj45LedsCommand(category, (int)vlan);
            fits = true;
        } else {
            runRj45LedsCommand(category, 1);
        }
    } else if ((rear >= 8 && rear <= 11) || rear == 16) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s:  Invalid arguments: Unsupported Rear Hardware Type ID=%d (0x%04x)", __func__, rear, rear);
    } else {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: Invalid arguments: Reserved Rear Hardware Type ID=%d (0x%04x)", __func__, rear, rear);
    }
    if (fits)
        return true;
    log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                       "%s: Rear hardware type mismatch detected for this Rear hardware ID= %d (0x%04x) that is "
                       "connected to this card type = %d installed in the frame type = %d, consequently setting the "
                       "Strata LED to blink RED.",
                       __func__, rear, rear, card, frame);
    platformSetStrataLedBlinkRed(category, 1);
    return false;
}

void platformEnablePublishingChunks(void)
{
    uint32_t slot = platformRecord.rearSlot;
    for (uint32_t l = 0; l < sharedMemPublishing.listCount; l++) {
        sharedMemPublishingList &list = sharedMemPublishing.lists[l];
        if (slot <= 1) {
            for (uint32_t c = 0; c < list.chunkCount; c++)
                list.chunks[c].send = 1;
            if (slot == 1 && list.chunkCount > 0)
                list.chunks[0].localOffset = CARD_STATUS_BLOCK_SIZE;
        } else if (list.chunkCount > 0) {
            list.chunks[0].localOffset = CARD_STATUS_BLOCK_SIZE * slot;
            list.chunks[0].send = 1;
        }
    }
}

void platformPublishSerialNumber(log4c_category_t *category)
{
    const char *serial = fwEnvGetEnv("serial#");
    unsigned first = 0, second = 0;
    if (!serial) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: ERROR Serial Number not found!", __func__);
    } else {
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: serial number = %s", __func__, serial);
        if (sscanf(serial, "%u_%u", &first, &second) != 2) {
            log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: ERROR Serial Number not found!", __func__);
            first = second = 0;
        }
    }
    writeOwnWord(PLATFORM_BLOCK_SERIAL_1, (uint16_t)(first >> 16));
    writeOwnWord(PLATFORM_BLOCK_SERIAL_1 + 2, (uint16_t)first);
    writeOwnWord(PLATFORM_BLOCK_SERIAL_2, (uint16_t)(second >> 16));
    writeOwnWord(PLATFORM_BLOCK_SERIAL_2 + 2, (uint16_t)second);
}

static void readRunningVersions(void)
{
    uint8_t words[6];
    platformFpgaVersion_t *targets[2] = {&platformRecord.fsmVersion, &platformRecord.dpsVersion};
    uint32_t devices[2] = {DEVICE_FSM_FPGA, DEVICE_DPS_FPGA};
    uint32_t offsets[2] = {PLATFORM_BLOCK_FSM_VERSION, PLATFORM_BLOCK_DPS_VERSION};
    for (int i = 0; i < 2; i++) {
        memset(words, 0, sizeof words);
        deviceManagerAccess(DEVICE_READ, devices[i], 1, 0, 3, words);
        targets[i]->major = (uint16_t)(words[0] << 8 | words[1]);
        targets[i]->minor = (uint16_t)(words[2] << 8 | words[3]);
        targets[i]->build = (uint16_t)(words[4] << 8 | words[5]);
        writeOwnWord(offsets[i], targets[i]->major);
        writeOwnWord(offsets[i] + 2, targets[i]->minor);
        writeOwnWord(offsets[i] + 4, targets[i]->build);
    }
}

void platformFrameModeControl(log4c_category_t *category)
{
    uint16_t value = readFpgaWord(DEVICE_DPS_FPGA, DPS_FRAME_MODE_REGISTER);
    uint32_t card = platformRecord.cardHwType;
    if (card == 0 || card == 4) {
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                           "%s: QMR_A_F in Strata-X (Nq-Node) frame mode is applied to FPGA! Using NQASI inputs.",
                           __func__);
        value |= 1;
    } else if (card == 5) {
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                           "%s: QMR_B_F in Strata 3 / Strata-3+ frame mode is applied! Using SDI inputs.", __func__);
        value &= (uint16_t)~1;
    } else if (platformRecord.frameType == 2) {
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                           "%s: universal Multiviewer in  Strata-X (Nq-Node) frame mode is applied to FPGA! Using "
                           "NQASI inputs.",
                           __func__);
        value |= 1;
    } else {
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                           "%s: universal Multiviewer in S3 or S3+X1 or S3+X4 frame mode is applied! Using SDI inputs.",
                           __func__);
        value &= (uint16_t)~1;
    }
    uint8_t bytes[2] = {(uint8_t)(value >> 8), (uint8_t)value};
    deviceManagerAccess(DEVICE_WRITE, DEVICE_DPS_FPGA, DPS_FRAME_MODE_REGISTER, 0, 1, bytes);
}

void platformSetActiveServicesCount(uint32_t count)
{
    platformConfig.activeServicesCount = count;
}

void platformInitGthSettings(void)
{
    static const struct {
        uint32_t reg;
        uint16_t value;
    } settings[] = {{0x61, 0x0004}, {0x63, 0x0004}, {0x65, 0x0004}, {0x67, 0x0004}, {0x69, 0x001A}, {0x6B, 0x001A}};
    for (const auto &s : settings) {
        uint8_t bytes[2] = {(uint8_t)(s.value >> 8), (uint8_t)s.value};
        deviceManagerAccess(DEVICE_WRITE, DEVICE_FSM_FPGA, s.reg, 0, 1, bytes);
    }
}

/* Slot limit below which the first four transceivers stay powered, by rear type (-1: row of its own). */
static int gthSlotLimit(uint32_t rear)
{
    switch (rear) {
    case 0: case 4: case 8: return 3;
    case 1: case 5: case 9: return 2;
    case 12: return 6;
    case 13: case 15: return 5;
    case 14: return 4;
    default: return -1;
    }
}

void platformInitGTHrxtxPowerdownControl(log4c_category_t *category)
{
    uint32_t rear = platformRecord.rearHwType;
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                       "%s: Applying FPGA GTH power downs for rear type %s, and rear slot %s. Kvr-1001.", __func__,
                       platformRearHwTypeName(rear), platformCardSlotName(platformRecord.rearSlot));
    uint16_t regs[128] = {0};
    static const struct {
        uint32_t first;
        uint32_t count;
    } blocks[] = {{64, 8}, {72, 4}, {96, 8}, {104, 4}};
    for (const auto &b : blocks) {
        uint8_t bytes[16] = {0};
        deviceManagerAccess(DEVICE_READ, DEVICE_FSM_FPGA, b.first, 0, b.count, bytes);
        for (uint32_t i = 0; i < b.count; i++)
            regs[b.first + i] = (uint16_t)(bytes[2 * i] << 8 | bytes[2 * i + 1]);
    }
    int limit = gthSlotLimit(rear);
    bool twoPair = rear == 2 || rear == 6 || rear == 10;
    bool none = limit < 0 && !twoPair;
    auto powerDown = [&](uint32_t reg) -> bool {
        if (reg >= 64 && reg <= 70) {
            if (limit >= 0)
                return (int)platformRecord.rearSlot >= limit;
            if (twoPair)
                return reg >= 68;
            return true;
        }
        if (reg == 72 || reg == 74)
            return true;
        if (reg == 100 || reg == 102)
            return none;
        return false;
    };
    static const uint32_t evenRegs[] = {64, 66, 68, 70, 72, 74, 96, 98, 100, 102, 104, 106};
    for (uint32_t reg : evenRegs) {
        uint16_t value = powerDown(reg) ? (uint16_t)(regs[reg] | 0x2) : (uint16_t)(regs[reg] & ~0x2);
        uint8_t bytes[2] = {(uint8_t)(value >> 8), (uint8_t)value};
        deviceManagerAccess(DEVICE_WRITE, DEVICE_FSM_FPGA, reg, 0, 1, bytes);
    }
}

void platformApplyBuildVersion(log4c_category_t *category)
{
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: Build Version: Going to extract the build version from file %s...",
                       __func__, BUILD_VERSION_FILE);
    char text[BUILD_VERSION_TEXT_MAX + 1];
    unsigned numbers[3] = {0, 0, 0};
    int parsed = 0;
    std::string path = halPath(BUILD_VERSION_FILE);
    if (utils_getKeyValueFromFile(category, path.c_str(), "qvs.short.version", text, sizeof text) != UTILS_OK) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: Build Version: Couldn't extract key %s from %s.!!!",
                           __func__, "qvs.short.version", BUILD_VERSION_FILE);
    } else {
        char *save = nullptr;
        for (char *token = strtok_r(text, ".", &save); token && parsed < 3; token = strtok_r(nullptr, ".", &save)) {
            log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: Build Version: Extracted token %d is %s.", __func__,
                               parsed, token);
            unsigned long value = strtoul(token, nullptr, 10);
            if (value > 31) {
                log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                                   "%s: Build Version: Error!!! The build version extracted from the file %s, has "
                                   "numbers bigger than 31! Each field (major, minor, rev) can only be max 256.",
                                   __func__, BUILD_VERSION_FILE);
                break;
            }
            numbers[parsed++] = (unsigned)(value & 0x1F);
        }
        if (parsed != 3)
            log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                               "%s: Build Version: Could not extract all three numbers (Major Minor Ver).", __func__);
    }
    if (parsed != 3)
        numbers[0] = numbers[1] = numbers[2] = 0;
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                       "%s: Build Version: Setting platform strata config to build version: Major %d, Minor %d, Rev %d",
                       __func__, numbers[0], numbers[1], numbers[2]);
    platformSetUpdateVersion(category, (uint8_t)numbers[0], (uint8_t)numbers[1], (uint8_t)numbers[2]);
}

static void setQvsSlotIds(log4c_category_t *category)
{
    uint32_t slot = platformRecord.rearSlot;
    if (slot <= 5) {
        platformConfig.qvsVideoSlotId = (uint8_t)(4 + slot);
        platformConfig.qvsHybridSlotId = slot <= 1 ? (uint8_t)(4 + slot) : 255;
    } else {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: Could not determine the KVR-Quillon card's slot id. Defaulting as CARD A", __func__);
        platformConfig.qvsVideoSlotId = 4;
        platformConfig.qvsHybridSlotId = 4;
    }
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: Qvs slot id         : (Vid:%d hyb:%d)", __func__,
                       platformConfig.qvsVideoSlotId, platformConfig.qvsHybridSlotId);
}

void platformAttach(log4c_category_t *category, void *sharedMemory)
{
    pthread_mutex_init(&platformRecord.ledMutex, nullptr);
    pthread_mutex_init(&platformRecord.streamMutex, nullptr);
    if (!platformRecord.deviceSemaphoreReady) {
        sem_init(&platformRecord.deviceDoneSemaphore, 0, 0);
        platformRecord.deviceSemaphoreReady = 1;
    }
    platformRecord.category = category;
    platformRecord.sharedMemory = sharedMemory;
}

void platformResetFpga(uint32_t fpgaId)
{
    pulseReset(fpgaId == PLATFORM_FPGA_DPS ? GPIO_DPS_RESET : GPIO_FSM_RESET);
}

void platformPublishFpgaStatus(void)
{
    writeOwnWord(PLATFORM_BLOCK_FPGA_STATUS, platformRecord.fpgasUp ? 0 : 1);
}

void platformPublishCardStatus(log4c_category_t *category)
{
    uint16_t cardId = 0xFFFF;
    qvsInterfaceReadSharedMem(PLATFORM_BLOCK_CARD_ID / 2, &cardId, 1);
    platformConfig.cardIdWord = (uint16_t)(((const uint8_t *)&cardId)[0] << 8 | ((const uint8_t *)&cardId)[1]);
    qvsInterfaceWriteSharedMem((CARD_STATUS_BLOCK_SIZE * platformRecord.rearSlot + PLATFORM_BLOCK_CARD_ID) / 2, &cardId, 1);
    if (platformRecord.rearSlot != 0) {
        platformWriteBlockWord(0, PLATFORM_BLOCK_CARD_ID, 0);
        platformWriteBlockWord(0, PLATFORM_BLOCK_PRESENT, 0);
    }
    writeOwnWord(PLATFORM_BLOCK_PRESENT, 1);

    setQvsSlotIds(category);
    platformEnablePublishingChunks();
    platformAreWeUsingVlan(category);
    writeOwnWord(PLATFORM_BLOCK_WORD4, 1);
    writeOwnWord(PLATFORM_BLOCK_WORD6, 1);
    platformPublishSerialNumber(category);
    readRunningVersions();
}
