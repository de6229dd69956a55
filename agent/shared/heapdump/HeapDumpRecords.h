#ifndef AGENT_HEAPDUMPRECORDS_H
#define AGENT_HEAPDUMPRECORDS_H

#include <cstdint>
#include <vector>

class DataWriter;

// Type codes of dumped objects: 2 instance, 3 object array, 4-11 primitive arrays
// (boolean, byte, char, short, int, long, float, double).
enum HeapDumpType {
    HD_INSTANCE = 2,
    HD_OBJECT_ARRAY = 3,
    HD_BOOLEAN_ARRAY = 4,
    HD_BYTE_ARRAY = 5,
    HD_CHAR_ARRAY = 6,
    HD_SHORT_ARRAY = 7,
    HD_INT_ARRAY = 8,
    HD_LONG_ARRAY = 9,
    HD_FLOAT_ARRAY = 10,
    HD_DOUBLE_ARRAY = 11,
};

// Root kinds of the dump.
enum HeapDumpRoot {
    HD_ROOT_OTHER = 51,
    HD_ROOT_JNI_GLOBAL = 52,
    HD_ROOT_JNI_LOCAL = 53,
    HD_ROOT_STACK_LOCAL = 54,
    HD_ROOT_SYSTEM_CLASS = 56,
    HD_ROOT_MONITOR = 58,
    HD_ROOT_THREAD = 65,
};

// The first id given to objects that allocation recording did not record.
const uint32_t HD_FIRST_UNRECORDED_ID = 1431655764u;
// The allocation node of objects without recorded allocation.
const uint64_t HD_UNKNOWN_NODE = 1;
// At most this many elements of a primitive array are written.
const uint32_t HD_MAX_ARRAY_VALUES = 10000;
// The size written for class objects.
const uint32_t HD_CLASS_OBJECT_SIZE = 320;

// The header's switches.
struct HeapDumpFlags {
    bool allocationTime = false;
    bool primitiveValues = false;
    bool option4 = false;
    bool option5 = false;
    bool option6 = false;
};

// The data of one class dump.
struct HeapDumpClass {
    uint64_t classId = 0;
    uint32_t tag = 0;
    uint64_t node = HD_UNKNOWN_NODE;
    uint32_t time = 0;
    uint32_t loaderId = 0;
    std::vector<uint32_t> interfaceIds;
    std::vector<uint32_t> constantPoolIds;
    std::vector<uint8_t> staticData;
};

// Byte size of a primitive array element by type code 3-11 (3: an id), 0 for others.
int heapDumpElementSize(int type);
// Type code of the array whose element has the signature character, 0 for none.
int heapDumpArrayTypeOfSignature(char signature);
// Byte size of a field of the signature character (references 4), 0 for none.
int heapDumpFieldSize(char signature);
// Root kind of the dump for a JVMTI heap reference kind (21-27), 0 for others.
int heapDumpRootOfReferenceKind(int kind);

// Writes the records of a "jhd" heap dump in order: the header, objects and roots
// (each object followed by its references, closed by the next record), the end of
// the object list, the class dumps and the method table. IDs (classes, nodes,
// methods) are written in the writer's ID width; U4 ids are the objects' tags.
class HeapDumpRecords {
public:
    explicit HeapDumpRecords(DataWriter *writer);
    virtual ~HeapDumpRecords();

    virtual void writeHeader(const HeapDumpFlags &flags, uint64_t unknownNode);
    // An instance (type 2): its references and primitive fields follow.
    virtual void beginInstance(uint64_t classId, uint32_t id, uint64_t node, uint32_t size, uint32_t time);
    virtual void fieldReference(int fieldIndex, uint32_t referee);
    // A primitive field of `byteSize` 1, 2, 4 or 8 with its value in the low bytes.
    virtual void fieldValue(int fieldIndex, int byteSize, uint64_t value);
    // An object array (type 3) of `length` elements: its elements follow.
    virtual void beginObjectArray(uint64_t classId, uint32_t id, uint64_t node, uint32_t size, uint32_t time,
                                  uint32_t length);
    virtual void elementReference(uint32_t index, uint32_t referee);
    // A primitive array (types 4-11); with `values` its first elements (at most
    // HD_MAX_ARRAY_VALUES) from the host-order element array, else none.
    virtual void primitiveArray(int type, uint64_t classId, uint32_t id, uint64_t node, uint32_t size,
                                uint32_t time, uint32_t count, const void *values);
    virtual void root(int kind, uint32_t id);
    virtual void stackRoot(int kind, uint32_t id, uint64_t methodId, long long location);
    // Closes the open reference list and ends the object list.
    virtual void endObjects();
    virtual void classDump(const HeapDumpClass &dump);
    virtual void endClassDumps();
    virtual void method(uint64_t methodId, uint64_t methodDesc);
    virtual void endMethods();

private:
    enum Open { NONE, INSTANCE, ARRAY };
    void closeOpen();
    void beginRecord(int type, uint64_t classId, uint32_t id, uint64_t node, uint32_t size, uint32_t time);
    void writeId(uint64_t id);

    DataWriter *writer;
    Open open;
};

#endif
