#ifndef AGENT_SNAPSHOTWRITER_H
#define AGENT_SNAPSHOTWRITER_H

#include <cstdio>
#include <string>
#include <vector>

#include "SnapshotSections.h"

class Communicator;
class DataReader;
class DataWriter;
class FileDataWriter;
class SessionConfig;

// Writes snapshots: the stream (header, section table, the sections in file
// order 1, 2, 3, 0, 4, 5, 6, each framed by its magic with length, position
// and CRC-32 in the table) into a private temporary file, then delivers it to
// a front end or into a gzip file with the trailer of saved snapshots.
class SnapshotWriter {
public:
    // How a delivery to a front end ended.
    enum Outcome {
        DELIVERED,
        // Nothing usable was made: the reply is U4 0.
        FAILED,
        // The reply broke off after its size was sent: the connection is out
        // of step and must be closed.
        BROKEN,
    };

    static const int COPY_CHUNK = 20480;

    // The whole stream into `file` (open for update, at its start). False
    // when a write or the final table could not be written (logged, with
    // `path` naming the file). The file is left at its start on success.
    static bool writeStream(FILE *file, const std::string &path, const SnapshotSources &sources, bool recorder,
                            bool savePayloads);

    // Makes a snapshot and delivers it to `out`: with `replyWithPath` U4 2,
    // the temporary file's path and whether temporary snapshots are kept;
    // otherwise U4 1 and the JLong size (unless `noSizePrefix`) and the
    // stream itself, after which the temporary file is removed unless
    // `keepTemp`. Failures before anything was sent reply U4 0.
    static Outcome write(DataWriter *out, const SnapshotSources &sources, bool replyWithPath, bool noSizePrefix,
                         bool recorder, bool savePayloads, bool keepTemp);

    // Command 32 from a front end: the request's first byte asks for the
    // path instead of the bytes; the snapshot is delivered as `write` does
    // it. A reply broken off after its size was sent closes `connection`.
    static void answerSaveCommand(DataReader *request, DataWriter *out, const SnapshotSources &sources, bool offline,
                                  bool keepTemp, Communicator &connection);

    // Saves a snapshot as a gzip file at `path`: the stream, byte 1, the
    // configuration record (U4 id, U4 length, the XML; a recorder passes
    // U4 0, U4 0), U4 seconds since the agent started. Logs "Saving snapshot
    // %s ..." and "Done." or what failed. `savePayloads` goes to the Java part.
    static bool saveSnapshot(const char *path, const SnapshotSources &sources, bool recorder,
                             const std::vector<char> &configRecord, uint32_t secondsRunning, bool keepTemp,
                             bool savePayloads = true);

    // A live session's snapshot saved at `path` as saveSnapshot does it,
    // with the session's configuration record and the seconds since
    // `startUsec` (the agent's start on its own clock).
    static bool saveWithConfiguration(const char *path, const SnapshotSources &sources, const SessionConfig &config,
                                      long long startUsec, bool keepTemp);
    // The recorder's snapshot saved at `path` as saveSnapshot does it: the
    // recorder's sections, an empty configuration record and the seconds
    // since `startUsec`.
    static bool saveRecorderSnapshot(const char *path, const SnapshotSources &sources, long long startUsec, bool keepTemp,
                                     bool savePayloads);

private:
    static void writeSection(FileDataWriter *writer, int index, long long *positions, long long *lengths,
                             uint32_t *crcs, void (*body)(DataWriter *, const SnapshotSources &),
                             const SnapshotSources &sources);
};

#endif
