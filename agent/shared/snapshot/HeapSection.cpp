// Section 1: the heap session's allocation recording.
#include "HeapProfilingSession.h"
#include "ProfilingSession.h"
#include "SnapshotSections.h"

namespace {

// Only a restricted JVMTI (not the full one, which every VM with the
// restricted flag but a few has) leaves out the whole heap and keeps object
// arrays per type instead of per class.
bool restricted(const ProfilingSession *session)
{
    return session->isRestrictedJvmti() && !session->isFullJvmti();
}

} // namespace

void writeHeapSection(DataWriter *writer, const SnapshotSources &sources)
{
    if (sources.heap != nullptr)
        sources.heap->write(writer, restricted(sources.session));
}

bool readHeapSection(DataReader *reader, int version, uint64_t length, const SnapshotSources &sources)
{
    if (sources.heap == nullptr || length == 0)
        return true;
    return sources.heap->read(reader, version, restricted(sources.session));
}
