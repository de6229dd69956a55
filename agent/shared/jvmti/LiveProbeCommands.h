#ifndef AGENT_LIVEPROBECOMMANDS_H
#define AGENT_LIVEPROBECOMMANDS_H

#include <cstdint>
#include <jni.h>

class DataReader;
class DataWriter;
class AnnotationBytes;
class PayloadHotspots;

// The probe commands the agent's Java side answers
// (com.orvane.agent.probe.AnnotationHandler): 62 the probe descriptions,
// 86 the probe telemetry through the probe data file, 87 and 90 the probe
// settings and the probes to record, 85 the call sites of a probe's
// payloads; and the probe hotspots of command 57. Runs on the command thread.
class LiveProbeCommands {
public:
    // `env` is the command thread's; without one the replies are the empty ones.
    static void handle(JNIEnv *env, uint32_t command, DataReader *reader, DataWriter *writer);
    // A session configuration was applied: the Java side's built-in probes
    // follow their switches.
    static void configurationApplied(JNIEnv *env);
    // The Java side's probe hotspots, for the CPU session's command 57.
    static PayloadHotspots *payloadHotspots();
    // The Java side's bytes for the probe payloads of tree nodes (command 41).
    static AnnotationBytes *annotationBytes();
    // The probes to record as command 90 set them: U4 length and the bytes,
    // U4 0 while none were set or without `env`.
    static void writeProbeRecording(JNIEnv *env, DataWriter *writer);
};

#endif
