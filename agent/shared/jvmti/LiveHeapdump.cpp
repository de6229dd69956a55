#include "LiveHeapdump.h"

#include <jvmti.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>

#include "ClassData.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "FileDataWriter.h"
#include "HeapDumpClassTable.h"
#include "HeapDumpFile.h"
#include "HeapDumpRecords.h"
#include "HeapDumpSwap.h"
#include "HeapItemIds.h"
#include "HeapProfilingSession.h"
#include "LiveClassProfilingHelper.h"
#include "LiveClassProfilingSession.h"
#include "LiveHeapProfilingHelper.h"
#include "LiveProfiling.h"
#include "LiveProfilingSession.h"
#include "MessageUtil.h"
#include "NoSessionReport.h"
#include "TempFiles.h"

namespace {

std::mutex dumpRunning;
HeapDumpFile *dumpFile = nullptr;
HeapDumpSwap *swapFile = nullptr;
// The JVMTI tags of the objects the last dump numbered itself, by their id
// less HD_FIRST_UNRECORDED_ID; recorded objects keep their tag as id.
std::vector<jlong> lastDumpTags;

struct SeenObject {
    jlong classTag;
    jlong size;
    jint length;
    uint32_t id;
    bool classObject;
};

// The first tag a dump gave an untagged object; 0 before the first.
jlong firstDumpTag = 0;

// The objects met in one walk by their (non-zero) tags, over entries kept in
// fixed blocks, so that a heap of millions of objects costs neither an
// allocation per object nor much memory, and entries never move. The tags
// dumps hand out rise one by one from `firstDumpTag`, and a walk meets the
// objects of a heap in much the order the last walk tagged them: those go to
// a direct index by tag, read nearly in sequence; other tags go to an
// open-addressing index whose slots hold the tag beside the entry's number.
class SeenTable {
public:
    // `expected` objects are about to be met: the direct index may span four
    // times as many tags. The other index starts small, as most tags go to
    // the direct one.
    explicit SeenTable(size_t expected)
        : denseLimit(std::max<size_t>(size_t(1) << 20, 4 * expected)), slots(1 << 12, Slot{0, 0}), shift(52), used(0)
    {
    }

    size_t size() const { return used; }

    // After firstDumpTag was set: tags met before may now belong to the direct index.
    void rebase() { reindex(slots.size()); }

    // The entry of `tag`; null when it was not met, and then `*at` is the
    // slot for add().
    SeenObject *find(jlong tag, size_t *at = nullptr)
    {
        if (isDense(tag)) {
            size_t index = static_cast<size_t>(tag - firstDumpTag);
            uint32_t number = index < dense.size() ? dense[index] : 0;
            return number != 0 ? &entry(number - 1).object : nullptr;
        }
        size_t found = probe(tag);
        if (at != nullptr)
            *at = found;
        const Slot &slot = slots[found];
        return slot.entry != 0 ? &entry(slot.entry - 1).object : nullptr;
    }

    // Adds `tag` (not yet present) at the slot find() gave and returns its entry.
    SeenObject &add(jlong tag, const SeenObject &object, size_t at)
    {
        if (isDense(tag)) {
            size_t index = static_cast<size_t>(tag - firstDumpTag);
            if (index >= dense.size())
                dense.resize(std::max(index + 1, std::min(denseLimit, 2 * dense.size())), 0);
            return store(tag, object, &dense[index]);
        }
        if (4 * (hashed + 1) > 3 * slots.size()) {
            grow();
            at = probe(tag);
        }
        slots[at].tag = tag;
        hashed++;
        return store(tag, object, &slots[at].entry);
    }

private:
    static const size_t BLOCK = 1 << 16;
    struct Entry {
        jlong tag;
        SeenObject object;
    };
    struct Slot {
        jlong tag;
        // The entry's number plus one; 0 for a free slot.
        uint32_t entry;
    };

    Entry &entry(uint32_t index) { return blocks[index / BLOCK][index % BLOCK]; }

    bool isDense(jlong tag) const
    {
        return firstDumpTag != 0 && tag >= firstDumpTag && static_cast<uint64_t>(tag - firstDumpTag) < denseLimit;
    }

    // Appends the entry and puts its number plus one in `number`.
    SeenObject &store(jlong tag, const SeenObject &object, uint32_t *number)
    {
        if (used % BLOCK == 0)
            blocks.emplace_back(new Entry[BLOCK]);
        Entry &e = entry(static_cast<uint32_t>(used));
        e.tag = tag;
        e.object = object;
        *number = static_cast<uint32_t>(++used);
        return e.object;
    }

    size_t probe(jlong tag) const
    {
        size_t mask = slots.size() - 1;
        // Fibonacci hashing: the top bits of the product spread sequential tags.
        size_t at = static_cast<size_t>((static_cast<uint64_t>(tag) * 0x9E3779B97F4A7C15ull) >> shift);
        while (slots[at].entry != 0 && slots[at].tag != tag)
            at = (at + 1) & mask;
        return at;
    }

    void grow()
    {
        shift--;
        reindex(slots.size() * 2);
    }

    void reindex(size_t slotCount)
    {
        slots.assign(slotCount, Slot{0, 0});
        dense.clear();
        hashed = 0;
        for (uint32_t i = 0; i < used; i++) {
            jlong tag = entry(i).tag;
            if (!isDense(tag)) {
                slots[probe(tag)] = Slot{tag, i + 1};
                hashed++;
                continue;
            }
            size_t index = static_cast<size_t>(tag - firstDumpTag);
            if (index >= dense.size())
                dense.resize(index + 1, 0);
            dense[index] = i + 1;
        }
    }

    // Entry numbers plus one by tag less firstDumpTag, below denseLimit.
    std::vector<uint32_t> dense;
    size_t denseLimit;
    std::vector<Slot> slots;
    // 64 less the log2 of the slot count.
    int shift;
    // Entries in all, and those in the open-addressing index.
    size_t used;
    size_t hashed = 0;
    std::vector<std::unique_ptr<Entry[]>> blocks;
};

// The number of objects the last walk met: the next one sizes its table by it.
size_t lastSeenCount = 0;

// The state of one walk; the callbacks run on the walking VM thread.
struct DumpRun {
    HeapDumpRecords *records;
    HeapProfilingSession *heap;
    bool primitiveValues;
    bool chrono;
    uint32_t nextUnrecordedId = HD_FIRST_UNRECORDED_ID;
    SeenTable seen{lastSeenCount + lastSeenCount / 8};
    // The last referrer looked up, and its entry (null when not met).
    jlong referrerTag = 0;
    SeenObject *referrer = nullptr;
    // Methods of stack roots, for the method table.
    std::vector<jmethodID> stackMethods;
    jlong current = 0;
    bool currentWritten = false;
    ClassData *currentClass = nullptr;
    // Class objects: their dumps, and the tags of all met (those without a
    // dump are written as instances of java.lang.Class).
    HeapDumpClassTable *classes = nullptr;
    std::vector<jlong> classObjects;
    // Set when the swap file failed: the walk stops and the dump is dropped.
    bool swapFailed = false;
    std::vector<jlong> unrecordedTags;
    std::unordered_set<jlong> missingClasses;
    // The tag of java.lang.Class; 0 when unknown (then every object is asked).
    jlong javaLangClassTag = 0;
};

// A class object's tag names its class record.
bool isClassObjectTag(jlong tag)
{
    ClassData *classData = LiveClassProfilingHelper::getJvmtiClassData(tag);
    return classData != nullptr && classData->getClassTag() == tag;
}

bool isItemTag(jlong tag)
{
    return tag != 0 && tag >= -HeapItemIds::LIMIT && tag <= HeapItemIds::LIMIT;
}

// The object's entry, made (and the object tagged) when first met.
SeenObject &meet(DumpRun *run, jlong *tagPtr, jlong classTag, jlong size, jint length)
{
    if (*tagPtr == 0) {
        *tagPtr = LiveHeapProfilingHelper::getNewAllocItemId(nullptr);
        if (firstDumpTag == 0 && !isItemTag(*tagPtr)) {
            firstDumpTag = *tagPtr;
            run->seen.rebase();
        }
    }
    size_t at = 0;
    if (SeenObject *found = run->seen.find(*tagPtr, &at))
        return *found;
    // Only instances of java.lang.Class can be class objects.
    bool maybeClass = run->javaLangClassTag == 0 || classTag == run->javaLangClassTag;
    SeenObject o{classTag, size, length, 0, maybeClass && isClassObjectTag(*tagPtr)};
    if (isItemTag(*tagPtr)) {
        o.id = static_cast<uint32_t>(*tagPtr);
    } else {
        o.id = run->nextUnrecordedId++;
        run->unrecordedTags.push_back(*tagPtr);
    }
    if (o.classObject)
        run->classObjects.push_back(*tagPtr);
    // A referrer looked up before it was met is found now.
    run->referrerTag = 0;
    return run->seen.add(*tagPtr, o, at);
}

// The allocation node and time of a recorded object; node 1 and time 0 for others.
void allocationOf(const DumpRun *run, jlong tag, uint64_t *node, uint32_t *time)
{
    *node = HD_UNKNOWN_NODE;
    *time = 0;
    if (!isItemTag(tag) || run->heap == nullptr)
        return;
    HeapAllocItem *item = run->heap->getIds().getAllocItem(tag);
    if (item == nullptr)
        return;
    if (item->node != nullptr)
        *node = reinterpret_cast<uintptr_t>(item->node);
    if (run->chrono)
        *time = static_cast<uint32_t>(HeapItemIds::getTime(tag, item));
}

// Byte size of a static or instance field in the dump's static data.
int fieldSize(const FieldRecord &field)
{
    return heapDumpFieldSize(field.signature.empty() ? '\0' : field.signature[0]);
}

// The offset of the static field with JVMTI index `jvmtiIndex` in the
// class's static data and its size; false when the class has no such field.
bool staticFieldOffset(ClassData *classData, jint jvmtiIndex, uint32_t *offset, int *size)
{
    uint32_t at = 0;
    for (const FieldRecord &field : classData->getStaticFields()) {
        if (field.index == jvmtiIndex) {
            *offset = at;
            *size = fieldSize(field);
            return *size > 0;
        }
        at += static_cast<uint32_t>(fieldSize(field));
    }
    return false;
}

// The class dump of a class object met as referrer, made on first use;
// null when the class has no record.
HeapDumpClass *classDumpOf(DumpRun *run, jlong tag, const SeenObject &o)
{
    if (HeapDumpClass *existing = run->classes->find(o.id))
        return existing;
    ClassData *classData = LiveClassProfilingHelper::getJvmtiClassData(tag);
    if (classData == nullptr)
        return nullptr;
    HeapDumpClass dump;
    dump.classId = reinterpret_cast<uintptr_t>(classData);
    dump.tag = o.id;
    allocationOf(run, tag, &dump.node, &dump.time);
    uint32_t staticSize = 0;
    for (const FieldRecord &field : classData->getStaticFields())
        staticSize += static_cast<uint32_t>(fieldSize(field));
    return run->classes->add(dump, staticSize);
}

// A reference from a class object: its loader, interfaces, constant pool
// entries and static fields go to its class dump.
jint classReference(DumpRun *run, jlong referrerTag, const SeenObject &referrer, jvmtiHeapReferenceKind kind,
                    const jvmtiHeapReferenceInfo *info, uint32_t refereeId)
{
    HeapDumpClass *dump = classDumpOf(run, referrerTag, referrer);
    if (dump == nullptr)
        return JVMTI_VISIT_OBJECTS;
    switch (kind) {
    case JVMTI_HEAP_REFERENCE_CLASS_LOADER:
        dump->loaderId = refereeId;
        break;
    case JVMTI_HEAP_REFERENCE_INTERFACE:
        dump->interfaceIds.push_back(refereeId);
        break;
    case JVMTI_HEAP_REFERENCE_CONSTANT_POOL:
        dump->constantPoolIds.push_back(refereeId);
        break;
    case JVMTI_HEAP_REFERENCE_STATIC_FIELD: {
        uint32_t offset = 0;
        int size = 0;
        ClassData *classData = LiveClassProfilingHelper::getJvmtiClassData(referrerTag);
        if (info != nullptr && classData != nullptr && staticFieldOffset(classData, info->field.index, &offset, &size) &&
            !run->classes->setStatic(referrer.id, offset, size, refereeId)) {
            run->swapFailed = true;
            return JVMTI_VISIT_ABORT;
        }
        break;
    }
    default:
        break;
    }
    return JVMTI_VISIT_OBJECTS;
}

// The own-class-first index of an instance field from its JVMTI index:
// the class's own fields count first, then its superclass's, and so on.
int ownFirstFieldIndex(ClassData *classData, jint jvmtiIndex)
{
    int offset = 0;
    for (ClassData *c = classData; c != nullptr; c = c->getSuperClassClassData()) {
        if (!c->hasFieldInformation())
            break;
        const std::vector<FieldRecord> &fields = c->getInstanceFields();
        for (size_t i = 0; i < fields.size(); i++) {
            if (fields[i].index == jvmtiIndex)
                return offset + static_cast<int>(i);
        }
        offset += static_cast<int>(fields.size());
    }
    return jvmtiIndex;
}

// Writes the record of `tag` when it becomes the referrer; false when the
// object cannot be written (no class).
bool checkCurrentItem(DumpRun *run, jlong tag)
{
    if (tag == run->current)
        return run->currentWritten;
    run->current = tag;
    run->currentWritten = false;
    run->currentClass = nullptr;
    const SeenObject *found = run->seen.find(tag);
    if (found == nullptr)
        return false;
    const SeenObject &o = *found;
    ClassData *classData = o.classTag != 0 ? LiveClassProfilingHelper::getJvmtiClassData(o.classTag) : nullptr;
    if (classData == nullptr) {
        // Said once per class and dump: a class can have many objects.
        if (run->missingClasses.insert(o.classTag).second)
            fprintf(stdout, "could not find class %lld\n", static_cast<long long>(o.classTag));
        return false;
    }
    uint64_t node;
    uint32_t time;
    allocationOf(run, tag, &node, &time);
    int type = ClassData::getArrayTypeFromClassData(classData);
    uint64_t classId = reinterpret_cast<uintptr_t>(classData);
    uint32_t size = static_cast<uint32_t>(o.size);
    if (type == HD_OBJECT_ARRAY) {
        run->records->beginObjectArray(classId, o.id, node, size, time, static_cast<uint32_t>(o.length));
    } else if (type >= HD_BOOLEAN_ARRAY && type <= HD_DOUBLE_ARRAY) {
        // With values the array callback writes the record.
        if (!run->primitiveValues)
            run->records->primitiveArray(type, classId, o.id, node, size, time, static_cast<uint32_t>(o.length),
                                         nullptr);
        return false;
    } else {
        run->records->beginInstance(classId, o.id, node, size, time);
    }
    run->currentWritten = true;
    run->currentClass = classData;
    return true;
}

jint JNICALL referenceCallback(jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo *info, jlong classTag,
                               jlong, jlong size, jlong *tagPtr, jlong *referrerTagPtr, jint length, void *userData)
{
    DumpRun *run = static_cast<DumpRun *>(userData);
    if (classTag == 0)
        return 0; // a referee without class is skipped
    SeenObject &referee = meet(run, tagPtr, classTag, size, length);
    uint32_t refereeId = referee.id;
    if (referrerTagPtr == nullptr) {
        int root = heapDumpRootOfReferenceKind(kind);
        if (root == HD_ROOT_STACK_LOCAL) {
            if (info != nullptr && info->stack_local.method != nullptr)
                run->stackMethods.push_back(info->stack_local.method);
            run->records->stackRoot(root, refereeId,
                                    reinterpret_cast<uintptr_t>(info != nullptr ? info->stack_local.method : nullptr),
                                    info != nullptr ? static_cast<long long>(info->stack_local.location) : 0);
        } else if (root == HD_ROOT_JNI_LOCAL) {
            run->records->stackRoot(root, refereeId, 0, 0);
        } else if (root != 0) {
            run->records->root(root, refereeId);
        }
        run->current = 0;
        run->currentWritten = false;
        return JVMTI_VISIT_OBJECTS;
    }
    if (*referrerTagPtr == 0)
        return JVMTI_VISIT_OBJECTS;
    // The references of one object come one after another: look it up once.
    if (*referrerTagPtr != run->referrerTag) {
        run->referrerTag = *referrerTagPtr;
        run->referrer = run->seen.find(*referrerTagPtr);
    }
    const SeenObject *referrer = run->referrer;
    if (referrer != nullptr && referrer->classObject)
        return classReference(run, *referrerTagPtr, *referrer, kind, info, refereeId);
    if (!checkCurrentItem(run, *referrerTagPtr))
        return JVMTI_VISIT_OBJECTS;
    if (kind == JVMTI_HEAP_REFERENCE_FIELD && info != nullptr)
        run->records->fieldReference(ownFirstFieldIndex(run->currentClass, info->field.index), refereeId);
    else if (kind == JVMTI_HEAP_REFERENCE_ARRAY_ELEMENT && info != nullptr)
        run->records->elementReference(static_cast<uint32_t>(info->array.index), refereeId);
    return JVMTI_VISIT_OBJECTS;
}

int primitiveSize(jvmtiPrimitiveType type)
{
    return heapDumpFieldSize(static_cast<char>(type));
}

// The bits of a primitive value in the low bytes (floats and doubles as their raw bits).
uint64_t primitiveBits(jvmtiPrimitiveType valueType, jvalue value)
{
    switch (primitiveSize(valueType)) {
    case 1:
        return static_cast<uint8_t>(valueType == JVMTI_PRIMITIVE_TYPE_BOOLEAN ? value.z : value.b);
    case 2:
        return valueType == JVMTI_PRIMITIVE_TYPE_CHAR ? value.c : static_cast<uint16_t>(value.s);
    case 4: {
        uint32_t v;
        memcpy(&v, valueType == JVMTI_PRIMITIVE_TYPE_FLOAT ? static_cast<const void *>(&value.f)
                                                           : static_cast<const void *>(&value.i),
               4);
        return v;
    }
    default: {
        uint64_t bits;
        memcpy(&bits, &value.j, sizeof bits);
        return bits;
    }
    }
}

// A static primitive value goes into the static data of its class's dump.
jint staticValue(DumpRun *run, jlong classTag, jint fieldIndex, jvmtiPrimitiveType valueType, jvalue value)
{
    const SeenObject *found = run->seen.find(classTag);
    if (found == nullptr || !found->classObject)
        return 0;
    HeapDumpClass *dump = classDumpOf(run, classTag, *found);
    ClassData *classData = LiveClassProfilingHelper::getJvmtiClassData(classTag);
    uint32_t offset = 0;
    int size = 0;
    if (dump == nullptr || classData == nullptr || !staticFieldOffset(classData, fieldIndex, &offset, &size))
        return 0;
    if (size != primitiveSize(valueType) ||
        run->classes->setStatic(found->id, offset, size, primitiveBits(valueType, value)))
        return 0;
    run->swapFailed = true;
    return JVMTI_VISIT_ABORT;
}

jint JNICALL primitiveFieldCallback(jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo *info, jlong,
                                    jlong *objectTagPtr, jvalue value, jvmtiPrimitiveType valueType, void *userData)
{
    DumpRun *run = static_cast<DumpRun *>(userData);
    if (info == nullptr || *objectTagPtr == 0)
        return 0;
    if (kind == JVMTI_HEAP_REFERENCE_STATIC_FIELD)
        return staticValue(run, *objectTagPtr, info->field.index, valueType, value);
    if (kind != JVMTI_HEAP_REFERENCE_FIELD)
        return 0;
    if (!checkCurrentItem(run, *objectTagPtr) || run->currentClass == nullptr)
        return 0;
    if (strncmp(run->currentClass->getClassName(), "sun.reflect.", 12) == 0)
        return 0;
    int size = primitiveSize(valueType);
    run->records->fieldValue(ownFirstFieldIndex(run->currentClass, info->field.index), size,
                             primitiveBits(valueType, value));
    return 0;
}

jint JNICALL arrayValuesCallback(jlong classTag, jlong size, jlong *tagPtr, jint count, jvmtiPrimitiveType type,
                                 const void *elements, void *userData)
{
    DumpRun *run = static_cast<DumpRun *>(userData);
    if (*tagPtr == 0)
        return 0;
    SeenObject &o = meet(run, tagPtr, classTag, size, count);
    int arrayType = heapDumpArrayTypeOfSignature(static_cast<char>(type));
    ClassData *classData = LiveClassProfilingHelper::getJvmtiClassData(classTag);
    run->current = 0;
    run->currentWritten = false;
    uint64_t node;
    uint32_t time;
    allocationOf(run, *tagPtr, &node, &time);
    run->records->primitiveArray(arrayType, reinterpret_cast<uintptr_t>(classData), o.id, node,
                                 static_cast<uint32_t>(size), time, static_cast<uint32_t>(count), elements);
    return 0;
}

// Class objects that got no class dump are written as instances of java.lang.Class.
void writeClassObjectsWithoutDump(DumpRun *run)
{
    LiveClassProfilingSession *classSession = LiveClassProfilingHelper::getSession();
    ClassData *javaLangClass = classSession != nullptr ? classSession->getJavaLangClassData() : nullptr;
    for (jlong tag : run->classObjects) {
        const SeenObject &o = *run->seen.find(tag);
        if (run->classes->find(o.id) != nullptr)
            continue;
        uint64_t node;
        uint32_t time;
        allocationOf(run, tag, &node, &time);
        run->records->beginInstance(reinterpret_cast<uintptr_t>(javaLangClass), o.id, node, HD_CLASS_OBJECT_SIZE, time);
    }
}

// The dump file holds the whole heap: it goes with the process.
void removeDumpAtExit()
{
    if (dumpFile != nullptr)
        dumpFile->deleteTempFile();
    if (swapFile != nullptr)
        swapFile->deleteTempFile();
}

} // namespace

HeapDumpFile *LiveHeapdump::getDumpFile()
{
    return dumpFile;
}

bool LiveHeapdump::tagOfDumpId(uint32_t id, jlong *tag)
{
    std::lock_guard<std::mutex> lock(dumpRunning);
    // Negative item ids arrive as U4 values above the range the dump numbers itself.
    if (static_cast<int32_t>(id) >= 0 && id >= HD_FIRST_UNRECORDED_ID) {
        uint64_t index = id - HD_FIRST_UNRECORDED_ID;
        if (index >= lastDumpTags.size())
            return false;
        *tag = lastDumpTags[index];
        return true;
    }
    jlong asItem = static_cast<int32_t>(id);
    if (!isItemTag(asItem))
        return false;
    *tag = asItem;
    return true;
}

int LiveHeapdump::doDump(LiveProfilingSession *session, bool option4, bool option6, bool primitiveValues,
                         bool option5, JNIEnv *env)
{
    if (dumpFile == nullptr) {
        dumpFile = new HeapDumpFile(session->getOptions().keepTempSnapshots);
        atexit(removeDumpAtExit);
    }
    FileDataWriter *writer = dumpFile->begin();
    if (writer == nullptr)
        return 1;
    if (swapFile == nullptr)
        swapFile = new HeapDumpSwap();
    if (!swapFile->create()) {
        dumpFile->abandon();
        return 1;
    }
    HeapDumpClassTable classes(swapFile);
    HeapProfilingSession *heap = LiveHeapProfilingHelper::getSession();
    HeapDumpRecords records(writer);
    HeapDumpFlags flags;
    flags.allocationTime = heap != nullptr && heap->isChrono();
    flags.primitiveValues = primitiveValues;
    flags.option4 = option4;
    flags.option5 = option5;
    flags.option6 = option6;
    records.writeHeader(flags, HD_UNKNOWN_NODE);
    LiveClassProfilingHelper::tagUntaggedClasses(session, env);

    DumpRun run;
    run.records = &records;
    run.heap = heap;
    run.primitiveValues = primitiveValues;
    run.chrono = flags.allocationTime;
    run.classes = &classes;
    LiveClassProfilingSession *classSession = LiveClassProfilingHelper::getSession();
    if (classSession != nullptr && classSession->getJavaLangClassData() != nullptr)
        run.javaLangClassTag = classSession->getJavaLangClassData()->getClassTag();
    jvmtiHeapCallbacks callbacks;
    memset(&callbacks, 0, sizeof callbacks);
    callbacks.heap_reference_callback = referenceCallback;
    if (primitiveValues) {
        callbacks.primitive_field_callback = primitiveFieldCallback;
        callbacks.array_primitive_value_callback = arrayValuesCallback;
    }
    jvmtiEnv *jvmti = LiveProfiling::instance().jvmti;
    session->enterMonitor(IM_THREAD);
    session->enterMonitor(IM_HEAP);
    bool walked = jvmti->FollowReferences(0, nullptr, nullptr, &callbacks, &run) == JVMTI_ERROR_NONE;
    session->exitMonitor(IM_HEAP, false);
    session->exitMonitor(IM_THREAD, false);
    if (!walked)
        MessageUtil::message("error following references");
    if (!walked || run.swapFailed) {
        swapFile->deleteTempFile();
        dumpFile->abandon();
        return 1;
    }
    writeClassObjectsWithoutDump(&run);
    records.endObjects();
    bool classesWritten = classes.writeAll(&records);
    swapFile->deleteTempFile();
    if (!classesWritten) {
        dumpFile->abandon();
        return 1;
    }
    lastDumpTags.swap(run.unrecordedTags);
    lastSeenCount = run.seen.size();
    std::sort(run.stackMethods.begin(), run.stackMethods.end());
    run.stackMethods.erase(std::unique(run.stackMethods.begin(), run.stackMethods.end()), run.stackMethods.end());
    session->enterMonitor(IM_CLASS);
    for (jmethodID method : run.stackMethods) {
        MethodDesc *desc = LiveClassProfilingHelper::getMethodDesc(method, env, false);
        if (desc != nullptr)
            records.method(reinterpret_cast<uintptr_t>(method), reinterpret_cast<uintptr_t>(desc));
    }
    session->exitMonitor(IM_CLASS, false);
    records.endMethods();
    return dumpFile->finish() ? 0 : 1;
}

int LiveHeapdump::doHprofDump(LiveProfilingSession *session, bool liveOnly, bool flag, JNIEnv *env)
{
    if (dumpFile == nullptr) {
        dumpFile = new HeapDumpFile(session->getOptions().keepTempSnapshots);
        atexit(removeDumpAtExit);
    }
    dumpFile->abandon();
    // The VM writes a new file only: a name in a private directory of its own.
    std::string dir = TempFiles::createDirectory("jhd");
    if (dir.empty()) {
        MessageUtil::message("Could not get temp file name. Please check your TMP and TMPDIR environment variables.");
        return 1;
    }
    std::string file = dir + "/heap.hprof";
    jstring problem = session->getEdge().doHprofDump(file.c_str(), liveOnly, env, flag);
    bool taken = false;
    if (problem != nullptr) {
        const char *text = env->GetStringUTFChars(problem, nullptr);
        MessageUtil::message("Could not write the HPROF heap dump: %s", text != nullptr ? text : "");
        if (text != nullptr)
            env->ReleaseStringUTFChars(problem, text);
        env->DeleteLocalRef(problem);
        unlink(file.c_str());
    } else {
        taken = dumpFile->takeFile(file);
    }
    rmdir(dir.c_str());
    return taken ? 0 : 1;
}

bool LiveHeapdump::handleCmdHeapDump(LiveProfilingSession *session, DataReader *reader, DataWriter *writer,
                                     JNIEnv *env)
{
    unsigned char request[8];
    if (reader->readFully(request, 8) != 8) {
        MessageUtil::message("bad heap dump request");
        writer->writeU4(0);
        return false;
    }
    bool sendPath = request[0] != 0;
    bool hprof = request[1] != 0;
    bool dump = request[7] != 0;
    std::unique_lock<std::mutex> lock(dumpRunning, std::try_to_lock);
    if (!lock.owns_lock()) {
        MessageUtil::message("a heap dump is already running");
        writer->writeU4(0);
        return false;
    }
    if (hprof && dump && doHprofDump(session, request[3] != 0, request[2] != 0, env) != 0) {
        writer->writeU4(0);
        return false;
    }
    if (!hprof && dump && doDump(session, request[3] != 0, request[5] != 0, request[6] != 0, request[4] != 0, env) != 0) {
        writer->writeU4(0);
        return false;
    }
    if (dumpFile == nullptr || !dumpFile->hasDump()) {
        writer->writeU4(0);
        return false;
    }
    dumpFile->send(writer, sendPath);
    return true;
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_ControllerImpl_triggerHeapDump0(JNIEnv *env, jclass,
                                                                                      jboolean option4, jboolean option6,
                                                                                      jboolean primitiveValues,
                                                                                      jboolean option5)
{
    LiveProfilingSession *session = LiveProfiling::instance().getSession();
    if (session == nullptr) {
        NoSessionReport::report();
        return;
    }
    // One dump at a time: a dump asked for while another runs waits for it.
    std::lock_guard<std::mutex> lock(dumpRunning);
    LiveHeapdump::doDump(session, option4 != JNI_FALSE, option6 != JNI_FALSE, primitiveValues != JNI_FALSE,
                         option5 != JNI_FALSE, env);
}
