#ifndef AGENT_LIVESAMPLERHELPER_H
#define AGENT_LIVESAMPLERHELPER_H

#include <cstdint>
#include <jni.h>

// The telemetry edge: the natives of com.orvane.agent.Sampler (the Java
// side's sampling tick and its custom series), bookmarks and the switch of
// VM telemetry recording. The data goes to the running sampler's telemetry.
class LiveSamplerHelper {
public:
    // One tick of the Java side: auto-tunes the instrumentation and stores
    // dead threads when it is time, appends a sample while VM telemetry is
    // recorded. Returns whether it is.
    static bool doJavaSampling(JNIEnv *env, long long memory1, long long memory2, const int32_t *values, int count);
    // Switches VM telemetry recording; switching on clears the telemetry.
    static void setVmTelemetryRecording(bool on);
};

#endif
