#ifndef AGENT_LIVEHEAPDUMP_H
#define AGENT_LIVEHEAPDUMP_H

#include <jni.h>

#include <cstdint>

class DataReader;
class DataWriter;
class HeapDumpFile;
class LiveProfilingSession;

// Heap dumps of the live VM: a JVMTI reference walk from the roots written
// as "jhd" records into the dump file, and command 7 that takes and sends
// them. One dump at a time; a request during a dump is refused.
class LiveHeapdump {
public:
    // Writes a new dump file; 0 on success, 1 on failure.
    static int doDump(LiveProfilingSession *session, bool option4, bool option6, bool primitiveValues, bool option5,
                      JNIEnv *env);
    // The VM's own HPROF dump (only live objects with `liveOnly`) becomes
    // the dump file; 0 on success, 1 on failure (logged).
    static int doHprofDump(LiveProfilingSession *session, bool liveOnly, bool flag, JNIEnv *env);
    // Command 7. Returns true when the reply reached the dump's bytes or path
    // (the caller then appends the descriptions and thread list); false when
    // it answered U4 0.
    static bool handleCmdHeapDump(LiveProfilingSession *session, DataReader *reader, DataWriter *writer, JNIEnv *env);
    // The dump the snapshots copy (section 4); null before the first dump.
    static HeapDumpFile *getDumpFile();
    // The JVMTI tag of the object that the last dump wrote with `id`
    // (recorded objects keep their tag); false for an id no dump gave.
    static bool tagOfDumpId(uint32_t id, jlong *tag);
};

#endif
