#ifndef AGENT_HEAPPROFILINGSESSION_H
#define AGENT_HEAPPROFILINGSESSION_H

#include <atomic>
#include <memory>
#include <unordered_map>
#include <vector>

#include "CallStackTree.h"
#include "HeapItemClass.h"
#include "HeapItemIds.h"
#include "HeapLiveOnlyFile.h"

class ClassData;
class ClassProfilingSession;
class DataReader;
class DataWriter;
class ProfilingSession;

// Heap profiling: per class and array type the live recorded objects (set 0),
// the recorded ones the collector freed (set 1) and the whole heap (set 2,
// recomputed on demand), with allocation trees of live and collected objects
// as the session's allocation-tree recording type asks (1: none while
// recording, 2: one live and one collected tree, 3: also per class and array
// type). The interface binding feeds allocations and frees and overrides what
// needs the VM (the whole heap, live-only trees). Items, pools and trees
// change under the heap lock, statistics under the class lock.
class HeapProfilingSession {
public:
    static const int SET_LIVE = 0;
    static const int SET_COLLECTED = 1;
    static const int SET_TOTAL = 2;
    static const int FIRST_ARRAY_TYPE = 3;
    static const int LAST_ARRAY_TYPE = 11;

    HeapProfilingSession(ProfilingSession *session, ClassProfilingSession *classes);
    virtual ~HeapProfilingSession();
    HeapProfilingSession(const HeapProfilingSession &) = delete;
    HeapProfilingSession &operator=(const HeapProfilingSession &) = delete;

    // Fresh merges of the live and collected trees into the transfer copies.
    virtual void createRequestedAllocationTrees();
    // Empties the collected tree (and with type 3 the set-1 trees).
    virtual void resetAllocationsGC();
    // Recounts set 2 from the whole heap; nothing without a VM.
    virtual void updateTotalHeapData();
    // Fills the live copy with the live objects matching the selection
    // (recording type 1): here those of a loaded snapshot.
    virtual void generateLiveOnlyAllocationTree(const std::vector<int> &types, const std::vector<ClassData *> &classes,
                                                const std::string &prefix);
    // The live-only data of the heap section: byte 0 (none) here.
    virtual void writeATLOData(DataWriter *writer);

    // Records a new object and returns its id (its tag), or 0 while not
    // recording. `type` is the type code (2 object, 3 object array, 4-11
    // primitive arrays), `classData` its class (null for primitive arrays:
    // the type's pseudo class), `node` the allocating thread's call-tree
    // node (null: unknown), `timeMs` the allocation time when chrono is on.
    long long recordAllocation(CallStackTree *node, long long size, int type, ClassData *classData, int32_t timeMs);
    // An id for an object the agent tags without recording it (classes,
    // monitors): a plain item without class, ignored when freed.
    long long getUnrecordedItemId();
    // The collector freed the object with this tag.
    void handleObjectFree(long long tag);

    bool isRecording() const { return recording.load(std::memory_order_relaxed); }
    // Recording on or off; switching on sets the new-data flag and, with
    // `reset`, starts from empty data. True when the state changed.
    bool setAllocRecord(bool on, bool reset);
    bool isChrono() const { return chrono; }
    void setChrono(bool on) { chrono = on; }
    // Answers and clears the new-data flag.
    bool hasNewAllocData() { return newAllocData.exchange(false); }
    // Live arrays, live other objects, frees and allocations since the last call.
    void getTelemetryData(int *arrays, int *nonArrays, int *freed, int *created);

    void resetData();
    // A new front end: the next differential lists send every entry again.
    void resetDifferentialDataTransfer();

    // Command 3: byte reset collected; set 0 and set 1 as differential lists,
    // then the class descriptions not yet sent.
    void handleCmdHeapUsage(DataReader *reader, DataWriter *writer);
    // Command 4: set 2 as a differential list, then the class descriptions.
    void handleCmdTotalHeapUsage(DataWriter *writer);

    // Heap section of snapshots.
    void write(DataWriter *writer, bool restricted);
    bool read(DataReader *reader, int version, bool restricted);
    // Section 2 of snapshots: byte 1, ID 1 and the items' backtrace tree with
    // node IDs, methods and lines; reading replaces the backtrace tree.
    void writeBacktraceTree(DataWriter *writer);
    bool readBacktraceTree(DataReader *reader, int version);
    CallStackTree *getBacktraceRoot() const { return backtraceRoot; }

    // Commands 24, 25, 51 and 52 (allocation trees and hotspots).
    void handleCmdAllocationUpdate(DataReader *reader, DataWriter *writer);
    void handleCmdExpandAllocationNode(DataReader *reader, DataWriter *writer);
    void handleCmdAllocationHotspotTreeUpdate(DataReader *reader, DataWriter *writer);
    void handleCmdExpandAllocationHotspotNode(DataReader *reader, DataWriter *writer);

    // The entry of a class in a set, made on first use (class lock held).
    HeapItemClass *getHeapItemClass(ClassData *classData, int set);
    // The entry of an array type 3-11 in a set.
    HeapItemClass *getArrayItemClass(int type, int set) { return arrayEntries[set][type - FIRST_ARRAY_TYPE].get(); }
    // Counts one object of the whole heap into set 2 (updateTotalHeapData).
    void addTotalHeapObject(ClassData *classData, int type, long long size);
    void resetHeapItemClasses(int set);

    // Adds (or with `remove` takes away) one object of `size` along the path
    // from the root of `node`'s tree to `node`, mirrored under `root`. A node
    // pointer below 2, or a path ending at a node without method, adds nothing.
    static void updateAllocationTree(CallStackTree *node, long long size, CallStackTree *root, bool remove,
                                     InstancePool<CallStackTree> *pool);
    // Whether a live object of `type` and class belongs in a live-only tree:
    // with selected types, when one matches (a primitive array type by type,
    // a class by class); else with a prefix, when its class name begins
    // with it; else always.
    static bool matchesLiveOnly(const std::vector<int> &types, const std::vector<ClassData *> &classes, const std::string &prefix,
                                int type, const ClassData *classData);
    // The live objects of a loaded snapshot.
    const HeapLiveOnlyFile &getLiveOnlyFile() const { return liveOnly; }

    CallStackTree *getLiveTree() const { return liveTree; }
    CallStackTree *getCollectedTree() const { return collectedTree; }
    HeapItemIds &getIds() { return ids; }
    int getNumArrays() const { return numArrays.load(); }
    int getNumNonArrays() const { return numNonArrays.load(); }

    // A view request and the trees built for it (HeapProfilingSessionViews.h).
    struct ViewState;

protected:
    // Writes a set: differential (modified entries, marked sent) or full
    // (entries with a count), ended by byte 0.
    void writeHeapItemClasses(DataWriter *writer, int set, bool differential, bool withTrees);
    bool readHeapItemClasses(DataReader *reader, int set, int version, bool restricted);
    CallStackTree *newRoot();
    // The same path as `node` (a thread's tree) under backtraceRoot; null
    // for no node or a node without method.
    CallStackTree *mirrorBacktrace(CallStackTree *node);
    void replaceTree(CallStackTree **tree);
    // For a live-object walk of a binding (heap lock held): adds the recorded
    // object `id` to the live copy when it has a class and a node and matches
    // the selection (matchesLiveOnly).
    void addLiveOnlyItem(long long id, const std::vector<int> &types, const std::vector<ClassData *> &classes,
                         const std::string &prefix);
    // Writes the live-only record of the recorded object `id`: byte 1, ID of
    // its backtrace node, ID of its class, U2 type, U4 size; nothing for an
    // object without class or node (heap lock held).
    void writeLiveOnlyItem(DataWriter *writer, long long id);
    void registerCollectedItem(long long id, HeapAllocItem *item);
    // The selected tree of a view request (see handleCmdAllocationUpdate).
    CallStackTree *selectTree(ViewState &view);
    void writeHotspotTree(DataWriter *writer, bool withBackTraces);

    ProfilingSession *session;
    ClassProfilingSession *classes;
    InstancePool<CallStackTree> pool;
    HeapItemIds ids;
    std::unique_ptr<HeapItemClass> arrayEntries[3][LAST_ARRAY_TYPE - FIRST_ARRAY_TYPE + 1];
    std::unordered_map<ClassData *, HeapItemClass *> classEntries[3];
    // Classes with an entry in some set, in the order they got one.
    std::vector<ClassData *> classOrder;
    CallStackTree *liveTree;
    CallStackTree *collectedTree;
    CallStackTree *liveCopy;
    CallStackTree *collectedCopy;
    CallStackTree *mergedCopy = nullptr;
    // The allocation paths of the items, independent of the threads' trees.
    CallStackTree *backtraceRoot;
    // The data came from a snapshot: the transfer copies are the trees read.
    bool loadedFromSnapshot = false;
    // Live objects of a loaded snapshot, for live-only trees.
    HeapLiveOnlyFile liveOnly;
    std::unique_ptr<ViewState> view;
    bool chrono = true;
    std::atomic<bool> recording{false};
    std::atomic<bool> newAllocData{false};
    std::atomic<int> numArrays{0};
    std::atomic<int> numNonArrays{0};
    std::atomic<int> numCreatedObjects{0};
    std::atomic<int> numFreedObjects{0};
};

#endif
