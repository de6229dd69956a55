// Sections 2 (the items' backtrace tree, which the heap dump's allocation
// nodes name) and 4 (the last heap dump file, copied as it is).
#include "SnapshotSections.h"

#include "DataWriter.h"
#include "HeapDumpFile.h"
#include "HeapProfilingSession.h"

void writeAllocationTreeSection(DataWriter *writer, const SnapshotSources &sources)
{
    if (sources.heap != nullptr)
        sources.heap->writeBacktraceTree(writer);
}

bool readAllocationTreeSection(DataReader *reader, int version, uint64_t length, const SnapshotSources &sources)
{
    if (sources.heap == nullptr || length == 0)
        return true;
    return sources.heap->readBacktraceTree(reader, version);
}

void writeHeapDumpSection(DataWriter *writer, const SnapshotSources &sources)
{
    if (sources.heapDump != nullptr)
        sources.heapDump->copyTo(writer);
}
