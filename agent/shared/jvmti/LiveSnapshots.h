#ifndef AGENT_LIVESNAPSHOTS_H
#define AGENT_LIVESNAPSHOTS_H

#include <jni.h>

#include "SnapshotSections.h"

class Communicator;
class DataReader;
class DataWriter;
class LiveProfilingSession;

// Snapshots of the live VM: command 32 and the Java API's saveSnapshot.
class LiveSnapshots {
public:
    // The live sessions as snapshot sources.
    static SnapshotSources sources(LiveProfilingSession *session);
    // Command 32: byte reply-with-path, then the snapshot in that form. A
    // reply that broke off after its size closes the connection.
    static void handleCmdSaveSnapshot(LiveProfilingSession *session, DataReader *reader, DataWriter *writer,
                                      Communicator &connection, JNIEnv *env);
    // Saves a gzip snapshot file at `path` (Java API); false when it failed.
    static bool saveSnapshot(LiveProfilingSession *session, const char *path, JNIEnv *env);
    // Saves a recorder snapshot (no heap, allocation tree, heap dump or
    // telemetry section; collection method 5; an empty configuration in the
    // trailer) without the checks and the lock of saveSnapshot.
    static bool saveCobaltSnapshot(LiveProfilingSession *session, const char *path, JNIEnv *env, bool savePayloads,
                                   jobjectArray javaArguments);
};

#endif
