#ifndef AGENT_SNAPSHOTLOADDATA_H
#define AGENT_SNAPSHOTLOADDATA_H

#include <string>

#include "SnapshotSections.h"

class DataWriter;
class GzFileDataReader;

// The reply of command 33 when a loaded snapshot is served: how the read
// went, how the stored IDs map to the objects of this process, the rest of
// the stream (the Java part onwards) in a private temporary file ("jfd"
// under TMPDIR, mode 0600) for the front end, and the descriptions.
class SnapshotLoadData {
public:
    static const int COPY_CHUNK = 40960;

    // `readResult` is what SnapshotReader::read returned for `reader`, which
    // stands after the magic of section 6 (null when the file never
    // opened). U4 result; on failure byte 1; else byte 0, U4 ID size, the
    // pairs of stored ID and new ID of the loaded threads, classes, methods
    // and allocation nodes (byte 1 each, byte 0 after), the threads' pairs
    // again with the new ID as JLong, then byte 0 and the file's path, or
    // byte 1 when the file could not be made (logged). Always: the method
    // and class descriptions, JLong now, U4 0, the thread descriptions.
    // Returns the file's path (empty when none was made); the caller removes
    // the file once the front end has read it.
    static std::string writeLoadData(DataWriter *writer, int readResult, GzFileDataReader *reader, const SnapshotSources &loaded);

private:
    // The rest of the stream into a new "jfd" file; its path, or empty.
    static std::string copyRest(GzFileDataReader *reader);
};

#endif
