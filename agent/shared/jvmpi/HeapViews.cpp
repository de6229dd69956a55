#include "HeapViews.h"

#include "DataWriter.h"
#include "HeapProfilingSession.h"
#include "ProfilingSession.h"

namespace {

// The heap session of piagent: what needs the VM walks piagent's table of
// recorded live objects instead of the heap, which this interface cannot tag.
class PiHeapSession : public HeapProfilingSession {
public:
    PiHeapSession(ProfilingSession *session, ClassProfilingSession *classes, HeapViews::LiveObjectWalk walk)
        : HeapProfilingSession(session, classes), walkLiveObjects(std::move(walk))
    {
    }

    void generateLiveOnlyAllocationTree(const std::vector<int> &types, const std::vector<ClassData *> &classes,
                                        const std::string &prefix) override
    {
        if (!walkLiveObjects)
            return;
        walkLiveObjects([&](long long tag) { addLiveOnlyItem(tag, types, classes, prefix); });
    }

    void writeATLOData(DataWriter *writer) override
    {
        // Only sessions that build live-object trees from the live objects
        // keep them: per recorded live object its node, class, type and size.
        if (session->getAllocTreeRecordingType() != 1 || !walkLiveObjects) {
            writer->writeByte(0);
            return;
        }
        writer->writeByte(1);
        walkLiveObjects([&](long long tag) { writeLiveOnlyItem(writer, tag); });
        writer->writeByte(0);
    }

private:
    HeapViews::LiveObjectWalk walkLiveObjects;
};

} // namespace

namespace HeapViews {

HeapProfilingSession *create(ProfilingSession *session, ClassProfilingSession *classes, LiveObjectWalk walk)
{
    return new PiHeapSession(session, classes, std::move(walk));
}

void destroy(HeapProfilingSession *views)
{
    delete views;
}

long long recordAllocation(HeapProfilingSession *views, CallStackTree *node, long long size, int type, ClassData *classData, int timeMs)
{
    return views != nullptr && views->isRecording() ? views->recordAllocation(node, size, type, classData, timeMs) : 0;
}

CallStackTree *backtraceNode(HeapProfilingSession *views, long long tag)
{
    if (views == nullptr || tag == 0)
        return nullptr;
    HeapAllocItem *item = views->getIds().getAllocItem(tag);
    return item != nullptr ? item->node : nullptr;
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
