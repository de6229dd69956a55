#ifndef AGENT_SNAPSHOTREADER_H
#define AGENT_SNAPSHOTREADER_H

#include <cstdint>
#include <string>

#include "SnapshotSections.h"

class GzFileDataReader;

// Reads a snapshot stream back into sessions: the header, the section table,
// a check of every section's magic and CRC-32, then the selected sections.
class SnapshotReader {
public:
    static const int VERIFY_CHUNK = 20480;
    static const int HEAP_DUMP_CHUNK = 40960;

    // One entry of the section table, and whether the section passed its check.
    struct Entry {
        uint64_t length = 0;
        long long position = 0;
        uint32_t crc = 0;
        bool verified = false;
    };

    // `sections` is a set of SnapshotSectionBits; the allocation tree is
    // read with any of CPU, heap dump and heap, the classes always. The heap
    // dump is copied into `heapDumpPath`. Returns the version, or the
    // header's result below 1, or -1003 for a damaged stream (a header or
    // table cut short, a table without the classes or the Java part, an
    // empty class section), each with a line. A section that fails its check
    // is skipped (the classes and the Java part may not). Bytes after the
    // last section and the trailer are said and ignored.
    static int read(GzFileDataReader *reader, const SnapshotSources &sources, int sections,
                    const char *heapDumpPath);

private:
    // False, with a line, when the table lacks the classes or the Java part.
    static bool tableNamesRequiredSections(int version, const Entry *entries);
    // Whatever follows the last section and the trailer is said in a line
    // and left out; false only when the stream cannot be positioned.
    static bool checkEnd(GzFileDataReader *reader, int version, const Entry *entries);
    static int verify(GzFileDataReader *reader, int version, Entry *entries);
    static bool verifyOne(GzFileDataReader *reader, int index, Entry &entry);
    static bool enter(GzFileDataReader *reader, int index, const Entry &entry);
    // The Java part's body into `body` (empty when it cannot be read); the
    // reader is left at the body's start.
    static bool readJavaPart(GzFileDataReader *reader, const Entry &entry, std::vector<unsigned char> *body);
    static bool copyHeapDump(GzFileDataReader *reader, int version, const Entry &entry, const char *path);
};

#endif
