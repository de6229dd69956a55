#ifndef KVR_GENLOCK_SI5344_H
#define KVR_GENLOCK_SI5344_H

/*
 * The Si5344 clock generator driver of the genlock module: register plans as
 * tables, written one byte at a time through the write function registered
 * with si5344Register. Knows nothing of genlock policy.
 */

#include <cstdint>
#include <log4c.h>

enum {
    SI5344_PLAN_WRITES = 50,
    SI5344_PLAN_COUNT = 5,                /* ids 0 ("NULL") to 4 */
    SI5344_FACTORY_DEFAULT_WRITES = 315,
    SI5344_REG_SOFT_RESET = 0x001C,
    SI5344_REG_IN_ALARMS = 0x000D,        /* bit 1 IN1_LOS, bit 5 IN1_OOF */
    SI5344_REG_LOCK_ALARMS = 0x000E,      /* bit 1 LOL, bit 5 HOLD */
    SI5344_REG_DEVICE_READY = 0x00FE,
};

/* One register write of a table (one byte of value used). */
struct si5344RegisterWrite_t {
    uint16_t reg;
    uint16_t spare;
    uint32_t value;
};

/* 1 written, 0 failed. */
typedef int (*si5344WriteFunction)(uint32_t deviceId, uint16_t reg, uint8_t value);
typedef int (*si5344ReadFunction)(uint32_t deviceId, uint16_t reg, uint8_t *value);
typedef int (*si5344ConfigFunction)(uint32_t deviceId);

struct si5344Driver {
    uint32_t deviceId;
    si5344ReadFunction read;
    si5344WriteFunction write;
    si5344ConfigFunction config;
    log4c_category_t *category;
};

extern const si5344RegisterWrite_t *const si5344Plans[SI5344_PLAN_COUNT];
extern const si5344RegisterWrite_t si5344FactoryDefault[SI5344_FACTORY_DEFAULT_WRITES];

/* The plan's name for logs ("NULL" for 0 and unknown ids). */
const char *genlockSi5344PlanName(uint32_t planId);

void si5344Initialize(si5344Driver *driver, log4c_category_t *category);
/* 1 when a write function is given, else 0; missing functions are logged. */
int si5344Register(si5344Driver *driver, si5344WriteFunction write, si5344ReadFunction read,
                   si5344ConfigFunction config, uint32_t deviceId);
/* 1 written; 0 no write function or the write failed. */
int si5344RegWrite(si5344Driver *driver, uint16_t reg, uint8_t value);
/* Soft reset of the whole chip (0x001C = 1). 1, or 0 when the write failed. */
int si5344SoftResetAll(si5344Driver *driver);
/* Programs plan 1-4: preamble, the 50 writes, postamble. 1, or 0 (unknown plan, or a write failed). */
int si5344SelectPlan(si5344Driver *driver, uint32_t planId);
/* The 315 writes of the factory default and a soft reset. 1, or 0 at the first failed write. */
int si5344LoadFactoryDefault(si5344Driver *driver);

/* The genlock's write function: one byte through the device manager's paged write. 1 written, 0 failed. */
int kvrGenlockSi5344RegWrite(uint32_t deviceId, uint16_t reg, uint8_t value);
/* Reads register 0x00FE into buffer[0]; the device manager's result (0 done). */
uint32_t kvrGenlockSi5344ReadDeviceReady(uint8_t *buffer);

#endif
