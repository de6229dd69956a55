#ifndef AGENT_JVMPI_PISNAPSHOTS_H
#define AGENT_JVMPI_PISNAPSHOTS_H

#include <jni.h>

#include "SnapshotSections.h"

class Communicator;
class DataReader;
class DataWriter;
class PiProfilingSession;

// Snapshots of piagent's live session: command 32 and the Java API's save.
// The file is the one tiagent writes: the sessions' sections, the heap dump
// when one was taken, the Java part through the calling thread's JNIEnv*.
class PiSnapshots {
public:
    // The live sessions as snapshot sources.
    static SnapshotSources sources(PiProfilingSession *session);
    // Command 32: byte reply-with-path, then the snapshot in that form. A
    // reply that broke off after its size closes the connection.
    static void handleCmdSaveSnapshot(PiProfilingSession *session, DataReader *reader, DataWriter *writer,
                                      Communicator &connection, JNIEnv *env);
    // Saves a gzip snapshot file at `path`; false when it failed (logged).
    static bool saveSnapshot(PiProfilingSession *session, const char *path, JNIEnv *env);
    // The recorder's snapshot at `path`: the recorder's sections, the Java
    // part with `javaArguments` (may be null), an empty configuration. Not
    // once the VM ends; false when it failed (logged).
    static bool saveCobaltSnapshot(PiProfilingSession *session, const char *path, JNIEnv *env, bool savePayloads,
                                   jobjectArray javaArguments);
};

#endif
