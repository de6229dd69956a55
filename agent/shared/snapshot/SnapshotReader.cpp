#include "SnapshotReader.h"

#include <cstdio>
#include <unistd.h>

#include "CpuProfilingSession.h"
#include "Crc32.h"
#include "GzFileDataReader.h"
#include "MessageUtil.h"
#include "ProfilingSession.h"

namespace {

const int DAMAGED = -1003;
const int RECORDER_COLLECTION_METHOD = 5;

// Where a section of the current numbering stands in the table of an older version.
int tableIndex(int section, int version)
{
    if (version >= 27 || section == SECTION_CLASSES || section == SECTION_TELEMETRY || section == SECTION_JAVA)
        return section;
    static const int V19[] = {0, 4, 1, 2, 3, 5, 6};
    static const int OLDER[] = {0, 4, 2, 1, 3, 5, 6};
    return version >= 19 ? V19[section] : OLDER[section];
}

} // namespace

bool SnapshotReader::verifyOne(GzFileDataReader *reader, int index, Entry &entry)
{
    if (reader->readU4(0) != SNAPSHOT_MAGIC) {
        MessageUtil::message("magic number error");
        return false;
    }
    uint32_t state;
    Crc32::clearCRC32(&state);
    char chunk[VERIFY_CHUNK];
    uint64_t left = entry.length;
    while (left > 0) {
        int n = static_cast<int>(left < sizeof chunk ? left : sizeof chunk);
        if (reader->readFully(chunk, n) != n) {
            MessageUtil::message("data reader error");
            return false;
        }
        Crc32::addCrc32b(&state, chunk, static_cast<size_t>(n));
        left -= static_cast<uint64_t>(n);
    }
    uint32_t crc;
    Crc32::getCRC32(&crc, state);
    if (crc != entry.crc) {
        MessageUtil::message("crc error: %p, %p ", reinterpret_cast<void *>(static_cast<uintptr_t>(crc)),
                             reinterpret_cast<void *>(static_cast<uintptr_t>(entry.crc)));
        return false;
    }
    (void)index;
    return true;
}

int SnapshotReader::verify(GzFileDataReader *reader, int version, Entry *entries)
{
    // Every section with a table entry, met in stream order; from version 36
    // each must stand where the table says.
    int present = 0;
    for (int i = 0; i < SNAPSHOT_SECTION_COUNT; i++) {
        if (version >= 36 ? entries[i].position > 0 : entries[i].length > 0)
            present++;
    }
    bool done[SNAPSHOT_SECTION_COUNT] = {};
    for (int k = 0; k < present; k++) {
        long long here = reader->getPos();
        int index = -1;
        for (int i = 0; i < SNAPSHOT_SECTION_COUNT && index < 0; i++) {
            if (done[i])
                continue;
            if (version >= 36 ? entries[i].position == here && here > 0 : entries[i].length > 0)
                index = i;
        }
        if (index < 0) {
            MessageUtil::message("did not find section");
            return DAMAGED;
        }
        Entry &entry = entries[index];
        done[index] = true;
        entry.position = here;
        entry.verified = verifyOne(reader, index, entry);
        if (entry.verified)
            continue;
        MessageUtil::message("could not read section %d (length %d)", index, static_cast<int>(entry.length));
        if (index == SECTION_CLASSES || index == SECTION_JAVA)
            return DAMAGED;
        if (reader->seek(static_cast<long>(entry.position + 4 + static_cast<long long>(entry.length))) != 0) {
            MessageUtil::message("could not seek end of section: %d", index);
            return DAMAGED;
        }
    }
    return 0;
}

bool SnapshotReader::tableNamesRequiredSections(int version, const Entry *entries)
{
    // Without the classes nothing else can be named, and the Java part
    // always follows the engines' sections: a table without them (a zeroed
    // one, say) is no snapshot, never an empty one.
    for (int index : {static_cast<int>(SECTION_CLASSES), static_cast<int>(SECTION_JAVA)}) {
        if (version >= 36 && entries[index].position <= 0) {
            MessageUtil::message("section %d is missing from the section table", index);
            return false;
        }
    }
    // The class section always holds at least its counts.
    if (entries[SECTION_CLASSES].length == 0) {
        MessageUtil::message("section %d is empty", static_cast<int>(SECTION_CLASSES));
        return false;
    }
    return true;
}

bool SnapshotReader::checkEnd(GzFileDataReader *reader, int version, const Entry *entries)
{
    if (version < 36)
        return true;
    long long end = 0;
    for (int i = 0; i < SNAPSHOT_SECTION_COUNT; i++) {
        if (entries[i].position > 0 && entries[i].position + 4 + static_cast<long long>(entries[i].length) > end)
            end = entries[i].position + 4 + static_cast<long long>(entries[i].length);
    }
    if (reader->seek(static_cast<long>(end)) != 0) {
        MessageUtil::message("could not seek end of the snapshot");
        return false;
    }
    // A saved file may end with its trailer: byte 1, U4 configuration id,
    // U4 length and the configuration, U4 seconds running.
    char chunk[VERIFY_CHUNK];
    int marker = reader->readByte(-1);
    if (marker < 0)
        return true;
    if (marker == 1) {
        reader->readU4(0);
        uint64_t left = reader->readU4(0);
        while (left > 0 && !reader->getError()) {
            int n = static_cast<int>(left < sizeof chunk ? left : sizeof chunk);
            reader->readFully(chunk, n);
            left -= static_cast<uint64_t>(n);
        }
        reader->readU4(0);
        if (reader->getError()) {
            MessageUtil::message("the trailer after the snapshot's sections is cut short; ignored");
            return true;
        }
        end = reader->getPos();
        if (reader->readByte(-1) < 0)
            return true;
    }
    // Something else follows. The sections are whole and checked: what
    // follows them is said and left out.
    if (reader->seek(static_cast<long>(end)) != 0) {
        MessageUtil::message("could not seek end of the snapshot");
        return false;
    }
    long long extra = 0;
    for (int n; (n = reader->read(chunk, sizeof chunk)) > 0;)
        extra += n;
    MessageUtil::message("ignoring %lld bytes after the end of the snapshot", extra);
    return true;
}

bool SnapshotReader::readJavaPart(GzFileDataReader *reader, const Entry &entry, std::vector<unsigned char> *body)
{
    // The front end gets the part too (command 33 copies the rest of the
    // stream): read it, then go back to its start.
    const uint64_t MAX_JAVA_PART = 1ull << 30;
    body->clear();
    if (entry.length > 0 && entry.length < MAX_JAVA_PART) {
        body->resize(static_cast<size_t>(entry.length));
        if (reader->readFully(body->data(), static_cast<int>(body->size())) != static_cast<int>(body->size()))
            body->clear();
    }
    if (reader->seek(static_cast<long>(entry.position + 4)) != 0) {
        MessageUtil::message("could not seek begin of section %d", static_cast<int>(SECTION_JAVA));
        return false;
    }
    return true;
}

bool SnapshotReader::enter(GzFileDataReader *reader, int index, const Entry &entry)
{
    if (reader->seek(static_cast<long>(entry.position)) != 0) {
        MessageUtil::message("could not seek begin of section %d", index);
        return false;
    }
    if (reader->readU4(0) != SNAPSHOT_MAGIC) {
        MessageUtil::message("could not read magic number in section %d", index);
        return false;
    }
    return true;
}

bool SnapshotReader::copyHeapDump(GzFileDataReader *reader, int version, const Entry &entry, const char *path)
{
    FILE *file = fopen(path, "w+b");
    if (file == nullptr) {
        MessageUtil::message("Could not open tmp file %s.", path);
        return false;
    }
    bool ok = true;
    if (version < 19 && entry.length > 0) {
        unsigned char width[4] = {0, 0, 0, static_cast<unsigned char>(reader->getIDWidth())};
        ok = fwrite(width, 1, 4, file) == 4;
    }
    char chunk[HEAP_DUMP_CHUNK];
    uint64_t left = entry.length;
    while (ok && left > 0) {
        int n = static_cast<int>(left < sizeof chunk ? left : sizeof chunk);
        ok = reader->readFully(chunk, n) == n && fwrite(chunk, 1, static_cast<size_t>(n), file) == static_cast<size_t>(n);
        left -= static_cast<uint64_t>(n);
    }
    ok = fclose(file) == 0 && ok;
    if (!ok) {
        MessageUtil::message("Could not write tmp file %s.", path);
        unlink(path);
    }
    return ok;
}

int SnapshotReader::read(GzFileDataReader *reader, const SnapshotSources &sources, int sections,
                         const char *heapDumpPath)
{
    bool recorderSession = sources.session->getCallTreeCollectionMethod() == RECORDER_COLLECTION_METHOD;
    int version = sources.session->readHeader(reader);
    if (version < 1)
        return version;
    Entry entries[SNAPSHOT_SECTION_COUNT];
    for (Entry &entry : entries) {
        entry.length = version <= 13 ? reader->readU4(0) : static_cast<uint64_t>(reader->readJLong(0));
        entry.position = version >= 36 ? reader->readJLong(0) : 0;
        entry.crc = reader->readU4(0);
    }
    if (reader->getError()) {
        MessageUtil::message("snapshot ends in its section table");
        return DAMAGED;
    }
    if (!tableNamesRequiredSections(version, entries))
        return DAMAGED;
    int verified = verify(reader, version, entries);
    if (verified != 0)
        return verified;
    if (!checkEnd(reader, version, entries))
        return DAMAGED;

    if (!enter(reader, SECTION_CLASSES, entries[SECTION_CLASSES])
        || !readClassSection(reader, version, entries[SECTION_CLASSES].length, sources))
        return DAMAGED;

    // Each selected section that passed its check: seek, magic, body.
    auto readSection = [&](int section, bool (*body)(DataReader *, int, uint64_t, const SnapshotSources &)) {
        const Entry &entry = entries[tableIndex(section, version)];
        if (!entry.verified)
            return true;
        if (!enter(reader, section, entry))
            return false;
        return body(reader, version, entry.length, sources);
    };
    bool ok = true;
    if (!recorderSession) {
        if ((sections & (READ_CPU | READ_HEAP_DUMP | READ_HEAP)) != 0)
            ok = ok && readSection(SECTION_ALLOCATION_TREE, readAllocationTreeSection);
        if ((sections & READ_HEAP) != 0)
            ok = ok && readSection(SECTION_HEAP, readHeapSection);
    }
    if ((sections & READ_CPU) != 0)
        ok = ok && readSection(SECTION_CPU, readCpuSection);
    if (!ok)
        return DAMAGED;
    if (!recorderSession) {
        const Entry &dump = entries[tableIndex(SECTION_HEAP_DUMP, version)];
        if ((sections & READ_HEAP_DUMP) != 0 && dump.verified) {
            if (heapDumpPath == nullptr) {
                MessageUtil::message("heap dump temp file expected.\n");
                return DAMAGED;
            }
            if (!enter(reader, SECTION_HEAP_DUMP, dump) || !copyHeapDump(reader, version, dump, heapDumpPath))
                return DAMAGED;
        }
        if ((sections & READ_TELEMETRY) != 0 && !readSection(SECTION_TELEMETRY, readTelemetrySection))
            return DAMAGED;
    }
    if (!enter(reader, SECTION_JAVA, entries[SECTION_JAVA]))
        return DAMAGED;
    if (sources.javaPartBody != nullptr && !readJavaPart(reader, entries[SECTION_JAVA], sources.javaPartBody))
        return DAMAGED;
    reader->updateIDs();
    return version;
}
