// Sections 0 (classes and methods) and 3 (CPU).
#include "ClassProfilingSession.h"
#include "CpuProfilingSession.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "MethodStats.h"
#include "SnapshotJavaPart.h"
#include "SnapshotSections.h"

void writeClassSection(DataWriter *writer, const SnapshotSources &sources)
{
    if (sources.classes == nullptr)
        return;
    CpuProfilingSession *cpu = sources.cpu;
    sources.classes->write(writer, [cpu](DataWriter *out, const MethodDesc *method) {
        const MethodStats *stats = cpu != nullptr ? cpu->getMethodStatistics(method) : nullptr;
        if (stats != nullptr)
            stats->write(out);
        else
            MethodStats::writeNone(out);
    });
}

bool readClassSection(DataReader *reader, int version, uint64_t length, const SnapshotSources &sources)
{
    if (sources.classes == nullptr || length == 0)
        return true;
    return sources.classes->read(reader, version, [version](DataReader *in, MethodDesc *) {
        // A loaded session shows no method statistics: they are read past.
        delete MethodStats::read(in, version);
        return !in->getError();
    });
}

void writeCpuSectionWithoutMonitors(DataWriter *writer, const SnapshotSources &sources)
{
    std::vector<unsigned char> metaData;
    if (sources.javaPart != nullptr)
        sources.javaPart->probeMetaData(&metaData);
    if (sources.cpu != nullptr)
        sources.cpu->writeWithoutMonitors(writer, metaData);
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
