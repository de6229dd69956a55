#include "platform/platformPrivate.h"

#include "deviceManager/deviceManager.h"
#include "hal/hal.h"
#include "qvsInterface/qvsInterface.h"
#include "utils/utils.h"
#include "utilsHost/utilsHost.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

enum {
    EQ_COMMAND_REGISTER = 0x80,
    EQ_STATUS_REGISTER = 0x81,
    EQ_WRITE_DATA_REGISTER = 0x82,
    EQ_READ_DATA_REGISTER = 0x8B,
    EQ_READY = 0x8000,
    EQ_SELECT_ALL = 0x01FF,
    EQ_POLLS = 5,
    EQ_INPUT_MAX = 12,
    EQ_REGISTERS = 8,
    TIMECODE_CARD_MAX = 5,  /* video cards 0 to 5 of the frame */
    TIMECODE_INPUT_MAX = 8, /* video inputs 0 to 8 of a card */
    DISCOVERY_OFFSETS_SIZE = 32,
    CUT_SPI_PAUSE_US = 16000,
    SAVE_RESTORE_POINT_TYPE = 2,          /* a request */
    SAVE_RESTORE_POINT_DESTINATION = 0x15, /* the frame controller */
    SAVE_RESTORE_POINT_OPCODE = 0x102d,
};

/* Serialises the synchronous accesses: one semaphore and one status word for all callers. */
static pthread_mutex_t platformDeviceMutex = PTHREAD_MUTEX_INITIALIZER;

static void platformDeviceAccessDone(deviceObject *device, void *argument, uint32_t status)
{
    (void)device;
    (void)argument;
    platformRecord.deviceDoneStatus = status;
    sem_post(&platformRecord.deviceDoneSemaphore);
}

static int deviceAccessSync(uint32_t command, uint32_t deviceId, uint32_t address, uint32_t count, void *buffer)
{
    pthread_mutex_lock(&platformDeviceMutex);
    if (!platformRecord.deviceSemaphoreReady) {
        sem_init(&platformRecord.deviceDoneSemaphore, 0, 0);
        platformRecord.deviceSemaphoreReady = 1;
    }
    int done = 0;
    uint32_t rc = deviceManagerAccessAsync(command, deviceId, address, 0, count, buffer, nullptr, platformDeviceAccessDone);
    if (rc == DEVICE_ACCESS_OK) {
        while (sem_wait(&platformRecord.deviceDoneSemaphore) != 0 && errno == EINTR)
            ;
        done = platformRecord.deviceDoneStatus == 0;
    }
    pthread_mutex_unlock(&platformDeviceMutex);
    return done;
}

int platformDeviceReadSync(uint32_t deviceId, uint32_t address, uint32_t count, void *buffer)
{
    uint32_t command = deviceId == DEVICE_I2C_CLOCK_CLEANER ? DEVICE_I2C_PAGED_READ : DEVICE_READ;
    return deviceAccessSync(command, deviceId, address, count, buffer);
}

int platformDeviceWriteSync(uint32_t deviceId, uint32_t address, uint32_t count, const void *buffer)
{
    uint32_t command = deviceId == DEVICE_I2C_CLOCK_CLEANER ? DEVICE_I2C_PAGED_WRITE : DEVICE_WRITE;
    return deviceAccessSync(command, deviceId, address, count, (void *)buffer);
}

/* I2C devices served through the device manager: the manager's device and the slave. */
static int i2cTarget(uint32_t deviceId, uint32_t address, uint32_t *device, uint32_t *managerAddress)
{
    static const struct {
        uint32_t id;
        uint32_t device;
        uint32_t slave;
    } rows[] = {
        {7, 7, 0x67},   {8, 8, 0x68},   {11, 11, 0x40}, {12, 12, 0x41}, {13, 13, 0x60},
        {14, 14, 0x74}, {15, 15, 0x50}, {16, 15, 0x51}, {17, 15, 0x59},
    };
    for (const auto &row : rows) {
        if (row.id != deviceId)
            continue;
        *device = row.device;
        *managerAddress = deviceId == DEVICE_I2C_CLOCK_CLEANER ? (row.slave << 16 | (address & 0xFFFF))
                                                               : (row.slave << 8 | (address & 0xFF));
        return 1;
    }
    return 0;
}

/* A byte memory a device id exposes: its base and size; 0 when the id has none. */
static int deviceMemory(uint32_t deviceId, uint8_t **base, uint32_t *size, int writing)
{
    uint8_t *shared = (uint8_t *)platformRecord.sharedMemory;
    switch (deviceId) {
    case DEVICE_M52_MEM:
        *base = shared;
        *size = qvsInterfaceGetSharedMemorySize();
        return shared != nullptr;
    case DEVICE_M52_MEM_LOCAL:
        *base = shared ? shared + CARD_STATUS_BLOCK_SIZE * platformRecord.rearSlot : nullptr;
        *size = CARD_STATUS_BLOCK_SIZE;
        return shared != nullptr &&
               CARD_STATUS_BLOCK_SIZE * (platformRecord.rearSlot + 1) <= qvsInterfaceGetSharedMemorySize();
    default: {
        const platformDeviceMemory_t *memory = platformFindDeviceMemory(deviceId);
        if (!memory)
            return 0;
        *base = memory->base;
        *size = memory->size;
        return !writing || memory->writable;
    }
    }
}

/* Copies between a memory and the caller's buffer when [address, address + size) lies inside it. */
static int copyMemory(uint32_t deviceId, uint32_t address, uint32_t size, uint8_t *buffer, int writing)
{
    log4c_category_t *category = platformRecord.category;
    uint8_t *base = nullptr;
    uint32_t limit = 0;
    if (!deviceMemory(deviceId, &base, &limit, writing) || !base)
        return -1;
    if (deviceId == DEVICE_M52_MEM || deviceId == DEVICE_M52_MEM_LOCAL)
        log4c_category_log(category, LOG4C_PRIORITY_DEBUG,
                           "%s: M52: Device going to read address %x of size %d sharedmem address is 0x%x offset 0x%x",
                           __func__, address, size, (unsigned)(uintptr_t)base, address);
    if ((uint64_t)address + size > limit || (size > 0 && !buffer)) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: device %u: address %u size %u lies outside its %u bytes", __func__, deviceId, address,
                           size, limit);
        return 0;
    }
    for (uint32_t i = 0; i < size; i++) {
        if (writing)
            base[address + i] = buffer[i];
        else
            buffer[i] = base[address + i];
    }
    return 1;
}

static int readDiscoveryOffsets(uint32_t address, uint32_t size, uint8_t *buffer)
{
    if ((uint64_t)address + size > DISCOVERY_OFFSETS_SIZE || (size > 0 && !buffer)) {
        log4c_category_log(platformRecord.category, LOG4C_PRIORITY_ERROR,
                           "Platorm: platform_DEVID_DISCOVERY_OFFSETS invalid arguments address %d size %d. Max size is %d.",
                           address, size, DISCOVERY_OFFSETS_SIZE);
        return 0;
    }
    uint32_t words[8] = {CARD_STATUS_BLOCK_SIZE * platformRecord.rearSlot + 976, 26, 8, 0, 2, 8, 12, 22};
    uint8_t record[DISCOVERY_OFFSETS_SIZE];
    for (int i = 0; i < 8; i++) {
        record[4 * i] = (uint8_t)(words[i] >> 24);
        record[4 * i + 1] = (uint8_t)(words[i] >> 16);
        record[4 * i + 2] = (uint8_t)(words[i] >> 8);
        record[4 * i + 3] = (uint8_t)words[i];
    }
    memcpy(buffer, record + address, size);
    return 1;
}

int platformReadDevice(uint32_t deviceId, uint32_t address, uint32_t size, uint8_t *buffer)
{
    log4c_category_t *category = platformRecord.category;
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: devid=0x%02x, address=0x%04x, size=0x%04x ", __func__, deviceId,
                       address, size);
    int copied = copyMemory(deviceId, address, size, buffer, 0);
    if (copied >= 0)
        return copied;
    uint32_t device = 0, managerAddress = 0;
    if (i2cTarget(deviceId, address, &device, &managerAddress))
        return platformDeviceReadSync(device, managerAddress, size, buffer);
    switch (deviceId) {
    case DEVICE_FSM_FPGA:
    case DEVICE_DPS_FPGA:
    case DEVICE_I2C_TEMP1:
    case DEVICE_I2C_TEMP2:
        return platformDeviceReadSync(deviceId, address, size, buffer);
    case DEVICE_DISCOVERY_OFFSETS:
        return readDiscoveryOffsets(address, size, buffer);
    default:
        break;
    }
    if (deviceId >= DEVICE_EQUALIZER_INPUT_1 && deviceId < DEVICE_EQUALIZER_INPUT_1 + 9)
        return platformEQReadLMH0394Input(deviceId - DEVICE_EQUALIZER_INPUT_1, address, size, buffer);
    log4c_category_log(category, LOG4C_PRIORITY_ERROR, "Platorm: Device unknown %d", deviceId);
    return 0;
}

static void factoryDefaultTrigger(uint32_t address)
{
    log4c_category_t *category = platformRecord.category;
    if (address != 0xFFFF) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s received command to set card as Factory_Default but arguments are bad (address = 0x%x, "
                           "expected 0xFFFF)",
                           __func__, address);
        return;
    }
    log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s received command to set card as Factory_Default!!!", __func__);
    if (platformHooks.factoryReset)
        platformHooks.factoryReset(category, 1);
}

/* Pauses (1) or resumes (0) the pcode path, when the pcode processor lent it. */
static void pausePcodes(int paused)
{
    if (platformHooks.pcode)
        platformHooks.pcode->setPaused(paused);
}

static void threadControl(uint32_t address, uint32_t size, const uint8_t *buffer)
{
    log4c_category_t *category = platformRecord.category;
    /* Flags written while no probing service lent its own land here. */
    static platformProbeFlags_t unlent;
    platformProbeFlags_t &flags = platformHooks.probeFlags ? *platformHooks.probeFlags : unlent;
    uint8_t byte0 = size > 0 && buffer ? buffer[0] : 0;
    uint8_t byte1 = size > 1 && buffer ? buffer[1] : 0;
    switch (address) {
    case 0xFFFF:
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: Halting Probing service!!!", __func__);
        flags.halted = 1;
        break;
    case 0xFFFE:
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: Starting Probing service again!!!", __func__);
        flags.halted = 0;
        break;
    case 0xFFFC:
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: Halting Probing of Merger FPGA!!!", __func__);
        flags.mergerHalted = 1;
        break;
    case 0xFFFB:
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: Starting Probing of Merger FPGA!!!", __func__);
        flags.mergerHalted = 0;
        break;
    case 0xFFFA:
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: fw-device-access sent command to cut SPI access!!!", __func__);
        pausePcodes(1);
        flags.mergerHalted = 1;
        usleep(CUT_SPI_PAUSE_US);
        cutSpiLinks(category, 1);
        break;
    case 0xFFF9:
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: fw-device-access sent command to re-enable SPI access!!!",
                           __func__);
        cutSpiLinks(category, 0);
        flags.mergerHalted = 0;
        pausePcodes(0);
        break;
    case 0xFFF8:
        /* A check of a card or input that does not exist is refused, never turned into card 0, input 0. */
        if (byte0 > TIMECODE_CARD_MAX || byte1 > TIMECODE_INPUT_MAX) {
            log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                               "%s: Embedded TimeCode Check of Video Card %d, Video Input %d refused: cards 0 to %d, "
                               "inputs 0 to %d; the check stays %s",
                               __func__, byte0, byte1, TIMECODE_CARD_MAX, TIMECODE_INPUT_MAX,
                               flags.timecodeCheckOn ? "on" : "off");
            break;
        }
        flags.timecodeCard = byte0;
        flags.timecodeInput = byte1;
        flags.timecodeCheckOn = 1;
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: Starting Embedded TimeCode Check of Video Card %d, Video Input %d (0 based)!!!", __func__,
                           flags.timecodeCard, flags.timecodeInput);
        break;
    case 0xFFF7:
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: Stopping Embedded TimeCode Check of Video %d (0 based)!!!",
                           __func__, flags.timecodeInput);
        flags.timecodeCheckOn = 0;
        break;
    case 0xFFF6:
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: Debug value= %d", __func__, byte0);
        if (byte1 == 0) {
            log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                               "%s: Routing Probing Frame accuracy events to the debug gpios.!!!", __func__);
            platformRecord.debugRouting = {0, 1, 0};
        } else if (byte1 == 1) {
            log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                               "%s: Routing Probing Loudness thread events to the debug gpios.!!!", __func__);
            platformRecord.debugRouting = {1, 0, 0};
        } else if (byte1 == 2) {
            log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                               "%s: Routing HDR Process Debugging events to the debug gpios.!!!", __func__);
            platformRecord.debugRouting = {0, 0, 1};
        }
        break;
    case 0xFFF5:
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: Removing routing Probing Frame accuracy events to the debug gpios.!!!", __func__);
        platformRecord.debugRouting = {0, 0, 0};
        break;
    case 0xFFF4:
        log4c_category_log(category, LOG4C_PRIORITY_INFO,
                           "%s: Enabling HDR 3DLut back reader mechanism to validate data integrity in 3DLuts.!!!",
                           __func__);
        platformRecord.hdrReadBack = 1;
        if (platformHooks.hdrMaintenance)
            platformHooks.hdrMaintenance(address);
        break;
    case 0xFFF3:
        log4c_category_log(category, LOG4C_PRIORITY_INFO,
                           "%s: Disabling HDR 3DLut back reader mechanism to validate data integrity in 3DLuts.!!!",
                           __func__);
        platformRecord.hdrReadBack = 0;
        if (platformHooks.hdrMaintenance)
            platformHooks.hdrMaintenance(address);
        break;
    case 0xFFF2:
        log4c_category_log(category, LOG4C_PRIORITY_INFO,
                           "%s: Call validateHdrInputs3DLutDataIntegrity() function to Read back the HDR INPUTs 3DLut in "
                           "order to validate data integrity in DPS.!!!",
                           __func__);
        if (platformHooks.hdrMaintenance)
            platformHooks.hdrMaintenance(address);
        break;
    case 0xFFF1:
        log4c_category_log(category, LOG4C_PRIORITY_INFO,
                           "%s: Call validateHdrHeads3DLutDataIntegrity() function to Read back the HDR HEADs 3DLut in "
                           "order to validate data integrity in FSM.!!!",
                           __func__);
        if (platformHooks.hdrMaintenance)
            platformHooks.hdrMaintenance(address);
        break;
    default:
        break;
    }
}

/* Device 18: `size` 16-bit words of one pcode for the pcode processor. The log lines name the write service. */
static int writePcode(uint32_t size, const uint8_t *buffer)
{
    log4c_category_t *category = platformRecord.category;
    const char *fn = "platformWriteDevice";
    const platformPcodeSink_t *sink = platformHooks.pcode;
    if (!sink || !sink->isRunning()) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: The pcode processor was not running, therefore not allowing pcodes to be send from "
                           "this path.",
                           fn);
        return 0;
    }
    if (!buffer || size * 2 > sink->bufferSize || size * 2 < sink->headerSize) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: pcode of %u words refused", fn, size);
        return 0;
    }
    sink->process(size * 2, buffer, category);
    return 1;
}

int platformWriteDevice(uint32_t deviceId, uint32_t address, uint32_t size, const uint8_t *buffer)
{
    log4c_category_t *category = platformRecord.category;
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: devid=0x%02x, address=0x%04x, size=0x%04x ", __func__, deviceId,
                       address, size);
    int copied = copyMemory(deviceId, address, size, (uint8_t *)buffer, 1);
    if (copied >= 0)
        return copied;
    uint32_t device = 0, managerAddress = 0;
    if (i2cTarget(deviceId, address, &device, &managerAddress))
        return platformDeviceWriteSync(device, managerAddress, size, buffer);
    switch (deviceId) {
    case DEVICE_FSM_FPGA:
    case DEVICE_DPS_FPGA:
        return platformDeviceWriteSync(deviceId, address, size, buffer);
    case DEVICE_PCODE:
        return writePcode(size, buffer);
    case DEVICE_THREAD_CONTROL:
        threadControl(address, size, buffer);
        return 1;
    case DEVICE_FACTORY_DEFAULT:
        factoryDefaultTrigger(address);
        return 1;
    default:
        break;
    }
    if (deviceId >= DEVICE_EQUALIZER_INPUT_1 && deviceId < DEVICE_EQUALIZER_INPUT_1 + 9)
        return platformEQWriteLMH0394Input(deviceId - DEVICE_EQUALIZER_INPUT_1, address, size, buffer);
    log4c_category_log(category, LOG4C_PRIORITY_ERROR, "Platorm: Device unknown %d", deviceId);
    return 0;
}

static uint16_t eqStatus(void)
{
    uint8_t bytes[2] = {0, 0};
    platformDeviceReadSync(DEVICE_DPS_FPGA, EQ_STATUS_REGISTER, 1, bytes);
    return (uint16_t)(bytes[0] << 8 | bytes[1]);
}

static int eqPollReady(uint16_t *status)
{
    for (int poll = 0; poll < EQ_POLLS; poll++) {
        *status = eqStatus();
        if (*status & EQ_READY)
            return 1;
    }
    return 0;
}

static void eqCommand(uint32_t reg, uint16_t status, uint16_t mask)
{
    uint16_t words[2] = {(uint16_t)(reg & 0x7), (uint16_t)((status & EQ_READY) | mask)};
    uint8_t bytes[4] = {(uint8_t)(words[0] >> 8), (uint8_t)words[0], (uint8_t)(words[1] >> 8), (uint8_t)words[1]};
    platformDeviceWriteSync(DEVICE_DPS_FPGA, EQ_COMMAND_REGISTER, 2, bytes);
}

static int eqAccess(const char *operation, uint32_t input, uint32_t address, uint32_t size, uint8_t *bytes, int writing)
{
    log4c_category_t *category = platformRecord.category;
    /* A write must stay inside the eight registers; a read wraps round to register 0. */
    bool outside = writing ? address + size > EQ_REGISTERS : size > EQ_REGISTERS;
    if (input > EQ_INPUT_MAX || address >= EQ_REGISTERS || outside || (size > 0 && !bytes)) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s called with invalid Param input:%d address: %d size: %d!",
                           operation, input, address, size);
        if (!writing && bytes && size <= EQ_REGISTERS)
            memset(bytes, 0, size);
        return 0;
    }
    uint32_t index = input <= 8 ? input : 9;
    uint16_t status = eqStatus();
    if (!(status & EQ_READY)) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s eq_rdy_flag %d implies processing command try later!",
                           operation, 0);
        return 0;
    }
    for (uint32_t k = 0; k < size; k++) {
        uint32_t reg = (address + k) % EQ_REGISTERS;
        if (writing) {
            uint8_t data[2] = {0, bytes[k]};
            platformDeviceWriteSync(DEVICE_DPS_FPGA, EQ_WRITE_DATA_REGISTER + index, 1, data);
            uint16_t mask = (uint16_t)(EQ_SELECT_ALL & ~(1u << index));
            log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "%s sending write reg ctrl value of 0x%x inputValue %d value 0x%x!",
                               operation, reg, input, bytes[k]);
            eqCommand(reg, status, mask);
            eqPollReady(&status);
        } else {
            eqCommand(reg, status, EQ_SELECT_ALL);
            if (eqPollReady(&status)) {
                uint8_t data[2] = {0, 0};
                platformDeviceReadSync(DEVICE_DPS_FPGA, EQ_READ_DATA_REGISTER + index, 1, data);
                bytes[k] = data[1];
                log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "%s read data address 0x%x for inputValue %d OK value is 0x%x!",
                                   operation, reg, input, bytes[k]);
            }
        }
    }
    return 1;
}

int platformEQReadLMH0394Input(uint32_t input, uint32_t address, uint32_t size, uint8_t *bytes)
{
    return eqAccess(__func__, input, address, size, bytes, 0);
}

int platformEQWriteLMH0394Input(uint32_t input, uint32_t address, uint32_t size, const uint8_t *bytes)
{
    return eqAccess(__func__, input, address, size, (uint8_t *)bytes, 1);
}

void rebootCard(log4c_category_t *category, uint32_t confirmation)
{
    if (confirmation != PLATFORM_REBOOT_CONFIRMATION) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s called. But got a bad confirmation, will not reboot.",
                           __func__);
        return;
    }
    log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s called. WILL REBOOT!!!!! calling /sbin/reboot", __func__);
    if (halReboot() != 0)
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: reboot request failed errno[%d] = %s", __func__, errno,
                           strerror(errno));
}

void cutSpiLinks(log4c_category_t *category, int cut)
{
    log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                       cut ? "%s called. Will cut the spi links!!!" : "%s called. Will re-connect the spi links!!!",
                       __func__);
    for (uint32_t id : {(uint32_t)DEVICE_FSM_FPGA, (uint32_t)DEVICE_DPS_FPGA}) {
        deviceObject *device = deviceManagerGetDevice(id);
        if (device)
            device->spiLinkCut = cut ? 1 : 0;
    }
}

static void setFlag(uint32_t *flag, uint32_t value)
{
    if (flag)
        *flag = value;
}

void platformFactoryDefaultResetCardParameters(log4c_category_t *category, uint32_t *handled, uint32_t *saveRestorePoint,
                                               uint32_t *reboot)
{
    setFlag(handled, 1);
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: reset card parameters", __func__);
    int status = runCommand(category, "/bin/qvoutil --reset params");
    if (status == 0) {
        setFlag(saveRestorePoint, 1);
        setFlag(reboot, 1);
        return;
    }
    log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s failed to execute /bin/qvoutil --reset params, returned value %d!",
                       __func__, status);
}

void platformFactoryDefaultResetNetworkConfig(log4c_category_t *category, uint32_t *handled, uint32_t *saveRestorePoint,
                                              uint32_t *reboot)
{
    (void)saveRestorePoint;
    setFlag(handled, 1);
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: reset network configuration", __func__);
    int status = runCommand(category, "/bin/qvoutil --reset network");
    if (status == 0) {
        setFlag(reboot, 1);
        return;
    }
    log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s failed to execute /bin/qvoutil --reset network, returned value %d!",
                       __func__, status);
}

#define UNSUPPORTED_STEP(name, text)                                                                               \
    void name(log4c_category_t *category, uint32_t *handled, uint32_t *saveRestorePoint, uint32_t *reboot)         \
    {                                                                                                              \
        (void)handled;                                                                                             \
        (void)saveRestorePoint;                                                                                    \
        (void)reboot;                                                                                              \
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, text, __func__);                                       \
    }

UNSUPPORTED_STEP(platformFactoryDefaultResetAlarmContribution, "%s: reset alarms is not supported yet")
UNSUPPORTED_STEP(platformFactoryDefaultResetGlobalPreset, "%s: reset global preset is not supported")
UNSUPPORTED_STEP(platformFactoryDefaultResetLocalPreset, "%s: reset local preset is not supported")
UNSUPPORTED_STEP(platformFactoryDefaultResetReserved1, "%s: reset reserved 1 is not supported")
UNSUPPORTED_STEP(platformFactoryDefaultResetReserved2, "%s: reset reserved 2 is not supported")
UNSUPPORTED_STEP(platformFactoryDefaultResetReserved3, "%s: reset reserved 3 is not supported")

void platformSaveMemblock(void)
{
    log4c_category_t *category = platformRecord.category;
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: sending SAVE_RESTORE_POINT to strata", __func__);
    const uint8_t payload[3] = {0, 0, 0};
    if (platformHooks.strataSend)
        platformHooks.strataSend(category, SAVE_RESTORE_POINT_TYPE, SAVE_RESTORE_POINT_DESTINATION,
                                 SAVE_RESTORE_POINT_OPCODE, payload, sizeof payload);
}
