#include "SnapshotWriter.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "CharVectorDataWriter.h"
#include "Communicator.h"
#include "Counter.h"
#include "CpuProfilingSession.h"
#include "DataReader.h"
#include "FileDataWriter.h"
#include "GzFileDataWriter.h"
#include "MessageUtil.h"
#include "ProfilingSession.h"
#include "SessionConfig.h"
#include "SessionLock.h"
#include "SnapshotJavaPart.h"
#include "TempFiles.h"

namespace {

const int ALL_MONITORS = 15;
const char *TMP_HINT = "Please check your TMP and TMPDIR environment variables.";

void writeJavaPart(DataWriter *writer, const SnapshotSources &sources)
{
    if (sources.javaPart != nullptr)
        sources.javaPart->finishSave(writer);
    else
        SnapshotJavaPart::writeEmptyPart(writer);
}

void writeTableEntries(FileDataWriter *writer, const long long *positions, const long long *lengths,
                       const uint32_t *crcs)
{
    for (int i = 0; i < SNAPSHOT_SECTION_COUNT; i++) {
        writer->writeJLong(lengths[i]);
        writer->writeJLong(positions[i]);
        writer->writeU4(crcs[i]);
    }
}

// A temporary file of the agent for a snapshot, open for update.
FILE *openTemp(std::string &path)
{
    int fd = TempFiles::createFile("ovs", path);
    if (fd < 0) {
        MessageUtil::message("Could not get temp file name. %s", TMP_HINT);
        return nullptr;
    }
    FILE *file = fdopen(fd, "w+b");
    if (file == nullptr) {
        MessageUtil::message("Could not create temp file %s.  %s", path.c_str(), TMP_HINT);
        close(fd);
        unlink(path.c_str());
    }
    return file;
}

void removeTemp(const std::string &path, bool keepTemp)
{
    if (keepTemp)
        MessageUtil::message("Keeping temp snapshot %s", path.c_str());
    else
        unlink(path.c_str());
}

// Copies the rest of `file` into `out`; false on a read error.
bool copyFile(FILE *file, DataWriter *out)
{
    char chunk[SnapshotWriter::COPY_CHUNK];
    for (;;) {
        size_t n = fread(chunk, 1, sizeof chunk, file);
        if (n > 0)
            out->writeBuffered(chunk, static_cast<int>(n));
        if (n < sizeof chunk)
            return ferror(file) == 0;
    }
}

} // namespace

void SnapshotWriter::writeSection(FileDataWriter *writer, int index, long long *positions, long long *lengths,
                                  uint32_t *crcs, void (*body)(DataWriter *, const SnapshotSources &),
                                  const SnapshotSources &sources)
{
    long long start = writer->getPos();
    writer->writeU4(SNAPSHOT_MAGIC);
    writer->resetCRC32();
    body(writer, sources);
    crcs[index] = writer->getCRC32();
    positions[index] = start;
    lengths[index] = writer->getPos() - start - 4;
}

bool SnapshotWriter::writeStream(FILE *file, const std::string &path, const SnapshotSources &sources, bool recorder,
                                 bool savePayloads)
{
    long long positions[SNAPSHOT_SECTION_COUNT] = {};
    long long lengths[SNAPSHOT_SECTION_COUNT] = {};
    uint32_t crcs[SNAPSHOT_SECTION_COUNT] = {};
    FileDataWriter writer(file);
    if (sources.javaPart != nullptr)
        sources.javaPart->startSave(recorder);
    sources.session->writeHeader(&writer, recorder);
    long long tablePos;
    {
        SessionLock lock(sources.session, ALL_MONITORS);
        tablePos = writer.getPos();
        writeTableEntries(&writer, positions, lengths, crcs);
        if (!recorder) {
            writeSection(&writer, SECTION_HEAP, positions, lengths, crcs, writeHeapSection, sources);
            writeSection(&writer, SECTION_ALLOCATION_TREE, positions, lengths, crcs, writeAllocationTreeSection,
                         sources);
        }
    }
    if (sources.javaPart != nullptr)
        sources.javaPart->savePayloads(savePayloads);
    // The CPU section starts outside the locks and goes on under them.
    long long cpuStart = writer.getPos();
    writer.writeU4(SNAPSHOT_MAGIC);
    writer.resetCRC32();
    writeCpuSectionWithoutMonitors(&writer, sources);
    {
        SessionLock lock(sources.session, ALL_MONITORS);
        writeCpuSection(&writer, sources);
        crcs[SECTION_CPU] = writer.getCRC32();
        positions[SECTION_CPU] = cpuStart;
        lengths[SECTION_CPU] = writer.getPos() - cpuStart - 4;
        writeSection(&writer, SECTION_CLASSES, positions, lengths, crcs, writeClassSection, sources);
        if (!recorder) {
            writeSection(&writer, SECTION_HEAP_DUMP, positions, lengths, crcs, writeHeapDumpSection, sources);
            writeSection(&writer, SECTION_TELEMETRY, positions, lengths, crcs, writeTelemetrySection, sources);
        }
    }
    writeSection(&writer, SECTION_JAVA, positions, lengths, crcs, writeJavaPart, sources);
    writer.flush();
    if (writer.getError()) {
        MessageUtil::message("Could not write temp file %s. Maybe your disk is full.", path.c_str());
        MessageUtil::message("%s", TMP_HINT);
        return false;
    }
    if (writer.seek(tablePos, SEEK_SET) != 0) {
        MessageUtil::message("Could not seek tmp file. %s", TMP_HINT);
        return false;
    }
    writeTableEntries(&writer, positions, lengths, crcs);
    writer.flush();
    if (writer.getError() || fflush(file) != 0) {
        MessageUtil::message("Could not write temp file %s. %s", path.c_str(), TMP_HINT);
        return false;
    }
    // Without the way back to the start the stream cannot be delivered:
    // report the failure rather than send nothing after the status.
    if (writer.seek(0, SEEK_SET) != 0) {
        MessageUtil::message("ERROR: Could not seek tmp file.");
        return false;
    }
    return true;
}

void SnapshotWriter::answerSaveCommand(DataReader *request, DataWriter *out, const SnapshotSources &sources, bool offline,
                                       bool keepTemp, Communicator &connection)
{
    bool replyWithPath = request->readByte(0) != 0;
    if (write(out, sources, replyWithPath, offline, false, true, keepTemp) == BROKEN) {
        // The front end has the size and part of the stream: nothing that
        // follows could be read in step.
        MessageUtil::message("Snapshot reply broken off; closing the connection.");
        connection.hangUp();
    }
}

SnapshotWriter::Outcome SnapshotWriter::write(DataWriter *out, const SnapshotSources &sources, bool replyWithPath,
                                              bool noSizePrefix, bool recorder, bool savePayloads, bool keepTemp)
{
    if (sources.cpu != nullptr)
        sources.cpu->setRecordMethodStatistics(false);
    std::string path;
    FILE *file = openTemp(path);
    if (file == nullptr) {
        out->writeU4(0);
        return FAILED;
    }
    if (!writeStream(file, path, sources, recorder, savePayloads)) {
        fclose(file);
        unlink(path.c_str());
        out->writeU4(0);
        return FAILED;
    }
    if (replyWithPath) {
        // The file stays private to the agent's user; the front end runs as that user.
        fclose(file);
        out->writeU4(2);
        out->writeString(path.c_str());
        out->writeByte(keepTemp ? 1 : 0);
        return DELIVERED;
    }
    long long size = -1;
    if (fseeko(file, 0, SEEK_END) == 0)
        size = ftello(file);
    if (size < 0 || fseeko(file, 0, SEEK_SET) != 0) {
        MessageUtil::message("ERROR: Could not seek tmp file.");
        fclose(file);
        unlink(path.c_str());
        out->writeU4(0);
        return FAILED;
    }
    if (!noSizePrefix) {
        out->writeU4(1);
        out->writeJLong(size);
    }
    bool copied = copyFile(file, out);
    fclose(file);
    removeTemp(path, keepTemp);
    if (!copied) {
        MessageUtil::message("ERROR: Could not read tmp file.");
        return BROKEN;
    }
    return DELIVERED;
}

bool SnapshotWriter::saveSnapshot(const char *path, const SnapshotSources &sources, bool recorder,
                                  const std::vector<char> &configRecord, uint32_t secondsRunning, bool keepTemp,
                                  bool savePayloads)
{
    MessageUtil::message("Saving snapshot %s ...", path);
    if (unlink(path) != 0 && errno != ENOENT) {
        MessageUtil::message("Could not save snapshot %s: %s", path, strerror(errno));
        return false;
    }
    GzFileDataWriter writer(path);
    bool ok = !writer.getError() && write(&writer, sources, false, true, recorder, savePayloads, keepTemp) == DELIVERED;
    if (ok) {
        writer.writeByte(1);
        writer.writeBuffered(configRecord.data(), static_cast<int>(configRecord.size()));
        writer.writeU4(secondsRunning);
    }
    ok = writer.close() && ok && !writer.getError();
    if (!ok) {
        MessageUtil::message("Could not save snapshot %s.", path);
        unlink(path);
        return false;
    }
    MessageUtil::message("Done.");
    return true;
}

bool SnapshotWriter::saveWithConfiguration(const char *path, const SnapshotSources &sources, const SessionConfig &config,
                                           long long startUsec, bool keepTemp)
{
    CharVectorDataWriter record;
    std::string problem = config.writeConfigFile(&record);
    if (!problem.empty())
        MessageUtil::message("%s", problem.c_str());
    record.flush();
    long long running = (Counter::getUsec() - startUsec) / 1000000LL;
    return saveSnapshot(path, sources, false, record.getBytes(), static_cast<uint32_t>(running < 0 ? 0 : running), keepTemp);
}

bool SnapshotWriter::saveRecorderSnapshot(const char *path, const SnapshotSources &sources, long long startUsec, bool keepTemp,
                                          bool savePayloads)
{
    // U4 configuration id 0, U4 length 0.
    const std::vector<char> noConfiguration(8, 0);
    long long running = (Counter::getUsec() - startUsec) / 1000000LL;
    return saveSnapshot(path, sources, true, noConfiguration, static_cast<uint32_t>(running < 0 ? 0 : running), keepTemp,
                        savePayloads);
}
