#ifndef AGENT_JVMPI_PIHEAPDUMP_H
#define AGENT_JVMPI_PIHEAPDUMP_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "HeapDumpRecords.h"
#include "jvmpi.h"

class ByteArrayDataReader;
class ClassData;
class DataReader;
class DataWriter;
class HeapDumpFile;
class PiProfilingSession;

// Heap dumps of piagent: the VM's heap dump, asked for with RequestEvent and
// delivered at once as HEAP_DUMP, is converted record by record into the
// "jhd" file the front end reads (the same records tiagent writes). Object
// ids become the dump's own 32-bit ids in the order they are met.
class PiHeapdump {
public:
    // Requests made before a dump without data fails.
    static const int MAX_REQUESTS = 100;

    explicit PiHeapdump(PiProfilingSession *session);
    virtual ~PiHeapdump();

    // Takes a dump (level 2 with primitive values, else level 1): 0 on
    // success, 1 when no file could be written or the VM gave no data.
    virtual int doDump(bool option4, bool option6, bool primitiveValues, bool option5, JNIEnv *env);
    // HEAP_DUMP: converts the VM's records; no data marks the request failed.
    virtual void handleHeapDump(JVMPI_Event *event);
    // The Java controller's dump: as doDump, after a dump that runs already
    // (the next snapshot and command 7 without a new dump carry it).
    int triggerDump(bool option4, bool option6, bool primitiveValues, bool option5);
    // Command 7: request bytes [send path, hprof, -, option4, option5,
    // option6, primitive values, dump]; the reply of the dump file.
    bool handleCmdHeapDump(DataReader *reader, DataWriter *writer);
    HeapDumpFile *getDumpFile() { return dumpFile.get(); }
    // The pause between requests (100 ms).
    void setRetryWaitMs(int ms) { retryWaitMs = ms; }
    // Converts the records of `reader` to `records`; false when they end
    // inside a record or hold a tag nobody knows (what came before stays).
    bool parseHeapDump(ByteArrayDataReader *reader, HeapDumpRecords *records);

private:
    struct Conversion;
    bool parseClassDump(ByteArrayDataReader *reader);
    bool parseInstanceDump(ByteArrayDataReader *reader);
    bool parseObjArrayDump(ByteArrayDataReader *reader);
    bool parsePrimArrayDump(ByteArrayDataReader *reader);
    bool parseGcRootDump(int tag, ByteArrayDataReader *reader);
    // The dump's id of an object; 0 for null.
    uint32_t idOf(void *object);
    // The allocation node and time of a recorded object.
    void itemData(void *object, uint64_t *node, uint32_t *time);
    ClassData *getClassData(void *classId);
    // Reads `length` bytes; false when the input ends first.
    static bool readBytes(ByteArrayDataReader *reader, std::vector<unsigned char> *out, size_t length);

    PiProfilingSession *session;
    std::unique_ptr<HeapDumpFile> dumpFile;
    std::mutex running;
    std::atomic<bool> dumpSucceeded;
    bool error;
    bool primitiveValues;
    bool chrono;
    int retryWaitMs;
    HeapDumpRecords *records;
    std::unordered_map<void *, uint32_t> ids;
    uint32_t nextId;
    std::vector<HeapDumpClass> classDumps;
    // Classes whose missing super class was reported.
    std::unordered_set<ClassData *> missingSuperClasses;
};

#endif
