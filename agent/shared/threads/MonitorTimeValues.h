#ifndef AGENT_MONITORTIMEVALUES_H
#define AGENT_MONITORTIMEVALUES_H

#include <cstdint>

class DataReader;
class DataWriter;

// Blocking, waiting (and sleeping) and net I/O times with their counts, and
// the annotation (probe) id of the call-tree node that owns the record.
// Times are microseconds; all zero after construction.
class MonitorTimeValues {
public:
    void addBlockingEvent(long long time, int count);
    void addWaitingEvent(long long time, int count);
    void addNetIOEvent(long long time, int count);
    long long getBlockingTime() const { return blockingTime; }
    uint32_t getBlockingCount() const { return blockingCount; }
    long long getWaitingTime() const { return waitingTime; }
    uint32_t getWaitingCount() const { return waitingCount; }
    long long getNetIOTime() const { return netIOTime; }
    uint32_t getNetIOCount() const { return netIOCount; }
    long long getAnnotationId() const { return annotationId; }
    void setAnnotationId(long long id) { annotationId = id; }

    // Adds the other record's three times and counts (not its annotation id).
    void add(const MonitorTimeValues *other);
    // Copies all seven values, the annotation id included.
    void copyValues(const MonitorTimeValues *other);
    // Zeroes the times and counts; the annotation id too when `all`.
    void clear(bool all);
    // True when all three counts are 0.
    bool isEmpty() const;
    // U4 blocking count, JLong blocking time, U4 waiting count, JLong waiting
    // time, U4 net I/O count, JLong net I/O time, JLong annotation id.
    void write(DataWriter *writer) const;
    // The net I/O pair is present from version 7 on, the annotation id from 19 on.
    void read(DataReader *reader, int version);

private:
    long long waitingTime = 0;
    uint32_t waitingCount = 0;
    long long blockingTime = 0;
    uint32_t blockingCount = 0;
    long long netIOTime = 0;
    uint32_t netIOCount = 0;
    long long annotationId = 0;
};

#endif
