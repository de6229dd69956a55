#include "HeapViews.h"

#include "HeapProfilingSession.h"

namespace HeapViews {

HeapProfilingSession *create(ProfilingSession *session, ClassProfilingSession *classes)
{
    return new HeapProfilingSession(session, classes);
}

void destroy(HeapProfilingSession *views)
{
    delete views;
}

long long recordAllocation(HeapProfilingSession *views, CallStackTree *node, long long size, int type, ClassData *classData, int timeMs)
{
    return views != nullptr && views->isRecording() ? views->recordAllocation(node, size, type, classData, timeMs) : 0;
}

void objectFreed(HeapProfilingSession *views, long long tag)
{
    if (views != nullptr && tag != 0)
        views->handleObjectFree(tag);
}

void setRecording(HeapProfilingSession *views, bool on, bool chrono)
{
    views->setChrono(chrono);
    views->setAllocRecord(on, false);
}

void reset(HeapProfilingSession *views)
{
    views->resetData();
}

void resetDifferentialDataTransfer(HeapProfilingSession *views)
{
    if (views != nullptr)
        views->resetDifferentialDataTransfer();
}

void telemetry(HeapProfilingSession *views, int *arrays, int *nonArrays, int *freed, int *created)
{
    views->getTelemetryData(arrays, nonArrays, freed, created);
}

} // namespace HeapViews
