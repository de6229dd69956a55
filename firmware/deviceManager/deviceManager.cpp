#include "deviceManager/deviceManager.h"

#include "deviceManager/deviceManagerPrivate.h"
#include "deviceManager/i2c/temperature/lm77/lm77.h"
#include "serviceManager/serviceManager.h"

/* The device manager's state: its category and the lookup by assignedId, both set by init. */
static struct {
    log4c_category_t *category;
    deviceObject *lookup[DEVICE_ID_COUNT];
} deviceManagerContext;

static const deviceDebugFormat_t bytesBigEndian = {1, 0};
static const deviceDebugFormat_t bytesLittleEndian = {1, 1};

/* Records without handler operations, served by the platform's own device services. */
#define PLAIN_DEVICE(id, name, format)                                                                        \
    {id, name, nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0, format, 0, nullptr, 0, 0, {0, 0}, \
     nullptr, -1, nullptr, 0, 0, 0}
#define TEMPERATURE_DEVICE(id, name, path)                                                                      \
    {id, name, path, nullptr, 0, lm77Access, lm77Read, createLm77Handler, deleteLm77Handler, 0, nullptr, 0, \
     nullptr, 0, 0, {0, 0}, nullptr, -1, nullptr, 0, 0, 0}
#define I2C_DEVICE(id, name, path, priority, pageRegister, pageLimit, chipSelect, format, quiet)              \
    {id, name, path, nullptr, 0, i2cHandlerAccessAsync, i2cHandlerAccessSync, createI2cHandler,               \
     deleteI2cHandler, chipSelect, format, 0, nullptr, pageRegister, pageLimit, {0, 0}, nullptr, -1, nullptr, \
     priority, quiet, 0}
#define FPGA_DEVICE(id, name, path)                                                                                \
    {id, name, path, nullptr, 0, fpgaHandlerAccessAsync, fpgaHandlerAccessSync, createFpgaHandler, deleteFpgaHandler, \
     0, nullptr, 0, nullptr, 0, 0, {0, 0}, nullptr, -1, nullptr, 95, 0, 0}

static deviceObject m52Mem = PLAIN_DEVICE(0, "M52-Mem", &bytesBigEndian);
static deviceObject m52MemLocal = PLAIN_DEVICE(31, "M52-Mem-Local", &bytesBigEndian);
static deviceObject layoutMemory = PLAIN_DEVICE(5, "LayoutManager-Memory", &bytesLittleEndian);
static deviceObject temp1 = TEMPERATURE_DEVICE(9, "I2C-Temp1", "/sys/class/i2c-adapter/i2c-2/2-0048/temp1_input");
static deviceObject temp2 = TEMPERATURE_DEVICE(10, "I2C-Temp2", "/sys/class/i2c-adapter/i2c-2/2-0049/temp1_input");
static deviceObject cpuTemp = TEMPERATURE_DEVICE(29, "CpuTemp", "/sys/bus/platform/devices/temp_sensor_hwmon.0/temp1_input");
static deviceObject powerMonitor1 = I2C_DEVICE(11, "I2C-Power-Monitor-1", "/dev/i2c-2", 5, 0, 0, 0, nullptr, 0);
static deviceObject powerMonitor2 = I2C_DEVICE(12, "I2C-Power-Monitor-2", "/dev/i2c-2", 5, 0, 0, 0, nullptr, 0);
static deviceObject powerSequencer = I2C_DEVICE(13, "I2C-POWSEQ", "/dev/i2c-2", 5, 0, 0, 0, nullptr, 0);
static deviceObject ioExpander = I2C_DEVICE(14, "I2C-IOEXT", "/dev/i2c-3", 5, 0, 0, 0, nullptr, 0);
static deviceObject sfpSerialId = I2C_DEVICE(15, "I2C-SFP-SerialId", "/dev/i2c-3", 5, 0, 0, 1, &bytesLittleEndian, 1);
static deviceObject sfpConfig1 = PLAIN_DEVICE(16, "I2C-SFP-Config-1", nullptr);
static deviceObject sfpConfig2 = PLAIN_DEVICE(17, "I2C-SFP-Config-2", nullptr);
static deviceObject genLock = I2C_DEVICE(7, "I2C-Gen-Lock", "/dev/i2c-4", 60, 0, 0, 0, nullptr, 0);
static deviceObject clockCleaner = I2C_DEVICE(8, "I2C-Clock-Cleaner", "/dev/i2c-4", 60, 0x01, 0xFF, 0, nullptr, 0);
static deviceObject fsmFpga = FPGA_DEVICE(1, "FSM-FPGA", "/dev/spidev1.2");
static deviceObject dpsFpga = FPGA_DEVICE(3, "DPS-FPGA", "/dev/spidev2.0");
static deviceObject pcode = PLAIN_DEVICE(18, "Pcode", nullptr);
static deviceObject equalizer1 = PLAIN_DEVICE(19, "Equalizer-Input-1", nullptr);
static deviceObject equalizer2 = PLAIN_DEVICE(20, "Equalizer-Input-2", nullptr);
static deviceObject equalizer3 = PLAIN_DEVICE(21, "Equalizer-Input-3", nullptr);
static deviceObject equalizer4 = PLAIN_DEVICE(22, "Equalizer-Input-4", nullptr);
static deviceObject equalizer5 = PLAIN_DEVICE(23, "Equalizer-Input-5", nullptr);
static deviceObject equalizer6 = PLAIN_DEVICE(24, "Equalizer-Input-6", nullptr);
static deviceObject equalizer7 = PLAIN_DEVICE(25, "Equalizer-Input-7", nullptr);
static deviceObject equalizer8 = PLAIN_DEVICE(26, "Equalizer-Input-8", nullptr);
static deviceObject equalizer9 = PLAIN_DEVICE(27, "Equalizer-Input-9", nullptr);
static deviceObject threadControl = PLAIN_DEVICE(28, "Thread Control", nullptr);
static deviceObject localDiscovery = PLAIN_DEVICE(30, "Local Discovery", &bytesBigEndian);
static deviceObject discoveryDebug = PLAIN_DEVICE(6, "Discovery Debug", &bytesLittleEndian);
static deviceObject discoveryOffsets = PLAIN_DEVICE(32, "Discovery Offsets", &bytesBigEndian);
static deviceObject factoryDefault = PLAIN_DEVICE(33, "Factory_Default", nullptr);

deviceObject *const deviceTable[DEVICE_TABLE_SIZE] = {
    &m52Mem,        &m52MemLocal,   &layoutMemory,  &temp1,          &temp2,         &cpuTemp,
    &powerMonitor1, &powerMonitor2, &powerSequencer, &ioExpander,    &sfpSerialId,   &sfpConfig1,
    &sfpConfig2,    &genLock,       &clockCleaner,  &fsmFpga,        &dpsFpga,       &pcode,
    &equalizer1,    &equalizer2,    &equalizer3,    &equalizer4,     &equalizer5,    &equalizer6,
    &equalizer7,    &equalizer8,    &equalizer9,    &threadControl,  &localDiscovery, &discoveryDebug,
    &discoveryOffsets, &factoryDefault,
};
const uint32_t deviceTableCount = DEVICE_TABLE_SIZE;

static log4c_category_t *managerCategory(void)
{
    if (!deviceManagerContext.category)
        deviceManagerContext.category = log4c_category_get("ulm.firmware.deviceManager");
    return deviceManagerContext.category;
}

void deviceManagerInit(serviceDescriptor *service)
{
    if (service && service->category)
        deviceManagerContext.category = service->category;
    log4c_category_t *log = managerCategory();
    for (uint32_t i = 0; i < deviceTableCount; i++) {
        deviceObject *device = deviceTable[i];
        if (device->assignedId < DEVICE_ID_COUNT)
            deviceManagerContext.lookup[device->assignedId] = device;
        if (!device->create)
            continue;
        uint32_t rc = device->create(device, device->assignedId);
        /* A device without a working handler is left uninitialised; its accesses fail. */
        device->initialised = rc == DEVICE_ACCESS_OK ? 1 : 0;
        if (rc != DEVICE_ACCESS_OK)
            log4c_category_log(log, LOG4C_PRIORITY_ERROR, "%s: %s could not be created (%u), its accesses will fail",
                               __func__, device->name, rc);
    }
}

void deviceManagerTerminate(serviceDescriptor *service, int newState, int previousState)
{
    (void)service;
    (void)newState;
    (void)previousState;
    for (uint32_t i = 0; i < deviceTableCount; i++) {
        deviceObject *device = deviceTable[i];
        if (!device->remove)
            continue;
        if (device->handlerState)
            device->remove(device);
        device->initialised = 0;
    }
}

/* The record of an id without logging; null for ids above 33 and ids without a device. */
static deviceObject *lookupDevice(uint32_t assignedId)
{
    return assignedId < DEVICE_ID_COUNT ? deviceManagerContext.lookup[assignedId] : nullptr;
}

deviceObject *deviceManagerGetDevice(uint32_t assignedId)
{
    if (assignedId >= DEVICE_ID_COUNT) {
        log4c_category_log(managerCategory(), LOG4C_PRIORITY_ERROR, "Invalid assignedId %d", (int)assignedId);
        return nullptr;
    }
    return lookupDevice(assignedId);
}

uint32_t deviceManagerAccess(uint32_t command, uint32_t assignedId, uint32_t address, uint32_t priority,
                             uint32_t count, void *buffer)
{
    uint32_t id = assignedId & 0xFF;
    deviceObject *device = lookupDevice(id);
    if (!device || !device->accessSync) {
        log4c_category_log(managerCategory(), LOG4C_PRIORITY_ERROR, "Invalid assignedId %d", (int)id);
        return DEVICE_ACCESS_INVALID_ID;
    }
    return device->accessSync(device, command, address, priority, count, buffer);
}

uint32_t deviceManagerAccessAsync(uint32_t command, uint32_t assignedId, uint32_t address, uint32_t priority,
                                  uint32_t count, void *buffer, void *callbackArgument,
                                  deviceAccessCallback_t callback)
{
    uint32_t id = assignedId & 0xFF;
    deviceObject *device = lookupDevice(id);
    if (!device || !device->accessAsync) {
        log4c_category_log(managerCategory(), LOG4C_PRIORITY_ERROR, "Invalid assignedId %d", (int)id);
        return DEVICE_ACCESS_INVALID_ID;
    }
    return device->accessAsync(device, command, address, priority, count, buffer, callbackArgument, callback);
}
