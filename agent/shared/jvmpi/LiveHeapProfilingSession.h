#ifndef AGENT_JVMPI_LIVEHEAPPROFILINGSESSION_H
#define AGENT_JVMPI_LIVEHEAPPROFILINGSESSION_H

#include <functional>
#include <memory>

#include "PiChronoHeapAllocItem.h"
#include "PiChronoHeapArrayAllocItem.h"
#include "PiHeapAllocItem.h"
#include "PiHeapArrayAllocItem.h"
#include "OptHashTable.h"
#include "TableInstancePool.h"
#include "jvmpi.h"

class CallStackTree;
class ClassData;
class HeapProfilingSession;
class ProfilingSession;

// The live objects piagent has recorded, keyed by their JVMPI object ids,
// with the allocation and free counters.
class LiveHeapProfilingSession {
public:
    static const int TABLE_CAPACITY = 1000000;

    // `session` provides the heap monitor.
    explicit LiveHeapProfilingSession(ProfilingSession *session);
    virtual ~LiveHeapProfilingSession();

    // An allocated object (only while recording): `type` is the agent's type code.
    virtual void handleObjectAlloc(JNIEnv *env, jobjectID id, int size, int type, ClassData *classData);
    // A collected object; id 1 and ids never recorded are ignored.
    virtual void handleObjectFree(long long id);
    // An object the collector moved.
    virtual void handleObjectMove(JVMPI_Event *event);
    virtual PiHeapAllocItem *getHeapAllocItem(jobjectID id);
    // A pass over the whole table: `visit` gets the view id of every recorded
    // live object the views know, with the class and heap monitors held and
    // the collector disabled (except while the VM shuts down), so that no
    // object is freed or moved meanwhile. Runs on the command thread.
    void forEachViewTag(const std::function<void(long long)> &visit);

    // The heap views (commands 3, 4, 24, 51) that recorded objects are
    // counted in (not owned; may be null), and where the allocating thread
    // is in its call tree (null: nowhere).
    void setViews(HeapProfilingSession *views, std::function<CallStackTree *(JNIEnv *)> allocationNode)
    {
        heapViews = views;
        nodeOf = std::move(allocationNode);
    }
    void setRecording(bool on) { recording = on; }
    bool isRecording() const { return recording; }
    bool isChrono() const { return chrono; }
    void setChrono(bool on) { chrono = on; }

    long long numCreatedObjects = 0;
    long long numFreedObjects = 0;
    long long numArrays = 0;
    long long numNonArrays = 0;

private:
    PiHeapAllocItem *getHeapAllocItem(jobjectID id, int size, int type, ClassData *classData, int time);
    void freeAllocItem(PiHeapAllocItem *item);

    ProfilingSession *session;
    HeapProfilingSession *heapViews = nullptr;
    std::function<CallStackTree *(JNIEnv *)> nodeOf;
    bool recording;
    bool chrono;
    std::unique_ptr<OptHashTable<jobjectID, PiHeapAllocItem>> liveObjects;
    TableInstancePool<PiHeapAllocItem> heapAllocItemPool;
    TableInstancePool<PiHeapArrayAllocItem> heapArrayAllocItemPool;
    TableInstancePool<PiChronoHeapAllocItem> chronoHeapAllocItemPool;
    TableInstancePool<PiChronoHeapArrayAllocItem> chronoHeapArrayAllocItemPool;
};

#endif
