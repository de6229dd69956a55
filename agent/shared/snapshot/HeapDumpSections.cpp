// Sections 2 (the heap dump's allocation tree) and 4 (the heap dump). No heap
// dump is taken yet: both are written empty (the magic only), and an empty
// allocation tree section reads as nothing.
#include "SnapshotSections.h"

void writeAllocationTreeSection(DataWriter *, const SnapshotSources &) {}

bool readAllocationTreeSection(DataReader *, int, uint64_t, const SnapshotSources &)
{
    return true;
}

void writeHeapDumpSection(DataWriter *, const SnapshotSources &) {}
