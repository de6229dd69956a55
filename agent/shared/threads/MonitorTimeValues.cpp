#include "MonitorTimeValues.h"

#include "DataReader.h"
#include "DataWriter.h"

void MonitorTimeValues::addBlockingEvent(long long time, int count)
{
    blockingTime += time;
    blockingCount += static_cast<uint32_t>(count);
}

void MonitorTimeValues::addWaitingEvent(long long time, int count)
{
    waitingTime += time;
    waitingCount += static_cast<uint32_t>(count);
}

void MonitorTimeValues::addNetIOEvent(long long time, int count)
{
    netIOTime += time;
    netIOCount += static_cast<uint32_t>(count);
}

void MonitorTimeValues::add(const MonitorTimeValues *other)
{
    waitingTime += other->waitingTime;
    waitingCount += other->waitingCount;
    blockingTime += other->blockingTime;
    blockingCount += other->blockingCount;
    netIOTime += other->netIOTime;
    netIOCount += other->netIOCount;
}

void MonitorTimeValues::copyValues(const MonitorTimeValues *other)
{
    *this = *other;
}

void MonitorTimeValues::clear(bool all)
{
    waitingTime = blockingTime = netIOTime = 0;
    waitingCount = blockingCount = netIOCount = 0;
    if (all)
        annotationId = 0;
}

bool MonitorTimeValues::isEmpty() const
{
    return waitingCount == 0 && blockingCount == 0 && netIOCount == 0;
}

void MonitorTimeValues::write(DataWriter *writer) const
{
    writer->writeU4(blockingCount);
    writer->writeJLong(blockingTime);
    writer->writeU4(waitingCount);
    writer->writeJLong(waitingTime);
    writer->writeU4(netIOCount);
    writer->writeJLong(netIOTime);
    writer->writeJLong(annotationId);
}

void MonitorTimeValues::read(DataReader *reader, int version)
{
    blockingCount = reader->readU4(0);
    blockingTime = reader->readJLong(0);
    waitingCount = reader->readU4(0);
    waitingTime = reader->readJLong(0);
    netIOCount = 0;
    netIOTime = 0;
    if (version >= 7) {
        netIOCount = reader->readU4(0);
        netIOTime = reader->readJLong(0);
    }
    annotationId = version >= 19 ? reader->readJLong(0) : 0;
}
