// Section 5: the sampler's telemetry in the form of the telemetry reply, with
// the descriptions of the custom series. A section without body (no sampler
// when it was written) reads as no telemetry.
#include "SnapshotSections.h"

#include "SamplerSession.h"

void writeTelemetrySection(DataWriter *writer, const SnapshotSources &sources)
{
    if (sources.sampler != nullptr)
        sources.sampler->write(writer, true);
}

bool readTelemetrySection(DataReader *reader, int version, uint64_t length, const SnapshotSources &sources)
{
    if (length == 0 || sources.sampler == nullptr)
        return true;
    return sources.sampler->read(reader, version);
}
