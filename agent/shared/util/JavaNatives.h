#ifndef AGENT_JAVANATIVES_H
#define AGENT_JAVANATIVES_H

#include <jni.h>

#include <string>
#include <vector>

class ClassProfilingSession;
class CpuProfilingSession;
class LiveThreadManager;
class SessionConfig;

// The work of the agent's Java-side natives that does not depend on the VM
// interface, shared by the JVMTI and the JVMPI bindings.
class JavaNatives {
public:
    // Sleeps the whole seconds, then the rest; nothing for 0 or less.
    static void runnableSleep(long long millis);
    // Writes the Java text to the debug file as it is.
    static void debugOut(JNIEnv *env, jstring text);
    // Stores `value` in the array's first four bytes in host byte order;
    // 4, or 0 (logged) when the array has fewer than four bytes.
    static jint storeSnapshotId(JNIEnv *env, jbyteArray bytes, jint value);
    // The non-null strings of a Java string array.
    static std::vector<std::string> strings(JNIEnv *env, jobjectArray array);
    // The bytes of a Java byte array; empty for null.
    static std::string bytes(JNIEnv *env, jbyteArray array);

    // The probe natives of com.orvane.agent.probe.AnnotationHandler and the
    // Java thread managers' registration. Each binding passes its sessions
    // (null without one) and how it finds the calling thread's manager:
    // with `make` one is made for a thread the agent does not know yet.
    typedef LiveThreadManager *(*ThreadLookup)(JNIEnv *env, bool make);

    // A probe call begins: with instrumented call trees, not nested, the
    // probe's pseudo method is entered on the calling thread's current node.
    // The pseudo method's handle, 0 when nothing was recorded.
    static jlong enterProbe(JNIEnv *env, CpuProfilingSession *cpu, ClassProfilingSession *classes, ThreadLookup thread, jstring name,
                            jboolean nested);
    // The probe call of `handle` ends; unknown handles change nothing.
    static void exitProbe(JNIEnv *env, CpuProfilingSession *cpu, ThreadLookup thread, jlong handle);
    // The probe switch of `type` (false without a configuration).
    static jboolean isProbeEnabled(const SessionConfig *config, jint type);
    // Seven longs into `info`: the calling node's annotation id (0: not
    // recorded), the thread's handle, its runnable, blocked, waiting and net
    // I/O microseconds so far and the current time.
    static void fillAnnotationInfo(JNIEnv *env, CpuProfilingSession *cpu, ThreadLookup thread, jlongArray info, jboolean callSite);
    // With sampling: the handle of probe `name`'s pseudo method; else 0.
    static jlong probeRequest(JNIEnv *env, CpuProfilingSession *cpu, ClassProfilingSession *classes, jstring name);
    // The calling thread's Java-side manager, kept on its first registration.
    static void registerThreadManager(JNIEnv *env, CpuProfilingSession *cpu, ThreadLookup thread, jobject self);
};

#endif
