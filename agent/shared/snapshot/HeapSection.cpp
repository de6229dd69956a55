// Section 1: the heap session's allocation recording.
#include "HeapProfilingSession.h"
#include "ProfilingSession.h"
#include "SnapshotSections.h"

void writeHeapSection(DataWriter *writer, const SnapshotSources &sources)
{
    if (sources.heap != nullptr)
        sources.heap->write(writer, sources.session->isRestrictedJvmti());
}

bool readHeapSection(DataReader *reader, int version, uint64_t length, const SnapshotSources &sources)
{
    if (sources.heap == nullptr || length == 0)
        return true;
    return sources.heap->read(reader, version, sources.session->isRestrictedJvmti());
}
