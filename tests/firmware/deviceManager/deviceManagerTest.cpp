#include "deviceManager/deviceManager.h"

#include "hal/hal.h"
#include "serviceManager/serviceManager.h"

#include <cstring>

#include "deviceTestSupport.h"

extern serviceDescriptor deviceManagerService;

namespace {

class DeviceManagerTest : public CardFixture {};

struct TableRow {
    uint32_t id;
    const char *name;
    const char *path;
    int handled;
};

const TableRow tableRows[] = {
    {0, "M52-Mem", nullptr, 0},
    {1, "FSM-FPGA", "/dev/spidev1.2", 1},
    {3, "DPS-FPGA", "/dev/spidev2.0", 1},
    {5, "LayoutManager-Memory", nullptr, 0},
    {6, "Discovery Debug", nullptr, 0},
    {7, "I2C-Gen-Lock", "/dev/i2c-4", 1},
    {8, "I2C-Clock-Cleaner", "/dev/i2c-4", 1},
    {9, "I2C-Temp1", "/sys/class/i2c-adapter/i2c-2/2-0048/temp1_input", 1},
    {10, "I2C-Temp2", "/sys/class/i2c-adapter/i2c-2/2-0049/temp1_input", 1},
    {11, "I2C-Power-Monitor-1", "/dev/i2c-2", 1},
    {12, "I2C-Power-Monitor-2", "/dev/i2c-2", 1},
    {13, "I2C-POWSEQ", "/dev/i2c-2", 1},
    {14, "I2C-IOEXT", "/dev/i2c-3", 1},
    {15, "I2C-SFP-SerialId", "/dev/i2c-3", 1},
    {16, "I2C-SFP-Config-1", nullptr, 0},
    {17, "I2C-SFP-Config-2", nullptr, 0},
    {18, "Pcode", nullptr, 0},
    {19, "Equalizer-Input-1", nullptr, 0},
    {27, "Equalizer-Input-9", nullptr, 0},
    {28, "Thread Control", nullptr, 0},
    {29, "CpuTemp", "/sys/bus/platform/devices/temp_sensor_hwmon.0/temp1_input", 1},
    {30, "Local Discovery", nullptr, 0},
    {31, "M52-Mem-Local", nullptr, 0},
    {32, "Discovery Offsets", nullptr, 0},
    {33, "Factory_Default", nullptr, 0},
};

TEST_F(DeviceManagerTest, TableHoldsEveryDeviceUnderItsId)
{
    EXPECT_EQ(deviceTableCount, 32u);
    for (const TableRow &row : tableRows) {
        SCOPED_TRACE(row.name);
        deviceObject *device = deviceManagerGetDevice(row.id);
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(device->assignedId, row.id);
        EXPECT_STREQ(device->name, row.name);
        if (row.path) {
            EXPECT_STREQ(device->devicePath, row.path);
        }
        EXPECT_EQ(device->accessSync != nullptr, row.handled != 0);
        EXPECT_EQ(device->initialised, row.handled ? 1u : 0u);
    }
    EXPECT_EQ(deviceManagerGetDevice(2), nullptr);
    EXPECT_EQ(deviceManagerGetDevice(4), nullptr);
    EXPECT_EQ(deviceManagerGetDevice(8)->pageRegister, 0x01);
    EXPECT_EQ(deviceManagerGetDevice(8)->pageLimit, 0xFF);
    EXPECT_EQ(deviceManagerGetDevice(15)->quietErrors, 1u);
    EXPECT_EQ(deviceManagerGetDevice(1)->threadPriority, 95u);
    EXPECT_EQ(deviceManagerGetDevice(7)->threadPriority, 60u);
    EXPECT_EQ(deviceManagerGetDevice(14)->threadPriority, 5u);
    EXPECT_EQ(log.count("Invalid assignedId"), 0);
    EXPECT_EQ(deviceManagerGetDevice(34), nullptr);
    EXPECT_EQ(log.count("Invalid assignedId 34"), 1);
}

// One read per handled device, with what the emulated card answers there.
struct DeviceRead {
    uint32_t id;
    uint32_t command;
    uint32_t address;
    uint32_t count;
    std::vector<uint8_t> expected;
};

const DeviceRead deviceReads[] = {
    {1, DEVICE_READ, 0x0, 1, {0xBD, 0x90}},
    {3, DEVICE_READ, 0x1, 3, {0x00, 0x0D, 0x00, 0x04, 0x2D, 0x10}},
    {7, DEVICE_READ, 0x6700, 1, {0x00}},
    {8, DEVICE_I2C_PAGED_READ, 0x6800FE, 1, {0x0F}},
    {9, DEVICE_READ, 0, 1, {0xC4, 0x01}},   // 452 in host order
    {10, DEVICE_READ, 0, 1, {0xD6, 0x01}},  // 470
    {11, DEVICE_READ, 0x4002, 2, {0x0C, 0xE4}},
    {12, DEVICE_READ, 0x4102, 2, {0x0C, 0xE4}},
    {13, DEVICE_READ, 0x6000, 1, {0x02}},   // high byte of the 5 V rail reading
    {14, DEVICE_READ, 0x7400, 2, {0x20, 0x01}},
    {15, DEVICE_READ, 0x5000, 3, {0x03, 0x04, 0x07}},
    {29, DEVICE_READ, 0, 1, {0x0D, 0x02}},  // 525
};

TEST_F(DeviceManagerTest, EveryHandledDeviceAnswersSynchronouslyAndAsynchronously)
{
    for (const DeviceRead &read : deviceReads) {
        SCOPED_TRACE("device " + std::to_string(read.id));
        std::vector<uint8_t> buffer(read.expected.size(), 0xEE);
        EXPECT_EQ(deviceManagerAccess(read.command, read.id, read.address, 0, read.count, buffer.data()), 0u);
        EXPECT_EQ(buffer, read.expected);

        Completions done;
        Completions::Entry *entry = done.entry();
        std::fill(buffer.begin(), buffer.end(), 0xEE);
        ASSERT_EQ(deviceManagerAccessAsync(read.command, read.id, read.address, 0, read.count, buffer.data(), entry,
                                           Completions::callback),
                  0u);
        ASSERT_TRUE(done.wait(1));
        EXPECT_EQ(entry->status, 0u);
        EXPECT_EQ(entry->calls, 1);
        EXPECT_EQ(buffer, read.expected);
    }
    EXPECT_EQ(log.count("Invalid assignedId"), 0);
}

TEST_F(DeviceManagerTest, IdsWithoutADeviceOrOperationsAreRefusedAndLogged)
{
    for (uint32_t id : {2u, 4u, 34u, 255u, 0u, 18u, 33u, 16u}) {
        SCOPED_TRACE(id);
        log.clear();
        uint8_t buffer[4] = {0x11, 0x22, 0x33, 0x44};
        EXPECT_NE(deviceManagerAccess(DEVICE_READ, id, 0, 0, 1, buffer), 0u);
        Completions done;
        Completions::Entry *entry = done.entry();
        EXPECT_NE(deviceManagerAccessAsync(DEVICE_READ, id, 0, 0, 1, buffer, entry, Completions::callback), 0u);
        EXPECT_EQ(entry->calls, 0);
        EXPECT_EQ(buffer[0], 0x11);
        EXPECT_EQ(log.count("Invalid assignedId " + std::to_string(id)), 2);
    }
    EXPECT_TRUE(cardsimSpiFrames(CARDSIM_FSM).empty());
    EXPECT_TRUE(cardsimI2cLog().empty());
}

TEST_F(DeviceManagerTest, IdIsTakenModulo256)
{
    uint8_t buffer[2] = {0, 0};
    EXPECT_EQ(deviceManagerAccess(DEVICE_READ, 257, 0x0, 0, 1, buffer), 0u);
    EXPECT_EQ(buffer[0], 0xBD);
    EXPECT_EQ(cardsimSpiFrames(CARDSIM_FSM).size(), 1u);
    EXPECT_TRUE(cardsimSpiFrames(CARDSIM_DPS).empty());
    // 258 is id 2, which has no device.
    EXPECT_NE(deviceManagerAccess(DEVICE_READ, 258, 0x0, 0, 1, buffer), 0u);
    EXPECT_EQ(log.count("Invalid assignedId 2"), 1);
}

TEST_F(DeviceManagerTest, TerminateDeletesEveryHandlerAndLaterAccessesFail)
{
    deviceManagerTerminate(nullptr, 3, 0);
    for (uint32_t i = 0; i < deviceTableCount; i++) {
        SCOPED_TRACE(deviceTable[i]->name);
        EXPECT_EQ(deviceTable[i]->initialised, 0u);
        EXPECT_EQ(deviceTable[i]->handlerState, nullptr);
    }
    for (const DeviceRead &read : deviceReads) {
        SCOPED_TRACE("device " + std::to_string(read.id));
        std::vector<uint8_t> buffer(read.expected.size());
        EXPECT_EQ(deviceManagerAccess(read.command, read.id, read.address, 0, read.count, buffer.data()),
                  (uint32_t)DEVICE_ACCESS_NO_HANDLER);
        // Either refused at once, or (the sensors, which complete at once) failed through the callback.
        Completions done;
        Completions::Entry *entry = done.entry();
        uint32_t queued = deviceManagerAccessAsync(read.command, read.id, read.address, 0, read.count, buffer.data(),
                                                   entry, Completions::callback);
        EXPECT_EQ(entry->calls, queued == 0 ? 1 : 0);
        if (queued == 0) {
            EXPECT_EQ(entry->status, (uint32_t)DEVICE_ACCESS_NO_HANDLER);
        }
    }
    // The service's init brings them back.
    deviceManagerInit(nullptr);
    uint8_t buffer[2];
    EXPECT_EQ(deviceManagerAccess(DEVICE_READ, 1, 0, 0, 1, buffer), 0u);
}

TEST_F(DeviceManagerTest, ServiceDescriptorRunsInitAndTerminate)
{
    deviceManagerTerminate(nullptr, 3, 0);
    EXPECT_STREQ(deviceManagerService.name, "deviceManager");
    EXPECT_STREQ(deviceManagerService.categoryName, "ulm.firmware.deviceManager");
    EXPECT_EQ(deviceManagerService.threadEntry, nullptr);
    EXPECT_EQ(deviceManagerService.preStart, nullptr);
    EXPECT_EQ(deviceManagerService.context, (void *)deviceTable);
    deviceManagerService.init(&deviceManagerService);
    EXPECT_EQ(deviceManagerGetDevice(3)->initialised, 1u);
    deviceManagerService.control(&deviceManagerService, 3, 1);
    EXPECT_EQ(deviceManagerGetDevice(3)->handlerState, nullptr);
    deviceManagerInit(nullptr);
}

TEST_F(DeviceManagerTest, HandlersRunWithoutRealtimePriority)
{
    // Under a card root realtime priority is never granted; the threads go on and serve.
    deviceManagerTerminate(nullptr, 3, 0);
    log.clear();
    deviceManagerInit(nullptr);
    uint8_t buffer[2];
    EXPECT_EQ(deviceManagerAccess(DEVICE_READ, 1, 0, 0, 1, buffer), 0u);
    EXPECT_EQ(deviceManagerAccess(DEVICE_READ, 14, 0x7400, 0, 1, buffer), 0u);
    EXPECT_EQ(log.count("deviceFPGA FSM-FPGA:  Fail to set the scheduler"), 1);
    EXPECT_EQ(log.count("deviceI2C I2C-IOEXT:  Fail to set the scheduler"), 1);
    EXPECT_EQ(log.count(" handling device: FSM-FPGA, Thread created pid is "), 1);
}

// Without the card emulator the device nodes below the card root do not exist.
TEST(DeviceManagerWithoutCard, DevicesWhoseCreateFailedRefuseAccessAtOnce)
{
    LogCapture log;
    TempDir root;
    setenv("KVR_ROOT", root.path().c_str(), 1);
    deviceManagerInit(nullptr);
    EXPECT_EQ(log.count("ulmSpiOpen error 1 on /dev/spidev1.2 cann't open dev will not create thread!"), 1);
    EXPECT_EQ(log.count("open error /dev/i2c-3"), 2);
    for (uint32_t id : {1u, 3u, 7u, 8u, 11u, 12u, 13u, 14u, 15u}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(deviceManagerGetDevice(id)->initialised, 0u);
        uint8_t buffer[4] = {0};
        EXPECT_EQ(deviceManagerAccess(DEVICE_READ, id, 0, 0, 1, buffer), (uint32_t)DEVICE_ACCESS_NO_HANDLER);
        Completions done;
        Completions::Entry *entry = done.entry();
        EXPECT_EQ(deviceManagerAccessAsync(DEVICE_READ, id, 0, 0, 1, buffer, entry, Completions::callback),
                  (uint32_t)DEVICE_ACCESS_NO_HANDLER);
        EXPECT_EQ(entry->calls, 0);
    }
    // The sensors have a handler but no input files.
    int16_t value = 0;
    EXPECT_EQ(deviceManagerAccess(DEVICE_READ, 9, 0, 0, 1, &value), (uint32_t)DEVICE_ACCESS_NO_HANDLER);
    deviceManagerTerminate(nullptr, 3, 0);
    unsetenv("KVR_ROOT");
}

} // namespace
