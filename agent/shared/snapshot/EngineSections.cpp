// Sections 0 (classes and methods) and 3 (CPU).
#include "ClassProfilingSession.h"
#include "CpuProfilingSession.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "SnapshotSections.h"

void writeClassSection(DataWriter *writer, const SnapshotSources &sources)
{
    if (sources.classes == nullptr)
        return;
    sources.classes->writeClassDescriptions(writer, false);
    sources.classes->writeMethodDescriptions(writer, false);
}

bool readClassSection(DataReader *, int, uint64_t, const SnapshotSources &)
{
    // The class registry of a loaded snapshot is not rebuilt yet: the
    // section is checked by its CRC and read past.
    return true;
}

void writeCpuSectionWithoutMonitors(DataWriter *writer, const SnapshotSources &sources)
{
    if (sources.cpu != nullptr)
        sources.cpu->writeWithoutMonitors(writer);
}

void writeCpuSection(DataWriter *writer, const SnapshotSources &sources)
{
    if (sources.cpu != nullptr)
        sources.cpu->write(writer, sources.recorderMode);
}

bool readCpuSection(DataReader *reader, int version, uint64_t length, const SnapshotSources &sources)
{
    if (sources.cpu == nullptr || length == 0)
        return true;
    return sources.cpu->read(reader, version);
}
