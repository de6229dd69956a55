// Section 1: the heap session's allocation recording.
#include "SnapshotSections.h"

void writeHeapSection(DataWriter *, const SnapshotSources &) {}

bool readHeapSection(DataReader *, int, uint64_t, const SnapshotSources &)
{
    return true;
}
