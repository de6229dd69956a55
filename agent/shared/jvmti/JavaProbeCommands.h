#ifndef AGENT_JAVAPROBECOMMANDS_H
#define AGENT_JAVAPROBECOMMANDS_H

#include <cstddef>
#include <cstdint>
#include <jni.h>
#include <string>

class DataReader;
class DataWriter;

// The probe commands that the agent's Java side
// (com.orvane.agent.probe.AnnotationHandler) answers through JNI alone, for
// both agents. Runs on the command thread; `env` is the command thread's,
// and without one the replies are the empty ones.
class JavaProbeCommands {
public:
    // Command 62: U4 length and the descriptions' bytes; U4 0 for none.
    static void handleCmdProbeDescriptions(JNIEnv *env, DataWriter *writer);
    // Command 86: byte 1 and the probe data file's bytes when the Java side
    // wrote telemetry into it, else byte 0.
    static void handleCmdProbeTelemetry(JNIEnv *env, DataWriter *writer);
    // Commands 87 and 90: U4 size and the bytes, handed to the Java side as
    // they are (the probe settings; the probes to record).
    static void handleCmdProbeSettings(JNIEnv *env, DataReader *reader);
    static void handleCmdProbeRecording(JNIEnv *env, DataReader *reader);

    // The handler class and one of its static methods; null (the exception
    // cleared, a line said) when the agent's Java side lacks it.
    static jmethodID handlerMethod(JNIEnv *env, jclass *handler, const char *name, const char *signature);
    // A new Java byte array with `length` bytes of `data`; null (a line said) when none can be made.
    static jbyteArray byteArray(JNIEnv *env, const void *data, size_t length);
    // Byte 1 and the probe data file's bytes; byte 0 (and a line) when it cannot be read.
    static bool copyProbeFile(const std::string &path, DataWriter *writer);
    // The probe data file, empty, ready for the Java side to write; its path,
    // or an empty string (with a line) when it cannot be made.
    static std::string prepareProbeFile();
    // The probes to record as command 90 set them: U4 length and the bytes,
    // U4 0 while none were set or without `env`.
    static void writeProbeRecording(JNIEnv *env, DataWriter *writer);
};

#endif
