#ifndef AGENT_LIVEPROBECOMMANDS_H
#define AGENT_LIVEPROBECOMMANDS_H

#include <cstdint>
#include <jni.h>

class DataReader;
class DataWriter;
class AnnotationBytes;
class PayloadHotspots;

// What the agent's Java side (com.orvane.agent.probe.AnnotationHandler)
// answers with the CPU session's call trees: command 85, the call sites of a
// probe's payloads, and the probe hotspots of command 57. Runs on the
// command thread.
class LiveProbeCommands {
public:
    // Command 85: the probe name echoed; byte 0 when the Java side gives no
    // tuples (or without `env`, the command thread's); else byte 1, the probe
    // data file the Java side wrote, the tree of the call sites of the
    // returned annotation ids and the new descriptions.
    static void handleCmdProbeTupleData(JNIEnv *env, DataReader *reader, DataWriter *writer);
    // A session configuration was applied: the Java side's built-in probes
    // follow their switches.
    static void configurationApplied(JNIEnv *env);
    // The Java side's probe hotspots, for the CPU session's command 57.
    static PayloadHotspots *payloadHotspots();
    // The Java side's bytes for the probe payloads of tree nodes (command 41).
    static AnnotationBytes *annotationBytes();
};

#endif
