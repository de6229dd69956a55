#ifndef AGENT_JAVAWRITERHANDLES_H
#define AGENT_JAVAWRITERHANDLES_H

#include <jni.h>

#include <cstdint>

class DataWriter;

// Writers the agent lends to its Java side (the Java part of a snapshot):
// Java code gets a handle from this table, never a pointer, and every use
// looks the handle up. A handle stays valid until it is withdrawn.
class JavaWriterHandles {
public:
    // A new handle for `writer` (not owned); never 0.
    static int64_t lend(DataWriter *writer);
    // The writer goes back; later uses of the handle find nothing.
    static void withdraw(int64_t handle);
    // Appends `length` bytes to the writer behind `handle` and flushes it;
    // false for a handle that is not lent.
    static bool write(int64_t handle, const void *bytes, int length);
    // Agent.writeData: `length` bytes of the Java array from `offset`; an
    // unknown handle (logged) or a range outside the array writes nothing.
    static void writeFromJava(JNIEnv *env, jlong handle, jbyteArray bytes, jint offset, jint length);
};

#endif
