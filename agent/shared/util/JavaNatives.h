#ifndef AGENT_JAVANATIVES_H
#define AGENT_JAVANATIVES_H

#include <jni.h>

#include <string>
#include <vector>

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
};

#endif
