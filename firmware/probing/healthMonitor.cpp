#include "probing/probing.h"

#include "deviceManager/deviceManager.h"
#include "hal/hal.h"

#include <string>
#include <unistd.h>

/*
 * Health monitoring: the raw words of the health rows become voltages,
 * temperatures, fan states and FPGA error reports in this card's block, and
 * the alarm bits of the health status word drive the frame LED. Words that
 * did not come in are marked (0xFFFF, fans 0xCAFE) and skipped; every kind
 * of error line stops at its count.
 */

volatile uint32_t healthMonitorLm77Present;

namespace {

enum {
    NO_SAMPLE = 0xFFFF,
    NO_FAN_SAMPLE = 0xCAFE,
    NO_ANSWER = 0xDEAD,
    VOLTAGE_COUNT = 10,
    LIMITED_VOLTAGES = 9,
    STATUS_OFFSET = 10,
    ALARM_ENABLE_OFFSET = 1186,
    LM77_OFFSET = 48,
    POWER_OFFSET = 96,
    CPU_TEMPERATURE_OFFSET = 136,
    FSM_FAN_OFFSET = 132,
    DPS_FAN_OFFSET = 134,
    SYSMON_THRESHOLDS = 0x21D0,
    DEAD_LOG_LIMIT = 20,
    ERROR_LOG_LIMIT = 20,
    ALARM_LOG_LIMIT = 19,
    FAN_FAILURE = 37,
    FAN_DEBOUNCE = 3,
    REAR_MISSING = 31,
    LED_CALLER = 1,
    FIRST_LOGGED_FIFO_ERROR = 3,

    STATUS_TEMPERATURE = 1u << 0,
    STATUS_OVER_VOLTAGE = 1u << 2,
    STATUS_UNDER_VOLTAGE = 1u << 4,
    STATUS_POWER = 1u << 6,
    STATUS_POWER_WARNING = 1u << 7,
    STATUS_FAN = 1u << 8,
    STATUS_RED = STATUS_TEMPERATURE | STATUS_OVER_VOLTAGE | STATUS_UNDER_VOLTAGE | STATUS_FAN,
};

const char *const lm77Nodes[2] = {"/sys/class/i2c-adapter/i2c-2/2-0048/temp1_input",
                                  "/sys/class/i2c-adapter/i2c-2/2-0049/temp1_input"};

/* Where each measurement index reads, how its value is scaled and where it lands. */
struct voltageSource_t {
    uint8_t device;
    uint32_t address;
    uint32_t offset;
    uint16_t low, high;   /* 0, 0: no limit */
};
const voltageSource_t voltageSources[VOLTAGE_COUNT] = {
    {DEVICE_I2C_POWSEQ, 0x6000, 56, 445, 555},  {DEVICE_I2C_POWSEQ, 0x6002, 60, 293, 367},
    {DEVICE_I2C_POWSEQ, 0x6004, 64, 222, 278},  {DEVICE_I2C_POWSEQ, 0x6006, 68, 160, 200},
    {DEVICE_I2C_POWSEQ, 0x6008, 72, 120, 149},  {DEVICE_I2C_POWSEQ, 0x600A, 76, 106, 134},
    {DEVICE_I2C_POWSEQ, 0x600C, 84, 84, 105},   {DEVICE_FSM_FPGA, 0x0403, 80, 89, 111},
    {DEVICE_DPS_FPGA, 0x0203, 88, 2136, 2664}, {DEVICE_DPS_FPGA, 0x0203, 92, 0, 0},
};

/*
 * Upper limits written after each value at pre-start. Every limit sits in
 * the word after its own value: index 7 (0.95 V) is at 80 and index 6
 * (1.0 V) at 84, so 82 holds 111 and 86 holds 105.
 */
const uint16_t upperLimits[][2] = {
    {58, 555},  {62, 367},  {66, 278},  {70, 200},  {74, 149},  {78, 134},  {82, 111},
    {86, 105},  {90, 2664}, {94, 0},    {98, 0},    {102, 105}, {106, 105}, {110, 200},
    {118, 105}, {122, 105}, {126, 200}, {114, 850}, {130, 850}, {138, 950},
};
enum { LM77_LIMIT = 850, CPU_LIMIT = 950, FPGA_LIMIT = 850 };

struct systemMonitor_t {
    const char *name;
    uint16_t *words;
    uint32_t offset;   /* Vcc int; Bram, Aux and the temperature follow */
    uint8_t deadCount;
    int16_t temperature;
};

struct errorKind_t {
    uint32_t logs;
    uint32_t errors;
};

struct {
    log4c_category_t *category;
    uint32_t slot;
    uint32_t voltageIndex;
    int32_t voltages[VOLTAGE_COUNT];
    uint32_t lm77Sensor;
    int16_t cpuTemperature;
    uint16_t status, publishedStatus;
    uint32_t alarmChanges;
    uint32_t ledRed;
    uint32_t rearMissingReported;
    uint32_t fsmFanMonitored;
    probingDebounce_t fans[2];   /* DPS, FSM */
    systemMonitor_t monitors[2];
    errorKind_t ddr3[2], dpsVideoFifo, fsmLocalVanc, fsmUpstreamVanc, txPll;
} health = {nullptr, 0, 0, {}, 0, 0, 0, 0, 0, 0, 0, 0, {},
            {{"FSM", probingRawWords.fsmSystemMonitor, 100, 0, 0},
             {"DPS", probingRawWords.dpsSystemMonitor, 116, 0, 0}},
            {}, {}, {}, {}, {}};

log4c_category_t *category()
{
    if (!health.category)
        health.category = log4c_category_get("ulm.firmware.probingSrvc");
    return health.category;
}

void markNoSample(uint16_t *words, uint32_t count, uint16_t marker)
{
    for (uint32_t i = 0; i < count; i++)
        words[i] = marker;
}

void setAlarmEnable(uint32_t on)
{
    uint16_t word = probingReadBlockWord(ALARM_ENABLE_OFFSET);
    probingWriteBlockWord(ALARM_ENABLE_OFFSET, (uint16_t)(on ? word | 1 : word & ~1u));
}

void writeFpgaWord(uint32_t device, uint32_t address, uint16_t value)
{
    uint8_t bytes[2] = {(uint8_t)(value >> 8), (uint8_t)value};
    deviceManagerAccess(DEVICE_WRITE, device, address, 0, 1, bytes);
}

uint32_t rearMissing(void)
{
    return platformGetRearHwType() == REAR_MISSING && !(platformGetFrameType() == 2 && platformIsUsingNqAsiInputs());
}

/* Over- and under-voltage bits from indices 0-8; a value of 0 is no reading, never an under-voltage. */
void checkVoltageLimits(void)
{
    uint16_t bits = 0;
    for (uint32_t i = 0; i < LIMITED_VOLTAGES; i++) {
        const voltageSource_t &source = voltageSources[i];
        int32_t value = health.voltages[i];
        if (value >= source.high)
            bits |= STATUS_OVER_VOLTAGE;
        else if (value != 0 && value <= source.low)
            bits |= STATUS_UNDER_VOLTAGE;
    }
    health.status = (uint16_t)((health.status & ~(STATUS_OVER_VOLTAGE | STATUS_UNDER_VOLTAGE)) | bits);
}

void logAlarmChange(uint16_t status)
{
    log4c_category_t *cat = category();
    if (health.alarmChanges > ALARM_LOG_LIMIT)
        return;
    if (health.alarmChanges == ALARM_LOG_LIMIT) {
        health.alarmChanges++;
        log4c_category_log(cat, LOG4C_PRIORITY_ERROR,
                           "ALARMS: Too many alarm changes, stopping the logging of alarms. No more alarms will be "
                           "shown.");
        return;
    }
    health.alarmChanges++;
    if (!status) {
        log4c_category_log(cat, LOG4C_PRIORITY_NOTICE, "ALARMS: All alarms cleared.");
        return;
    }
    const int32_t *v = health.voltages;
    if (status & (STATUS_POWER | STATUS_POWER_WARNING)) {
        log4c_category_log(cat, LOG4C_PRIORITY_ERROR, (status & STATUS_POWER) ?
                               "ALARMS: Change Detected: Critical! A Power or Current is above or at it's upper limit!" :
                               "ALARMS: Change Detected: Warning! A Power or Current is above or at it's upper limit!");
        log4c_category_log(cat, LOG4C_PRIORITY_NOTICE, "ALARMS: Power/Current Dump: Power=%5.2f Watts, Current=%5.2f Amps",
                           v[8] * v[9] / 100 / 100.0, v[9] / 100.0);
    }
    if (status & (STATUS_OVER_VOLTAGE | 1u << 3))
        log4c_category_log(cat, LOG4C_PRIORITY_ERROR, (status & STATUS_OVER_VOLTAGE) ?
                               "ALARMS: Change Detected: Critical! A voltage is above or at it's upper limit!" :
                               "ALARMS: Change Detected: Warning! A voltage is above or at it's upper limit!");
    if (status & (STATUS_UNDER_VOLTAGE | 1u << 5))
        log4c_category_log(cat, LOG4C_PRIORITY_ERROR, (status & STATUS_UNDER_VOLTAGE) ?
                               "ALARMS: Change Detected: Critical! A voltage is below or at it's lower limit!" :
                               "ALARMS: Change Detected: Warning! A voltage is below or at it's lower limit!");
    if (status & 0x3C) {
        log4c_category_log(cat, LOG4C_PRIORITY_NOTICE,
                           "ALARMS: Voltage Dump: 5.0V=%5.2f, 3.3V=%5.2f, 2.5V=%5.2f, 1.8V=%5.2f, 1.35V=%5.2f, "
                           "1.2V=%5.2f, 1.0v=%5.2f, 0.95v=%5.2f, 24.0V=%5.2f",
                           v[0] / 100.0, v[1] / 100.0, v[2] / 100.0, v[3] / 100.0, v[4] / 100.0, v[5] / 100.0,
                           v[6] / 100.0, v[7] / 100.0, v[8] / 100.0);
        for (const char *fpga : {"DPS", "FSM"}) {
            uint32_t base = fpga[0] == 'D' ? 116 : 100;
            log4c_category_log(cat, LOG4C_PRIORITY_NOTICE,
                               fpga[0] == 'D' ? "ALARMS: Voltage Dump (fpga): DPS 0.95V=%5.2f, 0.95V=%5.2f, 1.8V=%5.2f" :
                                                "ALARMS: Voltage Dump (fpga): FSM 0.95V=%5.2f, 0.95V=%5.2f, 1.8V=%5.2f",
                               probingReadBlockWord(base) / 100.0, probingReadBlockWord(base + 4) / 100.0,
                               probingReadBlockWord(base + 8) / 100.0);
        }
    }
    if (status & STATUS_TEMPERATURE) {
        log4c_category_log(cat, LOG4C_PRIORITY_ERROR,
                           "ALARMS: Change Detected: Critical! A Temperature is above or at it's upper limit! ");
        log4c_category_log(cat, LOG4C_PRIORITY_NOTICE,
                           "ALARMS: Temperatures Dump: T_1=%5.1f, T_2=%5.1f, T_DPS=%5.1f, T_FSM=%5.1f, T_CPU=%5.1f.",
                           (int16_t)probingReadBlockWord(LM77_OFFSET) / 10.0, (int16_t)probingReadBlockWord(LM77_OFFSET + 4) / 10.0,
                           health.monitors[1].temperature / 10.0, health.monitors[0].temperature / 10.0,
                           health.cpuTemperature / 10.0);
    }
}

/* The status word into the block; on a change the frame LED follows the critical bits. */
void publishStatus(void)
{
    probingWriteBlockWord(STATUS_OFFSET, health.status);
    if (health.status == health.publishedStatus)
        return;
    health.publishedStatus = health.status;
    if (health.status & STATUS_RED) {
        platformSetStrataLedBlinkRed(category(), LED_CALLER);
        health.ledRed = 1;
    } else if (health.ledRed && !rearMissing()) {
        platformSetStrataLedNormal(category(), LED_CALLER);
        health.ledRed = 0;
    }
    logAlarmChange(health.status);
}

/* One FPGA's system monitor block: temperature and supplies, unless the section answered 0xDEAD. */
void readSystemMonitor(systemMonitor_t &monitor, uint32_t ok)
{
    log4c_category_t *cat = category();
    uint16_t *raw = monitor.words;
    if (raw[1] == NO_SAMPLE)
        return;
    uint16_t w0 = probingBigEndian(&raw[0]), w1 = probingBigEndian(&raw[1]), w2 = probingBigEndian(&raw[2]), w6 = probingBigEndian(&raw[6]);
    markNoSample(raw, 7, NO_SAMPLE);
    const int dps = monitor.name[0] == 'D';
    if (w1 == NO_ANSWER) {
        if (monitor.deadCount <= DEAD_LOG_LIMIT)
            monitor.deadCount++;
        if (monitor.deadCount < DEAD_LOG_LIMIT)
            log4c_category_log(cat, LOG4C_PRIORITY_ERROR,
                               dps ? "FPGA DPS system monitor section respond 0xDEAD, won't report it to shared memory, "
                                     "log count %d(MAX %d)" :
                                     "FPGA FSM system monitor section respond 0xDEAD, won't report it to shared memory, "
                                     "log count %d(MAX %d)",
                               (int)monitor.deadCount, DEAD_LOG_LIMIT);
        else if (monitor.deadCount == DEAD_LOG_LIMIT)
            log4c_category_log(cat, LOG4C_PRIORITY_ERROR,
                               dps ? "FPGA DPS system monitor section respond 0xDEAD, Too many errs. No more errs will "
                                     "be shown." :
                                     "FPGA FSM system monitor section respond 0xDEAD, Too many errs. No more errs will "
                                     "be shown.");
        return;
    }
    if (w1 == 0 || !ok)
        return;
    double temperature = (w0 >> 6) * 503.975 / 1024 - 273.15;
    monitor.temperature = (int16_t)(temperature * 10);
    probingWriteBlockWord(monitor.offset + 12, (uint16_t)monitor.temperature);
    log4c_category_log(cat, LOG4C_PRIORITY_DEBUG,
                       dps ? "FPGA DPS Temperature %f, theReg (x 256) %d; " : "FPGA FSM Temperature %f, theReg (x 256) %d; ",
                       temperature, (int)monitor.temperature);
    const struct {
        uint16_t word;
        uint32_t offset;
        const char *fsmText, *dpsText;
    } supplies[] = {
        {w1, 0, "FPGA FSM Vcc int %f, theReg (x 100) %d; ", "FPGA DPS Vcc int %f, theReg (x 100) %d; "},
        {w6, 4, "FPGA FSM Vcc Bram %f, theReg (x 100) %d; ", "FPGA DPS Vcc Bram %f, theReg (x 100) %d; "},
        {w2, 8, "FPGA FSM Vcc Aux %f, theReg (x 100) %d;", "FPGA DPS Vcc Aux %f, theReg (x 100) %d;"},
    };
    for (const auto &supply : supplies) {
        double volts = (supply.word >> 6) * 3.0 / 1024;
        uint16_t stored = (uint16_t)(volts * 1024 / 10);
        probingWriteBlockWord(monitor.offset + supply.offset, stored);
        log4c_category_log(cat, LOG4C_PRIORITY_DEBUG, dps ? supply.dpsText : supply.fsmText, volts, (int)stored);
    }
}

/* Logs an FPGA error line while its kind has logs left. */
int mayLog(errorKind_t &kind)
{
    if (kind.logs >= ERROR_LOG_LIMIT)
        return 0;
    kind.logs++;
    return 1;
}

void checkDdr3(uint16_t *raw, errorKind_t &kind, const char *text)
{
    if (raw[0] == NO_SAMPLE || kind.logs >= ERROR_LOG_LIMIT)
        return;
    uint16_t word = probingBigEndian(raw);
    raw[0] = NO_SAMPLE;
    uint32_t counter = (word >> 8) & 0xF;
    if (counter && mayLog(kind))
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR, text, (int)counter, (int)kind.logs, ERROR_LOG_LIMIT);
}

/* A FIFO overflow word counts an error; the first two are taken as start-up noise and not logged. */
int fifoError(uint16_t *raw, uint16_t mask, errorKind_t &kind, uint16_t *word)
{
    if (raw[0] == NO_SAMPLE)
        return 0;
    *word = probingBigEndian(raw);
    raw[0] = NO_SAMPLE;
    if (!(*word & mask))
        return 0;
    kind.errors++;
    return kind.errors >= FIRST_LOGGED_FIFO_ERROR && mayLog(kind);
}

} // namespace

void healthMonLm77Detect(log4c_category_t *cat, void *sharedMemory)
{
    (void)sharedMemory;
    health.category = cat;
    int present = 1;
    for (const char *node : lm77Nodes)
        present = present && access(halPath(node).c_str(), F_OK) == 0;
    healthMonitorLm77Present = (uint32_t)present;
    log4c_category_log(category(), LOG4C_PRIORITY_INFO, present ?
                           "LM77 sensors detected, temperature probes on LM77 will be enabled!" :
                           "LM77 sensors are not detected, temperature probes on LM77 will be disabled!");
    for (probingDebounce_t &fan : health.fans)
        probingDebounce(&fan, 1, 0, 0, 0);
    /* A fresh record: measurements, alarms and log counts start over, both rows at their first source. */
    health.voltageIndex = 0;
    for (int32_t &value : health.voltages)
        value = 0;
    health.lm77Sensor = 0;
    health.cpuTemperature = 0;
    health.status = health.publishedStatus = 0;
    health.alarmChanges = health.ledRed = health.rearMissingReported = 0;
    for (systemMonitor_t &monitor : health.monitors)
        monitor.deadCount = 0, monitor.temperature = 0;
    for (errorKind_t *kind : {&health.ddr3[0], &health.ddr3[1], &health.dpsVideoFifo, &health.fsmLocalVanc,
                              &health.fsmUpstreamVanc, &health.txPll})
        *kind = errorKind_t();
    probingAction *voltages = probingActionTable[PROBING_ROW_VOLTAGES];
    voltages->device = voltageSources[0].device;
    voltages->address = voltageSources[0].address;
    probingAction *lm77 = probingActionTable[PROBING_ROW_LM77];
    lm77->device = DEVICE_I2C_TEMP1;
    lm77->destination = &probingRawWords.lm77[0];
    markNoSample(probingRawWords.dpsSystemMonitor, 7, NO_SAMPLE);
    markNoSample(probingRawWords.fsmSystemMonitor, 7, NO_SAMPLE);
    probingRawWords.dpsFan[0] = probingRawWords.fsmFan[0] = NO_FAN_SAMPLE;
    for (uint16_t *word : {probingRawWords.dpsDdr3, probingRawWords.fsmDdr3, probingRawWords.dpsVancFifo,
                           probingRawWords.fsmLocalVancFifo, probingRawWords.txPll0, probingRawWords.txPll1,
                           probingRawWords.voltages, probingRawWords.lm77, probingRawWords.cpuTemperature})
        word[0] = NO_SAMPLE;
    markNoSample(probingRawWords.fsmUpstreamVancFifos, 5, NO_SAMPLE);
}

void kvrHealthMonProbingTargetPreThreadStart(void)
{
    log4c_category_t *cat = category();
    health.slot = platformGetCardSlotIndex();
    log4c_category_log(cat, LOG4C_PRIORITY_INFO, "%s This card index: %d!", __func__, (int)health.slot);
    for (uint32_t sensor = 0; sensor < 2; sensor++) {
        probingWriteBlockWord(LM77_OFFSET + 4 * sensor, 0);
        if (healthMonitorLm77Present)
            probingWriteBlockWord(LM77_OFFSET + 4 * sensor + 2, LM77_LIMIT);
    }
    for (const auto &limit : upperLimits)
        probingWriteBlockWord(limit[0], limit[1]);
    setAlarmEnable(1);
    writeFpgaWord(DEVICE_DPS_FPGA, 0x0241, SYSMON_THRESHOLDS);
    writeFpgaWord(DEVICE_FSM_FPGA, 0x0441, SYSMON_THRESHOLDS);
    uint32_t revision = platformGetMainHwRev(), patch = platformGetMainHwPatch();
    health.fsmFanMonitored = revision >= 2 || (revision == 1 && patch != 0);
    if (health.fsmFanMonitored)
        log4c_category_log(cat, LOG4C_PRIORITY_INFO, "%s FPGA FSM Fan being monitored!", __func__);
    else
        log4c_category_log(cat, LOG4C_PRIORITY_INFO,
                           "%s FPGA FSM Fan Not being monitored! hwRev 2 patch 1 or above have fan installed, this "
                           "card's hwRev is %d and patch is %d.",
                           __func__, (int)revision + 1, (int)patch);
}

void readVoltages(probingAction *action)
{
    const uint32_t index = health.voltageIndex % VOLTAGE_COUNT;
    const voltageSource_t &source = voltageSources[index];
    uint16_t raw = probingBigEndian(probingRawWords.voltages);
    probingRawWords.voltages[0] = NO_SAMPLE;
    if (raw != NO_SAMPLE && raw != NO_ANSWER) {
        double volts = raw * 3.3 / 1024, value;
        switch (index) {
        case 0: value = volts * 5010 / 2000; break;
        case 1: value = volts * 3000 / 2000; break;
        case 2: value = volts * 2332 / 2000; break;
        case 8: value = (raw >> 4) * 0.0244 * 47.4; break;
        case 9: value = (raw >> 4) * 0.0244 * 2 / 0.864; break;
        default: value = volts; break;
        }
        int32_t stored = (int32_t)(value * 100);
        health.voltages[index] = stored;
        probingWriteBlockWord(source.offset, (uint16_t)stored);
        log4c_category_log(category(), LOG4C_PRIORITY_DEBUG,
                           "VoltagePowerCurrent index %d readValue %d (0x%04x), calculatedValue %f, SharedMEmValue %d "
                           "(0x%04x). Actual value %f.\n",
                           (int)index, raw, raw, value, (int)stored, (unsigned)(uint16_t)stored, stored / 100.0);
        if (index == 9)
            probingWriteBlockWord(POWER_OFFSET, (uint16_t)(health.voltages[8] * health.voltages[9] / 100));
        checkVoltageLimits();
    }
    health.voltageIndex = (index + 1) % VOLTAGE_COUNT;
    const voltageSource_t &next = voltageSources[health.voltageIndex];
    action->device = next.device;
    action->address = next.address;
}

void readTemperatureSensors(probingAction *action)
{
    uint32_t sensor = health.lm77Sensor & 1;
    uint16_t *word = &probingRawWords.lm77[sensor];
    if (*word != NO_SAMPLE) {
        int16_t value = (int16_t)*word;
        probingWriteBlockWord(LM77_OFFSET + 4 * sensor, (uint16_t)value);
        *word = NO_SAMPLE;
    }
    log4c_category_log(category(), LOG4C_PRIORITY_DEBUG, "Temperature 1=%d, 2=%d",
                       (int)(int16_t)probingReadBlockWord(LM77_OFFSET), (int)(int16_t)probingReadBlockWord(LM77_OFFSET + 4));
    health.lm77Sensor = sensor ^ 1;
    action->device = (uint8_t)(health.lm77Sensor ? DEVICE_I2C_TEMP2 : DEVICE_I2C_TEMP1);
    action->destination = &probingRawWords.lm77[health.lm77Sensor];
}

void healthMonSystemMonitor(uint32_t ok)
{
    readSystemMonitor(health.monitors[0], ok);
    readSystemMonitor(health.monitors[1], ok);
    if (probingRawWords.cpuTemperature[0] != NO_SAMPLE) {
        health.cpuTemperature = (int16_t)probingRawWords.cpuTemperature[0];
        probingRawWords.cpuTemperature[0] = NO_SAMPLE;
    }
    probingWriteBlockWord(CPU_TEMPERATURE_OFFSET, (uint16_t)health.cpuTemperature);
    int hot = health.cpuTemperature >= CPU_LIMIT;
    if (ok)
        hot = hot || health.monitors[0].temperature >= FPGA_LIMIT || health.monitors[1].temperature >= FPGA_LIMIT;
    health.status = (uint16_t)(hot ? health.status | STATUS_TEMPERATURE : health.status & ~STATUS_TEMPERATURE);
    if (!health.rearMissingReported && rearMissing()) {
        health.rearMissingReported = 1;
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                           "ALARMS: Rear missing detected! Going to flash the Strata LED Red forever.");
        platformSetStrataLedBlinkRed(category(), LED_CALLER);
        health.ledRed = 1;
        setAlarmEnable(0);
    }
    publishStatus();
}

void healthMonFans(uint32_t ok)
{
    uint16_t *words[2] = {probingRawWords.dpsFan, probingRawWords.fsmFan};
    for (uint32_t fan = 0; fan < 2; fan++) {
        if (words[fan][0] == NO_FAN_SAMPLE)
            continue;
        uint16_t word = probingBigEndian(words[fan]);
        words[fan][0] = NO_FAN_SAMPLE;
        if (!ok)
            continue;
        uint32_t failed = (word >> 2) >= FAN_FAILURE;
        if (fan == 1 && !health.fsmFanMonitored) {
            probingWriteBlockWord(FSM_FAN_OFFSET, 0);
            continue;
        }
        probingDebounce(&health.fans[fan], 0, failed, FAN_DEBOUNCE, FAN_DEBOUNCE);
        if (fan == 0)
            probingWriteBlockWord(DPS_FAN_OFFSET, health.fans[0].state ? 0 : 1);
        else
            probingWriteBlockWord(FSM_FAN_OFFSET, word);
    }
    uint32_t alarm = health.fans[0].state || (health.fsmFanMonitored && health.fans[1].state);
    health.status = (uint16_t)(alarm ? health.status | STATUS_FAN : health.status & ~STATUS_FAN);
    publishStatus();
}

void healthMonFpgaErrors(uint32_t ok)
{
    (void)ok;
    log4c_category_t *cat = category();
    checkDdr3(probingRawWords.fsmDdr3, health.ddr3[0],
              "FPGA FSM had a DDR3 error!  mig_reset_counter = %d. LogCount %d (MAX %d)");
    checkDdr3(probingRawWords.dpsDdr3, health.ddr3[1],
              "FPGA DPS had a DDR3 error!  mig_reset_counter = %d. LogCount %d (MAX %d)");
    uint16_t word = 0;
    if (fifoError(probingRawWords.dpsVancFifo, 0x07FF, health.dpsVideoFifo, &word))
        log4c_category_log(cat, LOG4C_PRIORITY_ERROR,
                           "FPGA DPS had a Local Video FIFO Extract Overflow error (SCTE104, CC,... packets)!  "
                           "scte104_fifo_overflow_rst = 0x%04x, ublaze_fifo_overflow_rst 0x%04x . LogCount %d (MAX %d)",
                           word & 0x00FF, (word >> 8) & 0x07, (int)health.dpsVideoFifo.logs, ERROR_LOG_LIMIT);
    if (fifoError(probingRawWords.fsmLocalVancFifo, 0x01FF, health.fsmLocalVanc, &word))
        log4c_category_log(cat, LOG4C_PRIORITY_ERROR,
                           "FPGA FSM Local Vanc Fifo Overflow error (SCTE104, CC,... packets)!  fifo_overflow = "
                           "0x%04x. LogCount %d (MAX %d)",
                           word & 0x01FF, (int)health.fsmLocalVanc.logs, ERROR_LOG_LIMIT);
    uint16_t *upstream = probingRawWords.fsmUpstreamVancFifos;
    for (uint32_t fifo = 0; fifo < 5; fifo++) {
        if (upstream[fifo] == NO_SAMPLE)
            continue;
        word = probingBigEndian(&upstream[fifo]);
        upstream[fifo] = NO_SAMPLE;
        if (!(word & 0x01FF) || !mayLog(health.fsmUpstreamVanc))
            continue;
        if (log4c_category_is_priority_enabled(cat, LOG4C_PRIORITY_ERROR))
            log4c_category_log(cat, LOG4C_PRIORITY_ERROR,
                               "FPGA FSM Upstream Vanc Fifo Overflow error (SCTE104, CC,... packets)!  "
                               "fifo_overflow[%d] = 0x%04x. LogCount %d (MAX %d)",
                               (int)fifo, word & 0x01FF, (int)health.fsmUpstreamVanc.logs, ERROR_LOG_LIMIT);
        else
            log4c_category_log(cat, LOG4C_PRIORITY_WARN,
                               "FPGA FSM Upstream Vanc Fifo Overflow err (SCTE104, CC,... packets)!  "
                               "fifo_overflow[%d] = 0x%04x. LogCount %d (MAX %d)",
                               (int)fifo, word & 0x01FF, (int)health.fsmUpstreamVanc.logs, ERROR_LOG_LIMIT);
    }
    uint16_t *plls[2] = {probingRawWords.txPll0, probingRawWords.txPll1};
    for (uint32_t pll = 0; pll < 2; pll++) {
        if (plls[pll][0] == NO_SAMPLE)
            continue;
        word = probingBigEndian(plls[pll]);
        plls[pll][0] = NO_SAMPLE;
        /* A PLL that lost lock while genlock programs the clock generator is left to genlock's own resets. */
        if ((word & 1) || probingTargetClockBusy())
            continue;
        if (mayLog(health.txPll))
            log4c_category_log(cat, LOG4C_PRIORITY_ERROR,
                               "FPGA FSM SDI Tx PLL %d not locked detected. Will reset the PLL. (mv_op_status 0x%04x)",
                               (int)pll, word);
        probingTargetResetTxPll(cat, 1);
    }
}
