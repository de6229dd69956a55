#ifndef AGENT_CALLSTACKTREE_H
#define AGENT_CALLSTACKTREE_H

#include <cstdint>
#include <cstdio>
#include <unordered_map>
#include <utility>
#include <vector>

#include "structures/InstancePool.h"

// Call-tree and hotspot nodes recycle through the bytecode library's pool.
using ts_helper::InstancePool;

class AnnotationBytes;
class CSTVisitor;
class DataReader;
class DataWriter;
class MethodDesc;
class MonitorTimeValues;

// One node of a call tree (CPU time per call path) or allocation tree. A
// node's value is inclusive of its children; secondValue counts invocations.
// Children are found by (method, lineHint), new children go to the head of
// the list. Nodes come from an InstancePool whose free list is threaded
// through nextInstance. Every walk over a tree is iterative: trees reach
// many thousands of levels. Not locked: a thread's own tree is changed only
// by that thread.
class CallStackTree;

// Probe annotation ids gathered per node of a view tree.
typedef std::unordered_map<const CallStackTree *, std::vector<long long>> AnnotationMap;
// Time a live thread's open calls hold back from the values of the nodes on
// its current path (see CallStackTree::addOpenTime), per node: what a reader
// adds to the node's value to see its inclusive time.
typedef std::unordered_map<const CallStackTree *, long long> OpenTimeMap;

class CallStackTree {
public:
    // Line hints with a reserved meaning.
    static constexpr uint16_t LINE_PENDING = 0xFFFF;
    static constexpr uint16_t LINE_EXCEPTIONAL_RUN = 0xFFFC;
    static constexpr uint16_t LINE_EXCEPTIONAL_REST = 0xFFFB;
    static constexpr uint16_t LINE_FIRST_SLOW_RUN = 0xFFFA;
    static constexpr uint16_t LINE_LAST_SLOW_RUN = 0xFE07;
    static constexpr int MAX_SLOW_RUNS = 500;
    // Entry flags of the snapshot form.
    static constexpr int ENTRY_ID = 0x01;
    static constexpr int ENTRY_METHOD = 0x02;
    static constexpr int ENTRY_VALUE = 0x04;
    static constexpr int ENTRY_COUNT = 0x08;
    static constexpr int ENTRY_MONITOR = 0x10;
    static constexpr int ENTRY_LINE = 0x20;
    static constexpr int ENTRY_ANNOTATION = 0x40;
    static constexpr int ENTRY_UPDATE_AT_ONCE = 0x80;
    // maxDepth of writeUpdate that means "no limit".
    static constexpr int UNLIMITED_DEPTH = 12345;
    // writeUpdate threshold that writes every child.
    static constexpr long long THRESHOLD_ALL = -10;

    // The pseudo method of the node that collects unrecorded allocations.
    static MethodDesc *unrecordedMethod() { return reinterpret_cast<MethodDesc *>(static_cast<uintptr_t>(1)); }

    CallStackTree() = default;
    // Deletes the whole subtree (not into a pool).
    ~CallStackTree();
    CallStackTree(const CallStackTree &) = delete;
    CallStackTree &operator=(const CallStackTree &) = delete;

    // Resets a node taken from the pool.
    void initialize(CallStackTree *parent, CallStackTree *next, MethodDesc *method, uint16_t lineHint);

    MethodDesc *getMethod() const { return method; }
    uint16_t getLineHint() const { return lineHint; }
    CallStackTree *getParent() const { return parent; }
    CallStackTree *getFirstChild() const { return firstChild; }
    CallStackTree *getNextInstance() const { return nextInstance; }
    void setNextInstance(CallStackTree *next) { nextInstance = next; }
    bool hasChildren() const { return firstChild != nullptr; }
    MonitorTimeValues *getMonitorTimeValues() const { return monitorTimeValues; }

    // The child with exactly this pair, or null.
    CallStackTree *getChild(MethodDesc *m, uint16_t line) const
    {
        for (CallStackTree *c = firstChild; c != nullptr; c = c->nextInstance) {
            if (c->method == m && c->lineHint == line)
                return c;
        }
        return nullptr;
    }
    // A node named level by level below a root, as front-end requests name
    // one: (method ID, line hint) per level.
    typedef std::vector<std::pair<MethodDesc *, uint16_t>> Path;
    // Reads a path from a request: U2 n and n × (ID, U2 line). The IDs are
    // only compared with children's methods, never followed. Stops at the
    // reader's first error.
    static Path readPath(DataReader *reader);
    // Follows `path` from `node`, from its step `from` on; null when the path
    // leaves the tree or `node` is null.
    static CallStackTree *followPath(CallStackTree *node, const Path &path, size_t from);
    // A new first child from the pool.
    CallStackTree *addChild(MethodDesc *method, uint16_t lineHint, InstancePool<CallStackTree> *pool);
    // Pushes an existing node at the head of the child list (never null).
    void addChild(CallStackTree *child);
    // Unlinks a direct child; false when it is not one.
    bool removeChild(CallStackTree *child);

    long long getValue() const { return value; }
    void setValue(long long v) { value = v; }
    uint32_t getSecondValue() const { return secondValue; }
    void setSecondValue(uint32_t v) { secondValue = v; }
    void addValue(long long v, bool toParents)
    {
        if (!toParents) {
            value += v;
            return;
        }
        for (CallStackTree *n = this; n != nullptr; n = n->parent)
            n->value += v;
    }
    void addSecondValue(uint32_t count, bool toParents)
    {
        if (!toParents) {
            secondValue += count;
            return;
        }
        for (CallStackTree *n = this; n != nullptr; n = n->parent)
            n->secondValue += count;
    }
    // Time of the node's open invocation, kept out of its value and its
    // callers' until the invocation ends (foldOpenTime): charging a call
    // costs the same at every depth. Only nodes on a live thread's current
    // path hold any; readers add it through an OpenTimeMap.
    long long getOpenTime() const { return openTime; }
    // The value with the open time of every call running in the subtree:
    // the node's inclusive time as readers see it.
    long long getValueWithOpenTime() const;
    void addOpenTime(long long v) { openTime += v; }
    // The open time goes into the value and to the parent's open time.
    void foldOpenTime()
    {
        value += openTime;
        if (parent != nullptr)
            parent->openTime += openTime;
        openTime = 0;
    }
    // One more object of v bytes: value += v and count += 1, on the ancestors
    // too when toParents (allocation trees).
    void countAndAdd(long long v, bool toParents);
    // One object of v bytes fewer on this node only; neither value nor count
    // goes below 0. The caller removes a node whose count reaches 0.
    void decreaseAndRemove(long long v);
    // Copies value and count and, when the source has one, its monitor record.
    void copyValues(const CallStackTree *source);

    long long getAnnotationId() const;
    void setAnnotationId(long long id);
    void addSleepingTime(long long time, int count);
    void addBlockingTime(long long time, int count);
    void addNetIOTime(long long time, int count);

    // Sum of the children's values (counts); with skipHidden a child without
    // a real method or with a filtered one contributes its own children's sum.
    long long getChildrenValue(bool skipHidden) const;
    long long getChildrenSecondValue(bool skipHidden) const;
    // Threshold 0: any child; else any child whose value exceeds it.
    bool hasVisibleChildren(long long threshold) const;
    // The only child whose value exceeds the threshold, else null.
    CallStackTree *getSingleChild(long long threshold) const;
    // Some descendant has a method that is neither filtered nor view-filtered.
    bool hasUnfilteredChildren(bool viewFilter) const;
    // Removes first-level children without a real method, or filtered with no
    // unfiltered descendant; with addRemainder a null-method child holds their
    // sum (not counting the unrecorded pseudo node).
    void removeFilteredFirstLevelNodes(InstancePool<CallStackTree> *pool, bool viewFilter, bool addRemainder);

    // Zeroes values and counts of the subtree; a monitor record that carries an
    // annotation id is cleared but kept, any other is deleted.
    void clearAll();
    void clearSubtreesExcept(CallStackTree *keep);
    // Returns the whole subtree, this node included, to the pool.
    void freeAll(InstancePool<CallStackTree> *pool);
    // preVisit; when it returns non-zero the children in list order; then postVisit.
    void depthFirstTraversal(CSTVisitor *visitor);

    // Snapshot form: byte 1, the children, byte 0, then the entry by flags;
    // values with the open time of the calls running below.
    void write(DataWriter *writer, int flags) const;
    void writeEntry(DataWriter *writer, int flags) const;
    // The same with `openBelow` added to the value.
    void writeEntry(DataWriter *writer, int flags, long long openBelow) const;
    // Reads a subtree whose leading byte 1 is already consumed. Child order
    // comes back reversed. A stream failure leaves what was read linked.
    void read(DataReader *reader, int flags, InstancePool<CallStackTree> *pool, int version);

    // View-update form of the tree replies: children above `threshold`, those
    // below a node withheld (byte 2) by depth or by per-mille share.
    void writeUpdate(DataWriter *writer, long long threshold, const CallStackTree *oldTree, int depth, int perMille, int maxDepth,
                     bool headerFirst) const;
    // The same with the probe annotations of every written node after its
    // entry: header-first U4 n and the low 32 bits of each id; otherwise the
    // Java side's bytes for the node's ids (`javaSide`), four zero bytes when
    // the node has none or the Java side gives nothing.
    void writeUpdate(DataWriter *writer, long long threshold, const CallStackTree *oldTree, int depth, int perMille, int maxDepth,
                     const AnnotationMap *annotations, AnnotationBytes *javaSide, bool headerFirst) const;

    void print(FILE *file, int indent) const;

private:
    bool isHiddenMethod() const;
    template <class Field>
    long long sumChildren(Field CallStackTree::*field, bool skipHidden) const;

    MethodDesc *method = nullptr;
    long long value = 0;
    long long openTime = 0;
    CallStackTree *parent = nullptr;
    CallStackTree *firstChild = nullptr;
    CallStackTree *nextInstance = nullptr;
    MonitorTimeValues *monitorTimeValues = nullptr;
    uint32_t secondValue = 0;
    uint16_t lineHint = 0;
};

// Walks a tree with CallStackTree::depthFirstTraversal.
class CSTVisitor {
public:
    virtual ~CSTVisitor() = default;
    // Non-zero: descend into the node's children.
    virtual int preVisit(CallStackTree *node) = 0;
    virtual void postVisit(CallStackTree *node) = 0;
};

#endif
