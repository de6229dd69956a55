#include "LiveHeapProfilingSession.h"

#include "ClassData.h"
#include "Counter.h"
#include "HeapViews.h"
#include "InternalMonitor.h"
#include "PiProfiling.h"
#include "ProfilingSession.h"

LiveHeapProfilingSession::LiveHeapProfilingSession(ProfilingSession *session)
    : session(session), recording(false), chrono(true),
      liveObjects(new OptHashTable<jobjectID, PiHeapAllocItem>(TABLE_CAPACITY, 0.75f))
{
}

LiveHeapProfilingSession::~LiveHeapProfilingSession() = default;

namespace {

// The pseudo class of a primitive array type, carrying its type code.
ClassData *arrayPseudoClass(int type)
{
    ClassData *pseudo = &g_nonInstanceClassData[type];
    if (pseudo->getArrayType() != type)
        pseudo->setArrayType(type);
    return pseudo;
}

} // namespace

PiHeapAllocItem *LiveHeapProfilingSession::getHeapAllocItem(jobjectID id, int size, int type, ClassData *classData, int time)
{
    PiHeapAllocItem *item;
    if (PiHeapAllocItem::isSpecialArray(type)) {
        if (chrono) {
            PiChronoHeapArrayAllocItem *array = chronoHeapArrayAllocItemPool.getInstance(false);
            array->size = size;
            array->time = time;
            item = array;
        } else {
            PiHeapArrayAllocItem *array = heapArrayAllocItemPool.getInstance(false);
            array->size = size;
            item = array;
        }
    } else if (chrono) {
        PiChronoHeapAllocItem *timed = chronoHeapAllocItemPool.getInstance(false);
        timed->time = time;
        item = timed;
    } else {
        item = heapAllocItemPool.getInstance(false);
    }
    item->classData = PiHeapAllocItem::isSpecialArray(type) ? arrayPseudoClass(type) : classData;
    item->setObjectId(id);
    item->allocNode = nullptr;
    item->next = nullptr;
    item->viewTag = 0;
    return item;
}

// An item goes back to the pool of its own class: the chrono setting may have
// changed since it was made, and a block of smaller items must never take it.
void LiveHeapProfilingSession::freeAllocItem(PiHeapAllocItem *item)
{
    item->classData = nullptr;
    item->allocNode = nullptr;
    if (auto *timedArray = dynamic_cast<PiChronoHeapArrayAllocItem *>(item))
        chronoHeapArrayAllocItemPool.freeInstance(timedArray);
    else if (auto *array = dynamic_cast<PiHeapArrayAllocItem *>(item))
        heapArrayAllocItemPool.freeInstance(array);
    else if (auto *timed = dynamic_cast<PiChronoHeapAllocItem *>(item))
        chronoHeapAllocItemPool.freeInstance(timed);
    else
        heapAllocItemPool.freeInstance(item);
}

void LiveHeapProfilingSession::handleObjectAlloc(JNIEnv *env, jobjectID id, int size, int type, ClassData *classData)
{
    if (!recording)
        return;
    CallStackTree *node = nodeOf ? nodeOf(env) : nullptr;
    int time = chrono ? static_cast<int>(Counter::getUsec() / 1000) : 0;
    // The views take the class and heap monitors themselves, in their order:
    // before the heap monitor is held here. The VM frees an object only after
    // its allocation event has returned.
    long long viewTag =
        HeapViews::recordAllocation(heapViews, node, size, type, PiHeapAllocItem::isSpecialArray(type) ? nullptr : classData, time);
    session->enterMonitor(IM_HEAP);
    PiHeapAllocItem *item = getHeapAllocItem(id, size, type, classData, time);
    // The views' copy of the path: the thread's tree goes with its thread.
    item->allocNode = HeapViews::backtraceNode(heapViews, viewTag);
    item->viewTag = viewTag;
    liveObjects->put(item);
    ++numCreatedObjects;
    if (type < 3)
        ++numNonArrays;
    else
        ++numArrays;
    session->exitMonitor(IM_HEAP, false);
}

void LiveHeapProfilingSession::handleObjectFree(long long id)
{
    if (id == 1)
        return;
    PiHeapAllocItem *item = liveObjects->remove(reinterpret_cast<jobjectID>(static_cast<intptr_t>(id)));
    if (item == nullptr)
        return;
    int type = item->getType();
    if (type >= 3 || item->classData != nullptr) {
        if (type < 3)
            --numNonArrays;
        else
            --numArrays;
        ++numFreedObjects;
    }
    HeapViews::objectFreed(heapViews, item->viewTag);
    // An item without a class goes back to its pool too, or it is lost.
    freeAllocItem(item);
}

void LiveHeapProfilingSession::handleObjectMove(JVMPI_Event *event)
{
    liveObjects->changeKey(event->u.obj_move.obj_id, event->u.obj_move.new_obj_id);
}

PiHeapAllocItem *LiveHeapProfilingSession::getHeapAllocItem(jobjectID id)
{
    return liveObjects->get(id);
}

void LiveHeapProfilingSession::forEachViewTag(const std::function<void(long long)> &visit)
{
    JVMPI_Interface *vm = PiProfiling::g_profilingInterface;
    bool holdGc = vm != nullptr && !PiProfiling::shuttingDown;
    if (holdGc)
        vm->DisableGC();
    session->enterMonitor(IM_CLASS | IM_HEAP);
    std::unique_ptr<OptHashTable<jobjectID, PiHeapAllocItem>::Iterator> items(liveObjects->getIterator());
    while (items->hasNext()) {
        PiHeapAllocItem *item = items->next();
        if (item->viewTag != 0)
            visit(item->viewTag);
    }
    session->exitMonitor(IM_CLASS | IM_HEAP, false);
    if (holdGc)
        vm->EnableGC();
}
