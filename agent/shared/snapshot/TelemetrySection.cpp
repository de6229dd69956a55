// Section 5: the sampler's telemetry. Written empty (the magic only) until the
// sampler session writes its own; an empty section reads as nothing.
#include "SnapshotSections.h"

void writeTelemetrySection(DataWriter *, const SnapshotSources &) {}

bool readTelemetrySection(DataReader *, int, uint64_t, const SnapshotSources &)
{
    return true;
}
