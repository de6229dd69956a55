#ifndef AGENT_LIVEHEAPPROFILINGHELPER_H
#define AGENT_LIVEHEAPPROFILINGHELPER_H

#include <jni.h>
#include <jvmti.h>

class ClassData;
class DataReader;
class DataWriter;
class HeapProfilingSession;
class LiveProfilingSession;

// The heap session of the live VM: identities of tagged objects, allocation
// recording from the VM's events and the instrumented allocation hooks, and
// the whole-heap walks.
class LiveHeapProfilingHelper {
public:
    // Makes the heap session of the live session (once).
    static void init(LiveProfilingSession *session);
    // The heap session; null before init.
    static HeapProfilingSession *getSession();

    // A new non-zero id for an object the agent tags without recording it
    // (classes, monitors), outside the item ranges. Thread-safe, lock-free.
    static long long getNewAllocItemId(ClassData *classData);

    // Records the object (size 0: the VM's size) when recording is on and
    // tags it with its item id. `type`: 2 object, 3 object array, 4-11
    // primitive arrays.
    static void handleObjectAlloc(JNIEnv *env, jobject object, long long size, int type, ClassData *classData);
    // The two halves of handleObjectAlloc: the record (under the data locks;
    // the id, 0 when nothing was recorded) and the tag, set by a caller that
    // holds none of the data locks.
    static long long recordObjectAlloc(JNIEnv *env, jobject object, long long size, int type, ClassData *classData);
    static void tagRecordedObject(jobject object, long long id);
    // Recording on or off: the VM's object events, the Java side's switch
    // and, with `reset`, empty data.
    static void setAllocRecord(bool on, bool reset, JNIEnv *env);
    // Command 49: byte on, then the CPU session's tracking parameters.
    static void handleCmdSetRecordAlloc(DataReader *reader, JNIEnv *env);

    static void JNICALL ovObjectFree(jvmtiEnv *jvmti, jlong tag);
    // Arrays that native code makes through JNI (NewObjectArray and the eight
    // primitive New...Array functions) are recorded as the VM's own are: the
    // VM's JNI function table is replaced once; the original entries make the
    // arrays. Called at VM start; a refusal is logged.
    static void initJniInterception(jvmtiEnv *jvmti);
    static void JNICALL ovVMObjectAlloc(jvmtiEnv *jvmti, JNIEnv *env, jthread thread, jobject object, jclass klass,
                                        jlong size);
};

#endif
