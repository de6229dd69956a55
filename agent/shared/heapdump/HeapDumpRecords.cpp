#include "HeapDumpRecords.h"

#include <cstring>

#include "DataWriter.h"

int heapDumpElementSize(int type)
{
    switch (type) {
    case HD_OBJECT_ARRAY:
    case HD_INT_ARRAY:
    case HD_FLOAT_ARRAY:
        return 4;
    case HD_BOOLEAN_ARRAY:
    case HD_BYTE_ARRAY:
        return 1;
    case HD_CHAR_ARRAY:
    case HD_SHORT_ARRAY:
        return 2;
    case HD_LONG_ARRAY:
    case HD_DOUBLE_ARRAY:
        return 8;
    default:
        return 0;
    }
}

int heapDumpArrayTypeOfSignature(char signature)
{
    switch (signature) {
    case 'L':
    case '[':
        return HD_OBJECT_ARRAY;
    case 'Z':
        return HD_BOOLEAN_ARRAY;
    case 'B':
        return HD_BYTE_ARRAY;
    case 'C':
        return HD_CHAR_ARRAY;
    case 'S':
        return HD_SHORT_ARRAY;
    case 'I':
        return HD_INT_ARRAY;
    case 'J':
        return HD_LONG_ARRAY;
    case 'F':
        return HD_FLOAT_ARRAY;
    case 'D':
        return HD_DOUBLE_ARRAY;
    default:
        return 0;
    }
}

int heapDumpFieldSize(char signature)
{
    return heapDumpElementSize(heapDumpArrayTypeOfSignature(signature));
}

int heapDumpRootOfReferenceKind(int kind)
{
    switch (kind) {
    case 21:
        return HD_ROOT_JNI_GLOBAL;
    case 22:
        return HD_ROOT_SYSTEM_CLASS;
    case 23:
        return HD_ROOT_MONITOR;
    case 24:
        return HD_ROOT_STACK_LOCAL;
    case 25:
        return HD_ROOT_JNI_LOCAL;
    case 26:
        return HD_ROOT_THREAD;
    case 27:
        return HD_ROOT_OTHER;
    default:
        return 0;
    }
}

HeapDumpRecords::HeapDumpRecords(DataWriter *writer) : writer(writer), open(NONE) {}

HeapDumpRecords::~HeapDumpRecords() = default;

void HeapDumpRecords::writeId(uint64_t id)
{
    writer->writeID(reinterpret_cast<const void *>(static_cast<uintptr_t>(id)));
}

void HeapDumpRecords::writeHeader(const HeapDumpFlags &flags, uint64_t unknownNode)
{
    writer->writeU4(4);
    writer->writeByte(flags.allocationTime);
    writer->writeByte(flags.primitiveValues);
    writer->writeByte(flags.option4);
    writer->writeByte(flags.option5);
    writer->writeByte(flags.option6);
    writeId(unknownNode);
}

void HeapDumpRecords::closeOpen()
{
    if (open == INSTANCE)
        writer->writeByte(0);
    else if (open == ARRAY)
        writer->writeU4(0);
    open = NONE;
}

void HeapDumpRecords::beginRecord(int type, uint64_t classId, uint32_t id, uint64_t node, uint32_t size,
                                  uint32_t time)
{
    closeOpen();
    writer->writeByte(1);
    writer->writeByte(type);
    writeId(classId);
    writer->writeU4(id);
    writeId(node);
    writer->writeU4(size);
    writer->writeU4(time);
}

void HeapDumpRecords::beginInstance(uint64_t classId, uint32_t id, uint64_t node, uint32_t size, uint32_t time)
{
    beginRecord(HD_INSTANCE, classId, id, node, size, time);
    open = INSTANCE;
}

void HeapDumpRecords::fieldReference(int fieldIndex, uint32_t referee)
{
    if (open != INSTANCE)
        return;
    writer->writeByte(4);
    writer->writeU2(fieldIndex);
    writer->writeU4(referee);
}

void HeapDumpRecords::fieldValue(int fieldIndex, int byteSize, uint64_t value)
{
    if (open != INSTANCE)
        return;
    writer->writeByte(byteSize);
    writer->writeU2(fieldIndex);
    switch (byteSize) {
    case 1:
        writer->writeByte(static_cast<int>(value & 0xFF));
        break;
    case 2:
        writer->writeU2(static_cast<int>(value & 0xFFFF));
        break;
    case 4:
        writer->writeU4(static_cast<uint32_t>(value));
        break;
    default:
        writer->writeJLong(static_cast<long long>(value));
        break;
    }
}

void HeapDumpRecords::beginObjectArray(uint64_t classId, uint32_t id, uint64_t node, uint32_t size, uint32_t time,
                                       uint32_t length)
{
    beginRecord(HD_OBJECT_ARRAY, classId, id, node, size, time);
    writer->writeU4(length);
    open = ARRAY;
}

void HeapDumpRecords::elementReference(uint32_t index, uint32_t referee)
{
    if (open != ARRAY)
        return;
    writer->writeU4(index + 1);
    writer->writeU4(referee);
}

void HeapDumpRecords::primitiveArray(int type, uint64_t classId, uint32_t id, uint64_t node, uint32_t size,
                                     uint32_t time, uint32_t count, const void *values)
{
    beginRecord(type, classId, id, node, size, time);
    int elementSize = heapDumpElementSize(type);
    if (values == nullptr || elementSize == 0) {
        writer->writeU4(0);
        writer->writeByte(0);
        writer->writeU4(0);
        return;
    }
    uint32_t written = count < HD_MAX_ARRAY_VALUES ? count : HD_MAX_ARRAY_VALUES;
    writer->writeU4(size);
    writer->writeByte(1);
    writer->writeU4(written);
    const unsigned char *bytes = static_cast<const unsigned char *>(values);
    for (uint32_t i = 0; i < written; i++) {
        const unsigned char *element = bytes + static_cast<size_t>(i) * elementSize;
        switch (elementSize) {
        case 1:
            writer->writeByte(*element);
            break;
        case 2: {
            uint16_t v;
            memcpy(&v, element, 2);
            writer->writeU2(v);
            break;
        }
        case 4: {
            uint32_t v;
            memcpy(&v, element, 4);
            writer->writeU4(v);
            break;
        }
        default: {
            long long v;
            memcpy(&v, element, 8);
            writer->writeJLong(v);
            break;
        }
        }
    }
}

void HeapDumpRecords::root(int kind, uint32_t id)
{
    closeOpen();
    writer->writeByte(1);
    writer->writeByte(kind);
    writer->writeU4(id);
    writeId(0);
}

void HeapDumpRecords::stackRoot(int kind, uint32_t id, uint64_t methodId, long long location)
{
    closeOpen();
    writer->writeByte(1);
    writer->writeByte(kind);
    writer->writeU4(id);
    writeId(kind == HD_ROOT_JNI_LOCAL ? 0 : methodId);
    writer->writeJLong(location);
}

void HeapDumpRecords::endObjects()
{
    closeOpen();
    writer->writeByte(0);
}

void HeapDumpRecords::classDump(const HeapDumpClass &dump)
{
    writer->writeByte(1);
    writeId(dump.classId);
    writer->writeU4(dump.tag);
    writeId(dump.node);
    writer->writeU4(HD_CLASS_OBJECT_SIZE);
    writer->writeU4(dump.time);
    writer->writeU4(dump.loaderId);
    writer->writeU4(0);
    writer->writeU4(static_cast<uint32_t>(dump.interfaceIds.size()));
    for (uint32_t id : dump.interfaceIds)
        writer->writeU4(id);
    for (uint32_t id : dump.constantPoolIds) {
        writer->writeByte(1);
        writer->writeU4(id);
        writer->writeU4(0);
    }
    writer->writeByte(0);
    writer->writeByte(1);
    writer->writeU4(static_cast<uint32_t>(dump.staticData.size()));
    if (!dump.staticData.empty())
        writer->writeBuffered(dump.staticData.data(), static_cast<int>(dump.staticData.size()));
}

void HeapDumpRecords::endClassDumps()
{
    writer->writeByte(0);
}

void HeapDumpRecords::method(uint64_t methodId, uint64_t methodDesc)
{
    writer->writeByte(1);
    writeId(methodId);
    writeId(methodDesc);
}

void HeapDumpRecords::endMethods()
{
    writer->writeByte(0);
}
