#ifndef AGENT_MONITORMANAGER_H
#define AGENT_MONITORMANAGER_H

#include <cstdint>

#include "MonitorTimeValues.h"

class ClassData;
class DataWriter;

// One monitor (a Java object's monitor or a raw monitor of the VM) with the
// blocking and waiting time threads spent on it.
class MonitorManager {
public:
    MonitorManager(bool raw, long long monitorId, uint32_t displayId, ClassData *classData);
    virtual ~MonitorManager() = default;
    MonitorManager(const MonitorManager &) = delete;
    MonitorManager &operator=(const MonitorManager &) = delete;

    bool isRaw() const { return raw; }
    ClassData *getClassData() const { return classData; }
    uint32_t getDisplayId() const { return displayId; }
    long long getMonitorId() const { return monitorId; }
    MonitorTimeValues *getMonitorTimeValues() { return &timeValues; }
    // Zeroes the times; the annotation id stays.
    void clearStats() { timeValues.clear(false); }
    // The time values, U4 display id, ID class, JLong monitor id, byte raw flag.
    void write(DataWriter *writer) const;
    // Nothing while no time was recorded; else byte 1, "class (id: n)"
    // ("[raw monitor]" without a class) and the time values.
    void writeStats(DataWriter *writer) const;

protected:
    bool raw;
    long long monitorId;
    uint32_t displayId;
    ClassData *classData;
    MonitorTimeValues timeValues;
};

#endif
