#include "MonitorManager.h"

#include <cstdio>

#include "ClassData.h"
#include "DataWriter.h"

MonitorManager::MonitorManager(bool isRaw, long long id, uint32_t display, ClassData *monitorClass)
    : raw(isRaw), monitorId(id), displayId(display), classData(monitorClass)
{
}

void MonitorManager::write(DataWriter *writer) const
{
    timeValues.write(writer);
    writer->writeU4(displayId);
    writer->writeID(classData);
    writer->writeJLong(monitorId);
    writer->writeByte(raw ? 1 : 0);
}

void MonitorManager::writeStats(DataWriter *writer) const
{
    if (timeValues.isEmpty())
        return;
    writer->writeByte(1);
    char label[1024];
    snprintf(label, sizeof label, "%s (id: %d)", classData != nullptr ? classData->getClassName() : "[raw monitor]",
             static_cast<int>(displayId));
    writer->writeString(label);
    timeValues.write(writer);
}
