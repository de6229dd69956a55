#include "cardsim/cardsimPrivate.h"

#include "hal/hal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>

namespace {

struct chip_t {
    int kind = CARDSIM_I2C_REG8;
    std::map<uint16_t, uint8_t> registers;
    uint16_t pointer = 0;
    uint8_t page = 0;
    int busyReads = 0;   /* clock generator: reads of 0x00FE that still answer "not ready" */
};

struct bus_t {
    std::map<uint8_t, chip_t> chips;
    int failures = 0;
};

struct {
    std::mutex mutex;
    std::map<std::string, bus_t> buses;
    std::deque<cardsimI2cMessage_t> log;
    FILE *file = nullptr; /* each message written, as it happens */
} i2c;

const char *const BUS_SENSORS = "/dev/i2c-2";  /* power monitors, power sequencer */
const char *const BUS_REAR = "/dev/i2c-3";     /* I/O expander, SFP module */
const char *const BUS_GENLOCK = "/dev/i2c-4";  /* genlock device, Si5344 clock generator */

enum {
    SLAVE_POWER_MONITOR_1 = 0x40,
    SLAVE_POWER_MONITOR_2 = 0x41,
    SLAVE_POWER_SEQUENCER = 0x60,
    SLAVE_IO_EXPANDER = 0x74,
    SLAVE_SFP_SERIAL_ID = 0x50,
    SLAVE_SFP_DIAG_1 = 0x51,
    SLAVE_SFP_DIAG_2 = 0x59,
    SLAVE_GENLOCK = 0x67,
    SLAVE_CLOCK_GENERATOR = 0x68,
    CLOCK_PAGE_REGISTER = 0x01,
    CLOCK_DEVICE_READY = 0x00FE,
    CLOCK_NOT_READY = 0xF3,
};

/* Where the chip's pointer addresses its register file. */
uint16_t registerAt(const chip_t &chip, uint16_t pointer)
{
    return chip.kind == CARDSIM_I2C_PAGED ? (uint16_t)((chip.page << 8) | (pointer & 0xFF)) : pointer;
}

uint16_t advance(const chip_t &chip, uint16_t pointer)
{
    return chip.kind == CARDSIM_I2C_REG16 ? (uint16_t)(pointer + 1) : (uint16_t)((pointer + 1) & 0xFF);
}

void chipWrite(chip_t &chip, const uint8_t *bytes, size_t length)
{
    size_t pointerBytes = chip.kind == CARDSIM_I2C_REG16 ? 2 : 1;
    if (length < pointerBytes)
        return;
    chip.pointer = pointerBytes == 2 ? (uint16_t)((bytes[0] << 8) | bytes[1]) : bytes[0];
    for (size_t i = pointerBytes; i < length; i++) {
        if (chip.kind == CARDSIM_I2C_PAGED && (chip.pointer & 0xFF) == CLOCK_PAGE_REGISTER)
            chip.page = bytes[i];
        else
            chip.registers[registerAt(chip, chip.pointer)] = bytes[i];
        chip.pointer = advance(chip, chip.pointer);
    }
}

void chipRead(chip_t &chip, uint8_t *bytes, size_t length)
{
    for (size_t i = 0; i < length; i++) {
        if (chip.kind == CARDSIM_I2C_PAGED && (chip.pointer & 0xFF) == CLOCK_PAGE_REGISTER) {
            bytes[i] = chip.page;
        } else if (chip.busyReads > 0 && registerAt(chip, chip.pointer) == CLOCK_DEVICE_READY) {
            bytes[i] = CLOCK_NOT_READY;
            chip.busyReads--;
        } else {
            auto found = chip.registers.find(registerAt(chip, chip.pointer));
            bytes[i] = found == chip.registers.end() ? 0 : found->second;
        }
        chip.pointer = advance(chip, chip.pointer);
    }
}

chip_t &attach(const char *bus, uint8_t slave, int kind)
{
    chip_t &chip = i2c.buses[bus].chips[slave];
    chip = chip_t();
    chip.kind = kind;
    return chip;
}

void putText(chip_t &chip, uint16_t at, const char *text, size_t width)
{
    size_t length = strlen(text);
    for (size_t i = 0; i < width; i++)
        chip.registers[(uint16_t)(at + i)] = i < length ? (uint8_t)text[i] : ' ';
}

/* An SFF-8472 dual-channel module: serial id with a valid CC_BASE, and live diagnostics. Under the mutex. */
void plugSfp(void)
{
    chip_t &id = attach(BUS_REAR, SLAVE_SFP_SERIAL_ID, CARDSIM_I2C_REG8);
    id.registers[0] = 0x03; /* SFP */
    id.registers[1] = 0x04;
    id.registers[2] = 0x07; /* LC connector */
    putText(id, 20, "EMBRIONIX", 16);
    id.registers[37] = 0x00;
    id.registers[38] = 0x50;
    id.registers[39] = 0x1E;
    putText(id, 40, "EB22RDRT-LM", 16);
    unsigned sum = 0;
    for (uint16_t i = 0; i < 63; i++)
        sum += id.registers.count(i) ? id.registers[i] : 0;
    id.registers[63] = (uint8_t)sum;
    for (uint8_t slave : {SLAVE_SFP_DIAG_1, SLAVE_SFP_DIAG_2}) {
        chip_t &diag = attach(BUS_REAR, slave, CARDSIM_I2C_REG8);
        diag.registers[0x60] = 0x28; /* 40 degrees */
        diag.registers[0x61] = 0x00;
        diag.registers[0x62] = 0x80; /* 3.3 V in 100 uV units */
        diag.registers[0x63] = 0xE8;
        diag.registers[0x68] = 0x12; /* received power */
        diag.registers[0x69] = 0x34;
    }
}

void pullSfp(void)
{
    for (uint8_t slave : {SLAVE_SFP_SERIAL_ID, SLAVE_SFP_DIAG_1, SLAVE_SFP_DIAG_2})
        i2c.buses[BUS_REAR].chips.erase(slave);
}

bus_t *findBus(const std::string &bus)
{
    auto found = i2c.buses.find(bus);
    return found == i2c.buses.end() ? nullptr : &found->second;
}

} // namespace

int cardsimI2cKnownBus(const std::string &bus)
{
    std::lock_guard<std::mutex> lock(i2c.mutex);
    return findBus(bus) ? 1 : 0;
}

void cardsimI2cReset(void)
{
    std::lock_guard<std::mutex> lock(i2c.mutex);
    i2c.buses.clear();
    i2c.log.clear();
    i2c.buses[BUS_SENSORS];
    i2c.buses[BUS_REAR];
    i2c.buses[BUS_GENLOCK];
    for (uint8_t slave : {SLAVE_POWER_MONITOR_1, SLAVE_POWER_MONITOR_2}) {
        chip_t &monitor = attach(BUS_SENSORS, slave, CARDSIM_I2C_REG8);
        monitor.registers[0x02] = 0x0C; /* bus voltage 0x0CE4 */
        monitor.registers[0x03] = 0xE4;
    }
    attach(BUS_SENSORS, SLAVE_POWER_SEQUENCER, CARDSIM_I2C_REG8);
    /* Rear type 0 revision 1 in register 0; card revision 1, patch 0 in register 1. */
    chip_t &expander = attach(BUS_REAR, SLAVE_IO_EXPANDER, CARDSIM_I2C_REG8);
    expander.registers[0] = 0x20;
    expander.registers[1] = 0x01;
    plugSfp();
    attach(BUS_GENLOCK, SLAVE_GENLOCK, CARDSIM_I2C_REG8);
    chip_t &clock = attach(BUS_GENLOCK, SLAVE_CLOCK_GENERATOR, CARDSIM_I2C_PAGED);
    clock.registers[0x00FE] = 0x0F; /* device ready (cardsimSi5344SetBusyReads: "not ready" first) */
}

/*
 * Whether the file CARDSIM_I2C_WRITE_FAULTS below the card root names this
 * bus and slave ("<bus> <slave>" per line, the slave in hexadecimal) and the
 * transfer writes a register value: one write message of an offset other
 * than the page register and its data. Page selects and reads go on, so a
 * daemon keeps probing the chip while its register writes fail.
 */
static bool writeFaultActive(const std::string &busName, const halI2cMessage_t *messages, int count)
{
    if (count != 1 || (messages[0].flags & HAL_I2C_READ) || messages[0].length < 2 ||
        messages[0].buffer[0] == CLOCK_PAGE_REGISTER)
        return false;
    std::ifstream faults(halPath(CARDSIM_I2C_WRITE_FAULTS));
    std::string bus, slave;
    while (faults >> bus >> slave)
        if (bus == busName && strtoul(slave.c_str(), nullptr, 16) == messages[0].slave)
            return true;
    return false;
}

int cardsimI2cTransfer(const std::string &busName, halI2cMessage_t *messages, int count)
{
    std::lock_guard<std::mutex> lock(i2c.mutex);
    bus_t *bus = findBus(busName);
    if (!bus) {
        errno = ENODEV;
        return -1;
    }
    if (bus->failures > 0) {
        bus->failures--;
        errno = EIO;
        return -1;
    }
    if (writeFaultActive(busName, messages, count)) {
        errno = EIO;
        return -1;
    }
    /* A slave that does not answer its address fails the whole transfer before anything moves. */
    for (int i = 0; i < count; i++) {
        if (!bus->chips.count((uint8_t)messages[i].slave) || messages[i].slave > 0x7F) {
            errno = ENXIO;
            return -1;
        }
    }
    for (int i = 0; i < count; i++) {
        halI2cMessage_t &message = messages[i];
        chip_t &chip = bus->chips[(uint8_t)message.slave];
        int read = (message.flags & HAL_I2C_READ) != 0;
        if (read)
            chipRead(chip, message.buffer, message.length);
        else
            chipWrite(chip, message.buffer, message.length);
        if (!read && i2c.file) {
            fprintf(i2c.file, "%s 0x%02x", busName.c_str(), (unsigned)message.slave);
            for (int b = 0; b < (int)message.length; b++)
                fprintf(i2c.file, " %02x", message.buffer[b]);
            fprintf(i2c.file, "\n");
        }
        cardsimRingPush(i2c.log, cardsimI2cMessage_t{busName, (uint8_t)message.slave, read,
                                                     std::vector<uint8_t>(message.buffer, message.buffer + message.length)});
    }
    return 0;
}

void cardsimI2cLogTo(FILE *file)
{
    std::lock_guard<std::mutex> lock(i2c.mutex);
    i2c.file = file;
}

void cardsimI2cClearLog(void)
{
    std::lock_guard<std::mutex> lock(i2c.mutex);
    i2c.log.clear();
}

void cardsimI2cAttach(const char *bus, uint8_t slave, int kind)
{
    std::lock_guard<std::mutex> lock(i2c.mutex);
    attach(bus, slave, kind);
}

void cardsimI2cDetach(const char *bus, uint8_t slave)
{
    std::lock_guard<std::mutex> lock(i2c.mutex);
    if (bus_t *found = findBus(bus))
        found->chips.erase(slave);
}

uint8_t cardsimI2cGet(const char *bus, uint8_t slave, uint16_t reg)
{
    std::lock_guard<std::mutex> lock(i2c.mutex);
    bus_t *found = findBus(bus);
    if (!found || !found->chips.count(slave))
        return 0;
    auto &registers = found->chips[slave].registers;
    auto value = registers.find(reg);
    return value == registers.end() ? 0 : value->second;
}

void cardsimI2cSet(const char *bus, uint8_t slave, uint16_t reg, uint8_t value)
{
    std::lock_guard<std::mutex> lock(i2c.mutex);
    bus_t *found = findBus(bus);
    if (found && found->chips.count(slave))
        found->chips[slave].registers[reg] = value;
}

std::vector<cardsimI2cMessage_t> cardsimI2cLog(void)
{
    std::lock_guard<std::mutex> lock(i2c.mutex);
    return std::vector<cardsimI2cMessage_t>(i2c.log.begin(), i2c.log.end());
}

void cardsimI2cFail(const char *bus, int failures)
{
    std::lock_guard<std::mutex> lock(i2c.mutex);
    if (bus_t *found = findBus(bus))
        found->failures = failures;
}

void cardsimSfpPlug(int plugged)
{
    std::lock_guard<std::mutex> lock(i2c.mutex);
    if (plugged)
        plugSfp();
    else
        pullSfp();
}

void cardsimSi5344SetBusyReads(int reads)
{
    std::lock_guard<std::mutex> lock(i2c.mutex);
    if (bus_t *found = findBus(BUS_GENLOCK))
        if (found->chips.count(SLAVE_CLOCK_GENERATOR))
            found->chips[SLAVE_CLOCK_GENERATOR].busyReads = reads;
}
