#include "PiHeapdump.h"

#include <cstring>

#include "ByteArrayDataReader.h"
#include "ClassData.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "FileDataWriter.h"
#include "PiHeapAllocItem.h"
#include "HeapDumpFile.h"
#include "InternalMonitor.h"
#include "PiClassProfilingSession.h"
#include "LiveHeapProfilingSession.h"
#include "PiProfiling.h"
#include "PiProfilingSession.h"
#include "MessageUtil.h"
#include "TypeUtil.h"

namespace {

uint64_t align(uint64_t value, uint64_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

// An array's size in the dump's U4 field: `elementBytes` × `count` plus
// `header`, rounded up to `alignment`, plus `trailer`; computed wide so that
// arrays of gigabytes come out right. A size past the field's range is
// written as its largest value.
uint32_t arraySize(uint64_t elementBytes, uint32_t count, uint64_t header, uint64_t alignment, uint64_t trailer)
{
    uint64_t size = align(elementBytes * count + header, alignment) + trailer;
    if (size <= UINT32_MAX)
        return static_cast<uint32_t>(size);
    MessageUtil::debugOut("array of %llu bytes written as %u\n", static_cast<unsigned long long>(size), UINT32_MAX);
    return UINT32_MAX;
}

// A pointer-wide value in host order from a record's bytes.
void *pointerAt(const unsigned char *bytes)
{
    void *value;
    memcpy(&value, bytes, sizeof value);
    return value;
}

uint64_t valueAt(const unsigned char *bytes, int length)
{
    switch (length) {
    case 1:
        return bytes[0];
    case 2: {
        uint16_t v;
        memcpy(&v, bytes, 2);
        return v;
    }
    case 4: {
        uint32_t v;
        memcpy(&v, bytes, 4);
        return v;
    }
    default: {
        uint64_t v;
        memcpy(&v, bytes, 8);
        return v;
    }
    }
}

} // namespace

PiHeapdump::PiHeapdump(PiProfilingSession *session)
    : session(session), dumpSucceeded(false), error(false), primitiveValues(false), chrono(false), retryWaitMs(100), records(nullptr),
      nextId(1)
{
}

PiHeapdump::~PiHeapdump() = default;

int PiHeapdump::doDump(bool option4, bool option6, bool withValues, bool option5, JNIEnv *)
{
    error = false;
    if (dumpFile == nullptr)
        dumpFile.reset(new HeapDumpFile(session->getOptions().keepTempSnapshots));
    FileDataWriter *writer = dumpFile->begin();
    if (writer == nullptr)
        return 1;
    HeapDumpRecords converted(writer);
    LiveHeapProfilingSession *heap = session->getHeapSession();
    HeapDumpFlags flags;
    flags.allocationTime = heap != nullptr && heap->isChrono();
    flags.primitiveValues = withValues;
    flags.option4 = option4;
    flags.option5 = option5;
    flags.option6 = option6;
    converted.writeHeader(flags, HD_UNKNOWN_NODE);
    chrono = flags.allocationTime;
    primitiveValues = withValues;
    records = &converted;
    ids.clear();
    nextId = 1;
    classDumps.clear();

    JVMPI_Interface *vm = PiProfiling::g_profilingInterface;
    bool gcHeld = session->getMode() == 2;
    if (gcHeld) {
        vm->RunGC();
        vm->DisableGC();
    }
    JVMPI_HeapDumpArg level;
    level.heap_dump_level = withValues ? JVMPI_DUMP_LEVEL_2 : JVMPI_DUMP_LEVEL_1;
    bool delivered = false;
    for (int request = 0; request < MAX_REQUESTS && !delivered; request++) {
        // Cleared before each request: only this request's data counts.
        dumpSucceeded = false;
        vm->RequestEvent(JVMPI_EVENT_HEAP_DUMP, &level);
        delivered = dumpSucceeded;
        if (!delivered && retryWaitMs > 0) {
            session->sleep(retryWaitMs);
            delivered = dumpSucceeded;
        }
    }
    if (gcHeld)
        vm->EnableGC();
    records = nullptr;
    if (!delivered) {
        MessageUtil::message("The VM delivered no heap dump after %d requests.", MAX_REQUESTS);
        error = true;
    }
    if (error) {
        // No usable dump: the file goes, the result says so.
        dumpFile->abandon();
        return 1;
    }
    converted.endObjects();
    for (const HeapDumpClass &dump : classDumps)
        converted.classDump(dump);
    converted.endClassDumps();
    converted.endMethods();
    classDumps.clear();
    return dumpFile->finish() ? 0 : 1;
}

void PiHeapdump::handleHeapDump(JVMPI_Event *event)
{
    if (event->u.heap_dump.begin == nullptr || event->u.heap_dump.end == nullptr || records == nullptr) {
        dumpSucceeded = false;
        return;
    }
    dumpSucceeded = true;
    const char *begin = event->u.heap_dump.begin;
    long long length = event->u.heap_dump.end - begin;
    if (length < 0 || length > 0x7fffffffLL) {
        MessageUtil::message("heap dump of %lld bytes refused", length);
        error = true;
        return;
    }
    ByteArrayDataReader reader(begin, static_cast<int>(length));
    session->enterMonitor(IM_CLASS | IM_HEAP);
    if (!parseHeapDump(&reader, records) && !error)
        MessageUtil::message("heap dump records cut short or unknown: the rest is skipped");
    session->exitMonitor(IM_CLASS | IM_HEAP, false);
}

bool PiHeapdump::readBytes(ByteArrayDataReader *reader, std::vector<unsigned char> *out, size_t length)
{
    if (static_cast<long long>(length) > reader->available())
        return false;
    out->resize(length);
    return length == 0 || reader->readFully(out->data(), static_cast<int>(length)) == static_cast<int>(length);
}

uint32_t PiHeapdump::idOf(void *object)
{
    if (object == nullptr)
        return 0;
    auto found = ids.find(object);
    if (found != ids.end())
        return found->second;
    uint32_t id = nextId++;
    ids.emplace(object, id);
    return id;
}

void PiHeapdump::itemData(void *object, uint64_t *node, uint32_t *time)
{
    *node = HD_UNKNOWN_NODE;
    *time = 0;
    LiveHeapProfilingSession *heap = session->getHeapSession();
    PiHeapAllocItem *item = heap != nullptr ? heap->getHeapAllocItem(static_cast<jobjectID>(object)) : nullptr;
    if (item == nullptr)
        return;
    if (item->allocNode != nullptr)
        *node = reinterpret_cast<uintptr_t>(item->allocNode);
    if (chrono)
        *time = static_cast<uint32_t>(item->getTime());
}

ClassData *PiHeapdump::getClassData(void *classId)
{
    PiClassProfilingSession *classes = session->getClassSession();
    return classes != nullptr ? classes->getClassData(static_cast<jobjectID>(classId)) : nullptr;
}

bool PiHeapdump::parseHeapDump(ByteArrayDataReader *reader, HeapDumpRecords *out)
{
    HeapDumpRecords *saved = records;
    records = out;
    bool complete = true;
    while (complete && reader->available() > 0) {
        int tag = reader->readByte(-1);
        switch (tag) {
        case JVMPI_GC_CLASS_DUMP:
            complete = parseClassDump(reader);
            break;
        case JVMPI_GC_INSTANCE_DUMP:
            complete = parseInstanceDump(reader);
            break;
        case JVMPI_GC_OBJ_ARRAY_DUMP:
            complete = parseObjArrayDump(reader);
            break;
        case JVMPI_GC_PRIM_ARRAY_DUMP:
            complete = parsePrimArrayDump(reader);
            break;
        default:
            complete = parseGcRootDump(tag, reader);
            break;
        }
    }
    records = saved;
    return complete;
}

bool PiHeapdump::parseClassDump(ByteArrayDataReader *reader)
{
    void *classId = reader->readID(nullptr);
    void *superId = reader->readID(nullptr);
    void *loader = reader->readID(nullptr);
    for (int i = 0; i < 4; i++)
        reader->readID(nullptr);
    uint32_t instanceSize = reader->readU4(0);
    if (reader->getError())
        return false;
    ClassData *classData = getClassData(classId);
    if (classData == nullptr && classId != nullptr) {
        // A class the agent never saw load: the VM describes it on request
        // (its interfaces and static fields give the record's length).
        PiProfiling::g_profilingInterface->RequestEvent(JVMPI_EVENT_CLASS_LOAD, classId);
        classData = getClassData(classId);
    }
    if (classData == nullptr) {
        // Without its layout the record's length is unknown: nothing after it
        // can be read, and a dump without them would show a heap that is not there.
        MessageUtil::message("ERROR: class of a class dump not known.");
        error = true;
        return false;
    }
    if (superId != nullptr) {
        ClassData *super = getClassData(superId);
        if (super == nullptr)
            MessageUtil::message("ERROR: super class not found in dump.");
        else
            classData->setSuperClassClassData(super);
    }
    if (classData->getInstanceSize() == 0)
        classData->setInstanceSize(static_cast<int>(instanceSize));
    HeapDumpClass dump;
    dump.classId = reinterpret_cast<uintptr_t>(classData);
    dump.tag = idOf(classId);
    itemData(classId, &dump.node, &dump.time);
    dump.loaderId = idOf(loader);
    for (int i = 0; i < classData->numInterfaces; i++)
        dump.interfaceIds.push_back(idOf(reader->readID(nullptr)));
    int entries = reader->readU2(0);
    for (int i = 0; i < entries && !reader->getError(); i++) {
        reader->readU2(0);
        int type = reader->readByte(0);
        int length = TypeUtil::getTypeLength(type);
        if (length == 0) {
            MessageUtil::message("constant pool entry of type %d in a class dump", type);
            return false;
        }
        std::vector<unsigned char> value;
        if (!readBytes(reader, &value, static_cast<size_t>(length)))
            return false;
        if (type == JVMPI_CLASS)
            dump.constantPoolIds.push_back(idOf(pointerAt(value.data())));
    }
    for (const FieldRecord &field : classData->getStaticFields()) {
        bool reference = field.type == ClassData::FIELD_TYPE_REFERENCE;
        if (!reference && !primitiveValues)
            continue;
        int length = TypeUtil::getTypeLength(field.type);
        std::vector<unsigned char> value;
        if (length == 0 || !readBytes(reader, &value, static_cast<size_t>(length)))
            return false;
        if (reference) {
            uint32_t id = idOf(pointerAt(value.data()));
            for (int shift = 24; shift >= 0; shift -= 8)
                dump.staticData.push_back(static_cast<uint8_t>(id >> shift));
        } else {
            dump.staticData.insert(dump.staticData.end(), value.begin(), value.end());
        }
    }
    if (reader->getError())
        return false;
    classDumps.push_back(dump);
    return true;
}

bool PiHeapdump::parseInstanceDump(ByteArrayDataReader *reader)
{
    void *object = reader->readID(nullptr);
    void *classId = reader->readID(nullptr);
    uint32_t length = reader->readU4(0);
    std::vector<unsigned char> values;
    if (reader->getError() || !readBytes(reader, &values, length))
        return false;
    ClassData *classData = getClassData(classId);
    if (classData == nullptr) {
        MessageUtil::debugOut("instance of an unknown class skipped\n");
        return true;
    }
    uint64_t node;
    uint32_t time;
    itemData(object, &node, &time);
    records->beginInstance(reinterpret_cast<uintptr_t>(classData), idOf(object), node,
                           static_cast<uint32_t>(classData->getInstanceSize()), time);
    // The class's own fields first, then its super class's; a class whose
    // super class is not known ends the walk there.
    size_t at = 0;
    int index = 0;
    ClassData *last = classData;
    for (ClassData *c = classData; c != nullptr; c = c->getSuperClassClassData()) {
        last = c;
        for (const FieldRecord &field : c->getInstanceFields()) {
            bool reference = field.type == ClassData::FIELD_TYPE_REFERENCE;
            int fieldIndex = index++;
            if (!reference && !primitiveValues)
                continue;
            size_t size = static_cast<size_t>(TypeUtil::getTypeLength(field.type));
            if (size == 0 || at + size > values.size())
                return true;
            if (reference) {
                uint32_t referee = idOf(pointerAt(&values[at]));
                if (referee != 0)
                    records->fieldReference(fieldIndex, referee);
            } else {
                records->fieldValue(fieldIndex, static_cast<int>(size), valueAt(&values[at], static_cast<int>(size)));
            }
            at += size;
        }
    }
    // Values left for fields of a super class nobody named: the object keeps
    // the fields known, and the dump goes on.
    if (at < values.size() && missingSuperClasses.insert(last).second)
        MessageUtil::message("could not find super class for %s", last->getClassName());
    return true;
}

bool PiHeapdump::parseObjArrayDump(ByteArrayDataReader *reader)
{
    void *array = reader->readID(nullptr);
    uint32_t count = reader->readU4(0);
    void *elementClass = reader->readID(nullptr);
    std::vector<unsigned char> elements;
    if (reader->getError() || static_cast<uint64_t>(count) * sizeof(void *) > static_cast<uint64_t>(reader->available()) ||
        !readBytes(reader, &elements, static_cast<size_t>(count) * sizeof(void *)))
        return false;
    uint64_t node;
    uint32_t time;
    itemData(array, &node, &time);
    PiClassProfilingSession *classes = session->getClassSession();
    ClassData *arrayClass = classes != nullptr ? classes->getArrayClassData(getClassData(elementClass)) : nullptr;
    uint32_t size = session->getMode() == 1 ? arraySize(4, count, 0, 8, 4) : arraySize(4, count, 12, 8, 0);
    records->beginObjectArray(reinterpret_cast<uintptr_t>(arrayClass), idOf(array), node, size, time, count);
    for (uint32_t i = 0; i < count; i++) {
        uint32_t referee = idOf(pointerAt(&elements[i * sizeof(void *)]));
        if (referee != 0)
            records->elementReference(i, referee);
    }
    return true;
}

bool PiHeapdump::parsePrimArrayDump(ByteArrayDataReader *reader)
{
    void *array = reader->readID(nullptr);
    uint32_t count = reader->readU4(0);
    int elementType = reader->readByte(0);
    if (reader->getError())
        return false;
    int type = TypeUtil::jvmpiToOrvaneArray(elementType);
    int length = TypeUtil::getTypeLength(elementType);
    if (!PiHeapAllocItem::isSpecialArray(type) || length == 0 || elementType == JVMPI_CLASS) {
        MessageUtil::message("primitive array of element type %d in a heap dump", elementType);
        return false;
    }
    // Level 1 carries no element bytes: the input moves on only when the
    // level has values.
    std::vector<unsigned char> values;
    if (primitiveValues) {
        uint64_t bytes = static_cast<uint64_t>(count) * static_cast<uint64_t>(length);
        if (bytes > static_cast<uint64_t>(reader->available()) || !readBytes(reader, &values, static_cast<size_t>(bytes)))
            return false;
    }
    uint64_t node;
    uint32_t time;
    itemData(array, &node, &time);
    uint32_t size = session->getMode() == 1 ? arraySize(static_cast<uint64_t>(length), count, 2, 4, 0)
                                            : arraySize(static_cast<uint64_t>(length), count, 12, 8, 0);
    records->primitiveArray(type, reinterpret_cast<uintptr_t>(&g_nonInstanceClassData[type]), idOf(array), node, size, time, count,
                            primitiveValues ? values.data() : nullptr);
    return true;
}

bool PiHeapdump::parseGcRootDump(int tag, ByteArrayDataReader *reader)
{
    void *object = reader->readID(nullptr);
    int kind;
    switch (tag) {
    case JVMPI_GC_ROOT_JNI_GLOBAL:
        reader->readID(nullptr);
        kind = HD_ROOT_JNI_GLOBAL;
        break;
    case JVMPI_GC_ROOT_JNI_LOCAL:
    case JVMPI_GC_ROOT_JAVA_FRAME: {
        reader->readID(nullptr);
        uint32_t depth = reader->readU4(0);
        if (reader->getError())
            return false;
        records->stackRoot(tag == JVMPI_GC_ROOT_JNI_LOCAL ? HD_ROOT_JNI_LOCAL : HD_ROOT_STACK_LOCAL, idOf(object), 0, depth);
        return true;
    }
    case JVMPI_GC_ROOT_NATIVE_STACK:
        reader->readID(nullptr);
        kind = HD_ROOT_OTHER;
        break;
    case JVMPI_GC_ROOT_THREAD_BLOCK:
        reader->readID(nullptr);
        kind = HD_ROOT_THREAD;
        break;
    case JVMPI_GC_ROOT_STICKY_CLASS:
        kind = HD_ROOT_SYSTEM_CLASS;
        break;
    case JVMPI_GC_ROOT_MONITOR_USED:
        kind = HD_ROOT_MONITOR;
        break;
    case JVMPI_GC_ROOT_UNKNOWN:
        kind = HD_ROOT_OTHER;
        break;
    default:
        MessageUtil::message("heap dump record with tag 0x%x: the rest is skipped", static_cast<unsigned>(tag));
        return false;
    }
    if (reader->getError())
        return false;
    records->root(kind, idOf(object));
    return true;
}

int PiHeapdump::triggerDump(bool option4, bool option6, bool primitiveValues, bool option5)
{
    std::lock_guard<std::mutex> lock(running);
    return doDump(option4, option6, primitiveValues, option5, nullptr);
}

bool PiHeapdump::handleCmdHeapDump(DataReader *reader, DataWriter *writer)
{
    unsigned char request[8];
    if (reader->readFully(request, 8) != 8) {
        MessageUtil::message("bad heap dump request");
        writer->writeU4(0);
        return false;
    }
    bool sendPath = request[0] != 0;
    bool dump = request[7] != 0;
    std::unique_lock<std::mutex> lock(running, std::try_to_lock);
    if (!lock.owns_lock() || request[1] != 0) {
        MessageUtil::message(request[1] != 0 ? "HPROF heap dumps are not taken here" : "a heap dump is already running");
        writer->writeU4(0);
        return false;
    }
    if (dump && doDump(request[3] != 0, request[5] != 0, request[6] != 0, request[4] != 0, nullptr) != 0) {
        writer->writeU4(0);
        return false;
    }
    if (dumpFile == nullptr || !dumpFile->hasDump()) {
        writer->writeU4(0);
        return false;
    }
    return dumpFile->send(writer, sendPath);
}
