#ifndef AGENT_SNAPSHOTSECTIONS_H
#define AGENT_SNAPSHOTSECTIONS_H

#include <cstdint>
#include <string>
#include <vector>

class ClassProfilingSession;
class CpuProfilingSession;
class DataReader;
class DataWriter;
class HeapDumpFile;
class HeapProfilingSession;
class SamplerSession;
class ProfilingSession;
class SnapshotJavaPart;

// The magic that starts a snapshot stream and each of its sections.
const uint32_t SNAPSHOT_MAGIC = 0xCAFED00Du;
const int SNAPSHOT_SECTION_COUNT = 7;

// Sections by their index in the table (version 27 and later).
enum SnapshotSectionIndex {
    SECTION_CLASSES = 0,
    SECTION_HEAP = 1,
    SECTION_ALLOCATION_TREE = 2,
    SECTION_CPU = 3,
    SECTION_HEAP_DUMP = 4,
    SECTION_TELEMETRY = 5,
    SECTION_JAVA = 6,
};

// Bits of the `sections` argument of reading.
enum SnapshotSectionBits {
    READ_CPU = 0x2,
    READ_HEAP_DUMP = 0x4,
    READ_HEAP = 0x8,
    READ_TELEMETRY = 0x10,
};

// The sessions a snapshot is written from or read into. Any but `session`
// may be null: its section is then written empty (magic only) and skipped
// when read.
struct SnapshotSources {
    ProfilingSession *session = nullptr;
    ClassProfilingSession *classes = nullptr;
    CpuProfilingSession *cpu = nullptr;
    HeapProfilingSession *heap = nullptr;
    SamplerSession *sampler = nullptr; // the telemetry; a live session gives its LiveSamplerSession
    SnapshotJavaPart *javaPart = nullptr;
    // The last heap dump, copied into section 4 when there is one.
    HeapDumpFile *heapDump = nullptr;
    // The recorder records (its CPU section names collection method 4).
    bool recorderMode = false;
    // Reading: receives the body of the Java part (section 6) when not null.
    std::vector<unsigned char> *javaPartBody = nullptr;
};

// One writer and one reader per section. A writer writes the section's body
// (the container writes the magic and the table entry); a reader reads the
// body after the magic, `length` its byte count, and returns false when the
// body is unusable.
void writeClassSection(DataWriter *writer, const SnapshotSources &sources);
bool readClassSection(DataReader *reader, int version, uint64_t length, const SnapshotSources &sources);
void writeHeapSection(DataWriter *writer, const SnapshotSources &sources);
bool readHeapSection(DataReader *reader, int version, uint64_t length, const SnapshotSources &sources);
// The heap dump's allocation tree (section 2) and the heap dump (section 4).
void writeAllocationTreeSection(DataWriter *writer, const SnapshotSources &sources);
bool readAllocationTreeSection(DataReader *reader, int version, uint64_t length, const SnapshotSources &sources);
void writeHeapDumpSection(DataWriter *writer, const SnapshotSources &sources);
// Section 3 in two parts: the one written before the locks are taken, then
// the rest under them.
void writeCpuSectionWithoutMonitors(DataWriter *writer, const SnapshotSources &sources);
void writeCpuSection(DataWriter *writer, const SnapshotSources &sources);
bool readCpuSection(DataReader *reader, int version, uint64_t length, const SnapshotSources &sources);
// Telemetry of the sampler (section 5).
void writeTelemetrySection(DataWriter *writer, const SnapshotSources &sources);
bool readTelemetrySection(DataReader *reader, int version, uint64_t length, const SnapshotSources &sources);

#endif
