#ifndef AGENT_LIVECLASSPROFILINGSESSION_H
#define AGENT_LIVECLASSPROFILINGSESSION_H

#include <jni.h>

class DataWriter;
class SessionConfig;

// The live session's classes: applies a new session configuration to the
// classes already loaded. No class is instrumented yet, so a new
// configuration changes none of them.
class LiveClassProfilingSession {
public:
    // Applies `newConfig` (the old one, or null, for comparison) and, with a
    // writer, reports the update: U4 number of retransformed classes, byte 0,
    // byte 1 when the update ran to its end.
    void updateConfig(const SessionConfig *oldConfig, const SessionConfig *newConfig, DataWriter *writer, JNIEnv *env);
};

#endif
