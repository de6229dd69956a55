#include "HeapProfilingSession.h"

#include <cstring>

#include "ClassData.h"
#include "ClassProfilingSession.h"
#include "CSTMergeVisitor.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "HeapProfilingSessionViews.h"
#include "InternalMonitor.h"
#include "MethodDesc.h"
#include "ProfilingSession.h"
#include "SessionLock.h"

namespace {

const int TREE_WRITE_FLAGS = CallStackTree::ENTRY_METHOD | CallStackTree::ENTRY_VALUE | CallStackTree::ENTRY_COUNT
                             | CallStackTree::ENTRY_LINE;
const int TREE_READ_FLAGS = TREE_WRITE_FLAGS | CallStackTree::ENTRY_UPDATE_AT_ONCE;

bool isPrimitiveArray(int type)
{
    return type >= 4 && type <= 11;
}

// The type code of an item: its class's for arrays, 2 for the rest.
int itemType(long long id, const HeapAllocItem *item)
{
    return HeapItemIds::isArrayId(id) ? ClassData::getArrayTypeFromClassData(item->classData) : 2;
}

long long itemSize(long long id, const HeapAllocItem *item)
{
    if (HeapItemIds::isArrayId(id))
        return HeapItemIds::getArraySize(id, item);
    return item->classData != nullptr ? item->classData->getInstanceSize() : 0;
}

} // namespace

HeapProfilingSession::HeapProfilingSession(ProfilingSession *owner, ClassProfilingSession *classSession)
    : session(owner), classes(classSession)
{
    for (int set = 0; set < 3; set++) {
        for (int type = FIRST_ARRAY_TYPE; type <= LAST_ARRAY_TYPE; type++)
            arrayEntries[set][type - FIRST_ARRAY_TYPE].reset(new HeapItemClass(type, nullptr, &pool));
    }
    liveTree = newRoot();
    collectedTree = newRoot();
    liveCopy = newRoot();
    collectedCopy = newRoot();
    backtraceRoot = newRoot();
}

HeapProfilingSession::~HeapProfilingSession()
{
    view.reset();
    for (auto &set : classEntries) {
        for (auto &entry : set)
            delete entry.second;
    }
    for (auto &set : arrayEntries) {
        for (auto &entry : set)
            entry.reset();
    }
    for (CallStackTree *t : {liveTree, collectedTree, liveCopy, collectedCopy, mergedCopy, backtraceRoot}) {
        if (t != nullptr)
            t->freeAll(&pool);
    }
}

CallStackTree *HeapProfilingSession::newRoot()
{
    CallStackTree *root = pool.getInstance(false);
    root->initialize(nullptr, nullptr, nullptr, 0);
    return root;
}

void HeapProfilingSession::replaceTree(CallStackTree **tree)
{
    CallStackTree *old = *tree;
    *tree = newRoot();
    if (old != nullptr)
        old->freeAll(&pool);
}

HeapItemClass *HeapProfilingSession::getHeapItemClass(ClassData *classData, int set)
{
    auto found = classEntries[set].find(classData);
    if (found != classEntries[set].end())
        return found->second;
    HeapItemClass *entry = new HeapItemClass(0, classData, &pool);
    classEntries[set][classData] = entry;
    bool known = false;
    for (int other = 0; other < 3 && !known; other++)
        known = other != set && classEntries[other].count(classData) != 0;
    if (!known)
        classOrder.push_back(classData);
    return entry;
}

void HeapProfilingSession::updateAllocationTree(CallStackTree *node, long long size, CallStackTree *root, bool remove,
                                                InstancePool<CallStackTree> *pool)
{
    if (reinterpret_cast<uintptr_t>(node) < 2 || node->getMethod() == nullptr)
        return;
    std::vector<CallStackTree *> path;
    for (CallStackTree *n = node; n != nullptr && n->getParent() != nullptr; n = n->getParent())
        path.push_back(n);
    std::vector<CallStackTree *> mirrored{root};
    for (size_t i = path.size(); i-- > 0;) {
        CallStackTree *child = mirrored.back()->getChild(path[i]->getMethod(), path[i]->getLineHint());
        if (child == nullptr) {
            // Nothing to take away where the path is absent.
            if (remove)
                return;
            child = mirrored.back()->addChild(path[i]->getMethod(), path[i]->getLineHint(), pool);
        }
        mirrored.push_back(child);
    }
    for (CallStackTree *n : mirrored) {
        if (remove)
            n->decreaseAndRemove(size);
        else
            n->countAndAdd(size, false);
    }
    if (!remove)
        return;
    // Emptied nodes go, deepest first.
    for (size_t i = mirrored.size(); i-- > 1;) {
        CallStackTree *n = mirrored[i];
        if (n->getSecondValue() != 0 || n->hasChildren())
            break;
        mirrored[i - 1]->removeChild(n);
        n->freeAll(pool);
    }
}

CallStackTree *HeapProfilingSession::mirrorBacktrace(CallStackTree *node)
{
    // The thread's tree may go away with its thread: items keep the same
    // path in a tree of their own.
    if (reinterpret_cast<uintptr_t>(node) < 2 || node->getMethod() == nullptr)
        return nullptr;
    std::vector<CallStackTree *> path;
    for (CallStackTree *n = node; n != nullptr && n->getParent() != nullptr; n = n->getParent())
        path.push_back(n);
    CallStackTree *cursor = backtraceRoot;
    for (size_t i = path.size(); i-- > 0;) {
        CallStackTree *child = cursor->getChild(path[i]->getMethod(), path[i]->getLineHint());
        cursor = child != nullptr ? child : cursor->addChild(path[i]->getMethod(), path[i]->getLineHint(), &pool);
    }
    return cursor;
}

long long HeapProfilingSession::recordAllocation(CallStackTree *node, long long size, int type, ClassData *classData,
                                                 int32_t timeMs)
{
    if (!isRecording())
        return 0;
    bool array = type >= FIRST_ARRAY_TYPE;
    if (isPrimitiveArray(type))
        classData = &g_nonInstanceClassData[type];
    int recordingType = session->getAllocTreeRecordingType();
    SessionLock lock(session, IM_CLASS | IM_HEAP);
    HeapAllocItem *item;
    int id = ids.getNewId(array, chrono, &item);
    item->classData = classData;
    item->node = mirrorBacktrace(node);
    HeapItemIds::setArraySize(id, item, size);
    HeapItemIds::setTime(id, item, timeMs);
    HeapItemClass *entry = nullptr;
    if (isPrimitiveArray(type) || classData == nullptr) {
        entry = array ? getArrayItemClass(type, SET_LIVE) : nullptr;
    } else {
        if (!array && classData->getInstanceSize() != size && size > 0)
            classData->setInstanceSize(static_cast<int>(size > 0x7FFFFFFF ? 0x7FFFFFFF : size));
        entry = getHeapItemClass(classData, SET_LIVE);
    }
    if (entry != nullptr)
        entry->addInstance(size);
    if (recordingType != 1 && item->node != nullptr) {
        updateAllocationTree(item->node, size, liveTree, false, &pool);
        if (recordingType == 3 && entry != nullptr)
            updateAllocationTree(item->node, size, entry->getTree(), false, &pool);
    }
    numCreatedObjects++;
    if (array)
        numArrays++;
    else
        numNonArrays++;
    newAllocData = true;
    return id;
}

long long HeapProfilingSession::getUnrecordedItemId()
{
    SessionLock lock(session, IM_HEAP);
    HeapAllocItem *item;
    return ids.getNewId(false, false, &item);
}

void HeapProfilingSession::registerCollectedItem(long long id, HeapAllocItem *item)
{
    int type = itemType(id, item);
    long long size = itemSize(id, item);
    HeapItemClass *live;
    HeapItemClass *collected;
    if (type >= FIRST_ARRAY_TYPE && (isPrimitiveArray(type) || item->classData == nullptr)) {
        live = getArrayItemClass(type, SET_LIVE);
        collected = getArrayItemClass(type, SET_COLLECTED);
    } else {
        live = getHeapItemClass(item->classData, SET_LIVE);
        collected = getHeapItemClass(item->classData, SET_COLLECTED);
    }
    int recordingType = session->getAllocTreeRecordingType();
    if (recordingType != 1 && item->node != nullptr) {
        updateAllocationTree(item->node, size, liveTree, true, &pool);
        updateAllocationTree(item->node, size, collectedTree, false, &pool);
        if (recordingType == 3) {
            updateAllocationTree(item->node, size, live->getTree(), true, &pool);
            updateAllocationTree(item->node, size, collected->getTree(), false, &pool);
        }
    }
    live->removeInstance(size);
    collected->addInstance(size);
}

void HeapProfilingSession::handleObjectFree(long long tag)
{
    SessionLock lock(session, IM_CLASS | IM_HEAP);
    HeapAllocItem *item = ids.getAllocItem(tag);
    if (item == nullptr)
        return;
    // A reset empties the items of the objects recorded before it, which
    // keep their tags: nothing counted since is theirs, only the id is freed.
    if (HeapItemIds::isCleared(tag, item)) {
        ids.freeAllocItem(tag);
        return;
    }
    if (!HeapItemIds::isArrayId(tag) && item->classData == nullptr)
        return;
    if (HeapItemIds::isArrayId(tag))
        numArrays--;
    else
        numNonArrays--;
    numFreedObjects++;
    registerCollectedItem(tag, item);
    item->classData = nullptr;
    item->node = nullptr;
    ids.freeAllocItem(tag);
}

bool HeapProfilingSession::setAllocRecord(bool on, bool reset)
{
    if (on == isRecording())
        return false;
    if (on) {
        newAllocData = true;
        if (reset)
            resetData();
    }
    recording = on;
    return true;
}

void HeapProfilingSession::getTelemetryData(int *arrays, int *nonArrays, int *freed, int *created)
{
    *arrays = numArrays.load();
    *nonArrays = numNonArrays.load();
    *freed = numFreedObjects.exchange(0);
    *created = numCreatedObjects.exchange(0);
}

void HeapProfilingSession::resetHeapItemClasses(int set)
{
    for (auto &entry : arrayEntries[set])
        entry->reset();
    for (auto &entry : classEntries[set])
        entry.second->reset();
}

void HeapProfilingSession::resetAllocationsGC()
{
    if (session->getAllocTreeRecordingType() == 1)
        return;
    SessionLock lock(session, IM_CLASS | IM_HEAP);
    replaceTree(&collectedTree);
    if (session->getAllocTreeRecordingType() == 3) {
        for (auto &entry : arrayEntries[SET_COLLECTED])
            entry->resetTree();
        for (auto &entry : classEntries[SET_COLLECTED])
            entry.second->resetTree();
    }
}

void HeapProfilingSession::resetData()
{
    SessionLock lock(session, IM_CLASS | IM_HEAP);
    ids.zeroAll();
    resetAllocationsGC();
    for (int set : {SET_COLLECTED, SET_LIVE}) {
        resetHeapItemClasses(set);
        for (auto &entry : arrayEntries[set])
            entry->resetTree();
        for (auto &entry : classEntries[set])
            entry.second->resetTree();
    }
    replaceTree(&liveTree);
    numArrays = 0;
    numNonArrays = 0;
}

void HeapProfilingSession::resetDifferentialDataTransfer()
{
    SessionLock lock(session, IM_CLASS);
    for (int set = 0; set < 3; set++) {
        for (auto &entry : arrayEntries[set])
            entry->resetSent();
        for (auto &entry : classEntries[set])
            entry.second->resetSent();
    }
}

void HeapProfilingSession::createRequestedAllocationTrees()
{
    if (mergedCopy != nullptr) {
        mergedCopy->freeAll(&pool);
        mergedCopy = nullptr;
    }
    if (session->getAllocTreeRecordingType() == 1 || loadedFromSnapshot)
        return;
    SessionLock lock(session, IM_HEAP);
    for (auto pair : {std::make_pair(&liveCopy, liveTree), std::make_pair(&collectedCopy, collectedTree)}) {
        replaceTree(pair.first);
        CSTMergeVisitor merge;
        merge.initialize(session, *pair.first, &pool, 0, false, CSTMergeVisitor::KIND_CPU);
        pair.second->depthFirstTraversal(&merge);
    }
}

void HeapProfilingSession::updateTotalHeapData() {}

bool HeapProfilingSession::matchesLiveOnly(const std::vector<int> &types, const std::vector<ClassData *> &classes,
                                           const std::string &prefix, int type, const ClassData *classData)
{
    if (!types.empty()) {
        for (size_t i = 0; i < types.size(); i++) {
            if (isPrimitiveArray(types[i]) ? types[i] == type : (i < classes.size() && classes[i] == classData && classData != nullptr))
                return true;
        }
        return false;
    }
    if (prefix.empty())
        return true;
    return classData != nullptr && strncmp(classData->getClassName(), prefix.c_str(), prefix.size()) == 0;
}

void HeapProfilingSession::generateLiveOnlyAllocationTree(const std::vector<int> &types, const std::vector<ClassData *> &classes,
                                                          const std::string &prefix)
{
    SessionLock lock(session, IM_CLASS | IM_HEAP);
    liveOnly.forEach([&](CallStackTree *node, ClassData *classData, int type, uint32_t size) {
        if (node != nullptr && matchesLiveOnly(types, classes, prefix, type, classData))
            updateAllocationTree(node, size, liveCopy, false, &pool);
    });
}

void HeapProfilingSession::writeATLOData(DataWriter *writer)
{
    writer->writeByte(0);
}

void HeapProfilingSession::addLiveOnlyItem(long long id, const std::vector<int> &types, const std::vector<ClassData *> &classes,
                                           const std::string &prefix)
{
    HeapAllocItem *item = ids.getAllocItem(id);
    if (item == nullptr || item->classData == nullptr || item->node == nullptr)
        return;
    int type = itemType(id, item);
    if (matchesLiveOnly(types, classes, prefix, type, item->classData))
        updateAllocationTree(item->node, itemSize(id, item), liveCopy, false, &pool);
}

void HeapProfilingSession::writeLiveOnlyItem(DataWriter *writer, long long id)
{
    HeapAllocItem *item = ids.getAllocItem(id);
    if (item == nullptr || item->classData == nullptr || item->node == nullptr)
        return;
    long long size = itemSize(id, item);
    writer->writeByte(1);
    writer->writeID(item->node);
    writer->writeID(item->classData);
    writer->writeU2(static_cast<uint16_t>(itemType(id, item)));
    // The wire keeps 32 bits: larger arrays say the most it can.
    writer->writeU4(size > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<uint32_t>(size));
}

void HeapProfilingSession::addTotalHeapObject(ClassData *classData, int type, long long size)
{
    if (isPrimitiveArray(type) || (type == 3 && classData == nullptr))
        getArrayItemClass(type, SET_TOTAL)->addInstance(size);
    else if ((type == 2 || type == 3) && classData != nullptr)
        getHeapItemClass(classData, SET_TOTAL)->addInstance(size);
}

void HeapProfilingSession::writeHeapItemClasses(DataWriter *writer, int set, bool differential, bool withTrees)
{
    auto writeEntry = [&](HeapItemClass *entry) {
        if (differential ? !entry->isModified() : entry->getCount() <= 0)
            return;
        writer->writeByte(1);
        entry->write(writer, differential, withTrees);
    };
    for (auto &entry : arrayEntries[set])
        writeEntry(entry.get());
    for (ClassData *c : classOrder) {
        auto found = classEntries[set].find(c);
        if (found != classEntries[set].end())
            writeEntry(found->second);
    }
    writer->writeByte(0);
}

void HeapProfilingSession::handleCmdHeapUsage(DataReader *reader, DataWriter *writer)
{
    bool resetCollected = reader->readByte(0) != 0;
    {
        SessionLock lock(session, IM_CLASS);
        if (resetCollected)
            resetHeapItemClasses(SET_COLLECTED);
        writeHeapItemClasses(writer, SET_LIVE, true, false);
        writeHeapItemClasses(writer, SET_COLLECTED, true, false);
    }
    if (classes != nullptr)
        classes->writeClassDescriptions(writer, true);
    else
        writer->writeByte(0);
}

void HeapProfilingSession::handleCmdTotalHeapUsage(DataWriter *writer)
{
    updateTotalHeapData();
    {
        SessionLock lock(session, IM_CLASS);
        writeHeapItemClasses(writer, SET_TOTAL, true, false);
    }
    if (classes != nullptr)
        classes->writeClassDescriptions(writer, true);
    else
        writer->writeByte(0);
}

void HeapProfilingSession::write(DataWriter *writer, bool restricted)
{
    createRequestedAllocationTrees();
    SessionLock lock(session, IM_CLASS | IM_HEAP);
    writeHeapItemClasses(writer, SET_LIVE, false, true);
    writeHeapItemClasses(writer, SET_COLLECTED, false, true);
    if (!restricted) {
        updateTotalHeapData();
        writeHeapItemClasses(writer, SET_TOTAL, false, true);
    }
    writeATLOData(writer);
    collectedCopy->write(writer, TREE_WRITE_FLAGS);
    liveCopy->write(writer, TREE_WRITE_FLAGS);
}

void HeapProfilingSession::writeBacktraceTree(DataWriter *writer)
{
    SessionLock lock(session, IM_HEAP);
    writer->writeByte(1);
    writer->writeID(reinterpret_cast<const void *>(static_cast<uintptr_t>(1)));
    backtraceRoot->write(writer, CallStackTree::ENTRY_ID | CallStackTree::ENTRY_METHOD | CallStackTree::ENTRY_LINE);
}

bool HeapProfilingSession::readBacktraceTree(DataReader *reader, int version)
{
    SessionLock lock(session, IM_HEAP);
    if (reader->readByte(0) != 1)
        return !reader->getError();
    if (version >= 24)
        reader->readOldID(reinterpret_cast<void *>(static_cast<uintptr_t>(1)));
    if (reader->readByte(0) == 1) {
        replaceTree(&backtraceRoot);
        backtraceRoot->read(reader,
                            CallStackTree::ENTRY_ID | CallStackTree::ENTRY_METHOD | CallStackTree::ENTRY_LINE
                                | CallStackTree::ENTRY_UPDATE_AT_ONCE,
                            &pool, version);
    }
    return !reader->getError();
}

bool HeapProfilingSession::readHeapItemClasses(DataReader *reader, int set, int version, bool restricted)
{
    while (reader->readByte(0) == 1) {
        int type = reader->readU2(0);
        ClassData *classData = static_cast<ClassData *>(reader->readAndUpdateID());
        long long count = version < 12 ? static_cast<long long>(reader->readU4(0)) : reader->readJLong(0);
        long long size = reader->readJLong(0);
        CallStackTree *tree = nullptr;
        if (version >= 3 && reader->readByte(0) == 1) {
            tree = newRoot();
            tree->read(reader, TREE_READ_FLAGS, &pool, version);
        }
        HeapItemClass *entry = nullptr;
        if (type == 2 || (type == 3 && version >= 17 && !restricted)) {
            if (classData != nullptr)
                entry = getHeapItemClass(classData, set);
        } else if (type >= FIRST_ARRAY_TYPE && type <= LAST_ARRAY_TYPE) {
            entry = getArrayItemClass(type, set);
        }
        if (entry == nullptr) {
            if (tree != nullptr)
                tree->freeAll(&pool);
            continue;
        }
        entry->setValues(count, size);
        entry->adoptTree(tree);
    }
    return !reader->getError();
}

bool HeapProfilingSession::read(DataReader *reader, int version, bool restricted)
{
    SessionLock lock(session, IM_CLASS | IM_HEAP);
    loadedFromSnapshot = true;
    for (int set : {SET_LIVE, SET_COLLECTED, SET_TOTAL}) {
        if (set == SET_TOTAL && restricted)
            continue;
        if (!readHeapItemClasses(reader, set, version, restricted))
            return false;
    }
    if (version >= 9 && reader->readByte(0) == 1 && !liveOnly.copyFrom(reader))
        return false;
    for (CallStackTree **copy : {&collectedCopy, &liveCopy}) {
        replaceTree(copy);
        if (reader->readByte(0) == 1)
            (*copy)->read(reader, TREE_READ_FLAGS, &pool, version);
    }
    return !reader->getError();
}
