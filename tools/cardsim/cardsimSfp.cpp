#include "cardsim/cardsimPrivate.h"

/*
 * SFP modules from a description: the SFF-8472 serial id (A0h at 0x50) with
 * its base-field check code, and the diagnostics (A2h) of channel 0 at 0x51
 * and channel 1 at 0x59, words high byte first.
 */

namespace {
const char *const BUS_REAR = "/dev/i2c-3";
enum {
    SLAVE_ID = 0x50,
    SLAVE_DIAG_0 = 0x51,
    SLAVE_DIAG_1 = 0x59,
    VENDOR_NAME = 20,
    VENDOR_OUI = 37,
    PART_NUMBER = 40,
    TEXT_WIDTH = 16,
    CC_BASE = 63,
    DIAG_TEMPERATURE = 0x60,
    DIAG_VOLTAGE = 0x62,
    DIAG_POWER = 0x68,
};

void putText(uint16_t at, const std::string &text)
{
    for (size_t i = 0; i < TEXT_WIDTH; i++)
        cardsimI2cSet(BUS_REAR, SLAVE_ID, (uint16_t)(at + i), i < text.size() ? (uint8_t)text[i] : ' ');
}

void putWord(uint8_t slave, uint16_t at, uint16_t value)
{
    cardsimI2cSet(BUS_REAR, slave, at, (uint8_t)(value >> 8));
    cardsimI2cSet(BUS_REAR, slave, (uint16_t)(at + 1), (uint8_t)value);
}
} // namespace

void cardsimSfpInsert(const cardsimSfpModule_t &module)
{
    cardsimSfpPlug(0);
    cardsimI2cAttach(BUS_REAR, SLAVE_ID, CARDSIM_I2C_REG8);
    cardsimI2cSet(BUS_REAR, SLAVE_ID, 0, module.identifier);
    cardsimI2cSet(BUS_REAR, SLAVE_ID, 1, module.extIdentifier);
    cardsimI2cSet(BUS_REAR, SLAVE_ID, 2, module.connector);
    putText(VENDOR_NAME, module.vendorName);
    for (int i = 0; i < 3; i++)
        cardsimI2cSet(BUS_REAR, SLAVE_ID, (uint16_t)(VENDOR_OUI + i), module.oui[i]);
    putText(PART_NUMBER, module.partNumber);
    unsigned sum = 0;
    for (uint16_t i = 0; i < CC_BASE; i++)
        sum += cardsimI2cGet(BUS_REAR, SLAVE_ID, i);
    cardsimI2cSet(BUS_REAR, SLAVE_ID, CC_BASE, (uint8_t)(sum + module.ccBaseOffset));
    for (int channel = 0; channel < 2; channel++) {
        if (channel == 1 && !module.channel1)
            break;
        uint8_t slave = channel ? SLAVE_DIAG_1 : SLAVE_DIAG_0;
        cardsimI2cAttach(BUS_REAR, slave, CARDSIM_I2C_REG8);
        putWord(slave, DIAG_TEMPERATURE, module.temperature[channel]);
        putWord(slave, DIAG_VOLTAGE, module.voltage[channel]);
        putWord(slave, DIAG_POWER, module.power[channel]);
    }
}
